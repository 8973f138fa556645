// The invokable interface proxy and stub: every interface the invoke
// registry knows with method information becomes remotely usable without
// code of its own. The proxy implements the interface through a dynamic
// invoke stub whose dispatcher it is; each call travels as the method's
// slot (and from call version 3 its name), its parameter count (up to
// version 2 its stack size) and its in-parameters as typed values (from 3
// each behind its name); the reply carries the var and out parameters, the
// result and, for safecall methods, the error information.
//
// Contract:
// - Both are registered under nxInvokableProxyID for every interface
//   (generic, priority 0) by the remoting start-up; Supports answers the
//   registry's IsRegistered.
// - The stub refuses a method slot outside 3 … count − 1 (RPC_E_INVALIDMETHOD),
//   a name, count or stack size that is not the method's, or a stream that
//   ends early (RPC_E_INVALID_DATAPACKET), a parameter name that is not the
//   parameter's (RPC_E_INVALID_PARAMETER), before it calls anything.
// - A failed call of a method without HRESULT result raises EOleSysError in
//   the caller; an HRESULT method answers the failure.
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/interface_proxies.h"
#include "transport/remoting/interface_stubs.h"
#include "transport/remoting/invoke_interfaces.h"

namespace revurov {

inline constexpr platform::TGUID nxInvokableProxyID = platform::nxGuid("{03D2E708-2A4C-477D-8EAD-214F46C7178F}");

class TnxInvokableInterfaceProxy : public TnxInterfaceProxy {
public:
  TnxInvokableInterfaceProxy(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                             const platform::TGUID& aStubID, InxClassProxy* aClassProxy, InxReader* aReader,
                             platform::HRESULT& aResult);
  ~TnxInvokableInterfaceProxy() override;

  static platform::HRESULT Supports(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID);

protected:
  int32_t Version() const override { return 3; }
  int32_t MinStubVersion() const override { return 1; }
  platform::HRESULT QueryProxy(const platform::TGUID& aIID, void** aObj) noexcept override;

private:
  void Dispatch(const TnxIntfMethEntry* aMethod, void** aParams);

  // The dispatcher the stub calls: counts on the class proxy like every
  // proxied interface.
  class TDispatcher final : public TnxProxied<InxInvokeDispatcher> {
  public:
    using TnxProxied::TnxProxied;
    void Dispatch(const TnxIntfMethEntry* aMethod, void** aParams) override {
      static_cast<TnxInvokableInterfaceProxy*>(pOwner)->Dispatch(aMethod, aParams);
    }
  };

  TDispatcher ipDispatcher{*this};
  platform::TInterfacePtr<platform::IInterface> ipStubOwner;
  InxInvokeStub* ipInvokeStub = nullptr;  // kept by ipStubOwner
};

class TnxInvokableInterfaceStub : public TnxInterfaceStub {
public:
  TnxInvokableInterfaceStub(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                            platform::IInterface* aInterface, platform::HRESULT& aResult);

  static platform::HRESULT Supports(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID);

protected:
  int32_t Version() const override { return 3; }
  int32_t MinVersion() const override { return 1; }
  platform::HRESULT InvokeMethod(InxChannelExit* aExit, InxClassStub* aClassStub, int32_t aVersion,
                                 int32_t aMethodIndex, InxReader* aReader, InxWriter* aWriter) override;

  platform::TInterfacePtr<InxInvokeProxy> isInvokeProxy;
};

void nxInvokablePairStartup();
void nxInvokablePairShutdown();

}  // namespace revurov
