// AVX-512BW kernels for the channel-agnostic vertical passes; the horizontal
// passes, the 2:1 box and the 2x enlargement come from the AVX2 table. The
// only file built with -mavx512bw; it includes nothing but the intrinsics and
// resample.h.
#include <immintrin.h>

#include "resample.h"

namespace qarvel::detail {
namespace {

// Zero-masked forms are used throughout: GCC 12 warns that several unmasked
// ones read an undefined register.
inline __m512i srli32(__m512i v, unsigned n) { return _mm512_maskz_srli_epi32(0xFFFF, v, n); }

inline __m512i weight_pair512(const int16_t* w, int k, int n) {
  const uint32_t lo = static_cast<uint16_t>(w[k]);
  const uint32_t hi = k + 1 < n ? static_cast<uint16_t>(w[k + 1]) : 0u;
  return _mm512_set1_epi32(static_cast<int32_t>(lo | hi << 16));
}

// lo = N & 0xFF in the low half of each word, hi = N >> 8 (bytes 1 and 2 of
// N, which hold all of it) in the high half: one byte shuffle.
inline __m512i mid_word(__m512i n) {
  return _mm512_shuffle_epi8(n, _mm512_maskz_broadcast_i32x4(
      0xFFFF, _mm_setr_epi8(0, -1, 1, 2, 4, -1, 5, 6, 8, -1, 9, 10, 12, -1, 13, 14)));
}

inline __m512i round_final(__m512i sum) {
  const __m512i t = _mm512_add_epi32(sum, _mm512_set1_epi32((1 << (kFinalShift - 1)) - 1));
  const __m512i odd = _mm512_and_si512(srli32(t, kFinalShift), _mm512_set1_epi32(1));
  return srli32(_mm512_add_epi32(t, odd), kFinalShift);
}

inline __m512i lanes(__m512i a, __m512i b, int imm) {
  switch (imm) {
    case 0x44: return _mm512_maskz_shuffle_i32x4(0xFFFF, a, b, 0x44);
    case 0xEE: return _mm512_maskz_shuffle_i32x4(0xFFFF, a, b, 0xEE);
    case 0x88: return _mm512_maskz_shuffle_i32x4(0xFFFF, a, b, 0x88);
    default: return _mm512_maskz_shuffle_i32x4(0xFFFF, a, b, 0xDD);
  }
}

int v_first_avx512(const uint8_t* const* rows, const int16_t* w, int n_rows, int32_t* dst, int i0,
                   int i1) {
  const __m512i zero = _mm512_setzero_si512();
  int i = i0;
  for (; i + 64 <= i1; i += 64) {
    __m512i acc[4] = {zero, zero, zero, zero};
    for (int k = 0; k < n_rows; k += 2) {
      const __m512i a = _mm512_loadu_si512(rows[k] + i);
      const __m512i b = k + 1 < n_rows ? _mm512_loadu_si512(rows[k + 1] + i) : zero;
      const __m512i wp = weight_pair512(w, k, n_rows);
      const __m512i ab_lo = _mm512_unpacklo_epi8(a, b);
      const __m512i ab_hi = _mm512_unpackhi_epi8(a, b);
      acc[0] = _mm512_add_epi32(acc[0], _mm512_madd_epi16(_mm512_unpacklo_epi8(ab_lo, zero), wp));
      acc[1] = _mm512_add_epi32(acc[1], _mm512_madd_epi16(_mm512_unpackhi_epi8(ab_lo, zero), wp));
      acc[2] = _mm512_add_epi32(acc[2], _mm512_madd_epi16(_mm512_unpacklo_epi8(ab_hi, zero), wp));
      acc[3] = _mm512_add_epi32(acc[3], _mm512_madd_epi16(_mm512_unpackhi_epi8(ab_hi, zero), wp));
    }
    // acc[m] holds elements 16L + 4m .. 16L + 4m + 3 in 128-bit lane L: a
    // 4 x 4 transpose of lanes puts them in order.
    for (int m = 0; m < 4; ++m) acc[m] = mid_word(acc[m]);
    const __m512i t0 = lanes(acc[0], acc[1], 0x44), t1 = lanes(acc[2], acc[3], 0x44);
    const __m512i t2 = lanes(acc[0], acc[1], 0xEE), t3 = lanes(acc[2], acc[3], 0xEE);
    _mm512_storeu_si512(dst + i, lanes(t0, t1, 0x88));
    _mm512_storeu_si512(dst + i + 16, lanes(t0, t1, 0xDD));
    _mm512_storeu_si512(dst + i + 32, lanes(t2, t3, 0x88));
    _mm512_storeu_si512(dst + i + 48, lanes(t2, t3, 0xDD));
  }
  return i;
}

int v_second_avx512(const int32_t* const* rows, const int32_t* w, int n_rows, uint8_t* dst,
                    int i0, int i1) {
  const __m512i zero = _mm512_setzero_si512();
  // packs and packus leave elements 16m + 4L .. in dword 4L + m.
  const __m512i order = _mm512_setr_epi32(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15);
  int i = i0;
  for (; i + 64 <= i1; i += 64) {
    __m512i acc[4] = {zero, zero, zero, zero};
    for (int k = 0; k < n_rows; ++k) {
      const __m512i wp = _mm512_set1_epi32(w[k]);
      for (int j = 0; j < 4; ++j)
        acc[j] = _mm512_add_epi32(acc[j], _mm512_madd_epi16(_mm512_loadu_si512(rows[k] + i + 16 * j), wp));
    }
    const __m512i lo = _mm512_packs_epi32(round_final(acc[0]), round_final(acc[1]));
    const __m512i hi = _mm512_packs_epi32(round_final(acc[2]), round_final(acc[3]));
    _mm512_storeu_si512(dst + i, _mm512_maskz_permutexvar_epi32(0xFFFF, order, _mm512_packus_epi16(lo, hi)));
  }
  return i;
}

}  // namespace

const Kernels& avx512_kernels() {
  static const Kernels& avx2 = avx2_kernels();
  static const Kernels k = {"avx512",       avx2.h_first,    avx2.h_second,
                            v_first_avx512, v_second_avx512, avx2.box2,
                            avx2.up2_row,   avx2.up2_blend,  nullptr,
                            nullptr,        avx2.h_first_c1, avx2.h_second_c1,
                            avx2.box2_c1,   avx2.up2_row_c1};
  return k;
}

}  // namespace qarvel::detail
