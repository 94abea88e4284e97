// Lights: the exact backlight levels a ramp sends, its screen messages, the
// per-light cache, a missing lights module, ramps asked from several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "config/settings.h"
#include "queue/message_queue.h"
#include "lights/lights.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::wait_until;
using Codes = std::vector<int32_t>;

const char* const kLights[LIGHT_COUNT] = {"backlight", "keyboard",  "buttons",   "battery",
                                          "notifications", "attention", "bluetooth", "wifi"};

// History lines of the grey levels from `from` to `to` (inclusive) in `step`s.
std::string greys(int from, int to, int step) {
  std::string out;
  char line[32];  // room for any int, so the compiler can see nothing is cut
  for (int v = from; step > 0 ? v <= to : v >= to; v += step) {
    snprintf(line, sizeof(line), "ff%02x%02x%02x\n", v, v, v);
    out += line;
  }
  return out;
}
std::string grey(int level) { return greys(level, level, 1); }
Codes takeMessages() {
  Codes codes;
  for (Message m = {}; messageQueueCount() > 0;) codes.push_back(waitMessage(&m)->code);
  return codes;
}

class LightsTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kLights) root_.mkdir(std::string("/sys/class/leds/") + name);
    startAt(0);
  }
  void TearDown() override { resetLightsForTest(); }
  // No ramp under way, the backlight lit at `level` by initLights (0: never
  // lit), no backlight history yet.
  void startAt(int level) {
    resetLightsForTest();
    if (level != 0) root_.set_property("ro.lboot.brightness", std::to_string(level));
    resetSettingsCache();
    if (level != 0) initLights();
    messageQueueClear();
    root_.remove("/sys/class/leds/backlight/history");
    root_.write("/sys/power/state", "");
  }
  std::string history(const std::string& name) const { return root_.read("/sys/class/leds/" + name + "/history"); }
  bool screenOff() const { return wait_until([&] { return root_.read("/sys/power/state") == "mem"; }, 5000); }
  lumo_test::DeviceRoot root_;
};

TEST_F(LightsTest, RampsSendExactLevelsAndAnnounceTheScreen) {
  struct Case { int from, to; std::string levels; Codes messages; const char* screen; };  // screen: last written
  const Case cases[] = {
      {0, 51, greys(3, 51, 3), {MSG_SCREEN_ON}, "on"},  // step 3: 17 ticks
      {0, 255, greys(17, 255, 17), {MSG_SCREEN_ON}, "on"},
      {51, 0, greys(48, 0, -3), {MSG_SCREEN_OFF}, "mem"},
      {5, 0, grey(0), {MSG_SCREEN_OFF}, "mem"},  // step 0: lands on the first tick
      {51, 60, grey(60), {}, "on"},
      {51, 51, "", {}, ""},  // the target already set: nothing at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " to " + std::to_string(c.to));
    startAt(c.from);
    rampBacklightTo(c.to);
    EXPECT_EQ(getBacklightLevel(), c.to);  // at once, not at the end
    EXPECT_TRUE(wait_until([&] { return history("backlight").size() >= c.levels.size(); }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));  // no tick follows
    EXPECT_EQ(history("backlight"), c.levels);
    EXPECT_EQ(takeMessages(), c.messages);
    EXPECT_EQ(root_.read("/sys/power/state"), c.screen);
  }
}

// Turned back mid-ramp: the way down starts from the level reached, in steps
// of a fifteenth of it, and ends exactly at 0.
TEST_F(LightsTest, ANewTargetRestartsFromTheLevelReached) {
  rampBacklightTo(255);
  ASSERT_TRUE(wait_until([&] { return history("backlight").size() >= 3 * 9; }, 5000));
  rampBacklightTo(0);
  ASSERT_TRUE(screenOff());
  std::string levels = history("backlight"), peak;
  for (size_t at = 0; at < levels.size(); at += 9) peak = std::max(peak, levels.substr(at, 9));
  ASSERT_LT(peak, grey(255));
  int p = std::stoi(peak.substr(6), nullptr, 16), step = -(p / 15);
  EXPECT_EQ(levels, greys(17, p, 17) + greys(p + step, 1, step) + grey(0));
  EXPECT_EQ(takeMessages(), (Codes{MSG_SCREEN_ON, MSG_SCREEN_OFF}));
}

TEST_F(LightsTest, InitLightsAndTheCache) {
  root_.remove("/sys/class/leds/keyboard");  // a light that does not open is skipped
  setBatteryLed(0);                          // the cache starts at 0: not sent
  initLights();                              // default brightness 51
  const std::string sent[LIGHT_COUNT] = {grey(51), "", grey(0), "ffff0000\n", grey(0), grey(0), grey(0), grey(0)};
  for (int i = 0; i < LIGHT_COUNT; ++i) EXPECT_EQ(history(kLights[i]), sent[i]) << kLights[i];
  setBatteryLed(kBatteryLedGreen);
  setBatteryLed(kBatteryLedGreen);
  setBatteryLed(0);
  EXPECT_EQ(history("battery"), "ffff0000\nff00ff00\n00000000\n");
  setLightLevel(LIGHT_BACKLIGHT, 256 + 51);  // only the low 8 bits count: unchanged
  setLightColor(-1, kBatteryLedRed);         // no such lights: dropped
  setLightColor(LIGHT_COUNT, kBatteryLedRed);
  EXPECT_EQ(history("backlight"), grey(51));
}

TEST_F(LightsTest, WithoutTheLightsModuleRampsStillRunAndAnnounce) {
  lumo_test::DeviceRoot bare;  // no sys/class/leds at all
  bare.write("/sys/power/state", "");
  initLights();
  rampBacklightTo(0);
  EXPECT_TRUE(wait_until([&] { return bare.read("/sys/power/state") == "mem"; }, 5000));
  EXPECT_EQ(takeMessages(), Codes{MSG_SCREEN_OFF});
  setBatteryLed(kBatteryLedRed);
  EXPECT_EQ(bare.log_texts('W'), std::vector<std::string>{"Malloc 32 for Devices."});  // once; no second try
  resetLightsForTest();
}

// The main thread and the "Lights" timer thread ask for ramps while the
// "Brightness Anim" thread ticks: the last request still runs to its end.
TEST_F(LightsTest, RampsRequestedFromSeveralThreadsEndWhereTheLastOneAsked) {
  std::atomic<bool> stop{false};
  auto requester = [&](int lit) {
    for (int i = 0; !stop.load(); ++i) {
      rampBacklightTo(i % 2 == 0 ? lit : 0);
      setBatteryLed(i % 2 == 0 ? kBatteryLedRed : kBatteryLedGreen);
      std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));
    }
  };
  std::thread a(requester, 51), b(requester, 200);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  stop.store(true);
  a.join();
  b.join();
  rampBacklightTo(77);  // asked by nobody else: both requests start a ramp
  rampBacklightTo(0);
  ASSERT_TRUE(screenOff());
  size_t sent = history("backlight").size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(history("backlight").size(), sent);  // the ramp has stopped
  EXPECT_EQ(root_.read("/sys/class/leds/backlight/color"), "ff000000");
  Codes codes = takeMessages();
  EXPECT_EQ(codes.empty() ? -1 : codes.back(), MSG_SCREEN_OFF);
}

}  // namespace
