// The receiver of requests on the listening side of a transport: sessions
// are opened and closed through it and every received request that is not
// a remoting call is handed to it.
//
// Command plug-ins are not part of this library, so the plug-in
// notifications and the offering of messages to plug-ins reach nobody: a
// handler that serves requests overrides bchHandleMessage.
#pragma once

#include <cstdint>
#include <string>

#include "lowlevel/components/state_component.h"
#include "transport/data_message_queue.h"
#include "transport/wire_header.h"

namespace revurov {

class TnxBaseTransport;

REVUROV_COMPONENT_EXCEPTION_CLASS(EnxCommandHandlerException, EnxStateComponentException);

// The client version the library reports for a session that failed.
inline constexpr int32_t nxLibraryClientVersion = 47501;

class TnxBaseCommandHandler : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TnxBaseCommandHandler, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;

  const TnxComponentExceptionClass& GetExceptionClass() const override;
  bool UISettingsVisible() const override { return false; }

  // Opens a session for a log-in; raises 12289 here.
  virtual uint32_t bchAddSession(TnxBaseTransport* aTransport, const std::u16string& aUserName,
                                 const std::u16string& aPassword,
                                 const std::u16string& aRemoteAddress, int32_t aTimeOut,
                                 int32_t aClientVersion, TnxSessionID& aSessionID,
                                 int32_t& aServerVersion);
  // 0 here.
  virtual uint32_t bchRemoveSession(TnxBaseTransport* aTransport, TnxSessionID aSessionID);
  virtual void bchSessionFailed(TnxBaseTransport* aTransport, TnxSessionID aSessionID);
  virtual void bchNotifyAddSession(TnxBaseTransport* aTransport, TnxSessionID aSessionID,
                                   int32_t aClientVersion);
  virtual void bchNotifyRemoveSession(TnxBaseTransport* aTransport, TnxSessionID aSessionID,
                                      int32_t aClientVersion);
  virtual void bchNotifySessionFailed(TnxBaseTransport* aTransport, TnxSessionID aSessionID,
                                      int32_t aClientVersion);
  // Runs on the transport thread that received the request; a reply goes
  // out through TnxBaseTransport::Reply on the same thread.
  virtual void bchHandleMessage(const TnxDataMessage& aMessage);
  virtual platform::TGUID GetServerGUID() const = 0;
  // The name of a listening transport that has none; empty here.
  virtual std::u16string bchGetServerName() const { return {}; }
};

}  // namespace revurov
