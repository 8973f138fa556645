#include "server/engines/startup.h"

#include "index/startup.h"
#include "lowlevel/sync/unit_table.h"
#include "server/engines/blob_cache_key_engine.h"
#include "server/engines/fulltext_cursor_engine.h"
#include "server/engines/fulltext_table_engine.h"
#include "server/engines/fulltext_token_indices.h"
#include "server/engines/referential_integrity.h"
#include "server/engines/sort_engine.h"

namespace revurov {

namespace {

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    {&nxFulltextTableEnginesStartup, &nxFulltextTableEnginesShutdown},
    {&nxFulltextCursorEnginesStartup, &nxFulltextCursorEnginesShutdown},
    {&nxFulltextTokenIndicesStartup, &nxFulltextTokenIndicesShutdown},
    {&nxMergeSortEngineStartup, &nxMergeSortEngineShutdown},
    {&nxBlobCacheKeyEngineStartup, &nxBlobCacheKeyEngineShutdown},
    {&nxRefIntegrityEnginesStartup, &nxRefIntegrityEnginesShutdown},
};

TnxUnitTable gServerEnginesUnits(kUnits, TnxUnitPair{&nxIndexStartup, &nxIndexShutdown});

}  // namespace

void nxServerEnginesStartup() { gServerEnginesUnits.Startup(); }
void nxServerEnginesShutdown() { gServerEnginesUnits.Shutdown(); }
int nxServerEnginesStartupCount() noexcept { return gServerEnginesUnits.Count(); }

}  // namespace revurov
