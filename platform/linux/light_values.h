// Light requests as the kernel's LED and backlight classes take them.
// Pure: values in, values or texts out (the Linux lights module writes them
// to sysfs; tests check them).
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform::kernel {

// A 0-255 level on a device whose brightness runs 0..max, rounded to the
// nearest step; any level above 0 stays above 0 on a device with max > 0.
unsigned scale_level(unsigned level, unsigned max);

// The backlight level of an ARGB request, as the platform's lights modules
// read it: the colour's luminance, (77 R + 150 G + 29 B) >> 8.
unsigned luminance(uint32_t argb);

// The battery LED as three single-colour LEDs: each channel scaled to its
// LED's max_brightness.
struct RgbLevels {
  unsigned red, green, blue;
};
RgbLevels split_color(uint32_t argb, unsigned red_max, unsigned green_max, unsigned blue_max);

// A multicolour LED: which channel each intensity stands for, in the order
// of its "multi_index" file ("red green blue", "green red blue", ...).
struct ChannelOrder {
  int channel[3];  // 0 red, 1 green, 2 blue
};
// Parses a multi_index text. False unless it names red, green and blue
// exactly once each and nothing else.
bool parse_multi_index(const char* text, ChannelOrder* order);

// The "multi_intensity" text of an ARGB request ("R G B\n" in the LED's
// order, each 0-255) and the brightness that goes with it: the LED's max
// when any channel is lit, else 0. Returns the text's length (0 when it
// does not fit).
size_t format_multi_intensity(uint32_t argb, const ChannelOrder& order, char* out, size_t size);
unsigned multicolor_brightness(uint32_t argb, unsigned max);

}  // namespace platform::kernel
