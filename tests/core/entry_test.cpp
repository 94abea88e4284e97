// The real binary: every root that resolves to "/" is refused before
// anything is touched, also without root privileges; a person at a terminal
// sees why a run stops; a stray signal of the timer service's number, sent to
// the whole program, does not end it (only the timers' notifier threads may
// take that signal).
#include <gtest/gtest.h>
#include <pty.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "sim/process.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;

struct Outcome {
  int status = -1;
  std::string output;
};

// Reads `fd` until end of file, or until nothing came for 10 s.
std::string drain(int fd) {
  std::string out;
  char buf[512];
  for (pollfd p = {fd, POLLIN, 0}; poll(&p, 1, 10000) > 0;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

int reap(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

enum class Via { kPipe, kPipeAsNobody, kTerminal };

// Runs lumoboot with LUMO_ROOT=`root` from `dir`, its standard error and
// output captured through a pipe (as nobody when asked) or a terminal.
Outcome run(const std::string& root, const std::string& dir, Via via) {
  int fds[2] = {-1, -1};
  pid_t pid = -1;
  if (via == Via::kTerminal) {
    pid = forkpty(&fds[0], nullptr, nullptr, nullptr);
  } else if (pipe(fds) == 0) {
    pid = fork();
  }
  if (pid < 0) return {};
  if (pid == 0) {
    if (via != Via::kTerminal) {
      dup2(fds[1], STDERR_FILENO);
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
    }
    if (chdir(dir.c_str()) != 0) _exit(126);
    setenv("LUMO_ROOT", root.c_str(), 1);
    unsetenv("LUMO_LOG_STDERR");
    if (via == Via::kPipeAsNobody) {
      execl("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", LUMOBOOT_BINARY,
            static_cast<char*>(nullptr));
    } else {
      execl(LUMOBOOT_BINARY, "lumoboot", static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  if (fds[1] >= 0) close(fds[1]);
  Outcome outcome;
  outcome.output = drain(fds[0]);
  close(fds[0]);
  outcome.status = reap(pid);
  return outcome;
}

TEST(Entry, RootsThatResolveToSlashAreRefusedAGoodOneRunsAndLogsToATerminal) {
  DeviceRoot base;
  base.mkdir("/deep/er");
  chmod(base.dir().c_str(), 0755);  // nobody may look through it too
  symlink("/", (base.dir() + "/slash").c_str());
  const std::string cwd = base.dir() + "/deep/er";
  std::string climb;
  for (char c : cwd) climb += c == '/' ? "../" : "";
  const std::vector<std::string> roots = {"/", "/.", "//", "/tmp/../..", climb, climb + "..", base.dir() + "/slash"};
  const bool can_drop = geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0;
  for (bool as_nobody : {false, true}) {
    if (as_nobody && !can_drop) continue;
    for (const std::string& root : roots) {
      Outcome o = run(root, cwd, as_nobody ? Via::kPipeAsNobody : Via::kPipe);
      EXPECT_EQ(o.status, 2) << root << (as_nobody ? " as nobody" : "") << ": " << o.output;
      EXPECT_NE(o.output.find("lumoboot: LUMO_ROOT '" + root + "' resolves to \"/\", the machine's own root; refused."),
                std::string::npos)
          << root << ": " << o.output;
    }
  }
  // A good root still runs (here: it finds its run-once mark and stops). Its
  // log goes to a terminal, and into a pipe only when asked for.
  base.set_property("ro.lumoboot.running", "1");
  Outcome piped = run(base.dir() + "/deep/..", cwd, Via::kPipe);
  EXPECT_EQ(piped.status, 0);
  EXPECT_EQ(piped.output, "");
  EXPECT_TRUE(base.log_contains("Lumo boot only run once."));
  Outcome terminal = run(base.dir(), cwd, Via::kTerminal);
  EXPECT_EQ(terminal.status, 0);
  EXPECT_NE(terminal.output.find("E/lumo("), std::string::npos) << terminal.output;
  EXPECT_NE(terminal.output.find("): Lumo boot only run once."), std::string::npos) << terminal.output;
}

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
