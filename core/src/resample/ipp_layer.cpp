// The IPP-style C functions: argument checks in IPP's order and status
// values, over the tables (tables.h) and the strategy driver (driver.h).
#include "resample/ipp_layer.h"

#include <cstdlib>

#include "resample/dispatch.h"
#include "resample/driver.h"
#include "resample/tables.h"

namespace qarvel::detail {
namespace {

constexpr int kInitBufSize = 64;

bool legal_border(int border) {
  const int base = border & 0xF;
  if (border & ~0xFF) return false;
  return base == ippBorderConst || base == ippBorderRepl || base == ippBorderWrap ||
         base == ippBorderMirror || base == ippBorderMirrorR || base == ippBorderInMem ||
         base == ippBorderTransp;
}

IppStatus check_resize(const Ipp8u* src, int src_step, const Ipp8u* dst, int dst_step,
                       IppiPoint offset, IppiSize size, const IppiResizeSpec_32f* spec,
                       const Ipp8u* buffer, Method method, int channels) {
  if (!src || !dst || !spec || !buffer) return ippStsNullPtrErr;
  const SpecHeader h = read_header(spec);
  if (!valid_header(h) || h.method != method) return ippStsContextMatchErr;
  if (size.width < 0 || size.height < 0) return ippStsSizeErr;
  if (size.width == 0 || size.height == 0) return ippStsNoOperation;
  if (int64_t{src_step} < int64_t{h.src_w} * channels ||
      int64_t{dst_step} < int64_t{size.width} * channels)
    return ippStsStepErr;
  // Whole images only: no tiles.
  if (offset.x != 0 || offset.y != 0) return ippStsOutOfRangeErr;
  if (size.width != h.dst_w || size.height != h.dst_h) return ippStsSizeErr;
  return ippStsNoErr;
}

IppStatus resize_super(const Ipp8u* src, int src_step, Ipp8u* dst, int dst_step, IppiPoint offset,
                       IppiSize size, const IppiResizeSpec_32f* spec, Ipp8u* buffer,
                       int channels) {
  const IppStatus st =
      check_resize(src, src_step, dst, dst_step, offset, size, spec, buffer, kMethodSuper, channels);
  if (st != ippStsNoErr) return st;
  resample_image(best_kernels(), spec, src, src_step, dst, dst_step, buffer, channels);
  return ippStsNoErr;
}

IppStatus resize_linear(const Ipp8u* src, int src_step, Ipp8u* dst, int dst_step,
                        IppiPoint offset, IppiSize size, IppiBorderType border,
                        const IppiResizeSpec_32f* spec, Ipp8u* buffer, int channels) {
  const IppStatus st = check_resize(src, src_step, dst, dst_step, offset, size, spec, buffer,
                                    kMethodLinear, channels);
  if (st != ippStsNoErr) return st;
  if (!legal_border(border)) return ippStsBorderErr;
  if (border != ippBorderRepl) return ippStsNotSupportedModeErr;
  resample_image(best_kernels(), spec, src, src_step, dst, dst_step, buffer, channels);
  return ippStsNoErr;
}

void* aligned_alloc64(int len, size_t element) {
  if (len < 1) return nullptr;
  void* p = nullptr;
  if (posix_memalign(&p, kAlign, static_cast<size_t>(len) * element) != 0) return nullptr;
  return p;
}

}  // namespace
}  // namespace qarvel::detail

using namespace qarvel::detail;

extern "C" {

IppStatus ippiResizeGetSize_8u(IppiSize src, IppiSize dst, IppiInterpolationType interp,
                               Ipp32u antialiasing, int* pSpecSize, int* pInitBufSize) {
  if (!pSpecSize || !pInitBufSize) return ippStsNullPtrErr;
  if (src.width < 0 || src.height < 0 || dst.width < 0 || dst.height < 0) return ippStsSizeErr;
  if (src.width == 0 || src.height == 0 || dst.width == 0 || dst.height == 0)
    return ippStsNoOperation;
  switch (interp) {
    case ippNearest: case ippCubic: case ippLanczos: case ippHahn:
      return ippStsNotSupportedModeErr;
    case ippLinear: case ippSuper:
      break;
    default:
      return ippStsInterpolationErr;
  }
  if (interp == ippSuper && (dst.width > src.width || dst.height > src.height))
    return ippStsSizeErr;
  if (!row_fits(src.width) || !row_fits(dst.width)) return ippStsSizeErr;
  const int64_t size = spec_size(src, dst);
  if (size > INT_MAX / 4) return ippStsSizeErr;
  *pSpecSize = static_cast<int>(size);
  *pInitBufSize = kInitBufSize;
  // Both methods accept any antialiasing flag: super-sampling always
  // averages, and linear averages on every axis that shrinks.
  (void)antialiasing;
  return ippStsNoErr;
}

IppStatus ippiResizeSuperInit_8u(IppiSize src, IppiSize dst, IppiResizeSpec_32f* pSpec) {
  return init_tables(src, dst, pSpec, kMethodSuper);
}

IppStatus ippiResizeLinearInit_8u(IppiSize src, IppiSize dst, IppiResizeSpec_32f* pSpec) {
  return init_tables(src, dst, pSpec, kMethodLinear);
}

IppStatus ippiResizeGetBufferSize_8u(const IppiResizeSpec_32f* pSpec, IppiSize dstSize,
                                     Ipp32u numChannels, int* pBufSize) {
  if (!pSpec || !pBufSize) return ippStsNullPtrErr;
  const SpecHeader h = read_header(pSpec);
  if (!valid_header(h)) return ippStsContextMatchErr;
  if (numChannels != 1 && numChannels != 3 && numChannels != 4) return ippStsNumChannelsErr;
  if (dstSize.width < 0 || dstSize.height < 0) return ippStsSizeErr;
  if (dstSize.width == 0 || dstSize.height == 0) return ippStsNoOperation;
  if (dstSize.width != h.dst_w || dstSize.height != h.dst_h) return ippStsSizeErr;
  const int64_t total = work_bytes(h);
  if (total > INT_MAX) return ippStsSizeErr;
  *pBufSize = static_cast<int>(total);
  return ippStsNoErr;
}

IppStatus ippiResizeSuper_8u_C1R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                 IppiPoint dstOffset, IppiSize dstSize,
                                 const IppiResizeSpec_32f* pSpec, Ipp8u* pBuffer) {
  return resize_super(pSrc, srcStep, pDst, dstStep, dstOffset, dstSize, pSpec, pBuffer, 1);
}

IppStatus ippiResizeSuper_8u_C3R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                 IppiPoint dstOffset, IppiSize dstSize,
                                 const IppiResizeSpec_32f* pSpec, Ipp8u* pBuffer) {
  return resize_super(pSrc, srcStep, pDst, dstStep, dstOffset, dstSize, pSpec, pBuffer, 3);
}

// Only the replicated border is implemented, so the border value goes unread.
IppStatus ippiResizeLinear_8u_C1R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                  IppiPoint dstOffset, IppiSize dstSize, IppiBorderType border,
                                  const Ipp8u*, const IppiResizeSpec_32f* pSpec, Ipp8u* pBuffer) {
  return resize_linear(pSrc, srcStep, pDst, dstStep, dstOffset, dstSize, border, pSpec, pBuffer, 1);
}

IppStatus ippiResizeLinear_8u_C3R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                  IppiPoint dstOffset, IppiSize dstSize, IppiBorderType border,
                                  const Ipp8u*, const IppiResizeSpec_32f* pSpec, Ipp8u* pBuffer) {
  return resize_linear(pSrc, srcStep, pDst, dstStep, dstOffset, dstSize, border, pSpec, pBuffer, 3);
}

Ipp32f* ippsMalloc_32f(int len) { return static_cast<Ipp32f*>(aligned_alloc64(len, sizeof(Ipp32f))); }

Ipp8u* ippsMalloc_8u(int len) { return static_cast<Ipp8u*>(aligned_alloc64(len, 1)); }

void ippsFree(void* p) { std::free(p); }

}  // extern "C"
