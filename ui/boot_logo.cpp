// Boot logo: run-length RGB565 file written straight into framebuffer page 0.
#include "ui/boot_logo.h"

#include <linux/kd.h>

#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/kernel.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "ui/graphics.h"

namespace {

size_t logo_bytes_per_pixel(const LogoFramebuffer& fb) { return fb.var.bits_per_pixel == 16 ? 2 : 4; }

size_t logo_pixels(const LogoFramebuffer& fb) { return static_cast<size_t>(fb.var.xres) * fb.var.yres; }

// Fills page 0 from the runs; stops at the first run that does not fit in
// the pixels still free, or when fewer than 4 bytes remain.
void decode_runs(const LogoFramebuffer& fb, const uint8_t* runs, size_t left) {
  size_t free_pixels = logo_pixels(fb);
  bool wide = logo_bytes_per_pixel(fb) == 4;
  size_t written = 0;
  for (; left > 3; left -= 4, runs += 4) {
    size_t n = runs[0] | (runs[1] << 8);
    uint16_t color = static_cast<uint16_t>(runs[2] | (runs[3] << 8));
    if (n > free_pixels) break;
    if (wide) {
      uint32_t pixel;
      expand_565_to_8888(&pixel, &color, 1);
      fill_pixels32(reinterpret_cast<uint32_t*>(fb.bits) + written, pixel, n);
    } else {
      fill_pixels16(reinterpret_cast<uint16_t*>(fb.bits) + written, color, n);
    }
    written += n;
    free_pixels -= n;
  }
}

}  // namespace

int vt_set_mode(int graphics) {
  int fd = platform::dev_open("/dev/tty0", O_RDWR | O_SYNC);
  if (fd < 0) return -1;
  long mode = graphics != 0 ? KD_GRAPHICS : KD_TEXT;
  int result = platform::dev_ioctl(fd, KDSETMODE, reinterpret_cast<void*>(mode));
  platform::dev_close(fd);
  return result;
}

int fb_open(LogoFramebuffer* fb) {
  if (fb == nullptr) return -1;
  fb->bits = nullptr;
  fb->mapped_size = 0;
  fb->fd = platform::dev_open("/dev/graphics/fb0", O_RDWR);
  if (fb->fd < 0) return -1;
  bool ok = platform::dev_ioctl(fb->fd, FBIOGET_FSCREENINFO, &fb->fixed) == 0 &&
            platform::dev_ioctl(fb->fd, FBIOGET_VSCREENINFO, &fb->var) == 0;
  // One page at the depth we write must lie inside the device memory.
  size_t page = ok ? logo_pixels(*fb) * logo_bytes_per_pixel(*fb) : 0;
  ok = ok && fb->var.xres <= 16384 && fb->var.yres <= 16384 && page > 0 && page <= fb->fixed.smem_len;
  void* bits = ok ? platform::dev_mmap(fb->fd, page, PROT_READ | PROT_WRITE, MAP_SHARED) : MAP_FAILED;
  if (bits == MAP_FAILED) {
    platform::dev_close(fb->fd);
    fb->fd = -1;
    return -1;
  }
  fb->bits = static_cast<uint8_t*>(bits);
  fb->mapped_size = page;
  return 0;
}

void fb_refresh(LogoFramebuffer* fb) {
  fb->var.yoffset = 1;
  platform::dev_ioctl(fb->fd, FBIOPUT_VSCREENINFO, &fb->var);
  fb->var.yoffset = 0;
  platform::dev_ioctl(fb->fd, FBIOPUT_VSCREENINFO, &fb->var);
}

void fb_release(LogoFramebuffer* fb) {
  if (fb->bits != nullptr) platform::dev_munmap(fb->bits, fb->mapped_size);
  fb->bits = nullptr;
  fb->mapped_size = 0;
  platform::dev_close(fb->fd);
  fb->fd = -1;
}

int load_565rle_image(const char* path) {
  LOGW("565rle : vt_set_mode");
  if (vt_set_mode(1) != 0) LOGE("cannot set mode 1.\n");
  LOGW("565rle : open fname");
  char host[4096];
  int fd = path != nullptr && platform::map_path(path, host, sizeof(host)) ? open(host, O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) {
    LOGE("cannot open '%s'\n", path != nullptr ? path : "");
    vt_set_mode(0);
    return -1;
  }
  LOGW("565rle : fstat");
  struct stat st;
  if (fstat(fd, &st) < 0) {
    LOGE("cannot fstat '%s'\n", path);
    close(fd);
    vt_set_mode(0);
    return -1;
  }
  LOGW("565rle : mmap");
  size_t size = static_cast<size_t>(st.st_size);
  void* data = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (data == MAP_FAILED) {
    LOGE("cannot mmap '%s'\n", path);
    close(fd);
    vt_set_mode(0);
    return -1;
  }
  LOGW("565rle : fb_open");
  LogoFramebuffer fb = {};
  if (fb_open(&fb) < 0) {
    LOGE("cannot open framebuff \n");
    munmap(data, size);
    close(fd);
    vt_set_mode(0);
    return -1;
  }
  LOGD("load_565rle_image '%s'\n", path);
  LOGW("max=%d, count=%d, bits=%d", static_cast<int>(logo_pixels(fb)), static_cast<int>(size),
       static_cast<int>(reinterpret_cast<uintptr_t>(fb.bits)));
  decode_runs(fb, static_cast<const uint8_t*>(data), size);
  LOGD(" load_565rle_image success! \n");
  munmap(data, size);
  fb_refresh(&fb);
  fb_release(&fb);
  close(fd);
  return 0;
}
