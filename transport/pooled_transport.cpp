#include "transport/pooled_transport.h"

#include <algorithm>
#include <cerrno>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/completion_queue.h"
#include "platform/endian.h"
#include "platform/format.h"
#include "platform/text.h"
#include "transport/connection.h"
#include "transport/freed_connections.h"
#include "transport/login_block.h"
#include "transport/message_frame.h"
#include "transport/payload_compression.h"
#include "transport/remote_objects.h"
#include "transport/server_connection.h"
#include "transport/transport_clock.h"
#include "transport/transport_threads.h"

namespace revurov {

namespace {

constexpr uint8_t kMessageKey[64] = {
    0x5a, 0x1c, 0x9e, 0x07, 0xb3, 0xd8, 0x4f, 0x26, 0xe0, 0xa7, 0xc3, 0x5b, 0x91, 0xd4, 0x6f, 0x08,
    0xa2, 0xe5, 0x7c, 0x19, 0x30, 0xbd, 0x64, 0xf8, 0xe2, 0x9a, 0x0c, 0x7d, 0x51, 0xb3, 0xf4, 0x6e,
    0x8c, 0x02, 0xd9, 0xa7, 0xe4, 0xb1, 0x36, 0x5f, 0x07, 0xac, 0x92, 0xd8, 0xe3, 0x1b, 0x46, 0xf5,
    0xa0, 0x9c, 0x7e, 0x2d, 0x84, 0xb1, 0xf3, 0x60, 0x5e, 0x9a, 0x27, 0xc4, 0xd8, 0xb0, 0x1f, 0x63};

constexpr const char16_t* kPriorityNames[] = {u"tpIdle",   u"tpLowest",  u"tpLower",       u"tpNormal",
                                              u"tpHigher", u"tpHighest", u"tpTimeCritical"};

constexpr uint32_t kStopWaitMs = 100;
// The texts of a failed client start are those of this client version.
constexpr int32_t kClientVersion = 47501;
constexpr int kStopWaits = 50;
// The pause before the second and last connect attempt.
constexpr uint32_t kReconnectWaitMs = 100;
// A log-in and its answer carry this request number.
// The answer to a log-in: session handle and server version.

thread_local TnxNetIdleEvent tlsNetIdle;
thread_local uint32_t tlsNetIdleInterval = 0;
thread_local uint32_t tlsNetIdleMask = 0;

// Uncompressed ÷ actual bytes, each side taken as 1 below 2, so that a
// transport that sent nothing shows 1.
std::u16string Ratio(int64_t aUncompressed, int64_t aActual) {
  const double uncompressed = aUncompressed < 2 ? 1.0 : double(aUncompressed);
  const double actual = aActual < 2 ? 1.0 : double(aActual);
  return platform::Format(u"%.2n", {uncompressed / actual});
}

}  // namespace

const std::string& nxPooledTransportMessageKey() {
  static const std::string key(reinterpret_cast<const char*>(kMessageKey), sizeof kMessageKey);
  return key;
}

std::u16string nxThreadPriorityName(platform::TThreadPriority aValue) {
  const auto index = static_cast<size_t>(aValue);
  return index < std::size(kPriorityNames) ? kPriorityNames[index] : u"";
}

bool nxThreadPriorityFromName(std::u16string_view aName, platform::TThreadPriority& aValue) {
  for (size_t i = 0; i < std::size(kPriorityNames); ++i)
    if (platform::AsciiSameText(kPriorityNames[i], aName)) {
      aValue = static_cast<platform::TThreadPriority>(i);
      return true;
    }
  return false;
}

TnxBasePooledTransport::TnxBasePooledTransport(platform::TComponent* aOwner)
    : TnxBaseDirectTransport(aOwner), btBlowFish(std::make_unique<TnxBlowFishRC4>(nxPooledTransportMessageKey())) {
  nxRegisterPooledTransport();
}

TnxBasePooledTransport::~TnxBasePooledTransport() { nxUnregisterPooledTransport(); }

const TnxComponentExceptionClass& TnxBasePooledTransport::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxPooledTransportException>();
}

// ---- properties ----

void TnxBasePooledTransport::SetPort(uint16_t aValue) {
  if (aValue == btPort) return;
  CheckInactive();
  btPort = aValue;
}

void TnxBasePooledTransport::SetServerThreadPriority(platform::TThreadPriority aValue) {
  if (aValue == btServerThreadPriority) return;
  CheckInactive();
  btServerThreadPriority = aValue;
}

void TnxBasePooledTransport::SetConcurrentIOCPThreads(uint8_t aValue) {
  if (aValue == btConcurrentIOCPThreads) return;
  CheckInactiveOrStopped();
  btConcurrentIOCPThreads = aValue;
}

void TnxBasePooledTransport::SetHeartbeatThreadPriority(platform::TThreadPriority aValue) {
  if (aValue == btHeartbeatThreadPriority) return;
  CheckInactive();
  btHeartbeatThreadPriority = aValue;
}

void TnxBasePooledTransport::SetHeartbeatInterval(uint32_t aValue) {
  if (aValue == btHeartbeatInterval) return;
  CheckInactive();
  btHeartbeatInterval = aValue;
}

void TnxBasePooledTransport::SetWatchdogThreadPriority(platform::TThreadPriority aValue) {
  if (aValue == btWatchdogThreadPriority) return;
  CheckInactive();
  btWatchdogThreadPriority = aValue;
}

void TnxBasePooledTransport::SetWatchdogInterval(uint32_t aValue) {
  if (aValue == btWatchdogInterval) return;
  CheckInactive();
  btWatchdogInterval = aValue;
}

void TnxBasePooledTransport::SetLostConnectionTimeout(uint32_t aValue) {
  if (aValue == btLostConnectionTimeout) return;
  CheckInactive();
  btLostConnectionTimeout = aValue;
}

void TnxBasePooledTransport::SetOverlappedClient(bool aValue) {
  if (aValue == btOverlappedClient) return;
  CheckInactive();
  btOverlappedClient = aValue;
}

void TnxBasePooledTransport::SetCallbackThreadCount(uint8_t aValue) {
  if (aValue == btCallbackThreadCount) return;
  CheckInactiveOrStopped();
  btCallbackThreadCount = aValue;
}

void TnxBasePooledTransport::SetCallbackThreadPriority(platform::TThreadPriority aValue) {
  if (aValue == btCallbackThreadPriority) return;
  CheckInactive();
  btCallbackThreadPriority = aValue;
}

// ---- settings ----

void TnxBasePooledTransport::GetConfigSettings(TnxBaseSettings& aSettings) {
  TnxBaseDirectTransport::GetConfigSettings(aSettings);
  struct Row {
    const char16_t* name;
    int32_t def;
    int32_t min;
    int32_t max;  // 0: no upper bound
  };
  const Row rows[] = {{u"CompressLimit", 512, 1, 0},
                      {u"WatchDogInterval", 10000, 1, 0},
                      {u"Port", 16000, 1, 65535},
                      {u"ConcurrentIOCPThreads", 0, 1, 1024}};
  for (const Row& r : rows) {
    auto setting = std::make_unique<TnxBaseSetting>(r.name, nxstInteger, platform::TnxVariant::FromInteger(r.def), r.name);
    setting->fMin = platform::TnxVariant::FromInteger(r.min);
    if (r.max) setting->fMax = platform::TnxVariant::FromInteger(r.max);
    aSettings.AddSetting(std::move(setting));
  }
  aSettings.AddSetting(std::make_unique<TnxBaseSetting>(u"ServerThreadPriority", nxstThreadPriority,
                                                        platform::TnxVariant::FromString(u"tpNormal"),
                                                        u"ServerThreadPriority"));
}

void TnxBasePooledTransport::LoadConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxBaseDirectTransport::LoadConfig(aConfig);
  auto get = [&](std::u16string_view aName, int64_t aCurrent) -> int64_t {
    const platform::TnxVariant value = aConfig.GetValue(aName, platform::TnxVariant::FromInt64(aCurrent));
    return value.IsEmpty() ? aCurrent : value.AsInt64();
  };
  SetCompressLimit(static_cast<uint32_t>(get(u"CompressLimit", CompressLimit())));
  SetPort(static_cast<uint16_t>(get(u"Port", btPort)));
  SetConcurrentIOCPThreads(static_cast<uint8_t>(get(u"ConcurrentIOCPThreads", btConcurrentIOCPThreads)));
  const int64_t priority = get(u"ServerThreadPriority", static_cast<int64_t>(btServerThreadPriority));
  if (priority >= 0 && priority < static_cast<int64_t>(std::size(kPriorityNames)))
    SetServerThreadPriority(static_cast<platform::TThreadPriority>(priority));
  SetWatchdogInterval(static_cast<uint32_t>(get(u"WatchdogInterval", btWatchdogInterval)));
}

void TnxBasePooledTransport::SaveConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxBaseDirectTransport::SaveConfig(aConfig);
  aConfig.SetValue(u"CompressLimit", platform::TnxVariant::FromInt64(CompressLimit()));
  aConfig.SetValue(u"Port", platform::TnxVariant::FromInteger(btPort));
  aConfig.SetValue(u"ConcurrentIOCPThreads", platform::TnxVariant::FromInteger(btConcurrentIOCPThreads));
  aConfig.SetValue(u"ServerThreadPriority",
                   platform::TnxVariant::FromInteger(static_cast<int32_t>(btServerThreadPriority)));
  aConfig.SetValue(u"WatchdogInterval", platform::TnxVariant::FromInt64(btWatchdogInterval));
}

void TnxBasePooledTransport::SaveSettingsToStream(TnxWriter& aWriter) {
  TnxBaseDirectTransport::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(int32_t{3});
  aWriter.WriteInteger(static_cast<int32_t>(CompressLimit()));
  aWriter.WriteInteger(int32_t{btPort});
  aWriter.WriteInteger(int32_t{btConcurrentIOCPThreads});
  aWriter.WriteString(nxThreadPriorityName(btServerThreadPriority));
  aWriter.WriteInteger(static_cast<int32_t>(btWatchdogInterval));
}

void TnxBasePooledTransport::LoadSettingsFromStream(TnxReader& aReader) {
  TnxBaseDirectTransport::LoadSettingsFromStream(aReader);
  const int32_t version = aReader.ReadInteger();
  if (version < 1 || version > 3) RaiseError(nxeIncompatibleStream);
  SetCompressLimit(static_cast<uint32_t>(aReader.ReadInteger()));
  if (version < 2) return;
  SetPort(static_cast<uint16_t>(aReader.ReadInteger()));
  SetConcurrentIOCPThreads(static_cast<uint8_t>(aReader.ReadInteger()));
  platform::TThreadPriority priority;
  if (!nxThreadPriorityFromName(aReader.ReadString(), priority)) RaiseError(nxeIncompatibleStream);
  SetServerThreadPriority(priority);
  if (version < 3) return;
  SetWatchdogInterval(static_cast<uint32_t>(aReader.ReadInteger()));
}

void TnxBasePooledTransport::GetStatsCaptions(platform::TStringList& aList) const {
  TnxBaseDirectTransport::GetStatsCaptions(aList);
  aList.Add(u"Local Address");
  aList.Add(u"Total " + btConnectionsCaption());
  for (const char16_t* caption :
       {u"Connected Transports", u"Open Sessions", u"Messages sent", u"Actual bytes sent", u"Uncompressed bytes sent",
        u"Ratio sent", u"Messages received", u"Actual bytes received", u"Uncompressed bytes received",
        u"Ratio received"})
    aList.Add(caption);
}

void TnxBasePooledTransport::GetStatsValues(platform::TStringList& aList) const {
  TnxBaseDirectTransport::GetStatsValues(aList);
  platform::TStringList addresses;
  const_cast<TnxBasePooledTransport*>(this)->GetBoundAddresses(addresses);
  std::u16string joined;
  for (int i = 0; i < addresses.Count(); ++i) {
    if (i) joined += u", ";
    joined += addresses[i];
  }
  aList.Add(joined);
  for (int32_t count : {ServerConnectionCount(), btRemoteTransportCount(), btRemoteSessionCount()})
    aList.Add(platform::Format(u"%d", {count}));
  aList.Add(nxFormatGrouped(MessagesSent()));
  aList.Add(nxFormatGrouped(ActualBytesSent()));
  aList.Add(nxFormatGrouped(UncompressedBytesSent()));
  aList.Add(Ratio(UncompressedBytesSent(), ActualBytesSent()));
  aList.Add(nxFormatGrouped(MessagesReceived()));
  aList.Add(nxFormatGrouped(ActualBytesReceived()));
  aList.Add(nxFormatGrouped(UncompressedBytesReceived()));
  aList.Add(Ratio(UncompressedBytesReceived(), ActualBytesReceived()));
}

void TnxBasePooledTransport::Write(TnxBaseConnection* aConnection, TnxTransportID aTransportID,
                                   TnxSessionID aSessionID, TnxThreadPriority aThreadPriority, TnxMsgID aMsgID,
                                   uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
                                   uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) {
  TnxBaseDirectTransport::Write(aConnection, aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode,
                                aCompressType, aUncompressedSize, aBuffer, aBufferSize);
  if (aConnection)
    aConnection->DoWrite(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType,
                         aUncompressedSize, aBuffer, aBufferSize);
}

// ---- connections ----

bool TnxBasePooledTransport::IsConnected() {
  if (Failed()) return false;
  if (Mode() == nxtmListen) return btRemoteTransportCount() > 0;
  return ClientConnectionCount() > 0;
}

int32_t TnxBasePooledTransport::ConnectionCount() {
  if (Mode() == nxtmListen) return btRemoteTransportCount();
  return ClientConnectionCount() > 0 ? 1 : 0;
}

void TnxBasePooledTransport::AddClientConnection(TnxBaseConnection* aConnection) {
  TnxPadlockGuard guard(btConnectionsPadlock);
  btClientConnections.push_back(aConnection);
}

void TnxBasePooledTransport::RemoveClientConnection(TnxBaseConnection* aConnection) noexcept {
  TnxPadlockGuard guard(btConnectionsPadlock);
  std::erase(btClientConnections, aConnection);
}

void TnxBasePooledTransport::AddServerConnection(TnxBaseConnection* aConnection) {
  TnxPadlockGuard guard(btConnectionsPadlock);
  btServerConnections.push_back(aConnection);
}

void TnxBasePooledTransport::RemoveServerConnection(TnxBaseConnection* aConnection) noexcept {
  TnxPadlockGuard guard(btConnectionsPadlock);
  std::erase(btServerConnections, aConnection);
}

int32_t TnxBasePooledTransport::ServerConnectionCount() const {
  TnxPadlockGuard guard(btConnectionsPadlock);
  return static_cast<int32_t>(btServerConnections.size());
}

int32_t TnxBasePooledTransport::ClientConnectionCount() const {
  TnxPadlockGuard guard(btConnectionsPadlock);
  return static_cast<int32_t>(btClientConnections.size());
}

// ---- idle handler ----

void TnxBasePooledTransport::SetNetIdle(TnxNetIdleEvent aNetIdle, uint32_t aInterval, uint32_t aMask) {
  tlsNetIdle = std::move(aNetIdle);
  tlsNetIdleInterval = aInterval;
  tlsNetIdleMask = aMask;
}

bool TnxBasePooledTransport::GetNetIdle(TnxNetIdleEvent& aNetIdle, uint32_t& aInterval, uint32_t& aMask) {
  aNetIdle = tlsNetIdle;
  if (!aNetIdle) return false;
  aInterval = tlsNetIdleInterval;
  aMask = tlsNetIdleMask;
  return true;
}

// ---- start and stop ----

void TnxBasePooledTransport::DoStart() {
  SetFailed(false);
  btCompletionQueue = platform::CompletionQueue::Create();
  if (!btCompletionQueue) RaiseError(nxeOSError);
  TnxBaseDirectTransport::DoStart();
  if (Mode() == nxtmListen) {
    if (btWatchdogInterval != 0) btStartWatchdog();
    return;
  }
  try {
    btStartClient();
  } catch (const platform::EAbort&) {
    return;  // an abort ends the start quietly
  } catch (const EnxBaseException&) {
    throw;
  } catch (...) {
    uint32_t code = nxConvertCurrentException(nullptr, nullptr, kClientVersion);
    if (code == nxeOSError || code == nxeUnknownException) code = nxeServerNotFound;
    RaiseError(code);
  }
}

void TnxBasePooledTransport::DoStop() {
  SetServerStarted(false);
  btWakeBreaths();
  btStopHeartbeatAndWatchdog();
  TnxBaseDirectTransport::DoStop();

  try {
    btFailRemoteTransports();
  } catch (...) {
    btFreeRemoteObjects();
  }
  for (int i = 0; i < kStopWaits && btRemoteTransportCount() > 0; ++i) nxTransportSleep(kStopWaitMs);
  try {
    btFailRemoteSessions();
  } catch (...) {
    btFreeRemoteObjects();
  }
  for (int i = 0; i < kStopWaits && btProcessing.load() > 0; ++i) nxTransportSleep(kStopWaitMs);

  // A force-disconnect wakes the reader of the connection, whose server
  // thread then frees it; the list empties as they do. Handles, not
  // addresses, leave the lock: a connection may be freed right after.
  for (;;) {
    std::vector<uint32_t> handles;
    {
      TnxPadlockGuard guard(btConnectionsPadlock);
      handles.reserve(btServerConnections.size());
      for (TnxBaseConnection* connection : btServerConnections) handles.push_back(connection->Handle());
    }
    if (handles.empty()) break;
    for (uint32_t handle : handles) {
      TnxBaseConnection::Deliver(handle, [](TnxBaseConnection& aConnection) { aConnection.ForceDisconnect(); });
    }
    nxTransportSleep(kStopWaitMs);
  }

  btStopServerThreads();
  btCompletionQueue.reset();
  btFreeRemoteObjects();
  btStopCallbackThreads();
  btFreeClientConnections();
  btTransportID.store(0);
  SetFailed(false);
}

// ---- log-in ----

TnxLoginBlock TnxBasePooledTransport::btSealedLoginBlock(std::u16string_view aUserName, std::u16string_view aPassword,
                                                         int32_t aTimeout, int32_t aClientVersion) {
  TnxLoginBlock block = nxBuildLoginBlock(aUserName, aPassword, aTimeout, aClientVersion);
  // The cipher keeps its state from the vector to Final.
  TnxPadlockGuard guard(btBlowFishPadlock);
  btBlowFish->RandomIVBlock(block.data() + nxLoginIVOffset);
  btBlowFish->Encode(block.data(), nxLoginEncipheredSize);
  btBlowFish->Final(block.data() + nxLoginAuthOffset);
  return block;
}

uint32_t nxLoginAnswer(const TnxBaseHeader& aAnswer, const uint8_t* aReply, uint32_t aReplySize,
                       int32_t& aServerVersion, TnxSessionID& aSessionID) {
  if (aAnswer.bhMsgType != nxmtLoginReply || aAnswer.bhMsgID != nxLoginMsgID) return nxeLostConnection;
  if (aAnswer.bhErrorCode != 0) return aAnswer.bhErrorCode;
  // A success without the session would leave the caller with a handle
  // read from bytes that never came.
  if (aReplySize < nxLoginReplySize) return nxeLostConnection;
  aSessionID = platform::LoadU32(aReply);
  aServerVersion = static_cast<int32_t>(platform::LoadU32(aReply + 4));
  return 0;
}

// ---- callback, heartbeat and watchdog threads ----

void TnxBasePooledTransport::btStartClient() {
  try {
    for (int i = 0; i < btCallbackThreadCount; ++i) btCreateCallbackThread();
    if (btHeartbeatInterval != 0) {
      auto thread = platform::NewThread<TnxHeartbeatThread>(this);
      std::lock_guard guard(btThreadsLock);
      btHeartbeatThread = std::move(thread);
    }
  } catch (...) {
    // A refused registration fails the start: what started ends with it.
    btStopCallbackThreads();
    btStopHeartbeatAndWatchdog();
    btFreeClientConnections();
    throw;
  }
}

void TnxBasePooledTransport::btCreateCallbackThread() {
  auto thread = platform::NewThread<TnxBaseCallbackThread>(this);
  std::lock_guard guard(btThreadsLock);
  btCallbackThreads.push_back(std::move(thread));
}

int32_t TnxBasePooledTransport::CallbackThreadsRunning() const {
  std::lock_guard guard(btThreadsLock);
  int32_t running = 0;
  for (const auto& thread : btCallbackThreads) running += !thread->Finished();
  return running;
}

bool TnxBasePooledTransport::HeartbeatRunning() const {
  std::lock_guard guard(btThreadsLock);
  return btHeartbeatThread && !btHeartbeatThread->Finished();
}

void TnxBasePooledTransport::btStopCallbackThreads() {
  std::vector<platform::TThreadPtr<TnxBaseCallbackThread>> threads;
  {
    std::lock_guard guard(btThreadsLock);
    threads.swap(btCallbackThreads);
  }
  // All reads are ended before the first wait.
  for (auto& thread : threads) thread->Terminate();
  for (auto& thread : threads) thread->Shutdown();
}

void TnxBasePooledTransport::btStartWatchdog() {
  auto thread = platform::NewThread<TnxWatchdogThread>(this);
  std::lock_guard guard(btThreadsLock);
  btWatchdogThread = std::move(thread);
}

void TnxBasePooledTransport::btStopHeartbeatAndWatchdog() {
  platform::TThreadPtr<TnxHeartbeatThread> heartbeat;
  platform::TThreadPtr<TnxWatchdogThread> watchdog;
  std::vector<platform::TThreadPtr<TnxIntervalThread>> ended;
  {
    std::lock_guard guard(btThreadsLock);
    heartbeat = std::move(btHeartbeatThread);
    watchdog = std::move(btWatchdogThread);
    ended.swap(btRetiredThreads);
  }
  // Waiting for the threads' end would cost the stop a wake-up and a
  // scheduling of each, milliseconds on a busy machine: once signalled they
  // do nothing more with the transport.
  if (heartbeat) heartbeat->Signal();
  if (watchdog) watchdog->Signal();
  ended.clear();
  std::lock_guard guard(btThreadsLock);
  if (heartbeat) btRetiredThreads.push_back(std::move(heartbeat));
  if (watchdog) btRetiredThreads.push_back(std::move(watchdog));
}

bool TnxBasePooledTransport::btSendKeepAlive() noexcept {
  if (Mode() != nxtmSend) return false;
  while (!Failed()) {
    TnxBaseClientConnection* connection;
    try {
      connection = btAcquireConnection();
    } catch (...) {
      SetFailed(true);
      return false;
    }
    try {
      Write(connection, TransportID(), 0, 0, 0, nxmtKeepAlive, 0, 0, 0, nullptr, 0);
    } catch (...) {
      connection->Free();
      continue;
    }
    connection->Deactivate();
    return true;
  }
  return false;
}

void TnxBasePooledTransport::btFreeClientConnections() {
  std::vector<TnxBaseConnection*> connections;
  {
    TnxPadlockGuard guard(btConnectionsPadlock);
    connections.swap(btClientConnections);
  }
  for (TnxBaseConnection* connection : connections) connection->Free();
  while (btAvailableConnections.Pop()) {
  }
}

// ---- the client side ----

TnxBaseClientConnection* TnxBasePooledTransport::btCreateClientConnection() {
  RaiseError(nxeCapabilityNotSupported);
}

TnxBaseClientConnection* TnxBasePooledTransport::btAcquireConnection() {
  // Only client connections enter the pool (TnxBaseClientConnection::Deactivate).
  if (auto* idle = PopAvailableConnection()) return static_cast<TnxBaseClientConnection*>(idle);
  if (Failed()) RaiseError(nxeLostConnection);

  // The 64-bit clock needs no cap and never wraps.
  const uint64_t deadline = nxTransportTickCount() + Timeout();
  TnxBaseClientConnection* connection = nullptr;
  for (int attempt = 1; !connection; ++attempt) {
    try {
      connection = btCreateClientConnection();
    } catch (...) {
      if (attempt == 1 && nxTransportTickCount() <= deadline) {
        Sleep(kReconnectWaitMs);
        continue;
      }
      SetFailed(true);
      uint32_t code = 0;
      try {
        throw;
      } catch (const EnxBaseException& e) {
        code = e.ErrorCode();
      } catch (...) {
      }
      if (code == nxeLostConnection || code == nxeServerNotFound) throw;
      RaiseError(TransportID() == 0 ? nxeServerNotFound : nxeLostConnection);
    }
  }

  try {
    bool registered = false;
    if (TransportID() == 0) {
      // Threads that find the transport unregistered queue here; the first
      // registers it, the others then attach as any later connection does.
      TnxPadlockGuard guard(btConnectionsPadlock);
      if (TransportID() == 0) {
        btOpenTransport(*connection);
        registered = true;
      }
    }
    if (!registered) btAttachTransport(*connection);
  } catch (...) {
    SetFailed(true);
    connection->Free();
    throw;
  }
  return connection;
}

void TnxBasePooledTransport::btOpenTransport(TnxBaseClientConnection& aConnection) {
  uint8_t interval[4];
  platform::StoreU32(interval, btHeartbeatInterval);
  Write(&aConnection, 0, 0, 0, 0, nxmtOpenTransport, 0, 0, 0, interval, sizeof interval);
  uint8_t marker[4] = {};
  TnxBaseHeader answer;
  aConnection.Read(answer, marker, sizeof marker);
  if (answer.bhMsgType != nxmtTransportReply || answer.bhErrorCode != 0) RaiseError(nxeServerNotFound);
  btTransportMarker.store(platform::LoadU32(marker), std::memory_order_relaxed);
  btTransportID.store(answer.bhTransportID, std::memory_order_release);
}

void TnxBasePooledTransport::btAttachTransport(TnxBaseClientConnection& aConnection) {
  uint8_t marker[4];
  platform::StoreU32(marker, btTransportMarker.load(std::memory_order_relaxed));
  Write(&aConnection, TransportID(), 0, 0, 0, nxmtAttachTransport, 0, 0, 0, marker, sizeof marker);
  TnxBaseHeader answer;
  aConnection.Read(answer, nullptr, 0);
  if (answer.bhMsgType != nxmtTransportReply || answer.bhErrorCode != 0) RaiseError(nxeLostConnection);
}

std::span<const uint8_t> TnxBasePooledTransport::btCompress(uint8_t aCompressType, const void* aData,
                                                            int32_t aLength, TnxHeapBlock& aScratch,
                                                            uint32_t& aUncompressedSize) const {
  aUncompressedSize = 0;
  if (!aData || aLength <= 0) return {};
  const std::span<const uint8_t> data(static_cast<const uint8_t*>(aData), static_cast<size_t>(aLength));
  // Below the limit nothing is compressed: no scratch and no copy.
  if (aCompressType == 0 || data.size() <= CompressLimit()) return data;
  aScratch = nxAllocHeapBlock(nxCompressScratchSize(data.size()));
  const size_t size = nxCompressPayload(aCompressType, CompressLimit(), data, aScratch.get(), aUncompressedSize);
  return {aScratch.get(), size};
}

void TnxBasePooledTransport::btDeliverReply(const TnxBaseHeader& aHeader, std::span<const uint8_t> aBody,
                                            TnxHeapBuffer& aDecompressed, TnxReplyCallback aCallback,
                                            void* aReplyCookie) {
  if (!aCallback) return;
  if (aHeader.bhMsgType != nxmtReply) {
    aCallback(aHeader.bhMsgID, nxeLostConnection, nullptr, 0, aReplyCookie);
    return;
  }
  const TnxReceivedMessage received = nxTakeMessage(aHeader, aBody, TnxReceiver::rcClient, aDecompressed);
  if (received.rmError) {
    aCallback(aHeader.bhMsgID, nxeLostConnection, nullptr, 0, aReplyCookie);
    return;
  }
  btDoCallBack(aCallback, aHeader.bhMsgID, aHeader.bhErrorCode,
               received.rmPayload.empty() ? nullptr : received.rmPayload.data(),
               static_cast<int32_t>(received.rmPayload.size()), aReplyCookie,
               static_cast<int32_t>(received.rmCompressedSize));
}

namespace {

}  // namespace

// The client a listen-mode request goes to, held while it is used; no
// remote transport when the lookup fails.
struct TnxBasePooledTransport::TnxListenTarget {
  TnxBaseRemoteTransport* remote = nullptr;
  TnxSessionID session = 0;
  TnxListenTarget(TnxBasePooledTransport& aTransport, TnxTransportID aTransportID, TnxSessionID aSessionID) {
    TnxTransportID transport = aTransportID;
    session = aSessionID;
    if (aTransportID == 0) {
      // An engine session ID: its session's handle and client.
      TnxPadlockGuard guard(aTransport.btRemotePadlock);
      auto it = aTransport.btRemoteSessions.find(aSessionID);
      if (it == aTransport.btRemoteSessions.end() || !it->second->RemoteTransport()) return;
      session = it->second->Handle();
      transport = it->second->RemoteTransport()->Handle();
    }
    TnxBaseRemoteTransport::LookupByID(transport, remote);
  }
  ~TnxListenTarget() {
    if (remote) remote->Unlock();
  }
  TnxListenTarget(const TnxListenTarget&) = delete;
  TnxListenTarget& operator=(const TnxListenTarget&) = delete;
};

namespace {

TnxThreadPriority Clamped(TnxThreadPriority aValue, TnxThreadPriority aMin, TnxThreadPriority aMax) {
  return std::max(aMin, std::min(aValue, aMax));
}

}  // namespace

void TnxBasePooledTransport::Request(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                     TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                                     const void* aRequestData, int32_t aRequestDataLen,
                                     TnxReplyCallback aReplyCallback, void* aReplyCookie) {
  if (Failed()) {
    aReplyCallback(aMsgID, nxeLostConnection, nullptr, 0, aReplyCookie);
    return;
  }
  const TnxThreadPriority priority = Clamped(aThreadPriority, ThreadPriorityMin(), ThreadPriorityMax());
  if (Mode() == nxtmListen) {
    TnxListenTarget target(*this, aTransportID, aSessionID);
    if (!target.remote) {
      aReplyCallback(aMsgID, nxeInvalidHandle, nullptr, 0, aReplyCookie);
      return;
    }
    target.remote->Request(aTransportID == 0, target.session, priority, aMsgID, aTimeout, aRequestData,
                           aRequestDataLen, aReplyCallback, aReplyCookie);
    return;
  }
  if (aTransportID != 0) {
    aReplyCallback(aMsgID, nxeInvalidHandle, nullptr, 0, aReplyCookie);
    return;
  }
  TnxBaseClientConnection* connection;
  try {
    connection = btAcquireConnection();
  } catch (...) {
    aReplyCallback(aMsgID, nxeLostConnection, nullptr, 0, aReplyCookie);
    return;
  }
  TnxOnceDelivery delivery{aReplyCallback, aReplyCookie};
  // Only this request's reply is bounded by its timeout.
  connection->SetReplyTimeout(aTimeout);
  try {
    TnxHeapBlock scratch;
    uint32_t uncompressedSize = 0;
    const std::span<const uint8_t> data = btCompress(CompressType(), aRequestData, aRequestDataLen, scratch, uncompressedSize);
    connection->Transact(TransportID(), aSessionID, priority, aMsgID, nxmtRequest, 0, CompressType(),
                         uncompressedSize, data.empty() ? nullptr : data.data(), static_cast<uint32_t>(data.size()),
                         &TnxOnceDelivery::Deliver, &delivery);
  } catch (...) {
    connection->Free();
    if (!delivery.delivered) aReplyCallback(aMsgID, nxeLostConnection, nullptr, 0, aReplyCookie);
    return;
  }
  connection->SetReplyTimeout(0);
  connection->Deactivate();
}

void TnxBasePooledTransport::Post(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                  TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData,
                                  int32_t aRequestDataLen, uint32_t aTimeout) {
  CheckStarted();
  if (Failed()) return;
  const TnxThreadPriority priority = Clamped(aThreadPriority, ThreadPriorityMin(), ThreadPriorityMax());
  if (Mode() == nxtmListen) {
    TnxListenTarget target(*this, aTransportID, aSessionID);
    if (target.remote)
      target.remote->Post(aTransportID == 0, target.session, priority, aMsgID, aRequestData, aRequestDataLen,
                          aTimeout);
    return;
  }
  if (aTransportID != 0) RaiseError(nxeInvalidHandle);
  TnxBaseClientConnection* connection = btAcquireConnection();
  try {
    TnxHeapBlock scratch;
    uint32_t uncompressedSize = 0;
    const std::span<const uint8_t> data = btCompress(CompressType(), aRequestData, aRequestDataLen, scratch, uncompressedSize);
    Write(connection, TransportID(), aSessionID, priority, aMsgID, nxmtPost, 0, CompressType(), uncompressedSize,
          data.empty() ? nullptr : data.data(), static_cast<uint32_t>(data.size()));
  } catch (...) {
    connection->Free();
    return;
  }
  connection->Deactivate();
}

void TnxBasePooledTransport::Broadcast(TnxMsgID aMsgID, TnxThreadPriority aThreadPriority, const void* aRequestData,
                                       int32_t aRequestDataLen, uint32_t aTimeOut) {
  if (Mode() != nxtmListen || Failed()) return;
  const TnxThreadPriority priority = Clamped(aThreadPriority, ThreadPriorityMin(), ThreadPriorityMax());
  std::vector<TnxSessionID> sessions;
  {
    TnxPadlockGuard guard(btRemotePadlock);
    sessions.reserve(btRemoteSessions.size());
    for (const auto& entry : btRemoteSessions) sessions.push_back(entry.first);
  }
  for (TnxSessionID session : sessions) {
    try {
      Post(0, session, priority, aMsgID, aRequestData, aRequestDataLen, aTimeOut);
    } catch (...) {
    }
  }
}

void TnxBasePooledTransport::TerminateConnection(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                                 uint32_t aTimeout) {
  if (Mode() == nxtmListen) {
    if (Failed()) return;
    TnxBaseRemoteTransport* remote = nullptr;
    if (TnxBaseRemoteTransport::LookupByID(aTransportID, remote) != 0) return;
    remote->TerminateConnection(aSessionID, aTimeout);
    remote->Unlock();
    return;
  }
  if (Failed() || !IsConnected()) return;
  TnxBaseClientConnection* connection;
  try {
    connection = btAcquireConnection();
  } catch (...) {
    return;
  }
  try {
    Write(connection, TransportID(), aSessionID, 0, 0, nxmtTerminateSession, 0, 0, 0, nullptr, 0);
  } catch (...) {
    connection->Free();
    return;
  }
  connection->Deactivate();
}

uint32_t TnxBasePooledTransport::EstablishConnection(TnxTransportID aTransportID, const std::u16string& aUserName,
                                                     const std::u16string& aPassword, int32_t aTimeout,
                                                     int32_t aClientVersion, int32_t& aServerVersion,
                                                     TnxSessionID& aSessionID) {
  if (Mode() == nxtmListen) {
    TnxBaseRemoteTransport* remote = nullptr;
    if (const uint32_t code = TnxBaseRemoteTransport::LookupByID(aTransportID, remote)) return code;
    const uint32_t result =
        remote->EstablishConnection(aUserName, aPassword, aTimeout, aClientVersion, aServerVersion, aSessionID);
    remote->Unlock();
    return result;
  }
  CheckStarted();
  if (Failed()) return nxeLostConnection;
  aServerVersion = aClientVersion;
  aSessionID = 0;
  TnxBaseClientConnection* connection;
  try {
    connection = btAcquireConnection();
  } catch (...) {
    const TnxConvertLog log = [this](const std::u16string& aText, uint32_t aMsgNumber,
                                     TnxConvertLogPriority aPriority) {
      static constexpr TnxLogPriority kPriorities[] = {lpFatal, lpError, lpWarn, lpInfo};
      lcLog(aText, aMsgNumber, kPriorities[int(aPriority)], btLogCategory(), 0, 0);
    };
    return nxConvertCurrentException((GetEventLogEnabled() && EventLog()) ? &log : nullptr, nullptr,
                                     std::min(aClientVersion, aServerVersion));
  }
  uint32_t result;
  try {
    const TnxLoginBlock block = btSealedLoginBlock(aUserName, aPassword, aTimeout, aClientVersion);
    Write(connection, TransportID(), 0, 0, nxLoginMsgID, nxmtLogin, 0, 0, 0, block.data(),
          static_cast<uint32_t>(block.size()));
    uint8_t reply[nxLoginReplySize] = {};
    TnxBaseHeader answer;
    const uint32_t replySize = connection->Read(answer, reply, sizeof reply);
    result = nxLoginAnswer(answer, reply, replySize, aServerVersion, aSessionID);
  } catch (...) {
    connection->Free();
    return nxeLostConnection;
  }
  connection->Deactivate();
  return result;
}

}  // namespace revurov
