// Internal: the IPP 8.1 resize functions the library calls, implemented here
// with IPP's names, types, constants and status values. C linkage, hidden.
#ifndef QARVEL_IPP_LAYER_H
#define QARVEL_IPP_LAYER_H

#include <memory>

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
// Opaque to callers; laid out in tables.h.
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
// The resizes of one-channel (C1R) and interleaved three-channel (C3R)
// images: whole images only, steps of at least a row, any buffer size the
// query gave; the linear ones take only the replicated border.
IppStatus ippiResizeSuper_8u_C1R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                 IppiPoint dstOffset, IppiSize dstSize,
                                 const IppiResizeSpec_32f* pSpec, Ipp8u* pBuffer);
IppStatus ippiResizeSuper_8u_C3R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                 IppiPoint dstOffset, IppiSize dstSize,
                                 const IppiResizeSpec_32f* pSpec, Ipp8u* pBuffer);
IppStatus ippiResizeLinear_8u_C1R(const Ipp8u* pSrc, int srcStep, Ipp8u* pDst, int dstStep,
                                  IppiPoint dstOffset, IppiSize dstSize, IppiBorderType border,
                                  const Ipp8u* pBorderValue, const IppiResizeSpec_32f* pSpec,
                                  Ipp8u* pBuffer);
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

#endif
