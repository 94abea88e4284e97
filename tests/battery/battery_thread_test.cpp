// The battery event thread: uevents in, MSG_BATTERY out, and the stop.
#include <chrono>
#include <string>

#include "battery/battery_thread.h"
#include "tests/battery/power_supply_tree.h"
#include "tests/support/uevent.h"

namespace {

using lumo_test::log_count;
using lumo_test::uevent_text;
using lumo_test::wait_until;
using lumo_test::write_attr;

const std::string kSupplyEvent = uevent_text(
    "change@/devices/platform/charger/power_supply/battery", "ACTION=change\0SUBSYSTEM=power_supply");

class BatteryThreadTest : public lumo_test::BatteryTest {
 protected:
  void TearDown() override {
    if (started_) {
      // The thread is never joined: stop it and wake it so that it has ended
      // before the next test installs its own root.
      stopBatteryThread();
      send(uevent_text("change@/devices/teardown"));
      EXPECT_TRUE(wait_until([&] { return root_.log_contains("Battery thread exit."); }));
    }
    BatteryTest::TearDown();
  }

  int start() {
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

  // The one message the events sent so far produced.
  Message onlyMessage() {
    sync();
    EXPECT_EQ(messageQueueCount(), 1);
    Message m = {-1, -1, -1};
    if (messageQueueCount() > 0) waitMessage(&m);
    return m;
  }

  bool started_ = false;
  int syncs_ = 0;
};

TEST_F(BatteryThreadTest, EventsOutsideThePowerSupplyClassAreOnlyLogged) {
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(start(), 0);
  write_attr(root_, "battery", "capacity", "40");
  std::string beyond_cut(2000, 'x');  // "power_supply" only after byte 1023
  beyond_cut.replace(1015, 12, "power_supply");
  send(uevent_text("add@/devices/virtual/input/input3", "SUBSYSTEM=input"));
  send(uevent_text("change@/devices/soc/foo", "SUBSYSTEM=power_supply"));  // not in the header
  send(beyond_cut);
  send(std::string(1023, 'y'));
  send("");
  sync();
  EXPECT_TRUE(root_.log_contains(" event : add@/devices/virtual/input/input3"));
  EXPECT_TRUE(root_.log_contains(" event : change@/devices/soc/foo"));
  EXPECT_EQ(messageQueueCount(), 0);
  EXPECT_EQ(getBatteryState().batteryLevel, 50);  // nothing was re-read

  send(kSupplyEvent);
  Message m = onlyMessage();
  EXPECT_EQ(m.code, MSG_BATTERY);
  EXPECT_EQ(m.arg2, 40);
  EXPECT_TRUE(root_.log_contains(" event : change@/devices/platform/charger/power_supply/battery"));
}

TEST_F(BatteryThreadTest, SupplyEventWithoutChangePostsNothing) {
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(start(), 0);
  write_attr(root_, "battery", "voltage_now", "3800999");  // same millivolts
  send(kSupplyEvent);
  send(kSupplyEvent);
  sync();
  EXPECT_EQ(messageQueueCount(), 0);
  EXPECT_EQ(log_count(root_, " broadcast MSG_BATTERY"), 0);
}

struct FieldChange {
  const char* supply;
  const char* attribute;
  const char* value;
  int32_t online;
  int32_t level;
};

TEST_F(BatteryThreadTest, AnyFieldChangePostsOnceWithSummary) {
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(start(), 0);
  // Applied one after another; each changes exactly one field of the record.
  const FieldChange changes[] = {
      {"usb", "online", "1", 1, 50},           {"battery", "status", "Full", 1, 50},
      {"battery", "health", "Overheat", 1, 50}, {"battery", "present", "0", 1, 50},
      {"battery", "capacity", "51", 1, 51},    {"battery", "voltage_now", "3801000", 1, 51},
      {"battery", "temp", "260", 1, 51},       {"battery", "technology", "LiPo", 1, 51},
      {"battery", "charge_now", "4900", 1, 51}, {"battery", "current_now", "-100", 1, 51},
      {"battery", "is_adapt_completed", "0", 1, 51}, {"ac", "online", "0", 1, 51},
      {"usb", "online", "0", 0, 51},
  };
  for (const FieldChange& c : changes) {
    SCOPED_TRACE(std::string(c.supply) + "/" + c.attribute);
    root_.clear_log();
    write_attr(root_, c.supply, c.attribute, c.value);
    send(kSupplyEvent);
    Message m = onlyMessage();
    EXPECT_EQ(m.code, MSG_BATTERY);
    EXPECT_EQ(m.arg1, c.online);
    EXPECT_EQ(m.arg2, c.level);
    EXPECT_EQ(log_count(root_, " broadcast MSG_BATTERY"), 1);
    int summaries = 0;
    for (const std::string& t : root_.log_texts('D')) summaries += t.rfind(" ac=", 0) == 0;
    EXPECT_EQ(summaries, 1);
  }
}

TEST_F(BatteryThreadTest, UnplugAndPlug) {
  root_.set_property("ro.lboot.force.entry", "0");
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(start(), 0);
  root_.clear_log();

  write_attr(root_, "ac", "online", "0");
  write_attr(root_, "battery", "status", "Discharging");
  send(kSupplyEvent);
  Message unplugged = onlyMessage();
  EXPECT_EQ(unplugged.code, MSG_BATTERY);
  EXPECT_EQ(unplugged.arg1, 0);
  EXPECT_EQ(unplugged.arg2, 50);
  // isChargerOnline finds no charger but must not repeat the summary.
  EXPECT_EQ(log_count(root_,
                      " ac=0, usb=0, level=50, voltate=3800, chargevol=5000, batterycurrent=420, "
                      "status=3, health=2, present=1, temperature=250;"),
            1);

  write_attr(root_, "ac", "online", "1");
  write_attr(root_, "battery", "status", "Charging");
  send(kSupplyEvent);
  Message plugged = onlyMessage();
  EXPECT_EQ(plugged.code, MSG_BATTERY);
  EXPECT_EQ(plugged.arg1, 1);
  EXPECT_EQ(plugged.arg2, 50);
  EXPECT_EQ(log_count(root_, " Battery level : 50"), 1);
}

TEST_F(BatteryThreadTest, StopReturnsAtOnceAndNextEventEndsTheThread) {
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(start(), 0);
  sync();  // the thread is waiting in the channel
  root_.clear_log();
  auto before = std::chrono::steady_clock::now();
  stopBatteryThread();
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, std::chrono::milliseconds(500));
  EXPECT_FALSE(batteryThreadRunning());
  EXPECT_EQ(root_.log_lines().size(), 3u);
  EXPECT_EQ(root_.log_texts('W'),
            (std::vector<std::string>{"Detach BatteryThread.", "BatteryThread exit code 0."}));
  EXPECT_EQ(root_.log_texts('D'), std::vector<std::string>{"JOIN BatteryThread."});
  stopBatteryThread();  // a second stop detaches nothing

  write_attr(root_, "battery", "capacity", "12");
  send(kSupplyEvent);
  ASSERT_TRUE(wait_until([&] { return root_.log_contains("Battery thread exit."); }));
  EXPECT_TRUE(root_.log_contains(" event : change@/devices/platform/charger/power_supply/battery"));
  EXPECT_EQ(messageQueueCount(), 0);
  EXPECT_EQ(getBatteryState().batteryLevel, 50);
  EXPECT_EQ(log_count(root_, " broadcast MSG_BATTERY"), 0);
}

TEST_F(BatteryThreadTest, WithoutPowerSupplyDirectoryThreadStillRuns) {
  EXPECT_EQ(start(), -1);
  EXPECT_TRUE(root_.log_contains(" register_BatteryService = -1"));
  EXPECT_TRUE(root_.log_contains("Battery thread return -1"));
  EXPECT_TRUE(batteryThreadRunning());
  send(kSupplyEvent);
  sync();
  EXPECT_TRUE(root_.log_contains(" event : change@/devices/platform/charger/power_supply/battery"));
  EXPECT_EQ(messageQueueCount(), 0);
  EXPECT_EQ(getBatteryState(), BatteryState{});
}

TEST_F(BatteryThreadTest, FullQueueDropsMessageAndThreadGoesOn) {
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(start(), 0);
  for (int i = 0; i < kMessageQueueCapacity; ++i) sendMessage(MSG_TIMER, i, 0);
  write_attr(root_, "battery", "capacity", "49");
  send(kSupplyEvent);
  sync();
  EXPECT_EQ(messageQueueCount(), kMessageQueueCapacity);
  messageQueueClear();

  write_attr(root_, "battery", "capacity", "48");
  send(kSupplyEvent);
  Message m = onlyMessage();
  EXPECT_EQ(m.code, MSG_BATTERY);
  EXPECT_EQ(m.arg2, 48);
}

TEST_F(BatteryThreadTest, FloodOfEventsOfEveryShape) {
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(start(), 0);
  const std::string shapes[] = {kSupplyEvent, "", std::string(1023, 'z'), std::string(4000, 'q'),
                                uevent_text("remove@/devices/usb/1-1")};
  for (int i = 0; i < 2000; ++i) send(shapes[i % 5]);
  sync();
  EXPECT_EQ(messageQueueCount(), 0);

  write_attr(root_, "battery", "current_now", "777");
  send(kSupplyEvent);
  Message m = onlyMessage();
  EXPECT_EQ(m.code, MSG_BATTERY);
  EXPECT_EQ(getBatteryState().batteryCurrent, 777);
}

}  // namespace
