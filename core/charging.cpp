#include "core/charging.h"

#include <atomic>
#include <unistd.h>

#include "alarm/power_up_alarm.h"
#include "battery/battery.h"
#include "battery/battery_thread.h"
#include "config/settings.h"
#include "config/startup.h"
#include "power/power.h"
#include "lights/lights.h"
#include "platform/hardware.h"
#include "platform/log.h"
#include "timer/timer.h"
#include "ui/boot_logo.h"
#include "ui/charge_anim.h"
#include "ui/ui.h"

namespace {

constexpr const char* kChargingWakeLock = "LumoBoot";
constexpr const char* kKeyWakeLock = "Lumo.Boot";
// A restart the kernel refuses is asked again after a pause that doubles up
// to a minute: the phone must go down, but a refusing kernel must not make
// this loop burn a core or flood the log.
constexpr int kRebootRetryFirstMs = 1000;
constexpr int kRebootRetryMaxMs = 60000;

// Main thread only, apart from the timer record (timer service lock) and
// the created flag, which the "Lights" callback may read.
bool g_first_message_handled = false;
int g_charger_present_cached = 0;
int g_key_wake_lock_held = 0;
Timer g_lights_timer;
std::atomic<bool> g_lights_created{false};
PowerUpAlarm* g_alarm = nullptr;

int chargerPresent() { return isChargerOnline() ? 1 : 0; }

// What the charging screen shows: read from the battery record and the
// backlight at each frame, on whichever thread draws it.
ChargeScreenState chargeScreenState() {
  ChargeScreenState state;
  state.status = getBatteryStatus();
  state.level = getBatteryLevel();
  state.health = getBatteryHealth();
  state.battery_voltage = getBatteryVoltage();
  state.charger_voltage = getChargerVoltage();
  state.charger_online = isChargerOnline();
  state.backlight_on = getBacklightLevel() != 0 ? 1 : 0;
  return state;
}

// "Lights" may be asked for before charging set-up created it (messages that
// were queued before MSG_CHARGE_START): such requests are dropped.
void startLights(int period_ms) {
  if (g_lights_created.load()) timerStart(&g_lights_timer, period_ms);
}

void stopLights() {
  if (g_lights_created.load()) timerStop(&g_lights_timer);
}

void restartLights(int period_ms) {
  stopLights();
  startLights(period_ms);
}

void logKeyState(const char* what, int32_t key) {
  LOGD(" power=%d, level=%d, vol=%d", isChargerOnline(), getBatteryLevel(), getBatteryVoltage());
  LOGD(" %s %d, bright=%d", what, key, getBacklightLevel());
}

int keepLoopUnlessBooted(int32_t user_mode) { return startAndroidFromCharging(user_mode) == 1 ? 0 : 1; }

void setupChargingMode() {
  ui_start();
  charge_anim_set_source(chargeScreenState);
  charge_anim_create();
  disableAdb();
  if (!g_lights_created.load()) {
    g_lights_timer.name = "Lights";
    g_lights_timer.callback = lightsTimeout;
    g_lights_timer.handle = kNoTimerHandle;
    timerCreate(&g_lights_timer);
    g_lights_created.store(true);
  }
  startLights(chargerPresent() ? getLightTimeout() : getUnchargeLightTimer());
  initLights();
  rampBacklightTo(getBrightness());
  if (g_alarm == nullptr) g_alarm = new PowerUpAlarm();
  LOGI("before decrease_cpu0_freq\n");
  decrease_cpu0_freq();
  decrease_cpu1_freq();
  LOGI("after decrease_cpu0_freq\n");
}

int onKeyDown(int32_t key) {
  logKeyState("Keydown", key);
  if (!chargerPresent()) return 1;
  stopLights();  // the screen stays as it is while a key is held
  if (g_key_wake_lock_held == 0 && getBacklightLevel() == 0) {
    g_key_wake_lock_held = 1;
    acquireWakeLock(platform::kPartialWakeLock, kKeyWakeLock);
  }
  if (key != KEY_CODE_POWER) return 1;
  LOGW(" LumoBoot -> STARTUP_PWRKEY.");
  releaseWakeLock(kKeyWakeLock);
  return keepLoopUnlessBooted(STARTUP_PWRKEY);
}

int onKeyUp(int32_t key) {
  logKeyState("Keyup", key);
  if (!chargerPresent()) return 1;
  if (key == KEY_CODE_END) {
    if (getBacklightLevel() == 0) {
      rampBacklightTo(getBrightness());
      startLights(getLightTimeout());
    } else {
      rampBacklightTo(0);
      stopLights();
    }
    if (g_key_wake_lock_held == 1) {
      g_key_wake_lock_held = 0;
      releaseWakeLock(kKeyWakeLock);
    }
  } else if (getBacklightLevel() != 0) {
    startLights(getLightTimeout());
  }
  return 1;
}

// The screen went dark without a charger: restart with the power-off reason.
// Never returns; nothing else of charging mode runs any more.
[[noreturn]] void shutDownWithoutCharger() {
  LOGW(" Battery is no charge, power shutdown.");
  stopLights();
  for (int pause_ms = kRebootRetryFirstMs;; pause_ms = pause_ms * 2 > kRebootRetryMaxMs ? kRebootRetryMaxMs : pause_ms * 2) {
    rebootDevice("reboot_off");
    sleepMs(pause_ms);
  }
}

int onScreenOff() {
  charge_anim_run(0);
  if (chargerPresent()) return 1;
  shutDownWithoutCharger();
}

int onBattery() {
  int present = chargerPresent();
  if (present != g_charger_present_cached) {
    g_charger_present_cached = present;
    rampBacklightTo(getBrightness());
    restartLights(present ? getLightTimeout() : getUnchargeLightTimer());
  }
  uint32_t led = 0;
  if (present) led = getBatteryStatus() == BATTERY_STATUS_FULL ? kBatteryLedGreen : kBatteryLedRed;
  setBatteryLed(led);
  return 1;
}

int onChargeWarning() {
  if (!chargerPresent()) return 1;
  rampBacklightTo(getBrightness());
  restartLights(kChargeWarningLitMs);
  return 1;
}

void exitAlarm() {
  LOGW("Exit alarm.");
  if (g_alarm != nullptr) {
    g_alarm->stopAlarmThread();
    releasePowerUpAlarm(g_alarm);
    g_alarm = nullptr;
  }
  sleepMs(50);
}

}  // namespace

int startAndroidFromCharging(int32_t user_mode) {
  LOGI("before set_cpufreq_to_boot\n");
  set_cpufreq_to_boot();
  LOGI("after set_cpufreq_to_boot\n");
  int32_t voltage = getBatteryVoltage();
  int32_t threshold = getPowerOnVoltage();
  if (voltage < threshold) {
    LOGW(" battery vol %d < %d threshold.", voltage, threshold);
    LOGW(" donot start android %d.", user_mode);
    return 0;
  }
  LOGW(" - - - - - - - - - - - - - - - - - - - - - - ");
  LOGW("Start android user %d mode.", user_mode);
  rememberStartupMode(user_mode, true);
  LOGW("Stop power long press and lights timer.");
  stopLights();
  charge_anim_hide();
  stopBatteryThread();
  exitAlarm();
  enableAdb();
  ui_stop();
  if (user_mode == STARTUP_PWRKEY) {
    int32_t duration = getVibratorTimeout();
    vibrate(duration);
    LOGW("Vibrator ...");
    sleepMs(duration);
  }
  LOGW("Show logo return %d", load_565rle_image(bootLogoPath()));
  sleepMs(100);
  LOGW("Set back light...");
  rampBacklightTo(getBrightness());
  releaseWakeLock(kChargingWakeLock);
  writePowerOnReason(user_mode);
  bootAndroid(-1);
  return 1;
}

void lightsTimeout(int32_t /*timer_id*/) {
  if (isTestMode()) {
    LOGW("Put message MSG_PRESSURE_TEST");
    sendMessage(MSG_PRESSURE_TEST, 0, 0);
    return;
  }
  stopLights();
  rampBacklightTo(0);
}

int handleMessage(const Message& message) {
  if (!g_first_message_handled) {
    g_first_message_handled = true;
    g_charger_present_cached = chargerPresent();
  }
  switch (message.code) {
    case MSG_KEY_DOWN: return onKeyDown(message.arg1);
    case MSG_KEY_UP: return onKeyUp(message.arg1);
    case MSG_TIMER: LOGE(" MSG_TIMER : %d no process.", message.arg1); return 1;
    case MSG_SCREEN_ON: charge_anim_run(1); return 1;
    case MSG_SCREEN_OFF: return onScreenOff();
    case MSG_CHARGE_START: setupChargingMode(); return 1;
    case MSG_PRESSURE_TEST:
      LOGW("Doing test LumoBoot -> STARTUP_PWRKEY");
      return keepLoopUnlessBooted(STARTUP_PWRKEY);
    case MSG_BATTERY: return onBattery();
    case MSG_ALARM:
      LOGW(" LumoBoot -> Wake Up Device...");
      return keepLoopUnlessBooted(STARTUP_ALARM);
    case MSG_CHARGE_WARNING: return onChargeWarning();
    default: LOGE(" No process %d message", message.code); return 1;
  }
}

int runChargingMode() {
  LOGD("Entry boot charged");
  acquireWakeLock(platform::kPartialWakeLock, kChargingWakeLock);
  sendMessage(MSG_CHARGE_START, 0, 0);
  Message message = {};
  int result;
  do {
    waitMessage(&message);
    result = handleMessage(message);
  } while (result != 0);
  releaseWakeLock(kChargingWakeLock);
  LOGE("Exit boot charged");
  return result;
}

void resetChargingForTest() {
  stopLights();
  g_first_message_handled = false;
  g_charger_present_cached = 0;
  g_key_wake_lock_held = 0;
  if (g_alarm != nullptr) {
    g_alarm->stopAlarmThread();
    releasePowerUpAlarm(g_alarm);
    g_alarm = nullptr;
  }
}
