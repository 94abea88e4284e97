// Shared set-up of the fuzz targets: one temporary device root per process
// (lumo-sim's TempDir and device client), made on first use and removed at
// exit, and a fast file writer on it. The program's log goes to the root's
// dev/log/main; fuzz_trim_log keeps that file from growing over a long run.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/host/host.h"
#include "sim/device.h"

namespace lumo_fuzz {

// The device root, made and installed on first use. Aborts when it cannot
// be made: a target without its root would test nothing.
inline const sim::Device& fuzz_root() {
  static sim::TempDir dir;
  static const sim::Device device = [] {
    if (dir.dir().empty() || !platform::set_device_root(dir.dir().c_str())) abort();
    return sim::Device(dir.dir());
  }();
  return device;
}

// Replaces the file at `device_path` with `size` bytes (parents made).
inline void put_file(const std::string& device_path, const void* data, size_t size) {
  std::string path = fuzz_root().path(device_path);
  platform::make_parent_dirs(path.c_str());
  // Written over and then cut to size: truncating a file with data to zero
  // (as sim::write_file does) makes ext4 flush it at close, which would cost
  // milliseconds a run.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) abort();
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) abort();
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) abort();
  close(fd);
}

inline void put_text(const std::string& device_path, const std::string& text) {
  put_file(device_path, text.data(), text.size());
}

// Empties the log every few thousand inputs.
inline void fuzz_trim_log() {
  static unsigned runs = 0;
  if (++runs % 4096 == 0) truncate(fuzz_root().path("/dev/log/main").c_str(), 0);
}

}  // namespace lumo_fuzz
