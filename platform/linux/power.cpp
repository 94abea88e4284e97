// Linux backend of power-off and restart: sync(), then reboot(2).
#include "platform/power.h"

#include <cerrno>
#include <linux/reboot.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

// The raw call, so that a restart can carry its reason.
int reboot_call(unsigned cmd, const char* reason) {
  sync();
  return static_cast<int>(syscall(SYS_reboot, LINUX_REBOOT_MAGIC1, LINUX_REBOOT_MAGIC2, cmd, reason));
}

}  // namespace

int power_off() { return reboot_call(LINUX_REBOOT_CMD_POWER_OFF, nullptr); }

int restart(const char* reason) {
  if (reason != nullptr && reason[0] != '\0') return reboot_call(LINUX_REBOOT_CMD_RESTART2, reason);
  return reboot_call(LINUX_REBOOT_CMD_RESTART, nullptr);
}

void sync_filesystems() { sync(); }

}  // namespace platform
