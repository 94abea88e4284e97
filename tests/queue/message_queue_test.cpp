// The message queue: order, capacity, key events. (A reader blocked on the
// empty queue is woken by every story that presses a key.)
#include <gtest/gtest.h>

#include "queue/message_queue.h"

namespace {

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

}  // namespace
