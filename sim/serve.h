// `lumo-sim serve`: the phone live in a web page. An HTTP server bound to
// 127.0.0.1 starts lumoboot in the device root (as `run` does: it owns the
// program's process group and plays init's part) and serves one page: the
// visible screen as a PNG (the screenshot, dimmed by the backlight), re-sent
// only when it changed; the battery LED, backlight, screen state, battery
// record and the last log lines with the time each appeared; and controls.
//
// Every control is a scenario step played by the runner's own code
// (StepPlayer): the page sends step lines ("key press power hold 500",
// "unplug usb", "battery level=30"), checked by the scenario parser before
// anything happens; a bad one gets 400 and changes nothing. Only the steps a
// person at the phone could do are taken (key, plug, unplug, battery); the
// alarm and the restart are steps too, composed here.
//
// Threads: the phone, its program and the player belong to the main thread;
// the HTTP library's threads hand it one command at a time and read a
// snapshot of the state under a lock. Ctrl-C (and SIGTERM, SIGHUP) kill the
// program's group and end lumo-sim, as for `run`.
#pragma once

#include <string>

#include "sim/scenario.h"

namespace sim {

struct ServeOptions {
  std::string root;
  int port = 0;         // 0: any free port
  std::string program;  // "" = the lumoboot of this build
  std::string out_dir;  // the program's output file; "" = ROOT-out
  bool reset = true;    // clear what earlier runs left before starting
};

// Serves until lumo-sim is stopped. 2 when it cannot start.
int serve_phone(const ServeOptions& options);

// The longest key hold a control may ask for.
constexpr int kMaxHoldMs = 10000;

// The steps the page may play.
constexpr const char* kControlVerbs = "key, plug, unplug, battery";

// Parses one control line into a step; false with a message for a line the
// parser refuses or a step that is not a control.
bool parse_control_step(const std::string& line, Step* step, std::string* error);

// `text` as a JSON string (quotes, escapes, control bytes as \u00XX).
std::string json_string(const std::string& text);

}  // namespace sim
