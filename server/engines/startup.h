// The server engines' start-up: its own unit table, which starts the index
// library (and through it storage, the dictionary and the low-level
// library) first.
//
// Contract: nxServerEnginesStartup and nxServerEnginesShutdown pair up
// around a counter; the first start-up fills the engines' registries, the
// last shut-down empties them.
#pragma once

namespace revurov {

void nxServerEnginesStartup();
void nxServerEnginesShutdown();
// How many start-ups are not yet matched by a shut-down.
int nxServerEnginesStartupCount() noexcept;

class TnxServerEnginesStartupGuard {
public:
  TnxServerEnginesStartupGuard() { nxServerEnginesStartup(); }
  ~TnxServerEnginesStartupGuard() { nxServerEnginesShutdown(); }
  TnxServerEnginesStartupGuard(const TnxServerEnginesStartupGuard&) = delete;
  TnxServerEnginesStartupGuard& operator=(const TnxServerEnginesStartupGuard&) = delete;
};

}  // namespace revurov
