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
    device.write("/dev/graphics/fb0.info", sim::frame_info_text({xres, yres, bpp, yoffset}));
    device.write("/dev/graphics/fb0", both_pages);
  }
  std::vector<uint32_t> page() {  // empty, with `error`, when unreadable
    Image page;
    sim::FrameInfo info;
    return sim::read_visible_page(device, &page, &info, &error) ? page.pixels : std::vector<uint32_t>{};
  }
  Image shot(const std::string& backlight) {
    device.write("/sys/class/leds/backlight/color", backlight + "\n");
    Image shot;
    bool drawn = sim::render_screenshot(device, &shot, &error);
    EXPECT_TRUE(drawn) << error;
    return drawn ? shot : Image(1, 1, 0);  // a failure, not a crash, for the caller's pixel checks
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
  s.device.write("/dev/graphics/fb0.info", "xres=abc\n");
  EXPECT_TRUE(s.page().empty());
}

TEST(BootLogo, DecodesRunsAndComparesTheVisiblePage) {
  // A run longer than the pixels still free ends decoding; trailing bytes and empty runs change nothing.
  std::string file = run(2, 0x1111) + run(0, 0x2222) + run(3, 0x3333) + run(2, 0x4444) + "xy";
  EXPECT_EQ(sim::decode_565_rle(file, 6), (std::vector<uint16_t>{0x1111, 0x1111, 0x3333, 0x3333, 0x3333}));
  EXPECT_EQ(sim::decode_565_rle(file, 7).size(), 7u);
  EXPECT_TRUE(sim::decode_565_rle(run(9, 1), 4).empty());

  Screen s;
  s.device.write("/initlogo.rle", run(3, 0xf800) + run(1, 0x001f));
  std::string shown = le16(0xf800) + le16(0xf800) + le16(0xf800) + le16(0x001f), detail;
  s.make(2, 2, 16, 0, shown + std::string(8, '\0'));
  EXPECT_TRUE(sim::screen_shows_boot_logo(s.device, &detail)) << detail;
  s.make(2, 2, 16, 2, shown + std::string(8, '\0'));  // the other page is shown
  EXPECT_FALSE(sim::screen_shows_boot_logo(s.device, &detail));
  EXPECT_NE(detail.find("4 of 4 pixels differ from /initlogo.rle"), std::string::npos) << detail;
  s.make(3, 2, 16, 0, shown + std::string(16, '\0'));  // a file made for a 2-pixel-wide screen
  EXPECT_FALSE(sim::screen_shows_boot_logo(s.device, &detail));
  EXPECT_NE(detail.find("holds 4 pixels, the screen 3 x 2 = 6: it was not made for this screen"), std::string::npos)
      << detail;
}

// With the logo's own picture the check wants it centred on black at its own
// size (cut on a smaller screen), never wrapped at the screen's width.
TEST(BootLogo, PictureIsExpectedCentredOnBlack) {
  const uint32_t R = 0xffff0000, B = 0xff0000ff, K = 0xff000000;
  sim::Image logo(2, 1, R);
  logo.set(1, 0, B);
  struct Case {
    int w, h;
    std::vector<uint32_t> page;
    bool shows;
  };
  const Case cases[] = {
      {4, 3, {K, K, K, K, K, R, B, K, K, K, K, K}, true},
      {5, 1, {K, R, B, K, K}, true},  // an odd margin: the extra column on the right
      {4, 3, {R, B, K, K, K, K, K, K, K, K, K, K}, false},  // where a loader puts a file made for 2 columns
      {1, 1, {R}, true},  // wider than the screen: the middle (rounded left) stays
  };
  for (const Case& c : cases) {
    sim::Image page(c.w, c.h, 0);
    page.pixels = c.page;
    std::string detail;
    EXPECT_EQ(sim::page_shows_boot_logo(page, "", &logo, &detail), c.shows) << c.w << "x" << c.h << ": " << detail;
  }
  // The file made from it covers the screen in runs of at most 65535 pixels.
  sim::Image big = sim::logo_on_screen(logo, 300, 300);
  std::string rle = sim::encode_565_rle(big);
  EXPECT_EQ(sim::decode_565_rle(rle, SIZE_MAX).size(), 90000u);
  std::string detail;
  EXPECT_TRUE(sim::page_shows_boot_logo(big, rle, nullptr, &detail)) << detail;
  EXPECT_TRUE(sim::page_shows_boot_logo(big, rle, &logo, &detail)) << detail;
}

}  // namespace
