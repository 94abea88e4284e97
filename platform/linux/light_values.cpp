#include "platform/linux/light_values.h"

#include <cstdio>
#include <cstring>

namespace platform::kernel {
namespace {

unsigned channel(uint32_t argb, int which) { return (argb >> (16 - 8 * which)) & 0xffu; }

}  // namespace

unsigned scale_level(unsigned level, unsigned max) {
  if (level > 255) level = 255;
  if (level == 0 || max == 0) return 0;
  uint64_t scaled = (static_cast<uint64_t>(level) * max + 127) / 255;
  return scaled == 0 ? 1 : static_cast<unsigned>(scaled);
}

unsigned luminance(uint32_t argb) { return (77 * channel(argb, 0) + 150 * channel(argb, 1) + 29 * channel(argb, 2)) >> 8; }

RgbLevels split_color(uint32_t argb, unsigned red_max, unsigned green_max, unsigned blue_max) {
  return {scale_level(channel(argb, 0), red_max), scale_level(channel(argb, 1), green_max),
          scale_level(channel(argb, 2), blue_max)};
}

bool parse_multi_index(const char* text, ChannelOrder* order) {
  static constexpr const char* kNames[3] = {"red", "green", "blue"};
  if (text == nullptr) return false;
  bool seen[3] = {false, false, false};
  int count = 0;
  const char* p = text;
  for (;;) {
    while (*p == ' ' || *p == '\n' || *p == '\t') ++p;
    if (*p == '\0') break;
    size_t len = strcspn(p, " \n\t");
    int found = -1;
    for (int c = 0; c < 3; ++c) {
      if (strlen(kNames[c]) == len && strncmp(p, kNames[c], len) == 0) found = c;
    }
    if (found < 0 || seen[found] || count == 3) return false;
    seen[found] = true;
    order->channel[count++] = found;
    p += len;
  }
  return count == 3;
}

size_t format_multi_intensity(uint32_t argb, const ChannelOrder& order, char* out, size_t size) {
  int n = snprintf(out, size, "%u %u %u\n", channel(argb, order.channel[0]), channel(argb, order.channel[1]),
                   channel(argb, order.channel[2]));
  return n > 0 && static_cast<size_t>(n) < size ? static_cast<size_t>(n) : 0;
}

unsigned multicolor_brightness(uint32_t argb, unsigned max) { return (argb & 0xffffffu) != 0 ? max : 0; }

}  // namespace platform::kernel
