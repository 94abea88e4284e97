#include "sim/device.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "sim/files.h"

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

std::string property_device_path(const std::string& key) {
  return (key.rfind("persist.", 0) == 0 ? "/data/property/" : "/dev/__properties__/") + key;
}

// One option: its name and whether it takes a value.
struct OptionSpec {
  const char* name;
  bool has_value;
};

constexpr OptionSpec kOptions[] = {
    {"width", true},     {"height", true},         {"bpp", true},      {"level", true},
    {"status", true},    {"health", true},         {"voltage", true},  {"charger-voltage", true},
    {"temp", true},      {"current", true},        {"technology", true}, {"present", true},
    {"adapt", true},     {"chargers", true},       {"startup", true},  {"app-boot", true},
    {"language", true},  {"country", true},        {"prop", true},     {"res", true},
    {"no-alarm", false}, {"no-tty", false},        {"no-lights", false}, {"no-input", false},
    {"force", false},
};

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

bool apply_option(const std::string& name, const std::string& value, DeviceOptions* o,
                  std::string* error) {
  if (name == "width") return set_int(name, value, 1, 4096, &o->width, error);
  if (name == "height") return set_int(name, value, 1, 4096, &o->height, error);
  if (name == "bpp") {
    if (value != "16" && value != "32") {
      *error = "--bpp must be 16 or 32, not '" + value + "'";
      return false;
    }
    o->bits_per_pixel = value == "16" ? 16 : 32;
    return true;
  }
  if (name == "level") return set_int(name, value, -1000, 1000, &o->level, error);
  if (name == "voltage") return set_int(name, value, -100000, 100000, &o->voltage_mv, error);
  if (name == "charger-voltage") {
    return set_int(name, value, -100000, 100000, &o->charger_voltage_mv, error);
  }
  if (name == "temp") return set_int(name, value, -10000, 10000, &o->temperature, error);
  if (name == "current") return set_int(name, value, -10000000, 10000000, &o->current, error);
  if (name == "present") return set_int(name, value, 0, 1, &o->present, error);
  if (name == "adapt") return set_int(name, value, 0, 1, &o->adapt_completed, error);
  if (name == "status") return o->status = value, true;
  if (name == "health") return o->health = value, true;
  if (name == "technology") return o->technology = value, true;
  if (name == "startup") return o->startup = value, true;
  if (name == "app-boot") return o->app_boot = value, true;
  if (name == "language") return o->language = value, true;
  if (name == "country") return o->country = value, true;
  if (name == "res") return o->res_dir = value, true;
  if (name == "chargers") {
    o->ac_online = o->usb_online = false;
    if (value == "none") return true;
    size_t pos = 0;
    while (pos <= value.size()) {
      size_t comma = value.find(',', pos);
      if (comma == std::string::npos) comma = value.size();
      std::string part = value.substr(pos, comma - pos);
      if (part == "ac") {
        o->ac_online = true;
      } else if (part == "usb") {
        o->usb_online = true;
      } else {
        *error = "--chargers takes ac, usb, ac,usb or none, not '" + value + "'";
        return false;
      }
      pos = comma + 1;
    }
    return true;
  }
  if (name == "prop") {
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
  if (name == "no-alarm") return o->with_alarm = false, true;
  if (name == "no-tty") return o->with_tty = false, true;
  if (name == "no-lights") return o->with_lights = false, true;
  if (name == "no-input") return o->with_input = false, true;
  if (name == "force") return o->force = true, true;
  *error = "unknown option --" + name;
  return false;
}

bool make_fifo(const std::string& path) {
  make_parent_dirs(path);
  return mkfifo(path.c_str(), 0644) == 0;
}

std::string fb_info_text(const DeviceOptions& o) {
  char text[160];
  snprintf(text, sizeof(text), "xres=%d\nyres=%d\nbits_per_pixel=%d\nyoffset=0\n", o.width,
           o.height, o.bits_per_pixel);
  return text;
}

// Copies the pictures (*.png) of `res_dir` into system/lumo/res/ and its initlogo.rle to
// the root. A missing folder is only warned about: a phone without pictures is
// still a phone (the program reports what it misses).
void install_resources(const std::string& root, const std::string& res_dir) {
  if (!is_directory(res_dir)) {
    fprintf(stderr, "lumo-sim: warning: no resource folder at %s; the phone has no pictures\n",
            res_dir.c_str());
    return;
  }
  for (const std::string& name : list_directory(res_dir)) {
    std::string from = join_path(res_dir, name);
    if (is_directory(from)) continue;
    if (name == "initlogo.rle") {
      copy_file(from, join_path(root, "initlogo.rle"));
    } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) {
      copy_file(from, join_path(root, "system/lumo/res/" + name));
    }
  }
}

}  // namespace

std::string default_res_dir() { return std::string(LUMO_SIM_SOURCE_DIR) + "/res"; }

bool parse_device_options(const std::vector<std::string>& args, DeviceOptions* options,
                          std::string* error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.rfind("--", 0) != 0) {
      *error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg.substr(2);
    std::optional<std::string> value;
    size_t eq = name.find('=');
    if (eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    const OptionSpec* spec = nullptr;
    for (const OptionSpec& s : kOptions) {
      if (name == s.name) spec = &s;
    }
    if (spec == nullptr) {
      *error = "unknown option --" + name;
      return false;
    }
    if (spec->has_value && !value) {
      if (i + 1 >= args.size()) {
        *error = "--" + name + " needs a value";
        return false;
      }
      value = args[++i];
    }
    if (!spec->has_value && value) {
      *error = "--" + name + " takes no value";
      return false;
    }
    if (!apply_option(name, value.value_or(""), options, error)) return false;
  }
  return true;
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
         "  --startup TEXT             sys/power/startup_mode (STARTMODE_CHGINS)\n"
         "  --app-boot TEXT            sys/power/app_boot (empty)\n"
         "  --language xx --country YY persist.sys.language / persist.sys.country\n"
         "  --prop KEY=VALUE           any property (repeatable)\n"
         "  --res DIR                  pictures to install (the source tree's res/)\n"
         "  --no-alarm --no-tty --no-lights --no-input   leave a device out\n"
         "  --force                    replace a device root made by lumo-sim\n";
}

bool create_device(const std::string& dir_arg, const DeviceOptions& o, std::string* error) {
  std::string dir = absolute_path(dir_arg);
  if (dir == "/") {
    *error = "refusing to use / as a device root";
    return false;
  }
  if (path_exists(dir) && !is_directory(dir)) {
    *error = dir + " exists and is not a directory";
    return false;
  }
  if (is_directory(dir) && !directory_is_empty(dir)) {
    if (!o.force) {
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
  Device device(dir);
  auto put = [&](const std::string& device_path, const std::string& content) {
    return write_file(device.path(device_path), content);
  };
  bool ok = put(std::string("/") + kDeviceMarker, "lumo-sim device root\n");

  // Screen: two pages of black pixels and the screen information.
  size_t page = static_cast<size_t>(o.width) * o.height * (o.bits_per_pixel / 8);
  ok = put("/dev/graphics/fb0", std::string(2 * page, '\0')) && ok;
  ok = put("/dev/graphics/fb0.info", fb_info_text(o)) && ok;
  if (o.with_tty) ok = put("/dev/tty0", "") && ok;
  if (o.with_alarm) ok = put("/dev/alarm", "") && ok;
  if (o.with_input) ok = make_fifo(device.path("/dev/input/event0")) && ok;
  ok = make_dirs(device.path("/dev/input")) && ok;
  ok = make_dirs(device.path("/dev/log")) && ok;
  ok = make_dirs(device.path("/dev/socket")) && ok;
  ok = make_dirs(device.path("/dev/__properties__")) && ok;
  ok = make_dirs(device.path("/data/property")) && ok;

  // Power supplies.
  const std::string ps = "/sys/class/power_supply/";
  ok = put(ps + "ac/type", sysfs("Mains")) && put(ps + "ac/online", sysfs(o.ac_online)) && ok;
  ok = put(ps + "usb/type", sysfs("USB")) && put(ps + "usb/online", sysfs(o.usb_online)) && ok;
  bool charging = o.ac_online || o.usb_online;
  std::string status = !o.status.empty() ? o.status : charging ? "Charging" : "Discharging";
  int charger_mv = o.charger_voltage_mv >= 0 ? o.charger_voltage_mv : charging ? 5000 : 0;
  const std::string bat = ps + "battery/";
  ok = put(bat + "type", sysfs("Battery")) && ok;
  ok = put(bat + "status", sysfs(status)) && put(bat + "health", sysfs(o.health)) && ok;
  ok = put(bat + "present", sysfs(o.present)) && put(bat + "capacity", sysfs(o.level)) && ok;
  ok = put(bat + "voltage_now", sysfs(o.voltage_mv * 1000)) && ok;
  ok = put(bat + "temp", sysfs(o.temperature)) && put(bat + "technology", sysfs(o.technology)) && ok;
  ok = put(bat + "charge_now", sysfs(charger_mv)) && put(bat + "current_now", sysfs(o.current)) && ok;
  ok = put(bat + "is_adapt_completed", sysfs(o.adapt_completed)) && ok;

  // Lights, vibrator, power management, CPU frequency.
  if (o.with_lights) {
    for (const char* light : {"backlight", "keyboard", "buttons", "battery", "notifications",
                              "attention", "bluetooth", "wifi"}) {
      ok = make_dirs(device.path(std::string("/sys/class/leds/") + light)) && ok;
    }
  }
  ok = put("/sys/class/timed_output/vibrator/enable", sysfs(0)) && ok;
  ok = put("/sys/power/wake_lock", "") && put("/sys/power/wake_unlock", "") && ok;
  ok = put("/sys/power/state", sysfs("on")) && ok;
  ok = put("/sys/power/startup_mode", o.startup.empty() ? "" : sysfs(o.startup)) && ok;
  ok = put("/sys/power/app_boot", o.app_boot.empty() ? "" : sysfs(o.app_boot)) && ok;
  for (const char* cpu : {"cpu0", "cpu1"}) {
    std::string base = std::string("/sys/devices/system/cpu/") + cpu;
    ok = put(base + "/online", sysfs(strcmp(cpu, "cpu0") == 0 ? 1 : 0)) && ok;
    ok = put(base + "/cpufreq/scaling_governor", sysfs("userspace")) && ok;
    ok = put(base + "/cpufreq/ondemand/up_threshold", sysfs(80)) && ok;
    ok = put(base + "/cpufreq/scaling_min_freq", sysfs(384000)) && ok;
  }

  // Properties that init would have set before starting the program.
  if (!o.language.empty()) ok = device.set_property("persist.sys.language", o.language) && ok;
  if (!o.country.empty()) ok = device.set_property("persist.sys.country", o.country) && ok;
  for (const auto& [key, value] : o.properties) ok = device.set_property(key, value) && ok;

  install_resources(dir, o.res_dir.empty() ? default_res_dir() : o.res_dir);
  if (!ok) *error = "could not write every file of the device root " + dir;
  return ok;
}

std::string Device::path(const std::string& device_path) const {
  return join_path(root_, device_path);
}

bool Device::is_device_root() const { return path_exists(path(std::string("/") + kDeviceMarker)); }

std::string Device::property(const std::string& key) const {
  return read_file(path(property_device_path(key))).value_or("");
}

bool Device::set_property(const std::string& key, const std::string& value) const {
  if (!valid_property_key(key) || value.size() > 91) return false;
  return write_file_atomic(path(property_device_path(key)), value);
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

namespace {

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) break;  // a line still being written
    lines.push_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

}  // namespace

std::vector<std::string> Device::log_lines() const {
  return split_lines(read_file(path("/dev/log/main")).value_or(""));
}

std::vector<std::string> Device::reboot_lines() const {
  return split_lines(read_file(path("/dev/reboot")).value_or(""));
}

std::string log_text(const std::string& line) {
  size_t colon = line.find("): ");
  return colon == std::string::npos ? line : line.substr(colon + 3);
}

}  // namespace sim
