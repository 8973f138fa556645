#include "platform/rtl_component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace revurov::platform {
namespace {

std::vector<std::string> gEvents;

std::string Utf8(std::u16string_view s) { return std::string(s.begin(), s.end()); }

class TTestComponent : public TComponent {
  REVUROV_COMPONENT_CLASS(TTestComponent, TComponent)
  explicit TTestComponent(TComponent* aOwner) : TComponent(aOwner) {}
  ~TTestComponent() override { gEvents.push_back("destroy " + Utf8(Name())); }

  TComponent* watched = nullptr;
  bool failLoaded = false;

protected:
  void Notification(TComponent* aComponent, TOperation aOperation) override {
    if (aOperation == opRemove && aComponent == watched) watched = nullptr;
    gEvents.push_back(Utf8(Name()) + (aOperation == opInsert ? " insert " : " remove ") +
                      Utf8(aComponent->Name()));
    TComponent::Notification(aComponent, aOperation);
  }
  void Loaded() override {
    TComponent::Loaded();
    gEvents.push_back("loaded " + Utf8(Name()));
    if (failLoaded) throw std::runtime_error("loaded failed");
  }
};

class TAbstractComponent : public TComponent {
  REVUROV_COMPONENT_CLASS(TAbstractComponent, TComponent)
  using TComponent::TComponent;
  virtual void Pure() = 0;
};

TTestComponent* Make(TComponent* aOwner, std::u16string aName) {
  auto* c = new TTestComponent(aOwner);
  c->SetName(std::move(aName));
  return c;
}

class ComponentTest : public ::testing::Test {
protected:
  void SetUp() override { gEvents.clear(); }
};

TEST_F(ComponentTest, OwnerFreesOwnedComponentsAndChildLeavesOwnerWhenFreedFirst) {
  auto* owner = Make(nullptr, u"owner");
  auto* a = Make(owner, u"a");
  auto* b = Make(owner, u"b");
  ASSERT_EQ(owner->ComponentCount(), 2);
  EXPECT_EQ(a->Owner(), owner);
  gEvents.clear();
  TComponent::Free(a);
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(owner->Components(0), b);
  // The owner and every component it owns, the leaving one too, hear of it.
  EXPECT_EQ(gEvents, (std::vector<std::string>{"owner remove a", "b remove a", "a remove a", "destroy a"}));
  gEvents.clear();
  TComponent::Free(owner);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"destroy b", "destroy owner"}));
}

TEST_F(ComponentTest, FreeNotificationTellsEitherSideAndPlainDeleteStillUnlinks) {
  auto* a = Make(nullptr, u"a");
  auto* b = Make(nullptr, u"b");
  a->watched = b;
  a->FreeNotification(b);
  delete b;  // without BeforeDestruction: the link must still go
  EXPECT_EQ(a->watched, nullptr);
  auto* c = Make(nullptr, u"c");
  c->watched = a;
  a->FreeNotification(c);
  a->RemoveFreeNotification(c);
  TComponent::Free(a);
  EXPECT_EQ(c->watched, a);  // unlinked before, so not told
  TComponent::Free(c);
}

TEST_F(ComponentTest, DestroyingFlagReachesOwnedComponentsBeforeTheyGo) {
  struct TProbe : TComponent {
    using TComponent::TComponent;
    bool* seen = nullptr;
    ~TProbe() override { *seen = Owner() == nullptr && IsDestroying(); }
  };
  bool seen = false;
  auto* owner = Make(nullptr, u"owner");
  auto* probe = new TProbe(owner);
  probe->seen = &seen;
  TComponent::Free(owner);
  EXPECT_TRUE(seen);
}

TEST_F(ComponentTest, LoadingBracketRunsLoadedOnceForEveryLoadingComponent) {
  auto* owner = Make(nullptr, u"owner");
  auto* a = Make(owner, u"a");
  Make(a, u"a1");
  owner->BeginLoading();
  EXPECT_TRUE(a->IsLoading());
  gEvents.clear();
  owner->EndLoading();
  EXPECT_EQ(gEvents, (std::vector<std::string>{"loaded owner", "loaded a", "loaded a1"}));
  EXPECT_FALSE(owner->IsLoading());
  EXPECT_FALSE(a->IsLoading());
  // A failing Loaded stops the rest, yet no flag stays behind.
  a->BeginLoading();
  a->failLoaded = true;
  gEvents.clear();
  EXPECT_THROW(a->EndLoading(), std::runtime_error);
  EXPECT_EQ(gEvents, (std::vector<std::string>{"loaded a"}));
  EXPECT_FALSE(a->Components(0)->IsLoading());
  TComponent::Free(owner);
}

TEST_F(ComponentTest, DesigningFlagFollowsOwnership) {
  auto* owner = Make(nullptr, u"owner");
  owner->SetDesigning(true);
  auto* a = Make(owner, u"a");
  EXPECT_TRUE(a->IsDesigning());
  owner->SetDesigning(false);
  EXPECT_FALSE(a->IsDesigning());
  TComponent::Free(owner);
}

TEST_F(ComponentTest, ClassRecordsKnowNameParentAndFactory) {
  EXPECT_EQ(TTestComponent::ClassInfo().Name, u"TTestComponent");
  EXPECT_TRUE(TTestComponent::ClassInfo().InheritsFrom(TComponent::ClassInfo()));
  EXPECT_FALSE(TComponent::ClassInfo().InheritsFrom(TTestComponent::ClassInfo()));
  EXPECT_EQ(TAbstractComponent::ClassInfo().Create, nullptr);
  ASSERT_NE(TTestComponent::ClassInfo().Create, nullptr);

  ASSERT_TRUE(RegisterClass(TTestComponent::ClassInfo()));
  EXPECT_TRUE(RegisterClass(TTestComponent::ClassInfo()));
  EXPECT_FALSE(RegisterClass(TComponentClass{u"ttestcomponent", nullptr, nullptr}));
  const TComponentClass* found = GetClass(u"TTESTCOMPONENT");
  ASSERT_EQ(found, &TTestComponent::ClassInfo());
  TComponent* made = found->Create(nullptr);
  EXPECT_EQ(made->ClassName(), u"TTestComponent");
  TComponent::Free(made);
  UnRegisterClass(TTestComponent::ClassInfo());
  EXPECT_EQ(GetClass(u"TTestComponent"), nullptr);
}

}  // namespace
}  // namespace revurov::platform
