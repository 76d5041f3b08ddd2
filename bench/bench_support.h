// Helpers shared by the benchmarks: timing, medians, the processor's name,
// test images made at start-up from a bundled photograph, whole-file I/O and
// silencing of the library's progress lines.
#ifndef QARVEL_BENCH_SUPPORT_H
#define QARVEL_BENCH_SUPPORT_H

#include <turbojpeg.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace qarvel::bench {

struct Image {
  int width = 0;
  int height = 0;
  std::vector<unsigned char> bgr;  // rows of width * 3 bytes, no gap
};

inline double now_ms() {
  using namespace std::chrono;
  return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

inline double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

inline std::string cpu_model() {
  std::ifstream in("/proc/cpuinfo");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("model name", 0) == 0) {
      size_t colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

inline bool read_file(const std::string& path, std::vector<unsigned char>& out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  fseek(f, 0, SEEK_SET);
  out.resize(size > 0 ? size_t(size) : 0);
  bool ok = size > 0 && fread(out.data(), 1, out.size(), f) == out.size();
  fclose(f);
  return ok;
}

inline bool write_file(const std::string& path, const unsigned char* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

// A fresh directory under $TMPDIR (or /tmp); empty string on failure.
inline std::string make_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qarvel-bench-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

// Sends standard output to /dev/null until restored, so the library's
// progress lines neither cost terminal time nor clutter the report.
class StdoutSilencer {
 public:
  StdoutSilencer() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) {
      dup2(null_fd, STDOUT_FILENO);
      close(null_fd);
    }
  }
  ~StdoutSilencer() {
    fflush(stdout);
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
    }
  }
  StdoutSilencer(const StdoutSilencer&) = delete;
  StdoutSilencer& operator=(const StdoutSilencer&) = delete;

 private:
  int saved_ = -1;
};

inline bool decode_file(const std::string& path, Image& out) {
  std::vector<unsigned char> jpeg;
  if (!read_file(path, jpeg)) return false;
  tjhandle tj = tjInitDecompress();
  if (!tj) return false;
  int w = 0, h = 0, samp = 0, cs = 0;
  bool ok = tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), &w, &h, &samp, &cs) == 0;
  if (ok) {
    out.width = w;
    out.height = h;
    out.bgr.resize(size_t(w) * h * 3);
    ok = tjDecompress2(tj, jpeg.data(), jpeg.size(), out.bgr.data(), w, w * 3, h, TJPF_BGR,
                       0) == 0;
  }
  tjDestroy(tj);
  return ok;
}

inline bool encode_file(const Image& img, int subsamp, int quality, const std::string& path) {
  tjhandle tj = tjInitCompress();
  if (!tj) return false;
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  bool ok = tjCompress2(tj, img.bgr.data(), img.width, img.width * 3, img.height, TJPF_BGR,
                        &jpeg, &size, subsamp, quality, 0) == 0 &&
            write_file(path, jpeg, size);
  tjFree(jpeg);
  tjDestroy(tj);
  return ok;
}

// Mild sensor-like noise (+-2), fixed seed, so every run sees the same bytes.
inline void add_noise(Image& img) {
  uint32_t s = 12345u;
  for (unsigned char& p : img.bgr) {
    s = s * 1664525u + 1013904223u;
    int v = int(p) + int((s >> 24) % 5) - 2;
    p = (unsigned char)std::clamp(v, 0, 255);
  }
}

// Index i of a row or column of n pixels repeated as a mirror image beyond
// its ends, so tiles meet without seams.
inline int mirror(int i, int n) {
  int period = 2 * n;
  i %= period;
  if (i < 0) i += period;
  return i < n ? i : period - 1 - i;
}

// A camera-like JPEG of w x h (4:2:0, quality 90): `photo` at its own
// resolution, centred and mirror-tiled to cover the frame (so the detail stays
// real), with noise added.
inline bool make_photo_jpeg(const Image& photo, int w, int h, const std::string& path) {
  Image img;
  img.width = w;
  img.height = h;
  img.bgr.resize(size_t(w) * h * 3);
  int ox = (photo.width - w) / 2, oy = (photo.height - h) / 2;
  for (int y = 0; y < h; ++y) {
    const unsigned char* row = &photo.bgr[size_t(mirror(y + oy, photo.height)) * photo.width * 3];
    unsigned char* d = &img.bgr[size_t(y) * w * 3];
    for (int x = 0; x < w; ++x) memcpy(d + x * 3, row + mirror(x + ox, photo.width) * 3, 3);
  }
  add_noise(img);
  return encode_file(img, TJSAMP_420, 90, path);
}

}  // namespace qarvel::bench

#endif  // QARVEL_BENCH_SUPPORT_H
