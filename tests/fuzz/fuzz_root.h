// Shared set-up of the fuzz targets: one temporary device root per process,
// made on first use and removed at exit, and small file helpers on it. The
// program's log goes to the root's dev/log/main; fuzz_trim_log keeps that
// file from growing over a long run.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/host/host.h"

namespace lumo_fuzz {

inline int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  ::remove(path);
  return 0;
}

inline std::string& root_dir() {
  static std::string dir;
  return dir;
}

inline void remove_root() {
  if (!root_dir().empty()) nftw(root_dir().c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

// The device root, made and installed on first use. Aborts when it cannot
// be made: a target without its root would test nothing.
inline const std::string& fuzz_root() {
  if (root_dir().empty()) {
    char templ[] = "/tmp/lumo-fuzz-XXXXXX";
    if (mkdtemp(templ) == nullptr || !platform::set_device_root(templ)) abort();
    root_dir() = templ;
    atexit(remove_root);
  }
  return root_dir();
}

inline std::string host_path(const std::string& device_path) { return fuzz_root() + device_path; }

// Replaces the file at `device_path` with `size` bytes (parents made).
inline void put_file(const std::string& device_path, const void* data, size_t size) {
  std::string path = host_path(device_path);
  platform::make_parent_dirs(path.c_str());
  // Written over and then cut to size: truncating a file with data to zero
  // makes ext4 flush it at close, which would cost milliseconds a run.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) abort();
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) abort();
  close(fd);
}

inline void put_text(const std::string& device_path, const std::string& text) {
  put_file(device_path, text.data(), text.size());
}

// The whole file at `device_path`, or "" when it cannot be read.
inline std::string read_text(const std::string& device_path) {
  std::string text;
  if (FILE* f = fopen(host_path(device_path).c_str(), "rb")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof(buf), f)) > 0;) text.append(buf, n);
    fclose(f);
  }
  return text;
}

// Empties the log every few thousand inputs.
inline void fuzz_trim_log() {
  static unsigned runs = 0;
  if (++runs % 4096 == 0) truncate(host_path("/dev/log/main").c_str(), 0);
}

}  // namespace lumo_fuzz
