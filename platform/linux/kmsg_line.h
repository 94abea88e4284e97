// Log entries as kernel log lines: "<N>lumo: TEXT\n", written to /dev/kmsg
// with one write each, so that early-boot lines show in the kernel log.
// Pure: formats into the caller's buffer (the Linux log calls it; tests
// check the lines).
#pragma once

#include <cstddef>

namespace platform::kernel {

// The kernel's level for a log priority: debug 7, info 6, warning 4, error 3
// (anything lower than debug is debug, anything higher than error is
// critical, 2).
int kmsg_level(int priority);

// Writes "<N>TAG: TEXT\n" into `out` and returns its length (without the
// terminator, which is written too). Trailing newlines of `text` are dropped
// and newlines inside it become blanks, so that an entry stays one line; a
// text that does not fit is cut, the line still ending with "\n". `size`
// must leave room for the prefix and the newline (at least 64 bytes);
// returns 0 otherwise.
size_t format_kmsg_line(int priority, const char* tag, const char* text, char* out, size_t size);

// The largest line /dev/kmsg takes in one write (the kernel refuses longer
// ones with EINVAL).
constexpr size_t kKmsgLineMax = 976;

}  // namespace platform::kernel
