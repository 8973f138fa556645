// The hand-written interface proxy and stub of InxClassActivator: a class
// activator in another process, called as if it were here. The outer object
// and the made object travel as object references.
//
// Contract:
// - Method index 4 only (anything else: RPC_E_INVALIDMETHOD); arguments:
//   GUID class, Boolean outer given, the outer as a reference when given,
//   GUID interface. Reply: the made interface as a reference.
// - Registered at start-up for InxClassActivator under
//   nxClassActivatorProxyID in both interface registries.
#pragma once

#include "lowlevel/objects/utils_system.h"
#include "platform/guid.h"
#include "transport/remoting/interface_proxies.h"
#include "transport/remoting/interface_stubs.h"

namespace revurov {

inline constexpr platform::TGUID nxClassActivatorProxyID = platform::nxGuid("{EEFAEBEB-124E-4B84-9F0E-3A1388ED9A2A}");
inline constexpr int32_t nxActivatorCreateInstance = 4;

class TnxClassActivatorInterfaceProxy final : public TnxInterfaceProxy {
public:
  using TnxInterfaceProxy::TnxInterfaceProxy;

protected:
  platform::HRESULT QueryProxy(const platform::TGUID& aIID, void** aObj) noexcept override;

private:
  class TnxActivator final : public TnxProxied<InxClassActivator> {
  public:
    using TnxProxied::TnxProxied;
    platform::HRESULT CreateInstance(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                     const platform::TGUID& aInterfaceID,
                                     platform::TInterfacePtr<platform::IInterface>& aInterface) override;
  };

  platform::HRESULT CreateRemote(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                 const platform::TGUID& aInterfaceID,
                                 platform::TInterfacePtr<platform::IInterface>& aInterface);

  TnxActivator apActivator{*this};
};

class TnxClassActivatorInterfaceStub final : public TnxInterfaceStub {
public:
  TnxClassActivatorInterfaceStub(const platform::TGUID& aClassID, const platform::TGUID& aInterfaceID,
                                 platform::IInterface* aInterface, platform::HRESULT&)
      : TnxInterfaceStub(aClassID, aInterfaceID, aInterface) {}

protected:
  platform::HRESULT InvokeMethod(InxChannelExit* aExit, InxClassStub* aClassStub, int32_t aVersion,
                                 int32_t aMethodIndex, InxReader* aReader, InxWriter* aWriter) override;
};

// The unit pair in the remoting start-up table.
void nxClassActivatorPairStartup();
void nxClassActivatorPairShutdown();

}  // namespace revurov
