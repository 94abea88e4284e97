// NEON versions of the hot pixel spans, built on ARM when the compiler
// targets NEON (-mfpu=neon, as cmake/armhf.cmake does). Each gives exactly
// the pixels of the portable span it stands in for, which stays the
// reference: the rasterizer's opaque and blended texel runs onto RGB565 and
// its blended fills (ui/raster.cpp), the 565-to-8888 expansion and the 16-
// and 32-bit fills (ui/graphics.cpp). Those callers use them while
// neon_spans_active() is true.
//
// Where NEON is not built LUMO_NEON_SPANS is 0, only the switch exists and
// it stays off. The spans read and write exactly `count` elements (tails go
// through a small stack buffer, never past either end), allocate nothing and
// lock nothing; any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__ARM_NEON) || defined(__ARM_NEON__)
#define LUMO_NEON_SPANS 1
#else
#define LUMO_NEON_SPANS 0
#endif

// True by default where the NEON spans are built, always false elsewhere.
bool neon_spans_active();
// Tests and benchmarks: off runs the portable spans on the same build, to
// compare the two. Ignored where the NEON spans are not built.
void neon_spans_set_active(bool active);

#if LUMO_NEON_SPANS
// Texels of bytes R, G, B, x to RGB565 (top bits kept, x ignored).
void neon_rgbx_to_565(uint16_t* dst, const uint8_t* src, size_t count);
// Texels of bytes R, G, B, A (straight alpha) over RGB565: alpha 0 leaves
// the pixel, 255 stores the texel, others blend round((s*a + d*(255-a))/255)
// per channel on the destination widened by replicating its top bits.
void neon_rgba_over_565(uint16_t* dst, const uint8_t* src, size_t count);
// One colour, alpha 1 to 254, over RGB565 with the same arithmetic.
void neon_color_over_565(uint16_t* dst, uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha, size_t count);
// 565 to bytes R8, G8, B8, 0xFF, top bits replicated into the low bits.
void neon_expand_565_to_8888(uint32_t* dst, const uint16_t* src, size_t count);
void neon_fill16(uint16_t* dst, uint16_t value, size_t count);
void neon_fill32(uint32_t* dst, uint32_t value, size_t count);
#endif
