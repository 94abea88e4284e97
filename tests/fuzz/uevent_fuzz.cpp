// Uevent datagrams: any bytes sent to the host uevent channel, received the
// way the battery event thread receives them (a zeroed 1024-byte buffer, one
// byte kept for the terminator) and handled by its per-event step.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "battery/battery.h"
#include "battery/battery_thread.h"
#include "queue/message_queue.h"
#include "platform/hardware.h"
#include "tests/fuzz/fuzz_root.h"

namespace {

constexpr int kEventBufferSize = 1024;

// A power supply to re-read, the channel bound, and a sender connected to it.
int open_channel() {
  lumo_fuzz::put_text("/sys/class/power_supply/battery/type", "Battery");
  lumo_fuzz::put_text("/sys/class/power_supply/battery/capacity", "50");
  register_BatteryService();
  if (platform::uevent_init() != 1) abort();
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  std::string path = lumo_fuzz::fuzz_root().path("/dev/socket/uevent");
  if (fd < 0 || path.size() >= sizeof(addr.sun_path)) abort();
  memcpy(addr.sun_path, path.c_str(), path.size());
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) abort();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static int sender = open_channel();
  lumo_fuzz::fuzz_trim_log();
  if (send(sender, data, size, 0) != static_cast<ssize_t>(size)) return 0;  // larger than a datagram may be
  char event[kEventBufferSize] = {};
  int got = platform::uevent_next_event(event, kEventBufferSize - 1);
  if (got < 0 || got > kEventBufferSize - 1 || event[kEventBufferSize - 1] != '\0') abort();
  if (got > 0) handleUevent(event);
  messageQueueClear();
  return 0;
}
