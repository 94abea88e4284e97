#include "platform/property_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/owned.h"
#include "platform/properties.h"

namespace platform {
namespace {

constexpr size_t kKeyMax = 255;

bool key_path(const PropertyDirs& dirs, const char* key, char* out, size_t size) {
  const char* dir = strncmp(key, "persist.", 8) == 0 ? dirs.persist_dir : dirs.volatile_dir;
  if (dir == nullptr || dir[0] == '\0') return false;
  int n = snprintf(out, size, "%s/%s", dir, key);
  return n > 0 && static_cast<size_t>(n) < size;
}

// The stored value (at most kPropValueMax - 1 bytes), "" when unset.
int read_value(const char* path, char* value) {
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return 0;
  ssize_t n;
  do {
    n = read(fd.get(), value, kPropValueMax - 1);
  } while (n < 0 && errno == EINTR);
  value[n > 0 ? n : 0] = '\0';
  return static_cast<int>(strlen(value));
}

}  // namespace

bool property_key_valid(const char* key) {
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

int store_property_get(const PropertyDirs& dirs, const char* key, char* value, const char* default_value) {
  if (value == nullptr) return 0;
  value[0] = '\0';
  int len = 0;
  char path[4096];
  if (property_key_valid(key) && key_path(dirs, key, path, sizeof(path))) len = read_value(path, value);
  if (len == 0 && default_value != nullptr) {
    size_t dlen = strnlen(default_value, kPropValueMax - 1);
    memcpy(value, default_value, dlen);
    value[dlen] = '\0';
    len = static_cast<int>(dlen);
  }
  return len;
}

int store_property_set(const PropertyDirs& dirs, const char* key, const char* value) {
  if (!property_key_valid(key)) return -1;
  if (value == nullptr) value = "";
  size_t len = strlen(value);
  if (len > static_cast<size_t>(kPropValueMax - 1)) return -1;
  char path[4096];
  if (!key_path(dirs, key, path, sizeof(path))) return -1;
  if (dirs.make_parent_dirs != nullptr && dirs.make_parent_dirs(path) != 0) return -1;
  return install_file(path, value, len, strncmp(key, "ro.", 3) == 0) ? 0 : -1;
}

}  // namespace platform
