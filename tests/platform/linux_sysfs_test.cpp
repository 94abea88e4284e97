// The Linux backend's discovery of sysfs devices, on fake sysfs trees in a
// temporary directory, and the file helpers that both backends share.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/linux/sysfs_layout.h"
#include "tests/support/device_root.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::kernel;
using lumo_test::DeviceRoot;

// A backlight or LED directory with brightness and, unless told, max_brightness.
void device(const DeviceRoot& fake, const std::string& dir, bool with_max = true) {
  fake.write(dir + "/brightness", "0\n");
  if (with_max) fake.write(dir + "/max_brightness", "255\n");
}

TEST(LinuxSysfs, BacklightClassFirstThenAnLcdBacklightLed) {
  struct Case {
    const char* name;
    std::vector<std::string> backlights, leds_with_max;
    std::string expected;  // "" when none
    bool led;
  } cases[] = {
      {"backlight class", {"lumo-backlight"}, {"lcd-backlight"}, "/sys/class/backlight/lumo-backlight", false},
      {"first by name", {"panel1", "panel0"}, {}, "/sys/class/backlight/panel0", false},
      {"LED only", {}, {"red", "lcd-backlight"}, "/sys/class/leds/lcd-backlight", true},
      {"no backlight", {}, {"red", "green"}, "", false},
  };
  for (const auto& c : cases) {
    DeviceRoot fake;
    for (const std::string& b : c.backlights) device(fake, "/sys/class/backlight/" + b);
    for (const std::string& l : c.leds_with_max) device(fake, "/sys/class/leds/" + l);
    BacklightLayout layout;
    EXPECT_EQ(find_backlight(fake.dir().c_str(), &layout), !c.expected.empty()) << c.name;
    EXPECT_EQ(layout.dir, c.expected.empty() ? "" : fake.path(c.expected)) << c.name;
    EXPECT_EQ(layout.led, c.led) << c.name;
  }
  DeviceRoot incomplete;  // a backlight without max_brightness cannot be scaled
  device(incomplete, "/sys/class/backlight/panel", false);
  BacklightLayout layout;
  EXPECT_FALSE(find_backlight(incomplete.dir().c_str(), &layout));
}

// LEDs by name, with a multi_index when it is not empty.
TEST(LinuxSysfs, BatteryLedIsThreeLedsOrOneMulticolourLed) {
  using Leds = std::vector<std::pair<std::string, std::string>>;
  const struct { const char* why; Leds leds; BatteryLedLayout::Kind kind; std::vector<std::string> dirs; } cases[] = {
      {"three", {{"red", ""}, {"green", ""}, {"blue", ""}}, BatteryLedLayout::kThreeLeds, {"red", "green", "blue"}},
      {"no blue, one full multicolour LED",
       {{"red", ""}, {"green", ""}, {"rgb:status", "green red blue\n"}, {"rg:indicator", "red green\n"}},
       BatteryLedLayout::kMulticolor, {"rgb:status"}},
      {"one plain LED", {{"red", ""}}, BatteryLedLayout::kNone, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    DeviceRoot fake;
    for (const auto& [name, index] : c.leds) {
      device(fake, "/sys/class/leds/" + name);
      if (index.empty()) continue;
      fake.write("/sys/class/leds/" + name + "/multi_index", index);
      fake.write("/sys/class/leds/" + name + "/multi_intensity", "0 0 0\n");
    }
    BatteryLedLayout layout;
    EXPECT_EQ(find_battery_led(fake.dir().c_str(), &layout), c.kind != BatteryLedLayout::kNone);
    EXPECT_EQ(layout.kind, c.kind);
    for (size_t i = 0; i < c.dirs.size(); ++i) EXPECT_EQ(layout.dir[i], fake.path("/sys/class/leds/" + c.dirs[i]));
  }
}

TEST(LinuxSysfs, VibratorChoice) {
  struct Case {
    const char* name;
    bool timed_output;
    const char* led_triggers;  // nullptr: no LED "vibrator"
    VibratorKind expected;
  } cases[] = {
      {"timed output", true, nullptr, VibratorKind::kTimedOutput},
      {"timed output wins", true, "none [transient]", VibratorKind::kTimedOutput},
      {"transient LED", false, "none timer [transient] heartbeat\n", VibratorKind::kTransientLed},
      {"transient offered, not active", false, "[none] transient\n", VibratorKind::kTransientLed},
      {"no transient trigger", false, "[none] timer transientx\n", VibratorKind::kNone},
      {"nothing", false, nullptr, VibratorKind::kNone},
  };
  for (const auto& c : cases) {
    DeviceRoot fake;
    if (c.timed_output) fake.write("/sys/class/timed_output/vibrator/enable", "0\n");
    if (c.led_triggers != nullptr) fake.write("/sys/class/leds/vibrator/trigger", c.led_triggers);
    EXPECT_EQ(find_vibrator(fake.dir().c_str()), c.expected) << c.name;
  }
}

TEST(LinuxSysfs, EarlySuspendAndWakeLocksAreFoundByTheirFiles) {
  DeviceRoot modern;
  modern.write("/sys/power/state", "freeze mem\n");
  modern.write("/sys/power/wake_lock", "");
  EXPECT_FALSE(has_early_suspend(modern.dir().c_str()));
  EXPECT_FALSE(has_wake_lock_files(modern.dir().c_str()));  // both files are needed
  DeviceRoot old;
  old.write("/sys/power/wait_for_fb_sleep", "");
  old.write("/sys/power/wake_lock", "");
  old.write("/sys/power/wake_unlock", "");
  EXPECT_TRUE(has_early_suspend(old.dir().c_str()));
  EXPECT_TRUE(has_wake_lock_files(old.dir().c_str()));
  char out[16];
  EXPECT_FALSE(rooted_path("/a/long/root", "/sys/power/state", out, sizeof(out)));
  EXPECT_STREQ(out, "");
}

TEST(Files, MakeDirectoriesAndReadSmallFiles) {
  DeviceRoot fake;
  std::string deep = fake.path("/a/b/c");
  ASSERT_EQ(platform::make_directories(deep.c_str()), 0);
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_EQ(platform::make_directories(deep.c_str()), 0);  // already there
  fake.write("/a/file", "abcdef");
  errno = 0;
  EXPECT_EQ(platform::make_directories(fake.path("/a/file/d").c_str()), -1);
  EXPECT_EQ(errno, ENOTDIR);

  char small[4];
  EXPECT_EQ(platform::read_small_file(fake.path("/a/file").c_str(), small, sizeof(small)), 3);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(platform::read_small_file(fake.path("/a/missing").c_str(), small, sizeof(small)), -1);
  EXPECT_STREQ(small, "");
}

}  // namespace
