#include "config/properties.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/properties.h"

namespace {

// Reads a property for the numeric and boolean readers: the platform length,
// with the empty text as the platform default.
int readValue(const char* key, char (&value)[kPropertyValueMax]) {
  return platform::property_get(key, value, "");
}

// Opens a device path; -1 for a null path or a path that does not map.
int openDevicePath(const char* path, int flags) {
  char host[4096];
  if (!platform::map_path(path, host, sizeof(host))) return -1;
  return open(host, flags | O_CLOEXEC);
}

}  // namespace

bool scanDecimal(const char** text, int64_t min, int64_t max, int64_t* value) {
  const char* p = *text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p < '0' || *p > '9') return false;
  // The magnitude is gathered in 64 unsigned bits; a run of digits past
  // every limit only needs to stay past it.
  constexpr uint64_t kCeiling = static_cast<uint64_t>(INT64_MAX) + 1;
  uint64_t magnitude = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude > kCeiling / 10 ? kCeiling + 1 : magnitude * 10 + static_cast<uint64_t>(*p - '0');
    if (magnitude > kCeiling) magnitude = kCeiling + 1;
  }
  if (magnitude > (negative ? kCeiling : kCeiling - 1)) return false;
  int64_t number = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  if (number < min || number > max) return false;
  *value = number;
  *text = p;
  return true;
}

int32_t propertyGetInt(const char* key, int32_t default_value) {
  if (key == nullptr) return default_value;
  char value[kPropertyValueMax] = "";
  const char* text = value;
  int64_t result = 0;
  if (readValue(key, value) >= 1 && scanDecimal(&text, INT32_MIN, INT32_MAX, &result)) {
    return static_cast<int32_t>(result);
  }
  return default_value;
}

int64_t propertyGetLongLong(const char* key, int64_t default_value) {
  if (key == nullptr) return default_value;
  char value[kPropertyValueMax] = "";
  const char* text = value;
  int64_t result = 0;
  if (readValue(key, value) >= 1 && scanDecimal(&text, INT64_MIN, INT64_MAX, &result)) return result;
  return default_value;
}

int propertyGetBool(const char* key, int default_value) {
  if (key == nullptr) return default_value;
  char value[kPropertyValueMax] = "";
  int len = readValue(key, value);
  if (len == 0) return default_value;
  if (len == 1) {
    if (value[0] == '0' || value[0] == 'n') return 0;
    if (value[0] == '1' || value[0] == 'y') return 1;
    return default_value;
  }
  if (strcmp(value, "no") == 0 || strcmp(value, "false") == 0 || strcmp(value, "off") == 0) return 0;
  if (strcmp(value, "yes") == 0 || strcmp(value, "true") == 0 || strcmp(value, "on") == 0) return 1;
  return default_value;
}

char* propertyGetString(const char* key, char* buffer) {
  return propertyGetStringBounded(key, buffer, kPropertyValueMax);
}

char* propertyGetStringBounded(const char* key, char* buffer, size_t size) {
  if (key == nullptr || buffer == nullptr || size == 0) {
    // The caller's buffer may hold anything: print at most its size.
    const char* text = buffer == nullptr ? "NULL" : buffer;
    int len = buffer == nullptr ? 4 : static_cast<int>(strnlen(buffer, size));
    LOGE("Propertie \"%s\" = \"%.*s\"", key == nullptr ? "NULL" : key, len, text);
    return nullptr;
  }
  // The platform writes up to kPropertyValueMax bytes: read into a buffer of
  // that size and cut the value to the caller's.
  char value[kPropertyValueMax] = "";
  int len = platform::property_get(key, value, nullptr);
  size_t keep = strnlen(value, size - 1);
  memcpy(buffer, value, keep);
  buffer[keep] = '\0';
  if (len >= 1) {
    LOGW("Propertie \"%s\" = \"%s\"", key, buffer);
    return buffer;
  }
  LOGW("Propertie \"%s\" = NULL", key);
  return nullptr;
}

char* propertyGetStringCopy(const char* key, const char* default_value) {
  char value[kPropertyValueMax] = "";
  if (propertyGetString(key, value) == nullptr) {
    if (default_value == nullptr) return nullptr;
    snprintf(value, sizeof(value), "%s", default_value);
  }
  LOGW("Malloc %d for %s propertie.", kPropertyCopySize, key == nullptr ? "NULL" : key);
  char* copy = static_cast<char*>(malloc(kPropertyCopySize));
  if (copy == nullptr) return nullptr;
  snprintf(copy, kPropertyCopySize, "%s", value);
  return copy;
}

char* propertyGetText(const char* key, const char* default_value, char* buffer) {
  if (buffer != nullptr) return propertyGetString(key, buffer);
  return propertyGetStringCopy(key, default_value);
}

int propertySetString(const char* key, const char* value) {
  if (key == nullptr) return -1;
  return platform::property_set(key, value == nullptr ? "" : value);
}

int propertySetInt(const char* key, int32_t value) {
  char text[kPropertyValueMax];
  snprintf(text, sizeof(text), "%d", value);
  return propertySetString(key, text);
}

int propertySetLongLong(const char* key, int64_t value) {
  if (key == nullptr) return -1;
  char text[kPropertyValueMax];
  snprintf(text, sizeof(text), "%lld", static_cast<long long>(value));
  return platform::property_set(key, text);
}

int writeSysfsFile(const char* path, const void* data, size_t count) {
  if (path == nullptr) return -1;
  // O_TRUNC: an attribute write replaces the whole value, as sysfs does (the
  // kernel ignores the flag on real attributes; plain files need it).
  int fd = openDevicePath(path, O_RDWR | O_TRUNC);
  if (fd < 0) {
    LOGE("Could not open '%s'", path);
    return -1;
  }
  ssize_t written = write(fd, data, count);
  close(fd);
  if (written < 0) {
    LOGE("Could not write '%s'", path);
    return -1;
  }
  LOGE("write %s completed", path);
  return 0;
}

int readSysfsFile(const char* path, char* buffer, size_t size) {
  if (path == nullptr) return -1;
  if (buffer == nullptr || size == 0) return -1;
  int fd = openDevicePath(path, O_RDONLY);
  if (fd < 0) {
    LOGE("Could not open '%s'", path);
    return -1;
  }
  memset(buffer, 0, size);
  ssize_t n = read(fd, buffer, size);
  close(fd);
  if (n <= 0) {
    buffer[0] = '\0';
    return 0;
  }
  size_t kept = static_cast<size_t>(n) >= size ? size - 1 : static_cast<size_t>(n);
  while (kept > 0 && buffer[kept - 1] == '\n') --kept;
  buffer[kept] = '\0';
  return static_cast<int>(kept);
}
