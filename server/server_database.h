// TnxServerDatabase: a database a session opened on one server folder. It
// keeps its folder active, lists the folder's tables, tells whether a root
// table exists, and answers its path, alias and the free space under it.
//
// Contract:
// - The database joins its folder's list after construction (the folder's
//   first database runs the journal check) and leaves it at destruction;
//   the folder then joins the engine's inactive list when it has none left.
// - Public operations check names first, then run under the session lock
//   with the database timeout as the deadline; exceptions become codes.
// - TableGetList lists each name once, sorted without case; names that are
//   no valid table names are left out, "$" names unless the database's
//   option ALLOWSYSTEMTABLEACCESS is "1".
// - TableExists answers for root tables, and for a child path asks the
//   table itself.
// - Tables named with two leading "#" live in the database's table mapper
//   and are seen only through it; names in angle brackets or with three
//   leading "#", and every table of an in-memory folder, are temporary
//   tables of the folder.
// - Options the database does not have come from its folder, then from its
//   session.
// - A table lookup that finds nothing asks the registered cursor sources in
//   order; a database destroyed with sources still registered detaches
//   them.
// - Statements need an SQL engine linked to the server engine (12289 "An
//   SQL Engine is required" without one); every path of StatementExecDirect
//   answers a code and lowers the engine's executing count again.
// - Cursor opens check the share modes of the table's cursors and make
//   the cursor under the folder's tables padlock, so a check and the
//   cursor it admits are one step. A conflict (10253) is checked once more
//   after the table's idle cursors were asked to close.
// - Table maintenance (server/server_database_maintenance.cpp): every
//   change is refused with 10501 in a database opened read-only, the
//   password change included. Field and index changes work through an
//   exclusive cursor; the folder's extenders are asked before the
//   database's and told after them. A rebuild of an index and a checksum
//   check run as tasks on a private database of the same session, which
//   shares this database's table mapper; a preparation that fails leaves
//   no task behind, and the caller waits at most 2000 ms for the start.
//   A recovery reads a damaged table block by block into two new tables
//   (server/server_recover_task.h). Pack, restructure and backup copy the
//   table through a task (server/server_restructure_tasks.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/sql_engine_classes.h"
#include "platform/interface.h"
#include "server/table_mapper.h"

namespace revurov {

class TnxBlobLinkHandler;
class TnxServerBaseTable;
class TnxServerDatabaseCursorSourceContainer;
class TnxServerFolder;
class TnxServerSession;

class TnxServerDatabase : public TnxSqlAbstractDatabase {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerDatabase, TnxSqlAbstractDatabase)
  TnxServerDatabase(TnxServerSession* aSession, TnxAbstractTransContext* aTransContext, std::u16string_view aAlias,
                    TnxServerFolder* aFolder, uint32_t aTimeout, TnxOpenMode aOpenMode, TnxShareMode aShareMode);

  TnxServerFolder* Folder() const noexcept { return sdFolder; }
  std::u16string Alias() override { return sdAlias; }
  bool IsCache() const override { return sdIsCache; }
  // Takes over a change of the folder's structure generation.
  int32_t StructureGeneration();
  // A table's fields or indices changed; aBumpFolder: the folder's
  // generation goes up too (tables the folder's databases share).
  void sdStructureChanged(bool aBumpFolder);
  TnxServerDatabase* FolderNext() const noexcept { return sdFolderNext; }

  uint32_t GetFreespace(int64_t& aFreeSpace) override;
  uint32_t GetPath(std::u16string& aPath) override;
  uint32_t GetAlias(std::u16string& aAlias) override;
  uint32_t TableExists(std::u16string_view aTableName, std::u16string_view aPassword, bool& aExists,
                       bool aAllowSystem) override;
  uint32_t TableGetList(platform::TStringList& aList) override;

  uint32_t TableBuild(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                      TnxDataDictionary* aDictionary, TnxTableScope aTableScope, bool aAllowSystem) override;
  uint32_t TablePack(std::u16string_view aTableName, std::u16string_view aPassword,
                     TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableBackup(std::u16string_view aTableName, std::u16string_view aPassword,
                       TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableRebuildIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                             std::u16string_view aIndexName, int32_t aIndexID,
                             TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableRestructure(std::u16string_view aTableName, std::u16string_view aPassword,
                            TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                            bool aAllowSystem, TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableAddField(std::u16string_view aTableName, std::u16string_view aPassword,
                         TnxFieldDescriptor* aFieldDesc) override;
  uint32_t TableAddIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                         TnxIndexDescriptor* aIndexDesc, bool aNewDefault) override;
  uint32_t TableDropIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                          std::u16string_view aIndexName, int32_t aIndexID) override;
  uint32_t TableRename(std::u16string_view aOldName, std::u16string_view aNewName,
                       std::u16string_view aPassword) override;
  uint32_t TableRecover(std::u16string_view aTableName, std::u16string_view aPassword,
                        TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableVerifyChecksum(std::u16string_view aTableName, std::u16string_view aPassword, bool aRaw,
                               bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t TableDelete(std::u16string_view aTableName, std::u16string_view aPassword) override;
  uint32_t TableEmpty(std::u16string_view aTableName, std::u16string_view aPassword) override;
  uint32_t TableChangePassword(std::u16string_view aTableName, std::u16string_view aOldPassword,
                               std::u16string_view aNewPassword) override;
  uint32_t TableGetDictionary(std::u16string_view aTableName, std::u16string_view aPassword,
                              TnxDataDictionary* aDictionary) override;
  uint32_t TableAutoIncGet(std::u16string_view aTableName, std::u16string_view aPassword,
                           uint32_t& aValue) override;
  // Each table with a cursor of this database changed since the previous
  // call (or the open), once.
  uint32_t GetChangedTables(platform::TStringList& aTables) override;
  uint32_t sdGetChangedTables(platform::TStringList& aTables);
  uint32_t CursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName, std::u16string_view aPassword,
                      TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout,
                      std::u16string_view aIndexName, int32_t aIndexID, bool aAllowSystem,
                      TnxCursorOpenOptions aOpenOptions, uint32_t aFilterTimeout,
                      const platform::TStringList* aMarkedBlobs) override;
  uint32_t CursorCacheOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName,
                           std::u16string_view aPassword, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                           uint32_t aTimeout, std::u16string_view aIndexName, int32_t aIndexID, bool aAllowSystem,
                           TnxCursorOpenOptions aOpenOptions, uint32_t aFilterTimeout) override;
  uint32_t StatementAlloc(TnxAbstractStatement*& aStatement, uint32_t aTimeout) override;
  uint32_t StatementExecDirect(uint32_t aTimeout, TnxStatementType aStatementType, std::u16string_view aQueryText,
                               platform::TStream* aPrepareStream, const TnxSqlParamList& aParams,
                               platform::TStream* aSetParamsStream, TnxAbstractCursor*& aCursor,
                               TnxOpenMode aOpenMode, platform::TStream* aExecStream,
                               platform::TStream* aGetParamsStream, TnxStatementExecDirectPhase& aPhase) override;
  uint32_t sdTableRebuildIndex(std::u16string_view aTableName, std::u16string_view aPassword,
                               std::u16string_view aIndexName, int32_t aIndexID,
                               TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t sdTableRestructure(std::u16string_view aTableName, std::u16string_view aPassword,
                              TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                              TnxAbstractTaskInfo*& aTaskInfo) override;
  TnxSqlAbstractCursor* sadCreateResultSet(TnxDataDictionary* aDictionary, uint32_t aTimeout) override;
  TnxIteratorResult sdIterateDictionaries(const TnxDictionaryIterator& aIterator, bool aAllowSystem,
                                          bool aIgnoreError, void* aCookie) override;
  void sadLockTables() override;
  void sadUnlockTables() override;

  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

  uint32_t RegisterCursorSource(InxDatabaseCursorSource* aSource, InxDatabaseCursorSourceControl*& aControl) override;
  InxTableMapper& TableMapper() const noexcept { return *sdTables; }
  // Reads the blobs the database's tables link to; nil once the database
  // is being freed.
  TnxBlobLinkHandler* BlobLinkHandler() const noexcept { return sdBlobLinkHandler.get(); }
  // The base names of the tables whose dictionaries ask for a pack.
  void GetTablesNeedingPack(std::vector<std::u16string>& aTables);

  // The folder's and the mapper's names, the valid ones kept (see the
  // contract).
  uint32_t sdTableGetList(platform::TStringList& aList, bool aAllowSystem);
  // 0 when the table exists, 8712 when not.
  uint32_t sdTableExists(std::u16string_view aTableName, std::u16string_view aPassword = {},
                         bool aForServer = false);
  // The session's passwords for the table, then aPassword.
  std::vector<std::u16string> sdBuildPasswords(std::u16string_view aTableName, std::u16string_view aPassword);
  // The table a path names ("root:child:..."), opened when needed; the
  // caller holds the folder's tables padlock and the mapper's lock.
  uint32_t sdGetTable(TnxServerBaseTable*& aTable, std::u16string_view aTableName, std::u16string_view aPassword,
                      bool aForServer, bool& aIsReadOnly, bool aInternal, bool aIsCache);
  uint32_t sdTableGetDictionary(std::u16string_view aTableName, std::u16string_view aPassword,
                                TnxDataDictionary& aDictionary);
  uint32_t sdTableBuild(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                        TnxDataDictionary& aDictionary, TnxTableScope aTableScope);
  uint32_t sdTableDelete(std::u16string_view aTableName, std::u16string_view aPassword);
  uint32_t sdTableRename(std::u16string_view aOldName, std::u16string_view aNewName, std::u16string_view aPassword);
  uint32_t sdTableEmpty(std::u16string_view aTableName, std::u16string_view aPassword);
  uint32_t sdStatementAlloc(TnxAbstractStatement*& aStatement, uint32_t aTimeout);
  // Finds the table, checks the share modes (unless aIgnoreExcl) and makes
  // a table cursor; a table not found goes to the cursor sources.
  uint32_t sdCursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName, std::u16string_view aPassword,
                        bool aForServer, TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aIgnoreExcl,
                        uint32_t aTimeout, std::u16string_view aIndexName, int32_t aIndexID, bool aInternal,
                        bool aIsCache);

protected:
  ~TnxServerDatabase() override;
  uint32_t esoOptionGetParent(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t esoOptionListParent(platform::TStringList& aList) override;

private:
  friend class TnxServerFolder;
  friend class TnxServerDatabaseCursorSourceContainer;
  friend void nxDetachCursorSources(TnxServerDatabase& aDatabase) noexcept;

  template <class F>
  uint32_t Entry(F&& aWork) {
    try {
      return ConvertingEntry(std::forward<F>(aWork));
    } catch (const std::exception& e) {
      return asoConvertException(e);
    }
  }
  // A database of the same session and folder for a task to own; it
  // shares this database's table mapper.
  uint32_t sdOpenPrivateDatabase(TnxServerObjectPtr<TnxServerDatabase>& aDatabase);
  uint32_t sdTableVerifyChecksum(std::u16string_view aTableName, std::u16string_view aPassword, bool aRaw,
                                 bool aForceRecheck, TnxAbstractTaskInfo*& aTaskInfo);
  uint32_t sdTableRecover(std::u16string_view aTableName, std::u16string_view aPassword,
                          TnxAbstractTaskInfo*& aTaskInfo);
  // Pack (aDictionary nil) and restructure: a target built beside the
  // source, copied into and swapped in (server_database_restructure.cpp).
  uint32_t sdTableCopyTask(std::u16string_view aTableName, std::u16string_view aPassword,
                           TnxDataDictionary* aDictionary, TnxBaseTableMapperDescriptor* aMapperDesc,
                           TnxAbstractTaskInfo*& aTaskInfo);
  uint32_t sdTableBackup(std::u16string_view aTableName, std::u16string_view aPassword,
                         TnxAbstractDatabase* aTargetDatabase, TnxAbstractTaskInfo*& aTaskInfo);
  // A table built, deleted or renamed: the database's structure changed.
  void TakeFolderGeneration(std::u16string_view aTableName);
  void sdRemoveFromFolder() noexcept;

  std::u16string sdAlias;
  TnxServerFolder* sdFolder = nullptr;
  bool sdIsCache = false;
  bool sdInFolder = false;
  TnxServerDatabase* sdFolderPrev = nullptr;
  TnxServerDatabase* sdFolderNext = nullptr;
  TnxServerSession* sdSession = nullptr;
  platform::TInterfacePtr<InxTableMapper> sdTables;
  TnxServerObjectPtr<TnxBlobLinkHandler> sdBlobLinkHandler;
  TnxServerDatabaseCursorSourceContainer* sdCursorSourceHead = nullptr;
  TnxServerDatabaseCursorSourceContainer* sdCursorSourceTail = nullptr;
  TnxLSN sdLastCheckLSN = 0;
  int32_t sdStructureGeneration = 0;
  int32_t sdFolderStructureGeneration = 0;
};

}  // namespace revurov
