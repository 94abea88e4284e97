#include "sim/process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/files.h"

namespace sim {
namespace {

// The running program's process group, for the signal handlers; 0 when none.
volatile sig_atomic_t g_child_pgid = 0;

void kill_child_and_exit(int sig) {
  pid_t pgid = static_cast<pid_t>(g_child_pgid);
  if (pgid > 0) kill(-pgid, SIGKILL);
  static const char kStopped[] = "lumo-sim: stopped; lumoboot killed\n";
  static const char kTimeout[] = "lumo-sim: global time limit reached; lumoboot killed\n";
  bool timeout = sig == SIGALRM;
  ssize_t ignored = write(STDERR_FILENO, timeout ? kTimeout : kStopped,
                          timeout ? sizeof(kTimeout) - 1 : sizeof(kStopped) - 1);
  (void)ignored;
  _exit(timeout ? 3 : 128 + sig);
}

}  // namespace

void install_signal_handlers() {
  struct sigaction sa = {};
  sa.sa_handler = kill_child_and_exit;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM}) sigaction(sig, &sa, nullptr);
  // A write to an input FIFO whose reader has gone must not end lumo-sim.
  signal(SIGPIPE, SIG_IGN);
}

std::string describe_status(int status) {
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

bool ProgramProcess::start(const std::string& program, const std::string& root,
                           const std::string& output_file, std::string* error, RootMode mode) {
  if (running()) {
    *error = "lumoboot is already running";
    return false;
  }
  if (access(program.c_str(), X_OK) != 0) {
    *error = "cannot run the program " + program;
    return false;
  }
  std::string root_env = "LUMO_ROOT=" + (mode == RootMode::kRelative ? std::string(".") : root);
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid < 0) {
    *error = std::string("fork failed: ") + strerror(errno);
    return false;
  }
  if (pid == 0) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int out = open(output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (in >= 0) dup2(in, STDIN_FILENO);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    // The program gets the three standard descriptors, no strays.
    if (in > STDERR_FILENO) close(in);
    if (out > STDERR_FILENO) close(out);
    if (mode == RootMode::kUnset) {
      unsetenv("LUMO_ROOT");
    } else {
      putenv(root_env.data());
    }
    if (mode == RootMode::kRelative && chdir(root.c_str()) != 0) _exit(126);
    signal(SIGPIPE, SIG_DFL);
    execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  setpgid(pid, pid);  // here too: whichever of the two runs first
  pid_ = pid;
  ended_ = false;
  abnormal_ = false;
  status_ = 0;
  g_child_pgid = pid;
  return true;
}

void ProgramProcess::collected(int status) {
  ended_ = true;
  status_ = status;
  abnormal_ = !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  g_child_pgid = 0;
}

void ProgramProcess::poll() {
  if (!running()) return;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) == pid_) {
    collected(status);
    kill(-pid_, SIGKILL);  // nothing of the group may stay behind
  }
}

void ProgramProcess::stop() {
  if (!running()) return;
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  int64_t limit = monotonic_ms() + 5000;
  while (running() && monotonic_ms() < limit) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      collected(status);
      abnormal_ = false;  // killed on purpose
    } else {
      sleep_ms(2);
    }
  }
  g_child_pgid = 0;
}

}  // namespace sim
