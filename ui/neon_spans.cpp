// NEON spans: eight pixels a step. Channels are split with de-interleaving
// loads (vld4) and narrowing shifts; 565 is packed with shift-and-insert; the
// blend's exact divide by 255, ((t >> 8) + t) >> 8 with t = x + 128, is one
// rounding shift and one rounding high-half add. A tail shorter than a step
// is copied into a stack block, run through the same step and copied back,
// so that the tail gets the same arithmetic and nothing outside the span is
// touched.
#include "ui/neon_spans.h"

#include <atomic>
#include <cstring>

namespace {

std::atomic<bool> g_active{LUMO_NEON_SPANS != 0};

}  // namespace

bool neon_spans_active() { return g_active.load(std::memory_order_relaxed); }

void neon_spans_set_active(bool active) { g_active.store(active && LUMO_NEON_SPANS, std::memory_order_relaxed); }

#if LUMO_NEON_SPANS

#include <arm_neon.h>

namespace {

constexpr size_t kStep = 8;

// Eight 8-bit channels packed as RGB565 (top 5, 6, 5 bits).
inline uint16x8_t pack565(uint8x8_t r, uint8x8_t g, uint8x8_t b) {
  uint16x8_t out = vshll_n_u8(r, 8);
  out = vsriq_n_u16(out, vshll_n_u8(g, 8), 5);
  return vsriq_n_u16(out, vshll_n_u8(b, 8), 11);
}

// Eight 565 pixels widened to 8 bits a channel by replicating the top bits.
struct Wide {
  uint8x8_t r, g, b;
};

inline Wide widen565(uint16x8_t p) {
  uint8x8_t r = vshrn_n_u16(p, 8);                 // RRRRRGGG
  uint8x8_t g = vshrn_n_u16(p, 3);                 // GGGGGGBB
  uint8x8_t b = vmovn_u16(vshlq_n_u16(p, 3));      // BBBBB000
  return {vsri_n_u8(r, r, 5), vsri_n_u8(g, g, 6), vsri_n_u8(b, b, 5)};
}

// x / 255 rounded, for x <= 255 * 255: ((t >> 8) + t) >> 8 with t = x + 128.
inline uint8x8_t div255(uint16x8_t x) { return vraddhn_u16(x, vrshrq_n_u16(x, 8)); }

// s * a + d * (255 - a), divided by 255.
inline uint8x8_t mix(uint8x8_t s, uint8x8_t a, uint8x8_t d, uint8x8_t inv) {
  return div255(vmlal_u8(vmull_u8(s, a), d, inv));
}

inline void rgbx_step(uint16_t* dst, const uint8_t* src) {
  uint8x8x4_t t = vld4_u8(src);
  vst1q_u16(dst, pack565(t.val[0], t.val[1], t.val[2]));
}

// Wholly transparent steps are skipped unread and wholly opaque ones stored;
// the blend itself is exact for 0 and 255 too, so mixed steps need no lanes
// treated apart.
inline void rgba_over_step(uint16_t* dst, const uint8_t* src) {
  uint8x8x4_t t = vld4_u8(src);
  uint64_t alpha = vget_lane_u64(vreinterpret_u64_u8(t.val[3]), 0);
  if (alpha == 0) return;
  if (alpha == ~uint64_t{0}) {
    vst1q_u16(dst, pack565(t.val[0], t.val[1], t.val[2]));
    return;
  }
  Wide d = widen565(vld1q_u16(dst));
  uint8x8_t inv = vmvn_u8(t.val[3]);
  vst1q_u16(dst, pack565(mix(t.val[0], t.val[3], d.r, inv), mix(t.val[1], t.val[3], d.g, inv),
                         mix(t.val[2], t.val[3], d.b, inv)));
}

// The colour's products s * a are the same for every pixel.
struct ColorOver {
  uint16x8_t r, g, b;
  uint8x8_t inv;
};

inline void color_over_step(uint16_t* dst, const ColorOver& c) {
  Wide d = widen565(vld1q_u16(dst));
  vst1q_u16(dst, pack565(div255(vmlal_u8(c.r, d.r, c.inv)), div255(vmlal_u8(c.g, d.g, c.inv)),
                         div255(vmlal_u8(c.b, d.b, c.inv))));
}

inline void expand_step(uint32_t* dst, const uint16_t* src) {
  Wide w = widen565(vld1q_u16(src));
  uint8x8x4_t out = {{w.r, w.g, w.b, vdup_n_u8(0xFF)}};
  vst4_u8(reinterpret_cast<uint8_t*>(dst), out);
}

// The last count % kStep pixels of a span through `step` on stack copies.
template <typename D, typename S, typename Step>
void tail(D* dst, const S* src, size_t src_per_pixel, size_t count, Step step) {
  if (count == 0) return;
  D d[kStep] = {};
  S s[kStep * 4] = {};
  memcpy(d, dst, count * sizeof(D));
  memcpy(s, src, count * src_per_pixel * sizeof(S));
  step(d, s);
  memcpy(dst, d, count * sizeof(D));
}

}  // namespace

void neon_rgbx_to_565(uint16_t* dst, const uint8_t* src, size_t count) {
  size_t i = 0;
  for (; i + kStep <= count; i += kStep) rgbx_step(dst + i, src + 4 * i);
  tail(dst + i, src + 4 * i, 4, count - i, rgbx_step);
}

void neon_rgba_over_565(uint16_t* dst, const uint8_t* src, size_t count) {
  size_t i = 0;
  for (; i + kStep <= count; i += kStep) rgba_over_step(dst + i, src + 4 * i);
  tail(dst + i, src + 4 * i, 4, count - i, rgba_over_step);
}

void neon_color_over_565(uint16_t* dst, uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha, size_t count) {
  uint8x8_t a = vdup_n_u8(alpha);
  ColorOver c = {vmull_u8(vdup_n_u8(red), a), vmull_u8(vdup_n_u8(green), a), vmull_u8(vdup_n_u8(blue), a),
                 vmvn_u8(a)};
  size_t i = 0;
  for (; i + kStep <= count; i += kStep) color_over_step(dst + i, c);
  if (i == count) return;
  uint16_t unused = 0;
  tail(dst + i, &unused, 0, count - i, [&c](uint16_t* d, const uint16_t*) { color_over_step(d, c); });
}

void neon_expand_565_to_8888(uint32_t* dst, const uint16_t* src, size_t count) {
  size_t i = 0;
  for (; i + kStep <= count; i += kStep) expand_step(dst + i, src + i);
  // The tail's destination block is written whole, so it need not be read.
  tail(dst + i, src + i, 1, count - i, expand_step);
}

void neon_fill16(uint16_t* dst, uint16_t value, size_t count) {
  uint16x8_t v = vdupq_n_u16(value);
  size_t i = 0;
  for (; i + 4 * kStep <= count; i += 4 * kStep) {
    vst1q_u16(dst + i, v);
    vst1q_u16(dst + i + kStep, v);
    vst1q_u16(dst + i + 2 * kStep, v);
    vst1q_u16(dst + i + 3 * kStep, v);
  }
  for (; i + kStep <= count; i += kStep) vst1q_u16(dst + i, v);
  for (; i < count; ++i) dst[i] = value;
}

void neon_fill32(uint32_t* dst, uint32_t value, size_t count) {
  uint32x4_t v = vdupq_n_u32(value);
  constexpr size_t kLanes = 4;
  size_t i = 0;
  for (; i + 4 * kLanes <= count; i += 4 * kLanes) {
    vst1q_u32(dst + i, v);
    vst1q_u32(dst + i + kLanes, v);
    vst1q_u32(dst + i + 2 * kLanes, v);
    vst1q_u32(dst + i + 3 * kLanes, v);
  }
  for (; i + kLanes <= count; i += kLanes) vst1q_u32(dst + i, v);
  for (; i < count; ++i) dst[i] = value;
}

#endif  // LUMO_NEON_SPANS
