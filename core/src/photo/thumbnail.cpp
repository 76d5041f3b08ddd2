// The photo thumbnailer: metadata first, then a decode at a reduced size,
// an area resample to the target, the EXIF orientation applied to the small
// result, the encode, and the kept segments written back.
#include "photo/photo.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <string>

#include "codec/jpeg_reader.h"
#include "photo/metadata.h"

namespace qarvel {
namespace {

struct Size {
  int width, height;
};

// The target in the displayed orientation of a width x height image.
// Heights that keep the aspect ratio are formed as qresize forms them.
Result<Size> target_size(int width, int height, const ThumbnailOptions& o) {
  if (o.width < 0 || o.height < 0 || (o.fit ? o.width == 0 && o.height == 0 : o.width == 0))
    return Error{Fault::kArgument, o.fit ? "the box needs a positive width or height"
                                         : "the width must be positive and the height not negative"};
  if (!o.fit && o.height > 0) return Size{o.width, o.height};
  // Fitted, the side that binds is met exactly and the other follows.
  const bool by_width =
      o.height == 0 || (o.width > 0 && int64_t{width} * o.height >= int64_t{height} * o.width);
  const int bound = by_width ? o.width : o.height;
  Result<int> other = by_width ? aspect_height(width, height, bound)
                               : aspect_height(height, width, bound);
  if (!other) return other.error();
  int follows = std::max(*other, 1);
  const int limit = by_width ? o.height : o.width;
  if (o.fit && limit > 0) follows = std::min(follows, limit);
  return by_width ? Size{bound, follows} : Size{follows, bound};
}

// The decode scale for a target of `stored` pixels in the stored
// orientation: the smallest of 1/8, 1/4 and 1/2 whose size is at least
// kHeadroom times the target on both axes, or exactly the target (the area
// step is then a copy), else full size; libjpeg-turbo has SIMD reduced
// inverse DCTs for these only. A progressive file takes 1/8 whenever it
// covers the target: leaving out the luma's AC scans makes it about a third
// of the work of 1/4. The numbers come from measurement
// (docs/decode-measurements.md): 1.5 times keeps the output 0.8 dB or more
// above Pillow's draft pipeline, for less time than 2 times; the fast IDCT
// and plain upsampling saved under 0.4 % of the instructions, so libjpeg's
// accurate ones stay.
int decode_eighths(const JpegReader& reader, Size stored) {
  constexpr double kHeadroom = 1.5;
  for (int eighths : {1, 2, 4}) {
    const int w = reader.scaled_width(eighths), h = reader.scaled_height(eighths);
    const double headroom = eighths == 1 && reader.info().progressive ? 1.0 : kHeadroom;
    if ((w >= headroom * stored.width && h >= headroom * stored.height) ||
        (w == stored.width && h == stored.height))
      return eighths;
  }
  return 8;
}

// Copies `src` turned as EXIF orientation `o` asks, into a new buffer.
Result<Image> orient(const Image& src, int o) {
  const bool transpose = o >= 5;
  Image dst;
  dst.width = transpose ? src.height : src.width;
  dst.height = transpose ? src.width : src.height;
  dst.pitch = dst.width * 3;
  dst.format = src.format;
  dst.pixels = PixelBuffer::allocate(size_t(dst.pitch) * dst.height, Storage::kPrivate);
  if (!dst.pixels) return Error{Fault::kAlloc, "out of memory turning the image upright"};
  // Displayed (x, y) reads stored (sx, sy); the step is the stored byte
  // distance between displayed neighbours on a row, the start that of x = 0.
  const int64_t w = src.width, h = src.height, pitch = src.pitch;
  int64_t x_step = 3, y_step = pitch, origin = 0;
  switch (o) {
    case 2: x_step = -3; origin = (w - 1) * 3; break;
    case 3: x_step = -3; y_step = -pitch; origin = (h - 1) * pitch + (w - 1) * 3; break;
    case 4: y_step = -pitch; origin = (h - 1) * pitch; break;
    case 5: x_step = pitch; y_step = 3; break;
    case 6: x_step = -pitch; y_step = 3; origin = (h - 1) * pitch; break;
    case 7: x_step = -pitch; y_step = -3; origin = (h - 1) * pitch + (w - 1) * 3; break;
    case 8: x_step = pitch; y_step = -3; origin = (w - 1) * 3; break;
    default: break;
  }
  const uint8_t* base = src.pixels.data();
  for (int y = 0; y < dst.height; ++y) {
    const uint8_t* s = base + origin + y * y_step;
    uint8_t* d = dst.pixels.data() + size_t(y) * dst.pitch;
    for (int x = 0; x < dst.width; ++x, s += x_step, d += 3) {
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
    }
  }
  return dst;
}

// The segments a thumbnail carries, in the order writers use: EXIF, the
// profile, XMP, then IPTC; segments of one kind keep their order.
std::vector<Segment> kept_segments(JpegMetadata& meta, const ThumbnailOptions& o, bool turned) {
  std::vector<Segment> out;
  if (o.strip) return out;
  if (o.keep_metadata && meta.exif_valid && prepare_exif(meta.exif, turned))
    out.push_back({0xE1, std::move(meta.exif)});
  for (Segment& s : icc_segments(meta.icc)) out.push_back(std::move(s));
  if (o.keep_metadata)
    for (uint8_t marker : {0xE1, 0xED})
      for (Segment& s : meta.xmp_iptc)
        if (s.marker == marker) out.push_back(std::move(s));
  return out;
}

// The pipeline; `owner`, when given, holds `jpeg` and is released once the
// pixels are decoded.
Result<Thumbnail> make_thumbnail(ByteView jpeg, const ThumbnailOptions& o, Blob* owner) {
  MetadataParts parts;
  parts.exif = o.rotate || (o.keep_metadata && !o.strip);
  parts.icc = !o.strip;
  parts.xmp_iptc = o.keep_metadata && !o.strip;
  JpegMetadata meta = read_metadata(jpeg, parts);
  const int orientation = o.rotate ? meta.orientation : 1;
  const bool transposed = orientation >= 5;

  Result<JpegReader> reader = JpegReader::open(jpeg);
  if (!reader) return reader.error();
  const JpegInfo& info = reader->info();
  const Size shown = transposed ? Size{info.height, info.width} : Size{info.width, info.height};
  Result<Size> target = target_size(shown.width, shown.height, o);
  if (!target) return target.error();
  const Size stored = transposed ? Size{target->height, target->width} : *target;
  const int64_t dst_step = int64_t{stored.width} * 3;
  if (dst_step * stored.height > INT_MAX)
    return Error{Fault::kTooLarge, "the resized image would take 2 GiB or more"};

  // Full size for `exact`, as qresize decodes. At 1/8 a progressive file's
  // luma AC scans change no output pixel and are left out.
  DecodeSettings settings;
  settings.eighths = o.exact ? 8 : decode_eighths(*reader, stored);
  settings.skip_unneeded_scans = true;
  Result<DecodedPhoto> decoded = reader->decode(settings);
  if (!decoded) return decoded.error();
  Image* src = &decoded->image;
  if (owner) owner->data.reset();

  Image dst;
  dst.width = stored.width;
  dst.height = stored.height;
  dst.pitch = static_cast<int>(dst_step);
  dst.format = TJPF_BGR;
  dst.pixels = PixelBuffer::allocate(size_t(dst_step) * stored.height, Storage::kPrivate);
  if (!dst.pixels) return Error{Fault::kAlloc, "out of memory for the resized image"};
  Status resampled = resample(src->pixels.data(), src->width, src->height, src->pitch,
                              dst.pixels.data(), dst.width, dst.height, dst.pitch);
  src->pixels.reset();
  if (!resampled) return resampled.error();
  if (orientation != 1) {
    Result<Image> upright = orient(dst, orientation);
    if (!upright) return upright.error();
    dst = std::move(*upright);
  }

  Thumbnail thumb;
  thumb.src_width = info.width;
  thumb.src_height = info.height;
  thumb.width = dst.width;
  thumb.height = dst.height;
  Result<Blob> encoded = encode(dst.view());
  if (!encoded) return encoded.error();
  dst.pixels.reset();
  const std::vector<Segment> segments = kept_segments(meta, o, orientation != 1);
  if (segments.empty()) {
    thumb.jpeg = std::move(*encoded);
  } else {
    Result<Blob> with_meta = insert_segments(encoded->view(), segments);
    if (!with_meta) return with_meta.error();
    thumb.jpeg = std::move(*with_meta);
  }
  thumb.warnings = std::move(meta.warnings);
  for (std::string& w : decoded->warnings) thumb.warnings.push_back(std::move(w));
  return thumb;
}

}  // namespace

Result<Thumbnail> thumbnail(ByteView jpeg, const ThumbnailOptions& options) noexcept {
  return make_thumbnail(jpeg, options, nullptr);
}

Result<Thumbnail> thumbnail_file(const char* src, const char* dst,
                                 const ThumbnailOptions& options) noexcept {
  if (!src || !dst) return Error{Fault::kArgument, "no file name"};
  Result<Blob> file = read_file(src);
  if (!file) return file.error();
  // Links and other names of the input share its device and inode.
  struct stat in, out;
  if (stat(src, &in) == 0 && stat(dst, &out) == 0 && in.st_dev == out.st_dev &&
      in.st_ino == out.st_ino)
    return Error{Fault::kArgument, std::string("refusing to overwrite the input ") + src};
  const ByteView bytes = file->view();
  Result<Thumbnail> thumb = make_thumbnail(bytes, options, &*file);
  if (!thumb) return thumb;
  if (Status s = replace_file(dst, thumb->jpeg.view()); !s) return s.error();
  thumb->jpeg = Blob{};
  return thumb;
}

}  // namespace qarvel
