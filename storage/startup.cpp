#include "storage/startup.h"

#include "dictionary/startup.h"
#include "engine/deadline_hooks.h"
#include "lowlevel/sync/unit_table.h"
#include "storage/blob_engines.h"
#include "storage/block_heap_engine.h"
#include "storage/cached_heap_engine.h"
#include "storage/deadline.h"
#include "storage/encryption_engine.h"
#include "storage/file_header.h"
#include "storage/files.h"
#include "storage/journal_classes.h"
#include "storage/record_compression.h"
#include "storage/segmented_blob_engine.h"
#include "storage/simple_blob_engine.h"
#include "storage/static_record_engine.h"
#include "storage/stream_engines.h"
#include "storage/sub_engines.h"
#include "storage/temp_storage.h"
#include "storage/variable_record_engine.h"

namespace revurov {

namespace {

void DeadlineStartup() { nxInstallDeadlineHooks(); }
void DeadlineShutdown() { nxResetDeadlineHooks(); }

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    {&DeadlineStartup, &DeadlineShutdown},
    {&nxTempStorageStartup, &nxTempStorageShutdown},
    {&nxEncryptionEngineStartup, &nxEncryptionEngineShutdown},
    {&nxFileHeaderStartup, &nxFileHeaderShutdown},
    {&nxFilesStartup, &nxFilesShutdown},
    {&nxSubEngineFamiliesStartup, &nxSubEngineFamiliesShutdown},
    {&nxBlockHeapEngineStartup, &nxBlockHeapEngineShutdown},
    {&nxCachedHeapEngineStartup, &nxCachedHeapEngineShutdown},
    {&nxStreamEnginesStartup, &nxStreamEnginesShutdown},
    {&nxStaticRecordEngineStartup, &nxStaticRecordEngineShutdown},
    {&nxRecordCompressionStartup, &nxRecordCompressionShutdown},
    {&nxJournalEnginesStartup, &nxJournalEnginesShutdown},
    {&nxVariableRecordEngineStartup, &nxVariableRecordEngineShutdown},
    {&nxBlobEnginesStartup, &nxBlobEnginesShutdown},
    {&nxSegmentedBlobEngineStartup, &nxSegmentedBlobEngineShutdown},
    {&nxSimpleBlobEngineStartup, &nxSimpleBlobEngineShutdown},
};

TnxUnitTable gStorageUnits(kUnits, TnxUnitPair{&nxDictionaryStartup, &nxDictionaryShutdown});

}  // namespace

void nxStorageStartup() { gStorageUnits.Startup(); }
void nxStorageShutdown() { gStorageUnits.Shutdown(); }
int nxStorageStartupCount() noexcept { return gStorageUnits.Count(); }

}  // namespace revurov
