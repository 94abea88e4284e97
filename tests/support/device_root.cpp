#include "tests/support/device_root.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/host/host.h"

namespace lumo_test {

DeviceRoot::DeviceRoot() : sim::Device(tmp.dir()) {
  EXPECT_FALSE(tmp.dir().empty());
  EXPECT_TRUE(platform::set_device_root(tmp.dir().c_str()));
}

void DeviceRoot::make_phone(const std::vector<std::string>& options) const {
  sim::DeviceOptions o;
  std::string error;
  EXPECT_TRUE(sim::parse_device_options(options, &o, &error) && sim::create_device(dir(), o, &error)) << error;
}

void DeviceRoot::write(const std::string& device_path, const std::string& content) const {
  EXPECT_TRUE(sim::Device::write(device_path, content)) << path(device_path);
}

void DeviceRoot::mkfifo(const std::string& device_path) const {
  EXPECT_TRUE(make_fifo(device_path)) << path(device_path);
}

int DeviceRoot::shown_yoffset() const {
  sim::FrameInfo info;
  std::string error;
  return sim::read_frame_info(*this, &info, &error) ? info.yoffset : -1;
}

void DeviceRoot::exit_child(int code) const {
  sim::remove_tree(dir());
  _exit(code);
}

}  // namespace lumo_test
