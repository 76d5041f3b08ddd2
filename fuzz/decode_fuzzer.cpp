// Both decoders on arbitrary bytes. qdecode2 writes into a buffer of the size
// that pre_alloc_imread gives, as a host following the documentation would.
#include <qarvel/qarvel.h>

#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!qfuzz::small_enough(data, size)) return 0;
  static unsigned char* caller_buffer = pre_alloc_imread();
  volatile unsigned sink = 0;
  for (int fmt : {TJPF_RGB, TJPF_BGR}) {
    unsigned char* pixels = nullptr;
    int w = 0, h = 0, pitch = 0;
    if (qdecode(data, size, &pixels, &w, &h, &pitch, fmt) == 0) {
      sink = sink + qfuzz::touch(pixels, static_cast<size_t>(pitch) * h);
      qFree(pixels);
    }
    if (qdecode2(data, size, caller_buffer, &w, &h, &pitch, fmt) == 0)
      sink = sink + qfuzz::touch(caller_buffer, static_cast<size_t>(pitch) * h);
  }
  return 0;
}
