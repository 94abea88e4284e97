// Framebuffer open, page flips and close on fake framebuffers.
#include "ui/graphics.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/ui/ui_fixtures.h"
#include "ui/draw.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::fb_pixels16;
using lumo_test::make_screen;
using Pixels = std::vector<uint16_t>;

class GraphicsTest : public ::testing::Test {
 protected:
  void TearDown() override { graphics_close(); }
  DeviceRoot root_;
};

TEST_F(GraphicsTest, PresentFillsTheHiddenPageAndPansToIt) {
  make_screen(root_, 4, 3);
  ASSERT_EQ(graphics_open(), 0);
  EXPECT_EQ(root_.read("/dev/tty0.mode"), "graphics");
  EXPECT_EQ(root_.shown_yoffset(), 0);
  EXPECT_TRUE(root_.log_contains("Malloc 24 for surface."));
  EXPECT_TRUE(root_.log_contains("framebuffer: fd " + std::to_string(gr_fb_fd) + " (4 x 3)"));
  auto* mem = reinterpret_cast<uint16_t*>(gr_mem_surface.data);
  Pixels frames[3] = {Pixels(12, 0), Pixels(12), Pixels(12)};
  EXPECT_EQ(Pixels(mem, mem + 12), frames[0]);  // cleared, not old memory
  for (unsigned n = 1; n <= 2; ++n) {
    for (int i = 0; i < 12; ++i) frames[n][i] = mem[i] = static_cast<uint16_t>(0x1111 * n + i * 0x0101);
    screen_present();
    unsigned page = n % 2;
    EXPECT_EQ(gr_front_page, page);
    EXPECT_EQ(root_.shown_yoffset(), static_cast<int>(3 * page));
    EXPECT_EQ(fb_pixels16(root_, 24 * page, 12), frames[n]);
    EXPECT_EQ(fb_pixels16(root_, 24 * (1 - page), 12), frames[n - 1]);  // shown page not written
  }
  page_show(2);  // not a page: ignored
  EXPECT_EQ(root_.shown_yoffset(), 0);
  root_.clear_log();
  graphics_close();
  EXPECT_EQ(root_.log_texts('D'), (std::vector<std::string>{"Close gr_fb_fd", "Free gr_mem_surface.data",
                                                             "KDSETMODE gr_vt_fd KD_TEXT", "Close gr_vt_fd"}));
  EXPECT_EQ(root_.read("/dev/tty0.mode"), "text");
  EXPECT_TRUE(gr_fb_fd == -1 && gr_vt_fd == -1 && gr_mem_surface.data == nullptr);
}

TEST_F(GraphicsTest, ThirtyTwoBitPagesGetExpandedPixels) {
  make_screen(root_, 2, 2, 32);
  ASSERT_EQ(graphics_open(), 0);
  const uint16_t frame[4] = {0xF800, 0x07E0, 0x001F, 0x0000};
  memcpy(gr_mem_surface.data, frame, sizeof(frame));
  screen_present();
  EXPECT_EQ(root_.read("/dev/graphics/fb0").substr(16),
            std::string("\xFF\x00\x00\xFF\x00\xFF\x00\xFF\x00\x00\xFF\xFF\x00\x00\x00\xFF", 16));
  EXPECT_EQ(root_.shown_yoffset(), 2);
}

// A screen whose announced memory or whose file holds one page: every frame
// is copied into page 0, nothing pans, the file does not grow, and the log
// says once that there is one page.
TEST_F(GraphicsTest, SinglePageScreensDrawIntoPageZero) {
  const struct { const char* name; const char* info_extra; size_t file_bytes; } cases[] = {
      {"yres_virtual = yres", "yres_virtual=3\n", 48},
      {"a file of one page", "", 24},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceRoot root;
    make_screen(root, 4, 3);
    root.write("/dev/graphics/fb0", std::string(c.file_bytes, '\x5A'));
    root.write("/dev/graphics/fb0.info", "xres=4\nyres=3\nbits_per_pixel=16\n" + std::string(c.info_extra) + "yoffset=0\n");
    const std::string info_before = root.read("/dev/graphics/fb0.info");
    ASSERT_EQ(graphics_open(), 0);
    EXPECT_EQ(gr_page_count, 1u);
    EXPECT_EQ(gr_fb_pages[1].data, nullptr);
    auto* mem = reinterpret_cast<uint16_t*>(gr_mem_surface.data);
    for (uint16_t n = 1; n <= 3; ++n) {
      for (int i = 0; i < 12; ++i) mem[i] = static_cast<uint16_t>(0x1111 * n + i);
      screen_present();
      Pixels expected(mem, mem + 12);
      expected.resize(c.file_bytes / 2, 0x5A5A);  // past page 0: untouched
      EXPECT_EQ(fb_pixels16(root, 0, c.file_bytes / 2), expected) << n;
      EXPECT_EQ(gr_front_page, 0u);
    }
    page_show(1);  // no such page: ignored
    EXPECT_EQ(root.read("/dev/graphics/fb0.info"), info_before);  // never panned
    EXPECT_EQ(root.read("/dev/graphics/fb0").size(), c.file_bytes);
    EXPECT_EQ(root.log_count("framebuffer: one page, frames are drawn without page flips", 'W'), 1);
    graphics_close();
  }
}

// A failed open leaves nothing to draw into and says why; a screen without
// room for one whole page (and only that) says so in the log too, and its
// file is not grown.
TEST_F(GraphicsTest, FailedOpenLeavesNothingToDrawInto) {
  const std::string geometry = "xres=4\nyres=3\nbits_per_pixel=16\n";
  const std::string no_page = "fb0 cannot hold one page: ", no_page_log = "framebuffer: memory of ";
  // Info "": no screen files; a `log` line is written for the screens without room for a page.
  const struct { const char* why; std::string info; size_t bytes; bool refuse_mode; std::string err, log; } cases[] = {
      {"console refuses the mode", geometry, 48, true, "failed KDSETMODE to KD_GRAPHICS on tty0", ""},
      {"no framebuffer", "", 0, false, "cannot open fb0: No such file or directory", ""},
      {"unusable info", "xres=4\n", 48, false, "failed to get fb0 info", ""},
      {"virtual height under a page", geometry + "yres_virtual=2\n", 48, false,
       no_page + "16 bytes of memory, a page needs 24", no_page_log + "16 bytes cannot hold one page of 24 bytes"},
      {"no virtual height", geometry + "yres_virtual=0\n", 48, false, no_page + "0 bytes of memory, a page needs 24",
       no_page_log + "0 bytes cannot hold one page of 24 bytes"},
      {"file under a page", geometry, 10, false, no_page + "10 bytes of memory, a page needs 24",
       no_page_log + "10 bytes cannot hold one page of 24 bytes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    DeviceRoot root;
    root.write("/dev/tty0", "");
    if (c.refuse_mode) root.mkdir("/dev/tty0.mode");
    if (!c.info.empty()) {
      root.write("/dev/graphics/fb0", std::string(c.bytes, '\0'));
      root.write("/dev/graphics/fb0.info", c.info);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(graphics_open(), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(c.err), std::string::npos) << err;
    EXPECT_TRUE(gr_fb_fd == -1 && gr_vt_fd == -1 && gr_mem_surface.data == nullptr);
    clear_screen(0xFF000000);  // without a screen: nothing, no crash
    screen_present();
    if (c.log.empty()) continue;
    EXPECT_EQ(err.find("failed to get fb0 info"), std::string::npos) << err;
    EXPECT_TRUE(root.log_contains(c.log));
    EXPECT_EQ(root.read("/dev/graphics/fb0").size(), c.bytes);  // not grown
  }
}

// Without a console the screen still opens, and says why the mode stays.
TEST_F(GraphicsTest, OpensWithoutConsoleClosesTwiceAndReopens) {
  make_screen(root_, 4, 3, 16, /*console=*/false);
  testing::internal::CaptureStderr();
  ASSERT_EQ(graphics_open(), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("can't open /dev/tty0: No such file or directory\n"), std::string::npos) << err;
  EXPECT_EQ(gr_vt_fd, -1);
  screen_present();  // page 1 in front
  graphics_close();
  graphics_close();  // nothing freed twice
  ASSERT_EQ(graphics_open(), 0);
  EXPECT_EQ(gr_front_page, 0u);
  clear_screen(0xFFFFFFFF);
  screen_present();
  EXPECT_EQ(fb_pixels16(root_, 24, 12), Pixels(12, 0xFFFF));
  EXPECT_EQ(root_.shown_yoffset(), 3);
}

}  // namespace
