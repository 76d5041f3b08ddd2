// The thumbnailer's decode rule, measured: for every photograph and target
// width, each decode scale (1/8 .. 1/1), IDCT (accurate, fast) and chroma
// upsampling (fancy, plain), the time of the decode and the area step, and
// the PSNR of the result against the exact area average (double precision)
// of the full-size accurate decode. Rules (headroom 1x to 2x over the target)
// are then summed over the set, against Pillow's draft() choice (the largest
// power-of-two reduction whose size still covers the target, fast IDCT,
// plain upsampling, then the same area step) measured in the same run.
// With --scans: progressive photographs at 1/8, TurboJPEG's whole-file
// decode against the decoder that leaves out the luma's AC scans.
//
//   decode_rule_bench [--runs N] [--widths 640,256] [--scans] PHOTO.jpg...
#include <malloc.h>

#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "bench_support.h"
#include "codec/jpeg_reader.h"
#include "core.h"

namespace {

using namespace qarvel;
using qarvel::bench::median;
using qarvel::bench::now_ms;

struct Candidate {
  int eighths;
  bool fast, fancy;
};

struct Outcome {
  double ms = 0, psnr = 0;
};

std::vector<uint8_t> read_all(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Exact area average of a packed 3-channel image, per output sample.
std::vector<double> area_average(const Image& src, int w, int h) {
  const double sx = double(src.width) / w, sy = double(src.height) / h;
  auto spans = [](double lo, double hi, int n) {
    std::vector<std::pair<int, double>> s;
    for (int i = int(lo); i < n && i < hi; ++i)
      s.push_back({i, std::min(hi, i + 1.0) - std::max(lo, double(i))});
    return s;
  };
  std::vector<double> rows(size_t(src.height) * w * 3);  // horizontal pass
  for (int x = 0; x < w; ++x) {
    const auto sp = spans(x * sx, (x + 1) * sx, src.width);
    for (int y = 0; y < src.height; ++y)
      for (int c = 0; c < 3; ++c) {
        double sum = 0;
        for (auto [i, wt] : sp) sum += wt * src.pixels.data()[size_t(y) * src.pitch + i * 3 + c];
        rows[(size_t(y) * w + x) * 3 + c] = sum / sx;
      }
  }
  std::vector<double> out(size_t(h) * w * 3);
  for (int y = 0; y < h; ++y) {
    const auto sp = spans(y * sy, (y + 1) * sy, src.height);
    for (size_t k = 0; k < size_t(w) * 3; ++k) {
      double sum = 0;
      for (auto [i, wt] : sp) sum += wt * rows[size_t(i) * w * 3 + k];
      out[size_t(y) * w * 3 + k] = sum / sy;
    }
  }
  return out;
}

double psnr(const std::vector<uint8_t>& got, const std::vector<double>& ref) {
  double se = 0;
  for (size_t i = 0; i < got.size(); ++i) se += (got[i] - ref[i]) * (got[i] - ref[i]);
  return 10 * std::log10(255.0 * 255.0 * got.size() / se);
}

// Decode at `c`, area-average to w x h and encode as the tool does; the
// milliseconds of all three. `out` gets the encoded result decoded again.
double shrink(ByteView jpeg, Candidate c, int w, int h, std::vector<uint8_t>& out) {
  const double t0 = now_ms();
  Result<JpegReader> reader = JpegReader::open(jpeg);
  DecodeSettings s;
  s.eighths = c.eighths;
  s.fast_idct = c.fast;
  s.fancy_upsampling = c.fancy;
  s.skip_unneeded_scans = true;
  Result<DecodedPhoto> d = reader->decode(s);
  if (!d) {
    fprintf(stderr, "%s\n", d.error().message.c_str());
    exit(1);
  }
  out.resize(size_t(w) * h * 3);
  const Image& im = d->image;
  if (!resample(im.pixels.data(), im.width, im.height, im.pitch, out.data(), w, h, w * 3)) exit(1);
  Result<Blob> encoded = encode(ImageView{out.data(), w, h, w * 3, TJPF_BGR});
  const double ms = now_ms() - t0;
  Result<Image> back = decode(encoded->view(), TJPF_BGR);
  std::copy_n(back->pixels.data(), out.size(), out.data());
  return ms;
}

const std::vector<Candidate>& candidates() {
  static const std::vector<Candidate> all = [] {
    std::vector<Candidate> v;
    for (int e : {1, 2, 4, 8})
      for (bool fast : {false, true})
        for (bool fancy : {true, false}) v.push_back({e, fast, fancy});
    return v;
  }();
  return all;
}

int key(Candidate c) { return c.eighths * 4 + c.fast * 2 + c.fancy; }

// Every candidate on one photograph at one width, runs interleaved.
std::map<int, Outcome> measure(ByteView jpeg, int width, int runs, int* w_out, int* h_out) {
  Result<Image> full = decode(jpeg, TJPF_BGR);
  const int w = width, h = std::max(1, *aspect_height(full->width, full->height, width));
  *w_out = w, *h_out = h;
  const std::vector<double> ref = area_average(*full, w, h);
  std::map<int, std::vector<double>> times;
  std::map<int, Outcome> out;
  std::vector<uint8_t> pixels;
  for (int r = 0; r < runs; ++r)
    for (Candidate c : candidates()) {
      times[key(c)].push_back(shrink(jpeg, c, w, h, pixels));
      if (r == 0) out[key(c)].psnr = psnr(pixels, ref);
    }
  for (auto& [k, t] : times) out[k].ms = median(t);
  return out;
}

int scaled(int size, int eighths) { return (size * eighths + 7) / 8; }

// The smallest reduction whose size is at least `headroom` x the target;
// with `fit`, also one whose size is the target; with `progressive_1x`, 1/8
// for a progressive photo whenever it covers the target.
struct Rule {
  double headroom;
  bool fit, progressive_1x;
};

int rule_scale(int sw, int sh, bool progressive, int w, int h, Rule r) {
  for (int e : {1, 2, 4}) {
    const double headroom = e == 1 && progressive && r.progressive_1x ? 1.0 : r.headroom;
    if ((scaled(sw, e) >= headroom * w && scaled(sh, e) >= headroom * h) ||
        (r.fit && scaled(sw, e) == w && scaled(sh, e) == h))
      return e;
  }
  return 8;
}

// Pillow 9.4's draft(): the largest of 8, 4, 2 that divides both sides'
// integer ratios, else 1.
int pillow_scale(int sw, int sh, int w, int h) {
  const int ratio = std::min(sw / w, sh / h);
  for (int d : {8, 4, 2})
    if (ratio >= d) return 8 / d;
  return 8;
}

struct Photo {
  std::string name;
  int sw, sh;
  bool progressive;
  std::map<int, std::map<int, Outcome>> at;  // width -> candidate -> outcome
  std::map<int, std::pair<int, int>> target;
};

// Per photograph: each scale with the fast and the accurate settings.
void photo_table(const std::vector<Photo>& photos, int width) {
  printf(
      "\n### Per photograph at %d wide: ms and PSNR dB per scale (fast IDCT and plain "
      "upsampling / accurate and fancy)\n\n| photo | target | 1/8 | 1/4 | 1/2 | 1/1 |\n"
      "|---|---|---|---|---|---|\n",
      width);
  for (const Photo& p : photos) {
    const auto [w, h] = p.target.at(width);
    printf("| %s | %dx%d |", p.name.c_str(), w, h);
    for (int e : {1, 2, 4, 8}) {
      const Outcome f = p.at.at(width).at(key({e, true, false}));
      const Outcome a = p.at.at(width).at(key({e, false, true}));
      printf(" %.1f / %.1f ms, %.2f / %.2f |", f.ms, a.ms, f.psnr, a.psnr);
    }
    printf("\n");
  }
}

void rules_table(const std::vector<Photo>& photos, int width) {
  printf("\n### Rules at %d wide: sums over %zu photographs (ms, medians per photo)\n\n", width,
         photos.size());
  printf(
      "| rule | IDCT | upsampling | time ms | time / Pillow-like | mean PSNR dB | "
      "over Pillow-like dB | min PSNR dB | scales (1/8,1/4,1/2,1/1) |\n");
  printf("|---|---|---|---:|---:|---:|---:|---:|---|\n");
  auto total = [&](auto pick, bool fast, bool fancy, double* ms, double* mean, double* low,
                   std::string* scales) {
    *ms = 0, *mean = 0, *low = 1e9;
    int count[9] = {};
    for (const Photo& p : photos) {
      const auto [w, h] = p.target.at(width);
      const int e = pick(p, w, h);
      ++count[e];
      const Outcome o = p.at.at(width).at(key({e, fast, fancy}));
      *ms += o.ms, *mean += o.psnr / photos.size(), *low = std::min(*low, o.psnr);
    }
    *scales = std::to_string(count[1]) + "," + std::to_string(count[2]) + "," +
              std::to_string(count[4]) + "," + std::to_string(count[8]);
  };
  double base_ms, base_psnr, low;
  std::string scales;
  auto pillow = [](const Photo& p, int w, int h) { return pillow_scale(p.sw, p.sh, w, h); };
  total(pillow, true, false, &base_ms, &base_psnr, &low, &scales);
  printf("| Pillow-like draft | fast | plain | %.1f | 1.00 | %.2f | 0.00 | %.2f | %s |\n", base_ms,
         base_psnr, low, scales.c_str());
  for (double headroom : {1.0, 1.25, 1.5, 1.75, 2.0})
    for (int variant = 0; variant < 3; ++variant)
      for (bool fast : {false, true})
        for (bool fancy : {true, false}) {
          // Variants: headroom only; with exact fit; with exact fit and 1/8
          // for progressive photos that it covers. The IDCT and upsampling
          // are shown for the plain headroom rule only.
          if (variant > 0 && (fast || !fancy)) continue;
          const Rule rule{headroom, variant > 0, variant > 1};
          double ms, mean;
          auto pick = [rule](const Photo& p, int w, int h) {
            return rule_scale(p.sw, p.sh, p.progressive, w, h, rule);
          };
          total(pick, fast, fancy, &ms, &mean, &low, &scales);
          printf("| %.2fx%s%s | %s | %s | %.1f | %.2f | %.2f | %+.2f | %.2f | %s |\n", headroom,
                 rule.fit ? ", fit" : "", rule.progressive_1x ? ", progressive 1/8 at 1x" : "",
                 fast ? "fast" : "accurate", fancy ? "fancy" : "plain", ms, ms / base_ms, mean,
                 mean - base_psnr, low, scales.c_str());
        }
}

// TurboJPEG's whole-file decode at 1/8 against the decoder with scans left out.
void scans_table(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& files, int runs) {
  printf("\n### Progressive photographs at 1/8: TurboJPEG (whole file) against scans left out\n\n");
  printf(
      "| photo | TurboJPEG ms | scans left out ms | ratio | pixels identical "
      "|\n|---|---:|---:|---:|---|\n");
  double log_sum = 0;
  int n = 0;
  for (const auto& [name, jpeg] : files) {
    Result<JpegReader> probe = JpegReader::open(jpeg);
    if (!probe || !probe->info().progressive) continue;
    std::vector<double> tj_ms, ours_ms;
    std::vector<uint8_t> tj_pixels;
    Result<DecodedPhoto> ours = Error{Fault::kDecode, ""};
    for (int r = 0; r < runs; ++r) {
      double t0 = now_ms();
      Result<Image> tj = decode(jpeg, TJPF_BGR, ScalingFactor{1, 8});
      tj_ms.push_back(now_ms() - t0);
      tj_pixels.assign(tj->pixels.data(), tj->pixels.data() + size_t(tj->pitch) * tj->height);
      t0 = now_ms();
      Result<JpegReader> reader = JpegReader::open(jpeg);
      DecodeSettings s;
      s.eighths = 1;
      s.skip_unneeded_scans = true;
      ours = reader->decode(s);
      ours_ms.push_back(now_ms() - t0);
    }
    const bool same =
        ours && std::equal(tj_pixels.begin(), tj_pixels.end(), ours->image.pixels.data());
    const double ratio = median(ours_ms) / median(tj_ms);
    log_sum += std::log(ratio), ++n;
    printf("| %s | %.1f | %.1f | %.2f | %s |\n", name.c_str(), median(tj_ms), median(ours_ms),
           ratio, same ? "yes" : "NO");
  }
  if (n)
    printf("\nGeometric mean of the ratios over %d photographs: %.2f\n", n, std::exp(log_sum / n));
}

}  // namespace

int main(int argc, char** argv) {
  // The tool's allocator settings: libjpeg's large blocks stay on the heap.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  int runs = 5;
  bool scans = false;
  std::vector<int> widths = {640, 256};
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs" && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (a == "--widths" && i + 1 < argc) {
      widths.clear();
      for (const char* p = argv[++i]; *p; p += strcspn(p, ",") + (p[strcspn(p, ",")] != 0))
        widths.push_back(atoi(p));
    } else if (a == "--scans") {
      scans = true;
    } else {
      files.push_back({a.substr(a.find_last_of('/') + 1), read_all(argv[i])});
    }
  }
  if (scans) {
    scans_table(files, runs);
    return 0;
  }
  std::vector<Photo> photos;
  printf("| photo | size | progressive |%s\n|---|---|---|%s\n", "", "");
  for (const auto& [name, jpeg] : files) {
    Photo p;
    p.name = name;
    Result<JpegReader> r = JpegReader::open(jpeg);
    p.sw = r->info().width, p.sh = r->info().height;
    p.progressive = r->info().progressive;
    printf("| %s | %dx%d | %s |\n", name.c_str(), p.sw, p.sh, r->info().progressive ? "yes" : "no");
    fflush(stdout);
    for (int width : widths) {
      int w, h;
      p.at[width] = measure(jpeg, width, runs, &w, &h);
      p.target[width] = {w, h};
    }
    photos.push_back(std::move(p));
  }
  for (int width : widths) photo_table(photos, width);
  for (int width : widths) rules_table(photos, width);
}
