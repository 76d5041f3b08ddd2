// Internal: transparent huge pages for large pixel buffers.
#ifndef QARVEL_HUGE_PAGES_H
#define QARVEL_HUGE_PAGES_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

namespace qarvel::detail {

constexpr size_t kHugePage = size_t{2} << 20;

// Asks the kernel to back the 2 MiB-aligned interior of [p, p + bytes) with
// huge pages. A fresh 4 KiB page costs about as much to fault in as decoding
// a few thousand pixels, so large images otherwise spend a fair share of
// their time in page faults. Only whole huge pages inside the buffer are
// advised, so no memory outside it is ever committed. Advice only: failure
// (no THP support, ASan's allocator, ...) changes nothing.
inline void advise_huge_pages(void* p, size_t bytes) {
  const uintptr_t begin = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~(kHugePage - 1);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace qarvel::detail

#endif
