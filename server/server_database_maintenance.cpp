// The server database's table maintenance that works through a cursor:
// password change, field and index changes, and the index rebuild and
// checksum check that run as tasks.
#include <string>
#include <utility>

#include "dictionary/data_dictionary.h"
#include "dictionary/key_engine.h"
#include "engine/name_rules.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/lock_guard.h"
#include "lowlevel/wide_strings/utils_identifier.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_recover_task.h"
#include "server/server_session.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_task_info.h"
#include "server/server_tasks.h"
#include "server/table_file_moves.h"
#include "storage/files.h"

namespace revurov {

namespace {

using TCursorPtr = TnxServerObjectPtr<TnxServerTableCursor>;

uint32_t DatabaseReadOnly() {
  return EnxBaseException::nxSetMessage(nxeDatabaseReadOnly, u"Database is read only.");
}

uint32_t NoDescriptor() { return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No descriptor given"); }

// 0 for an identifier or an empty name, else 10022.
uint32_t ValidateIndexName(std::u16string_view aIndexName) {
  if (nxCheckIdentifier(aIndexName, nxeInvalidIndexName, true, true) == 0) return 0;
  return EnxBaseException::nxSetMessage(nxeInvalidIndexName, u"Invalid index name.");
}

bool IsChildPath(std::u16string_view aTableName) {
  return aTableName.find(nxChildNameSeparator) != std::u16string_view::npos;
}

// A table cursor of aDatabase on aTableName; a cursor source's cursor is
// no table of this engine and cannot be changed here.
uint32_t OpenTableCursor(TnxServerDatabase& aDatabase, std::u16string_view aTableName, std::u16string_view aPassword,
                         TnxOpenMode aOpenMode, TnxShareMode aShareMode, TCursorPtr& aCursor) {
  TnxAbstractCursor* opened = nullptr;
  const uint32_t result = aDatabase.sdCursorOpen(opened, aTableName, aPassword, false, aOpenMode, aShareMode, false,
                                                 aDatabase.Timeout(), u"", -1, false, aDatabase.IsCache());
  if (result != 0) return result;
  TnxServerObjectPtr<TnxAbstractCursor> owned(opened);
  auto* cursor = dynamic_cast<TnxServerTableCursor*>(opened);
  if (!cursor)
    return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"\"%s\" is no table of this database",
                                          {std::u16string(aTableName)});
  (void)owned.release();
  aCursor.reset(cursor);
  return 0;
}

uint32_t OpenExclusive(TnxServerDatabase& aDatabase, std::u16string_view aTableName, std::u16string_view aPassword,
                       TCursorPtr& aCursor) {
  return OpenTableCursor(aDatabase, aTableName, aPassword, omReadWrite, smExclusive, aCursor);
}

// The folder's extenders are asked first, then the database's.
uint32_t AskExtenders(TnxServerFolder& aFolder, TnxServerDatabase& aDatabase, TnxEngineAction aAction,
                      TnxEngineArgs aArgs) {
  if (const uint32_t veto = aFolder.NotifyExtenders(aAction, true, aArgs)) return veto;
  return aDatabase.NotifyExtenders(aAction, true, aArgs);
}

// Asked before aWork; told after its success, the folder's last.
template <class F>
uint32_t AroundExtenders(TnxServerFolder& aFolder, TnxServerDatabase& aDatabase, TnxEngineAction aAction,
                         TnxEngineArgs aArgs, F&& aWork) {
  if (const uint32_t veto = AskExtenders(aFolder, aDatabase, aAction, aArgs)) return veto;
  const uint32_t result = aWork();
  if (result == 0) {
    aDatabase.NotifyExtenders(aAction, false, aArgs);
    aFolder.NotifyExtenders(aAction, false, aArgs);
  }
  return result;
}

// The task a worker prepared runs, and the caller gets it; a worker that
// failed loses what it left.
uint32_t StartTask(uint32_t aResult, TnxAbstractTaskInfo* aTask, TnxAbstractTaskInfo*& aTaskInfo) {
  TnxServerObjectPtr<TnxAbstractTaskInfo> task(aTask);
  if (aResult != 0) return aResult;
  auto* server = dynamic_cast<TnxServerTaskInfo*>(task.get());
  if (!server) return EnxBaseException::nxSetMessage(nxeExceptionWithoutCode, u"No task was prepared");
  try {
    server->StartThread();
  } catch (const std::exception& e) {
    return server->asoConvertException(e);
  }
  aTaskInfo = task.release();
  return 0;
}

}  // namespace

uint32_t TnxServerDatabase::sdOpenPrivateDatabase(TnxServerObjectPtr<TnxServerDatabase>& aDatabase) {
  if (!sdSession) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"The database has no session");
  TnxAbstractDatabase* opened = nullptr;
  const uint32_t result =
      sdSession->ssDatabaseOpen(opened, sdAlias, nullptr, sdFolder, OpenMode(), ShareMode(), true, Timeout());
  if (result != 0) return result;
  aDatabase.reset(static_cast<TnxServerDatabase*>(opened));
  // The task reaches the database-scope tables of its caller.
  aDatabase->sdTables = sdTables;
  return 0;
}

// ---- password ----

uint32_t TnxServerDatabase::TableChangePassword(std::u16string_view aTableName, std::u16string_view aOldPassword,
                                                std::u16string_view aNewPassword) {
  if (const uint32_t result = nxValidateTableName(aTableName, true, true)) return result;
  return Entry([&]() -> uint32_t {
    // The change rewrites every block of the table.
    if (OpenMode() == omReadOnly) return DatabaseReadOnly();
    TCursorPtr cursor;
    if (const uint32_t result = OpenTableCursor(*this, aTableName, aOldPassword, omReadWrite, smShared, cursor))
      return result;
    return cursor->sbcChangePassword(aNewPassword);
  });
}

// ---- fields and indices ----

uint32_t TnxServerDatabase::TableAddField(std::u16string_view aTableName, std::u16string_view aPassword,
                                          TnxFieldDescriptor* aFieldDesc) {
  if (const uint32_t result = nxValidateTablePath(aTableName, true, true)) return result;
  if (!aFieldDesc) return NoDescriptor();
  return Entry([&]() -> uint32_t {
    TCursorPtr cursor;
    if (const uint32_t result = OpenExclusive(*this, aTableName, aPassword, cursor)) return result;
    TnxServerRootTable* root = cursor->Table()->Root();
    if (root->TableScope() != tsPersistent)
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported,
                                            u"Fields can be added only to persistent tables, not to \"%s\"",
                                            {std::u16string(aTableName)});
    TnxPadlockGuard tables(sdFolder->TablesPadlock());
    const std::u16string rootName = root->Name();
    // Whatever the change did, the table goes, and its next open reads the
    // layout from its files.
    struct CloseTable {
      TnxServerFolder& Folder;
      TCursorPtr& Cursor;
      TnxServerRootTable* Root;
      const std::u16string& Name;
      ~CloseTable() {
        Cursor.reset();
        if (Folder.FindTable(Name) == Root) Folder.sfCloseIfClosable(Root, true, true, 1);
      }
    } closing{*sdFolder, cursor, root, rootName};
    const TnxEngineArg args[] = {aTableName, static_cast<void*>(aFieldDesc)};
    return AroundExtenders(*sdFolder, *this, eaTableAddField, args,
                           [&] { return cursor->stcAddField(aFieldDesc); });
  });
}

uint32_t TnxServerDatabase::TableAddIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                          TnxIndexDescriptor* aIndexDesc, bool aNewDefault) {
  if (const uint32_t result = nxValidateTablePath(aTableName, true, true)) return result;
  if (!aIndexDesc) return NoDescriptor();
  return Entry([&]() -> uint32_t {
    TCursorPtr cursor;
    if (const uint32_t result = OpenExclusive(*this, aTableName, aPassword, cursor)) return result;
    const TnxEngineArg args[] = {aTableName, static_cast<void*>(aIndexDesc), aNewDefault};
    return AroundExtenders(*sdFolder, *this, eaTableAddIndex, args,
                           [&] { return cursor->stcAddIndex(aIndexDesc, aNewDefault); });
  });
}

uint32_t TnxServerDatabase::TableDropIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                           std::u16string_view aIndexName, int32_t aIndexID) {
  if (const uint32_t result = nxValidateTablePath(aTableName, true, true)) return result;
  if (const uint32_t result = ValidateIndexName(aIndexName)) return result;
  return Entry([&]() -> uint32_t {
    TCursorPtr cursor;
    if (const uint32_t result = OpenExclusive(*this, aTableName, aPassword, cursor)) return result;
    const TnxEngineArg args[] = {aTableName, aIndexName, aIndexID};
    return AroundExtenders(*sdFolder, *this, eaTableDropIndex, args,
                           [&] { return cursor->stcDropIndex(aIndexName, aIndexID); });
  });
}

// ---- tasks ----

uint32_t TnxServerDatabase::sdTableRebuildIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                                std::u16string_view aIndexName, int32_t aIndexID,
                                                TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (OpenMode() == omReadOnly) return DatabaseReadOnly();
  TnxServerObjectPtr<TnxServerDatabase> database;
  if (const uint32_t result = sdOpenPrivateDatabase(database)) return result;
  TCursorPtr cursor;
  if (const uint32_t result = OpenExclusive(*database, aTableName, aPassword, cursor)) return result;
  TnxBaseIndicesEngine* indices = cursor->Table()->IndicesEngine();
  int32_t index = aIndexID;
  if (!aIndexName.empty()) {
    index = -1;
    for (int32_t i = 0; indices && i < indices->IndexCount(); ++i)
      if (platform::AsciiSameText(indices->Indices(i).IndexName(), aIndexName)) index = i;
  }
  if (!indices || index < 0 || index >= indices->IndexCount())
    return EnxBaseException::nxSetMessage(nxeIndexDoesNotExist, u"Index does not exist.");
  if (!indices->Indices(index).KeyEngine().SupportsReindex())
    return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported, u"Rebuilding is not supported for this index");
  TnxTableScope scope = cursor->Table()->Root()->TableScope();
  const TnxEngineArg args[] = {aTableName, index, static_cast<void*>(&scope)};
  if (const uint32_t veto = AskExtenders(*sdFolder, *this, eaTableRebuildIndex, args)) return veto;
  aTaskInfo = nxCreateServerObject<TnxServerRebuildIndexTaskInfo>(std::move(cursor), std::move(database), index)
                  .release();
  return 0;
}

uint32_t TnxServerDatabase::TableRebuildIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                                              std::u16string_view aIndexName, int32_t aIndexID,
                                              TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t result = nxValidateTablePath(aTableName, true, true)) return result;
  if (const uint32_t result = ValidateIndexName(aIndexName)) return result;
  TnxAbstractTaskInfo* task = nullptr;
  const uint32_t result =
      Entry([&]() -> uint32_t { return sdTableRebuildIndex(aTableName, aPassword, aIndexName, aIndexID, task); });
  // The task starts outside the session lock.
  return StartTask(result, task, aTaskInfo);
}

uint32_t TnxServerDatabase::sdTableVerifyChecksum(std::u16string_view aTableName, std::u16string_view aPassword,
                                                  bool aRaw, bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (IsChildPath(aTableName))
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"The child table \"%s\" has no files of its own",
                                          {std::u16string(aTableName)});
  const TnxEngineArg args[] = {aTableName, static_cast<void*>(&aRaw), static_cast<void*>(&aForceRecheck)};
  if (const uint32_t veto = NotifyExtenders(eaTableVerifyChecksum, true, args)) return veto;
  TnxServerObjectPtr<TnxServerDatabase> database;
  if (const uint32_t result = sdOpenPrivateDatabase(database)) return result;
  TCursorPtr cursor;
  if (const uint32_t result = OpenTableCursor(*database, aTableName, aPassword, omReadOnly, smExclusive, cursor))
    return result;
  TnxServerRootTable* root = cursor->Table()->Root();
  if (root->FileCount() == 0 || !root->File(0) || root->File(0)->fiCheckSumSize == 0)
    return EnxBaseException::nxSetMessage(
        nxeCapabilityNotSupported, u"Table %s is not using an encryption engine that supports file checksums.",
        {std::u16string(aTableName)});
  aTaskInfo = nxCreateServerObject<TnxServerVerifyChecksumTaskInfo>(std::move(cursor), aRaw, aForceRecheck,
                                                                    std::move(database))
                  .release();
  return 0;
}

uint32_t TnxServerDatabase::TableVerifyChecksum(std::u16string_view aTableName, std::u16string_view aPassword,
                                                bool aRaw, bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t result = nxValidateTablePath(aTableName, true, true)) return result;
  TnxAbstractTaskInfo* task = nullptr;
  const uint32_t result = Entry(
      [&]() -> uint32_t { return sdTableVerifyChecksum(aTableName, aPassword, aRaw, aForceRecheck, task); });
  return StartTask(result, task, aTaskInfo);
}

uint32_t TnxServerDatabase::sdTableRecover(std::u16string_view aTableName, std::u16string_view aPassword,
                                           TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (IsChildPath(aTableName))
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"The child table \"%s\" has no files of its own",
                                          {std::u16string(aTableName)});
  if (OpenMode() == omReadOnly) return DatabaseReadOnly();
  const TnxEngineArg args[] = {aTableName};
  if (const uint32_t veto = NotifyExtenders(eaTableRecover, true, args)) return veto;
  TnxServerObjectPtr<TnxServerDatabase> database;
  if (const uint32_t result = sdOpenPrivateDatabase(database)) return result;
  TCursorPtr source;
  {
    TnxRecoverOpeningScope opening;
    if (const uint32_t result = OpenTableCursor(*database, aTableName, aPassword, omReadOnly, smExclusive, source))
      return result;
  }
  TnxServerRootTable* root = source->Table()->Root();
  if (root->SnapshotBlockCount() > 0)
    return EnxBaseException::nxSetMessage(nxeTableIsOpen, u"Table \"%s\" is in use by a snapshot",
                                          {std::u16string(aTableName)});
  auto* sourceDict = dynamic_cast<TnxDataDictionary*>(source->TableDescriptor());
  if (!sourceDict) return NoDescriptor();
  const std::u16string password = root->ExtractPassword();
  const TnxTableScope scope = root->TableScope();
  const std::u16string names[] = {std::u16string(aTableName) + u"_Recovered", std::u16string(aTableName) + u"_Failed"};
  TnxDataDictionary dicts[2];
  dicts[0].Assign(sourceDict);
  dicts[1].AssignOnlyFields(*sourceDict);

  TnxPadlockGuard tables(sdFolder->TablesPadlock());
  // An earlier result or a user's table of either name stays as it is.
  for (const std::u16string& name : names) {
    const uint32_t exists = database->sdTableExists(name, password);
    if (exists == 0) return EnxBaseException::nxSetMessage(nxeTableAlreadyExists, u"Table already exists.");
    if (exists != nxeObjectNotFound && exists != nxeTableDoesNotExist) return exists;
  }
  std::unique_ptr<TnxFileMoves> intent;
  std::vector<std::u16string> built;
  TCursorPtr cursors[2];
  // A preparation that fails leaves neither table; the failure's message
  // outlives the clean-up.
  const auto fail = [&](uint32_t aResult) -> uint32_t {
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    for (TCursorPtr& cursor : cursors) cursor.reset();
    source.reset();
    for (const std::u16string& name : built) sdTableDelete(name, password);
    try {
      if (intent) intent->Abandon();
    } catch (...) {
      // The intent stays; the folder's next open drops what it names.
    }
    if (code == aResult) EnxBaseException::SetLastConvertedException(code, message);
    return aResult;
  };
  try {
    // A crash from here on removes both tables at the folder's next open.
    if (!sdFolder->InMemOnly() && scope == tsPersistent) {
      std::vector<std::u16string> files;
      for (int i = 0; i < 2; ++i)
        for (std::u16string& file : sdFolder->TableFileNames(names[i], dicts[i])) files.push_back(std::move(file));
      // A file of its own: another table's operation meanwhile must not
      // replace this intent.
      intent = std::make_unique<TnxFileMoves>(sdFolder->Path(), std::vector<TnxFileMove>{}, std::move(files),
                                              std::vector<TnxFileCheck>{}, nxTaskIntentName(names[0]));
      intent->AnnounceDiscards();
    }
    for (int i = 0; i < 2; ++i) {
      if (const uint32_t result = database->sdTableBuild(false, names[i], password, dicts[i], scope))
        return fail(result);
      built.push_back(names[i]);
      if (const uint32_t result = OpenExclusive(*database, names[i], password, cursors[i])) return fail(result);
    }
    auto container = std::make_unique<TnxServerRecoverContainer>(std::move(source), std::move(cursors[0]),
                                                                 std::move(cursors[1]), *database);
    container->Take(std::move(database), std::move(intent));
    aTaskInfo = nxCreateServerObject<TnxServerRecoverTaskInfo>(std::move(container)).release();
  } catch (const std::exception& e) {
    return fail(asoConvertException(e));
  }
  return 0;
}

uint32_t TnxServerDatabase::TableRecover(std::u16string_view aTableName, std::u16string_view aPassword,
                                         TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t result = nxValidateTablePath(aTableName, true, true)) return result;
  TnxAbstractTaskInfo* task = nullptr;
  const uint32_t result = Entry([&]() -> uint32_t { return sdTableRecover(aTableName, aPassword, task); });
  return StartTask(result, task, aTaskInfo);
}

}  // namespace revurov
