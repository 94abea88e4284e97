#include "platform/host/host_files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "platform/owned.h"

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

bool write_whole_file(const char* path, const char* data, size_t len, bool create) {
  int flags = O_WRONLY | O_TRUNC | O_CLOEXEC | (create ? O_CREAT : 0);
  UniqueFd fd(open(path, flags, 0644));
  return fd && write_all(fd.get(), data, len);
}

bool install_file(const char* path, const char* data, size_t len, bool keep_existing) {
  static std::atomic<unsigned> counter{0};
  char tmp[4300];
  // The process id and a process-wide counter: unique across threads and
  // processes (a forked child has its own id).
  int n = snprintf(tmp, sizeof(tmp), "%s.tmp.%d.%u", path, static_cast<int>(getpid()), counter.fetch_add(1));
  if (n < 0 || static_cast<size_t>(n) >= sizeof(tmp)) return false;
  UniqueFd fd(open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd) return false;
  bool ok = write_all(fd.get(), data, len);
  ok = close(fd.release()) == 0 && ok;
  if (ok && !keep_existing && rename(tmp, path) == 0) return true;  // the temporary name is gone
  ok = ok && keep_existing && link(tmp, path) == 0;
  int saved = errno;
  unlink(tmp);
  errno = saved;
  return ok;
}

}  // namespace platform::host
