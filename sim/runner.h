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

#include <memory>
#include <string>

#include "sim/phone.h"
#include "sim/scenario.h"

namespace sim {

struct RunOptions {
  std::string root;      // device root
  std::string scenario;  // scenario file
  std::string out_dir;   // screenshots, log copy, program output; "" = ROOT-out
  std::string program;   // "" = the lumoboot of this build
  int timeout_s = 120;   // global time limit
  bool fresh = false;    // (re)create the root from the scenario's device lines first
  bool quiet = false;    // no progress lines
  // The virtual phone instead of a device root: `root` is then the machine's
  // run folder (sockets, console log), `vm_image` the folder with vmlinuz and
  // initramfs.cpio.gz (vm/build.sh's output).
  bool vm = false;
  std::string vm_image;
};

// The file in the output folder that names the scenario played there.
constexpr const char* kScenarioNameFile = "scenario";

// Exit statuses of `run`.
constexpr int kRunPassed = 0;
constexpr int kRunFailed = 1;     // an expectation failed
constexpr int kRunError = 2;      // bad scenario, bad root, a step that could not be done
constexpr int kRunTimedOut = 3;   // the global time limit

int run_scenario(const RunOptions& options);

// Plays single steps on a phone, outside a scenario file: the live server's
// controls go through the very code of `run`'s steps. No time limit; an
// ended program makes steps that need it fail with a note of how it ended.
// Single-threaded, like the phone.
class StepPlayer {
 public:
  StepPlayer(Phone* phone, const std::string& out_dir);
  ~StepPlayer();
  StepPlayer(const StepPlayer&) = delete;
  StepPlayer& operator=(const StepPlayer&) = delete;

  // kRunPassed, or kRunFailed / kRunError with `message`.
  int play(const Step& step, std::string* message);
  // init's part (the boot animation answer) and the watch on the log; call often.
  void service();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The first line of a sanitizer report in the program's output, "" when none.
std::string sanitizer_report(const std::string& output);

// The lumoboot binary of this build.
std::string default_program();

}  // namespace sim
