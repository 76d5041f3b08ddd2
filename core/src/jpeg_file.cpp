// JPEG files: reading a whole file into pixels, writing pixels into a file.
#include <climits>
#include <cstdio>
#include <memory>

#include <turbojpeg.h>

#include "qarvel/qarvel.h"

namespace {

struct FileClose {
  void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

struct TjFree {
  void operator()(unsigned char* p) const { tjFree(p); }
};
using TjBuffer = std::unique_ptr<unsigned char, TjFree>;

// Reads the whole file into one tjAlloc buffer. Both readers share these
// lines, tagged "[qimread]". Returns null after printing the failure line.
TjBuffer read_whole_file(const char* filename, unsigned long* size) {
  File file(fopen(filename, "rb"));
  if (!file) {
    printf("[qimread] cannot open file: %s!\n", filename);
    return nullptr;
  }
  fseek(file.get(), 0, SEEK_END);
  long end = ftell(file.get());
  // A failed query (-1, as on a pipe) is a size no allocator can give.
  if (end < 0) {
    puts("[qimread] tjAlloc error!");
    return nullptr;
  }
  // tjAlloc takes an int; a directory's end position also lands here.
  if (end > INT_MAX) {
    puts("[qimread] file is too large!");
    return nullptr;
  }
  TjBuffer bytes(tjAlloc(static_cast<int>(end)));
  if (!bytes) {
    puts("[qimread] tjAlloc error!");
    return nullptr;
  }
  fseek(file.get(), 0, SEEK_SET);
  // A file that shrank since the size query would leave bytes unread.
  if (fread(bytes.get(), 1, static_cast<size_t>(end), file.get()) != static_cast<size_t>(end)) {
    puts("[qimread] read file error!");
    return nullptr;
  }
  *size = static_cast<unsigned long>(end);
  return bytes;
}

}  // namespace

int qimread(const char* filename, unsigned char** image_buffer, int* width, int* height,
            int* pitch, int clr_format) {
  if (clr_format != TJPF_RGB && clr_format != TJPF_BGR) {
    puts("[qimread] clr_format not support!");
    return -1;
  }
  if (!filename) { puts("[qimread] filename null"); return -1; }

  unsigned long size = 0;
  TjBuffer bytes = read_whole_file(filename, &size);
  if (!bytes) return -1;
  if (qdecode(bytes.get(), size, image_buffer, width, height, pitch, clr_format) == -1) {
    puts("[qimread] qdecode error!");
    return -1;
  }
  return 0;
}

int qimread2(const char* filename, unsigned char* image_buffer, int* width, int* height,
             int* pitch, int clr_format) {
  if (clr_format != TJPF_RGB && clr_format != TJPF_BGR) {
    puts("[qimread] clr_format not support!");
    return -1;
  }
  if (!filename) { puts("[qimread] filename null"); return -1; }
  if (!image_buffer) { puts("[qimread2] image_buffer is null!"); return -1; }

  unsigned long size = 0;
  TjBuffer bytes = read_whole_file(filename, &size);
  if (!bytes) return -1;
  if (qdecode2(bytes.get(), size, image_buffer, width, height, pitch, clr_format) == -1) {
    puts("[qimread2] qdecode error!");
    return -1;
  }
  return 0;
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
  int rc = qencode(image_buffer, width, height, pitch, clr_format, &out, &out_size);
  // qencode leaves whatever TurboJPEG allocated in out, even on failure.
  TjBuffer jpeg(out);
  if (rc == -1) {
    puts("[qimwrite] encode error!");
    return -1;
  }
  // Opened only now, so a failed encoding leaves an existing file untouched.
  FILE* file = fopen(filename, "wb");
  if (!file) {
    printf("[qimwrite] %s open error!\n", filename);
    return -1;
  }
  size_t written = fwrite(jpeg.get(), 1, out_size, file);
  // The close flushes the last buffered bytes, so it can fail too (a full disk).
  if (fclose(file) != 0 || written != out_size) {
    printf("[qimwrite] %s write error!\n", filename);
    return -1;
  }
  return 0;
}
