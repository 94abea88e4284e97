// Settings: defaults, caching, texts built from properties, and the bounded
// set-and-verify writers.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
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

TEST_F(Settings, DefaultsWithNoProperties) {
  EXPECT_EQ(getBrightness(), 51);
  EXPECT_EQ(getLightTimeout(), 8000);
  EXPECT_EQ(getUnchargeLightTimer(), 750);
  EXPECT_EQ(getVibratorTimeout(), 150);
  EXPECT_EQ(getPowerOnVoltage(), 3000);
  EXPECT_EQ(getShowVoltage(), 5000);
  EXPECT_EQ(isForceEntry(), 0);
  EXPECT_STREQ(getResPath(), "/system/lumo/res/");
  EXPECT_STREQ(getLogoName(), "/system/lumo/res/zelt_logo.png");
  EXPECT_STREQ(getLanguage(), "zh_cn");
  EXPECT_STREQ(bootLogoPath(), "/initlogo.rle");
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

TEST_F(Settings, LanguageTagIsLowerCasedAndBounded) {
  root.set_property("persist.sys.language", "EN");
  root.set_property("persist.sys.country", "US");
  EXPECT_STREQ(getLanguage(), "en_us");
  resetSettingsCache();
  root.set_property("persist.sys.language", std::string(91, 'L'));
  root.set_property("persist.sys.country", std::string(91, 'C'));
  std::string tag = getLanguage();
  EXPECT_EQ(tag.size(), 127u);
  EXPECT_EQ(tag, std::string(91, 'l') + "_" + std::string(35, 'c'));
}

TEST_F(Settings, LogoPathJoinsDirectoryAndName) {
  root.set_property("ro.lboot.res.path", "/res/");
  root.set_property("ro.lboot.logo.name", "x.png");
  EXPECT_STREQ(getLogoName(), "/res/x.png");
  resetSettingsCache();
  root.set_property("ro.lboot.res.path", std::string(90, 'd') + "/");
  root.set_property("ro.lboot.logo.name", std::string(91, 'n'));
  EXPECT_EQ(std::string(getLogoName()), std::string(90, 'd') + "/" + std::string(91, 'n'));
}

TEST_F(Settings, ForceEntryWords) {
  for (const char* word : {"yes", "1", "on", "true"}) {
    resetSettingsCache();
    root.set_property("ro.lboot.force.entry", word);
    EXPECT_EQ(isForceEntry(), 1) << word;
  }
  for (const char* word : {"Y", "enabled", "2"}) {
    resetSettingsCache();
    root.set_property("ro.lboot.force.entry", word);
    EXPECT_EQ(isForceEntry(), 0) << word;
  }
}

TEST_F(Settings, TestModeOnlyForThree) {
  EXPECT_EQ(isTestMode(), 0);
  for (const char* v : {"1", "2", "4"}) {
    root.set_property("persist.sys.lumo.test.mode", v);
    EXPECT_EQ(isTestMode(), 0) << v;
  }
  root.set_property("persist.sys.lumo.test.mode", "3");
  EXPECT_EQ(isTestMode(), 1);
}

TEST_F(Settings, TimeCompensated) {
  EXPECT_EQ(isTimeCompensated(), 0);
  struct {
    const char* value;
    int expected;
  } cases[] = {{"false", 0}, {"true", 1}, {"trueish", 1}, {"tru", 0}, {"TRUE", 0}};
  for (const auto& c : cases) {
    root.set_property("sys.time.compensated", c.value);
    EXPECT_EQ(isTimeCompensated(), c.expected) << c.value;
  }
  root.set_property("sys.time.compensated", "true" + std::string(87, 'x'));
  EXPECT_EQ(isTimeCompensated(), 1);
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

TEST_F(Settings, NumbersOutOfRangeGiveTheDefault) {
  // "Never boot on battery" written as the largest unsigned number must not
  // wrap to -1 and boot at any voltage.
  root.set_property("ro.lboot.vol.poweron", "4294967295");
  EXPECT_EQ(getPowerOnVoltage(), 3000);
  root.set_property("ro.lboot.brightness", "4294967347");  // wrapped to 51 + 2^32 before
  root.set_property("ro.lboot.light.timeout", "2147483648");
  EXPECT_EQ(getBrightness(), 51);
  EXPECT_EQ(getLightTimeout(), 8000);
  root.set_property("persist.sys.poweralarm.time", "99999999999999999999");
  EXPECT_EQ(getPowerAlarmTime(), 0);
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

}  // namespace
