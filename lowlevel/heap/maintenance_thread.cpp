#include "lowlevel/heap/maintenance_thread.h"

#include <chrono>

#include "platform/os_thread.h"

namespace revurov::mm {

namespace {
constexpr int kMaxErrors = 11;
}

void TnxMaintenanceThread::Start() {
  std::lock_guard lock(mu_);
  if (thread_.joinable()) return;
  stop_ = false;
  ended_ = false;
  thread_ = std::thread([this] { Run(); });
  id_ = thread_.get_id();
}

void TnxMaintenanceThread::Stop() noexcept {
  std::thread t;
  {
    std::lock_guard lock(mu_);
    if (!thread_.joinable()) return;
    stop_ = true;
    t = std::move(thread_);
  }
  cv_.notify_all();
  // Always joined: the time-limited wait followed by freeing what the
  // thread may still be trimming would be a use after free.
  t.join();
}

bool TnxMaintenanceThread::Running() const noexcept {
  std::lock_guard lock(mu_);
  return thread_.joinable() && !ended_;
}

bool TnxMaintenanceThread::Ended() const noexcept {
  std::lock_guard lock(mu_);
  return ended_;
}

bool TnxMaintenanceThread::IsCurrentThread() const noexcept {
  std::lock_guard lock(mu_);
  return id_ == std::this_thread::get_id();
}

bool TnxMaintenanceThread::CleanupNow(uint32_t timeoutMs) noexcept {
  std::unique_lock lock(mu_);
  if (ended_ || stop_ || id_ == std::this_thread::get_id()) return true;
  const uint64_t ticket = ++requested_;
  cv_.notify_all();
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return served_ >= ticket || ended_; });
}

void TnxMaintenanceThread::Round() const {
  ops_.PoolsCleanup();
  ops_.BlockTrim();
  ops_.PhysicalBlockTrim();
  ops_.RegionTrim();
}

void TnxMaintenanceThread::Run() noexcept {
  // Time-critical where the system lets us raise the priority; ignored
  // otherwise.
  platform::SetThreadNice(platform::CurrentThreadId(), -20);
  uint32_t step = 0;
  int errors = 0;
  std::unique_lock lock(mu_);
  for (;;) {
    const bool woken = cv_.wait_for(lock, std::chrono::milliseconds(periodMs_),
                                    [&] { return stop_ || requested_ > served_; });
    if (stop_) break;
    const bool immediate = woken;
    const uint64_t taking = requested_;
    lock.unlock();
    try {
      ops_.PoolsCleanup();
      if (immediate) {
        Round();
        Round();
        step = 0;
      } else {
        switch (step) {
          case 1:
          case 3: ops_.BlockTrim(); break;
          case 2:
          case 4: ops_.PhysicalBlockTrim(); break;
          case 5:
            ops_.RegionTrim();
            step = 0;
            break;
          default: break;
        }
        ++step;
      }
    } catch (...) {
      ++errors;
    }
    lock.lock();
    // The requester is answered also when the round failed.
    if (immediate) served_ = taking;
    cv_.notify_all();
    if (errors >= kMaxErrors) break;
  }
  ended_ = true;
  cv_.notify_all();
}

}  // namespace revurov::mm
