#include "transport/remoting/keep_alive.h"

#include <memory>

#include "platform/thread_clock.h"

namespace revurov {

namespace {

std::atomic<uint32_t> gKeepAliveTime{nxDefaultKeepAliveTime};
std::atomic<TnxKeepAliveQueue*> gKeepAliveQueue{nullptr};

}  // namespace

// --- TnxKeepAliveItem ---------------------------------------------------------

TnxKeepAliveItem::TnxKeepAliveItem(TnxKeepAliveQueue& aQueue, platform::IInterface* aInterface)
    : kaiQueue(&aQueue),
      kaiKeepAlive(aInterface),
      kaiKeepAliveSince(aQueue.Now()),
      kaiKeepAliveUntil(kaiKeepAliveSince + aQueue.KeepAliveTime()) {}

uint32_t TnxKeepAliveItem::WaitFor() {
  const uint64_t now = kaiQueue->Now();
  const uint64_t left = kaiKeepAliveUntil > now ? kaiKeepAliveUntil - now : 0;
  if (left <= nxKeepAliveSlack) return 0;
  // The keep time is 32 bits, so what is left is too.
  const uint32_t wait = static_cast<uint32_t>(left);
  platform::WaitForEvent(kaiQueue->DieEvent(), wait);
  return wait;
}

// --- TnxKeepAliveThread -------------------------------------------------------

TnxKeepAliveThread::TnxKeepAliveThread(TnxKeepAliveQueue& aQueue)
    : TnxThread(false, platform::TThreadPriority::tpNormal), katQueue(&aQueue) {}

void TnxKeepAliveThread::ThreadExecute() {
  while (!Terminated()) {
    std::unique_ptr<TnxThreadSafeQueueItem> item = katQueue->Dequeue(platform::kInfinite);
    if (!item) continue;
    static_cast<TnxKeepAliveItem*>(item.get())->WaitFor();
  }
}

// --- TnxKeepAliveQueue --------------------------------------------------------

TnxKeepAliveQueue::TnxKeepAliveQueue(uint32_t aKeepAliveTime, TnxKeepAliveClock aClock)
    : kaqKeepAliveTime(aKeepAliveTime),
      kaqClock(aClock),
      kaqThread(platform::NewThread<TnxKeepAliveThread>(*this)) {}

TnxKeepAliveQueue::~TnxKeepAliveQueue() {
  // The thread goes before the base frees the items it may still hold.
  TnxKeepAliveQueue::Terminate();
}

uint64_t TnxKeepAliveQueue::Now() const { return kaqClock ? kaqClock() : platform::MonotonicMilliseconds(); }

void TnxKeepAliveQueue::Terminate() {
  if (kaqThread) kaqThread->Terminate();
  TnxThreadSafeQueue::Terminate();
  if (kaqThread) kaqThread->WaitFor();
}

void TnxKeepAliveQueue::KeepAlive(platform::IInterface* aInterface) {
  if (aInterface) Enqueue(std::make_unique<TnxKeepAliveItem>(*this, aInterface));
}

// --- the process-wide service ------------------------------------------------

void nxKeepAlive(platform::IInterface* aInterface) {
  if (!aInterface) return;
  TnxKeepAliveQueue* queue = gKeepAliveQueue.load(std::memory_order_acquire);
  if (!queue) {
    auto own = std::make_unique<TnxKeepAliveQueue>(nxKeepAliveTime());
    if (gKeepAliveQueue.compare_exchange_strong(queue, own.get(), std::memory_order_acq_rel))
      queue = own.release();
  }
  queue->KeepAlive(aInterface);
}

uint32_t nxKeepAliveTime() noexcept { return gKeepAliveTime.load(std::memory_order_relaxed); }

void nxSetKeepAliveTime(uint32_t aMilliseconds) noexcept {
  gKeepAliveTime.store(aMilliseconds, std::memory_order_relaxed);
  if (TnxKeepAliveQueue* queue = gKeepAliveQueue.load(std::memory_order_acquire)) queue->SetKeepAliveTime(aMilliseconds);
}

void nxKeepAliveStartup() {}

void nxKeepAliveShutdown() { std::unique_ptr<TnxKeepAliveQueue> queue(gKeepAliveQueue.exchange(nullptr)); }

}  // namespace revurov
