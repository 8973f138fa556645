#include "index/index_path.h"

#include <cstring>
#include <iterator>

#include "dictionary/engine_records.h"
#include "index/index_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/strings/utils_text.h"
#include "platform/endian.h"

namespace revurov {

using L = TnxBookmarkLayout;

TnxBaseIndexPath::TnxBaseIndexPath(TnxBaseIndexEngine* aIndexEngine) : bipIndexEngine(aIndexEngine) {
  if (bipIndexEngine) Key = bipIndexEngine->KeyEngine().AllocKey();
}

TnxBaseIndexPath::~TnxBaseIndexPath() {
  if (Key) bipIndexEngine->KeyEngine().FreeKey(Key);
}

std::unique_ptr<TnxBaseIndexPath> TnxBaseIndexPath::CreateStandalone() {
  return std::make_unique<TnxBaseIndexPath>(nullptr);
}

std::unique_ptr<TnxBaseIndexPath> TnxBaseIndexPath::NewPath(TnxBaseIndexEngine* aIndexEngine) const {
  return std::make_unique<TnxBaseIndexPath>(aIndexEngine);
}

std::unique_ptr<TnxBaseIndexPath> TnxBaseIndexPath::Duplicate() const {
  std::unique_ptr<TnxBaseIndexPath> path = NewPath(bipIndexEngine);
  path->Assign(this);
  return path;
}

const TnxBaseKeyEngine* TnxBaseIndexPath::KeyEngine() const noexcept {
  return bipIndexEngine ? &bipIndexEngine->KeyEngine() : nullptr;
}

const TnxBookmarkHandler& TnxBaseIndexPath::Handler() const noexcept {
  static const TnxBookmarkHandler standalone(-1, nullptr);
  return bipIndexEngine ? bipIndexEngine->BookmarkHandler() : standalone;
}

void TnxBaseIndexPath::Assign(const TnxPersistent* aSource) {
  if (aSource == this) return;
  const auto* source = dynamic_cast<const TnxBaseIndexPath*>(aSource);
  if (!source || source->bipIndexEngine != bipIndexEngine) return TnxPersistent::Assign(aSource);
  Clear();
  RefNr = source->RefNr;
  CacheRefNr = source->CacheRefNr;
  Position = source->Position;
  KeyValid = source->KeyValid;
  if (KeyValid && bipIndexEngine) bipIndexEngine->KeyEngine().CopyKey(source->Key, Key);
  Deleted = source->Deleted;
}

void TnxBaseIndexPath::GetExceptionData(InxExceptionDataContainer& aContainer, bool aFlag) {
  static constexpr std::u16string_view kPositions[] = {u"ippUnknown",       u"ippBof", u"ippOnCrackBefore",
                                                       u"ippOnCrackAfter", u"ippOnKey", u"ippEof"};
  TnxPersistent::GetExceptionData(aContainer, aFlag);
  aContainer.AddObject(u"IndexEngine", bipIndexEngine, aFlag);
  aContainer.AddInteger(u"RefNr", RefNr);
  aContainer.AddInteger(u"CacheRefNr", CacheRefNr);
  aContainer.AddBoolean(u"KeyValid", KeyValid);
  if (KeyValid && bipIndexEngine) {
    TnxExceptionDataRef key = aContainer.AddContainer(u"Key");
    bipIndexEngine->KeyEngine().KeyAsExceptionData(Key, *key);
  }
  const auto position = static_cast<size_t>(Position);
  aContainer.AddString(u"Position", position < std::size(kPositions) ? std::u16string(kPositions[position]) : u"?");
  aContainer.AddBoolean(u"Deleted", Deleted);
}

void TnxBaseIndexPath::Clear() {
  RefNr = 0;
  CacheRefNr = 0;
  KeyValid = false;
  Position = ippUnknown;
  Deleted = false;
}

void TnxBaseIndexPath::SetToEof() {
  Clear();
  Position = ippEof;
}

void TnxBaseIndexPath::SetToBof() {
  Clear();
  Position = ippBof;
}

void TnxBaseIndexPath::SetToCrackBefore() {
  if (!IsOnCrack() && !IsOnKey()) return;
  Position = ippOnCrackBefore;
  Deleted = false;
}

void TnxBaseIndexPath::SetToCrackAfter() {
  if (!IsOnCrack() && !IsOnKey()) return;
  Position = ippOnCrackAfter;
  Deleted = false;
}

void TnxBaseIndexPath::SetToDeleted() {
  if (!IsOnKey()) return;
  Position = ippOnCrackBefore;
  Deleted = true;
}

uint32_t TnxBaseIndexPath::SetToRecord(const uint8_t* aRecord, TnxRefNr aRefNr) {
  Clear();
  uint32_t r = 0;
  if (bipIndexEngine) {
    r = bipIndexEngine->KeyEngine().BuildKey(aRecord, Key, aRefNr, true);
    KeyValid = r == 0;
    if (r == nxeInvalidParameter && !aRecord) r = 0;
    const int32_t offset = bipIndexEngine->IndicesEngine().RefNrOffset();
    if (aRecord && offset >= 0) CacheRefNr = static_cast<TnxRefNr>(platform::LoadU64(aRecord + offset));
  }
  if (r == 0) {
    RefNr = aRefNr;
    Position = ippOnKey;
  }
  return r;
}

uint32_t TnxBaseIndexPath::CheckCurrentState() const noexcept {
  if (Deleted) return nxeRecordDeleted;
  switch (Position) {
    case ippBof: return nxeAtBeginningOfTable;
    case ippOnKey: return 0;
    case ippEof: return nxeAtEndOfTable;
    default: return nxeNoCurrentRecord;
  }
}

uint32_t TnxBaseIndexPath::GetBookmark(uint8_t* aBookmark, uint32_t aSize, bool aIsCache) const {
  const TnxBaseKeyEngine* keys = KeyEngine();
  const uint32_t keyLen = keys ? keys->KeyLength() : 0;
  if (!aBookmark || aSize < L::bmKey + keyLen) return nxeInvalidParameter;
  std::memset(aBookmark, 0, L::bmKey);
  platform::StoreU32(aBookmark + L::bmIndexID,
                     static_cast<uint32_t>(bipIndexEngine ? bipIndexEngine->IndexNumber() : -1));
  aBookmark[L::bmPos] = Position;
  aBookmark[L::bmKeyValid] = KeyValid;
  aBookmark[L::bmDeleted] = Deleted;
  platform::StoreU64(aBookmark + L::bmRefNr, static_cast<uint64_t>(aIsCache ? CacheRefNr : RefNr));
  platform::StoreU32(aBookmark + L::bmKeyLen, keyLen);
  if (keys) {
    if (KeyValid)
      keys->CopyKey(Key, aBookmark + L::bmKey);
    else
      keys->ClearKey(aBookmark + L::bmKey);
  }
  platform::StoreU32(aBookmark + L::bmHash, nxHashElf(aBookmark + L::bmIndexID, keyLen + 20));
  return 0;
}

uint32_t TnxBaseIndexPath::CheckBookmark(const uint8_t* aBookmark, uint32_t aSize) const noexcept {
  return Handler().CheckBookmark(aBookmark, aSize);
}

uint32_t TnxBaseIndexPath::CompareBookmarks(const uint8_t* aBookmark1, const uint8_t* aBookmark2, uint32_t aSize,
                                            int& aCompResult) const noexcept {
  return Handler().CompareBookmarks(aBookmark1, aBookmark2, aSize, aCompResult);
}

uint32_t TnxBaseIndexPath::BookmarkAsVariant(const uint8_t* aBookmark, uint32_t aSize,
                                             platform::TnxVariant& aVariant) const noexcept {
  return Handler().BookmarkAsVariant(aBookmark, aSize, aVariant);
}

uint32_t TnxBaseIndexPath::SetToBookmark(const uint8_t* aBookmark, uint32_t aSize, bool aIsCache) {
  if (uint32_t r = CheckBookmark(aBookmark, aSize)) return r;
  const uint8_t pos = aBookmark[L::bmPos];
  // A hash is no signature: a client can make any byte pass it.
  if (pos > ippEof) return nxeBookmarkMismatch;
  const auto refNr = static_cast<TnxRefNr>(platform::LoadU64(aBookmark + L::bmRefNr));
  const bool deleted = aBookmark[L::bmDeleted] != 0;
  const bool keyValid = aBookmark[L::bmKeyValid] != 0;
  const TnxBaseKeyEngine* keys = KeyEngine();
  if (keys && Position == pos && (aIsCache ? CacheRefNr : RefNr) == refNr && Deleted == deleted) {
    if (!KeyValid) {
      if (keyValid) {
        keys->CopyKey(aBookmark + L::bmKey, Key);
        KeyValid = true;
      }
      return 0;
    }
    if (!keyValid || keys->CompareKey(Key, aBookmark + L::bmKey, 0, 0) == 0) return 0;
  }
  Clear();
  Position = static_cast<TnxIndexPathPosition>(pos);
  if (aIsCache)
    CacheRefNr = refNr;
  else
    RefNr = refNr;
  Deleted = deleted;
  KeyValid = keyValid && keys;
  if (keys) {
    if (KeyValid)
      keys->CopyKey(aBookmark + L::bmKey, Key);
    else
      keys->ClearKey(Key);
  }
  return 0;
}

}  // namespace revurov
