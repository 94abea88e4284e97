#include "ui/charge_anim.h"

#include <cstdlib>
#include <mutex>
#include <new>

#include "battery/battery.h"  // the status and health codes only
#include "queue/message_queue.h"
#include "platform/log.h"
#include "ui/display_lock.h"
#include "ui/draw.h"
#include "ui/graphics.h"

ImageResource charge_pictures[PIC_COUNT] = {
    {0, nullptr, "boot_charger_vol_high_%s.png", nullptr},
    {0, nullptr, "boot_charger_vol_low_%s.png", nullptr},
    {0, nullptr, "boot_charger_battery_high_%s.png", nullptr},
    {0, nullptr, "boot_charger_battery_untouch_%s.png", nullptr},
    {0, nullptr, "boot_charger_temp_high_%s.png", nullptr},
    {0, nullptr, "boot_charger_temp_low_%s.png", nullptr},
    {0, "boot_charger_empty.png", nullptr, nullptr},
    {4, "boot_charger_01.png", nullptr, nullptr},
    {8, "boot_charger_02.png", nullptr, nullptr},
    {12, "boot_charger_03.png", nullptr, nullptr},
    {16, "boot_charger_04.png", nullptr, nullptr},
    {20, "boot_charger_05.png", nullptr, nullptr},
    {24, "boot_charger_06.png", nullptr, nullptr},
    {28, "boot_charger_07.png", nullptr, nullptr},
    {32, "boot_charger_08.png", nullptr, nullptr},
    {36, "boot_charger_09.png", nullptr, nullptr},
    {40, "boot_charger_10.png", nullptr, nullptr},
    {44, "boot_charger_11.png", nullptr, nullptr},
    {48, "boot_charger_12.png", nullptr, nullptr},
    {52, "boot_charger_13.png", nullptr, nullptr},
    {56, "boot_charger_14.png", nullptr, nullptr},
    {60, "boot_charger_15.png", nullptr, nullptr},
    {64, "boot_charger_16.png", nullptr, nullptr},
    {68, "boot_charger_17.png", nullptr, nullptr},
    {72, "boot_charger_18.png", nullptr, nullptr},
    {76, "boot_charger_19.png", nullptr, nullptr},
    {80, "boot_charger_20.png", nullptr, nullptr},
    {84, "boot_charger_21.png", nullptr, nullptr},
    {88, "boot_charger_22.png", nullptr, nullptr},
    {92, "boot_charger_23.png", nullptr, nullptr},
    {96, "boot_charger_24.png", nullptr, nullptr},
    {100, "boot_charger_25.png", nullptr, nullptr},
    {0, nullptr, "boot_charger_full_%s.png", nullptr},
    {0, "boot_charger_unknown.png", nullptr, nullptr},
    {0, "boot_charger_charging.png", nullptr, nullptr},
    {0, nullptr, "boot_charger_unpluged_%s.png", nullptr},
};

std::atomic<ChargeAnimation*> _Instance{nullptr};
std::atomic<int32_t> frame_index{FRAME_RESTART};
std::atomic<int> full_latched{0};
std::atomic<int> resync_pending{0};
std::atomic<int> hold_next_tick{0};

namespace {

// Held by every tick and by create and hide around _Instance, so that a tick
// never sees the object while it is being deleted. Taken before
// display_lock(), never after it.
std::mutex g_instance_mutex;
std::atomic<ChargeStateSource> g_source{nullptr};

constexpr int32_t kLevelFull = 100;
constexpr int32_t kChargingLevelCap = 99;

void draw_picture(int row, int placement) {
  draw_image(resource_surface(&charge_pictures[row]), placement);
}

void draw_main_picture(int row) {
  clear_and_draw_centered(resource_surface(&charge_pictures[row]), kChargeScreenBackground);
}

int32_t battery_voltage_class(int32_t mv) {
  if (mv >= 4500) return BATTERY_VOLTAGE_HIGH;
  if (mv >= 3300) return BATTERY_VOLTAGE_NORMAL;
  return BATTERY_VOLTAGE_LOW;
}

int32_t charger_voltage_class(int32_t mv) {
  if (mv >= 5700) return CHARGER_VOLTAGE_HIGH;
  if (mv >= 3500 && mv <= 4300) return CHARGER_VOLTAGE_LOW;
  return CHARGER_VOLTAGE_NORMAL;
}

bool is_recognised_health(int32_t health) {
  return health == BATTERY_HEALTH_UNKNOWN || health == BATTERY_HEALTH_GOOD ||
         health == BATTERY_HEALTH_OVERHEAT || health == BATTERY_HEALTH_COLD;
}

// The health check: true when it found a problem (drawing its line, if any).
bool health_problem(ChargeAnimation* anim, const ChargeScreenState& state) {
  int32_t health = state.health;
  if (is_recognised_health(health)) anim->health_state = health;
  switch (anim->health_state) {
    case BATTERY_HEALTH_OVERHEAT: draw_picture(PIC_TEMP_HIGH, PLACE_BELOW_MIDDLE); return true;
    case BATTERY_HEALTH_COLD: draw_picture(PIC_TEMP_LOW, PLACE_BELOW_MIDDLE); return true;
    case BATTERY_HEALTH_UNKNOWN: draw_picture(PIC_BATTERY_UNTOUCH, PLACE_BELOW_MIDDLE); return true;
    case BATTERY_HEALTH_GOOD: return false;
    default: return true;  // no health read yet: keep the screen lit, no line
  }
}

bool battery_voltage_problem(ChargeAnimation* anim, const ChargeScreenState& state) {
  anim->battery_voltage_class = battery_voltage_class(state.battery_voltage);
  if (anim->battery_voltage_class != BATTERY_VOLTAGE_HIGH) return false;
  draw_picture(PIC_BATTERY_HIGH, PLACE_BELOW_MIDDLE);
  return true;
}

bool charger_voltage_problem(ChargeAnimation* anim, const ChargeScreenState& state) {
  anim->charger_voltage_class = charger_voltage_class(state.charger_voltage);
  switch (anim->charger_voltage_class) {
    case CHARGER_VOLTAGE_HIGH: draw_picture(PIC_VOL_HIGH, PLACE_BELOW_MIDDLE); return true;
    case CHARGER_VOLTAGE_LOW: draw_picture(PIC_VOL_LOW, PLACE_BELOW_MIDDLE); return true;
    default: return false;
  }
}

// Advances the animation; the frame to draw, or -1 when none is chosen (a
// held full battery or a level of 100 and above). Sets *hold.
int32_t choose_frame(int32_t* level, int* hold, const ChargeScreenState& state) {
  if (full_latched.load()) {
    *level = kLevelFull;
    *hold = 1;
    return -1;
  }
  if (*level >= kLevelFull) {
    *hold = 1;
    return -1;
  }
  int32_t next = frame_index.load() + 1;
  *hold = next <= FRAME_LAST ? 0 : 1;
  if (*hold) next = level_frame(*level);
  if (resync_pending.load() && state.backlight_on) {
    next = level_frame(*level);
    resync_pending.store(0);
  }
  frame_index.store(next);
  return next;
}

}  // namespace

int32_t level_frame(int32_t level) {
  for (int32_t frame = 0; frame <= FRAME_LAST; ++frame) {
    if (charge_pictures[PIC_FRAME_0 + frame].threshold >= level) return frame;
  }
  return -1;
}

void charge_anim_set_source(ChargeStateSource source) { g_source.store(source); }

ChargeScreenState charge_screen_state() {
  ChargeStateSource source = g_source.load();
  return source != nullptr ? source() : ChargeScreenState{};
}

int draw_charge_screen(ChargeAnimation* anim, int32_t status, int32_t level) {
  const ChargeScreenState state = charge_screen_state();
  int online = state.charger_online;
  if (!online) {
    frame_index.store(FRAME_RESTART);
    full_latched.store(0);
  }
  if (status == BATTERY_STATUS_FULL) {
    full_latched.store(1);
  } else if (status == BATTERY_STATUS_CHARGING) {
    if (level >= kChargingLevelCap) level = kChargingLevelCap;
  } else {
    frame_index.store(FRAME_RESTART);
  }
  int hold = 0;
  int32_t frame = choose_frame(&level, &hold, state);
  int32_t health = state.health;

  if (status == BATTERY_STATUS_FULL) {
    draw_main_picture(PIC_FULL);
  } else {
    if (health == BATTERY_HEALTH_UNKNOWN) {
      draw_main_picture(PIC_UNKNOWN);
    } else {
      if (frame < 0) frame = level_frame(level);
      if (frame >= 0) draw_main_picture(PIC_FRAME_0 + frame);
    }
    if (status == BATTERY_STATUS_CHARGING) draw_picture(PIC_CHARGING, PLACE_ABOVE_MIDDLE);
  }
  check_warnings(anim, state);
  if (!online) draw_picture(PIC_UNPLUGGED, PLACE_BELOW_MIDDLE);
  screen_present();
  return hold;
}

void check_warnings(ChargeAnimation* anim, const ChargeScreenState& state) {
  bool problem = health_problem(anim, state) || battery_voltage_problem(anim, state) ||
                 charger_voltage_problem(anim, state);
  if (problem) sendMessage(MSG_CHARGE_WARNING, 0, 0);
}

void charge_anim_create() {
  std::lock_guard<std::mutex> guard(g_instance_mutex);
  if (_Instance.load() != nullptr) return;
  ChargeAnimation* anim = new (std::nothrow) ChargeAnimation;
  if (anim == nullptr) return;
  resync_pending.store(0);
  const ChargeScreenState state = charge_screen_state();
  int32_t status = state.status;
  int32_t level = state.level;
  {
    std::lock_guard<std::mutex> display(display_lock());
    draw_charge_screen(anim, status, level);
  }
  anim->timer.name = "Charge Anim";
  anim->timer.callback = timer_animation;
  anim->timer.handle = kNoTimerHandle;
  timerCreate(&anim->timer);
  timerStart(&anim->timer, kChargeAnimPeriodMs);
  _Instance.store(anim);
}

void charge_anim_run(int run) {
  std::lock_guard<std::mutex> guard(g_instance_mutex);
  ChargeAnimation* anim = _Instance.load();
  if (anim == nullptr) return;
  if (run) {
    resync_pending.store(1);
    timerStart(&anim->timer, kChargeAnimPeriodMs);
  } else {
    timerStop(&anim->timer);
  }
}

void charge_anim_hide() {
  charge_anim_run(0);
  std::lock_guard<std::mutex> guard(g_instance_mutex);
  ChargeAnimation* anim = _Instance.load();
  if (anim == nullptr) return;
  LOGW("Hide charged ui.\n");
  timerStop(&anim->timer);
  _Instance.store(nullptr);
  delete anim;
}

void timer_animation(int32_t) {
  std::lock_guard<std::mutex> guard(g_instance_mutex);
  ChargeAnimation* anim = _Instance.load();
  if (anim == nullptr) {
    LOGW("timer_animation _Instance = null.");
    return;
  }
  charge_anim_tick(anim);
}

void charge_anim_tick(ChargeAnimation* anim) {
  if (hold_next_tick.exchange(0) != 0) return;
  const ChargeScreenState state = charge_screen_state();
  int32_t status = state.status;
  int32_t level = state.level;
  std::lock_guard<std::mutex> display(display_lock());
  hold_next_tick.store(draw_charge_screen(anim, status, level));
}

void charge_anim_reset_for_test() {
  charge_anim_hide();
  frame_index.store(FRAME_RESTART);
  full_latched.store(0);
  resync_pending.store(0);
  hold_next_tick.store(0);
  std::lock_guard<std::mutex> display(display_lock());
  for (ImageResource& picture : charge_pictures) {
    free(picture.surface);
    picture.surface = nullptr;
    picture.failed = 0;
  }
}
