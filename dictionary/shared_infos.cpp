#include "dictionary/shared_infos.h"

#include <new>

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
  return shared_info_detail::AddRef<TnxSpecialFieldsInfo, &TnxSpecialFieldsInfo::sfiRefCount>(aInfo);
}

void nxReleaseSpecialFieldsInfo(TnxSpecialFieldsInfo*& aInfo) noexcept {
  if (auto* last = shared_info_detail::DropReference<TnxSpecialFieldsInfo, &TnxSpecialFieldsInfo::sfiRefCount>(aInfo))
    FreeOnLibraryHeap(last);
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
  return shared_info_detail::AddRef<TnxCacheableInfo, &TnxCacheableInfo::ciRefCount>(aInfo);
}

void nxReleaseCacheableInfo(TnxCacheableInfo*& aInfo) noexcept {
  if (auto* last = shared_info_detail::DropReference<TnxCacheableInfo, &TnxCacheableInfo::ciRefCount>(aInfo)) {
    nxReleaseSpecialFieldsInfo(last->ciSFI);
    FreeOnLibraryHeap(last);
  }
}

}  // namespace revurov
