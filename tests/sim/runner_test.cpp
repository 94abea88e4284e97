#include "sim/runner.h"

#include <csignal>
#include <cstring>
#include <linux/input.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/device.h"
#include "sim/files.h"
#include "tests/sim/temp_dir.h"

namespace {

// A phone, a stand-in program (a shell script) and a scenario.
class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::DeviceOptions options;
    options.res_dir = tmp_.path("no-res");
    std::string error;
    ASSERT_TRUE(sim::create_device(root(), options, &error)) << error;
  }

  std::string root() const { return tmp_.path("phone"); }
  std::string file(const std::string& device_path) const {
    return sim::read_file(root() + device_path).value_or("");
  }

  int run(const std::string& program_body, const std::string& scenario, int timeout_s = 30) {
    std::string program = tmp_.path("fake-lumoboot");
    EXPECT_TRUE(sim::write_file(program, "#!/bin/sh\necho $$ > \"$LUMO_ROOT/pid\"\n" + program_body));
    chmod(program.c_str(), 0755);
    EXPECT_TRUE(sim::write_file(tmp_.path("t.scn"), scenario));
    sim::RunOptions options;
    options.root = root();
    options.scenario = tmp_.path("t.scn");
    options.out_dir = tmp_.path("out");
    options.program = program;
    options.timeout_s = timeout_s;
    options.quiet = true;
    return sim::run_scenario(options);
  }

  // The program's pid as the script wrote it, or -1.
  pid_t pid_from(const std::string& device_path) const {
    std::string text = sim::trim_sysfs(file(device_path));
    return text.empty() ? -1 : static_cast<pid_t>(atoi(text.c_str()));
  }

  sim_test::TempDir tmp_;
};

// Gone, or a zombie waiting for its new parent to collect it.
bool gone(pid_t pid) {
  if (kill(pid, 0) != 0) return true;
  std::string stat = sim::read_file("/proc/" + std::to_string(pid) + "/stat").value_or("");
  size_t close = stat.rfind(')');
  return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

bool eventually_gone(pid_t pid) {
  for (int i = 0; i < 400; ++i) {
    if (gone(pid)) return true;
    sim::sleep_ms(5);
  }
  return false;
}

TEST_F(RunnerTest, FailedExpectationLeavesNoProgramBehind) {
  int status = run("sleep 60 &\necho $! > \"$LUMO_ROOT/child\"\nwait\n",
                   "expect file /child contains \"\" within 3000\n"
                   "expect log \"never logged\" within 200\n");
  EXPECT_EQ(status, sim::kRunFailed);
  pid_t pid = pid_from("/pid"), child = pid_from("/child");
  ASSERT_GT(pid, 0);
  ASSERT_GT(child, 0);
  EXPECT_TRUE(eventually_gone(pid));
  EXPECT_TRUE(eventually_gone(child));  // the whole process group
}

TEST_F(RunnerTest, PlaysInitAndChecksLogAndExit) {
  int status = run(
      "log=\"$LUMO_ROOT/dev/log/main\"\n"
      "echo 'I/lumo(7):  hello there' >> \"$log\"\n"
      "printf 1 > \"$LUMO_ROOT/dev/__properties__/sys.boot.android\"\n"
      "for i in $(seq 1 200); do\n"
      "  if [ \"$(cat \"$LUMO_ROOT/dev/__properties__/init.svc.bootanim\" 2>/dev/null)\" = running ]; then\n"
      "    echo 'W/lumo(7): saw bootanim' >> \"$log\"; exit 0\n"
      "  fi\n"
      "  sleep 0.02\n"
      "done\n"
      "exit 0\n",
      "expect log \" hello there\"\n"
      "expect log contains \"hello\"\n"
      "expect no log contains \"hello\" for 0\n");
  EXPECT_EQ(status, sim::kRunFailed);  // the negative expectation sees the line

  status = run(
      "log=\"$LUMO_ROOT/dev/log/main\"\n"
      "echo 'I/lumo(7):  hello there' >> \"$log\"\n"
      "printf 1 > \"$LUMO_ROOT/dev/__properties__/sys.boot.android\"\n"
      "for i in $(seq 1 200); do\n"
      "  if [ \"$(cat \"$LUMO_ROOT/dev/__properties__/init.svc.bootanim\" 2>/dev/null)\" = running ]; then\n"
      "    echo 'W/lumo(7): saw bootanim' >> \"$log\"; exit 0\n"
      "  fi\n"
      "  sleep 0.02\n"
      "done\n"
      "exit 0\n",
      "expect log \" hello there\"\n"
      "expect log \"saw bootanim\"\n"
      "expect exit\n");
  EXPECT_EQ(status, sim::kRunPassed);
  // Only lines of this run count: the earlier run's lines are still in the log.
  EXPECT_EQ(run("sleep 60\n", "expect log \"saw bootanim\" within 100\n"), sim::kRunFailed);
}

TEST_F(RunnerTest, AbnormalEndFailsTheRunAtOnce) {
  int64_t t0 = sim::monotonic_ms();
  EXPECT_EQ(run("exit 3\n", "wait 20s\n"), sim::kRunFailed);
  EXPECT_LT(sim::monotonic_ms() - t0, 10000);
  EXPECT_EQ(run("kill -SEGV $$\n", "expect running for 5s\n"), sim::kRunFailed);
}

TEST_F(RunnerTest, SanitizerReportsInTheProgramOutputFailTheRun) {
  EXPECT_EQ(run("echo 'WARNING: ThreadSanitizer: data race (pid=1)' >&2\nsleep 60\n",
                "expect running for 300\n"),
            sim::kRunFailed);
  // The next run on the same output folder judges only its own output.
  EXPECT_EQ(run("sleep 60\n", "expect running for 100\n"), sim::kRunPassed);
}

TEST_F(RunnerTest, GlobalTimeLimitStopsTheRun) {
  int64_t t0 = sim::monotonic_ms();
  EXPECT_EQ(run("sleep 60\n", "wait 30s\n", 1), sim::kRunTimedOut);
  EXPECT_LT(sim::monotonic_ms() - t0, 10000);
  EXPECT_TRUE(eventually_gone(pid_from("/pid")));
}

TEST_F(RunnerTest, KeysAreNativeInputRecordsEachFollowedBySyn) {
  int status = run("exec 3<>\"$LUMO_ROOT/dev/input/event0\"\n"
                   "head -c 96 <&3 > \"$LUMO_ROOT/keys.tmp\" && mv \"$LUMO_ROOT/keys.tmp\" \"$LUMO_ROOT/keys.bin\"\n"
                   "sleep 60\n",
                   "key press power\nexpect file /keys.bin contains \"\"\n");
  ASSERT_EQ(status, sim::kRunPassed);
  std::string bytes = file("/keys.bin");
  ASSERT_EQ(bytes.size(), 4 * sizeof(input_event));
  input_event ev[4];
  memcpy(ev, bytes.data(), sizeof(ev));
  EXPECT_EQ(ev[0].type, EV_KEY);
  EXPECT_EQ(ev[0].code, 116);
  EXPECT_EQ(ev[0].value, 1);
  EXPECT_EQ(ev[1].type, EV_SYN);
  EXPECT_EQ(ev[2].type, EV_KEY);
  EXPECT_EQ(ev[2].code, 116);
  EXPECT_EQ(ev[2].value, 0);
  EXPECT_EQ(ev[3].type, EV_SYN);
}

TEST_F(RunnerTest, BatteryStepWritesFilesThenSendsOneUevent) {
  // Stands in for the program's uevent socket, bound once the program runs.
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  std::thread binder([&] {
    for (int i = 0; i < 1000 && !sim::path_exists(root() + "/pid"); ++i) sim::sleep_ms(5);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/dev/socket/uevent", root().c_str());
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  });
  int status = run("sleep 60\n", "battery level=20 status=Full voltage=4100\n");
  binder.join();
  EXPECT_EQ(status, sim::kRunPassed);
  char buf[1024] = {};
  ssize_t n = recv(fd, buf, sizeof(buf) - 1, MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  EXPECT_STREQ(buf, "change@/devices/platform/battery/power_supply/battery");
  EXPECT_NE(std::string(buf, static_cast<size_t>(n)).find(std::string("\0SUBSYSTEM=power_supply\0", 24)),
            std::string::npos);
  EXPECT_LT(recv(fd, buf, sizeof(buf), MSG_DONTWAIT), 0);  // exactly one
  close(fd);
  EXPECT_EQ(file("/sys/class/power_supply/battery/capacity"), "20\n");
  EXPECT_EQ(file("/sys/class/power_supply/battery/status"), "Full\n");
  EXPECT_EQ(file("/sys/class/power_supply/battery/voltage_now"), "4100000\n");
}

TEST_F(RunnerTest, RefusesFoldersThatAreNoDeviceRoot) {
  sim::RunOptions options;
  options.root = tmp_.path("elsewhere");
  sim::make_dirs(options.root);
  sim::write_file(tmp_.path("t.scn"), "wait 1\n");
  options.scenario = tmp_.path("t.scn");
  options.quiet = true;
  EXPECT_EQ(sim::run_scenario(options), sim::kRunError);
  options.root = "/";
  EXPECT_EQ(sim::run_scenario(options), sim::kRunError);
}

}  // namespace
