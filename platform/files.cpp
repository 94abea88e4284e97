#include "platform/files.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/owned.h"

namespace platform {

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

int read_small_file(const char* path, char* buffer, size_t size) {
  if (buffer == nullptr || size == 0) {
    errno = EINVAL;
    return -1;
  }
  buffer[0] = '\0';
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return -1;
  size_t used = 0;
  while (used + 1 < size) {
    ssize_t n = read(fd.get(), buffer + used, size - 1 - used);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      buffer[0] = '\0';
      return -1;
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  buffer[used] = '\0';
  return static_cast<int>(used);
}

int make_directories(const char* dir) {
  char path[4096];
  int n = snprintf(path, sizeof(path), "%s", dir == nullptr ? "" : dir);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof(path)) {
    errno = n <= 0 ? EINVAL : ENAMETOOLONG;
    return -1;
  }
  // Each prefix ending before a '/', then the whole path.
  for (char* p = path + 1;; ++p) {
    if (*p != '/' && *p != '\0') continue;
    char saved = *p;
    *p = '\0';
    struct stat st;
    if (mkdir(path, 0755) != 0 && errno != EEXIST) return -1;
    if (stat(path, &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
      errno = ENOTDIR;
      return -1;
    }
    *p = saved;
    if (saved == '\0') return 0;
  }
}

}  // namespace platform
