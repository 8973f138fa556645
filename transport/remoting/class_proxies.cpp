#include "transport/remoting/class_proxies.h"

#include <algorithm>
#include <typeinfo>
#include <utility>

#include "lowlevel/sync/lock_guard.h"
#include "platform/error_info.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/class_stubs.h"
#include "transport/remoting/interface_stubs.h"

namespace revurov {

using platform::E_INVALIDARG;
using platform::E_NOINTERFACE;
using platform::HRESULT;
using platform::IInterface;
using platform::MULTI_QI;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

namespace {

std::atomic<int32_t> gLiveProxies{0};

// The mark of a batch entry still waiting for its answer.
constexpr HRESULT kUnsettled = HRESULT(0x8000000Au);

// The remote object's key: its first hop (instance, then process).
std::string KeyOf(const TnxRoutingPath& aPath) {
  if (aPath.empty()) return {};
  uint8_t raw[32];
  platform::GUIDToBytes(aPath.front().oiInstanceID, raw);
  platform::GUIDToBytes(aPath.front().oiServerID, raw + 16);
  return std::string(reinterpret_cast<const char*>(raw), sizeof raw);
}

}  // namespace

// --- TnxClass ----------------------------------------------------------------

TnxClass::TnxClass(const TGUID* aClassID, TnxClassReferenceStore* aRefStore, IInterface* aOuter, bool aKeepAlive)
    : TnxAggregatableObject(aOuter, aKeepAlive), clRefStore(aRefStore) {
  if (aClassID) clClassID = *aClassID;
  if (clRefStore) {
    TnxPadlockGuard guard(clRefStore->crsPadlock);
    if (!clRefStore->crsRef) clRefStore->crsRef = this;
  }
}

TnxClass::~TnxClass() {
  if (!clRefStore) return;
  TnxPadlockGuard guard(clRefStore->crsPadlock);
  if (clRefStore->crsRef == this) clRefStore->crsRef = nullptr;
}

bool TnxClass::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxClass>(this, iid, obj) || TnxAggregatableObject::GetInterface(iid, obj);
}

HRESULT TnxClass::GetClassID(TGUID& aClassID) {
  aClassID = clClassID.value_or(platform::GUID_NULL);
  return S_OK;
}

HRESULT TnxClass::SafeCallException(const void* aAddress) noexcept {
  std::u16string exceptionClass = u"unknown";
  std::u16string message;
  try {
    throw;
  } catch (const platform::Exception& e) {
    exceptionClass = e.ClassName();
    message = e.Message();
  } catch (const std::exception& e) {
    exceptionClass = platform::Utf8ToUtf16(typeid(e).name());
    message = platform::Utf8ToUtf16(e.what());
  } catch (...) {
  }
  try {
    const std::u16string serverClass = platform::Utf8ToUtf16(typeid(*this).name());
    if (clServerExceptionHandler) {
      bool handled = false;
      HRESULT result = platform::E_UNEXPECTED;
      clServerExceptionHandler->OnException(serverClass, exceptionClass, message, aAddress, handled, result);
      if (handled) return result;
    }
    const TInterfacePtr<platform::ICreateErrorInfo> info = platform::nxCreateErrorInfo();
    info->SetGUID(platform::GUID_NULL);
    info->SetSource(serverClass);
    info->SetDescription(message);
    platform::nxSetErrorInfo(platform::Supports<platform::IErrorInfo>(info));
  } catch (...) {
    // The result stands without its error information.
  }
  return platform::E_UNEXPECTED;
}

int32_t TnxClass::InnerRelease() noexcept {
  if (!clRefStore) return TnxAggregatableObject::InnerRelease();
  const int32_t count = ioRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count != 0) return count;
  bool destroy = false;
  {
    // A lookup through the store either takes a reference before this
    // point or finds the store empty.
    TnxPadlockGuard guard(clRefStore->crsPadlock);
    if (ioRefCount.load(std::memory_order_acquire) == 0) {
      int32_t expected = 0;
      destroy = ioReleased.compare_exchange_strong(expected, 1);
      if (destroy && clRefStore->crsRef == this) clRefStore->crsRef = nullptr;
    }
  }
  if (destroy) delete this;
  return 0;
}

// --- class proxy -------------------------------------------------------------

TnxClassProxy::TnxClassProxy(TnxClassProxyFactory& aFactory, IInterface* aOuter, InxChannelEntrance* aChannel,
                             const TGUID& aClassID, const TnxRoutingPath& aPath, InxReader* aReader,
                             std::string aRegString)
    // Aggregated, every interface of the proxy and of its interface proxies
    // counts on the outer object; the outer holds the proxy's own entry.
    : TnxClass(&aClassID, nullptr, aOuter),
      cpFactory(&aFactory),
      cpFactoryRef(static_cast<InxClassProxyFactory*>(&aFactory)),
      cpRegString(std::move(aRegString)),
      cpChannel(aChannel),
      cpClassID(aClassID),
      cpPath(aPath) {
  cpClassStubVersion = aReader->ReadInteger();
  gLiveProxies.fetch_add(1, std::memory_order_relaxed);
}

TnxClassProxy::~TnxClassProxy() {
  {
    TnxPortalWriteGuard guard(cpPortal);
    cpProxies.clear();
  }
  gLiveProxies.fetch_sub(1, std::memory_order_relaxed);
}

bool TnxClassProxy::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxClassProxy>(this, iid, obj) || nxOfferInterface<InxRoutingPath>(this, iid, obj) ||
         nxOfferInterface<platform::IMultiQI>(this, iid, obj) || TnxClass::GetInterface(iid, obj);
}

bool TnxClassProxy::TryAddRef() noexcept {
  int32_t count = ioRefCount.load(std::memory_order_acquire);
  while (count > 0)
    if (ioRefCount.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel)) return true;
  return false;
}

int32_t TnxClassProxy::InnerRelease() noexcept {
  const int32_t count = ioRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (count != 0) return count;
  bool destroy = false;
  {
    TnxPadlockGuard guard(cpFactory->cpfPadlock);
    if (ioRefCount.load(std::memory_order_acquire) == 0) {
      int32_t expected = 0;
      destroy = ioReleased.compare_exchange_strong(expected, 1);
      if (destroy && !cpRegString.empty()) {
        auto it = cpFactory->cpfMapping.find(cpRegString);
        if (it != cpFactory->cpfMapping.end() && it->second == this) cpFactory->cpfMapping.erase(it);
      }
    }
  }
  if (destroy) delete this;
  return 0;
}

HRESULT TnxClassProxy::GetRoutingPath(TnxRoutingPath& aPath) {
  aPath = cpPath;
  return S_OK;
}

HRESULT TnxClassProxy::NewRequest(int32_t aKind, TInterfacePtr<InxWriter>& aWriter) {
  aWriter = nullptr;
  if (cpPath.empty()) return RPC_E_INVALID_OBJREF;
  TInterfacePtr<InxWriter> writer;
  if (const HRESULT result = cpChannel->CreateRequest(writer); result < 0) return result;
  writer->WriteInteger(std::min(Version(), cpClassStubVersion));
  writer->WriteGuid(cpPath.back().oiServerID);
  writer->WriteGuid(cpPath.back().oiInstanceID);
  writer->WriteInteger(aKind);
  aWriter = std::move(writer);
  return S_OK;
}

HRESULT TnxClassProxy::CreateRequest(TInterfacePtr<InxWriter>& aWriter) {
  return NewRequest(nxClassCallInterface, aWriter);
}

HRESULT TnxClassProxy::SendRequest(InxWriter* aWriter, TInterfacePtr<InxReader>& aReader) {
  aReader = nullptr;
  if (!aWriter) return E_INVALIDARG;
  return cpChannel->SendRequest(static_cast<IInterface*>(aWriter), aReader);
}

HRESULT TnxClassProxy::ReferenceReceived(InxChannelEntrance*, const TnxRoutingPath&) { return S_OK; }

InxInterfaceProxy* TnxClassProxy::Known(const TGUID& aIID) const {
  for (const TProxyEntry& entry : cpProxies)
    if (entry.interfaceID == aIID) return entry.proxy.Get();
  return nullptr;
}

HRESULT TnxClassProxy::InnerQueryInterface(const TGUID& iid, void** obj) noexcept {
  *obj = nullptr;
  const HRESULT local = TnxClass::InnerQueryInterface(iid, obj);
  if (local != E_NOINTERFACE) return local;
  try {
    return RemoteQuery(iid, obj);
  } catch (...) {
    // A broken reply or a lost session: the interface is not to be had.
    *obj = nullptr;
    return RPC_E_INVALID_DATAPACKET;
  }
}

HRESULT TnxClassProxy::AddProxy(const TGUID& aIID, const TGUID& aStubID, InxReader* aReader, void** obj) {
  TInterfacePtr<InxInterfaceProxy> proxy;
  HRESULT result = nxInterfaceProxyFactoryRegistry()->CreateInterfaceProxy(aStubID, cpClassID, aIID, this, aReader,
                                                                          proxy);
  if (result < 0) return result;
  if (!proxy) return E_NOINTERFACE;
  if (result = proxy->QueryInterface(aIID, obj); result != S_OK) return result;
  cpProxies.push_back({aIID, std::move(proxy)});
  return S_OK;
}

HRESULT TnxClassProxy::RemoteQuery(const TGUID& aIID, void** obj) {
  {
    TnxPortalReadGuard guard(cpPortal);
    if (InxInterfaceProxy* known = Known(aIID)) return known->QueryInterface(aIID, obj);
  }
  TnxPortalWriteGuard guard(cpPortal);
  if (InxInterfaceProxy* known = Known(aIID)) return known->QueryInterface(aIID, obj);
  TGUID ids[nxMaxInterfaceProxyIDs];
  int32_t found = 0;
  HRESULT result = nxInterfaceProxyFactoryRegistry()->EnumInterfaceProxyFactories(cpClassID, aIID, ids, found);
  if (result < 0) return result;
  found = std::clamp(found, 0, nxMaxInterfaceProxyIDs);
  if (found == 0) return E_NOINTERFACE;

  TInterfacePtr<InxWriter> writer;
  if (result = NewRequest(nxClassGetInterface, writer); result < 0) return result;
  writer->WriteGuid(aIID);
  writer->WriteInteger(found);
  uint8_t raw[16 * nxMaxInterfaceProxyIDs];
  for (int32_t i = 0; i < found; ++i) platform::GUIDToBytes(ids[i], raw + 16 * i);
  writer->WriteBinary(raw, 16 * found);
  TInterfacePtr<InxReader> reader;
  if (result = SendRequest(writer.Get(), reader); result < 0) return result;
  const TGUID stubID = reader->ReadGuid();
  return AddProxy(aIID, stubID, reader.Get(), obj);
}

HRESULT TnxClassProxy::QueryMultipleInterfaces(uint32_t aCount, MULTI_QI* aEntries) {
  if (aCount > 0 && !aEntries) return E_INVALIDARG;
  int32_t succeeded = 0;
  int32_t failed = 0;
  auto settle = [&](MULTI_QI& aEntry, HRESULT aResult) {
    aEntry.hr = aResult;
    if (aResult == S_OK) ++succeeded;
    else ++failed;
  };
  std::vector<MULTI_QI*> open;
  for (uint32_t i = 0; i < aCount; ++i) {
    MULTI_QI& entry = aEntries[i];
    if (entry.pItf) continue;
    if (!entry.pIID) {
      settle(entry, E_INVALIDARG);
      continue;
    }
    void* obj = nullptr;
    const HRESULT local = TnxClass::InnerQueryInterface(*entry.pIID, &obj);
    if (local != E_NOINTERFACE) {
      entry.pItf = obj;
      settle(entry, local);
      continue;
    }
    entry.hr = kUnsettled;
    open.push_back(&entry);
  }
  auto fromTable = [&](std::vector<MULTI_QI*>& aEntries) {
    std::vector<MULTI_QI*> left;
    for (MULTI_QI* entry : aEntries) {
      if (InxInterfaceProxy* known = Known(*entry->pIID)) {
        void* obj = nullptr;
        const HRESULT r = known->QueryInterface(*entry->pIID, &obj);
        entry->pItf = obj;
        settle(*entry, r);
      } else {
        left.push_back(entry);
      }
    }
    aEntries = std::move(left);
  };
  {
    TnxPortalReadGuard guard(cpPortal);
    fromTable(open);
  }
  auto overall = [&](HRESULT aFailure) {
    if (succeeded > 0) return failed == 0 ? S_OK : S_FALSE;
    return aFailure;
  };
  if (open.empty()) return overall(E_NOINTERFACE);

  TnxPortalWriteGuard guard(cpPortal);
  fromTable(open);
  std::vector<MULTI_QI*> sent;
  TInterfacePtr<InxWriter> writer;
  try {
    for (MULTI_QI* entry : open) {
      TGUID ids[nxMaxInterfaceProxyIDs];
      int32_t found = 0;
      HRESULT result = nxInterfaceProxyFactoryRegistry()->EnumInterfaceProxyFactories(cpClassID, *entry->pIID, ids,
                                                                                     found);
      found = std::clamp(found, 0, nxMaxInterfaceProxyIDs);
      if (result >= 0 && found == 0) result = E_NOINTERFACE;
      if (result < 0) {
        settle(*entry, result);
        continue;
      }
      if (!writer) {
        if (result = NewRequest(nxClassQueryMultiple, writer); result < 0) {
          for (MULTI_QI* rest : open)
            if (rest->hr == kUnsettled) settle(*rest, result);
          return overall(result);
        }
        writer->WriteListBegin();
      }
      writer->WriteGuid(*entry->pIID);
      writer->WriteInteger(found);
      uint8_t raw[16 * nxMaxInterfaceProxyIDs];
      for (int32_t i = 0; i < found; ++i) platform::GUIDToBytes(ids[i], raw + 16 * i);
      writer->WriteBinary(raw, 16 * found);
      sent.push_back(entry);
    }
    if (sent.empty()) return overall(E_NOINTERFACE);
    writer->WriteListEnd();
    TInterfacePtr<InxReader> reader;
    const HRESULT sentResult = SendRequest(writer.Get(), reader);
    if (sentResult < 0) {
      for (MULTI_QI* entry : sent) settle(*entry, sentResult);
      return overall(sentResult);
    }
    for (size_t i = 0; i < sent.size(); ++i) {
      MULTI_QI& entry = *sent[i];
      const HRESULT result = reader->ReadInteger();
      if (result < 0) {
        settle(entry, result);
        continue;
      }
      const TGUID stubID = reader->ReadGuid();
      void* obj = nullptr;
      const HRESULT made = AddProxy(*entry.pIID, stubID, reader.Get(), &obj);
      if (made != S_OK) {
        // The reader no longer stands at the next entry.
        for (size_t j = i; j < sent.size(); ++j) settle(*sent[j], made < 0 ? made : E_NOINTERFACE);
        return overall(made < 0 ? made : E_NOINTERFACE);
      }
      entry.pItf = obj;
      settle(entry, S_OK);
    }
  } catch (...) {
    for (MULTI_QI* entry : sent)
      if (entry->hr == kUnsettled) settle(*entry, RPC_E_INVALID_DATAPACKET);
    return overall(RPC_E_INVALID_DATAPACKET);
  }
  return overall(E_NOINTERFACE);
}

// --- factory -----------------------------------------------------------------

bool TnxClassProxyFactory::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxClassProxyFactory>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

HRESULT TnxClassProxyFactory::Supports(const TGUID& aClassID) { return TnxClassProxy::Supports(aClassID); }

HRESULT TnxClassProxyFactory::CreateProxy(IInterface* aOuter, InxChannelEntrance* aChannel, const TGUID& aClassID,
                                          const TnxRoutingPath& aPath, InxReader* aReader,
                                          TInterfacePtr<InxClassProxy>& aProxy) {
  aProxy = nullptr;
  if (!aChannel || !aReader) return E_INVALIDARG;
  if (aPath.empty()) return RPC_E_INVALID_OBJREF;
  if (const HRESULT result = TnxClassProxy::Supports(aClassID); result < 0) return result;
  const std::string key = aOuter ? std::string() : KeyOf(aPath);
  TnxPadlockGuard guard(cpfPadlock);
  if (!key.empty()) {
    auto it = cpfMapping.find(key);
    if (it != cpfMapping.end() && it->second->TryAddRef()) {
      TInterfacePtr<InxClassProxy> live = TInterfacePtr<InxClassProxy>::Attach(it->second);
      aReader->ReadInteger();  // the reference's version, as a new proxy reads it
      const HRESULT result = live->ReferenceReceived(aChannel, aPath);
      aProxy = std::move(live);
      return result;
    }
  }
  auto* proxy = nxCreate<TnxClassProxy>(*this, aOuter, aChannel, aClassID, aPath, aReader, key);
  TInterfacePtr<InxClassProxy> held(proxy);
  if (!key.empty()) cpfMapping[key] = proxy;
  aProxy = std::move(held);
  return S_OK;
}

TInterfacePtr<IInterface> nxClassProxyEntry(InxClassProxy* aProxy) {
  if (!aProxy) return nullptr;
  // A cross-cast: the entry is no interface that a query could reach, since
  // every query of an aggregated proxy goes to its outer object.
  if (auto* aggregated = dynamic_cast<TnxAggregatableObject*>(aProxy); aggregated && aggregated->Host())
    return TInterfacePtr<IInterface>(aggregated->InnerInterface());
  return platform::Supports<IInterface>(static_cast<IInterface*>(aProxy));
}

int32_t nxLiveClassProxyCount() noexcept { return gLiveProxies.load(std::memory_order_relaxed); }

// --- registration ------------------------------------------------------------

namespace {
TInterfacePtr<InxClassProxyFactoryControl> gDefaultProxyControl;
}  // namespace

void nxClassProxiesStartup() {
  const TInterfacePtr<InxClassProxyFactory> factory(nxCreate<TnxClassProxyFactory>());
  TInterfacePtr<InxClassProxyFactoryControl> control;
  if (nxClassProxyFactoryRegistry()->RegisterClassProxyFactory(nxDefaultClassStubID, factory.Get(), control) != S_OK)
    return;
  control->RegisterGeneric(0);
  gDefaultProxyControl = std::move(control);
}

void nxClassProxiesShutdown() {
  if (!gDefaultProxyControl) return;
  gDefaultProxyControl->Unregister();
  gDefaultProxyControl = nullptr;
}

}  // namespace revurov
