// A thread's message queue and the library's own windows: message targets
// that belong to the queue of the thread that made them. This replaces the
// hidden windows a message thread would otherwise own.
//
// Contract:
// - A queue belongs to one thread (its owner), which attaches it and is the
//   only one to take messages from it. Any thread may post or send.
// - Posted messages wait in order. A message sent from another thread waits
//   until the owner next takes messages (Peek or WaitMessage), which handles
//   it at once through its window's method; the sender gets the result. Sent
//   from the owner, it is handled directly. A sender does not handle
//   messages sent to itself while it waits: two threads must not send to
//   each other's windows.
// - Close (also by destruction) refuses further messages, drops posted ones
//   and answers waiting senders with 0.
// - Windows are handles (slot + generation): a message to a window that is
//   gone is refused (post false, send 0), never delivered elsewhere.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>

#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/sync/platform_interface.h"
#include "platform/os_event.h"

namespace revurov {

class TnxMessageQueue : public TnxObject {
public:
  TnxMessageQueue();
  ~TnxMessageQueue() override;

  // The calling thread's queue; null when it has none.
  static TnxMessageQueue* Current() noexcept;
  void Attach() noexcept;  // becomes the calling thread's queue
  void Detach() noexcept;

  bool Post(const TnxMessage& aMessage);
  // Owner: handles waiting sent messages, then takes the oldest posted one.
  bool Peek(TnxMessage& aMessage);
  // Owner: handles sent messages until a posted one waits or the time runs
  // out (kInfinite: no limit); false on time-out, Wake or when closed.
  bool WaitMessage(uint32_t aTimeoutMs);
  // Ends the owner's current (or next) WaitMessage without a message.
  void Wake();
  void Close();
  bool Closed() const;
  // Signalled when something was queued, for an owner whose own loop waits
  // on its EventFd and then takes messages with WaitMessage(0) and Peek.
  platform::EventHandle ArrivedEvent() const noexcept { return mqArrived; }

  // A send waiting for the owner (used by the window routines).
  struct PendingSend {
    TnxMessage Message;
    platform::EventHandle Done;
    bool Handled = false;
  };
  bool QueueSend(PendingSend* aPending);

private:
  void HandleSent(std::unique_lock<std::mutex>& aLock);

  mutable std::mutex mqLock;
  std::deque<TnxMessage> mqPosted;
  std::deque<PendingSend*> mqSent;
  platform::EventHandle mqArrived = nullptr;  // auto: something was queued
  bool mqClosed = false;
  bool mqWoken = false;
};

// The library's windows (the defaults of the window hooks). A window made
// on a thread without a queue cannot be made (0).
TnxWindowHandle nxAllocateQueueWindow(TnxWndMethod aMethod);
void nxDeallocateQueueWindow(TnxWindowHandle aWindow);
bool nxPostQueueMessage(TnxWindowHandle aWindow, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam);
intptr_t nxSendQueueMessage(TnxWindowHandle aWindow, uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam);
// Hands a message to its window's method; false when the window is gone.
bool nxDispatchQueueMessage(TnxMessage& aMessage);

}  // namespace revurov
