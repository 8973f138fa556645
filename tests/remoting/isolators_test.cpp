// The class activator isolator in front of a remoting engine and the
// session notifier isolator in front of a channel's owner: what passes
// while the object behind lives, what answers once it went, and the races
// of going away against calls from other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/objects/session_notifications.h"
#include "remoting_test_support.h"
#include "transport/remoting/isolators.h"
#include "transport/remoting/remoting_base.h"

namespace revurov {
namespace {

using platform::HRESULT;
using platform::IInterface;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;

const TGUID kClass = platform::nxGuid("{6A0F4E1C-2B3D-4C5E-8F90-A1B2C3D4E5F6}");
const TGUID kInterface = platform::nxGuid("{0D1C2B3A-4958-6776-8594-A3B2C1D0E0F1}");

// Records in order what happened, from any thread.
struct CallLog {
  void Add(const std::string& aWhat) {
    std::lock_guard<std::mutex> guard(lock);
    events.push_back(aWhat);
  }
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> guard(lock);
    return events;
  }
  std::mutex lock;
  std::vector<std::string> events;
};

// What the engine makes.
class MadeObject final : public TnxInterfacedObject {};

// A remoting engine whose CreateInstance records its arguments and can be
// held inside the call until the test lets it go.
class TestRemoting final : public TnxRemotingBase {
  REVUROV_COMPONENT_CLASS(TestRemoting, TnxRemotingBase)
  TestRemoting(platform::TComponent* aOwner, CallLog& aLog) : TnxRemotingBase(aOwner), callLog(aLog) {}
  ~TestRemoting() override { callLog.Add("host gone"); }

  HRESULT CreateInstance(const TGUID& aClassID, IInterface* aOuter, const TGUID& aInterfaceID,
                         TInterfacePtr<IInterface>& aInterface) override {
    if (++calls == 1) {  // calls from several threads record nothing more
      lastClass = aClassID;
      lastOuter = aOuter;
      lastInterface = aInterfaceID;
    }
    if (holdCalls) {
      entered = true;
      for (int i = 0; i < 1000 && !letGo; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      callLog.Add("call end");
    }
    aInterface = nxCreate<MadeObject>();
    return S_OK;
  }

  CallLog& callLog;
  std::atomic<int> calls{0};
  TGUID lastClass;
  IInterface* lastOuter = nullptr;
  TGUID lastInterface;
  bool holdCalls = false;
  std::atomic<bool> entered{false};
  std::atomic<bool> letGo{false};
};

TInterfacePtr<InxClassActivator> ActivatorOf(TnxRemotingBase& aEngine) {
  auto activator = platform::Supports<InxClassActivator>(static_cast<InxClassActivator*>(&aEngine));
  EXPECT_TRUE(activator);
  return activator;
}

// A host that is no component, for the isolator on its own.
class PlainHost final : public InxClassActivator {
public:
  HRESULT QueryInterface(const TGUID& iid, void** obj) noexcept override {
    if (iid == IInterface::IID || iid == InxClassActivator::IID) {
      *obj = static_cast<InxClassActivator*>(this);
      return S_OK;
    }
    *obj = nullptr;
    return platform::E_NOINTERFACE;
  }
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }
  HRESULT CreateInstance(const TGUID&, IInterface*, const TGUID&, TInterfacePtr<IInterface>&) override {
    ++calls;
    return S_OK;
  }
  int calls = 0;
};

TEST(ClassActivatorIsolator, EngineHandsOutOneIsolatorThatForwardsWhileTheEngineLives) {
  CallLog log;
  auto* engine = new TestRemoting(nullptr, log);
  auto first = ActivatorOf(*engine);
  auto second = ActivatorOf(*engine);
  EXPECT_EQ(first, second);
  EXPECT_NE(static_cast<void*>(first.Get()), static_cast<void*>(static_cast<InxClassActivator*>(engine)));

  int outer = 0;
  TInterfacePtr<IInterface> made;
  EXPECT_EQ(first->CreateInstance(kClass, reinterpret_cast<IInterface*>(&outer), kInterface, made), S_OK);
  EXPECT_EQ(engine->calls, 1);
  EXPECT_EQ(engine->lastClass, kClass);
  EXPECT_EQ(engine->lastOuter, reinterpret_cast<IInterface*>(&outer));
  EXPECT_EQ(engine->lastInterface, kInterface);
  EXPECT_TRUE(dynamic_cast<MadeObject*>(made.Get()));

  // Other interfaces are the engine's answer.
  EXPECT_EQ(platform::Supports<IInterface>(first).Get(), static_cast<IInterface*>(engine));
  void* obj = &outer;
  EXPECT_EQ(first->QueryInterface(InxSessionNotifier::IID, &obj), platform::E_NOINTERFACE);
  EXPECT_EQ(obj, nullptr);
  made.Reset();
  platform::TComponent::Free(engine);
}

TEST(ClassActivatorIsolator, ActivatorKeptPastTheEngineAnswersDisconnected) {
  CallLog log;
  auto* engine = new TestRemoting(nullptr, log);
  auto activator = ActivatorOf(*engine);
  platform::TComponent::Free(engine);

  TInterfacePtr<IInterface> made(activator.Get());
  EXPECT_EQ(activator->CreateInstance(kClass, nullptr, kInterface, made), platform::RPC_E_DISCONNECTED);
  EXPECT_FALSE(made);

  struct Case {
    const char* what;
    TGUID iid;
    HRESULT answer;
  };
  const Case cases[] = {
      {"the activator", InxClassActivator::IID, S_OK},
      {"IInterface", IInterface::IID, S_OK},
      {"anything else", InxSessionNotifier::IID, platform::RPC_E_DISCONNECTED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    void* obj = nullptr;
    EXPECT_EQ(activator->QueryInterface(c.iid, &obj), c.answer);
    if (c.answer == S_OK) {
      // The isolator itself, never the freed engine.
      auto* isolator = static_cast<TnxClassActivatorIsolator*>(activator.Get());
      EXPECT_TRUE(obj == static_cast<InxClassActivator*>(isolator) || obj == static_cast<IInterface*>(isolator));
      static_cast<IInterface*>(static_cast<TnxInterfacedObject*>(isolator))->Release();
    } else {
      EXPECT_EQ(obj, nullptr);
    }
  }
}

TEST(ClassActivatorIsolator, DisconnectsWithTheLastHostReferenceOnly) {
  PlainHost host;
  TInterfacePtr<TnxClassActivatorIsolator> isolator(nxCreate<TnxClassActivatorIsolator>(&host));
  TInterfacePtr<IInterface> ownerRef(isolator->HostEntry());
  TInterfacePtr<IInterface> secondRef(ownerRef);
  TInterfacePtr<IInterface> made;
  ownerRef.Reset();
  EXPECT_TRUE(isolator->Connected());
  EXPECT_EQ(isolator->CreateInstance(kClass, nullptr, kInterface, made), S_OK);
  secondRef.Reset();
  EXPECT_FALSE(isolator->Connected());
  EXPECT_EQ(isolator->CreateInstance(kClass, nullptr, kInterface, made), platform::RPC_E_DISCONNECTED);
  EXPECT_EQ(host.calls, 1);
}

// The engine is freed on another thread while a call through its activator
// runs: the free waits, and the call ends before the engine goes.
TEST(ClassActivatorIsolator, CallRunningWhileTheEngineIsFreedEndsBeforeTheEngineGoes) {
  CallLog log;
  auto* engine = new TestRemoting(nullptr, log);
  engine->holdCalls = true;
  auto activator = ActivatorOf(*engine);
  std::thread caller([&] {
    TInterfacePtr<IInterface> made;
    EXPECT_EQ(activator->CreateInstance(kClass, nullptr, kInterface, made), S_OK);
  });
  for (int i = 0; i < 1000 && !engine->entered; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(engine->entered);
  std::atomic<bool> freed{false};
  std::atomic<bool>* letGo = &engine->letGo;
  std::thread freer([&] {
    platform::TComponent::Free(engine);
    freed = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(freed);
  // The engine is still whole until the call has ended.
  letGo->store(true);
  freer.join();
  caller.join();
  EXPECT_EQ(log.Events(), (std::vector<std::string>{"call end", "host gone"}));
  TInterfacePtr<IInterface> made;
  EXPECT_EQ(activator->CreateInstance(kClass, nullptr, kInterface, made), platform::RPC_E_DISCONNECTED);
}

TEST(ClassActivatorIsolator, CallsFromTwoThreadsWhileTheEngineGoesEachGetAnAnswer) {
  CallLog log;
  auto* engine = new TestRemoting(nullptr, log);
  auto activator = ActivatorOf(*engine);
  std::atomic<int> started{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 2; ++t)
    callers.emplace_back([&] {
      ++started;
      for (int i = 0; i < 5000; ++i) {
        TInterfacePtr<IInterface> made;
        const HRESULT hr = activator->CreateInstance(kClass, nullptr, kInterface, made);
        if (hr == platform::RPC_E_DISCONNECTED) break;
        if (hr != S_OK) ++wrong;
      }
    });
  for (int i = 0; i < 1000 && started < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  platform::TComponent::Free(engine);
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(wrong, 0);
}

// --- session notifier isolator ------------------------------------------------

// The list as its session holds it: made once, ended with Free.
struct List {
  TnxSessionNotifications* p = nxCreate<TnxSessionNotifications>(nullptr);
  ~List() { p->Free(); }
  TnxSessionNotifications* operator->() const { return p; }
};

// Counts what it is told; fails when told after its owner said it detached.
class TestOwner final : public TnxInterfacedObject, public InxSessionNotifier {
public:
  void SessionDisconnected() override {
    ++told;
    if (detached) ++toldAfterDetach;
  }
  std::atomic<int> told{0};
  std::atomic<bool> detached{false};
  std::atomic<int> toldAfterDetach{0};
};

// A notifier list that records unregistrations.
class RecordingNotifications final : public TnxInterfacedObject, public InxSessionNotifications {
public:
  TnxSessionNotifierCookie RegisterNotifier(InxSessionNotifier* aNotifier) override {
    notifier = aNotifier;
    return testing::Id(42);
  }
  void UnregisterNotifier(const TnxSessionNotifierCookie& aCookie) override {
    unregistered.push_back(aCookie);
    notifier.Reset();
  }
  TInterfacePtr<InxSessionNotifier> notifier;
  std::vector<TnxSessionNotifierCookie> unregistered;
};

TEST(SessionNotifierIsolator, RegistersItselfAndPassesTheSessionsEndOnce) {
  List list;
  auto owner = testing::Make<TestOwner>();
  auto isolator = testing::Make<TnxSessionNotifierIsolator>(owner.Get(), list.p);
  EXPECT_EQ(list->Count(), 1);
  EXPECT_TRUE(platform::Supports<InxSessionNotifierIsolator>(static_cast<InxSessionNotifier*>(isolator.Get())));
  list->Disconnected();
  EXPECT_EQ(owner->told, 1);
  isolator->SessionDisconnected();
  isolator->Detach();
  EXPECT_EQ(owner->told, 1);
}

TEST(SessionNotifierIsolator, SessionEndAfterDetachDoesNotReachTheOwner) {
  List list;
  auto owner = testing::Make<TestOwner>();
  auto isolator = testing::Make<TnxSessionNotifierIsolator>(owner.Get(), list.p);
  isolator->Detach();
  EXPECT_EQ(list->Count(), 0);
  list->Disconnected();
  isolator->SessionDisconnected();
  EXPECT_EQ(owner->told, 0);
}

TEST(SessionNotifierIsolator, DetachUnregistersOnceAndNotAfterTheSessionEnded) {
  auto owner = testing::Make<TestOwner>();
  {
    auto notifications = testing::Make<RecordingNotifications>();
    auto isolator = testing::Make<TnxSessionNotifierIsolator>(owner.Get(), notifications.Get());
    isolator->Detach();
    isolator->Detach();
    EXPECT_EQ(notifications->unregistered, (std::vector<TnxSessionNotifierCookie>{testing::Id(42)}));
  }
  {
    auto notifications = testing::Make<RecordingNotifications>();
    auto isolator = testing::Make<TnxSessionNotifierIsolator>(owner.Get(), notifications.Get());
    isolator->SessionDisconnected();
    isolator->Detach();
    EXPECT_TRUE(notifications->unregistered.empty());
    notifications->notifier.Reset();
  }
  EXPECT_EQ(owner->told, 1);
}

// The session ends on one thread while the owner detaches on another: the
// owner is told at most once and never after its Detach has returned.
TEST(SessionNotifierIsolator, SessionEndRacingDetachNeverReachesADetachedOwner) {
  for (int round = 0; round < 300; ++round) {
    List list;
    auto owner = testing::Make<TestOwner>();
    auto isolator = testing::Make<TnxSessionNotifierIsolator>(owner.Get(), list.p);
    std::thread session([&] { list->Disconnected(); });
    isolator->Detach();
    owner->detached = true;
    session.join();
    EXPECT_LE(owner->told, 1);
    EXPECT_EQ(owner->toldAfterDetach, 0);
    EXPECT_EQ(list->Count(), 0);
  }
}

}  // namespace
}  // namespace revurov
