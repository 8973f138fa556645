#include "lowlevel/objects/registerable.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/streams/exception_data.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"

namespace revurov {

using platform::IInterface;
using platform::TInterfacePtr;
namespace {

// A family with a class-level factory of its own.
constinit TnxClassRegistry gTestEngines;  // ready before any start-up code

class TTestEngine;
struct TTestEngineClass : TnxRegisterableClass {
  TTestEngine* (*CreateInstance)() = nullptr;
};

class TTestEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_FAMILY(TTestEngine, TnxBaseRegisterableEngine, TTestEngineClass,
                              &gTestEngines, nullptr)
};

class TAlphaEngine : public TTestEngine {
  REVUROV_REGISTERABLE_RECORD(TAlphaEngine, TTestEngine, TTestEngineClass,
                              []() -> TTestEngine* { return new TAlphaEngine; })
};

class TBetaEngine : public TTestEngine {
  REVUROV_REGISTERABLE_RECORD(TBetaEngine, TTestEngine, TTestEngineClass,
                              []() -> TTestEngine* { return new TBetaEngine; })
};

// A second family with the plain record, to show that families are apart.
constinit TnxClassRegistry gTestDescriptors;

class TTestDescriptor : public TnxBaseRegisterableDescriptor {
  REVUROV_REGISTERABLE_CLASS_FAMILY(TTestDescriptor, TnxBaseRegisterableDescriptor,
                                    &gTestDescriptors)
};
class TAlphaDescriptor : public TTestDescriptor {
  REVUROV_REGISTERABLE_CLASS(TAlphaDescriptor, TTestDescriptor)
};

// A class outside every family.
class TLooseEngine : public TnxBaseRegisterableEngine {
  REVUROV_REGISTERABLE_CLASS(TLooseEngine, TnxBaseRegisterableEngine)
};

class RegistryTest : public ::testing::Test {
protected:
  void TearDown() override {
    TAlphaEngine::ClassInfo().Unregister();
    TBetaEngine::ClassInfo().Unregister();
    TTestEngine::ClassInfo().Unregister();
    TAlphaDescriptor::ClassInfo().Unregister();
    EXPECT_FALSE(gTestEngines.Assigned());
    EXPECT_FALSE(gTestDescriptors.Assigned());
  }
};

TEST_F(RegistryTest, EveryClassOfAFamilyAnswersTheRootsRegistry) {
  EXPECT_EQ(TTestEngine::ClassInfo().GetList(), &gTestEngines);
  EXPECT_EQ(TAlphaEngine::ClassInfo().GetList(), &gTestEngines);
  EXPECT_EQ(TAlphaDescriptor::ClassInfo().GetList(), &gTestDescriptors);
  EXPECT_EQ(TnxBaseRegisterableEngine::ClassInfo().GetList(), nullptr);
  EXPECT_EQ(TLooseEngine::ClassInfo().GetList(), nullptr);
  TAlphaEngine engine;
  const TnxBaseRegisterableEngine& base = engine;
  EXPECT_EQ(base.ClassName(), u"TAlphaEngine");
  EXPECT_TRUE(base.ClassType().InheritsFrom(TTestEngine::ClassInfo()));
  EXPECT_FALSE(base.ClassType().InheritsFrom(TTestDescriptor::ClassInfo()));
}

TEST_F(RegistryTest, FindsARegisteredClassUnderAnyCaseOfItsName) {
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"TAlphaEngine"), nullptr);  // no registry yet
  TAlphaEngine::ClassInfo().Register();
  TBetaEngine::ClassInfo().Register();
  for (std::u16string_view name : {u"TAlphaEngine", u"talphaengine", u"TALPHAENGINE", u"tAlPhAeNgInE"}) {
    SCOPED_TRACE(platform::Utf16ToUtf8(name));
    EXPECT_EQ(TTestEngine::ClassInfo().FindClass(name), &TAlphaEngine::ClassInfo());
    // Any class of the family looks in the same registry.
    EXPECT_EQ(TnxBaseRegisterableEngine::FindEngineClass(TBetaEngine::ClassInfo(), name),
              &TAlphaEngine::ClassInfo());
  }
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"TAlphaEngin"), nullptr);
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"TAlphaEngineX"), nullptr);
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u""), nullptr);
  // Another family does not see these.
  EXPECT_EQ(TTestDescriptor::ClassInfo().FindClass(u"TAlphaEngine"), nullptr);
  // A class outside every family finds nothing and cannot register.
  EXPECT_EQ(TLooseEngine::ClassInfo().FindClass(u"TAlphaEngine"), nullptr);
  EXPECT_THROW(TLooseEngine::ClassInfo().Register(), EnxBaseRegisterableEngineException);
}

TEST_F(RegistryTest, TheFamilysRecordCarriesItsClassLevelOperations) {
  TBetaEngine::ClassInfo().Register();
  const TTestEngineClass* found = nxFindClassAs<TTestEngineClass>(TTestEngine::ClassInfo(), u"tbetaengine");
  ASSERT_NE(found, nullptr);
  ASSERT_NE(found->CreateInstance, nullptr);
  TTestEngine* engine = found->CreateInstance();
  EXPECT_EQ(engine->ClassName(), u"TBetaEngine");
  EXPECT_EQ(&engine->ClassType(), found);
  delete engine;
}

TEST_F(RegistryTest, RefusesANameTakenInAnyCase) {
  TAlphaEngine::ClassInfo().Register();
  EXPECT_THROW(TBetaEngine::ClassInfo().Register(u"TALPHAENGINE"), platform::EStringListError);
  EXPECT_THROW(TAlphaEngine::ClassInfo().Register(), platform::EStringListError);
  try {
    TBetaEngine::ClassInfo().Register(u"talphaengine");
    FAIL();
  } catch (const platform::EStringListError& e) {
    EXPECT_EQ(e.Message(), platform::SDuplicateString);
  }
  EXPECT_EQ(gTestEngines.Count(), 1);
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"TAlphaEngine"), &TAlphaEngine::ClassInfo());
}

TEST_F(RegistryTest, AliasesAreListedOnlyOnRequestAndLeaveWithTheirClass) {
  TAlphaEngine::ClassInfo().Register();
  TAlphaEngine::ClassInfo().Register(u"Alpha");
  TAlphaEngine::ClassInfo().Register(u"ZAlpha");
  TBetaEngine::ClassInfo().Register(u"talphaENGINEtwo");  // alias only
  TBetaEngine::ClassInfo().Register(u"TBETAENGINE");       // main entry in another case

  std::vector<TnxRegisteredClassEntry> list{{u"stale", nullptr}};
  TnxBaseRegisterableEngine::GetRegisteredEngines(TTestEngine::ClassInfo(), list, true);
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[0].Name, u"Alpha");  // name order without case
  EXPECT_EQ(list[1].Name, u"TAlphaEngine");
  EXPECT_EQ(list[2].Name, u"talphaENGINEtwo");
  EXPECT_EQ(list[3].Name, u"TBETAENGINE");
  EXPECT_EQ(list[4].Name, u"ZAlpha");
  EXPECT_EQ(list[2].Class, &TBetaEngine::ClassInfo());

  TnxBaseRegisterableEngine::GetRegisteredEngines(TTestEngine::ClassInfo(), list, false);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Name, u"TAlphaEngine");
  EXPECT_EQ(list[0].Class, &TAlphaEngine::ClassInfo());
  EXPECT_EQ(list[1].Name, u"TBETAENGINE");
  EXPECT_EQ(list[1].Class, &TBetaEngine::ClassInfo());

  TAlphaEngine::ClassInfo().Unregister();
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"Alpha"), nullptr);
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"ZAlpha"), nullptr);
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"TAlphaEngineTwo"), &TBetaEngine::ClassInfo());
  EXPECT_EQ(gTestEngines.Count(), 2);
}

// Lookups are remembered per thread: every change of a registry must show
// in the next lookup of a name found (or missed) before, on this thread and
// on others.
TEST_F(RegistryTest, ALookupRepeatedAfterAChangeSeesTheChange) {
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"Shared"), nullptr);
  TAlphaEngine::ClassInfo().Register(u"Shared");
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"Shared"), &TAlphaEngine::ClassInfo());
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"Shared"), &TAlphaEngine::ClassInfo());

  TAlphaEngine::ClassInfo().Unregister();
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"Shared"), nullptr);
  TBetaEngine::ClassInfo().Register(u"Shared");
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"Shared"), &TBetaEngine::ClassInfo());

  // A change made on another thread.
  std::thread([] { TBetaEngine::ClassInfo().Unregister(); }).join();
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"Shared"), nullptr);

  // The same name in another family's registry is another lookup.
  TAlphaDescriptor::ClassInfo().Register(u"Shared");
  TAlphaEngine::ClassInfo().Register(u"Shared");
  EXPECT_EQ(TTestDescriptor::ClassInfo().FindClass(u"Shared"), &TAlphaDescriptor::ClassInfo());
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"Shared"), &TAlphaEngine::ClassInfo());

  // Names too long to remember are still found.
  const std::u16string longName(200, u'L');
  TBetaEngine::ClassInfo().Register(longName);
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(longName), &TBetaEngine::ClassInfo());
  TBetaEngine::ClassInfo().Unregister();
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(longName), nullptr);
}

TEST_F(RegistryTest, TheLastUnregisterFreesTheRegistryAndANewRegisterStartsAFreshOne) {
  TAlphaEngine::ClassInfo().Register();
  TBetaEngine::ClassInfo().Register();
  TAlphaEngine::ClassInfo().Unregister();
  EXPECT_TRUE(gTestEngines.Assigned());
  TBetaEngine::ClassInfo().Unregister();
  EXPECT_FALSE(gTestEngines.Assigned());
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"TBetaEngine"), nullptr);
  std::vector<TnxRegisteredClassEntry> list{{u"stale", nullptr}};
  TnxBaseRegisterableEngine::GetRegisteredEngines(TTestEngine::ClassInfo(), list, true);
  EXPECT_TRUE(list.empty());
  TBetaEngine::ClassInfo().Unregister();  // nothing left: no effect

  TBetaEngine::ClassInfo().Register();
  EXPECT_EQ(gTestEngines.Count(), 1);
  EXPECT_EQ(TTestEngine::ClassInfo().FindClass(u"tbetaengine"), &TBetaEngine::ClassInfo());
}

// Engines and descriptors are persistent objects named by their class record.
TEST(RegisterableBases, EnginesArePersistentObjectsNamedByTheirRecord) {
  TAlphaEngine alpha;
  TBetaEngine beta;
  IInterface* unknown = static_cast<IInterface*>(&alpha);
  EXPECT_EQ(unknown->AddRef(), -1);
  EXPECT_EQ(unknown->Release(), -1);
  EXPECT_EQ(TnxPersistent::FromInterface(unknown), static_cast<TnxPersistent*>(&alpha));
  void* out = &alpha;
  EXPECT_EQ(unknown->QueryInterface(InxLifetimeMonitorRef::IID, &out), platform::E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  // Through the base, the class is the registered name.
  const TnxPersistent& asPersistent = alpha;
  EXPECT_EQ(asPersistent.ClassName(), u"TAlphaEngine");
  TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"ExceptionData");
  alpha.GetExceptionData(*data, false);
  ASSERT_EQ(data->Count(), 2);
  EXPECT_EQ(data->Values(1)->AsString(), u"TAlphaEngine");
  EXPECT_EQ(alpha.NotSupported(u"Compress"), nxeCapabilityNotSupported);
  EnxBaseException e(static_cast<int64_t>(nxeCapabilityNotSupported));
  EXPECT_EQ(e.Message(), u"RevurOV: Compress not supported by TAlphaEngine [$3001/12289]");

  // An engine copies nothing unless a class says how.
  try {
    alpha.Assign(&beta);
    FAIL();
  } catch (const platform::EConvertError& error) {
    EXPECT_EQ(error.Message(), u"TBetaEngine kann nicht zu TAlphaEngine zugewiesen werden");
  }
}

TEST(RegisterableBases, DescriptorsAreLifetimeTracked) {
  auto* descriptor = new TAlphaDescriptor;
  EXPECT_EQ(static_cast<const TnxPersistent*>(descriptor)->ClassName(), u"TAlphaDescriptor");
  TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"ExceptionData");
  descriptor->GetExceptionData(*data, false);
  ASSERT_EQ(data->Count(), 2);
  EXPECT_EQ(data->Values(1)->AsString(), u"TAlphaDescriptor");
  EXPECT_EQ(TnxPersistent::FromInterface(static_cast<IInterface*>(descriptor)),
            static_cast<TnxPersistent*>(descriptor));

  TInterfacePtr<InxLifetimeMonitorRef> watch = descriptor->GetLifetimeMonitor();
  ASSERT_TRUE(watch);
  EXPECT_EQ(descriptor->GetLifetimeMonitor().Get(), watch.Get());
  EXPECT_TRUE(watch->IsAlive());
  TnxBaseRegisterableDescriptor* asBase = descriptor;
  delete asBase;  // through the family base: the monitor is told
  EXPECT_FALSE(watch->IsAlive());
}

TEST(RegistryErrors, UnknownNamesRaiseTheConventionsCodesAndTexts) {
  try {
    nxRaiseUnknownEngine(u"Filter", u"TnxNoSuchEngine");
    FAIL();
  } catch (const EnxBaseRegisterableEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), 15503u);
    EXPECT_NE(e.Message().find(u"Unknown Filter engine: \"TnxNoSuchEngine\""), std::u16string::npos);
  }
  try {
    nxRaiseClassNotSupported(u"FieldDescriptor", u"TnxNoSuchDescriptor");
    FAIL();
  } catch (const EnxBaseRegisterableDescriptorException& e) {
    EXPECT_EQ(e.ErrorCode(), 15499u);
    EXPECT_NE(e.Message().find(u"FieldDescriptor class is not supported: TnxNoSuchDescriptor"),
              std::u16string::npos);
  }
}

TEST(RegistryErrors, DescriptorNamesMapToEngineNamesIgnoringCase) {
  struct Case {
    std::u16string_view in, out;
  } cases[] = {
      {u"TnxMinMaxValidationDescriptor", u"TnxMinMaxValidationEngine"},
      {u"TnxFieldValidationsDescriptor", u"TnxFieldValidationsEngine"},
      {u"TnxDESCRIPTORxdescriptor", u"TnxEnginexEngine"},
      {u"TnxDescripto", u"TnxDescripto"},
      {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(nxEngineNameForDescriptor(c.in), c.out);
}

TEST(RegistryThreads, LookupsRunBesideRegistration) {
  TAlphaEngine::ClassInfo().Register();
  std::atomic<bool> stop{false};
  std::atomic<int> misses{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t)
    readers.emplace_back([&] {
      while (!stop.load()) {
        if (TTestEngine::ClassInfo().FindClass(u"talphaengine") != &TAlphaEngine::ClassInfo()) ++misses;
        TTestEngine::ClassInfo().FindClass(u"TBetaEngine");
      }
    });
  for (int i = 0; i < 500; ++i) {
    TBetaEngine::ClassInfo().Register();
    TBetaEngine::ClassInfo().Unregister();
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(misses.load(), 0);
  TAlphaEngine::ClassInfo().Unregister();
  EXPECT_FALSE(gTestEngines.Assigned());
}

}  // namespace
}  // namespace revurov
