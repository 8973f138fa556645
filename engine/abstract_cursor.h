// TnxAbstractCursor: a position in one table (or result set) of an open
// database, through which a client reads, positions, filters, locks and
// changes records and their blobs. Engines implement most of it; the base
// keeps what every engine shares: the cursor options, the place in the
// database's cursor list, record buffers, the identity and version of a
// record, filters built from expressions and callbacks, and the blob work
// (entry points, snapshot reads, batches, marked blobs, variant access).
//
// Contract:
// - A cursor joins its database's cursor list at construction and leaves
//   it at destruction; the engine's CursorCount follows it from after
//   construction to before destruction. It shares its database's lock.
// - The last cursor of a database with adCursorAutoFree frees the
//   database when it goes, unless the database is being destroyed itself.
// - Record buffers are RecordLength + 4 bytes of the library heap, cleared
//   to all-null; the record identity and version are read at the special
//   fields' offsets, a field the table lacks reading 0.
// - Options belong to the thread that drives the cursor: no lock.
// - BlobRead and BlobGetLength run the worker under the lock and let
//   exceptions pass; BlobReplace and BlobReadSnapshoted answer codes.
// - Marked blobs are shared with the caller by reference (a counted word
//   array); nil means none marked.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "dictionary/diff_compressor.h"
#include "dictionary/engine_records.h"
#include "dictionary/filter_engines.h"
#include "dictionary/shared_infos.h"
#include "dictionary/simple_expression_filter.h"
#include "engine/timeout_object.h"
#include "platform/variant.h"

namespace revurov {

namespace platform {
class TStream;
class TStringList;
}  // namespace platform

class TnxAbstractDatabase;
class TnxAbstractRemoteCursor;
class TnxAbstractTaskInfo;
class TnxBaseTableDescriptor;
class TnxBatchStreamAccess;
class TnxCustomMemoryStream;
class TnxDataDictionary;
class TnxMemoryStream;
class InxFieldDescriptor;
class TnxFieldsDescriptor;

enum TnxAbstractCursorOption : uint8_t {
  acoChainedRecordGetUsesWriteLock, acoFailClientFilterFast, acoFilterActionFollowedByFirst,
  acoFilterActionFollowedBySync, acoFlipOrder, acoLockReleaseFollowedByRecordGet, acoPreCacheMarkedBlobs,
  acoRangeResetFollowedBySync, acoRangeSetFollowedByRecordGetNext, acoRangeSetFollowedBySetToBegin,
  acoRecNoSetFollowedBySync, acoRecordDeleteFollowedBySync, acoRecordGetFollowedByGetBookmark,
  acoRecordGetForKeyFollowedByRecordGet, acoRecordInsertFollowedByRecordGet, acoRecordModifyFollowedBySync,
  acoSetToBeginFollowedByRecordGetNext, acoSetToBookmarkFollowedByNothing, acoSetToBookmarkFollowedByRecordGet,
  acoSetToBookmarkFollowedByRecordGetNext, acoSetToBookmarkFollowedByRecordGetPrior,
  acoSetToBookmarkFollowedBySync, acoSetToCursorFollowedBySyncExact, acoSetToEndFollowedByRecordGetPrior,
  acoSetToKeyFollowedBySync, acoSkipReadingBlobDataForBatch,
};
inline constexpr int nxAbstractCursorOptionCount = 26;
using TnxAbstractCursorOptions = uint32_t;  // bit n = option n
constexpr TnxAbstractCursorOptions nxCursorOption(TnxAbstractCursorOption aOption) noexcept {
  return TnxAbstractCursorOptions(1) << aOption;
}

enum TnxAbstractCursorCapability : uint8_t { accCancelBlobs, accCaching };
using TnxAbstractCursorCapabilities = uint8_t;  // bit set
enum TnxAbstractCursorState : uint8_t { acsAutoFreeDatabase, acsLockedIncDone, acsIsCacheable, acsIsCache };
using TnxAbstractCursorStates = uint8_t;  // bit set
static_assert(nxAbstractCursorOptionCount <= 32 && acoSkipReadingBlobDataForBatch == nxAbstractCursorOptionCount - 1);

// Record, key and bookmark buffers are byte blocks; a key buffer has a
// type of its own so the overloads below tell the two apart.
enum class TnxKeyByte : uint8_t {};
using PnxRecordBuffer = uint8_t*;
using PnxKeyBuffer = TnxKeyByte*;
using PnxKeyOrRecordBuffer = void*;
using PnxBookmarkBuffer = void*;
using TnxDataSetKeyBufferArray = std::vector<PnxKeyBuffer>;
// Each key of a key batch points to this header, followed by the key (a
// direct key) or a whole record.
struct TnxDataSetKeyBuffer {
  int32_t kbFieldCount = 0;
  int32_t kbPartialLen = 0;
  bool kbModified = false;
  bool kbExclusive = false;
  bool kbDirectKey = false;
  uint8_t kbPadding = 0;
};
static_assert(sizeof(TnxDataSetKeyBuffer) == 12);
inline constexpr size_t nxDataSetKeyBufferHeader = sizeof(TnxDataSetKeyBuffer);
using TValueRelationship = int32_t;  // -1, 0, 1

// The raw blob batch reply: bbrpCount (16-bit), then that many 8-byte
// blob numbers.
using TnxBlobBatchReplyBytes = std::span<const uint8_t>;

struct TnxRecordDiffBlobBatch {
  TnxBlobBatchRequest* rdbbRequest = nullptr;
  std::vector<uint8_t>* rdbbReply = nullptr;
};
struct TnxRecordDiff {
  PnxRecordBuffer rdDiff = nullptr;
  PnxRecordBuffer rdFull = nullptr;
  TnxRecordDiffBlobBatch rdBlobBatch;
};

enum TnxPosnOnRec : uint8_t { porFalse, porTrue, porTry };
enum TnxFilterAction : uint8_t { faActivate, faDeactivate, faRemove };

// The marked blob fields, shared with whoever set them.
using TnxMarkedBlobsRef = std::shared_ptr<const TnxMarkedBlobsByBlobIdx>;

// Frees a record buffer of RecordBufferAlloc.
struct TnxRecordBufferFree {
  void operator()(uint8_t* aBuffer) const noexcept;
};
using TnxRecordBufferPtr = std::unique_ptr<uint8_t, TnxRecordBufferFree>;

class TnxAbstractCursor : public TnxAbstractTimeoutObject, public InxFieldsSource {
  REVUROV_SERVER_OBJECT_CLASS(TnxAbstractCursor, TnxAbstractTimeoutObject)
  TnxAbstractDatabase* Database() const noexcept { return acDatabase; }
  TnxAbstractCursor* DatabasePrev() const noexcept { return acDatabasePrev; }
  TnxAbstractCursor* DatabaseNext() const noexcept { return acDatabaseNext; }
  TnxFieldsDescriptor* FieldsDescriptor() const noexcept { return acFieldsDescriptor; }
  uint32_t RecordLength() const noexcept { return acRecordLength; }
  const TnxSpecialFieldsInfo* SFI() const noexcept { return acSFI.get(); }
  // Fetched from the fields descriptor on first use.
  TnxDiffCompressorInfo* DCI();
  TnxAbstractCursorOptions& CursorOptions() noexcept { return acOptions; }
  TnxAbstractCursorCapabilities Capabilities() const noexcept { return acCapabilities; }
  TnxAbstractCursorStates States() const noexcept { return acStates; }
  bool IsCache() const noexcept { return (acStates >> acsIsCache) & 1; }
  const TnxMarkedBlobsRef& MarkedBlobs() const noexcept { return acMarkedBlobs; }

  bool AddCursorOption(TnxAbstractCursorOption aOption) noexcept;
  bool RemoveCursorOption(TnxAbstractCursorOption aOption) noexcept;
  bool AddCursorOptions(TnxAbstractCursorOptions aOptions) noexcept;
  bool RemoveCursorOptions(TnxAbstractCursorOptions aOptions) noexcept;
  bool HasAnyCursorOptions(TnxAbstractCursorOptions aOptions) const noexcept { return (acOptions & aOptions) != 0; }
  bool HasAllCursorOptions(TnxAbstractCursorOptions aOptions) const noexcept {
    return (acOptions & aOptions) == aOptions;
  }

  bool IsResultSet = false;
  bool IsUnnamed = false;

  // ---- the catalogue ----
  virtual TnxDataDictionary* _Dictionary() = 0;
  virtual TnxBaseTableDescriptor* TableDescriptor() = 0;
  virtual std::u16string FullName() = 0;
  virtual std::u16string AliasName() { return {}; }
  virtual void SetFieldAsVariantSelf(PnxRecordBuffer aData, int32_t aField, const platform::TnxVariant& aValue);
  virtual bool BlobReadNeedsSnapshot(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                     bool aReadOriginal);
  virtual uint32_t BlobReadSnapshotStart();
  virtual uint32_t BlobReadSnapshotEnd();
  virtual void InitRecordLayout();
  virtual uint32_t SavePath();
  virtual uint32_t RestorePath();
  // Raises the engine's exception, 12289.
  virtual void RequestNestedTransactions();
  virtual PnxRecordBuffer RecordBufferAlloc();
  virtual void RecordBufferFree(PnxRecordBuffer aData);
  virtual void RecordBufferClear(PnxRecordBuffer aData);
  virtual uint32_t SetToBegin() = 0;
  virtual uint32_t SetToCursor(TnxAbstractCursor* aCursor) = 0;
  virtual uint32_t SetToEnd() = 0;
  virtual uint32_t SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter,
                               bool aForward) = 0;
  virtual uint32_t sbcGetBookmarkSize(uint32_t& aSize) = 0;
  virtual uint32_t GetBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) = 0;
  virtual uint32_t GetBookmarkCache(PnxBookmarkBuffer aBookmark, uint32_t aSize);
  virtual uint32_t CompareBookmarks(PnxBookmarkBuffer aBookmark1, PnxBookmarkBuffer aBookmark2, uint32_t aSize,
                                    TValueRelationship& aResult) = 0;
  virtual uint32_t SetToBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) = 0;
  virtual uint32_t SetToCacheBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize);
  virtual uint32_t BookmarkAsVariant(PnxBookmarkBuffer aBookmark, uint32_t aSize, platform::TnxVariant& aVar) = 0;
  virtual uint32_t BookmarkCheckLocal(PnxBookmarkBuffer aBookmark, uint32_t aSize);
  virtual uint32_t RecNoSupported() = 0;
  virtual uint32_t RecNoGet(uint32_t& aRecNo, bool aFlipOrder) = 0;
  virtual uint32_t RecNoSet(uint32_t aRecNo, bool aFlipOrder) = 0;
  virtual uint32_t RecordGet(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual uint32_t RecordGetNext(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual uint32_t RecordGetPrior(TnxLockType aLockType, PnxRecordBuffer aData) = 0;
  virtual uint32_t RecordInsert(TnxLockType aLockType, PnxRecordBuffer aData, int64_t* aAutoInc) = 0;
  virtual uint32_t RecordModify(PnxRecordBuffer aData, bool aReleaseLock, TnxRecordDiff* aDataDiff) = 0;
  virtual uint32_t RecordDelete(PnxRecordBuffer aData, TnxLSN aLSN) = 0;
  virtual uint32_t RecordIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) = 0;
  virtual uint32_t RecordLockRelease(bool aAllLocks, bool aCancelBlobs) = 0;
  virtual uint32_t AutoIncGet(uint32_t& aValue, bool aAllowCached) = 0;
  virtual uint32_t AutoIncSet(uint32_t aValue) = 0;
  virtual uint32_t FilterAddExpression(const TnxCANExpr& aExpression, TnxFilterID& aFilterID, bool aActivated);
  virtual uint32_t FilterAddCallback(void* aCookie, TnxFilterCallback aCallback, TnxFilterID& aFilterID,
                                     bool aActivated);
  virtual uint32_t FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) = 0;
  virtual uint32_t FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated,
                                       bool aIgnoreDropError) = 0;
  virtual uint32_t FilterSetTimeout(uint32_t aTimeout) = 0;
  virtual uint32_t FilterActivate(TnxFilterID aFilterID) = 0;
  virtual uint32_t FilterDeactivate(TnxFilterID aFilterID) = 0;
  virtual uint32_t FilterRemove(TnxFilterID aFilterID) = 0;
  virtual bool HasActiveLocalFilter() { return false; }
  virtual void FilterBeginTimeout() {}
  virtual bool FilterMatchesBuffer(PnxRecordBuffer) { return true; }
  virtual uint32_t SwitchToIndex(std::u16string_view aIndexName, int32_t aIndexID, TnxPosnOnRec aPosnOnRec) = 0;
  virtual uint32_t GetIndexID(int32_t& aIndexID) = 0;
  virtual uint32_t SetToKey(TnxSearchKeyAction aAction, int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                            PnxKeyOrRecordBuffer aData) = 0;
  virtual uint32_t RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey,
                                   PnxKeyOrRecordBuffer aKeyData, PnxRecordBuffer aData, bool aMatchFirst,
                                   bool aFirstCall) = 0;
  virtual uint32_t RecordGetForKeyBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                        TnxBatchStreamAccess*& aAccess, TnxDataSetKeyBufferArray& aKeyBuffers,
                                        bool aMatchFirst, bool aFirstCall) = 0;
  virtual uint32_t RangeReset() = 0;
  virtual uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1,
                            PnxKeyOrRecordBuffer aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                            int32_t aPartialLen2, bool aDirectKey2, PnxKeyOrRecordBuffer aKeyData2,
                            bool aKeyIncl2) = 0;
  virtual uint32_t CompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1,
                               PnxKeyOrRecordBuffer aKey1, bool aDirectKey2, PnxKeyOrRecordBuffer aKey2,
                               TValueRelationship& aResult) = 0;
  virtual uint32_t BuildKey(PnxRecordBuffer aData, PnxKeyBuffer aKey, bool aIgnoreFilter);
  virtual uint32_t KeyToRecord(PnxKeyBuffer aKey, PnxRecordBuffer aData);
  virtual uint32_t KeyFilterAddExpression(const TnxCANExpr& aExpression, TnxKeyFilterID& aFilterID);
  virtual uint32_t KeyFilterAddCallback(void* aCookie, TnxFilterCallback aCallback, TnxKeyFilterID& aFilterID);
  virtual uint32_t KeyFilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxKeyFilterID& aFilterID) = 0;
  virtual uint32_t KeyFilterActivate(TnxKeyFilterID aFilterID) = 0;
  virtual uint32_t KeyFilterDeactivate(TnxKeyFilterID aFilterID) = 0;
  virtual uint32_t KeyFilterRemove(TnxKeyFilterID aFilterID) = 0;
  virtual uint32_t RecordGetBatch(int32_t aCutoffSize, TnxRecordGetBatchExOptions aOptions,
                                  TnxBatchStreamAccess*& aAccess, int32_t aMaxRecords, bool aForward) = 0;
  virtual uint32_t RecordInsertBatch(TnxCustomMemoryStream& aStream) = 0;
  // A new access to aStream (a new stream when nil) for this cursor; the
  // access takes the stream only when it is made.
  virtual std::unique_ptr<TnxBatchStreamAccess> CreateBatchStreamAccess(std::unique_ptr<TnxMemoryStream>&& aStream,
                                                                        TnxRecordGetBatchExOptions aOptions);
  virtual uint32_t CopyRecords(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                               int32_t aMaxTransSize) = 0;
  virtual uint32_t CopyRecordsEx(TnxAbstractCursor* aDestCursor, TnxBlobCopyMode aBlobCopyMode,
                                 int32_t aMaxTransSize, bool aCheckValFields) = 0;
  virtual uint32_t DeleteRecords() = 0;
  virtual uint32_t BlobsCancel(TnxRefNr aRefNr) = 0;
  virtual uint32_t BlobBatchProcess(const TnxBlobBatchRequest& aRequest, std::vector<uint8_t>& aReply);
  // Applies the reply's entries beside the request's; a reply counting
  // more entries than the request (or its own bytes) hold answers 15522
  // after the common ones.
  virtual uint32_t BlobBatchApply(PnxRecordBuffer aData, const TnxBlobBatchRequest& aRequest,
                                  TnxBlobBatchReplyBytes aReply);
  virtual uint32_t BlobBatchEntryApply(PnxRecordBuffer aData, const TnxRecID& aRecID,
                                       const TnxBlobBatchRequestEntry& aRequestEntry,
                                       const TnxBlobBatchReplyEntry& aReplyEntry);
  virtual uint32_t BlobCreate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobCreateFile(const TnxRecID& aRecID, int32_t aFieldNo, std::u16string_view aFileName,
                                  TnxBlobNr& aBlobNr) = 0;
  virtual uint32_t BlobDelete(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) = 0;
  virtual uint32_t BlobFree(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) = 0;
  virtual uint32_t BlobRead(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                            uint32_t aLen, platform::TStream& aStream, bool aReadOriginal,
                            TnxNewBlobNr* aNewBlobNr);
  virtual uint32_t sbcBlobRead(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                               uint32_t aLen, platform::TStream& aStream, bool aReadOriginal,
                               TnxNewBlobNr* aNewBlobNr) = 0;
  virtual uint32_t BlobReadSnapshoted(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                      uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                      bool aReadOriginal, TnxBlobReadSnapshotState& aState, uint32_t* aBlobLength,
                                      TnxNewBlobNr* aNewBlobNr);
  // Follows 13058 to the number the engine names; a number already tried
  // in the call ends it with 13058.
  virtual uint32_t sbcBlobReadSnapshoted(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                         uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                         bool aReadOriginal, uint32_t* aBlobLength, TnxNewBlobNr* aNewBlobNr);
  virtual uint32_t BlobWrite(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aOffset,
                             uint32_t aLen, const void* aBlob) = 0;
  virtual uint32_t BlobReplace(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr, uint32_t aLen,
                               const void* aBlob);
  virtual uint32_t BlobTruncate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                uint32_t aBlobLength) = 0;
  virtual uint32_t BlobGetLength(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t& aLength,
                                 bool aReadOriginal, TnxNewBlobNr* aNewBlobNr);
  virtual uint32_t sbcBlobGetLength(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                    uint32_t& aLength, bool aReadOriginal, TnxNewBlobNr* aNewBlobNr) = 0;
  virtual uint32_t BlobModified(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, bool& aModified) = 0;
  virtual uint32_t BlobAddToCache(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, uint32_t aLen,
                                  const void* aBlob);
  virtual uint32_t BlobsSetMarked(TnxMarkedBlobsRef aMarkedBlobs);
  virtual uint32_t TableStreamGetList(platform::TStringList& aList) = 0;
  virtual uint32_t TableStreamWrite(std::u16string_view aStreamName, platform::TStream& aStream) = 0;
  virtual uint32_t TableStreamRead(std::u16string_view aStreamName, platform::TStream& aStream) = 0;
  virtual uint32_t TableStreamDelete(std::u16string_view aStreamName) = 0;
  virtual uint32_t TableIsLocked(TnxLockType aLockType, TnxLockPresent& aLockPresent) = 0;
  virtual uint32_t TableLockAcquire(TnxLockType aLockType) = 0;
  virtual uint32_t TableLockRelease(TnxLockType aLockType, bool aAllLocks) = 0;
  virtual uint32_t Duplicate(TnxOpenMode aOpenMode, TnxAbstractCursor*& aNewCursor) = 0;
  virtual uint32_t ChangePassword(std::u16string_view aNewPassword) = 0;
  virtual uint32_t GetRecordCount(uint32_t& aRecordCount, bool aEstimate) = 0;
  virtual uint32_t GetRecordCountAsync(TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual uint32_t GetRecordCountEx(TnxRecordCountOption aOption, uint32_t& aRecordCount, bool aEstimate) = 0;
  virtual uint32_t GetRecordCountExAsync(TnxRecordCountOption aOption, TnxAbstractTaskInfo*& aTaskInfo) = 0;
  virtual bool GetNextLSN(TnxLSN&) { return false; }
  // aCount: the capacity of aBlobNrs on entry, the number written on exit.
  virtual uint32_t GetBlobs(PnxRecordBuffer aData, bool aMarkedOnly, uint16_t& aCount, TnxBlobNr* aBlobNrs);
  virtual uint32_t ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr);
  virtual uint32_t GetDeletedRecords(TnxLSN aFromLSN, TnxRecordCacheInfos& aInfos, int32_t aMaxCount,
                                     TnxLSN* aCurrentLSN);

  // ---- forwarding overloads ----
  uint32_t SetToKey(TnxSearchKeyAction aAction, int32_t aFieldCount, int32_t aPartialLen, PnxKeyBuffer aKey) {
    return SetToKey(aAction, aFieldCount, aPartialLen, true, aKey);
  }
  uint32_t SetToKey(TnxSearchKeyAction aAction, int32_t aFieldCount, int32_t aPartialLen, PnxRecordBuffer aData) {
    return SetToKey(aAction, aFieldCount, aPartialLen, false, aData);
  }
  uint32_t RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, PnxKeyBuffer aKey, PnxRecordBuffer aData,
                           bool aMatchFirst, bool aFirstCall) {
    return RecordGetForKey(aFieldCount, aPartialLen, true, aKey, aData, aMatchFirst, aFirstCall);
  }
  uint32_t RecordGetForKey(int32_t aFieldCount, int32_t aPartialLen, PnxRecordBuffer aKeyData,
                           PnxRecordBuffer aData, bool aMatchFirst, bool aFirstCall) {
    return RecordGetForKey(aFieldCount, aPartialLen, false, aKeyData, aData, aMatchFirst, aFirstCall);
  }
  template <class Low, class High>
    requires((std::same_as<Low, PnxKeyBuffer> || std::same_as<Low, PnxRecordBuffer>) &&
             (std::same_as<High, PnxKeyBuffer> || std::same_as<High, PnxRecordBuffer>))
  uint32_t RangeSet(int32_t aFieldCount1, int32_t aPartialLen1, Low aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                    int32_t aPartialLen2, High aKeyData2, bool aKeyIncl2) {
    return RangeSet(aFieldCount1, aPartialLen1, std::same_as<Low, PnxKeyBuffer>, aKeyData1, aKeyIncl1,
                    aFieldCount2, aPartialLen2, std::same_as<High, PnxKeyBuffer>, aKeyData2, aKeyIncl2);
  }
  // Sized to the blob fields, trimmed to what was written, empty on error.
  uint32_t GetBlobs(PnxRecordBuffer aData, bool aMarkedOnly, TnxBlobNrs& aBlobNrs);

  // ---- record identity and version ----
  TnxRecID acGetRecID(const uint8_t* aData) const noexcept;
  uint32_t ExtractCacheInfo(const uint8_t* aData, TnxRecordCacheInfo& aInfo) const noexcept;
  uint32_t ContainsCacheInfo(const TnxRecordCacheInfo& aInfo);

  // ---- fields source ----
  int32_t GetFieldCount() const override;
  bool GetFieldForFilter(int32_t aField, const char* aName, const uint8_t* aData, uint16_t& aType, uint16_t& aSize,
                         bool& aIsNull, const void*& aValue, uint16_t& aCodePage) const override;
  // Reads blobs whole; a blob error raises.
  platform::TnxVariant GetFieldAsVariantSelf(const uint8_t* aData, int32_t aField);
  bool BlobsSupportedSelf() const noexcept { return true; }
  int32_t GetFieldFromNameRedirect(std::u16string_view aFieldName) const;
  int32_t GetFieldCountRedirect() const { return GetFieldCount(); }
  // Nil outside the field list.
  InxFieldDescriptor* GetFieldDescriptorRedirect(int32_t aIndex) const;
  TnxAbstractCursor* GetCursorSelf() noexcept { return this; }
  int32_t GetFieldsOffsetRedirect() const noexcept { return 0; }

  platform::HRESULT CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                      platform::IInterface* aOuter, const platform::TGUID& aInterfaceID,
                                      void** aInterface) override;
  void GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) override;
  void AfterConstruction() override;
  void BeforeDestruction() override;

protected:
  TnxAbstractCursor(TnxAbstractDatabase* aDatabase, uint32_t aTimeout);
  ~TnxAbstractCursor() override;

  // For engines whose table is cacheable (sets acsIsCacheable) or a cache.
  void SetCacheableInfo(TnxCacheableInfoRef aInfo) noexcept;
  void SetIsCache(bool aValue) noexcept;
  void SetCapabilities(TnxAbstractCursorCapabilities aValue) noexcept { acCapabilities = aValue; }

private:
  friend class TnxAbstractDatabase;
  friend class TnxBatchStreamAccess;

  // The blob fields' count, 0 without a layout.
  int32_t BlobFieldCount() const noexcept;
  int32_t BlobField(int32_t aBlobIdx) const noexcept;
  bool IsBlobMarked(int32_t aBlobIdx) const noexcept;
  // The field's blob number; false for a null field.
  bool ReadBlobNr(const uint8_t* aData, int32_t aField, TnxBlobNr& aBlobNr) const;

  TnxAbstractDatabase* acDatabase = nullptr;
  TnxAbstractCursor* acDatabasePrev = nullptr;
  TnxAbstractCursor* acDatabaseNext = nullptr;
  TnxFieldsDescriptor* acFieldsDescriptor = nullptr;  // the table descriptor's
  TnxCacheableInfoRef acCacheableInfo;
  TnxSpecialFieldsInfoRef acSFI;
  TnxDiffCompressorInfoRef acDCI;
  TnxMarkedBlobsRef acMarkedBlobs;
  uint32_t acRecordLength = 0;
  TnxAbstractCursorOptions acOptions = 0;
  TnxAbstractCursorCapabilities acCapabilities = 0;
  TnxAbstractCursorStates acStates = 0;
};

// The cursor of a remote engine.
class TnxAbstractRemoteCursor : public TnxAbstractCursor {
  REVUROV_SERVER_OBJECT_CLASS(TnxAbstractRemoteCursor, TnxAbstractCursor)
  virtual uint32_t rcCacheBlob(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                               TnxNewBlobNr* aNewBlobNr) = 0;

protected:
  using TnxAbstractCursor::TnxAbstractCursor;
};

// The cursor of an in-process engine; it may be the local cache of a
// remote cursor.
class TnxAbstractServerCursor : public TnxAbstractCursor {
  REVUROV_SERVER_OBJECT_CLASS(TnxAbstractServerCursor, TnxAbstractCursor)
  virtual uint32_t ascGetBlobCacheInfos(const TnxRecID& aRecID, TnxBlobCacheInfos& aInfos) = 0;
  virtual uint32_t ascSetBlobCacheFlushed(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                          TnxBlobNr* aServerBlobNr) = 0;
  // 12289 (no message) without a remote cursor.
  uint32_t ascBlobRequestCache(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr);

  TnxAbstractRemoteCursor* ascRemoteCursor = nullptr;  // not owned

protected:
  using TnxAbstractCursor::TnxAbstractCursor;
};

}  // namespace revurov
