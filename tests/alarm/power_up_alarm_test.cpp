// The power-up alarm watcher against the host alarm driver: the set-up rule,
// what it arms, the fired and early wake-ups, the stop, and the release of a
// watcher whose thread is still busy.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <thread>
#include <vector>

#include "alarm/power_up_alarm.h"
#include "config/startup.h"
#include "core/message_queue.h"
#include "platform/kernel.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::wait_until;
using Lines = std::vector<std::string>;

size_t count(const Lines& texts, const std::string& text) {
  return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

// `lines` appear in `texts` in this order (others may come between).
bool inOrder(const Lines& texts, const Lines& lines) {
  auto at = texts.begin();
  for (const std::string& line : lines) {
    at = std::find(at, texts.end(), line);
    if (at == texts.end()) return false;
    ++at;
  }
  return true;
}

std::string armedLine(int type, int64_t ms) {
  char line[64];
  snprintf(line, sizeof(line), "%d %lld %lld\n", type, static_cast<long long>(ms / 1000),
           static_cast<long long>(ms % 1000 * 1000000));
  return line;
}

std::vector<int32_t> takeMessages() {
  std::vector<int32_t> codes;
  for (Message m = {}; messageQueueCount() > 0;) codes.push_back(waitMessage(&m)->code);
  return codes;
}

TEST(PowerUpTime, TwoMinutesBackAreStillDue) {
  const int64_t now = 1700000000000;
  const std::pair<int64_t, PowerUpTimeState> cases[] = {
      {now + 600000, PowerUpTimeState::kAhead}, {now + 1, PowerUpTimeState::kAhead},
      {now, PowerUpTimeState::kDue},            {now - 120000, PowerUpTimeState::kDue},
      {now - 120001, PowerUpTimeState::kOutdated}};
  for (auto [t, state] : cases) EXPECT_EQ(classifyPowerUpTime(t, now), state) << now - t << " ms ago";
}

class PowerUpAlarmTest : public testing::Test {
 protected:
  void SetUp() override {
    root_.write("/dev/alarm", "");
    root_.write("/sys/power/wake_lock", "");
    root_.write("/sys/power/wake_unlock", "");
    root_.set_property("sys.time.compensated", "true");
    messageQueueClear();
  }
  bool threadEnded(int timeout_ms = 3000) const {
    return wait_until([&] { return root_.log_contains("Alarm thread exit..."); }, timeout_ms);
  }
  bool waiting() const {
    return wait_until([&] { return root_.log_contains("alarm wait here ..."); });
  }
  std::string armed() const { return root_.read("/dev/alarm.armed"); }
  void stop(PowerUpAlarm* alarm) {
    alarm->stopAlarmThread();
    releasePowerUpAlarm(alarm);
  }

  DeviceRoot root_;
};

// The thread ends after the set-up: nothing to arm, or already due.
TEST_F(PowerUpAlarmTest, SetUpWithoutWaiting) {
  const std::string due = std::to_string(nowMs() - 60000);
  struct Case {
    const char* property;  // nullptr: unset
    const char* line;
    bool posts, clears;    // MSG_ALARM; the type-0 alarm is cleared
  };
  const Case cases[] = {
      {nullptr, "powerup alarm not set", false, false},
      {"0", "powerup alarm not set", false, false},
      {"-5", "powerup alarm not set", false, false},
      {"soon", "powerup alarm not set", false, false},
      {"600000", "time for alarm is out dated", false, true},  // long past
      {due.c_str(), "set up alarm to ", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.property == nullptr ? "unset" : c.property);
    root_.remove("/dev/alarm.armed");
    root_.clear_log();
    if (c.property != nullptr) root_.set_property("persist.sys.poweralarm.time", c.property);
    auto* alarm = new PowerUpAlarm();
    EXPECT_TRUE(threadEnded());
    auto texts = root_.log_texts();
    EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [&](const std::string& t) { return t.rfind(c.line, 0) == 0; }));
    EXPECT_EQ(count(texts, "alarm wait here ..."), 0u);
    EXPECT_EQ(root_.exists("/dev/alarm.armed"), c.clears);  // nothing else touches the driver
    EXPECT_EQ(armed(), "");
    EXPECT_EQ(takeMessages(), c.posts ? std::vector<int32_t>{MSG_ALARM} : std::vector<int32_t>{});
    if (c.property != nullptr) {
      EXPECT_EQ(root_.property("persist.sys.poweralarm.time"), c.property);
    }
    stop(alarm);
    EXPECT_TRUE(wait_until([&] { return armed().empty(); }));  // the stop's wake-up has fired
  }
}

// Armed ten minutes ahead, then stopped while the thread sleeps in the driver;
// the watcher is given back at once, before the thread has woken.
TEST_F(PowerUpAlarmTest, ArmsAheadAndStopsWithoutWaitingForTheThread) {
  const int64_t t = nowMs() + 600000;
  root_.set_property("persist.sys.poweralarm.time", std::to_string(t));
  auto* alarm = new PowerUpAlarm();
  ASSERT_TRUE(waiting());
  EXPECT_EQ(armed(), armedLine(0, t + 2) + armedLine(4, t));
  EXPECT_EQ(alarm->powerUpTime.load(), t);
  auto setUp = root_.log_texts('I');
  EXPECT_TRUE(std::any_of(setUp.begin(), setUp.end(), [&](const std::string& s) {
    return s.rfind("set up alarm to " + std::to_string(t) + "(current:", 0) == 0;
  }));

  root_.clear_log();
  alarm->stopAlarmThread();
  EXPECT_EQ(alarm->running.load(), 0);
  EXPECT_EQ(alarm->powerUpTime.load(), -1);
  EXPECT_EQ(alarm->fd.load(), -1);
  releasePowerUpAlarm(alarm);
  EXPECT_TRUE(threadEnded());
  auto texts = root_.log_texts();
  EXPECT_TRUE(inOrder(texts, {"Detach alarm thread.", "JOIN alarm thread.", "Alarm thread exit code 0.",
                              "close alarm device .."}));
  EXPECT_TRUE(inOrder(texts, {"alarm wait return 1.", "Alarm thread exit..."}));
  EXPECT_EQ(texts.size(), 6u);  // the stopped thread takes no wake lock and posts nothing
  EXPECT_EQ(armed(), armedLine(4, t));  // the power-up time stays for a power-off
  EXPECT_TRUE(takeMessages().empty());
}

TEST_F(PowerUpAlarmTest, FiresAtThePowerUpTime) {
  const int64_t t = nowMs() + 1200;
  root_.set_property("persist.sys.poweralarm.time", std::to_string(t));
  auto* alarm = new PowerUpAlarm();
  ASSERT_TRUE(wait_until([] { return messageQueueCount() > 0; }, 8000));
  EXPECT_GE(nowMs(), t);
  EXPECT_TRUE(threadEnded());
  EXPECT_EQ(takeMessages(), std::vector<int32_t>{MSG_ALARM});
  EXPECT_EQ(root_.property("persist.sys.poweralarm.time"), "0");
  EXPECT_EQ(armed(), "");  // both types cleared
  auto texts = root_.log_texts();
  EXPECT_EQ(count(texts, "    startup : " + std::to_string(t)), 1u);
  // The wake lock is held from the wake-up until the message is posted.
  EXPECT_TRUE(inOrder(texts, {"Acquire Lumo.Alarm.", " LumoBoot -> Startup alarm", "Release Lumo.Alarm."}));
  EXPECT_EQ(count(texts, "Acquire Lumo.Alarm."), count(texts, "Release Lumo.Alarm."));
  stop(alarm);
}

// A wake-up for another alarm type, or a type-0 wake-up before the power-up
// time, costs one wake-lock cycle and goes back to sleep.
TEST_F(PowerUpAlarmTest, EarlyWakeUpsGoBackToWaiting) {
  const int64_t t = nowMs() + 600000;
  root_.set_property("persist.sys.poweralarm.time", std::to_string(t));
  auto* alarm = new PowerUpAlarm();
  ASSERT_TRUE(waiting());
  int other = platform::dev_open("/dev/alarm", O_RDWR);
  for (auto [type, returned] : {std::pair{1, "alarm wait return 2."}, {0, "alarm wait return 1."}}) {
    SCOPED_TRACE(type);
    root_.clear_log();
    int64_t soon = nowMs() + 20;
    AlarmTimeValue value = {static_cast<int32_t>(soon / 1000), static_cast<int32_t>(soon % 1000 * 1000000)};
    ASSERT_EQ(platform::dev_ioctl(other, ANDROID_ALARM_SET(type), &value), 0);
    ASSERT_TRUE(waiting());
    auto texts = root_.log_texts();
    EXPECT_TRUE(inOrder(texts, {returned, "Acquire Lumo.Alarm.", "Release Lumo.Alarm.", "alarm wait here ..."}));
    EXPECT_EQ(count(texts, "    startup : " + std::to_string(t)), type == 0 ? 1u : 0u);
    EXPECT_EQ(count(texts, " LumoBoot -> Startup alarm"), 0u);
  }
  platform::dev_close(other);
  EXPECT_TRUE(takeMessages().empty());
  stop(alarm);
  EXPECT_TRUE(threadEnded());
}

TEST_F(PowerUpAlarmTest, ClockNeverCompensatedArmsNothing) {
  root_.set_property("sys.time.compensated", "noset");
  root_.set_property("persist.sys.poweralarm.time", std::to_string(nowMs() + 600000));
  auto start = std::chrono::steady_clock::now();
  auto* alarm = new PowerUpAlarm();
  ASSERT_TRUE(threadEnded(15000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(63 * 80));
  auto warnings = root_.log_texts('W');
  EXPECT_EQ(count(warnings, "Alarm don't config and it may lost when device poweroff!"), 1u);
  EXPECT_EQ(count(warnings, "Propertie \"sys.time.compensated\" = \"noset\""), 63u);
  EXPECT_FALSE(root_.exists("/dev/alarm.armed"));
  stop(alarm);
}

// Stopped and given back while the thread still tests the clock: the thread
// ends soon after, arms and posts nothing, and touches no freed memory.
TEST_F(PowerUpAlarmTest, StoppedWhileWaitingForTheClock) {
  root_.set_property("sys.time.compensated", "false");
  root_.set_property("persist.sys.poweralarm.time", std::to_string(nowMs() - 1000));
  auto* alarm = new PowerUpAlarm();
  ASSERT_TRUE(wait_until([&] { return count(root_.log_texts('W'), "Propertie \"sys.time.compensated\" = \"false\"") >= 2; }));
  stop(alarm);
  root_.set_property("sys.time.compensated", "true");  // too late: the watcher is stopped
  EXPECT_TRUE(threadEnded(1000));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(root_.log_contains("Alarm don't config and it may lost when device poweroff!"));
  EXPECT_TRUE(takeMessages().empty());
  EXPECT_TRUE(wait_until([&] { return armed().empty(); }));  // only the stop's own wake-up, fired
}

TEST_F(PowerUpAlarmTest, WithoutTheDeviceNoThreadThenSetConverts) {
  root_.remove("/dev/alarm");
  auto* alarm = new PowerUpAlarm();
  EXPECT_TRUE(root_.log_contains("can't open alarm device"));
  alarm->stopAlarmThread();  // finds no thread and no device
  EXPECT_EQ(root_.log_texts().size(), 2u);  // "open alarm device ..", "can't open alarm device"

  root_.write("/dev/alarm", "");
  ASSERT_GE(alarm->openAlarmDevice(), 0);
  EXPECT_EQ(alarm->setAlarm(4, 2000000001500), 0);
  EXPECT_EQ(armed(), "4 2000000001 500000000\n");
  EXPECT_EQ(alarm->setAlarm(4, 4294967296000), -1);  // the seconds field would wrap
  EXPECT_TRUE(root_.log_contains("Unable to set alarm to 4294967296.000000000: Value too large for defined data type"));
  EXPECT_EQ(armed(), "4 2000000001 500000000\n");
  alarm->clearAlarm(4);
  EXPECT_EQ(armed(), "");
  alarm->closeAlarmDevice();
  alarm->clearAlarm(0);
  EXPECT_TRUE(root_.log_contains("Unable to clean alarm to 0"));
  releasePowerUpAlarm(alarm);
}

// A driver that fails every wait must not make the thread spin; a failed
// wait (-1 has bit 0 set) still boots once the power-up time is reached.
TEST_F(PowerUpAlarmTest, FailingWaitsAreRetriedCalmly) {
  root_.remove("/dev/alarm");
  root_.write("/dev/not-an-alarm", "");
  for (auto [powerUp, boots] : {std::pair{nowMs() + 600000, false}, {nowMs() - 1, true}}) {
    SCOPED_TRACE(boots);
    root_.clear_log();
    auto* alarm = new PowerUpAlarm();  // no device: no thread
    int fd = platform::dev_open("/dev/not-an-alarm", O_RDWR);
    alarm->fd.store(fd);
    alarm->powerUpTime.store(powerUp);
    std::thread loop([alarm] { alarm->alarmWaitLoop(); });
    EXPECT_EQ(wait_until([] { return messageQueueCount() > 0; }, 1200), boots);
    alarm->running.store(0);
    loop.join();
    EXPECT_LE(count(root_.log_texts('E'), "Unable to wait on alarm: Inappropriate ioctl for device"), 4u);
    EXPECT_EQ(takeMessages(), boots ? std::vector<int32_t>{MSG_ALARM} : std::vector<int32_t>{});
    alarm->fd.store(-1);
    platform::dev_close(fd);
    releasePowerUpAlarm(alarm);
  }
}

}  // namespace
