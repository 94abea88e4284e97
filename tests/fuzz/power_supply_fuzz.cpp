// Power-supply attribute text: the first input byte picks an attribute of a
// simulated battery or charger, the rest becomes that file's content; the
// record is read again and queried. The text parsers also see the raw text.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "battery/battery.h"
#include "tests/fuzz/fuzz_root.h"

namespace {

constexpr const char* kAttributes[] = {
    "/sys/class/power_supply/battery/status",      "/sys/class/power_supply/battery/health",
    "/sys/class/power_supply/battery/present",     "/sys/class/power_supply/battery/capacity",
    "/sys/class/power_supply/battery/voltage_now", "/sys/class/power_supply/battery/temp",
    "/sys/class/power_supply/battery/technology",  "/sys/class/power_supply/battery/current_now",
    "/sys/class/power_supply/battery/charge_now",  "/sys/class/power_supply/battery/is_adapt_completed",
    "/sys/class/power_supply/ac/online",           "/sys/class/power_supply/usb/online",
    "/sys/class/power_supply/usb/voltage_now",
};
constexpr size_t kCount = sizeof(kAttributes) / sizeof(kAttributes[0]);

void make_supplies() {
  using lumo_fuzz::put_text;
  put_text("/sys/class/power_supply/ac/type", "Mains");
  put_text("/sys/class/power_supply/usb/type", "USB");
  put_text("/sys/class/power_supply/battery/type", "Battery");
  for (const char* path : kAttributes) put_text(path, "1");
  if (register_BatteryService() != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = (lumo_fuzz::fuzz_root(), make_supplies(), true);
  (void)ready;
  lumo_fuzz::fuzz_trim_log();
  if (size == 0) return 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  lumo_fuzz::put_text(kAttributes[data[0] % kCount], text);
  readBatteryState();
  BatteryState state = getBatteryState();
  if (state.batteryTechnology[kBatteryTechnologySize - 1] != '\0') abort();  // always a terminated text
  getBatteryLevel();
  getBatteryStatus();
  getBatteryHealth();
  getChargerVoltage();
  getBatteryVoltage();
  isChargerOnline();
  clearBatteryStateLogged();
  logBatteryState();

  // The parsers on the raw text (cut at its first NUL, as a read would be).
  int32_t status = parseBatteryStatus(text.c_str());
  int32_t health = parseBatteryHealth(text.c_str());
  if (status < BATTERY_STATUS_UNKNOWN || status > BATTERY_STATUS_FULL) abort();
  if (health < BATTERY_HEALTH_UNKNOWN || health > BATTERY_HEALTH_COLD) abort();
  parseSysfsInt(text.c_str());
  return 0;
}
