// In-memory JPEG decoding and encoding through TurboJPEG.
#include <climits>
#include <cstdint>
#include <string>

#include "core.h"

namespace qarvel {
namespace {

std::string tj_message(tjhandle tj) { return tjGetErrorStr2(tj); }

std::string size_text(int64_t width, int64_t height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

bool is_scaling_factor(ScalingFactor scale) {
  if (scale.num == 1 && scale.denom == 1) return true;
  int count = 0;
  const tjscalingfactor* factors = tjGetScalingFactors(&count);
  for (int i = 0; factors && i < count; ++i)
    if (factors[i].num == scale.num && factors[i].denom == scale.denom) return true;
  return false;
}

}  // namespace

int scaled_size(int size, ScalingFactor scale) noexcept {
  return TJSCALED(size, (tjscalingfactor{scale.num, scale.denom}));
}

Result<Decoder> Decoder::create() noexcept {
  TjHandle tj(tjInitDecompress());
  if (!tj) return Error{Fault::kInit, "cannot create a JPEG decompressor: " + tj_message(nullptr)};
  return Decoder(std::move(tj));
}

Result<JpegHeader> Decoder::read_header(ByteView jpeg) noexcept {
  if (jpeg.empty()) return Error{Fault::kNoData, "no JPEG data"};
  JpegHeader h;
  if (tjDecompressHeader3(tj_.get(), jpeg.data(), jpeg.size(), &h.width, &h.height,
                          &h.subsampling, &h.colorspace) == -1)
    return Error{Fault::kHeader, "cannot read the JPEG header: " + tj_message(tj_.get())};
  // TurboJPEG reports success without a size for a stream with no frame.
  if (h.width <= 0 || h.height <= 0) return Error{Fault::kHeader, "the JPEG data holds no image"};
  return h;
}

Status Decoder::check(ByteView jpeg, int format, ScalingFactor scale) const noexcept {
  if (jpeg.empty()) return Error{Fault::kNoData, "no JPEG data"};
  if (!is_pixel_format(format))
    return Error{Fault::kArgument, "unknown pixel format " + std::to_string(format)};
  if (!is_scaling_factor(scale))
    return Error{Fault::kArgument, "unsupported scaling factor " + std::to_string(scale.num) +
                                       "/" + std::to_string(scale.denom)};
  return {};
}

Result<Image> Decoder::decode(ByteView jpeg, const JpegHeader& header, int format,
                              ScalingFactor scale, Storage storage) noexcept {
  if (Status s = check(jpeg, format, scale); !s) return s.error();
  Image image;
  image.width = scaled_size(header.width, scale);
  image.height = scaled_size(header.height, scale);
  image.format = format;
  image.pitch = image.width * tjPixelSize[format];
  // Sized in 64 bits: TurboJPEG's allocator and its pitch take an int.
  const int64_t bytes = int64_t{image.pitch} * image.height;
  if (bytes > INT_MAX)
    return Error{Fault::kTooLarge, "a " + size_text(image.width, image.height) +
                                       " image needs 2 GiB or more"};
  image.pixels = PixelBuffer::allocate(static_cast<size_t>(bytes), storage);
  if (!image.pixels)
    return Error{Fault::kAlloc, "out of memory for a " + size_text(image.width, image.height) +
                                    " image"};
  if (Status s = decode_into(jpeg, header, format, scale, image.pixels.data(), image.pitch); !s)
    return s.error();
  return image;
}

Status Decoder::decode_into(ByteView jpeg, const JpegHeader& header, int format,
                            ScalingFactor scale, uint8_t* pixels, int pitch) noexcept {
  if (Status s = check(jpeg, format, scale); !s) return s;
  // TurboJPEG picks the scaling factor from the size it is asked for.
  if (tjDecompress2(tj_.get(), jpeg.data(), jpeg.size(), pixels, scaled_size(header.width, scale),
                    pitch, scaled_size(header.height, scale), format, 0) == -1)
    return Error{Fault::kDecode, "cannot decode the JPEG data: " + tj_message(tj_.get())};
  return {};
}

Result<Image> decode(ByteView jpeg, int format, ScalingFactor scale) noexcept {
  Result<Decoder> decoder = Decoder::create();
  if (!decoder) return decoder.error();
  Result<JpegHeader> header = decoder->read_header(jpeg);
  if (!header) return header.error();
  return decoder->decode(jpeg, *header, format, scale, Storage::kPrivate);
}

namespace {

// A pitch below one row of pixels would make TurboJPEG read overlapping rows
// and run past the caller's buffer. Unknown formats go on to the compressor,
// which refuses them.
Status check_image(const ImageView& image) {
  int64_t min_pitch = image.width;
  if (is_pixel_format(image.format)) min_pitch = int64_t{image.width} * tjPixelSize[image.format];
  if (!image.pixels || image.width <= 0 || image.height <= 0 || image.pitch < min_pitch)
    return Error{Fault::kArgument, "no image to encode: null pixels, an empty size or a pitch "
                                   "shorter than a row"};
  return {};
}

// Into TurboJPEG's in-out pair under `flags`, baseline. A grey image makes a
// grey JPEG whatever the settings ask.
Status compress(const ImageView& image, const EncodeSettings& settings, unsigned char** jpeg,
                unsigned long* size, int flags) {
  TjHandle tj(tjInitCompress());
  if (!tj) return Error{Fault::kInit, "cannot create a JPEG compressor: " + tj_message(nullptr)};
  const int subsampling = image.format == TJPF_GRAY ? TJSAMP_GRAY : settings.subsampling;
  if (tjCompress2(tj.get(), image.pixels, image.width, image.pitch, image.height, image.format,
                  jpeg, size, subsampling, settings.quality, flags) == -1)
    return Error{Fault::kEncode, "cannot encode the image: " + tj_message(tj.get())};
  return {};
}

}  // namespace

Status encode(const ImageView& image, unsigned char** jpeg, unsigned long* size) noexcept {
  if (Status s = check_image(image); !s) return s;
  // Flags 0 let TurboJPEG allocate or grow *jpeg.
  return compress(image, {}, jpeg, size, 0);
}

Result<PrivateBlob> encode_private(const ImageView& image) noexcept {
  if (Status s = check_image(image); !s) return s.error();
  const unsigned long bound = tjBufSize(image.width, image.height, TJSAMP_422);
  if (bound == static_cast<unsigned long>(-1))
    return Error{Fault::kEncode, "cannot encode the image: " + tj_message(nullptr)};
  PrivateBlob blob{PixelBuffer::allocate(bound, Storage::kPrivate), 0};
  if (!blob.data) return Error{Fault::kAlloc, "out of memory for the encoded image"};
  unsigned char* jpeg = blob.data.data();
  unsigned long size = bound;
  // TJFLAG_NOREALLOC: the buffer holds tjBufSize bytes and stays ours.
  if (Status s = compress(image, {}, &jpeg, &size, TJFLAG_NOREALLOC); !s) return s.error();
  blob.size = size;
  return blob;
}

Result<Blob> encode_baseline(const ImageView& image, const EncodeSettings& settings) noexcept {
  if (Status s = check_image(image); !s) return s.error();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  Status s = compress(image, settings, &jpeg, &size, 0);
  Blob blob{TjBuffer(jpeg), size};
  if (!s) return s.error();
  return blob;
}

}  // namespace qarvel
