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

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
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

// The whole input in a malloc buffer, as a pipeline that owns its I/O reads it.
unsigned char* slurp(const std::string& path, unsigned long* size) {
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

// Decodes `path` as BGR into *pixels, a buffer from `alloc` that the caller
// releases whatever the result.
template <typename Alloc>
bool tj_decode(const std::string& path, unsigned char** pixels, int* w, int* h, Alloc alloc) {
  *pixels = nullptr;
  unsigned long size = 0;
  unsigned char* jpeg = slurp(path, &size);
  if (!jpeg) return false;
  bool ok = false;
  tjhandle tj = tjInitDecompress();
  int samp = 0, cs = 0;
  if (tj && tjDecompressHeader3(tj, jpeg, size, w, h, &samp, &cs) == 0) {
    *pixels = alloc(*w, *h);
    ok = *pixels &&
         tjDecompress2(tj, jpeg, size, *pixels, *w, *w * 3, *h, TJPF_BGR, 0) == 0;
  }
  if (tj) tjDestroy(tj);
  free(jpeg);
  return ok;
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
  int sw = 0, sh = 0;
  bool ok = tj_decode(w.input, &src, &sw, &sh, tj_alloc_bgr);
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

// A fresh anonymous mapping, 2 MiB-aligned and marked for transparent huge
// pages in whole huge pages, so that it faults in 2 MiB at a time rather than
// 4 KiB, its last part included.
class HugeBuffer {
 public:
  explicit HugeBuffer(size_t bytes) : mapped_((bytes + kHuge - 1) / kHuge * kHuge + kHuge) {
    map_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map_ == MAP_FAILED) return;
    data_ = reinterpret_cast<unsigned char*>(
        (reinterpret_cast<uintptr_t>(map_) + kHuge - 1) & ~uintptr_t(kHuge - 1));
    madvise(data_, mapped_ - kHuge, MADV_HUGEPAGE);
  }
  ~HugeBuffer() {
    if (map_ != MAP_FAILED) munmap(map_, mapped_);
  }
  HugeBuffer(const HugeBuffer&) = delete;
  HugeBuffer& operator=(const HugeBuffer&) = delete;
  unsigned char* data() const { return data_; }

 private:
  static constexpr size_t kHuge = size_t(2) << 20;
  size_t mapped_;
  void* map_ = MAP_FAILED;
  unsigned char* data_ = nullptr;
};

bool run_resample_huge(const Workload& w, const std::string&) {
  HugeBuffer dst(size_t(w.dst_w) * w.dst_h * 3);
  if (!dst.data()) return false;
  StdoutSilencer quiet;
  return ipp_resize(const_cast<unsigned char*>(w.source.bgr.data()), w.src_w, w.src_h,
                    w.src_w * 3, dst.data(), w.dst_w, w.dst_h, w.dst_w * 3) == 0;
}

// Read and decode into huge pages: what the lower bound would be if the
// decoded image's buffer faulted in 2 MiB at a time.
bool run_decode_huge(const Workload& w, const std::string&) {
  std::unique_ptr<HugeBuffer> buf;
  unsigned char* src = nullptr;
  int sw = 0, sh = 0;
  return tj_decode(w.input, &src, &sw, &sh, [&buf](int x, int y) {
    buf = std::make_unique<HugeBuffer>(size_t(x) * y * 3);
    return buf->data();
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
  unsigned char* pixels = nullptr;
  int sw = 0, sh = 0;
  if (!tj_decode(w.input, &pixels, &sw, &sh, [&src](int x, int y) {
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

bool output_size(const std::string& path, int* w, int* h) {
  std::vector<unsigned char> jpeg;
  if (!read_file(path, jpeg)) return false;
  tjhandle tj = tjInitDecompress();
  int samp = 0, cs = 0;
  bool ok = tj && tjDecompressHeader3(tj, jpeg.data(), jpeg.size(), w, h, &samp, &cs) == 0;
  if (tj) tjDestroy(tj);
  return ok;
}

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

}  // namespace

int main(int argc, char** argv) {
  int runs = 15;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else {
      fprintf(stderr, "usage: %s [--runs N]   (N >= 1, default 15)\n", argv[0]);
      return 2;
    }
  }
  if (runs < 1) {
    fprintf(stderr, "--runs needs a positive count\n");
    return 2;
  }

#ifdef QARVEL_BENCH_OPENCV
  cv::setNumThreads(1);
#endif
#ifdef QARVEL_BENCH_VIPS
  setenv("VIPS_CONCURRENCY", "1", 1);
  if (VIPS_INIT(argv[0])) {
    fprintf(stderr, "vips_init failed\n");
    return 1;
  }
  vips_concurrency_set(1);
  // No operation cache, so every repeat loads and resizes for real.
  vips_cache_set_max(0);
  vips_cache_set_max_mem(0);
  vips_cache_set_max_files(0);
#endif

  std::string dir = make_temp_dir();
  if (dir.empty()) {
    fprintf(stderr, "cannot create a temporary directory\n");
    return 1;
  }
  Image photo;
  std::string photo_path = std::string(QARVEL_BENCH_PHOTO);
  std::string in12 = dir + "/photo-4000x3000.jpg", in2 = dir + "/photo-1920x1080.jpg";
  if (!decode_file(photo_path, photo) || !make_photo_jpeg(photo, 4000, 3000, in12) ||
      !make_photo_jpeg(photo, 1920, 1080, in2)) {
    fprintf(stderr, "cannot make the test images from %s\n", photo_path.c_str());
    return 1;
  }
  photo = Image();

  std::vector<Workload> workloads = {
      {"4000x3000 -> 1280x960 (w/3.125)", in12, 4000, 3000, 1280, 960, 960, {}, {}, nullptr},
      {"4000x3000 -> 2000x1500 (half)", in12, 4000, 3000, 2000, 1500, 1500, {}, {}, nullptr},
      {"4000x3000 -> 640x480 (640 wide)", in12, 4000, 3000, 640, 0, *qarvel::aspect_height(4000, 3000, 640), {}, {}, nullptr},
      {"4000x3000 -> 2000x3600 (mixed)", in12, 4000, 3000, 2000, 3600, 3600, {}, {}, nullptr},
      {"1920x1080 -> 3840x2160 (2x)", in2, 1920, 1080, 3840, 2160, 2160, {}, {}, nullptr},
  };
  std::vector<std::vector<unsigned char>> scratch(workloads.size());
  for (size_t i = 0; i < workloads.size(); ++i) {
    Workload& w = workloads[i];
    if (!decode_file(w.input, w.source)) return 1;
    w.prepared.width = w.dst_w;
    w.prepared.height = w.dst_h;
    w.prepared.bgr.resize(size_t(w.dst_w) * w.dst_h * 3);
    if (!qarvel::resample(w.source.bgr.data(), w.src_w, w.src_h, w.src_w * 3, w.prepared.bgr.data(),
                          w.dst_w, w.dst_h, w.dst_w * 3))
      return 1;
    scratch[i].assign(size_t(w.dst_w) * w.dst_h * 3, 0);
    w.scratch = &scratch[i];
  }

  std::vector<Pipeline> pipelines = {
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
  const size_t n_main = pipelines.size() - 6;  // the last six explain the figures

  char date[64];
  time_t t = time(nullptr);
  strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", gmtime(&t));
  printf("CPU: %s\nDate: %s\n", cpu_model().c_str(), date);
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

  // Per workload and pipeline: the median time, and the median over rounds of
  // the time against the lower bound of the same round (neighbours in time
  // share the machine's state, so this ratio is steadier than one of medians).
  std::vector<std::vector<double>> medians(workloads.size()), ratios(workloads.size());
  std::vector<double> extra(workloads.size());
  bool failed = false;
  for (size_t wi = 0; wi < workloads.size(); ++wi) {
    const Workload& w = workloads[wi];
    std::vector<std::vector<double>> times(pipelines.size());
    std::vector<std::string> outs;
    for (size_t p = 0; p < pipelines.size(); ++p)
      outs.push_back(dir + "/out-" + std::to_string(p) + ".jpg");
    for (int r = -1; r < runs; ++r) {
      for (size_t p = 0; p < pipelines.size(); ++p) {
        double t0 = now_ms();
        bool ok = pipelines[p].run(w, outs[p]);
        double t1 = now_ms();
        if (!ok) {
          fprintf(stderr, "%s: %s failed\n", w.name.c_str(), pipelines[p].name.c_str());
          failed = true;
        }
        if (r >= 0) times[p].push_back(t1 - t0);
      }
      if (r == -1) {
        for (size_t p = 0; p < n_main; ++p) {
          int ow = 0, oh = 0;
          if (!output_size(outs[p], &ow, &oh) || ow != w.dst_w || oh != w.dst_h)
            fprintf(stderr, "%s: %s wrote %dx%d, not %dx%d\n", w.name.c_str(),
                    pipelines[p].name.c_str(), ow, oh, w.dst_w, w.dst_h);
        }
      }
    }
    for (size_t p = 0; p < pipelines.size(); ++p) {
      std::vector<double> ratio, diff;
      for (int r = 0; r < runs; ++r) {
        ratio.push_back(times[p][r] / times[0][r]);
        diff.push_back(times[p][r] - times[0][r]);
      }
      medians[wi].push_back(median(times[p]));
      ratios[wi].push_back(median(ratio));
      if (p == 1) extra[wi] = median(diff);
    }
    for (const std::string& o : outs) std::filesystem::remove(o);
  }

  printf("\n| workload |");
  for (size_t p = 0; p < n_main; ++p) printf(" %s |", pipelines[p].name.c_str());
  printf("\n|---|");
  for (size_t p = 0; p < n_main; ++p) printf("---:|");
  printf("\n");
  for (size_t wi = 0; wi < workloads.size(); ++wi) {
    printf("| %s | %s |", workloads[wi].name.c_str(), fmt_ms(medians[wi][0]).c_str());
    for (size_t p = 1; p < n_main; ++p)
      printf(" %s |", fmt_ratio(medians[wi][p], ratios[wi][p]).c_str());
    printf("\n");
  }

  printf("\nStages of the pipeline, median ms: the two halves of the lower bound (the decode also\n"
         "into fresh 2 MiB pages), the resampler alone (into fresh 4 KiB pages, fresh 2 MiB\n"
         "pages, pages already mapped), and the time qresize takes beyond the lower bound\n"
         "of the same run.\n\n| workload |");
  for (size_t p = n_main; p < pipelines.size(); ++p) printf(" %s |", pipelines[p].name.c_str());
  printf(" qresize - lower bound |\n|---|");
  for (size_t p = n_main; p <= pipelines.size(); ++p) printf("---:|");
  printf("\n");
  for (size_t wi = 0; wi < workloads.size(); ++wi) {
    const std::vector<double>& m = medians[wi];
    printf("| %s |", workloads[wi].name.c_str());
    for (size_t p = n_main; p < pipelines.size(); ++p) printf(" %s |", fmt_ms(m[p]).c_str());
    printf(" %s |\n", fmt_ms(extra[wi]).c_str());
  }

  std::filesystem::remove_all(dir);
#ifdef QARVEL_BENCH_VIPS
  vips_shutdown();
#endif
  return failed ? 1 : 0;
}
