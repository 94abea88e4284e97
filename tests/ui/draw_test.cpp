// Drawing layer on a 480 x 800 fake screen: placements, fills, blits.
#include "ui/draw.h"

#include <climits>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ui/ui_fixtures.h"
#include "ui/graphics.h"

namespace {

// A w x h picture of one 32-bit value per pixel (565 pictures use the first half).
struct Picture {
  Picture(uint32_t w, uint32_t h, uint8_t format, uint32_t fill)
      : pixels(w * h, fill), s{sizeof(Surface), w, h, int32_t(w), reinterpret_cast<uint8_t*>(pixels.data()), format} {}
  std::vector<uint32_t> pixels;
  Surface s;
};

using Box = std::vector<int>;  // left, top, right, bottom
const Box kNothing = {480, 800, 0, 0};

class DrawTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lumo_test::make_screen(root_, 480, 800);
    ASSERT_EQ(graphics_open(), 0);
  }
  void TearDown() override { graphics_close(); }

  uint16_t pixel(int x, int y) const { return reinterpret_cast<const uint16_t*>(gr_mem_surface.data)[y * 480 + x]; }
  // Bounding box of the pixels that are not black.
  Box changed() const {
    Box b = kNothing;
    for (int y = 0; y < 800; ++y) {
      for (int x = 0; x < 480; ++x) {
        if (pixel(x, y) != 0) b = {std::min(b[0], x), std::min(b[1], y), std::max(b[2], x + 1), std::max(b[3], y + 1)};
      }
    }
    return b;
  }
  lumo_test::DeviceRoot root_;
};

TEST_F(DrawTest, PlacementsCentreHorizontallyAndClip) {
  const struct { uint32_t w, h; int placement; Box box; } cases[] = {
      {200, 100, PLACE_BELOW_MIDDLE, {140, 541, 340, 641}}, {200, 100, PLACE_ABOVE_MIDDLE, {140, 330, 340, 430}},
      {200, 100, PLACE_CENTER, {140, 350, 340, 450}},       {200, 100, 4, {140, 0, 340, 100}},
      {200, 100, -1, {140, 0, 340, 100}},                   {10, 400, PLACE_BELOW_MIDDLE, {235, 541, 245, 800}}};
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    clear_screen(0xFF000000);
    Picture white(c.w, c.h, PIXEL_FORMAT_RGBX_8888, 0xFFFFFFFF);
    draw_image(&white.s, c.placement);
    EXPECT_EQ(changed(), c.box);
    EXPECT_EQ(pixel(c.box[0], c.box[1]), 0xFFFF);
  }
  // Wider than the screen: x = (480 - 501) / 2 = -10 (towards zero), texels numbered by column.
  Picture wide(501, 3, PIXEL_FORMAT_RGB_565, 0);
  auto* texels = reinterpret_cast<uint16_t*>(wide.pixels.data());
  for (int i = 0; i < 3 * 501; ++i) texels[i] = static_cast<uint16_t>(i % 501 + 1);
  clear_and_draw_centered(&wide.s, 0xFF000000);
  EXPECT_EQ(changed(), (Box{0, 398, 480, 401}));
  for (int x = 0; x < 480; ++x) ASSERT_EQ(pixel(x, 399), x + 11) << x;
}

TEST_F(DrawTest, FillsTakeThePackedColourAndExclusiveEdges) {
  const struct { uint32_t color; Box rect, box; uint16_t value; } cases[] = {
      {0xFF0000FF, {10, 20, 13, 22}, {10, 20, 13, 22}, 0xF800},  // red in the low byte
      {0xFFFF0000, {470, 790, 999, 999}, {470, 790, 480, 800}, 0x001F},
      {0xFF808080, {0, 0, 1, 1}, {0, 0, 1, 1}, 0x8410},
      {0xFFFFFFFF, {5, 5, 5, 10}, kNothing, 0},  // empty
      {0xFFFFFFFF, {5, 10, 9, 3}, kNothing, 0},  // inverted
      {0x00FFFFFF, {0, 0, 480, 800}, kNothing, 0},  // alpha 0
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    clear_screen(0xFF000000);
    fill_rect_color(c.color, c.rect[0], c.rect[1], c.rect[2], c.rect[3]);
    EXPECT_EQ(changed(), c.box);
    if (c.value != 0) {
      EXPECT_EQ(pixel(c.box[0], c.box[1]), c.value);
    }
  }
}

TEST_F(DrawTest, BlitTakesOnlyTheSourceRectangleInsideThePicture) {
  Picture src(8, 4, PIXEL_FORMAT_RGB_565, 0);
  auto* texels = reinterpret_cast<uint16_t*>(src.pixels.data());
  for (int i = 0; i < 32; ++i) texels[i] = static_cast<uint16_t>(0x100 + i);
  blit_surface(&src.s, 5, 2, 3, 2, 100, 200);
  EXPECT_EQ(changed(), (Box{100, 200, 103, 202}));
  EXPECT_EQ(pixel(100, 200), 0x100 + 2 * 8 + 5);
  EXPECT_EQ(pixel(102, 201), 0x100 + 3 * 8 + 7);
  clear_screen(0xFF000000);
  // Far edges and texel offsets near the int32 limits saturate, never overflow.
  blit_surface(&src.s, INT_MIN, INT_MIN, INT_MAX, INT_MAX, INT_MAX, INT_MAX);
  blit_surface(&src.s, INT_MAX, 0, 8, 4, INT_MIN, 0);
  EXPECT_EQ(changed(), kNothing);
}

TEST_F(DrawTest, NullPictureIsLoggedAndNothingIsDrawnAfterClose) {
  root_.clear_log();
  clear_and_draw_centered(nullptr, 0xFF000000);
  EXPECT_TRUE(root_.log_texts('E').empty());
  draw_image(nullptr, PLACE_CENTER);
  EXPECT_EQ(root_.log_texts('E'), std::vector<std::string>{"icon is null."});
  graphics_close();
  // Under the address sanitizer any write into the freed surface stops here.
  Picture white(20, 10, PIXEL_FORMAT_RGBX_8888, 0xFFFFFFFF);
  fill_rect_color(0xFFFFFFFF, 0, 0, 480, 800);
  blit_surface(&white.s, 0, 0, 20, 10, 0, 0);
  clear_and_draw_centered(&white.s, 0xFF000000);
  EXPECT_EQ(gr_mem_surface.data, nullptr);
}

}  // namespace
