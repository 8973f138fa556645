#include "server/startup.h"

#include "engine/startup.h"
#include "index/startup.h"
#include "lowlevel/components/component.h"
#include "lowlevel/sync/unit_table.h"
#include "server/cached_blob_handler.h"
#include "server/caching_blob_handler.h"
#include "server/engines/referential_integrity.h"
#include "server/engines/sort_engine.h"
#include "server/engines/startup.h"
#include "server/server_database.h"
#include "server/server_engine.h"
#include "server/server_table_cursor.h"

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

// The sort engines sit below the server and reach its result-set tables
// through this.
TnxServerObjectPtr<TnxAbstractCursor> CreateSortRun(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                                    uint32_t aTimeout) {
  auto* database = dynamic_cast<TnxServerDatabase*>(aDB);
  if (!database) throw EnxServerException(nxeInvalidParameter, u"No server database for the sort's runs", {});
  return TnxServerTableCursor::CreateResultSet(database, &aDict, aTimeout);
}
void SortRunsStartup() { nxSetSortRunCreator(&CreateSortRun); }
void SortRunsShutdown() { nxSetSortRunCreator(nullptr); }

// The references below the server reach what only its cursors know.
std::u16string ExtractPassword(TnxAbstractCursor& aCursor) {
  auto* cursor = dynamic_cast<TnxServerBaseCursor*>(&aCursor);
  return cursor ? cursor->sbcExtractPassword() : std::u16string();
}
bool SetDefaultValue(TnxAbstractCursor& aCursor, PnxRecordBuffer aRecord, int32_t aField) {
  auto* cursor = dynamic_cast<TnxServerBaseCursor*>(&aCursor);
  TnxDefaultValueHandler* handler = cursor ? cursor->DefaultValueHandler() : nullptr;
  if (!handler) return false;
  handler->SetDefaultValue(aRecord, aField);
  return true;
}
constexpr TnxRefIntegrityServerHooks kRefIntegrityHooks{&ExtractPassword, &SetDefaultValue};
void RefIntegrityStartup() { nxSetRefIntegrityServerHooks(&kRefIntegrityHooks); }
void RefIntegrityShutdown() { nxSetRefIntegrityServerHooks(nullptr); }

void BlobHandlersStartup() {}
void BlobHandlersShutdown() {
  TnxCachedBlobHandler::FreeCachedBlobDictionary();
  TnxCachingBlobHandler::FreeCachingBlobDictionary();
}

// The units in start-up order; shut-down runs backwards.
constexpr TnxUnitPair kUnits[] = {
    {&nxServerEnginesStartup, &nxServerEnginesShutdown},
    {&ServerEngineStartup, &ServerEngineShutdown},
    {&SortRunsStartup, &SortRunsShutdown},
    {&RefIntegrityStartup, &RefIntegrityShutdown},
    {&BlobHandlersStartup, &BlobHandlersShutdown},
};

TnxUnitTable gServerUnits(kUnits, TnxUnitPair{&BelowStartup, &BelowShutdown});

}  // namespace

void nxServerStartup() { gServerUnits.Startup(); }
void nxServerShutdown() { gServerUnits.Shutdown(); }
int nxServerStartupCount() noexcept { return gServerUnits.Count(); }

}  // namespace revurov
