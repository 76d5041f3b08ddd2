// AVX-512BW kernels for the channel-agnostic vertical passes; the horizontal
// passes and the 2:1 box come from the AVX2 table. The only file built with
// -mavx512bw; it includes nothing but the intrinsics and resample.h.
#include <immintrin.h>

#include "resample.h"

namespace qarvel::detail {
namespace {

constexpr int kMidShift = kWeightBits - kMidBits;

// Zero-masked forms are used throughout: GCC 12 warns that several unmasked
// ones read an undefined register.
inline __m512i srli32(__m512i v, unsigned n) { return _mm512_maskz_srli_epi32(0xFFFF, v, n); }
inline __m512i permute64(__m512i idx, __m512i v) { return _mm512_maskz_permutexvar_epi64(0xFF, idx, v); }

inline __m512i weight_pair512(const int16_t* w, int k, int n) {
  const uint32_t lo = static_cast<uint16_t>(w[k]);
  const uint32_t hi = k + 1 < n ? static_cast<uint16_t>(w[k + 1]) : 0u;
  return _mm512_set1_epi32(static_cast<int32_t>(lo | hi << 16));
}

inline __m512i round_final(__m512i sum) {
  const __m512i t = _mm512_add_epi32(
      sum, _mm512_set1_epi32(kMidBias * kWeightOne + (1 << (kFinalShift - 1)) - 1));
  const __m512i odd = _mm512_and_si512(srli32(t, kFinalShift), _mm512_set1_epi32(1));
  return srli32(_mm512_add_epi32(t, odd), kFinalShift);
}

int v_first_avx512(const uint8_t* const* rows, const int16_t* w, int n_rows, int16_t* dst, int i0,
                   int i1) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i half = _mm512_set1_epi32(1 << (kMidShift - 1));
  const __m512i flip = _mm512_set1_epi16(-kMidBias);
  const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 2, 3, 10, 11);
  const __m512i second = _mm512_setr_epi64(4, 5, 12, 13, 6, 7, 14, 15);
  int i = i0;
  for (; i + 64 <= i1; i += 64) {
    __m512i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    for (int k = 0; k < n_rows; k += 2) {
      const __m512i a = _mm512_loadu_si512(rows[k] + i);
      const __m512i b = k + 1 < n_rows ? _mm512_loadu_si512(rows[k + 1] + i) : zero;
      const __m512i wp = weight_pair512(w, k, n_rows);
      const __m512i ab_lo = _mm512_unpacklo_epi8(a, b);
      const __m512i ab_hi = _mm512_unpackhi_epi8(a, b);
      acc0 = _mm512_add_epi32(acc0, _mm512_madd_epi16(_mm512_unpacklo_epi8(ab_lo, zero), wp));
      acc1 = _mm512_add_epi32(acc1, _mm512_madd_epi16(_mm512_unpackhi_epi8(ab_lo, zero), wp));
      acc2 = _mm512_add_epi32(acc2, _mm512_madd_epi16(_mm512_unpacklo_epi8(ab_hi, zero), wp));
      acc3 = _mm512_add_epi32(acc3, _mm512_madd_epi16(_mm512_unpackhi_epi8(ab_hi, zero), wp));
    }
    acc0 = srli32(_mm512_add_epi32(acc0, half), kMidShift);
    acc1 = srli32(_mm512_add_epi32(acc1, half), kMidShift);
    acc2 = srli32(_mm512_add_epi32(acc2, half), kMidShift);
    acc3 = srli32(_mm512_add_epi32(acc3, half), kMidShift);
    // Per 128-bit lane L: p01 holds elements 16L..16L+7, p23 16L+8..16L+15.
    const __m512i p01 = _mm512_xor_si512(_mm512_packus_epi32(acc0, acc1), flip);
    const __m512i p23 = _mm512_xor_si512(_mm512_packus_epi32(acc2, acc3), flip);
    _mm512_storeu_si512(dst + i, _mm512_permutex2var_epi64(p01, first, p23));
    _mm512_storeu_si512(dst + i + 32, _mm512_permutex2var_epi64(p01, second, p23));
  }
  return i;
}

int v_second_avx512(const int16_t* const* rows, const int16_t* w, int n_rows, uint8_t* dst,
                    int i0, int i1) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
  int i = i0;
  for (; i + 64 <= i1; i += 64) {
    __m512i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    for (int k = 0; k < n_rows; k += 2) {
      const __m512i a0 = _mm512_loadu_si512(rows[k] + i);
      const __m512i a1 = _mm512_loadu_si512(rows[k] + i + 32);
      __m512i b0 = zero, b1 = zero;
      if (k + 1 < n_rows) {
        b0 = _mm512_loadu_si512(rows[k + 1] + i);
        b1 = _mm512_loadu_si512(rows[k + 1] + i + 32);
      }
      const __m512i wp = weight_pair512(w, k, n_rows);
      acc0 = _mm512_add_epi32(acc0, _mm512_madd_epi16(_mm512_unpacklo_epi16(a0, b0), wp));
      acc1 = _mm512_add_epi32(acc1, _mm512_madd_epi16(_mm512_unpackhi_epi16(a0, b0), wp));
      acc2 = _mm512_add_epi32(acc2, _mm512_madd_epi16(_mm512_unpacklo_epi16(a1, b1), wp));
      acc3 = _mm512_add_epi32(acc3, _mm512_madd_epi16(_mm512_unpackhi_epi16(a1, b1), wp));
    }
    // packs keeps each 32-element half in order; packus interleaves the
    // halves' quadwords, which the permute undoes.
    const __m512i lo = _mm512_packs_epi32(round_final(acc0), round_final(acc1));
    const __m512i hi = _mm512_packs_epi32(round_final(acc2), round_final(acc3));
    _mm512_storeu_si512(dst + i, permute64(order, _mm512_packus_epi16(lo, hi)));
  }
  return i;
}

inline __m512i lanes4(const void* a, const void* b, const void* c, const void* d) {
  __m512i v = _mm512_castsi128_si512(_mm_loadu_si128(static_cast<const __m128i*>(a)));
  v = _mm512_inserti32x4(v, _mm_loadu_si128(static_cast<const __m128i*>(b)), 1);
  v = _mm512_inserti32x4(v, _mm_loadu_si128(static_cast<const __m128i*>(c)), 2);
  return _mm512_inserti32x4(v, _mm_loadu_si128(static_cast<const __m128i*>(d)), 3);
}

// Two-tap horizontal passes, sixteen outputs per step: register j carries
// output x + 4L + j in 128-bit lane L, and the sixteen weight pairs are one
// load whose in-lane broadcast of element j matches that layout. Other tap
// counts go to the AVX2 kernels.
int h_first_avx512(const uint8_t* src, int src_len, int16_t* dst, const int32_t* offs,
                   const int16_t* w, int taps, int x0, int x1) {
  if (taps != 2) return avx2_kernels().h_first(src, src_len, dst, offs, w, taps, x0, x1);
  const __m512i pairs = _mm512_maskz_broadcast_i32x4(0xFFFF, 
      _mm_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1));
  const __m512i compact = _mm512_maskz_broadcast_i32x4(0xFFFF, 
      _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1));
  const __m512i half = _mm512_set1_epi32(1 << (kMidShift - 1));
  const __m512i flip = _mm512_set1_epi16(-kMidBias);
  // Dwords of outputs 4L, 4L+1 (from p01) then 4L+2, 4L+3 (p23, index + 16).
  const __m512i first = _mm512_setr_epi32(0, 1, 2, 16, 17, 18, 4, 5, 6, 20, 21, 22, 8, 9, 10, 24);
  const __m512i second = _mm512_setr_epi32(25, 26, 12, 13, 14, 28, 29, 30, 0, 0, 0, 0, 0, 0, 0, 0);
  int x = x0;
  for (; x + 16 <= x1 && offs[x + 15] + 16 <= src_len; x += 16) {
    const __m512i wv = _mm512_loadu_si512(w + 2 * x);
    const __m512i wj[4] = {_mm512_maskz_shuffle_epi32(0xFFFF, wv, _MM_PERM_AAAA),
                           _mm512_maskz_shuffle_epi32(0xFFFF, wv, _MM_PERM_BBBB),
                           _mm512_maskz_shuffle_epi32(0xFFFF, wv, _MM_PERM_CCCC),
                           _mm512_maskz_shuffle_epi32(0xFFFF, wv, _MM_PERM_DDDD)};
    __m512i r[4];
    for (int j = 0; j < 4; ++j) {
      const __m512i v = lanes4(src + offs[x + j], src + offs[x + 4 + j], src + offs[x + 8 + j],
                               src + offs[x + 12 + j]);
      r[j] = srli32(_mm512_add_epi32(_mm512_madd_epi16(_mm512_shuffle_epi8(v, pairs), wj[j]), half),
                    kMidShift);
    }
    const __m512i p01 = _mm512_shuffle_epi8(
        _mm512_xor_si512(_mm512_packus_epi32(r[0], r[1]), flip), compact);
    const __m512i p23 = _mm512_shuffle_epi8(
        _mm512_xor_si512(_mm512_packus_epi32(r[2], r[3]), flip), compact);
    _mm512_storeu_si512(dst + 3 * x, _mm512_permutex2var_epi32(p01, first, p23));
    _mm512_mask_storeu_epi16(dst + 3 * x + 32, 0xFFFF, _mm512_permutex2var_epi32(p01, second, p23));
  }
  return x;
}

int h_second_avx512(const int16_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                    const int16_t* w, int taps, int x0, int x1) {
  if (taps != 2) return avx2_kernels().h_second(src, src_len, dst, offs, w, taps, x0, x1);
  const __m512i pairs = _mm512_maskz_broadcast_i32x4(0xFFFF, 
      _mm_setr_epi8(0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1));
  const __m512i compact = _mm512_maskz_broadcast_i32x4(0xFFFF, 
      _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1));
  const __m512i gather = _mm512_setr_epi32(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0, 0, 0, 0);
  const __mmask64 bytes48 = (__mmask64{1} << 48) - 1;
  int x = x0;
  // Each output reads one 16-byte load: 8 elements from its window start.
  for (; x + 16 <= x1 && offs[x + 15] + 8 <= src_len; x += 16) {
    const __m512i wv = _mm512_loadu_si512(w + 2 * x);
    const __m512i wj[4] = {_mm512_maskz_shuffle_epi32(0xFFFF, wv, _MM_PERM_AAAA),
                           _mm512_maskz_shuffle_epi32(0xFFFF, wv, _MM_PERM_BBBB),
                           _mm512_maskz_shuffle_epi32(0xFFFF, wv, _MM_PERM_CCCC),
                           _mm512_maskz_shuffle_epi32(0xFFFF, wv, _MM_PERM_DDDD)};
    __m512i r[4];
    for (int j = 0; j < 4; ++j) {
      const __m512i v = lanes4(src + offs[x + j], src + offs[x + 4 + j], src + offs[x + 8 + j],
                               src + offs[x + 12 + j]);
      r[j] = round_final(_mm512_madd_epi16(_mm512_shuffle_epi8(v, pairs), wj[j]));
    }
    // Lane L: outputs 4L..4L+3 as c0 c1 c2 0 bytes, then 12 bytes per lane.
    const __m512i b = _mm512_packus_epi16(_mm512_packs_epi32(r[0], r[1]),
                                          _mm512_packs_epi32(r[2], r[3]));
    const __m512i c = _mm512_maskz_permutexvar_epi32(0xFFFF, gather, _mm512_shuffle_epi8(b, compact));
    _mm512_mask_storeu_epi8(dst + 3 * x, bytes48, c);
  }
  return x;
}

}  // namespace

const Kernels& avx512_kernels() {
  static const Kernels k = {"avx512",        h_first_avx512,  h_second_avx512,
                            v_first_avx512,  v_second_avx512, avx2_kernels().box2};
  return k;
}

}  // namespace qarvel::detail
