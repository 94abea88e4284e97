// A small software rasterizer: exactly the fixed-function operations the
// drawing layer uses, on an RGB565 colour buffer. Fills take a flat colour
// (16.16 fixed point per channel); textured rectangles take texels one to
// one from an RGBA 8888, RGBX 8888 or RGB 565 texture (REPLACE); both are
// blended with SRC_ALPHA / ONE_MINUS_SRC_ALPHA when blending is enabled.
//
// Every rectangle is clipped to the colour buffer and, when textured, to the
// texture: nothing outside either buffer is read or written. A context with
// no colour buffer (or an unusable one) draws nothing.
//
// A context is used by one thread at a time; the functions keep no state
// outside the context and never allocate, lock or make system calls after
// raster_create. Unsupported enumerants leave the state unchanged.
//
// Pictures: raster_classify_picture, called once by the picture decoder,
// appends to an RGBA picture's own heap block a table of its rows split into
// runs of transparent, opaque and partial texels, and marks the record (the
// reserved fields) so that a bind finds it. Blits of such a texture skip
// transparent runs unread, convert opaque runs straight to 565 and blend only
// partial texels. The table lives and dies with the block (free() releases
// both); a bind uses it only when the record's pixel pointer, size, stride
// and format are exactly those it was made for, so a copy of the record
// pointing elsewhere, or another picture decoded at the same address, never
// sees a stale table. A classified picture's pixels must never change.
#pragma once

#include <cstddef>
#include <cstdint>

struct Surface;
struct RasterContext;

// Enumerants (OpenGL values where OpenGL has them).
constexpr uint32_t RASTER_BLEND = 0x0BE2;
constexpr uint32_t RASTER_TEXTURE_2D = 0x0DE1;
constexpr uint32_t RASTER_SRC_ALPHA = 0x0302;
constexpr uint32_t RASTER_ONE_MINUS_SRC_ALPHA = 0x0303;
constexpr uint32_t RASTER_TEXTURE_ENV = 0x2300;
constexpr uint32_t RASTER_TEXTURE_ENV_MODE = 0x2200;
constexpr uint32_t RASTER_REPLACE = 0x1E01;
constexpr uint32_t RASTER_S = 0x2000;
constexpr uint32_t RASTER_T = 0x2001;
constexpr uint32_t RASTER_TEXTURE_GEN_MODE = 0x2500;
constexpr uint32_t RASTER_ONE_TO_ONE = 0x80000002;
constexpr int32_t RASTER_FIXED_ONE = 0x10000;  // 1.0 in 16.16

// A context with default state: no colour buffer, no texture, blending and
// texturing off, flat colour opaque white. Null when memory is short.
RasterContext* raster_create();
// Tests only: frees a context made by raster_create (null is accepted).
void raster_destroy(RasterContext* ctx);

// The colour buffer (must be RGB 565); null detaches it. The record is
// copied: later changes to the caller's Surface are not seen.
void raster_set_color_buffer(RasterContext* ctx, const Surface* buffer);
void raster_active_texture(RasterContext* ctx, int unit);  // unit 0 only
void raster_enable(RasterContext* ctx, uint32_t cap);      // BLEND, TEXTURE_2D
void raster_disable(RasterContext* ctx, uint32_t cap);
// Only SRC_ALPHA / ONE_MINUS_SRC_ALPHA is supported.
void raster_blend_func(RasterContext* ctx, uint32_t src_factor, uint32_t dst_factor);
// Flat colour, 16.16 per channel (0x10000 = 1.0; values are clamped to 0..1).
void raster_color4x(RasterContext* ctx, int32_t red, int32_t green, int32_t blue, int32_t alpha);
// The texture of unit 0 (format 1, 2 or 4); the record is copied, the pixels
// are not: they must stay valid while the texture is bound and drawn.
void raster_bind_texture(RasterContext* ctx, const Surface* texture);
// `block` is a malloc'd block of `size` bytes that begins with the picture's
// Surface record and holds its pixels. Returns the block grown (possibly
// moved, its `data` pointer adjusted) with the run table, or the block as it
// was when the picture is not RGBA 8888, its alpha is too noisy for runs to
// pay, or memory is short. Any thread; allocates; not for drawing paths.
Surface* raster_classify_picture(Surface* block, size_t size);
// TEXTURE_ENV / TEXTURE_ENV_MODE / REPLACE.
void raster_tex_env(RasterContext* ctx, uint32_t target, uint32_t pname, uint32_t param);
// S or T / TEXTURE_GEN_MODE / ONE_TO_ONE.
void raster_tex_gen(RasterContext* ctx, uint32_t coord, uint32_t pname, uint32_t param);
// Destination pixel (x, y) takes the texel (x + s, y + t).
void raster_tex_coord2i(RasterContext* ctx, int32_t s, int32_t t);
// Every pixel with left <= x < right and top <= y < bottom inside the colour
// buffer (and, when textured, whose texel lies inside the texture).
void raster_recti(RasterContext* ctx, int32_t left, int32_t top, int32_t right, int32_t bottom);
