// The DRM/KMS display's decisions that need no kernel: which connector and
// mode to drive, which pixel format to scan out, how wide to make the dumb
// buffers so that both pages lie back to back, what the display service
// reports for them, and which buffer is on screen while page flips are in
// flight. Pure: the DRM display (display_drm.cpp) feeds it what libdrm
// reports; tests feed it plain structs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/display.h"

namespace platform::kernel {

// Scan-out formats, as DRM's four-character codes.
constexpr uint32_t kFormatXrgb8888 = 0x34325258;  // 'X' 'R' '2' '4'
constexpr uint32_t kFormatRgb565 = 0x36314752;    // 'R' 'G' '1' '6'

struct DrmMode {
  unsigned width = 0;
  unsigned height = 0;
  unsigned refresh = 0;  // Hz, 0 when unknown
  bool preferred = false;
};

struct DrmConnector {
  uint32_t id = 0;
  bool connected = false;
  const DrmMode* modes = nullptr;
  size_t mode_count = 0;
};

struct DrmPick {
  int connector = -1;  // index into the connectors given, -1: none usable
  int mode = -1;       // index into that connector's modes
};

// The first connected connector with a usable mode (both sides non-zero),
// and its mode: the first one marked preferred, else the largest (the
// highest refresh among equal sizes, the first among equals).
DrmPick pick_connector_mode(const DrmConnector* connectors, size_t count);

// The format to scan out from the plane's list: RGB565 when `want_565` and
// the plane offers it, else XRGB8888 (every KMS driver scans it out). A
// plane list that names neither still gets XRGB8888.
uint32_t pick_format(const uint32_t* formats, size_t count, bool want_565);

// Bits per pixel of a format from pick_format (16 or 32).
unsigned format_bits(uint32_t format);

// The width to ask of a dumb buffer so that a page (pitch * height with
// pitch = width * bytes) is a whole number of memory pages of
// `memory_page` bytes: then the second buffer can be mapped right after
// the first. `width` itself when it already is; 0 when no width up to
// twice `width` does.
unsigned padded_width(unsigned width, unsigned height, unsigned bits, size_t memory_page);

// The display service's view of `pages` dumb buffers of `pitch` bytes a
// row, showing `width` x `height` of `format`. False, with `info` cleared,
// for zero sides, an unknown format or a pitch shorter than a row.
bool display_info_from_drm(unsigned width, unsigned height, uint32_t format, unsigned pitch, unsigned pages,
                           DisplayInfo* info);

// Which of two buffers is on screen, and the flip asked for and not yet
// completed. All fields are the DRM display's; the functions below are the
// only writers.
struct FlipBook {
  unsigned pages = 0;  // buffers there are (1 or 2)
  int shown = -1;      // buffer on screen, -1 before the first mode set
  int pending = -1;    // buffer a flip goes to, -1: none in flight
};

enum class FlipStep {
  kModeSet,  // nothing shown yet (or taken back): set the mode on this page
  kFlip,     // flip to the page
  kNothing,  // the page is on screen already and nothing is in flight
  kBusy,     // a flip is still in flight: wait for its event first
  kInvalid,  // not one of the pages
};

// What showing `page` takes now.
FlipStep flip_step(const FlipBook& book, unsigned page);
// A mode set showed `page`; any flip in flight is void.
void flip_mode_set(FlipBook* book, unsigned page);
// A flip to `page` was queued.
void flip_queued(FlipBook* book, unsigned page);
// The flip's completion event arrived: its page is now on screen.
void flip_completed(FlipBook* book);
// The display was lost (master dropped): the next show sets the mode again.
void flip_lost(FlipBook* book);

}  // namespace platform::kernel
