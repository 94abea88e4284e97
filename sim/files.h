// Small file helpers of the simulator: whole-file reads and writes on host
// paths, atomic replacement, directory trees, and the wall clock.
// Used by every part of lumo-sim on its single thread. Nothing here knows the
// device layout; sim/device.h does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Whole content of a file; nullopt when it cannot be read.
std::optional<std::string> read_file(const std::string& path);
// Replaces the file's content (creating it and its parent directories).
bool write_file(const std::string& path, const std::string& content);
// Replaces the file's content through a temporary file and rename(), so that a
// reader sees the old or the new content, never a mix.
bool write_file_atomic(const std::string& path, const std::string& content);
bool make_dirs(const std::string& dir);
bool make_parent_dirs(const std::string& path);
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);
// True for a directory with no entries besides "." and "..".
bool directory_is_empty(const std::string& dir);
// Removes a directory tree (without following symbolic links).
bool remove_tree(const std::string& dir);
bool copy_file(const std::string& from, const std::string& to);
// The file names in a directory (no "." or ".."), sorted.
std::vector<std::string> list_directory(const std::string& dir);
// An absolute, normalised form of `path` (the path need not exist).
std::string absolute_path(const std::string& path);
std::string join_path(const std::string& dir, const std::string& name);
std::string base_name(const std::string& path);

// Wall-clock milliseconds since the epoch (the program's clock).
int64_t wall_ms();
// Monotonic milliseconds, for deadlines.
int64_t monotonic_ms();
void sleep_ms(int ms);

// Parses a whole decimal integer (optional sign); false for anything else.
bool parse_int(const std::string& text, int64_t* out);
bool parse_int(const std::string& text, int* out);

// Strips trailing newlines and NUL bytes, as a sysfs reader would.
std::string trim_sysfs(const std::string& text);

}  // namespace sim
