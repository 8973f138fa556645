#include "client/platform/gui_calls.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <chrono>
#include <deque>
#include <exception>
#include <mutex>
#include <semaphore>
#include <thread>

namespace revurov {

namespace {

struct PendingCall {
  const std::function<void()>* Call = nullptr;
  std::exception_ptr Error;
  std::binary_semaphore Finished{0};
  bool Ran = false;
};

std::mutex gCallLock;
std::deque<PendingCall*> gCalls;
// Signalled when a call arrives, for a GUI thread in nxWaitWithGuiCalls.
platform::EventHandle gCallArrived = nullptr;
std::atomic<size_t> gCallCount{0};  // gCalls.size(), read without the lock

// The watch of the GUI thread's loop: a worker wakes the loop's dispatcher,
// whose awake signal (every turn of the loop) runs the waiting calls. Set
// up and torn down on the GUI thread only; Qt's post routines end with the
// application, so each application gets its own.
std::atomic<QAbstractEventDispatcher*> gWatchedDispatcher{nullptr};
std::atomic<int> gWaking{0};  // callers between reading the dispatcher and waking it
QMetaObject::Connection gWatch;
QCoreApplication* gWatchedApp = nullptr;

platform::EventHandle CallArrived() {
  std::lock_guard guard(gCallLock);
  if (!gCallArrived) gCallArrived = platform::CreateEvent(false, false);
  return gCallArrived;
}

void RunGuiCalls() {
  if (gCallCount.load(std::memory_order_acquire) == 0) return;
  std::unique_lock lock(gCallLock);
  while (!gCalls.empty()) {
    PendingCall* pending = gCalls.front();
    gCalls.pop_front();
    gCallCount.store(gCalls.size(), std::memory_order_release);
    lock.unlock();
    try {
      (*pending->Call)();
    } catch (...) {
      pending->Error = std::current_exception();
    }
    pending->Ran = true;
    pending->Finished.release();  // the caller may free it from here on
    lock.lock();
  }
}

// Once it returns, no caller still wakes the old dispatcher.
void StopWatch() noexcept {
  gWatchedDispatcher.store(nullptr);
  while (gWaking.load() != 0) std::this_thread::yield();
  QObject::disconnect(gWatch);
}

void AtApplicationEnd() {
  StopWatch();
  gWatchedApp = nullptr;
  nxAbandonGuiCalls();
}

// GUI thread only.
void EnsureWatch() {
  QCoreApplication* app = QCoreApplication::instance();
  QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
  if (!app || !dispatcher || gWatchedDispatcher.load() == dispatcher) return;
  QObject::disconnect(gWatch);
  gWatch = QObject::connect(dispatcher, &QAbstractEventDispatcher::awake, &RunGuiCalls);
  if (gWatchedApp != app) qAddPostRoutine(&AtApplicationEnd);
  gWatchedApp = app;
  gWatchedDispatcher.store(dispatcher);
}

}  // namespace

bool nxIsGuiThread() noexcept {
  const QCoreApplication* app = QCoreApplication::instance();
  return app && QThread::currentThread() == app->thread();
}

bool nxCallOnGuiThread(const std::function<void()>& aCall) {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return false;
  if (QThread::currentThread() == app->thread()) {
    aCall();
    return true;
  }
  const platform::EventHandle arrived = CallArrived();
  PendingCall pending;
  pending.Call = &aCall;
  {
    std::lock_guard guard(gCallLock);
    gCalls.push_back(&pending);
    gCallCount.store(gCalls.size(), std::memory_order_release);
  }
  platform::SetEvent(arrived);
  bool woken = false;
  gWaking.fetch_add(1);
  if (QAbstractEventDispatcher* dispatcher = gWatchedDispatcher.load()) {
    dispatcher->wakeUp();
    woken = true;
  }
  gWaking.fetch_sub(1);
  // Until the GUI thread watches its loop, a Qt event wakes it and sets the watch up.
  if (!woken)
    QMetaObject::invokeMethod(
        app,
        [] {
          EnsureWatch();
          RunGuiCalls();
        },
        Qt::QueuedConnection);
  pending.Finished.acquire();
  if (pending.Error) std::rethrow_exception(pending.Error);
  return pending.Ran;
}

uint32_t nxWaitWithGuiCalls(platform::EventHandle aEvent, uint32_t aTimeoutMs) {
  if (!nxIsGuiThread()) return platform::WaitForEvent(aEvent, aTimeoutMs);
  using Clock = std::chrono::steady_clock;
  const bool limited = aTimeoutMs != platform::kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? aTimeoutMs : 0);
  EnsureWatch();
  const platform::EventHandle events[] = {aEvent, CallArrived()};
  for (;;) {
    uint32_t left = platform::kInfinite;
    if (limited) {
      const auto rest = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      left = rest > 0 ? static_cast<uint32_t>(rest) : 0;
    }
    const uint32_t result = platform::WaitForEvents(events, 2, left);
    if (result != platform::kWaitObject0 + 1) return result;
    RunGuiCalls();
  }
}

void nxServeGuiCalls() {
  if (nxIsGuiThread()) EnsureWatch();
}

void nxAbandonGuiCalls() noexcept {
  if (nxIsGuiThread()) StopWatch();
  std::lock_guard guard(gCallLock);
  for (PendingCall* pending : gCalls) pending->Finished.release();
  gCalls.clear();
  gCallCount.store(0, std::memory_order_release);
}

}  // namespace revurov
