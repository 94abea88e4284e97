// The charging screen and its animation: a battery picture that fills up
// from the present level to full, one frame every 200 ms, with a charging or
// full-battery picture, at most one warning line and the unplugged line.
//
// Owns the one ChargeAnimation (_Instance) with its "Charge Anim" timer, the
// animation statics and the picture table. The charging controller calls
// charge_anim_create, charge_anim_run and charge_anim_hide on the main
// thread; timer_animation runs on the timer's thread and draws there.
// Each frame is drawn and presented under display_lock(); the tick also holds
// the animation's own lock, which charge_anim_hide takes around the delete,
// so a running tick finishes before the object goes and a later tick finds
// _Instance null. Every frame that shows a problem posts MSG_CHARGE_WARNING.
// Nothing here opens or closes the screen, and nothing here reads the battery
// or the lights: what a frame shows comes from the controller's snapshot
// (charge_anim_set_source), taken once per frame under display_lock().
#pragma once

#include <atomic>
#include <cstdint>

#include "timer/timer.h"
#include "ui/image.h"

constexpr int32_t FRAME_RESTART = 1000000;  // next frame restarts at the level's frame
constexpr int32_t FRAME_LAST = 25;          // the full-battery frame
constexpr int32_t HEALTH_STATE_NONE = -1;
constexpr int kChargeAnimPeriodMs = 200;
constexpr uint32_t kChargeScreenBackground = 0xFF000000;  // opaque black

// Battery-voltage classes (mV): >= 4500 high, 3300..4499 normal, < 3300 low.
constexpr int32_t BATTERY_VOLTAGE_HIGH = 13;
constexpr int32_t BATTERY_VOLTAGE_NORMAL = 2;
constexpr int32_t BATTERY_VOLTAGE_LOW = 12;
// Charger-voltage classes (mV): >= 5700 high, 3500..4300 low, else normal.
constexpr int32_t CHARGER_VOLTAGE_HIGH = 10;
constexpr int32_t CHARGER_VOLTAGE_LOW = 9;
constexpr int32_t CHARGER_VOLTAGE_NORMAL = 2;

// What the charging screen shows, as the charging controller sees it. Codes
// as in the battery record (battery/battery.h: BATTERY_STATUS_*,
// BATTERY_HEALTH_*).
struct ChargeScreenState {
  int32_t status = 0;
  int32_t level = 0;
  int32_t health = 0;
  int32_t battery_voltage = 0;  // mV
  int32_t charger_voltage = 0;  // mV
  int charger_online = 0;       // a charger counts as present
  int backlight_on = 0;         // the backlight's target is not dark
};
// Takes the snapshot; called on the animation's timer thread and the main
// thread, so it must be safe from any thread.
using ChargeStateSource = ChargeScreenState (*)();

// Installs the snapshot source (the controller does, before
// charge_anim_create). Without one every field reads 0.
void charge_anim_set_source(ChargeStateSource source);
// The snapshot now.
ChargeScreenState charge_screen_state();

struct ChargeAnimation {
  int32_t health_state = HEALTH_STATE_NONE;  // last of 1, 2, 3, 7 read
  int32_t battery_voltage_class = -1;
  int32_t charger_voltage_class = -1;
  Timer timer;  // "Charge Anim", callback timer_animation
};

// Rows of charge_pictures, in table order.
enum ChargePicture : int {
  PIC_VOL_HIGH,
  PIC_VOL_LOW,
  PIC_BATTERY_HIGH,
  PIC_BATTERY_UNTOUCH,
  PIC_TEMP_HIGH,
  PIC_TEMP_LOW,
  PIC_FRAME_0,  // frames 0..25 follow in order
  PIC_FULL = PIC_FRAME_0 + FRAME_LAST + 1,
  PIC_UNKNOWN,
  PIC_CHARGING,
  PIC_UNPLUGGED,
  PIC_COUNT,
};

// The picture table. Use only under display_lock(): loading fills the
// records' surfaces.
extern ImageResource charge_pictures[PIC_COUNT];

extern std::atomic<ChargeAnimation*> _Instance;
extern std::atomic<int32_t> frame_index;  // frame last drawn; > 25: restart
extern std::atomic<int> full_latched;     // Full seen while the charger stayed online
extern std::atomic<int> resync_pending;   // realign at the next frame drawn with the screen lit
extern std::atomic<int> hold_next_tick;   // the next tick draws nothing

// The frame for a battery level: ceil(level / 4), 0 for levels below 1,
// -1 above 100.
int32_t level_frame(int32_t level);

// Composes and presents one frame. Returns 1 when the frame is to stay up for
// one extra tick, else 0. Caller holds display_lock().
int draw_charge_screen(ChargeAnimation* anim, int32_t status, int32_t level);
// The health, battery-voltage and charger-voltage checks on `state`; draws at
// most one warning line and posts MSG_CHARGE_WARNING when any finds a
// problem. Caller holds display_lock().
void check_warnings(ChargeAnimation* anim, const ChargeScreenState& state);

// Main thread. Creates the animation unless it exists: first frame at once,
// then the timer at 200 ms.
void charge_anim_create();
// Main thread. 1: restart the timer and realign at the next lit frame;
// 0: stop the timer. Nothing without an animation.
void charge_anim_run(int run);
// Main thread. Stops the timer, waits for a running tick and deletes the
// animation.
void charge_anim_hide();
// The timer's callback.
void timer_animation(int32_t id);
// One tick: draws the next frame under display_lock(), or nothing when the
// last frame is held.
void charge_anim_tick(ChargeAnimation* anim);

// Tests only: hides the animation, sets the statics back to their start
// values and frees the loaded pictures.
void charge_anim_reset_for_test();
