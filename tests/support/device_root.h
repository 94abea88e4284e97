// A temporary device root for one test: made empty, installed as the
// program's device root, removed again at the end.
#pragma once

#include <string>
#include <vector>

namespace lumo_test {

class DeviceRoot {
 public:
  DeviceRoot();
  ~DeviceRoot();
  DeviceRoot(const DeviceRoot&) = delete;
  DeviceRoot& operator=(const DeviceRoot&) = delete;

  const std::string& dir() const { return dir_; }
  // Host path of a device path ("/sys/x" -> dir/sys/x).
  std::string path(const std::string& device_path) const;

  // Writes a file (parents made as needed), replacing its content.
  void write(const std::string& device_path, const std::string& content) const;
  void mkdir(const std::string& device_path) const;
  void mkfifo(const std::string& device_path) const;
  void remove(const std::string& device_path) const;
  bool exists(const std::string& device_path) const;
  // Whole content of a file, "" when it does not exist.
  std::string read(const std::string& device_path) const;

  // The log's lines with the "P/lumo(PID): " prefix kept.
  std::vector<std::string> log_lines() const;
  // The texts of the log's lines (prefix removed), optionally of one priority
  // letter ('D', 'I', 'W', 'E').
  std::vector<std::string> log_texts(char priority = 0) const;
  bool log_contains(const std::string& text) const;
  void clear_log() const;

  // A property as the store holds it; "" when unset.
  std::string property(const std::string& key) const;
  void set_property(const std::string& key, const std::string& value) const;

 private:
  std::string dir_;
};

// Polls `condition` every 5 ms until it holds or `timeout_ms` pass.
template <typename F>
bool wait_until(F condition, int timeout_ms = 3000);

}  // namespace lumo_test

#include "tests/support/wait_until.inl"
