// The timer service: ids, periods, restart semantics, default expiry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>
#include <unistd.h>

#include "queue/message_queue.h"
#include "tests/support/device_root.h"
#include "timer/timer.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::wait_until;
using Clock = std::chrono::steady_clock;

std::atomic<int> g_fired{0};
std::atomic<int32_t> g_last_id{0};
void countingCallback(int32_t id) {
  g_last_id = id;
  ++g_fired;
}

bool create(Timer* t, const char* name, TimerCallback callback = nullptr) {
  t->name = name;
  t->callback = callback;
  return timerCreate(t) != kNoTimerHandle;
}

TEST(TimerService, PeriodicExpiryRunsTheCallbackWithTheIdOrPostsAMessage) {
  DeviceRoot root;
  Timer t, next;
  ASSERT_TRUE(create(&t, "tick", countingCallback));
  ASSERT_TRUE(create(&next, "next"));
  EXPECT_GT(t.id, 0);
  EXPECT_EQ(next.id, t.id + 1);  // ids count up
  EXPECT_EQ(t.running.load(), 0);
  bool logged = false;
  for (const auto& text : root.log_texts('D')) logged |= text.rfind(" creat timer tick ", 0) == 0;
  EXPECT_TRUE(logged);
  g_fired = 0;
  ASSERT_EQ(timerStart(&t, 20), 0);
  EXPECT_TRUE(wait_until([] { return g_fired.load() >= 3; }, 5000));
  EXPECT_EQ(g_last_id.load(), t.id);
  EXPECT_EQ(timerStop(&t), 0);
  int after_stop = g_fired.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_LE(g_fired.load(), after_stop + 1);  // at most one expiry already under way

  // Without a callback an expiry posts MSG_TIMER with the timer's id.
  messageQueueClear();
  ASSERT_EQ(timerStart(&next, 25), 0);
  ASSERT_TRUE(wait_until([] { return messageQueueCount() >= 2; }, 5000));
  timerStop(&next);
  Message m = {};
  waitMessage(&m);
  EXPECT_TRUE(m.code == MSG_TIMER && m.arg1 == next.id && m.arg2 == 0) << m.code << " " << m.arg1 << " " << m.arg2;
  char hex[32];
  snprintf(hex, sizeof(hex), " timerhandle %x", static_cast<unsigned>(next.id));
  EXPECT_TRUE(root.log_contains(hex));
  messageQueueClear();
}

TEST(TimerService, RestartBeginsAFullNewPeriodAndPeriodZeroDisarms) {
  DeviceRoot root;
  Timer t;
  ASSERT_TRUE(create(&t, "restart", countingCallback));
  g_fired = 0;
  ASSERT_EQ(timerStart(&t, 400), 0);
  // Restarting every 100 ms keeps a 400 ms timer from ever firing.
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(timerStart(&t, 400), 0);
  }
  EXPECT_EQ(g_fired.load(), 0);
  auto restarted = Clock::now();
  EXPECT_TRUE(wait_until([] { return g_fired.load() >= 1; }, 3000));
  EXPECT_GE(Clock::now() - restarted, std::chrono::milliseconds(350));

  // Period 0 disarms it, yet it counts as running until stopped.
  ASSERT_EQ(timerStart(&t, 0), 0);
  int fired = g_fired.load();
  EXPECT_EQ(t.running.load(), 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // longer than the 400 ms period
  EXPECT_EQ(g_fired.load(), fired);
  EXPECT_EQ(timerStop(&t), 0);
  EXPECT_EQ(timerStop(&t), 0);  // stopping a stopped timer still asks the platform
  EXPECT_EQ(t.running.load(), 0);
}

TEST(TimerService, UncreatedTimerFailsToStart) {
  DeviceRoot root;
  Timer t;
  t.name = "never";
  EXPECT_EQ(timerStart(&t, 100), -1);
  EXPECT_EQ(t.running.load(), 0);
  EXPECT_TRUE(root.log_contains(" timerStart 'never' fail!"));
  EXPECT_EQ(timerStop(&t), -1);
}

TEST(TimerService, StraySignalsNeitherEndTheProcessNorRunCallbacks) {
  DeviceRoot root;
  timerBlockSignal();
  Timer t;
  ASSERT_TRUE(create(&t, "stray", countingCallback));
  g_fired = 0;
  // Process-directed, from outside: by kill, and queued with the timer's own id.
  for (int i = 0; i < 3; ++i) ASSERT_EQ(kill(getpid(), SIGRTMIN + 3), 0);
  ASSERT_EQ(sigqueue(getpid(), SIGRTMIN + 3, sigval{.sival_int = t.id}), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(g_fired.load(), 0);
  ASSERT_EQ(timerStart(&t, 10), 0);  // the notifier still serves its timer
  EXPECT_TRUE(wait_until([] { return g_fired.load() >= 2; }, 5000));
  timerStop(&t);
}

}  // namespace
