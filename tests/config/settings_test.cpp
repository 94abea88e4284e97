// Settings: defaults, caching, texts built from properties, the bounded
// set-and-verify writers; the startup source, the mode kept for this boot and
// the reboot record.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "config/startup.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::wait_until;

class Settings : public ::testing::Test {
 protected:
  void SetUp() override { resetSettingsCache(); }
  void TearDown() override { resetSettingsCache(); }
  DeviceRoot root;
};
using Startup = Settings;

// The power-on voltage is stored out of range: "never boot on battery" written
// as the largest unsigned number must not wrap to -1 and boot at any voltage
// (the reader's whole range is pinned in properties_test.cpp). The default
// brightness and boot logo are the stories' (backlight 51, the logo shown).
TEST_F(Settings, DefaultsWithNoPropertiesOrOutOfRange) {
  root.set_property("ro.lboot.vol.poweron", "4294967295");
  EXPECT_EQ(getLightTimeout(), 8000);
  EXPECT_EQ(getUnchargeLightTimer(), 750);
  EXPECT_EQ(getVibratorTimeout(), 150);
  EXPECT_EQ(getPowerOnVoltage(), 3000);
  EXPECT_EQ(getShowVoltage(), 5000);
  EXPECT_EQ(isForceEntry(), 0);
  EXPECT_STREQ(getLogoName(), "/system/lumo/res/zelt_logo.png");  // the resource folder and the name
  EXPECT_STREQ(getLanguage(), "zh_cn");
  EXPECT_EQ(getLumoPowerStartup(), -1);
  EXPECT_EQ(getPowerAlarmTime(), 0);
  EXPECT_TRUE(root.log_contains("Lumo boot force entry = 0."));
  EXPECT_TRUE(root.log_contains("System language zh_cn"));
  EXPECT_TRUE(root.log_contains("Malloc 32 for logo name."));
}

TEST_F(Settings, CachedValuesKeepTheirFirstReading) {
  root.set_property("ro.lboot.brightness", "100");
  EXPECT_EQ(getBrightness(), 100);
  root.set_property("ro.lboot.brightness", "7");
  EXPECT_EQ(getBrightness(), 100);
  // -1 means "not read yet", so such a value is read on every call.
  root.set_property("ro.lboot.light.timeout", "-1");
  EXPECT_EQ(getLightTimeout(), -1);
  root.set_property("ro.lboot.light.timeout", "900");
  EXPECT_EQ(getLightTimeout(), 900);
}

// Texts joined from two properties (the language in lower case), bounded when both are long.
TEST_F(Settings, TextsFromTwoPropertiesAreJoinedAndBounded) {
  const struct { const char *first, *second; const char* (*get)(); std::string a, b, expected; } cases[] = {
      {"persist.sys.language", "persist.sys.country", getLanguage, std::string(91, 'L'), std::string(91, 'C'),
       std::string(91, 'l') + "_" + std::string(35, 'c')},  // 127 characters
      {"ro.lboot.res.path", "ro.lboot.logo.name", getLogoName, std::string(90, 'd') + "/", std::string(91, 'n'),
       std::string(90, 'd') + "/" + std::string(91, 'n')},
  };
  for (const auto& c : cases) {
    resetSettingsCache();
    root.set_property(c.first, c.a);
    root.set_property(c.second, c.b);
    EXPECT_EQ(std::string(c.get()), c.expected) << c.a.substr(0, 8);
  }
}

// Test mode only for "3"; the clock compensated when the value begins with "true". Read on every call.
TEST_F(Settings, WordsThatSwitchAMode) {
  EXPECT_EQ(isTimeCompensated(), 0);
  const struct { const char* key; int (*get)(); std::vector<std::pair<std::string, int>> values; } cases[] = {
      {"persist.sys.lumo.test.mode", isTestMode, {{"", 0}, {"1", 0}, {"2", 0}, {"4", 0}, {"3", 1}}},
      {"sys.time.compensated", isTimeCompensated,
       {{"false", 0}, {"true", 1}, {"trueish", 1}, {"tru", 0}, {"TRUE", 0}, {"true" + std::string(87, 'x'), 1}}},
  };
  for (const auto& c : cases) {
    for (const auto& [value, expected] : c.values) {
      root.set_property(c.key, value);
      EXPECT_EQ(c.get(), expected) << c.key << " " << value;
    }
  }
}

TEST_F(Settings, SetAndVerifyWritesOnceWhenAlreadyStored) {
  root.set_property("zelt.lumopower.startup", "2");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(setLumoPowerStartup(2), 0);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(ms.count(), 90);
  EXPECT_LT(ms.count(), 1000);
  EXPECT_TRUE(root.log_contains("Set zelt.lumopower.startup = 2"));
}

TEST_F(Settings, BootSignalKeepsTryingUntilTheStoreAccepts) {
  // A directory where the key's file belongs: the store refuses every write.
  root.mkdir("/dev/__properties__/sys.boot.android");
  auto result = std::make_shared<std::atomic<int>>(-2);
  std::thread([result] { *result = signalBootAndroidEvery(1); }).detach();
  auto refusals = [this] {
    std::vector<std::string> lines;
    for (const auto& text : root.log_texts('E')) {
      if (text.rfind("Set sys.boot.android refused", 0) == 0) lines.push_back(text);
    }
    return lines;
  };
  ASSERT_TRUE(wait_until([&] { return refusals().size() >= 2; }, 20000));
  EXPECT_EQ(result->load(), -2);  // still trying
  root.remove("/dev/__properties__/sys.boot.android");
  ASSERT_TRUE(wait_until([&] { return result->load() == 0; }, 20000));
  EXPECT_EQ(root.property("sys.boot.android"), "1");
  std::vector<std::string> lines = refusals();
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i], "Set sys.boot.android refused " + std::to_string(30 * (i + 1)) + " times, trying again.");
  }
}

TEST_F(Settings, MarkRunningGivesUpWhenRefused) {
  // A read-only key already holding 0 refuses every write.
  root.set_property("ro.lumoboot.running", "0");
  EXPECT_EQ(markLumoBootRunning(), -1);
  EXPECT_EQ(root.property("ro.lumoboot.running"), "0");
  EXPECT_TRUE(root.log_contains("Set ro.lumoboot.running refused 50 times, giving up."));
}

TEST_F(Startup, SourceTable) {
  struct {
    const char* app_boot;  // nullptr: file missing
    const char* startup;   // nullptr: file missing
    int32_t expected;
  } cases[] = {
      {"reboot\n", "STARTMODE_CHGINS", 1},   {"rebooted", "STARTMODE_CHGINS", 2},
      {nullptr, "STARTMODE_CHGINS", 2},      {nullptr, "STARTMODE_EXT0", 2},
      {nullptr, "STARTMODE_USBINS\n", 2},    {nullptr, "2", 2},
      {nullptr, "STARTMODE_CABLE", 2},       {nullptr, "charger", 2},
      {nullptr, "STARTMODE_ALARM", 4},       {nullptr, "1", 4},
      {nullptr, "charge_rtc", 1},            {nullptr, "Charger", 1},
      {nullptr, "", -1},                     {nullptr, nullptr, -1},
      {"", "1", 4},
  };
  for (const auto& c : cases) {
    root.remove("/sys/power/app_boot");
    root.remove("/sys/power/startup_mode");
    if (c.app_boot) root.write("/sys/power/app_boot", c.app_boot);
    if (c.startup) root.write("/sys/power/startup_mode", c.startup);
    EXPECT_EQ(readStartupSource(), c.expected)
        << (c.app_boot ? c.app_boot : "-") << " / " << (c.startup ? c.startup : "-");
  }
  EXPECT_TRUE(root.log_contains("Phone is reboot!"));
  EXPECT_TRUE(root.log_contains("Read /sys/power/startup_mode fail!"));
  EXPECT_TRUE(root.log_contains(" StartupSource = charge_rtc -> 1"));
}

std::string record(int64_t age_ms, const char* rest) {
  return std::to_string(nowMs() - age_ms) + rest;
}

// Unknown is stored and asked again; the first answer is kept for the boot,
// until a valid reboot record wins over it.
TEST_F(Startup, UnknownIsAskedAgainTheFirstAnswerKeptAndAValidRecordWins) {
  EXPECT_EQ(startupMode(), -1);
  EXPECT_EQ(root.property("zelt.lumopower.startup"), "-1");
  root.write("/sys/power/startup_mode", "STARTMODE_USBINS");
  EXPECT_EQ(startupMode(), 2);
  EXPECT_EQ(root.property("zelt.lumopower.startup"), "2");
  root.write("/sys/power/startup_mode", "STARTMODE_ALARM");
  EXPECT_EQ(startupMode(), 2);
  root.set_property(PROPERTY_REBOOT, record(10000, ";4;25000"));
  EXPECT_EQ(startupMode(), 4);
  EXPECT_EQ(root.property("zelt.lumopower.startup"), "4");
}

TEST_F(Startup, RebootRecordWindowAndNumbersOutOfRange) {
  constexpr int64_t kNow = 1765000000000;
  auto at = [](int64_t age_ms, const char* rest) { return std::to_string(kNow - age_ms) + rest; };
  struct {
    std::string text;
    int32_t expected;
  } cases[] = {
      {at(10000, ";4;25000"), 4}, {at(24000, ";1;25000"), 1},
      {at(30000, ";4;25000"), -1},                 // stale
      {at(59000, ";4"), 4}, {at(61000, ";4"), -1},  // two fields: 60 s window
      {at(0, ";4;25000"), -1}, {at(-5000, ";4;25000"), -1}, {at(-60000, ";4;25000"), -1},  // dated now or later
      {"abc;4;25000", -1}, {"12345", -1}, {"", -1}, {std::string(91, '9'), -1},
      {"1;4;18446744073709551615", -1},  // dated 1970: no window keeps it fresh
      {"1;4;9223372036854775807", -1},
      {at(30000, ";4;99999999"), -1},            // a window is capped at the 25 s the program writes
      {at(20000, ";4;9223372036854775807"), 4},  // and still holds within it
      {at(20000, ";4;99999999999999999999"), 4}, // an unreadable window is the 60 s default
      {at(61000, ";4;99999999999999999999"), -1},
      {at(10000, ";4294967300;25000"), -1},  // a mode past 32 bits does not parse (it wrapped to 4)
      {at(10000, ";-2147483649;25000"), -1},
      {at(10000, ";-2147483648;25000"), INT32_MIN},
      {"-5;4;25000", -1},                      // no negative time
      {"99999999999999999999;4;25000", -1},
      {" " + at(10000, "; +2;25000"), 2},      // blanks and signs as "%llu;%d" reads them
  };
  for (const auto& c : cases) EXPECT_EQ(rebootRecordMode(c.text.c_str(), kNow), c.expected) << c.text;
  // Taken from the store: judged against the clock, and used up whether valid or not.
  for (auto [text, expected] : {std::pair{record(20000, ";4;25000"), 4}, {record(30000, ";4;25000"), -1},
                                {std::string("abc;4;25000"), -1}}) {
    root.set_property(PROPERTY_REBOOT, text);
    EXPECT_EQ(takeRebootRecord(), expected) << text;
    EXPECT_EQ(root.property(PROPERTY_REBOOT), "") << "the record is cleared: " << text;
  }
}

TEST_F(Startup, RememberWritesRecordOnlyWhenAsked) {
  rememberStartupMode(-1, true);
  EXPECT_FALSE(root.exists("/dev/__properties__/zelt.lumopower.startup"));
  EXPECT_FALSE(root.exists("/data/property/" PROPERTY_REBOOT));
  rememberStartupMode(1, false);
  EXPECT_EQ(root.property("zelt.lumopower.startup"), "1");
  EXPECT_FALSE(root.exists("/data/property/" PROPERTY_REBOOT));
  int64_t before = nowMs();
  rememberStartupMode(4, true);
  std::string text = root.property(PROPERTY_REBOOT);
  unsigned long long time = 0;
  ASSERT_EQ(sscanf(text.c_str(), "%llu;", &time), 1) << text;
  EXPECT_GE(static_cast<int64_t>(time), before);
  EXPECT_EQ(text, std::to_string(time) + ";4;25000");
  writeRebootRecord(-1);
  EXPECT_EQ(root.property(PROPERTY_REBOOT), "");
}

}  // namespace
