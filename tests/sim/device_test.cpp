#include "sim/device.h"

#include <gtest/gtest.h>

#include "sim/files.h"
#include "sim/image.h"

namespace {

using sim::Device;

std::string read(const std::string& path) { return sim::read_file(path).value_or("<missing>"); }

bool create(const std::string& dir, std::vector<std::string> args, std::string* error) {
  sim::DeviceOptions options;
  return sim::parse_device_options(args, &options, error) && sim::create_device(dir, options, error);
}

TEST(Device, BuiltFromOptionsReplacedOnlyWithForce) {
  sim::TempDir tmp;
  std::string error;
  Device d(tmp.path("phone"));
  ASSERT_TRUE(create(d.root(), {"--bpp", "32", "--width=320", "--height", "240", "--chargers", "none",
                                "--res", tmp.path("no-res")}, &error)) << error;
  EXPECT_EQ(read(d.path("/dev/graphics/fb0")).size(), 2u * 320 * 240 * 4);  // two pages
  EXPECT_EQ(d.supply_attribute("battery", "status") + d.supply_attribute("battery", "charge_now"), "Discharging\n0\n");
  // fb0.info read by the host screen: the ui tests. Plugging and unplugging: the soak run.

  std::string other = tmp.path("other"), phone = d.root();
  ASSERT_TRUE(sim::write_file(other + "/precious.txt", "keep"));
  EXPECT_FALSE(create(other, {"--force"}, &error));
  EXPECT_NE(error.find("not a device root made by lumo-sim"), std::string::npos) << error;
  EXPECT_EQ(read(other + "/precious.txt"), "keep");
  EXPECT_FALSE(create("/", {"--force"}, &error));

  ASSERT_TRUE(sim::write_file(phone + "/dev/reboot", "power_off\n"));
  EXPECT_FALSE(create(phone, {}, &error));
  ASSERT_TRUE(create(phone, {"--force", "--level", "9", "--res", tmp.path("no-res")}, &error)) << error;
  EXPECT_FALSE(sim::path_exists(phone + "/dev/reboot"));
  EXPECT_EQ(read(phone + "/sys/class/power_supply/battery/capacity"), "9\n");
}

// create lays the picture set of the phone's screen size over the 480x800
// pictures and makes the boot logo for that size from the set's own logo.
TEST(Device, PicturesAndBootLogoFollowTheScreenSize) {
  sim::TempDir tmp;
  std::string error, res = sim::default_res_dir();
  const struct { const char* width; const char* height; std::string set; } cases[] = {
      {"480", "800", res}, {"720", "1280", res + "/720x1280"}, {"1080", "1920", res + "/1080x1920"},
      {"320", "480", res}};  // no set of its own: the 480x800 pictures and logo, centred
  for (const auto& c : cases) {
    Device d(tmp.path(std::string("phone") + c.width));
    ASSERT_TRUE(create(d.root(), {"--width", c.width, "--height", c.height}, &error)) << error;
    EXPECT_EQ(read(d.path("/system/lumo/res/zelt_logo.png")), read(c.set + "/zelt_logo.png")) << c.width;
    EXPECT_EQ(read(d.path("/system/lumo/res/boot_charger_13.png")), read(res + "/boot_charger_13.png")) << c.width;
    EXPECT_EQ(read(d.path("/initlogo.png")), read(c.set + "/preview/initlogo.png")) << c.width;
    std::string rle = read(d.path("/initlogo.rle"));
    EXPECT_EQ(sim::decode_565_rle(rle, SIZE_MAX).size(), static_cast<size_t>(atoi(c.width) * atoi(c.height)));
  }
}

}  // namespace
