// A library's start-up: one explicit, ordered table of unit start-up and
// shut-down pairs, in place of static constructors (which a static-library
// link may drop). Every library has its own table and starts the library
// below it first, so a program starts the top library it uses and the chain
// reaches down to the heap.
//
// Contract:
// - Startup and Shutdown pair up around a counter: the first Startup starts
//   the library below, then every unit in order; the last Shutdown stops the
//   units in reverse, then the library below. Unbalanced extra shut-downs do
//   nothing.
// - A unit's failing start-up undoes the units already started and the
//   library below, leaves the counter at 0 and passes the exception on.
// - Concurrent calls are serialised: no caller returns from Startup before
//   the sequence has finished. A unit must not start its own table again.
// - A unit that other code may start on its own as well keeps its own
//   counter with nxUnitStartupIsFirst / nxUnitShutdownIsLast.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <span>

namespace revurov {

struct TnxUnitPair {
  void (*Startup)() = nullptr;
  void (*Shutdown)() = nullptr;
};

class TnxUnitTable {
public:
  // aBelow starts and stops the library below; empty at the bottom.
  constexpr TnxUnitTable(std::span<const TnxUnitPair> aUnits, TnxUnitPair aBelow = {}) noexcept
      : utUnits(aUnits), utBelow(aBelow) {}
  TnxUnitTable(const TnxUnitTable&) = delete;
  TnxUnitTable& operator=(const TnxUnitTable&) = delete;

  void Startup();
  void Shutdown();
  // How many start-ups are not yet matched by a shut-down.
  int Count() noexcept;

private:
  std::span<const TnxUnitPair> utUnits;
  TnxUnitPair utBelow;
  std::mutex utLock;
  int utCount = 0;
};

// A unit's own start-up counter: nxUnitStartupIsFirst counts a start-up and
// answers whether it is the first; nxUnitShutdownIsLast counts a shut-down
// and answers whether it matched the last start-up. An unmatched shut-down
// does nothing and answers false.
inline bool nxUnitStartupIsFirst(std::atomic<int>& aCount) noexcept {
  return aCount.fetch_add(1, std::memory_order_acq_rel) == 0;
}

inline bool nxUnitShutdownIsLast(std::atomic<int>& aCount) noexcept {
  int started = aCount.load(std::memory_order_acquire);
  do {
    if (started == 0) return false;
  } while (!aCount.compare_exchange_weak(started, started - 1, std::memory_order_acq_rel));
  return started == 1;
}

}  // namespace revurov
