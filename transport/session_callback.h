// The way back to the other side of a session: what code serving a request
// gets from the transport to send requests of its own to that session's peer.
#pragma once

#include <cstdint>

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

}  // namespace revurov
