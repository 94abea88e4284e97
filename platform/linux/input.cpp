// Linux backend of the input devices: evdev nodes, read whole
// `struct input_event` records of the build's ABI.
#include "platform/input.h"

#include <cerrno>
#include <fcntl.h>

namespace platform {

int input_device_open(const char* device_path) {
  if (device_path == nullptr) {
    errno = ENOENT;
    return -1;
  }
  // Non-blocking: a record that another reader took between poll() and
  // read() must not stop the input thread.
  return open(device_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

}  // namespace platform
