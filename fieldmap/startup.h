// The field-mapping start-up: its own unit table, which starts the
// dictionary first (lowlevel/sync/unit_table.h has the rules).
//
// Contract: nxFieldMapStartup and nxFieldMapShutdown pair up around a
// counter; the first start-up fills the mapper registry, the last
// shut-down empties it whole.
#pragma once

namespace revurov {

void nxFieldMapStartup();
void nxFieldMapShutdown();
int nxFieldMapStartupCount() noexcept;

class TnxFieldMapStartupGuard {
public:
  TnxFieldMapStartupGuard() { nxFieldMapStartup(); }
  ~TnxFieldMapStartupGuard() { nxFieldMapShutdown(); }
  TnxFieldMapStartupGuard(const TnxFieldMapStartupGuard&) = delete;
  TnxFieldMapStartupGuard& operator=(const TnxFieldMapStartupGuard&) = delete;
};

}  // namespace revurov
