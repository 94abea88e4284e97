// The host log, property store and legacy hardware library: the rules other
// processes, tools and threads rely on.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/hardware.h"
#include "platform/log.h"
#include "platform/host/host.h"
#include "platform/paths.h"
#include "platform/properties.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;
using Texts = std::vector<std::string>;

TEST(Log, LineFormatAndCut) {
  DeviceRoot root;
  LOGD(" ============================== ");
  LOGI("info %d", 4);
  LOGW("warn\n\n");
  LOGE("two\nlines\n");
  LOGE("%s", std::string(5000, 'x').c_str());
  const std::string pid = "(" + std::to_string(getpid()) + "): ";
  Texts lines = root.log_lines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_LT(lines.back().size(), 1200u);  // cut, still one line
  lines.back().resize(pid.size() + 9);
  EXPECT_EQ(lines, (Texts{"D/lumo" + pid + " ============================== ", "I/lumo" + pid + "info 4",
                          "W/lumo" + pid + "warn", "E/lumo" + pid + "two lines", "E/lumo" + pid + "xxx"}));
}

TEST(Log, ThreadsNeverInterleave) {
  DeviceRoot root;
  constexpr int kThreads = 8, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) LOGD("thread %d line %d %s", t, i, std::string(100, 'a' + t).c_str());
    });
  }
  for (auto& th : threads) th.join();
  Texts texts = root.log_texts('D');
  ASSERT_EQ(texts.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& text : texts) {
    int thread = -1, line = -1, used = 0;
    ASSERT_EQ(sscanf(text.c_str(), "thread %d line %d %n", &thread, &line, &used), 2) << text;
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << text;
    EXPECT_EQ(text.substr(used), std::string(100, static_cast<char>('a' + thread))) << text;
  }
}

std::string get(const char* key, const char* def = nullptr) {
  char value[platform::kPropValueMax];
  int len = platform::property_get(key, value, def);
  EXPECT_EQ(len, static_cast<int>(strlen(value)));
  return value;
}

int set(const std::string& key, const std::string& value) { return platform::property_set(key.c_str(), value.c_str()); }

TEST(PropertyStore, FilesDefaultsAndLimits) {
  DeviceRoot root;
  ASSERT_EQ(set("sys.boot.android", "1"), 0);
  ASSERT_EQ(set("persist.sys.language", "en"), 0);
  EXPECT_EQ((Texts{root.read("/dev/__properties__/sys.boot.android"), root.read("/data/property/persist.sys.language"),
                   get("persist.sys.language")}), (Texts{"1", "en", "en"}));  // no newline
  EXPECT_FALSE(root.exists("/dev/__properties__/persist.sys.language"));
  // Unset or empty gives the default.
  EXPECT_EQ((Texts{get("a.b", "dflt"), get("a.b")}), (Texts{"dflt", ""}));
  ASSERT_EQ(set("a.b", ""), 0);
  EXPECT_EQ(get("a.b", "dflt"), "dflt");
  // 91 value bytes at most; a longer value stored by another tool is cut, not overrun.
  const std::string longest(91, 'v');
  EXPECT_EQ(set("k.len", longest), 0);
  EXPECT_EQ(set("k.len", longest + "w"), -1);
  EXPECT_EQ(get("k.len"), longest);
  root.write(root.property_path("k.big"), std::string(500, 'z'));  // past what init would store
  EXPECT_EQ(get("k.big"), std::string(91, 'z'));
}

TEST(PropertyStore, HostileKeysAreRefused) {
  DeviceRoot root;
  for (const char* key : {"", "../escape", "a/b", ".hidden", "sp ace", "nl\n"}) {
    EXPECT_EQ(set(key, "1"), -1) << key;
    EXPECT_EQ(get(key, "d"), "d") << key;
  }
  EXPECT_EQ(platform::property_set(nullptr, "1"), -1);
  EXPECT_EQ(set(std::string(256, 'k'), "1"), -1);
  EXPECT_FALSE(root.exists("/dev/escape"));
}

// Several processes share one store: a reader never sees a torn value, and
// of several writers of one read-only key exactly one wins (a key set once
// stays: Settings.MarkRunningGivesUpWhenRefused).
TEST(PropertyStore, SharedByProcesses) {
  DeviceRoot root;
  constexpr int kWriters = 4;
  ASSERT_EQ(set("shared.value", std::string(80, 'z')), 0);  // set before: an empty read is a torn one
  pid_t pids[kWriters];
  for (int i = 0; i < kWriters; ++i) {
    pids[i] = fork();
    ASSERT_GE(pids[i], 0);
    if (pids[i] == 0) {
      int won = set("ro.race", std::to_string(i)) == 0;
      for (int n = 0; n < 300; ++n) set("shared.value", std::string(80, static_cast<char>('a' + i)));
      _exit(won);
    }
  }
  for (int n = 0; n < 500; ++n) {
    std::string v = get("shared.value");
    ASSERT_TRUE(v.size() == 80u && v.find_first_not_of(v[0]) == std::string::npos) << v;
  }
  int winners = 0;
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    winners += WEXITSTATUS(status);
  }
  EXPECT_EQ(winners, 1);
  EXPECT_EQ(get("ro.race").size(), 1u);
}

// One writer serves every attribute, checked here on the vibrator's (the wake
// lock and screen state texts: key_wake_sleep.scn, the WakeLock and Lights tests).
TEST(HardwareAttributes, WriteReplacesContentAndNeverCreatesFiles) {
  DeviceRoot root;
  const std::string enable = "/sys/class/timed_output/vibrator/enable";
  root.mkdir("/sys/class/timed_output/vibrator");
  EXPECT_EQ(platform::vibrator_on(150), -1);  // a phone without that file
  EXPECT_FALSE(root.exists(enable));
  root.write(enable, "previous content that is longer");
  EXPECT_EQ(platform::vibrator_on(150), 0);
  EXPECT_EQ(root.read(enable), "150");
  EXPECT_EQ(platform::acquire_wake_lock(platform::kPartialWakeLock, nullptr), -1);
  EXPECT_EQ(platform::release_wake_lock(nullptr), -1);
}

struct Received {
  std::atomic<bool> done{false};
  int length = -1;
  char buffer[1024] = {};  // zeroed; 1023 usable, as the battery thread does
};

// Receives on a helper thread, so that a channel that never delivers fails the
// test instead of hanging it; the result outlives a failed test.
std::shared_ptr<Received> receive() {
  auto r = std::make_shared<Received>();
  std::thread([r] { r->length = platform::uevent_next_event(r->buffer, 1023), r->done = true; }).detach();
  return lumo_test::wait_until([&] { return r->done.load(); }) ? r : nullptr;
}

// Opens the channel under `dir` (a host path) and checks that it is a socket there.
void open_channel(const std::string& dir) {
  struct stat st = {};
  ASSERT_EQ(platform::uevent_init(), 1);
  ASSERT_TRUE(stat((dir + "/dev/socket/uevent").c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
}

TEST(UeventChannel, DeliversDatagramsWholeCutOrEmpty) {
  DeviceRoot root;
  open_channel(root.dir());
  const std::string event("change@/devices/power_supply/battery\0SUBSYSTEM=power_supply\0", 59);
  const std::pair<std::string, std::string> cases[] = {
      {event, event},                                    // embedded NULs kept
      {"", ""},                                          // nothing received: 0
      {std::string(1023, 'a'), std::string(1023, 'a')},  // exactly fills, no NUL
      {std::string(4000, 'b'), std::string(1023, 'b')},  // cut; the rest dropped
      {"after", "after"}};                               // boundaries kept
  for (const auto& [sent, expected] : cases) ASSERT_EQ(root.send_uevent(sent, 2000), 0);
  for (const auto& [sent, expected] : cases) {
    auto r = receive();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->length, static_cast<int>(expected.size()));
    EXPECT_EQ(std::string(r->buffer, std::max(r->length, 0)), expected);
    EXPECT_EQ(r->buffer[1023], '\0');
  }
}

// Reopening moves the channel to a new root, over a stale file, also where the
// path is too long for a socket address.
TEST(UeventChannel, ReopenMovesToNewRootOverStaleFileAndLongPath) {
  DeviceRoot first;
  open_channel(first.dir());
  DeviceRoot second;
  const std::string deep = second.dir() + "/" + std::string(120, 'd') + "/" + std::string(60, 'e');
  second.write(deep.substr(second.dir().size()) + "/dev/socket/uevent", "left by an earlier run");
  ASSERT_TRUE(platform::set_device_root(deep.c_str()));
  open_channel(deep);
  first.send_uevent("old@/a", 2000);  // nobody listens
  ASSERT_EQ(sim::send_datagram(deep + "/dev/socket/uevent", "new@/deep", 2000), 0);
  auto r = receive();
  ASSERT_NE(r, nullptr);
  EXPECT_STREQ(r->buffer, "new@/deep");
}

}  // namespace
