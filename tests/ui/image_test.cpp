// PNG decoding into surfaces and picture resources from the resource folder.
#include "ui/image.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/settings.h"
#include "tests/support/device_root.h"
#include "tests/ui/png_writer.h"
#include "ui/graphics.h"

namespace {

using Bytes = std::vector<unsigned char>;
using lumo_test::PngSpec;

PngSpec spec_of(int w, int h, int color_type, Bytes pixels, int depth = 8) {
  PngSpec spec;
  spec.width = w;
  spec.height = h;
  spec.color_type = color_type;
  spec.bit_depth = depth;
  spec.pixels = std::move(pixels);
  return spec;
}

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<unsigned char>(rng());
  return out;
}

// RGB rows as the decoder must store them: a 0xFF fourth byte per pixel.
Bytes widened(const Bytes& rgb) {
  Bytes out;
  for (size_t i = 0; i + 2 < rgb.size(); i += 3) out.insert(out.end(), {rgb[i], rgb[i + 1], rgb[i + 2], 0xFF});
  return out;
}

// One PNG chunk with its CRC.
void put_chunk(std::string* out, const char* type, const std::string& data) {
  auto be32 = [out](uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out->push_back(static_cast<char>(v >> s));
  };
  be32(static_cast<uint32_t>(data.size()));
  std::string body = std::string(type, 4) + data;
  out->append(body);
  be32(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
}

// A well-formed header announcing w x h 8-bit RGB, followed by an empty IDAT.
std::string png_header_only(uint32_t w, uint32_t h) {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string ihdr;
  for (uint32_t v : {w, h}) {
    for (int s = 24; s >= 0; s -= 8) ihdr.push_back(static_cast<char>(v >> s));
  }
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);
  put_chunk(&png, "IHDR", ihdr);
  put_chunk(&png, "IDAT", "");
  put_chunk(&png, "IEND", "");
  return png;
}

class ImageTest : public ::testing::Test {
 protected:
  void SetUp() override { resetSettingsCache(); }
  void TearDown() override {
    for (Surface* s : loaded_) free(s);
    resetSettingsCache();
  }

  std::string write(const std::string& name, const PngSpec& spec) {
    std::string device_path = "/system/lumo/res/" + name;
    root_.write(device_path, "");
    EXPECT_TRUE(lumo_test::write_png(root_.path(device_path), spec));
    return device_path;
  }
  // load_png_surface, keeping the result for freeing.
  int load(const std::string& device_path, Surface** out) {
    int result = load_png_surface(device_path.c_str(), out);
    if (result == 0) loaded_.push_back(*out);
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
  PngSpec palette = spec_of(2, 1, PNG_COLOR_TYPE_PALETTE, {1, 0});
  palette.palette = {{10, 20, 30}, {40, 50, 60}};
  PngSpec palette_trns = palette;
  palette_trns.trns = {0, 128};
  PngSpec rgb_trns = spec_of(2, 1, PNG_COLOR_TYPE_RGB, {10, 20, 30, 40, 50, 60});
  rgb_trns.trns = {10, 20, 30};
  Bytes rgb_big = random_bytes(9 * 7 * 3, 1), rgba_big = random_bytes(9 * 7 * 4, 2);
  PngSpec rgb_interlaced = spec_of(9, 7, PNG_COLOR_TYPE_RGB, rgb_big);
  rgb_interlaced.interlaced = true;
  PngSpec rgba_interlaced = spec_of(9, 7, PNG_COLOR_TYPE_RGB_ALPHA, rgba_big);
  rgba_interlaced.interlaced = true;
  PngSpec palette_interlaced = palette;
  palette_interlaced.interlaced = true;
  palette_interlaced.width = 2;

  struct Case {
    const char* what;
    PngSpec spec;
    uint8_t format;
    Bytes pixels;
  };
  const Case cases[] = {
      {"rgb", spec_of(2, 1, PNG_COLOR_TYPE_RGB, {10, 20, 30, 40, 50, 60}), PIXEL_FORMAT_RGBX_8888,
       {10, 20, 30, 255, 40, 50, 60, 255}},
      {"rgba keeps straight alpha", spec_of(2, 1, PNG_COLOR_TYPE_RGB_ALPHA, {1, 2, 3, 0, 4, 5, 6, 200}),
       PIXEL_FORMAT_RGBA_8888, {1, 2, 3, 0, 4, 5, 6, 200}},
      {"palette", palette, PIXEL_FORMAT_RGBX_8888, {40, 50, 60, 255, 10, 20, 30, 255}},
      {"palette with tRNS", palette_trns, PIXEL_FORMAT_RGBA_8888, {40, 50, 60, 128, 10, 20, 30, 0}},
      {"rgb with tRNS stays opaque", rgb_trns, PIXEL_FORMAT_RGBX_8888, {10, 20, 30, 255, 40, 50, 60, 255}},
      {"rgb interlaced", rgb_interlaced, PIXEL_FORMAT_RGBX_8888, widened(rgb_big)},
      {"rgba interlaced", rgba_interlaced, PIXEL_FORMAT_RGBA_8888, rgba_big},
      {"palette interlaced", palette_interlaced, PIXEL_FORMAT_RGBX_8888, {40, 50, 60, 255, 10, 20, 30, 255}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Surface* s = nullptr;
    ASSERT_EQ(load(write("pic.png", c.spec), &s), 0);
    EXPECT_EQ(s->version, sizeof(Surface));
    EXPECT_EQ(s->width, static_cast<uint32_t>(c.spec.width));
    EXPECT_EQ(s->height, static_cast<uint32_t>(c.spec.height));
    EXPECT_EQ(s->stride, c.spec.width);
    EXPECT_EQ(s->format, c.format);
    EXPECT_EQ(s->data, reinterpret_cast<uint8_t*>(s + 1));
    EXPECT_EQ(Bytes(s->data, s->data + c.pixels.size()), c.pixels);
  }
}

TEST_F(ImageTest, BadFilesAreRefusedWithTheirCode) {
  PngSpec palette4 = spec_of(2, 1, PNG_COLOR_TYPE_PALETTE, {0x10}, 4);
  palette4.palette = {{1, 2, 3}, {4, 5, 6}};
  struct Case {
    const char* what;
    PngSpec spec;
    int code;
  };
  const Case cases[] = {
      {"grey", spec_of(2, 1, PNG_COLOR_TYPE_GRAY, {1, 2}), PNG_ERR_FORMAT},
      {"grey alpha", spec_of(2, 1, PNG_COLOR_TYPE_GRAY_ALPHA, {1, 2, 3, 4}), PNG_ERR_FORMAT},
      {"16-bit rgb", spec_of(1, 1, PNG_COLOR_TYPE_RGB, Bytes(6, 7), 16), PNG_ERR_FORMAT},
      {"16-bit rgba", spec_of(1, 1, PNG_COLOR_TYPE_RGB_ALPHA, Bytes(8, 7), 16), PNG_ERR_FORMAT},
      {"4-bit palette", palette4, PNG_ERR_FORMAT},
      {"too wide", spec_of(8193, 1, PNG_COLOR_TYPE_RGB, Bytes(8193 * 3)), PNG_ERR_MEMORY},
      {"too tall", spec_of(1, 8193, PNG_COLOR_TYPE_RGB, Bytes(8193 * 3)), PNG_ERR_MEMORY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Surface untouched = {};
    Surface* s = &untouched;
    EXPECT_EQ(load(write("bad.png", c.spec), &s), c.code);
    EXPECT_EQ(s, &untouched);
  }

  Bytes noise = random_bytes(64 * 64 * 3, 3);  // incompressible, so the cut lands in the pixel data
  std::string good = write("good.png", spec_of(64, 64, PNG_COLOR_TYPE_RGB, noise));
  std::string whole = root_.read(good);
  struct Raw {
    const char* what;
    std::string content;
    int code;
  };
  const Raw raws[] = {
      {"truncated", whole.substr(0, whole.size() / 2), PNG_ERR_DECODE},
      {"cut after the header", whole.substr(0, 40), PNG_ERR_DECODE},
      {"short", whole.substr(0, 7), PNG_ERR_SHORT},
      {"empty", "", PNG_ERR_SHORT},
      {"not a png", "GIF89a, certainly not a PNG", PNG_ERR_SIGNATURE},
      {"huge header", png_header_only(1000000, 1000000), PNG_ERR_MEMORY},
      {"zero width", png_header_only(0, 5), PNG_ERR_DECODE},
  };
  for (const Raw& r : raws) {
    SCOPED_TRACE(r.what);
    root_.write("/system/lumo/res/raw.png", r.content);
    Surface untouched = {};
    Surface* s = &untouched;
    EXPECT_EQ(load("/system/lumo/res/raw.png", &s), r.code);
    EXPECT_EQ(s, &untouched);
  }
  Surface* s = nullptr;
  EXPECT_EQ(load("/system/lumo/res/absent.png", &s), PNG_ERR_OPEN);
  EXPECT_EQ(s, nullptr);
}

TEST_F(ImageTest, ResourcePathUsesDirectoryAndLanguage) {
  PngSpec one = spec_of(1, 1, PNG_COLOR_TYPE_RGB, {1, 2, 3});
  write("boot_charger_full_zh_cn.png", one);
  ImageResource full = {0, nullptr, "boot_charger_full_%s.png", nullptr};
  Surface* s = keep(resource_surface(&full));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(full.surface, s);
  // Loaded once: the file is not read again.
  root_.remove("/system/lumo/res/boot_charger_full_zh_cn.png");
  EXPECT_EQ(resource_surface(&full), s);

  resetSettingsCache();
  root_.set_property("persist.sys.language", "EN");
  root_.set_property("persist.sys.country", "US");
  root_.set_property("ro.lboot.res.path", "/vendor/pics/");
  root_.write("/vendor/pics/a%d_en_us.png", "");
  ASSERT_TRUE(lumo_test::write_png(root_.path("/vendor/pics/a%d_en_us.png"), one));
  ImageResource odd = {0, nullptr, "a%d_%s.png", nullptr};
  EXPECT_NE(keep(resource_surface(&odd)), nullptr);
  ASSERT_TRUE(lumo_test::write_png(root_.path("/vendor/pics/fixed.png"), one));
  ImageResource fixed = {0, "fixed.png", "ignored_%s.png", nullptr};
  EXPECT_NE(keep(resource_surface(&fixed)), nullptr);
}

TEST_F(ImageTest, FailuresAreLoggedAndRetried) {
  ImageResource missing = {0, "nothing.png", nullptr, nullptr};
  EXPECT_EQ(resource_surface(&missing), nullptr);
  EXPECT_EQ(resource_surface(&missing), nullptr);
  std::vector<std::string> expected(2, "Missing bitmap (Code -1) '/system/lumo/res/nothing.png'");
  EXPECT_EQ(root_.log_texts('E'), expected);
  write("nothing.png", spec_of(1, 1, PNG_COLOR_TYPE_RGB, {1, 2, 3}));
  EXPECT_NE(keep(resource_surface(&missing)), nullptr);  // no negative cache

  root_.clear_log();
  ImageResource none = {0, nullptr, nullptr, nullptr};
  EXPECT_EQ(resource_surface(&none), nullptr);
  EXPECT_EQ(root_.log_texts('E'), std::vector<std::string>{"No load resurce."});

  root_.clear_log();
  root_.write("/system/lumo/res/short.png", "\x89PN");
  ImageResource short_file = {0, "short.png", nullptr, nullptr};
  EXPECT_EQ(resource_surface(&short_file), nullptr);
  EXPECT_TRUE(root_.log_texts('E').empty());  // -2 is not reported

  root_.write("/system/lumo/res/text.png", "plain text, no picture");
  ImageResource text = {0, "text.png", nullptr, nullptr};
  EXPECT_EQ(resource_surface(&text), nullptr);
  EXPECT_TRUE(root_.log_contains("Missing bitmap (Code -3) '/system/lumo/res/text.png'"));
}

TEST_F(ImageTest, OverlongPathIsNotCutToAnotherFile) {
  std::string name(250, 'n');
  std::string cut = std::string("/system/lumo/res/") + name;
  cut.resize(255);
  root_.write(cut, "");
  ASSERT_TRUE(lumo_test::write_png(root_.path(cut), spec_of(1, 1, PNG_COLOR_TYPE_RGB, {1, 2, 3})));
  ImageResource long_name = {0, name.c_str(), nullptr, nullptr};
  EXPECT_EQ(resource_surface(&long_name), nullptr);
  EXPECT_EQ(root_.log_texts('E').size(), 1u);
}

}  // namespace
