#include "sim/runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <linux/input.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/image.h"
#include "sim/process.h"
#include "sim/scenario.h"

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
  Runner(const RunOptions& options, Scenario scenario)
      : options_(options), scenario_(std::move(scenario)), device_(options.root) {}

  int run();

 private:
  Outcome start_program();
  bool running() const { return program_.running(); }
  // Init's part and the watch on the program; false when the run must stop
  // (global time limit, or the program ended abnormally).
  bool service();
  bool pause(int ms);
  // Polls `condition` until it holds or `ms` pass; always tests at least once.
  bool wait_for(int ms, const std::function<bool()>& condition);
  Outcome interrupted() const;

  Outcome play(const Step& step);
  Outcome send_uevent(const std::vector<std::string>& texts);
  Outcome supply_uevent(const std::string& supply);
  Outcome write_input(const std::vector<input_event>& events);
  Outcome key(const Step& step);
  Outcome screenshot(const Step& step);
  Outcome expect(const Step& step);

  std::vector<std::string> new_log_texts() const;
  // A sanitizer report in the program's output of this run, "" when none.
  std::string sanitizer_report() const;
  std::string log_tail() const;
  void progress(const Step& step) const;
  void finish();

  RunOptions options_;
  Scenario scenario_;
  Device device_;
  ProgramProcess program_;
  bool timed_out_ = false;
  int64_t started_ms_ = monotonic_ms();
  int64_t deadline_ms_ = 0;
  size_t log_cursor_ = 0;
  size_t reboot_base_ = 0;
  size_t output_base_ = 0;
  int screenshots_ = 0;
  bool bootanim_answered_ = false;
};

Outcome Runner::start_program() {
  std::string program = options_.program.empty() ? default_program() : options_.program;
  // A socket left by an earlier run would look like a live one.
  unlink(device_.path("/dev/socket/uevent").c_str());
  bootanim_answered_ = false;
  std::string error;
  if (!program_.start(program, device_.root(), join_path(options_.out_dir, "lumoboot.out"), &error)) {
    return Outcome::error(error);
  }
  return Outcome::ok();
}

bool Runner::service() {
  program_.poll();
  if (program_.started() && !bootanim_answered_ && device_.property("sys.boot.android") == "1") {
    // init starts the boot animation when the program hands the boot over.
    bootanim_answered_ = device_.set_property("init.svc.bootanim", "running");
  }
  if (monotonic_ms() > deadline_ms_) timed_out_ = true;
  return !timed_out_ && !program_.abnormal();
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
  if (program_.abnormal()) return Outcome::failed("lumoboot " + describe_status(program_.status()));
  return Outcome::ok();
}

Outcome Runner::send_uevent(const std::vector<std::string>& texts) {
  std::string datagram;
  for (const std::string& t : texts) {
    datagram += t;
    datagram.push_back('\0');
  }
  std::string path = device_.path("/dev/socket/uevent");
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Outcome::error(std::string("socket: ") + strerror(errno));
  // A deep root does not fit sun_path: address the socket through its folder.
  int dir_fd = -1;
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  if (path.size() < sizeof(addr.sun_path)) {
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
  } else {
    dir_fd = open(device_.path("/dev/socket").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    snprintf(addr.sun_path, sizeof(addr.sun_path), "/proc/self/fd/%d/uevent", dir_fd);
  }
  bool sent = false;
  int last_errno = 0;
  wait_for(kDeviceWaitMs, [&] {
    if (!running()) return true;
    if (sendto(fd, datagram.data(), datagram.size(), MSG_DONTWAIT,
               reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) ==
        static_cast<ssize_t>(datagram.size())) {
      sent = true;
      return true;
    }
    last_errno = errno;
    return false;
  });
  close(fd);
  if (dir_fd >= 0) close(dir_fd);
  if (sent) return Outcome::ok();
  Outcome stop = interrupted();
  if (stop.status != kRunPassed) return stop;
  if (!running()) return Outcome::error("cannot send the uevent: lumoboot is not running");
  return Outcome::error("the program's uevent socket did not take the event within " +
                        std::to_string(kDeviceWaitMs) + " ms (" + strerror(last_errno) + ")");
}

Outcome Runner::supply_uevent(const std::string& supply) {
  if (!running()) return Outcome::ok();  // files prepared before the start
  std::string devpath = "/devices/platform/" + supply + "/power_supply/" + supply;
  return send_uevent({"change@" + devpath, "ACTION=change", "DEVPATH=" + devpath,
                      "SUBSYSTEM=power_supply", "POWER_SUPPLY_NAME=" + supply});
}

Outcome Runner::write_input(const std::vector<input_event>& events) {
  if (!running()) return Outcome::error("key events need a running lumoboot");
  std::string path = device_.path("/dev/input/event0");
  int fd = -1;
  wait_for(kDeviceWaitMs, [&] {
    // Opening for writing without blocking works once the program holds the
    // node open for reading.
    fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0 || errno != ENXIO || !running();
  });
  if (fd < 0) {
    Outcome stop = interrupted();
    if (stop.status != kRunPassed) return stop;
    return Outcome::error("cannot write to " + path + ": " +
                          (errno == ENXIO ? "the program has not opened it" : strerror(errno)));
  }
  size_t bytes = events.size() * sizeof(input_event);
  ssize_t n = write(fd, events.data(), bytes);
  close(fd);
  if (n != static_cast<ssize_t>(bytes)) return Outcome::error("short write to " + path);
  return Outcome::ok();
}

input_event make_event(int type, int code, int value) {
  input_event ev;
  memset(&ev, 0, sizeof(ev));
  int64_t now = wall_ms();
  ev.input_event_sec = static_cast<decltype(ev.input_event_sec)>(now / 1000);
  ev.input_event_usec = static_cast<decltype(ev.input_event_usec)>((now % 1000) * 1000);
  ev.type = static_cast<uint16_t>(type);
  ev.code = static_cast<uint16_t>(code);
  ev.value = value;
  return ev;
}

Outcome Runner::key(const Step& step) {
  int code = static_cast<int>(step.number);
  auto event = [&](int value) {
    return write_input({make_event(EV_KEY, code, value), make_event(EV_SYN, SYN_REPORT, 0)});
  };
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
  if (!take_screenshot(device_, path, &error)) return Outcome::error("screenshot: " + error);
  if (!options_.quiet) printf("          -> %s\n", path.c_str());
  return Outcome::ok();
}

std::vector<std::string> Runner::new_log_texts() const {
  std::vector<std::string> lines = device_.log_lines();
  std::vector<std::string> texts;
  for (size_t i = std::min(log_cursor_, lines.size()); i < lines.size(); ++i) {
    texts.push_back(log_text(lines[i]));
  }
  return texts;
}

std::string Runner::log_tail() const {
  std::vector<std::string> lines = device_.log_lines();
  size_t from = lines.size() > 12 ? lines.size() - 12 : 0;
  std::string out = "  last log lines:\n";
  if (lines.empty()) out += "    (the log is empty)\n";
  for (size_t i = from; i < lines.size(); ++i) out += "    " + lines[i] + "\n";
  return out;
}

Outcome Runner::expect(const Step& step) {
  const int ms = step.duration_ms;
  auto log_has = [&] {
    for (const std::string& t : new_log_texts()) {
      if (step.contains ? t.find(step.text) != std::string::npos : t == step.text) return true;
    }
    return false;
  };
  auto reboot_lines = [&] {
    std::vector<std::string> lines = device_.reboot_lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<long>(std::min(reboot_base_, lines.size())));
    return lines;
  };
  const std::string within = " within " + std::to_string(ms) + " ms";
  const std::string match = step.contains ? "containing " : "";
  std::function<bool()> condition;
  std::function<std::string()> failure;
  bool negative = false;

  switch (step.kind) {
    case StepKind::kExpectLog:
      condition = log_has;
      failure = [&] { return "no log line " + match + quote(step.text) + within + "\n" + log_tail(); };
      break;
    case StepKind::kExpectNoLog:
      negative = true;
      condition = log_has;
      failure = [&] { return "unexpected log line " + match + quote(step.text) + "\n" + log_tail(); };
      break;
    case StepKind::kExpectProperty:
      condition = [&] { return device_.property(step.name) == step.text; };
      failure = [&] {
        return "property " + step.name + " is " + quote(device_.property(step.name)) + ", not " +
               quote(step.text) + within;
      };
      break;
    case StepKind::kExpectReboot:
      condition = [&] {
        for (const std::string& l : reboot_lines()) {
          if (l == step.text) return true;
        }
        return false;
      };
      failure = [&] {
        std::vector<std::string> lines = reboot_lines();
        return "no reboot line " + quote(step.text) + within + " (dev/reboot has " +
               (lines.empty() ? std::string("nothing") : quote(lines.back())) + ")\n" + log_tail();
      };
      break;
    case StepKind::kExpectNoReboot:
      negative = true;
      condition = [&] { return !reboot_lines().empty(); };
      failure = [&] { return "unexpected reboot " + quote(reboot_lines().back()) + "\n" + log_tail(); };
      break;
    case StepKind::kExpectExit:
      if (!program_.started()) return Outcome::error("expect exit: lumoboot was never started");
      condition = [&] { return program_.ended(); };
      failure = [&] { return "lumoboot still runs" + within + "\n" + log_tail(); };
      break;
    case StepKind::kExpectRunning:
      if (!program_.started()) return Outcome::error("expect running: lumoboot was never started");
      negative = true;
      condition = [&] { return program_.ended(); };
      failure = [&] { return "lumoboot " + describe_status(program_.status()) + "\n" + log_tail(); };
      break;
    case StepKind::kExpectBacklight:
      condition = [&] { return device_.backlight_level() == step.number; };
      failure = [&] {
        return "backlight is " + std::to_string(device_.backlight_level()) + ", not " +
               std::to_string(step.number) + within;
      };
      break;
    case StepKind::kExpectLed:
      condition = [&] {
        uint32_t c = device_.light_color("battery");
        return step.number == 0 ? (c & 0xffffffu) == 0 : c == static_cast<uint32_t>(step.number);
      };
      failure = [&] {
        char text[120];
        snprintf(text, sizeof(text), "battery LED is %08x, not %s", device_.light_color("battery"),
                 step.name.c_str());
        return text + within;
      };
      break;
    case StepKind::kExpectFile:
      condition = [&] {
        std::optional<std::string> content = read_file(device_.path(step.name));
        if (!content) return false;
        std::string text = trim_sysfs(*content);
        return step.contains ? text.find(step.text) != std::string::npos : text == step.text;
      };
      failure = [&] {
        std::optional<std::string> content = read_file(device_.path(step.name));
        return step.name + (content ? " holds " + quote(trim_sysfs(*content)) : " does not exist") +
               ", expected " + match + quote(step.text) + within;
      };
      break;
    case StepKind::kExpectScreen: {
      auto detail = std::make_shared<std::string>();
      condition = [&, detail] {
        if (step.name == "logo") return screen_shows_boot_logo(device_, detail.get());
        Image page;
        FrameInfo info;
        if (!read_visible_page(device_, &page, &info, detail.get())) return false;
        bool any = false;
        for (uint32_t p : page.pixels) any = any || (p & 0xffffffu) != 0;
        *detail = any ? "the screen shows something" : "the screen is black";
        return step.name == "drawn" ? any : !any;
      };
      failure = [&, detail] { return "screen is not " + step.name + within + ": " + *detail; };
      break;
    }
    default:
      return Outcome::error("not an expectation");
  }

  if (!negative) {
    if (wait_for(ms, condition)) return Outcome::ok();
    Outcome stop = interrupted();
    if (stop.status != kRunPassed) return stop;
    return Outcome::failed(failure());
  }
  // Negative: the condition must stay false for the whole time.
  bool seen = wait_for(ms, condition);
  if (seen) return Outcome::failed(failure());
  Outcome stop = interrupted();
  if (stop.status != kRunPassed) return stop;
  return Outcome::ok();
}

Outcome Runner::play(const Step& step) {
  switch (step.kind) {
    case StepKind::kStart: return start_program();
    case StepKind::kBattery:
      if (!device_.write_battery(step.battery)) return Outcome::error("cannot write the battery files");
      return supply_uevent("battery");
    case StepKind::kPlug:
    case StepKind::kUnplug:
      if (!device_.set_charger(step.name, step.kind == StepKind::kPlug)) {
        return Outcome::error("cannot write the power-supply files");
      }
      return supply_uevent(step.name);
    case StepKind::kKey: return key(step);
    case StepKind::kInput:
      return write_input({make_event(static_cast<int>(step.number), static_cast<int>(step.code),
                                     static_cast<int>(step.extra)),
                          make_event(EV_SYN, SYN_REPORT, 0)});
    case StepKind::kWait: return pause(static_cast<int>(step.number)) ? Outcome::ok() : interrupted();
    case StepKind::kScreenshot: return screenshot(step);
    case StepKind::kSetProperty: {
      std::string value, error;
      if (!expand_time(step.text, wall_ms(), &value, &error)) return Outcome::error(error);
      if (!device_.set_property(step.name, value)) {
        return Outcome::error("cannot set property " + step.name + " (bad key or value over 91 bytes)");
      }
      return Outcome::ok();
    }
    case StepKind::kWrite: {
      std::string value, error;
      if (!expand_time(step.text, wall_ms(), &value, &error)) return Outcome::error(error);
      if (!write_file(device_.path(step.name), value)) return Outcome::error("cannot write " + step.name);
      return Outcome::ok();
    }
    case StepKind::kRemove:
      if (::remove(device_.path(step.name).c_str()) != 0 && errno != ENOENT) {
        return Outcome::error("cannot remove " + step.name + ": " + strerror(errno));
      }
      return Outcome::ok();
    case StepKind::kUevent:
      if (!running()) return Outcome::error("uevent needs a running lumoboot");
      return send_uevent(step.args);
    case StepKind::kMark:
      log_cursor_ = device_.log_lines().size();
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

std::string Runner::sanitizer_report() const {
  std::string output = read_file(join_path(options_.out_dir, "lumoboot.out")).value_or("");
  if (output.size() <= output_base_) return "";
  output.erase(0, output_base_);
  for (const char* marker : {"WARNING: ThreadSanitizer", "ERROR: AddressSanitizer",
                             "ERROR: LeakSanitizer", "runtime error:"}) {
    size_t at = output.find(marker);
    if (at == std::string::npos) continue;
    size_t line_end = output.find('\n', at);
    return output.substr(at, line_end == std::string::npos ? std::string::npos : line_end - at);
  }
  return "";
}

void Runner::finish() {
  program_.stop();
  copy_file(device_.path("/dev/log/main"), join_path(options_.out_dir, "lumoboot.log"));
}

int Runner::run() {
  deadline_ms_ = started_ms_ + static_cast<int64_t>(options_.timeout_s) * 1000;
  log_cursor_ = device_.log_lines().size();
  reboot_base_ = device_.reboot_lines().size();
  output_base_ = read_file(join_path(options_.out_dir, "lumoboot.out")).value_or("").size();
  Step implicit;
  implicit.kind = StepKind::kStart;
  implicit.source = "start  (implicit)";
  std::vector<Step> steps = scenario_.steps;
  if (!scenario_.has_start) steps.insert(steps.begin(), implicit);

  for (const Step& step : steps) {
    progress(step);
    Outcome outcome = play(step);
    if (outcome.status == kRunPassed && !service()) outcome = interrupted();
    if (outcome.status != kRunPassed) {
      const char* what = outcome.status == kRunFailed ? "FAILED" : outcome.status == kRunTimedOut ? "TIMED OUT" : "ERROR";
      fprintf(stderr, "%s:%d: %s: %s\n", scenario_.file.c_str(), step.line, what, outcome.message.c_str());
      finish();
      return outcome.status;
    }
  }
  finish();
  // A sanitized program reports some faults without ending (data races).
  std::string report = sanitizer_report();
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

std::string default_program() { return LUMO_SIM_PROGRAM; }

int run_scenario(const RunOptions& options_in) {
  RunOptions options = options_in;
  Scenario scenario;
  std::string error;
  if (!load_scenario(options.scenario, &scenario, &error)) {
    fprintf(stderr, "lumo-sim: %s\n", error.c_str());
    return kRunError;
  }
  options.root = absolute_path(options.root);
  if (options.root == "/") {
    fprintf(stderr, "lumo-sim: refusing to use / as a device root\n");
    return kRunError;
  }
  if (options.out_dir.empty()) options.out_dir = options.root + "-out";
  options.out_dir = absolute_path(options.out_dir);
  if (options.fresh) {
    DeviceOptions device_options;
    device_options.force = true;
    if (!parse_device_options(scenario.device_args, &device_options, &error) ||
        !create_device(options.root, device_options, &error)) {
      fprintf(stderr, "lumo-sim: %s\n", error.c_str());
      return kRunError;
    }
  }
  Device device(options.root);
  if (!device.is_device_root()) {
    fprintf(stderr,
            "lumo-sim: %s is not a device root made by lumo-sim (use lumo-sim create, or --fresh)\n",
            options.root.c_str());
    return kRunError;
  }
  if (!make_dirs(options.out_dir)) {
    fprintf(stderr, "lumo-sim: cannot create %s\n", options.out_dir.c_str());
    return kRunError;
  }
  install_signal_handlers();
  alarm(static_cast<unsigned>(options.timeout_s) + 10);  // backstop for a stuck step
  int status;
  {
    Runner runner(options, std::move(scenario));
    status = runner.run();
  }
  alarm(0);
  return status;
}

}  // namespace sim
