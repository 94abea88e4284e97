// Power-supply discovery, reading and the queries, on fake sysfs trees.
#include <climits>
#include <cstring>
#include <thread>

#include "battery/battery.h"
#include "tests/battery/power_supply_tree.h"

namespace {

using lumo_test::BatteryTest;
using lumo_test::DeviceRoot;
using lumo_test::kSupplyDir;
using lumo_test::log_count;
using lumo_test::write_attr;
using lumo_test::write_full_tree;

std::string supplyPath(const std::string& supply, const std::string& attr) {
  return kSupplyDir + "/" + supply + "/" + attr;
}

std::string pathOf(const char* name) {
  const char* p = batteryPathForTest(name);
  return p == nullptr ? "" : p;
}

// Fresh module state for one case of a table run inside a single test.
void resetAll() {
  resetBatteryForTest();
  resetSettingsCache();
}

struct AttrFile {
  const char* name;
  const char* value;
};

struct PathChoiceCase {
  const char* label;
  std::vector<AttrFile> files;
  const char* voltage_file;
  int32_t voltage;
  const char* temperature_file;
  int32_t temperature;
};

TEST_F(BatteryTest, VoltageAndTemperatureFileChoice) {
  const PathChoiceCase cases[] = {
      {"voltage_now wins, microvolts", {{"voltage_now", "3987000"}, {"batt_vol", "1111"}},
       "voltage_now", 3987, nullptr, 0},
      {"batt_vol alone, millivolts", {{"batt_vol", "3987"}}, "batt_vol", 3987, nullptr, 0},
      {"division truncates toward zero", {{"voltage_now", "-3987999"}}, "voltage_now", -3987,
       nullptr, 0},
      {"temp wins", {{"temp", "250"}, {"batt_temp", "999"}}, nullptr, 0, "temp", 250},
      {"batt_temp alone", {{"batt_temp", "310"}}, nullptr, 0, "batt_temp", 310},
  };
  for (const PathChoiceCase& c : cases) {
    SCOPED_TRACE(c.label);
    DeviceRoot root;
    resetAll();
    write_attr(root, "bat", "type", "Battery");
    for (const AttrFile& f : c.files) write_attr(root, "bat", f.name, f.value);
    ASSERT_EQ(register_BatteryService(), 0);
    readBatteryState();
    BatteryState s = getBatteryState();
    EXPECT_EQ(pathOf("batteryVoltage"), c.voltage_file ? supplyPath("bat", c.voltage_file) : "");
    EXPECT_EQ(s.batteryVoltage, c.voltage);
    EXPECT_EQ(pathOf("batteryTemperature"),
              c.temperature_file ? supplyPath("bat", c.temperature_file) : "");
    EXPECT_EQ(s.batteryTemperature, c.temperature);
  }
}

TEST_F(BatteryTest, LaterSupplyOfATypeWinsPathByPath) {
  for (const char* name : {"usb_a", "usb_b"}) write_attr(root_, name, "type", "USB");
  for (const char* name : {"bat_1", "bat_2"}) write_attr(root_, name, "type", "Battery");
  auto order = lumo_test::supply_order(root_);
  auto later = [&](const std::string& a, const std::string& b) {
    return std::find(order.begin(), order.end(), a) > std::find(order.begin(), order.end(), b) ? a : b;
  };
  const std::string last_usb = later("usb_a", "usb_b");
  const std::string first_usb = last_usb == "usb_a" ? "usb_b" : "usb_a";
  const std::string last_bat = later("bat_1", "bat_2");
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
  EXPECT_EQ(pathOf("usbOnline"), supplyPath(last_usb, "online"));
  EXPECT_EQ(s.usbOnline, 1);
  EXPECT_EQ(pathOf("batteryStatus"), supplyPath(last_bat, "status"));
  EXPECT_EQ(s.batteryStatus, 2);
  // A path the later supply lacks keeps what the earlier one gave.
  EXPECT_EQ(pathOf("batteryCapacity"), supplyPath(first_bat, "capacity"));
  EXPECT_EQ(s.batteryLevel, 77);
  // The later "batt_vol" is millivolts: the earlier "voltage_now" must not
  // leave its divisor behind.
  EXPECT_EQ(pathOf("batteryVoltage"), supplyPath(last_bat, "batt_vol"));
  EXPECT_EQ(s.batteryVoltage, 3900);
}

TEST_F(BatteryTest, TypeTextMustMatchExactly) {
  const std::pair<const char*, bool> cases[] = {
      {"Battery", true},   {"Battery\n", true},   {"Battery\n\n\n", true},
      {"battery", false},  {"Battery ", false},   {" Battery", false},
      {"", false},         {"Batteryxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx", false},
  };
  for (const auto& [type, recognised] : cases) {
    SCOPED_TRACE(testing::PrintToString(type));
    DeviceRoot root;
    resetAll();
    write_attr(root, "b", "type", type);
    write_attr(root, "b", "capacity", "64");
    ASSERT_EQ(register_BatteryService(), 0);
    readBatteryState();
    EXPECT_EQ(batteryPathForTest("batteryCapacity") != nullptr, recognised);
    EXPECT_EQ(getBatteryState().batteryLevel, recognised ? 64 : 0);
  }
}

TEST_F(BatteryTest, MissingAttributesLoggedOnceInOrder) {
  write_attr(root_, "ac", "type", "Mains");  // no "online"
  write_attr(root_, "b", "type", "Battery");
  ASSERT_EQ(register_BatteryService(), 0);
  std::vector<std::string> errors = root_.log_texts('E');
  const std::vector<std::string> expected = {
      "acOnlinePath not found",           "usbOnlinePath not found",
      "batteryStatusPath not found",      "batteryHealthPath not found",
      "batteryPresentPath not found",     "batteryCapacityPath not found",
      "batteryVoltagePath not found",     "batteryTemperaturePath not found",
      "batteryTechnologyPath not found",  "batteryCharge_NowPath not found",
      "batteryCurrent_NowPath not found", "batteryAdaptCompletedPath not found",
  };
  EXPECT_EQ(errors, expected);

  root_.clear_log();
  readBatteryState();
  EXPECT_EQ(getBatteryState(), BatteryState{});
  EXPECT_TRUE(root_.log_lines().empty());
}

TEST_F(BatteryTest, FullTreeFindsEverythingAndReadsEveryField) {
  write_full_tree(root_);
  ASSERT_EQ(register_BatteryService(), 0);
  EXPECT_TRUE(root_.log_texts('E').empty());
  readBatteryState();
  BatteryState s = getBatteryState();
  BatteryState expected = {1, 0, 2, 2, 1, 50, 3800, 250, "Li-ion", 5000, 420, 1};
  EXPECT_EQ(s, expected);
}

TEST_F(BatteryTest, NoPowerSupplyDirectory) {
  EXPECT_EQ(register_BatteryService(), -1);
  EXPECT_EQ(root_.log_texts('E'), std::vector<std::string>{"Could not open /sys/class/power_supply"});
  root_.clear_log();
  readBatteryState();
  EXPECT_EQ(getBatteryState(), BatteryState{});
  EXPECT_TRUE(root_.log_lines().empty());
}

TEST_F(BatteryTest, ManySuppliesAndLongNames) {
  for (int i = 0; i < 300; ++i) write_attr(root_, "other" + std::to_string(i), "type", "Wireless");
  root_.mkdir(kSupplyDir + "/no_type");
  root_.write(kSupplyDir + "/stray_file", "x");
  const std::string long_name(255, 'n');
  write_attr(root_, long_name, "type", "Battery");
  write_attr(root_, long_name, "capacity", "93");
  ASSERT_EQ(register_BatteryService(), 0);
  EXPECT_EQ(pathOf("batteryCapacity"), supplyPath(long_name, "capacity"));
  readBatteryState();
  EXPECT_EQ(getBatteryState().batteryLevel, 93);
}

TEST_F(BatteryTest, IntegerFilesFollowAtoiButSaturate) {
  const std::pair<std::string, int32_t> cases[] = {
      {"42", 42},
      {"42\n", 42},
      {" \t-7", -7},
      {"+5", 5},
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"- 3", 0},
      {"--3", 0},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
      {"99999999999999999999999", INT32_MAX},
      {"-99999999999999999999999", INT32_MIN},
      {std::string(5000, '9'), INT32_MAX},  // longer than the read buffer
  };
  for (const auto& [text, value] : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    root_.write("/sys/n", text);
    EXPECT_EQ(readIntFromFile("/sys/n"), value);
    EXPECT_EQ(parseSysfsInt(text.c_str()), value);
  }
  EXPECT_EQ(readIntFromFile(nullptr), 0);
  root_.clear_log();
  EXPECT_EQ(readIntFromFile("/sys/missing"), 0);
  EXPECT_EQ(root_.log_texts('E'), std::vector<std::string>{"Could not open '/sys/missing'"});
}

struct ParseCase {
  const char* text;
  int32_t code;
  const char* warning;  // nullptr: no log line
};

TEST_F(BatteryTest, StatusWords) {
  const ParseCase cases[] = {
      {"Charging", 2, nullptr},     {"Not charging", 4, nullptr},
      {"Full", 5, nullptr},         {"Discharging", 3, nullptr},
      {"Unknown", 1, nullptr},      {"Cxyz", 2, nullptr},
      {"Bogus", 1, "Unknown battery status 'Bogus'"},
      {"charging", 1, "Unknown battery status 'charging'"},
      {"", 1, "Unknown battery status ''"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    root_.clear_log();
    EXPECT_EQ(parseBatteryStatus(c.text), c.code);
    std::vector<std::string> expected;
    if (c.warning) expected.push_back(c.warning);
    EXPECT_EQ(root_.log_texts(), expected);
  }
}

TEST_F(BatteryTest, HealthTexts) {
  const ParseCase cases[] = {
      {"Good", 2, nullptr},
      {"Goodish", 2, nullptr},
      {"Dead", 4, nullptr},
      {"Overheat", 3, nullptr},
      {"Over voltage", 5, nullptr},
      {"Unspecified failure", 6, nullptr},
      {"Unknown", 1, nullptr},
      {"Cold", 7, nullptr},
      {"Over current", 1, "Unknown battery health[1] 'Over current'"},
      {"Overheated", 1, "Unknown battery health[1] 'Overheated'"},
      {"Unplugged", 1, "Unknown battery health[1] 'Unplugged'"},
      {"Colder", 1, "Unknown battery health[1] 'Colder'"},
      {"Warm", 1, "Unknown battery health[2] 'Warm'"},
      {"good", 1, "Unknown battery health[2] 'good'"},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.text);
    root_.clear_log();
    EXPECT_EQ(parseBatteryHealth(c.text), c.code);
    std::vector<std::string> expected;
    if (c.warning) expected.push_back(c.warning);
    EXPECT_EQ(root_.log_texts(), expected);
  }
}

TEST_F(BatteryTest, UnreadableFilesZeroIntegersAndKeepTexts) {
  write_full_tree(root_);
  ASSERT_EQ(register_BatteryService(), 0);
  readBatteryState();
  write_attr(root_, "battery", "status", "");
  write_attr(root_, "battery", "health", "\n");
  write_attr(root_, "battery", "technology", "");
  write_attr(root_, "battery", "present", "");
  root_.remove(supplyPath("battery", "capacity"));
  root_.remove(supplyPath("ac", "online"));
  root_.clear_log();
  readBatteryState();
  BatteryState s = getBatteryState();
  EXPECT_EQ(s.batteryStatus, 2);
  EXPECT_EQ(s.batteryHealth, 2);
  EXPECT_STREQ(s.batteryTechnology, "Li-ion");
  EXPECT_EQ(s.batteryPresent, 0);
  EXPECT_EQ(s.batteryLevel, 0);
  EXPECT_EQ(s.acOnline, 0);
  EXPECT_EQ(s.batteryVoltage, 3800);
  EXPECT_EQ(root_.log_texts('E'),
            (std::vector<std::string>{"Could not open '/sys/class/power_supply/ac/online'",
                                      "Could not open '/sys/class/power_supply/battery/capacity'"}));
}

TEST_F(BatteryTest, TechnologyKeepsAtMost127CharsAndTheBytesBehind) {
  write_attr(root_, "battery", "type", "Battery");
  std::string long_text(200, 'x');
  long_text[0] = 'A';
  write_attr(root_, "battery", "technology", long_text);
  ASSERT_EQ(register_BatteryService(), 0);
  readBatteryState();
  BatteryState s = getBatteryState();
  EXPECT_EQ(std::string(s.batteryTechnology), long_text.substr(0, 127));
  for (size_t i = 127; i < sizeof(s.batteryTechnology); ++i) ASSERT_EQ(s.batteryTechnology[i], 0) << i;

  write_attr(root_, "battery", "technology", "LiP\n");
  readBatteryState();
  s = getBatteryState();
  EXPECT_STREQ(s.batteryTechnology, "LiP");
  EXPECT_EQ(std::string(s.batteryTechnology + 4, 123), long_text.substr(4, 123));
}

struct QueryCase {
  const char* label;
  int32_t (*query)();
  const char* attribute;
  const char* first_text;
  int32_t first;
  const char* second_text;
  int32_t second;
  const char* line;  // prefix of the debug line, value appended
};

TEST_F(BatteryTest, LoggingQueriesReportOncePerChange) {
  const QueryCase cases[] = {
      {"level", getBatteryLevel, "capacity", "50", 50, "49", 49, " Battery level : "},
      {"status", getBatteryStatus, "status", "Charging", 2, "Full", 5, " Battery status : "},
      {"charger", getChargerVoltage, "charge_now", "5000", 5000, "4700", 4700, " Charger voltage : "},
      {"health", getBatteryHealth, "health", "Good", 2, "Cold", 7, " Charger health : "},
      {"voltage", getBatteryVoltage, "voltage_now", "3800000", 3800, "3712345", 3712,
       " Battery voltage : "},
  };
  for (const QueryCase& c : cases) {
    SCOPED_TRACE(c.label);
    DeviceRoot root;
    resetAll();
    write_attr(root, "battery", "type", "Battery");
    write_attr(root, "battery", c.attribute, c.first_text);
    ASSERT_EQ(register_BatteryService(), 0);
    readBatteryState();
    root.clear_log();
    auto debug_lines = [&] {
      std::vector<std::string> out;
      for (const std::string& t : root.log_texts('D')) {
        if (t.rfind(c.line, 0) == 0) out.push_back(t);
      }
      return out;
    };
    EXPECT_EQ(c.query(), c.first);
    EXPECT_EQ(c.query(), c.first);
    EXPECT_EQ(debug_lines(), std::vector<std::string>{c.line + std::to_string(c.first)});
    write_attr(root, "battery", c.attribute, c.second_text);
    readBatteryState();
    EXPECT_EQ(c.query(), c.second);
    EXPECT_EQ(c.query(), c.second);
    EXPECT_EQ(debug_lines(), (std::vector<std::string>{c.line + std::to_string(c.first),
                                                       c.line + std::to_string(c.second)}));
  }
}

TEST_F(BatteryTest, FirstLevelQueryLogsEvenZero) {
  EXPECT_EQ(getBatteryLevel(), 0);
  EXPECT_EQ(getBatteryLevel(), 0);
  EXPECT_EQ(log_count(root_, " Battery level : 0"), 1);
}

struct CapCase {
  const char* force;
  const char* show;
  const char* microvolts;
  int32_t expected;
};

TEST_F(BatteryTest, ForceEntryCapsReportedVoltage) {
  const CapCase cases[] = {
      {"1", "5000", "4980000", 4950},
      {"1", "5000", "3800000", 3800},
      {"1", "5000", "4950000", 4950},
      {"1", "4000", "4980000", 3950},
      {"0", "5000", "4980000", 4980},
      {"1", "-2147483648", "3800000", INT32_MIN},  // no overflow below the cap
  };
  for (const CapCase& c : cases) {
    SCOPED_TRACE(std::string(c.force) + " " + c.show + " " + c.microvolts);
    DeviceRoot root;
    resetAll();
    root.set_property("ro.lboot.force.entry", c.force);
    root.set_property("ro.lboot.vol.show", c.show);
    write_attr(root, "battery", "type", "Battery");
    write_attr(root, "battery", "voltage_now", c.microvolts);
    ASSERT_EQ(register_BatteryService(), 0);
    readBatteryState();
    EXPECT_EQ(getBatteryVoltage(), c.expected);
    // The log shows the field, not the capped value.
    std::string field = std::to_string(atoi(c.microvolts) / 1000);
    EXPECT_EQ(log_count(root, " Battery voltage : " + field), 1);
  }
}

struct OnlineCase {
  const char* force;
  const char* ac;
  const char* usb;
  const char* status;  // nullptr: no status file (never read)
  int expected;
};

TEST_F(BatteryTest, ChargerOnlineRule) {
  const OnlineCase cases[] = {
      {"1", "0", "0", "Discharging", 1}, {"0", "1", "0", "Discharging", 1},
      {"0", "0", "1", "Full", 1},        {"0", "0", "0", "Unknown", 1},
      {"0", "0", "0", "Charging", 1},    {"0", "0", "0", "Discharging", 0},
      {"0", "0", "0", "Not charging", 0}, {"0", "0", "0", "Full", 0},
      {"0", "0", "0", nullptr, 0},
  };
  for (const OnlineCase& c : cases) {
    SCOPED_TRACE(std::string(c.force) + c.ac + c.usb + (c.status ? c.status : "-"));
    DeviceRoot root;
    resetAll();
    root.set_property("ro.lboot.force.entry", c.force);
    write_attr(root, "ac", "type", "Mains");
    write_attr(root, "ac", "online", c.ac);
    write_attr(root, "usb", "type", "USB");
    write_attr(root, "usb", "online", c.usb);
    write_attr(root, "battery", "type", "Battery");
    if (c.status) write_attr(root, "battery", "status", c.status);
    ASSERT_EQ(register_BatteryService(), 0);
    readBatteryState();
    root.clear_log();
    EXPECT_EQ(isChargerOnline(), c.expected);
    EXPECT_EQ(isChargerOnline(), c.expected);
    int summaries = 0;
    for (const std::string& t : root.log_texts('D')) summaries += t.rfind(" ac=", 0) == 0;
    EXPECT_EQ(summaries, c.expected ? 0 : 1);
  }
}

TEST_F(BatteryTest, SummaryLineOncePerChange) {
  write_full_tree(root_);
  write_attr(root_, "battery", "temp", "-45");
  ASSERT_EQ(register_BatteryService(), 0);
  readBatteryState();
  logBatteryState();
  logBatteryState();
  const std::string line =
      " ac=1, usb=0, level=50, voltate=3800, chargevol=5000, batterycurrent=420, status=2, "
      "health=2, present=1, temperature=-45;";
  EXPECT_EQ(log_count(root_, line), 1);
  clearBatteryStateLogged();
  logBatteryState();
  EXPECT_EQ(log_count(root_, line), 2);
}

// Queries and snapshots from one thread while another re-reads: each field
// is always a whole value (ThreadSanitizer checks the sharing itself).
TEST_F(BatteryTest, ConcurrentReadingAndQueries) {
  write_full_tree(root_);
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
