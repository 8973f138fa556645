#include "index/cache_keyless_bstar_tree_path.h"

#include "dictionary/key_engine.h"
#include "index/cache_keyless_bstar_tree.h"
#include "index/keyless_key_cache.h"
#include "platform/endian.h"

namespace revurov {

TnxCacheKeylessBstarTreeIndexPath::TnxCacheKeylessBstarTreeIndexPath(TnxBaseIndexEngine* aIndexEngine)
    : TnxKeylessBstarTreeIndexPath(aIndexEngine),
      bpipRefNrOffset(static_cast<TnxCacheKeylessBstarTreeIndexEngine*>(aIndexEngine)->RefNrOffset()),
      bpipSeqAccessPath(static_cast<TnxCacheKeylessBstarTreeIndexEngine*>(aIndexEngine)->SeqIndexEngine()
                            .CreateIndexPath()) {}

TnxCacheKeylessBstarTreeIndexPath::~TnxCacheKeylessBstarTreeIndexPath() = default;

std::unique_ptr<TnxBaseIndexPath> TnxCacheKeylessBstarTreeIndexPath::NewPath(
    TnxBaseIndexEngine* aIndexEngine) const {
  return std::make_unique<TnxCacheKeylessBstarTreeIndexPath>(aIndexEngine);
}

void TnxCacheKeylessBstarTreeIndexPath::LoadNodeKey(TnxCacheNode& aNode) {
  if (!aNode.cnKey) aNode.cnKey = bpipKeyEngine->AllocKey();
  uint8_t* key = aNode.cnKey;
  const TnxRefNr refNr = aNode.cnKeyRef;
  TnxRefNr cacheRefNr = 0;
  ReadEntryRecord(refNr, [&](const uint8_t* aRecord) {
    cacheRefNr = static_cast<TnxRefNr>(platform::LoadU64(aRecord + bpipRefNrOffset));
    return bpipKeyEngine->BuildKey(aRecord, key, refNr, true) == 0;
  });
  aNode.cnCacheKeyRef = cacheRefNr;
}

int TnxCacheKeylessBstarTreeIndexPath::CompareKeyToRefTakingCacheRefNr(const uint8_t* aKey, int32_t aFieldCount,
                                                                       int32_t aPartialLen, TnxRefNr aRefNr,
                                                                       TnxRefNr& aCacheRefNr) {
  int result = 0;
  if (PnxCacheNode node = bpipCache ? bpipCache->GetNodeForRef(aRefNr, true) : nullptr) {
    if (!node->cnKey) LoadNodeKey(*node);
    result = bpipKeyEngine->CompareKey(aKey, node->cnKey, aFieldCount, aPartialLen);
    if (result == 0) aCacheRefNr = node->cnCacheKeyRef;
  } else {
    ReadEntryRecord(aRefNr, [&](const uint8_t* aRecord) {
      result = aFieldCount == 0 && aPartialLen == 0
                   ? bpipKeyEngine->CompareKeyToRecord(aKey, aRecord, aRefNr)
                   : bpipKeyEngine->CompareKeyToRecord(aKey, aRecord, aRefNr, aFieldCount, aPartialLen);
      if (result == 0) aCacheRefNr = static_cast<TnxRefNr>(platform::LoadU64(aRecord + bpipRefNrOffset));
      return true;
    });
  }
  return result < 0 ? -1 : (result > 0 ? 1 : 0);
}

TnxRefNr TnxCacheKeylessBstarTreeIndexPath::CacheRefNrForRef(TnxRefNr aRefNr) {
  KeyForRef(false, aRefNr);
  return bpipCache->GetNodeForRef(aRefNr, true)->cnCacheKeyRef;
}

}  // namespace revurov
