// A method call through the invokable interface proxy and stub (Format:
// an Integer, a 32-character string and a Double in, a string back; the
// dynamic invoke stub, the wire with names, the call frame on the server)
// against a plain request that carries the same three tagged values and a
// reply whose handler echoes them, both on one logged-in TCP session on
// loopback.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/remoting_session.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "remoting/support/invoke_types.h"
#include "transport/remoting/interfaced_filer.h"
#include "transport/remoting/invoke_registry.h"
#include "transport/remoting/value_marshalling.h"

namespace {

using namespace revurov;
using platform::TInterfacePtr;

const std::u16string kText(32, u'q');

class Pair {
public:
  Pair() {
    nxInvokeRegistry()->RegisterInterface(TnxInvokable<testing::ITestInvoke>::Decl());
    road_.Handler().MakeObject = [](const platform::TGUID&) {
      const TInterfacePtr<testing::TInvokeObject> object(nxCreate<testing::TInvokeObject>());
      return TInterfacePtr<platform::IInterface>(static_cast<testing::ITestInvoke*>(object.Get()));
    };
    TInterfacePtr<platform::IInterface> object;
    if (road_.Remoting().CreateInstance(testing::kInvokeClassID, nullptr, testing::ITestInvoke::IID, object) !=
        platform::S_OK)
      std::abort();
    invoke_ = platform::Supports<testing::ITestInvoke>(object.Get());
    if (!invoke_) std::abort();
  }
  ~Pair() { invoke_ = nullptr; }

  void Call() {
    if (invoke_->Format(7, kText, 2.5).size() != kText.size() + 3) std::abort();
  }

  // The same three values as tagged bytes, echoed, and read back.
  void Plain() {
    TnxMemoryStream stream;
    {
      TnxWriter plain(stream);
      TnxInterfacedWriter writer(plain);
      const int32_t n = 7;
      const double d = 2.5;
      nxWriteTypedValue(writer, nxTypeInfo<int32_t>(), &n);
      nxWriteTypedValue(writer, nxTypeInfo<std::u16string>(), &kText);
      nxWriteTypedValue(writer, nxTypeInfo<double>(), &d);
      plain.FlushBuffer();
    }
    TReply reply;
    road_.Client().Request(0, road_.SessionID(), 0, testing::kPlainEcho, 0, stream.Memory(),
                           int32_t(stream.GetSize()), &Received, &reply);
    TnxStaticMemoryStream answer(reply.bytes.data(), int64_t(reply.bytes.size()));
    TnxReader plain(answer);
    TnxInterfacedReader reader(plain);
    int32_t n = 0;
    std::u16string text;
    double d = 0;
    nxReadTypedValue(reader, nxTypeInfo<int32_t>(), &n);
    nxReadTypedValue(reader, nxTypeInfo<std::u16string>(), &text);
    nxReadTypedValue(reader, nxTypeInfo<double>(), &d);
    if (text.size() != kText.size()) std::abort();
  }

private:
  struct TReply {
    std::vector<uint8_t> bytes;
  };
  static void Received(TnxMsgID, uint32_t, const void* aData, int32_t aLen, void* aCookie) {
    const auto* bytes = static_cast<const uint8_t*>(aData);
    static_cast<TReply*>(aCookie)->bytes.assign(bytes, bytes + aLen);
  }

  bench::TRemotingSession road_{true};
  TInterfacePtr<testing::ITestInvoke> invoke_;
};

void Ours(benchmark::State& state) {
  Pair pair;
  for (auto _ : state) pair.Call();
}

void PlainRequest(benchmark::State& state) {
  Pair pair;
  for (auto _ : state) pair.Plain();
}

}  // namespace

BENCHMARK(Ours)->Name("invokable_format/ours")->UseRealTime();
BENCHMARK(PlainRequest)->Name("invokable_format/peer:plain_request")->UseRealTime();

BENCHMARK_MAIN();
