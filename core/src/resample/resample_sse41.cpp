// SSE4.1 kernels, the fallback for processors without AVX2: one output per
// 128-bit register in the horizontal passes, 16 elements per step in the
// vertical ones. The only file built with -msse4.1; it includes nothing but
// the intrinsics and resample.h.
#include <immintrin.h>

#include "resample.h"

namespace qarvel::detail {
namespace {

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

// Weighted sum of one output from intermediate words: int32 lanes c0 c1 c2 x.
// A tap's first three pairs in its block line up with c0 c1 c2.
inline __m128i h_sum_mid(const int32_t* p, const int32_t* wp, int taps) {
  __m128i acc = _mm_setzero_si128();
  for (int k = 0; k < taps; ++k)
    acc = _mm_add_epi32(acc, _mm_madd_epi16(load16(p + 3 * k), load16(wp + pair_tap(k))));
  return acc;
}

// lo = N & 0xFF in the low half of each word, hi = N >> 8 (bytes 1 and 2 of
// N, which hold all of it) in the high half: one byte shuffle.
inline __m128i mid_word(__m128i n) {
  return _mm_shuffle_epi8(n, _mm_setr_epi8(0, -1, 1, 2, 4, -1, 5, 6, 8, -1, 9, 10, 12, -1, 13, 14));
}

// Shifts right by kFinalShift with ties to even; the parity read after
// adding half minus one decides ties.
inline __m128i round_final(__m128i sum) {
  const __m128i t = _mm_add_epi32(sum, _mm_set1_epi32((1 << (kFinalShift - 1)) - 1));
  const __m128i odd = _mm_and_si128(_mm_srli_epi32(t, kFinalShift), _mm_set1_epi32(1));
  return _mm_srli_epi32(_mm_add_epi32(t, odd), kFinalShift);
}

int h_first_sse41(const uint8_t* src, int src_len, int32_t* dst, const int32_t* offs,
                  const int16_t* w, int taps, int x0, int x1) {
  // Bytes read past a window's start: 16 per group of up to four taps.
  const int need = 3 * (taps - (taps % 4 == 0 ? 4 : 2)) + 16;
  int x = x0;
  // Windows only move right, so the fourth output's window bounds all four.
  // Each output stores four words, the fourth overwritten by the next.
  for (; x + 4 <= x1 && offs[x + 3] + need <= src_len; x += 4) {
    const int16_t* wx = w + static_cast<long>(x) * taps;
    for (int j = 0; j < 4; ++j)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 3 * (x + j)),
                       mid_word(h_sum_u8(src + offs[x + j], wx + j * taps, taps)));
  }
  return x;
}

// Outputs [x0, x1) in groups of four while their windows lie inside
// src_len; inlined with constant taps for the common counts. A group of four
// from a multiple of four shares one two-tap run.
static_assert(kRunGroup % 4 == 0, "four outputs never straddle two runs");
__attribute__((always_inline)) inline int h_second_groups(const int32_t* src, int src_len,
                                                          uint8_t* dst, const int32_t* offs,
                                                          const int32_t* w, int taps, int x0,
                                                          int x1) {
  // Elements read past a window's start: four words per tap.
  const int need = 3 * taps + 1;
  const __m128i compact = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
  int x = x0;
  for (; x + 4 <= x1 && offs[x + 3] + need <= src_len; x += 4) {
    __m128i r[4];
    if (taps == 2 && (x & 3) == 0 && offs[x + 3] == offs[x] + 9) {
      // Windows one pixel apart: element e takes words e and e + 3 with the
      // element-by-element pairs, like a vertical pass.
      const int32_t* p = src + offs[x];
      const int32_t* we = w + pair_run(x);
      for (int i = 0; i < 3; ++i)
        r[i] = round_final(_mm_add_epi32(_mm_madd_epi16(load16(p + 4 * i), load16(we + 4 * i)),
                                         _mm_madd_epi16(load16(p + 3 + 4 * i), load16(we + kRunInts + 4 * i))));
      const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), _mm_packs_epi32(r[2], r[2]));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * x), bytes);
      const int32_t tail = _mm_extract_epi32(bytes, 2);
      __builtin_memcpy(dst + 3 * x + 8, &tail, sizeof tail);
      continue;
    }
    for (int j = 0; j < 4; ++j)
      r[j] = round_final(h_sum_mid(src + offs[x + j], w + pair_block(x + j, taps), taps));
    const __m128i bytes = _mm_shuffle_epi8(
        _mm_packus_epi16(_mm_packs_epi32(r[0], r[1]), _mm_packs_epi32(r[2], r[3])), compact);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 3 * x), bytes);
    const int32_t tail = _mm_extract_epi32(bytes, 2);
    __builtin_memcpy(dst + 3 * x + 8, &tail, sizeof tail);
  }
  return x;
}

int h_second_sse41(const int32_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                   const int32_t* w, int taps, int x0, int x1) {
  switch (taps) {
    case 2: return h_second_groups(src, src_len, dst, offs, w, 2, x0, x1);
    case 4: return h_second_groups(src, src_len, dst, offs, w, 4, x0, x1);
    case 6: return h_second_groups(src, src_len, dst, offs, w, 6, x0, x1);
    default: return h_second_groups(src, src_len, dst, offs, w, taps, x0, x1);
  }
}

inline __m128i weight_pair_at(const int16_t* w, int k, int n) {
  const uint32_t lo = static_cast<uint16_t>(w[k]);
  const uint32_t hi = k + 1 < n ? static_cast<uint16_t>(w[k + 1]) : 0u;
  return _mm_set1_epi32(static_cast<int32_t>(lo | hi << 16));
}

int v_first_sse41(const uint8_t* const* rows, const int16_t* w, int n_rows, int32_t* dst, int i0,
                  int i1) {
  const __m128i zero = _mm_setzero_si128();
  int i = i0;
  if (n_rows == 2 && w[0] == -kWeightOne / 2 && w[1] == -kWeightOne / 2) {
    // Two rows at half weight: N = -(a + b) * 2^14, so lo is 0 and hi is
    // -(a + b) * 64.
    for (; i + 16 <= i1; i += 16) {
      const __m128i a = load16(rows[0] + i);
      const __m128i b = load16(rows[1] + i);
      const __m128i s[2] = {_mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero)),
                            _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero))};
      for (int h = 0; h < 2; ++h) {
        const __m128i hi = _mm_sub_epi16(zero, _mm_slli_epi16(s[h], 6));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8 * h), _mm_unpacklo_epi16(zero, hi));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 8 * h + 4), _mm_unpackhi_epi16(zero, hi));
      }
    }
    return i;
  }
  for (; i + 16 <= i1; i += 16) {
    __m128i acc[4] = {zero, zero, zero, zero};
    for (int k = 0; k < n_rows; k += 2) {
      const __m128i a = load16(rows[k] + i);
      const __m128i b = k + 1 < n_rows ? load16(rows[k + 1] + i) : zero;
      const __m128i wp = weight_pair_at(w, k, n_rows);
      const __m128i ab_lo = _mm_unpacklo_epi8(a, b);
      const __m128i ab_hi = _mm_unpackhi_epi8(a, b);
      acc[0] = _mm_add_epi32(acc[0], _mm_madd_epi16(_mm_unpacklo_epi8(ab_lo, zero), wp));
      acc[1] = _mm_add_epi32(acc[1], _mm_madd_epi16(_mm_unpackhi_epi8(ab_lo, zero), wp));
      acc[2] = _mm_add_epi32(acc[2], _mm_madd_epi16(_mm_unpacklo_epi8(ab_hi, zero), wp));
      acc[3] = _mm_add_epi32(acc[3], _mm_madd_epi16(_mm_unpackhi_epi8(ab_hi, zero), wp));
    }
    for (int j = 0; j < 4; ++j)
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i + 4 * j), mid_word(acc[j]));
  }
  return i;
}

int v_second_sse41(const int32_t* const* rows, const int32_t* w, int n_rows, uint8_t* dst,
                   int i0, int i1) {
  const __m128i zero = _mm_setzero_si128();
  int i = i0;
  for (; i + 16 <= i1; i += 16) {
    __m128i acc[4] = {zero, zero, zero, zero};
    for (int k = 0; k < n_rows; ++k) {
      const __m128i wp = _mm_set1_epi32(w[k]);
      for (int j = 0; j < 4; ++j)
        acc[j] = _mm_add_epi32(acc[j], _mm_madd_epi16(load16(rows[k] + i + 4 * j), wp));
    }
    const __m128i lo = _mm_packs_epi32(round_final(acc[0]), round_final(acc[1]));
    const __m128i hi = _mm_packs_epi32(round_final(acc[2]), round_final(acc[3]));
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

constexpr Up2Masks kUp2Masks = up2_masks();

int up2_row_sse41(const uint8_t* src, int w, uint16_t* dst, int i0, int i1) {
  if (i0 < 1) return i0;  // pixel 0 has no left neighbour to read
  int i = i0;
  // The last lane reads bytes up to 3 * i + 30; pixel i + 8 must exist.
  for (; i + 8 <= i1 && i + 11 <= w; i += 8)
    for (int L = 0; L < 6; ++L) {
      const __m128i v = load16(src + 3 * (i + kUp2Base[L]));
      const __m128i n = _mm_shuffle_epi8(v, load16(kUp2Masks.near + 16 * L));
      const __m128i f = _mm_shuffle_epi8(v, load16(kUp2Masks.far + 16 * L));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 6 * i + 8 * L),
                       _mm_add_epi16(_mm_add_epi16(n, _mm_add_epi16(n, n)), f));
    }
  return i;
}

// v + 7 in, v / 16 rounded with ties to even out: the parity read after
// adding 7 only differs when that already carried into the next unit.
inline __m128i up2_round(__m128i t) {
  const __m128i odd = _mm_and_si128(_mm_srli_epi16(t, 4), _mm_set1_epi16(1));
  return _mm_srli_epi16(_mm_add_epi16(t, odd), 4);
}

int up2_blend_sse41(const uint16_t* p, const uint16_t* q, uint8_t* a, uint8_t* b, int i0,
                    int i1) {
  int i = i0;
  __m128i ra[2], rb[2];
  for (; i + 16 <= i1; i += 16) {
    for (int h = 0; h < 2; ++h) {
      const __m128i vp = load16(p + i + 8 * h), vq = load16(q + i + 8 * h);
      // 3p + q + 7 = (p + q + 7) + 2p, and the same for b.
      const __m128i s = _mm_add_epi16(_mm_add_epi16(vp, vq), _mm_set1_epi16(7));
      ra[h] = up2_round(_mm_add_epi16(s, _mm_add_epi16(vp, vp)));
      rb[h] = up2_round(_mm_add_epi16(s, _mm_add_epi16(vq, vq)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(a + i), _mm_packus_epi16(ra[0], ra[1]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(b + i), _mm_packus_epi16(rb[0], rb[1]));
  }
  return i;
}

inline int32_t load32(const void* p) {
  int32_t v;
  __builtin_memcpy(&v, p, sizeof v);
  return v;
}

// One-channel horizontal second pass, four outputs per step from a multiple
// of eight, a tap at a time: the four outputs' words of that tap (one load
// when their windows step by one pixel) against their pairs.
__attribute__((always_inline)) inline int h_second_c1_taps(const int32_t* src, int src_len,
                                                           uint8_t* dst, const int32_t* offs,
                                                           const int32_t* wp, int taps, int x,
                                                           int x1) {
  for (; x + 4 <= x1 && offs[x + 3] + taps <= src_len; x += 4) {
    const int32_t* p[4] = {src + offs[x], src + offs[x + 1], src + offs[x + 2], src + offs[x + 3]};
    const bool run = offs[x + 1] == offs[x] + 1 && offs[x + 2] == offs[x] + 2 &&
                     offs[x + 3] == offs[x] + 3;
    __m128i acc = _mm_setzero_si128();
    for (int k = 0; k < taps; ++k) {
      const __m128i v = run ? load16(p[0] + k) : _mm_setr_epi32(p[0][k], p[1][k], p[2][k], p[3][k]);
      acc = _mm_add_epi32(acc, _mm_madd_epi16(v, load16(wp + c1_pair(x, k, taps))));
    }
    const __m128i r = round_final(acc);
    const int32_t bytes = _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packs_epi32(r, r), r));
    __builtin_memcpy(dst + x, &bytes, sizeof bytes);
  }
  return x;
}

int h_second_c1_sse41(const int32_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                      const int32_t* wp, int taps, int x0, int x1) {
  if (x0 % kC1Group) return x0;
  switch (taps) {
    case 2: return h_second_c1_taps(src, src_len, dst, offs, wp, 2, x0, x1);
    case 4: return h_second_c1_taps(src, src_len, dst, offs, wp, 4, x0, x1);
    default: return h_second_c1_taps(src, src_len, dst, offs, wp, taps, x0, x1);
  }
}

// One-channel horizontal first pass, four outputs per step from a multiple
// of eight, four taps at a time: each output's four bytes, whose two byte
// pairs widened to 16 bits meet the outputs' weight pairs.
int h_first_c1_sse41(const uint8_t* src, int src_len, int32_t* dst, const int32_t* offs,
                     const int16_t* w, int taps, int x0, int x1) {
  if (x0 % kC1Group) return x0;
  const __m128i pair0 = _mm_setr_epi8(0, -1, 1, -1, 4, -1, 5, -1, 8, -1, 9, -1, 12, -1, 13, -1);
  const __m128i pair1 = _mm_setr_epi8(2, -1, 3, -1, 6, -1, 7, -1, 10, -1, 11, -1, 14, -1, 15, -1);
  const int need = (taps + 3) & ~3;  // whole loads of four bytes
  int x = x0;
  for (; x + 4 <= x1 && offs[x + 3] + need <= src_len; x += 4) {
    const int16_t* wx = w + c1_weight(x, 0, taps);
    __m128i acc = _mm_setzero_si128();
    for (int k = 0; k < taps; k += 4) {
      const __m128i g = _mm_setr_epi32(load32(src + offs[x] + k), load32(src + offs[x + 1] + k),
                                       load32(src + offs[x + 2] + k), load32(src + offs[x + 3] + k));
      acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(g, pair0), load16(wx + 8 * k)));
      if (k + 2 < taps)
        acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_shuffle_epi8(g, pair1), load16(wx + 8 * k + 16)));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x), mid_word(acc));
  }
  return x;
}

}  // namespace

const Kernels& sse41_kernels() {
  static const Kernels k = {"sse41",        h_first_sse41,  h_second_sse41,
                            v_first_sse41,  v_second_sse41, box2_sse41,
                            up2_row_sse41,  up2_blend_sse41,
                            nullptr,        nullptr,
                            h_first_c1_sse41, h_second_c1_sse41, nullptr,
                            nullptr};
  return k;
}

}  // namespace qarvel::detail
