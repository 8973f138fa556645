#include "transport/command_handler.h"

#include "lowlevel/errors/error_codes.h"

namespace revurov {

const TnxComponentExceptionClass& TnxBaseCommandHandler::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxCommandHandlerException>();
}

uint32_t TnxBaseCommandHandler::bchAddSession(TnxBaseTransport*, const std::u16string&,
                                              const std::u16string&, const std::u16string&,
                                              int32_t, int32_t, TnxSessionID&, int32_t&) {
  RaiseError(nxeCapabilityNotSupported, u"bchAddSession not supported by TnxBaseCommandHandler");
}

uint32_t TnxBaseCommandHandler::bchRemoveSession(TnxBaseTransport*, TnxSessionID) { return 0; }

void TnxBaseCommandHandler::bchSessionFailed(TnxBaseTransport* aTransport, TnxSessionID aSessionID) {
  bchNotifySessionFailed(aTransport, aSessionID, nxLibraryClientVersion);
}

void TnxBaseCommandHandler::bchNotifyAddSession(TnxBaseTransport*, TnxSessionID, int32_t) {}
void TnxBaseCommandHandler::bchNotifyRemoveSession(TnxBaseTransport*, TnxSessionID, int32_t) {}
void TnxBaseCommandHandler::bchNotifySessionFailed(TnxBaseTransport*, TnxSessionID, int32_t) {}
void TnxBaseCommandHandler::bchHandleMessage(const TnxDataMessage&) {}

}  // namespace revurov
