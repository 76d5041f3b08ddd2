// Internal: one resize, set up once through the IPP-style layer and run.
#ifndef QARVEL_RESAMPLE_PLAN_H
#define QARVEL_RESAMPLE_PLAN_H

#include <cstdint>
#include <utility>

#include "resample/ipp_layer.h"
#include "resample/resample.h"
#include "result.h"

namespace qarvel {

// Which of the layer's two methods a plan initialises: automatic is
// super-sampling when neither side grows, linear otherwise.
enum class ResizeMethod { kAutomatic, kSuper, kLinear };

// The specification and work buffer of one resize of 1 or 3 interleaved
// 8-bit channels, made by the layer's calls in the order a host makes them:
// the size query (always linear, antialiasing on), the specification from
// ippsMalloc_32f, the init, the buffer query, the buffer from ippsMalloc_8u.
// Both are released with the plan. A plan runs one resize at a time (the
// work buffer is its own); its sizes are fixed.
class ResizePlan {
 public:
  // A refused size or status is kResample, a failed allocation kAlloc, a
  // channel count other than 1 or 3 kArgument.
  static Result<ResizePlan> create(int src_width, int src_height, int dst_width, int dst_height,
                                   int channels,
                                   ResizeMethod method = ResizeMethod::kAutomatic) noexcept;

  // Resizes src into dst through the layer's resize call, which checks the
  // pointers and steps; its refusal is kResample.
  Status run(const uint8_t* src, int src_step, uint8_t* dst, int dst_step) const noexcept;

  // The same resize with the kernel table given and no checks, for tests and
  // benchmarks: steps of 0 are taken. ratio_paths = false sends exact 2:1
  // and 2x ratios through the general passes.
  void run_with(const detail::Kernels& kernels, const uint8_t* src, int src_step, uint8_t* dst,
                int dst_step, bool ratio_paths = true) const noexcept;

  const IppiResizeSpec_32f* spec() const noexcept { return spec_.get(); }
  bool linear() const noexcept { return linear_; }

 private:
  ResizePlan(IppBuffer<IppiResizeSpec_32f> spec, IppBuffer<Ipp8u> buffer, IppiSize dst,
             int channels, bool linear) noexcept
      : spec_(std::move(spec)), buffer_(std::move(buffer)), dst_(dst), channels_(channels),
        linear_(linear) {}

  IppBuffer<IppiResizeSpec_32f> spec_;
  IppBuffer<Ipp8u> buffer_;
  IppiSize dst_;
  int channels_;
  bool linear_;
};

}  // namespace qarvel

#endif
