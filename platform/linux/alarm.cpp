// Linux backend of the alarm device.
//
// Where "/dev/alarm" exists (the old alarm driver), set, clear and wait are
// its requests, the time value being the kernel's old timespec (two longs:
// on a 32-bit ABI a time past 2038 is refused with EOVERFLOW, never
// wrapped).
//
// Elsewhere the device is a timerfd on CLOCK_REALTIME_ALARM (it wakes a
// suspended phone; CLOCK_REALTIME when the kernel refuses it, which is
// logged) plus the RTC: the handle keeps the armed alarms in a table and the
// timer runs to the earliest of them; a wait collects the types that came
// due. The power-up type also programs the RTC wake alarm ("/dev/rtc0",
// RTC_WKALM_SET, UTC), so that a switched-off phone powers on at that time;
// clearing it switches the RTC alarm off. The timer alarms end with the
// handle; the RTC alarm stays with the hardware.
#include "platform/alarm.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include "platform/linux/alarm_time.h"
#include "platform/log.h"

namespace platform {
namespace {

using kernel::AlarmTable;
using kernel::DriverTime;

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int kMaxHandles = 4;

struct AlarmDevice {
  int handle = -1;  // the driver's descriptor, or the timerfd
  bool driver = false;
  int rtc = -1;
  AlarmTable table;
  std::mutex mutex;
};

AlarmDevice g_devices[kMaxHandles];
std::mutex g_devices_mutex;

AlarmDevice* device_of(int handle) {
  std::lock_guard<std::mutex> lock(g_devices_mutex);
  for (AlarmDevice& d : g_devices) {
    if (handle >= 0 && d.handle == handle) return &d;
  }
  errno = EBADF;
  return nullptr;
}

int64_t now_ns() {
  timespec ts = {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

int open_timer() {
  int fd = timerfd_create(CLOCK_REALTIME_ALARM, TFD_CLOEXEC);
  if (fd >= 0) return fd;
  log_errno(kLogWarn, errno, "alarm: CLOCK_REALTIME_ALARM refused, the alarm cannot wake a suspended phone");
  return timerfd_create(CLOCK_REALTIME, TFD_CLOEXEC);
}

// Runs the timer to the earliest armed alarm, or stops it. Caller holds the
// device's mutex.
int rearm_locked(AlarmDevice* dev) {
  itimerspec spec = {};
  int64_t when = 0;
  if (dev->table.earliest(&when)) {
    if (when <= 0) when = 1;  // zero would stop the timer
    spec.it_value.tv_sec = static_cast<time_t>(when / kNsPerSecond);
    spec.it_value.tv_nsec = static_cast<long>(when % kNsPerSecond);
  }
  return timerfd_settime(dev->handle, TFD_TIMER_ABSTIME, &spec, nullptr);
}

int set_rtc_locked(AlarmDevice* dev, int64_t seconds) {
  rtc_wkalrm alarm = {};
  if (!kernel::rtc_time_of(seconds, &alarm.time)) {
    errno = EOVERFLOW;
    return -1;
  }
  if (dev->rtc < 0) dev->rtc = open("/dev/rtc0", O_RDWR | O_CLOEXEC);
  if (dev->rtc < 0) return -1;
  alarm.enabled = 1;
  return ioctl(dev->rtc, RTC_WKALM_SET, &alarm);
}

int timer_set(AlarmDevice* dev, int type, int64_t seconds, int32_t nanoseconds) {
  int error = kernel::check_alarm_time(seconds, nanoseconds, sizeof(time_t), true);
  if (error != 0) {
    errno = error;
    return -1;
  }
  std::lock_guard<std::mutex> lock(dev->mutex);
  if (type == kAlarmPowerUp && set_rtc_locked(dev, seconds) != 0) return -1;
  dev->table.arm(type, seconds * kNsPerSecond + nanoseconds);
  return rearm_locked(dev);
}

int timer_clear(AlarmDevice* dev, int type) {
  std::lock_guard<std::mutex> lock(dev->mutex);
  dev->table.disarm(type);
  if (type == kAlarmPowerUp && dev->rtc >= 0) ioctl(dev->rtc, RTC_AIE_OFF, 0);
  return rearm_locked(dev);
}

int timer_wait(AlarmDevice* dev) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(dev->mutex);
      dev->table.fire_due(now_ns());
      unsigned fired = dev->table.collect();
      if (fired != 0) {
        rearm_locked(dev);
        return static_cast<int>(fired);
      }
    }
    uint64_t expirations = 0;
    if (read(dev->handle, &expirations, sizeof(expirations)) < 0) return -1;  // EINTR included
  }
}

}  // namespace

int alarm_open() {
  bool driver = access("/dev/alarm", F_OK) == 0;
  int handle = driver ? open("/dev/alarm", O_RDWR | O_CLOEXEC) : open_timer();
  if (handle < 0) return -1;
  std::lock_guard<std::mutex> lock(g_devices_mutex);
  for (AlarmDevice& d : g_devices) {
    if (d.handle < 0) {
      d.handle = handle;
      d.driver = driver;
      d.rtc = -1;
      d.table = AlarmTable();
      return handle;
    }
  }
  close(handle);
  errno = EMFILE;
  return -1;
}

int alarm_close(int alarm) {
  if (alarm < 0) return -1;
  std::lock_guard<std::mutex> lock(g_devices_mutex);
  for (AlarmDevice& d : g_devices) {
    if (d.handle != alarm) continue;
    if (d.rtc >= 0) close(d.rtc);
    d.rtc = -1;
    d.handle = -1;
    return close(alarm);
  }
  errno = EBADF;
  return -1;
}

int alarm_set(int alarm, int type, int64_t seconds, int32_t nanoseconds) {
  AlarmDevice* dev = device_of(alarm);
  if (dev == nullptr) return -1;
  if (type < 0 || type >= kAlarmTypes) {
    errno = EINVAL;
    return -1;
  }
  if (!dev->driver) return timer_set(dev, type, seconds, nanoseconds);
  int error = kernel::check_alarm_time(seconds, nanoseconds, sizeof(long), false);
  if (error != 0) {
    errno = error;
    return -1;
  }
  DriverTime value = kernel::driver_time(seconds, nanoseconds);
  return ioctl(alarm, kernel::driver_set_request(type), &value) < 0 ? -1 : 0;
}

int alarm_clear(int alarm, int type) {
  AlarmDevice* dev = device_of(alarm);
  if (dev == nullptr) return -1;
  if (type < 0 || type >= kAlarmTypes) {
    errno = EINVAL;
    return -1;
  }
  if (!dev->driver) return timer_clear(dev, type);
  return ioctl(alarm, kernel::driver_clear_request(type)) < 0 ? -1 : 0;
}

int alarm_wait(int alarm) {
  AlarmDevice* dev = device_of(alarm);
  if (dev == nullptr) return -1;
  if (!dev->driver) return timer_wait(dev);
  return ioctl(alarm, kernel::kDriverWaitRequest);
}

}  // namespace platform
