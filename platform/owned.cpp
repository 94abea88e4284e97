#include "platform/owned.h"

#include <cerrno>
#include <sys/mman.h>

namespace platform {

Mapping& Mapping::operator=(Mapping&& other) noexcept {
  if (this != &other) {
    reset();
    address_ = other.address_;
    size_ = other.size_;
    other.address_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

void Mapping::reset() {
  if (address_ != nullptr) munmap(address_, size_);
  address_ = nullptr;
  size_ = 0;
}

Mapping map_file(int fd, size_t size, bool writable) {
  if (fd < 0 || size == 0) {
    errno = fd < 0 ? EBADF : EINVAL;
    return {};
  }
  int prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address = mmap(nullptr, size, prot, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return {};
  return Mapping(address, size);
}

}  // namespace platform
