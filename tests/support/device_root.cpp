#include "tests/support/device_root.h"

#include <cstdlib>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/paths.h"

namespace lumo_test {
namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

}  // namespace

DeviceRoot::DeviceRoot() {
  char templ[] = "/tmp/lumo-test-XXXXXX";
  const char* made = mkdtemp(templ);
  EXPECT_NE(made, nullptr);
  dir_ = made == nullptr ? "/nonexistent-lumo-root" : made;
  EXPECT_TRUE(platform::set_device_root(dir_.c_str()));
}

DeviceRoot::~DeviceRoot() { nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }

std::string DeviceRoot::path(const std::string& device_path) const { return dir_ + device_path; }

void DeviceRoot::write(const std::string& device_path, const std::string& content) const {
  std::string p = path(device_path);
  platform::make_parent_dirs(p.c_str());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << content;
  EXPECT_TRUE(out.good()) << p;
}

void DeviceRoot::mkdir(const std::string& device_path) const {
  std::string p = path(device_path) + "/x";
  platform::make_parent_dirs(p.c_str());
}

void DeviceRoot::mkfifo(const std::string& device_path) const {
  std::string p = path(device_path);
  platform::make_parent_dirs(p.c_str());
  EXPECT_EQ(::mkfifo(p.c_str(), 0644), 0) << p;
}

void DeviceRoot::remove(const std::string& device_path) const { ::remove(path(device_path).c_str()); }

bool DeviceRoot::exists(const std::string& device_path) const {
  return access(path(device_path).c_str(), F_OK) == 0;
}

std::string DeviceRoot::read(const std::string& device_path) const {
  std::ifstream in(path(device_path), std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::vector<std::string> DeviceRoot::log_lines() const {
  std::vector<std::string> lines;
  std::istringstream in(read("/dev/log/main"));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> DeviceRoot::log_texts(char priority) const {
  std::vector<std::string> texts;
  for (const std::string& line : log_lines()) {
    if (priority != 0 && (line.empty() || line[0] != priority)) continue;
    size_t colon = line.find("): ");
    texts.push_back(colon == std::string::npos ? line : line.substr(colon + 3));
  }
  return texts;
}

bool DeviceRoot::log_contains(const std::string& text) const {
  for (const std::string& t : log_texts()) {
    if (t == text) return true;
  }
  return false;
}

void DeviceRoot::clear_log() const { write("/dev/log/main", ""); }

std::string DeviceRoot::property(const std::string& key) const {
  std::string dir = key.rfind("persist.", 0) == 0 ? "/data/property/" : "/dev/__properties__/";
  return read(dir + key);
}

void DeviceRoot::set_property(const std::string& key, const std::string& value) const {
  std::string dir = key.rfind("persist.", 0) == 0 ? "/data/property/" : "/dev/__properties__/";
  write(dir + key, value);
}

}  // namespace lumo_test
