// Lights: the exact backlight levels a ramp sends, its screen messages, the
// per-light cache, a missing lights module, and ramps requested from several
// threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "core/message_queue.h"
#include "lights/lights.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::wait_until;
using Lines = std::vector<std::string>;

std::string grey(int level) {
  char text[16];
  snprintf(text, sizeof(text), "ff%02x%02x%02x", level, level, level);
  return text;
}

Lines greys(int from, int to, int step) {
  Lines out;
  for (int level = from; step > 0 ? level <= to : level >= to; level += step) out.push_back(grey(level));
  return out;
}

std::vector<int32_t> takeMessages() {
  std::vector<int32_t> codes;
  for (Message m = {}; messageQueueCount() > 0;) codes.push_back(waitMessage(&m)->code);
  return codes;
}

class LightsTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"backlight", "keyboard", "buttons", "battery", "notifications", "attention",
                             "bluetooth", "wifi"}) {
      root_.mkdir(std::string("/sys/class/leds/") + name);
    }
    reset();
  }
  void TearDown() override { resetLightsForTest(); }

  void reset() {
    resetLightsForTest();
    resetSettingsCache();
    messageQueueClear();
    root_.remove("/sys/class/leds/backlight/history");
    root_.write("/sys/power/state", "");
  }
  Lines history(const char* name) const {
    Lines lines;
    std::istringstream in(root_.read(std::string("/sys/class/leds/") + name + "/history"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The backlight at `level` without a ramp (initLights with that brightness).
  void startAt(int level) {
    root_.set_property("ro.lboot.brightness", std::to_string(level));
    resetSettingsCache();
    initLights();
    root_.remove("/sys/class/leds/backlight/history");
  }

  DeviceRoot root_;
};

TEST_F(LightsTest, RampsSendExactLevelsAndAnnounceTheScreen) {
  struct Case {
    int from, to;
    Lines levels;
    std::vector<int32_t> messages;
    const char* screen;  // last screen state written
  };
  const Case cases[] = {
      {0, 51, greys(3, 51, 3), {MSG_SCREEN_ON}, "on"},  // step 3: 17 ticks
      {0, 255, greys(17, 255, 17), {MSG_SCREEN_ON}, "on"},
      {51, 0, greys(48, 0, -3), {MSG_SCREEN_OFF}, "mem"},
      {5, 0, {grey(0)}, {MSG_SCREEN_OFF}, "mem"},  // step 0: lands on the first tick
      {51, 60, {grey(60)}, {}, "on"},
      {51, 51, {}, {}, ""},  // the target already set: nothing at all
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.from) + " to " + std::to_string(c.to));
    reset();
    if (c.from != 0) startAt(c.from);
    rampBacklightTo(c.to);
    EXPECT_EQ(getBacklightLevel(), c.to);  // at once, not at the end
    EXPECT_TRUE(wait_until([&] { return history("backlight").size() >= c.levels.size(); }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));  // no tick follows
    EXPECT_EQ(history("backlight"), c.levels);
    EXPECT_EQ(takeMessages(), c.messages);
    EXPECT_EQ(root_.read("/sys/power/state"), c.screen);
  }
}

TEST_F(LightsTest, ANewTargetRestartsFromTheLevelReached) {
  rampBacklightTo(255);
  ASSERT_TRUE(wait_until([&] { return history("backlight").size() >= 3; }, 5000));
  rampBacklightTo(0);
  EXPECT_TRUE(wait_until([&] { return root_.read("/sys/power/state") == "mem"; }, 5000));
  Lines levels = history("backlight");
  size_t peak = std::max_element(levels.begin(), levels.end()) - levels.begin();
  ASSERT_GE(levels.size(), 4u);
  EXPECT_LT(levels[peak], grey(255));
  EXPECT_EQ(levels.back(), grey(0));
  for (size_t i = 1; i < levels.size(); ++i) {  // up to the peak, then down without a jump
    EXPECT_EQ(levels[i] > levels[i - 1], i <= peak) << i;
  }
  EXPECT_EQ(takeMessages(), (std::vector<int32_t>{MSG_SCREEN_ON, MSG_SCREEN_OFF}));
}

TEST_F(LightsTest, InitLightsAndTheCache) {
  root_.remove("/sys/class/leds/keyboard");  // a light that does not open is skipped
  setBatteryLed(0);                          // the cache starts at 0: skipped
  EXPECT_FALSE(root_.exists("/sys/class/leds/battery/history"));
  initLights();  // default brightness 51
  EXPECT_EQ(history("backlight"), Lines{grey(51)});
  EXPECT_EQ(root_.read("/sys/class/leds/backlight/color"), "ff333333");
  for (const char* name : {"buttons", "notifications", "attention", "bluetooth", "wifi"}) {
    EXPECT_EQ(history(name), Lines{grey(0)}) << name;
  }
  EXPECT_FALSE(root_.exists("/sys/class/leds/keyboard/history"));
  setBatteryLed(kBatteryLedRed);
  setBatteryLed(kBatteryLedGreen);
  setBatteryLed(kBatteryLedGreen);
  setBatteryLed(0);
  EXPECT_EQ(history("battery"), (Lines{"ffff0000", "ff00ff00", "00000000"}));
  setLightLevel(LIGHT_BACKLIGHT, 256 + 51);  // only the low 8 bits count: unchanged
  EXPECT_EQ(history("backlight").size(), 1u);
  setLightColor(-1, kBatteryLedRed);  // no such light: dropped
  setLightColor(LIGHT_COUNT, kBatteryLedRed);
}

TEST_F(LightsTest, WithoutTheLightsModuleRampsStillRunAndAnnounce) {
  DeviceRoot bare;  // no sys/class/leds at all
  bare.write("/sys/power/state", "");
  initLights();
  rampBacklightTo(0);
  EXPECT_TRUE(wait_until([&] { return bare.read("/sys/power/state") == "mem"; }, 5000));
  EXPECT_EQ(takeMessages(), std::vector<int32_t>{MSG_SCREEN_OFF});
  setBatteryLed(kBatteryLedRed);
  // The table is made once and the module is not tried again.
  EXPECT_EQ(bare.log_texts('W'), Lines{"Malloc 32 for Devices."});
  resetLightsForTest();
}

// The main thread and the "Lights" timer thread request ramps while the
// "Brightness Anim" thread ticks: the last request must still run to its end.
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
  messageQueueClear();
  rampBacklightTo(77);  // asked by nobody else: both requests start a ramp
  rampBacklightTo(0);
  EXPECT_TRUE(wait_until([&] { return root_.read("/sys/power/state") == "mem"; }, 5000));
  EXPECT_EQ(root_.read("/sys/class/leds/backlight/color"), "ff000000");
  size_t sent = history("backlight").size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(history("backlight").size(), sent);  // the ramp has stopped
  auto codes = takeMessages();
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back(), MSG_SCREEN_OFF);
}

}  // namespace
