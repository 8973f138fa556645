// TnxServerFolder: one database directory of the in-process engine. Every
// database opened on the directory belongs to it; it owns the directory's
// transaction manager and answers the file-level questions about tables:
// does one exist, which exist, which name is still free.
//
// Contract:
// - The engine owns its folders, keyed by path compared byte for byte (as
//   the file system compares names); a folder lives from the first database
//   open on its path until the cleanup timer, a close request or the
//   engine's stop frees it while it has no database.
// - An empty path or one beginning with "#" makes an in-memory folder: it
//   never touches the disk and lists no table files.
// - A folder is read-only with the engine's seoReadOnly (disk folders), or
//   when its transaction manager cannot write "nxTrans.cfg".
// - Table operations report their failures as codes: 10501 read-only
//   folder, 10031 an open table that cannot close, 13060 the name is taken,
//   10039 an invalid name, 10024 " Root table \"N\" not found", 10763 a
//   link or an overwrite that could not remove the old table, 12289 a
//   persistent table in memory, 15393 / 15394 a file that would not go or
//   move.
// - A rename, a delete and an overwriting build move the table's files as
//   one step (server/table_file_moves.h): after a crash the folder's next
//   open leaves each table whole under exactly one name.
// - A delete refused for the password deletes nothing; a table whose
//   dictionary is damaged loses its main file.
// - Table names compare without ASCII case: a name finds its main file by
//   its exact name, else by the one file of the folder that matches it
//   ignoring ASCII case; two such files answer 10024 naming both. A name
//   given with "." and the table extension (any case) is taken without it.
// - Lock order: the engine's folder padlock, then the databases or tables
//   padlock, then the engine's inactive-list padlock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>
#include <string>
#include <string_view>

#include "engine/abstract_database.h"
#include "engine/extendable_object.h"
#include "lowlevel/sync/padlock.h"

namespace revurov {

namespace platform {
class TStringList;
}

class TnxServerDatabase;
class TnxDataDictionary;
class TnxServerEngine;
class TnxServerRootTable;
class TnxServerTransactionMgr;

class TnxServerFolder : public TnxLockedOptionsExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerFolder, TnxLockedOptionsExtendableServerObject)
  // Raises when the transaction manager cannot be made (see its contract).
  TnxServerFolder(TnxServerEngine& aServerEngine, std::u16string_view aPath, bool aIsCache);

  TnxServerEngine& Engine() const noexcept { return sfServerEngine; }
  TnxBaseServerEngine* OwningServerEngine() const override;
  const std::u16string& Path() const noexcept { return sfPath; }
  bool IsCache() const noexcept { return sfIsCache; }
  bool InMemOnly() const noexcept { return sfInMemOnly; }
  bool ReadOnly() const noexcept { return sfReadOnly.load(std::memory_order_acquire); }
  void SetReadOnly() noexcept { sfReadOnly.store(true, std::memory_order_release); }
  bool ForceFailSafe() const noexcept { return sfForceFailSafe; }
  TnxServerTransactionMgr& TransManager() const noexcept { return *stTransManager; }
  int32_t StructureGeneration() const noexcept { return sfStructureGeneration.load(); }
  void BumpStructureGeneration() noexcept { sfStructureGeneration.fetch_add(1); }

  // The databases, under DatabasesPadlock.
  TnxPadlock& DatabasesPadlock() noexcept { return sfDatabasesPadlock; }
  TnxServerDatabase* DatabasesHead() const noexcept { return sfDatabasesHead; }
  bool HasDatabases();
  // Runs the journal check once for the folder's first database.
  void AddDatabase(TnxServerDatabase* aDatabase, std::u16string_view aAlias);
  void RemoveDatabase(TnxServerDatabase* aDatabase);

  TnxPadlock& TablesPadlock() noexcept { return sfTablesPadlock; }
  void LockTables() { sfTablesPadlock.Lock(); }
  void UnlockTables() { sfTablesPadlock.Unlock(); }

  // Without databases (and, once tables are open here, with only
  // closable ones).
  bool sfIsInactive(bool aIgnoreKeepInMemory, bool aRequestClose);
  // Joins or leaves the engine's inactive list after a database came or went.
  void sfCheckInactive();

  // 0 when the table exists, 8712 when not, 10024 when two files match it.
  uint32_t sfTableExists(std::u16string_view aTableName);
  // aBaseName, else aBaseName followed by 1, 2, ...: the first that does
  // not exist.
  uint32_t sfTableMakeUniqueName(std::u16string_view aBaseName, std::u16string& aTableName);
  // Appends the folder's table names, sorted without case, once each.
  uint32_t sfTableGetList(platform::TStringList& aList);
  // aTableName without "." and the table extension (any case).
  std::u16string StripTableExtension(std::u16string_view aTableName) const;

  // Open root tables, under the tables padlock. A table joins the list
  // when made and leaves it when freed; what is left goes with the folder.
  TnxServerRootTable* FindTable(std::u16string_view aTableName);
  int32_t TableCount();
  // The dictionary of a table, open or not (see the contract for the codes).
  uint32_t sfTableGetDictionary(std::u16string_view aTableName, const std::vector<std::u16string>& aPasswords,
                                bool aForServer, TnxDataDictionary& aDict, bool* aFileIsLink = nullptr,
                                std::u16string* aPassword = nullptr);
  uint32_t sfTableBuild(bool aOverWrite, std::u16string_view aTableName, std::u16string_view aPassword,
                        bool aForServer, const TnxDataDictionary& aDictionary, TnxTableScope aTableScope);
  uint32_t sfTableDelete(std::u16string_view aTableName, const std::vector<std::u16string>& aPasswords,
                         bool aForServer);
  uint32_t sfTableEmpty(std::u16string_view aTableName, const std::vector<std::u16string>& aPasswords,
                        bool aForServer);
  uint32_t sfTableRename(std::u16string_view aOldName, std::u16string_view aNewName,
                         const std::vector<std::u16string>& aPasswords, bool aForServer);
  // Stores aTableName (or aStoredName when given) in the table's
  // "$TableName" stream (after a rename).
  uint32_t sfTableWriteName(std::u16string_view aTableName, const std::vector<std::u16string>& aPasswords,
                            bool aForServer, std::u16string_view aStoredName = {});
  // ---- a long task's target (server_folder_swap.cpp); nothing to do in
  // an in-memory folder ----
  // The files aTableName of aDict will have are deleted by an opening
  // after a crash, until the intent aIntentName is settled or dropped.
  uint32_t sfAnnounceTaskTarget(std::u16string_view aIntentName, std::u16string_view aTableName,
                                const TnxDataDictionary& aDict);
  // The table stays: its files are made durable, then the intent goes.
  uint32_t sfSettleTaskTarget(std::u16string_view aIntentName, std::u16string_view aTableName,
                              const std::vector<std::u16string>& aPasswords);
  // With aKeepPending an intent whose steps are pending stays for the
  // next opening.
  void sfDropTaskIntent(std::u16string_view aIntentName, bool aKeepPending = false) noexcept;
  // aTarget's files take aSource's names, the source going through a
  // backup name that is deleted last: one intent under aIntentName, so a
  // crash leaves the old table or the new one under aSource. A failure
  // before the backup's deletion leaves aSource as it was and aTarget
  // deleted.
  uint32_t sfTableSwap(std::u16string_view aSource, std::u16string_view aTarget,
                       const std::vector<std::u16string>& aPasswords, std::u16string_view aIntentName);
  // A table known by another name than its files' (database-scope and
  // temporary tables).
  void sfSetNameInScope(TnxServerRootTable& aTable, std::u16string_view aName);
  // The names of a table's files in the folder, main file first.
  std::vector<std::u16string> TableFileNames(std::u16string_view aStem, const TnxDataDictionary& aDict) const;
  // Builds a table's files and commits them: 0 with the table open, else
  // its code with neither files nor table left.
  uint32_t sfTableCreate(std::u16string_view aTableName, std::u16string_view aPassword, bool aForServer,
                         const TnxDataDictionary& aDictionary, TnxTableScope aTableScope, TnxServerRootTable*& aTable);
  // The open table of that name, else the table opened from its files.
  uint32_t sfTableOpen(std::u16string_view aTableName, const std::vector<std::u16string>& aPasswords,
                       TnxOpenMode aOpenMode, TnxShareMode aShareMode, bool aForServer, TnxServerRootTable*& aTable,
                       bool& aReadOnly);
  // Raises the table's guard, frees it when srtCanClose holds with the
  // value the guard then has (1 for a caller holding no guard itself);
  // true when it was freed.
  bool sfCloseIfClosable(TnxServerRootTable* aTable, bool aAnyScope, bool aRequestClose, int32_t aExpected);
  // 10241 when the tables padlock is busy.
  uint32_t sfCloseInactiveTables();

  // The engine's inactive list (guarded by its padlock).
  uint64_t InactiveSince() const noexcept { return sfInactiveSince; }
  bool InInactiveList() const noexcept { return sfInServerEngineInactiveFolders; }

  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

protected:
  ~TnxServerFolder() override;

private:
  friend class TnxServerEngine;
  friend class TnxServerRootTable;
  void FreeAllTables() noexcept;

  uint32_t CreateTableAs(std::u16string_view aFileStem, std::u16string_view aStoredName,
                         std::u16string_view aPassword, bool aForServer, const TnxDataDictionary& aDictionary,
                         TnxTableScope aTableScope, TnxServerRootTable*& aTable);
  // A persistent table rebuilt under a name of its own, then swapped in.
  uint32_t ReplaceTable(std::u16string_view aName, std::u16string_view aPassword, bool aForServer,
                        const TnxDataDictionary& aDictionary);
  // The table's name as its main file spells it.
  std::u16string DiskStem(std::u16string_view aName);
  // 0 with the main file's name, 8712 without one, 10024 for two.
  uint32_t FindMainFile(std::u16string_view aName, std::u16string& aFileName);

  TnxServerEngine& sfServerEngine;
  std::u16string sfPath;
  bool sfInMemOnly = false;
  std::atomic<bool> sfReadOnly{false};
  bool sfJournalChecked = false;
  std::atomic<int32_t> sfInMemoryCount{0};
  std::unique_ptr<TnxServerTransactionMgr> stTransManager;
  bool sfForceFailSafe = false;
  TnxPadlock sfDatabasesPadlock{true};
  TnxServerDatabase* sfDatabasesHead = nullptr;
  TnxServerDatabase* sfDatabasesTail = nullptr;
  TnxPadlock sfTablesPadlock{true};
  // Keyed by the name in upper case; the tables unlink themselves.
  std::map<std::u16string, TnxServerRootTable*> sfTables;
  uint64_t sfInactiveSince = 0;
  bool sfInServerEngineInactiveFolders = false;
  TnxServerFolder* sfServerEngineInactiveFoldersPrev = nullptr;
  TnxServerFolder* sfServerEngineInactiveFoldersNext = nullptr;
  bool sfLockedIncDone = false;
  bool sfIsCache = false;
  std::atomic<int32_t> sfStructureGeneration{0};
};

}  // namespace revurov
