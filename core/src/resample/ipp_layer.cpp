// The IPP-compatible resize layer: size queries, spec set-up and the two
// 3-channel resizes, over the fixed-point kernels of resample.h.
//
// A spec holds a 64-byte header and, per axis, an index table (first source
// pixel of each output's window) and a weight table (taps per output, negated
// as resample.h describes, padded with zeros to an even stride). Windows are
// slid left to stay inside the image, so a kernel may read every tap without
// bounds checks.
#include "resample/ipp_layer.h"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qarvel::detail {
namespace {

constexpr uint32_t kMagic = 0x50535251;  // "QRSP"
constexpr uint16_t kLayoutVersion = 3;
constexpr int64_t kHeaderBytes = 64;
constexpr int64_t kAlign = 64;
constexpr int kInitBufSize = 64;
// Elements of an intermediate row made per step when the vertical pass runs
// first: 4 KB of int32 words, with the source bytes, well inside L1.
constexpr int kStrip = 1024;
// Pixels of a planar row made per step: the same bytes of planes.
constexpr int kPlaneStrip = 320;

enum Method : uint16_t { kMethodSuper = 1, kMethodLinear = 2 };
enum AxisFlag : uint32_t { kIdentity = 1, kAreaWeights = 2 };

struct Axis {
  int32_t taps;           // weight stride T, even
  uint32_t index_offset;  // from the specification buffer: nd int32 window starts
  uint32_t weight_offset; // from the specification buffer: nd * T int16 weights
  uint32_t flags;
};

struct SpecHeader {
  uint32_t magic;
  uint16_t version;
  uint16_t method;
  int32_t src_w, src_h, dst_w, dst_h;
  Axis x, y;
};
static_assert(sizeof(SpecHeader) <= kHeaderBytes, "the header fits its cache line");

int64_t align64(int64_t v) { return (v + kAlign - 1) & ~(kAlign - 1); }

template <typename T>
T* align_ptr(T* p) {
  const auto a = reinterpret_cast<uintptr_t>(p);
  return reinterpret_cast<T*>((a + kAlign - 1) & ~static_cast<uintptr_t>(kAlign - 1));
}

// Upper bound of the tap stride: area windows on an axis that does not grow
// touch at most ceil(ns / nd) + 1 pixels; a growing axis interpolates 2.
int64_t taps_bound(int64_t ns, int64_t nd) {
  if (nd > ns) return 2;
  const int64_t t = (ns + nd - 1) / nd + 1;
  return (t + 1) & ~int64_t{1};
}

int64_t spec_size(IppiSize src, IppiSize dst) {
  const int64_t tx = taps_bound(src.width, dst.width);
  const int64_t ty = taps_bound(src.height, dst.height);
  return 2 * kAlign + align64(4 * int64_t{dst.width}) + align64(2 * tx * dst.width) +
         align64(4 * int64_t{dst.height}) + align64(2 * ty * dst.height);
}

// First pixel of a window of `taps` pixels that must hold pixel `first`:
// slid left when the stride would run past the last pixel, so kernels may
// read every tap. Images narrower than the stride keep `first`.
int64_t window_start(int64_t ns, int taps, int64_t first) {
  return ns >= taps && first + taps > ns ? ns - taps : first;
}

// Builds one axis at `offset` from the base; returns the bytes it takes.
// Area weights: output X covers [X*ns, (X+1)*ns) in units where a source
// pixel is nd long, and each pixel weighs its integer overlap. Linear: the
// pixel-centre position (X + 0.5) * ns / nd - 0.5, clamped to the image.
int64_t build_axis(uint8_t* base, int64_t offset, int64_t ns, int64_t nd, bool area, int scale,
                   Axis* axis) {
  int taps = 2;
  if (area) {
    int64_t widest = 1;
    for (int64_t x = 0; x < nd; ++x) {
      const int64_t first = x * ns / nd;
      const int64_t last = ((x + 1) * ns - 1) / nd;
      if (last - first + 1 > widest) widest = last - first + 1;
    }
    taps = static_cast<int>((widest + 1) & ~int64_t{1});
  }
  axis->taps = taps;
  axis->index_offset = static_cast<uint32_t>(offset);
  axis->weight_offset = static_cast<uint32_t>(offset + align64(4 * nd));
  axis->flags = (ns == nd ? kIdentity : 0u) | (area ? kAreaWeights : 0u);
  auto* index = reinterpret_cast<int32_t*>(base + axis->index_offset);
  auto* weights = reinterpret_cast<int16_t*>(base + axis->weight_offset);

  for (int64_t x = 0; x < nd; ++x) {
    int16_t* wx = weights + x * taps;
    std::memset(wx, 0, sizeof(int16_t) * taps);
    if (area) {
      const int64_t lo = x * ns;
      const int64_t hi = lo + ns;
      const int64_t first = lo / nd;
      const int64_t last = (hi - 1) / nd;
      const int64_t start = window_start(ns, taps, first);
      index[x] = static_cast<int32_t>(start * scale);
      // Cumulative rounding: each weight is the step between rounded running
      // totals, so the weights sum to exactly kWeightOne (stored negated).
      int64_t cum = 0;
      int64_t prev = 0;
      for (int64_t i = first; i <= last; ++i) {
        const int64_t a = lo > i * nd ? lo : i * nd;
        const int64_t b = hi < (i + 1) * nd ? hi : (i + 1) * nd;
        cum += b - a;
        const int64_t r = (cum * kWeightOne + ns / 2) / ns;
        wx[i - start] = static_cast<int16_t>(prev - r);
        prev = r;
      }
    } else {
      // In halves of a destination pixel: position (2X + 1) * ns - nd over 2 * nd.
      const int64_t n = (2 * x + 1) * ns - nd;
      const int64_t d = 2 * nd;
      int64_t i0 = n > 0 ? n / d : 0;
      int64_t rem = n > 0 ? n % d : 0;
      if (i0 >= ns - 1) {
        i0 = ns - 1;
        rem = 0;
      }
      const int64_t start = window_start(ns, taps, i0);
      index[x] = static_cast<int32_t>(start * scale);
      const int64_t q0 = ((d - rem) * kWeightOne + d / 2) / d;
      wx[i0 - start] = static_cast<int16_t>(-q0);
      if (i0 + 1 < ns) wx[i0 + 1 - start] = static_cast<int16_t>(q0 - kWeightOne);
    }
  }
  return align64(4 * nd) + align64(2 * int64_t{taps} * nd);
}

SpecHeader read_header(const IppiResizeSpec_32f* spec) {
  SpecHeader h;
  std::memcpy(&h, spec, sizeof h);
  return h;
}

bool valid_header(const SpecHeader& h) {
  return h.magic == kMagic && h.version == kLayoutVersion;
}

// Element offsets are int32, so a row's bytes must fit an int.
bool row_fits(int width) { return width <= INT_MAX / 3; }

IppStatus init(IppiSize src, IppiSize dst, IppiResizeSpec_32f* spec, Method method) {
  if (!spec) return ippStsNullPtrErr;
  // A failed init must never leave a spec that looks valid.
  std::memset(spec, 0, sizeof(uint32_t));
  if (src.width < 0 || src.height < 0 || dst.width < 0 || dst.height < 0) return ippStsSizeErr;
  if (src.width == 0 || src.height == 0 || dst.width == 0 || dst.height == 0)
    return ippStsNoOperation;
  if (method == kMethodSuper && (dst.width > src.width || dst.height > src.height))
    return ippStsSizeErr;
  if (!row_fits(src.width) || !row_fits(dst.width) || spec_size(src, dst) > INT_MAX / 4)
    return ippStsSizeErr;

  auto* base = reinterpret_cast<uint8_t*>(spec);
  // Tables start at the first 64-byte boundary after the header, inside the
  // slack that the specification size reserves, whatever the base's alignment.
  const int64_t tables = align_ptr(base + kHeaderBytes) - base;
  SpecHeader h = {};
  h.version = kLayoutVersion;
  h.method = method;
  h.src_w = src.width;
  h.src_h = src.height;
  h.dst_w = dst.width;
  h.dst_h = dst.height;
  const bool area_x = method == kMethodSuper || dst.width <= src.width;
  const bool area_y = method == kMethodSuper || dst.height <= src.height;
  const int64_t x_bytes = build_axis(base, tables, src.width, dst.width, area_x, 3, &h.x);
  build_axis(base, tables + x_bytes, src.height, dst.height, area_y, 1, &h.y);
  std::memcpy(base, &h, sizeof h);
  // The magic goes in last.
  const uint32_t magic = kMagic;
  std::memcpy(base, &magic, sizeof magic);
  return ippStsNoErr;
}

// Vertical first when the height shrinks (see pick_strategy).
bool vertical_first(const SpecHeader& h) { return h.dst_h < h.src_h; }

// The second pass's pair for weight w: lo's weight, w / 2^kLoBits rounded,
// in the low half and w in the high half, matching an intermediate word.
int32_t weight_pair(int16_t w) {
  const int lo_w = (w + (1 << (kLoBits - 1))) >> kLoBits;
  return static_cast<int32_t>(static_cast<uint16_t>(lo_w) |
                              static_cast<uint32_t>(static_cast<uint16_t>(w)) << 16);
}

struct WorkLayout {
  int64_t row_bytes;  // one int32 intermediate row, with tail padding
  int64_t pointers;   // offset of 2 Ty row pointers
  int64_t weights;    // offset of Ty int32 weight pairs
  int64_t x_pairs;    // offset of the x axis's laid-out weight pairs (vertical first)
  int64_t slots;      // offset of Ty int32 ring-slot tags
  int64_t planes;     // offset of the planar intermediate (vertical first, few x taps)
  int64_t plane_stride;  // pixels per plane
  int64_t groups;        // offset of the planar pass's gather tables
  int64_t total;
};

WorkLayout work_layout(const SpecHeader& h, int64_t channels) {
  WorkLayout l;
  const int64_t ty = h.y.taps;
  const bool vfirst = vertical_first(h);
  l.row_bytes = align64((vfirst ? h.src_w : h.dst_w) * channels * 4 + kAlign);
  l.pointers = l.row_bytes * (vfirst ? 1 : ty);
  // Ty row pointers, and as many more for the rows read ahead.
  l.weights = l.pointers + align64(2 * ty * static_cast<int64_t>(sizeof(void*)));
  l.slots = l.weights + align64(ty * 4);
  l.x_pairs = l.slots + align64(ty * 4);
  const int64_t pair_bytes = pair_table_ints(h.dst_w, h.x.taps) * 4;
  l.planes = l.x_pairs + (vfirst ? align64(pair_bytes) : 0);
  // Planes hold a whole gather window past the last pixel.
  l.plane_stride = align64(h.src_w + kPlaneWindow);
  const bool planar = vfirst && h.x.taps <= kMaxPlaneTaps;
  l.groups = l.planes + (planar ? 3 * 3 * l.plane_stride : 0);
  const int64_t n_groups = (h.dst_w + kPlaneGroup - 1) / kPlaneGroup;
  l.total = l.groups + (planar ? n_groups * plane_group_bytes(h.x.taps) : 0) + kAlign;
  return l;
}

void run_h_first(const Kernels& k, const uint8_t* src, int src_len, int32_t* dst,
                 const int32_t* offs, const int16_t* w, int taps, int n) {
  const int done = k.h_first(src, src_len, dst, offs, w, taps, 0, n);
  scalar_kernels().h_first(src, src_len, dst, offs, w, taps, done, n);
}

void run_h_second(const Kernels& k, const int32_t* src, int src_len, uint8_t* dst,
                  const int32_t* offs, const int32_t* w, int taps, int x0, int x1) {
  const int done = k.h_second(src, src_len, dst, offs, w, taps, x0, x1);
  scalar_kernels().h_second(src, src_len, dst, offs, w, taps, done, x1);
}

void run_v_first(const Kernels& k, const uint8_t* const* rows, const int16_t* w, int n_rows,
                 int32_t* dst, int i0, int i1) {
  const int done = k.v_first(rows, w, n_rows, dst, i0, i1);
  scalar_kernels().v_first(rows, w, n_rows, dst, done, i1);
}

void run_v_planes(const Kernels& k, const uint8_t* const* rows, int src_len, const int16_t* w,
                  int n_rows, const Planes& out, int p0, int p1) {
  const int done = k.v_planes(rows, src_len, w, n_rows, out, p0, p1);
  v_planes_scalar(rows, src_len, w, n_rows, out, done, p1);
}

void run_h_planes(const Kernels& k, const Planes& in, uint8_t* dst, const int32_t* offs,
                  const int16_t* w, int taps, const uint8_t* groups, int x0, int x1) {
  const int done = k.h_planes(in, dst, offs, w, taps, groups, x0, x1);
  h_planes_scalar(in, dst, offs, w, taps, groups, done, x1);
}

void run_v_second(const Kernels& k, const int32_t* const* rows, const int32_t* w, int n_rows,
                  uint8_t* dst, int n) {
  const int done = k.v_second(rows, w, n_rows, dst, 0, n);
  scalar_kernels().v_second(rows, w, n_rows, dst, done, n);
}

// Asks for bytes [b0, b1) of a source row ahead of their use: rows read a
// few side by side, each once, leave the memory latency exposed. On the
// 3.125:1 shrink the vertical pass took 2.6 ms with the hardware prefetcher
// alone and 1.6 ms with these requests an output row ahead.
void prefetch_row(const uint8_t* row, int b0, int b1) {
  for (int b = b0; b < b1; b += 64) __builtin_prefetch(row + b);
}

// Rows the horizontal pass prefetches ahead of the one it filters.
constexpr int kPrefetchRows = 4;

bool legal_border(int border) {
  const int base = border & 0xF;
  if (border & ~0xFF) return false;
  return base == ippBorderConst || base == ippBorderRepl || base == ippBorderWrap ||
         base == ippBorderMirror || base == ippBorderMirrorR || base == ippBorderInMem ||
         base == ippBorderTransp;
}

IppStatus check_resize(const Ipp8u* src, int src_step, const Ipp8u* dst, int dst_step,
                       IppiPoint offset, IppiSize size, const IppiResizeSpec_32f* spec,
                       const Ipp8u* buffer, Method method) {
  if (!src || !dst || !spec || !buffer) return ippStsNullPtrErr;
  const SpecHeader h = read_header(spec);
  if (!valid_header(h) || h.method != method) return ippStsContextMatchErr;
  if (size.width < 0 || size.height < 0) return ippStsSizeErr;
  if (size.width == 0 || size.height == 0) return ippStsNoOperation;
  if (int64_t{src_step} < int64_t{h.src_w} * 3 || int64_t{dst_step} < int64_t{size.width} * 3)
    return ippStsStepErr;
  // Whole images only: no tiles.
  if (offset.x != 0 || offset.y != 0) return ippStsOutOfRangeErr;
  if (size.width != h.dst_w || size.height != h.dst_h) return ippStsSizeErr;
  return ippStsNoErr;
}

// A whole weight, the only tap of an axis that keeps its size.
constexpr int16_t kWholeWeight = -kWeightOne;

// What every strategy below reads: the header, the axis tables inside the
// spec, the images and the aligned work area.
struct Job {
  const Kernels& k;
  SpecHeader h;
  const int32_t* x_index;
  const int16_t* x_weights;
  const int32_t* y_index;
  const int16_t* y_weights;
  const uint8_t* src;
  int src_step;
  uint8_t* dst;
  int dst_step;
  uint8_t* work;
  WorkLayout l;

  const uint8_t* src_row(int y) const { return src + static_cast<ptrdiff_t>(y) * src_step; }
  uint8_t* dst_row(int y) const { return dst + static_cast<ptrdiff_t>(y) * dst_step; }
  int src_len() const { return h.src_w * 3; }
  int dst_len() const { return h.dst_w * 3; }
  bool x_identity() const { return (h.x.flags & kIdentity) != 0; }
};

void copy_rows(const Job& j) {
  for (int y = 0; y < j.h.dst_h; ++y) std::memcpy(j.dst_row(y), j.src_row(y), j.dst_len());
}

// 2:1 on both axes: a single pass over row pairs, the same values as the two
// passes with their half weights.
void shrink_box2(const Job& j) {
  for (int y = 0; y < j.h.dst_h; ++y) {
    const uint8_t* a = j.src_row(2 * y);
    const uint8_t* b = a + j.src_step;
    uint8_t* out = j.dst_row(y);
    const int done = j.k.box2(a, b, j.src_len(), out, 0, j.h.dst_w);
    scalar_kernels().box2(a, b, j.src_len(), out, done, j.h.dst_w);
  }
}

// 2x linear on both axes: exact 16-bit passes (resample.h), the same values
// as the two general passes. Source rows are widened once into a ring of two
// 16-bit rows, in the general path's row area (ty is 2).
void grow_up2(const Job& j) {
  const Kernels& ref = scalar_kernels();
  const int w = j.h.src_w;
  int cached[2] = {-1, -1};
  auto widened = [&](int r) {
    auto* row = reinterpret_cast<uint16_t*>(j.work + (r & 1) * j.l.row_bytes);
    if (cached[r & 1] != r) {
      const uint8_t* in = j.src_row(r);
      ref.up2_row(in, w, row, 0, 1);
      const int done = j.k.up2_row(in, w, row, 1, w);
      ref.up2_row(in, w, row, done, w);
      cached[r & 1] = r;
    }
    return row;
  };
  // Rows 2j - 1 and 2j take 3/4 and 1/4 of source row j - 1, the rest of
  // row j; rows 0 and 2H - 1 are an edge row blended with itself, one call
  // writing the same row through both outputs.
  auto blend = [&](int r0, int r1, int y) {
    const uint16_t* p = widened(r0);
    const uint16_t* q = widened(r1);
    uint8_t* a = j.dst_row(y);
    uint8_t* b = r0 == r1 ? a : a + j.dst_step;
    const int done = j.k.up2_blend(p, q, a, b, 0, j.dst_len());
    ref.up2_blend(p, q, a, b, done, j.dst_len());
  };
  blend(0, 0, 0);
  for (int r = 1; r < j.h.src_h; ++r) blend(r - 1, r, 2 * r - 1);
  blend(j.h.src_h - 1, j.h.src_h - 1, j.h.dst_h - 1);
}

// The x axis's weights as the horizontal second pass takes them (resample.h).
void lay_out_x_pairs(const Job& j, int32_t* x_pairs) {
  const int tx = j.h.x.taps;
  for (int x = 0; x < j.h.dst_w; ++x)
    for (int t = 0; t < tx; t += 2) {
      const int16_t* wx = j.x_weights + static_cast<ptrdiff_t>(x) * tx;
      int32_t* block = x_pairs + pair_block(x, tx) + pair_tap(t);
      const int32_t p0 = weight_pair(wx[t]), p1 = weight_pair(wx[t + 1]);
      for (int c = 0; c < 3; ++c) {
        block[c] = p0;
        block[3 + c] = p1;
      }
      block[6] = block[7] = 0;
      if (tx == 2) {
        int32_t* by_element = x_pairs + pair_run(x);
        for (int c = 0; c < 3; ++c) {
          by_element[c] = p0;
          by_element[kRunInts + c] = p1;
        }
        x_pairs[pair_run_pairs(x)] = p0;
        x_pairs[pair_run_pairs(x) + kRunGroup] = p1;
      }
    }
}

// One output row, vertical pass first, made and consumed a strip at a time
// so the intermediate is still in L1 when the horizontal pass reads it. Each
// strip serves the outputs whose windows it completes; the last serves the
// rest. Each strip first asks for the same bytes of the rows the next output
// row adds (`ahead`), an output row before they are read.
void strip_row(const Job& j, const uint8_t* const* rows, const int16_t* w, int n,
               const uint8_t* const* ahead, int n_ahead, int32_t* mid, const int32_t* x_pairs,
               uint8_t* out) {
  const int src_len = j.src_len();
  const int tx = j.h.x.taps;
  int x = 0;
  for (int e0 = 0; e0 < src_len;) {
    const int e1 = src_len - e0 > kStrip ? e0 + kStrip : src_len;
    for (int a = 0; a < n_ahead; ++a) prefetch_row(ahead[a], e0, e1);
    run_v_first(j.k, rows, w, n, mid, e0, e1);
    int x_end = x;
    if (e1 == src_len) {
      x_end = j.h.dst_w;
    } else {
      // Whole groups of 16 outputs, each window and the two words after
      // it made, so the SIMD kernels take all of them.
      x_end = static_cast<int>(
          std::partition_point(j.x_index + x, j.x_index + j.h.dst_w,
                               [&](int32_t off) { return off + 3 * tx + 2 <= e1; }) -
          j.x_index);
      x_end = x + (x_end - x) / 16 * 16;
    }
    // Kernels see only the elements made so far.
    if (x_end > x) run_h_second(j.k, mid, e1, out, j.x_index, x_pairs, tx, x, x_end);
    x = x_end;
    e0 = e1;
  }
}

// The gather tables of the planar horizontal pass, one per whole group of
// kPlaneGroup outputs (resample.h). False when the tier has no planar
// kernels, the taps are too many, or a group's windows span more pixels than
// one permute reaches; the words path serves those.
bool lay_out_plane_groups(const Job& j, uint8_t* groups) {
  const int tx = j.h.x.taps;
  // Two taps one pixel apart (near 1:1) run faster on words, as a vertical pass.
  if (!j.k.v_planes || !j.k.h_planes || j.x_identity() || tx < 4 || tx > kMaxPlaneTaps ||
      j.h.src_w < tx)
    return false;
  const long bytes = plane_group_bytes(tx);
  for (int x0 = 0; x0 + kPlaneGroup <= j.h.dst_w; x0 += kPlaneGroup) {
    uint8_t* g = groups + x0 / kPlaneGroup * bytes;
    std::memset(g, 0, bytes);
    const int32_t first = j.x_index[x0] / 3;
    std::memcpy(g, &first, sizeof first);
    for (int o = 0; o < kPlaneGroup; ++o) {
      const int x = x0 + o;
      const int d = j.x_index[x] / 3 - first;
      if (d + tx > kPlaneWindow) return false;
      const int16_t* wx = j.x_weights + static_cast<ptrdiff_t>(x) * tx;
      for (int p = 0; p < tx / 2; ++p) {
        auto* index = reinterpret_cast<int16_t*>(g + plane_hi_index(p));
        index[2 * o] = static_cast<int16_t>(d + 2 * p);
        index[2 * o + 1] = static_cast<int16_t>(d + 2 * p + 1);
        const int32_t pair =
            static_cast<int32_t>(static_cast<uint16_t>(wx[2 * p]) |
                                 static_cast<uint32_t>(static_cast<uint16_t>(wx[2 * p + 1])) << 16);
        std::memcpy(g + plane_hi_weights(p) + 4 * o, &pair, sizeof pair);
      }
      for (int t = 0; t < tx; ++t) {
        const int q = t / 4, b = 4 * o + t % 4;
        g[plane_lo_index(tx, q) + b] = static_cast<uint8_t>(d + t);
        g[plane_lo_weights(tx, q) + b] = static_cast<uint8_t>(weight_pair(wx[t]) & 0xFF);
      }
    }
  }
  return true;
}

// strip_row for the planar intermediate, in strips of kPlaneStrip pixels.
void planes_row(const Job& j, const uint8_t* const* rows, const int16_t* w, int n,
                const uint8_t* const* ahead, int n_ahead, const Planes& planes,
                const uint8_t* groups, uint8_t* out) {
  const int sw = j.h.src_w;
  const int tx = j.h.x.taps;
  int x = 0;
  for (int p0 = 0; p0 < sw;) {
    const int p1 = sw - p0 > kPlaneStrip ? p0 + kPlaneStrip : sw;
    for (int a = 0; a < n_ahead; ++a) prefetch_row(ahead[a], 3 * p0, 3 * p1);
    run_v_planes(j.k, rows, j.src_len(), w, n, planes, p0, p1);
    int x_end = j.h.dst_w;
    if (p1 < sw) {
      // Whole groups whose windows the strip completes.
      x_end = static_cast<int>(
          std::partition_point(j.x_index + x, j.x_index + j.h.dst_w,
                               [&](int32_t off) { return off + 3 * tx <= 3 * p1; }) -
          j.x_index);
      x_end = x + (x_end - x) / kPlaneGroup * kPlaneGroup;
    }
    if (x_end > x) run_h_planes(j.k, planes, out, j.x_index, j.x_weights, tx, groups, x, x_end);
    x = x_end;
    p0 = p1;
  }
}

void vertical_first_passes(const Job& j) {
  auto** rows = reinterpret_cast<const uint8_t**>(j.work + j.l.pointers);
  auto* weights = reinterpret_cast<int16_t*>(j.work + j.l.weights);
  auto* mid = reinterpret_cast<int32_t*>(j.work);
  auto* x_pairs = reinterpret_cast<int32_t*>(j.work + j.l.x_pairs);
  const int32_t whole_pair = weight_pair(kWholeWeight);
  auto* groups = j.work + j.l.groups;
  const Planes planes = {reinterpret_cast<int16_t*>(j.work + j.l.planes),
                         j.work + j.l.planes + 2 * 3 * j.l.plane_stride,
                         static_cast<int>(j.l.plane_stride)};
  const bool planar = lay_out_plane_groups(j, groups);
  if (!j.x_identity() && !planar) lay_out_x_pairs(j, x_pairs);
  const int ty = j.h.y.taps;
  auto** ahead = rows + ty;
  for (int y = 0; y < j.h.dst_h; ++y) {
    const int16_t* wy = j.y_weights + static_cast<ptrdiff_t>(y) * ty;
    int n = 0, last = 0;
    for (int t = 0; t < ty; ++t) {
      if (wy[t] == 0) continue;
      last = j.y_index[y] + t;
      rows[n] = j.src_row(last);
      weights[n++] = wy[t];
    }
    // Rows of the next output row past this one's.
    int n_ahead = 0;
    if (y + 1 < j.h.dst_h) {
      const int16_t* next = wy + ty;
      for (int t = 0; t < ty; ++t)
        if (next[t] != 0 && j.y_index[y + 1] + t > last)
          ahead[n_ahead++] = j.src_row(j.y_index[y + 1] + t);
    }
    uint8_t* out = j.dst_row(y);
    if (j.x_identity()) {
      for (int a = 0; a < n_ahead; ++a) prefetch_row(ahead[a], 0, j.src_len());
      run_v_first(j.k, rows, weights, n, mid, 0, j.src_len());
      const int32_t* mid_row = mid;
      run_v_second(j.k, &mid_row, &whole_pair, 1, out, j.dst_len());
    } else if (planar) {
      planes_row(j, rows, weights, n, ahead, n_ahead, planes, groups, out);
    } else {
      strip_row(j, rows, weights, n, ahead, n_ahead, mid, x_pairs, out);
    }
  }
}

// Source row r through the horizontal first pass into out, asking for the
// rows ahead.
void filter_row(const Job& j, int r, int32_t* out) {
  const uint8_t* in = j.src_row(r);
  if (r + kPrefetchRows < j.h.src_h) prefetch_row(j.src_row(r + kPrefetchRows), 0, j.src_len());
  if (j.x_identity())
    run_v_first(j.k, &in, &kWholeWeight, 1, out, 0, j.src_len());
  else
    run_h_first(j.k, in, j.src_len(), out, j.x_index, j.x_weights, j.h.x.taps, j.h.dst_w);
}

// Each needed source row is filtered once into a ring of ty rows, slot
// r % ty; windows only move down, so no row is evicted early.
void horizontal_first_passes(const Job& j) {
  const int ty = j.h.y.taps;
  auto** rows = reinterpret_cast<const int32_t**>(j.work + j.l.pointers);
  auto* weights = reinterpret_cast<int32_t*>(j.work + j.l.weights);
  auto* slot_row = reinterpret_cast<int32_t*>(j.work + j.l.slots);
  for (int s = 0; s < ty; ++s) slot_row[s] = -1;
  for (int y = 0; y < j.h.dst_h; ++y) {
    const int16_t* wy = j.y_weights + static_cast<ptrdiff_t>(y) * ty;
    int n = 0;
    for (int t = 0; t < ty; ++t) {
      if (wy[t] == 0) continue;
      const int r = j.y_index[y] + t;
      const int s = r % ty;
      auto* cached = reinterpret_cast<int32_t*>(j.work + s * j.l.row_bytes);
      if (slot_row[s] != r) {
        filter_row(j, r, cached);
        slot_row[s] = r;
      }
      rows[n] = cached;
      weights[n++] = weight_pair(wy[t]);
    }
    run_v_second(j.k, rows, weights, n, j.dst_row(y), j.dst_len());
  }
}

using Strategy = void (*)(const Job&);

// Exact ratios on both axes take a shortcut unless ratio_paths is off;
// otherwise the vertical pass runs first when the height shrinks, so the
// costly 3-channel horizontal pass runs on the fewer, destination rows.
Strategy pick_strategy(const SpecHeader& h, bool ratio_paths) {
  if ((h.x.flags & kIdentity) && (h.y.flags & kIdentity)) return copy_rows;
  const bool area = (h.x.flags & kAreaWeights) && (h.y.flags & kAreaWeights);
  const bool linear = !(h.x.flags & kAreaWeights) && !(h.y.flags & kAreaWeights);
  if (ratio_paths && area && h.src_w == 2 * h.dst_w && h.src_h == 2 * h.dst_h) return shrink_box2;
  if (ratio_paths && linear && h.dst_w == 2 * h.src_w && h.dst_h == 2 * h.src_h) return grow_up2;
  return vertical_first(h) ? vertical_first_passes : horizontal_first_passes;
}

}  // namespace

void resample_image(const Kernels& k, const IppiResizeSpec_32f* spec, const Ipp8u* src,
                    int src_step, Ipp8u* dst, int dst_step, Ipp8u* buffer, bool ratio_paths) {
  const SpecHeader h = read_header(spec);
  const auto* base = reinterpret_cast<const uint8_t*>(spec);
  const Job job = {k, h,
                   reinterpret_cast<const int32_t*>(base + h.x.index_offset),
                   reinterpret_cast<const int16_t*>(base + h.x.weight_offset),
                   reinterpret_cast<const int32_t*>(base + h.y.index_offset),
                   reinterpret_cast<const int16_t*>(base + h.y.weight_offset),
                   src, src_step, dst, dst_step, align_ptr(buffer), work_layout(h, 3)};
  pick_strategy(h, ratio_paths)(job);
}

const std::vector<const Kernels*>& all_kernels() {
  static const std::vector<const Kernels*> tables = [] {
    std::vector<const Kernels*> v{&scalar_kernels()};
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse4.1")) v.push_back(&sse41_kernels());
    const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) v.push_back(&avx2_kernels());
    // The AVX-512 tables borrow AVX2 kernels for the shapes they leave out.
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512bw");
    if (avx512) v.push_back(&avx512_kernels());
    if (avx512 && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("avx512vnni"))
      v.push_back(&avx512vbmi_kernels());
    return v;
  }();
  return tables;
}

const Kernels& best_kernels() { return *all_kernels().back(); }

}  // namespace qarvel::detail

using namespace qarvel::detail;

extern "C" {

IppStatus ippiResizeGetSize_8u(IppiSize src, IppiSize dst, IppiInterpolationType interp,
                               Ipp32u antialiasing, int* pSpecSize, int* pInitBufSize) {
  if (!pSpecSize || !pInitBufSize) return ippStsNullPtrErr;
  if (src.width < 0 || src.height < 0 || dst.width < 0 || dst.height < 0) return ippStsSizeErr;
  if (src.width == 0 || src.height == 0 || dst.width == 0 || dst.height == 0)
    return ippStsNoOperation;
  switch (interp) {
    case ippNearest: case ippCubic: case ippLanczos: case ippHahn:
      return ippStsNotSupportedModeErr;
    case ippLinear: case ippSuper:
      break;
    default:
      return ippStsInterpolationErr;
  }
  if (interp == ippSuper && (dst.width > src.width || dst.height > src.height))
    return ippStsSizeErr;
  if (!row_fits(src.width) || !row_fits(dst.width)) return ippStsSizeErr;
  const int64_t size = spec_size(src, dst);
  if (size > INT_MAX / 4) return ippStsSizeErr;
  *pSpecSize = static_cast<int>(size);
  *pInitBufSize = kInitBufSize;
  // Both methods accept any antialiasing flag: super-sampling always
  // averages, and linear averages on every axis that shrinks.
  (void)antialiasing;
  return ippStsNoErr;
}

IppStatus ippiResizeSuperInit_8u(IppiSize src, IppiSize dst, IppiResizeSpec_32f* pSpec) {
  return init(src, dst, pSpec, kMethodSuper);
}

IppStatus ippiResizeLinearInit_8u(IppiSize src, IppiSize dst, IppiResizeSpec_32f* pSpec) {
  return init(src, dst, pSpec, kMethodLinear);
}

IppStatus ippiResizeGetBufferSize_8u(const IppiResizeSpec_32f* pSpec, IppiSize dstSize,
                                     Ipp32u numChannels, int* pBufSize) {
  if (!pSpec || !pBufSize) return ippStsNullPtrErr;
  const SpecHeader h = read_header(pSpec);
  if (!valid_header(h)) return ippStsContextMatchErr;
  if (numChannels != 1 && numChannels != 3 && numChannels != 4) return ippStsNumChannelsErr;
  if (dstSize.width < 0 || dstSize.height < 0) return ippStsSizeErr;
  if (dstSize.width == 0 || dstSize.height == 0) return ippStsNoOperation;
  if (dstSize.width != h.dst_w || dstSize.height != h.dst_h) return ippStsSizeErr;
  const int64_t total = work_layout(h, numChannels < 3 ? 3 : numChannels).total;
  if (total > INT_MAX) return ippStsSizeErr;
  *pBufSize = static_cast<int>(total);
  return ippStsNoErr;
}

IppStatus ippiResizeSuper_8u_C3R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                 IppiPoint dstOffset, IppiSize dstSize,
                                 const IppiResizeSpec_32f* pSpec, Ipp8u* pBuffer) {
  const IppStatus st = check_resize(pSrc, srcStep, pDst, dstStep, dstOffset, dstSize, pSpec,
                                    pBuffer, kMethodSuper);
  if (st != ippStsNoErr) return st;
  resample_image(best_kernels(), pSpec, pSrc, srcStep, pDst, dstStep, pBuffer);
  return ippStsNoErr;
}

IppStatus ippiResizeLinear_8u_C3R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                  IppiPoint dstOffset, IppiSize dstSize, IppiBorderType border,
                                  const Ipp8u* pBorderValue, const IppiResizeSpec_32f* pSpec,
                                  Ipp8u* pBuffer) {
  (void)pBorderValue;  // only the replicated border is implemented
  const IppStatus st = check_resize(pSrc, srcStep, pDst, dstStep, dstOffset, dstSize, pSpec,
                                    pBuffer, kMethodLinear);
  if (st != ippStsNoErr) return st;
  if (!legal_border(border)) return ippStsBorderErr;
  if (border != ippBorderRepl) return ippStsNotSupportedModeErr;
  resample_image(best_kernels(), pSpec, pSrc, srcStep, pDst, dstStep, pBuffer);
  return ippStsNoErr;
}

Ipp32f* ippsMalloc_32f(int len) {
  if (len < 1) return nullptr;
  void* p = nullptr;
  if (posix_memalign(&p, kAlign, static_cast<size_t>(len) * sizeof(Ipp32f)) != 0) return nullptr;
  return static_cast<Ipp32f*>(p);
}

Ipp8u* ippsMalloc_8u(int len) {
  if (len < 1) return nullptr;
  void* p = nullptr;
  if (posix_memalign(&p, kAlign, static_cast<size_t>(len)) != 0) return nullptr;
  return static_cast<Ipp8u*>(p);
}

void ippsFree(void* p) {
  if (!p) return;
  std::free(p);
}

}  // extern "C"
