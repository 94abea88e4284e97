// A temporary device root for one test: made empty, installed as the
// program's device root in this process, removed again at the end. File,
// property, log and screen access come from lumo-sim's device client.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/files.h"

namespace lumo_test {

using sim::wait_until;

// The folder is made before the Device that names it (bases in order).
struct TempRootFolder {
  sim::TempDir tmp;
};

class DeviceRoot : private TempRootFolder, public sim::Device {
 public:
  DeviceRoot();
  DeviceRoot(const DeviceRoot&) = delete;
  DeviceRoot& operator=(const DeviceRoot&) = delete;

  const std::string& dir() const { return root(); }
  // Lays out a whole phone as `lumo-sim create` does, with its create options.
  void make_phone(const std::vector<std::string>& options = {}) const;
  // Writes a file (parents made), failing the test when it cannot.
  void write(const std::string& device_path, const std::string& content) const;
  void mkdir(const std::string& device_path) const { EXPECT_TRUE(make_dir(device_path)) << path(device_path); }
  void mkfifo(const std::string& device_path) const;
  void remove(const std::string& device_path) const { sim::Device::remove(device_path); }
  void clear_log() const { write("/dev/log/main", ""); }
  // The yoffset the screen information shows, -1 when unreadable.
  int shown_yoffset() const;
  // Ends a forked child that made this root: `_exit` runs no destructors,
  // so the folder is removed here first.
  [[noreturn]] void exit_child(int code) const;
};

}  // namespace lumo_test
