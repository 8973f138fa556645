#include "index/keyless_key_cache.h"

#include "dictionary/key_engine.h"

namespace revurov {

TnxPoolHandle nxCacheNodePool() {
  static const TnxPoolHandle pool = nxGetMemoryPool(sizeof(TnxCacheNode));
  return pool;
}

void TnxKeylessBstarTreeIndexKeyCache::RotateLeft(PnxCacheNode aNode) noexcept {
  PnxCacheNode r = aNode->cnRight;
  aNode->cnRight = r->cnLeft;
  if (r->cnLeft) r->cnLeft->cnParent = aNode;
  r->cnParent = aNode->cnParent;
  if (!aNode->cnParent)
    kcRoot = r;
  else if (aNode == aNode->cnParent->cnLeft)
    aNode->cnParent->cnLeft = r;
  else
    aNode->cnParent->cnRight = r;
  r->cnLeft = aNode;
  aNode->cnParent = r;
}

void TnxKeylessBstarTreeIndexKeyCache::RotateRight(PnxCacheNode aNode) noexcept {
  PnxCacheNode l = aNode->cnLeft;
  aNode->cnLeft = l->cnRight;
  if (l->cnRight) l->cnRight->cnParent = aNode;
  l->cnParent = aNode->cnParent;
  if (!aNode->cnParent)
    kcRoot = l;
  else if (aNode == aNode->cnParent->cnRight)
    aNode->cnParent->cnRight = l;
  else
    aNode->cnParent->cnLeft = l;
  l->cnRight = aNode;
  aNode->cnParent = l;
}

PnxCacheNode TnxKeylessBstarTreeIndexKeyCache::GetNodeForRef(TnxRefNr aRefNr, bool aDontCreate) {
  PnxCacheNode parent = nullptr;
  for (PnxCacheNode n = kcRoot; n;) {
    if (aRefNr == n->cnKeyRef) return n;
    parent = n;
    n = aRefNr < n->cnKeyRef ? n->cnLeft : n->cnRight;
  }
  if (aDontCreate) return nullptr;
  auto* node = static_cast<PnxCacheNode>(TnxMemoryPool::Alloc(nxCacheNodePool()));
  *node = TnxCacheNode{aRefNr, 0, nullptr, parent, nullptr, nullptr, false};
  if (!parent)
    kcRoot = node;
  else if (aRefNr < parent->cnKeyRef)
    parent->cnLeft = node;
  else
    parent->cnRight = node;
  PnxCacheNode x = node;
  while (x != kcRoot && !x->cnParent->cnIsBlack) {
    PnxCacheNode p = x->cnParent;
    PnxCacheNode g = p->cnParent;  // a red parent is never the root
    const bool parentIsLeft = p == g->cnLeft;
    PnxCacheNode uncle = parentIsLeft ? g->cnRight : g->cnLeft;
    if (uncle && !uncle->cnIsBlack) {
      p->cnIsBlack = true;
      uncle->cnIsBlack = true;
      g->cnIsBlack = false;
      x = g;
      continue;
    }
    if (parentIsLeft) {
      if (x == p->cnRight) {
        x = p;
        RotateLeft(x);
      }
      x->cnParent->cnIsBlack = true;
      g->cnIsBlack = false;
      RotateRight(g);
    } else {
      if (x == p->cnLeft) {
        x = p;
        RotateRight(x);
      }
      x->cnParent->cnIsBlack = true;
      g->cnIsBlack = false;
      RotateLeft(g);
    }
  }
  kcRoot->cnIsBlack = true;
  return node;
}

void TnxKeylessBstarTreeIndexKeyCache::Clear() noexcept {
  // Post-order without a stack: descend, free a leaf, unlink it from its
  // parent and go on from the parent.
  PnxCacheNode n = kcRoot;
  while (n) {
    if (n->cnLeft) {
      n = n->cnLeft;
      continue;
    }
    if (n->cnRight) {
      n = n->cnRight;
      continue;
    }
    PnxCacheNode parent = n->cnParent;
    if (parent) (parent->cnLeft == n ? parent->cnLeft : parent->cnRight) = nullptr;
    if (kcKeyEngine) kcKeyEngine->FreeKey(n->cnKey);
    try {
      TnxMemoryPool::DisposeDirect(nxCacheNodePool(), n);
    } catch (...) {
      // The pool refuses only a block it never gave out.
    }
    n = parent;
  }
  kcRoot = nullptr;
}

}  // namespace revurov
