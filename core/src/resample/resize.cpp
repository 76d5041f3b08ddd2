// Resizing: the resample call that drives the IPP-style resize layer in its
// fixed order, and the aspect-preserving height of a resize.
#include <climits>
#include <cstdint>
#include <string>

#include "core.h"
#include "resample/ipp_layer.h"

namespace qarvel {
namespace {

Error layer_error(const char* step, IppStatus status) {
  return Error{Fault::kResample, std::string("cannot resample: ") + step + " returned status " +
                                     std::to_string(status)};
}

}  // namespace

// Sizes, steps and pointers go to the layer unchecked; any non-zero status,
// warnings included, is a failure.
Status resample(const uint8_t* src, int src_width, int src_height, int src_step, uint8_t* dst,
                int dst_width, int dst_height, int dst_step) noexcept {
  const IppiSize src_size = {src_width, src_height};
  const IppiSize dst_size = {dst_width, dst_height};
  int spec_size = 0;
  int init_size = 0;
  // The query always says linear; its size also fits a super-sampling spec.
  IppStatus status =
      ippiResizeGetSize_8u(src_size, dst_size, ippLinear, 0xFFFFFFFFu, &spec_size, &init_size);
  if (status != ippStsNoErr) return layer_error("the size query", status);

  // Allocated as a count of floats: four times the bytes asked for.
  IppBuffer<IppiResizeSpec_32f> spec(reinterpret_cast<IppiResizeSpec_32f*>(ippsMalloc_32f(spec_size)));
  if (!spec) return Error{Fault::kAlloc, "out of memory for the resize tables"};

  const bool linear = src_width < dst_width || src_height < dst_height;
  status = linear ? ippiResizeLinearInit_8u(src_size, dst_size, spec.get())
                  : ippiResizeSuperInit_8u(src_size, dst_size, spec.get());
  if (status != ippStsNoErr) return layer_error("the initialisation", status);
  int buffer_size = 0;
  status = ippiResizeGetBufferSize_8u(spec.get(), dst_size, 3, &buffer_size);
  if (status != ippStsNoErr) return layer_error("the buffer query", status);
  IppBuffer<Ipp8u> buffer(ippsMalloc_8u(buffer_size));
  if (!buffer) return Error{Fault::kAlloc, "out of memory for the resize buffer"};

  const IppiPoint offset = {0, 0};
  status = linear ? ippiResizeLinear_8u_C3R(src, src_step, dst, dst_step, offset, dst_size,
                                            ippBorderRepl, nullptr, spec.get(), buffer.get())
                  : ippiResizeSuper_8u_C3R(src, src_step, dst, dst_step, offset, dst_size,
                                           spec.get(), buffer.get());
  if (status != ippStsNoErr) return layer_error("the resize", status);
  return {};
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
