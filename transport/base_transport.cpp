#include "transport/base_transport.h"

#include <memory>
#include <vector>

#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/tagged_stream.h"
#include "lowlevel/sync/platform_interface.h"
#include "platform/format.h"
#include "transport/transport_clock.h"

namespace revurov {

namespace {

thread_local TnxBaseTransport* tCurrentTransport = nullptr;

std::atomic<TnxChannelRequestHook> gChannelRequestHook{nullptr};

// The time bias a log entry gets when the writer takes its own.
constexpr int32_t kLogOwnTimeBias = 0x0FFFFFFF;

constexpr TnxStateComponent* kNoComponent = nullptr;

}  // namespace

std::u16string_view nxTransportModeName(TnxTransportMode aMode) noexcept {
  return aMode == nxtmListen ? u"nxtmListen" : u"nxtmSend";
}

void nxSetChannelRequestHook(TnxChannelRequestHook aHook) noexcept { gChannelRequestHook.store(aHook); }

TnxChannelRequestHook nxChannelRequestHook() noexcept { return gChannelRequestHook.load(); }

TnxBaseTransport::TnxBaseTransport(platform::TComponent* aOwner) : TnxStateComponent(aOwner) {
  SetDisplayCategory(u"Transports");
}

TnxBaseTransport::~TnxBaseTransport() {
  // A thread variable must not keep a freed transport; other threads' are
  // cleared by whoever serves requests there.
  if (tCurrentTransport == this) tCurrentTransport = nullptr;
}

const TnxComponentExceptionClass& TnxBaseTransport::GetExceptionClass() const {
  return nxComponentExceptionClass<EnxTransportException>();
}

void TnxBaseTransport::DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) {
  if (aOp == nxn_Destroying && aSender && aSender == btCommandHandler) {
    SetActive(false);
    btCommandHandler = nullptr;
  }
  TnxStateComponent::DependentNotify(aSender, aOp, aData);
}

bool TnxBaseTransport::IsDependentOn(TnxStateComponent* aOther) const {
  return (aOther && aOther == btCommandHandler) || TnxStateComponent::IsDependentOn(aOther);
}

void TnxBaseTransport::Loaded() {
  if (State() < nxsStopped) ResetSupportState();
  TnxStateComponent::Loaded();
}

// ---- properties ----

void TnxBaseTransport::SetMode(TnxTransportMode aValue) {
  if (aValue == btMode) return;
  CheckInactive();
  btMode = aValue;
  if (!IsLoading()) ResetSupportState();
}

void TnxBaseTransport::SetRespondToBroadcasts(bool aValue) {
  if (aValue == btRespondToBroadcasts) return;
  CheckInactive();
  btRespondToBroadcasts = aValue;
}

void TnxBaseTransport::SetCommandHandler(TnxBaseCommandHandler* aValue) {
  if (aValue == btCommandHandler) return;
  CheckInactive();
  if (btCommandHandler) UnlinkDependent(this, btCommandHandler);
  btCommandHandler = aValue;
  if (btCommandHandler) LinkDependent(this, btCommandHandler);
}

void TnxBaseTransport::SetServerNameRuntime(const std::u16string& aValue) {
  const std::u16string name = btNormalizeServerName(aValue);
  if (name == btServerNameRuntime) return;
  if (!IsDesigning()) CheckInactive();
  btServerNameRuntime = name;
}

void TnxBaseTransport::SetServerNameDesigntime(const std::u16string& aValue) {
  const std::u16string name = btNormalizeServerName(aValue);
  if (name == btServerNameDesigntime) return;
  if (IsDesigning()) CheckInactive();
  btServerNameDesigntime = name;
}

std::u16string TnxBaseTransport::ServerName() const {
  std::u16string name = IsDesigning() ? btServerNameDesigntime : btServerNameRuntime;
  if (name.empty() && btMode == nxtmListen && btCommandHandler)
    name = btCommandHandler->bchGetServerName();
  return name;
}

void TnxBaseTransport::SetServerName(const std::u16string& aValue) {
  if (IsDesigning())
    SetServerNameDesigntime(aValue);
  else
    SetServerNameRuntime(aValue);
}

void TnxBaseTransport::btStoreServerName(const std::u16string& aName) {
  // During initialisation the transport is still inactive: no check needed.
  (IsDesigning() ? btServerNameDesigntime : btServerNameRuntime) = btNormalizeServerName(aName);
}

void TnxBaseTransport::SetMaxBytesPerSecond(uint32_t aValue) {
  std::lock_guard<std::mutex> guard(btStatsPadLock);
  btMaxBytesPerSecond.store(aValue, std::memory_order_relaxed);
}

void TnxBaseTransport::SetPingTime(uint32_t aValue) {
  std::lock_guard<std::mutex> guard(btStatsPadLock);
  btPingTime.store(aValue, std::memory_order_relaxed);
}

platform::TGUID TnxBaseTransport::ServerGUID() const {
  // The dependents list's lock keeps the handler from being unlinked (and
  // freed) while it is asked.
  DependentsGuard guard(Dependents());
  return btCommandHandler ? btCommandHandler->GetServerGUID() : platform::TGUID{};
}

void TnxBaseTransport::ClearStats() {
  btCounters.Clear();
}

// ---- settings ----

void TnxBaseTransport::GetConfigSettings(TnxBaseSettings& aSettings) {
  TnxStateComponent::GetConfigSettings(aSettings);
  aSettings.AddSetting(std::make_unique<TnxBaseSetting>(u"RespondToBroadCasts", nxstBoolean,
                                                     platform::TnxVariant::FromString(u"false"),
                                                     u"RespondToBroadCasts"));
}

void TnxBaseTransport::LoadConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxStateComponent::LoadConfig(aConfig);
  const platform::TnxVariant value =
      aConfig.GetValue(u"RespondToBroadcasts", platform::TnxVariant::FromBoolean(btRespondToBroadcasts));
  if (!value.IsEmpty()) SetRespondToBroadcasts(value.AsBoolean());
}

void TnxBaseTransport::SaveConfig(TnxBaseComponentConfiguration& aConfig) {
  TnxStateComponent::SaveConfig(aConfig);
  aConfig.SetValue(u"RespondToBroadcasts", platform::TnxVariant::FromBoolean(btRespondToBroadcasts));
}

void TnxBaseTransport::SaveSettingsToStream(TnxWriter& aWriter) {
  TnxStateComponent::SaveSettingsToStream(aWriter);
  aWriter.WriteInteger(int32_t{1});
  aWriter.WriteBoolean(btRespondToBroadcasts);
}

void TnxBaseTransport::LoadSettingsFromStream(TnxReader& aReader) {
  TnxStateComponent::LoadSettingsFromStream(aReader);
  if (aReader.ReadInteger() != 1) RaiseError(nxeIncompatibleStream);
  SetRespondToBroadcasts(aReader.ReadBoolean());
}

// ---- class-level ----

TnxBaseTransport* TnxBaseTransport::CurrentTransport() noexcept { return tCurrentTransport; }

void TnxBaseTransport::Reply(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData,
                             int32_t aReplyDataLen) {
  TnxBaseTransport* transport = tCurrentTransport;
  if (!transport)
    throw EnxTransportException(kNoComponent,
                                u"No transport is serving a request on this thread");
  transport->btSendReply(aMsgID, aErrorCode, aReplyData, aReplyDataLen);
}

platform::TInterfacePtr<InxSessionCallback> TnxBaseTransport::GetSessionCallback() {
  TnxBaseTransport* transport = tCurrentTransport;
  return transport ? transport->btGetSessionCallback() : nullptr;
}

// ---- operations ----

void TnxBaseTransport::btCheckServerName() {
  if (ServerName().empty()) RaiseError(u"A server name must be specified for the transport");
}

void TnxBaseTransport::btSendReply(TnxMsgID, uint32_t, const void*, int32_t) { CheckStarted(); }

void TnxBaseTransport::btSetCurrentTransport() { tCurrentTransport = this; }

uint32_t TnxBaseTransport::btAddSession(const std::u16string& aUserName,
                                        const std::u16string& aPassword,
                                        const std::u16string& aRemoteAddress, int32_t aTimeOut,
                                        int32_t aClientVersion, TnxSessionID& aSessionID,
                                        int32_t& aServerVersion) {
  if (OnAddSession)
    return OnAddSession(this, aUserName, aPassword, aTimeOut, aClientVersion, aSessionID,
                        aServerVersion);
  if (btCommandHandler)
    return btCommandHandler->bchAddSession(this, aUserName, aPassword, aRemoteAddress, aTimeOut,
                                           aClientVersion, aSessionID, aServerVersion);
  RaiseError(nxeCapabilityNotSupported,
             u"btAddSession requires an OnAddSession handler or an attached CommandHandler");
}

uint32_t TnxBaseTransport::btRemoveSession(TnxSessionID aSessionID) {
  if (OnRemoveSession) return OnRemoveSession(this, aSessionID);
  if (btCommandHandler) return btCommandHandler->bchRemoveSession(this, aSessionID);
  RaiseError(nxeCapabilityNotSupported,
             u"btRemoveSession requires an OnRemoveSession handler or an attached CommandHandler");
}

void TnxBaseTransport::btSessionFailed(TnxSessionID aSessionID) {
  if (btCommandHandler) btCommandHandler->bchSessionFailed(this, aSessionID);
}

void TnxBaseTransport::btProcessMessage(const TnxDataMessage& aMessage) {
  btSetCurrentTransport();
  btMsgCount.fetch_add(1);
  const TnxChannelRequestHook hook = nxChannelRequestHook();
  if (aMessage.dmMsg == nxChannelRequestMsgID && hook)
    hook(aMessage);
  else if (btCommandHandler)
    btCommandHandler->bchHandleMessage(aMessage);
}

bool TnxBaseTransport::Sleep(uint32_t) { return false; }

void TnxBaseTransport::GetBoundAddresses(platform::TStringList&) {}

// ---- statistics, throttling, logging ----

void TnxBaseTransport::btUpdateStats(int64_t aMessagesSent, int64_t aMessagesReceived,
                                     int64_t aActualSent, int64_t aActualReceived,
                                     int64_t aUncompressedSent, int64_t aUncompressedReceived,
                                     int64_t aCompressTime, int64_t aUncompressTime) {
  if (aUncompressedSent == 0) aUncompressedSent = aActualSent;
  if (aUncompressedReceived == 0) aUncompressedReceived = aActualReceived;
  TnxTrafficTotals delta{};
  delta[tcActualBytesSent] = aActualSent;
  delta[tcActualBytesReceived] = aActualReceived;
  delta[tcMessagesSent] = aMessagesSent;
  delta[tcMessagesReceived] = aMessagesReceived;
  delta[tcUncompressedBytesSent] = aUncompressedSent;
  delta[tcUncompressedBytesReceived] = aUncompressedReceived;
  delta[tcCompressTime] = aCompressTime;
  delta[tcUncompressTime] = aUncompressTime;
  btCounters.Add(delta);
}

uint64_t TnxBaseTransport::btThrottleWait(TDirection aDirection, uint64_t aBytes) {
  uint64_t& thisSecond = aDirection == TDirection::dSend ? btSentThisSecond : btReceivedThisSecond;
  uint64_t& last = aDirection == TDirection::dSend ? btLastSent : btLastReceived;
  std::lock_guard<std::mutex> guard(btStatsPadLock);
  const uint64_t limit = btMaxBytesPerSecond.load(std::memory_order_relaxed);
  if (limit == 0) return 0;
  const uint64_t now = nxTransportTickCount();
  uint64_t wait = 0;
  if (last / 1000 == now / 1000) {
    thisSecond += aBytes;
    // Once the second's budget is spent, wait for the end of the second.
    // The original waited (now mod 1000): nearly a whole extra second when
    // the budget ran out late in a second, nearly nothing when early.
    if (thisSecond > limit) wait = 1000 - now % 1000;
    const uint64_t seconds = thisSecond / limit;
    if (seconds > 1) wait += seconds * 1000 - 1000;
  } else {
    thisSecond = 0;
  }
  const uint64_t halfPing = btPingTime.load(std::memory_order_relaxed) / 2;
  if (wait < halfPing) wait = halfPing;
  last = now;
  return wait;
}

bool TnxBaseTransport::btLogging(TnxTransportLogOption aOption) const {
  return (btEventLogOptions & aOption) && GetEventLogEnabled() && EventLog();
}

void TnxBaseTransport::Write(TnxBaseConnection*, TnxTransportID aTransportID,
                             TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
                             TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode,
                             uint8_t aCompressType, uint32_t aUncompressedSize,
                             const void*, uint32_t aBufferSize) {
  if (KeepStats()) btUpdateStats(1, 0, aBufferSize, 0, aUncompressedSize, 0, 0, 0);
  if (btLogging(btMode == nxtmSend ? nxtpLogRequests : nxtpLogReplies))
    btLogWrite(aTransportID, aSessionID, aThreadPriority, aMsgID, aMsgType, aErrorCode,
               aCompressType, aUncompressedSize, aBufferSize);
  if (MaxBytesPerSecond() != 0) {
    const uint64_t wait = btThrottleWait(TDirection::dSend, aBufferSize);
    if (wait) Sleep(static_cast<uint32_t>(wait));
  }
}

void TnxBaseTransport::btDoCallBack(TnxReplyCallback aReplyCallback, TnxMsgID aMsgID,
                                    uint32_t aErrorCode, const void* aReplyData,
                                    int32_t aReplyDataLen, void* aReplyCookie,
                                    int32_t aReplyCompressedSize) {
  if (KeepStats()) {
    const int64_t actual = (aReplyCompressedSize != 0 ? aReplyCompressedSize : aReplyDataLen) +
                           int64_t{nxHeaderSize};
    btUpdateStats(0, 1, 0, actual, 0, int64_t{aReplyDataLen} + nxHeaderSize, 0, 0);
  }
  if (btLogging(btMode == nxtmSend ? nxtpLogReplies : nxtpLogRequests))
    btLogCallBack(aMsgID, aErrorCode, aReplyDataLen, aReplyCompressedSize);
  aReplyCallback(aMsgID, aErrorCode, aReplyData, aReplyDataLen, aReplyCookie);
  if (MaxBytesPerSecond() != 0) {
    const uint64_t wait =
        btThrottleWait(TDirection::dReceive, aReplyDataLen > 0 ? uint64_t(aReplyDataLen) : 0);
    if (wait) nxTransportSleep(static_cast<uint32_t>(wait));
  }
}

void TnxBaseTransport::btLogWrite(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                  TnxThreadPriority aThreadPriority, TnxMsgID aMsgID,
                                  uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
                                  uint32_t aUncompressedSize, uint32_t aBufferSize) {
  using platform::Format;
  const TnxLogLines lines = {
      Format(btMode == nxtmSend ? u"SendRequest [%s: %s]" : u"SendReply [%s: %s]",
             {Name(), nxTransportModeName(btMode)}),
      Format(u"  aTransportID:       [%x]", {aTransportID}),
      Format(u"  aSessionID:         [%x]", {aSessionID}),
      Format(u"  aThreadPriority:    [%d]", {int32_t{aThreadPriority}}),
      Format(u"  aMsgID:             [%d/%x]", {aMsgID, aMsgID}),
      Format(u"  aMsgType:           [%d]", {uint32_t{aMsgType}}),
      Format(u"  aErrorCode:         [%d/%x]", {aErrorCode, aErrorCode}),
      Format(u"  aCompressType:      [%d]", {uint32_t{aCompressType}}),
      Format(u"  aUncompressedSize:  [%d]", {aUncompressedSize}),
      Format(u"  aBufferSize:        [%d]", {aBufferSize}),
  };
  lcLogs(lines, 0, lpDebug, btLogCategory(), 0, kLogOwnTimeBias);
}

void TnxBaseTransport::btLogCallBack(TnxMsgID aMsgID, uint32_t aErrorCode, int32_t aReplyDataLen,
                                     int32_t aReplyCompressedSize) {
  using platform::Format;
  const TnxLogLines lines = {
      Format(btMode == nxtmSend ? u"RecieveReply [%s: %s]" : u"RecieveRequest [%s: %s]",
             {Name(), nxTransportModeName(btMode)}),
      Format(u"  aMsgID:               [%d/%x]", {aMsgID, aMsgID}),
      Format(u"  aErrorCode:           [%d/%x]", {aErrorCode, aErrorCode}),
      Format(u"  aReplyDataLen:        [%d]", {aReplyDataLen}),
      Format(u"  aReplyCompressedSize: [%d]", {aReplyCompressedSize}),
  };
  lcLogs(lines, 0, lpDebug, btLogCategory(), 0, kLogOwnTimeBias);
}

// ---- server names ----

void TnxBaseTransport::GetServerNames(platform::TStringList& aList, uint32_t aTimeOut) {
  if (!Supported()) {
    aList.Clear();
    return;
  }
  if (aTimeOut > nxMaxServerNamesTimeout) aTimeOut = nxMaxServerNamesTimeout;
  const platform::TInterfacePtr<TnxGetServerNamesHandler> handler(nxCreate<TnxGetServerNamesHandler>(this));
  handler->Run(aList, aTimeOut);
}

std::u16string TnxBaseTransport::btChooseServer() {
  platform::TStringList names;
  names.SetSorted(true);
  if (OnFindServers) OnFindServers(this, true);
  try {
    GetServerNames(names, btTimeout);
  } catch (...) {
    if (OnFindServers) OnFindServers(this, false);
    throw;
  }
  if (OnFindServers) OnFindServers(this, false);
  if (names.Count() == 0) return {};
  if (names.Count() == 1) return names[0];
  std::u16string chosen;
  bool result = false;
  if (OnChooseServer) {
    OnChooseServer(this, names, chosen, result);
  } else if (nxIsMainThread() && nxPlatformServerPickDialog) {
    std::vector<std::u16string> list;
    for (int i = 0; i < names.Count(); ++i) list.push_back(names[i]);
    result = nxPlatformServerPickDialog(list, chosen);
  }
  return result ? chosen : names[0];
}

void TnxBaseTransport::DoInitialize() {
  TnxStateComponent::DoInitialize();
  if (!Supported()) RaiseError(nxeCapabilityNotSupported);
  if (ServerName().empty()) {
    if (btMode == nxtmListen) {
      DependentsGuard guard(Dependents());
      TnxWriteableList& linked = guard.Entered();
      for (int32_t i = 0; i < linked.Count(); ++i) {
        auto* component = static_cast<TnxComponent*>(linked[i]);
        if (component->ClassName() != u"TnxServerEngine") continue;
        if (auto* engine = dynamic_cast<const InxServerEngineName*>(component))
          btStoreServerName(engine->ServerEngineName());
        break;
      }
    } else {
      std::u16string name;
      nxPlatformSynchronize([&] { name = btChooseServer(); });
      btStoreServerName(name);
    }
  }
  if (ServerName().empty()) {
    if (btMode == nxtmListen)
      RaiseError(nxeNoServerName, u"Servername of the transport is not set");
    RaiseError(nxeServerNotFound, u"Cannot locate or connect to network server.");
  }
}

}  // namespace revurov
