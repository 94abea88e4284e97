// The file store behind property_get and property_set, shared by the
// backends: one file per key, content = the value bytes (no newline), kept in
// one directory for keys that begin with "persist." and in another for the
// rest. Every process that uses the same directories shares the store.
//   - a write is atomic (temporary file + rename);
//   - a key beginning with "ro." is set only while it does not exist (the
//     file is linked into place: one atomic step across processes);
//   - values longer than kPropValueMax - 1 (91) bytes are refused, and so are
//     keys with characters outside [A-Za-z0-9._:@-], a leading dot, or more
//     than 255 characters;
//   - a file longer than 91 bytes reads as its first 91.
// The backends differ only in the directories (host: dev/__properties__ and
// data/property under the device root; Linux: directories chosen at build
// time). Thread-safe, no allocation.
#pragma once

#include <cstddef>

namespace platform {

struct PropertyDirs {
  const char* volatile_dir;  // keys that do not begin with "persist."
  const char* persist_dir;   // keys that begin with "persist."
  // Makes the missing directories above the file `path`; 0 or -1.
  int (*make_parent_dirs)(const char* path);
};

bool property_key_valid(const char* key);

// property_get and property_set (platform/properties.h) on the store in `dirs`.
int store_property_get(const PropertyDirs& dirs, const char* key, char* value, const char* default_value);
int store_property_set(const PropertyDirs& dirs, const char* key, const char* value);

}  // namespace platform
