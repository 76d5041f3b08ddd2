// Internal: the photo thumbnailer under `qarvel resize` and the Python
// package: upright output, colour profile kept, reduced-size decoding, safe
// replacement of the output file.
#ifndef QARVEL_PHOTO_H
#define QARVEL_PHOTO_H

#include <string>
#include <vector>

#include "core.h"

namespace qarvel {

struct ThumbnailOptions {
  // The target, in the image's displayed orientation. With fit false, width
  // is required and a height of 0 keeps the aspect ratio. With fit true the
  // image is fitted inside width x height, aspect kept; a 0 leaves that side
  // unbounded, and at least one side is bounded.
  int width = 0;
  int height = 0;
  bool fit = false;
  bool rotate = true;          // turn the image upright by its EXIF Orientation
  bool keep_metadata = false;  // keep EXIF (orientation reset), XMP and IPTC too
  bool strip = false;          // keep nothing, not even the colour profile
  bool exact = false;          // full-size decode and the library's resampler only
};

struct Thumbnail {
  Blob jpeg;                          // empty after thumbnail_file has written it
  int src_width = 0, src_height = 0;  // as stored
  int width = 0, height = 0;          // as written
  // Problems that did not fail the image (malformed EXIF, an inconsistent
  // profile), one line each.
  std::vector<std::string> warnings;
};

// Resizes one JPEG held in memory into a new JPEG (4:2:2, quality 85).
Result<Thumbnail> thumbnail(ByteView jpeg, const ThumbnailOptions& options) noexcept;

// Reads `src`, thumbnails it and replaces `dst` safely (replace_file); an
// output that is the same file as its input is refused.
Result<Thumbnail> thumbnail_file(const char* src, const char* dst,
                                 const ThumbnailOptions& options) noexcept;

}  // namespace qarvel

#endif
