// The framebuffer's screen information as the display service reports it.
// Pure: fed with the kernel's fb_var_screeninfo and fb_fix_screeninfo (the
// fbdev display calls it after FBIOGET_VSCREENINFO / FBIOGET_FSCREENINFO;
// tests feed it structs).
#pragma once

#include <linux/fb.h>

#include "platform/display.h"

namespace platform::kernel {

// Fills `info` from the kernel's view. Pages are the whole pages that both
// the virtual resolution and the memory hold; a driver that cannot pan to
// the second page (no ypanstep or ywrapstep, or a ypanstep that does not
// divide yres) offers one page whatever its memory. The line
// length is the driver's, or the virtual width's bytes when it reports 0.
// Channel offsets are the kernel's (a 32-bit screen is often X, R, G, B:
// red at 16, blue at 0). False, with `info` cleared, when the kernel reports
// no usable size (zero sides, a bit depth not a multiple of 8, a line length
// shorter than the visible row).
bool display_info_from_fb(const fb_var_screeninfo& var, const fb_fix_screeninfo& fix, DisplayInfo* info);

// The vertical offset that shows `page`: page * yres. False when the page is
// not one of `info`'s pages.
bool page_yoffset(const DisplayInfo& info, unsigned page, unsigned* yoffset);

}  // namespace platform::kernel
