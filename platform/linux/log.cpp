// Linux backend of the log: "/dev/kmsg", one line "<N>lumo: TEXT" per entry
// (one write each), so that the program's lines show in the kernel log from
// early boot on. Without /dev/kmsg the same lines go to standard error.
// Note: kernels rate-limit /dev/kmsg writers unless booted with
// printk.devkmsg=on (README.md, "The Linux backend").
#include "platform/log.h"

#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "platform/linux/kmsg_line.h"

namespace platform {
namespace {

std::mutex g_log_mutex;
int g_kmsg_fd = -2;  // -2: not opened yet; -1: not available

// Caller holds g_log_mutex.
int kmsg_fd_locked() {
  if (g_kmsg_fd == -2) g_kmsg_fd = open("/dev/kmsg", O_WRONLY | O_CLOEXEC | O_NOCTTY);
  return g_kmsg_fd;
}

}  // namespace

void log_vprint(int priority, const char* tag, const char* fmt, va_list args) {
  char text[kernel::kKmsgLineMax];
  int n = vsnprintf(text, sizeof(text), fmt == nullptr ? "" : fmt, args);
  if (n < 0) text[0] = '\0';
  char line[kernel::kKmsgLineMax];
  size_t len = kernel::format_kmsg_line(priority, tag, text, line, sizeof(line));
  if (len == 0) return;

  std::lock_guard<std::mutex> lock(g_log_mutex);
  int fd = kmsg_fd_locked();
  if (fd < 0 || write(fd, line, len) < 0) {
    // Standard error gets the line without the kernel's level prefix.
    const char* body = line;
    while (*body != '\0' && *body != '>') ++body;
    if (*body == '>') ++body;
    ssize_t ignored = write(STDERR_FILENO, body, len - static_cast<size_t>(body - line));
    (void)ignored;
  }
}

}  // namespace platform
