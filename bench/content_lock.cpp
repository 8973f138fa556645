// A table cursor's shared content lock outside a transaction (a read on the
// table's content portal) begun and ended, against an uncontended
// std::shared_mutex taken and left shared.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <shared_mutex>
#include <string>

#include "bench/temp_folder.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_database.h"
#include "platform/rtl_component.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_engine.h"
#include "server/server_session.h"
#include "server/server_table_cursor.h"
#include "server/startup.h"

namespace {

using namespace revurov;

void ContentLock_Ours(benchmark::State& state) {
  bench::TempFolder folder;
  nxServerStartup();
  auto* engine = new TnxServerEngine(nullptr);
  engine->SetMaxRAM(64);
  engine->SetTempStoreSize(0);
  engine->SetActive(true);
  TnxAbstractServerObject* session = nullptr;
  engine->SessionOpen(session, u"bench", u"", u"", 10000);
  TnxAbstractDatabase* database = nullptr;
  static_cast<TnxServerSession*>(session)->DatabaseOpen(database, u"Path", revurov::platform::Utf8ToUtf16(folder.path.string()),
                                                         nullptr, omReadWrite, smShared, 10000);
  TnxDataDictionary dict;
  dict.FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
  TnxAbstractCursor* opened = nullptr;
  if (!database || database->TableBuild(false, u"T", u"", &dict, tsPersistent, false) != 0 ||
      database->CursorOpen(opened, u"T", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr) != 0) {
    state.SkipWithError("no table");
  } else {
    auto* cursor = static_cast<TnxServerTableCursor*>(opened);
    for (auto _ : state) {
      if (cursor->sbcBeginContentLock(false, false, false) != 0) {
        state.SkipWithError("lock refused");
        break;
      }
      cursor->sbcEndContentLock();
    }
    cursor->Free();
  }
  if (database) database->Free();
  revurov::platform::TComponent::Free(engine);
  nxServerShutdown();
}

void ContentLock_SharedMutex(benchmark::State& state) {
  std::shared_mutex mutex;
  for (auto _ : state) {
    mutex.lock_shared();
    benchmark::DoNotOptimize(&mutex);
    mutex.unlock_shared();
  }
}

BENCHMARK(ContentLock_Ours)->Name("content_lock_shared/ours");
BENCHMARK(ContentLock_SharedMutex)->Name("content_lock_shared/peer:std_shared_mutex");

}  // namespace

BENCHMARK_MAIN();
