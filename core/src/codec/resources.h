// Internal: the owning types of the core. Every handle, file and buffer a
// call acquires is held by one of these, so each path out releases it.
#ifndef QARVEL_RESOURCES_H
#define QARVEL_RESOURCES_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

#include <dirent.h>
#include <turbojpeg.h>
#include <unistd.h>

namespace qarvel {

struct TjDestroy {
  void operator()(void* handle) const noexcept { tjDestroy(handle); }
};
// A TurboJPEG compressor or decompressor.
using TjHandle = std::unique_ptr<void, TjDestroy>;

struct TjFree {
  void operator()(unsigned char* p) const noexcept { tjFree(p); }
};
// Bytes from TurboJPEG's allocator; release() hands them to a host, which
// frees them with qFree.
using TjBuffer = std::unique_ptr<unsigned char, TjFree>;

struct FileClose {
  void operator()(FILE* f) const noexcept { fclose(f); }
};
// A stdio file opened for reading; writers close theirs explicitly, since
// the close can fail.
using File = std::unique_ptr<FILE, FileClose>;

// A POSIX file descriptor, closed on destruction; writers close theirs
// explicitly through release(), since the close can fail.
class FileDescriptor {
 public:
  FileDescriptor() noexcept = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    reset(other.release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }

  int get() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

struct DirClose {
  void operator()(DIR* d) const noexcept { closedir(d); }
};
// An open directory listing.
using Directory = std::unique_ptr<DIR, DirClose>;

// Who releases a pixel buffer.
enum class Storage {
  kHost,     // TurboJPEG's allocator: the buffer can be handed to a host
  kPrivate,  // released by the core; large ones get a mapping of their own
};

// Memory for pixels. Fresh 4 KiB pages cost a fair share of a large image's
// time to fault in, so large buffers take transparent huge pages, but only
// where the advice leaves with the buffer: a private buffer of 2 MiB or more
// is a mapping of its own, 2 MiB-aligned, unmapped on release; a host buffer
// is advised only when the allocator gave it a mapping of its own, which
// free() unmaps. Advice on memory the heap reuses would outlive the buffer.
class PixelBuffer {
 public:
  PixelBuffer() noexcept = default;
  // `bytes` of uninitialised memory; an empty buffer when none is available
  // (or, for host storage, past the 2^31 - 1 bytes TurboJPEG's allocator takes).
  static PixelBuffer allocate(size_t bytes, Storage storage) noexcept;

  PixelBuffer(PixelBuffer&& other) noexcept { *this = std::move(other); }
  PixelBuffer& operator=(PixelBuffer&& other) noexcept;
  PixelBuffer(const PixelBuffer&) = delete;
  PixelBuffer& operator=(const PixelBuffer&) = delete;
  ~PixelBuffer() { reset(); }

  uint8_t* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  explicit operator bool() const noexcept { return data_ != nullptr; }
  void reset() noexcept;
  // Gives up a host buffer: the caller frees it with tjFree (qFree).
  unsigned char* release() noexcept;

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t mapped_ = 0;  // length of the buffer's own mapping; 0 for TurboJPEG's allocator
};

}  // namespace qarvel

#endif
