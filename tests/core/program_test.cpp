// The whole program in a simulated phone: every start-up branch, the
// charging-mode stories that end it, and the host safety rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/wait.h>
#include <unistd.h>

#include "config/startup.h"
#include "tests/support/phone.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::make_phone;
using lumo_test::PhoneSpec;
using lumo_test::ProgramRun;
using lumo_test::send_key;
using lumo_test::send_uevent;
using lumo_test::set_supply;
using lumo_test::wait_until;

constexpr int kExitMs = 20000;

// Short screen time-outs keep the stories quick.
void fastTimers(const DeviceRoot& root) {
  root.set_property("ro.lboot.light.timeout", "400");
  root.set_property("ro.lboot.uncharge.light.tmr", "200");
  root.set_property("init.svc.bootanim", "running");
}

// Index of the first log text equal to `text` at or after `from`; -1 if none.
int indexOf(const std::vector<std::string>& texts, const std::string& text, int from = 0) {
  for (size_t i = from; i < texts.size(); ++i) {
    if (texts[i] == text) return static_cast<int>(i);
  }
  return -1;
}

TEST(Program, RefusesToStartWithoutDeviceRoot) {
  DeviceRoot root;
  ProgramRun run(root, /*with_root=*/false);
  EXPECT_EQ(run.wait_exit(kExitMs), 2);
  EXPECT_NE(run.stderr_text().find("LUMO_ROOT is not set"), std::string::npos);
}

TEST(Program, AcceptsARelativeDeviceRoot) {
  DeviceRoot root;
  make_phone(root);
  root.set_property("ro.lumoboot.running", "1");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(root.dir().c_str()) != 0) _exit(126);
    setenv("LUMO_ROOT", ".", 1);
    execl(LUMOBOOT_BINARY, "lumoboot", static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(root.log_contains("Lumo boot only run once."));
}

TEST(Program, RunsOnlyOnce) {
  DeviceRoot root;
  make_phone(root);
  root.set_property("ro.lumoboot.running", "1");
  ProgramRun run(root);
  EXPECT_EQ(run.wait_exit(kExitMs), 0);
  EXPECT_EQ(root.log_texts(), (std::vector<std::string>{" ============================== ", "Lumo boot only run once."}));
  EXPECT_FALSE(root.exists("/dev/__properties__/ro.lboot.startup"));
}

TEST(Program, PowersOffBelowThreshold) {
  DeviceRoot root;
  PhoneSpec spec;
  spec.startup_mode = "STARTMODE_PWRKEY";
  spec.voltage_mv = 2999;
  make_phone(root, spec);
  ProgramRun run(root);
  EXPECT_EQ(run.wait_exit(kExitMs), 0);
  EXPECT_EQ(root.read("/dev/reboot"), "power_off\n");
  EXPECT_TRUE(root.log_contains(" Battery voltage 2999 < 3000"));
  EXPECT_EQ(root.property("ro.lboot.startup"), "1");
  EXPECT_EQ(root.property("ro.lboot.batvol"), "2999");
  EXPECT_EQ(root.property("ro.lboot.batlevel"), "50");
  EXPECT_EQ(root.property("ro.lumoboot.running"), "1");
  auto texts = root.log_texts();
  EXPECT_LT(indexOf(texts, "Detach BatteryThread."), indexOf(texts, "Shut down ..."));
}

TEST(Program, PowerOffRefusedEndsTheRun) {
  DeviceRoot root;
  PhoneSpec spec;
  spec.startup_mode = "";
  spec.voltage_mv = 2000;
  make_phone(root, spec);
  root.write("/dev/reboot.refuse", "");
  ProgramRun run(root);
  EXPECT_EQ(run.wait_exit(kExitMs), 0);
  EXPECT_EQ(root.read("/dev/reboot"), "power_off\n");
  EXPECT_EQ(root.property("ro.lboot.startup"), "-1");
}

TEST(Program, BootsAtOrAboveThreshold) {
  DeviceRoot root;
  PhoneSpec spec;
  spec.startup_mode = "STARTMODE_ALARM";
  spec.voltage_mv = 3000;
  make_phone(root, spec);
  fastTimers(root);
  ProgramRun run(root);
  EXPECT_EQ(run.wait_exit(kExitMs), 0);
  EXPECT_EQ(root.property("sys.boot.android"), "1");
  EXPECT_EQ(root.property("zelt.lumopower.startup"), "4");
  EXPECT_TRUE(root.log_contains(" >>>>>>>>>> Boot android user 4. <<<<<<<<<< "));
  EXPECT_TRUE(root.log_contains("Exit because bootanim running."));
  EXPECT_FALSE(root.exists("/dev/reboot"));
  EXPECT_FALSE(root.log_contains("Entry boot charged"));
}

TEST(Program, ForceEntryAndRebootRecordEnterChargingMode) {
  for (int variant = 0; variant < 2; ++variant) {
    DeviceRoot root;
    PhoneSpec spec;
    spec.startup_mode = "STARTMODE_PWRKEY";
    spec.voltage_mv = 2500;
    make_phone(root, spec);
    if (variant == 0) {
      root.set_property("ro.lboot.force.entry", "true");
    } else {
      root.set_property(PROPERTY_REBOOT, std::to_string(nowMs() - 5000) + ";2;25000");
    }
    ProgramRun run(root);
    EXPECT_TRUE(run.wait_log("Entry boot charged")) << variant;
    EXPECT_TRUE(run.wait_log("after decrease_cpu0_freq")) << variant;
    EXPECT_TRUE(run.running());
    EXPECT_EQ(root.property("ro.lboot.startup"), variant == 0 ? "1" : "2");
  }
}

// A boot logo of six runs of 64000 blue pixels: the whole 480x800 screen.
void writeBlueBootLogo(const DeviceRoot& root) {
  std::string rle;
  for (int i = 0; i < 6; ++i) rle += std::string("\x00\xfa\x1f\x00", 4);
  root.write("/initlogo.rle", rle);
}

TEST(Program, PowerKeyBootsFromChargingModeInOrder) {
  DeviceRoot root;
  make_phone(root);
  fastTimers(root);
  writeBlueBootLogo(root);
  ProgramRun run(root);
  ASSERT_TRUE(run.wait_log("after decrease_cpu0_freq"));
  EXPECT_EQ(root.read("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor"), std::string("ondemand\0", 9));
  send_key(root, 116, 1);
  EXPECT_EQ(run.wait_exit(kExitMs), 0);
  auto texts = root.log_texts();
  const char* order[] = {" LumoBoot -> STARTUP_PWRKEY.",
                         "before set_cpufreq_to_boot",
                         "Start android user 1 mode.",
                         "Set zelt.lumopower.startup = 1",
                         "Stop power long press and lights timer.",
                         "Hide charged ui.",
                         "Detach BatteryThread.",
                         "Exit alarm.",
                         "ui exit .....",
                         "Vibrator ...",
                         "Set back light...",
                         "Release LumoBoot.",
                         " . . . . . . . . . . . . . . . . . . . . . . ",
                         "Release LumoBoot.",
                         "Exit boot charged"};
  int at = 0;
  for (const char* step : order) {
    int found = indexOf(texts, step, at);
    ASSERT_GE(found, 0) << "missing or out of order: " << step;
    at = found + 1;
  }
  EXPECT_EQ(root.read("/sys/power/startup_mode"), "charge_pwrkey");
  EXPECT_EQ(root.read("/sys/class/timed_output/vibrator/enable"), "150");
  EXPECT_EQ(root.property("persist.service.adb.enable"), "1");
  EXPECT_EQ(root.property("sys.boot.android"), "1");
  EXPECT_EQ(root.read("/sys/devices/system/cpu/cpu1/cpufreq/scaling_governor"), std::string("performance\0", 12));
  EXPECT_EQ(root.read("/dev/tty0.mode"), "graphics");  // the boot logo leaves graphics mode on
  EXPECT_TRUE(root.log_contains("Show logo return 0"));
  std::string fb = root.read("/dev/graphics/fb0");
  ASSERT_GE(fb.size(), 480u * 800 * 2);
  EXPECT_EQ(fb.substr(0, 4), std::string("\x1f\x00\x1f\x00", 4));
  EXPECT_EQ(fb.substr(480 * 800 * 2 - 2, 2), std::string("\x1f\x00", 2));
}

TEST(Program, LowVoltageRefusesTheBootAndGoesOnCharging) {
  DeviceRoot root;
  PhoneSpec spec;
  spec.voltage_mv = 2950;
  make_phone(root, spec);
  fastTimers(root);
  ProgramRun run(root);
  ASSERT_TRUE(run.wait_log("after decrease_cpu0_freq"));
  send_key(root, 116, 1);
  EXPECT_TRUE(run.wait_log(" battery vol 2950 < 3000 threshold."));
  EXPECT_TRUE(run.wait_log(" donot start android 1."));
  EXPECT_TRUE(run.running());
  EXPECT_FALSE(root.exists("/dev/__properties__/sys.boot.android"));
}

TEST(Program, ChargerRemovalRestartsWithReason) {
  DeviceRoot root;
  make_phone(root);
  fastTimers(root);
  ProgramRun run(root);
  ASSERT_TRUE(run.wait_log("after decrease_cpu0_freq"));
  ASSERT_TRUE(wait_until([&] { return root.exists("/dev/socket/uevent"); }));
  set_supply(root, "ac", "online", "0");
  set_supply(root, "battery", "status", "Discharging");
  send_uevent(root, "/devices/platform/battery/power_supply/ac");
  EXPECT_EQ(run.wait_exit(kExitMs), 0);
  EXPECT_TRUE(root.log_contains(" broadcast MSG_BATTERY"));
  EXPECT_TRUE(root.log_contains(" Battery is no charge, power shutdown."));
  EXPECT_EQ(root.read("/dev/reboot"), "restart reboot_off\n");
  EXPECT_EQ(root.read("/sys/class/leds/battery/color").substr(0, 8), "00000000");
  EXPECT_EQ(root.read("/sys/power/state"), "mem");
}

TEST(Program, RefusedRestartIsRetriedWithAPause) {
  DeviceRoot root;
  make_phone(root);
  fastTimers(root);
  root.write("/dev/reboot.refuse", "");
  ProgramRun run(root);
  ASSERT_TRUE(run.wait_log("after decrease_cpu0_freq"));
  ASSERT_TRUE(wait_until([&] { return root.exists("/dev/socket/uevent"); }));
  set_supply(root, "ac", "online", "0");
  set_supply(root, "battery", "status", "Discharging");
  send_uevent(root, "/devices/platform/battery/power_supply/ac");
  ASSERT_TRUE(run.wait_log(" Battery is no charge, power shutdown."));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  std::string lines = root.read("/dev/reboot");
  size_t attempts = std::count(lines.begin(), lines.end(), '\n');
  EXPECT_GE(attempts, 2u);
  EXPECT_LE(attempts, 3u);  // 1 s, then 2 s: no busy loop
  EXPECT_TRUE(run.running());
}

TEST(Program, TestModeBootsAfterEachTimeout) {
  DeviceRoot root;
  make_phone(root);
  fastTimers(root);
  root.set_property("persist.sys.lumo.test.mode", "3");
  ProgramRun run(root);
  EXPECT_EQ(run.wait_exit(kExitMs), 0);
  EXPECT_TRUE(root.log_contains("Put message MSG_PRESSURE_TEST"));
  EXPECT_TRUE(root.log_contains("Doing test LumoBoot -> STARTUP_PWRKEY"));
  EXPECT_EQ(root.read("/sys/power/startup_mode"), "charge_pwrkey");
}

TEST(Program, DuePowerUpAlarmBootsWithoutVibration) {
  DeviceRoot root;
  make_phone(root);
  fastTimers(root);
  root.set_property("persist.sys.poweralarm.time", std::to_string(nowMs() - 60000));
  root.set_property("sys.time.compensated", "true");
  ProgramRun run(root);
  EXPECT_EQ(run.wait_exit(kExitMs), 0);
  EXPECT_TRUE(root.log_contains(" LumoBoot -> Wake Up Device..."));
  EXPECT_EQ(root.read("/sys/power/startup_mode"), "charge_rtc");
  EXPECT_EQ(root.read("/sys/class/timed_output/vibrator/enable"), "0");
  EXPECT_FALSE(root.log_contains("Vibrator ..."));
}

}  // namespace
