#include "lowlevel/startup.h"

#include "lowlevel/cipher/base_cipher.h"
#include "lowlevel/cipher/base_compressor.h"
#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/cipher/lz4_compressor.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/exception_data.h"
#include "lowlevel/sync/events.h"
#include "lowlevel/sync/platform_interface.h"
#include "lowlevel/sync/unit_table.h"
#include "lowlevel/wide_strings/wide_string.h"
#include "lowlevel/wide_strings/wide_string_categories.h"

namespace revurov {

namespace {

void MainThreadStartup() { nxSetIsMainThread(true); }
void MainThreadShutdown() { nxSetIsMainThread(false); }

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    // The heap binds first: every later unit may allocate.
    {&nxMemoryManagerBind, &nxMemoryManagerUnbind},
    {&MainThreadStartup, &MainThreadShutdown},
    {&nxSyncStartup, &nxSyncShutdown},
    {&nxExceptionDataStartup, &nxExceptionDataShutdown},
    {&nxBaseCipherStartup, &nxBaseCipherShutdown},
    {&nxBlowfishRC4Startup, &nxBlowfishRC4Shutdown},
    {&nxBaseCompressorStartup, &nxBaseCompressorShutdown},
    {&nxLz4CompressorStartup, &nxLz4CompressorShutdown},
    {&nxWideStringStartup, &nxWideStringShutdown},
    {&nxWideStringCategoriesStartup, &nxWideStringCategoriesShutdown},
};

TnxUnitTable gLowLevelUnits(kUnits);

}  // namespace

void nxLowLevelStartup() { gLowLevelUnits.Startup(); }
void nxLowLevelShutdown() { gLowLevelUnits.Shutdown(); }
int nxLowLevelStartupCount() noexcept { return gLowLevelUnits.Count(); }

}  // namespace revurov
