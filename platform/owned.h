// Owners of the process's system resources: descriptors, memory mappings and
// directory streams. Each owner releases what it holds when it goes out of
// scope or is reset; an empty owner (-1, null) releases nothing, so
// destroying, resetting or moving from an owner is safe any number of times.
// Used by every module that opens, maps or lists something, and by the
// backends. No allocation; not shared between threads (hand a raw value over
// with release() when another thread must own it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <dirent.h>
#include <memory>
#include <unistd.h>

namespace platform {

inline int close_descriptor(int fd) { return ::close(fd); }

// A descriptor (or a backend's handle number) released by `Close`.
template <int (*Close)(int)>
class Handle {
 public:
  Handle() = default;
  explicit Handle(int fd) : fd_(fd) {}
  ~Handle() { reset(); }
  Handle(Handle&& other) noexcept : fd_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Gives the value up without releasing it.
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Releases the held value (if any) and holds `fd` instead.
  void reset(int fd = -1) {
    int old = fd_;
    fd_ = fd;
    if (old >= 0) Close(old);
  }

 private:
  int fd_ = -1;
};

using UniqueFd = Handle<close_descriptor>;

// A memory mapping, unmapped when the owner lets go of it.
class Mapping {
 public:
  Mapping() = default;
  Mapping(void* address, size_t size) : address_(static_cast<uint8_t*>(address)), size_(size) {}
  ~Mapping() { reset(); }
  Mapping(Mapping&& other) noexcept : address_(other.address_), size_(other.size_) {
    other.address_ = nullptr;
    other.size_ = 0;
  }
  Mapping& operator=(Mapping&& other) noexcept;
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  uint8_t* data() const { return address_; }
  size_t size() const { return size_; }
  explicit operator bool() const { return address_ != nullptr; }
  void reset();

 private:
  uint8_t* address_ = nullptr;
  size_t size_ = 0;
};

// Maps `size` bytes of the open file `fd` from offset 0 (shared; writable
// when `writable`). An empty Mapping, with errno set, on failure or for a
// size of 0.
Mapping map_file(int fd, size_t size, bool writable);

struct DirCloser {
  void operator()(DIR* dir) const {
    if (dir != nullptr) closedir(dir);
  }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

}  // namespace platform
