// Host framebuffer: the pixel memory is the file dev/graphics/fb0 (two pages)
// and its screen information the file "<same path>.info", key=value lines
// xres, yres, bits_per_pixel (16 or 32) and yoffset. The screen-information
// requests read that file; a pan rewrites yoffset (temporary file + rename,
// other lines kept). A missing or malformed file makes every request fail.
#include <linux/fb.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/host/host_devices.h"

namespace platform::host {
namespace {

constexpr size_t kInfoMax = 4096;
// Two pages must fit the 32-bit smem_len.
constexpr unsigned long kMaxSide = 16384;

struct ScreenInfo {
  unsigned xres = 0;
  unsigned yres = 0;
  unsigned bits_per_pixel = 0;
  unsigned yoffset = 0;
};

bool info_path(const char* path, char* out, size_t size) {
  int n = snprintf(out, size, "%s.info", path);
  return n > 0 && static_cast<size_t>(n) < size;
}

// Reads the whole .info file into `text` (terminated). Returns its length or -1.
ssize_t read_info_text(const char* info, char* text, size_t size) {
  int fd = open(info, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  size_t used = 0;
  while (used + 1 < size) {
    size_t want = size - 1 - used;
    ssize_t n = read(fd, text + used, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
    // A regular file reads short only at its end: spares the final empty read.
    if (static_cast<size_t>(n) < want) break;
  }
  close(fd);
  text[used] = '\0';
  return static_cast<ssize_t>(used);
}

// A decimal value of at most kMaxSide digits' worth; false for anything else.
bool parse_number(const char* begin, const char* end, unsigned long* out) {
  while (begin < end && (end[-1] == ' ' || end[-1] == '\r' || end[-1] == '\t')) --end;
  if (begin == end || end - begin > 9) return false;
  unsigned long v = 0;
  for (const char* p = begin; p < end; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + static_cast<unsigned long>(*p - '0');
  }
  *out = v;
  return true;
}

bool parse_info(const char* text, ScreenInfo* info) {
  bool have_x = false, have_y = false, have_bpp = false;
  for (const char* line = text; *line != '\0';) {
    const char* end = strchr(line, '\n');
    if (end == nullptr) end = line + strlen(line);
    const char* eq = static_cast<const char*>(memchr(line, '=', static_cast<size_t>(end - line)));
    if (eq != nullptr) {
      size_t key_len = static_cast<size_t>(eq - line);
      unsigned long v = 0;
      bool ok = parse_number(eq + 1, end, &v);
      auto is = [&](const char* key) { return key_len == strlen(key) && strncmp(line, key, key_len) == 0; };
      if (is("xres")) { have_x = ok; info->xres = static_cast<unsigned>(v); }
      else if (is("yres")) { have_y = ok; info->yres = static_cast<unsigned>(v); }
      else if (is("bits_per_pixel")) { have_bpp = ok; info->bits_per_pixel = static_cast<unsigned>(v); }
      else if (is("yoffset")) { if (!ok) return false; info->yoffset = static_cast<unsigned>(v); }
    }
    line = *end == '\0' ? end : end + 1;
  }
  if (!have_x || !have_y || !have_bpp) return false;
  if (info->xres == 0 || info->yres == 0 || info->xres > kMaxSide || info->yres > kMaxSide) return false;
  return info->bits_per_pixel == 16 || info->bits_per_pixel == 32;
}

// The .info file's name, and its text as last read (terminated).
struct InfoFile {
  char name[4200];
  char text[kInfoMax];
};

bool load_info(const char* path, InfoFile* file, ScreenInfo* info) {
  if (!info_path(path, file->name, sizeof(file->name)) ||
      read_info_text(file->name, file->text, sizeof(file->text)) < 0) {
    return false;
  }
  return parse_info(file->text, info);
}

void fill_var(const ScreenInfo& s, fb_var_screeninfo* var) {
  memset(var, 0, sizeof(*var));
  var->xres = s.xres;
  var->yres = s.yres;
  var->xres_virtual = s.xres;
  var->yres_virtual = 2 * s.yres;
  var->yoffset = s.yoffset;
  var->bits_per_pixel = s.bits_per_pixel;
  if (s.bits_per_pixel == 16) {
    var->red = {11, 5, 0};
    var->green = {5, 6, 0};
    var->blue = {0, 5, 0};
  } else {
    var->red = {0, 8, 0};
    var->green = {8, 8, 0};
    var->blue = {16, 8, 0};
    var->transp = {24, 8, 0};
  }
  var->activate = FB_ACTIVATE_NOW;
  var->height = static_cast<unsigned>(-1);
  var->width = static_cast<unsigned>(-1);
}

void fill_fix(const ScreenInfo& s, fb_fix_screeninfo* fix) {
  memset(fix, 0, sizeof(*fix));
  snprintf(fix->id, sizeof(fix->id), "hostfb");
  unsigned line = s.xres * s.bits_per_pixel / 8;
  fix->line_length = line;
  fix->smem_len = 2 * line * s.yres;
  fix->type = FB_TYPE_PACKED_PIXELS;
  fix->visual = FB_VISUAL_TRUECOLOR;
  fix->ypanstep = 1;
}

// Rewrites the yoffset line (appending one if missing), keeping the others
// of the text just read: one read and one replacing rename per pan.
int write_yoffset(const InfoFile& file, unsigned yoffset) {
  const char* name = file.name;
  const char* text = file.text;
  char temp[4220];
  snprintf(temp, sizeof(temp), "%s.tmp%d", name, static_cast<int>(getpid()));
  int fd = open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  char out[kInfoMax + 64];
  size_t used = 0;
  bool written = false;
  auto put = [&](const char* s, size_t n) {
    if (used + n <= sizeof(out)) { memcpy(out + used, s, n); used += n; }
  };
  char line_buf[32];
  for (const char* line = text; *line != '\0';) {
    const char* end = strchr(line, '\n');
    size_t len = end == nullptr ? strlen(line) : static_cast<size_t>(end - line);
    if (len >= 8 && strncmp(line, "yoffset=", 8) == 0) {
      int n = snprintf(line_buf, sizeof(line_buf), "yoffset=%u", yoffset);
      if (!written) put(line_buf, static_cast<size_t>(n));
      written = true;
    } else {
      put(line, len);
    }
    if (end != nullptr) put("\n", 1);
    line = end == nullptr ? line + len : end + 1;
  }
  if (!written) {
    if (used > 0 && out[used - 1] != '\n') put("\n", 1);
    int n = snprintf(line_buf, sizeof(line_buf), "yoffset=%u\n", yoffset);
    put(line_buf, static_cast<size_t>(n));
  }
  bool ok = write(fd, out, used) == static_cast<ssize_t>(used);
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temp, name) != 0) {
    unlink(temp);
    return -1;
  }
  return 0;
}

}  // namespace

int fb_ioctl(int, const char* path, unsigned long request, void* arg) {
  if (request != FBIOGET_VSCREENINFO && request != FBIOGET_FSCREENINFO && request != FBIOPUT_VSCREENINFO) {
    errno = ENOTTY;
    return -1;
  }
  if (arg == nullptr) {
    errno = EFAULT;
    return -1;
  }
  ScreenInfo info;
  InfoFile file;
  if (!load_info(path, &file, &info)) {
    errno = EINVAL;
    return -1;
  }
  if (request == FBIOGET_VSCREENINFO) {
    fill_var(info, static_cast<fb_var_screeninfo*>(arg));
    return 0;
  }
  if (request == FBIOGET_FSCREENINFO) {
    fill_fix(info, static_cast<fb_fix_screeninfo*>(arg));
    return 0;
  }
  // A pan may not show memory past the second page.
  const auto* var = static_cast<const fb_var_screeninfo*>(arg);
  if (var->yoffset > info.yres) {
    errno = EINVAL;
    return -1;
  }
  return write_yoffset(file, var->yoffset);
}

}  // namespace platform::host
