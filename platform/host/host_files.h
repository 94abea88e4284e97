// Internal to the host backend: writing the files that stand for device
// state, so that other processes (the simulator, tests) never read a torn one.
#pragma once

#include <cstddef>

namespace platform::host {

// write() until everything is written; false on an error.
bool write_all(int fd, const char* data, size_t len);

// Replaces the file at `path` with `data` atomically: a temporary file (unique
// per process and thread) renamed over it. False when it could not be done.
bool replace_file(const char* path, const char* data, size_t len);

}  // namespace platform::host
