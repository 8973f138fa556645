// The remoting library's start-up: its own unit table, which starts the
// low-level library first (lowlevel/sync/unit_table.h has the rules).
//
// Contract: nxRemotingStartup and nxRemotingShutdown pair up around a
// counter; the first start-up starts the low-level library and then the
// remoting units in order (the remoting types: process identity and the
// library's hooks; the keep-alive service, whose process-wide queue the
// shut-down frees; the channels, which install the transport's hook for
// remoting calls; the class activator pair; the invokable pair and the
// invoke registry; the remoting client's class registration), the last
// shut-down stops them in reverse and then the
// low-level library.
#pragma once

namespace revurov {

void nxRemotingStartup();
void nxRemotingShutdown();
// How many start-ups are not yet matched by a shut-down.
int nxRemotingStartupCount() noexcept;

class TnxRemotingStartupGuard {
public:
  TnxRemotingStartupGuard() { nxRemotingStartup(); }
  ~TnxRemotingStartupGuard() { nxRemotingShutdown(); }
  TnxRemotingStartupGuard(const TnxRemotingStartupGuard&) = delete;
  TnxRemotingStartupGuard& operator=(const TnxRemotingStartupGuard&) = delete;
};

}  // namespace revurov
