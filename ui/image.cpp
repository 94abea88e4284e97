// PNG pictures into Surface blocks (record followed by RGBA/RGBX pixels).
#include "ui/image.h"

#include <png.h>

#include <atomic>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/settings.h"
#include "platform/log.h"
#include "platform/paths.h"
#include "ui/graphics.h"
#include "ui/raster.h"

namespace {

constexpr size_t kPathSize = 256;

// Bytes of decoded pictures handed out by load_png_surface, and its limit.
std::atomic<size_t> g_budget_used{0};
std::atomic<size_t> g_budget{kPictureBudgetBytes};

// Charges `bytes` to the budget; false (nothing charged) when they do not fit.
bool charge_budget(size_t bytes) {
  size_t used = g_budget_used.load();
  do {
    if (bytes > g_budget.load() || used > g_budget.load() - bytes) return false;
  } while (!g_budget_used.compare_exchange_weak(used, used + bytes));
  return true;
}

// What a decoded picture's block holds before its run table: record and pixels.
size_t picture_bytes(const Surface& s) {
  return sizeof(Surface) + static_cast<size_t>(s.width) * static_cast<size_t>(s.height) * 4;
}

size_t budget_left() {
  size_t used = g_budget_used.load(), budget = g_budget.load();
  return used < budget ? budget - used : 0;
}

// What the decoder hands back to load_png_surface; lives in memory, not in
// registers, so it survives the decoder's longjmp.
struct Decode {
  size_t max_bytes = 0;  // largest block allowed
  Surface* block = nullptr;
  size_t size = 0;     // bytes in block
  bool widen = false;  // rows arrive as 3 bytes a pixel
};

// The accepted layouts: 8-bit RGB, RGBA and palette.
bool accepted(int depth, int color_type, int channels) {
  if (depth != 8) return false;
  return (color_type == PNG_COLOR_TYPE_RGB && channels == 3) ||
         (color_type == PNG_COLOR_TYPE_RGB_ALPHA && channels == 4) ||
         (color_type == PNG_COLOR_TYPE_PALETTE && channels == 1);
}

// Pixel x's three bytes move from 3x to 4x..4x+2, last pixel first.
void widen_row(uint8_t* row, uint32_t width) {
  for (uint32_t x = width; x-- > 0;) {
    uint8_t r = row[3 * x], g = row[3 * x + 1], b = row[3 * x + 2];
    row[4 * x] = r;
    row[4 * x + 1] = g;
    row[4 * x + 2] = b;
    row[4 * x + 3] = 0xFF;
  }
}

// Header, layout checks, allocation and rows. Any libpng error longjmps back
// here with -6; nothing with a destructor lives in this frame.
int decode_rows(png_structp png, png_infop info, FILE* file, Decode* out) {
  if (setjmp(png_jmpbuf(png))) return PNG_ERR_DECODE;
  png_init_io(png, file);
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);

  uint32_t width = png_get_image_width(png, info);
  uint32_t height = png_get_image_height(png, info);
  int depth = png_get_bit_depth(png, info);
  int color_type = png_get_color_type(png, info);
  int channels = png_get_channels(png, info);
  if (!accepted(depth, color_type, channels)) return PNG_ERR_FORMAT;
  if (width == 0 || height == 0 || width > kMaxPictureSide || height > kMaxPictureSide) return PNG_ERR_MEMORY;

  size_t row_bytes = static_cast<size_t>(width) * 4;
  size_t size = row_bytes * height + sizeof(Surface);
  if (size > out->max_bytes) return PNG_ERR_BUDGET;
  LOGW("Malloc %d for resouce surface.", static_cast<int>(size));
  out->block = static_cast<Surface*>(malloc(size));
  if (out->block == nullptr) return PNG_ERR_MEMORY;
  out->size = size;

  bool alpha = color_type == PNG_COLOR_TYPE_RGB_ALPHA;
  if (color_type == PNG_COLOR_TYPE_PALETTE) {
    png_set_palette_to_rgb(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) {
      png_set_tRNS_to_alpha(png);
      alpha = true;
    }
  }
  out->widen = !alpha;
  int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  // The transformed rows must fit the 4-byte pixels we allocated.
  if (png_get_rowbytes(png, info) != (alpha ? row_bytes : static_cast<size_t>(width) * 3)) return PNG_ERR_FORMAT;

  Surface* s = out->block;
  memset(s, 0, sizeof(Surface));
  s->version = sizeof(Surface);
  s->width = width;
  s->height = height;
  s->stride = static_cast<int32_t>(width);
  s->data = reinterpret_cast<uint8_t*>(s + 1);
  s->format = alpha ? PIXEL_FORMAT_RGBA_8888 : PIXEL_FORMAT_RGBX_8888;
  // Interlaced passes combine into rows as read, so rows are widened only
  // after the last pass.
  for (int pass = 0; pass < passes; ++pass) {
    for (uint32_t y = 0; y < height; ++y) png_read_row(png, s->data + row_bytes * y, nullptr);
  }
  if (out->widen) {
    for (uint32_t y = 0; y < height; ++y) widen_row(s->data + row_bytes * y, width);
  }
  return PNG_LOAD_OK;
}

}  // namespace

int decode_png_stream(FILE* file, size_t max_bytes, Surface** out) {
  png_byte header[8];
  if (fread(header, 1, sizeof(header), file) != sizeof(header)) return PNG_ERR_SHORT;
  if (png_sig_cmp(header, 0, sizeof(header)) != 0) return PNG_ERR_SIGNATURE;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  if (png == nullptr) return PNG_ERR_READ_STRUCT;
  png_infop info = png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return PNG_ERR_INFO_STRUCT;
  }
  Decode decode;
  decode.max_bytes = max_bytes;
  int result = decode_rows(png, info, file, &decode);
  png_destroy_read_struct(&png, &info, nullptr);
  if (result == PNG_LOAD_OK) {
    // Decoded pictures never change: the rasterizer may classify them once.
    *out = raster_classify_picture(decode.block, decode.size);
  } else {
    free(decode.block);
  }
  return result;
}

namespace {

// Appends `name` to `path`, with the language tag in place of the first "%s"
// when `pattern` is set. Other '%' characters are copied as they are. False
// when the result does not fit.
bool append_name(char* path, size_t size, const char* name, bool pattern) {
  size_t used = strlen(path);
  const char* mark = pattern ? strstr(name, "%s") : nullptr;
  size_t prefix = mark != nullptr ? static_cast<size_t>(mark - name) : strlen(name);
  const char* tag = mark != nullptr ? getLanguage() : "";
  const char* rest = mark != nullptr ? mark + 2 : "";
  int n = snprintf(path + used, size - used, "%.*s%s%s", static_cast<int>(prefix), name, tag, rest);
  return n >= 0 && static_cast<size_t>(n) < size - used;
}

}  // namespace

int load_png_surface(const char* path, Surface** out) {
  char host[4096];
  if (path == nullptr || out == nullptr || !platform::map_path(path, host, sizeof(host))) return PNG_ERR_OPEN;
  FILE* file = fopen(host, "rb");
  if (file == nullptr) return PNG_ERR_OPEN;
  Surface* picture = nullptr;
  int result = decode_png_stream(file, budget_left(), &picture);
  fclose(file);
  if (result == PNG_LOAD_OK && !charge_budget(picture_bytes(*picture))) {
    free(picture);
    result = PNG_ERR_BUDGET;
  }
  if (result == PNG_ERR_BUDGET) {
    LOGE("Picture '%s' refused: decoded pictures would pass %lu bytes.", path,
         static_cast<unsigned long>(g_budget.load()));
  } else if (result == PNG_LOAD_OK) {
    *out = picture;
  }
  return result;
}

void set_picture_budget_for_test(size_t bytes) {
  g_budget.store(bytes);
  g_budget_used.store(0);
}

Surface* resource_surface(ImageResource* resource) {
  if (resource == nullptr) return nullptr;
  if (resource->surface != nullptr) return resource->surface;
  if (resource->failed != 0) return nullptr;
  char path[kPathSize];
  int n = snprintf(path, sizeof(path), "%s", getResPath());
  bool fits = n >= 0 && static_cast<size_t>(n) < sizeof(path);
  if (resource->file_name != nullptr) {
    fits = fits && append_name(path, sizeof(path), resource->file_name, false);
  } else if (resource->name_pattern != nullptr) {
    fits = fits && append_name(path, sizeof(path), resource->name_pattern, true);
  } else {
    LOGE("No load resurce.");
    return nullptr;
  }
  // A cut path would name another file: treat it as one that cannot be opened.
  int result = fits ? load_png_surface(path, &resource->surface) : PNG_ERR_OPEN;
  if (result < 0) {
    if (result != PNG_ERR_SHORT) LOGE("Missing bitmap (Code %d) '%s'\n", result, path);
    resource->surface = nullptr;
    // A file that is there but does not decode would be decoded again on
    // every frame; a missing or too short one costs one open and may still
    // appear whole.
    if (result != PNG_ERR_OPEN && result != PNG_ERR_SHORT) resource->failed = result;
  }
  return resource->surface;
}
