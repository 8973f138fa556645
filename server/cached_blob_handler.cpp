#include "server/cached_blob_handler.h"

#include <algorithm>
#include <utility>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/shared_infos.h"
#include "dictionary/table_descriptors.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/lazy_publish.h"
#include "platform/endian.h"
#include "server/blob_chunk_copy.h"
#include "server/blob_handler_steps.h"
#include "server/engines/blob_cache_key_engine.h"
#include "server/server_database.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/table_cursor_frames.h"

namespace revurov {

namespace {

// Fields of the private table; the first four are the key.
constexpr int32_t kRefNr = 0, kInsertLSN = 1, kFieldNo = 2, kBlobNr = 3, kState = 4, kCacheBlobNr = 5,
                  kCacheFileName = 6, kFlushed = 7, kEverFlushed = 8;
constexpr int32_t kFileNameUnits = 260;
constexpr uint32_t kCopyAll = 0xFFFFFFFFu;

TnxDataDictionary* gCachedBlobDictionary = nullptr;

TnxDataDictionary* NewCachedBlobDictionary() {
  auto* dict = new TnxDataDictionary();
  try {
    TnxFieldsDescriptor& fields = dict->FieldsDescriptor();
    fields.AddField(u"RefNr", u"", nxtInt64, 0, 0, true);
    fields.AddField(u"InsertLSN", u"", nxtInt64, 0, 0, true);
    fields.AddField(u"FieldNo", u"", nxtInt32, 0, 0, true);
    fields.AddField(u"BlobNr", u"", nxtInt64, 0, 0, true);
    fields.AddField(u"BlobStateInfo", u"", nxtByte, 0, 0, true);
    fields.AddField(u"CacheBlobNr", u"", nxtInt64, 0, 0, false);
    fields.AddField(u"CacheFileName", u"", nxtWideString, kFileNameUnits, 0, false);
    fields.AddField(u"Flushed", u"", nxtBoolean, 0, 0, false);
    fields.AddField(u"EverFlushed", u"", nxtBoolean, 0, 0, false);
    dict->RemoveIndicesDescriptor();
    TnxMainIndicesDescriptor* indices = dict->AddIndicesDescriptor();
    auto* key = static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(u"Default", 0, idNone, u"", &TnxNoNullCompKeyDescriptor::ClassInfo())->KeyDescriptor());
    for (int32_t field : {kRefNr, kInsertLSN, kFieldNo, kBlobNr}) key->Add(field);
    indices->SetDefaultIndex(0);
  } catch (...) {
    delete dict;
    throw;
  }
  return dict;
}

using TTimeoutNesting = TnxTimeoutNestingGuard;

TnxBaseTransaction& NeedTrans(TnxBaseTransaction* aTrans) { return nxBlobHandlerTrans(aTrans); }

// Resets the private cursor's range on every way out.
class TRangeGuard {
public:
  explicit TRangeGuard(TnxServerTableCursor* aCursor) noexcept : rgCursor(aCursor) {}
  ~TRangeGuard() {
    if (rgCursor) rgCursor->sbcRangeReset();
  }
  TRangeGuard(const TRangeGuard&) = delete;
  TRangeGuard& operator=(const TRangeGuard&) = delete;

private:
  TnxServerTableCursor* rgCursor;
};

}  // namespace

// One private record as read.
struct TnxCachedBlobHandler::TEntry {
  TnxRecID RecID;
  int32_t FieldNo = -1;
  TnxBlobNr BlobNr = 0;
  TnxCachedBlobStateInfo State = cbsiCreated;
  TnxBlobNr CacheBlobNr = 0;
  std::u16string CacheFileName;
  bool Flushed = false;
  bool EverFlushed = false;
  bool Live() const noexcept { return State == cbsiCreated || State == cbsiModified; }
};

// ---- the private table's layout ----

TnxDataDictionary& TnxCachedBlobHandler::CachedBlobDictionary() {
  nxCreateAndEnter(gCachedBlobDictionary, &NewCachedBlobDictionary, [](TnxDataDictionary&) {},
                   [](TnxDataDictionary&) {});
  return *std::atomic_ref<TnxDataDictionary*>(gCachedBlobDictionary).load(std::memory_order_acquire);
}

void TnxCachedBlobHandler::FreeCachedBlobDictionary() noexcept {
  delete std::atomic_ref<TnxDataDictionary*>(gCachedBlobDictionary).exchange(nullptr);
}

// ---- life ----

TnxCachedBlobHandler::TnxCachedBlobHandler(TnxServerTableCursor* aOwner, TnxBaseBlobEngine* aBlobEngine,
                                           TnxBaseBlobLinkHandler* aBlobLinkHandler,
                                           TnxFieldsDescriptor* aFieldsDescriptor)
    : TnxBaseBlobHandler(aOwner),
      cbhOwner(aOwner),
      cbhBlobEngine(aBlobEngine),
      cbhBlobLinkHandler(aBlobLinkHandler),
      cbhFieldsDescriptor(aFieldsDescriptor) {
  CachedBlobDictionary();
  if (cbhFieldsDescriptor) cbhFieldsDescriptor->HasBlobFields(cbhBlobFields);
  nxBlobHandlerLinkMethods(*this, cbhBlobLinkHandler, cbhLinkRead, cbhLinkGetLength);
  TnxCacheableInfo* info = nullptr;
  if (aOwner && aOwner->TableDescriptor()) aOwner->TableDescriptor()->IsCacheable(info, tcsIsCache, false);
  TnxCacheableInfoRef infoRef = TnxCacheableInfoRef::Adopt(info);
  TnxBaseIndicesEngine* internal = aOwner && aOwner->Table() ? aOwner->Table()->InternalIndicesEngine() : nullptr;
  if (info && internal && info->ciCachedBlobsIndex >= 0 && info->ciCachedBlobsIndex < internal->IndexCount()) {
    cbhCachedBlobsIndexEngine = &internal->Indices(info->ciCachedBlobsIndex);
    cbhCachedBlobsIndexPath = cbhCachedBlobsIndexEngine->CreateIndexPath();
  }
}

TnxCachedBlobHandler::~TnxCachedBlobHandler() { cbhFreeCache(); }

void TnxCachedBlobHandler::PrepareDestroy() {
  TnxBaseBlobHandler::PrepareDestroy();
  // Local blobs of changes never merged are named by no record and no
  // index entry: without this they would stay in the table for good.
  if (cbhCache && !cbhCacheGone && cbhOwner && !cbhOwner->IsReadOnly()) {
    try {
      TTimeoutNesting nesting;
      if (NeedNested())
        nxTableCursorOwnWrite(*cbhOwner, true, [&](TnxServerTransaction& aTrans) { return cbhCancel(aTrans, 0); });
    } catch (...) {
      asoConvertCurrentException();
    }
  }
  cbhFreeCache();
}

void TnxCachedBlobHandler::cbhFreeCache() noexcept {
  nxFreePrivateBlobTable(cbhCache, cbhCacheGone, cbhCacheRecord, cbhCacheRecordAsKey);
  cbhCachedBlobsIndexPath.reset();
}

// ---- the private table ----

void TnxCachedBlobHandler::cbhEnsureCache() {
  if (cbhCacheGone) throw EnxBaseException(nxeBlobError, u"The private BLOB table of the cursor is gone", {});
  if (cbhCache) return;
  cbhCache =
      nxOpenPrivateBlobTable(*cbhOwner, CachedBlobDictionary(), cbhCacheGone, cbhCacheRecord, cbhCacheRecordAsKey);
}

void TnxCachedBlobHandler::cbhPutKey(uint8_t* aRecord, const TnxRecID& aRecID, int32_t aFieldNo,
                                     TnxBlobNr aBlobNr) const {
  TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
  fields.InitRecord(aRecord);
  // 0 stands for "none" in the record ID; the key holds zero bytes either
  // way. The field number keeps -1: as null it would key like field 0.
  fields.SetRecordField(kRefNr, aRecord, aRecID.ridRefNr == 0 ? nullptr : &aRecID.ridRefNr);
  fields.SetRecordField(kInsertLSN, aRecord, aRecID.ridInsertLSN == 0 ? nullptr : &aRecID.ridInsertLSN);
  fields.SetRecordField(kFieldNo, aRecord, &aFieldNo);
  fields.SetRecordField(kBlobNr, aRecord, &aBlobNr);
}

TnxCachedBlobHandler::TEntry TnxCachedBlobHandler::cbhCurrentEntry() const {
  TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
  const uint8_t* rec = cbhCacheRecord.data();
  auto at = [&](int32_t aField) { return rec + fields.FieldDescriptor(aField)->Offset(); };
  auto null = [&](int32_t aField) { return fields.IsRecordFieldNull(aField, rec); };
  TEntry entry;
  entry.RecID.ridRefNr = null(kRefNr) ? 0 : platform::LoadLE<int64_t>(at(kRefNr));
  entry.RecID.ridInsertLSN = null(kInsertLSN) ? 0 : platform::LoadLE<int64_t>(at(kInsertLSN));
  entry.FieldNo = null(kFieldNo) ? -1 : platform::LoadLE<int32_t>(at(kFieldNo));
  entry.BlobNr = platform::LoadLE<int64_t>(at(kBlobNr));
  entry.State = TnxCachedBlobStateInfo(*at(kState));
  entry.CacheBlobNr = null(kCacheBlobNr) ? 0 : platform::LoadLE<int64_t>(at(kCacheBlobNr));
  if (!null(kCacheFileName)) {
    const uint8_t* text = at(kCacheFileName);
    const int32_t units = fields.FieldDescriptor(kCacheFileName)->Length() / 2;
    for (int32_t i = 0; i < units; ++i) {
      const char16_t c = platform::LoadLE<uint16_t>(text + 2 * i);
      if (c == 0) break;
      entry.CacheFileName.push_back(c);
    }
  }
  entry.Flushed = !null(kFlushed) && *at(kFlushed) != 0;
  entry.EverFlushed = !null(kEverFlushed) && *at(kEverFlushed) != 0;
  return entry;
}

TnxCachedBlobHandler::TFound TnxCachedBlobHandler::cbhFindCacheRecord(const TnxRecID& aRecID, int32_t aFieldNo,
                                                                      TnxBlobNr aBlobNr) {
  TFound found;
  if (!cbhCache || cbhCacheGone) return found;
  cbhPutKey(cbhCacheRecordAsKey.data(), aRecID, aFieldNo, aBlobNr);
  const uint32_t result =
      cbhCache->sbcRecordGetForKey(4, 0, false, cbhCacheRecordAsKey.data(), cbhCacheRecord.data(), true, true);
  if (result == nxeRecordNotFound || result == nxeAtEndOfTable || result == nxeNoCurrentRecord) return found;
  nxBlobHandlerCheck(result);
  const TEntry entry = cbhCurrentEntry();
  found.Found = true;
  found.State = entry.State;
  found.CacheBlobNr = entry.CacheBlobNr;
  found.Flushed = entry.Flushed;
  found.EverFlushed = entry.EverFlushed;
  return found;
}

void TnxCachedBlobHandler::cbhInsertCacheRecord(const TnxRecID& aRecID, int32_t aFieldNo,
                                                std::u16string_view aFileName, TnxBlobNr aCacheBlobNr,
                                                TnxCachedBlobStateInfo aState, TnxBlobNr aBlobNr) {
  cbhEnsureCache();
  TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
  uint8_t* rec = cbhCacheRecord.data();
  cbhPutKey(rec, aRecID, aFieldNo, aBlobNr);
  const uint8_t state = aState;
  fields.SetRecordField(kState, rec, &state);
  if (!aFileName.empty()) {
    std::vector<uint8_t> text(size_t(fields.FieldDescriptor(kCacheFileName)->Length()), 0);
    for (size_t i = 0; i < aFileName.size() && 2 * i + 2 < text.size(); ++i)
      platform::StoreLE<uint16_t>(text.data() + 2 * i, aFileName[i]);
    fields.SetRecordField(kCacheFileName, rec, text.data());
  }
  if (aCacheBlobNr != 0) fields.SetRecordField(kCacheBlobNr, rec, &aCacheBlobNr);
  nxBlobHandlerCheck(cbhCache->sbcRecordInsert(nxltNoLock, 0, rec, nullptr));
}

uint32_t TnxCachedBlobHandler::cbhModifyCurrent(TnxCachedBlobStateInfo aState, bool aClearLocal) {
  TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
  uint8_t* rec = cbhCacheRecord.data();
  const uint8_t state = aState;
  fields.SetRecordField(kState, rec, &state);
  if (aClearLocal) {
    fields.SetRecordFieldNull(kCacheBlobNr, rec, true);
    fields.SetRecordFieldNull(kCacheFileName, rec, true);
  }
  fields.SetRecordFieldNull(kFlushed, rec, true);
  if (cbhCache->sbcRecordModify(rec, true, nullptr) != 0)
    return cbhInconsistent(u"The private record could not be changed", 0);
  return 0;
}

uint32_t TnxCachedBlobHandler::cbhClearFlushMark() {
  TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
  fields.SetRecordFieldNull(kFlushed, cbhCacheRecord.data(), true);
  if (cbhCache->sbcRecordModify(cbhCacheRecord.data(), true, nullptr) != 0)
    return cbhInconsistent(u"The private record could not be changed", 0);
  return 0;
}

uint32_t TnxCachedBlobHandler::cbhDeleteCurrent() {
  if (cbhCache->sbcRecordDelete(nullptr, 0) != 0)
    return cbhInconsistent(u"The private record could not be deleted", 0);
  return 0;
}

void TnxCachedBlobHandler::cbhRangeOn(const TnxRecID& aRecID, bool aRefNrOnly) {
  cbhPutKey(cbhCacheRecordAsKey.data(), aRecID, -1, 0);
  const int32_t count = aRefNrOnly ? 1 : 2;
  uint8_t* key = cbhCacheRecordAsKey.data();
  nxBlobHandlerCheck(cbhCache->sbcRangeSet(count, 0, false, key, true, count, 0, false, key, true));
}

TnxBlobNr TnxCachedBlobHandler::cbhNewBlobNr() noexcept {
  const uint32_t low = cbhCreatedBlobsCounter.fetch_add(1, std::memory_order_relaxed) + 1;
  return TnxBlobNr(uint64_t(kInternalHigh) | low);
}

bool TnxCachedBlobHandler::NeedNested() {
  if (!cbhCache || cbhCacheGone) return false;
  TTimeoutNesting nesting;
  uint32_t count = 0;
  return cbhCache->sbcGetRecordCount(rcoTotalRecordCount, count, false) == 0 && count > 0;
}

uint32_t TnxCachedBlobHandler::cbhInconsistent(std::u16string_view aWhat, TnxBlobNr aBlobNr) const {
  return EnxBaseException::nxSetMessage(nxeBlobError, u"General BLOB error. %s (BLOB %d)",
                                        {std::u16string(aWhat), int64_t{aBlobNr}});
}

uint32_t TnxCachedBlobHandler::cbhCacheInvalid(TnxBlobNr aBlobNr) const {
  return EnxBaseException::nxSetMessage(nxeCacheInvalid, u"Cache is invalid: BLOB %d is neither changed nor cached",
                                        {int64_t{aBlobNr}});
}

bool TnxCachedBlobHandler::cbhBlobField(const uint8_t* aRecord, int32_t aField, TnxBlobNr& aBlobNr) const {
  aBlobNr = 0;
  if (!aRecord || cbhFieldsDescriptor->IsRecordFieldNull(aField, aRecord)) return false;
  aBlobNr = platform::LoadLE<int64_t>(aRecord + cbhFieldsDescriptor->FieldDescriptor(aField)->Offset());
  return true;
}

// ---- the index of cached blobs ----

TnxBlobNr TnxCachedBlobHandler::cbhCachedCopy(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                              TnxBlobNr aBlobNr) {
  if (!cbhCachedBlobsIndexEngine) return 0;
  uint8_t key[TnxBlobCacheKeyEngine::kKeyLength];
  TnxBlobCacheKeyEngine::StoreKey(key, aBlobNr, aFieldNo, aRecID);
  TnxBaseIndexPath& path = *cbhCachedBlobsIndexPath;
  if (!cbhCachedBlobsIndexEngine->FindKey(aTrans, key, 0, 0, 0, path, skaEqualFirst, nullptr)) return 0;
  return path.RefNr;
}

TnxBlobNr TnxCachedBlobHandler::CachedCopy(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                           TnxBlobNr aBlobNr) {
  return cbhCachedCopy(aTrans, aRecID, aFieldNo, aBlobNr);
}

bool TnxCachedBlobHandler::cbhDropCachedCopy(TnxBaseTransaction& aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                             TnxBlobNr aBlobNr) {
  const TnxBlobNr local = cbhCachedCopy(&aTrans, aRecID, aFieldNo, aBlobNr);
  if (local == 0) return false;
  uint8_t key[TnxBlobCacheKeyEngine::kKeyLength];
  TnxBlobCacheKeyEngine::StoreKey(key, aBlobNr, aFieldNo, aRecID);
  if (!cbhCachedBlobsIndexEngine->DeleteKey(aTrans, key, local, 0, cbhCachedBlobsIndexPath.get())) return false;
  cbhBlobEngine->DeleteBlob(aTrans, local);
  return true;
}

uint32_t TnxCachedBlobHandler::BlobEnsureCached(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                                int32_t aFieldNo, TnxBlobNr aBlobNr) {
  return bbhGuarded([&]() -> uint32_t {
    if (cbhCachedCopy(aTrans, aRecID, aFieldNo, aBlobNr) != 0) return 0;
    const uint32_t result = cbhOwner->ascBlobRequestCache(aRecID, aFieldNo, aBlobNr);
    if (result == nxeCapabilityNotSupported && !cbhOwner->ascRemoteCursor)
      return EnxBaseException::nxSetMessage(nxeCapabilityNotSupported,
                                            u"BLOB %d is not cached and no remote cursor can fetch it",
                                            {int64_t{aBlobNr}});
    return result;
  });
}

uint32_t TnxCachedBlobHandler::BlobAddToCache(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                              TnxBlobNr aBlobNr, uint32_t aLen, const void* aBlob) {
  if (!cbhCachedBlobsIndexEngine) return NotSupported(u"BlobAddToCache");
  return bbhGuarded([&]() -> uint32_t {
    if (aLen > 0 && !aBlob) return nxeInvalidParameter;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    if (cbhCachedCopy(&trans, aRecID, aFieldNo, aBlobNr) != 0)
      return EnxBaseException::nxSetMessage(nxeKeyViolation, u"Key violation. BLOB %d is cached already",
                                            {int64_t{aBlobNr}});
    TnxBlobNr local = 0;
    cbhBlobEngine->AddBlob(trans, local);
    if (aLen > 0) cbhBlobEngine->Write(trans, local, 0, aLen, aBlob);
    uint8_t key[TnxBlobCacheKeyEngine::kKeyLength];
    TnxBlobCacheKeyEngine::StoreKey(key, aBlobNr, aFieldNo, aRecID);
    if (!cbhCachedBlobsIndexEngine->InsertKey(trans, key, local, 0, cbhCachedBlobsIndexPath.get())) {
      cbhBlobEngine->DeleteBlob(trans, local);
      return EnxBaseException::nxSetMessage(nxeKeyViolation, u"Key violation. BLOB %d is cached already",
                                            {int64_t{aBlobNr}});
    }
    return 0;
  });
}

// ---- creating ----

uint32_t TnxCachedBlobHandler::BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                          TnxBlobNr& aBlobNr) {
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    const TnxBlobNr number = cbhNewBlobNr();
    TnxBlobNr local = 0;
    cbhBlobEngine->AddBlob(trans, local);
    cbhInsertCacheRecord(aRecID, aFieldNo, {}, local, cbsiCreated, number);
    aBlobNr = number;
    return 0;
  });
}

uint32_t TnxCachedBlobHandler::BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                              std::u16string_view aFileName, TnxBlobNr& aBlobNr) {
  return bbhGuarded([&]() -> uint32_t {
    // A name cut to fit would name another file.
    if (aFileName.empty() || aFileName.size() >= size_t(kFileNameUnits))
      return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"A file name of %d characters cannot be kept",
                                            {int64_t(aFileName.size())});
    TTimeoutNesting nesting;
    NeedTrans(aTrans);
    const TnxBlobNr number = cbhNewBlobNr();
    cbhInsertCacheRecord(aRecID, aFieldNo, aFileName, 0, cbsiCreatedFile, number);
    aBlobNr = number;
    return 0;
  });
}

uint32_t TnxCachedBlobHandler::BlobCreateLink(TnxBaseTransaction*, const TnxRecID&, int32_t, std::u16string_view,
                                              TnxBlobNr, TnxBlobNr&) {
  return NotSupported(u"BlobCreateLink");
}

// ---- changing ----

uint32_t TnxCachedBlobHandler::BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                          TnxBlobNr aBlobNr) {
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    const TFound found = cbhFindCacheRecord(aRecID, aFieldNo, aBlobNr);
    if (!found.Found) {
      cbhInsertCacheRecord(aRecID, aFieldNo, {}, 0, cbsiDeleted, aBlobNr);
      return 0;
    }
    uint32_t result = 0;
    switch (found.State) {
      case cbsiCreated:
      case cbsiCreatedFile:
        // Once the remote side has the blob, its deletion must reach it,
        // also when a later change cleared the flush mark.
        result = found.EverFlushed ? cbhModifyCurrent(cbsiDeleted, true) : cbhDeleteCurrent();
        break;
      case cbsiModified:
        result = cbhModifyCurrent(cbsiDeleted, true);
        break;
      case cbsiDeleted:
        return cbhInconsistent(u"The BLOB is deleted already", aBlobNr);
    }
    if (result == 0 && found.CacheBlobNr != 0 && found.State != cbsiCreatedFile)
      cbhBlobEngine->DeleteBlob(trans, found.CacheBlobNr);
    return result;
  });
}

uint32_t TnxCachedBlobHandler::BlobFree(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                        TnxBlobNr aBlobNr, bool& aBlobDeleted) {
  aBlobDeleted = false;
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    const TFound found = cbhFindCacheRecord(aRecID, aFieldNo, aBlobNr);
    if (!found.Found) return 0;
    const uint32_t result = cbhCache->sbcRecordDelete(nullptr, 0);
    if (result == 0 && found.Live() && found.CacheBlobNr != 0) cbhBlobEngine->DeleteBlob(trans, found.CacheBlobNr);
    return result;
  });
}

uint32_t TnxCachedBlobHandler::cbhCopyCached(TnxBaseTransaction& aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                             TnxBlobNr aBlobNr, uint32_t aMaxLength, TnxBlobNr& aLocal) {
  cbhEnsureCache();
  aLocal = 0;
  TnxBlobNr local = 0;
  if (aMaxLength == 0) {
    cbhBlobEngine->AddBlob(aTrans, local);
  } else {
    if (!cbhCachedBlobsIndexEngine) return NotSupported(u"BlobWrite");
    if (const uint32_t result = BlobEnsureCached(&aTrans, aRecID, aFieldNo, aBlobNr)) return result;
    const TnxBlobNr cached = cbhCachedCopy(&aTrans, aRecID, aFieldNo, aBlobNr);
    if (cached == 0) return cbhCacheInvalid(aBlobNr);
    uint32_t length = 0;
    if (const uint32_t result = cbhBlobEngine->GetBlobLength(&aTrans, cached, cbhLinkGetLength, length))
      return result;
    cbhBlobEngine->AddBlob(aTrans, local);
    uint32_t copied = 0;
    const uint32_t result = nxBlobCopyChunks(
        [&](uint32_t aOffset, uint32_t aLen, platform::TStream& aStream) {
          return cbhBlobEngine->Read(&aTrans, cached, aOffset, aLen, cbhLinkRead, aStream);
        },
        [&](uint32_t aOffset, uint32_t aLen, const void* aData) {
          cbhBlobEngine->Write(aTrans, local, aOffset, aLen, aData);
        },
        length, aMaxLength, copied);
    // The caller's own write rolls the new blob back with the failure.
    if (result != 0) return result;
  }
  cbhInsertCacheRecord(aRecID, aFieldNo, {}, local, cbsiModified, aBlobNr);
  aLocal = local;
  return 0;
}

uint32_t TnxCachedBlobHandler::BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                         TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, const void* aBlob) {
  return bbhGuarded([&]() -> uint32_t {
    if (aLen > 0 && !aBlob) return nxeInvalidParameter;
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    TFound found = cbhFindCacheRecord(aRecID, aFieldNo, aBlobNr);
    if (found.Found && !found.Live()) return cbhInconsistent(u"Writing to a BLOB that holds nothing here", aBlobNr);
    if (!found.Found) {
      if (const uint32_t result = cbhCopyCached(trans, aRecID, aFieldNo, aBlobNr, kCopyAll, found.CacheBlobNr))
        return result;
    } else if (found.Flushed) {
      if (const uint32_t result = cbhClearFlushMark()) return result;
    }
    if (aLen > 0) cbhBlobEngine->Write(trans, found.CacheBlobNr, aOffset, aLen, aBlob);
    return 0;
  });
}

uint32_t TnxCachedBlobHandler::BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                            TnxBlobNr aBlobNr, uint32_t aBlobLength) {
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    const TFound found = cbhFindCacheRecord(aRecID, aFieldNo, aBlobNr);
    if (found.Found && !found.Live()) return cbhInconsistent(u"Truncating a BLOB that holds nothing here", aBlobNr);
    if (!found.Found) {
      TnxBlobNr local = 0;
      return cbhCopyCached(trans, aRecID, aFieldNo, aBlobNr, aBlobLength, local);
    }
    cbhBlobEngine->Truncate(trans, found.CacheBlobNr, aBlobLength);
    return found.Flushed ? cbhClearFlushMark() : 0;
  });
}

uint32_t TnxCachedBlobHandler::BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                           TnxBlobNr& aBlobNr, uint32_t aLen, const void* aBlob) {
  if (aLen == 0) return aBlobNr == 0 ? 0 : BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, 0);
  return bbhGuarded([&]() -> uint32_t {
    if (!aBlob) return nxeInvalidParameter;
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    if (aBlobNr == 0) {
      const TnxBlobNr number = cbhNewBlobNr();
      TnxBlobNr local = 0;
      cbhBlobEngine->AddBlob(trans, local);
      cbhBlobEngine->Write(trans, local, 0, aLen, aBlob);
      cbhInsertCacheRecord(aRecID, aFieldNo, {}, local, cbsiCreated, number);
      aBlobNr = number;
      return 0;
    }
    const TFound found = cbhFindCacheRecord(aRecID, aFieldNo, aBlobNr);
    if (found.Found && !found.Live()) return cbhInconsistent(u"Replacing a BLOB that holds nothing here", aBlobNr);
    if (!found.Found) {
      cbhEnsureCache();
      TnxBlobNr local = 0;
      cbhBlobEngine->AddBlob(trans, local);
      cbhBlobEngine->Write(trans, local, 0, aLen, aBlob);
      cbhInsertCacheRecord(aRecID, aFieldNo, {}, local, cbsiModified, aBlobNr);
      return 0;
    }
    cbhBlobEngine->Write(trans, found.CacheBlobNr, 0, aLen, aBlob);
    cbhBlobEngine->Truncate(trans, found.CacheBlobNr, aLen);
    return found.Flushed ? cbhClearFlushMark() : 0;
  });
}

// ---- reading ----

uint32_t TnxCachedBlobHandler::cbhLocalBlobFor(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                               bool aReadOld, TnxBlobNr aBlobNr, TnxBlobNr& aLocal) {
  aLocal = 0;
  if (!aReadOld) {
    const TFound found = cbhFindCacheRecord(aRecID, aFieldNo, aBlobNr);
    if (found.Found) {
      if (!found.Live() || found.CacheBlobNr == 0)
        return cbhInconsistent(u"Reading a BLOB that holds nothing here", aBlobNr);
      aLocal = found.CacheBlobNr;
      return 0;
    }
  }
  if (!cbhCachedBlobsIndexEngine) return NotSupported(u"BlobRead");
  aLocal = cbhCachedCopy(aTrans, aRecID, aFieldNo, aBlobNr);
  return aLocal != 0 ? 0 : cbhCacheInvalid(aBlobNr);
}

uint32_t TnxCachedBlobHandler::BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                             bool aReadOld, TnxBlobNr aBlobNr, uint32_t& aLength) {
  aLength = 0;
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBlobNr local = 0;
    if (const uint32_t result = cbhLocalBlobFor(aTrans, aRecID, aFieldNo, aReadOld, aBlobNr, local)) return result;
    return cbhBlobEngine->GetBlobLength(aTrans, local, cbhLinkGetLength, aLength);
  });
}

uint32_t TnxCachedBlobHandler::BlobRead(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                        bool aReadOld, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                        platform::TStream& aStream, uint32_t* aBlobLen) {
  if (aBlobLen) {
    if (const uint32_t result = BlobGetLength(aTrans, aRecID, aFieldNo, aReadOld, aBlobNr, *aBlobLen)) return result;
  }
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBlobNr local = 0;
    if (const uint32_t result = cbhLocalBlobFor(aTrans, aRecID, aFieldNo, aReadOld, aBlobNr, local)) return result;
    return cbhBlobEngine->Read(aTrans, local, aOffset, aLen, cbhLinkRead, aStream);
  });
}

bool TnxCachedBlobHandler::BlobIsLink(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr,
                                      std::u16string& aSrcTableName, TnxBlobNr&) {
  aSrcTableName.clear();
  return false;
}

uint32_t TnxCachedBlobHandler::BlobModified(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr, bool& aChanged) {
  aChanged = false;
  return NotSupported(u"BlobModified");
}

bool TnxCachedBlobHandler::BlobVerifyNr(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                        TnxBlobNr aBlobNr) {
  try {
    TTimeoutNesting nesting;
    const TFound found = cbhFindCacheRecord(aRecID, aFieldNo, aBlobNr);
    if (found.Found) return found.Live();
    return cbhCachedCopy(aTrans, aRecID, aFieldNo, aBlobNr) != 0;
  } catch (...) {
    asoConvertCurrentException();
    return false;
  }
}

// ---- what the remote side asks ----

uint32_t TnxCachedBlobHandler::GetBlobs(TnxBaseTransaction* aTrans, const uint8_t* aData,
                                        const TnxMarkedBlobsByBlobIdx* aMarkedBlobs, uint16_t& aBlobCount,
                                        TnxBlobNr* aBlobNrs) {
  const uint16_t capacity = aBlobCount;
  aBlobCount = 0;
  if (!aData) return nxeInvalidParameter;
  if (!cbhCachedBlobsIndexEngine) return 0;
  return bbhGuarded([&]() -> uint32_t {
    const TnxRecID recID = cbhOwner->acGetRecID(aData);
    for (size_t i = 0; i < cbhBlobFields.size(); ++i) {
      if (aMarkedBlobs) {
        const size_t word = i / 32;
        if (word >= aMarkedBlobs->size() || !((uint32_t((*aMarkedBlobs)[word]) >> (i % 32)) & 1)) continue;
      }
      const int32_t field = cbhBlobFields[i];
      TnxBlobNr number = 0;
      if (!cbhBlobField(aData, field, number) || number == 0) continue;
      if (cbhCachedCopy(aTrans, recID, field, number) == 0) continue;
      if (aBlobCount == capacity || !aBlobNrs) return nxeOutOfRange;
      aBlobNrs[aBlobCount++] = number;
    }
    return 0;
  });
}

uint32_t TnxCachedBlobHandler::cbhReadInfos(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                            TnxBlobCacheInfos& aBCIs) {
  aBCIs.clear();
  if (!cbhCache || cbhCacheGone) return 0;
  TRangeGuard range(cbhCache);
  cbhRangeOn(aRecID, aRecID.ridInsertLSN == 0);
  aBCIs.reserve(2 * cbhBlobFields.size());
  cbhCache->sbcSetToBegin();
  for (;;) {
    const uint32_t got = cbhCache->sbcRecordGetNext(nxltNoLock, cbhCacheRecord.data());
    if (got == nxeAtEndOfTable) break;
    if (got != 0) {
      aBCIs.clear();
      return got;
    }
    const TEntry entry = cbhCurrentEntry();
    TnxBlobCacheInfo info;
    info.bciFieldNo = entry.FieldNo;
    info.bciBlobNr = entry.BlobNr;
    info.bciState = entry.State;
    info.bciCacheBlobNr = entry.CacheBlobNr;
    info.bciCacheFileName = entry.CacheFileName;
    info.bciFlushed = entry.Flushed;
    info.bciEverFlushed = entry.EverFlushed;
    info.bciBlobNrInternal = IsInternalBlobNr(entry.BlobNr);
    if (entry.Live() && entry.CacheBlobNr != 0) {
      if (const uint32_t result =
              cbhBlobEngine->GetBlobLength(aTrans, entry.CacheBlobNr, cbhLinkGetLength, info.bciLength)) {
        aBCIs.clear();
        return result;
      }
    }
    aBCIs.push_back(std::move(info));
  }
  return 0;
}

uint32_t TnxCachedBlobHandler::GetBlobCacheInfos(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                                 TnxBlobCacheInfos& aBCIs) {
  aBCIs.clear();
  const uint32_t result = bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    return cbhReadInfos(aTrans, aRecID, aBCIs);
  });
  if (result != 0) aBCIs.clear();
  return result;
}

uint32_t TnxCachedBlobHandler::BlobCacheFlushed(TnxBaseTransaction*, const TnxRecID& aRecID, int32_t aFieldNo,
                                                TnxBlobNr aBlobNr, TnxBlobNr aNewBlobNr) {
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    const TFound found = cbhFindCacheRecord(aRecID, aFieldNo, aBlobNr);
    if (!found.Found) return cbhInconsistent(u"A flushed BLOB that was not changed here", aBlobNr);
    TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
    uint8_t* rec = cbhCacheRecord.data();
    const uint8_t yes = 1;
    fields.SetRecordField(kFlushed, rec, &yes);
    fields.SetRecordField(kEverFlushed, rec, &yes);
    if (aNewBlobNr != 0 && aNewBlobNr != aBlobNr) fields.SetRecordField(kBlobNr, rec, &aNewBlobNr);
    return cbhCache->sbcRecordModify(rec, true, nullptr);
  });
}

// ---- record hooks ----

uint32_t TnxCachedBlobHandler::BeforeInsert(TnxBaseTransaction*, uint8_t*) { return 0; }

uint32_t TnxCachedBlobHandler::BeforeModify(TnxBaseTransaction*, const TnxRecID&, const uint8_t*, uint8_t*) {
  return 0;
}

uint32_t TnxCachedBlobHandler::cbhCancel(TnxBaseTransaction& aTrans, TnxRefNr aRefNr) {
  if (!cbhCache || cbhCacheGone) return 0;
  TRangeGuard range(aRefNr != 0 ? cbhCache : nullptr);
  if (aRefNr != 0) cbhRangeOn(TnxRecID{aRefNr, 0}, true);
  cbhCache->sbcSetToBegin();
  for (;;) {
    const uint32_t got = cbhCache->sbcRecordGetNext(nxltNoLock, cbhCacheRecord.data());
    if (got == nxeAtEndOfTable) break;
    if (got != 0) return got;
    const TEntry entry = cbhCurrentEntry();
    if (const uint32_t result = cbhDeleteCurrent()) return result;
    if (entry.Live() && entry.CacheBlobNr != 0) cbhBlobEngine->DeleteBlob(aTrans, entry.CacheBlobNr);
  }
  return 0;
}

uint32_t TnxCachedBlobHandler::BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
  if (!cbhCache || cbhCacheGone) return 0;
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    return cbhCancel(NeedTrans(aTrans), aRefNr);
  });
}

uint32_t TnxCachedBlobHandler::AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                           const uint8_t* aRecord) {
  if (!aRecord) return nxeInvalidParameter;
  const uint32_t result = bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    // RefNr 0 would cancel the changes of every record.
    if (aRecID.ridRefNr != 0) {
      if (const uint32_t r = cbhCancel(trans, aRecID.ridRefNr)) return r;
    }
    if (!cbhCachedBlobsIndexEngine) return 0;
    for (const int32_t field : cbhBlobFields) {
      TnxBlobNr number = 0;
      if (!cbhBlobField(aRecord, field, number) || number == 0) continue;
      cbhDropCachedCopy(trans, aRecID, field, number);
    }
    return 0;
  });
  if (result != 0) nxBlobHandlerMarkCorrupted(aTrans);
  return result;
}

uint32_t TnxCachedBlobHandler::AfterModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID,
                                           const uint8_t* aOldRecord, const uint8_t* aNewRecord) {
  if (!cbhCachedBlobsIndexEngine || !aOldRecord || !aNewRecord) return 0;
  const uint32_t result = bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    TnxBlobCacheInfos infos;
    if (const uint32_t r = cbhReadInfos(&trans, aRecID, infos)) return r;
    // Local blobs the remote side took become the cached copies of the
    // numbers the record holds now.
    for (TnxBlobCacheInfo& info : infos) {
      const bool live = info.bciState == cbsiCreated || info.bciState == cbsiModified;
      if (!info.bciFlushed || !live || info.bciCacheBlobNr == 0) continue;
      if (std::find(cbhBlobFields.begin(), cbhBlobFields.end(), info.bciFieldNo) == cbhBlobFields.end()) continue;
      TnxBlobNr oldNr = 0, newNr = 0;
      cbhBlobField(aOldRecord, info.bciFieldNo, oldNr);
      cbhBlobField(aNewRecord, info.bciFieldNo, newNr);
      if (newNr == 0) continue;
      // A server table that counts no incarnations keeps the number for the
      // new content: the copy cached under it is stale and gives way.
      const bool sameNumber = newNr == oldNr && newNr == info.bciBlobNr && !IsInternalBlobNr(newNr);
      if (newNr == oldNr && !sameNumber) continue;
      TnxBlobNr next = info.bciBlobNr;
      cbhBlobEngine->IncBlobNr(next);
      if (newNr != info.bciBlobNr && newNr != next) continue;
      if (sameNumber) cbhDropCachedCopy(trans, aRecID, info.bciFieldNo, newNr);
      uint8_t key[TnxBlobCacheKeyEngine::kKeyLength];
      TnxBlobCacheKeyEngine::StoreKey(key, newNr, info.bciFieldNo, aRecID);
      // A copy there already means the cache and the record disagree:
      // neither blob is dropped on a guess.
      if (!cbhCachedBlobsIndexEngine->InsertKey(trans, key, info.bciCacheBlobNr, 0, cbhCachedBlobsIndexPath.get()))
        return cbhInconsistent(u"The cache holds a copy of the record's new BLOB already", newNr);
      info.bciCacheBlobNr = 0;
    }
    for (const TnxBlobCacheInfo& info : infos) {
      const bool live = info.bciState == cbsiCreated || info.bciState == cbsiModified;
      if (live && info.bciCacheBlobNr != 0) cbhBlobEngine->DeleteBlob(trans, info.bciCacheBlobNr);
    }
    if (!infos.empty()) {
      TRangeGuard range(cbhCache);
      cbhRangeOn(aRecID, aRecID.ridInsertLSN == 0);
      if (const uint32_t r = cbhCache->sbcDeleteRecords()) return r;
    }
    for (const int32_t field : cbhBlobFields) {
      TnxBlobNr oldNr = 0, newNr = 0;
      cbhBlobField(aOldRecord, field, oldNr);
      cbhBlobField(aNewRecord, field, newNr);
      if (oldNr != 0 && oldNr != newNr) cbhDropCachedCopy(trans, aRecID, field, oldNr);
    }
    return 0;
  });
  if (result != 0) nxBlobHandlerMarkCorrupted(aTrans);
  return result;
}

}  // namespace revurov
