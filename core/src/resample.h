// Internal: fixed-point resampling kernels for interleaved 3-channel rows.
//
// Arithmetic shared by every tier, so all tiers agree bit for bit:
//   weights      int16 with kWeightBits fractional bits; each output's weights
//                sum to exactly kWeightOne;
//   first pass   u8 x weight, rounded right shift by kWeightBits - kMidBits,
//                giving value * 256, then offset by -kMidBias so it fits an
//                int16 lane (pmaddwd multiplies signed words);
//   second pass  int16 x weight, plus kMidBias * kWeightOne to undo the
//                offset (the weights sum to kWeightOne), shifted right by
//                kFinalShift rounding to nearest with ties to even.
// Weights are non-negative and sum to kWeightOne, so every partial sum and
// every pmaddwd pair stays within +-2^29 and the biased total below 2^31.
//
// This header is included by per-ISA files: it must stay free of the standard
// library and of inline code that could be merged across ISAs.
#pragma once

#include <stdint.h>

namespace qarvel::detail {

constexpr int kWeightBits = 14;
constexpr int kWeightOne = 1 << kWeightBits;
constexpr int kMidBits = 8;
constexpr int kMidBias = 32768;
constexpr int kFinalShift = kWeightBits + kMidBits;

// Horizontal passes. Output x reads `taps` consecutive source pixels starting
// at element offset offs[x] (pixel * 3) with weights w[x * taps + k]. src_len
// is the number of readable elements in the source row; no kernel reads past
// it. Outputs [x0, x1) are requested; the return value is the first output not
// written, and the caller hands [return, x1) to the scalar kernel.
using HFirstFn = int (*)(const uint8_t* src, int src_len, int16_t* dst, const int32_t* offs,
                         const int16_t* w, int taps, int x0, int x1);
using HSecondFn = int (*)(const int16_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                          const int16_t* w, int taps, int x0, int x1);

// Vertical passes, channel-agnostic: element i of the output combines element
// i of rows[0..n_rows) with weights w[0..n_rows). Elements [i0, i1) are
// requested; the return value is the first element not written.
using VFirstFn = int (*)(const uint8_t* const* rows, const int16_t* w, int n_rows, int16_t* dst,
                         int i0, int i1);
using VSecondFn = int (*)(const int16_t* const* rows, const int16_t* w, int n_rows, uint8_t* dst,
                          int i0, int i1);

// Exact 2:1 shrink on both axes: output x of a row averages source pixels
// 2x and 2x+1 of rows a and b, (sum + 2) / 4 with ties to even, which is what
// the two passes give for those weights. src_len as for the horizontal passes.
using Box2Fn = int (*)(const uint8_t* a, const uint8_t* b, int src_len, uint8_t* dst, int x0,
                       int x1);

// One table per instruction set; the name appears in test and bench output.
struct Kernels {
  const char* name;
  HFirstFn h_first;
  HSecondFn h_second;
  VFirstFn v_first;
  VSecondFn v_second;
  Box2Fn box2;
};

const Kernels& scalar_kernels();
const Kernels& sse41_kernels();
const Kernels& avx2_kernels();
const Kernels& avx512_kernels();
// The fastest table this processor runs, chosen once.
const Kernels& best_kernels();

}  // namespace qarvel::detail
