// Whole files: reading one into memory, writing bytes into one.
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "core.h"

namespace qarvel {
namespace {

std::string with_errno(const std::string& what, const char* path, int err) {
  return what + " " + path + ": " + strerror(err);
}

uint8_t* bytes_of(Blob& blob) { return blob.data.get(); }
uint8_t* bytes_of(PrivateBlob& blob) { return blob.data.data(); }

// The whole file in a buffer from `allocate`, which makes an empty T for a
// size it cannot hold.
template <class T, class Allocate>
Result<T> read_whole(const char* path, Allocate allocate) noexcept {
  if (!path) return Error{Fault::kArgument, "no file name"};
  File file(fopen(path, "rb"));
  if (!file) return Error{Fault::kOpen, with_errno("cannot open", path, errno)};
  fseek(file.get(), 0, SEEK_END);
  const long end = ftell(file.get());
  // A pipe has no size to learn.
  if (end < 0) return Error{Fault::kSize, with_errno("cannot measure", path, errno)};
  // TurboJPEG's allocator takes an int; a directory's end position also lands here.
  if (end > INT_MAX) return Error{Fault::kTooLarge, std::string(path) + " is too large to read"};
  T blob = allocate(static_cast<size_t>(end));
  if (!blob.data) return Error{Fault::kAlloc, std::string("out of memory reading ") + path};
  fseek(file.get(), 0, SEEK_SET);
  // A file that shrank since its size was read leaves bytes unread.
  if (fread(bytes_of(blob), 1, blob.size, file.get()) != blob.size)
    return Error{Fault::kRead, std::string("cannot read all of ") + path};
  return blob;
}

}  // namespace

Result<Blob> read_file(const char* path) noexcept {
  return read_whole<Blob>(path, [](size_t size) {
    return Blob{TjBuffer(tjAlloc(static_cast<int>(size))), size};
  });
}

Result<PrivateBlob> read_file_private(const char* path) noexcept {
  return read_whole<PrivateBlob>(path, [](size_t size) {
    return PrivateBlob{PixelBuffer::allocate(size, Storage::kPrivate), size};
  });
}

Status write_file(const char* path, ByteView bytes) noexcept {
  if (!path) return Error{Fault::kArgument, "no file name"};
  FILE* file = fopen(path, "wb");
  if (!file) return Error{Fault::kOpen, with_errno("cannot create", path, errno)};
  const size_t written = fwrite(bytes.data(), 1, bytes.size(), file);
  const int write_errno = errno;
  // The close flushes the last buffered bytes, so it can fail too (a full disk).
  if (fclose(file) != 0) return Error{Fault::kWrite, with_errno("cannot write", path, errno)};
  if (written != bytes.size()) return Error{Fault::kWrite, with_errno("cannot write", path, write_errno)};
  return {};
}

}  // namespace qarvel
