// The client's callback and heartbeat threads and the server's watchdog,
// owned by their pooled transport from its start to its stop.
//
// Contract:
// - A callback thread takes a pooled connection and registers it as a
//   callback connection (type 30, acknowledged by 31) before NewThread
//   returns: a refusal raises there, in the transport's start. Then it
//   serves the server's requests on that connection, one at a time, until
//   Shutdown, which terminates it and shuts the connection down so that
//   its blocked read ends. The thread frees its connection at its end.
// - Heartbeat: one keep-alive at once, then one per interval until
//   Shutdown; it ends by itself after its eleventh failed keep-alive.
// - Watchdog: one pass per interval until Shutdown (see
//   TnxBasePooledTransport::btWatchdogStep).
// - Heartbeat and watchdog threads have no start-up step: NewThread returns
//   as soon as the thread exists, without waiting for it to be scheduled
//   (on a busy machine that wait cost the transport's start milliseconds).
// - Steps run under the thread's lock, so Signal, which sets the shutdown
//   flag under it, returns once no step runs and none will: the thread no
//   longer touches its transport, though it may not have ended yet.
// - Shutdown signals and waits for the thread's end, also when the thread
//   has not run yet.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "lowlevel/sync/thread.h"

namespace revurov {

class TnxBasePooledTransport;
class TnxBaseClientConnection;

// An init thread that waits on a shutdown signal between steps.
class TnxIntervalThread : public TnxInitThread {
public:
  TnxIntervalThread(TnxBasePooledTransport* aTransport, uint32_t aInterval, platform::TThreadPriority aPriority);
  // Starts the thread without waiting for it to run: it has nothing to set
  // up that could fail.
  void AfterConstruction() override;
  void Signal();
  void Shutdown();
  void BeforeDestruction() override;
  int32_t Failures() const noexcept { return itFailures.load(std::memory_order_acquire); }

protected:
  void InnerExecute() override;
  // One step; a raise counts as a failure.
  virtual void Step() = 0;
  // Steps before the first wait.
  virtual bool StepFirst() const { return false; }

  TnxBasePooledTransport* itTransport;  // owner

private:
  // True when the signal came before aInterval ran out.
  bool WaitShutdown(std::unique_lock<std::mutex>& aLock);

  uint32_t itInterval;
  std::mutex itLock;
  std::condition_variable itSignal;
  bool itShutdown = false;  // under itLock
  std::atomic<int32_t> itFailures{0};
};

class TnxHeartbeatThread : public TnxIntervalThread {
public:
  explicit TnxHeartbeatThread(TnxBasePooledTransport* aTransport);
  std::u16string_view ClassName() const noexcept override { return u"TnxHeartbeatThread"; }

protected:
  void Step() override;
  bool StepFirst() const override { return true; }
};

class TnxWatchdogThread : public TnxIntervalThread {
public:
  explicit TnxWatchdogThread(TnxBasePooledTransport* aTransport);
  std::u16string_view ClassName() const noexcept override { return u"TnxWatchdogThread"; }

protected:
  void Step() override;
};

class TnxBaseCallbackThread : public TnxInitThread {
public:
  explicit TnxBaseCallbackThread(TnxBasePooledTransport* aTransport);
  std::u16string_view ClassName() const noexcept override { return u"TnxBaseCallbackThread"; }
  // Terminates the thread, ends its read and waits for its end.
  void Shutdown();
  void BeforeDestruction() override;

protected:
  void DoBeforeExecute() override;
  void InnerExecute() override;

private:
  TnxBasePooledTransport* bctTransport;  // owner
  std::mutex bctLock;
  TnxBaseClientConnection* bctConnection = nullptr;  // under bctLock; freed by the thread
};

}  // namespace revurov
