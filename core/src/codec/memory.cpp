// Pixel memory: private buffers on mappings of their own, host buffers from
// TurboJPEG's allocator, and transparent huge pages where they cannot outlive
// the buffer.
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <mutex>

#include "codec/resources.h"
#include "core.h"

namespace qarvel {
namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// AddressSanitizer checks heap blocks to the byte but a mapping only to the
// page, so instrumented builds keep every buffer on the heap.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMapPrivateBuffers = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMapPrivateBuffers = false;
#else
constexpr bool kMapPrivateBuffers = true;
#endif
#else
constexpr bool kMapPrivateBuffers = true;
#endif

size_t page_size() {
  static const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

size_t round_up(size_t v, size_t to) { return (v + to - 1) / to * to; }

// Maps `length` bytes at a 2 MiB boundary and advises them for huge pages.
// Over-maps by one huge page, then returns the unaligned head and tail.
uint8_t* map_aligned(size_t length) {
  void* raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto base = reinterpret_cast<uintptr_t>(raw);
  const uintptr_t start = round_up(base, kHugePage);
  if (start > base) munmap(raw, start - base);
  const uintptr_t end = base + length + kHugePage;
  if (end > start + length) munmap(reinterpret_cast<void*>(start + length), end - start - length);
  // Advice only: without THP support nothing changes.
  madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
  return reinterpret_cast<uint8_t*>(start);
}

// True when glibc's malloc gave the block a mapping of its own (blocks past
// its mapping threshold), which free() unmaps. Such a block starts 16 bytes
// into its first page and its usable size ends 16 bytes short of a page
// boundary; a block carved from the heap always reports a usable size of 8
// more than a multiple of 16, and other allocators do not place blocks so.
bool own_mapping(const void* p, size_t bytes) {
  const size_t usable = malloc_usable_size(const_cast<void*>(p));
  return reinterpret_cast<uintptr_t>(p) % page_size() == 16 && usable >= bytes &&
         (usable + 16) % page_size() == 0;
}

// Advises the whole huge pages inside [p, p + bytes).
void advise_interior(void* p, size_t bytes) {
  const uintptr_t begin = round_up(reinterpret_cast<uintptr_t>(p), kHugePage);
  const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(kHugePage - 1);
  if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace

PixelBuffer PixelBuffer::allocate(size_t bytes, Storage storage) noexcept {
  PixelBuffer b;
  if (storage == Storage::kPrivate && kMapPrivateBuffers && bytes >= kHugePage) {
    // Whole huge pages: a partial last one would fault in 4 KiB at a time,
    // which costs more than the rest of the buffer together on some hosts.
    const size_t length = round_up(bytes, kHugePage);
    b.data_ = length >= bytes ? map_aligned(length) : nullptr;
    if (b.data_) {
      b.size_ = bytes;
      b.mapped_ = length;
    }
    return b;
  }
  if (bytes > INT_MAX) return b;
  b.data_ = tjAlloc(static_cast<int>(bytes));
  if (!b.data_) return b;
  b.size_ = bytes;
  if (bytes >= kHugePage && own_mapping(b.data_, bytes)) advise_interior(b.data_, bytes);
  return b;
}

PixelBuffer& PixelBuffer::operator=(PixelBuffer&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = other.data_;
    size_ = other.size_;
    mapped_ = other.mapped_;
    other.data_ = nullptr;
    other.size_ = other.mapped_ = 0;
  }
  return *this;
}

void PixelBuffer::reset() noexcept {
  if (mapped_)
    munmap(data_, mapped_);
  else if (data_)
    tjFree(data_);
  data_ = nullptr;
  size_ = mapped_ = 0;
}

unsigned char* PixelBuffer::release() noexcept {
  if (mapped_) return nullptr;
  unsigned char* p = data_;
  data_ = nullptr;
  size_ = 0;
  return p;
}

}  // namespace qarvel

namespace qarvel {
namespace {

std::mutex heap_mutex;
int heap_holders = 0;

// glibc pins its thresholds when either variable is set, as Dask does for
// its workers; otherwise it raises them by itself after the first large free.
bool thresholds_pinned() {
  return getenv("MALLOC_TRIM_THRESHOLD_") || getenv("MALLOC_MMAP_THRESHOLD_");
}

int threshold_from_environment(const char* name) {
  const char* v = getenv(name);
  long n = v ? strtol(v, nullptr, 10) : 0;
  return n > 0 && n <= INT_MAX ? static_cast<int>(n) : 128 << 10;
}

}  // namespace

HeapKept::HeapKept(bool always) noexcept : active_(always || thresholds_pinned()) {
  if (!active_) return;
  std::lock_guard<std::mutex> lock(heap_mutex);
  if (heap_holders++ == 0) {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
  }
}

HeapKept::~HeapKept() {
  if (!active_) return;
  std::lock_guard<std::mutex> lock(heap_mutex);
  if (--heap_holders == 0 && thresholds_pinned()) {
    mallopt(M_TRIM_THRESHOLD, threshold_from_environment("MALLOC_TRIM_THRESHOLD_"));
    mallopt(M_MMAP_THRESHOLD, threshold_from_environment("MALLOC_MMAP_THRESHOLD_"));
    malloc_trim(0);
  }
}

}  // namespace qarvel
