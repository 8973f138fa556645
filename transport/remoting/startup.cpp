#include "transport/remoting/startup.h"

#include "lowlevel/startup.h"
#include "lowlevel/sync/unit_table.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/class_activator_pair.h"
#include "transport/remoting/class_proxies.h"
#include "transport/remoting/class_stubs.h"
#include "transport/remoting/invokable_pair.h"
#include "transport/remoting/keep_alive.h"
#include "transport/remoting/remoting_client.h"
#include "transport/remoting/remoting_types.h"

namespace revurov {

namespace {

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    {&nxRemotingTypesStartup, &nxRemotingTypesShutdown},
    {&nxKeepAliveStartup, &nxKeepAliveShutdown},
    {&nxChannelsStartup, &nxChannelsShutdown},
    {&nxClassStubsStartup, &nxClassStubsShutdown},
    {&nxClassProxiesStartup, &nxClassProxiesShutdown},
    {&nxClassActivatorPairStartup, &nxClassActivatorPairShutdown},
    {&nxInvokablePairStartup, &nxInvokablePairShutdown},
    {&nxRemotingClientStartup, &nxRemotingClientShutdown},
};

TnxUnitTable gRemotingUnits(kUnits, TnxUnitPair{&nxLowLevelStartup, &nxLowLevelShutdown});

}  // namespace

void nxRemotingStartup() { gRemotingUnits.Startup(); }
void nxRemotingShutdown() { gRemotingUnits.Shutdown(); }
int nxRemotingStartupCount() noexcept { return gRemotingUnits.Count(); }

}  // namespace revurov
