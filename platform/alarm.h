// The real-time-clock alarm device that keeps a power-up time across a
// power-off: set, clear and wait for alarms of a few types.
//
// Types: kAlarmRtcWakeup wakes the waiter at the time; kAlarmPowerUp is the
// slot the hardware keeps while the phone is off. Times are wall-clock
// seconds and nanoseconds since the epoch.
//
// Calls return 0 (alarm_wait: the mask of fired types, bit t for type t) or -1
// with errno: EOVERFLOW for a time the device cannot hold, EINVAL for a bad
// type or nanosecond value, EINTR for an interrupted wait. alarm_wait blocks
// until an alarm of the device fires; set, clear and wait may be called from
// different threads on the same handle. Only the backend knows the driver's
// request numbers.
// Backends: platform/host/ emulates the driver with real-time-clock deadlines
// (dev/alarm, dev/alarm.armed); platform/linux/ uses the old alarm driver or
// an RTC and timerfd.
#pragma once

#include <cstdint>

#include "platform/owned.h"

namespace platform {

constexpr int kAlarmRtcWakeup = 0;
constexpr int kAlarmPowerUp = 4;
constexpr int kAlarmTypes = 5;

// Opens the alarm device ("/dev/alarm"). A handle, or -1 with errno.
int alarm_open();
// Closes a handle; armed alarms stay with the device. -1 is accepted.
int alarm_close(int alarm);
using AlarmHandle = Handle<alarm_close>;

int alarm_set(int alarm, int type, int64_t seconds, int32_t nanoseconds);
int alarm_clear(int alarm, int type);
int alarm_wait(int alarm);

}  // namespace platform
