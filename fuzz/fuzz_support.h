// Shared by the fuzz targets: quiet standard output, bounded image sizes and
// a sink that reads every output byte so sanitizers see each one.
#ifndef QARVEL_FUZZ_SUPPORT_H
#define QARVEL_FUZZ_SUPPORT_H

#include <turbojpeg.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qfuzz {

// Keeps the fuzzer's own output readable; the library's lines are not under test here.
inline void silence_stdout() {
  if (!freopen("/dev/null", "w", stdout)) perror("freopen");
}

// Images beyond this many pixels are skipped so each input stays fast.
constexpr int64_t kMaxPixels = 1 << 20;

// True when the header names an image small enough to decode quickly, one
// so large that both decoders refuse it before allocating (2^31 bytes or more
// at 3 bytes per pixel), or when the header cannot be read at all: the
// failure paths are worth running too.
inline bool small_enough(const uint8_t* data, size_t size) {
  tjhandle tj = tjInitDecompress();
  int w = 0, h = 0, ss = 0, cs = 0;
  const bool unreadable = tjDecompressHeader3(tj, data, size, &w, &h, &ss, &cs) != 0;
  tjDestroy(tj);
  const int64_t pixels = int64_t{w} * h;
  return unreadable || pixels <= kMaxPixels || pixels * 3 >= (int64_t{1} << 31);
}

inline unsigned touch(const unsigned char* p, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += p[i];
  return sum;
}

// A per-process scratch path, so parallel fuzzing jobs do not collide.
inline std::string scratch_path(const char* tag) {
  return "/tmp/qarvel-fuzz-" + std::string(tag) + "-" + std::to_string(getpid()) + ".jpg";
}

// Reads a little-endian value from the front of the input, consuming it.
template <typename T>
T take(const uint8_t*& data, size_t& size) {
  T v = 0;
  for (size_t i = 0; i < sizeof(T) && size > 0; ++i, ++data, --size)
    v = static_cast<T>(v | static_cast<T>(static_cast<T>(*data) << (8 * i)));
  return v;
}

}  // namespace qfuzz

#endif
