// Kernel devices and calls that the program may not make directly: device
// nodes that need ioctl or mmap (framebuffer, console, alarm driver, input
// event nodes), reboot and power-off, and flushing file systems.
//
// Host backend, per the host device contract:
//   - dev_open maps the device path under the device root and remembers what
//     kind of device the descriptor stands for ("/dev/graphics/fb*",
//     "/dev/tty*", "/dev/alarm", input FIFOs);
//   - the framebuffer is the file dev/graphics/fb0 (two pages of raw pixels)
//     with its screen information in dev/graphics/fb0.info (key=value lines
//     xres, yres, bits_per_pixel, yoffset); FBIOGET_VSCREENINFO reads that
//     file, FBIOPUT_VSCREENINFO rewrites yoffset;
//   - KDSETMODE on the console writes "graphics" or "text" to dev/tty0.mode;
//   - the alarm driver's set, clear and wait are emulated with real-time
//     clock timers, and dev/alarm.armed lists the armed alarms;
//   - an input FIFO opens without blocking and without reporting hang-up
//     while no writer is attached;
//   - dev_reboot appends "power_off", "restart" or "restart REASON" to
//     dev/reboot and ends the process with status 0, unless dev/reboot.refuse
//     exists: then the line is still appended and the call fails with EPERM.
#pragma once

#include <cstddef>
#include <sys/types.h>

namespace platform {

// open() of a device node; -1 with errno on failure.
int dev_open(const char* device_path, int flags);
// close() of a descriptor from dev_open; -1 is accepted and ignored.
int dev_close(int fd);
// ioctl() on a descriptor from dev_open; -1 with errno on failure.
int dev_ioctl(int fd, unsigned long request, void* arg);
// mmap() of a descriptor from dev_open at offset 0; MAP_FAILED on failure.
void* dev_mmap(int fd, size_t length, int prot, int flags);
int dev_munmap(void* addr, size_t length);

// The Linux reboot commands the program uses.
constexpr unsigned kRebootPowerOff = 0x4321FEDCu;
constexpr unsigned kRebootRestart = 0x01234567u;
constexpr unsigned kRebootRestart2 = 0xA1B2C3D4u;  // restart with a reason

// reboot(cmd) or, for kRebootRestart2, the raw call with `reason`. Does not
// return when the kernel acts; returns -1 with errno when it refuses.
int dev_reboot(unsigned cmd, const char* reason);

// sync(): flush file systems (the host backend flushes only the device root).
void sync_filesystems();

}  // namespace platform
