#include "transport/session_callbacks.h"

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/exception_conversion.h"
#include "lowlevel/sync/lock_guard.h"
#include "transport/base_transport.h"
#include "transport/remote_objects.h"
#include "transport/transport_clock.h"

namespace revurov {

// ---- the request operations of both ----

uint32_t TnxSessionRequestsBase::ProcessRequest(TnxMessageSource, TnxThreadPriority aRemoteThreadPriority,
                                                TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
                                                int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                                                TnxNetMsgDataType aReplyType, bool, uint32_t* aSequenceID) noexcept {
  if (aSequenceID) *aSequenceID = 0;
  return ProcessRequestDirect(aRemoteThreadPriority, aMsgID, aTimeout, aRequestData, aRequestDataLen, aReply,
                              aReplyLen, aReplyType);
}

uint32_t TnxSessionRequestsBase::ProcessRequestDirect(TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                                                      uint32_t aTimeout, const void* aRequestData,
                                                      int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                                                      TnxNetMsgDataType aReplyType) noexcept {
  try {
    TnxStreamReplyCookie cookie{aMsgID, nxeOperationNotApplicable, aReply, aReplyLen, aReplyType};
    if (!srSend(aRemoteThreadPriority, aMsgID, aTimeout, aRequestData, aRequestDataLen, &nxStreamReplyCallback,
                &cookie))
      return nxeLostConnection;
    return cookie.srcResult;
  } catch (...) {
    return nxConvertCurrentException();
  }
}

void TnxSessionRequestsBase::ProcessPost(TnxMessageSource, TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                                         uint32_t aTimeout, const void* aRequestData,
                                         int32_t aRequestDataLen) noexcept {
  try {
    srPost(aRemoteThreadPriority, aMsgID, aRequestData, aRequestDataLen, aTimeout);
  } catch (...) {
    // A post has no one to answer.
  }
}

// ---- remote ----

namespace {

// The remote transport and session a remote callback names, held while
// it is used.
struct THeldSession {
  TnxBaseRemoteTransport* remote = nullptr;
  TnxBaseRemoteSession* session = nullptr;
  THeldSession(TnxTransportID aTransport, TnxSessionID aSession) noexcept {
    if (aTransport == 0 || aSession == 0) return;
    if (TnxBaseRemoteTransport::LookupByID(aTransport, remote) != 0) return;
    TnxBaseRemoteSession::LookupByID(remote, aSession, session);
  }
  ~THeldSession() {
    if (session) session->Unlock();
    if (remote) remote->Unlock();
  }
  THeldSession(const THeldSession&) = delete;
  THeldSession& operator=(const THeldSession&) = delete;
  explicit operator bool() const noexcept { return session != nullptr; }
};

}  // namespace

TnxRemoteSessionCallback::TnxRemoteSessionCallback(TnxTransportID aTransport, TnxSessionID aSession)
    : rscTransport(aTransport), rscSession(aSession), rscTickCount(nxTransportTickCount()) {}

TnxRemoteSessionCallback::~TnxRemoteSessionCallback() {
  if (TnxSessionNotifications* notifications = rscNotifications.exchange(nullptr)) notifications->Free();
}

bool TnxRemoteSessionCallback::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  if (iid == InxSessionNotifications::IID) {
    TnxSessionNotifications* notifications = Notifications();
    return notifications && notifications->InnerInterface()->QueryInterface(iid, obj) == platform::S_OK;
  }
  return nxOfferInterface<InxSessionInfo>(this, iid, obj) || nxOfferInterface<InxSessionRequests>(this, iid, obj) ||
         nxOfferInterface<InxSessionDataStore>(this, iid, obj) ||
         nxOfferInterface<InxInternalSessionCallback>(this, iid, obj) ||
         nxOfferInterface<InxSessionCallback>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

TnxSessionNotifications* TnxRemoteSessionCallback::Notifications() {
  if (TnxSessionNotifications* existing = rscNotifications.load(std::memory_order_acquire)) return existing;
  TnxSessionNotifications* made;
  try {
    made = nxCreate<TnxSessionNotifications>(static_cast<InxSessionInfo*>(this));
  } catch (...) {
    return nullptr;
  }
  TnxSessionNotifications* expected = nullptr;
  if (rscNotifications.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
  made->Free();
  return expected;
}

TnxSessionID TnxRemoteSessionCallback::SessionID() {
  THeldSession held(rscTransport.load(), rscSession.load());
  return held ? held.session->SessionID() : 0;
}

bool TnxRemoteSessionCallback::srSend(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                                      const void* aRequestData, int32_t aRequestDataLen,
                                      TnxReplyCallback aReplyCallback, void* aReplyCookie) {
  THeldSession held(rscTransport.load(), rscSession.load());
  if (!held) return false;
  held.remote->Request(true, held.session->Handle(), aThreadPriority, aMsgID, aTimeout, aRequestData,
                       aRequestDataLen, aReplyCallback, aReplyCookie);
  return true;
}

void TnxRemoteSessionCallback::srPost(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData,
                                      int32_t aRequestDataLen, uint32_t aTimeout) {
  THeldSession held(rscTransport.load(), rscSession.load());
  if (held)
    held.remote->Post(true, held.session->Handle(), aThreadPriority, aMsgID, aRequestData, aRequestDataLen, aTimeout);
}

void TnxRemoteSessionCallback::Request(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                                       const void* aRequestData, int32_t aRequestDataLen,
                                       TnxReplyCallback aReplyCallback, void* aReplyCookie) {
  if (!srSend(aThreadPriority, aMsgID, aTimeout, aRequestData, aRequestDataLen, aReplyCallback, aReplyCookie) &&
      aReplyCallback)
    aReplyCallback(aMsgID, nxeLostConnection, nullptr, 0, aReplyCookie);
}

void TnxRemoteSessionCallback::Post(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData,
                                    int32_t aRequestDataLen, uint32_t aTimeout) {
  srPost(aThreadPriority, aMsgID, aRequestData, aRequestDataLen, aTimeout);
}

void TnxRemoteSessionCallback::Disconnect() {
  rscTransport.store(0);
  rscSession.store(0);
  if (TnxSessionNotifications* notifications = rscNotifications.load(std::memory_order_acquire))
    notifications->Disconnected();
}

void TnxRemoteSessionCallback::DataAdd(const std::u16string& aKey, platform::IInterface* aValue,
                                       platform::TInterfacePtr<platform::IInterface>& aResult) {
  TnxPadlockGuard guard(rscLock);
  if (auto it = rscData.find(aKey); it != rscData.end()) {
    aResult = it->second;
    return;
  }
  aResult = nullptr;
  if (aValue) rscData.emplace(aKey, aValue);
}

void TnxRemoteSessionCallback::DataRemove(const std::u16string& aKey,
                                          platform::TInterfacePtr<platform::IInterface>& aResult) {
  TnxPadlockGuard guard(rscLock);
  aResult = nullptr;
  if (auto it = rscData.find(aKey); it != rscData.end()) {
    aResult = std::move(it->second);
    rscData.erase(it);
  }
}

void TnxRemoteSessionCallback::DataGet(const std::u16string& aKey,
                                       platform::TInterfacePtr<platform::IInterface>& aResult) {
  TnxPadlockGuard guard(rscLock);
  auto it = rscData.find(aKey);
  aResult = it != rscData.end() ? it->second : nullptr;
}

// ---- local ----

TnxLocalSessionCallback::TnxLocalSessionCallback(TnxBaseTransport* aTransport, TnxSessionID aSession)
    : lscTransport(aTransport), lscSession(aSession) {}

bool TnxLocalSessionCallback::GetInterface(const platform::TGUID& iid, void** obj) noexcept {
  return nxOfferInterface<InxSessionInfo>(this, iid, obj) || nxOfferInterface<InxSessionRequests>(this, iid, obj) ||
         nxOfferInterface<InxSessionCallback>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
}

bool TnxLocalSessionCallback::srSend(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                                     const void* aRequestData, int32_t aRequestDataLen,
                                     TnxReplyCallback aReplyCallback, void* aReplyCookie) {
  lscTransport->Request(0, lscSession, aThreadPriority, aMsgID, aTimeout, aRequestData, aRequestDataLen,
                        aReplyCallback, aReplyCookie);
  return true;
}

void TnxLocalSessionCallback::srPost(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData,
                                     int32_t aRequestDataLen, uint32_t aTimeout) {
  lscTransport->Post(0, lscSession, aThreadPriority, aMsgID, aRequestData, aRequestDataLen, aTimeout);
}

void TnxLocalSessionCallback::Request(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                                      const void* aRequestData, int32_t aRequestDataLen,
                                      TnxReplyCallback aReplyCallback, void* aReplyCookie) {
  srSend(aThreadPriority, aMsgID, aTimeout, aRequestData, aRequestDataLen, aReplyCallback, aReplyCookie);
}

void TnxLocalSessionCallback::Post(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData,
                                   int32_t aRequestDataLen, uint32_t aTimeout) {
  srPost(aThreadPriority, aMsgID, aRequestData, aRequestDataLen, aTimeout);
}

}  // namespace revurov
