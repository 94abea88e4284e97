// The Linux backend's discovery of sysfs devices, on fake sysfs trees in a
// temporary directory, and the property store and file helpers that both
// backends share.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/linux/sysfs_layout.h"
#include "platform/properties.h"
#include "platform/property_store.h"

namespace {

namespace fs = std::filesystem;
using namespace platform::kernel;

// A temporary directory that stands for "/"; files are given by their
// machine path.
class FakeRoot {
 public:
  FakeRoot() {
    char pattern[] = "/tmp/lumo-sysfs-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  ~FakeRoot() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  const char* root() const { return dir_.c_str(); }
  std::string path(const std::string& p) const { return dir_ + p; }
  void file(const std::string& p, const std::string& content = "0\n") const {
    fs::create_directories(fs::path(path(p)).parent_path());
    std::ofstream(path(p)) << content;
  }
  // A backlight or LED directory with brightness and, unless told, max_brightness.
  void device(const std::string& dir, bool with_max = true) const {
    file(dir + "/brightness");
    if (with_max) file(dir + "/max_brightness", "255\n");
  }

 private:
  std::string dir_;
};

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
  for (const Case& c : cases) {
    FakeRoot fake;
    for (const std::string& b : c.backlights) fake.device("/sys/class/backlight/" + b);
    for (const std::string& l : c.leds_with_max) fake.device("/sys/class/leds/" + l);
    BacklightLayout layout;
    EXPECT_EQ(find_backlight(fake.root(), &layout), !c.expected.empty()) << c.name;
    EXPECT_EQ(layout.dir, c.expected.empty() ? "" : fake.path(c.expected)) << c.name;
    EXPECT_EQ(layout.led, c.led) << c.name;
  }
  FakeRoot incomplete;  // a backlight without max_brightness cannot be scaled
  incomplete.device("/sys/class/backlight/panel", false);
  BacklightLayout layout;
  EXPECT_FALSE(find_backlight(incomplete.root(), &layout));
}

TEST(LinuxSysfs, BatteryLedIsThreeLedsOrOneMulticolourLed) {
  FakeRoot three;
  for (const char* c : {"red", "green", "blue"}) three.device(std::string("/sys/class/leds/") + c);
  BatteryLedLayout layout;
  ASSERT_TRUE(find_battery_led(three.root(), &layout));
  EXPECT_EQ(layout.kind, BatteryLedLayout::kThreeLeds);
  EXPECT_EQ(std::vector<std::string>({layout.dir[0], layout.dir[1], layout.dir[2]}),
            std::vector<std::string>({three.path("/sys/class/leds/red"), three.path("/sys/class/leds/green"),
                                      three.path("/sys/class/leds/blue")}));

  FakeRoot multi;
  multi.device("/sys/class/leds/red");
  multi.device("/sys/class/leds/green");  // no blue: not three LEDs
  for (const char* name : {"rgb:status", "rg:indicator"}) {
    std::string dir = std::string("/sys/class/leds/") + name;
    multi.device(dir);
    multi.file(dir + "/multi_intensity", "0 0 0\n");
  }
  multi.file("/sys/class/leds/rgb:status/multi_index", "green red blue\n");
  multi.file("/sys/class/leds/rg:indicator/multi_index", "red green\n");
  ASSERT_TRUE(find_battery_led(multi.root(), &layout));
  EXPECT_EQ(layout.kind, BatteryLedLayout::kMulticolor);
  EXPECT_EQ(std::string(layout.dir[0]), multi.path("/sys/class/leds/rgb:status"));

  FakeRoot none;
  none.device("/sys/class/leds/red");
  EXPECT_FALSE(find_battery_led(none.root(), &layout));
  EXPECT_EQ(layout.kind, BatteryLedLayout::kNone);
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
  for (const Case& c : cases) {
    FakeRoot fake;
    if (c.timed_output) fake.file("/sys/class/timed_output/vibrator/enable");
    if (c.led_triggers != nullptr) fake.file("/sys/class/leds/vibrator/trigger", c.led_triggers);
    EXPECT_EQ(find_vibrator(fake.root()), c.expected) << c.name;
  }
}

TEST(LinuxSysfs, EarlySuspendAndWakeLocksAreFoundByTheirFiles) {
  FakeRoot modern;
  modern.file("/sys/power/state", "freeze mem\n");
  modern.file("/sys/power/wake_lock", "");
  EXPECT_FALSE(has_early_suspend(modern.root()));
  EXPECT_FALSE(has_wake_lock_files(modern.root()));  // both files are needed
  FakeRoot old;
  old.file("/sys/power/wait_for_fb_sleep", "");
  old.file("/sys/power/wake_lock", "");
  old.file("/sys/power/wake_unlock", "");
  EXPECT_TRUE(has_early_suspend(old.root()));
  EXPECT_TRUE(has_wake_lock_files(old.root()));
  char out[16];
  EXPECT_FALSE(rooted_path("/a/long/root", "/sys/power/state", out, sizeof(out)));
  EXPECT_STREQ(out, "");
}

TEST(PropertyStore, KeysGoToTheirDirectoriesWhichAreMadeOnFirstWrite) {
  FakeRoot fake;
  std::string run = fake.path("/run/lumoboot/properties");
  std::string var = fake.path("/var/lib/lumoboot/properties");
  auto make_parent = [](const char* path) {
    return platform::make_directories(fs::path(path).parent_path().c_str());
  };
  platform::PropertyDirs dirs = {run.c_str(), var.c_str(), +make_parent};
  ASSERT_EQ(platform::store_property_set(dirs, "sys.boot.android", "1"), 0);
  ASSERT_EQ(platform::store_property_set(dirs, "persist.sys.poweralarm.time", "1700000000"), 0);
  ASSERT_EQ(platform::store_property_set(dirs, "ro.lboot.startup", "2"), 0);
  EXPECT_EQ(platform::store_property_set(dirs, "ro.lboot.startup", "4"), -1);
  EXPECT_EQ(platform::store_property_set(dirs, "bad/key", "1"), -1);
  EXPECT_EQ(platform::store_property_set(dirs, "long", std::string(92, 'v').c_str()), -1);

  char text[128];
  EXPECT_EQ(platform::read_small_file((run + "/sys.boot.android").c_str(), text, sizeof(text)), 1);
  EXPECT_EQ(platform::read_small_file((var + "/persist.sys.poweralarm.time").c_str(), text, sizeof(text)), 10);
  EXPECT_FALSE(fs::exists(run + "/persist.sys.poweralarm.time"));
  EXPECT_FALSE(fs::exists(run + "/long"));

  char value[platform::kPropValueMax];
  EXPECT_EQ(platform::store_property_get(dirs, "ro.lboot.startup", value, "9"), 1);
  EXPECT_STREQ(value, "2");
  EXPECT_EQ(platform::store_property_get(dirs, "init.svc.bootanim", value, "stopped"), 7);
  EXPECT_STREQ(value, "stopped");
  fake.file("/run/lumoboot/properties/oversized", std::string(200, 'z'));
  EXPECT_EQ(platform::store_property_get(dirs, "oversized", value, nullptr), platform::kPropValueMax - 1);
}

TEST(Files, MakeDirectoriesAndReadSmallFiles) {
  FakeRoot fake;
  std::string deep = fake.path("/a/b/c");
  ASSERT_EQ(platform::make_directories(deep.c_str()), 0);
  EXPECT_TRUE(fs::is_directory(deep));
  EXPECT_EQ(platform::make_directories(deep.c_str()), 0);  // already there
  fake.file("/a/file", "abcdef");
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
