// A small in-memory engine built on the abstract session, database,
// transaction context, task info, cursor and statement: its sessions open
// databases on a set of known aliases, its databases open cursors on the
// tables a test lays out, its cursors keep blobs in a map, and everything
// records what it was asked, so tests can drive the abstract classes' own
// steps.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_cursor.h"
#include "engine/abstract_database.h"
#include "engine/abstract_session.h"
#include "engine/abstract_task_info.h"
#include "engine/abstract_trans_context.h"
#include "engine/sql_engine_classes.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/stream.h"
#include "support/test_engine.h"

namespace revurov::testing {

class MemoryEngine;

// How an inner operation of a temporary database ends.
enum class InnerOutcome { Succeed, Fail, Raise };
inline constexpr uint32_t kInnerFailure = 10025;

struct DatabaseOpenCall {
  std::u16string AliasType;
  std::u16string Alias;
  bool GivenContext;
  TnxOpenMode OpenMode;
  TnxShareMode ShareMode;
  uint32_t Timeout;
};

struct CursorOpenCall {
  std::u16string Table;
  TnxOpenMode OpenMode;
  TnxShareMode ShareMode;
  uint32_t Timeout;
  std::u16string IndexName;
  int32_t IndexID;
  bool AllowSystem;
  uint32_t FilterTimeout;
};

// How the snapshot steps of a memory cursor answer.
struct SnapshotScript {
  bool Needed = true;
  uint32_t StartResult = 0;
  uint32_t EndResult = 0;
  int Starts = 0;
  int Ends = 0;
};

// The memory cursor over a server cursor class of the engine interface.
template <class Base>
class MemoryCursorT : public Base {
public:
  // aDictionary may be nil (a cursor only for table streams); the test
  // keeps it alive.
  MemoryCursorT(TnxAbstractDatabase* aDatabase, uint32_t aTimeout, MemoryEngine& aEngine, std::u16string aTable,
                TnxDataDictionary* aDictionary)
      : Base(aDatabase, aTimeout), mcEngine(aEngine), mcTable(std::move(aTable)), mcDictionary(aDictionary) {}

  void AfterConstruction() override {
    Base::AfterConstruction();
    if (mcDictionary) this->InitRecordLayout();
  }
  // The table's records carry an identity and a version.
  void MakeCacheable() {
    TnxCacheableInfoRef info = TnxCacheableInfoRef::Adopt(nxNewCacheableInfo());
    this->FieldsDescriptor()->GetSpecialFieldsInfo(info->ciSFI);
    this->SetCacheableInfo(info);
  }
  void MakeCache(bool aValue) { this->SetIsCache(aValue); }
  using TnxAbstractCursor::GetBlobs;
  using TnxAbstractCursor::SetToKey;
  using TnxAbstractCursor::RecordGetForKey;
  using TnxAbstractCursor::RangeSet;

  TnxDataDictionary* _Dictionary() override { return mcDictionary; }
  TnxBaseTableDescriptor* TableDescriptor() override { return mcDictionary; }
  std::u16string FullName() override { return mcTable; }

  bool BlobReadNeedsSnapshot(const TnxRecID&, int32_t, TnxBlobNr, bool) override { return Snapshot.Needed; }
  uint32_t BlobReadSnapshotStart() override {
    ++Snapshot.Starts;
    return Snapshot.StartResult;
  }
  uint32_t BlobReadSnapshotEnd() override {
    ++Snapshot.Ends;
    return Snapshot.EndResult;
  }

  // ---- blobs over the map ----
  uint32_t BlobCreate(const TnxRecID&, int32_t aFieldNo, TnxBlobNr& aBlobNr) override {
    Log("Create " + std::to_string(aFieldNo));
    if (FailCreate) return FailCreate;
    aBlobNr = NextBlobNr++;
    Blobs[aBlobNr];
    return 0;
  }
  uint32_t BlobWrite(const TnxRecID&, int32_t, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                     const void* aBlob) override {
    Log("Write " + std::to_string(aBlobNr) + " " + std::to_string(aOffset) + " " + std::to_string(aLen));
    if (FailWrite) return FailWrite;
    std::string& blob = Blobs[aBlobNr];
    if (blob.size() < size_t(aOffset) + aLen) blob.resize(size_t(aOffset) + aLen);
    if (aLen) std::memcpy(blob.data() + aOffset, aBlob, aLen);
    return 0;
  }
  uint32_t BlobTruncate(const TnxRecID&, int32_t, TnxBlobNr aBlobNr, uint32_t aBlobLength) override {
    Log("Truncate " + std::to_string(aBlobNr) + " " + std::to_string(aBlobLength));
    auto it = Blobs.find(aBlobNr);
    if (it == Blobs.end()) return nxeBlobError;
    it->second.resize(aBlobLength);
    return 0;
  }
  uint32_t BlobDelete(const TnxRecID&, int32_t, TnxBlobNr aBlobNr) override {
    Log("Delete " + std::to_string(aBlobNr));
    return Blobs.erase(aBlobNr) ? 0 : nxeBlobError;
  }
  // A blob listed in Renumbered answers 13058 and names its new number.
  uint32_t sbcBlobGetLength(const TnxRecID&, int32_t, TnxBlobNr aBlobNr, uint32_t& aLength, bool,
                            TnxNewBlobNr* aNewBlobNr) override {
    Log("Length " + std::to_string(aBlobNr));
    if (uint32_t moved = Moved(aBlobNr, aNewBlobNr)) return moved;
    auto it = Blobs.find(aBlobNr);
    if (it == Blobs.end()) return FailMissingBlob;
    aLength = static_cast<uint32_t>(it->second.size());
    return 0;
  }
  uint32_t sbcBlobRead(const TnxRecID&, int32_t, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                       platform::TStream& aStream, bool, TnxNewBlobNr* aNewBlobNr) override {
    Log("Read " + std::to_string(aBlobNr) + " " + std::to_string(aOffset) + " " + std::to_string(aLen));
    if (uint32_t moved = Moved(aBlobNr, aNewBlobNr)) return moved;
    if (uint32_t moved = Moved(aBlobNr, aNewBlobNr, RenumberedOnRead)) return moved;
    if (RaiseRead) throw EnxBaseException(RaiseRead);
    if (FailRead) return FailRead;
    auto it = Blobs.find(aBlobNr);
    if (it == Blobs.end()) return FailMissingBlob;
    if (aOffset < it->second.size())
      aStream.Write(it->second.data() + aOffset, std::min<int64_t>(aLen, int64_t(it->second.size() - aOffset)));
    return 0;
  }

  // Answers the scripted results first, then the base's work.
  uint32_t BlobBatchEntryApply(PnxRecordBuffer aData, const TnxRecID& aRecID,
                               const TnxBlobBatchRequestEntry& aRequestEntry,
                               const TnxBlobBatchReplyEntry& aReplyEntry) override {
    Log("EntryApply " + std::to_string(aRequestEntry.bbrqeFieldNo) + " " + std::to_string(aReplyEntry.bbrpeBlobNr));
    if (!EntryResults.empty()) {
      uint32_t result = EntryResults.front();
      EntryResults.erase(EntryResults.begin());
      if (result) return result;
    }
    return Base::BlobBatchEntryApply(aData, aRecID, aRequestEntry, aReplyEntry);
  }

  // ---- table streams ----
  uint32_t TableStreamRead(std::u16string_view aStreamName, platform::TStream& aStream) override;
  uint32_t TableStreamWrite(std::u16string_view aStreamName, platform::TStream& aStream) override;

  // ---- the rest of the catalogue is not what these tests look at ----
  uint32_t SetToBegin() override { return this->NotSupported(u"SetToBegin"); }
  uint32_t SetToCursor(TnxAbstractCursor*) override { return this->NotSupported(u"SetToCursor"); }
  uint32_t SetToEnd() override { return this->NotSupported(u"SetToEnd"); }
  uint32_t SetToFilter(TnxBaseFilterDescriptor*, TnxBaseFilterDescriptor*, bool) override { return this->NotSupported(u"SetToFilter"); }
  uint32_t sbcGetBookmarkSize(uint32_t& aSize) override {
    if (!BookmarkSize) return this->NotSupported(u"GetBookmarkSize");
    aSize = *BookmarkSize;
    return 0;
  }
  uint32_t GetBookmark(PnxBookmarkBuffer, uint32_t) override { return this->NotSupported(u"GetBookmark"); }
  uint32_t CompareBookmarks(PnxBookmarkBuffer, PnxBookmarkBuffer, uint32_t, TValueRelationship&) override { return this->NotSupported(u"CompareBookmarks"); }
  uint32_t SetToBookmark(PnxBookmarkBuffer, uint32_t) override { return this->NotSupported(u"SetToBookmark"); }
  uint32_t BookmarkAsVariant(PnxBookmarkBuffer, uint32_t, platform::TnxVariant&) override { return this->NotSupported(u"BookmarkAsVariant"); }
  uint32_t RecNoSupported() override { return this->NotSupported(u"RecNoSupported"); }
  uint32_t RecNoGet(uint32_t&, bool) override { return this->NotSupported(u"RecNoGet"); }
  uint32_t RecNoSet(uint32_t, bool) override { return this->NotSupported(u"RecNoSet"); }
  uint32_t RecordGet(TnxLockType, PnxRecordBuffer) override { return this->NotSupported(u"RecordGet"); }
  uint32_t RecordGetNext(TnxLockType, PnxRecordBuffer) override { return this->NotSupported(u"RecordGetNext"); }
  uint32_t RecordGetPrior(TnxLockType, PnxRecordBuffer) override { return this->NotSupported(u"RecordGetPrior"); }
  uint32_t RecordInsert(TnxLockType, PnxRecordBuffer, int64_t*) override { return this->NotSupported(u"RecordInsert"); }
  uint32_t RecordModify(PnxRecordBuffer, bool, TnxRecordDiff*) override { return this->NotSupported(u"RecordModify"); }
  uint32_t RecordDelete(PnxRecordBuffer, TnxLSN) override { return this->NotSupported(u"RecordDelete"); }
  uint32_t RecordIsLocked(TnxLockType, TnxLockPresent&) override { return this->NotSupported(u"RecordIsLocked"); }
  uint32_t RecordLockRelease(bool, bool) override { return this->NotSupported(u"RecordLockRelease"); }
  uint32_t AutoIncGet(uint32_t&, bool) override { return this->NotSupported(u"AutoIncGet"); }
  uint32_t AutoIncSet(uint32_t) override { return this->NotSupported(u"AutoIncSet"); }
  // Records the filter it was handed (by class name) and gives out IDs.
  uint32_t FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) override {
    Log("FilterAddCustom " + FilterText(aFilter) + (aActivated ? " active" : ""));
    aFilterID = ++LastFilterID;
    return 0;
  }
  uint32_t FilterReplaceCustom(TnxBaseFilterDescriptor*, TnxFilterID&, bool, bool) override { return this->NotSupported(u"FilterReplaceCustom"); }
  uint32_t FilterSetTimeout(uint32_t) override { return this->NotSupported(u"FilterSetTimeout"); }
  uint32_t FilterActivate(TnxFilterID) override { return this->NotSupported(u"FilterActivate"); }
  uint32_t FilterDeactivate(TnxFilterID) override { return this->NotSupported(u"FilterDeactivate"); }
  uint32_t FilterRemove(TnxFilterID) override { return this->NotSupported(u"FilterRemove"); }
  bool HasActiveLocalFilter() override { return bool(LocalFilter); }
  bool FilterMatchesBuffer(PnxRecordBuffer aData) override { return !LocalFilter || LocalFilter(aData); }
  bool IsRemote() const noexcept override { return Remote; }
  // Without a script, the base's answer.
  uint32_t ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) override {
    Log("Contains " + std::to_string(aRefNr));
    return Contains ? Contains(aLSN, aRefNr) : Base::ContainsLSNRefNr(aLSN, aRefNr);
  }
  uint32_t SwitchToIndex(std::u16string_view, int32_t, TnxPosnOnRec) override { return this->NotSupported(u"SwitchToIndex"); }
  uint32_t GetIndexID(int32_t&) override { return this->NotSupported(u"GetIndexID"); }
  uint32_t SetToKey(TnxSearchKeyAction, int32_t, int32_t, bool aDirectKey, PnxKeyOrRecordBuffer) override {
    Log(aDirectKey ? "SetToKey key" : "SetToKey record");
    return 0;
  }
  uint32_t RecordGetForKey(int32_t, int32_t, bool aDirectKey, PnxKeyOrRecordBuffer, PnxRecordBuffer, bool, bool) override {
    Log(aDirectKey ? "RecordGetForKey key" : "RecordGetForKey record");
    return 0;
  }
  uint32_t RecordGetForKeyBatch(int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&, TnxDataSetKeyBufferArray&, bool, bool) override { return this->NotSupported(u"RecordGetForKeyBatch"); }
  uint32_t RangeReset() override { return this->NotSupported(u"RangeReset"); }
  uint32_t RangeSet(int32_t, int32_t, bool aDirectKey1, PnxKeyOrRecordBuffer, bool, int32_t, int32_t, bool aDirectKey2,
                    PnxKeyOrRecordBuffer, bool) override {
    Log(std::string("RangeSet ") + (aDirectKey1 ? "key" : "record") + " " + (aDirectKey2 ? "key" : "record"));
    return 0;
  }
  uint32_t CompareKeys(int32_t, int32_t, bool, PnxKeyOrRecordBuffer, bool, PnxKeyOrRecordBuffer, TValueRelationship&) override { return this->NotSupported(u"CompareKeys"); }
  uint32_t KeyFilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxKeyFilterID& aFilterID) override {
    Log("KeyFilterAddCustom " + FilterText(aFilter));
    aFilterID = ++LastFilterID;
    return 0;
  }
  uint32_t KeyFilterActivate(TnxKeyFilterID) override { return this->NotSupported(u"KeyFilterActivate"); }
  uint32_t KeyFilterDeactivate(TnxKeyFilterID) override { return this->NotSupported(u"KeyFilterDeactivate"); }
  uint32_t KeyFilterRemove(TnxKeyFilterID) override { return this->NotSupported(u"KeyFilterRemove"); }
  uint32_t RecordGetBatch(int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&, int32_t, bool) override { return this->NotSupported(u"RecordGetBatch"); }
  uint32_t RecordInsertBatch(TnxCustomMemoryStream&) override { return this->NotSupported(u"RecordInsertBatch"); }
  uint32_t CopyRecords(TnxAbstractCursor*, TnxBlobCopyMode, int32_t) override { return this->NotSupported(u"CopyRecords"); }
  uint32_t CopyRecordsEx(TnxAbstractCursor*, TnxBlobCopyMode, int32_t, bool) override { return this->NotSupported(u"CopyRecordsEx"); }
  uint32_t DeleteRecords() override { return this->NotSupported(u"DeleteRecords"); }
  uint32_t BlobsCancel(TnxRefNr) override { return this->NotSupported(u"BlobsCancel"); }
  uint32_t BlobCreateFile(const TnxRecID&, int32_t, std::u16string_view, TnxBlobNr&) override { return this->NotSupported(u"BlobCreateFile"); }
  uint32_t BlobFree(const TnxRecID&, int32_t, TnxBlobNr) override { return this->NotSupported(u"BlobFree"); }
  uint32_t BlobModified(const TnxRecID&, int32_t, TnxBlobNr, bool&) override { return this->NotSupported(u"BlobModified"); }
  uint32_t TableStreamGetList(platform::TStringList&) override { return this->NotSupported(u"TableStreamGetList"); }
  uint32_t TableStreamDelete(std::u16string_view) override { return this->NotSupported(u"TableStreamDelete"); }
  uint32_t TableIsLocked(TnxLockType, TnxLockPresent&) override { return this->NotSupported(u"TableIsLocked"); }
  uint32_t TableLockAcquire(TnxLockType) override { return this->NotSupported(u"TableLockAcquire"); }
  uint32_t TableLockRelease(TnxLockType, bool) override { return this->NotSupported(u"TableLockRelease"); }
  uint32_t Duplicate(TnxOpenMode, TnxAbstractCursor*&) override { return this->NotSupported(u"Duplicate"); }
  uint32_t ChangePassword(std::u16string_view) override { return this->NotSupported(u"ChangePassword"); }
  uint32_t GetRecordCount(uint32_t&, bool) override { return this->NotSupported(u"GetRecordCount"); }
  uint32_t GetRecordCountAsync(TnxAbstractTaskInfo*&) override { return this->NotSupported(u"GetRecordCountAsync"); }
  uint32_t GetRecordCountEx(TnxRecordCountOption, uint32_t&, bool) override { return this->NotSupported(u"GetRecordCountEx"); }
  uint32_t GetRecordCountExAsync(TnxRecordCountOption, TnxAbstractTaskInfo*&) override { return this->NotSupported(u"GetRecordCountExAsync"); }
  uint32_t ascGetBlobCacheInfos(const TnxRecID&, TnxBlobCacheInfos&) override { return this->NotSupported(u"ascGetBlobCacheInfos"); }
  uint32_t ascSetBlobCacheFlushed(const TnxRecID&, int32_t, TnxBlobNr, TnxBlobNr*) override { return this->NotSupported(u"ascSetBlobCacheFlushed"); }

  std::map<TnxBlobNr, std::string> Blobs;
  TnxBlobNr NextBlobNr = 1;
  std::optional<uint32_t> BookmarkSize;
  std::function<bool(PnxRecordBuffer)> LocalFilter;
  bool Remote = false;
  std::function<uint32_t(TnxLSN, TnxRefNr)> Contains;
  // Old number -> the number the engine names with 13058.
  std::map<TnxBlobNr, TnxBlobNr> Renumbered;
  // The same for reads alone.
  std::map<TnxBlobNr, TnxBlobNr> RenumberedOnRead;
  SnapshotScript Snapshot;
  uint32_t FailCreate = 0, FailWrite = 0, FailRead = 0, RaiseRead = 0;
  std::vector<uint32_t> EntryResults;
  uint32_t FailMissingBlob = nxeBlobError;
  TnxFilterID LastFilterID = 0;
  std::vector<std::string> Calls;

protected:
  ~MemoryCursorT() override;

private:
  void Log(std::string aCall) { Calls.push_back(std::move(aCall)); }
  uint32_t Moved(TnxBlobNr aBlobNr, TnxNewBlobNr* aNewBlobNr) { return Moved(aBlobNr, aNewBlobNr, Renumbered); }
  static uint32_t Moved(TnxBlobNr aBlobNr, TnxNewBlobNr* aNewBlobNr, const std::map<TnxBlobNr, TnxBlobNr>& aMap) {
    auto it = aMap.find(aBlobNr);
    if (it == aMap.end()) return 0;
    if (aNewBlobNr) *aNewBlobNr = {it->second, true};
    return nxeBlobModified;
  }
  static std::string FilterText(TnxBaseFilterDescriptor* aFilter) {
    std::string text;
    for (char16_t c : aFilter->ClassName()) text += char(c);
    return text;
  }

  MemoryEngine& mcEngine;
  std::u16string mcTable;
  TnxDataDictionary* mcDictionary;
};

class MemoryCursor : public MemoryCursorT<TnxAbstractServerCursor> {
  REVUROV_SERVER_OBJECT_CLASS(MemoryCursor, TnxAbstractServerCursor)
  using MemoryCursorT::MemoryCursorT;

protected:
  ~MemoryCursor() override = default;
};

// The SQL cursor's own catalogue answers "not supported"; a test may look
// in as the cursor prepares its destruction.
class MemorySqlCursor : public MemoryCursorT<TnxSqlAbstractCursor> {
  REVUROV_SERVER_OBJECT_CLASS(MemorySqlCursor, TnxSqlAbstractCursor)
  using MemoryCursorT::MemoryCursorT;

  std::function<void(MemorySqlCursor&)> DuringPrepareDestroy;

  void sbcMarkReadonly() override {}
  std::u16string sbcGetRootName() override { return {}; }
  TnxIndexPathPosition sbcGetPosition() override { return ippUnknown; }
  uint32_t sbcSwitchToIndex(std::u16string_view, int32_t, TnxPosnOnRec) override { return NotSupported(u"sbcSwitchToIndex"); }
  uint32_t sbcGetIndexID(int32_t&) override { return NotSupported(u"sbcGetIndexID"); }
  void sbcRangeReset() override {}
  uint32_t sbcRangeSet(int32_t, int32_t, bool, PnxKeyOrRecordBuffer, bool, int32_t, int32_t, bool, PnxKeyOrRecordBuffer, bool) override { return NotSupported(u"sbcRangeSet"); }
  void sbcSetToBegin() override {}
  void sbcSetToEnd() override {}
  uint32_t sbcRecordGetBatch(int32_t, TnxRecordGetBatchExOptions, TnxBatchStreamAccess*&, int32_t, bool) override { return NotSupported(u"sbcRecordGetBatch"); }
  uint32_t sbcRecordInsertBatch(TnxCustomMemoryStream&) override { return NotSupported(u"sbcRecordInsertBatch"); }
  uint32_t sbcCopyRecords(TnxAbstractCursor*, TnxBlobCopyMode, int32_t, bool) override { return NotSupported(u"sbcCopyRecords"); }
  uint32_t sbcDeleteRecords() override { return NotSupported(u"sbcDeleteRecords"); }
  uint32_t sbcBlobCreateLink(const TnxRecID&, int32_t, std::u16string_view, TnxBlobNr, TnxBlobNr&) override { return NotSupported(u"sbcBlobCreateLink"); }
  uint32_t sbcBlobDelete(const TnxRecID&, int32_t, TnxBlobNr) override { return NotSupported(u"sbcBlobDelete"); }
  uint32_t sbcBlobTruncate(const TnxRecID&, int32_t, TnxBlobNr, uint32_t) override { return NotSupported(u"sbcBlobTruncate"); }
  uint32_t sbcBlobWrite(const TnxRecID&, int32_t, TnxBlobNr, uint32_t, uint32_t, const void*) override { return NotSupported(u"sbcBlobWrite"); }
  uint32_t sbcBlobReplace(const TnxRecID&, int32_t, TnxBlobNr&, uint32_t, const void*) override { return NotSupported(u"sbcBlobReplace"); }
  bool sbcBlobIsLink(const TnxRecID&, int32_t, TnxBlobNr, std::u16string&, TnxBlobNr&) override { return false; }
  uint32_t sbcRecordGet(TnxLockType, PnxRecordBuffer) override { return NotSupported(u"sbcRecordGet"); }
  uint32_t sbcRecordGetNext(TnxLockType, PnxRecordBuffer) override { return NotSupported(u"sbcRecordGetNext"); }
  uint32_t sbcRecordGetPrior(TnxLockType, PnxRecordBuffer) override { return NotSupported(u"sbcRecordGetPrior"); }
  uint32_t sbcRecordInsert(TnxLockType, TnxInsertOptions, PnxRecordBuffer, int64_t*) override { return NotSupported(u"sbcRecordInsert"); }
  uint32_t sbcRecordModify(PnxRecordBuffer, bool, TnxRecordDiff*) override { return NotSupported(u"sbcRecordModify"); }
  uint32_t sbcRecordDelete(PnxRecordBuffer, TnxLSN) override { return NotSupported(u"sbcRecordDelete"); }
  uint32_t sbcAutoIncGet() override { return NotSupported(u"sbcAutoIncGet"); }
  uint32_t sbcGetRecordCount(TnxRecordCountOption, uint32_t&, bool) override { return NotSupported(u"sbcGetRecordCount"); }
  uint32_t sbcChangePassword(std::u16string_view) override { return NotSupported(u"sbcChangePassword"); }
  uint32_t sbcDuplicate(TnxOpenMode, TnxAbstractCursor*&, bool) override { return NotSupported(u"sbcDuplicate"); }
  void sbcIterate(PnxRecordBuffer*, const TnxKeyIterator&, const TnxRecordIterator&, bool, void*, bool) override {}
  bool sacHasKey(int32_t, const platform::TnxVariant&) override { return false; }
  TnxRefNr sacGetRefNr() override { return 0; }
  void sacSetRefNr(TnxRefNr) override {}
  void sacSetDefault(PnxRecordBuffer, int32_t) override {}
  void sacSetDefaultsInsert(PnxRecordBuffer) override {}
  uint32_t sacGetRecordByID(TnxRefNr, PnxRecordBuffer) override { return NotSupported(u"sacGetRecordByID"); }

protected:
  ~MemorySqlCursor() override = default;
  void PrepareDestroy() override {
    MemoryCursorT::PrepareDestroy();
    if (DuringPrepareDestroy) DuringPrepareDestroy(*this);
  }
};

class MemoryStatement : public TnxAbstractStatement {
  REVUROV_SERVER_OBJECT_CLASS(MemoryStatement, TnxAbstractStatement)
  MemoryStatement(TnxAbstractDatabase* aDatabase, uint32_t aTimeout) : TnxAbstractStatement(aDatabase, aTimeout) {}
  uint32_t Prepare(TnxStatementType, std::u16string_view, platform::TStream*) override { return NotSupported(u"Prepare"); }
  uint32_t Exec(TnxAbstractCursor*& aCursor, TnxOpenMode, platform::TStream*) override {
    aCursor = nullptr;
    return NotSupported(u"Exec");
  }
  uint32_t SetParams(const TnxSqlParamList&, platform::TStream*) override { return NotSupported(u"SetParams"); }
  uint32_t GetParams(TnxSqlParamList&, platform::TStream*) override { return NotSupported(u"GetParams"); }
};

class MemoryTransContext : public TnxAbstractTransContext {
  REVUROV_SERVER_OBJECT_CLASS(MemoryTransContext, TnxAbstractTransContext)
  MemoryTransContext(TnxAbstractSession* aSession, uint32_t aTimeout, MemoryEngine& aEngine)
      : TnxAbstractTransContext(aSession, aTimeout), mtcEngine(aEngine) {}

  uint32_t TransactionStart(bool, bool) override { ++Level; return 0; }
  uint32_t TransactionStartWith(bool, bool, std::span<TnxAbstractCursor* const>) override { ++Level; return 0; }
  uint32_t TransactionCommit() override { if (Level > 0) --Level; return 0; }
  uint32_t TransactionRollback() override { if (Level > 0) --Level; return 0; }
  uint32_t TransactionCorrupted() override { return 0; }
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override { aTransLevel = Level; return 0; }
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool) override {
    aTransInfo.tiLevel = Level;
    return 0;
  }
  void atcForceRollback() override;

  int32_t Level = 0;
  int ForcedRollbacks = 0;

private:
  MemoryEngine& mtcEngine;
};

class MemoryDatabase : public TnxAbstractDatabase {
  REVUROV_SERVER_OBJECT_CLASS(MemoryDatabase, TnxAbstractDatabase)
  MemoryDatabase(TnxAbstractSession* aSession, TnxAbstractTransContext* aTransContext, uint32_t aTimeout,
                 MemoryEngine& aEngine)
      : TnxAbstractDatabase(aSession, aTransContext, aTimeout), mdEngine(aEngine) {}

  uint32_t TableExists(std::u16string_view aTableName, std::u16string_view, bool& aExists, bool aAllowSystem) override;
  uint32_t CursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName, std::u16string_view,
                      TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout,
                      std::u16string_view aIndexName, int32_t aIndexID, bool aAllowSystem, TnxCursorOpenOptions,
                      uint32_t aFilterTimeout, const platform::TStringList*) override;
  uint32_t StatementAlloc(TnxAbstractStatement*& aStatement, uint32_t aTimeout) override {
    aStatement = nxCreateServerObject<MemoryStatement>(this, aTimeout).release();
    return 0;
  }
  uint32_t StatementExecDirect(uint32_t, TnxStatementType, std::u16string_view, platform::TStream*,
                               const TnxSqlParamList&, platform::TStream*, TnxAbstractCursor*& aCursor, TnxOpenMode,
                               platform::TStream*, platform::TStream*, TnxStatementExecDirectPhase& aPhase) override {
    aCursor = nullptr;
    aPhase = sedAlloc;
    return NotSupported(u"StatementExecDirect");
  }
  // A cursor on the table; nil when it does not open.
  MemoryCursor* OpenCursor(std::u16string_view aTableName, TnxOpenMode aOpenMode = omReadWrite);
  void SetCursorAutoFree(bool aValue) { adCursorAutoFree = aValue; }

  // The rest of the catalogue is not what these tests look at.
  uint32_t TableBuild(bool, std::u16string_view, std::u16string_view, TnxDataDictionary*, TnxTableScope, bool) override { return NotSupported(u"TableBuild"); }
  uint32_t TablePack(std::u16string_view, std::u16string_view, TnxAbstractTaskInfo*&) override { return NotSupported(u"TablePack"); }
  uint32_t TableBackup(std::u16string_view, std::u16string_view, TnxAbstractDatabase*, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableBackup"); }
  uint32_t TableRebuildIndex(std::u16string_view, std::u16string_view, std::u16string_view, int32_t, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableRebuildIndex"); }
  uint32_t TableRestructure(std::u16string_view, std::u16string_view, TnxDataDictionary*, TnxBaseTableMapperDescriptor*, bool, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableRestructure"); }
  uint32_t TableAddField(std::u16string_view, std::u16string_view, TnxFieldDescriptor*) override { return NotSupported(u"TableAddField"); }
  uint32_t TableAddIndex(std::u16string_view, std::u16string_view, TnxIndexDescriptor*, bool) override { return NotSupported(u"TableAddIndex"); }
  uint32_t TableDropIndex(std::u16string_view, std::u16string_view, std::u16string_view, int32_t) override { return NotSupported(u"TableDropIndex"); }
  uint32_t TableRename(std::u16string_view, std::u16string_view, std::u16string_view) override { return NotSupported(u"TableRename"); }
  uint32_t TableRecover(std::u16string_view, std::u16string_view, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableRecover"); }
  uint32_t TableVerifyChecksum(std::u16string_view, std::u16string_view, bool, bool, TnxAbstractTaskInfo*&) override { return NotSupported(u"TableVerifyChecksum"); }
  uint32_t TableDelete(std::u16string_view, std::u16string_view) override { return NotSupported(u"TableDelete"); }
  uint32_t TableEmpty(std::u16string_view, std::u16string_view) override { return NotSupported(u"TableEmpty"); }
  uint32_t TableChangePassword(std::u16string_view, std::u16string_view, std::u16string_view) override { return NotSupported(u"TableChangePassword"); }
  uint32_t TableGetDictionary(std::u16string_view, std::u16string_view, TnxDataDictionary*) override { return NotSupported(u"TableGetDictionary"); }
  uint32_t TableGetList(platform::TStringList&) override { return NotSupported(u"TableGetList"); }
  uint32_t TableAutoIncGet(std::u16string_view, std::u16string_view, uint32_t&) override { return NotSupported(u"TableAutoIncGet"); }
  uint32_t GetChangedTables(platform::TStringList&) override { return NotSupported(u"GetChangedTables"); }
  uint32_t GetFreespace(int64_t&) override { return NotSupported(u"GetFreespace"); }
  uint32_t GetPath(std::u16string&) override { return NotSupported(u"GetPath"); }
  uint32_t GetAlias(std::u16string&) override { return NotSupported(u"GetAlias"); }

protected:
  ~MemoryDatabase() override;

private:
  MemoryEngine& mdEngine;
};

class MemoryTaskInfo : public TnxAbstractTaskInfo {
  REVUROV_SERVER_OBJECT_CLASS(MemoryTaskInfo, TnxAbstractTaskInfo)
  MemoryTaskInfo(TnxAbstractSession* aSession, int* aCancels) : TnxAbstractTaskInfo(aSession), mtiCancels(aCancels) {}
  uint32_t GetStatus(bool& aCompleted, TnxTaskStatus& aStatus) override {
    aCompleted = false;
    aStatus = {};
    return 0;
  }
  // The task never stops by itself.
  uint32_t Cancel() override {
    if (mtiCancels) ++*mtiCancels;
    return 0;
  }

private:
  int* mtiCancels;
};

class MemorySession : public TnxAbstractSession {
  REVUROV_SERVER_OBJECT_CLASS(MemorySession, TnxAbstractSession)
  MemorySession(MemoryEngine& aEngine, std::u16string_view aUserName, std::u16string_view aConnectedFrom,
                uint32_t aTimeout);

  uint32_t DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType, std::u16string_view aAlias,
                        TnxAbstractTransContext* aTransContext, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                        uint32_t aTimeout) override;
  uint32_t TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) override;
  MemoryTaskInfo* AddTaskInfo(int* aCancels = nullptr);
  void SetAuthenticated(bool aValue) { asAuthenticated = aValue; }

  uint32_t AliasAdd(std::u16string_view, std::u16string_view, bool) override { return NotSupported(u"AliasAdd"); }
  uint32_t AliasDelete(std::u16string_view) override { return NotSupported(u"AliasDelete"); }
  uint32_t AliasModify(std::u16string_view, std::u16string_view, std::u16string_view, bool) override { return NotSupported(u"AliasModify"); }
  uint32_t AliasGetList(TnxAliasDescriptors&) override { return NotSupported(u"AliasGetList"); }
  uint32_t AliasGetPath(std::u16string_view, std::u16string&) override { return NotSupported(u"AliasGetPath"); }
  uint32_t PasswordAdd(std::u16string_view) override { return NotSupported(u"PasswordAdd"); }
  uint32_t PasswordRemove(std::u16string_view) override { return NotSupported(u"PasswordRemove"); }
  uint32_t PasswordRemoveAll() override { return NotSupported(u"PasswordRemoveAll"); }
  uint32_t CloseInactiveFolders() override { return NotSupported(u"CloseInactiveFolders"); }
  uint32_t CloseInactiveTables() override { return NotSupported(u"CloseInactiveTables"); }
  uint32_t GetRegisteredClassList(TnxClassListType, platform::TStringList&) override { return NotSupported(u"GetRegisteredClassList"); }

protected:
  ~MemorySession() override = default;

private:
  MemoryEngine& msEngine;
};

class MemoryEngine : public TestEngine {
public:
  explicit MemoryEngine(platform::TComponent* aOwner) : TestEngine(aOwner) {}

  uint32_t SessionOpenEx(TnxAbstractServerObject*& aSession, std::u16string_view aUserName, std::u16string_view,
                         std::u16string_view aConnectedFrom, uint32_t aTimeout, int32_t) override {
    auto session = nxCreateServerObject<MemorySession>(*this, aUserName, aConnectedFrom, aTimeout);
    aSession = session.get();
    SessionAdded(std::move(session));
    return 0;
  }
  bool KeepSessionStats() const override { return false; }
  MemorySession* OpenMemory(std::u16string_view aUserName = u"", std::u16string_view aConnectedFrom = u"",
                            uint32_t aTimeout = 0) {
    TnxAbstractServerObject* session = nullptr;
    SessionOpenEx(session, aUserName, u"", aConnectedFrom, aTimeout, nxDefaultClientVersion);
    return static_cast<MemorySession*>(session);
  }

  std::set<std::u16string> Aliases{u"Data"};
  std::set<std::u16string> Tables{u"Customers", u"$System"};
  // Set as ALLOWSYSTEMTABLEACCESS of every database opened (none when empty).
  std::u16string NewDatabaseAllowSystem;
  InnerOutcome Inner = InnerOutcome::Succeed;
  // Runs inside the inner operation of a temporary database.
  std::function<void()> DuringInner;
  uint32_t RefuseContexts = 0;
  std::vector<DatabaseOpenCall> Opens;
  int DatabasesFreed = 0;
  int ForcedRollbacks = 0;
  bool LastAllowSystem = false;
  std::u16string LastStream;
  std::string StoredBytes = "stream bytes";
  // Record layouts of tables whose cursors read records (not owned).
  std::map<std::u16string, TnxDataDictionary*> Layouts;
  std::vector<CursorOpenCall> CursorOpens;
  uint32_t RefuseCursors = 0;
  int CursorsFreed = 0;

  uint32_t RunInner() {
    if (DuringInner) DuringInner();
    if (Inner == InnerOutcome::Raise) throw EnxBaseException(nxeTableDoesNotExist);
    return Inner == InnerOutcome::Fail ? kInnerFailure : 0;
  }
};

template <class Base>
MemoryCursorT<Base>::~MemoryCursorT() {
  ++mcEngine.CursorsFreed;
}

template <class Base>
uint32_t MemoryCursorT<Base>::TableStreamRead(std::u16string_view aStreamName, platform::TStream& aStream) {
  mcEngine.LastStream = mcTable + u"/" + std::u16string(aStreamName);
  if (uint32_t result = mcEngine.RunInner()) return result;
  aStream.Write(mcEngine.StoredBytes.data(), int64_t(mcEngine.StoredBytes.size()));
  return 0;
}

template <class Base>
uint32_t MemoryCursorT<Base>::TableStreamWrite(std::u16string_view aStreamName, platform::TStream& aStream) {
  mcEngine.LastStream = mcTable + u"/" + std::u16string(aStreamName);
  if (uint32_t result = mcEngine.RunInner()) return result;
  std::string bytes(size_t(aStream.GetSize()), '\0');
  aStream.Seek(0, platform::TSeekOrigin::soBeginning);
  aStream.Read(bytes.data(), int64_t(bytes.size()));
  mcEngine.StoredBytes = bytes;
  return 0;
}

inline void MemoryTransContext::atcForceRollback() {
  ++ForcedRollbacks;
  ++mtcEngine.ForcedRollbacks;
  Level = 0;
}

inline MemoryDatabase::~MemoryDatabase() { ++mdEngine.DatabasesFreed; }

inline uint32_t MemoryDatabase::TableExists(std::u16string_view aTableName, std::u16string_view, bool& aExists,
                                            bool aAllowSystem) {
  mdEngine.LastAllowSystem = aAllowSystem;
  if (uint32_t result = mdEngine.RunInner()) return result;
  aExists = mdEngine.Tables.count(std::u16string(aTableName)) > 0 && (aAllowSystem || !aTableName.starts_with(u'$'));
  return 0;
}

inline uint32_t MemoryDatabase::CursorOpen(TnxAbstractCursor*& aCursor, std::u16string_view aTableName,
                                           std::u16string_view, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                           uint32_t aTimeout, std::u16string_view aIndexName, int32_t aIndexID,
                                           bool aAllowSystem, TnxCursorOpenOptions, uint32_t aFilterTimeout,
                                           const platform::TStringList*) {
  aCursor = nullptr;
  mdEngine.CursorOpens.push_back({std::u16string(aTableName), aOpenMode, aShareMode, aTimeout,
                                  std::u16string(aIndexName), aIndexID, aAllowSystem, aFilterTimeout});
  if (mdEngine.RefuseCursors) return mdEngine.RefuseCursors;
  if (!mdEngine.Tables.count(std::u16string(aTableName))) return nxeTableDoesNotExist;
  auto layout = mdEngine.Layouts.find(std::u16string(aTableName));
  try {
    aCursor = nxCreateServerObject<MemoryCursor>(this, aTimeout, mdEngine, std::u16string(aTableName),
                                                 layout == mdEngine.Layouts.end() ? nullptr : layout->second)
                  .release();
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
  return 0;
}

inline MemoryCursor* MemoryDatabase::OpenCursor(std::u16string_view aTableName, TnxOpenMode aOpenMode) {
  TnxAbstractCursor* cursor = nullptr;
  CursorOpen(cursor, aTableName, u"", aOpenMode, smShared, Timeout(), u"", -1, false, 0, 0, nullptr);
  return static_cast<MemoryCursor*>(cursor);
}

inline MemorySession::MemorySession(MemoryEngine& aEngine, std::u16string_view aUserName,
                                    std::u16string_view aConnectedFrom, uint32_t aTimeout)
    : TnxAbstractSession(&aEngine, aUserName, u"", aConnectedFrom, aTimeout), msEngine(aEngine) {}

inline uint32_t MemorySession::DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                                            std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                                            TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout) {
  aDatabase = nullptr;
  msEngine.Opens.push_back({std::u16string(aAliasType), std::u16string(aAlias), aTransContext != nullptr, aOpenMode,
                            aShareMode, aTimeout});
  if (!msEngine.Aliases.count(std::u16string(aAlias))) return nxeUnknownDatabase;
  try {
    auto database = nxCreateServerObject<MemoryDatabase>(this, aTransContext, aTimeout, msEngine);
    if (!msEngine.NewDatabaseAllowSystem.empty())
      database->OptionSet(nxAllowSystemTableAccessOption, msEngine.NewDatabaseAllowSystem);
    aDatabase = database.release();
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
  return 0;
}

inline uint32_t MemorySession::TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) {
  aTransContext = nullptr;
  if (msEngine.RefuseContexts) return msEngine.RefuseContexts;
  aTransContext = nxCreateServerObject<MemoryTransContext>(this, aTimeout, msEngine).release();
  return 0;
}

inline MemoryTaskInfo* MemorySession::AddTaskInfo(int* aCancels) {
  return nxCreateServerObject<MemoryTaskInfo>(this, aCancels).release();
}

}  // namespace revurov::testing
