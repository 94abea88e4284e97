// Internal to the host backend: the emulated devices behind dev_ioctl and
// dev_mmap. Each works on the host file that stands for the device node.
#pragma once

#include <cstddef>

namespace platform::host {

enum class DeviceKind { kOther, kFramebuffer, kConsole, kAlarm, kInput };

// Framebuffer: `path` is the host file of the pixel memory (dev/graphics/fb0);
// its screen information lives in the file of the same name plus ".info".
int fb_ioctl(int fd, const char* path, unsigned long request, void* arg);

// Console: `path` is the host file of the console (dev/tty0).
int console_ioctl(int fd, const char* path, unsigned long request, void* arg);

// Alarm driver: `path` is the host file of dev/alarm.
void alarm_opened(int fd, const char* path);
void alarm_closed(int fd);
int alarm_ioctl(int fd, const char* path, unsigned long request, void* arg);

}  // namespace platform::host
