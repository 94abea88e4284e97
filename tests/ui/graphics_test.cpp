// Framebuffer open, page flipping and close against fake framebuffers.
#include "ui/graphics.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/device_root.h"
#include "tests/ui/fake_screen.h"
#include "ui/draw.h"

namespace {

using lumo_test::make_screen;
using lumo_test::shown_yoffset;

class GraphicsTest : public ::testing::Test {
 protected:
  void TearDown() override { graphics_close(); }

  void fill_memory_surface(uint16_t seed) {
    auto* pixels = reinterpret_cast<uint16_t*>(gr_mem_surface.data);
    for (int i = 0; i < screen_width() * screen_height(); ++i) pixels[i] = static_cast<uint16_t>(seed + i * 0x0101);
  }
  std::vector<uint16_t> memory_surface() const {
    auto* pixels = reinterpret_cast<const uint16_t*>(gr_mem_surface.data);
    return std::vector<uint16_t>(pixels, pixels + screen_width() * screen_height());
  }

  lumo_test::DeviceRoot root_;
};

TEST_F(GraphicsTest, PresentFillsTheHiddenPageAndPansToIt16Bit) {
  make_screen(root_, 4, 3, 16);
  ASSERT_EQ(graphics_open(), 0);
  EXPECT_EQ(root_.read("/dev/tty0.mode"), "graphics");
  EXPECT_EQ(shown_yoffset(root_), 0);
  EXPECT_EQ(screen_width(), 4);
  EXPECT_EQ(screen_height(), 3);
  EXPECT_EQ(gr_fb_pages[1].data - gr_fb_pages[0].data, 24);
  EXPECT_TRUE(root_.log_contains("Malloc 24 for surface."));
  EXPECT_TRUE(root_.log_contains("framebuffer: fd " + std::to_string(gr_fb_fd) + " (4 x 3)"));
  std::vector<uint16_t> surface = memory_surface();
  EXPECT_TRUE(std::all_of(surface.begin(), surface.end(), [](uint16_t p) { return p == 0; }));

  fill_memory_surface(0x1111);
  std::vector<uint16_t> first = memory_surface();
  screen_present();
  EXPECT_EQ(gr_front_page, 1u);
  EXPECT_EQ(shown_yoffset(root_), 3);
  EXPECT_EQ(lumo_test::fb_pixels16(root_, 24, 12), first);
  EXPECT_EQ(lumo_test::fb_pixels16(root_, 0, 12), std::vector<uint16_t>(12, 0));  // shown page not written

  fill_memory_surface(0x2222);
  std::vector<uint16_t> second = memory_surface();
  screen_present();
  EXPECT_EQ(gr_front_page, 0u);
  EXPECT_EQ(shown_yoffset(root_), 0);
  EXPECT_EQ(lumo_test::fb_pixels16(root_, 0, 12), second);
  EXPECT_EQ(lumo_test::fb_pixels16(root_, 24, 12), first);

  graphics_close();
  EXPECT_EQ(root_.read("/dev/tty0.mode"), "text");
  EXPECT_EQ(gr_fb_fd, -1);
  EXPECT_EQ(gr_vt_fd, -1);
  EXPECT_EQ(gr_mem_surface.data, nullptr);
}

TEST_F(GraphicsTest, ThirtyTwoBitPagesGetExpandedPixels) {
  make_screen(root_, 2, 2, 32);
  ASSERT_EQ(graphics_open(), 0);
  EXPECT_EQ(gr_fb_pages[1].data - gr_fb_pages[0].data, 16);
  const uint16_t frame[4] = {0xF800, 0x07E0, 0x001F, 0x0000};
  memcpy(gr_mem_surface.data, frame, sizeof(frame));
  screen_present();
  std::string page1 = root_.read("/dev/graphics/fb0").substr(16, 16);
  EXPECT_EQ(page1, std::string("\xFF\x00\x00\xFF"
                               "\x00\xFF\x00\xFF"
                               "\x00\x00\xFF\xFF"
                               "\x00\x00\x00\xFF",
                               16));
  EXPECT_EQ(shown_yoffset(root_), 2);
}

TEST_F(GraphicsTest, SecondPageOffsetDependsOnDepth) {
  make_screen(root_, 480, 800, 32);
  ASSERT_EQ(graphics_open(), 0);
  EXPECT_EQ(gr_fb_pages[1].data - gr_fb_pages[0].data, 1536000);
  EXPECT_EQ(gr_fb_pages[0].format, PIXEL_FORMAT_RGB_565);
}

TEST(ExpandTest, ReplicatesTopBits) {
  struct Case {
    uint16_t in;
    uint32_t out;
  };
  const Case cases[] = {{0xF800, 0xFF0000FF}, {0x07E0, 0xFF00FF00}, {0x001F, 0xFFFF0000}, {0x0000, 0xFF000000},
                        {0xFFFF, 0xFFFFFFFF}, {0x8410, 0xFF848284}, {0x0821, 0xFF080408}};
  for (const Case& c : cases) {
    uint32_t out = 0;
    expand_565_to_8888(&out, &c.in, 1);
    EXPECT_EQ(out, c.out) << std::hex << c.in;
  }
}

TEST_F(GraphicsTest, OpensWithoutConsoleAndCloseLogsEveryStep) {
  make_screen(root_, 4, 3, 16, /*console=*/false);
  testing::internal::CaptureStderr();
  int result = graphics_open();
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_EQ(result, 0);
  EXPECT_NE(err.find("can't open /dev/tty0: No such file or directory\n"), std::string::npos) << err;
  EXPECT_NE(err.find("framebuffer: fd "), std::string::npos) << err;
  EXPECT_EQ(gr_vt_fd, -1);
  root_.clear_log();
  graphics_close();
  EXPECT_EQ(root_.log_texts('D'), (std::vector<std::string>{"Close gr_fb_fd", "Free gr_mem_surface.data",
                                                             "KDSETMODE gr_vt_fd KD_TEXT", "Close gr_vt_fd"}));
}

TEST_F(GraphicsTest, FailedOpenLeavesNothingToDrawInto) {
  struct Case {
    const char* what;
    const char* message;
  };
  const Case cases[] = {
      {"console refuses graphics", "failed KDSETMODE to KD_GRAPHICS on tty0"},
      {"no framebuffer", "cannot open fb0: No such file or directory"},
      {"bad screen info", "failed to get fb0 info"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lumo_test::DeviceRoot root;
    if (c.message == cases[0].message) {
      make_screen(root, 4, 3, 16);
      root.mkdir("/dev/tty0.mode");  // the mode cannot be written: the request fails
    } else if (c.message == cases[1].message) {
      root.write("/dev/tty0", "");
    } else {
      make_screen(root, 4, 3, 16);
      root.write("/dev/graphics/fb0.info", "xres=4\n");
    }
    testing::internal::CaptureStderr();
    int result = graphics_open();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(gr_fb_fd, -1);
    EXPECT_EQ(gr_vt_fd, -1);
    EXPECT_EQ(gr_mem_surface.data, nullptr);
    // Drawing and presenting without a screen do nothing (and do not crash).
    clear_screen(0xFF000000);
    fill_rect_color(0xFFFFFFFF, 0, 0, 4, 3);
    screen_present();
  }
}

TEST_F(GraphicsTest, CloseTwiceAndReopen) {
  make_screen(root_, 4, 3, 16);
  ASSERT_EQ(graphics_open(), 0);
  graphics_close();
  graphics_close();  // nothing freed twice
  EXPECT_EQ(gr_mem_surface.data, nullptr);

  // After close the old mapping is still there, but nothing is drawn into it.
  std::string before = root_.read("/dev/graphics/fb0");
  clear_screen(0xFFFFFFFF);
  screen_present();
  EXPECT_EQ(root_.read("/dev/graphics/fb0"), before);
  EXPECT_EQ(shown_yoffset(root_), 0);

  ASSERT_EQ(graphics_open(), 0);
  EXPECT_EQ(gr_front_page, 0u);
  clear_screen(0xFFFFFFFF);
  screen_present();
  EXPECT_EQ(lumo_test::fb_pixels16(root_, 24, 12), std::vector<uint16_t>(12, 0xFFFF));
  EXPECT_EQ(shown_yoffset(root_), 3);
}

TEST_F(GraphicsTest, PageShowIgnoresOtherPages) {
  make_screen(root_, 4, 3, 16);
  ASSERT_EQ(graphics_open(), 0);
  page_show(1);
  EXPECT_EQ(shown_yoffset(root_), 3);
  page_show(2);
  page_show(~0u);
  EXPECT_EQ(shown_yoffset(root_), 3);
  page_show(0);
  EXPECT_EQ(shown_yoffset(root_), 0);
}

}  // namespace
