#include "sim/device.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "sim/files.h"
#include "tests/sim/temp_dir.h"

namespace {

using sim::Device;
using sim::DeviceOptions;

std::string read(const std::string& path) { return sim::read_file(path).value_or("<missing>"); }

bool create(const std::string& dir, const std::vector<std::string>& args, std::string* error) {
  DeviceOptions options;
  return sim::parse_device_options(args, &options, error) && sim::create_device(dir, options, error);
}

TEST(CreateDevice, DefaultsFollowTheDeviceContract) {
  sim_test::TempDir tmp;
  std::string root = tmp.path("phone");
  std::string error;
  ASSERT_TRUE(create(root, {"--res", tmp.path("no-res")}, &error)) << error;
  Device d(root);
  EXPECT_TRUE(d.is_device_root());
  EXPECT_EQ(read(d.path("/dev/graphics/fb0.info")), "xres=480\nyres=800\nbits_per_pixel=16\nyoffset=0\n");
  struct stat st;
  ASSERT_EQ(stat(d.path("/dev/graphics/fb0").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 2 * 480 * 800 * 2);
  ASSERT_EQ(stat(d.path("/dev/input/event0").c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_TRUE(sim::is_directory(d.path("/sys/class/leds/wifi")));
  EXPECT_TRUE(sim::path_exists(d.path("/dev/alarm")));
  EXPECT_EQ(read(d.path("/sys/class/power_supply/ac/type")), "Mains\n");
  EXPECT_EQ(read(d.path("/sys/class/power_supply/ac/online")), "1\n");
  EXPECT_EQ(read(d.path("/sys/class/power_supply/usb/online")), "0\n");
  EXPECT_EQ(d.supply_attribute("battery", "status"), "Charging\n");
  EXPECT_EQ(d.supply_attribute("battery", "voltage_now"), "3800000\n");  // microvolts
  EXPECT_EQ(d.supply_attribute("battery", "charge_now"), "5000\n");      // charger mV
  EXPECT_EQ(d.supply_attribute("battery", "capacity"), "50\n");
  EXPECT_EQ(read(d.path("/sys/power/startup_mode")), "STARTMODE_CHGINS\n");
  EXPECT_EQ(read(d.path("/sys/devices/system/cpu/cpu1/cpufreq/scaling_governor")), "userspace\n");
}

TEST(CreateDevice, OptionsShapeThePhone) {
  sim_test::TempDir tmp;
  std::string root = tmp.path("phone");
  std::string error;
  ASSERT_TRUE(create(root,
                     {"--bpp", "32", "--width=320", "--height", "240", "--chargers", "none",
                      "--voltage", "2900", "--language", "en", "--country", "US", "--prop",
                      "ro.lboot.light.timeout=900", "--prop", "persist.sys.lumo.test.mode=3",
                      "--no-alarm", "--res", tmp.path("no-res")},
                     &error))
      << error;
  Device d(root);
  EXPECT_EQ(read(d.path("/dev/graphics/fb0.info")), "xres=320\nyres=240\nbits_per_pixel=32\nyoffset=0\n");
  struct stat st;
  ASSERT_EQ(stat(d.path("/dev/graphics/fb0").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 2 * 320 * 240 * 4);
  EXPECT_EQ(d.supply_attribute("battery", "status"), "Discharging\n");
  EXPECT_EQ(d.supply_attribute("battery", "charge_now"), "0\n");
  EXPECT_EQ(d.supply_attribute("battery", "voltage_now"), "2900000\n");
  EXPECT_FALSE(sim::path_exists(d.path("/dev/alarm")));
  EXPECT_EQ(d.property("ro.lboot.light.timeout"), "900");
  EXPECT_EQ(read(root + "/data/property/persist.sys.lumo.test.mode"), "3");
  EXPECT_EQ(d.property("persist.sys.language"), "en");
}

TEST(CreateDevice, RefusesNonEmptyFolders) {
  sim_test::TempDir tmp;
  std::string error;
  std::string other = tmp.path("other");
  ASSERT_TRUE(sim::write_file(other + "/precious.txt", "keep"));
  EXPECT_FALSE(create(other, {}, &error));
  EXPECT_NE(error.find("not empty"), std::string::npos) << error;
  // --force empties only folders that lumo-sim made.
  EXPECT_FALSE(create(other, {"--force"}, &error));
  EXPECT_NE(error.find("not a device root made by lumo-sim"), std::string::npos) << error;
  EXPECT_EQ(read(other + "/precious.txt"), "keep");

  std::string phone = tmp.path("phone");
  ASSERT_TRUE(create(phone, {"--res", tmp.path("no-res")}, &error)) << error;
  ASSERT_TRUE(sim::write_file(phone + "/dev/reboot", "power_off\n"));
  EXPECT_FALSE(create(phone, {}, &error));
  ASSERT_TRUE(create(phone, {"--force", "--level", "9", "--res", tmp.path("no-res")}, &error)) << error;
  EXPECT_FALSE(sim::path_exists(phone + "/dev/reboot"));  // a fresh phone
  EXPECT_EQ(Device(phone).supply_attribute("battery", "capacity"), "9\n");

  EXPECT_FALSE(create("/", {"--force"}, &error));
}

TEST(CreateDevice, BadOptions) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bpp", "24"}, {"--level"}, {"--colour", "red"}, {"--prop", "no_equals"},
      {"--chargers", "solar"}, {"--force=yes"}, {"stray"}, {"--width", "0"},
  };
  for (const auto& args : cases) {
    DeviceOptions options;
    std::string error;
    EXPECT_FALSE(sim::parse_device_options(args, &options, &error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(DeviceState, ChargersAndLights) {
  sim_test::TempDir tmp;
  std::string error;
  std::string root = tmp.path("phone");
  ASSERT_TRUE(create(root, {"--res", tmp.path("no-res")}, &error)) << error;
  Device d(root);
  ASSERT_TRUE(d.set_charger("ac", false));
  EXPECT_EQ(d.supply_attribute("ac", "online"), "0\n");
  EXPECT_EQ(d.supply_attribute("battery", "status"), "Discharging\n");
  EXPECT_EQ(d.supply_attribute("battery", "charge_now"), "0\n");
  ASSERT_TRUE(d.set_charger("usb", true));
  EXPECT_EQ(d.supply_attribute("battery", "status"), "Charging\n");
  EXPECT_EQ(d.supply_attribute("battery", "charge_now"), "5000\n");
  sim::BatteryFields full;
  full.status = "Full";
  full.level = 100;
  ASSERT_TRUE(d.write_battery(full));
  ASSERT_TRUE(d.set_charger("ac", true));  // a second charger leaves Full alone
  EXPECT_EQ(d.supply_attribute("battery", "status"), "Full\n");

  EXPECT_EQ(d.backlight_level(), 0);  // never set
  ASSERT_TRUE(sim::write_file(d.path("/sys/class/leds/backlight/color"), "ff333333\n"));
  EXPECT_EQ(d.backlight_level(), 51);
  ASSERT_TRUE(sim::write_file(d.path("/sys/class/leds/battery/color"), "ffff0000\n"));
  EXPECT_EQ(d.light_color("battery"), 0xffff0000u);
  EXPECT_EQ(sim::log_text("W/lumo(12):  Battery level : 5"), " Battery level : 5");
}

}  // namespace
