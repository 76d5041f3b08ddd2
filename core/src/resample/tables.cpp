// The resize tables: their size, and how init builds them from the sizes.
#include "resample/tables.h"

#include <cstring>

#include "resample/resample.h"

namespace qarvel::detail {
namespace {

constexpr uint32_t kMagic = 0x50535251;  // "QRSP"
constexpr uint16_t kLayoutVersion = 3;
constexpr int64_t kHeaderBytes = 64;
static_assert(sizeof(SpecHeader) <= kHeaderBytes, "the header fits its cache line");

// Upper bound of the tap stride: area windows on an axis that does not grow
// touch at most ceil(ns / nd) + 1 pixels; a growing axis interpolates 2.
int64_t taps_bound(int64_t ns, int64_t nd) {
  if (nd > ns) return 2;
  const int64_t t = (ns + nd - 1) / nd + 1;
  return (t + 1) & ~int64_t{1};
}

// First pixel of a window of `taps` pixels that must hold pixel `first`:
// slid left when the stride would run past the last pixel, so kernels may
// read every tap. Images narrower than the stride keep `first`.
int64_t window_start(int64_t ns, int taps, int64_t first) {
  return ns >= taps && first + taps > ns ? ns - taps : first;
}

// The widest area window, rounded up to an even tap count.
int area_taps(int64_t ns, int64_t nd) {
  int64_t widest = 1;
  for (int64_t x = 0; x < nd; ++x) {
    const int64_t first = x * ns / nd;
    const int64_t last = ((x + 1) * ns - 1) / nd;
    if (last - first + 1 > widest) widest = last - first + 1;
  }
  return static_cast<int>((widest + 1) & ~int64_t{1});
}

// Output x covers [x*ns, (x+1)*ns) in units where a source pixel is nd long,
// and each pixel weighs its integer overlap. Cumulative rounding: each weight
// is the step between rounded running totals, so the weights sum to exactly
// kWeightOne (stored negated).
void area_weights(int64_t ns, int64_t nd, int64_t x, int taps, int32_t* index, int16_t* wx,
                  int scale) {
  const int64_t lo = x * ns;
  const int64_t hi = lo + ns;
  const int64_t first = lo / nd;
  const int64_t last = (hi - 1) / nd;
  const int64_t start = window_start(ns, taps, first);
  *index = static_cast<int32_t>(start * scale);
  int64_t cum = 0;
  int64_t prev = 0;
  for (int64_t i = first; i <= last; ++i) {
    const int64_t a = lo > i * nd ? lo : i * nd;
    const int64_t b = hi < (i + 1) * nd ? hi : (i + 1) * nd;
    cum += b - a;
    const int64_t r = (cum * kWeightOne + ns / 2) / ns;
    wx[i - start] = static_cast<int16_t>(prev - r);
    prev = r;
  }
}

// The pixel-centre position (x + 0.5) * ns / nd - 0.5, clamped to the image,
// in halves of a destination pixel: (2x + 1) * ns - nd over 2 * nd.
void linear_weights(int64_t ns, int64_t nd, int64_t x, int taps, int32_t* index, int16_t* wx,
                    int scale) {
  const int64_t n = (2 * x + 1) * ns - nd;
  const int64_t d = 2 * nd;
  int64_t i0 = n > 0 ? n / d : 0;
  int64_t rem = n > 0 ? n % d : 0;
  if (i0 >= ns - 1) {
    i0 = ns - 1;
    rem = 0;
  }
  const int64_t start = window_start(ns, taps, i0);
  *index = static_cast<int32_t>(start * scale);
  const int64_t q0 = ((d - rem) * kWeightOne + d / 2) / d;
  wx[i0 - start] = static_cast<int16_t>(-q0);
  if (i0 + 1 < ns) wx[i0 + 1 - start] = static_cast<int16_t>(q0 - kWeightOne);
}

// Builds one axis at `offset` from the base; returns the bytes it takes.
int64_t build_axis(uint8_t* base, int64_t offset, int64_t ns, int64_t nd, bool area, int scale,
                   Axis* axis) {
  const int taps = area ? area_taps(ns, nd) : 2;
  axis->taps = taps;
  axis->index_offset = static_cast<uint32_t>(offset);
  axis->weight_offset = static_cast<uint32_t>(offset + align64(4 * nd));
  axis->flags = (ns == nd ? kIdentity : 0u) | (area ? kAreaWeights : 0u);
  auto* index = reinterpret_cast<int32_t*>(base + axis->index_offset);
  auto* weights = reinterpret_cast<int16_t*>(base + axis->weight_offset);
  for (int64_t x = 0; x < nd; ++x) {
    int16_t* wx = weights + x * taps;
    std::memset(wx, 0, sizeof(int16_t) * taps);
    if (area)
      area_weights(ns, nd, x, taps, index + x, wx, scale);
    else
      linear_weights(ns, nd, x, taps, index + x, wx, scale);
  }
  return align64(4 * nd) + align64(2 * int64_t{taps} * nd);
}

}  // namespace

int64_t spec_size(IppiSize src, IppiSize dst) {
  const int64_t tx = taps_bound(src.width, dst.width);
  const int64_t ty = taps_bound(src.height, dst.height);
  return 2 * kAlign + align64(4 * int64_t{dst.width}) + align64(2 * tx * dst.width) +
         align64(4 * int64_t{dst.height}) + align64(2 * ty * dst.height);
}

SpecHeader read_header(const IppiResizeSpec_32f* spec) {
  SpecHeader h;
  std::memcpy(&h, spec, sizeof h);
  return h;
}

bool valid_header(const SpecHeader& h) {
  return h.magic == kMagic && h.version == kLayoutVersion;
}

IppStatus init_tables(IppiSize src, IppiSize dst, IppiResizeSpec_32f* spec, Method method) {
  if (!spec) return ippStsNullPtrErr;
  std::memset(spec, 0, sizeof(uint32_t));
  if (src.width < 0 || src.height < 0 || dst.width < 0 || dst.height < 0) return ippStsSizeErr;
  if (src.width == 0 || src.height == 0 || dst.width == 0 || dst.height == 0)
    return ippStsNoOperation;
  if (method == kMethodSuper && (dst.width > src.width || dst.height > src.height))
    return ippStsSizeErr;
  if (!row_fits(src.width) || !row_fits(dst.width) || spec_size(src, dst) > INT_MAX / 4)
    return ippStsSizeErr;

  auto* base = reinterpret_cast<uint8_t*>(spec);
  // Tables start at the first 64-byte boundary after the header, inside the
  // slack that the specification size reserves, whatever the base's alignment.
  const int64_t tables = align_ptr(base + kHeaderBytes) - base;
  SpecHeader h = {};
  h.version = kLayoutVersion;
  h.method = method;
  h.src_w = src.width;
  h.src_h = src.height;
  h.dst_w = dst.width;
  h.dst_h = dst.height;
  const bool area_x = method == kMethodSuper || dst.width <= src.width;
  const bool area_y = method == kMethodSuper || dst.height <= src.height;
  const int64_t x_bytes = build_axis(base, tables, src.width, dst.width, area_x, 3, &h.x);
  build_axis(base, tables + x_bytes, src.height, dst.height, area_y, 1, &h.y);
  std::memcpy(base, &h, sizeof h);
  const uint32_t magic = kMagic;
  std::memcpy(base, &magic, sizeof magic);
  return ippStsNoErr;
}

}  // namespace qarvel::detail
