// The engine's start-up: its own unit table, which starts the dictionary
// (and through it the low-level library) first (lowlevel/sync/unit_table.h
// has the rules).
//
// Contract: nxEngineStartup and nxEngineShutdown pair up around a counter;
// the first start-up starts the remoting library, registers the engine's
// remotable interfaces (engine/remotable_interfaces.h), fills the
// equivalent-reply table and registers the remote engine's component
// class; the last shut-down undoes them in reverse.
#pragma once

namespace revurov {

void nxEngineStartup();
void nxEngineShutdown();
// How many start-ups are not yet matched by a shut-down.
int nxEngineStartupCount() noexcept;

class TnxEngineStartupGuard {
public:
  TnxEngineStartupGuard() { nxEngineStartup(); }
  ~TnxEngineStartupGuard() { nxEngineShutdown(); }
  TnxEngineStartupGuard(const TnxEngineStartupGuard&) = delete;
  TnxEngineStartupGuard& operator=(const TnxEngineStartupGuard&) = delete;
};

}  // namespace revurov
