#include "transport/tcp_transport.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "lowlevel/components/component_notifications.h"
#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/completion_queue.h"
#include "platform/rtl_thread.h"
#include "platform/text.h"
#include "platform/thread_clock.h"
#include "transport/connection.h"
#include "transport/message_frame.h"
#include "transport/server_connection.h"
#include "transport/server_discovery.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

// Messages up to this size need no registered peer transport.
constexpr uint32_t kStdInBufferSize = nxStdInBufferSize;
// A burst of connects beyond the backlog waits a second per dropped SYN.
constexpr int kListenBacklog = 128;
// What the spare large bodies may hold together.
constexpr size_t kSpareBodyBytes = size_t{32} << 20;
constexpr uint32_t kMidMessageWaitMs = 2;
constexpr int kMidMessageWaits = 32;
constexpr int kMessagesPerReadiness = 16;
constexpr size_t kReadAheadSize = 4096;

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

// One whole message read by aRead (bytes, count: false when the peer is
// gone); 11276 when the peer is gone or the header is broken.
template <class Read>
void ReadWholeMessageWith(Read aRead, TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) {
  uint8_t header[nxHeaderSize];
  if (!aRead(header, sizeof header)) throw EnxTransportException(nullptr, nxeLostConnection);
  aHeader = nxLoadHeader(header);
  if (nxCheckHeader(aHeader) != 0) throw EnxTransportException(nullptr, nxeLostConnection);
  aBody.Resize(aHeader.bhLength - nxHeaderSize);
  if (!aRead(aBody.Data(), aBody.Size())) throw EnxTransportException(nullptr, nxeLostConnection);
}

// One whole message of a blocking socket; one that has not fully arrived by
// aDeadline (0: none) is 11276 too.
void ReadWholeMessage(int aFd, TnxBaseHeader& aHeader, TnxHeapBuffer& aBody, uint64_t aDeadline = 0) {
  ReadWholeMessageWith(
      [aFd, aDeadline](void* aBuffer, size_t aCount) { return ReadExactly(aFd, aBuffer, aCount, aDeadline); },
      aHeader, aBody);
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

// Header, error text and payload in one gather write: the payload is not
// copied.
bool WriteFrame(int aFd, const TnxMessageFields& aFields, uint32_t aUncompressedSize, const void* aBuffer,
                uint32_t aBufferSize, TnxHeapBuffer& aHead) {
  nxBuildFrameHead(aFields, aUncompressedSize, aBufferSize, aHead);
  const platform::TSocketBuffer buffers[] = {{aHead.Data(), aHead.Size()}, {aBuffer, aBuffer ? aBufferSize : 0u}};
  return platform::SocketWriteAll(aFd, buffers, 2);
}

class TnxWinsockClientConnection : public TnxBaseClientConnection {
public:
  using TnxBaseClientConnection::TnxBaseClientConnection;
  ~TnxWinsockClientConnection() override { platform::CloseSocket(wsFd); }

  void Initialize() override {
    const auto* transport = PooledTransport();
    uint32_t address = 0;
    // 0.0.0.0 would reach this machine: a name that does not resolve is
    // no server.
    if (!platform::ResolveInet4(platform::Utf16ToUtf8(nxServerNameHost(transport->ServerName())), address))
      throw EnxTransportException(nullptr, nxeServerNotFound);
    wsFd = platform::TcpConnect({address, transport->Port()}, transport->Timeout());
    if (wsFd < 0) throw EnxTransportException(nullptr, nxeServerNotFound);
  }
  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    if (!WriteFrame(wsFd, Fields(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType),
                    aUncompressedSize, aBuffer, aBufferSize, wsFrame))
      throw EnxTransportException(nullptr, nxeLostConnection);
  }
  // A reply not there by the request's timeout plus a grace drops the
  // connection (the raise makes its user free it).
  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override {
    ReadWholeMessage(wsFd, aHeader, aBody, ReplyDeadline(ReplyTimeout()));
  }
  void ForceDisconnect() override {
    if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(wsFd);
  }

private:
  int wsFd = -1;
  TnxHeapBuffer wsFrame;
};

// Each readiness takes what is there; the header and the body are
// collected over as many readinesses as the peer's pieces need.
class TnxWinsockServerConnection : public TnxBaseServerConnection {
public:
  TnxWinsockServerConnection(TnxWinsockTransport* aTransport, int aFd, const platform::TInet4Address& aLocal,
                             const platform::TInet4Address& aRemote)
      : TnxBaseServerConnection(aTransport),
        wsscTransport(aTransport),
        wsscFd(aFd),
        wsscLocalAddr(aLocal),
        wsscRemoteAddr(aRemote) {}
  ~TnxWinsockServerConnection() override {
    if (auto* queue = PooledTransport()->CompletionQueue()) queue->Disarm(wsscFd);
    platform::CloseSocket(wsscFd);
  }

  int Fd() const noexcept { return wsscFd; }
  // Watches for the next bytes; whichever server thread takes them sees
  // everything this one wrote.
  bool Arm() {
    wsscHandedOver.fetch_add(1, std::memory_order_release);
    return PooledTransport()->CompletionQueue()->Arm(wsscFd, Handle());
  }
  std::u16string RemoteAddressText() const override {
    return platform::Utf8ToUtf16(platform::Inet4Text(wsscRemoteAddr));
  }
  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    if (ForcedDisconnect()) throw EnxTransportException(nullptr, nxeLostConnection);
    if (!WriteFrame(wsscFd,
                    Fields(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType),
                    aUncompressedSize, aBuffer, aBufferSize, wsscFrame)) {
      // Also a peer that stopped reading: the send timeout ran out.
      ForceDisconnect();
      throw EnxTransportException(nullptr, nxeLostConnection);
    }
  }
  void ForceDisconnect() override {
    if (!bcForcedDisconnect.exchange(true)) platform::ShutdownSocket(wsscFd);
  }
  // A callback connection's messages: what was read ahead comes first.
  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override {
    ReadWholeMessageWith(
        [this](void* aBuffer, size_t aCount) {
          const size_t ahead = TakeAhead(aBuffer, aCount);
          return ReadExactly(wsscFd, static_cast<uint8_t*>(aBuffer) + ahead, aCount - ahead);
        },
        aHeader, aBody);
  }
  void IoCompleted(uint32_t, uint32_t) override {
    wsscHandedOver.load(std::memory_order_acquire);
    int waits = 0;
    int served = 0;
    for (;;) {
      if (ForcedDisconnect()) return Drop();
      const bool inHeader = wsscHave < nxHeaderSize;
      uint8_t* into = inHeader ? wsscHeaderBytes + wsscHave : wsscBody.Data() + (wsscHave - nxHeaderSize);
      const size_t missing = inHeader ? nxHeaderSize - wsscHave : wsscHeader.bhLength - wsscHave;
      int64_t n = static_cast<int64_t>(TakeAhead(into, missing));
      if (n == 0) {
        // A header, or a rest that fits, is read with whatever follows it:
        // a small message takes one read, not one for the header and one
        // for the body.
        const bool viaAhead = inHeader || missing < sizeof wsscAhead;
        n = platform::SocketReadNow(wsscFd, viaAhead ? wsscAhead : into, viaAhead ? sizeof wsscAhead : missing);
        if (n == 0) return Drop();  // the peer closed
        if (n < 0) {
          if (errno != EAGAIN && errno != EWOULDBLOCK) return Drop();
          // The rest of a message is usually on its way: a readiness of the
          // queue costs far more than a short wait here, and a stalled peer
          // holds the thread only that long (a trickle a few times over).
          if (wsscHave > 0 && waits++ < kMidMessageWaits && platform::WaitReadable(wsscFd, kMidMessageWaitMs))
            continue;
          return Rearm();
        }
        wsscTransport->CountRead(n);
        if (viaAhead) {
          wsscAheadEnd = static_cast<uint32_t>(n);
          n = static_cast<int64_t>(TakeAhead(into, missing));
        }
      }
      wsscHave += static_cast<uint32_t>(n);
      if (inHeader && wsscHave == nxHeaderSize && !HeaderTaken()) return Drop();
      if (wsscHave < nxHeaderSize || wsscHave < wsscHeader.bhLength) continue;
      wsscHave = 0;
      try {
        PooledTransport()->btProcessHeader(*this, wsscHeader, {wsscBody.Data(), wsscHeader.bhLength - nxHeaderSize},
                                           &wsscBody);
      } catch (...) {
        // An answer that could not be written: the peer is gone.
        ForceDisconnect();
        return Drop();
      }
      if (wsscHeader.bhLength > kStdInBufferSize) wsscTransport->GiveSpareBody(std::exchange(wsscBody, {}));
      // A callback connection is read by the threads that send on it.
      if (IsCallback()) return;
      // The next message is taken while it is there: armed on bytes that
      // have arrived, the queue wakes a second thread, which then races
      // this one for them. A few messages per readiness at most, so that a
      // busy peer does not hold the thread from the others.
      // Bytes read ahead are never left for a readiness that cannot come.
      if (++served >= kMessagesPerReadiness && wsscAheadBegin == wsscAheadEnd) return Rearm();
      waits = 0;
    }
  }

private:
  bool HeaderTaken() {
    wsscHeader = nxLoadHeader(wsscHeaderBytes);
    if (nxCheckHeader(wsscHeader) != 0) return false;
    // Large messages only from a peer whose transport registered.
    if (wsscHeader.bhLength > kStdInBufferSize && RemoteTransport() == nullptr) return false;
    const size_t size = wsscHeader.bhLength - nxHeaderSize;
    if (size > wsscBody.Capacity())
      if (TnxHeapBuffer spare = wsscTransport->TakeSpareBody(size); spare.Capacity() >= size) wsscBody = std::move(spare);
    wsscBody.Resize(size);
    return true;
  }
  void Rearm() {
    if (!Arm()) Drop();
  }
  // Up to aCount bytes read ahead, moved to aInto; how many.
  size_t TakeAhead(void* aInto, size_t aCount) noexcept {
    const size_t count = std::min<size_t>(aCount, wsscAheadEnd - wsscAheadBegin);
    std::memcpy(aInto, wsscAhead + wsscAheadBegin, count);
    wsscAheadBegin += static_cast<uint32_t>(count);
    if (wsscAheadBegin == wsscAheadEnd) wsscAheadBegin = wsscAheadEnd = 0;
    return count;
  }
  void Drop() {
    ForceDisconnect();
    Deactivate();  // the connection's own hold: the last user frees it
  }

  TnxWinsockTransport* wsscTransport;
  int wsscFd;
  platform::TInet4Address wsscLocalAddr;
  platform::TInet4Address wsscRemoteAddr;
  uint8_t wsscHeaderBytes[nxHeaderSize] = {};
  TnxBaseHeader wsscHeader{};
  uint32_t wsscHave = 0;
  TnxHeapBuffer wsscBody;
  // Bytes read past the part asked for, [wsscAheadBegin, wsscAheadEnd):
  // the rest of the message, and maybe the start of the next.
  uint8_t wsscAhead[kReadAheadSize] = {};
  uint32_t wsscAheadBegin = 0;
  uint32_t wsscAheadEnd = 0;
  TnxHeapBuffer wsscFrame;
  // The kernel orders the arm before the readiness, but the race detector
  // does not see through the queue: this makes the hand-over visible.
  std::atomic<uint32_t> wsscHandedOver{0};
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

platform::TInterfacePtr<InxActiveBroadcast> TnxWinsockTransport::BeginBroadcast(InxBroadcastReplyHandler*,
                                                                                int32_t) {
  return platform::TInterfacePtr<InxActiveBroadcast>(nxCreate<TnxNullActiveBroadcast>());
}

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
  auto* connection = new TnxWinsockServerConnection(this, aSocket, aLocal, aRemote);
  if (!connection->Arm()) {
    connection->Free();
    return;
  }
  if (WaitingThreadCount() < 1) btStartServerThreads(1);
}

TnxHeapBuffer TnxWinsockTransport::TakeSpareBody(size_t aSize) {
  std::lock_guard guard(wstSpareLock);
  auto best = wstSpareBodies.end();
  for (auto it = wstSpareBodies.begin(); it != wstSpareBodies.end(); ++it)
    if (it->Capacity() >= aSize && (best == wstSpareBodies.end() || it->Capacity() < best->Capacity())) best = it;
  if (best == wstSpareBodies.end()) return {};
  TnxHeapBuffer taken = std::move(*best);
  wstSpareBodies.erase(best);
  wstSpareBytes -= taken.Capacity();
  return taken;
}

void TnxWinsockTransport::GiveSpareBody(TnxHeapBuffer aBuffer) noexcept {
  std::lock_guard guard(wstSpareLock);
  if (aBuffer.Capacity() == 0 || wstSpareBytes + aBuffer.Capacity() > kSpareBodyBytes) return;
  try {
    wstSpareBodies.push_back(std::move(aBuffer));
    wstSpareBytes += wstSpareBodies.back().Capacity();
  } catch (...) {
  }
}

TnxBaseClientConnection* TnxWinsockTransport::btCreateClientConnection() {
  return nxCreateClientConnection<TnxWinsockClientConnection>(this);
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
  wstBytesRead.store(0, std::memory_order_relaxed);
  SetServerStarted(true);
  try {
    wstListenAddresses_ = nxEffectiveListenAddresses(wstListenAddresses);
    btStartServerThreads(1);
    for (const auto& address : wstListenAddresses_)
      wstListenThreads.push_back(std::make_unique<TnxWinsockServerListenThread>(*this, address));
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
  std::lock_guard guard(wstSpareLock);
  wstSpareBodies.clear();
  wstSpareBytes = 0;
}

void TnxWinsockTransport::StopListening() noexcept {
  while (!wstListenThreads.empty()) wstListenThreads.pop_back();
}

void TnxWinsockTransport::GetBoundAddresses(platform::TStringList& aList) {
  aList.Clear();
  if (Mode() == nxtmListen && ServerStarted() && wstListenAddresses_ != std::vector<std::u16string>{u"*"}) {
    for (const auto& address : wstListenAddresses_) aList.Add(address);
    return;
  }
  for (const auto& address : platform::UpInet4Addresses(wstLoopbackOnly)) aList.Add(platform::Utf8ToUtf16(address));
  if (Mode() != nxtmListen || ServerStarted() || wstListenAddresses.Count() == 0 ||
      wstListenAddresses.IndexOf(u"*") >= 0)
    return;
  for (int i = aList.Count() - 1; i >= 0; --i)
    if (wstListenAddresses.IndexOf(aList[i]) < 0) aList.Delete(i);
}

}  // namespace revurov
