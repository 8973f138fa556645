// A command handler that answers every request with its own data, as the
// plain-socket peers of the transport benchmarks do: no bookkeeping of a
// test double in the measured path.
#pragma once

#include <atomic>
#include <string>

#include "transport/base_transport.h"
#include "transport/command_handler.h"

namespace revurov::bench {

class TEchoHandler : public TnxBaseCommandHandler {
  REVUROV_COMPONENT_CLASS(TEchoHandler, TnxBaseCommandHandler)
  using TnxBaseCommandHandler::TnxBaseCommandHandler;

  uint32_t bchAddSession(TnxBaseTransport*, const std::u16string&, const std::u16string&, const std::u16string&,
                         int32_t, int32_t, TnxSessionID& aSessionID, int32_t& aServerVersion) override {
    aSessionID = ++ehLastSession;
    aServerVersion = 47501;
    return 0;
  }
  uint32_t bchRemoveSession(TnxBaseTransport*, TnxSessionID) override { return 0; }
  void bchHandleMessage(const TnxDataMessage& aMessage) override {
    TnxBaseTransport::Reply(aMessage.dmMsg, 0, aMessage.dmData.get(), static_cast<int32_t>(aMessage.dmDataLen));
  }
  platform::TGUID GetServerGUID() const override { return {}; }

private:
  std::atomic<TnxSessionID> ehLastSession{0};
};

}  // namespace revurov::bench
