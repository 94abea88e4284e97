// Run-length boot logo into fake framebuffers.
#include "ui/boot_logo.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/device_root.h"
#include "tests/ui/fake_screen.h"

namespace {

using lumo_test::make_screen;

struct Run {
  uint16_t count, color;
};

std::string rle(const std::vector<Run>& runs, const std::string& tail = "") {
  std::string out;
  for (Run r : runs) {
    out += static_cast<char>(r.count & 0xFF);
    out += static_cast<char>(r.count >> 8);
    out += static_cast<char>(r.color & 0xFF);
    out += static_cast<char>(r.color >> 8);
  }
  return out + tail;
}

class BootLogoTest : public ::testing::Test {
 protected:
  // The whole framebuffer file as 16-bit pixels (both pages).
  std::vector<uint16_t> pixels16(size_t count) const { return lumo_test::fb_pixels16(root_, 0, count); }

  lumo_test::DeviceRoot root_;
};

TEST_F(BootLogoTest, RunsFillTheScreenInReadingOrder) {
  constexpr uint16_t kOld = 0x5A5A;  // what the screen showed before
  const uint16_t A = 0x1234, B = 0xF800, C = 0x07E0;
  struct Case {
    const char* what;
    std::string file;
    std::vector<uint16_t> page;  // 4 x 3 screen, 12 pixels
  };
  const std::vector<uint16_t> old(12, kOld);
  const Case cases[] = {
      {"runs continue across rows",
       rle({{3, A}, {6, B}, {3, C}}),
       {A, A, A, B, B, B, B, B, B, C, C, C}},
      {"run of two rows", rle({{8, A}}), {A, A, A, A, A, A, A, A, kOld, kOld, kOld, kOld}},
      {"count 0 draws nothing and goes on", rle({{1, A}, {0, B}, {2, C}}),
       {A, C, C, kOld, kOld, kOld, kOld, kOld, kOld, kOld, kOld, kOld}},
      {"trailing bytes ignored", rle({{1, A}, {1, B}}, "\x05\x00"),
       {A, B, kOld, kOld, kOld, kOld, kOld, kOld, kOld, kOld, kOld, kOld}},
      {"first run larger than the screen", rle({{13, A}, {1, B}}), old},
      {"run past the free pixels stops decoding", rle({{10, A}, {3, B}, {1, C}}),
       {A, A, A, A, A, A, A, A, A, A, kOld, kOld}},
      {"full screen, later runs not drawn", rle({{12, B}, {1, A}, {0, C}}), std::vector<uint16_t>(12, B)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    make_screen(root_, 4, 3, 16, true, 0x5A);
    root_.write("/initlogo.rle", c.file);
    root_.clear_log();
    EXPECT_EQ(load_565rle_image("/initlogo.rle"), 0);
    std::vector<uint16_t> all = pixels16(24);
    EXPECT_EQ(std::vector<uint16_t>(all.begin(), all.begin() + 12), c.page);
    EXPECT_EQ(std::vector<uint16_t>(all.begin() + 12, all.end()), old);  // page 1 untouched
    EXPECT_TRUE(root_.log_contains(" load_565rle_image success! "));
    EXPECT_EQ(lumo_test::shown_yoffset(root_), 0);
    EXPECT_EQ(root_.read("/dev/tty0.mode"), "graphics");
  }
}

TEST_F(BootLogoTest, SixRunsBlackenA480x800Screen) {
  make_screen(root_, 480, 800, 16, true, 0x5A);
  root_.write("/initlogo.rle", rle({{64000, 0}, {64000, 0}, {64000, 0}, {64000, 0}, {64000, 0}, {64000, 0},
                                    {1, 0xFFFF}}));
  EXPECT_EQ(load_565rle_image("/initlogo.rle"), 0);
  std::vector<uint16_t> all = pixels16(2 * 480 * 800);
  EXPECT_EQ(std::vector<uint16_t>(all.begin(), all.begin() + 480 * 800), std::vector<uint16_t>(480 * 800, 0));
  EXPECT_EQ(all[480 * 800], 0x5A5A);
  EXPECT_EQ(root_.log_texts('W').back().rfind("max=384000, count=28, bits=", 0), 0u);
}

TEST_F(BootLogoTest, ThirtyTwoBitPixelsAreExpanded) {
  make_screen(root_, 3, 2, 32, true, 0x5A);
  root_.write("/initlogo.rle", rle({{2, 0x001F}, {3, 0xF800}}));
  EXPECT_EQ(load_565rle_image("/initlogo.rle"), 0);
  std::string fb = root_.read("/dev/graphics/fb0");
  std::string blue("\x00\x00\xFF\xFF", 4), red("\xFF\x00\x00\xFF", 4), old(4, '\x5A');
  EXPECT_EQ(fb.substr(0, 24), blue + blue + red + red + red + old);
  EXPECT_EQ(fb.substr(24), std::string(24, '\x5A'));
}

TEST_F(BootLogoTest, FailuresPutTheConsoleBackAndReturnMinusOne) {
  struct Case {
    const char* what;
    const char* error;
  };
  const Case cases[] = {
      {"missing file", "cannot open '/initlogo.rle'"},
      {"empty file", "cannot mmap '/initlogo.rle'"},
      {"no framebuffer", "cannot open framebuff "},
      {"bad screen info", "cannot open framebuff "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lumo_test::DeviceRoot root;
    root.write("/dev/tty0", "");
    if (c.what != cases[2].what) make_screen(root, 4, 3, 16);
    if (c.what == cases[3].what) root.write("/dev/graphics/fb0.info", "xres=4\nyres=3\nbits_per_pixel=8\n");
    if (c.what != cases[0].what) root.write("/initlogo.rle", c.what == cases[1].what ? "" : rle({{1, 0}}));
    EXPECT_EQ(load_565rle_image("/initlogo.rle"), -1);
    EXPECT_EQ(root.log_texts('E'), std::vector<std::string>{c.error});
    EXPECT_EQ(root.read("/dev/tty0.mode"), "text");
  }
}

TEST_F(BootLogoTest, MissingConsoleIsLoggedAndTheLogoStillShows) {
  make_screen(root_, 4, 3, 16, /*console=*/false);
  root_.write("/initlogo.rle", rle({{12, 0xFFFF}}));
  EXPECT_EQ(load_565rle_image("/initlogo.rle"), 0);
  EXPECT_EQ(root_.log_texts('E'), std::vector<std::string>{"cannot set mode 1."});
  EXPECT_EQ(pixels16(12), std::vector<uint16_t>(12, 0xFFFF));
  EXPECT_EQ(vt_set_mode(1), -1);
}

TEST_F(BootLogoTest, StepsAreLoggedInOrder) {
  make_screen(root_, 4, 3, 16);
  root_.write("/initlogo.rle", rle({{1, 0}}));
  ASSERT_EQ(load_565rle_image("/initlogo.rle"), 0);
  std::vector<std::string> warn = root_.log_texts('W');
  ASSERT_EQ(warn.size(), 6u);
  EXPECT_EQ(std::vector<std::string>(warn.begin(), warn.begin() + 5),
            (std::vector<std::string>{"565rle : vt_set_mode", "565rle : open fname", "565rle : fstat",
                                      "565rle : mmap", "565rle : fb_open"}));
  EXPECT_EQ(warn[5].rfind("max=12, count=4, bits=", 0), 0u) << warn[5];
  EXPECT_EQ(root_.log_texts('D'),
            (std::vector<std::string>{"load_565rle_image '/initlogo.rle'", " load_565rle_image success! "}));
}

}  // namespace
