#include "lowlevel/objects/persistent.h"

#include <string>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/format.h"
#include "platform/rtl_exception.h"

namespace revurov {

using platform::HRESULT;
using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;

HRESULT TnxPersistent::QueryInterface(const TGUID& iid, void** obj) noexcept {
  if (!obj) return platform::E_NOINTERFACE;
  if (iid == nxPersistentSelfIID) {
    *obj = this;
    return platform::S_OK;
  }
  if (GetInterface(iid, obj)) return platform::S_OK;
  *obj = nullptr;
  return platform::E_NOINTERFACE;
}

bool TnxPersistent::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<IInterface>(this, iid, obj);
}

TnxPersistent* TnxPersistent::FromInterface(IInterface* aInterface) noexcept {
  void* self = nullptr;
  if (!aInterface || aInterface->QueryInterface(nxPersistentSelfIID, &self) != platform::S_OK)
    return nullptr;
  return static_cast<TnxPersistent*>(self);
}

void TnxPersistent::GetExceptionData(InxExceptionDataContainer& aContainer, bool) {
  aContainer.AddPointer(u"SelfPtr", this);
  aContainer.AddString(u"ClassName", std::u16string(ClassName()));
}

namespace {

[[noreturn]] void RaiseAssignError(std::u16string_view aSourceName, std::u16string_view aTargetName) {
  throw platform::EConvertError(platform::Format(platform::SAssignError, {aSourceName, aTargetName}));
}

}  // namespace

void TnxPersistent::Assign(const TnxPersistent* aSource) {
  if (!aSource) AssignError(nullptr);
  aSource->AssignTo(this);
}

void TnxPersistent::AssignTo(TnxPersistent* aDest) const {
  // A null target is refused with the same error instead of being touched.
  if (!aDest) RaiseAssignError(ClassName(), u"nil");
  aDest->AssignError(this);
}

void TnxPersistent::AssignError(const TnxPersistent* aSource) const {
  RaiseAssignError(aSource ? aSource->ClassName() : std::u16string_view(u"nil"), ClassName());
}

uint32_t TnxPersistent::NotSupported(std::u16string_view aOperation) const {
  return EnxBaseException::nxSetMessage(
      nxeCapabilityNotSupported,
      platform::Format(u"%s not supported by %s",
                       {aOperation.empty() ? std::u16string_view(u"Method") : aOperation, ClassName()}));
}

TInterfacePtr<InxLifetimeMonitorRef> nxLifetimeMonitorOf(std::atomic<InxLifetimeMonitorObject*>& aSlot) {
  InxLifetimeMonitorObject* monitor = aSlot.load(std::memory_order_acquire);
  if (!monitor) {
    InxLifetimeMonitorObject* made = nxCreateLifetimeMonitor().Detach();
    if (aSlot.compare_exchange_strong(monitor, made, std::memory_order_acq_rel))
      monitor = made;
    else
      made->Release();  // another thread published first; monitor holds its
  }
  return platform::Supports<InxLifetimeMonitorRef>(static_cast<IInterface*>(monitor));
}

void nxLifetimeMonitorDead(std::atomic<InxLifetimeMonitorObject*>& aSlot) noexcept {
  if (InxLifetimeMonitorObject* monitor = aSlot.exchange(nullptr, std::memory_order_acq_rel)) {
    monitor->Dead();
    monitor->Release();
  }
}

TnxLifetimeTrackedPersistent::~TnxLifetimeTrackedPersistent() { nxLifetimeMonitorDead(ltpLifetimeMonitor); }

TInterfacePtr<InxLifetimeMonitorRef> TnxLifetimeTrackedPersistent::GetLifetimeMonitor() {
  return nxLifetimeMonitorOf(ltpLifetimeMonitor);
}

}  // namespace revurov
