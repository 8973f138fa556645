// The pooled transport over TCP/IPv4.
//
// Contract:
// - A sending transport's connections dial ServerName at Port: the name is
//   a host, or "server@host" (as discovery names servers; the host is what
//   follows the last "@"). A host that neither parses as a dotted address
//   nor resolves, or a connect that fails or takes longer than Timeout ms,
//   fails the connection with 11278.
// - A listening transport listens on every effective listen address (the
//   trimmed, non-empty ListenAddresses; "*" or none means all addresses)
//   at Port, port 0 taking an ephemeral one (ListeningPort). A listen
//   address that does not parse, or a bind that fails, fails the start and
//   leaves nothing listening.
// - Every accepted connection is first put to the ConnectionFilter (when
//   one is set and active); a refused one is closed at once.
// - An accepted connection is read on the server threads: each readiness
//   takes what is there without waiting, so a message may arrive in any
//   number of pieces. A header that fails the header check, a message above
//   64 KiB before the peer's transport registered, or the end of the stream
//   drop the connection; nothing is answered.
// - Sends to a peer block at most LostConnectionTimeout ms; one that runs
//   out drops the connection.
// - GetBoundAddresses: the effective listen addresses of a started listener
//   that does not listen on all; otherwise the addresses of the interfaces
//   that are up (only loopback ones under LoopbackOnly), less those a
//   stopped listener's ListenAddresses do not name. LoopbackOnly is the
//   transport's switch or the process-wide one (nxSetWinsockLoopbackOnly),
//   which tests set so that no scan leaves the machine.
// - A started listener with RespondToBroadcasts answers discovery requests
//   on every effective listen address (tcp_discovery.h); with Port 0 or
//   65535 it answers none. BeginBroadcast starts a scan.
// - Every Winsock transport holds one count of the process-wide socket use
//   from its initialisation to its deactivation (a failed initialisation
//   gives it back). Linux sockets need no start-up, so the count is all
//   there is: the first taker and the last giver would start and end the
//   socket layer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lowlevel/components/state_component.h"
#include "platform/socket.h"
#include "transport/pooled_transport.h"
#include "transport/stream_socket_connection.h"

namespace revurov {

class TnxWinsockTransport;
class TnxWinsockServerListenThread;
class TnxWinsockServerBroadcastThread;

// Asked for every accepted connection; the system has no concrete one.
class TnxBaseConnectionFilter : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TnxBaseConnectionFilter, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;

  virtual bool AllowConnection(TnxWinsockTransport& aTransport, const platform::TInet4Address& aLocal,
                               const platform::TInet4Address& aRemote) = 0;
};

class TnxWinsockTransport : public TnxBasePooledTransport {
  REVUROV_COMPONENT_CLASS(TnxWinsockTransport, TnxBasePooledTransport)
  explicit TnxWinsockTransport(platform::TComponent* aOwner);
  ~TnxWinsockTransport() override;

  std::u16string GetName() const override { return u"Winsock TCP/IPv4"; }
  platform::TInterfacePtr<InxActiveBroadcast> BeginBroadcast(InxBroadcastReplyHandler* aHandler,
                                                              int32_t aTimeout) override;
  void GetBoundAddresses(platform::TStringList& aList) override;

  const platform::TStringList& ListenAddresses() const noexcept { return wstListenAddresses; }
  void SetListenAddresses(const platform::TStringList& aValue);
  TnxBaseConnectionFilter* ConnectionFilter() const noexcept { return wstConnectionFilter; }
  // Not owned; the transport must be inactive. Destroying the filter
  // deactivates the transport and forgets the filter.
  void SetConnectionFilter(TnxBaseConnectionFilter* aValue);
  platform::TThreadPriority ListenThreadPriority() const noexcept { return wstListenThreadPriority; }
  void SetListenThreadPriority(platform::TThreadPriority aValue);
  platform::TThreadPriority BroadcastThreadPriority() const noexcept { return wstBroadcastThreadPriority; }
  void SetBroadcastThreadPriority(platform::TThreadPriority aValue);
  bool LoopbackOnly() const noexcept;
  void SetLoopbackOnly(bool aValue) noexcept { wstLoopbackOnly = aValue; }

  // The port the aIndex-th listen address is bound to while started; 0
  // when there is none.
  uint16_t ListeningPort(size_t aIndex = 0) const;
  // Bytes read from accepted connections since the start.
  int64_t BytesRead() const noexcept { return wstServerState.BytesRead(); }
  // Bytes of large message bodies kept for the next large message.
  size_t SpareBodyBytes() noexcept { return wstServerState.SpareBytes(); }

  bool AllowConnection(const platform::TInet4Address& aLocal, const platform::TInet4Address& aRemote);
  // A listen thread's accepted socket; the transport owns it from here.
  void ConnectionAccepted(int aSocket, const platform::TInet4Address& aLocal, const platform::TInet4Address& aRemote);

  void GetConfigSettings(TnxBaseSettings& aSettings) override;
  void LoadConfig(TnxBaseComponentConfiguration& aConfig) override;
  void SaveConfig(TnxBaseComponentConfiguration& aConfig) override;
  void LoadSettingsFromStream(TnxReader& aReader) override;
  void SaveSettingsToStream(TnxWriter& aWriter) override;
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;

protected:
  void DoInitialize() override;
  void DoDeactivate() override;
  TnxBaseClientConnection* btCreateClientConnection() override;
  std::u16string btConnectionsCaption() const override { return u"Sockets"; }
  void DoStart() override;
  void DoStop() override;

private:
  void StopListening() noexcept;

  platform::TStringList wstListenAddresses;
  std::vector<std::u16string> wstListenAddresses_;
  std::vector<std::unique_ptr<TnxWinsockServerListenThread>> wstListenThreads;
  std::vector<std::unique_ptr<TnxWinsockServerBroadcastThread>> wstBroadcastThreads;
  TnxBaseConnectionFilter* wstConnectionFilter = nullptr;
  platform::TThreadPriority wstListenThreadPriority = platform::TThreadPriority::tpNormal;
  platform::TThreadPriority wstBroadcastThreadPriority = platform::TThreadPriority::tpNormal;
  bool wstLoopbackOnly = false;
  bool wstWinsockInitialized = false;
  TnxStreamServerState wstServerState;
};

// Applications pick it by the protocol name "ipv4".
class TnxIPv4Transport : public TnxWinsockTransport {
  REVUROV_COMPONENT_CLASS(TnxIPv4Transport, TnxWinsockTransport)
  using TnxWinsockTransport::TnxWinsockTransport;

  std::u16string ProtocolName() const override { return u"ipv4"; }
};

// One count of the process-wide socket use taken and given back; a give
// without a take changes nothing. Any thread.
void nxWinsockStartup();
void nxWinsockCleanup() noexcept;
int32_t nxWinsockUseCount() noexcept;

// Limits the local addresses of every Winsock transport to loopback ones.
void nxSetWinsockLoopbackOnly(bool aValue) noexcept;
bool nxWinsockLoopbackOnly() noexcept;

// The host part of a server name: what follows the last "@".
std::u16string nxServerNameHost(const std::u16string& aServerName);
// The effective listen addresses of a list: trimmed, blanks skipped, "*"
// anywhere (or nothing) meaning the single "*".
std::vector<std::u16string> nxEffectiveListenAddresses(const platform::TStringList& aList);

}  // namespace revurov
