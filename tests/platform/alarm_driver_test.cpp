// The host alarm driver: set, clear and wait on real-time-clock deadlines,
// the fired-type mask, dev/alarm.armed, and refused requests.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/time.h>
#include <thread>

#include "platform/kernel.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::wait_until;

// The driver's request codes, as the phone's kernel defines them.
constexpr unsigned long kClear = 0x6100;
constexpr unsigned long kWait = 0x6101;
constexpr unsigned long kSet = 0x40086102;
unsigned long clearOf(int type) { return kClear + (static_cast<unsigned long>(type) << 4); }
unsigned long setOf(int type) { return kSet + (static_cast<unsigned long>(type) << 4); }

struct TimeValue {
  int32_t seconds;
  int32_t nanoseconds;
};

int64_t nowMs() {
  timeval tv = {};
  gettimeofday(&tv, nullptr);
  return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

TimeValue at(int64_t ms) { return {static_cast<int32_t>(ms / 1000), static_cast<int32_t>(ms % 1000 * 1000000)}; }

std::string line(int type, const TimeValue& t) {
  return std::to_string(type) + " " + std::to_string(t.seconds) + " " + std::to_string(t.nanoseconds) + "\n";
}

// A wait on its own thread, so that the test can look while it blocks.
class Waiter {
 public:
  explicit Waiter(int fd) : thread_([this, fd] {
    result_.store(platform::dev_ioctl(fd, kWait, nullptr));
    done_.store(true);
  }) {}
  ~Waiter() { thread_.join(); }
  bool returned(int timeout_ms) { return wait_until([&] { return done_.load(); }, timeout_ms); }
  bool done() const { return done_.load(); }
  int result() const { return result_.load(); }

 private:
  std::atomic<bool> done_{false};
  std::atomic<int> result_{-2};
  std::thread thread_;
};

class AlarmDriverTest : public testing::Test {
 protected:
  void SetUp() override {
    root_.write("/dev/alarm", "");
    fd_ = platform::dev_open("/dev/alarm", O_RDWR);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { platform::dev_close(fd_); }

  int set(int type, const TimeValue& t) {
    TimeValue copy = t;
    return platform::dev_ioctl(fd_, setOf(type), &copy);
  }
  int clear(int type) { return platform::dev_ioctl(fd_, clearOf(type), nullptr); }
  std::string armed() const { return root_.read("/dev/alarm.armed"); }

  DeviceRoot root_;
  int fd_ = -1;
};

TEST_F(AlarmDriverTest, WaitReturnsTheTypeWhenItsTimeComes) {
  TimeValue when = at(nowMs() + 150);
  ASSERT_EQ(set(0, when), 0);
  EXPECT_EQ(armed(), line(0, when));
  auto start = std::chrono::steady_clock::now();
  Waiter waiter(fd_);
  ASSERT_TRUE(waiter.returned(3000));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(waiter.result(), 1);
  EXPECT_GE(waited, std::chrono::milliseconds(100));
  EXPECT_EQ(armed(), "");  // fired means disarmed
}

TEST_F(AlarmDriverTest, AlarmsThatFiredWhileNobodyWaitedAreCollectedTogether) {
  TimeValue soon = at(nowMs() + 30);
  ASSERT_EQ(set(4, soon), 0);
  ASSERT_EQ(set(0, at(nowMs() - 1000)), 0);
  TimeValue far = at(nowMs() + 600000);
  ASSERT_EQ(set(2, far), 0);
  // The driver fires on its own and updates the list without a waiter.
  EXPECT_TRUE(wait_until([&] { return armed() == line(2, far); }));
  EXPECT_EQ(platform::dev_ioctl(fd_, kWait, nullptr), 0x11);
  ASSERT_EQ(clear(2), 0);
  EXPECT_EQ(armed(), "");
}

TEST_F(AlarmDriverTest, ClearAndResetMoveTheDeadline) {
  ASSERT_EQ(set(0, at(nowMs() + 100)), 0);
  ASSERT_EQ(clear(0), 0);
  EXPECT_EQ(armed(), "");
  ASSERT_EQ(set(1, at(nowMs() + 100)), 0);
  TimeValue later = at(nowMs() + 600000);
  ASSERT_EQ(set(1, later), 0);  // replaces the earlier time
  EXPECT_EQ(armed(), line(1, later));
  Waiter waiter(fd_);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_FALSE(waiter.done());
  // A blocked waiter sees a new, earlier alarm.
  ASSERT_EQ(set(3, at(nowMs() + 20)), 0);
  ASSERT_TRUE(waiter.returned(3000));
  EXPECT_EQ(waiter.result(), 8);
  EXPECT_EQ(armed(), line(1, later));
  ASSERT_EQ(clear(1), 0);
}

TEST_F(AlarmDriverTest, MalformedRequestsAreRefused) {
  TimeValue ok = at(nowMs() + 600000);
  TimeValue bad_nanos = {ok.seconds, 1000000000};
  struct Case {
    const char* name;
    unsigned long request;
    void* arg;
    int error;
  };
  const Case cases[] = {
      {"type 5", setOf(5), &ok, EINVAL},
      {"clear type 7", clearOf(7), nullptr, EINVAL},
      {"no time value", setOf(0), nullptr, EFAULT},
      {"a second of nanoseconds", setOf(0), &bad_nanos, EINVAL},
      {"set without its size", 0x6102, &ok, ENOTTY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    errno = 0;
    EXPECT_EQ(platform::dev_ioctl(fd_, c.request, c.arg), -1);
    EXPECT_EQ(errno, c.error);
  }
  EXPECT_FALSE(root_.exists("/dev/alarm.armed"));  // nothing was armed or cleared
}

}  // namespace
