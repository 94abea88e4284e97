#include "lights/lights.h"

#include <cstdint>
#include <mutex>
#include <new>

#include "config/settings.h"
#include "queue/message_queue.h"
#include "power/power.h"
#include "platform/hardware.h"
#include "platform/lights_module.h"
#include "platform/log.h"
#include "timer/timer.h"

namespace {

constexpr const char* kLightNames[LIGHT_COUNT] = {
    "backlight", "keyboard", "buttons", "battery", "notifications", "attention", "bluetooth", "wifi",
};
// The table's size as the phone allocates it (eight 32-bit handles).
constexpr int kDeviceTableBytes = LIGHT_COUNT * 4;
constexpr int kRampSteps = 15;

// Light table and per-light cache. The table stays null until the first
// light request; a slot is null when its light did not open.
std::mutex g_lights_mutex;
platform::LightDevice** g_devices = nullptr;
platform::LightState g_cache[LIGHT_COUNT];

// Backlight ramp. `active` is set while a ramp is under way, so that an
// expiry that was already on its way when the ramp ended does nothing.
struct Ramp {
  int32_t target = 0;
  int32_t level = 0;
  int32_t step = 0;
  bool active = false;
  bool timerCreated = false;
};
std::mutex g_ramp_mutex;
Ramp g_ramp;
Timer g_ramp_timer;

void openLightDevicesLocked() {
  if (g_devices != nullptr) return;
  LOGW("Malloc %d for Devices.", kDeviceTableBytes);
  g_devices = new (std::nothrow) platform::LightDevice*[LIGHT_COUNT]();
  if (g_devices == nullptr) return;
  if (platform::lights_module_load() != 0) return;
  for (int i = 0; i < LIGHT_COUNT; ++i) g_devices[i] = platform::lights_open(kLightNames[i]);
}

uint32_t greyColor(int level) {
  uint32_t v = static_cast<uint32_t>(level) & 0xffu;
  return 0xff000000u | (v << 16) | (v << 8) | v;
}

}  // namespace

void openLightDevices() {
  std::lock_guard<std::mutex> lock(g_lights_mutex);
  openLightDevicesLocked();
}

void setLightColor(int index, uint32_t color) {
  if (index < 0 || index >= LIGHT_COUNT) return;  // the cache has one slot per light
  std::lock_guard<std::mutex> lock(g_lights_mutex);
  openLightDevicesLocked();
  if (g_devices == nullptr) return;  // dropped; the next request tries again
  platform::LightState& cached = g_cache[index];
  if (cached.color == color && cached.flashMode == 0 && cached.flashOnMS == 0 && cached.flashOffMS == 0) {
    return;
  }
  cached.color = color;
  cached.flashMode = 0;
  cached.flashOnMS = 0;
  cached.flashOffMS = 0;
  platform::LightState state = {};
  state.color = color;
  if (g_devices[index] != nullptr) platform::lights_set(g_devices[index], &state);
}

void setLightLevel(int index, int level) { setLightColor(index, greyColor(level)); }

void setBatteryLed(uint32_t color) { setLightColor(LIGHT_BATTERY, color); }

void initLights() {
  int32_t level = getBrightness();
  {
    std::lock_guard<std::mutex> lock(g_ramp_mutex);
    g_ramp.target = level;
    g_ramp.level = level;
  }
  setLightLevel(LIGHT_BACKLIGHT, level);
  for (int i = 1; i < LIGHT_COUNT; ++i) {
    if (i == LIGHT_BATTERY) {
      setBatteryLed(kBatteryLedRed);
    } else {
      setLightLevel(i, 0);
    }
  }
}

int getBacklightLevel() {
  std::lock_guard<std::mutex> lock(g_ramp_mutex);
  return g_ramp.target & 0xff;
}

void rampBacklightTo(int target) {
  // Held across the timer calls so that a tick that ends a ramp and a new
  // request cannot interleave (the tick's stop would cancel the new ramp).
  // The timer service never runs a callback with its own lock held.
  std::lock_guard<std::mutex> lock(g_ramp_mutex);
  int current = g_ramp.target & 0xff;
  if (current == target) return;
  setScreenState(1);
  if (current == 0 && target != 0) sendMessage(MSG_SCREEN_ON, 0, 0);
  if (!g_ramp.timerCreated) {
    g_ramp_timer.name = "Brightness Anim";
    g_ramp_timer.callback = backlightRampStep;
    g_ramp_timer.handle = kNoTimerHandle;
    timerCreate(&g_ramp_timer);
    g_ramp.timerCreated = true;
  } else if (g_ramp_timer.running.load()) {
    timerStop(&g_ramp_timer);
  }
  g_ramp.target = target;
  g_ramp.step = static_cast<int32_t>((static_cast<int64_t>(target) - g_ramp.level) / kRampSteps);
  g_ramp.active = true;
  timerStart(&g_ramp_timer, kBacklightRampPeriodMs);
}

void backlightRampStep(int32_t /*timer_id*/) {
  std::lock_guard<std::mutex> lock(g_ramp_mutex);
  if (!g_ramp.active) return;
  int64_t next = static_cast<int64_t>(g_ramp.level) + g_ramp.step;
  bool goesOn = g_ramp.step > 0 ? next < g_ramp.target : g_ramp.step < 0 ? next > g_ramp.target : false;
  g_ramp.level = goesOn ? static_cast<int32_t>(next) : g_ramp.target;
  setLightLevel(LIGHT_BACKLIGHT, g_ramp.level);
  if (goesOn) return;
  g_ramp.active = false;
  timerStop(&g_ramp_timer);
  if (g_ramp.level == 0) {
    sendMessage(MSG_SCREEN_OFF, 0, 0);
    setScreenState(0);
  }
}

void vibrate(int duration_ms) { platform::vibrator_on(duration_ms); }

void resetLightsForTest() {
  {
    std::lock_guard<std::mutex> lock(g_ramp_mutex);
    if (g_ramp.timerCreated) timerStop(&g_ramp_timer);
    g_ramp.target = 0;
    g_ramp.level = 0;
    g_ramp.step = 0;
    g_ramp.active = false;
  }
  std::lock_guard<std::mutex> lock(g_lights_mutex);
  delete[] g_devices;
  g_devices = nullptr;
  for (platform::LightState& state : g_cache) state = {};
}
