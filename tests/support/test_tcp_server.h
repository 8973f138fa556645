// A listening TCP transport on 127.0.0.1 (an ephemeral port) that serves
// through a TTestCommandHandler and carries out its "close the connection"
// answers: the reply the handler marked is not written, the connection is
// closed instead.
#pragma once

#include "platform/string_list.h"
#include "support/test_command_handler.h"
#include "transport/connection.h"
#include "transport/tcp_transport.h"
#include "transport/transport_exception.h"

namespace revurov::testing {

class TTestTcpServer : public TnxIPv4Transport {
  REVUROV_COMPONENT_CLASS(TTestTcpServer, TnxIPv4Transport)
  explicit TTestTcpServer(platform::TComponent* aOwner) : TnxIPv4Transport(aOwner) {
    platform::TStringList addresses;
    addresses.Add(u"127.0.0.1");
    SetListenAddresses(addresses);
    SetServerName(u"TestServer");
    SetMode(nxtmListen);
    SetPort(0);
    SetHeartbeatInterval(0);
  }

  void Write(TnxBaseConnection* aConnection, TnxTransportID aTransportID, TnxSessionID aSessionID,
             TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode,
             uint8_t aCompressType, uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    if (tlsCloseInsteadOfReply()) {
      tlsCloseInsteadOfReply() = false;
      aConnection->ForceDisconnect();
      throw EnxTransportException(nullptr, nxeLostConnection);
    }
    TnxIPv4Transport::Write(aConnection, aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode,
                            aCompressType, aUncompressedSize, aBuffer, aBufferSize);
  }
};

}  // namespace revurov::testing
