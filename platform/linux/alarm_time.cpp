#include "platform/linux/alarm_time.h"

#include <cerrno>
#include <cstdint>

namespace platform::kernel {

int check_alarm_time(int64_t seconds, int32_t nanoseconds, unsigned seconds_bytes, bool non_negative) {
  if (nanoseconds < 0 || nanoseconds >= 1000000000) return EINVAL;
  if (non_negative && seconds < 0) return EOVERFLOW;
  // Alarms are kept as 64-bit nanoseconds (until the year 2262).
  if (seconds > INT64_MAX / 1000000000 - 1 || seconds < INT64_MIN / 1000000000 + 1) return EOVERFLOW;
  if (seconds_bytes < 8 && (seconds > INT32_MAX || seconds < INT32_MIN)) return EOVERFLOW;
  return 0;
}

DriverTime driver_time(int64_t seconds, int32_t nanoseconds) {
  return {static_cast<long>(seconds), static_cast<long>(nanoseconds)};
}

bool rtc_time_of(int64_t seconds, rtc_time* out) {
  *out = {};
  if (seconds < 0) return false;
  // Days and seconds of the day, then the civil date of the day number
  // (proleptic Gregorian), without gmtime's time_t width.
  int64_t days = seconds / 86400;
  int64_t rest = seconds % 86400;
  int64_t z = days + 719468;
  int64_t era = z / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  if (year - 1900 > INT32_MAX) return false;
  out->tm_year = static_cast<int>(year - 1900);
  out->tm_mon = static_cast<int>(month - 1);
  out->tm_mday = static_cast<int>(day);
  out->tm_hour = static_cast<int>(rest / 3600);
  out->tm_min = static_cast<int>(rest / 60 % 60);
  out->tm_sec = static_cast<int>(rest % 60);
  out->tm_wday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
  out->tm_yday = -1;
  out->tm_isdst = -1;
  return true;
}

void AlarmTable::arm(int type, int64_t when_ns) {
  if (type < 0 || type >= kTypes) return;
  armed_[type] = true;
  when_[type] = when_ns;
}

void AlarmTable::disarm(int type) {
  if (type < 0 || type >= kTypes) return;
  armed_[type] = false;
  pending_ &= ~(1u << type);
}

void AlarmTable::fire_due(int64_t now_ns) {
  for (int type = 0; type < kTypes; ++type) {
    if (armed_[type] && when_[type] <= now_ns) {
      armed_[type] = false;
      pending_ |= 1u << type;
    }
  }
}

unsigned AlarmTable::collect() {
  unsigned fired = pending_;
  pending_ = 0;
  return fired;
}

bool AlarmTable::earliest(int64_t* when_ns) const {
  bool any = false;
  for (int type = 0; type < kTypes; ++type) {
    if (armed_[type] && (!any || when_[type] < *when_ns)) {
      *when_ns = when_[type];
      any = true;
    }
  }
  return any;
}

}  // namespace platform::kernel
