// Reference-counted records that the engines of one table share: the
// special fields of its record layout and what makes its records
// cacheable. The counts change atomically; the blocks live on the library
// heap.
//
// Contract:
// - nxNew... give a record holding one reference. nx...AddRef adds one and
//   returns its argument (null passes through). nxRelease... takes the
//   pointer out of the variable with an atomic exchange (so two threads
//   releasing one variable release once), ignores null, and frees the
//   record with its last reference.
// - TnxInfoRef holds one reference for the scope of an owner.
#pragma once

#include <cstdint>
#include <utility>

#include "dictionary/engine_types.h"
#include "lowlevel/heap/atomics.h"

namespace revurov {

struct TnxSpecialFieldsInfo {
  TnxBlobFields sfiBlobFields;
  TnxBlobFieldsToBlobFields sfiFieldsToBlobFields;
  TnxSpecialFields sfiFields = {};    // field number of each special field, -1 for none
  TnxSpecialFieldOffsets sfiOffsets = {};  // its record offset, -1 for none
  int32_t sfiRefCount = 0;
};

struct TnxCacheableInfo {
  TnxSpecialFieldsInfo* ciSFI = nullptr;  // one reference owned
  int32_t ciRefCount = 0;
  int32_t ciModifyLSNIndex = 0, ciGraveyardLSNIndex = 0, ciGraveyardRefNrIndex = 0, ciCachedBlobsIndex = 0,
          ciBlobNrCounterIndex = 0;  // index numbers, -1 for none
};

void nxInitSpecialFieldsInfo(TnxSpecialFieldsInfo& aInfo) noexcept;
TnxSpecialFieldsInfo* nxNewSpecialFieldsInfo();
TnxSpecialFieldsInfo* nxSpecialFieldsInfoAddRef(TnxSpecialFieldsInfo* aInfo) noexcept;
void nxReleaseSpecialFieldsInfo(TnxSpecialFieldsInfo*& aInfo) noexcept;

void nxInitCacheableInfo(TnxCacheableInfo& aInfo) noexcept;
TnxCacheableInfo* nxNewCacheableInfo();
TnxCacheableInfo* nxCacheableInfoAddRef(TnxCacheableInfo* aInfo) noexcept;
void nxReleaseCacheableInfo(TnxCacheableInfo*& aInfo) noexcept;

namespace shared_info_detail {

template <class T, int32_t T::*Count>
T* AddRef(T* aInfo) noexcept {
  if (aInfo) nxLockedInc(aInfo->*Count);
  return aInfo;
}

// Takes the pointer out of the variable and drops its reference; answers
// the record when that was the last one (the caller frees it), else null.
template <class T, int32_t T::*Count>
T* DropReference(T*& aInfo) noexcept {
  T* info = __atomic_exchange_n(&aInfo, nullptr, __ATOMIC_ACQ_REL);
  return info && nxLockedDec(info->*Count) == 0 ? info : nullptr;
}

}  // namespace shared_info_detail

// One reference to a shared record, given back when the holder goes.
template <class T, T* (*AddRef)(T*) noexcept, void (*Release)(T*&) noexcept>
class TnxInfoRef {
public:
  TnxInfoRef() = default;
  // Takes over a reference the caller holds (as nxNew... gives one).
  static TnxInfoRef Adopt(T* aInfo) noexcept {
    TnxInfoRef r;
    r.p_ = aInfo;
    return r;
  }
  TnxInfoRef(const TnxInfoRef& o) noexcept : p_(AddRef(o.p_)) {}
  TnxInfoRef(TnxInfoRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  TnxInfoRef& operator=(TnxInfoRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~TnxInfoRef() { Release(p_); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

private:
  T* p_ = nullptr;
};

using TnxSpecialFieldsInfoRef =
    TnxInfoRef<TnxSpecialFieldsInfo, &nxSpecialFieldsInfoAddRef, &nxReleaseSpecialFieldsInfo>;
using TnxCacheableInfoRef = TnxInfoRef<TnxCacheableInfo, &nxCacheableInfoAddRef, &nxReleaseCacheableInfo>;

}  // namespace revurov
