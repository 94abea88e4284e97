// Input devices: scan, key posts, the trackball rule, dead devices, and a
// thread that sleeps once nothing is left to wait on.
#include "ui/input.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "queue/message_queue.h"
#include "tests/support/device_root.h"

namespace {

using Posts = std::vector<std::vector<int32_t>>;  // code, arg1, arg2

Posts drain_queue() {
  Posts posts;
  for (Message m; messageQueueCount() > 0;) posts.push_back((waitMessage(&m), std::vector{m.code, m.arg1, m.arg2}));
  return posts;
}

input_event ev(uint16_t type, uint16_t code, int32_t value) {
  input_event e{};
  e.type = type, e.code = code, e.value = value;
  return e;
}

bool write_event(int fd, input_event e) { return write(fd, &e, sizeof(e)) == static_cast<ssize_t>(sizeof(e)); }

class InputTest : public ::testing::Test {
 protected:
  void SetUp() override { TearDown(); }
  void TearDown() override {
    input_reset_for_test();
    messageQueueClear();
  }
  // A FIFO of the root opened for writing without waiting for a reader.
  int open_writer(const std::string& device_path) {
    return open(root_.path(device_path).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  int logged(const std::string& text) const { return root_.log_count(text, 'D'); }
  lumo_test::DeviceRoot root_;
};

TEST_F(InputTest, ScanLogsEveryEntryAndOpensAtMostSixteenEventNodes) {
  input_event e;
  EXPECT_EQ(input_open_devices(), 0);  // no directory
  EXPECT_EQ(input_fd_count, 0);
  EXPECT_EQ(input_wait_event(&e, 0), -1);  // nothing to wait on: does not block
  root_.mkfifo("/dev/input/mice");
  ASSERT_EQ(symlink("/nonexistent-lumo-node", root_.path("/dev/input/event99").c_str()), 0);
  for (int i = 0; i < 20; ++i) root_.mkfifo("/dev/input/event" + std::to_string(i));
  input_open_devices();
  EXPECT_EQ(input_fd_count, MAX_INPUT_DEVICES);
  EXPECT_EQ(logged(" !! open ok !! "), MAX_INPUT_DEVICES);
  input_reset_for_test();
  root_.clear_log();
  for (int i = 0; i < 20; ++i) root_.remove("/dev/input/event" + std::to_string(i));
  input_open_devices();
  EXPECT_EQ(input_fd_count, 0);
  EXPECT_EQ(logged("/dev/input/mice") + logged("/dev/input/.") + logged("/dev/input/.."), 3);
  EXPECT_EQ(logged(" !! ingore !! "), 3);
  EXPECT_EQ(logged(" !! open fail !! "), 1);
}

TEST_F(InputTest, TrackballAndKeyRules) {
  auto y = [](int v) { return ev(EV_REL, REL_Y, v); };
  const std::pair<std::vector<input_event>, Posts> cases[] = {
      {{y(1), y(1), y(1), y(1), y(-2), y(-2)}, {{MSG_KEY_DOWN, KEY_DOWN, 1}, {MSG_KEY_DOWN, KEY_UP, 1}}},
      {{y(3), y(-6)}, {}},  // exactly 3 and -3 are not enough
      {{y(2), ev(EV_REL, REL_X, 9), y(2)}, {{MSG_KEY_DOWN, KEY_DOWN, 1}}},  // kept across REL_X
      {{y(2), ev(EV_SYN, 0, 0), y(2)}, {{MSG_KEY_DOWN, KEY_DOWN, 1}}},      // and EV_SYN
      {{y(2), ev(EV_KEY, 116, 0), y(2)}, {{MSG_KEY_UP, 116, 0}}},           // a key resets the sum
      {{y(-3), ev(EV_ABS, 0, 5), y(-3)}, {}},                              // so does any other type
      {{y(5), y(3)}, {{MSG_KEY_DOWN, KEY_DOWN, 1}}},                       // reset after a synthetic key
      {{ev(EV_KEY, 0x1FF, 1), ev(EV_KEY, 0x200, 1)}, {{MSG_KEY_DOWN, 0x1FF, 1}}},  // above 0x1FF dropped
      {{ev(EV_KEY, 116, 1), ev(EV_SYN, 0, 0), ev(EV_KEY, 116, 2), ev(EV_KEY, 116, 0)},  // a repeat is a key down
       {{MSG_KEY_DOWN, 116, 1}, {MSG_KEY_DOWN, 116, 2}, {MSG_KEY_UP, 116, 0}}},
      // Sums past the 32-bit range keep their direction (no wrap into the other one).
      {{y(1), y(INT32_MAX)}, {{MSG_KEY_DOWN, KEY_DOWN, 1}}},
      {{y(-1), y(INT32_MIN)}, {{MSG_KEY_DOWN, KEY_UP, 1}}},
  };
  for (const auto& [events, posts] : cases) {
    int sum = 0;
    for (input_event e : events) input_handle_event(&e, &sum);
    EXPECT_EQ(drain_queue(), posts) << &posts - &cases[0].second;
  }
}

// Ended, hung-up and invalid devices leave the poll set; a short record is
// dropped and its device kept.
TEST_F(InputTest, DevicesThatEndLeaveThePollSetShortRecordsAreDropped) {
  input_event rec = ev(EV_KEY, 115, 1), e;
  root_.write("/dev/input/event0", std::string(reinterpret_cast<const char*>(&rec), sizeof(rec)));  // then EOF
  root_.mkfifo("/dev/input/event1");
  input_open_devices();
  ASSERT_EQ(input_fd_count, 2);
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[1]);  // hang-up only
  input_fds[input_fd_count++] = pollfd{p[0], POLLIN, 0};
  input_fds[input_fd_count++] = pollfd{1000, POLLIN, 0};  // not open: invalid
  ASSERT_EQ(input_wait_event(&e, 1), 0);
  EXPECT_EQ(e.code, 115);
  EXPECT_EQ(input_wait_event(&e, 1), -1);
  EXPECT_GE(input_fds[1].fd, 0);  // a quiet FIFO stays
  EXPECT_EQ((std::vector{input_fds[0].fd, input_fds[2].fd, input_fds[3].fd}), std::vector(3, -1));
  EXPECT_EQ(fcntl(p[0], F_GETFD), -1);  // the hung-up one was closed
  int w = open_writer("/dev/input/event1");
  char partial[10] = {};
  ASSERT_EQ(write(w, partial, sizeof(partial)), 10);
  EXPECT_EQ(input_wait_event(&e, 1), -1);  // a short record is dropped, the device kept
  EXPECT_GE(input_fds[1].fd, 0);
  ASSERT_TRUE(write_event(w, ev(EV_KEY, 116, 1)));
  ASSERT_EQ(input_wait_event(&e, 0), 0);
  EXPECT_EQ(e.code, 116);
  close(w);
}

// In a child: the input thread with `live` (a FIFO) beside a device that ends
// at once, or with no devices at all. It passes a key on, then must sleep: a
// spinning thread would burn ~400 ms of CPU in the pause. Exit codes say why.
void run_thread_child(bool live) {
  lumo_test::DeviceRoot root;
  if (live) root.write("/dev/input/event0", ""), root.mkfifo("/dev/input/event1");
  int w = live ? open(root.path("/dev/input/event1").c_str(), O_RDWR | O_NONBLOCK) : -1;
  pthread_t thread;
  if (pthread_create(&thread, nullptr, [](void*) -> void* { input_thread(); }, nullptr) != 0) root.exit_child(3);
  if (live && !write_event(w, ev(EV_KEY, 116, 1))) root.exit_child(4);
  if (live && !lumo_test::wait_until([] { return messageQueueCount() == 1; }, 5000)) root.exit_child(5);
  if (live && drain_queue() != Posts{{MSG_KEY_DOWN, 116, 1}}) root.exit_child(6);
  usleep(100 * 1000);
  timespec a, b;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
  usleep(400 * 1000);
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
  if ((b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000 > 150) root.exit_child(7);
  root.exit_child(messageQueueCount() == 0 ? 0 : 8);
}

TEST(InputThreadTest, DeliversKeysThenSleepsWhenDevicesEndOrThereAreNone) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_thread_child(true), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(run_thread_child(false), ::testing::ExitedWithCode(0), "");
}

}  // namespace
