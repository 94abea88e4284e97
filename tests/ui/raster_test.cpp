// Rasterizer spans against a plain per-pixel reference, with guard pages
// around every buffer.
#include "ui/raster.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/device_root.h"
#include "tests/ui/png_writer.h"
#include "ui/graphics.h"
#include "ui/image.h"

namespace {

// `size` bytes ending exactly at a PROT_NONE page, with another one before the
// first page: any access past either end faults.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t size) : size_(size) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    pages_ = (size + page_ - 1) / page_ + 2;
    base_ = static_cast<uint8_t*>(mmap(nullptr, pages_ * page_, PROT_READ | PROT_WRITE,
                                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(base_, MAP_FAILED);
    mprotect(base_, page_, PROT_NONE);
    mprotect(base_ + (pages_ - 1) * page_, page_, PROT_NONE);
  }
  ~GuardedBuffer() { munmap(base_, pages_ * page_); }
  uint8_t* data() const { return base_ + (pages_ - 1) * page_ - size_; }

 private:
  size_t size_, page_, pages_;
  uint8_t* base_;
};

Surface make_surface(uint8_t* data, uint32_t w, uint32_t h, int32_t stride, uint8_t format) {
  Surface s = {};
  s.version = sizeof(Surface);
  s.width = w;
  s.height = h;
  s.stride = stride;
  s.data = data;
  s.format = format;
  return s;
}

int32_t fixed(uint8_t c) { return ((c << 8) | c) + 1; }

// ---- Reference: one pixel at a time, plain division. ----

uint16_t ref_over(int r, int g, int b, int a, uint16_t d) {
  auto mix = [a](int s, int d8) { return (s * a + d8 * (255 - a) + 127) / 255; };
  int dr = d >> 11, dg = (d >> 5) & 63, db = d & 31;
  // Widening by bit replication, written out independently of the code under test.
  int rr = mix(r, (dr << 3) | (dr >> 2)), gg = mix(g, (dg << 2) | (dg >> 4)), bb = mix(b, (db << 3) | (db >> 2));
  return static_cast<uint16_t>((rr / 8) << 11 | (gg / 4) << 5 | (bb / 8));
}

struct Op {
  bool textured, blend;
  uint8_t r, g, b, a;  // flat colour
  Surface tex;
  int32_t s, t;
  int32_t l, top, rt, bot;
};

void ref_draw(const Surface& cb, const Op& op) {
  for (int64_t y = op.top; y < op.bot; ++y) {
    for (int64_t x = op.l; x < op.rt; ++x) {
      if (x < 0 || y < 0 || x >= cb.width || y >= cb.height) continue;
      uint16_t* d = reinterpret_cast<uint16_t*>(cb.data) + y * cb.stride + x;
      int r = op.r, g = op.g, b = op.b, a = op.a;
      if (op.textured) {
        int64_t tx = x + op.s, ty = y + op.t;
        if (tx < 0 || ty < 0 || tx >= op.tex.width || ty >= op.tex.height) continue;
        if (op.tex.format == PIXEL_FORMAT_RGB_565) {
          uint16_t p;
          memcpy(&p, op.tex.data + (ty * op.tex.stride + tx) * 2, 2);
          r = ((p >> 11) << 3) | (p >> 13);
          g = (((p >> 5) & 63) << 2) | ((p >> 9) & 3);
          b = ((p & 31) << 3) | ((p & 31) >> 2);
          a = 255;
        } else {
          const uint8_t* p = op.tex.data + (ty * op.tex.stride + tx) * 4;
          r = p[0], g = p[1], b = p[2];
          a = op.tex.format == PIXEL_FORMAT_RGBA_8888 ? p[3] : 255;
        }
      }
      *d = op.blend ? ref_over(r, g, b, a, *d) : ref_over(r, g, b, 255, *d);
    }
  }
}

void raster_draw(RasterContext* ctx, const Surface& cb, const Op& op) {
  raster_set_color_buffer(ctx, &cb);
  if (op.blend) {
    raster_enable(ctx, RASTER_BLEND);
  } else {
    raster_disable(ctx, RASTER_BLEND);
  }
  if (op.textured) {
    raster_bind_texture(ctx, &op.tex);
    raster_tex_env(ctx, RASTER_TEXTURE_ENV, RASTER_TEXTURE_ENV_MODE, RASTER_REPLACE);
    raster_enable(ctx, RASTER_TEXTURE_2D);
    raster_tex_coord2i(ctx, op.s, op.t);
  } else {
    raster_disable(ctx, RASTER_TEXTURE_2D);
    raster_color4x(ctx, fixed(op.r), fixed(op.g), fixed(op.b), fixed(op.a));
  }
  raster_recti(ctx, op.l, op.top, op.rt, op.bot);
}

struct ContextDeleter {
  void operator()(RasterContext* ctx) const { raster_destroy(ctx); }
};
using Context = std::unique_ptr<RasterContext, ContextDeleter>;

Context make_context() {
  Context ctx(raster_create());
  EXPECT_NE(ctx, nullptr);
  raster_active_texture(ctx.get(), 0);
  raster_blend_func(ctx.get(), RASTER_SRC_ALPHA, RASTER_ONE_MINUS_SRC_ALPHA);
  return ctx;
}

// Alpha mostly 0 or 255, as in real pictures, with partial values between.
uint8_t random_alpha(std::mt19937& rng) {
  switch (rng() % 4) {
    case 0: return 0;
    case 1: return 255;
    default: return static_cast<uint8_t>(rng());
  }
}

TEST(RasterTest, SpansMatchReferenceOnRandomRectangles) {
  std::mt19937 rng(12345);
  Context ctx = make_context();
  for (int iter = 0; iter < 3000; ++iter) {
    uint32_t w = 1 + rng() % 70, h = 1 + rng() % 40;
    int32_t stride = static_cast<int32_t>(w + rng() % 3);
    size_t cb_bytes = (static_cast<size_t>(stride) * (h - 1) + w) * 2;
    GuardedBuffer cb_mem(cb_bytes);
    for (size_t i = 0; i < cb_bytes; ++i) cb_mem.data()[i] = static_cast<uint8_t>(rng());
    std::vector<uint8_t> expected(cb_mem.data(), cb_mem.data() + cb_bytes);
    Surface cb = make_surface(cb_mem.data(), w, h, stride, PIXEL_FORMAT_RGB_565);
    Surface ref_cb = make_surface(expected.data(), w, h, stride, PIXEL_FORMAT_RGB_565);

    Op op = {};
    op.textured = rng() % 3 != 0;
    op.blend = rng() % 5 != 0;
    op.r = static_cast<uint8_t>(rng()), op.g = static_cast<uint8_t>(rng()), op.b = static_cast<uint8_t>(rng());
    op.a = random_alpha(rng);
    const uint8_t formats[] = {PIXEL_FORMAT_RGBA_8888, PIXEL_FORMAT_RGBX_8888, PIXEL_FORMAT_RGB_565};
    uint8_t format = formats[rng() % 3];
    uint32_t tw = 1 + rng() % 50, th = 1 + rng() % 30;
    int32_t tstride = static_cast<int32_t>(tw + rng() % 2);
    size_t texel = format == PIXEL_FORMAT_RGB_565 ? 2 : 4;
    size_t tex_bytes = (static_cast<size_t>(tstride) * (th - 1) + tw) * texel;
    GuardedBuffer tex_mem(tex_bytes);
    for (size_t i = 0; i < tex_bytes; ++i) {
      tex_mem.data()[i] = texel == 4 && i % 4 == 3 ? random_alpha(rng) : static_cast<uint8_t>(rng());
    }
    op.tex = make_surface(tex_mem.data(), tw, th, tstride, format);
    op.s = static_cast<int32_t>(rng() % 60) - 30;
    op.t = static_cast<int32_t>(rng() % 40) - 20;
    op.l = static_cast<int32_t>(rng() % (w + 40)) - 20;
    op.top = static_cast<int32_t>(rng() % (h + 40)) - 20;
    op.rt = op.l + static_cast<int32_t>(rng() % (w + 30));
    op.bot = op.top + static_cast<int32_t>(rng() % (h + 30));
    if (rng() % 10 == 0) op.l = 0, op.top = 0, op.rt = static_cast<int32_t>(w), op.bot = static_cast<int32_t>(h);

    raster_draw(ctx.get(), cb, op);
    ref_draw(ref_cb, op);
    ASSERT_EQ(memcmp(cb_mem.data(), expected.data(), cb_bytes), 0)
        << "iteration " << iter << " textured " << op.textured << " blend " << op.blend << " format "
        << int(format) << " alpha " << int(op.a) << " rect " << op.l << "," << op.top << "-" << op.rt << ","
        << op.bot << " in " << w << "x" << h;
  }
}

TEST(RasterTest, PinnedPixels) {
  struct Case {
    const char* what;
    uint8_t format;
    uint8_t texel[4];  // RGBA / RGBX bytes, or a 565 word in the first two
    uint16_t before, after;
  };
  const Case cases[] = {
      {"opaque texel replaces", PIXEL_FORMAT_RGBA_8888, {255, 128, 0, 255}, 0x1234, 0xFC00},
      {"transparent texel leaves", PIXEL_FORMAT_RGBA_8888, {255, 255, 255, 0}, 0x1234, 0x1234},
      {"half white over black", PIXEL_FORMAT_RGBA_8888, {255, 255, 255, 128}, 0x0000, 0x8410},
      {"half black over white", PIXEL_FORMAT_RGBA_8888, {0, 0, 0, 128}, 0xFFFF, 0x7BEF},
      {"RGBX ignores its fourth byte", PIXEL_FORMAT_RGBX_8888, {0, 0, 255, 0}, 0xFFFF, 0x001F},
      {"565 copies", PIXEL_FORMAT_RGB_565, {0x34, 0x12, 0, 0}, 0xFFFF, 0x1234},
  };
  Context ctx = make_context();
  raster_enable(ctx.get(), RASTER_BLEND);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    uint16_t pixel = c.before;
    Surface cb = make_surface(reinterpret_cast<uint8_t*>(&pixel), 1, 1, 1, PIXEL_FORMAT_RGB_565);
    uint8_t texel[4];
    memcpy(texel, c.texel, 4);
    Surface tex = make_surface(texel, 1, 1, 1, c.format);
    raster_set_color_buffer(ctx.get(), &cb);
    raster_bind_texture(ctx.get(), &tex);
    raster_enable(ctx.get(), RASTER_TEXTURE_2D);
    raster_tex_coord2i(ctx.get(), 0, 0);
    raster_recti(ctx.get(), 0, 0, 1, 1);
    EXPECT_EQ(pixel, c.after);
  }
}

TEST(RasterTest, FlatColourIsClampedAndAlphaOfOneUnitLeavesPixels) {
  Context ctx = make_context();
  raster_enable(ctx.get(), RASTER_BLEND);
  uint16_t pixels[4] = {0x1234, 0x5678, 0x9ABC, 0xDEF0};
  Surface cb = make_surface(reinterpret_cast<uint8_t*>(pixels), 4, 1, 4, PIXEL_FORMAT_RGB_565);
  raster_set_color_buffer(ctx.get(), &cb);
  raster_color4x(ctx.get(), RASTER_FIXED_ONE, RASTER_FIXED_ONE, RASTER_FIXED_ONE, 1);
  raster_recti(ctx.get(), 0, 0, 4, 1);
  EXPECT_EQ(pixels[0], 0x1234);
  EXPECT_EQ(pixels[3], 0xDEF0);
  raster_color4x(ctx.get(), 0x20000, -5, 0x7FFFFFFF, 0x10001);
  raster_recti(ctx.get(), 1, 0, 3, 1);
  EXPECT_EQ(pixels[0], 0x1234);
  EXPECT_EQ(pixels[1], 0xF81F);
  EXPECT_EQ(pixels[2], 0xF81F);
  EXPECT_EQ(pixels[3], 0xDEF0);
}

TEST(RasterTest, UnusableBuffersDrawNothing) {
  Context ctx = make_context();
  uint16_t pixel = 0x1234;
  Surface cb = make_surface(reinterpret_cast<uint8_t*>(&pixel), 1, 1, 1, PIXEL_FORMAT_RGB_565);
  raster_set_color_buffer(ctx.get(), &cb);
  raster_color4x(ctx.get(), 0, 0, 0, RASTER_FIXED_ONE);

  Surface wrong_format = cb;
  wrong_format.format = PIXEL_FORMAT_RGBA_8888;
  raster_set_color_buffer(ctx.get(), &wrong_format);
  raster_recti(ctx.get(), 0, 0, 1, 1);
  raster_set_color_buffer(ctx.get(), nullptr);
  raster_recti(ctx.get(), 0, 0, 1, 1);
  EXPECT_EQ(pixel, 0x1234);

  // Textured without a usable texture: nothing, not the flat colour.
  raster_set_color_buffer(ctx.get(), &cb);
  uint8_t texel[4] = {1, 2, 3, 4};
  Surface bad_tex = make_surface(texel, 1, 1, 0, PIXEL_FORMAT_RGBA_8888);  // stride < width
  raster_bind_texture(ctx.get(), &bad_tex);
  raster_enable(ctx.get(), RASTER_TEXTURE_2D);
  raster_recti(ctx.get(), 0, 0, 1, 1);
  EXPECT_EQ(pixel, 0x1234);
  raster_recti(nullptr, 0, 0, 1, 1);  // no context: no crash
}

// ---- Classified pictures ----

struct FreeDeleter {
  void operator()(Surface* s) const { free(s); }
};
using Picture = std::unique_ptr<Surface, FreeDeleter>;

// A picture block laid out as the decoder makes it (record, then pixels),
// given to raster_classify_picture.
Picture make_picture(uint32_t w, uint32_t h, int32_t stride, const std::vector<uint8_t>& rgba) {
  size_t size = sizeof(Surface) + rgba.size();
  auto* block = static_cast<Surface*>(malloc(size));
  *block = make_surface(reinterpret_cast<uint8_t*>(block + 1), w, h, stride, PIXEL_FORMAT_RGBA_8888);
  memcpy(block->data, rgba.data(), rgba.size());
  return Picture(raster_classify_picture(block, size));
}

bool classified(const Surface& s) { return s.reserved2[0] != 0; }

// Rows of runs of one alpha class each (0, 255 or partial), of lengths that
// straddle the 8-texel steps of the wide paths.
std::vector<uint8_t> run_texels(std::mt19937& rng, size_t count) {
  std::vector<uint8_t> texels(count * 4);
  for (size_t i = 0; i < count;) {
    int kind = static_cast<int>(rng() % 3);
    size_t len = 1 + rng() % 20;
    for (; len > 0 && i < count; --len, ++i) {
      for (int c = 0; c < 3; ++c) texels[4 * i + c] = static_cast<uint8_t>(rng());
      texels[4 * i + 3] = kind == 0 ? 0 : kind == 1 ? 255 : static_cast<uint8_t>(1 + rng() % 254);
    }
  }
  return texels;
}

void expect_blit_matches_reference(RasterContext* ctx, const Surface& tex, std::mt19937& rng, uint32_t w,
                                   uint32_t h, const char* what) {
  size_t bytes = size_t{w} * h * 2;
  GuardedBuffer cb_mem(bytes);
  for (size_t i = 0; i < bytes; ++i) cb_mem.data()[i] = static_cast<uint8_t>(rng());
  std::vector<uint8_t> expected(cb_mem.data(), cb_mem.data() + bytes);
  Surface cb = make_surface(cb_mem.data(), w, h, static_cast<int32_t>(w), PIXEL_FORMAT_RGB_565);
  Surface ref_cb = make_surface(expected.data(), w, h, static_cast<int32_t>(w), PIXEL_FORMAT_RGB_565);
  Op op = {};
  op.textured = true;
  op.blend = true;
  op.tex = tex;
  op.s = static_cast<int32_t>(rng() % 50) - 25;
  op.t = static_cast<int32_t>(rng() % 30) - 15;
  op.l = static_cast<int32_t>(rng() % (w + 20)) - 10;
  op.top = static_cast<int32_t>(rng() % (h + 20)) - 10;
  op.rt = op.l + static_cast<int32_t>(rng() % (w + 20));
  op.bot = op.top + static_cast<int32_t>(rng() % (h + 20));
  raster_draw(ctx, cb, op);
  ref_draw(ref_cb, op);
  ASSERT_EQ(memcmp(cb_mem.data(), expected.data(), bytes), 0)
      << what << ": rect " << op.l << "," << op.top << "-" << op.rt << "," << op.bot << " texel offset " << op.s
      << "," << op.t << " texture " << tex.width << "x" << tex.height;
}

TEST(PictureRunsTest, ClassifiedPicturesMatchReferenceWhenClipped) {
  std::mt19937 rng(777);
  Context ctx = make_context();
  int with_table = 0;
  for (int iter = 0; iter < 1500; ++iter) {
    uint32_t tw = 1 + rng() % 60, th = 1 + rng() % 30;
    int32_t tstride = static_cast<int32_t>(tw + rng() % 2);
    Picture picture = make_picture(tw, th, tstride, run_texels(rng, size_t(tstride) * th));
    with_table += classified(*picture);
    SCOPED_TRACE(iter);
    expect_blit_matches_reference(ctx.get(), *picture, rng, 1 + rng() % 70, 1 + rng() % 40, "classified");
    if (HasFatalFailure()) return;
  }
  // Small pictures with many short runs may be left plain; most get a table.
  EXPECT_GT(with_table, 1300);
}

TEST(PictureRunsTest, TableIsNeverUsedForAnotherPicture) {
  std::mt19937 rng(99);
  Context ctx = make_context();
  const uint32_t w = 24, h = 12;
  Picture picture = make_picture(w, h, w, run_texels(rng, w * h));
  ASSERT_TRUE(classified(*picture));

  // A copy of the record pointing at other pixels of the same size.
  std::vector<uint8_t> other = run_texels(rng, w * h);
  Surface moved = *picture;
  moved.data = other.data();
  expect_blit_matches_reference(ctx.get(), moved, rng, 40, 20, "record moved to other pixels");

  // A narrower view of the same pixels.
  Surface view = *picture;
  view.width = w - 5;
  expect_blit_matches_reference(ctx.get(), view, rng, 40, 20, "narrower view");

  // Another picture decoded into the same block: a fresh record (reserved
  // fields cleared, as the decoder does) and new pixels, then its own table.
  std::vector<uint8_t> next = run_texels(rng, w * h);
  *picture = make_surface(reinterpret_cast<uint8_t*>(picture.get() + 1), w, h, w, PIXEL_FORMAT_RGBA_8888);
  memcpy(picture->data, next.data(), next.size());
  expect_blit_matches_reference(ctx.get(), *picture, rng, 40, 20, "same address, unclassified");
  Surface* same = picture.release();
  picture.reset(raster_classify_picture(same, sizeof(Surface) + next.size()));
  ASSERT_TRUE(classified(*picture));
  expect_blit_matches_reference(ctx.get(), *picture, rng, 40, 20, "same address, reclassified");
}

TEST(PictureRunsTest, RunsLongerThanOneWordAndPicturesLeftUnclassified) {
  std::mt19937 rng(5);
  Context ctx = make_context();
  // One row longer than a run word can count: opaque, one partial texel past
  // the first word's reach, then transparent.
  const uint32_t long_w = 20000;
  std::vector<uint8_t> row(size_t{long_w} * 4);
  for (uint32_t x = 0; x < long_w; ++x) {
    for (int c = 0; c < 3; ++c) row[4 * x + c] = static_cast<uint8_t>(rng());
    row[4 * x + 3] = x < 19000 ? 255 : 0;
  }
  row[4 * 16390 + 3] = 100;
  Picture wide = make_picture(long_w, 1, long_w, row);
  ASSERT_TRUE(classified(*wide));
  for (int iter = 0; iter < 20; ++iter) {
    expect_blit_matches_reference(ctx.get(), *wide, rng, 16400, 1, "long runs");
  }

  // Alpha changing at every texel: not worth a table; drawn the plain way.
  std::vector<uint8_t> noisy(32 * 8 * 4);
  for (size_t i = 0; i < noisy.size(); ++i) noisy[i] = i % 8 == 3 ? 0 : static_cast<uint8_t>(rng() | 1);
  Picture plain = make_picture(32, 8, 32, noisy);
  EXPECT_FALSE(classified(*plain));
  expect_blit_matches_reference(ctx.get(), *plain, rng, 40, 20, "noisy alpha");
}

TEST(PictureRunsTest, PictureDecodedWhereAFreedOneWasDrawsItsOwnPixels) {
  lumo_test::DeviceRoot root;
  std::mt19937 rng(31);
  Context ctx = make_context();
  const int w = 30, h = 20;
  for (int round = 0; round < 3; ++round) {
    std::vector<uint8_t> texels = run_texels(rng, size_t{w} * h);
    ASSERT_TRUE(lumo_test::write_png(root.path("/pic.png"), lumo_test::rgba_png(w, h, texels)));
    Surface* decoded = nullptr;
    ASSERT_EQ(load_png_surface("/pic.png", &decoded), PNG_LOAD_OK);
    Picture picture(decoded);
    ASSERT_TRUE(classified(*picture));
    ASSERT_EQ(memcmp(picture->data, texels.data(), texels.size()), 0);
    for (int iter = 0; iter < 20; ++iter) {
      expect_blit_matches_reference(ctx.get(), *picture, rng, 50, 30, "decoded");
    }
  }
}

}  // namespace
