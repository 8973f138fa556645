// TnxServerBaseCursor: the base of every cursor of the in-process engine.
// Each public cursor operation is one frame around a protected worker
// (sbc...): read-only guard, thread deadline, session lock, worker,
// unlock. The base also keeps what every server cursor has: open mode and
// read-only state, insert options, default-value and validation handlers,
// record and key filters with their time limit, the transaction context,
// and the text of the last lock conflict.
//
// Contract:
// - Every public operation answers a code; it never raises. A refused
//   session lock (8455 another thread inside, 9990, 15443, 15461) is the
//   result, and the worker is not called. An exception of a worker is
//   converted (std::bad_alloc 9473, anything not the library's 15521) with
//   its message left as the thread's last error; the full frame converts
//   before the unlock, the plain frame after it.
// - Read-only operations on a read-only cursor answer sbcGetReadOnlyResult
//   before the deadline and the lock and never call their worker.
// - Operations under the content lock end it also when the worker raises.
// - A failed RangeSet resets the range before the unlock.
// - Filter identifiers are the filter engines' handles; 0 names all.
// - The filter time limit (ms, 0 none) ends at the thread deadline at the
//   latest; it runs on the deadline clock (nxDeadlineTickCount). The limit
//   answers 15444 and is tested before the deadline (15461); a limit that
//   was cut to the deadline answers 15461 when it ends.
// - sbcRequestClose runs the handler under the request-close padlock with
//   a reference on that padlock and on the cursor's lifetime monitor, so a
//   handler may free the cursor; the padlock is then released through that
//   reference, never through the freed cursor. Freeing the cursor marks
//   it under that padlock, so a request on another thread either finishes
//   first or finds the cursor dying.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "dictionary/default_value_engines.h"
#include "dictionary/validation_engines.h"
#include "engine/sql_engine_classes.h"

namespace revurov {

class TnxLockFailureReason;
class TnxServerDatabase;
class TnxServerTransContext;
class TnxServerTransaction;
struct TnxServerTableStats;

// What SetToFilter hands the table cursor's walk: the temporary record
// filter first, the key filter second (either may be nil).
struct TnxSetToFilterCookie {
  TnxBaseFilterEngine* stfFilter = nullptr;
  TnxBaseFilterEngine* stfKeyFilter = nullptr;
};

// The first room of a batch stream for aCutoffSize (MaxInt: none).
uint32_t nxBatchCapacity(int32_t aCutoffSize) noexcept;

class TnxServerBaseCursor : public TnxSqlAbstractCursor, public InxDefaultValueCursor {
  REVUROV_SERVER_OBJECT_CLASS(TnxServerBaseCursor, TnxSqlAbstractCursor)

  // ---- state ----
  TnxServerTransContext* TransContext() const noexcept { return sbcTransContext; }
  // The context's current transaction; nil when none runs.
  TnxServerTransaction* ActiveTrans() const noexcept;
  TnxOpenMode OpenMode() const noexcept { return sbcOpenMode; }
  bool IsReadOnly() const noexcept { return sbcIsReadOnly; }
  TnxInsertOptions InsertOptions() const noexcept { return sbcInsertOptions; }
  TnxDefaultValueHandler* DefaultValueHandler() const noexcept { return sbcDefaultValueHandler.get(); }
  TnxValidationsHandler* ValidationsHandler() const noexcept { return sbcValidationsHandler.get(); }
  TnxBaseFilterEngine* Filter() const noexcept { return sbcFilter.get(); }
  TnxBaseFilterEngine* KeyFilter() const noexcept { return sbcKeyFilter.get(); }
  uint32_t FilterTimeout() const noexcept { return sbcFilterTimeout; }
  int64_t FilterUntil() const noexcept { return sbcFilterUntil; }
  TnxLockFailureReason& LockFailureReason() noexcept { return *sbcLockFailureReason; }
  // The full table name starts with "$".
  bool IsSystemTable();
  // A blob of another server cursor; any other source answers 9986.
  uint32_t sbcBlobCopyFrom(TnxSqlAbstractCursor* aSrcCursor, int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                           int32_t aDestFieldNo, TnxBlobNr& aDestBlobNr, uint32_t aMaxLength) override {
    return sbcBlobCopyPrim(dynamic_cast<TnxServerBaseCursor*>(aSrcCursor), aSrcFieldNo, aBlobNr, aDestFieldNo,
                           aDestBlobNr, aMaxLength);
  }

  // ---- the engine interface ----
  uint32_t SetToBegin() override;
  uint32_t SetToEnd() override;
  uint32_t SetToCursor(TnxAbstractCursor* aCursor) override;
  uint32_t SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter,
                       bool aForward) override;
  uint32_t GetBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) override;
  uint32_t GetBookmarkCache(PnxBookmarkBuffer aBookmark, uint32_t aSize) override;
  uint32_t CompareBookmarks(PnxBookmarkBuffer aBookmark1, PnxBookmarkBuffer aBookmark2, uint32_t aSize,
                            TValueRelationship& aResult) override;
  uint32_t SetToBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) override;
  uint32_t SetToCacheBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) override;
  uint32_t BookmarkAsVariant(PnxBookmarkBuffer aBookmark, uint32_t aSize, platform::TnxVariant& aVar) override;
  uint32_t RecNoSupported() override { return 0; }
  uint32_t RecNoGet(uint32_t& aRecNo, bool aFlipOrder) override;
  uint32_t RecNoSet(uint32_t aRecNo, bool aFlipOrder) override;
  uint32_t RecordGet(TnxLockType aLockType, PnxRecordBuffer aData) override;
  uint32_t RecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) override;
  uint32_t RecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) override;
  uint32_t RecordInsert(TnxLockType aLockType, PnxRecordBuffer aData, int64_t* aAutoInc) override;
  uint32_t RecordModify(PnxRecordBuffer aData, bool aReleaseLock, TnxRecordDiff* aDataDiff) override;
  uint32_t RecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) override;
  uint32_t RecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) override;
  uint32_t RecordLockRelease(bool aAllLocks, bool aCancelBlobs) override;
  uint32_t AutoIncGet(uint32_t& aValue, bool aAllowCached) override;
  uint32_t AutoIncSet(uint32_t aValue) override;
  uint32_t FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) override;
  uint32_t FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated,
                               bool aIgnoreDropError) override;
  uint32_t FilterSetTimeout(uint32_t aTimeout) override;
  uint32_t FilterActivate(TnxFilterID aFilterID) override;
  uint32_t FilterDeactivate(TnxFilterID aFilterID) override;
  uint32_t FilterRemove(TnxFilterID aFilterID) override;
  uint32_t SwitchToIndex(std::u16string_view aIndexName, int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override;
  uint32_t GetIndexID(int32_t& aIndexID) override;
  uint32_t SetToKey(TnxSearchKeyAction aAction, int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                    PnxKeyOrRecordBuffer aData) override;
  uint32_t RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey, PnxKeyOrRecordBuffer aKeyData,
                           PnxRecordBuffer aData, bool aMatchFirst, bool aFirstCall) override;
  uint32_t RecordGetForKeyBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                TnxBatchStreamAccess*& aAccess, TnxDataSetKeyBufferArray& aKeyBuffers,
                                bool aMatchFirst, bool aFirstCall) override;
  uint32_t RangeReset() override;
  uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1, PnxKeyOrRecordBuffer aKeyData1,
                    bool aKeyIncl1, int32_t aFieldCount2, int32_t aPartialLen2, bool aDirectKey2,
                    PnxKeyOrRecordBuffer aKeyData2, bool aKeyIncl2) override;
  uint32_t CompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1, PnxKeyOrRecordBuffer aKey1,
                       bool aDirectKey2, PnxKeyOrRecordBuffer aKey2, TValueRelationship& aResult) override;
  uint32_t KeyFilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxKeyFilterID& aFilterID) override;
  uint32_t KeyFilterActivate(TnxKeyFilterID aFilterID) override;
  uint32_t KeyFilterDeactivate(TnxKeyFilterID aFilterID) override;
  uint32_t KeyFilterRemove(TnxKeyFilterID aFilterID) override;
  uint32_t RecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions, TnxBatchStreamAccess*& aAccess,
                          int32_t aMaxRecords, bool aForward) override;
  uint32_t RecordInsertBatch(TnxCustomMemoryStream& aStream) override;
  uint32_t CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                       int32_t aMaxTransSize) override;
  uint32_t CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, int32_t aMaxTransSize,
                         bool aCheckValFields) override;
  uint32_t DeleteRecords() override;
  uint32_t BlobsCancel(TnxRefNr aRefNr) override;
  uint32_t BlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr) override;
  uint32_t BlobCreateFile(const TnxRecID& aRecID, int32_t aFieldNo, std::u16string_view aFileName,
                          TnxBlobNr& aBlobNr) override;
  uint32_t BlobDelete(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  uint32_t BlobFree(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  uint32_t BlobWrite(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                     const void* aBlob) override;
  uint32_t BlobReplace(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr, uint32_t aLen,
                       const void* aBlob) override;
  uint32_t BlobTruncate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aBlobLength) override;
  uint32_t BlobModified(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, bool& aModified) override;
  uint32_t BlobAddToCache(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aLen,
                          const void* aBlob) override;
  uint32_t TableStreamGetList(platform::TStringList& aList) override;
  uint32_t TableStreamWrite(std::u16string_view aStreamName, platform::TStream& aStream) override;
  uint32_t TableStreamRead(std::u16string_view aStreamName, platform::TStream& aStream) override;
  uint32_t TableStreamDelete(std::u16string_view aStreamName) override;
  uint32_t TableIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) override;
  uint32_t TableLockAcquire(TnxLockType aLockType) override;
  uint32_t TableLockRelease(TnxLockType aLockType, bool aAllLocks) override;
  uint32_t Duplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor) override;
  uint32_t ChangePassword(std::u16string_view aNewPassword) override;
  uint32_t GetRecordCount(uint32_t& aRecordCount, bool aEstimate) override;
  uint32_t GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t GetRecordCountEx(TnxRecordCountOption aOption, uint32_t& aRecordCount, bool aEstimate) override;

  void RecordBufferClear(PnxRecordBuffer aData) override;
  void RequestNestedTransactions() override { sbcUseNestedTransaction = true; }
  bool BlobReadNeedsSnapshot(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                             bool aReadOriginal) override;
  uint32_t BlobReadSnapshotStart() override;
  uint32_t BlobReadSnapshotEnd() override;

  // ---- SQL engine side ----
  void sbcMarkReadonly() override { sbcIsReadOnly = true; }
  TnxOpenMode sacGetOpenMode() override { return sbcOpenMode; }
  void sacSetDefault(PnxRecordBuffer aRecordBuffer, int32_t aIndex) override;
  void sacSetDefaultsInsert(PnxRecordBuffer aRecordBuffer) override;

  // ---- default values ----
  std::u16string GetUserName() override;
  platform::TDateTime GetNow() override;
  bool GetNextLSN(int64_t&) override { return false; }

  bool esoIsMonitored() const override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;

  // ---- workers the base introduces ----
  void sbcBeginReadOrgOverride() noexcept { ++sbcReadOrgOverride; }
  void sbcEndReadOrgOverride() noexcept { --sbcReadOrgOverride; }
  virtual TnxServerTableStats sbcGetStats();
  virtual uint32_t sbcRenameField(int32_t aFieldNo, std::u16string_view aNewName);
  virtual uint32_t sbcBeginContentLock(bool aExclusive, bool aConditional, bool aInternal) = 0;
  virtual void sbcEndContentLock() = 0;
  virtual uint32_t sbcCheckTransactionState();
  virtual uint32_t sbcSetToCursor(TnxAbstractCursor* aCursor) = 0;
  virtual uint32_t sbcSetToFilter(TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter, bool aForward) = 0;
  virtual uint32_t sbcGetBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) = 0;
  virtual uint32_t sbcGetBookmarkCache(PnxBookmarkBuffer aBookmark, uint32_t aSize);
  virtual uint32_t sbcCompareBookmarks(PnxBookmarkBuffer aBookmark1, PnxBookmarkBuffer aBookmark2, uint32_t aSize,
                                       TValueRelationship& aCompResult) = 0;
  virtual uint32_t sbcSetToBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize, bool aIsCache) = 0;
  virtual uint32_t sbcBookmarkAsVariant(PnxBookmarkBuffer aBookmark, uint32_t aSize,
                                        platform::TnxVariant& aVariant) = 0;
  virtual uint32_t sbcRecNoGet(uint32_t& aRecNo, bool aFlipOrder) = 0;
  virtual uint32_t sbcRecNoSet(uint32_t aRecNo, bool aFlipOrder) = 0;
  virtual uint32_t sbcRecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) = 0;
  virtual uint32_t sbcRecordLockRelease(bool aAllLocks, bool aCancelBlobs) = 0;
  virtual uint32_t sbcAutoIncSet(uint32_t aAutoInc) = 0;
  void sbcAutoIncSetDirect(uint32_t aAutoInc) override = 0;
  virtual const InxFieldsSource* sbcGetKeyFieldsSource() = 0;
  virtual uint32_t sbcKeyFilterAddCustom(TnxBaseFilterDescriptor* aKeyFilter, TnxKeyFilterID& aKeyFilterID);
  virtual uint32_t sbcSetToKey(TnxSearchKeyAction aSearchAction, int32_t aFieldCount, int32_t aPartialLen,
                               bool aDirectKey, PnxKeyOrRecordBuffer aKeyData) = 0;
  virtual uint32_t sbcRecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                                      PnxKeyOrRecordBuffer aKeyData, PnxRecordBuffer aData, bool aMatchFirst,
                                      bool aFirstCall) = 0;
  virtual uint32_t sbcRecordGetForKeyBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                           TnxBatchStreamAccess*& aAccess, TnxDataSetKeyBufferArray& aKeys,
                                           bool aMatchFirst, bool aFirstCall) = 0;
  virtual uint32_t sbcCompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1,
                                  PnxKeyOrRecordBuffer aKeyData1, bool aDirectKey2, PnxKeyOrRecordBuffer aKeyData2,
                                  TValueRelationship& aResult) = 0;
  virtual uint32_t sbcBlobsCancel(TnxRefNr aRefNr) = 0;
  virtual uint32_t sbcBlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr) = 0;
  virtual uint32_t sbcBlobCreateFile(const TnxRecID& aRecID, int32_t aFieldNo, std::u16string_view aFileName,
                                     TnxBlobNr& aBlobNr) = 0;
  virtual uint32_t sbcBlobFree(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) = 0;
  virtual uint32_t sbcBlobAddToCache(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aLen,
                                     const void* aBlob);
  virtual uint32_t sbcBlobModified(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                   bool& aModified) = 0;
  virtual uint32_t sbcBlobCopyPrim(TnxServerBaseCursor* aSrcCursor, int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                                   int32_t aDestFieldNo, TnxBlobNr& aDestBlobNr, uint32_t aMaxLength) = 0;
  virtual uint32_t sbcBlobCopyContentPrim(TnxServerBaseCursor* aSrcCursor, int32_t aSrcFieldNo, TnxBlobNr aBlobNr,
                                          int32_t aDestFieldNo, TnxBlobNr aDestBlobNr, uint32_t aMaxLength) = 0;
  virtual uint32_t sbcTableStreamGetList(platform::TStringList& aStreams, bool aInternal) = 0;
  virtual uint32_t sbcTableStreamWrite(std::u16string_view aName, platform::TStream& aStream, bool aInternal) = 0;
  virtual uint32_t sbcTableStreamRead(std::u16string_view aName, platform::TStream& aStream, bool aInternal) = 0;
  virtual uint32_t sbcTableStreamDelete(std::u16string_view aName, bool aInternal) = 0;
  virtual TnxLockPresent sbcTableIsLocked(TnxLockType aLockType) = 0;
  virtual uint32_t sbcTableLockAcquire(TnxLockType aLockType) = 0;
  virtual uint32_t sbcTableLockRelease(TnxLockType aLockType, bool aAllLocks) = 0;
  virtual std::u16string sbcExtractPassword() = 0;

  // ---- batch reads (server_base_cursor_batch.cpp) ----
  // A negative cut-off and a record count below 1 mean none; the stream's
  // first room is the cut-off, at most 512 KB.
  uint32_t sbcRecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                             TnxBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) override;
  // Appends the blob entries of the record at aOffset in aStream and
  // rewrites its blob fields to their entries' offsets; aSize grows by
  // what was appended. A failing blob never ends the call.
  uint32_t sbcCopyBlobsToBatchStream(int32_t& aSize, uint32_t aOffset, TnxMemoryStream& aStream, bool aAddBlobNr,
                                     bool aOnlyMarked);

  // ---- filters and their time limit ----
  // aResult: where a key filter's check leaves its code (nil: none).
  void sbcFilterBeginTimeout(uint32_t* aResult);
  // True (with aResult set) when the filter limit (15444) or the thread
  // deadline (15461) has passed.
  bool sbcFilterCheckTimeout(uint32_t& aResult) const;
  void sbcFilterEndTimeout() noexcept;
  void sbcDisableFilterTimeout() noexcept { ++sbcFilterTimeoutLock; }
  void sbcEnableFilterTimeout() noexcept { --sbcFilterTimeoutLock; }
  // Takes aEngine into the record filter; aFilterID its handle.
  void sbcFilterAddCustom(std::unique_ptr<TnxBaseFilterEngine> aEngine, TnxFilterID& aFilterID, bool aActivated);
  void sbcKeyFilterAddCustomEngine(std::unique_ptr<TnxBaseFilterEngine> aEngine, TnxKeyFilterID& aKeyFilterID);
  uint32_t sbcKeyFilterDeactivate(TnxKeyFilterID aFilterID);
  // The callbacks of the table cursor's walk for SetToFilter; aCookie is
  // a TnxSetToFilterCookie.
  static TnxKeyIteratorResult sbcSetToFilterKeyIterator(void* aCookie, TnxRefNr aRefNr, const uint8_t* aKey);
  static TnxRecordIteratorResult sbcSetToFilterRecIterator(void* aCookie, TnxRefNr aRefNr, const uint8_t* aRecord);

  // ---- results ----
  // sbcReadOnlyResult, its message (when one is set) as the thread's last.
  uint32_t sbcGetReadOnlyResult();
  // aErrorCode (10254 for a conflict in this session) with a message of
  // the last conflict and the table's name; the conflict is cleared.
  uint32_t sbcLockFailureResult(uint32_t aErrorCode);
  // Asks the cursor's owner to close it (see the contract).
  void sbcRequestClose();
  // Marks the cursor under the request-close padlock: a request on
  // another thread points the destroy flag at its own while it runs.
  void BeforeDestruction() override;

protected:
  TnxServerBaseCursor(TnxServerDatabase* aDatabase, uint32_t aTimeout, TnxOpenMode aOpenMode);
  ~TnxServerBaseCursor() override;
  void PrepareDestroy() override;
  void esoOptionChanged(std::u16string_view aName, std::u16string_view aValue) override;

  // aWork as a public operation of its own: deadline, session lock,
  // exceptions converted, unlock with the result.
  uint32_t sbcOwnFrame(const std::function<uint32_t()>& aWork);

  // Makes writes answer aResult with aMessage (empty: the code's text).
  void sbcSetReadOnly(uint32_t aResult, std::u16string_view aMessage);

  TnxServerTransContext* sbcTransContext = nullptr;  // the database's
  TnxOpenMode sbcOpenMode = omReadOnly;
  bool sbcIsReadOnly = false;
  uint32_t sbcReadOnlyResult = 0;
  std::u16string sbcReadOnlyResultMessage;
  bool sbcHasReadOnlyResultMessage = false;
  std::unique_ptr<TnxLockFailureReason> sbcLockFailureReason;
  TnxInsertOptions sbcInsertOptions = 0;
  int32_t sbcReadOrgOverride = 0;
  std::unique_ptr<TnxDefaultValueHandler> sbcDefaultValueHandler;
  bool sbcDefaultValueHandlerClientCreated = false;
  std::unique_ptr<TnxDefaultValueHandler> sbcDefaultValueHandlerClient;
  std::unique_ptr<TnxValidationsHandler> sbcValidationsHandler;
  PnxRecordBuffer sbcRecordBuffer = nullptr;
  PnxRecordBuffer sbcRecordBuffer2 = nullptr;
  TnxServerObjectPtr<TnxAbstractTaskInfo> sbcTaskInfo;
  std::unique_ptr<TnxBaseFilterEngine> sbcFilter;
  uint32_t sbcFilterTimeout = 500;
  int64_t sbcFilterUntil = 0;
  int32_t sbcFilterTimeoutLock = 0;
  std::unique_ptr<TnxBaseFilterEngine> sbcKeyFilter;

private:
  // The steps of one operation's frame.
  enum : uint8_t { kReadOnly = 1, kDeadline = 2, kGuard = 4, kContentLock = 8 };
  static constexpr uint8_t kPlain = kDeadline;
  static constexpr uint8_t kFull = kDeadline | kGuard;
  template <uint8_t aSteps, class F>
  uint32_t Frame(F&& aWork);
  void sbcFreeOwned() noexcept;
  std::unique_ptr<TnxBaseFilterEngine> sbcNewFilterEngine(TnxBaseFilterDescriptor* aFilter,
                                                          const InxFieldsSource* aFieldsSource);
};

}  // namespace revurov
