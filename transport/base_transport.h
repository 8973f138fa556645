// The abstract transport: the one interface through which a client engine
// sends numbered requests to a server and through which a listening server
// hands received requests to its command handler, with traffic statistics,
// bandwidth throttling, transport logging and the server-name scan.
//
// Contract:
// - Request, Post and every reply callback run on the caller's thread; one
//   transport serves many threads at once. Transport failures reach a
//   requester through its reply callback, never as exceptions out of
//   Request.
// - The traffic counters take no lock (TnxTrafficCounters); the throttling
//   state, MaxBytesPerSecond and PingTime are guarded by the statistics
//   lock; MsgCount changes atomically. Everything else is
//   configuration, set while the transport is inactive.
// - The current transport is per thread: the transport serving a request
//   on that thread (btSetCurrentTransport); Reply and GetSessionCallback
//   reach it.
// - All waiting (throttling, the server scan) goes through the transport
//   clock (transport/transport_clock.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "lowlevel/components/state_component.h"
#include "platform/string_list.h"
#include "transport/command_handler.h"
#include "transport/data_message_queue.h"
#include "transport/server_discovery.h"
#include "transport/session_callback.h"
#include "transport/traffic_counters.h"
#include "transport/transport_exception.h"
#include "transport/wire_header.h"

namespace revurov {

class TnxBaseConnection;

enum TnxTransportMode : uint8_t { nxtmSend = 0, nxtmListen = 1 };
// "nxtmSend", "nxtmListen".
std::u16string_view nxTransportModeName(TnxTransportMode aMode) noexcept;

enum TnxTransportLogOption : uint8_t {
  nxtpLogErrors = 1u << 0,
  nxtpLogRequests = 1u << 1,
  nxtpLogReplies = 1u << 2,
  nxtpLogApiTrace = 1u << 3,
};
using TnxTransportLogOptions = uint8_t;

inline constexpr TnxThreadPriority nxMinThreadPriority = -15;
inline constexpr TnxThreadPriority nxMaxThreadPriority = 15;
inline constexpr uint32_t nxDefaultTransportTimeout = 3000;
// The longest wait of a server-name scan.
inline constexpr uint32_t nxMaxServerNamesTimeout = 10000;
// Request number of remoting calls, which go to the channel hook.
inline constexpr TnxMsgID nxChannelRequestMsgID = 0x1201;

class TnxBaseTransport;

using TnxAddSessionEvent = std::function<uint32_t(
    TnxBaseTransport* aSender, const std::u16string& aUserName, const std::u16string& aPassword,
    int32_t aTimeOut, int32_t aClientVersion, TnxSessionID& aSessionID, int32_t& aServerVersion)>;
using TnxRemoveSessionEvent = std::function<uint32_t(TnxBaseTransport* aSender, TnxSessionID aSessionID)>;
using TnxConnectionLostEvent = std::function<void(TnxBaseTransport* aSender, TnxSessionID aSessionID)>;
// aResult true: aServerName is the choice.
using TnxChooseServerEvent =
    std::function<void(TnxBaseTransport* aSender, const platform::TStringList& aServerNames,
                       std::u16string& aServerName, bool& aResult)>;
using TnxFindServersEvent = std::function<void(TnxBaseTransport* aSender, bool aStarting)>;

// The process-wide receiver of remoting calls (request 0x1201); empty until
// the remoting layer installs its handler at start-up. Set while no
// transport receives.
using TnxChannelRequestHook = void (*)(const TnxDataMessage& aMessage);
void nxSetChannelRequestHook(TnxChannelRequestHook aHook) noexcept;
TnxChannelRequestHook nxChannelRequestHook() noexcept;

// What a listening transport without a name asks of a linked server engine
// (class "TnxServerEngine") for its "ServerName".
class InxServerEngineName {
public:
  virtual std::u16string ServerEngineName() const = 0;

protected:
  ~InxServerEngineName() = default;
};

class TnxBaseTransport : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TnxBaseTransport, TnxStateComponent)
  explicit TnxBaseTransport(platform::TComponent* aOwner);
  ~TnxBaseTransport() override;

  const TnxComponentExceptionClass& GetExceptionClass() const override;
  // The command handler going away deactivates the transport and is forgotten.
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override;
  bool IsDependentOn(TnxStateComponent* aOther) const override;
  bool StatsIncludeUptime() const override { return true; }
  bool StatsIncludeLastStartError() const override { return true; }
  void ClearStats() override;

  // "RespondToBroadCasts" (Boolean, default "false"); stored under the key
  // "RespondToBroadcasts".
  void GetConfigSettings(TnxBaseSettings& aSettings) override;
  void LoadConfig(TnxBaseComponentConfiguration& aConfig) override;
  void SaveConfig(TnxBaseComponentConfiguration& aConfig) override;
  // Version 1, then RespondToBroadcasts; another version raises 15498.
  void LoadSettingsFromStream(TnxReader& aReader) override;
  void SaveSettingsToStream(TnxWriter& aWriter) override;

  // ---- properties ----
  TnxTransportMode Mode() const noexcept { return btMode; }
  // Needs the transport inactive; the state then follows Supported.
  virtual void SetMode(TnxTransportMode aValue);
  uint32_t Timeout() const noexcept { return btTimeout; }
  void SetTimeout(uint32_t aValue) noexcept { btTimeout = aValue; }
  bool RespondToBroadcasts() const noexcept { return btRespondToBroadcasts; }
  virtual void SetRespondToBroadcasts(bool aValue);
  TnxBaseCommandHandler* CommandHandler() const noexcept { return btCommandHandler; }
  // Links the transport with the handler, on which it depends.
  virtual void SetCommandHandler(TnxBaseCommandHandler* aValue);
  TnxTransportLogOptions EventLogOptions() const noexcept { return btEventLogOptions; }
  void SetEventLogOptions(TnxTransportLogOptions aValue) noexcept { btEventLogOptions = aValue; }
  const std::u16string& ServerNameRuntime() const noexcept { return btServerNameRuntime; }
  const std::u16string& ServerNameDesigntime() const noexcept { return btServerNameDesigntime; }
  // Each passes btNormalizeServerName; changing the name of the mode the
  // component is in (design or run time) needs it inactive.
  void SetServerNameRuntime(const std::u16string& aValue);
  void SetServerNameDesigntime(const std::u16string& aValue);
  // The name of the current mode; in listen mode an empty one is asked of
  // the command handler.
  std::u16string ServerName() const;
  void SetServerName(const std::u16string& aValue);
  uint32_t MaxBytesPerSecond() const noexcept { return btMaxBytesPerSecond.load(std::memory_order_relaxed); }
  void SetMaxBytesPerSecond(uint32_t aValue);
  uint32_t PingTime() const noexcept { return btPingTime.load(std::memory_order_relaxed); }
  void SetPingTime(uint32_t aValue);
  TnxThreadPriority ThreadPriorityMin() const noexcept { return btThreadPriorityMin; }
  void SetThreadPriorityMin(TnxThreadPriority aValue) noexcept { btThreadPriorityMin = aValue; }
  TnxThreadPriority ThreadPriorityMax() const noexcept { return btThreadPriorityMax; }
  void SetThreadPriorityMax(TnxThreadPriority aValue) noexcept { btThreadPriorityMax = aValue; }
  bool KeepStats() const noexcept { return btKeepStats.load(std::memory_order_relaxed); }
  void SetKeepStats(bool aValue) noexcept { btKeepStats.store(aValue, std::memory_order_relaxed); }

  TnxAddSessionEvent OnAddSession;
  TnxRemoveSessionEvent OnRemoveSession;
  // No transport of this library fires it.
  TnxConnectionLostEvent OnConnectionLost;
  TnxChooseServerEvent OnChooseServer;
  TnxFindServersEvent OnFindServers;

  // Requests received since the last ResetMsgCount.
  int32_t MsgCount() const noexcept { return btMsgCount.load(std::memory_order_relaxed); }
  int64_t ActualBytesSent() const { return btCounters.Total(tcActualBytesSent); }
  int64_t ActualBytesReceived() const { return btCounters.Total(tcActualBytesReceived); }
  int64_t MessagesSent() const { return btCounters.Total(tcMessagesSent); }
  int64_t MessagesReceived() const { return btCounters.Total(tcMessagesReceived); }
  int64_t UncompressedBytesSent() const { return btCounters.Total(tcUncompressedBytesSent); }
  int64_t UncompressedBytesReceived() const { return btCounters.Total(tcUncompressedBytesReceived); }
  int64_t CompressTime() const { return btCounters.Total(tcCompressTime); }
  int64_t UncompressTime() const { return btCounters.Total(tcUncompressTime); }
  // The command handler's; the null GUID without one.
  platform::TGUID ServerGUID() const;

  // ---- class-level ----
  // The calling thread's current transport; null when none.
  static TnxBaseTransport* CurrentTransport() noexcept;
  // The reply to the request the calling thread is serving, through its
  // current transport; raises EnxTransportException without one.
  static void Reply(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData,
                    int32_t aReplyDataLen);
  // The session callback of the request the calling thread is serving; null
  // without a current transport or callback.
  static platform::TInterfacePtr<InxSessionCallback> GetSessionCallback();

  // ---- operations ----
  virtual std::u16string btNormalizeServerName(const std::u16string& aName) { return aName; }
  // Raises "A server name must be specified for the transport" without one.
  virtual void btCheckServerName();
  // Here only checks that the transport is started.
  virtual void btSendReply(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData,
                           int32_t aReplyDataLen);
  virtual platform::TInterfacePtr<InxSessionCallback> btGetSessionCallback() { return nullptr; }
  virtual void btSetCurrentTransport();
  // OnAddSession, else the command handler; else raises 12289.
  virtual uint32_t btAddSession(const std::u16string& aUserName, const std::u16string& aPassword,
                                const std::u16string& aRemoteAddress, int32_t aTimeOut,
                                int32_t aClientVersion, TnxSessionID& aSessionID,
                                int32_t& aServerVersion);
  virtual uint32_t btRemoveSession(TnxSessionID aSessionID);
  virtual void btSessionFailed(TnxSessionID aSessionID);
  // Makes this the current transport, counts the request and hands it to
  // the channel hook (remoting calls) or the command handler; without a
  // receiver it is dropped.
  virtual void btProcessMessage(const TnxDataMessage& aMessage);
  virtual std::u16string_view btLogCategory() const { return u"transport"; }
  // Statistics, send throttling and logging of an outgoing message.
  virtual void Write(TnxBaseConnection* aConnection, TnxTransportID aTransportID,
                     TnxSessionID aSessionID, TnxThreadPriority aThreadPriority, TnxMsgID aMsgID,
                     uint8_t aMsgType, uint32_t aErrorCode, uint8_t aCompressType,
                     uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize);
  virtual std::u16string GetName() const = 0;
  // Names of reachable servers, sorted and without duplicates; waits at
  // most nxMaxServerNamesTimeout ms. Cleared when the transport is not
  // supported.
  virtual void GetServerNames(platform::TStringList& aList, uint32_t aTimeOut);
  virtual platform::TInterfacePtr<InxActiveBroadcast> BeginBroadcast(InxBroadcastReplyHandler* aHandler,
                                                           int32_t aInterval) = 0;
  virtual bool IsConnected() = 0;
  virtual int32_t ConnectionCount() = 0;
  virtual uint32_t EstablishConnection(TnxTransportID aTransportID, const std::u16string& aUserName,
                                       const std::u16string& aPassword, int32_t aTimeout,
                                       int32_t aClientVersion, int32_t& aServerVersion,
                                       TnxSessionID& aSessionID) = 0;
  virtual void Request(TnxTransportID aTransportID, TnxSessionID aSessionID,
                       TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                       const void* aRequestData, int32_t aRequestDataLen,
                       TnxReplyCallback aReplyCallback, void* aReplyCookie) = 0;
  virtual void Post(TnxTransportID aTransportID, TnxSessionID aSessionID,
                    TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, const void* aRequestData,
                    int32_t aRequestDataLen, uint32_t aTimeout) = 0;
  virtual void Broadcast(TnxMsgID aMsgID, TnxThreadPriority aThreadPriority,
                         const void* aRequestData, int32_t aRequestDataLen, uint32_t aTimeOut) = 0;
  virtual void TerminateConnection(TnxTransportID aTransportID, TnxSessionID aSessionID,
                                   uint32_t aTimeout) = 0;
  virtual void ResetMsgCount() noexcept { btMsgCount.store(0); }
  // The wait of send throttling; returns false at once, so sending is
  // never slowed.
  virtual bool Sleep(uint32_t aTimeOut);
  virtual void GetBoundAddresses(platform::TStringList& aList);
  virtual std::u16string ProtocolName() const { return {}; }

protected:
  void Loaded() override;
  // Completes the server name (a linked server engine's in listen mode, the
  // server choice in send mode); raises 12289 when unsupported, 15505
  // (listen) or 11278 (send) when no name is found.
  void DoInitialize() override;

  // Calls aReplyCallback with a reply, counting, logging and throttling
  // its receipt. aReplyCompressedSize: the length it arrived in when
  // compressed, else 0.
  void btDoCallBack(TnxReplyCallback aReplyCallback, TnxMsgID aMsgID, uint32_t aErrorCode,
                    const void* aReplyData, int32_t aReplyDataLen, void* aReplyCookie,
                    int32_t aReplyCompressedSize);
  // Adds to the counters; an uncompressed count of 0 takes the actual one.
  void btUpdateStats(int64_t aMessagesSent, int64_t aMessagesReceived, int64_t aActualSent,
                     int64_t aActualReceived, int64_t aUncompressedSent,
                     int64_t aUncompressedReceived, int64_t aCompressTime,
                     int64_t aUncompressTime);
  // Whether aOption's messages are logged now.
  bool btLogging(TnxTransportLogOption aOption) const;

private:
  enum class TDirection : uint8_t { dSend, dReceive };
  // The wait in ms that throttling asks for a message of aBytes.
  uint64_t btThrottleWait(TDirection aDirection, uint64_t aBytes);
  // Send mode: the server picked from a scan; empty when none answered.
  std::u16string btChooseServer();
  void btStoreServerName(const std::u16string& aName);
  void btLogWrite(TnxTransportID aTransportID, TnxSessionID aSessionID,
                  TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint8_t aMsgType,
                  uint32_t aErrorCode, uint8_t aCompressType, uint32_t aUncompressedSize,
                  uint32_t aBufferSize);
  void btLogCallBack(TnxMsgID aMsgID, uint32_t aErrorCode, int32_t aReplyDataLen,
                     int32_t aReplyCompressedSize);

  TnxTransportMode btMode = nxtmSend;
  uint32_t btTimeout = nxDefaultTransportTimeout;
  bool btRespondToBroadcasts = false;
  TnxBaseCommandHandler* btCommandHandler = nullptr;  // linked, not owned
  TnxTransportLogOptions btEventLogOptions = 0;
  std::u16string btServerNameRuntime;
  std::u16string btServerNameDesigntime;
  TnxThreadPriority btThreadPriorityMin = nxMinThreadPriority;
  TnxThreadPriority btThreadPriorityMax = nxMaxThreadPriority;
  std::atomic<bool> btKeepStats{true};
  std::atomic<int32_t> btMsgCount{0};

  // The counters take no lock: a padlock held twice per request and reply
  // made the bookkeeping cost twice that of the counters under a plain
  // mutex (bench/transport_stats).
  TnxTrafficCounters btCounters;
  // Guards the throttling state and the writes of the two limits. A leaf
  // lock, never re-entered.
  std::mutex btStatsPadLock;
  // Read without the lock only to skip throttling.
  std::atomic<uint32_t> btMaxBytesPerSecond{0};
  std::atomic<uint32_t> btPingTime{0};
  uint64_t btSentThisSecond = 0;
  uint64_t btLastSent = 0;
  uint64_t btReceivedThisSecond = 0;
  uint64_t btLastReceived = 0;
};

class TnxBaseDirectTransport : public TnxBaseTransport {
  REVUROV_COMPONENT_CLASS(TnxBaseDirectTransport, TnxBaseTransport)
  using TnxBaseTransport::TnxBaseTransport;
};

}  // namespace revurov
