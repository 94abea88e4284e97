// The power-up alarm's time values and bookkeeping, for both Linux alarm
// devices: the old alarm driver ("/dev/alarm", whose time value is the
// kernel's old timespec: two longs, so 32-bit seconds on a 32-bit ABI) and
// the RTC with a timerfd (time_t of the build's ABI; struct rtc_time for the
// wake alarm, in UTC as the RTC keeps it).
// Pure: checks, conversions and the table of armed alarms (the Linux alarm
// service calls them; tests feed them values).
#pragma once

#include <cstdint>
#include <linux/ioctl.h>
#include <linux/rtc.h>

namespace platform::kernel {

// The old alarm driver's time value, as its requests carry it.
struct DriverTime {
  long tv_sec;
  long tv_nsec;
};

// The old alarm driver's requests for alarm `type`; the time value's size
// is part of the set request, so it must be the kernel's two longs (8 bytes
// on a 32-bit ABI even where time_t is 64 bits).
constexpr unsigned long driver_clear_request(int type) { return _IO('a', 0 | (type << 4)); }
constexpr unsigned long kDriverWaitRequest = _IO('a', 1);
constexpr unsigned long driver_set_request(int type) { return _IOW('a', 2 | (type << 4), DriverTime); }

// Checks a requested time: 0, or an errno value: EINVAL for nanoseconds
// outside 0..999999999, EOVERFLOW for seconds that a signed value of
// `seconds_bytes` bytes cannot hold (4: a 32-bit time_t or long, as on
// armhf without 64-bit time), beyond what 64-bit nanoseconds hold (the
// year 2262) or, when `non_negative`, before the epoch.
int check_alarm_time(int64_t seconds, int32_t nanoseconds, unsigned seconds_bytes, bool non_negative);

// The driver's value for a time that check_alarm_time(sizeof(long)) passed.
DriverTime driver_time(int64_t seconds, int32_t nanoseconds);

// The RTC's wake-alarm time for `seconds` since the epoch (UTC); false for
// a time the RTC cannot hold (before 1970, or a year past int range).
bool rtc_time_of(int64_t seconds, rtc_time* out);

// The armed alarms of one device, types 0..kTypes-1, as wall-clock
// nanoseconds. Fired alarms are disarmed and remembered until collected.
class AlarmTable {
 public:
  static constexpr int kTypes = 5;
  void arm(int type, int64_t when_ns);
  void disarm(int type);
  // Disarms every alarm due at `now_ns` and adds it to the pending mask.
  void fire_due(int64_t now_ns);
  // The pending mask (bit t for type t), cleared.
  unsigned collect();
  // The earliest armed time; false when nothing is armed.
  bool earliest(int64_t* when_ns) const;

 private:
  bool armed_[kTypes] = {};
  int64_t when_[kTypes] = {};
  unsigned pending_ = 0;
};

}  // namespace platform::kernel
