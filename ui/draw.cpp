// Drawing layer over the rasterizer context of ui/graphics.
#include "ui/draw.h"

#include "platform/log.h"
#include "ui/graphics.h"
#include "ui/raster.h"

namespace {

// Without an open screen there is nothing to draw into.
bool can_draw() { return raster_ctx != nullptr && gr_mem_surface.data != nullptr; }

int32_t to_fixed(uint8_t c) { return ((static_cast<int32_t>(c) << 8) | c) + 1; }

int32_t placement_top(int placement, int32_t screen_h, int32_t image_h) {
  switch (placement) {
    case PLACE_BELOW_MIDDLE: return screen_h / 2 + 141;
    case PLACE_ABOVE_MIDDLE: return screen_h / 2 - 70;
    case PLACE_CENTER: return (screen_h - image_h) / 2;
    default: return 0;
  }
}

}  // namespace

void set_draw_color(uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha) {
  if (raster_ctx == nullptr) return;
  raster_color4x(raster_ctx, to_fixed(red), to_fixed(green), to_fixed(blue), to_fixed(alpha));
}

void fill_rect(int32_t left, int32_t top, int32_t right, int32_t bottom) {
  if (!can_draw()) return;
  raster_disable(raster_ctx, RASTER_TEXTURE_2D);
  raster_recti(raster_ctx, left, top, right, bottom);
}

void fill_rect_color(uint32_t color, int32_t left, int32_t top, int32_t right, int32_t bottom) {
  set_draw_color(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF, color >> 24);
  fill_rect(left, top, right, bottom);
}

void clear_screen(uint32_t color) { fill_rect_color(color, 0, 0, screen_width(), screen_height()); }

void clear_and_draw_centered(const Surface* image, uint32_t color) {
  clear_screen(color);
  if (image != nullptr) draw_image(image, PLACE_CENTER);
}

void blit_surface(const Surface* src, int32_t sx, int32_t sy, int32_t w, int32_t h, int32_t dx, int32_t dy) {
  if (!can_draw() || src == nullptr) return;
  raster_bind_texture(raster_ctx, src);
  raster_tex_env(raster_ctx, RASTER_TEXTURE_ENV, RASTER_TEXTURE_ENV_MODE, RASTER_REPLACE);
  raster_tex_gen(raster_ctx, RASTER_S, RASTER_TEXTURE_GEN_MODE, RASTER_ONE_TO_ONE);
  raster_tex_gen(raster_ctx, RASTER_T, RASTER_TEXTURE_GEN_MODE, RASTER_ONE_TO_ONE);
  raster_enable(raster_ctx, RASTER_TEXTURE_2D);
  // Differences and far edges in 64 bits, saturated: no signed overflow.
  auto clamp = [](int64_t v) {
    return static_cast<int32_t>(v < INT32_MIN ? INT32_MIN : v > INT32_MAX ? INT32_MAX : v);
  };
  raster_tex_coord2i(raster_ctx, clamp(int64_t{sx} - dx), clamp(int64_t{sy} - dy));
  raster_recti(raster_ctx, dx, dy, clamp(int64_t{dx} + w), clamp(int64_t{dy} + h));
}

void draw_image(const Surface* image, int placement) {
  if (image == nullptr) {
    LOGE("icon is null.");
    return;
  }
  int32_t w = surface_width(image), h = surface_height(image);
  int32_t x = (screen_width() - w) / 2;
  int32_t y = placement_top(placement, screen_height(), h);
  blit_surface(image, 0, 0, w, h, x, y);
}
