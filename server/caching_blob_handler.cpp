#include "server/caching_blob_handler.h"

#include <atomic>
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
#include "server/blob_handler_steps.h"
#include "server/server_database.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/table_cursor_frames.h"
#include "storage/deadline.h"
#include "storage/transactions.h"

namespace revurov {

namespace {

// Fields of the private table.
constexpr int32_t kBlobNr = 0, kUnmaskedBlobNr = 1, kBlobStateInfo = 2, kCachedBlob = 3, kFieldNo = 4, kRefNr = 5,
                  kInsertLSN = 6;
constexpr uint32_t kCopyAll = 0xFFFFFFFFu;

TnxDataDictionary* gCachingBlobDictionary = nullptr;

TnxDataDictionary* NewCachingBlobDictionary() {
  auto* dict = new TnxDataDictionary();
  try {
    TnxFieldsDescriptor& fields = dict->FieldsDescriptor();
    fields.AddField(u"BlobNr", u"", nxtInt64, 0, 0, true);
    fields.AddField(u"UnmaskedBlobNr", u"", nxtInt64, 0, 0, true);
    fields.AddField(u"BlobStateInfo", u"", nxtByte, 0, 0, true);
    fields.AddField(u"CachedBlob", u"", nxtBlob, 0, 0, false);
    fields.AddField(u"FieldNo", u"", nxtInt32, 0, 0, false);
    fields.AddField(u"RefNr", u"", nxtInt64, 0, 0, false);
    fields.AddField(u"InsertLSN", u"", nxtInt64, 0, 0, false);
    dict->RemoveIndicesDescriptor();
    TnxMainIndicesDescriptor* indices = dict->AddIndicesDescriptor();
    auto* key = static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(u"Default", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor());
    key->Add(kBlobNr);
    indices->SetDefaultIndex(0);
    dict->AddBlobDescriptor();
  } catch (...) {
    delete dict;
    throw;
  }
  return dict;
}

using TTimeoutNesting = TnxTimeoutNestingGuard;

TnxBaseTransaction& NeedTrans(TnxBaseTransaction* aTrans) { return nxBlobHandlerTrans(aTrans); }
void MarkCorrupted(TnxBaseTransaction* aTrans) noexcept { nxBlobHandlerMarkCorrupted(aTrans); }
void Check(uint32_t aResult) { nxBlobHandlerCheck(aResult); }

}  // namespace

// ---- the private table's layout ----

TnxDataDictionary& TnxCachingBlobHandler::CachingBlobDictionary() {
  nxCreateAndEnter(gCachingBlobDictionary, &NewCachingBlobDictionary, [](TnxDataDictionary&) {},
                   [](TnxDataDictionary&) {});
  return *std::atomic_ref<TnxDataDictionary*>(gCachingBlobDictionary).load(std::memory_order_acquire);
}

void TnxCachingBlobHandler::FreeCachingBlobDictionary() noexcept {
  delete std::atomic_ref<TnxDataDictionary*>(gCachingBlobDictionary).exchange(nullptr);
}

// ---- life ----

TnxCachingBlobHandler::TnxCachingBlobHandler(TnxServerTableCursor* aOwner, TnxBaseBlobEngine* aBlobEngine,
                                             TnxBaseBlobLinkHandler* aBlobLinkHandler,
                                             TnxFieldsDescriptor* aFieldsDescriptor)
    : TnxBaseBlobHandler(aOwner),
      cbhOwner(aOwner),
      cbhBlobEngine(aBlobEngine),
      cbhBlobLinkHandler(aBlobLinkHandler),
      cbhFieldsDescriptor(aFieldsDescriptor) {
  CachingBlobDictionary();
  if (cbhFieldsDescriptor) cbhFieldsDescriptor->HasBlobFields(cbhBlobFields);
  if (cbhBlobEngine) cbhBlobNrMask = cbhBlobEngine->bbeBlobNrMask;
  nxBlobHandlerLinkMethods(*this, cbhBlobLinkHandler, cbhLinkRead, cbhLinkGetLength);
  // Only a cacheable table keeps a blob-number counter index.
  TnxCacheableInfo* info = nullptr;
  bool cacheable = false;
  if (aOwner && aOwner->TableDescriptor())
    cacheable = aOwner->TableDescriptor()->IsCacheable(info, tcsCacheable, false);
  TnxCacheableInfoRef infoRef = TnxCacheableInfoRef::Adopt(info);
  TnxBaseIndicesEngine* internal = aOwner && aOwner->Table() ? aOwner->Table()->InternalIndicesEngine() : nullptr;
  if (cbhBlobNrMask != -1 && cacheable && internal && info->ciBlobNrCounterIndex >= 0 &&
      info->ciBlobNrCounterIndex < internal->IndexCount()) {
    cbhBlobNrCounterIndexEngine = &internal->Indices(info->ciBlobNrCounterIndex);
    cbhBlobNrCounterIndexPath = cbhBlobNrCounterIndexEngine->CreateIndexPath();
  }
}

TnxCachingBlobHandler::~TnxCachingBlobHandler() { cbhFreeCache(); }

void TnxCachingBlobHandler::PrepareDestroy() {
  TnxBaseBlobHandler::PrepareDestroy();
  // Blobs created for an edit that never got posted are named by no
  // record: without this they would stay in the table for good.
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

void TnxCachingBlobHandler::cbhFreeCache() noexcept {
  nxFreePrivateBlobTable(cbhCache, cbhCacheGone, cbhCacheRecord, cbhCacheRecordAsKey);
  cbhBlobNrCounterIndexPath.reset();
}

// ---- the private table ----

void TnxCachingBlobHandler::cbhEnsureCache() {
  if (cbhCacheGone) throw EnxBaseException(nxeBlobError, u"The private BLOB table of the cursor is gone", {});
  if (cbhCache) return;
  cbhCache =
      nxOpenPrivateBlobTable(*cbhOwner, CachingBlobDictionary(), cbhCacheGone, cbhCacheRecord, cbhCacheRecordAsKey);
}

TnxCachingBlobHandler::TFound TnxCachingBlobHandler::cbhFindCacheRecord(TnxBlobNr aMasked) {
  TFound found;
  if (!cbhCache || cbhCacheGone) return found;
  TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
  fields.InitRecord(cbhCacheRecordAsKey.data());
  fields.SetRecordField(kBlobNr, cbhCacheRecordAsKey.data(), &aMasked);
  const uint32_t result =
      cbhCache->sbcRecordGetForKey(1, 0, false, cbhCacheRecordAsKey.data(), cbhCacheRecord.data(), true, true);
  if (result == nxeRecordNotFound || result == nxeAtEndOfTable || result == nxeNoCurrentRecord) return found;
  Check(result);
  const uint8_t* rec = cbhCacheRecord.data();
  auto load64 = [&](int32_t aField) -> int64_t {
    if (fields.IsRecordFieldNull(aField, rec)) return 0;
    return platform::LoadLE<int64_t>(rec + fields.FieldDescriptor(aField)->Offset());
  };
  found.Found = true;
  found.State = rec[fields.FieldDescriptor(kBlobStateInfo)->Offset()];
  found.CachedBlob = load64(kCachedBlob);
  found.Unmasked = load64(kUnmaskedBlobNr);
  found.RefNr = load64(kRefNr);
  return found;
}

void TnxCachingBlobHandler::cbhInsertCacheRecord(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aCachedBlob,
                                                 uint8_t aState, TnxBlobNr aUnmasked, TnxBlobNr aMasked) {
  cbhEnsureCache();
  TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
  uint8_t* rec = cbhCacheRecord.data();
  fields.InitRecord(rec);
  auto put = [&](int32_t aField, const void* aValue, bool aNull) {
    if (aNull)
      fields.SetRecordFieldNull(aField, rec, true);
    else
      fields.SetRecordField(aField, rec, aValue);
  };
  put(kBlobNr, &aMasked, false);
  put(kUnmaskedBlobNr, &aUnmasked, false);
  put(kBlobStateInfo, &aState, false);
  put(kCachedBlob, &aCachedBlob, aCachedBlob == 0);
  put(kFieldNo, &aFieldNo, aFieldNo == -1);
  put(kRefNr, &aRecID.ridRefNr, aRecID.ridRefNr == 0);
  put(kInsertLSN, &aRecID.ridInsertLSN, aRecID.ridInsertLSN == 0);
  Check(cbhCache->sbcRecordInsert(nxltNoLock, 0, rec, nullptr));
}

uint32_t TnxCachingBlobHandler::cbhDeleteCurrent() {
  const uint32_t result = cbhCache->sbcRecordDelete(nullptr, 0);
  return result == 0 ? 0 : cbhInconsistent(u"The private record could not be deleted", 0);
}

std::vector<std::pair<TnxBlobNr, uint8_t>> TnxCachingBlobHandler::PendingStates() {
  std::vector<std::pair<TnxBlobNr, uint8_t>> states;
  if (!cbhCache || cbhCacheGone) return states;
  TTimeoutNesting nesting;
  TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
  cbhCache->sbcSetToBegin();
  while (cbhCache->sbcRecordGetNext(nxltNoLock, cbhCacheRecord.data()) == 0) {
    const uint8_t* rec = cbhCacheRecord.data();
    states.emplace_back(platform::LoadLE<int64_t>(rec + fields.FieldDescriptor(kBlobNr)->Offset()),
                        rec[fields.FieldDescriptor(kBlobStateInfo)->Offset()]);
  }
  return states;
}

bool TnxCachingBlobHandler::NeedNested() {
  if (!cbhCache || cbhCacheGone) return false;
  TTimeoutNesting nesting;
  uint32_t count = 0;
  return cbhCache->sbcGetRecordCount(rcoTotalRecordCount, count, false) == 0 && count > 0;
}

uint32_t TnxCachingBlobHandler::cbhInconsistent(std::u16string_view aWhat, TnxBlobNr aBlobNr) const {
  return EnxBaseException::nxSetMessage(nxeBlobError, u"General BLOB error. %s (BLOB %d)",
                                        {std::u16string(aWhat), int64_t{aBlobNr}});
}

bool TnxCachingBlobHandler::cbhBlobField(const uint8_t* aRecord, int32_t aField, TnxBlobNr& aBlobNr) const {
  aBlobNr = 0;
  if (!aRecord || cbhFieldsDescriptor->IsRecordFieldNull(aField, aRecord)) return false;
  aBlobNr = platform::LoadLE<int64_t>(aRecord + cbhFieldsDescriptor->FieldDescriptor(aField)->Offset());
  return true;
}

// ---- blob numbers of the counter index ----

void TnxCachingBlobHandler::cbhReuseBlobNr(TnxBaseTransaction& aTrans, TnxBlobNr& aBlobNr, TnxBlobNr& aMasked) {
  aMasked = Masked(aBlobNr);
  if (!cbhBlobNrCounterIndexEngine) return;
  uint8_t key[8];
  platform::StoreLE<int64_t>(key, aMasked);
  TnxBaseIndexPath& path = *cbhBlobNrCounterIndexPath;
  if (!cbhBlobNrCounterIndexEngine->FindKey(&aTrans, key, 0, 0, 0, path, skaEqualFirst, nullptr)) return;
  const TnxRefNr stored = path.RefNr;
  if (!cbhBlobNrCounterIndexEngine->DeleteKey(aTrans, key, stored, 0, &path)) return;
  aBlobNr = stored;
  cbhBlobEngine->IncBlobNr(aBlobNr);
}

void TnxCachingBlobHandler::cbhReleaseBlobNr(TnxBaseTransaction& aTrans, TnxBlobNr aBlobNr, TnxBlobNr aMasked) {
  if (!cbhBlobNrCounterIndexEngine) return;
  uint8_t key[8];
  platform::StoreLE<int64_t>(key, aMasked);
  TnxBaseIndexPath& path = *cbhBlobNrCounterIndexPath;
  if (cbhBlobNrCounterIndexEngine->InsertKey(aTrans, key, aBlobNr, 0, &path)) return;
  cbhBlobNrCounterIndexEngine->DeleteKey(aTrans, key, aBlobNr, 0, &path);
  cbhBlobNrCounterIndexEngine->InsertKey(aTrans, key, aBlobNr, 0, &path);
}

// ---- creating ----

void TnxCachingBlobHandler::cbhNoteCreated(TnxBaseTransaction& aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                           TnxBlobNr& aBlobNr) {
  TnxBlobNr masked = 0;
  cbhReuseBlobNr(aTrans, aBlobNr, masked);
  cbhInsertCacheRecord(aRecID, aFieldNo, 0, bsiCreated, aBlobNr, masked);
}

uint32_t TnxCachingBlobHandler::BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                           TnxBlobNr& aBlobNr) {
  return bbhGuarded([&] {
    TTimeoutNesting nesting;
    cbhBlobEngine->AddBlob(NeedTrans(aTrans), aBlobNr);
    cbhNoteCreated(*aTrans, aRecID, aFieldNo, aBlobNr);
    return 0u;
  });
}

uint32_t TnxCachingBlobHandler::BlobCreateFile(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                               std::u16string_view aFileName, TnxBlobNr& aBlobNr) {
  return bbhGuarded([&] {
    TTimeoutNesting nesting;
    cbhBlobEngine->AddFileBlob(NeedTrans(aTrans), aFileName, aBlobNr);
    cbhNoteCreated(*aTrans, aRecID, aFieldNo, aBlobNr);
    return 0u;
  });
}

uint32_t TnxCachingBlobHandler::BlobCreateLink(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                               std::u16string_view aTableName, TnxBlobNr aTableBlobNr,
                                               TnxBlobNr& aBlobNr) {
  return bbhGuarded([&] {
    TTimeoutNesting nesting;
    cbhBlobEngine->AddBlobLink(NeedTrans(aTrans), aTableName, aTableBlobNr, aBlobNr);
    cbhNoteCreated(*aTrans, aRecID, aFieldNo, aBlobNr);
    return 0u;
  });
}

// ---- changing ----

uint32_t TnxCachingBlobHandler::BlobDelete(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                           TnxBlobNr aBlobNr) {
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    const TnxBlobNr masked = Masked(aBlobNr);
    const TFound found = cbhFindCacheRecord(masked);
    if (!found.Found) {
      cbhInsertCacheRecord(aRecID, aFieldNo, 0, bsiDeleted, aBlobNr, masked);
      return 0;
    }
    switch (found.State) {
      case bsiCreated:
        cbhBlobEngine->DeleteBlob(trans, masked);
        cbhReleaseBlobNr(trans, found.Unmasked, masked);
        return cbhDeleteCurrent();
      case bsiChanged:
        if (const uint32_t result = cbhDeleteCurrent()) return result;
        cbhInsertCacheRecord(aRecID, aFieldNo, 0, bsiDeleted, aBlobNr, masked);
        return 0;
      default:
        return cbhInconsistent(u"The BLOB is deleted already", aBlobNr);
    }
  });
}

uint32_t TnxCachingBlobHandler::BlobFree(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t, TnxBlobNr aBlobNr,
                                         bool& aBlobDeleted) {
  aBlobDeleted = false;
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    const TnxBlobNr masked = Masked(aBlobNr);
    const TFound found = cbhFindCacheRecord(masked);
    if (!found.Found) return 0;
    if (found.State == bsiCreated) {
      cbhBlobEngine->DeleteBlob(trans, masked);
      cbhReleaseBlobNr(trans, found.Unmasked, masked);
    }
    return cbhCache->sbcRecordDelete(nullptr, 0);
  });
}

uint32_t TnxCachingBlobHandler::cbhCopyToPrivate(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr,
                                                 uint32_t aMaxLength, TnxBlobNr& aCopy) {
  cbhEnsureCache();
  const TnxBlobNr masked = Masked(aBlobNr);
  aCopy = 0;
  if (const uint32_t result = cbhCache->sbcBlobCopyPrim(cbhOwner, aFieldNo, masked, kCachedBlob, aCopy, aMaxLength))
    return result;
  cbhInsertCacheRecord(aRecID, aFieldNo, aCopy, bsiChanged, aBlobNr, masked);
  return 0;
}

uint32_t TnxCachingBlobHandler::BlobWrite(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                          TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen, const void* aBlob) {
  return bbhGuarded([&]() -> uint32_t {
    if (aLen > 0 && !aBlob) return nxeInvalidParameter;
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    const TnxBlobNr masked = Masked(aBlobNr);
    TFound found = cbhFindCacheRecord(masked);
    if (!found.Found) {
      if (const uint32_t result = cbhCopyToPrivate(aRecID, aFieldNo, aBlobNr, kCopyAll, found.CachedBlob))
        return result;
      found.State = bsiChanged;
    }
    switch (found.State) {
      case bsiCreated:
        cbhBlobEngine->Write(trans, masked, aOffset, aLen, aBlob);
        return 0;
      case bsiChanged:
        return cbhCache->sbcBlobWrite(nxNullRecID, -1, found.CachedBlob, aOffset, aLen, aBlob);
      default:
        return cbhInconsistent(u"Writing to a deleted BLOB", aBlobNr);
    }
  });
}

uint32_t TnxCachingBlobHandler::BlobTruncate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                             TnxBlobNr aBlobNr, uint32_t aBlobLength) {
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    const TnxBlobNr masked = Masked(aBlobNr);
    const TFound found = cbhFindCacheRecord(masked);
    if (!found.Found) {
      TnxBlobNr copy = 0;
      return cbhCopyToPrivate(aRecID, aFieldNo, aBlobNr, aBlobLength, copy);
    }
    switch (found.State) {
      case bsiCreated:
        cbhBlobEngine->Truncate(trans, masked, aBlobLength);
        return 0;
      case bsiChanged:
        return cbhCache->sbcBlobTruncate(nxNullRecID, -1, found.CachedBlob, aBlobLength);
      default:
        return cbhInconsistent(u"Truncating a deleted BLOB", aBlobNr);
    }
  });
}

uint32_t TnxCachingBlobHandler::BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                            TnxBlobNr& aBlobNr, uint32_t aLen, const void* aBlob) {
  if (aLen == 0) return aBlobNr == 0 ? 0 : BlobTruncate(aTrans, aRecID, aFieldNo, aBlobNr, 0);
  return bbhGuarded([&]() -> uint32_t {
    if (!aBlob) return nxeInvalidParameter;
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    if (aBlobNr == 0) {
      TnxBlobNr created = 0;
      cbhBlobEngine->AddBlob(trans, created);
      cbhNoteCreated(trans, aRecID, aFieldNo, created);
      cbhBlobEngine->Write(trans, Masked(created), 0, aLen, aBlob);
      aBlobNr = created;
      return 0;
    }
    const TnxBlobNr masked = Masked(aBlobNr);
    const TFound found = cbhFindCacheRecord(masked);
    if (!found.Found) {
      cbhEnsureCache();
      TnxBlobNr copy = 0;
      if (const uint32_t result = cbhCache->sbcBlobCreate(nxNullRecID, -1, copy)) return result;
      cbhInsertCacheRecord(aRecID, aFieldNo, copy, bsiChanged, aBlobNr, masked);
      const uint32_t result = cbhCache->sbcBlobWrite(nxNullRecID, -1, copy, 0, aLen, aBlob);
      if (result != 0) {
        // The private record goes again; the write's code is the answer.
        if (cbhFindCacheRecord(masked).Found) cbhCache->sbcRecordDelete(nullptr, 0);
      }
      return result;
    }
    switch (found.State) {
      case bsiCreated:
        cbhBlobEngine->Write(trans, masked, 0, aLen, aBlob);
        cbhBlobEngine->Truncate(trans, masked, aLen);
        return 0;
      case bsiChanged:
        if (const uint32_t result = cbhCache->sbcBlobWrite(nxNullRecID, -1, found.CachedBlob, 0, aLen, aBlob))
          return result;
        return cbhCache->sbcBlobTruncate(nxNullRecID, -1, found.CachedBlob, aLen);
      default:
        return cbhInconsistent(u"Replacing a deleted BLOB", aBlobNr);
    }
  });
}

// ---- reading ----

uint32_t TnxCachingBlobHandler::BlobGetLength(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t, bool aReadOld,
                                              TnxBlobNr aBlobNr, uint32_t& aLength) {
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    const TnxBlobNr masked = Masked(aBlobNr);
    const TFound found = aReadOld ? TFound{} : cbhFindCacheRecord(masked);
    if (!found.Found || found.State == bsiCreated)
      return cbhBlobEngine->GetBlobLength(aTrans, masked, cbhLinkGetLength, aLength);
    if (found.State == bsiChanged)
      return cbhCache->sbcBlobGetLength(nxNullRecID, -1, found.CachedBlob, aLength, false, nullptr);
    return cbhInconsistent(u"Measuring a deleted BLOB", aBlobNr);
  });
}

uint32_t TnxCachingBlobHandler::BlobRead(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                                         bool aReadOld, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                                         platform::TStream& aStream, uint32_t* aBlobLen) {
  if (aBlobLen) {
    if (const uint32_t result = BlobGetLength(aTrans, aRecID, aFieldNo, aReadOld, aBlobNr, *aBlobLen)) return result;
  }
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    const TnxBlobNr masked = Masked(aBlobNr);
    const TFound found = aReadOld ? TFound{} : cbhFindCacheRecord(masked);
    if (!found.Found || found.State == bsiCreated)
      return cbhBlobEngine->Read(aTrans, masked, aOffset, aLen, cbhLinkRead, aStream);
    if (found.State == bsiChanged)
      return cbhCache->sbcBlobRead(nxNullRecID, -1, found.CachedBlob, aOffset, aLen, aStream, false, nullptr);
    return cbhInconsistent(u"Reading a deleted BLOB", aBlobNr);
  });
}

bool TnxCachingBlobHandler::BlobIsLink(TnxBaseTransaction* aTrans, const TnxRecID&, int32_t, TnxBlobNr aBlobNr,
                                       std::u16string& aSrcTableName, TnxBlobNr& aSrcTableBlobNr) {
  aSrcTableName.clear();
  TTimeoutNesting nesting;
  const TnxBlobNr masked = Masked(aBlobNr);
  const TFound found = cbhFindCacheRecord(masked);
  if (!found.Found || found.State == bsiCreated)
    return cbhBlobEngine->IsBlobLink(aTrans, masked, aSrcTableName, aSrcTableBlobNr);
  if (found.State == bsiChanged)
    return cbhCache->sbcBlobIsLink(nxNullRecID, -1, found.CachedBlob, aSrcTableName, aSrcTableBlobNr);
  return false;
}

uint32_t TnxCachingBlobHandler::BlobModified(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr aBlobNr,
                                             bool& aChanged) {
  aChanged = false;
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    aChanged = cbhFindCacheRecord(Masked(aBlobNr)).Found;
    return 0;
  });
}

bool TnxCachingBlobHandler::BlobVerifyNr(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr aBlobNr) {
  try {
    TTimeoutNesting nesting;
    const TFound found = cbhFindCacheRecord(Masked(aBlobNr));
    return found.Found && (found.State == bsiCreated || found.State == bsiChanged);
  } catch (...) {
    asoConvertCurrentException();
    return false;
  }
}

// ---- record hooks ----

uint32_t TnxCachingBlobHandler::BeforeInsert(TnxBaseTransaction* aTrans, uint8_t* aRecord) {
  if (!aRecord) return nxeInvalidParameter;
  if (!NeedNested()) return 0;
  uint32_t result = bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    for (const int32_t field : cbhBlobFields) {
      TnxBlobNr number = 0;
      if (!cbhBlobField(aRecord, field, number)) continue;
      const TnxBlobNr masked = Masked(number);
      bool freed = masked == 0;
      if (!freed) {
        const TFound found = cbhFindCacheRecord(masked);
        if (found.Found && found.State != bsiCreated)
          return cbhInconsistent(u"A new record holds a BLOB that is not new", number);
        freed = cbhBlobEngine->FreeBlob(&trans, masked);
        if (found.Found && cbhCache->sbcRecordDelete(nullptr, 0) != 0)
          return cbhInconsistent(u"The private record could not be deleted", number);
      }
      if (freed) cbhFieldsDescriptor->SetRecordFieldNull(field, aRecord, true);
    }
    return 0;
  });
  if (result != 0) MarkCorrupted(aTrans);
  return result;
}

uint32_t TnxCachingBlobHandler::BeforeModify(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, const uint8_t* aOldRecord,
                                             uint8_t* aNewRecord) {
  if (!aNewRecord) return nxeInvalidParameter;
  if (!NeedNested()) return 0;
  uint32_t result = bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    for (const int32_t field : cbhBlobFields) {
      TnxBlobNr number = 0, old = 0;
      if (!cbhBlobField(aNewRecord, field, number)) continue;
      cbhBlobField(aOldRecord, field, old);
      TnxBlobNr store = number;
      bool nulled = false;
      const TnxBlobNr masked = Masked(number);
      if (masked == 0) {
        nulled = true;
      } else {
        const TFound found = cbhFindCacheRecord(masked);
        if (!found.Found) {
          nulled = cbhBlobEngine->FreeBlob(&trans, masked);
        } else if (found.State == bsiCreated) {
          nulled = cbhBlobEngine->FreeBlob(&trans, masked);
          if (nulled && cbhCache->sbcRecordDelete(nullptr, 0) != 0)
            return cbhInconsistent(u"The private record could not be deleted", number);
        } else if (found.State == bsiChanged) {
          uint32_t length = 0;
          if (const uint32_t got =
                  cbhCache->sbcBlobGetLength(nxNullRecID, -1, found.CachedBlob, length, false, nullptr))
            return got;
          if (length == 0) {
            nulled = true;
            if (cbhCache->sbcRecordDelete(nullptr, 0) != 0)
              return cbhInconsistent(u"The private record could not be deleted", number);
            cbhInsertCacheRecord(aRecID, field, 0, bsiDeleted, number, masked);
          } else if (old == store) {
            // Changed content gets a new full number, so that readers of
            // the old one learn it changed.
            cbhBlobEngine->IncBlobNr(store);
          }
        } else {
          return cbhInconsistent(u"A posted record holds a deleted BLOB", number);
        }
      }
      if (nulled)
        cbhFieldsDescriptor->SetRecordFieldNull(field, aNewRecord, true);
      else if (store != number)
        cbhFieldsDescriptor->SetRecordField(field, aNewRecord, &store);
    }
    return 0;
  });
  if (result != 0) MarkCorrupted(aTrans);
  return result;
}

uint32_t TnxCachingBlobHandler::AfterModify(TnxBaseTransaction* aTrans, const TnxRecID&, const uint8_t* aOldRecord,
                                            const uint8_t* aNewRecord) {
  if (!NeedNested()) return 0;
  uint32_t result = bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    for (const int32_t field : cbhBlobFields) {
      TnxBlobNr oldNr = 0, newNr = 0;
      cbhBlobField(aOldRecord, field, oldNr);
      cbhBlobField(aNewRecord, field, newNr);
      const TnxBlobNr mo = Masked(oldNr), mn = Masked(newNr);
      if (mo == 0 && mn == 0) continue;
      if (mo == 0 || (mo != mn && mn != 0)) {
        // Both ends are checked before anything is deleted.
        const TFound created = cbhFindCacheRecord(mn);
        if (!created.Found || created.State != bsiCreated)
          return cbhInconsistent(u"The record holds a BLOB that was not created for it", newNr);
        bool oldNoted = false;
        if (mo != 0) {
          const TFound old = cbhFindCacheRecord(mo);
          std::u16string fileName;
          oldNoted = old.Found && old.State == bsiDeleted;
          if (!oldNoted && (old.Found || !cbhBlobEngine->IsFileBlob(&trans, mo, fileName)))
            return cbhInconsistent(u"The record lost a BLOB whose deletion was not noted", oldNr);
          // The old blob leaves the record.
          cbhBlobEngine->DeleteBlob(trans, mo);
          cbhReleaseBlobNr(trans, oldNr, mo);
          if (oldNoted) {
            if (const uint32_t r = cbhDeleteCurrent()) return r;
          }
        }
        if (!cbhFindCacheRecord(mn).Found) return cbhInconsistent(u"The private record is gone", newNr);
        if (const uint32_t r = cbhDeleteCurrent()) return r;
        continue;
      }
      if (mn == 0) {
        const TFound old = cbhFindCacheRecord(mo);
        if (!old.Found) continue;
        if (old.State != bsiDeleted) return cbhInconsistent(u"The record lost a BLOB still in use", oldNr);
        cbhBlobEngine->DeleteBlob(trans, mo);
        cbhReleaseBlobNr(trans, oldNr, mo);
        if (const uint32_t r = cbhDeleteCurrent()) return r;
        continue;
      }
      // The same blob: a changed copy goes back into it.
      const TFound same = cbhFindCacheRecord(mn);
      if (!same.Found) continue;
      if (same.State != bsiChanged) return cbhInconsistent(u"The record's BLOB is in a state it cannot keep", newNr);
      if (const uint32_t r = cbhOwner->sbcBlobCopyContentPrim(cbhCache, -1, same.CachedBlob, field, mn, kCopyAll))
        return r;
      if (!cbhFindCacheRecord(mn).Found) return cbhInconsistent(u"The private record is gone", newNr);
      if (const uint32_t r = cbhDeleteCurrent()) return r;
    }
    return 0;
  });
  if (result != 0) MarkCorrupted(aTrans);
  return result;
}

uint32_t TnxCachingBlobHandler::AfterDelete(TnxBaseTransaction* aTrans, const TnxRecID&, const uint8_t* aRecord) {
  if (!aRecord) return nxeInvalidParameter;
  uint32_t result = bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    TnxBaseTransaction& trans = NeedTrans(aTrans);
    for (const int32_t field : cbhBlobFields) {
      TnxBlobNr number = 0;
      if (!cbhBlobField(aRecord, field, number)) continue;
      const TnxBlobNr masked = Masked(number);
      if (masked == 0) continue;
      if (cbhFindCacheRecord(masked).Found) {
        if (const uint32_t r = cbhCache->sbcRecordDelete(nullptr, 0)) return r;
      }
      cbhBlobEngine->DeleteBlob(trans, masked);
      cbhReleaseBlobNr(trans, number, masked);
    }
    return 0;
  });
  if (result != 0) MarkCorrupted(aTrans);
  return result;
}

uint32_t TnxCachingBlobHandler::cbhCancel(TnxBaseTransaction& aTrans, TnxRefNr aRefNr) {
  TnxFieldsDescriptor& fields = cbhCache->TableDescriptor()->FieldsDescriptor();
  auto load64 = [&](const uint8_t* aRec, int32_t aField) -> int64_t {
    if (fields.IsRecordFieldNull(aField, aRec)) return 0;
    return platform::LoadLE<int64_t>(aRec + fields.FieldDescriptor(aField)->Offset());
  };
  cbhCache->sbcSetToBegin();
  for (;;) {
    const uint32_t got = cbhCache->sbcRecordGetNext(nxltNoLock, cbhCacheRecord.data());
    if (got == nxeAtEndOfTable) break;
    if (got != 0) return got;
    const uint8_t* rec = cbhCacheRecord.data();
    const TnxRefNr refNr = load64(rec, kRefNr);
    if (aRefNr != 0 && refNr != 0 && refNr != aRefNr) continue;
    const TnxBlobNr masked = load64(rec, kBlobNr);
    if (rec[fields.FieldDescriptor(kBlobStateInfo)->Offset()] == bsiCreated && masked != 0) {
      cbhBlobEngine->DeleteBlob(aTrans, masked);
      cbhReleaseBlobNr(aTrans, load64(rec, kUnmaskedBlobNr), masked);
    }
    if (const uint32_t r = cbhCache->sbcRecordDelete(nullptr, 0)) return r;
  }
  return 0;
}

uint32_t TnxCachingBlobHandler::BlobsCancel(TnxBaseTransaction* aTrans, TnxRefNr aRefNr) {
  if (!NeedNested()) return 0;
  return bbhGuarded([&]() -> uint32_t {
    TTimeoutNesting nesting;
    return cbhCancel(NeedTrans(aTrans), aRefNr);
  });
}

}  // namespace revurov
