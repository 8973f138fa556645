// The library's pointer lists: an unsorted list, a sorted list ordered by a
// virtual comparison that refuses equal items, and guards that put a list
// behind a read/write portal or a padlock.
//
// Each list can carry a parallel data column; when the list owns its data
// objects, those pointers must be TnxObject pointers (converted to void*)
// and are deleted as such. Every change of content or order adds to the
// generation, so callers can notice that a list changed under them. Index
// and count errors raise EListError with the runtime's texts; a failed
// operation leaves the list as it was. Plain lists are not thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/lock_guard.h"

namespace revurov {

class TnxInternalReadWritePortal;
class TnxPadlock;

REVUROV_EXCEPTION_CLASS(EnxBaseListException, EnxBaseException);
REVUROV_EXCEPTION_CLASS(EnxWriteableListException, EnxBaseListException);
REVUROV_EXCEPTION_CLASS(EnxSortedListException, EnxWriteableListException);

constexpr int32_t nxMaxListSize = 0x7FFFFFF;

class TnxBaseList : public TnxObject {
public:
  // Raises EListError with aMessage formatted with aValue.
  [[noreturn]] static void Error(std::u16string_view aMessage, int64_t aValue);

  void* blGet(int32_t aIndex) const;
  void* operator[](int32_t aIndex) const { return blGet(aIndex); }
  void* First() const { return blCount ? blList[0] : nullptr; }
  void* Last() const { return blCount ? blList[blCount - 1] : nullptr; }
  virtual int32_t IndexOf(void* aItem) = 0;

  // The data pointer of entry aIndex (nil without a data column).
  void* DataOf(int32_t aIndex) const;
  int32_t Count() const noexcept { return blCount; }
  int32_t Capacity() const noexcept { return blCapacity; }
  uint32_t Generation() const noexcept { return blGeneration; }
  bool UseData() const noexcept { return blUseData; }
  bool FreeDataObjects() const noexcept { return blFreeDataObjects; }

protected:
  void CheckIndex(int32_t aIndex) const;

  void** blList = nullptr;
  bool blUseData = false;
  bool blFreeDataObjects = false;
  void** blData = nullptr;
  int32_t blCount = 0;
  int32_t blCapacity = 0;
  uint32_t blGeneration = 0;
};

class TnxWriteableList : public TnxBaseList {
public:
  TnxWriteableList(int32_t aInitCapacity = 0, bool aUseData = false, bool aFreeDataObjects = false);
  ~TnxWriteableList() override;

  virtual int32_t Add(void* aItem) = 0;
  virtual int32_t AddData(void* aItem, void* aData) = 0;

  void AddList(TnxBaseList& aList);
  int32_t Remove(void* aItem);
  void Delete(int32_t aIndex);
  // Removes the entry without freeing its data object; returns the data.
  void* Release(int32_t aIndex);
  void* Release(void* aItem);
  void Clear();

  void wlGrow();
  void wlSetCapacity(int32_t aValue);

protected:
  // Opens a slot at aIndex (growing first when full) and fills it.
  void InsertEntry(int32_t aIndex, void* aItem, void* aData);
  void FreeData(void* aData);

  int32_t wlInitCapacity = 0;
};

// Compares two items: negative, 0 or positive.
using TListSortCompare = int32_t (*)(void* aItem1, void* aItem2);

class TnxList : public TnxWriteableList {
public:
  using TnxWriteableList::TnxWriteableList;

  int32_t IndexOf(void* aItem) override;
  int32_t Add(void* aItem) override;
  int32_t AddData(void* aItem, void* aData) override;
  void Insert(int32_t aIndex, void* aItem);
  void InsertData(int32_t aIndex, void* aItem, void* aData);
  int32_t IndexOfData(void* aData);
  void liPut(int32_t aIndex, void* aItem);
  void liSetCount(int32_t aValue);
  bool Exchange(int32_t aIndex1, int32_t aIndex2);
  void Move(int32_t aCurIndex, int32_t aNewIndex);
  void Pack();
  void Sort(TListSortCompare aCompare);
};

class TnxSortedList : public TnxWriteableList {
public:
  using TnxWriteableList::TnxWriteableList;

  int32_t IndexOf(void* aItem) override;
  int32_t Add(void* aItem) override;
  int32_t AddData(void* aItem, void* aData) override;
  // Raises EnxSortedListException while sorting is suspended.
  bool Find(void* aItem, int32_t& aIndex);
  void SuspendSorting();
  void ResumeSorting();
  // -1, 0 or 1; by default the pointers' addresses, unsigned.
  virtual int8_t Compare(void* aItem1, void* aItem2);

private:
  int32_t slSuspendCount = 0;
  bool slModified = false;
};

// Sorts aList[aLo..aHi] in place, swapping aData in parallel when it is not
// nil; true when a partition step ran.
bool nxQuickSortList(void** aList, void** aData, int32_t aLo,
                     const std::function<int8_t(void*, void*)>& aCompare, int32_t aHi);
bool nxQuickSortListProc(void** aList, void** aData, int32_t aLo, TListSortCompare aCompare,
                         int32_t aHi);

// A list behind a lock; owns the list. Code that holds BeginRead must not
// change the list.
class TnxListSyncAccess : public TnxObject {
public:
  explicit TnxListSyncAccess(std::unique_ptr<TnxWriteableList> aList);
  ~TnxListSyncAccess() override;

  virtual TnxBaseList& BeginRead();
  virtual void EndRead();
  virtual TnxWriteableList& BeginWrite() = 0;
  virtual void EndWrite() = 0;

  int32_t Add(void* aItem);
  int32_t AddData(void* aItem, void* aData);
  void AddList(TnxBaseList& aList);
  void AddList(TnxListSyncAccess& aList);
  bool Remove(void* aItem);
  void* Release(void* aItem);
  void Clear();
  int32_t GetCount();

protected:
  std::unique_ptr<TnxWriteableList> lsaList;
};

// Hold a guarded list for reading or writing; Entered() is the list.
using TnxListReadGuard =
    TnxLockGuard<TnxListSyncAccess, &TnxListSyncAccess::BeginRead, &TnxListSyncAccess::EndRead>;
using TnxListWriteGuard =
    TnxLockGuard<TnxListSyncAccess, &TnxListSyncAccess::BeginWrite, &TnxListSyncAccess::EndWrite>;

// Readers share, writers are exclusive (nestable on one thread).
class TnxListPortal : public TnxListSyncAccess {
public:
  explicit TnxListPortal(std::unique_ptr<TnxWriteableList> aList);
  ~TnxListPortal() override;
  TnxBaseList& BeginRead() override;
  void EndRead() override;
  TnxWriteableList& BeginWrite() override;
  void EndWrite() override;

private:
  std::unique_ptr<TnxInternalReadWritePortal> lptPortal;
};

// One thread at a time, for reads and writes alike.
class TnxListPadlock : public TnxListSyncAccess {
public:
  explicit TnxListPadlock(std::unique_ptr<TnxWriteableList> aList);
  ~TnxListPadlock() override;
  TnxWriteableList& BeginWrite() override;
  void EndWrite() override;

private:
  std::unique_ptr<TnxPadlock> lplPadlock;
};

}  // namespace revurov
