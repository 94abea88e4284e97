// Typed access to system properties and one-shot reads and writes of sysfs
// files. No state; safe from any thread. Device paths are mapped through the
// platform layer.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr int kPropertyValueMax = 92;      // buffer size incl. terminator
constexpr int kPropertyCopySize = 93;      // size of a propertyGetStringCopy block

// The numeric readers parse like "%d" / "%lld" (leading blanks, an optional
// sign, digits, anything after them ignored); a number outside the result's
// range counts as unparsable and gives the default, never a wrapped value.
int32_t propertyGetInt(const char* key, int32_t default_value);
int64_t propertyGetLongLong(const char* key, int64_t default_value);
int propertyGetBool(const char* key, int default_value);
// Fills `buffer` (at least kPropertyValueMax bytes, so that the longest value
// fits) and returns it, or returns nullptr when the property is unset/empty.
char* propertyGetString(const char* key, char* buffer);
// Like propertyGetString, for a buffer of `size` bytes: a longer value is cut
// to size - 1 characters.
char* propertyGetStringBounded(const char* key, char* buffer, size_t size);
// A new kPropertyCopySize-byte heap copy of the value, or of `default_value`
// when unset/empty; nullptr when both are missing or memory is short.
// The caller frees it with free().
char* propertyGetStringCopy(const char* key, const char* default_value);
// With a buffer: propertyGetString into it (the default is not used).
// Without: propertyGetStringCopy with the default.
char* propertyGetText(const char* key, const char* default_value, char* buffer);

int propertySetString(const char* key, const char* value);
int propertySetInt(const char* key, int32_t value);
int propertySetLongLong(const char* key, int64_t value);

// Reads the decimal number at *text as "%d" / "%lld" would (leading blanks,
// an optional sign, at least one digit) and moves *text past it. False, with
// *text unchanged, when there is no number or it lies outside [min, max].
bool scanDecimal(const char** text, int64_t min, int64_t max, int64_t* value);

// Writes `count` bytes to an existing file (never creates it). 0, or -1 for a
// null path, a file that cannot be opened or a write that fails.
int writeSysfsFile(const char* path, const void* data, size_t count);
// Reads at most size - 1 characters, cuts trailing newlines, terminates.
// Returns the characters kept (0 for an empty file), -1 for a null path or a
// file that cannot be opened.
int readSysfsFile(const char* path, char* buffer, size_t size);
