// Whole files: reading one into memory without waiting on anything that is
// not a file, writing bytes into one, and replacing one through a temporary
// file and a rename, with the temporaries removed on an interrupt or, after
// a kill, by a later run.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core.h"

namespace qarvel {
namespace {

std::string with_errno(const std::string& what, const std::string& path, int err) {
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

// The refusal of what is not a regular file. The faults are those the
// exports have always reported for these: a directory's end position reads
// as too large, a FIFO cannot be measured.
Error not_a_file(const char* path, mode_t mode) {
  if (S_ISDIR(mode)) return Error{Fault::kTooLarge, std::string(path) + " is a directory"};
  return Error{Fault::kSize, std::string(path) + " is not a regular file"};
}

// Reads all of `fd`, measured by seeking to its end.
Result<Blob> read_measured(int fd, const char* path) {
  const off_t end = lseek(fd, 0, SEEK_END);
  // A terminal has no size to learn.
  if (end < 0) return Error{Fault::kSize, with_errno("cannot measure", path, errno)};
  // TurboJPEG's allocator takes an int.
  if (end > INT_MAX) return Error{Fault::kTooLarge, std::string(path) + " is too large to read"};
  // TurboJPEG's allocator, with huge-page advice where the block has a
  // mapping of its own (a large file read by a fresh process).
  Blob blob{TjBuffer(PixelBuffer::allocate(static_cast<size_t>(end), Storage::kHost).release()),
            static_cast<size_t>(end)};
  if (!blob.data) return Error{Fault::kAlloc, std::string("out of memory reading ") + path};
  if (lseek(fd, 0, SEEK_SET) != 0)
    return Error{Fault::kRead, with_errno("cannot read", path, errno)};
  for (size_t got = 0; got < blob.size;) {
    const ssize_t n = read(fd, blob.data.get() + got, blob.size - got);
    if (n < 0 && errno == EINTR) continue;
    // A file that shrank since its size was read leaves bytes unread.
    if (n <= 0) return Error{Fault::kRead, std::string("cannot read all of ") + path};
    got += static_cast<size_t>(n);
  }
  return blob;
}

Result<Blob> read_path(const char* path, bool regular_only) {
  if (!path) return Error{Fault::kArgument, "no file name"};
  struct stat st;
  // Refused before the open, which can have effects of its own on a device.
  if (regular_only && stat(path, &st) == 0 && !S_ISREG(st.st_mode))
    return not_a_file(path, st.st_mode);
  // Non-blocking, so that opening a FIFO without a writer returns at once.
  FileDescriptor fd(open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) return Error{Fault::kOpen, with_errno("cannot open", path, errno)};
  if (fstat(fd.get(), &st) != 0)
    return Error{Fault::kSize, with_errno("cannot measure", path, errno)};
  if (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) ||
      (regular_only && !S_ISREG(st.st_mode)))
    return not_a_file(path, st.st_mode);
  // A device is read as before, waiting for its data.
  const int flags = fcntl(fd.get(), F_GETFL);
  if (flags != -1) fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
  return read_measured(fd.get(), path);
}

// Temporary files are named ".NAME.qarvel-XXXXXX" beside their target NAME.
constexpr char kTemporaryTag[] = ".qarvel-";
constexpr size_t kRandomChars = 6;  // mkstemp's XXXXXX

// Everything of a temporary name for `path` but its random end: the folder,
// a dot, the last component and the tag. The component is cut, at a UTF-8
// character boundary, so that the whole name fits NAME_MAX.
std::string temporary_prefix(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  constexpr size_t kRoom = NAME_MAX - 1 - (sizeof kTemporaryTag - 1) - kRandomChars;
  size_t keep = path.size() - start;
  if (keep > kRoom) {
    keep = kRoom;
    while (keep > 0 && (static_cast<unsigned char>(path[start + keep]) & 0xC0) == 0x80) --keep;
  }
  return path.substr(0, start) + "." + path.substr(start, keep) + kTemporaryTag;
}

// The names of the temporary files being written, for the interrupt handler
// to remove. Only a free slot is ever written, and the handler claims a slot
// before reading its name, so it never reads a name being changed; an owner
// that finds its slot claimed leaves it, as the process is ending.
enum SlotState : int { kFree, kFilling, kLive, kClaimed };
struct Slot {
  std::atomic<int> state{kFree};
  char name[PATH_MAX];
};
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs lock-free slots");
constexpr int kSlots = 64;
Slot g_slots[kSlots];

// The slot holding `name`, or -1 when all are taken (that temporary is then
// left to a later run's clean-up).
int register_temporary(const std::string& name) {
  if (name.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (g_slots[i].state.compare_exchange_strong(expected, kFilling)) {
      memcpy(g_slots[i].name, name.c_str(), name.size() + 1);
      g_slots[i].state.store(kLive);
      return i;
    }
  }
  return -1;
}

void unregister_temporary(int slot) {
  int expected = kLive;
  if (slot >= 0) g_slots[slot].state.compare_exchange_strong(expected, kFree);
}

// Async-signal-safe: atomics, unlink and raise only.
void remove_temporaries_and_end(int sig) {
  const int saved = errno;
  for (Slot& slot : g_slots) {
    int expected = kLive;
    if (slot.state.compare_exchange_strong(expected, kClaimed)) unlink(slot.name);
  }
  // SA_RESETHAND restored the default action, which ends the process once
  // the handler returns and the signal is unblocked.
  raise(sig);
  errno = saved;
}

// Creates a temporary file beside `target` and takes an exclusive flock on
// it, which lives as long as the process and tells a later run that the
// file is not stale.
Status create_locked(const std::string& target, std::string* name, FileDescriptor* fd) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::string made = temporary_prefix(target) + "XXXXXX";
    FileDescriptor file(mkostemp(made.data(), O_CLOEXEC));
    if (!file)
      return Error{Fault::kOpen, with_errno("cannot create a temporary file for", target, errno)};
    // A file system without flock gets unlocked temporaries, which no
    // clean-up there can lock, so none is ever taken for stale.
    const bool taken = flock(file.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    // A clean-up may have locked and removed it between creation and lock.
    struct stat st;
    if (!taken && fstat(file.get(), &st) == 0 && st.st_nlink > 0) {
      *name = std::move(made);
      *fd = std::move(file);
      return {};
    }
  }
  return Error{Fault::kOpen,
               "cannot create a temporary file for " + target + ": removed by another run"};
}

// Writes `bytes` to a new temporary file beside `target`, gives it `mode`
// (and, when `owner` is given, that file's owner and group) and renames it
// over `target`. Fails with kOpen when `target` is untouched because no
// temporary could be made, owned or renamed, with kWrite when the write or
// the close fails. The temporary never outlives a failure.
Status write_via_temporary(const std::string& target, ByteView bytes, mode_t mode,
                           const struct stat* owner) {
  std::string name;
  FileDescriptor fd;
  if (Status s = create_locked(target, &name, &fd); !s) return s;
  const int slot = register_temporary(name);
  // The duplicate holds the lock once the writing descriptor is closed.
  const FileDescriptor lock(fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  Status result;
  struct stat made;
  int err = 0;
  if (owner && fstat(fd.get(), &made) == 0 &&
      (made.st_uid != owner->st_uid || made.st_gid != owner->st_gid) &&
      fchown(fd.get(), owner->st_uid, owner->st_gid) != 0)
    result =
        Error{Fault::kOpen, with_errno("cannot give a temporary file the owner of", target, errno)};
  // Stale temporaries keep mkstemp's 0600, which a later run can open.
  else if (!write_all(fd.get(), bytes) || fchmod(fd.get(), mode) != 0)
    err = errno;
  // The close reports delayed write errors (NFS, quotas), so it counts too.
  if (close(fd.release()) != 0 && !err) err = errno;
  if (result && err) result = Error{Fault::kWrite, with_errno("cannot write", target, err)};
  if (result && rename(name.c_str(), target.c_str()) != 0)
    result = Error{Fault::kOpen, with_errno("cannot rename a temporary file over", target, errno)};
  if (!result) unlink(name.c_str());
  unregister_temporary(slot);
  return result;
}

// The file a write to `path` lands in, when it is an existing regular file
// the caller may write: `path` itself or, through a symbolic link, the file
// it names, whose status goes to *st.
bool replaceable(const char* path, std::string* target, struct stat* st) {
  if (lstat(path, st) != 0) return false;
  *target = path;
  if (S_ISLNK(st->st_mode)) {
    char* real = realpath(path, nullptr);
    if (!real) return false;
    *target = real;
    free(real);
    if (stat(target->c_str(), st) != 0) return false;
  }
  // A file the in-place open would refuse goes there, to fail as it always has.
  return S_ISREG(st->st_mode) && faccessat(AT_FDCWD, target->c_str(), W_OK, AT_EACCESS) == 0;
}

Status write_in_place(const char* path, ByteView bytes) {
  FILE* file = fopen(path, "wb");
  if (!file) return Error{Fault::kOpen, with_errno("cannot create", path, errno)};
  const size_t written = fwrite(bytes.data(), 1, bytes.size(), file);
  const int write_errno = errno;
  // The close flushes the last buffered bytes, so it can fail too (a full disk).
  if (fclose(file) != 0) return Error{Fault::kWrite, with_errno("cannot write", path, errno)};
  if (written != bytes.size()) return Error{Fault::kWrite, with_errno("cannot write", path, write_errno)};
  return {};
}

bool is_random_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Removes the entry `name` of `dir` when it is a regular file of this user
// that no live writer holds locked.
bool remove_if_stale(int dir, const char* name) {
  FileDescriptor fd(openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd) fd.reset(openat(dir, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat st, now;
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      flock(fd.get(), LOCK_EX | LOCK_NB) != 0)
    return false;
  // Still the file that was locked, not one made under that name since.
  if (fstatat(dir, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || now.st_ino != st.st_ino ||
      now.st_dev != st.st_dev)
    return false;
  return unlinkat(dir, name, 0) == 0;
}

}  // namespace

Result<Blob> read_file(const char* path) noexcept { return read_path(path, false); }

Result<Blob> read_regular_file(const char* path) noexcept { return read_path(path, true); }

Status write_file(const char* path, ByteView bytes) noexcept {
  if (!path) return Error{Fault::kArgument, "no file name"};
  std::string target;
  struct stat st;
  if (replaceable(path, &target, &st)) {
    // Other hard links keep the old contents: a rename gives this name a new file.
    Status s = write_via_temporary(target, bytes, st.st_mode & 0777, &st);
    if (s || s.error().fault != Fault::kOpen) return s;
  }
  return write_in_place(path, bytes);
}

Status replace_file(const char* path, ByteView bytes) noexcept {
  if (!path || !*path) return Error{Fault::kArgument, "no file name"};
  // mkstemp makes 0600; a replaced file keeps its mode, a new one gets the usual one.
  struct stat old;
  const mode_t mode =
      stat(path, &old) == 0 && S_ISREG(old.st_mode) ? old.st_mode & 0777 : 0666 & ~process_umask();
  return write_via_temporary(path, bytes, mode, nullptr);
}

void install_interrupt_cleanup() noexcept {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    // Only where the default action would end the process: an ignored
    // signal (nohup, a background job) and a host's own handler stay.
    struct sigaction old;
    if (sigaction(sig, nullptr, &old) != 0 || (old.sa_flags & SA_SIGINFO) ||
        old.sa_handler != SIG_DFL)
      continue;
    struct sigaction act {};
    act.sa_handler = remove_temporaries_and_end;
    sigemptyset(&act.sa_mask);
    act.sa_flags = SA_RESETHAND;
    sigaction(sig, &act, nullptr);
  }
}

Result<int> remove_stale_temporaries(std::span<const std::string> paths) noexcept {
  // Each folder is listed once, its entries matched against the prefixes of
  // the outputs in it.
  std::map<std::string, std::unordered_set<std::string>> folders;
  for (const std::string& path : paths) {
    if (path.empty()) continue;
    const std::string prefix = temporary_prefix(path);
    const size_t slash = prefix.rfind('/');
    if (slash == std::string::npos)
      folders["."].insert(prefix);
    else
      folders[prefix.substr(0, slash + 1)].insert(prefix.substr(slash + 1));
  }
  int removed = 0;
  std::optional<Error> failure;
  for (const auto& [folder, prefixes] : folders) {
    Directory dir(opendir(folder.c_str()));
    if (!dir) {
      if (errno != ENOENT && !failure)
        failure = Error{Fault::kOpen, with_errno("cannot list", folder, errno)};
      continue;
    }
    while (const dirent* entry = readdir(dir.get())) {
      const std::string_view name = entry->d_name;
      if (name.size() <= kRandomChars) continue;
      const std::string_view prefix = name.substr(0, name.size() - kRandomChars);
      bool random = true;
      for (char c : name.substr(prefix.size())) random = random && is_random_char(c);
      if (random && prefixes.count(std::string(prefix)) &&
          remove_if_stale(dirfd(dir.get()), entry->d_name))
        ++removed;
    }
  }
  if (failure) return *failure;
  return removed;
}

Result<int> remove_stale_temporaries(const char* path) noexcept {
  if (!path || !*path) return Error{Fault::kArgument, "no file name"};
  const std::string one[] = {path};
  return remove_stale_temporaries(one);
}

}  // namespace qarvel
