// One call's worth of mixed arguments (Int32, Int64, Double, a string of
// 32 characters, a GUID, an array of 16 Int32, a varInteger variant)
// through nxWriteTypedValue and nxReadTypedValue, against hand-written
// TnxWriter and TnxReader calls that make and take the same bytes: what
// the descriptor-driven path costs.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/rtl_exception.h"
#include "transport/remoting/interfaced_filer.h"
#include "transport/remoting/startup.h"
#include "transport/remoting/value_marshalling.h"

namespace {

using namespace revurov;

struct TArgs {
  int32_t i32 = 0;
  int64_t i64 = 0;
  double d = 0;
  std::u16string s;
  platform::TGUID g;
  std::vector<int32_t> a;
  platform::TnxVariant v;
};

const TArgs& Sample() {
  static const TArgs args = [] {
    TArgs a;
    a.i32 = 123456;
    a.i64 = int64_t{1} << 40;
    a.d = 3.25;
    a.s = u"abcdefghijklmnopqrstuvwxyz012345";
    a.g = platform::nxGuid("{5E5E5E5E-0000-4000-8000-0123456789AB}");
    for (int32_t k = 0; k < 16; ++k) a.a.push_back(k * 1000);
    a.v = platform::TnxVariant::FromInteger(5);
    return a;
  }();
  return args;
}

void WriteOurs(InxWriter& w, const TArgs& a) {
  nxWriteTypedValue(w, nxTypeInfo<int32_t>(), &a.i32);
  nxWriteTypedValue(w, nxTypeInfo<int64_t>(), &a.i64);
  nxWriteTypedValue(w, nxTypeInfo<double>(), &a.d);
  nxWriteTypedValue(w, nxTypeInfo<std::u16string>(), &a.s);
  nxWriteTypedValue(w, nxTypeInfo<platform::TGUID>(), &a.g);
  nxWriteTypedValue(w, nxTypeInfo<std::vector<int32_t>>(), &a.a);
  nxWriteTypedValue(w, nxTypeInfo<platform::TnxVariant>(), &a.v);
}

void ReadOurs(InxReader& r, TArgs& a) {
  nxReadTypedValue(r, nxTypeInfo<int32_t>(), &a.i32);
  nxReadTypedValue(r, nxTypeInfo<int64_t>(), &a.i64);
  nxReadTypedValue(r, nxTypeInfo<double>(), &a.d);
  nxReadTypedValue(r, nxTypeInfo<std::u16string>(), &a.s);
  nxReadTypedValue(r, nxTypeInfo<platform::TGUID>(), &a.g);
  nxReadTypedValue(r, nxTypeInfo<std::vector<int32_t>>(), &a.a);
  nxReadTypedValue(r, nxTypeInfo<platform::TnxVariant>(), &a.v);
}

void WriteDirect(TnxWriter& w, const TArgs& a) {
  w.WriteInteger(a.i32);
  w.WriteInteger(a.i64);
  w.WriteFloat(a.d);
  w.WriteString(a.s);
  w.WriteGuid(a.g);
  w.WriteInteger(int32_t(a.a.size()));
  w.WriteBinary(a.a.data(), int32_t(a.a.size() * 4));
  w.WriteInteger(int32_t(a.v.VarType()));
  const int32_t value = int32_t(a.v.AsInt64());
  w.WriteBinary(&value, 4);
}

void ReadDirect(TnxReader& r, TArgs& a) {
  a.i32 = r.ReadInteger();
  a.i64 = r.ReadInt64();
  a.d = double(r.ReadFloat());
  a.s = r.ReadString();
  a.g = r.ReadGuid();
  const int32_t n = r.ReadInteger();
  if (n < 0 || int64_t{n} * 4 > r.BytesLeft()) throw platform::EReadError(u"count");
  a.a.resize(size_t(n));
  r.ReadBinary(a.a.data(), n * 4);
  if (r.ReadInteger() != platform::varInteger) throw platform::EReadError(u"type");
  int32_t value;
  r.ReadBinary(&value, 4);
  a.v = platform::TnxVariant::FromInteger(value);
}

TnxMemoryStream& Encoded() {
  static TnxMemoryStream* s = [] {
    auto* m = new TnxMemoryStream(-1);
    TnxWriter w(*m);
    WriteDirect(w, Sample());
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
    WriteOurs(writer, Sample());
    w.FlushBuffer();
  }
}

void BM_WriteDirect(benchmark::State& state) {
  TnxMemoryStream s(-1);
  for (auto _ : state) {
    s.SetPosition(0);
    TnxWriter w(s);
    WriteDirect(w, Sample());
    w.FlushBuffer();
  }
}

void BM_ReadOurs(benchmark::State& state) {
  TnxMemoryStream& s = Encoded();
  TArgs args;
  for (auto _ : state) {
    s.SetPosition(0);
    TnxReader r(s);
    TnxInterfacedReader reader(r);
    ReadOurs(reader, args);
    benchmark::DoNotOptimize(args.a.data());
  }
}

void BM_ReadDirect(benchmark::State& state) {
  TnxMemoryStream& s = Encoded();
  TArgs args;
  for (auto _ : state) {
    s.SetPosition(0);
    TnxReader r(s);
    ReadDirect(r, args);
    benchmark::DoNotOptimize(args.a.data());
  }
}

BENCHMARK(BM_WriteOurs)->Name("write/ours");
BENCHMARK(BM_WriteDirect)->Name("write/peer:by-hand");
BENCHMARK(BM_ReadOurs)->Name("read/ours");
BENCHMARK(BM_ReadDirect)->Name("read/peer:by-hand");

// Both sides must make the same bytes, or the comparison says nothing.
bool SameBytes() {
  TnxMemoryStream s(-1);
  {
    TnxWriter w(s);
    TnxInterfacedWriter writer(w);
    WriteOurs(writer, Sample());
  }
  TnxMemoryStream& direct = Encoded();
  return s.GetSize() == direct.GetSize() && std::memcmp(s.ByteArray(), direct.ByteArray(), size_t(s.GetSize())) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  revurov::TnxRemotingStartupGuard remoting;
  if (!SameBytes()) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
