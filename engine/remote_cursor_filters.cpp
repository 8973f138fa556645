// Record filters and key filters of the remote cursor. A filter the server
// takes is evaluated there and kept here as a stand-in engine; any other is
// evaluated on the records as they arrive.
#include <cstdint>
#include <memory>

#include "engine/remote_cursor.h"
#include "engine/remote_cursor_wire.h"
#include "engine/remote_filter_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "platform/format.h"

namespace revurov {

namespace {

// aVar alone, into its hub, or into a new hub with it.
void AddToFilterVar(std::unique_ptr<TnxBaseFilterEngine>& aVar, std::unique_ptr<TnxBaseFilterEngine> aEngine) {
  if (!aVar) {
    aVar = std::move(aEngine);
  } else if (auto* hub = dynamic_cast<TnxFilterEngineHub*>(aVar.get())) {
    hub->AddFilter(std::move(aEngine));
  } else {
    aVar = std::make_unique<TnxFilterEngineHub>(std::move(aVar), std::move(aEngine));
  }
}

// The raw payload of a plain add: cursor ID, then the descriptor.
uint32_t DescriptorPayload(TnxCursorID aCursorID, const TnxBaseFilterDescriptor& aFilter, int32_t aVersion,
                           TnxMemoryStream& aPayload) {
  uint8_t id[4];
  platform::StoreU32(id, aCursorID);
  aPayload.Write(id, 4);
  return aFilter.WriteToStream(aPayload, aVersion);
}

}  // namespace

bool TnxRemoteCursor::rcFilterChained() const noexcept {
  return nxClientFeatureOn(cfMessageReduction) && rcServerVersion >= nxChainedFiltersMinServer;
}

bool TnxRemoteCursor::rcFilterChainFollows() noexcept {
  return HasAnyCursorOptions(nxCursorOption(acoFilterActionFollowedByFirst) |
                             nxCursorOption(acoFilterActionFollowedBySync));
}

void TnxRemoteCursor::rcWriteFilterChainFlags(TnxWriter& aWriter) {
  aWriter.WriteBoolean(HasAnyCursorOptions(nxCursorOption(acoFlipOrder)));
  aWriter.WriteBoolean(HasAnyCursorOptions(nxCursorOption(acoFilterActionFollowedByFirst)));
  if (rcFilterChainFollows()) {
    aWriter.WriteInteger(static_cast<int32_t>(RecordLength()));
    aWriter.WriteInteger(static_cast<int32_t>(
        HasAnyCursorOptions(nxCursorOption(acoRecordGetFollowedByGetBookmark)) ? rcBookmarkSize : 0));
  } else {
    aWriter.WriteInteger(0);
    aWriter.WriteInteger(0);
  }
}

void TnxRemoteCursor::rcExpectFilterChain() noexcept {
  // The server sends all three reads' replies unasked.
  if (rcFilterChainFollows()) rcExpectedMultiPartReplies = 0x7;
}

uint32_t TnxRemoteCursor::ProcessFilterAction(TnxFilterAction aAction, uint32_t aServerFilterID) {
  if (rcCursorID == 0) return nxeInvalidHandle;
  if (aAction == faRemove && rcFilterToDrop == -1) {
    rcFilterToDrop = aServerFilterID;
    return 0;
  }
  if (aAction > faRemove) return nxeInvalidParameter;
  uint32_t result = 0;
  try {
    if (rcFilterChained() && rcFilterChainFollows()) {
      const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
      writer->WriteInteger(static_cast<int32_t>(aAction));
      writer->WriteInteger(static_cast<int32_t>(aServerFilterID));
      rcWriteFilterChainFlags(*writer);
      rcExpectFilterChain();
      result = writer->RequestNoReply(nxnmCursorFilterActionChained);
    } else {
      uint8_t payload[8];
      platform::StoreU32(payload, rcCursorID);
      platform::StoreU32(payload + 4, aServerFilterID);
      result = rcRequest(nxnmCursorFilterActivate + aAction, payload, 8, nullptr, false);
    }
  } catch (const std::exception& e) {
    result = asoConvertException(e);
  }
  rcBookmarkCacheValid = false;
  return result;
}

std::unique_ptr<TnxBaseFilterEngine> TnxRemoteCursor::rcChainedFilterRequest(TnxMsgID aMsgID,
                                                                             TnxBaseFilterDescriptor& aFilter,
                                                                             bool aActivated, bool aIgnoreDropError,
                                                                             bool& aWritten) {
  const std::unique_ptr<TnxRequestWriter> writer = rcCreateRequest();
  if (aMsgID == nxnmCursorFilterReplaceChained) {
    writer->WriteInteger(static_cast<int32_t>(static_cast<uint32_t>(rcFilterToDrop)));
    writer->WriteBoolean(aIgnoreDropError);
  }
  writer->WriteBoolean(aActivated);
  rcWriteFilterChainFlags(*writer);
  aWritten = aFilter.WriteToStream(writer->StreamForWriting(), rcServerVersion) == 0;
  if (!aWritten) return nullptr;
  rcExpectFilterChain();
  uint32_t result = 0;
  TnxReplyReader* reader = writer->Request(aMsgID, result);
  // The new ID comes whatever the code: the old filter may be gone either way.
  uint32_t serverID = 0;
  if (reader && reader->GetSize() > 0) serverID = static_cast<uint32_t>(reader->ReadInteger());
  if (result != 0 || serverID == 0) return nullptr;
  return std::make_unique<TnxRemoteFilterEngine>(*this, serverID);
}

uint32_t TnxRemoteCursor::rcFilterAttach(std::unique_ptr<TnxBaseFilterEngine> aEngine, TnxBaseFilterDescriptor& aFilter,
                                         TnxFilterID& aFilterID, bool aActivated) {
  if (!aEngine) {
    // Kept here: the filter is evaluated on every record that arrives.
    aEngine = TnxBaseFilterEngine::CreateFor(aFilter, this);
    if (aActivated) aEngine->ActivateFilter(aEngine->FilterID());
  }
  aFilterID = aEngine->FilterID();
  AddToFilterVar(rcFilter, std::move(aEngine));
  if (aActivated) rcBookmarkCacheValid = false;
  return 0;
}

uint32_t TnxRemoteCursor::FilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID, bool aActivated) {
  if (!aFilter) return nxeInvalidParameter;
  std::unique_ptr<TnxBaseFilterEngine> engine;
  try {
    if (aActivated && rcFilterChained()) {
      bool written = false;
      engine = rcChainedFilterRequest(nxnmCursorFilterAddChained, *aFilter, true, false, written);
    } else {
      TnxMemoryStream payload(-1);
      if (DescriptorPayload(rcCursorID, *aFilter, rcServerVersion, payload) == 0) {
        uint32_t serverID = 0;
        if (rcCountRequest(nxnmCursorFilterAdd, static_cast<const uint8_t*>(payload.Memory()),
                           static_cast<int32_t>(payload.GetSize()), serverID) == 0) {
          engine = std::make_unique<TnxRemoteFilterEngine>(*this, serverID);
          if (aActivated && engine->ActivateFilter(engine->FilterID()) != 0) engine.reset();
        }
      }
    }
  } catch (const std::exception&) {
    // Refused or unreadable by the server: the filter stays here.
    engine.reset();
  }
  return rcFilterAttach(std::move(engine), *aFilter, aFilterID, aActivated);
}

uint32_t TnxRemoteCursor::FilterReplaceCustom(TnxBaseFilterDescriptor* aFilter, TnxFilterID& aFilterID,
                                              bool aActivated, bool aIgnoreDropError) {
  struct TDropReset {
    TnxRemoteCursor* cursor;
    ~TDropReset() {
      cursor->rcFilterToDrop = 0;
      cursor->rcBookmarkCacheValid = false;
    }
  } reset{this};
  rcFilterToDrop = -1;
  uint32_t result = FilterRemove(aFilterID);
  if (aIgnoreDropError) result = 0;
  if (result != 0) return result;
  aFilterID = 0;
  const bool tookServerFilter = rcFilterToDrop != -1;
  if (!aFilter) {
    if (tookServerFilter) {
      const uint32_t drop = static_cast<uint32_t>(rcFilterToDrop);
      rcFilterToDrop = 0;
      result = ProcessFilterAction(faRemove, drop);
    }
    return aIgnoreDropError ? 0 : result;
  }
  if (rcFilterChained() && tookServerFilter) {
    std::unique_ptr<TnxBaseFilterEngine> engine;
    bool written = false;
    try {
      engine = rcChainedFilterRequest(nxnmCursorFilterReplaceChained, *aFilter, aActivated, aIgnoreDropError,
                                      written);
    } catch (const std::exception&) {
      engine.reset();
    }
    if (!written) {
      const uint32_t drop = static_cast<uint32_t>(rcFilterToDrop);
      rcFilterToDrop = 0;
      ProcessFilterAction(faRemove, drop);
    }
    return rcFilterAttach(std::move(engine), *aFilter, aFilterID, aActivated);
  }
  if (tookServerFilter) {
    const uint32_t drop = static_cast<uint32_t>(rcFilterToDrop);
    rcFilterToDrop = 0;
    result = ProcessFilterAction(faRemove, drop);
    if (aIgnoreDropError) result = 0;
    if (result != 0) return result;
  }
  rcFilterToDrop = 0;
  return FilterAddCustom(aFilter, aFilterID, aActivated);
}

uint32_t TnxRemoteCursor::rcFilterSwitch(bool aActivate, TnxFilterID aFilterID) {
  if (!rcFilter) return nxeInvalidFilterHandle;
  uint32_t result = aActivate ? rcFilter->ActivateFilter(aFilterID) : rcFilter->DeactivateFilter(aFilterID);
  if (result == 0 && aFilterID == 0 && rcFilter->IsEvalRemote())
    result = ProcessFilterAction(aActivate ? faActivate : faDeactivate, 0);
  rcBookmarkCacheValid = false;
  return result;
}

uint32_t TnxRemoteCursor::FilterActivate(TnxFilterID aFilterID) { return rcFilterSwitch(true, aFilterID); }

uint32_t TnxRemoteCursor::FilterDeactivate(TnxFilterID aFilterID) { return rcFilterSwitch(false, aFilterID); }

uint32_t TnxRemoteCursor::FilterRemove(TnxFilterID aFilterID) {
  rcBookmarkCacheValid = false;
  if (aFilterID != 0) {
    if (!rcFilter) return nxeInvalidFilterHandle;
    return rcFilter->RemoveFilter(aFilterID, rcFilter);
  }
  if (!rcFilter) return 0;
  // One request for all server filters instead of one per engine.
  rcFilter->Disconnect();
  const bool remote = rcFilter->IsEvalRemote();
  std::unique_ptr<TnxBaseFilterEngine> old = std::move(rcFilter);
  old.reset();
  if (remote) ProcessFilterAction(faRemove, 0);
  return 0;
}

void TnxRemoteCursor::rcCopyLocalFilters(TnxRemoteCursor& aTarget) const {
  if (!rcFilter) return;
  auto copy = [&](const TnxBaseFilterEngine& aEngine) {
    if (aEngine.IsEvalLocal()) AddToFilterVar(aTarget.rcFilter, aEngine.Duplicate(&aTarget));
  };
  if (const auto* hub = dynamic_cast<const TnxFilterEngineHub*>(rcFilter.get())) {
    for (int32_t i = 0; i < hub->FilterCount(); ++i) copy(hub->Filters(i));
  } else {
    copy(*rcFilter);
  }
}

bool TnxRemoteCursor::HasActiveLocalFilter() { return rcFilter && rcFilter->GetActive() && rcFilter->IsEvalLocal(); }

bool TnxRemoteCursor::FilterMatchesBuffer(PnxRecordBuffer aData) {
  if (!rcFilter || !rcFilter->GetActive() || !rcFilter->IsEvalLocal()) return true;
  return rcFilter->MatchesBuffer(aData);
}

uint32_t TnxRemoteCursor::FilterSetTimeout(uint32_t aTimeout) {
  if (aTimeout == rcFilterTimeout) return 0;
  uint8_t payload[8];
  platform::StoreU32(payload, rcCursorID);
  platform::StoreU32(payload + 4, aTimeout);
  void* block = nullptr;
  int32_t len = 0;
  const uint32_t result = rcSession.ProcessRequestDirect(rcRemoteThreadPriority, nxnmCursorFilterTimeout, Timeout(),
                                                         payload, 8, &block, &len, nmdByteArray);
  const TnxRecordBufferPtr reply(static_cast<uint8_t*>(block));
  if (result == 0) rcFilterTimeout = aTimeout;
  return result;
}

// ---- key filters: evaluated by the server only ----

uint32_t TnxRemoteCursor::KeyFilterAddCustom(TnxBaseFilterDescriptor* aFilter, TnxKeyFilterID& aFilterID) {
  if (!aFilter) return nxeInvalidParameter;
  std::unique_ptr<TnxBaseFilterEngine> engine;
  try {
    TnxMemoryStream payload(-1);
    uint32_t serverID = 0;
    if (DescriptorPayload(rcCursorID, *aFilter, rcSession.ServerVersion(), payload) == 0 &&
        rcCountRequest(nxnmCursorKeyFilterAdd, static_cast<const uint8_t*>(payload.Memory()),
                       static_cast<int32_t>(payload.GetSize()), serverID) == 0)
      engine = std::make_unique<TnxRemoteKeyFilterEngine>(*this, serverID);
  } catch (const std::exception&) {
    engine.reset();
  }
  if (!engine)
    return EnxBaseException::nxSetMessage(
        nxeCapabilityNotSupported,
        platform::Format(u"%s was not supported as a KeyFilter by the server", {aFilter->ClassName()}));
  aFilterID = engine->FilterID();
  AddToFilterVar(rcKeyFilter, std::move(engine));
  return 0;
}

uint32_t TnxRemoteCursor::ProcessKeyFilterAction(TnxFilterAction aAction, uint32_t aServerKeyFilterID) {
  if (aAction > faRemove) return nxeInvalidParameter;
  uint8_t payload[8];
  platform::StoreU32(payload, rcCursorID);
  platform::StoreU32(payload + 4, aServerKeyFilterID);
  const uint32_t result = rcRequest(nxnmCursorKeyFilterActivate + aAction, payload, 8, nullptr, false);
  return aAction == faRemove ? 0 : result;
}

uint32_t TnxRemoteCursor::rcKeyFilterSwitch(bool aActivate, TnxKeyFilterID aFilterID) {
  if (!rcKeyFilter) return nxeInvalidFilterHandle;
  uint32_t result = aActivate ? rcKeyFilter->ActivateFilter(aFilterID) : rcKeyFilter->DeactivateFilter(aFilterID);
  if (result == 0 && aFilterID == 0 && rcKeyFilter->IsEvalRemote())
    result = ProcessKeyFilterAction(aActivate ? faActivate : faDeactivate, 0);
  rcBookmarkCacheValid = false;
  return result;
}

uint32_t TnxRemoteCursor::KeyFilterActivate(TnxKeyFilterID aFilterID) { return rcKeyFilterSwitch(true, aFilterID); }

uint32_t TnxRemoteCursor::KeyFilterDeactivate(TnxKeyFilterID aFilterID) {
  return rcKeyFilterSwitch(false, aFilterID);
}

uint32_t TnxRemoteCursor::KeyFilterRemove(TnxKeyFilterID aFilterID) {
  rcBookmarkCacheValid = false;
  if (aFilterID != 0) {
    if (!rcKeyFilter) return nxeInvalidFilterHandle;
    return rcKeyFilter->RemoveFilter(aFilterID, rcKeyFilter);
  }
  if (!rcKeyFilter) return 0;
  rcKeyFilter->Disconnect();
  const bool remote = rcKeyFilter->IsEvalRemote();
  rcKeyFilter.reset();
  if (remote) ProcessKeyFilterAction(faRemove, 0);
  return 0;
}

// ---- positioning to a filter ----

uint32_t TnxRemoteCursor::rcSetToFilterArgs(std::u16string_view aOperation, TnxBaseFilterDescriptor* aFilter,
                                            TnxBaseFilterDescriptor* aKeyFilter) {
  if (aFilter && !aKeyFilter) return 0;
  return EnxBaseException::nxSetMessage(
      nxeCapabilityNotSupported,
      platform::Format(u"%s.%s requires aFilter and does not support aKeyFilter", {ClassName(), aOperation}));
}

uint32_t TnxRemoteCursor::SetToFilter(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter,
                                      bool aForward) {
  uint32_t result = rcSetToFilterArgs(u"SetToFilter", aFilter, aKeyFilter);
  if (result == 0 && HasActiveLocalFilter()) result = rcLocalFilterRefuses(u"SetToFilter");
  if (result == 0) {
    try {
      TnxMemoryStream payload(-1);
      result = DescriptorPayload(rcCursorID, *aFilter, rcSession.ServerVersion(), payload);
      if (result == 0) {
        const uint8_t forward = aForward ? 1 : 0;
        payload.Write(&forward, 1);
        rcBookmarkCacheValid = false;
        result = rcRequest(nxnmCursorSetToFilter, payload.Memory(), static_cast<int32_t>(payload.GetSize()), nullptr,
                           true);
      }
    } catch (const std::exception& e) {
      result = asoConvertException(e);
    }
  }
  if (result == nxeCapabilityNotSupported || result == nxeIncompatibleStream)
    return SetToFilterLocal(aFilter, aKeyFilter, aForward);
  return result;
}

uint32_t TnxRemoteCursor::SetToFilterLocal(TnxBaseFilterDescriptor* aFilter, TnxBaseFilterDescriptor* aKeyFilter,
                                           bool aForward) {
  if (uint32_t result = rcSetToFilterArgs(u"SetToFilterLocal", aFilter, aKeyFilter)) return result;
  TnxFilterID id = 0;
  if (uint32_t result = FilterAddCustom(aFilter, id, true)) return result;
  struct TRemove {
    TnxRemoteCursor* cursor;
    TnxFilterID id;
    ~TRemove() { cursor->FilterRemove(id); }
  } remove{this, id};
  uint32_t result = 0;
  if (aForward) {
    result = SetToBegin();
    if (result == 0) result = RecordGetNext(nxltNoLock, nullptr);
    if (result == nxeAtEndOfTable) result = nxeNoCurrentRecord;
  } else {
    result = SetToEnd();
    if (result == 0) result = RecordGetPrior(nxltNoLock, nullptr);
    if (result == nxeAtBeginningOfTable) result = nxeNoCurrentRecord;
  }
  return result;
}

}  // namespace revurov
