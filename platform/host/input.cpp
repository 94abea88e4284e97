// Host input devices: dev/input/eventN are FIFOs of native records.
#include "platform/input.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/host/handles.h"
#include "platform/paths.h"

namespace platform {

int input_device_open(const char* device_path) {
  char path[host::kHostPathMax];
  if (device_path == nullptr || !map_path(device_path, path, sizeof(path))) {
    errno = ENOENT;
    return -1;
  }
  struct stat st;
  if (stat(path, &st) == 0 && S_ISFIFO(st.st_mode)) {
    // Opened for writing too, so that a FIFO without a writer neither blocks
    // the open nor reports hang-up to poll.
    return open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  }
  return open(path, O_RDONLY | O_CLOEXEC);
}

}  // namespace platform
