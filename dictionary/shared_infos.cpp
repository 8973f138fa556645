#include "dictionary/shared_infos.h"

#include <new>

#include "lowlevel/heap/atomics.h"
#include "lowlevel/heap/memory_manager.h"

namespace revurov {

namespace {

template <class T>
T* NewOnLibraryHeap() {
  return new (nxAllocMem(sizeof(T))) T();
}

template <class T>
void FreeOnLibraryHeap(T* p) noexcept {
  p->~T();
  nxFreeMem(p);
}

template <class T>
T* TakeOut(T*& aVariable) noexcept {
  return __atomic_exchange_n(&aVariable, nullptr, __ATOMIC_ACQ_REL);
}

}  // namespace

void nxInitSpecialFieldsInfo(TnxSpecialFieldsInfo& aInfo) noexcept {
  aInfo.sfiBlobFields.clear();
  aInfo.sfiFieldsToBlobFields.clear();
  for (int i = 0; i < nxSpecialFieldTypeCount; ++i) {
    aInfo.sfiFields[i] = -1;
    aInfo.sfiOffsets[i] = -1;
  }
}

TnxSpecialFieldsInfo* nxNewSpecialFieldsInfo() {
  TnxSpecialFieldsInfo* info = NewOnLibraryHeap<TnxSpecialFieldsInfo>();
  nxInitSpecialFieldsInfo(*info);
  info->sfiRefCount = 1;
  return info;
}

TnxSpecialFieldsInfo* nxSpecialFieldsInfoAddRef(TnxSpecialFieldsInfo* aInfo) noexcept {
  if (aInfo) nxLockedInc(aInfo->sfiRefCount);
  return aInfo;
}

void nxReleaseSpecialFieldsInfo(TnxSpecialFieldsInfo*& aInfo) noexcept {
  TnxSpecialFieldsInfo* info = TakeOut(aInfo);
  if (info && nxLockedDec(info->sfiRefCount) == 0) FreeOnLibraryHeap(info);
}

void nxInitCacheableInfo(TnxCacheableInfo& aInfo) noexcept {
  nxReleaseSpecialFieldsInfo(aInfo.ciSFI);
  aInfo.ciModifyLSNIndex = aInfo.ciGraveyardLSNIndex = aInfo.ciGraveyardRefNrIndex = aInfo.ciCachedBlobsIndex =
      aInfo.ciBlobNrCounterIndex = -1;
}

TnxCacheableInfo* nxNewCacheableInfo() {
  TnxCacheableInfo* info = NewOnLibraryHeap<TnxCacheableInfo>();
  nxInitCacheableInfo(*info);
  info->ciRefCount = 1;
  return info;
}

TnxCacheableInfo* nxCacheableInfoAddRef(TnxCacheableInfo* aInfo) noexcept {
  if (aInfo) nxLockedInc(aInfo->ciRefCount);
  return aInfo;
}

void nxReleaseCacheableInfo(TnxCacheableInfo*& aInfo) noexcept {
  TnxCacheableInfo* info = TakeOut(aInfo);
  if (info && nxLockedDec(info->ciRefCount) == 0) {
    nxReleaseSpecialFieldsInfo(info->ciSFI);
    FreeOnLibraryHeap(info);
  }
}

}  // namespace revurov
