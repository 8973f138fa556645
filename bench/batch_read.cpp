// RecordGetBatch of a remote cursor over a table of 10^5 records of about
// 200 bytes: one $381 whose batch stream lands in the caller's access,
// positioned at the start inside the request. The peer moves the same
// request frame and a reply frame of the same stream bytes over a plain
// blocking TCP connection, so the ratio is our road against raw
// throughput. Both sides make one untimed round first: the first fill of
// tens of megabytes of fresh memory (ours: the reply's buffers; the peer's:
// its read buffer) costs 0.1 to 0.9 s on a loaded virtual machine, and a
// run of one such iteration would be all the figure shows.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/frame_ping_pong.h"
#include "bench/remote_cursor_road.h"
#include "engine/batch_stream.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace {

using namespace revurov;
using namespace revurov::testing;
using namespace revurov::bench;

constexpr int kRecords = 100000;
constexpr TnxRecordGetBatchExOptions kFromTheStart = TnxRecordGetBatchExOptions(1u << gboSetToBeginOrEnd);

// The shared road, and the access the batch reads hand back.
struct Road : TCursorRoad {
  Road() : TCursorRoad(kRecords) {}
  ~Road() { delete access; }
  TnxBatchStreamAccess* access = nullptr;
};

void RecordGetBatch_Ours(benchmark::State& aState) {
  Road road;
  if (!road.cursor) {
    aState.SkipWithError("no cursor");
    return;
  }
  const auto read = [&] {
    return road.cursor->RecordGetBatch(0, kFromTheStart, road.access, 0, true) == 0 &&
           road.access->Count() == kRecords;
  };
  if (!read()) aState.SkipWithError("RecordGetBatch failed");
  for (auto _ : aState) {
    if (!read()) {
      aState.SkipWithError("RecordGetBatch failed");
      break;
    }
  }
  if (road.access) aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(road.access->Size()));
}

void RecordGetBatch_RawSockets(benchmark::State& aState) {
  const auto dictionary = CursorRoadTable();
  const auto length = static_cast<size_t>(dictionary->FieldsDescriptor().RecordLength());
  std::vector<uint8_t> request(9, 0);
  platform::StoreU32(request.data(), 102);
  request[8] = kFromTheStart;
  // The same stream: inner error, count, then a size word and a record each.
  std::vector<uint8_t> stream(8 + kRecords * (4 + length), 7);
  platform::StoreU32(stream.data(), nxeAtEndOfTable);
  platform::StoreU32(stream.data() + 4, kRecords);
  for (size_t i = 0; i < kRecords; ++i) platform::StoreU32(stream.data() + 8 + i * (4 + length), uint32_t(length));
  RunFramePingPong(aState, Frame(0x381, 1, request), Frame(0x381, 2, stream), 1);
  aState.SetBytesProcessed(int64_t(aState.iterations()) * int64_t(stream.size()));
}

}  // namespace

BENCHMARK(RecordGetBatch_Ours)->Name("RecordGetBatch100k/ours")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RecordGetBatch_RawSockets)
    ->Name("RecordGetBatch100k/peer:raw_sockets")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
