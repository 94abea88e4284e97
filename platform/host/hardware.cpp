// Host backend of the legacy hardware library: sysfs-like files under the
// device root, and uevents as datagrams on a Unix socket the program binds.
#include "platform/hardware.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/paths.h"

namespace platform {
namespace {

// Replaces the whole content of a sysfs-like file, as sysfs does on a write.
int write_attribute(const char* device_path, const char* text) {
  char path[4096];
  if (!map_path(device_path, path, sizeof(path))) return -1;
  int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t len = strlen(text);
  ssize_t n = write(fd, text, len);
  close(fd);
  return n == static_cast<ssize_t>(len) ? 0 : -1;
}

std::atomic<int> g_uevent_fd{-1};

}  // namespace

int acquire_wake_lock(int /*lock*/, const char* id) {
  if (id == nullptr) return -1;
  return write_attribute("/sys/power/wake_lock", id);
}

int release_wake_lock(const char* id) {
  if (id == nullptr) return -1;
  return write_attribute("/sys/power/wake_unlock", id);
}

int set_screen_state(int on) { return write_attribute("/sys/power/state", on ? "on" : "mem"); }

int vibrator_on(int timeout_ms) {
  char text[16];
  snprintf(text, sizeof(text), "%d", timeout_ms);
  return write_attribute("/sys/class/timed_output/vibrator/enable", text);
}

int uevent_init() {
  char path[4096];
  if (!map_path("/dev/socket/uevent", path, sizeof(path))) return 0;
  make_parent_dirs(path);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  int size = 256 * 1024;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));

  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  int dir_fd = -1;
  if (strlen(path) < sizeof(addr.sun_path)) {
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path);
  } else {
    // A deep device root does not fit sun_path: bind through the directory's
    // descriptor instead.
    char dir[4096];
    snprintf(dir, sizeof(dir), "%s", path);
    *strrchr(dir, '/') = '\0';
    dir_fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    snprintf(addr.sun_path, sizeof(addr.sun_path), "/proc/self/fd/%d/uevent", dir_fd);
  }
  unlink(path);  // a socket file left by an earlier run
  int rc = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  if (dir_fd >= 0) close(dir_fd);
  if (rc != 0) {
    close(fd);
    return 0;
  }
  int old = g_uevent_fd.exchange(fd);
  if (old >= 0) close(old);
  return 1;
}

int uevent_next_event(char* buffer, int buffer_length) {
  int fd = g_uevent_fd.load();
  if (fd < 0 || buffer == nullptr || buffer_length <= 0) {
    // No channel: block like a quiet kernel rather than spin.
    pause();
    return 0;
  }
  for (;;) {
    ssize_t n = recv(fd, buffer, static_cast<size_t>(buffer_length), 0);
    if (n > 0) return static_cast<int>(n);
    if (n == 0) return 0;
    if (errno != EINTR) return 0;
  }
}

}  // namespace platform
