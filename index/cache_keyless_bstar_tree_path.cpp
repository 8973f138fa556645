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

TnxRefNr TnxCacheKeylessBstarTreeIndexPath::CacheRefNrForRef(TnxRefNr aRefNr) {
  KeyForRef(false, aRefNr);
  return bpipCache->GetNodeForRef(aRefNr, true)->cnCacheKeyRef;
}

}  // namespace revurov
