// Whole-file reads and writes for the backends (not for the program's
// modules, which go through config/): the one way to replace a file's content
// in place (a sysfs attribute), the one temporary-file scheme for atomic
// replacement (so that other processes never read a torn file: the host's
// device state, the property store), and the one small-file read.
// Thread-safe, no allocation.
#pragma once

#include <cstddef>

namespace platform {

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

// Reads at most `size` - 1 bytes of the file at `path` into `buffer` and
// terminates them. The length read, or -1 with errno (the buffer then holds
// "").
int read_small_file(const char* path, char* buffer, size_t size);

// Creates the directory `dir` and every missing one above it (mode 0755).
// 0, or -1 with errno (an existing non-directory in the way: ENOTDIR).
int make_directories(const char* dir);

}  // namespace platform
