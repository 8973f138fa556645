#include "lowlevel/components/plugin_base.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "support/named_component.h"

namespace revurov {

using platform::IInterface;
using platform::TGUID;
namespace {

std::vector<std::string> gSteps;

// Offers the request interface; owned as a component, so counting is moot.
class TTestSession : public TnxStateComponent, public virtual IInterface {
  REVUROV_COMPONENT_CLASS(TTestSession, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;
  platform::HRESULT QueryInterface(const TGUID& iid, void** obj) noexcept override {
    if (iid == nxSessionRequestsIID || iid == IInterface::IID) {
      *obj = static_cast<IInterface*>(this);
      return platform::S_OK;
    }
    *obj = nullptr;
    return platform::E_NOINTERFACE;
  }
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }

protected:
  void DoStart() override { gSteps.push_back("session start"); }
  void DoStop() override { gSteps.push_back("session stop"); }
};

// A session that offers interfaces, but not the request interface.
class TPlainSession : public TnxStateComponent, public virtual IInterface {
  REVUROV_COMPONENT_CLASS(TPlainSession, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;
  platform::HRESULT QueryInterface(const TGUID&, void** obj) noexcept override {
    *obj = nullptr;
    return platform::E_NOINTERFACE;
  }
  int32_t AddRef() noexcept override { return -1; }
  int32_t Release() noexcept override { return -1; }
};

// A session that is no interface object at all.
class TBareSession : public TnxStateComponent {
  REVUROV_COMPONENT_CLASS(TBareSession, TnxStateComponent)
  using TnxStateComponent::TnxStateComponent;
};

class TTestPlugin : public TnxBasePluginEngine {
  REVUROV_COMPONENT_CLASS(TTestPlugin, TnxBasePluginEngine)
  using TnxBasePluginEngine::TnxBasePluginEngine;
  bool NeedsSession = true;
  bool RequiresSession() const override { return NeedsSession; }

protected:
  void DoStart() override { gSteps.push_back("plugin start"); }
  void DoStop() override { gSteps.push_back("plugin stop"); }
};

using testing::Make;

class PluginTest : public ::testing::Test {
protected:
  void SetUp() override { gSteps.clear(); }
  void TearDown() override {
    nxFreeAndNil(plugin);
    nxFreeAndNil(session);
    nxFreeAndNil(plain);
    nxFreeAndNil(bare);
  }
  TTestPlugin* plugin = Make<TTestPlugin>(u"Plugin");
  TTestSession* session = Make<TTestSession>(u"Session");
  TPlainSession* plain = Make<TPlainSession>(u"Plain");
  TBareSession* bare = Make<TBareSession>(u"Bare");
};

TEST_F(PluginTest, StartsWithDefaults) {
  EXPECT_EQ(plugin->Timeout(), 0u);
  EXPECT_EQ(plugin->DisplayCategory(), u"Plugins");
  EXPECT_EQ(plugin->Session(), nullptr);
  plugin->NeedsSession = false;
  plugin->SetActive(true);  // needs nothing
  EXPECT_TRUE(plugin->Active());
}

TEST_F(PluginTest, ANeededSessionMustBeThereAndOfferRequests) {
  struct Case {
    TnxStateComponent* session;
    std::u16string_view text;
  } cases[] = {
      {nullptr, u"No Session assigend"},
      {plain, u"The Session must support InxSessionRequests"},
      {bare, u"The Session must support InxSessionRequests"},
  };
  for (const Case& c : cases) {
    plugin->SetSession(c.session);
    try {
      plugin->SetActive(true);
      ADD_FAILURE() << "no exception";
    } catch (const EnxPluginEngineException& e) {
      EXPECT_NE(e.Message().find(c.text), std::u16string::npos) << platform::Utf16ToUtf8(e.Message());
      EXPECT_NE(e.Message().find(u"Plugin"), std::u16string::npos);
    }
    EXPECT_FALSE(plugin->Active());
  }
}

TEST_F(PluginTest, StartsAfterItsSessionAndStopsBeforeIt) {
  plugin->SetSession(session);
  EXPECT_TRUE(session->HasDependent(plugin));
  EXPECT_TRUE(plugin->IsDependentOn(session));
  plugin->SetActive(true);
  EXPECT_TRUE(session->Active());
  session->SetActive(false);
  EXPECT_FALSE(plugin->Active());
  EXPECT_EQ(gSteps, (std::vector<std::string>{"session start", "plugin start", "plugin stop", "session stop"}));

  plugin->NeedsSession = false;
  EXPECT_FALSE(plugin->IsDependentOn(session));
}

TEST_F(PluginTest, TheSessionCanOnlyChangeWhileInactive) {
  plugin->SetSession(session);
  plugin->SetActive(true);
  EXPECT_THROW(plugin->SetSession(nullptr), EnxPluginEngineException);
  EXPECT_EQ(plugin->Session(), session);
  plugin->SetActive(false);
  plugin->SetSession(nullptr);
  EXPECT_FALSE(session->HasDependent(plugin));
}

TEST_F(PluginTest, DestroyingTheSessionDeactivatesThePlugin) {
  plugin->SetSession(session);
  plugin->SetActive(true);
  nxFreeAndNil(session);
  EXPECT_FALSE(plugin->Active());
  EXPECT_EQ(plugin->Session(), nullptr);
  EXPECT_EQ(plugin->DependentCount(), 0);
}

}  // namespace
}  // namespace revurov
