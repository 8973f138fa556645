#include "lowlevel/sync/message_queue.h"

#include <vector>

#include "lowlevel/errors/exceptions.h"

namespace revurov {

namespace {

thread_local TnxMessageQueue* tlsCurrentQueue = nullptr;

// The window table. Handles: generation in the high word, slot + 1 in the
// low word, so 0 is never a window.
struct WindowSlot {
  uint32_t Generation = 1;
  bool InUse = false;
  TnxMessageQueue* Queue = nullptr;
  TnxWndMethod Method;
};

std::mutex gWindowLock;
std::vector<WindowSlot>* gWindows = nullptr;  // created on first use, kept
std::vector<uint32_t>* gFreeWindows = nullptr;

TnxWindowHandle MakeHandle(uint32_t aSlot, uint32_t aGeneration) noexcept {
  return (static_cast<uint64_t>(aGeneration) << 32) | (aSlot + 1);
}

// The live slot of a handle, under gWindowLock; null when gone.
WindowSlot* FindWindow(TnxWindowHandle aWindow) noexcept {
  const uint32_t low = static_cast<uint32_t>(aWindow);
  if (!gWindows || low == 0 || low > gWindows->size()) return nullptr;
  WindowSlot& slot = (*gWindows)[low - 1];
  return slot.InUse && slot.Generation == static_cast<uint32_t>(aWindow >> 32) ? &slot : nullptr;
}

}  // namespace

// ---- queues ----

TnxMessageQueue::TnxMessageQueue() {
  mqArrived = platform::CreateEvent(false, false);
  if (!mqArrived) nxRaiseLastOSError(u"TnxMessageQueue.Create/CreateEvent", 0);
}

TnxMessageQueue::~TnxMessageQueue() {
  Close();
  // Windows left behind would point at a freed queue.
  {
    std::lock_guard guard(gWindowLock);
    if (gWindows)
      for (uint32_t i = 0; i < gWindows->size(); ++i)
        if ((*gWindows)[i].InUse && (*gWindows)[i].Queue == this) {
          WindowSlot& w = (*gWindows)[i];
          w.InUse = false;
          w.Queue = nullptr;
          w.Method = nullptr;
          if (++w.Generation == 0) w.Generation = 1;
          gFreeWindows->push_back(i);
        }
  }
  if (tlsCurrentQueue == this) tlsCurrentQueue = nullptr;
  platform::CloseEvent(mqArrived);
}

TnxMessageQueue* TnxMessageQueue::Current() noexcept { return tlsCurrentQueue; }
void TnxMessageQueue::Attach() noexcept { tlsCurrentQueue = this; }
void TnxMessageQueue::Detach() noexcept {
  if (tlsCurrentQueue == this) tlsCurrentQueue = nullptr;
}

bool TnxMessageQueue::Post(const TnxMessage& aMessage) {
  {
    std::lock_guard guard(mqLock);
    if (mqClosed) return false;
    mqPosted.push_back(aMessage);
  }
  platform::SetEvent(mqArrived);
  return true;
}

bool TnxMessageQueue::QueueSend(PendingSend* aPending) {
  {
    std::lock_guard guard(mqLock);
    if (mqClosed) return false;
    mqSent.push_back(aPending);
  }
  platform::SetEvent(mqArrived);
  return true;
}

void TnxMessageQueue::HandleSent(std::unique_lock<std::mutex>& aLock) {
  while (!mqSent.empty()) {
    PendingSend* pending = mqSent.front();
    mqSent.pop_front();
    aLock.unlock();
    try {
      pending->Handled = nxDispatchQueueMessage(pending->Message);
    } catch (...) {
      // The sender gets 0; the failure belongs to the handler, not to it.
      pending->Handled = false;
    }
    platform::SetEvent(pending->Done);
    aLock.lock();
  }
}

bool TnxMessageQueue::Peek(TnxMessage& aMessage) {
  std::unique_lock lock(mqLock);
  HandleSent(lock);
  if (mqPosted.empty()) return false;
  aMessage = mqPosted.front();
  mqPosted.pop_front();
  return true;
}

bool TnxMessageQueue::WaitMessage(uint32_t aTimeoutMs) {
  for (;;) {
    {
      std::unique_lock lock(mqLock);
      HandleSent(lock);
      if (!mqPosted.empty()) return true;
      if (mqClosed) return false;
      if (mqWoken) {
        mqWoken = false;
        return false;
      }
    }
    // A sent message restarts the wait with the full time-out.
    if (platform::WaitForEvent(mqArrived, aTimeoutMs) != platform::kWaitObject0) return false;
  }
}

void TnxMessageQueue::Close() {
  std::deque<PendingSend*> sent;
  {
    std::lock_guard guard(mqLock);
    mqClosed = true;
    mqPosted.clear();
    sent.swap(mqSent);
  }
  for (PendingSend* pending : sent) platform::SetEvent(pending->Done);
  platform::SetEvent(mqArrived);
}

void TnxMessageQueue::Wake() {
  {
    std::lock_guard guard(mqLock);
    mqWoken = true;
  }
  platform::SetEvent(mqArrived);
}

bool TnxMessageQueue::Closed() const {
  std::lock_guard guard(mqLock);
  return mqClosed;
}

// ---- windows ----

TnxWindowHandle nxAllocateQueueWindow(TnxWndMethod aMethod) {
  TnxMessageQueue* queue = TnxMessageQueue::Current();
  if (!queue || !aMethod) return 0;
  std::lock_guard guard(gWindowLock);
  if (!gWindows) {
    gWindows = new std::vector<WindowSlot>;
    gFreeWindows = new std::vector<uint32_t>;
  }
  uint32_t slot;
  if (!gFreeWindows->empty()) {
    slot = gFreeWindows->back();
    gFreeWindows->pop_back();
  } else {
    gWindows->emplace_back();
    slot = static_cast<uint32_t>(gWindows->size() - 1);
  }
  WindowSlot& w = (*gWindows)[slot];
  w.InUse = true;
  w.Queue = queue;
  w.Method = std::move(aMethod);
  return MakeHandle(slot, w.Generation);
}

void nxDeallocateQueueWindow(TnxWindowHandle aWindow) {
  TnxWndMethod method;  // destroyed outside the lock
  std::lock_guard guard(gWindowLock);
  WindowSlot* w = FindWindow(aWindow);
  if (!w) return;
  method.swap(w->Method);
  w->InUse = false;
  w->Queue = nullptr;
  if (++w->Generation == 0) w->Generation = 1;
  gFreeWindows->push_back(static_cast<uint32_t>(aWindow) - 1);
}

bool nxPostQueueMessage(TnxWindowHandle aWindow, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam) {
  std::lock_guard guard(gWindowLock);
  WindowSlot* w = FindWindow(aWindow);
  // Posting under the table lock: the window's queue lives while it does.
  return w && w->Queue->Post(TnxMessage{aMsg, aWParam, aLParam, 0, aWindow});
}

intptr_t nxSendQueueMessage(TnxWindowHandle aWindow, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam) {
  TnxMessage message{aMsg, aWParam, aLParam, 0, aWindow};
  TnxMessageQueue::PendingSend pending{message, nullptr};
  {
    std::lock_guard guard(gWindowLock);
    WindowSlot* w = FindWindow(aWindow);
    if (!w) return 0;
    if (w->Queue == TnxMessageQueue::Current()) {
      pending.Done = nullptr;  // handled below, directly
    } else {
      // Auto-reset: its waiter takes the event's lock, so closing right after
      // the wait cannot cut into a SetEvent still running.
      pending.Done = platform::CreateEvent(false, false);
      if (!pending.Done) nxRaiseLastOSError(u"nxSendQueueMessage/CreateEvent", 0);
      // Queued under the table lock: the queue cannot go away before it has
      // taken the message, and once taken, closing it answers the sender.
      if (!w->Queue->QueueSend(&pending)) {
        platform::CloseEvent(pending.Done);
        return 0;
      }
    }
  }
  if (!pending.Done) {
    nxDispatchQueueMessage(message);
    return message.Result;
  }
  platform::WaitForEvent(pending.Done, platform::kInfinite);
  platform::CloseEvent(pending.Done);
  return pending.Handled ? pending.Message.Result : 0;
}

bool nxDispatchQueueMessage(TnxMessage& aMessage) {
  TnxWndMethod method;
  {
    std::lock_guard guard(gWindowLock);
    WindowSlot* w = FindWindow(aMessage.Window);
    if (!w) return false;
    method = w->Method;
  }
  method(aMessage);
  return true;
}

}  // namespace revurov
