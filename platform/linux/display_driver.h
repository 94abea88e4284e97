// Internal to the Linux backend: one kind of display interface behind the
// display service (platform/display.h). The service tries the drivers in
// order when the screen is opened and sends every later call on that handle
// to the driver that opened it: DRM/KMS (display_drm.cpp, dumb buffers
// flipped) and fbdev (display_fbdev.cpp); which ones and in what order is
// chosen at build time (LUMO_DISPLAY, see display.cpp).
#pragma once

#include <cstddef>

#include "platform/display.h"
#include "platform/owned.h"

namespace platform::kernel {

struct DisplayDriver {
  const char* name;
  // A handle (a descriptor the driver owns), or -1 with errno; ENOENT or
  // ENODEV when this kind of interface is not there at all.
  int (*open)();
  int (*close)(int handle);
  int (*query)(int handle, DisplayInfo* info);
  Mapping (*map)(int handle, size_t length);
  int (*show_page)(int handle, unsigned page);
  int (*refresh)(int handle);
  int (*blank)(int handle, bool blank);
};

extern const DisplayDriver kFbdevDriver;
extern const DisplayDriver kDrmDriver;

}  // namespace platform::kernel
