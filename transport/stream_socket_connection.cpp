#include "transport/stream_socket_connection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "lowlevel/errors/error_codes.h"
#include "platform/completion_queue.h"
#include "platform/socket.h"
#include "platform/thread_clock.h"
#include "transport/message_frame.h"
#include "transport/pooled_transport.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

// Messages up to this size need no registered peer transport.
constexpr uint32_t kStdInBufferSize = nxStdInBufferSize;
// What the spare large bodies may hold together.
constexpr size_t kSpareBodyBytes = size_t{32} << 20;
constexpr uint32_t kMidMessageWaitMs = 2;
constexpr int kMidMessageWaits = 32;
// How long a server thread waits on a connection it just answered.
constexpr uint32_t kLingerMs = 1;

// What a client allows beyond a request's timeout before it gives up on
// the reply: the server works to that timeout and still has to answer.
constexpr uint64_t kReplyGraceMs = 1000;
// Beyond it a wait's milliseconds would turn negative: no limit at all.
constexpr uint64_t kLongestWaitMs = 0x7FFFFFFF;

// When a reply awaited for aTimeout ms is given up (ms of the monotonic
// clock); 0 for no limit (a timeout of 0 or $FFFFFFFF).
uint64_t ReplyDeadline(uint32_t aTimeout) noexcept {
  if (aTimeout == 0 || aTimeout == 0xFFFFFFFFu) return 0;
  return platform::MonotonicMilliseconds() + aTimeout + kReplyGraceMs;
}

bool ReadExactly(int aFd, void* aBuffer, size_t aCount, uint64_t aDeadline = 0) {
  auto* bytes = static_cast<uint8_t*>(aBuffer);
  while (aCount > 0) {
    if (aDeadline != 0) {
      const uint64_t now = platform::MonotonicMilliseconds();
      if (now >= aDeadline) return false;
      // A wait that ends without bytes before the deadline (the longest
      // one poll takes) goes round again.
      const uint64_t wait = std::min<uint64_t>(aDeadline - now, kLongestWaitMs);
      if (!platform::WaitReadable(aFd, static_cast<uint32_t>(wait))) continue;
    }
    const int64_t n = platform::SocketRead(aFd, bytes, aCount);
    if (n <= 0) return false;
    bytes += n;
    aCount -= static_cast<size_t>(n);
  }
  return true;
}

// aCount bytes without a limit: the short receive timeout a server socket
// has for its thread's wait after a reply only ends a receive, not the
// wait for these.
bool ReadWaiting(int aFd, uint8_t* aInto, size_t aCount) {
  while (aCount > 0) {
    const int64_t n = platform::SocketRead(aFd, aInto, aCount);
    if (n == 0) return false;
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      platform::WaitReadable(aFd, static_cast<uint32_t>(kLongestWaitMs));
      continue;
    }
    aInto += n;
    aCount -= static_cast<size_t>(n);
  }
  return true;
}

bool HeaderValid(const TnxBaseHeader& aHeader, TnxPartCount aParts) noexcept {
  return nxCheckHeader(aHeader) == 0 && (aParts == nullptr || aHeader.bhParts == aParts(aHeader.bhLength));
}

// One whole message read by aRead (bytes, count: false when the peer is
// gone); 11276 when the peer is gone or the header is broken. A large body
// is read into one of aSpares, when given, rather than into fresh pages.
template <class Read>
void ReadWholeMessageWith(Read aRead, TnxPartCount aParts, TnxBaseHeader& aHeader, TnxHeapBuffer& aBody,
                          TnxStreamServerState* aSpares = nullptr) {
  uint8_t header[nxHeaderSize];
  if (!aRead(header, sizeof header)) throw EnxTransportException(nullptr, nxeLostConnection);
  aHeader = nxLoadHeader(header);
  if (!HeaderValid(aHeader, aParts)) throw EnxTransportException(nullptr, nxeLostConnection);
  const size_t size = aHeader.bhLength - nxHeaderSize;
  if (aSpares && size > aBody.Capacity() && size > nxStdInBufferSize) {
    if (TnxHeapBuffer spare = aSpares->TakeSpareBody(size); spare.Capacity() >= size) aBody = std::move(spare);
  }
  aBody.Resize(size);
  if (!aRead(aBody.Data(), aBody.Size())) throw EnxTransportException(nullptr, nxeLostConnection);
}

// Header, error text and payload in one gather write; the part count is
// known only once the error text is.
bool WriteFrame(int aFd, TnxPartCount aParts, TnxTransportID aTransportID, TnxSessionID aSessionID,
                TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode,
                uint8_t aCompressType, uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize,
                TnxHeapBuffer& aHead) {
  const uint32_t payload = aBuffer ? aBufferSize : 0u;
  nxBuildFrameHead(
      nxMessageFields(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType),
      aUncompressedSize, payload, aHead);
  if (aParts) {
    TnxBaseHeader header = nxLoadHeader(aHead.Data());
    header.bhParts = aParts(header.bhLength);
    nxStoreHeader(header, aHead.Data());
  }
  const platform::TSocketBuffer buffers[] = {{aHead.Data(), aHead.Size()}, {aBuffer, payload}};
  return platform::SocketWriteAll(aFd, buffers, 2);
}

}  // namespace

bool nxReadGreeting(int aFd, uint8_t aExpected, uint32_t aTimeout) {
  uint8_t byte = 0;
  const uint64_t deadline = platform::MonotonicMilliseconds() + std::max<uint32_t>(aTimeout, 1);
  return ReadExactly(aFd, &byte, 1, deadline) && byte == aExpected;
}

// ---- spare bodies ----

TnxHeapBuffer TnxStreamServerState::TakeSpareBody(size_t aSize) {
  std::lock_guard guard(sssSpareLock);
  auto best = sssSpareBodies.end();
  for (auto it = sssSpareBodies.begin(); it != sssSpareBodies.end(); ++it)
    if (it->Capacity() >= aSize && (best == sssSpareBodies.end() || it->Capacity() < best->Capacity())) best = it;
  if (best == sssSpareBodies.end()) return {};
  TnxHeapBuffer taken = std::move(*best);
  sssSpareBodies.erase(best);
  sssSpareBytes -= taken.Capacity();
  return taken;
}

void TnxStreamServerState::GiveSpareBody(TnxHeapBuffer aBuffer) noexcept {
  std::lock_guard guard(sssSpareLock);
  if (aBuffer.Capacity() == 0 || sssSpareBytes + aBuffer.Capacity() > kSpareBodyBytes) return;
  try {
    sssSpareBodies.push_back(std::move(aBuffer));
    sssSpareBytes += sssSpareBodies.back().Capacity();
  } catch (...) {
  }
}

size_t TnxStreamServerState::SpareBytes() noexcept {
  std::lock_guard guard(sssSpareLock);
  return sssSpareBytes;
}

void TnxStreamServerState::ClearSpareBodies() noexcept {
  std::lock_guard guard(sssSpareLock);
  sssSpareBodies.clear();
  sssSpareBytes = 0;
}

// ---- client connection ----

TnxStreamSocketClientConnection::TnxStreamSocketClientConnection(TnxBasePooledTransport* aTransport,
                                                                 TnxPartCount aParts)
    : TnxBaseClientConnection(aTransport), ssccParts(aParts) {}

TnxStreamSocketClientConnection::~TnxStreamSocketClientConnection() { platform::CloseSocket(ssccFd); }

void TnxStreamSocketClientConnection::DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                              TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint8_t aMsgType,
                                              uint32_t aErrorCode, uint8_t aCompressType, uint32_t aUncompressedSize,
                                              const void* aBuffer, uint32_t aBufferSize) {
  if (!WriteFrame(ssccFd, ssccParts, aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode,
                  aCompressType, aUncompressedSize, aBuffer, aBufferSize, ssccFrame))
    throw EnxTransportException(nullptr, nxeLostConnection);
}

// A reply not there by the request's timeout plus a grace drops the
// connection (the raise makes its user free it).
void TnxStreamSocketClientConnection::ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) {
  const uint32_t timeout = ReplyTimeout();
  ReplyRead read;
  read.deadline = ReplyDeadline(timeout);
  // The reply's first wait is the receive itself, bounded by the socket's
  // receive timeout: one call where a wait and a read were two. Set only
  // when it changes, as the timeout seldom does.
  const uint32_t inside =
      read.deadline == 0 ? 0u : static_cast<uint32_t>(std::min<uint64_t>(uint64_t{timeout} + kReplyGraceMs, kLongestWaitMs));
  if (inside != ssccReceiveTimeout) {
    if (platform::SetSocketReceiveTimeout(ssccFd, inside))
      ssccReceiveTimeout = inside;
    else
      read.first = false;  // a receive could wait past the deadline
  }
  ReadWholeMessageWith([this, &read](void* aBuffer, size_t aCount) { return ReadReply(read, aBuffer, aCount); },
                       ssccParts, aHeader, aBody, ssccSpares);
}

// aCount bytes, first from the read-ahead; a part that fits in it is read
// with whatever follows, so that a small reply takes one receive.
bool TnxStreamSocketClientConnection::ReadReply(ReplyRead& aRead, void* aInto, size_t aCount) {
  auto* bytes = static_cast<uint8_t*>(aInto);
  size_t taken = TakeAhead(bytes, aCount);
  for (;;) {
    bytes += taken;
    aCount -= taken;
    if (aCount == 0) return true;
    // Here the read-ahead is empty.
    if (aCount < kReadAheadSize) {
      const size_t n = Receive(aRead, ssccAhead, kReadAheadSize);
      if (n == 0) return false;
      ssccAheadEnd = static_cast<uint32_t>(n);
      taken = TakeAhead(bytes, aCount);
    } else {
      taken = Receive(aRead, bytes, aCount);
      if (taken == 0) return false;
    }
  }
}

// Up to aCount bytes, at least one; 0 when the peer is gone or the
// deadline passed. After the reply's first receive only the wait is
// bounded by the deadline, never a receive: what is there is taken at
// once, and a socket the last receive emptied is waited on first.
size_t TnxStreamSocketClientConnection::Receive(ReplyRead& aRead, void* aInto, size_t aCount) {
  for (;;) {
    int64_t n;
    if (aRead.deadline == 0 || aRead.first) {
      aRead.first = false;
      n = platform::SocketRead(ssccFd, aInto, aCount);
    } else {
      if (aRead.drained) {
        const uint64_t now = platform::MonotonicMilliseconds();
        if (now >= aRead.deadline) return 0;
        platform::WaitReadable(ssccFd, static_cast<uint32_t>(std::min<uint64_t>(aRead.deadline - now, kLongestWaitMs)));
      }
      n = platform::SocketReadNow(ssccFd, aInto, aCount);
    }
    if (n > 0) {
      aRead.drained = static_cast<size_t>(n) < aCount;
      return static_cast<size_t>(n);
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return 0;
    aRead.drained = true;
  }
}

size_t TnxStreamSocketClientConnection::TakeAhead(void* aInto, size_t aCount) noexcept {
  const size_t count = std::min<size_t>(aCount, ssccAheadEnd - ssccAheadBegin);
  if (count == 0) return 0;
  std::memcpy(aInto, ssccAhead + ssccAheadBegin, count);
  ssccAheadBegin += static_cast<uint32_t>(count);
  if (ssccAheadBegin == ssccAheadEnd) ssccAheadBegin = ssccAheadEnd = 0;
  return count;
}

void TnxStreamSocketClientConnection::GiveBackLargeBody(TnxHeapBuffer& aBody) noexcept {
  if (aBody.Capacity() <= nxStdInBufferSize) return;
  if (ssccSpares)
    ssccSpares->GiveSpareBody(std::exchange(aBody, {}));
  else
    aBody.ReleaseAbove(nxStdInBufferSize);
}

void TnxStreamSocketClientConnection::ForceDisconnect() {
  if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(ssccFd);
}

// ---- server connection ----

TnxStreamSocketServerConnection::TnxStreamSocketServerConnection(TnxBasePooledTransport* aTransport, int aFd,
                                                                 TnxStreamServerState& aState, TnxPartCount aParts)
    : TnxBaseServerConnection(aTransport),
      ssscFd(aFd),
      ssscState(aState),
      ssscParts(aParts),
      ssscTimedReceive(platform::SetSocketReceiveTimeout(aFd, kLingerMs)) {}

TnxStreamSocketServerConnection::~TnxStreamSocketServerConnection() {
  if (auto* queue = PooledTransport()->CompletionQueue()) queue->Disarm(ssscFd);
  platform::CloseSocket(ssscFd);
}

bool TnxStreamSocketServerConnection::Arm() {
  return PooledTransport()->CompletionQueue()->Arm(ssscFd, Handle());
}

void TnxStreamSocketServerConnection::DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                              TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint8_t aMsgType,
                                              uint32_t aErrorCode, uint8_t aCompressType, uint32_t aUncompressedSize,
                                              const void* aBuffer, uint32_t aBufferSize) {
  if (ForcedDisconnect()) throw EnxTransportException(nullptr, nxeLostConnection);
  if (!WriteFrame(ssscFd, ssscParts, aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode,
                  aCompressType, aUncompressedSize, aBuffer, aBufferSize, ssscFrame)) {
    // Also a peer that stopped reading: the send timeout ran out.
    ForceDisconnect();
    throw EnxTransportException(nullptr, nxeLostConnection);
  }
}

void TnxStreamSocketServerConnection::ForceDisconnect() {
  if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(ssscFd);
}

void TnxStreamSocketServerConnection::ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) {
  ReadWholeMessageWith(
      [this](void* aBuffer, size_t aCount) {
        const size_t ahead = TakeAhead(aBuffer, aCount);
        return ReadWaiting(ssscFd, static_cast<uint8_t*>(aBuffer) + ahead, aCount - ahead);
      },
      ssscParts, aHeader, aBody);
}

void TnxStreamSocketServerConnection::IoCompleted(uint32_t, uint32_t) {
  int waits = 0;
  int served = 0;
  for (;;) {
    if (ForcedDisconnect()) return Drop();
    const bool inHeader = ssscHave < nxHeaderSize;
    uint8_t* into = inHeader ? ssscHeaderBytes + ssscHave : ssscBody.Data() + (ssscHave - nxHeaderSize);
    const size_t missing = inHeader ? nxHeaderSize - ssscHave : ssscHeader.bhLength - ssscHave;
    int64_t n = static_cast<int64_t>(TakeAhead(into, missing));
    if (n == 0) {
      // A header, or a rest that fits, is read with whatever follows it:
      // a small message takes one read, not one for the header and one
      // for the body.
      const bool viaAhead = inHeader || missing < sizeof ssscAhead;
      const size_t asked = viaAhead ? sizeof ssscAhead : missing;
      n = platform::SocketReadNow(ssscFd, viaAhead ? ssscAhead : into, asked);
      ssscDrained = n < static_cast<int64_t>(asked);
      if (n == 0) return Drop();  // the peer closed
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Drop();
        // The rest of a message is usually on its way: a readiness of the
        // queue costs far more than a short wait here, and a stalled peer
        // holds the thread only that long (a trickle a few times over).
        if (ssscHave > 0 && waits++ < kMidMessageWaits && platform::WaitReadable(ssscFd, kMidMessageWaitMs))
          continue;
        return Rearm();
      }
      ssscState.CountRead(n);
      if (viaAhead) {
        ssscAheadEnd = static_cast<uint32_t>(n);
        n = static_cast<int64_t>(TakeAhead(into, missing));
      }
    }
    ssscHave += static_cast<uint32_t>(n);
    if (inHeader && ssscHave == nxHeaderSize && !HeaderTaken()) return Drop();
    if (ssscHave < nxHeaderSize || ssscHave < ssscHeader.bhLength) continue;
    ssscHave = 0;
    try {
      PooledTransport()->btProcessHeader(*this, ssscHeader, {ssscBody.Data(), ssscHeader.bhLength - nxHeaderSize},
                                         &ssscBody);
    } catch (...) {
      // An answer that could not be written: the peer is gone.
      ForceDisconnect();
      return Drop();
    }
    if (ssscHeader.bhLength > kStdInBufferSize) ssscState.GiveSpareBody(std::exchange(ssscBody, {}));
    // A callback connection is read by the threads that send on it.
    if (IsCallback()) return;
    // The next message is taken while it is there: armed on bytes that
    // have arrived, the queue wakes a second thread, which then races
    // this one for them. A few messages per readiness at most, so that a
    // busy peer does not hold the thread from the others.
    // Bytes read ahead are never left for a readiness that cannot come.
    // A socket the last read emptied is not read again: a peer that waits
    // for the reply (nearly every one) has sent nothing since, and the
    // queue, armed now, tells of what comes later as well.
    ++served;
    if (ssscAheadBegin == ssscAheadEnd && (ssscDrained || served >= kMessagesPerReadiness)) {
      // A client that waited for this reply mostly sends its next request
      // at once: the thread that served it waits for that one itself, as a
      // plain blocking server would, rather than re-arming the queue and
      // handing the socket to another thread (two more calls and a wake on
      // another CPU). Only while another thread waits on the queue, so no
      // other connection waits for this one.
      if (served < kMessagesPerReadiness && ssscDrained) {
        const int64_t n = Linger();
        if (n == 0) return Drop();
        if (n > 0) {
          waits = 0;
          continue;
        }
      }
      return Rearm();
    }
    waits = 0;
  }
}

bool TnxStreamSocketServerConnection::HeaderTaken() {
  ssscHeader = nxLoadHeader(ssscHeaderBytes);
  if (!HeaderValid(ssscHeader, ssscParts)) return false;
  // Large messages only from a peer whose transport registered.
  if (ssscHeader.bhLength > kStdInBufferSize && RemoteTransport() == nullptr) return false;
  const size_t size = ssscHeader.bhLength - nxHeaderSize;
  if (size > ssscBody.Capacity())
    if (TnxHeapBuffer spare = ssscState.TakeSpareBody(size); spare.Capacity() >= size) ssscBody = std::move(spare);
  ssscBody.Resize(size);
  return true;
}

int64_t TnxStreamSocketServerConnection::Linger() {
  TnxBasePooledTransport* transport = PooledTransport();
  if (!transport->ServerStarted() || transport->WaitingThreadCount() < 1) return -1;
  if (!ssscTimedReceive && !platform::WaitReadable(ssscFd, kLingerMs)) return -1;
  // With the receive timeout the wait and the read are one call.
  const int64_t n = ssscTimedReceive ? platform::SocketRead(ssscFd, ssscAhead, sizeof ssscAhead)
                                     : platform::SocketReadNow(ssscFd, ssscAhead, sizeof ssscAhead);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : 0;
  if (n == 0) return 0;
  ssscState.CountRead(n);
  ssscDrained = n < static_cast<int64_t>(sizeof ssscAhead);
  ssscAheadEnd = static_cast<uint32_t>(n);
  return n;
}

void TnxStreamSocketServerConnection::Rearm() {
  if (!Arm()) Drop();
}

// Up to aCount bytes read ahead, moved to aInto; how many.
size_t TnxStreamSocketServerConnection::TakeAhead(void* aInto, size_t aCount) noexcept {
  const size_t count = std::min<size_t>(aCount, ssscAheadEnd - ssscAheadBegin);
  std::memcpy(aInto, ssscAhead + ssscAheadBegin, count);
  ssscAheadBegin += static_cast<uint32_t>(count);
  if (ssscAheadBegin == ssscAheadEnd) ssscAheadBegin = ssscAheadEnd = 0;
  return count;
}

void TnxStreamSocketServerConnection::Drop() {
  ForceDisconnect();
  Deactivate();  // the connection's own hold: the last user frees it
}

}  // namespace revurov
