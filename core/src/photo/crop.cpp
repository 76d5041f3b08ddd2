// Crops: the saliency of each pixel, summed over columns or rows, and the
// window position that holds the most.
#include "photo/crop.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qarvel {
namespace {

struct Rgb {
  int r, g, b;
};

Rgb pixel(const ImageView& im, int x, int y) {
  const uint8_t* p = im.pixels + int64_t{y} * im.pitch + int64_t{x} * tjPixelSize[im.format];
  switch (im.format) {
    case TJPF_GRAY: return {p[0], p[0], p[0]};
    case TJPF_BGR: return {p[2], p[1], p[0]};
    default: return {p[0], p[1], p[2]};
  }
}

int luma(Rgb c) { return (77 * c.r + 150 * c.g + 29 * c.b) >> 8; }

int saliency(const ImageView& im, const std::vector<uint8_t>& y, int x, int row) {
  const int w = im.width, h = im.height;
  const auto at = [&](int cx, int cy) {
    return int{y[size_t(std::clamp(cy, 0, h - 1)) * w + std::clamp(cx, 0, w - 1)]};
  };
  const int edge = std::abs(at(x + 1, row) - at(x - 1, row)) + std::abs(at(x, row + 1) - at(x, row - 1));
  const Rgb c = pixel(im, x, row);
  const int hi = std::max({c.r, c.g, c.b}), lo = std::min({c.r, c.g, c.b});
  const bool skin = c.r > 95 && c.g > 40 && c.b > 20 && c.r - c.g > 15 && c.r - c.b > 15;
  return edge + (hi - lo) / 2 + (skin ? 48 : 0);
}

// The start in [0, sums.size() - length] of the window of `length` with the
// largest sum; ties go to the start nearest the centre.
int best_start(const std::vector<int64_t>& sums, int length) {
  const int last = static_cast<int>(sums.size()) - length;
  int64_t window = 0;
  for (int i = 0; i < length; ++i) window += sums[i];
  int best = 0;
  int64_t best_sum = window;
  for (int start = 1; start <= last; ++start) {
    window += sums[start + length - 1] - sums[start - 1];
    if (window > best_sum ||
        (window == best_sum && std::abs(2 * start - last) < std::abs(2 * best - last))) {
      best = start;
      best_sum = window;
    }
  }
  return best;
}

}  // namespace

Window crop_window(const ImageView& im, Size box, ThumbnailOptions::Crop mode) noexcept {
  const Window centre = {(im.width - box.width) / 2, (im.height - box.height) / 2};
  if (mode != ThumbnailOptions::Crop::kAttention || (im.width == box.width && im.height == box.height))
    return centre;
  std::vector<uint8_t> y(size_t(im.width) * im.height);
  for (int row = 0; row < im.height; ++row)
    for (int x = 0; x < im.width; ++x) y[size_t(row) * im.width + x] = luma(pixel(im, x, row));
  std::vector<int64_t> columns(im.width), rows(im.height);
  for (int row = 0; row < im.height; ++row)
    for (int x = 0; x < im.width; ++x) {
      const int s = saliency(im, y, x, row);
      columns[x] += s;
      rows[row] += s;
    }
  return {best_start(columns, box.width), best_start(rows, box.height)};
}

Result<Image> crop(const Image& image, Size box, Window at) noexcept {
  const int bpp = tjPixelSize[image.format];
  Image out;
  out.width = box.width;
  out.height = box.height;
  out.pitch = box.width * bpp;
  out.format = image.format;
  out.pixels = PixelBuffer::allocate(size_t(out.pitch) * box.height, Storage::kPrivate);
  if (!out.pixels) return Error{Fault::kAlloc, "out of memory cropping the image"};
  for (int row = 0; row < box.height; ++row)
    memcpy(out.pixels.data() + size_t(row) * out.pitch,
           image.pixels.data() + int64_t{at.y + row} * image.pitch + int64_t{at.x} * bpp,
           out.pitch);
  return out;
}

}  // namespace qarvel
