// Reference kernels: plain C++, any width, and the definition every SIMD tier
// must reproduce exactly.
#include "resample.h"

namespace qarvel::detail {
namespace {

// lo = N & 0xFF in the low half, hi = N >> 8 in the high half.
inline int32_t mid_word(int32_t n) {
  return static_cast<int32_t>((static_cast<uint32_t>(n) & 0xFFu) |
                              ((static_cast<uint32_t>(n) << kLoBits) & 0xFFFF0000u));
}

// What pmaddwd gives for a word and a weight pair: the products of their
// low halves and of their high halves, added.
inline int32_t mid_times(int32_t word, int32_t pair) {
  return static_cast<int16_t>(word & 0xFFFF) * static_cast<int16_t>(pair & 0xFFFF) +
         (word >> 16) * (pair >> 16);
}

// Right shift by kFinalShift, rounding to nearest with ties to even.
inline uint8_t round_final(int32_t sum) {
  const int32_t odd = (sum >> kFinalShift) & 1;
  const int32_t v = (sum + (1 << (kFinalShift - 1)) - 1 + odd) >> kFinalShift;
  return static_cast<uint8_t>(v > 255 ? 255 : v);
}

// Taps that lie inside the row; only narrower-than-window rows have fewer.
inline int live_taps(int src_len, int32_t off, int taps) {
  const int avail = (src_len - off) / 3;
  return avail < taps ? avail : taps;
}

int h_first_scalar(const uint8_t* src, int src_len, int32_t* dst, const int32_t* offs,
                   const int16_t* w, int taps, int x0, int x1) {
  for (int x = x0; x < x1; ++x) {
    const uint8_t* p = src + offs[x];
    const int16_t* wx = w + static_cast<long>(x) * taps;
    const int n = live_taps(src_len, offs[x], taps);
    int32_t s0 = 0, s1 = 0, s2 = 0;
    for (int k = 0; k < n; ++k) {
      s0 += p[3 * k] * wx[k];
      s1 += p[3 * k + 1] * wx[k];
      s2 += p[3 * k + 2] * wx[k];
    }
    dst[3 * x] = mid_word(s0);
    dst[3 * x + 1] = mid_word(s1);
    dst[3 * x + 2] = mid_word(s2);
  }
  return x1;
}

int h_second_scalar(const int32_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                    const int32_t* w, int taps, int x0, int x1) {
  for (int x = x0; x < x1; ++x) {
    const int32_t* p = src + offs[x];
    const int32_t* wx = w + pair_block(x, taps);
    const int n = live_taps(src_len, offs[x], taps);
    int32_t s0 = 0, s1 = 0, s2 = 0;
    for (int k = 0; k < n; ++k) {
      const int32_t pair = wx[pair_tap(k)];
      s0 += mid_times(p[3 * k], pair);
      s1 += mid_times(p[3 * k + 1], pair);
      s2 += mid_times(p[3 * k + 2], pair);
    }
    dst[3 * x] = round_final(s0);
    dst[3 * x + 1] = round_final(s1);
    dst[3 * x + 2] = round_final(s2);
  }
  return x1;
}

int v_first_scalar(const uint8_t* const* rows, const int16_t* w, int n_rows, int32_t* dst,
                   int i0, int i1) {
  for (int i = i0; i < i1; ++i) {
    int32_t s = 0;
    for (int k = 0; k < n_rows; ++k) s += rows[k][i] * w[k];
    dst[i] = mid_word(s);
  }
  return i1;
}

int v_second_scalar(const int32_t* const* rows, const int32_t* w, int n_rows, uint8_t* dst,
                    int i0, int i1) {
  for (int i = i0; i < i1; ++i) {
    int32_t s = 0;
    for (int k = 0; k < n_rows; ++k) s += mid_times(rows[k][i], w[k]);
    dst[i] = round_final(s);
  }
  return i1;
}

int box2_scalar(const uint8_t* a, const uint8_t* b, int, uint8_t* dst, int x0, int x1) {
  for (int x = x0; x < x1; ++x)
    for (int c = 0; c < 3; ++c) {
      const int s = a[6 * x + c] + a[6 * x + 3 + c] + b[6 * x + c] + b[6 * x + 3 + c];
      dst[3 * x + c] = static_cast<uint8_t>((s + 1 + ((s >> 2) & 1)) >> 2);
    }
  return x1;
}

int up2_row_scalar(const uint8_t* src, int w, uint16_t* dst, int i0, int i1) {
  for (int i = i0; i < i1; ++i) {
    const uint8_t* l = src + 3 * (i > 0 ? i - 1 : 0);
    const uint8_t* m = src + 3 * i;
    const uint8_t* r = src + 3 * (i + 1 < w ? i + 1 : i);
    for (int c = 0; c < 3; ++c) {
      dst[6 * i + c] = static_cast<uint16_t>(3 * m[c] + l[c]);
      dst[6 * i + 3 + c] = static_cast<uint16_t>(3 * m[c] + r[c]);
    }
  }
  return i1;
}

inline uint8_t round16(int v) { return static_cast<uint8_t>((v + 7 + ((v >> 4) & 1)) >> 4); }

int up2_blend_scalar(const uint16_t* p, const uint16_t* q, uint8_t* a, uint8_t* b, int i0,
                     int i1) {
  for (int i = i0; i < i1; ++i) {
    a[i] = round16(3 * p[i] + q[i]);
    b[i] = round16(p[i] + 3 * q[i]);
  }
  return i1;
}

// A one-channel pass over outputs [x0, x1): each output sums `weigh` over
// its taps, as far as the row goes, and `finish` makes its value.
template <typename In, typename Out, typename Weigh, typename Finish>
int c1_pass(const In* src, int src_len, Out* dst, const int32_t* offs, int taps, int x0, int x1,
            Weigh weigh, Finish finish) {
  for (int x = x0; x < x1; ++x) {
    const int n = src_len - offs[x] < taps ? src_len - offs[x] : taps;
    int32_t s = 0;
    for (int k = 0; k < n; ++k) s += weigh(src[offs[x] + k], x, k);
    dst[x] = finish(s);
  }
  return x1;
}

int h_first_c1_scalar(const uint8_t* src, int src_len, int32_t* dst, const int32_t* offs,
                      const int16_t* w, int taps, int x0, int x1) {
  return c1_pass(
      src, src_len, dst, offs, taps, x0, x1,
      [=](uint8_t v, int x, int k) { return v * w[c1_weight(x, k, taps)]; }, mid_word);
}

int h_second_c1_scalar(const int32_t* src, int src_len, uint8_t* dst, const int32_t* offs,
                       const int32_t* w, int taps, int x0, int x1) {
  return c1_pass(
      src, src_len, dst, offs, taps, x0, x1,
      [=](int32_t v, int x, int k) { return mid_times(v, w[c1_pair(x, k, taps)]); }, round_final);
}

int box2_c1_scalar(const uint8_t* a, const uint8_t* b, int, uint8_t* dst, int x0, int x1) {
  for (int x = x0; x < x1; ++x) {
    const int s = a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1];
    dst[x] = static_cast<uint8_t>((s + 1 + ((s >> 2) & 1)) >> 2);
  }
  return x1;
}

int up2_row_c1_scalar(const uint8_t* src, int w, uint16_t* dst, int i0, int i1) {
  for (int i = i0; i < i1; ++i) {
    const int m = 3 * src[i];
    dst[2 * i] = static_cast<uint16_t>(m + src[i > 0 ? i - 1 : 0]);
    dst[2 * i + 1] = static_cast<uint16_t>(m + src[i + 1 < w ? i + 1 : i]);
  }
  return i1;
}

// The 8-bit weight of lo that goes with weight w, as in the second pass's pairs.
inline int lo_weight(int w) { return (w + (1 << (kLoBits - 1))) >> kLoBits; }

}  // namespace

int v_planes_scalar(const uint8_t* const* rows, int, const int16_t* w, int n_rows,
                    const Planes& out, int p0, int p1) {
  for (int p = p0; p < p1; ++p)
    for (int c = 0; c < 3; ++c) {
      int32_t s = 0;
      for (int k = 0; k < n_rows; ++k) s += rows[k][3 * p + c] * w[k];
      out.hi[c * out.stride + p] = static_cast<int16_t>(s >> kLoBits);
      out.lo[c * out.stride + p] = static_cast<uint8_t>(s & 0xFF);
    }
  return p1;
}

int h_planes_scalar(const Planes& in, uint8_t* dst, const int32_t* offs, const int16_t* w, int taps,
                    const uint8_t*, int x0, int x1) {
  for (int x = x0; x < x1; ++x) {
    const int p = offs[x] / 3;
    const int16_t* wx = w + static_cast<long>(x) * taps;
    for (int c = 0; c < 3; ++c) {
      const int16_t* hi = in.hi + c * in.stride + p;
      const uint8_t* lo = in.lo + c * in.stride + p;
      int32_t s = 0;
      for (int k = 0; k < taps; ++k) s += hi[k] * wx[k] + lo[k] * lo_weight(wx[k]);
      dst[3 * x + c] = round_final(s);
    }
  }
  return x1;
}

const Kernels& scalar_kernels() {
  static const Kernels k = {"scalar",        h_first_scalar, h_second_scalar, v_first_scalar,
                            v_second_scalar, box2_scalar,    up2_row_scalar,  up2_blend_scalar,
                            nullptr,         nullptr,        h_first_c1_scalar,
                            h_second_c1_scalar, box2_c1_scalar, up2_row_c1_scalar};
  return k;
}

}  // namespace qarvel::detail
