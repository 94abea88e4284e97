// Boot and power actions: the exact bytes they leave in sysfs files, the
// reboot lines, and the boot hand-over with its boot-animation wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "power/power.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;

TEST(PowerOnReason, WritesTheReasonWithoutTerminator) {
  for (auto [mode, expected] : {std::pair{1, "charge_pwrkey"}, {4, "charge_rtc"}, {2, "STARTMODE_CHGINS"}}) {
    DeviceRoot root;
    root.write("/sys/power/startup_mode", "STARTMODE_CHGINS");
    writePowerOnReason(mode);
    EXPECT_EQ(root.read("/sys/power/startup_mode"), expected) << mode;
    EXPECT_EQ(root.log_contains("unrecognized boot reason"), mode == 2);
  }
  DeviceRoot root;  // no such file: reported, never created
  writePowerOnReason(1);
  EXPECT_FALSE(root.exists("/sys/power/startup_mode"));
  EXPECT_TRUE(root.log_contains("warning: can't open /sys/power/startup_mode to update power on reason!!"));
}

TEST(CpuPolicy, EveryTextIsWrittenWithItsTerminatingZero) {
  const std::string cpu = "/sys/devices/system/cpu/cpu";
  const std::pair<void (*)(), std::vector<std::pair<std::string, std::string>>> cases[] = {
      {decrease_cpu0_freq,
       {{"0/cpufreq/scaling_governor", "ondemand"}, {"0/cpufreq/ondemand/up_threshold", "90"},
        {"0/cpufreq/scaling_min_freq", "192000"}}},
      {decrease_cpu1_freq,
       {{"1/cpufreq/scaling_governor", "ondemand"}, {"1/cpufreq/ondemand/up_threshold", "90"},
        {"1/cpufreq/scaling_min_freq", "192000"}}},
      {set_cpufreq_to_boot,
       {{"1/online", "1"}, {"0/cpufreq/scaling_governor", "performance"},
        {"1/cpufreq/scaling_governor", "performance"}}},
  };
  for (const auto& [action, writes] : cases) {
    DeviceRoot root;
    for (const auto& [file, text] : writes) root.write(cpu + file, "previous value");
    action();
    auto completed = root.log_texts('E');
    ASSERT_EQ(completed.size(), writes.size());
    for (size_t i = 0; i < writes.size(); ++i) {  // in this order
      EXPECT_EQ(root.read(cpu + writes[i].first), writes[i].second + '\0');
      EXPECT_EQ(completed[i], "write " + cpu + writes[i].first + " completed");
    }
  }
}

TEST(Reboot, RefusedByTheKernelReturns) {
  DeviceRoot root;
  root.write("/dev/reboot.refuse", "");
  rebootDevice("reboot_off");
  rebootWithReason(nullptr);
  powerOff();
  EXPECT_EQ(root.read("/dev/reboot"), "restart reboot_off\nrestart\npower_off\n");
  // The restarts report the refusal; the power-off returns silently.
  EXPECT_EQ(root.log_texts('E'), std::vector<std::string>(2, "jniThrowIOException(env, errno);"));
  EXPECT_EQ(root.log_texts('D'), (std::vector<std::string>{"Reboot ...", "Shut down ..."}));
}

// (A named lock in its file: scenario key_wake_sleep.)
TEST(WakeLock, NullNameIsOnlyLogged) {
  DeviceRoot root;
  acquireWakeLock(1, nullptr);
  EXPECT_EQ(root.log_texts('D'), std::vector<std::string>{"Acquire (null)."});
}

// The hand-over, then 15 looks 1 s apart for a boot animation that never
// runs, with the user mode recorded earlier (the running case and the mode
// stored first are in the boot stories of tests/sim).
TEST(BootAndroid, HandsOverAndGivesUpAfterFifteenLooks) {
  DeviceRoot root;
  root.set_property("zelt.lumopower.startup", "2");
  auto start = std::chrono::steady_clock::now();
  bootAndroid(-1);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(16));  // 1 s per look after the hand-over
  EXPECT_EQ(root.property("sys.boot.android"), "1");
  auto w = root.log_texts('W');
  ASSERT_FALSE(w.empty());
  EXPECT_EQ(w.front(), " . . . . . . . . . . . . . . . . . . . . . . ");
  EXPECT_EQ(w.back(), " ------------------------------------------- ");
  EXPECT_EQ(root.log_count("Propertie \"init.svc.bootanim\" = NULL", 'W'), 15);
  EXPECT_EQ(root.log_count("Exit because bootanim running.", 'W'), 0);
  EXPECT_EQ(std::count(w.begin(), w.end(), " >>>>>>>>>> Boot android user 2. <<<<<<<<<< "), 1);
  EXPECT_FALSE(root.log_contains("Set zelt.lumopower.startup"));
}

}  // namespace
