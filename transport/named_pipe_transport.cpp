#include "transport/named_pipe_transport.h"

#include <cerrno>
#include <cstring>
#include <chrono>
#include <thread>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/host_info.h"
#include "platform/local_socket.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "transport/named_pipe_discovery.h"
#include "transport/stream_socket_connection.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

constexpr int kListenBacklog = 128;
// Sent by the server on every connection it serves, so that a client
// turned down for want of an instance knows it at once (as a busy pipe).
constexpr uint8_t kInstanceReady = 1;

std::string AddressOf(const std::u16string& aPipeName) { return platform::Utf16ToUtf8(aPipeName); }

class TnxNamedPipeClientConnection : public TnxStreamSocketClientConnection {
public:
  TnxNamedPipeClientConnection(TnxBasePooledTransport* aTransport, TnxStreamServerState& aSpares)
      : TnxStreamSocketClientConnection(aTransport, nxPipeParts) {
    UseSpareBodies(aSpares);
  }

  void Initialize() override {
    const auto* transport = PooledTransport();
    std::u16string pipe;
    if (!nxLocalPipeName(transport->ServerName(), transport->Port(), pipe))
      throw EnxTransportException(nullptr, nxeServerNotFound);
    SetFd(platform::LocalConnect(AddressOf(pipe)));
    if (Fd() < 0) throw EnxTransportException(nullptr, nxeServerNotFound);
    // A server without a free instance closes the connection at once.
    if (!nxReadGreeting(Fd(), kInstanceReady, transport->Timeout()))
      throw EnxTransportException(nullptr, nxeServerNotFound);
  }
};

class TnxNamedPipeServerConnection : public TnxStreamSocketServerConnection {
public:
  TnxNamedPipeServerConnection(TnxNamedPipeTransport* aTransport, int aFd, TnxStreamServerState& aState)
      : TnxStreamSocketServerConnection(aTransport, aFd, aState, nxPipeParts), npscTransport(aTransport) {}
  ~TnxNamedPipeServerConnection() override { npscTransport->InstanceGone(); }

  std::u16string RemoteAddressText() const override { return nxGetComputerName(); }

private:
  TnxNamedPipeTransport* npscTransport;
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

void TnxNamedPipeTransport::SetSecurityDescriptor(const std::u16string& aValue) {
  CheckInactive();
  nptpSecurityDescriptor = aValue;
}

bool TnxNamedPipeTransport::PeerAdmitted(int aSocket) const noexcept {
  if (!nptpDACL) return true;
  platform::TPeerIdentity peer;
  return platform::LocalPeerCredentials(aSocket, peer.uid, peer.gid) && nptpDACL->AllowsReadWrite(peer, nptpOwner);
}

void TnxNamedPipeTransport::ConnectionAccepted(int aSocket) {
  // Counted before the check so that two accepts cannot both take the last.
  if (nptpInstances.fetch_add(1) >= kMaxPipeInstances || !ServerStarted() || !PeerAdmitted(aSocket)) {
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
  auto* connection = new TnxNamedPipeServerConnection(this, aSocket, nptpServerState);
  if (!connection->Arm()) {
    connection->Free();
    return;
  }
  if (WaitingThreadCount() < 1) btStartServerThreads(1);
}

TnxBaseClientConnection* TnxNamedPipeTransport::btCreateClientConnection() {
  return nxCreateClientConnection<TnxNamedPipeClientConnection>(this, nptpServerState);
}

void TnxNamedPipeTransport::DoStart() {
  TnxBasePooledTransport::DoStart();
  if (Mode() != nxtmListen || ServerStarted()) return;
  btCheckServerName();
  nptpDACL.reset();
  if (!nptpSecurityDescriptor.empty()) {
    auto descriptor = std::make_unique<platform::TSecurityDescriptor>();
    if (!platform::TSecurityDescriptor::Parse(nptpSecurityDescriptor, *descriptor))
      nxRaiseLastOSError(ClassName(), 0);
    nptpDACL = std::move(descriptor);
    nptpOwner = platform::CurrentIdentity();
  }
  nptpServerState.ResetBytesRead();
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
  nptpServerState.ClearSpareBodies();
}

void TnxNamedPipeTransport::StopListening() noexcept {
  nptpBroadcastListener.reset();
  nptpListenThread.reset();
  nptpWaitingServerConnections.store(0);
}

}  // namespace revurov
