// Boot and power actions: the exact bytes they leave in sysfs files, the
// reboot lines, and the boot hand-over with its boot-animation wait.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "power/power.h"
#include "platform/host/host.h"
#include "platform/paths.h"
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

// The process ends as the phone goes down; the line it leaves tells what was
// asked of the kernel.
TEST(RebootDeathTest, EndsTheProcessWithTheRequestedCommand) {
  const std::pair<void (*)(), const char*> cases[] = {
      {[] { powerOff(); }, "power_off\n"},
      {[] { rebootWithReason(nullptr); }, "restart\n"},
      {[] { rebootDevice("reboot_off"); }, "restart reboot_off\n"},
  };
  for (const auto& [action, line] : cases) {
    DeviceRoot root;
    EXPECT_EXIT(action(), testing::ExitedWithCode(0), "");
    EXPECT_EQ(root.read("/dev/reboot"), line);
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

TEST(WakeLock, NullNameIsOnlyLogged) {
  DeviceRoot root;
  root.write("/sys/power/wake_lock", "untouched");
  acquireWakeLock(1, nullptr);
  EXPECT_EQ(root.read("/sys/power/wake_lock"), "untouched");
  EXPECT_EQ(root.log_texts('D'), std::vector<std::string>{"Acquire (null)."});
  acquireWakeLock(1, "Lumo.Alarm");
  EXPECT_EQ(root.read("/sys/power/wake_lock"), "Lumo.Alarm");
}

// bootAndroid takes seconds (a hand-over pause, then up to 15 looks 1 s apart),
// so both cases run at once, each in a child with a device root of its own.
TEST(BootAndroid, HandsOverAndWaitsForTheBootAnimation) {
  struct Run { int32_t mode, user; int looks; DeviceRoot root; pid_t pid = -1; int status = -1; double s = 0; };
  Run runs[2] = {{4, 4, 1}, {-1, 2, 15}};  // mode -1: the one recorded is used; 15 looks: never running
  runs[0].root.set_property("init.svc.bootanim", "running");
  runs[1].root.set_property("zelt.lumopower.startup", "2");
  auto start = std::chrono::steady_clock::now();
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  for (Run& run : runs) {
    run.pid = fork();
    ASSERT_GE(run.pid, 0);
    if (run.pid == 0) {
      platform::set_device_root(run.root.dir().c_str());
      bootAndroid(run.mode);
      _exit(0);
    }
  }
  for (int alive = 2; alive > 0 && elapsed() < 60; usleep(5000)) {
    for (Run& run : runs) {
      if (run.status == -1 && waitpid(run.pid, &run.status, WNOHANG) == run.pid) run.s = elapsed(), --alive;
    }
  }
  for (Run& run : runs) {
    SCOPED_TRACE(run.looks);
    if (run.status == -1) {
      kill(run.pid, SIGKILL);
      waitpid(run.pid, nullptr, 0);
      ADD_FAILURE() << "still waiting after 60 s";
      continue;
    }
    EXPECT_EQ(run.root.property("sys.boot.android"), "1");
    auto w = run.root.log_texts('W');
    ASSERT_FALSE(w.empty());
    EXPECT_EQ(w.front(), " . . . . . . . . . . . . . . . . . . . . . . ");
    EXPECT_EQ(w.back(), " ------------------------------------------- ");
    EXPECT_EQ(run.root.log_count("Propertie \"init.svc.bootanim\" = NULL", 'W') +
                  run.root.log_count("Propertie \"init.svc.bootanim\" = \"running\"", 'W'), run.looks);
    EXPECT_EQ(run.root.log_count("Exit because bootanim running.", 'W'), run.looks < 15 ? 1 : 0);
    auto boot = std::find(w.begin(), w.end(), " >>>>>>>>>> Boot android user " + std::to_string(run.user) +
                                                  ". <<<<<<<<<< ");
    auto set = std::find_if(w.begin(), boot, [](auto& t) { return t.rfind("Set zelt.lumopower.startup", 0) == 0; });
    EXPECT_NE(boot, w.end());
    EXPECT_EQ(set == boot ? "" : *set, run.mode == -1 ? "" : "Set zelt.lumopower.startup = 4");  // stored first
    EXPECT_GE(run.s, 1.0 + static_cast<double>(run.looks));  // 1 s per look after the hand-over
  }
  EXPECT_LT(runs[1].s, 30.0);
}

}  // namespace
