// The table cursor's position: index switch, key searches, ranges, another
// cursor's position, bookmarks, record numbers, filter positioning, saved
// positions and keys.
#include <utility>

#include "dictionary/indices_descriptors.h"
#include "dictionary/int64_key_engines.h"
#include "dictionary/table_descriptors.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/variant.h"
#include "server/key_fields_source.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/table_cursor_frames.h"
#include "storage/sub_engines.h"

namespace revurov {

namespace {

constexpr std::u16string_view kIndexNLSChangedText =
    u"Current NLS version differs from NLS version of stored keys. Table must be packed before index can be used";

bool IsLockError(uint32_t aCode) noexcept { return aCode >= 10240 && aCode <= 10495; }

// What porTry forgives: no record to stay on.
bool NoRecordToStayOn(uint32_t aCode) noexcept {
  return aCode == nxeAtBeginningOfTable || aCode == nxeAtEndOfTable || aCode == nxeRecordDeleted ||
         aCode == nxeNoCurrentRecord;
}

bool IsBackward(TnxSearchKeyAction aAction) noexcept {
  return aAction == skaEqualLast || aAction == skaSmallerEqual || aAction == skaSmaller;
}

uint32_t NoIndex() { return EnxBaseException::nxSetMessage(nxeNoAssociatedIndex, u"No associated index."); }

uint32_t BadBookmark() { return EnxBaseException::nxSetMessage(nxeBookmarkMismatch, u"Invalid bookmark."); }

// A key of aKeys for one operation, freed through the same engine.
class TTempKey {
public:
  explicit TTempKey(const TnxBaseKeyEngine* aKeys) : tkKeys(aKeys), tkKey(aKeys ? aKeys->AllocKey() : nullptr) {}
  ~TTempKey() {
    if (tkKeys) tkKeys->FreeKey(tkKey);
  }
  TTempKey(const TTempKey&) = delete;
  TTempKey& operator=(const TTempKey&) = delete;
  uint8_t* Get() const noexcept { return tkKey; }
  uint8_t* Release() noexcept { return std::exchange(tkKey, nullptr); }

private:
  const TnxBaseKeyEngine* tkKeys;
  uint8_t* tkKey;
};

int Sign(int aValue) noexcept { return aValue < 0 ? -1 : aValue > 0 ? 1 : 0; }

}  // namespace

// ---- index switch ----

uint32_t TnxServerTableCursor::sbcSwitchToIndex(std::u16string_view aIndexName, int32_t aIndexID,
                                                TnxPosnOnRec aPosnOnRec) {
  try {
    TnxBaseIndicesEngine* indices = stcTable ? stcTable->IndicesEngine() : nullptr;
    TnxBaseIndexEngine* engine = nullptr;
    if (indices) {
      if (!aIndexName.empty()) {
        aIndexID = indices->Descriptor().GetIndexFromName(aIndexName);
        if (aIndexID < 0) return EnxBaseException::nxSetMessage(nxeIndexDoesNotExist, u"Index does not exist.");
      }
      if (aIndexID < -1 || aIndexID >= indices->IndexCount())
        return EnxBaseException::nxSetMessage(nxeIndexDoesNotExist, u"Index does not exist.");
      if (aIndexID >= 0) engine = &indices->Indices(aIndexID);
    } else if (!aIndexName.empty() || (aIndexID != -1 && aIndexID != 0)) {
      return EnxBaseException::nxSetMessage(nxeIndexDoesNotExist, u"Index does not exist.");
    }
    if (engine && engine->KeyEngine().NLSVersionChanged())
      return EnxBaseException::nxSetMessage(nxeHigherTableLevelRequired, kIndexNLSChangedText);

    uint32_t result = 0;
    bool position = aPosnOnRec != porFalse;
    if (position) {
      result = stcIndexPath ? sbcRecordGet(nxltNoLock, sbcRecordBuffer)
                            : EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record.");
      if (result != 0 && !IsLockError(result) && result != nxeTimeout) result = nxeNoCurrentRecord;
      if (result != 0) {
        if (aPosnOnRec != porTry || !NoRecordToStayOn(result)) return result;
        result = 0;
        position = false;
      }
    }
    std::unique_ptr<TnxBaseIndexPath> path =
        engine ? engine->CreateIndexPath() : TnxBaseIndexPath::CreateStandalone();
    // The new key engine's buffers are taken before anything changes: a
    // failed allocation leaves the cursor on its old index.
    const TnxBaseKeyEngine* keys = engine ? &engine->KeyEngine() : nullptr;
    TTempKey key(keys), startKey(keys), endKey(keys);
    if (position) {
      result = path->SetToRecord(sbcRecordBuffer, stcIndexPath->RefNr);
      if (result == 0 && engine) {
        TnxSharedContentLock lock(*this);
        result = lock.Result();
        if (result == 0) {
          engine->ValidateIndexPath(ActiveTrans(), *path);
          result = path->CheckCurrentState();
        }
      }
      if (result == 1) result = nxeNoCurrentRecord;
      if (aPosnOnRec == porTry && NoRecordToStayOn(result)) {
        path->SetToBof();
        result = 0;
      }
    } else {
      path->SetToBof();
    }
    if (KeyFilter()) sbcKeyFilterDeactivate(0);
    if (result != 0) return result;
    stcFreeKeys();
    stcIndexEngine = engine;
    stcSavePath.reset();
    stcTempPath.reset();
    stcIndexPath = std::move(path);
    stcKeyBuffer = key.Release();
    stcRangeStartKey = startKey.Release();
    stcRangeEndKey = endKey.Release();
    stcRangeStart = TnxRangeInfo{};
    stcRangeEnd = TnxRangeInfo{};
    stcRangeStart.riKey = stcRangeStartKey;
    stcRangeEnd.riKey = stcRangeEndKey;
    return 0;
  } catch (const std::exception& e) {
    if (KeyFilter()) sbcKeyFilterDeactivate(0);
    return asoConvertException(e);
  }
}

uint32_t TnxServerTableCursor::sbcGetIndexID(int32_t& aIndexID) {
  aIndexID = stcIndexEngine ? stcIndexEngine->IndexNumber() : -1;
  return 0;
}

TnxIndexPathPosition TnxServerTableCursor::sbcGetPosition() {
  return stcIndexPath ? stcIndexPath->Position : ippUnknown;
}

void TnxServerTableCursor::sbcSetToBegin() {
  if (stcIndexPath) stcIndexPath->SetToBof();
}

void TnxServerTableCursor::sbcSetToEnd() {
  if (stcIndexPath) stcIndexPath->SetToEof();
}

// ---- ranges ----

int TnxServerTableCursor::stcCheckRange(const uint8_t* aKey) const {
  if (!stcIndexEngine || !aKey) return 0;
  const TnxBaseKeyEngine& keys = stcIndexEngine->KeyEngine();
  if (stcRangeStart.riValid) {
    const int c = keys.CompareKey(stcRangeStart.riKey, aKey, stcRangeStart.riFieldCount, stcRangeStart.riPartitial);
    if (c > 0 || (c == 0 && stcRangeStart.riExclusive)) return -1;
  }
  if (stcRangeEnd.riValid) {
    const int c = keys.CompareKey(stcRangeEnd.riKey, aKey, stcRangeEnd.riFieldCount, stcRangeEnd.riPartitial);
    if (c < 0 || (c == 0 && stcRangeEnd.riExclusive)) return 1;
  }
  return 0;
}

uint32_t TnxServerTableCursor::stcCheckRecordRange(const uint8_t* aRecord, TnxRefNr aRefNr, int& aRange) {
  aRange = 0;
  if (!stcIndexEngine) return 0;
  const uint32_t result = stcIndexEngine->KeyEngine().BuildKey(aRecord, stcKeyBuffer, aRefNr, false);
  if (result == 0) aRange = stcCheckRange(stcKeyBuffer);
  return result;
}

void TnxServerTableCursor::stcApplyRange() {
  if (!stcIndexPath->KeyValid) return;
  const int range = stcCheckRange(stcIndexPath->KeyBuffer());
  if (range < 0)
    stcIndexPath->SetToBof();
  else if (range > 0)
    stcIndexPath->SetToEof();
}

uint32_t TnxServerTableCursor::stcValidatePath() {
  if (stcIndexEngine) {
    stcIndexEngine->ValidateIndexPath(ActiveTrans(), *stcIndexPath);
    stcApplyRange();
  }
  return stcIndexPath->CheckCurrentState();
}

void TnxServerTableCursor::sbcRangeReset() {
  stcRangeStart.riValid = false;
  stcRangeEnd.riValid = false;
}

uint32_t TnxServerTableCursor::stcCheckKeyArgs(int32_t aFieldCount, int32_t aPartialLen) const {
  if (aFieldCount < 0 || aPartialLen < 0 || aFieldCount > stcIndexEngine->KeyEngine().GetMaxFieldCount())
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"Field count %d or partial length %d is invalid",
                                          {aFieldCount, aPartialLen});
  return 0;
}

uint32_t TnxServerTableCursor::stcKeyFromClient(bool aDirectKey, PnxKeyOrRecordBuffer aKeyData,
                                                uint8_t* aKey) const {
  if (!aKeyData) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No key or record given");
  const TnxBaseKeyEngine& keys = stcIndexEngine->KeyEngine();
  if (aDirectKey) {
    keys.CopyKey(static_cast<const uint8_t*>(aKeyData), aKey);
    return 0;
  }
  return keys.BuildKey(static_cast<const uint8_t*>(aKeyData), aKey, 0, true);
}

uint32_t TnxServerTableCursor::sbcRangeSet(int32_t aFieldCount1, int32_t aPartialLen1, bool aDirectKey1,
                                           PnxKeyOrRecordBuffer aKeyData1, bool aKeyIncl1, int32_t aFieldCount2,
                                           int32_t aPartialLen2, bool aDirectKey2, PnxKeyOrRecordBuffer aKeyData2,
                                           bool aKeyIncl2) {
  sbcRangeReset();
  if (!stcIndexEngine) return NoIndex();
  auto side = [&](int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey, PnxKeyOrRecordBuffer aKeyData,
                  bool aKeyIncl, TnxRangeInfo& aRange, uint8_t* aKey) -> uint32_t {
    if (!aKeyData) return 0;
    if (uint32_t result = stcCheckKeyArgs(aFieldCount, aPartialLen)) return result;
    if (uint32_t result = stcKeyFromClient(aDirectKey, aKeyData, aKey)) return result;
    aRange.riFieldCount = aFieldCount;
    aRange.riPartitial = aPartialLen;
    aRange.riExclusive = !aKeyIncl;
    aRange.riValid = true;
    return 0;
  };
  uint32_t result = side(aFieldCount1, aPartialLen1, aDirectKey1, aKeyData1, aKeyIncl1, stcRangeStart, stcRangeStartKey);
  if (result == 0)
    result = side(aFieldCount2, aPartialLen2, aDirectKey2, aKeyData2, aKeyIncl2, stcRangeEnd, stcRangeEndKey);
  if (result != 0) {
    sbcRangeReset();
    return result;
  }
  stcIndexPath->SetToBof();
  return 0;
}

// ---- key search ----

uint32_t TnxServerTableCursor::sbcSetToKey(TnxSearchKeyAction aSearchAction, int32_t aFieldCount,
                                           int32_t aPartialLen, bool aDirectKey, PnxKeyOrRecordBuffer aKeyData) {
  if (!stcIndexEngine) return NoIndex();
  if (aSearchAction > skaAnySmaller)
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"Unknown search action");
  if (uint32_t result = stcCheckKeyArgs(aFieldCount, aPartialLen)) return result;
  if (uint32_t result = stcKeyFromClient(aDirectKey, aKeyData, stcKeyBuffer)) return result;
  TnxSharedContentLock lock(*this);
  if (lock.Result() != 0) return lock.Result();
  const bool backward = IsBackward(aSearchAction);
  const bool exact = aSearchAction == skaEqualFirst || aSearchAction == skaEqualLast;
  TnxBaseIndexPath& path = *stcIndexPath;
  if (stcIndexEngine->FindKey(ActiveTrans(), stcKeyBuffer, aFieldCount, aPartialLen, 0, path, aSearchAction,
                              sbcKeyFilter.get())) {
    stcApplyRange();
    if (path.IsOnKey()) {
      if (backward)
        path.SetToCrackAfter();
      else
        path.SetToCrackBefore();
      return 0;
    }
  } else if (backward) {
    path.SetToBof();
  } else {
    path.SetToEof();
  }
  return exact ? EnxBaseException::nxSetMessage(nxeRecordNotFound, u"Could not find record.") : 0;
}

// ---- another cursor's position ----

uint32_t TnxServerTableCursor::sbcSetToCursor(TnxAbstractCursor* aCursor) {
  auto* other = dynamic_cast<TnxServerTableCursor*>(aCursor);
  if (!other || !other->stcIndexPath)
    return EnxBaseException::nxSetMessage(nxeInvalidHandle, u"Invalid handle to the function.");
  if (other->stcTable != stcTable)
    return EnxBaseException::nxSetMessage(nxeDifferentTable, u"Cannot set cursor of one table to another.");
  if (other->SessionLock() != SessionLock())
    return EnxBaseException::nxSetMessage(nxeDifferentSessions, u"Objects are not owned by the same session.");
  if (other->stcIndexEngine == stcIndexEngine) {
    stcIndexPath->Assign(other->stcIndexPath.get());
  } else {
    if (uint32_t result = other->sbcRecordGet(nxltNoLock, sbcRecordBuffer)) return result;
    uint32_t result = stcIndexPath->SetToRecord(sbcRecordBuffer, other->stcIndexPath->RefNr);
    if (result == 1) result = EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record.");
    if (result != 0) return result;
  }
  stcApplyRange();
  return 0;
}

// ---- bookmarks ----

uint32_t TnxServerTableCursor::sbcGetBookmarkSize(uint32_t& aSize) {
  aSize = stcIndexPath ? stcIndexPath->BookmarkSize() : nxBookmarkOverhead;
  return 0;
}

uint32_t TnxServerTableCursor::sbcGetBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  if (!stcIndexPath) return BadBookmark();
  return stcIndexPath->GetBookmark(static_cast<uint8_t*>(aBookmark), aSize, false);
}

uint32_t TnxServerTableCursor::sbcGetBookmarkCache(PnxBookmarkBuffer aBookmark, uint32_t aSize) {
  if (!IsCache() || !stcIndexPath) return TnxServerBaseCursor::sbcGetBookmarkCache(aBookmark, aSize);
  return stcIndexPath->GetBookmark(static_cast<uint8_t*>(aBookmark), aSize, true);
}

// The path's check reads the bookmark's header before it looks at the
// size: a buffer shorter than the header is refused here.
uint32_t TnxServerTableCursor::sbcCompareBookmarks(PnxBookmarkBuffer aBookmark1, PnxBookmarkBuffer aBookmark2,
                                                   uint32_t aSize, TValueRelationship& aCompResult) {
  aCompResult = 0;
  if (!stcIndexPath || !aBookmark1 || !aBookmark2 || aSize < nxBookmarkOverhead) return BadBookmark();
  int result = 0;
  const uint32_t code = stcIndexPath->CompareBookmarks(static_cast<const uint8_t*>(aBookmark1),
                                                       static_cast<const uint8_t*>(aBookmark2), aSize, result);
  aCompResult = Sign(result);
  return code == nxeBookmarkMismatch ? BadBookmark() : code;
}

uint32_t TnxServerTableCursor::sbcSetToBookmark(PnxBookmarkBuffer aBookmark, uint32_t aSize, bool aIsCache) {
  if (!stcIndexPath || !aBookmark || aSize < nxBookmarkOverhead) return BadBookmark();
  const uint32_t result = stcIndexPath->SetToBookmark(static_cast<const uint8_t*>(aBookmark), aSize, aIsCache);
  if (result != 0) return result == nxeBookmarkMismatch ? BadBookmark() : result;
  stcApplyRange();
  return 0;
}

uint32_t TnxServerTableCursor::sbcBookmarkAsVariant(PnxBookmarkBuffer aBookmark, uint32_t aSize,
                                                    platform::TnxVariant& aVariant) {
  aVariant = platform::TnxVariant();
  if (!stcIndexPath || !aBookmark || aSize < nxBookmarkOverhead) return BadBookmark();
  const uint32_t result = stcIndexPath->BookmarkAsVariant(static_cast<const uint8_t*>(aBookmark), aSize, aVariant);
  return result == nxeBookmarkMismatch ? BadBookmark() : result;
}

// ---- record numbers ----

uint32_t TnxServerTableCursor::sbcRecNoGet(uint32_t& aRecNo, bool aFlipOrder) {
  aRecNo = 0;
  if (stcIndexEngine)
    return stcIndexEngine->RecNoGet(ActiveTrans(), *stcIndexPath, stcRangeStart, stcRangeEnd, sbcFilter.get(),
                                    sbcKeyFilter.get(), aRecNo, aFlipOrder);
  TnxBaseRecordEngine* records = stcTable ? stcTable->RecordEngine() : nullptr;
  if (!records) return EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record.");
  return records->RecNoGet(ActiveTrans(), stcIndexPath->RefNr, sbcFilter.get(), aRecNo, aFlipOrder);
}

uint32_t TnxServerTableCursor::sbcRecNoSet(uint32_t aRecNo, bool aFlipOrder) {
  if (stcIndexEngine)
    return stcIndexEngine->RecNoSet(ActiveTrans(), aRecNo, *stcIndexPath, stcRangeStart, stcRangeEnd,
                                    sbcFilter.get(), sbcKeyFilter.get(), aFlipOrder);
  TnxBaseRecordEngine* records = stcTable ? stcTable->RecordEngine() : nullptr;
  if (!records) return EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record.");
  TnxRefNr refNr = 0;
  const uint32_t result = records->RecNoSet(ActiveTrans(), aRecNo, refNr, sbcFilter.get(), aFlipOrder);
  if (result == 0)
    stcIndexPath->SetToRecord(nullptr, refNr);
  else if (result == nxeAtBeginningOfTable)
    stcIndexPath->SetToBof();
  else if (result == nxeAtEndOfTable)
    stcIndexPath->SetToEof();
  return result;
}

// ---- filter positioning ----

uint32_t TnxServerTableCursor::sbcSetToFilter(TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                              bool aForward) {
  try {
    TnxSharedContentLock lock(*this);
    if (lock.Result() != 0) return lock.Result();
    TnxSetToFilterCookie cookie{aFilter, aKeyFilter};
    const bool refKeys =
        stcIndexEngine && dynamic_cast<const TnxRefKeyEngine*>(&stcIndexEngine->KeyEngine()) != nullptr;
    TnxBaseIndexPath& path = *stcIndexPath;
    PnxRecordBuffer data = sbcRecordBuffer;
    if (!stcIndexEngine || refKeys) {
      TnxBaseRecordEngine* records = stcTable ? stcTable->RecordEngine() : nullptr;
      if (!records) return EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record.");
      path.SetToRecord(nullptr, 0);
      TnxRefNr refNr = 0;
      if (aForward)
        records->Iterate(ActiveTrans(), refNr, &data, &sbcSetToFilterRecIterator, &cookie, sbcFilter.get(), false,
                         false);
      else
        records->IterateBackward(ActiveTrans(), refNr, &data, &sbcSetToFilterRecIterator, &cookie, sbcFilter.get(),
                                 false, false);
      if (refNr == 0) {
        path.SetToEof();
      } else {
        // Record order has no key to check: the record itself is the place.
        path.SetToRecord(nullptr, refNr);
        if (refKeys) stcValidatePath();
      }
    } else {
      if (aForward)
        stcIndexEngine->Iterate(ActiveTrans(), &path, &data, &sbcSetToFilterKeyIterator, &sbcSetToFilterRecIterator,
                                &cookie, stcRangeStart, stcRangeEnd, sbcFilter.get(), sbcKeyFilter.get(), false);
      else
        stcIndexEngine->IterateBackward(ActiveTrans(), &path, &data, &sbcSetToFilterKeyIterator,
                                        &sbcSetToFilterRecIterator, &cookie, stcRangeStart, stcRangeEnd,
                                        sbcFilter.get(), sbcKeyFilter.get(), false);
    }
    return path.IsOnKey() ? 0 : EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record.");
  } catch (const std::exception& e) {
    return asoConvertException(e);
  }
}

// ---- saved positions ----

uint32_t TnxServerTableCursor::SavePath() {
  if (!stcSavePath) stcSavePath = std::exchange(stcTempPath, nullptr);
  if (stcSavePath && stcSavePath->IndexEngine() == stcIndexPath->IndexEngine())
    stcSavePath->Assign(stcIndexPath.get());
  else
    stcSavePath = stcIndexPath->Duplicate();
  return 0;
}

uint32_t TnxServerTableCursor::RestorePath() {
  if (!stcSavePath) return EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record.");
  stcTempPath = std::exchange(stcIndexPath, std::exchange(stcSavePath, nullptr));
  return 0;
}

// ---- keys ----

uint32_t TnxServerTableCursor::BuildKey(PnxRecordBuffer aData, PnxKeyBuffer aKey, bool aIgnoreFilter) {
  if (!stcIndexEngine) return NoIndex();
  if (!aData || !aKey) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No record or key given");
  return stcIndexEngine->KeyEngine().BuildKey(aData, reinterpret_cast<uint8_t*>(aKey), 0, aIgnoreFilter);
}

uint32_t TnxServerTableCursor::KeyToRecord(PnxKeyBuffer aKey, PnxRecordBuffer aData) {
  if (!stcIndexEngine) return NoIndex();
  if (!aData || !aKey) return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No record or key given");
  return stcIndexEngine->KeyEngine().KeyToRecord(reinterpret_cast<const uint8_t*>(aKey), aData);
}

uint32_t TnxServerTableCursor::sbcCompareKeys(int32_t aFieldCount, int32_t aPartialLen, bool aDirectKey1,
                                              PnxKeyOrRecordBuffer aKeyData1, bool aDirectKey2,
                                              PnxKeyOrRecordBuffer aKeyData2, TValueRelationship& aResult) {
  aResult = 0;
  if (!stcIndexEngine) return NoIndex();
  if (uint32_t result = stcCheckKeyArgs(aFieldCount, aPartialLen)) return result;
  if (!aKeyData1 || !aKeyData2)
    return EnxBaseException::nxSetMessage(nxeInvalidParameter, u"No key or record given");
  const TnxBaseKeyEngine& keys = stcIndexEngine->KeyEngine();
  // Client keys are copied: a key engine reads whole fields, never past
  // the key length it copies.
  TTempKey key1(&keys), key2(&keys);
  if (uint32_t result = stcKeyFromClient(aDirectKey1, aKeyData1, key1.Get())) return result;
  if (uint32_t result = stcKeyFromClient(aDirectKey2, aKeyData2, key2.Get())) return result;
  aResult = Sign(keys.CompareKey(key1.Get(), key2.Get(), aFieldCount, aPartialLen));
  return 0;
}

// ---- record by number (SQL side) ----

void TnxServerTableCursor::sacSetRefNr(TnxRefNr aRefNr) {
  if (stcIndexPath) stcIndexPath->SetToRecord(nullptr, aRefNr);
}

TnxRefNr TnxServerTableCursor::sacGetRefNr() { return stcIndexPath ? stcIndexPath->RefNr : 0; }

uint32_t TnxServerTableCursor::sacGetRecordByID(TnxRefNr aRefNr, PnxRecordBuffer aRecordBuffer) {
  if (!stcIndexPath) return EnxBaseException::nxSetMessage(nxeNoCurrentRecord, u"No current record.");
  const uint32_t result = stcIndexPath->SetToRecord(nullptr, aRefNr);
  if (result == 0 && aRecordBuffer) sbcRecordGet(nxltNoLock, aRecordBuffer);
  return result;
}

bool TnxServerTableCursor::sacHasKey(int32_t aIndex, const platform::TnxVariant& aValue) {
  if (!stcIndexEngine) return false;
  try {
    SetFieldAsVariantSelf(sbcRecordBuffer, aIndex, aValue);
  } catch (const std::exception&) {
    return false;
  }
  if (stcIndexEngine->KeyEngine().BuildKey(sbcRecordBuffer, stcKeyBuffer, 0, true) != 0) return false;
  TnxSharedContentLock lock(*this);
  if (lock.Result() != 0) return false;
  return stcIndexEngine->FindKey(ActiveTrans(), stcKeyBuffer, 1, 0, 0, *stcIndexPath, skaAnyEqual, nullptr);
}

// ---- key fields source ----

const InxFieldsSource* TnxServerTableCursor::sbcGetKeyFieldsSource() {
  if (!stcKeyFieldsSource) stcKeyFieldsSource = std::make_unique<TnxKeyFieldsSource>(*this);
  return stcKeyFieldsSource.get();
}

}  // namespace revurov
