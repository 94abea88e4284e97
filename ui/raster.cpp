// The rasterizer: clipped rectangles on an RGB565 colour buffer, flat or
// textured one texel per pixel, blended SRC_ALPHA / ONE_MINUS_SRC_ALPHA.
//
// Blend arithmetic (per channel, 8 bits): the destination's 5/6-bit channel
// is widened by replicating its top bits, result = round((s * a + d * (255 -
// a)) / 255) by the exact divide-by-255 trick, then reduced to 5/6 bits by
// dropping low bits. Alpha 0 leaves the pixel, alpha 255 stores the source
// reduced the same way, so partial and fast paths agree.
#include "ui/raster.h"

#include <bit>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "ui/graphics.h"
#include "ui/neon_spans.h"

struct RasterContext {
  Surface color_buffer;
  bool has_color_buffer;
  Surface texture;
  bool has_texture;
  // The bound picture's run table (see raster_classify_picture), or null.
  const struct RunRow* run_rows;
  const uint16_t* run_words;
  const uint16_t* run_opaque;
  const uint8_t* run_partial;
  bool blend;
  bool texture_2d;
  uint32_t src_factor;
  uint32_t dst_factor;
  int32_t color[4];  // 16.16: red, green, blue, alpha
  int32_t tex_s;
  int32_t tex_t;
};

namespace {

// A clipped rectangle, right and bottom exclusive.
struct Box {
  int64_t left, top, right, bottom;
  bool empty() const { return left >= right || top >= bottom; }
};

inline uint16_t pack565(uint32_t r8, uint32_t g8, uint32_t b8) {
  return static_cast<uint16_t>(((r8 >> 3) << 11) | ((g8 >> 2) << 5) | (b8 >> 3));
}

inline uint32_t widen5(uint32_t v) { return (v << 3) | (v >> 2); }
inline uint32_t widen6(uint32_t v) { return (v << 2) | (v >> 4); }

inline uint32_t div255(uint32_t x) {
  x += 0x80;
  return ((x >> 8) + x) >> 8;
}

// Source channels pre-multiplied by alpha with the rounding term folded in.
struct BlendSource {
  uint32_t r, g, b, inv;
};

inline BlendSource blend_source(uint32_t r8, uint32_t g8, uint32_t b8, uint32_t a8) {
  return {r8 * a8, g8 * a8, b8 * a8, 255 - a8};
}

inline uint16_t blend_pixel(const BlendSource& s, uint16_t d) {
  uint32_t r = div255(s.r + widen5(d >> 11) * s.inv);
  uint32_t g = div255(s.g + widen6((d >> 5) & 0x3F) * s.inv);
  uint32_t b = div255(s.b + widen5(d & 0x1F) * s.inv);
  return pack565(r, g, b);
}

// One 8-bit colour of partial alpha a8 over the pixels.
void blend_color_span(uint16_t* dst, uint8_t r8, uint8_t g8, uint8_t b8, uint8_t a8, size_t count) {
#if LUMO_NEON_SPANS
  if (neon_spans_active()) return neon_color_over_565(dst, r8, g8, b8, a8, count);
#endif
  BlendSource s = blend_source(r8, g8, b8, a8);
  for (size_t i = 0; i < count; ++i) dst[i] = blend_pixel(s, dst[i]);
}

using u32x4 = uint32_t __attribute__((vector_size(16)));
using u16x4 = uint16_t __attribute__((vector_size(8)));
using u16x8 = uint16_t __attribute__((vector_size(16)));

// The vector code reads texel bytes R, G, B, x as one 32-bit lane.
static_assert(std::endian::native == std::endian::little);

// Four RGBX/RGBA texels (bytes R, G, B, x) with the top bits of each channel
// moved into their 565 places, one texel per 32-bit lane.
inline u32x4 place565(const uint8_t* src) {
  u32x4 s;
  memcpy(&s, src, sizeof(s));
  return ((s << 8) & 0xF800) | ((s >> 5) & 0x7E0) | ((s >> 19) & 0x1F);
}

inline void pack4(uint16_t* dst, const uint8_t* src) {
  u16x4 packed = __builtin_convertvector(place565(src), u16x4);
  memcpy(dst, &packed, sizeof(packed));
}

// Eight texels: the low halves of two vectors of placed texels, one store.
inline void pack8(uint16_t* dst, const uint8_t* src) {
  u16x8 a = reinterpret_cast<u16x8>(place565(src));
  u16x8 b = reinterpret_cast<u16x8>(place565(src + 16));
  u16x8 packed = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
  memcpy(dst, &packed, sizeof(packed));
}

void rgbx_span(uint16_t* dst, const uint8_t* src, size_t count) {
#if LUMO_NEON_SPANS
  if (neon_spans_active()) return neon_rgbx_to_565(dst, src, count);
#endif
  size_t i = 0;
  for (; i + 8 <= count; i += 8) pack8(dst + i, src + 4 * i);
  for (; i + 4 <= count; i += 4) pack4(dst + i, src + 4 * i);
  for (; i < count; ++i) dst[i] = pack565(src[4 * i], src[4 * i + 1], src[4 * i + 2]);
}

void rgba_blend_pixels(uint16_t* dst, const uint8_t* src, size_t count) {
  for (size_t i = 0; i < count; ++i, src += 4) {
    uint32_t a = src[3];
    if (a == 0) continue;
    if (a == 255) {
      dst[i] = pack565(src[0], src[1], src[2]);
    } else {
      dst[i] = blend_pixel(blend_source(src[0], src[1], src[2], a), dst[i]);
    }
  }
}

// Straight-alpha texels in blocks of eight: a wholly transparent block is
// skipped and a wholly opaque one stored; only mixed blocks go pixel by pixel,
// and only partial alpha pays for a blend. The alphas are tested with plain
// 8-byte loads (a 16-byte load split through the stack would stall).
void rgba_blend_span(uint16_t* dst, const uint8_t* src, size_t count) {
#if LUMO_NEON_SPANS
  if (neon_spans_active()) return neon_rgba_over_565(dst, src, count);
#endif
  constexpr uint64_t kAlpha = 0xFF000000FF000000ull;
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    uint64_t t[4];
    for (int k = 0; k < 4; ++k) memcpy(&t[k], src + 4 * i + 8 * k, 8);
    uint64_t any = (t[0] | t[1] | t[2] | t[3]) & kAlpha;
    if (any == 0) continue;
    uint64_t all = t[0] & t[1] & t[2] & t[3] & kAlpha;
    if (all == kAlpha) {
      pack4(dst + i, src + 4 * i);
      pack4(dst + i + 4, src + 4 * i + 16);
    } else {
      rgba_blend_pixels(dst + i, src + 4 * i, 8);
    }
  }
  rgba_blend_pixels(dst + i, src + 4 * i, count - i);
}

// ---- Picture runs ----

}  // namespace

// Where a row starts in the run words, the opaque and the partial texels.
struct RunRow {
  uint32_t word;
  uint32_t opaque;
  uint32_t partial;
};

namespace {
//
// Appended to a picture's block, 8-byte aligned: the header; a RunRow per
// row plus one for the end; the partial texels (RGBA bytes as in the
// picture); the run words (uint16: kind in the top two bits, length below),
// a row's runs covering its width exactly; the opaque texels already in 565.
// A blit reads only these compact streams, front to back, never the
// picture's own pixels.
struct RunTableHeader {
  uint32_t magic;
  uint32_t width;
  uint32_t height;
  int32_t stride;
  uint64_t data;  // address of the pixels described
  uint32_t run_count;
  uint32_t opaque_count;
  uint32_t partial_count;
  uint32_t unused;
};

constexpr uint32_t kRunMagic = 0x6E75524C;
constexpr uint16_t kRunTransparent = 0;
constexpr uint16_t kRunOpaque = 1;
constexpr uint16_t kRunPartial = 2;
constexpr unsigned kRunKindShift = 14;
constexpr uint32_t kRunLengthMax = (1u << kRunKindShift) - 1;

inline uint16_t alpha_class(uint8_t a) { return a == 0 ? kRunTransparent : a == 255 ? kRunOpaque : kRunPartial; }

// emit(kind, length) for each run of one row of RGBA texels.
template <typename Emit>
void row_runs(const uint8_t* row, uint32_t width, Emit emit) {
  uint32_t x = 0;
  while (x < width) {
    uint16_t kind = alpha_class(row[4 * x + 3]);
    uint32_t start = x;
    do {
      ++x;
    } while (x < width && x - start < kRunLengthMax && alpha_class(row[4 * x + 3]) == kind);
    emit(kind, x - start);
  }
}

// Ties a table to one exact record: pixel address, size, stride, format and
// table offset. Never 0, so a cleared record never matches.
uint32_t run_check(const Surface& s) {
  uint64_t h = reinterpret_cast<uintptr_t>(s.data);
  for (uint64_t v : {uint64_t{s.width}, uint64_t{s.height}, uint64_t{static_cast<uint32_t>(s.stride)},
                     uint64_t{s.format}, uint64_t{s.reserved2[0]}}) {
    h = (h ^ v) * 0x9E3779B97F4A7C15ull;
    h ^= h >> 29;
  }
  return static_cast<uint32_t>(h >> 32) | 1;
}

// The run table of a record marked by raster_classify_picture, or false.
bool find_runs(const Surface& t, const RunRow** rows, const uint16_t** words, const uint16_t** opaque,
               const uint8_t** partial) {
  if (t.format != PIXEL_FORMAT_RGBA_8888 || t.reserved2[0] == 0 || t.reserved2[1] != run_check(t)) return false;
  const uint8_t* table = t.data + t.reserved2[0];
  if (reinterpret_cast<uintptr_t>(table) % alignof(RunTableHeader) != 0) return false;
  RunTableHeader header;
  memcpy(&header, table, sizeof(header));
  if (header.magic != kRunMagic || header.width != t.width || header.height != t.height ||
      header.stride != t.stride || header.data != reinterpret_cast<uintptr_t>(t.data)) {
    return false;
  }
  *rows = reinterpret_cast<const RunRow*>(table + sizeof(header));
  *partial = reinterpret_cast<const uint8_t*>(*rows + t.height + 1);
  *words = reinterpret_cast<const uint16_t*>(*partial + size_t{header.partial_count} * 4);
  *opaque = *words + header.run_count;
  return true;
}

// Texels whose alpha is known to be neither 0 nor 255.
void partial_span(uint16_t* dst, const uint8_t* src, size_t count) {
#if LUMO_NEON_SPANS
  if (neon_spans_active()) return neon_rgba_over_565(dst, src, count);
#endif
  for (size_t i = 0; i < count; ++i, src += 4) {
    dst[i] = blend_pixel(blend_source(src[0], src[1], src[2], src[3]), dst[i]);
  }
}

// Texels x0..x1-1 of a classified row into dst (which takes texel x0):
// walks the row's runs from its start, touching only the overlap. `opaque`
// and `partial` are the row's first opaque (565) and partial (RGBA) texels.
void rgba_runs_span(uint16_t* dst, const uint16_t* run, const uint16_t* end, const uint16_t* opaque,
                    const uint8_t* partial, int64_t x0, int64_t x1) {
  int64_t pos = 0;
  for (; run < end && pos < x1; ++run) {
    int64_t from = pos, len = *run & kRunLengthMax, to = pos + len;
    pos = to;
    uint16_t kind = static_cast<uint16_t>(*run >> kRunKindShift);
    if (kind == kRunTransparent) continue;
    int64_t skip = from < x0 ? x0 - from : 0;
    if (from < x0) from = x0;
    if (to > x1) to = x1;
    if (kind == kRunOpaque) {
      if (from < to) memcpy(dst + (from - x0), opaque + skip, static_cast<size_t>(to - from) * 2);
      opaque += len;
    } else {
      if (from < to) partial_span(dst + (from - x0), partial + 4 * skip, static_cast<size_t>(to - from));
      partial += 4 * len;
    }
  }
}

uint32_t fixed_to_8bit(int32_t v) {
  if (v <= 0) return 0;
  if (v >= RASTER_FIXED_ONE) return 255;
  return (static_cast<uint32_t>(v) * 255 + 0x8000) >> 16;
}

bool usable(const Surface& s, uint8_t format) {
  return s.data != nullptr && s.format == format && s.width > 0 && s.height > 0 &&
         s.stride >= static_cast<int32_t>(s.width);
}

bool texture_usable(const Surface& t) {
  return usable(t, PIXEL_FORMAT_RGBA_8888) || usable(t, PIXEL_FORMAT_RGBX_8888) || usable(t, PIXEL_FORMAT_RGB_565);
}

Box intersect(Box a, int64_t left, int64_t top, int64_t right, int64_t bottom) {
  if (a.left < left) a.left = left;
  if (a.top < top) a.top = top;
  if (a.right > right) a.right = right;
  if (a.bottom > bottom) a.bottom = bottom;
  return a;
}

bool blending(const RasterContext* ctx) {
  return ctx->blend && ctx->src_factor == RASTER_SRC_ALPHA && ctx->dst_factor == RASTER_ONE_MINUS_SRC_ALPHA;
}

uint16_t* row_of(const Surface& s, int64_t x, int64_t y) {
  return reinterpret_cast<uint16_t*>(s.data) + y * s.stride + x;
}

void fill_box(RasterContext* ctx, const Box& box) {
  const Surface& cb = ctx->color_buffer;
  uint32_t r = fixed_to_8bit(ctx->color[0]), g = fixed_to_8bit(ctx->color[1]);
  uint32_t b = fixed_to_8bit(ctx->color[2]), a = fixed_to_8bit(ctx->color[3]);
  bool blend = blending(ctx);
  if (blend && a == 0) return;
  size_t width = static_cast<size_t>(box.right - box.left);
  if (!blend || a == 255) {
    uint16_t value = pack565(r, g, b);
    // Whole rows of a packed buffer are one span.
    if (width == cb.width && cb.stride == static_cast<int32_t>(cb.width)) {
      fill_pixels16(row_of(cb, 0, box.top), value, width * static_cast<size_t>(box.bottom - box.top));
      return;
    }
    for (int64_t y = box.top; y < box.bottom; ++y) fill_pixels16(row_of(cb, box.left, y), value, width);
    return;
  }
  for (int64_t y = box.top; y < box.bottom; ++y) {
    blend_color_span(row_of(cb, box.left, y), static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                     static_cast<uint8_t>(b), static_cast<uint8_t>(a), width);
  }
}

void texture_box(RasterContext* ctx, const Box& box) {
  const Surface& cb = ctx->color_buffer;
  const Surface& tex = ctx->texture;
  size_t width = static_cast<size_t>(box.right - box.left);
  bool blend = blending(ctx);
  size_t texel_size = tex.format == PIXEL_FORMAT_RGB_565 ? 2 : 4;
  for (int64_t y = box.top; y < box.bottom; ++y) {
    uint16_t* dst = row_of(cb, box.left, y);
    int64_t tx = box.left + ctx->tex_s, ty = y + ctx->tex_t;
    const uint8_t* src = tex.data + (ty * tex.stride + tx) * static_cast<int64_t>(texel_size);
    if (tex.format == PIXEL_FORMAT_RGB_565) {
      memcpy(dst, src, width * 2);
    } else if (tex.format == PIXEL_FORMAT_RGBA_8888 && blend && ctx->run_words != nullptr) {
      const RunRow& at = ctx->run_rows[ty];
      rgba_runs_span(dst, ctx->run_words + at.word, ctx->run_words + ctx->run_rows[ty + 1].word,
                     ctx->run_opaque + at.opaque, ctx->run_partial + size_t{at.partial} * 4, tx,
                     tx + static_cast<int64_t>(width));
    } else if (tex.format == PIXEL_FORMAT_RGBA_8888 && blend) {
      rgba_blend_span(dst, src, width);
    } else {
      rgbx_span(dst, src, width);
    }
  }
}

}  // namespace

RasterContext* raster_create() {
  auto* ctx = static_cast<RasterContext*>(calloc(1, sizeof(RasterContext)));
  if (ctx == nullptr) return nullptr;
  for (int32_t& c : ctx->color) c = RASTER_FIXED_ONE;
  ctx->src_factor = RASTER_SRC_ALPHA;
  ctx->dst_factor = RASTER_ONE_MINUS_SRC_ALPHA;
  return ctx;
}

void raster_destroy(RasterContext* ctx) { free(ctx); }

void raster_set_color_buffer(RasterContext* ctx, const Surface* buffer) {
  if (ctx == nullptr) return;
  ctx->has_color_buffer = buffer != nullptr && usable(*buffer, PIXEL_FORMAT_RGB_565);
  ctx->color_buffer = ctx->has_color_buffer ? *buffer : Surface{};
}

void raster_active_texture(RasterContext*, int) {}  // one unit: 0

void raster_enable(RasterContext* ctx, uint32_t cap) {
  if (ctx == nullptr) return;
  if (cap == RASTER_BLEND) ctx->blend = true;
  if (cap == RASTER_TEXTURE_2D) ctx->texture_2d = true;
}

void raster_disable(RasterContext* ctx, uint32_t cap) {
  if (ctx == nullptr) return;
  if (cap == RASTER_BLEND) ctx->blend = false;
  if (cap == RASTER_TEXTURE_2D) ctx->texture_2d = false;
}

void raster_blend_func(RasterContext* ctx, uint32_t src_factor, uint32_t dst_factor) {
  if (ctx == nullptr || src_factor != RASTER_SRC_ALPHA || dst_factor != RASTER_ONE_MINUS_SRC_ALPHA) return;
  ctx->src_factor = src_factor;
  ctx->dst_factor = dst_factor;
}

void raster_color4x(RasterContext* ctx, int32_t red, int32_t green, int32_t blue, int32_t alpha) {
  if (ctx == nullptr) return;
  ctx->color[0] = red;
  ctx->color[1] = green;
  ctx->color[2] = blue;
  ctx->color[3] = alpha;
}

void raster_bind_texture(RasterContext* ctx, const Surface* texture) {
  if (ctx == nullptr) return;
  ctx->has_texture = texture != nullptr && texture_usable(*texture);
  ctx->texture = ctx->has_texture ? *texture : Surface{};
  ctx->run_rows = nullptr;
  ctx->run_words = nullptr;
  ctx->run_opaque = nullptr;
  ctx->run_partial = nullptr;
  if (ctx->has_texture &&
      !find_runs(ctx->texture, &ctx->run_rows, &ctx->run_words, &ctx->run_opaque, &ctx->run_partial)) {
    ctx->run_rows = nullptr;
  }
}

Surface* raster_classify_picture(Surface* block, size_t size) {
  if (block == nullptr || size < sizeof(Surface) || !usable(*block, PIXEL_FORMAT_RGBA_8888)) return block;
  const Surface& s = *block;
  // The pixels must lie inside the block, after the record.
  uintptr_t base = reinterpret_cast<uintptr_t>(block), data = reinterpret_cast<uintptr_t>(s.data);
  if (data < base + sizeof(Surface) || data > base + size) return block;
  size_t data_offset = data - base;
  // In 64 bits: a record's claim must not wrap round a 32-bit size_t.
  uint64_t pixel_bytes = (uint64_t{static_cast<uint32_t>(s.stride)} * (s.height - 1) + s.width) * 4;
  if (pixel_bytes > size - data_offset) return block;

  size_t count = 0, opaque = 0, partial = 0;
  for (uint32_t y = 0; y < s.height; ++y) {
    row_runs(s.data + static_cast<size_t>(y) * s.stride * 4, s.width, [&](uint16_t kind, uint32_t n) {
      ++count;
      if (kind == kRunOpaque) opaque += n;
      if (kind == kRunPartial) partial += n;
    });
  }
  // With a run every few texels, walking runs costs more than it saves.
  if (count > s.height + static_cast<size_t>(s.width) * s.height / 4) return block;
  size_t table_at = (size + 7) & ~size_t{7};
  size_t table_bytes =
      sizeof(RunTableHeader) + (size_t{s.height} + 1) * sizeof(RunRow) + partial * 4 + (count + opaque) * 2;
  if (table_at - data_offset > UINT32_MAX) return block;

  auto* grown = static_cast<Surface*>(realloc(block, table_at + table_bytes));
  if (grown == nullptr) return block;
  auto* bytes = reinterpret_cast<uint8_t*>(grown);
  grown->data = bytes + data_offset;
  RunTableHeader header = {kRunMagic, grown->width, grown->height, grown->stride,
                           reinterpret_cast<uintptr_t>(grown->data), static_cast<uint32_t>(count),
                           static_cast<uint32_t>(opaque), static_cast<uint32_t>(partial), 0};
  memcpy(bytes + table_at, &header, sizeof(header));
  auto* rows = reinterpret_cast<RunRow*>(bytes + table_at + sizeof(header));
  auto* partial_texels = reinterpret_cast<uint8_t*>(rows + grown->height + 1);
  auto* words = reinterpret_cast<uint16_t*>(partial_texels + partial * 4);
  uint16_t* plane = words + count;
  RunRow next = {0, 0, 0};
  for (uint32_t y = 0; y < grown->height; ++y) {
    rows[y] = next;
    const uint8_t* row = grown->data + static_cast<size_t>(y) * grown->stride * 4;
    uint32_t x = 0;
    row_runs(row, grown->width, [&](uint16_t kind, uint32_t n) {
      words[next.word++] = static_cast<uint16_t>(kind << kRunKindShift | n);
      if (kind == kRunOpaque) {
        rgbx_span(plane + next.opaque, row + 4 * x, n);
        next.opaque += n;
      } else if (kind == kRunPartial) {
        memcpy(partial_texels + size_t{next.partial} * 4, row + 4 * x, size_t{n} * 4);
        next.partial += n;
      }
      x += n;
    });
  }
  rows[grown->height] = next;
  grown->reserved2[0] = static_cast<uint32_t>(table_at - data_offset);
  grown->reserved2[1] = run_check(*grown);
  return grown;
}

// REPLACE and one-to-one generation are the only modes: nothing to store.
void raster_tex_env(RasterContext*, uint32_t, uint32_t, uint32_t) {}
void raster_tex_gen(RasterContext*, uint32_t, uint32_t, uint32_t) {}

void raster_tex_coord2i(RasterContext* ctx, int32_t s, int32_t t) {
  if (ctx == nullptr) return;
  ctx->tex_s = s;
  ctx->tex_t = t;
}

void raster_recti(RasterContext* ctx, int32_t left, int32_t top, int32_t right, int32_t bottom) {
  if (ctx == nullptr || !ctx->has_color_buffer) return;
  const Surface& cb = ctx->color_buffer;
  Box box = intersect(Box{left, top, right, bottom}, 0, 0, cb.width, cb.height);
  if (!ctx->texture_2d) {
    if (!box.empty()) fill_box(ctx, box);
    return;
  }
  if (!ctx->has_texture) return;
  const Surface& tex = ctx->texture;
  // Pixels whose texel lies outside the texture are not drawn.
  box = intersect(box, -static_cast<int64_t>(ctx->tex_s), -static_cast<int64_t>(ctx->tex_t),
                  static_cast<int64_t>(tex.width) - ctx->tex_s, static_cast<int64_t>(tex.height) - ctx->tex_t);
  if (!box.empty()) texture_box(ctx, box);
}
