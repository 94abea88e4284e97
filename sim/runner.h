// Plays a scenario against the program: starts lumoboot in its own process
// group with LUMO_ROOT set to the device root, plays the kernel (power-supply
// files and uevents, input events) and init ("init.svc.bootanim" once
// "sys.boot.android" is 1), checks expectations, takes screenshots.
//
// Every wait has a limit, and a global time limit covers the whole run. The
// program never outlives the run: its process group is killed at the end, on
// every failure, when lumo-sim receives SIGINT/SIGTERM/SIGHUP, and (through
// the parent-death signal) when lumo-sim itself is killed. Single-threaded.
#pragma once

#include <string>

namespace sim {

struct RunOptions {
  std::string root;      // device root
  std::string scenario;  // scenario file
  std::string out_dir;   // screenshots, log copy, program output; "" = ROOT-out
  std::string program;   // "" = the lumoboot of this build
  int timeout_s = 120;   // global time limit
  bool fresh = false;    // (re)create the root from the scenario's device lines first
  bool quiet = false;    // no progress lines
};

// Exit statuses of `run`.
constexpr int kRunPassed = 0;
constexpr int kRunFailed = 1;     // an expectation failed
constexpr int kRunError = 2;      // bad scenario, bad root, a step that could not be done
constexpr int kRunTimedOut = 3;   // the global time limit

int run_scenario(const RunOptions& options);

// The first line of a sanitizer report in the program's output, "" when none.
std::string sanitizer_report(const std::string& output);

// The lumoboot binary of this build.
std::string default_program();

}  // namespace sim
