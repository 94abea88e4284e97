#include "sim/runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <linux/input.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/image.h"
#include "sim/log_times.h"
#include "sim/phone.h"
#include "sim/scenario.h"
#include "sim/vm_phone.h"

#ifndef LUMO_SIM_SOURCE_DIR
#define LUMO_SIM_SOURCE_DIR "."
#endif
#ifndef LUMO_SIM_PROGRAM
#define LUMO_SIM_PROGRAM "lumoboot"
#endif

namespace sim {
namespace {

constexpr int kPollMs = 5;
constexpr int kDeviceWaitMs = 5000;  // for the program's socket and input node

struct Outcome {
  int status = kRunPassed;
  std::string message;
  static Outcome ok() { return {}; }
  static Outcome failed(std::string m) { return {kRunFailed, std::move(m)}; }
  static Outcome error(std::string m) { return {kRunError, std::move(m)}; }
};

std::string quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

class Runner {
 public:
  Runner(const RunOptions& options, Scenario scenario, Phone* phone)
      : options_(options), scenario_(std::move(scenario)), phone_(*phone) {}

  int run();
  // One step outside a scenario file (the live server): no time limit, and
  // an end of the program is news, not a failure of the next step.
  void begin_steps();
  Outcome play_step(const Step& step);
  bool tick() { return service(); }

 private:
  // One kind of expectation: the condition, the message when it does not
  // hold, and whether it must stay false instead of becoming true.
  struct Check {
    StepKind kind;
    bool negative;
    bool (Runner::*holds)(const Step&);
    std::string (Runner::*failure)(const Step&);
  };
  static const Check kChecks[];

  bool running() const { return phone_.started() && !phone_.ended(); }
  // The program ended by a signal, or with a status no "expect exit" names.
  bool abnormal() const;
  // Init's part and the watch on the program; false when the run must stop
  // (global time limit, or the program ended abnormally).
  bool service();
  bool pause(int ms);
  // Polls `condition` until it holds or `ms` pass; always tests at least once.
  bool wait_for(int ms, const std::function<bool()>& condition);
  Outcome interrupted() const;
  // A step that could not be done: the interruption if there was one, else `message`.
  Outcome step_error(const std::string& message) const;

  Outcome play(const Step& step);
  Outcome start(const Step& step);
  Outcome send_uevent(const std::vector<std::string>& texts);
  Outcome supply_uevent(const std::string& supply);
  Outcome write_input(const std::vector<InputEvent>& events);
  Outcome key(const Step& step);
  Outcome screenshot(const Step& step);
  Outcome set_property(const Step& step);
  Outcome write(const Step& step);
  Outcome expect(const Step& step);

  // Conditions and failure messages of the expectations.
  bool log_has(const Step& step);
  bool log_in_order(const Step& step);
  bool property_is(const Step& step) { return phone_.property(step.name) == step.text; }
  bool rebooted_with(const Step& step);
  bool rebooted(const Step&) { return !new_reboot_lines().empty(); }
  bool exited(const Step& step);
  bool ended(const Step&) { return phone_.ended(); }
  bool output_has(const Step& step) { return phone_.output().find(step.text) != std::string::npos; }
  bool backlight_is(const Step& step) { return backlight() == step.number; }
  bool led_is(const Step& step);
  bool file_holds(const Step& step);
  bool screen_is(const Step& step);
  bool alarm_is(const Step& step);
  std::string no_log(const Step& step);
  std::string unexpected_log(const Step& step);
  std::string log_out_of_order(const Step& step);
  std::string unexpected_order(const Step& step);
  std::string wrong_property(const Step& step);
  std::string no_reboot_line(const Step& step);
  std::string unexpected_reboot(const Step& step);
  std::string not_exited(const Step& step);
  std::string program_ended(const Step& step);
  std::string no_output(const Step& step);
  std::string wrong_backlight(const Step& step);
  std::string wrong_led(const Step& step);
  std::string wrong_file(const Step& step);
  std::string wrong_screen(const Step& step);
  std::string wrong_alarm(const Step& step);

  std::vector<std::string> new_log_texts() const;
  std::vector<std::string> new_reboot_lines() const;
  int backlight() const { return static_cast<int>(phone_.light_color("backlight") & 0xff); }
  static std::string within(const Step& step) { return " within " + std::to_string(step.duration_ms) + " ms"; }
  static std::string match(const Step& step) { return step.contains ? "containing " : ""; }
  std::string log_tail() const;
  void progress(const Step& step) const;
  // Notes (once) that the program ended during the step at `line`, and says so.
  void note_end(int line);
  // Why an ended program ended, in words; "" while it runs.
  std::string end_note() const;
  void finish();

  RunOptions options_;
  Scenario scenario_;
  Phone& phone_;
  bool timed_out_ = false;
  int64_t started_ms_ = monotonic_ms();
  int64_t deadline_ms_ = 0;
  size_t log_cursor_ = 0;
  size_t reboot_base_ = 0;
  int screenshots_ = 0;
  bool bootanim_answered_ = false;
  int end_line_ = -1;  // line of the step during which the program ended (0: the implicit start); -1 while it runs
  LogTimes log_times_{monotonic_ms()};
  int64_t log_times_ms_ = 0;  // when log_times_ was last brought up to date
  std::string detail_;  // what the last screen or order check saw
  Image reference_;     // "expect screen moving": the first page seen
};

const Runner::Check Runner::kChecks[] = {
    {StepKind::kExpectLog, false, &Runner::log_has, &Runner::no_log},
    {StepKind::kExpectNoLog, true, &Runner::log_has, &Runner::unexpected_log},
    {StepKind::kExpectLogOrder, false, &Runner::log_in_order, &Runner::log_out_of_order},
    {StepKind::kExpectNoLogOrder, true, &Runner::log_in_order, &Runner::unexpected_order},
    {StepKind::kExpectProperty, false, &Runner::property_is, &Runner::wrong_property},
    {StepKind::kExpectReboot, false, &Runner::rebooted_with, &Runner::no_reboot_line},
    {StepKind::kExpectNoReboot, true, &Runner::rebooted, &Runner::unexpected_reboot},
    {StepKind::kExpectExit, false, &Runner::exited, &Runner::not_exited},
    {StepKind::kExpectRunning, true, &Runner::ended, &Runner::program_ended},
    {StepKind::kExpectOutput, false, &Runner::output_has, &Runner::no_output},
    {StepKind::kExpectBacklight, false, &Runner::backlight_is, &Runner::wrong_backlight},
    {StepKind::kExpectLed, false, &Runner::led_is, &Runner::wrong_led},
    {StepKind::kExpectFile, false, &Runner::file_holds, &Runner::wrong_file},
    {StepKind::kExpectScreen, false, &Runner::screen_is, &Runner::wrong_screen},
    {StepKind::kExpectAlarm, false, &Runner::alarm_is, &Runner::wrong_alarm},
};

bool Runner::abnormal() const {
  if (!phone_.ended()) return false;
  int status = phone_.wait_status();
  if (!WIFEXITED(status)) return true;
  int code = WEXITSTATUS(status);
  const std::vector<int>& allowed = scenario_.exit_statuses;
  return code != 0 && std::find(allowed.begin(), allowed.end(), code) == allowed.end();
}

bool Runner::service() {
  phone_.poll();
  if (phone_.started() && !bootanim_answered_ && phone_.property("sys.boot.android") == "1") {
    // init starts the boot animation when the program hands the boot over.
    bootanim_answered_ = phone_.set_property("init.svc.bootanim", "running");
  }
  if (monotonic_ms() - log_times_ms_ >= 20) {
    log_times_ms_ = monotonic_ms();
    log_times_.update(phone_.log_lines().size(), log_times_ms_);
  }
  if (monotonic_ms() > deadline_ms_) timed_out_ = true;
  return !timed_out_ && !abnormal();
}

bool Runner::pause(int ms) {
  int64_t until = monotonic_ms() + ms;
  while (monotonic_ms() < until) {
    if (!service()) return false;
    sleep_ms(static_cast<int>(std::min<int64_t>(kPollMs, until - monotonic_ms())));
  }
  return service();
}

bool Runner::wait_for(int ms, const std::function<bool()>& condition) {
  int64_t until = monotonic_ms() + ms;
  for (;;) {
    if (!service()) return false;
    if (condition()) return true;
    if (monotonic_ms() >= until) return false;
    sleep_ms(kPollMs);
  }
}

Outcome Runner::interrupted() const {
  if (timed_out_) {
    return {kRunTimedOut, "the global time limit of " + std::to_string(options_.timeout_s) +
                              " s was reached"};
  }
  if (abnormal()) return Outcome::failed("lumoboot " + describe_status(phone_.wait_status()));
  return Outcome::ok();
}

Outcome Runner::step_error(const std::string& message) const {
  Outcome stop = interrupted();
  return stop.status != kRunPassed ? stop : Outcome::error(message);
}

Outcome Runner::start(const Step& step) {
  bootanim_answered_ = false;
  end_line_ = -1;
  std::string error;
  return phone_.start(step.name, &error) ? Outcome::ok() : Outcome::error(error);
}

Outcome Runner::send_uevent(const std::vector<std::string>& texts) {
  std::string datagram = uevent_datagram(texts);
  int err = 0;
  bool done = wait_for(kDeviceWaitMs, [&] { return !running() || (err = phone_.send_uevent(datagram)) == 0; });
  if (done && err == 0 && running()) return Outcome::ok();
  if (done) return step_error("cannot send the uevent: lumoboot is not running");
  return step_error("the program's uevent socket did not take the event within " +
                    std::to_string(kDeviceWaitMs) + " ms (" + strerror(err) + ")");
}

Outcome Runner::supply_uevent(const std::string& supply) {
  if (!running() || phone_.kernel_sends_uevents()) return Outcome::ok();  // files prepared before the start
  return send_uevent(supply_uevent_texts(supply));
}

Outcome Runner::write_input(const std::vector<InputEvent>& events) {
  if (!running()) return Outcome::error("key events need a running lumoboot");
  int err = 0;
  wait_for(kDeviceWaitMs, [&] { return (err = phone_.write_input(events)) != ENXIO || !running(); });
  if (err == 0) return Outcome::ok();
  return step_error(std::string("cannot write input events: ") +
                    (err == ENXIO ? "the program has not opened its input device" : strerror(err)));
}

Outcome Runner::key(const Step& step) {
  int code = static_cast<int>(step.number);
  auto event = [&](int value) { return write_input({{EV_KEY, code, value}, {EV_SYN, SYN_REPORT, 0}}); };
  if (step.name == "down") return event(1);
  if (step.name == "up") return event(0);
  Outcome down = event(1);
  if (down.status != kRunPassed) return down;
  if (step.extra > 0 && !pause(static_cast<int>(step.extra))) return interrupted();
  return event(0);
}

Outcome Runner::screenshot(const Step& step) {
  char name[160];
  snprintf(name, sizeof(name), "%02d-%s.png", ++screenshots_, step.name.c_str());
  std::string path = join_path(options_.out_dir, name);
  std::string error;
  Image shot;
  if (!phone_.screenshot(&shot, &error) || !write_png(path, shot, &error)) {
    return Outcome::error("screenshot: " + error);
  }
  if (!options_.quiet) printf("          -> %s\n", path.c_str());
  return Outcome::ok();
}

Outcome Runner::set_property(const Step& step) {
  std::string value, error;
  if (!expand_time(step.text, phone_.clock_ms(), &value, &error)) return Outcome::error(error);
  if (!phone_.set_property(step.name, value)) {
    return Outcome::error("cannot set property " + step.name + " (bad key or value over 91 bytes)");
  }
  return Outcome::ok();
}

Outcome Runner::write(const Step& step) {
  std::string value, error;
  if (!expand_time(step.text, phone_.clock_ms(), &value, &error)) return Outcome::error(error);
  if (!phone_.write_file(step.name, value)) return Outcome::error("cannot write " + step.name);
  return Outcome::ok();
}

std::vector<std::string> Runner::new_log_texts() const {
  std::vector<std::string> lines = phone_.log_lines();
  std::vector<std::string> texts;
  for (size_t i = std::min(log_cursor_, lines.size()); i < lines.size(); ++i) {
    texts.push_back(log_text(lines[i]));
  }
  return texts;
}

std::vector<std::string> Runner::new_reboot_lines() const {
  std::vector<std::string> lines = phone_.reboot_lines();
  lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(reboot_base_, lines.size())));
  return lines;
}

std::string Runner::log_tail() const {
  std::vector<std::string> lines = phone_.log_lines();
  size_t from = lines.size() > 12 ? lines.size() - 12 : 0;
  std::string out = "  last log lines:\n";
  if (lines.empty()) out += "    (the log is empty)\n";
  for (size_t i = from; i < lines.size(); ++i) out += "    " + lines[i] + "\n";
  return out;
}

bool Runner::log_has(const Step& step) {
  for (const std::string& t : new_log_texts()) {
    if (step.contains ? t.find(step.text) != std::string::npos : t == step.text) return true;
  }
  return false;
}

bool Runner::log_in_order(const Step& step) {
  size_t next = matched_in_order(new_log_texts(), step.args);
  detail_ = next < step.args.size() ? step.args[next] : "";
  return next == step.args.size();
}

bool Runner::rebooted_with(const Step& step) {
  std::vector<std::string> lines = new_reboot_lines();
  return std::find(lines.begin(), lines.end(), step.text) != lines.end();
}

bool Runner::exited(const Step& step) {
  int status = phone_.wait_status();
  return phone_.ended() && WIFEXITED(status) && WEXITSTATUS(status) == step.number;
}

bool Runner::led_is(const Step& step) {
  uint32_t c = phone_.light_color("battery");
  return step.number == 0 ? (c & 0xffffffu) == 0 : c == static_cast<uint32_t>(step.number);
}

bool Runner::file_holds(const Step& step) {
  std::optional<std::string> content = phone_.read_file(step.name);
  if (!content) return false;
  std::string text = trim_sysfs(*content);
  return step.contains ? text.find(step.text) != std::string::npos : text == step.text;
}

bool Runner::screen_is(const Step& step) {
  Image page;
  FrameInfo info;
  if (!phone_.visible_page(&page, &info, &detail_)) return false;
  if (step.name == "logo") {
    return logo_shown(page, phone_.read_file("/initlogo.rle"), phone_.read_file("/initlogo.png"), &detail_);
  }
  if (step.name == "moving") {
    // The first look is the reference; true once a later one differs.
    if (reference_.pixels.empty()) return reference_ = page, detail_ = "the screen did not change", false;
    return page.pixels != reference_.pixels;
  }
  bool any = std::any_of(page.pixels.begin(), page.pixels.end(), [](uint32_t p) { return (p & 0xffffffu) != 0; });
  detail_ = any ? "the screen shows something" : "the screen is black";
  return step.name == "drawn" ? any : !any;
}

bool Runner::alarm_is(const Step& step) {
  int64_t now_s = 0, alarm_s = 0;
  bool armed = false;
  if (!phone_.rtc_alarm(&now_s, &alarm_s, &armed, &detail_)) return false;
  char text[120];
  snprintf(text, sizeof(text), "the alarm is %s, %lld s from the clock's %lld", armed ? "armed" : "off",
           static_cast<long long>(alarm_s - now_s), static_cast<long long>(now_s));
  detail_ = text;
  if (step.name == "off") return !armed;
  int64_t off_ms = (alarm_s - now_s) * 1000 - step.number;
  return armed && off_ms <= step.extra && -off_ms <= step.extra;
}

std::string Runner::no_log(const Step& step) {
  return "no log line " + match(step) + quote(step.text) + within(step) + "\n" + log_tail();
}

std::string Runner::unexpected_log(const Step& step) {
  return "unexpected log line " + match(step) + quote(step.text) + "\n" + log_tail();
}

std::string Runner::log_out_of_order(const Step& step) {
  return "the log lines did not come in order" + within(step) + ": no " + quote(detail_) +
         " after the ones before it\n" + log_tail();
}

std::string Runner::unexpected_order(const Step& step) {
  std::string texts;
  for (const std::string& t : step.args) texts += (texts.empty() ? "" : ", ") + quote(t);
  return "unexpected log lines in this order: " + texts + "\n" + log_tail();
}

std::string Runner::wrong_property(const Step& step) {
  std::optional<std::string> value = phone_.property(step.name);
  std::string is = value ? "is " + quote(*value) : "cannot be read (the phone does not answer)";
  return "property " + step.name + " " + is + ", not " + quote(step.text) + within(step);
}

std::string Runner::no_reboot_line(const Step& step) {
  std::vector<std::string> lines = new_reboot_lines();
  return "no reboot line " + quote(step.text) + within(step) + " (dev/reboot has " +
         (lines.empty() ? std::string("nothing") : quote(lines.back())) + ")\n" + log_tail();
}

std::string Runner::unexpected_reboot(const Step&) {
  return "unexpected reboot " + quote(new_reboot_lines().back()) + "\n" + log_tail();
}

std::string Runner::not_exited(const Step& step) {
  if (!phone_.ended()) return "lumoboot still runs" + within(step) + "\n" + log_tail();
  return "lumoboot " + describe_status(phone_.wait_status()) + ", not with status " + std::to_string(step.number);
}

std::string Runner::program_ended(const Step&) {
  return "lumoboot " + describe_status(phone_.wait_status()) + "\n" + log_tail();
}

std::string Runner::no_output(const Step& step) {
  return "the program's output has no " + quote(step.text) + within(step) + ": " + quote(phone_.output());
}

std::string Runner::wrong_backlight(const Step& step) {
  return "backlight is " + std::to_string(backlight()) + ", not " + std::to_string(step.number) + within(step);
}

std::string Runner::wrong_led(const Step& step) {
  char text[120];
  snprintf(text, sizeof(text), "battery LED is %08x, not %s", phone_.light_color("battery"), step.name.c_str());
  return text + within(step);
}

std::string Runner::wrong_file(const Step& step) {
  std::optional<std::string> content = phone_.read_file(step.name);
  return step.name + (content ? " holds " + quote(trim_sysfs(*content)) : " does not exist") + ", expected " +
         match(step) + quote(step.text) + within(step);
}

std::string Runner::wrong_alarm(const Step& step) {
  return "the real-time clock's alarm is not as expected" + within(step) + ": " + detail_;
}

std::string Runner::wrong_screen(const Step& step) {
  return "screen is not " + step.name + within(step) + ": " + detail_;
}

Outcome Runner::expect(const Step& step) {
  const Check* check = nullptr;
  for (const Check& c : kChecks) {
    if (c.kind == step.kind) check = &c;
  }
  if (check == nullptr) return Outcome::error("not an expectation");
  if ((step.kind == StepKind::kExpectExit || step.kind == StepKind::kExpectRunning) && !phone_.started()) {
    return Outcome::error("lumoboot was never started");
  }
  reference_ = Image();
  if (step.kind == StepKind::kExpectAlarm) {
    int64_t a, b;
    bool armed;
    std::string why;
    if (!phone_.rtc_alarm(&a, &b, &armed, &why)) return step_error(why);
  }
  // Once the program has ended nothing changes the phone any more: a
  // positive check is looked at once more and not waited for.
  bool gave_up = false;
  bool seen = wait_for(step.duration_ms, [&] {
    if ((this->*check->holds)(step)) return true;
    gave_up = !check->negative && phone_.ended();
    return gave_up;
  });
  if (gave_up) seen = false;
  if (seen != check->negative) return Outcome::ok();
  // A positive check that waited in vain may have been cut short by the
  // time limit or an abnormal end: that is the news then.
  Outcome stop = seen ? Outcome::ok() : interrupted();
  return stop.status != kRunPassed ? stop : Outcome::failed((this->*check->failure)(step));
}

Outcome Runner::play(const Step& step) {
  std::string word = step.kind == StepKind::kUevent ? "uevent"
                     : step.kind == StepKind::kInput ? "input"
                     : step.kind == StepKind::kStart ? step.name
                                                     : "";
  if (!word.empty()) {
    if (std::string why = phone_.unsupported(word); !why.empty()) return Outcome::error(why);
  }
  switch (step.kind) {
    case StepKind::kStart: return start(step);
    case StepKind::kBattery:
      if (!phone_.write_battery(step.battery)) return Outcome::error("cannot write the battery files");
      return supply_uevent("battery");
    case StepKind::kPlug:
    case StepKind::kUnplug:
      if (!phone_.set_charger(step.name, step.kind == StepKind::kPlug)) {
        return Outcome::error("cannot write the power-supply files");
      }
      return supply_uevent(step.name);
    case StepKind::kKey: return key(step);
    case StepKind::kInput:
      return write_input({{static_cast<int>(step.number), static_cast<int>(step.code), static_cast<int>(step.extra)},
                          {EV_SYN, SYN_REPORT, 0}});
    case StepKind::kWait: return pause(static_cast<int>(step.number)) ? Outcome::ok() : interrupted();
    case StepKind::kScreenshot: return screenshot(step);
    case StepKind::kSetProperty: return set_property(step);
    case StepKind::kWrite: return write(step);
    case StepKind::kRemove:
      if (int err = phone_.remove_file(step.name); err != 0) {
        return Outcome::error("cannot remove " + step.name + ": " + strerror(err));
      }
      return Outcome::ok();
    case StepKind::kUevent:
      if (!running()) return Outcome::error("uevent needs a running lumoboot");
      return send_uevent(step.args);
    case StepKind::kMark:
      log_cursor_ = phone_.log_lines().size();
      return Outcome::ok();
    default: return expect(step);
  }
}

void Runner::progress(const Step& step) const {
  if (options_.quiet) return;
  std::string source = step.source;
  size_t first = source.find_first_not_of(" \t");
  source = first == std::string::npos ? "" : source.substr(first);
  printf("[%7.2fs] %4d  %s\n", (monotonic_ms() - started_ms_) / 1000.0, step.line, source.c_str());
  fflush(stdout);
}

}  // namespace

std::string sanitizer_report(const std::string& output) {
  for (const char* marker : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                             "ERROR: LeakSanitizer", "runtime error:"}) {
    size_t at = output.find(marker);
    if (at == std::string::npos) continue;
    size_t line_end = output.find('\n', at);
    return output.substr(at, line_end == std::string::npos ? std::string::npos : line_end - at);
  }
  return "";
}

namespace {

constexpr const char* kRunOnceLine = "Lumo boot only run once.";

std::string Runner::end_note() const {
  if (!phone_.ended()) return "";
  std::string note = "lumoboot " + describe_status(phone_.wait_status());
  if (end_line_ > 0) note += " during line " + std::to_string(end_line_);
  if (end_line_ == 0) note += " right after its start";
  std::vector<std::string> texts = new_log_texts();
  if (std::find(texts.begin(), texts.end(), kRunOnceLine) != texts.end()) {
    note += ": it refused to run because the phone's run-once mark (property ro.lumoboot.running) is set "
            "by an earlier run; clear it with 'lumo-sim reset DIR', or start from a new phone with --fresh";
  }
  return note;
}

void Runner::note_end(int line) {
  phone_.poll();
  if (!phone_.ended() || end_line_ >= 0) return;
  end_line_ = line;
  if (!options_.quiet) {
    printf("          -> %s\n", end_note().c_str());
    fflush(stdout);
  }
}

void Runner::finish() {
  phone_.stop();
  phone_.collect(options_.out_dir);
  // The copy of the log carries the time each line was first seen, from the
  // start of the run (lines of earlier runs have none).
  std::vector<std::string> lines = phone_.log_lines();
  log_times_.update(lines.size(), monotonic_ms());
  write_file(join_path(options_.out_dir, "lumoboot.log"), timed_log_text(lines, log_times_));
}

void Runner::begin_steps() {
  deadline_ms_ = INT64_MAX / 2;
  log_cursor_ = phone_.log_lines().size();
  reboot_base_ = phone_.reboot_lines().size();
  log_times_.skip(log_cursor_);
}

Outcome Runner::play_step(const Step& step) {
  Outcome outcome = play(step);
  phone_.poll();
  if (outcome.status != kRunPassed && phone_.ended()) outcome.message += " (" + end_note() + ")";
  return outcome;
}

int Runner::run() {
  deadline_ms_ = started_ms_ + static_cast<int64_t>(options_.timeout_s) * 1000;
  log_cursor_ = phone_.log_lines().size();
  reboot_base_ = phone_.reboot_lines().size();
  log_times_.skip(log_cursor_);
  Step implicit;
  implicit.kind = StepKind::kStart;
  implicit.source = "start  (implicit)";
  std::vector<Step> steps = scenario_.steps;
  if (!scenario_.has_start) steps.insert(steps.begin(), implicit);

  for (const Step& step : steps) {
    progress(step);
    Outcome outcome = play(step);
    if (outcome.status == kRunPassed && !service()) outcome = interrupted();
    note_end(step.line);
    // A step that failed against a program that had ended says so.
    if (outcome.status != kRunPassed && phone_.ended() && outcome.message.rfind("lumoboot ", 0) != 0) {
      outcome.message += "\n  (" + end_note() + ")";
    }
    if (outcome.status != kRunPassed) {
      const char* what = outcome.status == kRunFailed ? "FAILED" : outcome.status == kRunTimedOut ? "TIMED OUT" : "ERROR";
      fprintf(stderr, "%s:%d: %s: %s\n", scenario_.file.c_str(), step.line, what, outcome.message.c_str());
      finish();
      return outcome.status;
    }
  }
  finish();
  // A sanitized program reports some faults without ending (data races).
  std::string report = sanitizer_report(phone_.output());
  if (!report.empty()) {
    fprintf(stderr, "%s: FAILED: lumoboot reported \"%s\" (see %s)\n", scenario_.file.c_str(),
            report.c_str(), join_path(options_.out_dir, "lumoboot.out").c_str());
    return kRunFailed;
  }
  if (!options_.quiet) {
    printf("lumo-sim: %s passed (%zu steps, %.1f s); output in %s\n", scenario_.file.c_str(),
           scenario_.steps.size(), (monotonic_ms() - started_ms_) / 1000.0, options_.out_dir.c_str());
  }
  return kRunPassed;
}

}  // namespace

struct StepPlayer::Impl {
  Impl(const RunOptions& options, Phone* phone) : runner(options, Scenario{}, phone) {}
  Runner runner;
};

StepPlayer::StepPlayer(Phone* phone, const std::string& out_dir) {
  RunOptions options;
  options.out_dir = out_dir;
  options.quiet = true;
  impl_ = std::make_unique<Impl>(options, phone);
  impl_->runner.begin_steps();
}

StepPlayer::~StepPlayer() = default;

int StepPlayer::play(const Step& step, std::string* message) {
  Outcome outcome = impl_->runner.play_step(step);
  *message = outcome.message;
  return outcome.status;
}

void StepPlayer::service() { impl_->runner.tick(); }

std::string default_program() { return LUMO_SIM_PROGRAM; }

namespace {

std::string join_args(const std::vector<std::string>& args) {
  std::string out;
  for (const std::string& a : args) out += (out.empty() ? "" : " ") + a;
  return out;
}

// Rebuilds the phone from the options it was made with (`kept`), the
// scenario's device lines on top. The phone keeps only its own options, so
// that a scenario's lines never pile up over repeated runs.
bool recreate(const std::string& root, const std::vector<std::string>& kept,
              const std::vector<std::string>& scenario_args, std::string* error) {
  DeviceOptions device_options;
  if (!parse_device_options(kept, &device_options, error)) return false;
  std::vector<std::string> own = device_options.kept_args;
  if (!parse_device_options(scenario_args, &device_options, error)) return false;
  device_options.kept_args = own;
  device_options.force = true;
  return create_device(root, device_options, error);
}

// Resolves the paths, (re)creates the root when asked, and checks that it is
// a root lumo-sim made. False with the message printed.
bool prepare(const Scenario& scenario, RunOptions* options) {
  std::string error;
  options->root = absolute_path(options->root);
  if (options->root == "/") {
    fprintf(stderr, "lumo-sim: refusing to use / as a device root\n");
    return false;
  }
  if (options->out_dir.empty()) options->out_dir = options->root + "-out";
  options->out_dir = absolute_path(options->out_dir);
  if (options->vm) {
    if (options->vm_image.empty()) options->vm_image = LUMO_SIM_SOURCE_DIR "/build-vm";
    options->vm_image = absolute_path(options->vm_image);
    for (const char* name : {"vmlinuz", "initramfs.cpio.gz"}) {
      if (access(join_path(options->vm_image, name).c_str(), R_OK) != 0) {
        fprintf(stderr, "lumo-sim: no %s in %s (build it with vm/build.sh --program ...)\n", name,
                options->vm_image.c_str());
        return false;
      }
    }
    if (!make_dirs(options->root) || !make_dirs(options->out_dir)) {
      fprintf(stderr, "lumo-sim: cannot create %s or %s\n", options->root.c_str(), options->out_dir.c_str());
      return false;
    }
    return true;
  }
  Device device(options->root);
  std::vector<std::string> kept = kept_device_args(device.read(std::string("/") + kDeviceMarker));
  if (options->fresh && !recreate(options->root, kept, scenario.device_args, &error)) {
    fprintf(stderr, "lumo-sim: %s\n", error.c_str());
    return false;
  }
  if (!options->fresh && !scenario.device_args.empty() && !options->quiet) {
    printf("lumo-sim: note: the scenario's device lines (%s) are not applied to an existing phone; "
           "--fresh rebuilds it with them\n", join_args(scenario.device_args).c_str());
  }
  if (!device.is_device_root()) {
    fprintf(stderr, "lumo-sim: %s is not a device root made by lumo-sim (use lumo-sim create, or --fresh)\n",
            options->root.c_str());
    return false;
  }
  // The scenario's name beside its screenshots, for the contact sheet's title.
  if (!make_dirs(options->out_dir) ||
      !write_file(join_path(options->out_dir, kScenarioNameFile), base_name(scenario.file) + "\n")) {
    fprintf(stderr, "lumo-sim: cannot create %s\n", options->out_dir.c_str());
    return false;
  }
  return true;
}

}  // namespace

int run_scenario(const RunOptions& options_in) {
  RunOptions options = options_in;
  Scenario scenario;
  std::string error;
  if (!load_scenario(options.scenario, &scenario, &error)) {
    fprintf(stderr, "lumo-sim: %s\n", error.c_str());
    return kRunError;
  }
  if (!prepare(scenario, &options)) return kRunError;
  UniqueFd lock;  // the virtual phone's run folder is no device root: QEMU holds its sockets
  if (!options.vm && !lock_device_root(options.root, &lock, &error)) {
    fprintf(stderr, "lumo-sim: %s\n", error.c_str());
    return kRunError;
  }
  install_signal_handlers();
  alarm(static_cast<unsigned>(options.timeout_s) + 10);  // backstop for a stuck step
  int status;
  if (options.vm) {
    VmOptions vm;
    vm.vm_dir = LUMO_SIM_SOURCE_DIR "/vm";
    vm.kernel = join_path(options.vm_image, "vmlinuz");
    vm.initrd = join_path(options.vm_image, "initramfs.cpio.gz");
    vm.run_dir = options.root;
    vm.device_args = scenario.device_args;
    VmPhone phone(vm);
    Runner runner(options, std::move(scenario), &phone);
    status = runner.run();
  } else {
    HostPhone phone(options.root, options.program.empty() ? default_program() : absolute_path(options.program),
                    join_path(options.out_dir, "lumoboot.out"));
    Runner runner(options, std::move(scenario), &phone);
    status = runner.run();
  }
  alarm(0);
  return status;
}

}  // namespace sim
