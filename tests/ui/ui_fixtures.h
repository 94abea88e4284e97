// Fake screens and PNG pictures made on the fly (no binaries in the tree),
// through lumo-sim's device client and PNG writer.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "sim/image.h"
#include "tests/support/device_root.h"

namespace lumo_test {

using PngSpec = sim::PngPicture;

// dev/graphics/fb0 (two pages of `fill` bytes), its .info and, unless
// `console` is false, dev/tty0.
inline void make_screen(const DeviceRoot& root, int xres, int yres, int bpp = 16, bool console = true,
                        char fill = 0) {
  EXPECT_TRUE(root.write_screen({xres, yres, bpp, 0}, fill));
  if (console) root.write("/dev/tty0", "");
}

// `count` 16-bit pixels of the framebuffer file from byte `offset`.
inline std::vector<uint16_t> fb_pixels16(const DeviceRoot& root, size_t offset, size_t count) {
  std::string bytes = root.read("/dev/graphics/fb0");
  std::vector<uint16_t> out(count);
  if (offset + count * 2 <= bytes.size()) memcpy(out.data(), bytes.data() + offset, count * 2);
  return out;
}

inline bool put_png(const DeviceRoot& root, const std::string& device_path, const PngSpec& spec) {
  std::string error;
  bool ok = sim::write_png_picture(root.path(device_path), spec, &error);
  EXPECT_TRUE(ok) << error;
  return ok;
}

inline PngSpec png_of(int w, int h, int color_type, std::vector<unsigned char> pixels, int depth = 8) {
  PngSpec spec;
  spec.width = w, spec.height = h, spec.color_type = color_type, spec.bit_depth = depth;
  spec.pixels = std::move(pixels);
  return spec;
}

// A w x h 8-bit RGB picture of one colour.
inline PngSpec solid_png(int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  std::vector<unsigned char> pixels;
  for (int i = 0; i < w * h; ++i) pixels.insert(pixels.end(), {r, g, b});
  return png_of(w, h, PNG_COLOR_TYPE_RGB, std::move(pixels));
}

}  // namespace lumo_test
