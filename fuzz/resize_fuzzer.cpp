// The resampler on fuzzer-chosen source and destination sizes and steps.
// The source holds exactly what its size and step describe, its last row
// ending at the end of the allocation, so any overread is caught. Every
// kernel tier must give the scalar tier's bytes, and ipp_resize must succeed
// exactly when the steps are large enough.
#include <qarvel/qarvel.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "resample/ipp_layer.h"
#include "resample/resample.h"

namespace {

constexpr int kMaxSide = 320;

int side(const uint8_t*& data, size_t& size) {
  return qfuzz::take<uint16_t>(data, size) % kMaxSide + 1;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  qfuzz::silence_stdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qarvel::detail;
  const int sw = side(data, size), sh = side(data, size);
  const int dw = side(data, size), dh = side(data, size);
  // Steps from a few bytes short of the row to a few pixels past it.
  const int src_step = sw * 3 + qfuzz::take<int8_t>(data, size) % 16;
  const int dst_step = dw * 3 + qfuzz::take<int8_t>(data, size) % 16;
  const bool steps_ok = src_step >= sw * 3 && dst_step >= dw * 3;

  const size_t src_bytes = static_cast<size_t>(std::max(src_step, sw * 3)) * (sh - 1) + sw * 3;
  std::vector<unsigned char> src(src_bytes);
  for (size_t i = 0; i < src_bytes; ++i) src[i] = size ? data[i % size] : static_cast<unsigned char>(i);
  const size_t dst_bytes = static_cast<size_t>(std::max(dst_step, dw * 3)) * (dh - 1) + dw * 3;

  std::vector<unsigned char> via_api(dst_bytes, 0xA5);
  const int rc = ipp_resize(src.data(), sw, sh, src_step, via_api.data(), dw, dh, dst_step);
  if ((rc == 0) != steps_ok) __builtin_trap();
  if (!steps_ok) return 0;

  const IppiSize ssize = {sw, sh}, dsize = {dw, dh};
  int spec_size = 0, init_size = 0, buf_size = 0;
  if (ippiResizeGetSize_8u(ssize, dsize, ippLinear, 1, &spec_size, &init_size) != ippStsNoErr)
    __builtin_trap();
  std::vector<unsigned char> spec_mem(static_cast<size_t>(spec_size));
  auto* spec = reinterpret_cast<IppiResizeSpec_32f*>(spec_mem.data());
  const bool linear = sw < dw || sh < dh;
  if ((linear ? ippiResizeLinearInit_8u(ssize, dsize, spec)
              : ippiResizeSuperInit_8u(ssize, dsize, spec)) != ippStsNoErr ||
      ippiResizeGetBufferSize_8u(spec, dsize, 3, &buf_size) != ippStsNoErr)
    __builtin_trap();
  std::vector<unsigned char> work(static_cast<size_t>(buf_size));

  std::vector<unsigned char> reference;
  for (const Kernels* k : all_kernels()) {
    std::vector<unsigned char> dst(dst_bytes, 0x5A);
    resample_image(*k, spec, src.data(), src_step, dst.data(), dst_step, work.data());
    if (reference.empty()) {
      reference = dst;
    } else {
      for (int y = 0; y < dh; ++y)
        if (memcmp(&dst[static_cast<size_t>(y) * dst_step], &reference[static_cast<size_t>(y) * dst_step], dw * 3))
          __builtin_trap();
    }
  }
  for (int y = 0; y < dh; ++y)
    if (memcmp(&via_api[static_cast<size_t>(y) * dst_step], &reference[static_cast<size_t>(y) * dst_step], dw * 3))
      __builtin_trap();
  return 0;
}
