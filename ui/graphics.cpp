// Framebuffer, pages, off-screen surface and the rasterizer's lasting state.
#include "ui/graphics.h"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/log.h"
#include "platform/power.h"
#include "ui/neon_spans.h"
#include "ui/raster.h"

namespace {

constexpr unsigned kMaxSide = 16384;

int g_fb_fd = -1;
int g_vt_fd = -1;
unsigned g_front_page = 0;
unsigned g_page_count = 0;
Surface g_mem_surface = {};
Surface g_fb_pages[2] = {};
platform::DisplayInfo g_display_info = {};
RasterContext* g_raster_ctx = nullptr;
// The device memory, mapped once and kept across close and reopen; never
// destroyed, so that no exit path unmaps it under a drawing thread.
platform::Mapping& g_fb_memory = *new platform::Mapping();

size_t screen_pixels() {
  return static_cast<size_t>(g_display_info.width) * static_cast<size_t>(g_display_info.height);
}

// Rows hold exactly the width: a page is one block.
bool rows_packed() {
  return g_display_info.line_length == g_display_info.width * screen_bytes_per_pixel(g_display_info);
}

// 32-bit layouts present can write: R, G, B, X bytes or X, R, G, B words.
bool layout_supported(const platform::DisplayInfo& info) {
  if (info.bits_per_pixel == 16) return true;
  bool rgbx = info.red_offset == 0 && info.green_offset == 8 && info.blue_offset == 16;
  return rgbx || screen_blue_first(info);
}

// The device's claims are checked here, so that a page copy can never run
// past the mapping.
bool geometry_usable(const platform::DisplayInfo& info) {
  if (info.width == 0 || info.height == 0 || info.width > kMaxSide || info.height > kMaxSide) return false;
  if (info.bits_per_pixel != 16 && info.bits_per_pixel != 32) return false;
  return info.line_length >= info.width * screen_bytes_per_pixel(info) && layout_supported(info);
}

// Says that the screen cannot hold one page, on standard error and in the log.
void report_no_page(const platform::DisplayInfo& info) {
  size_t page = static_cast<size_t>(info.line_length) * info.height;
  fprintf(stderr, "fb0 cannot hold one page: %zu bytes of memory, a page needs %zu\n", info.memory_size, page);
  LOGE("framebuffer: memory of %zu bytes cannot hold one page of %zu bytes", info.memory_size, page);
}

Surface page_record(uint8_t* data, int32_t stride) {
  Surface page = {};
  page.version = sizeof(Surface);
  page.width = g_display_info.width;
  page.height = g_display_info.height;
  page.stride = stride;
  page.data = data;
  page.format = PIXEL_FORMAT_RGB_565;
  return page;
}

// Drawing and presenting need both buffers.
bool screen_ready() {
  return g_fb_fd >= 0 && g_mem_surface.data != nullptr && g_fb_pages[0].data != nullptr;
}

void open_console() {
  g_vt_fd = platform::console_open();
  if (g_vt_fd < 0) perror("can't open /dev/tty0");
}

void setup_raster() {
  if (g_raster_ctx == nullptr) return;
  raster_set_color_buffer(g_raster_ctx, &g_mem_surface);
  raster_active_texture(g_raster_ctx, 0);
  raster_enable(g_raster_ctx, RASTER_BLEND);
  raster_blend_func(g_raster_ctx, RASTER_SRC_ALPHA, RASTER_ONE_MINUS_SRC_ALPHA);
}

// One row of the off-screen surface into a row of the page.
void copy_row(uint8_t* target, const uint16_t* source, size_t pixels) {
  if (g_display_info.bits_per_pixel == 16) {
    memcpy(target, source, pixels * 2);
  } else if (screen_blue_first(g_display_info)) {
    expand_565_to_bgrx8888(reinterpret_cast<uint32_t*>(target), source, pixels);
  } else {
    expand_565_to_8888(reinterpret_cast<uint32_t*>(target), source, pixels);
  }
}

void copy_to_page(uint8_t* target) {
  const auto* source = reinterpret_cast<const uint16_t*>(g_mem_surface.data);
  if (rows_packed()) {
    copy_row(target, source, screen_pixels());
    return;
  }
  for (unsigned y = 0; y < g_display_info.height; ++y) {
    copy_row(target + static_cast<size_t>(y) * g_display_info.line_length,
             source + static_cast<size_t>(y) * g_display_info.width, g_display_info.width);
  }
}

}  // namespace

const int& gr_fb_fd = g_fb_fd;
const int& gr_vt_fd = g_vt_fd;
const unsigned& gr_front_page = g_front_page;
const unsigned& gr_page_count = g_page_count;
const Surface& gr_mem_surface = g_mem_surface;
const Surface (&gr_fb_pages)[2] = g_fb_pages;
const platform::DisplayInfo& gr_display_info = g_display_info;
RasterContext* const& raster_ctx = g_raster_ctx;

size_t screen_bytes_per_pixel(const platform::DisplayInfo& info) { return info.bits_per_pixel == 16 ? 2 : 4; }

bool screen_blue_first(const platform::DisplayInfo& info) {
  return info.bits_per_pixel == 32 && info.red_offset == 16 && info.green_offset == 8 && info.blue_offset == 0;
}

int screen_map(ScreenMap* out, unsigned max_pages) {
  out->display.reset(platform::display_open());
  if (!out->display) {
    perror("cannot open fb0");
    return -1;
  }
  bool known = platform::display_query(out->display.get(), &out->info) == 0;
  if (!known || !geometry_usable(out->info)) {
    if (known) errno = EINVAL;
    perror("failed to get fb0 info");
    out->display.reset();
    return -1;
  }
  if (out->info.pages == 0) {
    report_no_page(out->info);
    out->display.reset();
    return -1;
  }
  out->pages = out->info.pages < max_pages ? out->info.pages : max_pages;
  size_t length = static_cast<size_t>(out->pages) * out->info.height * out->info.line_length;
  out->memory = platform::display_map(out->display.get(), length);
  if (!out->memory) {
    perror("failed to mmap framebuffer");
    out->display.reset();
    return -1;
  }
  return 0;
}

int graphics_open() {
  if (g_raster_ctx == nullptr) g_raster_ctx = raster_create();
  open_console();
  if (g_vt_fd >= 0 && platform::console_set_mode(g_vt_fd, platform::ConsoleMode::kGraphics) != 0) {
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
  if (g_page_count == 1) LOGW("framebuffer: one page, frames are drawn without page flips");
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
  ScreenMap screen;
  if (screen_map(&screen, 2) != 0) return -1;
  g_display_info = screen.info;
  g_page_count = screen.pages;
  // A reopen maps afresh; the earlier mapping is no longer referenced.
  g_fb_memory = std::move(screen.memory);
  uint8_t* base = g_fb_memory.data();
  auto stride = static_cast<int32_t>(g_display_info.line_length / screen_bytes_per_pixel(g_display_info));
  size_t page_bytes = static_cast<size_t>(g_display_info.line_length) * g_display_info.height;
  g_fb_pages[0] = page_record(base, stride);
  g_fb_pages[1] = page_record(g_page_count > 1 ? base + page_bytes : nullptr, stride);
  return screen.display.release();
}

void mem_surface_create() {
  size_t size = screen_pixels() * 2;
  LOGW("Malloc %d for surface.", static_cast<int>(size));
  free(g_mem_surface.data);
  // Cleared, so that a first frame drawn over it shows black, not old memory.
  g_mem_surface = page_record(static_cast<uint8_t*>(calloc(1, size)), static_cast<int32_t>(g_display_info.width));
}

void page_show(unsigned page) {
  // A single page is always shown: nothing to pan.
  if (page >= g_page_count || g_page_count < 2 || g_fb_fd < 0) return;
  if (platform::display_show_page(g_fb_fd, page) < 0) perror("active fb swap failed");
}

void screen_present() {
  if (!screen_ready()) return;
  if (g_page_count < 2) {
    copy_to_page(g_fb_pages[0].data);
    return;
  }
  g_front_page = (g_front_page + 1) & 1;
  copy_to_page(g_fb_pages[g_front_page].data);
  page_show(g_front_page);
}

namespace {

using u16x8 = uint16_t __attribute__((vector_size(16)));
using u32x4 = uint32_t __attribute__((vector_size(16)));

// The lanes below are stored as bytes; the word layout promised in the
// header holds on little-endian machines only.
static_assert(std::endian::native == std::endian::little);

// The reference loop; kBlueFirst swaps red and blue.
template <bool kBlueFirst>
void expand_pixels(uint32_t* dst, const uint16_t* src, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint32_t p = src[i];
    uint32_t r5 = p >> 11, g6 = (p >> 5) & 0x3F, b5 = p & 0x1F;
    uint32_t r8 = (r5 << 3) | (r5 >> 2);
    uint32_t g8 = (g6 << 2) | (g6 >> 4);
    uint32_t b8 = (b5 << 3) | (b5 >> 2);
    dst[i] = kBlueFirst ? 0xFF000000u | (r8 << 16) | (g8 << 8) | b8 : 0xFF000000u | (b8 << 16) | (g8 << 8) | r8;
  }
}

// Eight pixels at a time in 16-bit lanes: the first two bytes and the last
// two bytes of each pixel are built side by side and interleaved, so every
// 16-byte store holds four whole pixels. Runs near memory bandwidth without
// relying on the compiler's loop vectoriser (which leaves the plain loop
// scalar at -O2).
template <bool kBlueFirst>
void expand_lanes(uint32_t* dst, const uint16_t* src, size_t count) {
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    u16x8 p;
    memcpy(&p, src + i, sizeof(p));
    u16x8 r = ((p >> 8) & 0xF8) | (p >> 13);
    u16x8 g = ((p >> 3) & 0xFC) | ((p >> 9) & 3);
    u16x8 b = ((p << 3) & 0xF8) | ((p >> 2) & 7);
    u16x8 first = kBlueFirst ? b : r, third = kBlueFirst ? r : b;
    u16x8 low = first | (g << 8), high = third | 0xFF00;
    u16x8 lo = __builtin_shufflevector(low, high, 0, 8, 1, 9, 2, 10, 3, 11);
    u16x8 hi = __builtin_shufflevector(low, high, 4, 12, 5, 13, 6, 14, 7, 15);
    memcpy(dst + i, &lo, sizeof(lo));
    memcpy(dst + i + 4, &hi, sizeof(hi));
  }
  expand_pixels<kBlueFirst>(dst + i, src + i, count - i);
}

}  // namespace

void expand_565_to_8888(uint32_t* dst, const uint16_t* src, size_t count) {
#if LUMO_NEON_SPANS
  if (neon_spans_active()) return neon_expand_565_to_8888(dst, src, count);
#endif
  expand_lanes<false>(dst, src, count);
}

void expand_565_to_bgrx8888(uint32_t* dst, const uint16_t* src, size_t count) { expand_lanes<true>(dst, src, count); }

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
  platform::display_close(g_fb_fd);
  g_fb_fd = -1;
  LOGD("Free gr_mem_surface.data");
  // The rasterizer must not keep drawing into the freed block.
  if (g_raster_ctx != nullptr) raster_set_color_buffer(g_raster_ctx, nullptr);
  free(g_mem_surface.data);
  g_mem_surface.data = nullptr;
  LOGD("KDSETMODE gr_vt_fd KD_TEXT");
  if (g_vt_fd >= 0) platform::console_set_mode(g_vt_fd, platform::ConsoleMode::kText);
  LOGD("Close gr_vt_fd");
  platform::console_close(g_vt_fd);
  g_vt_fd = -1;
  platform::sync_filesystems();
}

int screen_width() { return static_cast<int>(g_fb_pages[0].width); }
int screen_height() { return static_cast<int>(g_fb_pages[0].height); }
int surface_width(const Surface* surface) { return surface == nullptr ? 0 : static_cast<int>(surface->width); }
int surface_height(const Surface* surface) { return surface == nullptr ? 0 : static_cast<int>(surface->height); }
