#include "sim/scenario.h"

#include <cstdlib>
#include <cstring>

#include "sim/files.h"

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

// Parses one line's words into a step. `fail` collects the message.
class LineParser {
 public:
  LineParser(const std::vector<Word>& words, Step* step) : w_(words), step_(step) {}

  bool parse();
  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& message) {
    error_ = message;
    return false;
  }
  size_t size() const { return w_.size(); }
  const std::string& at(size_t i) const { return w_[i].text; }
  bool is(size_t i, const char* word) const { return i < w_.size() && !w_[i].quoted && w_[i].text == word; }

  // Takes a trailing "within MS" / "for MS" off the end; `end` becomes the
  // number of words before it.
  bool take_duration(int default_ms, size_t* end);
  bool expect_words(size_t end, size_t count, const char* usage) {
    return end == count ? true : fail(std::string("usage: ") + usage);
  }
  bool parse_battery();
  bool parse_expect();
  bool parse_key();
  bool parse_int_word(size_t i, int64_t lo, int64_t hi, int64_t* out, const char* what);

  const std::vector<Word>& w_;
  Step* step_;
  std::string error_;
};

bool LineParser::take_duration(int default_ms, size_t* end) {
  step_->duration_ms = default_ms;
  *end = size();
  if (size() >= 2 && (is(size() - 2, "within") || is(size() - 2, "for"))) {
    if (!parse_duration(at(size() - 1), &step_->duration_ms)) {
      return fail("bad duration '" + at(size() - 1) + "' (use 500, 500ms or 2s)");
    }
    *end = size() - 2;
  }
  return true;
}

bool LineParser::parse_int_word(size_t i, int64_t lo, int64_t hi, int64_t* out, const char* what) {
  if (i >= size()) return fail(std::string("missing ") + what);
  if (!parse_int(at(i), out) || *out < lo || *out > hi) {
    return fail(std::string("bad ") + what + " '" + at(i) + "' (a whole number from " +
                std::to_string(lo) + " to " + std::to_string(hi) + ")");
  }
  return true;
}

bool LineParser::parse_battery() {
  step_->kind = StepKind::kBattery;
  if (size() < 2) return fail("usage: battery FIELD=VALUE... (level, status, health, voltage, ...)");
  BatteryFields& f = step_->battery;
  for (size_t i = 1; i < size(); ++i) {
    const std::string& word = at(i);
    size_t eq = word.find('=');
    if (eq == std::string::npos) return fail("battery field '" + word + "' has no '='");
    std::string key = word.substr(0, eq), value = word.substr(eq + 1);
    int v = 0;
    struct IntField {
      const char* name;
      std::optional<int>* field;
    };
    const IntField ints[] = {
        {"level", &f.level},         {"voltage", &f.voltage_mv}, {"charger_voltage", &f.charger_voltage_mv},
        {"temp", &f.temperature},    {"current", &f.current},    {"present", &f.present},
        {"adapt", &f.adapt},         {"ac", &f.ac_online},       {"usb", &f.usb_online},
    };
    bool done = false;
    for (const IntField& field : ints) {
      if (key != field.name) continue;
      if (!parse_int(value, &v) || v < -10000000 || v > 10000000) {
        return fail("battery field " + key + " needs a whole number, not '" + value + "'");
      }
      *field.field = v;
      done = true;
    }
    if (done) continue;
    if (key == "status") {
      f.status = value;
    } else if (key == "health") {
      f.health = value;
    } else if (key == "technology") {
      f.technology = value;
    } else {
      return fail("unknown battery field '" + key +
                  "' (level, status, health, voltage, charger_voltage, temp, current, present, "
                  "technology, adapt, ac, usb)");
    }
  }
  return true;
}

bool LineParser::parse_key() {
  step_->kind = StepKind::kKey;
  if (size() < 3 || (!is(1, "down") && !is(1, "up") && !is(1, "press"))) {
    return fail("usage: key down|up|press CODE [hold MS]");
  }
  step_->name = at(1);
  if (!parse_key_code(at(2), &step_->number)) return fail("bad key code '" + at(2) + "'");
  if (size() == 3) return true;
  int hold = 0;
  if (size() != 5 || !is(3, "hold") || step_->name != "press" || !parse_duration(at(4), &hold)) {
    return fail("usage: key press CODE [hold MS]");
  }
  step_->extra = hold;
  return true;
}

bool LineParser::parse_expect() {
  if (size() < 2) return fail("usage: expect log|property|reboot|exit|backlight|led|file|screen ...");
  size_t end;
  bool negative = is(1, "no");
  size_t k = negative ? 2 : 1;  // the word that names what is expected
  if (k >= size()) return fail("usage: expect no log|reboot ...");
  const std::string what = at(k);
  if (negative && what != "log" && what != "reboot") return fail("'expect no' takes log or reboot");
  if (!take_duration(negative || what == "running" ? 0 : kDefaultWithinMs, &end)) return false;

  if (what == "log") {
    step_->kind = negative ? StepKind::kExpectNoLog : StepKind::kExpectLog;
    size_t t = k + 1;
    if (is(t, "contains") && t + 1 < end) {
      step_->contains = true;
      ++t;
    }
    if (!expect_words(end, t + 1, "expect [no] log [contains] \"TEXT\" [within MS]")) return false;
    step_->text = at(t);
    return true;
  }
  if (what == "reboot") {
    step_->kind = negative ? StepKind::kExpectNoReboot : StepKind::kExpectReboot;
    if (negative) return expect_words(end, k + 1, "expect no reboot [for MS]");
    if (end <= k + 1) return fail("usage: expect reboot LINE [within MS]");
    for (size_t i = k + 1; i < end; ++i) step_->text += (i > k + 1 ? " " : "") + at(i);
    return true;
  }
  if (what == "property") {
    step_->kind = StepKind::kExpectProperty;
    if (!expect_words(end, 4, "expect property KEY VALUE [within MS]")) return false;
    step_->name = at(2);
    step_->text = at(3);
    return true;
  }
  if (what == "exit") {
    step_->kind = StepKind::kExpectExit;
    return expect_words(end, 2, "expect exit [within MS]");
  }
  if (what == "running") {
    step_->kind = StepKind::kExpectRunning;
    return expect_words(end, 2, "expect running [for MS]");
  }
  if (what == "backlight") {
    step_->kind = StepKind::kExpectBacklight;
    if (!expect_words(end, 3, "expect backlight LEVEL [within MS]")) return false;
    return parse_int_word(2, 0, 255, &step_->number, "backlight level");
  }
  if (what == "led") {
    step_->kind = StepKind::kExpectLed;
    if (!expect_words(end, 3, "expect led red|green|off|AARRGGBB [within MS]")) return false;
    const std::string& c = at(2);
    if (c == "red") {
      step_->number = 0xffff0000;
    } else if (c == "green") {
      step_->number = 0xff00ff00;
    } else if (c == "off") {
      step_->number = 0;
    } else {
      char* stop = nullptr;
      unsigned long v = strtoul(c.c_str(), &stop, 16);
      if (c.size() != 8 || stop == nullptr || *stop != '\0') {
        return fail("bad LED colour '" + c + "' (red, green, off or 8 hex digits)");
      }
      step_->number = static_cast<int64_t>(v);
    }
    step_->name = c;
    return true;
  }
  if (what == "file") {
    step_->kind = StepKind::kExpectFile;
    size_t t = 3;
    if (is(t, "contains") && t + 1 < end) {
      step_->contains = true;
      ++t;
    }
    if (end < 3 || !expect_words(end, t + 1, "expect file PATH [contains] \"TEXT\" [within MS]")) {
      return false;
    }
    step_->name = at(2);
    if (!valid_device_path(step_->name)) return fail("bad device path '" + step_->name + "'");
    step_->text = at(t);
    return true;
  }
  if (what == "screen") {
    step_->kind = StepKind::kExpectScreen;
    if (!expect_words(end, 3, "expect screen logo|drawn|black [within MS]")) return false;
    step_->name = at(2);
    if (step_->name != "logo" && step_->name != "drawn" && step_->name != "black") {
      return fail("expect screen takes logo, drawn or black, not '" + step_->name + "'");
    }
    return true;
  }
  return fail("unknown expectation '" + what + "'");
}

bool LineParser::parse() {
  const std::string& verb = at(0);
  if (w_[0].quoted) return fail("a step begins with a word, not a quoted text");
  if (verb == "device") {
    step_->kind = StepKind::kDevice;
    for (size_t i = 1; i < size(); ++i) step_->args.push_back(at(i));
    DeviceOptions probe;
    std::string message;
    if (!parse_device_options(step_->args, &probe, &message)) return fail(message);
    return true;
  }
  if (verb == "start") {
    step_->kind = StepKind::kStart;
    return size() == 1 ? true : fail("usage: start");
  }
  if (verb == "battery") return parse_battery();
  if (verb == "plug" || verb == "unplug") {
    step_->kind = verb == "plug" ? StepKind::kPlug : StepKind::kUnplug;
    step_->name = size() > 1 ? at(1) : "ac";
    if (size() > 2 || (step_->name != "ac" && step_->name != "usb")) {
      return fail("usage: " + verb + " [ac|usb]");
    }
    return true;
  }
  if (verb == "key") return parse_key();
  if (verb == "input") {
    step_->kind = StepKind::kInput;
    if (size() != 4) return fail("usage: input TYPE CODE VALUE");
    const std::string& type = at(1);
    step_->number = type == "syn" ? 0 : type == "key" ? 1 : type == "rel" ? 2 : type == "abs" ? 3 : -1;
    if (step_->number < 0 && !parse_int_word(1, 0, 0xffff, &step_->number, "event type")) return false;
    return parse_int_word(2, 0, 0xffff, &step_->code, "event code") &&
           parse_int_word(3, INT32_MIN, INT32_MAX, &step_->extra, "event value");
  }
  if (verb == "wait") {
    step_->kind = StepKind::kWait;
    int ms = 0;
    if (size() != 2 || !parse_duration(at(1), &ms)) return fail("usage: wait MS (500, 500ms or 2s)");
    step_->number = ms;
    return true;
  }
  if (verb == "screenshot") {
    step_->kind = StepKind::kScreenshot;
    if (size() != 2 || !valid_name(at(1))) return fail("usage: screenshot NAME (letters, digits, . _ -)");
    step_->name = at(1);
    return true;
  }
  if (verb == "set") {
    step_->kind = StepKind::kSetProperty;
    if (size() != 4 || !is(1, "property")) return fail("usage: set property KEY VALUE");
    step_->name = at(2);
    step_->text = at(3);
    std::string message, probe;
    if (!expand_time(step_->text, 0, &probe, &message)) return fail(message);
    return true;
  }
  if (verb == "write") {
    step_->kind = StepKind::kWrite;
    if (size() != 3) return fail("usage: write PATH \"TEXT\"");
    step_->name = at(1);
    step_->text = at(2);
    if (!valid_device_path(step_->name)) return fail("bad device path '" + step_->name + "'");
    std::string message, probe;
    if (!expand_time(step_->text, 0, &probe, &message)) return fail(message);
    return true;
  }
  if (verb == "remove") {
    step_->kind = StepKind::kRemove;
    if (size() != 2) return fail("usage: remove PATH");
    step_->name = at(1);
    return valid_device_path(step_->name) ? true : fail("bad device path '" + step_->name + "'");
  }
  if (verb == "uevent") {
    step_->kind = StepKind::kUevent;
    if (size() < 2 || at(1).find('@') == std::string::npos) {
      return fail("usage: uevent ACTION@DEVPATH [KEY=VALUE...]");
    }
    for (size_t i = 1; i < size(); ++i) step_->args.push_back(at(i));
    return true;
  }
  if (verb == "mark") {
    step_->kind = StepKind::kMark;
    return size() == 1 ? true : fail("usage: mark");
  }
  if (verb == "expect") return parse_expect();
  return fail("unknown step '" + verb + "'");
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
  int line_number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    ++line_number;
    auto fail = [&](const std::string& message) {
      *error = file + ":" + std::to_string(line_number) + ": " + message;
      return false;
    };
    std::vector<Word> words;
    std::string message;
    if (!split_words(line, &words, &message)) return fail(message);
    if (words.empty()) continue;
    Step step;
    step.line = line_number;
    step.source = line;
    LineParser parser(words, &step);
    if (!parser.parse()) return fail(parser.error());
    if (step.kind == StepKind::kDevice) {
      if (!out.steps.empty()) return fail("device lines must come before every other step");
      out.device_args.insert(out.device_args.end(), step.args.begin(), step.args.end());
      continue;
    }
    if (step.kind == StepKind::kStart) out.has_start = true;
    out.steps.push_back(std::move(step));
  }
  DeviceOptions probe;
  std::string message;
  if (!parse_device_options(out.device_args, &probe, &message)) {
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
