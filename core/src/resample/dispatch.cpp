// CPU dispatch: the kernel tables chosen once from what the processor reports.
#include "resample/dispatch.h"

namespace qarvel::detail {

const std::vector<const Kernels*>& all_kernels() {
  static const std::vector<const Kernels*> tables = [] {
    std::vector<const Kernels*> v{&scalar_kernels()};
    __builtin_cpu_init();
    if (__builtin_cpu_supports("sse4.1")) v.push_back(&sse41_kernels());
    const bool avx2 = __builtin_cpu_supports("avx2");
    if (avx2) v.push_back(&avx2_kernels());
    // The AVX-512 tables borrow AVX2 kernels for the shapes they leave out.
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512bw");
    if (avx512) v.push_back(&avx512_kernels());
    if (avx512 && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi") &&
        __builtin_cpu_supports("avx512vnni"))
      v.push_back(&avx512vbmi_kernels());
    return v;
  }();
  return tables;
}

const Kernels& best_kernels() { return *all_kernels().back(); }

}  // namespace qarvel::detail
