#include "engine/abstract_cursor.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/native_variant_converter.h"
#include "engine/abstract_database.h"
#include "engine/child_links.h"
#include "engine/deadline_hooks.h"
#include "engine/server_engine.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exception_data_interfaces.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/strings/utils_locale.h"
#include "lowlevel/sync/lock_guard.h"
#include "lowlevel/wide_strings/wide_string.h"
#include "platform/endian.h"
#include "platform/format.h"
#include "platform/text.h"

namespace revurov {

namespace {

constexpr uint8_t Bit(int aBit) noexcept { return uint8_t(1u << aBit); }

// Holds the cursor's lock for one entry point; the result passes through
// Unlock, which may report a failure of the session meanwhile.
class TEntryLock {
public:
  explicit TEntryLock(InxSimpleLock* aLock) : elLock(aLock) { elLock->Lock(); }
  ~TEntryLock() {
    uint32_t ignored = 0;
    if (elLock) elLock->Unlock(ignored);
  }
  uint32_t Release(uint32_t aResult) {
    std::exchange(elLock, {})->Unlock(aResult);
    return aResult;
  }

private:
  platform::TInterfacePtr<InxSimpleLock> elLock;
};

}  // namespace

void TnxRecordBufferFree::operator()(uint8_t* aBuffer) const noexcept { nxFreeMem(aBuffer); }

TnxAbstractCursor::TnxAbstractCursor(TnxAbstractDatabase* aDatabase, uint32_t aTimeout)
    : TnxAbstractTimeoutObject(aDatabase, aTimeout), acDatabase(aDatabase) {
  TnxPadlockGuard guard(aDatabase->adCursorsPadlock);
  nxLinkAtTail<TnxAbstractCursor, &TnxAbstractCursor::acDatabasePrev, &TnxAbstractCursor::acDatabaseNext>(
      aDatabase->adCursorsHead, aDatabase->adCursorsTail, this);
}

void TnxAbstractCursor::AfterConstruction() {
  TnxAbstractTimeoutObject::AfterConstruction();
  if (TnxBaseServerEngine* engine = OwningServerEngine()) {
    engine->CursorCounter().fetch_add(1);
    acStates |= Bit(acsLockedIncDone);
  }
}

void TnxAbstractCursor::BeforeDestruction() {
  if (acStates & Bit(acsLockedIncDone)) {
    acStates &= uint8_t(~Bit(acsLockedIncDone));
    if (TnxBaseServerEngine* engine = OwningServerEngine()) engine->CursorCounter().fetch_sub(1);
  }
  TnxAbstractTimeoutObject::BeforeDestruction();
}

TnxAbstractCursor::~TnxAbstractCursor() {
  TnxAbstractDatabase* database = acDatabase;
  {
    TnxPadlockGuard guard(database->adCursorsPadlock);
    nxUnlink<TnxAbstractCursor, &TnxAbstractCursor::acDatabasePrev, &TnxAbstractCursor::acDatabaseNext>(
        database->adCursorsHead, database->adCursorsTail, this);
    if (!database->adCursorsHead && !database->Destroying() && database->adCursorAutoFree)
      acStates |= Bit(acsAutoFreeDatabase);
  }
  // The base destructors only release what the cursor itself holds, so the
  // database can go first.
  if ((acStates & Bit(acsAutoFreeDatabase)) && !database->Destroying()) {
    try {
      database->Free();
    } catch (...) {
      // A destructor cannot report; closing the database is the way to learn.
    }
  }
}

// ---- options ----

bool TnxAbstractCursor::AddCursorOption(TnxAbstractCursorOption aOption) noexcept {
  if (acOptions & nxCursorOption(aOption)) return false;
  acOptions |= nxCursorOption(aOption);
  return true;
}

bool TnxAbstractCursor::RemoveCursorOption(TnxAbstractCursorOption aOption) noexcept {
  if (!(acOptions & nxCursorOption(aOption))) return false;
  acOptions &= ~nxCursorOption(aOption);
  return true;
}

bool TnxAbstractCursor::AddCursorOptions(TnxAbstractCursorOptions aOptions) noexcept {
  const bool added = (acOptions & aOptions) != aOptions;
  acOptions |= aOptions;
  return added;
}

bool TnxAbstractCursor::RemoveCursorOptions(TnxAbstractCursorOptions aOptions) noexcept {
  const bool removed = (acOptions & aOptions) != 0;
  acOptions &= ~aOptions;
  return removed;
}

// ---- layout and record buffers ----

TnxDiffCompressorInfo* TnxAbstractCursor::DCI() {
  if (!acDCI && acFieldsDescriptor) {
    TnxDiffCompressorInfo* info = nullptr;
    acFieldsDescriptor->GetDiffCompressionInfo(info);
    acDCI = TnxDiffCompressorInfoRef::Adopt(info);
  }
  return acDCI.get();
}

void TnxAbstractCursor::InitRecordLayout() {
  TnxBaseTableDescriptor* table = TableDescriptor();
  acFieldsDescriptor = &table->FieldsDescriptor();
  acRecordLength = static_cast<uint32_t>(acFieldsDescriptor->RecordLength());
  TnxSpecialFieldsInfo* info = nullptr;
  acFieldsDescriptor->GetSpecialFieldsInfo(info);
  acSFI = TnxSpecialFieldsInfoRef::Adopt(info);
  acDCI = {};
}

void TnxAbstractCursor::SetCacheableInfo(TnxCacheableInfoRef aInfo) noexcept {
  acCacheableInfo = std::move(aInfo);
  if (acCacheableInfo)
    acStates |= Bit(acsIsCacheable);
  else
    acStates &= uint8_t(~Bit(acsIsCacheable));
}

void TnxAbstractCursor::SetIsCache(bool aValue) noexcept {
  if (aValue)
    acStates |= Bit(acsIsCache);
  else
    acStates &= uint8_t(~Bit(acsIsCache));
}

PnxRecordBuffer TnxAbstractCursor::RecordBufferAlloc() {
  const std::size_t size = std::size_t(acRecordLength) + 4;
  auto* buffer = static_cast<uint8_t*>(nxGetMem(size));
  // The 4 bytes past the record belong to no field; clear them as well.
  std::memset(buffer, 0, size);
  RecordBufferClear(buffer);
  return buffer;
}

void TnxAbstractCursor::RecordBufferFree(PnxRecordBuffer aData) { nxFreeMem(aData); }

void TnxAbstractCursor::RecordBufferClear(PnxRecordBuffer aData) {
  if (!aData) return;
  if (acFieldsDescriptor)
    acFieldsDescriptor->InitRecord(aData);
  else
    std::memset(aData, 0, acRecordLength);
}

namespace {

int64_t ReadSpecial(const TnxSpecialFieldsInfo* aInfo, TnxSpecialFieldType aKind, const uint8_t* aData) noexcept {
  if (!aInfo || aInfo->sfiOffsets[aKind] < 0) return 0;
  return platform::LoadLE<int64_t>(aData + aInfo->sfiOffsets[aKind]);
}

}  // namespace

TnxRecID TnxAbstractCursor::acGetRecID(const uint8_t* aData) const noexcept {
  if (!aData) return nxNullRecID;
  return {ReadSpecial(acSFI.get(), sftRefNr, aData), ReadSpecial(acSFI.get(), sftInsertLSN, aData)};
}

uint32_t TnxAbstractCursor::ExtractCacheInfo(const uint8_t* aData, TnxRecordCacheInfo& aInfo) const noexcept {
  nxRecordCacheInfoClear(aInfo);
  if (!(acStates & Bit(acsIsCacheable)) || !acCacheableInfo) return nxeCapabilityNotSupported;
  if (!aData) return nxeNoCurrentRecord;
  const TnxSpecialFieldsInfo* info = acCacheableInfo->ciSFI;
  aInfo.rciRefNr = ReadSpecial(info, sftRefNr, aData);
  aInfo.rciModifyLSN = ReadSpecial(info, sftModifyLSN, aData);
  return aInfo.rciRefNr == 0 || aInfo.rciModifyLSN == 0 ? nxeNoCurrentRecord : 0;
}

uint32_t TnxAbstractCursor::ContainsCacheInfo(const TnxRecordCacheInfo& aInfo) {
  if (nxRecordCacheInfoIsEmpty(aInfo)) return nxeNoCurrentRecord;
  TnxLSN lsn = aInfo.rciModifyLSN;
  TnxRefNr refNr = aInfo.rciRefNr;
  return ContainsLSNRefNr(lsn, refNr);
}

uint32_t TnxAbstractCursor::ContainsLSNRefNr(TnxLSN& aLSN, TnxRefNr& aRefNr) {
  if (aLSN == 0 && aRefNr == 0) return nxeNoCurrentRecord;
  return NotSupported(u"ContainsLSNRefNr");
}

uint32_t TnxAbstractCursor::GetDeletedRecords(TnxLSN, TnxRecordCacheInfos& aInfos, int32_t, TnxLSN* aCurrentLSN) {
  aInfos.clear();
  if (aCurrentLSN) *aCurrentLSN = 0;
  return NotSupported(u"GetDeletedRecords");
}

// ---- what the base does not offer ----

uint32_t TnxAbstractCursor::SavePath() { return NotSupported(u"SavePath"); }
uint32_t TnxAbstractCursor::RestorePath() { return NotSupported(u"RestorePath"); }
uint32_t TnxAbstractCursor::GetBookmarkCache(PnxBookmarkBuffer, uint32_t) {
  return NotSupported(u"GetBookmarkCache");
}
uint32_t TnxAbstractCursor::SetToCacheBookmark(PnxBookmarkBuffer, uint32_t) {
  return NotSupported(u"SetToCacheBookmark");
}
uint32_t TnxAbstractCursor::BookmarkCheckLocal(PnxBookmarkBuffer, uint32_t) {
  return NotSupported(u"BookmarkCheckLocal");
}
uint32_t TnxAbstractCursor::BuildKey(PnxRecordBuffer, PnxKeyBuffer, bool) { return NotSupported(u"BuildKey"); }
uint32_t TnxAbstractCursor::KeyToRecord(PnxKeyBuffer, PnxRecordBuffer) { return NotSupported(u"KeyToRecord"); }
uint32_t TnxAbstractCursor::BlobBatchProcess(const TnxBlobBatchRequest&, std::vector<uint8_t>&) {
  return NotSupported(u"BlobBatchProcess");
}
uint32_t TnxAbstractCursor::BlobAddToCache(const TnxRecID&, int32_t, TnxBlobNr, uint32_t, const void*) {
  return NotSupported(u"BlobAddToCache");
}

void TnxAbstractCursor::RequestNestedTransactions() {
  throw EnxBaseException(nxeCapabilityNotSupported,
                         platform::Format(u"RequestNestedTransactions is not supported by %s", {ClassName()}));
}

bool TnxAbstractCursor::BlobReadNeedsSnapshot(const TnxRecID&, int32_t, TnxBlobNr, bool) { return true; }

uint32_t TnxAbstractCursor::BlobReadSnapshotStart() { return acDatabase->TransactionStart(false, true); }

uint32_t TnxAbstractCursor::BlobReadSnapshotEnd() { return acDatabase->TransactionRollback(); }

// ---- filters ----

uint32_t TnxAbstractCursor::FilterAddExpression(const TnxCANExpr& aExpression, TnxFilterID& aFilterID,
                                                bool aActivated) {
  TnxSimpleExpressionFilterDescriptor filter(aExpression, u"", nxThreadAnsiCodePage());
  return FilterAddCustom(&filter, aFilterID, aActivated);
}

uint32_t TnxAbstractCursor::FilterAddCallback(void* aCookie, TnxFilterCallback aCallback, TnxFilterID& aFilterID,
                                              bool aActivated) {
  TnxCallbackFilterDescriptor filter(aCookie, aCallback);
  return FilterAddCustom(&filter, aFilterID, aActivated);
}

uint32_t TnxAbstractCursor::KeyFilterAddExpression(const TnxCANExpr& aExpression, TnxKeyFilterID& aFilterID) {
  TnxSimpleExpressionFilterDescriptor filter(aExpression, u"", nxThreadAnsiCodePage());
  return KeyFilterAddCustom(&filter, aFilterID);
}

uint32_t TnxAbstractCursor::KeyFilterAddCallback(void* aCookie, TnxFilterCallback aCallback,
                                                 TnxKeyFilterID& aFilterID) {
  TnxCallbackFilterDescriptor filter(aCookie, aCallback);
  return KeyFilterAddCustom(&filter, aFilterID);
}

// ---- fields source ----

int32_t TnxAbstractCursor::GetFieldCount() const { return acFieldsDescriptor ? acFieldsDescriptor->FieldCount() : 0; }

bool TnxAbstractCursor::GetFieldForFilter(int32_t aField, const char*, const uint8_t* aData, uint16_t& aType,
                                          uint16_t& aSize, bool& aIsNull, const void*& aValue,
                                          uint16_t& aCodePage) const {
  return acFieldsDescriptor &&
         acFieldsDescriptor->GetFieldForFilter(aField, {}, aData, aType, aSize, aIsNull, aValue, aCodePage);
}

int32_t TnxAbstractCursor::GetFieldFromNameRedirect(std::u16string_view aFieldName) const {
  return acFieldsDescriptor ? acFieldsDescriptor->GetFieldFromName(aFieldName) : -1;
}

InxFieldDescriptor* TnxAbstractCursor::GetFieldDescriptorRedirect(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= GetFieldCount()) return nullptr;
  return acFieldsDescriptor->FieldDescriptor(aIndex);
}

// ---- path and exception data ----

platform::HRESULT TnxAbstractCursor::CreateInstanceFor(std::u16string_view aName, const platform::TGUID& aClassID,
                                                       platform::IInterface* aOuter,
                                                       const platform::TGUID& aInterfaceID, void** aInterface) {
  auto [first, rest] = nxSplitObjectPath(aName);
  if (platform::AsciiSameText(first, u"<Cursor>"))
    return CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  if (platform::AsciiSameText(first, u"<Database>"))
    return acDatabase->CreateInstanceFor(rest, aClassID, aOuter, aInterfaceID, aInterface);
  return TnxAbstractTimeoutObject::CreateInstanceFor(aName, aClassID, aOuter, aInterfaceID, aInterface);
}

void TnxAbstractCursor::GetExceptionData(InxExceptionDataContainer& aContainer, bool aIncludeChildren) {
  TnxAbstractTimeoutObject::GetExceptionData(aContainer, aIncludeChildren);
  aContainer.AddObject(u"Database", static_cast<TnxObject*>(acDatabase), false);
}

// ---- blobs ----

int32_t TnxAbstractCursor::BlobFieldCount() const noexcept {
  return acSFI ? static_cast<int32_t>(acSFI->sfiBlobFields.size()) : 0;
}

int32_t TnxAbstractCursor::BlobField(int32_t aBlobIdx) const noexcept {
  return acSFI->sfiBlobFields[static_cast<size_t>(aBlobIdx)];
}

bool TnxAbstractCursor::IsBlobMarked(int32_t aBlobIdx) const noexcept {
  if (!acMarkedBlobs) return false;
  const size_t word = size_t(aBlobIdx) / 32;
  return word < acMarkedBlobs->size() && ((uint32_t((*acMarkedBlobs)[word]) >> (aBlobIdx % 32)) & 1);
}

bool TnxAbstractCursor::ReadBlobNr(const uint8_t* aData, int32_t aField, TnxBlobNr& aBlobNr) const {
  aBlobNr = 0;
  if (acFieldsDescriptor->IsRecordFieldNull(aField, aData)) return false;
  aBlobNr = platform::LoadLE<int64_t>(aData + acFieldsDescriptor->FieldDescriptor(aField)->Offset());
  return true;
}

uint32_t TnxAbstractCursor::BlobRead(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                     uint32_t aOffset, uint32_t aLen, platform::TStream& aStream, bool aReadOriginal,
                                     TnxNewBlobNr* aNewBlobNr) {
  nxSetTimeoutHook(Timeout(), false);
  TEntryLock lock(SessionLock());
  return lock.Release(sbcBlobRead(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOriginal, aNewBlobNr));
}

uint32_t TnxAbstractCursor::BlobGetLength(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                          uint32_t& aLength, bool aReadOriginal, TnxNewBlobNr* aNewBlobNr) {
  nxSetTimeoutHook(Timeout(), false);
  TEntryLock lock(SessionLock());
  return lock.Release(sbcBlobGetLength(aRecID, aFieldNo, aBlobNr, aLength, aReadOriginal, aNewBlobNr));
}

uint32_t TnxAbstractCursor::BlobReplace(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr, uint32_t aLen,
                                        const void* aBlob) {
  return ConvertingEntry([&]() -> uint32_t {
    if (aLen == 0) return aBlobNr != 0 ? BlobTruncate(aRecID, aFieldNo, aBlobNr, 0) : 0;
    uint32_t result = aBlobNr == 0 ? BlobCreate(aRecID, aFieldNo, aBlobNr) : BlobTruncate(aRecID, aFieldNo, aBlobNr, 0);
    if (result == 0) result = BlobWrite(aRecID, aFieldNo, aBlobNr, 0, aLen, aBlob);
    return result;
  });
}

uint32_t TnxAbstractCursor::BlobReadSnapshoted(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                               uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                               bool aReadOriginal, TnxBlobReadSnapshotState& aState,
                                               uint32_t* aBlobLength, TnxNewBlobNr* aNewBlobNr) {
  if (aState == brssFailedToStart || aState == brssFailedToClose || aState == brssClosed) return nxeInvalidParameter;
  return ConvertingEntry([&]() -> uint32_t {
    const TnxBlobReadSnapshotState entry = aState;
    if (aState == brssRequestStart) {
      if (!BlobReadNeedsSnapshot(aRecID, aFieldNo, aBlobNr, aReadOriginal)) {
        aState = brssUnneccesary;
      } else if (uint32_t started = BlobReadSnapshotStart()) {
        aState = brssFailedToStart;
        return started;
      } else {
        aState = brssStarted;
      }
    }
    const int64_t before = aStream.Position();
    uint32_t length = 0;
    uint32_t* lengthTarget = aBlobLength ? aBlobLength : &length;
    const uint32_t result = sbcBlobReadSnapshoted(aRecID, aFieldNo, aBlobNr, aOffset, aLen, aStream, aReadOriginal,
                                                  lengthTarget, aNewBlobNr);
    const uint64_t read = uint64_t(std::max<int64_t>(aStream.Position() - before, 0));
    const bool endReached = read < aLen || uint64_t(aOffset) + read == *lengthTarget;
    if (aState == brssRequestClose || (aState == brssStarted && endReached)) {
      if (uint32_t ended = BlobReadSnapshotEnd()) {
        aState = brssFailedToClose;
        return ended;
      }
      aState = entry == brssRequestStart ? brssUnneccesary : brssClosed;
    }
    return result;
  });
}

namespace {

// One worker call per blob number the engine names after 13058. An engine
// that names a number tried before in the same call would have the loop go
// round for ever: that ends it with 13058.
template <class F>
uint32_t FollowNewBlobNr(TnxBlobNr& aCurrent, std::vector<TnxBlobNr>& aTried, TnxNewBlobNr* aNewBlobNr, F&& aCall) {
  for (;;) {
    if (aNewBlobNr) *aNewBlobNr = {aCurrent, false};
    const uint32_t result = aCall(aCurrent);
    if (!aNewBlobNr || !aNewBlobNr->nbnSet) return result;
    if (result != nxeBlobModified || aNewBlobNr->nbnBlobNr == aCurrent) {
      aCurrent = aNewBlobNr->nbnBlobNr;
      return result;
    }
    if (std::find(aTried.begin(), aTried.end(), aNewBlobNr->nbnBlobNr) != aTried.end()) return result;
    aCurrent = aNewBlobNr->nbnBlobNr;
    aTried.push_back(aCurrent);
  }
}

}  // namespace

uint32_t TnxAbstractCursor::sbcBlobReadSnapshoted(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                  uint32_t aOffset, uint32_t aLen, platform::TStream& aStream,
                                                  bool aReadOriginal, uint32_t* aBlobLength,
                                                  TnxNewBlobNr* aNewBlobNr) {
  TnxBlobNr current = aBlobNr;
  std::vector<TnxBlobNr> tried{current};
  uint32_t result = 0;
  if (aBlobLength)
    result = FollowNewBlobNr(current, tried, aNewBlobNr, [&](TnxBlobNr aNr) {
      return sbcBlobGetLength(aRecID, aFieldNo, aNr, *aBlobLength, aReadOriginal, aNewBlobNr);
    });
  if (result == 0)
    result = FollowNewBlobNr(current, tried, aNewBlobNr, [&](TnxBlobNr aNr) {
      return sbcBlobRead(aRecID, aFieldNo, aNr, aOffset, aLen, aStream, aReadOriginal, aNewBlobNr);
    });
  if (aNewBlobNr) *aNewBlobNr = {current, current != aBlobNr};
  return result;
}

uint32_t TnxAbstractCursor::BlobBatchApply(PnxRecordBuffer aData, const TnxBlobBatchRequest& aRequest,
                                           TnxBlobBatchReplyBytes aReply) {
  const uint32_t count = aReply.size() >= 2 ? platform::LoadU16(aReply.data()) : 0;
  const size_t inReply = aReply.size() >= 2 ? (aReply.size() - 2) / 8 : 0;
  const size_t common = std::min({size_t(count), inReply, aRequest.bbrqEntries.size()});
  uint32_t result = 0;
  for (size_t i = 0; i < common; ++i) {
    const TnxBlobBatchReplyEntry entry{platform::LoadLE<int64_t>(aReply.data() + 2 + 8 * i)};
    if (uint32_t r = BlobBatchEntryApply(aData, aRequest.bbrqRecID, aRequest.bbrqEntries[i], entry)) result = r;
  }
  // The reply names entries that the request never held (or that it does
  // not carry itself): nothing to pair them with.
  return count > common ? nxeMessageUnrecognized : result;
}

uint32_t TnxAbstractCursor::BlobBatchEntryApply(PnxRecordBuffer aData, const TnxRecID&,
                                                const TnxBlobBatchRequestEntry& aRequestEntry,
                                                const TnxBlobBatchReplyEntry& aReplyEntry) {
  if (!aData) return 0;
  const int32_t field = aRequestEntry.bbrqeFieldNo;
  if (aReplyEntry.bbrpeBlobNr == 0) {
    acFieldsDescriptor->SetRecordFieldNull(field, aData, true);
  } else {
    const TnxBlobNr value = aReplyEntry.bbrpeBlobNr;
    acFieldsDescriptor->SetRecordField(field, aData, &value);
  }
  return 0;
}

uint32_t TnxAbstractCursor::BlobsSetMarked(TnxMarkedBlobsRef aMarkedBlobs) {
  const int32_t count = BlobFieldCount();
  const size_t needed = count == 0 ? 0 : size_t(count - 1) / 32 + 1;
  if ((aMarkedBlobs ? aMarkedBlobs->size() : 0) < needed) return nxeInvalidParameter;
  const bool any = aMarkedBlobs && std::any_of(aMarkedBlobs->begin(), aMarkedBlobs->end(), [](int32_t w) { return w; });
  acMarkedBlobs = any ? std::move(aMarkedBlobs) : nullptr;
  return 0;
}

uint32_t TnxAbstractCursor::GetBlobs(PnxRecordBuffer aData, bool aMarkedOnly, uint16_t& aCount,
                                     TnxBlobNr* aBlobNrs) {
  const uint16_t capacity = aCount;
  aCount = 0;
  const int32_t count = BlobFieldCount();
  if ((aMarkedOnly && !acMarkedBlobs) || count == 0) return 0;
  if (!aData) return nxeInvalidParameter;
  for (int32_t i = 0; i < count; ++i) {
    if (aMarkedOnly && !IsBlobMarked(i)) continue;
    TnxBlobNr blobNr = 0;
    if (!ReadBlobNr(aData, BlobField(i), blobNr) || blobNr == 0) continue;
    if (aCount == capacity || !aBlobNrs) return nxeOutOfRange;
    aBlobNrs[aCount++] = blobNr;
  }
  return 0;
}

uint32_t TnxAbstractCursor::GetBlobs(PnxRecordBuffer aData, bool aMarkedOnly, TnxBlobNrs& aBlobNrs) {
  aBlobNrs.clear();
  const int32_t count = BlobFieldCount();
  if ((aMarkedOnly && !acMarkedBlobs) || count == 0) return 0;
  aBlobNrs.resize(size_t(std::min(count, 0xFFFF)));
  uint16_t written = static_cast<uint16_t>(aBlobNrs.size());
  const uint32_t result = GetBlobs(aData, aMarkedOnly, written, aBlobNrs.data());
  aBlobNrs.resize(result == 0 ? written : 0);
  return result;
}

platform::TnxVariant TnxAbstractCursor::GetFieldAsVariantSelf(const uint8_t* aData, int32_t aField) {
  TnxFieldDescriptor* field = acFieldsDescriptor->FieldDescriptor(aField);
  if (!field->IsBlob())
    return field->fdGetBufferAsVariant(acFieldsDescriptor->GetRecordFieldForFilter(aField, aData));
  TnxBlobNr blobNr = 0;
  if (!ReadBlobNr(aData, aField, blobNr)) return platform::TnxVariant::Null();
  const TnxRecID recID = acGetRecID(aData);
  uint32_t length = 0;
  nxCheckError(BlobGetLength(recID, aField, blobNr, length, false, nullptr));
  if (length == 0) return platform::TnxVariant::Null();
  TnxMemoryStream stream;
  nxCheckError(BlobRead(recID, aField, blobNr, 0, length, stream, false, nullptr));
  const auto* bytes = stream.ByteArray();
  const auto size = static_cast<int32_t>(stream.GetSize());
  switch (field->FieldType()) {
    case nxtBlobWideMemo: {
      std::u16string text(size_t(size) / 2, u'\0');
      if (!text.empty()) std::memcpy(text.data(), bytes, text.size() * 2);
      return platform::TnxVariant::FromOleStr(std::move(text));
    }
    case nxtBlobMemo:
      return platform::TnxVariant::FromOleStr(nxBytesToWideString(bytes, size, field->GetUsedStorageCodePage()));
    default:
      return nxBytesToVariant(bytes, size);
  }
}

void TnxAbstractCursor::SetFieldAsVariantSelf(PnxRecordBuffer aData, int32_t aField,
                                              const platform::TnxVariant& aValue) {
  TnxFieldDescriptor* field = acFieldsDescriptor->FieldDescriptor(aField);
  if (!field->IsBlob()) {
    acFieldsDescriptor->fsdSetFieldByIndexAsVariant(aData, aField, aValue);
    return;
  }
  std::vector<uint8_t> bytes;
  if (!nxVarIsEmptyOrNull(aValue)) {
    if (field->FieldType() == nxtBlobWideMemo || field->FieldType() == nxtBlobMemo) {
      const std::u16string text = aValue.AsString();
      if (field->FieldType() == nxtBlobWideMemo)
        bytes.assign(reinterpret_cast<const uint8_t*>(text.data()),
                     reinterpret_cast<const uint8_t*>(text.data() + text.size()));
      else if (!text.empty())
        bytes = nxWideStringToBytes(text, field->GetUsedStorageCodePage());
    } else if (!nxBytesOfVariant(aValue, bytes)) {
      throw EnxBaseException(nxeInvalidParameter);
    }
  }
  const TnxRecID recID = acGetRecID(aData);
  uint8_t* value = aData + field->Offset();
  TnxBlobNr blobNr = 0;
  const bool present = ReadBlobNr(aData, aField, blobNr);
  if (!bytes.empty()) {
    if (!present) {
      std::memset(value, 0, sizeof(TnxBlobNr));
      nxCheckError(BlobCreate(recID, aField, blobNr));
      platform::StoreLE<int64_t>(value, blobNr);
      acFieldsDescriptor->SetRecordFieldNull(aField, aData, false);
    }
    const auto length = static_cast<uint32_t>(bytes.size());
    nxCheckError(BlobWrite(recID, aField, blobNr, 0, length, bytes.data()));
    nxCheckError(BlobTruncate(recID, aField, blobNr, length));
  } else if (present) {
    nxCheckError(BlobDelete(recID, aField, blobNr));
    std::memset(value, 0, sizeof(TnxBlobNr));
    acFieldsDescriptor->SetRecordFieldNull(aField, aData, true);
  }
}

uint32_t TnxAbstractServerCursor::ascBlobRequestCache(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr) {
  return ascRemoteCursor ? ascRemoteCursor->rcCacheBlob(aRecID, aFieldNo, aBlobNr, nullptr)
                         : nxeCapabilityNotSupported;
}

}  // namespace revurov
