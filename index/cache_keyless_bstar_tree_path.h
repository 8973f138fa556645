// A position in a cache-keyless B*-tree: the keyless path, whose cached
// keys also carry their records' cache RefNrs, and a path of the table's
// sequential access index, used only by the path's own validation.
#pragma once

#include <cstdint>
#include <memory>

#include "index/keyless_bstar_tree_path.h"

namespace revurov {

class TnxCacheKeylessBstarTreeIndexPath : public TnxKeylessBstarTreeIndexPath {
public:
  // aIndexEngine is a TnxCacheKeylessBstarTreeIndexEngine.
  explicit TnxCacheKeylessBstarTreeIndexPath(TnxBaseIndexEngine* aIndexEngine);
  ~TnxCacheKeylessBstarTreeIndexPath() override;
  std::u16string_view ClassName() const noexcept override { return u"TnxCacheKeylessBstarTreeIndexPath"; }

  // The cache RefNr of the record of aRefNr, cached with its key.
  TnxRefNr CacheRefNrForRef(TnxRefNr aRefNr);
  // -1, 0 or 1 for aKey against the key of aRefNr; on 0, aCacheRefNr is
  // the record's cache RefNr, taken from the same read. Caches nothing.
  int CompareKeyToRefTakingCacheRefNr(const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen,
                                      TnxRefNr aRefNr, TnxRefNr& aCacheRefNr);
  TnxBaseIndexPath& SeqAccessPath() const noexcept { return *bpipSeqAccessPath; }

protected:
  void LoadNodeKey(TnxCacheNode& aNode) override;
  std::unique_ptr<TnxBaseIndexPath> NewPath(TnxBaseIndexEngine* aIndexEngine) const override;

private:
  int32_t bpipRefNrOffset;
  std::unique_ptr<TnxBaseIndexPath> bpipSeqAccessPath;
};

}  // namespace revurov
