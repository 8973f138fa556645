#include "index/keyless_bstar_tree.h"

#include <string>

#include "dictionary/indices_descriptors.h"
#include "dictionary/key_engine.h"
#include "dictionary/table_descriptors.h"
#include "index/bstar_node.h"
#include "index/bulk_build_keyless.h"
#include "index/keyless_bstar_tree_path.h"
#include "index/keyless_key_cache.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

using platform::LoadU64;
using namespace bstar_node;

namespace {

std::u16string TableClassOf(TnxBaseIndicesDescriptor& aDescriptor) {
  for (TnxDictionaryItem* item = aDescriptor.ParentItem(); item; item = item->ParentItem())
    if (auto* table = dynamic_cast<TnxBaseTableDescriptor*>(item)) return std::u16string(table->ClassName());
  return u"";
}

int Sign(int aValue) { return aValue < 0 ? -1 : (aValue > 0 ? 1 : 0); }

}  // namespace

TnxRefNr TnxKeylessBstarTreeIndexEngine::SlotRefNr(const uint8_t* aNode, bool aLeaf, uint32_t aSlot) const noexcept {
  return static_cast<TnxRefNr>(
      LoadU64(aNode + (aLeaf ? ieLeafNodeKeyOffset[aSlot] : ieInternalNodeKeyOffset[aSlot])));
}

// The key cache of one operation's path, open while the operation runs and
// emptied when it ends, however it ends. Without a path of this engine the
// engine's own path serves, or a fresh one when that is busy.
class TnxKeylessBstarTreeIndexEngine::TKeyCacheUse {
public:
  TKeyCacheUse(TnxKeylessBstarTreeIndexEngine& aEngine, TnxBaseIndexPath* aPath, TnxBaseTransaction* aTrans,
               bool aWalk)
      : kuEngine(aEngine), kuSavedPath(aEngine.ieCachePath), kuSavedWalk(aEngine.ieWalk) {
    TnxKeylessBstarTreeIndexPath* path = nullptr;
    if (aPath && aPath->IndexEngine() == &aEngine) path = dynamic_cast<TnxKeylessBstarTreeIndexPath*>(aPath);
    if (!path) {
      if (!aEngine.ieOwnPath) aEngine.ieOwnPath = NewPath(aEngine);
      if (aEngine.ieOwnPath->KeyCacheDepth() == 0) {
        path = aEngine.ieOwnPath.get();
      } else {
        kuTemp = NewPath(aEngine);
        path = kuTemp.get();
      }
    }
    path->BeginKeyCache(aTrans);
    kuPath = path;
    aEngine.ieCachePath = path;
    aEngine.ieWalk = aWalk;
  }
  ~TKeyCacheUse() {
    kuPath->EndKeyCache();
    kuEngine.ieCachePath = kuSavedPath;
    kuEngine.ieWalk = kuSavedWalk;
  }
  TKeyCacheUse(const TKeyCacheUse&) = delete;
  // A path of the engine's own class.
  static std::unique_ptr<TnxKeylessBstarTreeIndexPath> NewPath(TnxKeylessBstarTreeIndexEngine& aEngine) {
    return std::unique_ptr<TnxKeylessBstarTreeIndexPath>(
        static_cast<TnxKeylessBstarTreeIndexPath*>(aEngine.CreateIndexPath().release()));
  }
  TKeyCacheUse& operator=(const TKeyCacheUse&) = delete;

private:
  TnxKeylessBstarTreeIndexEngine& kuEngine;
  TnxKeylessBstarTreeIndexPath* kuSavedPath;
  bool kuSavedWalk;
  std::unique_ptr<TnxKeylessBstarTreeIndexPath> kuTemp;
  TnxKeylessBstarTreeIndexPath* kuPath = nullptr;
};

TnxKeylessBstarTreeIndexEngine::TnxKeylessBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs)
    : TnxStaticKeyBstarTreeIndexEngine(aArgs, true) {
  if (!ieRecordEngine)
    throw EnxKeylessBstarTreeIndexEngineException(nxeCapabilityNotSupported, u"%s requires a RecordEngine",
                                                  {std::u16string(ClassName())});
  if (IndicesEngine().IsCache())
    throw EnxKeylessBstarTreeIndexEngineException(nxeCapabilityNotSupported, u"%s is not supported for cache tables",
                                                  {TableClassOf(IndicesEngine().Descriptor())});
}

TnxKeylessBstarTreeIndexEngine::TnxKeylessBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs, TForCacheTables)
    : TnxStaticKeyBstarTreeIndexEngine(aArgs, true) {}

TnxKeylessBstarTreeIndexEngine::~TnxKeylessBstarTreeIndexEngine() = default;

void TnxKeylessBstarTreeIndexEngine::RaiseKeyNotBuilt(uint32_t aCode, TnxRefNr aRefNr) const {
  throw EnxKeylessBstarTreeIndexEngineException(aCode, u"The key of record %d cannot be built", {aRefNr});
}

void TnxKeylessBstarTreeIndexEngine::CheckValidFromDescriptor(TnxDictionaryItem& /*aDescriptor*/) {}

// ---- entry keys ----

int TnxKeylessBstarTreeIndexEngine::CompareEntryRefs(TnxRefNr aSearch, TnxRefNr aEntry) const {
  return aSearch < aEntry ? -1 : (aSearch > aEntry ? 1 : 0);
}

TnxKeylessBstarTreeIndexPath& TnxKeylessBstarTreeIndexEngine::CachePath() const {
  if (!ieCachePath)
    throw EnxKeylessBstarTreeIndexEngineException(nxeInvalidParameter, u"An entry key is needed outside an operation");
  return *ieCachePath;
}

bool TnxKeylessBstarTreeIndexEngine::InFlight(TnxRefNr aRefNr) const noexcept {
  const TnxBaseIndicesEngine& indices = IndicesEngine();
  return indices.CurrentKey() && indices.CurrentRefNr() == aRefNr && ieCachePath &&
         indices.CurrentTrans() == ieCachePath->KeyCacheTrans();
}

int TnxKeylessBstarTreeIndexEngine::CompareKeyToEntry(const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen,
                                                      TnxRefNr aRefNr) const {
  if (InFlight(aRefNr))
    return Sign(KeyEngine().CompareKey(aKey, IndicesEngine().CurrentKey(), aFieldCount, aPartialLen));
  if (aFieldCount == 0 && aPartialLen == 0) return CachePath().CompareKeyToRef(aKey, aRefNr);
  return CachePath().CompareKeyToRefPartial(aKey, aFieldCount, aPartialLen, aRefNr);
}

int TnxKeylessBstarTreeIndexEngine::CompareToEntryByRef(const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen,
                                                        TnxRefNr aRefNr, TnxRefNr aSearchRef) const {
  const int c = CompareKeyToEntry(aKey, aFieldCount, aPartialLen, aRefNr);
  return c != 0 ? c : CompareEntryRefs(aSearchRef, aRefNr);
}

const uint8_t* TnxKeylessBstarTreeIndexEngine::EntryKey(bool aDontCreate, TnxRefNr aRefNr) const {
  if (InFlight(aRefNr)) return IndicesEngine().CurrentKey();
  return CachePath().KeyForRef(aDontCreate, aRefNr);
}

void TnxKeylessBstarTreeIndexEngine::CopyEntryKey(TnxRefNr aRefNr, uint8_t* aKey) const {
  if (InFlight(aRefNr)) return KeyEngine().CopyKey(IndicesEngine().CurrentKey(), aKey);
  CachePath().CopyKeyForRef(aKey, aRefNr);
}

// ---- node hooks ----

bool TnxKeylessBstarTreeIndexEngine::SearchNode(const uint8_t* aNode, TSearch aSearch, uint32_t& aSlot) const {
  const bool leaf = Kind(aNode) == nxnkLeaf;
  const uint8_t* search = ieSearchKey.data();
  const auto searchRef = static_cast<TnxRefNr>(LoadU64(search + ieDescKeyLength));
  const int64_t lo = leaf ? First(aNode) : 0;
  return SearchSlots(lo, lo + Count(aNode) - 1, TEqualGoes::Stop, [&](uint32_t aAt) {
    const TnxRefNr ref = SlotRefNr(aNode, leaf, aAt);
    if (aSearch == TSearch::ByKeyAndRef) return CompareToEntryByRef(search, 0, 0, ref, searchRef);
    int c = CompareKeyToEntry(search, 0, 0, ref);
    if (c == 0 && aSearch != TSearch::ByKey &&
        !(aSearch == TSearch::NullOnly && !KeyEngine().KeyContainsNulls(EntryKey(true, ref))))
      c = CompareEntryRefs(searchRef, ref);
    return c;
  }, aSlot);
}

bool TnxKeylessBstarTreeIndexEngine::SearchNav(const uint8_t* aNode, const TNavSearch& aSearch,
                                               uint32_t& aSlot) const {
  const bool leaf = Kind(aNode) == nxnkLeaf;
  const int64_t lo = leaf ? First(aNode) : 0;
  return SearchSlots(lo, lo + Count(aNode) - 1, aSearch.Goes(), [&](uint32_t aAt) {
    const TnxRefNr ref = SlotRefNr(aNode, leaf, aAt);
    if (aSearch.Mode == TNavSearch::TMode::ByKeyAndRef)
      return CompareToEntryByRef(aSearch.Key, aSearch.FieldCount, aSearch.PartialLen, ref, aSearch.RefNr);
    return CompareKeyToEntry(aSearch.Key, aSearch.FieldCount, aSearch.PartialLen, ref);
  }, aSlot);
}

void TnxKeylessBstarTreeIndexEngine::CopySlotKey(TnxBaseIndexPath& aPath, const uint8_t* /*aNode*/,
                                                 uint32_t /*aSlot*/) const {
  if (ieInsertKey && aPath.RefNr == ieInsertRefNr) return KeyEngine().CopyKey(ieInsertKey, aPath.KeyBuffer());
  // A walk needs no key of the entries it has left: one cached key at a
  // time, however long the walk.
  if (ieWalk && CachePath().KeyCache()) CachePath().KeyCache()->Clear();
  CopyEntryKey(aPath.RefNr, aPath.KeyBuffer());
}

void TnxKeylessBstarTreeIndexEngine::WriteLeafSlot(PnxBlock aLeaf, uint32_t aSlot, const uint8_t* /*aKey*/,
                                                   TnxRefNr aRefNr) {
  platform::StoreU64(aLeaf + ieLeafNodeKeyOffset[aSlot], static_cast<uint64_t>(aRefNr));
}

// ---- operations: each inside its path's key cache ----

bool TnxKeylessBstarTreeIndexEngine::InsertKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr,
                                               TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) {
  TKeyCacheUse use(*this, aPath, &aTrans, false);
  struct TInsertKey {
    TnxKeylessBstarTreeIndexEngine& Engine;
    ~TInsertKey() { Engine.ieInsertKey = nullptr; }
  } insertKey{*this};
  ieInsertKey = aKey;
  ieInsertRefNr = aRefNr;
  return TnxStaticKeyBstarTreeIndexEngine::InsertKey(aTrans, aKey, aRefNr, aCacheRefNr, aPath);
}

bool TnxKeylessBstarTreeIndexEngine::DeleteKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr,
                                               TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) {
  TKeyCacheUse use(*this, aPath, &aTrans, false);
  return TnxStaticKeyBstarTreeIndexEngine::DeleteKey(aTrans, aKey, aRefNr, aCacheRefNr, aPath);
}

std::unique_ptr<TnxBaseBulkBuilder> TnxKeylessBstarTreeIndexEngine::CreateBulkBuilder(TnxBaseTransaction& aTrans) {
  return std::make_unique<TnxKeylessBstarTreeIndexBulkBuilder>(aTrans, *this);
}

std::unique_ptr<TnxBaseIndexPath> TnxKeylessBstarTreeIndexEngine::CreateIndexPath() {
  return std::make_unique<TnxKeylessBstarTreeIndexPath>(this);
}

void TnxKeylessBstarTreeIndexEngine::ValidateIndexPath(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath) {
  TKeyCacheUse use(*this, &aPath, aTrans, false);
  TnxStaticKeyBstarTreeIndexEngine::ValidateIndexPath(aTrans, aPath);
}

bool TnxKeylessBstarTreeIndexEngine::FindKey(TnxBaseTransaction* aTrans, const uint8_t* aKey, int32_t aFieldCount,
                                             int32_t aPartialLen, TnxRefNr aRefNr, TnxBaseIndexPath& aPath,
                                             TnxSearchKeyAction aAction, TnxBaseFilterEngine* aKeyFilter) {
  TKeyCacheUse use(*this, &aPath, aTrans, false);
  return TnxStaticKeyBstarTreeIndexEngine::FindKey(aTrans, aKey, aFieldCount, aPartialLen, aRefNr, aPath, aAction,
                                                   aKeyFilter);
}

bool TnxKeylessBstarTreeIndexEngine::NextKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath,
                                             TnxBaseFilterEngine* aKeyFilter) {
  TKeyCacheUse use(*this, &aPath, aTrans, true);
  return TnxStaticKeyBstarTreeIndexEngine::NextKey(aTrans, aPath, aKeyFilter);
}

bool TnxKeylessBstarTreeIndexEngine::PrevKey(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath,
                                             TnxBaseFilterEngine* aKeyFilter) {
  TKeyCacheUse use(*this, &aPath, aTrans, true);
  return TnxStaticKeyBstarTreeIndexEngine::PrevKey(aTrans, aPath, aKeyFilter);
}

void TnxKeylessBstarTreeIndexEngine::Iterate(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                             PnxRecordBuffer* aData, const TnxIndexKeyIterator& aKeyIterator,
                                             const TnxStorageRecordIterator& aRecIterator, void* aCookie,
                                             const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                             TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                             bool aKeepPosition) {
  TKeyCacheUse use(*this, aPath, aTrans, true);
  TnxStaticKeyBstarTreeIndexEngine::Iterate(aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie, aRangeStart,
                                            aRangeEnd, aFilter, aKeyFilter, aKeepPosition);
}

void TnxKeylessBstarTreeIndexEngine::IterateBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath* aPath,
                                                     PnxRecordBuffer* aData, const TnxIndexKeyIterator& aKeyIterator,
                                                     const TnxStorageRecordIterator& aRecIterator, void* aCookie,
                                                     const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                                     TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                     bool aKeepPosition) {
  TKeyCacheUse use(*this, aPath, aTrans, true);
  TnxStaticKeyBstarTreeIndexEngine::IterateBackward(aTrans, aPath, aData, aKeyIterator, aRecIterator, aCookie,
                                                    aRangeStart, aRangeEnd, aFilter, aKeyFilter, aKeepPosition);
}

uint32_t TnxKeylessBstarTreeIndexEngine::RecNoGet(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath,
                                                  const TnxRangeInfo& aRangeStart, const TnxRangeInfo& aRangeEnd,
                                                  TnxBaseFilterEngine* aFilter, TnxBaseFilterEngine* aKeyFilter,
                                                  uint32_t& aRecNo, bool aFlipOrder) {
  TKeyCacheUse use(*this, &aPath, aTrans, true);
  return TnxStaticKeyBstarTreeIndexEngine::RecNoGet(aTrans, aPath, aRangeStart, aRangeEnd, aFilter, aKeyFilter,
                                                    aRecNo, aFlipOrder);
}

uint32_t TnxKeylessBstarTreeIndexEngine::RecNoSet(TnxBaseTransaction* aTrans, uint32_t aRecNo,
                                                  TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                                                  const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                                                  TnxBaseFilterEngine* aKeyFilter, bool aFlipOrder) {
  TKeyCacheUse use(*this, &aPath, aTrans, true);
  return TnxStaticKeyBstarTreeIndexEngine::RecNoSet(aTrans, aRecNo, aPath, aRangeStart, aRangeEnd, aFilter,
                                                    aKeyFilter, aFlipOrder);
}

uint32_t TnxKeylessBstarTreeIndexEngine::RecNoGetBackward(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath,
                                                          const TnxRangeInfo& aRangeStart,
                                                          const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                                                          TnxBaseFilterEngine* aKeyFilter, uint32_t& aRecNo) {
  return RecNoGet(aTrans, aPath, aRangeStart, aRangeEnd, aFilter, aKeyFilter, aRecNo, true);
}

uint32_t TnxKeylessBstarTreeIndexEngine::RecNoSetBackward(TnxBaseTransaction* aTrans, uint32_t aRecNo,
                                                          TnxBaseIndexPath& aPath, const TnxRangeInfo& aRangeStart,
                                                          const TnxRangeInfo& aRangeEnd, TnxBaseFilterEngine* aFilter,
                                                          TnxBaseFilterEngine* aKeyFilter) {
  return RecNoSet(aTrans, aRecNo, aPath, aRangeStart, aRangeEnd, aFilter, aKeyFilter, true);
}

uint32_t TnxKeylessBstarTreeIndexEngine::EstimateRecordCount(TnxBaseTransaction* aTrans,
                                                             const TnxRangeInfo& aRangeStart,
                                                             const TnxRangeInfo& aRangeEnd, uint32_t& aRecordCount,
                                                             bool aFlipOrder) {
  TKeyCacheUse use(*this, nullptr, aTrans, false);
  return TnxStaticKeyBstarTreeIndexEngine::EstimateRecordCount(aTrans, aRangeStart, aRangeEnd, aRecordCount,
                                                               aFlipOrder);
}

TnxRefNr TnxKeylessBstarTreeIndexEngine::SeqAccessLookup(TnxBaseTransaction* /*aTrans*/, TnxRefNr /*aCacheRefNr*/,
                                                         TnxBaseIndexPath* /*aPath*/) {
  return 0;
}

void nxKeylessBstarTreeStartup() {
  nxCacheNodePool();
  TnxKeylessBstarTreeIndexEngine::ClassInfo().Register(u"KeylessBStarTree");
}

void nxKeylessBstarTreeShutdown() noexcept { TnxKeylessBstarTreeIndexEngine::ClassInfo().Unregister(); }

}  // namespace revurov
