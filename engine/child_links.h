// The doubly linked lists through which engine objects keep their
// children: the links are fields of the children, the head and tail those
// of the owner. The caller holds the list's padlock.
#pragma once

namespace revurov {

template <class T, T* T::*Prev, T* T::*Next>
void nxLinkAtTail(T*& aHead, T*& aTail, T* aItem) noexcept {
  aItem->*Prev = aTail;
  aItem->*Next = nullptr;
  if (aTail) {
    aTail->*Next = aItem;
  } else {
    aHead = aItem;
  }
  aTail = aItem;
}

// Does nothing for an item that is not in the list.
template <class T, T* T::*Prev, T* T::*Next>
void nxUnlink(T*& aHead, T*& aTail, T* aItem) noexcept {
  if (!(aItem->*Prev) && aHead != aItem) return;
  if (aItem->*Prev) {
    aItem->*Prev->*Next = aItem->*Next;
  } else {
    aHead = aItem->*Next;
  }
  if (aItem->*Next) {
    aItem->*Next->*Prev = aItem->*Prev;
  } else {
    aTail = aItem->*Prev;
  }
  aItem->*Prev = aItem->*Next = nullptr;
}

}  // namespace revurov
