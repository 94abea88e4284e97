// The host legacy hardware library: sysfs-like writes and the uevent socket.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "platform/hardware.h"
#include "platform/paths.h"
#include "tests/support/device_root.h"
#include "tests/support/uevent.h"

namespace {

using lumo_test::DeviceRoot;

struct AttributeCase {
  const char* name;
  std::function<int()> call;
  const char* device_path;
  const char* expected;
};

const AttributeCase kAttributeCases[] = {
    {"wake lock", [] { return platform::acquire_wake_lock(platform::kPartialWakeLock, "LumoBoot"); },
     "/sys/power/wake_lock", "LumoBoot"},
    {"wake unlock", [] { return platform::release_wake_lock("Lumo.Alarm"); },
     "/sys/power/wake_unlock", "Lumo.Alarm"},
    {"screen on", [] { return platform::set_screen_state(1); }, "/sys/power/state", "on"},
    {"screen off", [] { return platform::set_screen_state(0); }, "/sys/power/state", "mem"},
    {"vibrator", [] { return platform::vibrator_on(150); },
     "/sys/class/timed_output/vibrator/enable", "150"},
};

TEST(HardwareAttributes, WriteReplacesWholeContent) {
  for (const AttributeCase& c : kAttributeCases) {
    DeviceRoot root;
    root.write(c.device_path, "previous content that is longer");
    EXPECT_EQ(c.call(), 0) << c.name;
    EXPECT_EQ(root.read(c.device_path), c.expected) << c.name;
  }
}

TEST(HardwareAttributes, MissingFileFailsWithoutCreatingIt) {
  for (const AttributeCase& c : kAttributeCases) {
    DeviceRoot root;
    EXPECT_EQ(c.call(), -1) << c.name;
    EXPECT_FALSE(root.exists(c.device_path)) << c.name;
  }
}

TEST(HardwareAttributes, NullLockNameFails) {
  DeviceRoot root;
  root.write("/sys/power/wake_lock", "keep");
  root.write("/sys/power/wake_unlock", "keep");
  EXPECT_EQ(platform::acquire_wake_lock(platform::kPartialWakeLock, nullptr), -1);
  EXPECT_EQ(platform::release_wake_lock(nullptr), -1);
  EXPECT_EQ(root.read("/sys/power/wake_lock"), "keep");
  EXPECT_EQ(root.read("/sys/power/wake_unlock"), "keep");
}

// Receives one uevent on a helper thread so that a channel that never
// delivers fails the test instead of hanging it. The result is shared with
// the thread, which may outlive a failed test.
struct Received {
  std::atomic<bool> done{false};
  int length = -1;
  char buffer[1024] = {};
};

std::shared_ptr<Received> receive(int usable = 1023) {
  auto r = std::make_shared<Received>();
  std::thread([r, usable] {
    r->length = platform::uevent_next_event(r->buffer, usable);
    r->done.store(true);
  }).detach();
  if (!lumo_test::wait_until([&] { return r->done.load(); })) return nullptr;
  return r;
}

class UeventChannel : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(platform::uevent_init(), 1); }
  bool send(const std::string& bytes) {
    return lumo_test::send_uevent_to(root_.path("/dev/socket/uevent"), bytes);
  }
  DeviceRoot root_;
};

TEST_F(UeventChannel, BindsSocketUnderDeviceRoot) {
  struct stat st = {};
  ASSERT_EQ(stat(root_.path("/dev/socket/uevent").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
}

TEST_F(UeventChannel, DeliversDatagramWithEmbeddedNuls) {
  std::string event = lumo_test::uevent_text("change@/devices/power_supply/battery",
                                             std::string("ACTION=change\0SUBSYSTEM=power_supply", 36));
  ASSERT_TRUE(send(event));
  auto r = receive();
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(r->length, static_cast<int>(event.size()));
  EXPECT_EQ(std::string(r->buffer, r->length), event);
}

TEST_F(UeventChannel, EmptyDatagramYieldsZeroAndNextStillArrives) {
  ASSERT_TRUE(send(""));
  ASSERT_TRUE(send("add@/x"));
  auto empty = receive();
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->length, 0);
  auto next = receive();
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->length, 6);
  EXPECT_STREQ(next->buffer, "add@/x");
}

TEST_F(UeventChannel, LongDatagramsAreCutAtTheUsableLengthAndKeepBoundaries) {
  const std::string exact(1023, 'a');   // fills the usable part, no NUL
  const std::string longer(4000, 'b');  // more than fits: the rest is dropped
  ASSERT_TRUE(send(exact));
  ASSERT_TRUE(send(longer));
  ASSERT_TRUE(send("after"));

  auto first = receive();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->length, 1023);
  EXPECT_EQ(first->buffer[1023], '\0');
  EXPECT_EQ(strlen(first->buffer), 1023u);

  auto second = receive();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->length, 1023);
  EXPECT_EQ(second->buffer[1023], '\0');
  EXPECT_EQ(std::string(second->buffer), std::string(1023, 'b'));

  auto third = receive();
  ASSERT_NE(third, nullptr);
  EXPECT_STREQ(third->buffer, "after");
}

TEST_F(UeventChannel, ReplacesStaleFileAtSocketPath) {
  DeviceRoot other;
  other.write("/dev/socket/uevent", "left by an earlier run");
  ASSERT_EQ(platform::uevent_init(), 1);
  ASSERT_TRUE(lumo_test::send_uevent_to(other.path("/dev/socket/uevent"), "remove@/y"));
  auto r = receive();
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->buffer, "remove@/y");
}

TEST_F(UeventChannel, ReopenMovesChannelToNewRoot) {
  DeviceRoot second;
  ASSERT_EQ(platform::uevent_init(), 1);
  // The first root's socket is gone from the channel: only the second's
  // datagram is delivered.
  lumo_test::send_uevent_to(root_.path("/dev/socket/uevent"), "old@/a");
  ASSERT_TRUE(lumo_test::send_uevent_to(second.path("/dev/socket/uevent"), "new@/b"));
  auto r = receive();
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->buffer, "new@/b");
}

TEST(UeventDeepRoot, BindsWhenPathExceedsSocketAddress) {
  DeviceRoot root;
  std::string deep = root.dir() + "/" + std::string(120, 'd') + "/" + std::string(60, 'e');
  root.mkdir(deep.substr(root.dir().size()));
  ASSERT_TRUE(platform::set_device_root(deep.c_str()));
  ASSERT_EQ(platform::uevent_init(), 1);
  std::string socket_path = deep + "/dev/socket/uevent";
  struct stat st = {};
  ASSERT_EQ(stat(socket_path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  ASSERT_TRUE(lumo_test::send_uevent_to(socket_path, "change@/deep"));
  auto r = receive();
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->buffer, "change@/deep");
}

}  // namespace
