#include "dictionary/startup.h"

#include "dictionary/field_types.h"
#include "dictionary/fmt_bcd.h"
#include "lowlevel/startup.h"
#include "lowlevel/sync/unit_table.h"

namespace revurov {

namespace {

void FieldTypeNamesStartup() { nxBuildFieldTypeNameLists(); }
void FieldTypeNamesShutdown() { nxFreeFieldTypeNameLists(); }

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    {&FieldTypeNamesStartup, &FieldTypeNamesShutdown},
    {&nxFmtBcdStartup, &nxFmtBcdShutdown},
};

TnxUnitTable gDictionaryUnits(kUnits, TnxUnitPair{&nxLowLevelStartup, &nxLowLevelShutdown});

}  // namespace

void nxDictionaryStartup() { gDictionaryUnits.Startup(); }
void nxDictionaryShutdown() { gDictionaryUnits.Shutdown(); }
int nxDictionaryStartupCount() noexcept { return gDictionaryUnits.Count(); }

}  // namespace revurov
