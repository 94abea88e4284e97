// The 32-bit present's pixel expansion: every 565 value, through the wide
// path and the tail, at every alignment, and nothing written past the end.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "ui/graphics.h"

namespace {

// Bytes R8, G8, B8, 0xFF with the top bits replicated, worked out per byte.
void expected_bytes(uint16_t p, uint8_t out[4]) {
  unsigned r = p >> 11, g = (p >> 5) & 63, b = p & 31;
  out[0] = static_cast<uint8_t>(r * 8 + r / 4);
  out[1] = static_cast<uint8_t>(g * 4 + g / 16);
  out[2] = static_cast<uint8_t>(b * 8 + b / 4);
  out[3] = 0xFF;
}

TEST(ExpandWideTest, EveryValueInOneRun) {
  std::vector<uint16_t> src(65536);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint16_t>(i);
  std::vector<uint32_t> dst(src.size() + 1, 0xDEADBEEF);
  expand_565_to_8888(dst.data(), src.data(), src.size());
  for (size_t i = 0; i < src.size(); ++i) {
    uint8_t want[4];
    expected_bytes(src[i], want);
    ASSERT_EQ(memcmp(&dst[i], want, 4), 0) << "value " << std::hex << i;
  }
  EXPECT_EQ(dst.back(), 0xDEADBEEFu);
}

TEST(ExpandWideTest, EveryLengthAndOffsetStopsAtTheEnd) {
  // Lengths around the 8-pixel step, starting at odd source and destination
  // pixels so that no load or store is aligned.
  std::vector<uint16_t> src(64);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint16_t>(0x9E37 * (i + 1));
  for (size_t offset = 0; offset < 3; ++offset) {
    for (size_t count = 0; count <= 33; ++count) {
      SCOPED_TRACE(testing::Message() << "offset " << offset << " count " << count);
      std::vector<uint32_t> dst(count + offset + 2, 0xDEADBEEF);
      expand_565_to_8888(dst.data() + offset, src.data() + offset, count);
      for (size_t i = 0; i < dst.size(); ++i) {
        if (i < offset || i >= offset + count) {
          ASSERT_EQ(dst[i], 0xDEADBEEFu) << "pixel " << i << " written";
          continue;
        }
        uint8_t want[4];
        expected_bytes(src[i], want);
        ASSERT_EQ(memcmp(&dst[i], want, 4), 0) << "pixel " << i;
      }
    }
  }
}

}  // namespace
