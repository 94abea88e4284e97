#include "sim/soak_screen.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "sim/files.h"

namespace sim {
namespace {

// A channel may differ by one RGB565 step and its rounding.
constexpr int kChannelSlack = 12;
// A region matches when at most this share of its pixels differ (1/200).
constexpr int kMismatchDivisor = 200;

constexpr const char* kWarningNames[kWarnCount] = {"vol_high", "vol_low", "battery_high",
                                                   "battery_untouch", "temp_high", "temp_low"};

uint32_t channel(uint32_t c, int shift) { return (c >> shift) & 0xffu; }

// What the 565 surface keeps of an 8-bit colour, widened back.
uint32_t through_565(uint32_t r, uint32_t g, uint32_t b) {
  r >>= 3, g >>= 2, b >>= 3;
  return 0xff000000u | (((r << 3) | (r >> 2)) << 16) | (((g << 2) | (g >> 4)) << 8) | ((b << 3) | (b >> 2));
}

// Blends `pic` with its top-left corner at page coordinates (x, y) into
// `target`, whose top-left corner is at page coordinates (ox, oy).
void blend(Image* target, int ox, int oy, const Image& pic, int x, int y) {
  for (int j = 0; j < pic.height; ++j) {
    for (int i = 0; i < pic.width; ++i) {
      int tx = x + i - ox, ty = y + j - oy;
      if (tx < 0 || ty < 0 || tx >= target->width || ty >= target->height) continue;
      uint32_t s = pic.at(i, j), d = target->at(tx, ty);
      uint32_t a = s >> 24;
      if (a == 0) continue;
      auto mix = [&](int shift) { return (channel(s, shift) * a + channel(d, shift) * (255 - a) + 127) / 255; };
      target->set(tx, ty, through_565(mix(16), mix(8), mix(0)));
    }
  }
}

bool load_picture(const std::string& res_dir, const std::string& name, Image* out, std::string* error) {
  return read_png(join_path(res_dir, name), out, error);
}

}  // namespace

bool SoakScreen::load(const std::string& res_dir, const std::string& lang, int width, int height,
                      std::string* error) {
  width_ = width;
  height_ = height;
  frames_.assign(26, Image());
  warnings_.assign(kWarnCount, Image());
  char name[64];
  for (int f = 0; f <= 25; ++f) {
    snprintf(name, sizeof(name), f == 0 ? "boot_charger_empty.png" : "boot_charger_%02d.png", f);
    if (!load_picture(res_dir, name, &frames_[f], error)) return false;
  }
  for (int w = 0; w < kWarnCount; ++w) {
    if (!load_picture(res_dir, "boot_charger_" + std::string(kWarningNames[w]) + "_" + lang + ".png",
                      &warnings_[w], error)) {
      return false;
    }
  }
  if (!load_picture(res_dir, "boot_charger_full_" + lang + ".png", &full_, error) ||
      !load_picture(res_dir, "boot_charger_unknown.png", &unknown_, error) ||
      !load_picture(res_dir, "boot_charger_charging.png", &bolt_, error) ||
      !load_picture(res_dir, "boot_charger_unpluged_" + lang + ".png", &unplugged_, error)) {
    return false;
  }
  // The battery's place (the tallest and widest battery picture, centred,
  // and the bolt over it) and the text line's (full width, below the middle).
  int w = 0, h = 0;
  for (const Image* p : {&full_, &unknown_, &frames_[0]}) w = std::max(w, p->width), h = std::max(h, p->height);
  for (const Image& p : frames_) w = std::max(w, p.width), h = std::max(h, p.height);
  int top = std::min((height - h) / 2, height / 2 - 70);
  int bottom = std::max((height - h) / 2 + h, height / 2 - 70 + bolt_.height);
  main_region_ = {std::max(0, (width - std::max(w, bolt_.width)) / 2), std::max(0, top), 0, 0};
  main_region_.w = std::min(width, std::max(w, bolt_.width));
  main_region_.h = std::min(height, bottom) - main_region_.y;
  int line_h = unplugged_.height;
  for (const Image& p : warnings_) line_h = std::max(line_h, p.height);
  line_region_ = {0, std::min(height, height / 2 + 141), width, 0};
  line_region_.h = std::max(0, std::min(height, line_region_.y + line_h) - line_region_.y);
  return true;
}

void SoakScreen::draw_main(Image* page, const MainView& main) const {
  const Image* pic = main.picture == kMainFull      ? &full_
                     : main.picture == kMainUnknown ? &unknown_
                     : main.picture == kMainNone    ? nullptr
                                                    : &frames_[main.picture];
  if (pic != nullptr) blend(page, 0, 0, *pic, (width_ - pic->width) / 2, (height_ - pic->height) / 2);
  if (main.bolt) blend(page, 0, 0, bolt_, (width_ - bolt_.width) / 2, height_ / 2 - 70);
}

void SoakScreen::draw_line(Image* page, const LineView& line) const {
  int y = height_ / 2 + 141;
  if (line.warning != kWarnNone) {
    const Image& w = warnings_[line.warning];
    blend(page, 0, 0, w, (width_ - w.width) / 2, y);
  }
  if (line.unplugged) blend(page, 0, 0, unplugged_, (width_ - unplugged_.width) / 2, y);
}

Image SoakScreen::render(const MainView& main, const LineView& line) const {
  Image page(width_, height_, 0xff000000u);
  draw_main(&page, main);
  draw_line(&page, line);
  return page;
}

int SoakScreen::mismatches(const Image& page, const Image& expected, const Region& r) {
  int count = 0;
  for (int y = r.y; y < r.y + r.h; ++y) {
    for (int x = r.x; x < r.x + r.w; ++x) {
      uint32_t a = page.at(x, y), b = expected.at(x, y);
      for (int shift : {16, 8, 0}) {
        if (std::abs(static_cast<int>(channel(a, shift)) - static_cast<int>(channel(b, shift))) > kChannelSlack) {
          ++count;
          break;
        }
      }
    }
  }
  return count;
}

bool SoakScreen::recognise(const Image& page, MainView* main, LineView* line, std::string* detail) const {
  if (page.width != width_ || page.height != height_) {
    *detail = "the page is " + std::to_string(page.width) + "x" + std::to_string(page.height) +
              ", the pictures were placed for " + std::to_string(width_) + "x" + std::to_string(height_);
    return false;
  }
  // Each candidate is drawn on a black page of its own; only its region is compared.
  Image scratch(width_, height_, 0xff000000u);
  auto closest = [&](const Region& region, auto candidates, auto draw, auto* best) {
    int best_count = -1;
    for (const auto& c : candidates) {
      fill_rect(&scratch, region.x, region.y, region.w, region.h, 0xff000000u);
      (this->*draw)(&scratch, c);
      int n = mismatches(page, scratch, region);
      if (best_count < 0 || n < best_count) best_count = n, *best = c;
    }
    return best_count;
  };
  std::vector<MainView> mains;
  for (int p = 0; p <= kMainNone; ++p) mains.push_back({p, false}), mains.push_back({p, true});
  std::vector<LineView> lines;
  for (int w = kWarnNone; w < kWarnCount; ++w) lines.push_back({w, false}), lines.push_back({w, true});
  int main_off = closest(main_region_, mains, &SoakScreen::draw_main, main);
  int line_off = closest(line_region_, lines, &SoakScreen::draw_line, line);
  int main_limit = std::max(20, main_region_.w * main_region_.h / kMismatchDivisor);
  int line_limit = std::max(20, line_region_.w * line_region_.h / kMismatchDivisor);
  char text[200];
  snprintf(text, sizeof(text), "closest: %s (%d pixels off), %s (%d pixels off)", describe(*main).c_str(), main_off,
           describe(*line).c_str(), line_off);
  *detail = text;
  return main_off <= main_limit && line_off <= line_limit;
}

}  // namespace sim
