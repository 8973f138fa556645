// The remoting types' start-up and shut-down: the process identity and the
// two hooks the library calls into the registries through.
#include <gtest/gtest.h>

#include "lowlevel/objects/utils_system.h"
#include "remoting_test_support.h"
#include "transport/remoting/class_stubs.h"
#include "transport/remoting/factory_registry.h"
#include "transport/remoting/remoting_types.h"
#include "transport/remoting/startup.h"

namespace revurov {
namespace {

using platform::HRESULT;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using testing::Id;
using testing::Make;
using testing::TestFactory;

TEST(RemotingStartup, ProcessIdentityIsMadeOnceAndKept) {
  TGUID first;
  {
    TnxRemotingStartupGuard remoting;
    first = nxProcessID();
    EXPECT_FALSE(first == platform::GUID_NULL);
  }
  TnxRemotingStartupGuard again;
  EXPECT_EQ(nxProcessID(), first);
}

TEST(RemotingStartup, ShutdownClearsTheHooksAndReleasesTheRegistries) {
  TInterfacePtr<InxClassFactoryRegistry> before;
  auto factory = Make<TestFactory>();
  TInterfacePtr<InxClassStubFactoryControl> control;
  {
    TnxRemotingStartupGuard remoting;
    ASSERT_TRUE(nxClassActivatorHook);
    ASSERT_TRUE(nxObjectDisconnectHook);
    before = nxClassFactoryRegistry();
    EXPECT_EQ(nxClassActivatorHook().Get(), static_cast<InxClassActivator*>(before.Get()));
    ASSERT_EQ(nxClassStubFactoryRegistry()->RegisterClassStubFactory(Id(1), factory.Get(), control), S_OK);
    ASSERT_EQ(control->RegisterGeneric(0), S_OK);
  }
  EXPECT_FALSE(nxClassActivatorHook);
  EXPECT_FALSE(nxObjectDisconnectHook);
  EXPECT_EQ(nxDisconnectObject(nullptr), platform::E_NOTIMPL);
  TnxRemotingStartupGuard again;
  EXPECT_NE(nxClassFactoryRegistry().Get(), before.Get());
  int32_t found = -1;
  // The control keeps the old registry; the process has a new one with
  // only the default factory of the start-up.
  TGUID ids[2] = {};
  EXPECT_EQ(nxClassStubFactoryRegistry()->EnumClassStubFactories(Id(5), ids, found), S_OK);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(ids[0], nxDefaultClassStubID);
  EXPECT_EQ(control->Unregister(), S_OK);
}

class RemotingHooks : public testing::RemotingStarted {};

TEST_F(RemotingHooks, ClassActivatorReachesTheClassFactoryRegistry) {
  auto factory = Make<TestFactory>();
  factory->stub = Make<testing::TestClassStub>();
  TInterfacePtr<InxClassFactoryControl> control;
  ASSERT_EQ(nxClassFactoryRegistry()->RegisterClassFactory(Id(7), factory.Get(), control), S_OK);
  TInterfacePtr<platform::IInterface> made;
  EXPECT_EQ(nxClassActivatorHook()->CreateInstance(Id(7), nullptr, InxClassStub::IID, made), S_OK);
  EXPECT_TRUE(made);
  EXPECT_EQ(nxClassActivatorHook()->CreateInstance(Id(8), nullptr, InxClassStub::IID, made), platform::CO_E_OBJNOTREG);
}

TEST_F(RemotingHooks, DisconnectingAnObjectDisconnectsItsClassStub) {
  auto factory = Make<TestFactory>();
  auto stub = Make<testing::TestClassStub>();
  factory->stub = stub;
  TInterfacePtr<InxClassStubFactoryControl> control;
  ASSERT_EQ(nxClassStubFactoryRegistry()->RegisterClassStubFactory(Id(1), factory.Get(), control), S_OK);
  auto object = Make<testing::TestClassStub>();

  EXPECT_EQ(nxDisconnectObject(object.Get()), S_OK);
  EXPECT_EQ(stub->disconnects, 1);
  EXPECT_EQ(factory->lastObject, static_cast<platform::IInterface*>(object.Get()));

  factory->answer = platform::CO_E_OBJNOTREG;  // an object without stub
  EXPECT_EQ(nxDisconnectObject(object.Get()), platform::CO_E_OBJNOTREG);
  EXPECT_EQ(stub->disconnects, 1);

  TnxObject plain;  // no interface at all
  EXPECT_EQ(nxDisconnectObject(&plain), platform::E_INVALIDARG);
}

}  // namespace
}  // namespace revurov
