// The charging screen frame by frame. Each picture is drawn in a colour of
// its own, so a pixel names the picture that painted it.
#include "ui/charge_anim.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "battery/battery.h"
#include "config/settings.h"
#include "queue/message_queue.h"
#include "lights/lights.h"
#include "tests/ui/ui_fixtures.h"
#include "ui/display_lock.h"
#include "ui/graphics.h"

namespace {

constexpr int kW = 160, kH = 400, kNone = -1, kOther = -2;

// Exact in RGB565: red5 = row % 32, green6 = 16 or 32, blue5 = 7.
lumo_test::PngSpec picture_png(int row) {
  return lumo_test::solid_png(10, 10, uint8_t((row % 32) << 3), uint8_t(64 + row / 32 * 64), 56);
}

int row_of(uint16_t p) {
  int g6 = (p >> 5) & 63;
  if (p == 0) return kNone;
  return (p & 31) == 7 && (g6 == 16 || g6 == 32) ? (p >> 11) + 32 * (g6 / 16 - 1) : kOther;
}

// The pictures at the centre, above and below the middle.
struct Shown {
  int main, above, below;
  bool operator==(const Shown&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Shown& s) {
  return os << "{" << s.main << "," << s.above << "," << s.below << "}";
}
constexpr Shown kHeld{-100, -100, -100};  // the tick presented nothing
Shown frame(int f) { return {PIC_FRAME_0 + f, PIC_CHARGING, kNone}; }

struct Battery {
  const char* status = "Charging";
  int level = 50;
  std::optional<std::string> health = "Good";  // none: no health file
  int ac_online = 1, vbat = 4000, vchg = 5000;
};

// The snapshot as the charging controller takes it.
ChargeScreenState controller_state() {
  return {getBatteryStatus(), getBatteryLevel(), getBatteryHealth(), getBatteryVoltage(), getChargerVoltage(),
          isChargerOnline(), getBacklightLevel() != 0};
}

class ChargeAnimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    charge_anim_set_source(controller_state);
    resetSettingsCache();
    lumo_test::make_screen(root_, kW, kH);
    for (int row = 0; row < PIC_COUNT; ++row) {
      const ImageResource& r = charge_pictures[row];
      char name[128];
      snprintf(name, sizeof(name), r.file_name != nullptr ? r.file_name : r.name_pattern, "zh_cn");
      ASSERT_TRUE(lumo_test::put_png(root_, std::string("/system/lumo/res/") + name, picture_png(row)));
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
  // Writes the power-supply files, discovers them afresh and reads them.
  void set_battery(const Battery& b) {
    root_.write("/sys/class/power_supply/ac/type", "Mains");
    root_.write("/sys/class/power_supply/battery/type", "Battery");
    if (!b.health) root_.remove("/sys/class/power_supply/battery/health");
    ASSERT_TRUE(root_.write_battery({.level = b.level, .voltage_mv = b.vbat, .charger_voltage_mv = b.vchg,
                                     .ac_online = b.ac_online, .status = b.status, .health = b.health}));
    resetBatteryForTest();
    ASSERT_EQ(register_BatteryService(), 0);
    readBatteryState();
  }
  // 10x10 pictures on 160x400: centre at y 195, above the middle at 130, below at 341.
  Shown shown() const {
    auto at = [](int y) { return row_of(reinterpret_cast<const uint16_t*>(gr_mem_surface.data)[y * kW + kW / 2]); };
    return {at(kH / 2), at(135), at(345)};
  }
  Shown tick() {
    unsigned page = gr_front_page;
    charge_anim_tick(&anim_);
    return gr_front_page == page ? kHeld : shown();
  }
  Shown draw() {
    draw_charge_screen(&anim_, getBatteryStatus(), getBatteryLevel());
    return shown();
  }
  std::vector<Shown> ticks(size_t n) {
    std::vector<Shown> got;
    while (got.size() < n) got.push_back(tick());
    return got;
  }
  int warnings() {
    int n = 0;
    for (Message m; messageQueueCount() > 0;) n += (waitMessage(&m), m.code == MSG_CHARGE_WARNING);
    return n;
  }
  lumo_test::DeviceRoot root_;
  ChargeAnimation anim_;
};

TEST_F(ChargeAnimTest, LevelFrame) {
  const std::pair<int, int> cases[] = {{-5, 0}, {0, 0},   {1, 1},   {4, 1},   {5, 2},    {50, 13},
                                       {92, 23}, {93, 24}, {96, 24}, {97, 25}, {100, 25}, {101, -1}};
  for (auto [level, f] : cases) EXPECT_EQ(level_frame(level), f) << level;
}

TEST_F(ChargeAnimTest, ChargingCyclesFromTheLevelFrameToFullThenHolds) {
  for (auto [level, start] : {std::pair{50, 13}, {0, 0}, {99, 25}, {100, 25}}) {
    SCOPED_TRACE(level);
    charge_anim_reset_for_test();
    set_battery({.level = level});
    EXPECT_EQ(draw(), frame(start));
    std::vector<Shown> want;
    for (int f = start + 1; f <= 25; ++f) want.push_back(frame(f));
    want.insert(want.end(), {frame(start), kHeld, frame(std::min(start + 1, 25))});
    EXPECT_EQ(ticks(want.size()), want);
  }
}

TEST_F(ChargeAnimTest, FullLatchesUntilTheChargerGoesOffline) {
  set_battery({.status = "Full", .level = 100});
  EXPECT_EQ(draw(), (Shown{PIC_FULL, kNone, kNone}));
  set_battery({.status = "Charging", .level = 60});
  EXPECT_EQ(ticks(2), (std::vector<Shown>{frame(25), kHeld}));  // still latched
  set_battery({.status = "Discharging", .level = 37, .ac_online = 0});
  Shown unplugged{PIC_FRAME_0 + 10, kNone, PIC_UNPLUGGED};
  EXPECT_EQ(ticks(4), (std::vector<Shown>{unplugged, kHeld, unplugged, kHeld}));
  EXPECT_EQ(full_latched.load(), 0);
}

// The line below the middle (at most one) with its warning message, and the
// main picture. Rows marked `fresh` start from a new animation, the others go
// on from the row before: the last recognised health is kept (Dead after Good
// keeps Good), and with none read yet there is no line but the warning goes out.
TEST_F(ChargeAnimTest, AtMostOneWarningLineAndItsMessage) {
  const int f13 = PIC_FRAME_0 + 13, kAny = -3;  // kAny: the frame a continued animation reached
  const struct { Battery battery; int below, main, warned; bool fresh; } cases[] = {
      {{}, kNone, f13, 0, true}, {{.vbat = 4499}, kNone, f13, 0, true}, {{.vbat = 4500}, PIC_BATTERY_HIGH, f13, 1, true},
      {{.vbat = 3000}, kNone, f13, 0, true}, {{.vchg = 0}, kNone, f13, 0, true}, {{.vchg = 3499}, kNone, f13, 0, true},
      {{.vchg = 3500}, PIC_VOL_LOW, f13, 1, true}, {{.vchg = 4300}, PIC_VOL_LOW, f13, 1, true},
      {{.vchg = 4301}, kNone, f13, 0, true}, {{.vchg = 5699}, kNone, f13, 0, true},
      {{.vchg = 5700}, PIC_VOL_HIGH, f13, 1, true}, {{.health = "Overheat", .vbat = 4600}, PIC_TEMP_HIGH, f13, 1, true},
      {{.health = "Cold"}, PIC_TEMP_LOW, f13, 1, true}, {{.vbat = 4600, .vchg = 6000}, PIC_BATTERY_HIGH, f13, 1, true},
      {{.health = "Unknown"}, PIC_BATTERY_UNTOUCH, PIC_UNKNOWN, 1, true},
      {{.health = {}}, kNone, f13, 1, true}, {{.health = {}}, kNone, kAny, 1, false},
      {{.health = "Good"}, kNone, kAny, 0, false}, {{.health = "Dead"}, kNone, kAny, 0, false},
      {{.health = "Unknown"}, PIC_BATTERY_UNTOUCH, PIC_UNKNOWN, 1, false},
      {{.health = "Unknown"}, PIC_BATTERY_UNTOUCH, PIC_UNKNOWN, 1, false},
  };
  auto anim = std::make_unique<ChargeAnimation>();
  for (size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(i);
    if (c.fresh) {
      charge_anim_reset_for_test();
      anim = std::make_unique<ChargeAnimation>();
    }
    set_battery(c.battery);
    messageQueueClear();
    draw_charge_screen(anim.get(), getBatteryStatus(), getBatteryLevel());
    const Shown got = shown();
    EXPECT_EQ(got.below, c.below);
    if (c.main != kAny) {
      EXPECT_EQ(got.main, c.main);
    }
    EXPECT_EQ(warnings(), c.warned);
  }
}

TEST_F(ChargeAnimTest, ResyncWaitsForALitScreen) {
  EXPECT_EQ(draw(), frame(13));
  resync_pending.store(1);
  ASSERT_EQ(getBacklightLevel(), 0);
  EXPECT_EQ(tick(), frame(14));  // dark: goes on, resync still pending
  EXPECT_EQ(resync_pending.load(), 1);
  rampBacklightTo(51);
  EXPECT_EQ(ticks(2), (std::vector<Shown>{frame(13), frame(14)}));
  EXPECT_EQ(resync_pending.load(), 0);
}

TEST_F(ChargeAnimTest, CreateRunAndHide) {
  charge_anim_create();
  ChargeAnimation* anim = _Instance.load();
  ASSERT_NE(anim, nullptr);
  // The timer's thread draws from now on: look only under the display lock.
  auto locked = [this] {
    std::lock_guard<std::mutex> lock(display_lock());
    return std::pair{gr_front_page, shown()};
  };
  // Plain variables, not a structured binding: clang 14 cannot capture one.
  const auto at_start = locked();
  const auto page = at_start.first;
  EXPECT_EQ(at_start.second, frame(13));  // up at once
  EXPECT_STREQ(anim->timer.name, "Charge Anim");
  charge_anim_create();  // exists: nothing new
  EXPECT_EQ(_Instance.load(), anim);
  EXPECT_TRUE(lumo_test::wait_until([&] { return locked().first != page; }, 3000));
  charge_anim_run(0);
  EXPECT_EQ(anim->timer.running.load(), 0);
  charge_anim_run(1);
  EXPECT_TRUE(resync_pending.load() == 1 && anim->timer.running.load() == 1);
  root_.clear_log();
  charge_anim_hide();
  charge_anim_hide();
  EXPECT_EQ(_Instance.load(), nullptr);
  timer_animation(0);
  EXPECT_EQ(root_.log_count("Hide charged ui.", 'W'), 1);
  EXPECT_TRUE(root_.log_contains("timer_animation _Instance = null."));
}

// Ticks from another thread, as the timer's would, while the main thread
// creates and hides: the sanitizers report any tick touching a deleted object
// or drawing beside the first frame.
TEST_F(ChargeAnimTest, HideWhileTicksRun) {
  std::atomic<bool> stop{false};
  std::atomic<int> ticks{0};
  std::thread ticker([&] {
    for (; !stop.load(); ticks.fetch_add(1)) timer_animation(0);
  });
  for (int i = 0; i < 30; ++i) {
    charge_anim_create();
    EXPECT_NE(_Instance.load(), nullptr);
    int seen = ticks.load();
    EXPECT_TRUE(lumo_test::wait_until([&] { return ticks.load() > seen + 2; }, 3000));
    charge_anim_hide();
    EXPECT_EQ(_Instance.load(), nullptr);
  }
  stop.store(true);
  ticker.join();
}

}  // namespace
