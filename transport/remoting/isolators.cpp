#include "transport/remoting/isolators.h"

#include <utility>

namespace revurov {

using platform::HRESULT;
using platform::IInterface;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

// --- TnxClassActivatorIsolator ------------------------------------------------

TnxClassActivatorIsolator::TCallIn::TCallIn(TnxClassActivatorIsolator& aIsolator) noexcept : ciIsolator(aIsolator) {
  // In before the host is read: a disconnect that clears the host after
  // this read sees the call counted and waits for it.
  ciIsolator.caiCallsIn.fetch_add(1, std::memory_order_seq_cst);
  ciHost = ciIsolator.caiHost.load(std::memory_order_seq_cst);
}

TnxClassActivatorIsolator::TCallIn::~TCallIn() {
  if (ciIsolator.caiCallsIn.fetch_sub(1, std::memory_order_seq_cst) == 1 &&
      !ciIsolator.caiHost.load(std::memory_order_seq_cst)) {
    std::lock_guard<std::mutex> guard(ciIsolator.caiCallsLock);
    ciIsolator.caiCallsDone.notify_all();
  }
}

void TnxClassActivatorIsolator::Disconnect() noexcept {
  caiHost.store(nullptr, std::memory_order_seq_cst);
  std::unique_lock<std::mutex> lock(caiCallsLock);
  caiCallsDone.wait(lock, [this] { return caiCallsIn.load(std::memory_order_seq_cst) == 0; });
}

HRESULT TnxClassActivatorIsolator::QueryInterface(const TGUID& iid, void** obj) noexcept {
  if (nxOfferInterface<InxClassActivator>(this, iid, obj)) return S_OK;
  {
    TCallIn call(*this);
    if (call.Host()) return call.Host()->QueryInterface(iid, obj);
  }
  if (nxOfferInterface<IInterface>(this, iid, obj)) return S_OK;
  *obj = nullptr;
  return platform::RPC_E_DISCONNECTED;
}

HRESULT TnxClassActivatorIsolator::CreateInstance(const TGUID& aClassID, IInterface* aOuter,
                                                  const TGUID& aInterfaceID, TInterfacePtr<IInterface>& aInterface) {
  aInterface.Reset();
  TCallIn call(*this);
  if (!call.Host()) return platform::RPC_E_DISCONNECTED;
  return call.Host()->CreateInstance(aClassID, aOuter, aInterfaceID, aInterface);
}

HRESULT TnxClassActivatorIsolator::THostEntry::QueryInterface(const TGUID& iid, void** obj) noexcept {
  if (iid == IInterface::IID) {
    AddRef();
    *obj = static_cast<IInterface*>(this);
    return S_OK;
  }
  return owner->QueryInterface(iid, obj);
}

int32_t TnxClassActivatorIsolator::THostEntry::AddRef() noexcept {
  owner->caiHostReferences.fetch_add(1, std::memory_order_acq_rel);
  return owner->TnxInterfacedObject::AddRef();
}

int32_t TnxClassActivatorIsolator::THostEntry::Release() noexcept {
  if (owner->caiHostReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) owner->Disconnect();
  return owner->TnxInterfacedObject::Release();
}

// --- TnxSessionNotifierIsolator -----------------------------------------------

TnxSessionNotifierIsolator::TnxSessionNotifierIsolator(InxSessionNotifier* aOwner,
                                                       InxSessionNotifications* aSessionNotifications)
    : sniOwner(aOwner), sniSessionNotifications(aSessionNotifications) {
  if (sniSessionNotifications) sniNotifierID = sniSessionNotifications->RegisterNotifier(this);
}

bool TnxSessionNotifierIsolator::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxSessionNotifierIsolator>(this, iid, obj) ||
         nxOfferInterface<InxSessionNotifier>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

void TnxSessionNotifierIsolator::SessionDisconnected() {
  TInterfacePtr<IInterface> self(static_cast<TnxInterfacedObject*>(this));
  TInterfacePtr<InxSessionNotifications> notifications;
  TnxPadlockGuard guard(sniPadlock);
  InxSessionNotifier* owner = std::exchange(sniOwner, nullptr);
  notifications = std::move(sniSessionNotifications);
  // Still under the padlock: a Detach on another thread returns only after
  // the owner has been told, never while it is being told.
  if (owner) owner->SessionDisconnected();
}

void TnxSessionNotifierIsolator::Detach() {
  TInterfacePtr<IInterface> self(static_cast<TnxInterfacedObject*>(this));
  TInterfacePtr<InxSessionNotifications> notifications;
  TnxPadlockGuard guard(sniPadlock);
  notifications = std::move(sniSessionNotifications);
  sniOwner = nullptr;
  if (notifications) notifications->UnregisterNotifier(sniNotifierID);
}

}  // namespace revurov
