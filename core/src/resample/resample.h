// Internal: fixed-point resampling kernels for interleaved 3-channel rows and
// for one-channel rows.
//
// Arithmetic shared by every tier, so all tiers agree bit for bit:
//   weights      kWeightBits fractional bits, stored negated so that a whole
//                weight, -kWeightOne, still fits an int16; each output's
//                weights sum to exactly -kWeightOne;
//   first pass   u8 x weight gives the exact negated sum N = -value * 2^15;
//                it is kept whole as one int32 word per element holding two
//                int16 halves, lo = N & 0xFF below and hi = N >> 8 above;
//   second pass  pmaddwd of a word with the weight pair (wl, w), where
//                wl = (w + 128) >> 8 sits in the low half, gives
//                hi * w + lo * wl; summed over the taps that is value * 2^22
//                (the signs cancel), shifted right by kFinalShift rounding to
//                nearest with ties to even. wl is w / 2^8 rounded, so a tap
//                is off by at most 255/2 units (3e-5 levels), and not at all
//                when lo is 0, as for whole values.
// Bounds: |hi| <= 32640, lo <= 255, |wl| <= 128 and the weights' magnitudes
// sum to 2^15, so every pmaddwd pair and every sum stays within 2^30; a sum is
// never below -128 per tap, so adding half a unit leaves it positive.
//
// This header is included by per-ISA files: it must stay free of the standard
// library and of inline code that could be merged across ISAs. Its helpers
// are static constexpr, so each file keeps its own copy.
#ifndef QARVEL_RESAMPLE_H
#define QARVEL_RESAMPLE_H

#include <stdint.h>

namespace qarvel::detail {

constexpr int kWeightBits = 15;
constexpr int kWeightOne = 1 << kWeightBits;
constexpr int kLoBits = 8;  // bits of N kept in lo
constexpr int kFinalShift = 2 * kWeightBits - kLoBits;

// Horizontal passes. Output x reads `taps` consecutive source pixels starting
// at element offset offs[x] (pixel * 3) with weights w[x * taps + k]. src_len
// is the number of readable elements in the source row; no kernel reads past
// it. Outputs [x0, x1) are requested; the return value is the first output
// not written, and the caller hands [return, x1) to the scalar kernel. A
// first-pass kernel may write one element past its last output; the caller's
// row has room for it.
using HFirstFn = int (*)(const uint8_t* src, int src_len, int32_t* dst, const int32_t* offs,
                         const int16_t* w, int taps, int x0, int x1);
// The horizontal second pass takes its weights as int32 pairs (wl, w) laid
// out as below; the vertical second pass takes one pair per row.
using HSecondFn = int (*)(const int32_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                          const int32_t* wp, int taps, int x0, int x1);

// Layout of the horizontal second pass's weight pairs, set out for 32-byte
// multiplies of whole pixels. A block holds, per tap pair (k, k+1), kPairInts
// int32: pair k three times, pair k+1 three times, two zeros. Outputs go in
// twos, 2m and 2m + 1, whose blocks alternate tap pair by tap pair, so one
// 64-byte load holds a tap pair of both. With two taps the blocks come in
// groups of kRunGroup outputs, each group followed by its pairs element by
// element (kRunInts int32 for tap 0, output j's at 3j..3j+2, then kRunInts for
// tap 1), for runs of outputs whose windows step by one pixel, and then by
// its pairs once per output (kRunGroup for tap 0, then kRunGroup for tap 1),
// for kernels that spread them across elements themselves. Offsets below
// count int32 from the table's start.
constexpr int kPairInts = 8;
constexpr int kRunGroupLog2 = 4;
constexpr int kRunGroup = 1 << kRunGroupLog2;
constexpr int kRunInts = 3 * kRunGroup;
constexpr int kRunStart = kRunGroup * kPairInts;  // a group's runs follow its blocks
constexpr int kRunPairsStart = kRunStart + 2 * kRunInts;
constexpr int kRunGroupInts = kRunPairsStart + 2 * kRunGroup;

// Output x's block: its first tap pair; tap pair j is 2 * kPairInts * j on.
static constexpr long pair_block(int x, int taps) {
  if (taps != 2) return (x >> 1) * long{taps} * kPairInts + (x & 1) * long{kPairInts};
  return (x >> kRunGroupLog2) * long{kRunGroupInts} + (x & (kRunGroup - 1)) * long{kPairInts};
}
// Tap k's first copy within a block.
static constexpr int pair_tap(int k) { return (k >> 1) * 2 * kPairInts + (k & 1) * 3; }
// Two-tap output x's tap 0 pair, element by element; tap 1's is kRunInts on.
static constexpr long pair_run(int x) {
  return (x >> kRunGroupLog2) * long{kRunGroupInts} + kRunStart + 3 * (x & (kRunGroup - 1));
}
// Two-tap output x's tap 0 pair, once; tap 1's is kRunGroup on.
static constexpr long pair_run_pairs(int x) {
  return (x >> kRunGroupLog2) * long{kRunGroupInts} + kRunPairsStart + (x & (kRunGroup - 1));
}
// Int32 in the table of n outputs.
static constexpr long pair_table_ints(long n, int taps) {
  return taps == 2 ? (n + kRunGroup - 1) / kRunGroup * kRunGroupInts
                   : (n + 1) / 2 * taps * long{kPairInts};
}

// Vertical passes, channel-agnostic: element i of the output combines element
// i of rows[0..n_rows) with weights w[0..n_rows). Elements [i0, i1) are
// requested; the return value is the first element not written.
using VFirstFn = int (*)(const uint8_t* const* rows, const int16_t* w, int n_rows, int32_t* dst,
                         int i0, int i1);
using VSecondFn = int (*)(const int32_t* const* rows, const int32_t* wp, int n_rows,
                          uint8_t* dst, int i0, int i1);

// Exact 2:1 shrink on both axes: output x of a row averages source pixels
// 2x and 2x+1 of rows a and b, (sum + 2) / 4 with ties to even, which is what
// the two passes give for those weights. src_len as for the horizontal passes.
using Box2Fn = int (*)(const uint8_t* a, const uint8_t* b, int src_len, uint8_t* dst, int x0,
                       int x1);

// Exact 2x linear enlargement on both axes. The weights are 1/4 and 3/4 (a
// whole weight at the edges), multiples of 2^13, so the first pass's N has
// lo = 0 and both passes are exact: an output is T / 16 rounded with ties to
// even, T the sum of source values times (1 or 3 horizontally) x (1 or 3
// vertically), 4 for an edge's clamped pair. Both fit 16-bit lanes.
// Up2RowFn: for source pixels [i0, i1) of a row of w pixels, outputs 2i and
// 2i+1 get 3 * p[i] + p[i-1] and 3 * p[i] + p[i+1] per channel, neighbours
// clamped to the row (values up to 1020). Up2BlendFn: the two output rows
// between widened rows p and q, elements [i0, i1): a = (3p + q) / 16 and
// b = (p + 3q) / 16, rounded with ties to even; a and b may be the same row
// when p and q are (the edge rows).
using Up2RowFn = int (*)(const uint8_t* src, int w, uint16_t* dst, int i0, int i1);
using Up2BlendFn = int (*)(const uint16_t* p, const uint16_t* q, uint8_t* a, uint8_t* b, int i0,
                           int i1);

// Byte shuffles for the 2x row kernels: 48 output elements (eight source
// pixels from i) in six 16-byte lanes; lane L reads 16 source bytes from pixel
// i + kUp2Base[L] and picks, per output element, the pixel's own byte (near)
// and its neighbour's (far) into 16-bit lanes. Each lane pair is 32-byte
// aligned for AVX2 loads.
constexpr int kUp2Base[6] = {-1, 0, 1, 3, 4, 5};
struct alignas(32) Up2Masks {
  int8_t near[96];
  int8_t far[96];
};
static constexpr Up2Masks up2_masks() {
  Up2Masks m{};
  for (int e = 0; e < 48; ++e) {
    const int p = e / 3, c = e % 3, s = p >> 1, n = (p & 1) ? s + 1 : s - 1;
    const int b = kUp2Base[e / 8];
    m.near[2 * e] = static_cast<int8_t>(3 * (s - b) + c);
    m.far[2 * e] = static_cast<int8_t>(3 * (n - b) + c);
    m.near[2 * e + 1] = m.far[2 * e + 1] = -1;
  }
  return m;
}

// Planar intermediate for the vertical-first path: an output row's first-
// pass sums N kept per channel as hi = N >> 8 (int16) and lo = N & 0xFF
// (uint8), channel c of pixel p at hi[c * stride + p] and lo[c * stride + p],
// the same halves the words hold. The horizontal pass then gathers one tap
// of kPlaneGroup outputs of a channel with one permute from a window of 64
// pixels and weighs lo by the 8-bit wl of the pair.
struct Planes {
  int16_t* hi;
  uint8_t* lo;
  int stride;  // pixels from one channel's plane to the next's
};
// Pixels [p0, p1) of the rows (src_len readable bytes each); returns the
// first pixel not written.
using VPlanesFn = int (*)(const uint8_t* const* rows, int src_len, const int16_t* w, int n_rows,
                          const Planes& out, int p0, int p1);
// Outputs [x0, x1), windows as for the horizontal passes (offs in elements,
// w the int16 weights). A SIMD kernel takes whole groups of kPlaneGroup from a
// multiple of kPlaneGroup, reading their gather tables from `groups`, and may
// read up to 64 pixels from a group's first window; it returns the first
// output not written.
using HPlanesFn = int (*)(const Planes& in, uint8_t* dst, const int32_t* offs, const int16_t* w,
                          int taps, const uint8_t* groups, int x0, int x1);

// A group's gather table, in 64-byte vectors: a header (int32 first pixel of
// the group's first window), then per tap pair the 32 int16 window indices
// (output j's taps 2p, 2p+1 at 2j, 2j+1) and the 16 int32 pairs (w[2p],
// w[2p+1]), then per four taps the 64 byte indices (output j's taps at
// 4j..4j+3) and the 64 int8 wl. Planes serve up to kMaxPlaneTaps taps and
// groups whose windows span at most 64 pixels; sixteen windows of more taps
// (ratios past 5:1) never fit.
constexpr int kPlaneGroup = 16;
constexpr int kMaxPlaneTaps = 6;
constexpr int kPlaneWindow = 64;
static constexpr int plane_quads(int taps) { return (taps + 3) / 4; }
static constexpr long plane_group_bytes(int taps) {
  return 64L * (1 + taps + 2 * plane_quads(taps));
}
static constexpr long plane_hi_index(int p) { return 64L * (1 + 2 * p); }
static constexpr long plane_hi_weights(int p) { return 64L * (2 + 2 * p); }
static constexpr long plane_lo_index(int taps, int q) { return 64L * (1 + taps + 2 * q); }
static constexpr long plane_lo_weights(int taps, int q) { return 64L * (2 + taps + 2 * q); }

// The reference planar passes; SIMD planar kernels hand them their tails.
int v_planes_scalar(const uint8_t* const* rows, int src_len, const int16_t* w, int n_rows,
                    const Planes& out, int p0, int p1);
int h_planes_scalar(const Planes& in, uint8_t* dst, const int32_t* offs, const int16_t* w, int taps,
                    const uint8_t* groups, int x0, int x1);

// One-channel rows. Output x's window starts at pixel offs[x] and has `taps`
// taps. The weights are laid out in groups of kC1Group outputs, eight 32-bit
// values at a time: the first pass's int16 weights a tap pair at a time (tap
// k of output x at c1_weight(x, k, taps)), so one load holds a pair for
// eight outputs, and the second pass's int32 pairs (wl, w), as above, a tap
// at a time (at c1_pair(x, k, taps)). A SIMD kernel starts only at a
// multiple of kC1Group. Otherwise as HFirstFn and HSecondFn.
constexpr int kC1Group = 8;
static constexpr long c1_weight(int x, int k, int taps) {
  return (x / kC1Group) * long{kC1Group} * taps + (k / 2) * 2L * kC1Group + (x % kC1Group) * 2 +
         k % 2;
}
static constexpr long c1_pair(int x, int k, int taps) {
  return (x / kC1Group) * long{kC1Group} * taps + k * long{kC1Group} + x % kC1Group;
}
// Entries in either table of n outputs.
static constexpr long c1_table_size(long n, int taps) {
  return (n + kC1Group - 1) / kC1Group * kC1Group * taps;
}
using HFirstC1Fn = int (*)(const uint8_t* src, int src_len, int32_t* dst, const int32_t* offs,
                           const int16_t* w, int taps, int x0, int x1);
using HSecondC1Fn = int (*)(const int32_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                            const int32_t* wp, int taps, int x0, int x1);
// One table per instruction set; the name appears in test and bench output.
struct Kernels {
  const char* name;
  HFirstFn h_first;
  HSecondFn h_second;
  VFirstFn v_first;
  VSecondFn v_second;
  Box2Fn box2;
  Up2RowFn up2_row;
  Up2BlendFn up2_blend;
  // Planar vertical-first passes; null where the tier keeps words.
  VPlanesFn v_planes;
  HPlanesFn h_planes;
  // One-channel passes; null where the tier leaves them to the scalar ones.
  // The box's output x averages bytes 2x and 2x+1 of rows a and b; the row
  // gives source pixel i's outputs 2i and 2i+1.
  HFirstC1Fn h_first_c1;
  HSecondC1Fn h_second_c1;
  Box2Fn box2_c1;
  Up2RowFn up2_row_c1;
};

const Kernels& scalar_kernels();
const Kernels& sse41_kernels();
const Kernels& avx2_kernels();
const Kernels& avx512_kernels();
const Kernels& avx512vbmi_kernels();

}  // namespace qarvel::detail

#endif
