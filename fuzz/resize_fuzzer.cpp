// The resampler on fuzzer-chosen sizes, steps and channel counts (1 or 3).
// The source holds exactly what its size and step describe, its last row
// ending at the end of the allocation, so any overread is caught. Every
// kernel tier must give the scalar tier's bytes; for three channels
// ipp_resize must give them too, and succeed exactly when the steps are
// large enough.
#include <qarvel/qarvel.h>

#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "resample/dispatch.h"
#include "resample/plan.h"

namespace {

constexpr int kMaxSide = 320;

int side(const uint8_t*& data, size_t& size) {
  return qfuzz::take<uint16_t>(data, size) % kMaxSide + 1;
}

bool rows_equal(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
                int rows, int step, int row_bytes) {
  for (int y = 0; y < rows; ++y)
    if (memcmp(&a[static_cast<size_t>(y) * step], &b[static_cast<size_t>(y) * step], row_bytes))
      return false;
  return true;
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
  // The sign bit of the first step byte picks the channel count.
  const int8_t src_pick = qfuzz::take<int8_t>(data, size);
  const int channels = src_pick < 0 ? 1 : 3;
  // Steps from a few bytes short of the row to a few pixels past it.
  const int src_step = sw * channels + src_pick % 16;
  const int dst_step = dw * channels + qfuzz::take<int8_t>(data, size) % 16;
  const bool steps_ok = src_step >= sw * channels && dst_step >= dw * channels;

  const int src_row = sw * channels, dst_row = dw * channels;
  const size_t src_bytes = static_cast<size_t>(std::max(src_step, src_row)) * (sh - 1) + src_row;
  std::vector<unsigned char> src(src_bytes);
  for (size_t i = 0; i < src_bytes; ++i) src[i] = size ? data[i % size] : static_cast<unsigned char>(i);
  const size_t dst_bytes = static_cast<size_t>(std::max(dst_step, dst_row)) * (dh - 1) + dst_row;

  qarvel::Result<qarvel::ResizePlan> plan = qarvel::ResizePlan::create(sw, sh, dw, dh, channels);
  if (!plan) __builtin_trap();
  std::vector<unsigned char> checked(dst_bytes, 0xA5);
  if (channels == 3) {
    if ((ipp_resize(src.data(), sw, sh, src_step, checked.data(), dw, dh, dst_step) == 0) != steps_ok)
      __builtin_trap();
  } else if (static_cast<bool>(plan->run(src.data(), src_step, checked.data(), dst_step)) != steps_ok) {
    __builtin_trap();
  }
  if (!steps_ok) return 0;

  std::vector<unsigned char> reference;
  for (const Kernels* k : all_kernels()) {
    std::vector<unsigned char> dst(dst_bytes, 0x5A);
    plan->run_with(*k, src.data(), src_step, dst.data(), dst_step);
    if (reference.empty())
      reference = dst;
    else if (!rows_equal(dst, reference, dh, dst_step, dst_row))
      __builtin_trap();
  }
  if (!rows_equal(checked, reference, dh, dst_step, dst_row)) __builtin_trap();
  return 0;
}
