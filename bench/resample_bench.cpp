// Resampling speed: ipp_resize against OpenCV's cv::resize on the same
// buffers, single-threaded, in one process, beside this machine's memory
// bandwidth. ipp_resize is timed into a destination already mapped and into
// a fresh one allocated as qresize allocates it. Then one-channel resizes of
// a photograph against three-channel ones of the same size. Prints medians
// and ranges, the kernel tier in use and the processor model.
//
//   resample_bench [--runs N]

#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "codec/resources.h"
#include "core.h"
#include "qarvel/qarvel.h"
#include "resample/dispatch.h"
#include "resample/plan.h"

#ifdef QARVEL_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

using qarvel::ResizePlan;
using qarvel::detail::all_kernels;
using qarvel::detail::best_kernels;
using qarvel::detail::Kernels;
using qarvel::detail::scalar_kernels;

namespace {

using namespace qarvel::bench;
using Bytes = std::vector<unsigned char>;

struct Workload {
  const char* name;
  int sw, sh, dw, dh;
  const char* aim;
  bool linear() const { return sw < dw || sh < dh; }
};

const Workload kLoads[] = {
    {"shrink 3.125x", 4000, 3000, 1280, 960, "<= 2.5 ms"},
    {"shrink 2.5x", 4000, 3000, 1600, 1200, "-"},
    {"shrink 2x", 4000, 3000, 2000, 1500, "<= 2.0 ms"},
    {"near 1x", 4000, 3000, 3999, 2999, "<= 10 ms"},
    {"same size", 4000, 3000, 4000, 3000, "~ memcpy"},
    {"enlarge 2x", 1920, 1080, 3840, 2160, "<= 2.5 ms"},
    {"mixed", 4000, 3000, 1600, 3600, "<= 6 ms"},
    {"mixed 2:1", 4000, 3000, 2000, 3600, "-"},
};

// The plan made and run with an explicit kernel table, as ipp_resize makes
// and runs it.
void resize_with(const Kernels& k, const unsigned char* src, int sw, int sh, unsigned char* dst,
                 int dw, int dh, int channels) {
  qarvel::Result<ResizePlan> plan = ResizePlan::create(sw, sh, dw, dh, channels);
  if (plan) plan->run_with(k, src, sw * channels, dst, dw * channels);
}

// A plain read: the bytes summed eight at a time (the compiler vectorises
// it); the sum keeps the loop from being optimised away.
uint64_t read_all(const unsigned char* p, size_t n) {
  uint64_t s = 0;
  for (size_t i = 0; i + 8 <= n; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, sizeof v);
    s += v;
  }
  return s;
}

// A call timed whole.
std::function<double()> whole(std::function<void()> fn) {
  return [fn] {
    fn();
    return -1.0;
  };
}

// The memory's limit: a plain read and a plain copy of a 12-MP image.
void print_memory(int runs) {
  const size_t bytes = size_t{4000} * 3000 * 3;
  Bytes a(bytes, 1), b(bytes, 2);
  volatile uint64_t sink = 0;
  const std::vector<Timing> t =
      time_in_turn({whole([&] { sink = sink + read_all(a.data(), bytes); }),
                    whole([&] { std::memcpy(b.data(), a.data(), bytes); })},
                   runs);
  printf(
      "memory, 36 MB (4000x3000x3) in pages already mapped:\n"
      "  plain read  %s ms, %.1f GB/s at the median\n"
      "  plain copy  %s ms, %.1f GB/s copied at the median\n\n",
      range(t[0]).c_str(), bytes / t[0].median / 1e6, range(t[1]).c_str(),
      bytes / t[1].median / 1e6);
}

// Smooth content with noise; speed does not depend on it.
Bytes synthetic(int w, int h, std::mt19937& rng) {
  Bytes src(size_t(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w * 3; ++x)
      src[size_t(y) * w * 3 + x] = static_cast<unsigned char>((x / 3 + y + (rng() & 15)) & 255);
  return src;
}

// ipp_resize into mapped and fresh pages, memcpy and OpenCV, in turn.
std::vector<Timing> time_against_peers(const Workload& w, const Bytes& src, Bytes& dst, int runs) {
  const size_t dst_bytes = dst.size();
  auto resize_into = [&](unsigned char* out) {
    ipp_resize(const_cast<unsigned char*>(src.data()), w.sw, w.sh, w.sw * 3, out, w.dw, w.dh,
               w.dw * 3);
  };
  std::vector<std::function<double()>> fns = {
      whole([&] { resize_into(dst.data()); }),
      // A fresh destination as qresize allocates it: its own 2 MiB-aligned
      // mapping advised for huge pages, faulted in during the call.
      [&] {
        qarvel::PixelBuffer fresh =
            qarvel::PixelBuffer::allocate(dst_bytes, qarvel::Storage::kPrivate);
        const double start = now_ms();
        resize_into(fresh.data());
        return now_ms() - start;
      },
      whole([&] { std::memcpy(dst.data(), src.data(), std::min(src.size(), dst.size())); }),
  };
#ifdef QARVEL_BENCH_OPENCV
  cv::Mat in(w.sh, w.sw, CV_8UC3, const_cast<unsigned char*>(src.data()));
  cv::Mat out(w.dh, w.dw, CV_8UC3, dst.data());
  const int method = w.linear() ? cv::INTER_LINEAR : cv::INTER_AREA;
  fns.push_back(whole([&] { cv::resize(in, out, cv::Size(w.dw, w.dh), 0, 0, method); }));
#endif
  StdoutSilencer quiet;  // ipp_resize's timing lines
  return time_in_turn(fns, runs);
}

// Each tier's median through the plan; scalar is slow, so fewer runs.
std::vector<double> time_tiers(const Workload& w, const Bytes& src, Bytes& dst, int channels,
                               int runs) {
  std::vector<double> ms;
  for (const Kernels* k : all_kernels())
    ms.push_back(time_in_turn({whole([&] {
                                resize_with(*k, src.data(), w.sw, w.sh, dst.data(), w.dw, w.dh,
                                            channels);
                              })},
                              k == &scalar_kernels() ? 3 : runs)[0]
                     .median);
  return ms;
}

// The same resize with its source rows, then also its destination rows,
// all the same row, so that they come from and go to the cache: what is
// left is the arithmetic. One line of the "where the time goes" table.
std::string time_parts(const Workload& w, const Bytes& src, Bytes& dst, int runs) {
  const ResizePlan plan = std::move(*ResizePlan::create(w.sw, w.sh, w.dw, w.dh, 3));
  const Kernels& k = best_kernels();
  volatile uint64_t sink = 0;
  const std::vector<Timing> p =
      time_in_turn({whole([&] { plan.run_with(k, src.data(), w.sw * 3, dst.data(), w.dw * 3); }),
                    whole([&] { plan.run_with(k, src.data(), 0, dst.data(), w.dw * 3); }),
                    whole([&] { plan.run_with(k, src.data(), 0, dst.data(), 0); }),
                    whole([&] { sink = sink + read_all(src.data(), src.size()); })},
                   runs);
  char line[160];
  snprintf(line, sizeof line, "%-14s %10.2f %18.2f %18.2f %18.2f", w.name, p[0].median,
           p[1].median, p[2].median, p[3].median);
  return line;
}

// The main table, one row per workload, and the lines of the second.
void print_three_channels(int runs, std::vector<std::string>& parts) {
  printf("%-14s %-22s %19s %19s %10s %8s %8s", "case", "size", "mapped ms", "fresh ms", "OpenCV ms",
         "ratio", "memcpy");
  for (const Kernels* k : all_kernels()) printf(" %10s", k->name);
  printf("  aim\n");
  std::mt19937 rng(1);
  for (const Workload& w : kLoads) {
    const Bytes src = synthetic(w.sw, w.sh, rng);
    Bytes dst(size_t(w.dw) * w.dh * 3);
    const std::vector<Timing> t = time_against_peers(w, src, dst, runs);
    const std::vector<double> tiers = time_tiers(w, src, dst, 3, runs);
    parts.push_back(time_parts(w, src, dst, runs));
    char peer[32] = "-", ratio[32] = "-";
    if (t.size() > 3) {
      snprintf(peer, sizeof peer, "%.2f %s", t[3].median, w.linear() ? "LIN" : "AREA");
      snprintf(ratio, sizeof ratio, "%.2fx", t[3].median / t[0].median);
    }
    char size[40];
    snprintf(size, sizeof size, "%dx%d->%dx%d", w.sw, w.sh, w.dw, w.dh);
    printf("%-14s %-22s %19s %19s %10s %8s %8.2f", w.name, size, range(t[0]).c_str(),
           range(t[1]).c_str(), peer, ratio, t[2].median);
    for (double ms : tiers) printf(" %10.2f", ms);
    printf("  %s\n", w.aim);
  }
  printf(
      "\nmapped = ipp_resize into a destination whose pages are already mapped; fresh =\n"
      "into a new 2 MiB-aligned mapping advised for huge pages, as qresize's destination,\n"
      "timed from the call (the pages fault in during it) without the mapping's creation\n"
      "and release. ratio = OpenCV time / mapped time (above 1: qarvel faster). memcpy\n"
      "copies the smaller of the two images, a lower bound for the same-size case. The\n"
      "tier columns (medians) force one kernel table through the same plan.\n");
}

void print_parts(const std::vector<std::string>& parts) {
  printf(
      "\nWhere the time goes, %s tier, spec and work buffer made once (medians, ms): the\n"
      "resize; the same with every source row the same one (read from the cache); also\n"
      "every output row the same one (written to the cache); a plain read of the source.\n\n",
      best_kernels().name);
  printf("%-14s %10s %18s %18s %18s\n", "case", "resize", "source cached", "both cached",
         "read source");
  for (const std::string& line : parts) printf("%s\n", line.c_str());
}

// Channel 1 (green) of a BGR image, as a greyscale image.
Bytes green(const Image& img) {
  Bytes g(size_t(img.width) * img.height);
  for (size_t i = 0; i < g.size(); ++i) g[i] = img.bgr[3 * i + 1];
  return g;
}

// True when every pixel of `grey` equals channel 1 of `bgr`.
bool equals_green(const Bytes& grey, const Bytes& bgr) {
  for (size_t i = 0; i < grey.size(); ++i)
    if (grey[i] != bgr[3 * i + 1]) return false;
  return true;
}

// One-channel resizes of the photograph's green channel against
// three-channel resizes of the photograph, the whole core call each, in
// turn; then each tier's one-channel time over its three-channel time. The
// quality figure: the one-channel result is the three-channel result's
// green channel, byte for byte, in every tier.
void print_one_channel(const Image& photo, int runs) {
  printf("\nOne channel against three, the photograph tiled to the source size, %s tier\n"
         "(median and range, ms; ratio = one / three, below 1: one channel faster; same =\n"
         "the one-channel result equals the green channel of the three-channel one; the\n"
         "tier columns give each tier's one / three, its two resizes timed in turn through\n"
         "the plan):\n\n",
         best_kernels().name);
  printf("%-14s %19s %19s %7s %5s", "case", "3 channels", "1 channel", "ratio", "same");
  for (const Kernels* k : all_kernels()) printf(" %10s", k->name);
  printf("\n");
  for (const Workload& w : kLoads) {
    const Image tiled = tile_photo(photo, w.sw, w.sh);
    const Bytes grey = green(tiled);
    Bytes out3(size_t(w.dw) * w.dh * 3), out1(size_t(w.dw) * w.dh);
    const std::vector<Timing> t = time_in_turn(
        {whole([&] {
           (void)qarvel::resample(tiled.bgr.data(), w.sw, w.sh, w.sw * 3, out3.data(), w.dw, w.dh,
                                  w.dw * 3, 3);
         }),
         whole([&] {
           (void)qarvel::resample(grey.data(), w.sw, w.sh, w.sw, out1.data(), w.dw, w.dh, w.dw, 1);
         })},
        runs);
    const bool same = equals_green(out1, out3);
    printf("%-14s %19s %19s %7.2f %5s", w.name, range(t[0]).c_str(), range(t[1]).c_str(),
           t[1].median / t[0].median, same ? "yes" : "NO");
    // Each tier's two resizes in turn; scalar is slow, so fewer runs.
    for (const Kernels* k : all_kernels()) {
      const std::vector<Timing> tier = time_in_turn(
          {whole([&] { resize_with(*k, tiled.bgr.data(), w.sw, w.sh, out3.data(), w.dw, w.dh, 3); }),
           whole([&] { resize_with(*k, grey.data(), w.sw, w.sh, out1.data(), w.dw, w.dh, 1); })},
          k == &scalar_kernels() ? 3 : runs);
      printf(" %10.2f", tier[1].median / tier[0].median);
    }
    printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = parse_runs(argc, argv);
  if (runs < 0) return 2;
  Image photo;
  if (!decode_file(QARVEL_BENCH_PHOTO, photo)) {
    fprintf(stderr, "cannot read %s\n", QARVEL_BENCH_PHOTO);
    return 1;
  }
#ifdef QARVEL_BENCH_OPENCV
  cv::setNumThreads(1);
#endif
  print_machine();
  printf("kernel tier: %s; single thread; median and range (min-max) of %d runs, ms\n\n",
         best_kernels().name, runs);
  print_memory(runs);
  std::vector<std::string> parts;
  print_three_channels(runs, parts);
  print_parts(parts);
  print_one_channel(photo, runs);
  return 0;
}
