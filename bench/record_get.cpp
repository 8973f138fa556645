// RecordGetNext of a remote cursor over a table of 10^4 records of about
// 200 bytes, one plain read ($322) per record: the whole road over
// loopback TCP to the test command handler's rows, against a plain
// blocking-socket ping-pong that moves the same request and reply frames
// with one thread answering on the far side.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "bench/frame_ping_pong.h"
#include "bench/remote_cursor_road.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"

namespace {

using namespace revurov;
using namespace revurov::testing;
using namespace revurov::bench;

constexpr int kRecords = 10000;

struct Road : TCursorRoad {
  Road() : TCursorRoad(kRecords) {}
};

void RecordGetNext_Ours(benchmark::State& aState) {
  Road road;
  if (!road.cursor || road.cursor->SetToBegin() != 0) {
    aState.SkipWithError("no cursor");
    return;
  }
  std::vector<uint8_t> record(static_cast<size_t>(road.cursor->RecordLength()) + 4);
  for (auto _ : aState) {
    uint32_t result = road.cursor->RecordGetNext(nxltNoLock, record.data());
    if (result == nxeAtEndOfTable) {
      aState.PauseTiming();
      road.cursor->SetToBegin();
      aState.ResumeTiming();
      result = road.cursor->RecordGetNext(nxltNoLock, record.data());
    }
    if (result != 0) {
      aState.SkipWithError("RecordGetNext failed");
      break;
    }
  }
  aState.counters["record_bytes"] = road.cursor->RecordLength();
}

void RecordGetNext_RawSockets(benchmark::State& aState) {
  const auto dictionary = CursorRoadTable();
  const auto length = static_cast<size_t>(dictionary->FieldsDescriptor().RecordLength());
  std::vector<uint8_t> header(9, 0);
  platform::StoreU32(header.data(), 102);
  platform::StoreU16(header.data() + 5, static_cast<uint16_t>(length));
  RunFramePingPong(aState, Frame(0x322, 1, header), Frame(0x322, 2, std::vector<uint8_t>(length, 7)));
}

}  // namespace

BENCHMARK(RecordGetNext_Ours)->Name("RecordGetNext200/ours")->UseRealTime();
BENCHMARK(RecordGetNext_RawSockets)->Name("RecordGetNext200/peer:raw_sockets")->UseRealTime();
BENCHMARK_MAIN();
