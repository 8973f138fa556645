// The index library's start-up: its own unit table, which starts the
// storage library first (lowlevel/sync/unit_table.h has the rules).
#pragma once

namespace revurov {

void nxIndexStartup();
void nxIndexShutdown();
// How many start-ups are not yet matched by a shut-down.
int nxIndexStartupCount() noexcept;

class TnxIndexStartupGuard {
public:
  TnxIndexStartupGuard() { nxIndexStartup(); }
  ~TnxIndexStartupGuard() { nxIndexShutdown(); }
  TnxIndexStartupGuard(const TnxIndexStartupGuard&) = delete;
  TnxIndexStartupGuard& operator=(const TnxIndexStartupGuard&) = delete;
};

}  // namespace revurov
