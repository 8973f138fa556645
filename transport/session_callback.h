// The way back to the other side of a session: what code serving a request
// gets from the transport to send requests of its own to that session's peer.
#pragma once

#include <cstdint>
#include <string>

#include "lowlevel/objects/interfaced_object.h"
#include "transport/wire_header.h"

namespace revurov {

// Called once per request on the requesting thread before Request returns,
// with the reply or with an error code and no data; the data is valid only
// during the call. aReplyCookie is the requester's, passed through untouched.
using TnxReplyCallback = void (*)(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData,
                                  int32_t aReplyDataLen, void* aReplyCookie);

class InxSessionCallback : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{A81364D0-0F40-486A-ACE9-9768B41F7DFC}");
  // As the transport's Request and Post, for the session of the request
  // being served.
  virtual void Request(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                       const void* aRequestData, int32_t aRequestDataLen,
                       TnxReplyCallback aReplyCallback, void* aReplyCookie) = 0;
  virtual void Post(TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData,
                    int32_t aRequestDataLen, uint32_t aTimeout) = 0;
};

class InxSessionInfo : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{1E6E0DE4-0A58-4997-84F9-08A521472E52}");
  // The engine's session ID.
  virtual TnxSessionID SessionID() = 0;
};

class InxInternalSessionCallback : public InxSessionCallback {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{5CB6F0D9-2AD8-4B0F-9E49-48568F341952}");
  // Cuts the callback off its session: later requests answer 11276.
  virtual void Disconnect() = 0;
};

// Interfaces kept with a session under a text key, one reference each.
class InxSessionDataStore : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = platform::nxGuid("{CAF62836-7CA0-4FBC-A28D-02FF0478398A}");
  // An existing key answers its interface and keeps it; otherwise aValue
  // (when given) is stored and aResult stays empty.
  virtual void DataAdd(const std::u16string& aKey, platform::IInterface* aValue,
                       platform::TInterfacePtr<platform::IInterface>& aResult) = 0;
  virtual void DataRemove(const std::u16string& aKey, platform::TInterfacePtr<platform::IInterface>& aResult) = 0;
  virtual void DataGet(const std::u16string& aKey, platform::TInterfacePtr<platform::IInterface>& aResult) = 0;
};

// Calls the requester's callback once at most: a failure after the reply
// was delivered must not answer it a second time.
struct TnxOnceDelivery {
  TnxReplyCallback callback;
  void* cookie;
  bool delivered = false;

  static void Deliver(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aData, int32_t aLen, void* aSelf) {
    auto* self = static_cast<TnxOnceDelivery*>(aSelf);
    self->delivered = true;
    if (self->callback) self->callback(aMsgID, aErrorCode, aData, aLen, self->cookie);
  }
  // The failure, unless the reply came already.
  void Fail(TnxMsgID aMsgID, uint32_t aErrorCode) {
    if (!delivered && callback) callback(aMsgID, aErrorCode, nullptr, 0, cookie);
    delivered = true;
  }
};

}  // namespace revurov
