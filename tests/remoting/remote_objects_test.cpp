// Remote objects end to end over TCP on 127.0.0.1: a test object made by the
// server behind its class stub, called through class proxy, interface proxy
// and stub; object references in both directions; batch queries; lifetimes
// of proxies, stubs and exits.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "marshalling_test_support.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "support/channel_fixture.h"
#include "support/child_process.h"
#include "support/echo_pair.h"
#include "support/within.h"
#include "transport/remoting/class_activator_pair.h"
#include "transport/remoting/class_proxies.h"
#include "transport/remoting/class_stubs.h"
#include "transport/remoting/object_references.h"
#include "transport/remoting/remoting_client.h"

namespace revurov {
namespace {

using platform::E_INVALIDARG;
using platform::E_NOINTERFACE;
using platform::HRESULT;
using platform::IInterface;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using testing::ITestEcho;
using testing::TaggedBytes;
using testing::TestEchoObject;

constexpr TGUID kMissingIntf = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A40}");

// What the server makes: an echo object that is also a class activator and
// remembers the outer object it was handed.
class TServerObject final : public TnxInterfacedObject, public ITestEcho, public InxClassActivator, public InxClass {
public:
  TServerObject() { ++testing::gLiveEchoObjects; }
  ~TServerObject() override { --testing::gLiveEchoObjects; }

  std::vector<uint8_t> Echo(const std::vector<uint8_t>& aBytes) override {
    if (onEcho) onEcho();
    return aBytes;
  }
  HRESULT CreateInstance(const TGUID&, IInterface* aOuter, const TGUID& aInterfaceID,
                         TInterfacePtr<IInterface>& aInterface) override {
    aInterface = nullptr;
    lastOuter = aOuter;
    const TInterfacePtr<TestEchoObject> made(nxCreate<TestEchoObject>());
    void* asked = nullptr;
    const HRESULT result = made->QueryInterface(aInterfaceID, &asked);
    if (result != S_OK) return result;
    made->Release();
    aInterface = TInterfacePtr<IInterface>(static_cast<ITestEcho*>(made.Get()));
    return S_OK;
  }
  HRESULT GetClassID(TGUID& aClassID) override {
    aClassID = testing::kEchoClassID;
    return S_OK;
  }

  std::function<void()> onEcho;
  TInterfacePtr<IInterface> lastOuter;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<ITestEcho>(this, iid, obj) || nxOfferInterface<InxClassActivator>(this, iid, obj) ||
           nxOfferInterface<InxClass>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class IOuterMark : public virtual IInterface {
public:
  static constexpr TGUID IID = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A41}");
  virtual int32_t Mark() = 0;
};

std::atomic<int32_t> gLiveOuters{0};

// An outer object that aggregates a class proxy: it answers IInterface and
// its own interface, and hands every other query to the proxy's entry.
class TOuter final : public TnxInterfacedObject, public IOuterMark {
public:
  TOuter() { ++gLiveOuters; }
  ~TOuter() override { --gLiveOuters; }

  int32_t Mark() override { return 7; }
  HRESULT QueryInterface(const TGUID& iid, void** obj) noexcept override {
    const HRESULT own = TnxInterfacedObject::QueryInterface(iid, obj);
    if (own != E_NOINTERFACE || !inner) return own;
    return inner->QueryInterface(iid, obj);
  }
  IInterface* Identity() { return static_cast<IOuterMark*>(this); }

  TInterfacePtr<IInterface> inner;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<IOuterMark>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class RemoteObjects : public testing::ChannelsOverTcp {
protected:
  void SetUp() override {
    ChannelsOverTcp::SetUp();
    startProxies = nxLiveClassProxyCount();
    startStubs = nxLiveClassStubCount();
    startObjects = testing::gLiveEchoObjects.load();
    const TInterfacePtr<InxInterfaceStubFactory> stubs(nxCreate<TnxInterfaceStubFactoryOf<testing::TestEchoStub>>());
    ASSERT_EQ(nxInterfaceStubFactoryRegistry()->RegisterInterfaceStubFactory(testing::kEchoStubID, stubs.Get(),
                                                                             stubControl),
              S_OK);
    ASSERT_EQ(stubControl->RegisterForInterface(0, ITestEcho::IID), S_OK);
    const TInterfacePtr<InxInterfaceProxyFactory> proxies(
        nxCreate<TnxInterfaceProxyFactoryOf<testing::TestEchoProxy>>());
    ASSERT_EQ(nxInterfaceProxyFactoryRegistry()->RegisterInterfaceProxyFactory(testing::kEchoStubID, proxies.Get(),
                                                                               proxyControl),
              S_OK);
    ASSERT_EQ(proxyControl->RegisterForInterface(0, ITestEcho::IID), S_OK);
    handler->MakeObject = [this](const TGUID&) {
      const TInterfacePtr<TServerObject> object(nxCreate<TServerObject>());
      std::lock_guard guard(madeLock);
      made = object;
      return TInterfacePtr<IInterface>(static_cast<ITestEcho*>(object.Get()));
    };
    session->SetActive(true);
    remoting.reset(testing::NewComponent<TnxRemotingClient>(u"Remoting"));
    remoting->SetSession(session.get());
    remoting->SetActive(true);
    ASSERT_EQ(remoting->State(), nxsStarted);
  }
  void TearDown() override {
    handler->MakeObject = nullptr;
    made = nullptr;
    remoting.reset();
    ExpectStartCounts();
    EXPECT_TRUE(testing::Within(std::chrono::seconds(5), [&] {
      return nxLiveClassProxyCount() == startProxies && nxLiveClassStubCount() == startStubs &&
             testing::gLiveEchoObjects.load() == startObjects;
    })) << "proxies " << nxLiveClassProxyCount() - startProxies << ", stubs " << nxLiveClassStubCount() - startStubs
        << ", objects " << testing::gLiveEchoObjects.load() - startObjects;
    stubControl->Unregister();
    proxyControl->Unregister();
    ChannelsOverTcp::TearDown();
  }

  TInterfacePtr<IInterface> Create() {
    TInterfacePtr<IInterface> object;
    EXPECT_EQ(remoting->CreateInstance(testing::kEchoClassID, nullptr, ITestEcho::IID, object), S_OK);
    return object;
  }

  // aCount references to aObject, written as another process would: the
  // path's hop names a foreign process, so a reader builds a proxy; the
  // channels lead to exits of a local stub, which checks only its instance
  // ID.
  TaggedBytes ForeignReferences(ITestEcho* aObject, std::vector<TInterfacePtr<InxChannelExit>>& aExits,
                                size_t aCount) {
    TInterfacePtr<InxClassStub> stub;
    EXPECT_EQ(nxClassStubFactoryRegistry()->CreateClassStub(nxDefaultClassStubID, testing::kEchoClassID, aObject,
                                                            stub),
              S_OK);
    TnxRoutingPath path;
    stub->GetRoutingPath(path);
    const TnxRoutingPath foreign{
        {platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A70}"), path.back().oiInstanceID}};
    const TInterfacePtr<InxSessionNotifications> notifications =
        platform::Supports<InxSessionNotifications>(static_cast<IInterface*>(Requests()));
    aExits.resize(aCount);
    HRESULT hr = S_OK;
    return testing::WrittenBy(
        [&](InxWriter& w) {
          for (auto& exit : aExits) {
            EXPECT_EQ(nxCreateChannelExit(nxProcessID(), notifications.Get(), stub.Get(), exit), S_OK);
            TGUID channel{};
            exit->GetChannelID(channel);
            w.WriteGuid(testing::kEchoClassID);
            w.WriteGuid(nxDefaultClassStubID);
            nxWriteRoutingPath(w, foreign);
            w.WriteGuid(channel);
            w.WriteInteger(1);
          }
          return S_OK;
        },
        hr);
  }

  TInterfacePtr<TServerObject> Made() {
    std::lock_guard guard(madeLock);
    return made;
  }

  testing::TOwned<TnxRemotingClient> remoting;
  TInterfacePtr<InxInterfaceStubFactoryControl> stubControl;
  TInterfacePtr<InxInterfaceProxyFactoryControl> proxyControl;
  std::mutex madeLock;
  TInterfacePtr<TServerObject> made;
  int32_t startProxies = 0;
  int32_t startStubs = 0;
  int32_t startObjects = 0;
};

TEST_F(RemoteObjects, EchoThroughClassProxyInterfaceProxyAndStub) {
  const TInterfacePtr<IInterface> object = Create();
  ASSERT_TRUE(object);
  EXPECT_EQ(nxLiveClassProxyCount(), startProxies + 1);
  EXPECT_TRUE(platform::Supports<InxClassProxy>(object.Get()));
  const TInterfacePtr<ITestEcho> echo = platform::Supports<ITestEcho>(object.Get());
  ASSERT_TRUE(echo);
  const std::vector<uint8_t> bytes(64, 0xC3);
  EXPECT_EQ(echo->Echo(bytes), bytes);
  // The proxied interface answers for the class proxy's interfaces too.
  EXPECT_TRUE(platform::Supports<InxClassProxy>(echo.Get()));

  // Known now: no second round trip.
  const int32_t before = session->requests.load();
  EXPECT_TRUE(platform::Supports<ITestEcho>(object.Get()));
  EXPECT_EQ(session->requests.load(), before);
  EXPECT_EQ(platform::Supports<IInterface>(object.Get()), platform::Supports<IInterface>(echo.Get()));
}

TEST_F(RemoteObjects, AHeldProxiedInterfaceKeepsTheChannelOpen) {
  TInterfacePtr<ITestEcho> echo;
  {
    const TInterfacePtr<IInterface> object = Create();
    echo = platform::Supports<ITestEcho>(object.Get());
  }
  ASSERT_TRUE(echo);
  EXPECT_EQ(nxLiveClassProxyCount(), startProxies + 1);
  const std::vector<uint8_t> bytes{1, 2, 3};
  EXPECT_EQ(echo->Echo(bytes), bytes);
  echo = nullptr;
  // The proxy went and closed its channel: the server's stub lets go of the
  // object (checked by the fixture's start counts).
  EXPECT_EQ(nxLiveClassProxyCount(), startProxies);
}

TEST_F(RemoteObjects, ActivatorCarriesReferencesBothWays) {
  const TInterfacePtr<IInterface> object = Create();
  const TInterfacePtr<InxClassActivator> activator = platform::Supports<InxClassActivator>(object.Get());
  ASSERT_TRUE(activator);
  {
    const TInterfacePtr<TestEchoObject> outer(nxCreate<TestEchoObject>());
    TInterfacePtr<IInterface> result;
    ASSERT_EQ(activator->CreateInstance(testing::kEchoClassID, static_cast<ITestEcho*>(outer.Get()), ITestEcho::IID,
                                        result),
              S_OK);
    // Both references came home (client and server share this process):
    // each reads as the object itself, not as a proxy.
    EXPECT_EQ(platform::Supports<IInterface>(Made()->lastOuter.Get()),
              platform::Supports<IInterface>(static_cast<ITestEcho*>(outer.Get())));
    EXPECT_FALSE(platform::Supports<InxClassProxy>(result.Get()));
    ASSERT_TRUE(platform::Supports<ITestEcho>(result.Get()));
    EXPECT_EQ(nxLiveClassProxyCount(), startProxies + 1);
    Made()->lastOuter = nullptr;

    TInterfacePtr<IInterface> noOuter;
    EXPECT_EQ(activator->CreateInstance(testing::kEchoClassID, nullptr, ITestEcho::IID, noOuter), S_OK);
    EXPECT_TRUE(platform::Supports<ITestEcho>(noOuter.Get()));
    EXPECT_FALSE(Made()->lastOuter);
  }
  // The exits made for the trips were closed at once (the keep-alive
  // service still holds them): the stubs of the travelled objects are gone,
  // only the server object's is left.
  EXPECT_EQ(nxLiveClassStubCount(), startStubs + 1);
}

TEST_F(RemoteObjects, BatchQueryAnswersPerEntry) {
  const TInterfacePtr<IInterface> object = Create();
  const TInterfacePtr<platform::IMultiQI> multi = platform::Supports<platform::IMultiQI>(object.Get());
  ASSERT_TRUE(multi);
  platform::MULTI_QI entries[4] = {{&ITestEcho::IID, nullptr, 0},
                                   {&kMissingIntf, nullptr, 0},
                                   {&InxClassActivator::IID, nullptr, 0},
                                   {nullptr, nullptr, 0}};
  const int32_t before = session->requests.load();
  EXPECT_EQ(multi->QueryMultipleInterfaces(4, entries), S_FALSE);
  EXPECT_EQ(session->requests.load(), before + 1);
  EXPECT_EQ(entries[0].hr, S_OK);
  EXPECT_EQ(entries[1].hr, E_NOINTERFACE);
  EXPECT_EQ(entries[2].hr, S_OK);
  EXPECT_EQ(entries[3].hr, E_INVALIDARG);
  ASSERT_TRUE(entries[0].pItf && entries[2].pItf);
  EXPECT_FALSE(entries[1].pItf);
  const TInterfacePtr<ITestEcho> echo = TInterfacePtr<ITestEcho>::Attach(static_cast<ITestEcho*>(entries[0].pItf));
  const TInterfacePtr<InxClassActivator> activator =
      TInterfacePtr<InxClassActivator>::Attach(static_cast<InxClassActivator*>(entries[2].pItf));

  // Both known now: answered from the table.
  platform::MULTI_QI again[2] = {{&ITestEcho::IID, nullptr, 0}, {&InxClassActivator::IID, nullptr, 0}};
  EXPECT_EQ(multi->QueryMultipleInterfaces(2, again), S_OK);
  EXPECT_EQ(session->requests.load(), before + 1);
  static_cast<ITestEcho*>(again[0].pItf)->Release();
  EXPECT_EQ(echo->Echo({9}), std::vector<uint8_t>{9});
  static_cast<InxClassActivator*>(again[1].pItf)->Release();
  // No proxy factory stands for it: refused before any round trip.
  platform::MULTI_QI missing[1] = {{&kMissingIntf, nullptr, 0}};
  const int32_t beforeMissing = session->requests.load();
  EXPECT_EQ(multi->QueryMultipleInterfaces(1, missing), E_NOINTERFACE);
  EXPECT_EQ(session->requests.load(), beforeMissing);
  EXPECT_EQ(missing[0].hr, E_NOINTERFACE);
}

TEST_F(RemoteObjects, DisconnectDuringACallLetsItFinish) {
  const TInterfacePtr<IInterface> object = Create();
  const TInterfacePtr<ITestEcho> echo = platform::Supports<ITestEcho>(object.Get());
  ASSERT_TRUE(echo);
  std::mutex mutex;
  std::condition_variable changed;
  bool inCall = false;
  bool mayLeave = false;
  Made()->onEcho = [&] {
    std::unique_lock lock(mutex);
    inCall = true;
    changed.notify_all();
    changed.wait(lock, [&] { return mayLeave; });
  };
  std::vector<uint8_t> answer;
  std::thread caller([&] { answer = echo->Echo({5, 6}); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return inCall; });
  }
  TInterfacePtr<InxClassStub> stub;
  ASSERT_EQ(nxClassStubFactoryRegistry()->FindClassStubForObject(static_cast<ITestEcho*>(Made().Get()), stub), S_OK);
  EXPECT_EQ(stub->Disconnect(), S_OK);
  {
    std::lock_guard lock(mutex);
    mayLeave = true;
  }
  changed.notify_all();
  caller.join();
  EXPECT_EQ(answer, (std::vector<uint8_t>{5, 6}));
  Made()->onEcho = nullptr;
  stub = nullptr;
  // The stub released the object and closed its exit: the channel is gone.
  EXPECT_TRUE(echo->Echo({1}).empty());
  EXPECT_NE(nxLiveClassProxyCount(), startProxies);
}

TEST_F(RemoteObjects, ReferencesWrittenAndReadBack) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  const TInterfacePtr<InxSessionNotifications> notifications =
      platform::Supports<InxSessionNotifications>(static_cast<IInterface*>(Requests()));
  ASSERT_TRUE(notifications);
  const TGUID server = nxProcessID();
  const int32_t exits = nxLiveChannelExitCount();
  HRESULT hr = S_OK;
  TaggedBytes twice = testing::WrittenBy(
      [&](InxWriter& w) {
        for (int i = 0; i < 2; ++i)
          if (const HRESULT r = nxWriteObjectReference(notifications.Get(), &server, w, ITestEcho::IID,
                                                       static_cast<ITestEcho*>(object.Get()));
              r != S_OK)
            return r;
        w.WriteInteger(0x5151);
        return S_OK;
      },
      hr);
  ASSERT_EQ(hr, S_OK);
  // One stub, two exits.
  EXPECT_EQ(nxLiveClassStubCount(), startStubs + 1);
  EXPECT_EQ(nxLiveChannelExitCount(), exits + 2);

  TGUID channels[2];
  TGUID instance{};
  testing::ReadBy(twice, [&](InxReader& r) {
    for (TGUID& channel : channels) {
      EXPECT_EQ(r.ReadGuid(), testing::kEchoClassID);
      EXPECT_EQ(r.ReadGuid(), nxDefaultClassStubID);
      TnxRoutingPath path;
      nxReadRoutingPath(r, path);
      EXPECT_EQ(path.size(), 1u);
      instance = path.back().oiInstanceID;
      channel = r.ReadGuid();
      EXPECT_EQ(r.ReadInteger(), 1);
    }
    return S_OK;
  });
  EXPECT_NE(channels[0], channels[1]);

  // Read back: the object itself, the reader after each whole reference,
  // and every exit closed by the read.
  EXPECT_EQ(testing::ReadBy(twice,
                            [&](InxReader& r) {
                              for (int i = 0; i < 2; ++i) {
                                TInterfacePtr<IInterface> back;
                                EXPECT_EQ(nxReadObjectReference(Requests(), &server, r, ITestEcho::IID, back), S_OK);
                                EXPECT_EQ(platform::Supports<IInterface>(back.Get()),
                                          platform::Supports<IInterface>(static_cast<ITestEcho*>(object.Get())));
                              }
                              return r.ReadInteger() == 0x5151 ? S_OK : E_INVALIDARG;
                            }),
            S_OK);
  // The keep-alive service still holds both exits, closed.
  for (const TGUID& channel : channels) {
    TInterfacePtr<InxTransportChannelExit> exit;
    ASSERT_EQ(nxFindChannelExit(channel, exit), S_OK);
    EXPECT_FALSE(exit->IsConnected());
  }
  EXPECT_EQ(nxLiveClassStubCount(), startStubs);

  // A forged instance ID reaches no object of this process and gets no
  // proxy either.
  const std::array<uint32_t, 4> words = nxGuidWords(instance);
  const TGUID forged = nxGuidOfWords({words[0], words[1] ^ 1, words[2], words[3] ^ 1});
  TaggedBytes forgedBytes = testing::WrittenBy(
      [&](InxWriter& w) {
        w.WriteGuid(testing::kEchoClassID);
        w.WriteGuid(nxDefaultClassStubID);
        nxWriteRoutingPath(w, {{nxProcessID(), forged}});
        w.WriteGuid(channels[0]);
        w.WriteInteger(1);
        return S_OK;
      },
      hr);
  EXPECT_EQ(testing::ReadBy(forgedBytes,
                            [&](InxReader& r) {
                              TInterfacePtr<IInterface> back;
                              const HRESULT result =
                                  nxReadObjectReference(Requests(), &server, r, ITestEcho::IID, back);
                              EXPECT_FALSE(back);
                              // The whole reference was read.
                              EXPECT_EQ(r.BytesLeft(), 0);
                              return result;
                            }),
            RPC_E_INVALID_OBJREF);
}

TEST_F(RemoteObjects, FilersWithoutTheirSessionRefuseReferences) {
  // A request reader that no exit has given a server ID.
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  TnxDataMessage message{};
  const TInterfacePtr<TnxInterfacedRequestReader> reader(nxCreate<TnxInterfacedRequestReader>(message));
  TInterfacePtr<IInterface> back;
  EXPECT_EQ(reader->ReadInterface(ITestEcho::IID, back), platform::E_NOTIMPL);
  // A request writer whose session offers no notification list.
  TInterfacePtr<InxRequestWriter> writer;
  ASSERT_EQ(nxCreateRequestWriter(Requests(), writer), S_OK);
  const TInterfacePtr<InxInterfaceWriter> references =
      platform::Supports<InxInterfaceWriter>(static_cast<IInterface*>(writer.Get()));
  // No server ID on a create-instance request.
  EXPECT_EQ(references->WriteInterface(ITestEcho::IID, static_cast<ITestEcho*>(object.Get())), platform::E_NOTIMPL);
}

TEST_F(RemoteObjects, MalformedRequestsFromARawPeerAnswerTheirCodes) {
  // The object's exit, reached by hand: a create-instance request, then
  // class-level requests written byte by byte through an entrance.
  const testing::TMadeExit exit = MakeExit({testing::kEchoStubID}, testing::kEchoClassID);
  ASSERT_EQ(exit.result, S_OK);
  ASSERT_FALSE(exit.path.empty());
  const TGUID instance = exit.path.back().oiInstanceID;
  TInterfacePtr<InxChannelEntrance> entrance;
  ASSERT_EQ(nxCreateChannelEntrance(Requests(), exit.serverID, exit.channelID, entrance), S_OK);
  const int32_t stubs = nxLiveClassStubCount();

  auto send = [&](int32_t aVersion, const TGUID& aInstance, int32_t aKind,
                  const std::function<void(InxWriter&)>& aRest) {
    TInterfacePtr<InxWriter> writer;
    EXPECT_EQ(entrance->CreateRequest(writer), S_OK);
    writer->WriteInteger(aVersion);
    writer->WriteGuid(exit.serverID);
    writer->WriteGuid(aInstance);
    writer->WriteInteger(aKind);
    aRest(*writer);
    TInterfacePtr<InxReader> reader;
    return entrance->SendRequest(writer.Get(), reader);
  };
  auto ids = [](InxWriter& w, const TGUID& aIntf, int32_t aCount) {
    w.WriteGuid(aIntf);
    w.WriteInteger(aCount);
    uint8_t raw[16];
    platform::GUIDToBytes(testing::kEchoStubID, raw);
    if (aCount >= 1) w.WriteBinary(raw, 16);
  };
  auto getEcho = [&](int32_t aCount) { return [=](InxWriter& w) { ids(w, ITestEcho::IID, aCount); }; };
  auto call = [](const TGUID& aIntf, const TGUID& aStub, int32_t aVersion, int32_t aKind, int32_t aMethod) {
    return [=](InxWriter& w) {
      w.WriteGuid(aIntf);
      w.WriteGuid(aStub);
      w.WriteInteger(aVersion);
      w.WriteInteger(aKind);
      w.WriteInteger(aMethod);
      w.WriteInteger(int32_t{1});
      const uint8_t byte = 7;
      w.WriteBinary(&byte, 1);
    };
  };
  // The activator stub, with a reference to an object this process never
  // gave out as the outer object.
  auto forgedOuter = [&](InxWriter& w) {
    w.WriteGuid(InxClassActivator::IID);
    w.WriteGuid(nxClassActivatorProxyID);
    w.WriteInteger(1);
    w.WriteInteger(0);
    w.WriteInteger(nxActivatorCreateInstance);
    w.WriteGuid(testing::kEchoClassID);
    w.WriteBoolean(true);
    w.WriteGuid(testing::kEchoClassID);
    w.WriteGuid(nxDefaultClassStubID);
    const std::array<uint32_t, 4> words = nxGuidWords(instance);
    nxWriteRoutingPath(w, {{nxProcessID(), nxGuidOfWords({words[0], words[1] ^ 4, words[2], words[3] ^ 4})}});
    w.WriteGuid(platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A61}"));
    w.WriteInteger(1);
    w.WriteGuid(ITestEcho::IID);
  };
  // Interface stubs for the calls below.
  ASSERT_EQ(send(1, instance, 0, getEcho(1)), S_OK);
  ASSERT_EQ(send(1, instance, 0, [](InxWriter& w) {
              w.WriteGuid(InxClassActivator::IID);
              w.WriteInteger(1);
              uint8_t raw[16];
              platform::GUIDToBytes(nxClassActivatorProxyID, raw);
              w.WriteBinary(raw, 16);
            }),
            S_OK);

  const TGUID other = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A60}");
  auto nothing = [](InxWriter&) {};
  const struct {
    const char* name;
    std::function<HRESULT()> send;
    HRESULT expected;
  } rows[] = {
      {"class version 2", [&] { return send(2, instance, 0, getEcho(1)); }, RPC_E_INVALID_DATAPACKET},
      {"wrong instance ID", [&] { return send(1, other, 0, getEcho(1)); }, RPC_E_INVALID_DATAPACKET},
      {"kind 9", [&] { return send(1, instance, 9, nothing); }, RPC_E_INVALID_DATAPACKET},
      {"N of 0", [&] { return send(1, instance, 0, getEcho(0)); }, E_NOINTERFACE},
      {"N of 129", [&] { return send(1, instance, 0, getEcho(129)); }, RPC_E_INVALID_DATAPACKET},
      {"N of 10^6", [&] { return send(1, instance, 0, getEcho(1000000)); }, RPC_E_INVALID_DATAPACKET},
      {"unknown stub key", [&] { return send(1, instance, 1, call(ITestEcho::IID, other, 1, 0, 1)); },
       RPC_E_INVALID_DATAPACKET},
      {"call version 0", [&] { return send(1, instance, 1, call(ITestEcho::IID, testing::kEchoStubID, 0, 0, 1)); },
       platform::RPC_E_VERSION_MISMATCH},
      {"call kind 1", [&] { return send(1, instance, 1, call(ITestEcho::IID, testing::kEchoStubID, 1, 1, 1)); },
       RPC_E_INVALIDMETHOD},
      {"activator method 3",
       [&] { return send(1, instance, 1, call(InxClassActivator::IID, nxClassActivatorProxyID, 1, 0, 3)); },
       RPC_E_INVALIDMETHOD},
      {"forged outer reference", [&] { return send(1, instance, 1, forgedOuter); }, RPC_E_INVALID_OBJREF},
  };
  for (const auto& row : rows) EXPECT_EQ(row.send(), row.expected) << row.name;
  // Nothing was made for the refused requests.
  EXPECT_EQ(nxLiveClassStubCount(), stubs);
  entrance = nullptr;
}

TEST_F(RemoteObjects, ReferencesFromAnotherProcessShareOneClassProxy) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  std::vector<TInterfacePtr<InxChannelExit>> exits;
  const TaggedBytes references = ForeignReferences(static_cast<ITestEcho*>(object.Get()), exits, 2);
  const TGUID server = nxProcessID();
  TInterfacePtr<IInterface> first;
  TInterfacePtr<IInterface> second;
  ASSERT_EQ(testing::ReadBy(references,
                            [&](InxReader& r) {
                              HRESULT result = nxReadObjectReference(Requests(), &server, r, ITestEcho::IID, first);
                              if (result == S_OK)
                                result = nxReadObjectReference(Requests(), &server, r, ITestEcho::IID, second);
                              return result;
                            }),
            S_OK);
  EXPECT_TRUE(platform::Supports<InxClassProxy>(first.Get()));
  EXPECT_EQ(first.Get(), second.Get());
  EXPECT_EQ(nxLiveClassProxyCount(), startProxies + 1);
  // The second channel was closed at once; the first carries the calls.
  EXPECT_TRUE(exits[0]->IsConnected());
  EXPECT_FALSE(exits[1]->IsConnected());
  const TInterfacePtr<ITestEcho> echo = platform::Supports<ITestEcho>(first.Get());
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->Echo({4, 2}), (std::vector<uint8_t>{4, 2}));
  first = nullptr;
  second = nullptr;
  // The held proxied interface keeps the proxy and its channel.
  EXPECT_EQ(echo->Echo({1}), (std::vector<uint8_t>{1}));
  EXPECT_EQ(nxLiveClassProxyCount(), startProxies + 1);
}

TEST_F(RemoteObjects, AnAggregatedProxyAnswersAndCountsThroughItsOuterObject) {
  const std::vector<uint8_t> bytes(64, 0x5A);
  TInterfacePtr<ITestEcho> echo;
  {
    const TInterfacePtr<TOuter> outer(nxCreate<TOuter>());
    ASSERT_EQ(remoting->CreateInstance(testing::kEchoClassID, outer->Identity(), IInterface::IID, outer->inner), S_OK);
    ASSERT_TRUE(outer->inner);
    EXPECT_NE(outer->inner.Get(), outer->Identity());
    EXPECT_EQ(nxLiveClassProxyCount(), startProxies + 1);

    echo = platform::Supports<ITestEcho>(outer.Get());
    ASSERT_TRUE(echo);
    EXPECT_EQ(echo->Echo(bytes), bytes);
    // One identity: every interface of the proxy and of its interface
    // proxies answers for the outer object and reaches its interfaces.
    EXPECT_EQ(platform::Supports<IInterface>(echo.Get()).Get(), outer->Identity());
    const TInterfacePtr<IOuterMark> mark = platform::Supports<IOuterMark>(echo.Get());
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark->Mark(), 7);
    const TInterfacePtr<InxClassProxy> classProxy = platform::Supports<InxClassProxy>(echo.Get());
    ASSERT_TRUE(classProxy);
    EXPECT_EQ(platform::Supports<IInterface>(classProxy.Get()).Get(), outer->Identity());
    // ... and counts on the outer object.
    const int32_t count = outer->RefCount();
    {
      const TInterfacePtr<ITestEcho> again = platform::Supports<ITestEcho>(classProxy.Get());
      EXPECT_EQ(outer->RefCount(), count + 1);
    }
    EXPECT_EQ(outer->RefCount(), count);
  }
  // The held interface keeps the outer object, which keeps the proxy.
  EXPECT_EQ(gLiveOuters.load(), 1);
  EXPECT_EQ(nxLiveClassProxyCount(), startProxies + 1);
  EXPECT_EQ(echo->Echo(bytes), bytes);
  echo = nullptr;
  // Both went; the proxy closed its channel (the fixture checks the server's
  // stub and object).
  EXPECT_EQ(gLiveOuters.load(), 0);
  EXPECT_EQ(nxLiveClassProxyCount(), startProxies);
}

TEST_F(RemoteObjects, AnAggregatedProxyIsNeverShared) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  std::vector<TInterfacePtr<InxChannelExit>> exits;
  const TaggedBytes references = ForeignReferences(static_cast<ITestEcho*>(object.Get()), exits, 4);
  const TGUID server = nxProcessID();
  const TInterfacePtr<TOuter> outers[2] = {TInterfacePtr<TOuter>(nxCreate<TOuter>()),
                                           TInterfacePtr<TOuter>(nxCreate<TOuter>())};
  TInterfacePtr<IInterface> plain[2];
  ASSERT_EQ(testing::ReadBy(references,
                            [&](InxReader& r) {
                              // Two aggregated proxies, as the remoting client makes them.
                              for (const auto& outer : outers) {
                                const TGUID classID = r.ReadGuid();
                                const TGUID stubID = r.ReadGuid();
                                TnxRoutingPath path;
                                nxReadRoutingPath(r, path);
                                const TGUID channel = r.ReadGuid();
                                TInterfacePtr<InxChannelEntrance> entrance;
                                HRESULT result = nxCreateChannelEntrance(Requests(), server, channel, entrance);
                                TInterfacePtr<InxClassProxy> proxy;
                                if (result == S_OK)
                                  result = nxClassProxyFactoryRegistry()->CreateClassProxy(
                                      outer->Identity(), stubID, entrance.Get(), classID, path, &r, proxy);
                                if (result != S_OK) return result;
                                outer->inner = nxClassProxyEntry(proxy.Get());
                              }
                              // Then two plain references to the same object.
                              for (auto& reference : plain)
                                if (const HRESULT result =
                                        nxReadObjectReference(Requests(), &server, r, ITestEcho::IID, reference);
                                    result != S_OK)
                                  return result;
                              return S_OK;
                            }),
            S_OK);
  // Neither aggregated proxy was entered: the plain references share a third.
  EXPECT_EQ(nxLiveClassProxyCount(), startProxies + 3);
  EXPECT_EQ(plain[0].Get(), plain[1].Get());
  EXPECT_NE(platform::Supports<IInterface>(plain[0].Get()).Get(), outers[0]->Identity());
  EXPECT_TRUE(exits[0]->IsConnected());
  EXPECT_TRUE(exits[1]->IsConnected());
  EXPECT_TRUE(exits[2]->IsConnected());
  EXPECT_FALSE(exits[3]->IsConnected());
  for (const auto& outer : outers) {
    {
      const TInterfacePtr<ITestEcho> echo = platform::Supports<ITestEcho>(outer.Get());
      ASSERT_TRUE(echo);
      EXPECT_EQ(echo->Echo({3}), std::vector<uint8_t>{3});
    }
    // As the outer object's end would: nothing of the proxy is held now.
    outer->inner = nullptr;
  }
  // Each aggregated proxy went with its outer's hold and closed its channel.
  EXPECT_EQ(nxLiveClassProxyCount(), startProxies + 1);
  EXPECT_FALSE(exits[0]->IsConnected());
  EXPECT_FALSE(exits[1]->IsConnected());
  EXPECT_TRUE(exits[2]->IsConnected());
}

// --- a client process killed --------------------------------------------------

using namespace std::chrono_literals;

// The child: creates a server object, asks its class proxy for the echo
// interface and calls it once (so that its exit holds itself), then waits
// to be killed, 60 s at most.
[[noreturn]] void RunObjectClient(uint16_t aPort) {
  using testing::NewComponent;
  nxRemotingStartup();
  TInterfacePtr<InxInterfaceProxyFactoryControl> control;
  const TInterfacePtr<InxInterfaceProxyFactory> proxies(nxCreate<TnxInterfaceProxyFactoryOf<testing::TestEchoProxy>>());
  nxInterfaceProxyFactoryRegistry()->RegisterInterfaceProxyFactory(testing::kEchoStubID, proxies.Get(), control);
  control->RegisterForInterface(0, ITestEcho::IID);
  testing::TOwned<TnxIPv4Transport> client(NewComponent<TnxIPv4Transport>(u"KC"));
  testing::TOwned<testing::TTransportSession> session(NewComponent<testing::TTransportSession>(u"KS"));
  try {
    if (!testing::ChildLogIn(aPort, *client, *session)) platform::ExitProcessNow(1);
    session->SetActive(true);
    testing::TOwned<TnxRemotingClient> remoting(NewComponent<TnxRemotingClient>(u"KR"));
    remoting->SetSession(session.get());
    remoting->SetActive(true);
    TInterfacePtr<IInterface> object;
    if (remoting->CreateInstance(testing::kEchoClassID, nullptr, ITestEcho::IID, object) != S_OK)
      platform::ExitProcessNow(2);
    const TInterfacePtr<ITestEcho> echo = platform::Supports<ITestEcho>(object.Get());
    if (!echo || echo->Echo({1, 2}) != std::vector<uint8_t>{1, 2}) platform::ExitProcessNow(3);
    std::this_thread::sleep_for(60s);
  } catch (...) {
    platform::ExitProcessNow(4);
  }
  platform::ExitProcessNow(0);
}

int RunObjectClientEntry(const std::vector<std::string>& aArgs) { RunObjectClient(static_cast<uint16_t>(std::stoi(aArgs.at(0)))); }
REVUROV_CHILD_ENTRY("object-client", RunObjectClientEntry);

class RemoteObjectsKilledClient : public testing::RemotingStarted {};

TEST_F(RemoteObjectsKilledClient, EveryServerStubReleasesItsObjectWhenTheClientProcessIsKilled) {
  const int32_t stubs = nxLiveClassStubCount();
  const int32_t objects = testing::gLiveEchoObjects.load();
  const int32_t echoStubs = testing::gLiveEchoStubs.load();
  TInterfacePtr<InxInterfaceStubFactoryControl> control;
  const TInterfacePtr<InxInterfaceStubFactory> factory(nxCreate<TnxInterfaceStubFactoryOf<testing::TestEchoStub>>());
  ASSERT_EQ(nxInterfaceStubFactoryRegistry()->RegisterInterfaceStubFactory(testing::kEchoStubID, factory.Get(),
                                                                           control),
            S_OK);
  ASSERT_EQ(control->RegisterForInterface(0, ITestEcho::IID), S_OK);
  const int fd = platform::TcpListen({platform::kInet4Loopback, 0}, 1);
  platform::TInet4Address address;
  platform::SocketLocalAddress(fd, address);
  platform::CloseSocket(fd);
  const int32_t pid = testing::SpawnChild("object-client", {std::to_string(address.port)});
  ASSERT_GT(pid, 0);
  testing::TChildProcess child(pid);

  std::atomic<int32_t> echoes{0};
  testing::TOwned<testing::TRemotingHandler> handler(testing::NewComponent<testing::TRemotingHandler>(u"KH"));
  handler->MakeObject = [&](const TGUID&) {
    const TInterfacePtr<TServerObject> object(nxCreate<TServerObject>());
    object->onEcho = [&] { ++echoes; };
    return TInterfacePtr<IInterface>(static_cast<ITestEcho*>(object.Get()));
  };
  testing::TOwned<TnxIPv4Transport> server(testing::NewComponent<TnxIPv4Transport>(u"KSrv"));
  server->SetServerName(u"KilledObjectClientServer");
  server->SetMode(nxtmListen);
  server->SetPort(address.port);
  platform::TStringList addresses;
  addresses.Add(u"127.0.0.1");
  server->SetListenAddresses(addresses);
  server->SetHeartbeatInterval(0);
  server->SetWatchdogInterval(50);
  server->SetLostConnectionTimeout(300);
  server->SetCommandHandler(handler.get());
  server->SetActive(true);
  ASSERT_EQ(server->State(), nxsStarted);

  ASSERT_TRUE(testing::Within(20s, [&] { return echoes.load() == 1; }));
  EXPECT_EQ(nxLiveClassStubCount(), stubs + 1);
  EXPECT_EQ(testing::gLiveEchoStubs.load(), echoStubs + 1);
  child.Kill();
  EXPECT_TRUE(testing::Within(20s, [&] {
    return nxLiveClassStubCount() == stubs && testing::gLiveEchoObjects.load() == objects &&
           testing::gLiveEchoStubs.load() == echoStubs;
  })) << "stubs " << nxLiveClassStubCount() - stubs << ", objects " << testing::gLiveEchoObjects.load() - objects;
  server->SetActive(false);
  handler->MakeObject = nullptr;
  control->Unregister();
}

}  // namespace
}  // namespace revurov
