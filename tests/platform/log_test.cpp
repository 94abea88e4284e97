// The host log: line format and whole lines from many threads.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "tests/support/device_root.h"

namespace {

using lumo_test::DeviceRoot;

TEST(Log, LineFormatPerPriority) {
  DeviceRoot root;
  LOGD(" ============================== ");
  LOGI("info %d", 4);
  LOGW("warn\n\n");
  LOGE("two\nlines\n");
  auto lines = root.log_lines();
  ASSERT_EQ(lines.size(), 4u);
  std::string pid = std::to_string(getpid());
  EXPECT_EQ(lines[0], "D/lumo(" + pid + "):  ============================== ");
  EXPECT_EQ(lines[1], "I/lumo(" + pid + "): info 4");
  EXPECT_EQ(lines[2], "W/lumo(" + pid + "): warn");
  EXPECT_EQ(lines[3], "E/lumo(" + pid + "): two lines");
}

TEST(Log, OverlongMessageIsCutToOneLine) {
  DeviceRoot root;
  std::string huge(5000, 'x');
  LOGE("%s", huge.c_str());
  auto lines = root.log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_LT(lines[0].size(), 1200u);
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
  auto texts = root.log_texts('D');
  ASSERT_EQ(texts.size(), static_cast<size_t>(kThreads * kLines));
  for (const auto& text : texts) {
    int thread = -1, line = -1, used = 0;
    ASSERT_EQ(sscanf(text.c_str(), "thread %d line %d %n", &thread, &line, &used), 2) << text;
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << text;
    EXPECT_EQ(text.substr(used), std::string(100, static_cast<char>('a' + thread))) << text;
  }
}

TEST(Log, FollowsTheDeviceRoot) {
  DeviceRoot first;
  LOGI("to first");
  {
    DeviceRoot second;
    LOGI("to second");
    EXPECT_EQ(second.log_texts(), std::vector<std::string>{"to second"});
  }
  EXPECT_EQ(first.log_texts(), std::vector<std::string>{"to first"});
}

}  // namespace
