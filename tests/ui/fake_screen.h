// A fake framebuffer (and console) in a test's device root.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/device_root.h"

namespace lumo_test {

// Writes dev/graphics/fb0 (two pages filled with `fill`), its .info and,
// unless `console` is false, dev/tty0.
inline void make_screen(const DeviceRoot& root, unsigned xres, unsigned yres, unsigned bpp, bool console = true,
                        char fill = 0) {
  root.write("/dev/graphics/fb0", std::string(2ul * xres * yres * bpp / 8, fill));
  root.write("/dev/graphics/fb0.info", "xres=" + std::to_string(xres) + "\nyres=" + std::to_string(yres) +
                                           "\nbits_per_pixel=" + std::to_string(bpp) + "\nyoffset=0\n");
  if (console) root.write("/dev/tty0", "");
}

// The yoffset the fake framebuffer shows, -1 when absent.
inline int shown_yoffset(const DeviceRoot& root) {
  std::string info = root.read("/dev/graphics/fb0.info");
  size_t at = info.find("yoffset=");
  return at == std::string::npos ? -1 : std::stoi(info.substr(at + 8));
}

// Little-endian 16-bit pixels of the framebuffer file from byte `offset`.
inline std::vector<uint16_t> fb_pixels16(const DeviceRoot& root, size_t offset, size_t count) {
  std::string bytes = root.read("/dev/graphics/fb0");
  std::vector<uint16_t> out(count);
  if (offset + count * 2 <= bytes.size()) memcpy(out.data(), bytes.data() + offset, count * 2);
  return out;
}

}  // namespace lumo_test
