// Internal: cutting a thumbnail that covers its box down to the box, evenly
// or around the busiest part of the picture.
#ifndef QARVEL_PHOTO_CROP_H
#define QARVEL_PHOTO_CROP_H

#include "core.h"
#include "photo/options.h"
#include "photo/photo.h"

namespace qarvel {

struct Window {
  int x = 0, y = 0;  // top-left corner
};

// Where a `box`-sized window (no larger than the image) sits in `image`, an
// upright BGR, RGB or grey image. kCentre centres it. kAttention slides it
// along each side the image overflows and keeps the position whose pixels
// are most salient, a pixel's saliency being the sum of:
//   - its edge strength: the luminance differences between its left and
//     right and between its upper and lower neighbours;
//   - half its saturation: the largest channel less the smallest;
//   - 48 for a skin-like tone (red above 95, green above 40, blue above 20,
//     red above both others by more than 15).
// Of equally salient positions, the one nearest the centre wins.
Window crop_window(const ImageView& image, Size box, ThumbnailOptions::Crop mode) noexcept;

// A copy of `image`'s `box`-sized window at `at`.
Result<Image> crop(const Image& image, Size box, Window at) noexcept;

}  // namespace qarvel

#endif
