// What the kernel offers in sysfs for the lights, the vibrator, wake locks
// and screen power, found once by looking at the files. Every function takes
// the directory that stands for "/" ("" on the phone, a temporary tree in
// tests) and changes nothing: it only lists directories and reads files.
#pragma once

#include <cstddef>

namespace platform::kernel {

constexpr size_t kSysfsPathMax = 512;

// The backlight: the first "/sys/class/backlight/*" with brightness and
// max_brightness, else the first LED whose name contains "backlight"
// ("lcd-backlight"). `dir` is its directory (with the root), "" when none.
struct BacklightLayout {
  char dir[kSysfsPathMax];
  bool led;  // an LED-class device rather than a backlight-class one
};
bool find_backlight(const char* root, BacklightLayout* out);

// The battery LED: the LEDs "red", "green" and "blue" (all three), else the
// first multicolour LED (multi_index and multi_intensity) that has a red, a
// green and a blue channel.
struct BatteryLedLayout {
  enum Kind { kNone, kThreeLeds, kMulticolor } kind;
  char dir[3][kSysfsPathMax];  // kThreeLeds: red, green, blue; kMulticolor: dir[0]
};
bool find_battery_led(const char* root, BatteryLedLayout* out);

// The vibrator: "/sys/class/timed_output/vibrator/enable" where it exists,
// else an LED named "vibrator" whose triggers include "transient", else none.
enum class VibratorKind { kNone, kTimedOutput, kTransientLed };
VibratorKind find_vibrator(const char* root);

// The old early-suspend interface ("/sys/power/wait_for_fb_sleep"): only
// there may "mem" be written to "/sys/power/state" to darken the screen; on
// other kernels it suspends the whole phone.
bool has_early_suspend(const char* root);

// Wake locks through "/sys/power/wake_lock" and "/sys/power/wake_unlock".
bool has_wake_lock_files(const char* root);

// root + path into `out`; false when it does not fit.
bool rooted_path(const char* root, const char* path, char* out, size_t size);

}  // namespace platform::kernel
