// Resampling speed: ipp_resize against OpenCV's cv::resize on the same
// buffers, single-threaded, in one process, beside this machine's memory
// bandwidth. ipp_resize is timed into a destination already mapped and into
// a fresh one allocated as qresize allocates it. Prints medians and ranges,
// the kernel tier in use and the processor model.
//
//   resample_bench [--runs N]

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "resample/dispatch.h"
#include "resample/plan.h"
#include "qarvel/qarvel.h"
#include "codec/resources.h"

#ifdef QARVEL_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

using qarvel::detail::all_kernels;
using qarvel::detail::best_kernels;
using qarvel::detail::Kernels;
using qarvel::detail::scalar_kernels;

namespace {

using namespace qarvel::bench;

struct Timing {
  double median, min, max;
};

// Times the candidates in turn, run after run, so that load from other
// processes on a shared machine falls on all of them alike. A candidate
// returns the milliseconds to count, or a negative value to have its whole
// call timed.
std::vector<Timing> time_in_turn(const std::vector<std::function<double()>>& fns, int runs) {
  std::vector<std::vector<double>> t(fns.size());
  for (const auto& fn : fns) fn();  // warm caches and page in the destination
  for (int i = 0; i < runs; ++i)
    for (size_t f = 0; f < fns.size(); ++f) {
      const double start = now_ms();
      const double own = fns[f]();
      t[f].push_back(own >= 0 ? own : now_ms() - start);
    }
  std::vector<Timing> out;
  for (const auto& v : t)
    out.push_back(
        {median(v), *std::min_element(v.begin(), v.end()), *std::max_element(v.begin(), v.end())});
  return out;
}

// The plan's set-up and the resize with an explicit kernel table, as
// ipp_resize makes them.
int resize_with(const Kernels& k, const unsigned char* src, int sw, int sh, unsigned char* dst,
                int dw, int dh) {
  qarvel::Result<qarvel::ResizePlan> plan = qarvel::ResizePlan::create(sw, sh, dw, dh, 3);
  if (!plan) return -1;
  plan->run_with(k, src, sw * 3, dst, dw * 3);
  return 0;
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

struct Workload {
  const char* name;
  int sw, sh, dw, dh;
  const char* aim;
};

std::string range(const Timing& t) {
  char buf[48];
  snprintf(buf, sizeof buf, "%.2f %.2f-%.2f", t.median, t.min, t.max);
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 15;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--runs") && i + 1 < argc && atoi(argv[i + 1]) > 0) {
      runs = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: %s [--runs N]   (N >= 1, default 15)\n", argv[0]);
      return 2;
    }
  }
  const Workload loads[] = {
      {"shrink 3.125x", 4000, 3000, 1280, 960, "<= 2.5 ms"},
      {"shrink 2.5x", 4000, 3000, 1600, 1200, "-"},
      {"shrink 2x", 4000, 3000, 2000, 1500, "<= 2.0 ms"},
      {"near 1x", 4000, 3000, 3999, 2999, "<= 10 ms"},
      {"same size", 4000, 3000, 4000, 3000, "~ memcpy"},
      {"enlarge 2x", 1920, 1080, 3840, 2160, "<= 2.5 ms"},
      {"mixed", 4000, 3000, 1600, 3600, "<= 6 ms"},
      {"mixed 2:1", 4000, 3000, 2000, 3600, "-"},
  };
#ifdef QARVEL_BENCH_OPENCV
  cv::setNumThreads(1);
#endif
  printf("CPU: %s\n", cpu_model().c_str());
  printf("kernel tier: %s; single thread; median and range (min-max) of %d runs, ms\n\n",
         best_kernels().name, runs);

  // The memory's limit: a plain read and a plain copy of a 12-MP image.
  {
    const size_t bytes = size_t{4000} * 3000 * 3;
    std::vector<unsigned char> a(bytes, 1), b(bytes, 2);
    volatile uint64_t sink = 0;
    const std::vector<Timing> t = time_in_turn({[&] {
                                                  sink = sink + read_all(a.data(), bytes);
                                                  return -1.0;
                                                },
                                                [&] {
                                                  std::memcpy(b.data(), a.data(), bytes);
                                                  return -1.0;
                                                }},
                                               runs);
    printf(
        "memory, 36 MB (4000x3000x3) in pages already mapped:\n"
        "  plain read  %s ms, %.1f GB/s at the median\n"
        "  plain copy  %s ms, %.1f GB/s copied at the median\n\n",
        range(t[0]).c_str(), bytes / t[0].median / 1e6, range(t[1]).c_str(),
        bytes / t[1].median / 1e6);
  }

  printf("%-14s %-22s %19s %19s %10s %8s %8s", "case", "size", "mapped ms", "fresh ms", "OpenCV ms",
         "ratio", "memcpy");
  for (const Kernels* k : all_kernels()) printf(" %10s", k->name);
  printf("  aim\n");

  std::mt19937 rng(1);
  std::vector<std::string> parts;
  for (const Workload& w : loads) {
    // Smooth content with noise; speed does not depend on it.
    std::vector<unsigned char> src(size_t(w.sw) * w.sh * 3);
    for (int y = 0; y < w.sh; ++y)
      for (int x = 0; x < w.sw * 3; ++x)
        src[size_t(y) * w.sw * 3 + x] =
            static_cast<unsigned char>((x / 3 + y + (rng() & 15)) & 255);
    const size_t dst_bytes = size_t(w.dw) * w.dh * 3;
    std::vector<unsigned char> dst(dst_bytes);

    const bool linear = w.sw < w.dw || w.sh < w.dh;
    auto resize_into = [&](unsigned char* out) {
      ipp_resize(src.data(), w.sw, w.sh, w.sw * 3, out, w.dw, w.dh, w.dw * 3);
    };
    std::vector<std::function<double()>> fns = {
        [&] {
          resize_into(dst.data());
          return -1.0;
        },
        // A fresh destination as qresize allocates it: its own 2 MiB-aligned
        // mapping advised for huge pages, faulted in during the call.
        [&] {
          qarvel::PixelBuffer fresh =
              qarvel::PixelBuffer::allocate(dst_bytes, qarvel::Storage::kPrivate);
          const double start = now_ms();
          resize_into(fresh.data());
          return now_ms() - start;
        },
        [&] {
          std::memcpy(dst.data(), src.data(), std::min(src.size(), dst.size()));
          return -1.0;
        },
    };
#ifdef QARVEL_BENCH_OPENCV
    cv::Mat in(w.sh, w.sw, CV_8UC3, src.data());
    cv::Mat out(w.dh, w.dw, CV_8UC3, dst.data());
    fns.push_back([&] {
      cv::resize(in, out, cv::Size(w.dw, w.dh), 0, 0, linear ? cv::INTER_LINEAR : cv::INTER_AREA);
      return -1.0;
    });
#endif
    std::vector<Timing> t;
    {
      StdoutSilencer quiet;  // ipp_resize's timing lines
      t = time_in_turn(fns, runs);
    }
    // Each tier through the same layer calls; scalar is slow, so fewer runs.
    std::vector<double> tier_ms;
    for (const Kernels* k : all_kernels())
      tier_ms.push_back(time_in_turn({[&] {
                                       resize_with(*k, src.data(), w.sw, w.sh, dst.data(), w.dw,
                                                   w.dh);
                                       return -1.0;
                                     }},
                                     k == &scalar_kernels() ? 3 : runs)[0]
                            .median);
    // The same resize with its source rows, then also its destination rows,
    // all the same row, so that they come from and go to the cache: what is
    // left is the arithmetic.
    {
      // Steps of 0 make every row the same one, which then stays in the cache.
      const qarvel::ResizePlan plan = std::move(*qarvel::ResizePlan::create(w.sw, w.sh, w.dw, w.dh, 3));
      volatile uint64_t sink = 0;
      const std::vector<Timing> p =
          time_in_turn({[&] {
                          plan.run_with(best_kernels(), src.data(), w.sw * 3, dst.data(), w.dw * 3);
                          return -1.0;
                        },
                        [&] {
                          plan.run_with(best_kernels(), src.data(), 0, dst.data(), w.dw * 3);
                          return -1.0;
                        },
                        [&] {
                          plan.run_with(best_kernels(), src.data(), 0, dst.data(), 0);
                          return -1.0;
                        },
                        [&] {
                          sink = sink + read_all(src.data(), src.size());
                          return -1.0;
                        }},
                       runs);
      char line[160];
      snprintf(line, sizeof line, "%-14s %10.2f %18.2f %18.2f %18.2f", w.name, p[0].median,
               p[1].median, p[2].median, p[3].median);
      parts.push_back(line);
    }
    char peer[32] = "-", ratio[32] = "-";
    if (t.size() > 3) {
      snprintf(peer, sizeof peer, "%.2f %s", t[3].median, linear ? "LIN" : "AREA");
      snprintf(ratio, sizeof ratio, "%.2fx", t[3].median / t[0].median);
    }
    char size[40];
    snprintf(size, sizeof size, "%dx%d->%dx%d", w.sw, w.sh, w.dw, w.dh);
    printf("%-14s %-22s %19s %19s %10s %8s %8.2f", w.name, size, range(t[0]).c_str(),
           range(t[1]).c_str(), peer, ratio, t[2].median);
    for (double ms : tier_ms) printf(" %10.2f", ms);
    printf("  %s\n", w.aim);
  }
  printf(
      "\nmapped = ipp_resize into a destination whose pages are already mapped; fresh =\n"
      "into a new 2 MiB-aligned mapping advised for huge pages, as qresize's destination,\n"
      "timed from the call (the pages fault in during it) without the mapping's creation\n"
      "and release. ratio = OpenCV time / mapped time (above 1: qarvel faster). memcpy\n"
      "copies the smaller of the two images, a lower bound for the same-size case. The\n"
      "tier columns (medians) force one kernel table through the same layer calls.\n");
  printf(
      "\nWhere the time goes, %s tier, spec and work buffer made once (medians, ms): the\n"
      "resize; the same with every source row the same one (read from the cache); also\n"
      "every output row the same one (written to the cache); a plain read of the source.\n\n",
      best_kernels().name);
  printf("%-14s %10s %18s %18s %18s\n", "case", "resize", "source cached", "both cached",
         "read source");
  for (const std::string& line : parts) printf("%s\n", line.c_str());
  return 0;
}
