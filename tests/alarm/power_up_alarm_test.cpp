// The power-up alarm watcher against the host alarm driver.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "alarm/power_up_alarm.h"
#include "config/startup.h"
#include "queue/message_queue.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::wait_until;
using testing::Contains;
using testing::StartsWith;
using Lines = std::vector<std::string>;
using Codes = std::vector<int32_t>;

using sim::in_order;
std::string armedLine(int type, int64_t ms) {
  return std::to_string(type) + " " + std::to_string(ms / 1000) + " " + std::to_string(ms % 1000 * 1000000) + "\n";
}
Codes takeMessages() {
  Codes codes;
  for (Message m = {}; messageQueueCount() > 0;) codes.push_back(waitMessage(&m)->code);
  return codes;
}

TEST(PowerUpTime, TwoMinutesBackAreStillDue) {
  using S = PowerUpTimeState;
  const int64_t now = 1700000000000;
  for (auto [ago, state] : {std::pair{-600000, S::kAhead}, {-1, S::kAhead}, {0, S::kDue}, {120000, S::kDue},
                            {120001, S::kOutdated}})
    EXPECT_EQ(classifyPowerUpTime(now - ago, now), state) << ago << " ms ago";
}

class PowerUpAlarmTest : public testing::Test {
 protected:
  void SetUp() override {
    root_.write("/dev/alarm", "");
    root_.set_property("sys.time.compensated", "true");
    messageQueueClear();
  }
  bool ended(int ms = 3000) const { return wait_until([&] { return root_.log_contains("Alarm thread exit..."); }, ms); }
  bool waiting() const { return wait_until([&] { return root_.log_contains("alarm wait here ..."); }); }
  std::string armed() const { return root_.read("/dev/alarm.armed"); }
  PowerUpAlarm* start(const std::string& time) {
    root_.set_property("persist.sys.poweralarm.time", time);
    return new PowerUpAlarm();
  }
  void stop(PowerUpAlarm* alarm) {
    alarm->stopAlarmThread();
    releasePowerUpAlarm(alarm);
  }
  lumo_test::DeviceRoot root_;
};

// The thread ends after the set-up: nothing to arm, out of date, already due,
// or a clock never compensated (63 looks 80 ms apart).
TEST_F(PowerUpAlarmTest, SetUpWithoutWaiting) {
  struct Case { std::string time, clock, line; int looks; bool posts, clears; };  // clears: type 0; no other call
  const std::string ahead = std::to_string(nowMs() + 600000);
  const Case cases[] = {{"0", "true", "powerup alarm not set", 0, false, false},
                        {"-5", "true", "powerup alarm not set", 0, false, false},
                        {"600000", "true", "time for alarm is out dated", 1, false, true},
                        {std::to_string(nowMs() - 60000), "true", "set up alarm to ", 1, true, false},
                        {ahead, "noset", "Alarm don't config and it may lost when device poweroff!", 63, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.time);
    root_.remove("/dev/alarm.armed");
    root_.clear_log();
    root_.set_property("sys.time.compensated", c.clock);
    auto begin = std::chrono::steady_clock::now();
    auto* alarm = start(c.time);
    EXPECT_TRUE(ended(15000));  // without waiting in the driver
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds((c.looks - 1) * 80));
    EXPECT_THAT(root_.log_texts(), Contains(StartsWith(c.line)).Times(1));
    EXPECT_THAT(root_.log_texts('W'),
                Contains("Propertie \"sys.time.compensated\" = \"" + c.clock + "\"").Times(c.looks));
    EXPECT_EQ(root_.exists("/dev/alarm.armed"), c.clears);
    EXPECT_EQ(takeMessages(), c.posts ? Codes{MSG_ALARM} : Codes{});
    EXPECT_EQ(root_.property("persist.sys.poweralarm.time"), c.time);
    stop(alarm);
    EXPECT_TRUE(wait_until([&] { return armed().empty(); }));  // the stop's wake-up has fired
  }
}

// Armed ahead; a wake-up of another type, or of type 0 before the time, costs
// one wake-lock cycle. Stopped and given back while the thread sleeps in the
// driver: nobody waits for it; it wakes, ends quietly and frees the watcher.
TEST_F(PowerUpAlarmTest, ArmsAheadWakesEarlyAndStopsWithoutWaitingForTheThread) {
  const int64_t t = nowMs() + 600000;
  auto* alarm = start(std::to_string(t));
  ASSERT_TRUE(waiting());
  EXPECT_EQ(armed(), armedLine(0, t + 2) + armedLine(4, t));
  EXPECT_THAT(root_.log_texts('I'), Contains(StartsWith("set up alarm to " + std::to_string(t) + "(current:")));
  for (auto [type, returned] : {std::pair{1, "alarm wait return 2."}, {0, "alarm wait return 1."}}) {
    root_.clear_log();
    ASSERT_EQ(alarm->setAlarm(type, nowMs() + 20), 0);
    ASSERT_TRUE(waiting());
    EXPECT_TRUE(in_order(root_.log_texts(), {returned, "Acquire Lumo.Alarm.", "Release Lumo.Alarm.",
                                            "alarm wait here ..."})) << type;
    EXPECT_THAT(root_.log_texts(), Contains("    startup : " + std::to_string(t)).Times(type == 0 ? 1 : 0));
  }
  root_.clear_log();
  stop(alarm);
  EXPECT_TRUE(ended());
  Lines texts = root_.log_texts();
  EXPECT_TRUE(in_order(texts, {"Detach alarm thread.", "JOIN alarm thread.", "Alarm thread exit code 0.",
                              "close alarm device .."}));
  EXPECT_TRUE(in_order(texts, {"alarm wait return 1.", "Alarm thread exit..."}));
  EXPECT_EQ(texts.size(), 6u);  // no wake lock taken, nothing posted
  EXPECT_EQ(armed(), armedLine(4, t));  // the power-up time stays for a power-off
  EXPECT_TRUE(takeMessages().empty());
}

TEST_F(PowerUpAlarmTest, FiresAtThePowerUpTime) {
  const int64_t t = nowMs() + 1200;
  auto* alarm = start(std::to_string(t));
  ASSERT_TRUE(wait_until([] { return messageQueueCount() > 0; }, 8000));
  EXPECT_GE(nowMs(), t);
  EXPECT_TRUE(ended());
  EXPECT_EQ(takeMessages(), Codes{MSG_ALARM});
  EXPECT_EQ(root_.property("persist.sys.poweralarm.time"), "0");
  EXPECT_EQ(armed(), "");  // both types cleared
  EXPECT_TRUE(in_order(root_.log_texts(), {"Acquire Lumo.Alarm.", "    startup : " + std::to_string(t),
                                          " LumoBoot -> Startup alarm", "Release Lumo.Alarm."}));
  stop(alarm);
}

// Stopped while it still looks at the clock: the thread ends soon, arms and
// posts nothing, and touches no freed memory.
TEST_F(PowerUpAlarmTest, StoppedWhileWaitingForTheClock) {
  root_.set_property("sys.time.compensated", "false");
  auto* alarm = start(std::to_string(nowMs() - 1000));
  ASSERT_TRUE(wait_until([&] { return root_.log_contains("Propertie \"sys.time.compensated\" = \"false\""); }));
  stop(alarm);
  root_.set_property("sys.time.compensated", "true");  // too late: the watcher is stopped
  EXPECT_TRUE(ended(1000));
  EXPECT_FALSE(root_.log_contains("Alarm don't config and it may lost when device poweroff!"));
  EXPECT_TRUE(takeMessages().empty());
  EXPECT_TRUE(wait_until([&] { return armed().empty(); }));  // only the stop's own wake-up, fired
}

// No device: no thread. A time beyond the driver's 32-bit seconds is refused,
// not wrapped. A driver that fails every wait must not make the loop spin, and
// a failed wait (-1 has bit 0 set) still boots once the time is reached.
TEST_F(PowerUpAlarmTest, WithoutAWorkingDriver) {
  root_.remove("/dev/alarm");
  auto* alarm = new PowerUpAlarm();
  alarm->stopAlarmThread();  // finds no thread and no device
  EXPECT_EQ(root_.log_texts(), (Lines{"open alarm device ..", "can't open alarm device"}));
  EXPECT_EQ(alarm->setAlarm(4, 4294967296000), -1);
  EXPECT_TRUE(root_.log_contains("Unable to set alarm to 4294967296.000000000: Value too large for defined data type"));
  const int64_t t = nowMs() + 1500;
  alarm->fd.store(1 << 20);  // no such descriptor: every wait fails
  alarm->powerUpTime.store(t);
  std::thread loop([alarm] { alarm->alarmWaitLoop(); });
  EXPECT_TRUE(wait_until([] { return messageQueueCount() > 0; }, 8000));
  EXPECT_GE(nowMs(), t);
  alarm->running.store(0);  // the loop has returned after posting, or returns now
  loop.join();
  EXPECT_THAT(root_.log_texts('E'), Contains("Unable to wait on alarm: Bad file descriptor")
                                        .Times(testing::AllOf(testing::Ge(2u), testing::Le(5u))));
  EXPECT_EQ(takeMessages(), Codes{MSG_ALARM});
  releasePowerUpAlarm(alarm);
}

}  // namespace
