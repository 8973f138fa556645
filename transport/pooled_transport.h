// The pooled transport: the common engine of the concrete transports (TCP,
// named pipes, shared memory). It holds the configuration, the statistics,
// the message cipher of the log-in, the completion queue of its server
// threads and the lists of connections; a concrete transport adds only the
// medium.
//
// Contract:
// - CompressType and CompressLimit may change at any time. Every other
//   setter does nothing for an unchanged value; ConcurrentIOCPThreads and
//   CallbackThreadCount need the transport inactive or stopped, the rest
//   inactive.
// - ConcurrentIOCPThreads is kept as a setting (configuration, settings
//   stream) only: the completion queue has no concurrency gate.
// - Creating a pooled transport registers it with the deferred release of
//   connection memory; destroying it unregisters it.
// - The settings stream is version 3; versions 1 and 2 are read (1: the
//   compress limit only; 2: also port, IOCP threads and server thread
//   priority); any other raises 15498.
// - Stop ends every wait it starts: heartbeat and watchdog first, then the
//   remote transports and sessions, the server threads and the callback
//   threads (the virtual steps below). Heartbeat and watchdog are signalled
//   and then leave the transport alone; their end is not waited for.
// - Start in send mode starts CallbackThreadCount callback threads, each
//   registering a connection with the server (a refusal fails the start),
//   and a heartbeat unless HeartbeatInterval is 0, which connects at once.
//   In listen mode a watchdog runs unless WatchdogInterval is 0.
// - SetNetIdle/GetNetIdle keep the calling thread's idle handler.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/sync/padlock.h"
#include "lowlevel/sync/thread_safe_stack.h"
#include "platform/rtl_thread.h"
#include "transport/base_transport.h"
#include "transport/heap_block.h"
#include "transport/login_block.h"

namespace revurov {

namespace platform {
class CompletionQueue;
}
class TnxBaseClientConnection;
class TnxBaseServerConnection;
class TnxBaseRemoteTransport;
class TnxBaseRemoteSession;
class TnxBaseCallbackThread;
class TnxHeartbeatThread;
class TnxWatchdogThread;
class TnxIntervalThread;

// Completion keys of the server threads; any other key is the handle of a
// server connection (never below 2^18).
inline constexpr uintptr_t nxStopServerThreadKey = 1;
inline constexpr uintptr_t nxBreathKey = 2;
inline constexpr uintptr_t nxWatchdogPassKey = 3;
// The most server threads one listening transport runs unless set otherwise.
inline constexpr int32_t nxDefaultMaxServerThreads = 64;

REVUROV_COMPONENT_EXCEPTION_CLASS(EnxPooledTransportException, EnxTransportException);

inline constexpr TnxMsgID nxLoginMsgID = 1;
// Session handle and server version.
inline constexpr uint32_t nxLoginReplySize = 8;
// The result of a log-in's answer (aReply: its first aReplySize payload
// bytes): 11276 when it is no answer to the log-in, else its code; on
// success session and server version are set.
uint32_t nxLoginAnswer(const TnxBaseHeader& aAnswer, const uint8_t* aReply, uint32_t aReplySize,
                       int32_t& aServerVersion, TnxSessionID& aSessionID);

// The 64-byte key the log-in cipher of every pooled transport is keyed with.
const std::string& nxPooledTransportMessageKey();

// "tpIdle" ... "tpTimeCritical"; false for a name that is none of them.
std::u16string nxThreadPriorityName(platform::TThreadPriority aValue);
bool nxThreadPriorityFromName(std::u16string_view aName, platform::TThreadPriority& aValue);

// The idle handler a client connection calls while it waits for its I/O.
using TnxNetIdleEvent = std::function<void(void* aSender, platform::EventHandle aWaitEvent)>;

class TnxBasePooledTransport : public TnxBaseDirectTransport {
  REVUROV_COMPONENT_CLASS(TnxBasePooledTransport, TnxBaseDirectTransport)
  explicit TnxBasePooledTransport(platform::TComponent* aOwner);
  ~TnxBasePooledTransport() override;

  const TnxComponentExceptionClass& GetExceptionClass() const override;

  // ---- properties ----
  uint16_t Port() const noexcept { return btPort; }
  void SetPort(uint16_t aValue);
  uint8_t CompressType() const noexcept { return btCompressType.load(std::memory_order_relaxed); }
  void SetCompressType(uint8_t aValue) noexcept { btCompressType.store(aValue, std::memory_order_relaxed); }
  uint32_t CompressLimit() const noexcept { return btCompressLimit.load(std::memory_order_relaxed); }
  void SetCompressLimit(uint32_t aValue) noexcept { btCompressLimit.store(aValue, std::memory_order_relaxed); }
  platform::TThreadPriority ServerThreadPriority() const noexcept { return btServerThreadPriority; }
  void SetServerThreadPriority(platform::TThreadPriority aValue);
  uint8_t ConcurrentIOCPThreads() const noexcept { return btConcurrentIOCPThreads; }
  void SetConcurrentIOCPThreads(uint8_t aValue);
  platform::TThreadPriority HeartbeatThreadPriority() const noexcept { return btHeartbeatThreadPriority; }
  void SetHeartbeatThreadPriority(platform::TThreadPriority aValue);
  uint32_t HeartbeatInterval() const noexcept { return btHeartbeatInterval; }
  void SetHeartbeatInterval(uint32_t aValue);
  platform::TThreadPriority WatchdogThreadPriority() const noexcept { return btWatchdogThreadPriority; }
  void SetWatchdogThreadPriority(platform::TThreadPriority aValue);
  uint32_t WatchdogInterval() const noexcept { return btWatchdogInterval; }
  void SetWatchdogInterval(uint32_t aValue);
  uint32_t LostConnectionTimeout() const noexcept { return btLostConnectionTimeout; }
  void SetLostConnectionTimeout(uint32_t aValue);
  bool OverlappedClient() const noexcept { return btOverlappedClient; }
  void SetOverlappedClient(bool aValue);
  uint8_t CallbackThreadCount() const noexcept { return btCallbackThreadCount; }
  void SetCallbackThreadCount(uint8_t aValue);
  platform::TThreadPriority CallbackThreadPriority() const noexcept { return btCallbackThreadPriority; }
  void SetCallbackThreadPriority(platform::TThreadPriority aValue);

  bool Failed() const noexcept { return btFailed.load(std::memory_order_acquire); }

  // ---- settings ----
  void GetConfigSettings(TnxBaseSettings& aSettings) override;
  void LoadConfig(TnxBaseComponentConfiguration& aConfig) override;
  void SaveConfig(TnxBaseComponentConfiguration& aConfig) override;
  void LoadSettingsFromStream(TnxReader& aReader) override;
  void SaveSettingsToStream(TnxWriter& aWriter) override;
  void GetStatsCaptions(platform::TStringList& aList) const override;
  void GetStatsValues(platform::TStringList& aList) const override;

  // ---- the client side (send mode) ----
  // Requests, posts and terminations go out on pooled connections, each
  // exchange on a connection of its own. The first connection registers
  // the client transport with the server (type 10, once per transport: the
  // registration runs under the lock of the client connections and checks
  // again there), every further one proves membership with the marker of
  // that registration (type 12). A failed connect or handshake marks the
  // transport failed until it is stopped: requests then answer 11276 at once.
  //
  // The reply callback of a Request runs exactly once: with the reply, or
  // with 11276 (9990 for a transport ID) and no data. A failure after the
  // reply was delivered, the callback's own raise included, only frees the
  // connection: a second call would answer a later request of a queueing
  // caller.
  //
  // In listen mode the request goes to a client over its callback
  // connections: with aTransportID 0 aSessionID is an engine session ID of
  // a client's own session; otherwise transport and session are the handles
  // of a session this server opened on that client (reverse log-in). An
  // unknown client answers 9990, one without callback connections 11276;
  // Post then does nothing.
  void Request(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
               TnxMsgID aMsgID, uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen,
               TnxReplyCallback aReplyCallback, void* aReplyCookie) override;
  void Post(TnxTransportID aTransportID, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority,
            TnxMsgID aMsgID, const void* aRequestData, int32_t aRequestDataLen, uint32_t aTimeout) override;
  // Listen mode: a Post with transport 0 to every session; failures of one
  // session are swallowed. Send mode: nothing.
  void Broadcast(TnxMsgID aMsgID, TnxThreadPriority aThreadPriority, const void* aRequestData,
                 int32_t aRequestDataLen, uint32_t aTimeOut) override;
  // Sends type 22 for aSessionID when connected (in listen mode to the
  // client aTransportID over a callback connection); every failure is
  // swallowed.
  void TerminateConnection(TnxTransportID aTransportID, TnxSessionID aSessionID, uint32_t aTimeout) override;
  // The log-in (type 20, answered by type 21). Raises only when not started;
  // every other failure is the result: 11276 for a failed transport, a
  // broken exchange or a malformed answer, the server's code for a refusal,
  // the converted code of a failed connect. In listen mode it is the
  // reverse log-in, a session of this server on the client aTransportID,
  // over one of its callback connections: 9990 for an unknown client, 12289
  // for one without callback connections.
  uint32_t EstablishConnection(TnxTransportID aTransportID, const std::u16string& aUserName,
                               const std::u16string& aPassword, int32_t aTimeout, int32_t aClientVersion,
                               int32_t& aServerVersion, TnxSessionID& aSessionID) override;

  // An idle connection, else a new one, registered with the server; the
  // caller owns it until Deactivate or Free. Raises 11278 (never registered)
  // or 11276 after two failed connect attempts or a failed handshake.
  TnxBaseClientConnection* btAcquireConnection();
  // The reply decoding of a client connection's Read: a message of another
  // type than 2, or a broken one, gives aCallback 11276 and no data;
  // otherwise the (decompressed) payload with bhErrorCode. Nothing happens
  // without a callback. aDecompressed is the connection's buffer.
  void btDeliverReply(const TnxBaseHeader& aHeader, std::span<const uint8_t> aBody, TnxHeapBuffer& aDecompressed,
                      TnxReplyCallback aCallback, void* aReplyCookie);
  TnxTransportID TransportID() const noexcept { return btTransportID.load(std::memory_order_acquire); }
  // aData compressed with aCompressType into aScratch when that pays; the
  // bytes to send.
  std::span<const uint8_t> btCompress(uint8_t aCompressType, const void* aData, int32_t aLength,
                                      TnxHeapBlock& aScratch, uint32_t& aUncompressedSize) const;

  // The log-in block, enciphered and sealed with the transport's cipher.
  TnxLoginBlock btSealedLoginBlock(std::u16string_view aUserName, std::u16string_view aPassword, int32_t aTimeout,
                                   int32_t aClientVersion);

  // ---- callbacks, heartbeat and watchdog ----
  // A message the server sent on a callback connection: requests and posts
  // are served on the calling thread, a log-in opens a session of the
  // server on this client, type 22 ends one.
  void btProcessCallbackMessage(TnxBaseClientConnection& aConnection, const TnxBaseHeader& aHeader,
                                std::span<const uint8_t> aBody);
  // Send mode: one keep-alive (type 254) on a pooled connection; false when
  // none could be written. Raises nothing.
  bool btSendKeepAlive() noexcept;
  // One watchdog step: the pass on a server thread when one waits, else on
  // the calling thread.
  void btWatchdogStep();
  // Fails every remote transport that showed no life for twice its
  // heartbeat interval, or that lost its connections longer than
  // LostConnectionTimeout ago.
  void btCheckLostConnections();
  int32_t CallbackThreadsRunning() const;
  bool HeartbeatRunning() const;
  // The session callback of the request the calling thread serves: a
  // remote session's, or on a client a local one for the request's session.
  platform::TInterfacePtr<InxSessionCallback> btGetSessionCallback() override;

  // The inherited statistics, throttling and logging, then the connection's
  // DoWrite with the same values.
  void Write(TnxBaseConnection* aConnection, TnxTransportID aTransportID, TnxSessionID aSessionID,
             TnxThreadPriority aThreadPriority, TnxMsgID aMsgID, uint8_t aMsgType, uint32_t aErrorCode,
             uint8_t aCompressType, uint32_t aUncompressedSize, const void* aBuffer, uint32_t aBufferSize) override;

  // ---- connections ----
  bool IsConnected() override;
  int32_t ConnectionCount() override;
  // The lists the connections enter and leave (Part of their creation and
  // destruction in the concrete classes).
  void AddClientConnection(TnxBaseConnection* aConnection);
  void RemoveClientConnection(TnxBaseConnection* aConnection) noexcept;
  void AddServerConnection(TnxBaseConnection* aConnection);
  void RemoveServerConnection(TnxBaseConnection* aConnection) noexcept;
  int32_t ServerConnectionCount() const;
  int32_t ClientConnectionCount() const;
  // The pool of idle client connections (the stop empties it).
  void PushAvailableConnection(TnxBaseConnection* aConnection) { btAvailableConnections.Push(aConnection); }
  TnxBaseConnection* PopAvailableConnection() noexcept {
    return static_cast<TnxBaseConnection*>(btAvailableConnections.Pop());
  }
  int32_t AvailableConnectionCount() const noexcept { return btAvailableConnections.Count(); }

  // ---- the listening side ----
  // Every message a server connection received, whole: aBody is what
  // follows the header (bhLength - 32 bytes). Checks, decodes and
  // dispatches it and answers on aConnection; runs on a server thread.
  // aBodyBuffer, when given, holds aBody from its start: a request whose
  // payload is all of it reaches the handler in that block instead of a
  // copy, and the block is back in the buffer on return.
  void btProcessHeader(TnxBaseServerConnection& aConnection, const TnxBaseHeader& aHeader,
                       std::span<const uint8_t> aBody, TnxHeapBuffer* aBodyBuffer = nullptr);
  // The reply to the request the calling thread serves: exactly one per
  // request (type 1), a second raises 9990; a post gets none.
  void btSendReply(TnxMsgID aMsgID, uint32_t aErrorCode, const void* aReplyData, int32_t aReplyDataLen) override;
  // Handler code about to block calls this through the thread-breath hook:
  // it makes sure another server thread waits, within the cap.
  void btBreath();

  // The pool of server threads. The concrete transport's start makes the
  // first ones; the pool grows whenever no thread is left waiting, up to
  // MaxServerThreads: at the cap, completions wait for a thread to come
  // free. Without a cap a flood of connections or of blocked handlers would
  // make threads without end.
  void btStartServerThreads(int32_t aCount);
  int32_t MaxServerThreads() const noexcept { return btMaxServerThreads.load(std::memory_order_relaxed); }
  // At least 1; needs the transport inactive.
  void SetMaxServerThreads(int32_t aValue);
  int32_t ServerThreadCount() const noexcept { return btServerThreadCount.load(std::memory_order_acquire); }
  int32_t WaitingThreadCount() const noexcept { return btWaitingThreads.load(std::memory_order_acquire); }
  bool ServerStarted() const noexcept { return btServerStarted.load(std::memory_order_acquire); }

  // The remote transports and sessions enter and leave these lists in
  // their creation and destruction.
  void AddRemoteTransport(TnxBaseRemoteTransport* aRemoteTransport);
  void RemoveRemoteTransport(TnxBaseRemoteTransport* aRemoteTransport) noexcept;
  void AddRemoteSession(TnxBaseRemoteSession* aSession);
  void RemoveRemoteSession(TnxBaseRemoteSession* aSession) noexcept;

  // The completion queue of the server threads; null while not started.
  platform::CompletionQueue* CompletionQueue() const noexcept { return btCompletionQueue.get(); }

  // Serialises every use of the log-in cipher.
  TnxPadlock& CipherPadlock() noexcept { return btBlowFishPadlock; }
  TnxBlowFishRC4& Cipher() noexcept { return *btBlowFish; }

  // ---- class-level: the calling thread's idle handler ----
  static void SetNetIdle(TnxNetIdleEvent aNetIdle, uint32_t aInterval, uint32_t aMask);
  // True with interval and mask only when a handler is set.
  static bool GetNetIdle(TnxNetIdleEvent& aNetIdle, uint32_t& aInterval, uint32_t& aMask);

  // The caption of the connection count in the statistics.
  virtual std::u16string btConnectionsCaption() const { return u"Connections"; }
  virtual bool btCallbackNeedsAck() const { return true; }

protected:
  void DoStart() override;
  void DoStop() override;

  virtual void btStartWatchdog();
  virtual void btStopHeartbeatAndWatchdog();
  // Send mode: starts the callback threads (each registers a connection)
  // and the heartbeat.
  virtual void btStartClient();
  void btCreateCallbackThread();
  virtual int32_t btRemoteTransportCount() const;
  virtual int32_t btRemoteSessionCount() const;
  virtual void btFailRemoteTransports();
  virtual void btFailRemoteSessions();
  virtual void btFreeRemoteObjects();
  // Posts two stop packets per server thread and waits for the threads.
  virtual void btStopServerThreads();
  virtual void btStopCallbackThreads();
  // Frees every client connection and empties the pool.
  virtual void btFreeClientConnections();
  // A new client connection of the medium, connected and entered in the
  // client connections (nxCreateClientConnection); raises when it cannot
  // connect. Here: no medium, 12289.
  virtual TnxBaseClientConnection* btCreateClientConnection();

  void SetFailed(bool aValue) noexcept { btFailed.store(aValue, std::memory_order_release); }
  void SetServerStarted(bool aValue) noexcept { btServerStarted.store(aValue, std::memory_order_release); }

  std::atomic<int32_t> btProcessing{0};
  std::atomic<TnxTransportID> btTransportID{0};

private:
  struct TnxListenTarget;
  // Under btConnectionsPadlock; raises 11278.
  void btOpenTransport(TnxBaseClientConnection& aConnection);
  // Raises 11276.
  void btAttachTransport(TnxBaseClientConnection& aConnection);
  // The listening side (server_dispatch.cpp).
  void btAnswerError(TnxBaseServerConnection& aConnection, const TnxBaseHeader& aHeader, uint32_t aCode);
  // aConnection is a server connection in listen mode, a callback
  // connection in send mode.
  // aHolder: a buffer whose bytes are exactly aPayload, lent to the
  // handler for the request; else the payload is copied.
  void btProcessRequest(TnxBaseConnection& aConnection, const TnxBaseHeader& aHeader,
                        std::span<const uint8_t> aPayload, TnxHeapBuffer* aHolder = nullptr);
  void btProcessRegisterCallback(TnxBaseServerConnection& aConnection, const TnxBaseHeader& aHeader);
  void btProcessOpenTransport(TnxBaseServerConnection& aConnection, const TnxBaseHeader& aHeader,
                              std::span<const uint8_t> aPayload);
  void btProcessAttachTransport(TnxBaseServerConnection& aConnection, const TnxBaseHeader& aHeader,
                                std::span<const uint8_t> aPayload);
  void btProcessLogin(TnxBaseConnection& aConnection, const TnxBaseHeader& aHeader,
                      std::span<const uint8_t> aPayload);
  void btProcessTerminateSession(TnxBaseConnection& aConnection, const TnxBaseHeader& aHeader);
  // "RecieveRequest" (listen mode) or "RecieveReply" and the header's fields.
  void btLogReceived(const TnxBaseHeader& aHeader, size_t aBufferSize);

  // The pool (server_threads.cpp).
  void btServerThreadLoop();
  // A new server thread unless the pool is at its cap.
  void btGrowServerThreads();
  void btWakeBreaths();

  std::atomic<bool> btFailed{false};
  // The server's proof of our registration, sent back on every further
  // connection; written before btTransportID is published.
  std::atomic<uint32_t> btTransportMarker{0};
  std::atomic<bool> btServerStarted{false};
  std::unique_ptr<platform::CompletionQueue> btCompletionQueue;
  std::unique_ptr<TnxBlowFishRC4> btBlowFish;
  TnxPadlock btBlowFishPadlock;
  mutable TnxPadlock btConnectionsPadlock;
  std::vector<TnxBaseConnection*> btClientConnections;  // under btConnectionsPadlock; not owned here
  std::vector<TnxBaseConnection*> btServerConnections;  // under btConnectionsPadlock; not owned here
  TnxThreadSafeStack btAvailableConnections;             // idle members of btClientConnections

  mutable TnxPadlock btRemotePadlock;
  std::vector<TnxBaseRemoteTransport*> btRemoteTransports;                  // under btRemotePadlock
  std::unordered_map<TnxSessionID, TnxBaseRemoteSession*> btRemoteSessions;  // engine session ID; same lock

  mutable std::mutex btThreadsLock;
  std::vector<platform::TThreadPtr<TnxBaseCallbackThread>> btCallbackThreads;  // under btThreadsLock
  platform::TThreadPtr<TnxHeartbeatThread> btHeartbeatThread;                  // under btThreadsLock
  platform::TThreadPtr<TnxWatchdogThread> btWatchdogThread;                    // under btThreadsLock
  // Signalled by a stop, which does not wait for them to end; freed by the
  // next stop or with the transport, when they have long ended.
  std::vector<platform::TThreadPtr<TnxIntervalThread>> btRetiredThreads;  // under btThreadsLock

  std::mutex btServerThreadsLock;
  std::vector<std::thread> btServerThreads;  // under btServerThreadsLock; joined by the stop
  std::atomic<int32_t> btServerThreadCount{0};
  std::atomic<int32_t> btWaitingThreads{0};
  std::atomic<int32_t> btMaxServerThreads{nxDefaultMaxServerThreads};
  std::atomic<int32_t> btProcessingWatchdog{0};
  std::mutex btBreathLock;
  std::condition_variable btBreathSignal;
  uint32_t btBreathNext = 0;       // under btBreathLock
  std::set<uint32_t> btBreathDone;  // under btBreathLock

  uint16_t btPort = 16000;
  std::atomic<uint8_t> btCompressType{0};
  std::atomic<uint32_t> btCompressLimit{512};
  platform::TThreadPriority btServerThreadPriority = platform::TThreadPriority::tpNormal;
  uint8_t btConcurrentIOCPThreads = 0;
  platform::TThreadPriority btHeartbeatThreadPriority = platform::TThreadPriority::tpTimeCritical;
  uint32_t btHeartbeatInterval = 10000;
  platform::TThreadPriority btWatchdogThreadPriority = platform::TThreadPriority::tpHighest;
  uint32_t btWatchdogInterval = 10000;
  uint32_t btLostConnectionTimeout = 10000;
  bool btOverlappedClient = false;
  uint8_t btCallbackThreadCount = 0;
  platform::TThreadPriority btCallbackThreadPriority = platform::TThreadPriority::tpNormal;
};

}  // namespace revurov
