// Device paths.
//
// The program names every file and device by its path on the phone
// ("/sys/class/power_supply", "/dev/graphics/fb0"). This module maps such a
// path to the file that stands for it. The host backend places every path
// under the device root (LUMO_ROOT or set_device_root); without a root no path
// maps, so the host build can never touch the real machine's /sys or /dev.
// Thread-safe: the root may be read from any thread while tests change it.
#pragma once

#include <cstddef>

namespace platform {

// The device root, or nullptr when none is set. On first use the host backend
// takes it from the environment variable LUMO_ROOT.
const char* device_root();

// Replaces the device root (tests and the simulator). A relative directory
// is resolved against the working directory and must exist. Returns false for
// a null or empty one, or one that cannot be resolved. Earlier roots stay
// valid for readers that still hold them.
bool set_device_root(const char* dir);

// Writes the host file for `device_path` (absolute, "/x/y") into `out`.
// Returns false, with `out` empty, when no root is set, the path is not
// absolute or the result does not fit.
bool map_path(const char* device_path, char* out, size_t out_size);

// Creates every missing directory of the host path `host_path` up to its last
// component (that component itself is not created). Returns 0 or -1.
int make_parent_dirs(const char* host_path);

}  // namespace platform
