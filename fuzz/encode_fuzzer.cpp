// The encoder and the file writer on fuzzer-chosen sizes, pitches and pixel
// formats, over a buffer that really holds pitch x height bytes.
#include <qarvel/qarvel.h>

#include <vector>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Signed values, so zero and negative sizes and pitches are tried too.
  int width = qfuzz::take<int16_t>(data, size) % 1024;
  int height = qfuzz::take<int16_t>(data, size) % 1024;
  int pitch_extra = qfuzz::take<int16_t>(data, size) % 64;
  int fmt = qfuzz::take<int8_t>(data, size) % 16;
  int pitch = width * 3 + pitch_extra;
  if (int64_t{width} * height > qfuzz::kMaxPixels) return 0;

  // The buffer holds what the arguments describe, filled from the input.
  size_t bytes = pitch > 0 && height > 0 ? static_cast<size_t>(pitch) * height : 1;
  std::vector<unsigned char> pixels(bytes);
  for (size_t i = 0; i < bytes && size > 0; ++i) pixels[i] = data[i % size];

  volatile unsigned sink = 0;
  unsigned char* jpeg = nullptr;
  unsigned long jpeg_size = 0;
  if (qencode(pixels.data(), width, height, pitch, fmt, &jpeg, &jpeg_size) == 0)
    sink = sink + qfuzz::touch(jpeg, jpeg_size);
  qFree(jpeg);

  static const std::string path = qfuzz::scratch_path("write");
  qimwrite(path.c_str(), pixels.data(), width, height, pitch, fmt);
  return 0;
}
