// PNG pictures: any bytes through the decoder the resource pictures use.
// A decoded picture must be one well-formed block of the accepted size.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/fuzz/fuzz_root.h"
#include "ui/graphics.h"
#include "ui/image.h"

namespace {
constexpr size_t kMaxBytes = 16u << 20;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lumo_fuzz::fuzz_root();
  lumo_fuzz::fuzz_trim_log();
  if (size == 0) return 0;
  FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (file == nullptr) return 0;
  Surface* picture = nullptr;
  int result = decode_png_stream(file, kMaxBytes, &picture);
  fclose(file);
  if (result != PNG_LOAD_OK) {
    if (picture != nullptr) abort();  // a failure leaves the output alone
    return 0;
  }
  size_t pixels = static_cast<size_t>(picture->width) * picture->height;
  if (picture->width == 0 || picture->height == 0 || picture->width > kMaxPictureSide ||
      picture->height > kMaxPictureSide || picture->stride != static_cast<int32_t>(picture->width) ||
      sizeof(Surface) + pixels * 4 > kMaxBytes || picture->data != reinterpret_cast<uint8_t*>(picture + 1)) {
    abort();
  }
  // Every pixel is readable; RGBX pictures are opaque.
  uint32_t sum = 0;
  for (size_t i = 0; i < pixels; ++i) {
    sum += picture->data[4 * i];
    if (picture->format == PIXEL_FORMAT_RGBX_8888 && picture->data[4 * i + 3] != 0xFF) abort();
  }
  free(picture);
  return static_cast<int>(sum & 0);
}
