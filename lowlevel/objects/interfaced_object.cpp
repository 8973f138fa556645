#include "lowlevel/objects/interfaced_object.h"

#include "platform/rtl_exception.h"

namespace revurov {

using platform::HRESULT;
using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;

using platform::E_NOINTERFACE;
using platform::EInvalidPointer;
using platform::S_OK;

bool TnxInterfacedObject::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<IInterface>(this, iid, obj);
}

HRESULT TnxInterfacedObject::QueryInterface(const TGUID& iid, void** obj) noexcept {
  if (GetInterface(iid, obj)) return S_OK;
  *obj = nullptr;
  return E_NOINTERFACE;
}

int32_t TnxInterfacedObject::AddRef() noexcept { return ioRefCount.fetch_add(1) + 1; }

int32_t TnxInterfacedObject::Release() noexcept {
  const int32_t count = ioRefCount.fetch_sub(1) - 1;
  if (count == 0 && !ioKeepAlive.load()) {
    int32_t expected = 0;
    if (ioReleased.compare_exchange_strong(expected, 1)) delete this;
  }
  return count;
}

void TnxInterfacedObject::AfterConstruction() noexcept { ioRefCount.fetch_sub(1); }

void TnxInterfacedObject::Free() {
  // The object's own entry, also for an aggregated object: the temporary
  // reference must count this object, not its host.
  TnxInterfacedObject::AddRef();
  if (ioKeepAlive.load()) {
    try {
      DoFree();
    } catch (...) {
      ioKeepAlive.store(false);
      TnxInterfacedObject::Release();
      throw;
    }
    ioKeepAlive.store(false);
  }
  TnxInterfacedObject::Release();
}

void TnxInterfacedObject::Destroy() {
  if (ioRefCount.load() != 0) throw EInvalidPointer();
  int32_t expected = 0;
  if (ioReleased.compare_exchange_strong(expected, 1)) delete this;
}

HRESULT TnxAggregatableObject::InnerQueryInterface(const TGUID& iid, void** obj) noexcept {
  if (iid == IInterface::IID) {
    InnerAddRef();
    *obj = &aoInner;
    return S_OK;
  }
  return TnxInterfacedObject::QueryInterface(iid, obj);
}

HRESULT TnxAggregatableObject::OuterQueryInterface(const TGUID& iid, void** obj) noexcept {
  return aoHost ? aoHost->QueryInterface(iid, obj) : InnerQueryInterface(iid, obj);
}

bool TnxLifetimeMonitor::GetInterface(const TGUID& iid, void** obj) noexcept {
  if (iid == InxLifetimeMonitorObject::IID) {
    ltmObjectSide.AddRef();
    *obj = static_cast<InxLifetimeMonitorObject*>(&ltmObjectSide);
    return true;
  }
  return nxOfferInterface<InxLifetimeMonitorRef>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

TInterfacePtr<InxLifetimeMonitorObject> nxCreateLifetimeMonitor() {
  TnxLifetimeMonitor* monitor = nxCreate<TnxLifetimeMonitor>();
  return TInterfacePtr<InxLifetimeMonitorObject>(&monitor->ltmObjectSide);
}

}  // namespace revurov
