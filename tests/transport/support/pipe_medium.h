// Pipes as a row of the medium table: every test process takes a port of
// its own (its process id), so that tests running side by side in one
// network namespace never meet on a pipe name.
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "platform/local_socket.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "transport/named_pipe_transport.h"

namespace revurov::testing {

inline uint16_t PipeMediumPort() { return static_cast<uint16_t>(1024 + platform::CurrentProcessId() % 60000); }
// A port no test process has as its own (the one after ours has
// PipeMediumPort() + 1).
inline constexpr uint16_t kPipePortOfNobody = 65001;

inline std::string PipeAddress(const std::u16string& aServer, uint16_t aPort = PipeMediumPort()) {
  return platform::Utf16ToUtf8(nxPipeName(u".", aPort, aServer));
}

// A connected end as a pooled client's would be once the server took it;
// -1 when nobody serves the name or the server turned it down.
inline int DialPipe(const std::u16string& aServer, uint16_t aPort = PipeMediumPort()) {
  const int fd = platform::LocalConnect(PipeAddress(aServer, aPort));
  if (fd < 0) return -1;
  uint8_t ready = 0;
  if (!platform::WaitReadable(fd, 3000) || platform::SocketRead(fd, &ready, 1) != 1) {
    platform::CloseSocket(fd);
    return -1;
  }
  return fd;
}

class TPipeMediumTransport : public TnxNamedPipeTransport {
  REVUROV_COMPONENT_CLASS(TPipeMediumTransport, TnxNamedPipeTransport)
  explicit TPipeMediumTransport(platform::TComponent* aOwner) : TnxNamedPipeTransport(aOwner) {
    SetPort(PipeMediumPort());
  }
};

// A listening pipe whose accepted descriptors go to aAccept, which greets
// them as the server does, (which owns them from then on) until the listener goes.
class TPipeTestListener {
public:
  template <class Accept>
  TPipeTestListener(const std::u16string& aServer, Accept aAccept) {
    fd = platform::LocalListen(PipeAddress(aServer), 64);
    thread = std::thread([this, aAccept] {
      for (;;) {
        const int peer = platform::LocalAccept(fd);
        if (peer < 0) return;
        aAccept(peer);
      }
    });
  }
  ~TPipeTestListener() {
    platform::ShutdownSocket(fd);
    thread.join();
    platform::CloseSocket(fd);
  }

  int fd = -1;
  std::thread thread;
};

}  // namespace revurov::testing
