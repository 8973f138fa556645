// The memory manager's maintenance thread: gives unused memory back in a
// fixed rotation, one step per period (500 ms), or at once on request.
//
// Each period runs the pool clean-up and then one step of the rotation:
// committed blocks, physical blocks, committed, physical, regions. A request
// runs two full rounds of every trim at once and answers the requester.
//
// Contract:
// - Start creates the thread unless it runs; Stop sets the stop flag and
//   always joins the thread, so nothing it trims goes away under it. Stop
//   before the thread reached its loop simply ends it there.
// - CleanupNow waits for a round that started after the request (requests
//   made during a round merge into the next); it answers false after
//   timeoutMs, and at once (true) when the thread is not running or when the
//   caller is the maintenance thread itself.
// - An exception in a round is swallowed and counted; the eleventh ends the
//   thread, after which CleanupNow returns at once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace revurov::mm {

struct TnxMaintenanceOps {
  void (*PoolsCleanup)();
  void (*BlockTrim)();
  void (*PhysicalBlockTrim)();
  void (*RegionTrim)();
};

class TnxMaintenanceThread {
public:
  explicit TnxMaintenanceThread(const TnxMaintenanceOps& ops, uint32_t periodMs = 500) noexcept
      : ops_(ops), periodMs_(periodMs) {}
  ~TnxMaintenanceThread() { Stop(); }
  TnxMaintenanceThread(const TnxMaintenanceThread&) = delete;
  TnxMaintenanceThread& operator=(const TnxMaintenanceThread&) = delete;

  void Start();
  void Stop() noexcept;
  bool CleanupNow(uint32_t timeoutMs = 10000) noexcept;
  bool Running() const noexcept;
  bool IsCurrentThread() const noexcept;
  // The thread has left its loop (stopped or too many exceptions).
  bool Ended() const noexcept;

private:
  void Run() noexcept;
  void Round() const;

  const TnxMaintenanceOps ops_;
  const uint32_t periodMs_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::thread thread_;
  std::thread::id id_;
  bool stop_ = false;
  bool ended_ = true;
  uint64_t requested_ = 0;
  uint64_t served_ = 0;
};

}  // namespace revurov::mm
