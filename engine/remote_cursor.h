// TnxRemoteCursor: the client side of a cursor the server opened; its
// remote database makes it from the open reply (CursorOpen).
//
// Contract:
// - The index ID a server names must lie in -1 .. index count - 1 of the
//   table; otherwise construction raises 15522 and takes nothing over.
// - The dictionary is either a shared remote one (the cursor takes its own
//   reference) or a plain one the cursor owns.
// - Requests go through the cursor's own place in its session's queue, so
//   replies a server sent ahead for it wait there.
// - A SetToBookmark bigger than the table's largest bookmark answers 9986.
//   With cfDelayedSetToBookmark it is held back: the next can-skip request
//   (another positioning, the close) drops it, any other sends it first.
// - Freed, it closes the server's cursor ($3FF, can-skip, errors
//   swallowed); its session must still be alive, its database need not.
// - The filter deadline is on the engine's 64-bit millisecond clock.
// - No local record cache yet: reads send the plain forms ($321-$323).
//   A positioning request may chain the following read (servers above
//   47001 with cfMessageReduction); its reply waits in the queue for the
//   read of the expected kind, and a read of an expected kind that finds
//   nothing queued forgets all expected kinds.
// - Record replies are checked against their code (record length, blob
//   trailer, cache info); one that does not fit answers 15522.
// - Keys and bookmarks are built, compared and checked locally by the
//   current index's key engine and bookmark handler where they exist
//   (comparisons only under the index's own collation); a key built
//   locally is given back on every path.
// - An index ID answered by the server outside -1 .. index count - 1
//   gives 15522 and the cursor keeps its index.
// - Record changes and batch reads send the forms without a cache: no
//   record goes to a cache, no diff or blob batch travels. Their raw
//   replies (auto-inc value, lock state, deleted record, batch header) are
//   checked before use; a "cache is valid" answer gives 15522.
// - The cached auto-inc value is kept only with cfAutoIncCache; a
//   negative value received leaves it, a batch insert makes it unknown.
// - A record filter the server takes is evaluated there; any other (one
//   that cannot be written, or that the server refuses) is evaluated on the
//   records as they arrive, and adding it still answers 0. Key filters are
//   the server's only. Filter IDs are the engines' handles; freeing the
//   cursor drops its engines without removing them one by one.
// - Operations of later steps answer 12289 until they are built.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/abstract_cursor.h"
#include "engine/remote_session.h"

namespace revurov {

class TnxRemoteDatabase;
class TnxRemoteDataDictionary;
class TnxBaseKeyEngine;
class TnxBookmarkHandler;
class TnxWriter;
class TnxRequestWriter;

inline constexpr TnxMsgID nxnmCursorSetToBookmark = 0x313;
inline constexpr TnxMsgID nxnmCursorDuplicate = 0x3C1;
inline constexpr TnxMsgID nxnmCursorClose = 0x3FF;

inline constexpr uint32_t nxDefaultFilterTimeout = 500;
// The most blob bytes one request or reply carries.
inline constexpr uint32_t nxRemoteBlobChunkSize = 1048576;

// Reads whose replies a chained positioning request has the server send
// ahead; bit n of ExpectedMultiPartReplies is kind n.
enum TnxExpectedMultiPartReply : uint8_t { emprRecordGet, emprRecordGetNext, emprRecordGetPrior };

class TnxRemoteCursor : public TnxAbstractRemoteCursor {
  REVUROV_SERVER_OBJECT_CLASS(TnxRemoteCursor, TnxAbstractRemoteCursor)
  // Exactly one of aShared and aOwned is given.
  TnxRemoteCursor(TnxRemoteDatabase* aDatabase, uint32_t aTimeout, TnxCursorID aCursorID, int32_t aIndexID,
                  TnxRemoteDataDictionary* aShared, std::unique_ptr<TnxDataDictionary> aOwned,
                  std::u16string_view aTableName, int64_t aAutoInc);

  void AfterConstruction() override;

  TnxCursorID CursorID() const noexcept { return rcCursorID; }
  TnxMessageSource Source() const noexcept { return rcSource.Token(); }
  int64_t CachedAutoInc() const noexcept { return rcCachedAutoInc; }
  uint32_t FilterTimeout() const noexcept { return rcFilterTimeout; }
  // The server has the value already (it came with the open).
  void FilterTimeoutKnown(uint32_t aTimeout) noexcept { rcFilterTimeout = aTimeout; }
  TnxRemoteDataDictionary* SharedDictionary() const noexcept { return rcShared; }
  bool DelayedSetToBookmarkPending() const noexcept { return rcDelayedSetToBookmarkSize != 0; }

  TnxDataDictionary* _Dictionary() override { return rc_Dictionary; }
  TnxBaseTableDescriptor* TableDescriptor() override { return rcTableDescriptor; }
  std::u16string FullName() override { return rcTableName; }

  uint32_t Duplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor) override;
  uint32_t SetToBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) override;
  uint32_t sbcGetBookmarkSize(uint32_t& aSize) override;
  uint32_t GetIndexID(int32_t& aIndexID) override;
  uint32_t FilterSetTimeout(uint32_t aTimeout) override;

  // The plain SetToBookmark request, without delay.
  uint32_t rcSetToBookmarkInner(PnxBookmarkBuffer aBookmark, uint32_t aSize);
  // For the record reads: a local filter scan's deadline.
  void rcFilterTimeoutStart() noexcept;
  // True (aResult 15444) past the deadline or with acoFailClientFilterFast.
  bool rcFilterTimedOut(uint32_t& aResult) noexcept;
  void rcFilterTimeoutSuspend() noexcept;
  void rcFilterTimeoutResume() noexcept;

  // ---- record reads, positioning, keys, ranges, bookmarks ----
  uint32_t RecordGet(TnxLockType aLockType, PnxRecordBuffer aData) override;
  uint32_t RecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) override;
  uint32_t RecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) override;
  uint32_t SetToBegin() override;
  uint32_t SetToEnd() override;
  uint32_t SetToCursor(TnxAbstractCursor* aCursor) override;
  uint32_t GetBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) override;
  uint32_t CompareBookmarks(PnxBookmarkBuffer aBookmark1, PnxBookmarkBuffer aBookmark2, uint32_t aSize,
                            TValueRelationship& aCompResult) override;
  uint32_t BookmarkAsVariant(PnxBookmarkBuffer aBookmark, uint32_t aSize, platform::TnxVariant& aVariant) override;
  uint32_t BookmarkCheckLocal(PnxBookmarkBuffer aBookmark, uint32_t aSize) override;
  uint32_t RecNoSupported() override;
  uint32_t RecNoGet(uint32_t& aRecNo, bool aFlipOrder) override;
  uint32_t RecNoSet(uint32_t aRecNo, bool aFlipOrder) override;
  uint32_t BuildKey(PnxRecordBuffer aData, PnxKeyBuffer aKey, bool aIgnoreFilter) override;
  uint32_t KeyToRecord(PnxKeyBuffer aKey, PnxRecordBuffer aData) override;
  uint32_t CompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1, PnxKeyOrRecordBuffer aKey1,
                       bool aDirectKey2, PnxKeyOrRecordBuffer aKey2, TValueRelationship& aResult) override;
  uint32_t SetToKey(TnxSearchKeyAction aAction, int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                    PnxKeyOrRecordBuffer aData) override;
  uint32_t RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey, PnxKeyOrRecordBuffer aKeyData,
                           PnxRecordBuffer aData, bool aMatchFirst, bool aFirstCall) override;
  uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1, PnxKeyOrRecordBuffer aKeyData1,
                    bool aKeyIncl1, int32_t aFieldCount2, int32_t aPartialLen2, bool aDirectKey2,
                    PnxKeyOrRecordBuffer aKeyData2, bool aKeyIncl2) override;
  uint32_t RangeReset() override;
  uint32_t SwitchToIndex(std::u16string_view aIndexName, int32_t aIndexID, TnxPosnOnRec aPosnOnRec) override;
  // The chained reads whose replies the server sent ahead (a set of
  // TnxExpectedMultiPartReply).
  uint8_t ExpectedMultiPartReplies() const noexcept { return rcExpectedMultiPartReplies; }
  bool BookmarkCacheValid() const noexcept { return rcBookmarkCacheValid; }

  // ---- record changes and batch reads ----
  uint32_t RecordInsert(TnxLockType aLockType, PnxRecordBuffer aData, int64_t* aAutoInc) override;
  uint32_t RecordModify(PnxRecordBuffer aData, bool aReleaseLock, TnxRecordDiff* aDataDiff) override;
  uint32_t RecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) override;
  uint32_t RecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) override;
  uint32_t RecordLockRelease(bool aAllLocks, bool aCancelBlobs) override;
  uint32_t AutoIncGet(uint32_t& aValue, bool aAllowCached) override;
  uint32_t AutoIncSet(uint32_t aValue) override;
  uint32_t RecordInsertBatch(TnxCustomMemoryStream& aStream) override;
  uint32_t CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, int32_t aMaxTransSize) override;
  uint32_t CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode, int32_t aMaxTransSize,
                         bool aCheckValFields) override;
  uint32_t DeleteRecords() override;
  uint32_t RecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions, TnxBatchStreamAccess*& aAccess,
                          int32_t aMaxRecords, bool aForward) override;
  uint32_t RecordGetForKeyBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                TnxBatchStreamAccess*& aAccess, TnxDataSetKeyBufferArray& aKeys, bool aMatchFirst,
                                bool aFirstCall) override;
  // What a batch read sends: the caller's options without those the table,
  // the server or the marked blobs rule out (direction not included).
  TnxRecordGetBatchExOptions rcCleanBatchOptions(TnxRecordGetBatchExOptions aOptions) const noexcept;

  // ---- blobs ----
  // No local cache yet: every blob operation goes to the server, in chunks
  // of nxRemoteBlobChunkSize. A reply carrying more bytes than the chunk
  // asked, or a count its bytes do not hold, answers 15522 and leaves the
  // stream as it was before that chunk. A renumbered blob (13058 with a
  // new number) is followed while the server names numbers not yet seen
  // in the call; a number seen again ends it with 13058.
  uint32_t rcCacheBlob(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, TnxNewBlobNr* aNewBlobNr) override;
  uint32_t BlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr) override;
  uint32_t BlobCreateFile(const TnxRecID& aRecID, int32_t aFieldNo, std::u16string_view aFileName,
                          TnxBlobNr& aBlobNr) override;
  uint32_t BlobDelete(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  uint32_t BlobFree(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) override;
  uint32_t sbcBlobRead(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                       platform::TStream& aStream, bool aReadOriginal, TnxNewBlobNr* aNewBlobNr) override;
  uint32_t BlobReadSnapshoted(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                              uint32_t aLen, platform::TStream& aStream, bool aReadOriginal,
                              TnxBlobReadSnapshotState& aState, uint32_t* aBlobLength,
                              TnxNewBlobNr* aNewBlobNr) override;
  uint32_t BlobWrite(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                     const void* aBlob) override;
  uint32_t BlobReplace(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr, uint32_t aLen,
                       const void* aBlob) override;
  uint32_t BlobTruncate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aBlobLength) override;
  uint32_t sbcBlobGetLength(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t& aLength,
                            bool aReadOriginal, TnxNewBlobNr* aNewBlobNr) override;
  // aReply gets the raw reply: its count, then one blob number per entry.
  uint32_t BlobBatchProcess(const TnxBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply) override;
  uint32_t BlobsCancel(TnxRefNr aRefNr) override;

  // ---- table-level operations ----
  TnxBaseID RemoteID() const noexcept override { return rcCursorID; }
  // Paths the local walk does not take go to the server object.
  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  bool IsRemote() const noexcept override { return true; }
  int32_t RemoteThreadPriority() const override { return rcRemoteThreadPriority; }
  void SetRemoteThreadPriority(int32_t aValue) override { rcRemoteThreadPriority = aValue; }
  // An unchanged value sends nothing; an open timeout batch takes it.
  void SetTimeout(uint32_t aValue) override;
  uint32_t TableStreamGetList(platform::TStringList& aList) override;
  // The whole stream, whatever its position.
  uint32_t TableStreamWrite(std::u16string_view aStreamName, platform::TStream& aStream) override;
  uint32_t TableStreamRead(std::u16string_view aStreamName, platform::TStream& aStream) override;
  uint32_t TableStreamDelete(std::u16string_view aStreamName) override;
  uint32_t TableIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) override;
  uint32_t TableLockAcquire(TnxLockType aLockType) override;
  uint32_t TableLockRelease(TnxLockType aLockType, bool aAllLocks) override;
  uint32_t ChangePassword(std::u16string_view aNewPassword) override;
  // With a local filter the client counts (and returns to its record).
  uint32_t GetRecordCount(uint32_t& aRecordCount, bool aEstimate) override;
  uint32_t GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t GetRecordCountEx(TnxRecordCountOption aOption, uint32_t& aRecordCount, bool aEstimate) override;
  uint32_t GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) override;
  uint32_t ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) override;
  // A count the reply cannot hold, or above a positive aMaxCount, answers
  // 15522 before anything is allocated.
  uint32_t GetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aInfos, int32_t aMaxCount,
                             TnxLSN* aCurrentLSN) override;
  uint32_t OptionClear(std::u16string_view aName) override;
  uint32_t OptionSet(std::u16string_view aName, std::u16string_view aValue) override;
  uint32_t OptionGet(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionGetEffective(std::u16string_view aName, std::u16string& aValue) override;
  uint32_t OptionList(platform::TStringList& aList) override;
  uint32_t OptionListEffective(platform::TStringList& aList) override;

  // ---- filters ----
  uint32_t SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter,
                       bool aForward) override;
  // Adds aFilter, reads to the first (last) record it takes, drops it.
  uint32_t SetToFilterLocal(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter, bool aForward);
  uint32_t FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) override;
  uint32_t FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated,
                               bool aIgnoreDropError) override;
  uint32_t FilterActivate(TnxFilterID aFilterID) override;
  uint32_t FilterDeactivate(TnxFilterID aFilterID) override;
  uint32_t FilterRemove(TnxFilterID aFilterID) override;
  bool HasActiveLocalFilter() override;
  void FilterBeginTimeout() override { rcFilterTimeoutStart(); }
  bool FilterMatchesBuffer(PnxRecordBuffer aData) override;
  uint32_t KeyFilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxKeyFilterID& aFilterID) override;
  uint32_t KeyFilterActivate(TnxKeyFilterID aFilterID) override;
  uint32_t KeyFilterDeactivate(TnxKeyFilterID aFilterID) override;
  uint32_t KeyFilterRemove(TnxKeyFilterID aFilterID) override;
  // Tells the server of a filter's change; aServerFilterID 0 is all of them.
  uint32_t ProcessFilterAction(TnxFilterAction aAction, uint32_t aServerFilterID);
  // The same for a key filter ($36B-$36D); a remove answers 0 whatever came.
  uint32_t ProcessKeyFilterAction(TnxFilterAction aAction, uint32_t aServerKeyFilterID);
  // The filter engines, for inspection; null when none.
  TnxBaseFilterEngine* Filter() const noexcept { return rcFilter.get(); }
  TnxBaseFilterEngine* KeyFilter() const noexcept { return rcKeyFilter.get(); }
  // -1 or a server filter ID only while a replace runs.
  int64_t FilterToDrop() const noexcept { return rcFilterToDrop; }
  uint32_t BlobModified(const TnxRecID&, int32_t, TnxBlobNr, bool&) override { return NotSupported(u"BlobModified"); }

protected:
  ~TnxRemoteCursor() override;

private:
  // Every request of the cursor: a held-back SetToBookmark is dropped by a
  // can-skip one and sent ahead of any other.
  uint32_t rcRequest(TnxMsgID aMsgID, const void* aData, int32_t aLen, TnxMemoryStream* aReply,
                     bool aCanSkipCantSkip) noexcept;
  uint32_t rcSend(TnxMsgID aMsgID, const void* aData, int32_t aLen, TnxMemoryStream* aReply,
                  bool aCanSkipCantSkip) noexcept;
  void rcFlushDelayedSetToBookmark(bool aDrop) noexcept;
  void rcReleaseDictionary() noexcept;
  // The same as rcRequest with the reply as a library-heap block.
  uint32_t rcRequestBlock(TnxMsgID aMsgID, const void* aData, int32_t aLen, TnxRecordBufferPtr* aReply,
                          int32_t* aReplyLen, bool aCanSkipCantSkip) noexcept;
  // rcRequestBlock whose reply aView reads where it lies: aView(code,
  // bytes) answers the result, and raises what it raises.
  template <class F>
  uint32_t rcRequestInPlace(TnxMsgID aMsgID, const void* aData, int32_t aLen, F& aView) {
    if (rcDelayedSetToBookmarkSize != 0) rcFlushDelayedSetToBookmark(false);
    return rcSession.ProcessRequestInPlace(
        rcSource.Token(), rcRemoteThreadPriority, aMsgID, Timeout(), aData, aLen,
        [](void* aContext, uint32_t aCode, std::span<const uint8_t> aReply) -> uint32_t {
          return (*static_cast<F*>(aContext))(aCode, aReply);
        },
        &aView);
  }
  uint32_t rcRecordGet(uint8_t aKind, TnxLockType aLockType, PnxRecordBuffer aData);
  uint32_t rcSetToBeginOrEnd(bool aEnd);
  uint32_t rcGetBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize, bool aQueued);
  // Next and prior swap places under acoFlipOrder.
  void rcExpectMultiPartReply(uint8_t aKind) noexcept;
  void rcUpdateBookmarkHandler();
  // Nil without an index or an engine for it.
  const TnxBaseKeyEngine* rcKeyEngine() const noexcept;
  // The bytes a key takes on the wire: the index's key or a whole record.
  uint32_t rcKeyLength(bool aDirect, const void* aKeyData) const;
  // Writes the held-back bookmark (size, then its bytes) and forgets it.
  void rcWriteDelayedBookmark(TnxWriter& aWriter);
  bool rcFilterActive() { return HasActiveLocalFilter(); }
  uint32_t rcLocalFilterRefuses(std::u16string_view aOperation);
  bool rcHasBlobFields() const noexcept { return SFI() && !SFI()->sfiBlobFields.empty(); }
  // A new access when aAccess is nil, else aAccess cleared.
  uint32_t rcPrepareBatchAccess(TnxBatchStreamAccess*& aAccess, TnxRecordGetBatchExOptions aOptions);
  // Sends a batch read whose reply goes into aAccess's stream.
  uint32_t rcReceiveBatch(TnxMsgID aMsgID, const std::vector<uint8_t>& aPayload, TnxBatchStreamAccess& aAccess,
                          bool aCanSkip);
  // CopyRecords, or CopyRecordsEx with aCheckValFields.
  uint32_t rcCopyRecords(std::u16string_view aOperation, TnxAbstractCursor* aDestCursor,
                         TnxBlobCopyMode aBlobCopyMode, int32_t aMaxTransSize, const bool* aCheckValFields);

  // ---- filters ----
  // The chained filter requests ($367-$369) may be used.
  bool rcFilterChained() const noexcept;
  // A record read is to follow a filter change in the same request.
  bool rcFilterChainFollows() noexcept;
  void rcWriteFilterChainFlags(TnxWriter& aWriter);
  void rcExpectFilterChain() noexcept;
  // $368 or $369; the stand-in of the server's filter, or null. aWritten:
  // the descriptor could be written (else nothing was sent).
  std::unique_ptr<TnxBaseFilterEngine> rcChainedFilterRequest(TnxMsgID aMsgID, TnxBaseFilterDescriptor& aFilter,
                                                              bool aActivated, bool aIgnoreDropError, bool& aWritten);
  // A local engine when aEngine is null; joins rcFilter.
  uint32_t rcFilterAttach(std::unique_ptr<TnxBaseFilterEngine> aEngine, TnxBaseFilterDescriptor& aFilter,
                          TnxFilterID& aFilterID, bool aActivated);
  uint32_t rcFilterSwitch(bool aActivate, TnxFilterID aFilterID);
  // A duplicate gets the active filters evaluated here; the server's
  // filters belong to this cursor's server side.
  void rcCopyLocalFilters(TnxRemoteCursor& aTarget) const;
  uint32_t rcKeyFilterSwitch(bool aActivate, TnxKeyFilterID aFilterID);
  uint32_t rcSetToFilterArgs(std::u16string_view aOperation, TnxBaseFilterDescriptor* aFilter,
                             TnxBaseFilterDescriptor* aKeyFilter);

  // ---- blobs and table-level requests ----
  // The cursor writer over ProcessRequest, and the same over the direct
  // path; both start with the cursor's ID.
  std::unique_ptr<TnxRequestWriter> rcCreateRequest();
  std::unique_ptr<TnxRequestWriter> rcCreateRequestDirect();
  // The record form ($A9x) carries the record's ID.
  bool rcBlobRecordForm(const TnxRecID& aRecID) const noexcept;
  // A blob request with no reply data, or with a raw reply of at least
  // aMinReply bytes on success (15522 otherwise).
  uint32_t rcBlobRequest(TnxMsgID aMsgID, const std::vector<uint8_t>& aPayload, TnxRecordBufferPtr* aReply,
                         int32_t* aReplyLen, size_t aMinReply);
  uint32_t rcBlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, const std::u16string* aFileName, TnxBlobNr& aBlobNr);
  uint32_t rcBlobReadInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                           uint32_t aLen, platform::TStream& aStream, bool aReadOriginal, TnxNewBlobNr* aNewBlobNr);
  uint32_t rcBlobReadOuter(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                           uint32_t aLen, platform::TStream& aStream, bool aReadOriginal, TnxNewBlobNr* aNewBlobNr);
  uint32_t rcBlobReadSnapshotedInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                                     uint32_t aLen, platform::TStream& aStream, bool aReadOriginal,
                                     TnxBlobReadSnapshotState& aState, uint32_t* aBlobLength,
                                     TnxNewBlobNr* aNewBlobNr);
  uint32_t rcBlobReadSnapshotedOuter(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                                     uint32_t aLen, platform::TStream& aStream, bool aReadOriginal,
                                     TnxBlobReadSnapshotState& aState, uint32_t* aBlobLength,
                                     TnxNewBlobNr* aNewBlobNr);
  uint32_t rcBlobGetLengthInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t& aLength,
                                bool aReadOriginal, TnxNewBlobNr* aNewBlobNr);
  uint32_t rcBlobWriteInner(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                            uint32_t aLen, const void* aBlob);
  // A snapshot a read left open is closed through the database.
  void rcBlobSnapshotClose(TnxBlobReadSnapshotState& aState) noexcept;
  // The 4-byte reply of a raw request through the direct path.
  uint32_t rcCountRequest(TnxMsgID aMsgID, const uint8_t* aPayload, int32_t aLen, uint32_t& aCount);
  uint32_t rcTaskRequest(const uint8_t* aPayload, int32_t aLen, TnxAbstractTaskInfo*& aTaskInfo);
  uint32_t rcClientRecordCount(uint32_t& aRecordCount);
  uint32_t rcOptionGet(TnxMsgID aMsgID, std::u16string_view aName, std::u16string& aValue);
  uint32_t rcOptionList(TnxMsgID aMsgID, platform::TStringList& aList);

  TnxRemoteDatabase* rcDatabase;
  TnxRemoteSession& rcSession;
  TnxRemoteSource rcSource;
  TnxThreadPriority rcRemoteThreadPriority = 0;
  int32_t rcServerVersion = 0;
  TnxCursorID rcCursorID = 0;
  int32_t rcIndexID = -1;
  uint32_t rcBookmarkSize = 0;
  uint32_t rcMaxBookmarkSize = 0;
  TnxDataDictionary* rc_Dictionary = nullptr;
  TnxRemoteDataDictionary* rcShared = nullptr;  // one reference
  std::unique_ptr<TnxDataDictionary> rcOwned;
  std::u16string rcTableName;
  TnxBaseTableDescriptor* rcTableDescriptor = nullptr;
  std::vector<uint8_t> rcBookmarkCache;
  bool rcBookmarkCacheValid = false;
  std::vector<uint8_t> rcDelayedSetToBookmark;
  uint32_t rcDelayedSetToBookmarkSize = 0;
  uint32_t rcFilterTimeout = nxDefaultFilterTimeout;
  uint64_t rcFilterUntil = 0;
  int32_t rcFilterTimeoutLock = 0;
  // While a replace runs: -1, or the server filter it took out.
  int64_t rcFilterToDrop = 0;
  std::unique_ptr<TnxBaseFilterEngine> rcFilter;
  std::unique_ptr<TnxBaseFilterEngine> rcKeyFilter;
  int64_t rcCachedAutoInc = -1;
  std::vector<std::unique_ptr<TnxBaseKeyEngine>> rcKeyEngines;           // by index ID; nil where none
  std::vector<std::unique_ptr<TnxBookmarkHandler>> rcBookmarkHandlers;  // by index ID + 1
  TnxBookmarkHandler* rcBookmarkHandler = nullptr;
  uint8_t rcExpectedMultiPartReplies = 0;
};

}  // namespace revurov
