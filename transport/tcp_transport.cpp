#include "transport/tcp_transport.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "lowlevel/components/component_notifications.h"
#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_thread.h"
#include "platform/text.h"
#include "transport/server_discovery.h"
#include "transport/stream_socket_connection.h"
#include "transport/tcp_discovery.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

// A burst of connects beyond the backlog waits a second per dropped SYN.
constexpr int kListenBacklog = 128;

class TnxWinsockClientConnection : public TnxStreamSocketClientConnection {
public:
  TnxWinsockClientConnection(TnxBasePooledTransport* aTransport, TnxStreamServerState& aSpares)
      : TnxStreamSocketClientConnection(aTransport, nullptr) {
    UseSpareBodies(aSpares);
  }

  void Initialize() override {
    const auto* transport = PooledTransport();
    uint32_t address = 0;
    // 0.0.0.0 would reach this machine: a name that does not resolve is
    // no server.
    if (!platform::ResolveInet4(platform::Utf16ToUtf8(nxServerNameHost(transport->ServerName())), address))
      throw EnxTransportException(nullptr, nxeServerNotFound);
    SetFd(platform::TcpConnect({address, transport->Port()}, transport->Timeout()));
    if (Fd() < 0) throw EnxTransportException(nullptr, nxeServerNotFound);
  }
};

class TnxWinsockServerConnection : public TnxStreamSocketServerConnection {
public:
  TnxWinsockServerConnection(TnxWinsockTransport* aTransport, int aFd, TnxStreamServerState& aState,
                             const platform::TInet4Address& aLocal, const platform::TInet4Address& aRemote)
      : TnxStreamSocketServerConnection(aTransport, aFd, aState, nullptr),
        wsscLocalAddr(aLocal),
        wsscRemoteAddr(aRemote) {}

  std::u16string RemoteAddressText() const override {
    return platform::Utf8ToUtf16(platform::Inet4Text(wsscRemoteAddr));
  }

private:
  platform::TInet4Address wsscLocalAddr;
  platform::TInet4Address wsscRemoteAddr;
};

}  // namespace

// Blocked in accept on its own listening socket; Shutdown wakes it.
class TnxWinsockServerListenThread {
public:
  TnxWinsockServerListenThread(TnxWinsockTransport& aTransport, const std::u16string& aAddress)
      : wssltTransport(aTransport) {
    platform::TInet4Address address{platform::kInet4Any, aTransport.Port()};
    if (aAddress != u"*" && !platform::ParseInet4(platform::Utf16ToUtf8(aAddress), address.address))
      throw EnxTransportException(nullptr, nxeInvalidParameter,
                                  u"Invalid listen address \"" + aAddress + u"\"");
    wssltHandle = platform::TcpListen(address, kListenBacklog);
    if (wssltHandle < 0) {
      const int error = errno;
      throw EnxTransportException(nullptr, nxeServerNotFound,
                                  u"Cannot listen on " + aAddress + u": " +
                                      platform::Utf8ToUtf16(std::strerror(error)));
    }
    platform::SocketLocalAddress(wssltHandle, wssltAddress);
    wssltThread = std::thread([this, priority = aTransport.ListenThreadPriority()] {
      if (priority != platform::TThreadPriority::tpNormal) platform::SetCurrentThreadPriority(priority);
      Execute();
    });
  }
  ~TnxWinsockServerListenThread() { Shutdown(); }

  uint16_t Port() const noexcept { return wssltAddress.port; }
  void Shutdown() noexcept {
    wssltTerminated.store(true, std::memory_order_release);
    platform::ShutdownSocket(wssltHandle);
    if (wssltThread.joinable()) wssltThread.join();
    platform::CloseSocket(wssltHandle);
    wssltHandle = -1;
  }

private:
  void Execute() {
    while (!wssltTerminated.load(std::memory_order_acquire)) {
      platform::TInet4Address remote;
      const int fd = platform::TcpAccept(wssltHandle, remote);
      if (fd < 0) {
        if (wssltTerminated.load(std::memory_order_acquire) || errno == EINVAL) return;
        // Out of descriptors or the like: try again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      platform::TInet4Address local;
      platform::SocketLocalAddress(fd, local);
      try {
        wssltTransport.ConnectionAccepted(fd, local, remote);
      } catch (...) {
        // The connection went with the failure; the listener goes on.
      }
    }
  }

  TnxWinsockTransport& wssltTransport;
  int wssltHandle = -1;
  platform::TInet4Address wssltAddress;
  std::atomic<bool> wssltTerminated{false};
  std::thread wssltThread;
};

namespace {

std::mutex gWinsockLock;
int32_t gWinsockUseCount = 0;  // under gWinsockLock
std::atomic<bool> gWinsockLoopbackOnly{false};

}  // namespace

void nxWinsockStartup() {
  std::lock_guard guard(gWinsockLock);
  ++gWinsockUseCount;
}

void nxWinsockCleanup() noexcept {
  std::lock_guard guard(gWinsockLock);
  if (gWinsockUseCount > 0) --gWinsockUseCount;
}

int32_t nxWinsockUseCount() noexcept {
  std::lock_guard guard(gWinsockLock);
  return gWinsockUseCount;
}

void nxSetWinsockLoopbackOnly(bool aValue) noexcept { gWinsockLoopbackOnly.store(aValue); }

bool nxWinsockLoopbackOnly() noexcept { return gWinsockLoopbackOnly.load(); }

std::u16string nxServerNameHost(const std::u16string& aServerName) {
  const auto at = aServerName.rfind(u'@');
  return at == std::u16string::npos ? aServerName : aServerName.substr(at + 1);
}

std::vector<std::u16string> nxEffectiveListenAddresses(const platform::TStringList& aList) {
  std::vector<std::u16string> result;
  for (int i = 0; i < aList.Count(); ++i) {
    const std::u16string_view entry = platform::Trim(aList[i]);
    if (entry == u"*") {
      result.clear();
      break;
    }
    if (!entry.empty()) result.emplace_back(entry);
  }
  if (result.empty()) result.emplace_back(u"*");
  return result;
}

TnxWinsockTransport::TnxWinsockTransport(platform::TComponent* aOwner) : TnxBasePooledTransport(aOwner) {}

TnxWinsockTransport::~TnxWinsockTransport() { StopListening(); }

platform::TInterfacePtr<InxActiveBroadcast> TnxWinsockTransport::BeginBroadcast(InxBroadcastReplyHandler* aHandler,
                                                                                int32_t aInterval) {
  return nxBeginWinsockBroadcast(*this, aHandler, aInterval);
}

bool TnxWinsockTransport::LoopbackOnly() const noexcept { return wstLoopbackOnly || nxWinsockLoopbackOnly(); }

void TnxWinsockTransport::SetListenAddresses(const platform::TStringList& aValue) {
  wstListenAddresses.Clear();
  wstListenAddresses.AddStrings(aValue);
}

void TnxWinsockTransport::SetConnectionFilter(TnxBaseConnectionFilter* aValue) {
  if (aValue == wstConnectionFilter) return;
  CheckInactive();
  if (wstConnectionFilter) UnlinkDependent(this, wstConnectionFilter);
  wstConnectionFilter = aValue;
  if (wstConnectionFilter) LinkDependent(this, wstConnectionFilter);
}

void TnxWinsockTransport::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  TnxBasePooledTransport::DependentNotify(aSender, aOp, aData);
  if (aOp == nxn_Destroying && aSender && aSender == wstConnectionFilter) {
    // A listener without its filter would let through what the filter refused.
    SetActive(false);
    wstConnectionFilter = nullptr;
  }
}

void TnxWinsockTransport::SetListenThreadPriority(platform::TThreadPriority aValue) {
  if (aValue == wstListenThreadPriority) return;
  CheckInactive();
  wstListenThreadPriority = aValue;
}

void TnxWinsockTransport::SetBroadcastThreadPriority(platform::TThreadPriority aValue) {
  if (aValue == wstBroadcastThreadPriority) return;
  CheckInactive();
  wstBroadcastThreadPriority = aValue;
}

// ---- settings ----

namespace {

std::u16string CommaText(const platform::TStringList& aList) {
  std::u16string text;
  for (int i = 0; i < aList.Count(); ++i) {
    if (i) text += u',';
    text += aList[i];
  }
  return text.empty() ? u"*" : text;
}

void SetCommaText(platform::TStringList& aList, std::u16string_view aText) {
  aList.Clear();
  for (;;) {
    const size_t comma = aText.find(u',');
    aList.Add(std::u16string(aText.substr(0, comma)));
    if (comma == std::u16string_view::npos) return;
    aText.remove_prefix(comma + 1);
  }
}

bool PriorityFromOrdinal(int64_t aValue, platform::TThreadPriority& aPriority) {
  if (aValue < 0 || aValue > static_cast<int64_t>(platform::TThreadPriority::tpTimeCritical)) return false;
  aPriority = static_cast<platform::TThreadPriority>(aValue);
  return true;
}

}  // namespace

void TnxWinsockTransport::GetConfigSettings(TnxBaseSettings& aSettings) {
  TnxBasePooledTransport::GetConfigSettings(aSettings);
  for (const char16_t* name : {u"ListenThreadPriority", u"BroadCastThreadPriority"})
    aSettings.AddSetting(std::make_unique<TnxBaseSetting>(name, nxstThreadPriority,
                                                          platform::TnxVariant::FromString(u"tpNormal"), name));
  aSettings.AddSetting(std::make_unique<TnxBaseSetting>(u"ListenAddresses", nxstString,
                                                        platform::TnxVariant::FromString(u"*"), u"ListenAddresses"));
}

void TnxWinsockTransport::LoadConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxBasePooledTransport::LoadConfig(aConfig);
  auto priority = [&](std::u16string_view aName, platform::TThreadPriority aCurrent) {
    const platform::TnxVariant value =
        aConfig.GetValue(aName, platform::TnxVariant::FromInteger(static_cast<int32_t>(aCurrent)));
    platform::TThreadPriority result = aCurrent;
    if (!value.IsEmpty()) PriorityFromOrdinal(value.AsInt64(), result);
    return result;
  };
  SetBroadcastThreadPriority(priority(u"BroadcastThreadPriority", wstBroadcastThreadPriority));
  SetListenThreadPriority(priority(u"ListenThreadPriority", wstListenThreadPriority));
  const platform::TnxVariant addresses = aConfig.GetValue(u"ListenAddresses", platform::TnxVariant::FromString(u"*"));
  SetCommaText(wstListenAddresses, addresses.IsEmpty() ? std::u16string(u"*") : addresses.AsString());
}

void TnxWinsockTransport::SaveConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxBasePooledTransport::SaveConfig(aConfig);
  aConfig.SetValue(u"ListenThreadPriority",
                   platform::TnxVariant::FromInteger(static_cast<int32_t>(wstListenThreadPriority)));
  aConfig.SetValue(u"BroadcastThreadPriority",
                   platform::TnxVariant::FromInteger(static_cast<int32_t>(wstBroadcastThreadPriority)));
  aConfig.SetValue(u"ListenAddresses", platform::TnxVariant::FromString(CommaText(wstListenAddresses)));
}

void TnxWinsockTransport::SaveSettingsToStream(TnxWriter& aWriter) {
  TnxBasePooledTransport::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(int32_t{2});
  aWriter.WriteString(nxThreadPriorityName(wstListenThreadPriority));
  aWriter.WriteString(nxThreadPriorityName(wstBroadcastThreadPriority));
}

void TnxWinsockTransport::LoadSettingsFromStream(TnxReader& aReader) {
  TnxBasePooledTransport::LoadSettingsFromStream(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version == 1) {
    SetPort(static_cast<uint16_t>(aReader.ReadInteger()));
    return;
  }
  if (version != 2) RaiseError(nxeIncompatibleStream);
  platform::TThreadPriority listen, broadcast;
  if (!nxThreadPriorityFromName(aReader.ReadString(), listen)) RaiseError(nxeIncompatibleStream);
  if (!nxThreadPriorityFromName(aReader.ReadString(), broadcast)) RaiseError(nxeIncompatibleStream);
  SetListenThreadPriority(listen);
  SetBroadcastThreadPriority(broadcast);
}

uint16_t TnxWinsockTransport::ListeningPort(size_t aIndex) const {
  return aIndex < wstListenThreads.size() ? wstListenThreads[aIndex]->Port() : 0;
}

bool TnxWinsockTransport::AllowConnection(const platform::TInet4Address& aLocal,
                                          const platform::TInet4Address& aRemote) {
  auto* filter = wstConnectionFilter;
  return filter == nullptr || !filter->GetActive() || filter->AllowConnection(*this, aLocal, aRemote);
}

void TnxWinsockTransport::ConnectionAccepted(int aSocket, const platform::TInet4Address& aLocal,
                                             const platform::TInet4Address& aRemote) {
  bool allowed = false;
  try {
    allowed = ServerStarted() && AllowConnection(aLocal, aRemote);
  } catch (...) {
    allowed = false;
  }
  if (!allowed) {
    platform::CloseSocket(aSocket);
    return;
  }
  // A peer that stops reading must not hold a server thread for ever.
  platform::SetSocketSendTimeout(aSocket, LostConnectionTimeout());
  auto* connection = new TnxWinsockServerConnection(this, aSocket, wstServerState, aLocal, aRemote);
  if (!connection->Arm()) {
    connection->Free();
    return;
  }
  if (WaitingThreadCount() < 1) btStartServerThreads(1);
}

TnxBaseClientConnection* TnxWinsockTransport::btCreateClientConnection() {
  return nxCreateClientConnection<TnxWinsockClientConnection>(this, wstServerState);
}

void TnxWinsockTransport::DoInitialize() {
  nxWinsockStartup();
  wstWinsockInitialized = true;
  TnxBasePooledTransport::DoInitialize();
  if (Mode() == nxtmListen) btCheckServerName();
}

void TnxWinsockTransport::DoDeactivate() {
  TnxBasePooledTransport::DoDeactivate();
  if (std::exchange(wstWinsockInitialized, false)) nxWinsockCleanup();
}

void TnxWinsockTransport::DoStart() {
  TnxBasePooledTransport::DoStart();
  if (Mode() != nxtmListen || ServerStarted()) return;
  wstServerState.ResetBytesRead();
  SetServerStarted(true);
  try {
    wstListenAddresses_ = nxEffectiveListenAddresses(wstListenAddresses);
    btStartServerThreads(1);
    for (const auto& address : wstListenAddresses_)
      wstListenThreads.push_back(std::make_unique<TnxWinsockServerListenThread>(*this, address));
    if (RespondToBroadcasts() && Port() != 0 && Port() != 0xFFFF)
      for (const auto& address : wstListenAddresses_)
        wstBroadcastThreads.push_back(std::make_unique<TnxWinsockServerBroadcastThread>(*this, address));
  } catch (...) {
    StopListening();
    SetServerStarted(false);
    throw;
  }
}

void TnxWinsockTransport::DoStop() {
  SetServerStarted(false);
  StopListening();
  TnxBasePooledTransport::DoStop();
  wstServerState.ClearSpareBodies();
}

void TnxWinsockTransport::StopListening() noexcept {
  while (!wstBroadcastThreads.empty()) wstBroadcastThreads.pop_back();
  while (!wstListenThreads.empty()) wstListenThreads.pop_back();
}

void TnxWinsockTransport::GetBoundAddresses(platform::TStringList& aList) {
  aList.Clear();
  if (Mode() == nxtmListen && ServerStarted() && wstListenAddresses_ != std::vector<std::u16string>{u"*"}) {
    for (const auto& address : wstListenAddresses_) aList.Add(address);
    return;
  }
  for (const auto& address : platform::UpInet4Addresses(LoopbackOnly())) aList.Add(platform::Utf8ToUtf16(address));
  if (Mode() != nxtmListen || ServerStarted() || wstListenAddresses.Count() == 0 ||
      wstListenAddresses.IndexOf(u"*") >= 0)
    return;
  for (int i = aList.Count() - 1; i >= 0; --i)
    if (wstListenAddresses.IndexOf(aList[i]) < 0) aList.Delete(i);
}

}  // namespace revurov
