// Internal: the photo thumbnailer under `qarvel resize` and the Python
// package: upright output, colour profile kept, reduced-size decoding, safe
// replacement of the output file.
#ifndef QARVEL_PHOTO_H
#define QARVEL_PHOTO_H

#include <string>
#include <vector>

#include "core.h"
#include "photo/options.h"

namespace qarvel {

struct Size {
  int width = 0, height = 0;
};

// The thumbnail's size for a source shown as width x height, both in the
// displayed orientation. Heights and widths that keep the aspect ratio are
// formed as qresize forms them, but never below 1.
Result<Size> target_size(int width, int height, const ThumbnailOptions& options) noexcept;

struct Thumbnail {
  Blob jpeg;                          // empty after thumbnail_file has written it
  int src_width = 0, src_height = 0;  // the source as displayed
  int width = 0, height = 0;          // as written
  // Problems that did not fail the image (malformed EXIF, an inconsistent
  // profile), one line each.
  std::vector<std::string> warnings;
};

// The whole image in `format` (TJPF_RGB or TJPF_BGR), turned upright by its
// EXIF Orientation when `rotate` is set. CMYK and YCCK photos are converted
// to sRGB through their profile; damaged data fails.
Result<Image> decode_photo(ByteView jpeg, int format, bool rotate) noexcept;

// Resizes one JPEG held in memory into a new JPEG.
Result<Thumbnail> thumbnail(ByteView jpeg, const ThumbnailOptions& options) noexcept;

// Reads `src`, thumbnails it and replaces `dst` safely (replace_file); an
// output that is the same file as its input is refused. A null `dst` keeps
// the JPEG in the result instead.
Result<Thumbnail> thumbnail_file(const char* src, const char* dst,
                                 const ThumbnailOptions& options) noexcept;

}  // namespace qarvel

#endif
