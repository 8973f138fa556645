// The calling side of one remotely used interface: the interface proxy that
// turns a method call into an interface-level request through its class
// proxy, and the factory that makes one.
//
// Contract:
// - A proxy reads the stub's version first; below MinStubVersion it answers
//   RPC_E_VERSION_MISMATCH and nothing is handed out. Calls speak the
//   smaller of Version and the stub's version.
// - The proxy counts itself (its class proxy holds it). The interface it
//   implements for callers is a member object whose AddRef and Release go to
//   the class proxy and whose query asks the proxy first, then the class
//   proxy: a caller holding it holds the whole class proxy.
// - TnxInterfaceProxyFactoryOf<T> makes T through T::Supports, then
//   T(aClassID, aInterfaceID, aStubID, aClassProxy, aReader, aResult).
#pragma once

#include <cstdint>

#include "lowlevel/objects/interfaced_object.h"
#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/remoting_interfaces.h"

namespace revurov {

class TnxInterfaceProxy : public TnxInterfacedObject, public InxInterfaceProxy {
public:
  // aClassProxy is not counted: it owns this proxy.
  TnxInterfaceProxy(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                    const platform::TGUID& aStubID, InxClassProxy* aClassProxy, InxReader* aReader,
                    platform::HRESULT& aResult);

  static platform::HRESULT Supports(const platform::TGUID&, const platform::TGUID&) { return platform::S_OK; }
  int32_t StubVersion() const noexcept { return pxStubVersion; }
  // RPC_E_VERSION_MISMATCH when the stub is older than this proxy accepts.
  platform::HRESULT CheckStubVersion() const {
    return pxStubVersion < MinStubVersion() ? platform::RPC_E_VERSION_MISMATCH : platform::S_OK;
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
  virtual int32_t Version() const { return 2; }
  virtual int32_t MinStubVersion() const { return 1; }
  platform::HRESULT CreateCall(int32_t aCallKind, int32_t& aVersion, platform::TInterfacePtr<InxWriter>& aWriter);
  platform::HRESULT SendCall(InxWriter* aWriter, platform::TInterfacePtr<InxReader>& aReader);
  // The proxied interfaces of a subclass; E_NOINTERFACE in the base.
  virtual platform::HRESULT QueryProxy(const platform::TGUID& aIID, void** aObj) noexcept;

  // The proxied interface I as a member: counts on the class proxy.
  template <class I>
  class TnxProxied : public I {
  public:
    explicit TnxProxied(TnxInterfaceProxy& aOwner) noexcept : pOwner(&aOwner) {}
    platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
      return pOwner->QueryProxied(iid, obj);
    }
    int32_t AddRef() noexcept override { return pOwner->pxClassProxy->AddRef(); }
    int32_t Release() noexcept override { return pOwner->pxClassProxy->Release(); }

  protected:
    TnxInterfaceProxy* pOwner;
  };

  platform::TGUID pxClassID;
  platform::TGUID pxInterfaceID;
  platform::TGUID pxStubID;
  InxClassProxy* pxClassProxy;
  int32_t pxStubVersion = 0;

private:
  platform::HRESULT QueryProxied(const platform::TGUID& iid, void** obj) noexcept;
};

template <class T>
class TnxInterfaceProxyFactoryOf final : public TnxInterfacedObject, public InxInterfaceProxyFactory {
public:
  platform::HRESULT Supports(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID) override {
    return T::Supports(aClassID, aInterfaceID);
  }
  platform::HRESULT CreateProxy(const platform::TGUID& aProxyID, const platform::TGUID& aClassID,
                                const platform::TGUID& aInterfaceID, InxClassProxy* aClassProxy, InxReader* aReader,
                                platform::TInterfacePtr<InxInterfaceProxy>& aProxy) override {
    aProxy = nullptr;
    if (!aClassProxy || !aReader) return platform::E_INVALIDARG;
    platform::HRESULT result = T::Supports(aClassID, aInterfaceID);
    if (result < 0) return result;
    result = platform::S_OK;
    T* made = nxCreate<T>(aClassID, aInterfaceID, aProxyID, aClassProxy, aReader, result);
    platform::TInterfacePtr<InxInterfaceProxy> proxy(static_cast<InxInterfaceProxy*>(made));
    if (result >= 0) result = made->CheckStubVersion();
    if (result >= 0) aProxy = std::move(proxy);
    return result;
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInterfaceProxyFactory>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

}  // namespace revurov
