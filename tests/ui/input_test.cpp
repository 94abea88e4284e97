#include "ui/input.h"

#include <algorithm>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "core/message_queue.h"
#include "tests/support/device_root.h"

namespace {

struct Post {
  int32_t code, arg1, arg2;
  bool operator==(const Post&) const = default;
};

std::vector<Post> drain_queue() {
  std::vector<Post> posts;
  Message m;
  while (messageQueueCount() > 0) {
    waitMessage(&m);
    posts.push_back({m.code, m.arg1, m.arg2});
  }
  return posts;
}

input_event make_event(uint16_t type, uint16_t code, int32_t value) {
  input_event e{};
  e.type = type;
  e.code = code;
  e.value = value;
  return e;
}

void write_event(int fd, uint16_t type, uint16_t code, int32_t value) {
  input_event e = make_event(type, code, value);
  ASSERT_EQ(write(fd, &e, sizeof(e)), static_cast<ssize_t>(sizeof(e)));
}

long count_of(const std::vector<std::string>& texts, const std::string& text) {
  return std::count(texts.begin(), texts.end(), text);
}

class InputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    input_reset_for_test();
    messageQueueClear();
  }
  void TearDown() override {
    input_reset_for_test();
    messageQueueClear();
  }
  // Opens a FIFO of the root for writing without waiting for a reader.
  int open_writer(const std::string& device_path) {
    int fd = open(root_.path(device_path).c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    EXPECT_GE(fd, 0) << device_path;
    return fd;
  }
  // Handles every record that is ready now, like the input thread would.
  std::vector<Post> pump(int* trackball_sum) {
    input_event e;
    while (input_wait_event(&e, 1) == 0) input_handle_event(&e, trackball_sum);
    return drain_queue();
  }

  lumo_test::DeviceRoot root_;
};

TEST_F(InputTest, ScanLogsEveryEntryAndOpensOnlyEventNodes) {
  root_.mkfifo("/dev/input/mice");
  root_.mkfifo("/dev/input/event0");
  root_.mkfifo("/dev/input/event1");
  root_.clear_log();

  EXPECT_EQ(input_open_devices(), 0);

  EXPECT_EQ(input_fd_count, 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_GE(input_fds[i].fd, 0);
    EXPECT_EQ(input_fds[i].events, POLLIN);
  }
  auto texts = root_.log_texts('D');
  for (const char* name : {".", "..", "mice", "event0", "event1"}) {
    EXPECT_EQ(count_of(texts, std::string("/dev/input/") + name), 1) << name;
  }
  EXPECT_EQ(count_of(texts, " !! ingore !! "), 3);
  EXPECT_EQ(count_of(texts, " !! open ok !! "), 2);
}

TEST_F(InputTest, ScanStopsAtSixteenDevices) {
  for (int i = 0; i < 20; ++i) root_.mkfifo("/dev/input/event" + std::to_string(i));
  root_.clear_log();

  input_open_devices();

  EXPECT_EQ(input_fd_count, MAX_INPUT_DEVICES);
  EXPECT_EQ(count_of(root_.log_texts('D'), " !! open ok !! "), MAX_INPUT_DEVICES);
}

TEST_F(InputTest, MissingDirectoryAndUnopenableNodes) {
  root_.clear_log();
  input_open_devices();
  EXPECT_EQ(input_fd_count, 0);
  EXPECT_TRUE(root_.log_texts().empty());
  input_event e;
  EXPECT_EQ(input_wait_event(&e, 0), -1);  // no device: does not block

  root_.mkdir("/dev/input");
  ASSERT_EQ(symlink("/nonexistent-lumo-node", root_.path("/dev/input/event7").c_str()), 0);
  input_open_devices();
  EXPECT_EQ(input_fd_count, 0);
  EXPECT_TRUE(root_.log_contains(" !! open fail !! "));
}

TEST_F(InputTest, KeyPressRepeatAndReleaseArePosted) {
  root_.mkfifo("/dev/input/event0");
  input_open_devices();
  ASSERT_EQ(input_fd_count, 1);
  int w = open_writer("/dev/input/event0");
  write_event(w, EV_KEY, 116, 1);
  write_event(w, EV_SYN, 0, 0);
  write_event(w, EV_KEY, 116, 2);
  write_event(w, EV_KEY, 116, 0);
  int sum = 0;

  std::vector<Post> expected = {{MSG_KEY_DOWN, 116, 1}, {MSG_KEY_DOWN, 116, 2}, {MSG_KEY_UP, 116, 0}};
  EXPECT_EQ(pump(&sum), expected);
  close(w);
}

struct TrackballCase {
  const char* name;
  std::vector<input_event> events;
  std::vector<Post> posts;
};

TEST_F(InputTest, TrackballAndKeyRules) {
  auto rel_y = [](int v) { return make_event(EV_REL, REL_Y, v); };
  const TrackballCase cases[] = {
      {"four small steps down, then up",
       {rel_y(1), rel_y(1), rel_y(1), rel_y(1), rel_y(-2), rel_y(-2)},
       {{MSG_KEY_DOWN, KEY_DOWN, 1}, {MSG_KEY_DOWN, KEY_UP, 1}}},
      {"exactly 3 and -3 are not enough", {rel_y(3), rel_y(-6)}, {}},
      {"sum kept across REL_X", {rel_y(2), make_event(EV_REL, REL_X, 9), rel_y(2)},
       {{MSG_KEY_DOWN, KEY_DOWN, 1}}},
      {"sum kept across EV_SYN", {rel_y(2), make_event(EV_SYN, 0, 0), rel_y(2)},
       {{MSG_KEY_DOWN, KEY_DOWN, 1}}},
      {"key event resets the sum", {rel_y(2), make_event(EV_KEY, 116, 0), rel_y(2)},
       {{MSG_KEY_UP, 116, 0}}},
      {"absolute event resets the sum", {rel_y(-3), make_event(EV_ABS, 0, 5), rel_y(-3)}, {}},
      {"sum resets after a synthetic key", {rel_y(5), rel_y(3)}, {{MSG_KEY_DOWN, KEY_DOWN, 1}}},
      {"highest key code passes, above is dropped",
       {make_event(EV_KEY, 0x1FF, 1), make_event(EV_KEY, 0x200, 1)},
       {{MSG_KEY_DOWN, 0x1FF, 1}}},
  };
  for (const TrackballCase& c : cases) {
    int sum = 0;
    for (input_event e : c.events) input_handle_event(&e, &sum);
    EXPECT_EQ(drain_queue(), c.posts) << c.name;
  }
}

TEST_F(InputTest, ShortRecordIsDroppedAndDeviceKept) {
  root_.mkfifo("/dev/input/event0");
  input_open_devices();
  int w = open_writer("/dev/input/event0");
  char partial[10] = {};
  ASSERT_EQ(write(w, partial, sizeof(partial)), 10);
  input_event e;
  EXPECT_EQ(input_wait_event(&e, 1), -1);
  EXPECT_GE(input_fds[0].fd, 0);

  write_event(w, EV_KEY, 114, 1);
  ASSERT_EQ(input_wait_event(&e, 1), 0);
  EXPECT_EQ(e.type, EV_KEY);
  EXPECT_EQ(e.code, 114);
  EXPECT_EQ(e.value, 1);
  close(w);
}

TEST_F(InputTest, HungUpEndedAndInvalidDevicesLeaveThePollSet) {
  // event0: a plain file holding one record and then end of file.
  input_event rec = make_event(EV_KEY, 115, 1);
  root_.write("/dev/input/event0", std::string(reinterpret_cast<const char*>(&rec), sizeof(rec)));
  root_.mkfifo("/dev/input/event1");
  input_open_devices();
  ASSERT_EQ(input_fd_count, 2);
  // A pipe whose writer is gone reports hang-up only; a descriptor that is not
  // open reports invalid.
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  close(p[1]);
  input_fds[input_fd_count++] = pollfd{p[0], POLLIN, 0};
  input_fds[input_fd_count++] = pollfd{1000, POLLIN, 0};

  input_event e;
  ASSERT_EQ(input_wait_event(&e, 1), 0);
  EXPECT_EQ(e.code, 115);
  EXPECT_EQ(input_wait_event(&e, 1), -1);
  EXPECT_EQ(input_fds[0].fd, -1);  // end of file
  EXPECT_GE(input_fds[1].fd, 0);   // quiet FIFO stays
  EXPECT_EQ(input_fds[2].fd, -1);  // hang-up
  EXPECT_EQ(input_fds[3].fd, -1);  // invalid
  EXPECT_EQ(fcntl(p[0], F_GETFD), -1);  // the hung-up one was closed

  int w = open_writer("/dev/input/event1");
  write_event(w, EV_KEY, 116, 1);
  ASSERT_EQ(input_wait_event(&e, 0), 0);  // the live device still delivers
  EXPECT_EQ(e.code, 116);
  close(w);
}

// CPU time this process used, in ms.
double process_cpu_ms() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Runs the input thread in this (child) process, posts one key through a
// live device, and checks that the thread sleeps once its other device has
// ended. Exit codes say what failed.
void run_thread_child() {
  lumo_test::DeviceRoot root;
  root.write("/dev/input/event0", "");  // ends at once
  root.mkfifo("/dev/input/event1");
  int w = open(root.path("/dev/input/event1").c_str(), O_RDWR | O_NONBLOCK);
  if (w < 0) _exit(2);
  pthread_t thread;
  if (pthread_create(&thread, nullptr, [](void*) -> void* { input_thread(); }, nullptr) != 0) _exit(3);
  pthread_detach(thread);
  input_event e = make_event(EV_KEY, 116, 1);
  if (write(w, &e, sizeof(e)) != static_cast<ssize_t>(sizeof(e))) _exit(4);
  bool posted = lumo_test::wait_until([] { return messageQueueCount() == 1; }, 5000);
  if (!posted) _exit(5);
  Message m;
  waitMessage(&m);
  if (m.code != MSG_KEY_DOWN || m.arg1 != 116 || m.arg2 != 1) _exit(6);
  double before = process_cpu_ms();
  usleep(400 * 1000);
  if (process_cpu_ms() - before > 150) _exit(7);  // a spinning thread burns ~400
  _exit(0);
}

void run_idle_child() {
  lumo_test::DeviceRoot root;  // no /dev/input at all
  pthread_t thread;
  if (pthread_create(&thread, nullptr, [](void*) -> void* { input_thread(); }, nullptr) != 0) _exit(3);
  pthread_detach(thread);
  usleep(100 * 1000);
  double before = process_cpu_ms();
  usleep(400 * 1000);
  if (process_cpu_ms() - before > 150) _exit(7);
  if (messageQueueCount() != 0) _exit(8);
  _exit(0);
}

TEST(InputThreadTest, DeliversKeysAndSleepsWhenADeviceEnds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_thread_child(), ::testing::ExitedWithCode(0), "");
}

TEST(InputThreadTest, SleepsWithoutDevices) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(run_idle_child(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
