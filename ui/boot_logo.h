// The boot logo: a run-length-encoded RGB565 picture written straight into
// framebuffer page 0 just before Android starts. Works on its own (no
// off-screen surface, no rasterizer); runs on the main thread after
// ui_stop. The screen is opened, checked and mapped by screen_map
// (ui/graphics.h), the console switched through platform/display.h.
//
// The file is a sequence of 4-byte runs (LE count, LE RGB565 colour) that
// fill the screen in reading order; trailing 1-3 bytes are ignored. Decoding
// never writes more than xres * yres pixels, nor into the padding of a row.
#pragma once

#include <cstddef>
#include <cstdint>

struct ScreenMap;

// Shows the picture at the device path `path`. 0 when it was shown (also in
// part), -1 when nothing was drawn (console back to text mode).
int load_565rle_image(const char* path);
// Console to graphics (non-zero) or text (0) mode; the request's result, -1
// when the console cannot be opened.
int vt_set_mode(int graphics);
// Fills page 0 of `screen` from `size` bytes of runs; stops at the first run
// that does not fit in the pixels still free.
void decode_runs(const ScreenMap& screen, const uint8_t* runs, size_t size);
