#include "index/cache_keyless_bstar_tree.h"

#include <string>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_engine.h"
#include "dictionary/table_descriptors.h"
#include "index/bulk_build.h"
#include "index/cache_keyless_bstar_tree_path.h"
#include "index/static_key_bstar_tree_path.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace revurov {

namespace {

TnxBaseTableDescriptor* TableOf(TnxBaseIndicesDescriptor& aDescriptor) {
  for (TnxDictionaryItem* item = aDescriptor.ParentItem(); item; item = item->ParentItem())
    if (auto* table = dynamic_cast<TnxBaseTableDescriptor*>(item)) return table;
  return nullptr;
}

[[noreturn]] void Refuse(std::u16string_view aText, std::u16string_view aName) {
  throw EnxCacheKeylessBstarTreeIndexEngineException(nxeCapabilityNotSupported, aText, {std::u16string(aName)});
}

}  // namespace

TnxCacheKeylessBstarTreeIndexEngine::TnxCacheKeylessBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs)
    : TnxKeylessBstarTreeIndexEngine(aArgs, TForCacheTables{}) {
  TnxBaseTableDescriptor* table = TableOf(IndicesEngine().Descriptor());
  const std::u16string tableClass = table ? std::u16string(table->ClassName()) : std::u16string();
  if (!table || table->CachingState() != tcsIsCache) Refuse(u"%s is only supported for cache tables", tableClass);
  int32_t field = -1;
  if (!table->FieldsDescriptor().HasRefNrField(field)) Refuse(u"%s requires a RefNr field", tableClass);
  ieRefNrOffset = table->FieldsDescriptor().FieldDescriptor(field)->Offset();
  ieSeqIndexEngine = IndicesEngine().SeqIndexEngine();
  if (!ieSeqIndexEngine) Refuse(u"%s requires a Sequential Access Index Engine", ClassName());
  if (!ieRecordEngine) Refuse(u"%s requires a RecordEngine", ClassName());
}

TnxCacheKeylessBstarTreeIndexEngine::~TnxCacheKeylessBstarTreeIndexEngine() = default;

void TnxCacheKeylessBstarTreeIndexEngine::RaiseKeyNotBuilt(uint32_t aCode, TnxRefNr aRefNr) const {
  throw EnxCacheKeylessBstarTreeIndexEngineException(aCode, u"The key of record %d cannot be built", {aRefNr});
}

std::unique_ptr<TnxBaseBulkBuilder> TnxCacheKeylessBstarTreeIndexEngine::CreateBulkBuilder(TnxBaseTransaction& aTrans) {
  return TnxBaseIndexEngine::CreateBulkBuilder(aTrans);
}

std::unique_ptr<TnxBaseIndexPath> TnxCacheKeylessBstarTreeIndexEngine::CreateIndexPath() {
  return std::make_unique<TnxCacheKeylessBstarTreeIndexPath>(this);
}

TnxRefNr TnxCacheKeylessBstarTreeIndexEngine::SeqAccessLookup(TnxBaseTransaction* /*aTrans*/,
                                                              TnxRefNr /*aCacheRefNr*/, TnxBaseIndexPath* /*aPath*/) {
  return 0;
}

// ---- ordering by cache RefNr ----

TnxRefNr TnxCacheKeylessBstarTreeIndexEngine::EntryCacheRefNr(TnxRefNr aRefNr) const {
  if (InFlight(aRefNr)) return IndicesEngine().CurrentCacheRefNr();
  return static_cast<TnxCacheKeylessBstarTreeIndexPath&>(CachePath()).CacheRefNrForRef(aRefNr);
}

int TnxCacheKeylessBstarTreeIndexEngine::CompareEntryRefs(TnxRefNr aSearch, TnxRefNr aEntry) const {
  const TnxRefNr entry = EntryCacheRefNr(aEntry);
  return aSearch < entry ? -1 : (aSearch > entry ? 1 : 0);
}

int TnxCacheKeylessBstarTreeIndexEngine::CompareToEntryByRef(const uint8_t* aKey, int32_t aFieldCount,
                                                             int32_t aPartialLen, TnxRefNr aRefNr,
                                                             TnxRefNr aSearchRef) const {
  if (InFlight(aRefNr))
    return TnxKeylessBstarTreeIndexEngine::CompareToEntryByRef(aKey, aFieldCount, aPartialLen, aRefNr, aSearchRef);
  TnxRefNr entry = 0;
  const int c = static_cast<TnxCacheKeylessBstarTreeIndexPath&>(CachePath())
                    .CompareKeyToRefTakingCacheRefNr(aKey, aFieldCount, aPartialLen, aRefNr, entry);
  if (c != 0) return c;
  return aSearchRef < entry ? -1 : (aSearchRef > entry ? 1 : 0);
}

TnxRefNr TnxCacheKeylessBstarTreeIndexEngine::TieRef(TnxRefNr /*aRefNr*/, TnxRefNr aCacheRefNr) const noexcept {
  return aCacheRefNr;
}

TnxRefNr TnxCacheKeylessBstarTreeIndexEngine::PathTieRef(const TnxBaseIndexPath& aPath) const noexcept {
  return aPath.CacheRefNr;
}

void TnxCacheKeylessBstarTreeIndexEngine::CopySlotKey(TnxBaseIndexPath& aPath, const uint8_t* aNode,
                                                      uint32_t aSlot) const {
  TnxKeylessBstarTreeIndexEngine::CopySlotKey(aPath, aNode, aSlot);
  // A path set on the entry being inserted learns its cache RefNr later.
  if (!IsInsertedEntry(aPath.RefNr)) aPath.CacheRefNr = EntryCacheRefNr(aPath.RefNr);
}

// ---- paths ----

bool TnxCacheKeylessBstarTreeIndexEngine::CompletePath(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath) {
  if (aPath.RefNr == 0 && aPath.CacheRefNr != 0) {
    auto& path = static_cast<TnxCacheKeylessBstarTreeIndexPath&>(aPath);
    aPath.RefNr = ieSeqIndexEngine->SeqAccessLookup(aTrans, aPath.CacheRefNr, &path.SeqAccessPath());
    // Unknown to the sequential index: nowhere to stand, rather than on
    // RefNr 0.
    if (aPath.RefNr == 0) {
      aPath.Clear();
      return false;
    }
  }
  if (aPath.RefNr == 0 || aPath.Deleted || (aPath.KeyValid && aPath.CacheRefNr != 0)) return true;
  const bool buildKey = !aPath.KeyValid;
  bool read = false;
  const TnxStorageRecordIterator complete = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
    if (buildKey) {
      const uint32_t r = KeyEngine().BuildKey(aRecord, aPath.KeyBuffer(), aRefNr, true);
      if (r != 0) RaiseKeyNotBuilt(r, aRefNr);
    }
    if (aPath.CacheRefNr == 0) aPath.CacheRefNr = static_cast<TnxRefNr>(platform::LoadU64(aRecord + ieRefNrOffset));
    read = true;
    return rirContinue;
  };
  PnxRecordBuffer slot = nullptr;  // engines that cannot hand over in place fill a buffer of their own
  ieRecordEngine->ReadRecordForIterate(aTrans, aPath.RefNr, &slot, complete, nullptr, nullptr);
  if (read && buildKey) aPath.KeyValid = true;
  return true;
}

bool TnxCacheKeylessBstarTreeIndexEngine::DeleteKey(TnxBaseTransaction& aTrans, const uint8_t* aKey,
                                                    TnxRefNr aRefNr, TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) {
  if (!TnxKeylessBstarTreeIndexEngine::DeleteKey(aTrans, aKey, aRefNr, aCacheRefNr, aPath)) return false;
  // The path keeps the deleted entry's place in the order for its next
  // validation.
  if (aPath && aPath->IndexEngine() == this && aPath->Deleted) aPath->CacheRefNr = aCacheRefNr;
  return true;
}

void nxCacheKeylessBstarTreeStartup() {
  TnxCacheKeylessBstarTreeIndexEngine::ClassInfo().Register(u"CacheKeylessBstarTree");
}

void nxCacheKeylessBstarTreeShutdown() noexcept { TnxCacheKeylessBstarTreeIndexEngine::ClassInfo().Unregister(); }

}  // namespace revurov
