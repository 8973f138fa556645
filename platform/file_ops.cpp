#include "platform/file_ops.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

namespace revurov::platform {

namespace {

// One read or write call moves at most this much; Linux moves no more than
// about 2 GiB per call anyway.
constexpr int64_t kMaxTransfer = int64_t(1) << 30;

constexpr uint32_t kKnownOpenFlags =
    static_cast<uint32_t>(TOpenFlags::ofWrite | TOpenFlags::ofReadWrite | TOpenFlags::ofCreate | TOpenFlags::ofExclusive |
                          TOpenFlags::ofTruncate | TOpenFlags::ofNonBlocking | TOpenFlags::ofLinksInside |
                          TOpenFlags::ofDataSync | TOpenFlags::ofNoFollow);

// Repeats a call that a signal interrupted; 0 or the error.
template <typename Call>
int Retry(Call call) {
  for (;;) {
    if (call() == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

int OpenFlagsFor(TOpenFlags flags, int& os_flags) {
  const bool write = HasFlag(flags, TOpenFlags::ofWrite);
  const bool read_write = HasFlag(flags, TOpenFlags::ofReadWrite);
  if ((static_cast<uint32_t>(flags) & ~kKnownOpenFlags) != 0 || (write && read_write)) return EINVAL;
  // POSIX leaves both combinations undefined; refuse them rather than guess.
  if (HasFlag(flags, TOpenFlags::ofExclusive) && !HasFlag(flags, TOpenFlags::ofCreate)) return EINVAL;
  if (HasFlag(flags, TOpenFlags::ofTruncate) && !write && !read_write) return EINVAL;
  if (HasFlag(flags, TOpenFlags::ofDataSync) && !write && !read_write) return EINVAL;
  os_flags = O_CLOEXEC | (read_write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
  if (HasFlag(flags, TOpenFlags::ofCreate)) os_flags |= O_CREAT;
  if (HasFlag(flags, TOpenFlags::ofExclusive)) os_flags |= O_EXCL;
  if (HasFlag(flags, TOpenFlags::ofTruncate)) os_flags |= O_TRUNC;
  if (HasFlag(flags, TOpenFlags::ofNonBlocking)) os_flags |= O_NONBLOCK;
  if (HasFlag(flags, TOpenFlags::ofDataSync)) os_flags |= O_DSYNC;
  if (HasFlag(flags, TOpenFlags::ofNoFollow)) os_flags |= O_NOFOLLOW;
  return 0;
}

// Moves count bytes in calls of at most kMaxTransfer; `step` is one read or
// write of (bytes done so far, bytes wanted) and returns what the OS call
// returns. Reads stop early at the end of the file.
template <typename Step>
int Transfer(int64_t count, int64_t& done, bool is_read, Step step) {
  done = 0;
  if (count < 0) return EINVAL;
  while (done < count) {
    const int64_t want = count - done < kMaxTransfer ? count - done : kMaxTransfer;
    const ssize_t n = step(done, static_cast<size_t>(want));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) {
      if (is_read) return 0;
      return EIO;  // a regular file never takes nothing; do not spin
    }
    done += n;
  }
  return 0;
}

void FillInfo(const struct stat& st, TFileInfo& info) {
  info.Kind = S_ISREG(st.st_mode) ? TFileKind::fkFile : S_ISDIR(st.st_mode) ? TFileKind::fkDirectory : TFileKind::fkOther;
  info.Size = static_cast<int64_t>(st.st_size);
  info.Permissions = static_cast<uint32_t>(st.st_mode & 07777);
}

int LockRange(int fd, short type, TFileLockWait wait, int64_t offset, int64_t length) {
  if (offset < 0 || length < 0) return EINVAL;
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  // Open-file-description locks: unlike classic POSIX record locks they
  // belong to the open, not the process, so two opens in one process
  // conflict and closing some other descriptor of the file does not drop them.
  const int cmd = wait == TFileLockWait::lwWait ? F_OFD_SETLKW : F_OFD_SETLK;
  const int err = Retry([&] { return ::fcntl(fd, cmd, &fl); });
  return err == EACCES ? EAGAIN : err;  // POSIX allows either for a conflict
}

// Gives an opened descriptor to the caller. Only a read-only open of a
// folder gets this far; it is no file to read.
int HandOver(int fd, int os_flags, TFileHandle& file) {
  if ((os_flags & O_ACCMODE) == O_RDONLY) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      return EISDIR;
    }
  }
  file = fd;
  return 0;
}

class TPosixFileOps final : public TFileOps {
public:
  int Open(const std::string& path, TOpenFlags flags, uint32_t permissions, TFileHandle& file) override {
    file = InvalidFileHandle;
    int os_flags = 0;
    if (const int err = OpenFlagsFor(flags, os_flags)) return err;
    int fd = -1;
    const int err = Retry([&] {
      fd = ::open(path.c_str(), os_flags, static_cast<mode_t>(permissions & 07777));
      return fd < 0 ? -1 : 0;
    });
    if (err != 0) return err;
    return HandOver(fd, os_flags, file);
  }

  int OpenBeneath(const std::string& folder, const std::string& name, TOpenFlags flags, TFileHandle& file) override {
    file = InvalidFileHandle;
    if (HasFlag(flags, TOpenFlags::ofCreate)) return EINVAL;
    int os_flags = 0;
    if (const int err = OpenFlagsFor(flags, os_flags)) return err;
    int dir = -1;
    if (const int err = Retry([&] {
          dir = ::open(folder.empty() ? "." : folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
          return dir < 0 ? -1 : 0;
        }))
      return err;
    open_how how{};
    how.flags = static_cast<uint64_t>(os_flags);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    if (!HasFlag(flags, TOpenFlags::ofLinksInside)) how.resolve |= RESOLVE_NO_SYMLINKS;
    int fd = -1;
    int err = Retry([&] {
      fd = static_cast<int>(::syscall(SYS_openat2, dir, name.c_str(), &how, sizeof how));
      return fd < 0 ? -1 : 0;
    });
    if (err == ENOSYS) {
      // Kernels before 5.6: a plain name opened without following a link
      // is as confined.
      if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
        err = EXDEV;
      } else {
        err = Retry([&] {
          fd = ::openat(dir, name.c_str(), os_flags | O_NOFOLLOW);
          return fd < 0 ? -1 : 0;
        });
      }
    }
    ::close(dir);
    if (err != 0) return err;
    return HandOver(fd, os_flags, file);
  }

  int Close(TFileHandle file) override {
    // Linux frees the descriptor even when close is interrupted, so a retry
    // could close a descriptor another thread has just been given.
    if (::close(file) == 0 || errno == EINTR) return 0;
    return errno;
  }

  int Read(TFileHandle file, void* buffer, int64_t count, int64_t& done) override {
    return Transfer(count, done, true,
                    [&](int64_t at, size_t n) { return ::read(file, static_cast<char*>(buffer) + at, n); });
  }

  int Write(TFileHandle file, const void* buffer, int64_t count, int64_t& done) override {
    return Transfer(count, done, false,
                    [&](int64_t at, size_t n) { return ::write(file, static_cast<const char*>(buffer) + at, n); });
  }

  int ReadAt(TFileHandle file, int64_t offset, void* buffer, int64_t count, int64_t& done) override {
    if (offset < 0) {
      done = 0;
      return EINVAL;
    }
    return Transfer(count, done, true, [&](int64_t at, size_t n) {
      return ::pread(file, static_cast<char*>(buffer) + at, n, static_cast<off_t>(offset + at));
    });
  }

  int WriteAt(TFileHandle file, int64_t offset, const void* buffer, int64_t count, int64_t& done) override {
    if (offset < 0) {
      done = 0;
      return EINVAL;
    }
    return Transfer(count, done, false, [&](int64_t at, size_t n) {
      return ::pwrite(file, static_cast<const char*>(buffer) + at, n, static_cast<off_t>(offset + at));
    });
  }

  int WriteVectorAt(TFileHandle file, int64_t offset, const TIoPart* parts, int32_t count,
                    int64_t& done) override {
    done = 0;
    if (offset < 0 || count < 0) return EINVAL;
    int64_t total = 0;
    for (int32_t i = 0; i < count; ++i) {
      if (parts[i].Size < 0) return EINVAL;
      total += parts[i].Size;
    }
    std::vector<iovec> vec;
    vec.reserve(static_cast<size_t>(std::min<int32_t>(count, IOV_MAX)));
    int32_t next = 0;   // the first part not yet wholly written
    int64_t into = 0;   // bytes of parts[next] already written
    while (done < total) {
      vec.clear();
      for (int32_t i = next; i < count && vec.size() < IOV_MAX; ++i) {
        const int64_t skip = i == next ? into : 0;
        const int64_t size = std::min(parts[i].Size - skip, kMaxTransfer);
        if (size == 0) continue;
        vec.push_back({const_cast<char*>(static_cast<const char*>(parts[i].Data)) + skip, static_cast<size_t>(size)});
        if (size < parts[i].Size - skip) break;
      }
      const ssize_t n = ::pwritev(file, vec.data(), static_cast<int>(vec.size()), static_cast<off_t>(offset + done));
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) return EIO;  // a regular file never takes nothing; do not spin
      done += n;
      // Step over what got in; a short count leaves the rest for the next call.
      int64_t left = n;
      while (left > 0) {
        const int64_t rest = parts[next].Size - into;
        if (left < rest) {
          into += left;
          left = 0;
        } else {
          left -= rest;
          ++next;
          into = 0;
        }
      }
    }
    return 0;
  }

  int Seek(TFileHandle file, int64_t offset, TSeekOrigin origin, int64_t& position) override {
    const int whence = origin == TSeekOrigin::soBeginning ? SEEK_SET
                       : origin == TSeekOrigin::soCurrent ? SEEK_CUR
                                                          : SEEK_END;
    const off_t r = ::lseek(file, static_cast<off_t>(offset), whence);
    if (r < 0) return errno;
    position = static_cast<int64_t>(r);
    return 0;
  }

  int GetSize(TFileHandle file, int64_t& size) override {
    struct stat st;
    if (::fstat(file, &st) != 0) return errno;
    size = static_cast<int64_t>(st.st_size);
    return 0;
  }

  int SetSize(TFileHandle file, int64_t size) override {
    if (size < 0) return EINVAL;
    return Retry([&] { return ::ftruncate(file, static_cast<off_t>(size)); });
  }

  int Allocate(TFileHandle file, int64_t offset, int64_t length) override {
    if (offset < 0 || length < 0) return EINVAL;
    if (length == 0) return 0;
    const int err = Retry([&] {
      return ::fallocate(file, 0, static_cast<off_t>(offset), static_cast<off_t>(length));
    });
    return err == ENOSYS ? EOPNOTSUPP : err;
  }

  int Advise(TFileHandle file, TAccessHint hint) override {
    const int advice = hint == TAccessHint::ahRandom       ? POSIX_FADV_RANDOM
                       : hint == TAccessHint::ahSequential ? POSIX_FADV_SEQUENTIAL
                                                           : POSIX_FADV_NORMAL;
    return ::posix_fadvise(file, 0, 0, advice);
  }

  int SetPermissions(TFileHandle file, uint32_t permissions) override {
    return Retry([&] { return ::fchmod(file, static_cast<mode_t>(permissions & 07777)); });
  }

  int DataSync(TFileHandle file) override {
    return Retry([&] { return ::fdatasync(file); });
  }

  int Sync(TFileHandle file) override {
    return Retry([&] { return ::fsync(file); });
  }

  int SyncDirectory(const std::string& path) override {
    int fd = -1;
    if (const int err = Retry([&] {
          fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
          return fd < 0 ? -1 : 0;
        }))
      return err;
    const int err = Retry([&] { return ::fsync(fd); });
    ::close(fd);
    return err;
  }

  int Lock(TFileHandle file, TFileLockKind kind, TFileLockWait wait, int64_t offset, int64_t length) override {
    return LockRange(file, kind == TFileLockKind::lkShared ? F_RDLCK : F_WRLCK, wait, offset, length);
  }

  int Unlock(TFileHandle file, int64_t offset, int64_t length) override {
    return LockRange(file, F_UNLCK, TFileLockWait::lwTry, offset, length);
  }

  int LockConflicts(TFileHandle file, TFileLockKind kind, int64_t offset, int64_t length,
                    bool& conflict) override {
    conflict = false;
    if (offset < 0 || length < 0) return EINVAL;
    struct flock fl {};
    fl.l_type = kind == TFileLockKind::lkShared ? F_RDLCK : F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    const int err = Retry([&] { return ::fcntl(file, F_OFD_GETLK, &fl); });
    if (err == 0) conflict = fl.l_type != F_UNLCK;
    return err;
  }

  int Rename(const std::string& from, const std::string& to, TRenameMode mode) override {
    if (mode == TRenameMode::rmReplace) return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without RENAME_NOREPLACE: link refuses an existing target too.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    return ::unlink(from.c_str()) == 0 ? 0 : errno;
  }

  int Unlink(const std::string& path) override { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

  int GetInfo(const std::string& path, TFileInfo& info) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return errno;
    FillInfo(st, info);
    return 0;
  }

  int GetHandleInfo(TFileHandle file, TFileInfo& info) override {
    struct stat st;
    if (::fstat(file, &st) != 0) return errno;
    FillInfo(st, info);
    return 0;
  }

  int MakeDirectory(const std::string& path, uint32_t permissions) override {
    return ::mkdir(path.c_str(), static_cast<mode_t>(permissions & 07777)) == 0 ? 0 : errno;
  }

  int OpenTemporary(const std::string& folder, uint32_t permissions, TFileHandle& file) override {
    file = InvalidFileHandle;
    const std::string dir = folder.empty() ? std::string(".") : folder;
    int fd = -1;
    const int err = Retry([&] {
      fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, static_cast<mode_t>(permissions & 07777));
      return fd < 0 ? -1 : 0;
    });
    if (err != 0) return err;
    file = fd;
    return 0;
  }

  int LinkTemporary(TFileHandle file, const std::string& path) override {
    // The /proc name needs no privilege; AT_EMPTY_PATH serves where /proc
    // is not mounted but needs CAP_DAC_READ_SEARCH.
    char proc[64];
    std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", static_cast<int>(file));
    if (::linkat(AT_FDCWD, proc, AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
    if (errno != ENOENT) return errno;
    return ::linkat(file, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0 ? 0 : errno;
  }

  int ReadLink(const std::string& path, std::string& target) override {
    target.clear();
    std::string buf(256, '\0');
    for (;;) {
      const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
      if (n < 0) return errno;
      if (static_cast<size_t>(n) < buf.size()) {
        buf.resize(static_cast<size_t>(n));
        target = std::move(buf);
        return 0;
      }
      if (buf.size() >= (size_t(1) << 20)) return ENAMETOOLONG;
      buf.resize(buf.size() * 2);
    }
  }

  int PunchHole(TFileHandle file, int64_t offset, int64_t length) override {
    if (offset < 0 || length < 0) return EINVAL;
    if (length == 0) return 0;
    return Retry([&] {
      return ::fallocate(file, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                         static_cast<off_t>(length));
    });
  }
};

// Built at compile time and never destroyed, so that file users in other
// units' static constructors and destructors find it whole.
union TPosixHolder {
  constexpr TPosixHolder() : ops() {}
  ~TPosixHolder() {}
  TPosixFileOps ops;
};
constinit TPosixHolder g_posix;
std::atomic<TFileOps*> g_ops{&g_posix.ops};

}  // namespace

TFileOps& PosixFileOps() noexcept { return g_posix.ops; }

TFileOps& FileOps() noexcept { return *g_ops.load(std::memory_order_acquire); }

ScopedFileOps::ScopedFileOps(TFileOps& ops) noexcept
    : previous_(g_ops.exchange(&ops, std::memory_order_acq_rel)) {}

ScopedFileOps::~ScopedFileOps() { g_ops.store(previous_, std::memory_order_release); }

int TFileOps::WriteVectorAt(TFileHandle file, int64_t offset, const TIoPart* parts, int32_t count, int64_t& done) {
  done = 0;
  if (offset < 0 || count < 0) return EINVAL;
  for (int32_t i = 0; i < count; ++i) {
    int64_t part = 0;
    const int err = WriteAt(file, offset + done, parts[i].Data, parts[i].Size, part);
    done += part;
    if (err != 0) return err;
  }
  return 0;
}

int TFile::Open(const std::string& path, TOpenFlags flags, uint32_t permissions) {
  Close();
  return ops_->Open(path, flags, permissions, handle_);
}

int TFile::OpenBeneath(const std::string& folder, const std::string& name, TOpenFlags flags) {
  Close();
  return ops_->OpenBeneath(folder, name, flags, handle_);
}

int TFile::Close() {
  if (handle_ == InvalidFileHandle) return 0;
  const TFileHandle handle = handle_;
  handle_ = InvalidFileHandle;
  return ops_->Close(handle);
}

}  // namespace revurov::platform
