// The battery monitor on fake power-supply trees, and its event thread:
// uevents in, MSG_BATTERY out, and the stop.
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>

#include "battery/battery.h"
#include "battery/battery_thread.h"
#include "config/settings.h"
#include "queue/message_queue.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;
using lumo_test::wait_until;
using Files = std::vector<std::array<std::string, 3>>;  // supply, attribute, content
using Texts = std::vector<std::string>;

void write(const DeviceRoot& root, const Files& files) {
  for (const auto& [supply, attr, text] : files) root.write("/sys/class/power_supply/" + supply + "/" + attr, text);
}

// On mains, every attribute known, values non-zero where they can be, so that a lost field shows.
const Files kFullTree = {
    {"ac", "type", "Mains\n"}, {"ac", "online", "1\n"}, {"usb", "type", "USB\n"}, {"usb", "online", "0\n"},
    {"battery", "type", "Battery\n"}, {"battery", "status", "Charging\n"}, {"battery", "health", "Good\n"},
    {"battery", "present", "1\n"}, {"battery", "capacity", "50\n"}, {"battery", "voltage_now", "3800000\n"},
    {"battery", "temp", "250\n"}, {"battery", "technology", "Li-ion\n"}, {"battery", "charge_now", "5000"},
    {"battery", "current_now", "420\n"}, {"battery", "is_adapt_completed", "1\n"}};

template <typename... T>
std::vector<int64_t> ints(T... values) { return {values...}; }

// Battery summaries in the log (the lines beginning " ac=").
int summaries(const DeviceRoot& root) {
  Texts t = root.log_texts();
  return static_cast<int>(std::count_if(t.begin(), t.end(), [](auto& s) { return s.rfind(" ac=", 0) == 0; }));
}

void fresh() {
  resetBatteryForTest();
  resetSettingsCache();
  messageQueueClear();
}

void discover(const DeviceRoot& root, const Files& files) {
  write(root, files);
  ASSERT_EQ(register_BatteryService(), 0);
  readBatteryState();
}

class BatteryTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh(); }
  void TearDown() override { messageQueueClear(); }
  DeviceRoot root_;
};

TEST_F(BatteryTest, DiscoveryChoosesFilesByExactType) {
  auto typed = [](const std::string& type) { return Files{{"b", "type", type}, {"b", "capacity", "64"}}; };
  Files many = {{std::string(255, 'n'), "type", "Battery"}, {std::string(255, 'n'), "capacity", "93"}, {"x", "online", "1"}};
  for (int i = 0; i < 300; ++i) many.push_back({"w" + std::to_string(i), "type", "Wireless"});
  const struct { Files files; std::vector<int64_t> level_voltage_temperature; } cases[] = {
      // voltage_now (microvolts, truncated) before batt_vol (millivolts); temp before batt_temp.
      {{{"b", "type", "Battery"}, {"b", "voltage_now", "-3987999"}, {"b", "batt_vol", "1111"}, {"b", "temp", "250"},
        {"b", "batt_temp", "9"}}, {0, -3987, 250}},
      {{{"b", "type", "Battery"}, {"b", "batt_vol", "3987"}, {"b", "batt_temp", "310"}}, {0, 3987, 310}},
      {typed("Battery\n\n\n"), {64, 0, 0}}, {typed("battery"), {0, 0, 0}}, {typed("Battery "), {0, 0, 0}},
      {typed(""), {0, 0, 0}}, {typed("Battery" + std::string(30, 'x')), {0, 0, 0}},
      {many, {93, 0, 0}},  // a 255-character name among many, and a supply without a type
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.files[0][2]) + " " + c.files[1][1]);
    DeviceRoot root;
    fresh();
    discover(root, c.files);
    BatteryState s = getBatteryState();
    EXPECT_EQ(ints(s.batteryLevel, s.batteryVoltage, s.batteryTemperature), c.level_voltage_temperature);
  }
}

TEST_F(BatteryTest, LaterSupplyOfATypeWinsPathByPath) {
  write(root_, {{"bat_1", "type", "Battery"}, {"bat_2", "type", "Battery"}});
  std::string later;
  DIR* dir = opendir(root_.path("/sys/class/power_supply").c_str());
  while (const dirent* e = dir ? readdir(dir) : nullptr) later = e->d_name[0] == 'b' ? e->d_name : later;
  if (dir) closedir(dir);
  const std::string earlier = later == "bat_1" ? "bat_2" : "bat_1";
  discover(root_, {{earlier, "status", "Full"}, {earlier, "capacity", "77"}, {earlier, "voltage_now", "4100000"},
                   {later, "status", "Charging"}, {later, "batt_vol", "3900"}});
  BatteryState s = getBatteryState();
  // 3900: the earlier voltage_now leaves no divisor behind.
  EXPECT_EQ(ints(s.batteryStatus, s.batteryLevel, s.batteryVoltage), ints(2, 77, 3900));
}

// Empty files zero the integers but keep the texts; only the technology text and its NUL
// are replaced, and change detection sees the bytes behind.
TEST_F(BatteryTest, ReadsEveryFieldEmptyFilesAndTechnologyText) {
  discover(root_, kFullTree);
  EXPECT_EQ(root_.log_texts('E'), Texts{});
  EXPECT_EQ(getBatteryState(), (BatteryState{1, 0, 2, 2, 1, 50, 3800, 250, "Li-ion", 5000, 420, 1}));
  for (const char* attr : {"status", "health", "technology", "present"}) write(root_, {{"battery", attr, "\n"}});
  root_.remove("/sys/class/power_supply/battery/capacity");
  readBatteryState();
  EXPECT_EQ(getBatteryState(), (BatteryState{1, 0, 2, 2, 0, 0, 3800, 250, "Li-ion", 5000, 420, 1}));
  EXPECT_EQ(root_.log_texts('E'), Texts{"Could not open '/sys/class/power_supply/battery/capacity'"});
  const std::string long_text = "A" + std::string(199, 'x');
  write(root_, {{"battery", "technology", long_text}});
  readBatteryState();
  BatteryState s = getBatteryState();
  EXPECT_EQ(std::string(s.batteryTechnology, sizeof(s.batteryTechnology)), long_text.substr(0, 127) + std::string(129, '\0'));
  write(root_, {{"battery", "technology", "LiP\n"}});
  readBatteryState();
  s = getBatteryState();
  EXPECT_EQ(std::string(s.batteryTechnology, 127), "LiP" + std::string(1, '\0') + long_text.substr(4, 123));
}

TEST_F(BatteryTest, MissingFiles) {
  write(root_, {{"ac", "type", "Mains"}, {"b", "type", "Battery"}});
  ASSERT_EQ(register_BatteryService(), 0);
  EXPECT_EQ(root_.log_texts('E'),
            (Texts{"acOnlinePath not found", "usbOnlinePath not found", "batteryStatusPath not found",
                   "batteryHealthPath not found", "batteryPresentPath not found", "batteryCapacityPath not found",
                   "batteryVoltagePath not found", "batteryTemperaturePath not found",
                   "batteryTechnologyPath not found", "batteryCharge_NowPath not found",
                   "batteryCurrent_NowPath not found", "batteryAdaptCompletedPath not found"}));
}

// From now on every directory read of this process fails with `error`
// (a seccomp filter on getdents). False where seccomp is not offered, as
// under qemu-arm user mode.
bool fail_directory_reads(int error) {
  const uint32_t fail = SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA);
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getdents64, 2, 0),
#ifdef __NR_getdents
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getdents, 1, 0),
#else
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getdents64, 1, 0),
#endif
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, fail),
  };
  sock_fprog program = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A directory read that fails (EOVERFLOW: what a 32-bit build without
// large-file support gets from a file system with 64-bit directory offsets)
// is an error in the log and a failed discovery, never a phone without
// supplies whose level and voltage read as 0. Run in a child: the filter
// cannot be taken back.
TEST_F(BatteryTest, FailingDirectoryReadIsAnErrorNotAnEmptyTree) {
  write(root_, kFullTree);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (!fail_directory_reads(EOVERFLOW)) _exit(2);
    _exit(register_BatteryService() == -1 ? 0 : 1);
  }
  int status = -1;
  bool ended = wait_until([&] { return waitpid(child, &status, WNOHANG) == child; }, 10000);
  if (!ended) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
  }
  ASSERT_TRUE(ended && WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "seccomp filters are not available here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(root_.log_texts('E'), (Texts{"Could not read /sys/class/power_supply: Value too large for defined data type"}));
}

TEST_F(BatteryTest, IntegersFollowAtoiButSaturate) {
  const std::pair<std::string, int32_t> cases[] = {
      {"42\n", 42}, {" \t-7", -7}, {"+5", 5}, {"12abc", 12}, {"abc", 0}, {"", 0}, {"--3", 0},
      {"2147483648", INT32_MAX}, {"-2147483648", INT32_MIN}, {"-2147483649", INT32_MIN},
      {"99999999999999999999999", INT32_MAX}, {std::string(5000, '9'), INT32_MAX}};  // the last beyond the read buffer
  for (const auto& [text, value] : cases) {
    root_.write("/sys/n", text);
    EXPECT_EQ(ints(readIntFromFile("/sys/n"), parseSysfsInt(text.c_str())), ints(value, value)) << text.substr(0, 30);
  }
  EXPECT_EQ(readIntFromFile(nullptr), 0);
}

TEST_F(BatteryTest, StatusAndHealthWords) {
  // A negative code: unknown (1) and warned about; for health, -N names the warning "[N]".
  const struct { bool health; const char* text; int32_t code; } cases[] = {
      {0, "Charging", 2}, {0, "Not charging", 4}, {0, "Full", 5}, {0, "Discharging", 3}, {0, "Unknown", 1},
      {0, "Bogus", -1}, {0, "charging", -1}, {1, "Goodish", 2}, {1, "Dead", 4}, {1, "Overheat", 3},
      {1, "Over voltage", 5}, {1, "Unspecified failure", 6}, {1, "Unknown", 1}, {1, "Cold", 7},
      {1, "Over current", -1}, {1, "Unplugged", -1}, {1, "Colder", -1}, {1, "Warm", -2}};
  for (const auto& c : cases) {
    root_.clear_log();
    EXPECT_EQ((c.health ? parseBatteryHealth : parseBatteryStatus)(c.text), std::max(c.code, 1)) << c.text;
    std::string warning = c.health ? "Unknown battery health[" + std::to_string(-c.code) + "] '" : "Unknown battery status '";
    EXPECT_EQ(root_.log_texts(), c.code < 0 ? Texts{warning + c.text + "'"} : Texts{}) << c.text;
  }
}

// Each query logs its value once per change; the very first call logs even 0.
TEST_F(BatteryTest, LoggingQueriesReportOncePerChange) {
  int32_t (*const queries[])() = {getBatteryLevel, getBatteryStatus, getChargerVoltage, getBatteryHealth, getBatteryVoltage};
  const char* lines[] = {" Battery level : ", " Battery status : ", " Charger voltage : ", " Charger health : ", " Battery voltage : "};
  Texts expected;
  auto ask_twice = [&](const std::vector<int64_t>& values) {
    for (int i = 0; i < 10; ++i) EXPECT_EQ(queries[i % 5](), values[i % 5]) << i;
    for (int i = 0; i < 5; ++i) expected.push_back(lines[i] + std::to_string(values[i]));
  };
  ask_twice(ints(0, 0, 0, 0, 0));
  discover(root_, kFullTree);
  ask_twice(ints(50, 2, 5000, 2, 3800));
  write(root_, {{"battery", "capacity", "49"}, {"battery", "status", "Full"}, {"battery", "charge_now", "4700"},
                {"battery", "health", "Cold"}, {"battery", "voltage_now", "3712345"}});
  readBatteryState();
  ask_twice(ints(49, 5, 4700, 7, 3712));
  Texts logged = root_.log_texts('D');
  std::erase_if(logged, [](const std::string& t) { return t.find(" : ") == std::string::npos; });
  EXPECT_EQ(logged, expected);
}

// The battery holds 4980 mV ("yes" forces entry as "1" does). Offline logs the summary, once until a change.
TEST_F(BatteryTest, ForceEntryVoltageCapAndChargerOnlineRule) {
  const struct { const char *force, *show, *ac, *usb, *status; int32_t voltage; int online; } cases[] = {
      {"1", "5000", "0", "0", "Discharging", 4950, 1}, {"1", "6000", "0", "0", "", 4980, 1},
      {"yes", "4000", "0", "0", "", 3950, 1}, {"1", "-2147483648", "0", "0", "", INT32_MIN, 1},
      {"0", "5000", "1", "0", "Discharging", 4980, 1}, {"0", "5000", "0", "1", "Full", 4980, 1},
      {"0", "5000", "0", "0", "Unknown", 4980, 1}, {"0", "5000", "0", "0", "Charging", 4980, 1},
      {"0", "5000", "0", "0", "Discharging", 4980, 0}, {"0", "5000", "0", "0", "Full", 4980, 0},
      {"0", "5000", "0", "0", "", 4980, 0}};  // "": no status file
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.force) + " " + c.show + " " + c.ac + c.usb + c.status);
    DeviceRoot root;
    root.set_property("ro.lboot.force.entry", c.force);
    root.set_property("ro.lboot.vol.show", c.show);
    Files files = {{"ac", "type", "Mains"}, {"ac", "online", c.ac}, {"usb", "type", "USB"}, {"usb", "online", c.usb},
                   {"b", "type", "Battery"}, {"b", "voltage_now", "4980000"}};
    if (*c.status) files.push_back({"b", "status", c.status});
    fresh();
    discover(root, files);
    EXPECT_EQ(getBatteryVoltage(), c.voltage);
    EXPECT_EQ(root.log_count(" Battery voltage : 4980"), 1);  // the field, not the capped value
    EXPECT_EQ(ints(isChargerOnline(), isChargerOnline()), ints(c.online, c.online));
    EXPECT_EQ(summaries(root), 1 - c.online);
  }
}

const std::string kSupplyEvent =
    sim::uevent_datagram({"change@/devices/platform/charger/power_supply/battery", "SUBSYSTEM=power_supply"});

// Every test starts the thread. It is never joined: stop and wake it, so that
// it has ended before the next test.
class BatteryThreadTest : public BatteryTest {
 protected:
  void TearDown() override {
    stopBatteryThread();
    send(sim::uevent_datagram({"change@/devices/teardown"}));
    EXPECT_TRUE(wait_until([&] { return root_.log_contains("Battery thread exit."); }));
    BatteryTest::TearDown();
  }
  int start(const Files& files = kFullTree) {
    write(root_, files);
    int result = Battery::init();
    EXPECT_TRUE(wait_until([&] { return root_.exists("/dev/socket/uevent"); }));
    return result;
  }
  void send(const std::string& bytes) { EXPECT_EQ(root_.send_uevent(bytes, 2000), 0); }
  // Events are handled in order: once this one is logged, all before it are done.
  void sync() {
    std::string header = "change@/devices/sync" + std::to_string(++syncs_);
    send(sim::uevent_datagram({header}));
    ASSERT_TRUE(wait_until([&] { return root_.log_contains(" event : " + header); }));
  }
  // A power-supply event; the one message it produced (code, online, level), or -1s.
  std::vector<int64_t> post() {
    send(kSupplyEvent);
    sync();
    Message m = {-1, -1, -1};
    if (messageQueueCount() == 1) waitMessage(&m);
    return ints(m.code, m.arg1, m.arg2);
  }
  int syncs_ = 0;
};

TEST_F(BatteryThreadTest, ForeignEventsAndAFlood) {
  ASSERT_EQ(start(), 0);
  write(root_, {{"battery", "capacity", "40"}});
  std::string beyond_cut(2000, 'x');
  beyond_cut.replace(1015, 12, "power_supply");  // crosses the 1023-byte cut
  const std::string shapes[] = {sim::uevent_datagram({"add@/devices/virtual/input/input3"}), beyond_cut,
                                std::string(1023, 'y'),
                                sim::uevent_datagram({"change@/devices/soc/foo", "SUBSYSTEM=power_supply"}), ""};
  for (const std::string& e : shapes) send(e);
  sync();
  EXPECT_TRUE(root_.log_contains(" event : add@/devices/virtual/input/input3"));
  EXPECT_TRUE(root_.log_contains(" event : change@/devices/soc/foo"));
  EXPECT_EQ(ints(messageQueueCount(), getBatteryState().batteryLevel), ints(0, 50));  // nothing was re-read
  EXPECT_EQ(post(), ints(MSG_BATTERY, 1, 40));
  // A flood of every shape, re-read on the thread while this one queries (ThreadSanitizer checks
  // the sharing). (A post to a full queue is dropped: the queue's own test.)
  const BatteryState before = getBatteryState();
  int torn = 0;
  for (int i = 0; i < 2000; ++i) {
    send(i % 2 ? kSupplyEvent : shapes[i % 5]);
    torn += getBatteryState() == before ? 0 : 1;
    getBatteryLevel(), isChargerOnline(), clearBatteryStateLogged(), logBatteryState();
  }
  sync();  // the flood handled: the tear-down's event is not stuck behind it
  EXPECT_EQ(torn, 0);
}

TEST_F(BatteryThreadTest, EachFieldChangePostsOnceWithOneSummary) {
  ASSERT_EQ(start(), 0);
  write(root_, {{"battery", "voltage_now", "3800999"}});  // same millivolts: no change
  send(kSupplyEvent);
  sync();
  EXPECT_EQ(ints(messageQueueCount(), root_.log_count(" broadcast MSG_BATTERY")), ints(0, 0));
  // Applied in turn; each changes exactly one field.
  const struct { const char *supply, *attr, *text; int32_t online, level; } changes[] = {
      {"usb", "online", "1", 1, 50}, {"battery", "status", "Full", 1, 50}, {"battery", "health", "Overheat", 1, 50},
      {"battery", "present", "0", 1, 50}, {"battery", "capacity", "51", 1, 51}, {"battery", "voltage_now", "3801000", 1, 51},
      {"battery", "temp", "260", 1, 51}, {"battery", "technology", "LiPo", 1, 51}, {"battery", "charge_now", "4900", 1, 51},
      {"battery", "current_now", "-100", 1, 51}, {"battery", "is_adapt_completed", "0", 1, 51},
      {"ac", "online", "0", 1, 51}, {"usb", "online", "0", 0, 51}};
  for (const auto& c : changes) {
    SCOPED_TRACE(std::string(c.supply) + "/" + c.attr);
    root_.clear_log();
    write(root_, {{c.supply, c.attr, c.text}});
    EXPECT_EQ(post(), ints(MSG_BATTERY, c.online, c.level));
    // One summary even when isChargerOnline then finds no charger.
    EXPECT_EQ(ints(root_.log_count(" broadcast MSG_BATTERY"), summaries(root_)), ints(1, 1));
  }
  EXPECT_TRUE(root_.log_contains(" ac=0, usb=0, level=51, voltate=3801, chargevol=4900, batterycurrent=-100, status=5, "
                                 "health=3, present=0, temperature=260;"));
}

TEST_F(BatteryThreadTest, StopReturnsAtOnceAndNextEventEndsTheThread) {
  ASSERT_EQ(start(), 0);
  sync();  // the thread now waits in the channel
  root_.clear_log();
  auto before = std::chrono::steady_clock::now();
  stopBatteryThread();
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(500));
  stopBatteryThread();  // a second stop detaches nothing
  Texts lines;
  for (const std::string& l : root_.log_lines()) lines.push_back(l.substr(0, 2) + l.substr(l.find("): ") + 3));
  EXPECT_EQ(lines, (Texts{"W/Detach BatteryThread.", "D/JOIN BatteryThread.", "W/BatteryThread exit code 0.",
                          "W/Detach BatteryThread.", "D/JOIN BatteryThread.", "W/BatteryThread exit code 0."}));
  write(root_, {{"battery", "capacity", "12"}});
  send(kSupplyEvent);
  ASSERT_TRUE(wait_until([&] { return root_.log_contains("Battery thread exit."); }));
  EXPECT_TRUE(root_.log_contains(" event : change@/devices/platform/charger/power_supply/battery"));
  EXPECT_EQ(ints(messageQueueCount(), getBatteryState().batteryLevel), ints(0, 50));
}

TEST_F(BatteryThreadTest, WithoutPowerSupplyDirectoryThreadStillRuns) {
  EXPECT_EQ(start({}), -1);
  EXPECT_TRUE(root_.log_contains("Battery thread return -1"));
  send(kSupplyEvent);
  sync();
  // Re-reading without discovered paths reads and reports nothing.
  EXPECT_EQ(root_.log_texts('E'), (Texts{"Could not open /sys/class/power_supply", " register_BatteryService = -1"}));
  EXPECT_EQ(ints(messageQueueCount(), getBatteryState() == BatteryState{}), ints(0, 1));
}

}  // namespace
