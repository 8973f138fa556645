#include "index/startup.h"

#include "index/cache_keyless_bstar_tree.h"
#include "index/index_engines.h"
#include "index/keyless_bstar_tree.h"
#include "index/simple_indices_engine.h"
#include "index/static_key_bstar_tree.h"
#include "lowlevel/sync/unit_table.h"
#include "storage/startup.h"

namespace revurov {

namespace {

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    {&nxIndexEngineFamiliesStartup, &nxIndexEngineFamiliesShutdown},
    {&nxSimpleIndicesEngineStartup, &nxSimpleIndicesEngineShutdown},
    {&nxStaticKeyBstarTreeStartup, &nxStaticKeyBstarTreeShutdown},
    {&nxKeylessBstarTreeStartup, &nxKeylessBstarTreeShutdown},
    {&nxCacheKeylessBstarTreeStartup, &nxCacheKeylessBstarTreeShutdown},
};

TnxUnitTable gIndexUnits(kUnits, TnxUnitPair{&nxStorageStartup, &nxStorageShutdown});

}  // namespace

void nxIndexStartup() { gIndexUnits.Startup(); }
void nxIndexShutdown() { gIndexUnits.Shutdown(); }
int nxIndexStartupCount() noexcept { return gIndexUnits.Count(); }

}  // namespace revurov
