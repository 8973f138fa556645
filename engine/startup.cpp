#include "engine/startup.h"

#include "dictionary/startup.h"
#include "engine/remotable_interfaces.h"
#include "engine/remote_session.h"
#include "lowlevel/sync/unit_table.h"
#include "platform/rtl_component.h"
#include "transport/remoting/startup.h"

namespace revurov {

namespace {

void RemoteEngineClassStartup() { platform::RegisterClass(TnxRemoteServerEngine::ClassInfo()); }
void RemoteEngineClassShutdown() { platform::UnRegisterClass(TnxRemoteServerEngine::ClassInfo()); }

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    // Remote objects travel over the remoting library's channels.
    {&nxRemotingStartup, &nxRemotingShutdown},
    {&nxRemotableInterfacesStartup, &nxRemotableInterfacesShutdown},
    {&nxEquivalentRepliesStartup, &nxEquivalentRepliesShutdown},
    {&RemoteEngineClassStartup, &RemoteEngineClassShutdown},
};

TnxUnitTable gEngineUnits(kUnits, TnxUnitPair{&nxDictionaryStartup, &nxDictionaryShutdown});

}  // namespace

void nxEngineStartup() { gEngineUnits.Startup(); }
void nxEngineShutdown() { gEngineUnits.Shutdown(); }
int nxEngineStartupCount() noexcept { return gEngineUnits.Count(); }

}  // namespace revurov
