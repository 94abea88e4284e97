// Linux backend of the legacy hardware library: wake locks, screen power and
// the vibrator in sysfs (what the kernel offers is found once, see
// sysfs_layout.h), and the kernel's uevents on a netlink socket.
#include "platform/hardware.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/netlink.h>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/display.h"
#include "platform/files.h"
#include "platform/linux/sysfs_layout.h"
#include "platform/linux/uevent_message.h"
#include "platform/log.h"

namespace platform {
namespace {

constexpr const char* kRoot = "";  // the machine's own sysfs
constexpr int kUeventBufferBytes = 2 * 1024 * 1024;
constexpr useconds_t kRecvErrorBackoffUs = 100 * 1000;
constexpr const char* kVibratorLed = "/sys/class/leds/vibrator";

int write_attribute(const char* path, const char* text) {
  return write_whole_file(path, text, strlen(text), false) ? 0 : -1;
}

int write_led_attribute(const char* name, const char* text) {
  char path[128];
  snprintf(path, sizeof(path), "%s/%s", kVibratorLed, name);
  return write_attribute(path, text);
}

bool wake_locks_present() {
  static const bool present = kernel::has_wake_lock_files(kRoot);
  return present;
}

kernel::VibratorKind vibrator_kind() {
  static const kernel::VibratorKind kind = [] {
    kernel::VibratorKind found = kernel::find_vibrator(kRoot);
    if (found == kernel::VibratorKind::kNone) LOGW("vibrator: none found (timed_output or a transient LED)");
    if (found == kernel::VibratorKind::kTransientLed && write_led_attribute("trigger", "transient") != 0) {
      LOGW("vibrator: the transient trigger could not be set");
      found = kernel::VibratorKind::kNone;
    }
    return found;
  }();
  return kind;
}

// Kernels without early suspend: "mem" would suspend the whole phone, so the
// screen is blanked instead.
int blank_display(bool blank) {
  DisplayHandle display(display_open());
  if (!display) return -1;
  return display_blank(display.get(), blank);
}

std::atomic<int> g_uevent_fd{-1};
std::mutex g_uevent_mutex;
std::atomic<bool> g_foreign_logged{false};

// One message; its length when the kernel sent it, 0 to drop it, -1 on an
// error (errno kept).
ssize_t next_kernel_uevent(int fd, char* buffer, int buffer_length) {
  kernel::UeventVerdict verdict = kernel::UeventVerdict::kMalformed;
  long n = kernel::receive_uevent(fd, buffer, static_cast<size_t>(buffer_length), &verdict);
  if (n < 0) return -1;
  if (verdict == kernel::UeventVerdict::kNotFromKernel && !g_foreign_logged.exchange(true)) {
    LOGW("uevent: dropped a message that the kernel did not send");
  }
  return verdict == kernel::UeventVerdict::kAccept ? n : 0;
}

}  // namespace

int acquire_wake_lock(int /*lock*/, const char* id) {
  if (id == nullptr) return -1;
  // Without the wake-lock files the kernel does not suspend on its own:
  // there is nothing to hold.
  if (!wake_locks_present()) return 0;
  return write_attribute("/sys/power/wake_lock", id);
}

int release_wake_lock(const char* id) {
  if (id == nullptr) return -1;
  if (!wake_locks_present()) return 0;
  return write_attribute("/sys/power/wake_unlock", id);
}

int set_screen_state(int on) {
  static const bool early_suspend = kernel::has_early_suspend(kRoot);
  if (early_suspend) return write_attribute("/sys/power/state", on ? "on" : "mem");
  return blank_display(on == 0);
}

int vibrator_on(int timeout_ms) {
  char text[16];
  snprintf(text, sizeof(text), "%d", timeout_ms > 0 ? timeout_ms : 0);
  switch (vibrator_kind()) {
    case kernel::VibratorKind::kTimedOutput:
      return write_attribute("/sys/class/timed_output/vibrator/enable", text);
    case kernel::VibratorKind::kTransientLed:
      if (timeout_ms <= 0) return write_led_attribute("activate", "0");
      if (write_led_attribute("duration", text) != 0 || write_led_attribute("state", "1") != 0) return -1;
      return write_led_attribute("activate", "1");
    default:
      errno = ENODEV;
      return -1;
  }
}

int uevent_init() {
  std::lock_guard<std::mutex> lock(g_uevent_mutex);
  if (g_uevent_fd.load() >= 0) return 1;
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return 0;
  // A burst of uevents (a charger plugged at boot) must not overflow the
  // queue; the forced size needs CAP_NET_ADMIN, the plain one is capped.
  int size = kUeventBufferBytes;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
  int on = 1;
  sockaddr_nl addr = {};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = 1;  // the kernel's uevent group
  if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof(on)) != 0 ||
      bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return 0;
  }
  g_uevent_fd.store(fd);
  return 1;
}

int uevent_next_event(char* buffer, int buffer_length) {
  int fd = g_uevent_fd.load();
  if (fd < 0 || buffer == nullptr || buffer_length <= 0) {
    pause();  // no channel: block like a quiet kernel rather than spin
    return 0;
  }
  for (;;) {
    ssize_t n = next_kernel_uevent(fd, buffer, buffer_length);
    if (n > 0) return static_cast<int>(n);
    if (n == 0 || errno == EINTR) continue;
    if (errno == ENOBUFS) {
      // The queue overflowed: events were lost, the next ones still come.
      LOGW("uevent: receive queue overflowed, events lost");
      continue;
    }
    usleep(kRecvErrorBackoffUs);  // a lasting error must not make the caller spin
    return 0;
  }
}

}  // namespace platform
