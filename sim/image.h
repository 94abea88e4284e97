// Pictures made by lumo-sim: PNG reading and writing, a small bitmap font,
// the screenshot of a simulated phone (visible framebuffer page, dimmed by the
// backlight, with a side panel for the battery LED and the backlight level),
// the contact sheet of a session, and the boot logo decoder used to check the
// screen. Single-threaded; reads the device root, never writes it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/device.h"

namespace sim {

// 0xAARRGGBB pixels, rows packed.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  Image() = default;
  Image(int w, int h, uint32_t fill) : width(w), height(h), pixels(static_cast<size_t>(w) * h, fill) {}
  uint32_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
  void set(int x, int y, uint32_t c) {
    if (x >= 0 && y >= 0 && x < width && y < height) pixels[static_cast<size_t>(y) * width + x] = c;
  }
};

// A PNG file as libpng takes it: any colour type and depth, rows packed,
// optional palette and palette alphas, optionally interlaced. Tests make the
// program's pictures with it; `write_png` writes an Image through it.
struct PngPicture {
  int width = 1, height = 1;
  int color_type = 2;  // PNG_COLOR_TYPE_RGB
  int bit_depth = 8;
  bool interlaced = false;
  std::vector<unsigned char> pixels;
  std::vector<uint8_t> palette;  // R, G, B per entry
  std::vector<uint8_t> alphas;   // palette alphas (tRNS)
};
// Writes the picture (parent folders made). False with a message on failure.
bool write_png_picture(const std::string& path, const PngPicture& picture, std::string* error);
bool write_png(const std::string& path, const Image& image, std::string* error);
// The PNG file of an image, in memory.
bool encode_png(const Image& image, std::string* bytes, std::string* error);
bool read_png(const std::string& path, Image* image, std::string* error);
// A PNG file's bytes; `what` names it in messages.
bool decode_png(const std::string& bytes, const std::string& what, Image* image, std::string* error);

void fill_rect(Image* image, int x, int y, int w, int h, uint32_t color);
// Draws `text` in the 5x7 font (lower case shown as upper case), each font
// pixel `scale` x `scale`. Returns the width drawn.
int draw_text(Image* image, int x, int y, const std::string& text, uint32_t color, int scale);
int text_width(const std::string& text, int scale);

// The visible page as 0xFFRRGGBB pixels (565 widened by replicating top bits;
// 32-bit pages are bytes R, G, B, A in memory).
bool read_visible_page(const Device& device, Image* page, FrameInfo* info, std::string* error);

// How much of the screen's light the backlight level lets through.
double backlight_factor(int level);

// Screenshot of the phone: the visible page dimmed by the backlight, and the
// side panel.
bool render_screenshot(const Device& device, Image* out, std::string* error);
bool take_screenshot(const Device& device, const std::string& png_path, std::string* error);

// One PNG tiling the given PNGs, each with its name under it, under the
// title "LUMO-SIM: TITLE" ("LUMO-SIM SESSION" when the title is "").
bool make_contact_sheet(const std::string& out_path, const std::vector<std::string>& inputs,
                        std::string* error, const std::string& title = "");

// Decodes a 565 run-length file as the boot logo loader draws it on a screen
// of `max_pixels` pixels: runs fill from the top left; a run longer than the
// pixels still free ends the decoding; 1 to 3 trailing bytes are ignored.
std::vector<uint16_t> decode_565_rle(const std::string& file, size_t max_pixels);

// The boot logo as a person expects it on a screen of `width` x `height`:
// the logo picture at its own size, centred on black (cut at the edges of
// a smaller screen), in the 565 colours the run-length file holds. Not
// stretched (that would blur its lettering) and never wrapped at the screen's
// width, as a logo made for another width would be.
Image logo_on_screen(const Image& logo, int width, int height);
// The run-length 565 file of a whole screen picture (runs of at most 65535).
std::string encode_565_rle(const Image& screen);

// Compares a visible page with what the boot logo should show: the logo
// picture (`logo`, when the phone has one) centred; without a picture, the
// run-length file must cover the screen exactly (a file made for another
// size fails, whatever the loader's arithmetic makes of it). `detail` says
// where it differs.
bool page_shows_boot_logo(const Image& page, const std::string& rle, const Image* logo, std::string* detail);
// The same with the files' contents (nullopt: missing).
bool logo_shown(const Image& page, const std::optional<std::string>& rle, const std::optional<std::string>& picture,
                std::string* detail);
// The same for the phone: /initlogo.rle and the picture it was made from,
// /initlogo.png (lumo-sim's, the program never reads it).
bool screen_shows_boot_logo(const Device& device, std::string* detail);

uint32_t rgb565_to_argb(uint16_t p);

}  // namespace sim
