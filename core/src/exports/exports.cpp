// The exported functions and name tables: thin wrappers over the core that
// test the C arguments and print each failure's line on standard output.
// Where a caller adds its line after a callee's, the caller calls the
// exported callee (qimread calls qdecode, qimwrite qencode), so the chain of
// lines is the one a host sees from each. qresize reads into and encodes from
// private buffers instead, through the same steps and lines as qimread and
// qimwrite (read_source, write_result).
#include <sys/time.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>

#include "core.h"
#include "exports/elapsed.h"
#include "qarvel/qarvel.h"

using namespace qarvel;
using qarvel::detail::elapsed_ms;

const char* subsampName[6] = {"4:4:4", "4:2:2", "4:2:0", "Grayscale", "4:4:0", "4:1:1"};
const char* colorspaceName[5] = {"RGB", "YCbCr", "GRAY", "CMYK", "YCCK"};
const char* colorfmtName[2] = {"RGB", "BGR"};

namespace {

constexpr int kMaxDecode2Width = 7680;
constexpr int kMaxDecode2Height = 4320;
// Holds the largest image qdecode2 accepts at 4 bytes per pixel, the widest
// format the decoders deliver, so no accepted file can overrun it.
constexpr int kPreAllocBytes = kMaxDecode2Width * kMaxDecode2Height * 4;

// qdecode's line for a failure past its argument tests. A failed size check
// and a failed allocation share the allocator's line.
const char* qdecode_line(Fault fault) {
  switch (fault) {
    case Fault::kNoData: return "[qdecode] jpeg_size is 0!";
    case Fault::kInit: return "[qdecode] tjInitDecompress error!";
    case Fault::kHeader: return "[qdecode] tjDecompressHeader3 error!";
    case Fault::kDecode: return "[qdecode] tjDecompress2 error!";
    default: return "[qdecode] tjAlloc error!";
  }
}

// qencode's line for a failure; a buffer the encoder cannot have shares the
// compressor's line.
const char* qencode_line(Fault fault) {
  switch (fault) {
    // "inof": kept as is.
    case Fault::kArgument: return "[qencode] image_buffer inof error!";
    case Fault::kInit: return "[qencode] tjInitCompress error!";
    default: return "[qencode] tjCompress2 error!";
  }
}

// The lines of a failed file read. qimread2 shares them, "[qimread]" tag
// included (kept as is); a pipe's failed size query reports as the allocator.
void print_read_failure(const char* filename, Fault fault) {
  switch (fault) {
    case Fault::kOpen: printf("[qimread] cannot open file: %s!\n", filename); break;
    case Fault::kTooLarge: puts("[qimread] file is too large!"); break;
    case Fault::kRead: puts("[qimread] read file error!"); break;
    default: puts("[qimread] tjAlloc error!"); break;
  }
}

// Decoder, header and the caller's width and height; prints the line of a
// failure with `line`. A null width or height ends in the header failure.
template <class Line>
Result<JpegHeader> open_header(Result<Decoder>& decoder, ByteView jpeg, int* width, int* height,
                               Line line) {
  if (!decoder) {
    puts(line(Fault::kInit));
    return decoder.error();
  }
  Result<JpegHeader> header = width && height ? decoder->read_header(jpeg)
                                              : Result<JpegHeader>(Error{Fault::kHeader, ""});
  if (!header) {
    puts(line(Fault::kHeader));
    return header;
  }
  *width = header->width;
  *height = header->height;
  return header;
}

// Reads `filename` whole, printing qimread's line of a failed read.
Result<Blob> read_step(const char* filename) {
  Result<Blob> bytes = read_file(filename);
  if (!bytes) print_read_failure(filename, bytes.error().fault);
  return bytes;
}

// qimread's and qimread2's steps after their argument tests: the file, then
// `decoder` (the exported qdecode or qdecode2), then `trail` if it failed.
template <class Decoder>
int read_and_decode(const char* filename, const char* trail, Decoder decoder) {
  Result<Blob> bytes = read_step(filename);
  if (!bytes) return -1;
  if (decoder(bytes->data.get(), bytes->size) == -1) {
    puts(trail);
    return -1;
  }
  return 0;
}

// Writes JPEG bytes, printing qimwrite's line of a failed open or write.
int write_step(const char* filename, ByteView jpeg) {
  // Opened only now, so a failed encoding leaves an existing file untouched.
  Status written = write_file(filename, jpeg);
  if (written) return 0;
  printf(written.error().fault == Fault::kOpen ? "[qimwrite] %s open error!\n"
                                               : "[qimwrite] %s write error!\n",
         filename);
  return -1;
}

// qresize's source: qimread's steps and lines, into a private BGR image that
// can take huge pages.
Result<Image> read_source(const char* filename) {
  Result<Blob> bytes = read_step(filename);
  if (!bytes) return bytes.error();
  Result<Image> image = decode(bytes->view(), TJPF_BGR);
  if (!image) {
    puts(qdecode_line(image.error().fault));
    puts("[qimread] qdecode error!");
  }
  return image;
}

// qresize's destination, filled by ipp_resize, which prints the timing line;
// the source is released as soon as it is read. Prints qresize's lines of a
// failure.
Result<PixelBuffer> resize_source(Image src, int dst_width, int dst_height) {
  // Sizes are formed in 64 bits so that a wrapped int never reaches the
  // allocator; the row is checked first, so the product of two ints' worth
  // cannot overflow 64 bits either.
  const int64_t dst_step = int64_t{dst_width} * 3;
  if (dst_step > INT_MAX || dst_step * dst_height > INT_MAX) {
    puts("[qresize] destination image is too large!");
    return Error{Fault::kTooLarge, ""};
  }
  // At least one byte, so an empty image still gets a pointer and fails in the resampler.
  const int64_t dst_bytes = dst_step * dst_height;
  PixelBuffer dst = PixelBuffer::allocate(std::max<size_t>(dst_bytes, 1), Storage::kPrivate);
  if (!dst) {
    puts("[qresize] destination alloc error!");
    return Error{Fault::kAlloc, ""};
  }
  const int rc = ipp_resize(src.pixels.data(), src.width, src.height, src.pitch, dst.data(),
                            dst_width, dst_height, static_cast<int>(dst_step));
  // Freed before the encode, which halves the pixels held while it runs.
  src.pixels.reset();
  if (rc == -1) {
    puts("[qresize] ipp_resize error!");
    return Error{Fault::kResample, ""};
  }
  return dst;
}

// qresize's output: qimwrite's steps and lines, encoded into a private
// buffer; the pixels are released before the file is written.
int write_result(const char* filename, PixelBuffer pixels, int width, int height) {
  Result<PrivateBlob> jpeg = encode_private({pixels.data(), width, height, width * 3, TJPF_BGR});
  pixels.reset();
  if (!jpeg) {
    puts(qencode_line(jpeg.error().fault));
    puts("[qimwrite] encode error!");
    return -1;
  }
  return write_step(filename, jpeg->view());
}

}  // namespace

int qdecode(const unsigned char* jpeg_buffer, unsigned long jpeg_size,
            unsigned char** image_buffer, int* width, int* height, int* pitch, int clr_format) {
  if (!jpeg_buffer) { puts("[qdecode] jpeg_buffer is null!"); return -1; }
  if (jpeg_size == 0) { puts("[qdecode] jpeg_size is 0!"); return -1; }
  if (!image_buffer) { puts("[qdecode] image_buffer is null!"); return -1; }
  if (!pitch) { puts("[qdecode] pitch is null!"); return -1; }
  if (!is_pixel_format(clr_format)) { puts("[qdecode] clr_format not support!"); return -1; }

  const ByteView jpeg(jpeg_buffer, jpeg_size);
  Result<Decoder> decoder = Decoder::create();
  Result<JpegHeader> header = open_header(decoder, jpeg, width, height, qdecode_line);
  if (!header) return -1;
  *pitch = *width * tjPixelSize[clr_format];
  Result<Image> image = decoder->decode(jpeg, *header, clr_format, {}, Storage::kHost);
  if (!image) {
    *image_buffer = nullptr;
    puts(qdecode_line(image.error().fault));
    return -1;
  }
  *image_buffer = image->pixels.release();
  return 0;
}

int qdecode2(const unsigned char* jpeg_buffer, unsigned long jpeg_size,
             unsigned char* image_buffer, int* width, int* height, int* pitch, int clr_format) {
  // qdecode's tag on qdecode2's first line: kept as is.
  if (!jpeg_buffer) { puts("[qdecode] jpeg_buffer is null!"); return -1; }
  if (jpeg_size == 0) { puts("[qdecode2] jpeg_size is 0!"); return -1; }
  if (!pitch) { puts("[qdecode2] pitch is null!"); return -1; }
  if (!is_pixel_format(clr_format)) { puts("[qdecode2] clr_format not support!"); return -1; }

  const ByteView jpeg(jpeg_buffer, jpeg_size);
  auto line = [](Fault fault) {
    return fault == Fault::kInit ? "[qdecode2] tjInitDecompress error!"
                                 : "[qdecode2] tjDecompressHeader3 error!";
  };
  Result<Decoder> decoder = Decoder::create();
  Result<JpegHeader> header = open_header(decoder, jpeg, width, height, line);
  if (!header) return -1;
  *pitch = *width * tjPixelSize[clr_format];

  // The caller's buffer size is unknown; this cap is the only guard.
  if (*width > kMaxDecode2Width || *height > kMaxDecode2Height) {
    puts("[qdecode2] image dimension is too large!");
    return -1;
  }
  if (!decoder->decode_into(jpeg, *header, clr_format, {}, image_buffer, *pitch)) {
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
  Status s = encode({image_buffer, width, height, pitch, clr_format}, jpeg_buffer, jpeg_size);
  if (s) return 0;
  puts(qencode_line(s.error().fault));
  return -1;
}

int qimread(const char* filename, unsigned char** image_buffer, int* width, int* height,
            int* pitch, int clr_format) {
  if (clr_format != TJPF_RGB && clr_format != TJPF_BGR) {
    puts("[qimread] clr_format not support!");
    return -1;
  }
  if (!filename) { puts("[qimread] filename null"); return -1; }

  return read_and_decode(filename, "[qimread] qdecode error!", [&](auto* jpeg, size_t size) {
    return qdecode(jpeg, size, image_buffer, width, height, pitch, clr_format);
  });
}

int qimread2(const char* filename, unsigned char* image_buffer, int* width, int* height,
             int* pitch, int clr_format) {
  // qimread's tag on qimread2's argument lines: kept as is.
  if (clr_format != TJPF_RGB && clr_format != TJPF_BGR) {
    puts("[qimread] clr_format not support!");
    return -1;
  }
  if (!filename) { puts("[qimread] filename null"); return -1; }
  if (!image_buffer) { puts("[qimread2] image_buffer is null!"); return -1; }

  return read_and_decode(filename, "[qimread2] qdecode error!", [&](auto* jpeg, size_t size) {
    return qdecode2(jpeg, size, image_buffer, width, height, pitch, clr_format);
  });
}

int qimwrite(const char* filename, const unsigned char* image_buffer, int width, int height,
             int pitch, int clr_format) {
  if (!image_buffer || width <= 0 || height <= 0 || pitch < width) {
    puts("[qimwrite] image info error!");
    return -1;
  }
  if (!filename) { puts("[qimwrite] filename null"); return -1; }

  unsigned char* out = nullptr;
  unsigned long out_size = 0;
  const int rc = qencode(image_buffer, width, height, pitch, clr_format, &out, &out_size);
  // qencode leaves whatever TurboJPEG allocated in out, even on failure.
  const TjBuffer jpeg(out);
  if (rc == -1) {
    puts("[qimwrite] encode error!");
    return -1;
  }
  return write_step(filename, {jpeg.get(), out_size});
}

// Fails with -1 and prints nothing; on success prints one timing line.
int ipp_resize(unsigned char* src, int src_width, int src_height, int src_step,
               unsigned char* dst, int dst_width, int dst_height, int dst_step) {
  timeval start;
  gettimeofday(&start, nullptr);
  if (!resample(src, src_width, src_height, src_step, dst, dst_width, dst_height, dst_step))
    return -1;
  timeval end;
  gettimeofday(&end, nullptr);
  printf("ipp_resize time---------->%f ms\n", elapsed_ms(start, end));
  return 0;
}

int qresize(const char* infile_path_name, int dst_width, int dst_height,
            const char* outfile_path_name) {
  if (!infile_path_name || !outfile_path_name) {
    puts("infile_path_name or outfile_path_name is null");
    return -1;
  }
  if (dst_width <= 0 || dst_height < 0) {
    // No line break: kept as is.
    printf("dst_width(%d) <= 0 or dst_height(%d) < 0", dst_width, dst_height);
    return -1;
  }
  timeval start{};
  gettimeofday(&start, nullptr);

  Result<Image> src = read_source(infile_path_name);
  if (!src) {
    puts("[qresize] qimread error!");
    return -1;
  }
  const int src_width = src->width, src_height = src->height;
  if (dst_height == 0) {
    Result<int> height = aspect_height(src_width, src_height, dst_width);
    if (!height) {
      puts("[qresize] dst_width x source height is too large!");
      return -1;
    }
    dst_height = *height;
  }
  printf("begin resize (%dx%d)----->(%dx%d)...\n", src_width, src_height, dst_width, dst_height);
  Result<PixelBuffer> dst = resize_source(std::move(*src), dst_width, dst_height);
  if (!dst) return -1;
  printf("resize (%dx%d)----->(%dx%d)... done!\n", src_width, src_height, dst_width, dst_height);

  if (write_result(outfile_path_name, std::move(*dst), dst_width, dst_height) == -1) {
    puts("[qresize] qimwrite error!");
    return -1;
  }
  printf("%s write done!\n", outfile_path_name);

  timeval end{};
  gettimeofday(&end, nullptr);
  printf("total time---------->%f ms\n", elapsed_ms(start, end));
  return 0;
}
