// InxSessionRequests: how remote objects and the remoting layer send through
// a session, whether the client's remote session or the session callback of a
// request a server is serving.
//
// Contract:
// - ProcessRequest and ProcessRequestDirect answer the reply's code (0 for
//   success, a library error code otherwise) and hand the reply over as the
//   stream reply callback does (transport/request_reader.h); they raise
//   nothing.
// - ProcessRequestDirect goes out at once; ProcessRequest may first take a
//   reply the server sent ahead (the remote session's queue).
#pragma once

#include <cstdint>

#include "lowlevel/components/plugin_base.h"
#include "transport/data_message_queue.h"
#include "transport/request_reader.h"
#include "transport/wire_header.h"

namespace revurov {

class InxSessionRequests : public virtual platform::IInterface {
public:
  static constexpr platform::TGUID IID = nxSessionRequestsIID;
  virtual uint32_t ProcessRequest(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority,
                                  TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData,
                                  int32_t aRequestDataLen, void* aReply, int32_t* aReplyLen,
                                  TnxNetMsgDataType aReplyType, bool aCanSkipCantSkip,
                                  uint32_t* aSequenceID) noexcept = 0;
  virtual uint32_t ProcessRequestDirect(TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                                        uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen,
                                        void* aReply, int32_t* aReplyLen, TnxNetMsgDataType aReplyType) noexcept = 0;
  virtual void ProcessPost(TnxMessageSource aSource, TnxThreadPriority aRemoteThreadPriority, TnxMsgID aMsgID,
                           uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen) noexcept = 0;

protected:
  ~InxSessionRequests() = default;
};

}  // namespace revurov
