// The drawing layer: fills and pictures composed into the off-screen surface
// gr_mem_surface through the rasterizer context set up by graphics_open.
// Pictures are centred horizontally at one of three fixed placements.
//
// Called on the main thread (first frame) and on the charging animation's
// timer thread; the drawing state (flat colour, bound texture, the surface)
// is shared, so callers on different threads must hold the charging screen's
// drawing lock. Without an open screen every operation does nothing.
#pragma once

#include <cstdint>

struct Surface;

// Placement codes for draw_image (y = picture's top edge, H = screen height,
// h = picture height); any other code puts the top edge at 0.
constexpr int PLACE_BELOW_MIDDLE = 1;  // H / 2 + 141
constexpr int PLACE_ABOVE_MIDDLE = 2;  // H / 2 - 70
constexpr int PLACE_CENTER = 3;        // (H - h) / 2

// The flat colour for fills; 8-bit channels become ((c << 8) | c) + 1 in 16.16.
void set_draw_color(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha);
// Columns left..right-1, rows top..bottom-1, flat colour, blended.
void fill_rect(int32_t left, int32_t top, int32_t right, int32_t bottom);
// `color`: red in bits 0-7, green 8-15, blue 16-23, alpha 24-31.
void fill_rect_color(uint32_t color, int32_t left, int32_t top, int32_t right, int32_t bottom);
void clear_screen(uint32_t color);
// clear_screen, then the picture (if not null) at PLACE_CENTER.
void clear_and_draw_centered(const Surface* image, uint32_t color);
// The w x h rectangle of `src` at (sx, sy) drawn with its top-left corner at
// (dx, dy), blended.
void blit_surface(const Surface* src, int32_t sx, int32_t sy, int32_t w, int32_t h, int32_t dx,
                  int32_t dy);
// The whole picture, centred horizontally, at the placement's top edge.
// A null picture logs "icon is null." and draws nothing.
void draw_image(const Surface* image, int placement);
