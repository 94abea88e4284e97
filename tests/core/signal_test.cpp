// A stray signal of the timer service's number, sent to the whole program,
// neither ends it nor disturbs it.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>

#include "tests/support/phone.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::ProgramRun;

// The program's process id, from the "P/lumo(PID): " prefix of its log.
pid_t programPid(const DeviceRoot& root) {
  for (const auto& line : root.log_lines()) {
    size_t open = line.find('(');
    if (open != std::string::npos) return static_cast<pid_t>(atoi(line.c_str() + open + 1));
  }
  return -1;
}

TEST(ProgramSignals, StrayTimerSignalIsHarmless) {
  DeviceRoot root;
  lumo_test::make_phone(root);
  root.set_property("init.svc.bootanim", "running");
  ProgramRun run(root);
  ASSERT_TRUE(run.wait_log("after decrease_cpu0_freq"));
  pid_t pid = programPid(root);
  ASSERT_GT(pid, 0);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(kill(pid, SIGRTMIN + 3), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(run.running());
  // Still in charge: the power key boots Android as usual.
  lumo_test::send_key(root, 116, 1);
  EXPECT_TRUE(run.wait_log("Start android user 1 mode.", 10000));
  EXPECT_EQ(run.wait_exit(20000), 0);
}

}  // namespace
