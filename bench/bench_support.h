// Helpers shared by the benchmarks, and the only place they read or write
// files or decode: the run count, timing in turn, medians, the processor's
// name and the date, test images made at start-up from a bundled photograph,
// whole-file I/O, JPEG decoding, what the process's mappings and status say,
// and silencing of the library's progress lines.
#ifndef QARVEL_BENCH_SUPPORT_H
#define QARVEL_BENCH_SUPPORT_H

#include <turbojpeg.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
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

struct Timing {
  double median, min, max;
};

inline Timing summarize(const std::vector<double>& v) {
  return {median(v), *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end())};
}

// "median min-max", in ms.
inline std::string range(const Timing& t) {
  char buf[48];
  snprintf(buf, sizeof buf, "%.2f %.2f-%.2f", t.median, t.min, t.max);
  return buf;
}

// Runs the candidates in turn, one warm-up round and then `runs` rounds, so
// that load from other processes on a shared machine falls on all of them
// alike; returns each candidate's times of the timed rounds. A candidate
// returns the milliseconds to count, or a negative value to have its whole
// call timed.
inline std::vector<std::vector<double>> time_rounds(
    const std::vector<std::function<double()>>& fns, int runs) {
  std::vector<std::vector<double>> t(fns.size());
  for (int r = -1; r < runs; ++r)
    for (size_t f = 0; f < fns.size(); ++f) {
      const double start = now_ms();
      const double own = fns[f]();
      if (r >= 0) t[f].push_back(own >= 0 ? own : now_ms() - start);
    }
  return t;
}

inline std::vector<Timing> time_in_turn(const std::vector<std::function<double()>>& fns, int runs) {
  std::vector<Timing> out;
  for (const auto& v : time_rounds(fns, runs)) out.push_back(summarize(v));
  return out;
}

// The run count from "--runs N" (default 15); -1 after printing the usage
// when the arguments say anything else.
inline int parse_runs(int argc, char** argv) {
  int runs = 15;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--runs") && i + 1 < argc && atoi(argv[i + 1]) > 0) {
      runs = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: %s [--runs N]   (N >= 1, default 15)\n", argv[0]);
      return -1;
    }
  }
  return runs;
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

// The report's heading lines: processor and date.
inline void print_machine() {
  char date[64];
  const time_t t = time(nullptr);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&t));
  printf("CPU: %s\nDate: %s\n", cpu_model().c_str(), date);
}

// The whole file in a malloc buffer, as a pipeline that owns its I/O reads
// it; null on failure. The caller frees it.
inline unsigned char* slurp(const std::string& path, unsigned long* size) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return nullptr;
  fseek(f, 0, SEEK_END);
  long n = ftell(f);
  fseek(f, 0, SEEK_SET);
  unsigned char* buf = n > 0 ? static_cast<unsigned char*>(malloc(size_t(n))) : nullptr;
  if (buf && fread(buf, 1, size_t(n), f) != size_t(n)) {
    free(buf);
    buf = nullptr;
  }
  fclose(f);
  *size = buf ? (unsigned long)n : 0;
  return buf;
}

inline bool read_file(const std::string& path, std::vector<unsigned char>& out) {
  unsigned long size = 0;
  unsigned char* buf = slurp(path, &size);
  if (!buf) return false;
  out.assign(buf, buf + size);
  free(buf);
  return true;
}

inline bool write_file(const std::string& path, const unsigned char* data, size_t size) {
  FILE* f = fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = fwrite(data, 1, size, f) == size;
  return fclose(f) == 0 && ok;
}

// The file's size in bytes; -1 when it cannot be had.
inline long file_bytes(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

// A fresh directory under $TMPDIR (or /tmp); empty string on failure.
inline std::string make_temp_dir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qarvel-bench-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  return mkdtemp(buf.data()) ? std::string(buf.data()) : std::string();
}

// True when the mapping that holds p carries MADV_HUGEPAGE ("hg").
inline bool advised(const void* p) {
  std::ifstream smaps("/proc/self/smaps");
  const auto a = reinterpret_cast<uintptr_t>(p);
  bool inside = false;
  for (std::string line; std::getline(smaps, line);) {
    unsigned long lo = 0, hi = 0;
    if (sscanf(line.c_str(), "%lx-%lx ", &lo, &hi) == 2) inside = lo <= a && a < hi;
    else if (inside && line.rfind("VmFlags:", 0) == 0) return line.find(" hg") != std::string::npos;
  }
  return false;
}

// A "VmRSS:"-style field of /proc/self/status, in kB; -1 if absent.
inline long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  size_t len = strlen(field);
  for (std::string line; std::getline(in, line);)
    if (line.compare(0, len, field) == 0) return atol(line.c_str() + len);
  return -1;
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

// Where decoded pixels go: a buffer of w x h x 3 bytes, or null.
using PixelAlloc = std::function<unsigned char*(int w, int h)>;

// Decodes a JPEG in memory as BGR into a buffer from `alloc`, which the
// caller owns whatever the result; *w and *h get the image's size.
inline bool decode_jpeg(const unsigned char* jpeg, unsigned long size, const PixelAlloc& alloc,
                        int* w, int* h) {
  tjhandle tj = tjInitDecompress();
  int samp = 0, cs = 0;
  bool ok = tj && tjDecompressHeader3(tj, jpeg, size, w, h, &samp, &cs) == 0;
  unsigned char* pixels = ok ? alloc(*w, *h) : nullptr;
  ok = pixels && tjDecompress2(tj, jpeg, size, pixels, *w, *w * 3, *h, TJPF_BGR, 0) == 0;
  if (tj) tjDestroy(tj);
  return ok;
}

// Reads and decodes `path`, as a pipeline that owns its I/O does.
inline bool decode_jpeg_file(const std::string& path, const PixelAlloc& alloc, int* w, int* h) {
  unsigned long size = 0;
  unsigned char* jpeg = slurp(path, &size);
  const bool ok = jpeg && decode_jpeg(jpeg, size, alloc, w, h);
  free(jpeg);
  return ok;
}

inline bool decode_file(const std::string& path, Image& out) {
  return decode_jpeg_file(
      path,
      [&out](int w, int h) {
        out.bgr.resize(size_t(w) * h * 3);
        return out.bgr.data();
      },
      &out.width, &out.height);
}

// The size a JPEG file's header gives.
inline bool jpeg_size(const std::string& path, int* w, int* h) {
  std::vector<unsigned char> jpeg;
  if (!read_file(path, jpeg)) return false;
  tjhandle tj = tjInitDecompress();
  int samp = 0, cs = 0;
  bool ok = tj && tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), w, h, &samp, &cs) == 0;
  if (tj) tjDestroy(tj);
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

// The photograph at its own resolution, centred and mirror-tiled to cover a
// w x h frame (so the detail stays real), with noise added.
inline Image tile_photo(const Image& photo, int w, int h) {
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
  return img;
}

// A camera-like JPEG of w x h (4:2:0, quality 90) of the tiled photograph.
inline bool make_photo_jpeg(const Image& photo, int w, int h, const std::string& path) {
  return encode_file(tile_photo(photo, w, h), TJSAMP_420, 90, path);
}

}  // namespace qarvel::bench

#endif  // QARVEL_BENCH_SUPPORT_H
