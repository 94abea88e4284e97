// The live server's pieces that need no browser (the page itself is tested
// in headless Chromium by live_page_test.py), and what the server and
// `lumo-sim reset` share: the reset, the phone's kept options, the root lock.
#include <gtest/gtest.h>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/phone.h"
#include "sim/reset.h"
#include "sim/serve.h"

namespace {

TEST(LiveControls, OnlyCheckedSingleControlStepsPass) {
  const struct {
    const char* line;
    bool ok;
  } cases[] = {
      {"key press power", true},
      {"key press end hold 10000", true},
      {"key press power hold 10001", false},  // longer than a control may block the phone
      {"key press nokey", false},
      {"unplug usb", true},
      {"plug", true},
      {"battery level=30 health=\"Over voltage\"", true},
      {"write /x y", false},  // files, properties and expectations are not controls
      {"device --level 3", false},
      {"plug \\\n usb", false},  // a continued line is still one line of text only
      {"", false},
  };
  for (const auto& c : cases) {
    sim::Step step;
    std::string error;
    EXPECT_EQ(sim::parse_control_step(c.line, &step, &error), c.ok) << c.line << ": " << error;
    EXPECT_EQ(error.empty(), c.ok) << c.line;
  }
  sim::Step step;
  std::string error;
  ASSERT_TRUE(sim::parse_control_step("key press power hold 500", &step, &error));
  EXPECT_TRUE(step.kind == sim::StepKind::kKey && step.number == 116 && step.extra == 500);
}

TEST(LiveControls, JsonStringsEscapeQuotesBackslashesAndControlBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "\"plain\""},
      {"a \"b\" \\c", "\"a \\\"b\\\" \\\\c\""},
      {std::string("t\tn\n\x01", 5), "\"t\\u0009n\\u000a\\u0001\""},
      {"\xc3\xa9", "\"\xc3\xa9\""},  // UTF-8 passes as it is
  };
  for (const auto& [text, json] : cases) EXPECT_EQ(sim::json_string(text), json) << text;
}

// A phone after a run: the reset clears what the run left and rebuilds the
// start-up files and properties from the options the phone keeps.
TEST(PhoneReset, ClearsWhatARunLeftAndRestoresThePhonesOwnOptions) {
  sim::TempDir tmp;
  std::string root = tmp.path("phone"), error;
  sim::DeviceOptions options;
  ASSERT_TRUE(sim::parse_device_options({"--startup", "STARTMODE_ALARM", "--prop", "ro.lboot.light.timeout=900",
                                         "--force", "--res", tmp.path("none")}, &options, &error)) << error;
  ASSERT_TRUE(sim::create_device(root, options, &error)) << error;
  sim::Device d(root);
  EXPECT_EQ(sim::kept_device_args(d.read("/.lumo-sim")),
            (std::vector<std::string>{"--startup", "STARTMODE_ALARM", "--prop", "ro.lboot.light.timeout=900",
                                      "--res", tmp.path("none")}));  // --force is not kept

  for (const char* const* key = sim::kRunProperties; *key != nullptr; ++key) ASSERT_TRUE(d.set_property(*key, "1"));
  ASSERT_TRUE(d.set_property("ro.lboot.light.timeout", "5"));
  ASSERT_TRUE(d.set_property("persist.sys.lumo.REBOOT", "1;1;1"));
  ASSERT_TRUE(d.write("/dev/log/main", "I/lumo(1): x\n") && d.write("/dev/reboot", "reboot_off\n"));
  ASSERT_TRUE(d.write("/sys/power/startup_mode", "charge_pwrkey"));

  sim::HostPhone phone(root, "/bin/false", tmp.path("out"));
  ASSERT_TRUE(sim::reset_phone(&phone, &error)) << error;
  for (const char* const* key = sim::kRunProperties; *key != nullptr; ++key) EXPECT_EQ(d.property(*key), "") << *key;
  EXPECT_TRUE(d.log_lines().empty() && d.reboot_lines().empty());
  EXPECT_EQ(d.read("/sys/power/startup_mode"), "STARTMODE_ALARM\n");
  EXPECT_EQ(d.property("ro.lboot.light.timeout"), "900");
  EXPECT_EQ(d.property("persist.sys.lumo.REBOOT"), "1;1;1");  // survives a reboot, so a reset too

  ASSERT_TRUE(sim::remove_tree(root));
  EXPECT_FALSE(sim::reset_phone(&phone, &error));
}

TEST(PhoneLock, OneLumoSimPerDeviceRoot) {
  sim::TempDir tmp;
  std::string root = tmp.path("phone"), error;
  ASSERT_TRUE(sim::create_device(root, sim::DeviceOptions{.res_dir = tmp.path("none")}, &error)) << error;
  sim::UniqueFd first, second;
  ASSERT_TRUE(sim::lock_device_root(root, &first, &error)) << error;
  EXPECT_FALSE(sim::lock_device_root(root, &second, &error));
  EXPECT_NE(error.find("only one program runs per device root"), std::string::npos) << error;
  first.reset();
  EXPECT_TRUE(sim::lock_device_root(root, &second, &error)) << error;
  EXPECT_FALSE(sim::lock_device_root(tmp.path("nothing"), &first, &error));
}

}  // namespace
