#include "storage/file_management.h"

#include "lowlevel/errors/error_codes.h"
#include "platform/file_ops.h"
#include "platform/os_error.h"
#include "platform/paths.h"

namespace revurov {

namespace {

std::string FolderOf(std::u16string_view aFileName) {
  const std::u16string folder = platform::ExtractFilePath(aFileName);
  return folder.empty() ? std::string(".") : platform::ToOsPath(folder);
}

[[noreturn]] void Raise(int aError, uint32_t aCode, std::u16string_view aAction,
                        std::initializer_list<platform::TFormatArg> aArgs) {
  platform::SetLastOSError(static_cast<uint32_t>(aError));
  throw nxCreateOSErrorException<EnxFileManagementException>(aCode, u"", aAction, aArgs);
}

}  // namespace

void DeleteFileChecked(std::u16string_view aFileName) {
  platform::TFileOps& ops = platform::FileOps();
  int err = ops.Unlink(platform::ToOsPath(aFileName));
  if (err == 0) err = ops.SyncDirectory(FolderOf(aFileName));
  if (err != 0) Raise(err, nxeFileDeleteFailed, u"DeleteFile (\"%s\")", {aFileName});
}

void RenameFileChecked(std::u16string_view aOldName, std::u16string_view aNewName) {
  platform::TFileOps& ops = platform::FileOps();
  // A plain rename would silently replace a file at the target.
  int err = ops.Rename(platform::ToOsPath(aOldName), platform::ToOsPath(aNewName), platform::TRenameMode::rmNoReplace);
  if (err == 0) {
    const std::string from = FolderOf(aOldName);
    const std::string to = FolderOf(aNewName);
    err = ops.SyncDirectory(to);
    if (err == 0 && from != to) err = ops.SyncDirectory(from);
  }
  if (err != 0) Raise(err, nxeFileRenameFailed, u"RenameFile (from \"%s\" to \"%s\")", {aOldName, aNewName});
}

std::u16string nxCombinePath(std::u16string_view aPath, std::u16string_view aFileName) {
  return platform::IncludeTrailingPathDelimiter(aPath) + std::u16string(aFileName);
}

std::u16string nxAddExtension(std::u16string_view aName, std::u16string_view aExtension) {
  std::u16string result(aName);
  result += u'.';
  result += aExtension;
  return result;
}

}  // namespace revurov
