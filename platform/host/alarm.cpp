// Host alarm driver: not emulated yet.
#include <cerrno>

#include "platform/host/host_devices.h"

namespace platform::host {

void alarm_opened(int, const char*) {}
void alarm_closed(int) {}
int alarm_ioctl(int, const char*, unsigned long, void*) {
  errno = ENOTTY;
  return -1;
}

}  // namespace platform::host
