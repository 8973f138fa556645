// The keep-alive service: holds a counted reference to an interface for a
// fixed time after it was handed over, so that a new remoting object lives
// at least that long even when nobody else holds it yet.
//
// Contract:
// - A keep-alive queue has one thread that takes its items in arrival order
//   and releases each item's interface once the item's deadline (handed
//   over + keep time, on the 64-bit monotonic clock, which never wraps) has
//   come. With 99 ms or less left it is released at once.
// - Terminate (and destruction) stops the thread at once, releasing the
//   item it waits on, and joins it; destruction releases the queued items'
//   interfaces. Terminate may be called more than once.
// - The clock is injectable (null: the monotonic clock in ms); the thread
//   still waits in real time for what the clock says is left.
// - nxKeepAlive holds an interface for the process's keep time, which is
//   nxKeepAliveTime (30,000 ms unless set). The process-wide queue is made
//   on first use and freed by the remoting library's last shut-down.
//   REQUIRES: the remoting library started; no nxKeepAlive runs during its
//   shut-down.
#pragma once

#include <atomic>
#include <cstdint>

#include "lowlevel/sync/thread.h"
#include "platform/interface.h"
#include "platform/rtl_thread.h"
#include "transport/remoting/thread_safe_queue.h"

namespace revurov {

inline constexpr uint32_t nxDefaultKeepAliveTime = 30000;
// An item with no more than this left is released without waiting.
inline constexpr uint32_t nxKeepAliveSlack = 99;

using TnxKeepAliveClock = uint64_t (*)();

class TnxKeepAliveQueue;

class TnxKeepAliveItem : public TnxThreadSafeQueueItem {
public:
  TnxKeepAliveItem(TnxKeepAliveQueue& aQueue, platform::IInterface* aInterface);

  // Waits on the queue's die event for the time left (nothing with 99 ms or
  // less); answers the time it waited for.
  uint32_t WaitFor();
  uint64_t Until() const noexcept { return kaiKeepAliveUntil; }

private:
  TnxKeepAliveQueue* kaiQueue;
  platform::TInterfacePtr<platform::IInterface> kaiKeepAlive;
  uint64_t kaiKeepAliveSince = 0;
  uint64_t kaiKeepAliveUntil = 0;
};

class TnxKeepAliveThread : public TnxThread {
public:
  explicit TnxKeepAliveThread(TnxKeepAliveQueue& aQueue);
  std::u16string_view ClassName() const noexcept override { return u"TnxKeepAliveThread"; }

protected:
  void ThreadExecute() override;

private:
  TnxKeepAliveQueue* katQueue;
};

class TnxKeepAliveQueue : public TnxThreadSafeQueue {
public:
  explicit TnxKeepAliveQueue(uint32_t aKeepAliveTime, TnxKeepAliveClock aClock = nullptr);
  ~TnxKeepAliveQueue() override;

  void Terminate() override;
  // An item for aInterface, held from now on; nothing for nil.
  void KeepAlive(platform::IInterface* aInterface);

  uint32_t KeepAliveTime() const noexcept { return kaqKeepAliveTime.load(std::memory_order_relaxed); }
  void SetKeepAliveTime(uint32_t aValue) noexcept { kaqKeepAliveTime.store(aValue, std::memory_order_relaxed); }
  uint64_t Now() const;

private:
  friend class TnxKeepAliveItem;

  std::atomic<uint32_t> kaqKeepAliveTime;
  TnxKeepAliveClock kaqClock;
  platform::TThreadPtr<TnxKeepAliveThread> kaqThread;  // last: it runs at once
};

void nxKeepAlive(platform::IInterface* aInterface);
uint32_t nxKeepAliveTime() noexcept;
// Also for the queue already made.
void nxSetKeepAliveTime(uint32_t aMilliseconds) noexcept;

// The unit pair in the remoting start-up table: the shut-down frees the
// process-wide queue.
void nxKeepAliveStartup();
void nxKeepAliveShutdown();

}  // namespace revurov
