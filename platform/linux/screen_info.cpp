#include "platform/linux/screen_info.h"

#include <cstdint>

namespace platform::kernel {

bool display_info_from_fb(const fb_var_screeninfo& var, const fb_fix_screeninfo& fix, DisplayInfo* info) {
  *info = {};
  unsigned bpp = var.bits_per_pixel;
  if (var.xres == 0 || var.yres == 0 || bpp == 0 || bpp % 8 != 0) return false;
  uint64_t row = static_cast<uint64_t>(var.xres) * (bpp / 8);
  uint64_t line = fix.line_length != 0 ? fix.line_length : static_cast<uint64_t>(var.xres_virtual) * (bpp / 8);
  if (line < row || line > UINT32_MAX) return false;

  uint64_t page_bytes = line * var.yres;
  uint64_t pages = page_bytes <= fix.smem_len ? fix.smem_len / page_bytes : 0;
  uint64_t virtual_pages = var.yres_virtual / var.yres;
  if (virtual_pages < pages) pages = virtual_pages;
  // Page p starts at row p * yres: the pan step must divide it.
  bool pans = (fix.ypanstep != 0 && var.yres % fix.ypanstep == 0) || fix.ywrapstep != 0;
  if (!pans && pages > 1) pages = 1;
  if (pages > UINT32_MAX) pages = UINT32_MAX;

  info->width = var.xres;
  info->height = var.yres;
  info->bits_per_pixel = bpp;
  info->line_length = static_cast<unsigned>(line);
  info->pages = static_cast<unsigned>(pages);
  info->memory_size = fix.smem_len;
  info->red_offset = var.red.offset;
  info->green_offset = var.green.offset;
  info->blue_offset = var.blue.offset;
  return true;
}

bool page_yoffset(const DisplayInfo& info, unsigned page, unsigned* yoffset) {
  if (page >= info.pages) return false;
  uint64_t offset = static_cast<uint64_t>(page) * info.height;
  if (offset > UINT32_MAX) return false;
  *yoffset = static_cast<unsigned>(offset);
  return true;
}

}  // namespace platform::kernel
