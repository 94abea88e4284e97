// Framebuffer, pages, off-screen surface and the rasterizer's lasting state.
#include "ui/graphics.h"

#include <linux/kd.h>

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>

#include "platform/kernel.h"
#include "platform/log.h"
#include "ui/neon_spans.h"
#include "ui/raster.h"

namespace {

int g_fb_fd = -1;
int g_vt_fd = -1;
unsigned g_front_page = 0;
Surface g_mem_surface = {};
Surface g_fb_pages[2] = {};
fb_var_screeninfo g_screen_info = {};
RasterContext* g_raster_ctx = nullptr;
// The device memory, mapped once; kept across close and reopen.
void* g_fb_mapping = nullptr;
size_t g_fb_mapping_size = 0;

size_t bytes_per_pixel() { return g_screen_info.bits_per_pixel == 16 ? 2 : 4; }

size_t screen_pixels() {
  return static_cast<size_t>(g_screen_info.xres) * static_cast<size_t>(g_screen_info.yres);
}

// The framebuffer must hold two pages at the depth we write; the kernel's
// claims are checked here so that a page copy can never run past the mapping.
bool screen_info_usable(const fb_var_screeninfo& var, const fb_fix_screeninfo& fix) {
  if (var.xres == 0 || var.yres == 0 || var.xres > 16384 || var.yres > 16384) return false;
  size_t bpp = var.bits_per_pixel == 16 ? 2 : 4;
  return 2 * static_cast<size_t>(var.xres) * var.yres * bpp <= fix.smem_len;
}

Surface page_record(uint8_t* data) {
  Surface page = {};
  page.version = sizeof(Surface);
  page.width = g_screen_info.xres;
  page.height = g_screen_info.yres;
  page.stride = static_cast<int32_t>(g_screen_info.xres);
  page.data = data;
  page.format = PIXEL_FORMAT_RGB_565;
  return page;
}

// Drawing and presenting need both buffers.
bool screen_ready() {
  return g_fb_fd >= 0 && g_mem_surface.data != nullptr && g_fb_pages[0].data != nullptr;
}

void open_console() {
  g_vt_fd = platform::dev_open("/dev/tty0", O_RDWR | O_SYNC);
  if (g_vt_fd < 0) perror("can't open /dev/tty0");
}

void setup_raster() {
  if (g_raster_ctx == nullptr) return;
  raster_set_color_buffer(g_raster_ctx, &g_mem_surface);
  raster_active_texture(g_raster_ctx, 0);
  raster_enable(g_raster_ctx, RASTER_BLEND);
  raster_blend_func(g_raster_ctx, RASTER_SRC_ALPHA, RASTER_ONE_MINUS_SRC_ALPHA);
}

}  // namespace

const int& gr_fb_fd = g_fb_fd;
const int& gr_vt_fd = g_vt_fd;
const unsigned& gr_front_page = g_front_page;
const Surface& gr_mem_surface = g_mem_surface;
const Surface (&gr_fb_pages)[2] = g_fb_pages;
const fb_var_screeninfo& gr_screen_info = g_screen_info;
RasterContext* const& raster_ctx = g_raster_ctx;

int graphics_open() {
  if (g_raster_ctx == nullptr) g_raster_ctx = raster_create();
  open_console();
  if (g_vt_fd >= 0 && platform::dev_ioctl(g_vt_fd, KDSETMODE, reinterpret_cast<void*>(KD_GRAPHICS)) != 0) {
    perror("failed KDSETMODE to KD_GRAPHICS on tty0");
    graphics_close();
    return -1;
  }
  g_fb_fd = fb_map();
  if (g_fb_fd < 0) {
    graphics_close();
    return -1;
  }
  LOGW("framebuffer: fd %d (%d x %d)\n", g_fb_fd, screen_width(), screen_height());
  mem_surface_create();
  if (g_mem_surface.data == nullptr) {
    graphics_close();
    return -1;
  }
  fprintf(stderr, "framebuffer: fd %d (%d x %d)\n", g_fb_fd, screen_width(), screen_height());
  g_front_page = 0;
  page_show(0);
  setup_raster();
  return 0;
}

int fb_map() {
  int fd = platform::dev_open("/dev/graphics/fb0", O_RDWR);
  if (fd < 0) {
    perror("cannot open fb0");
    return -1;
  }
  fb_fix_screeninfo fix = {};
  fb_var_screeninfo var = {};
  if (platform::dev_ioctl(fd, FBIOGET_FSCREENINFO, &fix) < 0 ||
      platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var) < 0) {
    perror("failed to get fb0 info");
    platform::dev_close(fd);
    return -1;
  }
  if (!screen_info_usable(var, fix)) {
    errno = EINVAL;
    perror("failed to get fb0 info");
    platform::dev_close(fd);
    return -1;
  }
  void* bits = platform::dev_mmap(fd, fix.smem_len, PROT_READ | PROT_WRITE, MAP_SHARED);
  if (bits == MAP_FAILED) {
    perror("failed to mmap framebuffer");
    platform::dev_close(fd);
    return -1;
  }
  g_screen_info = var;
  // A reopen maps afresh; the earlier mapping is no longer referenced.
  if (g_fb_mapping != nullptr) platform::dev_munmap(g_fb_mapping, g_fb_mapping_size);
  g_fb_mapping = bits;
  g_fb_mapping_size = fix.smem_len;
  uint8_t* base = static_cast<uint8_t*>(bits);
  g_fb_pages[0] = page_record(base);
  g_fb_pages[1] = page_record(base + screen_pixels() * bytes_per_pixel());
  return fd;
}

void mem_surface_create() {
  size_t size = screen_pixels() * 2;
  LOGW("Malloc %d for surface.", static_cast<int>(size));
  free(g_mem_surface.data);
  // Cleared, so that a first frame drawn over it shows black, not old memory.
  g_mem_surface = page_record(static_cast<uint8_t*>(calloc(1, size)));
}

void page_show(unsigned page) {
  if (page > 1 || g_fb_fd < 0) return;
  g_screen_info.yres_virtual = g_screen_info.yres * 2;
  g_screen_info.yoffset = page * g_screen_info.yres;
  if (platform::dev_ioctl(g_fb_fd, FBIOPUT_VSCREENINFO, &g_screen_info) < 0) perror("active fb swap failed");
}

void screen_present() {
  if (!screen_ready()) return;
  g_front_page = (g_front_page + 1) & 1;
  uint8_t* target = g_fb_pages[g_front_page].data;
  if (g_screen_info.bits_per_pixel == 16) {
    memcpy(target, g_mem_surface.data, screen_pixels() * 2);
  } else {
    expand_565_to_8888(reinterpret_cast<uint32_t*>(target), reinterpret_cast<const uint16_t*>(g_mem_surface.data),
                       screen_pixels());
  }
  page_show(g_front_page);
}

namespace {

using u16x8 = uint16_t __attribute__((vector_size(16)));
using u32x4 = uint32_t __attribute__((vector_size(16)));

// The lanes below are stored as bytes; the word layout promised in the
// header holds on little-endian machines only.
static_assert(std::endian::native == std::endian::little);

void expand_pixels(uint32_t* dst, const uint16_t* src, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint32_t p = src[i];
    uint32_t r5 = p >> 11, g6 = (p >> 5) & 0x3F, b5 = p & 0x1F;
    uint32_t r8 = (r5 << 3) | (r5 >> 2);
    uint32_t g8 = (g6 << 2) | (g6 >> 4);
    uint32_t b8 = (b5 << 3) | (b5 >> 2);
    dst[i] = 0xFF000000u | (b8 << 16) | (g8 << 8) | r8;
  }
}

}  // namespace

// Eight pixels at a time in 16-bit lanes: the R|G and B|0xFF halves of each
// pixel are built side by side and interleaved, so every 16-byte store holds
// four whole pixels. Runs near memory bandwidth without relying on the
// compiler's loop vectoriser (which leaves the plain loop scalar at -O2).
void expand_565_to_8888(uint32_t* dst, const uint16_t* src, size_t count) {
#if LUMO_NEON_SPANS
  if (neon_spans_active()) return neon_expand_565_to_8888(dst, src, count);
#endif
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    u16x8 p;
    memcpy(&p, src + i, sizeof(p));
    u16x8 r = ((p >> 8) & 0xF8) | (p >> 13);
    u16x8 g = ((p >> 3) & 0xFC) | ((p >> 9) & 3);
    u16x8 b = ((p << 3) & 0xF8) | ((p >> 2) & 7);
    u16x8 rg = r | (g << 8), ba = b | 0xFF00;
    u16x8 lo = __builtin_shufflevector(rg, ba, 0, 8, 1, 9, 2, 10, 3, 11);
    u16x8 hi = __builtin_shufflevector(rg, ba, 4, 12, 5, 13, 6, 14, 7, 15);
    memcpy(dst + i, &lo, sizeof(lo));
    memcpy(dst + i + 4, &hi, sizeof(hi));
  }
  expand_pixels(dst + i, src + i, count - i);
}

namespace {

// 16-byte stores of a prepared pattern, four at a time.
template <typename T, typename V>
void fill_pattern(T* dst, V pattern, size_t count) {
  constexpr size_t kLanes = sizeof(V) / sizeof(T);
  size_t i = 0;
  for (; i + 4 * kLanes <= count; i += 4 * kLanes) {
    memcpy(dst + i, &pattern, sizeof(V));
    memcpy(dst + i + kLanes, &pattern, sizeof(V));
    memcpy(dst + i + 2 * kLanes, &pattern, sizeof(V));
    memcpy(dst + i + 3 * kLanes, &pattern, sizeof(V));
  }
  for (; i + kLanes <= count; i += kLanes) memcpy(dst + i, &pattern, sizeof(V));
  for (; i < count; ++i) dst[i] = pattern[0];
}

}  // namespace

void fill_pixels16(uint16_t* dst, uint16_t value, size_t count) {
#if LUMO_NEON_SPANS
  if (neon_spans_active()) return neon_fill16(dst, value, count);
#endif
  if ((value & 0xFF) == (value >> 8)) {
    memset(dst, value & 0xFF, count * 2);
    return;
  }
  fill_pattern(dst, u16x8{value, value, value, value, value, value, value, value}, count);
}

void fill_pixels32(uint32_t* dst, uint32_t value, size_t count) {
#if LUMO_NEON_SPANS
  if (neon_spans_active()) return neon_fill32(dst, value, count);
#endif
  fill_pattern(dst, u32x4{value, value, value, value}, count);
}

void graphics_close() {
  LOGD("Close gr_fb_fd");
  platform::dev_close(g_fb_fd);
  g_fb_fd = -1;
  LOGD("Free gr_mem_surface.data");
  // The rasterizer must not keep drawing into the freed block.
  if (g_raster_ctx != nullptr) raster_set_color_buffer(g_raster_ctx, nullptr);
  free(g_mem_surface.data);
  g_mem_surface.data = nullptr;
  LOGD("KDSETMODE gr_vt_fd KD_TEXT");
  if (g_vt_fd >= 0) platform::dev_ioctl(g_vt_fd, KDSETMODE, reinterpret_cast<void*>(KD_TEXT));
  LOGD("Close gr_vt_fd");
  platform::dev_close(g_vt_fd);
  g_vt_fd = -1;
  platform::sync_filesystems();
}

int screen_width() { return static_cast<int>(g_fb_pages[0].width); }
int screen_height() { return static_cast<int>(g_fb_pages[0].height); }
int surface_width(const Surface* surface) { return surface == nullptr ? 0 : static_cast<int>(surface->width); }
int surface_height(const Surface* surface) { return surface == nullptr ? 0 : static_cast<int>(surface->height); }
