// Internal: owning handle for TurboJPEG compressors and decompressors.
#ifndef QARVEL_TJ_HANDLE_H
#define QARVEL_TJ_HANDLE_H

#include <memory>

#include <turbojpeg.h>

namespace qarvel::detail {

struct TjDestroy {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDestroy>;

// tjPixelSize has one entry per TurboJPEG pixel format.
inline bool is_tj_pixel_format(int clr_format) { return clr_format >= 0 && clr_format < TJ_NUMPF; }

}  // namespace qarvel::detail

#endif
