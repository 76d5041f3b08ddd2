// Internal: the core's API, which the exports, the command-line tool and the
// Python module all use. Calls keep no state between them, print nothing and
// throw nothing: each returns a Result or a Status whose Error says what
// failed. Pixel formats are TurboJPEG's (TJPF_*); rows are stored top first
// and `pitch`/`step` is the distance in bytes from one row to the next.
#ifndef QARVEL_CORE_H
#define QARVEL_CORE_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/resources.h"
#include "result.h"

namespace qarvel {

using ByteView = std::span<const uint8_t>;

// Bytes the core owns: a file's contents or an encoded JPEG.
struct Blob {
  TjBuffer data;
  size_t size = 0;
  ByteView view() const noexcept { return {data.get(), size}; }
};

// The same in a private buffer: one of 2 MiB or more is a mapping of its own
// in huge pages, so a large JPEG costs a few page faults rather than one per
// 4 KiB.
struct PrivateBlob {
  PixelBuffer data;
  size_t size = 0;
  ByteView view() const noexcept { return {data.data(), size}; }
};

// Pixels someone else owns; `format` is a TurboJPEG pixel format.
struct ImageView {
  const uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  int pitch = 0;
  int format = TJPF_RGB;
};

// A decoded image; pitch is width x bytes per pixel, rows packed.
struct Image {
  PixelBuffer pixels;
  int width = 0;
  int height = 0;
  int pitch = 0;
  int format = TJPF_RGB;
  ImageView view() const noexcept { return {pixels.data(), width, height, pitch, format}; }
};

struct JpegHeader {
  int width = 0;
  int height = 0;
  int subsampling = 0;  // TJSAMP_*
  int colorspace = 0;   // TJCS_*
};

// One of TurboJPEG's scaling factors (num/denom, see tjGetScalingFactors);
// 1/1 decodes at full size.
struct ScalingFactor {
  int num = 1;
  int denom = 1;
};

// True for a pixel format that TurboJPEG knows, which tjPixelSize covers.
constexpr bool is_pixel_format(int format) noexcept { return format >= 0 && format < TJ_NUMPF; }

// A TurboJPEG decompressor for one caller at a time, so that reading a header
// and decoding the image share one handle.
class Decoder {
 public:
  static Result<Decoder> create() noexcept;

  // The frame's size; fails (kHeader) when there is none.
  Result<JpegHeader> read_header(ByteView jpeg) noexcept;
  // Decodes into a new buffer of `storage`. Fails with kTooLarge when the
  // image would take 2^31 bytes or more, kAlloc, or kDecode (TurboJPEG's
  // warnings included).
  Result<Image> decode(ByteView jpeg, const JpegHeader& header, int format, ScalingFactor scale,
                       Storage storage) noexcept;
  // Decodes into the caller's buffer, which holds pitch x scaled height bytes.
  Status decode_into(ByteView jpeg, const JpegHeader& header, int format, ScalingFactor scale,
                     uint8_t* pixels, int pitch) noexcept;

 private:
  explicit Decoder(TjHandle tj) noexcept : tj_(std::move(tj)) {}
  Status check(ByteView jpeg, int format, ScalingFactor scale) const noexcept;
  TjHandle tj_;
};

// Header, buffer and pixels in one call, into a private buffer.
Result<Image> decode(ByteView jpeg, int format, ScalingFactor scale = {}) noexcept;

// The size of `header`'s image decoded at `scale`, rounded up as TurboJPEG does.
int scaled_size(int size, ScalingFactor scale) noexcept;

// Encodes at 4:2:2, quality 85 into TurboJPEG's in-out pair: a null *jpeg
// has a buffer allocated, a tjAlloc buffer of *size bytes is used or
// replaced by a larger one. Whatever *jpeg holds afterwards, also after a
// failure, is the caller's to release with tjFree. Formats outside TurboJPEG's
// list reach the compressor, which refuses them (kEncode).
Status encode(const ImageView& image, unsigned char** jpeg, unsigned long* size) noexcept;
Result<Blob> encode(const ImageView& image) noexcept;
// The same bytes, into a private buffer of the largest size TurboJPEG may
// need, which it then never grows: only the pages it writes fault in, and
// nothing is copied. A buffer that cannot be had is kAlloc.
Result<PrivateBlob> encode_private(const ImageView& image) noexcept;

// The whole file, in TurboJPEG's allocator (files of 2^31 bytes or more are
// refused).
Result<Blob> read_file(const char* path) noexcept;
// Creates or truncates `path` and writes `bytes`; a short write or a failed
// close is a failure (kWrite), a file that cannot be opened kOpen.
Status write_file(const char* path, ByteView bytes) noexcept;
// Writes `bytes` to a new temporary file in path's folder and renames it
// over `path`, so `path` is either as it was or wholly replaced: any failure
// (open, short write, close) leaves it untouched and removes the temporary
// file. A new file gets 0666 less the process's umask.
Status replace_file(const char* path, ByteView bytes) noexcept;

// Resamples a 3-channel, 8-bit interleaved image into dst: area averaging
// when neither side grows, linear interpolation otherwise. Sizes, steps and
// pointers are checked by the resize layer; its refusal is kResample.
Status resample(const uint8_t* src, int src_width, int src_height, int src_step, uint8_t* dst,
                int dst_width, int dst_height, int dst_step) noexcept;
// The same for `channels` interleaved 8-bit channels, 1 (greyscale) or 3;
// any other count is kArgument. Steps are in bytes.
Status resample(const uint8_t* src, int src_width, int src_height, int src_step, uint8_t* dst,
                int dst_width, int dst_height, int dst_step, int channels) noexcept;

// The height that keeps src_width x src_height's aspect ratio at dst_width,
// formed as qresize has always formed it: a 32-bit product, a
// single-precision quotient, widened, plus one half, truncated. kTooLarge
// when the product or the result does not fit an int.
Result<int> aspect_height(int src_width, int src_height, int dst_width) noexcept;

}  // namespace qarvel

#endif
