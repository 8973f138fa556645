// A pooled transport on socket pairs: the medium of the transport tests
// until a real one exists, and one row of the medium table that every real
// transport joins later.
//
// - A listening transport enters a process-wide registry under its server
//   name when it starts and runs ServerThreads threads on its completion
//   queue; key 1 is the stop packet.
// - A sending transport's Connect finds the listener by its server name and
//   takes one end of a new socket pair; the listener makes a server
//   connection of the other end, armed in its completion queue under the
//   connection's handle. Each completion reads what arrived (counted in
//   BytesReceived) and re-arms; an end of the stream frees the connection.
// - ForceDisconnect shuts the socket down (once), which wakes its blocked
//   readers; the descriptor is closed once, by the destructor.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/completion_queue.h"
#include "platform/os_event.h"
#include "platform/socket.h"
#include "transport/connection.h"
#include "transport/pooled_transport.h"
#include "transport/support/stub_pooled_transport.h"

namespace revurov::testing {

inline constexpr uintptr_t kStopPacket = 1;

class TSocketPairConnection : public TnxBaseConnection {
public:
  TSocketPairConnection(TnxBasePooledTransport* aTransport, int aFd, bool aServer)
      : TnxBaseConnection(aTransport), spTransport(aTransport), spFd(aFd), spServer(aServer) {
    if (spServer)
      spTransport->AddServerConnection(this);
    else
      spTransport->AddClientConnection(this);
  }
  ~TSocketPairConnection() override {
    if (spServer) {
      if (auto* queue = spTransport->CompletionQueue()) queue->Disarm(spFd);
      spTransport->RemoveServerConnection(this);
    } else {
      spTransport->RemoveClientConnection(this);
    }
    platform::CloseSocket(spFd);
  }

  int Fd() const noexcept { return spFd; }
  void Deactivate() override {}
  void DoWrite(TnxTransportID, TnxSessionID, TnxThreadPriority, TnxMsgID, uint8_t, uint32_t, uint8_t, uint32_t,
               const void* aBuffer, uint32_t aBufferSize) override {
    const auto* bytes = static_cast<const uint8_t*>(aBuffer);
    while (aBufferSize > 0) {
      const int64_t n = platform::SocketWrite(spFd, bytes, aBufferSize);
      if (n <= 0) return;
      bytes += n;
      aBufferSize -= static_cast<uint32_t>(n);
    }
  }
  void Read(TnxReplyCallback, void*) override {}
  void ForceDisconnect() override {
    if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(spFd);
  }

  // On a server thread: what arrived, then armed again; freed at the end
  // of the stream.
  void IoCompleted(std::atomic<int64_t>& aReceived) {
    char buffer[4096];
    const int64_t n = platform::SocketRead(spFd, buffer, sizeof buffer);
    if (n > 0) {
      aReceived.fetch_add(n);
      spTransport->CompletionQueue()->Arm(spFd, Handle());
      return;
    }
    DropUser();  // the connection's own reference: the last user frees it
  }

private:
  TnxBasePooledTransport* spTransport;
  int spFd;
  bool spServer;
};

class TSocketPairTransport : public testing::TStubPooledTransport {
  REVUROV_COMPONENT_CLASS(TSocketPairTransport, testing::TStubPooledTransport)
  using TStubPooledTransport::TStubPooledTransport;
  ~TSocketPairTransport() override { Leave(); }

  int ServerThreads = 2;
  std::atomic<int64_t> BytesReceived{0};

  std::u16string GetName() const override { return u"SocketPair"; }

  // A client connection to the listener of this transport's server name;
  // null when none listens.
  TSocketPairConnection* Connect() {
    TSocketPairTransport* listener = Find(ServerName());
    int fds[2];
    if (!listener || !platform::CreateSocketPair(fds)) return nullptr;
    if (!listener->Accept(fds[1])) {
      platform::CloseSocket(fds[0]);
      return nullptr;
    }
    return new TSocketPairConnection(this, fds[0], false);
  }

protected:
  void DoStart() override {
    TnxBasePooledTransport::DoStart();
    if (Mode() != nxtmListen) return;
    for (int i = 0; i < ServerThreads; ++i) spThreads.emplace_back([this] { Serve(); });
    {
      std::lock_guard guard(Registry().lock);
      Registry().listeners[ServerName()] = this;
    }
    SetServerStarted(true);
  }
  void DoStop() override {
    Leave();
    TnxBasePooledTransport::DoStop();
  }
  void btStopServerThreads() override {
    for (size_t i = 0; i < 2 * spThreads.size(); ++i) CompletionQueue()->Post(kStopPacket, 0, 0);
    for (auto& t : spThreads) t.join();
    spThreads.clear();
  }

private:
  struct TRegistry {
    std::mutex lock;
    std::map<std::u16string, TSocketPairTransport*> listeners;
  };
  static TRegistry& Registry() {
    static TRegistry registry;
    return registry;
  }
  static TSocketPairTransport* Find(const std::u16string& aName) {
    std::lock_guard guard(Registry().lock);
    auto it = Registry().listeners.find(aName);
    return it == Registry().listeners.end() ? nullptr : it->second;
  }
  void Leave() {
    std::lock_guard guard(Registry().lock);
    auto it = Registry().listeners.find(ServerName());
    if (it != Registry().listeners.end() && it->second == this) Registry().listeners.erase(it);
  }
  bool Accept(int aFd) {
    if (!ServerStarted()) {
      platform::CloseSocket(aFd);
      return false;
    }
    auto* connection = new TSocketPairConnection(this, aFd, true);
    if (CompletionQueue()->Arm(aFd, connection->Handle())) return true;
    connection->Free();
    return false;
  }
  void Serve() {
    platform::Completion c;
    while (CompletionQueue()->Wait(c, platform::kInfinite) == platform::kWaitObject0 && c.key != kStopPacket)
      TnxBaseConnection::Deliver(static_cast<uint32_t>(c.key), [this](TnxBaseConnection& aConnection) {
        static_cast<TSocketPairConnection&>(aConnection).IoCompleted(BytesReceived);
      });
  }

  std::vector<std::thread> spThreads;
};

}  // namespace revurov::testing
