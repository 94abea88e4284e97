// Run-length boot logo into fake framebuffers.
#include "ui/boot_logo.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/mman.h>

#include "config/settings.h"
#include "ui/graphics.h"
#include "ui/image.h"

#include "tests/ui/ui_fixtures.h"

namespace {

using lumo_test::make_screen;

// Little-endian (count, colour) runs.
std::string rle(std::vector<std::pair<uint16_t, uint16_t>> runs, const std::string& tail = "") {
  std::string out;
  for (auto [n, c] : runs) out += {char(n & 0xFF), char(n >> 8), char(c & 0xFF), char(c >> 8)};
  return out + tail;
}

TEST(BootLogoTest, RunsFillPageZeroInReadingOrderAndNeverPastIt) {
  const uint16_t A = 0x1234, B = 0xF800, C = 0x07E0, O = 0x5A5A;  // O: what the screen showed before
  const struct { std::string file; std::vector<uint16_t> page; } cases[] = {  // page 0 of a 4 x 3 screen
      {rle({{3, A}, {6, B}, {3, C}}), {A, A, A, B, B, B, B, B, B, C, C, C}},
      {rle({{1, A}, {0, B}, {2, C}}), {A, C, C, O, O, O, O, O, O, O, O, O}},  // count 0 draws nothing
      {rle({{1, A}, {1, B}}, "\x05\x00"), {A, B, O, O, O, O, O, O, O, O, O, O}},  // tail ignored
      {rle({{10, A}, {3, B}, {1, C}}), {A, A, A, A, A, A, A, A, A, A, O, O}},  // stops at the overflow
      {rle({{12, B}, {1, A}, {0, C}}), std::vector<uint16_t>(12, B)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    lumo_test::DeviceRoot root;
    make_screen(root, 4, 3, 16, true, 0x5A);
    root.write("/initlogo.rle", c.file);
    EXPECT_EQ(load_565rle_image("/initlogo.rle"), 0);
    std::vector<uint16_t> page = c.page;
    page.resize(24, O);  // page 1 untouched
    EXPECT_EQ(lumo_test::fb_pixels16(root, 0, 24), page);
    EXPECT_EQ(root.shown_yoffset(), 0);
    EXPECT_EQ(root.read("/dev/tty0.mode"), "graphics");
    std::vector<std::string> warn = root.log_texts('W');
    EXPECT_EQ(std::vector<std::string>(warn.begin(), warn.end() - 1),
              (std::vector<std::string>{"565rle : vt_set_mode", "565rle : open fname", "565rle : fstat",
                                        "565rle : mmap", "565rle : fb_open"}));
    EXPECT_EQ(warn.back().rfind("max=12, count=" + std::to_string(c.file.size()) + ", bits=", 0), 0u);
    EXPECT_EQ(root.log_texts('D'),
              (std::vector<std::string>{"load_565rle_image '/initlogo.rle'", " load_565rle_image success! "}));
  }
}

// Screens the host cannot describe: rows with padding (never written) and
// 32-bit words with blue in the low byte.
TEST(BootLogoTest, RunsFollowRowsAndTheChannelLayout) {
  const struct { unsigned bpp, line, red, blue; std::vector<uint32_t> page; } cases[] = {
      {16, 8, 11, 0, {0xF800, 0xF800, 0xF800, 0xEEEE, 0x001F, 0x001F, 0x07E0, 0xEEEE}},
      {32, 12, 16, 0, {0xFFFF0000, 0xFFFF0000, 0xFFFF0000, 0xFF0000FF, 0xFF0000FF, 0xFF00FF00}},  // no padding
      {32, 16, 0, 16, {0xFF0000FF, 0xFF0000FF, 0xFF0000FF, 0xEEEEEEEE, 0xFFFF0000, 0xFFFF0000, 0xFF00FF00, 0xEEEEEEEE}},
  };
  const std::string runs = rle({{3, 0xF800}, {2, 0x001F}, {1, 0x07E0}, {1, 0xFFFF}});  // the last does not fit
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bpp * 100 + c.line);
    ScreenMap screen;
    screen.info = {3, 2, c.bpp, c.line, 1, size_t{2} * c.line, c.red, 8, c.blue};
    void* memory = mmap(nullptr, screen.info.memory_size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    memset(memory, 0xEE, screen.info.memory_size);
    screen.memory = platform::Mapping(memory, screen.info.memory_size);
    decode_runs(screen, reinterpret_cast<const uint8_t*>(runs.data()), runs.size());
    const unsigned step = c.bpp / 8, per_row = c.line / step;
    std::vector<uint32_t> got;
    for (unsigned row = 0; row < 2; ++row) {
      for (unsigned x = 0; x < 4 && x < per_row; ++x) {
        uint32_t v = 0;
        memcpy(&v, screen.memory.data() + row * c.line + x * step, step);
        got.push_back(v);
      }
    }
    EXPECT_EQ(got, c.page);
  }
}

TEST(BootLogoTest, FailuresPutTheConsoleBackAndReturnMinusOne) {
  const char* errors[] = {"cannot open '/initlogo.rle'", "cannot mmap '/initlogo.rle'", "cannot open framebuff "};
  for (int i = 0; i < 3; ++i) {  // no file, empty file, no framebuffer
    SCOPED_TRACE(i);
    lumo_test::DeviceRoot root;
    i == 2 ? root.write("/dev/tty0", "") : make_screen(root, 4, 3);
    if (i > 0) root.write("/initlogo.rle", i == 1 ? "" : rle({{1, 0}}));
    EXPECT_EQ(load_565rle_image("/initlogo.rle"), -1);
    EXPECT_EQ(root.log_texts('E'), std::vector<std::string>{errors[i]});
    EXPECT_EQ(root.read("/dev/tty0.mode"), "text");
  }
}

// Paths built from settings never leave the device root: a ".." component
// fails like a missing file, with the usual log line, even when the file it
// names exists outside the root.
TEST(BootLogoTest, SettingsPathsWithDotDotStayInsideTheRoot) {
  lumo_test::DeviceRoot outside;
  outside.write("/initlogo.rle", rle({{12, 0xFFFF}}));
  ASSERT_TRUE(lumo_test::put_png(outside, "/fixed.png", lumo_test::png_of(1, 1, PNG_COLOR_TYPE_RGB, {1, 2, 3})));
  lumo_test::DeviceRoot root;
  make_screen(root, 4, 3, 16, true, 0x5A);
  std::string climb;  // from the root up to "/", then down to `outside`
  for (char c : root.dir()) climb += c == '/' ? "/.." : "";
  climb += outside.dir();
  EXPECT_EQ(load_565rle_image((climb + "/initlogo.rle").c_str()), -1);
  resetSettingsCache();
  root.set_property("ro.lboot.res.path", climb + "/");
  ImageResource fixed = {0, "fixed.png", nullptr, nullptr};
  EXPECT_EQ(resource_surface(&fixed), nullptr);
  resetSettingsCache();
  EXPECT_EQ(root.log_texts('E'), (std::vector<std::string>{"cannot open '" + climb + "/initlogo.rle'",
                                                           "Missing bitmap (Code -1) '" + climb + "/fixed.png'"}));
  EXPECT_EQ(lumo_test::fb_pixels16(root, 0, 12), std::vector<uint16_t>(12, 0x5A5A));
}

TEST(BootLogoTest, MissingConsoleIsLoggedAndTheLogoStillShows) {
  lumo_test::DeviceRoot root;
  make_screen(root, 4, 3, 16, /*console=*/false);
  root.write("/initlogo.rle", rle({{12, 0xFFFF}}));
  EXPECT_EQ(load_565rle_image("/initlogo.rle"), 0);
  EXPECT_EQ(root.log_texts('E'), std::vector<std::string>{"cannot set mode 1."});
  EXPECT_EQ(lumo_test::fb_pixels16(root, 0, 12), std::vector<uint16_t>(12, 0xFFFF));
}

}  // namespace
