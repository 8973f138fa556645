// TnxRemotingClient: creates objects in the server process of its session
// and hands out their interfaces through channel entrances and class
// proxies, as if they were local.
//
// Contract:
// - Needs a session that offers InxSessionRequests (RequiresSession); it
//   starts after the session and stops before it.
// - CreateInstance raises "This component must be started when performing
//   this operation." when not started; answers E_INVALIDARG for an outer
//   object with any interface but IInterface; the class proxy registry's
//   failure when no proxy serves the class; the server's result when it
//   refuses; else the proxy's answer to the interface asked for, and on
//   success aInterface holds the proxy's IInterface entry. With an outer
//   object the proxy is aggregated into it and aInterface is the proxy's
//   own entry (nxClassProxyEntry), for the outer object to keep. A transport
//   failure raises EnxBaseException with the transport's code.
// - The create-instance request offers at most nxMaxClassProxyIDs class
//   proxy IDs, the first ones the registry lists.
// - The class registers itself as a component class at the remoting
//   library's start-up (transport/remoting/startup.h).
#pragma once

#include <cstdint>

#include "platform/guid.h"
#include "platform/interface.h"
#include "transport/remoting/remoting_base.h"
#include "transport/remoting/remoting_interfaces.h"
#include "transport/session_requests.h"

namespace revurov {

inline constexpr int32_t nxMaxClassProxyIDs = 128;

class TnxRemotingClient : public TnxRemotingBase {
  REVUROV_COMPONENT_CLASS(TnxRemotingClient, TnxRemotingBase)
  explicit TnxRemotingClient(platform::TComponent* aOwner) : TnxRemotingBase(aOwner) {}

  bool RequiresSession() const override { return true; }

  platform::HRESULT CreateInstance(const platform::TGUID& aClassID, platform::IInterface* aOuter,
                                   const platform::TGUID& aInterfaceID,
                                   platform::TInterfacePtr<platform::IInterface>& aInterface) override;
  // The session component as InxSessionRequests; false without one.
  bool GetSessionRequests(platform::TInterfacePtr<InxSessionRequests>& aSession);
  platform::HRESULT CreateChannel(const platform::TGUID& aServerID, const platform::TGUID& aChannelID,
                                  platform::TInterfacePtr<InxChannelEntrance>& aEntrance);
};

// The unit pair in the remoting start-up table: registers the class.
void nxRemotingClientStartup();
void nxRemotingClientShutdown();

}  // namespace revurov
