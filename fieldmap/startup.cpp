#include "fieldmap/startup.h"

#include "dictionary/startup.h"
#include "fieldmap/field_mapper_base.h"
#include "fieldmap/field_mapper_registrations.h"
#include "lowlevel/sync/unit_table.h"

namespace revurov {

namespace {

// The registry unit: its shut-down releases every pair, whoever filled it.
void RegistryStartup() {}
void RegistryShutdown() { nxClearFieldMapperRegistry(); }

void GeneralMappersStartup() { nxRegisterGeneralFieldMappers(); }
void GeneralMappersShutdown() {}

constexpr TnxUnitPair kUnits[] = {
    {&RegistryStartup, &RegistryShutdown},
    {&GeneralMappersStartup, &GeneralMappersShutdown},
};

TnxUnitTable gFieldMapUnits(kUnits, TnxUnitPair{&nxDictionaryStartup, &nxDictionaryShutdown});

}  // namespace

void nxFieldMapStartup() { gFieldMapUnits.Startup(); }
void nxFieldMapShutdown() { gFieldMapUnits.Shutdown(); }
int nxFieldMapStartupCount() noexcept { return gFieldMapUnits.Count(); }

}  // namespace revurov
