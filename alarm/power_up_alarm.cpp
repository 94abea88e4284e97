#include "alarm/power_up_alarm.h"

#include <cerrno>
#include <cstdint>

#include "config/settings.h"
#include "config/startup.h"
#include "queue/message_queue.h"
#include "power/power.h"
#include "platform/hardware.h"
#include "platform/alarm.h"
#include "platform/log.h"

namespace {

constexpr const char* kAlarmWakeLock = "Lumo.Alarm";
constexpr int64_t kDueWindowMs = 120000;
constexpr int kCompensationTests = 63;
constexpr int kCompensationPauseMs = 80;
constexpr int kStopWakeUpMs = 10;
// type 0 fires just after the power-up time, so that the time test that
// follows the wake-up always finds it reached.
constexpr int64_t kWakeUpDelayMs = 2;
// After a wait that failed outright the driver is asked again only after
// this pause: a wait that keeps failing must not spin.
constexpr int kFailedWaitPauseMs = 500;

}  // namespace

PowerUpTimeState classifyPowerUpTime(int64_t t, int64_t now) {
  if (now - kDueWindowMs > t) return PowerUpTimeState::kOutdated;
  if (t > now) return PowerUpTimeState::kAhead;
  return PowerUpTimeState::kDue;
}

PowerUpAlarm::PowerUpAlarm() { startAlarmThread(); }

PowerUpAlarm::~PowerUpAlarm() {
  int32_t device = deviceFd_.exchange(-1);
  if (device >= 0) platform::alarm_close(device);
}

void PowerUpAlarm::dropReference() {
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

void releasePowerUpAlarm(PowerUpAlarm* alarm) {
  if (alarm != nullptr) alarm->dropReference();
}

int PowerUpAlarm::openAlarmDevice() {
  if (fd.load() < 0) {
    LOGI("open alarm device ..");
    int32_t device = platform::alarm_open();
    if (device >= 0) deviceFd_.store(device);
    fd.store(device);
  }
  return fd.load();
}

void PowerUpAlarm::closeAlarmDevice() {
  if (fd.exchange(-1) == -1) return;
  LOGD("close alarm device ..");
  // A thread that loaded the descriptor just before may still issue a
  // request on it; closing it now could send that request to whatever file
  // gets the number next. Only once the thread is gone is it closed here;
  // otherwise the last one to let go of the object closes it.
  if (references_.load(std::memory_order_acquire) == 1) {
    int32_t device = deviceFd_.exchange(-1);
    if (device >= 0) platform::alarm_close(device);
  }
}

int PowerUpAlarm::startAlarmThread() {
  if (threadStarted_) return 0;
  if (openAlarmDevice() < 0) {
    LOGE("can't open alarm device");
    return -1;
  }
  references_.fetch_add(1, std::memory_order_acq_rel);
  // Created detached: the thread may end long before a stop comes (nothing
  // armed), or no stop may ever come (the restart after the charger is
  // pulled); a joinable thread would then stay behind as a zombie.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int created = pthread_create(&thread, &attr, threadMain, this);
  pthread_attr_destroy(&attr);
  if (created != 0) {
    references_.fetch_sub(1, std::memory_order_acq_rel);
    thread = {};
    LOGE("can't create alarm thread");
    return -1;
  }
  threadStarted_ = true;
  return 0;
}

void PowerUpAlarm::stopAlarmThread() {
  if (threadStarted_) {
    LOGI("Detach alarm thread.");  // created detached: nothing to do but say so
    running.store(0);
    powerUpTime.store(-1);
    setAlarm(ANDROID_ALARM_RTC_WAKEUP, nowMs() + kStopWakeUpMs);
    LOGI("JOIN alarm thread.");
    LOGI("Alarm thread exit code %d.", 0);
    thread = {};
    threadStarted_ = false;
  }
  closeAlarmDevice();
}

int PowerUpAlarm::setAlarm(int type, int64_t time_ms) {
  int64_t seconds = time_ms / 1000;
  auto nanoseconds = static_cast<int32_t>((time_ms % 1000) * 1000000);
  // A time the device cannot hold (its seconds are 32 bits wide) is refused
  // there with EOVERFLOW rather than wrapped to some other time.
  int result = platform::alarm_set(fd.load(), type, seconds, nanoseconds);
  if (result < 0) {
    LOGE_ERRNO("Unable to set alarm to %lld.%09lld\n", static_cast<long long>(seconds),
               static_cast<long long>(nanoseconds));
  }
  return result;
}

void PowerUpAlarm::clearAlarm(int type) {
  if (platform::alarm_clear(fd.load(), type) < 0) {
    LOGE("Unable to clean alarm to %d\n", type);
  }
}

int PowerUpAlarm::waitAlarm(int device) {
  for (;;) {
    int result = platform::alarm_wait(device);
    if (result >= 0) return result;
    if (errno == EINTR) continue;
    LOGE_ERRNO("Unable to wait on alarm\n");
    return -1;
  }
}

// Tests "sys.time.compensated" up to 63 times, 80 ms apart. False when the
// clock never became trustworthy, or when the watcher was stopped meanwhile
// (then nothing may be armed any more).
bool PowerUpAlarm::waitForCompensatedClock() {
  for (int test = 0; test < kCompensationTests; ++test) {
    if (isTimeCompensated()) return !stopped();
    sleepMs(kCompensationPauseMs);
    if (stopped()) return false;
  }
  LOGW("Alarm don't config and it may lost when device poweroff!");
  return false;
}

int PowerUpAlarm::setupPowerUpAlarm() {
  int64_t t = getPowerAlarmTime();
  if (t <= 0) {
    LOGD("powerup alarm not set");
    return -1;
  }
  if (!waitForCompensatedClock()) return -1;
  int64_t now = nowMs();
  PowerUpTimeState state = classifyPowerUpTime(t, now);
  if (state == PowerUpTimeState::kOutdated) {
    LOGI("time for alarm is out dated\n");
    clearAlarm(ANDROID_ALARM_RTC_WAKEUP);
    return -1;
  }
  LOGI("set up alarm to %lld(current:%lld)\n", static_cast<long long>(t), static_cast<long long>(now));
  if (state == PowerUpTimeState::kDue) {
    sendMessage(MSG_ALARM, 0, 0);
    return 1;
  }
  powerUpTime.store(t);
  setAlarm(ANDROID_ALARM_RTC_WAKEUP, t <= INT64_MAX - kWakeUpDelayMs ? t + kWakeUpDelayMs : t);
  setAlarm(ANDROID_ALARM_POWER_UP, t);
  return 0;
}

void PowerUpAlarm::alarmWaitLoop() {
  for (;;) {
    int32_t device = fd.load();
    if (device == -1 || stopped()) return;
    LOGI("alarm wait here ...");
    int fired = waitAlarm(device);
    LOGI("alarm wait return %d.", fired);
    if (stopped()) return;
    acquireWakeLock(platform::kPartialWakeLock, kAlarmWakeLock);
    int64_t startup = powerUpTime.load();
    if (startup > 0 && (fired & 1) != 0) {
      LOGI("    current : %llu", static_cast<unsigned long long>(nowMs()));
      LOGI("    startup : %llu", static_cast<unsigned long long>(startup));
      if (nowMs() >= startup) {
        LOGI(" LumoBoot -> Startup alarm");
        clearAlarm(ANDROID_ALARM_RTC_WAKEUP);
        clearAlarm(ANDROID_ALARM_POWER_UP);
        setPowerAlarmTime(0);  // the alarm is used up
        sendMessage(MSG_ALARM, 0, 0);
        releaseWakeLock(kAlarmWakeLock);
        return;
      }
    }
    releaseWakeLock(kAlarmWakeLock);
    if (fired < 0) sleepMs(kFailedWaitPauseMs);
  }
}

void* PowerUpAlarm::threadMain(void* arg) {
  auto* self = static_cast<PowerUpAlarm*>(arg);
  if (self->setupPowerUpAlarm() == 0) self->alarmWaitLoop();
  LOGI("Alarm thread exit...");
  self->dropReference();
  return nullptr;
}
