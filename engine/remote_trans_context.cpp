#include "engine/remote_trans_context.h"

#include <exception>

#include "engine/remote_cursor.h"
#include "engine/remote_object_requests.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "transport/heap_block.h"

namespace revurov {

namespace {

// A level needs at least its list's begin and end tags.
constexpr int64_t kMinLevelBytes = 2;

bool HasPlainTransaction(const TnxTransactionInfo& aInfo) noexcept {
  return aInfo.tiStartLSN != 0 && (aInfo.tiState & (1u << tsSnapshot)) == 0;
}

// The state at aReader's position. The level count comes off the wire: one
// the rest of the reply cannot hold is refused before anything is made.
void ReadState(TnxTransactionInfo& aInfo, TnxMemoryStream& aStream, int64_t aPosition) {
  {
    aStream.SetPosition(aPosition);
    TnxReader peek(aStream);
    const int64_t count = peek.ReadInt64();
    if (count < 0 || count > peek.BytesLeft() / kMinLevelBytes) throw EnxBaseException(nxeMessageUnrecognized);
  }
  aStream.SetPosition(aPosition);
  TnxReader reader(aStream);
  nxReadTransactionInfo(aInfo, reader);
}

}  // namespace

TnxTransactionInfo nxEmptyTransactionInfo() {
  TnxTransactionInfo info;
  info.tiLevel = -1;
  return info;
}

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

// ---- transactions and options ----

namespace revurov {

TnxRemoteRequestTarget TnxRemoteTransContext::rtcTarget() const noexcept {
  return {&rtcSession, rtcSource.Token(), rtcRemoteThreadPriority, Timeout(), rtcTransContextID};
}

TnxMsgID TnxRemoteTransContext::rtcStatedID(TnxMsgID aOldID) const noexcept {
  return rtcServerVersion > nxTransactionInfoMinServer ? aOldID + nxnmTransContextStatedOffset : aOldID;
}

template <class F>
uint32_t TnxRemoteTransContext::rtcGuarded(F&& aOperation) noexcept {
  try {
    return aOperation();
  } catch (const std::exception& e) {
    return asoConvertException(e);
  } catch (...) {
    return nxeExceptionWithoutCode;
  }
}

TnxMemoryStream& TnxRemoteTransContext::rtcReplyStream() {
  if (!rtcReply) rtcReply = std::make_unique<TnxMemoryStream>(-1);
  return *rtcReply;
}

bool TnxRemoteTransContext::rtcGetCacheTransContext(TnxBaseTransContext*& aCacheTransContext) {
  aCacheTransContext = nullptr;
  if (!rtcCacheTransContext) return false;
  if (!rtcCacheTransContextMonitorRef || !rtcCacheTransContextMonitorRef->IsAlive()) {
    rtcCacheTransContext = nullptr;
    rtcCacheTransContextMonitorRef = nullptr;
    return false;
  }
  aCacheTransContext = rtcCacheTransContext;
  return true;
}

uint32_t TnxRemoteTransContext::SetCacheTransContext(TnxBaseTransContext* aCacheTransContext) {
  rtcCacheTransContext = aCacheTransContext;
  rtcCacheTransContextMonitorRef = aCacheTransContext ? aCacheTransContext->GetLifetimeMonitor() : nullptr;
  return 0;
}

void TnxRemoteTransContext::rtcStepCacheContext(TCacheStep aStep, const TnxTransactionInfo& aBefore,
                                                const TnxTransactionInfo& aReceived) {
  TnxBaseTransContext* cache = nullptr;
  if (aStep == TCacheStep::None || !rtcGetCacheTransContext(cache)) return;
  int32_t level = -1;
  if (aStep == TCacheStep::Start) {
    if (!HasPlainTransaction(aReceived)) return;
    if (cache->TransactionGetLevel(level) != 0) level = -1;
    // The level comes from the server: no more steps than its state lists.
    for (size_t steps = aReceived.tiLevels.size(); steps > 0 && level < aReceived.tiLevel; --steps) {
      if (cache->TransactionStart(false, false) != 0) break;
      if (cache->TransactionGetLevel(level) != 0) break;
    }
    return;
  }
  if (!HasPlainTransaction(aBefore)) return;
  if (cache->TransactionGetLevel(level) != 0) level = -1;
  for (size_t steps = aBefore.tiLevels.size(); steps > 0 && aReceived.tiLevel < level; --steps) {
    if (aStep == TCacheStep::Commit) {
      if (cache->TransactionCommit() != 0 && cache->TransactionRollback() != 0) break;
    } else if (cache->TransactionRollback() != 0) {
      break;
    }
    if (cache->TransactionGetLevel(level) != 0) level = -1;
  }
}

uint32_t TnxRemoteTransContext::rtcFinishStated(uint32_t aResult, TnxMemoryStream& aReply, TCacheStep aStep,
                                                TnxEngineAction aAction, TnxEngineArgs aArgs, bool aNotify) {
  TnxTransactionInfo received = nxEmptyTransactionInfo();
  try {
    if (aReply.GetSize() > 0) ReadState(received, aReply, 0);
  } catch (...) {
    // A state that cannot be read is no state: none is kept.
    rtcTransInfo = nxEmptyTransactionInfo();
    throw;
  }
  if (aResult == 0) {
    if (aNotify) NotifyExtenders(aAction, false, aArgs);
    rtcStepCacheContext(aStep, rtcTransInfo, received);
  }
  rtcTransInfo = std::move(received);
  return aResult;
}

uint32_t TnxRemoteTransContext::TransactionStart(bool aFailSafe, bool aSnapShot) {
  return rtcGuarded([&]() -> uint32_t {
    const TnxEngineArg args[] = {aFailSafe, aSnapShot};
    if (const uint32_t veto = NotifyExtenders(eaTransactionStart, true, args)) return veto;
    const uint8_t flags[2] = {static_cast<uint8_t>(aFailSafe), static_cast<uint8_t>(aSnapShot)};
    TnxMemoryStream& reply = rtcReplyStream();
    const uint32_t result =
        nxRemoteRawStreamRequest(rtcTarget(), rtcStatedID(nxnmTransContextStart), reply, flags);
    return rtcFinishStated(result, reply, TCacheStep::Start, eaTransactionStart, args, true);
  });
}

uint32_t TnxRemoteTransContext::TransactionStartWith(bool aFailSafe, bool aSnapShot,
                                                     std::span<TnxAbstractCursor* const> aCursors) {
  return rtcGuarded([&]() -> uint32_t {
    // Only a cursor of this session has an ID the server knows.
    for (TnxAbstractCursor* cursor : aCursors)
      if (!dynamic_cast<TnxRemoteCursor*>(cursor) || cursor->Session() != Session()) return nxeInvalidHandle;
    const TnxEngineArg args[] = {aFailSafe, aSnapShot};
    if (const uint32_t veto = NotifyExtenders(eaTransactionStart, true, args)) return veto;
    const std::unique_ptr<TnxRequestWriter> writer = nxRemoteCreateRequest(rtcTarget());
    writer->WriteBoolean(aFailSafe);
    writer->WriteBoolean(aSnapShot);
    writer->WriteInteger(static_cast<int32_t>(aCursors.size()));
    for (TnxAbstractCursor* cursor : aCursors)
      writer->WriteInteger(static_cast<int32_t>(static_cast<TnxRemoteCursor*>(cursor)->CursorID()));
    TnxMemoryStream& reply = rtcReplyStream();
    reply.SetSize(0);
    reply.SetPosition(0);
    TnxMemoryStream* variable = &reply;
    const uint32_t result = writer->RequestIntoStream(rtcStatedID(nxnmTransContextStartWith), variable);
    return rtcFinishStated(result, reply, TCacheStep::Start, eaTransactionStart, args, true);
  });
}

uint32_t TnxRemoteTransContext::TransactionCommit() {
  return rtcGuarded([&]() -> uint32_t {
    if (const uint32_t veto = NotifyExtenders(eaTransactionCommit, true, {})) return veto;
    TnxMemoryStream& reply = rtcReplyStream();
    const uint32_t result = nxRemoteRawStreamRequest(rtcTarget(), rtcStatedID(nxnmTransContextCommit), reply);
    return rtcFinishStated(result, reply, TCacheStep::Commit, eaTransactionCommit, {}, true);
  });
}

uint32_t TnxRemoteTransContext::TransactionRollback() {
  return rtcGuarded([&]() -> uint32_t {
    // A rollback is not to be refused.
    NotifyExtenders(eaTransactionRollback, true, {});
    TnxMemoryStream& reply = rtcReplyStream();
    const uint32_t result = nxRemoteRawStreamRequest(rtcTarget(), rtcStatedID(nxnmTransContextRollback), reply);
    return rtcFinishStated(result, reply, TCacheStep::Rollback, eaTransactionRollback, {}, true);
  });
}

uint32_t TnxRemoteTransContext::TransactionCorrupted() {
  return rtcGuarded([&]() -> uint32_t {
    TnxMemoryStream& reply = rtcReplyStream();
    const uint32_t result = nxRemoteRawStreamRequest(rtcTarget(), rtcStatedID(nxnmTransContextCorrupted), reply);
    return rtcFinishStated(result, reply, TCacheStep::None, eaTransactionRollback, {}, false);
  });
}

uint32_t TnxRemoteTransContext::TransactionGetLevel(int32_t& aTransLevel) {
  aTransLevel = 0;
  return rtcGuarded([&]() -> uint32_t {
    if (rtcServerVersion <= nxTransactionInfoMinServer) {
      std::vector<uint8_t> reply;
      const uint32_t result = nxRemoteRawRequest(rtcTarget(), nxnmTransContextGetLevel, {}, &reply);
      rtcTransInfo = nxEmptyTransactionInfo();
      if (result != 0) return result;
      if (reply.size() < 4) return nxeMessageUnrecognized;
      aTransLevel = static_cast<int32_t>(platform::LoadU32(reply.data()));
      return 0;
    }
    TnxMemoryStream& reply = rtcReplyStream();
    const uint32_t result =
        nxRemoteRawStreamRequest(rtcTarget(), rtcStatedID(nxnmTransContextGetLevel), reply);
    TnxTransactionInfo received = nxEmptyTransactionInfo();
    try {
      if (reply.GetSize() > 0) {
        int32_t level = 0;
        bool stateFollows = false;
        int64_t position = 0;
        {
          reply.SetPosition(0);
          TnxReader reader(reply);
          // The level is there only on success.
          if (result == 0) level = reader.ReadInteger();
          stateFollows = reader.ReadBoolean();
          reader.FlushBuffer();
          position = reply.Position();
        }
        if (stateFollows) ReadState(received, reply, position);
        if (result == 0) aTransLevel = level;
      }
    } catch (...) {
      rtcTransInfo = nxEmptyTransactionInfo();
      throw;
    }
    rtcTransInfo = std::move(received);
    return result;
  });
}

uint32_t TnxRemoteTransContext::TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool aAllowCached) {
  aTransInfo = nxEmptyTransactionInfo();
  return rtcGuarded([&]() -> uint32_t {
    if (rtcServerVersion <= nxTransactionInfoMinServer) return nxeIncompatibleVersion;
    uint32_t result = 0;
    if (!aAllowCached) {
      int32_t level = 0;
      result = TransactionGetLevel(level);
    }
    aTransInfo = rtcTransInfo;
    if (aTransInfo.tiStartLSN == 0) result = nxeNoTransaction;
    return result;
  });
}

uint32_t TnxRemoteTransContext::OptionClear(std::u16string_view aName) {
  return rtcGuarded([&] { return nxRemoteOptionClear(rtcTarget(), nxnmTransContextSetTimeout, aName); });
}

uint32_t TnxRemoteTransContext::OptionSet(std::u16string_view aName, std::u16string_view aValue) {
  return rtcGuarded([&] { return nxRemoteOptionSet(rtcTarget(), nxnmTransContextSetTimeout, aName, aValue); });
}

uint32_t TnxRemoteTransContext::OptionGet(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return rtcGuarded([&] { return nxRemoteOptionGet(rtcTarget(), nxnmTransContextSetTimeout, false, aName, aValue); });
}

uint32_t TnxRemoteTransContext::OptionGetEffective(std::u16string_view aName, std::u16string& aValue) {
  aValue.clear();
  return rtcGuarded([&] { return nxRemoteOptionGet(rtcTarget(), nxnmTransContextSetTimeout, true, aName, aValue); });
}

uint32_t TnxRemoteTransContext::OptionList(platform::TStringList& aList) {
  return rtcGuarded([&] { return nxRemoteOptionList(rtcTarget(), nxnmTransContextSetTimeout, false, aList); });
}

uint32_t TnxRemoteTransContext::OptionListEffective(platform::TStringList& aList) {
  return rtcGuarded([&] { return nxRemoteOptionList(rtcTarget(), nxnmTransContextSetTimeout, true, aList); });
}

}  // namespace revurov
