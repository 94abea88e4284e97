// The program as a child process of lumo-sim: started in its own process
// group with LUMO_ROOT set, its output sent to a file, and killed with its
// whole group when the owner is done with it, when lumo-sim is stopped by a
// signal, or (parent-death signal) when lumo-sim dies. One at a time.
#pragma once

#include <string>
#include <sys/types.h>

namespace sim {

// How the program learns its device root: LUMO_ROOT set to the root's
// absolute path (as always), left unset, or "." with the root as the working
// directory.
enum class RootMode { kAbsolute, kUnset, kRelative };

class ProgramProcess {
 public:
  ProgramProcess() = default;
  ~ProgramProcess() { stop(); }
  ProgramProcess(const ProgramProcess&) = delete;
  ProgramProcess& operator=(const ProgramProcess&) = delete;

  // Starts `program` with LUMO_ROOT=`root`, standard output and error
  // appended to `output_file`.
  bool start(const std::string& program, const std::string& root, const std::string& output_file,
             std::string* error, RootMode mode = RootMode::kAbsolute);
  // Notices an ended program (without blocking).
  void poll();
  // Kills the process group and collects the program (bounded wait).
  void stop();

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  bool running() const { return pid_ > 0 && !ended_; }
  bool ended() const { return ended_; }
  // True when the program ended by a signal or with a status other than 0.
  bool abnormal() const { return ended_ && abnormal_; }
  int status() const { return status_; }

 private:
  void collected(int status);

  pid_t pid_ = -1;
  bool ended_ = false;
  bool abnormal_ = false;
  int status_ = 0;
};

// SIGINT, SIGTERM, SIGHUP and SIGALRM kill the running program's group and end
// lumo-sim (SIGALRM, the global time limit, with status 3); SIGPIPE is
// ignored.
void install_signal_handlers();

// "exited with status N" / "was killed by signal N".
std::string describe_status(int status);

}  // namespace sim
