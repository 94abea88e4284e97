#include "sim/image.h"

#include <gtest/gtest.h>

#include "sim/files.h"
#include "tests/sim/temp_dir.h"

namespace {

using sim::Device;
using sim::Image;

// A phone with only a framebuffer and, optionally, a backlight colour.
struct Screen {
  sim_test::TempDir tmp;
  Device device{tmp.path("phone")};

  void make(int xres, int yres, int bpp, int yoffset, const std::string& pixels_of_both_pages) {
    sim::write_file(device.path("/dev/graphics/fb0.info"),
                    "xres=" + std::to_string(xres) + "\nyres=" + std::to_string(yres) +
                        "\nbits_per_pixel=" + std::to_string(bpp) +
                        "\nyoffset=" + std::to_string(yoffset) + "\n");
    sim::write_file(device.path("/dev/graphics/fb0"), pixels_of_both_pages);
  }
  void backlight(const std::string& color) {
    sim::write_file(device.path("/sys/class/leds/backlight/color"), color + "\n");
  }
};

std::string le16(uint16_t v) { return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)}; }

uint32_t channel(uint32_t c, int shift) { return (c >> shift) & 0xff; }

TEST(Screenshot, SixteenBitVisiblePageDimmedByBacklight) {
  Screen s;
  // 2 x 2 screen; page 0 is white, page 1 (visible) red, green, blue, black.
  std::string page0 = le16(0xffff) + le16(0xffff) + le16(0xffff) + le16(0xffff);
  std::string page1 = le16(0xf800) + le16(0x07e0) + le16(0x001f) + le16(0x0000);
  s.make(2, 2, 16, 2, page0 + page1);
  Image page;
  sim::FrameInfo info;
  std::string error;
  ASSERT_TRUE(sim::read_visible_page(s.device, &page, &info, &error)) << error;
  EXPECT_EQ(page.pixels, (std::vector<uint32_t>{0xffff0000, 0xff00ff00, 0xff0000ff, 0xff000000}));

  s.backlight("ff333333");  // level 51: clearly lit
  Image lit;
  ASSERT_TRUE(sim::render_screenshot(s.device, &lit, &error)) << error;
  EXPECT_GT(lit.width, 2);  // the side panel
  EXPECT_GT(channel(lit.at(0, 0), 16), 170u);
  EXPECT_EQ(channel(lit.at(0, 0), 8), 0u);
  EXPECT_GT(channel(lit.at(1, 0), 8), 170u);

  s.backlight("ff000000");  // dark
  Image dark;
  ASSERT_TRUE(sim::render_screenshot(s.device, &dark, &error)) << error;
  EXPECT_LT(channel(dark.at(0, 0), 16), 50u);
  EXPECT_GT(channel(dark.at(0, 0), 16), 0u);  // still faintly there

  // Written and read back as PNG.
  std::string png = s.tmp.path("shot.png");
  ASSERT_TRUE(sim::take_screenshot(s.device, png, &error)) << error;
  Image back;
  ASSERT_TRUE(sim::read_png(png, &back, &error)) << error;
  EXPECT_EQ(back.width, dark.width);
  EXPECT_EQ(back.pixels, dark.pixels);
}

TEST(Screenshot, ThirtyTwoBitPageIsRgbaInMemory) {
  Screen s;
  std::string page0(2 * 1 * 4, '\0');
  std::string page1 = std::string("\x10\x20\x30\xff", 4) + std::string("\xff\x00\x80\x00", 4);
  s.make(2, 1, 32, 1, page0 + page1);
  Image page;
  sim::FrameInfo info;
  std::string error;
  ASSERT_TRUE(sim::read_visible_page(s.device, &page, &info, &error)) << error;
  EXPECT_EQ(page.pixels, (std::vector<uint32_t>{0xff102030, 0xffff0080}));
}

TEST(Screenshot, BrokenScreenInformationIsReported) {
  Screen s;
  s.make(2, 2, 16, 2, std::string(8, '\0'));  // second page missing
  Image page;
  sim::FrameInfo info;
  std::string error;
  EXPECT_FALSE(sim::read_visible_page(s.device, &page, &info, &error));
  EXPECT_NE(error.find("too short"), std::string::npos) << error;
  sim::write_file(s.device.path("/dev/graphics/fb0.info"), "xres=abc\n");
  EXPECT_FALSE(sim::read_visible_page(s.device, &page, &info, &error));
}

std::string run(uint16_t count, uint16_t color) { return le16(count) + le16(color); }

TEST(BootLogo, DecodesRunsAsTheLoaderDraws) {
  // A run longer than the pixels still free ends decoding; trailing bytes and
  // zero-length runs change nothing.
  std::string file = run(2, 0x1111) + run(0, 0x2222) + run(3, 0x3333) + run(2, 0x4444) + "xy";
  EXPECT_EQ(sim::decode_565_rle(file, 6),
            (std::vector<uint16_t>{0x1111, 0x1111, 0x3333, 0x3333, 0x3333}));
  EXPECT_EQ(sim::decode_565_rle(file, 7).size(), 7u);
  EXPECT_TRUE(sim::decode_565_rle(run(9, 1), 4).empty());
}

TEST(BootLogo, ScreenComparison) {
  Screen s;
  sim::write_file(s.device.path("/initlogo.rle"), run(3, 0xf800) + run(1, 0x001f));
  std::string shown = le16(0xf800) + le16(0xf800) + le16(0xf800) + le16(0x001f);
  s.make(2, 2, 16, 0, shown + std::string(8, '\0'));
  std::string detail;
  EXPECT_TRUE(sim::screen_shows_boot_logo(s.device, &detail)) << detail;
  s.make(2, 2, 16, 2, shown + std::string(8, '\0'));  // the other page is shown
  EXPECT_FALSE(sim::screen_shows_boot_logo(s.device, &detail));
  EXPECT_NE(detail.find("4 of 4 logo pixels differ"), std::string::npos) << detail;
  // 32-bit: the logo widened to bytes R, G, B, FF.
  std::string wide = std::string("\xff\x00\x00\xff", 4);
  std::string blue = std::string("\x00\x00\xff\xff", 4);
  s.make(2, 2, 32, 0, wide + wide + wide + blue + std::string(16, '\0'));
  EXPECT_TRUE(sim::screen_shows_boot_logo(s.device, &detail)) << detail;
}

TEST(ContactSheet, TilesEveryPicture) {
  sim_test::TempDir tmp;
  std::string error;
  std::vector<std::string> inputs;
  for (int i = 0; i < 5; ++i) {
    Image img(100, 80, 0xff000000u | static_cast<uint32_t>(i * 40) << 16);
    inputs.push_back(tmp.path("0" + std::to_string(i) + "-shot.png"));
    ASSERT_TRUE(sim::write_png(inputs.back(), img, &error)) << error;
  }
  ASSERT_TRUE(sim::make_contact_sheet(tmp.path("sheet.png"), inputs, &error)) << error;
  Image sheet;
  ASSERT_TRUE(sim::read_png(tmp.path("sheet.png"), &sheet, &error)) << error;
  EXPECT_GE(sheet.width, 4 * 100);   // four to a row
  EXPECT_GE(sheet.height, 2 * 80);   // a second row for the fifth
  EXPECT_FALSE(sim::make_contact_sheet(tmp.path("x.png"), {tmp.path("absent.png")}, &error));
}

}  // namespace
