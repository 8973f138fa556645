#include "engine/remote_session.h"

#include "engine/name_rules.h"
#include "engine/remote_database.h"
#include "engine/remote_trans_context.h"

#include <cstring>
#include <utility>
#include <vector>

#include "lowlevel/components/component_notifications.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/streams/kept_memory_stream.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/sync/lock_guard.h"
#include "platform/date_time.h"
#include "platform/endian.h"
#include "platform/format.h"
#include "platform/host_info.h"
#include "platform/module.h"
#include "platform/stream.h"
#include "platform/text.h"
#include "transport/base_transport.h"

namespace revurov {

namespace {

std::atomic<TnxClientFeatures> gClientFeatures{nxAllClientFeatures};

// Indexed by the expected reply ID.
std::vector<std::vector<TnxMsgID>> gEquivalentReplies;

constexpr TnxMsgID kEquivalentPairs[][2] = {
    {0x301, 0x305}, {0x303, 0x306}, {0x313, 0x314}, {0x332, 0x335}, {0x333, 0x334},
    {0x342, 0x343}, {0x378, 0x379}, {0x373, 0x37A}, {0x376, 0x37B}, {0x375, 0x37C},
    {0x302, 0x307}, {0x317, 0x318}, {0x321, 0x821}, {0x322, 0x822}, {0x323, 0x823},
};

// Both callbacks push what the transport delivered; a second call for one
// request is dropped, so a late failure never answers the next request.
void ReplyToQueue(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData, int32_t aReplyDataLen,
                  void* aReplyCookie, bool aToStream, bool aRewind) {
  auto& cookie = *static_cast<TnxRemoteSession::ReplyCookie*>(aReplyCookie);
  if (cookie.rcDelivered) return;
  cookie.rcDelivered = true;
  if (cookie.rcView && aMsgID == cookie.rcMsgID) {
    // Read in place: no message is queued, so nothing is copied. The
    // transport is not to see the reader's failure as its own.
    cookie.rcViewed = true;
    try {
      cookie.rcViewResult =
          cookie.rcView(cookie.rcViewContext, aErrorCode,
                        {static_cast<const uint8_t*>(aReplyData),
                         aReplyData && aReplyDataLen > 0 ? static_cast<size_t>(aReplyDataLen) : size_t{0}});
    } catch (...) {
      cookie.rcViewFailure = std::current_exception();
    }
    return;
  }
  if (aToStream && aMsgID == cookie.rcMsgID && cookie.rcStream) {
    if (aReplyDataLen > 0 && aReplyData) {
      cookie.rcStream->WriteBuffer(aReplyData, aReplyDataLen);
      if (aRewind) cookie.rcStream->SetPosition(0);
    }
    aReplyDataLen = 0;
  }
  cookie.rcSession->rsQueueMessage(cookie.rcSource, aMsgID, aErrorCode, aReplyData, aReplyDataLen, false);
}

void RemoteReplyToQueue(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData, int32_t aReplyDataLen,
                        void* aReplyCookie) {
  ReplyToQueue(aMsgID, aErrorCode, aReplyData, aReplyDataLen, aReplyCookie, false, false);
}

void RemoteReplyToStream(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData, int32_t aReplyDataLen,
                         void* aReplyCookie) {
  ReplyToQueue(aMsgID, aErrorCode, aReplyData, aReplyDataLen, aReplyCookie, true, true);
}

void RemoteReplyToStreamLeavePosition(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData,
                                      int32_t aReplyDataLen, void* aReplyCookie) {
  ReplyToQueue(aMsgID, aErrorCode, aReplyData, aReplyDataLen, aReplyCookie, true, false);
}

// The stream variable aReply points to, or nil.
platform::TStream* ReplyStream(void* aReply, TnxNetMsgDataType aReplyType) noexcept {
  if (aReplyType == nmdByteArray || !aReply) return nullptr;
  return *static_cast<platform::TStream**>(aReply);
}

// Step "check reply type": a stream type without a stream wants no data.
void CheckReplyType(void*& aReply, TnxNetMsgDataType& aReplyType) noexcept {
  if (aReplyType != nmdByteArray && !ReplyStream(aReply, aReplyType)) {
    aReply = nullptr;
    aReplyType = nmdByteArray;
  }
}


}  // namespace

// ---- feature switches and equivalent replies ----

TnxClientFeatures nxClientFeatures() noexcept { return gClientFeatures.load(std::memory_order_relaxed); }
void nxSetClientFeatures(TnxClientFeatures aFeatures) noexcept {
  gClientFeatures.store(aFeatures, std::memory_order_relaxed);
}
bool nxClientFeatureOn(TnxClientFeature aFeature) noexcept {
  return (nxClientFeatures() >> aFeature) & 1u;
}

void nxAddEquivalentReply(TnxMsgID aExpected, TnxMsgID aEquivalent) {
  if (gEquivalentReplies.size() <= aExpected) gEquivalentReplies.resize(size_t{aExpected} + 1);
  auto& list = gEquivalentReplies[aExpected];
  for (TnxMsgID id : list)
    if (id == aEquivalent) return;
  list.push_back(aEquivalent);
}

bool nxIsEquivalentReply(TnxMsgID aExpected, TnxMsgID aReply) noexcept {
  if (aExpected >= gEquivalentReplies.size()) return false;
  for (TnxMsgID id : gEquivalentReplies[aExpected])
    if (id == aReply) return true;
  return false;
}

void nxEquivalentRepliesStartup() {
  for (const auto& pair : kEquivalentPairs) {
    nxAddEquivalentReply(pair[0], pair[1]);
    nxAddEquivalentReply(pair[1], pair[0]);
  }
}

void nxEquivalentRepliesShutdown() { std::vector<std::vector<TnxMsgID>>().swap(gEquivalentReplies); }

// ---- engine ----

TnxRemoteServerEngine::TnxRemoteServerEngine(platform::TComponent* aOwner) : TnxBaseServerEngine(aOwner) {}

TnxRemoteServerEngine::~TnxRemoteServerEngine() {
  if (rseTransport) UnlinkDependent(this, std::exchange(rseTransport, nullptr));
}

void TnxRemoteServerEngine::SetTransport(TnxBaseTransport* aValue) {
  if (aValue == rseTransport) return;
  CheckInactive();
  if (rseTransport) UnlinkDependent(this, rseTransport);
  rseTransport = aValue;
  if (rseTransport) LinkDependent(this, rseTransport);
}

void TnxRemoteServerEngine::RaiseEngineException(uint32_t aErrorCode) { throw EnxBaseException(aErrorCode); }

void TnxRemoteServerEngine::SetCacheAliases(bool aValue) {
  if (aValue == rseCacheAliases) return;
  if (!aValue) MarkAliasCachesStale();
  rseCacheAliases = aValue;
}

void TnxRemoteServerEngine::MarkAliasCachesStale() {
  ForEachSession([](TnxAbstractServerObject* aSession) {
    static_cast<TnxRemoteSession*>(aSession)->SetAliasCacheValid(false);
  });
}

// Under the dependents list's lock, so a transport being unlinked is not used.
platform::TGUID TnxRemoteServerEngine::ServerGuid() const {
  TnxListReadGuard guard(Dependents());
  return rseTransport ? rseTransport->ServerGUID() : platform::TGUID{};
}

std::u16string TnxRemoteServerEngine::ServerName() const {
  TnxListReadGuard guard(Dependents());
  return rseTransport ? rseTransport->ServerName() : std::u16string();
}

uint32_t TnxRemoteServerEngine::SessionOpenEx(TnxAbstractServerObject*& aSession, std::u16string_view aUserName,
                                              std::u16string_view aPassword, std::u16string_view aConnectedFrom,
                                              uint32_t aTimeout, int32_t aClientVersion) {
  CheckStarted();
  aSession = nullptr;
  try {
    int32_t serverVersion = 0;
    TnxSessionID sessionID = 0;
    const uint32_t result =
        rseTransport->EstablishConnection(rseTransportID, std::u16string(aUserName), std::u16string(aPassword),
                                          static_cast<int32_t>(aTimeout), aClientVersion, serverVersion, sessionID);
    if (result != 0) return result;
    auto session = nxCreateServerObject<TnxRemoteSession>(this, aTimeout, aUserName, aPassword, aConnectedFrom,
                                                          serverVersion, sessionID);
    aSession = session.get();
    SessionAdded(std::move(session));
    return 0;
  } catch (const std::exception& e) {
    aSession = nullptr;
    return ConvertException(e, nullptr);
  }
}

bool TnxRemoteServerEngine::IsDependentOn(TnxStateComponent* aOther) const {
  return (aOther && aOther == rseTransport) || TnxBaseServerEngine::IsDependentOn(aOther);
}

void TnxRemoteServerEngine::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  if (aOp == nxn_Destroying && aSender && aSender == rseTransport) {
    SetActive(false);
    rseTransport = nullptr;
  } else if (aOp == nxn_ConnectionLost && aSender && aSender == rseTransport) {
    const auto* sessionID = static_cast<const TnxSessionID*>(aData);
    ForEachSession([sessionID](TnxAbstractServerObject* aSession) {
      auto* session = static_cast<TnxRemoteSession*>(aSession);
      if (!sessionID || session->RemoteID() == *sessionID) session->SetConnectionLost();
    });
  }
  TnxBaseServerEngine::DependentNotify(aSender, aOp, aData);
}

void TnxRemoteServerEngine::DoInitialize() {
  if (!rseTransport) RaiseError(u"Transport required");
  TnxBaseServerEngine::DoInitialize();
}

// ---- session ----

TnxRemoteSession::TnxRemoteSession(TnxRemoteServerEngine* aEngine, uint32_t aTimeout,
                                   std::u16string_view aUserName, std::u16string_view aPassword,
                                   std::u16string_view aConnectedFrom, int32_t aServerVersion,
                                   TnxSessionID aSessionID)
    : TnxAbstractSession(aEngine, aUserName, aPassword, aConnectedFrom, aTimeout),
      rsServerVersion(aServerVersion),
      rsSessionID(aSessionID),
      rsRemoteThreadPriority(aEngine->RemoteThreadPriority()),
      rsTimeoutBatchSupported(aServerVersion > nxTimeoutBatchMinServer && nxClientFeatureOn(cfMessageReduction)) {
  rsSource = NewSource();
}

TnxRemoteSession::~TnxRemoteSession() {
  // The children are gone (before-destruction step); the server session ends here.
  if (TnxBaseTransport* transport = Engine().Transport()) {
    try {
      transport->TerminateConnection(Engine().TransportID(), rsSessionID, Timeout());
    } catch (...) {
      // Nothing is left to tell of a failing good-bye.
    }
  }
}

TnxRemoteServerEngine& TnxRemoteSession::Engine() const noexcept {
  return static_cast<TnxRemoteServerEngine&>(*ServerEngine());
}

TnxMessageSource TnxRemoteSession::NewSource() noexcept {
  return reinterpret_cast<TnxMessageSource>(++rsLastSource);
}

void TnxRemoteSession::DropQueued(TnxMessageSource aSource) noexcept {
  bool cantSkip = false;
  try {
    while (rsMsgQueue.Pop(cantSkip, aSource)) {
    }
  } catch (...) {
    // Splitting a multi-reply may fail for memory; what stays is never popped.
  }
}

void TnxRemoteSession::rsQueueMessage(TnxMessageSource aSource, TnxMsgID aMsgID, uint32_t aErrorCode,
                                      const void* aData, int32_t aDataLen, bool aAtFront) {
  rsMsgQueue.Push(aSource, aMsgID, rsSessionID, Timeout(), aErrorCode, aData, aDataLen, aAtFront, 0);
}

void TnxRemoteSession::rsQueueMessageTakeOwnership(TnxMessageSource aSource, TnxMsgID aMsgID, uint32_t aErrorCode,
                                                   void*& aData, int32_t aDataLen, bool aAtFront) {
  rsMsgQueue.PushTakeOwnership(aSource, aMsgID, rsSessionID, Timeout(), aErrorCode, aData, aDataLen, aAtFront, 0);
}

std::unique_ptr<TnxReplyReader> TnxRemoteSession::RequestNoData(TnxMsgID aMsgID, uint32_t& aResult) {
  std::unique_ptr<TnxMemoryStream> reply = nxTakeSpareStream();
  TnxMemoryStream* variable = reply.get();
  aResult = ProcessStreamedRequest(aMsgID, nullptr, &variable, false);
  return std::make_unique<TnxReplyReader>(std::move(reply));
}

uint32_t TnxRemoteSession::RequestNoDataNoReply(TnxMsgID aMsgID) noexcept {
  return ProcessRequest(rsSource, rsRemoteThreadPriority, aMsgID, Timeout(), nullptr, 0, nullptr, nullptr,
                        nmdByteArray, false, nullptr);
}

bool TnxRemoteSession::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxSessionRequests>(this, iid, obj) || TnxAbstractSession::GetInterface(iid, obj);
}

PnxDataMessage TnxRemoteSession::rsPopQueuedReply(TnxMessageSource aSource, TnxMsgID aMsgID, bool aDiscard) {
  bool cantSkip = false;
  for (;;) {
    PnxDataMessage message = rsMsgQueue.Pop(cantSkip, aSource);
    if (!message) return nullptr;
    if (message->dmMsg != aMsgID && nxIsEquivalentReply(aMsgID, message->dmMsg)) message->dmMsg = aMsgID;
    if (message->dmMsg == aMsgID || !aDiscard) return message;
  }
}

uint32_t TnxRemoteSession::rsTakeReply(PnxDataMessage aMessage, TnxMsgID aMsgID, void* aReply, int32_t* aReplyLen,
                                       TnxNetMsgDataType aReplyType, uint32_t* aSequenceID) {
  if (aMessage->dmMsg != aMsgID) return nxeMessageUnrecognized;
  if (aReplyLen) *aReplyLen = static_cast<int32_t>(aMessage->dmDataLen);
  if (aReplyType == nmdByteArray) {
    if (aReply) *static_cast<void**>(aReply) = aMessage->dmData.release();
  } else if (aMessage->dmDataLen > 0) {
    platform::TStream& stream = *ReplyStream(aReply, aReplyType);
    stream.WriteBuffer(aMessage->dmData.get(), aMessage->dmDataLen);
    if (aReplyType == nmdStream) stream.SetPosition(0);
  }
  if (aSequenceID) *aSequenceID = aMessage->dmSequenceID;
  return aMessage->dmErrorCode;
}

uint32_t TnxRemoteSession::ProcessRequest(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority,
                                          TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
                                          int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                                          TnxNetMsgDataType aReplyType, bool, uint32_t* aSequenceID) noexcept {
  try {
    PnxDataMessage message = rsPopQueuedReply(aSource, aMsgID, true);
    CheckReplyType(aReply, aReplyType);
    if (!message) {
      TnxBaseTransport* transport = Engine().Transport();
      if (!transport) return nxeOperationNotApplicable;
      ReplyCookie cookie{.rcSession = this, .rcSource = aSource, .rcMsgID = aMsgID, .rcStream = ReplyStream(aReply, aReplyType)};
      TnxReplyCallback callback = &RemoteReplyToQueue;
      if (aReplyType == nmdStream) {
        cookie.rcStream->SetPosition(0);
        cookie.rcStream->SetSize(0);
        callback = &RemoteReplyToStream;
      } else if (aReplyType == nmdStreamLeavePosition) {
        callback = &RemoteReplyToStreamLeavePosition;
      }
      transport->Request(Engine().TransportID(), rsSessionID, aRemoteThreadPriority, aMsgID, aTimeout,
                         aRequestData, aRequestDataLen, callback, &cookie);
      message = rsPopQueuedReply(aSource, aMsgID, false);
      if (!message) return nxeOperationNotApplicable;
    }
    return rsTakeReply(std::move(message), aMsgID, aReply, aReplyLen, aReplyType, aSequenceID);
  } catch (...) {
    return nxConvertCurrentException();
  }
}

uint32_t TnxRemoteSession::ProcessRequestInPlace(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority,
                                                 TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
                                                 int32_t aRequestDataLen, ReplyView aView, void* aViewContext) {
  ReplyCookie cookie{
      .rcSession = this, .rcSource = aSource, .rcMsgID = aMsgID, .rcView = aView, .rcViewContext = aViewContext};
  PnxDataMessage message;
  try {
    message = rsPopQueuedReply(aSource, aMsgID, true);
    if (!message) {
      TnxBaseTransport* transport = Engine().Transport();
      if (!transport) return nxeOperationNotApplicable;
      transport->Request(Engine().TransportID(), rsSessionID, aRemoteThreadPriority, aMsgID, aTimeout,
                         aRequestData, aRequestDataLen, &RemoteReplyToQueue, &cookie);
      if (!cookie.rcViewed) {
        // Another ID came (a multi-reply, an equivalent reply): queued as
        // ever, and taken from the queue.
        message = rsPopQueuedReply(aSource, aMsgID, false);
        if (!message) return nxeOperationNotApplicable;
      }
    }
  } catch (...) {
    return nxConvertCurrentException();
  }
  if (cookie.rcViewed) {
    if (cookie.rcViewFailure) std::rethrow_exception(cookie.rcViewFailure);
    return cookie.rcViewResult;
  }
  if (message->dmMsg != aMsgID) return nxeMessageUnrecognized;
  const uint8_t* data = message->dmData.get();
  return aView(aViewContext, message->dmErrorCode,
               {data, data && message->dmDataLen > 0 ? static_cast<size_t>(message->dmDataLen) : size_t{0}});
}

uint32_t TnxRemoteSession::CheckQueuedReply(TnxMessageSource aSource, TnxMsgID aMsgID, void* aReply,
                                            int32_t* aReplyLen, TnxNetMsgDataType aReplyType, bool,
                                            uint32_t* aSequenceID) noexcept {
  try {
    PnxDataMessage message = rsPopQueuedReply(aSource, aMsgID, true);
    if (!message) return nxeNoMessageQueued;
    CheckReplyType(aReply, aReplyType);
    return rsTakeReply(std::move(message), aMsgID, aReply, aReplyLen, aReplyType, aSequenceID);
  } catch (...) {
    return nxConvertCurrentException();
  }
}

uint32_t TnxRemoteSession::ProcessRequestDirect(TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                                                uint32_t aTimeout, const void* aRequestData,
                                                int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                                                TnxNetMsgDataType aReplyType) noexcept {
  try {
    TnxBaseTransport* transport = Engine().Transport();
    if (!transport) return nxeOperationNotApplicable;
    CheckReplyType(aReply, aReplyType);
    TnxStreamReplyCookie cookie{aMsgID, nxeOperationNotApplicable, aReply, aReplyLen, aReplyType};
    transport->Request(Engine().TransportID(), rsSessionID, aRemoteThreadPriority, aMsgID, aTimeout,
                       aRequestData, aRequestDataLen, &nxStreamReplyCallback, &cookie);
    return cookie.srcResult;
  } catch (...) {
    return nxConvertCurrentException();
  }
}

void TnxRemoteSession::ProcessPost(TnxMessageSource, TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                                   uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen) noexcept {
  try {
    if (TnxBaseTransport* transport = Engine().Transport())
      transport->Post(Engine().TransportID(), rsSessionID, aRemoteThreadPriority, aMsgID, aRequestData,
                      aRequestDataLen, aTimeout);
  } catch (...) {
    // A post has no answer to carry a failure.
  }
}

// ---- timeouts ----

void TnxRemoteSession::SetTimeout(uint32_t aValue) {
  if (aValue == Timeout()) return;
  TnxAbstractSession::SetTimeout(aValue);
  if (AddToTimeoutBatch(this)) return;
  uint8_t payload[4];
  platform::StoreU32(payload, aValue);
  ProcessRequest(rsSource, rsRemoteThreadPriority, nxnmSessionSetTimeout, Timeout(), payload, 4, nullptr, nullptr,
                 nmdByteArray, false, nullptr);
}

bool TnxRemoteSession::AddToTimeoutBatch(TnxAbstractTimeoutObject* aObject) {
  if (rsTimeoutBatchCounter.load(std::memory_order_acquire) <= 0) return false;
  aObject->atoTimeoutBatchAdd();
  return true;
}

int32_t TnxRemoteSession::BeginTimeoutBatch() {
  if (!rsTimeoutBatchSupported) return -1;
  return rsTimeoutBatchCounter.fetch_add(1, std::memory_order_acq_rel) + 1;
}

int32_t TnxRemoteSession::EndTimeoutBatch() {
  if (!rsTimeoutBatchSupported) return -1;
  const int32_t depth = rsTimeoutBatchCounter.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (depth == 0) rsFlushTimeoutBatch();
  return depth;
}

void TnxRemoteSession::rsFlushTimeoutBatch() {
  TnxPadlockGuard guard(rsTimeoutBatch.asTimeoutBatchPadlock);
  const std::vector<TnxAbstractTimeoutObject*> objects = rsTimeoutBatch.Take();
  if (objects.empty()) return;
  const std::unique_ptr<TnxRequestWriter> writer = CreateRequestDirect();
  writer->WriteInteger(static_cast<int32_t>(objects.size()));
  writer->WriteListBegin();
  for (TnxAbstractTimeoutObject* object : objects) {
    writer->WriteInteger(static_cast<int32_t>(object == this ? 0 : object->RemoteID()));
    writer->WriteInteger(static_cast<int64_t>(object->Timeout()));
  }
  writer->WriteListEnd();
  writer->RequestNoReply(nxnmTimeoutBatch);
}

uint32_t TnxRemoteSession::ProcessStreamedRequest(TnxMsgID aMsgID, TnxMemoryStream* aRequestStream,
                                                  TnxMemoryStream** aReplyStream, bool aCanSkipCantSkip) noexcept {
  platform::TStream* reply = aReplyStream ? *aReplyStream : nullptr;
  return ProcessRequest(rsSource, rsRemoteThreadPriority, aMsgID, Timeout(),
                        aRequestStream ? aRequestStream->Memory() : nullptr,
                        aRequestStream ? static_cast<int32_t>(aRequestStream->GetSize()) : 0,
                        aReplyStream ? &reply : nullptr, nullptr, nmdStream, aCanSkipCantSkip, nullptr);
}

uint32_t TnxRemoteSession::ProcessStreamedRequestDirect(TnxMsgID aMsgID, TnxMemoryStream* aRequestStream,
                                                        TnxMemoryStream** aReplyStream, bool) noexcept {
  platform::TStream* reply = aReplyStream ? *aReplyStream : nullptr;
  return ProcessRequestDirect(rsRemoteThreadPriority, aMsgID, Timeout(),
                              aRequestStream ? aRequestStream->Memory() : nullptr,
                              aRequestStream ? static_cast<int32_t>(aRequestStream->GetSize()) : 0,
                              aReplyStream ? &reply : nullptr, nullptr, nmdStream);
}

std::unique_ptr<TnxRequestWriter> TnxRemoteSession::CreateRequest() {
  return std::make_unique<TnxRequestWriter>(
      [this](TnxMsgID aMsgID, TnxMemoryStream* aRequest, TnxMemoryStream** aReply, bool aCanSkip) {
        return ProcessStreamedRequest(aMsgID, aRequest, aReply, aCanSkip);
      });
}

std::unique_ptr<TnxRequestWriter> TnxRemoteSession::CreateRequestDirect() {
  return std::make_unique<TnxRequestWriter>(
      [this](TnxMsgID aMsgID, TnxMemoryStream* aRequest, TnxMemoryStream** aReply, bool aCanSkip) {
        return ProcessStreamedRequestDirect(aMsgID, aRequest, aReply, aCanSkip);
      });
}

// ---- client information ----

std::u16string nxClientInfoText(const std::string& aProgramPath) {
  std::u16string text = platform::Utf8ToUtf16(aProgramPath);
  int64_t size = 0;
  platform::TDateTime modified = 0;
  if (aProgramPath.empty() || !platform::GetFileSizeAndTime(aProgramPath, size, modified)) return text;
  platform::TFormatSettings settings;
  text += u";Size:" + platform::Utf8ToUtf16(std::to_string(size));
  text += u";Date:" + platform::FormatDateTime(u"yyyy-mm-dd hh:nn:ss", modified, settings);
  std::u16string name;
  if (!platform::GetComputerName(name)) return text;
  text += u";Computer:" + name;
  if (!platform::GetUserName(name)) return text;
  text += u";User:" + name;
  return text;
}

void TnxRemoteSession::AfterConstruction() {
  TnxAbstractSession::AfterConstruction();
  try {
    const std::u16string text = nxClientInfoText(platform::ProgramPath());
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(nxCurrentClientInfoOption);
    writer->WriteString(text);
    writer->RequestNoReply(nxnmSessionOptionSet);
  } catch (...) {
    // The server does without the client's description.
  }
}

void TnxRemoteSession::ReportFailure(bool aPermanent, bool aWait) {
  ProcessRequestDirect(rsRemoteThreadPriority, aPermanent ? nxnmSessionFailedPermanent : nxnmSessionFailed,
                       Timeout(), nullptr, 0, nullptr, nullptr, nmdByteArray);
  TnxAbstractSession::ReportFailure(aPermanent, aWait);
}

// ---- the session's operations ----

template <class F>
uint32_t TnxRemoteSession::Guarded(F&& aOperation) noexcept {
  try {
    return aOperation();
  } catch (const std::exception& e) {
    try {
      return asoConvertException(e);
    } catch (...) {
      return nxConvertCurrentException();
    }
  } catch (...) {
    return nxConvertCurrentException();
  }
}

bool TnxRemoteSession::rsMessageReductionServer() const noexcept {
  return rsServerVersion > nxSessionTableRequestsMinServer && nxClientFeatureOn(cfMessageReduction);
}

void TnxRemoteSession::rsInvalidateAliasCache() {
  SetAliasCacheValid(false);
  if (Engine().CacheAliases()) Engine().MarkAliasCachesStale();
}

template <class F>
uint32_t TnxRemoteSession::rsRequestAliases(F&& aEach) {
  // Kept per thread: a new stream costs system calls each time.
  TnxKeptMemoryStream kept;
  TnxMemoryStream& reply = kept.Stream();
  platform::TStream* variable = &reply;
  const uint32_t result = ProcessRequest(rsSource, rsRemoteThreadPriority, nxnmSessionAliasGetList, Timeout(),
                                         nullptr, 0, &variable, nullptr, nmdStream, false, nullptr);
  if (result != 0) return result;
  reply.SetPosition(0);
  TnxReader reader(reply);
  // Read into the same two strings each time: aEach may move them out.
  std::u16string alias;
  std::u16string path;
  reader.ReadListBegin();
  while (!reader.EndOfList()) {
    reader.ReadStringInto(alias);
    reader.ReadStringInto(path);
    if (nxValidateAliasName(alias, false) != 0) continue;
    aEach(alias, path);
  }
  reader.ReadListEnd();
  return 0;
}

uint32_t TnxRemoteSession::AliasGetList(TnxAliasDescriptors& aList) {
  return Guarded([&]() -> uint32_t {
    if (const uint32_t veto = NotifyExtenders(eaAliasGetList, true, {})) return veto;
    const bool caching = Engine().CacheAliases();
    if (caching && AliasCacheValid()) {
      for (int i = 0; i < rsAliasCache.Count(); ++i)
        aList.push_back(std::make_unique<TnxAliasDescriptor>(rsAliasCache.Names(i), rsAliasCache.ValueFromIndex(i)));
      return 0;
    }
    if (caching) rsAliasCache.Clear();
    // Straight onto the caller's list, taken off again when the reply breaks
    // off: such a reply adds nothing.
    const size_t before = aList.size();
    try {
      const uint32_t result = rsRequestAliases([&](std::u16string& aAlias, std::u16string& aPath) {
        aList.push_back(std::make_unique<TnxAliasDescriptor>(std::move(aAlias), std::move(aPath)));
      });
      if (result != 0) return result;
    } catch (...) {
      aList.resize(before);
      throw;
    }
    if (caching) {
      for (size_t i = before; i < aList.size(); ++i) rsAliasCache.Add(aList[i]->adAlias + u"=" + aList[i]->adPath);
      SetAliasCacheValid(true);
    }
    NotifyExtenders(eaAliasGetList, false, {});
    return 0;
  });
}

uint32_t TnxRemoteSession::AliasGetNames(TnxAliasNameSink& aSink) {
  // The alias cache keeps paths too: filling it, or answering from it, is
  // the descriptors' road.
  if (Engine().CacheAliases()) return TnxAbstractSession::AliasGetNames(aSink);
  return Guarded([&]() -> uint32_t {
    if (const uint32_t veto = NotifyExtenders(eaAliasGetList, true, {})) return veto;
    const uint32_t result =
        rsRequestAliases([&](const std::u16string& aAlias, const std::u16string&) { aSink.AliasName(aAlias); });
    if (result != 0) return result;
    NotifyExtenders(eaAliasGetList, false, {});
    return 0;
  });
}

uint32_t TnxRemoteSession::AliasAdd(std::u16string_view aAlias, std::u16string_view aPath, bool aEnforce) {
  return Guarded([&]() -> uint32_t {
    if (const uint32_t invalid = nxValidateAliasName(aAlias, false)) return invalid;
    const TnxEngineArg args[] = {aAlias, aPath};
    if (const uint32_t veto = NotifyExtenders(eaAliasAdd, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aAlias);
    writer->WriteString(aPath);
    writer->WriteBoolean(aEnforce);
    const uint32_t result = writer->RequestNoReply(nxnmSessionAliasAdd);
    rsInvalidateAliasCache();
    if (result == 0) NotifyExtenders(eaAliasAdd, false, args);
    return result;
  });
}

uint32_t TnxRemoteSession::AliasDelete(std::u16string_view aAlias) {
  return Guarded([&]() -> uint32_t {
    if (const uint32_t invalid = nxValidateAliasName(aAlias, true)) return invalid;
    const TnxEngineArg args[] = {aAlias};
    if (const uint32_t veto = NotifyExtenders(eaAliasDelete, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aAlias);
    const uint32_t result = writer->RequestNoReply(nxnmSessionAliasDelete);
    rsInvalidateAliasCache();
    if (result == 0) NotifyExtenders(eaAliasDelete, false, args);
    return result;
  });
}

uint32_t TnxRemoteSession::AliasModify(std::u16string_view aAlias, std::u16string_view aNewName,
                                       std::u16string_view aNewPath, bool aEnforce) {
  return Guarded([&]() -> uint32_t {
    if (const uint32_t invalid = nxValidateAliasName(aAlias, true)) return invalid;
    const TnxEngineArg args[] = {aAlias, aNewName, aNewPath};
    if (const uint32_t veto = NotifyExtenders(eaAliasModify, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aAlias);
    writer->WriteString(aNewName);
    writer->WriteString(aNewPath);
    writer->WriteBoolean(aEnforce);
    const uint32_t result = writer->RequestNoReply(nxnmSessionAliasModify);
    rsInvalidateAliasCache();
    if (result == 0) NotifyExtenders(eaAliasModify, false, args);
    return result;
  });
}

uint32_t TnxRemoteSession::AliasGetPath(std::u16string_view aAlias, std::u16string& aPath) {
  aPath.clear();
  return Guarded([&]() -> uint32_t {
    if (const uint32_t invalid = nxValidateAliasName(aAlias, true)) return invalid;
    {
      const TnxEngineArg args[] = {aAlias, std::u16string_view(aPath)};
      if (const uint32_t veto = NotifyExtenders(eaAliasGetPath, true, args)) return veto;
    }
    if (Engine().CacheAliases() && AliasCacheValid()) {
      aPath = rsAliasCache.Values(aAlias);
      return aPath.empty() ? nxeUnknownDatabase : 0;
    }
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aAlias);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmSessionAliasGetPath, result);
    if (result != 0) return result;
    aPath = reader->ReadString();
    const TnxEngineArg args[] = {aAlias, std::u16string_view(aPath)};
    NotifyExtenders(eaAliasGetPath, false, args);
    return 0;
  });
}

uint32_t TnxRemoteSession::PasswordAdd(std::u16string_view aPassword) {
  return Guarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aPassword);
    return writer->RequestNoReply(nxnmSessionPasswordAdd);
  });
}

uint32_t TnxRemoteSession::PasswordRemove(std::u16string_view aPassword) {
  return Guarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aPassword);
    return writer->RequestNoReply(nxnmSessionPasswordRemove);
  });
}

uint32_t TnxRemoteSession::PasswordRemoveAll() { return RequestNoDataNoReply(nxnmSessionPasswordRemoveAll); }

uint32_t TnxRemoteSession::CloseInactiveFolders() {
  return Guarded([&]() -> uint32_t {
    if (const uint32_t veto = NotifyExtenders(eaCloseInactiveFolders, true, {})) return veto;
    const uint32_t result = RequestNoDataNoReply(nxnmSessionCloseInactiveFolders);
    if (result == 0) NotifyExtenders(eaCloseInactiveFolders, false, {});
    return result;
  });
}

uint32_t TnxRemoteSession::CloseInactiveTables() {
  return Guarded([&]() -> uint32_t {
    if (const uint32_t veto = NotifyExtenders(eaCloseInactiveTables, true, {})) return veto;
    const uint32_t result = RequestNoDataNoReply(nxnmSessionCloseInactiveTables);
    if (result == 0) NotifyExtenders(eaCloseInactiveTables, false, {});
    return result;
  });
}

uint32_t TnxRemoteSession::DatabaseOpen(TnxAbstractDatabase*& aDatabase, std::u16string_view aAliasType,
                                        std::u16string_view aAlias, TnxAbstractTransContext* aTransContext,
                                        TnxOpenMode aOpenMode, TnxShareMode aShareMode, uint32_t aTimeout) {
  aDatabase = nullptr;
  return Guarded([&]() -> uint32_t {
    // Other alias types (a folder) are the server's to judge.
    if (aAliasType == u"Name")
      if (const uint32_t invalid = nxValidateAliasName(aAlias, true)) return invalid;
    int32_t contextID = 0;
    if (aTransContext) {
      if (aTransContext->Session() != this || !aTransContext->IsRemote()) return nxeDifferentSessions;
      contextID = static_cast<int32_t>(aTransContext->RemoteID());
    }
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aAliasType);
    writer->WriteString(aAlias);
    writer->WriteInteger(contextID);
    writer->WriteInteger(static_cast<int32_t>(aOpenMode));
    writer->WriteInteger(static_cast<int32_t>(aShareMode));
    writer->WriteInteger(static_cast<int32_t>(aTimeout));
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmSessionDatabaseOpen, result);
    if (result != 0) return result;
    if (reader->ReadBoolean()) {
      const auto contextFromServer = static_cast<TnxTransContextID>(reader->ReadInteger());
      const auto databaseID = static_cast<TnxDatabaseID>(reader->ReadInteger());
      // Not owning its ID, the context closes nothing at the server; the
      // database frees it.
      auto context = nxCreateServerObject<TnxRemoteTransContext>(this, aTimeout, false, contextFromServer);
      auto database = nxCreateServerObject<TnxRemoteDatabase>(this, aTimeout, true, context.get(), databaseID);
      (void)context.release();
      aDatabase = database.release();
    } else {
      const auto databaseID = static_cast<TnxDatabaseID>(reader->ReadInteger());
      aDatabase =
          nxCreateServerObject<TnxRemoteDatabase>(this, aTimeout, false, aTransContext, databaseID).release();
    }
    return 0;
  });
}

uint32_t TnxRemoteSession::TransContextCreate(TnxAbstractTransContext*& aTransContext, uint32_t aTimeout) {
  aTransContext = nullptr;
  return Guarded([&]() -> uint32_t {
    uint8_t payload[4];
    platform::StoreU32(payload, aTimeout);
    void* block = nullptr;
    int32_t length = 0;
    const uint32_t result = ProcessRequest(rsSource, rsRemoteThreadPriority, nxnmSessionTransContextCreate, Timeout(),
                                           payload, 4, &block, &length, nmdByteArray, false, nullptr);
    const TnxHeapBlock reply(static_cast<uint8_t*>(block));
    if (result != 0) return result;
    if (!block || length < 4) return nxeMessageUnrecognized;
    const uint32_t id = platform::LoadU32(reply.get());
    aTransContext = nxCreateServerObject<TnxRemoteTransContext>(this, aTimeout, true, id).release();
    return 0;
  });
}

uint32_t TnxRemoteSession::GetRegisteredClassList(TnxClassListType aClassListType, platform::TStringList& aList) {
  return Guarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {static_cast<int32_t>(aClassListType)};
    if (const uint32_t veto = NotifyExtenders(eaGetRegisteredClassList, true, args)) return veto;
    const uint8_t payload = static_cast<uint8_t>(aClassListType);
    TnxMemoryStream reply;
    platform::TStream* variable = &reply;
    const uint32_t result = ProcessRequest(rsSource, rsRemoteThreadPriority, nxnmSessionGetRegisteredClassList,
                                           Timeout(), &payload, 1, &variable, nullptr, nmdStream, false, nullptr);
    if (result != 0) return result;
    platform::TStringList names;
    reply.SetPosition(0);
    TnxReader reader(reply);
    reader.ReadStrings(names);
    aList.AddStrings(names);
    NotifyExtenders(eaGetRegisteredClassList, false, args);
    return 0;
  });
}

uint32_t TnxRemoteSession::TableStreamRead(std::u16string_view aAliasName, std::u16string_view aTableName,
                                           std::u16string_view aPassword, std::u16string_view aStreamName,
                                           platform::TStream& aStream) {
  if (!rsMessageReductionServer())
    return TnxAbstractSession::TableStreamRead(aAliasName, aTableName, aPassword, aStreamName, aStream);
  return Guarded([&]() -> uint32_t {
    aStream.SetSize(0);
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aAliasName);
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    writer->WriteString(aStreamName);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmSessionTableStreamRead, result);
    if (result == 0) {
      TnxMemoryStream& bytes = reader->StreamForReading();
      if (bytes.GetSize() > 0) aStream.WriteBuffer(bytes.Memory(), bytes.GetSize());
    }
    aStream.SetPosition(0);
    return result;
  });
}

uint32_t TnxRemoteSession::TableStreamWrite(std::u16string_view aAliasName, std::u16string_view aTableName,
                                            std::u16string_view aPassword, std::u16string_view aStreamName,
                                            platform::TStream& aStream) {
  if (!rsMessageReductionServer())
    return TnxAbstractSession::TableStreamWrite(aAliasName, aTableName, aPassword, aStreamName, aStream);
  return Guarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aAliasName);
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    writer->WriteString(aStreamName);
    const int64_t size = aStream.GetSize();
    writer->WriteInteger(size);
    writer->FlushBuffer();
    aStream.SetPosition(0);
    writer->StreamForWriting().CopyFrom(aStream, size);
    return writer->RequestNoReply(nxnmSessionTableStreamWrite);
  });
}

uint32_t TnxRemoteSession::TableExists(std::u16string_view aAliasName, std::u16string_view aTableName,
                                       std::u16string_view aPassword, bool& aExists, bool aAllowSystem) {
  if (!rsMessageReductionServer())
    return TnxAbstractSession::TableExists(aAliasName, aTableName, aPassword, aExists, aAllowSystem);
  aExists = false;
  return Guarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aAliasName);
    writer->WriteString(aTableName);
    writer->WriteString(aPassword);
    writer->WriteBoolean(aAllowSystem);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(nxnmSessionTableExists, result);
    if (result != 0) return result;
    TnxMemoryStream& reply = reader->StreamForReading();
    if (reply.GetSize() < 1) return nxeMessageUnrecognized;
    aExists = static_cast<const uint8_t*>(reply.Memory())[0] != 0;
    return 0;
  });
}

uint32_t TnxRemoteSession::OptionClear(std::u16string_view aName) {
  return Guarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aName);
    return writer->RequestNoReply(nxnmSessionOptionClear);
  });
}

uint32_t TnxRemoteSession::OptionSet(std::u16string_view aName, std::u16string_view aValue) {
  return Guarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aName);
    writer->WriteString(aValue);
    return writer->RequestNoReply(nxnmSessionOptionSet);
  });
}

uint32_t TnxRemoteSession::rsOptionGet(TnxMsgID aMsgID, std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return Guarded([&]() -> uint32_t {
    const std::unique_ptr<TnxRequestWriter> writer = CreateRequest();
    writer->WriteString(aName);
    uint32_t result = 0;
    TnxReplyReader* reader = writer->Request(aMsgID, result);
    if (result == 0) aValue = reader->ReadString();
    return result;
  });
}

uint32_t TnxRemoteSession::OptionGet(std::u16string_view aName, std::u16string& aValue) {
  return rsOptionGet(nxnmSessionOptionGet, aName, aValue);
}

uint32_t TnxRemoteSession::OptionGetEffective(std::u16string_view aName, std::u16string& aValue) {
  return rsOptionGet(nxnmSessionOptionGetEffective, aName, aValue);
}

uint32_t TnxRemoteSession::rsOptionList(TnxMsgID aMsgID, platform::TStringList& aList) {
  return Guarded([&]() -> uint32_t {
    uint32_t result = 0;
    const std::unique_ptr<TnxReplyReader> reader = RequestNoData(aMsgID, result);
    if (result == 0) reader->ReadStrings(aList);
    return result;
  });
}

uint32_t TnxRemoteSession::OptionList(platform::TStringList& aList) {
  return rsOptionList(nxnmSessionOptionList, aList);
}

uint32_t TnxRemoteSession::OptionListEffective(platform::TStringList& aList) {
  return rsOptionList(nxnmSessionOptionListEffective, aList);
}

}  // namespace revurov
