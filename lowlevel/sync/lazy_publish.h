// Lazy publication of a shared lock: build a fully usable object, enter it,
// then publish it with one compare-exchange against null. A thread thus never
// sees a half-built lock, and no global lock is needed to create one. The
// loser of a race leaves and frees its own object and enters the winner's.
#pragma once

#include <atomic>

#include "lowlevel/heap/memory_manager.h"

namespace revurov {

template <class T, class Make, class Enter, class Leave>
void nxCreateAndEnter(T*& aShared, Make aMake, Enter aEnter, Leave aLeave) {
  std::atomic_ref<T*> shared(aShared);
  T* existing = shared.load(std::memory_order_acquire);
  if (!existing) {
    T* own = aMake();
    aEnter(*own);
    if (shared.compare_exchange_strong(existing, own, std::memory_order_acq_rel)) return;
    aLeave(*own);
    nxFreeAndNil(own);
  }
  aEnter(*existing);
}

}  // namespace revurov
