// Instances the server makes for a remote engine object, over loopback TCP:
// the request each object sends, the class proxy that reaches the server's
// object over a channel of the session, and the failures that build
// nothing.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <vector>

#include "engine/abstract_database.h"
#include "engine/remotable_interfaces.h"
#include "engine/remote_cursor.h"
#include "engine/remote_instances.h"
#include "engine/remote_statement.h"
#include "engine/remote_task_info.h"
#include "engine/remote_trans_context.h"
#include "engine/security_interfaces.h"
#include "engine/startup.h"
#include "lowlevel/components/component_info.h"
#include "lowlevel/components/log.h"
#include "lowlevel/components/state_component.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "remoting/support/echo_pair.h"
#include "support/instance_server.h"
#include "support/remote_cursor_fixture.h"
#include "support/tagged_bytes.h"
#include "support/within.h"
#include "transport/remoting/call_context.h"
#include "transport/remoting/class_proxies.h"
#include "transport/remoting/invoke_registry.h"
#include "transport/remoting/startup.h"

namespace revurov::testing {
namespace {

using platform::HRESULT;
using platform::TGUID;
using platform::TInterfacePtr;

constexpr TGUID kOtherProxy = platform::nxGuid("{5C0F1E2D-3B4A-4968-8776-A5B4C3D2E1F0}");
constexpr TGUID kUnknownClass = platform::nxGuid("{5C0F1E2D-3B4A-4968-8776-A5B4C3D2E1F1}");

class RemoteInstancesTest : public RemoteCursorFixture {
protected:
  static void SetUpTestSuite() { nxRemotingStartup(); }
  static void TearDownTestSuite() { nxRemotingShutdown(); }

  RemoteInstancesTest() {
    const TInterfacePtr<InxInterfaceStubFactory> stubs(nxCreate<TnxInterfaceStubFactoryOf<TestEchoStub>>());
    EXPECT_EQ(nxInterfaceStubFactoryRegistry()->RegisterInterfaceStubFactory(kEchoStubID, stubs.Get(), stubControl),
              platform::S_OK);
    stubControl->RegisterForInterface(0, ITestEcho::IID);
    const TInterfacePtr<InxInterfaceProxyFactory> proxies(nxCreate<TnxInterfaceProxyFactoryOf<TestEchoProxy>>());
    EXPECT_EQ(
        nxInterfaceProxyFactoryRegistry()->RegisterInterfaceProxyFactory(kEchoStubID, proxies.Get(), proxyControl),
        platform::S_OK);
    proxyControl->RegisterForInterface(0, ITestEcho::IID);
    startObjects = gLiveEchoObjects.load();
    startProxies = nxLiveClassProxyCount();
    handler->Configure([](TTestCommandHandler& h) { h.Tables[u"Alpha"] = {u"Orders"}; });
  }
  ~RemoteInstancesTest() override {
    EXPECT_TRUE(Within(std::chrono::seconds(5), [&] {
      return gLiveEchoObjects.load() == startObjects && nxLiveClassProxyCount() == startProxies;
    })) << "every proxy and server object is gone";
    stubControl->Unregister();
    proxyControl->Unregister();
  }

  // The call context a request starts with: its class, version and route
  // (this process alone, under a context ID of its own).
  static TaggedBytes Context() {
    TInterfacePtr<InxCallContext> context;
    nxGetCallContext(context);
    TnxRoutingPath route;
    context->GetRoutingPath(route);
    EXPECT_EQ(route.size(), 1u);
    return Written([&](TnxWriter& w) {
      w.WriteGuid(InxCallContext::IID);
      w.WriteInteger(nxCallContextVersion);
      w.WriteListBegin();
      w.WriteInteger(int32_t(route.size()));
      for (const TnxObjectIdentity& entry : route) {
        w.WriteGuid(entry.oiServerID);
        w.WriteGuid(entry.oiInstanceID);
      }
      w.WriteListEnd();
    });
  }
  // What follows the context: the object's ID (none for a session), the
  // offered class proxies, the name, the class, the interface and this
  // process's identity.
  static TaggedBytes Request(const TnxBaseID* aID, const std::vector<TGUID>& aOffered, std::u16string_view aName) {
    return Written([&](TnxWriter& w) {
      if (aID) w.WriteInteger(int32_t(*aID));
      w.WriteInteger(int32_t(aOffered.size()));
      std::vector<uint8_t> raw(16 * aOffered.size());
      for (size_t i = 0; i < aOffered.size(); ++i) platform::GUIDToBytes(aOffered[i], raw.data() + 16 * i);
      w.WriteBinary(raw.data(), int32_t(raw.size()));
      w.WriteString(aName);
      w.WriteGuid(kEchoClassID);
      w.WriteGuid(ITestEcho::IID);
      w.WriteGuid(nxProcessID());
    });
  }
  // aPayload as context and request; the context's ID is left out (each
  // context has a new one).
  static void ExpectRequest(const TaggedBytes& aPayload, const TaggedBytes& aRequest) {
    const TaggedBytes context = Context();
    ASSERT_EQ(aPayload.size(), context.size() + aRequest.size());
    const size_t idAt = context.size() - 1 - 16;
    EXPECT_EQ(TaggedBytes(aPayload.begin(), aPayload.begin() + idAt), TaggedBytes(context.begin(), context.begin() + idAt));
    EXPECT_EQ(TaggedBytes(aPayload.begin() + context.size(), aPayload.end()), aRequest);
  }

  TInstanceServer server{*handler, [](const TGUID& aClassID) -> TInterfacePtr<platform::IInterface> {
                           if (!(aClassID == kEchoClassID)) return nullptr;
                           const TInterfacePtr<TestEchoObject> made(nxCreate<TestEchoObject>());
                           return TInterfacePtr<platform::IInterface>(static_cast<ITestEcho*>(made.Get()));
                         }};
  TInterfacePtr<InxInterfaceStubFactoryControl> stubControl;
  TInterfacePtr<InxInterfaceProxyFactoryControl> proxyControl;
  int32_t startObjects = 0;
  int32_t startProxies = 0;
};

TEST_F(RemoteInstancesTest, EachObjectAsksTheServerAndTheProxyReachesTheServersObject) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  TnxAbstractStatement* statement = nullptr;
  handler->Configure([](TTestCommandHandler& h) { h.Statements[u"q"] = {}; });
  ASSERT_EQ(database->StatementAlloc(statement, 1000), 0u);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(database->TablePack(u"Orders", u"", task), 0u);
  TnxAbstractTransContext* context = nullptr;
  ASSERT_EQ(session->TransContextCreate(context, 1000), 0u);

  const struct {
    const char* name;
    TnxAbstractServerObject* object;
    TnxMsgID msgID;
    bool withID;
  } rows[] = {{"session", session, 0x161, false},     {"database", database, 0x261, true},
              {"transaction context", context, 0x961, true}, {"cursor", cursor, 0x3E1, true},
              {"statement", statement, 0x4E1, true},  {"task info", task, 0x5E1, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_NE(row.object, nullptr);
    const size_t before = SentCount(session);
    void* made = nullptr;
    ASSERT_EQ(row.object->CreateInstanceFor(u"Echo.One", kEchoClassID, nullptr, ITestEcho::IID, &made),
              platform::S_OK);
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(SentBy(session, before), (std::vector<TnxMsgID>{row.msgID}));
    const TnxBaseID id = row.object->RemoteID();
    ExpectRequest(LastPayload(row.msgID), Request(row.withID ? &id : nullptr, server.Offered(), u"Echo.One"));
    EXPECT_EQ(server.LastName(), u"Echo.One");
    EXPECT_FALSE(server.Offered().empty());

    const TInterfacePtr<ITestEcho> echo = TInterfacePtr<ITestEcho>::Attach(static_cast<ITestEcho*>(made));
    EXPECT_EQ(gLiveEchoObjects.load(), startObjects + 1);
    const std::vector<uint8_t> bytes{1, 2, 3, 250};
    EXPECT_EQ(echo->Echo(bytes), bytes);
  }
  // Each proxy went with its last reference, and its channel with it.
  EXPECT_TRUE(Within(std::chrono::seconds(5), [&] { return gLiveEchoObjects.load() == startObjects; }));
  task->Free();
  statement->Free();
  context->Free();
}

TEST_F(RemoteInstancesTest, LocalPathsStayOnTheClient) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  const size_t before = SentCount(session);
  for (const char16_t* path : {u"<Self>", u"<cursor>.<Self>", u"<Database>", u"<Session>.<Self>"}) {
    void* made = nullptr;
    EXPECT_EQ(cursor->CreateInstanceFor(path, nxServerObjectClassID, nullptr, InxAbstractServerObject41100::IID, &made),
              platform::S_OK);
    EXPECT_NE(made, nullptr);
  }
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteInstancesTest, FailuresBuildNothingAndReadAsFailures) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  const int32_t exits = nxLiveChannelExitCount();
  const struct {
    const char* name;
    TScriptedReply reply;  // the server's answer; none: as it serves
    const TGUID* classID;
    bool outer;
    HRESULT result;
  } cases[] = {
      {"an outer object with another interface", {}, &kEchoClassID, true, platform::E_INVALIDARG},
      {"a class the server does not make", {}, &kUnknownClass, false, platform::E_NOINTERFACE},
      {"the server's error", Fixed(nxeInvalidHandle), &kEchoClassID, false, nxEngineResultHResult(nxeInvalidHandle)},
      {"a class proxy that was not offered",
       Fixed(0, Written([](TnxWriter& w) {
               w.WriteInteger(0);
               w.WriteGuid(kUnknownClass);
               w.WriteGuid(kUnknownClass);
               w.WriteGuid(kOtherProxy);
               w.WriteValue(vaNil);
             })),
       &kEchoClassID, false, platform::E_INVALIDARG},
      {"a reply that ends early",
       Fixed(0, Written([](TnxWriter& w) {
               w.WriteInteger(0);
               w.WriteGuid(kUnknownClass);
             })),
       &kEchoClassID, false, platform::E_UNEXPECTED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    handler->Script(0x3E1, c.reply);
    EnxBaseException::SetLastConvertedException(0, u"");
    const size_t before = SentCount(session);
    TestEchoObject outer;
    void* made = &outer;
    const HRESULT result = cursor->CreateInstanceFor(u"Echo", *c.classID, c.outer ? static_cast<ITestEcho*>(&outer) : nullptr,
                                                     ITestEcho::IID, &made);
    EXPECT_EQ(result, c.result);
    EXPECT_LT(result, 0) << "a caller testing for success sees the failure";
    EXPECT_EQ(made, nullptr);
    EXPECT_EQ(SentCount(session) - before, c.outer ? 0u : 1u);
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    EXPECT_EQ(code, c.result == nxEngineResultHResult(nxeInvalidHandle) ? nxeInvalidHandle : 0u);
  }
  EXPECT_EQ(nxLiveChannelExitCount(), exits) << "no channel was left open";
}

// ---- the engine's remotable interfaces ----

class TCollectIDs final : public TnxInterfacedObject, public InxInvokeEnumCallback {
public:
  HRESULT Found(const TnxIntfMetaData* aMetaData) override {
    ids.push_back(aMetaData->imdInterfaceID);
    return platform::S_OK;
  }
  std::vector<TGUID> ids;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxInvokeEnumCallback>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

std::vector<TGUID> RegisteredInterfaces() {
  const TInterfacePtr<TCollectIDs> collect(nxCreate<TCollectIDs>());
  EXPECT_EQ(nxInvokeRegistry()->Enumerate(collect.Get()), platform::S_OK);
  return collect->ids;
}

TEST(RemotableInterfaces, TheEngineRegistersThemInOrderAndTheTableGoesWithItsShutDown) {
  if (nxRemotingStartupCount() != 0) GTEST_SKIP() << "the remoting library is held by another test";
  {
    TnxEngineStartupGuard engine;
    EXPECT_EQ(RegisteredInterfaces(),
              (std::vector<TGUID>{InxComponentInfo31000::IID, InxLoggableComponentInfo31000::IID,
                                  InxStateComponentInfo31000::IID, InxLoggedInUser31000::IID,
                                  InxLoggedInUser46000::IID, InxModifyUser31000::IID, InxModifyUser46000::IID,
                                  InxLoggedInAdministrator31000::IID,
                                  InxAbstractSecurityMonitorComponentInfo31000::IID,
                                  InxSecurityExtender31000::IID, InxAbstractDatabase31000::IID,
                                  InxAbstractServerObject41100::IID}));
    // Registered once: a second start-up adds nothing.
    TnxEngineStartupGuard again;
    EXPECT_EQ(RegisteredInterfaces().size(), 12u);
  }
  TnxRemotingStartupGuard remoting;
  EXPECT_TRUE(RegisteredInterfaces().empty());
}

}  // namespace
}  // namespace revurov::testing
