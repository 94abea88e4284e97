// Input-event records: any bytes written into an input node (a FIFO, as the
// host contract has it), read back by the input thread's wait step and
// handled by its key and trackball rules. Only whole records may come out.
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "queue/message_queue.h"
#include "tests/fuzz/fuzz_root.h"
#include "ui/input.h"

namespace {

int open_node() {
  if (!lumo_fuzz::fuzz_root().make_fifo("/dev/input/event0")) abort();
  input_open_devices();
  if (input_fd_count != 1) abort();
  int fd = open(lumo_fuzz::fuzz_root().path("/dev/input/event0").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) abort();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int writer = open_node();
  lumo_fuzz::fuzz_trim_log();
  if (size == 0 || size > 4096) return 0;  // within the FIFO, so the write never blocks
  if (write(writer, data, size) != static_cast<ssize_t>(size)) abort();
  int trackball_sum = 0;
  size_t records = 0;
  input_event event;
  while (input_wait_event(&event, 1) == 0) {
    ++records;
    input_handle_event(&event, &trackball_sum);
    if (trackball_sum > 3 || trackball_sum < -3) abort();  // a sum past the threshold became a key
  }
  if (records > size / sizeof(input_event)) abort();
  if (input_fds[0].fd < 0) abort();  // a working node is never dropped
  messageQueueClear();
  return 0;
}
