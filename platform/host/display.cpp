// Host screen and console, per the host device contract.
//
// The screen's memory is the file dev/graphics/fb0 and its geometry the file
// dev/graphics/fb0.info: key=value lines xres, yres, bits_per_pixel (16 or
// 32), yoffset, and optionally yres_virtual (default 2 * yres: two pages).
// A file fb0 that already holds bytes but fewer than the announced pages
// limits the pages to the whole pages it holds; an empty one grows to the
// announced memory when it is mapped. 32-bit pixels are R, G, B, X bytes.
// A pan rewrites the yoffset line atomically, other lines kept. The info
// file is read whole into a fixed buffer: a longer one is malformed, and a
// pan whose result would not fit is refused with the file left as it was.
// A missing or malformed info file makes every request fail with EINVAL.
//
// The console is the file dev/tty0; a mode change writes "graphics" or
// "text" into dev/tty0.mode. Blanking has no host file: it succeeds.
#include "platform/display.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "platform/host/handles.h"

namespace platform {
namespace {

constexpr size_t kInfoMax = 8192;  // buffer size, terminator included
constexpr unsigned long kMaxSide = 16384;

struct ScreenInfo {
  unsigned xres = 0;
  unsigned yres = 0;
  unsigned yres_virtual = 0;  // 0: not given
  unsigned bits_per_pixel = 0;
};

// The info file of the screen behind `display`, and its text as read.
struct InfoFile {
  char name[host::kHostPathMax + 8];
  char text[kInfoMax];
  size_t length;
};

// Reads the whole file; false when it cannot be read or does not fit.
bool read_info_text(InfoFile* file) {
  UniqueFd fd(open(file->name, O_RDONLY | O_CLOEXEC));
  if (!fd) return false;
  size_t used = 0;
  for (;;) {
    size_t want = sizeof(file->text) - used;
    ssize_t n = read(fd.get(), file->text + used, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    used += static_cast<size_t>(n);
    if (used == sizeof(file->text)) return false;  // no room for the terminator: too long
    // A regular file reads short only at its end: spares the final empty read.
    if (n == 0 || static_cast<size_t>(n) < want) break;
  }
  file->text[used] = '\0';
  file->length = used;
  return true;
}

// A decimal value of at most 9 digits; false for anything else.
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

// Applies one "key=value" line; false when a known key has a bad value.
bool parse_line(const char* line, const char* end, ScreenInfo* info, unsigned* seen) {
  const char* eq = static_cast<const char*>(memchr(line, '=', static_cast<size_t>(end - line)));
  if (eq == nullptr) return true;
  struct Key {
    const char* name;
    unsigned* field;
    unsigned bit;
  };
  unsigned ignored = 0;
  const Key keys[] = {{"xres", &info->xres, 1}, {"yres", &info->yres, 2}, {"bits_per_pixel", &info->bits_per_pixel, 4},
                      {"yres_virtual", &info->yres_virtual, 8}, {"yoffset", &ignored, 16}};
  size_t key_len = static_cast<size_t>(eq - line);
  for (const Key& key : keys) {
    if (key_len != strlen(key.name) || strncmp(line, key.name, key_len) != 0) continue;
    unsigned long v = 0;
    if (!parse_number(eq + 1, end, &v)) return false;
    *key.field = static_cast<unsigned>(v);
    *seen |= key.bit;
    return true;
  }
  return true;
}

bool parse_info(const char* text, ScreenInfo* info) {
  unsigned seen = 0;
  for (const char* line = text; *line != '\0';) {
    const char* end = strchr(line, '\n');
    if (end == nullptr) end = line + strlen(line);
    if (!parse_line(line, end, info, &seen)) return false;
    line = *end == '\0' ? end : end + 1;
  }
  if ((seen & 7) != 7) return false;
  if (info->xres == 0 || info->yres == 0 || info->xres > kMaxSide || info->yres > kMaxSide) return false;
  if ((seen & 8) == 0) info->yres_virtual = 2 * info->yres;
  if (info->yres_virtual > 2 * kMaxSide) return false;
  return info->bits_per_pixel == 16 || info->bits_per_pixel == 32;
}

bool load_info(int display, InfoFile* file, ScreenInfo* info) {
  char path[host::kHostPathMax];
  if (!host::device_path_of(display, path)) return false;
  snprintf(file->name, sizeof(file->name), "%s.info", path);
  if (!read_info_text(file) || !parse_info(file->text, info)) {
    errno = EINVAL;
    return false;
  }
  return true;
}

// Bytes the pixel file holds, or 0 when empty or unknown.
size_t file_size(int display) {
  struct stat st;
  return fstat(display, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
}

void describe(const ScreenInfo& s, size_t held, DisplayInfo* out) {
  *out = DisplayInfo{};
  out->width = s.xres;
  out->height = s.yres;
  out->bits_per_pixel = s.bits_per_pixel;
  out->line_length = s.xres * s.bits_per_pixel / 8;
  size_t page = static_cast<size_t>(out->line_length) * s.yres;
  size_t announced = static_cast<size_t>(out->line_length) * s.yres_virtual;
  out->memory_size = held > 0 && held < announced ? held : announced;
  out->pages = static_cast<unsigned>(out->memory_size / page);
  if (s.bits_per_pixel == 16) {
    out->red_offset = 11;
    out->green_offset = 5;
  } else {
    out->green_offset = 8;
    out->blue_offset = 16;
  }
}

// Rewrites the yoffset line (appending one if missing), keeping the others
// of the text just read.
int write_yoffset(const InfoFile& file, unsigned yoffset) {
  char out[kInfoMax];
  size_t used = 0;
  bool fits = true, written = false;
  auto put = [&](const char* s, size_t n) {
    if (used + n < sizeof(out)) {
      memcpy(out + used, s, n);
      used += n;
    } else {
      fits = false;
    }
  };
  char line_buf[32];
  int n = snprintf(line_buf, sizeof(line_buf), "yoffset=%u", yoffset);
  for (const char* line = file.text; *line != '\0';) {
    const char* end = strchr(line, '\n');
    size_t len = end == nullptr ? strlen(line) : static_cast<size_t>(end - line);
    const char* next = end == nullptr ? line + len : end + 1;
    bool is_offset = len >= 8 && strncmp(line, "yoffset=", 8) == 0;
    if (is_offset && written) {  // a repeated yoffset line is dropped
      line = next;
      continue;
    }
    put(is_offset ? line_buf : line, is_offset ? static_cast<size_t>(n) : len);
    written = written || is_offset;
    if (end != nullptr) put("\n", 1);
    line = next;
  }
  if (!written) {
    if (used > 0 && out[used - 1] != '\n') put("\n", 1);
    put(line_buf, static_cast<size_t>(n));
    put("\n", 1);
  }
  if (!fits) {
    errno = EINVAL;
    return -1;
  }
  return replace_file(file.name, out, used) ? 0 : -1;
}

// Pans to `yoffset` given the info just loaded: the rows shown must lie
// inside the memory (page 0 always does once the screen is in use).
int pan_to(int display, const InfoFile& file, const ScreenInfo& info, unsigned yoffset) {
  DisplayInfo d;
  if (yoffset > 0) describe(info, file_size(display), &d);
  if (yoffset > 0 && static_cast<size_t>(yoffset) + info.yres > static_cast<size_t>(d.pages) * info.yres) {
    errno = EINVAL;
    return -1;
  }
  return write_yoffset(file, yoffset);
}

}  // namespace

int display_open() { return host::open_device("/dev/graphics/fb0"); }

int display_close(int display) { return host::close_device(display); }

int display_query(int display, DisplayInfo* info) {
  ScreenInfo screen;
  InfoFile file;
  if (info == nullptr) {
    errno = EFAULT;
    return -1;
  }
  if (!load_info(display, &file, &screen)) return -1;
  describe(screen, file_size(display), info);
  return 0;
}

Mapping display_map(int display, size_t length) {
  char path[host::kHostPathMax];
  if (!host::device_path_of(display, path)) return {};
  // An empty pixel file grows to what is mapped; pages past its end would
  // fault.
  struct stat st;
  if (fstat(display, &st) != 0) return {};
  if (static_cast<size_t>(st.st_size) < length && ftruncate(display, static_cast<off_t>(length)) != 0) return {};
  return map_file(display, length, true);
}

int display_show_page(int display, unsigned page) {
  ScreenInfo info;
  InfoFile file;
  if (!load_info(display, &file, &info)) return -1;
  if (page > kMaxSide) {
    errno = EINVAL;
    return -1;
  }
  return pan_to(display, file, info, page * info.yres);
}

int display_refresh(int display) {
  ScreenInfo info;
  InfoFile file;
  if (!load_info(display, &file, &info)) return -1;
  if (pan_to(display, file, info, 1) == 0 && !load_info(display, &file, &info)) return -1;
  return pan_to(display, file, info, 0);
}

int display_blank(int display, bool) {
  char path[host::kHostPathMax];
  return host::device_path_of(display, path) ? 0 : -1;
}

int console_open() { return host::open_device("/dev/tty0"); }

int console_close(int console) { return host::close_device(console); }

int console_set_mode(int console, ConsoleMode mode) {
  char path[host::kHostPathMax];
  if (!host::device_path_of(console, path)) return -1;
  char mode_path[host::kHostPathMax + 8];
  snprintf(mode_path, sizeof(mode_path), "%s.mode", path);
  const char* text = mode == ConsoleMode::kGraphics ? "graphics" : "text";
  return write_whole_file(mode_path, text, strlen(text), true) ? 0 : -1;
}

}  // namespace platform
