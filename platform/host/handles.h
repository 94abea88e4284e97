// Internal to the host backend: the host file behind each open handle of a
// device service (display, console, alarm). A handle is the descriptor of
// that file; the table remembers its path so that the emulation can reach the
// files beside it (fb0.info, tty0.mode, alarm.armed). Thread-safe.
#pragma once

#include <cstddef>

namespace platform::host {

constexpr size_t kHostPathMax = 4096;

// Opens the host file of `device_path` (O_RDWR) and remembers it. The
// descriptor, or -1 with errno (ENOENT when the path does not map, EMFILE
// when the table is full).
int open_device(const char* device_path);
// Copies the host path of `handle` into `path` (kHostPathMax bytes); false,
// with errno EBADF, for a handle that is not open.
bool device_path_of(int handle, char* path);
// Forgets and closes `handle`; -1 with errno EBADF when it is not open.
int close_device(int handle);

// Maps `device_path` and writes "<host path><suffix>" into `out`; false when
// it does not map or fit.
bool map_with_suffix(const char* device_path, const char* suffix, char* out, size_t size);

}  // namespace platform::host
