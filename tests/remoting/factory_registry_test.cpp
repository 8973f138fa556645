// The factory registries: the registry cases over the four stub and proxy
// families in one typed test, then what only one family has (the class
// factory registry, the stub registries' create and find operations).
#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

#include "remoting_test_support.h"
#include "transport/remoting/factory_registry.h"

namespace revurov {
namespace {

using platform::CO_E_OBJISREG;
using platform::CO_E_OBJNOTREG;
using platform::E_INVALIDARG;
using platform::E_NOINTERFACE;
using platform::GUID_NULL;
using platform::HRESULT;
using platform::S_FALSE;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using testing::Id;
using testing::Make;
using testing::TestFactory;

const TGUID kClass = platform::nxGuid("{C1A55000-0000-4000-8000-000000000001}");
const TGUID kOtherClass = platform::nxGuid("{C1A55000-0000-4000-8000-000000000002}");
const TGUID kIntf = platform::nxGuid("{1F000000-0000-4000-8000-000000000001}");
const TGUID kOtherIntf = platform::nxGuid("{1F000000-0000-4000-8000-000000000002}");

// How the typed test reaches one family through its own interface names.
struct ClassStubs {
  using Registry = TnxClassStubFactoryRegistry;
  using Control = InxClassStubFactoryControl;
  static constexpr bool kInterfaceKeys = false;
  static HRESULT Register(Registry& r, const TGUID& id, TestFactory* f, TInterfacePtr<Control>& c) {
    return r.RegisterClassStubFactory(id, f, c);
  }
  static HRESULT Enum(Registry& r, const TGUID& c, const TGUID&, std::span<TGUID> ids, int32_t& found) {
    return r.EnumClassStubFactories(c, ids, found);
  }
  static HRESULT Select(Registry& r, const TGUID& c, const TGUID&, std::span<const TGUID> ids, TGUID& id) {
    return r.SelectClassStubFactory(c, ids, id);
  }
};

struct InterfaceStubs {
  using Registry = TnxInterfaceStubFactoryRegistry;
  using Control = InxInterfaceStubFactoryControl;
  static constexpr bool kInterfaceKeys = true;
  static HRESULT Register(Registry& r, const TGUID& id, TestFactory* f, TInterfacePtr<Control>& c) {
    return r.RegisterInterfaceStubFactory(id, f, c);
  }
  static HRESULT Enum(Registry& r, const TGUID& c, const TGUID& i, std::span<TGUID> ids, int32_t& found) {
    return r.EnumInterfaceStubFactories(c, i, ids, found);
  }
  static HRESULT Select(Registry& r, const TGUID& c, const TGUID& i, std::span<const TGUID> ids, TGUID& id) {
    return r.SelectInterfaceStubFactory(c, i, ids, id);
  }
};

// The proxy registries offer no selection of their own; the shared one is
// asked directly.
struct ClassProxies {
  using Registry = TnxClassProxyFactoryRegistry;
  using Control = InxClassProxyFactoryControl;
  static constexpr bool kInterfaceKeys = false;
  static HRESULT Register(Registry& r, const TGUID& id, TestFactory* f, TInterfacePtr<Control>& c) {
    return r.RegisterClassProxyFactory(id, f, c);
  }
  static HRESULT Enum(Registry& r, const TGUID& c, const TGUID&, std::span<TGUID> ids, int32_t& found) {
    return r.EnumClassProxyFactories(c, ids, found);
  }
  static HRESULT Select(Registry& r, const TGUID& c, const TGUID& i, std::span<const TGUID> ids, TGUID& id) {
    return r.Select(c, i, ids, id);
  }
};

struct InterfaceProxies {
  using Registry = TnxInterfaceProxyFactoryRegistry;
  using Control = InxInterfaceProxyFactoryControl;
  static constexpr bool kInterfaceKeys = true;
  static HRESULT Register(Registry& r, const TGUID& id, TestFactory* f, TInterfacePtr<Control>& c) {
    return r.RegisterInterfaceProxyFactory(id, f, c);
  }
  static HRESULT Enum(Registry& r, const TGUID& c, const TGUID& i, std::span<TGUID> ids, int32_t& found) {
    return r.EnumInterfaceProxyFactories(c, i, ids, found);
  }
  static HRESULT Select(Registry& r, const TGUID& c, const TGUID& i, std::span<const TGUID> ids, TGUID& id) {
    return r.Select(c, i, ids, id);
  }
};

template <class Family>
class FactoryRegistry : public testing::RemotingStarted {
protected:
  using Control = typename Family::Control;

  void SetUp() override {
    RemotingStarted::SetUp();
    registry = Make<typename Family::Registry>();
  }
  void TearDown() override {
    controls.clear();
    registry.Reset();
    RemotingStarted::TearDown();
  }

  // Registers a new factory under aID and keeps its control.
  Control& Add(const TGUID& aID, TestFactory::TSupports aSupports = nullptr) {
    factories.push_back(Make<TestFactory>(std::move(aSupports)));
    TInterfacePtr<Control> control;
    EXPECT_EQ(Family::Register(*registry, aID, factories.back().Get(), control), S_OK);
    controls.push_back(control);
    return *control;
  }

  struct Listed {
    HRESULT hr;
    int32_t found;
    std::vector<TGUID> ids;
  };
  Listed Enum(size_t aCapacity, const TGUID& aClass = kClass, const TGUID& aIntf = kIntf) {
    Listed l{S_OK, -1, std::vector<TGUID>(aCapacity)};
    l.hr = Family::Enum(*registry, aClass, aIntf, l.ids, l.found);
    l.ids.resize(static_cast<size_t>(std::max(0, std::min<int32_t>(l.found, static_cast<int32_t>(aCapacity)))));
    return l;
  }
  HRESULT Select(std::vector<TGUID> aCandidates, TGUID& aChosen, const TGUID& aIntf = kIntf) {
    return Family::Select(*registry, kClass, aIntf, aCandidates, aChosen);
  }

  TInterfacePtr<typename Family::Registry> registry;
  std::vector<TInterfacePtr<TestFactory>> factories;
  std::vector<TInterfacePtr<Control>> controls;
};

using Families = ::testing::Types<ClassStubs, InterfaceStubs, ClassProxies, InterfaceProxies>;
TYPED_TEST_SUITE(FactoryRegistry, Families);

TYPED_TEST(FactoryRegistry, DuplicateIDIsRefusedAndTheFirstStays) {
  auto& first = this->Add(Id(1));
  ASSERT_EQ(first.RegisterGeneric(0), S_OK);
  auto second = Make<TestFactory>();
  TInterfacePtr<typename TypeParam::Control> control;
  EXPECT_EQ(TypeParam::Register(*this->registry, Id(1), second.Get(), control), CO_E_OBJISREG);
  EXPECT_FALSE(control);
  auto l = this->Enum(4);
  EXPECT_EQ(l.hr, S_OK);
  EXPECT_EQ(l.ids, std::vector<TGUID>{Id(1)});
  EXPECT_EQ(second->supportsCalls, 0);
  EXPECT_EQ(this->factories[0]->supportsCalls, 1);
}

TYPED_TEST(FactoryRegistry, NilFactoryIsRefused) {
  TInterfacePtr<typename TypeParam::Control> control;
  EXPECT_EQ(TypeParam::Register(*this->registry, Id(1), nullptr, control), E_INVALIDARG);
  EXPECT_FALSE(control);
  this->Add(Id(1));  // nothing of the refused one stayed
}

TYPED_TEST(FactoryRegistry, KeyedAndGenericControlIsOfferedOnceAtItsLowestPriority) {
  auto& both = this->Add(Id(1));
  ASSERT_EQ(both.RegisterForClass(3, kClass), S_OK);
  ASSERT_EQ(both.RegisterGeneric(-2), S_OK);
  auto& keyed = this->Add(Id(2));
  ASSERT_EQ(keyed.RegisterForClass(0, kClass), S_OK);
  auto l = this->Enum(4);
  EXPECT_EQ(l.hr, S_OK);
  EXPECT_EQ(l.found, 2);
  EXPECT_EQ(l.ids, (std::vector<TGUID>{Id(1), Id(2)}));
  EXPECT_EQ(this->factories[0]->supportsCalls, 1);
}

TYPED_TEST(FactoryRegistry, EnumerateCountsFillsAndStopsWhenFull) {
  ASSERT_EQ(this->Add(Id(1)).RegisterForClass(1, kClass), S_OK);
  ASSERT_EQ(this->Add(Id(2)).RegisterGeneric(-1), S_OK);
  ASSERT_EQ(this->Add(Id(3), [](auto&, auto&) { return S_FALSE; }).RegisterGeneric(-5), S_OK);
  ASSERT_EQ(this->Add(Id(4)).RegisterForClass(5, kOtherClass), S_OK);

  auto counted = this->Enum(0);
  EXPECT_EQ(counted.hr, S_OK);
  EXPECT_EQ(counted.found, 2);
  auto full = this->Enum(1);
  EXPECT_EQ(full.hr, S_FALSE);
  EXPECT_EQ(full.found, 1);
  EXPECT_EQ(full.ids, std::vector<TGUID>{Id(2)});
  auto room = this->Enum(3);
  EXPECT_EQ(room.hr, S_OK);
  EXPECT_EQ(room.ids, (std::vector<TGUID>{Id(2), Id(1)}));
  auto unknownClass = this->Enum(3, Id(77));
  EXPECT_EQ(unknownClass.ids, std::vector<TGUID>{Id(2)});  // the generic one serves every class
  this->controls[1]->Unregister();
  auto nothing = this->Enum(3, Id(77));
  EXPECT_EQ(nothing.hr, E_NOINTERFACE);
  EXPECT_EQ(nothing.found, 0);
}

TYPED_TEST(FactoryRegistry, TheFirstRegisteredCandidateDecidesTheSelection) {
  this->Add(Id(2)).RegisterForClass(0, kOtherClass);              // Y: not for the class
  ASSERT_EQ(this->Add(Id(3)).RegisterForClass(0, kClass), S_OK);  // Z: serves it
  TGUID chosen = Id(5);
  EXPECT_EQ(this->Select({Id(1), Id(2), Id(3)}, chosen), S_FALSE);
  EXPECT_EQ(chosen, GUID_NULL);
  EXPECT_EQ(this->factories[1]->supportsCalls, 0);

  EXPECT_EQ(this->Select({Id(1), Id(3), Id(2)}, chosen), S_OK);
  EXPECT_EQ(chosen, Id(3));
  this->factories[1]->supports = [](auto&, auto&) { return HRESULT(0x80004005u); };
  EXPECT_EQ(this->Select({Id(3)}, chosen), HRESULT(0x80004005u));
  EXPECT_EQ(chosen, GUID_NULL);
  EXPECT_EQ(this->Select({Id(1), Id(9)}, chosen), E_NOINTERFACE);
  EXPECT_EQ(this->Select({}, chosen), E_NOINTERFACE);
}

TYPED_TEST(FactoryRegistry, PairOnlyRegistrationServesItsClassAndInterface) {
  if constexpr (!TypeParam::kInterfaceKeys) {
    GTEST_SKIP() << "class families have no pair keys";
  } else {
    auto& pair = this->Add(Id(1));
    ASSERT_EQ(pair.RegisterForPair(2, kClass, kIntf), S_OK);
    TGUID chosen;
    EXPECT_EQ(this->Select({Id(1)}, chosen), S_OK);
    EXPECT_EQ(chosen, Id(1));
    EXPECT_EQ(this->Select({Id(1)}, chosen, kOtherIntf), S_FALSE);
    EXPECT_EQ(this->Enum(2).ids, std::vector<TGUID>{Id(1)});
    EXPECT_EQ(this->Enum(2, kClass, kOtherIntf).hr, E_NOINTERFACE);
    EXPECT_EQ(this->Enum(2, kOtherClass, kIntf).hr, E_NOINTERFACE);
  }
}

TYPED_TEST(FactoryRegistry, InterfaceKeysServeEveryClassAndComeAfterPairAndClassKeys) {
  if constexpr (!TypeParam::kInterfaceKeys) {
    GTEST_SKIP() << "class families have no interface keys";
  } else {
    ASSERT_EQ(this->Add(Id(1)).RegisterForInterface(0, kIntf), S_OK);
    ASSERT_EQ(this->Add(Id(2)).RegisterForClass(0, kClass), S_OK);
    ASSERT_EQ(this->Add(Id(3)).RegisterForPair(0, kClass, kIntf), S_OK);
    EXPECT_EQ(this->Enum(4).ids, (std::vector<TGUID>{Id(3), Id(2), Id(1)}));
    EXPECT_EQ(this->Enum(4, kOtherClass, kIntf).ids, std::vector<TGUID>{Id(1)});
    TGUID chosen;
    EXPECT_EQ(TypeParam::Select(*this->registry, kOtherClass, kIntf, std::vector<TGUID>{Id(1)}, chosen), S_OK);
  }
}

TYPED_TEST(FactoryRegistry, UnregisteringTheLastControlOfAKeyRemovesTheKey) {
  auto& only = this->Add(Id(1));
  ASSERT_EQ(only.RegisterForClass(-5, kClass), S_OK);
  ASSERT_EQ(only.RegisterForClass(5, kOtherClass), S_OK);
  ASSERT_EQ(only.RegisterGeneric(4), S_OK);
  EXPECT_EQ(only.Unregister(), S_OK);
  EXPECT_EQ(this->Enum(2).hr, E_NOINTERFACE);
  EXPECT_EQ(this->Enum(2, kOtherClass).hr, E_NOINTERFACE);
  TGUID chosen;
  EXPECT_EQ(this->Select({Id(1)}, chosen), S_FALSE);  // the ID stays while the control lives
  // Everything may be registered again, at other priorities.
  EXPECT_EQ(only.RegisterForClass(0, kClass), S_OK);
  EXPECT_EQ(only.RegisterGeneric(-5), S_OK);
  EXPECT_EQ(this->Enum(2).ids, std::vector<TGUID>{Id(1)});
}

TYPED_TEST(FactoryRegistry, KeyOrGenericTwiceIsRefused) {
  auto& c = this->Add(Id(1));
  ASSERT_EQ(c.RegisterForClass(1, kClass), S_OK);
  EXPECT_EQ(c.RegisterForClass(-1, kClass), CO_E_OBJISREG);
  ASSERT_EQ(c.RegisterGeneric(2), S_OK);
  EXPECT_EQ(c.RegisterGeneric(2), CO_E_OBJISREG);
  EXPECT_EQ(this->Enum(2).found, 1);
}

TYPED_TEST(FactoryRegistry, PrioritiesOutsideMinusFiveToFiveAreRefused) {
  auto& c = this->Add(Id(1));
  for (int8_t priority : {int8_t{-6}, int8_t{6}, int8_t{-128}, int8_t{127}}) {
    SCOPED_TRACE(priority);
    EXPECT_EQ(c.RegisterForClass(priority, kClass), E_INVALIDARG);
    EXPECT_EQ(c.RegisterGeneric(priority), E_INVALIDARG);
  }
  EXPECT_EQ(this->Enum(2).hr, E_NOINTERFACE);
  EXPECT_EQ(c.RegisterForClass(-5, kClass), S_OK);
  EXPECT_EQ(c.RegisterGeneric(5), S_OK);
}

TYPED_TEST(FactoryRegistry, ReleasingTheControlFreesTheID) {
  this->Add(Id(1)).RegisterGeneric(0);
  this->controls.clear();
  EXPECT_EQ(this->Enum(2).hr, E_NOINTERFACE);
  TGUID chosen;
  EXPECT_EQ(this->Select({Id(1)}, chosen), E_NOINTERFACE);
  this->Add(Id(1));
}

TYPED_TEST(FactoryRegistry, ControlKeepsItsRegistry) {
  auto& c = this->Add(Id(1));
  ASSERT_EQ(c.RegisterForClass(0, kClass), S_OK);
  this->registry.Reset();
  EXPECT_EQ(c.RegisterGeneric(1), S_OK);
  EXPECT_EQ(c.Unregister(), S_OK);
}

// --- the class factory registry ---------------------------------------------------

class ClassFactoryRegistry : public testing::RemotingStarted {};

// Counts its hook calls and answers `answer`; ordered with the others by ID.
class HookedFactory final : public TnxInterfacedObject, public InxClassFactory, public InxClassFactoryHook {
public:
  explicit HookedFactory(HRESULT aAnswer, std::vector<int>* aLog, int aName)
      : answer(aAnswer), log(aLog), name(aName) {}
  HRESULT CreateInstance(platform::IInterface*, const TGUID&, TInterfacePtr<platform::IInterface>&) override {
    return S_OK;
  }
  HRESULT FirstHook() override { return HRESULT(0x80004005u); }
  HRESULT SecondHook() override {
    log->push_back(name);
    return answer;
  }
  HRESULT answer;
  std::vector<int>* log;
  int name;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxClassFactory>(this, iid, obj) || nxOfferInterface<InxClassFactoryHook>(this, iid, obj) ||
           TnxInterfacedObject::GetInterface(iid, obj);
  }
};

TEST_F(ClassFactoryRegistry, CreateInstanceReachesTheRegisteredFactory) {
  auto registry = Make<TnxClassFactoryRegistry>();
  auto factory = Make<TestFactory>();
  factory->stub = Make<testing::TestClassStub>();
  TInterfacePtr<InxClassFactoryControl> control, refused, other;
  ASSERT_EQ(registry->RegisterClassFactory(kClass, factory.Get(), control), S_OK);
  EXPECT_EQ(registry->RegisterClassFactory(kClass, factory.Get(), refused), CO_E_OBJISREG);
  EXPECT_FALSE(refused);
  ASSERT_EQ(registry->RegisterClassFactory(kOtherClass, factory.Get(), other), S_OK);

  TInterfacePtr<platform::IInterface> made = factory->stub.Get();
  EXPECT_EQ(registry->CreateInstance(Id(5), nullptr, kIntf, made), CO_E_OBJNOTREG);
  EXPECT_FALSE(made);
  auto outer = Make<testing::TestClassStub>();
  EXPECT_EQ(registry->CreateInstance(kClass, outer.Get(), kIntf, made), S_OK);
  EXPECT_TRUE(made);
  EXPECT_EQ(factory->lastObject, static_cast<platform::IInterface*>(outer.Get()));
  EXPECT_EQ(factory->lastID, kIntf);
  // It is the process's class activator too.
  EXPECT_TRUE(platform::Supports<InxClassActivator>(registry));
}

TEST_F(ClassFactoryRegistry, UnregisterFreesTheIDOnce) {
  auto registry = Make<TnxClassFactoryRegistry>();
  auto factory = Make<TestFactory>();
  TInterfacePtr<InxClassFactoryControl> first, second;
  ASSERT_EQ(registry->RegisterClassFactory(kClass, factory.Get(), first), S_OK);
  EXPECT_EQ(first->Unregister(), S_OK);
  EXPECT_EQ(first->Unregister(), S_FALSE);
  TInterfacePtr<platform::IInterface> made;
  EXPECT_EQ(registry->CreateInstance(kClass, nullptr, kIntf, made), CO_E_OBJNOTREG);
  ASSERT_EQ(registry->RegisterClassFactory(kClass, factory.Get(), second), S_OK);
  first.Reset();  // the old control leaves the new registration alone
  EXPECT_EQ(registry->CreateInstance(kClass, nullptr, kIntf, made), S_OK);
  second.Reset();
  EXPECT_EQ(registry->CreateInstance(kClass, nullptr, kIntf, made), CO_E_OBJNOTREG);
}

// A control released after the shut-down dropped the process's registries
// still unregisters from a live one (the sanitizer build watches).
TEST_F(ClassFactoryRegistry, ControlOutlivesTheProcessRegistry) {
  auto factory = Make<TestFactory>();
  TInterfacePtr<InxClassFactoryControl> control;
  ASSERT_EQ(nxClassFactoryRegistry()->RegisterClassFactory(kClass, factory.Get(), control), S_OK);
  nxReleaseFactoryRegistries();
  TInterfacePtr<platform::IInterface> made;
  EXPECT_EQ(nxClassFactoryRegistry()->CreateInstance(kClass, nullptr, kIntf, made), CO_E_OBJNOTREG);
  EXPECT_EQ(control->Unregister(), S_OK);
  control.Reset();
}

TEST_F(ClassFactoryRegistry, FactoryHooksRunInIDOrderUntilOneFails) {
  struct Case {
    const char* what;
    std::vector<HRESULT> answers;  // of the factories under Id(1), Id(2), ...
    HRESULT result;
    std::vector<int> called;
  };
  const HRESULT kFail = HRESULT(0x80004005u);
  const Case cases[] = {
      {"none", {}, S_OK, {}},
      {"all succeed, the last answer counts", {S_OK, S_FALSE}, S_FALSE, {1, 2}},
      {"a failure ends the walk", {S_FALSE, kFail, S_OK}, kFail, {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto registry = Make<TnxClassFactoryRegistry>();
    std::vector<int> log;
    std::vector<TInterfacePtr<InxClassFactoryControl>> controls;
    // Registered backwards: the walk follows the IDs, not the registration.
    for (size_t i = c.answers.size(); i-- > 0;) {
      auto f = Make<HookedFactory>(c.answers[i], &log, static_cast<int>(i + 1));
      controls.emplace_back();
      ASSERT_EQ(registry->RegisterClassFactory(Id(static_cast<uint32_t>(i + 1)), f.Get(), controls.back()), S_OK);
    }
    auto plain = Make<TestFactory>();
    controls.emplace_back();
    ASSERT_EQ(registry->RegisterClassFactory(Id(0), plain.Get(), controls.back()), S_OK);
    EXPECT_EQ(registry->InvokeFactoryHooks(), c.result);
    EXPECT_EQ(log, c.called);
  }
}

TEST_F(ClassFactoryRegistry, ControlInvokesItsOwnFactorysHook) {
  auto registry = Make<TnxClassFactoryRegistry>();
  std::vector<int> log;
  auto hooked = Make<HookedFactory>(S_FALSE, &log, 7);
  auto plain = Make<TestFactory>();
  TInterfacePtr<InxClassFactoryControl> withHook, without;
  ASSERT_EQ(registry->RegisterClassFactory(Id(1), hooked.Get(), withHook), S_OK);
  ASSERT_EQ(registry->RegisterClassFactory(Id(2), plain.Get(), without), S_OK);
  EXPECT_EQ(withHook->InvokeFactoryHook(), S_FALSE);
  EXPECT_EQ(without->InvokeFactoryHook(), E_NOINTERFACE);
  EXPECT_EQ(log, std::vector<int>{7});
}

// --- create and find operations -------------------------------------------------------

class StubAndProxyCreation : public testing::RemotingStarted {};

TEST_F(StubAndProxyCreation, ClassStubOperationsReachTheFactoryOfTheID) {
  auto registry = Make<TnxClassStubFactoryRegistry>();
  auto factory = Make<TestFactory>();
  factory->stub = Make<testing::TestClassStub>();
  TInterfacePtr<InxClassStubFactoryControl> control;
  ASSERT_EQ(registry->RegisterClassStubFactory(Id(1), factory.Get(), control), S_OK);
  auto object = Make<testing::TestClassStub>();
  TInterfacePtr<InxClassStub> stub = factory->stub;

  EXPECT_EQ(registry->CreateClassStub(Id(2), kClass, object.Get(), stub), CO_E_OBJNOTREG);
  EXPECT_FALSE(stub);
  EXPECT_EQ(registry->CreateClassStub(Id(1), kClass, nullptr, stub), E_INVALIDARG);
  EXPECT_EQ(factory->calls, 0);
  EXPECT_EQ(registry->CreateClassStub(Id(1), kClass, object.Get(), stub), S_OK);
  EXPECT_EQ(stub.Get(), static_cast<InxClassStub*>(factory->stub.Get()));
  EXPECT_EQ(factory->lastID, kClass);

  EXPECT_EQ(registry->FindClassStub(Id(2), Id(9), stub), CO_E_OBJNOTREG);
  EXPECT_EQ(registry->FindClassStub(Id(1), Id(9), stub), S_OK);
  EXPECT_EQ(factory->lastID, Id(9));
  EXPECT_TRUE(stub);
}

TEST_F(StubAndProxyCreation, FindClassStubForObjectAsksFactoriesInIDOrder) {
  auto registry = Make<TnxClassStubFactoryRegistry>();
  const HRESULT kFail = HRESULT(0x80004005u);
  std::vector<TInterfacePtr<TestFactory>> factories;
  std::vector<TInterfacePtr<InxClassStubFactoryControl>> controls;
  // IDs 3, 1, 2 registered in that order; 1 fails, 2 and 3 find a stub.
  for (uint32_t id : {3u, 1u, 2u}) {
    factories.push_back(Make<TestFactory>());
    factories.back()->answer = id == 1 ? kFail : S_FALSE;
    factories.back()->stub = Make<testing::TestClassStub>();
    controls.emplace_back();
    ASSERT_EQ(registry->RegisterClassStubFactory(Id(id), factories.back().Get(), controls.back()), S_OK);
  }
  auto object = Make<testing::TestClassStub>();
  TInterfacePtr<InxClassStub> stub;
  EXPECT_EQ(registry->FindClassStubForObject(nullptr, stub), E_INVALIDARG);
  EXPECT_EQ(registry->FindClassStubForObject(object.Get(), stub), S_FALSE);
  EXPECT_EQ(stub.Get(), static_cast<InxClassStub*>(factories[2]->stub.Get()));
  EXPECT_EQ(factories[0]->calls, 0);
  EXPECT_EQ(factories[1]->calls, 1);
  for (auto& f : factories) f->answer = kFail;
  EXPECT_EQ(registry->FindClassStubForObject(object.Get(), stub), CO_E_OBJNOTREG);
  EXPECT_FALSE(stub);
}

TEST_F(StubAndProxyCreation, InterfaceStubAndProxiesPassTheirArguments) {
  auto stubs = Make<TnxInterfaceStubFactoryRegistry>();
  auto classProxies = Make<TnxClassProxyFactoryRegistry>();
  auto proxies = Make<TnxInterfaceProxyFactoryRegistry>();
  auto factory = Make<TestFactory>();
  factory->answer = S_FALSE;
  TInterfacePtr<InxInterfaceStubFactoryControl> c1;
  TInterfacePtr<InxClassProxyFactoryControl> c2;
  TInterfacePtr<InxInterfaceProxyFactoryControl> c3;
  ASSERT_EQ(stubs->RegisterInterfaceStubFactory(Id(1), factory.Get(), c1), S_OK);
  ASSERT_EQ(classProxies->RegisterClassProxyFactory(Id(1), factory.Get(), c2), S_OK);
  ASSERT_EQ(proxies->RegisterInterfaceProxyFactory(Id(1), factory.Get(), c3), S_OK);
  auto object = Make<testing::TestClassStub>();

  TInterfacePtr<InxInterfaceStub> stub;
  EXPECT_EQ(stubs->CreateInterfaceStub(Id(1), kClass, kIntf, nullptr, stub), E_INVALIDARG);
  EXPECT_EQ(stubs->CreateInterfaceStub(Id(2), kClass, kIntf, object.Get(), stub), CO_E_OBJNOTREG);
  EXPECT_EQ(stubs->CreateInterfaceStub(Id(1), kClass, kIntf, object.Get(), stub), S_FALSE);
  EXPECT_EQ(factory->lastObject, static_cast<platform::IInterface*>(object.Get()));

  TInterfacePtr<InxClassProxy> classProxy;
  EXPECT_EQ(classProxies->CreateClassProxy(nullptr, Id(2), nullptr, kClass, {}, nullptr, classProxy), CO_E_OBJNOTREG);
  EXPECT_EQ(classProxies->CreateClassProxy(object.Get(), Id(1), nullptr, kOtherClass, {}, nullptr, classProxy), S_FALSE);
  EXPECT_EQ(factory->lastID, kOtherClass);

  TInterfacePtr<InxInterfaceProxy> proxy;
  EXPECT_EQ(proxies->CreateInterfaceProxy(Id(2), kClass, kIntf, nullptr, nullptr, proxy), CO_E_OBJNOTREG);
  EXPECT_EQ(proxies->CreateInterfaceProxy(Id(1), kClass, kIntf, nullptr, nullptr, proxy), S_FALSE);
  EXPECT_EQ(factory->lastID, Id(1));  // the factory is told the proxy ID
}

// The registry's lock is released before the factory runs: another thread
// may register while a create operation is inside the factory.
TEST_F(StubAndProxyCreation, FactoryRunsOutsideTheRegistryLock) {
  auto registry = Make<TnxClassStubFactoryRegistry>();
  auto factory = Make<TestFactory>();
  auto other = Make<TestFactory>();
  TInterfacePtr<InxClassStubFactoryControl> control, otherControl;
  ASSERT_EQ(registry->RegisterClassStubFactory(Id(1), factory.Get(), control), S_OK);
  HRESULT registered = E_NOINTERFACE;
  factory->onCall = [&] {
    auto done = std::async(std::launch::async, [&] {
      registered = registry->RegisterClassStubFactory(Id(2), other.Get(), otherControl);
      otherControl.Reset();
    });
    // A guard against a hang, not a measure of speed.
    ASSERT_EQ(done.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  };
  auto object = Make<testing::TestClassStub>();
  TInterfacePtr<InxClassStub> stub;
  registry->CreateClassStub(Id(1), kClass, object.Get(), stub);
  EXPECT_EQ(registered, S_OK);
}

}  // namespace
}  // namespace revurov
