// Dynamic invocation in one process: the method records a declaration
// makes, the invoke registry, call frames over a real object and the
// invoke wrapper with an interceptor in front of every call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/error_info.h"
#include "platform/text.h"
#include "support/echo_pair.h"
#include "support/invoke_types.h"
#include "transport/remoting/invoke_declare.h"
#include "transport/remoting/invoke_registry.h"
#include "transport/remoting/startup.h"

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
using testing::TInvokeObject;

const TnxIntfMetaData& Meta() { return TnxInvokable<ITestInvoke>::Decl()->idMeta; }

const TnxIntfMethEntry& Method(const TnxIntfMetaData& aMeta, std::u16string_view aName) {
  for (const TnxIntfMethEntry& m : aMeta.imdMethods)
    if (m.imeName == aName) return m;
  ADD_FAILURE() << "no method " << platform::Utf16ToUtf8(aName);
  return aMeta.imdMethods.front();
}

std::string Order(const TnxIntfMethEntry& aMethod) {
  std::string order;
  for (const TnxIntfParamEntry& p : aMethod.imeParams) {
    if (!order.empty()) order += ' ';
    order += platform::Utf16ToUtf8(p.ipeName);
    if (p.ipeByRef) order += '&';
  }
  return order;
}

TEST(InvokeMethodInfo, ConventionsOrderAndPlaceParametersAsTheWireExpects) {
  const struct {
    const char16_t* method;
    uint32_t pos;
    const char* order;
    TnxResultIn resultIn;
    const char16_t* result;
    uint32_t sizeOnStack;
  } rows[] = {
      // stdcall: reversed, the HRESULT in EAX.
      {u"Ordinals", 3, "next& sum& k j i h g f e d c b a Self", riEAXHRESULT, u"__Result__", 60},
      {u"Floats", 4, "total& io& e d c b a Self", riEAXHRESULT, u"__Result__", 52},
      // A short string goes by reference whatever the convention.
      {u"Texts", 5, "joined& io& shortText& ole ansi u Self", riEAXHRESULT, u"__Result__", 28},
      {u"OnlyOuts", 8, "b& a& Self", riEAXHRESULT, u"__Result__", 12},
      // safecall: the result first (out, by reference), then reversed.
      {u"Format", 10, "__Result__& d s n Self", riEAXHRESULT, u"__SafeResult__", 24},
      {u"Fail", 11, "__Result__& code Self", riEAXHRESULT, u"__SafeResult__", 12},
      {u"PathLength", 14, "__Result__& Self", riEAXHRESULT, u"__SafeResult__", 8},
      // register: declaration order; an Int64 never fits a register, the
      // result comes in EAX:EDX; a float result on the FPU stack; a string
      // result as a last out parameter, which takes a register.
      {u"Big", 15, "Self a", riEAXEDX, u"__Result__", 8},
      {u"Half", 16, "Self a", riST0, u"__Result__", 8},
      {u"Name", 17, "Self __Result__&", riInParam, u"", 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(platform::Utf16ToUtf8(row.method));
    const TnxIntfMethEntry& m = Method(Meta(), row.method);
    EXPECT_EQ(m.imePos, row.pos);
    EXPECT_EQ(Order(m), row.order);
    EXPECT_EQ(m.imeResultIn, row.resultIn);
    EXPECT_EQ(m.imeResult.ipeName, row.result);
    EXPECT_EQ(m.imeSizeOnStack, row.sizeOnStack);
    EXPECT_EQ(m.imeParamCount, m.imeParams.size());
    EXPECT_EQ(m.imeParams[m.imeSelfParam].ipeName, u"Self");
  }
  const TnxIntfMethEntry& format = Method(Meta(), u"Format");
  EXPECT_EQ(format.imeParams[0].ipeFlags, pfOut);
  EXPECT_EQ(format.imeResult.ipeTypeName, u"HRESULT");
  EXPECT_EQ(format.imeParams[2].ipeFlags, pfConst);
  const TnxIntfMethEntry& ordinals = Method(Meta(), u"Ordinals");
  EXPECT_EQ(ordinals.imeParams[0].ipeFlags, pfOut);  // named out
  EXPECT_EQ(ordinals.imeByRefFlags, 0b11u);
  EXPECT_TRUE(Meta().imdContainsSafeCall);
  EXPECT_EQ(Meta().imdNumAnc, 3);
}

TEST(InvokeMethodInfo, ADescendantNumbersItsMethodsAfterItsAncestors) {
  const TnxIntfMetaData& more = TnxInvokable<ITestInvokeMore>::Decl()->idMeta;
  EXPECT_EQ(more.imdNumAnc, int32_t(Meta().imdMethods.size()));
  ASSERT_EQ(more.imdMethods.size(), Meta().imdMethods.size() + 1);
  EXPECT_EQ(more.imdMethods.back().imeName, u"More");
  EXPECT_EQ(more.imdMethods.back().imePos, 18u);
  EXPECT_EQ(more.imdParent, &Meta());
  for (uint32_t i = 0; i < 3; ++i) EXPECT_TRUE(more.imdMethods[i].imeName.empty()) << i;
}

TEST(InvokeMethodInfo, AParameterWithoutTypeFailsTheMethodWithItsName) {
  TnxMethodDecl decl;
  decl.name = u"Broken";
  decl.cc = ccStdCall;
  decl.params.push_back(TnxParamDecl{u"good", &nxTypeInfo<int32_t>(), 0});
  decl.params.push_back(TnxParamDecl{u"bad", nullptr, 0});
  try {
    nxBuildMethod(decl, 3, nxTypeInfo<platform::TInterfacePtr<ITestInvoke>>(), true, u"ITest", u"Unit");
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.Message(), u"Parameter \"bad\" on Method \"Broken\" of Interface \"Unit.ITest\" has no RTTI");
  }
}

class InvokeRegistry : public ::testing::Test {
protected:
  void SetUp() override { nxRemotingStartup(); }
  void TearDown() override { nxRemotingShutdown(); }
};

TEST_F(InvokeRegistry, RegistersOnceParentsFirstAndKnowsOnlyWhatHasMethods) {
  const TInterfacePtr<InxInvokeRegistry> registry = nxInvokeRegistry();
  const int32_t more = registry->RegisterInterface(TnxInvokable<ITestInvokeMore>::Decl());
  const int32_t base = registry->RegisterInterface(TnxInvokable<ITestInvoke>::Decl());
  EXPECT_LT(base, more);
  EXPECT_EQ(registry->RegisterInterface(TnxInvokable<ITestInvokeMore>::Decl()), more);
  EXPECT_EQ(registry->IsRegistered(ITestInvoke::IID), S_OK);
  EXPECT_EQ(registry->IsRegistered(testing::ITestEcho::IID), S_FALSE);

  TInterfacePtr<InxInvokeStub> stub;
  EXPECT_EQ(registry->CreateStub(testing::ITestEcho::IID, nullptr, stub), platform::E_NOINTERFACE);
  TInterfacePtr<InxInvokeProxy> proxy;
  const TInterfacePtr<TInvokeObject> object(nxCreate<TInvokeObject>());
  EXPECT_EQ(registry->CreateProxy(testing::ITestEcho::IID, static_cast<ITestInvoke*>(object.Get()), proxy),
            platform::E_NOINTERFACE);
  try {
    registry->RegisterInterface(nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.Message(), u"no type info");
  }

  // A stub without dispatcher counts itself and implements the interface.
  ASSERT_EQ(registry->CreateStub(ITestInvoke::IID, nullptr, stub), S_OK);
  EXPECT_TRUE(platform::Supports<ITestInvoke>(stub.Get()));
  EXPECT_FALSE(platform::Supports<InxInvokeDispatcher>(stub.Get()));
}

TEST_F(InvokeRegistry, CallFramesTakeOnlyMethodsOfTheirInterface) {
  const TInterfacePtr<InxInvokeRegistry> registry = nxInvokeRegistry();
  registry->RegisterInterface(TnxInvokable<ITestInvokeMore>::Decl());
  const TInterfacePtr<TInvokeObject> object(nxCreate<TInvokeObject>());
  TInterfacePtr<InxInvokeProxy> proxy;
  ASSERT_EQ(registry->CreateProxy(ITestInvoke::IID, static_cast<ITestInvoke*>(object.Get()), proxy), S_OK);

  const TnxIntfMethEntry* method = nullptr;
  TInterfacePtr<InxCallFrame> frame;
  void** params = nullptr;
  for (int32_t index : {-1, 0, 1, 2, int32_t(Meta().imdMethods.size())})
    EXPECT_EQ(proxy->CreateCallFrame(index, method, frame, params), RPC_E_INVALIDMETHOD) << index;
  // The descendant's entry for the same method is not this interface's.
  const TnxIntfMethEntry& foreign = TnxInvokable<ITestInvokeMore>::Decl()->idMeta.imdMethods[10];
  void* values[8] = {};
  EXPECT_EQ(proxy->CreateCallFrameFor(&foreign, values, frame), RPC_E_INVALIDMETHOD);

  // An allocated frame calls the real method and keeps the result.
  const TnxIntfMethEntry& format = Method(Meta(), u"Format");
  ASSERT_EQ(proxy->CreateCallFrame(int32_t(format.imePos), method, frame, params), S_OK);
  EXPECT_EQ(method, &format);
  *static_cast<int32_t*>(params[format.imeDeclared[0]]) = 7;
  *static_cast<std::u16string*>(params[format.imeDeclared[1]]) = u"x";
  *static_cast<double*>(params[format.imeDeclared[2]]) = -1.5;
  EXPECT_EQ(frame->Execute(), S_OK);
  EXPECT_EQ(*static_cast<HRESULT*>(params[format.imeParamCount]), S_OK);
  EXPECT_EQ(*static_cast<std::u16string*>(params[format.imeHiddenResult]), u"x:7-");

  // From values: a copy by type; the source stays as it was.
  const TnxIntfMethEntry& arrays = Method(Meta(), u"Arrays");
  std::vector<int32_t> numbers{1, 3};
  std::vector<std::u16string> texts;
  HRESULT hr = 0;
  void* source[4] = {};
  source[arrays.imeDeclared[0]] = &numbers;
  source[arrays.imeDeclared[1]] = &texts;
  void* self = nullptr;
  source[arrays.imeSelfParam] = &self;
  source[arrays.imeParamCount] = &hr;
  ASSERT_EQ(proxy->CreateCallFrameFrom(&arrays, source, frame, params), S_OK);
  EXPECT_EQ(frame->Execute(), S_OK);
  EXPECT_EQ(*static_cast<std::vector<std::u16string>*>(params[arrays.imeDeclared[1]]),
            (std::vector<std::u16string>{u"x", u"xxx"}));
  EXPECT_TRUE(texts.empty());
}

// Counts the calls, lets them through unless told to answer a failure.
class TCountingInterceptor final : public TnxInterfacedObject, public InxInvokeInterceptor {
public:
  HRESULT Intercept(const TnxIntfMethEntry* aMethod, void**, InxCallFrame* aFrame) override {
    ++calls;
    lastMethod = aMethod->imeName;
    if (refuse < 0) return refuse;
    return aFrame->Execute();
  }
  int32_t calls = 0;
  std::u16string lastMethod;
  HRESULT refuse = S_OK;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInvokeInterceptor>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

TEST_F(InvokeRegistry, AWrapperPutsTheInterceptorInFrontOfEveryCall) {
  const int32_t liveBefore = testing::gLiveInvokeObjects.load();
  const TInterfacePtr<InxInvokeRegistry> registry = nxInvokeRegistry();
  registry->RegisterInterface(TnxInvokable<ITestInvokeMore>::Decl());
  registry->RegisterInterface(TnxInvokable<ITestCallback>::Decl());
  const TInterfacePtr<TCountingInterceptor> interceptor(nxCreate<TCountingInterceptor>());
  {
    TInterfacePtr<IInterface> wrapper;
    {
      const TInterfacePtr<TInvokeObject> object(nxCreate<TInvokeObject>());
      ASSERT_EQ(registry->CreateWrapper(static_cast<ITestInvoke*>(object.Get()), interceptor.Get(), wrapper), S_OK);
    }
    const TInterfacePtr<ITestInvoke> wrapped = platform::Supports<ITestInvoke>(wrapper.Get());
    ASSERT_TRUE(wrapped);
    EXPECT_EQ(platform::Supports<ITestInvoke>(wrapper.Get()).Get(), wrapped.Get()) << "wrapped once";
    EXPECT_NE(static_cast<void*>(wrapped.Get()), nullptr);

    int64_t sum = 0;
    testing::TColour next = testing::TColour::Red;
    EXPECT_EQ(wrapped->Ordinals(-1, 2, -3, 4, -5, 6, -7, true, 'A', u'B', testing::TColour::Violet, sum, next), S_OK);
    EXPECT_EQ(sum, -1 + 2 - 3 + 4 - 5 + 6 - 7 + 1 + 65 + 66);
    EXPECT_EQ(next, testing::TColour::Red);
    EXPECT_EQ(wrapped->Format(3, u"abc", 2.0), u"abc:3+");
    EXPECT_EQ(wrapped->Big(1LL << 40), 3LL << 40);
    EXPECT_EQ(wrapped->Half(5.0), 2.5);
    EXPECT_EQ(wrapped->Name(), u"TInvokeObject");
    const TInterfacePtr<ITestCallback> callback = wrapped->MakeCallback(5);
    ASSERT_TRUE(callback);
    EXPECT_EQ(callback->Twice(4), 20);
    EXPECT_EQ(interceptor->calls, 6);
    EXPECT_EQ(interceptor->lastMethod, u"MakeCallback");

    // A safecall failure: HRESULT and error information reach the caller.
    try {
      wrapped->Fail(int32_t(0x8004FF01u));
      ADD_FAILURE() << "no exception";
    } catch (const EOleException& e) {
      EXPECT_EQ(uint32_t(e.ErrorCode()), 0x8004FF01u);
      EXPECT_EQ(e.Message(), u"failed on purpose");
    }
    // The interceptor's refusal: an HRESULT method answers it, others raise.
    interceptor->refuse = HRESULT(0x80040005u);
    int32_t a = 0;
    std::u16string b;
    EXPECT_EQ(uint32_t(wrapped->OnlyOuts(a, b)), 0x80040005u);
    EXPECT_THROW(wrapped->Big(1), EOleSysError);
    interceptor->refuse = S_OK;

    // An interface the registry does not know is not wrapped, and not
    // remembered either.
    EXPECT_FALSE(platform::Supports<testing::ITestEcho>(wrapper.Get()));
    EXPECT_FALSE(platform::Supports<testing::ITestEcho>(wrapper.Get()));
    const TInterfacePtr<ITestInvokeMore> more = platform::Supports<ITestInvokeMore>(wrapper.Get());
    ASSERT_TRUE(more);
    int32_t out = 2;
    EXPECT_EQ(more->More(40, out), S_OK);
    EXPECT_EQ(out, 42);
  }
  EXPECT_EQ(testing::gLiveInvokeObjects.load(), liveBefore) << "the wrapper let go of the object";
}

}  // namespace
}  // namespace revurov
