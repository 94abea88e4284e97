// The system property service: property_get and property_set with the
// platform's semantics.
//
// Host backend (a store of files under the device root, shared by every
// process that uses the same root):
//   - key K lives in dev/__properties__/K, or in data/property/K when K begins
//     with "persist."; the file holds the value bytes, no newline;
//   - a write is atomic (temporary file + rename);
//   - a key beginning with "ro." can be set only while it does not exist;
//   - values longer than kPropValueMax - 1 (91) bytes are refused, and so are
//     keys with characters outside [A-Za-z0-9._:@-] or longer than 255.
// Thread-safe, no allocation.
#pragma once

namespace platform {

constexpr int kPropValueMax = 92;  // value bytes including the terminator

// Copies the value of `key` into `value` (kPropValueMax bytes) and returns its
// length. An unset or empty property copies `default_value` (when not null)
// and returns its length, or returns 0 with `value` empty.
int property_get(const char* key, char* value, const char* default_value);

// Sets `key` to `value`. Returns 0, or -1 when the service refuses.
int property_set(const char* key, const char* value);

}  // namespace platform
