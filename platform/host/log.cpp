// Host backend of the Android log: dev/log/main under the device root.
#include "platform/log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

#include "platform/host/host.h"
#include "platform/paths.h"

namespace platform {
namespace {

std::mutex g_log_mutex;
// The log file stays open while the device root stays the same.
int g_log_fd = -1;
const char* g_log_root = nullptr;
std::atomic<LogSink> g_sink{nullptr};

char priority_letter(int priority) {
  switch (priority) {
    case kLogDebug: return 'D';
    case kLogInfo: return 'I';
    case kLogWarn: return 'W';
    case kLogError: return 'E';
    default: return priority < kLogDebug ? 'V' : 'F';
  }
}

// Mirrored when asked for, or when standard error is a terminal: a person
// who starts the program by hand sees why it stops.
bool stderr_mirror() {
  static const bool mirror = [] {
    const char* v = getenv("LUMO_LOG_STDERR");
    return (v != nullptr && strcmp(v, "1") == 0) || isatty(STDERR_FILENO) == 1;
  }();
  return mirror;
}

// Caller holds g_log_mutex.
int log_fd_locked() {
  const char* root = device_root();
  if (root == g_log_root && g_log_fd >= 0) return g_log_fd;
  if (g_log_fd >= 0) close(g_log_fd);
  g_log_fd = -1;
  g_log_root = root;
  char path[4096];
  if (!map_path("/dev/log/main", path, sizeof(path))) return -1;
  make_parent_dirs(path);
  g_log_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  return g_log_fd;
}

}  // namespace

void set_log_sink(LogSink sink) { g_sink.store(sink); }

void log_vprint(int priority, const char* tag, const char* fmt, va_list args) {
  char text[1024] = "";
  int n = fmt == nullptr ? 0 : vsnprintf(text, sizeof(text), fmt, args);
  size_t len = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof(text) ? n : sizeof(text) - 1);
  text[len] = '\0';
  while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) text[--len] = '\0';
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '\n' || text[i] == '\r') text[i] = ' ';
  }

  char line[1200];
  int m = snprintf(line, sizeof(line), "%c/%s(%d): %s\n", priority_letter(priority),
                   tag == nullptr ? "" : tag, static_cast<int>(getpid()), text);
  size_t line_len = m < 0 ? 0 : (static_cast<size_t>(m) < sizeof(line) ? m : sizeof(line) - 1);
  if (line_len > 0) line[line_len - 1] = '\n';

  std::lock_guard<std::mutex> lock(g_log_mutex);
  int fd = log_fd_locked();
  if (fd >= 0) {
    ssize_t ignored = write(fd, line, line_len);
    (void)ignored;
  }
  if (stderr_mirror()) {
    ssize_t ignored = write(STDERR_FILENO, line, line_len);
    (void)ignored;
  }
  if (LogSink sink = g_sink.load()) sink(priority, text);
}

}  // namespace platform
