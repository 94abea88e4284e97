// The message queue: order, capacity, blocking reader, key events.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "queue/message_queue.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::wait_until;

class Queue : public ::testing::Test {
 protected:
  void SetUp() override { messageQueueClear(); }
  void TearDown() override { messageQueueClear(); }
  static Message take() {
    Message m = {};
    waitMessage(&m);
    return m;
  }
};

bool same(const Message& a, const Message& b) { return a.code == b.code && a.arg1 == b.arg1 && a.arg2 == b.arg2; }

// Key events become down (pressed or repeated) or up.
TEST_F(Queue, FirstInFirstOutWithArgumentsAndKeyEvents) {
  sendMessage(MSG_BATTERY, 1, 57);
  sendMessage(-5, -2147483647 - 1, 2147483647);
  for (int value : {1, 2, 0}) postKeyEvent(116, value);
  for (const Message& want : std::initializer_list<Message>{
           {MSG_BATTERY, 1, 57}, {-5, -2147483647 - 1, 2147483647}, {MSG_KEY_DOWN, 116, 1}, {MSG_KEY_DOWN, 116, 2},
           {MSG_KEY_UP, 116, 0}})
    EXPECT_TRUE(same(take(), want)) << want.code << " " << want.arg1 << " " << want.arg2;
  EXPECT_EQ(messageQueueCount(), 0);
}

TEST_F(Queue, HoldsExactly256AndDropsTheRest) {
  for (int i = 0; i < kMessageQueueCapacity; ++i) sendMessage(100, i, 0);
  EXPECT_EQ(messageQueueCount(), 256);
  sendMessage(101, 0, 0);
  EXPECT_EQ(messageQueueCount(), 256);
  EXPECT_TRUE(same(take(), {100, 0, 0}));
  sendMessage(102, 7, 8);
  for (int i = 1; i < kMessageQueueCapacity; ++i) ASSERT_TRUE(same(take(), {100, i, 0})) << i;
  EXPECT_TRUE(same(take(), {102, 7, 8}));
}

TEST_F(Queue, ReaderBlockedOnEmptyQueueWakesForAPost) {
  std::atomic<bool> done{false};
  Message got = {};
  std::thread reader([&] {
    waitMessage(&got);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done.load());
  sendMessage(MSG_KEY_DOWN, 116, 1);
  EXPECT_TRUE(wait_until([&] { return done.load(); }, 3000));
  reader.join();
  EXPECT_TRUE(same(got, {MSG_KEY_DOWN, 116, 1}));
}

}  // namespace
