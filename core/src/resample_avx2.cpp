// AVX2 kernels. The only file built with -mavx2; it includes nothing but the
// intrinsics and resample.h, and keeps every helper in an anonymous namespace
// so no AVX2-built code can stand in for a baseline copy. Each kernel does the
// bulk and returns where the scalar kernel must take over.
#include <immintrin.h>

#include "resample.h"

namespace qarvel::detail {
namespace {

inline __m128i weight_pair(const int16_t* w) {
  int32_t pair;
  __builtin_memcpy(&pair, w, sizeof pair);
  return _mm_set1_epi32(pair);
}

// Sum of `taps` u8 pixels (3 channels) times weights: int32 lanes c0 c1 c2 0.
inline __m128i h_sum_u8(const uint8_t* p, const int16_t* w, int taps) {
  // (c of pixel k, c of pixel k+1) as 16-bit pairs, for the two pixel pairs
  // in a 12-byte group.
  const __m128i lo = _mm_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1);
  const __m128i hi = _mm_setr_epi8(6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
  __m128i acc = _mm_setzero_si128();
  int k = 0;
  for (; k + 4 <= taps; k += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3 * k));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(v, lo), weight_pair(w + k)));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(v, hi), weight_pair(w + k + 2)));
  }
  if (k < taps) {
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 3 * k));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(v, lo), weight_pair(w + k)));
  }
  return acc;
}

// Sum of `taps` offset int16 pixels (3 channels) times weights: int32 lanes
// c0 c1 c2 0.
inline __m128i h_sum_i16(const int16_t* p, const int16_t* w, int taps) {
  const __m128i pairs = _mm_setr_epi8(0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1);
  __m128i acc = _mm_setzero_si128();
  for (int k = 0; k < taps; k += 2) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 3 * k));
    acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(v, pairs), weight_pair(w + k)));
  }
  return acc;
}

constexpr int kMidShift = kWeightBits - kMidBits;

// Rounded value * 256 in int32 lanes; packus then narrows it to u16, and
// flipping the top bit applies the -kMidBias offset.
inline __m128i round_mid(__m128i sum) {
  return _mm_srli_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << (kMidShift - 1))), kMidShift);
}

// Removes the intermediate's offset, then shifts right by kFinalShift with
// ties to even.
inline __m128i round_final(__m128i sum) {
  sum = _mm_add_epi32(sum, _mm_set1_epi32(kMidBias * kWeightOne));
  const __m128i odd = _mm_and_si128(_mm_srli_epi32(sum, kFinalShift), _mm_set1_epi32(1));
  const __m128i bias = _mm_add_epi32(_mm_set1_epi32((1 << (kFinalShift - 1)) - 1), odd);
  return _mm_srli_epi32(_mm_add_epi32(sum, bias), kFinalShift);
}

inline __m256i round_final256(__m256i sum) {
  sum = _mm256_add_epi32(sum, _mm256_set1_epi32(kMidBias * kWeightOne));
  const __m256i odd = _mm256_and_si256(_mm256_srli_epi32(sum, kFinalShift), _mm256_set1_epi32(1));
  const __m256i bias = _mm256_add_epi32(_mm256_set1_epi32((1 << (kFinalShift - 1)) - 1), odd);
  return _mm256_srli_epi32(_mm256_add_epi32(sum, bias), kFinalShift);
}

int h_first_avx2(const uint8_t* src, int src_len, int16_t* dst, const int32_t* offs,
                 const int16_t* w, int taps, int x0, int x1) {
  // Bytes read past a window's start: 16 per four taps, 8 for a last pair.
  const int need = taps % 4 == 0 ? 3 * taps + 4 : 3 * taps + 2;
  const __m128i compact = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
  int x = x0;
  // Windows only move right, so the fourth output's window bounds all four.
  for (; x + 4 <= x1 && offs[x + 3] + need <= src_len; x += 4) {
    const int16_t* wx = w + static_cast<long>(x) * taps;
    const __m128i r0 = round_mid(h_sum_u8(src + offs[x], wx, taps));
    const __m128i r1 = round_mid(h_sum_u8(src + offs[x + 1], wx + taps, taps));
    const __m128i r2 = round_mid(h_sum_u8(src + offs[x + 2], wx + 2 * taps, taps));
    const __m128i r3 = round_mid(h_sum_u8(src + offs[x + 3], wx + 3 * taps, taps));
    const __m128i flip = _mm_set1_epi16(-kMidBias);
    const __m128i p01 = _mm_shuffle_epi8(_mm_xor_si128(_mm_packus_epi32(r0, r1), flip), compact);
    const __m128i p23 = _mm_shuffle_epi8(_mm_xor_si128(_mm_packus_epi32(r2, r3), flip), compact);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x),
                     _mm_or_si128(p01, _mm_slli_si128(p23, 12)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * x + 8), _mm_srli_si128(p23, 4));
  }
  return x;
}

int h_second_avx2(const int16_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                  const int16_t* w, int taps, int x0, int x1) {
  // Elements read past a window's start: 8 per tap pair, the last pair ends it.
  const int need = 3 * taps + 2;
  const __m128i compact = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int x = x0;
  for (; x + 4 <= x1 && offs[x + 3] + need <= src_len; x += 4) {
    const int16_t* wx = w + static_cast<long>(x) * taps;
    const __m128i r0 = round_final(h_sum_i16(src + offs[x], wx, taps));
    const __m128i r1 = round_final(h_sum_i16(src + offs[x + 1], wx + taps, taps));
    const __m128i r2 = round_final(h_sum_i16(src + offs[x + 2], wx + 2 * taps, taps));
    const __m128i r3 = round_final(h_sum_i16(src + offs[x + 3], wx + 3 * taps, taps));
    const __m128i bytes = _mm_shuffle_epi8(
        _mm_packus_epi16(_mm_packs_epi32(r0, r1), _mm_packs_epi32(r2, r3)), compact);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * x), bytes);
    const int32_t tail = _mm_extract_epi32(bytes, 2);
    __builtin_memcpy(dst + 3 * x + 8, &tail, sizeof tail);
  }
  return x;
}

inline __m256i weight_pair256(const int16_t* w, int k, int n) {
  const uint32_t lo = static_cast<uint16_t>(w[k]);
  const uint32_t hi = k + 1 < n ? static_cast<uint16_t>(w[k + 1]) : 0u;
  return _mm256_set1_epi32(static_cast<int32_t>(lo | hi << 16));
}

int v_first_avx2(const uint8_t* const* rows, const int16_t* w, int n_rows, int16_t* dst, int i0,
                 int i1) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i half = _mm256_set1_epi32(1 << (kMidShift - 1));
  const __m256i flip = _mm256_set1_epi16(-kMidBias);
  int i = i0;
  for (; i + 32 <= i1; i += 32) {
    __m256i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    for (int k = 0; k < n_rows; k += 2) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k] + i));
      const __m256i b =
          k + 1 < n_rows ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[k + 1] + i))
                         : zero;
      const __m256i wp = weight_pair256(w, k, n_rows);
      // Byte pairs (a, b) widened to 16 bits: one madd applies two taps.
      const __m256i ab_lo = _mm256_unpacklo_epi8(a, b);
      const __m256i ab_hi = _mm256_unpackhi_epi8(a, b);
      acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(_mm256_unpacklo_epi8(ab_lo, zero), wp));
      acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(_mm256_unpackhi_epi8(ab_lo, zero), wp));
      acc2 = _mm256_add_epi32(acc2, _mm256_madd_epi16(_mm256_unpacklo_epi8(ab_hi, zero), wp));
      acc3 = _mm256_add_epi32(acc3, _mm256_madd_epi16(_mm256_unpackhi_epi8(ab_hi, zero), wp));
    }
    acc0 = _mm256_srli_epi32(_mm256_add_epi32(acc0, half), kMidShift);
    acc1 = _mm256_srli_epi32(_mm256_add_epi32(acc1, half), kMidShift);
    acc2 = _mm256_srli_epi32(_mm256_add_epi32(acc2, half), kMidShift);
    acc3 = _mm256_srli_epi32(_mm256_add_epi32(acc3, half), kMidShift);
    // Lane-wise unpacks leave elements 0-7 | 16-23 and 8-15 | 24-31.
    const __m256i p01 = _mm256_xor_si256(_mm256_packus_epi32(acc0, acc1), flip);
    const __m256i p23 = _mm256_xor_si256(_mm256_packus_epi32(acc2, acc3), flip);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm256_permute2x128_si256(p01, p23, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 16),
                        _mm256_permute2x128_si256(p01, p23, 0x31));
  }
  return i;
}

int v_second_avx2(const int16_t* const* rows, const int16_t* w, int n_rows, uint8_t* dst,
                  int i0, int i1) {
  const __m256i zero = _mm256_setzero_si256();
  int i = i0;
  for (; i + 32 <= i1; i += 32) {
    __m256i acc0 = zero, acc1 = zero, acc2 = zero, acc3 = zero;
    for (int k = 0; k < n_rows; k += 2) {
      const __m256i* pa = reinterpret_cast<const __m256i*>(rows[k] + i);
      const __m256i a0 = _mm256_loadu_si256(pa);
      const __m256i a1 = _mm256_loadu_si256(pa + 1);
      __m256i b0 = zero, b1 = zero;
      if (k + 1 < n_rows) {
        const __m256i* pb = reinterpret_cast<const __m256i*>(rows[k + 1] + i);
        b0 = _mm256_loadu_si256(pb);
        b1 = _mm256_loadu_si256(pb + 1);
      }
      const __m256i wp = weight_pair256(w, k, n_rows);
      acc0 = _mm256_add_epi32(acc0, _mm256_madd_epi16(_mm256_unpacklo_epi16(a0, b0), wp));
      acc1 = _mm256_add_epi32(acc1, _mm256_madd_epi16(_mm256_unpackhi_epi16(a0, b0), wp));
      acc2 = _mm256_add_epi32(acc2, _mm256_madd_epi16(_mm256_unpacklo_epi16(a1, b1), wp));
      acc3 = _mm256_add_epi32(acc3, _mm256_madd_epi16(_mm256_unpackhi_epi16(a1, b1), wp));
    }
    // packs restores element order within each 16-element half; packus then
    // interleaves the halves' 128-bit lanes, which the permute undoes.
    const __m256i lo = _mm256_packs_epi32(round_final256(acc0), round_final256(acc1));
    const __m256i hi = _mm256_packs_epi32(round_final256(acc2), round_final256(acc3));
    const __m256i bytes = _mm256_permute4x64_epi64(_mm256_packus_epi16(lo, hi), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), bytes);
  }
  return i;
}

}  // namespace

const Kernels& avx2_kernels() {
  static const Kernels k = {"avx2", h_first_avx2, h_second_avx2, v_first_avx2, v_second_avx2};
  return k;
}

}  // namespace qarvel::detail
