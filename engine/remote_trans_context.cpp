#include "engine/remote_trans_context.h"

#include "platform/endian.h"

namespace revurov {

TnxRemoteTransContext::TnxRemoteTransContext(TnxRemoteSession* aSession, uint32_t aTimeout, bool aOwnsID,
                                             TnxTransContextID aTransContextID)
    : TnxAbstractTransContext(aSession, aTimeout),
      rtcSession(*aSession),
      rtcSource(*aSession),
      rtcRemoteThreadPriority(aSession->RemoteThreadPriority()),
      rtcServerVersion(aSession->ServerVersion()),
      rtcOwnsID(aOwnsID),
      rtcTransContextID(aTransContextID) {}

TnxRemoteTransContext::~TnxRemoteTransContext() {
  if (!rtcOwnsID) return;
  uint8_t payload[4];
  platform::StoreU32(payload, rtcTransContextID);
  // The request path does not raise; its result has nobody to go to.
  rtcSession.ProcessRequest(rtcSource.Token(), rtcRemoteThreadPriority, nxnmTransContextClose, Timeout(), payload,
                            4, nullptr, nullptr, nmdByteArray, true, nullptr);
}

void TnxRemoteTransContext::SetTimeout(uint32_t aValue) {
  if (aValue == Timeout()) return;
  TnxAbstractTransContext::SetTimeout(aValue);
  if (AddToTimeoutBatch(this)) return;
  uint8_t payload[8];
  platform::StoreU32(payload, rtcTransContextID);
  platform::StoreU32(payload + 4, aValue);
  rtcSession.ProcessRequest(rtcSource.Token(), rtcRemoteThreadPriority, nxnmTransContextSetTimeout, Timeout(),
                            payload, 8, nullptr, nullptr, nmdByteArray, false, nullptr);
}

}  // namespace revurov
