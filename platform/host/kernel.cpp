// Host backend of the kernel devices: opens device nodes under the device
// root, remembers what each descriptor stands for and routes its requests to
// the emulated device. Also reboot and sync, which never act on the host.
#include "platform/kernel.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/host_devices.h"
#include "platform/paths.h"

namespace platform {
namespace {

using host::DeviceKind;

struct OpenDevice {
  int fd = -1;
  DeviceKind kind = DeviceKind::kOther;
  char path[4096] = {};
};

constexpr int kMaxOpenDevices = 32;
OpenDevice g_devices[kMaxOpenDevices];
std::mutex g_devices_mutex;

DeviceKind kind_of(const char* device_path) {
  if (strncmp(device_path, "/dev/graphics/fb", 16) == 0) return DeviceKind::kFramebuffer;
  if (strncmp(device_path, "/dev/tty", 8) == 0) return DeviceKind::kConsole;
  if (strcmp(device_path, "/dev/alarm") == 0) return DeviceKind::kAlarm;
  if (strncmp(device_path, "/dev/input/", 11) == 0) return DeviceKind::kInput;
  return DeviceKind::kOther;
}

// Looks up a descriptor; copies its entry so that no lock is held while the
// emulated device works.
bool find_device(int fd, OpenDevice* out) {
  std::lock_guard<std::mutex> lock(g_devices_mutex);
  for (const OpenDevice& d : g_devices) {
    if (d.fd == fd && fd >= 0) {
      *out = d;
      return true;
    }
  }
  return false;
}

}  // namespace

int dev_open(const char* device_path, int flags) {
  char path[4096];
  if (device_path == nullptr || !map_path(device_path, path, sizeof(path))) {
    errno = ENOENT;
    return -1;
  }
  DeviceKind kind = kind_of(device_path);
  int fd;
  struct stat st;
  if (kind == DeviceKind::kInput && stat(path, &st) == 0 && S_ISFIFO(st.st_mode)) {
    // Opened for writing too, so that a FIFO without a writer neither blocks
    // the open nor reports hang-up to poll.
    fd = open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  } else {
    fd = open(path, (flags & ~O_CREAT) | O_CLOEXEC);
  }
  if (fd < 0) return -1;
  {
    std::lock_guard<std::mutex> lock(g_devices_mutex);
    for (OpenDevice& d : g_devices) {
      if (d.fd < 0) {
        d.fd = fd;
        d.kind = kind;
        snprintf(d.path, sizeof(d.path), "%s", path);
        break;
      }
    }
  }
  if (kind == DeviceKind::kAlarm) host::alarm_opened(fd, path);
  return fd;
}

int dev_close(int fd) {
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  DeviceKind kind = DeviceKind::kOther;
  {
    std::lock_guard<std::mutex> lock(g_devices_mutex);
    for (OpenDevice& d : g_devices) {
      if (d.fd == fd) {
        kind = d.kind;
        d.fd = -1;
        d.path[0] = '\0';
      }
    }
  }
  if (kind == DeviceKind::kAlarm) host::alarm_closed(fd);
  return close(fd);
}

int dev_ioctl(int fd, unsigned long request, void* arg) {
  OpenDevice d;
  if (!find_device(fd, &d)) {
    errno = EBADF;
    return -1;
  }
  switch (d.kind) {
    case DeviceKind::kFramebuffer: return host::fb_ioctl(fd, d.path, request, arg);
    case DeviceKind::kConsole: return host::console_ioctl(fd, d.path, request, arg);
    case DeviceKind::kAlarm: return host::alarm_ioctl(fd, d.path, request, arg);
    default: errno = ENOTTY; return -1;
  }
}

void* dev_mmap(int fd, size_t length, int prot, int flags) {
  OpenDevice d;
  if (!find_device(fd, &d)) {
    errno = EBADF;
    return MAP_FAILED;
  }
  if (d.kind == DeviceKind::kFramebuffer) {
    // The pixel file may be shorter than the memory the screen information
    // announces; pages past its end would fault, so it grows first.
    struct stat st;
    if (fstat(fd, &st) != 0) return MAP_FAILED;
    if (static_cast<size_t>(st.st_size) < length && ftruncate(fd, static_cast<off_t>(length)) != 0) {
      return MAP_FAILED;
    }
  }
  return mmap(nullptr, length, prot, flags, fd, 0);
}

int dev_munmap(void* addr, size_t length) { return munmap(addr, length); }

int dev_reboot(unsigned cmd, const char* reason) {
  char line[256];
  if (cmd == kRebootPowerOff) {
    snprintf(line, sizeof(line), "power_off\n");
  } else if (cmd == kRebootRestart2 && reason != nullptr) {
    snprintf(line, sizeof(line), "restart %s\n", reason);
  } else if (cmd == kRebootRestart || cmd == kRebootRestart2) {
    snprintf(line, sizeof(line), "restart\n");
  } else {
    errno = EINVAL;
    return -1;
  }
  size_t len = strlen(line);
  if (len > 0 && line[len - 1] != '\n') line[len - 1] = '\n';  // cut reason

  char path[4096];
  if (!map_path("/dev/reboot", path, sizeof(path))) {
    errno = EPERM;
    return -1;
  }
  make_parent_dirs(path);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd >= 0) {
    ssize_t ignored = write(fd, line, len);
    (void)ignored;
    fsync(fd);
    close(fd);
  }
  char refuse[4096];
  if (map_path("/dev/reboot.refuse", refuse, sizeof(refuse)) && access(refuse, F_OK) == 0) {
    errno = EPERM;
    return -1;
  }
  _exit(0);  // the phone goes down: nothing after this runs
}

void sync_filesystems() {
  const char* root = device_root();
  if (root == nullptr) return;
  int fd = open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  syncfs(fd);
  close(fd);
}

}  // namespace platform
