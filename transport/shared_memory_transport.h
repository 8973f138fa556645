// The pooled transport between processes of this machine through shared
// memory ("sm"): every connection is a pair of channels
// (shared_memory_channel.h), one per direction.
//
// Contract:
// - Object names start with the prefix of TransportScope: "Global\"
//   (smtsGlobal, the default), "Local\" (smtsLocal), or for smtsAuto
//   "Global\" (creating global objects needs no privilege here). A server S
//   on port P owns the connect mutex prefix + "nxSharedMemoryTransport_" + P
//   + "_" + S + "_Mutex" and listens on the channel prefix +
//   "nxSharedMemoryTransport_" + P + "_" + S + "_SharedMemory"; a second
//   live server of that name, port and prefix fails to start, while names
//   left by a killed one are taken over.
// - Connect: the client makes its reading channel, takes the connect mutex
//   (2,000 ms, else 11276), writes its channel's name (at most 255 bytes and
//   a zero) into the listening channel and waits up to Timeout ms for the
//   name of the server connection's reading channel (11276 when it does not
//   come, or comes without its zero). A sending transport whose server does
//   not exist, or is dead, fails to start with 11278.
// - A message of bhLength bytes goes in bhParts blocks of 64 KiB (the first
//   holds the header); every reader drops the connection on a header that
//   fails the header check or whose part count is not that figure. A
//   server connection takes messages over 64 KiB only once the peer's
//   transport registered, as over the stream media.
// - Each served connection keeps one server thread while it reads; a new
//   connection starts another thread when none waits. A peer that ends or
//   is killed fails the other side's waits at once.
// - The server registry and discovery: shared_memory_registry.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/process.h"
#include "transport/pooled_transport.h"
#include "transport/shared_memory_channel.h"
#include "transport/stream_socket_connection.h"

namespace revurov {

class TnxSharedMemoryDictionary;
class TnxSharedMemoryServerListenThread;

enum TnxSharedMemTransportScope : uint8_t { smtsGlobal = 0, smtsLocal = 1, smtsAuto = 2 };

inline constexpr int32_t nxSharedMemoryServerVersion = 47501;
// Connect-request and channel names on the wire: this many bytes at most,
// then a zero.
inline constexpr uint32_t nxMaxChannelNameLength = 255;

class TnxSharedMemoryTransport : public TnxBasePooledTransport {
  REVUROV_COMPONENT_CLASS(TnxSharedMemoryTransport, TnxBasePooledTransport)
  explicit TnxSharedMemoryTransport(platform::TComponent* aOwner);
  ~TnxSharedMemoryTransport() override;

  std::u16string GetName() const override { return u"SharedMemory"; }
  std::u16string ProtocolName() const override { return u"sm"; }
  bool Supported() const override;
  void GetServerNames(platform::TStringList& aList, uint32_t aTimeOut) override;
  platform::TInterfacePtr<InxActiveBroadcast> BeginBroadcast(InxBroadcastReplyHandler* aHandler,
                                                              int32_t aInterval) override;

  TnxSharedMemTransportScope TransportScope() const noexcept { return smtpTransportScope; }
  void SetTransportScope(TnxSharedMemTransportScope aValue);
  // Kept for whoever makes the objects; access here comes from the
  // objects' modes (this user only).
  const std::u16string& SecurityDescriptor() const noexcept { return smtpSecurityDescriptor; }
  void SetSecurityDescriptor(const std::u16string& aValue);

  std::u16string GetNamePrefix() const;
  TnxGetNamePrefix NamePrefixGetter() const {
    return [this] { return GetNamePrefix(); };
  }
  // The base names of this transport's server objects.
  std::u16string ServerObjectName() const;

  // Started transports only.
  TnxSharedMemoryMutexOwner& MutexOwner() const noexcept { return *smtpMutexOwner; }
  TnxSharedMemoryWatch* Watch() const noexcept { return smtpWatch.get(); }
  // Bodies above 64 KiB of every connection, kept for the next large one.
  TnxStreamServerState& Spares() noexcept { return smtpSpares; }

  // The server side runs (between its start and its stop).
  bool Listening() const noexcept { return ServerStarted(); }
  // Listen thread: a client asks for a connection on its channel aName.
  void ConnectionRequested(const std::u16string& aName);
  // Client side: sends the name of the client's reading channel.
  void SendConnectRequest(const std::u16string& aName);

protected:
  TnxBaseClientConnection* btCreateClientConnection() override;
  std::u16string btConnectionsCaption() const override { return u"SharedMemory Sections"; }
  void DoInitialize() override;
  void DoStart() override;
  void DoStop() override;

private:
  void StopListening() noexcept;
  void CloseConnectObjects() noexcept;

  TnxSharedMemTransportScope smtpTransportScope = smtsGlobal;
  std::u16string smtpSecurityDescriptor;
  platform::TThreadPtr<TnxSharedMemoryServerListenThread> smtpListener;
  std::unique_ptr<TnxSharedMemoryDictionary> smtpDictionary;
  // Sending transport: the server's connect mutex and listening channel.
  platform::TSharedMemory smtpConnectMutexObject;
  platform::TSharedView smtpConnectMutexView;
  std::unique_ptr<TnxSharedMemoryClient> smtpConnectClient;
  platform::TThreadPtr<TnxSharedMemoryMutexOwner> smtpMutexOwner;
  std::unique_ptr<TnxSharedMemoryWatch> smtpWatch;
  TnxStreamServerState smtpSpares;
};

// "nxSharedMemoryTransport_" + aPort + "_" + aServerName.
std::u16string nxSharedMemoryServerObjectName(uint16_t aPort, const std::u16string& aServerName);
// A channel name as it travels: at most nxMaxChannelNameLength bytes and a
// zero in aBlock's first aSize bytes; false without the zero in reach.
bool nxReadChannelName(const uint8_t* aBlock, uint32_t aSize, std::u16string& aName);
// The number of 64 KiB blocks of a message of aLength bytes.
uint32_t nxSharedMemoryParts(uint32_t aLength) noexcept;

}  // namespace revurov
