// A position in a keyless B*-tree, and the keys it builds from records
// while one engine operation runs.
//
// Contract:
// - The key operations are valid only between BeginKeyCache and the
//   matching EndKeyCache; they read records as that transaction sees them.
// - A record that yields no key raises 15520 while a key is loaded; while a
//   key is compared against a record, the key engine's own error.
// - The outermost EndKeyCache empties the cache, so no key built for one
//   operation or transaction is seen by the next.
// - Assign copies the position, never the cache.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "index/static_key_bstar_tree_path.h"

namespace revurov {

class TnxBaseRecordEngine;
class TnxBaseTransaction;
class TnxKeylessBstarTreeIndexKeyCache;
struct TnxCacheNode;

class TnxKeylessBstarTreeIndexPath : public TnxStaticKeyBstarTreeIndexPath {
public:
  // aIndexEngine is the keyless engine whose table has a record engine.
  explicit TnxKeylessBstarTreeIndexPath(TnxBaseIndexEngine* aIndexEngine);
  ~TnxKeylessBstarTreeIndexPath() override;
  std::u16string_view ClassName() const noexcept override { return u"TnxKeylessBstarTreeIndexPath"; }

  void BeginKeyCache(TnxBaseTransaction* aTrans);
  void EndKeyCache() noexcept;

  // aKey null: a buffer from the key engine first.
  virtual void LoadKeyForRef(uint8_t*& aKey, TnxRefNr aRefNr);
  // -1, 0 or 1 for aKey against the key of aRefNr; caches nothing.
  virtual int CompareKeyToRef(const uint8_t* aKey, TnxRefNr aRefNr);
  virtual int CompareKeyToRefPartial(const uint8_t* aKey, int32_t aFieldCount, int32_t aPartialLen,
                                     TnxRefNr aRefNr);
  // Without a cache node (aDontCreate), the path's own buffer, valid until
  // the next such call.
  virtual uint8_t* KeyForRef(bool aDontCreate, TnxRefNr aRefNr);
  virtual void CopyKeyForRef(uint8_t* aKey, TnxRefNr aRefNr);

  TnxBaseTransaction* KeyCacheTrans() const noexcept { return bpipTrans; }
  int32_t KeyCacheDepth() const noexcept { return bpipCacheCount; }
  // Null before the first key-cache use.
  TnxKeylessBstarTreeIndexKeyCache* KeyCache() const noexcept { return bpipCache.get(); }

protected:
  // The key of a cache node, built from its record.
  virtual void LoadNodeKey(TnxCacheNode& aNode);
  std::unique_ptr<TnxBaseIndexPath> NewPath(TnxBaseIndexEngine* aIndexEngine) const override;
  // The record of aRefNr as the operation's transaction sees it; rirStop
  // from aIterator raises 15520.
  void ReadEntryRecord(TnxRefNr aRefNr, const std::function<bool(const uint8_t*)>& aIterator);

  uint8_t* bpipTempKey = nullptr;
  int32_t bpipCacheCount = 0;
  std::unique_ptr<TnxKeylessBstarTreeIndexKeyCache> bpipCache;
  TnxBaseTransaction* bpipTrans = nullptr;
  const TnxBaseKeyEngine* bpipKeyEngine;
  TnxBaseRecordEngine* bpipRecordEngine;
};

}  // namespace revurov
