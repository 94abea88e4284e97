// `lumo-sim measure`: figures of one charging session, printed, not judged:
// time from start to the first frame and to the start-up decision, peak
// memory of the program, and its thread wake-ups per minute while the screen
// is dark and nothing happens (the goal is zero).
#pragma once

#include <string>
#include <vector>

namespace sim {

struct MeasureOptions {
  std::string root;
  std::string program;  // "" = the lumoboot of this build
  int idle_s = 10;      // length of the dark, quiet interval measured
  std::vector<std::string> device_args;  // create options on top of the defaults
};

// Builds a fresh phone at `root` (a lumo-sim root or a new folder), runs one
// session and prints the figures. 0, or 2 when the session could not be run.
int measure_session(const MeasureOptions& options);

// Context switches (voluntary + involuntary) of every thread of `pid`, by
// thread id; empty when the process is gone.
struct ThreadSwitches {
  int tid = 0;
  std::string name;
  long long switches = 0;
};
std::vector<ThreadSwitches> read_thread_switches(int pid);

}  // namespace sim
