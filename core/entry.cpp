#include "core/entry.h"

#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include "battery/battery.h"
#include "battery/battery_thread.h"
#include "config/properties.h"
#include "config/settings.h"
#include "config/startup.h"
#include "core/charging.h"
#include "core/power.h"
#include "platform/log.h"
#include "platform/paths.h"

namespace {

// The host build acts only on a simulated device: without a device root it
// would have nothing safe to act on, so it refuses before doing anything.
bool deviceRootUsable() {
  const char* root = platform::device_root();
  struct stat st;
  const char* env = getenv("LUMO_ROOT");
  if (root == nullptr && env != nullptr && env[0] != '\0') {
    fprintf(stderr, "lumoboot: LUMO_ROOT '%s' is not a directory.\n", env);
    return false;
  }
  if (root == nullptr) {
    fprintf(stderr,
            "lumoboot: LUMO_ROOT is not set. This build runs against a simulated device "
            "root (see README) and never touches the machine it runs on.\n");
    return false;
  }
  if (stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) {
    fprintf(stderr, "lumoboot: LUMO_ROOT '%s' is not a directory.\n", root);
    return false;
  }
  return true;
}

}  // namespace

int lumoMain() {
  if (!deviceRootUsable()) return 2;
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
