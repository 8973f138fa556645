// The library's start-up and shut-down: one explicit, ordered sequence of
// unit start-up/shut-down pairs, in place of static constructors (which a
// static-library link may drop).
//
// Contract:
// - nxLowLevelStartup and nxLowLevelShutdown pair up around a counter: the
//   first start-up runs every unit's start-up in order, the last shut-down
//   runs their shut-downs in reverse. Unbalanced extra shut-downs do nothing.
// - The thread that runs the first start-up is the main thread
//   (nxIsMainThread, lowlevel/platform_interface.h).
// - A unit's failing start-up undoes the units already started, leaves the
//   counter at 0 and passes the exception on.
// - Concurrent calls are serialised: no caller returns from start-up before
//   the sequence has finished.
// - To add a unit of this library: give it a pair (nxXxxStartup /
//   nxXxxShutdown, reference-counted itself when other code may call it)
//   and add the pair to the table in startup.cpp at its place in the order.
//   Registries of engine and descriptor families are filled in the
//   start-up of the unit that defines the classes. Libraries above this one
//   keep tables of their own (lowlevel/sync/unit_table.h) that start this
//   one first; they never add units here.
#pragma once


namespace revurov {

void nxLowLevelStartup();
void nxLowLevelShutdown();
// How many start-ups are not yet matched by a shut-down.
int nxLowLevelStartupCount() noexcept;

// Start-up and shut-down for the scope of a guard (tests, programs).
class TnxLowLevelStartupGuard {
public:
  TnxLowLevelStartupGuard() { nxLowLevelStartup(); }
  ~TnxLowLevelStartupGuard() { nxLowLevelShutdown(); }
  TnxLowLevelStartupGuard(const TnxLowLevelStartupGuard&) = delete;
  TnxLowLevelStartupGuard& operator=(const TnxLowLevelStartupGuard&) = delete;
};

}  // namespace revurov
