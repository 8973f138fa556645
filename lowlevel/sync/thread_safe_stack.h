// TnxThreadSafeStack: a lock-free stack of pointers (last in, first out).
//
// Contract: any number of threads may push and pop at once. Pop answers nil
// when the stack is empty. Push raises out of memory, leaving the stack as it
// was, when no page of nodes can be had. Values still on the stack when it is
// destroyed are dropped without notice. Count may lag one push or pop behind
// while other threads work on the stack.
#pragma once

#include <atomic>
#include <cstdint>

#include "lowlevel/heap/atomics.h"
#include "lowlevel/heap/memory_manager.h"

namespace revurov {

class TnxThreadSafeStack : public TnxObject {
public:
  TnxThreadSafeStack();
  ~TnxThreadSafeStack() override;

  void Push(void* p);
  void* Pop() noexcept;
  int32_t Count() const noexcept { return tssCount.load(std::memory_order_acquire); }

  // 64-bit adaptation: a node is a link and a pointer of 8 bytes each, and
  // the page link takes the first 16 bytes, so a 4 KB page holds 255 nodes.
  static constexpr int kNodesPerPage = (4096 - 16) / 16;

private:
  struct Node {
    TnxListEntry link;
    void* value;
  };
  void Grow();

  std::atomic<int32_t> tssCount{0};
  TnxListHead tssPagesHead;
  TnxListHead tssFreeHead;
  TnxListHead tssStackHead;
};

}  // namespace revurov
