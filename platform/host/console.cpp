// Host console: KDSETMODE records the mode in dev/tty0.mode.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/kd.h>
#include <unistd.h>

#include "platform/host/host_devices.h"

namespace platform::host {

int console_ioctl(int /*fd*/, const char* path, unsigned long request, void* arg) {
  if (request != KDSETMODE) {
    errno = ENOTTY;
    return -1;
  }
  long mode = reinterpret_cast<long>(arg);
  const char* text = mode == KD_GRAPHICS ? "graphics" : mode == KD_TEXT ? "text" : nullptr;
  if (text == nullptr) {
    errno = EINVAL;
    return -1;
  }
  char mode_path[4200];
  snprintf(mode_path, sizeof(mode_path), "%s.mode", path);
  int out = open(mode_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return -1;
  ssize_t n = write(out, text, strlen(text));
  close(out);
  return n < 0 ? -1 : 0;
}

}  // namespace platform::host
