// Class stubs: one per object, instance IDs that cannot be forged or
// reused, the three class-level requests and their malformed forms, and a
// disconnect that waits for the running call.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "marshalling_test_support.h"
#include "remoting_test_support.h"
#include "support/echo_pair.h"
#include "transport/remoting/channels.h"
#include "transport/remoting/class_stubs.h"
#include "transport/remoting/factory_interfaces.h"

namespace revurov {
namespace {

using platform::E_INVALIDARG;
using platform::E_NOINTERFACE;
using platform::E_NOTIMPL;
using platform::HRESULT;
using platform::IInterface;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using testing::TaggedBytes;
using testing::TestEchoObject;

constexpr TGUID kMissingIntf = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A10}");
constexpr TGUID kBareStubID = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A11}");
constexpr TGUID kBareIntf = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A12}");
constexpr TGUID kUnknownStubID = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A13}");

// An interface the echo object also offers, served by the base stub that
// knows no method.
class TestBareStub final : public TnxInterfaceStub {
public:
  TestBareStub(const TGUID& aClassID, const TGUID& aInterfaceID, IInterface* aInterface, HRESULT&)
      : TnxInterfaceStub(aClassID, aInterfaceID, aInterface) {}
};

TaggedBytes Ids(std::initializer_list<TGUID> aIds) {
  TaggedBytes raw;
  for (const TGUID& id : aIds) {
    uint8_t b[16];
    platform::GUIDToBytes(id, b);
    raw.insert(raw.end(), b, b + 16);
  }
  return raw;
}

class ClassStubs : public testing::RemotingStarted {
protected:
  void SetUp() override {
    RemotingStarted::SetUp();
    startStubs = nxLiveClassStubCount();
    startObjects = testing::gLiveEchoObjects.load();
    startEchoStubs = testing::gLiveEchoStubs.load();
    Register<testing::TestEchoStub>(testing::kEchoStubID, testing::ITestEcho::IID, echoControl);
    Register<TestBareStub>(kBareStubID, kBareIntf, bareControl);
  }
  void TearDown() override {
    echoControl->Unregister();
    bareControl->Unregister();
    echoControl = nullptr;
    bareControl = nullptr;
    EXPECT_EQ(nxLiveClassStubCount(), startStubs);
    EXPECT_EQ(testing::gLiveEchoObjects.load(), startObjects);
    EXPECT_EQ(testing::gLiveEchoStubs.load(), startEchoStubs);
    RemotingStarted::TearDown();
  }

  template <class T>
  void Register(const TGUID& aStubID, const TGUID& aIntf, TInterfacePtr<InxInterfaceStubFactoryControl>& aControl) {
    const TInterfacePtr<InxInterfaceStubFactory> factory(nxCreate<TnxInterfaceStubFactoryOf<T>>());
    ASSERT_EQ(nxInterfaceStubFactoryRegistry()->RegisterInterfaceStubFactory(aStubID, factory.Get(), aControl), S_OK);
    ASSERT_EQ(aControl->RegisterForInterface(0, aIntf), S_OK);
  }

  TInterfacePtr<InxClassStub> StubOf(IInterface* aObject) {
    TInterfacePtr<InxClassStub> stub;
    EXPECT_EQ(nxClassStubFactoryRegistry()->CreateClassStub(nxDefaultClassStubID, testing::kEchoClassID, aObject, stub),
              S_OK);
    return stub;
  }

  static TGUID InstanceOf(InxClassStub* aStub) {
    TnxRoutingPath path;
    aStub->GetRoutingPath(path);
    return path.back().oiInstanceID;
  }

  // Header with version 1, the stub's identity and the kind, then `rest`.
  static TaggedBytes ClassRequest(InxClassStub* aStub, int32_t aKind, const std::function<void(TnxWriter&)>& aRest,
                                  int32_t aVersion = 1) {
    const TGUID instance = InstanceOf(aStub);
    return testing::Written([&](TnxWriter& w) {
      w.WriteInteger(aVersion);
      w.WriteGuid(nxProcessID());
      w.WriteGuid(instance);
      w.WriteInteger(aKind);
      aRest(w);
    });
  }

  static std::function<void(TnxWriter&)> GetIntf(const TGUID& aIntf, int32_t aCount, const TaggedBytes& aIds) {
    return [=](TnxWriter& w) {
      w.WriteGuid(aIntf);
      w.WriteInteger(aCount);
      if (aCount >= 1) w.WriteBinary(aIds.data(), static_cast<int32_t>(aIds.size()));
    };
  }

  // An echo call of `aBytes` at the given call version, kind and method.
  static std::function<void(TnxWriter&)> EchoCall(const TaggedBytes& aBytes, int32_t aVersion = 1, int32_t aKind = 0,
                                                  int32_t aMethod = testing::kEchoMethod,
                                                  const TGUID& aStubID = testing::kEchoStubID) {
    return [=](TnxWriter& w) {
      w.WriteGuid(testing::ITestEcho::IID);
      w.WriteGuid(aStubID);
      w.WriteInteger(aVersion);
      w.WriteInteger(aKind);
      w.WriteInteger(aMethod);
      w.WriteInteger(static_cast<int32_t>(aBytes.size()));
      w.WriteBinary(aBytes.data(), static_cast<int32_t>(aBytes.size()));
    };
  }

  static HRESULT Dispatch(InxClassStub* aStub, const TaggedBytes& aRequest, TaggedBytes* aReply = nullptr) {
    HRESULT result = E_NOTIMPL;
    testing::ReadBy(aRequest, [&](InxReader& reader) {
      const TaggedBytes reply = testing::WrittenBy(
          [&](InxWriter& writer) { return aStub->Dispatch(nullptr, &reader, &writer); }, result);
      if (aReply) *aReply = reply;
      return result;
    });
    return result;
  }

  int32_t startStubs = 0;
  int32_t startObjects = 0;
  int32_t startEchoStubs = 0;
  TInterfacePtr<InxInterfaceStubFactoryControl> echoControl;
  TInterfacePtr<InxInterfaceStubFactoryControl> bareControl;
};

TEST_F(ClassStubs, OneStubPerObjectWhateverInterfaceItComesThrough) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  const auto first = StubOf(static_cast<testing::ITestEcho*>(object.Get()));
  const auto second = StubOf(static_cast<InxClass*>(object.Get()));
  EXPECT_EQ(first.Get(), second.Get());

  TInterfacePtr<InxClassStub> found;
  EXPECT_EQ(nxClassStubFactoryRegistry()->FindClassStubForObject(object.Get(), found), S_OK);
  EXPECT_EQ(found.Get(), first.Get());
  EXPECT_EQ(nxClassStubFactoryRegistry()->FindClassStub(nxDefaultClassStubID, InstanceOf(first.Get()), found), S_OK);
  EXPECT_EQ(found.Get(), first.Get());

  TnxRoutingPath path;
  first->GetRoutingPath(path);
  ASSERT_EQ(path.size(), 1u);
  EXPECT_EQ(path[0].oiServerID, nxProcessID());

  TInterfacePtr<InxClassStub> none;
  EXPECT_EQ(nxClassStubFactoryRegistry()->CreateClassStub(nxDefaultClassStubID, testing::kEchoClassID, nullptr, none),
            E_INVALIDARG);
}

TEST_F(ClassStubs, ReleasedStubIsNotFoundAgain) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  TGUID instance{};
  {
    const auto stub = StubOf(object.Get());
    instance = InstanceOf(stub.Get());
  }
  TInterfacePtr<InxClassStub> found;
  EXPECT_EQ(nxClassStubFactoryRegistry()->FindClassStubForObject(object.Get(), found), platform::CO_E_OBJNOTREG);
  EXPECT_EQ(nxClassStubFactoryRegistry()->FindClassStub(nxDefaultClassStubID, instance, found), RPC_E_INVALID_OBJREF);
}

TEST_F(ClassStubs, ForgedOrStaleInstanceIDsAreRefused) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  TGUID stale{};
  {
    const auto old = StubOf(object.Get());
    stale = InstanceOf(old.Get());
  }
  const auto stub = StubOf(object.Get());
  const TGUID live = InstanceOf(stub.Get());
  const auto staleWords = nxGuidWords(stale);
  const auto liveWords = nxGuidWords(live);
  // The point of the test: the slot is the same, only its generation moved.
  ASSERT_EQ(TnxHandleTable::SlotOf(staleWords[0]), TnxHandleTable::SlotOf(liveWords[0]));

  struct Case {
    const char* name;
    std::array<uint32_t, 4> words;
  };
  auto fixed = [](std::array<uint32_t, 4> w) {
    w[3] = w[0] ^ w[1] ^ w[2];
    return w;
  };
  const Case cases[] = {
      {"check word", {liveWords[0], liveWords[1], liveWords[2], liveWords[3] ^ 1}},
      {"other secret", fixed({liveWords[0], liveWords[1] ^ 0x100, liveWords[2], 0})},
      {"other generation", fixed({liveWords[0], liveWords[1], liveWords[2] + 1, 0})},
      {"other slot", fixed({liveWords[0] + 1, liveWords[1], liveWords[2], 0})},
      {"stale", staleWords},
      {"zero", {0, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    TInterfacePtr<InxClassStub> found;
    EXPECT_EQ(nxClassStubFactoryRegistry()->FindClassStub(nxDefaultClassStubID, nxGuidOfWords(c.words), found),
              RPC_E_INVALID_OBJREF)
        << c.name;
    EXPECT_FALSE(found) << c.name;
  }
  TInterfacePtr<InxClassStub> found;
  EXPECT_EQ(nxClassStubFactoryRegistry()->FindClassStub(nxDefaultClassStubID, live, found), S_OK);
}

TEST_F(ClassStubs, GetInterfaceThenCallIt) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  const auto stub = StubOf(object.Get());
  const TaggedBytes ids = Ids({kUnknownStubID, testing::kEchoStubID});

  for (int round = 0; round < 2; ++round) {
    TaggedBytes reply;
    ASSERT_EQ(Dispatch(stub.Get(), ClassRequest(stub.Get(), nxClassGetInterface,
                                                GetIntf(testing::ITestEcho::IID, 2, ids)),
                       &reply),
              S_OK);
    HRESULT hr = S_OK;
    EXPECT_EQ(reply, testing::WrittenBy(
                         [](InxWriter& w) {
                           w.WriteGuid(testing::kEchoStubID);
                           w.WriteInteger(1);
                           return S_OK;
                         },
                         hr));
  }
  // Asked twice, made once.
  EXPECT_EQ(testing::gLiveEchoStubs.load(), startEchoStubs + 1);

  const TaggedBytes payload(64, 0x5A);
  TaggedBytes reply;
  ASSERT_EQ(Dispatch(stub.Get(), ClassRequest(stub.Get(), nxClassCallInterface, EchoCall(payload)), &reply), S_OK);
  HRESULT hr = S_OK;
  EXPECT_EQ(reply, testing::WrittenBy(
                       [&](InxWriter& w) {
                         w.WriteInteger(64);
                         w.WriteBinary(payload.data(), 64);
                         return S_OK;
                       },
                       hr));
}

TEST_F(ClassStubs, MalformedRequestsAnswerTheirCodes) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  const auto stub = StubOf(object.Get());
  const TaggedBytes echoIds = Ids({testing::kEchoStubID});
  // The echo and bare interface stubs exist from here on.
  ASSERT_EQ(Dispatch(stub.Get(), ClassRequest(stub.Get(), 0, GetIntf(testing::ITestEcho::IID, 1, echoIds))), S_OK);

  const TGUID otherInstance = platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A20}");
  const TaggedBytes payload(4, 1);
  auto nothing = [](TnxWriter&) {};
  struct Case {
    const char* name;
    TaggedBytes request;
    HRESULT expected;
  };
  const Case cases[] = {
      {"class version 2", ClassRequest(stub.Get(), 0, GetIntf(testing::ITestEcho::IID, 1, echoIds), 2),
       RPC_E_INVALID_DATAPACKET},
      {"class version 0", ClassRequest(stub.Get(), 0, GetIntf(testing::ITestEcho::IID, 1, echoIds), 0),
       RPC_E_INVALID_DATAPACKET},
      {"other instance", testing::Written([&](TnxWriter& w) {
         w.WriteInteger(1);
         w.WriteGuid(nxProcessID());
         w.WriteGuid(otherInstance);
         w.WriteInteger(0);
       }),
       RPC_E_INVALID_DATAPACKET},
      {"kind 9", ClassRequest(stub.Get(), 9, nothing), RPC_E_INVALID_DATAPACKET},
      {"kind -1", ClassRequest(stub.Get(), -1, nothing), RPC_E_INVALID_DATAPACKET},
      {"N of 0", ClassRequest(stub.Get(), 0, GetIntf(testing::ITestEcho::IID, 0, {})), E_NOINTERFACE},
      {"N of 129", ClassRequest(stub.Get(), 0, GetIntf(testing::ITestEcho::IID, 129, echoIds)),
       RPC_E_INVALID_DATAPACKET},
      {"N of 10^6", ClassRequest(stub.Get(), 0, GetIntf(testing::ITestEcho::IID, 1000000, echoIds)),
       RPC_E_INVALID_DATAPACKET},
      {"no stub factory offered", ClassRequest(stub.Get(), 0, GetIntf(testing::ITestEcho::IID, 1, Ids({kUnknownStubID}))),
       E_NOINTERFACE},
      {"object lacks interface", ClassRequest(stub.Get(), 0, GetIntf(kMissingIntf, 1, echoIds)), E_NOINTERFACE},
      {"unknown stub key", ClassRequest(stub.Get(), 1, EchoCall(payload, 1, 0, 1, kUnknownStubID)),
       RPC_E_INVALID_DATAPACKET},
      {"call version 0", ClassRequest(stub.Get(), 1, EchoCall(payload, 0)), platform::RPC_E_VERSION_MISMATCH},
      {"call kind 1", ClassRequest(stub.Get(), 1, EchoCall(payload, 1, 1)), RPC_E_INVALIDMETHOD},
      {"call kind 0x100 is kind 0", ClassRequest(stub.Get(), 1, EchoCall(payload, 1, 0x100)), S_OK},
      {"method index 4", ClassRequest(stub.Get(), 1, EchoCall(payload, 1, 0, 4)), RPC_E_INVALIDMETHOD},
  };
  for (const Case& c : cases) EXPECT_EQ(Dispatch(stub.Get(), c.request), c.expected) << c.name;
  // Nothing of the refused requests was kept.
  EXPECT_EQ(testing::gLiveEchoStubs.load(), startEchoStubs + 1);
}

TEST_F(ClassStubs, BaseInterfaceStubKnowsNoMethod) {
  // The bare stub stands for an interface the object does not offer, so
  // give it one that does.
  class BareObject final : public TnxInterfacedObject {
  protected:
    bool GetInterface(const TGUID& iid, void** obj) noexcept override {
      if (iid == kBareIntf) {
        AddRef();
        *obj = static_cast<IInterface*>(this);
        return true;
      }
      return TnxInterfacedObject::GetInterface(iid, obj);
    }
  };
  const TInterfacePtr<IInterface> object(nxCreate<BareObject>());
  const auto stub = StubOf(object.Get());
  ASSERT_EQ(Dispatch(stub.Get(), ClassRequest(stub.Get(), 0, GetIntf(kBareIntf, 1, Ids({kBareStubID})))), S_OK);
  const auto call = ClassRequest(stub.Get(), 1, [](TnxWriter& w) {
    w.WriteGuid(kBareIntf);
    w.WriteGuid(kBareStubID);
    w.WriteInteger(1);
    w.WriteInteger(0);
    w.WriteInteger(1);
  });
  EXPECT_EQ(Dispatch(stub.Get(), call), E_NOTIMPL);
}

TEST_F(ClassStubs, QueryMultipleAnswersPerEntry) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  const auto stub = StubOf(object.Get());
  const TaggedBytes echoIds = Ids({testing::kEchoStubID});
  auto entries = [&](std::initializer_list<TGUID> aIntfs) {
    // A copy: the list's array ends with the full expression.
    return [=, intfs = std::vector<TGUID>(aIntfs)](TnxWriter& w) {
      w.WriteListBegin();
      for (const TGUID& intf : intfs) GetIntf(intf, 1, echoIds)(w);
      w.WriteListEnd();
    };
  };
  auto expected = [](std::initializer_list<HRESULT> aResults) {
    HRESULT hr = S_OK;
    return testing::WrittenBy(
        [&](InxWriter& w) {
          for (HRESULT r : aResults) {
            w.WriteInteger(r);
            if (r >= 0) {
              w.WriteGuid(testing::kEchoStubID);
              w.WriteInteger(1);
            }
          }
          return S_OK;
        },
        hr);
  };
  struct Case {
    const char* name;
    std::function<void(TnxWriter&)> request;
    HRESULT result;
    TaggedBytes reply;
  };
  const Case cases[] = {
      {"one missing, one present", entries({kMissingIntf, testing::ITestEcho::IID}), S_FALSE,
       expected({E_NOINTERFACE, S_OK})},
      {"all present", entries({testing::ITestEcho::IID, testing::ITestEcho::IID}), S_OK, expected({S_OK, S_OK})},
      {"none present", entries({kMissingIntf}), E_NOINTERFACE, expected({E_NOINTERFACE})},
      {"empty list", entries({}), E_NOINTERFACE, {}},
  };
  for (const Case& c : cases) {
    TaggedBytes reply;
    EXPECT_EQ(Dispatch(stub.Get(), ClassRequest(stub.Get(), nxClassQueryMultiple, c.request), &reply), c.result)
        << c.name;
    EXPECT_EQ(reply, c.reply) << c.name;
  }
  const auto tooMany = ClassRequest(stub.Get(), nxClassQueryMultiple, [&](TnxWriter& w) {
    w.WriteListBegin();
    GetIntf(testing::ITestEcho::IID, 129, echoIds)(w);
    w.WriteListEnd();
  });
  EXPECT_EQ(Dispatch(stub.Get(), tooMany), RPC_E_INVALID_DATAPACKET);
}

TEST_F(ClassStubs, DisconnectDuringACallLetsItFinish) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  std::mutex mutex;
  std::condition_variable changed;
  bool inCall = false;
  bool mayLeave = false;
  object->onEcho = [&] {
    std::unique_lock lock(mutex);
    inCall = true;
    changed.notify_all();
    changed.wait(lock, [&] { return mayLeave; });
  };
  auto stub = StubOf(object.Get());
  ASSERT_EQ(Dispatch(stub.Get(), ClassRequest(stub.Get(), 0, GetIntf(testing::ITestEcho::IID, 1,
                                                                        Ids({testing::kEchoStubID})))),
            S_OK);
  const TaggedBytes call = ClassRequest(stub.Get(), 1, EchoCall(TaggedBytes(8, 7)));
  HRESULT running = E_NOTIMPL;
  std::thread caller([&] { running = Dispatch(stub.Get(), call); });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return inCall; });
  }
  EXPECT_EQ(stub->Disconnect(), S_OK);
  // The running call still has its object.
  TInterfacePtr<IInterface> asked;
  EXPECT_EQ(stub->QueryObject(testing::ITestEcho::IID, asked), S_OK);
  asked = nullptr;
  {
    std::lock_guard lock(mutex);
    mayLeave = true;
  }
  changed.notify_all();
  caller.join();
  EXPECT_EQ(running, S_OK);

  EXPECT_EQ(Dispatch(stub.Get(), call), CO_E_OBJNOTCONNECTED);
  EXPECT_EQ(stub->QueryObject(testing::ITestEcho::IID, asked), CO_E_OBJNOTCONNECTED);
  // The interface stubs went with the object; the object itself is ours.
  EXPECT_EQ(testing::gLiveEchoStubs.load(), startEchoStubs);
  object->onEcho = nullptr;

  // Once released, the object is not this stub's any more.
  const auto next = StubOf(object.Get());
  EXPECT_NE(next.Get(), stub.Get());
  EXPECT_NE(InstanceOf(next.Get()), InstanceOf(stub.Get()));
}

TEST_F(ClassStubs, ReleasingTheObjectClosesTheListedExits) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  const auto stub = StubOf(object.Get());
  TInterfacePtr<InxChannelExit> exits[2];
  for (auto& exit : exits) {
    ASSERT_EQ(nxCreateChannelExit(nxProcessID(), nullptr, stub.Get(), exit), S_OK);
    ASSERT_EQ(stub->AddChannel(exit.Get()), S_OK);
  }
  EXPECT_EQ(stub->Disconnect(), S_OK);
  for (auto& exit : exits) EXPECT_FALSE(exit->IsConnected());
}

TEST_F(ClassStubs, AProxiedObjectExtendsItsRoute) {
  class RoutedObject final : public TnxInterfacedObject, public InxRoutingPath {
  public:
    HRESULT GetRoutingPath(TnxRoutingPath& aPath) override {
      aPath = {{platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A30}"),
                platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A31}")}};
      return S_OK;
    }

  protected:
    bool GetInterface(const TGUID& iid, void** obj) noexcept override {
      return nxOfferInterface<InxRoutingPath>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
    }
  };
  const TInterfacePtr<IInterface> object(static_cast<InxRoutingPath*>(nxCreate<RoutedObject>()));
  const auto stub = StubOf(object.Get());
  TnxRoutingPath path;
  stub->GetRoutingPath(path);
  ASSERT_EQ(path.size(), 2u);
  EXPECT_EQ(path[0].oiServerID, platform::nxGuid("{0B7E6A52-2C4D-4E8F-9A1B-3C5D7E9F1A30}"));
  EXPECT_EQ(path[1].oiServerID, nxProcessID());
  // Calls name the stub by its own element.
  EXPECT_EQ(Dispatch(stub.Get(), ClassRequest(stub.Get(), 9, [](TnxWriter&) {})), RPC_E_INVALID_DATAPACKET);
}

TEST_F(ClassStubs, ConcurrentFirstQueriesMakeOneInterfaceStub) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  const auto stub = StubOf(object.Get());
  const TaggedBytes request =
      ClassRequest(stub.Get(), nxClassGetInterface, GetIntf(testing::ITestEcho::IID, 1, Ids({testing::kEchoStubID})));
  constexpr int kThreads = 8;
  std::atomic<int> ok{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&] {
      if (Dispatch(stub.Get(), request) == S_OK) ++ok;
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(ok.load(), kThreads);
  EXPECT_EQ(testing::gLiveEchoStubs.load(), startEchoStubs + 1);
}

TEST_F(ClassStubs, SearchesRacingTheLastReleaseNeverFindADyingStub) {
  const TInterfacePtr<TestEchoObject> object(nxCreate<TestEchoObject>());
  for (int round = 0; round < 200; ++round) {
    auto stub = StubOf(object.Get());
    const TGUID instance = InstanceOf(stub.Get());
    std::thread releaser([&] { stub = nullptr; });
    TInterfacePtr<InxClassStub> found;
    const HRESULT result = nxClassStubFactoryRegistry()->FindClassStub(nxDefaultClassStubID, instance, found);
    releaser.join();
    if (result == S_OK) {
      // Found alive: it answers for itself until let go.
      ASSERT_TRUE(found);
      EXPECT_EQ(InstanceOf(found.Get()), instance);
    } else {
      EXPECT_EQ(result, RPC_E_INVALID_OBJREF);
    }
  }
}

}  // namespace
}  // namespace revurov
