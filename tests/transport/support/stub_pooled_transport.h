// A pooled transport whose medium-specific operations do nothing: a scan
// finds no server, a connection attempt fails with nxeLostConnection and
// requests go nowhere. Test transports derive from it and add only what
// their tests look at.
#pragma once

#include <string>

#include "lowlevel/errors/error_codes.h"
#include "transport/pooled_transport.h"
#include "transport/server_discovery.h"

namespace revurov::testing {

class TStubPooledTransport : public TnxBasePooledTransport {
  REVUROV_COMPONENT_CLASS(TStubPooledTransport, TnxBasePooledTransport)
  using TnxBasePooledTransport::TnxBasePooledTransport;

  platform::TInterfacePtr<InxActiveBroadcast> BeginBroadcast(InxBroadcastReplyHandler*, int32_t) override {
    return platform::TInterfacePtr<InxActiveBroadcast>(nxCreate<TnxNullActiveBroadcast>());
  }
  uint32_t EstablishConnection(TnxTransportID, const std::u16string&, const std::u16string&, int32_t, int32_t,
                               int32_t&, TnxSessionID&) override {
    return nxeLostConnection;
  }
  void Request(TnxTransportID, TnxSessionID, TnxThreadPriority, TnxMsgID, uint32_t, const void*, int32_t,
               TnxReplyCallback, void*) override {}
  void Post(TnxTransportID, TnxSessionID, TnxThreadPriority, TnxMsgID, const void*, int32_t, uint32_t) override {}
  void Broadcast(TnxMsgID, TnxThreadPriority, const void*, int32_t, uint32_t) override {}
  void TerminateConnection(TnxTransportID, TnxSessionID, uint32_t) override {}
};

}  // namespace revurov::testing
