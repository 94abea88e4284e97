#include "sim/device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include "sim/files.h"
#include "sim/image.h"

#ifndef LUMO_SIM_SOURCE_DIR
#define LUMO_SIM_SOURCE_DIR "."
#endif

namespace sim {
namespace {

std::string sysfs(const std::string& text) { return text + "\n"; }
std::string sysfs(int value) { return std::to_string(value) + "\n"; }

bool valid_property_key(const std::string& key) {
  if (key.empty() || key.size() > 255 || key[0] == '.') return false;
  for (char c : key) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-' || c == ':' || c == '@';
    if (!ok) return false;
  }
  return true;
}

bool set_int(const std::string& name, const std::string& value, int lo, int hi, int* out,
             std::string* error) {
  int v;
  if (!parse_int(value, &v) || v < lo || v > hi) {
    *error = "--" + name + " needs a whole number from " + std::to_string(lo) + " to " +
             std::to_string(hi) + ", not '" + value + "'";
    return false;
  }
  *out = v;
  return true;
}

bool set_bpp(const std::string& value, DeviceOptions* o, std::string* error) {
  if (value != "16" && value != "32") {
    *error = "--bpp must be 16 or 32, not '" + value + "'";
    return false;
  }
  o->bits_per_pixel = value == "16" ? 16 : 32;
  return true;
}

bool set_chargers(const std::string& value, DeviceOptions* o, std::string* error) {
  o->ac_online = o->usb_online = false;
  if (value == "none") return true;
  size_t pos = 0;
  while (pos <= value.size()) {
    size_t comma = value.find(',', pos);
    if (comma == std::string::npos) comma = value.size();
    std::string part = value.substr(pos, comma - pos);
    if (part != "ac" && part != "usb") {
      *error = "--chargers takes ac, usb, ac,usb or none, not '" + value + "'";
      return false;
    }
    (part == "ac" ? o->ac_online : o->usb_online) = true;
    pos = comma + 1;
  }
  return true;
}

// The texts of sys/power/startup_mode the program tells apart: charger
// words, alarm words, and the power key (the program reads any other text as
// the power key too; lumo-sim takes only this word for it, so that a typo is
// not silently a power-key start). "" leaves the file empty: unknown.
constexpr const char* kStartupWords[] = {
    "STARTMODE_CHGINS", "STARTMODE_EXT0", "STARTMODE_USBINS", "STARTMODE_CABLE", "charger", "2",
    "STARTMODE_ALARM",  "1",              "STARTMODE_PWRKEY", "",
};

bool set_startup(const std::string& value, DeviceOptions* o, std::string* error) {
  for (const char* word : kStartupWords) {
    if (value == word) return o->startup = value, true;
  }
  *error = "--startup takes STARTMODE_CHGINS, STARTMODE_EXT0, STARTMODE_USBINS, STARTMODE_CABLE, charger or 2 "
           "(charger), STARTMODE_ALARM or 1 (alarm), STARTMODE_PWRKEY (power key) or \"\" (unknown), not '" +
           value + "'";
  return false;
}

bool add_property(const std::string& value, DeviceOptions* o, std::string* error) {
  size_t eq = value.find('=');
  std::string key = value.substr(0, eq);
  if (eq == std::string::npos || !valid_property_key(key)) {
    *error = "--prop needs KEY=VALUE with a valid key, not '" + value + "'";
    return false;
  }
  if (value.size() - eq - 1 > 91) {
    *error = "--prop value of " + key + " is longer than 91 bytes";
    return false;
  }
  o->properties.emplace_back(key, value.substr(eq + 1));
  return true;
}

// One create option: a number in a range, a text, a flag (no value), or a
// setter of its own.
struct OptionSpec {
  const char* name;
  int DeviceOptions::*number = nullptr;
  int lo = 0, hi = 0;
  std::string DeviceOptions::*text = nullptr;
  bool DeviceOptions::*flag = nullptr;
  bool flag_value = false;
  bool (*set)(const std::string& value, DeviceOptions* o, std::string* error) = nullptr;
  bool has_value() const { return flag == nullptr; }
};

using O = DeviceOptions;
const OptionSpec kOptions[] = {
    {.name = "width", .number = &O::width, .lo = 1, .hi = 4096},
    {.name = "height", .number = &O::height, .lo = 1, .hi = 4096},
    {.name = "bpp", .set = set_bpp},
    {.name = "level", .number = &O::level, .lo = -1000, .hi = 1000},
    {.name = "voltage", .number = &O::voltage_mv, .lo = -100000, .hi = 100000},
    {.name = "charger-voltage", .number = &O::charger_voltage_mv, .lo = -100000, .hi = 100000},
    {.name = "temp", .number = &O::temperature, .lo = -10000, .hi = 10000},
    {.name = "current", .number = &O::current, .lo = -10000000, .hi = 10000000},
    {.name = "present", .number = &O::present, .lo = 0, .hi = 1},
    {.name = "adapt", .number = &O::adapt_completed, .lo = 0, .hi = 1},
    {.name = "status", .text = &O::status},
    {.name = "health", .text = &O::health},
    {.name = "technology", .text = &O::technology},
    {.name = "startup", .set = set_startup},
    {.name = "app-boot", .text = &O::app_boot},
    {.name = "language", .text = &O::language},
    {.name = "country", .text = &O::country},
    {.name = "res", .text = &O::res_dir},
    {.name = "chargers", .set = set_chargers},
    {.name = "prop", .set = add_property},
    {.name = "no-alarm", .flag = &O::with_alarm, .flag_value = false},
    {.name = "no-tty", .flag = &O::with_tty, .flag_value = false},
    {.name = "no-lights", .flag = &O::with_lights, .flag_value = false},
    {.name = "no-input", .flag = &O::with_input, .flag_value = false},
    {.name = "force", .flag = &O::force, .flag_value = true},
};

const OptionSpec* find_option(const std::string& name) {
  for (const OptionSpec& spec : kOptions) {
    if (name == spec.name) return &spec;
  }
  return nullptr;
}

bool apply_option(const OptionSpec& spec, const std::string& value, DeviceOptions* o,
                  std::string* error) {
  if (spec.number != nullptr) return set_int(spec.name, value, spec.lo, spec.hi, &(o->*spec.number), error);
  if (spec.text != nullptr) return o->*spec.text = value, true;
  if (spec.flag != nullptr) return o->*spec.flag = spec.flag_value, true;
  return spec.set(value, o, error);
}

// The boot logo for this phone's screen: the logo picture of the screen's
// picture set or of `res_dir` (preview/initlogo.png, what the logo shows) centred on black at
// the phone's own size, as /initlogo.rle, and the picture beside it as
// /initlogo.png for `expect screen logo`. A folder without that picture
// gives its initlogo.rle as it is.
bool install_boot_logo(const std::string& root, const std::string& res_dir, const std::string& set_dir,
                       const DeviceOptions& o) {
  std::string picture = join_path(set_dir, "preview/initlogo.png"), error;
  if (!path_exists(picture)) picture = join_path(res_dir, "preview/initlogo.png");
  Image logo;
  if (!path_exists(picture)) {
    std::string rle = join_path(res_dir, "initlogo.rle");
    return !path_exists(rle) || copy_file(rle, join_path(root, "initlogo.rle"));
  }
  if (!read_png(picture, &logo, &error)) {
    fprintf(stderr, "lumo-sim: warning: %s; the phone has no boot logo\n", error.c_str());
    return true;
  }
  return write_file(join_path(root, "initlogo.rle"), encode_565_rle(logo_on_screen(logo, o.width, o.height))) &&
         copy_file(picture, join_path(root, "initlogo.png"));
}

// Copies the *.png files of `dir` into system/lumo/res/.
bool copy_pictures(const std::string& root, const std::string& dir) {
  bool ok = true;
  for (const std::string& name : list_directory(dir)) {
    std::string from = join_path(dir, name);
    if (!is_directory(from) && name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) {
      ok = copy_file(from, join_path(root, "system/lumo/res/" + name)) && ok;
    }
  }
  return ok;
}

// Copies the pictures of `res_dir` into system/lumo/res/, then those of the
// picture set for the phone's screen (res_dir/WxH/, when there is one) over
// them, and makes the boot logo. A missing folder is only warned about: a
// phone without pictures is still a phone (the program reports what it misses).
bool install_resources(const std::string& root, const std::string& res_dir, const DeviceOptions& o) {
  if (!is_directory(res_dir)) {
    fprintf(stderr, "lumo-sim: warning: no resource folder at %s; the phone has no pictures\n",
            res_dir.c_str());
    return true;
  }
  std::string set_dir = join_path(res_dir, std::to_string(o.width) + "x" + std::to_string(o.height));
  bool ok = copy_pictures(root, res_dir);
  if (is_directory(set_dir)) ok = copy_pictures(root, set_dir) && ok;
  return install_boot_logo(root, res_dir, set_dir, o) && ok;
}

}  // namespace

std::string default_res_dir() { return std::string(LUMO_SIM_SOURCE_DIR) + "/res"; }

bool parse_device_options(const std::vector<std::string>& args, DeviceOptions* options,
                          std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i].rfind("--", 0) != 0) {
      *error = "unexpected argument '" + args[i] + "'";
      return false;
    }
    std::string name = args[i].substr(2);
    std::optional<std::string> value;
    if (size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    const OptionSpec* spec = find_option(name);
    if (spec == nullptr) {
      *error = "unknown option --" + name;
      return false;
    }
    if (spec->has_value() && !value) {
      if (i + 1 >= args.size()) {
        *error = "--" + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (!spec->has_value() && value) {
      *error = "--" + name + " takes no value";
      return false;
    }
    if (value && value->find('\n') != std::string::npos) {
      *error = "--" + name + " takes no line break";
      return false;
    }
    if (!apply_option(*spec, value.value_or(""), options, error)) return false;
    if (spec->flag == &DeviceOptions::force) continue;
    options->kept_args.push_back("--" + name);
    if (value) options->kept_args.push_back(*value);
  }
  return true;
}

namespace {
constexpr const char* kMarkerTitle = "lumo-sim device root\n";
constexpr const char* kKeptPrefix = "option ";
}  // namespace

std::vector<std::string> kept_device_args(const std::string& marker_text) {
  std::vector<std::string> args;
  size_t pos = 0;
  while (pos < marker_text.size()) {
    size_t nl = marker_text.find('\n', pos);
    if (nl == std::string::npos) nl = marker_text.size();
    std::string line = marker_text.substr(pos, nl - pos);
    if (line.rfind(kKeptPrefix, 0) == 0) args.push_back(line.substr(strlen(kKeptPrefix)));
    pos = nl + 1;
  }
  return args;
}

const char* device_options_help() {
  return "  --width N --height N --bpp 16|32   screen (default 480 x 800, 16 bit)\n"
         "  --level N                  battery level in percent (50)\n"
         "  --status TEXT              battery status word (Charging / Discharging)\n"
         "  --health TEXT              battery health word (Good)\n"
         "  --voltage MV               battery voltage in mV (3800)\n"
         "  --charger-voltage MV       charger voltage in mV (5000 / 0)\n"
         "  --temp N --current N --technology TEXT --present 0|1 --adapt 0|1\n"
         "  --chargers ac|usb|ac,usb|none   chargers online (ac)\n"
         "  --startup WORD             sys/power/startup_mode (STARTMODE_CHGINS): charger\n"
         "                             STARTMODE_CHGINS/EXT0/USBINS/CABLE, charger, 2; alarm\n"
         "                             STARTMODE_ALARM, 1; power key STARTMODE_PWRKEY; \"\" unknown\n"
         "  --app-boot TEXT            sys/power/app_boot (empty)\n"
         "  --language xx --country YY persist.sys.language / persist.sys.country\n"
         "  --prop KEY=VALUE           any property (repeatable)\n"
         "  --res DIR                  pictures to install (the source tree's res/)\n"
         "  --no-alarm --no-tty --no-lights --no-input   leave a device out\n"
         "  --force                    replace a device root made by lumo-sim\n";
}

namespace {

// Refuses "/" and foreign folders; empties a root lumo-sim made when forced.
bool prepare_root_folder(const std::string& dir, bool force, std::string* error) {
  if (dir == "/") {
    *error = "refusing to use / as a device root";
    return false;
  }
  if (path_exists(dir) && !is_directory(dir)) {
    *error = dir + " exists and is not a directory";
    return false;
  }
  if (is_directory(dir) && !directory_is_empty(dir)) {
    if (!force) {
      *error = dir + " is not empty (use --force to replace a device root made by lumo-sim)";
      return false;
    }
    if (!path_exists(join_path(dir, kDeviceMarker))) {
      *error = dir + " is not a device root made by lumo-sim; refusing to empty it";
      return false;
    }
    if (!remove_tree(dir)) {
      *error = "cannot empty " + dir;
      return false;
    }
  }
  if (!make_dirs(dir)) {
    *error = "cannot create " + dir;
    return false;
  }
  return true;
}

// Screen, console, alarm, input node and the folders the program writes into.
bool write_devices(const Device& d, const DeviceOptions& o) {
  bool ok = d.write_screen({o.width, o.height, o.bits_per_pixel, 0});
  if (o.with_tty) ok = d.write("/dev/tty0", "") && ok;
  if (o.with_alarm) ok = d.write("/dev/alarm", "") && ok;
  if (o.with_input) ok = d.make_fifo("/dev/input/event0") && ok;
  for (const char* dir : {"/dev/input", "/dev/log", "/dev/socket", "/dev/__properties__", "/data/property"}) {
    ok = d.make_dir(dir) && ok;
  }
  return ok;
}

bool write_power_supplies(const Device& d, const DeviceOptions& o) {
  const std::string ps = "/sys/class/power_supply/";
  bool charging = o.ac_online || o.usb_online;
  const std::pair<std::string, std::string> files[] = {
      {"ac/type", "Mains"},
      {"ac/online", std::to_string(o.ac_online)},
      {"usb/type", "USB"},
      {"usb/online", std::to_string(o.usb_online)},
      {"battery/type", "Battery"},
      {"battery/status", !o.status.empty() ? o.status : charging ? "Charging" : "Discharging"},
      {"battery/health", o.health},
      {"battery/present", std::to_string(o.present)},
      {"battery/capacity", std::to_string(o.level)},
      {"battery/voltage_now", std::to_string(o.voltage_mv * 1000)},
      {"battery/temp", std::to_string(o.temperature)},
      {"battery/technology", o.technology},
      {"battery/charge_now",
       std::to_string(o.charger_voltage_mv >= 0 ? o.charger_voltage_mv : charging ? 5000 : 0)},
      {"battery/current_now", std::to_string(o.current)},
      {"battery/is_adapt_completed", std::to_string(o.adapt_completed)},
  };
  bool ok = true;
  for (const auto& [name, value] : files) ok = d.write(ps + name, sysfs(value)) && ok;
  return ok;
}

// Lights, vibrator, power management, start-up source, CPU frequency.
bool write_system_files(const Device& d, const DeviceOptions& o) {
  bool ok = true;
  if (o.with_lights) {
    for (const char* light : {"backlight", "keyboard", "buttons", "battery", "notifications",
                              "attention", "bluetooth", "wifi"}) {
      ok = d.make_dir(std::string("/sys/class/leds/") + light) && ok;
    }
  }
  ok = d.write("/sys/class/timed_output/vibrator/enable", sysfs(0)) && ok;
  ok = d.write("/sys/power/wake_lock", "") && d.write("/sys/power/wake_unlock", "") && ok;
  ok = d.write("/sys/power/state", sysfs("on")) && ok;
  ok = d.write("/sys/power/startup_mode", o.startup.empty() ? "" : sysfs(o.startup)) && ok;
  ok = d.write("/sys/power/app_boot", o.app_boot.empty() ? "" : sysfs(o.app_boot)) && ok;
  for (const char* cpu : {"cpu0", "cpu1"}) {
    std::string base = std::string("/sys/devices/system/cpu/") + cpu;
    ok = d.write(base + "/online", sysfs(strcmp(cpu, "cpu0") == 0 ? 1 : 0)) && ok;
    ok = d.write(base + "/cpufreq/scaling_governor", sysfs("userspace")) && ok;
    ok = d.write(base + "/cpufreq/ondemand/up_threshold", sysfs(80)) && ok;
    ok = d.write(base + "/cpufreq/scaling_min_freq", sysfs(384000)) && ok;
  }
  return ok;
}

// Properties that init would have set before starting the program.
bool write_properties(const Device& d, const DeviceOptions& o) {
  bool ok = true;
  if (!o.language.empty()) ok = d.set_property("persist.sys.language", o.language) && ok;
  if (!o.country.empty()) ok = d.set_property("persist.sys.country", o.country) && ok;
  for (const auto& [key, value] : o.properties) ok = d.set_property(key, value) && ok;
  return ok;
}

}  // namespace

bool create_device(const std::string& dir_arg, const DeviceOptions& o, std::string* error) {
  std::string dir = absolute_path(dir_arg);
  if (!prepare_root_folder(dir, o.force, error)) return false;
  Device device(dir);
  std::string marker = kMarkerTitle;
  for (const std::string& arg : o.kept_args) {
    marker += kKeptPrefix + arg + "\n";  // parse_device_options refuses line breaks
  }
  bool ok = device.write(std::string("/") + kDeviceMarker, marker);
  ok = write_devices(device, o) && ok;
  ok = write_power_supplies(device, o) && ok;
  ok = write_system_files(device, o) && ok;
  ok = write_properties(device, o) && ok;
  ok = install_resources(dir, o.res_dir.empty() ? default_res_dir() : o.res_dir, o) && ok;
  if (!ok) *error = "could not write every file of the device root " + dir;
  return ok;
}

bool lock_device_root(const std::string& root, UniqueFd* lock, std::string* error) {
  lock->reset(open(join_path(root, kDeviceMarker).c_str(), O_RDONLY | O_CLOEXEC));
  if (!*lock) {
    *error = root + " is not a device root made by lumo-sim";
    return false;
  }
  if (flock(lock->get(), LOCK_EX | LOCK_NB) != 0) {
    *error = "another lumo-sim is playing the phone in " + root + " (only one program runs per device root)";
    lock->reset();
    return false;
  }
  return true;
}

std::string Device::path(const std::string& device_path) const {
  return join_path(root_, device_path);
}

bool Device::is_device_root() const { return path_exists(path(std::string("/") + kDeviceMarker)); }

std::string Device::read(const std::string& device_path) const {
  return read_file(path(device_path)).value_or("");
}

bool Device::write(const std::string& device_path, const std::string& content) const {
  return write_file(path(device_path), content);
}

bool Device::exists(const std::string& device_path) const { return path_exists(path(device_path)); }

bool Device::make_dir(const std::string& device_path) const { return make_dirs(path(device_path)); }

bool Device::make_fifo(const std::string& device_path) const {
  std::string p = path(device_path);
  make_parent_dirs(p);
  return mkfifo(p.c_str(), 0644) == 0;
}

bool Device::remove(const std::string& device_path) const {
  return ::remove(path(device_path).c_str()) == 0 || errno == ENOENT;
}

std::string Device::property_path(const std::string& key) {
  return (key.rfind("persist.", 0) == 0 ? "/data/property/" : "/dev/__properties__/") + key;
}

std::string Device::property(const std::string& key) const { return read(property_path(key)); }

bool Device::set_property(const std::string& key, const std::string& value) const {
  if (!valid_property_key(key) || value.size() > 91) return false;
  return write_file_atomic(path(property_path(key)), value);
}

bool Device::write_battery(const BatteryFields& f) const {
  const std::string bat = "/sys/class/power_supply/battery/";
  bool ok = true;
  auto put_int = [&](const char* name, const std::optional<int>& v, int scale = 1) {
    if (v) ok = write_file(path(bat + name), sysfs(*v * scale)) && ok;
  };
  auto put_text = [&](const char* name, const std::optional<std::string>& v) {
    if (v) ok = write_file(path(bat + name), sysfs(*v)) && ok;
  };
  put_int("capacity", f.level);
  put_int("voltage_now", f.voltage_mv, 1000);
  put_int("charge_now", f.charger_voltage_mv);
  put_int("temp", f.temperature);
  put_int("current_now", f.current);
  put_int("present", f.present);
  put_int("is_adapt_completed", f.adapt);
  put_text("status", f.status);
  put_text("health", f.health);
  put_text("technology", f.technology);
  if (f.ac_online) ok = write_file(path("/sys/class/power_supply/ac/online"), sysfs(*f.ac_online)) && ok;
  if (f.usb_online) ok = write_file(path("/sys/class/power_supply/usb/online"), sysfs(*f.usb_online)) && ok;
  return ok;
}

bool Device::set_charger(const std::string& supply, bool online) const {
  BatteryFields f;
  (supply == "usb" ? f.usb_online : f.ac_online) = online ? 1 : 0;
  std::string other = supply == "usb" ? "ac" : "usb";
  bool any_online = online || trim_sysfs(supply_attribute(other, "online")) == "1";
  std::string status = trim_sysfs(supply_attribute("battery", "status"));
  if (any_online) {
    if (status != "Full") f.status = "Charging";
  } else {
    f.status = "Discharging";
  }
  if (!online && !any_online) f.charger_voltage_mv = 0;
  if (online && atoi(trim_sysfs(supply_attribute("battery", "charge_now")).c_str()) == 0) {
    f.charger_voltage_mv = 5000;
  }
  return write_battery(f);
}

std::string Device::supply_attribute(const std::string& supply, const std::string& name) const {
  return read_file(path("/sys/class/power_supply/" + supply + "/" + name)).value_or("");
}

uint32_t Device::light_color(const std::string& light) const {
  std::string text = trim_sysfs(read_file(path("/sys/class/leds/" + light + "/color")).value_or(""));
  if (text.empty()) return 0;
  return static_cast<uint32_t>(strtoul(text.c_str(), nullptr, 16));
}

int Device::backlight_level() const { return static_cast<int>(light_color("backlight") & 0xff); }

std::vector<std::string> Device::log_lines() const {
  return complete_lines(read_file(path("/dev/log/main")).value_or(""));
}

std::vector<std::string> Device::reboot_lines() const {
  return complete_lines(read_file(path("/dev/reboot")).value_or(""));
}

std::vector<std::string> Device::log_texts(char priority) const {
  std::vector<std::string> texts;
  for (const std::string& line : log_lines()) {
    if (priority == 0 || (!line.empty() && line[0] == priority)) texts.push_back(log_text(line));
  }
  return texts;
}

bool Device::log_contains(const std::string& text) const {
  for (const std::string& t : log_texts()) {
    if (t == text) return true;
  }
  return false;
}

int Device::log_count(const std::string& text, char priority) const {
  std::vector<std::string> texts = log_texts(priority);
  return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

size_t matched_in_order(const std::vector<std::string>& texts, const std::vector<std::string>& wanted) {
  size_t next = 0;
  for (const std::string& t : texts) {
    if (next < wanted.size() && t == wanted[next]) ++next;
  }
  return next;
}

bool Device::write_screen(const FrameInfo& info, char fill) const {
  size_t page = static_cast<size_t>(info.xres) * info.yres * (info.bits_per_pixel / 8);
  return write("/dev/graphics/fb0", std::string(2 * page, fill)) &&
         write("/dev/graphics/fb0.info", frame_info_text(info));
}

int Device::send_uevent(const std::string& datagram, int timeout_ms) const {
  return send_datagram(path("/dev/socket/uevent"), datagram, timeout_ms);
}

std::string log_text(const std::string& line) {
  size_t colon = line.find("): ");
  return colon == std::string::npos ? line : line.substr(colon + 3);
}

}  // namespace sim

namespace sim {

std::string frame_info_text(const FrameInfo& info) {
  char text[160];
  snprintf(text, sizeof(text), "xres=%d\nyres=%d\nbits_per_pixel=%d\nyoffset=%d\n", info.xres,
           info.yres, info.bits_per_pixel, info.yoffset);
  return text;
}

bool parse_frame_info(const std::string& text, FrameInfo* info) {
  FrameInfo out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(pos, nl - pos);
    pos = nl + 1;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq);
    int value;
    if (!parse_int(line.substr(eq + 1), &value)) continue;
    if (key == "xres") out.xres = value;
    if (key == "yres") out.yres = value;
    if (key == "bits_per_pixel") out.bits_per_pixel = value;
    if (key == "yoffset") out.yoffset = value;
  }
  if (out.xres <= 0 || out.yres <= 0 || out.xres > 8192 || out.yres > 8192 ||
      out.bits_per_pixel <= 0 || out.yoffset < 0) {
    return false;
  }
  *info = out;
  return true;
}

bool read_frame_info(const Device& device, FrameInfo* info, std::string* error) {
  // The program rewrites the file on every pan; a read in the middle of a
  // rewrite can see it short, so try a few times.
  for (int attempt = 0; attempt < 20; ++attempt) {
    std::optional<std::string> text = read_file(device.path("/dev/graphics/fb0.info"));
    if (!text) {
      *error = "no screen information at " + device.path("/dev/graphics/fb0.info");
      return false;
    }
    if (parse_frame_info(*text, info)) return true;
    sleep_ms(2);
  }
  *error = "unreadable screen information in " + device.path("/dev/graphics/fb0.info");
  return false;
}

std::string uevent_datagram(const std::vector<std::string>& texts) {
  std::string datagram;
  for (const std::string& t : texts) {
    datagram += t;
    datagram.push_back('\0');
  }
  return datagram;
}

std::vector<std::string> supply_uevent_texts(const std::string& supply) {
  std::string devpath = "/devices/platform/" + supply + "/power_supply/" + supply;
  return {"change@" + devpath, "ACTION=change", "DEVPATH=" + devpath, "SUBSYSTEM=power_supply",
          "POWER_SUPPLY_NAME=" + supply};
}

int send_datagram(const std::string& socket_path, const std::string& bytes, int timeout_ms) {
  UniqueFd sock(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock) return errno;
  timeval timeout = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  UniqueFd dir;
  if (socket_path.size() < sizeof(addr.sun_path)) {
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", socket_path.c_str());
  } else {
    size_t slash = socket_path.rfind('/');
    dir.reset(open(socket_path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return errno;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "/proc/self/fd/%d/%s", dir.get(),
             socket_path.c_str() + slash + 1);
  }
  ssize_t n = sendto(sock.get(), bytes.data(), bytes.size(), timeout_ms == 0 ? MSG_DONTWAIT : 0,
                     reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  if (n == static_cast<ssize_t>(bytes.size())) return 0;
  return n < 0 ? errno : EMSGSIZE;
}

}  // namespace sim
