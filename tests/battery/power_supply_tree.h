// Tests: fake power-supply trees under a device root, and a clean battery
// module, settings cache and message queue around each test.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "battery/battery.h"
#include "config/settings.h"
#include "core/message_queue.h"
#include "tests/support/device_root.h"

namespace lumo_test {

inline void write_attr(const DeviceRoot& root, const std::string& supply, const std::string& name,
                       const std::string& value) {
  root.write("/sys/class/power_supply/" + supply + "/" + name, value);
}

// A phone on mains power with every attribute the monitor knows, all values
// non-zero where they can be, so that a field lost on the way shows.
inline void write_full_tree(const DeviceRoot& root) {
  const char* files[][3] = {
      {"ac", "type", "Mains\n"},         {"ac", "online", "1\n"},
      {"usb", "type", "USB\n"},          {"usb", "online", "0\n"},
      {"battery", "type", "Battery\n"},  {"battery", "status", "Charging\n"},
      {"battery", "health", "Good\n"},   {"battery", "present", "1\n"},
      {"battery", "capacity", "50\n"},   {"battery", "voltage_now", "3800000\n"},
      {"battery", "temp", "250\n"},      {"battery", "technology", "Li-ion\n"},
      {"battery", "charge_now", "5000"}, {"battery", "current_now", "420\n"},
      {"battery", "is_adapt_completed", "1\n"},
  };
  for (const auto& f : files) write_attr(root, f[0], f[1], f[2]);
}

inline int log_count(const DeviceRoot& root, const std::string& text) {
  auto texts = root.log_texts();
  return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

inline int summary_count(const DeviceRoot& root) {
  int n = 0;
  for (const std::string& t : root.log_texts('D')) n += t.rfind(" ac=", 0) == 0;
  return n;
}

// Of two supplies, the one the directory yields later.
inline std::string later_supply(const DeviceRoot& root, const std::string& a, const std::string& b) {
  DIR* dir = opendir(root.path("/sys/class/power_supply").c_str());
  std::string last;
  while (const dirent* e = dir ? readdir(dir) : nullptr) {
    if (e->d_name == a || e->d_name == b) last = e->d_name;
  }
  if (dir) closedir(dir);
  return last;
}

class BatteryTest : public ::testing::Test {
 protected:
  void SetUp() override { fresh(); }
  void TearDown() override { messageQueueClear(); }
  static void fresh() {
    resetBatteryForTest();
    resetSettingsCache();
    messageQueueClear();
  }
  DeviceRoot root_;
};

}  // namespace lumo_test
