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

TEST(HardwareAttributes, WriteReplacesContentAndNeverCreatesFiles) {
  const struct {
    std::function<int()> call;
    const char* path;
    const char* expected;
  } cases[] = {
      {[] { return platform::acquire_wake_lock(platform::kPartialWakeLock, "LumoBoot"); },
       "/sys/power/wake_lock", "LumoBoot"},
      {[] { return platform::release_wake_lock("Lumo.Alarm"); }, "/sys/power/wake_unlock", "Lumo.Alarm"},
      {[] { return platform::set_screen_state(1); }, "/sys/power/state", "on"},
      {[] { return platform::set_screen_state(0); }, "/sys/power/state", "mem"},
      {[] { return platform::vibrator_on(150); }, "/sys/class/timed_output/vibrator/enable", "150"},
  };
  for (const auto& c : cases) {
    DeviceRoot root;
    std::string dir = c.path;
    root.mkdir(dir.substr(0, dir.rfind('/')));
    EXPECT_EQ(c.call(), -1) << c.path;  // a phone without that file
    EXPECT_FALSE(root.exists(c.path)) << c.path;
    root.write(c.path, "previous content that is longer");
    EXPECT_EQ(c.call(), 0) << c.path;
    EXPECT_EQ(root.read(c.path), c.expected) << c.path;
  }
  EXPECT_EQ(platform::acquire_wake_lock(platform::kPartialWakeLock, nullptr), -1);
  EXPECT_EQ(platform::release_wake_lock(nullptr), -1);
}

struct Received {
  std::atomic<bool> done{false};
  int length = -1;
  char buffer[1024] = {};  // zeroed; 1023 usable, as the battery thread does
};

// Receives on a helper thread so that a channel that never delivers fails the
// test instead of hanging it; the result outlives a failed test.
std::shared_ptr<Received> receive() {
  auto r = std::make_shared<Received>();
  std::thread([r] {
    r->length = platform::uevent_next_event(r->buffer, 1023);
    r->done.store(true);
  }).detach();
  return lumo_test::wait_until([&] { return r->done.load(); }) ? r : nullptr;
}

bool isSocket(const std::string& path) {
  struct stat st = {};
  return stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

TEST(UeventChannel, DeliversDatagramsWholeCutOrEmpty) {
  DeviceRoot root;
  ASSERT_EQ(platform::uevent_init(), 1);
  const std::string socket = root.path("/dev/socket/uevent");
  ASSERT_TRUE(isSocket(socket));
  const std::string event("change@/devices/power_supply/battery\0SUBSYSTEM=power_supply\0", 59);
  const struct {
    std::string sent;
    std::string expected;
  } cases[] = {
      {event, event},                                     // embedded NULs kept
      {"", ""},                                           // nothing received: 0
      {std::string(1023, 'a'), std::string(1023, 'a')},   // exactly fills, no NUL
      {std::string(4000, 'b'), std::string(1023, 'b')},   // cut; the rest dropped
      {"after", "after"},                                 // boundaries kept
  };
  for (const auto& c : cases) ASSERT_TRUE(lumo_test::send_uevent_to(socket, c.sent));
  for (const auto& c : cases) {
    auto r = receive();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->length, static_cast<int>(c.expected.size()));
    EXPECT_EQ(std::string(r->buffer, r->length < 0 ? 0 : r->length), c.expected);
    EXPECT_EQ(r->buffer[1023], '\0');
  }
}

TEST(UeventChannel, ReopenMovesToNewRootOverStaleFile) {
  DeviceRoot first;
  ASSERT_EQ(platform::uevent_init(), 1);
  DeviceRoot second;
  second.write("/dev/socket/uevent", "left by an earlier run");
  ASSERT_EQ(platform::uevent_init(), 1);
  lumo_test::send_uevent_to(first.path("/dev/socket/uevent"), "old@/a");  // nobody listens
  ASSERT_TRUE(lumo_test::send_uevent_to(second.path("/dev/socket/uevent"), "new@/b"));
  auto r = receive();
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->buffer, "new@/b");
}

TEST(UeventChannel, BindsWhenPathExceedsSocketAddress) {
  DeviceRoot root;
  std::string deep = root.dir() + "/" + std::string(120, 'd') + "/" + std::string(60, 'e');
  root.mkdir(deep.substr(root.dir().size()));
  ASSERT_TRUE(platform::set_device_root(deep.c_str()));
  ASSERT_EQ(platform::uevent_init(), 1);
  const std::string socket = deep + "/dev/socket/uevent";
  ASSERT_TRUE(isSocket(socket));
  ASSERT_TRUE(lumo_test::send_uevent_to(socket, "change@/deep"));
  auto r = receive();
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->buffer, "change@/deep");
}

}  // namespace
