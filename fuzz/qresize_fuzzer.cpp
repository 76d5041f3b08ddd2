// The one-call file-to-file resize on arbitrary file contents and target
// sizes: the first eight bytes are the target width and height (signed,
// little-endian), the rest is the input file. Targets that would allocate
// more than a few megapixels are skipped, except those refused before any
// allocation because a size does not fit an int.
#include <qarvel/qarvel.h>

#include <climits>

#include "core.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int dst_width = qfuzz::take<int32_t>(data, size);
  const int dst_height = qfuzz::take<int32_t>(data, size);
  if (!qfuzz::small_enough(data, size)) return 0;
  if (dst_width > 0 && dst_height >= 0) {
    // The height qresize will use, if the source's header can be read.
    int64_t height = dst_height;
    if (height == 0) {
      tjhandle tj = tjInitDecompress();
      int w = 0, h = 0, ss = 0, cs = 0;
      const bool header = tjDecompressHeader3(tj, data, size, &w, &h, &ss, &cs) == 0 && w > 0;
      tjDestroy(tj);
      if (header) {
        qarvel::Result<int> aspect = qarvel::aspect_height(w, h, dst_width);
        height = aspect ? *aspect : 0;
      }
    }
    // In double: the product of two ints times 3 can pass 2^63.
    const double bytes = 3.0 * dst_width * static_cast<double>(height);
    if (bytes > 3.0 * qfuzz::kMaxPixels && bytes <= INT_MAX) return 0;
  }
  static const std::string in = qfuzz::scratch_path("qresize-in");
  static const std::string out = qfuzz::scratch_path("qresize-out");
  FILE* f = fopen(in.c_str(), "wb");
  if (!f) return 0;
  if (size) fwrite(data, 1, size, f);
  fclose(f);
  qresize(in.c_str(), dst_width, dst_height, out.c_str());
  return 0;
}
