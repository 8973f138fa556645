// A pooled transport on socket pairs: the medium of the transport tests
// until a real one exists, and one row of the medium table that every real
// transport joins later.
//
// - A listening transport enters a process-wide registry under its server
//   name when it starts and starts ServerThreads threads of its pool.
// - A server name is answered by whoever entered it in the directory: a
//   listening transport, or a test's scripted peer (support/scripted_peer.h).
// - A sending transport's Connect dials its server name and takes one end
//   of a new socket pair; the listener makes a server connection of the
//   other end, armed in its completion queue under the connection's handle.
//   Each completion reads one whole message (counted in BytesReceived),
//   hands it to the transport's dispatch and re-arms; an end of the stream
//   or a broken header frees the connection.
// - The pool's connections (TSocketPairClientConnection) dial the same way
//   and carry whole messages: DoWrite frames the values it is given,
//   ReadMessage reads one header and its body.
// - A callback connection of the listener is no longer armed: its replies
//   are read by the requesting thread (ReadMessage).
// - ForceDisconnect shuts the socket down (once), which wakes its blocked
//   readers; the descriptor is closed once, by the destructor.
#pragma once

#include <atomic>
#include <functional>
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
#include "transport/message_frame.h"
#include "transport/pooled_transport.h"
#include "transport/server_connection.h"
#include "transport/support/stub_pooled_transport.h"
#include "transport/transport_exception.h"

namespace revurov::testing {

// Who answers which server name. An acceptor takes the far end of a new
// socket pair (and closes it itself when it refuses); it runs under the
// directory's lock, so leaving the directory waits for a dial in progress.
class TSocketPairDirectory {
public:
  using TAcceptor = std::function<bool(int aFd)>;

  static void Enter(const std::u16string& aName, const void* aOwner, TAcceptor aAcceptor) {
    std::lock_guard guard(Instance().lock);
    Instance().entries[aName] = {aOwner, std::move(aAcceptor)};
  }
  static void Leave(const std::u16string& aName, const void* aOwner) {
    std::lock_guard guard(Instance().lock);
    auto it = Instance().entries.find(aName);
    if (it != Instance().entries.end() && it->second.owner == aOwner) Instance().entries.erase(it);
  }
  // A connected descriptor whose far end went to aName's acceptor; -1 when
  // no one answers.
  static int Dial(const std::u16string& aName) {
    int fds[2];
    std::lock_guard guard(Instance().lock);
    auto it = Instance().entries.find(aName);
    if (it == Instance().entries.end() || !platform::CreateSocketPair(fds)) return -1;
    if (!it->second.acceptor(fds[1])) {
      platform::CloseSocket(fds[0]);
      return -1;
    }
    return fds[0];
  }

private:
  struct TEntry {
    const void* owner = nullptr;
    TAcceptor acceptor;
  };
  struct TState {
    std::mutex lock;
    std::map<std::u16string, TEntry> entries;
  };
  static TState& Instance() {
    static TState state;
    return state;
  }
};

// Reads exactly aCount bytes; false at the end of the stream or on failure.
inline bool ReadExactly(int aFd, void* aBuffer, size_t aCount) {
  auto* bytes = static_cast<uint8_t*>(aBuffer);
  while (aCount > 0) {
    const int64_t n = platform::SocketRead(aFd, bytes, aCount);
    if (n <= 0) return false;
    bytes += n;
    aCount -= static_cast<size_t>(n);
  }
  return true;
}

inline bool WriteAll(int aFd, const void* aBuffer, size_t aCount) {
  const auto* bytes = static_cast<const uint8_t*>(aBuffer);
  while (aCount > 0) {
    const int64_t n = platform::SocketWrite(aFd, bytes, aCount);
    if (n <= 0) return false;
    bytes += n;
    aCount -= static_cast<size_t>(n);
  }
  return true;
}

class TSocketPairClientConnection : public TnxBaseClientConnection {
public:
  using TnxBaseClientConnection::TnxBaseClientConnection;
  ~TSocketPairClientConnection() override { platform::CloseSocket(spFd); }

  void Initialize() override {
    spFd = TSocketPairDirectory::Dial(PooledTransport()->ServerName());
    if (spFd < 0) throw EnxTransportException(nullptr, nxeServerNotFound);
  }
  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    const TnxMessageFields fields =
        nxMessageFields(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType);
    nxBuildFrame(fields, aUncompressedSize, {static_cast<const uint8_t*>(aBuffer), aBufferSize}, spFrame);
    if (!WriteAll(spFd, spFrame.Data(), spFrame.Size())) throw EnxTransportException(nullptr, nxeLostConnection);
  }
  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override {
    uint8_t header[nxHeaderSize];
    if (!ReadExactly(spFd, header, sizeof header)) throw EnxTransportException(nullptr, nxeLostConnection);
    aHeader = nxLoadHeader(header);
    if (nxCheckHeader(aHeader) != 0) throw EnxTransportException(nullptr, nxeLostConnection);
    aBody.Resize(aHeader.bhLength - nxHeaderSize);
    if (!ReadExactly(spFd, aBody.Data(), aBody.Size())) throw EnxTransportException(nullptr, nxeLostConnection);
  }
  void ForceDisconnect() override {
    if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(spFd);
  }

private:
  int spFd = -1;
  TnxHeapBuffer spFrame;
};

// A raw client end outside the pool: writes bytes as given.
class TSocketPairConnection : public TnxBaseConnection {
public:
  TSocketPairConnection(TnxBasePooledTransport* aTransport, int aFd)
      : TnxBaseConnection(aTransport), spTransport(aTransport), spFd(aFd) {
    spTransport->AddClientConnection(this);
  }
  ~TSocketPairConnection() override {
    spTransport->RemoveClientConnection(this);
    platform::CloseSocket(spFd);
  }

  int Fd() const noexcept { return spFd; }
  void Deactivate() override {}
  void DoWrite(TnxTransportID, TnxSessionID, TnxThreadPriority, TnxMsgID, uint8_t, uint32_t, uint8_t, uint32_t,
               const void* aBuffer, uint32_t aBufferSize) override {
    WriteAll(spFd, aBuffer, aBufferSize);
  }
  void Read(TnxReplyCallback, void*) override {}
  void ForceDisconnect() override {
    if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(spFd);
  }

private:
  TnxBasePooledTransport* spTransport;
  int spFd;
};

// The listener's end: each completion reads one whole message (counted in
// aReceived) and hands it to the transport's dispatch, then re-arms; the
// end of the stream or a broken header frees the connection.
class TSocketPairServerConnection : public TnxBaseServerConnection {
public:
  TSocketPairServerConnection(TnxBasePooledTransport* aTransport, int aFd, std::atomic<int64_t>& aReceived)
      : TnxBaseServerConnection(aTransport), spFd(aFd), spReceived(aReceived) {}
  ~TSocketPairServerConnection() override {
    if (auto* queue = PooledTransport()->CompletionQueue()) queue->Disarm(spFd);
    platform::CloseSocket(spFd);
  }

  std::u16string RemoteAddressText() const override { return u"socketpair"; }
  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    const TnxMessageFields fields =
        nxMessageFields(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType);
    nxBuildFrame(fields, aUncompressedSize, {static_cast<const uint8_t*>(aBuffer), aBufferSize}, spFrame);
    if (!WriteAll(spFd, spFrame.Data(), spFrame.Size())) throw EnxTransportException(nullptr, nxeLostConnection);
  }
  void ForceDisconnect() override {
    if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(spFd);
  }
  void IoCompleted(uint32_t, uint32_t) override {
    uint8_t bytes[nxHeaderSize];
    TnxBaseHeader header;
    bool whole = !ForcedDisconnect() && ReadExactly(spFd, bytes, sizeof bytes);
    if (whole) {
      header = nxLoadHeader(bytes);
      whole = nxCheckHeader(header) == 0;
    }
    if (whole) {
      spBody.Resize(header.bhLength - nxHeaderSize);
      whole = ReadExactly(spFd, spBody.Data(), spBody.Size());
    }
    if (!whole) {
      Deactivate();  // the connection's own hold: the last user frees it
      return;
    }
    spReceived.fetch_add(header.bhLength);
    try {
      PooledTransport()->btProcessHeader(*this, header, {spBody.Data(), spBody.Size()});
    } catch (...) {
      // An answer that could not be written: the peer is gone, and an
      // unarmed connection would never be read to its end.
      ForceDisconnect();
      Deactivate();
      return;
    }
    // A callback connection is read by the threads that send on it.
    if (!IsCallback()) PooledTransport()->CompletionQueue()->Arm(spFd, Handle());
  }
  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override {
    uint8_t header[nxHeaderSize];
    if (!ReadExactly(spFd, header, sizeof header)) throw EnxTransportException(nullptr, nxeLostConnection);
    aHeader = nxLoadHeader(header);
    if (nxCheckHeader(aHeader) != 0) throw EnxTransportException(nullptr, nxeLostConnection);
    aBody.Resize(aHeader.bhLength - nxHeaderSize);
    if (!ReadExactly(spFd, aBody.Data(), aBody.Size())) throw EnxTransportException(nullptr, nxeLostConnection);
  }

private:
  int spFd;
  std::atomic<int64_t>& spReceived;
  TnxHeapBuffer spBody;
  TnxHeapBuffer spFrame;
};

class TSocketPairTransport : public testing::TStubPooledTransport {
  REVUROV_COMPONENT_CLASS(TSocketPairTransport, testing::TStubPooledTransport)
  using TStubPooledTransport::TStubPooledTransport;
  ~TSocketPairTransport() override { Leave(); }

  int ServerThreads = 2;
  std::atomic<int64_t> BytesReceived{0};

  std::u16string GetName() const override { return u"SocketPair"; }

  // A raw client connection to whoever answers this transport's server
  // name, outside the pool; null when none does.
  TSocketPairConnection* Connect() {
    const int fd = TSocketPairDirectory::Dial(ServerName());
    return fd < 0 ? nullptr : new TSocketPairConnection(this, fd);
  }

protected:
  TnxBaseClientConnection* btCreateClientConnection() override {
    return nxCreateClientConnection<TSocketPairClientConnection>(this);
  }
  void DoStart() override {
    TnxBasePooledTransport::DoStart();
    if (Mode() != nxtmListen) return;
    btStartServerThreads(ServerThreads);
    TSocketPairDirectory::Enter(ServerName(), this, [this](int aFd) { return Accept(aFd); });
    SetServerStarted(true);
  }
  void DoStop() override {
    Leave();
    TnxBasePooledTransport::DoStop();
  }

private:
  void Leave() { TSocketPairDirectory::Leave(ServerName(), this); }
  bool Accept(int aFd) {
    if (!ServerStarted()) {
      platform::CloseSocket(aFd);
      return false;
    }
    auto* connection = new TSocketPairServerConnection(this, aFd, BytesReceived);
    if (CompletionQueue()->Arm(aFd, connection->Handle())) return true;
    connection->Free();
    return false;
  }
};

}  // namespace revurov::testing
