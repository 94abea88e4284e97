// The run-length boot logo's decoder: any run bytes, drawn on page 0 of an
// in-memory screen of several sizes, depths and row paddings (the first
// input byte picks the screen). The runs must never touch the padding of a
// row nor anything past the page, and on 16-bit screens the page must hold
// exactly what a plain decoding of the runs gives. (The file and screen
// handling around the decoder is covered by the unit tests; drawing in memory
// keeps this target at thousands of inputs a second.)
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <vector>

#include "ui/boot_logo.h"
#include "ui/graphics.h"

namespace {

struct Screen {
  unsigned width, height, bits_per_pixel, line_length;
};
// A run (at most 65535 pixels) can pass the end of each of these.
constexpr Screen kScreens[] = {{1, 1, 16, 2},      {3, 5, 32, 16},      {17, 9, 16, 40},
                               {64, 48, 32, 256}, {200, 120, 16, 400}, {96, 150, 32, 400}};
constexpr size_t kScreenCount = sizeof(kScreens) / sizeof(kScreens[0]);
constexpr uint8_t kCanary = 0xA5;
constexpr size_t kGuardBytes = 4096;  // canary bytes after the page

// The checks walk every pixel: kept out of the coverage feedback, which would
// otherwise cost more than the code under test.
#define LUMO_NOT_TRACED __attribute__((no_sanitize("coverage")))

// One mapping per screen, page then guard, made on first use.
ScreenMap& screen_for(size_t index) {
  static ScreenMap maps[kScreenCount];
  ScreenMap& map = maps[index];
  if (!map.memory) {
    const Screen& s = kScreens[index];
    size_t bytes = static_cast<size_t>(s.line_length) * s.height + kGuardBytes;
    void* at = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) abort();
    map.memory = platform::Mapping(at, bytes);
    const bool rgb565 = s.bits_per_pixel == 16;  // else R, G, B, X bytes
    map.info = {s.width, s.height, s.bits_per_pixel, s.line_length, 1, bytes - kGuardBytes,
                rgb565 ? 11u : 0u, rgb565 ? 5u : 8u, rgb565 ? 0u : 16u};
    map.pages = 1;
  }
  return map;
}

// Page 0 as a plain decoding of the runs gives it on a 16-bit screen, the
// padding left as the canary: stops at the first run that does not fit.
LUMO_NOT_TRACED std::vector<uint8_t> reference_page(const Screen& s, const uint8_t* runs, size_t size) {
  std::vector<uint8_t> page(static_cast<size_t>(s.line_length) * s.height, kCanary);
  size_t pixels = static_cast<size_t>(s.width) * s.height;
  size_t at = 0;
  for (; size >= 4; size -= 4, runs += 4) {
    size_t n = runs[0] | (runs[1] << 8);
    if (n > pixels - at) break;
    for (size_t i = 0; i < n; ++i, ++at) {
      uint8_t* pixel = page.data() + (at / s.width) * s.line_length + (at % s.width) * 2;
      pixel[0] = runs[2];
      pixel[1] = runs[3];
    }
  }
  return page;
}

// True when each row's padding and everything after the page still hold the canary.
LUMO_NOT_TRACED bool outside_untouched(const Screen& s, const uint8_t* memory) {
  size_t row_bytes = static_cast<size_t>(s.width) * s.bits_per_pixel / 8;
  for (unsigned y = 0; y < s.height; ++y) {
    for (size_t x = row_bytes; x < s.line_length; ++x) {
      if (memory[y * s.line_length + x] != kCanary) return false;
    }
  }
  const uint8_t* guard = memory + static_cast<size_t>(s.line_length) * s.height;
  for (size_t i = 0; i < kGuardBytes; ++i) {
    if (guard[i] != kCanary) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t index = data[0] % kScreenCount;
  const Screen& s = kScreens[index];
  ScreenMap& screen = screen_for(index);
  memset(screen.memory.data(), kCanary, screen.memory.size());
  decode_runs(screen, data + 1, size - 1);
  if (!outside_untouched(s, screen.memory.data())) abort();
  if (s.bits_per_pixel == 16) {
    std::vector<uint8_t> expected = reference_page(s, data + 1, size - 1);
    if (memcmp(screen.memory.data(), expected.data(), expected.size()) != 0) abort();
  }
  return 0;
}
