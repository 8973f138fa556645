// A long task's target table in the folder: named in an intent of the task
// while it is filled, and swapped in for its source as one intent.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/file_io.h"
#include "platform/file_ops.h"
#include "platform/paths.h"
#include "server/server_folder.h"
#include "server/server_table.h"
#include "server/table_file_moves.h"
#include "storage/file_management.h"

namespace revurov {

namespace {

uint32_t TableIsOpen() { return EnxBaseException::nxSetMessage(nxeTableIsOpen, u"Table is open."); }
uint32_t FolderReadOnly() { return EnxBaseException::nxSetMessage(nxeDatabaseReadOnly, u"Database is read only."); }

}  // namespace

uint32_t TnxServerFolder::sfAnnounceTaskTarget(std::u16string_view aIntentName, std::u16string_view aTableName,
                                               const TnxDataDictionary& aDict) {
  if (sfInMemOnly || aIntentName.empty()) return 0;
  try {
    TnxFileMoves plan(sfPath, {}, TableFileNames(StripTableExtension(aTableName), aDict), {}, aIntentName);
    plan.AnnounceDiscards();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

void TnxServerFolder::sfDropTaskIntent(std::u16string_view aIntentName, bool aKeepPending) noexcept {
  if (sfInMemOnly || aIntentName.empty()) return;
  try {
    nxDropTaskIntent(sfPath, aIntentName, aKeepPending);
  } catch (const std::exception& e) {
    // A file left behind holds a settled intent or one the next opening
    // finishes the same way.
    asoConvertException(e);
  }
}

uint32_t TnxServerFolder::sfSettleTaskTarget(std::u16string_view aIntentName, std::u16string_view aTableName,
                                             const std::vector<std::u16string>& aPasswords) {
  if (sfInMemOnly || aIntentName.empty()) return 0;
  try {
    const std::u16string name = StripTableExtension(aTableName);
    TnxPadlockGuard guard(sfTablesPadlock);
    if (TnxServerRootTable* open = FindTable(name))
      if (!sfCloseIfClosable(open, false, true, 1)) return TableIsOpen();
    TnxDataDictionary dict;
    if (const uint32_t result = sfTableGetDictionary(name, aPasswords, false, dict)) return result;
    for (const std::u16string& file : TableFileNames(DiskStem(name), dict)) {
      const std::u16string path = nxCombinePath(sfPath, file);
      platform::TFile handle;
      int err = handle.Open(platform::ToOsPath(path), platform::TOpenFlags::ofRead);
      if (err == 0) err = platform::FileOps().DataSync(handle.Handle());
      if (err != 0) {
        platform::SetLastOSError(static_cast<uint32_t>(err));
        throw nxCreateOSErrorException<EnxFileManagementException>(nxeFileRenameFailed, u"", u"Sync (\"%s\")",
                                                                   {path});
      }
    }
    // The files' names first: a new table's entries in the folder. Then
    // the intent's removal, which a power loss would undo, and the next
    // opening would delete the table it names.
    auto syncFolder = [this] {
      if (const int err = platform::FileOps().SyncDirectory(platform::ToOsPath(sfPath))) {
        platform::SetLastOSError(static_cast<uint32_t>(err));
        throw nxCreateOSErrorException<EnxFileManagementException>(nxeFileRenameFailed, u"",
                                                                   u"SyncDirectory (\"%s\")", {sfPath});
      }
    };
    syncFolder();
    nxDropTaskIntent(sfPath, aIntentName);
    syncFolder();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

uint32_t TnxServerFolder::sfTableSwap(std::u16string_view aSource, std::u16string_view aTarget,
                                      const std::vector<std::u16string>& aPasswords,
                                      std::u16string_view aIntentName) {
  try {
    if (ReadOnly()) return FolderReadOnly();
    const std::u16string source = StripTableExtension(aSource);
    const std::u16string target = StripTableExtension(aTarget);
    TnxPadlockGuard guard(sfTablesPadlock);
    for (const std::u16string& name : {source, target})
      if (TnxServerRootTable* open = FindTable(name))
        if (!sfCloseIfClosable(open, false, true, 1)) return TableIsOpen();
    TnxDataDictionary sourceDict, targetDict;
    if (const uint32_t result = sfTableGetDictionary(source, aPasswords, false, sourceDict)) return result;
    if (const uint32_t result = sfTableGetDictionary(target, aPasswords, false, targetDict)) return result;
    std::u16string backup;
    if (const uint32_t result = sfTableMakeUniqueName(u"$" + source + u"_Backup", backup)) return result;
    // Before any step: the target is seen under no other name from here on
    // but the source's (or it is deleted).
    if (const uint32_t result = sfTableWriteName(target, aPasswords, false, source)) return result;

    const std::u16string sourceStem = DiskStem(source);
    const std::vector<std::u16string> sourceFiles = TableFileNames(sourceStem, sourceDict);
    const std::vector<std::u16string> backupFiles = TableFileNames(backup, sourceDict);
    const std::vector<std::u16string> targetFiles = TableFileNames(DiskStem(target), targetDict);
    const std::vector<std::u16string> newFiles = TableFileNames(sourceStem, targetDict);
    std::vector<TnxFileMove> moves;
    for (size_t i = 0; i < sourceFiles.size(); ++i) moves.push_back({sourceFiles[i], backupFiles[i]});
    for (size_t i = 0; i < targetFiles.size(); ++i) moves.push_back({targetFiles[i], newFiles[i]});
    for (const std::u16string& file : backupFiles) moves.push_back({file, {}});
    // Forward once the source left its name or the target its own; going
    // back deletes the target. Announcing makes the target's files durable
    // first.
    TnxFileMoves plan(sfPath, std::move(moves), targetFiles,
                      {{backupFiles.front(), true}, {targetFiles.front(), false}}, aIntentName);
    plan.Announce();
    try {
      plan.Run();
    } catch (const std::exception&) {
      // A failure that went back cleared the intent. One that stays
      // pending with every file of the new table under the source's name
      // met only the backup's deletion, which the next opening finishes.
      auto here = [this](const std::u16string& aName) {
        return platform::FileExists(platform::ToOsPath(nxCombinePath(sfPath, aName)));
      };
      if (!nxFileMovesPending(sfPath, aIntentName) || !std::all_of(newFiles.begin(), newFiles.end(), here) ||
          std::any_of(targetFiles.begin(), targetFiles.end(), here))
        throw;
      BumpStructureGeneration();
      return 0;
    }
    nxDropTaskIntent(sfPath, aIntentName);
    BumpStructureGeneration();
    return 0;
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

}  // namespace revurov
