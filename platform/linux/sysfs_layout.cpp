#include "platform/linux/sysfs_layout.h"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/linux/light_values.h"
#include "platform/owned.h"

namespace platform::kernel {
namespace {

bool exists(const char* root, const char* path) {
  char full[kSysfsPathMax];
  return rooted_path(root, path, full, sizeof(full)) && access(full, F_OK) == 0;
}

bool has_file(const char* dir, const char* name) {
  char path[kSysfsPathMax];
  int n = snprintf(path, sizeof(path), "%s/%s", dir, name);
  return n > 0 && static_cast<size_t>(n) < sizeof(path) && access(path, F_OK) == 0;
}

// The first entry of the class directory `class_dir` (under `root`), in name
// order so that the choice does not depend on the directory's order, for
// which `accept` holds. Its directory goes into `out`.
template <typename Accept>
bool first_device(const char* root, const char* class_dir, Accept accept, char* out) {
  char dir_path[kSysfsPathMax];
  if (!rooted_path(root, class_dir, dir_path, sizeof(dir_path))) return false;
  UniqueDir dir(opendir(dir_path));
  if (!dir) return false;
  char best[256] = "";
  while (const dirent* entry = readdir(dir.get())) {
    if (entry->d_name[0] == '.') continue;
    char device[kSysfsPathMax];
    int n = snprintf(device, sizeof(device), "%s/%s", dir_path, entry->d_name);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof(device)) continue;
    if (!accept(entry->d_name, device)) continue;
    if (best[0] == '\0' || strcmp(entry->d_name, best) < 0) snprintf(best, sizeof(best), "%s", entry->d_name);
  }
  if (best[0] == '\0') return false;
  int n = snprintf(out, kSysfsPathMax, "%s/%s", dir_path, best);
  return n > 0 && n < static_cast<int>(kSysfsPathMax);
}

bool multicolor_rgb(const char* dir) {
  if (!has_file(dir, "multi_intensity") || !has_file(dir, "brightness")) return false;
  char path[kSysfsPathMax + 16];
  snprintf(path, sizeof(path), "%s/multi_index", dir);
  char text[128];
  ChannelOrder order;
  return read_small_file(path, text, sizeof(text)) > 0 && parse_multi_index(text, &order);
}

// The trigger file lists the triggers, the active one in brackets.
bool offers_transient(const char* dir) {
  char path[kSysfsPathMax + 16];
  snprintf(path, sizeof(path), "%s/trigger", dir);
  char text[4096];
  if (read_small_file(path, text, sizeof(text)) <= 0) return false;
  for (const char* p = strstr(text, "transient"); p != nullptr; p = strstr(p + 1, "transient")) {
    bool starts = p == text || p[-1] == ' ' || p[-1] == '[';
    char after = p[9];
    if (starts && (after == '\0' || after == ' ' || after == ']' || after == '\n')) return true;
  }
  return false;
}

}  // namespace

bool rooted_path(const char* root, const char* path, char* out, size_t size) {
  int n = snprintf(out, size, "%s%s", root == nullptr ? "" : root, path);
  if (n > 0 && static_cast<size_t>(n) < size) return true;
  if (size > 0) out[0] = '\0';
  return false;
}

bool find_backlight(const char* root, BacklightLayout* out) {
  *out = {};
  auto backlight = [](const char*, const char* dir) {
    return has_file(dir, "brightness") && has_file(dir, "max_brightness");
  };
  if (first_device(root, "/sys/class/backlight", backlight, out->dir)) return true;
  auto led = [&](const char* name, const char* dir) { return strstr(name, "backlight") != nullptr && backlight(name, dir); };
  out->led = first_device(root, "/sys/class/leds", led, out->dir);
  return out->led;
}

bool find_battery_led(const char* root, BatteryLedLayout* out) {
  *out = {};
  static constexpr const char* kSingle[3] = {"/sys/class/leds/red", "/sys/class/leds/green", "/sys/class/leds/blue"};
  bool all = true;
  for (int c = 0; c < 3 && all; ++c) {
    all = rooted_path(root, kSingle[c], out->dir[c], sizeof(out->dir[c])) && has_file(out->dir[c], "brightness");
  }
  if (all) {
    out->kind = BatteryLedLayout::kThreeLeds;
    return true;
  }
  *out = {};
  if (first_device(root, "/sys/class/leds", [](const char*, const char* dir) { return multicolor_rgb(dir); },
                   out->dir[0])) {
    out->kind = BatteryLedLayout::kMulticolor;
    return true;
  }
  return false;
}

VibratorKind find_vibrator(const char* root) {
  if (exists(root, "/sys/class/timed_output/vibrator/enable")) return VibratorKind::kTimedOutput;
  char dir[kSysfsPathMax];
  if (rooted_path(root, "/sys/class/leds/vibrator", dir, sizeof(dir)) && offers_transient(dir)) {
    return VibratorKind::kTransientLed;
  }
  return VibratorKind::kNone;
}

bool has_early_suspend(const char* root) { return exists(root, "/sys/power/wait_for_fb_sleep"); }

bool has_wake_lock_files(const char* root) {
  return exists(root, "/sys/power/wake_lock") && exists(root, "/sys/power/wake_unlock");
}

}  // namespace platform::kernel
