// Device paths.
//
// The program names every file and device by its path on the phone
// ("/sys/class/power_supply", "/dev/graphics/fb0"). map_path turns such a
// path into the file that stands for it on this platform. Thread-safe.
// Host backend: every path lies under the device root (platform/host/host.h);
// without a root no path maps, and a path with a ".." component never maps,
// so the host build cannot reach the real machine's files. The Linux backend
// maps each path to itself.
#pragma once

#include <cstddef>

namespace platform {

// Writes the file for `device_path` (absolute, "/x/y") into `out`. Returns
// false, with `out` empty, when the path does not map (not absolute, a ".."
// component, no root on the host, or the result does not fit).
bool map_path(const char* device_path, char* out, size_t out_size);

}  // namespace platform
