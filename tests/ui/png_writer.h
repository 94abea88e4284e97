// Test pictures made on the fly with libpng (no binaries in the tree).
#pragma once

#include <png.h>

#include <cstdio>
#include <string>
#include <vector>

namespace lumo_test {

struct PngSpec {
  int width = 1;
  int height = 1;
  int color_type = PNG_COLOR_TYPE_RGB;
  int bit_depth = 8;
  bool interlaced = false;
  std::vector<unsigned char> pixels;   // rows packed as libpng expects them
  std::vector<png_color> palette;      // palette images
  std::vector<unsigned char> trns;     // palette alphas, or one RGB key (3 entries)
};

// Encodes `spec` with `rows` into `file`; no destructors live in this frame,
// so libpng's longjmp on error skips nothing.
inline bool encode_png(FILE* file, const PngSpec& spec, png_bytep* rows) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, spec.width, spec.height, spec.bit_depth, spec.color_type,
               spec.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (!spec.palette.empty()) {
    png_set_PLTE(png, info, spec.palette.data(), static_cast<int>(spec.palette.size()));
  }
  if (!spec.trns.empty() && spec.color_type == PNG_COLOR_TYPE_PALETTE) {
    png_set_tRNS(png, info, spec.trns.data(), static_cast<int>(spec.trns.size()), nullptr);
  } else if (!spec.trns.empty()) {
    png_color_16 key = {};
    key.red = spec.trns[0];
    key.green = spec.trns[1];
    key.blue = spec.trns[2];
    png_set_tRNS(png, info, nullptr, 0, &key);
  }
  png_write_info(png, info);
  if (spec.bit_depth == 16) png_set_swap(png);  // rows given little-endian
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// Writes `spec` as a PNG file at the host path `path`. False on failure.
inline bool write_png(const std::string& path, const PngSpec& spec) {
  size_t row = spec.pixels.size() / static_cast<size_t>(spec.height);
  std::vector<png_bytep> rows(static_cast<size_t>(spec.height));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = const_cast<png_bytep>(spec.pixels.data()) + row * y;
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = encode_png(file, spec, rows.data());
  return fclose(file) == 0 && ok;
}

// An RGBA picture of one colour per pixel from `rgba` (width * height * 4).
inline PngSpec rgba_png(int width, int height, std::vector<unsigned char> rgba) {
  PngSpec spec;
  spec.width = width;
  spec.height = height;
  spec.color_type = PNG_COLOR_TYPE_RGB_ALPHA;
  spec.pixels = std::move(rgba);
  return spec;
}

}  // namespace lumo_test
