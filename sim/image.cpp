#include "sim/image.h"

#include <cstdint>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <png.h>

#include "sim/files.h"

namespace sim {
namespace {

// 5x7 glyphs, one byte a row, bit 4 the leftmost pixel.
struct Glyph {
  char c;
  uint8_t rows[7];
};

constexpr Glyph kFont[] = {
    {' ', {0, 0, 0, 0, 0, 0, 0}},
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'B', {0x1E, 0x11, 0x11, 0x1E, 0x11, 0x11, 0x1E}},
    {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'D', {0x1C, 0x12, 0x11, 0x11, 0x11, 0x12, 0x1C}},
    {'E', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x1F}},
    {'F', {0x1F, 0x10, 0x10, 0x1E, 0x10, 0x10, 0x10}},
    {'G', {0x0E, 0x11, 0x10, 0x17, 0x11, 0x11, 0x0F}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}},
    {'I', {0x0E, 0x04, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'J', {0x07, 0x02, 0x02, 0x02, 0x02, 0x12, 0x0C}},
    {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'L', {0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x1F}},
    {'M', {0x11, 0x1B, 0x15, 0x15, 0x11, 0x11, 0x11}},
    {'N', {0x11, 0x11, 0x19, 0x15, 0x13, 0x11, 0x11}},
    {'O', {0x0E, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'P', {0x1E, 0x11, 0x11, 0x1E, 0x10, 0x10, 0x10}},
    {'Q', {0x0E, 0x11, 0x11, 0x11, 0x15, 0x12, 0x0D}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}},
    {'S', {0x0F, 0x10, 0x10, 0x0E, 0x01, 0x01, 0x1E}},
    {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'U', {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x0E}},
    {'V', {0x11, 0x11, 0x11, 0x11, 0x11, 0x0A, 0x04}},
    {'W', {0x11, 0x11, 0x11, 0x15, 0x15, 0x15, 0x0A}},
    {'X', {0x11, 0x11, 0x0A, 0x04, 0x0A, 0x11, 0x11}},
    {'Y', {0x11, 0x11, 0x11, 0x0A, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
    {'-', {0, 0, 0, 0x1F, 0, 0, 0}},
    {'_', {0, 0, 0, 0, 0, 0, 0x1F}},
    {'.', {0, 0, 0, 0, 0, 0x0C, 0x0C}},
    {':', {0, 0x0C, 0x0C, 0, 0x0C, 0x0C, 0}},
    {'/', {0x01, 0x02, 0x02, 0x04, 0x08, 0x08, 0x10}},
    {'=', {0, 0, 0x1F, 0, 0x1F, 0, 0}},
    {'%', {0x18, 0x19, 0x02, 0x04, 0x08, 0x13, 0x03}},
    {'#', {0x0A, 0x0A, 0x1F, 0x0A, 0x1F, 0x0A, 0x0A}},
    {'(', {0x02, 0x04, 0x08, 0x08, 0x08, 0x04, 0x02}},
    {')', {0x08, 0x04, 0x02, 0x02, 0x02, 0x04, 0x08}},
    {',', {0, 0, 0, 0, 0x0C, 0x04, 0x08}},
    {'+', {0, 0x04, 0x04, 0x1F, 0x04, 0x04, 0}},
    {'?', {0x0E, 0x11, 0x01, 0x02, 0x04, 0, 0x04}},
    {'!', {0x04, 0x04, 0x04, 0x04, 0x04, 0, 0x04}},
};

constexpr uint8_t kUnknownGlyph[7] = {0x1F, 0x11, 0x11, 0x11, 0x11, 0x11, 0x1F};
constexpr int kGlyphAdvance = 6;

const uint8_t* glyph_rows(char c) {
  if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  for (const Glyph& g : kFont) {
    if (g.c == c) return g.rows;
  }
  return kUnknownGlyph;
}

uint32_t scale_color(uint32_t c, double f) {
  auto ch = [&](int shift) {
    int v = static_cast<int>(((c >> shift) & 0xff) * f + 0.5);
    return static_cast<uint32_t>(std::clamp(v, 0, 255)) << shift;
  };
  return 0xff000000u | ch(16) | ch(8) | ch(0);
}

// libpng reports errors by longjmp; these wrappers keep every C++ object out
// of the functions that call setjmp.
bool png_write_rows(FILE* f, const PngPicture& p, png_bytep* rows) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, static_cast<png_uint_32>(p.width), static_cast<png_uint_32>(p.height),
               p.bit_depth, p.color_type, p.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (!p.palette.empty()) {
    png_set_PLTE(png, info, reinterpret_cast<png_const_colorp>(p.palette.data()),
                 static_cast<int>(p.palette.size() / 3));
  }
  if (!p.alphas.empty()) {
    png_set_tRNS(png, info, p.alphas.data(), static_cast<int>(p.alphas.size()), nullptr);
  }
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// Reads an 8-bit RGBA rendering of any PNG into `*pixels` (allocated with
// malloc, width * height * 4 bytes).
bool png_read_rgba(FILE* f, png_uint_32* width, png_uint_32* height, unsigned char** pixels) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  png_bytep* volatile rows = nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png))) {
    free(rows);
    free(*pixels);
    *pixels = nullptr;
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  png_set_expand(png);
  png_set_strip_16(png);
  png_set_gray_to_rgb(png);
  png_set_add_alpha(png, 0xff, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  *width = png_get_image_width(png, info);
  *height = png_get_image_height(png, info);
  if (*width == 0 || *height == 0 || *width > 16384 || *height > 16384 ||
      png_get_rowbytes(png, info) != *width * 4) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  *pixels = static_cast<unsigned char*>(malloc(static_cast<size_t>(*width) * *height * 4));
  rows = static_cast<png_bytep*>(malloc(sizeof(png_bytep) * *height));
  if (*pixels == nullptr || rows == nullptr) png_error(png, "out of memory");
  for (png_uint_32 y = 0; y < *height; ++y) rows[y] = *pixels + static_cast<size_t>(y) * *width * 4;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  free(rows);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

void draw_disc(Image* image, int cx, int cy, int r, uint32_t color) {
  for (int y = -r; y <= r; ++y) {
    for (int x = -r; x <= r; ++x) {
      if (x * x + y * y <= r * r) image->set(cx + x, cy + y, color);
    }
  }
}

void draw_ring(Image* image, int cx, int cy, int r, int thickness, uint32_t color) {
  for (int y = -r; y <= r; ++y) {
    for (int x = -r; x <= r; ++x) {
      int d = x * x + y * y;
      if (d <= r * r && d > (r - thickness) * (r - thickness)) image->set(cx + x, cy + y, color);
    }
  }
}

std::string hex_color(uint32_t c) {
  char text[16];
  snprintf(text, sizeof(text), "%08X", c);
  return text;
}

// The side panel: battery LED as a coloured dot, backlight level and bar,
// screen power state.
void draw_panel(const Device& device, Image* out, int x0) {
  constexpr uint32_t kBack = 0xff22262b, kText = 0xffd8dde3, kDim = 0xff7d8590;
  int w = out->width - x0;
  fill_rect(out, x0, 0, w, out->height, kBack);
  int x = x0 + 16;
  int y = 16;
  draw_text(out, x, y, "LUMO-SIM", kText, 2);
  y += 40;

  draw_text(out, x, y, "BATTERY LED", kDim, 2);
  y += 28;
  bool led_known = path_exists(device.path("/sys/class/leds/battery/color"));
  uint32_t led = device.light_color("battery");
  bool led_on = (led & 0x00ffffff) != 0;
  int cx = x0 + w / 2, cy = y + 30;
  draw_disc(out, cx, cy, 26, led_on ? (0xff000000u | led) : 0xff15181b);
  draw_ring(out, cx, cy, 28, 3, 0xff5a626b);
  y += 70;
  std::string led_text = !led_known ? "NOT SET" : led_on ? hex_color(led) : "OFF";
  draw_text(out, x0 + (w - text_width(led_text, 2)) / 2, y, led_text, kText, 2);
  y += 44;

  draw_text(out, x, y, "BACKLIGHT", kDim, 2);
  y += 28;
  bool backlight_known = path_exists(device.path("/sys/class/leds/backlight/color"));
  int level = device.backlight_level();
  std::string level_text = backlight_known ? std::to_string(level) : "--";
  draw_text(out, x0 + (w - text_width(level_text, 5)) / 2, y, level_text, kText, 5);
  y += 50;
  fill_rect(out, x, y, w - 32, 12, 0xff15181b);
  fill_rect(out, x, y, (w - 32) * level / 255, 12, 0xfff2c94c);
  y += 36;

  draw_text(out, x, y, "SCREEN", kDim, 2);
  y += 28;
  std::string state = trim_sysfs(read_file(device.path("/sys/power/state")).value_or(""));
  for (char& c : state) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  draw_text(out, x, y, state.empty() ? "--" : state, kText, 2);
}

}  // namespace

uint32_t rgb565_to_argb(uint16_t p) {
  uint32_t r5 = p >> 11, g6 = (p >> 5) & 0x3f, b5 = p & 0x1f;
  uint32_t r = (r5 << 3) | (r5 >> 2), g = (g6 << 2) | (g6 >> 4), b = (b5 << 3) | (b5 >> 2);
  return 0xff000000u | (r << 16) | (g << 8) | b;
}

bool write_png_picture(const std::string& path, const PngPicture& picture, std::string* error) {
  if (picture.width <= 0 || picture.height <= 0 || picture.pixels.empty() ||
      picture.pixels.size() % static_cast<size_t>(picture.height) != 0) {
    *error = "no picture to write to " + path;
    return false;
  }
  size_t row_bytes = picture.pixels.size() / static_cast<size_t>(picture.height);
  std::vector<png_bytep> rows(static_cast<size_t>(picture.height));
  for (size_t y = 0; y < rows.size(); ++y) {
    rows[y] = const_cast<png_bytep>(picture.pixels.data()) + y * row_bytes;
  }
  make_parent_dirs(path);
  FILE* f = fopen(path.c_str(), "wb");
  if (f == nullptr) {
    *error = "cannot write " + path;
    return false;
  }
  bool ok = png_write_rows(f, picture, rows.data());
  ok = fclose(f) == 0 && ok;
  if (!ok) *error = "cannot encode " + path;
  return ok;
}

namespace {

PngPicture rgba_picture(const Image& image) {
  PngPicture picture;
  picture.width = image.width;
  picture.height = image.height;
  picture.color_type = PNG_COLOR_TYPE_RGBA;
  picture.pixels.reserve(image.pixels.size() * 4);
  for (uint32_t c : image.pixels) {
    picture.pixels.insert(picture.pixels.end(), {static_cast<unsigned char>(c >> 16),
                                                 static_cast<unsigned char>(c >> 8),
                                                 static_cast<unsigned char>(c),
                                                 static_cast<unsigned char>(c >> 24)});
  }
  return picture;
}

}  // namespace

bool write_png(const std::string& path, const Image& image, std::string* error) {
  return write_png_picture(path, rgba_picture(image), error);
}

bool encode_png(const Image& image, std::string* bytes, std::string* error) {
  if (image.width <= 0 || image.height <= 0) {
    *error = "no picture to encode";
    return false;
  }
  PngPicture picture = rgba_picture(image);
  size_t row_bytes = static_cast<size_t>(image.width) * 4;
  std::vector<png_bytep> rows(static_cast<size_t>(image.height));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = picture.pixels.data() + y * row_bytes;
  char* buffer = nullptr;
  size_t size = 0;
  FILE* f = open_memstream(&buffer, &size);
  if (f == nullptr) {
    *error = "cannot encode a picture in memory";
    return false;
  }
  bool ok = png_write_rows(f, picture, rows.data());
  ok = fclose(f) == 0 && ok;
  if (ok) bytes->assign(buffer, size);
  free(buffer);
  if (!ok) *error = "cannot encode a picture in memory";
  return ok;
}

namespace {

bool read_png_stream(FILE* f, const std::string& what, Image* image, std::string* error) {
  if (f == nullptr) {
    *error = "cannot open " + what;
    return false;
  }
  png_uint_32 w = 0, h = 0;
  unsigned char* pixels = nullptr;
  bool ok = png_read_rgba(f, &w, &h, &pixels);
  fclose(f);
  if (!ok) {
    *error = "cannot decode " + what;
    return false;
  }
  *image = Image(static_cast<int>(w), static_cast<int>(h), 0);
  for (size_t i = 0; i < image->pixels.size(); ++i) {
    const unsigned char* p = pixels + i * 4;
    image->pixels[i] = (uint32_t{p[3]} << 24) | (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
  }
  free(pixels);
  return true;
}

}  // namespace

bool read_png(const std::string& path, Image* image, std::string* error) {
  return read_png_stream(fopen(path.c_str(), "rb"), path, image, error);
}

bool decode_png(const std::string& bytes, const std::string& what, Image* image, std::string* error) {
  if (bytes.empty()) {
    *error = what + " is empty";
    return false;
  }
  return read_png_stream(fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb"), what, image, error);
}

void fill_rect(Image* image, int x, int y, int w, int h, uint32_t color) {
  for (int j = std::max(0, y); j < std::min(image->height, y + h); ++j) {
    for (int i = std::max(0, x); i < std::min(image->width, x + w); ++i) image->set(i, j, color);
  }
}

int text_width(const std::string& text, int scale) {
  return text.empty() ? 0 : (static_cast<int>(text.size()) * kGlyphAdvance - 1) * scale;
}

int draw_text(Image* image, int x, int y, const std::string& text, uint32_t color, int scale) {
  int pen = x;
  for (char c : text) {
    const uint8_t* rows = glyph_rows(c);
    for (int row = 0; row < 7; ++row) {
      for (int col = 0; col < 5; ++col) {
        if (rows[row] & (0x10 >> col)) fill_rect(image, pen + col * scale, y + row * scale, scale, scale, color);
      }
    }
    pen += kGlyphAdvance * scale;
  }
  return pen - x;
}

bool read_visible_page(const Device& device, Image* page, FrameInfo* info, std::string* error) {
  if (!read_frame_info(device, info, error)) return false;
  std::optional<std::string> fb = read_file(device.path("/dev/graphics/fb0"));
  if (!fb) {
    *error = "no framebuffer at " + device.path("/dev/graphics/fb0");
    return false;
  }
  size_t bytes_per_pixel = info->bits_per_pixel == 16 ? 2 : 4;
  size_t pixels = static_cast<size_t>(info->xres) * info->yres;
  size_t start = static_cast<size_t>(info->yoffset) * info->xres * bytes_per_pixel;
  if (start + pixels * bytes_per_pixel > fb->size()) {
    *error = "the framebuffer file is too short for the visible page (yoffset " +
             std::to_string(info->yoffset) + ")";
    return false;
  }
  *page = Image(info->xres, info->yres, 0xff000000u);
  const auto* p = reinterpret_cast<const unsigned char*>(fb->data()) + start;
  for (size_t i = 0; i < pixels; ++i) {
    if (bytes_per_pixel == 2) {
      page->pixels[i] = rgb565_to_argb(static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8)));
    } else {
      const unsigned char* q = p + 4 * i;
      page->pixels[i] = 0xff000000u | (uint32_t{q[0]} << 16) | (uint32_t{q[1]} << 8) | q[2];
    }
  }
  return true;
}

double backlight_factor(int level) {
  if (level <= 0) return 0.12;
  return 0.7 + 0.3 * std::min(level, 255) / 255.0;
}

bool render_screenshot(const Device& device, Image* out, std::string* error) {
  Image page;
  FrameInfo info;
  if (!read_visible_page(device, &page, &info, error)) return false;
  constexpr int kPanelWidth = 220, kPanelMinHeight = 480;
  *out = Image(page.width + kPanelWidth, std::max(page.height, kPanelMinHeight), 0xff000000u);
  double f = backlight_factor(device.backlight_level());
  for (int y = 0; y < page.height; ++y) {
    for (int x = 0; x < page.width; ++x) out->set(x, y, scale_color(page.at(x, y), f));
  }
  draw_panel(device, out, page.width);
  return true;
}

bool take_screenshot(const Device& device, const std::string& png_path, std::string* error) {
  Image shot;
  return render_screenshot(device, &shot, error) && write_png(png_path, shot, error);
}

bool make_contact_sheet(const std::string& out_path, const std::vector<std::string>& inputs,
                        std::string* error, const std::string& title) {
  if (inputs.empty()) {
    *error = "no pictures for the contact sheet";
    return false;
  }
  std::vector<Image> images(inputs.size());
  int max_w = 0, max_h = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (!read_png(inputs[i], &images[i], error)) return false;
    max_w = std::max(max_w, images[i].width);
    max_h = std::max(max_h, images[i].height);
  }
  // Thumbnails at most 360 pixels high, shrunk by a whole factor (box filter).
  int factor = std::max(1, (max_h + 359) / 360);
  int cell_w = max_w / factor + 24, cell_h = max_h / factor + 40;
  int columns = static_cast<int>(std::min<size_t>(inputs.size(), 4));
  int rows = static_cast<int>((inputs.size() + columns - 1) / columns);
  constexpr int kTitle = 44;
  Image sheet(columns * cell_w + 24, rows * cell_h + kTitle + 12, 0xff15181b);
  draw_text(&sheet, 24, 14, title.empty() ? "LUMO-SIM SESSION" : "LUMO-SIM: " + title, 0xffd8dde3, 3);
  for (size_t i = 0; i < images.size(); ++i) {
    const Image& img = images[i];
    int x0 = 24 + static_cast<int>(i % columns) * cell_w;
    int y0 = kTitle + static_cast<int>(i / columns) * cell_h;
    for (int y = 0; y < img.height / factor; ++y) {
      for (int x = 0; x < img.width / factor; ++x) {
        uint32_t r = 0, g = 0, b = 0;
        for (int dy = 0; dy < factor; ++dy) {
          for (int dx = 0; dx < factor; ++dx) {
            uint32_t c = img.at(x * factor + dx, y * factor + dy);
            r += (c >> 16) & 0xff, g += (c >> 8) & 0xff, b += c & 0xff;
          }
        }
        uint32_t n = static_cast<uint32_t>(factor * factor);
        sheet.set(x0 + x, y0 + y, 0xff000000u | ((r / n) << 16) | ((g / n) << 8) | (b / n));
      }
    }
    std::string name = base_name(inputs[i]);
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) name.resize(name.size() - 4);
    draw_text(&sheet, x0, y0 + img.height / factor + 10, name, 0xffd8dde3, 2);
  }
  return write_png(out_path, sheet, error);
}

std::vector<uint16_t> decode_565_rle(const std::string& file, size_t max_pixels) {
  std::vector<uint16_t> out;
  const auto* p = reinterpret_cast<const unsigned char*>(file.data());
  for (size_t i = 0; i + 4 <= file.size(); i += 4) {
    size_t n = p[i] | (p[i + 1] << 8);
    uint16_t color = static_cast<uint16_t>(p[i + 2] | (p[i + 3] << 8));
    if (n > max_pixels - out.size()) break;
    out.insert(out.end(), n, color);
  }
  return out;
}

namespace {

uint16_t to_565(uint32_t c) {
  return static_cast<uint16_t>((((c >> 16) & 0xf8) << 8) | (((c >> 8) & 0xfc) << 3) | ((c & 0xff) >> 3));
}

bool same_pixels(const Image& page, const std::vector<uint32_t>& wanted, const char* what, std::string* detail) {
  size_t mismatches = 0, first = 0;
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (page.pixels[i] != wanted[i] && mismatches++ == 0) first = i;
  }
  if (mismatches == 0) return true;
  char text[220];
  snprintf(text, sizeof(text), "%zu of %zu pixels differ from %s; first at x=%zu y=%zu: screen %06X, logo %06X",
           mismatches, wanted.size(), what, first % page.width, first / page.width,
           page.pixels[first] & 0xffffffu, wanted[first] & 0xffffffu);
  *detail = text;
  return false;
}

}  // namespace

Image logo_on_screen(const Image& logo, int width, int height) {
  Image screen(width, height, 0xff000000u);
  int x0 = (width - logo.width) / 2, y0 = (height - logo.height) / 2;
  for (int y = 0; y < logo.height; ++y) {
    for (int x = 0; x < logo.width; ++x) screen.set(x0 + x, y0 + y, rgb565_to_argb(to_565(logo.at(x, y))));
  }
  return screen;
}

std::string encode_565_rle(const Image& screen) {
  std::string out;
  auto put = [&out](size_t n, uint16_t color) {
    out += {static_cast<char>(n & 0xff), static_cast<char>(n >> 8), static_cast<char>(color & 0xff),
            static_cast<char>(color >> 8)};
  };
  size_t n = 0;
  uint16_t color = 0;
  for (uint32_t c : screen.pixels) {
    uint16_t p = to_565(c);
    if (n > 0 && (p != color || n == 0xffff)) {
      put(n, color);
      n = 0;
    }
    color = p;
    ++n;
  }
  if (n > 0) put(n, color);
  return out;
}

bool page_shows_boot_logo(const Image& page, const std::string& rle, const Image* logo, std::string* detail) {
  if (logo != nullptr) {
    return same_pixels(page, logo_on_screen(*logo, page.width, page.height).pixels, "the logo picture centred", detail);
  }
  std::vector<uint16_t> runs = decode_565_rle(rle, SIZE_MAX);
  if (runs.size() != page.pixels.size()) {
    *detail = "/initlogo.rle holds " + std::to_string(runs.size()) + " pixels, the screen " +
              std::to_string(page.width) + " x " + std::to_string(page.height) + " = " +
              std::to_string(page.pixels.size()) + ": it was not made for this screen";
    return false;
  }
  std::vector<uint32_t> wanted(runs.size());
  for (size_t i = 0; i < runs.size(); ++i) wanted[i] = rgb565_to_argb(runs[i]);
  return same_pixels(page, wanted, "/initlogo.rle", detail);
}

bool logo_shown(const Image& page, const std::optional<std::string>& rle, const std::optional<std::string>& picture,
                std::string* detail) {
  if (!rle) {
    *detail = "the phone has no /initlogo.rle";
    return false;
  }
  Image logo;
  if (picture && !decode_png(*picture, "/initlogo.png", &logo, detail)) return false;
  return page_shows_boot_logo(page, *rle, picture ? &logo : nullptr, detail);
}

bool screen_shows_boot_logo(const Device& device, std::string* detail) {
  Image page;
  FrameInfo info;
  return read_visible_page(device, &page, &info, detail) &&
         logo_shown(page, read_file(device.path("/initlogo.rle")), read_file(device.path("/initlogo.png")), detail);
}

}  // namespace sim
