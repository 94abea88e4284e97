// The DRM display's choices, fed with connectors, modes and plane formats as
// libdrm would report them, and its page bookkeeping through flips, mode sets
// and a lost display. Nothing here touches the machine.
#include <gtest/gtest.h>

#include <vector>

#include "platform/linux/drm_layout.h"

namespace {

using namespace platform::kernel;

struct Card {
  std::vector<std::vector<DrmMode>> modes;
  std::vector<DrmConnector> connectors;

  // One connector per entry: connected or not, with its modes.
  Card(std::initializer_list<std::pair<bool, std::vector<DrmMode>>> spec) {
    for (const auto& [connected, list] : spec) modes.push_back(list);
    size_t i = 0;
    for (const auto& [connected, list] : spec) {
      connectors.push_back({static_cast<uint32_t>(30 + i), connected, modes[i].data(), modes[i].size()});
      ++i;
    }
  }
  DrmPick pick() const { return pick_connector_mode(connectors.data(), connectors.size()); }
};

TEST(DrmModeChoice, PicksFirstConnectedConnectorAndItsMode) {
  const DrmMode small{640, 480, 60, false}, big{1280, 720, 60, false}, big_fast{1280, 720, 75, false};
  const DrmMode preferred{800, 600, 60, true}, empty{0, 600, 60, true};
  const struct { const char* what; Card card; DrmPick want; } cases[] = {
      {"preferred mode wins over a larger one", Card{{true, {big, preferred, small}}}, {0, 1}},
      {"disconnected connector skipped", Card{{false, {preferred}}, {true, {small}}}, {1, 0}},
      {"without preferred: largest", Card{{true, {small, big, small}}}, {0, 1}},
      {"equal sizes: higher refresh", Card{{true, {big, big_fast}}}, {0, 1}},
      {"zero-sized preferred mode ignored", Card{{true, {empty, small}}}, {0, 1}},
      {"connected without modes skipped", Card{{true, {}}, {true, {small}}}, {1, 0}},
      {"nothing connected", Card{{false, {big}}, {false, {small}}}, {-1, -1}},
      {"only unusable modes", Card{{true, {empty}}}, {-1, -1}},
  };
  for (const auto& c : cases) {
    DrmPick got = c.card.pick();
    EXPECT_EQ(got.connector, c.want.connector) << c.what;
    EXPECT_EQ(got.mode, c.want.mode) << c.what;
  }
  EXPECT_EQ(pick_connector_mode(nullptr, 3).connector, -1);
}

TEST(DrmFormatChoice, Rgb565OnlyWhenWantedAndOffered) {
  const std::vector<uint32_t> both = {kFormatXrgb8888, kFormatRgb565}, only32 = {kFormatXrgb8888},
                              other = {0x34325241 /* ARGB8888 */};
  EXPECT_EQ(pick_format(both.data(), both.size(), true), kFormatRgb565);
  EXPECT_EQ(pick_format(both.data(), both.size(), false), kFormatXrgb8888);
  EXPECT_EQ(pick_format(only32.data(), only32.size(), true), kFormatXrgb8888);
  EXPECT_EQ(pick_format(other.data(), other.size(), true), kFormatXrgb8888);
  EXPECT_EQ(pick_format(nullptr, 0, true), kFormatXrgb8888);
  EXPECT_EQ(format_bits(kFormatRgb565), 16u);
  EXPECT_EQ(format_bits(kFormatXrgb8888), 32u);
  EXPECT_EQ(format_bits(0x34325241), 0u);
}

TEST(DrmPages, PaddedWidthMakesPagesWholeMemoryPages) {
  const struct { unsigned width, height, bits, want; } cases[] = {
      {720, 1280, 32, 720},  // 3686400 bytes: 900 memory pages already
      {800, 600, 32, 896},   // rows of w * 2400 bytes: w a multiple of 128
      {800, 600, 16, 1024},  // w * 1200 bytes: w a multiple of 256
      {1, 1, 32, 0},         // 1024 pixels needed, more than twice the width
      {0, 600, 32, 0},       // no screen
      {800, 600, 12, 0},     // not whole bytes a pixel
  };
  for (const auto& c : cases) {
    EXPECT_EQ(padded_width(c.width, c.height, c.bits, 4096), c.want) << c.width << "x" << c.height << "@" << c.bits;
  }
  EXPECT_EQ(padded_width(800, 600, 32, 0), 0u);
}

TEST(DrmPages, DisplayInfoPutsPagesBackToBack) {
  auto fields = [](const platform::DisplayInfo& i) {
    return std::vector<size_t>{i.width,      i.height,     i.bits_per_pixel, i.line_length, i.pages,
                               i.memory_size, i.red_offset, i.green_offset,   i.blue_offset};
  };
  platform::DisplayInfo info;
  ASSERT_TRUE(display_info_from_drm(720, 1280, kFormatXrgb8888, 3072, 2, &info));
  EXPECT_EQ(fields(info), (std::vector<size_t>{720, 1280, 32, 3072, 2, 2 * 1280 * 3072, 16, 8, 0}));
  ASSERT_TRUE(display_info_from_drm(480, 800, kFormatRgb565, 960, 1, &info));
  EXPECT_EQ(fields(info), (std::vector<size_t>{480, 800, 16, 960, 1, 800 * 960, 11, 5, 0}));
  // A pitch shorter than a row, zero sides, an unknown format: nothing.
  EXPECT_FALSE(display_info_from_drm(720, 1280, kFormatXrgb8888, 2879, 2, &info));
  EXPECT_EQ(info.width, 0u);
  EXPECT_FALSE(display_info_from_drm(0, 1280, kFormatXrgb8888, 2880, 2, &info));
  EXPECT_FALSE(display_info_from_drm(720, 1280, 0x34325241, 2880, 2, &info));
}

TEST(DrmFlips, PresentsGoToTheHiddenPageOneFlipAtATime) {
  FlipBook book{2};
  EXPECT_EQ(flip_step(book, 2), FlipStep::kInvalid);
  EXPECT_EQ(flip_step(book, 0), FlipStep::kModeSet);
  flip_mode_set(&book, 0);
  EXPECT_EQ(flip_step(book, 0), FlipStep::kNothing);
  EXPECT_EQ(flip_step(book, 1), FlipStep::kFlip);
  flip_queued(&book, 1);
  // Until the event: page 0 is still scanned out, nothing else may be queued.
  EXPECT_EQ(book.shown, 0);
  EXPECT_EQ(flip_step(book, 0), FlipStep::kBusy);
  EXPECT_EQ(flip_step(book, 1), FlipStep::kBusy);
  flip_completed(&book);
  EXPECT_EQ(book.shown, 1);
  EXPECT_EQ(flip_step(book, 0), FlipStep::kFlip);
  // A stray second event changes nothing.
  flip_completed(&book);
  EXPECT_EQ(book.shown, 1);

  // Master lost with a flip in flight: the next show sets the mode afresh.
  flip_queued(&book, 0);
  flip_lost(&book);
  EXPECT_EQ(flip_step(book, 1), FlipStep::kModeSet);
  flip_mode_set(&book, 1);
  EXPECT_EQ(book.pending, -1);
  EXPECT_EQ(flip_step(book, 1), FlipStep::kNothing);

  FlipBook single{1};
  flip_mode_set(&single, 0);
  EXPECT_EQ(flip_step(single, 0), FlipStep::kNothing);
  EXPECT_EQ(flip_step(single, 1), FlipStep::kInvalid);
}

}  // namespace
