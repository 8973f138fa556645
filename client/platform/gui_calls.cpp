#include "client/platform/gui_calls.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
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
// Signalled when a call arrives; the GUI thread's Qt loop watches it through
// a socket notifier, and nxWaitWithGuiCalls waits for it.
platform::EventHandle gCallArrived = nullptr;

// GUI thread only: the notifier and the application it belongs to (Qt's
// post routines end with the application, so each one gets its own).
std::unique_ptr<QSocketNotifier> gNotifier;
QCoreApplication* gNotifierApp = nullptr;
// The notifier is in place: a worker need not post a Qt event to wake the loop.
std::atomic<bool> gNotifierServes{false};

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

void StopNotifier() noexcept {
  gNotifierServes.store(false);
  gNotifier.reset();
  gNotifierApp = nullptr;
}

void AtApplicationEnd() {
  StopNotifier();
  nxAbandonGuiCalls();
}

// GUI thread only.
void EnsureNotifier() {
  QCoreApplication* app = QCoreApplication::instance();
  if (gNotifier && gNotifierApp == app) return;
  const platform::EventHandle arrived = CallArrived();
  gNotifier = std::make_unique<QSocketNotifier>(platform::EventFd(arrived), QSocketNotifier::Read);
  QObject::connect(gNotifier.get(), &QSocketNotifier::activated, [arrived] {
    platform::WaitForEvent(arrived, 0);  // takes the signal that woke us
    RunGuiCalls();
  });
  if (gNotifierApp != app) qAddPostRoutine(&AtApplicationEnd);
  gNotifierApp = app;
  gNotifierServes.store(true);
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
  }
  platform::SetEvent(arrived);
  // Until the GUI thread has its notifier, a Qt event wakes it and sets one up.
  if (!gNotifierServes.load())
    QMetaObject::invokeMethod(
        app,
        [] {
          EnsureNotifier();
          RunGuiCalls();
        },
        Qt::QueuedConnection);
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
  EnsureNotifier();
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
  if (nxIsGuiThread()) EnsureNotifier();
}

void nxAbandonGuiCalls() noexcept {
  if (nxIsGuiThread()) StopNotifier();
  std::lock_guard guard(gCallLock);
  for (PendingCall* pending : gCalls) pending->Finished = true;
  gCalls.clear();
  gCallFinished.notify_all();
}

}  // namespace revurov
