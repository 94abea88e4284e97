// Linux backend of the device paths: every path is the machine's own.
#include "platform/paths.h"

#include <cstdio>

namespace platform {

bool map_path(const char* device_path, char* out, size_t out_size) {
  if (out == nullptr || out_size == 0) return false;
  out[0] = '\0';
  if (device_path == nullptr || device_path[0] != '/') return false;
  int n = snprintf(out, out_size, "%s", device_path);
  if (n < 0 || static_cast<size_t>(n) >= out_size) {
    out[0] = '\0';
    return false;
  }
  return true;
}

}  // namespace platform
