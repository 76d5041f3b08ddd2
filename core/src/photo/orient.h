// Internal: turning an image upright as its EXIF Orientation asks.
#ifndef QARVEL_PHOTO_ORIENT_H
#define QARVEL_PHOTO_ORIENT_H

#include "core.h"

namespace qarvel {

// A copy of `src` (any TurboJPEG pixel format) turned as EXIF orientation
// `o` (1..8) asks; 5..8 swap width and height.
Result<Image> orient(const Image& src, int o) noexcept;

}  // namespace qarvel

#endif
