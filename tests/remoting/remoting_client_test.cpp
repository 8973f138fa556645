// The remoting client: the create-instance request in its bytes, what the
// class proxy factory is handed, and every way CreateInstance fails, over
// TCP on 127.0.0.1.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lowlevel/errors/exceptions.h"
#include "remoting_test_support.h"
#include "support/channel_fixture.h"
#include "transport/remoting/call_context.h"
#include "transport/remoting/class_proxies.h"
#include "transport/remoting/factory_interfaces.h"
#include "transport/remoting/remoting_client.h"

namespace revurov {
namespace {

using platform::HRESULT;
using platform::IInterface;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using testing::AppendGuid;
using testing::AppendInt8;
using testing::ContextBlock;
using testing::TaggedBytes;

constexpr TGUID kClass = platform::nxGuid("{6D2E8F14-3A5B-4C7D-9E0F-1A2B3C4D5E61}");
constexpr TGUID kUnservedClass = platform::nxGuid("{6D2E8F14-3A5B-4C7D-9E0F-1A2B3C4D5E62}");
constexpr TGUID kOtherInterface = platform::nxGuid("{6D2E8F14-3A5B-4C7D-9E0F-1A2B3C4D5E63}");

class TTestProxy final : public TnxInterfacedObject, public InxClassProxy {
public:
  platform::HRESULT GetRoutingPath(TnxRoutingPath& aPath) override {
    aPath.clear();
    return S_OK;
  }
  HRESULT CreateRequest(TInterfacePtr<InxWriter>&) override { return platform::E_NOTIMPL; }
  HRESULT SendRequest(InxWriter*, TInterfacePtr<InxReader>&) override { return platform::E_NOTIMPL; }
  HRESULT ReferenceReceived(InxChannelEntrance*, const TnxRoutingPath&) override { return platform::E_NOTIMPL; }

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxClassProxy>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

// Records what CreateProxy is handed; the version is read there, as a
// class proxy does.
class TProxyFactory final : public TnxInterfacedObject, public InxClassProxyFactory {
public:
  HRESULT Supports(const TGUID&) override { return S_OK; }
  HRESULT CreateProxy(IInterface* aOuter, InxChannelEntrance* aChannel, const TGUID& aClassID,
                      const TnxRoutingPath& aPath, InxReader* aReader, TInterfacePtr<InxClassProxy>& aProxy) override {
    outer = aOuter;
    entrance = aChannel;
    classID = aClassID;
    path = aPath;
    version = aReader->ReadInteger();
    if (answer != S_OK) return answer;
    aProxy = TInterfacePtr<InxClassProxy>(nxCreate<TTestProxy>());
    return S_OK;
  }

  IInterface* outer = nullptr;
  TInterfacePtr<InxChannelEntrance> entrance;
  TGUID classID;
  TnxRoutingPath path;
  int32_t version = 0;
  HRESULT answer = S_OK;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxClassProxyFactory>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class RemotingClient : public testing::ChannelsOverTcp {
protected:
  void SetUp() override {
    ChannelsOverTcp::SetUp();
    // Only the test's proxy factories: the default one serves every class.
    nxClassProxiesShutdown();
    session->SetActive(true);
    remoting.reset(testing::NewComponent<TnxRemotingClient>(u"Remoting"));
    remoting->SetSession(session.get());
    remoting->SetActive(true);
    ASSERT_EQ(remoting->State(), nxsStarted);
  }
  void TearDown() override {
    for (auto& control : controls) control->Unregister();
    controls.clear();
    factory = nullptr;
    remoting.reset();
    ChannelsOverTcp::TearDown();
  }
  // A factory registered for aClass under aProxyID.
  void Register(const TGUID& aProxyID, const TGUID& aClass = kClass) {
    TInterfacePtr<InxClassProxyFactoryControl> control;
    ASSERT_EQ(nxClassProxyFactoryRegistry()->RegisterClassProxyFactory(aProxyID, factory.Get(), control), S_OK);
    ASSERT_EQ(control->RegisterForClass(0, aClass), S_OK);
    controls.push_back(control);
  }

  testing::TOwned<TnxRemotingClient> remoting;
  TInterfacePtr<TProxyFactory> factory{nxCreate<TProxyFactory>()};
  std::vector<TInterfacePtr<InxClassProxyFactoryControl>> controls;
};

TEST_F(RemotingClient, RequiresASessionWithRequestsAndRegistersItsClass) {
  EXPECT_TRUE(remoting->RequiresSession());
  EXPECT_NE(TnxRegisterableComponent::FindRegisteredClass(u"TnxRemotingClient"), nullptr);
  TInterfacePtr<InxSessionRequests> requests;
  EXPECT_TRUE(remoting->GetSessionRequests(requests));
  EXPECT_EQ(requests.Get(), Requests());
}

TEST_F(RemotingClient, CreatesTheObjectAndHandsTheProxyFactoryTheChannelAndTheReplyAtTheVersion) {
  const TGUID proxyA = testing::Id(0xA1);
  const TGUID proxyB = testing::Id(0xB2);
  Register(proxyA);
  Register(proxyB);
  TInterfacePtr<IInterface> object;
  TaggedBytes expected;
  {
    TInterfacePtr<InxCallContext> context(nxCreate<TnxCallContext>());
    TnxCallContextScope scope(context);
    ASSERT_EQ(remoting->CreateInstance(kClass, nullptr, InxClassProxy::IID, object), S_OK);
    expected = ContextBlock(*context);
  }
  ASSERT_NE(object.Get(), nullptr);
  EXPECT_TRUE(platform::Supports<InxClassProxy>(object.Get()));

  // The request: context block, two proxy IDs as one binary, class,
  // interface, this process.
  AppendInt8(expected, 2);
  expected.insert(expected.end(), {vaBinary, 32, 0, 0, 0});
  for (const TGUID& id : {proxyA, proxyB}) {
    uint8_t raw[16];
    platform::GUIDToBytes(id, raw);
    expected.insert(expected.end(), raw, raw + 16);
  }
  AppendGuid(expected, kClass);
  AppendGuid(expected, InxClassProxy::IID);
  AppendGuid(expected, nxProcessID());
  EXPECT_EQ(handler->LastCreate(), expected);

  // What step 8 is handed.
  EXPECT_EQ(factory->outer, nullptr);
  EXPECT_EQ(factory->classID, kClass);
  EXPECT_EQ(factory->version, testing::kStubVersion);
  ASSERT_NE(factory->entrance.Get(), nullptr);
  EXPECT_TRUE(factory->entrance->IsConnected());
  TGUID server, channel;
  factory->entrance->GetServerID(server);
  factory->entrance->GetChannelID(channel);
  EXPECT_EQ(server, nxProcessID());
  EXPECT_EQ(factory->path, (TnxRoutingPath{{nxProcessID(), channel}}));
  // Held until the call: a loaded machine may take longer than the keep time.
  TInterfacePtr<InxTransportChannelExit> exit;
  EXPECT_EQ(nxFindChannelExit(channel, exit), S_OK);

  // The channel carries calls.
  TInterfacePtr<InxWriter> writer;
  ASSERT_EQ(factory->entrance->CreateRequest(writer), S_OK);
  writer->WriteInteger(int32_t{testing::soFail});
  writer->WriteInteger(int32_t{0x40});
  TInterfacePtr<InxReader> reader;
  EXPECT_EQ(factory->entrance->SendRequest(writer.Get(), reader), 0x40);
  exit = nullptr;
  object = nullptr;
  factory->entrance = nullptr;
  ExpectStartCounts();
}

TEST_F(RemotingClient, FailuresOfCreateInstance) {
  Register(testing::Id(1));
  Register(testing::Id(2), testing::kRefusedClass);
  TTestProxy outer;
  const struct {
    const char* name;
    TGUID classID;
    IInterface* outer;
    TGUID interfaceID;
    HRESULT factoryAnswer;
    HRESULT result;
    bool sent;
  } rows[] = {
      {"outer object with another interface", kClass, static_cast<InxClassProxy*>(&outer), InxClassProxy::IID, S_OK,
       platform::E_INVALIDARG, false},
      {"no class proxy for the class", kUnservedClass, nullptr, InxClassProxy::IID, S_OK, platform::E_NOINTERFACE,
       false},
      {"server refuses", testing::kRefusedClass, nullptr, InxClassProxy::IID, S_OK, testing::kRefusedResult, true},
      {"proxy factory fails", kClass, nullptr, InxClassProxy::IID, HRESULT(0x80004005u), HRESULT(0x80004005u), true},
      {"interface the proxy does not offer", kClass, nullptr, kOtherInterface, S_OK, platform::E_NOINTERFACE, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    factory->answer = row.factoryAnswer;
    const int32_t before = session->requests.load();
    TInterfacePtr<IInterface> object;
    EXPECT_EQ(remoting->CreateInstance(row.classID, row.outer, row.interfaceID, object), row.result);
    EXPECT_EQ(object.Get(), nullptr);
    EXPECT_EQ(session->requests.load() > before, row.sent);
  }
  factory->entrance = nullptr;
  ExpectStartCounts();
}

TEST_F(RemotingClient, AnOuterObjectMayAskForIInterfaceOnlyAndReachesTheFactory) {
  Register(testing::Id(1));
  TInterfacePtr<TTestProxy> outer(nxCreate<TTestProxy>());
  TInterfacePtr<IInterface> object;
  ASSERT_EQ(remoting->CreateInstance(kClass, static_cast<InxClassProxy*>(outer.Get()), IInterface::IID, object), S_OK);
  EXPECT_EQ(factory->outer, static_cast<IInterface*>(static_cast<InxClassProxy*>(outer.Get())));
  object = nullptr;
  factory->entrance = nullptr;
  ExpectStartCounts();
}

TEST_F(RemotingClient, OffersAtMost128ClassProxyIDs) {
  for (uint32_t i = 1; i <= 130; ++i) Register(testing::Id(i));
  TInterfacePtr<IInterface> object;
  ASSERT_EQ(remoting->CreateInstance(kClass, nullptr, InxClassProxy::IID, object), S_OK);
  const std::vector<TGUID> offered = handler->Offered();
  ASSERT_EQ(offered.size(), 128u);
  for (uint32_t i = 0; i < 128; ++i) EXPECT_EQ(offered[i], testing::Id(i + 1));
  object = nullptr;
  factory->entrance = nullptr;
  ExpectStartCounts();
}

TEST_F(RemotingClient, NotStartedRaisesAndATransportFailureRaisesItsCode) {
  Register(testing::Id(1));
  session->End();
  TInterfacePtr<IInterface> object;
  try {
    remoting->CreateInstance(kClass, nullptr, InxClassProxy::IID, object);
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeLostConnection);
  }
  remoting->SetActive(false);
  try {
    remoting->CreateInstance(kClass, nullptr, InxClassProxy::IID, object);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("must be started"), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace revurov
