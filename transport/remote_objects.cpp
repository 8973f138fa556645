#include "transport/remote_objects.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/handle_table.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/random.h"
#include "transport/pooled_transport.h"
#include "transport/server_connection.h"
#include "transport/session_callbacks.h"
#include "transport/transport_clock.h"
#include "transport/transport_exception.h"

namespace revurov {

namespace {

// Class tags of the handles: a handle of one class never names the other,
// and tags 1 and 2 keep every handle below $FFFFFFFF.
constexpr uint8_t kTransportTag = 1;
constexpr uint8_t kSessionTag = 2;
// The wait slice for a callback connection when the requester gives none.
constexpr uint32_t kCallbackWaitSliceMs = 1000;

// Never destroyed: clients may name objects until the process ends.
TnxHandleTable& Handles() {
  static auto* table = new TnxHandleTable;
  return *table;
}

// Readers: lookups taking their hold; writers: Free ending the handle. One
// per class, so a session's Free inside a remote transport's never waits on
// itself. Neither is entered twice by one thread.
std::shared_mutex gTransportPortal;
std::shared_mutex gSessionPortal;

std::atomic<int32_t> gLiveObjects{0};

bool TryIncrement(std::atomic<int32_t>& aCount) noexcept {
  int32_t count = aCount.load(std::memory_order_acquire);
  do {
    if (count < 0) return false;
  } while (!aCount.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel));
  return true;
}

uint32_t NewMarker() {
  uint32_t marker = 0;
  while (marker == 0)
    if (!platform::FillRandom(&marker, sizeof marker)) marker = static_cast<uint32_t>(nxTransportTickCount()) | 1;
  return marker;
}

}  // namespace

int32_t nxLiveRemoteObjectCount() noexcept { return gLiveObjects.load(std::memory_order_acquire); }

// ---- remote transport ----

TnxBaseRemoteTransport::TnxBaseRemoteTransport(TnxBasePooledTransport* aTransport,
                                               TnxBaseServerConnection* aConnection, uint8_t aRemoteMsgVersion,
                                               int64_t aHeartbeatInterval)
    : brtMarker(NewMarker()),
      brtRemoteAddress(aConnection ? aConnection->RemoteAddressText() : std::u16string()),
      brtRemoteMsgVersion(aRemoteMsgVersion),
      brtTransport(aTransport),
      brtHeartbeatInterval(aHeartbeatInterval) {
  gLiveObjects.fetch_add(1, std::memory_order_acq_rel);
}

TnxBaseRemoteTransport::~TnxBaseRemoteTransport() { gLiveObjects.fetch_sub(1, std::memory_order_acq_rel); }

TnxBaseRemoteTransport* TnxBaseRemoteTransport::Create(TnxBasePooledTransport* aTransport,
                                                       TnxBaseServerConnection* aConnection,
                                                       uint8_t aRemoteMsgVersion, int64_t aHeartbeatInterval) {
  auto* remote = new TnxBaseRemoteTransport(aTransport, aConnection, aRemoteMsgVersion, aHeartbeatInterval);
  try {
    remote->NotifyActivity();
    aTransport->AddRemoteTransport(remote);
    remote->brtHandle = Handles().Add(remote, nullptr, 0, kTransportTag);
    if (aConnection) aConnection->AttachTo(*remote);
  } catch (...) {
    remote->Free();
    throw;
  }
  return remote;
}

uint32_t TnxBaseRemoteTransport::LookupByID(TnxTransportID aTransportID, TnxBaseRemoteTransport*& aTransport) noexcept {
  aTransport = nullptr;
  if (TnxHandleTable::TagOf(aTransportID) != kTransportTag) return nxeInvalidHandle;
  std::shared_lock lock(gTransportPortal);
  auto* remote = static_cast<TnxBaseRemoteTransport*>(Handles().Lookup(aTransportID, nullptr, 0));
  if (!remote || remote->brtDestroying.load(std::memory_order_acquire) || remote->IsFailed())
    return nxeInvalidHandle;
  remote->Lock();
  aTransport = remote;
  return 0;
}

bool TnxBaseRemoteTransport::TryLock() noexcept { return TryIncrement(brtLock); }

void TnxBaseRemoteTransport::Unlock() noexcept {
  if (brtLock.fetch_sub(1, std::memory_order_acq_rel) - 1 == -1 && !brtFreeing.exchange(true)) Destroy();
}

void TnxBaseRemoteTransport::Free() noexcept {
  if (brtDestroying.load(std::memory_order_acquire)) return;
  // Its sessions hold it: a client freed with sessions left would never
  // be destroyed, nor would they.
  FailCascade();
  {
    std::unique_lock lock(gTransportPortal);
    if (brtDestroying.exchange(true)) return;
    if (brtHandle) Handles().Remove(brtHandle);
  }
  Unlock();
}

void TnxBaseRemoteTransport::Destroy() noexcept {
  brtMarker = 0;
  FailCascade();
  if (brtTransport) brtTransport->RemoveRemoteTransport(this);
  delete this;
}

void TnxBaseRemoteTransport::NotifyActivity() noexcept {
  if (brtHeartbeatInterval > 0)
    brtLastMessage.store(static_cast<int64_t>(nxTransportTickCount()), std::memory_order_release);
}

void TnxBaseRemoteTransport::Fail() noexcept {
  if (FailCascade()) Free();
}

bool TnxBaseRemoteTransport::FailCascade() noexcept {
  std::vector<TnxBaseRemoteSession*> sessions;
  {
    TnxPadlockGuard guard(brtFailPadlock);
    if (brtFailed.exchange(true)) return false;
    try {
      TnxPadlockGuard lists(brtListsPadlock);
      sessions.assign(brtSessions.rbegin(), brtSessions.rend());
      for (TnxBaseRemoteSession* session : sessions) session->Lock();
      // The readers of the connections wake up failed; each detaches when
      // its server thread frees it.
      for (TnxBaseServerConnection* connection : brtConnections) connection->ForceDisconnect();
    } catch (...) {
    }
  }
  for (TnxBaseRemoteSession* session : sessions) session->Fail();
  // Waiters for a callback connection wake up to find it closing; the idle
  // ones are read by nobody, so they are ended here.
  std::vector<TnxBaseServerConnection*> idle;
  {
    std::lock_guard guard(brtCallbackLock);
    idle.swap(brtCallbacks);
  }
  brtCallbackSignal.notify_all();
  for (TnxBaseServerConnection* connection : idle) connection->EndCallback();
  for (TnxBaseRemoteSession* session : sessions) {
    session->Free();
    session->Unlock();
  }
  // With connections left, the last one to detach frees it.
  return ConnectionCount() == 0;
}

int32_t TnxBaseRemoteTransport::ConnectionCount() const {
  TnxPadlockGuard guard(brtListsPadlock);
  return static_cast<int32_t>(brtConnections.size());
}

int32_t TnxBaseRemoteTransport::SessionCount() const {
  TnxPadlockGuard guard(brtListsPadlock);
  return static_cast<int32_t>(brtSessions.size());
}

void TnxBaseRemoteTransport::AttachConnection(TnxBaseServerConnection* aConnection) {
  NotifyActivity();
  TnxPadlockGuard guard(brtListsPadlock);
  // Fail takes its snapshot under this lock after it set the flag: what
  // joins later would be missed by it.
  if (IsFailed()) throw EnxTransportException(nullptr, nxeInvalidHandle);
  brtConnections.push_back(aConnection);
  brtIsLost.store(false, std::memory_order_release);
}

void TnxBaseRemoteTransport::DetachConnection(TnxBaseServerConnection* aConnection) noexcept {
  bool freeSelf = false;
  int32_t idle;
  {
    std::lock_guard guard(brtCallbackLock);
    std::erase(brtCallbacks, aConnection);
    idle = static_cast<int32_t>(brtCallbacks.size());
  }
  {
    TnxPadlockGuard guard(brtListsPadlock);
    std::erase(brtConnections, aConnection);
    // Idle callback connections carry no sign of life from the client.
    const int32_t remaining = static_cast<int32_t>(brtConnections.size()) - (SupportsCallbacks() ? idle : 0);
    if (!brtDestroying.load(std::memory_order_acquire) && remaining <= 0) {
      brtLastMessage.store(static_cast<int64_t>(nxTransportTickCount()), std::memory_order_release);
      brtIsLost.store(true, std::memory_order_release);
      // A failed one frees its sessions itself.
      freeSelf = brtSessions.empty() || IsFailed();
    }
  }
  if (freeSelf) Free();
}

void TnxBaseRemoteTransport::AddSession(TnxBaseRemoteSession* aSession) {
  NotifyActivity();
  TnxPadlockGuard guard(brtListsPadlock);
  if (IsFailed()) throw EnxTransportException(nullptr, nxeInvalidHandle);
  brtSessions.push_back(aSession);
}

void TnxBaseRemoteTransport::RemoveSession(TnxBaseRemoteSession* aSession) noexcept {
  TnxPadlockGuard guard(brtListsPadlock);
  std::erase(brtSessions, aSession);
}

// ---- callback connections ----

int32_t TnxBaseRemoteTransport::IdleCallbackCount() const {
  std::lock_guard guard(brtCallbackLock);
  return static_cast<int32_t>(brtCallbacks.size());
}

bool TnxBaseRemoteTransport::OfferCallback(TnxBaseServerConnection* aConnection) {
  {
    std::lock_guard guard(brtCallbackLock);
    // Fail empties the list after setting the flag: a late offer would stay.
    if (IsFailed() || brtDestroying.load(std::memory_order_acquire)) return false;
    brtSupportsCallbacks.store(true, std::memory_order_release);
    brtCallbacks.push_back(aConnection);
  }
  brtCallbackSignal.notify_one();
  return true;
}

TnxBaseServerConnection* TnxBaseRemoteTransport::TakeCallback(uint32_t aTimeOut) {
  const auto slice = std::chrono::milliseconds(aTimeOut > 0 ? aTimeOut : kCallbackWaitSliceMs);
  std::unique_lock lock(brtCallbackLock);
  for (;;) {
    if (brtDestroying.load(std::memory_order_acquire) || IsFailed() || brtFreeing.load(std::memory_order_acquire))
      throw EnxTransportException(nullptr, u"RemoteTransport is closing");
    if (!brtCallbacks.empty()) {
      TnxBaseServerConnection* connection = brtCallbacks.back();
      brtCallbacks.pop_back();
      connection->AddUser();
      return connection;
    }
    brtCallbackSignal.wait_for(lock, IsLost() ? std::chrono::milliseconds(1) : slice);
  }
}

void TnxBaseRemoteTransport::Request(bool aCallback, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
                                     TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
                                     int32_t aRequestDataLen, TnxReplyCallback aReplyCallback, void* aReplyCookie) {
  TnxOnceDelivery delivery{aReplyCallback, aReplyCookie};
  if (!SupportsCallbacks()) {
    delivery.Fail(aMsgID, nxeLostConnection);
    return;
  }
  TnxBaseServerConnection* connection;
  try {
    connection = TakeCallback(aTimeout);
  } catch (...) {
    delivery.Fail(aMsgID, nxeLostConnection);
    return;
  }
  try {
    TnxHeapBlock scratch;
    uint32_t uncompressedSize = 0;
    const uint8_t compressType = brtTransport->CompressType();
    const std::span<const uint8_t> data =
        brtTransport->btCompress(compressType, aRequestData, aRequestDataLen, scratch, uncompressedSize);
    connection->Transact(aCallback ? 0 : nxCallbackTransportID, aSessionID, aThreadPriority, aMsgID, nxmtRequest, 0,
                         uncompressedSize ? compressType : 0, uncompressedSize, data.empty() ? nullptr : data.data(),
                         static_cast<uint32_t>(data.size()), &TnxOnceDelivery::Deliver, &delivery);
  } catch (...) {
    connection->EndCallback();
    connection->DropUser();
    delivery.Fail(aMsgID, nxeLostConnection);
    return;
  }
  if (!OfferCallback(connection)) connection->EndCallback();
  connection->DropUser();
}

void TnxBaseRemoteTransport::Post(bool aCallback, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
                                  TnxMsgID aMsgID, const void* aRequestData, int32_t aRequestDataLen,
                                  uint32_t aTimeout) {
  if (!SupportsCallbacks()) return;
  TnxBaseServerConnection* connection;
  try {
    connection = TakeCallback(aTimeout);
  } catch (...) {
    return;
  }
  try {
    TnxHeapBlock scratch;
    uint32_t uncompressedSize = 0;
    const uint8_t compressType = brtTransport->CompressType();
    const std::span<const uint8_t> data =
        brtTransport->btCompress(compressType, aRequestData, aRequestDataLen, scratch, uncompressedSize);
    brtTransport->Write(connection, aCallback ? 0 : nxCallbackTransportID, aSessionID, aThreadPriority, aMsgID,
                        nxmtPost, 0, uncompressedSize ? compressType : 0, uncompressedSize,
                        data.empty() ? nullptr : data.data(), static_cast<uint32_t>(data.size()));
  } catch (...) {
    connection->EndCallback();
    connection->DropUser();
    return;
  }
  if (!OfferCallback(connection)) connection->EndCallback();
  connection->DropUser();
}

void TnxBaseRemoteTransport::TerminateConnection(TnxSessionID aSessionID, uint32_t aTimeout) {
  if (!SupportsCallbacks()) return;
  TnxBaseServerConnection* connection;
  try {
    connection = TakeCallback(aTimeout);
  } catch (...) {
    return;
  }
  try {
    brtTransport->Write(connection, nxCallbackTransportID, aSessionID, 0, 0, nxmtTerminateSession, 0, 0, 0, nullptr, 0);
  } catch (...) {
    connection->EndCallback();
    connection->DropUser();
    return;
  }
  if (!OfferCallback(connection)) connection->EndCallback();
  connection->DropUser();
}

uint32_t TnxBaseRemoteTransport::EstablishConnection(const std::u16string& aUserName, const std::u16string& aPassword,
                                                     int32_t aTimeout, int32_t aClientVersion, int32_t& aServerVersion,
                                                     TnxSessionID& aSessionID) {
  aServerVersion = aClientVersion;
  aSessionID = 0;
  if (!SupportsCallbacks()) {
    try {
      throw EnxTransportException(nullptr, nxeCapabilityNotSupported, u"Callbacks are not supported by this connection");
    } catch (...) {
      return nxConvertCurrentException(nullptr, nullptr, aClientVersion);
    }
  }
  TnxBaseServerConnection* connection;
  try {
    connection = TakeCallback(aTimeout > 0 ? static_cast<uint32_t>(aTimeout) : 0);
  } catch (...) {
    return nxeLostConnection;
  }
  uint32_t result;
  try {
    const TnxLoginBlock block = brtTransport->btSealedLoginBlock(aUserName, aPassword, aTimeout, aClientVersion);
    brtTransport->Write(connection, nxCallbackTransportID, 0, 0, nxLoginMsgID, nxmtLogin, 0, 0, 0, block.data(),
                        static_cast<uint32_t>(block.size()));
    TnxBaseHeader answer;
    TnxHeapBuffer body;
    connection->ReadMessage(answer, body);
    result = nxLoginAnswer(answer, body.Data(), static_cast<uint32_t>(body.Size()), aServerVersion, aSessionID);
  } catch (...) {
    connection->EndCallback();
    connection->DropUser();
    return nxeLostConnection;
  }
  if (!OfferCallback(connection)) connection->EndCallback();
  connection->DropUser();
  return result;
}

// ---- remote session ----

TnxBaseRemoteSession::TnxBaseRemoteSession(TnxBasePooledTransport* aTransport,
                                           TnxBaseRemoteTransport* aRemoteTransport, TnxSessionID aSessionID,
                                           uint32_t aClientVersion, uint32_t aServerVersion)
    : brsClientVersion(aClientVersion),
      brsServerVersion(aServerVersion),
      brsTransport(aTransport),
      brsSessionID(aSessionID) {
  gLiveObjects.fetch_add(1, std::memory_order_acq_rel);
  if (aRemoteTransport) {
    aRemoteTransport->Lock();
    brsRemoteTransport = aRemoteTransport;
  }
}

TnxBaseRemoteSession::~TnxBaseRemoteSession() { gLiveObjects.fetch_sub(1, std::memory_order_acq_rel); }

TnxBaseRemoteSession* TnxBaseRemoteSession::Create(TnxBasePooledTransport* aTransport,
                                                   TnxBaseRemoteTransport* aRemoteTransport, TnxSessionID aSessionID,
                                                   uint32_t aClientVersion, uint32_t aServerVersion) {
  auto* session = new TnxBaseRemoteSession(aTransport, aRemoteTransport, aSessionID, aClientVersion, aServerVersion);
  try {
    const uint32_t owner = aRemoteTransport ? aRemoteTransport->Handle() : 0;
    session->Lock();
    session->brsHandle = Handles().Add(session, nullptr, owner, kSessionTag);
    if (aRemoteTransport) aRemoteTransport->AddSession(session);
    aTransport->AddRemoteSession(session);
  } catch (...) {
    session->Free();
    session->Unlock();
    throw;
  }
  return session;
}

uint32_t TnxBaseRemoteSession::LookupByID(TnxBaseRemoteTransport* aRemoteTransport, TnxSessionID aHandle,
                                          TnxBaseRemoteSession*& aSession) noexcept {
  aSession = nullptr;
  if (TnxHandleTable::TagOf(aHandle) != kSessionTag) return nxeInvalidHandle;
  // The owner filed with the handle is the remote transport's handle: a
  // session of another client is not found.
  const uint32_t owner = aRemoteTransport ? aRemoteTransport->Handle() : 0;
  std::shared_lock lock(gSessionPortal);
  auto* session = static_cast<TnxBaseRemoteSession*>(Handles().Lookup(aHandle, nullptr, owner));
  if (!session || session->brsDestroying.load(std::memory_order_acquire) ||
      session->brsFailed.load(std::memory_order_acquire))
    return nxeInvalidHandle;
  session->Lock();
  aSession = session;
  return 0;
}

bool TnxBaseRemoteSession::TryLock() noexcept { return TryIncrement(brsLock); }

void TnxBaseRemoteSession::Unlock() noexcept {
  if (brsLock.fetch_sub(1, std::memory_order_acq_rel) - 1 == -1 && !brsFreeing.exchange(true)) Destroy();
}

void TnxBaseRemoteSession::Free() noexcept {
  {
    std::unique_lock lock(gSessionPortal);
    if (brsDestroying.exchange(true)) return;
    if (brsHandle) Handles().Remove(brsHandle);
    if (brsRemoteTransport) brsRemoteTransport->RemoveSession(this);
    brsTransport->RemoveRemoteSession(this);
  }
  Unlock();
}

platform::TInterfacePtr<InxInternalSessionCallback> TnxBaseRemoteSession::NewSessionCallback() {
  const TnxTransportID remote = brsRemoteTransport ? brsRemoteTransport->Handle() : 0;
  return platform::TInterfacePtr<InxInternalSessionCallback>(
      nxCreate<TnxRemoteSessionCallback>(remote, brsHandle));
}

platform::TInterfacePtr<InxInternalSessionCallback> TnxBaseRemoteSession::GetSessionCallback() {
  TnxPadlockGuard guard(brsCallbackPadlock);
  if (brsDestroying.load(std::memory_order_acquire) || brsFailed.load(std::memory_order_acquire)) return nullptr;
  if (!brsCallback) brsCallback = NewSessionCallback();
  return brsCallback;
}

void TnxBaseRemoteSession::DropCallback() noexcept {
  platform::TInterfacePtr<InxInternalSessionCallback> callback;
  {
    TnxPadlockGuard guard(brsCallbackPadlock);
    callback = std::move(brsCallback);
  }
  if (!callback) return;
  try {
    callback->Disconnect();
  } catch (...) {
  }
}

void TnxBaseRemoteSession::Destroy() noexcept {
  DropCallback();
  try {
    brsTransport->btRemoveSession(brsSessionID);
  } catch (...) {
  }
  TnxBaseRemoteTransport* remote = brsRemoteTransport;
  delete this;
  if (remote) remote->Unlock();
}

void TnxBaseRemoteSession::Fail() noexcept {
  {
    // Under the callback's lock, so that no callback is made after it.
    TnxPadlockGuard guard(brsCallbackPadlock);
    if (brsFailed.exchange(true)) return;
  }
  DropCallback();
  try {
    brsTransport->btSessionFailed(brsSessionID);
  } catch (...) {
  }
}

}  // namespace revurov
