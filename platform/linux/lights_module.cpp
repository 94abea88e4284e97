// Linux backend of the lights module: the kernel's backlight and LED classes.
//   - "backlight": the first backlight-class device, else an LED named like
//     "lcd-backlight"; the request's luminance scaled to max_brightness;
//   - "battery": the LEDs red, green and blue, each channel scaled to its
//     max_brightness, else one multicolour LED (multi_intensity in its
//     multi_index order, brightness at its max while lit);
//   - every other light, and a light the phone lacks, does not open.
// Flashing is not offered (the program asks for steady colours).
#include "platform/lights_module.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unistd.h>

#include "platform/files.h"
#include "platform/linux/light_values.h"
#include "platform/linux/sysfs_layout.h"

namespace platform {

struct LightDevice {
  enum Kind { kBacklight, kThreeLeds, kMulticolor } kind;
  char dir[3][kernel::kSysfsPathMax];
  unsigned max[3];
  kernel::ChannelOrder order;
  std::mutex mutex;  // one request at a time per light
};

namespace {

constexpr const char* kRoot = "";

int write_value(const char* dir, const char* name, const char* text) {
  char path[kernel::kSysfsPathMax + 32];
  snprintf(path, sizeof(path), "%s/%s", dir, name);
  return write_whole_file(path, text, strlen(text), false) ? 0 : -1;
}

int write_number(const char* dir, const char* name, unsigned value) {
  char text[16];
  snprintf(text, sizeof(text), "%u", value);
  return write_value(dir, name, text);
}

// max_brightness of an LED or backlight; 255 when it cannot be read.
unsigned read_max(const char* dir) {
  char path[kernel::kSysfsPathMax + 32];
  snprintf(path, sizeof(path), "%s/max_brightness", dir);
  char text[32];
  if (read_small_file(path, text, sizeof(text)) <= 0) return 255;
  char* end = nullptr;
  unsigned long v = strtoul(text, &end, 10);
  return end != text && v <= 1000000 ? static_cast<unsigned>(v) : 255;
}

LightDevice* open_backlight() {
  kernel::BacklightLayout layout;
  if (!kernel::find_backlight(kRoot, &layout)) return nullptr;
  auto* device = new (std::nothrow) LightDevice();
  if (device == nullptr) return nullptr;
  device->kind = LightDevice::kBacklight;
  snprintf(device->dir[0], sizeof(device->dir[0]), "%s", layout.dir);
  device->max[0] = read_max(layout.dir);
  return device;
}

LightDevice* open_battery() {
  kernel::BatteryLedLayout layout;
  if (!kernel::find_battery_led(kRoot, &layout)) return nullptr;
  auto* device = new (std::nothrow) LightDevice();
  if (device == nullptr) return nullptr;
  int dirs = layout.kind == kernel::BatteryLedLayout::kThreeLeds ? 3 : 1;
  device->kind = dirs == 3 ? LightDevice::kThreeLeds : LightDevice::kMulticolor;
  for (int c = 0; c < dirs; ++c) {
    snprintf(device->dir[c], sizeof(device->dir[c]), "%s", layout.dir[c]);
    device->max[c] = read_max(layout.dir[c]);
  }
  if (device->kind == LightDevice::kMulticolor) {
    char path[kernel::kSysfsPathMax + 32];
    snprintf(path, sizeof(path), "%s/multi_index", device->dir[0]);
    char text[128];
    if (read_small_file(path, text, sizeof(text)) <= 0 || !kernel::parse_multi_index(text, &device->order)) {
      delete device;
      return nullptr;
    }
  }
  return device;
}

// The module's negative error value for the last failed call.
int failure() { return errno > 0 ? -errno : -1; }

int set_three_leds(LightDevice* device, uint32_t color) {
  kernel::RgbLevels levels = kernel::split_color(color, device->max[0], device->max[1], device->max[2]);
  int result = write_number(device->dir[0], "brightness", levels.red);
  result |= write_number(device->dir[1], "brightness", levels.green);
  result |= write_number(device->dir[2], "brightness", levels.blue);
  return result == 0 ? 0 : -1;
}

int set_multicolor(LightDevice* device, uint32_t color) {
  char text[48];
  if (kernel::format_multi_intensity(color, device->order, text, sizeof(text)) == 0) return -1;
  if (write_value(device->dir[0], "multi_intensity", text) != 0) return -1;
  return write_number(device->dir[0], "brightness", kernel::multicolor_brightness(color, device->max[0]));
}

}  // namespace

int lights_module_load() {
  char dir[kernel::kSysfsPathMax];
  bool leds = kernel::rooted_path(kRoot, "/sys/class/leds", dir, sizeof(dir)) && access(dir, F_OK) == 0;
  bool backlight = kernel::rooted_path(kRoot, "/sys/class/backlight", dir, sizeof(dir)) && access(dir, F_OK) == 0;
  return leds || backlight ? 0 : -ENODEV;
}

// Devices are made once per name and kept for the process, as the module's
// devices are never closed.
LightDevice* lights_open(const char* name) {
  if (name == nullptr) return nullptr;
  static std::mutex mutex;
  static LightDevice* backlight = nullptr;
  static LightDevice* battery = nullptr;
  std::lock_guard<std::mutex> lock(mutex);
  if (strcmp(name, "backlight") == 0) {
    if (backlight == nullptr) backlight = open_backlight();
    return backlight;
  }
  if (strcmp(name, "battery") == 0) {
    if (battery == nullptr) battery = open_battery();
    return battery;
  }
  return nullptr;
}

int lights_set(LightDevice* device, const LightState* state) {
  if (device == nullptr || state == nullptr) return -EINVAL;
  std::lock_guard<std::mutex> lock(device->mutex);
  switch (device->kind) {
    case LightDevice::kBacklight:
      return write_number(device->dir[0], "brightness",
                          kernel::scale_level(kernel::luminance(state->color), device->max[0])) == 0
                 ? 0
                 : failure();
    case LightDevice::kThreeLeds: return set_three_leds(device, state->color) == 0 ? 0 : failure();
    default: return set_multicolor(device, state->color) == 0 ? 0 : failure();
  }
}

}  // namespace platform
