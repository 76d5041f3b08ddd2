// Whole files: reading one into memory, writing bytes into one, and
// replacing one through a temporary file and a rename.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "core.h"

namespace qarvel {
namespace {

std::string with_errno(const std::string& what, const char* path, int err) {
  return what + " " + path + ": " + strerror(err);
}

// The process's umask from /proc/self/status, read once: umask() itself
// would have to change it to read it, racing other threads. 022 when the
// line is missing.
mode_t process_umask() {
  static const mode_t mask = [] {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
      if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(strtoul(line.c_str() + 6, nullptr, 8));
    return static_cast<mode_t>(022);
  }();
  return mask;
}

// Writes all of `bytes`, retrying short writes; false with errno set on failure.
bool write_all(int fd, ByteView bytes) {
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    const ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
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

Status replace_file(const char* path, ByteView bytes) noexcept {
  if (!path || !*path) return Error{Fault::kArgument, "no file name"};
  // A hidden name beside the destination, so the rename stays on one file system.
  const std::string target(path);
  const size_t slash = target.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string temp = folder + "." + base + ".XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return Error{Fault::kOpen, with_errno("cannot create a temporary file for", path, errno)};

  // mkstemp makes 0600; a replaced file keeps its mode, a new one gets the usual one.
  struct stat old;
  const mode_t mode = stat(path, &old) == 0 && S_ISREG(old.st_mode) ? old.st_mode & 07777
                                                                      : 0666 & ~process_umask();
  int err = 0;
  if (fchmod(fd, mode) != 0) err = errno;
  if (!err && !write_all(fd, bytes)) err = errno;
  // The close reports delayed write errors (NFS, quotas), so it counts too.
  if (close(fd) != 0 && !err) err = errno;
  if (!err && rename(temp.c_str(), path) != 0) err = errno;
  if (err) {
    unlink(temp.c_str());
    return Error{Fault::kWrite, with_errno("cannot write", path, err)};
  }
  return {};
}

}  // namespace qarvel
