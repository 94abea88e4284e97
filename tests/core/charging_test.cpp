// The charging controller driven through messages, in-process: key rules,
// screen time-out, wake locks, battery LED, warnings and the message table.
#include <gtest/gtest.h>

#include "battery/battery.h"
#include "config/settings.h"
#include "core/charging.h"
#include "lights/lights.h"
#include "tests/support/device_root.h"
#include "ui/charge_anim.h"
#include "ui/ui.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::wait_until;

int handle(int32_t code, int32_t arg1 = 0, int32_t arg2 = 0) { return handleMessage(Message{code, arg1, arg2}); }

// A phone laid out with `options`, its settings and battery read afresh, the controller reset.
void freshPhone(const DeviceRoot& root, const std::vector<std::string>& options = {}) {
  root.make_phone(options);
  resetSettingsCache();
  resetBatteryForTest();
  register_BatteryService();
  readBatteryState();
  resetLightsForTest();
  resetChargingForTest();
}

// Messages queued before charging set-up find no "Lights" timer: they must
// neither start nor stop it. (First in this file, so that it runs before any
// set-up of this process created the timer.)
TEST(ChargingBeforeSetUp, EarlyMessagesLeaveLightsAlone) {
  DeviceRoot root;
  freshPhone(root);
  root.set_charger("ac", false);
  EXPECT_EQ(handle(MSG_KEY_DOWN, 114, 1), 1);
  readBatteryState();
  EXPECT_EQ(handle(MSG_BATTERY, 0, 50), 1);
  EXPECT_EQ(handle(MSG_CHARGE_WARNING), 1);
  for (const auto& text : root.log_texts()) EXPECT_EQ(text.find("timerStart"), std::string::npos) << text;
  resetLightsForTest();
  resetChargingForTest();
}

class Charging : public ::testing::Test {
 protected:
  void SetUp() override {
    // Long enough that a slow (sanitizer) run still acts while the screen is
    // lit, short enough to watch it time out.
    freshPhone(root, {"--prop", "ro.lboot.light.timeout=1000", "--prop", "ro.lboot.uncharge.light.tmr=1000"});
    messageQueueClear();
    ASSERT_EQ(handle(MSG_CHARGE_START), 1);
    ASSERT_TRUE(wait_until([this] { return backlight() == "ff333333"; }));
  }
  void TearDown() override {
    charge_anim_hide();
    ui_stop();
    resetChargingForTest();
    resetLightsForTest();
    messageQueueClear();
  }

  std::string backlight() const { return root.read("/sys/class/leds/backlight/color").substr(0, 8); }
  int count(const std::string& text) const { return root.log_count(text); }

  DeviceRoot root;
};

TEST_F(Charging, KeysDoNothingWithoutACharger) {
  root.set_charger("ac", false);
  readBatteryState();
  root.clear_log();
  EXPECT_EQ(handle(MSG_KEY_DOWN, 107, 1), 1);
  EXPECT_EQ(handle(MSG_KEY_UP, 107, 0), 1);
  EXPECT_EQ(handle(MSG_KEY_DOWN, 116, 1), 1);
  for (auto [text, times] : {std::pair{" Keydown 107, bright=51", 1}, {" Keyup 107, bright=51", 1},
                             {" Keydown 116, bright=51", 1}, {"Acquire Lumo.Boot.", 0},
                             {" LumoBoot -> STARTUP_PWRKEY.", 0}}) {
    EXPECT_EQ(count(text), times) << text;
  }
}

TEST_F(Charging, WarningKeepsTheScreenLitFor1500Ms) {
  ASSERT_TRUE(wait_until([] { return getBacklightLevel() == 0; }, 6000));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(handle(MSG_CHARGE_WARNING), 1);
  EXPECT_EQ(getBacklightLevel(), 51);
  EXPECT_TRUE(wait_until([] { return getBacklightLevel() == 0; }, 6000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
}

TEST_F(Charging, UnhandledCodesAreLogged) {
  EXPECT_EQ(handle(0x99), 1);
  EXPECT_EQ(count(" No process 153 message"), 1);
  EXPECT_EQ(handle(MSG_TIMER, 7), 1);
  EXPECT_EQ(count(" MSG_TIMER : 7 no process."), 1);
}

// Refused after the CPU policy for the boot was set; the alarm's refusal names
// its mode. (The power key's refusal lines: scenario low_voltage.)
TEST_F(Charging, PowerKeyWithLowVoltageIsRefused) {
  root.write_battery({.voltage_mv = 2950});
  readBatteryState();
  EXPECT_EQ(handle(MSG_KEY_DOWN, 116, 1), 1);
  EXPECT_EQ(root.read("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), std::string("performance\0", 12));
  EXPECT_EQ(handle(MSG_ALARM), 1);
  EXPECT_EQ(count(" donot start android 4."), 1);
}

}  // namespace
