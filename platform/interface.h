// Interfaces: abstract classes with a GUID that derive (virtually) from
// IInterface, and the intrusive pointer that holds them.
//
// Contract:
// - Every interface declares `static constexpr TGUID IID` and derives
//   `virtual public IInterface`, so that one object implementing several
//   interfaces has one set of reference-counting operations.
// - QueryInterface(iid, obj): S_OK and *obj set to the interface (with one
//   reference taken) when the object has it; E_NOINTERFACE and *obj null
//   otherwise. AddRef and Release answer the new count.
// - TInterfacePtr<T> holds one reference: copying adds one, destruction and
//   reassignment release one. Attach adopts a reference already taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "platform/guid.h"

namespace revurov::platform {

using HRESULT = int32_t;
// The COM result codes the library answers; negative means failure.
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = HRESULT(0x80004001u);
constexpr HRESULT E_NOINTERFACE = HRESULT(0x80004002u);
constexpr HRESULT E_OUTOFMEMORY = HRESULT(0x8007000Eu);
constexpr HRESULT E_UNEXPECTED = HRESULT(0x8000FFFFu);
constexpr HRESULT E_INVALIDARG = HRESULT(0x80070057u);
constexpr HRESULT CO_E_OBJNOTREG = HRESULT(0x800401FBu);
constexpr HRESULT CO_E_OBJISREG = HRESULT(0x800401FCu);
constexpr HRESULT RPC_E_DISCONNECTED = HRESULT(0x80010108u);
constexpr HRESULT RPC_E_VERSION_MISMATCH = HRESULT(0x80010110u);
constexpr HRESULT RPC_E_INVALID_HEADER = HRESULT(0x80010111u);

class IInterface {
public:
  static constexpr TGUID IID = nxGuid("{00000000-0000-0000-C000-000000000046}");
  virtual HRESULT QueryInterface(const TGUID& iid, void** obj) noexcept = 0;
  virtual int32_t AddRef() noexcept = 0;
  virtual int32_t Release() noexcept = 0;

protected:
  ~IInterface() = default;
};

template <typename T>
class TInterfacePtr {
public:
  TInterfacePtr() noexcept = default;
  TInterfacePtr(std::nullptr_t) noexcept {}
  // Takes a reference of its own.
  TInterfacePtr(T* p) noexcept : p_(p) {
    if (p_) p_->AddRef();
  }
  TInterfacePtr(const TInterfacePtr& o) noexcept : TInterfacePtr(o.p_) {}
  TInterfacePtr(TInterfacePtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <typename U>
    requires std::is_convertible_v<U*, T*>
  TInterfacePtr(const TInterfacePtr<U>& o) noexcept : TInterfacePtr(static_cast<T*>(o.Get())) {}
  ~TInterfacePtr() { Reset(); }

  TInterfacePtr& operator=(TInterfacePtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  // Adopts a reference the caller has already taken.
  static TInterfacePtr Attach(T* p) noexcept {
    TInterfacePtr r;
    r.p_ = p;
    return r;
  }
  // Gives up the reference without releasing it.
  T* Detach() noexcept { return std::exchange(p_, nullptr); }
  void Reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }

  T* Get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(const TInterfacePtr& a, const TInterfacePtr& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const TInterfacePtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

private:
  T* p_ = nullptr;
};

// The object's interface I, or null when it has none.
template <typename I>
TInterfacePtr<I> Supports(IInterface* obj) noexcept {
  void* p = nullptr;
  if (!obj || obj->QueryInterface(I::IID, &p) != S_OK) return nullptr;
  return TInterfacePtr<I>::Attach(static_cast<I*>(p));
}
template <typename I, typename U>
TInterfacePtr<I> Supports(const TInterfacePtr<U>& obj) noexcept {
  return Supports<I>(static_cast<IInterface*>(obj.Get()));
}

}  // namespace revurov::platform
