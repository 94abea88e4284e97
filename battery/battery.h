// The battery monitor's record: the one source of battery and charger facts.
//
// Owns the power-supply paths found once at start-up by
// register_BatteryService, the voltage divisor, the battery state record and
// the last values the logging queries reported. readBatteryState re-reads
// every discovered file into the record; the queries answer from the record
// and never read files themselves.
//
// Threads: discovery and the first reading run on the main thread before the
// battery event thread exists; afterwards only that thread reads files into
// the record, while the main thread (and the event thread) call the queries.
// Every field is its own atomic word, the technology text is copied under a
// small lock, and discovery and reading exclude each other, so any thread may
// call anything here at any time. Nothing here blocks for long, posts
// messages or talks to the kernel other than by plain sysfs reads.
#pragma once

#include <cstdint>

// Battery status codes (0: not read yet).
enum BatteryStatusCode : int32_t {
  BATTERY_STATUS_UNKNOWN = 1,
  BATTERY_STATUS_CHARGING = 2,
  BATTERY_STATUS_DISCHARGING = 3,
  BATTERY_STATUS_NOT_CHARGING = 4,
  BATTERY_STATUS_FULL = 5,
};

// Battery health codes (0: not read yet).
enum BatteryHealthCode : int32_t {
  BATTERY_HEALTH_UNKNOWN = 1,
  BATTERY_HEALTH_GOOD = 2,
  BATTERY_HEALTH_OVERHEAT = 3,
  BATTERY_HEALTH_DEAD = 4,
  BATTERY_HEALTH_OVER_VOLTAGE = 5,
  BATTERY_HEALTH_UNSPECIFIED_FAILURE = 6,
  BATTERY_HEALTH_COLD = 7,
};

constexpr int kBatteryTechnologySize = 256;

// One copy of the record. Equality compares every field and all bytes of the
// technology text, which is what change detection needs.
struct BatteryState {
  int32_t acOnline;
  int32_t usbOnline;
  int32_t batteryStatus;
  int32_t batteryHealth;
  int32_t batteryPresent;
  int32_t batteryLevel;
  int32_t batteryVoltage;      // mV
  int32_t batteryTemperature;  // as the kernel reports it (tenths of a degree)
  char batteryTechnology[kBatteryTechnologySize];
  int32_t chargerVoltage;  // mV
  int32_t batteryCurrent;
  int32_t adaptCompleted;

  bool operator==(const BatteryState&) const = default;
};

// Discovery of the power-supply attribute files under
// "/sys/class/power_supply". 0, or -1 when the directory cannot be opened.
int register_BatteryService();
// Re-reads every discovered file into the record.
void readBatteryState();
// Logs the state summary line unless it was logged since the last change.
void logBatteryState();
// The battery event thread saw a change: the next logBatteryState logs again.
void clearBatteryStateLogged();

// A consistent-per-field copy of the whole record.
BatteryState getBatteryState();

// Queries: each logs its value when it differs from what it last reported.
int32_t getBatteryLevel();
int32_t getBatteryStatus();
int32_t getChargerVoltage();
int32_t getBatteryHealth();
// The battery voltage, capped below the display voltage in force-entry mode.
int32_t getBatteryVoltage();
// 1 when the phone counts as being on a charger, else 0 (and the summary
// line is logged).
int isChargerOnline();

// Steps with names of their own, exposed for tests.
// The file's leading decimal integer as atoi reads it, saturated to 32 bits;
// 0 when the path is absent, unreadable, empty or has no number.
int32_t readIntFromFile(const char* path);
// The integer at the start of `text` with atoi's rules, saturated to 32 bits.
int32_t parseSysfsInt(const char* text);
int32_t parseBatteryStatus(const char* text);
int32_t parseBatteryHealth(const char* text);

// Tests only: forget the discovered paths, set the divisor back to 1, zero the
// record and forget what was logged. Call only while no event thread reads.
void resetBatteryForTest();
// Tests only: the discovered device path of an attribute ("acOnline",
// "batteryVoltage", ... as in the "not found" lines without "Path"), or
// nullptr when absent or unknown.
const char* batteryPathForTest(const char* name);
