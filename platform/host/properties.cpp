// Host backend of the property service: a store of files under the device
// root, shared by every process that uses the same root:
//   - key K lives in dev/__properties__/K, or in data/property/K when K begins
//     with "persist."; the file holds the value bytes, no newline;
//   - a write is atomic (temporary file + rename; for "ro." keys + link);
//   - a key beginning with "ro." can be set only while it does not exist;
//   - values longer than kPropValueMax - 1 (91) bytes are refused, and so are
//     keys with characters outside [A-Za-z0-9._:@-] or longer than 255.
#include "platform/properties.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/host.h"
#include "platform/host/host_files.h"
#include "platform/paths.h"

namespace platform {
namespace {

constexpr size_t kKeyMax = 255;

bool valid_key(const char* key) {
  if (key == nullptr || key[0] == '\0' || key[0] == '.') return false;
  size_t len = 0;
  for (const char* p = key; *p != '\0'; ++p, ++len) {
    if (len >= kKeyMax) return false;
    char c = *p;
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-' || c == ':' || c == '@';
    if (!ok) return false;
  }
  return true;
}

bool key_path(const char* key, char* out, size_t size) {
  char device_path[512];
  const char* dir = strncmp(key, "persist.", 8) == 0 ? "/data/property/" : "/dev/__properties__/";
  snprintf(device_path, sizeof(device_path), "%s%s", dir, key);
  return map_path(device_path, out, size);
}

}  // namespace

int property_get(const char* key, char* value, const char* default_value) {
  if (value == nullptr) return 0;
  value[0] = '\0';
  int len = 0;
  char path[4096];
  if (valid_key(key) && key_path(key, path, sizeof(path))) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ssize_t n = read(fd, value, kPropValueMax - 1);
      close(fd);
      if (n > 0) {
        value[n] = '\0';
        len = static_cast<int>(strlen(value));
      } else {
        value[0] = '\0';
      }
    }
  }
  if (len == 0 && default_value != nullptr) {
    size_t dlen = strnlen(default_value, kPropValueMax - 1);
    memcpy(value, default_value, dlen);
    value[dlen] = '\0';
    len = static_cast<int>(dlen);
  }
  return len;
}

int property_set(const char* key, const char* value) {
  if (!valid_key(key)) return -1;
  if (value == nullptr) value = "";
  size_t len = strlen(value);
  if (len > static_cast<size_t>(kPropValueMax - 1)) return -1;
  char path[4096];
  if (!key_path(key, path, sizeof(path))) return -1;
  if (make_parent_dirs(path) != 0) return -1;

  // A read-only key is set once: the file is linked into place only while
  // the key does not exist, one atomic step across processes.
  return host::install_file(path, value, len, strncmp(key, "ro.", 3) == 0) ? 0 : -1;
}

}  // namespace platform
