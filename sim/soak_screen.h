// Recognises the charging screen on a visible page: which battery picture
// (a frame of the animation, the full or the unknown battery, with or
// without the charging bolt) and which text line (a warning, the unplugged
// line, both or none) it shows. It composes every candidate from the phone's
// pictures as the charging screen places them (battery centred, bolt above
// the middle, text lines below it, on black, in RGB565) and takes the
// closest one, counting pixels that differ by more than a rounding step.
// Used by the soak run and its tests; single-threaded, reads only the
// picture files it is given.
#pragma once

#include <string>
#include <vector>

#include "sim/image.h"
#include "sim/soak_model.h"

namespace sim {

class SoakScreen {
 public:
  // Loads the pictures of `res_dir` for the language tag `lang` (for
  // example "zh_cn") for a screen of width x height. False with a message
  // when a picture is missing.
  bool load(const std::string& res_dir, const std::string& lang, int width, int height, std::string* error);

  // The closest battery picture and text line. False (with what was closest)
  // when a region matches no candidate.
  bool recognise(const Image& page, MainView* main, LineView* line, std::string* detail) const;

  // The page the charging screen draws for these views (tests).
  Image render(const MainView& main, const LineView& line) const;

 private:
  struct Region {
    int x = 0, y = 0, w = 0, h = 0;
  };
  void draw_main(Image* page, const MainView& main) const;
  void draw_line(Image* page, const LineView& line) const;
  // Pixels of `region` that differ between the page and `expected`.
  static int mismatches(const Image& page, const Image& expected, const Region& region);

  int width_ = 0, height_ = 0;
  std::vector<Image> frames_;  // 0..25
  Image full_, unknown_, bolt_, unplugged_;
  std::vector<Image> warnings_;  // kWarnVolHigh.. in table order
  Region main_region_, line_region_;
};

}  // namespace sim
