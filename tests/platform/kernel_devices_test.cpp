// The host alarm driver (real-time-clock deadlines, the fired-type mask,
// dev/alarm.armed, refused requests) and the framebuffer's screen information.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fb.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/kernel.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::wait_until;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// The alarm driver's request codes, as the phone's kernel defines them.
constexpr unsigned long kWait = 0x6101;
unsigned long clearOf(int type) { return 0x6100 + (static_cast<unsigned long>(type) << 4); }
unsigned long setOf(int type) { return 0x40086102 + (static_cast<unsigned long>(type) << 4); }

struct TimeValue {
  int32_t seconds, nanoseconds;
};

// The wall-clock time `ms` from now.
TimeValue in(int64_t ms) {
  timeval tv = {};
  gettimeofday(&tv, nullptr);
  int64_t t = tv.tv_sec * int64_t{1000} + tv.tv_usec / 1000 + ms;
  return {static_cast<int32_t>(t / 1000), static_cast<int32_t>(t % 1000 * 1000000)};
}

std::string line(int type, TimeValue t) {
  return std::to_string(type) + " " + std::to_string(t.seconds) + " " + std::to_string(t.nanoseconds) + "\n";
}

// A wait on its own thread, so that the test can look while it blocks.
struct Waiter {
  explicit Waiter(int fd) : thread([this, fd] { result = platform::dev_ioctl(fd, kWait, nullptr), done = true; }) {}
  ~Waiter() { thread.join(); }
  std::atomic<bool> done{false};
  std::atomic<int> result{-2};
  std::thread thread;
};

class AlarmDriverTest : public testing::Test {
 protected:
  void SetUp() override {
    root_.write("/dev/alarm", "");
    ASSERT_GE(fd_ = platform::dev_open("/dev/alarm", O_RDWR), 0);
  }
  void TearDown() override { platform::dev_close(fd_); }
  int set(int type, TimeValue t) { return platform::dev_ioctl(fd_, setOf(type), &t); }
  int clear(int type) { return platform::dev_ioctl(fd_, clearOf(type), nullptr); }
  std::string armed() const { return root_.read("/dev/alarm.armed"); }
  DeviceRoot root_;
  int fd_ = -1;
};

TEST_F(AlarmDriverTest, SetClearResetAndWait) {
  ASSERT_EQ(set(0, in(100)), 0);
  ASSERT_EQ(clear(0), 0);
  EXPECT_EQ(armed(), "");
  ASSERT_EQ(set(1, in(100)), 0);
  const TimeValue later = in(600000);
  ASSERT_EQ(set(1, later), 0);  // replaces the earlier time
  EXPECT_EQ(armed(), line(1, later));
  {
    Waiter waiter(fd_);
    std::this_thread::sleep_for(milliseconds(400));
    EXPECT_FALSE(waiter.done);
    // A blocked waiter sees a new, earlier alarm; it returns the fired type's bit no sooner than due.
    auto start = steady_clock::now();
    const TimeValue soon = in(300);
    ASSERT_EQ(set(3, soon), 0);
    EXPECT_EQ(armed(), line(1, later) + line(3, soon));
    ASSERT_TRUE(wait_until([&] { return waiter.done.load(); }));
    EXPECT_GE(steady_clock::now() - start, milliseconds(200));
    EXPECT_EQ(waiter.result, 8);
  }
  EXPECT_EQ(armed(), line(1, later));  // fired means disarmed
  ASSERT_EQ(clear(1), 0);
}

TEST_F(AlarmDriverTest, AlarmsThatFiredWhileNobodyWaitedAreCollectedTogether) {
  ASSERT_EQ(set(4, in(30)), 0);
  ASSERT_EQ(set(0, in(-1000)), 0);
  const TimeValue far = in(600000);
  ASSERT_EQ(set(2, far), 0);
  // The driver fires on its own and updates the list without a waiter.
  EXPECT_TRUE(wait_until([&] { return armed() == line(2, far); }));
  EXPECT_EQ(platform::dev_ioctl(fd_, kWait, nullptr), 0x11);
  ASSERT_EQ(clear(2), 0);
  EXPECT_EQ(armed(), "");
}

TEST_F(AlarmDriverTest, MalformedRequestsAreRefused) {
  TimeValue ok = in(600000), bad_nanos = {ok.seconds, 1000000000};
  const struct { const char* name; unsigned long request; void* arg; int error; } cases[] = {
      {"type 5", setOf(5), &ok, EINVAL}, {"clear type 7", clearOf(7), nullptr, EINVAL},
      {"no time value", setOf(0), nullptr, EFAULT}, {"a second of nanoseconds", setOf(0), &bad_nanos, EINVAL},
      {"set without its size", 0x6102, &ok, ENOTTY}};
  for (const auto& c : cases) {
    errno = 0;
    EXPECT_EQ(platform::dev_ioctl(fd_, c.request, c.arg), -1) << c.name;
    EXPECT_EQ(errno, c.error) << c.name;
  }
  EXPECT_FALSE(root_.exists("/dev/alarm.armed"));  // nothing was armed or cleared
}

class FramebufferTest : public testing::Test {
 protected:
  // Opens fb0 with `info` as its screen information file (nullptr: none).
  int open(const char* info) {
    info ? root_.write("/dev/graphics/fb0.info", info) : root_.remove("/dev/graphics/fb0.info");
    root_.write("/dev/graphics/fb0", "");
    platform::dev_close(fd_);
    fd_ = platform::dev_open("/dev/graphics/fb0", O_RDWR);
    EXPECT_GE(fd_, 0);
    return fd_;
  }
  void TearDown() override { platform::dev_close(fd_); }
  std::string info() const { return root_.read("/dev/graphics/fb0.info"); }
  DeviceRoot root_;
  int fd_ = -1;
};

TEST_F(FramebufferTest, ScreenInfoFollowsTheInfoFile) {
  for (auto [x, y, bpp] : {std::array{480u, 800u, 16u}, {1080u, 1920u, 32u}, {3u, 5u, 16u}, {7u, 1u, 32u}}) {
    const std::string text = "xres=" + std::to_string(x) + "\nyres=" + std::to_string(y) + "\nbits_per_pixel=" +
                             std::to_string(bpp) + "\nyoffset=" + std::to_string(y) + "\n";
    int fd = open(text.c_str());
    fb_var_screeninfo var = {};
    fb_fix_screeninfo fix = {};
    ASSERT_EQ(platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var), 0) << text;
    ASSERT_EQ(platform::dev_ioctl(fd, FBIOGET_FSCREENINFO, &fix), 0) << text;
    EXPECT_EQ((std::vector{var.xres, var.yres, var.xres_virtual, var.yres_virtual, var.yoffset, var.bits_per_pixel,
                           var.red.length + var.green.length + var.blue.length, fix.line_length, fix.smem_len}),
              (std::vector{x, y, x, 2 * y, y, bpp, bpp == 16 ? 16u : 24u, x * bpp / 8, 2 * x * y * bpp / 8}))
        << text;
  }
}

// Panning rewrites only the yoffset line (adding it when missing), never past the second page,
// and leaves no temporary file behind.
TEST_F(FramebufferTest, PanRewritesOnlyYoffset) {
  const std::pair<const char*, const char*> cases[] = {
      {"xres=4\nyres=3\nvendor=test\nbits_per_pixel=16\nyoffset=0\n", "xres=4\nyres=3\nvendor=test\nbits_per_pixel=16\nyoffset=3\n"},
      {"xres=4\nyres=3\nbits_per_pixel=32", "xres=4\nyres=3\nbits_per_pixel=32\nyoffset=3\n"}};
  for (const auto& [before, after] : cases) {
    int fd = open(before);
    fb_var_screeninfo var = {};
    ASSERT_EQ(platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
    EXPECT_EQ(var.yoffset, 0u);
    var.yoffset = 3;
    ASSERT_EQ(platform::dev_ioctl(fd, FBIOPUT_VSCREENINFO, &var), 0);
    var.yoffset = 4;
    EXPECT_EQ(platform::dev_ioctl(fd, FBIOPUT_VSCREENINFO, &var), -1);
    EXPECT_EQ(info(), after);
    ASSERT_EQ(platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var), 0);
    EXPECT_EQ(var.yoffset, 3u);
  }
  EXPECT_FALSE(root_.exists("/dev/graphics/fb0.info.tmp" + std::to_string(getpid())));
}

TEST_F(FramebufferTest, BadOrMissingInfoFailsEveryRequest) {
  const char* bad[] = {
      nullptr,                                            // no file
      "yres=3\nbits_per_pixel=16\n",                      // no xres
      "xres=4\nyres=3\n",                                 // no depth
      "xres=4\nyres=3\nbits_per_pixel=24\n",              // unsupported depth
      "xres=0\nyres=3\nbits_per_pixel=16\n",              // empty screen
      "xres=4x\nyres=3\nbits_per_pixel=16\n",             // not a number
      "xres=4\nyres=3\nbits_per_pixel=16\nyoffset=-1\n",  // negative
      "xres=99999999999\nyres=3\nbits_per_pixel=16\n",    // absurd size
  };
  for (const char* text : bad) {
    int fd = open(text);
    fb_var_screeninfo var = {};
    fb_fix_screeninfo fix = {};
    EXPECT_EQ((std::vector{platform::dev_ioctl(fd, FBIOGET_VSCREENINFO, &var), platform::dev_ioctl(fd, FBIOGET_FSCREENINFO, &fix),
                           platform::dev_ioctl(fd, FBIOPUT_VSCREENINFO, &var)}),
              (std::vector{-1, -1, -1})) << (text ? text : "(none)");
  }
}

}  // namespace
