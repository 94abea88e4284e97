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
  size_t n = 0;
  for (const auto& t : texts) n += t == text ? 1 : 0;
  return n;
}

TEST(PowerOnReason, WritesTheReasonWithoutTerminator) {
  struct Case {
    int user_mode;
    std::string expected;  // file content afterwards
  };
  for (const Case& c : {Case{1, "charge_pwrkey"}, Case{4, "charge_rtc"}, Case{2, "STARTMODE_CHGINS"}}) {
    SCOPED_TRACE(c.user_mode);
    DeviceRoot root;
    root.write("/sys/power/startup_mode", "STARTMODE_CHGINS");
    writePowerOnReason(c.user_mode);
    EXPECT_EQ(root.read("/sys/power/startup_mode"), c.expected);
    EXPECT_EQ(root.log_contains("unrecognized boot reason"), c.user_mode == 2);
  }
}

TEST(PowerOnReason, MissingFileIsReportedAndNotCreated) {
  DeviceRoot root;
  root.mkdir("/sys/power");
  writePowerOnReason(1);
  EXPECT_FALSE(root.exists("/sys/power/startup_mode"));
  EXPECT_TRUE(root.log_contains("warning: can't open /sys/power/startup_mode to update power on reason!!"));
}

TEST(CpuPolicy, EveryTextIsWrittenWithItsTerminatingZero) {
  const std::string cpu0 = "/sys/devices/system/cpu/cpu0";
  const std::string cpu1 = "/sys/devices/system/cpu/cpu1";
  struct Write {
    std::string file;
    std::string bytes;
  };
  struct Case {
    const char* name;
    void (*action)();
    std::vector<Write> writes;
  };
  const std::string ondemand("ondemand\0", 9), ninety("90\0", 3), minfreq("192000\0", 7);
  const std::string one("1\0", 2), performance("performance\0", 12);
  const std::vector<Case> cases = {
      {"cpu0", decrease_cpu0_freq,
       {{cpu0 + "/cpufreq/scaling_governor", ondemand},
        {cpu0 + "/cpufreq/ondemand/up_threshold", ninety},
        {cpu0 + "/cpufreq/scaling_min_freq", minfreq}}},
      {"cpu1", decrease_cpu1_freq,
       {{cpu1 + "/cpufreq/scaling_governor", ondemand},
        {cpu1 + "/cpufreq/ondemand/up_threshold", ninety},
        {cpu1 + "/cpufreq/scaling_min_freq", minfreq}}},
      {"boot", set_cpufreq_to_boot,
       {{cpu1 + "/online", one},
        {cpu0 + "/cpufreq/scaling_governor", performance},
        {cpu1 + "/cpufreq/scaling_governor", performance}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceRoot root;
    for (const Write& w : c.writes) root.write(w.file, "previous value");
    c.action();
    std::vector<std::string> completed;
    for (const std::string& t : root.log_texts('E')) completed.push_back(t);
    ASSERT_EQ(completed.size(), c.writes.size());
    for (size_t i = 0; i < c.writes.size(); ++i) {
      EXPECT_EQ(root.read(c.writes[i].file), c.writes[i].bytes) << c.writes[i].file;
      EXPECT_EQ(completed[i], "write " + c.writes[i].file + " completed");  // in this order
    }
  }
}

TEST(CpuPolicy, AMissingFileDoesNotStopTheOtherWrites) {
  DeviceRoot root;
  const std::string governor0 = "/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor";
  const std::string governor1 = "/sys/devices/system/cpu/cpu1/cpufreq/scaling_governor";
  root.write(governor0, "x");
  root.write(governor1, "x");
  set_cpufreq_to_boot();  // cpu1/online is missing
  EXPECT_TRUE(root.log_contains("Could not open '/sys/devices/system/cpu/cpu1/online'"));
  EXPECT_FALSE(root.exists("/sys/devices/system/cpu/cpu1/online"));
  EXPECT_EQ(root.read(governor0), std::string("performance\0", 12));
  EXPECT_EQ(root.read(governor1), std::string("performance\0", 12));
}

// The process ends as the phone goes down; the line it leaves tells what was
// asked of the kernel.
TEST(RebootDeathTest, EndsTheProcessWithTheRequestedCommand) {
  struct Case {
    const char* name;
    void (*action)();
    const char* line;
  };
  const Case cases[] = {
      {"power off", [] { powerOff(); }, "power_off\n"},
      {"restart", [] { rebootWithReason(nullptr); }, "restart\n"},
      {"restart with reason", [] { rebootDevice("reboot_off"); }, "restart reboot_off\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DeviceRoot root;
    EXPECT_EXIT(c.action(), testing::ExitedWithCode(0), "");
    EXPECT_EQ(root.read("/dev/reboot"), c.line);
    EXPECT_FALSE(root.log_contains("jniThrowIOException(env, errno);"));
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
  EXPECT_EQ(count(root.log_texts('E'), "jniThrowIOException(env, errno);"), 2u);
  EXPECT_EQ(root.log_texts('D'), (std::vector<std::string>{"Reboot ...", "Shut down ..."}));
}

TEST(WakeLock, NullNameIsOnlyLogged) {
  DeviceRoot root;
  root.write("/sys/power/wake_lock", "untouched");
  root.write("/sys/power/wake_unlock", "untouched");
  acquireWakeLock(1, nullptr);
  releaseWakeLock(nullptr);
  EXPECT_EQ(root.read("/sys/power/wake_lock"), "untouched");
  EXPECT_EQ(root.read("/sys/power/wake_unlock"), "untouched");
  ASSERT_EQ(root.log_texts('D').size(), 2u);
  EXPECT_EQ(root.log_texts('D')[0].rfind("Acquire ", 0), 0u);
  acquireWakeLock(1, "Lumo.Alarm");
  EXPECT_EQ(root.read("/sys/power/wake_lock"), "Lumo.Alarm");
  EXPECT_TRUE(root.log_contains("Acquire Lumo.Alarm."));
}

// bootAndroid takes seconds (a 1 s hand-over and up to 15 looks 1 s apart),
// so the three cases run at once, each in a child with a device root of its
// own, and the parent plays init's part for the one that sees the boot
// animation start.
struct BootRun {
  const char* name;
  int32_t mode;
  DeviceRoot* root;
  int running_after_looks;  // -1: never, 0: already running
  pid_t pid = -1;
  int status = -1;
  double seconds = 0;
};

constexpr const char* kLookNull = "Propertie \"init.svc.bootanim\" = NULL";
constexpr const char* kLookRunning = "Propertie \"init.svc.bootanim\" = \"running\"";

TEST(BootAndroid, HandsOverAndWaitsForTheBootAnimation) {
  DeviceRoot with_record_mode, with_mode_4, never_running;
  std::vector<BootRun> runs = {
      {"mode -1, animation already running", -1, &with_record_mode, 0},
      {"mode 4, animation seen at the third look", 4, &with_mode_4, 2},
      {"animation never seen", -1, &never_running, -1},
  };
  with_record_mode.set_property("zelt.lumopower.startup", "2");
  with_record_mode.set_property("init.svc.bootanim", "running");
  never_running.set_property("zelt.lumopower.startup", "1");

  auto start = std::chrono::steady_clock::now();
  for (BootRun& run : runs) {
    run.pid = fork();
    ASSERT_GE(run.pid, 0);
    if (run.pid == 0) {
      platform::set_device_root(run.root->dir().c_str());
      bootAndroid(run.mode);
      _exit(0);
    }
  }
  auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  int alive = static_cast<int>(runs.size());
  bool started_animation = false;
  while (alive > 0 && elapsed() < 60) {
    if (!started_animation && count(with_mode_4.log_texts('W'), kLookNull) == 2) {
      with_mode_4.set_property("init.svc.bootanim", "running");  // before the third look, 1 s later
      started_animation = true;
    }
    for (BootRun& run : runs) {
      if (run.status == -1 && run.pid > 0 && waitpid(run.pid, &run.status, WNOHANG) == run.pid) {
        run.seconds = elapsed();
        --alive;
      }
    }
    usleep(5000);
  }
  for (BootRun& run : runs) {
    if (run.status == -1) {
      kill(run.pid, SIGKILL);
      waitpid(run.pid, nullptr, 0);
      ADD_FAILURE() << run.name << ": still waiting after 60 s";
    }
  }

  for (const BootRun& run : runs) {
    SCOPED_TRACE(run.name);
    EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0);
    EXPECT_EQ(run.root->property("sys.boot.android"), "1");
    auto warnings = run.root->log_texts('W');
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings.front(), " . . . . . . . . . . . . . . . . . . . . . . ");
    EXPECT_EQ(warnings.back(), " ------------------------------------------- ");
    size_t looks = count(warnings, kLookNull) + count(warnings, kLookRunning);
    bool seen = run.running_after_looks >= 0;
    EXPECT_EQ(looks, seen ? static_cast<size_t>(run.running_after_looks + 1) : 15u);
    EXPECT_EQ(count(warnings, "Exit because bootanim running."), seen ? 1u : 0u);
    // One second per look, after a hand-over of at least a second.
    EXPECT_GE(run.seconds, 1.0 + static_cast<double>(looks));
  }

  // -1: nothing is stored before the hand-over; the recorded mode is reported.
  EXPECT_EQ(count(with_record_mode.log_texts('W'), "Set zelt.lumopower.startup = 2"), 0u);
  EXPECT_EQ(with_record_mode.property("zelt.lumopower.startup"), "2");
  EXPECT_EQ(count(with_record_mode.log_texts('W'), " >>>>>>>>>> Boot android user 2. <<<<<<<<<< "), 1u);
  // 4: stored first, then reported back.
  auto texts = with_mode_4.log_texts('W');
  auto set = std::find(texts.begin(), texts.end(), "Set zelt.lumopower.startup = 4");
  auto boot = std::find(texts.begin(), texts.end(), " >>>>>>>>>> Boot android user 4. <<<<<<<<<< ");
  EXPECT_TRUE(set != texts.end() && boot != texts.end() && set < boot);
  EXPECT_EQ(with_mode_4.property("zelt.lumopower.startup"), "4");
  // Never seen: gives up after the 15th look, well before a minute.
  EXPECT_LT(runs[2].seconds, 30.0);
}

}  // namespace
