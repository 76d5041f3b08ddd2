// AVX2 kernels. The only file built with -mavx2; it includes nothing but the
// intrinsics and resample.h, and keeps every helper in an anonymous namespace
// so no AVX2-built code can stand in for a baseline copy. Each kernel does the
// bulk and returns where the scalar kernel must take over.
#include <immintrin.h>

#include "resample.h"

namespace qarvel::detail {
namespace {

inline int32_t load_pair(const int16_t* w) {
  int32_t pair;
  __builtin_memcpy(&pair, w, sizeof pair);
  return pair;
}

// Two outputs side by side: output a in the low 128-bit lane, b in the high.
inline __m256i load_lanes(const void* a, const void* b) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(a))),
      _mm_loadu_si128(static_cast<const __m128i*>(b)), 1);
}

inline __m256i weight_lanes(const int16_t* wa, const int16_t* wb) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_set1_epi32(load_pair(wa))),
                                 _mm_set1_epi32(load_pair(wb)), 1);
}

// (c of pixel k, c of pixel k+1) as 16-bit pairs from u8 pixels k..k+3, for
// the first and the second pixel pair; the fourth int32 lane stays zero.
inline __m256i pairs_u8_lo() {
  return _mm256_setr_epi8(0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1,
                          0, -1, 3, -1, 1, -1, 4, -1, 2, -1, 5, -1, -1, -1, -1, -1);
}
inline __m256i pairs_u8_hi() {
  return _mm256_setr_epi8(6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1,
                          6, -1, 9, -1, 7, -1, 10, -1, 8, -1, 11, -1, -1, -1, -1, -1);
}
// Weighted sums of outputs a and b (one per lane): int32 c0 c1 c2 0.
inline __m256i h_sum_u8(const uint8_t* pa, const uint8_t* pb, const int16_t* wa,
                        const int16_t* wb, int taps) {
  __m256i acc = _mm256_setzero_si256();
  int k = 0;
  for (; k + 4 <= taps; k += 4) {
    const __m256i v = load_lanes(pa + 3 * k, pb + 3 * k);
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_shuffle_epi8(v, pairs_u8_lo()),
                                                  weight_lanes(wa + k, wb + k)));
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_shuffle_epi8(v, pairs_u8_hi()),
                                                  weight_lanes(wa + k + 2, wb + k + 2)));
  }
  if (k < taps) {
    const __m256i v = load_lanes(pa + 3 * k, pb + 3 * k);
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_shuffle_epi8(v, pairs_u8_lo()),
                                                  weight_lanes(wa + k, wb + k)));
  }
  return acc;
}

// Weighted sum of one output from intermediate words, a tap pair per 32-byte
// multiply: int32 c0 c1 c2 of tap k and c0 c1 c2 of tap k+1, two zeros.
inline __m256i h_sum_mid(const int32_t* p, const int32_t* wp, int taps) {
  __m256i acc = _mm256_setzero_si256();
  for (int k = 0; k < taps; k += 2)
    acc = _mm256_add_epi32(acc, _mm256_madd_epi16(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3 * k)),
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(wp + pair_tap(k)))));
  return acc;
}

// Folds the tap halves of outputs a and b into lanes: c0 c1 c2 x of a | of b.
inline __m256i fold_lanes(__m256i a, __m256i b) {
  const __m256i u = _mm256_permute2x128_si256(a, b, 0x20);
  const __m256i v = _mm256_permute2x128_si256(a, b, 0x31);
  return _mm256_add_epi32(u, _mm256_alignr_epi8(v, u, 12));
}

// lo = N & 0xFF in the low half of each word, hi = N >> 8 (bytes 1 and 2 of
// N, which hold all of it) in the high half: one byte shuffle.
inline __m256i mid_word(__m256i n) {
  return _mm256_shuffle_epi8(n, _mm256_setr_epi8(0, -1, 1, 2, 4, -1, 5, 6, 8, -1, 9, 10, 12, -1, 13, 14,
                                                 0, -1, 1, 2, 4, -1, 5, 6, 8, -1, 9, 10, 12, -1, 13, 14));
}

// Shifts right by kFinalShift with ties to even. The parity is read after
// adding half minus one: when that carries into the next unit the result
// rounds up whatever the parity adds.
inline __m256i round_final(__m256i sum) {
  const __m256i t = _mm256_add_epi32(sum, _mm256_set1_epi32((1 << (kFinalShift - 1)) - 1));
  const __m256i odd = _mm256_and_si256(_mm256_srli_epi32(t, kFinalShift), _mm256_set1_epi32(1));
  return _mm256_srli_epi32(_mm256_add_epi32(t, odd), kFinalShift);
}

// Outputs x..x+7 travel as r[j] = (x+j | x+4+j), int32 lanes c0 c1 c2 x.
// Stores them as 24 words in ascending order, each output's fourth lane
// overwritten by the next; the last writes one word past the 24.
inline void store8_mid(int32_t* dst, const __m256i* r) {
  __m256i m[4];
  for (int j = 0; j < 4; ++j) m[j] = mid_word(r[j]);
  for (int j = 0; j < 4; ++j)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * j), _mm256_castsi256_si128(m[j]));
  for (int j = 0; j < 4; ++j)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 12 + 3 * j), _mm256_extracti128_si256(m[j], 1));
}

// Eight u8 outputs, 24 bytes, written without passing dst + 24.
inline void store8_u8(uint8_t* dst, const __m256i* r) {
  const __m256i compact = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                           0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  const __m256i p01 = _mm256_packs_epi32(round_final(r[0]), round_final(r[1]));
  const __m256i p23 = _mm256_packs_epi32(round_final(r[2]), round_final(r[3]));
  const __m256i c = _mm256_shuffle_epi8(_mm256_packus_epi16(p01, p23), compact);
  // The low lane's four spare bytes land where the high lane's store follows.
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(c));
  const __m128i hi = _mm256_extracti128_si256(c, 1);
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 12), hi);
  const int32_t tail = _mm_extract_epi32(hi, 2);
  __builtin_memcpy(dst + 20, &tail, sizeof tail);
}

// Weight pairs of outputs x..x+7 at four taps each, as (x+j | x+4+j) lanes:
// wp[2j] holds tap pair 0, wp[2j+1] tap pair 1.
inline void weights4(const int16_t* w, __m256i* wp) {
  const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w));
  const __m256i w1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 16));
  const __m256i a = _mm256_permute2x128_si256(w0, w1, 0x20);  // x, x+1 | x+4, x+5
  const __m256i b = _mm256_permute2x128_si256(w0, w1, 0x31);  // x+2, x+3 | x+6, x+7
  wp[0] = _mm256_shuffle_epi32(a, 0x00);
  wp[1] = _mm256_shuffle_epi32(a, 0x55);
  wp[2] = _mm256_shuffle_epi32(a, 0xAA);
  wp[3] = _mm256_shuffle_epi32(a, 0xFF);
  wp[4] = _mm256_shuffle_epi32(b, 0x00);
  wp[5] = _mm256_shuffle_epi32(b, 0x55);
  wp[6] = _mm256_shuffle_epi32(b, 0xAA);
  wp[7] = _mm256_shuffle_epi32(b, 0xFF);
}

// Byte shuffles for eight 2:1 outputs from pixel pairs: word e (element e
// of the outputs) takes bytes a and b of its pair into its high half's two
// bytes; lane L of the six 16-byte lanes (words 4L..4L+3) reads 16 bytes from
// byte kHalfPairBase[L] of the first pair.
constexpr int kHalfPairBase[6] = {0, 6, 12, 18, 30, 36};
struct alignas(32) HalfPairMasks {
  int8_t pick[96];
};
constexpr HalfPairMasks half_pair_masks() {
  HalfPairMasks m{};
  for (int e = 0; e < 24; ++e) {
    const int a = 6 * (e / 3) + e % 3 - kHalfPairBase[e / 4];
    m.pick[4 * e] = m.pick[4 * e + 1] = -1;
    m.pick[4 * e + 2] = static_cast<int8_t>(a);
    m.pick[4 * e + 3] = static_cast<int8_t>(a + 3);
  }
  return m;
}
constexpr HalfPairMasks kHalfPairMasks = half_pair_masks();

int h_first_avx2(const uint8_t* src, int src_len, int32_t* dst, const int32_t* offs,
                 const int16_t* w, int taps, int x0, int x1) {
  // Bytes read past a window's start: 16 per group of up to four taps.
  const int need = 3 * (taps - (taps % 4 == 0 ? 4 : 2)) + 16;
  int x = x0;
  __m256i r[4];
  // Windows only move right, so the last output's window bounds all eight.
  if (taps == 2) {
    const __m256i steps = _mm256_setr_epi32(0, 6, 12, 18, 24, 30, 36, 42);
    const __m256i halves = _mm256_set1_epi16(-kWeightOne / 2);
    // maddubs weights: 0 for the low half's two bytes, -64 for a and b.
    const __m256i minus64 = _mm256_set1_epi32(static_cast<int32_t>(0xC0C00000u));
    for (; x + 8 <= x1 && offs[x + 7] + need <= src_len; x += 8) {
      // Two taps: the eight outputs' weight pairs are one 32-byte load.
      const __m256i wv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(w + 2 * x));
      const __m256i ov = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offs + x));
      if (_mm256_movemask_epi8(_mm256_and_si256(
              _mm256_cmpeq_epi16(wv, halves),
              _mm256_cmpeq_epi32(ov, _mm256_add_epi32(_mm256_set1_epi32(offs[x]), steps)))) == -1 &&
          offs[x] + 52 <= src_len) {
        // Pixel pairs at half weight (2:1): N = -(a + b) * 2^14, so lo is 0
        // and hi is -(a + b) * 64, one maddubs per eight words in order.
        const uint8_t* p = src + offs[x];
        for (int k = 0; k < 3; ++k) {
          const __m256i v = load_lanes(p + kHalfPairBase[2 * k], p + kHalfPairBase[2 * k + 1]);
          const __m256i m = _mm256_load_si256(reinterpret_cast<const __m256i*>(kHalfPairMasks.pick + 32 * k));
          _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 3 * x + 8 * k),
                              _mm256_maddubs_epi16(_mm256_shuffle_epi8(v, m), minus64));
        }
        continue;
      }
      const __m256i wj[4] = {_mm256_shuffle_epi32(wv, 0x00), _mm256_shuffle_epi32(wv, 0x55),
                             _mm256_shuffle_epi32(wv, 0xAA), _mm256_shuffle_epi32(wv, 0xFF)};
      for (int j = 0; j < 4; ++j) {
        const __m256i v = load_lanes(src + offs[x + j], src + offs[x + 4 + j]);
        r[j] = _mm256_madd_epi16(_mm256_shuffle_epi8(v, pairs_u8_lo()), wj[j]);
      }
      store8_mid(dst + 3 * x, r);
    }
    return x;
  }
  if (taps == 4) {
    for (; x + 8 <= x1 && offs[x + 7] + need <= src_len; x += 8) {
      __m256i wp[8];
      weights4(w + 4 * x, wp);
      for (int j = 0; j < 4; ++j) {
        const __m256i v = load_lanes(src + offs[x + j], src + offs[x + 4 + j]);
        r[j] = _mm256_add_epi32(_mm256_madd_epi16(_mm256_shuffle_epi8(v, pairs_u8_lo()), wp[2 * j]),
                                _mm256_madd_epi16(_mm256_shuffle_epi8(v, pairs_u8_hi()), wp[2 * j + 1]));
      }
      store8_mid(dst + 3 * x, r);
    }
    return x;
  }
  for (; x + 8 <= x1 && offs[x + 7] + need <= src_len; x += 8) {
    for (int j = 0; j < 4; ++j)
      r[j] = h_sum_u8(src + offs[x + j], src + offs[x + 4 + j], w + long(x + j) * taps,
                      w + long(x + 4 + j) * taps, taps);
    store8_mid(dst + 3 * x, r);
  }
  return x;
}

// Eight two-tap outputs whose windows step by one pixel from p: element e
// takes words e and e + 3 with the element-by-element pairs at we and we + 24,
// like a vertical pass, and no folding.
inline void h_second_run8(const int32_t* p, const int32_t* we, uint8_t* dst) {
  __m256i r[3];
  for (int i = 0; i < 3; ++i) {
    const __m256i a = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 8 * i)),
                                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(we + 8 * i)));
    const __m256i b = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 3 + 8 * i)),
                                        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(we + kRunInts + 8 * i)));
    r[i] = round_final(_mm256_add_epi32(a, b));
  }
  // Dwords of bytes: 0-3 8-11 16-19 x | 4-7 12-15 20-23 x.
  const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(r[0], r[1]), _mm256_packs_epi32(r[2], r[2]));
  const __m256i c = _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(c));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(c, 1));
}

// Outputs [x, x1) in groups of eight while their windows lie inside src_len;
// inlined with constant taps for the common counts. A group of eight from a
// multiple of eight shares one two-tap run.
static_assert(kRunGroup % 8 == 0, "eight outputs never straddle two runs");
__attribute__((always_inline)) inline int h_second_groups(const int32_t* src, int src_len,
                                                          uint8_t* dst, const int32_t* offs,
                                                          const int32_t* w, int taps, int x,
                                                          int x1) {
  // Elements read past a window's start: eight words per tap pair.
  const int need = 3 * taps + 2;
  __m256i r[4];
  for (; x + 8 <= x1 && offs[x + 7] + need <= src_len; x += 8) {
    if (taps == 2 && (x & 7) == 0 && offs[x + 7] == offs[x] + 21) {
      h_second_run8(src + offs[x], w + pair_run(x), dst + 3 * x);
      continue;
    }
    for (int j = 0; j < 4; ++j)
      r[j] = fold_lanes(h_sum_mid(src + offs[x + j], w + pair_block(x + j, taps), taps),
                        h_sum_mid(src + offs[x + 4 + j], w + pair_block(x + 4 + j, taps), taps));
    store8_u8(dst + 3 * x, r);
  }
  return x;
}

int h_second_avx2(const int32_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                  const int32_t* w, int taps, int x0, int x1) {
  switch (taps) {
    case 2: return h_second_groups(src, src_len, dst, offs, w, 2, x0, x1);
    case 4: return h_second_groups(src, src_len, dst, offs, w, 4, x0, x1);
    case 6: return h_second_groups(src, src_len, dst, offs, w, 6, x0, x1);
    default: return h_second_groups(src, src_len, dst, offs, w, taps, x0, x1);
  }
}

inline __m256i weight_pair256(const int16_t* w, int k, int n) {
  const uint32_t lo = static_cast<uint16_t>(w[k]);
  const uint32_t hi = k + 1 < n ? static_cast<uint16_t>(w[k + 1]) : 0u;
  return _mm256_set1_epi32(static_cast<int32_t>(lo | hi << 16));
}

int v_first_avx2(const uint8_t* const* rows, const int16_t* w, int n_rows, int32_t* dst, int i0,
                 int i1) {
  const __m256i zero = _mm256_setzero_si256();
  int i = i0;
  if (n_rows == 2 && w[0] == -kWeightOne / 2 && w[1] == -kWeightOne / 2) {
    // Two rows at half weight (2:1 ratios): N = -(a + b) * 2^14, so lo is 0
    // and hi is -(a + b) * 64.
    for (; i + 16 <= i1; i += 16) {
      const __m256i s = _mm256_add_epi16(
          _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[0] + i))),
          _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[1] + i))));
      const __m256i hi = _mm256_sub_epi16(zero, _mm256_slli_epi16(s, 6));
      // Lane-wise unpacks: elements 0-3 | 8-11 and 4-7 | 12-15.
      const __m256i a = _mm256_unpacklo_epi16(zero, hi);
      const __m256i b = _mm256_unpackhi_epi16(zero, hi);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_permute2x128_si256(a, b, 0x20));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i + 8),
                          _mm256_permute2x128_si256(a, b, 0x31));
    }
    return i;
  }
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
    // Lane-wise unpacks leave elements 0-3 | 16-19, 4-7 | 20-23, 8-11 | 24-27
    // and 12-15 | 28-31.
    acc0 = mid_word(acc0);
    acc1 = mid_word(acc1);
    acc2 = mid_word(acc2);
    acc3 = mid_word(acc3);
    auto* out = reinterpret_cast<__m256i*>(dst + i);
    _mm256_storeu_si256(out, _mm256_permute2x128_si256(acc0, acc1, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(acc2, acc3, 0x20));
    _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(acc0, acc1, 0x31));
    _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(acc2, acc3, 0x31));
  }
  return i;
}

int v_second_avx2(const int32_t* const* rows, const int32_t* w, int n_rows, uint8_t* dst,
                  int i0, int i1) {
  const __m256i zero = _mm256_setzero_si256();
  int i = i0;
  for (; i + 32 <= i1; i += 32) {
    __m256i acc[4] = {zero, zero, zero, zero};
    for (int k = 0; k < n_rows; ++k) {
      const __m256i wp = _mm256_set1_epi32(w[k]);
      const __m256i* p = reinterpret_cast<const __m256i*>(rows[k] + i);
      for (int j = 0; j < 4; ++j)
        acc[j] = _mm256_add_epi32(acc[j], _mm256_madd_epi16(_mm256_loadu_si256(p + j), wp));
    }
    // packs and packus work within 128-bit lanes; the permute restores order.
    const __m256i lo = _mm256_packs_epi32(round_final(acc[0]), round_final(acc[1]));
    const __m256i hi = _mm256_packs_epi32(round_final(acc[2]), round_final(acc[3]));
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(lo, hi),
                                                      _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), bytes);
  }
  return i;
}

int box2_avx2(const uint8_t* a, const uint8_t* b, int src_len, uint8_t* dst, int x0, int x1) {
  // Per 16-byte load of four pixels: byte pairs (c of pixel 0, c of pixel 1)
  // and the same for pixels 2 and 3, summed by maddubs against ones.
  const __m256i pairs = _mm256_setr_epi8(0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1,
                                         0, 3, 1, 4, 2, 5, 6, 9, 7, 10, 8, 11, -1, -1, -1, -1);
  const __m256i compact = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1,
                                           0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i one16 = _mm256_set1_epi16(1);
  int x = x0;
  // Eight outputs read 48 bytes per row, the last load 4 bytes beyond them.
  for (; x + 8 <= x1 && 6 * x + 52 <= src_len; x += 8) {
    const uint8_t* pa = a + 6 * x;
    const uint8_t* pb = b + 6 * x;
    __m256i r[2];
    for (int h = 0; h < 2; ++h) {
      // Lanes: outputs 4h, 4h+1 | 4h+2, 4h+3.
      const __m256i va = load_lanes(pa + 24 * h, pa + 24 * h + 12);
      const __m256i vb = load_lanes(pb + 24 * h, pb + 24 * h + 12);
      const __m256i s = _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_shuffle_epi8(va, pairs), ones),
                                         _mm256_maddubs_epi16(_mm256_shuffle_epi8(vb, pairs), ones));
      const __m256i odd = _mm256_and_si256(_mm256_srli_epi16(s, 2), one16);
      r[h] = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(s, one16), odd), 2);
    }
    // Quadwords hold outputs (0,1) (4,5) | (2,3) (6,7); put them in order.
    const __m256i q = _mm256_permute4x64_epi64(_mm256_packus_epi16(r[0], r[1]), 0xD8);
    const __m256i c = _mm256_shuffle_epi8(q, compact);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x), _mm256_castsi256_si128(c));
    const __m128i hi = _mm256_extracti128_si256(c, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * x + 12), hi);
    const int32_t tail = _mm_extract_epi32(hi, 2);
    __builtin_memcpy(dst + 3 * x + 20, &tail, sizeof tail);
  }
  return x;
}

constexpr Up2Masks kUp2Masks = up2_masks();

int up2_row_avx2(const uint8_t* src, int w, uint16_t* dst, int i0, int i1) {
  if (i0 < 1) return i0;  // pixel 0 has no left neighbour to read
  int i = i0;
  // The last lane reads bytes up to 3 * i + 30; pixel i + 8 must exist.
  for (; i + 8 <= i1 && i + 11 <= w; i += 8)
    for (int m = 0; m < 3; ++m) {
      const __m256i v = load_lanes(src + 3 * (i + kUp2Base[2 * m]), src + 3 * (i + kUp2Base[2 * m + 1]));
      const __m256i* near = reinterpret_cast<const __m256i*>(kUp2Masks.near) + m;
      const __m256i* far = reinterpret_cast<const __m256i*>(kUp2Masks.far) + m;
      const __m256i n = _mm256_shuffle_epi8(v, _mm256_load_si256(near));
      const __m256i f = _mm256_shuffle_epi8(v, _mm256_load_si256(far));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 6 * i + 16 * m),
                          _mm256_add_epi16(_mm256_add_epi16(n, _mm256_add_epi16(n, n)), f));
    }
  return i;
}

// v + 7 in, v / 16 rounded with ties to even out: the parity read after
// adding 7 only differs when that already carried into the next unit.
inline __m256i up2_round(__m256i t) {
  const __m256i odd = _mm256_and_si256(_mm256_srli_epi16(t, 4), _mm256_set1_epi16(1));
  return _mm256_srli_epi16(_mm256_add_epi16(t, odd), 4);
}

int up2_blend_avx2(const uint16_t* p, const uint16_t* q, uint8_t* a, uint8_t* b, int i0,
                   int i1) {
  int i = i0;
  __m256i ra[2], rb[2];
  for (; i + 32 <= i1; i += 32) {
    for (int h = 0; h < 2; ++h) {
      const __m256i vp = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 16 * h));
      const __m256i vq = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q + i + 16 * h));
      // 3p + q + 7 = (p + q + 7) + 2p, and the same for b.
      const __m256i s = _mm256_add_epi16(_mm256_add_epi16(vp, vq), _mm256_set1_epi16(7));
      ra[h] = up2_round(_mm256_add_epi16(s, _mm256_add_epi16(vp, vp)));
      rb[h] = up2_round(_mm256_add_epi16(s, _mm256_add_epi16(vq, vq)));
    }
    // packus works within 128-bit lanes; the permute restores order.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(a + i),
                        _mm256_permute4x64_epi64(_mm256_packus_epi16(ra[0], ra[1]), 0xD8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(b + i),
                        _mm256_permute4x64_epi64(_mm256_packus_epi16(rb[0], rb[1]), 0xD8));
  }
  return i;
}

// Rounds eight sums and stores their bytes.
inline void store8_bytes(uint8_t* dst, __m256i sum) {
  const __m256i r = round_final(sum);
  const __m256i b = _mm256_packus_epi16(_mm256_packs_epi32(r, r), _mm256_packs_epi32(r, r));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst),
                   _mm_unpacklo_epi32(_mm256_castsi256_si128(b), _mm256_extracti128_si256(b, 1)));
}

// One-channel horizontal second pass, eight outputs from a multiple of eight
// per step, a tap at a time: the eight outputs' words of that tap (one load
// when their windows step by one pixel, else a gather) against their pairs.
// Inlined with constant taps for the common counts.
__attribute__((always_inline)) inline int h_second_c1_taps(const int32_t* src, int src_len,
                                                           uint8_t* dst, const int32_t* offs,
                                                           const int32_t* wp, int taps, int x,
                                                           int x1) {
  const __m256i steps = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  for (; x + 8 <= x1 && offs[x + 7] + taps <= src_len; x += 8) {
    const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offs + x));
    const bool run = _mm256_movemask_epi8(_mm256_cmpeq_epi32(
                         at, _mm256_add_epi32(_mm256_set1_epi32(offs[x]), steps))) == -1;
    const __m256i* w = reinterpret_cast<const __m256i*>(wp + c1_pair(x, 0, taps));
    __m256i acc = _mm256_setzero_si256();
    for (int k = 0; k < taps; ++k) {
      const __m256i v =
          run ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + offs[x] + k))
              : _mm256_i32gather_epi32(reinterpret_cast<const int*>(src + k), at, 4);
      acc = _mm256_add_epi32(acc, _mm256_madd_epi16(v, _mm256_loadu_si256(w + k)));
    }
    store8_bytes(dst + x, acc);
  }
  return x;
}

int h_second_c1_avx2(const int32_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                     const int32_t* wp, int taps, int x0, int x1) {
  if (x0 % kC1Group) return x0;
  switch (taps) {
    case 2: return h_second_c1_taps(src, src_len, dst, offs, wp, 2, x0, x1);
    case 4: return h_second_c1_taps(src, src_len, dst, offs, wp, 4, x0, x1);
    case 6: return h_second_c1_taps(src, src_len, dst, offs, wp, 6, x0, x1);
    default: return h_second_c1_taps(src, src_len, dst, offs, wp, taps, x0, x1);
  }
}

// One-channel horizontal first pass, eight outputs from a multiple of eight
// per step, four taps at a time: a gather of each output's four bytes, whose
// two byte pairs widened to 16 bits meet the outputs' weight pairs.
int h_first_c1_avx2(const uint8_t* src, int src_len, int32_t* dst, const int32_t* offs,
                    const int16_t* w, int taps, int x0, int x1) {
  if (x0 % kC1Group) return x0;
  const __m256i pair0 = _mm256_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1,
                                         0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
  const __m256i pair1 = _mm256_setr_epi8(2, -1, 3, -1, 6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1,
                                         2, -1, 3, -1, 6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1);
  // Whole gathers of four bytes.
  const int need = (taps + 3) & ~3;
  int x = x0;
  for (; x + 8 <= x1 && offs[x + 7] + need <= src_len; x += 8) {
    const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(offs + x));
    const __m256i* wx = reinterpret_cast<const __m256i*>(w + c1_weight(x, 0, taps));
    __m256i acc = _mm256_setzero_si256();
    for (int k = 0; k < taps; k += 4) {
      const __m256i g = _mm256_i32gather_epi32(reinterpret_cast<const int*>(src + k), at, 1);
      acc = _mm256_add_epi32(
          acc, _mm256_madd_epi16(_mm256_shuffle_epi8(g, pair0), _mm256_loadu_si256(wx + k / 2)));
      if (k + 2 < taps)
        acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_shuffle_epi8(g, pair1),
                                                      _mm256_loadu_si256(wx + k / 2 + 1)));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x), mid_word(acc));
  }
  return x;
}

// One-channel 2:1 box, 32 outputs per step: maddubs against ones adds byte
// pairs.
int box2_c1_avx2(const uint8_t* a, const uint8_t* b, int src_len, uint8_t* dst, int x0, int x1) {
  const __m256i ones = _mm256_set1_epi8(1);
  const __m256i one16 = _mm256_set1_epi16(1);
  int x = x0;
  for (; x + 32 <= x1 && 2 * x + 64 <= src_len; x += 32) {
    __m256i r[2];
    for (int h = 0; h < 2; ++h) {
      const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 2 * x + 32 * h));
      const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 2 * x + 32 * h));
      const __m256i s = _mm256_add_epi16(_mm256_maddubs_epi16(va, ones), _mm256_maddubs_epi16(vb, ones));
      const __m256i odd = _mm256_and_si256(_mm256_srli_epi16(s, 2), one16);
      r[h] = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(s, one16), odd), 2);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x),
                        _mm256_permute4x64_epi64(_mm256_packus_epi16(r[0], r[1]), 0xD8));
  }
  return x;
}

// One-channel 2x row, sixteen source pixels per step from three loads: the
// pixels, their left and their right neighbours.
int up2_row_c1_avx2(const uint8_t* src, int w, uint16_t* dst, int i0, int i1) {
  if (i0 < 1) return i0;  // pixel 0 has no left neighbour to read
  int i = i0;
  for (; i + 16 <= i1 && i + 17 <= w; i += 16) {
    auto widen = [](const uint8_t* p) {
      return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    };
    const __m256i m = widen(src + i);
    const __m256i m3 = _mm256_add_epi16(m, _mm256_add_epi16(m, m));
    const __m256i l = _mm256_add_epi16(m3, widen(src + i - 1));
    const __m256i r = _mm256_add_epi16(m3, widen(src + i + 1));
    const __m256i lo = _mm256_unpacklo_epi16(l, r), hi = _mm256_unpackhi_epi16(l, r);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i + 16),
                        _mm256_permute2x128_si256(lo, hi, 0x31));
  }
  return i;
}

}  // namespace

const Kernels& avx2_kernels() {
  static const Kernels k = {"avx2",        h_first_avx2,  h_second_avx2,
                            v_first_avx2,  v_second_avx2, box2_avx2,
                            up2_row_avx2,  up2_blend_avx2,
                            nullptr,       nullptr,
                            h_first_c1_avx2, h_second_c1_avx2, box2_c1_avx2,
                            up2_row_c1_avx2};
  return k;
}

}  // namespace qarvel::detail
