// The server database's pack, restructure and backup: each prepares a
// target table and a task that copies the records into it.
#include <memory>
#include <string>
#include <utility>

#include "dictionary/data_dictionary.h"
#include "engine/name_rules.h"
#include "fieldmap/table_mapper_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/lock_guard.h"
#include "server/server_data_dict.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_restructure_tasks.h"
#include "server/server_session.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/table_file_moves.h"

namespace revurov {

namespace {

using TCursorPtr = TnxServerObjectPtr<TnxServerTableCursor>;
using TDatabasePtr = TnxServerObjectPtr<TnxServerDatabase>;

uint32_t DatabaseReadOnly() {
  return EnxBaseException::nxSetMessage(nxeDatabaseReadOnly, u"Database is read only.");
}

uint32_t OpenCursor(TnxServerDatabase& aDatabase, std::u16string_view aTableName, std::u16string_view aPassword,
                    TnxOpenMode aOpenMode, TnxShareMode aShareMode, TCursorPtr& aCursor) {
  TnxAbstractCursor* opened = nullptr;
  const uint32_t result = aDatabase.sdCursorOpen(opened, aTableName, aPassword, false, aOpenMode, aShareMode, false,
                                                 aDatabase.Timeout(), u"", -1, false, false);
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

uint32_t AskFolderAndDatabase(TnxServerFolder& aFolder, TnxServerDatabase& aDatabase, TnxEngineAction aAction,
                              TnxEngineArgs aArgs) {
  if (const uint32_t veto = aFolder.NotifyExtenders(aAction, true, aArgs)) return veto;
  return aDatabase.NotifyExtenders(aAction, true, aArgs);
}

uint32_t StartCopyTask(uint32_t aResult, TnxAbstractTaskInfo* aTask, TnxAbstractTaskInfo*& aTaskInfo) {
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

// The target built so far goes again unless the task took it over.
struct TargetGuard {
  TnxServerDatabase* Database = nullptr;
  std::u16string Name;
  std::u16string Password;
  std::u16string Intent;
  TCursorPtr* Cursor = nullptr;
  bool Kept = false;
  ~TargetGuard() {
    if (Kept || !Database) return;
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    if (Cursor) Cursor->reset();
    if (!Name.empty()) Database->sdTableDelete(Name, Password);
    Database->Folder()->sfDropTaskIntent(Intent);
    EnxBaseException::SetLastConvertedException(code, message);
  }
};

}  // namespace

uint32_t TnxServerDatabase::sdTableCopyTask(std::u16string_view aTableName, std::u16string_view aPassword,
                                            TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                                            TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  const bool pack = aDictionary == nullptr;
  if (!pack && aTableName.find(nxChildNameSeparator) != std::u16string_view::npos)
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"The child table \"%s\" cannot be restructured",
                                          {std::u16string(aTableName)});
  if (OpenMode() == omReadOnly) return DatabaseReadOnly();
  if (!pack && !aMapperDesc) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No mapping given");
  TDatabasePtr database;
  if (const uint32_t result = sdOpenPrivateDatabase(database)) return result;
  TCursorPtr source;
  if (const uint32_t result = OpenCursor(*database, aTableName, aPassword, omReadOnly, smExclusive, source))
    return result;
  TnxServerRootTable& root = *source->Table()->Root();
  TnxTableScope scope = root.TableScope();
  if (pack) {
    const TnxEngineArg args[] = {aTableName, static_cast<void*>(&scope)};
    if (const uint32_t veto = AskFolderAndDatabase(*sdFolder, *this, eaTablePack, args)) return veto;
  } else {
    const TnxEngineArg args[] = {aTableName, static_cast<void*>(aDictionary), static_cast<void*>(aMapperDesc)};
    if (const uint32_t veto = AskFolderAndDatabase(*sdFolder, *this, eaTableRestructure, args)) return veto;
  }
  const std::u16string password = root.ExtractPassword();
  if (!pack && root.SnapshotBlockCount().load() > 0)
    return EnxBaseException::nxSetMessage(nxeTableIsOpen, u"Table is open.");
  if (root.FileIsLink()) return EnxBaseException::nxSetMessage(nxeTableReadOnly, u"Table is read only.");

  TnxDataDictionary dict;
  dict.Assign(pack ? static_cast<TnxDataDictionary*>(&root.Dictionary()) : aDictionary);
  dict.CheckValid(true);
  TargetGuard guard{database.get(), {}, password, {}, nullptr};
  TCursorPtr target;
  guard.Cursor = &target;
  {
    TnxPadlockGuard tables(sdFolder->TablesPadlock());
    std::u16string name;
    if (const uint32_t result = sdFolder->sfTableMakeUniqueName(pack ? u"$PACK" : u"$REST", name)) return result;
    if (scope == tsPersistent) {
      guard.Intent = nxTaskIntentName(name);
      if (const uint32_t result = sdFolder->sfAnnounceTaskTarget(guard.Intent, name, dict)) return result;
    }
    if (const uint32_t result = database->sdTableBuild(false, name, password, dict, scope)) return result;
    guard.Name = name;
    if (const uint32_t result = OpenCursor(*database, name, password, omReadWrite, smExclusive, target))
      return result;
  }
  std::unique_ptr<TnxTableMapperDescriptor> byName;
  if (pack) {
    byName = std::make_unique<TnxTableMapperDescriptor>();
    byName->MapAllTablesAndFieldsByName(root.Dictionary(), dict, dlaFail);
  }
  TDatabasePtr none;
  auto container = std::make_unique<TnxServerRestructureContainer>(
      source, target, pack ? *byName : *aMapperDesc, database, none, guard.Intent);
  guard.Kept = true;
  aTaskInfo = nxCreateServerObject<TnxServerRestructureTaskInfo>(std::move(container)).release();
  return 0;
}

uint32_t TnxServerDatabase::TablePack(std::u16string_view aTableName, std::u16string_view aPassword,
                                      TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t result = nxValidateTableName(aTableName, true, true)) return result;
  TnxAbstractTaskInfo* task = nullptr;
  const uint32_t result =
      Entry([&]() -> uint32_t { return sdTableCopyTask(aTableName, aPassword, nullptr, nullptr, task); });
  return StartCopyTask(result, task, aTaskInfo);
}

uint32_t TnxServerDatabase::sdTableRestructure(std::u16string_view aTableName, std::u16string_view aPassword,
                                               TnxDataDictionary* aDictionary,
                                               TnxBaseTableMapperDescriptor* aMapperDesc,
                                               TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (!aDictionary) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No dictionary given");
  return sdTableCopyTask(aTableName, aPassword, aDictionary, aMapperDesc, aTaskInfo);
}

uint32_t TnxServerDatabase::TableRestructure(std::u16string_view aTableName, std::u16string_view aPassword,
                                             TnxDataDictionary* aDictionary,
                                             TnxBaseTableMapperDescriptor* aMapperDesc, bool aAllowSystem,
                                             TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t result = nxValidateTablePath(aTableName, false, aAllowSystem)) return result;
  TnxAbstractTaskInfo* task = nullptr;
  const uint32_t result = Entry(
      [&]() -> uint32_t { return sdTableRestructure(aTableName, aPassword, aDictionary, aMapperDesc, task); });
  return StartCopyTask(result, task, aTaskInfo);
}

uint32_t TnxServerDatabase::sdTableBackup(std::u16string_view aTableName, std::u16string_view aPassword,
                                          TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  auto* targetDatabase = dynamic_cast<TnxServerDatabase*>(aTargetDatabase);
  if (!targetDatabase)
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"The target is no database of this engine");
  if (targetDatabase->sdSession != sdSession)
    return EnxBaseException::nxSetMessage(nxeDifferentSessions, u"Objects are not owned by the same session.");
  if (targetDatabase->sdFolder == sdFolder)
    return EnxBaseException::nxSetMessage(nxeSameTable,
                                          u"The cursors may not reference the same table for this operation.");
  if (targetDatabase->OpenMode() == omReadOnly) return DatabaseReadOnly();
  {
    const TnxEngineArg args[] = {aTableName, static_cast<void*>(aTargetDatabase)};
    if (const uint32_t veto = NotifyExtenders(eaTableBackup, true, args)) return veto;
  }
  TDatabasePtr sourceDatabase;
  if (const uint32_t result = sdOpenPrivateDatabase(sourceDatabase)) return result;
  TCursorPtr source;
  if (const uint32_t result = OpenCursor(*sourceDatabase, aTableName, aPassword, omReadOnly, smShared, source))
    return result;
  TnxServerRootTable& root = *source->Table()->Root();
  const std::u16string password = root.ExtractPassword();
  TDatabasePtr database;
  if (const uint32_t result = targetDatabase->sdOpenPrivateDatabase(database)) return result;
  TnxServerFolder& folder = *targetDatabase->sdFolder;

  TnxDataDictionary dict;
  dict.AssignOnlyFields(root.Dictionary());
  dict.CheckValid(true);
  const std::u16string name = source->sbcGetRootName();
  const TnxTableScope scope = root.TableScope();
  TargetGuard guard{database.get(), {}, password, {}, nullptr};
  TCursorPtr target;
  guard.Cursor = &target;
  {
    TnxPadlockGuard tables(folder.TablesPadlock());
    if (scope == tsPersistent) {
      guard.Intent = nxTaskIntentName(name);
      if (const uint32_t result = folder.sfAnnounceTaskTarget(guard.Intent, name, dict)) return result;
    }
    if (database->sdTableExists(name) == 0)
      return EnxBaseException::nxSetMessage(nxeTableAlreadyExists, u"Table already exists.");
    if (const uint32_t result = database->sdTableBuild(false, name, password, dict, scope)) return result;
    guard.Name = name;
    if (const uint32_t result = OpenCursor(*database, name, password, omReadWrite, smExclusive, target))
      return result;
  }
  TnxTableMapperDescriptor byName;
  byName.MapAllTablesAndFieldsByName(root.Dictionary(), dict, dlaFail);
  auto container =
      std::make_unique<TnxServerRestructureContainer>(source, target, byName, sourceDatabase, database, guard.Intent);
  guard.Kept = true;
  aTaskInfo = nxCreateServerObject<TnxServerRestructureTaskInfo>(std::move(container)).release();
  return 0;
}

uint32_t TnxServerDatabase::TableBackup(std::u16string_view aTableName, std::u16string_view aPassword,
                                        TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo) {
  aTaskInfo = nullptr;
  if (const uint32_t result = nxValidateTableName(aTableName, true, true)) return result;
  TnxAbstractTaskInfo* task = nullptr;
  const uint32_t result =
      Entry([&]() -> uint32_t { return sdTableBackup(aTableName, aPassword, aTargetDatabase, task); });
  return StartCopyTask(result, task, aTaskInfo);
}

}  // namespace revurov
