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

const char* const kNames[] = {"backlight", "keyboard", "buttons", "battery",
                              "notifications", "attention", "bluetooth", "wifi"};

std::string grey(int level) {
  char text[16];
  snprintf(text, sizeof(text), "ff%02x%02x%02x", level, level, level);
  return text;
}

std::vector<std::string> greys(std::initializer_list<int> levels) {
  std::vector<std::string> out;
  for (int level : levels) out.push_back(grey(level));
  return out;
}

class LightsTest : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kNames) root_.mkdir(std::string("/sys/class/leds/") + name);
    root_.write("/sys/power/state", "");
    resetLightsForTest();
    resetSettingsCache();
    messageQueueClear();
  }
  void TearDown() override { resetLightsForTest(); }

  std::vector<std::string> history(const char* name) const {
    std::vector<std::string> lines;
    std::istringstream in(root_.read(std::string("/sys/class/leds/") + name + "/history"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  std::vector<int32_t> messages() const {
    std::vector<int32_t> codes;
    while (messageQueueCount() > 0) {
      Message m = {};
      waitMessage(&m);
      codes.push_back(m.code);
    }
    return codes;
  }

  // Brings the ramp to `level` without a ramp: initLights with that
  // brightness. Forgets what that sent.
  void startAt(int level) {
    if (level == 0) return;
    root_.set_property("ro.lboot.brightness", std::to_string(level));
    resetSettingsCache();
    initLights();
    root_.remove("/sys/class/leds/backlight/history");
    root_.write("/sys/power/state", "");
  }

  // Waits until the backlight has received `n` levels and then a little
  // longer, to see that no further tick follows.
  void settle(size_t n) {
    EXPECT_TRUE(wait_until([&] { return history("backlight").size() >= n; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
  }

  DeviceRoot root_;
};

TEST_F(LightsTest, RampsSendExactLevelsAndAnnounceTheScreen) {
  std::vector<std::string> up_51, down_51;
  for (int level = 3; level <= 51; level += 3) up_51.push_back(grey(level));
  for (int level = 48; level >= 0; level -= 3) down_51.push_back(grey(level));
  std::vector<std::string> up_255;
  for (int level = 17; level <= 255; level += 17) up_255.push_back(grey(level));
  struct Case {
    const char* name;
    int from, to;
    std::vector<std::string> levels;
    std::vector<int32_t> messages;
    const char* screen;  // last screen state written
  };
  const Case cases[] = {
      {"0 to 51, step 3, 17 ticks", 0, 51, up_51, {MSG_SCREEN_ON}, "on"},
      {"0 to 255, step 17, 15 ticks", 0, 255, up_255, {MSG_SCREEN_ON}, "on"},
      {"51 to 0", 51, 0, down_51, {MSG_SCREEN_OFF}, "mem"},
      {"5 to 0 lands on the first tick", 5, 0, greys({0}), {MSG_SCREEN_OFF}, "mem"},
      {"51 to 60 lands on the first tick", 51, 60, greys({60}), {}, "on"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    resetLightsForTest();
    root_.remove("/sys/class/leds/backlight/history");
    startAt(c.from);
    rampBacklightTo(c.to);
    EXPECT_EQ(getBacklightLevel(), c.to & 0xff);  // at once, not at the end
    settle(c.levels.size());
    EXPECT_EQ(history("backlight"), c.levels);
    EXPECT_EQ(messages(), c.messages);
    EXPECT_EQ(root_.read("/sys/power/state"), c.screen);
  }
}

TEST_F(LightsTest, TheTargetAlreadySetIsNotRestarted) {
  startAt(51);
  rampBacklightTo(51);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(history("backlight").empty());
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(root_.read("/sys/power/state"), "");
}

TEST_F(LightsTest, ANewTargetRestartsFromTheLevelReached) {
  rampBacklightTo(255);
  ASSERT_TRUE(wait_until([&] { return history("backlight").size() >= 3; }, 5000));
  rampBacklightTo(0);
  EXPECT_TRUE(wait_until([&] { return root_.read("/sys/power/state") == "mem"; }, 5000));
  auto levels = history("backlight");
  ASSERT_GE(levels.size(), 4u);
  EXPECT_EQ(levels.back(), grey(0));
  size_t peak = 0;
  for (size_t i = 1; i < levels.size(); ++i) {
    if (levels[i] > levels[peak]) peak = i;
  }
  EXPECT_LT(levels[peak], grey(255));  // it never went all the way up
  for (size_t i = 1; i < levels.size(); ++i) {
    // Up in steps of 17 to the peak, then down without a jump back up.
    if (i <= peak) EXPECT_GT(levels[i], levels[i - 1]);
    else EXPECT_LT(levels[i], levels[i - 1]);
  }
  EXPECT_EQ(messages(), (std::vector<int32_t>{MSG_SCREEN_ON, MSG_SCREEN_OFF}));
}

TEST_F(LightsTest, InitLightsSetsEveryLightOnce) {
  initLights();  // default brightness 51
  EXPECT_EQ(history("backlight"), greys({51}));
  EXPECT_EQ(history("battery"), (std::vector<std::string>{"ffff0000"}));
  for (const char* name : {"keyboard", "buttons", "notifications", "attention", "bluetooth", "wifi"}) {
    EXPECT_EQ(history(name), greys({0})) << name;
  }
  EXPECT_EQ(root_.read("/sys/class/leds/backlight/color"), "ff333333");
  EXPECT_EQ(getBacklightLevel(), 51);
}

TEST_F(LightsTest, TheCacheKeepsRepeatedColoursFromTheModule) {
  setBatteryLed(0);  // the cache starts at 0: skipped
  EXPECT_FALSE(root_.exists("/sys/class/leds/battery/history"));
  setBatteryLed(kBatteryLedRed);
  setBatteryLed(kBatteryLedRed);
  setBatteryLed(kBatteryLedGreen);
  setBatteryLed(kBatteryLedGreen);
  setBatteryLed(0);
  EXPECT_EQ(history("battery"), (std::vector<std::string>{"ffff0000", "ff00ff00", "00000000"}));
  EXPECT_EQ(root_.read("/sys/class/leds/battery/color"), "00000000");

  setLightLevel(LIGHT_KEYBOARD, 256 + 51);  // only the low 8 bits count
  setLightLevel(LIGHT_KEYBOARD, 51);
  EXPECT_EQ(history("keyboard"), greys({51}));

  setLightColor(-1, kBatteryLedRed);  // no such light: dropped
  setLightColor(LIGHT_COUNT, kBatteryLedRed);
}

TEST_F(LightsTest, AMissingLightIsSkippedTheOthersWork) {
  root_.remove("/sys/class/leds/keyboard");
  initLights();
  EXPECT_FALSE(root_.exists("/sys/class/leds/keyboard/history"));
  EXPECT_EQ(history("buttons"), greys({0}));
}

TEST_F(LightsTest, WithoutTheLightsModuleRampsStillRunAndAnnounce) {
  DeviceRoot bare;  // no sys/class/leds at all
  bare.write("/sys/power/state", "");
  resetLightsForTest();
  initLights();
  rampBacklightTo(0);
  EXPECT_TRUE(wait_until([&] { return bare.read("/sys/power/state") == "mem"; }, 5000));
  EXPECT_EQ(messages(), (std::vector<int32_t>{MSG_SCREEN_OFF}));
  rampBacklightTo(51);
  std::vector<std::string> tables;
  for (const auto& t : bare.log_texts('W')) {
    if (t.rfind("Malloc", 0) == 0) tables.push_back(t);
  }
  // The table is made once and the module is not tried again.
  EXPECT_EQ(tables, (std::vector<std::string>{"Malloc 32 for Devices."}));
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
  // 77 is asked by nobody else, so both requests start a ramp; only the
  // end of the last one may switch the screen off.
  messageQueueClear();
  rampBacklightTo(77);
  rampBacklightTo(0);
  EXPECT_EQ(getBacklightLevel(), 0);
  EXPECT_TRUE(wait_until([&] { return root_.read("/sys/power/state") == "mem"; }, 5000));
  EXPECT_EQ(root_.read("/sys/class/leds/backlight/color"), "ff000000");
  size_t sent = history("backlight").size();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(history("backlight").size(), sent);  // the ramp has stopped
  auto codes = messages();
  ASSERT_FALSE(codes.empty());
  EXPECT_EQ(codes.back(), MSG_SCREEN_OFF);
}

}  // namespace
