// The fbdev display: "/dev/graphics/fb0" (else "/dev/fb0"), its screen
// information, pages panned with FBIOPAN_DISPLAY, FBIOBLANK.
#include <linux/fb.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/linux/display_driver.h"
#include "platform/linux/screen_info.h"

namespace platform::kernel {
namespace {

int fb_open() {
  int fd = open("/dev/graphics/fb0", O_RDWR | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) fd = open("/dev/fb0", O_RDWR | O_CLOEXEC);
  return fd;
}

int fb_close(int fd) { return fd < 0 ? -1 : close(fd); }

bool read_info(int fd, fb_var_screeninfo* var, DisplayInfo* info) {
  fb_fix_screeninfo fix = {};
  if (ioctl(fd, FBIOGET_VSCREENINFO, var) != 0 || ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0) return false;
  if (!display_info_from_fb(*var, fix, info)) {
    errno = EINVAL;
    return false;
  }
  return true;
}

int fb_query(int fd, DisplayInfo* info) {
  fb_var_screeninfo var = {};
  return read_info(fd, &var, info) ? 0 : -1;
}

Mapping fb_map(int fd, size_t length) {
  fb_var_screeninfo var = {};
  DisplayInfo info;
  if (!read_info(fd, &var, &info)) return {};
  if (length > info.memory_size) {
    errno = EINVAL;
    return {};
  }
  return map_file(fd, length, true);
}

int pan_to(int fd, fb_var_screeninfo* var, unsigned yoffset) {
  var->xoffset = 0;
  var->yoffset = yoffset;
  return ioctl(fd, FBIOPAN_DISPLAY, var);
}

int fb_show_page(int fd, unsigned page) {
  fb_var_screeninfo var = {};
  DisplayInfo info;
  unsigned yoffset = 0;
  if (!read_info(fd, &var, &info)) return -1;
  if (!page_yoffset(info, page, &yoffset)) {
    errno = EINVAL;
    return -1;
  }
  // A single-page driver may have no pan at all: showing the page it
  // shows already is then no failure.
  bool shown = var.yoffset == yoffset && var.xoffset == 0;
  if (pan_to(fd, &var, yoffset) == 0) return 0;
  return shown ? 0 : -1;
}

int fb_refresh(int fd) {
  fb_var_screeninfo var = {};
  DisplayInfo info;
  if (!read_info(fd, &var, &info)) return -1;
  fb_fix_screeninfo fix = {};
  if (ioctl(fd, FBIOGET_FSCREENINFO, &fix) != 0) return -1;
  // One pan step down and back makes the driver show page 0 afresh; without
  // room below page 0 the pan to 0 alone asks for the same.
  // A driver without pan shows its memory as it is written.
  bool shown = var.yoffset == 0 && var.xoffset == 0;
  if (fix.ypanstep != 0 && var.yres_virtual >= var.yres + fix.ypanstep) pan_to(fd, &var, fix.ypanstep);
  if (pan_to(fd, &var, 0) == 0) return 0;
  return shown ? 0 : -1;
}

int fb_blank(int fd, bool blank) {
  return ioctl(fd, FBIOBLANK, blank ? FB_BLANK_POWERDOWN : FB_BLANK_UNBLANK) == 0 ? 0 : -1;
}

}  // namespace

const DisplayDriver kFbdevDriver = {"fbdev", fb_open, fb_close, fb_query, fb_map, fb_show_page, fb_refresh, fb_blank};

}  // namespace platform::kernel
