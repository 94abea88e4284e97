// Internal to the host backend: writing the files that stand for device
// state. The one way to replace a file's content in place, and the one
// temporary-file scheme for atomic replacement (so that other processes, the
// simulator and tests, never read a torn file).
#pragma once

#include <cstddef>

namespace platform::host {

// write() until everything is written; false on an error.
bool write_all(int fd, const char* data, size_t len);

// Truncates the file at `path` (made when `create`) and writes `data`, as a
// sysfs attribute write replaces the whole value. False when it could not be
// done.
bool write_whole_file(const char* path, const char* data, size_t len, bool create);

// Writes `data` into a fresh temporary file beside `path` (unique per
// process and call) and moves it to `path`: renamed over it, or,
// when `keep_existing`, linked so that an existing file is left alone (then
// the call fails with EEXIST). False when it could not be done; the
// temporary file never stays behind.
bool install_file(const char* path, const char* data, size_t len, bool keep_existing);

// install_file(path, data, len, false).
inline bool replace_file(const char* path, const char* data, size_t len) {
  return install_file(path, data, len, false);
}

}  // namespace platform::host
