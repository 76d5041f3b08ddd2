// Internal: the resize tables inside a specification buffer.
//
// A specification holds a 64-byte header and, per axis, an index table (the
// first source pixel of each output's window, as an offset of pixel * 3) and
// a weight table (taps per output, negated as resample.h describes, padded
// with zeros to an even stride). Windows are slid left to stay inside the
// image, so a kernel may read every tap without bounds checks. The tables do
// not depend on the channel count: one-channel resizes divide the offsets by 3.
#ifndef QARVEL_RESAMPLE_TABLES_H
#define QARVEL_RESAMPLE_TABLES_H

#include <climits>
#include <cstdint>

#include "resample/ipp_layer.h"

namespace qarvel::detail {

constexpr int64_t kAlign = 64;

enum Method : uint16_t { kMethodSuper = 1, kMethodLinear = 2 };
enum AxisFlag : uint32_t { kIdentity = 1, kAreaWeights = 2 };

struct Axis {
  int32_t taps;            // weight stride T, even
  uint32_t index_offset;   // from the specification buffer: nd int32 window starts
  uint32_t weight_offset;  // from the specification buffer: nd * T int16 weights
  uint32_t flags;
};

struct SpecHeader {
  uint32_t magic;
  uint16_t version;
  uint16_t method;
  int32_t src_w, src_h, dst_w, dst_h;
  Axis x, y;
};

inline int64_t align64(int64_t v) { return (v + kAlign - 1) & ~(kAlign - 1); }

template <typename T>
T* align_ptr(T* p) {
  const auto a = reinterpret_cast<uintptr_t>(p);
  return reinterpret_cast<T*>((a + kAlign - 1) & ~static_cast<uintptr_t>(kAlign - 1));
}

// Element offsets are int32, so a row's bytes must fit an int.
inline bool row_fits(int width) { return width <= INT_MAX / 3; }

// Bytes of a specification for these sizes, enough for either method.
int64_t spec_size(IppiSize src, IppiSize dst);

// Checks the sizes as both inits do and builds the tables. The magic is
// cleared first and written last, so a failed init never leaves a
// specification that looks valid.
IppStatus init_tables(IppiSize src, IppiSize dst, IppiResizeSpec_32f* spec, Method method);

// The header, copied out (the buffer need not be aligned); valid_header tells
// whether an init finished it.
SpecHeader read_header(const IppiResizeSpec_32f* spec);
bool valid_header(const SpecHeader& h);

}  // namespace qarvel::detail

#endif
