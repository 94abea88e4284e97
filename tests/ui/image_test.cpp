// PNG decoding into surfaces, and picture resources from the resource folder.
#include "ui/image.h"

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/settings.h"
#include "tests/ui/ui_fixtures.h"
#include "ui/graphics.h"

namespace {

using Bytes = std::vector<unsigned char>;
using lumo_test::png_of;
using lumo_test::PngSpec;

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override { resetSettingsCache(); }
  void TearDown() override {
    set_picture_budget_for_test(kPictureBudgetBytes);
    for (Surface* s : loaded_) free(s);
    resetSettingsCache();
  }
  // Decodes `spec` (or the file already there when null); keeps a result for freeing.
  int load(const PngSpec* spec, Surface** out, const std::string& path = "/system/lumo/res/pic.png") {
    EXPECT_TRUE(spec == nullptr || lumo_test::put_png(root_, path, *spec));
    int result = load_png_surface(path.c_str(), out);
    if (result == PNG_LOAD_OK) loaded_.push_back(*out);
    return result;
  }
  Surface* keep(Surface* s) {
    if (s != nullptr) loaded_.push_back(s);
    return s;
  }
  lumo_test::DeviceRoot root_;
  std::vector<Surface*> loaded_;
};

TEST_F(ImageTest, AcceptedLayoutsDecodeToFourBytesAPixel) {
  PngSpec palette = png_of(2, 1, PNG_COLOR_TYPE_PALETTE, {1, 0}), palette_trns = palette;
  palette.palette = palette_trns.palette = {10, 20, 30, 40, 50, 60};
  palette_trns.alphas = {0, 128};
  std::mt19937 rng(1);
  Bytes rgb(9 * 7 * 3), wide;
  for (auto& b : rgb) b = static_cast<unsigned char>(rng());
  for (size_t i = 0; i < rgb.size(); i += 3) wide.insert(wide.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 0xFF});
  PngSpec rgb_interlaced = png_of(9, 7, PNG_COLOR_TYPE_RGB, rgb);
  rgb_interlaced.interlaced = true;
  const Bytes widened_pair = {10, 20, 30, 255, 40, 50, 60, 255};
  const struct { PngSpec spec; uint8_t format; Bytes pixels; } cases[] = {
      {png_of(2, 1, PNG_COLOR_TYPE_RGB, {10, 20, 30, 40, 50, 60}), PIXEL_FORMAT_RGBX_8888, widened_pair},
      {png_of(2, 1, PNG_COLOR_TYPE_RGB_ALPHA, {1, 2, 3, 0, 4, 5, 6, 200}), PIXEL_FORMAT_RGBA_8888,
       {1, 2, 3, 0, 4, 5, 6, 200}},
      {palette, PIXEL_FORMAT_RGBX_8888, {40, 50, 60, 255, 10, 20, 30, 255}},  // indices 1, 0
      {palette_trns, PIXEL_FORMAT_RGBA_8888, {40, 50, 60, 128, 10, 20, 30, 0}},
      {rgb_interlaced, PIXEL_FORMAT_RGBX_8888, wide},  // widened after the last pass
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    Surface* s = nullptr;
    ASSERT_EQ(load(&c.spec, &s), PNG_LOAD_OK);
    EXPECT_EQ((std::vector<uint32_t>{s->version, s->width, s->height, uint32_t(s->stride), s->format}),
              (std::vector<uint32_t>{sizeof(Surface), uint32_t(c.spec.width), uint32_t(c.spec.height),
                                     uint32_t(c.spec.width), c.format}));
    EXPECT_EQ(s->data, reinterpret_cast<uint8_t*>(s + 1));
    EXPECT_EQ(Bytes(s->data, s->data + c.pixels.size()), c.pixels);
  }
}

TEST_F(ImageTest, BadFilesAreRefusedWithTheirCodeAndOutputUntouched) {
  PngSpec palette4 = png_of(2, 1, PNG_COLOR_TYPE_PALETTE, {0x10}, 4);
  palette4.palette = {1, 2, 3, 4, 5, 6};
  lumo_test::put_png(root_, "/good.png", png_of(1, 1, PNG_COLOR_TYPE_RGB, {1, 2, 3}));
  const std::string whole = root_.read("/good.png");
  const std::pair<PngSpec, int> specs[] = {
      {png_of(2, 1, PNG_COLOR_TYPE_GRAY, {1, 2}), PNG_ERR_FORMAT},
      {png_of(2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, {1, 2, 3, 4}), PNG_ERR_FORMAT},
      {png_of(1, 1, PNG_COLOR_TYPE_RGB_ALPHA, Bytes(8, 7), 16), PNG_ERR_FORMAT},
      {palette4, PNG_ERR_FORMAT},
      {png_of(8193, 1, PNG_COLOR_TYPE_RGB, Bytes(8193 * 3)), PNG_ERR_MEMORY},
      {png_of(1, 8193, PNG_COLOR_TYPE_RGB, Bytes(8193 * 3)), PNG_ERR_MEMORY},
  };
  // A cut in the pixel data and a text file: FailuresAreLoggedAndMissingFilesRetried.
  const std::pair<std::string, int> raws[] = {{whole.substr(0, 40), PNG_ERR_DECODE},
                                               {whole.substr(0, 7), PNG_ERR_SHORT}};
  Surface untouched = {};
  Surface* s = &untouched;
  for (const auto& [spec, code] : specs) EXPECT_EQ(load(&spec, &s), code) << spec.width << " " << spec.color_type;
  for (const auto& [content, code] : raws) {
    root_.write("/raw.png", content);
    EXPECT_EQ(load(nullptr, &s, "/raw.png"), code) << content.size();
  }
  EXPECT_EQ(load(nullptr, &s, "/absent.png"), PNG_ERR_OPEN);
  EXPECT_EQ(s, &untouched);
}

TEST_F(ImageTest, ResourcesUseTheLanguageAndLoadOnce) {
  PngSpec one = png_of(1, 1, PNG_COLOR_TYPE_RGB, {1, 2, 3});
  ASSERT_TRUE(lumo_test::put_png(root_, "/system/lumo/res/boot_charger_full_zh_cn.png", one));
  ImageResource full = {0, nullptr, "boot_charger_full_%s.png", nullptr};
  Surface* s = keep(resource_surface(&full));
  ASSERT_NE(s, nullptr);
  root_.remove("/system/lumo/res/boot_charger_full_zh_cn.png");
  EXPECT_EQ(resource_surface(&full), s);  // not read again

  resetSettingsCache();
  root_.set_property("persist.sys.language", "EN");
  root_.set_property("persist.sys.country", "US");
  ASSERT_TRUE(lumo_test::put_png(root_, "/system/lumo/res/a%d_en_us.png", one));
  ASSERT_TRUE(lumo_test::put_png(root_, "/system/lumo/res/fixed.png", one));
  ImageResource odd = {0, nullptr, "a%d_%s.png", nullptr}, fixed = {0, "fixed.png", "ignored_%s.png", nullptr};
  EXPECT_NE(keep(resource_surface(&odd)), nullptr);  // only the first "%s" is replaced
  EXPECT_NE(keep(resource_surface(&fixed)), nullptr);
}

// A missing or short file is tried again on each request; one that is there
// but does not decode (a signature, a cut stream) is logged once and
// remembered for the run.
TEST_F(ImageTest, FailuresAreLoggedAndMissingFilesRetried) {
  ImageResource missing = {0, "nothing.png", nullptr, nullptr}, none = {0, nullptr, nullptr, nullptr};
  ImageResource short_file = {0, "short.png", nullptr, nullptr}, text = {0, "text.png", nullptr, nullptr};
  ImageResource cut = {0, "cut.png", nullptr, nullptr};
  const std::string good = (lumo_test::put_png(root_, "/good.png", png_of(8, 8, PNG_COLOR_TYPE_RGB, Bytes(192, 5))),
                            root_.read("/good.png"));
  root_.write("/system/lumo/res/short.png", "\x89PN");
  root_.write("/system/lumo/res/text.png", "plain text, no picture");
  root_.write("/system/lumo/res/cut.png", good.substr(0, good.size() - 20));
  // A name that does not fit the path buffer must not load the file its cut path names.
  std::string name(250, 'n'), cut_path = ("/system/lumo/res/" + name).substr(0, 255);
  ASSERT_TRUE(lumo_test::put_png(root_, cut_path, png_of(1, 1, PNG_COLOR_TYPE_RGB, {1, 2, 3})));
  ImageResource long_name = {0, name.c_str(), nullptr, nullptr};
  for (ImageResource* r : {&missing, &missing, &none, &short_file, &text, &text, &long_name, &cut, &cut, &cut}) {
    EXPECT_EQ(resource_surface(r), nullptr) << (r->file_name != nullptr ? r->file_name : "none");
  }
  EXPECT_EQ(root_.log_texts('E'),
            (std::vector<std::string>{"Missing bitmap (Code -1) '/system/lumo/res/nothing.png'",
                                      "Missing bitmap (Code -1) '/system/lumo/res/nothing.png'", "No load resurce.",
                                      "Missing bitmap (Code -3) '/system/lumo/res/text.png'",  // -2 is not reported
                                      "Missing bitmap (Code -1) '" + cut_path + "'",
                                      "Missing bitmap (Code -6) '/system/lumo/res/cut.png'"}));
  ASSERT_TRUE(lumo_test::put_png(root_, "/system/lumo/res/nothing.png", png_of(1, 1, PNG_COLOR_TYPE_RGB, {1, 2, 3})));
  EXPECT_NE(keep(resource_surface(&missing)), nullptr);  // no negative cache for a missing file
  root_.write("/system/lumo/res/cut.png", good);
  EXPECT_EQ(resource_surface(&cut), nullptr);  // remembered for the run
}

TEST_F(ImageTest, DecodedPicturesShareOneBudget) {
  PngSpec small = png_of(4, 4, PNG_COLOR_TYPE_RGB, Bytes(48, 9));
  const size_t block = sizeof(Surface) + 4 * 4 * 4;
  set_picture_budget_for_test(2 * block + block / 2);
  Surface *a = nullptr, *b = nullptr, *c = nullptr;
  EXPECT_EQ(load(&small, &a), PNG_LOAD_OK);
  EXPECT_EQ(load(&small, &b), PNG_LOAD_OK);
  EXPECT_EQ(load(&small, &c), PNG_ERR_BUDGET);  // a third would pass it
  EXPECT_EQ(c, nullptr);
  EXPECT_TRUE(root_.log_contains("Picture '/system/lumo/res/pic.png' refused: decoded pictures would pass " +
                                 std::to_string(2 * block + block / 2) + " bytes."));
  // One picture larger than the whole budget is refused from its header, before any allocation.
  set_picture_budget_for_test(1u << 20);
  root_.clear_log();
  const PngSpec big = png_of(1024, 1024, PNG_COLOR_TYPE_RGB, Bytes(1024 * 1024 * 3));
  const PngSpec fits = png_of(511, 511, PNG_COLOR_TYPE_RGB, Bytes(511 * 511 * 3));
  EXPECT_EQ(load(&big, &c), PNG_ERR_BUDGET);
  for (const auto& text : root_.log_texts()) EXPECT_EQ(text.find("Malloc"), std::string::npos) << text;
  EXPECT_EQ(load(&fits, &c), PNG_LOAD_OK);
}

}  // namespace
