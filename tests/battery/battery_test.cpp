// Power-supply discovery, reading and the queries, on fake sysfs trees.
#include <climits>
#include <thread>

#include "tests/battery/power_supply_tree.h"

namespace {

using lumo_test::BatteryTest;
using lumo_test::DeviceRoot;
using lumo_test::log_count;
using lumo_test::write_attr;

std::string pathOf(const char* name) {
  const char* p = batteryPathForTest(name);
  return p == nullptr ? "" : p;
}

std::string supply(const std::string& name, const std::string& attr) {
  return "/sys/class/power_supply/" + name + "/" + attr;
}

// One battery supply "b" with the given files, discovered and read.
void discoverBattery(const DeviceRoot& root, std::initializer_list<std::pair<const char*, const char*>> files) {
  write_attr(root, "b", "type", "Battery");
  for (const auto& [name, value] : files) write_attr(root, "b", name, value);
  ASSERT_EQ(register_BatteryService(), 0);
  readBatteryState();
}

TEST_F(BatteryTest, VoltageAndTemperatureFileChoice) {
  discoverBattery(root_, {{"voltage_now", "-3987999"}, {"batt_vol", "1111"}, {"temp", "250"}, {"batt_temp", "9"}});
  EXPECT_EQ(pathOf("batteryVoltage"), supply("b", "voltage_now"));
  EXPECT_EQ(getBatteryState().batteryVoltage, -3987);  // microvolts, truncated
  EXPECT_EQ(pathOf("batteryTemperature"), supply("b", "temp"));
  EXPECT_EQ(getBatteryState().batteryTemperature, 250);

  DeviceRoot other;
  fresh();
  discoverBattery(other, {{"batt_vol", "3987"}, {"batt_temp", "310"}});
  EXPECT_EQ(getBatteryState().batteryVoltage, 3987);  // millivolts
  EXPECT_EQ(getBatteryState().batteryTemperature, 310);
}

TEST_F(BatteryTest, LaterSupplyOfATypeWinsPathByPath) {
  for (const char* name : {"usb_a", "usb_b"}) write_attr(root_, name, "type", "USB");
  for (const char* name : {"bat_1", "bat_2"}) write_attr(root_, name, "type", "Battery");
  const std::string last_usb = lumo_test::later_supply(root_, "usb_a", "usb_b");
  const std::string first_usb = last_usb == "usb_a" ? "usb_b" : "usb_a";
  const std::string last_bat = lumo_test::later_supply(root_, "bat_1", "bat_2");
  const std::string first_bat = last_bat == "bat_1" ? "bat_2" : "bat_1";
  write_attr(root_, first_usb, "online", "0");
  write_attr(root_, last_usb, "online", "1");
  write_attr(root_, first_bat, "status", "Full");
  write_attr(root_, first_bat, "capacity", "77");
  write_attr(root_, first_bat, "voltage_now", "4100000");
  write_attr(root_, last_bat, "status", "Charging");
  write_attr(root_, last_bat, "batt_vol", "3900");
  ASSERT_EQ(register_BatteryService(), 0);
  readBatteryState();
  BatteryState s = getBatteryState();
  EXPECT_EQ(s.usbOnline, 1);
  EXPECT_EQ(s.batteryStatus, 2);
  EXPECT_EQ(s.batteryLevel, 77);  // only the earlier supply has it
  // The later "batt_vol" is millivolts: the earlier "voltage_now" must not
  // leave its divisor behind.
  EXPECT_EQ(pathOf("batteryVoltage"), supply(last_bat, "batt_vol"));
  EXPECT_EQ(s.batteryVoltage, 3900);
}

TEST_F(BatteryTest, TypeTextMustMatchExactly) {
  const std::pair<const char*, bool> cases[] = {
      {"Battery\n", true}, {"Battery\n\n\n", true}, {"battery", false}, {"Battery ", false},
      {"", false},         {"Batteryxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", false},
  };
  for (const auto& [type, recognised] : cases) {
    SCOPED_TRACE(testing::PrintToString(type));
    DeviceRoot root;
    fresh();
    write_attr(root, "b", "type", type);
    write_attr(root, "b", "capacity", "64");
    ASSERT_EQ(register_BatteryService(), 0);
    readBatteryState();
    EXPECT_EQ(getBatteryState().batteryLevel, recognised ? 64 : 0);
  }
}

TEST_F(BatteryTest, FullTreeReadsEveryFieldInPlace) {
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(register_BatteryService(), 0);
  EXPECT_TRUE(root_.log_texts('E').empty());
  readBatteryState();
  BatteryState expected = {1, 0, 2, 2, 1, 50, 3800, 250, "Li-ion", 5000, 420, 1};
  EXPECT_EQ(getBatteryState(), expected);
}

TEST_F(BatteryTest, MissingFilesAndDirectory) {
  write_attr(root_, "ac", "type", "Mains");  // no "online"
  write_attr(root_, "b", "type", "Battery");
  ASSERT_EQ(register_BatteryService(), 0);
  const std::vector<std::string> expected = {
      "acOnlinePath not found",           "usbOnlinePath not found",
      "batteryStatusPath not found",      "batteryHealthPath not found",
      "batteryPresentPath not found",     "batteryCapacityPath not found",
      "batteryVoltagePath not found",     "batteryTemperaturePath not found",
      "batteryTechnologyPath not found",  "batteryCharge_NowPath not found",
      "batteryCurrent_NowPath not found", "batteryAdaptCompletedPath not found",
  };
  EXPECT_EQ(root_.log_texts('E'), expected);

  DeviceRoot empty;
  fresh();
  EXPECT_EQ(register_BatteryService(), -1);
  EXPECT_EQ(empty.log_texts('E'), std::vector<std::string>{"Could not open /sys/class/power_supply"});
  empty.clear_log();
  readBatteryState();
  EXPECT_EQ(getBatteryState(), BatteryState{});
  EXPECT_TRUE(empty.log_lines().empty());
}

TEST_F(BatteryTest, ManySuppliesLongNamesAndStrayEntries) {
  for (int i = 0; i < 300; ++i) write_attr(root_, "w" + std::to_string(i), "type", "Wireless");
  root_.mkdir("/sys/class/power_supply/no_type");
  root_.write("/sys/class/power_supply/stray_file", "x");
  const std::string long_name(255, 'n');
  write_attr(root_, long_name, "type", "Battery");
  write_attr(root_, long_name, "capacity", "93");
  ASSERT_EQ(register_BatteryService(), 0);
  readBatteryState();
  EXPECT_EQ(getBatteryState().batteryLevel, 93);
}

TEST_F(BatteryTest, IntegersFollowAtoiButSaturate) {
  const std::pair<std::string, int32_t> cases[] = {
      {"42\n", 42},          {" \t-7", -7},        {"+5", 5},
      {"12abc", 12},         {"abc", 0},           {"", 0},
      {"--3", 0},            {"2147483648", INT32_MAX}, {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN}, {"99999999999999999999999", INT32_MAX},
      {std::string(5000, '9'), INT32_MAX},  // longer than the read buffer
  };
  for (const auto& [text, value] : cases) {
    root_.write("/sys/n", text);
    EXPECT_EQ(readIntFromFile("/sys/n"), value) << text.substr(0, 30);
    EXPECT_EQ(parseSysfsInt(text.c_str()), value) << text.substr(0, 30);
  }
  EXPECT_EQ(readIntFromFile(nullptr), 0);
}

TEST_F(BatteryTest, StatusAndHealthWords) {
  struct Case {
    int32_t (*parse)(const char*);
    const char* text;
    int32_t code;
    const char* warning;
  };
  const Case cases[] = {
      {parseBatteryStatus, "Charging", 2, nullptr},
      {parseBatteryStatus, "Not charging", 4, nullptr},
      {parseBatteryStatus, "Full", 5, nullptr},
      {parseBatteryStatus, "Discharging", 3, nullptr},
      {parseBatteryStatus, "Unknown", 1, nullptr},
      {parseBatteryStatus, "Bogus", 1, "Unknown battery status 'Bogus'"},
      {parseBatteryStatus, "charging", 1, "Unknown battery status 'charging'"},
      {parseBatteryHealth, "Goodish", 2, nullptr},
      {parseBatteryHealth, "Dead", 4, nullptr},
      {parseBatteryHealth, "Overheat", 3, nullptr},
      {parseBatteryHealth, "Over voltage", 5, nullptr},
      {parseBatteryHealth, "Unspecified failure", 6, nullptr},
      {parseBatteryHealth, "Unknown", 1, nullptr},
      {parseBatteryHealth, "Cold", 7, nullptr},
      {parseBatteryHealth, "Over current", 1, "Unknown battery health[1] 'Over current'"},
      {parseBatteryHealth, "Unplugged", 1, "Unknown battery health[1] 'Unplugged'"},
      {parseBatteryHealth, "Colder", 1, "Unknown battery health[1] 'Colder'"},
      {parseBatteryHealth, "Warm", 1, "Unknown battery health[2] 'Warm'"},
  };
  for (const Case& c : cases) {
    root_.clear_log();
    EXPECT_EQ(c.parse(c.text), c.code) << c.text;
    EXPECT_EQ(root_.log_texts(), c.warning ? std::vector<std::string>{c.warning}
                                           : std::vector<std::string>{})
        << c.text;
  }
}

TEST_F(BatteryTest, UnreadableFilesZeroIntegersAndKeepTexts) {
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(register_BatteryService(), 0);
  readBatteryState();
  for (const char* attr : {"status", "health", "technology", "present"}) write_attr(root_, "battery", attr, "\n");
  root_.remove(supply("battery", "capacity"));
  root_.clear_log();
  readBatteryState();
  BatteryState s = getBatteryState();
  EXPECT_EQ(s.batteryStatus, 2);
  EXPECT_EQ(s.batteryHealth, 2);
  EXPECT_STREQ(s.batteryTechnology, "Li-ion");
  EXPECT_EQ(s.batteryPresent, 0);
  EXPECT_EQ(s.batteryLevel, 0);
  EXPECT_EQ(root_.log_texts('E'),
            std::vector<std::string>{"Could not open '/sys/class/power_supply/battery/capacity'"});
}

TEST_F(BatteryTest, TechnologyKeepsAtMost127CharsAndTheBytesBehind) {
  const std::string long_text = "A" + std::string(199, 'x');
  discoverBattery(root_, {{"technology", long_text.c_str()}});
  BatteryState s = getBatteryState();
  EXPECT_EQ(std::string(s.batteryTechnology), long_text.substr(0, 127));
  EXPECT_EQ(std::string(s.batteryTechnology + 127, 129), std::string(129, '\0'));
  write_attr(root_, "b", "technology", "LiP\n");
  readBatteryState();
  s = getBatteryState();
  EXPECT_STREQ(s.batteryTechnology, "LiP");
  EXPECT_EQ(std::string(s.batteryTechnology + 4, 123), long_text.substr(4, 123));
}

TEST_F(BatteryTest, LoggingQueriesReportOncePerChange) {
  struct Case {
    int32_t (*query)();
    const char* attr;
    const char* first_text;
    int32_t first;
    const char* second_text;
    int32_t second;
    std::string line;
  };
  const Case cases[] = {
      {getBatteryLevel, "capacity", "50", 50, "49", 49, " Battery level : "},
      {getBatteryStatus, "status", "Charging", 2, "Full", 5, " Battery status : "},
      {getChargerVoltage, "charge_now", "5000", 5000, "4700", 4700, " Charger voltage : "},
      {getBatteryHealth, "health", "Good", 2, "Cold", 7, " Charger health : "},
      {getBatteryVoltage, "voltage_now", "3800000", 3800, "3712345", 3712, " Battery voltage : "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    DeviceRoot root;
    fresh();
    EXPECT_EQ(c.query(), 0);  // the very first call logs even 0
    discoverBattery(root, {{c.attr, c.first_text}});
    EXPECT_EQ(c.query(), c.first);
    EXPECT_EQ(c.query(), c.first);
    write_attr(root, "b", c.attr, c.second_text);
    readBatteryState();
    EXPECT_EQ(c.query(), c.second);
    EXPECT_EQ(c.query(), c.second);
    for (int32_t v : {0, c.first, c.second}) EXPECT_EQ(log_count(root, c.line + std::to_string(v)), 1) << v;
  }
}

TEST_F(BatteryTest, ForceEntryCapsReportedVoltage) {
  struct Case {
    const char* force;
    const char* show;
    const char* microvolts;
    int32_t expected;
  };
  const Case cases[] = {
      {"1", "5000", "4980000", 4950}, {"1", "5000", "3800000", 3800}, {"1", "4000", "4980000", 3950},
      {"0", "5000", "4980000", 4980}, {"1", "-2147483648", "3800000", INT32_MIN},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.force) + " " + c.show + " " + c.microvolts);
    DeviceRoot root;
    fresh();
    root.set_property("ro.lboot.force.entry", c.force);
    root.set_property("ro.lboot.vol.show", c.show);
    discoverBattery(root, {{"voltage_now", c.microvolts}});
    EXPECT_EQ(getBatteryVoltage(), c.expected);
    // The log shows the field, not the capped value.
    EXPECT_EQ(log_count(root, " Battery voltage : " + std::to_string(atoi(c.microvolts) / 1000)), 1);
  }
}

TEST_F(BatteryTest, ChargerOnlineRule) {
  struct Case {
    const char* force;
    const char* ac;
    const char* usb;
    const char* status;  // nullptr: never read
    int expected;
  };
  const Case cases[] = {
      {"1", "0", "0", "Discharging", 1}, {"0", "1", "0", "Discharging", 1}, {"0", "0", "1", "Full", 1},
      {"0", "0", "0", "Unknown", 1},     {"0", "0", "0", "Charging", 1},    {"0", "0", "0", "Discharging", 0},
      {"0", "0", "0", "Not charging", 0}, {"0", "0", "0", "Full", 0},       {"0", "0", "0", nullptr, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.force) + c.ac + c.usb + (c.status ? c.status : "-"));
    DeviceRoot root;
    fresh();
    root.set_property("ro.lboot.force.entry", c.force);
    write_attr(root, "ac", "type", "Mains");
    write_attr(root, "ac", "online", c.ac);
    write_attr(root, "usb", "type", "USB");
    write_attr(root, "usb", "online", c.usb);
    if (c.status) write_attr(root, "b", "status", c.status);
    discoverBattery(root, {});
    EXPECT_EQ(isChargerOnline(), c.expected);
    EXPECT_EQ(isChargerOnline(), c.expected);
    // Offline logs the summary line, once until a change clears the flag.
    EXPECT_EQ(lumo_test::summary_count(root), c.expected ? 0 : 1);
  }
}

// A re-reading thread against queries and snapshots: every field is always
// a whole value (and ThreadSanitizer checks the sharing).
TEST_F(BatteryTest, ConcurrentReadingAndQueries) {
  lumo_test::write_full_tree(root_);
  ASSERT_EQ(register_BatteryService(), 0);
  readBatteryState();
  const BatteryState expected = getBatteryState();
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) readBatteryState();
  });
  int mismatches = 0;
  for (int i = 0; i < 2000; ++i) {
    mismatches += getBatteryState() == expected ? 0 : 1;
    getBatteryLevel();
    isChargerOnline();
    clearBatteryStateLogged();
    logBatteryState();
  }
  stop.store(true);
  reader.join();
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
