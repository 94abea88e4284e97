// The host property store: the rules other processes and tools rely on.
#include <gtest/gtest.h>

#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/properties.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;

std::string get(const char* key, const char* def = nullptr) {
  char value[platform::kPropValueMax];
  int len = platform::property_get(key, value, def);
  EXPECT_EQ(len, static_cast<int>(strlen(value)));
  return value;
}

TEST(PropertyStore, KeysLiveInTheirFilesWithoutNewline) {
  DeviceRoot root;
  ASSERT_EQ(platform::property_set("sys.boot.android", "1"), 0);
  ASSERT_EQ(platform::property_set("persist.sys.language", "en"), 0);
  EXPECT_EQ(root.read("/dev/__properties__/sys.boot.android"), "1");
  EXPECT_EQ(root.read("/data/property/persist.sys.language"), "en");
  EXPECT_FALSE(root.exists("/dev/__properties__/persist.sys.language"));
  EXPECT_EQ(get("persist.sys.language"), "en");
}

TEST(PropertyStore, UnsetOrEmptyGivesTheDefault) {
  DeviceRoot root;
  EXPECT_EQ(get("a.b", "dflt"), "dflt");
  EXPECT_EQ(get("a.b"), "");
  ASSERT_EQ(platform::property_set("a.b", ""), 0);
  EXPECT_EQ(get("a.b", "dflt"), "dflt");
  ASSERT_EQ(platform::property_set("a.b", "x"), 0);
  EXPECT_EQ(get("a.b", "dflt"), "x");
}

TEST(PropertyStore, ValueLengthLimit) {
  DeviceRoot root;
  std::string longest(91, 'v');
  EXPECT_EQ(platform::property_set("k.len", longest.c_str()), 0);
  EXPECT_EQ(get("k.len"), longest);
  EXPECT_EQ(platform::property_set("k.len", (longest + "w").c_str()), -1);
  EXPECT_EQ(get("k.len"), longest);
}

TEST(PropertyStore, OverlongStoredValueIsCutNotOverrun) {
  DeviceRoot root;
  root.set_property("k.big", std::string(500, 'z'));
  EXPECT_EQ(get("k.big"), std::string(91, 'z'));
}

TEST(PropertyStore, ReadOnlyKeysAreSetOnce) {
  DeviceRoot root;
  EXPECT_EQ(platform::property_set("ro.x", "1"), 0);
  EXPECT_EQ(platform::property_set("ro.x", "2"), -1);
  EXPECT_EQ(platform::property_set("ro.x", "1"), -1);
  EXPECT_EQ(get("ro.x"), "1");
}

TEST(PropertyStore, HostileKeysAreRefused) {
  DeviceRoot root;
  for (const char* key : {"", "../escape", "a/b", ".hidden", "sp ace", "nl\n"}) {
    EXPECT_EQ(platform::property_set(key, "1"), -1) << key;
    EXPECT_EQ(get(key, "d"), "d") << key;
  }
  EXPECT_EQ(platform::property_set(nullptr, "1"), -1);
  EXPECT_EQ(platform::property_set(std::string(256, 'k').c_str(), "1"), -1);
  EXPECT_FALSE(root.exists("/dev/escape"));
}

// Several processes share one store: a reader never sees a torn value, and
// of several writers of one read-only key exactly one wins.
TEST(PropertyStore, SharedByProcesses) {
  DeviceRoot root;
  constexpr int kWriters = 4;
  pid_t pids[kWriters];
  for (int i = 0; i < kWriters; ++i) {
    pids[i] = fork();
    ASSERT_GE(pids[i], 0);
    if (pids[i] == 0) {
      std::string mine(80, static_cast<char>('a' + i));
      int won = platform::property_set("ro.race", std::to_string(i).c_str()) == 0;
      for (int n = 0; n < 300; ++n) platform::property_set("shared.value", mine.c_str());
      _exit(won);
    }
  }
  for (int n = 0; n < 500; ++n) {
    std::string v = get("shared.value");
    if (v.empty()) continue;
    ASSERT_EQ(v.size(), 80u);
    ASSERT_EQ(v.find_first_not_of(v[0]), std::string::npos) << v;
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

}  // namespace
