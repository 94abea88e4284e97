#include "sim/runner.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/device.h"
#include "sim/files.h"

namespace {

// A phone, a stand-in program (a shell script that notes its pid) and a scenario.
class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::DeviceOptions options{.res_dir = tmp_.path("no-res")};
    std::string error;
    ASSERT_TRUE(sim::create_device(root(), options, &error)) << error;
  }
  std::string root() const { return tmp_.path("phone"); }
  std::string file(const std::string& path) const { return sim::read_file(root() + path).value_or(""); }
  int run(const std::string& program_body, const std::string& scenario, int timeout_s = 30,
          const std::string& at = "") {
    sim::RunOptions o{at.empty() ? root() : at, tmp_.path("t.scn"), tmp_.path("out"), tmp_.path("fake"), timeout_s};
    o.quiet = true;
    EXPECT_TRUE(sim::write_file(o.program, "#!/bin/sh\necho $$ > \"$LUMO_ROOT/pid\"\n" + program_body));
    chmod(o.program.c_str(), 0755);
    EXPECT_TRUE(sim::write_file(o.scenario, scenario));
    return sim::run_scenario(o);
  }
  // Within two seconds the process written to `device_path` is gone, or a zombie.
  bool eventually_gone(const std::string& device_path) const {
    std::string stat = "/proc/" + sim::trim_sysfs(file(device_path)) + "/stat";
    for (int i = 0; i < 400 && stat != "/proc//stat"; ++i, sim::sleep_ms(5)) {
      if (sim::read_file(stat).value_or(") Z").find(") Z") != std::string::npos) return true;
    }
    return false;
  }
  sim::TempDir tmp_;
};

// Runs pass or fail as their steps say, judging only their own log and output. A run that fails or
// times out ends within seconds and kills the program's group. A folder that is no device root is refused.
TEST_F(RunnerTest, RunsJudgeTheirOwnOutputEndPromptlyAndLeaveNoProgramBehind) {
  // (Answering init's part, and passing runs: the boot stories.)
  const char* hello = "echo 'I/lumo(7):  hello there' >> \"$LUMO_ROOT/dev/log/main\"\nsleep 60\n";
  const struct { const char* program; const char* scenario; int status, timeout_s = 30; } cases[] = {
      {hello, "expect log \" hello there\"\nexpect log contains \"hello\"\nexpect no log contains \"hello\"\n",
       sim::kRunFailed},
      {"sleep 60\n", "expect log \" hello there\" within 100\n", sim::kRunFailed},  // an earlier run's line
      {"sleep 60 &\necho $! > \"$LUMO_ROOT/child\"\nwait\n",
       "expect file /child contains \"\" within 3000\nexpect log \"never logged\" within 200\n", sim::kRunFailed},
      {"sleep 60\n", "wait 30s\n", sim::kRunTimedOut, 1},
      {"exit 3\n", "wait 20s\n", sim::kRunFailed},
      {"kill -SEGV $$\n", "expect running for 5s\n", sim::kRunFailed},
      {"echo 'WARNING: ThreadSanitizer: data race (pid=1)' >&2\nsleep 60\n", "expect running for 300\n",
       sim::kRunFailed},
      {"sleep 60\n", "expect running for 100\n", sim::kRunPassed},  // an earlier run's report
      {"printf 'I/lumo(7): a\\nI/lumo(7): b\\nI/lumo(7): a\\n' >> \"$LUMO_ROOT/dev/log/main\"\nsleep 60\n",
       "expect log order a b a\nexpect no log order a a\n", sim::kRunFailed},
      {"echo 'I/lumo(7): b' >> \"$LUMO_ROOT/dev/log/main\"\nsleep 60\n", "expect log order b b within 100\n",
       sim::kRunFailed},
      {"exit 4\n", "expect exit 4\nexpect exit 5 within 500\n", sim::kRunFailed},
      {"[ \"$LUMO_ROOT\" = . ] && [ -f .lumo-sim ] || exit 6\n", "start relative-root\nexpect exit\n",
       sim::kRunPassed},
      // The real-time clock's alarm exists only in the virtual phone: an error, not a pass.
      {"sleep 60\n", "wait 100\nexpect alarm off\n", sim::kRunError},
      {"sleep 60\n", "expect screen moving within 300\n", sim::kRunFailed},  // a still screen
  };
  for (const auto& c : cases) {
    int64_t t0 = sim::monotonic_ms();
    EXPECT_EQ(run(c.program, c.scenario, c.timeout_s), c.status) << c.program;
    EXPECT_LT(sim::monotonic_ms() - t0, 10000) << c.program;
    EXPECT_TRUE(eventually_gone("/pid")) << c.program;
  }
  EXPECT_TRUE(eventually_gone("/child"));  // the whole group, not only the program
  sim::make_dirs(tmp_.path("elsewhere"));
  for (const std::string& at : {tmp_.path("elsewhere"), std::string("/")})
    EXPECT_EQ(run("exit 0\n", "wait 1\n", 30, at), sim::kRunError) << "no device root: " << at;
}

// A program that ends in the middle: the failing step after it says how it
// ended (and, for the run-once refusal, why and what to do) without waiting
// out its time, and later key steps are refused.
TEST_F(RunnerTest, AnEndedProgramIsNamedInTheFailureAndNotWaitedFor) {
  const char* refuse = "echo 'E/lumo(7): Lumo boot only run once.' >> \"$LUMO_ROOT/dev/log/main\"\n";
  const struct { const char* program; const char* scenario; const char* message; } cases[] = {
      {refuse, "expect log \"Entry boot charged\"\n",
       // Where the end is noticed (the start or line 1) depends on how fast the program leaves.
       "it refused to run because the phone's run-once mark (property ro.lumoboot.running) is set"},
      {"sleep 0.2\n", "wait 100\nwait 600\nexpect backlight 51 within 5000\n", "lumoboot exited with status 0 during line 2"},
      {"exit 0\n", "wait 300\nkey press power\n", "key events need a running lumoboot"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    int64_t t0 = sim::monotonic_ms();
    EXPECT_NE(run(c.program, c.scenario), sim::kRunPassed) << c.scenario;
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_LT(sim::monotonic_ms() - t0, 3000) << c.scenario;  // not the 5 s of "within"
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_NE(err.find("lumoboot exited with status 0"), std::string::npos) << err;
  }
}

// The copy of the log in the output folder carries the time each line was
// first seen, from the start of the run; lines of an earlier run have none.
TEST_F(RunnerTest, LogCopyCarriesTheTimeEachLineAppeared) {
  ASSERT_TRUE(sim::write_file(root() + "/dev/log/main", "I/lumo(1): earlier run\n"));
  const char* program = "log=\"$LUMO_ROOT/dev/log/main\"\necho 'I/lumo(7): first' >> \"$log\"\nsleep 0.5\n"
                        "echo 'I/lumo(7): second' >> \"$log\"\nsleep 60\n";
  ASSERT_EQ(run(program, "expect log second within 3000\n"), sim::kRunPassed);
  std::string copy = sim::read_file(tmp_.path("out/lumoboot.log")).value_or("");
  double first = -1, second = -1;
  char text[64];
  ASSERT_EQ(copy.rfind("           I/lumo(1): earlier run\n", 0), 0u) << copy;
  size_t at = copy.find('\n') + 1;
  ASSERT_EQ(sscanf(copy.c_str() + at, "+%lf I/lumo(7): %63s", &first, text), 2) << copy;
  ASSERT_EQ(sscanf(copy.c_str() + copy.find('\n', at) + 1, "+%lf I/lumo(7): %63s", &second, text), 2) << copy;
  EXPECT_STREQ(text, "second");
  EXPECT_TRUE(first >= 0 && first < 2.0) << copy;
  EXPECT_GE(second - first, 0.4) << copy;
}

// --fresh rebuilds the phone from its own options with the scenario's device
// lines on top; the phone keeps only its own, so they never pile up. Without
// --fresh the device lines are not applied, and the run says so.
TEST_F(RunnerTest, FreshKeepsThePhonesOwnOptions) {
  sim::DeviceOptions options;
  std::string error;
  ASSERT_TRUE(sim::parse_device_options({"--level", "30", "--res", tmp_.path("no-res")}, &options, &error));
  options.force = true;
  ASSERT_TRUE(sim::create_device(root(), options, &error)) << error;
  auto play = [&](const std::string& scenario, bool fresh) {
    sim::RunOptions o{root(), tmp_.path("f.scn"), tmp_.path("out"), tmp_.path("fake"), 30};
    o.fresh = fresh;
    EXPECT_TRUE(sim::write_file(o.program, "#!/bin/sh\nsleep 60\n"));
    chmod(o.program.c_str(), 0755);
    EXPECT_TRUE(sim::write_file(o.scenario, scenario));
    testing::internal::CaptureStdout();
    int status = sim::run_scenario(o);
    return std::make_pair(status, testing::internal::GetCapturedStdout());
  };
  const char* bat = "/sys/class/power_supply/battery/";
  auto [status, out] = play("device --temp 400\nwait 1\n", true);
  EXPECT_EQ(status, sim::kRunPassed);
  EXPECT_EQ(file(std::string(bat) + "capacity") + file(std::string(bat) + "temp"), "30\n400\n");
  std::tie(status, out) = play("wait 1\n", true);
  EXPECT_EQ(file(std::string(bat) + "capacity") + file(std::string(bat) + "temp"), "30\n250\n");
  std::tie(status, out) = play("device --level 80\nwait 1\n", false);
  EXPECT_EQ(file(std::string(bat) + "capacity"), "30\n");
  EXPECT_NE(out.find("device lines (--level 80) are not applied"), std::string::npos) << out;
}

}  // namespace
