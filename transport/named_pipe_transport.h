// The pooled transport over local stream sockets that stand in for named
// pipes ("np"): it reaches servers on this machine only.
//
// Contract:
// - A server listens on the pipe name "\\.\pipe\RevurOV\1.0\<Port>\<ServerName>";
//   clients dial ServerName, or "server@host" where the host is what follows
//   the last "@". A host other than empty, "." or this computer's name (in
//   any case), a name longer than a local address holds, nobody listening,
//   or a server that turned the connection down fails the connect with 11278.
// - Every message goes out in one write; bhParts is bhLength / 65,504 rounded
//   up. A reader drops the connection on a header that fails the header
//   check or whose part count is not that figure.
// - The listener keeps one listening socket (the one waiting instance of the
//   statistics' "Idle NamedPipes") and serves at most kMaxPipeInstances
//   connections at once; a connection beyond them is closed at once. A
//   served connection first gets one byte (1) from the server, which the
//   client waits for up to Timeout ms: without it the client knows at once
//   that it was turned down. Sends to a peer block at most
//   LostConnectionTimeout ms.
// - SecurityDescriptor (the string form; empty: everybody may connect) is
//   read at the start of a listener, which fails with the OS error when the
//   text cannot be read; a peer it does not grant read and write access is
//   closed at once, as a busy server would (platform/security_descriptor.h
//   says how trustees map onto local users).
// - BroadcastListenerPriority: the priority of the thread that answers
//   discovery requests.
// - RemoteAddressText and the bound address are this computer's name.
// - Discovery and the answers of a listener: named_pipe_discovery.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/security_descriptor.h"
#include "transport/pooled_transport.h"
#include "transport/stream_socket_connection.h"

namespace revurov {

class TnxNamedPipeListenThread;
class TnxNamedPipeBroadcastListener;

inline constexpr uint32_t nxPipePartSize = 65504;
inline constexpr int32_t kMaxPipeInstances = 255;

class TnxNamedPipeTransport : public TnxBasePooledTransport {
  REVUROV_COMPONENT_CLASS(TnxNamedPipeTransport, TnxBasePooledTransport)
  explicit TnxNamedPipeTransport(platform::TComponent* aOwner);
  ~TnxNamedPipeTransport() override;

  std::u16string GetName() const override { return u"NamedPipe"; }
  std::u16string ProtocolName() const override { return u"np"; }
  void GetBoundAddresses(platform::TStringList& aList) override;
  platform::TInterfacePtr<InxActiveBroadcast> BeginBroadcast(InxBroadcastReplyHandler* aHandler,
                                                              int32_t aInterval) override;
  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;

  const std::u16string& SecurityDescriptor() const noexcept { return nptpSecurityDescriptor; }
  void SetSecurityDescriptor(const std::u16string& aValue);
  platform::TThreadPriority BroadcastListenerPriority() const noexcept { return nptpBroadcastListenerPriority; }
  void SetBroadcastListenerPriority(platform::TThreadPriority aValue) noexcept {
    nptpBroadcastListenerPriority = aValue;
  }

  int32_t WaitingServerConnections() const noexcept { return nptpWaitingServerConnections.load(); }
  // Server connections served at the moment.
  int32_t PipeInstances() const noexcept { return nptpInstances.load(); }
  // Bytes read from served connections since the start.
  int64_t BytesRead() const noexcept { return nptpServerState.BytesRead(); }

  // A listen thread's accepted socket; the transport owns it from here.
  void ConnectionAccepted(int aSocket);
  void InstanceGone() noexcept { nptpInstances.fetch_sub(1); }

protected:
  TnxBaseClientConnection* btCreateClientConnection() override;
  std::u16string btConnectionsCaption() const override { return u"NamedPipes"; }
  void DoStart() override;
  void DoStop() override;

private:
  void StopListening() noexcept;
  bool PeerAdmitted(int aSocket) const noexcept;

  std::unique_ptr<TnxNamedPipeListenThread> nptpListenThread;
  std::unique_ptr<TnxNamedPipeBroadcastListener> nptpBroadcastListener;
  std::u16string nptpSecurityDescriptor;
  platform::TThreadPriority nptpBroadcastListenerPriority = platform::TThreadPriority::tpNormal;
  // Converted at the start; none: everybody may connect.
  std::unique_ptr<platform::TSecurityDescriptor> nptpDACL;
  platform::TPeerIdentity nptpOwner;
  std::atomic<int32_t> nptpWaitingServerConnections{0};
  std::atomic<int32_t> nptpInstances{0};
  TnxStreamServerState nptpServerState;
};

// The bhParts figure of a message of aLength bytes.
uint32_t nxPipeParts(uint32_t aLength) noexcept;
// "\\" + aHost + "\pipe\RevurOV\1.0\" + aPort + "\" + aServer.
std::u16string nxPipeName(const std::u16string& aHost, uint16_t aPort, const std::u16string& aServer);
// The pipe a client of aServerName dials: the host behind the last "@"
// mapped to "." when it is this computer; false for another host.
bool nxLocalPipeName(const std::u16string& aServerName, uint16_t aPort, std::u16string& aPipeName);
// This computer's name; empty when the system does not tell.
std::u16string nxGetComputerName();

}  // namespace revurov
