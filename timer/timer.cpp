#include "timer/timer.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include "queue/message_queue.h"
#include "platform/log.h"

namespace {

std::mutex g_timer_mutex;
int32_t g_next_id = 1;  // guarded by g_timer_mutex

// Each timer has a notification thread of its own, made here rather than by
// the C library so that every thread of the process is an ordinary one
// (sanitizers and debuggers see it). The kernel directs the timer's signal at
// that thread, which waits for it with the signal blocked and then runs the
// callback: callbacks of different timers run on different threads, and an
// idle timer costs a blocked thread and no wake-ups.
int timerSignal() { return SIGRTMIN + 3; }

struct Notifier {
  int32_t id;
  TimerCallback callback;
  std::atomic<pid_t> tid{0};
};

void* notifierThread(void* arg) {
  Notifier* notifier = static_cast<Notifier*>(arg);
  notifier->tid.store(gettid());
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, timerSignal());
  for (;;) {
    siginfo_t info;
    if (sigwaitinfo(&set, &info) < 0) continue;
    bool creation_failed = info.si_code == SI_QUEUE && info.si_pid == getpid() && info.si_value.sival_int == -1;
    if (creation_failed) break;
    // Anything but an expiry of this thread's own timer is a stray signal.
    if (info.si_code != SI_TIMER || info.si_value.sival_int != notifier->id) continue;
    (notifier->callback != nullptr ? notifier->callback : defaultTimerCallback)(notifier->id);
  }
  delete notifier;
  return nullptr;
}

// Starts the notification thread with every signal blocked; returns its
// thread id, or 0.
pid_t startNotifier(Notifier* notifier, pthread_t* thread) {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  int rc = pthread_create(thread, nullptr, notifierThread, notifier);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (rc != 0) return 0;
  pthread_detach(*thread);
  while (notifier->tid.load() == 0) sched_yield();
  return notifier->tid.load();
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

void timerBlockSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, timerSignal());
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

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
  Notifier* notifier = new (std::nothrow) Notifier{id, timer->callback};
  pthread_t thread;
  pid_t tid = notifier != nullptr ? startNotifier(notifier, &thread) : 0;
  timer_t handle = kNoTimerHandle;
  bool ok = false;
  if (tid != 0) {
    sigevent event = {};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = timerSignal();
    event.sigev_value.sival_int = id;
    event._sigev_un._tid = tid;
    ok = timer_create(CLOCK_REALTIME, &event, &handle) == 0;
    if (!ok) pthread_sigqueue(thread, timerSignal(), sigval{.sival_int = -1});
  } else {
    delete notifier;
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
