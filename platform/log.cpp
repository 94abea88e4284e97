// The backend-independent half of the log: the variadic entry point and
// messages with an errno text; each backend writes the lines (log_vprint).
#include "platform/log.h"

#include <cstdio>
#include <cstring>

namespace platform {
namespace {

// strerror_r comes in two shapes (GNU: returns the text; XSI: fills the
// buffer and returns 0); both are thread-safe.
[[maybe_unused]] const char* pick_text(int rc, char* buffer) { return rc == 0 ? buffer : "Unknown error"; }
[[maybe_unused]] const char* pick_text(const char* text, char*) { return text; }

}  // namespace

const char* errno_text(int errnum, char* buffer, unsigned long size) {
  if (buffer == nullptr || size == 0) return "Unknown error";
  buffer[0] = '\0';
  return pick_text(strerror_r(errnum, buffer, size), buffer);
}

void log_print(int priority, const char* tag, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  log_vprint(priority, tag, fmt, args);
  va_end(args);
}

void log_errno(int priority, int errnum, const char* fmt, ...) {
  char message[900] = "";
  va_list args;
  va_start(args, fmt);
  int n = fmt == nullptr ? 0 : vsnprintf(message, sizeof(message), fmt, args);
  va_end(args);
  size_t len = n < 0 ? 0 : (static_cast<size_t>(n) < sizeof(message) ? n : sizeof(message) - 1);
  while (len > 0 && (message[len - 1] == '\n' || message[len - 1] == '\r')) --len;
  message[len] = '\0';
  char text[128];
  log_print(priority, LUMO_LOG_TAG, "%s: %s", message, errno_text(errnum, text, sizeof(text)));
}

}  // namespace platform
