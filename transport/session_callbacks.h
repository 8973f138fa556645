// The two session callback objects that serving code gets from
// TnxBaseTransport::GetSessionCallback: on a server the remote one (its
// requests go out on the client's callback connections), on a client
// serving its server's request the local one (its requests take the pool).
// Both answer InxSessionInfo, InxSessionRequests and InxSessionCallback,
// so serving code does not care on which side it runs.
//
// Contract:
// - The remote callback names its remote transport and session by handle
//   and looks both up on every use: once either is gone, or after
//   Disconnect, Request answers 11276 without sending anything, Post does
//   nothing and ProcessRequest answers 11276. SessionID answers 0 after
//   Disconnect.
// - ProcessRequest and ProcessRequestDirect answer the reply's code through
//   the stream reply callback, 10756 when no reply came at all.
// - The data store holds one reference per key; the key's first interface
//   stays. Destruction releases them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "lowlevel/components/plugin_base.h"
#include "lowlevel/objects/session_notifications.h"
#include "lowlevel/sync/padlock.h"
#include "transport/request_reader.h"
#include "transport/session_callback.h"
#include "transport/session_requests.h"

namespace revurov {

class TnxBaseTransport;

// The engine-side request operations both callbacks offer.
class TnxSessionRequestsBase : public InxSessionRequests {
public:
  virtual ~TnxSessionRequestsBase() = default;
  // aSource and aCanSkipCantSkip are not used; aSequenceID becomes 0.
  uint32_t ProcessRequest(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                          uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen, void* aReply,
                          int32_t* aReplyLen, TnxNetMsgDataType aReplyType, bool aCanSkipCantSkip,
                          uint32_t* aSequenceID) noexcept override;
  // An exception of the transport is answered as its converted code.
  uint32_t ProcessRequestDirect(TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                                const void* aRequestData, int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                                TnxNetMsgDataType aReplyType) noexcept override;
  void ProcessPost(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                   uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen) noexcept override;

protected:
  // The request with the reply callback; false when it could not be sent
  // at all (the result is then 11276).
  virtual bool srSend(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
                      int32_t aRequestDataLen, TnxReplyCallback aReplyCallback, void* aReplyCookie) = 0;
  virtual void srPost(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData,
                      int32_t aRequestDataLen, uint32_t aTimeout) = 0;
};

class TnxRemoteSessionCallback : public TnxInterfacedObject,
                                 public InxSessionInfo,
                                 public InxSessionDataStore,
                                 public InxInternalSessionCallback,
                                 public TnxSessionRequestsBase {
public:
  TnxRemoteSessionCallback(TnxTransportID aTransport, TnxSessionID aSession);

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
  int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }

  TnxSessionID SessionID() override;
  void Request(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
               int32_t aRequestDataLen, TnxReplyCallback aReplyCallback, void* aReplyCookie) override;
  void Post(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData, int32_t aRequestDataLen,
            uint32_t aTimeout) override;
  void Disconnect() override;
  void DataAdd(const std::u16string& aKey, platform::IInterface* aValue,
               platform::TInterfacePtr<platform::IInterface>& aResult) override;
  void DataRemove(const std::u16string& aKey, platform::TInterfacePtr<platform::IInterface>& aResult) override;
  void DataGet(const std::u16string& aKey, platform::TInterfacePtr<platform::IInterface>& aResult) override;

  // Tick count of the creation.
  uint64_t TickCount() const noexcept { return rscTickCount; }

protected:
  ~TnxRemoteSessionCallback() override;
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
  bool srSend(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
              int32_t aRequestDataLen, TnxReplyCallback aReplyCallback, void* aReplyCookie) override;
  void srPost(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData, int32_t aRequestDataLen,
              uint32_t aTimeout) override;

private:
  TnxSessionNotifications* Notifications();

  TnxPadlock rscLock;
  std::atomic<TnxTransportID> rscTransport;
  std::atomic<TnxSessionID> rscSession;
  std::map<std::u16string, platform::TInterfacePtr<platform::IInterface>> rscData;  // under rscLock
  uint64_t rscTickCount;
  std::atomic<TnxSessionNotifications*> rscNotifications{nullptr};  // aggregated; freed with this object
};

class TnxLocalSessionCallback : public TnxInterfacedObject,
                                public InxSessionInfo,
                                public InxSessionCallback,
                                public TnxSessionRequestsBase {
public:
  // aTransport must outlive the callback (it serves the request that made
  // it).
  TnxLocalSessionCallback(TnxBaseTransport* aTransport, TnxSessionID aSession);

  platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::QueryInterface(iid, obj);
  }
  int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
  int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }

  TnxSessionID SessionID() override { return lscSession; }
  void Request(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
               int32_t aRequestDataLen, TnxReplyCallback aReplyCallback, void* aReplyCookie) override;
  void Post(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData, int32_t aRequestDataLen,
            uint32_t aTimeout) override;

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override;
  bool srSend(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
              int32_t aRequestDataLen, TnxReplyCallback aReplyCallback, void* aReplyCookie) override;
  void srPost(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData, int32_t aRequestDataLen,
              uint32_t aTimeout) override;

private:
  TnxBaseTransport* lscTransport;  // not owned
  TnxSessionID lscSession;
};

}  // namespace revurov
