// The listening side of a pooled transport: every message of a server
// connection, the handshake, the log-in and the requests of its clients.
#include <algorithm>
#include <cstring>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/sync/events.h"
#include "platform/code_page.h"
#include "platform/completion_queue.h"
#include "platform/endian.h"
#include "platform/format.h"
#include "platform/os_thread.h"
#include "platform/text.h"
#include "transport/login_block.h"
#include "transport/message_frame.h"
#include "transport/pooled_transport.h"
#include "transport/remote_objects.h"
#include "transport/server_connection.h"
#include "transport/session_callbacks.h"
#include "transport/transport_clock.h"

namespace revurov {

namespace {

// Login texts are UTF-8 from this client version on, older clients send
// the system code page.
constexpr int32_t kUtf8LoginVersion = 30900;
// The time bias a log entry gets when the writer takes its own.
constexpr int32_t kLogOwnTimeBias = 0x0FFFFFFF;

// The request a server thread is serving.
struct TRequestContext {
  TnxBasePooledTransport* transport;
  TnxBaseConnection* connection;
  TnxBaseHeader header;  // bhMsgType becomes 2 with the reply
  TnxBaseRemoteSession* session;
};

thread_local TRequestContext* tlsRequest = nullptr;

uint32_t BreathThunk(void* aTransport) {
  static_cast<TnxBasePooledTransport*>(aTransport)->btBreath();
  return 0;
}

std::u16string LoginText(const uint8_t* aField, int32_t aClientVersion) {
  const std::string_view bytes(reinterpret_cast<const char*>(aField + 1), aField[0]);
  if (aClientVersion >= kUtf8LoginVersion) return platform::Utf8ToUtf16(bytes);
  return platform::CodePageToUnicode(bytes, platform::SystemAnsiCodePage());
}

// Releases the holds of a request's lookups, whatever way it ends.
struct TLookups {
  TnxBaseRemoteTransport* remote = nullptr;
  TnxBaseRemoteSession* session = nullptr;
  ~TLookups() {
    if (session) session->Unlock();
    if (remote) remote->Unlock();
  }
};

// A request's priority as the thread's nice value while it runs (5 steps
// per level). Applied only when the old value can be set again: an
// unprivileged thread may lower itself but never rise back, so a lowering
// needs the right to raise, which is probed once per thread.
class TRequestPriority {
public:
  TRequestPriority(const TnxBaseHeader& aHeader, TnxThreadPriority aPriority) noexcept {
    if (aHeader.bhVersion == 0 || aPriority == 0) return;
    rpThread = platform::CurrentThreadId();
    if (!platform::GetThreadNice(rpThread, rpOld)) return;
    const int target = std::clamp(rpOld - 5 * aPriority, kMostUrgent, kLeastUrgent);
    if (target == rpOld || (target > rpOld && !CanRaise())) return;
    rpApplied = platform::SetThreadNice(rpThread, target);
  }
  ~TRequestPriority() {
    if (rpApplied) platform::SetThreadNice(rpThread, rpOld);
  }
  TRequestPriority(const TRequestPriority&) = delete;
  TRequestPriority& operator=(const TRequestPriority&) = delete;

private:
  static constexpr int kMostUrgent = -20;
  static constexpr int kLeastUrgent = 19;

  bool CanRaise() const noexcept {
    static thread_local int tlsCanRaise = -1;
    if (tlsCanRaise < 0)
      tlsCanRaise = rpOld == kMostUrgent ||
                    (platform::SetThreadNice(rpThread, rpOld - 1) && platform::SetThreadNice(rpThread, rpOld));
    return tlsCanRaise == 1;
  }

  uint32_t rpThread = 0;
  int rpOld = 0;
  bool rpApplied = false;
};

uint32_t CodeOfCurrentException(uint32_t aVersion) {
  return nxConvertCurrentException(nullptr, nullptr, static_cast<int32_t>(aVersion));
}

}  // namespace

// ---- the lists of remote objects ----

void TnxBasePooledTransport::AddRemoteTransport(TnxBaseRemoteTransport* aRemoteTransport) {
  TnxPadlockGuard guard(btRemotePadlock);
  btRemoteTransports.push_back(aRemoteTransport);
}

void TnxBasePooledTransport::RemoveRemoteTransport(TnxBaseRemoteTransport* aRemoteTransport) noexcept {
  TnxPadlockGuard guard(btRemotePadlock);
  std::erase(btRemoteTransports, aRemoteTransport);
}

void TnxBasePooledTransport::AddRemoteSession(TnxBaseRemoteSession* aSession) {
  TnxPadlockGuard guard(btRemotePadlock);
  btRemoteSessions[aSession->SessionID()] = aSession;
}

void TnxBasePooledTransport::RemoveRemoteSession(TnxBaseRemoteSession* aSession) noexcept {
  TnxPadlockGuard guard(btRemotePadlock);
  auto it = btRemoteSessions.find(aSession->SessionID());
  if (it != btRemoteSessions.end() && it->second == aSession) btRemoteSessions.erase(it);
}

int32_t TnxBasePooledTransport::btRemoteTransportCount() const {
  TnxPadlockGuard guard(btRemotePadlock);
  return static_cast<int32_t>(btRemoteTransports.size());
}

int32_t TnxBasePooledTransport::btRemoteSessionCount() const {
  TnxPadlockGuard guard(btRemotePadlock);
  return static_cast<int32_t>(btRemoteSessions.size());
}

namespace {

// Holds on every listed object still alive; the caller unlocks them.
template <class T, class Range, class Get>
std::vector<T*> HoldAll(const Range& aRange, Get aGet) {
  std::vector<T*> held;
  for (const auto& entry : aRange)
    if (T* object = aGet(entry); object->TryLock()) held.push_back(object);
  return held;
}

}  // namespace

void TnxBasePooledTransport::btFailRemoteTransports() {
  std::vector<TnxBaseRemoteTransport*> remotes;
  {
    TnxPadlockGuard guard(btRemotePadlock);
    remotes = HoldAll<TnxBaseRemoteTransport>(btRemoteTransports, [](auto* r) { return r; });
  }
  for (TnxBaseRemoteTransport* remote : remotes) {
    remote->Fail();
    remote->Unlock();
  }
}

void TnxBasePooledTransport::btFailRemoteSessions() {
  std::vector<TnxBaseRemoteSession*> sessions;
  {
    TnxPadlockGuard guard(btRemotePadlock);
    sessions = HoldAll<TnxBaseRemoteSession>(btRemoteSessions, [](const auto& e) { return e.second; });
  }
  for (TnxBaseRemoteSession* session : sessions) {
    session->Fail();
    session->Free();
    session->Unlock();
  }
}

void TnxBasePooledTransport::btFreeRemoteObjects() {
  btFailRemoteSessions();
  std::vector<TnxBaseRemoteTransport*> remotes;
  {
    TnxPadlockGuard guard(btRemotePadlock);
    remotes = HoldAll<TnxBaseRemoteTransport>(btRemoteTransports, [](auto* r) { return r; });
  }
  for (TnxBaseRemoteTransport* remote : remotes) {
    remote->Fail();
    remote->Free();
    remote->Unlock();
  }
}

// ---- dispatch ----

void TnxBasePooledTransport::btAnswerError(TnxBaseServerConnection& aConnection, const TnxBaseHeader& aHeader,
                                           uint32_t aCode) {
  Write(&aConnection, aHeader.bhTransportID, aHeader.bhSessionID, aHeader.bhThreadPriority, aHeader.bhMsgID,
        nxmtError, aCode, 0, 0, nullptr, 0);
}

void TnxBasePooledTransport::btProcessHeader(TnxBaseServerConnection& aConnection, const TnxBaseHeader& aHeader,
                                             std::span<const uint8_t> aBody, TnxHeapBuffer* aBodyBuffer) {
  btSetCurrentTransport();
  if (Mode() == nxtmListen && !ServerStarted()) {
    btAnswerError(aConnection, aHeader, nxeLostConnection);
    return;
  }
  btProcessing.fetch_add(1, std::memory_order_acq_rel);
  struct Leave {
    std::atomic<int32_t>& count;
    ~Leave() { count.fetch_sub(1, std::memory_order_acq_rel); }
  } leave{btProcessing};

  // Error text, version and decompression; the buffer lives to the end of
  // the processing.
  TnxHeapBuffer decompressed;
  TnxReceivedMessage received;
  try {
    received = nxTakeMessage(aHeader, aBody, TnxReceiver::rcServer, decompressed);
  } catch (...) {
    received.rmError = nxeLostConnection;  // an unknown compressor
  }
  if (received.rmError) {
    btAnswerError(aConnection, aHeader, received.rmError);
    if (received.rmDropConnection) aConnection.ForceDisconnect();
    return;
  }
  const std::span<const uint8_t> payload = received.rmPayload;

  switch (aHeader.bhMsgType) {
    case nxmtRequest:
    case nxmtPost: {
      // The payload is the decompressed buffer, all of the body, or a part
      // of the body (after an error text), which only a copy can hand over.
      TnxHeapBuffer* holder = &decompressed;
      if (payload.data() != decompressed.Data()) holder = aBodyBuffer;
      if (holder && (payload.data() != holder->Data() || payload.size() != holder->Size())) holder = nullptr;
      btProcessRequest(aConnection, aHeader, payload, holder);
      break;
    }
    case nxmtLogin:
      btProcessLogin(aConnection, aHeader, payload);
      break;
    case nxmtTerminateSession:
      btProcessTerminateSession(aConnection, aHeader);
      break;
    case nxmtDisconnect:
      aConnection.ForceDisconnect();
      break;
    case nxmtKeepAlive:
      aConnection.NotifyActivity();
      break;
    case nxmtOpenTransport:
      btProcessOpenTransport(aConnection, aHeader, payload);
      break;
    case nxmtAttachTransport:
      btProcessAttachTransport(aConnection, aHeader, payload);
      break;
    case nxmtRegisterCallback:
      btProcessRegisterCallback(aConnection, aHeader);
      break;
    default:
      btAnswerError(aConnection, aHeader, nxeCapabilityNotSupported);
      break;
  }
}

void TnxBasePooledTransport::btProcessOpenTransport(TnxBaseServerConnection& aConnection,
                                                    const TnxBaseHeader& aHeader, std::span<const uint8_t> aPayload) {
  if (KeepStats()) btUpdateStats(0, 1, 0, 0, 0, static_cast<int64_t>(aPayload.size()), 0, 0);
  if (const TnxTransportID attached = aConnection.RemoteTransportID()) {
    Write(&aConnection, attached, aHeader.bhSessionID, aHeader.bhThreadPriority, aHeader.bhMsgID,
          nxmtTransportReply, nxeInvalidHandle, 0, 0, nullptr, 0);
    return;
  }
  const int64_t interval = aPayload.size() == 4 ? platform::LoadU32(aPayload.data()) : 0;
  TnxBaseRemoteTransport* remote;
  try {
    remote = TnxBaseRemoteTransport::Create(this, &aConnection, aHeader.bhVersion, interval);
  } catch (...) {
    Write(&aConnection, 0, aHeader.bhSessionID, aHeader.bhThreadPriority, aHeader.bhMsgID, nxmtTransportReply,
          CodeOfCurrentException(0), 0, 0, nullptr, 0);
    return;
  }
  uint8_t marker[4];
  platform::StoreU32(marker, remote->Marker());
  Write(&aConnection, remote->Handle(), aHeader.bhSessionID, aHeader.bhThreadPriority, aHeader.bhMsgID,
        nxmtTransportReply, 0, 0, 0, marker, sizeof marker);
}

void TnxBasePooledTransport::btProcessAttachTransport(TnxBaseServerConnection& aConnection,
                                                      const TnxBaseHeader& aHeader, std::span<const uint8_t> aPayload) {
  if (const TnxTransportID attached = aConnection.RemoteTransportID()) {
    Write(&aConnection, attached, aHeader.bhSessionID, aHeader.bhThreadPriority, aHeader.bhMsgID,
          nxmtTransportReply, nxeInvalidHandle, 0, 0, nullptr, 0);
    return;
  }
  TLookups held;
  uint32_t code = TnxBaseRemoteTransport::LookupByID(aHeader.bhTransportID, held.remote);
  // The marker is the proof that the client registered this transport:
  // without it, any handle guessed would attach to another client.
  if (code == 0 && (aPayload.size() != 4 || platform::LoadU32(aPayload.data()) != held.remote->Marker()))
    code = nxeInvalidHandle;
  if (code == 0) {
    try {
      aConnection.AttachTo(*held.remote);
    } catch (...) {
      code = CodeOfCurrentException(0);
    }
  }
  Write(&aConnection, held.remote ? held.remote->Handle() : 0, aHeader.bhSessionID, aHeader.bhThreadPriority,
        aHeader.bhMsgID, nxmtTransportReply, code, 0, 0, nullptr, 0);
}

void TnxBasePooledTransport::btProcessRegisterCallback(TnxBaseServerConnection& aConnection,
                                                       const TnxBaseHeader& aHeader) {
  TLookups held;
  uint32_t code = TnxBaseRemoteTransport::LookupByID(aHeader.bhTransportID, held.remote);
  // Only a connection of the client it names: one that never registered
  // would otherwise serve any client it guessed the handle of.
  if (code == 0 && held.remote != aConnection.RemoteTransport()) code = nxeInvalidParameter;
  if (code != 0) {
    Write(&aConnection, aHeader.bhTransportID, aHeader.bhSessionID, aHeader.bhThreadPriority, aHeader.bhMsgID,
          nxmtCallbackRegistered, code, 0, 0, nullptr, 0);
    return;
  }
  // Answered before it is offered: a request written first would reach the
  // client before its acknowledgement. Requesters meanwhile wait for it.
  held.remote->ExpectCallback();
  if (btCallbackNeedsAck())
    Write(&aConnection, aHeader.bhTransportID, 0, aHeader.bhThreadPriority, aHeader.bhMsgID, nxmtCallbackRegistered,
          0, 0, 0, nullptr, 0);
  if (!aConnection.SetAsCallback()) aConnection.EndCallback();
}

void TnxBasePooledTransport::btProcessCallbackMessage(TnxBaseClientConnection& aConnection,
                                                      const TnxBaseHeader& aHeader, std::span<const uint8_t> aBody) {
  btSetCurrentTransport();
  TnxHeapBuffer decompressed;
  TnxReceivedMessage received;
  try {
    received = nxTakeMessage(aHeader, aBody, TnxReceiver::rcServer, decompressed);
  } catch (...) {
    received.rmError = nxeLostConnection;
  }
  if (received.rmError) {
    // Out of step with the server: the connection cannot be trusted.
    if (received.rmDropConnection) aConnection.ForceDisconnect();
    return;
  }
  switch (aHeader.bhMsgType) {
    case nxmtRequest:
    case nxmtPost:
      btProcessRequest(aConnection, aHeader, received.rmPayload);
      break;
    case nxmtLogin:
      btProcessLogin(aConnection, aHeader, received.rmPayload);
      break;
    case nxmtTerminateSession:
      btProcessTerminateSession(aConnection, aHeader);
      break;
    default:
      break;
  }
}

platform::TInterfacePtr<InxSessionCallback> TnxBasePooledTransport::btGetSessionCallback() {
  TRequestContext* context = tlsRequest;
  if (!context || context->transport != this) return nullptr;
  if (context->session) return context->session->GetSessionCallback();
  if (Mode() == nxtmSend && context->header.bhSessionID != 0)
    return platform::TInterfacePtr<InxSessionCallback>(
        nxCreate<TnxLocalSessionCallback>(this, context->header.bhSessionID));
  return nullptr;
}

// ---- the watchdog ----

void TnxBasePooledTransport::btWatchdogStep() {
  platform::CompletionQueue* queue = ServerStarted() ? CompletionQueue() : nullptr;
  if (!queue) {
    btCheckLostConnections();
    return;
  }
  if (WaitingThreadCount() > 0 && btRemoteTransportCount() > 0) queue->Post(nxWatchdogPassKey, 0, 0);
}

void TnxBasePooledTransport::btCheckLostConnections() {
  // The 64-bit clock never wraps: a stamp taken just before 2^32 ms is
  // compared as it is, not dropped from the test.
  const auto now = static_cast<int64_t>(nxTransportTickCount());
  std::vector<TnxBaseRemoteTransport*> collected;
  {
    TnxPadlockGuard guard(btRemotePadlock);
    for (auto it = btRemoteTransports.rbegin(); it != btRemoteTransports.rend(); ++it) {
      TnxBaseRemoteTransport* remote = *it;
      if (!remote->TryLock()) continue;
      const int64_t last = remote->LastMessage();
      bool drop = false;
      if ((remote->HeartbeatInterval() > 0 || remote->IsLost()) && !remote->IsFailed() && last < now) {
        drop = remote->IsLost() ? last + static_cast<int64_t>(btLostConnectionTimeout) < now
                                : last + 2 * remote->HeartbeatInterval() < now;
      }
      if (drop)
        collected.push_back(remote);
      else
        remote->Unlock();
    }
  }
  for (TnxBaseRemoteTransport* remote : collected) {
    remote->Fail();
    remote->Unlock();
  }
}

void TnxBasePooledTransport::btProcessLogin(TnxBaseConnection& aConnection, const TnxBaseHeader& aHeader,
                                            std::span<const uint8_t> aPayload) {
  auto answer = [&](uint32_t aCode, TnxSessionID aSession, const void* aData, uint32_t aSize) {
    Write(&aConnection, aHeader.bhTransportID, aSession, aHeader.bhThreadPriority, aHeader.bhMsgID,
          nxmtLoginReply, aCode, 0, 0, aData, aSize);
  };
  TLookups held;
  const uint32_t found = TnxBaseRemoteTransport::LookupByID(aHeader.bhTransportID, held.remote);
  // A log-in opens a session of the connection's own client: naming
  // another client's transport would open one there. On a client it is
  // the server's, over a callback connection, naming no transport.
  const bool taken = Mode() == nxtmListen
                         ? found == 0 && held.remote == static_cast<TnxBaseServerConnection&>(aConnection).RemoteTransport()
                         : found != 0 && aHeader.bhTransportID == nxCallbackTransportID;
  if (!taken || aPayload.size() != nxLoginBlockSize || aHeader.bhMsgID != nxLoginMsgID) {
    answer(nxeInvalidParameter, aHeader.bhSessionID, nullptr, 0);
    return;
  }
  TnxLoginBlock block;
  std::memcpy(block.data(), aPayload.data(), block.size());
  uint8_t mac[8];
  {
    TnxPadlockGuard guard(CipherPadlock());
    Cipher().ResetIVBlock(block.data() + nxLoginIVOffset);
    Cipher().Decode(block.data(), nxLoginEncipheredSize);
    Cipher().Final(mac);
  }
  if (std::memcmp(mac, block.data() + nxLoginAuthOffset, sizeof mac) != 0) {
    answer(nxeUnknownUserOrPassword, aHeader.bhSessionID, nullptr, 0);
    return;
  }
  const auto timeout = static_cast<int32_t>(platform::LoadU32(block.data() + nxLoginTimeoutOffset));
  const auto clientVersion = static_cast<int32_t>(platform::LoadU32(block.data() + nxLoginClientVersionOffset));
  TnxSessionID sessionID = 0;
  int32_t serverVersion = 0;
  uint32_t code;
  try {
    code = btAddSession(LoginText(block.data() + nxLoginNameOffset, clientVersion),
                        LoginText(block.data() + nxLoginPasswordOffset, clientVersion),
                        aConnection.RemoteAddressText(), timeout, clientVersion, sessionID, serverVersion);
  } catch (...) {
    code = CodeOfCurrentException(static_cast<uint32_t>(clientVersion));
  }
  if (code != 0) {
    answer(code, aHeader.bhSessionID, nullptr, 0);
    return;
  }
  TnxBaseRemoteSession* session;
  try {
    session = TnxBaseRemoteSession::Create(this, held.remote, sessionID, static_cast<uint32_t>(clientVersion),
                                           static_cast<uint32_t>(serverVersion));
  } catch (...) {
    answer(CodeOfCurrentException(static_cast<uint32_t>(clientVersion)), aHeader.bhSessionID, nullptr, 0);
    return;
  }
  held.session = session;
  uint8_t reply[8];
  platform::StoreU32(reply, session->Handle());
  platform::StoreU32(reply + 4, static_cast<uint32_t>(serverVersion));
  answer(0, session->Handle(), reply, sizeof reply);
}

void TnxBasePooledTransport::btProcessTerminateSession(TnxBaseConnection& aConnection,
                                                       const TnxBaseHeader& aHeader) {
  TLookups held;
  if (Mode() == nxtmSend) {
    // A session the server opened here, named without transport.
    if (aHeader.bhTransportID != nxCallbackTransportID) return;
    if (TnxBaseRemoteSession::LookupByID(nullptr, aHeader.bhSessionID, held.session) == 0) held.session->Free();
    return;
  }
  if (TnxBaseRemoteTransport::LookupByID(aHeader.bhTransportID, held.remote) != 0) return;
  // Only the client's own sessions: another client's handle is ignored.
  if (held.remote != static_cast<TnxBaseServerConnection&>(aConnection).RemoteTransport()) return;
  if (TnxBaseRemoteSession::LookupByID(held.remote, aHeader.bhSessionID, held.session) != 0) return;
  held.session->Free();
}

// ---- requests ----

void TnxBasePooledTransport::btProcessRequest(TnxBaseConnection& aConnection, const TnxBaseHeader& aHeader,
                                              std::span<const uint8_t> aPayload, TnxHeapBuffer* aHolder) {
  TLookups held;
  uint32_t code = 0;
  if (Mode() == nxtmListen) {
    // The transport named must be the connection's own: a handle of
    // another client's transport would act for its sessions.
    code = TnxBaseRemoteTransport::LookupByID(aHeader.bhTransportID, held.remote);
    if (code == 0 && held.remote != static_cast<TnxBaseServerConnection&>(aConnection).RemoteTransport())
      code = nxeInvalidHandle;
    if (code == 0) code = TnxBaseRemoteSession::LookupByID(held.remote, aHeader.bhSessionID, held.session);
  } else if (aHeader.bhTransportID == nxCallbackTransportID) {
    code = TnxBaseRemoteSession::LookupByID(nullptr, aHeader.bhSessionID, held.session);
  } else if (aHeader.bhTransportID != 0) {
    code = nxeInvalidHandle;
  }
  if (code != 0) {
    if (aHeader.bhMsgType == nxmtRequest)
      Write(&aConnection, aHeader.bhTransportID, aHeader.bhSessionID, aHeader.bhThreadPriority, aHeader.bhMsgID,
            nxmtReply, code, 0, 0, nullptr, 0);
    return;
  }

  TRequestContext context{this, &aConnection, aHeader, held.session};
  TnxDataMessage message;
  message.dmMsg = aHeader.bhMsgID;
  message.dmSessionID = held.session ? held.session->SessionID() : aHeader.bhSessionID;
  message.dmErrorCode = aHeader.bhErrorCode;
  // The handler gets the message by const reference, so a lent block
  // cannot have moved on when it is given back.
  struct Loan {
    TnxHeapBuffer* holder = nullptr;
    TnxDataMessage& message;
    ~Loan() {
      if (holder) holder->Return(std::move(message.dmData));
    }
  } loan{nullptr, message};
  if (!aPayload.empty()) {
    if (aHolder) {
      loan.holder = aHolder;
      message.dmData = aHolder->Lend();
    } else {
      message.dmData = nxAllocHeapBlock(aPayload.size());
      std::memcpy(message.dmData.get(), aPayload.data(), aPayload.size());
    }
    message.dmDataLen = static_cast<intptr_t>(aPayload.size());
  }
  const uint32_t version = held.session ? held.session->MinVersion() : 0;

  struct Scope {
    TRequestContext* previous = tlsRequest;
    explicit Scope(TRequestContext* aContext, TnxBasePooledTransport* aTransport) {
      tlsRequest = aContext;
      nxSetThreadBreath(&BreathThunk, aTransport);
    }
    ~Scope() {
      nxClearThreadBreath();
      tlsRequest = previous;
    }
  } scope(&context, this);

  if (KeepStats())
    btUpdateStats(0, 1, 0, aHeader.bhLength, 0,
                  aHeader.bhUncompressedSize ? aHeader.bhUncompressedSize : aHeader.bhLength, 0, 0);
  aConnection.NotifyActivity();
  if (btLogging(Mode() == nxtmListen ? nxtpLogRequests : nxtpLogReplies)) btLogReceived(aHeader, aPayload.size());
  const TRequestPriority priority(
      aHeader, std::clamp(aHeader.bhThreadPriority, ThreadPriorityMin(), ThreadPriorityMax()));

  bool raised = false;
  try {
    btProcessMessage(message);
  } catch (...) {
    raised = true;
    if (context.header.bhMsgType == nxmtRequest) {
      const uint32_t failure = CodeOfCurrentException(version);
      try {
        btSendReply(aHeader.bhMsgID, failure, nullptr, 0);
      } catch (...) {
      }
    }
  }
  if (!raised && context.header.bhMsgType == nxmtRequest) btSendReply(aHeader.bhMsgID, nxeMessageUnrecognized, nullptr, 0);
}

void TnxBasePooledTransport::btLogReceived(const TnxBaseHeader& aHeader, size_t aBufferSize) {
  using platform::Format;
  const TnxLogLines lines = {
      Format(Mode() == nxtmListen ? u"RecieveRequest [%s: %s]" : u"RecieveReply [%s: %s]",
             {Name(), nxTransportModeName(Mode())}),
      Format(u"  bhTransportID:      [%x]", {aHeader.bhTransportID}),
      Format(u"  bhSessionID:        [%x]", {aHeader.bhSessionID}),
      Format(u"  bhVersion:          [%d]", {uint32_t{aHeader.bhVersion}}),
      Format(u"  bhThreadPriority:   [%d]", {int32_t{aHeader.bhThreadPriority}}),
      Format(u"  bhMsgID:            [%d/%x]", {aHeader.bhMsgID, aHeader.bhMsgID}),
      Format(u"  bhLength:           [%d]", {aHeader.bhLength}),
      Format(u"  bhParts:            [%d]", {aHeader.bhParts}),
      Format(u"  bhErrorCode:        [%d/%x]", {uint32_t{aHeader.bhErrorCode}, uint32_t{aHeader.bhErrorCode}}),
      Format(u"  bhMsgType:          [%d]", {uint32_t{aHeader.bhMsgType}}),
      Format(u"  bhCompressType:     [%d]", {uint32_t{aHeader.bhCompressType}}),
      Format(u"  bhUncompressedSize: [%d]", {aHeader.bhUncompressedSize}),
      Format(u"  aBufferSize:        [%d]", {static_cast<uint32_t>(aBufferSize)}),
  };
  lcLogs(lines, 0, lpDebug, btLogCategory(), 0, kLogOwnTimeBias);
}

void TnxBasePooledTransport::btSendReply(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData,
                                         int32_t aReplyDataLen) {
  TRequestContext* context = tlsRequest;
  if (!context || context->transport != this) return;
  // Server threads serve from the moment they run, before the start that
  // made them has marked the transport started.
  if (StateTransition() != nxstStarting) CheckStarted();
  TnxBaseHeader& header = context->header;
  if (header.bhMsgType == nxmtPost) return;
  if (header.bhMsgType != nxmtRequest) throw EnxTransportException(nullptr, nxeInvalidHandle);
  header.bhMsgType = nxmtReply;
  TnxHeapBlock scratch;
  uint32_t uncompressedSize = 0;
  const std::span<const uint8_t> data =
      btCompress(header.bhCompressType, aReplyData, aReplyDataLen, scratch, uncompressedSize);
  Write(context->connection, header.bhTransportID, header.bhSessionID, header.bhThreadPriority, aMsgID, nxmtReply,
        aErrorCode, uncompressedSize ? header.bhCompressType : 0, uncompressedSize,
        data.empty() ? nullptr : data.data(), static_cast<uint32_t>(data.size()));
}

}  // namespace revurov
