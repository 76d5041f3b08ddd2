// Turning images upright: each displayed pixel read from where the EXIF
// Orientation says it is stored.
#include "photo/orient.h"

#include <cstring>

namespace qarvel {

// Copies `src` turned as EXIF orientation `o` asks, into a new buffer.
Result<Image> orient(const Image& src, int o) noexcept {
  const int bpp = tjPixelSize[src.format];
  const bool transpose = o >= 5;
  Image dst;
  dst.width = transpose ? src.height : src.width;
  dst.height = transpose ? src.width : src.height;
  dst.pitch = dst.width * bpp;
  dst.format = src.format;
  dst.pixels = PixelBuffer::allocate(size_t(dst.pitch) * dst.height, Storage::kPrivate);
  if (!dst.pixels) return Error{Fault::kAlloc, "out of memory turning the image upright"};
  // Displayed (x, y) reads stored (sx, sy); the step is the stored byte
  // distance between displayed neighbours on a row, the start that of x = 0.
  const int64_t w = src.width, h = src.height, pitch = src.pitch, px = bpp;
  int64_t x_step = px, y_step = pitch, origin = 0;
  switch (o) {
    case 2: x_step = -px; origin = (w - 1) * px; break;
    case 3: x_step = -px; y_step = -pitch; origin = (h - 1) * pitch + (w - 1) * px; break;
    case 4: y_step = -pitch; origin = (h - 1) * pitch; break;
    case 5: x_step = pitch; y_step = px; break;
    case 6: x_step = -pitch; y_step = px; origin = (h - 1) * pitch; break;
    case 7: x_step = -pitch; y_step = -px; origin = (h - 1) * pitch + (w - 1) * px; break;
    case 8: x_step = pitch; y_step = -px; origin = (w - 1) * px; break;
    default: break;
  }
  const uint8_t* base = src.pixels.data();
  for (int y = 0; y < dst.height; ++y) {
    const uint8_t* s = base + origin + y * y_step;
    uint8_t* d = dst.pixels.data() + size_t(y) * dst.pitch;
    for (int x = 0; x < dst.width; ++x, s += x_step, d += bpp) memcpy(d, s, bpp);
  }
  return dst;
}

}  // namespace qarvel
