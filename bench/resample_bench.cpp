// Resampling speed: ipp_resize against OpenCV's cv::resize on the same
// buffers, single-threaded, in one process. Prints median times and ratios,
// the kernel tier in use and the processor model.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "ipp_layer.h"
#include "qarvel/qarvel.h"

#ifdef QARVEL_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

using qarvel::detail::all_kernels;
using qarvel::detail::best_kernels;
using qarvel::detail::Kernels;
using qarvel::detail::resample_image;
using qarvel::detail::scalar_kernels;

namespace {

using namespace qarvel::bench;

constexpr int kRuns = 15;

// Times the candidates in turn, run after run, so that load from other
// processes on a shared machine falls on all of them alike. Returns medians.
std::vector<double> median_ms(const std::vector<std::function<void()>>& fns, int runs = kRuns) {
  std::vector<std::vector<double>> t(fns.size());
  for (const auto& fn : fns) fn();  // warm caches and page in the destination
  for (int i = 0; i < runs; ++i)
    for (size_t f = 0; f < fns.size(); ++f) {
      const double start = now_ms();
      fns[f]();
      t[f].push_back(now_ms() - start);
    }
  std::vector<double> out;
  for (const auto& v : t) out.push_back(median(v));
  return out;
}

// The layer's calls with an explicit kernel table, as ipp_resize makes them.
int resize_with(const Kernels& k, const unsigned char* src, int sw, int sh, unsigned char* dst,
                int dw, int dh) {
  int spec_size = 0, init_size = 0, buf_size = 0;
  if (ippiResizeGetSize_8u({sw, sh}, {dw, dh}, ippLinear, 0xFFFFFFFFu, &spec_size, &init_size))
    return -1;
  auto* spec = reinterpret_cast<IppiResizeSpec_32f*>(ippsMalloc_32f(spec_size));
  const bool linear = sw < dw || sh < dh;
  if (linear ? ippiResizeLinearInit_8u({sw, sh}, {dw, dh}, spec)
             : ippiResizeSuperInit_8u({sw, sh}, {dw, dh}, spec))
    return -1;
  ippiResizeGetBufferSize_8u(spec, {dw, dh}, 3, &buf_size);
  Ipp8u* buf = ippsMalloc_8u(buf_size);
  resample_image(k, spec, src, sw * 3, dst, dw * 3, buf);
  ippsFree(spec);
  ippsFree(buf);
  return 0;
}

struct Workload {
  const char* name;
  int sw, sh, dw, dh;
  const char* aim;
};

}  // namespace

int main() {
  const Workload loads[] = {
      {"shrink 3.125x", 4000, 3000, 1280, 960, "<= 7 ms, ~6x OpenCV"},
      {"shrink 2.5x", 4000, 3000, 1600, 1200, "<= 7 ms, ~6x OpenCV"},
      {"shrink 2x", 4000, 3000, 2000, 1500, ">= OpenCV integer path"},
      {"near 1x", 4000, 3000, 3999, 2999, "<= 10 ms"},
      {"same size", 4000, 3000, 4000, 3000, "~ memcpy"},
      {"enlarge 2x", 1920, 1080, 3840, 2160, "<= 4 ms"},
      {"mixed", 4000, 3000, 1600, 3600, "<= 6 ms"},
      {"mixed 2:1", 4000, 3000, 2000, 3600, "file-to-file shape"},
  };
#ifdef QARVEL_BENCH_OPENCV
  cv::setNumThreads(1);
#endif
  printf("CPU: %s\n", cpu_model().c_str());
  printf("kernel tier: %s; single thread; median of %d runs\n\n", best_kernels().name, kRuns);
  printf("%-14s %-22s %10s %10s %8s %10s", "case", "size", "qarvel ms", "OpenCV ms", "ratio",
         "memcpy ms");
  for (const Kernels* k : all_kernels()) printf(" %7s ms", k->name);
  printf("  aim\n");

  std::mt19937 rng(1);
  for (const Workload& w : loads) {
    // Smooth content with noise; speed does not depend on it.
    std::vector<unsigned char> src(size_t(w.sw) * w.sh * 3);
    for (int y = 0; y < w.sh; ++y)
      for (int x = 0; x < w.sw * 3; ++x)
        src[size_t(y) * w.sw * 3 + x] = static_cast<unsigned char>((x / 3 + y + (rng() & 15)) & 255);
    std::vector<unsigned char> dst(size_t(w.dw) * w.dh * 3);

    const bool linear = w.sw < w.dw || w.sh < w.dh;
    std::vector<std::function<void()>> fns = {
        [&] { ipp_resize(src.data(), w.sw, w.sh, w.sw * 3, dst.data(), w.dw, w.dh, w.dw * 3); },
        [&] { std::memcpy(dst.data(), src.data(), std::min(src.size(), dst.size())); },
    };
#ifdef QARVEL_BENCH_OPENCV
    cv::Mat in(w.sh, w.sw, CV_8UC3, src.data());
    cv::Mat out(w.dh, w.dw, CV_8UC3, dst.data());
    fns.push_back([&] {
      cv::resize(in, out, cv::Size(w.dw, w.dh), 0, 0, linear ? cv::INTER_LINEAR : cv::INTER_AREA);
    });
#endif
    std::vector<double> ms;
    {
      StdoutSilencer quiet;  // ipp_resize's timing lines
      ms = median_ms(fns);
    }
    const double ours = ms[0], copy = ms[1];
    // Each tier through the same layer calls; scalar is slow, so fewer runs.
    std::vector<double> tier_ms;
    for (const Kernels* k : all_kernels())
      tier_ms.push_back(median_ms(
          {[&] { resize_with(*k, src.data(), w.sw, w.sh, dst.data(), w.dw, w.dh); }},
          k == &scalar_kernels() ? 3 : kRuns)[0]);
    char peer[32] = "-", ratio[32] = "-";
    if (ms.size() > 2) {
      snprintf(peer, sizeof peer, "%.2f %s", ms[2], linear ? "LIN" : "AREA");
      snprintf(ratio, sizeof ratio, "%.2fx", ms[2] / ours);
    }
    char size[40];
    snprintf(size, sizeof size, "%dx%d->%dx%d", w.sw, w.sh, w.dw, w.dh);
    printf("%-14s %-22s %10.2f %10s %8s %10.2f", w.name, size, ours, peer, ratio, copy);
    for (double t : tier_ms) printf(" %10.2f", t);
    printf("  %s\n", w.aim);
  }
  printf("\nratio = OpenCV time / qarvel time (above 1: qarvel faster). memcpy copies the\n"
         "smaller of the two images, a lower bound for the same-size case. The tier columns\n"
         "force one kernel table through the same layer calls.\n");
  return 0;
}
