#include "sim/soak_model.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

constexpr int kCheckEveryMs = 2000;
constexpr int kAwayGapMs = 150;  // longest pause while the phone has no charger

struct Weighted {
  const char* text;
  int weight;
};

constexpr Weighted kStatuses[] = {
    {"Charging", 35}, {"Discharging", 25}, {"Not charging", 15}, {"Full", 15}, {"Unknown", 10},
};
constexpr Weighted kHealths[] = {
    {"Good", 40}, {"Overheat", 15}, {"Cold", 15}, {"Unknown", 10},
    {"Dead", 8},  {"Over voltage", 6}, {"Unspecified failure", 6},
};
// Normal, low (3500..4300) and high (>= 5700) charger voltages, edges included.
constexpr int kChargerVoltages[] = {0, 5000, 4000, 5800, 3000, 4300, 5699, 3500};

bool recognised_health(int code) { return code == 1 || code == 2 || code == 3 || code == 7; }

int warning_for(int health_state, const SoakRecord& r) {
  switch (health_state) {
    case 3: return kWarnTempHigh;
    case 7: return kWarnTempLow;
    case 1: return kWarnUntouch;
    case 2: break;
    default: return kWarnNone;  // no health read yet: no line
  }
  if (r.voltage_mv >= 4500) return kWarnBatteryHigh;
  if (r.charger_voltage_mv >= 5700) return kWarnVolHigh;
  if (r.charger_voltage_mv >= 3500 && r.charger_voltage_mv <= 4300) return kWarnVolLow;
  return kWarnNone;
}

}  // namespace

int status_code(const std::string& s) {
  if (s == "Charging") return 2;
  if (s == "Discharging") return 3;
  if (s == "Not charging") return 4;
  if (s == "Full") return 5;
  return 1;
}

int health_code(const std::string& h) {
  static const char* const kNames[] = {"Unknown", "Good", "Overheat", "Dead", "Over voltage",
                                       "Unspecified failure", "Cold"};
  for (int i = 0; i < 7; ++i) {
    if (h == kNames[i]) return i + 1;
  }
  return 1;
}

bool charger_present(const SoakRecord& r) {
  return r.ac || r.usb || r.status == "Charging" || r.status == "Unknown";
}

uint32_t expected_led(const SoakRecord& r) {
  if (!charger_present(r)) return 0;
  return r.status == "Full" ? kLedGreen : kLedRed;
}

std::string summary_text(const SoakRecord& r) {
  char text[256];
  snprintf(text, sizeof(text),
           " ac=%d, usb=%d, level=%d, voltate=%d, chargevol=%d, batterycurrent=%d, status=%d, "
           "health=%d, present=%d, temperature=%d;",
           r.ac ? 1 : 0, r.usb ? 1 : 0, r.level, r.voltage_mv, r.charger_voltage_mv, r.current,
           status_code(r.status), health_code(r.health), 1, r.temperature);
  return text;
}

bool record_is_calm(const SoakRecord& r) {
  return r.health == "Good" && warning_for(2, r) == kWarnNone;
}

SoakRecord with_charger(SoakRecord r, const std::string& supply, bool online) {
  (supply == "usb" ? r.usb : r.ac) = online;
  bool any_online = r.ac || r.usb;
  if (!any_online) {
    r.status = "Discharging";
    r.charger_voltage_mv = 0;
  } else if (r.status != "Full") {
    r.status = "Charging";
  }
  if (online && r.charger_voltage_mv == 0) r.charger_voltage_mv = 5000;
  return r;
}

std::string SoakEvent::describe() const {
  char text[200];
  switch (kind) {
    case SoakKind::kBattery:
      snprintf(text, sizeof(text), "battery level=%d status=\"%s\" health=\"%s\" voltage=%d charger_voltage=%d temp=%d",
               record.level, record.status.c_str(), record.health.c_str(), record.voltage_mv,
               record.charger_voltage_mv, record.temperature);
      break;
    case SoakKind::kPlug:
    case SoakKind::kUnplug:
      snprintf(text, sizeof(text), "%s %s%s", kind == SoakKind::kPlug ? "plug" : "unplug", supply.c_str(),
               wait_dark ? " (after the screen went dark)" : "");
      break;
    case SoakKind::kKey: snprintf(text, sizeof(text), "key press %d hold %d", key, hold_ms); break;
    case SoakKind::kFlood: snprintf(text, sizeof(text), "flood of %d foreign uevents (#%08x)", flood, flood_seed); break;
    case SoakKind::kCheck: snprintf(text, sizeof(text), "check%s", away ? " (no charger)" : ""); break;
  }
  std::string out = text;
  if (kind == SoakKind::kBattery && wait_dark) out += " (after the screen went dark)";
  return out;
}

int SoakStream::uniform(int lo, int hi) {
  uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(hi) - lo + 1);
  return static_cast<int>(lo + static_cast<int64_t>(rng_() % span));
}

int SoakStream::gap(int lo, int hi) {
  return uniform(lo, excursion_start_ms_ >= 0 ? std::min(hi, kAwayGapMs) : hi);
}

SoakRecord SoakStream::apply(const SoakEvent& e) const {
  SoakRecord r = record_;
  if (e.kind == SoakKind::kPlug || e.kind == SoakKind::kUnplug) {
    return with_charger(r, e.supply, e.kind == SoakKind::kPlug);
  }
  if (e.kind != SoakKind::kBattery) return r;
  const BatteryFields& f = e.fields;
  if (f.level) r.level = *f.level;
  if (f.status) r.status = *f.status;
  if (f.health) r.health = *f.health;
  if (f.voltage_mv) r.voltage_mv = *f.voltage_mv;
  if (f.charger_voltage_mv) r.charger_voltage_mv = *f.charger_voltage_mv;
  if (f.temperature) r.temperature = *f.temperature;
  return r;
}

void SoakStream::push(SoakEvent e) {
  bool was_present = charger_present(record_);
  e.record = apply(e);
  record_ = e.record;
  time_ms_ += e.gap_ms + e.hold_ms;
  bool present = charger_present(record_);
  if (was_present && !present) {
    excursion_start_ms_ = time_ms_;
    // Room for the last step begun within the budget (a power key: a
    // battery event, the key and its hold) and the plug after it.
    excursion_budget_ms_ = uniform(200, kSoakMaxExcursionMs - 4 * kAwayGapMs);
  } else if (present) {
    excursion_start_ms_ = -1;
  }
  if (e.kind == SoakKind::kCheck) last_check_ms_ = time_ms_;
  queue_.push_back(std::move(e));
}

void SoakStream::push_guarded(SoakEvent e) {
  if (charger_present(record_) && !charger_present(apply(e))) {
    SoakEvent calm;
    calm.kind = SoakKind::kBattery;
    calm.gap_ms = gap(20, 300);
    calm.fields.health = "Good";
    calm.fields.voltage_mv = uniform(3300, 4499);
    calm.fields.charger_voltage_mv = 5000;
    calm.fields.temperature = record_.temperature == 250 ? 251 : 250;
    push(calm);
    e.wait_dark = true;
  }
  push(std::move(e));
}

void SoakStream::make_battery(SoakEvent* e) {
  e->kind = SoakKind::kBattery;
  BatteryFields& f = e->fields;
  int r = uniform(1, 100);
  if (r <= 60) {
    f.level = std::clamp(record_.level + uniform(-8, 8), 0, 100);
  } else if (r <= 70) {
    f.level = uniform(0, 100);
  }
  auto pick = [this](const auto& table) {
    int total = 0;
    for (const Weighted& w : table) total += w.weight;
    int at = uniform(1, total);
    for (const Weighted& w : table) {
      if ((at -= w.weight) <= 0) return std::string(w.text);
    }
    return std::string(table[0].text);
  };
  if (chance(15)) f.status = pick(kStatuses);
  if (chance(12)) f.health = pick(kHealths);
  if (chance(30)) f.voltage_mv = uniform(2600, 4700);
  if (chance(10)) f.charger_voltage_mv = kChargerVoltages[uniform(0, std::size(kChargerVoltages) - 1)];
  // Always a new temperature: every battery event changes the record, so
  // the program logs its summary for each one.
  int t = uniform(-100, 600);
  f.temperature = t == record_.temperature ? t + 1 : t;
}

void SoakStream::make_charger(SoakEvent* e) {
  e->supply = chance(50) ? "ac" : "usb";
  bool online = e->supply == "ac" ? record_.ac : record_.usb;
  e->kind = online ? SoakKind::kUnplug : SoakKind::kPlug;
}

void SoakStream::make_power_key() {
  if (record_.voltage_mv >= kSoakPowerOnVoltage) {
    SoakEvent low;
    make_battery(&low);
    low.gap_ms = gap(20, 300);
    low.fields.voltage_mv = uniform(2600, kSoakPowerOnVoltage - 1);
    push_guarded(std::move(low));
  }
  int pause = gap(50, 300);  // drawn before the hold: a seed's stream stays the same
  push_key(116, pause, gap(50, 400));
}

void SoakStream::make_end_key() {
  int pause = gap(20, 700);
  push_key(107, pause, gap(30, 300));
}

void SoakStream::push_key(int code, int gap_ms, int hold_ms) {
  SoakEvent key;
  key.kind = SoakKind::kKey;
  key.key = code;
  key.gap_ms = gap_ms;
  key.hold_ms = hold_ms;
  push(std::move(key));
}

void SoakStream::make_flood() {
  SoakEvent flood;
  flood.kind = SoakKind::kFlood;
  flood.gap_ms = gap(20, 700);
  flood.flood = uniform(5, 120);
  flood.flood_seed = static_cast<uint32_t>(rng_());
  push(std::move(flood));
}

void SoakStream::make_check() {
  SoakEvent check;
  check.kind = SoakKind::kCheck;
  check.away = !charger_present(record_);
  check.gap_ms = check.away ? 0 : uniform(600, 900);  // away: checked at once, time-boxed
  push(std::move(check));
}

SoakEvent SoakStream::next() {
  if (queued_next_ >= queue_.size()) {
    queue_.clear();
    queued_next_ = 0;
    bool away = excursion_start_ms_ >= 0;
    if (away && time_ms_ - excursion_start_ms_ >= excursion_budget_ms_) {
      // Half the time the screen is checked first, then a charger comes back.
      if (chance(50)) make_check();
      SoakEvent plug;
      plug.kind = SoakKind::kPlug;
      plug.supply = chance(50) ? "ac" : "usb";
      plug.gap_ms = gap(20, kAwayGapMs);
      push(std::move(plug));
    } else if (!away && time_ms_ - last_check_ms_ >= kCheckEveryMs) {
      make_check();
    } else {
      int r = uniform(1, 100);
      SoakEvent e;
      e.gap_ms = gap(20, 700);
      if (r <= 45) {
        make_battery(&e);
        push_guarded(std::move(e));
      } else if (r <= 65) {
        make_charger(&e);
        push_guarded(std::move(e));
      } else if (r <= 77) {
        make_end_key();
      } else if (r <= 87) {
        make_power_key();
      } else {
        make_flood();
      }
    }
  }
  return queue_[queued_next_++];
}

int soak_level_frame(int level) {
  if (level <= 0) return 0;
  return std::min(25, (level + 3) / 4);
}

std::string describe(const MainView& v) {
  std::string text = v.picture == kMainFull      ? "the full-battery picture"
                     : v.picture == kMainUnknown ? "the unknown-battery picture"
                     : v.picture == kMainNone    ? "no battery picture"
                                                 : "frame " + std::to_string(v.picture);
  return v.bolt ? text + " with the bolt" : text;
}

std::string describe(const LineView& v) {
  static const char* const kNames[kWarnCount] = {"vol_high", "vol_low", "battery_high",
                                                 "battery_untouch", "temp_high", "temp_low"};
  std::string text = v.warning == kWarnNone ? "no warning" : std::string("warning ") + kNames[v.warning];
  return v.unplugged ? text + " + unplugged" : text;
}

void remember_record(ScreenMemory* m, const SoakRecord& previous, const SoakRecord& r, int64_t now_ms) {
  if (r.status == "Full") m->maybe_full_latched = true;
  if (r.level < previous.level) m->level_drop_ms = now_ms;
  int health = health_code(r.health);
  if (recognised_health(health)) m->health_states.insert(health);
}

void remember_drawn(ScreenMemory* m, const SoakRecord& r) {
  int health = health_code(r.health);
  if (recognised_health(health)) m->health_states = {health};
  if (!charger_present(r) && r.status != "Full") m->maybe_full_latched = false;
}

ScreenExpectation expected_screen(const SoakRecord& r, const ScreenMemory& m, int64_t now_ms) {
  ScreenExpectation e;
  bool bolt = r.status == "Charging";
  if (r.status == "Full") {
    e.mains.insert({kMainFull, false});
  } else if (r.health == "Unknown") {
    e.mains.insert({kMainUnknown, bolt});
  } else if (bolt) {
    // The animation climbs from the level's frame to full; after a drop it
    // may still be above the new level's frame until it wraps round.
    bool dropped_lately = now_ms - m.level_drop_ms < 26 * 200 + 2000;
    int lo = dropped_lately ? 0 : soak_level_frame(std::min(r.level, 99));
    for (int f = lo; f <= 25; ++f) e.mains.insert({f, true});
  } else {
    e.mains.insert({soak_level_frame(r.level), false});
    if (m.maybe_full_latched) e.mains.insert({25, false});  // a latched Full holds the last frame
  }
  int health = health_code(r.health);
  std::set<int> states = recognised_health(health) ? std::set<int>{health} : m.health_states;
  for (int state : states) e.lines.insert({warning_for(state, r), !charger_present(r)});
  return e;
}

}  // namespace sim
