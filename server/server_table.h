// Server tables: the in-memory objects of one open table file set of a
// folder. The root table owns the files, the dictionary and the stream
// engine; every nested table descriptor becomes a child table over the
// root's files with sub-engines of its own.
//
// Contract:
// - A root table joins its folder's table list under its name when made
//   and leaves it when freed; the folder owns it meanwhile. A name left
//   empty becomes " UnnamedTable_" + the table's handle + "_" + a
//   process-wide count, so no two unnamed tables share a name.
// - Engines, block accesses and children exist only between a successful
//   srtCreateTable or srtOpenTable and srtCloseFiles.
// - srtCreateTable that fails leaves no files open, and deletes the files
//   of a persistent table; srtOpenTable that fails leaves none open.
// - Counts that several threads change (the engine's table count, cursor
//   counts, the guard sbtLockIsInactive) change atomically. A closer raises
//   the guard, asks srtCanClose with the value it expects, and frees the
//   table only when the guard reads 0 after it lowered it again.
// - The special-field hooks do nothing for a cache table or a layout
//   without the field; 10259 for an LSN or revision that changed, 9996 for
//   a RefNr that changed.
// - Lock order: the folder's tables padlock, a table's cursors padlock,
//   the engine's inactive-table padlock.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/abstract_database.h"
#include "engine/extendable_object.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/read_write_portal.h"
#include "storage/storage_types.h"

namespace revurov {

class TnxBaseAutoIncEngine;
class TnxBaseBlobEngine;
class TnxBaseFile;
class TnxBaseFulltextTableEngine;
class TnxBaseIndicesEngine;
class TnxBaseRecordEngine;
class TnxBaseStreamEngine;
class TnxBaseTableDescriptor;
class TnxBaseTransaction;
class TnxBlockAccess;
class TnxDataDictionary;
class TnxFieldsDescriptor;
class TnxServerDataDict;
class TnxServerEngine;
class TnxServerFolder;
class TnxServerRootTable;
class TnxServerTableCursor;
class TnxServerTransactionLevelTableLink;
class TnxTableLockContainer;
struct TnxSpecialFieldsInfo;

// Set while the recover operation opens a damaged table: no indices then.
bool& nxRecoverOpening() noexcept;

enum TnxServerTableState : uint8_t { stsLockedIncDone };

// Statistics of one table; zeroed first.
struct TnxServerTableStats {
  uint32_t stsUsedBlocks = 0;
  uint32_t stsAvailableBlocks = 0;
  TnxBlockSignature stsHeaderSignature{};
  std::u16string stsMainFileName;
  int64_t stsMainFileSize = 0;
  int32_t stsFileVersion = 0;
  int32_t stsOpenCursors = 0;
  int32_t stsOpenByDatabases = 0;
  int32_t stsOpenBySessions = 0;
  uint32_t stsNamedStreamCount = 0;
};

class TnxServerBaseTable : public TnxLockedOptionsExtendableServerObject {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerBaseTable, TnxLockedOptionsExtendableServerObject)
  // aParent is the parent table, or (for a root) its folder.
  TnxServerBaseTable(TnxExtendableServerObject* aParent, std::u16string_view aName,
                     TnxBaseTableDescriptor* aTableDescriptor);

  TnxServerRootTable* Root() const noexcept { return sbtRoot; }
  TnxServerBaseTable* TableParent() const noexcept { return sbtParent; }
  const std::u16string& Name() const noexcept { return sbtNameInScope; }
  TnxBaseTableDescriptor* TableDescriptor() const noexcept { return sbtTableDescriptor; }
  TnxFieldsDescriptor* FieldsDescriptor() const noexcept { return sbtFieldsDescriptor; }
  TnxPoolHandle RecordAllocator() const noexcept { return sbtRecordAllocator; }
  TnxBaseAutoIncEngine* AutoIncEngine() const noexcept { return sbtAutoIncEngine.get(); }
  TnxBaseRecordEngine* RecordEngine() const noexcept { return sbtRecordEngine.get(); }
  TnxBaseBlobEngine* BlobEngine() const noexcept { return sbtBlobEngine.get(); }
  TnxBaseIndicesEngine* IndicesEngine() const noexcept { return sbtIndicesEngine.get(); }
  TnxBaseIndicesEngine* InternalIndicesEngine() const noexcept { return sbtInternalIndicesEngine.get(); }
  // Null for a table without a fulltext descriptor.
  TnxBaseFulltextTableEngine* FulltextEngine() const noexcept { return sbtFulltextEngine.get(); }
  const std::vector<TnxBlockAccess*>& BlockAccess() const noexcept { return sbtBlockAccessList; }
  TnxTableLockContainer& Locks() const noexcept { return *sbtLocks; }
  int32_t ChildCount() const noexcept { return static_cast<int32_t>(sbtChildren.size()); }
  TnxServerBaseTable* Child(int32_t aIndex) const { return sbtChildren.at(static_cast<size_t>(aIndex)).get(); }
  bool IsCache() const;
  int32_t TableCursorCount() const noexcept { return sbtCursorCount.load(); }
  std::atomic<int32_t>& LockIsInactive() noexcept { return sbtLockIsInactive; }
  TnxPadlock& CursorsPadlock() noexcept { return sbtCursorsPadlock; }

  virtual std::u16string FullName() const;
  // Walks "a:b:c" from this table: "." stays, ".." goes up; 10024 (aTable
  // nil) for a missing child or ".." on a root.
  uint32_t GetChild(std::u16string_view aChildName, TnxServerBaseTable*& aTable);
  TnxLSN sbtCurrentLSN(TnxBaseTransaction* aTrans);
  uint32_t sbtGetStats(TnxServerTableStats& aStats);

  // Record hooks of a cursor's insert and modify. aNextLSN is the cursor's
  // next LSN, 0 when it cannot give one.
  void sbtInitLSNFields(TnxLSN aNextLSN, uint8_t* aRecord);
  uint32_t sbtCheckLSNFields(TnxLSN aNextLSN, const uint8_t* aStored, bool aSkipCompare, uint8_t* aNew);
  void sbtInitRecRev(uint8_t* aRecord);
  uint32_t sbtCheckRecRev(const uint8_t* aStored, uint8_t* aNew, bool aSkipCompare);
  void sbtClearRefNr(uint8_t* aRecord);
  uint32_t sbtCheckRefNr(const uint8_t* aStored, uint8_t* aNew, bool aForce, TnxRefNr aRefNr);

  // Cursors of this table (the cursor class keeps them under the padlock).
  void sbtCursorAttached() noexcept { sbtCursorCount.fetch_add(1); }
  void sbtCursorDetached() noexcept { sbtCursorCount.fetch_sub(1); }
  TnxServerTableCursor* CursorsHead() const noexcept { return sbtCursorsHead; }
  // No cursor on this table or a child; with aRequestClose every cursor is
  // asked to close first.
  bool sbtCursorsCanClose(bool aRequestClose);
  // For this table and its children: the blob and record engines forget
  // aTrans's changes; the lock containers give the table back.
  void sbtRollbackEngines(TnxBaseTransaction& aTrans);
  void sbtEndTransaction(TnxBaseTransaction* aTrans);

  TnxBaseServerEngine* OwningServerEngine() const override;
  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

protected:
  ~TnxServerBaseTable() override;

  void sbtSetDescriptor(TnxBaseTableDescriptor* aDescriptor);
  void sbtCreateBlockAccess();
  void sbtCreateEngines(TnxBaseTransaction* aTrans);
  void sbtCreateChildren(TnxBaseTransaction* aTrans);
  void sbtFreeChildren() noexcept;
  void sbtFreeEngines() noexcept;
  void sbtFreeBlockAccess() noexcept;
  // Every cursor still open on this table and its children, last first.
  void sbtFreeCursors() noexcept;

  TnxServerRootTable* sbtRoot = nullptr;
  TnxServerBaseTable* sbtParent = nullptr;
  std::vector<TnxServerObjectPtr<TnxServerBaseTable>> sbtChildren;
  std::map<std::u16string, TnxServerBaseTable*> sbtChildNames;  // upper-cased name -> child
  std::u16string sbtNameInScope;
  TnxPadlock sbtCursorsPadlock{true};
  // Kept by the cursors under sbtCursorsPadlock.
  friend class TnxServerTableCursor;
  TnxServerTableCursor* sbtCursorsHead = nullptr;
  TnxServerTableCursor* sbtCursorsTail = nullptr;
  std::atomic<int32_t> sbtCursorCount{0};
  std::atomic<int32_t> sbtLockIsInactive{0};
  std::unique_ptr<TnxTableLockContainer> sbtLocks;
  TnxBaseTableDescriptor* sbtTableDescriptor = nullptr;
  TnxFieldsDescriptor* sbtFieldsDescriptor = nullptr;
  TnxPoolHandle sbtRecordAllocator{};
  TnxSpecialFieldsInfo* sbtSFI = nullptr;  // one reference owned
  std::vector<std::unique_ptr<TnxBlockAccess>> sbtBlockAccess;
  std::vector<TnxBlockAccess*> sbtBlockAccessList;  // the views above, as the engines take them
  std::unique_ptr<TnxBaseAutoIncEngine> sbtAutoIncEngine;
  std::unique_ptr<TnxBaseRecordEngine> sbtRecordEngine;
  std::unique_ptr<TnxBaseBlobEngine> sbtBlobEngine;
  std::unique_ptr<TnxBaseIndicesEngine> sbtIndicesEngine;
  std::unique_ptr<TnxBaseIndicesEngine> sbtInternalIndicesEngine;
  std::unique_ptr<TnxBaseFulltextTableEngine> sbtFulltextEngine;
  uint8_t sbtStates = 0;
};

class TnxServerRootTable : public TnxServerBaseTable {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerRootTable, TnxServerBaseTable)
  // Joins aFolder's table list (raises 10031 when the name is taken).
  TnxServerRootTable(TnxServerFolder& aFolder, std::u16string_view aName, TnxOpenMode aOpenMode,
                     TnxShareMode aShareMode, TnxTableScope aTableScope);

  TnxServerFolder& Folder() const noexcept { return srtFolder; }
  const std::u16string& TableName() const noexcept { return srtName; }
  TnxServerDataDict& Dictionary() const noexcept { return *srtDictionary; }
  TnxBaseStreamEngine* StreamEngine() const noexcept { return srtStreamEngine.get(); }
  TnxTableScope TableScope() const noexcept { return srtTableScope; }
  TnxOpenMode OpenMode() const noexcept { return srtOpenMode; }
  TnxShareMode ShareMode() const noexcept { return srtShareMode; }
  bool ForServer() const noexcept { return srtForServer; }
  bool FileIsLink() const noexcept { return srtFileIsLink; }
  int32_t CursorCount() const noexcept { return srtCursorCount.load(); }
  int32_t FileCount() const noexcept { return static_cast<int32_t>(srtFiles.size()); }
  TnxBaseFile* File(int32_t aIndex) const { return srtFiles.at(static_cast<size_t>(aIndex)).get(); }
  TnxBaseFile* MainFile() const noexcept { return srtMainFile; }
  std::u16string ExtractPassword() const;
  TnxPadlock& CommitPadlock() noexcept { return srtCommitPadlock; }
  TnxInternalReadWritePortal& ContentPortal() noexcept { return srtContentPortal; }
  std::atomic<int32_t>& SnapshotBlockCount() noexcept { return srtSnapshotBlockCount; }
  // The engine's inactive list (changed under its padlock).
  uint64_t InactiveSince() const noexcept { return srtInactiveSince; }
  bool InInactiveTables() const noexcept { return srtInServerEngineInactiveTables.load(); }

  std::u16string FullName() const override;

  // See the contract; each answers 0 or a code.
  uint32_t srtCreateTable(TnxBaseTransaction& aTrans, const std::vector<std::u16string>& aPasswords,
                          std::u16string_view aTableName, uint8_t aAttributes,
                          const TnxDataDictionary& aDictionary, bool aForServer);
  uint32_t srtOpenTable(TnxBaseTransaction* aTrans, const std::vector<std::u16string>& aPasswords, bool aForServer,
                        uint8_t aAttributes, bool& aReadOnly);
  uint32_t srtCloseFiles();
  void srtDeleteFiles();

  // aAnyScope: temporary tables of every scope count; aExpected: the guard
  // value the caller holds.
  bool srtCanClose(bool aAnyScope, bool aRequestClose, int32_t aExpected);
  // With the root's cursors padlock held.
  void srtCursorAdded();
  void srtCursorRemoved();
  void srtAddToInactiveTables();
  void srtRemoveFromInactiveTables();

  // Table transaction links; the lists below change only under
  // srtTransLinksPadlock.
  TnxPadlock& TransLinksPadlock() noexcept { return srtTransLinksPadlock; }
  TnxServerTransactionLevelTableLink* TransLinksPendingUpgrade() const noexcept {
    return srtTransLinksPendingUpgrade;
  }
  TnxServerTransactionLevelTableLink* TransLinksPendingHead() const noexcept { return srtTransLinksPendingHead; }
  TnxServerTransactionLevelTableLink* TransLinksGrantedHead() const noexcept { return srtTransLinksGrantedHead; }
  TnxServerTransactionLevelTableLink* TransLinksSnapshotGrantedHead() const noexcept {
    return srtTransLinksSnapshotGrantedHead;
  }
  // Padlock held: any link, granted or waiting, on the table.
  bool srtHasTransLinks() const noexcept;
  // Padlock held: 0 grant, 1 wait, 2 fail (a conflict within the session).
  // A refusal is described into the link's reason.
  int32_t srtCheckTransLink(TnxServerTransactionLevelTableLink& aLink);
  // Padlock held: the pending upgrade alone when there is one, else the
  // FIFO from its head up to the first request that must still wait.
  void srtProcessPendingTransLinks();
  void srtFillTransLockReason(TnxServerTransactionLevelTableLink& aLink,
                              TnxServerTransactionLevelTableLink* aConflict);
  // The commit of a transaction that locked the table exclusively: commit
  // padlock and content portal as writer; then the lock containers' end of
  // aTrans and the portal left; then the commit padlock released.
  void srtCommitBegin();
  void srtCommitEnd(TnxBaseTransaction& aTrans);
  void srtCommitUnlock();

  uint32_t srtChangePassword(TnxBaseTransaction& aTrans, std::u16string_view aNewPassword);
  uint32_t srtAuthenticatePasswords(const std::vector<std::u16string>& aPasswords);
  void srtUpdateFilesMaxID();

  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  TnxBaseServerEngine* OwningServerEngine() const override;
  // Joins the folder's list (an unnamed table gets its name here).
  void AfterConstruction() override;

protected:
  ~TnxServerRootTable() override;

private:
  friend class TnxServerEngine;
  friend class TnxServerFolder;
  friend class TnxServerTransactionLevelTableLink;

  void srtGrantTransLink(TnxServerTransactionLevelTableLink& aLink);
  void srtFailTransLink(TnxServerTransactionLevelTableLink& aLink);

  TnxServerEngine& Engine() const noexcept;
  void srtRegister();
  void srtUnregister() noexcept;
  // File i of the table's dictionary: made, opened and given its header.
  void srtCreateFile(TnxBaseTransaction& aTrans, const std::vector<std::u16string>& aPasswords, int32_t aIndex);
  std::u16string srtFilePath(std::u16string_view aExtension) const;
  void srtSetupFile(TnxBaseFile& aFile, uint8_t aAttributes) const;
  uint32_t srtWriteDictionary(TnxBaseTransaction* aTrans);
  // Takes the file's letter case for the table's name (open of a name
  // that differs only in case).
  void srtTakeFileNameCase();

  TnxServerFolder& srtFolder;
  bool srtForServer = false;
  TnxTableScope srtTableScope = tsPersistent;
  std::u16string srtName;
  TnxOpenMode srtOpenMode = omReadWrite;
  TnxShareMode srtShareMode = smExclusive;
  std::atomic<int32_t> srtCursorCount{0};
  uint64_t srtInactiveSince = 0;
  std::atomic<bool> srtInServerEngineInactiveTables{false};
  TnxServerRootTable* srtServerEngineInactiveTablesPrev = nullptr;
  TnxServerRootTable* srtServerEngineInactiveTablesNext = nullptr;
  TnxPadlock srtCommitPadlock{false};
  TnxInternalReadWritePortal srtContentPortal;
  TnxPadlock srtTransLinksPadlock{true};
  // Table transaction links; kept by the transactions.
  TnxServerTransactionLevelTableLink* srtTransLinksPendingUpgrade = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksPendingHead = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksPendingTail = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksGrantedHead = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksGrantedTail = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksSnapshotGrantedHead = nullptr;
  TnxServerTransactionLevelTableLink* srtTransLinksSnapshotGrantedTail = nullptr;
  std::atomic<int32_t> srtSnapshotBlockCount{0};
  std::vector<std::unique_ptr<TnxBaseFile>> srtFiles;
  TnxBaseFile* srtMainFile = nullptr;
  bool srtFileIsLink = false;
  std::unique_ptr<TnxServerDataDict> srtDictionary;
  std::unique_ptr<TnxBaseStreamEngine> srtStreamEngine;
  bool srtRegistered = false;
};

}  // namespace revurov
