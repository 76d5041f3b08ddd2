// Resizing: the core's resample call, one resize plan made and run, and the
// aspect-preserving height of a resize.
#include <climits>
#include <cstdint>

#include "core.h"
#include "resample/plan.h"

namespace qarvel {

Status resample(const uint8_t* src, int src_width, int src_height, int src_step, uint8_t* dst,
                int dst_width, int dst_height, int dst_step, int channels) noexcept {
  Result<ResizePlan> plan =
      ResizePlan::create(src_width, src_height, dst_width, dst_height, channels);
  if (!plan) return plan.error();
  return plan->run(src, src_step, dst, dst_step);
}

Status resample(const uint8_t* src, int src_width, int src_height, int src_step, uint8_t* dst,
                int dst_width, int dst_height, int dst_step) noexcept {
  return resample(src, src_width, src_height, src_step, dst, dst_width, dst_height, dst_step, 3);
}

Result<int> aspect_height(int src_width, int src_height, int dst_width) noexcept {
  const int64_t product = int64_t{dst_width} * src_height;
  if (product > INT_MAX || src_width <= 0)
    return Error{Fault::kTooLarge, "the width times the source height does not fit an int"};
  // Single precision on purpose: callers rely on the exact heights it gives.
  const float ratio = static_cast<float>(product) / static_cast<float>(src_width);
  const double height = static_cast<double>(ratio) + 0.5;
  // The quotient can round up to 2^31 even when the product fits.
  if (height >= 2147483648.0)
    return Error{Fault::kTooLarge, "the height that keeps the aspect ratio does not fit an int"};
  return static_cast<int>(height);
}

}  // namespace qarvel
