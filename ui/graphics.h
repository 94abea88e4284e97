// The screen: console mode, the mapped framebuffer with its pages, the
// off-screen RGB565 drawing surface and the rasterizer context that draws
// into it. A frame is composed in gr_mem_surface (through ui/draw.h) and made
// visible by screen_present: with two pages it copies it into the hidden page
// and pans the display there (double buffering by vertical panning); with a
// single page it copies it into page 0 and does not pan.
//
// Callers: ui_start / ui_stop open and close the screen on the main thread;
// the first frame is drawn on the main thread, later frames on the charging
// animation's timer thread. Nothing here takes a lock: the caller must keep
// graphics_open, graphics_close, drawing and screen_present on one thread at
// a time (the charging screen's drawing lock).
//
// Device access goes only through the platform seam (platform/display.h);
// screen_map is the one path that opens, checks and maps the screen, for this
// module and the boot logo.
// Without an open framebuffer and memory surface (graphics_open failed, or
// after graphics_close) drawing and presenting do nothing. The framebuffer
// mapping and the rasterizer context, once made, stay for the whole process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/display.h"

// Pixel format codes of the rasterizer.
constexpr uint8_t PIXEL_FORMAT_RGBA_8888 = 1;  // bytes R, G, B, A
constexpr uint8_t PIXEL_FORMAT_RGBX_8888 = 2;  // bytes R, G, B, ignored
constexpr uint8_t PIXEL_FORMAT_RGB_565 = 4;    // LE 16-bit, red in bits 15-11

// An image: framebuffer pages, the off-screen surface, decoded pictures.
struct Surface {
  uint32_t version;  // sizeof(Surface)
  uint32_t width;    // pixels
  uint32_t height;   // pixels
  int32_t stride;    // distance between row starts, in pixels
  uint8_t* data;     // top-left pixel
  uint8_t format;    // PIXEL_FORMAT_*
  uint8_t reserved[3];
  uint32_t reserved2[2];
};

struct RasterContext;

// Read-only views of this module's state (written only by the functions
// below). gr_fb_fd and gr_vt_fd are -1 while closed.
extern const int& gr_fb_fd;  // display handle
extern const int& gr_vt_fd;  // console handle
extern const unsigned& gr_front_page;  // page shown: 0 or 1 (always 0 with one page)
extern const unsigned& gr_page_count;  // pages in use: 1 or 2 (0 while never opened)
extern const Surface& gr_mem_surface;  // data is null while closed
extern const Surface (&gr_fb_pages)[2];  // page 1's data is null with one page
extern const platform::DisplayInfo& gr_display_info;
extern RasterContext* const& raster_ctx;  // null until the first open

// The screen as screen_map opened it: handle, geometry and the mapping of the
// pages asked for. The owners release everything when it goes.
struct ScreenMap {
  platform::DisplayHandle display;
  platform::DisplayInfo info;
  platform::Mapping memory;
  unsigned pages = 0;  // pages mapped: 1 or 2
};

// Opens "/dev/graphics/fb0", checks what it reports (a size up to 16384 x
// 16384, 16 or 32 bits per pixel in a layout present can write, rows that
// hold the width, at least one page) and maps up to `max_pages` pages of it.
// 0, or -1 with every failure said on standard error in the manner of perror
// (a screen without room for one page also in the log) and nothing left open.
int screen_map(ScreenMap* out, unsigned max_pages);
// Bytes of one pixel of a mapped screen: 2 or 4.
size_t screen_bytes_per_pixel(const platform::DisplayInfo& info);
// True when 32-bit pixels hold blue in the low byte (X, R, G, B words).
bool screen_blue_first(const platform::DisplayInfo& info);

// Console to graphics mode, framebuffer mapped, memory surface allocated,
// page 0 shown, rasterizer set up. 0, or -1 (after graphics_close).
int graphics_open();
// Closes the framebuffer descriptor, frees the memory surface (its pointer is
// cleared), console back to text mode and closed, file systems flushed.
// Safe to call twice or without an open.
void graphics_close();
// Two pages: copies gr_mem_surface into the hidden page and pans to it.
// One page: copies it into page 0.
void screen_present();
// Pans to page 0 or 1; pages the screen does not have do nothing.
void page_show(unsigned page);
// Maps the framebuffer through screen_map, fills gr_display_info and
// gr_fb_pages. Returns the display handle, or -1.
int fb_map();
// Allocates gr_mem_surface's pixels (xres x yres RGB565, not cleared).
void mem_surface_create();
// 565 -> bytes R8, G8, B8, 0xFF, top bits replicated into the low bits.
void expand_565_to_8888(uint32_t* dst, const uint16_t* src, size_t count);
// The same with red and blue swapped: bytes B8, G8, R8, 0xFF (XRGB words).
void expand_565_to_bgrx8888(uint32_t* dst, const uint16_t* src, size_t count);
// One colour into `count` consecutive pixels (16-bit and 32-bit memset).
void fill_pixels16(uint16_t* dst, uint16_t value, size_t count);
void fill_pixels32(uint32_t* dst, uint32_t value, size_t count);

int screen_width();   // width of page 0 (valid after graphics_open)
int screen_height();  // height of page 0
int surface_width(const Surface* surface);   // 0 for null
int surface_height(const Surface* surface);  // 0 for null
