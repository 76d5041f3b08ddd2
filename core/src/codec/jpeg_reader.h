// Internal: the photo pipeline's JPEG decoder, on libjpeg's own API, for the
// control TurboJPEG lacks: the inverse DCT and upsampling settings, block
// smoothing, a source's own channels (grey, CMYK), warnings returned with the
// pixels, and leaving out scans a reduced-size decode does not need. The
// exports keep TurboJPEG's decoder (core.h).
#ifndef QARVEL_JPEG_READER_H
#define QARVEL_JPEG_READER_H

#include <memory>
#include <string>
#include <vector>

#include "core.h"

namespace qarvel {

// The colour space the components are stored in.
enum class JpegColour { kGray, kYCbCr, kRGB, kCMYK, kYCCK, kOther };

struct JpegInfo {
  int width = 0;
  int height = 0;
  int components = 0;
  JpegColour colour = JpegColour::kOther;
  bool progressive = false;
  int adobe_transform = -1;    // the Adobe APP14 transform byte; -1 without the segment
  bool inverted_cmyk = false;  // four components under an Adobe APP14: 0 means full ink
};

struct DecodeSettings {
  int eighths = 8;  // decode at eighths/8 of the size, rounded up: 1, 2, 4 or 8
  // Three-channel output: TJPF_BGR or TJPF_RGB. A grey source is expanded.
  int format = TJPF_BGR;
  // A grey source decodes to one channel (TJPF_GRAY), a CMYK or YCCK source
  // to four (TJPF_CMYK, as stored); others to `format`.
  bool source_channels = false;
  bool fast_idct = false;        // libjpeg's fast integer IDCT; else the accurate one
  bool fancy_upsampling = true;  // triangle-filtered chroma; else pixel replication
  bool block_smoothing = true;   // progressive: estimate coefficients of scans not yet seen
  // At 1/8, leave out the AC scans of components whose reduced block is one
  // pixel, and turn block smoothing off: the pixels are those of the whole
  // file decoded at 1/8 (smoothing changes nothing once every scan is in).
  bool skip_unneeded_scans = false;
};

struct DecodedPhoto {
  Image image;  // in a private buffer
  bool inverted_cmyk = false;
  // libjpeg's warnings (corrupt entropy data, a file that ends early), one
  // line each; the parts it could not decode are as libjpeg fills them.
  std::vector<std::string> warnings;
};

// One JPEG held in memory, which must outlive the reader.
class JpegReader {
 public:
  // Reads the segments up to the first scan. Fails with kNoData, kHeader
  // (including a file that ends inside its headers) or kAlloc.
  static Result<JpegReader> open(ByteView jpeg) noexcept;

  const JpegInfo& info() const noexcept;
  // The decoded size at eighths/8.
  int scaled_width(int eighths) const noexcept;
  int scaled_height(int eighths) const noexcept;
  // Decodes the whole image; may be called again with other settings.
  // Fails with kArgument (settings), kTooLarge (2^31 bytes or more of
  // pixels), kAlloc, or kDecode with libjpeg's reason.
  Result<DecodedPhoto> decode(const DecodeSettings& settings) noexcept;

  JpegReader(JpegReader&&) noexcept;
  JpegReader& operator=(JpegReader&&) noexcept;
  ~JpegReader();

  struct State;

 private:
  explicit JpegReader(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> state_;
};

}  // namespace qarvel

#endif
