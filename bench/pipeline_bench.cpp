// File-to-file resize against its lower bound and against the pipelines a user
// would otherwise build from peers. Single-threaded; every figure is the
// median of several runs after a warm-up, the pipelines taking turns so that
// a change in machine load touches them all alike.
//
//   pipeline_bench [--runs N]
#include <qarvel/qarvel.h>

#include "bench_support.h"
#include "core.h"

#include <sys/mman.h>
#include <turbojpeg.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifdef QARVEL_BENCH_OPENCV
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#endif
#ifdef QARVEL_BENCH_VIPS
#include <vips/vips.h>
#endif

namespace {

using namespace qarvel::bench;

struct Workload {
  std::string name;
  std::string input;
  int src_w, src_h;
  int dst_w;
  int dst_h_arg;  // what qresize is asked for; 0 keeps the aspect ratio
  int dst_h;      // the size every pipeline produces
  Image prepared;  // an already-resized image of the target size
  Image source;    // the decoded input, for timing the resampler alone
  std::vector<unsigned char>* scratch;  // a mapped destination-sized buffer
};

struct Pipeline {
  std::string name;
  std::function<bool(const Workload&, const std::string& out)> run;
};

[[maybe_unused]] bool shrinks_both(const Workload& w) { return w.dst_w <= w.src_w && w.dst_h <= w.src_h; }

// Decodes `path` as BGR into a buffer from `alloc`, which the caller
// releases whatever the result.
bool tj_decode(const std::string& path, const PixelAlloc& alloc) {
  int w = 0, h = 0;
  return decode_jpeg_file(path, alloc, &w, &h);
}

unsigned char* tj_alloc_bgr(int w, int h) { return tjAlloc(w * h * 3); }

// 4:2:2 quality 85, the library's output format, written to `out`. The JPEG
// goes into a buffer of the largest size it can take, mapped in huge pages,
// as qresize encodes: TurboJPEG growing its own buffer costs more.
bool tj_encode_write(const unsigned char* bgr, int w, int h, const std::string& out) {
  qarvel::Result<qarvel::PrivateBlob> jpeg = qarvel::encode_private({bgr, w, h, w * 3, TJPF_BGR});
  return jpeg && write_file(out, jpeg->data.data(), jpeg->size);
}

bool run_qresize(const Workload& w, const std::string& out) {
  StdoutSilencer quiet;
  return qresize(w.input.c_str(), w.dst_w, w.dst_h_arg, out.c_str()) == 0;
}

// Stages of the pipeline, for explaining where the time goes.
bool run_decode_only(const Workload& w, const std::string&) {
  unsigned char* src = nullptr;
  bool ok = tj_decode(w.input, [&src](int x, int y) { return src = tj_alloc_bgr(x, y); });
  tjFree(src);
  return ok;
}

bool run_encode_only(const Workload& w, const std::string& out) {
  return tj_encode_write(w.prepared.bgr.data(), w.dst_w, w.dst_h, out);
}

// The resampler alone on a decoded source, into a destination fresh from the
// kernel, so that every page faults in during the call. (A heap block of this
// size may instead be recycled already mapped, once glibc has raised its mmap
// threshold.)
bool run_resample_fresh(const Workload& w, const std::string&) {
  size_t bytes = size_t(w.dst_w) * w.dst_h * 3;
  void* dst = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (dst == MAP_FAILED) return false;
  StdoutSilencer quiet;
  bool ok = ipp_resize(const_cast<unsigned char*>(w.source.bgr.data()), w.src_w, w.src_h,
                       w.src_w * 3, static_cast<unsigned char*>(dst), w.dst_w, w.dst_h,
                       w.dst_w * 3) == 0;
  munmap(dst, bytes);
  return ok;
}

// A fresh mapping as the core makes one for private pixels: 2 MiB-aligned
// and marked for transparent huge pages in whole huge pages, so that it
// faults in 2 MiB at a time rather than 4 KiB, its last part included.
qarvel::PixelBuffer huge_buffer(size_t bytes) {
  return qarvel::PixelBuffer::allocate(bytes, qarvel::Storage::kPrivate);
}

bool run_resample_huge(const Workload& w, const std::string&) {
  qarvel::PixelBuffer dst = huge_buffer(size_t(w.dst_w) * w.dst_h * 3);
  if (!dst) return false;
  StdoutSilencer quiet;
  return ipp_resize(const_cast<unsigned char*>(w.source.bgr.data()), w.src_w, w.src_h,
                    w.src_w * 3, dst.data(), w.dst_w, w.dst_h, w.dst_w * 3) == 0;
}

// Read and decode into huge pages: what the lower bound would be if the
// decoded image's buffer faulted in 2 MiB at a time.
bool run_decode_huge(const Workload& w, const std::string&) {
  qarvel::PixelBuffer buf;
  return tj_decode(w.input, [&buf](int x, int y) {
    buf = huge_buffer(size_t(x) * y * 3);
    return buf.data();
  });
}

// Everything qresize must do except resampling: read, full decode, encode of
// an image already at the target size, write. The decode goes into huge
// pages, the cheapest fresh memory there is, so this stays a lower bound for
// a resize that also has to fault in its source pixels.
bool run_lower_bound(const Workload& w, const std::string& out) {
  return run_decode_huge(w, out) && tj_encode_write(w.prepared.bgr.data(), w.dst_w, w.dst_h, out);
}

// The same into a destination whose pages are already mapped.
bool run_resample_warm(const Workload& w, const std::string&) {
  StdoutSilencer quiet;
  return ipp_resize(const_cast<unsigned char*>(w.source.bgr.data()), w.src_w, w.src_h,
                    w.src_w * 3, w.scratch->data(), w.dst_w, w.dst_h, w.dst_w * 3) == 0;
}

#ifdef QARVEL_BENCH_OPENCV
int cv_interpolation(const Workload& w) { return shrinks_both(w) ? cv::INTER_AREA : cv::INTER_LINEAR; }

bool run_tj_opencv(const Workload& w, const std::string& out) {
  cv::Mat src;
  if (!tj_decode(w.input, [&src](int x, int y) {
        src.create(y, x, CV_8UC3);
        return src.data;
      }))
    return false;
  cv::Mat dst;
  cv::resize(src, dst, cv::Size(w.dst_w, w.dst_h), 0, 0, cv_interpolation(w));
  src.release();
  return tj_encode_write(dst.data, dst.cols, dst.rows, out);
}

bool run_opencv(const Workload& w, const std::string& out) {
  cv::Mat src = cv::imread(w.input, cv::IMREAD_COLOR);
  if (src.empty()) return false;
  cv::Mat dst;
  cv::resize(src, dst, cv::Size(w.dst_w, w.dst_h), 0, 0, cv_interpolation(w));
  src.release();
  return cv::imwrite(out, dst, {cv::IMWRITE_JPEG_QUALITY, 85});
}
#endif

#ifdef QARVEL_BENCH_VIPS
bool run_vips(const Workload& w, const std::string& out) {
  VipsImage* in = vips_image_new_from_file(w.input.c_str(), "access", VIPS_ACCESS_SEQUENTIAL,
                                           nullptr);
  if (!in) return false;
  VipsImage* resized = nullptr;
  double hscale = double(w.dst_w) / w.src_w, vscale = double(w.dst_h) / w.src_h;
  bool ok = vips_resize(in, &resized, hscale, "vscale", vscale, nullptr) == 0 &&
            vips_jpegsave(resized, out.c_str(), "Q", 85, nullptr) == 0;
  if (resized) g_object_unref(resized);
  g_object_unref(in);
  return ok;
}
#endif

std::string fmt_ms(double ms) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f", ms);
  return buf;
}

std::string fmt_ratio(double ms, double ratio) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.1f (%.2f)", ms, ratio);
  return buf;
}

// libvips on one thread with its operation cache off, so every repeat loads
// and resizes for real; false when it cannot start.
bool start_peers(const char* argv0) {
  (void)argv0;
#ifdef QARVEL_BENCH_OPENCV
  cv::setNumThreads(1);
#endif
#ifdef QARVEL_BENCH_VIPS
  setenv("VIPS_CONCURRENCY", "1", 1);
  if (VIPS_INIT(argv0)) return false;
  vips_concurrency_set(1);
  vips_cache_set_max(0);
  vips_cache_set_max_mem(0);
  vips_cache_set_max_files(0);
#endif
  return true;
}

// The 12-MP and 1080p inputs, made from the bundled photograph in `dir`,
// and each workload's decoded source, resized target and mapped scratch
// buffer; false on any failure.
bool make_workloads(const std::string& dir, std::vector<Workload>& workloads,
                    std::vector<std::vector<unsigned char>>& scratch) {
  Image photo;
  const std::string in12 = dir + "/photo-4000x3000.jpg", in2 = dir + "/photo-1920x1080.jpg";
  if (!decode_file(QARVEL_BENCH_PHOTO, photo) || !make_photo_jpeg(photo, 4000, 3000, in12) ||
      !make_photo_jpeg(photo, 1920, 1080, in2))
    return false;
  const int h640 = *qarvel::aspect_height(4000, 3000, 640);
  workloads = {
      {"4000x3000 -> 1280x960 (w/3.125)", in12, 4000, 3000, 1280, 960, 960, {}, {}, nullptr},
      {"4000x3000 -> 2000x1500 (half)", in12, 4000, 3000, 2000, 1500, 1500, {}, {}, nullptr},
      {"4000x3000 -> 640x480 (640 wide)", in12, 4000, 3000, 640, 0, h640, {}, {}, nullptr},
      {"4000x3000 -> 2000x3600 (mixed)", in12, 4000, 3000, 2000, 3600, 3600, {}, {}, nullptr},
      {"1920x1080 -> 3840x2160 (2x)", in2, 1920, 1080, 3840, 2160, 2160, {}, {}, nullptr},
  };
  scratch.resize(workloads.size());
  for (size_t i = 0; i < workloads.size(); ++i) {
    Workload& w = workloads[i];
    if (!decode_file(w.input, w.source)) return false;
    w.prepared.width = w.dst_w;
    w.prepared.height = w.dst_h;
    w.prepared.bgr.resize(size_t(w.dst_w) * w.dst_h * 3);
    if (!qarvel::resample(w.source.bgr.data(), w.src_w, w.src_h, w.src_w * 3,
                          w.prepared.bgr.data(), w.dst_w, w.dst_h, w.dst_w * 3))
      return false;
    scratch[i].assign(size_t(w.dst_w) * w.dst_h * 3, 0);
    w.scratch = &scratch[i];
  }
  return true;
}

// The pipelines compared, then the stages that explain the figures (the last
// kStages).
constexpr size_t kStages = 6;
std::vector<Pipeline> pipelines() {
  return {
      {"lower bound", run_lower_bound},
      {"qresize", run_qresize},
#ifdef QARVEL_BENCH_OPENCV
      {"TurboJPEG + cv::resize", run_tj_opencv},
      {"OpenCV alone", run_opencv},
#endif
#ifdef QARVEL_BENCH_VIPS
      {"libvips", run_vips},
#endif
      {"read+decode", run_decode_only},
      {"read+decode, huge pages", run_decode_huge},
      {"encode+write", run_encode_only},
      {"ipp_resize, fresh pages", run_resample_fresh},
      {"ipp_resize, fresh huge pages", run_resample_huge},
      {"ipp_resize, mapped pages", run_resample_warm},
  };
}

void print_heading(int runs) {
  print_machine();
  printf("Single thread; median ms of %d runs after one warm-up, and in brackets the median\n"
         "over runs of the ratio to the lower bound of the same run\n",
         runs);
#ifndef QARVEL_BENCH_OPENCV
  printf("OpenCV not found: its pipelines are skipped\n");
#endif
#ifndef QARVEL_BENCH_VIPS
  printf("libvips not found: its pipeline is skipped\n");
#endif
  fflush(stdout);
}

// One workload's figures per pipeline: the median time, the median over
// rounds of the time against the lower bound of the same round (neighbours
// in time share the machine's state, so this ratio is steadier than one of
// medians), and qresize's median time beyond the lower bound.
struct Figures {
  std::vector<double> medians, ratios;
  double beyond = 0;
};

// Runs every pipeline on `w` in turn and checks the main ones' output sizes;
// false when any failed.
bool measure(const Workload& w, const std::vector<Pipeline>& ps, const std::string& dir, int runs,
             Figures& f) {
  bool ok = true;
  std::vector<std::string> outs;
  std::vector<std::function<double()>> fns;
  for (size_t p = 0; p < ps.size(); ++p) {
    outs.push_back(dir + "/out-" + std::to_string(p) + ".jpg");
    fns.push_back([&, p] {
      if (!ps[p].run(w, outs[p])) {
        fprintf(stderr, "%s: %s failed\n", w.name.c_str(), ps[p].name.c_str());
        ok = false;
      }
      return -1.0;
    });
  }
  const std::vector<std::vector<double>> times = time_rounds(fns, runs);
  for (size_t p = 0; p + kStages < ps.size(); ++p) {
    int ow = 0, oh = 0;
    if (!jpeg_size(outs[p], &ow, &oh) || ow != w.dst_w || oh != w.dst_h)
      fprintf(stderr, "%s: %s wrote %dx%d, not %dx%d\n", w.name.c_str(), ps[p].name.c_str(), ow,
              oh, w.dst_w, w.dst_h);
  }
  for (size_t p = 0; p < ps.size(); ++p) {
    std::vector<double> ratio, diff;
    for (int r = 0; r < runs; ++r) {
      ratio.push_back(times[p][r] / times[0][r]);
      diff.push_back(times[p][r] - times[0][r]);
    }
    f.medians.push_back(median(times[p]));
    f.ratios.push_back(median(ratio));
    if (p == 1) f.beyond = median(diff);
  }
  for (const std::string& o : outs) std::filesystem::remove(o);
  return ok;
}

void print_tables(const std::vector<Workload>& workloads, const std::vector<Pipeline>& ps,
                  const std::vector<Figures>& figures) {
  const size_t n_main = ps.size() - kStages;
  printf("\n| workload |");
  for (size_t p = 0; p < n_main; ++p) printf(" %s |", ps[p].name.c_str());
  printf("\n|---|");
  for (size_t p = 0; p < n_main; ++p) printf("---:|");
  printf("\n");
  for (size_t wi = 0; wi < workloads.size(); ++wi) {
    const Figures& f = figures[wi];
    printf("| %s | %s |", workloads[wi].name.c_str(), fmt_ms(f.medians[0]).c_str());
    for (size_t p = 1; p < n_main; ++p) printf(" %s |", fmt_ratio(f.medians[p], f.ratios[p]).c_str());
    printf("\n");
  }

  printf("\nStages of the pipeline, median ms: the two halves of the lower bound (the decode also\n"
         "into fresh 2 MiB pages), the resampler alone (into fresh 4 KiB pages, fresh 2 MiB\n"
         "pages, pages already mapped), and the time qresize takes beyond the lower bound\n"
         "of the same run.\n\n| workload |");
  for (size_t p = n_main; p < ps.size(); ++p) printf(" %s |", ps[p].name.c_str());
  printf(" qresize - lower bound |\n|---|");
  for (size_t p = n_main; p <= ps.size(); ++p) printf("---:|");
  printf("\n");
  for (size_t wi = 0; wi < workloads.size(); ++wi) {
    printf("| %s |", workloads[wi].name.c_str());
    for (size_t p = n_main; p < ps.size(); ++p) printf(" %s |", fmt_ms(figures[wi].medians[p]).c_str());
    printf(" %s |\n", fmt_ms(figures[wi].beyond).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = parse_runs(argc, argv);
  if (runs < 0) return 2;
  if (!start_peers(argv[0])) {
    fprintf(stderr, "vips_init failed\n");
    return 1;
  }
  const std::string dir = make_temp_dir();
  std::vector<Workload> workloads;
  std::vector<std::vector<unsigned char>> scratch;
  if (dir.empty() || !make_workloads(dir, workloads, scratch)) {
    fprintf(stderr, "cannot make the test images from %s\n", QARVEL_BENCH_PHOTO);
    return 1;
  }
  const std::vector<Pipeline> ps = pipelines();
  print_heading(runs);
  std::vector<Figures> figures(workloads.size());
  bool ok = true;
  for (size_t wi = 0; wi < workloads.size(); ++wi)
    ok = measure(workloads[wi], ps, dir, runs, figures[wi]) && ok;
  print_tables(workloads, ps, figures);
  std::filesystem::remove_all(dir);
#ifdef QARVEL_BENCH_VIPS
  vips_shutdown();
#endif
  return ok ? 0 : 1;
}
