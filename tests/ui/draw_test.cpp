// Drawing layer on a 480 x 800 fake screen: placements, fills, blits.
#include "ui/draw.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/device_root.h"
#include "tests/ui/fake_screen.h"
#include "ui/graphics.h"

namespace {

// A picture owned by the test.
struct Picture {
  Picture(uint32_t w, uint32_t h, uint8_t format, uint32_t fill) : pixels(w * h, fill) {
    surface = {};
    surface.version = sizeof(Surface);
    surface.width = w;
    surface.height = h;
    surface.stride = static_cast<int32_t>(w);
    surface.format = format;
    surface.data = reinterpret_cast<uint8_t*>(pixels.data());
  }
  std::vector<uint32_t> pixels;  // 4 bytes each; 565 pictures use the first half
  Surface surface;
};

struct Box {
  int left, top, right, bottom;
  bool operator==(const Box&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Box& b) {
  return os << "(" << b.left << "," << b.top << ")-(" << b.right << "," << b.bottom << ")";
}

class DrawTest : public ::testing::Test {
 protected:
  void SetUp() override {
    lumo_test::make_screen(root_, 480, 800, 16);
    ASSERT_EQ(graphics_open(), 0);
    clear_screen(0xFF000000);
  }
  void TearDown() override { graphics_close(); }

  uint16_t pixel(int x, int y) const { return reinterpret_cast<const uint16_t*>(gr_mem_surface.data)[y * 480 + x]; }
  // Bounding box of the pixels that differ from `background`.
  Box changed(uint16_t background = 0) const {
    Box b = {480, 800, 0, 0};
    for (int y = 0; y < 800; ++y) {
      for (int x = 0; x < 480; ++x) {
        if (pixel(x, y) == background) continue;
        b = {std::min(b.left, x), std::min(b.top, y), std::max(b.right, x + 1), std::max(b.bottom, y + 1)};
      }
    }
    return b;
  }

  lumo_test::DeviceRoot root_;
};

TEST_F(DrawTest, PlacementsOnA480x800Screen) {
  struct Case {
    int placement;
    int top;
  };
  const Case cases[] = {{PLACE_BELOW_MIDDLE, 541}, {PLACE_ABOVE_MIDDLE, 330}, {PLACE_CENTER, 350}, {0, 0},
                        {4, 0}, {-1, 0}};
  Picture white(200, 100, PIXEL_FORMAT_RGBX_8888, 0xFFFFFFFF);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.placement);
    clear_screen(0xFF000000);
    draw_image(&white.surface, c.placement);
    EXPECT_EQ(changed(), (Box{140, c.top, 340, c.top + 100}));
    EXPECT_EQ(pixel(140, c.top), 0xFFFF);
    EXPECT_EQ(pixel(339, c.top + 99), 0xFFFF);
  }
}

TEST_F(DrawTest, WidePictureTruncatesTowardZeroAndIsClippedOnBothSides) {
  // 565 texels numbered by column, so every screen pixel names its texel.
  Picture wide(501, 3, PIXEL_FORMAT_RGB_565, 0);
  auto* texels = reinterpret_cast<uint16_t*>(wide.pixels.data());
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 501; ++x) texels[y * 501 + x] = static_cast<uint16_t>(x + 1);
  }
  draw_image(&wide.surface, PLACE_CENTER);
  int top = (800 - 3) / 2;
  EXPECT_EQ(changed(), (Box{0, top, 480, top + 3}));
  for (int x = 0; x < 480; ++x) ASSERT_EQ(pixel(x, top + 1), x + 10 + 1) << x;  // x = -10, not -11
}

TEST_F(DrawTest, TallPictureBelowTheMiddleIsClippedAtTheBottom) {
  Picture tall(10, 400, PIXEL_FORMAT_RGBX_8888, 0xFFFFFFFF);
  draw_image(&tall.surface, PLACE_BELOW_MIDDLE);
  EXPECT_EQ(changed(), (Box{235, 541, 245, 800}));
}

TEST_F(DrawTest, FillsUsePackedColourAndExclusiveEdges) {
  struct Case {
    uint32_t color;
    Box rect, expect;
    uint16_t value;
  };
  const Case cases[] = {
      {0xFF0000FF, {10, 20, 13, 22}, {10, 20, 13, 22}, 0xF800},    // red in the low byte
      {0xFF00FF00, {-5, -5, 2, 2}, {0, 0, 2, 2}, 0x07E0},          // clipped at the top left
      {0xFFFF0000, {470, 790, 999, 999}, {470, 790, 480, 800}, 0x001F},
      {0xFF808080, {0, 0, 1, 1}, {0, 0, 1, 1}, 0x8410},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.color);
    clear_screen(0xFF000000);
    fill_rect_color(c.color, c.rect.left, c.rect.top, c.rect.right, c.rect.bottom);
    EXPECT_EQ(changed(), c.expect);
    EXPECT_EQ(pixel(c.expect.left, c.expect.top), c.value);
  }
  clear_screen(0xFF000000);
  fill_rect_color(0xFFFFFFFF, 5, 5, 5, 10);  // empty
  fill_rect_color(0xFFFFFFFF, 5, 10, 9, 3);  // inverted
  EXPECT_EQ(changed(), (Box{480, 800, 0, 0}));
}

TEST_F(DrawTest, ClearToBlackAndTransparentFill) {
  clear_screen(0xFFFFFFFF);
  EXPECT_EQ(pixel(0, 0), 0xFFFF);
  EXPECT_EQ(pixel(479, 799), 0xFFFF);
  clear_screen(0x00000000);  // alpha 0: practically nothing
  EXPECT_EQ(changed(), (Box{0, 0, 480, 800}));
  EXPECT_EQ(changed(0xFFFF), (Box{480, 800, 0, 0}));
  clear_screen(0xFF000000);
  EXPECT_EQ(changed(), (Box{480, 800, 0, 0}));
}

TEST_F(DrawTest, BlitTakesTheSourceRectangle) {
  Picture src(8, 4, PIXEL_FORMAT_RGB_565, 0);
  auto* texels = reinterpret_cast<uint16_t*>(src.pixels.data());
  for (int i = 0; i < 32; ++i) texels[i] = static_cast<uint16_t>(0x100 + i);
  blit_surface(&src.surface, 5, 2, 3, 2, 100, 200);
  EXPECT_EQ(changed(), (Box{100, 200, 103, 202}));
  EXPECT_EQ(pixel(100, 200), 0x100 + 2 * 8 + 5);
  EXPECT_EQ(pixel(102, 201), 0x100 + 3 * 8 + 7);
  // A source rectangle reaching past the picture takes only its texels.
  clear_screen(0xFF000000);
  blit_surface(&src.surface, 6, 0, 10, 10, 0, 0);
  EXPECT_EQ(changed(), (Box{0, 0, 2, 4}));
}

TEST_F(DrawTest, TransparentAndOpaqueTexels) {
  clear_screen(0xFF00FF00);  // green
  std::vector<uint32_t> rgba = {0x00FFFFFF, 0xFF0000FF, 0x80FFFFFF};  // transparent, opaque red, half white
  Picture p(3, 1, PIXEL_FORMAT_RGBA_8888, 0);
  p.pixels = rgba;
  p.surface.data = reinterpret_cast<uint8_t*>(p.pixels.data());
  blit_surface(&p.surface, 0, 0, 3, 1, 0, 0);
  EXPECT_EQ(pixel(0, 0), 0x07E0);
  EXPECT_EQ(pixel(1, 0), 0xF800);
  EXPECT_EQ(pixel(2, 0), 0x87F0);  // half white over green: red and blue 128, green 255
}

TEST_F(DrawTest, NullPictureIsLoggedAndCentredClearStillClears) {
  clear_screen(0xFFFFFFFF);
  root_.clear_log();
  clear_and_draw_centered(nullptr, 0xFF000000);
  EXPECT_EQ(changed(), (Box{480, 800, 0, 0}));
  EXPECT_FALSE(root_.log_contains("icon is null."));
  draw_image(nullptr, PLACE_CENTER);
  EXPECT_EQ(root_.log_texts('E'), std::vector<std::string>{"icon is null."});

  Picture white(20, 10, PIXEL_FORMAT_RGBX_8888, 0xFFFFFFFF);
  clear_screen(0xFFFFFFFF);
  clear_and_draw_centered(&white.surface, 0xFF000000);
  EXPECT_EQ(changed(), (Box{230, 395, 250, 405}));
}

TEST_F(DrawTest, NothingIsDrawnAfterClose) {
  graphics_close();
  Picture white(20, 10, PIXEL_FORMAT_RGBX_8888, 0xFFFFFFFF);
  // Under the address sanitizer any write into the freed surface would stop here.
  clear_screen(0xFFFFFFFF);
  fill_rect(0, 0, 480, 800);
  draw_image(&white.surface, PLACE_CENTER);
  blit_surface(&white.surface, 0, 0, 20, 10, 0, 0);
  clear_and_draw_centered(&white.surface, 0xFF000000);
  EXPECT_EQ(gr_mem_surface.data, nullptr);
}

}  // namespace
