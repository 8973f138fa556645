#include "transport/remoting/thread_safe_queue.h"

#include <utility>

#include "lowlevel/errors/exceptions.h"
#include "platform/os_thread.h"
#include "platform/thread_clock.h"

namespace revurov {

// --- TnxQueueItemList -----------------------------------------------------------

TnxQueueItemList::~TnxQueueItemList() {
  while (!Empty()) TakeFirst();
}

void TnxQueueItemList::Add(std::unique_ptr<TnxThreadSafeQueueItem> aItem) noexcept {
  TnxThreadSafeQueueItem* item = aItem.release();
  item->tqiNext = nullptr;
  if (qilTail)
    qilTail->tqiNext = item;
  else
    qilHead = item;
  qilTail = item;
  ++qilCount;
}

void TnxQueueItemList::Add(TnxQueueItemList& aList) noexcept {
  if (aList.Empty() || &aList == this) return;
  if (qilTail)
    qilTail->tqiNext = aList.qilHead;
  else
    qilHead = aList.qilHead;
  qilTail = aList.qilTail;
  qilCount += aList.qilCount;
  aList.qilHead = aList.qilTail = nullptr;
  aList.qilCount = 0;
}

std::unique_ptr<TnxThreadSafeQueueItem> TnxQueueItemList::TakeFirst() noexcept {
  TnxThreadSafeQueueItem* item = qilHead;
  if (!item) return nullptr;
  qilHead = item->tqiNext;
  if (!qilHead) qilTail = nullptr;
  item->tqiNext = nullptr;
  --qilCount;
  return std::unique_ptr<TnxThreadSafeQueueItem>(item);
}

// --- TnxThreadSafeQueue ---------------------------------------------------------

TnxThreadSafeQueue::TnxThreadSafeQueue() {
  nxListHeadInit(tsqHead);
  nxListHeadInit(tsqFreeNodes);
  tsqDieEvent.reset(platform::CreateEvent(true, false));
  nxWin32Check(tsqDieEvent != nullptr, u"TnxThreadSafeQueue.Create/CreateEvent");
  tsqItemsAvailableEvent.reset(platform::CreateEvent(true, false));
  nxWin32Check(tsqItemsAvailableEvent != nullptr, u"TnxThreadSafeQueue.Create/CreateEvent");
}

TnxThreadSafeQueue::~TnxThreadSafeQueue() {
  tsqTerminated.store(true, std::memory_order_release);
  if (tsqDieEvent) platform::SetEvent(tsqDieEvent.get());
  while (PopLockFree()) {
  }
}

std::unique_ptr<TnxThreadSafeQueueItem> TnxThreadSafeQueue::PopLockFree() noexcept {
  TnxListEntry* entry = nxListPop(tsqHead);
  if (!entry) return nullptr;
  Node* node = reinterpret_cast<Node*>(entry);
  std::unique_ptr<TnxThreadSafeQueueItem> item(std::exchange(node->item, nullptr));
  nxListPush(tsqFreeNodes, entry);
  return item;
}

TnxThreadSafeQueue::Node* TnxThreadSafeQueue::TakeNodes(int32_t aCount) {
  Node* chain = nullptr;
  try {
    for (int32_t i = 0; i < aCount; ++i) {
      if (!tsqSpareNodes) {
        // All freed nodes at once: one exchange instead of one per node.
        tsqSpareNodes = nxListFlush(tsqFreeNodes);
        if (!tsqSpareNodes) {
          tsqNodeBlocks.reserve(tsqNodeBlocks.size() + 1);
          auto block = std::make_unique<Node[]>(kNodesPerBlock);
          for (int n = 0; n < kNodesPerBlock; ++n)
            block[n].link.leNext = n + 1 < kNodesPerBlock ? &block[n + 1].link : nullptr;
          tsqSpareNodes = &block[0].link;
          tsqNodeBlocks.push_back(std::move(block));
        }
      }
      TnxListEntry* entry = tsqSpareNodes;
      tsqSpareNodes = detail::nxListNextOf(entry);
      // Atomic: a consumer that lost a race may still read this link.
      detail::nxListSetNext(entry, chain ? &chain->link : nullptr);
      chain = reinterpret_cast<Node*>(entry);
    }
  } catch (...) {
    while (chain) {
      Node* next = reinterpret_cast<Node*>(detail::nxListNextOf(&chain->link));
      detail::nxListSetNext(&chain->link, tsqSpareNodes);
      tsqSpareNodes = &chain->link;
      chain = next;
    }
    throw;
  }
  return chain;
}

void TnxThreadSafeQueue::Enqueue(std::unique_ptr<TnxThreadSafeQueueItem> aItem) {
  if (!aItem) return;
  bool wasEmpty;
  {
    TnxPadlockGuard guard(tsqListPadlock);
    wasEmpty = tsqList.empty();
    tsqList.push_back(std::move(aItem));
    if (wasEmpty) tsqPending.store(1, std::memory_order_release);
  }
  ItemsAdded(wasEmpty);
}

void TnxThreadSafeQueue::Enqueue(std::unique_ptr<TnxQueueItemList> aList) {
  if (!aList || aList->Empty()) return;
  bool wasEmpty;
  {
    TnxPadlockGuard guard(tsqListPadlock);
    tsqList.reserve(tsqList.size() + static_cast<size_t>(aList->Count()));
    wasEmpty = tsqList.empty();
    while (auto item = aList->TakeFirst()) tsqList.push_back(std::move(item));
    if (wasEmpty) tsqPending.store(1, std::memory_order_release);
  }
  ItemsAdded(wasEmpty);
}

void TnxThreadSafeQueue::ItemsAdded(bool aWasEmpty) {
  // Only the producer that made the list non-empty signals: a consumer
  // resets the event only under the padlock with the list empty, so while
  // it is not, that producer's signal stands (or is yet to come).
  if (aWasEmpty)
    nxWin32Check(platform::SetEvent(tsqItemsAvailableEvent.get()), u"TnxThreadSafeQueue.Enqueue/SetEvent");
}

bool TnxThreadSafeQueue::ItemsInSight() const noexcept {
  return tsqPending.load(std::memory_order_acquire) > 0 ||
         __atomic_load_n(&tsqHead.lhFirst, __ATOMIC_ACQUIRE) != nullptr || Terminated();
}

std::unique_ptr<TnxThreadSafeQueueItem> TnxThreadSafeQueue::Dequeue(uint32_t aTimeout) {
  const bool limited = aTimeout != platform::kInfinite;
  const uint64_t deadline = limited ? platform::MonotonicMilliseconds() + aTimeout : 0;
  // A consumer that found nothing first spins a little: producers usually
  // follow within microseconds, and going to sleep and being woken through
  // the event costs system calls on both sides.
  bool spun = aTimeout == 0;
  for (;;) {
    if (Terminated()) return nullptr;
    if (auto item = PopLockFree()) return item;
    std::unique_ptr<TnxThreadSafeQueueItem> item;
    {
      TnxPadlockGuard guard(tsqListPadlock);
      // The lock-free list first: what another consumer moved there is
      // older than anything still in the locked list. Only padlock holders
      // add to it, so found empty here it stays empty until we leave.
      item = PopLockFree();
      if (!item && !tsqList.empty()) {
        const int32_t rest = static_cast<int32_t>(tsqList.size()) - 1;
        Node* chain = rest > 0 ? TakeNodes(rest) : nullptr;
        item = std::move(tsqList[0]);
        size_t next = 1;
        if (chain) {
          Node* last = chain;
          for (Node* node = chain; node; node = reinterpret_cast<Node*>(detail::nxListNextOf(&node->link))) {
            node->item = tsqList[next++].release();
            last = node;
          }
          nxListPushChain(tsqHead, &chain->link, &last->link);
          nxWin32Check(platform::SetEvent(tsqItemsAvailableEvent.get()), u"TnxThreadSafeQueue.Dequeue/SetEvent");
        }
        tsqList.clear();
        tsqPending.store(0, std::memory_order_release);
      }
      if (!item && spun)
        nxWin32Check(platform::ResetEvent(tsqItemsAvailableEvent.get()), u"TnxThreadSafeQueue.Dequeue/ResetEvent");
    }
    if (item) return item;
    if (!spun) {
      spun = true;
      for (int i = 0; i < kSpins && !ItemsInSight(); ++i) platform::CpuRelax();
      continue;
    }
    spun = false;

    uint32_t wait = platform::kInfinite;
    if (limited) {
      const uint64_t now = platform::MonotonicMilliseconds();
      if (now >= deadline) return nullptr;
      wait = static_cast<uint32_t>(deadline - now);
    }
    const platform::EventHandle events[2] = {tsqDieEvent.get(), tsqItemsAvailableEvent.get()};
    const uint32_t result = platform::WaitForEvents(events, 2, wait);
    if (result == platform::kWaitObject0 + 1) continue;
    if (result == platform::kWaitObject0 || result == platform::kWaitTimeout) return nullptr;
    nxWin32Check(false, u"TnxThreadSafeQueue.Dequeue/WaitForMultipleObjects");
  }
}

void TnxThreadSafeQueue::Terminate() {
  tsqTerminated.store(true, std::memory_order_release);
  nxWin32Check(platform::SetEvent(tsqDieEvent.get()), u"TnxThreadSafeQueue.Terminate/SetEvent");
}

}  // namespace revurov
