// The runtime's thread class: an object whose Execute runs on a thread of
// its own.
//
// Contract:
// - Make threads with NewThread<T>(...): it constructs the object, then
//   runs AfterConstruction, which starts the thread unless it was created
//   suspended (Start starts it later). The object is whole before Execute
//   can run. When AfterConstruction raises, the object is freed and the
//   exception passes on.
// - Free threads with TThread::Free (or a TThreadPtr), never from the
//   thread itself: BeforeDestruction runs while the object is whole; the
//   base's step sets Terminated and waits for the thread's end. A plain
//   delete still waits, but subclass steps do not run.
// - Execute runs once. An exception leaving it is kept (FatalException);
//   then DoTerminate (OnTerminate, called on the ending thread), then the
//   thread counts as finished.
// - Terminate only sets a flag that Execute polls (TerminatedSet lets a
//   subclass wake a waiting Execute). WaitFor/WaitForTimeout may be called
//   from any number of threads, never from the thread itself.
// - Priorities map onto nice values of the thread where the system permits
//   (raising needs privileges; refused changes are ignored).
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/os_event.h"

namespace revurov::platform {

enum class TThreadPriority : uint8_t { tpIdle, tpLowest, tpLower, tpNormal, tpHigher, tpHighest, tpTimeCritical };

// Gives the calling thread a priority as TThread does its own, for threads
// not made as TThread; refused without privileges, then left as is.
void SetCurrentThreadPriority(TThreadPriority aPriority) noexcept;

class TThread {
public:
  explicit TThread(bool aCreateSuspended);
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  static void Free(TThread* aThread);
  virtual void AfterConstruction();
  virtual void BeforeDestruction();

  // Starts a thread created suspended; nothing once started.
  void Start();
  void Terminate();
  bool Terminated() const noexcept { return tTerminated.load(std::memory_order_acquire); }
  bool Started() const noexcept { return tStarted.load(std::memory_order_acquire); }
  bool Finished() const noexcept { return tFinished.load(std::memory_order_acquire); }
  // Created suspended and not started yet.
  bool Suspended() const noexcept { return !Started(); }

  // Waits for the end (nothing to wait for when never started); answers
  // the return value.
  int32_t WaitFor();
  // False when the time ran out first.
  bool WaitForTimeout(uint32_t aTimeoutMs);
  // Signalled once the thread has finished (for waits of one's own).
  EventHandle FinishedEvent() const noexcept { return tFinishedEvent; }

  uint32_t ThreadID() const noexcept { return tThreadID.load(std::memory_order_acquire); }
  TThreadPriority Priority() const noexcept { return tPriority; }
  void SetPriority(TThreadPriority aPriority);
  int32_t ReturnValue() const noexcept { return tReturnValue; }
  std::exception_ptr FatalException() const noexcept { return tFatalException; }

  std::function<void(TThread* aSender)> OnTerminate;

protected:
  virtual void Execute() = 0;
  virtual void DoTerminate();
  // Called by Terminate after the flag is set.
  virtual void TerminatedSet() {}
  void SetReturnValue(int32_t aValue) noexcept { tReturnValue = aValue; }

private:
  static void* ThreadProc(void* aSelf);
  void ApplyPriority() noexcept;
  void Join() noexcept;

  std::atomic<bool> tTerminated{false};
  std::atomic<bool> tStarted{false};
  std::atomic<bool> tFinished{false};
  std::atomic<uint32_t> tThreadID{0};
  bool tCreateSuspended = false;
  bool tJoined = false;
  TThreadPriority tPriority = TThreadPriority::tpNormal;
  int32_t tReturnValue = 0;
  std::exception_ptr tFatalException;
  EventHandle tFinishedEvent = nullptr;
  uintptr_t tHandle = 0;  // the system's thread handle, kept opaque
  std::mutex tStartLock;  // Start and Join
};

struct TThreadDeleter {
  void operator()(TThread* aThread) const { TThread::Free(aThread); }
};
template <class T>
using TThreadPtr = std::unique_ptr<T, TThreadDeleter>;

template <class T, class... Args>
TThreadPtr<T> NewThread(Args&&... aArgs) {
  T* thread = new T(std::forward<Args>(aArgs)...);
  try {
    thread->AfterConstruction();
  } catch (...) {
    TThread::Free(thread);
    throw;
  }
  return TThreadPtr<T>(thread);
}

}  // namespace revurov::platform
