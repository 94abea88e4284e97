#include "sim/vm_phone.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/files.h"
#include "sim/image.h"
#include "sim/scenario.h"

namespace sim {
namespace {

constexpr uint64_t kFbWindow = 0x5e000000;
constexpr uint64_t kPl031 = 0x09010000;
constexpr int kIoTimeoutMs = 10000;
constexpr int kBootTimeoutMs = 60000;
constexpr const char* kGpuSize = "480x800";  // the DRM variant's screen, as the board's framebuffer

int connect_unix(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads up to the next newline into `line` (kept bytes past it stay in
// `buffer`); false on a closed socket or after `timeout_ms`.
bool read_line(int fd, std::string* buffer, std::string* line, int timeout_ms) {
  int64_t deadline = monotonic_ms() + timeout_ms;
  for (;;) {
    size_t nl = buffer->find('\n');
    if (nl != std::string::npos) {
      *line = buffer->substr(0, nl);
      buffer->erase(0, nl + 1);
      if (!line->empty() && line->back() == '\r') line->pop_back();
      return true;
    }
    int left = static_cast<int>(deadline - monotonic_ms());
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int r = ::poll(&p, 1, left);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    char chunk[65536];
    ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffer->append(chunk, static_cast<size_t>(n));
  }
}

// Runs argv to its end; its exit status, or -1.
int run_command(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Text between "[ seconds] " and the end of a console line, "" when the
// line has no kernel time stamp.
std::string console_body(const std::string& line) {
  size_t open = line.find('[');
  size_t close = line.find("] ", open == std::string::npos ? 0 : open);
  if (open == std::string::npos || close == std::string::npos) return "";
  return line.substr(close + 2);
}

uint32_t word_at(const std::string& bytes, size_t index) {
  uint32_t w = 0;
  if ((index + 1) * 4 > bytes.size()) return 0;
  memcpy(&w, bytes.data() + index * 4, 4);
  return w;
}

bool take_int(const std::string& value, int* out) { return parse_int(value, out); }

}  // namespace

bool take_vm_options(const std::vector<std::string>& device_args, std::vector<std::string>* host_args,
                     VmBoard* board, std::string* error) {
  for (size_t i = 0; i < device_args.size(); ++i) {
    const std::string& a = device_args[i];
    if (a == "--single-page") {
      board->append.push_back("lumo_fb.pages=1");
    } else if (a == "--no-vibrator") {
      board->append.push_back("lumo_lights.vibrator=0");
    } else if (a == "--display") {
      board->display = i + 1 < device_args.size() ? device_args[++i] : "";
      if (board->display != "fbdev" && board->display != "drm") {
        *error = "--display takes fbdev or drm, not '" + board->display + "'";
        return false;
      }
    } else {
      host_args->push_back(a);
    }
  }
  return true;
}

bool vm_board(const std::vector<std::string>& device_args, VmBoard* board, std::string* error) {
  DeviceOptions options;
  std::vector<std::string> host_args;
  if (!take_vm_options(device_args, &host_args, board, error)) return false;
  for (const std::string& a : host_args) {
    if (a == "--no-alarm" || a == "--no-tty" || a == "--no-input" || a == "--width" || a == "--height" ||
        a == "--res" || a.rfind("--width=", 0) == 0 || a.rfind("--height=", 0) == 0) {
      *error = "device option " + a + " cannot apply in the virtual phone (its board is fixed)";
      return false;
    }
  }
  std::vector<std::string>& append = board->append;
  if (board->display == "drm" && std::find(append.begin(), append.end(), "lumo_fb.pages=1") != append.end()) {
    *error = "--single-page applies to the board framebuffer; the DRM display makes its own buffers";
    return false;
  }
  if (!parse_device_options(host_args, &options, error)) return false;
  auto add = [&](const std::string& word) { append.push_back(word); };
  add("lumo_fb.bpp=" + std::to_string(options.bits_per_pixel));
  if (!options.with_lights) {
    add("lumo_lights.leds=0");
    add("lumo_lights.vibrator=0");
  }
  add("lumo_power.battery_capacity=" + std::to_string(options.level));
  add("lumo_power.battery_voltage_now=" + std::to_string(options.voltage_mv * 1000));
  add("lumo_power.battery_temp=" + std::to_string(options.temperature));
  add("lumo_power.battery_current_now=" + std::to_string(options.current));
  add("lumo_power.battery_present=" + std::to_string(options.present));
  add("lumo_power.battery_is_adapt_completed=" + std::to_string(options.adapt_completed));
  add("lumo_power.ac_online=" + std::string(options.ac_online ? "1" : "0"));
  add("lumo_power.usb_online=" + std::string(options.usb_online ? "1" : "0"));
  std::string status = options.status;
  if (status.empty()) status = options.ac_online || options.usb_online ? "Charging" : "Discharging";
  for (const std::string* word : {&status, &options.health, &options.technology, &options.startup,
                                  &options.app_boot}) {
    if (word->find_first_of(" \t\"") != std::string::npos) {
      *error = "device value '" + *word + "' has a blank: the kernel command line cannot carry it";
      return false;
    }
  }
  add("lumo_power.battery_status=" + status);
  add("lumo_power.battery_health=" + options.health);
  add("lumo_power.battery_technology=" + options.technology);
  add("lumo_pm.startup_mode=" + options.startup);
  if (!options.app_boot.empty()) add("lumo_pm.app_boot=" + options.app_boot);
  board->properties = options.properties;
  if (!options.language.empty()) board->properties.emplace_back("persist.sys.language", options.language);
  if (!options.country.empty()) board->properties.emplace_back("persist.sys.country", options.country);
  return true;
}

std::string agent_escape(const std::string& word, bool last) {
  std::string out;
  for (unsigned char c : word) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7f || (c == ' ' && !last)) {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string agent_unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'n') {
      out += '\n';
    } else if (c == 't') {
      out += '\t';
    } else if (c == 'x' && i + 2 < text.size() + 0 && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
               isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(strtoul(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> console_log_lines(const std::string& console) {
  std::vector<std::string> out;
  for (const std::string& line : complete_lines(console, true)) {
    std::string body = console_body(line);
    if (body.rfind("lumo: ", 0) == 0) out.push_back("I/lumo(0): " + body.substr(6));
  }
  return out;
}

std::vector<std::string> console_reboot_lines(const std::string& console) {
  const std::string restart = "reboot: Restarting system";
  const std::string command = " with command '";
  std::vector<std::string> out;
  for (const std::string& line : complete_lines(console, true)) {
    std::string body = console_body(line);
    if (body == "reboot: Power down") {
      out.push_back("power_off");
    } else if (body.rfind(restart, 0) == 0) {
      std::string rest = body.substr(restart.size());
      if (rest.rfind(command, 0) == 0 && rest.size() > command.size() && rest.back() == '\'') {
        out.push_back("restart " + rest.substr(command.size(), rest.size() - command.size() - 1));
      } else {
        out.push_back("restart");
      }
    }
  }
  return out;
}

std::vector<int> console_exit_statuses(const std::string& console) {
  const std::string marker = "lumo-init: program exited with status ";
  std::vector<int> out;
  for (const std::string& line : complete_lines(console, true)) {
    size_t at = line.find(marker);
    int status = 0;
    if (at != std::string::npos && take_int(line.substr(at + marker.size()), &status)) out.push_back(status);
  }
  return out;
}

std::string vm_qcode(int code) {
  switch (code) {
    case KEY_POWER: return "power";
    case KEY_END: return "end";
    case KEY_VOLUMEUP: return "volumeup";
    case KEY_VOLUMEDOWN: return "volumedown";
    case KEY_HOME: return "home";
    case KEY_UP: return "up";
    case KEY_DOWN: return "down";
    case KEY_MENU: return "menu";
    default: return "";
  }
}

bool inactive_output(const Image& screen) {
  int first = -1, last = -1;
  uint32_t ink = 0;
  for (int y = 0; y < screen.height; ++y) {
    for (int x = 0; x < screen.width; ++x) {
      uint32_t p = screen.at(x, y) & 0xffffffu;
      if (p == 0) continue;
      if (first >= 0 && p != ink) return false;  // a second colour: a picture
      if (first < 0) first = y, ink = p;
      last = y;
    }
  }
  int middle = screen.height / 2;
  return first >= 0 && last - first <= 16 && std::abs((first + last) / 2 - middle) <= 16;
}

VmPhone::VmPhone(VmOptions options) : options_(std::move(options)) {}

VmPhone::~VmPhone() { quit(); }

std::string VmPhone::unsupported(const std::string& step) const {
  if (step == "uevent") return "raw uevents cannot be sent in the virtual phone: the kernel sends its own";
  if (step == "input") return "raw input records cannot be sent in the virtual phone: use key";
  if (step == "without-root" || step == "relative-root") {
    return "start " + step + " cannot apply in the virtual phone: it has no device root";
  }
  return "";
}

bool VmPhone::launch(std::string* error) {
  if (!vm_board(options_.device_args, &board_, error)) return false;
  if (!make_dirs(options_.run_dir)) return *error = "cannot create " + options_.run_dir, false;
  std::string append = "lumo.wait=1";
  for (const std::string& word : board_.append) append += " " + word;
  std::vector<std::string> argv = {"python3",  join_path(options_.vm_dir, "lumovm.py"), "start", options_.run_dir,
                                   "--kernel", options_.kernel, "--initrd", options_.initrd, "--append", append};
  if (board_.display == "drm") argv.insert(argv.end(), {"--gpu", kGpuSize});
  int status = run_command(argv);
  if (status != 0) return *error = "lumovm.py start failed (status " + std::to_string(status) + ")", false;
  launched_ = true;
  booting_ = true;
  int64_t deadline = monotonic_ms() + kBootTimeoutMs;
  while (console().find("lumo-init: modules loaded") == std::string::npos) {
    if (monotonic_ms() > deadline || machine_down()) {
      return *error = "the virtual phone did not load its modules (see console.log)", false;
    }
    sleep_ms(20);
  }
  qmp_fd_ = connect_unix(join_path(options_.run_dir, "qmp.sock"));
  std::string greeting;
  if (qmp_fd_ < 0 || !read_line(qmp_fd_, &qmp_buffer_, &greeting, kIoTimeoutMs) ||
      qmp("{\"execute\":\"qmp_capabilities\"}").empty()) {
    return *error = "cannot talk QMP to the virtual phone", false;
  }
  booting_ = false;
  for (const auto& [key, value] : board_.properties) {
    if (!set_property(key, value)) return *error = "cannot set property " + key + " in the virtual phone", false;
  }
  return true;
}

bool VmPhone::start(const std::string& mode, std::string* error) {
  if (!mode.empty()) return *error = unsupported(mode), false;
  if (started_ && !ended_) return *error = "lumoboot already runs", false;
  if (!launch_error_.empty()) return *error = launch_error_, false;
  if (!launched_ && !launch(error)) return false;
  if (machine_down()) return *error = "the virtual phone is down: it cannot start lumoboot again", false;
  exits_seen_ = console_exit_statuses(console()).size();
  if (!agent("start")) return *error = "the agent did not start lumoboot", false;
  started_ = true;
  input_open_ = false;
  ended_ = false;
  status_ = 0;
  return true;
}

void VmPhone::poll() {
  if (!started_ || ended_) return;
  std::vector<int> exits = console_exit_statuses(console());
  if (exits.size() > exits_seen_) {
    ended_ = true;
    status_ = W_EXITCODE(exits[exits_seen_] & 0xff, 0);
  } else if (machine_down()) {
    ended_ = true;  // the program took the machine down: power-off or restart
    status_ = 0;
  }
}

void VmPhone::stop() {}

void VmPhone::quit() {
  if (!launched_) return;
  if (qmp_fd_ >= 0) {
    qmp("{\"execute\":\"quit\"}");
    close(qmp_fd_);
    qmp_fd_ = -1;
  }
  if (agent_fd_ >= 0) close(agent_fd_);
  agent_fd_ = -1;
  // Backstop: lumovm.py quit finds the machine by its pid file.
  run_command({"python3", join_path(options_.vm_dir, "lumovm.py"), "quit", options_.run_dir});
  launched_ = false;
}

std::string VmPhone::console() const {
  return sim::read_file(join_path(options_.run_dir, "console.log")).value_or("");
}

bool VmPhone::machine_down() const {
  std::string events = sim::read_file(join_path(options_.run_dir, "events.jsonl")).value_or("");
  return events.find("\"SHUTDOWN\"") != std::string::npos;
}

std::optional<std::string> VmPhone::agent(const std::string& line, std::string* refusal) {
  // Steps before the start (properties, files) need the machine up.
  if (!launched_ && launch_error_.empty() && !launch(&launch_error_) && launch_error_.empty()) {
    launch_error_ = "the virtual phone did not start";
  }
  if (!launched_ || booting_ || machine_down()) return std::nullopt;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (agent_fd_ < 0) {
      agent_fd_ = connect_unix(join_path(options_.run_dir, "agent.sock"));
      agent_buffer_.clear();
      if (agent_fd_ < 0) return std::nullopt;
    }
    std::string reply;
    bool sent = send_all(agent_fd_, line + "\n");
    bool got = false;
    // In slices: a machine that goes down meanwhile never answers.
    for (int64_t until = monotonic_ms() + kIoTimeoutMs; sent && !got && monotonic_ms() < until;) {
      got = read_line(agent_fd_, &agent_buffer_, &reply, 100);
      if (!got && machine_down()) break;
    }
    if (got) {
      if (reply == "ok") return std::string();
      if (reply.rfind("ok ", 0) == 0) return agent_unescape(reply.substr(3));
      if (refusal != nullptr) *refusal = reply;
      return std::nullopt;
    }
    close(agent_fd_);
    agent_fd_ = -1;
    if (machine_down()) break;
  }
  return std::nullopt;
}

std::string VmPhone::qmp(const std::string& command) {
  if (qmp_fd_ < 0 || !send_all(qmp_fd_, command + "\n")) return "";
  std::string line;
  // Events may come between; the reply is the line with "return" or "error".
  while (read_line(qmp_fd_, &qmp_buffer_, &line, kIoTimeoutMs)) {
    if (line.find("\"return\"") != std::string::npos || line.find("\"error\"") != std::string::npos) return line;
  }
  return "";
}

bool VmPhone::write_battery(const BatteryFields& f) {
  std::vector<std::pair<std::string, std::string>> values;
  auto number = [&](const char* name, const std::optional<int>& v, int scale) {
    if (v) values.emplace_back(name, std::to_string(static_cast<int64_t>(*v) * scale));
  };
  number("battery_capacity", f.level, 1);
  number("battery_voltage_now", f.voltage_mv, 1000);
  number("battery_temp", f.temperature, 1);
  number("battery_current_now", f.current, 1);
  number("battery_present", f.present, 1);
  number("battery_is_adapt_completed", f.adapt, 1);
  number("ac_online", f.ac_online, 1);
  number("usb_online", f.usb_online, 1);
  if (f.status) values.emplace_back("battery_status", *f.status);
  if (f.health) values.emplace_back("battery_health", *f.health);
  if (f.technology) values.emplace_back("battery_technology", *f.technology);
  if (f.charger_voltage_mv) return false;  // the board's chargers report no voltage
  // One uevent per changed supply, as one change of the phone's state.
  if (!agent("supply hold 1")) return false;
  bool ok = true;
  for (const auto& [name, value] : values) ok = agent("supply " + name + " " + agent_escape(value, true)) && ok;
  return agent("supply hold 0").has_value() && ok;
}

bool VmPhone::set_charger(const std::string& supply, bool online) {
  std::string name = supply == "usb" ? "usb_online" : "ac_online";
  // Like the host phone: the battery's status follows the charger, "Full" stays.
  std::optional<std::string> status = read_file("/sys/class/power_supply/battery/status");
  if (!agent("supply hold 1")) return false;
  bool ok = agent("supply " + name + (online ? " 1" : " 0")).has_value();
  if (ok && status && trim_sysfs(*status) != "Full") {
    ok = agent(std::string("supply battery_status ") + (online ? "Charging" : "Discharging")).has_value();
  }
  return agent("supply hold 0").has_value() && ok;
}

int VmPhone::send_uevent(const std::string&) { return ENOTSUP; }

bool VmPhone::input_open() {
  // The virtual keyboard is event1; a key sent before the program opened it is lost.
  std::optional<std::string> reply =
      agent("exec for p in $(pidof lumoboot); do ls -l /proc/$p/fd; done | grep -c /dev/input/event1");
  int64_t count = 0;
  size_t blank = reply ? reply->find(' ') : std::string::npos;
  return blank != std::string::npos && parse_int(trim_sysfs(reply->substr(blank + 1)), &count) && count > 0;
}

int VmPhone::write_input(const std::vector<InputEvent>& events) {
  if (!input_open_ && !(input_open_ = input_open())) return ENXIO;
  for (const InputEvent& e : events) {
    if (e.type == EV_SYN) continue;
    std::string qcode = e.type == EV_KEY ? vm_qcode(e.code) : "";
    if (qcode.empty()) return ENOTSUP;
    std::string reply = qmp(
        "{\"execute\":\"input-send-event\",\"arguments\":{\"events\":[{\"type\":\"key\",\"data\":{\"down\":" +
        std::string(e.value != 0 ? "true" : "false") + ",\"key\":{\"type\":\"qcode\",\"data\":\"" + qcode +
        "\"}}}]}}");
    if (reply.find("\"return\"") == std::string::npos) return EIO;
  }
  return 0;
}

std::optional<std::string> VmPhone::property(const std::string& key) {
  std::string refusal;
  std::optional<std::string> value = agent("getprop " + agent_escape(key, false), &refusal);
  if (!value && refusal == "err unset") return std::string();
  return value;
}

bool VmPhone::set_property(const std::string& key, const std::string& value) {
  return agent("setprop " + agent_escape(key, false) + " " + agent_escape(value, true)).has_value();
}

std::optional<std::string> VmPhone::read_file(const std::string& device_path) {
  return agent("read " + agent_escape(device_path, false));
}

bool VmPhone::write_file(const std::string& device_path, const std::string& content) {
  // sysfs attributes and module parameters are written in place; other files replaced.
  bool in_place = device_path.rfind("/sys/", 0) == 0;
  return agent(std::string(in_place ? "write " : "put ") + agent_escape(device_path, false) + " " +
               agent_escape(content, true))
      .has_value();
}

int VmPhone::remove_file(const std::string& device_path) {
  return agent("remove " + agent_escape(device_path, false)) ? 0 : EIO;
}

std::vector<std::string> VmPhone::log_lines() { return console_log_lines(console()); }

std::vector<std::string> VmPhone::reboot_lines() {
  // The kernel prints its reboot line before QEMU reports the SHUTDOWN: a
  // record counts once the machine is down.
  if (!machine_down()) return {};
  return console_reboot_lines(console());
}

std::string VmPhone::output() { return console(); }

uint32_t VmPhone::light_color(const std::string& light) {
  auto level = [&](const std::string& path) {
    int value = 0;
    std::optional<std::string> text = read_file(path);
    return text && parse_int(trim_sysfs(*text), &value) ? value & 0xff : 0;
  };
  if (light == "backlight") {
    uint32_t l = static_cast<uint32_t>(level("/sys/class/backlight/lumo-backlight/brightness"));
    return l == 0 ? 0 : 0xff000000u | l << 16 | l << 8 | l;
  }
  uint32_t rgb = static_cast<uint32_t>(level("/sys/class/leds/red/brightness")) << 16 |
                 static_cast<uint32_t>(level("/sys/class/leds/green/brightness")) << 8 |
                 static_cast<uint32_t>(level("/sys/class/leds/blue/brightness"));
  return rgb == 0 ? 0 : 0xff000000u | rgb;
}

bool VmPhone::pmemsave(uint64_t address, size_t size, std::string* bytes, std::string* error) {
  std::string file = join_path(options_.run_dir, "pmem.bin");
  std::string reply = qmp("{\"execute\":\"pmemsave\",\"arguments\":{\"val\":" + std::to_string(address) +
                          ",\"size\":" + std::to_string(size) + ",\"filename\":" + json_string(file) + "}}");
  std::optional<std::string> content = sim::read_file(file);
  unlink(file.c_str());
  if (reply.find("\"return\"") == std::string::npos || !content || content->size() != size) {
    return *error = "cannot read the virtual phone's screen memory: " + reply, false;
  }
  *bytes = std::move(*content);
  return true;
}

bool VmPhone::visible_page(Image* page, FrameInfo* info, std::string* error) {
  if (!launched_) return *error = "the virtual phone is not running", false;
  return board_.display == "drm" ? display_page(page, info, error) : framebuffer_page(page, info, error);
}

bool VmPhone::display_page(Image* page, FrameInfo* info, std::string* error) {
  // What QEMU's display shows: the buffer the CRTC scans out, or its stand-in
  // when the output is off (DPMS off, no framebuffer), which a person sees as
  // a dark screen.
  std::string file = join_path(options_.run_dir, "screen.png");
  std::string reply = qmp("{\"execute\":\"screendump\",\"arguments\":{\"filename\":" + json_string(file) +
                          ",\"format\":\"png\"}}");
  std::string why;
  bool ok = reply.find("\"return\"") != std::string::npos && read_png(file, page, &why);
  unlink(file.c_str());
  if (!ok) return *error = "cannot take the virtual phone's screendump: " + reply + why, false;
  if (inactive_output(*page)) std::fill(page->pixels.begin(), page->pixels.end(), 0xff000000u);
  *info = FrameInfo{page->width, page->height, 32, 0};
  return true;
}

bool VmPhone::framebuffer_page(Image* page, FrameInfo* info, std::string* error) {
  bool running = qmp("{\"execute\":\"query-status\"}").find("\"running\": true") != std::string::npos;
  if (running) qmp("{\"execute\":\"stop\"}");
  std::string status, pixels;
  bool ok = pmemsave(kFbWindow, 4096, &status, error);
  uint32_t xres = word_at(status, 3), yres = word_at(status, 4), bpp = word_at(status, 7);
  uint32_t line = word_at(status, 8), offset = word_at(status, 9), yoffset = word_at(status, 10);
  if (ok && (word_at(status, 0) != 0x4246554c || xres == 0 || xres > 4096 || yres == 0 || yres > 4096 ||
             (bpp != 16 && bpp != 32) || line < xres * bpp / 8)) {
    ok = false;
    *error = "no framebuffer status block in the virtual phone (lumo_fb not loaded?)";
  }
  if (ok) ok = pmemsave(kFbWindow + offset + static_cast<uint64_t>(yoffset) * line, size_t{line} * yres, &pixels, error);
  if (running) qmp("{\"execute\":\"cont\"}");
  if (!ok) return false;
  *page = Image(static_cast<int>(xres), static_cast<int>(yres), 0);
  for (uint32_t y = 0; y < yres; ++y) {
    const unsigned char* row = reinterpret_cast<const unsigned char*>(pixels.data()) + size_t{y} * line;
    for (uint32_t x = 0; x < xres; ++x) {
      uint32_t argb;
      if (bpp == 16) {
        argb = rgb565_to_argb(static_cast<uint16_t>(row[2 * x] | row[2 * x + 1] << 8));
      } else {
        const unsigned char* p = row + 4 * x;
        uint32_t word = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
        auto channel = [&](int w) { return (word >> word_at(status, w)) & 0xff; };
        argb = 0xff000000u | channel(14) << 16 | channel(15) << 8 | channel(16);
      }
      page->set(static_cast<int>(x), static_cast<int>(y), argb);
    }
  }
  info->xres = static_cast<int>(xres);
  info->yres = static_cast<int>(yres);
  info->bits_per_pixel = static_cast<int>(bpp);
  info->yoffset = static_cast<int>(yoffset);
  return true;
}

bool VmPhone::screenshot(Image* out, std::string* error) {
  FrameInfo info;
  if (!visible_page(out, &info, error)) return false;
  // Dimmed by the backlight, as the person holding the phone would see it.
  double factor = backlight_factor(static_cast<int>(light_color("backlight") & 0xff));
  for (uint32_t& p : out->pixels) {
    uint32_t r = static_cast<uint32_t>(((p >> 16) & 0xff) * factor);
    uint32_t g = static_cast<uint32_t>(((p >> 8) & 0xff) * factor);
    uint32_t b = static_cast<uint32_t>((p & 0xff) * factor);
    p = 0xff000000u | r << 16 | g << 8 | b;
  }
  return true;
}

int64_t VmPhone::clock_ms() {
  // The guest's clock starts at QEMU's -rtc base, not at this machine's time.
  std::optional<std::string> reply = agent("exec date +%s");
  int64_t seconds = 0;
  if (reply) {
    size_t blank = reply->find(' ');
    if (blank != std::string::npos && parse_int(trim_sysfs(reply->substr(blank + 1)), &seconds)) return seconds * 1000;
  }
  return wall_ms();
}

bool VmPhone::rtc_alarm(int64_t* now, int64_t* alarm, bool* armed, std::string* error) {
  if (!launched_) return *error = "the virtual phone is not running", false;
  char command[160];
  snprintf(command, sizeof(command),
           "{\"execute\":\"human-monitor-command\",\"arguments\":{\"command-line\":\"xp /5wx 0x%llx\"}}",
           static_cast<unsigned long long>(kPl031));
  std::string reply = qmp(command);
  // "0000000009010000: 0x... 0x... 0x... 0x...\r\n..." inside the JSON text.
  std::vector<uint32_t> words;
  size_t pos = 0;
  while ((pos = reply.find("0x", pos)) != std::string::npos && words.size() < 5) {
    words.push_back(static_cast<uint32_t>(strtoul(reply.c_str() + pos, nullptr, 16)));
    pos += 2;
  }
  if (words.size() < 5) return *error = "cannot read the pl031 RTC: " + reply, false;
  *now = words[0];
  *alarm = words[1];
  *armed = (words[4] & 1) != 0;
  return true;
}

void VmPhone::collect(const std::string& out_dir) {
  std::string text = console();
  write_file_atomic(join_path(out_dir, "console.log"), text);
  std::string log;
  for (const std::string& line : console_log_lines(text)) log += line + "\n";
  write_file_atomic(join_path(out_dir, "lumoboot.log"), log);
  std::optional<std::string> ps = agent("ps");
  if (ps) write_file_atomic(join_path(out_dir, "ps.txt"), *ps);
}

}  // namespace sim
