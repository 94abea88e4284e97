// The host screen's geometry file dev/graphics/fb0.info: any text, beside a
// pixel file of a size the first input byte picks; the second byte picks the
// page to show. What the display reports must be a screen the charging
// screen can draw on, a pan must land inside the memory, and a pan that
// succeeds must leave the file describing the same screen with one yoffset
// line that names the page.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/display.h"
#include "tests/fuzz/fuzz_root.h"

namespace {

constexpr size_t kPixelBytes[] = {0, 1, 2 * 4 * 4, 5 * 3 * 4 * 2, 64 * 48 * 2 * 2 + 7, 100000};
constexpr size_t kMapMax = 256 * 1024;

bool same_screen(const platform::DisplayInfo& a, const platform::DisplayInfo& b) {
  return a.width == b.width && a.height == b.height && a.bits_per_pixel == b.bits_per_pixel &&
         a.line_length == b.line_length && a.pages == b.pages && a.memory_size == b.memory_size;
}

void check_geometry(const platform::DisplayInfo& d) {
  if (d.bits_per_pixel != 16 && d.bits_per_pixel != 32) abort();
  if (d.width == 0 || d.height == 0 || d.width > 16384 || d.height > 16384) abort();
  if (d.line_length != d.width * d.bits_per_pixel / 8) abort();
  size_t page = static_cast<size_t>(d.line_length) * d.height;
  if (d.pages != d.memory_size / page) abort();
}

// The file's yoffset lines (up to the first NUL, as the reader sees it).
std::string yoffset_lines(const std::string& path) {
  std::string text = lumo_fuzz::fuzz_root().read(path);
  text.resize(strlen(text.c_str()));
  std::string found;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, 8, "yoffset=") == 0) found += text.substr(at, end - at) + "\n";
    at = end + 1;
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lumo_fuzz::fuzz_root();
  if (size < 2) return 0;
  const size_t held = kPixelBytes[data[0] % (sizeof(kPixelBytes) / sizeof(kPixelBytes[0]))];
  const unsigned page = data[1] % 4;
  std::string pixels(held, '\0');
  lumo_fuzz::put_text("/dev/graphics/fb0", pixels);
  lumo_fuzz::put_file("/dev/graphics/fb0.info", data + 2, size - 2);

  platform::DisplayHandle display(platform::display_open());
  if (!display) abort();
  platform::DisplayInfo before;
  if (platform::display_query(display.get(), &before) != 0) {
    // A file the reader refuses stays refused for every request.
    if (platform::display_show_page(display.get(), 0) == 0 || platform::display_refresh(display.get()) == 0) abort();
    return 0;
  }
  check_geometry(before);
  if (held > 0 && before.memory_size > held) abort();  // never more than the file holds
  if (before.memory_size <= kMapMax && before.memory_size > 0) {
    platform::Mapping memory = platform::display_map(display.get(), before.memory_size);
    if (!memory) abort();
    memset(memory.data(), 0x5A, before.memory_size);  // every mapped byte is writable
  }

  platform::DisplayInfo mapped;
  if (platform::display_query(display.get(), &mapped) != 0) abort();
  const std::string info_path = "/dev/graphics/fb0.info";
  if (platform::display_show_page(display.get(), page) == 0) {
    if (page > 0 && page >= mapped.pages) abort();  // panned past the memory
    platform::DisplayInfo after;
    if (platform::display_query(display.get(), &after) != 0 || !same_screen(mapped, after)) abort();
    if (yoffset_lines(info_path) != "yoffset=" + std::to_string(page * mapped.height) + "\n") abort();
  } else if (page > 0 && page < mapped.pages && size < 4096) {
    abort();  // a page the memory holds, in a file with room for the new line, must be shown
  }
  // A refresh ends on page 0, whatever it could pan to in between.
  if (platform::display_refresh(display.get()) == 0 && yoffset_lines(info_path) != "yoffset=0\n") abort();
  return 0;
}
