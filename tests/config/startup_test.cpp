// Startup source, the mode kept for this boot, and the reboot record.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "config/settings.h"
#include "config/startup.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;

class Startup : public ::testing::Test {
 protected:
  void SetUp() override { resetSettingsCache(); }
  DeviceRoot root;
};

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

TEST_F(Startup, FirstAnswerIsKeptForTheBoot) {
  root.write("/sys/power/startup_mode", "STARTMODE_USBINS");
  EXPECT_EQ(startupMode(), 2);
  EXPECT_EQ(root.property("zelt.lumopower.startup"), "2");
  root.write("/sys/power/startup_mode", "STARTMODE_ALARM");
  EXPECT_EQ(startupMode(), 2);
}

TEST_F(Startup, UnknownIsStoredAndAskedAgain) {
  EXPECT_EQ(startupMode(), -1);
  EXPECT_EQ(root.property("zelt.lumopower.startup"), "-1");
  root.write("/sys/power/startup_mode", "1");
  EXPECT_EQ(startupMode(), 4);
}

std::string record(int64_t age_ms, const char* rest) {
  return std::to_string(nowMs() - age_ms) + rest;
}

TEST_F(Startup, RebootRecordWindow) {
  struct {
    std::string text;
    int32_t expected;
  } cases[] = {
      {record(10000, ";4;25000"), 4},
      {record(24000, ";1;25000"), 1},
      {record(30000, ";4;25000"), -1},  // stale
      {record(59000, ";4"), 4},         // two fields: 60 s window
      {record(61000, ";4"), -1},
      {record(-5000, ";4;25000"), -1},  // dated in the future
      {record(-60000, ";4;25000"), -1},
      {"abc;4;25000", -1},
      {"12345", -1},
      {"", -1},
      {std::string(91, '9'), -1},
  };
  for (const auto& c : cases) {
    root.set_property(PROPERTY_REBOOT, c.text);
    EXPECT_EQ(takeRebootRecord(), c.expected) << c.text;
    EXPECT_EQ(root.property(PROPERTY_REBOOT), "") << "the record is cleared: " << c.text;
  }
}

TEST_F(Startup, RecordDatedNowIsNotValid) {
  // A record one second ahead stays ahead of now for the whole check.
  root.set_property(PROPERTY_REBOOT, std::to_string(nowMs() + 1000) + ";4;25000");
  EXPECT_EQ(takeRebootRecord(), -1);
  EXPECT_EQ(root.property(PROPERTY_REBOOT), "");
}

TEST_F(Startup, RecordNumbersOutOfRangeNeverCountAsFresh) {
  constexpr int64_t kNow = 1765000000000;
  auto at = [](int64_t age_ms, const char* rest) { return std::to_string(kNow - age_ms) + rest; };
  struct {
    std::string text;
    int32_t expected;
  } cases[] = {
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
}

TEST_F(Startup, ValidRecordWinsOverStoredMode) {
  root.set_property("zelt.lumopower.startup", "2");
  root.set_property(PROPERTY_REBOOT, record(10000, ";4;25000"));
  EXPECT_EQ(startupMode(), 4);
  EXPECT_EQ(root.property(PROPERTY_REBOOT), "");
  EXPECT_EQ(root.property("zelt.lumopower.startup"), "4");
  EXPECT_EQ(startupMode(), 4);
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
  int mode = 0;
  long window = 0;
  ASSERT_EQ(sscanf(text.c_str(), "%llu;%d;%ld", &time, &mode, &window), 3) << text;
  EXPECT_GE(static_cast<int64_t>(time), before);
  EXPECT_EQ(mode, 4);
  EXPECT_EQ(window, 25000);
  EXPECT_EQ(text, std::to_string(time) + ";4;25000");
  writeRebootRecord(-1);
  EXPECT_EQ(root.property(PROPERTY_REBOOT), "");
}

}  // namespace
