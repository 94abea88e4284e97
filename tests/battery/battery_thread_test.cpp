// The battery event thread: uevents in, MSG_BATTERY out, and the stop.
#include <chrono>

#include "battery/battery_thread.h"
#include "tests/battery/power_supply_tree.h"
#include "tests/support/uevent.h"

namespace {

using lumo_test::log_count;
using lumo_test::uevent_text;
using lumo_test::wait_until;
using lumo_test::write_attr;

const std::string kSupplyEvent = uevent_text("change@/devices/platform/charger/power_supply/battery",
                                             "SUBSYSTEM=power_supply");
const std::string kSupplyEventLine = " event : change@/devices/platform/charger/power_supply/battery";

class BatteryThreadTest : public lumo_test::BatteryTest {
 protected:
  // The thread is never joined: stop it and wake it, so that it has ended
  // before the next test installs its own root.
  void TearDown() override {
    if (started_) {
      stopBatteryThread();
      send(uevent_text("change@/devices/teardown"));
      EXPECT_TRUE(wait_until([&] { return root_.log_contains("Battery thread exit."); }));
    }
    BatteryTest::TearDown();
  }

  int start(bool with_tree = true) {
    if (with_tree) lumo_test::write_full_tree(root_);
    int result = Battery::init();
    started_ = true;
    EXPECT_TRUE(wait_until([&] { return root_.exists("/dev/socket/uevent"); }));
    return result;
  }

  void send(const std::string& bytes) {
    EXPECT_TRUE(lumo_test::send_uevent_to(root_.path("/dev/socket/uevent"), bytes));
  }

  // Events are handled in order: once this one is logged, every event sent
  // before it has been dealt with completely.
  void sync() {
    std::string header = "change@/devices/sync" + std::to_string(++syncs_);
    send(uevent_text(header));
    ASSERT_TRUE(wait_until([&] { return root_.log_contains(" event : " + header); }));
  }

  // Sends a power-supply event and returns the one message it produced.
  Message postAfterSupplyEvent() {
    send(kSupplyEvent);
    sync();
    EXPECT_EQ(messageQueueCount(), 1);
    Message m = {-1, -1, -1};
    if (messageQueueCount() > 0) waitMessage(&m);
    EXPECT_EQ(m.code, MSG_BATTERY);
    return m;
  }

  bool started_ = false;
  int syncs_ = 0;
};

TEST_F(BatteryThreadTest, EventsOutsideThePowerSupplyClassAreOnlyLogged) {
  ASSERT_EQ(start(), 0);
  write_attr(root_, "battery", "capacity", "40");
  std::string beyond_cut(2000, 'x');
  beyond_cut.replace(1015, 12, "power_supply");  // crosses the 1023-byte cut
  send(uevent_text("add@/devices/virtual/input/input3"));
  send(uevent_text("change@/devices/soc/foo", "SUBSYSTEM=power_supply"));  // not in the header
  send(beyond_cut);
  send(std::string(1023, 'y'));
  send("");
  sync();
  EXPECT_TRUE(root_.log_contains(" event : add@/devices/virtual/input/input3"));
  EXPECT_TRUE(root_.log_contains(" event : change@/devices/soc/foo"));
  EXPECT_EQ(messageQueueCount(), 0);
  EXPECT_EQ(getBatteryState().batteryLevel, 50);  // nothing was re-read

  EXPECT_EQ(postAfterSupplyEvent().arg2, 40);
  EXPECT_TRUE(root_.log_contains(kSupplyEventLine));
}

TEST_F(BatteryThreadTest, EachFieldChangePostsOnceWithOneSummary) {
  ASSERT_EQ(start(), 0);
  write_attr(root_, "battery", "voltage_now", "3800999");  // same millivolts
  send(kSupplyEvent);
  sync();
  EXPECT_EQ(messageQueueCount(), 0);
  EXPECT_EQ(log_count(root_, " broadcast MSG_BATTERY"), 0);

  // Applied one after another; each changes exactly one field.
  const struct {
    const char* supply;
    const char* attr;
    const char* value;
    int32_t online;
    int32_t level;
  } changes[] = {
      {"usb", "online", "1", 1, 50},           {"battery", "status", "Full", 1, 50},
      {"battery", "health", "Overheat", 1, 50}, {"battery", "present", "0", 1, 50},
      {"battery", "capacity", "51", 1, 51},    {"battery", "voltage_now", "3801000", 1, 51},
      {"battery", "temp", "260", 1, 51},       {"battery", "technology", "LiPo", 1, 51},
      {"battery", "charge_now", "4900", 1, 51}, {"battery", "current_now", "-100", 1, 51},
      {"battery", "is_adapt_completed", "0", 1, 51}, {"ac", "online", "0", 1, 51},
      {"usb", "online", "0", 0, 51},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(std::string(c.supply) + "/" + c.attr);
    root_.clear_log();
    write_attr(root_, c.supply, c.attr, c.value);
    Message m = postAfterSupplyEvent();
    EXPECT_EQ(m.arg1, c.online);
    EXPECT_EQ(m.arg2, c.level);
    EXPECT_EQ(log_count(root_, " broadcast MSG_BATTERY"), 1);
    EXPECT_EQ(lumo_test::summary_count(root_), 1);
  }
}

TEST_F(BatteryThreadTest, UnplugAndPlug) {
  root_.set_property("ro.lboot.force.entry", "0");
  ASSERT_EQ(start(), 0);
  root_.clear_log();
  write_attr(root_, "ac", "online", "0");
  write_attr(root_, "battery", "status", "Discharging");
  Message unplugged = postAfterSupplyEvent();
  EXPECT_EQ(unplugged.arg1, 0);
  EXPECT_EQ(unplugged.arg2, 50);
  // isChargerOnline finds no charger but must not repeat the summary.
  EXPECT_EQ(log_count(root_,
                      " ac=0, usb=0, level=50, voltate=3800, chargevol=5000, batterycurrent=420, "
                      "status=3, health=2, present=1, temperature=250;"),
            1);

  write_attr(root_, "ac", "online", "1");
  write_attr(root_, "battery", "status", "Charging");
  Message plugged = postAfterSupplyEvent();
  EXPECT_EQ(plugged.arg1, 1);
  EXPECT_EQ(plugged.arg2, 50);
  EXPECT_EQ(log_count(root_, " Battery level : 50"), 1);
}

TEST_F(BatteryThreadTest, StopReturnsAtOnceAndNextEventEndsTheThread) {
  ASSERT_EQ(start(), 0);
  sync();  // the thread now waits in the channel
  root_.clear_log();
  auto before = std::chrono::steady_clock::now();
  stopBatteryThread();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
  stopBatteryThread();  // a second stop detaches nothing
  std::vector<std::string> lines;
  for (const std::string& l : root_.log_lines()) lines.push_back(l.substr(0, 2) + l.substr(l.find("): ") + 3));
  const std::vector<std::string> twice = {"W/Detach BatteryThread.", "D/JOIN BatteryThread.",
                                          "W/BatteryThread exit code 0.", "W/Detach BatteryThread.",
                                          "D/JOIN BatteryThread.", "W/BatteryThread exit code 0."};
  EXPECT_EQ(lines, twice);

  write_attr(root_, "battery", "capacity", "12");
  send(kSupplyEvent);
  ASSERT_TRUE(wait_until([&] { return root_.log_contains("Battery thread exit."); }));
  EXPECT_TRUE(root_.log_contains(kSupplyEventLine));
  EXPECT_EQ(messageQueueCount(), 0);
  EXPECT_EQ(getBatteryState().batteryLevel, 50);
}

TEST_F(BatteryThreadTest, WithoutPowerSupplyDirectoryThreadStillRuns) {
  EXPECT_EQ(start(false), -1);
  EXPECT_TRUE(root_.log_contains(" register_BatteryService = -1"));
  EXPECT_TRUE(root_.log_contains("Battery thread return -1"));
  send(kSupplyEvent);
  sync();
  EXPECT_TRUE(root_.log_contains(kSupplyEventLine));
  EXPECT_EQ(messageQueueCount(), 0);
}

TEST_F(BatteryThreadTest, FloodAndFullQueueLeaveTheThreadWorking) {
  ASSERT_EQ(start(), 0);
  const std::string shapes[] = {kSupplyEvent, "", std::string(1023, 'z'), std::string(4000, 'q'),
                                uevent_text("remove@/devices/usb/1-1")};
  for (int i = 0; i < 2000; ++i) send(shapes[i % 5]);
  for (int i = 0; i < kMessageQueueCapacity; ++i) sendMessage(MSG_TIMER, i, 0);
  write_attr(root_, "battery", "capacity", "49");
  send(kSupplyEvent);
  sync();
  EXPECT_EQ(messageQueueCount(), kMessageQueueCapacity);  // the change was dropped
  messageQueueClear();

  write_attr(root_, "battery", "capacity", "48");
  EXPECT_EQ(postAfterSupplyEvent().arg2, 48);
}

}  // namespace
