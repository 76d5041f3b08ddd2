// Internal: the IPP 8.1 resize functions the library calls, implemented here
// with IPP's names, types, constants and status values. C linkage, hidden.
#ifndef QARVEL_IPP_LAYER_H
#define QARVEL_IPP_LAYER_H

#include <memory>
#include <vector>

#include "resample/resample.h"

extern "C" {

typedef int IppStatus;
typedef unsigned char Ipp8u;
typedef unsigned int Ipp32u;
typedef float Ipp32f;
typedef struct {
  int width;
  int height;
} IppiSize;
typedef struct {
  int x;
  int y;
} IppiPoint;
// Opaque to callers; laid out in ipp_layer.cpp.
typedef struct IppiResizeSpec_32f IppiResizeSpec_32f;

typedef enum {
  ippHahn = 0,
  ippNearest = 1,
  ippLinear = 2,
  ippCubic = 6,
  ippSuper = 8,
  ippLanczos = 16
} IppiInterpolationType;

typedef enum {
  ippBorderConst = 0,
  ippBorderRepl = 1,
  ippBorderWrap = 2,
  ippBorderMirror = 3,
  ippBorderMirrorR = 4,
  ippBorderInMem = 6,
  ippBorderTransp = 7,
  ippBorderInMemTop = 0x10,
  ippBorderInMemBottom = 0x20,
  ippBorderInMemLeft = 0x40,
  ippBorderInMemRight = 0x80
} IppiBorderType;

enum {
  ippStsNoErr = 0,
  ippStsNoOperation = 1,
  ippStsNoAntialiasing = 46,
  ippStsSizeWrn = 48,
  ippStsSizeErr = -6,
  ippStsNullPtrErr = -8,
  ippStsOutOfRangeErr = -11,
  ippStsStepErr = -14,
  ippStsContextMatchErr = -17,
  ippStsInterpolationErr = -22,
  ippStsNumChannelsErr = -53,
  ippStsBorderErr = -225,
  ippStsNotSupportedModeErr = -9999
};

// Writes *pSpecSize (bytes of spec, enough for either method) and a small
// positive *pInitBufSize that nothing needs.
IppStatus ippiResizeGetSize_8u(IppiSize src, IppiSize dst, IppiInterpolationType interp,
                               Ipp32u antialiasing, int* pSpecSize, int* pInitBufSize);
IppStatus ippiResizeSuperInit_8u(IppiSize src, IppiSize dst, IppiResizeSpec_32f* pSpec);
IppStatus ippiResizeLinearInit_8u(IppiSize src, IppiSize dst, IppiResizeSpec_32f* pSpec);
IppStatus ippiResizeGetBufferSize_8u(const IppiResizeSpec_32f* pSpec, IppiSize dstSize,
                                     Ipp32u numChannels, int* pBufSize);
IppStatus ippiResizeSuper_8u_C3R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                 IppiPoint dstOffset, IppiSize dstSize,
                                 const IppiResizeSpec_32f* pSpec, Ipp8u* pBuffer);
IppStatus ippiResizeLinear_8u_C3R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                  IppiPoint dstOffset, IppiSize dstSize, IppiBorderType border,
                                  const Ipp8u* pBorderValue, const IppiResizeSpec_32f* pSpec,
                                  Ipp8u* pBuffer);
// 64-byte aligned storage for len elements; null when len < 1 or on failure.
Ipp32f* ippsMalloc_32f(int len);
Ipp8u* ippsMalloc_8u(int len);
void ippsFree(void* p);

}  // extern "C"

namespace qarvel {

struct IppFree {
  void operator()(void* p) const noexcept { ippsFree(p); }
};
// Storage from the resize layer's allocator.
template <class T>
using IppBuffer = std::unique_ptr<T, IppFree>;

}  // namespace qarvel

namespace qarvel::detail {

// Every kernel table this processor can run, scalar first and the fastest
// last; the processor is queried once.
const std::vector<const Kernels*>& all_kernels();
// The last of all_kernels(), the table the layer's resize functions use.
const Kernels& best_kernels();

// Resizes with an explicit kernel table. The layer's resize functions call it
// with best_kernels() after their checks; tests call it to compare tiers. The
// spec must be initialised and the buffer sized by ippiResizeGetBufferSize_8u.
// ratio_paths = false sends exact 2:1 and 2x ratios through the general two
// passes too, so tests can compare the shortcuts with them.
void resample_image(const Kernels& kernels, const IppiResizeSpec_32f* spec, const Ipp8u* src,
                    int src_step, Ipp8u* dst, int dst_step, Ipp8u* buffer,
                    bool ratio_paths = true);

}  // namespace qarvel::detail

#endif
