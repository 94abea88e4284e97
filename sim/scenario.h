// Scenario files: one step a line (a line ending in '\' goes on on the next),
// '#' comments, blank lines, double-quoted texts (with \" \\ \n \t escapes). `parse_scenario` turns a file into steps
// and checks every step, number and name before anything runs, so that a
// mistake is reported with its line number and nothing is half played.
// Pure functions, no I/O except reading the file in `load_scenario`.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/device.h"

namespace sim {

enum class StepKind {
  kDevice,          // device OPTIONS...            (create options, before other steps)
  kStart,           // start [without-root|relative-root]
  kBattery,         // battery FIELD=VALUE...
  kPlug,            // plug [ac|usb]
  kUnplug,          // unplug [ac|usb]
  kKey,             // key down|up|press CODE [hold MS]
  kInput,           // input TYPE CODE VALUE        (one raw event record, then EV_SYN)
  kWait,            // wait MS
  kScreenshot,      // screenshot NAME
  kSetProperty,     // set property KEY VALUE
  kWrite,           // write PATH TEXT
  kRemove,          // remove PATH
  kUevent,          // uevent ACTION@DEVPATH [KEY=VALUE...]
  kMark,            // mark
  kExpectLog,       // expect log [contains] TEXT [within MS]
  kExpectLogOrder,  // expect log order TEXT TEXT... [within MS]
  kExpectNoLog,     // expect no log [contains] TEXT [for MS]
  kExpectNoLogOrder,  // expect no log order TEXT TEXT... [for MS]
  kExpectProperty,  // expect property KEY VALUE [within MS]
  kExpectReboot,    // expect reboot LINE [within MS]
  kExpectNoReboot,  // expect no reboot [for MS]
  kExpectExit,      // expect exit [STATUS] [within MS]
  kExpectOutput,    // expect output TEXT [within MS]
  kExpectRunning,   // expect running [for MS]
  kExpectBacklight, // expect backlight N [within MS]
  kExpectLed,       // expect led red|green|off|AARRGGBB [within MS]
  kExpectFile,      // expect file PATH [contains] TEXT [within MS]
  kExpectScreen,    // expect screen logo|drawn|black [within MS]
  kExpectAlarm,     // expect alarm off|in MS [by MS] [within MS]  (the real-time clock's alarm)
};

constexpr int kDefaultWithinMs = 5000;
constexpr int64_t kMaxDurationMs = 3600 * 1000;           // waits and time limits: one hour
constexpr int64_t kMaxTimeOffsetMs = 100000LL * 86400000;  // {now+MS}: about 270 years

struct Step {
  StepKind kind = StepKind::kStart;
  int line = 0;
  std::string source;             // the line as written, for messages
  std::vector<std::string> args;  // device options; uevent texts; log texts in order
  std::string name;               // key/property/path/screenshot name/key action/supply/start mode
  std::string text;               // expected or written text, property value
  int64_t number = 0;             // key code, level, colour, ms to wait, exit status
  int64_t extra = 0;              // key hold ms; input value
  int64_t code = 0;               // input code
  int duration_ms = 0;            // within / for
  bool contains = false;          // substring instead of whole-text match
  BatteryFields battery;
};

struct Scenario {
  std::string file;
  std::vector<Step> steps;
  std::vector<std::string> device_args;  // all "device" lines, in order
  bool has_start = false;                // a "start" step: no implicit start
  std::vector<int> exit_statuses;        // statuses other than 0 that "expect exit" names
};

// Parses scenario text. On error returns false and sets `error` to
// "FILE:LINE: message".
bool parse_scenario(const std::string& text, const std::string& file, Scenario* scenario,
                    std::string* error);
// Reads and parses a scenario file.
bool load_scenario(const std::string& path, Scenario* scenario, std::string* error);

struct Word {
  std::string text;
  bool quoted = false;
};

// Splits a line into words at blanks; double-quoted parts of a word keep
// their blanks (and may be empty); `quoted` marks a word that begins with a
// quote. '#' at the start of a word ends the line. False on an open quote.
bool split_words(const std::string& line, std::vector<Word>* words, std::string* error);

// Expands "{now}", "{now+MS}" and "{now-MS}" with the wall clock `now_ms`.
bool expand_time(const std::string& text, int64_t now_ms, std::string* out, std::string* error);

// "500", "500ms" or "2s" as milliseconds.
bool parse_duration(const std::string& text, int* ms);
// The steps, one or two lines each, for `lumo-sim help`.
const char* scenario_steps_help();

// A key code: a number (decimal or 0x hex) or a name such as power or end.
bool parse_key_code(const std::string& text, int64_t* code);

}  // namespace sim
