#include "platform/file_io.h"

#include <cerrno>
#include <cstdio>
#include <random>

#include "platform/format.h"
#include "platform/os_error.h"
#include "platform/rtl_exception.h"

namespace revurov::platform {

namespace {

std::u16string ErrnoText(int err) { return SysErrorMessage(static_cast<uint32_t>(err)); }

[[noreturn]] void CreateFailed(const std::string& path, int err) {
  throw EFCreateError(Format(SFCreateErrorEx, {path, ErrnoText(err)}));
}

[[noreturn]] void OpenFailed(const std::string& path, int err) {
  throw EFOpenError(Format(SFOpenErrorEx, {path, ErrnoText(err)}));
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool FileExists(const std::string& path, TFileOps& ops) {
  TFileInfo info;
  return ops.GetInfo(path, info) == 0 && info.Kind != TFileKind::fkDirectory;
}

bool DirectoryExists(const std::string& path, TFileOps& ops) {
  TFileInfo info;
  return ops.GetInfo(path, info) == 0 && info.Kind == TFileKind::fkDirectory;
}

std::optional<std::string> ReadFileBytes(const std::string& path, TFileOps& ops) {
  TFile file(ops);
  // A FIFO without a writer would block the open, a device the read.
  if (const int err = file.Open(path, TOpenFlags::ofRead | TOpenFlags::ofNonBlocking)) {
    if (err == ENOENT) return std::nullopt;
    OpenFailed(path, err);
  }
  TFileInfo info;
  if (const int err = ops.GetHandleInfo(file.Handle(), info)) OpenFailed(path, err);
  if (info.Kind != TFileKind::fkFile) throw EFOpenError(Format(SFOpenErrorEx, {path, SNotRegularFile}));
  // Read to the end rather than to the reported size: files under /proc
  // report 0 and still have content.
  std::string bytes;
  char buf[65536];
  for (;;) {
    int64_t n = 0;
    if (const int err = ops.Read(file.Handle(), buf, sizeof buf, n)) OpenFailed(path, err);
    bytes.append(buf, static_cast<size_t>(n));
    if (n < static_cast<int64_t>(sizeof buf)) break;
  }
  return bytes;
}

namespace {

constexpr int kMaxLinkHops = 40;  // as the kernel's own limit

// The final target of a chain of symbolic links, or path itself. Errors are
// left to the calls that use the result.
std::string FollowLinks(const std::string& path, TFileOps& ops) {
  std::string current = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    std::string target;
    if (ops.ReadLink(current, target) != 0 || target.empty()) return current;
    current = target[0] == '/' ? target : FolderOf(current) + "/" + target;
  }
  return current;
}

// Closes a handle the caller has not closed yet.
class THandleGuard {
public:
  explicit THandleGuard(TFileOps& ops) noexcept : ops_(ops) {}
  ~THandleGuard() { Close(); }
  THandleGuard(const THandleGuard&) = delete;
  THandleGuard& operator=(const THandleGuard&) = delete;
  TFileHandle& Handle() noexcept { return handle_; }
  int Close() {
    if (handle_ == InvalidFileHandle) return 0;
    const TFileHandle h = handle_;
    handle_ = InvalidFileHandle;
    return ops_.Close(h);
  }

private:
  TFileOps& ops_;
  TFileHandle handle_ = InvalidFileHandle;
};

// File systems without unnamed files answer one of these.
bool NoUnnamedFiles(int err) { return err == EOPNOTSUPP || err == EISDIR || err == EINVAL || err == ENOSYS; }

std::string TempNameFor(const std::string& path, std::random_device& rd) {
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".tmp%08x", static_cast<unsigned>(rd()));
  return path + suffix;
}

}  // namespace

void ReplaceFileAtomically(const std::string& link_or_path, std::string_view bytes, TFileOps& ops,
                           uint32_t new_permissions) {
  // Renaming over a link would replace the link by a plain file.
  const std::string path = FollowLinks(link_or_path, ops);
  const std::string folder = FolderOf(path);
  TFileInfo old_info;
  const bool had_file = ops.GetInfo(path, old_info) == 0;
  // Nobody else may read the temporary before it has the final permissions.
  const uint32_t create_permissions = had_file ? 0600 : new_permissions;

  std::random_device rd;
  std::string temp;  // its name, once it has one
  THandleGuard file(ops);
  int err = ops.OpenTemporary(folder, create_permissions, file.Handle());
  const bool unnamed = err == 0;
  if (!unnamed) {
    if (!NoUnnamedFiles(err)) CreateFailed(link_or_path, err);
    err = EEXIST;
    for (int attempt = 0; attempt < 16 && err == EEXIST; ++attempt) {
      temp = TempNameFor(path, rd);
      err = ops.Open(temp, TOpenFlags::ofWrite | TOpenFlags::ofCreate | TOpenFlags::ofExclusive, create_permissions,
                     file.Handle());
    }
    if (err != 0) CreateFailed(link_or_path, err);
  }
  // The umask may have narrowed them; a failure only leaves them narrower.
  if (had_file) ops.SetPermissions(file.Handle(), old_info.Permissions);

  auto fail = [&](int error) {
    file.Close();
    if (!temp.empty()) ops.Unlink(temp);
    CreateFailed(link_or_path, error);
  };

  int64_t done = 0;
  if ((err = ops.Write(file.Handle(), bytes.data(), static_cast<int64_t>(bytes.size()), done)) != 0) fail(err);
  // The data must be durable before a name makes it the target's, or a
  // crash could leave the new name on empty or partial content.
  if ((err = ops.DataSync(file.Handle())) != 0) fail(err);
  if (unnamed) {
    // A new target gets its name directly; one that exists is replaced by a
    // rename, which needs a name of its own for the moment.
    err = had_file ? EEXIST : ops.LinkTemporary(file.Handle(), path);
    if (err == 0) {
      if ((err = file.Close()) != 0) CreateFailed(link_or_path, err);
      if ((err = ops.SyncDirectory(folder)) != 0) CreateFailed(link_or_path, err);
      return;
    }
    if (err != EEXIST) fail(err);
    for (int attempt = 0; attempt < 16 && err == EEXIST; ++attempt) {
      const std::string name = TempNameFor(path, rd);
      if ((err = ops.LinkTemporary(file.Handle(), name)) == 0) temp = name;
    }
    if (err != 0) fail(err);
  }
  if ((err = file.Close()) != 0) fail(err);
  if ((err = ops.Rename(temp, path, TRenameMode::rmReplace)) != 0) fail(err);
  // The new content is in place; a failing folder sync only weakens the
  // guarantee against power loss, so it is reported like any other failure.
  if ((err = ops.SyncDirectory(folder)) != 0) CreateFailed(link_or_path, err);
}

bool MoveFileNoReplace(const std::string& from, const std::string& to, TFileOps& ops) {
  if (ops.Rename(from, to, TRenameMode::rmNoReplace) != 0) return false;
  ops.SyncDirectory(FolderOf(to));
  return true;
}

}  // namespace revurov::platform
