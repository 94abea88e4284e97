// The screen: console mode, the mapped framebuffer with its two pages, the
// off-screen RGB565 drawing surface and the rasterizer context that draws
// into it. A frame is composed in gr_mem_surface (through ui/draw.h) and made
// visible by screen_present, which copies it into the hidden page and pans
// the display there (double buffering by vertical panning).
//
// Callers: ui_start / ui_stop open and close the screen on the main thread;
// the first frame is drawn on the main thread, later frames on the charging
// animation's timer thread. Nothing here takes a lock: the caller must keep
// graphics_open, graphics_close, drawing and screen_present on one thread at
// a time (the charging screen's drawing lock).
//
// Device access goes only through the platform seam (platform/kernel.h).
// Without an open framebuffer and memory surface (graphics_open failed, or
// after graphics_close) drawing and presenting do nothing. The framebuffer
// mapping and the rasterizer context, once made, stay for the whole process.
#pragma once

#include <linux/fb.h>

#include <cstddef>
#include <cstdint>

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
extern const int& gr_fb_fd;
extern const int& gr_vt_fd;
extern const unsigned& gr_front_page;  // page shown: 0 or 1
extern const Surface& gr_mem_surface;  // data is null while closed
extern const Surface (&gr_fb_pages)[2];
extern const fb_var_screeninfo& gr_screen_info;
extern RasterContext* const& raster_ctx;  // null until the first open

// Console to graphics mode, framebuffer mapped, memory surface allocated,
// page 0 shown, rasterizer set up. 0, or -1 (after graphics_close).
int graphics_open();
// Closes the framebuffer descriptor, frees the memory surface (its pointer is
// cleared), console back to text mode and closed, file systems flushed.
// Safe to call twice or without an open.
void graphics_close();
// Copies gr_mem_surface into the hidden page and pans to it.
void screen_present();
// Pans to page 0 or 1; other values do nothing.
void page_show(unsigned page);
// Opens and maps the framebuffer, fills gr_screen_info and gr_fb_pages.
// Returns the descriptor, or -1.
int fb_map();
// Allocates gr_mem_surface's pixels (xres x yres RGB565, not cleared).
void mem_surface_create();
// 565 -> bytes R8, G8, B8, 0xFF, top bits replicated into the low bits.
void expand_565_to_8888(uint32_t* dst, const uint16_t* src, size_t count);
// One colour into `count` consecutive pixels (16-bit and 32-bit memset).
void fill_pixels16(uint16_t* dst, uint16_t value, size_t count);
void fill_pixels32(uint32_t* dst, uint32_t value, size_t count);

int screen_width();   // width of page 0 (valid after graphics_open)
int screen_height();  // height of page 0
int surface_width(const Surface* surface);   // 0 for null
int surface_height(const Surface* surface);  // 0 for null
