// Routing paths of three entries written and read through InxWriter and
// InxReader, against the same calls made on TnxWriter and TnxReader
// directly: what the interfaces cost.
#include <benchmark/benchmark.h>

#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"
#include "transport/remoting/interfaced_filer.h"
#include "transport/remoting/remoting_types.h"
#include "transport/remoting/startup.h"

namespace {

using namespace revurov;

const TnxRoutingPath& ThreeEntries() {
  static const TnxRoutingPath path = [] {
    TnxRoutingPath p;
    for (uint32_t i = 1; i <= 3; ++i) {
      platform::TGUID server = platform::nxGuid("{5E5E5E5E-0000-4000-8000-0123456789AB}");
      platform::TGUID instance = platform::nxGuid("{1A1A1A1A-0000-4000-8000-BA9876543210}");
      server.D1 += i;
      instance.D2 = static_cast<uint16_t>(i);
      p.push_back({server, instance});
    }
    return p;
  }();
  return path;
}

// The routine's calls, made on the tagged writer itself.
void WriteDirect(TnxWriter& w, const TnxRoutingPath& path) {
  if (path.empty()) {
    w.WriteValue(vaNil);
    return;
  }
  w.WriteListBegin();
  w.WriteInteger(static_cast<int64_t>(path.size()));
  for (const TnxObjectIdentity& e : path) {
    w.WriteGuid(e.oiServerID);
    w.WriteGuid(e.oiInstanceID);
  }
  w.WriteListEnd();
}

void ReadDirect(TnxReader& r, TnxRoutingPath& path) {
  path.clear();
  if (r.NextValue() == vaNil) {
    r.ReadValue();
    return;
  }
  r.ReadListBegin();
  const int32_t count = r.ReadInteger();
  if (count < 0 || int64_t{count} * 42 > r.BytesLeft()) throw platform::EReadError(u"count");
  path.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    TnxObjectIdentity e;
    e.oiServerID = r.ReadGuid();
    e.oiInstanceID = r.ReadGuid();
    path.push_back(e);
  }
  r.ReadListEnd();
}

TnxMemoryStream& Encoded() {
  static TnxMemoryStream* s = [] {
    auto* m = new TnxMemoryStream(-1);
    TnxWriter w(*m);
    WriteDirect(w, ThreeEntries());
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
    TnxInterfacedWriter writer(w);
    nxWriteRoutingPath(writer, ThreeEntries());
    w.FlushBuffer();
  }
}

void BM_WriteDirect(benchmark::State& state) {
  TnxMemoryStream s(-1);
  for (auto _ : state) {
    s.SetPosition(0);
    TnxWriter w(s);
    WriteDirect(w, ThreeEntries());
    w.FlushBuffer();
  }
}

void BM_ReadOurs(benchmark::State& state) {
  TnxMemoryStream& s = Encoded();
  TnxRoutingPath path;
  for (auto _ : state) {
    s.SetPosition(0);
    TnxReader r(s);
    TnxInterfacedReader reader(r);
    nxReadRoutingPath(reader, path);
    benchmark::DoNotOptimize(path.data());
  }
}

void BM_ReadDirect(benchmark::State& state) {
  TnxMemoryStream& s = Encoded();
  TnxRoutingPath path;
  for (auto _ : state) {
    s.SetPosition(0);
    TnxReader r(s);
    ReadDirect(r, path);
    benchmark::DoNotOptimize(path.data());
  }
}

BENCHMARK(BM_WriteOurs)->Name("write/ours");
BENCHMARK(BM_WriteDirect)->Name("write/peer:direct");
BENCHMARK(BM_ReadOurs)->Name("read/ours");
BENCHMARK(BM_ReadDirect)->Name("read/peer:direct");

}  // namespace

int main(int argc, char** argv) {
  revurov::TnxRemotingStartupGuard remoting;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
