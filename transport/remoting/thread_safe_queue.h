// TnxThreadSafeQueue: a queue of items that any thread may add to and one or
// more threads take from, waiting with a timeout.
//
// Contract:
// - Items are owned: Enqueue takes them, Dequeue hands the next one to the
//   caller, the queue frees what it still holds when it is destroyed. A
//   single consumer takes items in the order they were enqueued (a list
//   keeps its own order); with several consumers each item goes to exactly
//   one of them.
// - Dequeue(aTimeout in ms, platform::kInfinite waits without limit): the
//   next item, or null when the time ran out or the queue was terminated
//   (at once on a terminated queue, and a waiting Dequeue wakes at once).
// - Terminate is for good: the die event stays set.
// - A failed event operation raises the library's OS error with the
//   operation as context ("TnxThreadSafeQueue.Dequeue/WaitForMultipleObjects"
//   and its siblings); out of memory passes to the caller with the queue
//   unchanged.
// - Producers take the list's padlock; a consumer takes it only when the
//   lock-free list is empty, and then moves every waiting item over at once,
//   so that the following dequeues take no lock. The locked list is an
//   array of pointers, not a chain through the items: neither a producer
//   nor the consumer moving the list touches an item's memory, which
//   another core wrote last.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "lowlevel/heap/atomics.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/padlock.h"
#include "platform/os_event.h"

namespace revurov {

class TnxThreadSafeQueueItem : public TnxObject {
public:
  TnxThreadSafeQueueItem() = default;

private:
  friend class TnxQueueItemList;
  // The link of a TnxQueueItemList; the queue itself links nodes of its
  // own (see TnxThreadSafeQueue).
  TnxThreadSafeQueueItem* tqiNext = nullptr;
};

// A plain FIFO list of owned items.
class TnxQueueItemList : public TnxObject {
public:
  TnxQueueItemList() = default;
  ~TnxQueueItemList() override;

  void Add(std::unique_ptr<TnxThreadSafeQueueItem> aItem) noexcept;
  // Appends aList's items in order and leaves aList empty.
  void Add(TnxQueueItemList& aList) noexcept;
  std::unique_ptr<TnxThreadSafeQueueItem> TakeFirst() noexcept;
  bool Empty() const noexcept { return !qilHead; }
  int32_t Count() const noexcept { return qilCount; }

private:
  TnxThreadSafeQueueItem* qilHead = nullptr;  // owns the chain
  TnxThreadSafeQueueItem* qilTail = nullptr;
  int32_t qilCount = 0;
};

struct TnxEventCloser {
  void operator()(platform::EventHandle aEvent) const noexcept { platform::CloseEvent(aEvent); }
};
using TnxEventPtr = std::unique_ptr<platform::Event, TnxEventCloser>;

class TnxThreadSafeQueue : public TnxObject {
public:
  TnxThreadSafeQueue();
  ~TnxThreadSafeQueue() override;

  void Enqueue(std::unique_ptr<TnxThreadSafeQueueItem> aItem);
  // All of aList's items, in order; the list goes with them.
  void Enqueue(std::unique_ptr<TnxQueueItemList> aList);
  std::unique_ptr<TnxThreadSafeQueueItem> Dequeue(uint32_t aTimeout);
  virtual void Terminate();
  bool Terminated() const noexcept { return tsqTerminated.load(std::memory_order_acquire); }

protected:
  platform::EventHandle DieEvent() const noexcept { return tsqDieEvent.get(); }

private:
  // The lock-free list links these, never the items: a consumer that lost a
  // race may still read the link of an entry another consumer has taken,
  // and an item is freed by whoever took it, whereas a node stays valid
  // (back on the free list) until the queue goes.
  struct Node {
    TnxListEntry link;
    TnxThreadSafeQueueItem* item;  // owned while the node is queued
  };
  static constexpr int kNodesPerBlock = 256;
  static constexpr int kSpins = 2000;

  std::unique_ptr<TnxThreadSafeQueueItem> PopLockFree() noexcept;
  void ItemsAdded(bool aWasEmpty);
  // A chain of aCount free nodes linked through link; under the padlock.
  // Freed nodes go back lock-free to tsqFreeNodes and come from there to
  // the spare chain in one step.
  Node* TakeNodes(int32_t aCount);

  // Something may be there to take: a spinning consumer looks at this
  // instead of taking the padlock.
  bool ItemsInSight() const noexcept;

  std::atomic<bool> tsqTerminated{false};
  std::atomic<int32_t> tsqPending{0};  // 1 while tsqList has items
  TnxListHead tsqHead;
  TnxListHead tsqFreeNodes;
  TnxPadlock tsqListPadlock{false};
  std::vector<std::unique_ptr<TnxThreadSafeQueueItem>> tsqList;  // oldest first
  std::vector<std::unique_ptr<Node[]>> tsqNodeBlocks;  // under the padlock
  TnxListEntry* tsqSpareNodes = nullptr;                // under the padlock
  TnxEventPtr tsqDieEvent;
  TnxEventPtr tsqItemsAvailableEvent;
};

}  // namespace revurov
