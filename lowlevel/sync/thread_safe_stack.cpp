#include "lowlevel/sync/thread_safe_stack.h"

#include "lowlevel/heap/block_manager.h"

namespace revurov {

namespace {

TnxBlockPool PagePool() noexcept { return nxBlockPoolsCommitted[mm::nxbs4k]; }

}  // namespace

TnxThreadSafeStack::TnxThreadSafeStack() {
  nxListHeadInit(tssPagesHead);
  nxListHeadInit(tssFreeHead);
  nxListHeadInit(tssStackHead);
  Grow();
}

TnxThreadSafeStack::~TnxThreadSafeStack() {
  // Nodes live inside the pages: taking the node lists is enough to drop
  // them; the pages go back to the pool.
  nxListFlush(tssStackHead);
  nxListFlush(tssFreeHead);
  TnxListEntry* page = nxListFlush(tssPagesHead);
  while (page) {
    void* block = page;
    page = page->leNext;
    nxBlockPoolCommittedDispose(PagePool(), block);
  }
}

void TnxThreadSafeStack::Grow() {
  auto* page = static_cast<char*>(nxBlockPoolCommittedAlloc(PagePool()));
  Node* nodes = reinterpret_cast<Node*>(page + 16);
  for (int i = 0; i < kNodesPerPage; ++i) {
    nodes[i].value = nullptr;
    nodes[i].link.leNext = i + 1 < kNodesPerPage ? &nodes[i + 1].link : nullptr;
  }
  nxListPush(tssPagesHead, reinterpret_cast<TnxListEntry*>(page));
  nxListPushChain(tssFreeHead, &nodes[0].link, &nodes[kNodesPerPage - 1].link);
}

void TnxThreadSafeStack::Push(void* p) {
  TnxListEntry* entry;
  while (!(entry = nxListPop(tssFreeHead))) Grow();
  reinterpret_cast<Node*>(entry)->value = p;
  nxListPush(tssStackHead, entry);
  tssCount.fetch_add(1, std::memory_order_acq_rel);
}

void* TnxThreadSafeStack::Pop() noexcept {
  TnxListEntry* entry = nxListPop(tssStackHead);
  if (!entry) return nullptr;
  void* value = reinterpret_cast<Node*>(entry)->value;
  nxListPush(tssFreeHead, entry);
  tssCount.fetch_sub(1, std::memory_order_acq_rel);
  return value;
}

}  // namespace revurov
