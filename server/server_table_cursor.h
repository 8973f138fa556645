// TnxServerTableCursor: the in-process engine's cursor over one open table.
// It keeps its position as an index path on one of the table's indices (or
// on the record order), an optional key range on that index, and the
// engines writing needs.
//
// Contract:
// - A cursor is in its table's cursor list from construction until
//   destruction; the list, the table's count and the root's count change
//   under the table's cursors padlock.
// - stcSelfRefNr is 0x7FFFFFFF in the high word and the cursor's handle in
//   the low word: no two live cursors share it, also when one takes the
//   memory of a freed one. It is set once the handle is given out.
// - Creation never fails on an index: a missing one falls back to the
//   default index, then to the record order. A cache cursor on a table that
//   is not cacheable raises 10756. Stored keys of another NLS version make
//   the cursor read-only with 12040.
// - Destruction clears the cursor's locks in the table's lock container
//   before it leaves its transaction link. The last cursor of an unnamed
//   result-set table frees that table under the folder's tables padlock,
//   with the table's guard raised around the removal.
// - A duplicate opens on the same table (share modes ignored), read-only
//   when this cursor is unless aForceWrite; it takes this cursor's index,
//   position and range and holds an inactive copy of its filter.
// - Content locks: outside a transaction a shared one is a read on the
//   root's content portal (none for a cursor that opened the table
//   exclusively), an exclusive one 10257; inside, the cursor works under
//   its transaction's link on the root until the level ends. A link's
//   state and cursor list are read and changed under the root's
//   srtTransLinksPadlock. Each end undoes exactly what its begin took.
// - Stream writes and deletes and the password change run in a
//   transaction of their own under the writer lock; a password change that
//   does not commit leaves the old password in force.
// - Workers of reading, writing, positioning, blobs and locks that are not
//   built here answer 12289.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "index/index_engines.h"
#include "server/server_base_cursor.h"
#include "server/server_transaction.h"

namespace revurov {

class TnxBaseBlobHandler;
class TnxBaseBulkBuilder;
class TnxFieldDescriptor;
class TnxIndexDescriptor;
class TnxBaseFulltextCursorEngine;
class TnxBaseRefIntegrityEngine;
class TnxBaseIndexPath;
class TnxKeyFieldsSource;
class TnxServerBaseTable;
class TnxServerRootTable;

inline constexpr TnxRefNr nxSelfRefNrHigh = TnxRefNr(0x7FFFFFFF) << 32;

class TnxServerTableCursor;

// What the recover task's block walk shares with the record callback.
struct TnxRecoverContext {
  PnxRecordBuffer rcRecord = nullptr;  // the record the record engine found
  TnxServerTableCursor* rcTarget = nullptr;
  TnxServerTableCursor* rcFailed = nullptr;
  uint32_t rcResult = 0;
  // Transaction levels the recovery holds open on the target's context.
  int32_t rcTransLevels = 0;
  const std::vector<int32_t>* rcBlobFields = nullptr;  // nil: none
  int32_t rcFileIndex = 0;
  TnxBlockNumber rcBlockNumber = 0;
  // Records that failed on both tables, and the first one's failure.
  uint32_t rcLostRecords = 0;
  uint32_t rcFirstLoss = 0;
  std::u16string rcFirstLossMessage;
};

class TnxServerTableCursor : public TnxServerBaseCursor {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerTableCursor, TnxServerBaseCursor)

  TnxServerTableCursor(TnxServerDatabase* aDatabase, TnxServerBaseTable* aTable, uint32_t aTimeout,
                       TnxOpenMode aOpenMode, TnxShareMode aShareMode, std::u16string_view aIndexName,
                       int32_t aIndexID, bool aBlobCache, bool aInternal);
  // A cursor on a new unnamed temporary table of aDictionary's layout;
  // raises the folder's code when the table cannot be made.
  struct ResultSetTag {};
  // The result-set cursor (see CreateResultSet).
  TnxServerTableCursor(ResultSetTag, TnxServerDatabase* aDatabase, TnxServerBaseTable* aTable, uint32_t aTimeout);
  static TnxServerObjectPtr<TnxServerTableCursor> CreateResultSet(TnxServerDatabase* aDatabase,
                                                                  TnxDataDictionary* aDictionary, uint32_t aTimeout);

  TnxServerBaseTable* Table() const noexcept { return stcTable; }
  TnxServerTableCursor* TableNext() const noexcept { return stcTableNext; }
  TnxShareMode ShareMode() const noexcept { return stcShareMode; }
  TnxRefNr SelfRefNr() const noexcept { return stcSelfRefNr; }
  TnxBaseIndexEngine* IndexEngine() const noexcept { return stcIndexEngine; }
  TnxBaseIndexPath* IndexPath() const noexcept { return stcIndexPath.get(); }
  const TnxRangeInfo& RangeStart() const noexcept { return stcRangeStart; }
  const TnxRangeInfo& RangeEnd() const noexcept { return stcRangeEnd; }
  // Nil for the cached kind, which is not made yet.
  TnxBaseBlobHandler* BlobHandler() const noexcept { return stcBlobHandler.get(); }
  TnxBaseFulltextCursorEngine* FulltextEngine() const noexcept { return stcFulltextEngine.get(); }
  // Nil for a table without references and for a cache cursor.
  TnxBaseRefIntegrityEngine* RefIntEngine() const noexcept { return stcRefIntEngine.get(); }
  // The references answer first; a veto of theirs is the answer.
  uint32_t NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override;
  TnxServerTransLinkCursor& TransLinkPlace() noexcept { return stcTransLinkPlace; }
  // The open's filter time limit, set before the cursor is handed out.
  void SetFilterTimeout(uint32_t aTimeout) noexcept { sbcFilterTimeout = aTimeout; }
  TnxBaseIndexEngine* SeqAccessIndexEngine() const noexcept { return stcSeqAccessIndexEngine; }
  TnxBaseIndexEngine* LSNIndexEngine() const noexcept { return stcLSNIndexEngine; }
  TnxBaseIndexEngine* GraveyardLSNIndexEngine() const noexcept { return stcGraveyardLSNIndexEngine; }
  TnxBaseIndexEngine* GraveyardRefNrIndexEngine() const noexcept { return stcGraveyardRefNrIndexEngine; }

  // ---- catalogue ----
  TnxDataDictionary* _Dictionary() override;
  TnxBaseTableDescriptor* TableDescriptor() override;
  std::u16string FullName() override;
  std::u16string AliasName() override;
  std::u16string sbcGetRootName() override;
  TnxServerTableStats sbcGetStats() override;
  void sbcSetOnRequestClose(platform::TInterfacePtr<InxRequestCloseHandler> aHandler) override;
  std::u16string sbcExtractPassword() override;

  // ---- index, position and range (the least creation needs) ----
  uint32_t sbcSwitchToIndex(std::u16string_view aIndexName, int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override;
  uint32_t sbcGetIndexID(int32_t& aIndexID) override;
  TnxIndexPathPosition sbcGetPosition() override;
  void sbcSetToBegin() override;
  void sbcSetToEnd() override;
  void sbcRangeReset() override;
  uint32_t sbcDuplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor, bool aForceWrite) override;

  // ---- positioning, ranges and keys (server_table_cursor_position.cpp) ----
  // Bookmarks, keys and records handed in come from clients: a bookmark is
  // read no further than aSize, a direct key no further than the key
  // length; a field count above the key's fields, or a negative count or
  // partial length, answers 9986. Every content lock taken ends on every
  // path. A failed index switch leaves index, path and range as they were.
  uint32_t sbcGetBookmarkCache(PnxBookmarkBuffer aBookmark, uint32_t aSize) override;
  uint32_t SavePath() override;
  uint32_t RestorePath() override;
  uint32_t BuildKey(PnxRecordBuffer aData, PnxKeyBuffer aKey, bool aIgnoreFilter) override;
  uint32_t KeyToRecord(PnxKeyBuffer aKey, PnxRecordBuffer aData) override;
  // Where aKey lies against the range: -1 before, 1 after, 0 inside (also
  // without index).
  int stcCheckRange(const uint8_t* aKey) const;
  // The record's key into the key buffer: BuildKey's result (1: the
  // index's filter refuses the record), aRange the range answer.
  uint32_t stcCheckRecordRange(const uint8_t* aRecord, TnxRefNr aRefNr, int& aRange);
  // The path brought up to date and moved to BOF or EOF when its key lies
  // outside the range; the path's state.
  uint32_t stcValidatePath();
  // The spare path SavePath takes next (nil when none).
  TnxBaseIndexPath* TempPath() const noexcept { return stcTempPath.get(); }
  TnxBaseIndexPath* SavedPath() const noexcept { return stcSavePath.get(); }

  // ---- reads (server_table_cursor_read.cpp) ----
  // Every content lock, filter time limit and read-original override begun
  // ends on every path; a record lock a read took is given back when the
  // read fails. A refused lock in a step leaves the path on the crack
  // before (prior: after) the record, so that the next call tries it
  // again. Negative cut-offs mean none; a key batch entry for a key that
  // failed is 0x80000004 and the code.
  uint32_t sbcRecordGet(TnxLockType aLockType, PnxRecordBuffer aData) override;
  uint32_t sbcRecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) override;
  uint32_t sbcRecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) override;
  uint32_t sbcRecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey, PnxKeyOrRecordBuffer aKeyData,
                              PnxRecordBuffer aData, bool aMatchFirst, bool aFirstCall) override;
  uint32_t sbcRecordGetForKeyBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                   TnxBatchStreamAccess*& aAccess, TnxDataSetKeyBufferArray& aKeys, bool aMatchFirst,
                                   bool aFirstCall) override;
  uint32_t sbcRecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions, TnxBatchStreamAccess*& aAccess,
                             int32_t aMaxRecords, bool aForward) override;
  void sbcIterate(PnxRecordBuffer* aData, const TnxKeyIterator& aKeyIterator, const TnxRecordIterator& aRecIterator,
                  bool aBackward, void* aCookie, bool aKeepPosition) override;
  uint32_t sbcGetRecordCount(TnxRecordCountOption aOption, uint32_t& aRecCount, bool aEstimate) override;
  // Below 1 aMaxCount answers 9986; without a graveyard 10764.
  uint32_t GetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aCacheInfos, int32_t aMaxCount,
                             TnxLSN* aCurrentLSN) override;
  uint32_t ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) override;
  TnxLSN stcGetCurrentLSN();
  static TnxRecordIteratorResult stcRecordGetBatchIterator(void* aCookie, TnxRefNr aRefNr, PnxRecordBuffer aRecord);

  // ---- record insert, modify and delete (server_table_cursor_write.cpp) ----
  // Each write runs under a transaction (its own when the caller has none
  // or wants nested ones) and the table's exclusive content lock. On
  // failure an own transaction is rolled back; inside the caller's the
  // record write is undone by hand (keys included), and a failure that
  // cannot be undone marks that transaction corrupted. The index path is
  // restored on every failure. aAutoInc reads -1 unless a value was
  // assigned and the insert succeeded.
  uint32_t sbcRecordInsert(TnxLockType aLockType, TnxInsertOptions aInsertOptions, PnxRecordBuffer aData,
                           int64_t* aAutoInc) override;
  uint32_t sbcRecordModify(PnxRecordBuffer aData, bool aReleaseLock, TnxRecordDiff* aDataDiff) override;
  uint32_t sbcRecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) override;
  void sbcAutoIncSetDirect(uint32_t aAutoInc) override;
  // 10763 in a snapshot transaction on a table kept on disk.
  uint32_t sbcCheckTransactionState() override;
  // False without a transaction; the LSN raises the transaction's.
  bool GetNextLSN(int64_t& aLSN) override;
  // The deleted RefNr into both graveyard indices under the next LSN, and
  // out of them again; 15443 when an index refuses. aData is not used.
  uint32_t stcRecordBury(TnxRefNr aRefNr, PnxRecordBuffer aData);
  uint32_t stcRecordResurrect(TnxRefNr aRefNr, PnxRecordBuffer aData);
  // True without index or active key filter; else the record's key built
  // into the key buffer and matched.
  bool stcMatchesKeyFilter(const uint8_t* aRecord, TnxRefNr aRefNr);

  // ---- batch insert, auto-increment, record lock query and release
  // (server_table_cursor_batch.cpp) ----
  // The batch stream comes from a client: its count, every entry size and
  // every blob offset and length in its records are checked against the
  // stream before use (15522 when one does not fit); nothing outside the
  // stream is read or written. The records are changed in place. A failed
  // batch rolls its own transaction back, or marks the caller's corrupted.
  // The writer lock goes on every path when the call took it.
  uint32_t sbcRecordInsertBatch(TnxCustomMemoryStream& aStream) override;
  // 0 without an auto-increment engine.
  uint32_t sbcAutoIncGet() override;
  // 12289 without an auto-increment engine; no transaction stays open.
  uint32_t sbcAutoIncSet(uint32_t aAutoInc) override;
  uint32_t sbcRecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) override;
  uint32_t sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs) override;

  // ---- structure changes (server_table_cursor_structure.cpp) ----
  // Each runs in a fail-safe transaction of its own (10256 inside the
  // caller's) under the exclusive content lock and writes the dictionary
  // with the index blocks: a failure or a crash leaves the old structure
  // or the new one whole, in the files and in memory. A new index is
  // filled from the records before the commit. An added field reaches
  // records once the table is opened again. A dropped index leaves this
  // cursor on the default index, or in record order when none is left;
  // 10031 when another cursor stands on it.
  uint32_t stcAddField(const TnxFieldDescriptor* aFieldDesc);
  uint32_t stcAddIndex(TnxIndexDescriptor* aIndexDesc, bool aIsNewDefault);
  uint32_t stcDropIndex(std::u16string_view aIndexName, int32_t aIndexID);
  // Null and 0 without indices; else the indices' builder in the active
  // transaction (10257 without one).
  uint32_t stcCreateBulkBuilder(std::unique_ptr<TnxBaseBulkBuilder>& aBulkBuilder);
  // Only on an unnamed result-set table that has no other cursor.
  uint32_t sbcRenameField(int32_t aFieldNo, std::u16string_view aNewName) override;

  // ---- bulk copy, delete and sort (server_table_cursor_bulk.cpp) ----
  // The copy refuses (9990, 10760, 15489, 12289, 15488) before it takes
  // any lock; it commits in steps when aMaxTransSize is above 0, each step
  // leaving the destination's auto-increment at the largest value copied
  // so far. The bulk delete hands each record lock back with the active
  // transaction, so the lock container holds the table until that ends.
  // Both notify extenders and update fulltext indices as single writes do.
  uint32_t sbcCopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, int32_t aMaxTransSize,
                          bool aCheckValFields) override;
  uint32_t sbcDeleteRecords() override;
  // Orders the whole table's records by aIndexDesc in place, whatever the
  // view; keys and fulltext entries follow. The path goes to BOF.
  uint32_t stcSortRecords(TnxIndexDescriptor* aIndexDesc);

  // The recover task's record callback, run on the cursor of the damaged
  // table for each record found: the record goes into the target with its
  // blobs in a transaction of its own (aContext.rcTransLevels counts it),
  // or, when it or a blob fails there, into the failed-records table with
  // the blobs that cannot be copied set null. A record that fails on both
  // is rolled back alone and counted, its failure kept when it is the
  // first; the walk goes on. Answers rirStop once rcResult is set.
  TnxRecordIteratorResult stcRecoverRecord(TnxRecoverContext& aContext, TnxRefNr aRefNr, PnxRecordBuffer aRecord);

  // ---- background count (server_table_cursor_count.cpp) ----
  // Its own frame: the session lock is released once, before a count task
  // starts (which takes it for its walk); a count the index or the record
  // engine already knows comes back as a finished task.
  uint32_t GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) override;

  // ---- the rest ----
  uint32_t sbcGetBookmarkSize(uint32_t& aSize) override;
  uint32_t sbcBlobRead(const TnxRecID&, int32_t, TnxBlobNr, uint32_t, uint32_t, platform::TStream&, bool,
                       TnxNewBlobNr*) override;
  uint32_t sbcBlobGetLength(const TnxRecID&, int32_t, TnxBlobNr, uint32_t&, bool, TnxNewBlobNr*) override;
  uint32_t ascGetBlobCacheInfos(const TnxRecID&, TnxBlobCacheInfos&) override;
  uint32_t ascSetBlobCacheFlushed(const TnxRecID&, int32_t, TnxBlobNr, TnxBlobNr*) override;
  uint32_t sbcRangeSet(int32_t, int32_t, bool, PnxKeyOrRecordBuffer, bool, int32_t, int32_t, bool,
                       PnxKeyOrRecordBuffer, bool) override;
  uint32_t sbcBlobCreateLink(const TnxRecID&, int32_t, std::u16string_view, TnxBlobNr, TnxBlobNr&) override;
  uint32_t sbcBlobDelete(const TnxRecID&, int32_t, TnxBlobNr) override;
  uint32_t sbcBlobTruncate(const TnxRecID&, int32_t, TnxBlobNr, uint32_t) override;
  uint32_t sbcBlobWrite(const TnxRecID&, int32_t, TnxBlobNr, uint32_t, uint32_t, const void*) override;
  uint32_t sbcBlobReplace(const TnxRecID&, int32_t, TnxBlobNr&, uint32_t, const void*) override;
  bool sbcBlobIsLink(const TnxRecID&, int32_t, TnxBlobNr, std::u16string&, TnxBlobNr&) override;
  uint32_t sbcChangePassword(std::u16string_view) override;
  bool sacHasKey(int32_t aIndex, const platform::TnxVariant& aValue) override;
  TnxRefNr sacGetRefNr() override;
  void sacSetRefNr(TnxRefNr aRefNr) override;
  uint32_t sacGetRecordByID(TnxRefNr, PnxRecordBuffer) override;
  uint32_t sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) override;
  void sbcEndContentLock() override;
  uint32_t sbcSetToCursor(TnxAbstractCursor*) override;
  uint32_t sbcSetToFilter(TnxBaseFilterEngine*, TnxBaseFilterEngine*, bool) override;
  uint32_t sbcGetBookmark(PnxBookmarkBuffer, uint32_t) override;
  uint32_t sbcCompareBookmarks(PnxBookmarkBuffer, PnxBookmarkBuffer, uint32_t, TValueRelationship&) override;
  uint32_t sbcSetToBookmark(PnxBookmarkBuffer, uint32_t, bool) override;
  uint32_t sbcBookmarkAsVariant(PnxBookmarkBuffer, uint32_t, platform::TnxVariant&) override;
  uint32_t sbcRecNoGet(uint32_t&, bool) override;
  uint32_t sbcRecNoSet(uint32_t, bool) override;
  const InxFieldsSource* sbcGetKeyFieldsSource() override;
  uint32_t sbcSetToKey(TnxSearchKeyAction, int32_t, int32_t, bool, PnxKeyOrRecordBuffer) override;
  uint32_t sbcCompareKeys(int32_t, int32_t, bool, PnxKeyOrRecordBuffer, bool, PnxKeyOrRecordBuffer,
                          TValueRelationship&) override;
  uint32_t sbcBlobsCancel(TnxRefNr) override;
  uint32_t sbcBlobCreate(const TnxRecID&, int32_t, TnxBlobNr&) override;
  uint32_t sbcBlobCreateFile(const TnxRecID&, int32_t, std::u16string_view, TnxBlobNr&) override;
  uint32_t sbcBlobFree(const TnxRecID&, int32_t, TnxBlobNr) override;
  uint32_t sbcBlobModified(const TnxRecID&, int32_t, TnxBlobNr, bool&) override;
  uint32_t sbcBlobCopyPrim(TnxServerBaseCursor*, int32_t, TnxBlobNr, int32_t, TnxBlobNr&, uint32_t) override;
  uint32_t sbcBlobCopyContentPrim(TnxServerBaseCursor*, int32_t, TnxBlobNr, int32_t, TnxBlobNr, uint32_t) override;
  uint32_t sbcTableStreamGetList(platform::TStringList&, bool) override;
  uint32_t sbcTableStreamWrite(std::u16string_view, platform::TStream&, bool) override;
  uint32_t sbcTableStreamRead(std::u16string_view, platform::TStream&, bool) override;
  uint32_t sbcTableStreamDelete(std::u16string_view, bool) override;
  TnxLockPresent sbcTableIsLocked(TnxLockType aLockType) override;
  uint32_t sbcTableLockAcquire(TnxLockType) override;
  uint32_t sbcTableLockRelease(TnxLockType, bool) override;

  // ---- blobs (server_table_cursor_blobs.cpp) ----
  // Every worker names the blob by record ID, field and number. Writes run
  // in a transaction of their own under the writer lock, reads under a
  // shared content lock; a record ID of a stored record is checked first
  // (8708 when that version is gone, 10030 for number 0, 13058 for a number
  // the record no longer holds). Out numbers are given back only when the
  // write committed. Copies move at most 1 MiB per step.
  uint32_t sbcBlobReadSnapshoted(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                                 uint32_t aLen, platform::TStream& aStream, bool aReadOriginal,
                                 uint32_t* aBlobLength, TnxNewBlobNr* aNewBlobNr) override;
  uint32_t sbcBlobAddToCache(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aLen,
                             const void* aBlob) override;
  uint32_t BlobBatchProcess(const TnxBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply) override;
  uint32_t GetBlobs(PnxRecordBuffer aData, bool aMarkedOnly, uint16_t& aCount, TnxBlobNr* aBlobNrs) override;
  using TnxServerBaseCursor::GetBlobs;

  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;

protected:
  ~TnxServerTableCursor() override;
  void PrepareDestroy() override;
  uint32_t esoOptionGetParent(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t esoOptionListParent(platform::TStringList& aList) override;
  // A handler other than the one the table's kind chooses (the old one
  // goes).
  void stcSetBlobHandler(TnxServerObjectPtr<TnxBaseBlobHandler> aHandler) noexcept;

private:
  // The tasks that walk this cursor (server_tasks.cpp).
  friend class TnxBaseServerRebuildIndexTaskInfo;
  friend class TnxServerGetRecCountTaskInfo;
  friend class TnxServerRestructureNode;
  // What a background count needs: the count known now, and whether a
  // walk must find the answer.
  uint32_t stcAsyncCountPlan(TnxRecordCountOption aOption, uint32_t& aCount, bool& aNeedsTask);
  // A counting walk's scope: the path, and for a count without filters
  // the filters (and, if asked, the filter time limit), are put back on
  // every way out.
  class TCountScope {
   public:
    TCountScope(TnxServerTableCursor& aCursor, bool aUnfiltered, bool aNoFilterTimeout);
    ~TCountScope();
    TCountScope(const TCountScope&) = delete;
    TCountScope& operator=(const TCountScope&) = delete;

   private:
    TnxServerTableCursor& csCursor;
    std::unique_ptr<TnxBaseIndexPath> csSaved;
    std::unique_ptr<TnxBaseFilterEngine> csFilter;
    std::unique_ptr<TnxBaseFilterEngine> csKeyFilter;
    const bool csUnfiltered;
    const bool csNoFilterTimeout;
  };

  // ---- content locks (server_table_cursor_locks.cpp) ----
  // Leaves the cursor's transaction link under the table's padlock.
  void stcLeaveTransLink() noexcept;
  // sbcBeginContentLock but for a shared lock outside a transaction.
  uint32_t stcBeginOtherContentLock(bool aExclusive, bool aConditional, bool aInternal);
  uint32_t stcAwaitTransLink(TnxServerTransactionLevelTableLink* aLink, bool aConditional);
  uint32_t stcUpgradeTransLink(TnxServerTransaction& aTrans, TnxServerTransactionLevelTableLink* aLink,
                               bool aConditional);
  // One bit per content lock begun and not ended, innermost lowest: set
  // when that lock is a read on the content portal.
  uint64_t stcContentReads = 0;
  uint8_t stcContentDepth = 0;

  // ---- blobs (server_table_cursor_blobs.cpp) ----
  using TnxBlobWork = std::function<uint32_t(TnxServerTransaction& aTrans)>;
  // The writer frame; aVerifyNr: the number to check first (nil: none).
  uint32_t stcBlobWriter(const TnxRecID& aRecID, int32_t aFieldNo, const TnxBlobNr* aVerifyNr,
                         const TnxBlobWork& aWork);
  // The read frame around the check and aWork; with aNewBlobNr a number
  // the record no longer holds is followed to the one it holds.
  uint32_t stcBlobReader(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr, TnxNewBlobNr* aNewBlobNr,
                         const std::function<uint32_t()>& aWork);
  uint32_t stcBlobVerifyRecID(const TnxRecID& aRecID);
  uint32_t stcBlobVerifyNr(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, TnxNewBlobNr* aNewBlobNr);
  uint32_t stcBlobVerifyNrInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                TnxNewBlobNr* aNewBlobNr);
  uint32_t stcBlobBatchProcess(const TnxBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply);
  uint32_t stcBlobCopy(TnxServerBaseCursor* aSrcCursor, TnxBlobNr aBlobNr, bool aNewBlob, TnxBlobNr& aDestBlobNr,
                       uint32_t aMaxLength);
  uint32_t stcNoBlobHandler() const;
  // sbcRecordBuffer2 holds the record the last check read.
  bool stcRecord2Held = false;

  // Writes (server_table_cursor_write.cpp).
  class TWrite;
  bool stcFilterAccepts(const uint8_t* aRecord);
  bool stcKeyFilterAcceptsPath();
  // Modify and delete: the path's record is locked (aLockCode when refused)
  // before the write's transaction and content lock, and checked again
  // under them, so the path cannot have moved in between.
  uint32_t stcStartPathWrite(TWrite& aWrite, bool aMayNest, uint32_t aLockCode, TnxRefNr& aLockedRefNr);
  uint32_t stcCheckPathRecord(TWrite& aWrite, TnxRefNr aLockedRefNr, uint32_t aLockCode, TnxRefNr& aRefNr);
  // Range and filters of a record to be written: 10258 with its text.
  uint32_t stcCheckNewRecord(const uint8_t* aData, TnxRefNr aRefNr);
  uint32_t stcCheckModified(const uint8_t* aData, bool aReleaseLock);
  bool stcPathLeavesView(const uint8_t* aData);
  TnxLSN stcInsertLSNOf(const uint8_t* aRecord) const;
  // Takes back keys written for a record whose write is undone by hand.
  uint32_t stcUndoKeys(bool aModify, TnxRefNr aRefNr, const uint8_t* aStored, const uint8_t* aData);

  // Structure changes (server_table_cursor_structure.cpp): aWork in the
  // own transaction, aUndo (memory only) when anything failed.
  uint32_t stcStructureChange(const std::function<uint32_t(TnxServerTransaction&)>& aWork,
                              const std::function<void()>& aUndo);
  void stcStructureChanged();
  void stcWriteDictionary(TnxServerTransaction& aTrans);
  // The indices engine read again from the files after a rollback it no
  // longer matched; every cursor of the table takes its index again.
  void stcReloadIndicesEngine(int32_t aDroppedIndex);
  void stcLeaveIndexEngines() noexcept;
  // The sequential, RefNr and ModifyLSN engines and their paths, as the
  // table's indices engine now has them.
  void stcTakeIndexEngines();

  // Batch insert (server_table_cursor_batch.cpp): the entries of the
  // stream, in the active transaction under the content lock.
  uint32_t stcInsertBatchEntries(TnxCustomMemoryStream& aStream);

  void stcCreate(TnxServerBaseTable* aTable, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                 std::u16string_view aIndexName, int32_t aIndexID, bool aBlobCache, bool aInternal);
  // What the destructor gives back; also for a constructor that raises.
  void stcRelease() noexcept;
  void stcAddToTable();
  void stcRemoveFromTable() noexcept;
  void stcFreeKeys() noexcept;
  void stcAllocKeys();
  void stcFreeEngines() noexcept;
  // Positioning helpers (server_table_cursor_position.cpp).
  uint32_t stcCheckKeyArgs(int32_t aFieldCount, int32_t aPartialLen) const;
  uint32_t stcKeyFromClient(bool aDirectKey, PnxKeyOrRecordBuffer aKeyData, uint8_t* aKey) const;
  void stcApplyRange();
  // Read helpers (server_table_cursor_read.cpp).
  uint32_t stcLockForRead(TnxRefNr aRefNr, bool& aTaken);
  void stcNotifyRecordGet(TnxLockType aLockType, PnxRecordBuffer aData, TnxRefNr aRefNr);
  uint32_t stcRecordStep(TnxLockType aLockType, PnxRecordBuffer aData, bool aBack);
  uint32_t stcLookUpKey(int32_t aFieldCount, int32_t aPartialLen, PnxRecordBuffer aData, bool aMatchFirst,
                        bool aFirstCall, uint32_t& aFilterResult);
  void stcIterate(PnxRecordBuffer* aData, const TnxIndexKeyIterator& aKeyIterator,
                  const TnxStorageRecordIterator& aRecIterator, bool aBackward, void* aCookie, bool aKeepPosition,
                  TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter);
  uint32_t stcCountedScan(TnxRecordCountOption aOption, uint32_t& aRecCount);
  uint32_t stcGetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aCacheInfos, int32_t aMaxCount,
                                TnxLSN* aCurrentLSN);
  uint32_t stcContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr);

  TnxServerBaseTable* stcTable = nullptr;
  TnxServerTableCursor* stcTablePrev = nullptr;
  TnxServerTableCursor* stcTableNext = nullptr;
  bool stcInTable = false;
  TnxServerTransLinkCursor stcTransLinkPlace;
  TnxShareMode stcShareMode = smExclusive;
  TnxRefNr stcSelfRefNr = 0;
  int32_t stcInUseCount = 0;
  int32_t stcDefaultIndex = -1;
  TnxBaseIndexEngine* stcIndexEngine = nullptr;
  std::unique_ptr<TnxBaseIndexPath> stcIndexPath;
  std::unique_ptr<TnxBaseIndexPath> stcSavePath;
  std::unique_ptr<TnxBaseIndexPath> stcTempPath;
  TnxBaseIndexEngine* stcSeqAccessIndexEngine = nullptr;
  std::unique_ptr<TnxBaseIndexPath> stcSeqAccessIndexPath;
  TnxBaseIndexEngine* stcLSNIndexEngine = nullptr;
  std::unique_ptr<TnxBaseIndexPath> stcLSNIndexPath;
  TnxBaseIndexEngine* stcRefNrIndexEngine = nullptr;
  std::unique_ptr<TnxBaseIndexPath> stcRefNrIndexPath;
  TnxBaseIndexEngine* stcGraveyardLSNIndexEngine = nullptr;
  std::unique_ptr<TnxBaseIndexPath> stcGraveyardLSNIndexPath;
  TnxBaseIndexEngine* stcGraveyardRefNrIndexEngine = nullptr;
  std::unique_ptr<TnxBaseIndexPath> stcGraveyardRefNrIndexPath;
  std::unique_ptr<TnxBaseFulltextCursorEngine> stcFulltextEngine;
  std::unique_ptr<TnxBaseRefIntegrityEngine> stcRefIntEngine;
  uint8_t* stcKeyBuffer = nullptr;
  uint8_t* stcRangeStartKey = nullptr;  // riKey of the start side
  uint8_t* stcRangeEndKey = nullptr;
  TnxRangeInfo stcRangeStart;
  TnxRangeInfo stcRangeEnd;
  int32_t stcModifyLSNIndex = -1;
  int32_t stcGraveyardLSNIndex = -1;
  int32_t stcGraveyardRefNrIndex = -1;
  TnxServerObjectPtr<TnxBaseBlobHandler> stcBlobHandler;
  std::unique_ptr<TnxKeyFieldsSource> stcKeyFieldsSource;
};

}  // namespace revurov
