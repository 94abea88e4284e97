// The power-up alarm watcher: honours "persist.sys.poweralarm.time" while
// charging mode runs. It arms the time in the alarm driver "/dev/alarm" (type
// 0 to wake the thread, type 4 so that the time survives a power-off), sleeps
// in the driver on its own thread and, when the time comes, posts MSG_ALARM to
// the charging controller.
//
// The charging controller creates the watcher on the main thread with
// `new PowerUpAlarm()` (which opens the device and starts the alarm thread),
// stops it with stopAlarmThread() and gives it back with
// releasePowerUpAlarm(), never with delete: the detached alarm thread holds a
// reference of its own, and whichever of the two lets go last frees the
// object. So the controller never waits for the thread, and the thread never
// touches freed memory, however long it is still busy (it wakes about 10 ms
// after the stop, or up to about five seconds later while it still waits for
// the clock to be compensated).
//
// `fd`, `running` and `powerUpTime` are shared between the main thread and
// the alarm thread and are atomic; `thread` is the main thread's alone. The
// descriptor stays valid for as long as the thread may use it: after the stop
// it reads -1, and the descriptor is closed once no thread can still be
// issuing a request on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <pthread.h>

#include "platform/alarm.h"

// The alarm types used (platform/alarm.h).
constexpr int ANDROID_ALARM_RTC_WAKEUP = platform::kAlarmRtcWakeup;
constexpr int ANDROID_ALARM_POWER_UP = platform::kAlarmPowerUp;  // the slot kept across a power-off

class PowerUpAlarm {
 public:
  // Sets the fields to their initial values and starts the thread (its
  // result is not looked at; see startAlarmThread).
  PowerUpAlarm();
  PowerUpAlarm(const PowerUpAlarm&) = delete;
  PowerUpAlarm& operator=(const PowerUpAlarm&) = delete;

  // Opens the device and starts the alarm thread: 0, or -1 when the device
  // cannot be opened (then no thread runs).
  int startAlarmThread();
  // Lets the thread go, arms type 0 10 ms ahead to wake it, closes the device.
  // Does not wait for the thread.
  void stopAlarmThread();
  int openAlarmDevice();
  void closeAlarmDevice();
  // The driver's result; negative (logged) on failure.
  int setAlarm(int type, int64_t time_ms);
  void clearAlarm(int type);
  // The fired-type mask, or -1 (logged) on failure. Interrupted waits are
  // repeated.
  static int waitAlarm(int fd);
  // -1 nothing armed, 0 armed (go and wait), 1 already due (MSG_ALARM posted).
  int setupPowerUpAlarm();
  // Waits for the power-up time and posts MSG_ALARM.
  void alarmWaitLoop();

  std::atomic<int32_t> fd{-1};
  std::atomic<int32_t> running{-1};
  pthread_t thread{};
  std::atomic<int64_t> powerUpTime{-1};

 private:
  friend void releasePowerUpAlarm(PowerUpAlarm* alarm);
  ~PowerUpAlarm();
  static void* threadMain(void* arg);
  bool stopped() const { return running.load() == 0; }
  bool waitForCompensatedClock();
  void dropReference();

  bool threadStarted_ = false;
  // The controller's reference plus one while the thread runs.
  std::atomic<int> references_{1};
  // The open descriptor, closed by the destructor when closeAlarmDevice ran
  // while the thread could still be using it.
  std::atomic<int32_t> deviceFd_{-1};
};

// Gives the controller's reference back (null is accepted). The object is
// freed now, or by the alarm thread when it ends.
void releasePowerUpAlarm(PowerUpAlarm* alarm);

// What the power-up time `t` means at `now` (both ms since the epoch; t > 0):
// more than 120000 ms in the past is out of date, from then up to now it is
// due, after now it lies ahead.
enum class PowerUpTimeState { kOutdated, kDue, kAhead };
PowerUpTimeState classifyPowerUpTime(int64_t t, int64_t now);
