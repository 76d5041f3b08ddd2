// Resizing: ipp_resize drives the IPP-style resize calls in their fixed order;
// qresize chains file reading, resizing and file writing.
#include <sys/time.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <turbojpeg.h>

#include "elapsed.h"
#include "huge_pages.h"
#include "ipp_layer.h"
#include "qarvel/qarvel.h"

using qarvel::detail::advise_huge_pages;
using qarvel::detail::elapsed_ms;
using qarvel::detail::kHugePage;

namespace {

struct FreeDeleter {
  void operator()(unsigned char* p) const { free(p); }
};

}  // namespace

// Sizes, steps and pointers go to the layer unchecked; any non-zero status,
// warnings included, is a silent failure.
int ipp_resize(unsigned char* src, int src_width, int src_height, int src_step,
               unsigned char* dst, int dst_width, int dst_height, int dst_step) {
  timeval start;
  gettimeofday(&start, nullptr);

  const IppiSize src_size = {src_width, src_height};
  const IppiSize dst_size = {dst_width, dst_height};
  int spec_size = 0;
  int init_size = 0;
  int buffer_size = 0;
  // The query always says linear; its size also fits a super-sampling spec.
  if (ippiResizeGetSize_8u(src_size, dst_size, ippLinear, 0xFFFFFFFFu, &spec_size, &init_size) !=
      ippStsNoErr)
    return -1;

  // Allocated as a count of floats: four times the bytes asked for.
  auto* spec = reinterpret_cast<IppiResizeSpec_32f*>(ippsMalloc_32f(spec_size));
  if (!spec) return -1;

  const bool linear = src_width < dst_width || src_height < dst_height;
  IppStatus status = linear ? ippiResizeLinearInit_8u(src_size, dst_size, spec)
                            : ippiResizeSuperInit_8u(src_size, dst_size, spec);
  if (status != ippStsNoErr) {
    ippsFree(spec);
    return -1;
  }
  if (ippiResizeGetBufferSize_8u(spec, dst_size, 3, &buffer_size) != ippStsNoErr) {
    ippsFree(spec);
    return -1;
  }
  Ipp8u* buffer = ippsMalloc_8u(buffer_size);
  if (!buffer) {
    ippsFree(spec);
    return -1;
  }

  const IppiPoint offset = {0, 0};
  if (linear)
    status = ippiResizeLinear_8u_C3R(src, src_step, dst, dst_step, offset, dst_size,
                                     ippBorderRepl, nullptr, spec, buffer);
  else
    status = ippiResizeSuper_8u_C3R(src, src_step, dst, dst_step, offset, dst_size, spec, buffer);
  ippsFree(spec);
  ippsFree(buffer);
  if (status != ippStsNoErr) return -1;

  timeval end;
  gettimeofday(&end, nullptr);
  printf("ipp_resize time---------->%f ms\n", elapsed_ms(start, end));
  return 0;
}

int qresize(const char* infile_path_name, int dst_width, int dst_height,
            const char* outfile_path_name) {
  if (!infile_path_name || !outfile_path_name) {
    puts("infile_path_name or outfile_path_name is null");
    return -1;
  }
  if (dst_width <= 0 || dst_height < 0) {
    printf("dst_width(%d) <= 0 or dst_height(%d) < 0", dst_width, dst_height);
    return -1;
  }
  timeval start{};
  gettimeofday(&start, nullptr);

  unsigned char* src = nullptr;
  int src_width = 0, src_height = 0, src_pitch = 0;
  if (qimread(infile_path_name, &src, &src_width, &src_height, &src_pitch, TJPF_BGR) == -1) {
    puts("[qresize] qimread error!");
    return -1;
  }
  if (dst_height == 0) {
    // The aspect-preserving height is formed in single precision on purpose:
    // callers rely on the exact heights it gives.
    int64_t product = int64_t{dst_width} * src_height;
    if (product > INT_MAX) {
      qFree(src);
      puts("[qresize] dst_width x source height is too large!");
      return -1;
    }
    float ratio = static_cast<float>(product) / static_cast<float>(src_width);
    dst_height = static_cast<int>(static_cast<double>(ratio) + 0.5);
  }
  printf("begin resize (%dx%d)----->(%dx%d)...\n", src_width, src_height, dst_width, dst_height);

  // Sizes are formed in 64 bits so that a wrapped int never reaches the allocator.
  const int64_t dst_step = int64_t{dst_width} * 3;
  const int64_t dst_bytes = dst_step * dst_height;
  if (dst_step > INT_MAX || dst_bytes > INT_MAX) {
    qFree(src);
    puts("[qresize] destination image is too large!");
    return -1;
  }
  // Aligned so that the whole destination can take huge pages; at least one
  // byte, so an empty image still gets a pointer and fails in the resampler.
  void* dst_memory = nullptr;
  if (posix_memalign(&dst_memory, kHugePage, static_cast<size_t>(std::max<int64_t>(dst_bytes, 1))) != 0)
    dst_memory = nullptr;
  std::unique_ptr<unsigned char, FreeDeleter> dst(static_cast<unsigned char*>(dst_memory));
  if (!dst) {
    qFree(src);
    puts("[qresize] destination alloc error!");
    return -1;
  }
  advise_huge_pages(dst.get(), static_cast<size_t>(dst_bytes));
  int rc = ipp_resize(src, src_width, src_height, src_pitch, dst.get(), dst_width, dst_height,
                      static_cast<int>(dst_step));
  // The source is not needed past this point; freeing it now halves the
  // pixels held while the result is encoded.
  qFree(src);
  if (rc == -1) {
    puts("[qresize] ipp_resize error!");
    return -1;
  }
  printf("resize (%dx%d)----->(%dx%d)... done!\n", src_width, src_height, dst_width, dst_height);

  if (qimwrite(outfile_path_name, dst.get(), dst_width, dst_height, static_cast<int>(dst_step),
               TJPF_BGR) == -1) {
    puts("[qresize] qimwrite error!");
    return -1;
  }
  dst.reset();
  printf("%s write done!\n", outfile_path_name);

  timeval end{};
  gettimeofday(&end, nullptr);
  printf("total time---------->%f ms\n", elapsed_ms(start, end));
  return 0;
}
