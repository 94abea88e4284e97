// `lumo-sim soak`: charging mode for minutes or hours under a random but
// valid stream of events (sim/soak_model.h), with the program's invariants
// checked all along: it stays alive and in charging mode (no restart, no
// boot), its memory, descriptors and threads do not grow after the warm-up,
// its battery record follows the events, the battery LED and the charging
// screen match that record, and a lit screen is drawn. The same seed plays
// the same stream. Drives the phone only through sim/phone.h, as scenario
// steps do. Single-threaded.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct SoakOptions {
  std::string root;     // device root, (re)made for the soak
  std::string out_dir;  // log, program output, failure screenshot; "" = ROOT-out
  std::string program;  // "" = the lumoboot of this build
  int minutes = 1;
  uint64_t seed = 1;
  int warmup_s = 60;    // figures may grow until then
  bool quiet = false;   // no progress lines
};

// Growth allowed after the warm-up over the highest figure seen in it, on
// top of the pictures the program decodes the first time it draws them (its
// log says how large): heap pages the allocator keeps after decodes and
// other first-time work (a 30-minute run stepped up by 268 kB of anonymous
// memory at 9 minutes and stayed flat after), code pages of paths first
// taken late; a sysfs file open at the moment of the sample. Threads may not
// grow at all.
constexpr long long kSoakRssSlackKb = 2048;
constexpr int kSoakFdSlack = 2;
constexpr int kSoakThreadSlack = 0;
// Pictures the program can decode: its charging-screen table and the start-up logo.
constexpr int kSoakMaxPictures = 37;
// A figure must stay above its limit in this many checks in a row to fail.
constexpr int kSoakGrowthChecks = 3;

// 0 when every invariant held, 1 when one failed (what and when on standard
// error, the log and a screenshot in the output folder), 2 for a bad root or
// a phone the soak could not drive, 3 at the global time limit.
int run_soak(const SoakOptions& options);

}  // namespace sim
