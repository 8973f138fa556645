// A pooled transport without a medium: a scan finds no server and no client
// connection can be made (the pooled
// transport's own btCreateClientConnection). Test transports derive from it
// and add only what their tests look at.
#pragma once

#include <string>

#include "transport/pooled_transport.h"
#include "transport/server_discovery.h"

namespace revurov::testing {

class TStubPooledTransport : public TnxBasePooledTransport {
  REVUROV_COMPONENT_CLASS(TStubPooledTransport, TnxBasePooledTransport)
  using TnxBasePooledTransport::TnxBasePooledTransport;

  platform::TInterfacePtr<InxActiveBroadcast> BeginBroadcast(InxBroadcastReplyHandler*, int32_t) override {
    return platform::TInterfacePtr<InxActiveBroadcast>(nxCreate<TnxNullActiveBroadcast>());
  }
};

}  // namespace revurov::testing
