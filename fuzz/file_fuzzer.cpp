// The file readers on arbitrary file contents.
#include <qarvel/qarvel.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!qfuzz::small_enough(data, size)) return 0;
  static const std::string path = qfuzz::scratch_path("read");
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return 0;
  if (size) fwrite(data, 1, size, f);
  fclose(f);

  static unsigned char* caller_buffer = pre_alloc_imread();
  volatile unsigned sink = 0;
  unsigned char* pixels = nullptr;
  int w = 0, h = 0, pitch = 0;
  if (qimread(path.c_str(), &pixels, &w, &h, &pitch, TJPF_BGR) == 0) {
    sink = sink + qfuzz::touch(pixels, static_cast<size_t>(pitch) * h);
    qFree(pixels);
  }
  if (qimread2(path.c_str(), caller_buffer, &w, &h, &pitch, TJPF_RGB) == 0)
    sink = sink + qfuzz::touch(caller_buffer, static_cast<size_t>(pitch) * h);
  return 0;
}
