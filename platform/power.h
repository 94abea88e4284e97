// Powering the phone off or restarting it, and flushing file systems first.
//
// power_off and restart do not return when the platform acts; they return -1
// with errno when it refuses (the caller logs and decides what to do).
// Backends: platform/host/ appends "power_off", "restart" or
// "restart REASON" to dev/reboot and ends the process with status 0 (unless
// dev/reboot.refuse exists: then the call fails with EPERM); platform/linux/
// calls reboot(2).
#pragma once

namespace platform {

int power_off();
// Restarts; with a non-null `reason` the restart carries it to the boot
// loader.
int restart(const char* reason);
// Flushes file systems (the host backend: only the device root's).
void sync_filesystems();

}  // namespace platform
