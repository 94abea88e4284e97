// A small simulated phone for whole-program tests: a device root with
// chargers, battery, input node, screen and lights, and the program run in
// it as a child process that never outlives the test.
#pragma once

#include <string>
#include <sys/types.h>

#include "tests/support/device_root.h"

namespace lumo_test {

struct PhoneSpec {
  std::string startup_mode = "STARTMODE_CHGINS";
  int ac_online = 1;
  int usb_online = 0;
  std::string status = "Charging";
  std::string health = "Good";
  int level = 50;
  int voltage_mv = 3900;
  int charger_mv = 5000;
  bool alarm_device = true;
  bool lights = true;
};

// Writes the phone's files into `root`.
void make_phone(const DeviceRoot& root, const PhoneSpec& spec = PhoneSpec());

// Sets battery/charger files and sends a power-supply uevent to the program.
void send_uevent(const DeviceRoot& root, const std::string& devpath);
void set_supply(const DeviceRoot& root, const std::string& supply, const std::string& attr,
                const std::string& value);
// Writes a key event and a sync event into dev/input/event0.
void send_key(const DeviceRoot& root, int code, int value);

class ProgramRun {
 public:
  explicit ProgramRun(const DeviceRoot& root, bool with_root = true);
  ~ProgramRun();  // kills the program if it still runs
  ProgramRun(const ProgramRun&) = delete;
  ProgramRun& operator=(const ProgramRun&) = delete;

  // Waits for the program to end; its exit status, or -1 on time-out.
  int wait_exit(int timeout_ms);
  bool running();
  // Waits for a log line whose text equals `text`.
  bool wait_log(const std::string& text, int timeout_ms = 5000);
  const std::string& stderr_text();

 private:
  const DeviceRoot& root_;
  pid_t pid_ = -1;
  int status_ = -1;
  std::string stderr_path_;
  std::string stderr_;
};

}  // namespace lumo_test
