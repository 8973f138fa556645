#include "transport/named_pipe_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/completion_queue.h"
#include "platform/host_info.h"
#include "platform/local_socket.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/thread_clock.h"
#include "transport/connection.h"
#include "transport/message_frame.h"
#include "transport/named_pipe_discovery.h"
#include "transport/server_connection.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

constexpr uint32_t kStdInBufferSize = 65536;
constexpr int kListenBacklog = 128;
constexpr uint32_t kMidMessageWaitMs = 2;
constexpr int kMidMessageWaits = 32;
constexpr uint64_t kReplyGraceMs = 1000;
constexpr uint64_t kLongestWaitMs = 0x7FFFFFFF;
// Sent by the server on every connection it serves, so that a client
// turned down for want of an instance knows it at once (as a busy pipe).
constexpr uint8_t kInstanceReady = 1;

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

bool HeaderValid(const TnxBaseHeader& aHeader) noexcept {
  return nxCheckHeader(aHeader) == 0 && aHeader.bhParts == nxPipeParts(aHeader.bhLength);
}

void ReadWholeMessage(int aFd, TnxBaseHeader& aHeader, TnxHeapBuffer& aBody, uint64_t aDeadline = 0) {
  uint8_t header[nxHeaderSize];
  if (!ReadExactly(aFd, header, sizeof header, aDeadline)) throw EnxTransportException(nullptr, nxeLostConnection);
  aHeader = nxLoadHeader(header);
  if (!HeaderValid(aHeader)) throw EnxTransportException(nullptr, nxeLostConnection);
  aBody.Resize(aHeader.bhLength - nxHeaderSize);
  if (!ReadExactly(aFd, aBody.Data(), aBody.Size(), aDeadline))
    throw EnxTransportException(nullptr, nxeLostConnection);
}

TnxMessageFields Fields(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
                        TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType) {
  TnxMessageFields fields;
  fields.mfTransportID = aTransportID;
  fields.mfSessionID = aSessionID;
  fields.mfThreadPriority = aThreadPriority;
  fields.mfMsgID = aMsgID;
  fields.mfMsgType = aMsgType;
  fields.mfResultCode = aErrorCode;
  fields.mfCompressType = aCompressType;
  return fields;
}

// Header, error text and payload in one gather write; the part count is
// known only once the error text is.
bool WriteFrame(int aFd, const TnxMessageFields& aFields, uint32_t aUncompressedSize, const void* aBuffer,
                uint32_t aBufferSize, TnxHeapBuffer& aHead) {
  nxBuildFrameHead(aFields, aUncompressedSize, aBuffer ? aBufferSize : 0u, aHead);
  TnxBaseHeader header = nxLoadHeader(aHead.Data());
  header.bhParts = nxPipeParts(header.bhLength);
  nxStoreHeader(header, aHead.Data());
  const platform::TSocketBuffer buffers[] = {{aHead.Data(), aHead.Size()}, {aBuffer, aBuffer ? aBufferSize : 0u}};
  return platform::SocketWriteAll(aFd, buffers, 2);
}

std::string AddressOf(const std::u16string& aPipeName) {
  const std::string name = platform::Utf16ToUtf8(aPipeName);
  return name;
}

class TnxNamedPipeClientConnection : public TnxBaseClientConnection {
public:
  using TnxBaseClientConnection::TnxBaseClientConnection;
  ~TnxNamedPipeClientConnection() override { platform::CloseSocket(npccFd); }

  void Initialize() override {
    const auto* transport = PooledTransport();
    std::u16string pipe;
    if (!nxLocalPipeName(transport->ServerName(), transport->Port(), pipe))
      throw EnxTransportException(nullptr, nxeServerNotFound);
    npccFd = platform::LocalConnect(AddressOf(pipe));
    if (npccFd < 0) throw EnxTransportException(nullptr, nxeServerNotFound);
    // A server without a free instance closes the connection at once.
    uint8_t ready = 0;
    const uint64_t deadline = platform::MonotonicMilliseconds() + std::max<uint32_t>(transport->Timeout(), 1);
    if (!ReadExactly(npccFd, &ready, 1, deadline) || ready != kInstanceReady)
      throw EnxTransportException(nullptr, nxeServerNotFound);
  }
  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    if (!WriteFrame(npccFd,
                    Fields(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType),
                    aUncompressedSize, aBuffer, aBufferSize, npccFrame))
      throw EnxTransportException(nullptr, nxeLostConnection);
  }
  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override {
    ReadWholeMessage(npccFd, aHeader, aBody, ReplyDeadline(ReplyTimeout()));
  }
  void ForceDisconnect() override {
    if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(npccFd);
  }

private:
  int npccFd = -1;
  TnxHeapBuffer npccFrame;
};

class TnxNamedPipeServerConnection : public TnxBaseServerConnection {
public:
  TnxNamedPipeServerConnection(TnxNamedPipeTransport* aTransport, int aFd)
      : TnxBaseServerConnection(aTransport), npscTransport(aTransport), npscFd(aFd) {}
  ~TnxNamedPipeServerConnection() override {
    if (auto* queue = PooledTransport()->CompletionQueue()) queue->Disarm(npscFd);
    platform::CloseSocket(npscFd);
    npscTransport->InstanceGone();
  }

  bool Arm() {
    npscHandedOver.fetch_add(1, std::memory_order_release);
    return PooledTransport()->CompletionQueue()->Arm(npscFd, Handle());
  }
  std::u16string RemoteAddressText() const override { return nxGetComputerName(); }
  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    if (ForcedDisconnect()) throw EnxTransportException(nullptr, nxeLostConnection);
    if (!WriteFrame(npscFd,
                    Fields(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType),
                    aUncompressedSize, aBuffer, aBufferSize, npscFrame)) {
      ForceDisconnect();
      throw EnxTransportException(nullptr, nxeLostConnection);
    }
  }
  void ForceDisconnect() override {
    if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(npscFd);
  }
  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override { ReadWholeMessage(npscFd, aHeader, aBody); }
  void IoCompleted(uint32_t, uint32_t) override {
    npscHandedOver.load(std::memory_order_acquire);
    int waits = 0;
    for (;;) {
      if (ForcedDisconnect()) return Drop();
      const bool inHeader = npscHave < nxHeaderSize;
      uint8_t* into = inHeader ? npscHeaderBytes + npscHave : npscBody.Data() + (npscHave - nxHeaderSize);
      const size_t missing = inHeader ? nxHeaderSize - npscHave : npscHeader.bhLength - npscHave;
      const int64_t n = platform::SocketReadNow(npscFd, into, missing);
      if (n == 0) return Drop();
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Drop();
        if (npscHave > 0 && waits++ < kMidMessageWaits && platform::WaitReadable(npscFd, kMidMessageWaitMs)) continue;
        return Rearm();
      }
      npscTransport->CountRead(n);
      npscHave += static_cast<uint32_t>(n);
      if (inHeader && npscHave == nxHeaderSize && !HeaderTaken()) return Drop();
      if (npscHave < nxHeaderSize || npscHave < npscHeader.bhLength) continue;
      npscHave = 0;
      try {
        PooledTransport()->btProcessHeader(*this, npscHeader, {npscBody.Data(), npscHeader.bhLength - nxHeaderSize});
      } catch (...) {
        ForceDisconnect();
        return Drop();
      }
      if (npscHeader.bhLength > kStdInBufferSize) npscBody = TnxHeapBuffer();
      if (IsCallback()) return;
      return Rearm();
    }
  }

private:
  bool HeaderTaken() {
    npscHeader = nxLoadHeader(npscHeaderBytes);
    if (!HeaderValid(npscHeader)) return false;
    // Large messages only from a peer whose transport registered.
    if (npscHeader.bhLength > kStdInBufferSize && RemoteTransport() == nullptr) return false;
    npscBody.Resize(npscHeader.bhLength - nxHeaderSize);
    return true;
  }
  void Rearm() {
    if (!Arm()) Drop();
  }
  void Drop() {
    ForceDisconnect();
    Deactivate();
  }

  TnxNamedPipeTransport* npscTransport;
  int npscFd;
  uint8_t npscHeaderBytes[nxHeaderSize] = {};
  TnxBaseHeader npscHeader{};
  uint32_t npscHave = 0;
  TnxHeapBuffer npscBody;
  TnxHeapBuffer npscFrame;
  std::atomic<uint32_t> npscHandedOver{0};
};

}  // namespace

// Blocked in accept on the listening socket; Shutdown wakes it.
class TnxNamedPipeListenThread {
public:
  TnxNamedPipeListenThread(TnxNamedPipeTransport& aTransport, const std::u16string& aPipeName)
      : npltTransport(aTransport) {
    npltHandle = platform::LocalListen(AddressOf(aPipeName), kListenBacklog);
    if (npltHandle < 0) {
      const int error = errno;
      throw EnxTransportException(&aTransport, nxeServerNotFound,
                                  u"Cannot create the pipe " + aPipeName + u": " +
                                      platform::Utf8ToUtf16(std::strerror(error)));
    }
    npltThread = std::thread([this] { Execute(); });
  }
  ~TnxNamedPipeListenThread() {
    npltTerminated.store(true, std::memory_order_release);
    platform::ShutdownSocket(npltHandle);
    if (npltThread.joinable()) npltThread.join();
    platform::CloseSocket(npltHandle);
  }

private:
  void Execute() {
    while (!npltTerminated.load(std::memory_order_acquire)) {
      const int fd = platform::LocalAccept(npltHandle);
      if (fd < 0) {
        if (npltTerminated.load(std::memory_order_acquire) || errno == EINVAL) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      try {
        npltTransport.ConnectionAccepted(fd);
      } catch (...) {
        // The connection went with the failure; the listener goes on.
      }
    }
  }

  TnxNamedPipeTransport& npltTransport;
  int npltHandle = -1;
  std::atomic<bool> npltTerminated{false};
  std::thread npltThread;
};

uint32_t nxPipeParts(uint32_t aLength) noexcept { return aLength / nxPipePartSize + (aLength % nxPipePartSize ? 1 : 0); }

std::u16string nxPipeName(const std::u16string& aHost, uint16_t aPort, const std::u16string& aServer) {
  return u"\\\\" + aHost + u"\\pipe\\RevurOV\\1.0\\" + platform::Utf8ToUtf16(std::to_string(aPort)) + u"\\" + aServer;
}

std::u16string nxGetComputerName() {
  std::u16string name;
  if (!platform::GetComputerName(name)) name.clear();
  return name;
}

bool nxLocalPipeName(const std::u16string& aServerName, uint16_t aPort, std::u16string& aPipeName) {
  const std::u16string_view full = platform::Trim(aServerName);
  std::u16string_view server = full;
  std::u16string_view host;
  // Server names may hold "@" themselves: the host is behind the last one.
  const size_t at = full.rfind(u'@');
  if (at != std::u16string_view::npos) {
    server = platform::Trim(full.substr(0, at));
    host = platform::Trim(full.substr(at + 1));
  }
  if (!host.empty() && host != u"." && !platform::AsciiSameText(host, nxGetComputerName())) return false;
  aPipeName = nxPipeName(u".", aPort, std::u16string(server));
  return true;
}

TnxNamedPipeTransport::TnxNamedPipeTransport(platform::TComponent* aOwner) : TnxBasePooledTransport(aOwner) {
  SetPort(16000);
}

TnxNamedPipeTransport::~TnxNamedPipeTransport() { StopListening(); }

platform::TInterfacePtr<InxActiveBroadcast> TnxNamedPipeTransport::BeginBroadcast(InxBroadcastReplyHandler* aHandler,
                                                                                  int32_t aInterval) {
  return nxBeginPipeBroadcast(*this, aHandler, aInterval);
}

void TnxNamedPipeTransport::GetBoundAddresses(platform::TStringList& aList) {
  aList.Clear();
  aList.Add(nxGetComputerName());
}

void TnxNamedPipeTransport::GetStatsCaptions(platform::TStringList& aList) const {
  TnxBasePooledTransport::GetStatsCaptions(aList);
  aList.Insert(2, u"Idle NamedPipes");
}

void TnxNamedPipeTransport::GetStatsValues(platform::TStringList& aList) const {
  TnxBasePooledTransport::GetStatsValues(aList);
  aList.Insert(2, nxFormatGrouped(nptpWaitingServerConnections.load()));
}

void TnxNamedPipeTransport::ConnectionAccepted(int aSocket) {
  // Counted before the check so that two accepts cannot both take the last.
  if (nptpInstances.fetch_add(1) >= kMaxPipeInstances || !ServerStarted()) {
    nptpInstances.fetch_sub(1);
    platform::CloseSocket(aSocket);
    return;
  }
  platform::SetSocketSendTimeout(aSocket, LostConnectionTimeout());
  const uint8_t ready = kInstanceReady;
  if (platform::SocketWrite(aSocket, &ready, 1) != 1) {
    nptpInstances.fetch_sub(1);
    platform::CloseSocket(aSocket);
    return;
  }
  auto* connection = new TnxNamedPipeServerConnection(this, aSocket);
  if (!connection->Arm()) {
    connection->Free();
    return;
  }
  if (WaitingThreadCount() < 1) btStartServerThreads(1);
}

TnxBaseClientConnection* TnxNamedPipeTransport::btCreateClientConnection() {
  return nxCreateClientConnection<TnxNamedPipeClientConnection>(this);
}

void TnxNamedPipeTransport::DoStart() {
  TnxBasePooledTransport::DoStart();
  if (Mode() != nxtmListen || ServerStarted()) return;
  btCheckServerName();
  nptpBytesRead.store(0, std::memory_order_relaxed);
  SetServerStarted(true);
  try {
    btStartServerThreads(1);
    nptpListenThread =
        std::make_unique<TnxNamedPipeListenThread>(*this, nxPipeName(u".", Port(), std::u16string(platform::Trim(ServerName()))));
    nptpWaitingServerConnections.store(1);
    if (RespondToBroadcasts()) nptpBroadcastListener = std::make_unique<TnxNamedPipeBroadcastListener>(*this);
  } catch (...) {
    StopListening();
    SetServerStarted(false);
    throw;
  }
}

void TnxNamedPipeTransport::DoStop() {
  SetServerStarted(false);
  StopListening();
  TnxBasePooledTransport::DoStop();
}

void TnxNamedPipeTransport::StopListening() noexcept {
  nptpBroadcastListener.reset();
  nptpListenThread.reset();
  nptpWaitingServerConnections.store(0);
}

}  // namespace revurov
