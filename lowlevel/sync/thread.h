// The library's threads: a start handshake so that a thread's start-up step
// has run (and its failure is raised in the creating thread) before the
// creator goes on; wait threads that stay alive after their work until their
// owner frees them; a thread with its own message queue; timer threads.
//
// Contract:
// - Make threads with platform::NewThread<T>(...) and free them with
//   TThread::Free or a platform::TThreadPtr (see platform/rtl_thread.h).
//   For init threads NewThread returns only after DoBeforeExecute has run on
//   the new thread; an exception of it is raised from NewThread as the same
//   exception object, the thread having ended without running its body.
// - Thread body: ThreadExecute; a library exception (platform::Exception)
//   leaving it goes to HandleException, anything else ends the thread
//   (kept as FatalException); then the thread's last converted message is
//   cleared.
// - Waits of the main thread (start handshake, WaitForEx) go through
//   nxPlatformWaitWithMessages, so messages sent to it are handled meanwhile.
// - A timer thread calls Timer every interval until it is freed; freeing
//   wakes it at once. The wait between calls is injectable (tests).
// - A message thread handles the messages of its own queue on its thread:
//   PostThreadMessage goes to the queue, PerformPost/PerformSend to its
//   window (made through nxPlatformAllocateWindow, which must be set).
//   Freeing it (or WaitForQuit) posts the quit message and waits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "lowlevel/errors/exceptions.h"
#include "lowlevel/sync/events.h"
#include "lowlevel/sync/message_queue.h"
#include "lowlevel/sync/platform_interface.h"
#include "lowlevel/sync/thread_priority.h"
#include "platform/os_event.h"
#include "platform/rtl_thread.h"

namespace revurov {

REVUROV_EXCEPTION_CLASS(EnxThread, EnxBaseException);
REVUROV_EXCEPTION_CLASS(EnxInternalInitThread, EnxThread);
REVUROV_EXCEPTION_CLASS(EnxInternalWaitThread, EnxInternalInitThread);
REVUROV_EXCEPTION_CLASS(EnxInitThread, EnxInternalWaitThread);
REVUROV_EXCEPTION_CLASS(EnxMessageThread, EnxInitThread);

// The exception class a thread raises its errors in. Both raisers always
// throw; [[noreturn]] cannot be said of a pointer, so callers say it.
struct TnxThreadExceptionClass {
  void (*RaiseCode)(int64_t aErrorCode);
  void (*RaiseMessage)(std::u16string_view aMessage);
};
template <class E>
const TnxThreadExceptionClass& nxThreadExceptionClass() noexcept {
  static const TnxThreadExceptionClass record{
      [](int64_t aErrorCode) -> void { throw E(aErrorCode); },
      [](std::u16string_view aMessage) -> void { throw E(aMessage); }};
  return record;
}

class TnxThread : public platform::TThread {
public:
  TnxThread(bool aCreateSuspended, platform::TThreadPriority aPriority);

  static void* operator new(std::size_t aSize);
  static void operator delete(void* aPointer) noexcept;

  virtual std::u16string_view ClassName() const noexcept { return u"TnxThread"; }
  // The name given, else the class name.
  std::u16string Name() const { return nxtName.empty() ? std::u16string(ClassName()) : nxtName; }
  void SetName(std::u16string aName) { nxtName = std::move(aName); }

  virtual const TnxThreadExceptionClass& GetExceptionClass() const;
  void CheckError(uint32_t aErrorCode) const;
  [[noreturn]] void RaiseError(int64_t aErrorCode) const;
  [[noreturn]] void RaiseError(std::u16string_view aMessage) const;

  // Waits for the thread's end; false when the time ran out. On the main
  // thread messages sent to it are handled meanwhile.
  bool WaitForEx(uint32_t aTimeoutMs);

protected:
  void Execute() final;
  virtual void ThreadExecute() {}
  virtual void HandleException(const platform::Exception&) {}

private:
  std::u16string nxtName;
};

class TnxInternalInitThread : public TnxThread {
public:
  explicit TnxInternalInitThread(platform::TThreadPriority aPriority);
  ~TnxInternalInitThread() override;

  std::u16string_view ClassName() const noexcept override { return u"TnxInternalInitThread"; }
  const TnxThreadExceptionClass& GetExceptionClass() const override;
  // Starts the thread, waits for its start-up step and raises its failure.
  void AfterConstruction() override;

protected:
  void ThreadExecute() override;
  virtual void DoBeforeExecute() {}
  virtual void InnerExecute() {}
  virtual void DoAfterExecute() {}

private:
  platform::EventHandle itInitSemaphore = nullptr;
  std::exception_ptr itInitException;
};

class TnxInternalWaitThread : public TnxInternalInitThread {
public:
  explicit TnxInternalWaitThread(platform::TThreadPriority aPriority);
  ~TnxInternalWaitThread() override;

  std::u16string_view ClassName() const noexcept override { return u"TnxInternalWaitThread"; }
  const TnxThreadExceptionClass& GetExceptionClass() const override;
  // Lets the thread end, then waits for it.
  void BeforeDestruction() override;
  // The work is done and the thread waits to be let go.
  bool Waiting() const noexcept { return wtWaiting.load(std::memory_order_acquire); }

protected:
  void DoAfterExecute() override;
  void ReleaseWait() noexcept;

private:
  std::atomic<bool> wtWaiting{false};
  platform::EventHandle wtWaitSemaphore = nullptr;
};

class TnxInitThread : public TnxInternalWaitThread {
public:
  explicit TnxInitThread(platform::TThreadPriority aPriority) : TnxInternalWaitThread(aPriority) {}
  std::u16string_view ClassName() const noexcept override { return u"TnxInitThread"; }
  const TnxThreadExceptionClass& GetExceptionClass() const override;
  // Its thread ends as soon as its work is done.
  void AfterConstruction() override;
};

class TnxMessageThread : public TnxInitThread {
public:
  explicit TnxMessageThread(platform::TThreadPriority aPriority) : TnxInitThread(aPriority) {}
  std::u16string_view ClassName() const noexcept override { return u"TnxMessageThread"; }
  const TnxThreadExceptionClass& GetExceptionClass() const override;
  void BeforeDestruction() override;

  TnxWindowHandle Handle() const noexcept { return mtHandle.load(std::memory_order_acquire); }
  bool PerformPost(uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam);
  intptr_t PerformSend(uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam);
  bool PostThreadMessage(uint32_t aMsg, uintptr_t aWParam, intptr_t aLParam);
  bool PostQuitMessage();
  // Unless terminated or never started: posts the quit message, sets the
  // terminated flag and waits for the end.
  void WaitForQuit();

protected:
  void ThreadExecute() override;
  void DoBeforeExecute() override;
  void InnerExecute() override;
  void TerminatedSet() override;
  // A message to the window, handled on the thread. The base passes it to
  // DefaultHandler.
  virtual void DispatchMessage(TnxMessage& aMessage) { DefaultHandler(aMessage); }
  virtual void DefaultHandler(TnxMessage& aMessage) { aMessage.Result = 0; }
  virtual void BeforeDispatch(TnxMessage& /*aMessage*/, bool& /*aHandled*/) {}
  virtual void AfterDispatch(TnxMessage& /*aMessage*/, intptr_t /*aResult*/) {}
  // No message waits; set aDone false to be called again before waiting.
  virtual void Idle(TnxMessage& /*aMessage*/, bool& /*aDone*/) {}

private:
  void HandleMessage(TnxMessage& aMessage);

  TnxMessageQueue mtQueue;
  std::atomic<TnxWindowHandle> mtHandle{0};
};

// The wait of a timer thread between calls: answers true when aEvent was
// signalled, false when the interval ran out. Replaceable for tests; null
// puts back the default (the event's quiet wait; an interval of 0 waits
// until the thread is freed).
using TnxTimerWait = bool (*)(TnxEvent& aEvent, uint32_t aIntervalMs);
void nxSetTimerThreadWait(TnxTimerWait aWait) noexcept;

class TnxTimerThread : public TnxInitThread {
public:
  TnxTimerThread(uint32_t aInterval, platform::TThreadPriority aPriority);
  std::u16string_view ClassName() const noexcept override { return u"TnxTimerThread"; }
  // Wakes the thread at once, then lets it end.
  void BeforeDestruction() override;

  uint32_t Interval() const noexcept { return ttTimerInterval.load(std::memory_order_relaxed); }
  void SetInterval(uint32_t aValue) noexcept { ttTimerInterval.store(aValue, std::memory_order_relaxed); }

protected:
  void InnerExecute() override;
  void TerminatedSet() override;
  virtual void Timer() {}

private:
  TnxEvent ttTimerEvent;
  std::atomic<uint32_t> ttTimerInterval;
};

class TnxSimpleTimerThread : public TnxTimerThread {
public:
  using TCallback = std::function<void(TnxSimpleTimerThread* aSender)>;
  TnxSimpleTimerThread(uint32_t aInterval, platform::TThreadPriority aPriority, TCallback aCallback)
      : TnxTimerThread(aInterval, aPriority), sttCallback(std::move(aCallback)) {}
  std::u16string_view ClassName() const noexcept override { return u"TnxSimpleTimerThread"; }

protected:
  void Timer() override {
    if (sttCallback) sttCallback(this);
  }

private:
  TCallback sttCallback;
};

// Runs aMethod on the main thread and waits: directly when called there,
// otherwise through nxPlatformSynchronize.
void nxSynchronize(const std::function<void()>& aMethod);

}  // namespace revurov
