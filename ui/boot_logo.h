// The boot logo: a run-length-encoded RGB565 picture written straight into
// framebuffer page 0 just before Android starts. Works on its own (no
// off-screen surface, no rasterizer); runs on the main thread after
// ui_stop. Device access goes through the platform seam.
//
// The file is a sequence of 4-byte runs (LE count, LE RGB565 colour) that
// fill the screen in reading order; trailing 1-3 bytes are ignored. Decoding
// never writes more than xres * yres pixels.
#pragma once

#include <linux/fb.h>

#include <cstddef>
#include <cstdint>

// The framebuffer as fb_open maps it (one page).
struct LogoFramebuffer {
  uint8_t* bits;            // first page
  int fd;                   // -1 when closed
  size_t mapped_size;       // bytes mapped (one page)
  fb_fix_screeninfo fixed;  // FBIOGET_FSCREENINFO
  fb_var_screeninfo var;    // FBIOGET_VSCREENINFO
};

// Shows the picture at the device path `path`. 0 when it was shown (also in
// part), -1 when nothing was drawn (console back to text mode).
int load_565rle_image(const char* path);
// Console to graphics (non-zero) or text (0) mode; the request's result, -1
// when the console cannot be opened.
int vt_set_mode(int graphics);
// Opens "/dev/graphics/fb0", reads its screen information and maps one page.
// 0, or -1 with everything released.
int fb_open(LogoFramebuffer* fb);
// Pans to yoffset 1 and back to 0 so that page 0 is shown afresh.
void fb_refresh(LogoFramebuffer* fb);
// Unmaps and closes.
void fb_release(LogoFramebuffer* fb);
