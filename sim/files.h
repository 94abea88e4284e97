// Small file helpers of the simulator: whole-file reads and writes on host
// paths, atomic replacement, directory trees, and the wall clock.
// Used by every part of lumo-sim on its single thread. Nothing here knows the
// device layout; sim/device.h does.
#pragma once

#include <unistd.h>

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

// The complete lines of `text` (a last line without its newline is still
// being written and is left out); `strip_cr` drops a '\r' before each
// newline (a serial console's line ends).
std::vector<std::string> complete_lines(const std::string& text, bool strip_cr = false);

// Strips trailing newlines and NUL bytes, as a sysfs reader would.
std::string trim_sysfs(const std::string& text);

// Owns one descriptor: closed on destruction; -1 is empty.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  void reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// A fresh folder under /tmp, removed with everything in it on destruction.
// `dir()` is "" when it could not be made.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& dir() const { return dir_; }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

// Tests `condition` every 5 ms until it holds (true) or `timeout_ms` pass
// (false); always tests at least once.
template <typename Condition>
bool wait_until(Condition condition, int timeout_ms = 3000) {
  int64_t deadline = monotonic_ms() + timeout_ms;
  while (!condition()) {
    if (monotonic_ms() > deadline) return false;
    sleep_ms(5);
  }
  return true;
}

}  // namespace sim
