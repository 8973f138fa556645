#include "client/platform/gui_calls.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace revurov {

namespace {

struct PendingCall {
  const std::function<void()>* Call = nullptr;
  std::exception_ptr Error;
  bool Finished = false;
  bool Ran = false;
};

std::mutex gCallLock;
std::condition_variable gCallFinished;
std::deque<PendingCall*> gCalls;
// Tells a GUI thread waiting in nxWaitWithGuiCalls that a call arrived.
platform::EventHandle gCallArrived = nullptr;
// The application whose end abandons the calls (Qt forgets its post
// routines with it, so each application gets one).
QCoreApplication* gWatchedApp = nullptr;

void AbandonAtApplicationEnd() {
  {
    std::lock_guard guard(gCallLock);
    gWatchedApp = nullptr;
  }
  nxAbandonGuiCalls();
}

platform::EventHandle CallArrived() {
  std::lock_guard guard(gCallLock);
  if (!gCallArrived) gCallArrived = platform::CreateEvent(false, false);
  return gCallArrived;
}

void RunGuiCalls() {
  std::unique_lock lock(gCallLock);
  while (!gCalls.empty()) {
    PendingCall* pending = gCalls.front();
    gCalls.pop_front();
    lock.unlock();
    try {
      (*pending->Call)();
    } catch (...) {
      pending->Error = std::current_exception();
    }
    lock.lock();
    pending->Ran = true;
    pending->Finished = true;
    gCallFinished.notify_all();
  }
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
    if (gWatchedApp != app) {
      qAddPostRoutine(&AbandonAtApplicationEnd);
      gWatchedApp = app;
    }
    gCalls.push_back(&pending);
  }
  platform::SetEvent(arrived);
  QMetaObject::invokeMethod(app, &RunGuiCalls, Qt::QueuedConnection);
  std::unique_lock lock(gCallLock);
  gCallFinished.wait(lock, [&] { return pending.Finished; });
  if (pending.Error) std::rethrow_exception(pending.Error);
  return pending.Ran;
}

uint32_t nxWaitWithGuiCalls(platform::EventHandle aEvent, uint32_t aTimeoutMs) {
  if (!nxIsGuiThread()) return platform::WaitForEvent(aEvent, aTimeoutMs);
  using Clock = std::chrono::steady_clock;
  const bool limited = aTimeoutMs != platform::kInfinite;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? aTimeoutMs : 0);
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

void nxAbandonGuiCalls() noexcept {
  std::lock_guard guard(gCallLock);
  for (PendingCall* pending : gCalls) pending->Finished = true;
  gCalls.clear();
  gCallFinished.notify_all();
}

}  // namespace revurov
