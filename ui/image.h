// Picture resources: PNG files in the resource directory, decoded once into
// a Surface (RGBA / RGBX 8888) and kept until the process ends.
//
// resource_surface runs on whichever thread draws (main thread for the
// start-up picture, the animation's timer thread for charging pictures); the
// records are not locked here, so a shared table must be used under the
// charging screen's drawing lock. Every file is untrusted: bad, truncated or
// oversized pictures are refused with a code, never read past a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

struct Surface;

// One picture of the charging screen.
struct ImageResource {
  int32_t threshold;         // animation frames: highest level shown; else 0
  const char* file_name;     // fixed file name, or null
  const char* name_pattern;  // used when file_name is null: "%s" = language tag
  Surface* surface;          // decoded picture, null until loaded
  int32_t failed = 0;        // the PNG_ERR_* code of a file that could not be decoded
};

// load_png_surface results.
constexpr int PNG_LOAD_OK = 0;
constexpr int PNG_ERR_OPEN = -1;       // the file cannot be opened
constexpr int PNG_ERR_SHORT = -2;      // shorter than the 8-byte signature
constexpr int PNG_ERR_SIGNATURE = -3;  // not a PNG
constexpr int PNG_ERR_READ_STRUCT = -4;
constexpr int PNG_ERR_INFO_STRUCT = -5;
constexpr int PNG_ERR_DECODE = -6;     // decoder error in header or rows
constexpr int PNG_ERR_FORMAT = -7;     // depth / colour type not accepted
constexpr int PNG_ERR_MEMORY = -8;     // no memory, or dimensions too large
constexpr int PNG_ERR_BUDGET = -9;     // the picture does not fit the budget left

// Largest picture accepted, per side.
constexpr uint32_t kMaxPictureSide = 8192;
// All pictures that load_png_surface decodes share this many bytes (record
// and pixels); a picture that would pass it is refused before its rows are
// read (PNG_ERR_BUDGET, logged). Decoded pictures live until the process
// ends, so the budget bounds the program's picture memory; the default
// pictures take about 6 MiB of it.
constexpr size_t kPictureBudgetBytes = 64u << 20;

// The record's picture, loaded first from the resource directory if needed;
// null (logged, except for a too-short file) when it cannot be loaded. A
// file that is missing or too short is tried again on the next request; a
// file that could not be decoded is remembered (`failed`) and not read
// again, so a bad picture costs one decode, not one per frame.
Surface* resource_surface(ImageResource* resource);

// Decodes the PNG at the device path `path` into one heap block (Surface
// record followed by the pixels; free() releases it), charged to the picture
// budget. On success stores it in *out and returns 0; otherwise leaves *out
// unchanged and returns a PNG_ERR_* code.
int load_png_surface(const char* path, Surface** out);

// The decoder on an open stream, for at most `max_bytes` (record and pixels;
// a larger picture gives PNG_ERR_BUDGET). Not charged to the budget.
int decode_png_stream(FILE* file, size_t max_bytes, Surface** out);

// Tests: sets the budget and forgets what was charged to it.
void set_picture_budget_for_test(size_t bytes);
