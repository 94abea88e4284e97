#include "timer/timer.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>

#include "core/message_queue.h"
#include "platform/log.h"

namespace {

std::mutex g_timer_mutex;
int32_t g_next_id = 1;  // guarded by g_timer_mutex

// Expiry runs through a trampoline that finds the callback by id, so the
// platform never holds a pointer into a user's record.
constexpr int32_t kMaxTimerIds = 4096;
std::atomic<TimerCallback> g_callbacks[kMaxTimerIds];

void timerTrampoline(sigval value) {
  int32_t id = value.sival_int;
  TimerCallback callback = (id > 0 && id < kMaxTimerIds) ? g_callbacks[id].load() : nullptr;
  (callback != nullptr ? callback : defaultTimerCallback)(id);
}

int armTimer(timer_t handle, int period_ms) {
  if (handle == kNoTimerHandle) {
    errno = EINVAL;
    return -1;
  }
  itimerspec spec = msToTimerSpec(period_ms);
  return timer_settime(handle, 0, &spec, nullptr);
}

}  // namespace

itimerspec msToTimerSpec(int period_ms) {
  itimerspec spec = {};
  spec.it_value.tv_sec = period_ms / 1000;
  spec.it_value.tv_nsec = static_cast<long>(period_ms % 1000) * 1000000L;
  spec.it_interval = spec.it_value;
  return spec;
}

timer_t timerCreate(Timer* timer) {
  std::lock_guard<std::mutex> lock(g_timer_mutex);
  int32_t id = g_next_id++;
  sigevent event = {};
  event.sigev_notify = SIGEV_THREAD;
  event.sigev_notify_function = timerTrampoline;
  event.sigev_value.sival_int = id;
  timer_t handle = kNoTimerHandle;
  bool ok = id > 0 && id < kMaxTimerIds;
  if (ok) {
    g_callbacks[id].store(timer->callback);
    ok = timer_create(CLOCK_REALTIME, &event, &handle) == 0;
  }
  if (!ok) {
    LOGE(" timerCreate '%s' fail!", timer->name);
    timer->handle = kNoTimerHandle;
    timer->id = 0;
    return kNoTimerHandle;
  }
  LOGD(" creat timer %s %x successfully.", timer->name,
       static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)));
  timer->handle = handle;
  timer->id = id;
  return handle;
}

int timerStart(Timer* timer, int period_ms) {
  std::lock_guard<std::mutex> lock(g_timer_mutex);
  if (timer->running.load()) {
    armTimer(timer->handle, 0);
    timer->running.store(0);
  }
  int result = armTimer(timer->handle, period_ms);
  if (result == -1) {
    LOGE(" timerStart '%s' fail!", timer->name);
  } else {
    timer->running.store(1);
  }
  return result;
}

int timerStop(Timer* timer) {
  std::lock_guard<std::mutex> lock(g_timer_mutex);
  int result = armTimer(timer->handle, 0);
  timer->running.store(0);
  return result;
}

void defaultTimerCallback(int32_t id) {
  LOGD(" timerhandle %x", static_cast<unsigned>(id));
  sendMessage(MSG_TIMER, id, 0);
}
