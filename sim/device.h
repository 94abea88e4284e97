// The simulated phone as lumo-sim sees it: a device root directory laid out
// as the host device contract describes (sysfs-like files, property store,
// framebuffer file, input FIFO, log). `create_device` builds one; `Device`
// reads and writes it from the outside, playing the kernel and init.
// Single-threaded; never touches anything outside the root it was given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sim/files.h"

namespace sim {

// Marker file that create_device leaves in every root it makes. --force and
// `run` only act on directories that carry it.
constexpr const char* kDeviceMarker = ".lumo-sim";

struct DeviceOptions {
  int width = 480;
  int height = 800;
  int bits_per_pixel = 16;
  int level = 50;
  std::string status;  // empty: "Charging" with a charger online, else "Discharging"
  std::string health = "Good";
  int voltage_mv = 3800;
  int charger_voltage_mv = -1;  // -1: 5000 with a charger online, else 0
  int temperature = 250;
  int current = 400;
  std::string technology = "Li-ion";
  int present = 1;
  int adapt_completed = 1;
  bool ac_online = true;
  bool usb_online = false;
  std::string startup = "STARTMODE_CHGINS";  // sys/power/startup_mode
  std::string app_boot;                      // sys/power/app_boot
  std::string language;                      // persist.sys.language when set
  std::string country;                       // persist.sys.country when set
  std::vector<std::pair<std::string, std::string>> properties;
  std::string res_dir;  // empty: the source tree's res/
  bool with_alarm = true;
  bool with_tty = true;
  bool with_lights = true;
  bool with_input = true;
  bool force = false;
  // The options as given (each "--name" and its value), kept in the phone's
  // marker file so that --fresh and reset rebuild the same phone. --force is
  // not kept.
  std::vector<std::string> kept_args;
};

// Parses create options ("--level 20", "--level=20", "--prop k=v", ...) into
// `options`, on top of what it holds. False with a message on a bad option.
bool parse_device_options(const std::vector<std::string>& args, DeviceOptions* options,
                          std::string* error);
// The options a phone was made with, from the text of its marker file.
std::vector<std::string> kept_device_args(const std::string& marker_text);

// Text of the options for `lumo-sim help`.
const char* device_options_help();

// Builds the device root `dir`. Refuses an existing non-empty directory unless
// options.force is set and the directory is a root made by lumo-sim (it is
// then emptied first). False with a message on failure.
bool create_device(const std::string& dir, const DeviceOptions& options, std::string* error);

// Takes the phone for this process (an exclusive lock on its marker file,
// held while `lock` is open), so that only one lumo-sim plays a program in a
// root at a time. False with a message when another process holds it.
bool lock_device_root(const std::string& root, UniqueFd* lock, std::string* error);

// The default resource folder (the source tree's res/).
std::string default_res_dir();

// The screen information of dev/graphics/fb0.info.
struct FrameInfo {
  int xres = 0;
  int yres = 0;
  int bits_per_pixel = 0;
  int yoffset = 0;
};

// The file's text: "xres=..", "yres=..", "bits_per_pixel=..", "yoffset=.." lines.
std::string frame_info_text(const FrameInfo& info);
// Reads those lines (others ignored); false when a size is missing or absurd.
bool parse_frame_info(const std::string& text, FrameInfo* info);

// A uevent as the kernel sends it: each text NUL-terminated, ACTION@DEVPATH first.
std::string uevent_datagram(const std::vector<std::string>& texts);
// The texts of the kernel's "change" uevent for a power supply ("ac", "usb", "battery").
std::vector<std::string> supply_uevent_texts(const std::string& supply);
// Sends one datagram to the Unix socket at the host path `socket_path`. A
// path too long for a socket address is reached through a descriptor of its
// folder (/proc/self/fd/N/NAME). `timeout_ms` 0 does not wait for room.
// 0, or the errno of the failure.
int send_datagram(const std::string& socket_path, const std::string& bytes, int timeout_ms);

// The battery and charger facts that a scenario changes.
struct BatteryFields {
  std::optional<int> level, voltage_mv, charger_voltage_mv, temperature, current, present, adapt;
  std::optional<int> ac_online, usb_online;
  std::optional<std::string> status, health, technology;
};

class Device {
 public:
  explicit Device(std::string root) : root_(std::move(root)) {}
  const std::string& root() const { return root_; }
  // Host path of a device path ("/sys/x" -> ROOT/sys/x).
  std::string path(const std::string& device_path) const;
  bool is_device_root() const;

  // Plain file access by device path. `read` gives "" for a missing file;
  // `write` replaces the content and makes the parent folders.
  std::string read(const std::string& device_path) const;
  bool write(const std::string& device_path, const std::string& content) const;
  bool exists(const std::string& device_path) const;
  bool make_dir(const std::string& device_path) const;
  bool make_fifo(const std::string& device_path) const;
  bool remove(const std::string& device_path) const;  // true when it is gone

  // The property store: "persist." keys under data/property/, others under
  // dev/__properties__/. `set_property` writes as init does (atomically) and
  // refuses what the store refuses (a bad key, a value over 91 bytes).
  static std::string property_path(const std::string& key);
  std::string property(const std::string& key) const;  // "" when unset
  bool set_property(const std::string& key, const std::string& value) const;

  // dev/graphics/fb0 as two pages of `fill` bytes, and its screen information.
  bool write_screen(const FrameInfo& info, char fill = 0) const;
  // Sends a datagram to the program's uevent socket (see send_datagram).
  int send_uevent(const std::string& datagram, int timeout_ms) const;

  // Writes the given power-supply attributes (sysfs style, newline-ended).
  bool write_battery(const BatteryFields& fields) const;
  // A charger goes on or off line; the battery status follows it.
  bool set_charger(const std::string& supply, bool online) const;
  std::string supply_attribute(const std::string& supply, const std::string& name) const;

  // The colour last sent to a light, 0 when none was sent.
  uint32_t light_color(const std::string& light) const;
  // The backlight level (the low byte of its grey colour).
  int backlight_level() const;

  // Complete lines of dev/log/main and dev/reboot (a line still being
  // written is left out); `log_texts` are the texts after "): ", of one
  // priority letter (D, I, W, E) when `priority` is not 0.
  std::vector<std::string> log_lines() const;
  std::vector<std::string> log_texts(char priority = 0) const;
  bool log_contains(const std::string& text) const;
  // Lines whose text equals `text` (of one priority when it is not 0).
  int log_count(const std::string& text, char priority = 0) const;
  std::vector<std::string> reboot_lines() const;

 private:
  std::string root_;
};

// The text after "): " of a log line "P/lumo(PID): TEXT".
std::string log_text(const std::string& line);

// How many of `wanted` appear in `texts` in that order, others between:
// wanted.size() when all do.
size_t matched_in_order(const std::vector<std::string>& texts, const std::vector<std::string>& wanted);
inline bool in_order(const std::vector<std::string>& texts, const std::vector<std::string>& wanted) {
  return matched_in_order(texts, wanted) == wanted.size();
}

// Reads dev/graphics/fb0.info, retrying a read that catches a pan's rewrite.
bool read_frame_info(const Device& device, FrameInfo* info, std::string* error);

}  // namespace sim
