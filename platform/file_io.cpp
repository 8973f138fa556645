#include "platform/file_io.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <random>

#include "platform/format.h"
#include "platform/os_error.h"
#include "platform/text.h"

namespace revurov::platform {

int TFileOps::Open(const char* path, int flags, mode_t mode) { return ::open(path, flags | O_CLOEXEC, mode); }
ssize_t TFileOps::Write(int fd, const void* data, size_t size) { return ::write(fd, data, size); }
int TFileOps::Fdatasync(int fd) { return ::fdatasync(fd); }
int TFileOps::Fsync(int fd) { return ::fsync(fd); }
int TFileOps::Close(int fd) { return ::close(fd); }
int TFileOps::Unlink(const char* path) { return ::unlink(path); }

int TFileOps::Rename(const char* from, const char* to, bool noreplace) {
  if (!noreplace) return ::rename(from, to);
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // File systems without RENAME_NOREPLACE: link refuses an existing target too.
  if (::link(from, to) != 0) return -1;
  return ::unlink(from);
}

namespace {

TFileOps g_posix_ops;
std::atomic<TFileOps*> g_ops{&g_posix_ops};

std::u16string ErrnoText(int err) { return SysErrorMessage(static_cast<uint32_t>(err)); }

[[noreturn]] void CreateFailed(const std::string& path, int err) {
  throw EFCreateError(Format(SFCreateErrorEx, {path, ErrnoText(err)}));
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes the rename itself durable.
int SyncFolder(TFileOps& ops, const std::string& folder) {
  const int fd = ops.Open(folder.c_str(), O_RDONLY | O_DIRECTORY, 0);
  if (fd < 0) return -1;
  const int rc = ops.Fsync(fd);
  const int err = errno;
  ops.Close(fd);
  errno = err;
  return rc;
}

}  // namespace

TFileOps& FileOps() noexcept { return *g_ops.load(std::memory_order_acquire); }

ScopedFileOps::ScopedFileOps(TFileOps& ops) noexcept
    : previous_(g_ops.exchange(&ops, std::memory_order_acq_rel)) {}

ScopedFileOps::~ScopedFileOps() { g_ops.store(previous_, std::memory_order_release); }

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<std::string> ReadFileBytes(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw EFOpenError(Format(SFOpenErrorEx, {path, ErrnoText(errno)}));
  }
  std::string bytes;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      throw EFOpenError(Format(SFOpenErrorEx, {path, ErrnoText(err)}));
    }
    if (n == 0) break;
    bytes.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return bytes;
}

void ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
  TFileOps& ops = FileOps();
  const std::string folder = FolderOf(path);

  // Keep the permissions of the file being replaced.
  mode_t mode = 0666;
  struct stat st;
  bool had_mode = false;
  if (::stat(path.c_str(), &st) == 0) {
    mode = st.st_mode & 07777;
    had_mode = true;
  }

  std::random_device rd;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%08x", static_cast<unsigned>(rd()));
    temp = path + suffix;
    fd = ops.Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0 && errno != EEXIST) CreateFailed(path, errno);
  }
  if (fd < 0) CreateFailed(path, EEXIST);
  if (had_mode) ::fchmod(fd, mode);  // the umask may have narrowed it

  auto fail = [&](int err) {
    if (fd >= 0) ops.Close(fd);
    ops.Unlink(temp.c_str());
    CreateFailed(path, err);
  };

  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ops.Write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    if (n == 0) fail(EIO);
    done += static_cast<size_t>(n);
  }
  if (ops.Fdatasync(fd) != 0) fail(errno);
  const int close_rc = ops.Close(fd);
  fd = -1;
  if (close_rc != 0) fail(errno);
  if (ops.Rename(temp.c_str(), path.c_str(), false) != 0) fail(errno);
  // The new content is in place; a failing folder sync only weakens the
  // guarantee against power loss, so it is reported like any other failure.
  if (SyncFolder(ops, folder) != 0) CreateFailed(path, errno);
}

bool MoveFileNoReplace(const std::string& from, const std::string& to) {
  TFileOps& ops = FileOps();
  if (ops.Rename(from.c_str(), to.c_str(), true) != 0) return false;
  SyncFolder(ops, FolderOf(to));
  return true;
}

}  // namespace revurov::platform
