// The keys a keyless B*-tree path has built from records during one engine
// operation, by record reference, so a reference compared again within the
// operation is not read and built twice.
//
// Contract:
// - A red-black tree ordered by the reference as a signed 64-bit number;
//   references are unique, there is no count, no limit and no eviction.
// - Nodes come from one process-wide pool of fixed-size items; keys from the
//   key engine given at construction, which takes them back in Clear.
// - GetNodeForRef with aDontCreate answers null for an unknown reference
//   and changes nothing; otherwise it makes a node with no key yet.
// - Clear returns every node and key; the tree is empty afterwards.
// - One cache belongs to one path and is used by one thread at a time.
#pragma once

#include <cstdint>

#include "dictionary/engine_types.h"
#include "lowlevel/heap/memory_manager.h"

namespace revurov {

class TnxBaseKeyEngine;

struct TnxCacheNode {
  int64_t cnKeyRef;
  int64_t cnCacheKeyRef;  // of a cache table: the record's cache RefNr, with its key
  uint8_t* cnKey;  // from the key engine; null until first needed
  TnxCacheNode* cnParent;
  TnxCacheNode* cnLeft;
  TnxCacheNode* cnRight;
  bool cnIsBlack;
};
using PnxCacheNode = TnxCacheNode*;

// The pool the cache nodes come from (taken at the first call).
TnxPoolHandle nxCacheNodePool();

class TnxKeylessBstarTreeIndexKeyCache : public TnxObject {
public:
  // aKeyEngine null: the nodes carry no keys (Clear frees none).
  explicit TnxKeylessBstarTreeIndexKeyCache(const TnxBaseKeyEngine* aKeyEngine) noexcept : kcKeyEngine(aKeyEngine) {}
  ~TnxKeylessBstarTreeIndexKeyCache() override { Clear(); }

  PnxCacheNode GetNodeForRef(TnxRefNr aRefNr, bool aDontCreate);
  void Clear() noexcept;
  const TnxCacheNode* Root() const noexcept { return kcRoot; }
  bool Empty() const noexcept { return kcRoot == nullptr; }

private:
  void RotateLeft(PnxCacheNode aNode) noexcept;
  void RotateRight(PnxCacheNode aNode) noexcept;

  const TnxBaseKeyEngine* kcKeyEngine;  // not owned
  PnxCacheNode kcRoot = nullptr;
};

}  // namespace revurov
