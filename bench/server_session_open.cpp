// SessionOpen on a started in-process engine plus freeing the session,
// against sqlite3_open_v2 plus sqlite3_close on ":memory:"; both in the
// same run.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include "platform/rtl_component.h"
#include "server/server_engine.h"
#include "server/startup.h"

namespace {

using namespace revurov;

struct Engine {
  Engine() {
    nxServerStartup();
    engine = new TnxServerEngine(nullptr);
    engine->SetMaxRAM(64);
    engine->SetTempStoreSize(0);
    engine->SetActive(true);
  }
  ~Engine() {
    platform::TComponent::Free(engine);
    nxServerShutdown();
  }
  TnxServerEngine* engine;
};

void SessionOpen_Ours(benchmark::State& state) {
  // Made and freed around the timed loop, while the library is started.
  Engine e;
  for (auto _ : state) {
    TnxAbstractServerObject* session = nullptr;
    if (e.engine->SessionOpen(session, u"bench", u"", u"", 10000) != 0) {
      state.SkipWithError("SessionOpen failed");
      break;
    }
    session->Free();
  }
}

void SessionOpen_Sqlite(benchmark::State& state) {
  for (auto _ : state) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
      state.SkipWithError("sqlite3_open_v2 failed");
      break;
    }
    sqlite3_close(db);
  }
}

BENCHMARK(SessionOpen_Ours)->Name("session_open/ours");
BENCHMARK(SessionOpen_Sqlite)->Name("session_open/peer:sqlite");

}  // namespace

BENCHMARK_MAIN();
