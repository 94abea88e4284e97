// The soak run's side of the bargain: a random but valid stream of events
// for a simulated phone in charging mode, drawn from one seed, and what the
// program must show for the battery record those events leave (battery LED,
// the summary line it logs, the pictures of the charging screen).
//
// "Valid" means the stream never asks the program to leave charging mode:
// the power key (116) goes down only while the battery voltage is below the
// soak phone's power-on threshold; the phone loses its last charger only
// after a calm record (no warning keeps the screen lit) and with the screen
// settled dark, and gets a charger back well within the unplugged screen
// time, so the "no charge" restart never comes. Pure functions and a
// generator object; no I/O. Single-threaded.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "sim/device.h"

namespace sim {

// Settings of the soak phone (written as "ro.lboot.*" properties when the
// soak makes it) that the stream and the checks rely on.
constexpr int kSoakPowerOnVoltage = 3000;   // "ro.lboot.vol.poweron"
constexpr int kSoakLightTimeoutMs = 4000;   // "ro.lboot.light.timeout"
constexpr int kSoakUnchargeTimerMs = 4000;  // "ro.lboot.uncharge.light.tmr"
constexpr int kSoakBrightness = 51;         // "ro.lboot.brightness"
// Longest time (stream time) the phone goes without a charger, and the real
// time after which a check during that time gives up its screen part: both
// well below the unplugged screen time, so a charger is back before it ends.
constexpr int kSoakMaxExcursionMs = 1500;
constexpr int kSoakAwayCheckLimitMs = 2000;

constexpr uint32_t kLedRed = 0xffff0000u;
constexpr uint32_t kLedGreen = 0xff00ff00u;

// The power-supply facts the stream changes; starts as `lumo-sim create`
// leaves a phone (mains online, 50 % Charging, Good, 3800 mV, charger 5000 mV).
struct SoakRecord {
  bool ac = true;
  bool usb = false;
  int level = 50;
  std::string status = "Charging";
  std::string health = "Good";
  int voltage_mv = 3800;
  int charger_voltage_mv = 5000;
  int temperature = 250;
  int current = 400;  // never changed; part of the summary line

  bool operator==(const SoakRecord&) const = default;
};

// The program's codes for a status or health text (as its battery monitor parses them).
int status_code(const std::string& status);
int health_code(const std::string& health);
// On a charger as the program counts it: a charger online, or status Charging or Unknown.
bool charger_present(const SoakRecord& r);
// The battery LED: off without a charger, green for Full, red otherwise.
uint32_t expected_led(const SoakRecord& r);
// The state summary the battery monitor logs after every change, text after "): ".
std::string summary_text(const SoakRecord& r);
// Calm: no warning would keep the screen lit (health Good, battery voltage
// normal, charger voltage normal).
bool record_is_calm(const SoakRecord& r);
// The record after a charger goes on or off line, as Device::set_charger leaves the files.
SoakRecord with_charger(SoakRecord r, const std::string& supply, bool online);

enum class SoakKind { kBattery, kPlug, kUnplug, kKey, kFlood, kCheck };

struct SoakEvent {
  SoakKind kind = SoakKind::kCheck;
  int gap_ms = 0;         // pause before the event
  BatteryFields fields;   // kBattery: the files to write
  std::string supply;     // kPlug, kUnplug
  int key = 0;            // kKey: pressed for hold_ms
  int hold_ms = 0;
  int flood = 0;          // kFlood: datagrams
  uint32_t flood_seed = 0;
  bool wait_dark = false;  // the screen must settle dark first (the last charger goes)
  bool away = false;       // kCheck: made while the phone has no charger
  SoakRecord record;       // the record after the event
  std::string describe() const;
};

// The stream. Same seed, same events (the generator's own arithmetic on a
// 64-bit Mersenne Twister, no library distributions).
class SoakStream {
 public:
  explicit SoakStream(uint64_t seed) : rng_(seed) {}
  SoakEvent next();
  const SoakRecord& record() const { return record_; }

 private:
  int uniform(int lo, int hi);  // inclusive
  int gap(int lo, int hi);      // a pause or key hold, short while the phone has no charger
  bool chance(int percent) { return uniform(1, 100) <= percent; }
  void push(SoakEvent e);
  void make_battery(SoakEvent* e);
  void make_charger(SoakEvent* e);
  void make_power_key();
  void make_end_key();
  void push_key(int code, int gap_ms, int hold_ms);
  void make_flood();
  void make_check();
  // Queues `e`; when it takes the last charger away, a calm record first
  // and a wait for a dark screen.
  void push_guarded(SoakEvent e);
  // The record after `e` on top of the present one.
  SoakRecord apply(const SoakEvent& e) const;

  std::mt19937_64 rng_;
  SoakRecord record_;
  std::vector<SoakEvent> queue_;
  size_t queued_next_ = 0;
  int64_t time_ms_ = 0;           // stream time
  int64_t last_check_ms_ = 0;
  int64_t excursion_start_ms_ = -1;  // stream time the last charger went, -1 while on one
  int excursion_budget_ms_ = 0;
};

// The frame of the battery animation for a level (ceil(level / 4), 0..25).
int soak_level_frame(int level);

// What the charging screen shows, as the soak recognises it.
constexpr int kMainFull = 26;     // the full-battery picture
constexpr int kMainUnknown = 27;  // the unrecognised-battery picture
constexpr int kMainNone = 28;     // nothing in the battery's place
struct MainView {
  int picture = kMainNone;  // 0..25 a frame, or kMain*
  bool bolt = false;        // the charging bolt over it
  bool operator==(const MainView&) const = default;
  auto operator<=>(const MainView&) const = default;
};
// Warning lines in the program's picture table order.
enum SoakWarning : int { kWarnNone = -1, kWarnVolHigh, kWarnVolLow, kWarnBatteryHigh, kWarnUntouch, kWarnTempHigh, kWarnTempLow, kWarnCount };
struct LineView {
  int warning = kWarnNone;
  bool unplugged = false;
  bool operator==(const LineView&) const = default;
  auto operator<=>(const LineView&) const = default;
};
std::string describe(const MainView& v);
std::string describe(const LineView& v);

// What the checks remember between records: whether Full may still be
// latched by the animation, which recognised healths the animation may hold
// as its last one, and when the level last dropped (the animation may still
// be on its way up from an older level).
struct ScreenMemory {
  bool maybe_full_latched = false;
  std::set<int> health_states{2};  // Good, as a new phone starts
  int64_t level_drop_ms = -1000000;
};
// Updates the memory for a record the program has just taken.
void remember_record(ScreenMemory* m, const SoakRecord& previous, const SoakRecord& r, int64_t now_ms);
// Narrows the memory after a check that saw the lit screen draw `r` for a while.
void remember_drawn(ScreenMemory* m, const SoakRecord& r);

// The pictures the lit, settled screen may show for `r`.
struct ScreenExpectation {
  std::set<MainView> mains;
  std::set<LineView> lines;
};
ScreenExpectation expected_screen(const SoakRecord& r, const ScreenMemory& m, int64_t now_ms);

}  // namespace sim
