// The system log, as the program uses it: a priority, the tag "lumo" and a
// printf format; one entry per call, its trailing newlines dropped.
// Safe from any thread: entries never interleave. No allocation.
// Host backend (dev/log/main under the device root, the standard-error
// mirror, test sinks): platform/host/host.h. Linux backend: "/dev/kmsg",
// "<N>lumo: TEXT" (platform/linux/kmsg_line.h).
#pragma once

#include <cstdarg>

namespace platform {

enum LogPriority { kLogDebug = 3, kLogInfo = 4, kLogWarn = 5, kLogError = 6 };

void log_print(int priority, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void log_vprint(int priority, const char* tag, const char* fmt, va_list args);

// Logs the formatted message followed by ": " and the text of `errnum`
// (trailing newlines of the message dropped first), as "%s: %s" with
// strerror would, but safe on any thread.
void log_errno(int priority, int errnum, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// The text of `errnum` in `buffer` (thread-safe strerror). Returns a pointer
// to the text, which may be `buffer` or a static string.
const char* errno_text(int errnum, char* buffer, unsigned long size);

}  // namespace platform

#define LUMO_LOG_TAG "lumo"
#define LOGD(...) ::platform::log_print(::platform::kLogDebug, LUMO_LOG_TAG, __VA_ARGS__)
#define LOGI(...) ::platform::log_print(::platform::kLogInfo, LUMO_LOG_TAG, __VA_ARGS__)
#define LOGW(...) ::platform::log_print(::platform::kLogWarn, LUMO_LOG_TAG, __VA_ARGS__)
#define LOGE(...) ::platform::log_print(::platform::kLogError, LUMO_LOG_TAG, __VA_ARGS__)
// LOGE(...) with ": <text of errno>" appended (errno read first).
#define LOGE_ERRNO(...) ::platform::log_errno(::platform::kLogError, errno, __VA_ARGS__)
