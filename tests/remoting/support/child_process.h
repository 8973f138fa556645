// What a client child of the remoting tests does first.
#pragma once

#include <chrono>
#include <cstdint>

#include "platform/socket.h"
#include "remoting/support/remoting_doubles.h"
#include "support/spawned_child.h"
#include "support/within.h"
#include "transport/tcp_transport.h"

namespace revurov::testing {

// In a child: dials the parent's port until it listens (10 s at
// most), logs in as admin and attaches the session; false when that fails.
inline bool ChildLogIn(uint16_t aPort, TnxIPv4Transport& aClient, TTransportSession& aSession) {
  const bool listening = Within(std::chrono::seconds(10), [&] {
    const int probe = platform::TcpConnect({platform::kInet4Loopback, aPort}, 1000);
    platform::CloseSocket(probe);
    return probe >= 0;
  });
  if (!listening) return false;
  aClient.SetServerName(u"127.0.0.1");
  aClient.SetPort(aPort);
  aClient.SetHeartbeatInterval(0);
  aClient.SetCallbackThreadCount(1);
  aClient.SetActive(true);
  TnxSessionID id = 0;
  int32_t version = 0;
  if (aClient.EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, id) != 0) return false;
  aSession.Attach(&aClient, id);
  return true;
}

}  // namespace revurov::testing
