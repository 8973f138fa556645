// TCP on 127.0.0.1 as a row of the medium table: listeners take an
// ephemeral port, and transports and raw clients made afterwards dial the
// port the last listener (transport or scripted peer) took.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "platform/socket.h"
#include "transport/tcp_transport.h"

namespace revurov::testing {

inline std::atomic<uint16_t>& TcpMediumPort() {
  static std::atomic<uint16_t> port{0};
  return port;
}

// Listens on 127.0.0.1 when set to listen, else dials TcpMediumPort.
class TTcpMediumTransport : public TnxIPv4Transport {
  REVUROV_COMPONENT_CLASS(TTcpMediumTransport, TnxIPv4Transport)
  explicit TTcpMediumTransport(platform::TComponent* aOwner) : TnxIPv4Transport(aOwner) {
    platform::TStringList addresses;
    addresses.Add(u"127.0.0.1");
    SetListenAddresses(addresses);
  }
  void SetMode(TnxTransportMode aValue) override {
    TnxIPv4Transport::SetMode(aValue);
    SetPort(aValue == nxtmListen ? 0 : TcpMediumPort().load());
  }

protected:
  void DoStart() override {
    TnxIPv4Transport::DoStart();
    if (Mode() == nxtmListen) TcpMediumPort() = ListeningPort();
  }
};

// A listening socket on 127.0.0.1 whose accepted descriptors go to aAccept
// (which owns them from then on) until the listener goes.
class TTcpTestListener {
public:
  template <class Accept>
  explicit TTcpTestListener(Accept aAccept) {
    fd = platform::TcpListen({platform::kInet4Loopback, 0}, 64);
    platform::TInet4Address local;
    platform::SocketLocalAddress(fd, local);
    port = local.port;
    thread = std::thread([this, aAccept] {
      for (;;) {
        platform::TInet4Address remote;
        const int peer = platform::TcpAccept(fd, remote);
        if (peer < 0) return;
        aAccept(peer);
      }
    });
  }
  ~TTcpTestListener() {
    platform::ShutdownSocket(fd);
    thread.join();
    platform::CloseSocket(fd);
  }

  int fd = -1;
  uint16_t port = 0;
  std::thread thread;
};

}  // namespace revurov::testing
