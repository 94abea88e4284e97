// The run-length boot logo: any file, shown on screens of several sizes and
// depths (the first input byte picks the screen). The logo must never touch
// memory past page 0, and on 16-bit screens page 0 must hold exactly what a
// plain decoding of the runs gives.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_root.h"
#include "ui/boot_logo.h"

namespace {

struct Screen {
  unsigned xres, yres, bpp;
};
constexpr Screen kScreens[] = {{1, 1, 16}, {3, 5, 32}, {17, 9, 16}, {64, 48, 32}, {480, 800, 16}, {320, 480, 32}};
constexpr uint8_t kCanary = 0xA5;
constexpr size_t kWholeCheckBytes = 64 * 1024;

// Page 0 zeroed, page 1 filled with the canary.
void make_screen(const Screen& s) {
  size_t page = static_cast<size_t>(s.xres) * s.yres * s.bpp / 8;
  std::string pixels(page, '\0');
  pixels.append(page, static_cast<char>(kCanary));
  lumo_fuzz::put_text("/dev/graphics/fb0", pixels);
  lumo_fuzz::put_text("/dev/graphics/fb0.info", "xres=" + std::to_string(s.xres) + "\nyres=" + std::to_string(s.yres) +
                                                    "\nbits_per_pixel=" + std::to_string(s.bpp) + "\nyoffset=0\n");
}

// The runs as plain 16-bit pixels: stop at the first run that does not fit.
std::vector<uint16_t> reference_page(const Screen& s, const uint8_t* runs, size_t size) {
  std::vector<uint16_t> page(static_cast<size_t>(s.xres) * s.yres, 0);
  size_t at = 0;
  for (; size >= 4; size -= 4, runs += 4) {
    size_t n = runs[0] | (runs[1] << 8);
    uint16_t color = static_cast<uint16_t>(runs[2] | (runs[3] << 8));
    if (n > page.size() - at) break;
    for (size_t i = 0; i < n; ++i) page[at + i] = color;
    at += n;
  }
  return page;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Screen* current = nullptr;
  lumo_fuzz::fuzz_root();
  lumo_fuzz::fuzz_trim_log();
  if (size < 2) return 0;
  const Screen& screen = kScreens[data[0] % (sizeof(kScreens) / sizeof(kScreens[0]))];
  size_t page = static_cast<size_t>(screen.xres) * screen.yres * screen.bpp / 8;
  // Small screens start from a clean page 0 every time and are compared
  // whole; large ones are made once and only their canary page is checked.
  bool whole = page <= kWholeCheckBytes;
  if (whole || current != &screen) make_screen(screen);
  current = &screen;
  lumo_fuzz::put_text("/dev/tty0", "");
  lumo_fuzz::put_file("/initlogo.rle", data + 1, size - 1);
  if (load_565rle_image("/initlogo.rle") != 0) abort();  // a readable file on a good screen is shown

  size_t first = whole ? 0 : page;
  std::string fb(whole ? 2 * page : page, '\0');
  int fd = open(lumo_fuzz::host_path("/dev/graphics/fb0").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || pread(fd, fb.data(), fb.size(), static_cast<off_t>(first)) != static_cast<ssize_t>(fb.size())) abort();
  close(fd);
  for (size_t i = page - first; i < fb.size(); ++i) {
    if (static_cast<uint8_t>(fb[i]) != kCanary) abort();
  }
  if (whole && screen.bpp == 16) {
    std::vector<uint16_t> expected = reference_page(screen, data + 1, size - 1);
    if (memcmp(fb.data(), expected.data(), page) != 0) abort();
  }
  return 0;
}
