// Fake screens and PNG pictures made on the fly (no binaries in the tree).
#pragma once

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/device_root.h"

namespace lumo_test {

// dev/graphics/fb0 (two pages of `fill` bytes), its .info and, unless
// `console` is false, dev/tty0.
inline void make_screen(const DeviceRoot& root, unsigned xres, unsigned yres, unsigned bpp = 16,
                        bool console = true, char fill = 0) {
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

// `count` 16-bit pixels of the framebuffer file from byte `offset`.
inline std::vector<uint16_t> fb_pixels16(const DeviceRoot& root, size_t offset, size_t count) {
  std::string bytes = root.read("/dev/graphics/fb0");
  std::vector<uint16_t> out(count);
  if (offset + count * 2 <= bytes.size()) memcpy(out.data(), bytes.data() + offset, count * 2);
  return out;
}

struct PngSpec {
  int width = 1, height = 1, color_type = PNG_COLOR_TYPE_RGB, bit_depth = 8;
  bool interlaced = false;
  std::vector<unsigned char> pixels;  // rows packed as libpng expects them
  std::vector<png_color> palette;
  std::vector<unsigned char> trns;  // palette alphas
};

// No destructors live in this frame, so libpng's longjmp skips nothing.
inline bool encode_png(FILE* file, const PngSpec& s, png_bytep* rows) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, s.width, s.height, s.bit_depth, s.color_type,
               s.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (!s.palette.empty()) png_set_PLTE(png, info, s.palette.data(), static_cast<int>(s.palette.size()));
  if (!s.trns.empty()) png_set_tRNS(png, info, s.trns.data(), static_cast<int>(s.trns.size()), nullptr);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// Writes `spec` as a PNG at `device_path` of the root (parents made).
inline bool put_png(const DeviceRoot& root, const std::string& device_path, const PngSpec& spec) {
  root.write(device_path, "");
  size_t row = spec.pixels.size() / static_cast<size_t>(spec.height);
  std::vector<png_bytep> rows(static_cast<size_t>(spec.height));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = const_cast<png_bytep>(spec.pixels.data()) + row * y;
  FILE* file = fopen(root.path(device_path).c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = encode_png(file, spec, rows.data());
  return fclose(file) == 0 && ok;
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
