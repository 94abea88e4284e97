// A stray signal of the timer service's number, sent to the whole program,
// does not end it: only the timers' notifier threads may take that signal.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>

#include "sim/process.h"
#include "tests/support/device_root.h"

namespace {

TEST(ProgramSignals, StrayTimerSignalIsHarmless) {
  lumo_test::DeviceRoot root;
  root.make_phone();  // started by the charger: the program stays in charging mode
  sim::ProgramProcess program;
  std::string error;
  ASSERT_TRUE(program.start(LUMOBOOT_BINARY, root.dir(), root.dir() + "/output.txt", &error)) << error;
  ASSERT_TRUE(lumo_test::wait_until([&] { return root.log_contains("after decrease_cpu0_freq"); }, 10000));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(kill(program.pid(), SIGRTMIN + 3), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  program.poll();
  EXPECT_TRUE(program.running()) << sim::describe_status(program.status());
  program.stop();
}

}  // namespace
