#include "server/startup.h"

#include "engine/startup.h"
#include "index/startup.h"
#include "lowlevel/components/component.h"
#include "lowlevel/sync/unit_table.h"
#include "server/engines/startup.h"
#include "server/server_engine.h"

namespace revurov {

namespace {

void BelowStartup() {
  nxEngineStartup();
  try {
    nxIndexStartup();
  } catch (...) {
    nxEngineShutdown();
    throw;
  }
}

void BelowShutdown() {
  nxIndexShutdown();
  nxEngineShutdown();
}

void ServerEngineStartup() { TnxRegisterableComponent::Register(TnxServerEngine::ClassInfo()); }
void ServerEngineShutdown() { TnxRegisterableComponent::Unregister(TnxServerEngine::ClassInfo()); }

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    {&nxServerEnginesStartup, &nxServerEnginesShutdown},
    {&ServerEngineStartup, &ServerEngineShutdown},
};

TnxUnitTable gServerUnits(kUnits, TnxUnitPair{&BelowStartup, &BelowShutdown});

}  // namespace

void nxServerStartup() { gServerUnits.Startup(); }
void nxServerShutdown() { gServerUnits.Shutdown(); }
int nxServerStartupCount() noexcept { return gServerUnits.Count(); }

}  // namespace revurov
