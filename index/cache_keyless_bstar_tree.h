// The keyless B*-tree for cache tables ("CacheKeylessBstarTree"). Every
// record of a cache table carries a cache RefNr in its RefNr field; nodes
// hold the records' own RefNrs as in the keyless tree, but equal keys are
// ordered by cache RefNr (signed 64-bit), and a path keeps its CacheRefNr
// beside its RefNr.
//
// Contract:
// - Only for cache tables with a RefNr field, a "Sequential Access Index"
//   and a record engine; each missing one is refused with 12289, checked
//   in that order.
// - InsertKey files aRefNr ordered by aCacheRefNr: an equal key with an
//   equal cache RefNr answers false whatever the own RefNr.
// - FindKey searches with cache RefNr 0; a path set on an entry by a
//   search or a step holds the entry's cache RefNr, one set by InsertKey
//   holds 0 until it is next validated.
// - A path holding only a cache RefNr gets its RefNr through the sequential
//   access index and its key from the record when next validated; a cache
//   RefNr the sequential index does not know leaves the path cleared.
#pragma once

#include <cstdint>
#include <memory>

#include "index/keyless_bstar_tree.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxCacheKeylessBstarTreeIndexEngineException, EnxBaseIndexEngineException);

class TnxCacheKeylessBstarTreeIndexEngine : public TnxKeylessBstarTreeIndexEngine {
  REVUROV_REGISTERABLE_RECORD(TnxCacheKeylessBstarTreeIndexEngine, TnxKeylessBstarTreeIndexEngine,
                              TnxSubEngineClass, nullptr, &TnxCacheKeylessBstarTreeIndexEngine::CheckValidFromDescriptor,
                              &nxNewSubEngine<TnxCacheKeylessBstarTreeIndexEngine>)

  explicit TnxCacheKeylessBstarTreeIndexEngine(const TnxSubEngineArgs& aArgs);
  ~TnxCacheKeylessBstarTreeIndexEngine() override;

  bool DeleteKey(TnxBaseTransaction& aTrans, const uint8_t* aKey, TnxRefNr aRefNr, TnxRefNr aCacheRefNr,
                 TnxBaseIndexPath* aPath) override;
  // Key by key, through InsertKey.
  std::unique_ptr<TnxBaseBulkBuilder> CreateBulkBuilder(TnxBaseTransaction& aTrans) override;
  std::unique_ptr<TnxBaseIndexPath> CreateIndexPath() override;
  TnxRefNr SeqAccessLookup(TnxBaseTransaction* aTrans, TnxRefNr aCacheRefNr, TnxBaseIndexPath* aPath) override;

  TnxBaseIndexEngine& SeqIndexEngine() const noexcept { return *ieSeqIndexEngine; }
  int32_t RefNrOffset() const noexcept { return ieRefNrOffset; }

protected:
  int CompareEntryRefs(TnxRefNr aSearch, TnxRefNr aEntry) const override;
  // One record read serves the key and, on a tie, the cache RefNr.
  int CompareToEntryByRef(const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen, TnxRefNr aRefNr,
                          TnxRefNr aSearchRef) const override;
  TnxRefNr TieRef(TnxRefNr aRefNr, TnxRefNr aCacheRefNr) const noexcept override;
  TnxRefNr PathTieRef(const TnxBaseIndexPath& aPath) const noexcept override;
  bool CompletePath(TnxBaseTransaction* aTrans, TnxBaseIndexPath& aPath) override;
  [[noreturn]] void RaiseKeyNotBuilt(uint32_t aCode, TnxRefNr aRefNr) const override;
  void CopySlotKey(TnxBaseIndexPath& aPath, const uint8_t* aNode, uint32_t aSlot) const override;

private:
  // The cache RefNr of an entry under the entry-key rule.
  TnxRefNr EntryCacheRefNr(TnxRefNr aRefNr) const;

  TnxBaseIndexEngine* ieSeqIndexEngine = nullptr;  // not owned
  int32_t ieRefNrOffset = -1;
};

void nxCacheKeylessBstarTreeStartup();
void nxCacheKeylessBstarTreeShutdown() noexcept;

}  // namespace revurov
