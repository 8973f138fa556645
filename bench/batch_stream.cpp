// Reset and Next over a batch of 10^5 record entries of a 200-byte record,
// against the least a reader can do: a loop that steps from size word to
// size word, checking only that the next one lies inside the block.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/fields_descriptor.h"
#include "dictionary/startup.h"
#include "engine/batch_stream.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/memory_engine.h"

namespace {

using namespace revurov;
using namespace revurov::testing;

constexpr int32_t kEntries = 100000;

struct ComponentFree {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};

struct Setup {
  Setup() {
    TnxFieldsDescriptor& fields = table.FieldsDescriptor();
    fields.AddField(u"RefNr", u"", nxtRefNr, 0, 0, false);
    for (int i = 0; i < 23; ++i) {
      std::u16string name(2, u'F');
      name[1] = char16_t(u'A' + i);
      fields.AddField(name, u"", nxtInt64, 0, 0, false);
    }
    fields.AddField(u"Tail", u"", nxtInt32, 0, 0, false);
    engine->Tables.insert(u"Orders");
    engine->Layouts = {{u"Orders", &table}};
    MemorySession* session = engine->OpenMemory();
    TnxAbstractDatabase* database = nullptr;
    session->DatabaseOpen(database, u"Name", u"Data", nullptr, omReadWrite, smShared, 0);
    cursor = static_cast<MemoryDatabase*>(database)->OpenCursor(u"Orders");
    const uint32_t length = cursor->RecordLength();
    auto stream = std::make_unique<TnxMemoryStream>();
    std::vector<uint8_t> bytes(8 + size_t(kEntries) * (4 + length));
    platform::StoreLE<int32_t>(bytes.data() + 4, kEntries);
    for (int32_t i = 0; i < kEntries; ++i) {
      uint8_t* entry = bytes.data() + 8 + size_t(i) * (4 + length);
      platform::StoreU32(entry, length);
      platform::StoreLE<int64_t>(entry + 4, i + 1);
    }
    stream->Write(bytes.data(), int64_t(bytes.size()));
    access = cursor->CreateBatchStreamAccess(std::move(stream), 0);
  }
  TnxDictionaryStartupGuard library;
  TnxDataDictionary table;
  std::unique_ptr<MemoryEngine, ComponentFree> engine{new MemoryEngine(nullptr)};
  MemoryCursor* cursor = nullptr;
  std::unique_ptr<TnxBatchStreamAccess> access;
};

Setup& Shared() {
  static Setup* setup = new Setup();  // lives to the end of the process
  return *setup;
}

void WalkOurs(benchmark::State& state) {
  TnxBatchStreamAccess& access = *Shared().access;
  for (auto _ : state) {
    uint64_t sum = 0;
    TnxBatchStreamEntry entry;
    access.Reset(false);
    while (access.Next(entry)) sum += entry.bseRecord;
    benchmark::DoNotOptimize(sum);
  }
  state.counters["record_length"] = Shared().cursor->RecordLength();
}

void WalkHandLoop(benchmark::State& state) {
  TnxBatchStreamAccess& access = *Shared().access;
  const uint8_t* volatile memory = access.Memory();
  const uint64_t size = access.Size();
  for (auto _ : state) {
    const uint8_t* base = memory;
    uint64_t sum = 0;
    const int32_t count = platform::LoadLE<int32_t>(base + 4);
    uint64_t at = 8;
    for (int32_t i = 0; i < count && at + 4 <= size; ++i) {
      const uint32_t word = platform::LoadU32(base + at);
      sum += at + 4;
      at += 4 + (word & 0x7FFFFFFF);
    }
    benchmark::DoNotOptimize(sum);
  }
}

BENCHMARK(WalkOurs)->Name("walk_100k/ours")->Unit(benchmark::kMicrosecond);
BENCHMARK(WalkHandLoop)->Name("walk_100k/peer:hand_loop")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
