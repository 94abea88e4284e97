// The Android log, as the program uses it: a priority, the tag "lumo" and a
// printf format. The host backend appends one line per entry to
// dev/log/main under the device root, "P/lumo(PID): TEXT" with P one of
// D, I, W, E and TEXT the formatted message without its trailing newlines
// (a newline inside the text becomes a blank, so an entry stays one line).
// With LUMO_LOG_STDERR=1 each line is also written to standard error.
// Safe from any thread: each entry is written with a single write() under a
// lock, so lines never interleave. No allocation.
#pragma once

#include <cstdarg>

namespace platform {

enum LogPriority { kLogDebug = 3, kLogInfo = 4, kLogWarn = 5, kLogError = 6 };

void log_print(int priority, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));
void log_vprint(int priority, const char* tag, const char* fmt, va_list args);

// Tests: every entry is also handed to `sink` (nullptr removes it). The sink
// runs under the log lock with the bare text.
using LogSink = void (*)(int priority, const char* text);
void set_log_sink(LogSink sink);

}  // namespace platform

#define LUMO_LOG_TAG "lumo"
#define LOGD(...) ::platform::log_print(::platform::kLogDebug, LUMO_LOG_TAG, __VA_ARGS__)
#define LOGI(...) ::platform::log_print(::platform::kLogInfo, LUMO_LOG_TAG, __VA_ARGS__)
#define LOGW(...) ::platform::log_print(::platform::kLogWarn, LUMO_LOG_TAG, __VA_ARGS__)
#define LOGE(...) ::platform::log_print(::platform::kLogError, LUMO_LOG_TAG, __VA_ARGS__)
