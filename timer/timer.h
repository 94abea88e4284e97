// Timer service: named periodic timers over the platform's POSIX interval
// timers on the real-time clock, with expiry run on a thread the platform
// provides.
//
// Each user owns a Timer record, sets `name` and `callback` and `handle` =
// kNoTimerHandle, creates it once, then starts (period in ms, always periodic;
// a start on a running timer begins a fresh full period) and stops it as often
// as it likes. Timers are never deleted. One mutex serialises create, start
// and stop for all timers; it is not held while a callback runs, so callbacks
// may start or stop timers, their own included. A record without a callback
// posts MSG_TIMER with its id on every expiry. The signal the timers use
// (SIGRTMIN + 3) belongs to the service: see timerBlockSignal.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

using TimerCallback = void (*)(int32_t id);

inline const timer_t kNoTimerHandle = reinterpret_cast<timer_t>(-1);

struct Timer {
  const char* name = nullptr;
  TimerCallback callback = nullptr;
  timer_t handle = kNoTimerHandle;
  int32_t id = 0;
  std::atomic<int> running{0};
};

// Creates the platform timer; returns the handle, kNoTimerHandle on failure
// (then `id` is 0). Every attempt takes the next id, starting at 1.
timer_t timerCreate(Timer* timer);
// Arms the timer with `period_ms` (0 disarms but marks it running).
// Returns 0, or -1 on failure (then `running` is 0).
int timerStart(Timer* timer, int period_ms);
// Disarms the timer and clears `running`; returns the platform's result.
int timerStop(Timer* timer);
// Expiry action of records without a callback: posts MSG_TIMER with `id`.
void defaultTimerCallback(int32_t id);

// Blocks the timers' signal in the calling thread. Called first thing in
// main, before any thread exists, so that every thread inherits the mask and
// only the notifier threads, which wait for the signal, ever take it: a
// stray process-directed signal of that number then neither ends the program
// nor runs a callback (notifiers act only on their own timer's expiries).
void timerBlockSignal();

// The interval pair for a period: first expiry and repeat both `period_ms`.
itimerspec msToTimerSpec(int period_ms);
