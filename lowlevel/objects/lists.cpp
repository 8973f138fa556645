#include "lowlevel/objects/lists.h"

#include <cstring>
#include <utility>

#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/read_write_portal.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"

namespace revurov {

// --- TnxBaseList -----------------------------------------------------------

void TnxBaseList::Error(std::u16string_view aMessage, int64_t aValue) {
  throw platform::EListError(platform::Format(aMessage, {aValue}));
}

void TnxBaseList::CheckIndex(int32_t aIndex) const {
  if (aIndex < 0 || aIndex >= blCount) Error(platform::SListIndexError, aIndex);
}

void* TnxBaseList::blGet(int32_t aIndex) const {
  CheckIndex(aIndex);
  return blList[aIndex];
}

void* TnxBaseList::DataOf(int32_t aIndex) const {
  CheckIndex(aIndex);
  return blUseData ? blData[aIndex] : nullptr;
}

// --- TnxWriteableList ------------------------------------------------------

TnxWriteableList::TnxWriteableList(int32_t aInitCapacity, bool aUseData, bool aFreeDataObjects) {
  blUseData = aUseData;
  blFreeDataObjects = aFreeDataObjects && aUseData;
  wlInitCapacity = aInitCapacity < 0 ? 0 : aInitCapacity;
  if (wlInitCapacity > 0) wlSetCapacity(wlInitCapacity);
}

TnxWriteableList::~TnxWriteableList() {
  wlInitCapacity = 0;
  Clear();
}

void TnxWriteableList::FreeData(void* aData) {
  if (blFreeDataObjects && aData) delete static_cast<TnxObject*>(aData);
}

void TnxWriteableList::wlSetCapacity(int32_t aValue) {
  if (aValue < blCount || aValue > nxMaxListSize) Error(platform::SListCapacityError, aValue);
  if (aValue == blCapacity) return;
  // Both arrays are allocated before either is replaced, so a failed
  // allocation leaves the list as it was.
  void** newList = nullptr;
  void** newData = nullptr;
  if (aValue > 0) {
    newList = static_cast<void**>(nxGetMem(sizeof(void*) * static_cast<size_t>(aValue)));
    if (blUseData) {
      try {
        newData = static_cast<void**>(nxGetMem(sizeof(void*) * static_cast<size_t>(aValue)));
      } catch (...) {
        nxFreeMem(newList);
        throw;
      }
    }
    if (blCount) {
      std::memcpy(newList, blList, sizeof(void*) * static_cast<size_t>(blCount));
      if (blUseData) std::memcpy(newData, blData, sizeof(void*) * static_cast<size_t>(blCount));
    }
  }
  if (blList) nxFreeMem(blList);
  if (blData) nxFreeMem(blData);
  blList = newList;
  blData = newData;
  blCapacity = aValue;
}

void TnxWriteableList::wlGrow() {
  int32_t delta = blCapacity > 64 ? blCapacity / 4 : blCapacity > 8 ? 16 : 4;
  wlSetCapacity(blCapacity + delta);
}

void TnxWriteableList::InsertEntry(int32_t aIndex, void* aItem, void* aData) {
  if (blCount == blCapacity) wlGrow();
  if (aIndex < blCount) {
    std::memmove(blList + aIndex + 1, blList + aIndex, sizeof(void*) * static_cast<size_t>(blCount - aIndex));
    if (blUseData)
      std::memmove(blData + aIndex + 1, blData + aIndex, sizeof(void*) * static_cast<size_t>(blCount - aIndex));
  }
  blList[aIndex] = aItem;
  if (blUseData) blData[aIndex] = aData;
  ++blCount;
  ++blGeneration;
}

void TnxWriteableList::AddList(TnxBaseList& aList) {
  if (blUseData && aList.UseData() && !aList.FreeDataObjects()) {
    for (int32_t i = 0; i < aList.Count(); ++i) AddData(aList.blGet(i), aList.DataOf(i));
  } else {
    for (int32_t i = 0; i < aList.Count(); ++i) Add(aList.blGet(i));
  }
}

int32_t TnxWriteableList::Remove(void* aItem) {
  int32_t i = IndexOf(aItem);
  if (i >= 0) Delete(i);
  return i;
}

void* TnxWriteableList::Release(int32_t aIndex) {
  CheckIndex(aIndex);
  void* data = blUseData ? blData[aIndex] : nullptr;
  int32_t tail = blCount - aIndex - 1;
  if (tail > 0) {
    std::memmove(blList + aIndex, blList + aIndex + 1, sizeof(void*) * static_cast<size_t>(tail));
    if (blUseData) std::memmove(blData + aIndex, blData + aIndex + 1, sizeof(void*) * static_cast<size_t>(tail));
  }
  --blCount;
  ++blGeneration;
  return data;
}

void* TnxWriteableList::Release(void* aItem) {
  int32_t i = IndexOf(aItem);
  return i >= 0 ? Release(i) : nullptr;
}

void TnxWriteableList::Delete(int32_t aIndex) {
  // The entry leaves the list before its object is freed, so a failing
  // destructor cannot leave a freed object in the list.
  FreeData(Release(aIndex));
}

void TnxWriteableList::Clear() {
  if (blCount > 0) {
    ++blGeneration;
    int32_t count = blCount;
    blCount = 0;
    if (blFreeDataObjects)
      for (int32_t i = 0; i < count; ++i) FreeData(std::exchange(blData[i], nullptr));
  }
  wlSetCapacity(wlInitCapacity);
}

// --- TnxList ---------------------------------------------------------------

int32_t TnxList::IndexOf(void* aItem) {
  for (int32_t i = 0; i < blCount; ++i)
    if (blList[i] == aItem) return i;
  return -1;
}

int32_t TnxList::Add(void* aItem) {
  int32_t i = blCount;
  InsertEntry(i, aItem, nullptr);
  return i;
}

int32_t TnxList::AddData(void* aItem, void* aData) {
  int32_t i = blCount;
  InsertEntry(i, aItem, aData);
  return i;
}

void TnxList::Insert(int32_t aIndex, void* aItem) { InsertData(aIndex, aItem, nullptr); }

void TnxList::InsertData(int32_t aIndex, void* aItem, void* aData) {
  if (aIndex < 0 || aIndex > blCount) Error(platform::SListIndexError, aIndex);
  InsertEntry(aIndex, aItem, aData);
}

int32_t TnxList::IndexOfData(void* aData) {
  if (!blUseData) return -1;
  for (int32_t i = 0; i < blCount; ++i)
    if (blData[i] == aData) return i;
  return -1;
}

void TnxList::liPut(int32_t aIndex, void* aItem) {
  CheckIndex(aIndex);
  if (blList[aIndex] != aItem) {
    blList[aIndex] = aItem;
    ++blGeneration;
  }
}

void TnxList::liSetCount(int32_t aValue) {
  if (aValue == blCount) return;
  if (aValue < 0 || aValue > nxMaxListSize) Error(platform::SListCountError, aValue);
  if (aValue > blCount) {
    if (aValue > blCapacity) wlSetCapacity(aValue);
    std::memset(blList + blCount, 0, sizeof(void*) * static_cast<size_t>(aValue - blCount));
    if (blUseData) std::memset(blData + blCount, 0, sizeof(void*) * static_cast<size_t>(aValue - blCount));
    blCount = aValue;
    ++blGeneration;
  } else {
    int32_t old = blCount;
    blCount = aValue;
    ++blGeneration;
    if (blFreeDataObjects)
      for (int32_t i = aValue; i < old; ++i) FreeData(std::exchange(blData[i], nullptr));
  }
}

bool TnxList::Exchange(int32_t aIndex1, int32_t aIndex2) {
  CheckIndex(aIndex1);
  CheckIndex(aIndex2);
  if (aIndex1 == aIndex2) return false;
  bool changed = false;
  if (blList[aIndex1] != blList[aIndex2]) {
    std::swap(blList[aIndex1], blList[aIndex2]);
    changed = true;
  }
  if (blUseData && blData[aIndex1] != blData[aIndex2]) {
    std::swap(blData[aIndex1], blData[aIndex2]);
    changed = true;
  }
  if (changed) ++blGeneration;
  return changed;
}

void TnxList::Move(int32_t aCurIndex, int32_t aNewIndex) {
  if (aCurIndex == aNewIndex) return;
  CheckIndex(aCurIndex);
  CheckIndex(aNewIndex);
  void* item = blList[aCurIndex];
  void* data = Release(aCurIndex);
  InsertEntry(aNewIndex, item, data);
}

void TnxList::Pack() {
  int32_t kept = 0;
  for (int32_t i = 0; i < blCount; ++i) {
    if (blList[i]) {
      if (kept != i) {
        blList[kept] = blList[i];
        if (blUseData) {
          // A removed entry's owned object is freed below; its slot is reused.
          std::swap(blData[kept], blData[i]);
        }
      }
      ++kept;
    }
  }
  if (kept == blCount) return;
  int32_t old = blCount;
  blCount = kept;
  ++blGeneration;
  if (blUseData)
    for (int32_t i = kept; i < old; ++i) FreeData(std::exchange(blData[i], nullptr));
}

void TnxList::Sort(TListSortCompare aCompare) {
  if (blCount == 0) return;
  ++blGeneration;
  nxQuickSortListProc(blList, blUseData ? blData : nullptr, 0, aCompare, blCount - 1);
}

// --- TnxSortedList ---------------------------------------------------------

int8_t TnxSortedList::Compare(void* aItem1, void* aItem2) {
  auto a = reinterpret_cast<uintptr_t>(aItem1);
  auto b = reinterpret_cast<uintptr_t>(aItem2);
  return a < b ? -1 : a > b ? 1 : 0;
}

bool TnxSortedList::Find(void* aItem, int32_t& aIndex) {
  if (slSuspendCount > 0)
    throw EnxSortedListException(u"Find is not supported while sorting is suspended.");
  int32_t lo = 0;
  int32_t hi = blCount - 1;
  while (lo <= hi) {
    int32_t mid = static_cast<int32_t>((static_cast<uint32_t>(lo) + static_cast<uint32_t>(hi)) >> 1);
    int8_t c = Compare(blList[mid], aItem);
    if (c == -1) {
      lo = mid + 1;
    } else if (c == 1) {
      hi = mid - 1;
    } else {
      aIndex = mid;
      return true;
    }
  }
  aIndex = lo;
  return false;
}

int32_t TnxSortedList::IndexOf(void* aItem) {
  int32_t i;
  return Find(aItem, i) ? i : -1;
}

int32_t TnxSortedList::Add(void* aItem) { return AddData(aItem, nullptr); }

int32_t TnxSortedList::AddData(void* aItem, void* aData) {
  if (slSuspendCount > 0) {
    int32_t i = blCount;
    InsertEntry(i, aItem, aData);
    slModified = true;
    return i;
  }
  int32_t i;
  if (Find(aItem, i)) return i;
  InsertEntry(i, aItem, aData);
  return i;
}

void TnxSortedList::SuspendSorting() { ++slSuspendCount; }

void TnxSortedList::ResumeSorting() {
  if (--slSuspendCount == 0 && slModified) {
    slModified = false;
    if (blCount > 0) {
      ++blGeneration;
      nxQuickSortList(blList, blUseData ? blData : nullptr, 0,
                      [this](void* a, void* b) { return Compare(a, b); }, blCount - 1);
    }
  }
}

// --- quicksort -------------------------------------------------------------

namespace {

template <typename Cmp>
bool QuickSort(void** list, void** data, int32_t lo, int32_t hi, const Cmp& compare) {
  bool moved = false;
  int32_t L = lo;
  int32_t R = hi;
  for (;;) {
    int32_t I = L;
    int32_t J = R;
    int32_t P = static_cast<int32_t>((static_cast<uint32_t>(L) + static_cast<uint32_t>(R)) >> 1);
    do {
      while (compare(list[I], list[P]) < 0) ++I;
      while (compare(list[J], list[P]) > 0) --J;
      if (I <= J) {
        std::swap(list[I], list[J]);
        if (data) std::swap(data[I], data[J]);
        // The pivot index follows the pivot item.
        if (P == I) P = J;
        else if (P == J) P = I;
        ++I;
        --J;
        moved = true;
      }
    } while (I <= J);
    // Recursing into the smaller side and looping on the larger keeps the
    // stack depth logarithmic even for adversarial orders.
    if (J - L < R - I) {
      if (L < J) QuickSort(list, data, L, J, compare);
      L = I;
    } else {
      if (I < R) QuickSort(list, data, I, R, compare);
      R = J;
    }
    if (L >= R) break;
  }
  return moved;
}

}  // namespace

bool nxQuickSortList(void** aList, void** aData, int32_t aLo,
                     const std::function<int8_t(void*, void*)>& aCompare, int32_t aHi) {
  if (aLo > aHi) return false;
  return QuickSort(aList, aData, aLo, aHi, aCompare);
}

bool nxQuickSortListProc(void** aList, void** aData, int32_t aLo, TListSortCompare aCompare,
                         int32_t aHi) {
  if (aLo > aHi) return false;
  return QuickSort(aList, aData, aLo, aHi, aCompare);
}

// --- guards ----------------------------------------------------------------

TnxListSyncAccess::TnxListSyncAccess(std::unique_ptr<TnxWriteableList> aList)
    : lsaList(std::move(aList)) {}

TnxListSyncAccess::~TnxListSyncAccess() = default;

TnxBaseList& TnxListSyncAccess::BeginRead() { return BeginWrite(); }
void TnxListSyncAccess::EndRead() { EndWrite(); }

int32_t TnxListSyncAccess::Add(void* aItem) { TnxListWriteGuard w(*this); return w.Entered().Add(aItem); }
int32_t TnxListSyncAccess::AddData(void* aItem, void* aData) { TnxListWriteGuard w(*this); return w.Entered().AddData(aItem, aData); }
void TnxListSyncAccess::AddList(TnxBaseList& aList) { TnxListWriteGuard w(*this); w.Entered().AddList(aList); }

void TnxListSyncAccess::AddList(TnxListSyncAccess& aList) {
  TnxListReadGuard r(aList);
  AddList(r.Entered());
}

bool TnxListSyncAccess::Remove(void* aItem) { TnxListWriteGuard w(*this); return w.Entered().Remove(aItem) >= 0; }
void* TnxListSyncAccess::Release(void* aItem) { TnxListWriteGuard w(*this); return w.Entered().Release(aItem); }
void TnxListSyncAccess::Clear() { TnxListWriteGuard w(*this); w.Entered().Clear(); }
int32_t TnxListSyncAccess::GetCount() { TnxListReadGuard r(*this); return r.Entered().Count(); }

TnxListPortal::TnxListPortal(std::unique_ptr<TnxWriteableList> aList)
    : TnxListSyncAccess(std::move(aList)), lptPortal(std::make_unique<TnxInternalReadWritePortal>()) {}

TnxListPortal::~TnxListPortal() {
  // The list goes first, then the portal.
  lsaList.reset();
}

TnxBaseList& TnxListPortal::BeginRead() {
  lptPortal->BeginRead();
  return *lsaList;
}
void TnxListPortal::EndRead() { lptPortal->EndRead(); }
TnxWriteableList& TnxListPortal::BeginWrite() {
  lptPortal->BeginWrite();
  return *lsaList;
}
void TnxListPortal::EndWrite() { lptPortal->EndWrite(); }

TnxListPadlock::TnxListPadlock(std::unique_ptr<TnxWriteableList> aList)
    : TnxListSyncAccess(std::move(aList)), lplPadlock(std::make_unique<TnxPadlock>(false)) {}

TnxListPadlock::~TnxListPadlock() {
  // The list goes first, then the padlock.
  lsaList.reset();
}

TnxWriteableList& TnxListPadlock::BeginWrite() {
  lplPadlock->Lock();
  return *lsaList;
}
void TnxListPadlock::EndWrite() { lplPadlock->Unlock(); }

}  // namespace revurov
