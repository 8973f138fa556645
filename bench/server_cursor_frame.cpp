// One cursor operation through the server base cursor's frame: GetIndexID
// of a scripted worker cursor (its worker answers at once) on a started
// in-process engine, against what the frame at least must do: a virtual
// call and an uncontended std::mutex taken and released.
#include <benchmark/benchmark.h>

#include <mutex>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "platform/rtl_component.h"
#include "server/server_engine.h"
#include "server/server_session.h"
#include "server/startup.h"
#include "support/scripted_worker_cursor.h"

namespace {

using namespace revurov;

void FrameOurs(benchmark::State& state) {
  nxServerStartup();
  auto* engine = new TnxServerEngine(nullptr);
  engine->SetMaxRAM(16);
  engine->SetTempStoreSize(0);
  engine->SetActive(true);
  TnxAbstractServerObject* session = nullptr;
  engine->SessionOpen(session, u"bench", u"", u"", 10000);
  TnxAbstractDatabase* database = nullptr;
  static_cast<TnxServerSession*>(session)->DatabaseOpen(database, u"Path", u"#bench", nullptr, omReadWrite,
                                                         smShared, 10000);
  {
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"Value", u"", nxtInt32, 0, 0, false);
    auto* scripted = nxCreateServerObject<testing::ScriptedWorkerCursor>(static_cast<TnxServerDatabase*>(database),
                                                                         10000, omReadWrite, &dict)
                         .release();
    scripted->Recording = false;
    TnxAbstractCursor* cursor = scripted;
    benchmark::DoNotOptimize(cursor);
    for (auto _ : state) {
      int32_t id = 0;
      benchmark::DoNotOptimize(cursor->GetIndexID(id));
      benchmark::DoNotOptimize(id);
    }
    database->Free();
  }
  platform::TComponent::Free(engine);
  nxServerShutdown();
}

class Peer {
public:
  virtual ~Peer() = default;
  virtual uint32_t GetIndexID(int32_t& aIndexID) {
    aIndexID = 1;
    return 0;
  }
};

void FramePeer(benchmark::State& state) {
  Peer peer;
  Peer* target = &peer;
  benchmark::DoNotOptimize(target);
  std::mutex mutex;
  for (auto _ : state) {
    int32_t id = 0;
    mutex.lock();
    benchmark::DoNotOptimize(target->GetIndexID(id));
    mutex.unlock();
    benchmark::DoNotOptimize(id);
  }
}

BENCHMARK(FrameOurs)->Name("get_index_id/ours");
BENCHMARK(FramePeer)->Name("get_index_id/peer:virtual_call_std_mutex");

}  // namespace

BENCHMARK_MAIN();
