#include "transport/remoting/invoke_registry.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "lowlevel/sync/read_write_portal.h"
#include "platform/os_error.h"
#include "platform/text.h"
#include "transport/remoting/class_proxies.h"
#include "transport/remoting/interface_stubs.h"
#include "transport/remoting/value_marshalling.h"

namespace revurov {

using platform::E_NOINTERFACE;
using platform::HRESULT;
using platform::IInterface;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

// ---- safecall errors ----

void nxRaiseSafeCallError(HRESULT aResult) {
  TInterfacePtr<platform::IErrorInfo> info;
  if (platform::nxGetErrorInfo(info) == S_OK && info) {
    std::u16string description, source, helpFile;
    uint32_t helpContext = 0;
    info->GetDescription(description);
    info->GetSource(source);
    info->GetHelpFile(helpFile);
    info->GetHelpContext(helpContext);
    if (description.empty()) description = platform::SysErrorMessage(uint32_t(aResult));
    throw EOleException(description, aResult, source, helpFile, helpContext);
  }
  char hex[16];
  std::snprintf(hex, sizeof hex, "%.8X", unsigned(uint32_t(aResult)));
  throw EOleSysError(u"OLE-Fehler " + platform::Utf8ToUtf16(hex), aResult);
}

HRESULT nxSafeCallFailure(IInterface* aObject) noexcept {
  if (auto* cls = dynamic_cast<TnxClass*>(aObject)) return cls->SafeCallException();
  HRESULT result = platform::E_UNEXPECTED;
  try {
    std::u16string message, source;
    try {
      throw;
    } catch (const EOleException& e) {
      result = e.ErrorCode();
      message = e.Message();
      source = e.Source();
    } catch (const EOleSysError& e) {
      result = e.ErrorCode();
      message = e.Message();
    } catch (const platform::Exception& e) {
      message = e.Message();
      source = e.ClassName();
    } catch (const std::exception& e) {
      message = platform::Utf8ToUtf16(e.what());
    } catch (...) {
    }
    const TInterfacePtr<platform::ICreateErrorInfo> info = platform::nxCreateErrorInfo();
    info->SetGUID(platform::GUID_NULL);
    info->SetSource(source);
    info->SetDescription(message);
    platform::nxSetErrorInfo(platform::Supports<platform::IErrorInfo>(info));
  } catch (...) {
    // The result stands without its error information.
  }
  return result;
}

// ---- dynamic invoke stub ----

HRESULT TnxDynamicInvokeStub::OuterQueryInterface(const TGUID& iid, void** obj) noexcept {
  if (!disDispatcher) return InnerQueryInterface(iid, obj);
  if (iid == disMetaData->imdInterfaceID) {
    OuterAddRef();
    *obj = ImplementedInterface();
    return S_OK;
  }
  if (iid == InxInvokeDispatcher::IID) {
    disDispatcher->AddRef();
    *obj = disDispatcher;
    return S_OK;
  }
  return disDispatcher->QueryInterface(iid, obj);
}

HRESULT TnxDynamicInvokeStub::InnerQueryInterface(const TGUID& iid, void** obj) noexcept {
  if (iid == disMetaData->imdInterfaceID) {
    InnerAddRef();
    *obj = ImplementedInterface();
    return S_OK;
  }
  return TnxAggregatableObject::InnerQueryInterface(iid, obj);
}

bool TnxDynamicInvokeStub::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxInvokeStub>(this, iid, obj) || nxOfferInterface<InxInvokeHasIntfMetaData>(this, iid, obj) ||
         TnxAggregatableObject::GetInterface(iid, obj);
}

void TnxDynamicInvokeStub::DispatchCall(const TnxIntfMethEntry& aMethod, void** aParams) {
  if (!disDispatcher) throw EOleSysError(u"The dynamic invoke stub has no dispatcher", platform::E_UNEXPECTED);
  disDispatcher->Dispatch(&aMethod, aParams);
}

const TnxIntfMethEntry& TnxDynamicInvokeStub::MethodNamed(const char16_t* aName) const {
  for (const TnxIntfMethEntry& m : disMetaData->imdMethods)
    if (m.imeName == aName) return m;
  throw platform::Exception(u"Method \"" + std::u16string(aName) + u"\" is not declared");
}

TInterfacePtr<IInterface> nxTakeInvokeStub(InxInvokeStub* aStub) noexcept {
  auto* stub = dynamic_cast<TnxDynamicInvokeStub*>(aStub);
  if (!stub || !stub->Dispatcher()) return TInterfacePtr<IInterface>(aStub);
  return TInterfacePtr<IInterface>::Attach(stub->InnerInterface());
}

// ---- call frames ----

namespace {

class TnxBaseCallFrame : public TnxInterfacedObject, public InxCallFrame {
public:
  TnxBaseCallFrame(const TnxIntfMethEntry& aMethod, void** aParams, IInterface* aInterface)
      : bcfMethod(&aMethod), bcfParams(aParams), bcfInterface(aInterface) {}

  const TnxIntfMethEntry* GetMethEntry() override { return bcfMethod; }
  HRESULT CopyFrom(void** aValues) override {
    if (!aValues) return platform::E_INVALIDARG;
    for (const TnxIntfParamEntry& p : bcfMethod->imeParams) {
      if (p.ipeOrgPos == nxOrgPosSelf) continue;
      if (const HRESULT r = nxCopyTypedValue(*p.ipeInfo, aValues[p.ipePos], bcfParams[p.ipePos]); r < 0) return r;
    }
    if (bcfMethod->imeResultIn >= riEAX && bcfMethod->imeResult.ipeInfo) {
      const uint32_t last = bcfMethod->imeParamCount;
      return nxCopyTypedValue(*bcfMethod->imeResult.ipeInfo, aValues[last], bcfParams[last]);
    }
    return S_OK;
  }
  HRESULT Execute() override {
    // The Self entry names the interface the call goes to.
    *static_cast<void**>(bcfParams[bcfMethod->imeSelfParam]) = bcfInterface.Get();
    return bcfMethod->imeOps->moCall(bcfInterface.Get(), *bcfMethod, bcfParams);
  }

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxCallFrame>(this, iid, obj) || nxOfferInterface<InxInvokeHasIntfMethEntry>(this, iid, obj) ||
           TnxInterfacedObject::GetInterface(iid, obj);
  }

  const TnxIntfMethEntry* bcfMethod;
  void** bcfParams;
  TInterfacePtr<IInterface> bcfInterface;
};

// The frame's own values and pointer array.
class TnxAllocatedCallFrame : public TnxBaseCallFrame {
public:
  TnxAllocatedCallFrame(const TnxIntfMethEntry& aMethod, IInterface* aInterface)
      : TnxBaseCallFrame(aMethod, nullptr, aInterface), acfParams(aMethod.imeParamCount + 1, nullptr) {
    acfValues = aMethod.imeOps->moAllocate(aMethod, acfParams.data());
    bcfParams = acfParams.data();
  }
  ~TnxAllocatedCallFrame() override { bcfMethod->imeOps->moFree(acfValues); }
  void** Params() noexcept { return acfParams.data(); }

private:
  std::vector<void*> acfParams;
  void* acfValues = nullptr;
};

template <class Base>
class TnxDispatchedFrame final : public Base {
public:
  template <class... A>
  explicit TnxDispatchedFrame(InxInvokeDispatcher* aDispatcher, A&&... aArgs)
      : Base(std::forward<A>(aArgs)...), dcfDispatcher(aDispatcher) {}
  HRESULT Execute() override {
    dcfDispatcher->Dispatch(this->bcfMethod, this->bcfParams);
    return S_OK;
  }

private:
  TInterfacePtr<InxInvokeDispatcher> dcfDispatcher;
};

}  // namespace

// ---- dynamic invoke proxy ----

TnxDynamicInvokeProxy::TnxDynamicInvokeProxy(const TnxIntfMetaData& aMetaData, IInterface* aInterface)
    : ipMetaData(&aMetaData), ipInterface(aInterface) {
  ipDispatcher = platform::Supports<InxInvokeDispatcher>(aInterface);
}

TnxDynamicInvokeProxy::~TnxDynamicInvokeProxy() = default;

bool TnxDynamicInvokeProxy::GetInterface(const TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxInvokeProxy>(this, iid, obj) || nxOfferInterface<InxInvokeHasIntfMetaData>(this, iid, obj) ||
         TnxInterfacedObject::GetInterface(iid, obj);
}

bool TnxDynamicInvokeProxy::OwnMethod(const TnxIntfMethEntry* aMethod) const noexcept {
  if (!aMethod) return false;
  const auto& methods = ipMetaData->imdMethods;
  return aMethod->imePos >= 3 && aMethod->imePos < methods.size() && &methods[aMethod->imePos] == aMethod &&
         aMethod->imeOps;
}

TInterfacePtr<InxCallFrame> TnxDynamicInvokeProxy::MakeFrame(const TnxIntfMethEntry& aMethod, void** aParams) {
  if (aParams) {
    if (ipDispatcher)
      return TInterfacePtr<InxCallFrame>(nxCreate<TnxDispatchedFrame<TnxBaseCallFrame>>(
          ipDispatcher.Get(), aMethod, aParams, ipInterface.Get()));
    return TInterfacePtr<InxCallFrame>(nxCreate<TnxBaseCallFrame>(aMethod, aParams, ipInterface.Get()));
  }
  if (ipDispatcher)
    return TInterfacePtr<InxCallFrame>(nxCreate<TnxDispatchedFrame<TnxAllocatedCallFrame>>(
        ipDispatcher.Get(), aMethod, ipInterface.Get()));
  return TInterfacePtr<InxCallFrame>(nxCreate<TnxAllocatedCallFrame>(aMethod, ipInterface.Get()));
}

HRESULT TnxDynamicInvokeProxy::CreateCallFrame(int32_t aIndex, const TnxIntfMethEntry*& aMethod,
                                               TInterfacePtr<InxCallFrame>& aFrame, void**& aParams) {
  aMethod = nullptr;
  aFrame = nullptr;
  aParams = nullptr;
  const auto& methods = ipMetaData->imdMethods;
  if (aIndex < 3 || size_t(aIndex) >= methods.size() || !methods[size_t(aIndex)].imeOps) return RPC_E_INVALIDMETHOD;
  aMethod = &methods[size_t(aIndex)];
  aFrame = MakeFrame(*aMethod, nullptr);
  aParams = static_cast<TnxAllocatedCallFrame*>(dynamic_cast<TnxBaseCallFrame*>(aFrame.Get()))->Params();
  return S_OK;
}

HRESULT TnxDynamicInvokeProxy::CreateCallFrameFor(const TnxIntfMethEntry* aMethod, void** aParams,
                                                  TInterfacePtr<InxCallFrame>& aFrame) {
  aFrame = nullptr;
  if (!OwnMethod(aMethod)) return RPC_E_INVALIDMETHOD;
  if (!aParams) return platform::E_INVALIDARG;
  aFrame = MakeFrame(*aMethod, aParams);
  return S_OK;
}

HRESULT TnxDynamicInvokeProxy::CreateCallFrameFrom(const TnxIntfMethEntry* aMethod, void** aValues,
                                                   TInterfacePtr<InxCallFrame>& aFrame, void**& aParams) {
  aFrame = nullptr;
  aParams = nullptr;
  if (!OwnMethod(aMethod)) return RPC_E_INVALIDMETHOD;
  TInterfacePtr<InxCallFrame> frame = MakeFrame(*aMethod, nullptr);
  if (const HRESULT r = frame->CopyFrom(aValues); r < 0) return r;
  aParams = static_cast<TnxAllocatedCallFrame*>(dynamic_cast<TnxBaseCallFrame*>(frame.Get()))->Params();
  aFrame = std::move(frame);
  return S_OK;
}

// ---- factories and registry ----

namespace {

class TnxDynamicInvokeStubFactory final : public TnxInterfacedObject, public InxInvokeStubFactory {
public:
  explicit TnxDynamicInvokeStubFactory(const TnxIntfMetaData& aMeta) : disfMetaData(&aMeta) {}
  const TnxIntfMetaData* GetMetaData() override { return disfMetaData; }
  HRESULT CreateStub(InxInvokeDispatcher* aDispatcher, TInterfacePtr<InxInvokeStub>& aStub) override {
    aStub = nullptr;
    if (!disfMetaData->imdMakeStub) return E_NOINTERFACE;
    TnxDynamicInvokeStub* stub = disfMetaData->imdMakeStub(*disfMetaData, aDispatcher);
    if (!stub) return E_NOINTERFACE;
    // With a dispatcher every reference through the stub's interfaces is
    // the dispatcher's: the stub's own life is the one reference taken
    // here, for nxTakeInvokeStub.
    if (aDispatcher) stub->InnerInterface()->AddRef();
    aStub = TInterfacePtr<InxInvokeStub>(static_cast<InxInvokeStub*>(stub));
    return S_OK;
  }

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInvokeStubFactory>(this, iid, obj) ||
           nxOfferInterface<InxInvokeHasIntfMetaData>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  const TnxIntfMetaData* disfMetaData;
};

class TnxDynamicInvokeProxyFactory final : public TnxInterfacedObject, public InxInvokeProxyFactory {
public:
  explicit TnxDynamicInvokeProxyFactory(const TnxIntfMetaData& aMeta) : dipfMetaData(&aMeta) {}
  const TnxIntfMetaData* GetMetaData() override { return dipfMetaData; }
  HRESULT CreateProxy(IInterface* aInterface, TInterfacePtr<InxInvokeProxy>& aProxy) override {
    aProxy = nullptr;
    if (!aInterface) return platform::E_INVALIDARG;
    void* target = nullptr;
    if (const HRESULT r = aInterface->QueryInterface(dipfMetaData->imdInterfaceID, &target); r < 0 || !target)
      return r < 0 ? r : E_NOINTERFACE;
    // Only whether the object has it: calls ask for their own interface.
    aInterface->Release();
    aProxy = TInterfacePtr<InxInvokeProxy>(nxCreate<TnxDynamicInvokeProxy>(*dipfMetaData, aInterface));
    return S_OK;
  }

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInvokeProxyFactory>(this, iid, obj) ||
           nxOfferInterface<InxInvokeHasIntfMetaData>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  const TnxIntfMetaData* dipfMetaData;
};

class TnxInvokeWrapper;

// Between a wrapped interface's stub and the real interface: every call
// goes to the interceptor with a frame over the real method.
class TnxInvokeWrapperDispatcher final : public TnxInterfacedObject, public InxInvokeDispatcher {
public:
  TnxInvokeWrapperDispatcher(IInterface* aWrapper, InxInvokeInterceptor* aInterceptor, InxInvokeProxy* aProxy)
      : iwdWrapper(aWrapper), iwdInterceptor(aInterceptor), iwdProxy(aProxy) {}

  HRESULT QueryInterface(const TGUID& iid, void** obj) noexcept override {
    if (iid == InxInvokeDispatcher::IID) return TnxInterfacedObject::QueryInterface(iid, obj);
    return iwdWrapper->QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return iwdWrapper->AddRef(); }
  int32_t Release() noexcept override { return iwdWrapper->Release(); }

  void Dispatch(const TnxIntfMethEntry* aMethod, void** aParams) override {
    TInterfacePtr<InxCallFrame> frame;
    HRESULT r = iwdProxy->CreateCallFrameFor(aMethod, aParams, frame);
    if (r < 0) throw EOleSysError(u"The call frame cannot be made", r);
    r = iwdInterceptor->Intercept(aMethod, aParams, frame.Get());
    if (r == 0) return;
    if (aMethod->imeResultIn == riEAXHRESULT) {
      *static_cast<HRESULT*>(aParams[aMethod->imeParamCount]) = r;
      return;
    }
    nxRaiseSafeCallError(r);
  }

  int32_t OwnRelease() noexcept { return TnxInterfacedObject::Release(); }
  int32_t OwnAddRef() noexcept { return TnxInterfacedObject::AddRef(); }

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInvokeDispatcher>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  IInterface* iwdWrapper;  // not counted: it owns this dispatcher
  TInterfacePtr<InxInvokeInterceptor> iwdInterceptor;
  TInterfacePtr<InxInvokeProxy> iwdProxy;
};

class TnxInvokeWrapper final : public TnxInterfacedObject {
public:
  TnxInvokeWrapper(InxInvokeRegistry& aRegistry, IInterface* aInterface, InxInvokeInterceptor* aInterceptor)
      : iwRegistry(&aRegistry), iwInterface(aInterface), iwInterceptor(aInterceptor) {}
  ~TnxInvokeWrapper() override {
    // Stubs first: their interfaces count on the dispatchers' wrapper.
    iwStubRefs.clear();
    for (TnxInvokeWrapperDispatcher* d : iwDispRefs) d->OwnRelease();
  }

  HRESULT QueryInterface(const TGUID& iid, void** obj) noexcept override {
    *obj = nullptr;
    if (GetInterface(iid, obj)) return S_OK;
    {
      TnxPortalReadGuard read(iwPortal);
      if (auto it = iwStubs.find(platform::GUIDToString(iid)); it != iwStubs.end()) {
        AddRef();  // what a wrapped interface counts on
        *obj = it->second;
        return S_OK;
      }
    }
    try {
      TnxPortalWriteGuard write(iwPortal);
      if (auto it = iwStubs.find(platform::GUIDToString(iid)); it != iwStubs.end()) {
        AddRef();
        *obj = it->second;
        return S_OK;
      }
      void* asked = nullptr;
      HRESULT r = iwInterface->QueryInterface(iid, &asked);
      if (r < 0 || !asked) return r < 0 ? r : E_NOINTERFACE;
      // Only whether the object has it: the proxy queries again.
      iwInterface->Release();
      TInterfacePtr<InxInvokeProxy> proxy;
      r = iwRegistry->CreateProxy(iid, iwInterface.Get(), proxy);
      if (r < 0) return r;
      auto* dispatcher = nxCreate<TnxInvokeWrapperDispatcher>(this, iwInterceptor.Get(), proxy.Get());
      dispatcher->OwnAddRef();
      TInterfacePtr<InxInvokeStub> stub;
      r = iwRegistry->CreateStub(iid, dispatcher, stub);
      void* wrapped = nullptr;
      if (r >= 0) r = stub->QueryInterface(iid, &wrapped);
      if (r < 0 || !wrapped) {
        stub = nullptr;
        dispatcher->OwnRelease();
        return r < 0 ? r : E_NOINTERFACE;
      }
      // The stub's interface counts on this wrapper; the table keeps it
      // without a count, the stub lives by the reference taken here.
      iwStubs.emplace(platform::GUIDToString(iid), wrapped);
      iwStubRefs.push_back(nxTakeInvokeStub(stub.Get()));
      stub = nullptr;
      iwDispRefs.push_back(dispatcher);
      *obj = wrapped;
      return S_OK;
    } catch (...) {
      return platform::E_UNEXPECTED;
    }
  }

private:
  InxInvokeRegistry* iwRegistry;  // the process-wide registry outlives its wrappers
  TInterfacePtr<IInterface> iwInterface;
  TInterfacePtr<InxInvokeInterceptor> iwInterceptor;
  TnxInternalReadWritePortal iwPortal;
  std::map<std::u16string, void*> iwStubs;  // braced ID text → the interface
  std::vector<TInterfacePtr<IInterface>> iwStubRefs;
  std::vector<TnxInvokeWrapperDispatcher*> iwDispRefs;
};

class TnxInvokeRegistry final : public TnxInterfacedObject, public InxInvokeRegistry {
public:
  int32_t RegisterInterface(const TnxInterfaceDecl* aDecl) override {
    if (!aDecl) throw platform::Exception(u"no type info");
    TnxPortalWriteGuard write(irPortal);
    return Register(*aDecl);
  }
  void RegisterStubFactory(InxInvokeStubFactory* aFactory) override {
    if (!aFactory || !aFactory->GetMetaData()) return;
    TnxPortalWriteGuard write(irPortal);
    EntryFor(*aFactory->GetMetaData()).stubs = aFactory;
  }
  void RegisterProxyFactory(InxInvokeProxyFactory* aFactory) override {
    if (!aFactory || !aFactory->GetMetaData()) return;
    TnxPortalWriteGuard write(irPortal);
    EntryFor(*aFactory->GetMetaData()).proxies = aFactory;
  }
  HRESULT IsRegistered(const TGUID& aIID) override {
    TnxPortalReadGuard read(irPortal);
    const TEntry* entry = Find(aIID);
    return entry && entry->meta->imdHasRTTI ? S_OK : S_FALSE;
  }
  HRESULT CreateStub(const TGUID& aIID, InxInvokeDispatcher* aDispatcher, TInterfacePtr<InxInvokeStub>& aStub) override {
    aStub = nullptr;
    TInterfacePtr<InxInvokeStubFactory> factory;
    {
      TnxPortalReadGuard read(irPortal);
      if (const TEntry* entry = Find(aIID)) factory = entry->stubs;
    }
    if (!factory) return E_NOINTERFACE;
    return factory->CreateStub(aDispatcher, aStub);
  }
  HRESULT CreateProxy(const TGUID& aIID, IInterface* aInterface, TInterfacePtr<InxInvokeProxy>& aProxy) override {
    aProxy = nullptr;
    TInterfacePtr<InxInvokeProxyFactory> factory;
    {
      TnxPortalReadGuard read(irPortal);
      if (const TEntry* entry = Find(aIID)) factory = entry->proxies;
    }
    if (!factory) return E_NOINTERFACE;
    return factory->CreateProxy(aInterface, aProxy);
  }
  HRESULT CreateWrapper(IInterface* aInterface, InxInvokeInterceptor* aInterceptor,
                        TInterfacePtr<IInterface>& aWrapper) override {
    aWrapper = nullptr;
    if (!aInterface || !aInterceptor) return platform::E_INVALIDARG;
    aWrapper = TInterfacePtr<IInterface>(
        static_cast<TnxInterfacedObject*>(nxCreate<TnxInvokeWrapper>(*this, aInterface, aInterceptor)));
    return S_OK;
  }
  HRESULT Enumerate(InxInvokeEnumCallback* aCallback) override {
    if (!aCallback) return platform::E_INVALIDARG;
    std::vector<const TnxIntfMetaData*> metas;
    {
      TnxPortalReadGuard read(irPortal);
      for (const TEntry& e : irEntries) metas.push_back(e.meta);
    }
    HRESULT result = S_OK;
    for (const TnxIntfMetaData* meta : metas) {
      result = aCallback->Found(meta);
      if (result < 0) break;
    }
    return result;
  }

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInvokeRegistry>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  struct TEntry {
    const TnxIntfMetaData* meta = nullptr;
    std::unique_ptr<TnxIntfMetaData> owned;  // a factory's copy
    TInterfacePtr<InxInvokeStubFactory> stubs;
    TInterfacePtr<InxInvokeProxyFactory> proxies;
  };

  const TEntry* Find(const TGUID& aIID) const {
    auto it = irKeys.find(platform::GUIDToString(aIID));
    return it == irKeys.end() ? nullptr : &irEntries[it->second];
  }

  int32_t Register(const TnxInterfaceDecl& aDecl) {
    const std::u16string key = aDecl.idMeta.Key();
    if (auto it = irKeys.find(key); it != irKeys.end()) return int32_t(it->second);
    if (aDecl.idParent) Register(*aDecl.idParent);
    TEntry entry;
    entry.meta = &aDecl.idMeta;
    if (aDecl.idMeta.imdHasRTTI) {
      entry.stubs = TInterfacePtr<InxInvokeStubFactory>(nxCreate<TnxDynamicInvokeStubFactory>(aDecl.idMeta));
      entry.proxies = TInterfacePtr<InxInvokeProxyFactory>(nxCreate<TnxDynamicInvokeProxyFactory>(aDecl.idMeta));
    }
    irEntries.push_back(std::move(entry));
    irKeys.emplace(key, irEntries.size() - 1);
    return int32_t(irEntries.size() - 1);
  }

  TEntry& EntryFor(const TnxIntfMetaData& aMeta) {
    const std::u16string key = aMeta.Key();
    if (auto it = irKeys.find(key); it != irKeys.end()) return irEntries[it->second];
    TEntry entry;
    entry.owned = std::make_unique<TnxIntfMetaData>(aMeta);
    entry.owned->imdInvokeStubFactory = nullptr;
    entry.owned->imdInvokeProxyFactory = nullptr;
    entry.meta = entry.owned.get();
    irEntries.push_back(std::move(entry));
    irKeys.emplace(key, irEntries.size() - 1);
    return irEntries.back();
  }

  TnxInternalReadWritePortal irPortal;
  std::deque<TEntry> irEntries;  // addresses stay put as it grows
  std::map<std::u16string, size_t> irKeys;
};

std::atomic<InxInvokeRegistry*> gRegistry{nullptr};

}  // namespace

TInterfacePtr<InxInvokeRegistry> nxInvokeRegistry() {
  InxInvokeRegistry* registry = gRegistry.load(std::memory_order_acquire);
  if (!registry) {
    auto* made = static_cast<InxInvokeRegistry*>(nxCreate<TnxInvokeRegistry>());
    made->AddRef();
    if (gRegistry.compare_exchange_strong(registry, made, std::memory_order_acq_rel)) {
      registry = made;
    } else {
      made->Release();
    }
  }
  return TInterfacePtr<InxInvokeRegistry>(registry);
}

void nxInvokeRegistryShutdown() noexcept {
  if (InxInvokeRegistry* registry = gRegistry.exchange(nullptr, std::memory_order_acq_rel)) registry->Release();
}

}  // namespace revurov
