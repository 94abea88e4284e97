// Lights and vibrator: the lights module's eight lights behind a per-light
// cache, the backlight ramp with its screen-on and screen-off messages, the
// battery LED, and the vibrator.
//
// Owns the light table (opened on the first light request, kept for the whole
// run), the per-light cache and the backlight ramp state with its
// "Brightness Anim" timer (16 ms). Callers: the charging controller on the
// main thread (initLights, rampBacklightTo, setBatteryLed, vibrate), the
// "Lights" timer thread (rampBacklightTo 0) and the "Brightness Anim" timer
// thread (backlightRampStep). One mutex guards the ramp state and another the
// light table and cache; the ramp mutex may be held while the timer service
// and the lights module are called (neither calls back into this module with
// a lock held), never the other way round. Never blocks beyond a lights or
// timer call; the ramp tick does not allocate.
#pragma once

#include <cstdint>

enum LightIndex : int {
  LIGHT_BACKLIGHT = 0,
  LIGHT_KEYBOARD = 1,
  LIGHT_BUTTONS = 2,
  LIGHT_BATTERY = 3,
  LIGHT_NOTIFICATIONS = 4,
  LIGHT_ATTENTION = 5,
  LIGHT_BLUETOOTH = 6,
  LIGHT_WIFI = 7,
  LIGHT_COUNT = 8,
};

constexpr uint32_t kBatteryLedRed = 0xffff0000u;
constexpr uint32_t kBatteryLedGreen = 0xff00ff00u;
constexpr int kBacklightRampPeriodMs = 16;

// Opens the lights module and its eight lights, once.
void openLightDevices();
// Sends `color` (0xAARRGGBB) to light `index` unless the cache shows it
// already. Unknown indices and lights that did not open are dropped.
void setLightColor(int index, uint32_t color);
// Grey with alpha 0xff and the level's low 8 bits in red, green and blue.
void setLightLevel(int index, int level);
void setBatteryLed(uint32_t color);

// Backlight straight to the configured brightness, battery LED red, every
// other light off.
void initLights();
// The target of the current or last ramp, low 8 bits; 0 = dark or going dark.
int getBacklightLevel();
// Starts a ramp from the present level to `target` in about 15 steps of
// 16 ms. Going from 0 posts MSG_SCREEN_ON; a ramp that ends at 0 posts
// MSG_SCREEN_OFF and switches the screen off. A request for the target
// already set does nothing.
void rampBacklightTo(int target);
// One ramp tick: the "Brightness Anim" timer's callback (the id is ignored).
void backlightRampStep(int32_t timer_id);

void vibrate(int duration_ms);

// Tests only: stops the ramp, forgets the light table, the cache and the ramp
// levels (the ramp timer itself is kept: timers are never deleted).
void resetLightsForTest();
