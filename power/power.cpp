#include "power/power.h"

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "config/properties.h"
#include "config/settings.h"
#include "config/startup.h"
#include "platform/hardware.h"
#include "platform/power.h"
#include "platform/log.h"
#include "platform/owned.h"
#include "platform/paths.h"

namespace {

constexpr const char* kPowerOnReasonPath = "/sys/power/startup_mode";
constexpr int kBootAnimLooks = 15;
constexpr int kBootAnimBufferSize = 128;


// Sysfs attributes of the CPU policy take the text with its terminating zero.
void writeCpuText(const char* path, const char* text) { writeSysfsFile(path, text, strlen(text) + 1); }

// Looks at "init.svc.bootanim" once a second until it reads "running", at
// most kBootAnimLooks times.
void waitForBootAnimation() {
  for (int look = 0; look < kBootAnimLooks; ++look) {
    sleepMs(1000);
    char value[kBootAnimBufferSize] = {};
    const char* state = propertyGetString("init.svc.bootanim", value);
    if (state != nullptr && strcmp(state, "running") == 0) {
      LOGW("Exit because bootanim running.");
      return;
    }
  }
}

}  // namespace

void bootAndroid(int32_t startup_mode) {
  LOGW(" . . . . . . . . . . . . . . . . . . . . . . ");
  if (startup_mode != -1) {
    sleepMs(100);
    rememberStartupMode(startup_mode, false);
  }
  sleepMs(100);
  signalBootAndroid();
  LOGW(" >>>>>>>>>> Boot android user %d. <<<<<<<<<< ", startupMode());
  waitForBootAnimation();
  LOGW(" ------------------------------------------- ");
}

void writePowerOnReason(int32_t user_mode) {
  const char* reason = nullptr;
  if (user_mode == 1) {
    reason = "charge_pwrkey";
  } else if (user_mode == 4) {
    reason = "charge_rtc";
  } else {
    LOGI("unrecognized boot reason\n");
    return;
  }
  char path[4096];
  // O_TRUNC: a write replaces the attribute's whole value, as sysfs does.
  platform::UniqueFd fd(platform::map_path(kPowerOnReasonPath, path, sizeof(path))
                            ? open(path, O_WRONLY | O_TRUNC | O_CLOEXEC)
                            : -1);
  if (!fd) {
    LOGW("warning: can't open %s to update power on reason!!", kPowerOnReasonPath);
    return;
  }
  if (write(fd.get(), reason, strlen(reason)) <= 0) LOGW("warning: failed to update power on reason!!");
}

void decrease_cpu0_freq() {
  writeCpuText("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", "ondemand");
  writeCpuText("/sys/devices/system/cpu/cpu0/cpufreq/ondemand/up_threshold", "90");
  writeCpuText("/sys/devices/system/cpu/cpu0/cpufreq/scaling_min_freq", "192000");
}

void decrease_cpu1_freq() {
  writeCpuText("/sys/devices/system/cpu/cpu1/cpufreq/scaling_governor", "ondemand");
  writeCpuText("/sys/devices/system/cpu/cpu1/cpufreq/ondemand/up_threshold", "90");
  writeCpuText("/sys/devices/system/cpu/cpu1/cpufreq/scaling_min_freq", "192000");
}

void set_cpufreq_to_boot() {
  writeCpuText("/sys/devices/system/cpu/cpu1/online", "1");
  writeCpuText("/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", "performance");
  writeCpuText("/sys/devices/system/cpu/cpu1/cpufreq/scaling_governor", "performance");
}

void powerOff() {
  LOGD("Shut down ...");
  platform::sync_filesystems();
  platform::power_off();
}

void rebootWithReason(const char* reason) {
  platform::sync_filesystems();
  platform::restart(reason);
  LOGE("jniThrowIOException(env, errno);");
}

void rebootDevice(const char* reason) {
  LOGD("Reboot ...");
  rebootWithReason(reason);
}

void setScreenState(int on) {
  LOGD("Set screen state (%d)", on);
  platform::set_screen_state(on);
}

void acquireWakeLock(int lock_type, const char* name) {
  LOGD("Acquire %s.\n", name != nullptr ? name : "(null)");
  if (name != nullptr) platform::acquire_wake_lock(lock_type, name);
}

void releaseWakeLock(const char* name) {
  LOGD("Release %s.\n", name != nullptr ? name : "(null)");
  if (name != nullptr) platform::release_wake_lock(name);
}
