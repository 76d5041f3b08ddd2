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

}  // namespace

Result<Blob> read_file(const char* path) noexcept {
  if (!path) return Error{Fault::kArgument, "no file name"};
  File file(fopen(path, "rb"));
  if (!file) return Error{Fault::kOpen, with_errno("cannot open", path, errno)};
  fseek(file.get(), 0, SEEK_END);
  const long end = ftell(file.get());
  // A pipe has no size to learn.
  if (end < 0) return Error{Fault::kSize, with_errno("cannot measure", path, errno)};
  // TurboJPEG's allocator takes an int; a directory's end position also lands here.
  if (end > INT_MAX) return Error{Fault::kTooLarge, std::string(path) + " is too large to read"};
  // TurboJPEG's allocator, with huge-page advice where the block has a
  // mapping of its own (a large file read by a fresh process).
  Blob blob{TjBuffer(PixelBuffer::allocate(static_cast<size_t>(end), Storage::kHost).release()),
            static_cast<size_t>(end)};
  if (!blob.data) return Error{Fault::kAlloc, std::string("out of memory reading ") + path};
  fseek(file.get(), 0, SEEK_SET);
  // A file that shrank since its size was read leaves bytes unread.
  if (fread(blob.data.get(), 1, blob.size, file.get()) != blob.size)
    return Error{Fault::kRead, std::string("cannot read all of ") + path};
  return blob;
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
