// Connections: one channel of a concrete transport to one peer.
//
// Contract:
// - A connection is named by its handle (slot + generation), never by its
//   address: completions carry the handle, and Deliver finds the connection
//   only while it is live, so a completion for a connection freed since is
//   dropped without touching it.
// - Free frees the connection once; later calls by users that still hold it
//   (a delivery in progress) do nothing. After the destruction the handle
//   is the only way to reach it. The handle is dead before destruction begins; a
//   delivery in progress keeps the object until it returns.
// - bcActive counts extra users: Deliver holds the connection for the call;
//   a user that brings the count to -1 frees it.
// - The memory of a freed connection goes to the deferred release
//   (transport/freed_connections.h), not straight back to the heap. The
//   lookups no longer need it: a delivery takes its hold under a lock that
//   Free takes to end the handle, so it never touches a destroyed object.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "lowlevel/heap/memory_manager.h"
#include "transport/heap_block.h"
#include "transport/session_callback.h"
#include "transport/wire_header.h"

namespace revurov {

class TnxBaseTransport;
class TnxBasePooledTransport;

class TnxBaseConnection : public TnxObject {
public:
  explicit TnxBaseConnection(TnxBaseTransport* aTransport);
  ~TnxBaseConnection() override;

  // From the library heap; back to it through the deferred release.
  static void* operator new(std::size_t aSize);
  static void operator delete(void* aPointer) noexcept;

  void Free() noexcept;
  // Runs aUse on the live connection of aHandle, holding it meanwhile;
  // false when the handle names no live connection.
  static bool Deliver(uint32_t aHandle, const std::function<void(TnxBaseConnection&)>& aUse);
  // One extra user more; DropUser frees the connection when the count
  // reaches -1.
  void AddUser() noexcept { bcActive.fetch_add(1, std::memory_order_acq_rel); }
  void DropUser() noexcept;

  uint32_t Handle() const noexcept { return bcHandle; }
  int32_t ConnectionID() const noexcept { return bcConnectionID; }
  const std::u16string& LogPrefix() const noexcept { return bcLogPrefix; }
  TnxBaseTransport* Transport() const noexcept { return bcTransport; }
  bool ForcedDisconnect() const noexcept { return bcForcedDisconnect.load(std::memory_order_acquire); }
  int32_t ActiveUsers() const noexcept { return bcActive.load(std::memory_order_acquire); }

  // The transport's category followed by "_connection".
  virtual std::u16string LogCategory() const;
  virtual void NotifyActivity() {}
  virtual std::u16string RemoteAddressText() const { return {}; }
  virtual void Deactivate() = 0;
  virtual void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
                       TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
                       uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) = 0;
  // Reads one reply and delivers it to aCallback.
  virtual void Read(TnxReplyCallback aCallback, void* aReplyCookie) = 0;
  // The transport's Write (statistics, throttling, logging, DoWrite), then
  // the reply through Read.
  void Transact(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
                TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
                uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize,
                TnxReplyCallback aReplyCallback, void* aReplyCookie);
  // Closes at once: pending and later reads and writes fail.
  virtual void ForceDisconnect() = 0;

protected:
  // Runs once, just before the destruction, while the whole object is
  // still there.
  virtual void BeforeDestruction() noexcept {}

  std::atomic<bool> bcForcedDisconnect{false};

private:
  TnxBaseTransport* bcTransport = nullptr;  // owns the connection's list entry, not the connection
  // Bit 0: Free was called. Above it: deliveries in progress, each of which
  // holds the object alive, so that a Free racing with a delivery destroys
  // the connection only when the delivery has left it.
  std::atomic<uint32_t> bcDestroying{0};
  std::atomic<int32_t> bcActive{0};
  int32_t bcConnectionID = 0;
  uint32_t bcHandle = 0;
  std::u16string bcLogPrefix;
};

// A client connection: made by nxCreateClientConnection, which connects it
// (Initialize) and then enters it in its transport's client connections;
// Deactivate gives it back to the transport's pool of idle connections.
//
// The medium reads whole messages (ReadMessage); both Reads below check
// them as every received message is checked (nxTakeMessage), so a broken
// one never reaches a caller. A raise from a Read leaves the connection out
// of step: its user frees it.
class TnxBaseClientConnection : public TnxBaseConnection {
public:
  explicit TnxBaseClientConnection(TnxBasePooledTransport* aTransport);
  ~TnxBaseClientConnection() override;

  // Connects; the concrete class does.
  virtual void Initialize() {}
  void Deactivate() override;

  // One whole message: its header, and in aBody exactly bhLength - 32 bytes.
  // Raises 11276 when the peer is gone or the header fails nxCheckHeader.
  virtual void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) = 0;
  // One reply, decoded and handed to aCallback by the transport
  // (TnxBasePooledTransport::btDeliverReply).
  void Read(TnxReplyCallback aCallback, void* aReplyCookie) override;
  // One answer of the handshake or log-in: its header and at most
  // aBufferSize payload bytes; answers how many were copied (the rest of the
  // payload is read and dropped). A broken message raises 11276.
  uint32_t Read(TnxBaseHeader& aHeader, void* aBuffer, uint32_t aBufferSize);

  TnxBasePooledTransport* PooledTransport() const noexcept { return bccTransport; }
  // The timeout (ms) of the request whose reply ReadMessage awaits; 0 (no
  // request, or a request without limit) lets the medium wait as long as
  // it does.
  uint32_t ReplyTimeout() const noexcept { return bccReplyTimeout; }
  void SetReplyTimeout(uint32_t aValue) noexcept { bccReplyTimeout = aValue; }

protected:
  // After a reply: a buffer grown past the standard input size goes; a
  // medium may keep it for the transport's next large message.
  virtual void GiveBackLargeBody(TnxHeapBuffer& aBody) noexcept { aBody.ReleaseAbove(nxStdInBufferSize); }

private:
  friend void nxEnterClientConnection(TnxBaseClientConnection* aConnection);
  TnxBasePooledTransport* bccTransport;
  bool bccEntered = false;
  uint32_t bccReplyTimeout = 0;
  // Kept across messages: one exchange after another allocates once.
  TnxHeapBuffer bccBody;
  TnxHeapBuffer bccDecompressed;
};

void nxEnterClientConnection(TnxBaseClientConnection* aConnection);

// A failed Initialize frees the connection and passes the failure on.
template <class T, class... Args>
T* nxCreateClientConnection(TnxBasePooledTransport* aTransport, Args&&... aArgs) {
  T* connection = new T(aTransport, std::forward<Args>(aArgs)...);
  try {
    connection->Initialize();
  } catch (...) {
    connection->Free();
    throw;
  }
  nxEnterClientConnection(connection);
  return connection;
}

}  // namespace revurov
