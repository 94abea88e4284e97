// Linux backend of the display service and the console. The screen is opened
// through the first display driver that finds its interface (display_driver.h)
// and each call on the handle goes to that driver; the console is "/dev/tty0"
// with KDSETMODE.
#include "platform/display.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/kd.h>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/linux/display_driver.h"
#include "platform/log.h"

namespace platform {
namespace {

using kernel::DisplayDriver;

// Tried in order. LUMO_DISPLAY (a build option): "auto" tries DRM/KMS first
// (a card with a connected connector), then fbdev; "drm" or "fbdev" only
// that one.
#if defined(LUMO_DISPLAY_DRM)
const DisplayDriver* const kDrivers[] = {&kernel::kDrmDriver};
#elif defined(LUMO_DISPLAY_FBDEV)
const DisplayDriver* const kDrivers[] = {&kernel::kFbdevDriver};
#else
const DisplayDriver* const kDrivers[] = {&kernel::kDrmDriver, &kernel::kFbdevDriver};
#endif

// Names the display chosen, with its geometry, on the first open only.
void log_choice(const DisplayDriver* driver, int handle) {
  static std::atomic<bool> logged{false};
  if (logged.exchange(true)) return;
  DisplayInfo info;
  if (driver->query(handle, &info) != 0) return;
  LOGI("display: %s, %ux%u, %u bits (red at %u), %u page(s)", driver->name, info.width, info.height,
       info.bits_per_pixel, info.red_offset, info.pages);
}

constexpr int kMaxHandles = 8;
struct OpenScreen {
  int handle = -1;
  const DisplayDriver* driver = nullptr;
};
OpenScreen g_screens[kMaxHandles];
std::mutex g_screens_mutex;

const DisplayDriver* driver_of(int handle) {
  std::lock_guard<std::mutex> lock(g_screens_mutex);
  for (const OpenScreen& s : g_screens) {
    if (handle >= 0 && s.handle == handle) return s.driver;
  }
  errno = EBADF;
  return nullptr;
}

bool remember(int handle, const DisplayDriver* driver) {
  std::lock_guard<std::mutex> lock(g_screens_mutex);
  for (OpenScreen& s : g_screens) {
    if (s.handle < 0) {
      s = {handle, driver};
      return true;
    }
  }
  errno = EMFILE;
  return false;
}

}  // namespace

int display_open() {
  int error = ENODEV;
  for (const DisplayDriver* driver : kDrivers) {
    int handle = driver->open();
    if (handle < 0) {
      error = errno;
      continue;
    }
    if (remember(handle, driver)) {
      log_choice(driver, handle);
      return handle;
    }
    error = errno;
    driver->close(handle);
    break;
  }
  errno = error;
  return -1;
}

int display_close(int display) {
  if (display < 0) return -1;
  const DisplayDriver* driver = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_screens_mutex);
    for (OpenScreen& s : g_screens) {
      if (s.handle == display) {
        driver = s.driver;
        s = {};
      }
    }
  }
  if (driver == nullptr) {
    errno = EBADF;
    return -1;
  }
  return driver->close(display);
}

int display_query(int display, DisplayInfo* info) {
  const DisplayDriver* driver = driver_of(display);
  if (driver == nullptr) return -1;
  if (info == nullptr) {
    errno = EFAULT;
    return -1;
  }
  return driver->query(display, info);
}

Mapping display_map(int display, size_t length) {
  const DisplayDriver* driver = driver_of(display);
  return driver == nullptr ? Mapping() : driver->map(display, length);
}

int display_show_page(int display, unsigned page) {
  const DisplayDriver* driver = driver_of(display);
  return driver == nullptr ? -1 : driver->show_page(display, page);
}

int display_refresh(int display) {
  const DisplayDriver* driver = driver_of(display);
  return driver == nullptr ? -1 : driver->refresh(display);
}

int display_blank(int display, bool blank) {
  const DisplayDriver* driver = driver_of(display);
  return driver == nullptr ? -1 : driver->blank(display, blank);
}

int console_open() { return open("/dev/tty0", O_RDWR | O_NOCTTY | O_CLOEXEC); }

int console_close(int console) { return console < 0 ? -1 : close(console); }

int console_set_mode(int console, ConsoleMode mode) {
  return ioctl(console, KDSETMODE, mode == ConsoleMode::kGraphics ? KD_GRAPHICS : KD_TEXT) == 0 ? 0 : -1;
}

}  // namespace platform
