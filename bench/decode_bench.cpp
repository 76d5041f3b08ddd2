// What huge-page advice gives qdecode: a host decoding image after image,
// each buffer released with qFree before the next. For each image size,
// qdecode against a plain TurboJPEG decode into a malloc'd buffer (no
// advice) and into a buffer kept mapped (no page faults at all), and whether
// qdecode's buffer was advised (its mapping carries the "hg" flag).
#include <qarvel/qarvel.h>

#include "bench_support.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

using namespace qarvel::bench;

// True when the mapping that holds p carries MADV_HUGEPAGE ("hg").
bool advised(const void* p) {
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

bool tj_decode_into(const std::vector<unsigned char>& jpeg, unsigned char* dst, int w, int h) {
  tjhandle tj = tjInitDecompress();
  const bool ok = tj && tjDecompress2(tj, jpeg.data(), jpeg.size(), dst, w, w * 3, h, TJPF_BGR, 0) == 0;
  tjDestroy(tj);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 2 && std::string(argv[1]) == "--runs" ? atoi(argv[2]) : 15;
  Image photo;
  const std::string dir = make_temp_dir();
  if (dir.empty() || !decode_file(QARVEL_BENCH_PHOTO, photo)) {
    fprintf(stderr, "cannot prepare the inputs\n");
    return 1;
  }
  char date[64];
  const time_t now = time(nullptr);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&now));
  printf("CPU: %s\nDate: %s\nSingle thread; median ms of %d decodes, each buffer released before the next\n\n",
         cpu_model().c_str(), date, runs);
  printf("| image | pixels MB | qdecode | qdecode buffer advised | decode into malloc | decode into mapped pages |\n");
  printf("|---|---:|---:|---|---:|---:|\n");
  for (auto [w, h] : {std::pair{4000, 3000}, {3840, 2160}, {1920, 1080}, {1280, 960}}) {
    const std::string path = dir + "/in.jpg";
    std::vector<unsigned char> jpeg;
    if (!make_photo_jpeg(photo, w, h, path) || !read_file(path, jpeg)) return 1;
    const size_t bytes = size_t(w) * h * 3;
    std::vector<unsigned char> warm(bytes);
    bool was_advised = false;
    // Each candidate decodes into its buffer; the buffer is released after
    // the clock stops, so only the decode and its page faults are timed.
    unsigned char* held = nullptr;
    const std::vector<std::function<bool()>> decode = {
        [&] {
          int pw, ph, pitch;
          return qdecode(jpeg.data(), jpeg.size(), &held, &pw, &ph, &pitch, TJPF_BGR) == 0;
        },
        [&] {
          held = static_cast<unsigned char*>(malloc(bytes));
          return held && tj_decode_into(jpeg, held, w, h);
        },
        [&] { return tj_decode_into(jpeg, warm.data(), w, h); },
    };
    const std::vector<std::function<void()>> release = {
        [&] {
          was_advised = advised(held + bytes / 2);
          qFree(held);
        },
        [&] { free(held); },
        [] {},
    };
    std::vector<std::vector<double>> times(decode.size());
    for (int r = -1; r < runs; ++r)  // one warm-up round
      for (size_t c = 0; c < decode.size(); ++c) {
        const double t0 = now_ms();
        const bool ok = decode[c]();
        const double t1 = now_ms();
        release[c]();
        if (!ok) return 1;
        if (r >= 0) times[c].push_back(t1 - t0);
      }
    printf("| %dx%d | %.1f | %.1f | %s | %.1f | %.1f |\n", w, h, bytes / 1e6, median(times[0]),
           was_advised ? "yes" : "no", median(times[1]), median(times[2]));
  }
  std::filesystem::remove_all(dir);
  return 0;
}
