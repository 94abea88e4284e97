// Host backend of the legacy hardware library: sysfs-like files under the
// device root, and uevents as datagrams on a Unix socket the program binds:
//   - acquire_wake_lock / release_wake_lock write the lock name to
//     sys/power/wake_lock / sys/power/wake_unlock;
//   - set_screen_state writes "on" or "mem" to sys/power/state;
//   - vibrator_on writes the duration in ms to
//     sys/class/timed_output/vibrator/enable;
//   - uevent_init binds a Unix datagram socket at dev/socket/uevent; each
//     datagram is one uevent (NUL-separated texts, the first "ACTION@DEVPATH").
#include "platform/hardware.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/host/host.h"
#include "platform/owned.h"
#include "platform/paths.h"

namespace platform {
namespace {

// Replaces the whole content of a sysfs-like file, as sysfs does on a write.
int write_attribute(const char* device_path, const char* text) {
  char path[4096];
  if (!map_path(device_path, path, sizeof(path))) return -1;
  return write_whole_file(path, text, strlen(text), false) ? 0 : -1;
}

// The uevent channel's descriptor: -1 until the first uevent_init, then the
// same number for the rest of the process (later inits replace the socket
// behind it).
std::atomic<int> g_uevent_fd{-1};
std::mutex g_uevent_mutex;
constexpr useconds_t kRecvErrorBackoffUs = 100 * 1000;

// Binds `fd` at the host path `path`, replacing a socket file left by an
// earlier run. A deep device root does not fit sun_path: then the socket is
// bound through a descriptor of its directory.
bool bind_at(int fd, const char* path) {
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  UniqueFd dir_fd;
  if (strlen(path) < sizeof(addr.sun_path)) {
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path);
  } else {
    char dir[4096];
    snprintf(dir, sizeof(dir), "%s", path);
    char* slash = strrchr(dir, '/');
    if (slash == nullptr) return false;
    *slash = '\0';
    dir_fd.reset(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd) return false;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "/proc/self/fd/%d/%s", dir_fd.get(), slash + 1);
  }
  unlink(path);
  return bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

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
  UniqueFd fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!fd) return 0;
  int size = 256 * 1024;
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  if (!bind_at(fd.get(), path)) return 0;
  std::lock_guard<std::mutex> lock(g_uevent_mutex);
  int current = g_uevent_fd.load();
  if (current < 0) {
    g_uevent_fd.store(fd.release());
    return 1;
  }
  // Reopened (a new device root): the new socket takes over the descriptor
  // number in one step, so a reader that has just loaded the number never
  // sees it closed or given to another file. A reader already blocked on the
  // old socket stays there; nothing can reach that socket any more.
  return dup3(fd.get(), current, O_CLOEXEC) == current ? 1 : 0;
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
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    // The caller calls again at once; a lasting error must not make it spin.
    usleep(kRecvErrorBackoffUs);
    return 0;
  }
}

}  // namespace platform
