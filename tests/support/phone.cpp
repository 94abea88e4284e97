#include "tests/support/phone.h"
#include "tests/support/uevent.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace lumo_test {

void make_phone(const DeviceRoot& root, const PhoneSpec& spec) {
  const std::string ps = "/sys/class/power_supply/";
  root.write(ps + "ac/type", "Mains\n");
  root.write(ps + "ac/online", std::to_string(spec.ac_online) + "\n");
  root.write(ps + "usb/type", "USB\n");
  root.write(ps + "usb/online", std::to_string(spec.usb_online) + "\n");
  root.write(ps + "battery/type", "Battery\n");
  root.write(ps + "battery/status", spec.status + "\n");
  root.write(ps + "battery/health", spec.health + "\n");
  root.write(ps + "battery/present", "1\n");
  root.write(ps + "battery/capacity", std::to_string(spec.level) + "\n");
  root.write(ps + "battery/voltage_now", std::to_string(spec.voltage_mv * 1000) + "\n");
  root.write(ps + "battery/temp", "250\n");
  root.write(ps + "battery/technology", "Li-ion\n");
  root.write(ps + "battery/charge_now", std::to_string(spec.charger_mv) + "\n");
  root.write(ps + "battery/current_now", "500\n");
  root.write(ps + "battery/is_adapt_completed", "1\n");
  root.write("/sys/power/startup_mode", spec.startup_mode + "\n");
  for (const char* f : {"wake_lock", "wake_unlock", "state"}) root.write(std::string("/sys/power/") + f, "");
  root.write("/sys/class/timed_output/vibrator/enable", "0");
  for (const char* cpu : {"cpu0", "cpu1"}) {
    std::string d = std::string("/sys/devices/system/cpu/") + cpu;
    root.write(d + "/online", "1");
    root.write(d + "/cpufreq/scaling_governor", "interactive");
    root.write(d + "/cpufreq/ondemand/up_threshold", "80");
    root.write(d + "/cpufreq/scaling_min_freq", "96000");
  }
  root.mkfifo("/dev/input/event0");
  if (spec.alarm_device) root.write("/dev/alarm", "");
  if (spec.lights) {
    for (const char* l : {"backlight", "keyboard", "buttons", "battery", "notifications", "attention",
                          "bluetooth", "wifi"}) {
      root.mkdir(std::string("/sys/class/leds/") + l);
    }
  }
  root.write("/dev/graphics/fb0", std::string(480 * 800 * 2 * 2, '\0'));
  root.write("/dev/graphics/fb0.info", "xres=480\nyres=800\nbits_per_pixel=16\nyoffset=0\n");
  root.write("/dev/tty0", "");
  root.mkdir("/dev/log");
}

void set_supply(const DeviceRoot& root, const std::string& supply, const std::string& attr,
                const std::string& value) {
  root.write("/sys/class/power_supply/" + supply + "/" + attr, value + "\n");
}

void send_uevent(const DeviceRoot& root, const std::string& devpath) {
  std::string body = "ACTION=change";
  body.push_back('\0');
  send_uevent_to(root.path("/dev/socket/uevent"), uevent_text("change@" + devpath, body));
}

void send_key(const DeviceRoot& root, int code, int value) {
  int fd = open(root.path("/dev/input/event0").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return;
  input_event events[2] = {};
  events[0].type = EV_KEY;
  events[0].code = static_cast<uint16_t>(code);
  events[0].value = value;
  events[1].type = EV_SYN;
  ssize_t ignored = write(fd, events, sizeof(events));
  (void)ignored;
  close(fd);
}

ProgramRun::ProgramRun(const DeviceRoot& root, bool with_root) : root_(root) {
  stderr_path_ = root.dir() + ".stderr";
  pid_ = fork();
  if (pid_ == 0) {
    setpgid(0, 0);
    int err = open(stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err >= 0) dup2(err, STDERR_FILENO);
    if (with_root) {
      setenv("LUMO_ROOT", root.dir().c_str(), 1);
    } else {
      unsetenv("LUMO_ROOT");
    }
    unsetenv("LUMO_LOG_STDERR");
    execl(LUMOBOOT_BINARY, "lumoboot", static_cast<char*>(nullptr));
    _exit(127);
  }
}

ProgramRun::~ProgramRun() {
  if (pid_ > 0 && running()) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  // The program leaves with _exit, so a sanitizer in it cannot change its
  // exit status: its reports are looked for here instead.
  const std::string& err = stderr_text();
  for (const char* report : {"ThreadSanitizer", "AddressSanitizer", "LeakSanitizer", "runtime error:"}) {
    EXPECT_EQ(err.find(report), std::string::npos) << "lumoboot reported:\n" << err;
  }
  unlink(stderr_path_.c_str());
}

bool ProgramRun::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return false;
  }
  return r == 0;
}

int ProgramRun::wait_exit(int timeout_ms) {
  if (!wait_until([this] { return !running(); }, timeout_ms)) return -1;
  return status_;
}

bool ProgramRun::wait_log(const std::string& text, int timeout_ms) {
  return wait_until([&] { return root_.log_contains(text); }, timeout_ms);
}

const std::string& ProgramRun::stderr_text() {
  std::ifstream in(stderr_path_);
  std::stringstream ss;
  ss << in.rdbuf();
  stderr_ = ss.str();
  return stderr_;
}

}  // namespace lumo_test
