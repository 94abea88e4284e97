// Host alarm device: set, clear and wait of the alarm driver, emulated with
// real-time-clock deadlines. Times are held as the driver holds them: 32-bit
// seconds (a time past 2038 is refused with EOVERFLOW).
//
// One alarm device per host file of dev/alarm (so that every device root has
// its own), each with types 0-4: an armed flag and a wall-clock time per
// type, and the mask of types that fired and were not yet collected by a
// wait. A fired alarm is disarmed. A driver thread, started with the first
// device, sleeps until the earliest armed time of all devices (a condition
// variable waiting on CLOCK_REALTIME deadlines, woken by every set and
// clear) and fires what is due, also while nobody waits; a wait sleeps on the
// same variable and fires its own device's alarms too. After every set, clear
// and firing, dev/alarm.armed is replaced atomically by one line
// "TYPE SECONDS NANOSECONDS" per armed alarm. Closing a descriptor changes
// nothing: the alarms belong to the device, not to the descriptor.
//
// The state lives in plain statics with static initialisers and no
// destructors, so that the detached driver thread may still sleep on them
// while the process exits.
#include "platform/alarm.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <pthread.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/host/handles.h"

namespace platform {
namespace {


constexpr int64_t kNsPerSecond = 1000000000;

struct TimeValue {
  int32_t seconds;
  int32_t nanoseconds;
};

struct AlarmDevice {
  AlarmDevice* next;
  char path[4096];
  bool armed[kAlarmTypes];
  TimeValue when[kAlarmTypes];
  unsigned pending;
};

pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_changed = PTHREAD_COND_INITIALIZER;  // CLOCK_REALTIME
AlarmDevice* g_devices = nullptr;
bool g_driver_started = false;

int64_t nanos(const TimeValue& t) { return static_cast<int64_t>(t.seconds) * kNsPerSecond + t.nanoseconds; }

int64_t now_nanos() {
  timespec ts = {};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

timespec to_timespec(int64_t ns) {
  timespec ts = {};
  ts.tv_sec = static_cast<time_t>(ns / kNsPerSecond);
  ts.tv_nsec = static_cast<long>(ns % kNsPerSecond);
  if (ts.tv_nsec < 0) {
    ts.tv_nsec += kNsPerSecond;
    ts.tv_sec -= 1;
  }
  return ts;
}

// dev/alarm.armed, replaced through a temporary file and a rename. A device
// root that is gone leaves nothing to update.
void write_armed_locked(const AlarmDevice* dev) {
  char text[kAlarmTypes * 40] = {};
  size_t used = 0;
  for (int type = 0; type < kAlarmTypes; ++type) {
    if (!dev->armed[type]) continue;
    int n = snprintf(text + used, sizeof(text) - used, "%d %ld %ld\n", type,
                     static_cast<long>(dev->when[type].seconds), static_cast<long>(dev->when[type].nanoseconds));
    if (n > 0) used += static_cast<size_t>(n);
  }
  char armed[4200];
  if (snprintf(armed, sizeof(armed), "%s.armed", dev->path) >= static_cast<int>(sizeof(armed))) return;
  replace_file(armed, text, used);
}

// Fires every armed alarm of `dev` that is due at `now`. True when one fired.
bool fire_due_locked(AlarmDevice* dev, int64_t now) {
  bool fired = false;
  for (int type = 0; type < kAlarmTypes; ++type) {
    if (dev->armed[type] && nanos(dev->when[type]) <= now) {
      dev->armed[type] = false;
      dev->pending |= 1u << type;
      fired = true;
    }
  }
  if (fired) {
    write_armed_locked(dev);
    pthread_cond_broadcast(&g_changed);
  }
  return fired;
}

// The earliest armed time of `dev`, or of every device when `dev` is null.
bool earliest_locked(const AlarmDevice* dev, int64_t* out) {
  bool any = false;
  for (const AlarmDevice* d = g_devices; d != nullptr; d = d->next) {
    if (dev != nullptr && d != dev) continue;
    for (int type = 0; type < kAlarmTypes; ++type) {
      if (!d->armed[type]) continue;
      int64_t t = nanos(d->when[type]);
      if (!any || t < *out) *out = t;
      any = true;
    }
  }
  return any;
}

// Sleeps until `deadline` (when `timed`) or the next change. Spurious wake-ups
// are fine: every caller looks again.
void sleep_locked(bool timed, int64_t deadline) {
  if (timed) {
    timespec ts = to_timespec(deadline);
    pthread_cond_timedwait(&g_changed, &g_mutex, &ts);
  } else {
    pthread_cond_wait(&g_changed, &g_mutex);
  }
}

void* driver_main(void*) {
  pthread_mutex_lock(&g_mutex);
  for (;;) {
    int64_t now = now_nanos();
    for (AlarmDevice* d = g_devices; d != nullptr; d = d->next) fire_due_locked(d, now);
    int64_t deadline = 0;
    bool timed = earliest_locked(nullptr, &deadline);
    sleep_locked(timed, deadline);
  }
  return nullptr;
}

AlarmDevice* device_locked(const char* path) {
  for (AlarmDevice* d = g_devices; d != nullptr; d = d->next) {
    if (strcmp(d->path, path) == 0) return d;
  }
  AlarmDevice* dev = new (std::nothrow) AlarmDevice();
  if (dev == nullptr) return nullptr;
  snprintf(dev->path, sizeof(dev->path), "%s", path);
  dev->next = g_devices;
  g_devices = dev;
  if (!g_driver_started) {
    // Without the driver thread a waiter still fires its own alarms; only
    // dev/alarm.armed then lags while nobody waits.
    pthread_t thread;
    if (pthread_create(&thread, nullptr, driver_main, nullptr) == 0) {
      pthread_detach(thread);
      g_driver_started = true;
    }
  }
  return dev;
}

int set_locked(AlarmDevice* dev, int type, TimeValue value) {
  dev->armed[type] = true;
  dev->when[type] = value;
  write_armed_locked(dev);
  pthread_cond_broadcast(&g_changed);
  return 0;
}

int clear_locked(AlarmDevice* dev, int type) {
  dev->armed[type] = false;
  dev->pending &= ~(1u << type);
  write_armed_locked(dev);
  pthread_cond_broadcast(&g_changed);
  return 0;
}

int wait_locked(AlarmDevice* dev) {
  for (;;) {
    fire_due_locked(dev, now_nanos());
    if (dev->pending != 0) {
      unsigned fired = dev->pending;
      dev->pending = 0;
      return static_cast<int>(fired);
    }
    int64_t deadline = 0;
    bool timed = earliest_locked(dev, &deadline);
    sleep_locked(timed, deadline);
  }
}


// The device behind `alarm`, made on first use; null with errno.
AlarmDevice* device_of(int alarm) {
  char path[host::kHostPathMax];
  if (!host::device_path_of(alarm, path)) return nullptr;
  pthread_mutex_lock(&g_mutex);
  AlarmDevice* dev = device_locked(path);
  pthread_mutex_unlock(&g_mutex);
  if (dev == nullptr) errno = ENOMEM;
  return dev;
}

bool valid_type(int type) {
  if (type >= 0 && type < kAlarmTypes) return true;
  errno = EINVAL;
  return false;
}

}  // namespace

int alarm_open() {
  int alarm = host::open_device("/dev/alarm");
  if (alarm >= 0 && device_of(alarm) == nullptr) {
    host::close_device(alarm);
    return -1;
  }
  return alarm;
}

// The alarms stay with the device after a close, as the driver keeps them.
int alarm_close(int alarm) { return host::close_device(alarm); }

int alarm_set(int alarm, int type, int64_t seconds, int32_t nanoseconds) {
  if (!valid_type(type)) return -1;
  if (seconds < INT32_MIN || seconds > INT32_MAX) {
    errno = EOVERFLOW;
    return -1;
  }
  if (nanoseconds < 0 || nanoseconds >= kNsPerSecond) {
    errno = EINVAL;
    return -1;
  }
  AlarmDevice* dev = device_of(alarm);
  if (dev == nullptr) return -1;
  pthread_mutex_lock(&g_mutex);
  int result = set_locked(dev, type, TimeValue{static_cast<int32_t>(seconds), nanoseconds});
  pthread_mutex_unlock(&g_mutex);
  return result;
}

int alarm_clear(int alarm, int type) {
  if (!valid_type(type)) return -1;
  AlarmDevice* dev = device_of(alarm);
  if (dev == nullptr) return -1;
  pthread_mutex_lock(&g_mutex);
  int result = clear_locked(dev, type);
  pthread_mutex_unlock(&g_mutex);
  return result;
}

int alarm_wait(int alarm) {
  AlarmDevice* dev = device_of(alarm);
  if (dev == nullptr) return -1;
  pthread_mutex_lock(&g_mutex);
  int result = wait_locked(dev);
  pthread_mutex_unlock(&g_mutex);
  return result;
}

}  // namespace platform
