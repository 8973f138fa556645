// Completion queue: the library's stand-in for an I/O completion port.
//
// Contract:
// - A completion is (key, bytes, error). Post queues one; Wait hands out one
//   to exactly one waiter, posted ones in the order they were posted.
// - Arm watches a descriptor one-shot: the first time it is readable (or hung
//   up, or in error) it comes out of Wait once as (key, 0, 0) and is then
//   silent until armed again. Arming an armed descriptor replaces its key and
//   re-arms it; the key ~0 is refused. Disarm stops watching; call it before
//   the descriptor closes.
// - Wait returns kWaitObject0 with the completion, kWaitTimeout when
//   timeoutMs ran out (0 only tests, kInfinite waits without limit), or
//   kWaitFailed with errno set.
// - All operations may be called from any thread; the destructor must not
//   race with other use. Pending completions are dropped with the queue.
#pragma once

#include <cstdint>
#include <memory>

namespace revurov::platform {

struct Completion {
  uintptr_t key = 0;
  uint32_t bytes = 0;
  uint32_t error = 0;
};

class CompletionQueue {
 public:
  // Null (errno set) when the system refuses its descriptors.
  static std::unique_ptr<CompletionQueue> Create() noexcept;
  ~CompletionQueue();
  CompletionQueue(const CompletionQueue&) = delete;
  CompletionQueue& operator=(const CompletionQueue&) = delete;

  bool Post(uintptr_t key, uint32_t bytes, uint32_t error) noexcept;
  bool Arm(int fd, uintptr_t key) noexcept;
  bool Disarm(int fd) noexcept;
  uint32_t Wait(Completion& out, uint32_t timeoutMs) noexcept;

  struct State;

 private:
  explicit CompletionQueue(std::unique_ptr<State> state) noexcept;
  std::unique_ptr<State> cqState;
};

}  // namespace revurov::platform
