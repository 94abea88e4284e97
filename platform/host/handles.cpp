#include "platform/host/handles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "platform/paths.h"

namespace platform::host {
namespace {

struct OpenDevice {
  int fd = -1;
  char path[kHostPathMax] = {};
};

constexpr int kMaxOpenDevices = 16;
OpenDevice g_devices[kMaxOpenDevices];
std::mutex g_mutex;

}  // namespace

int open_device(const char* device_path) {
  char path[kHostPathMax];
  if (device_path == nullptr || !map_path(device_path, path, sizeof(path))) {
    errno = ENOENT;
    return -1;
  }
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  std::lock_guard<std::mutex> lock(g_mutex);
  for (OpenDevice& d : g_devices) {
    if (d.fd < 0) {
      d.fd = fd;
      snprintf(d.path, sizeof(d.path), "%s", path);
      return fd;
    }
  }
  close(fd);
  errno = EMFILE;
  return -1;
}

bool device_path_of(int handle, char* path) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (const OpenDevice& d : g_devices) {
    if (handle >= 0 && d.fd == handle) {
      memcpy(path, d.path, sizeof(d.path));
      return true;
    }
  }
  errno = EBADF;
  return false;
}

int close_device(int handle) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (OpenDevice& d : g_devices) {
      if (handle >= 0 && d.fd == handle) {
        d.fd = -1;
        d.path[0] = '\0';
        return close(handle);
      }
    }
  }
  errno = EBADF;
  return -1;
}

bool map_with_suffix(const char* device_path, const char* suffix, char* out, size_t size) {
  char path[kHostPathMax];
  if (!map_path(device_path, path, sizeof(path))) return false;
  int n = snprintf(out, size, "%s%s", path, suffix);
  return n > 0 && static_cast<size_t>(n) < size;
}

}  // namespace platform::host
