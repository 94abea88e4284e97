// Power-supply discovery, the battery state record and its queries.
#include "battery/battery.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <mutex>
#include <unistd.h>

#include "config/properties.h"
#include "config/settings.h"
#include "platform/log.h"
#include "platform/owned.h"
#include "platform/paths.h"

namespace {

constexpr const char* kPowerSupplyDir = "/sys/class/power_supply";
constexpr size_t kPathSize = 4096;
constexpr size_t kTypeSize = 20;
constexpr size_t kValueSize = 128;

// The discovered attribute files, in the order their "not found" lines are
// logged. Each is a device path, empty when absent.
enum PathId {
  kAcOnline,
  kUsbOnline,
  kBatteryStatus,
  kBatteryHealth,
  kBatteryPresent,
  kBatteryCapacity,
  kBatteryVoltage,
  kBatteryTemperature,
  kBatteryTechnology,
  kBatteryChargeNow,
  kBatteryCurrentNow,
  kBatteryAdaptCompleted,
  kPathCount,
};

constexpr const char* kPathNames[kPathCount] = {
    "acOnline",          "usbOnline",         "batteryStatus",         "batteryHealth",
    "batteryPresent",    "batteryCapacity",   "batteryVoltage",        "batteryTemperature",
    "batteryTechnology", "batteryCharge_Now", "batteryCurrent_Now",    "batteryAdaptCompleted",
};

// Paths and divisor: written by discovery, read by every re-reading. The lock
// also keeps two readings from interleaving their writes to the record.
// Plain arrays so that nothing is destroyed at exit under a running thread.
std::mutex g_paths_mutex;
char g_paths[kPathCount][kPathSize];
int32_t g_voltage_divisor = 1;

// The record. Only readBatteryState writes it (and the test reset).
struct SharedState {
  std::atomic<int32_t> acOnline{0};
  std::atomic<int32_t> usbOnline{0};
  std::atomic<int32_t> batteryStatus{0};
  std::atomic<int32_t> batteryHealth{0};
  std::atomic<int32_t> batteryPresent{0};
  std::atomic<int32_t> batteryLevel{0};
  std::atomic<int32_t> batteryVoltage{0};
  std::atomic<int32_t> batteryTemperature{0};
  std::atomic<int32_t> chargerVoltage{0};
  std::atomic<int32_t> batteryCurrent{0};
  std::atomic<int32_t> adaptCompleted{0};
};
SharedState g_state;
std::mutex g_technology_mutex;
char g_technology[kBatteryTechnologySize];

// Logging state, written by the main thread and the event thread alike.
std::atomic<int> g_state_logged{0};
std::atomic<int32_t> g_last_level{-1};
std::atomic<int32_t> g_last_status{-1};
std::atomic<int32_t> g_last_charger_voltage{-1};
std::atomic<int32_t> g_last_health{-1};
std::atomic<int32_t> g_last_voltage{-1};

using DirPtr = platform::UniqueDir;

const char* pathOrNull(PathId id) { return g_paths[id][0] == '\0' ? nullptr : g_paths[id]; }

// "%s/%s/<attribute>" of the supply `entry`; cut short silently when long.
void supplyPath(char* out, const char* entry, const char* attribute) {
  snprintf(out, kPathSize, "%s/%s/%s", kPowerSupplyDir, entry, attribute);
}

bool readable(const char* device_path) {
  char host[kPathSize];
  return platform::map_path(device_path, host, sizeof(host)) && access(host, R_OK) == 0;
}

// Stores the supply's attribute as `id` when that file is readable.
bool takeIfReadable(PathId id, const char* entry, const char* attribute) {
  char path[kPathSize];
  supplyPath(path, entry, attribute);
  if (!readable(path)) return false;
  snprintf(g_paths[id], kPathSize, "%s", path);
  return true;
}

void takeBatteryPaths(const char* entry) {
  takeIfReadable(kBatteryStatus, entry, "status");
  takeIfReadable(kBatteryHealth, entry, "health");
  takeIfReadable(kBatteryPresent, entry, "present");
  takeIfReadable(kBatteryCapacity, entry, "capacity");
  // The divisor follows the file stored last: with two batteries, a later
  // "batt_vol" (millivolts) must not be divided as microvolts.
  if (takeIfReadable(kBatteryVoltage, entry, "voltage_now")) {
    g_voltage_divisor = 1000;
  } else if (takeIfReadable(kBatteryVoltage, entry, "batt_vol")) {
    g_voltage_divisor = 1;
  }
  if (!takeIfReadable(kBatteryTemperature, entry, "temp")) {
    takeIfReadable(kBatteryTemperature, entry, "batt_temp");
  }
  takeIfReadable(kBatteryTechnology, entry, "technology");
  takeIfReadable(kBatteryChargeNow, entry, "charge_now");
  takeIfReadable(kBatteryCurrentNow, entry, "current_now");
  takeIfReadable(kBatteryAdaptCompleted, entry, "is_adapt_completed");
}

void examineSupply(const char* entry) {
  char path[kPathSize];
  char type[kTypeSize];
  supplyPath(path, entry, "type");
  if (readSysfsFile(path, type, sizeof(type)) <= 0) return;
  if (strcmp(type, "Mains") == 0) {
    takeIfReadable(kAcOnline, entry, "online");
  } else if (strcmp(type, "USB") == 0) {
    takeIfReadable(kUsbOnline, entry, "online");
  } else if (strcmp(type, "Battery") == 0) {
    takeBatteryPaths(entry);
  }
}

// Reads `path` into `buffer`; the count of characters, < 1 for nothing read.
int readText(PathId id, char* buffer, size_t size) {
  return readSysfsFile(pathOrNull(id), buffer, size);
}

int32_t readInt(PathId id) { return readIntFromFile(pathOrNull(id)); }

void readTechnology() {
  char text[kValueSize];
  int n = readText(kBatteryTechnology, text, sizeof(text));
  if (n <= 0) return;
  // Only the text and its NUL are replaced; the bytes behind keep what they
  // held, and change detection sees them.
  std::lock_guard<std::mutex> lock(g_technology_mutex);
  memcpy(g_technology, text, static_cast<size_t>(n) + 1);
}

// Stores `value` as the last reported one; true when that changed it. One
// exchange, so two threads asking at once log a change only once.
bool changedSinceReported(std::atomic<int32_t>& last, int32_t value) {
  return last.exchange(value) != value;
}

}  // namespace

int32_t parseSysfsInt(const char* text) {
  if (text == nullptr) return 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  while (isspace(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // atoi overflows on long digit runs; saturate at the 32-bit limits instead.
  const int64_t limit = negative ? -static_cast<int64_t>(INT32_MIN) : INT32_MAX;
  int64_t value = 0;
  for (; isdigit(*p); ++p) {
    value = value * 10 + (*p - '0');
    if (value > limit) value = limit;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

int32_t readIntFromFile(const char* path) {
  char text[kValueSize];
  if (readSysfsFile(path, text, sizeof(text)) <= 0) return 0;
  return parseSysfsInt(text);
}

int32_t parseBatteryStatus(const char* text) {
  if (text == nullptr) text = "";
  switch (text[0]) {
    case 'U': return BATTERY_STATUS_UNKNOWN;
    case 'C': return BATTERY_STATUS_CHARGING;
    case 'D': return BATTERY_STATUS_DISCHARGING;
    case 'N': return BATTERY_STATUS_NOT_CHARGING;
    case 'F': return BATTERY_STATUS_FULL;
    default:
      LOGW("Unknown battery status '%s'", text);
      return BATTERY_STATUS_UNKNOWN;
  }
}

int32_t parseBatteryHealth(const char* text) {
  if (text == nullptr) text = "";
  switch (text[0]) {
    case 'G': return BATTERY_HEALTH_GOOD;
    case 'D': return BATTERY_HEALTH_DEAD;
    case 'O':
      if (strcmp(text, "Overheat") == 0) return BATTERY_HEALTH_OVERHEAT;
      if (strcmp(text, "Over voltage") == 0) return BATTERY_HEALTH_OVER_VOLTAGE;
      break;
    case 'U':
      if (strcmp(text, "Unspecified failure") == 0) return BATTERY_HEALTH_UNSPECIFIED_FAILURE;
      if (strcmp(text, "Unknown") == 0) return BATTERY_HEALTH_UNKNOWN;
      break;
    case 'C':
      if (strcmp(text, "Cold") == 0) return BATTERY_HEALTH_COLD;
      break;
    default:
      LOGW("Unknown battery health[2] '%s'", text);
      return BATTERY_HEALTH_UNKNOWN;
  }
  LOGW("Unknown battery health[1] '%s'", text);
  return BATTERY_HEALTH_UNKNOWN;
}

int register_BatteryService() {
  char dir_path[kPathSize];
  DirPtr dir;
  if (platform::map_path(kPowerSupplyDir, dir_path, sizeof(dir_path))) dir.reset(opendir(dir_path));
  if (dir == nullptr) {
    LOGE("Could not open %s\n", kPowerSupplyDir);
    return -1;
  }
  std::lock_guard<std::mutex> lock(g_paths_mutex);
  // readdir ends with null both at the end and on an error (EOVERFLOW where a
  // 32-bit build cannot hold the file system's directory offsets): only errno
  // tells them apart, and a failed read must not pass for a phone without
  // supplies, whose every value reads as 0.
  errno = 0;
  while (const dirent* entry = readdir(dir.get())) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) examineSupply(entry->d_name);
    errno = 0;
  }
  if (errno != 0) {
    LOGE_ERRNO("Could not read %s\n", kPowerSupplyDir);
    return -1;
  }
  dir.reset();
  for (int id = 0; id < kPathCount; ++id) {
    if (g_paths[id][0] == '\0') LOGE("%sPath not found", kPathNames[id]);
  }
  return 0;
}

void readBatteryState() {
  std::lock_guard<std::mutex> lock(g_paths_mutex);
  g_state.acOnline.store(readInt(kAcOnline));
  g_state.usbOnline.store(readInt(kUsbOnline));
  g_state.batteryPresent.store(readInt(kBatteryPresent));
  g_state.batteryLevel.store(readInt(kBatteryCapacity));
  g_state.batteryVoltage.store(readInt(kBatteryVoltage) / g_voltage_divisor);
  g_state.batteryTemperature.store(readInt(kBatteryTemperature));
  g_state.chargerVoltage.store(readInt(kBatteryChargeNow));
  g_state.batteryCurrent.store(readInt(kBatteryCurrentNow));
  g_state.adaptCompleted.store(readInt(kBatteryAdaptCompleted));

  char text[kValueSize];
  if (readText(kBatteryStatus, text, sizeof(text)) > 0) {
    g_state.batteryStatus.store(parseBatteryStatus(text));
  }
  if (readText(kBatteryHealth, text, sizeof(text)) > 0) {
    g_state.batteryHealth.store(parseBatteryHealth(text));
  }
  readTechnology();
}

void logBatteryState() {
  if (g_state_logged.exchange(1) != 0) return;
  LOGD(" ac=%d, usb=%d, level=%d, voltate=%d, chargevol=%d, batterycurrent=%d, status=%d, "
       "health=%d, present=%d, temperature=%d;",
       g_state.acOnline.load(), g_state.usbOnline.load(), g_state.batteryLevel.load(),
       g_state.batteryVoltage.load(), g_state.chargerVoltage.load(), g_state.batteryCurrent.load(),
       g_state.batteryStatus.load(), g_state.batteryHealth.load(), g_state.batteryPresent.load(),
       g_state.batteryTemperature.load());
}

void clearBatteryStateLogged() { g_state_logged.store(0); }

BatteryState getBatteryState() {
  BatteryState s;
  s.acOnline = g_state.acOnline.load();
  s.usbOnline = g_state.usbOnline.load();
  s.batteryStatus = g_state.batteryStatus.load();
  s.batteryHealth = g_state.batteryHealth.load();
  s.batteryPresent = g_state.batteryPresent.load();
  s.batteryLevel = g_state.batteryLevel.load();
  s.batteryVoltage = g_state.batteryVoltage.load();
  s.batteryTemperature = g_state.batteryTemperature.load();
  {
    std::lock_guard<std::mutex> lock(g_technology_mutex);
    memcpy(s.batteryTechnology, g_technology, sizeof(s.batteryTechnology));
  }
  s.chargerVoltage = g_state.chargerVoltage.load();
  s.batteryCurrent = g_state.batteryCurrent.load();
  s.adaptCompleted = g_state.adaptCompleted.load();
  return s;
}

int32_t getBatteryLevel() {
  int32_t value = g_state.batteryLevel.load();
  if (changedSinceReported(g_last_level, value)) LOGD(" Battery level : %d", value);
  return value;
}

int32_t getBatteryStatus() {
  int32_t value = g_state.batteryStatus.load();
  if (changedSinceReported(g_last_status, value)) LOGD(" Battery status : %d", value);
  return value;
}

int32_t getChargerVoltage() {
  int32_t value = g_state.chargerVoltage.load();
  if (changedSinceReported(g_last_charger_voltage, value)) LOGD(" Charger voltage : %d", value);
  return value;
}

int32_t getBatteryHealth() {
  int32_t value = g_state.batteryHealth.load();
  if (changedSinceReported(g_last_health, value)) LOGD(" Charger health : %d", value);
  return value;
}

int32_t getBatteryVoltage() {
  int32_t value = g_state.batteryVoltage.load();
  if (changedSinceReported(g_last_voltage, value)) LOGD(" Battery voltage : %d", value);
  if (!isForceEntry()) return value;
  // In 64 bits: a hostile "ro.lboot.vol.show" near INT32_MIN must not overflow.
  int64_t cap = static_cast<int64_t>(getShowVoltage()) - 50;
  return value < cap ? value : static_cast<int32_t>(cap < INT32_MIN ? INT32_MIN : cap);
}

int isChargerOnline() {
  if (isForceEntry()) return 1;
  if (g_state.acOnline.load() != 0) return 1;
  if (g_state.usbOnline.load() != 0) return 1;
  int32_t status = g_state.batteryStatus.load();
  if (status == BATTERY_STATUS_UNKNOWN || status == BATTERY_STATUS_CHARGING) return 1;
  logBatteryState();
  return 0;
}

void resetBatteryForTest() {
  {
    std::lock_guard<std::mutex> lock(g_paths_mutex);
    memset(g_paths, 0, sizeof(g_paths));
    g_voltage_divisor = 1;
    for (std::atomic<int32_t>* field :
         {&g_state.acOnline, &g_state.usbOnline, &g_state.batteryStatus, &g_state.batteryHealth,
          &g_state.batteryPresent, &g_state.batteryLevel, &g_state.batteryVoltage,
          &g_state.batteryTemperature, &g_state.chargerVoltage, &g_state.batteryCurrent,
          &g_state.adaptCompleted}) {
      field->store(0);
    }
  }
  {
    std::lock_guard<std::mutex> lock(g_technology_mutex);
    memset(g_technology, 0, sizeof(g_technology));
  }
  g_state_logged.store(0);
  for (std::atomic<int32_t>* last :
       {&g_last_level, &g_last_status, &g_last_charger_voltage, &g_last_health, &g_last_voltage}) {
    last->store(-1);
  }
}

const char* batteryPathForTest(const char* name) {
  std::lock_guard<std::mutex> lock(g_paths_mutex);
  for (int id = 0; id < kPathCount; ++id) {
    if (strcmp(name, kPathNames[id]) == 0) return pathOrNull(static_cast<PathId>(id));
  }
  return nullptr;
}
