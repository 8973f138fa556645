#include "client/platform/startup.h"

#include "client/platform/gui_platform.h"
#include "lowlevel/startup.h"
#include "lowlevel/sync/unit_table.h"

namespace revurov {

namespace {

void QtPlatformStartup() { InstallQtPlatform(); }
void QtPlatformShutdown() { RemoveQtPlatform(); }

constexpr TnxUnitPair kUnits[] = {
    {&QtPlatformStartup, &QtPlatformShutdown},
};

TnxUnitTable gGuiPlatformUnits(kUnits, TnxUnitPair{&nxLowLevelStartup, &nxLowLevelShutdown});

}  // namespace

void nxGuiPlatformStartup() { gGuiPlatformUnits.Startup(); }
void nxGuiPlatformShutdown() { gGuiPlatformUnits.Shutdown(); }
int nxGuiPlatformStartupCount() noexcept { return gGuiPlatformUnits.Count(); }

}  // namespace revurov
