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

#include "core/power.h"
#include "platform/paths.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;

size_t count(const std::vector<std::string>& texts, const std::string& text) {
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

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
  const std::string cpu0 = "/sys/devices/system/cpu/cpu0", cpu1 = "/sys/devices/system/cpu/cpu1";
  const std::string ondemand("ondemand\0", 9), ninety("90\0", 3), minfreq("192000\0", 7);
  const std::string performance("performance\0", 12);
  struct Case {
    void (*action)();
    std::vector<std::pair<std::string, std::string>> writes;  // file, bytes; in order
  };
  const Case cases[] = {
      {decrease_cpu0_freq, {{cpu0 + "/cpufreq/scaling_governor", ondemand},
                            {cpu0 + "/cpufreq/ondemand/up_threshold", ninety},
                            {cpu0 + "/cpufreq/scaling_min_freq", minfreq}}},
      {decrease_cpu1_freq, {{cpu1 + "/cpufreq/scaling_governor", ondemand},
                            {cpu1 + "/cpufreq/ondemand/up_threshold", ninety},
                            {cpu1 + "/cpufreq/scaling_min_freq", minfreq}}},
      {set_cpufreq_to_boot, {{cpu1 + "/online", std::string("1\0", 2)},
                             {cpu0 + "/cpufreq/scaling_governor", performance},
                             {cpu1 + "/cpufreq/scaling_governor", performance}}},
  };
  for (const Case& c : cases) {
    DeviceRoot root;
    for (const auto& [file, bytes] : c.writes) root.write(file, "previous value");
    c.action();
    auto completed = root.log_texts('E');
    ASSERT_EQ(completed.size(), c.writes.size());
    for (size_t i = 0; i < c.writes.size(); ++i) {
      EXPECT_EQ(root.read(c.writes[i].first), c.writes[i].second) << c.writes[i].first;
      EXPECT_EQ(completed[i], "write " + c.writes[i].first + " completed");
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
  EXPECT_EQ(root.log_texts('D').size(), 1u);
  acquireWakeLock(1, "Lumo.Alarm");
  EXPECT_EQ(root.read("/sys/power/wake_lock"), "Lumo.Alarm");
}

// bootAndroid takes seconds (a 1 s hand-over, then up to 15 looks 1 s apart),
// so the three cases run at once, each in a child with a device root of its
// own; the parent plays init for the one whose boot animation starts late.
TEST(BootAndroid, HandsOverAndWaitsForTheBootAnimation) {
  constexpr const char* kLookNull = "Propertie \"init.svc.bootanim\" = NULL";
  constexpr const char* kLookRunning = "Propertie \"init.svc.bootanim\" = \"running\"";
  struct Run {
    int32_t mode;
    size_t looks;  // 15: never seen running
    DeviceRoot root;
    pid_t pid = -1;
    int status = -1;
    double seconds = 0;
  };
  Run runs[3] = {{-1, 1}, {4, 3}, {-1, 15}};
  runs[0].root.set_property("zelt.lumopower.startup", "2");
  runs[0].root.set_property("init.svc.bootanim", "running");
  runs[2].root.set_property("zelt.lumopower.startup", "1");

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
  bool animation_started = false;
  for (int alive = 3; alive > 0 && elapsed() < 60; usleep(5000)) {
    if (!animation_started && count(runs[1].root.log_texts('W'), kLookNull) == 2) {
      runs[1].root.set_property("init.svc.bootanim", "running");  // the third look is 1 s away
      animation_started = true;
    }
    for (Run& run : runs) {
      if (run.status == -1 && waitpid(run.pid, &run.status, WNOHANG) == run.pid) {
        run.seconds = elapsed();
        --alive;
      }
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
    auto warnings = run.root.log_texts('W');
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings.front(), " . . . . . . . . . . . . . . . . . . . . . . ");
    EXPECT_EQ(warnings.back(), " ------------------------------------------- ");
    EXPECT_EQ(count(warnings, kLookNull) + count(warnings, kLookRunning), run.looks);
    EXPECT_EQ(count(warnings, "Exit because bootanim running."), run.looks < 15 ? 1u : 0u);
    EXPECT_GE(run.seconds, 1.0 + static_cast<double>(run.looks));  // 1 s per look after the hand-over
  }
  // -1: nothing is stored before the hand-over; the recorded mode is reported.
  auto texts = runs[0].root.log_texts('W');
  EXPECT_EQ(count(texts, "Set zelt.lumopower.startup = 2"), 0u);
  EXPECT_EQ(count(texts, " >>>>>>>>>> Boot android user 2. <<<<<<<<<< "), 1u);
  // 4: stored first, then reported back.
  texts = runs[1].root.log_texts('W');
  auto set = std::find(texts.begin(), texts.end(), "Set zelt.lumopower.startup = 4");
  auto boot = std::find(texts.begin(), texts.end(), " >>>>>>>>>> Boot android user 4. <<<<<<<<<< ");
  EXPECT_TRUE(set < boot && boot != texts.end());
  EXPECT_LT(runs[2].seconds, 30.0);
}

}  // namespace
