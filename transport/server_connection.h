// The server end of a connection: made by the listening machinery of a
// concrete transport when a peer connects, served on the server threads
// (IoCompleted), attached to a remote transport by the handshake.
//
// Contract:
// - The constructor enters the connection in its transport's server
//   connections; the destruction leaves them after the connection was
//   detached from its remote transport (before the concrete class is gone,
//   so the remote transport never reaches a half-destroyed connection).
// - An attached connection holds its remote transport.
// - Deactivate ends one user: the last one frees the connection.
#pragma once

#include <atomic>
#include <cstdint>

#include "transport/connection.h"

namespace revurov {

class TnxBaseRemoteTransport;

class TnxBaseServerConnection : public TnxBaseConnection {
public:
  explicit TnxBaseServerConnection(TnxBasePooledTransport* aTransport);
  ~TnxBaseServerConnection() override;

  TnxBasePooledTransport* PooledTransport() const noexcept { return bscTransport; }
  // Valid while attached, which the connection's own hold guarantees.
  TnxBaseRemoteTransport* RemoteTransport() const noexcept {
    return bscRemoteTransport.load(std::memory_order_acquire);
  }
  // 0 while not attached.
  TnxTransportID RemoteTransportID() const noexcept;

  // Raises 9990 when attached already.
  void AttachTo(TnxBaseRemoteTransport& aRemoteTransport);
  // The base step of a server disconnect: leaves the remote transport.
  virtual void ServerDisconnect() noexcept { Detach(); }
  void Detach() noexcept;

  void Deactivate() override { DropUser(); }
  void NotifyActivity() override;
  // One reply on a callback connection, decoded as a client decodes it.
  void Read(TnxReplyCallback aCallback, void* aReplyCookie) override;
  // One whole message as TnxBaseClientConnection::ReadMessage; here 11276.
  virtual void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody);

  bool IsCallback() const noexcept { return bscCallback.load(std::memory_order_acquire); }
  // Marks the connection as an idle callback connection of its remote
  // transport; false when it has none or that one failed.
  bool SetAsCallback();
  void EndCallback() noexcept;
  // A completion of the medium on a server thread.
  virtual void IoCompleted(uint32_t aBytesTransfered, uint32_t aError) = 0;

protected:
  void BeforeDestruction() noexcept override;

private:
  TnxBasePooledTransport* bscTransport;
  std::atomic<TnxBaseRemoteTransport*> bscRemoteTransport{nullptr};
  std::atomic<bool> bscCallback{false};
  std::atomic<bool> bscCallbackEnded{false};
  TnxHeapBuffer bscBody;
  TnxHeapBuffer bscDecompressed;
};

}  // namespace revurov
