#include "transport/shared_memory_transport.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/utils_system.h"
#include "platform/completion_queue.h"
#include "platform/host_info.h"
#include "platform/text.h"
#include "platform/thread_clock.h"
#include "transport/connection.h"
#include "transport/message_frame.h"
#include "transport/server_connection.h"
#include "transport/shared_memory_registry.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

// The connect mutex's object: set-up marker, the server's identity, the
// mutex.
constexpr size_t kConnectOwnerOffset = 16;
constexpr size_t kConnectMutexOffset = 64;
constexpr size_t kConnectObjectSize = 128;
constexpr uint32_t kConnectMutexTimeoutMs = 2000;

// What a client allows beyond a request's timeout before it gives up on
// the reply, as over the stream media.
constexpr uint64_t kReplyGraceMs = 1000;

std::atomic<uint64_t> gNextTestSection{0};

std::u16string Decimal(uint64_t aValue) { return platform::Utf8ToUtf16(std::to_string(aValue)); }

[[noreturn]] void RaiseLost() { throw EnxTransportException(nullptr, nxeLostConnection); }

platform::TSharedMutex& ConnectMutex(uint8_t* aView) noexcept {
  return *reinterpret_cast<platform::TSharedMutex*>(aView + kConnectMutexOffset);
}

bool ConnectObjectLive(uint8_t* aView) noexcept {
  return platform::ProcessIsAlive(platform::LoadOwner(aView + kConnectOwnerOffset));
}

// The wait for a reply of a request with aTimeout ms: its timeout plus a
// grace, or no limit (0 or $FFFFFFFF).
uint32_t ReplyWait(uint32_t aTimeout) noexcept {
  if (aTimeout == 0 || aTimeout == platform::kInfinite) return platform::kInfinite;
  return static_cast<uint32_t>(std::min<uint64_t>(uint64_t{aTimeout} + kReplyGraceMs, platform::kInfinite - 1));
}

// One whole message from aChannel into aHeader and aBody; the block is given
// back at the end. 11276 for a header that fails the check, claims another
// number of blocks or a length above aLimit, for a time-out and for a
// channel that ended.
void ReadWholeMessage(TnxSharedMemoryServer& aChannel, bool aUseNetIdle, uint32_t aTimeoutMs,
                      TnxBaseHeader& aHeader, TnxHeapBuffer& aBody, TnxStreamServerState& aSpares,
                      uint32_t aLimit = nxMaxMessageSize, bool aSoon = false) {
  try {
    const uint8_t* block = aChannel.Read(aUseNetIdle, aTimeoutMs, aSoon);
    if (!block) RaiseLost();
    aHeader = nxLoadHeader(block);
    if (nxCheckHeader(aHeader) != 0 || aHeader.bhParts != nxSharedMemoryParts(aHeader.bhLength) ||
        aHeader.bhLength > aLimit)
      RaiseLost();
    const uint32_t size = aHeader.bhLength - nxHeaderSize;
    // A large body takes pages already there rather than fresh ones.
    if (size > aBody.Capacity() && size > nxStdInBufferSize)
      if (TnxHeapBuffer spare = aSpares.TakeSpareBody(size); spare.Capacity() >= size) aBody = std::move(spare);
    aBody.Resize(size);
    uint32_t done = std::min(aHeader.bhLength, nxSharedMemoryBlockSize) - nxHeaderSize;
    if (done) std::memcpy(aBody.Data(), block + nxHeaderSize, done);
    while (done < size) {
      // The writer sends the rest at once; it gets as long as a writer
      // gives its reader.
      block = aChannel.Read(false, kSharedMemoryWriteTimeoutMs, true);
      if (!block) RaiseLost();
      const uint32_t count = std::min(size - done, nxSharedMemoryBlockSize);
      std::memcpy(aBody.Data() + done, block, count);
      done += count;
    }
    aChannel.Unlock();
  } catch (const EnxSharedMemoryDisconnected&) {
    RaiseLost();
  }
}

// Header and error text from aHead, then the payload, in blocks of 64 KiB.
void WriteWholeMessage(TnxSharedMemoryClient& aChannel, TnxHeapBuffer& aHead, const void* aBuffer,
                       uint32_t aPayload) {
  TnxBaseHeader header = nxLoadHeader(aHead.Data());
  header.bhParts = nxSharedMemoryParts(header.bhLength);
  const auto* payload = static_cast<const uint8_t*>(aBuffer);
  const uint32_t head = static_cast<uint32_t>(aHead.Size());
  uint8_t* block = aChannel.Write();
  nxStoreHeader(header, block);
  std::memcpy(block + nxHeaderSize, aHead.Data() + nxHeaderSize, head - nxHeaderSize);
  uint32_t done = std::min(aPayload, nxSharedMemoryBlockSize - head);
  if (done) std::memcpy(block + head, payload, done);
  aChannel.Unlock();
  while (done < aPayload) {
    const uint32_t count = std::min(aPayload - done, nxSharedMemoryBlockSize);
    aChannel.WriteBuffer(payload + done, count, true);
    done += count;
  }
}

void BuildHead(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize, TnxHeapBuffer& aHead) {
  nxBuildFrameHead(
      nxMessageFields(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType),
      aUncompressedSize, aBuffer ? aBufferSize : 0u, aHead);
}

void WriteChannelName(TnxSharedMemoryClient& aChannel, const std::u16string& aName) {
  std::string text = platform::Utf16ToUtf8(aName);
  text.push_back('\0');
  aChannel.WriteBuffer(text.data(), static_cast<uint32_t>(text.size()));
}

class TnxSharedMemoryClientConnection : public TnxBaseClientConnection {
public:
  TnxSharedMemoryClientConnection(TnxBasePooledTransport* aTransport, TnxSharedMemoryTransport& aMedium)
      : TnxBaseClientConnection(aTransport), smccTransport(&aMedium) {}
  ~TnxSharedMemoryClientConnection() override { ForceDisconnect(); }

  void Initialize() override {
    smccUseNetIdle = smccTransport->OverlappedClient();
    try {
      smccServer = std::make_unique<TnxSharedMemoryServer>(smccTransport->NamePrefixGetter(),
                                                          smccTransport->MutexOwner(), std::u16string());
    } catch (const platform::Exception&) {
      RaiseLost();
    }
    smccTransport->SendConnectRequest(smccServer->Name());
    try {
      // A server that took the request and died answers never.
      const uint32_t wait = smccTransport->Timeout() ? smccTransport->Timeout() : nxDefaultTransportTimeout;
      const uint8_t* block = smccServer->Read(smccUseNetIdle, wait);
      std::u16string name;
      if (!block || !nxReadChannelName(block, nxSharedMemoryBlockSize, name)) RaiseLost();
      smccClient = std::make_unique<TnxSharedMemoryClient>(name, true);
      smccServer->LinkWith(*smccClient, smccTransport->Watch());
      smccServer->Unlock();
    } catch (const EnxTransportException&) {
      throw;
    } catch (const platform::Exception&) {
      RaiseLost();
    }
  }

  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    BuildHead(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType,
              aUncompressedSize, aBuffer, aBufferSize, smccHead);
    if (!smccClient) RaiseLost();
    try {
      WriteWholeMessage(*smccClient, smccHead, aBuffer, aBuffer ? aBufferSize : 0u);
    } catch (const platform::Exception&) {
      ForceDisconnect();
      RaiseLost();
    }
  }

  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override {
    if (!smccServer || ForcedDisconnect()) RaiseLost();
    try {
      // A reply to a request just written: most come within microseconds.
      ReadWholeMessage(*smccServer, smccUseNetIdle, ReplyWait(ReplyTimeout()), aHeader, aBody,
                       smccTransport->Spares(), nxMaxMessageSize, true);
    } catch (...) {
      ForceDisconnect();
      throw;
    }
  }

  void ForceDisconnect() override {
    bcForcedDisconnect.store(true, std::memory_order_release);
    if (smccServer) smccServer->Disconnect();
    if (smccClient) smccClient->Disconnect();
  }

protected:
  void GiveBackLargeBody(TnxHeapBuffer& aBody) noexcept override {
    if (aBody.Capacity() > nxStdInBufferSize) smccTransport->Spares().GiveSpareBody(std::exchange(aBody, {}));
  }

private:
  TnxSharedMemoryTransport* smccTransport;
  bool smccUseNetIdle = false;
  std::unique_ptr<TnxSharedMemoryServer> smccServer;
  std::unique_ptr<TnxSharedMemoryClient> smccClient;
  TnxHeapBuffer smccHead;
};

enum TnxSharedMemoryServerState : uint8_t { smsInactive = 0, smsReading = 1, smsCallback = 2 };

class TnxSharedMemoryServerConnection : public TnxBaseServerConnection {
public:
  TnxSharedMemoryServerConnection(TnxSharedMemoryTransport* aTransport,
                                  std::unique_ptr<TnxSharedMemoryClient> aClient,
                                  std::unique_ptr<TnxSharedMemoryServer> aServer)
      : TnxBaseServerConnection(aTransport),
        smscTransport(aTransport),
        smscServer(std::move(aServer)),
        smscClient(std::move(aClient)) {}
  ~TnxSharedMemoryServerConnection() override { ForceDisconnect(); }

  std::u16string RemoteAddressText() const override {
    std::u16string name;
    if (!platform::GetComputerName(name)) name.clear();
    return name;
  }

  void DoWrite(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
               uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override {
    if (ForcedDisconnect()) RaiseLost();
    BuildHead(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode, aCompressType,
              aUncompressedSize, aBuffer, aBufferSize, smscHead);
    try {
      WriteWholeMessage(*smscClient, smscHead, aBuffer, aBuffer ? aBufferSize : 0u);
    } catch (const platform::Exception&) {
      ForceDisconnect();
      RaiseLost();
    }
  }

  void ForceDisconnect() override {
    bcForcedDisconnect.store(true, std::memory_order_release);
    smscServer->Disconnect();
    smscClient->Disconnect();
  }

  // A callback connection's messages, read by the threads that send on it.
  void ReadMessage(TnxBaseHeader& aHeader, TnxHeapBuffer& aBody) override {
    if (ForcedDisconnect()) RaiseLost();
    ReadWholeMessage(*smscServer, false, platform::kInfinite, aHeader, aBody, smscTransport->Spares());
  }

  // Holds the server thread for as long as the connection reads.
  void IoCompleted(uint32_t, uint32_t) override {
    if (smscState == smsInactive) {
      if (!smscTransport->Listening() || ForcedDisconnect()) return Drop();
      smscState = smsReading;
      try {
        WriteChannelName(*smscClient, smscServer->Name());
      } catch (const platform::Exception&) {
        return Drop();
      }
    }
    while (!IsCallback()) {
      if (ForcedDisconnect()) return Drop();
      TnxBaseHeader header{};
      try {
        // Large messages only from a peer whose transport registered.
        ReadWholeMessage(*smscServer, false, platform::kInfinite, header, smscBody, smscTransport->Spares(),
                         RemoteTransport() ? nxMaxMessageSize : nxStdInBufferSize);
      } catch (const platform::Exception&) {
        return Drop();
      }
      try {
        PooledTransport()->btProcessHeader(*this, header, {smscBody.Data(), header.bhLength - nxHeaderSize},
                                           &smscBody);
      } catch (...) {
        return Drop();
      }
      if (smscBody.Capacity() > nxStdInBufferSize) smscTransport->Spares().GiveSpareBody(std::exchange(smscBody, {}));
    }
    smscState = smsCallback;
  }

private:
  void Drop() {
    ForceDisconnect();
    Deactivate();  // the connection's own hold: the last user frees it
  }

  TnxSharedMemoryTransport* smscTransport;
  std::unique_ptr<TnxSharedMemoryServer> smscServer;
  std::unique_ptr<TnxSharedMemoryClient> smscClient;
  TnxSharedMemoryServerState smscState = smsInactive;
  TnxHeapBuffer smscBody;
  TnxHeapBuffer smscHead;
};

}  // namespace

// Reads connect requests on the listening channel; Free disconnects the
// channel, which ends a blocked read.
class TnxSharedMemoryServerListenThread : public TnxInitThread {
public:
  explicit TnxSharedMemoryServerListenThread(TnxSharedMemoryTransport& aTransport)
      : TnxInitThread(platform::TThreadPriority::tpNormal), smsltTransport(aTransport) {}
  ~TnxSharedMemoryServerListenThread() override {
    smsltServer.reset();
    smsltMutexView.Unmap();
    platform::TSharedMemoryState state;
    if (smsltMutexObject.IsOpen() && smsltMutexObject.State(state) && !state.Unlinked)
      platform::TSharedMemory::Unlink(smsltMutexName);
  }

  std::u16string_view ClassName() const noexcept override { return u"TnxSharedMemoryServerListenThread"; }

  void BeforeDestruction() override {
    Terminate();
    if (TnxSharedMemoryServer* server = smsltServer.get()) server->Disconnect();
    TnxInitThread::BeforeDestruction();
  }

protected:
  void DoBeforeExecute() override {
    TnxInitThread::DoBeforeExecute();
    const std::u16string base = smsltTransport.ServerObjectName();
    smsltMutexName = nxSharedObjectName(base, u"_Mutex");
    if (!nxCreateSharedObject(smsltMutexObject, smsltMutexName, kConnectObjectSize, &ConnectObjectLive)) {
      const int error = errno;
      platform::SetLastOSError(static_cast<uint32_t>(error));
      // Not ours: the destructor must not unlink a live server's name.
      smsltMutexObject.Close();
      nxRaiseLastOSError(ClassName(), 0);
    }
    {
      platform::TSharedMemoryLock setUp(smsltMutexObject, 2000);
      if (!smsltMutexObject.Resize(kConnectObjectSize) ||
          !smsltMutexView.Map(smsltMutexObject, kConnectObjectSize, true) ||
          !ConnectMutex(smsltMutexView.Data()).Init())
        nxRaiseLastOSError(ClassName(), 0);
      platform::StoreOwner(smsltMutexView.Data() + kConnectOwnerOffset, platform::CurrentProcessIdentity());
      reinterpret_cast<std::atomic<uint32_t>*>(smsltMutexView.Data())->store(nxSharedObjectReady);
    }
    smsltServer = std::make_unique<TnxSharedMemoryServer>(smsltTransport.NamePrefixGetter(),
                                                         smsltTransport.MutexOwner(), base + u"_SharedMemory");
  }

  void InnerExecute() override {
    while (!Terminated() && !smsltServer->IsDisconnected()) {
      try {
        const uint8_t* block = smsltServer->Read(false);
        std::u16string name;
        const bool named = block && nxReadChannelName(block, nxSharedMemoryBlockSize, name);
        smsltServer->Unlock();
        if (named) smsltTransport.ConnectionRequested(name);
      } catch (const platform::Exception& e) {
        if (smsltServer->IsDisconnected()) return;
        HandleException(e);
      }
    }
  }

private:
  TnxSharedMemoryTransport& smsltTransport;
  std::unique_ptr<TnxSharedMemoryServer> smsltServer;
  std::string smsltMutexName;
  platform::TSharedMemory smsltMutexObject;
  platform::TSharedView smsltMutexView;
};

std::u16string nxSharedMemoryServerObjectName(uint16_t aPort, const std::u16string& aServerName) {
  return u"nxSharedMemoryTransport_" + Decimal(aPort) + u"_" + aServerName;
}

bool nxReadChannelName(const uint8_t* aBlock, uint32_t aSize, std::u16string& aName) {
  const uint32_t reach = std::min(aSize, nxMaxChannelNameLength + 1);
  const auto* end = static_cast<const uint8_t*>(std::memchr(aBlock, 0, reach));
  if (!end || end == aBlock) return false;
  aName = platform::Utf8ToUtf16(std::string(reinterpret_cast<const char*>(aBlock), end - aBlock));
  return true;
}

uint32_t nxSharedMemoryParts(uint32_t aLength) noexcept {
  return aLength / nxSharedMemoryBlockSize + (aLength % nxSharedMemoryBlockSize ? 1 : 0);
}

// ---- transport ----

TnxSharedMemoryTransport::TnxSharedMemoryTransport(platform::TComponent* aOwner) : TnxBasePooledTransport(aOwner) {
  SetPort(16000);
}

TnxSharedMemoryTransport::~TnxSharedMemoryTransport() {
  StopListening();
  CloseConnectObjects();
}

void TnxSharedMemoryTransport::SetTransportScope(TnxSharedMemTransportScope aValue) {
  if (aValue == smtpTransportScope) return;
  CheckInactive();
  smtpTransportScope = aValue;
}

void TnxSharedMemoryTransport::SetSecurityDescriptor(const std::u16string& aValue) {
  if (aValue == smtpSecurityDescriptor) return;
  CheckInactive();
  smtpSecurityDescriptor = aValue;
}

std::u16string TnxSharedMemoryTransport::GetNamePrefix() const {
  // Creating global objects needs no privilege here (nxEnablePrivilege).
  const bool global = smtpTransportScope == smtsGlobal ||
                      (smtpTransportScope == smtsAuto && nxEnablePrivilege(u"SeCreateGlobalPrivilege", true));
  return std::u16string(global ? nxGlobalObjectPrefix : nxLocalObjectPrefix);
}

std::u16string TnxSharedMemoryTransport::ServerObjectName() const {
  return GetNamePrefix() + nxSharedMemoryServerObjectName(Port(), std::u16string(platform::Trim(ServerName())));
}

bool TnxSharedMemoryTransport::Supported() const {
  const std::string name = nxSharedObjectName(
      GetNamePrefix() + u"TnxSharedMemoryTransport_" + Decimal(platform::CurrentProcessId()) + u"_" +
          Decimal(gNextTestSection.fetch_add(1) + 1),
      u"");
  platform::TSharedMemory test;
  if (!test.Create(name)) return false;
  const bool sized = test.Resize(nxSharedMemoryBlockSize);
  platform::TSharedMemory::Unlink(name);
  return sized;
}

void TnxSharedMemoryTransport::DoInitialize() {
  TnxBasePooledTransport::DoInitialize();
  if (Mode() == nxtmListen) btCheckServerName();
}

void TnxSharedMemoryTransport::DoStart() {
  smtpWatch = std::make_unique<TnxSharedMemoryWatch>();
  smtpMutexOwner = platform::NewThread<TnxSharedMemoryMutexOwner>(u"[" + Name() + u": " + GetName() +
                                                                  u"] TnxSharedMemoryMutexOwner");
  if (Mode() == nxtmListen) {
    TnxBasePooledTransport::DoStart();
    if (ServerStarted()) return;
    SetServerStarted(true);
    try {
      btStartServerThreads(1);
      smtpListener = platform::NewThread<TnxSharedMemoryServerListenThread>(*this);
      if (RespondToBroadcasts()) {
        smtpDictionary = std::make_unique<TnxSharedMemoryDictionary>(this, NamePrefixGetter(), Port());
        smtpDictionary->Add(std::u16string(platform::Trim(ServerName())), ServerGUID(), nxSharedMemoryServerVersion);
      }
    } catch (...) {
      StopListening();
      SetServerStarted(false);
      throw;
    }
    return;
  }
  const std::u16string base = ServerObjectName();
  // A server between creating the object and sizing it: touching the view
  // past the end of the object would kill this process (SIGBUS).
  platform::TSharedMemoryState mutexState;
  if (!smtpConnectMutexObject.Open(nxSharedObjectName(base, u"_Mutex"), false) ||
      !smtpConnectMutexObject.State(mutexState) || mutexState.Size < kConnectObjectSize ||
      !smtpConnectMutexView.Map(smtpConnectMutexObject, kConnectObjectSize, true) ||
      reinterpret_cast<std::atomic<uint32_t>*>(smtpConnectMutexView.Data())->load() != nxSharedObjectReady ||
      !ConnectObjectLive(smtpConnectMutexView.Data())) {
    CloseConnectObjects();
    throw EnxTransportException(this, nxeServerNotFound);
  }
  try {
    smtpConnectClient = std::make_unique<TnxSharedMemoryClient>(base + u"_SharedMemory", false);
  } catch (...) {
    CloseConnectObjects();
    throw EnxTransportException(this, nxeServerNotFound);
  }
  if (smtpConnectClient->IsDisconnected()) {
    CloseConnectObjects();
    throw EnxTransportException(this, nxeServerNotFound);
  }
  try {
    TnxBasePooledTransport::DoStart();
  } catch (...) {
    CloseConnectObjects();
    throw;
  }
}

void TnxSharedMemoryTransport::DoStop() {
  SetServerStarted(false);
  StopListening();
  // A keep-alive of the heartbeat may be connecting through the objects
  // closed next.
  btStopHeartbeatAndWatchdog();
  CloseConnectObjects();
  TnxBasePooledTransport::DoStop();
  smtpSpares.ClearSpareBodies();
  // Every end is gone with its connection: nobody asks the owner or the
  // watch for anything any more.
  smtpMutexOwner.reset();
  smtpWatch.reset();
}

void TnxSharedMemoryTransport::StopListening() noexcept {
  if (smtpDictionary) {
    try {
      smtpDictionary->Remove(std::u16string(platform::Trim(ServerName())), ServerGUID());
    } catch (...) {
    }
    smtpDictionary.reset();
  }
  smtpListener.reset();
}

void TnxSharedMemoryTransport::CloseConnectObjects() noexcept {
  smtpConnectClient.reset();
  smtpConnectMutexView.Unmap();
  smtpConnectMutexObject.Close();
}

void TnxSharedMemoryTransport::SendConnectRequest(const std::u16string& aName) {
  if (!smtpConnectClient || !smtpConnectMutexView.Data()) RaiseLost();
  platform::TSharedMutex& mutex = ConnectMutex(smtpConnectMutexView.Data());
  const auto locked = mutex.LockFor(kConnectMutexTimeoutMs);
  if (locked == platform::TSharedMutex::TLockResult::OwnerDied)
    mutex.MarkConsistent();  // a client died in its request: the channel is the reader's to check
  else if (locked != platform::TSharedMutex::TLockResult::Locked)
    RaiseLost();
  try {
    WriteChannelName(*smtpConnectClient, aName);
  } catch (const platform::Exception&) {
    mutex.Unlock();
    RaiseLost();
  }
  mutex.Unlock();
}

void TnxSharedMemoryTransport::ConnectionRequested(const std::u16string& aName) {
  if (!ServerStarted()) return;
  auto client = std::make_unique<TnxSharedMemoryClient>(aName, true);
  auto server = std::make_unique<TnxSharedMemoryServer>(NamePrefixGetter(), MutexOwner(), std::u16string());
  server->LinkWith(*client, Watch());
  auto* connection = new TnxSharedMemoryServerConnection(this, std::move(client), std::move(server));
  if (!CompletionQueue() || !CompletionQueue()->Post(connection->Handle(), 0, 0)) {
    connection->Free();
    return;
  }
  if (WaitingThreadCount() < 1) btStartServerThreads(1);
}

TnxBaseClientConnection* TnxSharedMemoryTransport::btCreateClientConnection() {
  return nxCreateClientConnection<TnxSharedMemoryClientConnection>(this, *this);
}

void TnxSharedMemoryTransport::GetServerNames(platform::TStringList& aList, uint32_t) {
  TnxSharedMemoryDictionary dictionary(this, NamePrefixGetter(), Port());
  dictionary.GetServerNames(aList);
}

platform::TInterfacePtr<InxActiveBroadcast> TnxSharedMemoryTransport::BeginBroadcast(
    InxBroadcastReplyHandler* aHandler, int32_t aInterval) {
  return nxBeginSharedMemoryBroadcast(*this, aHandler, aInterval);
}

}  // namespace revurov
