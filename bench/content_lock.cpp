// A table cursor's shared content lock outside a transaction (a read on the
// table's content portal) begun and ended, against an uncontended
// std::shared_mutex taken and left shared.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <shared_mutex>
#include <string>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "engine/abstract_database.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

void ContentLock_Ours(benchmark::State& state) {
  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = server.OpenFolder(folder.path);
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
