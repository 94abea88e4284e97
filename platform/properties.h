// The system property service: property_get and property_set with the
// platform's semantics.
//
// Backends: the file store of platform/property_store.h, under the device
// root (platform/host/) or in directories chosen at build time
// (platform/linux/).
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
