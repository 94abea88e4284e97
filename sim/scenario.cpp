#include "sim/scenario.h"

#include <cstdlib>
#include <cstring>

#include "sim/files.h"
#include "sim/vm_phone.h"

namespace sim {
namespace {

struct KeyName {
  const char* name;
  int code;
};

constexpr KeyName kKeyNames[] = {
    {"power", 116}, {"end", 107},  {"volumeup", 115}, {"volumedown", 114}, {"home", 102},
    {"back", 158},  {"menu", 139}, {"up", 103},       {"down", 108},       {"camera", 212},
};

std::string key_names() {
  std::string names;
  for (const KeyName& k : kKeyNames) names += std::string(names.empty() ? "" : ", ") + k.name;
  return names;
}

bool valid_device_path(const std::string& path) {
  if (path.size() < 2 || path[0] != '/') return false;
  size_t pos = 1;
  while (pos <= path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(pos, slash - pos);
    if (part.empty() || part == "." || part == "..") return false;
    pos = slash + 1;
  }
  return true;
}

bool valid_name(const std::string& name) {
  if (name.empty() || name.size() > 100 || name[0] == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

// Parses one line's words into a step: a table of verbs, and a table of what
// "expect" can check. `fail` keeps the message.
class LineParser {
 public:
  LineParser(const std::vector<Word>& words, Step* step) : w_(words), step_(step) {}

  bool parse();
  const std::string& error() const { return error_; }

 private:
  using Rule = bool (LineParser::*)();
  struct Verb {
    const char* word;
    Rule rule;
  };

  bool fail(const std::string& message) {
    error_ = message;
    return false;
  }
  size_t size() const { return w_.size(); }
  const std::string& at(size_t i) const { return w_[i].text; }
  bool is(size_t i, const char* word) const { return i < w_.size() && !w_[i].quoted && w_[i].text == word; }
  bool usage(bool ok, const std::string& text) { return ok ? true : fail("usage: " + text); }
  bool parse_int_word(size_t i, int64_t lo, int64_t hi, int64_t* out, const char* what);
  bool device_path(size_t i);
  bool time_text(size_t i);
  // Takes a trailing "within MS" / "for MS" off the end into duration_ms.
  bool take_duration(int default_ms);
  // An optional "contains" at word i, then exactly one TEXT as the last word.
  bool text_at(size_t i, const char* usage_text);

  bool device();
  bool start();
  bool battery();
  bool battery_field(const std::string& word);
  bool plug();
  bool key();
  bool input();
  bool wait();
  bool screenshot();
  bool set_property();
  bool write();
  bool remove();
  bool uevent();
  bool mark();
  bool expect();

  bool expect_log();
  bool expect_reboot();
  bool expect_property();
  bool expect_exit();
  bool expect_output();
  bool expect_running();
  bool expect_backlight();
  bool expect_led();
  bool expect_file();
  bool expect_screen();
  bool expect_alarm();

  const std::vector<Word>& w_;
  Step* step_;
  size_t k_ = 1;     // in an expectation: the word that names what is expected
  size_t end_ = 0;   // words before a trailing "within/for MS"
  bool negative_ = false;
  std::string error_;
};

bool LineParser::parse_int_word(size_t i, int64_t lo, int64_t hi, int64_t* out, const char* what) {
  if (i >= size()) return fail(std::string("missing ") + what);
  if (!parse_int(at(i), out) || *out < lo || *out > hi) {
    return fail(std::string("bad ") + what + " '" + at(i) + "' (a whole number from " +
                std::to_string(lo) + " to " + std::to_string(hi) + ")");
  }
  return true;
}

bool LineParser::device_path(size_t i) {
  step_->name = at(i);
  return valid_device_path(step_->name) ? true : fail("bad device path '" + step_->name + "'");
}

bool LineParser::time_text(size_t i) {
  step_->text = at(i);
  std::string message, probe;
  return expand_time(step_->text, 0, &probe, &message) ? true : fail(message);
}

bool LineParser::take_duration(int default_ms) {
  step_->duration_ms = default_ms;
  end_ = size();
  if (size() >= 2 && (is(size() - 2, "within") || is(size() - 2, "for"))) {
    if (!parse_duration(at(size() - 1), &step_->duration_ms)) {
      return fail("bad duration '" + at(size() - 1) + "' (use 500, 500ms or 2s)");
    }
    end_ = size() - 2;
  }
  return true;
}

bool LineParser::text_at(size_t i, const char* usage_text) {
  if (is(i, "contains") && i + 1 < end_) {
    step_->contains = true;
    ++i;
  }
  if (end_ != i + 1) return usage(false, usage_text);
  step_->text = at(i);
  return true;
}

bool LineParser::device() {
  step_->kind = StepKind::kDevice;
  step_->args.clear();
  for (size_t i = 1; i < size(); ++i) step_->args.push_back(at(i));
  DeviceOptions probe;
  VmBoard board;
  std::vector<std::string> host_args;
  std::string message;
  return take_vm_options(step_->args, &host_args, &board, &message) &&
                 parse_device_options(host_args, &probe, &message)
             ? true
             : fail(message);
}

bool LineParser::start() {
  step_->kind = StepKind::kStart;
  if (size() == 2) step_->name = at(1);
  return usage(size() == 1 || (size() == 2 && (is(1, "without-root") || is(1, "relative-root"))),
               "start [without-root|relative-root]");
}

bool LineParser::battery_field(const std::string& word) {
  BatteryFields& f = step_->battery;
  struct IntField {
    const char* name;
    std::optional<int>* field;
  };
  const IntField ints[] = {
      {"level", &f.level},      {"voltage", &f.voltage_mv}, {"charger_voltage", &f.charger_voltage_mv},
      {"temp", &f.temperature}, {"current", &f.current},    {"present", &f.present},
      {"adapt", &f.adapt},      {"ac", &f.ac_online},       {"usb", &f.usb_online},
  };
  const std::pair<const char*, std::optional<std::string>*> texts[] = {
      {"status", &f.status}, {"health", &f.health}, {"technology", &f.technology}};
  size_t eq = word.find('=');
  if (eq == std::string::npos) return fail("battery field '" + word + "' has no '='");
  std::string key = word.substr(0, eq), value = word.substr(eq + 1);
  for (const IntField& field : ints) {
    if (key != field.name) continue;
    int v = 0;
    if (!parse_int(value, &v) || v < -10000000 || v > 10000000) {
      return fail("battery field " + key + " needs a whole number, not '" + value + "'");
    }
    return *field.field = v, true;
  }
  for (const auto& [name, field] : texts) {
    if (key == name) return *field = value, true;
  }
  return fail("unknown battery field '" + key +
              "' (level, status, health, voltage, charger_voltage, temp, current, present, "
              "technology, adapt, ac, usb)");
}

bool LineParser::battery() {
  step_->kind = StepKind::kBattery;
  if (size() < 2) return fail("usage: battery FIELD=VALUE... (level, status, health, voltage, ...)");
  for (size_t i = 1; i < size(); ++i) {
    if (!battery_field(at(i))) return false;
  }
  return true;
}

bool LineParser::plug() {
  step_->kind = at(0) == "plug" ? StepKind::kPlug : StepKind::kUnplug;
  step_->name = size() > 1 ? at(1) : "ac";
  return usage(size() <= 2 && (step_->name == "ac" || step_->name == "usb"), at(0) + " [ac|usb]");
}

bool LineParser::key() {
  step_->kind = StepKind::kKey;
  if (size() < 3 || (!is(1, "down") && !is(1, "up") && !is(1, "press"))) {
    return fail("usage: key down|up|press CODE [hold MS]");
  }
  step_->name = at(1);
  if (!parse_key_code(at(2), &step_->number)) {
    return fail("bad key code '" + at(2) + "' (a number from 0 to 65535 or 0x hex, or " + key_names() + ")");
  }
  if (size() == 3) return true;
  int hold = 0;
  if (size() != 5 || !is(3, "hold") || step_->name != "press" || !parse_duration(at(4), &hold)) {
    return fail("usage: key press CODE [hold MS]");
  }
  step_->extra = hold;
  return true;
}

bool LineParser::input() {
  step_->kind = StepKind::kInput;
  if (size() != 4) return fail("usage: input TYPE CODE VALUE");
  const std::string& type = at(1);
  step_->number = type == "syn" ? 0 : type == "key" ? 1 : type == "rel" ? 2 : type == "abs" ? 3 : -1;
  if (step_->number < 0 && !parse_int_word(1, 0, 0xffff, &step_->number, "event type")) return false;
  return parse_int_word(2, 0, 0xffff, &step_->code, "event code") &&
         parse_int_word(3, INT32_MIN, INT32_MAX, &step_->extra, "event value");
}

bool LineParser::wait() {
  step_->kind = StepKind::kWait;
  int ms = 0;
  if (size() != 2 || !parse_duration(at(1), &ms)) return fail("usage: wait MS (500, 500ms or 2s)");
  step_->number = ms;
  return true;
}

bool LineParser::screenshot() {
  step_->kind = StepKind::kScreenshot;
  if (size() != 2 || !valid_name(at(1))) return fail("usage: screenshot NAME (letters, digits, . _ -)");
  step_->name = at(1);
  return true;
}

bool LineParser::set_property() {
  step_->kind = StepKind::kSetProperty;
  if (size() != 4 || !is(1, "property")) return fail("usage: set property KEY VALUE");
  step_->name = at(2);
  return time_text(3);
}

bool LineParser::write() {
  step_->kind = StepKind::kWrite;
  return usage(size() == 3, "write PATH \"TEXT\"") && device_path(1) && time_text(2);
}

bool LineParser::remove() {
  step_->kind = StepKind::kRemove;
  return usage(size() == 2, "remove PATH") && device_path(1);
}

bool LineParser::uevent() {
  step_->kind = StepKind::kUevent;
  if (size() < 2 || at(1).find('@') == std::string::npos) {
    return fail("usage: uevent ACTION@DEVPATH [KEY=VALUE...]");
  }
  for (size_t i = 1; i < size(); ++i) step_->args.push_back(at(i));
  return true;
}

bool LineParser::mark() {
  step_->kind = StepKind::kMark;
  return usage(size() == 1, "mark");
}

bool LineParser::expect_log() {
  if (is(k_ + 1, "order")) {
    step_->kind = negative_ ? StepKind::kExpectNoLogOrder : StepKind::kExpectLogOrder;
    for (size_t i = k_ + 2; i < end_; ++i) step_->args.push_back(at(i));
    return usage(step_->args.size() >= 2, "expect [no] log order TEXT TEXT... [within|for MS]");
  }
  step_->kind = negative_ ? StepKind::kExpectNoLog : StepKind::kExpectLog;
  return text_at(k_ + 1, "expect [no] log [contains] \"TEXT\" [within MS]");
}

bool LineParser::expect_reboot() {
  step_->kind = negative_ ? StepKind::kExpectNoReboot : StepKind::kExpectReboot;
  if (negative_) return usage(end_ == k_ + 1, "expect no reboot [for MS]");
  if (end_ <= k_ + 1) return fail("usage: expect reboot LINE [within MS]");
  for (size_t i = k_ + 1; i < end_; ++i) step_->text += (i > k_ + 1 ? " " : "") + at(i);
  return true;
}

bool LineParser::expect_property() {
  step_->kind = StepKind::kExpectProperty;
  if (!usage(end_ == 4, "expect property KEY VALUE [within MS]")) return false;
  step_->name = at(2);
  step_->text = at(3);
  return true;
}

bool LineParser::expect_exit() {
  step_->kind = StepKind::kExpectExit;
  if (!usage(end_ == 2 || end_ == 3, "expect exit [STATUS] [within MS]")) return false;
  return end_ == 2 || parse_int_word(2, 0, 255, &step_->number, "exit status");
}

bool LineParser::expect_output() {
  step_->kind = StepKind::kExpectOutput;
  step_->contains = true;
  if (!usage(end_ == 3, "expect output \"TEXT\" [within MS]")) return false;
  step_->text = at(2);
  return true;
}

bool LineParser::expect_running() {
  step_->kind = StepKind::kExpectRunning;
  return usage(end_ == 2, "expect running [for MS]");
}

bool LineParser::expect_backlight() {
  step_->kind = StepKind::kExpectBacklight;
  return usage(end_ == 3, "expect backlight LEVEL [within MS]") &&
         parse_int_word(2, 0, 255, &step_->number, "backlight level");
}

bool LineParser::expect_led() {
  step_->kind = StepKind::kExpectLed;
  if (!usage(end_ == 3, "expect led red|green|off|AARRGGBB [within MS]")) return false;
  const std::string& c = step_->name = at(2);
  const std::pair<const char*, int64_t> names[] = {{"red", 0xffff0000}, {"green", 0xff00ff00}, {"off", 0}};
  for (const auto& [name, colour] : names) {
    if (c == name) return step_->number = colour, true;
  }
  char* stop = nullptr;
  unsigned long v = strtoul(c.c_str(), &stop, 16);
  if (c.size() != 8 || stop == nullptr || *stop != '\0') {
    return fail("bad LED colour '" + c + "' (red, green, off or 8 hex digits)");
  }
  step_->number = static_cast<int64_t>(v);
  return true;
}

bool LineParser::expect_file() {
  step_->kind = StepKind::kExpectFile;
  const char* usage_text = "expect file PATH [contains] \"TEXT\" [within MS]";
  return usage(end_ >= 4, usage_text) && device_path(2) && text_at(3, usage_text);
}

bool LineParser::expect_screen() {
  step_->kind = StepKind::kExpectScreen;
  if (!usage(end_ == 3, "expect screen logo|drawn|black|moving [within MS]")) return false;
  step_->name = at(2);
  if (step_->name != "logo" && step_->name != "drawn" && step_->name != "black" && step_->name != "moving") {
    return fail("expect screen takes logo, drawn, black or moving, not '" + step_->name + "'");
  }
  return true;
}

// "off", or "in MS [by MS]": armed MS after the clock's present time, give
// or take the second MS (default one minute).
bool LineParser::expect_alarm() {
  step_->kind = StepKind::kExpectAlarm;
  const char* usage_text = "expect alarm off|in MS [by MS] [within MS]";
  if (end_ == 3 && is(2, "off")) return step_->name = "off", true;
  if (!usage((end_ == 4 || end_ == 6) && is(2, "in") && (end_ == 4 || is(4, "by")), usage_text)) return false;
  int in_ms = 0, by_ms = 60000;
  if (!parse_duration(at(3), &in_ms) || (end_ == 6 && !parse_duration(at(5), &by_ms))) {
    return fail("bad duration in expect alarm (500, 500ms or 2s)");
  }
  step_->name = "in";
  step_->number = in_ms;
  step_->extra = by_ms;
  return true;
}

bool LineParser::expect() {
  static constexpr Verb kExpectations[] = {
      {"log", &LineParser::expect_log},         {"reboot", &LineParser::expect_reboot},
      {"property", &LineParser::expect_property}, {"exit", &LineParser::expect_exit},
      {"output", &LineParser::expect_output},   {"running", &LineParser::expect_running},
      {"backlight", &LineParser::expect_backlight}, {"led", &LineParser::expect_led},
      {"file", &LineParser::expect_file},       {"screen", &LineParser::expect_screen},
      {"alarm", &LineParser::expect_alarm},
  };
  if (size() < 2) return fail("usage: expect log|property|reboot|exit|output|backlight|led|file|screen|alarm ...");
  negative_ = is(1, "no");
  k_ = negative_ ? 2 : 1;
  if (k_ >= size()) return fail("usage: expect no log|reboot ...");
  const std::string what = at(k_);
  if (negative_ && what != "log" && what != "reboot") return fail("'expect no' takes log or reboot");
  if (!take_duration(negative_ || what == "running" ? 0 : kDefaultWithinMs)) return false;
  for (const Verb& e : kExpectations) {
    if (what == e.word) return (this->*e.rule)();
  }
  return fail("unknown expectation '" + what + "'");
}

bool LineParser::parse() {
  static constexpr Verb kVerbs[] = {
      {"device", &LineParser::device},     {"start", &LineParser::start},
      {"battery", &LineParser::battery},   {"plug", &LineParser::plug},
      {"unplug", &LineParser::plug},       {"key", &LineParser::key},
      {"input", &LineParser::input},       {"wait", &LineParser::wait},
      {"screenshot", &LineParser::screenshot}, {"set", &LineParser::set_property},
      {"write", &LineParser::write},       {"remove", &LineParser::remove},
      {"uevent", &LineParser::uevent},     {"mark", &LineParser::mark},
      {"expect", &LineParser::expect},
  };
  if (w_[0].quoted) return fail("a step begins with a word, not a quoted text");
  for (const Verb& v : kVerbs) {
    if (at(0) == v.word) return (this->*v.rule)();
  }
  std::string names;
  for (const Verb& v : kVerbs) names += std::string(names.empty() ? "" : ", ") + v.word;
  return fail("unknown step '" + at(0) + "' (steps: " + names + "; 'lumo-sim help' describes them)");
}

// The next logical line from `pos`: physical lines ending in '\' are joined
// (with a blank). `lines` counts the physical lines taken.
std::string next_line(const std::string& text, size_t* pos, int* lines) {
  std::string line;
  *lines = 0;
  while (*pos < text.size()) {
    size_t nl = text.find('\n', *pos);
    if (nl == std::string::npos) nl = text.size();
    std::string part = text.substr(*pos, nl - *pos);
    *pos = nl + 1;
    ++*lines;
    if (!part.empty() && part.back() == '\r') part.pop_back();
    if (part.empty() || part.back() != '\\') return line + part;
    part.back() = ' ';
    line += part;
  }
  return line;
}

// Adds one parsed step to the scenario; false with a message when it is out of place.
bool add_step(Step step, Scenario* out, std::string* message) {
  if (step.kind == StepKind::kDevice) {
    if (!out->steps.empty()) return *message = "device lines must come before every other step", false;
    out->device_args.insert(out->device_args.end(), step.args.begin(), step.args.end());
    return true;
  }
  if (step.kind == StepKind::kStart) out->has_start = true;
  if (step.kind == StepKind::kExpectExit && step.number != 0) {
    out->exit_statuses.push_back(static_cast<int>(step.number));
  }
  out->steps.push_back(std::move(step));
  return true;
}

}  // namespace

bool split_words(const std::string& line, std::vector<Word>* words, std::string* error) {
  words->clear();
  size_t i = 0;
  while (i < line.size()) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
      continue;
    }
    if (c == '#') break;
    Word word;
    word.quoted = c == '"';
    // A word runs to the next blank; quoted parts of it may hold blanks
    // (status="Not charging").
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
      char d = line[i++];
      if (d != '"') {
        word.text += d;
        continue;
      }
      bool closed = false;
      while (i < line.size()) {
        char e = line[i++];
        if (e == '"') {
          closed = true;
          break;
        }
        if (e == '\\' && i < line.size()) {
          char f = line[i++];
          word.text += f == 'n' ? '\n' : f == 't' ? '\t' : f;
        } else {
          word.text += e;
        }
      }
      if (!closed) {
        *error = "the quoted text is not closed";
        return false;
      }
    }
    words->push_back(std::move(word));
  }
  return true;
}

bool expand_time(const std::string& text, int64_t now_ms, std::string* out, std::string* error) {
  out->clear();
  size_t pos = 0;
  while (pos < text.size()) {
    size_t open = text.find("{now", pos);
    if (open == std::string::npos) {
      out->append(text, pos, std::string::npos);
      break;
    }
    out->append(text, pos, open - pos);
    size_t close = text.find('}', open);
    if (close == std::string::npos) {
      *error = "'{now' without '}' in '" + text + "'";
      return false;
    }
    std::string inner = text.substr(open + 4, close - open - 4);
    int64_t offset = 0;
    if (!inner.empty() && (inner[0] != '+' && inner[0] != '-')) {
      *error = "bad time '{now" + inner + "}' (use {now}, {now+MS} or {now-MS})";
      return false;
    }
    if (!inner.empty() && !parse_int(inner, &offset)) {
      *error = "bad time '{now" + inner + "}' (use {now}, {now+MS} or {now-MS})";
      return false;
    }
    // Bounded so that now + offset cannot overflow for any wall clock.
    if (offset > kMaxTimeOffsetMs || offset < -kMaxTimeOffsetMs) {
      *error = "time offset '{now" + inner + "}' is out of range (at most " +
               std::to_string(kMaxTimeOffsetMs) + " ms either way)";
      return false;
    }
    out->append(std::to_string(now_ms + offset));
    pos = close + 1;
  }
  return true;
}

bool parse_duration(const std::string& text, int* ms) {
  std::string digits = text;
  int64_t scale = 1;
  if (digits.size() > 2 && digits.compare(digits.size() - 2, 2, "ms") == 0) {
    digits.resize(digits.size() - 2);
  } else if (digits.size() > 1 && digits.back() == 's') {
    digits.pop_back();
    scale = 1000;
  }
  int64_t v;
  // Compared before the multiply: a huge count must not overflow into range.
  if (!parse_int(digits, &v) || v < 0 || v > kMaxDurationMs / scale) return false;
  *ms = static_cast<int>(v * scale);
  return true;
}

const char* scenario_steps_help() {
  return "  device OPTIONS...               create options for --fresh (before other steps)\n"
         "  start [without-root|relative-root]   start lumoboot (again after it ended)\n"
         "  battery FIELD=VALUE...          level status health voltage charger_voltage temp current\n"
         "                                  present technology adapt ac usb; then one uevent\n"
         "  plug [ac|usb]  unplug [ac|usb]  a charger on or off line (default ac), one uevent\n"
         "  key down|up|press CODE [hold MS]   CODE: a number or power (116, boots Android),\n"
         "                                  end (107, the screen key), volumeup, volumedown, home,\n"
         "                                  back, menu, up, down, camera; press = down, up at once\n"
         "  input TYPE CODE VALUE           one raw input event and EV_SYN\n"
         "  wait MS                         500, 500ms or 2s\n"
         "  screenshot NAME                 OUTDIR/NN-NAME.png\n"
         "  set property KEY VALUE          {now}, {now+MS}, {now-MS}: wall-clock ms\n"
         "  write PATH TEXT   remove PATH   a file of the phone\n"
         "  uevent ACTION@DEVPATH [KEY=VALUE...]   one raw uevent\n"
         "  mark                            later 'expect log' steps look after this point\n"
         "  expect log [contains] TEXT [within MS]\n"
         "  expect log order TEXT TEXT... [within MS]\n"
         "  expect no log [contains] TEXT [for MS]   expect no log order TEXT TEXT... [for MS]\n"
         "  expect property KEY VALUE [within MS]\n"
         "  expect reboot LINE [within MS]  expect no reboot [for MS]\n"
         "  expect exit [STATUS] [within MS]   expect running [for MS]\n"
         "  expect output TEXT [within MS]\n"
         "  expect backlight N [within MS]  expect led red|green|off|AARRGGBB [within MS]\n"
         "  expect file PATH [contains] TEXT [within MS]\n"
         "  expect screen logo|drawn|black [within MS]\n"
         "  (within: 5000 ms by default; for: 0, checked once)\n";
}

bool parse_key_code(const std::string& text, int64_t* code) {
  for (const KeyName& k : kKeyNames) {
    if (text == k.name) return *code = k.code, true;
  }
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    char* end = nullptr;
    long v = strtol(text.c_str() + 2, &end, 16);
    if (end == nullptr || *end != '\0' || v < 0 || v > 0xffff) return false;
    *code = v;
    return true;
  }
  return parse_int(text, code) && *code >= 0 && *code <= 0xffff;
}

bool parse_scenario(const std::string& text, const std::string& file, Scenario* scenario,
                    std::string* error) {
  Scenario out;
  out.file = file;
  int line_number = 1;
  size_t pos = 0;
  for (int taken = 0; pos < text.size(); line_number += taken) {
    std::string line = next_line(text, &pos, &taken);
    std::vector<Word> words;
    std::string message;
    Step step;
    step.line = line_number;
    step.source = line;
    LineParser parser(words, &step);
    bool ok = split_words(line, &words, &message) &&
              (words.empty() || (parser.parse() ? add_step(std::move(step), &out, &message)
                                                : (message = parser.error(), false)));
    if (!ok) {
      *error = file + ":" + std::to_string(line_number) + ": " + message;
      return false;
    }
  }
  DeviceOptions probe;
  VmBoard board;
  std::vector<std::string> host_args;
  std::string message;
  if (!take_vm_options(out.device_args, &host_args, &board, &message) ||
      !parse_device_options(host_args, &probe, &message)) {
    *error = file + ": device: " + message;
    return false;
  }
  *scenario = std::move(out);
  return true;
}

bool load_scenario(const std::string& path, Scenario* scenario, std::string* error) {
  std::optional<std::string> text = read_file(path);
  if (!text) {
    *error = "cannot read scenario " + path + ": " + strerror(errno);
    return false;
  }
  return parse_scenario(*text, path, scenario, error);
}

}  // namespace sim
