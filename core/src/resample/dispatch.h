// Internal: the kernel tables this processor can run.
#ifndef QARVEL_RESAMPLE_DISPATCH_H
#define QARVEL_RESAMPLE_DISPATCH_H

#include <vector>

#include "resample/resample.h"

namespace qarvel::detail {

// Every kernel table this processor can run, scalar first and the fastest
// last; the processor is queried once.
const std::vector<const Kernels*>& all_kernels();
// The last of all_kernels(), the table the layer's resize functions use.
const Kernels& best_kernels();

}  // namespace qarvel::detail

#endif
