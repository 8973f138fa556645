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
  if (const int err = file.Open(path, TOpenFlags::ofRead)) {
    if (err == ENOENT) return std::nullopt;
    OpenFailed(path, err);
  }
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

void ReplaceFileAtomically(const std::string& path, std::string_view bytes, TFileOps& ops) {
  // Keep the permissions of the file being replaced.
  TFileInfo old_info;
  const bool had_file = ops.GetInfo(path, old_info) == 0;
  const uint32_t permissions = had_file ? old_info.Permissions : DefaultFilePermissions;

  std::random_device rd;
  std::string temp;
  TFile file(ops);
  int err = EEXIST;
  for (int attempt = 0; attempt < 16 && err == EEXIST; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp%08x", static_cast<unsigned>(rd()));
    temp = path + suffix;
    err = file.Open(temp, TOpenFlags::ofWrite | TOpenFlags::ofCreate | TOpenFlags::ofExclusive, permissions);
  }
  if (err != 0) CreateFailed(path, err);
  // The umask may have narrowed them; a failure only leaves them narrower.
  if (had_file) ops.SetPermissions(file.Handle(), permissions);

  auto fail = [&](int error) {
    file.Close();
    ops.Unlink(temp);
    CreateFailed(path, error);
  };

  int64_t done = 0;
  if ((err = ops.Write(file.Handle(), bytes.data(), static_cast<int64_t>(bytes.size()), done)) != 0) fail(err);
  // The data must be durable before the rename makes it the target's, or a
  // crash could leave the new name on empty or partial content.
  if ((err = ops.DataSync(file.Handle())) != 0) fail(err);
  if ((err = file.Close()) != 0) fail(err);
  if ((err = ops.Rename(temp, path, TRenameMode::rmReplace)) != 0) fail(err);
  // The new content is in place; a failing folder sync only weakens the
  // guarantee against power loss, so it is reported like any other failure.
  if ((err = ops.SyncDirectory(FolderOf(path))) != 0) CreateFailed(path, err);
}

bool MoveFileNoReplace(const std::string& from, const std::string& to, TFileOps& ops) {
  if (ops.Rename(from, to, TRenameMode::rmNoReplace) != 0) return false;
  ops.SyncDirectory(FolderOf(to));
  return true;
}

}  // namespace revurov::platform
