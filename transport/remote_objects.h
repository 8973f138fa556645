// The listening side's picture of its clients: one remote transport per
// registered client transport, one remote session per log-in.
//
// Contract:
// - Both are named on the wire by a handle (slot, generation, class tag)
//   that is never 0 nor $FFFFFFFF. LookupByID refuses a stale, freed,
//   failed or other-class handle with 9990 without touching any object;
//   a found object is locked and the caller pairs the lookup with Unlock.
// - Lock counts extra holders; the owner's own hold is ended by Free. The
//   object is destroyed when the count drops below zero, so one freed while
//   looked up dies at the last Unlock. Free runs once; its unlink happens
//   under the class's write lock, so no lookup can lock an object after it.
// - A remote session holds its remote transport, and so does an attached
//   server connection: a remote transport outlives both.
// - Fail of a remote transport runs once: it fails every session, shuts
//   every attached connection down and frees the sessions; with no
//   connection attached it frees itself, otherwise the last detach does.
//   Free of a remote transport fails it first, so its sessions go with it.
// - Idle callback connections wait in the remote transport; a requester
//   takes one (waiting in slices, without an overall limit, until one comes
//   back or the remote transport closes) and offers it again after its
//   exchange. A connection that failed an exchange is ended, not offered.
// - A remote session's callback object is made on first demand and cut off
//   (Disconnect) when the session fails or is destroyed.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/padlock.h"
#include "transport/session_callback.h"
#include "transport/wire_header.h"

namespace revurov {

class TnxBasePooledTransport;
class TnxBaseServerConnection;
class TnxBaseRemoteSession;

class TnxBaseRemoteTransport : public TnxObject {
public:
  // Enters the new remote transport in aTransport's list and attaches
  // aConnection to it.
  static TnxBaseRemoteTransport* Create(TnxBasePooledTransport* aTransport, TnxBaseServerConnection* aConnection,
                                        uint8_t aRemoteMsgVersion, int64_t aHeartbeatInterval);
  static uint32_t LookupByID(TnxTransportID aTransportID, TnxBaseRemoteTransport*& aTransport) noexcept;

  void Lock() noexcept { brtLock.fetch_add(1, std::memory_order_acq_rel); }
  // A hold on an object that may be in its destruction: false once the
  // count has dropped below zero.
  bool TryLock() noexcept;
  void Unlock() noexcept;
  void Free() noexcept;
  // Marks the client alive when it keeps a heartbeat.
  virtual void NotifyActivity() noexcept;
  virtual void Fail() noexcept;

  TnxTransportID Handle() const noexcept { return brtHandle; }
  uint32_t Marker() const noexcept { return brtMarker; }
  const std::u16string& RemoteAddress() const noexcept { return brtRemoteAddress; }
  uint8_t RemoteMsgVersion() const noexcept { return brtRemoteMsgVersion; }
  TnxBasePooledTransport* Transport() const noexcept { return brtTransport; }
  int64_t LastMessage() const noexcept { return brtLastMessage.load(std::memory_order_acquire); }
  int64_t HeartbeatInterval() const noexcept { return brtHeartbeatInterval; }
  bool IsLost() const noexcept { return brtIsLost.load(std::memory_order_acquire); }
  bool IsFailed() const noexcept { return brtFailed.load(std::memory_order_acquire); }
  int32_t ConnectionCount() const;
  int32_t SessionCount() const;

  // The connection holds the remote transport while attached. Both raise
  // 9990 once the remote transport failed.
  void AttachConnection(TnxBaseServerConnection* aConnection);
  void DetachConnection(TnxBaseServerConnection* aConnection) noexcept;
  void AddSession(TnxBaseRemoteSession* aSession);
  void RemoveSession(TnxBaseRemoteSession* aSession) noexcept;

  // ---- callback connections ----
  bool SupportsCallbacks() const noexcept { return brtSupportsCallbacks.load(std::memory_order_acquire); }
  // A callback connection is on its way: requesters wait for it instead of
  // answering 11276.
  void ExpectCallback() noexcept { brtSupportsCallbacks.store(true, std::memory_order_release); }
  int32_t IdleCallbackCount() const;
  // False (and nothing kept) once the remote transport failed.
  bool OfferCallback(TnxBaseServerConnection* aConnection);
  // An idle callback connection with a hold of the caller's (AddUser);
  // aTimeOut is the wait slice (1000 ms when 0). Raises "RemoteTransport is
  // closing" when the remote transport closes meanwhile.
  TnxBaseServerConnection* TakeCallback(uint32_t aTimeOut);
  // aCallback: the request of the client's own session (transport 0 on the
  // wire), else of a session this side opened on the client ($FFFFFFFF).
  // Failures reach aReplyCallback as 11276.
  void Request(bool aCallback, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority, TnxMsgID aMsgID,
               uint32_t aTimeout, const void* aRequestData, int32_t aRequestDataLen, TnxReplyCallback aReplyCallback,
               void* aReplyCookie);
  // Failures are swallowed.
  void Post(bool aCallback, TnxSessionID aSessionID, TnxThreadPriority aThreadPriority, TnxMsgID aMsgID,
            const void* aRequestData, int32_t aRequestDataLen, uint32_t aTimeout);
  void TerminateConnection(TnxSessionID aSessionID, uint32_t aTimeout);
  // The reverse log-in: a session of this side on the client, opened over
  // a callback connection (aTimeout as the wait slice). 12289 without
  // callback connections, 11276 for a broken exchange, else the client's
  // code.
  uint32_t EstablishConnection(const std::u16string& aUserName, const std::u16string& aPassword, int32_t aTimeout,
                               int32_t aClientVersion, int32_t& aServerVersion, TnxSessionID& aSessionID);

protected:
  TnxBaseRemoteTransport(TnxBasePooledTransport* aTransport, TnxBaseServerConnection* aConnection,
                         uint8_t aRemoteMsgVersion, int64_t aHeartbeatInterval);
  ~TnxBaseRemoteTransport() override;

private:
  void Destroy() noexcept;
  // Fail without freeing itself; true when no connection is left.
  bool FailCascade() noexcept;

  TnxTransportID brtHandle = 0;
  uint32_t brtMarker = 0;
  std::u16string brtRemoteAddress;
  uint8_t brtRemoteMsgVersion = 0;
  TnxBasePooledTransport* brtTransport = nullptr;  // owner's component, not owned
  std::atomic<int64_t> brtLastMessage{0};
  int64_t brtHeartbeatInterval = 0;
  std::atomic<bool> brtIsLost{false};
  mutable TnxPadlock brtListsPadlock;
  std::vector<TnxBaseServerConnection*> brtConnections;  // each holds this object
  std::vector<TnxBaseRemoteSession*> brtSessions;        // each holds this object
  mutable std::mutex brtCallbackLock;
  std::condition_variable brtCallbackSignal;
  std::vector<TnxBaseServerConnection*> brtCallbacks;  // idle; under brtCallbackLock
  std::atomic<bool> brtSupportsCallbacks{false};
  TnxPadlock brtFailPadlock;
  std::atomic<bool> brtDestroying{false};
  std::atomic<bool> brtFailed{false};
  std::atomic<bool> brtFreeing{false};
  std::atomic<int32_t> brtLock{0};
};

class TnxBaseRemoteSession : public TnxObject {
public:
  // Enters the session in aTransport's sessions and, with one, in
  // aRemoteTransport's, which it holds until destroyed. The caller gets it
  // held (a failure of the remote transport may free it at once) and
  // unlocks it.
  static TnxBaseRemoteSession* Create(TnxBasePooledTransport* aTransport, TnxBaseRemoteTransport* aRemoteTransport,
                                      TnxSessionID aSessionID, uint32_t aClientVersion, uint32_t aServerVersion);
  // A session of aRemoteTransport; without one, a session that has none.
  static uint32_t LookupByID(TnxBaseRemoteTransport* aRemoteTransport, TnxSessionID aHandle,
                             TnxBaseRemoteSession*& aSession) noexcept;

  void Lock() noexcept { brsLock.fetch_add(1, std::memory_order_acq_rel); }
  bool TryLock() noexcept;
  void Unlock() noexcept;
  // Unlinks the session; its destruction reports the end to the transport.
  void Free() noexcept;
  // Reports the failure to the transport once.
  virtual void Fail() noexcept;

  TnxSessionID Handle() const noexcept { return brsHandle; }
  TnxSessionID SessionID() const noexcept { return brsSessionID; }
  uint32_t ClientVersion() const noexcept { return brsClientVersion; }
  uint32_t ServerVersion() const noexcept { return brsServerVersion; }
  uint32_t MinVersion() const noexcept { return brsClientVersion < brsServerVersion ? brsClientVersion : brsServerVersion; }
  TnxBaseRemoteTransport* RemoteTransport() const noexcept { return brsRemoteTransport; }
  // Null once the session is being destroyed or failed.
  platform::TInterfacePtr<InxInternalSessionCallback> GetSessionCallback();

protected:
  // The class of the session's callback object.
  virtual platform::TInterfacePtr<InxInternalSessionCallback> NewSessionCallback();
  TnxBaseRemoteSession(TnxBasePooledTransport* aTransport, TnxBaseRemoteTransport* aRemoteTransport,
                       TnxSessionID aSessionID, uint32_t aClientVersion, uint32_t aServerVersion);
  ~TnxBaseRemoteSession() override;

private:
  void Destroy() noexcept;
  void DropCallback() noexcept;

  TnxSessionID brsHandle = 0;
  uint32_t brsClientVersion = 0;
  uint32_t brsServerVersion = 0;
  TnxBasePooledTransport* brsTransport = nullptr;
  TnxBaseRemoteTransport* brsRemoteTransport = nullptr;  // held, not owned
  TnxSessionID brsSessionID = 0;
  std::atomic<bool> brsDestroying{false};
  std::atomic<bool> brsFailed{false};
  std::atomic<bool> brsFreeing{false};
  std::atomic<int32_t> brsLock{0};
  TnxPadlock brsCallbackPadlock;
  platform::TInterfacePtr<InxInternalSessionCallback> brsCallback;  // under brsCallbackPadlock
};

// Live remote transports and sessions of the process (for tests and the
// statistics of leaks).
int32_t nxLiveRemoteObjectCount() noexcept;

}  // namespace revurov
