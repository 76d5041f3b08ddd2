// The photo thumbnailer: metadata first, then a decode at a reduced size (a
// CMYK photo converted to sRGB), an area resample to the target, the colours
// to sRGB when asked, the EXIF orientation applied to the small result, the
// crop, the encode, and the kept segments written back.
#include "photo/photo.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <string>

#include "codec/jpeg_reader.h"
#include "photo/colour.h"
#include "photo/crop.h"
#include "photo/metadata.h"
#include "photo/orient.h"

namespace qarvel {

namespace {

// The size that covers the box (both sides set) with the aspect ratio kept:
// one side meets the box, the other overflows it.
Result<Size> cover_size(int width, int height, const ThumbnailOptions& o) {
  const bool by_width = int64_t{o.width} * height >= int64_t{o.height} * width;
  if (!o.enlarge && (by_width ? o.width >= width : o.height >= height)) return Size{width, height};
  Result<int> other = by_width ? aspect_height(width, height, o.width)
                               : aspect_height(height, width, o.height);
  if (!other) return other.error();
  return by_width ? Size{o.width, std::max(*other, 1)} : Size{std::max(*other, 1), o.height};
}

// `t` shrunk to fit the source when it is larger on either side: the source's
// own size when `t` keeps its aspect ratio, else `t` scaled down as a whole.
Size no_larger(Size t, int width, int height, bool stretched) {
  if (t.width <= width && t.height <= height) return t;
  if (!stretched) return {width, height};
  const double f = std::min(double(width) / t.width, double(height) / t.height);
  return {std::max(1, int(t.width * f + 0.5)), std::max(1, int(t.height * f + 0.5))};
}

}  // namespace

Result<Size> target_size(int width, int height, const ThumbnailOptions& o) noexcept {
  if (o.width < 0 || o.height < 0 || (o.fit ? o.width == 0 && o.height == 0 : o.width == 0))
    return Error{Fault::kArgument, o.fit ? "the box needs a positive width or height"
                                         : "the width must be positive and the height not negative"};
  if (o.crop != ThumbnailOptions::Crop::kNone) {
    if (o.width == 0 || o.height == 0)
      return Error{Fault::kArgument, "cropping needs a box with both sides"};
    return cover_size(width, height, o);
  }
  const bool stretched = !o.fit && o.height > 0;
  if (stretched) {
    const Size t = {o.width, o.height};
    return o.enlarge ? t : no_larger(t, width, height, true);
  }
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
  const Size t = by_width ? Size{bound, follows} : Size{follows, bound};
  return o.enlarge ? t : no_larger(t, width, height, false);
}

namespace {

// The decode scale for a target of `stored` pixels in the stored
// orientation: the smallest of 1/8, 1/4 and 1/2 whose size is at least
// kHeadroom times the target on both axes, or exactly the target (the area
// step is then a copy), else full size; libjpeg-turbo has SIMD reduced
// inverse DCTs for these only. A progressive file takes 1/8 whenever it
// covers the target: leaving out the luma's AC scans makes it about a third
// of the work of 1/4. The numbers come from measurement (decode_rule_bench
// and thumbnail_bench.py): 1.5 times keeps the output 0.8 dB or more above
// Pillow's draft pipeline, for less time than 2 times; the fast IDCT and
// plain upsampling saved under 0.4 % of the instructions, so libjpeg's
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

// The segments a thumbnail carries, in the order writers use: EXIF, the
// profile, XMP, then IPTC; segments of one kind keep their order.
// The profile goes only with pixels of its own kind, and never after a
// conversion to sRGB, whose pixels go untagged.
std::vector<Segment> kept_segments(JpegMetadata& meta, const ThumbnailOptions& o, bool turned,
                                   const Image& pixels) {
  std::vector<Segment> out;
  if (o.strip) return out;
  if (o.keep_metadata && meta.exif_valid && prepare_exif(meta.exif, turned, &meta.warnings))
    out.push_back({0xE1, std::move(meta.exif)});
  const ProfileSpace kind = pixels.format == TJPF_GRAY ? ProfileSpace::kGrey : ProfileSpace::kRgb;
  const ProfileSpace space = profile_space(meta.icc);
  if (!o.srgb && space == kind)
    for (Segment& s : icc_segments(meta.icc)) out.push_back(std::move(s));
  else if (!o.srgb && space != ProfileSpace::kNone && space != ProfileSpace::kCmyk)
    meta.warnings.push_back("the colour profile does not describe the thumbnail's pixels; dropped");
  if (o.keep_metadata)
    for (uint8_t marker : {0xE1, 0xED})
      for (Segment& s : meta.xmp_iptc)
        if (s.marker == marker) out.push_back(std::move(s));
  return out;
}

// The thumbnail's last steps on the resized image as stored: turned upright,
// cropped to the box, encoded, the kept segments written back.
Status finish(Image dst, JpegMetadata& meta, const ThumbnailOptions& o, int orientation,
              Thumbnail& thumb) {
  if (o.srgb)
    if (Status s = convert_to_srgb(dst, meta.icc, meta.warnings); !s) return s;
  if (orientation != 1) {
    Result<Image> upright = orient(dst, orientation);
    if (!upright) return upright.error();
    dst = std::move(*upright);
  }
  if (o.crop != ThumbnailOptions::Crop::kNone) {
    const Size box = {std::min(o.width, dst.width), std::min(o.height, dst.height)};
    Result<Image> cropped = crop(dst, box, crop_window(dst.view(), box, o.crop));
    if (!cropped) return cropped.error();
    dst = std::move(*cropped);
  }
  thumb.width = dst.width;
  thumb.height = dst.height;
  Result<Blob> encoded = encode(dst.view(), o.encode);
  if (!encoded) return encoded.error();
  const std::vector<Segment> segments = kept_segments(meta, o, orientation != 1, dst);
  dst.pixels.reset();
  if (segments.empty()) {
    thumb.jpeg = std::move(*encoded);
  } else {
    Result<Blob> with_meta = insert_segments(encoded->view(), segments);
    if (!with_meta) return with_meta.error();
    thumb.jpeg = std::move(*with_meta);
  }
  thumb.warnings = std::move(meta.warnings);
  return {};
}

// The decoded pixels, a CMYK photo's converted to sRGB in `format` through
// its profile (Little CMS; TurboJPEG cannot convert CMYK).
Result<Image> without_cmyk(DecodedPhoto& decoded, JpegMetadata& meta, int format) {
  if (decoded.image.format != TJPF_CMYK) return std::move(decoded.image);
  return cmyk_to_rgb(decoded.image.view(), decoded.inverted_cmyk, meta.icc, format,
                     Storage::kPrivate, meta.warnings);
}

// The source at the scale the rule picks (full size for `exact`, as qresize
// decodes), in BGR or, for a grey photo, one channel: a CMYK or YCCK photo is
// converted to sRGB through its profile. Warnings of damaged data fail it
// under `strict`.
Result<Image> decode_source(JpegReader& reader, Size stored, const ThumbnailOptions& o,
                            JpegMetadata& meta, std::vector<std::string>& damage) {
  DecodeSettings settings;
  settings.eighths = o.exact ? 8 : decode_eighths(reader, stored);
  // At 1/8 a progressive file's luma AC scans change no output pixel.
  settings.skip_unneeded_scans = true;
  // Grey stays one channel; CMYK comes as stored, for its profile.
  settings.source_channels = true;
  Result<DecodedPhoto> decoded = reader.decode(settings);
  if (!decoded) return decoded.error();
  if (o.strict && !decoded->warnings.empty())
    return Error{Fault::kDecode, "damaged JPEG data: " + decoded->warnings.front()};
  damage = std::move(decoded->warnings);
  return without_cmyk(*decoded, meta, TJPF_BGR);
}

// `src` area-averaged (or interpolated, when it grows) to `size`, in a new
// buffer; `src` is released.
Result<Image> resize_to(Image src, Size size) {
  const int bpp = tjPixelSize[src.format];
  const int64_t step = int64_t{size.width} * bpp;
  Image dst;
  dst.width = size.width;
  dst.height = size.height;
  dst.pitch = static_cast<int>(step);
  dst.format = src.format;
  dst.pixels = PixelBuffer::allocate(size_t(step) * size.height, Storage::kPrivate);
  if (!dst.pixels) return Error{Fault::kAlloc, "out of memory for the resized image"};
  Status resampled = resample(src.pixels.data(), src.width, src.height, src.pitch,
                              dst.pixels.data(), dst.width, dst.height, dst.pitch, bpp);
  if (!resampled) return resampled.error();
  return dst;
}

// The pipeline; `owner`, when given, holds `jpeg` and is released once the
// pixels are decoded.
Result<Thumbnail> make_thumbnail(ByteView jpeg, const ThumbnailOptions& o, Blob* owner) {
  MetadataParts parts;
  parts.exif = o.keep_metadata && !o.strip;
  parts.icc = true;  // a CMYK photo needs its profile even when none is kept
  parts.xmp_iptc = o.keep_metadata && !o.strip;
  parts.orientation = o.rotate;
  JpegMetadata meta = read_metadata(jpeg, parts);
  if (!meta.ends_early.empty()) return Error{Fault::kHeader, meta.ends_early};
  const int orientation = o.rotate ? meta.orientation : 1;
  const bool transposed = orientation >= 5;

  Result<JpegReader> reader = JpegReader::open(jpeg);
  if (!reader) return reader.error();
  const JpegInfo& info = reader->info();
  const Size shown = transposed ? Size{info.height, info.width} : Size{info.width, info.height};
  Result<Size> target = target_size(shown.width, shown.height, o);
  if (!target) return target.error();
  const Size stored = transposed ? Size{target->height, target->width} : *target;
  // The row first: two ints' worth of pixels times 3 would pass 64 bits.
  const int64_t step = int64_t{stored.width} * 3;
  if (step > INT_MAX || step * stored.height > INT_MAX)
    return Error{Fault::kTooLarge, "the resized image would take 2 GiB or more"};

  std::vector<std::string> damage;
  Result<Image> src = decode_source(*reader, stored, o, meta, damage);
  if (!src) return src.error();
  if (owner) owner->data.reset();
  Result<Image> dst = resize_to(std::move(*src), stored);
  if (!dst) return dst.error();
  Thumbnail thumb;
  thumb.src_width = shown.width;
  thumb.src_height = shown.height;
  if (Status s = finish(std::move(*dst), meta, o, orientation, thumb); !s) return s.error();
  for (std::string& w : damage) thumb.warnings.push_back(std::move(w));
  return thumb;
}

}  // namespace

Result<Image> decode_photo(ByteView jpeg, int format, bool rotate) noexcept {
  Result<JpegReader> reader = JpegReader::open(jpeg);
  const bool cmyk = reader && (reader->info().colour == JpegColour::kCMYK ||
                               reader->info().colour == JpegColour::kYCCK);
  MetadataParts parts;
  parts.orientation = rotate;
  parts.icc = cmyk;
  JpegMetadata meta = read_metadata(jpeg, parts);
  Result<Image> image = Error{Fault::kDecode, ""};
  if (cmyk) {
    // libjpeg keeps CMYK as stored. Damaged data fails, as it does in TurboJPEG.
    DecodeSettings settings;
    settings.source_channels = true;
    Result<DecodedPhoto> decoded = reader->decode(settings);
    if (decoded && !decoded->warnings.empty())
      return Error{Fault::kDecode, "cannot decode the JPEG data: " + decoded->warnings.front()};
    if (!decoded) return decoded.error();
    image = without_cmyk(*decoded, meta, format);
  } else {
    image = decode(jpeg, format);
  }
  if (!image || !rotate || meta.orientation == 1) return image;
  return orient(*image, meta.orientation);
}

Result<Thumbnail> thumbnail(ByteView jpeg, const ThumbnailOptions& options) noexcept {
  return make_thumbnail(jpeg, options, nullptr);
}

Result<Thumbnail> thumbnail_file(const char* src, const char* dst,
                                 const ThumbnailOptions& options) noexcept {
  if (!src) return Error{Fault::kArgument, "no file name"};
  Result<Blob> file = read_regular_file(src);
  if (!file) return file.error();
  // Links and other names of the input share its device and inode.
  struct stat in, out;
  if (dst && stat(src, &in) == 0 && stat(dst, &out) == 0 && in.st_dev == out.st_dev &&
      in.st_ino == out.st_ino)
    return Error{Fault::kArgument,
                 std::string(dst) + " is the same file as the input " + src + "; not written"};
  const ByteView bytes = file->view();
  Result<Thumbnail> thumb = make_thumbnail(bytes, options, &*file);
  if (!thumb || !dst) return thumb;
  if (Status s = replace_file(dst, thumb->jpeg.view()); !s) return s.error();
  thumb->jpeg = Blob{};
  return thumb;
}

}  // namespace qarvel
