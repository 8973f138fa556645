// The invokable interface proxy and stub end to end over TCP on 127.0.0.1:
// every marshalled kind in, var, out and as result; safecall failures;
// callbacks and returned interfaces; a stub of call version 2; calls from
// eight threads; and malformed method frames fed to the stub directly.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "marshalling_test_support.h"
#include "platform/error_info.h"
#include "support/channel_fixture.h"
#include "support/invoke_types.h"
#include "support/within.h"
#include "transport/remoting/class_proxies.h"
#include "transport/remoting/class_stubs.h"
#include "transport/remoting/invokable_pair.h"
#include "transport/remoting/invoke_registry.h"
#include "transport/remoting/remoting_client.h"
#include "transport/remoting/value_marshalling.h"

namespace revurov {
namespace {

using platform::HRESULT;
using platform::IInterface;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using testing::ITestCallback;
using testing::ITestInvoke;
using testing::ITestInvokeMore;
using testing::TColour;
using testing::TInvokeObject;

class InvokablePair : public testing::ChannelsOverTcp {
protected:
  void SetUp() override {
    ChannelsOverTcp::SetUp();
    nxInvokeRegistry()->RegisterInterface(TnxInvokable<ITestInvokeMore>::Decl());
    nxInvokeRegistry()->RegisterInterface(TnxInvokable<ITestCallback>::Decl());
    startProxies = nxLiveClassProxyCount();
    startObjects = testing::gLiveInvokeObjects.load();
    handler->MakeObject = [this](const TGUID&) {
      const TInterfacePtr<TInvokeObject> object(nxCreate<TInvokeObject>());
      std::lock_guard guard(madeLock);
      made = object;
      return TInterfacePtr<IInterface>(static_cast<ITestInvoke*>(object.Get()));
    };
    session->SetActive(true);
    remoting.reset(testing::NewComponent<TnxRemotingClient>(u"Remoting"));
    remoting->SetSession(session.get());
    remoting->SetActive(true);
    ASSERT_EQ(remoting->State(), nxsStarted);
  }
  void TearDown() override {
    handler->MakeObject = nullptr;
    {
      std::lock_guard guard(madeLock);
      made = nullptr;
    }
    remoting.reset();
    ExpectStartCounts();
    EXPECT_TRUE(testing::Within(std::chrono::seconds(5), [&] {
      return nxLiveClassProxyCount() == startProxies && testing::gLiveInvokeObjects.load() == startObjects;
    }));
    ChannelsOverTcp::TearDown();
  }

  TInterfacePtr<ITestInvoke> Create() {
    TInterfacePtr<IInterface> object;
    EXPECT_EQ(remoting->CreateInstance(testing::kInvokeClassID, nullptr, ITestInvoke::IID, object), S_OK);
    TInterfacePtr<ITestInvoke> invoke = platform::Supports<ITestInvoke>(object.Get());
    EXPECT_TRUE(platform::Supports<InxClassProxy>(invoke.Get())) << "a proxy, not the object";
    return invoke;
  }

  // Every method with values of every kind, and what came back.
  static void CallEverything(ITestInvoke& aObject) {
    int64_t sum = 0;
    TColour next = TColour::Red;
    EXPECT_EQ(aObject.Ordinals(-128, 255, -32768, 65535, INT32_MIN, UINT32_MAX, INT64_MIN / 2, true, 'z', u'\u20AC',
                               TColour::Blue, sum, next),
              S_OK);
    EXPECT_EQ(sum, -128 + 255 - 32768 + 65535 + int64_t(INT32_MIN) + int64_t(UINT32_MAX) + INT64_MIN / 2 + 1 + 'z' +
                       0x20AC);
    EXPECT_EQ(next, TColour::Violet);

    double io = 1.25, total = 0;
    EXPECT_EQ(aObject.Floats(0.5f, 0.25, 2.0L, TnxComp{3}, TnxCurrency{15000}, io, total), S_OK);
    EXPECT_EQ(io, 2.5);
    EXPECT_EQ(total, 0.5 + 0.25 + 2.0 + 3 + 1.5);

    TnxShortString<20> shortText;
    shortText.Assign("short");
    std::u16string text = u"\u00E4\u00F6\u00FC", joined;
    EXPECT_EQ(aObject.Texts(u"\U0001F600", "ansi", TnxOleString{u"ole"}, shortText, text, joined), S_OK);
    EXPECT_EQ(text, u"\u00E4\u00F6\u00FC!");
    EXPECT_EQ(joined, u"\U0001F600|ansi|ole|short");

    testing::TBits bits, flipped;
    bits.Include(5);
    bits.Include(8);
    bits.Include(12);
    const TGUID id = platform::nxGuid("{01234567-89AB-CDEF-0123-456789ABCDEF}");
    platform::TnxVariant echoed;
    TGUID idOut{};
    EXPECT_EQ(aObject.Values(platform::TnxVariant::FromString(u"variant"), bits, id, echoed, flipped, idOut), S_OK);
    EXPECT_EQ(echoed.AsString(), u"variant");
    for (int e = 5; e <= 12; ++e) EXPECT_EQ(flipped.Contains(e), !bits.Contains(e)) << e;
    EXPECT_EQ(idOut, id);

    std::vector<std::u16string> texts{u"kept?"};
    EXPECT_EQ(aObject.Arrays({2, 0, 1}, texts), S_OK);
    EXPECT_EQ(texts, (std::vector<std::u16string>{u"kept?", u"xx", u"", u"x"}));
    std::vector<std::u16string> none;
    EXPECT_EQ(aObject.Arrays({}, none), S_FALSE) << "a success code other than S_OK comes back as it is";

    int32_t a = 0;
    std::u16string b;
    EXPECT_EQ(aObject.OnlyOuts(a, b), S_OK);
    EXPECT_EQ(a, 42);
    EXPECT_EQ(b, u"out");

    EXPECT_EQ(aObject.Format(4, u"abc", -1.0), u"abc:4-");
    EXPECT_EQ(aObject.Fail(0), 7);
    EXPECT_EQ(aObject.Big(int64_t(1) << 50), int64_t(3) << 50);
    EXPECT_EQ(aObject.Half(-3.0), -1.5);
    EXPECT_EQ(aObject.Name(), u"TInvokeObject");
  }

  testing::TOwned<TnxRemotingClient> remoting;
  std::mutex madeLock;
  TInterfacePtr<TInvokeObject> made;
  int32_t startProxies = 0;
  int32_t startObjects = 0;
};

TEST_F(InvokablePair, EveryKindTravelsInVarOutAndAsResult) {
  const TInterfacePtr<ITestInvoke> object = Create();
  ASSERT_TRUE(object);
  CallEverything(*object);
  // The descendant interface over the same object: inherited and own
  // methods.
  const TInterfacePtr<ITestInvokeMore> more = platform::Supports<ITestInvokeMore>(object.Get());
  ASSERT_TRUE(more);
  int32_t b = 2;
  EXPECT_EQ(more->More(40, b), S_OK);
  EXPECT_EQ(b, 42);
  EXPECT_EQ(more->Format(1, u"m", 1.0), u"m:1+");
}

TEST_F(InvokablePair, ASafecallFailureBringsItsCodeAndErrorInformation) {
  const TInterfacePtr<ITestInvoke> object = Create();
  ASSERT_TRUE(object);
  try {
    object->Fail(int32_t(0x8004FF02u));
    ADD_FAILURE() << "no exception";
  } catch (const EOleException& e) {
    EXPECT_EQ(uint32_t(e.ErrorCode()), 0x8004FF02u);
    EXPECT_EQ(e.Message(), u"failed on purpose");
  }
  // The call after it is clean.
  EXPECT_EQ(object->Fail(0), 7);
  TInterfacePtr<platform::IErrorInfo> info;
  EXPECT_EQ(platform::nxGetErrorInfo(info), S_FALSE);
}

TEST_F(InvokablePair, InterfacesTravelBothWaysAndAClassIsRefused) {
  const TInterfacePtr<ITestInvoke> object = Create();
  ASSERT_TRUE(object);
  const TInterfacePtr<ITestCallback> made = object->MakeCallback(5);
  ASSERT_TRUE(made);
  EXPECT_EQ(made->Twice(4), 20);

  const TInterfacePtr<testing::TTestCallback> local(nxCreate<testing::TTestCallback>(3));
  EXPECT_EQ(object->CallBack(TInterfacePtr<ITestCallback>(local.Get()), 10), 31);
  EXPECT_EQ(local->calls.load(), 1);
  EXPECT_EQ(object->CallBack(nullptr, 10), -1);

  testing::TPlainObject plain;
  EXPECT_EQ(uint32_t(object->TakeObject(&plain)), uint32_t(RPC_E_INVALID_PARAMETER));
}

// The invokable stub as an older peer knows it.
class TVersion2Stub final : public TnxInvokableInterfaceStub {
public:
  using TnxInvokableInterfaceStub::TnxInvokableInterfaceStub;
  static inline std::atomic<int32_t> calls{0};

protected:
  int32_t Version() const override { return 2; }
  HRESULT InvokeMethod(InxChannelExit* aExit, InxClassStub* aClassStub, int32_t aVersion, int32_t aMethodIndex,
                       InxReader* aReader, InxWriter* aWriter) override {
    EXPECT_EQ(aVersion, 2);
    ++calls;
    return TnxInvokableInterfaceStub::InvokeMethod(aExit, aClassStub, aVersion, aMethodIndex, aReader, aWriter);
  }
};

TEST_F(InvokablePair, AStubOfVersion2IsCalledWithoutNames) {
  constexpr TGUID kOldStubID = platform::nxGuid("{5F0E1D2C-3B4A-4958-8776-A5B4C3D2E1F0}");
  TInterfacePtr<InxInterfaceStubFactoryControl> stubControl;
  TInterfacePtr<InxInterfaceProxyFactoryControl> proxyControl;
  const TInterfacePtr<InxInterfaceStubFactory> stubs(nxCreate<TnxInterfaceStubFactoryOf<TVersion2Stub>>());
  ASSERT_EQ(nxInterfaceStubFactoryRegistry()->RegisterInterfaceStubFactory(kOldStubID, stubs.Get(), stubControl), S_OK);
  ASSERT_EQ(stubControl->RegisterForInterface(0, ITestInvoke::IID), S_OK);
  const TInterfacePtr<InxInterfaceProxyFactory> proxies(
      nxCreate<TnxInterfaceProxyFactoryOf<TnxInvokableInterfaceProxy>>());
  ASSERT_EQ(nxInterfaceProxyFactoryRegistry()->RegisterInterfaceProxyFactory(kOldStubID, proxies.Get(), proxyControl),
            S_OK);
  ASSERT_EQ(proxyControl->RegisterForInterface(0, ITestInvoke::IID), S_OK);
  {
    const TInterfacePtr<ITestInvoke> object = Create();
    ASSERT_TRUE(object);
    const int32_t before = TVersion2Stub::calls.load();
    CallEverything(*object);
    EXPECT_GT(TVersion2Stub::calls.load(), before) << "the old stub served the calls";
  }
  stubControl->Unregister();
  proxyControl->Unregister();
}

TEST_F(InvokablePair, EightThreadsEachSeeTheirOwnCallPath) {
  const TInterfacePtr<ITestInvoke> object = Create();
  ASSERT_TRUE(object);
  const int32_t expected = object->PathLength();
  EXPECT_GE(expected, 1) << "the served method sees its caller's path plus one entry";
  std::atomic<int32_t> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        if (object->PathLength() != expected) ++wrong;
        if (nxCurrentCallContext()) ++wrong;  // nothing left on the caller
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ---- malformed method frames, straight into the stub ----

class InvokableStubFrames : public ::testing::Test {
protected:
  void SetUp() override {
    nxRemotingStartup();
    nxInvokeRegistry()->RegisterInterface(TnxInvokable<ITestInvoke>::Decl());
    object = TInterfacePtr<TInvokeObject>(nxCreate<TInvokeObject>());
    HRESULT result = S_OK;
    stub = TInterfacePtr<InxInterfaceStub>(static_cast<InxInterfaceStub*>(nxCreate<TnxInvokableInterfaceStub>(
        testing::kInvokeClassID, ITestInvoke::IID, static_cast<ITestInvoke*>(object.Get()), result)));
    ASSERT_EQ(result, S_OK);
  }
  void TearDown() override {
    stub = nullptr;
    object = nullptr;
    nxRemotingShutdown();
  }

  // The Format call: version, kind, slot, name, count, named values.
  static testing::TaggedBytes FormatCall(int32_t aVersion = 3) {
    HRESULT hr = S_OK;
    return testing::WrittenBy(
        [&](InxWriter& w) {
          w.WriteInteger(aVersion);
          w.WriteInteger(int32_t(nxInterfaceMethodCall));
          w.WriteInteger(int32_t{10});
          if (aVersion >= 3) w.WriteIdent(u"Format");
          w.WriteInteger(int32_t{5});
          if (aVersion <= 2) w.WriteInteger(int32_t{24});
          const int32_t n = 3;
          const std::u16string text = u"abc";
          const double d = 1.0;
          if (aVersion <= 2) {
            // The calling order of the convention: the last parameter first.
            nxWriteTypedValue(w, nxTypeInfo<double>(), &d);
            nxWriteTypedValue(w, nxTypeInfo<std::u16string>(), &text);
            return nxWriteTypedValue(w, nxTypeInfo<int32_t>(), &n);
          }
          w.WriteIdent(u"n");
          nxWriteTypedValue(w, nxTypeInfo<int32_t>(), &n);
          w.WriteIdent(u"s");
          nxWriteTypedValue(w, nxTypeInfo<std::u16string>(), &text);
          w.WriteIdent(u"d");
          return nxWriteTypedValue(w, nxTypeInfo<double>(), &d);
        },
        hr);
  }

  HRESULT Run(const testing::TaggedBytes& aBytes, std::u16string* aResult = nullptr) {
    HRESULT answer = S_OK;
    testing::TaggedBytes reply = testing::Written([&](TnxWriter& w) {
      TnxInterfacedWriter writer(w);
      answer = testing::ReadBy(aBytes, [&](InxReader& r) { return stub->Invoke(nullptr, nullptr, &r, &writer); });
    });
    if (aResult && answer == S_OK) {
      testing::ReadBy(reply, [&](InxReader& r) {
        r.ReadIdent();
        return nxReadTypedValue(r, nxTypeInfo<std::u16string>(), aResult);
      });
    }
    return answer;
  }

  TInterfacePtr<TInvokeObject> object;
  TInterfacePtr<InxInterfaceStub> stub;
};

TEST_F(InvokableStubFrames, EachWrongPartIsRefusedBeforeTheCall) {
  std::u16string result;
  ASSERT_EQ(Run(FormatCall(), &result), S_OK);
  EXPECT_EQ(result, u"abc:3+");
  ASSERT_EQ(Run(FormatCall(2)), S_OK);
  // Version 2 read in declaration order would take the double for n.

  const testing::TaggedBytes good = FormatCall();
  auto with = [](std::function<void(InxWriter&)> aWrite) {
    HRESULT hr = S_OK;
    return testing::WrittenBy(
        [&](InxWriter& w) {
          aWrite(w);
          return S_OK;
        },
        hr);
  };
  auto head = [](InxWriter& w, int32_t aVersion, int32_t aSlot) {
    w.WriteInteger(aVersion);
    w.WriteInteger(int32_t(nxInterfaceMethodCall));
    w.WriteInteger(aSlot);
  };
  const struct {
    const char* what;
    testing::TaggedBytes bytes;
    HRESULT expected;
  } rows[] = {
      {"slot 2", with([&](InxWriter& w) { head(w, 3, 2); }), RPC_E_INVALIDMETHOD},
      {"slot past the last", with([&](InxWriter& w) { head(w, 3, 99); }), RPC_E_INVALIDMETHOD},
      {"another name",
       with([&](InxWriter& w) {
         head(w, 3, 10);
         w.WriteIdent(u"Fail");
         w.WriteInteger(int32_t{5});
       }),
       RPC_E_INVALID_DATAPACKET},
      {"another count",
       with([&](InxWriter& w) {
         head(w, 3, 10);
         w.WriteIdent(u"FORMAT");
         w.WriteInteger(int32_t{4});
       }),
       RPC_E_INVALID_DATAPACKET},
      {"another stack size (version 2)",
       with([&](InxWriter& w) {
         head(w, 2, 10);
         w.WriteInteger(int32_t{5});
         w.WriteInteger(int32_t{20});
       }),
       RPC_E_INVALID_DATAPACKET},
      {"another parameter name",
       with([&](InxWriter& w) {
         head(w, 3, 10);
         w.WriteIdent(u"Format");
         w.WriteInteger(int32_t{5});
         w.WriteIdent(u"count");
         w.WriteInteger(int32_t{3});
       }),
       RPC_E_INVALID_PARAMETER},
      {"a value of another kind",
       with([&](InxWriter& w) {
         head(w, 3, 10);
         w.WriteIdent(u"Format");
         w.WriteInteger(int32_t{5});
         w.WriteIdent(u"n");
         w.WriteWideString(u"three");
       }),
       RPC_E_INVALID_DATAPACKET},
      {"a value outside its type",
       with([&](InxWriter& w) {
         head(w, 3, 3);
         w.WriteIdent(u"Ordinals");
         w.WriteInteger(int32_t{14});
         w.WriteIdent(u"a");
         w.WriteInteger(int32_t{300});
       }),
       RPC_E_INVALID_PARAMETER},
      {"cut after the count", testing::TaggedBytes(good.begin(), good.begin() + 20), RPC_E_INVALID_DATAPACKET},
      {"version 0",
       with([&](InxWriter& w) { head(w, 0, 10); }), platform::RPC_E_VERSION_MISMATCH},
  };
  for (const auto& row : rows) EXPECT_EQ(uint32_t(Run(row.bytes)), uint32_t(row.expected)) << row.what;
}

TEST_F(InvokableStubFrames, ABoundedMutationRunGivesResultsNeverACrash) {
  const testing::TaggedBytes good = FormatCall();
  const int32_t references = object->RefCount();
  int32_t served = 0;
  for (size_t at = 0; at < good.size(); ++at) {
    for (uint8_t value : {uint8_t(0), uint8_t(1), uint8_t(0x7F), uint8_t(0xFF), uint8_t(good[at] ^ 0x20)}) {
      testing::TaggedBytes bytes = good;
      bytes[at] = value;
      HRESULT result = S_OK;
      try {
        result = Run(bytes);
      } catch (const platform::Exception&) {
        // What the stream itself refuses reaches the channel as a failure.
        continue;
      }
      if (result == S_OK) ++served;
    }
  }
  EXPECT_GT(served, 0);
  EXPECT_EQ(object->RefCount(), references) << "nothing kept a reference";
}

}  // namespace
}  // namespace revurov
