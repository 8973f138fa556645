// The field-mapping start-up: its own unit table, which starts the
// dictionary first (lowlevel/sync/unit_table.h has the rules).
//
// Contract: nxFieldMapStartup and nxFieldMapShutdown pair up around a
// counter; the first start-up fills the mapper registry and registers the
// mapping descriptor and engine classes, the last shut-down empties them.
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
