// Rasterizer against a plain per-pixel reference, every buffer fenced by
// guard pages so that any access outside it faults.
#include "ui/raster.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "ui/graphics.h"
#include "ui/neon_spans.h"

namespace {

// `size` bytes ending exactly at a PROT_NONE page, with another before them.
struct Guarded {
  explicit Guarded(size_t size) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    len = ((size + page - 1) / page + 2) * page;
    base = static_cast<uint8_t*>(mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base, page, PROT_NONE);
    mprotect(base + len - page, page, PROT_NONE);
    data = base + len - page - size;
  }
  ~Guarded() { munmap(base, len); }
  size_t len;
  uint8_t *base, *data;
};

Surface surf(uint8_t* data, uint32_t w, uint32_t h, int32_t stride, uint8_t format) {
  return Surface{sizeof(Surface), w, h, stride, data, format};
}

int32_t fixed(uint8_t c) { return ((c << 8) | c) + 1; }

// Reference: plain division, widening by bit replication written out anew.
uint16_t ref_over(int r, int g, int b, int a, uint16_t d) {
  auto mix = [a](int s, int d8) { return (s * a + d8 * (255 - a) + 127) / 255; };
  int dr = d >> 11, dg = (d >> 5) & 63, db = d & 31;
  int rr = mix(r, (dr << 3) | (dr >> 2)), gg = mix(g, (dg << 2) | (dg >> 4)), bb = mix(b, (db << 3) | (db >> 2));
  return static_cast<uint16_t>((rr / 8) << 11 | (gg / 4) << 5 | (bb / 8));
}

struct Op {
  bool textured, blend;
  uint8_t r, g, b, a;  // flat colour
  Surface tex;
  int32_t s, t, l, top, rt, bot;
};

void ref_draw(const Surface& cb, const Op& op) {
  for (int64_t y = std::max(op.top, 0); y < op.bot && y < cb.height; ++y) {
    for (int64_t x = std::max(op.l, 0); x < op.rt && x < cb.width; ++x) {
      int r = op.r, g = op.g, b = op.b, a = op.a;
      int64_t tx = x + op.s, ty = y + op.t;
      if (op.textured && (tx < 0 || ty < 0 || tx >= op.tex.width || ty >= op.tex.height)) continue;
      if (op.textured && op.tex.format == PIXEL_FORMAT_RGB_565) {
        uint16_t p;
        memcpy(&p, op.tex.data + (ty * op.tex.stride + tx) * 2, 2);
        r = ((p >> 11) << 3) | (p >> 13), g = (((p >> 5) & 63) << 2) | ((p >> 9) & 3);
        b = ((p & 31) << 3) | ((p & 31) >> 2), a = 255;
      } else if (op.textured) {
        const uint8_t* p = op.tex.data + (ty * op.tex.stride + tx) * 4;
        r = p[0], g = p[1], b = p[2], a = op.tex.format == PIXEL_FORMAT_RGBA_8888 ? p[3] : 255;
      }
      uint16_t* d = reinterpret_cast<uint16_t*>(cb.data) + y * cb.stride + x;
      *d = ref_over(r, g, b, op.blend ? a : 255, *d);
    }
  }
}

void raster_draw(RasterContext* ctx, const Surface& cb, const Op& op) {
  raster_set_color_buffer(ctx, &cb);
  op.blend ? raster_enable(ctx, RASTER_BLEND) : raster_disable(ctx, RASTER_BLEND);
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

using Context = std::unique_ptr<RasterContext, decltype(&raster_destroy)>;

Context make_context() {
  Context ctx(raster_create(), raster_destroy);
  EXPECT_NE(ctx, nullptr);
  raster_active_texture(ctx.get(), 0);
  raster_blend_func(ctx.get(), RASTER_SRC_ALPHA, RASTER_ONE_MINUS_SRC_ALPHA);
  return ctx;
}

// Alpha mostly 0 or 255, as in real pictures, with partial values between.
uint8_t random_alpha(std::mt19937& rng) {
  uint32_t k = rng() % 4;
  return k == 0 ? 0 : k == 1 ? 255 : static_cast<uint8_t>(rng());
}

// Random bytes, or with `alpha` random 4-byte texels whose alpha is as above.
void random_bytes(std::mt19937& rng, Guarded& g, size_t size, bool alpha = false) {
  for (size_t i = 0; i < size; ++i) g.data[i] = alpha && i % 4 == 3 ? random_alpha(rng) : static_cast<uint8_t>(rng());
}

// Draws `op` at a random place on a random w x h colour buffer (row padding
// `pad`) with the rasterizer and with the reference; they must agree.
void expect_same(RasterContext* ctx, std::mt19937& rng, Op op, uint32_t w, uint32_t h, uint32_t pad = 0) {
  auto below = [&rng](int64_t n) { return static_cast<int32_t>(rng() % n); };
  op.s = below(60) - 30, op.t = below(40) - 20;
  op.l = below(w + 40) - 20, op.top = below(h + 40) - 20;
  op.rt = op.l + below(w + 30), op.bot = op.top + below(h + 30);
  if (rng() % 10 == 0) op.l = 0, op.top = 0, op.rt = static_cast<int32_t>(w), op.bot = static_cast<int32_t>(h);
  int32_t stride = static_cast<int32_t>(w + pad);
  size_t bytes = (size_t(stride) * (h - 1) + w) * 2;
  Guarded cb(bytes);
  random_bytes(rng, cb, bytes);
  std::vector<uint8_t> want(cb.data, cb.data + bytes);
  raster_draw(ctx, surf(cb.data, w, h, stride, PIXEL_FORMAT_RGB_565), op);
  ref_draw(surf(want.data(), w, h, stride, PIXEL_FORMAT_RGB_565), op);
  ASSERT_EQ(memcmp(cb.data, want.data(), bytes), 0) << op.textured << op.blend << " format " << int(op.tex.format)
      << " rect " << op.l << "," << op.top << "-" << op.rt << "," << op.bot << " texel offset " << op.s << "," << op.t;
}

struct FreeDeleter {
  void operator()(Surface* s) const { free(s); }
};
using Picture = std::unique_ptr<Surface, FreeDeleter>;

// A block laid out as the decoder makes it (record, then pixels), classified.
Picture make_picture(uint32_t w, uint32_t h, int32_t stride, const std::vector<uint8_t>& rgba) {
  auto* block = static_cast<Surface*>(malloc(sizeof(Surface) + rgba.size()));
  *block = surf(reinterpret_cast<uint8_t*>(block + 1), w, h, stride, PIXEL_FORMAT_RGBA_8888);
  memcpy(block->data, rgba.data(), rgba.size());
  return Picture(raster_classify_picture(block, sizeof(Surface) + rgba.size()));
}

bool classified(const Surface& s) { return s.reserved2[0] != 0; }

// Runs of one alpha class each (0, 255 or partial), 1 to 20 texels long, so
// they straddle the 8-texel steps of the wide paths.
std::vector<uint8_t> run_texels(std::mt19937& rng, size_t count) {
  std::vector<uint8_t> texels(count * 4);
  for (size_t i = 0; i < count;) {
    int kind = static_cast<int>(rng() % 3);
    for (size_t len = 1 + rng() % 20; len > 0 && i < count; --len, ++i) {
      for (int c = 0; c < 3; ++c) texels[4 * i + c] = static_cast<uint8_t>(rng());
      texels[4 * i + 3] = kind == 0 ? 0 : kind == 1 ? 255 : static_cast<uint8_t>(1 + rng() % 254);
    }
  }
  return texels;
}

Op blit_of(const Surface& tex) { return Op{true, true, 0, 0, 0, 0, tex}; }

// Flat colours, textures of each format and pictures with a run table (a
// third of the draws), clipped at random places of random colour buffers.
// Where the NEON spans are built they draw here (they are on by default), so
// they answer to the same reference, short spans and long ones.
TEST(RasterTest, RandomRectanglesMatchReference) {
  std::mt19937 rng(12345);
  Context ctx = make_context();
  const uint8_t formats[] = {PIXEL_FORMAT_RGBA_8888, PIXEL_FORMAT_RGBX_8888, PIXEL_FORMAT_RGB_565};
  int with_table = 0;
  for (int iter = 0; iter < 4500; ++iter) {
    Op op = {rng() % 3 != 0, rng() % 5 != 0, uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), random_alpha(rng)};
    uint8_t format = formats[rng() % 3];
    const uint32_t wide = iter % 16 == 0 ? 1100 : 60;  // now and then spans of many vector steps
    uint32_t tw = 1 + rng() % wide, th = 1 + rng() % 30, tstride = tw + rng() % 2;
    size_t texel = format == PIXEL_FORMAT_RGB_565 ? 2 : 4, tex_bytes = (tstride * (th - 1) + tw) * texel;
    Guarded tex(tex_bytes);
    random_bytes(rng, tex, tex_bytes, texel == 4);
    op.tex = surf(tex.data, tw, th, static_cast<int32_t>(tstride), format);
    Picture picture;
    if (iter % 3 == 0) {
      picture = make_picture(tw, th, static_cast<int32_t>(tstride), run_texels(rng, size_t{tstride} * th));
      with_table += classified(*picture);
      op = blit_of(*picture);
    }
    SCOPED_TRACE(iter);
    expect_same(ctx.get(), rng, op, 1 + rng() % (wide + 10), 1 + rng() % 40, rng() % 3);
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(with_table, 1300);  // small pictures of many short runs may be left plain
}

// Channels past one or below zero are clamped (the blend's rounding is the
// reference's, checked by the random rectangles).
TEST(RasterTest, ColoursOutsideZeroToOneAreClamped) {
  Context ctx = make_context();
  raster_enable(ctx.get(), RASTER_BLEND);
  uint16_t pixel = 0x1234;
  Surface cb = surf(reinterpret_cast<uint8_t*>(&pixel), 1, 1, 1, PIXEL_FORMAT_RGB_565);
  raster_set_color_buffer(ctx.get(), &cb);
  raster_color4x(ctx.get(), 0x20000, -0x8000, 0x7FFFFFFF, 0x10001);
  raster_recti(ctx.get(), 0, 0, 1, 1);
  EXPECT_EQ(pixel, 0xF81F);
}

TEST(RasterTest, UnusableBuffersDrawNothing) {
  Context ctx = make_context();
  uint16_t pixel = 0x1234;
  uint8_t texel[4] = {1, 2, 3, 4};
  Surface cb = surf(reinterpret_cast<uint8_t*>(&pixel), 1, 1, 1, PIXEL_FORMAT_RGB_565);
  Surface wrong_format = surf(cb.data, 1, 1, 1, PIXEL_FORMAT_RGBA_8888);
  Surface bad_tex = surf(texel, 1, 1, 0, PIXEL_FORMAT_RGBA_8888);  // stride < width
  raster_color4x(ctx.get(), 0, 0, 0, RASTER_FIXED_ONE);
  for (const Surface* buffer : std::initializer_list<const Surface*>{&wrong_format, nullptr}) {
    raster_set_color_buffer(ctx.get(), buffer);
    raster_recti(ctx.get(), 0, 0, 1, 1);
  }
  // Textured without a usable texture: nothing, not the flat colour.
  raster_set_color_buffer(ctx.get(), &cb);
  raster_bind_texture(ctx.get(), &bad_tex);
  raster_enable(ctx.get(), RASTER_TEXTURE_2D);
  raster_recti(ctx.get(), 0, 0, 1, 1);
  raster_recti(nullptr, 0, 0, 1, 1);
  EXPECT_EQ(pixel, 0x1234);
}

// ---- Pictures with a run table ----

TEST(PictureRunsTest, TableIsNeverUsedForAnotherPicture) {
  std::mt19937 rng(99);
  Context ctx = make_context();
  const uint32_t w = 24, h = 12;
  Picture picture = make_picture(w, h, w, run_texels(rng, w * h));
  ASSERT_TRUE(classified(*picture));
  std::vector<uint8_t> other = run_texels(rng, w * h);
  Surface moved = *picture;  // a copy of the record pointing at other pixels
  moved.data = other.data();
  Surface narrower = *picture;
  narrower.width = w - 5;
  for (const Surface* view : {&moved, &narrower}) expect_same(ctx.get(), rng, blit_of(*view), 40, 20);

  // Another picture decoded into the same block: a fresh record (reserved
  // fields cleared, as the decoder does), new pixels, then its own table.
  *picture = surf(reinterpret_cast<uint8_t*>(picture.get() + 1), w, h, w, PIXEL_FORMAT_RGBA_8888);
  memcpy(picture->data, other.data(), other.size());
  expect_same(ctx.get(), rng, blit_of(*picture), 40, 20);
  picture.reset(raster_classify_picture(picture.release(), sizeof(Surface) + other.size()));
  ASSERT_TRUE(classified(*picture));
  expect_same(ctx.get(), rng, blit_of(*picture), 40, 20);
}

TEST(PictureRunsTest, RunsLongerThanOneWordAndNoisyPicturesLeftPlain) {
  std::mt19937 rng(5);
  Context ctx = make_context();
  // Opaque, one partial texel past the first run word's reach, transparent.
  const uint32_t long_w = 20000;
  std::vector<uint8_t> row(size_t{long_w} * 4);
  for (uint32_t x = 0; x < long_w; ++x) {
    for (int c = 0; c < 3; ++c) row[4 * x + c] = static_cast<uint8_t>(rng());
    row[4 * x + 3] = x == 16390 ? 100 : x < 19000 ? 255 : 0;
  }
  Picture wide = make_picture(long_w, 1, long_w, row);
  ASSERT_TRUE(classified(*wide));
  for (int iter = 0; iter < 20; ++iter) expect_same(ctx.get(), rng, blit_of(*wide), 16400, 1);

  std::vector<uint8_t> noisy(32 * 8 * 4);  // alpha changing at every texel
  for (size_t i = 0; i < noisy.size(); ++i) noisy[i] = i % 8 == 3 ? 0 : static_cast<uint8_t>(rng() | 1);
  Picture plain = make_picture(32, 8, 32, noisy);
  EXPECT_FALSE(classified(*plain));
  expect_same(ctx.get(), rng, blit_of(*plain), 40, 20);
}

// A record that claims more pixels than its block holds is left plain and
// its pixels unread, however its size would wrap in 32 bits: here 2^20 *
// 2^10 rows of 4 bytes is 2^32, "16 bytes" in a 32-bit size_t.
TEST(PictureRunsTest, RecordClaimingMoreThanItsBlockIsLeftPlain) {
  const size_t size = sizeof(Surface) + 64;
  auto* block = static_cast<Surface*>(calloc(1, size));
  ASSERT_NE(block, nullptr);
  *block = surf(reinterpret_cast<uint8_t*>(block + 1), 4, (1u << 10) + 1, 1 << 20, PIXEL_FORMAT_RGBA_8888);
  Picture picture(raster_classify_picture(block, size));
  EXPECT_EQ(picture.get(), block);
  EXPECT_FALSE(classified(*picture));
}

// ---- The 32-bit expansions and fill (the 16-bit fill is the random rectangles' opaque fill) ----

// Every length up to a few vector steps, some long ones (the longest expands
// every 565 value) and unaligned starts, against the formulas, with the
// portable spans and with the NEON ones where they are built; each buffer
// ends at a guard page and the pixels before the start must stay.
TEST(PixelLoopsTest, EveryLengthAndOffsetStopsAtTheEnd) {
  auto expanded = [](uint16_t p) {
    uint32_t r = p >> 11, g = (p >> 5) & 63, b = p & 31;
    return 0xFF000000u | (b * 8 + b / 4) << 16 | (g * 4 + g / 16) << 8 | (r * 8 + r / 4);
  };
  auto swapped = [&](uint16_t p) {  // X, R, G, B words: red and blue bytes exchanged
    uint32_t w = expanded(p);
    return (w & 0xFF00FF00u) | (w & 0xFF) << 16 | (w >> 16 & 0xFF);
  };
  std::vector<size_t> lengths = {63, 64, 65, 255, 4099, 65536};
  for (size_t n = 0; n <= 40; ++n) lengths.push_back(n);
  for (bool neon : {false, true}) {
    neon_spans_set_active(neon);
    for (size_t n : lengths) {
      for (size_t off = 0; off < 4; ++off) {
        SCOPED_TRACE(testing::Message() << "neon " << neon << ", " << n << " pixels from " << off);
        Guarded src((off + n) * 2), wide((off + n) * 4), xrgb((off + n) * 4), fill32((off + n) * 4);
        auto* s16 = reinterpret_cast<uint16_t*>(src.data);
        for (size_t i = 0; i < off + n; ++i) s16[i] = static_cast<uint16_t>(i * 0x9E37);
        for (Guarded* g : {&wide, &xrgb, &fill32}) memset(g->data, 0xEE, off * 4);
        auto* w = reinterpret_cast<uint32_t*>(wide.data), *x = reinterpret_cast<uint32_t*>(xrgb.data);
        auto* f32 = reinterpret_cast<uint32_t*>(fill32.data);
        expand_565_to_8888(w + off, s16 + off, n);
        expand_565_to_bgrx8888(x + off, s16 + off, n);
        fill_pixels32(f32 + off, 0x12345678, n);
        for (size_t i = 0; i < off + n; ++i) {
          bool in = i >= off;
          ASSERT_EQ(w[i], in ? expanded(s16[i]) : 0xEEEEEEEE) << i;
          ASSERT_EQ(x[i], in ? swapped(s16[i]) : 0xEEEEEEEE) << i;
          ASSERT_EQ(f32[i], in ? 0x12345678u : 0xEEEEEEEE) << i;
        }
      }
    }
  }
  neon_spans_set_active(true);
}

}  // namespace
