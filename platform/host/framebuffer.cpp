// Host framebuffer: not emulated yet.
#include <cerrno>

#include "platform/host/host_devices.h"

namespace platform::host {

int fb_ioctl(int, const char*, unsigned long, void*) {
  errno = ENOTTY;
  return -1;
}

}  // namespace platform::host
