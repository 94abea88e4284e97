// Boot logo: run-length RGB565 file written straight into framebuffer page 0.
#include "ui/boot_logo.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "platform/display.h"
#include "platform/log.h"
#include "platform/owned.h"
#include "platform/paths.h"
#include "ui/graphics.h"

namespace {

size_t logo_pixels(const ScreenMap& screen) { return static_cast<size_t>(screen.info.width) * screen.info.height; }

// `n` pixels of one colour from pixel `at` (reading order) on, row by row so
// that the padding of a row is never written.
void fill_run(const ScreenMap& screen, size_t at, size_t n, uint16_t color) {
  const platform::DisplayInfo& info = screen.info;
  uint32_t wide = 0;
  if (info.bits_per_pixel == 32) {
    if (screen_blue_first(info)) {
      expand_565_to_bgrx8888(&wide, &color, 1);
    } else {
      expand_565_to_8888(&wide, &color, 1);
    }
  }
  while (n > 0) {
    size_t x = at % info.width, y = at / info.width;
    size_t count = n < info.width - x ? n : info.width - x;
    uint8_t* row = screen.memory.data() + y * info.line_length;
    if (info.bits_per_pixel == 32) {
      fill_pixels32(reinterpret_cast<uint32_t*>(row) + x, wide, count);
    } else {
      fill_pixels16(reinterpret_cast<uint16_t*>(row) + x, color, count);
    }
    at += count;
    n -= count;
  }
}

// Logs `message` for `path`, puts the console back to text mode: -1.
int give_up(const char* message, const char* path) {
  LOGE(message, path != nullptr ? path : "");
  vt_set_mode(0);
  return -1;
}

}  // namespace

void decode_runs(const ScreenMap& screen, const uint8_t* runs, size_t left) {
  size_t free_pixels = logo_pixels(screen);
  size_t written = 0;
  for (; left > 3; left -= 4, runs += 4) {
    size_t n = runs[0] | (runs[1] << 8);
    auto color = static_cast<uint16_t>(runs[2] | (runs[3] << 8));
    if (n > free_pixels) break;
    fill_run(screen, written, n, color);
    written += n;
    free_pixels -= n;
  }
}

int vt_set_mode(int graphics) {
  platform::ConsoleHandle console(platform::console_open());
  if (!console) return -1;
  return platform::console_set_mode(console.get(),
                                    graphics != 0 ? platform::ConsoleMode::kGraphics : platform::ConsoleMode::kText);
}

int load_565rle_image(const char* path) {
  LOGW("565rle : vt_set_mode");
  if (vt_set_mode(1) != 0) LOGE("cannot set mode 1.\n");
  LOGW("565rle : open fname");
  char host[4096];
  platform::UniqueFd fd(path != nullptr && platform::map_path(path, host, sizeof(host))
                            ? open(host, O_RDONLY | O_CLOEXEC)
                            : -1);
  if (!fd) return give_up("cannot open '%s'\n", path);
  LOGW("565rle : fstat");
  struct stat st;
  if (fstat(fd.get(), &st) < 0) return give_up("cannot fstat '%s'\n", path);
  LOGW("565rle : mmap");
  size_t size = static_cast<size_t>(st.st_size);
  platform::Mapping data = platform::map_file(fd.get(), size, false);
  if (!data) return give_up("cannot mmap '%s'\n", path);
  LOGW("565rle : fb_open");
  ScreenMap screen;
  if (screen_map(&screen, 1) != 0) {
    LOGE("cannot open framebuff \n");
    vt_set_mode(0);
    return -1;
  }
  LOGD("load_565rle_image '%s'\n", path);
  LOGW("max=%d, count=%d, bits=%d", static_cast<int>(logo_pixels(screen)), static_cast<int>(size),
       static_cast<int>(reinterpret_cast<uintptr_t>(screen.memory.data())));
  decode_runs(screen, data.data(), size);
  LOGD(" load_565rle_image success! \n");
  data.reset();
  platform::display_refresh(screen.display.get());
  return 0;
}
