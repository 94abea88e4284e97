#include "core/entry.h"

#include "battery/battery.h"
#include "battery/battery_thread.h"
#include "config/properties.h"
#include "config/settings.h"
#include "config/startup.h"
#include "core/charging.h"
#include "power/power.h"
#include "platform/log.h"
#include "platform/environment.h"

int lumoMain() {
  if (!platform::check_environment()) return 2;
  LOGD(" ============================== ");
  if (getLumoBootRunning() != 0) {
    LOGE("Lumo boot only run once.");
    return 0;
  }
  // Nothing goes on before the run-once mark is in place; a property service
  // that keeps refusing it ends the run (the error is logged).
  if (markLumoBootRunning() != 0) return 0;

  LOGD("Battery::init()");
  Battery::init();
  int32_t mode = startupMode();
  LOGD("Startup mode = %d", mode);
  int32_t voltage = getBatteryVoltage();
  int32_t level = getBatteryLevel();
  logBatteryState();
  LOGD(" ============================== ");

  propertySetInt("ro.lboot.startup", mode);
  propertySetInt("ro.lboot.batvol", voltage);
  propertySetInt("ro.lboot.batlevel", level);

  if (isForceEntry() || mode == STARTUP_CHARGER) {
    runChargingMode();
    return 0;
  }
  int32_t threshold = getPowerOnVoltage();
  if (voltage >= threshold) {
    stopBatteryThread();
    bootAndroid(mode);
    return 0;
  }
  LOGE(" Battery voltage %d < %d", voltage, threshold);
  stopBatteryThread();
  powerOff();
  return 0;
}
