// The server library's start-up: its own unit table, which starts the
// engine interface and the index library (and through them storage, the
// dictionary and the low-level library) first.
//
// Contract: nxServerStartup and nxServerShutdown pair up around a counter;
// the first start-up registers TnxServerEngine in the component class
// registry, the last shut-down removes it.
#pragma once

namespace revurov {

void nxServerStartup();
void nxServerShutdown();
// How many start-ups are not yet matched by a shut-down.
int nxServerStartupCount() noexcept;

class TnxServerStartupGuard {
public:
  TnxServerStartupGuard() { nxServerStartup(); }
  ~TnxServerStartupGuard() { nxServerShutdown(); }
  TnxServerStartupGuard(const TnxServerStartupGuard&) = delete;
  TnxServerStartupGuard& operator=(const TnxServerStartupGuard&) = delete;
};

}  // namespace revurov
