#include "sim/reset.h"

#include <cstring>

#include "sim/device.h"

namespace sim {

const char* const kRunProperties[] = {
    "ro.lumoboot.running", "ro.lboot.startup", "ro.lboot.batvol",   "ro.lboot.batlevel",
    "zelt.lumopower.startup", "sys.boot.android", "init.svc.bootanim", nullptr,
};

bool reset_phone(Phone* phone, std::string* error) {
  if (phone->started() && !phone->ended()) {
    *error = "lumoboot is running; stop it first";
    return false;
  }
  std::optional<std::string> marker = phone->read_file(std::string("/") + kDeviceMarker);
  if (!marker) {
    *error = "not a device root made by lumo-sim";
    return false;
  }
  DeviceOptions options;
  if (!parse_device_options(kept_device_args(*marker), &options, error)) {
    *error = "the phone's kept options are unreadable: " + *error;
    return false;
  }
  int failures = 0;
  for (const char* const* key = kRunProperties; *key != nullptr; ++key) {
    failures += phone->remove_file(Device::property_path(*key)) != 0;
  }
  for (const char* path : {"/dev/log/main", "/dev/reboot"}) failures += phone->remove_file(path) != 0;
  auto line = [](const std::string& text) { return text.empty() ? text : text + "\n"; };
  failures += !phone->write_file("/sys/power/startup_mode", line(options.startup));
  failures += !phone->write_file("/sys/power/app_boot", line(options.app_boot));
  for (const auto& [key, value] : options.properties) failures += !phone->set_property(key, value);
  if (failures > 0) {
    *error = "could not clear or restore " + std::to_string(failures) + " of the phone's files";
    return false;
  }
  return true;
}

}  // namespace sim
