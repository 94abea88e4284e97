// The screen and the console in front of it, as the charging screen and the
// boot logo need them: open the screen, learn its geometry, map its pages,
// show one page, blank it, and switch the console between text and graphics.
//
// A screen's memory holds `pages` pages one after the other, each `height`
// rows of `line_length` bytes; page p starts at byte p * height *
// line_length. Pixels are 16-bit RGB565 or 32-bit with the red, green and blue
// bytes at the bit offsets given (the alpha or padding byte is the fourth).
// A backend reports what the device offers and checks nothing of the program's
// needs: the callers decide what they can draw on.
//
// Handles are small non-negative numbers owned by the caller (DisplayHandle,
// ConsoleHandle); calls take the handle, return 0 or -1 with errno, and are
// safe from any one thread at a time per handle. Closing -1 does nothing.
// Backends: platform/host/ (files under the device root, see display.cpp
// there); platform/linux/ puts fbdev (FBIOGET_*, FBIOPAN_DISPLAY, FBIOBLANK,
// KDSETMODE) or DRM/KMS dumb buffers behind the same calls. On DRM a show
// flips to the page's buffer and waits at most one frame for the flip; while
// another process holds the display the shows, refreshes and blanks do
// nothing and succeed (the screen stays dark, the loss is logged once).
#pragma once

#include <cstddef>

#include "platform/owned.h"

namespace platform {

struct DisplayInfo {
  unsigned width = 0;           // visible pixels of a row
  unsigned height = 0;          // rows of a page
  unsigned bits_per_pixel = 0;  // 16 or 32 on every supported screen
  unsigned line_length = 0;     // bytes from one row to the next
  unsigned pages = 0;           // whole pages the memory holds (0: not even one)
  size_t memory_size = 0;       // bytes that display_map may map
  // Bit offsets of the channels of a 32-bit pixel (16-bit: 11, 5, 0).
  unsigned red_offset = 0;
  unsigned green_offset = 0;
  unsigned blue_offset = 0;
};

// Opens the screen ("/dev/graphics/fb0"). A handle, or -1 with errno.
int display_open();
// Closes a handle from display_open; -1 is accepted and ignored.
int display_close(int display);
using DisplayHandle = Handle<display_close>;

// The screen's geometry now. 0, or -1 with errno (EINVAL: the device reports
// nothing usable).
int display_query(int display, DisplayInfo* info);

// Maps the first `length` bytes of the screen's memory for writing (length at
// most DisplayInfo::memory_size). An empty Mapping, with errno, on failure.
Mapping display_map(int display, size_t length);

// Shows page `page` (pans the display to it). 0, or -1 with errno (EINVAL for
// a page the memory does not hold).
int display_show_page(int display, unsigned page);

// Makes the screen show page 0 afresh even when it shows it already (fbdev:
// pan one row down and back). 0, or -1 with errno.
int display_refresh(int display);

// Blanks (true) or unblanks the screen. 0, or -1 with errno.
int display_blank(int display, bool blank);

// The console ("/dev/tty0"). A handle, or -1 with errno.
int console_open();
int console_close(int console);
using ConsoleHandle = Handle<console_close>;

enum class ConsoleMode { kText, kGraphics };
// Switches the console's mode. 0, or -1 with errno.
int console_set_mode(int console, ConsoleMode mode);

}  // namespace platform
