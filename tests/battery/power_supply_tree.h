// Tests: fake power-supply trees under a device root, and a clean battery
// module around each test.
#pragma once

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <string>
#include <vector>

#include "battery/battery.h"
#include "config/settings.h"
#include "core/message_queue.h"
#include "tests/support/device_root.h"

namespace lumo_test {

inline const std::string kSupplyDir = "/sys/class/power_supply";

// Writes the attribute `name` of supply `supply`.
inline void write_attr(const DeviceRoot& root, const std::string& supply, const std::string& name,
                       const std::string& value) {
  root.write(kSupplyDir + "/" + supply + "/" + name, value);
}

// A phone on mains power: every attribute the monitor knows, with values
// that differ from zero so that a lost field shows.
inline void write_full_tree(const DeviceRoot& root) {
  write_attr(root, "ac", "type", "Mains\n");
  write_attr(root, "ac", "online", "1\n");
  write_attr(root, "usb", "type", "USB\n");
  write_attr(root, "usb", "online", "0\n");
  const std::pair<const char*, const char*> battery[] = {
      {"type", "Battery\n"},     {"status", "Charging\n"},   {"health", "Good\n"},
      {"present", "1\n"},        {"capacity", "50\n"},       {"voltage_now", "3800000\n"},
      {"temp", "250\n"},         {"technology", "Li-ion\n"}, {"charge_now", "5000\n"},
      {"current_now", "420\n"},  {"is_adapt_completed", "1\n"},
  };
  for (const auto& [name, value] : battery) write_attr(root, "battery", name, value);
}

// The supplies' names in the order the directory yields them.
inline std::vector<std::string> supply_order(const DeviceRoot& root) {
  std::vector<std::string> names;
  DIR* dir = opendir(root.path(kSupplyDir).c_str());
  if (dir == nullptr) return names;
  while (const dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  return names;
}

// The number of log texts equal to `text`.
inline int log_count(const DeviceRoot& root, const std::string& text) {
  auto texts = root.log_texts();
  return static_cast<int>(std::count(texts.begin(), texts.end(), text));
}

// Installs a fresh device root and forgets the module state of the battery
// monitor, the settings and the message queue.
class BatteryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    resetBatteryForTest();
    resetSettingsCache();
    messageQueueClear();
  }
  void TearDown() override { messageQueueClear(); }

  DeviceRoot root_;
};

}  // namespace lumo_test
