#include "ui/charge_anim.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "battery/battery.h"
#include "config/settings.h"
#include "core/message_queue.h"
#include "lights/lights.h"
#include "tests/support/device_root.h"
#include "tests/ui/png_writer.h"
#include "ui/display_lock.h"
#include "ui/graphics.h"

namespace lumo_ui_test {

// Writes a w x h 8-bit RGB PNG of one colour to the host file `path`.
void write_solid_png(const std::string& path, int w, int h, uint8_t r, uint8_t g, uint8_t b) {
  lumo_test::PngSpec spec;
  spec.width = w;
  spec.height = h;
  for (int i = 0; i < w * h; ++i) spec.pixels.insert(spec.pixels.end(), {r, g, b});
  ASSERT_TRUE(lumo_test::write_png(path, spec)) << path;
}

// A console and a 16-bit framebuffer of `w` x `h` in the root.
void make_framebuffer(const lumo_test::DeviceRoot& root, int w, int h) {
  root.write("/dev/tty0", "");
  root.write("/dev/graphics/fb0.info", "xres=" + std::to_string(w) + "\nyres=" +
                                           std::to_string(h) + "\nbits_per_pixel=16\nyoffset=0\n");
  root.write("/dev/graphics/fb0", std::string(static_cast<size_t>(w) * h * 2 * 2, '\0'));
}

}  // namespace lumo_ui_test

namespace {

using lumo_ui_test::make_framebuffer;
using lumo_ui_test::write_solid_png;

constexpr int kW = 160, kH = 400;
constexpr int kNone = -1;   // black: nothing drawn there
constexpr int kOther = -2;  // a colour no picture has

// Picture row i is drawn in a colour that survives the trip to RGB565
// exactly, so a pixel names the row that painted it.
uint16_t row_colour565(int row) { return static_cast<uint16_t>(((row & 31) << 11) | ((10 + (row >> 5) * 20) << 5) | 7); }

int row_of_pixel(uint16_t p) {
  if (p == 0) return kNone;
  int r5 = p >> 11, g6 = (p >> 5) & 63, b5 = p & 31;
  if (b5 != 7 || (g6 != 10 && g6 != 30)) return kOther;
  return r5 + 32 * ((g6 - 10) / 20);
}

uint8_t expand(int v, int bits) { return static_cast<uint8_t>((v << (8 - bits)) | (v >> (2 * bits - 8))); }

std::string file_name_of(int row) {
  const ImageResource& res = charge_pictures[row];
  if (res.file_name != nullptr) return res.file_name;
  char name[128];
  snprintf(name, sizeof(name), res.name_pattern, "zh_cn");
  return name;
}

// What one frame showed: the pictures at the centre, above and below the
// middle.
struct Shown {
  int main, above, below;
  bool operator==(const Shown&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Shown& s) {
  return os << "{" << s.main << "," << s.above << "," << s.below << "}";
}

constexpr Shown kHeld{-100, -100, -100};  // the tick drew nothing

class ChargeAnimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetSettingsCache();
    make_framebuffer(root_, kW, kH);
    root_.mkdir("/system/lumo/res");
    for (int row = 0; row < PIC_COUNT; ++row) {
      uint16_t c = row_colour565(row);
      write_solid_png(root_.path("/system/lumo/res/" + file_name_of(row)), 10, 10,
                      expand(c >> 11, 5), expand((c >> 5) & 63, 6), expand(c & 31, 5));
    }
    set_battery({});
    resetLightsForTest();
    charge_anim_reset_for_test();
    ASSERT_EQ(graphics_open(), 0);
    messageQueueClear();
  }
  void TearDown() override {
    charge_anim_reset_for_test();
    graphics_close();
    resetLightsForTest();
    resetBatteryForTest();
    messageQueueClear();
  }

  struct Battery {
    const char* status = "Charging";
    int level = 50;
    const char* health = "Good";  // nullptr: no health file
    int ac_online = 1;
    int vbat = 4000;
    int vchg = 5000;
  };
  // Writes the power-supply files, discovers them afresh and reads them.
  void set_battery(const Battery& b) {
    root_.write("/sys/class/power_supply/ac/type", "Mains");
    root_.write("/sys/class/power_supply/ac/online", std::to_string(b.ac_online));
    const std::string bat = "/sys/class/power_supply/battery/";
    root_.write(bat + "type", "Battery");
    root_.write(bat + "status", b.status);
    root_.write(bat + "capacity", std::to_string(b.level));
    root_.write(bat + "batt_vol", std::to_string(b.vbat));
    root_.write(bat + "charge_now", std::to_string(b.vchg));
    if (b.health != nullptr) {
      root_.write(bat + "health", b.health);
    } else {
      root_.remove(bat + "health");
    }
    resetBatteryForTest();
    ASSERT_EQ(register_BatteryService(), 0);
    readBatteryState();
  }

  uint16_t pixel(int x, int y) const {
    return reinterpret_cast<const uint16_t*>(gr_mem_surface.data)[y * gr_mem_surface.stride + x];
  }
  // 10x10 pictures on a 160x400 screen: centre at y 195, above the middle at
  // 130, below at 341.
  Shown shown() const {
    return {row_of_pixel(pixel(kW / 2, kH / 2)), row_of_pixel(pixel(kW / 2, 135)),
            row_of_pixel(pixel(kW / 2, 345))};
  }
  // One tick; kHeld when nothing was presented.
  Shown tick() {
    unsigned page = gr_front_page;
    charge_anim_tick(&anim_);
    return gr_front_page == page ? kHeld : shown();
  }
  // The frame charge_anim_create draws (its hold result is not used).
  Shown first_frame() {
    draw_charge_screen(&anim_, getBatteryStatus(), getBatteryLevel());
    return shown();
  }
  int warnings() {
    int n = 0;
    Message m;
    while (messageQueueCount() > 0) {
      waitMessage(&m);
      if (m.code == MSG_CHARGE_WARNING) ++n;
    }
    return n;
  }

  lumo_test::DeviceRoot root_;
  ChargeAnimation anim_;
};

Shown frame(int f) { return {PIC_FRAME_0 + f, PIC_CHARGING, kNone}; }

TEST_F(ChargeAnimTest, LevelFrame) {
  const std::pair<int, int> cases[] = {{-5, 0}, {0, 0},   {1, 1},   {4, 1},   {5, 2},   {50, 13},
                                       {92, 23}, {93, 24}, {96, 24}, {97, 25}, {100, 25}, {101, -1}};
  for (auto [level, f] : cases) EXPECT_EQ(level_frame(level), f) << level;
}

TEST_F(ChargeAnimTest, ChargingCyclesFromTheLevelFrameToFull) {
  struct Case {
    int level, start;
  };
  for (Case c : {Case{50, 13}, Case{0, 0}}) {
    SCOPED_TRACE(c.level);
    charge_anim_reset_for_test();
    set_battery({.level = c.level});
    EXPECT_EQ(first_frame(), frame(c.start));
    std::vector<Shown> got, want;
    for (int f = c.start + 1; f <= 25; ++f) want.push_back(frame(f));
    want.push_back(frame(c.start));  // back at the level's frame, held
    want.push_back(kHeld);
    want.push_back(frame(c.start + 1));
    for (size_t i = 0; i < want.size(); ++i) got.push_back(tick());
    EXPECT_EQ(got, want);
  }
}

TEST_F(ChargeAnimTest, ChargingAtNinetyNineAndAHundredStaysOnTheLastFrame) {
  for (int level : {99, 100}) {
    SCOPED_TRACE(level);
    charge_anim_reset_for_test();
    set_battery({.level = level});
    EXPECT_EQ(first_frame(), frame(25));
    std::vector<Shown> want = {frame(25), kHeld, frame(25), kHeld};
    std::vector<Shown> got;
    for (size_t i = 0; i < want.size(); ++i) got.push_back(tick());
    EXPECT_EQ(got, want);
  }
}

TEST_F(ChargeAnimTest, FullLatchesUntilTheChargerGoesOffline) {
  set_battery({.status = "Full", .level = 100});
  EXPECT_EQ(first_frame(), (Shown{PIC_FULL, kNone, kNone}));

  set_battery({.status = "Charging", .level = 60});
  EXPECT_EQ(tick(), frame(25));  // latched: full frame, charging picture
  EXPECT_EQ(tick(), kHeld);
  EXPECT_EQ(full_latched.load(), 1);

  set_battery({.status = "Discharging", .level = 37, .ac_online = 0});
  std::vector<Shown> got;
  for (int i = 0; i < 4; ++i) got.push_back(tick());
  Shown unplugged{PIC_FRAME_0 + 10, kNone, PIC_UNPLUGGED};
  EXPECT_EQ(got, (std::vector<Shown>{unplugged, kHeld, unplugged, kHeld}));
  EXPECT_EQ(full_latched.load(), 0);
}

TEST_F(ChargeAnimTest, WarningLines) {
  struct Case {
    const char* name;
    Battery battery;
    int below;  // row drawn below the middle
    int main;
  };
  const Case cases[] = {
      {"all fine", {}, kNone, PIC_FRAME_0 + 13},
      {"battery 4499", {.vbat = 4499}, kNone, PIC_FRAME_0 + 13},
      {"battery 4500", {.vbat = 4500}, PIC_BATTERY_HIGH, PIC_FRAME_0 + 13},
      {"battery low shows nothing", {.vbat = 3000}, kNone, PIC_FRAME_0 + 13},
      {"charger 0", {.vchg = 0}, kNone, PIC_FRAME_0 + 13},
      {"charger 3499", {.vchg = 3499}, kNone, PIC_FRAME_0 + 13},
      {"charger 3500", {.vchg = 3500}, PIC_VOL_LOW, PIC_FRAME_0 + 13},
      {"charger 4300", {.vchg = 4300}, PIC_VOL_LOW, PIC_FRAME_0 + 13},
      {"charger 4301", {.vchg = 4301}, kNone, PIC_FRAME_0 + 13},
      {"charger 5699", {.vchg = 5699}, kNone, PIC_FRAME_0 + 13},
      {"charger 5700", {.vchg = 5700}, PIC_VOL_HIGH, PIC_FRAME_0 + 13},
      {"overheat wins over battery high", {.health = "Overheat", .vbat = 4600}, PIC_TEMP_HIGH,
       PIC_FRAME_0 + 13},
      {"cold", {.health = "Cold"}, PIC_TEMP_LOW, PIC_FRAME_0 + 13},
      {"battery high wins over charger", {.vbat = 4600, .vchg = 6000}, PIC_BATTERY_HIGH,
       PIC_FRAME_0 + 13},
      {"health unknown", {.health = "Unknown"}, PIC_BATTERY_UNTOUCH, PIC_UNKNOWN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    charge_anim_reset_for_test();
    set_battery(c.battery);
    messageQueueClear();
    ChargeAnimation anim;
    draw_charge_screen(&anim, getBatteryStatus(), getBatteryLevel());
    Shown s = shown();
    EXPECT_EQ(s.main, c.main);
    EXPECT_EQ(s.below, c.below);
    EXPECT_EQ(warnings(), c.below == kNone ? 0 : 1);
  }
}

TEST_F(ChargeAnimTest, HealthStateKeepsTheLastRecognisedHealth) {
  struct Step {
    const char* health;
    int below;
    int warnings;
  };
  // No health read yet: no line, but the warning goes out; Dead after Good
  // keeps Good; Unknown then shows its line every frame.
  const Step steps[] = {{nullptr, kNone, 1}, {nullptr, kNone, 1}, {"Good", kNone, 0},
                        {"Dead", kNone, 0},  {"Unknown", PIC_BATTERY_UNTOUCH, 1},
                        {"Unknown", PIC_BATTERY_UNTOUCH, 1}};
  for (const Step& step : steps) {
    SCOPED_TRACE(step.health == nullptr ? "none" : step.health);
    set_battery({.health = step.health});
    messageQueueClear();
    draw_charge_screen(&anim_, getBatteryStatus(), getBatteryLevel());
    EXPECT_EQ(shown().below, step.below);
    EXPECT_EQ(warnings(), step.warnings);
  }
}

TEST_F(ChargeAnimTest, ResyncWaitsForALitScreen) {
  EXPECT_EQ(first_frame(), frame(13));
  for (int f = 14; f <= 20; ++f) ASSERT_EQ(tick(), frame(f));
  resync_pending.store(1);
  ASSERT_EQ(getBacklightLevel(), 0);
  EXPECT_EQ(tick(), frame(21));  // dark: keeps going, resync still pending
  EXPECT_EQ(resync_pending.load(), 1);
  rampBacklightTo(51);
  EXPECT_EQ(tick(), frame(13));
  EXPECT_EQ(resync_pending.load(), 0);
  EXPECT_EQ(tick(), frame(14));
}

TEST_F(ChargeAnimTest, MissingPicturesAreLeftOutAndTriedAgain) {
  root_.remove("/system/lumo/res/boot_charger_13.png");
  root_.remove("/system/lumo/res/boot_charger_charging.png");
  EXPECT_EQ(first_frame(), (Shown{kNone, kNone, kNone}));
  EXPECT_TRUE(root_.log_contains("icon is null."));
  uint16_t c = row_colour565(PIC_FRAME_0 + 13);
  write_solid_png(root_.path("/system/lumo/res/boot_charger_13.png"), 10, 10, expand(c >> 11, 5),
                  expand((c >> 5) & 63, 6), expand(c & 31, 5));
  frame_index.store(FRAME_RESTART);
  hold_next_tick.store(0);
  EXPECT_EQ(tick(), (Shown{PIC_FRAME_0 + 13, kNone, kNone}));
}

TEST_F(ChargeAnimTest, CreateRunAndHide) {
  charge_anim_create();
  ChargeAnimation* anim = _Instance.load();
  ASSERT_NE(anim, nullptr);
  // The timer's thread draws from now on: look only under the display lock.
  auto front_page = [] {
    std::lock_guard<std::mutex> lock(display_lock());
    return gr_front_page;
  };
  {
    std::lock_guard<std::mutex> lock(display_lock());
    EXPECT_EQ(shown(), frame(13));  // the first frame is up at once
  }
  EXPECT_STREQ(anim->timer.name, "Charge Anim");
  charge_anim_create();  // exists: nothing new
  EXPECT_EQ(_Instance.load(), anim);

  unsigned page = front_page();
  EXPECT_TRUE(lumo_test::wait_until([&] { return front_page() != page; }, 3000));

  charge_anim_run(0);
  EXPECT_EQ(anim->timer.running.load(), 0);
  charge_anim_run(1);
  EXPECT_EQ(resync_pending.load(), 1);
  EXPECT_EQ(anim->timer.running.load(), 1);

  root_.clear_log();
  charge_anim_hide();
  EXPECT_EQ(_Instance.load(), nullptr);
  charge_anim_hide();
  auto texts = root_.log_texts('W');
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Hide charged ui."), 1);

  timer_animation(0);
  EXPECT_TRUE(root_.log_contains("timer_animation _Instance = null."));
}

// Ticks from another thread (as the timer's thread would run them) while the
// main thread creates and hides the animation over and over: with the
// sanitizers on, any tick touching a deleted object or drawing beside the
// first frame is reported.
TEST_F(ChargeAnimTest, HideWhileTicksRun) {
  std::atomic<bool> stop{false};
  std::atomic<int> ticks{0};
  std::thread ticker([&] {
    while (!stop.load()) {
      timer_animation(0);
      ticks.fetch_add(1);
    }
  });
  for (int i = 0; i < 30; ++i) {
    charge_anim_create();
    ASSERT_NE(_Instance.load(), nullptr);
    int seen = ticks.load();
    EXPECT_TRUE(lumo_test::wait_until([&] { return ticks.load() > seen + 2; }, 3000));
    charge_anim_hide();
    ASSERT_EQ(_Instance.load(), nullptr);
  }
  stop.store(true);
  ticker.join();
}

}  // namespace
