// The IPP-style resize layer and its kernels, reached through the internals:
// status codes, spec bounds, accuracy against a double-precision reference,
// geometry, tier agreement and memory safety, for three channels and one.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "resample/dispatch.h"
#include "resample/plan.h"

using qarvel::ResizeMethod;
using qarvel::ResizePlan;
using qarvel::detail::all_kernels;
using qarvel::detail::Kernels;
using qarvel::detail::scalar_kernels;

namespace {

using Bytes = std::vector<uint8_t>;

enum class Content { kNoise, kGradient, kLines, kStripes };

// Rows of w pixels of c interleaved channels, `pad` spare bytes after each.
struct Image {
  int w = 0, h = 0, c = 3, step = 0;
  Bytes px;
  Image() = default;
  Image(int width, int height, int pad = 0, int channels = 3)
      : w(width), h(height), c(channels), step(width * channels + pad) {
    px.assign(static_cast<size_t>(step) * height, 0);
  }
  uint8_t* at(int x, int y) { return &px[static_cast<size_t>(y) * step + c * x]; }
  const uint8_t* at(int x, int y) const { return &px[static_cast<size_t>(y) * step + c * x]; }
  // Channel k alone, as a one-channel image.
  Image plane(int k) const {
    Image p(w, h, 0, 1);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) *p.at(x, y) = at(x, y)[k];
    return p;
  }
};

Image make(int w, int h, Content content, unsigned seed = 7, int channels = 3) {
  Image img(w, h, 0, channels);
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < channels; ++c) {
        int v = 0;
        switch (content) {
          case Content::kNoise: v = static_cast<int>(rng() & 255); break;
          case Content::kGradient:
            v = c == 0 ? x * 255 / std::max(1, w - 1)
              : c == 1 ? y * 255 / std::max(1, h - 1)
                       : (x + y) * 255 / std::max(1, w + h - 2);
            break;
          case Content::kLines: v = (x % 7 == 3 || y % 11 == 5) ? 255 : 10 * c; break;
          case Content::kStripes: v = ((x + y * (c == 1)) & 1) ? 255 : 0; break;
        }
        img.at(x, y)[c] = static_cast<uint8_t>(v);
      }
  return img;
}

bool grows(int sw, int sh, int dw, int dh) { return sw < dw || sh < dh; }

ResizePlan plan_for(const Image& src, int dw, int dh,
                    ResizeMethod method = ResizeMethod::kAutomatic) {
  qarvel::Result<ResizePlan> plan = ResizePlan::create(src.w, src.h, dw, dh, src.c, method);
  EXPECT_TRUE(plan) << plan.error().message;
  return std::move(*plan);
}

// Resizes src into dst (already sized), with the tier given or the layer's own.
void run(const Image& src, Image& dst, const Kernels* kernels = nullptr,
         ResizeMethod method = ResizeMethod::kAutomatic) {
  const ResizePlan plan = plan_for(src, dst.w, dst.h, method);
  if (kernels) {
    plan.run_with(*kernels, src.px.data(), src.step, dst.px.data(), dst.step);
    return;
  }
  const qarvel::Status st = plan.run(src.px.data(), src.step, dst.px.data(), dst.step);
  ASSERT_TRUE(st) << st.error().message;
}

Image resized(const Image& src, int dw, int dh, const Kernels* kernels = nullptr) {
  Image dst(dw, dh, 0, src.c);
  run(src, dst, kernels);
  return dst;
}

// Exact weights of one axis, in double: area overlap when the axis does not
// grow, pixel-centre linear with clamped edges when it does.
std::vector<std::vector<std::pair<int, double>>> ref_axis(int ns, int nd) {
  std::vector<std::vector<std::pair<int, double>>> taps(nd);
  for (int x = 0; x < nd; ++x) {
    if (nd <= ns) {
      const double lo = double(x) * ns / nd, hi = double(x + 1) * ns / nd;
      for (int i = int(std::floor(lo)); i < ns && i < hi; ++i) {
        const double ov = std::min<double>(hi, i + 1) - std::max<double>(lo, i);
        if (ov > 0) taps[x].push_back({i, ov / (hi - lo)});
      }
    } else {
      double sx = (x + 0.5) * ns / nd - 0.5;
      sx = std::clamp(sx, 0.0, double(ns - 1));
      const int i0 = int(std::floor(sx));
      const int i1 = std::min(i0 + 1, ns - 1);
      const double t = sx - i0;
      taps[x].push_back({i0, 1 - t});
      if (t > 0) taps[x].push_back({i1, t});
    }
  }
  return taps;
}

std::vector<double> reference(const Image& src, int dw, int dh) {
  const auto tx = ref_axis(src.w, dw), ty = ref_axis(src.h, dh);
  const int c = src.c;
  std::vector<double> mid(static_cast<size_t>(dw) * src.h * c, 0.0);
  for (int y = 0; y < src.h; ++y)
    for (int x = 0; x < dw; ++x)
      for (auto [i, wt] : tx[x])
        for (int k = 0; k < c; ++k) mid[(size_t(y) * dw + x) * c + k] += wt * src.at(i, y)[k];
  std::vector<double> out(static_cast<size_t>(dw) * dh * c, 0.0);
  for (int y = 0; y < dh; ++y)
    for (auto [j, wt] : ty[y])
      for (int k = 0; k < dw * c; ++k) out[size_t(y) * dw * c + k] += wt * mid[size_t(j) * dw * c + k];
  return out;
}

struct ErrorStats {
  double max_abs = 0;
  double sum[3] = {0, 0, 0};
  double ideal_sum[3] = {0, 0, 0};  // what rounding the exact values would give
  long count = 0;
  long over_half = 0;
  void add(const Image& got, const std::vector<double>& ref) {
    for (int y = 0; y < got.h; ++y)
      for (int x = 0; x < got.w; ++x)
        for (int c = 0; c < got.c; ++c) {
          const double exact = ref[(size_t(y) * got.w + x) * got.c + c];
          const double e = got.at(x, y)[c] - exact;
          max_abs = std::max(max_abs, std::abs(e));
          sum[c] += e;
          ideal_sum[c] += std::nearbyint(exact) - exact;
          over_half += std::abs(e) > 0.5 + 1e-9;  // exact ties round either way
        }
    count += long(got.w) * got.h;
  }
};

struct Case {
  int sw, sh, dw, dh;
};

// Shrinks up to 64x, growth up to 32x, mixed directions, primes and 1-px edges.
const Case kMatrix[] = {
    {1, 1, 1, 1},      {1, 1, 3, 2},       {1, 7, 5, 1},       {7, 3, 3, 7},
    {7, 5, 3, 2},      {97, 61, 13, 7},    {256, 256, 4, 4},   {640, 9, 10, 9},
    {5, 3, 160, 96},   {31, 17, 997, 13},  {1000, 7, 999, 7},  {4000, 3, 3999, 2},
    {113, 127, 227, 61}, {200, 150, 201, 149}, {9000, 2, 141, 2}, {3, 2000, 2, 31},
    {211, 97, 211, 41}, {53, 29, 53, 89},  {64, 48, 2, 3},     {2, 2, 64, 61},
    {101, 103, 50, 51}, {37, 41, 111, 123}, {300, 200, 299, 4}, {17, 1, 5, 1},
    {1201, 901, 397, 301}, {640, 480, 1283, 967}, {2048, 64, 32, 1}, {3, 5, 96, 160},
};

}  // namespace

TEST(Layer, SizeQueryStatusesInCheckOrder) {
  int s = -1, b = -1;
  const IppiSize ok{40, 30}, small{20, 15};
  EXPECT_EQ(ippiResizeGetSize_8u(ok, small, ippLinear, 0, nullptr, &b), ippStsNullPtrErr);
  EXPECT_EQ(ippiResizeGetSize_8u(ok, small, ippLinear, 0, &s, nullptr), ippStsNullPtrErr);
  // A negative size outranks a zero one; both outrank a bad method.
  EXPECT_EQ(ippiResizeGetSize_8u({-1, 0}, small, IppiInterpolationType(3), 0, &s, &b), ippStsSizeErr);
  EXPECT_EQ(ippiResizeGetSize_8u(ok, {0, 15}, IppiInterpolationType(3), 0, &s, &b), ippStsNoOperation);
  EXPECT_EQ(ippiResizeGetSize_8u(ok, small, IppiInterpolationType(3), 0, &s, &b), ippStsInterpolationErr);
  for (auto m : {ippNearest, ippCubic, ippLanczos, ippHahn})
    EXPECT_EQ(ippiResizeGetSize_8u(ok, small, m, 0, &s, &b), ippStsNotSupportedModeErr) << m;
  EXPECT_EQ(ippiResizeGetSize_8u(small, ok, ippSuper, 0, &s, &b), ippStsSizeErr);
  EXPECT_EQ(ippiResizeGetSize_8u({INT_MAX, 1}, {1, INT_MAX}, ippLinear, 0, &s, &b), ippStsSizeErr);
  EXPECT_EQ(s, -1);  // nothing written on failure
  EXPECT_EQ(b, -1);
  EXPECT_EQ(ippiResizeGetSize_8u(ok, small, ippLinear, 0xFFFFFFFFu, &s, &b), ippStsNoErr);
  EXPECT_GT(s, 0);
  EXPECT_GT(b, 0);
  // Sources one pixel wide or tall are accepted for interpolation.
  EXPECT_EQ(ippiResizeGetSize_8u({1, 1}, {9, 4}, ippLinear, 0xFFFFFFFFu, &s, &b), ippStsNoErr);
}

TEST(Layer, InitAndBufferQueryStatuses) {
  std::vector<Ipp32f> mem(4096);
  auto* spec = reinterpret_cast<IppiResizeSpec_32f*>(mem.data());
  for (auto init : {ippiResizeSuperInit_8u, ippiResizeLinearInit_8u}) {
    EXPECT_EQ(init({8, 8}, {4, 4}, nullptr), ippStsNullPtrErr);
    EXPECT_EQ(init({-8, 8}, {0, 4}, spec), ippStsSizeErr);
    EXPECT_EQ(init({8, 8}, {4, 0}, spec), ippStsNoOperation);
  }
  EXPECT_EQ(ippiResizeSuperInit_8u({8, 8}, {9, 4}, spec), ippStsSizeErr);
  int n = -1;
  // Failed inits leave a spec that the buffer query refuses.
  EXPECT_EQ(ippiResizeGetBufferSize_8u(spec, {9, 4}, 3, &n), ippStsContextMatchErr);
  ASSERT_EQ(ippiResizeLinearInit_8u({8, 8}, {9, 4}, spec), ippStsNoErr);
  EXPECT_EQ(ippiResizeGetBufferSize_8u(nullptr, {9, 4}, 3, &n), ippStsNullPtrErr);
  EXPECT_EQ(ippiResizeGetBufferSize_8u(spec, {9, 4}, 3, nullptr), ippStsNullPtrErr);
  EXPECT_EQ(ippiResizeGetBufferSize_8u(spec, {-9, 0}, 2, &n), ippStsNumChannelsErr);
  EXPECT_EQ(ippiResizeGetBufferSize_8u(spec, {-9, 0}, 3, &n), ippStsSizeErr);
  EXPECT_EQ(ippiResizeGetBufferSize_8u(spec, {9, 0}, 3, &n), ippStsNoOperation);
  EXPECT_EQ(ippiResizeGetBufferSize_8u(spec, {9, 5}, 3, &n), ippStsSizeErr);
  EXPECT_EQ(n, -1);
  EXPECT_EQ(ippiResizeGetBufferSize_8u(spec, {9, 4}, 3, &n), ippStsNoErr);
  EXPECT_GT(n, 0);
  // A refused re-init invalidates a spec that was valid.
  EXPECT_EQ(ippiResizeSuperInit_8u({8, 8}, {9, 4}, spec), ippStsSizeErr);
  EXPECT_EQ(ippiResizeGetBufferSize_8u(spec, {9, 4}, 3, &n), ippStsContextMatchErr);
}

// Either channel count: the steps must hold a row of that many channels.
TEST(Layer, ResizeStatusesInCheckOrder) {
  for (int ch : {3, 1}) {
    SCOPED_TRACE(ch);
    Image src = make(8, 6, Content::kNoise, 7, ch), dst(4, 3, 0, ch);
    const ResizePlan super = plan_for(src, 4, 3, ResizeMethod::kSuper);
    const ResizePlan linear = plan_for(src, 4, 3, ResizeMethod::kLinear);
    int n = 0;
    ASSERT_EQ(ippiResizeGetBufferSize_8u(super.spec(), {4, 3}, ch, &n), 0);
    Bytes work(n);
    Ipp8u* buf = work.data();
    const uint8_t* s = src.px.data();
    uint8_t* d = dst.px.data();
    const IppiPoint o{0, 0};
    const IppiSize ds{4, 3};
    const IppiResizeSpec_32f* sp = super.spec();
    const auto resize = ch == 3 ? ippiResizeSuper_8u_C3R : ippiResizeSuper_8u_C1R;
    auto sup = [&](const uint8_t* sp_, int ss, uint8_t* dp, int dstep, IppiPoint off, IppiSize sz,
                   const IppiResizeSpec_32f* spec, Ipp8u* b) {
      return resize(sp_, ss, dp, dstep, off, sz, spec, b);
    };
    const int ss = 8 * ch, dst_row = 4 * ch;
    EXPECT_EQ(sup(nullptr, ss, d, dst_row, o, ds, sp, buf), ippStsNullPtrErr);
    EXPECT_EQ(sup(s, ss, nullptr, dst_row, o, ds, sp, buf), ippStsNullPtrErr);
    EXPECT_EQ(sup(s, ss, d, dst_row, o, ds, nullptr, buf), ippStsNullPtrErr);
    EXPECT_EQ(sup(s, ss, d, dst_row, o, ds, sp, nullptr), ippStsNullPtrErr);
    EXPECT_EQ(sup(s, ss, d, dst_row, o, ds, linear.spec(), buf), ippStsContextMatchErr);
    EXPECT_EQ(sup(s, 0, d, 0, o, {-4, 3}, sp, buf), ippStsSizeErr);
    EXPECT_EQ(sup(s, 0, d, 0, o, {4, 0}, sp, buf), ippStsNoOperation);
    EXPECT_EQ(sup(s, ss - 1, d, dst_row, o, ds, sp, buf), ippStsStepErr);
    EXPECT_EQ(sup(s, ss, d, dst_row - 1, o, ds, sp, buf), ippStsStepErr);
    EXPECT_EQ(sup(s, -ss, d, dst_row, o, ds, sp, buf), ippStsStepErr);
    EXPECT_EQ(sup(s, ss, d, dst_row, {1, 0}, ds, sp, buf), ippStsOutOfRangeErr);
    EXPECT_EQ(sup(s, ss, d, dst_row, o, {3, 3}, sp, buf), ippStsSizeErr);
    EXPECT_EQ(sup(s, ss, d, dst_row, o, ds, sp, buf), ippStsNoErr);

    const auto resize_linear = ch == 3 ? ippiResizeLinear_8u_C3R : ippiResizeLinear_8u_C1R;
    auto lin = [&](IppiBorderType border, const IppiResizeSpec_32f* spec, int step = -1) {
      return resize_linear(s, step < 0 ? ss : step, d, dst_row, o, ds, border, nullptr, spec, buf);
    };
    EXPECT_EQ(lin(ippBorderRepl, sp), ippStsContextMatchErr);
    EXPECT_EQ(lin(ippBorderRepl, linear.spec(), ss - 1), ippStsStepErr);
    EXPECT_EQ(lin(IppiBorderType(5), linear.spec()), ippStsBorderErr);
    EXPECT_EQ(lin(IppiBorderType(0x101), linear.spec()), ippStsBorderErr);
    EXPECT_EQ(lin(ippBorderConst, linear.spec()), ippStsNotSupportedModeErr);
    EXPECT_EQ(lin(ippBorderInMem, linear.spec()), ippStsNotSupportedModeErr);
    EXPECT_EQ(lin(IppiBorderType(ippBorderRepl | ippBorderInMemTop), linear.spec()),
              ippStsNotSupportedModeErr);
    EXPECT_EQ(lin(ippBorderRepl, linear.spec()), ippStsNoErr);
  }
}

// The plan refuses what the layer refuses, and channel counts it has no
// resize for.
TEST(Plan, RefusalsCarryTheirFault) {
  EXPECT_EQ(ResizePlan::create(8, 6, 4, 3, 4).error().fault, qarvel::Fault::kArgument);
  EXPECT_EQ(ResizePlan::create(8, 6, 4, 3, 0).error().fault, qarvel::Fault::kArgument);
  EXPECT_EQ(ResizePlan::create(8, 0, 4, 3, 1).error().fault, qarvel::Fault::kResample);
  EXPECT_EQ(ResizePlan::create(8, 6, 9, 3, 3, ResizeMethod::kSuper).error().fault,
            qarvel::Fault::kResample);
  qarvel::Result<ResizePlan> plan = ResizePlan::create(8, 6, 4, 3, 1);
  ASSERT_TRUE(plan);
  Bytes px(8 * 6);
  EXPECT_EQ(plan->run(px.data(), 7, px.data(), 4).error().fault, qarvel::Fault::kResample);
}

TEST(Layer, AllocatorAlignsAndRejectsEmptyRequests) {
  EXPECT_EQ(ippsMalloc_32f(0), nullptr);
  EXPECT_EQ(ippsMalloc_8u(-1), nullptr);
  Ipp32f* f = ippsMalloc_32f(3);
  Ipp8u* b = ippsMalloc_8u(1);
  ASSERT_TRUE(f && b);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(f) % 64, 0u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(b) % 64, 0u);
  f[2] = 1.0f;  // three whole floats are usable
  ippsFree(f);
  ippsFree(b);
  ippsFree(nullptr);
}

// Init gets exactly the queried bytes, at any alignment, for either method.
TEST(Layer, InitWritesStayWithinQueriedSize) {
  const Case cases[] = {{7680, 4320, 1920, 1080}, {1000, 500, 500, 600}, {3, 9000, 1, 1},
                        {1, 1, 4000, 3}, {4000, 3000, 3999, 2999}, {640, 480, 640, 480}};
  for (const Case& c : cases) {
    int size = 0, init = 0;
    ASSERT_EQ(ippiResizeGetSize_8u({c.sw, c.sh}, {c.dw, c.dh}, ippLinear, 0xFFFFFFFFu, &size, &init), 0);
    for (int misalign : {0, 4, 13}) {
      for (bool lin : {false, true}) {
        if (!lin && grows(c.sw, c.sh, c.dw, c.dh)) continue;
        Bytes mem(size_t(size) + misalign + 64, 0xA5);
        auto* spec = reinterpret_cast<IppiResizeSpec_32f*>(mem.data() + misalign);
        const IppiSize s{c.sw, c.sh}, d{c.dw, c.dh};
        ASSERT_EQ(lin ? ippiResizeLinearInit_8u(s, d, spec) : ippiResizeSuperInit_8u(s, d, spec), 0);
        for (int i = 0; i < misalign; ++i) ASSERT_EQ(mem[i], 0xA5);
        for (size_t i = size_t(size) + misalign; i < mem.size(); ++i)
          ASSERT_EQ(mem[i], 0xA5) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
      }
    }
  }
}

TEST(Resample, MatchesDoubleReferenceOverSizesAndContents) {
  for (int ch : {3, 1}) {
    ErrorStats all;
    for (Content content : {Content::kNoise, Content::kGradient, Content::kLines, Content::kStripes}) {
      ErrorStats total;
      for (const Case& c : kMatrix) {
        const Image src = make(c.sw, c.sh, content, c.sw * 31 + c.dh, ch);
        const Image got = resized(src, c.dw, c.dh);
        const std::vector<double> ref = reference(src, c.dw, c.dh);
        ErrorStats one;
        one.add(got, ref);
        total.add(got, ref);
        all.add(got, ref);
        EXPECT_LE(one.max_abs, 0.55) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh
                                     << " content " << int(content) << " channels " << ch;
      }
      const double over = double(total.over_half) / (double(ch) * total.count);
      EXPECT_LE(over, 0.001) << "content " << int(content) << " channels " << ch;
      // Bias of the method: mean error beyond what exact rounding leaves. (On
      // structured content a few exact fractions repeat many times, so even
      // exact rounding has a mean error there.)
      double bias = 0;
      for (int k = 0; k < ch; ++k) {
        const double b = (total.sum[k] - total.ideal_sum[k]) / total.count;
        EXPECT_LE(std::abs(b), 0.01) << "content " << int(content) << " channel " << k;
        if (std::abs(b) > std::abs(bias)) bias = b;
      }
      printf("channels %d, content %d: max %.4f, over 0.5 %.4f%%, mean %+.4f, bias %+.4f\n", ch,
             int(content), total.max_abs, 100 * over, total.sum[0] / total.count, bias);
    }
    for (int k = 0; k < ch; ++k) EXPECT_LE(std::abs(all.sum[k] / all.count), 0.01) << k;
  }
}

TEST(Resample, EqualSizesCopyExactly) {
  for (int ch : {3, 1}) {
    const Image src = make(67, 13, Content::kNoise, 7, ch);
    for (ResizeMethod method : {ResizeMethod::kSuper, ResizeMethod::kLinear}) {
      Image dst(67, 13, 0, ch);
      run(src, dst, nullptr, method);
      EXPECT_EQ(dst.px, src.px) << ch;
    }
  }
}

// Halving is exact: each output is the mean of its four pixels, rounded to
// nearest with ties to even.
TEST(Resample, HalvingRoundsTheMeanOfFourPixels) {
  for (int ch : {3, 1})
    for (int dw : {1, 7, 8, 37, 300}) {
      const Image src = make(2 * dw, 10, Content::kNoise, dw, ch);
      for (const Kernels* k : all_kernels()) {
        const Image got = resized(src, dw, 5, k);
        for (int y = 0; y < 5; ++y)
          for (int x = 0; x < dw; ++x)
            for (int c = 0; c < ch; ++c) {
              const int sum = src.at(2 * x, 2 * y)[c] + src.at(2 * x + 1, 2 * y)[c] +
                              src.at(2 * x, 2 * y + 1)[c] + src.at(2 * x + 1, 2 * y + 1)[c];
              ASSERT_EQ(got.at(x, y)[c], std::nearbyint(sum / 4.0)) << k->name << " " << dw;
            }
      }
    }
}

// Growing by an odd factor puts every third output centre on a source pixel
// centre: a whole weight, which must reproduce the pixel exactly in every
// tier, on both axes and at the replicated edges.
TEST(Resample, OddGrowthKeepsAlignedPixelsExactly) {
  const Image src = make(37, 11, Content::kNoise, 5);
  for (const Kernels* k : all_kernels()) {
    const Image got = resized(src, 3 * 37, 3 * 11, k);
    for (int y = 0; y < 11; ++y)
      for (int x = 0; x < 37; ++x)
        ASSERT_EQ(std::memcmp(got.at(3 * x + 1, 3 * y + 1), src.at(x, y), 3), 0)
            << k->name << " at " << x << "," << y;
    // The first and last outputs clamp to the edge pixels.
    ASSERT_EQ(std::memcmp(got.at(0, 0), src.at(0, 0), 3), 0) << k->name;
    ASSERT_EQ(std::memcmp(got.at(3 * 37 - 1, 3 * 11 - 1), src.at(36, 10), 3), 0) << k->name;
  }
}

TEST(Resample, ConstantStaysConstant) {
  const Case cases[] = {{97, 61, 13, 7}, {5, 3, 160, 96}, {1000, 9, 999, 8}, {31, 17, 997, 13},
                        {256, 64, 4, 1}, {53, 29, 53, 89}};
  for (const Case& c : cases) {
    Image src(c.sw, c.sh);
    for (int y = 0; y < c.sh; ++y)
      for (int x = 0; x < c.sw; ++x) std::memcpy(src.at(x, y), "\x00\x7f\xff", 3);
    const Image got = resized(src, c.dw, c.dh);
    for (int y = 0; y < c.dh; ++y)
      for (int x = 0; x < c.dw; ++x)
        ASSERT_EQ(std::memcmp(got.at(x, y), "\x00\x7f\xff", 3), 0) << c.sw << "->" << c.dw;
  }
}

TEST(Resample, MirroredInputGivesMirroredOutput) {
  const Case cases[] = {{97, 61, 13, 7}, {5, 3, 160, 96}, {113, 127, 227, 61}, {200, 150, 201, 149}};
  for (const Case& c : cases) {
    const Image src = make(c.sw, c.sh, Content::kNoise);
    Image flipped(c.sw, c.sh);
    for (int y = 0; y < c.sh; ++y)
      for (int x = 0; x < c.sw; ++x) std::memcpy(flipped.at(c.sw - 1 - x, c.sh - 1 - y), src.at(x, y), 3);
    const Image a = resized(src, c.dw, c.dh), b = resized(flipped, c.dw, c.dh);
    for (int y = 0; y < c.dh; ++y)
      for (int x = 0; x < c.dw; ++x)
        ASSERT_EQ(std::memcmp(a.at(x, y), b.at(c.dw - 1 - x, c.dh - 1 - y), 3), 0)
            << c.sw << "->" << c.dw << " at " << x << "," << y;
  }
}

TEST(Resample, OnePixelLineSurvivesAnyShrink) {
  for (int ratio_x8 : {12, 16, 24, 60, 128, 512}) {  // 1.5x to 64x
    const int sw = 256, dw = sw * 8 / ratio_x8;
    for (int pos : {0, 1, 37, 128, 255}) {
      Image src(sw, 3);
      for (int y = 0; y < 3; ++y) std::memset(src.at(pos, y), 255, 3);
      const Image got = resized(src, dw, 2);
      int brightest = 0;
      for (uint8_t v : got.px) brightest = std::max<int>(brightest, v);
      // A line split between two cells gives each at least half its share.
      EXPECT_GE(brightest, 255 * dw / (2 * sw)) << "ratio " << ratio_x8 / 8.0 << " at " << pos;
    }
  }
}

class Tier : public testing::TestWithParam<const Kernels*> {};

// Sizes for comparing tiers: every width from 1 to 67, random sizes, and the
// shapes with paths of their own.
std::vector<Case> tier_cases() {
  std::mt19937 rng(42);
  std::vector<Case> cases;
  for (int sw = 1; sw <= 67; ++sw) {
    const int dw = 1 + int(rng() % 67);
    cases.push_back({sw, 1 + int(rng() % 9), dw, 1 + int(rng() % 9)});
  }
  for (int i = 0; i < 40; ++i)
    cases.push_back({1 + int(rng() % 400), 1 + int(rng() % 60), 1 + int(rng() % 400), 1 + int(rng() % 60)});
  // Shapes with dedicated paths: 2:1 boxes, two and four taps, near 1x.
  for (Case c : {Case{4000, 3, 3999, 2}, Case{1920, 4, 3840, 8}, Case{128, 40, 64, 20},
                 Case{250, 30, 100, 12}, Case{400, 10, 160, 23}, Case{333, 8, 101, 4},
                 Case{1201, 901, 397, 301}, Case{640, 480, 1283, 967}, Case{4000, 3, 2000, 4},
                 Case{900, 20, 100, 3}, Case{700, 4, 60, 9}})
    cases.push_back(c);
  // 2:1 widths with a growing height: pixel pairs in the horizontal pass.
  for (int dw = 1; dw <= 40; ++dw) cases.push_back({2 * dw, 2, dw, 3});
  return cases;
}

TEST_P(Tier, EqualsScalarBitForBit) {
  for (const Case& c : tier_cases()) {
    const Image src = make(c.sw, c.sh, Content::kNoise, c.sw + c.dw);
    const Image want = resized(src, c.dw, c.dh, &scalar_kernels());
    const Image got = resized(src, c.dw, c.dh, GetParam());
    ASSERT_EQ(got.px, want.px) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh;
  }
}

// One channel has the same weights and rounding as three: each channel of a
// three-channel resize by the scalar tier, resized alone by this tier.
TEST_P(Tier, OneChannelEqualsEachChannelOfThree) {
  for (const Case& c : tier_cases()) {
    const Image src = make(c.sw, c.sh, Content::kNoise, c.sw + c.dw);
    const Image want = resized(src, c.dw, c.dh, &scalar_kernels());
    for (int k = 0; k < 3; ++k)
      ASSERT_EQ(resized(src.plane(k), c.dw, c.dh, GetParam()).px, want.plane(k).px)
          << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh << " channel " << k;
  }
}

// Rows end right before a PROT_NONE page, both in the source and in the
// destination, so any read or write past the last byte faults.
TEST_P(Tier, StaysInsideBuffersThatEndAtAGuardPage) {
  const long page = sysconf(_SC_PAGESIZE);
  auto guarded = [page](size_t bytes) {
    const size_t span = (bytes + page - 1) / page * page;
    auto* base = static_cast<uint8_t*>(
        mmap(nullptr, span + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    EXPECT_NE(base, MAP_FAILED);
    EXPECT_EQ(mprotect(base + span, page, PROT_NONE), 0);
    return std::pair<uint8_t*, size_t>(base + span - bytes, span + page);
  };
  const Case cases[] = {{301, 7, 100, 3}, {50, 9, 173, 20}, {64, 64, 64, 64}, {97, 5, 97, 3},
                        {37, 3, 37, 9}, {8, 40, 33, 20}, {1, 1, 35, 3}, {4000, 2, 3999, 1}, {35, 2, 1, 1},
                        {74, 6, 37, 3}, {16, 2, 8, 1}, {250, 3, 100, 1}, {1, 1, 2, 2},
                        {11, 2, 22, 4}, {12, 3, 24, 6}, {101, 3, 202, 6}, {74, 2, 37, 3},
                        {4000, 2, 2000, 3}, {97, 3, 40, 7}};
  for (int ch : {3, 1})
    for (const Case& c : cases) {
      const Image src = make(c.sw, c.sh, Content::kNoise, 7, ch);
      const Image want = resized(src, c.dw, c.dh, &scalar_kernels());
      const size_t sbytes = src.px.size(), dbytes = size_t(c.dw) * c.dh * ch;
      auto [s, smap] = guarded(sbytes);
      auto [d, dmap] = guarded(dbytes);
      std::memcpy(s, src.px.data(), sbytes);
      plan_for(src, c.dw, c.dh).run_with(*GetParam(), s, c.sw * ch, d, c.dw * ch);
      EXPECT_EQ(std::memcmp(d, want.px.data(), dbytes), 0) << c.sw << "->" << c.dw << " " << ch;
      munmap(s + sbytes - smap + page, smap);
      munmap(d + dbytes - dmap + page, dmap);
    }
}

// The exact-ratio shortcuts (2:1 box, 2x enlargement) give what the general
// two passes give, at every width the SIMD loops split differently, in every
// tier, and for every content.
TEST_P(Tier, RatioShortcutsEqualGeneralPasses) {
  std::vector<Case> cases;
  for (int sw = 1; sw <= 45; ++sw)
    for (int sh : {1, 2, 3, 6}) cases.push_back({sw, sh, 2 * sw, 2 * sh});
  for (int dw = 1; dw <= 45; ++dw) cases.push_back({2 * dw, 4, dw, 2});
  for (Case c : {Case{1920, 4, 3840, 8}, Case{333, 7, 666, 14}, Case{1001, 2, 2002, 4},
                 Case{4000, 4, 2000, 2}})
    cases.push_back(c);
  for (int ch : {3, 1})
    for (const Case& c : cases)
      for (Content content : {Content::kNoise, Content::kStripes, Content::kLines}) {
        const Image src = make(c.sw, c.sh, content, c.sw * 31 + c.sh, ch);
        Image want(c.dw, c.dh, 0, ch), got(c.dw, c.dh, 0, ch);
        plan_for(src, c.dw, c.dh)
            .run_with(scalar_kernels(), src.px.data(), src.step, want.px.data(), want.step, false);
        plan_for(src, c.dw, c.dh)
            .run_with(*GetParam(), src.px.data(), src.step, got.px.data(), got.step);
        ASSERT_EQ(got.px, want.px) << c.sw << "x" << c.sh << " -> " << c.dw << "x" << c.dh
                                   << " channels " << ch;
      }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, Tier, testing::ValuesIn(all_kernels()),
                         [](const auto& info) { return std::string(info.param->name); });

TEST(Resample, WidersStepsLeaveGapsUntouchedAndWholeDestinationWritten) {
  const Case cases[] = {{97, 61, 13, 7}, {5, 3, 160, 96}, {113, 127, 227, 61}, {40, 30, 40, 30}};
  for (const Case& c : cases) {
    const Image tight = make(c.sw, c.sh, Content::kGradient);
    const Image want = resized(tight, c.dw, c.dh);
    Image src(c.sw, c.sh, 13);
    for (int y = 0; y < c.sh; ++y) std::memcpy(src.at(0, y), tight.at(0, y), c.sw * 3);
    for (uint8_t fill : {0x00, 0xFF}) {
      Image dst(c.dw, c.dh, 7);
      std::fill(dst.px.begin(), dst.px.end(), fill);
      run(src, dst);
      for (int y = 0; y < c.dh; ++y) {
        ASSERT_EQ(std::memcmp(dst.at(0, y), want.at(0, y), c.dw * 3), 0) << c.sw << "->" << c.dw;
        for (int g = c.dw * 3; g < dst.step; ++g) ASSERT_EQ(dst.px[size_t(y) * dst.step + g], fill);
      }
    }
  }
}

TEST(Resample, SharedSpecServesSeveralThreads) {
  const Image src = make(401, 301, Content::kNoise);
  const Image want = resized(src, 123, 97);
  const ResizePlan plan = plan_for(src, 123, 97);
  int buf_size = 0;
  ASSERT_EQ(ippiResizeGetBufferSize_8u(plan.spec(), {123, 97}, 3, &buf_size), 0);
  std::vector<Image> out(4, Image(123, 97));
  std::vector<std::thread> threads;
  for (auto& o : out)
    threads.emplace_back([&] {
      for (int rep = 0; rep < 5; ++rep) {
        Ipp8u* buf = ippsMalloc_8u(buf_size);
        EXPECT_EQ(ippiResizeSuper_8u_C3R(src.px.data(), src.step, o.px.data(), o.step, {0, 0},
                                         {123, 97}, plan.spec(), buf), 0);
        ippsFree(buf);
      }
    });
  for (auto& t : threads) t.join();
  for (const auto& o : out) EXPECT_EQ(o.px, want.px);
}
