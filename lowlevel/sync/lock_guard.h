// TnxLockGuard: holds a lock for the guard's lifetime.
//
// One guard for every lock of the library: the lock's type and its enter and
// leave operations are template arguments (member functions, or functions
// taking the lock by reference), so a guard costs exactly the two calls.
//
// Contract:
// - The constructor enters the lock (or adopts one the caller has already
//   entered, with nxAdoptLock); the destructor leaves it, once.
// - When entering answers something (the portal's BeginWrite: undisturbed;
//   a list's BeginWrite: the list), Entered() gives that answer.
// - A guard is neither copied nor moved; a function may still hand a new
//   guard to its caller as a return value.
#pragma once

#include <functional>
#include <type_traits>

namespace revurov {

// Tag: the caller has entered the lock already; the guard only leaves it.
struct TnxAdoptLock {
  explicit TnxAdoptLock() = default;
};
inline constexpr TnxAdoptLock nxAdoptLock{};

namespace detail {

// What entering answered, kept only when there is something to keep.
template <class R>
struct TnxEnterAnswer {
  R lgValue{};
  R Get() const noexcept { return lgValue; }
};
template <class R>
struct TnxEnterAnswer<R&> {
  R* lgValue = nullptr;
  R& Get() const noexcept { return *lgValue; }
};
template <>
struct TnxEnterAnswer<void> {};

}  // namespace detail

template <class Lock, auto Enter, auto Leave>
class TnxLockGuard {
  using EnterResult = std::invoke_result_t<decltype(Enter), Lock&>;

public:
  explicit TnxLockGuard(Lock& aLock) : lgLock(aLock) {
    if constexpr (std::is_void_v<EnterResult>) {
      std::invoke(Enter, lgLock);
    } else if constexpr (std::is_reference_v<EnterResult>) {
      lgAnswer.lgValue = &std::invoke(Enter, lgLock);
    } else {
      lgAnswer.lgValue = std::invoke(Enter, lgLock);
    }
  }
  TnxLockGuard(Lock& aLock, TnxAdoptLock) noexcept
    requires std::is_void_v<EnterResult>
      : lgLock(aLock) {}
  ~TnxLockGuard() { std::invoke(Leave, lgLock); }
  TnxLockGuard(const TnxLockGuard&) = delete;
  TnxLockGuard& operator=(const TnxLockGuard&) = delete;

  decltype(auto) Entered() const noexcept
    requires(!std::is_void_v<EnterResult>)
  {
    return lgAnswer.Get();
  }

private:
  Lock& lgLock;
  [[no_unique_address]] detail::TnxEnterAnswer<EnterResult> lgAnswer;
};

}  // namespace revurov
