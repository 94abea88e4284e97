#include "platform/linux/drm_layout.h"

namespace platform::kernel {

namespace {

bool mode_usable(const DrmMode& m) { return m.width != 0 && m.height != 0; }

// True when `a` is the better fallback mode than `b`: larger, then faster.
bool better_mode(const DrmMode& a, const DrmMode& b) {
  uint64_t area_a = static_cast<uint64_t>(a.width) * a.height;
  uint64_t area_b = static_cast<uint64_t>(b.width) * b.height;
  if (area_a != area_b) return area_a > area_b;
  return a.refresh > b.refresh;
}

int pick_mode(const DrmConnector& c) {
  int best = -1;
  for (size_t i = 0; i < c.mode_count; ++i) {
    const DrmMode& m = c.modes[i];
    if (!mode_usable(m)) continue;
    if (m.preferred) return static_cast<int>(i);
    if (best < 0 || better_mode(m, c.modes[best])) best = static_cast<int>(i);
  }
  return best;
}

}  // namespace

DrmPick pick_connector_mode(const DrmConnector* connectors, size_t count) {
  for (size_t i = 0; connectors != nullptr && i < count; ++i) {
    const DrmConnector& c = connectors[i];
    if (!c.connected || c.modes == nullptr) continue;
    int mode = pick_mode(c);
    if (mode >= 0) return {static_cast<int>(i), mode};
  }
  return {};
}

uint32_t pick_format(const uint32_t* formats, size_t count, bool want_565) {
  if (want_565) {
    for (size_t i = 0; formats != nullptr && i < count; ++i) {
      if (formats[i] == kFormatRgb565) return kFormatRgb565;
    }
  }
  return kFormatXrgb8888;
}

unsigned format_bits(uint32_t format) { return format == kFormatRgb565 ? 16 : format == kFormatXrgb8888 ? 32 : 0; }

unsigned padded_width(unsigned width, unsigned height, unsigned bits, size_t memory_page) {
  if (width == 0 || height == 0 || bits == 0 || bits % 8 != 0 || memory_page == 0) return 0;
  for (uint64_t w = width; w <= 2ull * width; ++w) {
    uint64_t page_bytes = w * (bits / 8) * height;
    if (page_bytes % memory_page == 0) return static_cast<unsigned>(w);
  }
  return 0;
}

bool display_info_from_drm(unsigned width, unsigned height, uint32_t format, unsigned pitch, unsigned pages,
                           DisplayInfo* info) {
  *info = {};
  unsigned bits = format_bits(format);
  if (width == 0 || height == 0 || bits == 0) return false;
  if (static_cast<uint64_t>(width) * (bits / 8) > pitch) return false;
  info->width = width;
  info->height = height;
  info->bits_per_pixel = bits;
  info->line_length = pitch;
  info->pages = pages;
  info->memory_size = static_cast<size_t>(pages) * height * pitch;
  // XRGB8888 is a little-endian word: blue in the low byte, red at 16.
  if (bits == 16) {
    info->red_offset = 11;
    info->green_offset = 5;
  } else {
    info->red_offset = 16;
    info->green_offset = 8;
  }
  info->blue_offset = 0;
  return true;
}

FlipStep flip_step(const FlipBook& book, unsigned page) {
  if (page >= book.pages) return FlipStep::kInvalid;
  if (book.pending >= 0) return FlipStep::kBusy;
  if (book.shown < 0) return FlipStep::kModeSet;
  return static_cast<int>(page) == book.shown ? FlipStep::kNothing : FlipStep::kFlip;
}

void flip_mode_set(FlipBook* book, unsigned page) {
  book->shown = static_cast<int>(page);
  book->pending = -1;
}

void flip_queued(FlipBook* book, unsigned page) { book->pending = static_cast<int>(page); }

void flip_completed(FlipBook* book) {
  if (book->pending < 0) return;
  book->shown = book->pending;
  book->pending = -1;
}

void flip_lost(FlipBook* book) {
  book->shown = -1;
  book->pending = -1;
}

}  // namespace platform::kernel
