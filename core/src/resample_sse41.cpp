// SSE4.1 kernels, the fallback for processors without AVX2: one output per
// 128-bit register in the horizontal passes, 16 elements per step in the
// vertical ones. The only file built with -msse4.1; it includes nothing but
// the intrinsics and resample.h.
#include <immintrin.h>

#include "resample.h"

namespace qarvel::detail {
namespace {

constexpr int kMidShift = kWeightBits - kMidBits;

inline __m128i weight_pair(const int16_t* w) {
  int32_t pair;
  __builtin_memcpy(&pair, w, sizeof pair);
  return _mm_set1_epi32(pair);
}

inline __m128i load16(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

// Weighted sum of one output from u8 pixels: int32 lanes c0 c1 c2 0.
inline __m128i h_sum_u8(const uint8_t* p, const int16_t* w, int taps) {
  const __m128i lo = _mm_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1);
  const __m128i hi = _mm_setr_epi8(6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
  __m128i acc = _mm_setzero_si128();
  int k = 0;
  for (; k + 4 <= taps; k += 4) {
    const __m128i v = load16(p + 3 * k);
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(v, lo), weight_pair(w + k)));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(v, hi), weight_pair(w + k + 2)));
  }
  if (k < taps)
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(load16(p + 3 * k), lo),
                                            weight_pair(w + k)));
  return acc;
}

// Weighted sum of one output from offset int16 pixels: int32 lanes c0 c1 c2 0.
inline __m128i h_sum_i16(const int16_t* p, const int16_t* w, int taps) {
  const __m128i pairs = _mm_setr_epi8(0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1);
  __m128i acc = _mm_setzero_si128();
  for (int k = 0; k < taps; k += 2)
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(load16(p + 3 * k), pairs),
                                            weight_pair(w + k)));
  return acc;
}

inline __m128i round_mid(__m128i sum) {
  return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << (kMidShift - 1))), kMidShift);
}

// Removes the intermediate's offset and shifts right by kFinalShift with ties
// to even; the parity read after adding half minus one decides ties.
inline __m128i round_final(__m128i sum) {
  const __m128i t = _mm_add_epi32(
      sum, _mm_set1_epi32(kMidBias * kWeightOne + (1 << (kFinalShift - 1)) - 1));
  const __m128i odd = _mm_and_si128(_mm_srli_epi32(t, kFinalShift), _mm_set1_epi32(1));
  return _mm_srli_epi32(_mm_add_epi32(t, odd), kFinalShift);
}

int h_first_sse41(const uint8_t* src, int src_len, int16_t* dst, const int32_t* offs,
                  const int16_t* w, int taps, int x0, int x1) {
  // Bytes read past a window's start: 16 per group of up to four taps.
  const int need = 3 * (taps - (taps % 4 == 0 ? 4 : 2)) + 16;
  const __m128i compact = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
  const __m128i flip = _mm_set1_epi16(-kMidBias);
  int x = x0;
  // Windows only move right, so the fourth output's window bounds all four.
  for (; x + 4 <= x1 && offs[x + 3] + need <= src_len; x += 4) {
    const int16_t* wx = w + static_cast<long>(x) * taps;
    __m128i r[4];
    for (int j = 0; j < 4; ++j) r[j] = round_mid(h_sum_u8(src + offs[x + j], wx + j * taps, taps));
    const __m128i p01 = _mm_shuffle_epi8(_mm_xor_si128(_mm_packus_epi32(r[0], r[1]), flip), compact);
    const __m128i p23 = _mm_shuffle_epi8(_mm_xor_si128(_mm_packus_epi32(r[2], r[3]), flip), compact);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x), _mm_or_si128(p01, _mm_slli_si128(p23, 12)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * x + 8), _mm_srli_si128(p23, 4));
  }
  return x;
}

int h_second_sse41(const int16_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                   const int16_t* w, int taps, int x0, int x1) {
  // Elements read past a window's start: 8 per tap pair.
  const int need = 3 * taps + 2;
  const __m128i compact = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int x = x0;
  for (; x + 4 <= x1 && offs[x + 3] + need <= src_len; x += 4) {
    const int16_t* wx = w + static_cast<long>(x) * taps;
    __m128i r[4];
    for (int j = 0; j < 4; ++j) r[j] = round_final(h_sum_i16(src + offs[x + j], wx + j * taps, taps));
    const __m128i bytes = _mm_shuffle_epi8(
        _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), _mm_packs_epi32(r[2], r[3])), compact);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * x), bytes);
    const int32_t tail = _mm_extract_epi32(bytes, 2);
    __builtin_memcpy(dst + 3 * x + 8, &tail, sizeof tail);
  }
  return x;
}

inline __m128i weight_pair_at(const int16_t* w, int k, int n) {
  const uint32_t lo = static_cast<uint16_t>(w[k]);
  const uint32_t hi = k + 1 < n ? static_cast<uint16_t>(w[k + 1]) : 0u;
  return _mm_set1_epi32(static_cast<int32_t>(lo | hi << 16));
}

int v_first_sse41(const uint8_t* const* rows, const int16_t* w, int n_rows, int16_t* dst, int i0,
                  int i1) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i half = _mm_set1_epi32(1 << (kMidShift - 1));
  const __m128i flip = _mm_set1_epi16(-kMidBias);
  int i = i0;
  if (n_rows == 2 && w[0] == kWeightOne / 2 && w[1] == kWeightOne / 2) {
    // Two rows at half weight: the sum is exactly (a + b) * 128.
    for (; i + 16 <= i1; i += 16) {
      const __m128i a = load16(rows[0] + i);
      const __m128i b = load16(rows[1] + i);
      const __m128i lo = _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
      const __m128i hi = _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                       _mm_xor_si128(_mm_slli_epi16(lo, kMidBits - 1), flip));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8),
                       _mm_xor_si128(_mm_slli_epi16(hi, kMidBits - 1), flip));
    }
    return i;
  }
  for (; i + 16 <= i1; i += 16) {
    __m128i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    for (int k = 0; k < n_rows; k += 2) {
      const __m128i a = load16(rows[k] + i);
      const __m128i b = k + 1 < n_rows ? load16(rows[k + 1] + i) : zero;
      const __m128i wp = weight_pair_at(w, k, n_rows);
      const __m128i ab_lo = _mm_unpacklo_epi8(a, b);
      const __m128i ab_hi = _mm_unpackhi_epi8(a, b);
      acc0 = _mm_add_epi32(acc0, _mm_madd_epi16(_mm_unpacklo_epi8(ab_lo, zero), wp));
      acc1 = _mm_add_epi32(acc1, _mm_madd_epi16(_mm_unpackhi_epi8(ab_lo, zero), wp));
      acc2 = _mm_add_epi32(acc2, _mm_madd_epi16(_mm_unpacklo_epi8(ab_hi, zero), wp));
      acc3 = _mm_add_epi32(acc3, _mm_madd_epi16(_mm_unpackhi_epi8(ab_hi, zero), wp));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                     _mm_xor_si128(_mm_packus_epi32(_mm_srli_epi32(_mm_add_epi32(acc0, half), kMidShift),
                                                    _mm_srli_epi32(_mm_add_epi32(acc1, half), kMidShift)),
                                   flip));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8),
                     _mm_xor_si128(_mm_packus_epi32(_mm_srli_epi32(_mm_add_epi32(acc2, half), kMidShift),
                                                    _mm_srli_epi32(_mm_add_epi32(acc3, half), kMidShift)),
                                   flip));
  }
  return i;
}

int v_second_sse41(const int16_t* const* rows, const int16_t* w, int n_rows, uint8_t* dst,
                   int i0, int i1) {
  const __m128i zero = _mm_setzero_si128();
  int i = i0;
  for (; i + 16 <= i1; i += 16) {
    __m128i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    for (int k = 0; k < n_rows; k += 2) {
      const __m128i a0 = load16(rows[k] + i);
      const __m128i a1 = load16(rows[k] + i + 8);
      __m128i b0 = zero, b1 = zero;
      if (k + 1 < n_rows) {
        b0 = load16(rows[k + 1] + i);
        b1 = load16(rows[k + 1] + i + 8);
      }
      const __m128i wp = weight_pair_at(w, k, n_rows);
      acc0 = _mm_add_epi32(acc0, _mm_madd_epi16(_mm_unpacklo_epi16(a0, b0), wp));
      acc1 = _mm_add_epi32(acc1, _mm_madd_epi16(_mm_unpackhi_epi16(a0, b0), wp));
      acc2 = _mm_add_epi32(acc2, _mm_madd_epi16(_mm_unpacklo_epi16(a1, b1), wp));
      acc3 = _mm_add_epi32(acc3, _mm_madd_epi16(_mm_unpackhi_epi16(a1, b1), wp));
    }
    const __m128i lo = _mm_packs_epi32(round_final(acc0), round_final(acc1));
    const __m128i hi = _mm_packs_epi32(round_final(acc2), round_final(acc3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(lo, hi));
  }
  return i;
}

int box2_sse41(const uint8_t* a, const uint8_t* b, int src_len, uint8_t* dst, int x0, int x1) {
  const __m128i pairs = _mm_setr_epi8(0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1);
  const __m128i compact = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
  const __m128i ones = _mm_set1_epi8(1);
  const __m128i one16 = _mm_set1_epi16(1);
  int x = x0;
  // Four outputs read 24 bytes per row, the second load 4 bytes beyond them.
  for (; x + 4 <= x1 && 6 * x + 28 <= src_len; x += 4) {
    __m128i r[2];
    for (int h = 0; h < 2; ++h) {
      const __m128i s = _mm_add_epi16(
          _mm_maddubs_epi16(_mm_shuffle_epi8(load16(a + 6 * x + 12 * h), pairs), ones),
          _mm_maddubs_epi16(_mm_shuffle_epi8(load16(b + 6 * x + 12 * h), pairs), ones));
      const __m128i odd = _mm_and_si128(_mm_srli_epi16(s, 2), one16);
      r[h] = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(s, one16), odd), 2);
    }
    const __m128i c = _mm_shuffle_epi8(_mm_packus_epi16(r[0], r[1]), compact);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * x), c);
    const int32_t tail = _mm_extract_epi32(c, 2);
    __builtin_memcpy(dst + 3 * x + 8, &tail, sizeof tail);
  }
  return x;
}

}  // namespace

const Kernels& sse41_kernels() {
  static const Kernels k = {"sse41",        h_first_sse41,  h_second_sse41,
                            v_first_sse41,  v_second_sse41, box2_sse41};
  return k;
}

}  // namespace qarvel::detail
