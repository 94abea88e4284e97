#include "platform/host/host_files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace platform::host {

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool replace_file(const char* path, const char* data, size_t len) {
  static std::atomic<unsigned> counter{0};
  char tmp[4300];
  int n = snprintf(tmp, sizeof(tmp), "%s.tmp.%d.%d.%u", path, static_cast<int>(getpid()),
                   static_cast<int>(gettid()), counter.fetch_add(1));
  if (n < 0 || static_cast<size_t>(n) >= sizeof(tmp)) return false;
  int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write_all(fd, data, len);
  close(fd);
  if (ok && rename(tmp, path) == 0) return true;
  unlink(tmp);
  return false;
}

}  // namespace platform::host
