// In-memory JPEG decoding and encoding, the library's buffers and its name tables.
#include <climits>
#include <cstdint>
#include <cstdio>

#include <turbojpeg.h>

#include "qarvel/qarvel.h"
#include "huge_pages.h"
#include "tj_handle.h"

using qarvel::detail::is_tj_pixel_format;
using qarvel::detail::TjHandle;

const char* subsampName[6] = {"4:4:4", "4:2:2", "4:2:0", "Grayscale", "4:4:0", "4:1:1"};
const char* colorspaceName[5] = {"RGB", "YCbCr", "GRAY", "CMYK", "YCCK"};
const char* colorfmtName[2] = {"RGB", "BGR"};

namespace {

constexpr int kMaxDecode2Width = 7680;
constexpr int kMaxDecode2Height = 4320;
// Holds the largest image qdecode2 accepts at 4 bytes per pixel, the widest
// format the decoders deliver, so no accepted file can overrun it.
constexpr int kPreAllocBytes = kMaxDecode2Width * kMaxDecode2Height * 4;

// Reads the header into the caller's width and height. TurboJPEG reports
// success without writing the size for a stream that has no frame header, so
// the size is read into zeroed locals and a non-positive one is a failure.
bool read_header(tjhandle tj, const unsigned char* jpeg_buffer, unsigned long jpeg_size,
                 int* width, int* height) {
  int w = 0, h = 0, subsamp = 0, colorspace = 0;
  if (!width || !height ||
      tjDecompressHeader3(tj, jpeg_buffer, jpeg_size, &w, &h, &subsamp, &colorspace) == -1)
    return false;
  *width = w;
  *height = h;
  return w > 0 && h > 0;
}

}  // namespace

int qdecode(const unsigned char* jpeg_buffer, unsigned long jpeg_size,
            unsigned char** image_buffer, int* width, int* height, int* pitch, int clr_format) {
  if (!jpeg_buffer) { puts("[qdecode] jpeg_buffer is null!"); return -1; }
  if (jpeg_size == 0) { puts("[qdecode] jpeg_size is 0!"); return -1; }
  if (!image_buffer) { puts("[qdecode] image_buffer is null!"); return -1; }
  if (!pitch) { puts("[qdecode] pitch is null!"); return -1; }
  if (!is_tj_pixel_format(clr_format)) { puts("[qdecode] clr_format not support!"); return -1; }

  TjHandle tj(tjInitDecompress());
  if (!tj) { puts("[qdecode] tjInitDecompress error!"); return -1; }
  if (!read_header(tj.get(), jpeg_buffer, jpeg_size, width, height)) {
    puts("[qdecode] tjDecompressHeader3 error!");
    return -1;
  }
  *pitch = *width * tjPixelSize[clr_format];

  // tjAlloc takes an int, so size the buffer in 64 bits first.
  int64_t bytes = int64_t{*pitch} * *height;
  *image_buffer = bytes <= INT_MAX ? tjAlloc(static_cast<int>(bytes)) : nullptr;
  if (!*image_buffer) { puts("[qdecode] tjAlloc error!"); return -1; }
  qarvel::detail::advise_huge_pages(*image_buffer, static_cast<size_t>(bytes));

  if (tjDecompress2(tj.get(), jpeg_buffer, jpeg_size, *image_buffer, *width, *pitch, *height,
                    clr_format, 0) == -1) {
    puts("[qdecode] tjDecompress2 error!");
    tjFree(*image_buffer);
    *image_buffer = nullptr;
    return -1;
  }
  return 0;
}

int qdecode2(const unsigned char* jpeg_buffer, unsigned long jpeg_size,
             unsigned char* image_buffer, int* width, int* height, int* pitch, int clr_format) {
  if (!jpeg_buffer) { puts("[qdecode] jpeg_buffer is null!"); return -1; }
  if (jpeg_size == 0) { puts("[qdecode2] jpeg_size is 0!"); return -1; }
  if (!pitch) { puts("[qdecode2] pitch is null!"); return -1; }
  if (!is_tj_pixel_format(clr_format)) { puts("[qdecode2] clr_format not support!"); return -1; }

  TjHandle tj(tjInitDecompress());
  if (!tj) { puts("[qdecode2] tjInitDecompress error!"); return -1; }
  if (!read_header(tj.get(), jpeg_buffer, jpeg_size, width, height)) {
    puts("[qdecode2] tjDecompressHeader3 error!");
    return -1;
  }
  *pitch = *width * tjPixelSize[clr_format];

  // The caller's buffer size is unknown; this cap is the only guard.
  if (*width > kMaxDecode2Width || *height > kMaxDecode2Height) {
    puts("[qdecode2] image dimension is too large!");
    return -1;
  }
  if (tjDecompress2(tj.get(), jpeg_buffer, jpeg_size, image_buffer, *width, *pitch, *height,
                    clr_format, 0) == -1) {
    puts("[qdecode2] tjDecompress2 error!");
    return -1;
  }
  return 0;
}

unsigned char* pre_alloc_imread(void) { return tjAlloc(kPreAllocBytes); }

int qFree(unsigned char* buffer) {
  if (buffer) tjFree(buffer);
  return 0;
}

int qencode(const unsigned char* image_buffer, int width, int height, int pitch, int clr_format,
            unsigned char** jpeg_buffer, unsigned long* jpeg_size) {
  // A pitch below one row of pixels would make TurboJPEG read overlapping
  // rows and run past the caller's buffer. Unknown formats go on to
  // tjCompress2, which refuses them.
  int64_t min_pitch = width;
  if (is_tj_pixel_format(clr_format)) min_pitch = int64_t{width} * tjPixelSize[clr_format];
  if (!image_buffer || width <= 0 || height <= 0 || pitch < min_pitch) {
    puts("[qencode] image_buffer inof error!");
    return -1;
  }
  TjHandle tj(tjInitCompress());
  if (!tj) { puts("[qencode] tjInitCompress error!"); return -1; }
  // Flags 0 let TurboJPEG allocate or grow *jpeg_buffer; it stays the caller's.
  if (tjCompress2(tj.get(), image_buffer, width, pitch, height, clr_format, jpeg_buffer,
                  jpeg_size, TJSAMP_422, 85, 0) == -1) {
    puts("[qencode] tjCompress2 error!");
    return -1;
  }
  return 0;
}
