// What the transports over stream sockets (TCP, local pipes) share: the
// frame write, the blocking reads of a client, and the server connection's
// read loop on the server threads.
//
// Contract:
// - A message goes out in one gather write of header, error text and
//   payload (the payload is not copied). A medium that counts parts gives
//   a TnxPartCount: bhParts is stamped with it, and a reader drops the
//   connection on a header whose bhParts is not that figure. Without one
//   bhParts is left as built and not checked.
// - A client connection's reply that has not fully arrived by the request's
//   timeout plus a grace raises 11276; so do a broken header and the end of
//   the stream. Sends that fail raise 11276. A client reads through a
//   read-ahead of its own: a small reply takes one read for header and
//   body, and bytes past the reply wait there for the next read.
// - A server connection reads on the server threads: each readiness takes
//   what is there without waiting, through a read-ahead per connection, and
//   serves the messages already there (at most kMessagesPerReadiness) before
//   it watches for more. A thread whose reply emptied the socket first waits
//   up to a millisecond for the next message itself, while another thread
//   waits on the queue; a callback connection's reads wait without limit
//   as before. A broken header, a message above 64 KiB before the
//   peer's transport registered, or the end of the stream drop it. Bodies
//   above 64 KiB come from and go back to the transport's spare bodies.
// - A send that fails or runs out of the socket's send timeout drops the
//   server connection.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "transport/connection.h"
#include "transport/server_connection.h"

namespace revurov {

// The bhParts figure of a message of the given length.
using TnxPartCount = uint32_t (*)(uint32_t aLength) noexcept;

// What a listening stream transport keeps for all its server connections.
class TnxStreamServerState {
public:
  // Bytes read from server connections since the last reset.
  int64_t BytesRead() const noexcept { return sssBytesRead.load(std::memory_order_relaxed); }
  void CountRead(int64_t aBytes) noexcept { sssBytesRead.fetch_add(aBytes, std::memory_order_relaxed); }
  void ResetBytesRead() noexcept { sssBytesRead.store(0, std::memory_order_relaxed); }
  // Bodies above the standard input size: a connection gives its buffer
  // back after the message, so that the next large one of any connection
  // finds its pages already there, and idle connections hold none. The
  // smallest spare that holds aSize, or an empty buffer.
  TnxHeapBuffer TakeSpareBody(size_t aSize);
  void GiveSpareBody(TnxHeapBuffer aBuffer) noexcept;
  void ClearSpareBodies() noexcept;
  size_t SpareBytes() noexcept;

private:
  std::atomic<int64_t> sssBytesRead{0};
  std::mutex sssSpareLock;
  std::vector<TnxHeapBuffer> sssSpareBodies;  // under sssSpareLock
  size_t sssSpareBytes = 0;                   // under sssSpareLock
};

class TnxStreamSocketClientConnection : public TnxBaseClientConnection {
public:
  TnxStreamSocketClientConnection(TnxBasePooledTransport* aTransport, TnxPartCount aParts);
  ~TnxStreamSocketClientConnection() override;

  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override;
  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override;
  void ForceDisconnect() override;

protected:
  int Fd() const noexcept { return ssccFd; }
  // The connected socket, owned from here (Initialize of the medium).
  void SetFd(int aFd) noexcept { ssccFd = aFd; }
  // Large reply bodies come from and go back to aSpares (the transport's,
  // which outlives its connections) instead of being mapped anew.
  void UseSpareBodies(TnxStreamServerState& aSpares) noexcept { ssccSpares = &aSpares; }
  void GiveBackLargeBody(TnxHeapBuffer& aBody) noexcept override;

private:
  static constexpr size_t kReadAheadSize = 4096;
  // One reply's reading: its deadline (0: none), whether the next receive
  // is the reply's first, and whether the last one emptied the socket.
  struct ReplyRead {
    uint64_t deadline = 0;
    bool first = true;
    bool drained = false;
  };

  bool ReadReply(ReplyRead& aRead, void* aInto, size_t aCount);
  size_t Receive(ReplyRead& aRead, void* aInto, size_t aCount);
  size_t TakeAhead(void* aInto, size_t aCount) noexcept;

  int ssccFd = -1;
  TnxPartCount ssccParts;
  TnxStreamServerState* ssccSpares = nullptr;
  TnxHeapBuffer ssccFrame;
  // The socket's receive timeout as last set (ms, 0: none).
  uint32_t ssccReceiveTimeout = 0;
  // Bytes read past the part asked for, [ssccAheadBegin, ssccAheadEnd).
  uint8_t ssccAhead[kReadAheadSize] = {};
  uint32_t ssccAheadBegin = 0;
  uint32_t ssccAheadEnd = 0;
};

class TnxStreamSocketServerConnection : public TnxBaseServerConnection {
public:
  static constexpr int kMessagesPerReadiness = 16;

  // Owns aFd from here.
  TnxStreamSocketServerConnection(TnxBasePooledTransport* aTransport, int aFd, TnxStreamServerState& aState,
                                  TnxPartCount aParts);
  ~TnxStreamSocketServerConnection() override;

  int Fd() const noexcept { return ssscFd; }
  // Watches for the next bytes; whichever server thread takes them sees
  // everything this one wrote.
  bool Arm();
  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override;
  void ForceDisconnect() override;
  // A callback connection's messages: what was read ahead comes first.
  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override;
  void IoCompleted(uint32_t aBytesTransfered, uint32_t aError) override;

private:
  static constexpr size_t kReadAheadSize = 4096;

  bool HeaderTaken();
  // Waits briefly for the next message, read into the read-ahead: how
  // many bytes came, 0 when the peer is gone, -1 when nothing came or the
  // wait is not worth it.
  int64_t Linger();
  void Rearm();
  size_t TakeAhead(void* aInto, size_t aCount) noexcept;
  void Drop();

  int ssscFd;
  TnxStreamServerState& ssscState;
  TnxPartCount ssscParts;
  uint8_t ssscHeaderBytes[nxHeaderSize] = {};
  TnxBaseHeader ssscHeader{};
  uint32_t ssscHave = 0;
  TnxHeapBuffer ssscBody;
  // Bytes read past the part asked for, [ssscAheadBegin, ssscAheadEnd):
  // the rest of the message, and maybe the start of the next.
  uint8_t ssscAhead[kReadAheadSize] = {};
  uint32_t ssscAheadBegin = 0;
  uint32_t ssscAheadEnd = 0;
  // The last read took less than it asked: the socket was empty after it.
  bool ssscDrained = false;
  TnxHeapBuffer ssscFrame;
  // The socket's receive timeout bounds the wait after a reply.
  bool ssscTimedReceive;
};

// Waits up to aTimeout ms for the one byte a server sends first on a
// connection it serves; false when it does not come or is not aExpected.
bool nxReadGreeting(int aFd, uint8_t aExpected, uint32_t aTimeout);

}  // namespace revurov
