// Internal: the strategy driver, which picks a pass order for a resize and
// runs a kernel table over the rows, and the work buffer it needs.
#ifndef QARVEL_RESAMPLE_DRIVER_H
#define QARVEL_RESAMPLE_DRIVER_H

#include <cstdint>

#include "resample/resample.h"
#include "resample/tables.h"

namespace qarvel::detail {

// Bytes of work buffer a resize with this header needs, for one channel or
// three alike, so a buffer sized for either serves both.
int64_t work_bytes(const SpecHeader& h);

// Resizes `channels` (1 or 3) interleaved channels with an explicit kernel
// table, without checks: the specification is initialised, the buffer holds
// work_bytes and the steps hold a row. ratio_paths = false sends exact 2:1
// and 2x ratios through the general two passes too, so tests can compare
// the shortcuts with them.
void resample_image(const Kernels& kernels, const IppiResizeSpec_32f* spec, const Ipp8u* src,
                    int src_step, Ipp8u* dst, int dst_step, Ipp8u* buffer, int channels,
                    bool ratio_paths = true);

}  // namespace qarvel::detail

#endif
