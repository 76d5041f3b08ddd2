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
#include <string>

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

// A side of `size` pixels decoded at `scale`, rounded up as TurboJPEG does.
int scaled_size(int size, ScalingFactor scale) noexcept;

// How an image is encoded; the defaults are the exports' fixed settings.
struct EncodeSettings {
  int quality = 85;              // 1..100
  int subsampling = TJSAMP_422;  // TJSAMP_*; TJSAMP_GRAY keeps the luminance only
  bool progressive = false;      // the same pixels in scans of growing detail, fewer bytes
};

// Encodes at 4:2:2, quality 85 into TurboJPEG's in-out pair: a null *jpeg
// has a buffer allocated, a tjAlloc buffer of *size bytes is used or
// replaced by a larger one. Whatever *jpeg holds afterwards, also after a
// failure, is the caller's to release with tjFree. Formats outside TurboJPEG's
// list reach the compressor, which refuses them (kEncode).
Status encode(const ImageView& image, unsigned char** jpeg, unsigned long* size) noexcept;
// Encodes with `settings` into a new TurboJPEG buffer; a grey image
// (TJPF_GRAY) always makes a grey JPEG. A progressive JPEG is the baseline
// one transcoded by libjpeg, which the exports never link.
Result<Blob> encode(const ImageView& image, const EncodeSettings& settings = {}) noexcept;
// The same, baseline whatever `settings.progressive` says.
Result<Blob> encode_baseline(const ImageView& image, const EncodeSettings& settings) noexcept;
// A baseline JPEG's coefficients coded progressively (with optimised Huffman
// tables): the same decoded pixels in fewer bytes.
Result<Blob> to_progressive(ByteView baseline) noexcept;
// The same bytes, into a private buffer of the largest size TurboJPEG may
// need, which it then never grows: only the pages it writes fault in, and
// nothing is copied. A buffer that cannot be had is kAlloc.
Result<PrivateBlob> encode_private(const ImageView& image) noexcept;

// The whole file, in TurboJPEG's allocator (files of 2^31 bytes or more are
// refused with kTooLarge). The open never waits: a FIFO or a socket is
// refused with kSize ("PATH is not a regular file"), a directory with
// kTooLarge ("PATH is a directory"), the faults under which the exports have
// always reported them. A device is read as before, measured by seeking.
Result<Blob> read_file(const char* path) noexcept;
// The same for photos: anything but a regular file is refused before it is
// opened, a directory as above, any other kind with kSize.
Result<Blob> read_regular_file(const char* path) noexcept;
// Writes `bytes` to `path`. An existing regular file that the caller may
// write (through a symbolic link, the file it names) is replaced through a
// temporary file beside it and a rename, and keeps its permission bits,
// owner and group, so a failed write leaves it as it was; its other hard
// links keep the old contents. A new file, a target that is not a regular
// file (a device, a FIFO), or one beside which no temporary file can be
// made, owned or renamed, is created or truncated and written in place. A
// short write or a failed close is kWrite, a file that cannot be opened kOpen.
Status write_file(const char* path, ByteView bytes) noexcept;
// Writes `bytes` to a new temporary file in path's folder and renames it
// over `path`, so `path` is either as it was or wholly replaced: any failure
// (open, short write, close) leaves it untouched and removes the temporary
// file. A new file gets 0666 less the process's umask, a replaced regular
// file keeps its permission bits; a symbolic link at `path` is replaced
// itself. kOpen when no temporary can be made or renamed, kWrite when the
// write fails.
//
// Temporary names are ".NAME.qarvel-XXXXXX" beside NAME, NAME cut so that
// they stay within NAME_MAX. Each is locked (flock) while it is written.
Status replace_file(const char* path, ByteView bytes) noexcept;
// Has SIGINT, SIGTERM and SIGHUP remove the temporary files being written
// by this process before it ends by the signal's default action. Signals
// that are ignored or already handled are left alone. Call it once, early,
// in a program; the core installs nothing on its own.
void install_interrupt_cleanup() noexcept;
// Removes the temporary files that earlier runs left beside `path` (killed
// while writing it): those of this user that no live writer holds locked.
// Returns how many were removed; kOpen when the folder cannot be listed
// (a missing folder has none).
Result<int> remove_stale_temporaries(const char* path) noexcept;
// The same for many outputs at once, listing each of their folders once:
// for a batch, call it with every output before the run.
Result<int> remove_stale_temporaries(std::span<const std::string> paths) noexcept;

// Resamples a 3-channel, 8-bit interleaved image into dst: area averaging
// when neither side grows, linear interpolation otherwise. Sizes, steps and
// pointers are checked by the resize layer; its refusal is kResample.
Status resample(const uint8_t* src, int src_width, int src_height, int src_step, uint8_t* dst,
                int dst_width, int dst_height, int dst_step) noexcept;
// The same for `channels` interleaved 8-bit channels, 1 (greyscale) or 3;
// any other count is kArgument. Steps are in bytes.
Status resample(const uint8_t* src, int src_width, int src_height, int src_step, uint8_t* dst,
                int dst_width, int dst_height, int dst_step, int channels) noexcept;

// While one of these lives, freed blocks of up to 32 MiB stay on the heap.
// libjpeg's largest buffer (all coefficients of a progressive photo, tens of
// MiB) otherwise gets a fresh mapping for each photo, whose pages cost more
// to fault in than decoding a scaled image. With `always` false nothing
// changes unless the process was started with glibc's MALLOC_TRIM_THRESHOLD_
// or MALLOC_MMAP_THRESHOLD_ (Dask's workers are), which pin thresholds that
// glibc would otherwise raise by itself; the last holder restores them.
class HeapKept {
 public:
  explicit HeapKept(bool always) noexcept;
  ~HeapKept();
  HeapKept(const HeapKept&) = delete;
  HeapKept& operator=(const HeapKept&) = delete;

 private:
  bool active_;
};

// The height that keeps src_width x src_height's aspect ratio at dst_width,
// formed as qresize has always formed it: a 32-bit product, a
// single-precision quotient, widened, plus one half, truncated. kTooLarge
// when the product or the result does not fit an int.
Result<int> aspect_height(int src_width, int src_height, int dst_width) noexcept;

}  // namespace qarvel

#endif
