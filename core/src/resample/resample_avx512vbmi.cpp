// AVX-512 kernels for processors that also have VBMI (byte permutes across
// the register) and VNNI (multiply-add into an accumulator): Ice Lake, Zen 4
// and later. Permutes put every operand where a full-width multiply-add needs
// it, so the passes keep their results in element order and spend no work on
// putting 128-bit lanes back in order. The only file built with -mavx512vbmi
// and -mavx512vnni; it includes nothing but the intrinsics and resample.h.
// Shapes without a kernel here take the AVX2 one.
#include <immintrin.h>

#include "resample.h"

namespace qarvel::detail {
namespace {

// Zero-masked forms with every lane kept: GCC 12 warns that the unmasked ones
// read an undefined register.
constexpr __mmask16 kAll16 = 0xFFFF;
inline __m512i srli32(__m512i v, unsigned n) { return _mm512_maskz_srli_epi32(kAll16, v, n); }
inline __m512i perm8(__m512i idx, __m512i v) {
  return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, idx, v);
}
inline __m512i perm32(__m512i idx, __m512i v) {
  return _mm512_maskz_permutexvar_epi32(kAll16, idx, v);
}
inline __m512i perm64(__m512i idx, __m512i v) {
  return _mm512_maskz_permutexvar_epi64(0xFF, idx, v);
}
inline __m512i join256(__m256i lo, __m256i hi) {
  return _mm512_maskz_inserti64x4(0xFF, _mm512_castsi256_si512(lo), hi, 1);
}
inline __m512i each_lane(__m128i v) { return _mm512_maskz_broadcast_i32x4(kAll16, v); }
inline __m512i widen_u8(const uint8_t* p) {
  return _mm512_maskz_cvtepu8_epi32(kAll16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}
inline __m256i narrow16(__m512i v) { return _mm512_maskz_cvtepi16_epi8(~__mmask32{0}, v); }
inline __m256i low256(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xF, v, 0); }
inline __m128i third128(__m512i v) { return _mm512_maskz_extracti32x4_epi32(0xF, v, 2); }

// Byte tables for the permutes, built at compile time.
struct alignas(64) Bytes64 {
  int8_t b[64];
};
struct alignas(64) Ints16 {
  int32_t i[16];
};

inline __m512i load(const Bytes64& t) { return _mm512_load_si512(t.b); }
inline __m512i load(const Ints16& t) { return _mm512_load_si512(t.i); }

// Adds half a unit less one, the first step of the final rounding; sums start
// from it so that the rounding costs three operations more.
inline __m512i final_bias() { return _mm512_set1_epi32((1 << (kFinalShift - 1)) - 1); }

// Shifts a biased sum right by kFinalShift with ties to even: adding one
// where the bit that becomes the result's lowest is set turns the bias into
// half a unit exactly there (see the AVX2 kernels for why the biased sum's
// bit serves).
inline __m512i round_biased(__m512i t) {
  const __mmask16 odd = _mm512_test_epi32_mask(t, _mm512_set1_epi32(1 << kFinalShift));
  return srli32(_mm512_mask_add_epi32(t, odd, t, _mm512_set1_epi32(1)), kFinalShift);
}

// lo = N & 0xFF in the low half of each word, hi = N >> 8 (bytes 1 and 2 of
// N, which hold all of it) in the high half: one byte shuffle.
inline __m512i mid_word(__m512i n) {
  return _mm512_shuffle_epi8(
      n, each_lane(_mm_setr_epi8(0, -1, 1, 2, 4, -1, 5, 6, 8, -1, 9, 10, 12, -1, 13, 14)));
}

inline int32_t pair16(int16_t lo, int16_t hi) {
  return static_cast<int32_t>(static_cast<uint16_t>(lo) |
                              static_cast<uint32_t>(static_cast<uint16_t>(hi)) << 16);
}

// Vertical first pass: dword l of quarter q gets byte 16q + l of row a in its
// low half and the same byte of row b (64 on, in the permute's second source)
// in its high half, so one multiply-add applies two rows' weights to sixteen
// elements in order.
constexpr Bytes64 row_pairs(int q) {
  Bytes64 t{};
  for (int l = 0; l < 16; ++l) {
    t.b[4 * l] = static_cast<int8_t>(16 * q + l);
    t.b[4 * l + 2] = static_cast<int8_t>(64 + 16 * q + l);
  }
  return t;
}
constexpr Bytes64 kRowPairs[4] = {row_pairs(0), row_pairs(1), row_pairs(2), row_pairs(3)};
constexpr __mmask64 kLowBytesOfHalves = 0x5555555555555555ull;

// Elements [i, i + 64).
__attribute__((always_inline)) inline void v_first64(const uint8_t* const* rows, const int16_t* w,
                                                     int n_rows, int32_t* dst, int i) {
  __m512i acc[4];
  for (int q = 0; q < 4; ++q) acc[q] = _mm512_setzero_si512();
  int k = 0;
  for (; k + 2 <= n_rows; k += 2) {
    const __m512i a = _mm512_loadu_si512(rows[k] + i);
    const __m512i b = _mm512_loadu_si512(rows[k + 1] + i);
    const __m512i wp = _mm512_set1_epi32(pair16(w[k], w[k + 1]));
    for (int q = 0; q < 4; ++q)
      acc[q] = _mm512_dpwssd_epi32(
          acc[q], _mm512_maskz_permutex2var_epi8(kLowBytesOfHalves, a, load(kRowPairs[q]), b), wp);
  }
  if (k < n_rows) {
    const __m512i wp = _mm512_set1_epi32(pair16(w[k], 0));
    for (int q = 0; q < 4; ++q)
      acc[q] = _mm512_dpwssd_epi32(acc[q], widen_u8(rows[k] + i + 16 * q), wp);
  }
  for (int q = 0; q < 4; ++q) _mm512_storeu_si512(dst + i + 16 * q, mid_word(acc[q]));
}

// Steps of 64 elements; the last few take one more step that ends at i1 and
// writes some elements again, rather than the scalar kernel.
__attribute__((always_inline)) inline int v_first_rows(const uint8_t* const* rows, const int16_t* w,
                                                       int n_rows, int32_t* dst, int i0, int i1) {
  int i = i0;
  for (; i + 64 <= i1; i += 64) v_first64(rows, w, n_rows, dst, i);
  if (i < i1 && i1 - i0 >= 64) {
    v_first64(rows, w, n_rows, dst, i1 - 64);
    i = i1;
  }
  return i;
}

// Inlined with a constant row count for the common counts.
int v_first_vbmi(const uint8_t* const* rows, const int16_t* w, int n_rows, int32_t* dst, int i0,
                 int i1) {
  switch (n_rows) {
    case 1: return v_first_rows(rows, w, 1, dst, i0, i1);
    case 2: return v_first_rows(rows, w, 2, dst, i0, i1);
    case 3: return v_first_rows(rows, w, 3, dst, i0, i1);
    case 4: return v_first_rows(rows, w, 4, dst, i0, i1);
    default: return v_first_rows(rows, w, n_rows, dst, i0, i1);
  }
}

// packus_epi32 then packus_epi16 of four vectors leave element 16m + 4L + i
// (vector m, 128-bit lane L) at byte 16L + 4m + i; this puts bytes in order.
constexpr Ints16 kPackOrder = {{0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15}};

// Rounds four biased vectors of sums and stores their 64 bytes in order.
inline void store64_u8(uint8_t* dst, const __m512i* acc) {
  const __m512i lo = _mm512_packus_epi32(round_biased(acc[0]), round_biased(acc[1]));
  const __m512i hi = _mm512_packus_epi32(round_biased(acc[2]), round_biased(acc[3]));
  _mm512_storeu_si512(dst, perm32(load(kPackOrder), _mm512_packus_epi16(lo, hi)));
}

// Elements [i, i + 64).
__attribute__((always_inline)) inline void v_second64(const int32_t* const* rows, const int32_t* w,
                                                      int n_rows, uint8_t* dst, int i) {
  __m512i acc[4];
  for (int q = 0; q < 4; ++q) acc[q] = final_bias();
  for (int k = 0; k < n_rows; ++k) {
    const __m512i wp = _mm512_set1_epi32(w[k]);
    for (int q = 0; q < 4; ++q)
      acc[q] = _mm512_dpwssd_epi32(acc[q], _mm512_loadu_si512(rows[k] + i + 16 * q), wp);
  }
  store64_u8(dst + i, acc);
}

// As v_first_rows.
__attribute__((always_inline)) inline int v_second_rows(const int32_t* const* rows,
                                                        const int32_t* w, int n_rows, uint8_t* dst,
                                                        int i0, int i1) {
  int i = i0;
  for (; i + 64 <= i1; i += 64) v_second64(rows, w, n_rows, dst, i);
  if (i < i1 && i1 - i0 >= 64) {
    v_second64(rows, w, n_rows, dst, i1 - 64);
    i = i1;
  }
  return i;
}

int v_second_vbmi(const int32_t* const* rows, const int32_t* w, int n_rows, uint8_t* dst, int i0,
                  int i1) {
  switch (n_rows) {
    case 1: return v_second_rows(rows, w, 1, dst, i0, i1);
    case 2: return v_second_rows(rows, w, 2, dst, i0, i1);
    default: return v_second_rows(rows, w, n_rows, dst, i0, i1);
  }
}

// Horizontal first pass, four outputs per register, one in each 128-bit lane:
// sixteen bytes from the window's start hold five pixels. Shuffle p puts, in
// dword c of the lane, channel c of pixels 2p and 2p + 1 as 16-bit halves;
// dword 3 stays zero.
constexpr Bytes64 tap_pair_bytes(int p) {
  Bytes64 t{};
  for (int i = 0; i < 64; ++i) t.b[i] = -1;
  for (int lane = 0; lane < 4; ++lane)
    for (int c = 0; c < 3; ++c) {
      t.b[16 * lane + 4 * c] = static_cast<int8_t>(3 * (2 * p) + c);
      t.b[16 * lane + 4 * c + 2] = static_cast<int8_t>(3 * (2 * p + 1) + c);
    }
  return t;
}
constexpr Bytes64 kTapPairBytes[2] = {tap_pair_bytes(0), tap_pair_bytes(1)};
// The weight pair (w[2p], w[2p+1]) of output o (of eight, dword 2o + p of
// their taps-of-four weights; p = o for two taps) in dwords 4o..4o+3; half h
// of the eight outputs.
constexpr Ints16 tap_pair_weights(int taps, int p, int h) {
  Ints16 t{};
  for (int o = 0; o < 4; ++o)
    for (int c = 0; c < 4; ++c) t.i[4 * o + c] = taps == 4 ? 2 * (4 * h + o) + p : 4 * h + o;
  return t;
}
constexpr Ints16 kTapPairWeights4[2][2] = {{tap_pair_weights(4, 0, 0), tap_pair_weights(4, 0, 1)},
                                           {tap_pair_weights(4, 1, 0), tap_pair_weights(4, 1, 1)}};
constexpr Ints16 kTapPairWeights2[2] = {tap_pair_weights(2, 0, 0), tap_pair_weights(2, 0, 1)};
// Words 0-2, 4-6, 8-10 and 12-14: the four outputs' elements, in order.
constexpr Ints16 kThreeOfFour = {{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 0, 0, 0, 0}};

inline __m512i four_windows(const uint8_t* src, const int32_t* offs) {
  __m512i v =
      _mm512_castsi128_si512(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + offs[0])));
  v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + offs[1])), 1);
  v = _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + offs[2])), 2);
  return _mm512_inserti32x4(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + offs[3])), 3);
}

// Pixel pairs at half weight (2:1): N = -(a + b) * 2^14, so lo is 0 and hi is
// -(a + b) * 64, which maddubs gives from bytes (x, x, a, b) and weights
// (0, 0, -64, -64). Word e of sixteen outputs (48 words in three registers of
// sixteen) takes bytes of pixels 2x, 2x + 1 of its output x; register m reads
// from byte kHalfBase[m].
constexpr int kHalfBase[3] = {0, 30, 60};
constexpr Bytes64 half_pair_bytes(int m) {
  Bytes64 t{};
  for (int l = 0; l < 16; ++l) {
    const int e = 16 * m + l, x = e / 3, c = e % 3;
    t.b[4 * l + 2] = static_cast<int8_t>(6 * x + c - kHalfBase[m]);
    t.b[4 * l + 3] = static_cast<int8_t>(6 * x + 3 + c - kHalfBase[m]);
  }
  return t;
}
constexpr Bytes64 kHalfPairBytes[3] = {half_pair_bytes(0), half_pair_bytes(1), half_pair_bytes(2)};

// Sixteen two-tap outputs at half weight whose windows step by two pixels.
inline bool half_pairs16(const int16_t* w, const int32_t* offs) {
  const __m512i halves = _mm512_set1_epi16(-kWeightOne / 2);
  const __m512i steps =
      _mm512_setr_epi32(0, 6, 12, 18, 24, 30, 36, 42, 48, 54, 60, 66, 72, 78, 84, 90);
  return _mm512_cmpeq_epi16_mask(_mm512_loadu_si512(w), halves) == ~__mmask32{0} &&
         _mm512_cmpeq_epi32_mask(_mm512_loadu_si512(offs),
                                 _mm512_add_epi32(_mm512_set1_epi32(offs[0]), steps)) == 0xFFFF;
}

int h_first_vbmi(const uint8_t* src, int src_len, int32_t* dst, const int32_t* offs,
                 const int16_t* w, int taps, int x0, int x1) {
  if (taps != 2 && taps != 4)
    return avx2_kernels().h_first(src, src_len, dst, offs, w, taps, x0, x1);
  int x = x0;
  // Windows only move right, so the last output's bounds the group's.
  for (; x + 8 <= x1 && offs[x + 7] + 16 <= src_len; x += 8) {
    if (taps == 2 && x + 16 <= x1 && offs[x] + kHalfBase[2] + 64 <= src_len &&
        half_pairs16(w + 2 * x, offs + x)) {
      const __m512i minus64 = _mm512_set1_epi32(static_cast<int32_t>(0xC0C00000u));
      const uint8_t* p = src + offs[x];
      for (int m = 0; m < 3; ++m) {
        const __m512i v = _mm512_loadu_si512(p + kHalfBase[m]);
        _mm512_storeu_si512(dst + 3 * x + 16 * m,
                            _mm512_maddubs_epi16(perm8(load(kHalfPairBytes[m]), v), minus64));
      }
      x += 8;
      continue;
    }
    // The eight outputs' weights: taps x 8 int16.
    const __m512i wv = taps == 4 ? _mm512_loadu_si512(w + 4 * x)
                                 : _mm512_castsi256_si512(_mm256_loadu_si256(
                                       reinterpret_cast<const __m256i*>(w + 2 * x)));
    for (int h = 0; h < 2; ++h) {
      const __m512i v = four_windows(src, offs + x + 4 * h);
      __m512i acc;
      if (taps == 4) {
        acc = _mm512_madd_epi16(_mm512_shuffle_epi8(v, load(kTapPairBytes[0])),
                                perm32(load(kTapPairWeights4[0][h]), wv));
        acc = _mm512_dpwssd_epi32(acc, _mm512_shuffle_epi8(v, load(kTapPairBytes[1])),
                                  perm32(load(kTapPairWeights4[1][h]), wv));
      } else {
        acc = _mm512_madd_epi16(_mm512_shuffle_epi8(v, load(kTapPairBytes[0])),
                                perm32(load(kTapPairWeights2[h]), wv));
      }
      const __m512i words = perm32(load(kThreeOfFour), mid_word(acc));
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 3 * x + 12 * h), low256(words));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x + 12 * h + 8), third128(words));
    }
  }
  return x;
}

// Horizontal second pass. Two outputs a and b share a register, a in the low
// half: tap pair j of each is words 6j..6j+7 of its window (the last two times
// zero weights) against its block's pairs. The sum holds in lanes 0-2 (and
// 8-10 for b) the even taps per channel, starting from the rounding bias, and
// in 3-5 (11-13) the odd taps.
inline __m512i pair_sums(const int32_t* pa, const int32_t* pb, const int32_t* wp, int taps) {
  __m512i acc = _mm512_maskz_mov_epi32(0x0707, final_bias());
  for (int j = 0; j < taps / 2; ++j) {
    const __m512i v = join256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pa + 6 * j)),
                              _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pb + 6 * j)));
    acc = _mm512_dpwssd_epi32(acc, v, _mm512_loadu_si512(wp + 2 * kPairInts * j));
  }
  return acc;
}

// Even and odd taps of two pairs' sums, added: four outputs' biased sums in
// lanes 0-11, in order.
constexpr Ints16 kEvenTaps = {{0, 1, 2, 8, 9, 10, 16, 17, 18, 24, 25, 26, 0, 0, 0, 0}};
constexpr Ints16 kOddTaps = {{3, 4, 5, 11, 12, 13, 19, 20, 21, 27, 28, 29, 0, 0, 0, 0}};
inline __m512i four_sums(__m512i ab, __m512i cd) {
  return _mm512_add_epi32(_mm512_permutex2var_epi32(ab, load(kEvenTaps), cd),
                          _mm512_permutex2var_epi32(ab, load(kOddTaps), cd));
}

// Output byte o of sixteen outputs, from four vectors of twelve sums packed
// as store64_u8 packs them: sum o % 12 of vector o / 12.
constexpr Bytes64 twelve_of_sixteen() {
  Bytes64 t{};
  for (int o = 0; o < 48; ++o) {
    const int m = o / 12, s = o % 12;
    t.b[o] = static_cast<int8_t>(16 * (s / 4) + 4 * m + s % 4);
  }
  return t;
}
constexpr Bytes64 kTwelveOfSixteen = twelve_of_sixteen();
// Element e of three vectors of sixteen sums (the third packed twice).
constexpr Bytes64 sixteen_of_sixteen() {
  Bytes64 t{};
  for (int e = 0; e < 48; ++e)
    t.b[e] = static_cast<int8_t>(16 * ((e % 16) / 4) + 4 * (e / 16) + e % 4);
  return t;
}
constexpr Bytes64 kSixteenOfSixteen = sixteen_of_sixteen();

// Rounds the biased sums and stores 48 bytes in the order `order` picks, as
// 32 and 16: masked stores measured far slower.
inline void store48_u8(uint8_t* dst, __m512i a, __m512i b, __m512i c, __m512i d,
                       const Bytes64& order) {
  const __m512i ab = _mm512_packus_epi32(round_biased(a), round_biased(b));
  const __m512i cd = _mm512_packus_epi32(round_biased(c), round_biased(d));
  const __m512i v = perm8(load(order), _mm512_packus_epi16(ab, cd));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst), low256(v));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32), third128(v));
}

// Dword l of element vector m: output (16m + l) / 3's pair.
constexpr Ints16 output_of_element(int m) {
  Ints16 t{};
  for (int l = 0; l < 16; ++l) t.i[l] = (16 * m + l) / 3;
  return t;
}
constexpr Ints16 kOutputOfElement[3] = {output_of_element(0), output_of_element(1),
                                        output_of_element(2)};

// Sixteen two-tap outputs from a multiple of sixteen whose windows step by
// one pixel from p: element e takes words e and e + 3 with its output's
// pairs, like a vertical pass. The pairs come once per output
// (pair_run_pairs) and a permute spreads them across the elements: a third
// of the table the element-by-element pairs take, whose reading cost the
// pass a sixth of its time.
inline void h_second_run16(const int32_t* p, const int32_t* pairs, uint8_t* dst) {
  const __m512i tap0 = _mm512_loadu_si512(pairs), tap1 = _mm512_loadu_si512(pairs + kRunGroup);
  __m512i acc[3];
  for (int m = 0; m < 3; ++m) {
    const __m512i out = load(kOutputOfElement[m]);
    acc[m] = _mm512_dpwssd_epi32(final_bias(), _mm512_loadu_si512(p + 16 * m), perm32(out, tap0));
    acc[m] = _mm512_dpwssd_epi32(acc[m], _mm512_loadu_si512(p + 3 + 16 * m), perm32(out, tap1));
  }
  store48_u8(dst, acc[0], acc[1], acc[2], acc[2], kSixteenOfSixteen);
}

// Outputs [x, x1) in groups of sixteen while their windows and the two words
// after them lie inside src_len; inlined with constant taps for the common
// counts.
static_assert(kRunGroup == 16, "a group of sixteen is one two-tap run");
__attribute__((always_inline)) inline int h_second_groups(const int32_t* src, int src_len,
                                                          uint8_t* dst, const int32_t* offs,
                                                          const int32_t* w, int taps, int x,
                                                          int x1) {
  const int need = 3 * taps + 2;
  for (; x + 16 <= x1 && offs[x + 15] + need <= src_len; x += 16) {
    if (taps == 2 && (x & 15) == 0 && offs[x + 15] == offs[x] + 45) {
      h_second_run16(src + offs[x], w + pair_run_pairs(x), dst + 3 * x);
      continue;
    }
    __m512i q[4];
    for (int g = 0; g < 4; ++g) {
      const int a = x + 4 * g;
      q[g] = four_sums(
          pair_sums(src + offs[a], src + offs[a + 1], w + pair_block(a, taps), taps),
          pair_sums(src + offs[a + 2], src + offs[a + 3], w + pair_block(a + 2, taps), taps));
    }
    store48_u8(dst + 3 * x, q[0], q[1], q[2], q[3], kTwelveOfSixteen);
  }
  return x;
}

int h_second_vbmi(const int32_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                  const int32_t* w, int taps, int x0, int x1) {
  // Sixteen outputs from an odd one would pair across blocks.
  if (x0 & 1) return x0;
  switch (taps) {
    case 2: return h_second_groups(src, src_len, dst, offs, w, 2, x0, x1);
    case 4: return h_second_groups(src, src_len, dst, offs, w, 4, x0, x1);
    case 6: return h_second_groups(src, src_len, dst, offs, w, 6, x0, x1);
    case 8: return h_second_groups(src, src_len, dst, offs, w, 8, x0, x1);
    default: return h_second_groups(src, src_len, dst, offs, w, taps, x0, x1);
  }
}

// 2:1 on both axes, ten outputs (60 bytes of each row) per step: 16-bit lane
// j < 30 pairs bytes 6x + c and 6x + 3 + c of output x = j / 3, channel
// c = j % 3, which maddubs against ones adds.
constexpr Bytes64 box2_bytes() {
  Bytes64 t{};
  for (int j = 0; j < 30; ++j) {
    const int x = j / 3, c = j % 3;
    t.b[2 * j] = static_cast<int8_t>(6 * x + c);
    t.b[2 * j + 1] = static_cast<int8_t>(6 * x + 3 + c);
  }
  return t;
}
constexpr Bytes64 kBox2Bytes = box2_bytes();

int box2_vbmi(const uint8_t* a, const uint8_t* b, int src_len, uint8_t* dst, int x0, int x1) {
  const __m512i ones = _mm512_set1_epi8(1);
  const __m512i one16 = _mm512_set1_epi16(1);
  int x = x0;
  // Whole 64-byte loads and 32-byte stores, whose last two bytes the next
  // step (or the scalar kernel) writes again: masked ones measured slower.
  for (; x + 11 <= x1 && 6 * x + 64 <= src_len; x += 10) {
    const __m512i idx = load(kBox2Bytes);
    const __m512i va = perm8(idx, _mm512_loadu_si512(a + 6 * x));
    const __m512i vb = perm8(idx, _mm512_loadu_si512(b + 6 * x));
    // Sum of four plus one; ties go to even as in round_biased, on bit 2.
    const __m512i t = _mm512_add_epi16(
        _mm512_add_epi16(_mm512_maddubs_epi16(va, ones), _mm512_maddubs_epi16(vb, ones)), one16);
    const __mmask32 odd = _mm512_test_epi16_mask(t, _mm512_set1_epi16(4));
    const __m512i r = _mm512_srli_epi16(_mm512_mask_add_epi16(t, odd, t, one16), 2);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 3 * x), narrow16(r));
  }
  return x;
}

// 2x rows: u16 element m of sixteen source pixels from i (three registers of
// 32) is 3 * near + far, maddubs of the byte pair (near, far) against (3, 1);
// bytes count from pixel i - 1.
constexpr Bytes64 up2_bytes(int q) {
  Bytes64 t{};
  for (int j = 0; j < 32; ++j) {
    const int m = 32 * q + j, s = m / 6 + 1, pos = m % 6, c = pos % 3;
    const int n = pos < 3 ? s - 1 : s + 1;
    t.b[2 * j] = static_cast<int8_t>(3 * s + c);
    t.b[2 * j + 1] = static_cast<int8_t>(3 * n + c);
  }
  return t;
}
constexpr Bytes64 kUp2Bytes[3] = {up2_bytes(0), up2_bytes(1), up2_bytes(2)};

int up2_row_vbmi(const uint8_t* src, int w, uint16_t* dst, int i0, int i1) {
  if (i0 < 1) return i0;  // pixel 0 has no left neighbour to read
  const __m512i three_one = _mm512_set1_epi16(0x0103);
  int i = i0;
  // Uses pixels i - 1 .. i + 16 of the 64 bytes from pixel i - 1.
  for (; i + 16 <= i1 && 3 * (i - 1) + 64 <= 3 * w; i += 16) {
    const __m512i v = _mm512_loadu_si512(src + 3 * (i - 1));
    for (int q = 0; q < 3; ++q)
      _mm512_storeu_si512(dst + 6 * i + 32 * q,
                          _mm512_maddubs_epi16(perm8(load(kUp2Bytes[q]), v), three_one));
  }
  return i;
}

// v + 7 in, v / 16 rounded with ties to even out.
inline __m512i up2_round(__m512i t) {
  const __mmask32 odd = _mm512_test_epi16_mask(t, _mm512_set1_epi16(16));
  return _mm512_srli_epi16(_mm512_mask_add_epi16(t, odd, t, _mm512_set1_epi16(1)), 4);
}

int up2_blend_vbmi(const uint16_t* p, const uint16_t* q, uint8_t* a, uint8_t* b, int i0, int i1) {
  const __m512i order = _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7);
  int i = i0;
  for (; i + 64 <= i1; i += 64) {
    __m512i ra[2], rb[2];
    for (int h = 0; h < 2; ++h) {
      const __m512i vp = _mm512_loadu_si512(p + i + 32 * h);
      const __m512i vq = _mm512_loadu_si512(q + i + 32 * h);
      // 3p + q + 7 = (p + q + 7) + 2p, and the same for b.
      const __m512i s = _mm512_add_epi16(_mm512_add_epi16(vp, vq), _mm512_set1_epi16(7));
      ra[h] = up2_round(_mm512_add_epi16(s, _mm512_add_epi16(vp, vp)));
      rb[h] = up2_round(_mm512_add_epi16(s, _mm512_add_epi16(vq, vq)));
    }
    // packus works within 128-bit lanes; the permute restores order.
    _mm512_storeu_si512(a + i, perm64(order, _mm512_packus_epi16(ra[0], ra[1])));
    _mm512_storeu_si512(b + i, perm64(order, _mm512_packus_epi16(rb[0], rb[1])));
  }
  return i;
}

// Planar vertical pass: dword l of channel c of sixteen pixels, from 64-byte
// windows of rows a and b starting at the first pixel: row a's byte 3l + c
// in the low half and row b's in the high half.
constexpr Bytes64 plane_pairs(int c) {
  Bytes64 t{};
  for (int l = 0; l < 16; ++l) {
    t.b[4 * l] = static_cast<int8_t>(3 * l + c);
    t.b[4 * l + 2] = static_cast<int8_t>(64 + 3 * l + c);
  }
  return t;
}
constexpr Bytes64 kPlanePairs[3] = {plane_pairs(0), plane_pairs(1), plane_pairs(2)};
constexpr __mmask64 kLowBytesOfWords = 0x1111111111111111ull;
// From two vectors of sixteen sums N: bytes 1-2 of each (hi, 32 int16) and
// byte 0 of each (lo, the first 32 bytes).
constexpr Bytes64 sum_bytes(bool hi) {
  Bytes64 t{};
  for (int l = 0; l < 32; ++l) {
    const int base = (l < 16 ? 0 : 64) + 4 * (l % 16);
    if (hi) {
      t.b[2 * l] = static_cast<int8_t>(base + 1);
      t.b[2 * l + 1] = static_cast<int8_t>(base + 2);
    } else {
      t.b[l] = static_cast<int8_t>(base);
    }
  }
  return t;
}
constexpr Bytes64 kHiBytes = sum_bytes(true);
constexpr Bytes64 kLoBytes = sum_bytes(false);

// The 64 bytes from p, or only those before `end` (fault-suppressing).
inline __m512i load_upto(const uint8_t* p, const uint8_t* end, bool masked) {
  if (!masked) return _mm512_loadu_si512(p);
  const long n = end - p;
  return _mm512_maskz_loadu_epi8(n >= 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1, p);
}

// Pixels [p, p + 32), two halves of sixteen. `masked` reads no byte of a row
// past src_len, for the row's last step.
__attribute__((always_inline)) inline void v_planes32(const uint8_t* const* rows, int src_len,
                                                      const int16_t* w, int n_rows,
                                                      const Planes& out, int p, bool masked) {
  __m512i acc[3][2];
  for (int c = 0; c < 3; ++c) acc[c][0] = acc[c][1] = _mm512_setzero_si512();
  int k = 0;
  for (; k + 2 <= n_rows; k += 2) {
    const __m512i wp = _mm512_set1_epi32(pair16(w[k], w[k + 1]));
    for (int h = 0; h < 2; ++h) {
      const __m512i a = load_upto(rows[k] + 3 * p + 48 * h, rows[k] + src_len, masked);
      const __m512i b = load_upto(rows[k + 1] + 3 * p + 48 * h, rows[k + 1] + src_len, masked);
      for (int c = 0; c < 3; ++c)
        acc[c][h] = _mm512_dpwssd_epi32(
            acc[c][h],
            _mm512_maskz_permutex2var_epi8(kLowBytesOfHalves, a, load(kPlanePairs[c]), b), wp);
    }
  }
  if (k < n_rows) {
    const __m512i wp = _mm512_set1_epi32(pair16(w[k], 0));
    for (int h = 0; h < 2; ++h) {
      const __m512i a = load_upto(rows[k] + 3 * p + 48 * h, rows[k] + src_len, masked);
      for (int c = 0; c < 3; ++c)
        acc[c][h] = _mm512_dpwssd_epi32(
            acc[c][h], _mm512_maskz_permutexvar_epi8(kLowBytesOfWords, load(kPlanePairs[c]), a),
            wp);
    }
  }
  for (int c = 0; c < 3; ++c) {
    _mm512_storeu_si512(out.hi + c * out.stride + p,
                        _mm512_permutex2var_epi8(acc[c][0], load(kHiBytes), acc[c][1]));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out.lo + c * out.stride + p),
                        low256(_mm512_permutex2var_epi8(acc[c][0], load(kLoBytes), acc[c][1])));
  }
}

// Steps of 32 pixels while the second half's windows (112 bytes from the
// first pixel) lie inside the row; the rest, when there are 32 pixels to
// take, with masked loads, the last step ending at p1 and rewriting some
// pixels. Inlined with a constant row count for the common counts.
__attribute__((always_inline)) inline int v_planes_rows(const uint8_t* const* rows, int src_len,
                                                        const int16_t* w, int n_rows,
                                                        const Planes& out, int p0, int p1) {
  int p = p0;
  for (; p + 32 <= p1 && 3 * p + 112 <= src_len; p += 32)
    v_planes32(rows, src_len, w, n_rows, out, p, false);
  if (p1 - p0 < 32) return p;
  for (; p < p1; p += 32) v_planes32(rows, src_len, w, n_rows, out, p + 32 <= p1 ? p : p1 - 32, true);
  return p1;
}

int v_planes_vbmi(const uint8_t* const* rows, int src_len, const int16_t* w, int n_rows,
                  const Planes& out, int p0, int p1) {
  switch (n_rows) {
    case 2: return v_planes_rows(rows, src_len, w, 2, out, p0, p1);
    case 3: return v_planes_rows(rows, src_len, w, 3, out, p0, p1);
    case 4: return v_planes_rows(rows, src_len, w, 4, out, p0, p1);
    case 5: return v_planes_rows(rows, src_len, w, 5, out, p0, p1);
    default: return v_planes_rows(rows, src_len, w, n_rows, out, p0, p1);
  }
}

// Byte 3l + c of sixteen outputs from bytes 16c + l of three channels.
constexpr Bytes64 interleave3() {
  Bytes64 t{};
  for (int l = 0; l < 16; ++l)
    for (int c = 0; c < 3; ++c) t.b[3 * l + c] = static_cast<int8_t>(16 * c + l);
  return t;
}
constexpr Bytes64 kInterleave3 = interleave3();

inline __m512i load_at(const uint8_t* p) { return _mm512_load_si512(p); }

// Groups of sixteen outputs: per channel, one word permute per tap pair
// gathers hi from the group's 64-pixel window and one byte permute per four
// taps gathers lo; vpdpwssd and vpdpbusd weigh them.
__attribute__((always_inline)) inline int h_planes_taps(const Planes& in, uint8_t* dst, int taps,
                                                        const uint8_t* groups, int x, int x1) {
  const long group_bytes = plane_group_bytes(taps);
  for (; x + kPlaneGroup <= x1; x += kPlaneGroup) {
    const uint8_t* g = groups + x / kPlaneGroup * group_bytes;
    int32_t first;
    __builtin_memcpy(&first, g, sizeof first);
    __m128i bytes[3];
    for (int c = 0; c < 3; ++c) {
      const int16_t* hi = in.hi + c * in.stride + first;
      const __m512i h0 = _mm512_loadu_si512(hi), h1 = _mm512_loadu_si512(hi + 32);
      const __m512i lo = _mm512_loadu_si512(in.lo + c * in.stride + first);
      __m512i acc = final_bias();
      for (int p = 0; p < taps / 2; ++p)
        acc = _mm512_dpwssd_epi32(acc,
                                  _mm512_permutex2var_epi16(h0, load_at(g + plane_hi_index(p)), h1),
                                  load_at(g + plane_hi_weights(p)));
      for (int q = 0; q < plane_quads(taps); ++q)
        acc = _mm512_dpbusd_epi32(acc, perm8(load_at(g + plane_lo_index(taps, q)), lo),
                                  load_at(g + plane_lo_weights(taps, q)));
      bytes[c] = _mm512_maskz_cvtusepi32_epi8(kAll16, round_biased(acc));
    }
    const __m512i v = perm8(
        load(kInterleave3),
        _mm512_maskz_inserti32x4(
            kAll16, _mm512_maskz_inserti32x4(kAll16, _mm512_castsi128_si512(bytes[0]), bytes[1], 1),
            bytes[2], 2));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 3 * x), low256(v));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * x + 32), third128(v));
  }
  return x;
}

int h_planes_vbmi(const Planes& in, uint8_t* dst, const int32_t*, const int16_t*, int taps,
                  const uint8_t* groups, int x0, int x1) {
  if (x0 % kPlaneGroup) return x0;
  switch (taps) {
    case 4: return h_planes_taps(in, dst, 4, groups, x0, x1);
    case 6: return h_planes_taps(in, dst, 6, groups, x0, x1);
    default: return h_planes_taps(in, dst, taps, groups, x0, x1);
  }
}

}  // namespace

const Kernels& avx512vbmi_kernels() {
  static const Kernels k = {"avx512vbmi",  h_first_vbmi, h_second_vbmi, v_first_vbmi,
                            v_second_vbmi, box2_vbmi,    up2_row_vbmi,  up2_blend_vbmi,
                            v_planes_vbmi, h_planes_vbmi, avx2_kernels().h_first_c1,
                            avx2_kernels().h_second_c1, avx2_kernels().box2_c1,
                            avx2_kernels().up2_row_c1};
  return k;
}

}  // namespace qarvel::detail
