// Tagged writer and reader throughput on a request-sized payload mix,
// against memcpy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"

namespace {

using namespace revurov;

const std::u16string kTable = u"Kunden";
const std::u16string kAlias = u"Tesmira";
const std::u16string kFilter = u"Name = 'Müller' and Ort = 'Köln'";
const std::u16string kLong(200, u'x');
const std::vector<uint8_t> kBlob(256, 0x5A);

// One request: ids, names, flags, a filter text, a record buffer.
void WriteRequest(TnxWriter& w) {
  w.WriteInteger(0x223);
  w.WriteInteger(int64_t{123456789012});
  w.WriteString(kTable);
  w.WriteString(kAlias);
  w.WriteBoolean(true);
  w.WriteInteger(-1);
  w.WriteDouble(3.25);
  w.WriteString(kFilter);
  w.WriteString(kLong);
  w.WriteBytes(kBlob);
  for (int i = 0; i < 16; ++i) w.WriteInteger(i * 1000);
}

void ReadRequest(TnxReader& r) {
  benchmark::DoNotOptimize(r.ReadInteger());
  benchmark::DoNotOptimize(r.ReadInt64());
  benchmark::DoNotOptimize(r.ReadString());
  benchmark::DoNotOptimize(r.ReadString());
  benchmark::DoNotOptimize(r.ReadBoolean());
  benchmark::DoNotOptimize(r.ReadInteger());
  benchmark::DoNotOptimize(r.ReadDouble());
  benchmark::DoNotOptimize(r.ReadString());
  benchmark::DoNotOptimize(r.ReadString());
  benchmark::DoNotOptimize(r.ReadBytes());
  for (int i = 0; i < 16; ++i) benchmark::DoNotOptimize(r.ReadInteger());
}

TnxMemoryStream& Encoded() {
  static TnxMemoryStream* s = [] {
    auto* m = new TnxMemoryStream(-1);
    TnxWriter w(*m);
    WriteRequest(w);
    w.FlushBuffer();
    return m;
  }();
  return *s;
}

void BM_WriteOurs(benchmark::State& state) {
  TnxMemoryStream s(-1);
  for (auto _ : state) {
    s.SetPosition(0);
    TnxWriter w(s);
    WriteRequest(w);
    w.FlushBuffer();
  }
  state.SetBytesProcessed(state.iterations() * Encoded().GetSize());
}

void BM_ReadOurs(benchmark::State& state) {
  TnxMemoryStream& s = Encoded();
  for (auto _ : state) {
    s.SetPosition(0);
    TnxReader r(s);
    ReadRequest(r);
  }
  state.SetBytesProcessed(state.iterations() * s.GetSize());
}

void BM_Memcpy(benchmark::State& state) {
  TnxMemoryStream& s = Encoded();
  std::vector<uint8_t> dst(static_cast<size_t>(s.GetSize()));
  for (auto _ : state) {
    std::memcpy(dst.data(), s.Memory(), dst.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * s.GetSize());
}

BENCHMARK(BM_WriteOurs)->Name("write/ours");
BENCHMARK(BM_Memcpy)->Name("write/peer:memcpy");
BENCHMARK(BM_ReadOurs)->Name("read/ours");
BENCHMARK(BM_Memcpy)->Name("read/peer:memcpy");

}  // namespace

BENCHMARK_MAIN();
