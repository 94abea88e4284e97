// Input-event devices: the key and trackball nodes under "/dev/input".
//
// The program keeps them as files: it lists the directory through map_path,
// opens each "event*" node here, waits on the descriptors with poll() and
// reads whole `struct input_event` records with read(). A list-and-read
// service would add a layer that both backends implement the same way, since
// an evdev node on Linux and a FIFO under the host's device root are both
// pollable descriptors of native records; only opening differs.
//
// input_device_open returns a descriptor for reading, or -1 with
// errno. Host backend: a FIFO is opened read-write, so that it neither blocks
// nor reports hang-up while no writer is attached.
#pragma once

#include "platform/owned.h"

namespace platform {

int input_device_open(const char* device_path);
inline int input_device_close(int fd) { return fd < 0 ? -1 : close_descriptor(fd); }

}  // namespace platform
