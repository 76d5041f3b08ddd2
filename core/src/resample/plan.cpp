// The resize plan: the layer's set-up calls, made once for a resize.
#include "resample/plan.h"

#include <string>

#include "resample/driver.h"

namespace qarvel {
namespace {

Error layer_error(const char* step, IppStatus status) {
  return Error{Fault::kResample, std::string("cannot resample: ") + step + " returned status " +
                                     std::to_string(status)};
}

bool use_linear(ResizeMethod method, IppiSize src, IppiSize dst) {
  if (method != ResizeMethod::kAutomatic) return method == ResizeMethod::kLinear;
  return src.width < dst.width || src.height < dst.height;
}

}  // namespace

// Sizes go to the layer unchecked; any non-zero status, warnings included,
// is a failure.
Result<ResizePlan> ResizePlan::create(int src_width, int src_height, int dst_width,
                                      int dst_height, int channels,
                                      ResizeMethod method) noexcept {
  if (channels != 1 && channels != 3)
    return Error{Fault::kArgument, "the resampler takes 1 or 3 channels"};
  const IppiSize src = {src_width, src_height};
  const IppiSize dst = {dst_width, dst_height};
  int spec_size = 0;
  int init_size = 0;
  // The query always says linear; its size also fits a super-sampling spec.
  IppStatus status =
      ippiResizeGetSize_8u(src, dst, ippLinear, 0xFFFFFFFFu, &spec_size, &init_size);
  if (status != ippStsNoErr) return layer_error("the size query", status);

  // Allocated as a count of floats: four times the bytes asked for.
  IppBuffer<IppiResizeSpec_32f> spec(
      reinterpret_cast<IppiResizeSpec_32f*>(ippsMalloc_32f(spec_size)));
  if (!spec) return Error{Fault::kAlloc, "out of memory for the resize tables"};
  const bool linear = use_linear(method, src, dst);
  status = linear ? ippiResizeLinearInit_8u(src, dst, spec.get())
                  : ippiResizeSuperInit_8u(src, dst, spec.get());
  if (status != ippStsNoErr) return layer_error("the initialisation", status);
  int buffer_size = 0;
  status = ippiResizeGetBufferSize_8u(spec.get(), dst, static_cast<Ipp32u>(channels),
                                      &buffer_size);
  if (status != ippStsNoErr) return layer_error("the buffer query", status);
  IppBuffer<Ipp8u> buffer(ippsMalloc_8u(buffer_size));
  if (!buffer) return Error{Fault::kAlloc, "out of memory for the resize buffer"};
  return ResizePlan(std::move(spec), std::move(buffer), dst, channels, linear);
}

Status ResizePlan::run(const uint8_t* src, int src_step, uint8_t* dst,
                       int dst_step) const noexcept {
  const IppiPoint offset = {0, 0};
  IppStatus status;
  if (linear_) {
    const auto resize = channels_ == 1 ? ippiResizeLinear_8u_C1R : ippiResizeLinear_8u_C3R;
    status = resize(src, src_step, dst, dst_step, offset, dst_, ippBorderRepl, nullptr,
                    spec_.get(), buffer_.get());
  } else {
    const auto resize = channels_ == 1 ? ippiResizeSuper_8u_C1R : ippiResizeSuper_8u_C3R;
    status = resize(src, src_step, dst, dst_step, offset, dst_, spec_.get(), buffer_.get());
  }
  if (status != ippStsNoErr) return layer_error("the resize", status);
  return {};
}

void ResizePlan::run_with(const detail::Kernels& kernels, const uint8_t* src, int src_step,
                          uint8_t* dst, int dst_step, bool ratio_paths) const noexcept {
  detail::resample_image(kernels, spec_.get(), src, src_step, dst, dst_step, buffer_.get(),
                         channels_, ratio_paths);
}

}  // namespace qarvel
