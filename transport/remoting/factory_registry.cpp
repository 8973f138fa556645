#include "transport/remoting/factory_registry.h"

#include <algorithm>
#include <atomic>
#include <utility>

namespace revurov {

using platform::E_INVALIDARG;
using platform::E_NOINTERFACE;
using platform::HRESULT;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

namespace {

bool ValidPriority(int8_t aPriority) noexcept {
  return aPriority >= nxMinFactoryPriority && aPriority <= nxMaxFactoryPriority;
}

size_t SlotOf(int32_t aPriority) noexcept { return static_cast<size_t>(aPriority - nxMinFactoryPriority); }

std::u16string KeyText(TnxFactoryKeyKind aKind, const TGUID& aClassID, const TGUID& aInterfaceID) {
  switch (aKind) {
    case fkPair: return platform::GUIDToString(aClassID) + platform::GUIDToString(aInterfaceID);
    case fkClass: return platform::GUIDToString(aClassID);
    case fkInterface: return platform::GUIDToString(aInterfaceID);
  }
  return {};
}

template <class C>
void RemoveControl(std::vector<C*>& aList, C* aControl) noexcept {
  aList.erase(std::remove(aList.begin(), aList.end(), aControl), aList.end());
}

}  // namespace

// --- TnxKeyedFactoryControl ---------------------------------------------------------

template <class F>
TnxKeyedFactoryControl<F>::TnxKeyedFactoryControl(TnxFactoryRegistry<F>* aRegistry, const TGUID& aID,
                                                  typename F::Factory* aFactory)
    : fcID(aID), fcIDText(platform::GUIDToString(aID)), fcFactory(aFactory), fcRegistry(aRegistry) {}

template <class F>
TnxKeyedFactoryControl<F>::~TnxKeyedFactoryControl() {
  TnxPortalWriteGuard guard(fcRegistry->frPortal);
  DropRegistrations();
  auto it = fcRegistry->frFactories.find(fcIDText);
  if (it != fcRegistry->frFactories.end() && it->second == this) fcRegistry->frFactories.erase(it);
}

template <class F>
bool TnxKeyedFactoryControl<F>::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<typename F::Control>(this, iid, obj) || nxOfferInterface<InxFactoryControl>(this, iid, obj) ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

template <class F>
void TnxKeyedFactoryControl<F>::DropRegistrations() {
  auto& slots = fcRegistry->frRegistry;
  for (int kind = 0; kind < 3; ++kind) {
    for (const auto& [key, priority] : fcRegLists[kind]) {
      auto& lists = slots[SlotOf(priority)].psKeyed[kind];
      auto it = lists.find(key);
      if (it == lists.end()) continue;
      RemoveControl(it->second, this);
      if (it->second.empty()) lists.erase(it);
    }
    fcRegLists[kind].clear();
  }
  if (fcRegGeneric != kNoGeneric) {
    RemoveControl(slots[SlotOf(fcRegGeneric)].psGeneric, this);
    fcRegGeneric = kNoGeneric;
  }
}

template <class F>
HRESULT TnxKeyedFactoryControl<F>::Unregister() {
  TnxPortalWriteGuard guard(fcRegistry->frPortal);
  DropRegistrations();
  return S_OK;
}

template <class F>
HRESULT TnxKeyedFactoryControl<F>::RegisterKey(TnxFactoryKeyKind aKind, int8_t aPriority, std::u16string aKey) {
  if (!ValidPriority(aPriority)) return E_INVALIDARG;
  TnxPortalWriteGuard guard(fcRegistry->frPortal);
  auto& own = fcRegLists[aKind];
  if (own.count(aKey)) return platform::CO_E_OBJISREG;
  auto& controls = fcRegistry->frRegistry[SlotOf(aPriority)].psKeyed[aKind][aKey];
  try {
    controls.push_back(this);
    own.emplace(std::move(aKey), aPriority);
  } catch (...) {
    // Out of memory: leave neither side half registered.
    RemoveControl(controls, this);
    if (controls.empty()) fcRegistry->frRegistry[SlotOf(aPriority)].psKeyed[aKind].erase(aKey);
    throw;
  }
  return S_OK;
}

template <class F>
HRESULT TnxKeyedFactoryControl<F>::RegisterForClass(int8_t aPriority, const TGUID& aClassID) {
  return RegisterKey(fkClass, aPriority, KeyText(fkClass, aClassID, platform::GUID_NULL));
}

template <class F>
HRESULT TnxKeyedFactoryControl<F>::RegisterForPair(int8_t aPriority, const TGUID& aClassID, const TGUID& aInterfaceID) {
  return RegisterKey(fkPair, aPriority, KeyText(fkPair, aClassID, aInterfaceID));
}

template <class F>
HRESULT TnxKeyedFactoryControl<F>::RegisterForInterface(int8_t aPriority, const TGUID& aInterfaceID) {
  return RegisterKey(fkInterface, aPriority, KeyText(fkInterface, platform::GUID_NULL, aInterfaceID));
}

template <class F>
HRESULT TnxKeyedFactoryControl<F>::RegisterGeneric(int8_t aPriority) {
  if (!ValidPriority(aPriority)) return E_INVALIDARG;
  TnxPortalWriteGuard guard(fcRegistry->frPortal);
  if (fcRegGeneric != kNoGeneric) return platform::CO_E_OBJISREG;
  fcRegistry->frRegistry[SlotOf(aPriority)].psGeneric.push_back(this);
  fcRegGeneric = aPriority;
  return S_OK;
}

// --- TnxClassFactoryControl --------------------------------------------------------

TnxClassFactoryControl::TnxClassFactoryControl(TnxFactoryRegistry<TnxClassFactoryFamily>* aRegistry,
                                               const TGUID& aClassID, InxClassFactory* aClassFactory)
    : cfcRegistry(aRegistry),
      cfcClassID(aClassID),
      cfcIDText(platform::GUIDToString(aClassID)),
      cfcClassFactory(aClassFactory),
      cfcRegistered(true) {}

TnxClassFactoryControl::~TnxClassFactoryControl() { Unregister(); }

bool TnxClassFactoryControl::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxClassFactoryControl>(this, iid, obj) ||
         nxOfferInterface<InxFactoryControl>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

HRESULT TnxClassFactoryControl::Unregister() {
  TnxPortalWriteGuard guard(cfcRegistry->frPortal);
  if (!cfcRegistered) return S_FALSE;
  auto it = cfcRegistry->frFactories.find(cfcIDText);
  if (it == cfcRegistry->frFactories.end() || it->second != this) return platform::E_UNEXPECTED;
  cfcRegistry->frFactories.erase(it);
  cfcRegistered = false;
  return S_OK;
}

HRESULT TnxClassFactoryControl::InvokeFactoryHook() {
  TInterfacePtr<InxClassFactoryHook> hook = platform::Supports<InxClassFactoryHook>(cfcClassFactory);
  return hook ? hook->SecondHook() : E_NOINTERFACE;
}

// --- TnxFactoryRegistry ------------------------------------------------------------

template <class F>
bool TnxFactoryRegistry<F>::GetInterface(const TGUID& iid, void** obj) noexcept {
  if (nxOfferInterface<typename F::Registry>(this, iid, obj)) return true;
  if constexpr (!F::kKeyed) {
    if (nxOfferInterface<InxClassActivator>(this, iid, obj)) return true;
  }
  return TnxInterfacedObject::GetInterface(iid, obj);
}

template <class F>
HRESULT TnxFactoryRegistry<F>::Register(const TGUID& aID, typename F::Factory* aFactory,
                                        TInterfacePtr<typename F::Control>& aControl) {
  aControl.Reset();
  std::u16string text = platform::GUIDToString(aID);
  TnxPortalWriteGuard guard(frPortal);
  if (frFactories.count(text)) return platform::CO_E_OBJISREG;
  if (!aFactory) return E_INVALIDARG;
  Control* control = nxCreate<Control>(this, aID, aFactory);
  TInterfacePtr<typename F::Control> held(control);
  // A failed insert destroys the control, which finds nothing to remove.
  frFactories.emplace(std::move(text), control);
  aControl = std::move(held);
  return S_OK;
}

template <class F>
HRESULT TnxFactoryRegistry<F>::Supports(Control& aControl, const TGUID& aClassID, const TGUID& aInterfaceID) {
  if constexpr (F::kInterfaceKeys) {
    return aControl.Factory()->Supports(aClassID, aInterfaceID);
  } else if constexpr (F::kKeyed) {
    (void)aInterfaceID;
    return aControl.Factory()->Supports(aClassID);
  } else {
    (void)aControl, (void)aClassID, (void)aInterfaceID;
    return S_OK;
  }
}

template <class F>
HRESULT TnxFactoryRegistry<F>::Enumerate(const TGUID& aClassID, const TGUID& aInterfaceID,
                                         std::span<TGUID> aIDs, int32_t& aFound) {
  aFound = 0;
  if (!aIDs.data() && !aIDs.empty()) return E_INVALIDARG;
  const bool counting = aIDs.empty();
  size_t next = 0;
  std::u16string keys[3];
  for (int kind = 0; kind < 3; ++kind)
    if (F::kInterfaceKeys || kind == fkClass) keys[kind] = KeyText(TnxFactoryKeyKind(kind), aClassID, aInterfaceID);
  std::vector<Control*> visited;
  TnxPortalReadGuard guard(frPortal);
  // False when the caller's array is full and another factory matched.
  auto visit = [&](Control* aControl) {
    if (std::find(visited.begin(), visited.end(), aControl) != visited.end()) return true;
    visited.push_back(aControl);
    if (Supports(*aControl, aClassID, aInterfaceID) != S_OK) return true;
    if (!counting) {
      if (next == aIDs.size()) return false;
      aIDs[next++] = aControl->ID();
    }
    ++aFound;
    return true;
  };
  for (const TPrioritySlot& slot : frRegistry) {
    for (int kind = 0; kind < 3; ++kind) {
      if (keys[kind].empty()) continue;
      auto it = slot.psKeyed[kind].find(keys[kind]);
      if (it == slot.psKeyed[kind].end()) continue;
      for (Control* control : it->second)
        if (!visit(control)) return S_FALSE;
    }
    for (Control* control : slot.psGeneric)
      if (!visit(control)) return S_FALSE;
  }
  return aFound == 0 ? E_NOINTERFACE : S_OK;
}

template <class F>
bool TnxFactoryRegistry<F>::RegisteredFor(const Control& aControl, const TGUID& aClassID, const TGUID& aInterfaceID) {
  if constexpr (F::kKeyed) {
    if (aControl.fcRegGeneric != Control::kNoGeneric) return true;
    if (aControl.fcRegLists[fkClass].count(KeyText(fkClass, aClassID, aInterfaceID))) return true;
    if constexpr (F::kInterfaceKeys) {
      if (aControl.fcRegLists[fkInterface].count(KeyText(fkInterface, aClassID, aInterfaceID))) return true;
      if (aControl.fcRegLists[fkPair].count(KeyText(fkPair, aClassID, aInterfaceID))) return true;
    }
    return false;
  } else {
    (void)aControl, (void)aClassID, (void)aInterfaceID;
    return true;
  }
}

template <class F>
HRESULT TnxFactoryRegistry<F>::Select(const TGUID& aClassID, const TGUID& aInterfaceID,
                                      std::span<const TGUID> aCandidates, TGUID& aID) {
  aID = platform::GUID_NULL;
  if (!aCandidates.data() && !aCandidates.empty()) return E_INVALIDARG;
  TnxPortalReadGuard guard(frPortal);
  for (const TGUID& candidate : aCandidates) {
    auto it = frFactories.find(platform::GUIDToString(candidate));
    if (it == frFactories.end()) continue;
    Control& control = *it->second;
    if (!RegisteredFor(control, aClassID, aInterfaceID)) return S_FALSE;
    const HRESULT hr = Supports(control, aClassID, aInterfaceID);
    if (hr == S_OK) aID = candidate;
    return hr;
  }
  return E_NOINTERFACE;
}

template <class F>
TInterfacePtr<typename F::Factory> TnxFactoryRegistry<F>::FactoryOf(const TGUID& aID) {
  const std::u16string text = platform::GUIDToString(aID);
  TnxPortalReadGuard guard(frPortal);
  auto it = frFactories.find(text);
  if (it == frFactories.end()) return nullptr;
  return it->second->Factory();
}

template class TnxKeyedFactoryControl<TnxClassStubFactoryFamily>;
template class TnxKeyedFactoryControl<TnxInterfaceStubFactoryFamily>;
template class TnxKeyedFactoryControl<TnxClassProxyFactoryFamily>;
template class TnxKeyedFactoryControl<TnxInterfaceProxyFactoryFamily>;
template class TnxFactoryRegistry<TnxClassFactoryFamily>;
template class TnxFactoryRegistry<TnxClassStubFactoryFamily>;
template class TnxFactoryRegistry<TnxInterfaceStubFactoryFamily>;
template class TnxFactoryRegistry<TnxClassProxyFactoryFamily>;
template class TnxFactoryRegistry<TnxInterfaceProxyFactoryFamily>;

// --- the five registries -------------------------------------------------------------

HRESULT TnxClassFactoryRegistry::CreateInstance(const TGUID& aClassID, platform::IInterface* aOuter,
                                                const TGUID& aInterfaceID,
                                                TInterfacePtr<platform::IInterface>& aInterface) {
  aInterface.Reset();
  TInterfacePtr<InxClassFactory> factory = FactoryOf(aClassID);
  if (!factory) return platform::CO_E_OBJNOTREG;
  return factory->CreateInstance(aOuter, aInterfaceID, aInterface);
}

HRESULT TnxClassFactoryRegistry::InvokeFactoryHooks() {
  TnxPortalWriteGuard guard(frPortal);
  HRESULT result = S_OK;
  for (const auto& [text, control] : frFactories) {
    TInterfacePtr<InxClassFactoryHook> hook = platform::Supports<InxClassFactoryHook>(control->Factory());
    if (!hook) continue;
    result = hook->SecondHook();
    if (result < 0) return result;
  }
  return result;
}

HRESULT TnxClassStubFactoryRegistry::CreateClassStub(const TGUID& aClassStubID, const TGUID& aClassID,
                                                     platform::IInterface* aObject,
                                                     TInterfacePtr<InxClassStub>& aClassStub) {
  aClassStub.Reset();
  if (!aObject) return E_INVALIDARG;
  TInterfacePtr<InxClassStubFactory> factory = FactoryOf(aClassStubID);
  if (!factory) return platform::CO_E_OBJNOTREG;
  return factory->CreateStub(aClassID, aObject, aClassStub);
}

HRESULT TnxClassStubFactoryRegistry::FindClassStub(const TGUID& aClassStubID, const TGUID& aInstanceID,
                                                   TInterfacePtr<InxClassStub>& aClassStub) {
  aClassStub.Reset();
  TInterfacePtr<InxClassStubFactory> factory = FactoryOf(aClassStubID);
  if (!factory) return platform::CO_E_OBJNOTREG;
  return factory->FindInstance(aInstanceID, aClassStub);
}

HRESULT TnxClassStubFactoryRegistry::FindClassStubForObject(platform::IInterface* aObject,
                                                            TInterfacePtr<InxClassStub>& aClassStub) {
  aClassStub.Reset();
  if (!aObject) return E_INVALIDARG;
  TnxPortalReadGuard guard(frPortal);
  for (const auto& [text, control] : frFactories) {
    const HRESULT hr = control->Factory()->FindStub(aObject, aClassStub);
    if (hr >= 0) return hr;
    aClassStub.Reset();
  }
  return platform::CO_E_OBJNOTREG;
}

HRESULT TnxInterfaceStubFactoryRegistry::CreateInterfaceStub(const TGUID& aStubID, const TGUID& aClassID,
                                                             const TGUID& aInterfaceID, platform::IInterface* aInterface,
                                                             TInterfacePtr<InxInterfaceStub>& aStub) {
  aStub.Reset();
  if (!aInterface) return E_INVALIDARG;
  TInterfacePtr<InxInterfaceStubFactory> factory = FactoryOf(aStubID);
  if (!factory) return platform::CO_E_OBJNOTREG;
  return factory->CreateStub(aClassID, aInterfaceID, aInterface, aStub);
}

HRESULT TnxClassProxyFactoryRegistry::CreateClassProxy(platform::IInterface* aOuter, const TGUID& aClassProxyID,
                                                       InxChannelEntrance* aChannel, const TGUID& aClassID,
                                                       const TnxRoutingPath& aPath, InxReader* aReader,
                                                       TInterfacePtr<InxClassProxy>& aClassProxy) {
  aClassProxy.Reset();
  TInterfacePtr<InxClassProxyFactory> factory = FactoryOf(aClassProxyID);
  if (!factory) return platform::CO_E_OBJNOTREG;
  return factory->CreateProxy(aOuter, aChannel, aClassID, aPath, aReader, aClassProxy);
}

HRESULT TnxInterfaceProxyFactoryRegistry::CreateInterfaceProxy(const TGUID& aProxyID, const TGUID& aClassID,
                                                               const TGUID& aInterfaceID, InxClassProxy* aClassProxy,
                                                               InxReader* aReader,
                                                               TInterfacePtr<InxInterfaceProxy>& aProxy) {
  aProxy.Reset();
  TInterfacePtr<InxInterfaceProxyFactory> factory = FactoryOf(aProxyID);
  if (!factory) return platform::CO_E_OBJNOTREG;
  return factory->CreateProxy(aProxyID, aClassID, aInterfaceID, aClassProxy, aReader, aProxy);
}

// --- the process's registries ----------------------------------------------------------

namespace {

std::atomic<InxClassFactoryRegistry*> gClassFactoryRegistry{nullptr};
std::atomic<InxClassStubFactoryRegistry*> gClassStubFactoryRegistry{nullptr};
std::atomic<InxInterfaceStubFactoryRegistry*> gInterfaceStubFactoryRegistry{nullptr};
std::atomic<InxClassProxyFactoryRegistry*> gClassProxyFactoryRegistry{nullptr};
std::atomic<InxInterfaceProxyFactoryRegistry*> gInterfaceProxyFactoryRegistry{nullptr};

// The variable keeps one reference; of racing first uses one publishes.
template <class Concrete, class I>
TInterfacePtr<I> Published(std::atomic<I*>& aVariable) {
  I* current = aVariable.load(std::memory_order_acquire);
  if (!current) {
    TInterfacePtr<I> own(static_cast<I*>(nxCreate<Concrete>()));
    if (aVariable.compare_exchange_strong(current, own.Get(), std::memory_order_acq_rel))
      current = own.Detach();
  }
  return TInterfacePtr<I>(current);
}

template <class I>
void Drop(std::atomic<I*>& aVariable) noexcept {
  if (I* registry = aVariable.exchange(nullptr, std::memory_order_acq_rel)) registry->Release();
}

}  // namespace

TInterfacePtr<InxClassFactoryRegistry> nxClassFactoryRegistry() {
  return Published<TnxClassFactoryRegistry>(gClassFactoryRegistry);
}
TInterfacePtr<InxClassStubFactoryRegistry> nxClassStubFactoryRegistry() {
  return Published<TnxClassStubFactoryRegistry>(gClassStubFactoryRegistry);
}
TInterfacePtr<InxInterfaceStubFactoryRegistry> nxInterfaceStubFactoryRegistry() {
  return Published<TnxInterfaceStubFactoryRegistry>(gInterfaceStubFactoryRegistry);
}
TInterfacePtr<InxClassProxyFactoryRegistry> nxClassProxyFactoryRegistry() {
  return Published<TnxClassProxyFactoryRegistry>(gClassProxyFactoryRegistry);
}
TInterfacePtr<InxInterfaceProxyFactoryRegistry> nxInterfaceProxyFactoryRegistry() {
  return Published<TnxInterfaceProxyFactoryRegistry>(gInterfaceProxyFactoryRegistry);
}

void nxReleaseFactoryRegistries() noexcept {
  Drop(gClassFactoryRegistry);
  Drop(gClassStubFactoryRegistry);
  Drop(gInterfaceStubFactoryRegistry);
  Drop(gClassProxyFactoryRegistry);
  Drop(gInterfaceProxyFactoryRegistry);
}

}  // namespace revurov
