#include "sim/image.h"

#include <gtest/gtest.h>

#include "sim/files.h"

namespace {

using sim::Image;

struct Screen {  // a phone with only a framebuffer and a backlight
  sim::TempDir tmp;
  sim::Device device{tmp.path("phone")};
  std::string error;
  void make(int xres, int yres, int bpp, int yoffset, const std::string& both_pages) {
    char info[128];
    snprintf(info, sizeof(info), "xres=%d\nyres=%d\nbits_per_pixel=%d\nyoffset=%d\n", xres, yres, bpp, yoffset);
    sim::write_file(device.path("/dev/graphics/fb0.info"), info);
    sim::write_file(device.path("/dev/graphics/fb0"), both_pages);
  }
  std::vector<uint32_t> page() {  // empty, with `error`, when unreadable
    Image page;
    sim::FrameInfo info;
    return sim::read_visible_page(device, &page, &info, &error) ? page.pixels : std::vector<uint32_t>{};
  }
  Image shot(const std::string& backlight) {
    sim::write_file(device.path("/sys/class/leds/backlight/color"), backlight + "\n");
    Image shot;
    EXPECT_TRUE(sim::render_screenshot(device, &shot, &error)) << error;
    return shot;
  }
};

std::string le16(uint16_t v) { return std::string{static_cast<char>(v & 0xff), static_cast<char>(v >> 8)}; }
std::string run(uint16_t count, uint16_t color) { return le16(count) + le16(color); }

TEST(Screenshot, VisiblePageIn16And32BitsDimmedByBacklight) {
  Screen s;
  s.make(2, 2, 16, 2, std::string(8, '\xff') + le16(0xf800) + le16(0x07e0) + le16(0x001f) + le16(0x0000));
  EXPECT_EQ(s.page(), (std::vector<uint32_t>{0xffff0000, 0xff00ff00, 0xff0000ff, 0xff000000})) << s.error;
  EXPECT_GT((s.shot("ff333333").at(0, 0) >> 16) & 0xff, 170u);  // level 51: clearly lit
  uint32_t red = (s.shot("ff000000").at(0, 0) >> 16) & 0xff;
  EXPECT_TRUE(red > 0 && red < 50) << red;  // dark, yet still faintly there

  s.make(2, 1, 32, 1, std::string(8, '\0') + std::string("\x10\x20\x30\xff\xff\x00\x80\x00", 8));
  EXPECT_EQ(s.page(), (std::vector<uint32_t>{0xff102030, 0xffff0080})) << s.error;  // R, G, B, X in memory
  s.make(2, 2, 16, 2, std::string(8, '\0'));  // second page missing
  EXPECT_TRUE(s.page().empty());
  EXPECT_NE(s.error.find("too short"), std::string::npos) << s.error;
  sim::write_file(s.device.path("/dev/graphics/fb0.info"), "xres=abc\n");
  EXPECT_TRUE(s.page().empty());
}

TEST(BootLogo, DecodesRunsAndComparesTheVisiblePage) {
  // A run longer than the pixels still free ends decoding; trailing bytes and empty runs change nothing.
  std::string file = run(2, 0x1111) + run(0, 0x2222) + run(3, 0x3333) + run(2, 0x4444) + "xy";
  EXPECT_EQ(sim::decode_565_rle(file, 6), (std::vector<uint16_t>{0x1111, 0x1111, 0x3333, 0x3333, 0x3333}));
  EXPECT_EQ(sim::decode_565_rle(file, 7).size(), 7u);
  EXPECT_TRUE(sim::decode_565_rle(run(9, 1), 4).empty());

  Screen s;
  sim::write_file(s.device.path("/initlogo.rle"), run(3, 0xf800) + run(1, 0x001f));
  std::string shown = le16(0xf800) + le16(0xf800) + le16(0xf800) + le16(0x001f), detail;
  s.make(2, 2, 16, 0, shown + std::string(8, '\0'));
  EXPECT_TRUE(sim::screen_shows_boot_logo(s.device, &detail)) << detail;
  s.make(2, 2, 16, 2, shown + std::string(8, '\0'));  // the other page is shown
  EXPECT_FALSE(sim::screen_shows_boot_logo(s.device, &detail));
  EXPECT_NE(detail.find("4 of 4 logo pixels differ"), std::string::npos) << detail;
}

}  // namespace
