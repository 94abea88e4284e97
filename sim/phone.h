// The phone a scenario is played on, as the runner sees it: the program's
// life, the kernel's part (power-supply files and uevents, input records),
// init's part and files, and what the program leaves behind (log, reboot
// lines, lights, screen, its own output). `HostPhone` plays it on a device
// root with lumoboot as a child process of lumo-sim; another kind of phone
// (a virtual one driven over its own channels) can implement the same steps.
// Single-threaded, like the runner.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/device.h"
#include "sim/files.h"
#include "sim/image.h"
#include "sim/process.h"

namespace sim {

// What the program holds of the machine: resident memory (all of it, and the
// anonymous part: heap and stacks, no code or mapped files), open
// descriptors, threads (-1: not known).
struct ProcessFigures {
  long long rss_kb = -1;
  long long anon_kb = -1;
  int fds = -1;
  int threads = -1;
};

// One input event record, before the phone encodes it in its native layout.
struct InputEvent {
  int type = 0;
  int code = 0;
  int value = 0;
};

class Phone {
 public:
  virtual ~Phone() = default;

  // Starts the program. `mode` is "" (the device root as usual),
  // "without-root" or "relative-root" (host checks of the root handling).
  virtual bool start(const std::string& mode, std::string* error) = 0;
  virtual void poll() = 0;  // notices an ended program without blocking
  virtual void stop() = 0;  // ends the program and everything it started
  virtual bool started() const = 0;
  virtual bool ended() const = 0;
  virtual int wait_status() const = 0;  // of an ended program, as waitpid gives it

  // The kernel: files first, then one uevent datagram (0 or the errno; never
  // waits); input records into the first input device (0, or ENXIO while the
  // program has not opened it, or another errno).
  virtual bool write_battery(const BatteryFields& fields) = 0;
  virtual bool set_charger(const std::string& supply, bool online) = 0;
  virtual int send_uevent(const std::string& datagram) = 0;
  virtual int write_input(const std::vector<InputEvent>& events) = 0;

  // init and the file system, by device path.
  // A property's value ("" when unset); nullopt when the phone cannot be
  // asked (a virtual phone that is down), so that no step reads "unset" then.
  virtual std::optional<std::string> property(const std::string& key) = 0;
  virtual bool set_property(const std::string& key, const std::string& value) = 0;
  virtual std::optional<std::string> read_file(const std::string& device_path) = 0;
  virtual bool write_file(const std::string& device_path, const std::string& content) = 0;
  virtual int remove_file(const std::string& device_path) = 0;  // 0 or errno; a missing file is 0

  // What the program left.
  virtual std::vector<std::string> log_lines() = 0;     // complete lines of the log
  virtual std::vector<std::string> reboot_lines() = 0;  // lines of the reboot record
  virtual std::string output() = 0;  // the program's standard output and error since the phone was made
  virtual uint32_t light_color(const std::string& light) = 0;
  virtual bool visible_page(Image* page, FrameInfo* info, std::string* error) = 0;
  virtual bool screenshot(Image* out, std::string* error) = 0;
  // Keeps what the session left in `out_dir` (the log as lumoboot.log).
  virtual void collect(const std::string& out_dir) = 0;
  // The running program's figures; false when the phone cannot tell.
  virtual bool process_figures(ProcessFigures*) { return false; }

  // Differences between kinds of phone. A phone whose kernel sends the
  // power-supply uevents itself gets none from the runner. `unsupported`
  // names a step word ("uevent", "input", a start mode) and says why this
  // phone cannot play it, "" when it can.
  virtual bool kernel_sends_uevents() const { return false; }
  virtual std::string unsupported(const std::string&) const { return ""; }
  // The phone's wall clock in ms (for "{now}" in texts the program compares
  // with its own clock).
  virtual int64_t clock_ms() { return wall_ms(); }
  // The real-time clock's present time and programmed alarm (seconds of its
  // clock) and whether the alarm is armed; false with a message where the
  // phone has no such clock.
  virtual bool rtc_alarm(int64_t*, int64_t*, bool*, std::string* error) {
    *error = "this phone has no real-time clock to read: expect alarm applies only in the virtual phone";
    return false;
  }
};

// The phone as a device root on this machine.
class HostPhone : public Phone {
 public:
  // `output_file` receives the program's standard output and error.
  HostPhone(const std::string& root, std::string program, std::string output_file);

  bool start(const std::string& mode, std::string* error) override;
  void poll() override { program_.poll(); }
  void stop() override { program_.stop(); }
  bool started() const override { return program_.started(); }
  bool ended() const override { return program_.ended(); }
  int wait_status() const override { return program_.status(); }

  bool write_battery(const BatteryFields& fields) override { return device_.write_battery(fields); }
  bool set_charger(const std::string& supply, bool online) override {
    return device_.set_charger(supply, online);
  }
  int send_uevent(const std::string& datagram) override { return device_.send_uevent(datagram, 0); }
  int write_input(const std::vector<InputEvent>& events) override;

  std::optional<std::string> property(const std::string& key) override { return device_.property(key); }
  bool set_property(const std::string& key, const std::string& value) override {
    return device_.set_property(key, value);
  }
  std::optional<std::string> read_file(const std::string& device_path) override;
  bool write_file(const std::string& device_path, const std::string& content) override {
    return device_.write(device_path, content);
  }
  int remove_file(const std::string& device_path) override;

  std::vector<std::string> log_lines() override { return device_.log_lines(); }
  std::vector<std::string> reboot_lines() override { return device_.reboot_lines(); }
  std::string output() override;
  uint32_t light_color(const std::string& light) override { return device_.light_color(light); }
  bool visible_page(Image* page, FrameInfo* info, std::string* error) override {
    return read_visible_page(device_, page, info, error);
  }
  bool screenshot(Image* out, std::string* error) override { return render_screenshot(device_, out, error); }
  void collect(const std::string& out_dir) override;
  bool process_figures(ProcessFigures* out) override;

 private:
  Device device_;
  std::string program_path_;
  std::string output_file_;
  size_t output_base_ = 0;
  ProgramProcess program_;
};

}  // namespace sim
