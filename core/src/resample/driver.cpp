// The strategy driver: which passes a resize takes, in which order, and the
// rows each kernel sees. Each kernel call does what its tier can and hands
// the rest of the row to the scalar kernel.
#include "resample/driver.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace qarvel::detail {
namespace {

// Elements of an intermediate row made per step when the vertical pass runs
// first: 4 KB of int32 words, with the source bytes, well inside L1.
constexpr int kStrip = 1024;
// Pixels of a planar row made per step: the same bytes of planes.
constexpr int kPlaneStrip = 320;
// Rows the horizontal pass prefetches ahead of the one it filters.
constexpr int kPrefetchRows = 4;
// A whole weight, the only tap of an axis that keeps its size.
constexpr int16_t kWholeWeight = -kWeightOne;

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
  int64_t row_bytes;     // one int32 intermediate row, with tail padding
  int64_t pointers;      // offset of 2 Ty row pointers
  int64_t weights;       // offset of Ty int32 weight pairs
  int64_t slots;         // offset of Ty int32 ring-slot tags
  int64_t x_pairs;       // offset of the x axis's laid-out weights
  int64_t x_offsets;     // offset of one-channel window starts, in pixels
  int64_t planes;        // offset of the planar intermediate (vertical first, few x taps)
  int64_t plane_stride;  // pixels per plane
  int64_t groups;        // offset of the planar pass's gather tables
  int64_t total;
};

// Bytes of the x axis's laid-out weights: the three-channel second pass's
// pairs, or either one-channel table (int32 entries at most).
int64_t x_table_bytes(const SpecHeader& h, int channels) {
  if (channels == 1) return c1_table_size(h.dst_w, h.x.taps) * 4;
  return vertical_first(h) ? pair_table_ints(h.dst_w, h.x.taps) * 4 : 0;
}

WorkLayout work_layout(const SpecHeader& h, int channels) {
  WorkLayout l;
  const int64_t ty = h.y.taps;
  const bool vfirst = vertical_first(h);
  l.row_bytes = align64(int64_t{vfirst ? h.src_w : h.dst_w} * channels * 4 + kAlign);
  l.pointers = l.row_bytes * (vfirst ? 1 : ty);
  // Ty row pointers, and as many more for the rows read ahead.
  l.weights = l.pointers + align64(2 * ty * static_cast<int64_t>(sizeof(void*)));
  l.slots = l.weights + align64(ty * 4);
  l.x_pairs = l.slots + align64(ty * 4);
  l.x_offsets = l.x_pairs + align64(x_table_bytes(h, channels));
  l.planes = l.x_offsets + (channels == 1 ? align64(4 * int64_t{h.dst_w}) : 0);
  // Planes hold a whole gather window past the last pixel.
  l.plane_stride = align64(h.src_w + kPlaneWindow);
  const bool planar = channels == 3 && vfirst && h.x.taps <= kMaxPlaneTaps;
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

void run_h_first_c1(const Kernels& k, const uint8_t* src, int src_len, int32_t* dst,
                    const int32_t* offs, const int16_t* w, int taps, int n) {
  const int done = k.h_first_c1 ? k.h_first_c1(src, src_len, dst, offs, w, taps, 0, n) : 0;
  scalar_kernels().h_first_c1(src, src_len, dst, offs, w, taps, done, n);
}

void run_h_second_c1(const Kernels& k, const int32_t* src, int src_len, uint8_t* dst,
                     const int32_t* offs, const int32_t* w, int taps, int x0, int x1) {
  const int done = k.h_second_c1 ? k.h_second_c1(src, src_len, dst, offs, w, taps, x0, x1) : x0;
  scalar_kernels().h_second_c1(src, src_len, dst, offs, w, taps, done, x1);
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

// What every strategy below reads: the header, the axis tables, the images
// and the aligned work area. x_index counts elements: pixel * channels.
struct Job {
  const Kernels& k;
  SpecHeader h;
  int channels;
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
  int src_len() const { return h.src_w * channels; }
  int dst_len() const { return h.dst_w * channels; }
  bool x_identity() const { return (h.x.flags & kIdentity) != 0; }
  // Elements a horizontal second pass reads from a window's start: the
  // three-channel kernels read two words past the taps.
  int x_reach() const { return channels == 3 ? 3 * h.x.taps + 2 : h.x.taps; }
};

void copy_rows(const Job& j) {
  for (int y = 0; y < j.h.dst_h; ++y) std::memcpy(j.dst_row(y), j.src_row(y), j.dst_len());
}

// 2:1 on both axes: a single pass over row pairs, the same values as the two
// passes with their half weights.
void shrink_box2(const Job& j) {
  const Box2Fn fast = j.channels == 3 ? j.k.box2 : j.k.box2_c1;
  const Box2Fn ref = j.channels == 3 ? scalar_kernels().box2 : scalar_kernels().box2_c1;
  for (int y = 0; y < j.h.dst_h; ++y) {
    const uint8_t* a = j.src_row(2 * y);
    const uint8_t* b = a + j.src_step;
    uint8_t* out = j.dst_row(y);
    const int done = fast ? fast(a, b, j.src_len(), out, 0, j.h.dst_w) : 0;
    ref(a, b, j.src_len(), out, done, j.h.dst_w);
  }
}

// 2x linear on both axes: exact 16-bit passes (resample.h), the same values
// as the two general passes. Source rows are widened once into a ring of two
// 16-bit rows, in the general path's row area (ty is 2).
void grow_up2(const Job& j) {
  const Kernels& ref = scalar_kernels();
  const Up2RowFn fast_row = j.channels == 3 ? j.k.up2_row : j.k.up2_row_c1;
  const Up2RowFn ref_row = j.channels == 3 ? ref.up2_row : ref.up2_row_c1;
  const int w = j.h.src_w;
  int cached[2] = {-1, -1};
  auto widened = [&](int r) {
    auto* row = reinterpret_cast<uint16_t*>(j.work + (r & 1) * j.l.row_bytes);
    if (cached[r & 1] != r) {
      const uint8_t* in = j.src_row(r);
      ref_row(in, w, row, 0, 1);
      const int done = fast_row ? fast_row(in, w, row, 1, w) : 1;
      ref_row(in, w, row, done, w);
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

// The x axis's weights as the three-channel horizontal second pass takes them
// (resample.h).
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

// The x axis's weights as a one-channel pass takes them (resample.h): the
// weights themselves for the first pass, their pairs for the second.
template <typename T>
void lay_out_c1(const Job& j, T* table, T (*entry)(int16_t), long (*at)(int, int, int)) {
  const int tx = j.h.x.taps;
  std::memset(table, 0, sizeof(T) * c1_table_size(j.h.dst_w, tx));
  for (int x = 0; x < j.h.dst_w; ++x)
    for (int t = 0; t < tx; ++t)
      table[at(x, t, tx)] = entry(j.x_weights[static_cast<ptrdiff_t>(x) * tx + t]);
}

int16_t same_weight(int16_t w) { return w; }
long c1_weight_at(int x, int k, int taps) { return c1_weight(x, k, taps); }
long c1_pair_at(int x, int k, int taps) { return c1_pair(x, k, taps); }

// One output row's horizontal second pass on outputs [x0, x1) of words
// [0, made) of the intermediate row.
void second_pass(const Job& j, const int32_t* mid, int made, const int32_t* x_pairs, uint8_t* out,
                 int x0, int x1) {
  if (j.channels == 3)
    run_h_second(j.k, mid, made, out, j.x_index, x_pairs, j.h.x.taps, x0, x1);
  else
    run_h_second_c1(j.k, mid, made, out, j.x_index, x_pairs, j.h.x.taps, x0, x1);
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
  const int reach = j.x_reach();
  int x = 0;
  for (int e0 = 0; e0 < src_len;) {
    const int e1 = src_len - e0 > kStrip ? e0 + kStrip : src_len;
    for (int a = 0; a < n_ahead; ++a) prefetch_row(ahead[a], e0, e1);
    run_v_first(j.k, rows, w, n, mid, e0, e1);
    int x_end = x;
    if (e1 == src_len) {
      x_end = j.h.dst_w;
    } else {
      // Whole groups of 16 outputs whose windows are made, so the SIMD
      // kernels take all of them.
      x_end = static_cast<int>(
          std::partition_point(j.x_index + x, j.x_index + j.h.dst_w,
                               [&](int32_t off) { return off + reach <= e1; }) -
          j.x_index);
      x_end = x + (x_end - x) / 16 * 16;
    }
    // Kernels see only the elements made so far.
    if (x_end > x) second_pass(j, mid, e1, x_pairs, out, x, x_end);
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
  if (j.channels != 3 || !j.k.v_planes || !j.k.h_planes || j.x_identity() || tx < 4 ||
      tx > kMaxPlaneTaps || j.h.src_w < tx)
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

// Source rows of output row y with non-zero weights, into rows and weights;
// returns their count and sets *last to the last of them.
int weighted_rows(const Job& j, int y, const uint8_t** rows, int16_t* weights, int* last) {
  const int ty = j.h.y.taps;
  const int16_t* wy = j.y_weights + static_cast<ptrdiff_t>(y) * ty;
  int n = 0;
  for (int t = 0; t < ty; ++t) {
    if (wy[t] == 0) continue;
    *last = j.y_index[y] + t;
    rows[n] = j.src_row(*last);
    weights[n++] = wy[t];
  }
  return n;
}

// Rows of output row y + 1 past `last`, to prefetch; returns their count.
int rows_ahead(const Job& j, int y, int last, const uint8_t** ahead) {
  if (y + 1 >= j.h.dst_h) return 0;
  const int ty = j.h.y.taps;
  const int16_t* next = j.y_weights + static_cast<ptrdiff_t>(y + 1) * ty;
  int n = 0;
  for (int t = 0; t < ty; ++t)
    if (next[t] != 0 && j.y_index[y + 1] + t > last) ahead[n++] = j.src_row(j.y_index[y + 1] + t);
  return n;
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
  if (!j.x_identity() && !planar) {
    if (j.channels == 3)
      lay_out_x_pairs(j, x_pairs);
    else
      lay_out_c1(j, x_pairs, weight_pair, c1_pair_at);
  }
  auto** ahead = rows + j.h.y.taps;
  for (int y = 0; y < j.h.dst_h; ++y) {
    int last = 0;
    const int n = weighted_rows(j, y, rows, weights, &last);
    const int n_ahead = rows_ahead(j, y, last, ahead);
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
// rows ahead. c1_weights is the one-channel weight table.
void filter_row(const Job& j, int r, const int16_t* c1_weights, int32_t* out) {
  const uint8_t* in = j.src_row(r);
  if (r + kPrefetchRows < j.h.src_h) prefetch_row(j.src_row(r + kPrefetchRows), 0, j.src_len());
  if (j.x_identity())
    run_v_first(j.k, &in, &kWholeWeight, 1, out, 0, j.src_len());
  else if (j.channels == 3)
    run_h_first(j.k, in, j.src_len(), out, j.x_index, j.x_weights, j.h.x.taps, j.h.dst_w);
  else
    run_h_first_c1(j.k, in, j.src_len(), out, j.x_index, c1_weights, j.h.x.taps, j.h.dst_w);
}

// Each needed source row is filtered once into a ring of ty rows, slot
// r % ty; windows only move down, so no row is evicted early.
void horizontal_first_passes(const Job& j) {
  const int ty = j.h.y.taps;
  auto** rows = reinterpret_cast<const int32_t**>(j.work + j.l.pointers);
  auto* weights = reinterpret_cast<int32_t*>(j.work + j.l.weights);
  auto* slot_row = reinterpret_cast<int32_t*>(j.work + j.l.slots);
  auto* c1_weights = reinterpret_cast<int16_t*>(j.work + j.l.x_pairs);
  if (j.channels == 1 && !j.x_identity()) lay_out_c1(j, c1_weights, same_weight, c1_weight_at);
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
        filter_row(j, r, c1_weights, cached);
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
// costly horizontal pass runs on the fewer, destination rows.
Strategy pick_strategy(const SpecHeader& h, bool ratio_paths) {
  if ((h.x.flags & kIdentity) && (h.y.flags & kIdentity)) return copy_rows;
  const bool area = (h.x.flags & kAreaWeights) && (h.y.flags & kAreaWeights);
  const bool linear = !(h.x.flags & kAreaWeights) && !(h.y.flags & kAreaWeights);
  if (ratio_paths && area && h.src_w == 2 * h.dst_w && h.src_h == 2 * h.dst_h) return shrink_box2;
  if (ratio_paths && linear && h.dst_w == 2 * h.src_w && h.dst_h == 2 * h.src_h) return grow_up2;
  return vertical_first(h) ? vertical_first_passes : horizontal_first_passes;
}

}  // namespace

int64_t work_bytes(const SpecHeader& h) {
  return std::max(work_layout(h, 1).total, work_layout(h, 3).total);
}

void resample_image(const Kernels& k, const IppiResizeSpec_32f* spec, const Ipp8u* src,
                    int src_step, Ipp8u* dst, int dst_step, Ipp8u* buffer, int channels,
                    bool ratio_paths) {
  const SpecHeader h = read_header(spec);
  const auto* base = reinterpret_cast<const uint8_t*>(spec);
  uint8_t* work = align_ptr(buffer);
  const WorkLayout l = work_layout(h, channels);
  const auto* x_index = reinterpret_cast<const int32_t*>(base + h.x.index_offset);
  if (channels == 1) {
    // The tables count three elements a pixel; one-channel rows have one.
    auto* offsets = reinterpret_cast<int32_t*>(work + l.x_offsets);
    for (int x = 0; x < h.dst_w; ++x) offsets[x] = x_index[x] / 3;
    x_index = offsets;
  }
  const Job job = {k, h, channels, x_index,
                   reinterpret_cast<const int16_t*>(base + h.x.weight_offset),
                   reinterpret_cast<const int32_t*>(base + h.y.index_offset),
                   reinterpret_cast<const int16_t*>(base + h.y.weight_offset),
                   src, src_step, dst, dst_step, work, l};
  pick_strategy(h, ratio_paths)(job);
}

}  // namespace qarvel::detail
