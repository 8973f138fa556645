// The GUI binding's start-up: its own unit table, which starts the
// low-level library first (lowlevel/sync/unit_table.h has the rules).
//
// Contract: nxGuiPlatformStartup and nxGuiPlatformShutdown pair up around a
// counter: the first start-up starts the low-level library and installs the
// Qt hooks (client/platform/gui_platform.h), the last shut-down puts every
// hook back and then stops the low-level library. Run both on the GUI
// thread.
#pragma once

namespace revurov {

void nxGuiPlatformStartup();
void nxGuiPlatformShutdown();
// How many start-ups are not yet matched by a shut-down.
int nxGuiPlatformStartupCount() noexcept;

class TnxGuiPlatformStartupGuard {
public:
  TnxGuiPlatformStartupGuard() { nxGuiPlatformStartup(); }
  ~TnxGuiPlatformStartupGuard() { nxGuiPlatformShutdown(); }
  TnxGuiPlatformStartupGuard(const TnxGuiPlatformStartupGuard&) = delete;
  TnxGuiPlatformStartupGuard& operator=(const TnxGuiPlatformStartupGuard&) = delete;
};

}  // namespace revurov
