#include "lowlevel/components/component.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "support/named_component.h"

namespace revurov {
namespace {

using platform::Utf16ToUtf8;

std::vector<std::string> gHeard;

class TNode : public TnxComponent {
  REVUROV_COMPONENT_CLASS(TNode, TnxComponent)
  using TnxComponent::TnxComponent;

  // On hearing op 7, links the sender with another node or unlinks them.
  TnxComponent* linkOnNotify = nullptr;
  TnxComponent* unlinkOnNotify = nullptr;

  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override {
    if (aOp == 7 || aOp == 8)
      gHeard.push_back(Utf16ToUtf8(Name()) + " " + std::to_string(aOp) + " from " +
                       (aSender ? Utf16ToUtf8(aSender->Name()) : "-"));
    if (aOp == 7 && linkOnNotify) LinkDependent(aSender, std::exchange(linkOnNotify, nullptr));
    if (aOp == 7 && unlinkOnNotify)
      UnlinkDependent(aSender, std::exchange(unlinkOnNotify, nullptr));
    TnxComponent::DependentNotify(aSender, aOp, aData);
  }
};

class TOtherNode : public TNode {
  REVUROV_COMPONENT_CLASS(TOtherNode, TNode)
  using TNode::TNode;
};

class TRegNode : public TnxRegisterableComponent {
  REVUROV_COMPONENT_CLASS(TRegNode, TnxRegisterableComponent)
  using TnxRegisterableComponent::TnxRegisterableComponent;
};

class TRegNodeSub : public TRegNode {
  REVUROV_COMPONENT_CLASS(TRegNodeSub, TRegNode)
  using TRegNode::TRegNode;
};

template <class T = TNode>
T* Node(std::u16string aName) {
  return testing::Make<T>(std::move(aName));
}

std::vector<std::string> Names(TnxIterationList* aList) {
  std::vector<std::string> r;
  for (int i = 0; i < aList->Count(); ++i) r.push_back(Utf16ToUtf8(aList->Items(i)->DisplayName()));
  return r;
}

class ComponentBaseTest : public ::testing::Test {
protected:
  void SetUp() override { gHeard.clear(); }
};

TEST_F(ComponentBaseTest, LinkingIgnoresSelfNullAndRepeats) {
  TNode* a = Node(u"a");
  TNode* b = Node(u"b");
  TnxComponent::LinkDependent(a, a);
  TnxComponent::LinkDependent(a, nullptr);
  EXPECT_EQ(a->DependentCount(), 0);
  TnxComponent::LinkDependent(a, b);
  TnxComponent::LinkDependent(b, a);
  EXPECT_EQ(a->DependentCount(), 1);
  EXPECT_EQ(b->DependentCount(), 1);
  TnxComponent::UnlinkDependent(a, b);
  EXPECT_EQ(a->DependentCount(), 0);
  EXPECT_EQ(b->DependentCount(), 0);
  TnxComponent::UnlinkDependent(a, nullptr);
  nxFreeAndNil(a);
  nxFreeAndNil(b);
  EXPECT_EQ(a, nullptr);
}

TEST_F(ComponentBaseTest, DestroyingUnlinksFromEveryLinkedComponent) {
  TNode* hub = Node(u"hub");
  TNode* x = Node(u"x");
  TNode* y = Node(u"y");
  TnxComponent::LinkDependent(hub, x);
  TnxComponent::LinkDependent(hub, y);
  TnxComponent::LinkDependent(x, y);
  TnxComponent::Free(hub);
  EXPECT_EQ(x->DependentCount(), 1);
  EXPECT_EQ(y->DependentCount(), 1);
  // A plain delete still unlinks.
  delete x;
  EXPECT_EQ(y->DependentCount(), 0);
  TnxComponent::Free(y);
}

bool NoneTwice(std::vector<std::string> aHeard) {
  std::sort(aHeard.begin(), aHeard.end());
  return std::adjacent_find(aHeard.begin(), aHeard.end()) == aHeard.end();
}

TEST_F(ComponentBaseTest, WalkRestartsWhenACalleeLinksAndReachesTheNewcomerOnce) {
  TNode* s = Node(u"s");
  std::vector<TNode*> nodes = {Node(u"a"), Node(u"b"), Node(u"c")};
  TNode* late = Node(u"late");
  for (TNode* n : nodes) {
    TnxComponent::LinkDependent(s, n);
    n->linkOnNotify = late;  // the first to hear links late to s
  }
  s->NotifyDependents(7, nullptr);
  EXPECT_EQ(gHeard.size(), 4u);
  EXPECT_TRUE(NoneTwice(gHeard));
  EXPECT_NE(std::find(gHeard.begin(), gHeard.end(), "late 7 from s"), gHeard.end());
  // An excluded component hears nothing.
  gHeard.clear();
  s->NotifyDependents(8, nullptr, late);
  EXPECT_EQ(gHeard.size(), 3u);
  for (TNode* n : nodes) TnxComponent::Free(n);
  TnxComponent::Free(late);
  TnxComponent::Free(s);
}

TEST_F(ComponentBaseTest, WalkRestartsWhenACalleeUnlinksAnother) {
  TNode* s = Node(u"s");
  std::vector<TNode*> nodes = {Node(u"a"), Node(u"b"), Node(u"c")};
  for (size_t i = 0; i < nodes.size(); ++i) {
    TnxComponent::LinkDependent(s, nodes[i]);
    nodes[i]->unlinkOnNotify = nodes[(i + 1) % nodes.size()];
  }
  s->NotifyDependents(7, nullptr);
  // Whoever hears first unlinks its successor; the rest of the walk goes on
  // over the changed list and never delivers twice.
  EXPECT_TRUE(NoneTwice(gHeard));
  EXPECT_GE(gHeard.size(), 2u);
  EXPECT_LE(gHeard.size(), 3u);
  EXPECT_LE(s->DependentCount(), 2);
  for (TNode* n : nodes) TnxComponent::Free(n);
  TnxComponent::Free(s);
}

TEST_F(ComponentBaseTest, IterationListsEveryReachableComponentOnceSortedByDisplayName) {
  // A diamond: root - left - bottom, root - right - bottom.
  TNode* root = Node(u"root");
  TNode* left = Node(u"Left");
  TNode* right = Node(u"right");
  TNode* bottom = Node(u"bottom");
  TOtherNode* other = Node<TOtherNode>(u"other");
  TNode* behindOther = Node(u"behind");
  TnxComponent::LinkDependent(root, left);
  TnxComponent::LinkDependent(root, right);
  TnxComponent::LinkDependent(left, bottom);
  TnxComponent::LinkDependent(right, bottom);
  TnxComponent::LinkDependent(bottom, other);
  TnxComponent::LinkDependent(other, behindOther);

  std::unique_ptr<TnxIterationList> all(root->IterateDependents());
  EXPECT_EQ(Names(all.get()),
            (std::vector<std::string>{"behind", "bottom", "Left", "other", "right", "root"}));
  // Ignored classes are neither listed nor passed through.
  std::unique_ptr<TnxIterationList> some(root->IterateDependentsEx({u"TOTHERNODE"}));
  EXPECT_EQ(Names(some.get()), (std::vector<std::string>{"bottom", "Left", "right", "root"}));

  // A list class that refuses some items stops the walk at them.
  struct TNoBottom : TnxIterationList {
    bool Accept(TnxComponent* c) override { return c->Name() != u"bottom"; }
  };
  std::unique_ptr<TnxIterationList> refusing(
      root->IterateDependents([]() -> std::unique_ptr<TnxIterationList> { return std::make_unique<TNoBottom>(); }));
  EXPECT_EQ(Names(refusing.get()), (std::vector<std::string>{"Left", "right", "root"}));

  // A broadcast reaches each reachable component once, this one included.
  root->BroadcastToDependents(7, nullptr);
  std::sort(gHeard.begin(), gHeard.end());
  EXPECT_EQ(gHeard, (std::vector<std::string>{"Left 7 from root", "behind 7 from root",
                                              "bottom 7 from root", "other 7 from root",
                                              "right 7 from root", "root 7 from root"}));
  for (TNode* n : {root, left, right, bottom, static_cast<TNode*>(other), behindOther})
    TnxComponent::Free(n);
}

TEST_F(ComponentBaseTest, DisplayNameFallsBackAndIsStoredOnlyWhenDifferent) {
  TNode* n = Node(u"");
  EXPECT_EQ(n->DisplayName(), u"TNode");
  n->SetName(u"node1");
  EXPECT_EQ(n->DisplayName(), u"node1");
  n->SetDisplayName(u"NODE1");
  EXPECT_FALSE(n->DisplayNameStored());
  n->SetDisplayName(u"tnode");
  EXPECT_FALSE(n->DisplayNameStored());
  n->SetDisplayName(u"Knoten");
  EXPECT_TRUE(n->DisplayNameStored());
  EXPECT_EQ(n->DisplayName(), u"Knoten");
  EXPECT_EQ(n->DisplayCategory(), u"");
  EXPECT_EQ(n->Version().rfind(u"4.7501 ", 0), 0u);
  n->SetVersion(u"9");
  EXPECT_EQ(n->Version().rfind(u"4.7501 ", 0), 0u);
  TnxComponent::Free(n);
}

TEST_F(ComponentBaseTest, ComponentIDsOfFreedOrForeignObjectsAreRefused) {
  TNode* n = Node(u"n");
  const intptr_t id = n->GetComponentID();
  EXPECT_EQ(TnxComponent::LookupByComponentID(id), n);
  int notAComponent = 0;
  EXPECT_THROW(TnxComponent::LookupByComponentID(reinterpret_cast<intptr_t>(&notAComponent)),
               EnxComponentException);
  TnxComponent::Free(n);
  try {
    TnxComponent::LookupByComponentID(id);
    ADD_FAILURE();
  } catch (const EnxComponentException& e) {
    EXPECT_STREQ(e.what(), "RevurOV: Invalid ComponentID [no error code]");
  }
}

TEST_F(ComponentBaseTest, ErrorsNameTheComponent) {
  TNode* n = Node(u"");
  struct Case {
    std::function<void()> raise;
    std::string text;
  };
  std::vector<Case> cases = {
      {[&] { n->RaiseError(u"plain"); }, "RevurOV: <unnamed TNode instance>: plain [no error code]"},
      {[&] { n->RaiseError(u"x=%d", {5}); }, "RevurOV: <unnamed TNode instance>: x=5 [no error code]"},
      {[&] { n->RaiseError(nxeIncompatibleStream); },
       "RevurOV: <unnamed TNode instance>: Incompatible stream [$3C8A/15498]"},
      {[&] { n->RaiseError(nxeIncompatibleStream, u"alt"); },
       "RevurOV: <unnamed TNode instance>: alt [$3C8A/15498]"},
      {[&] { n->RaiseError(nxeIncompatibleStream, u"alt %s", {u"two"}); },
       "RevurOV: <unnamed TNode instance>: alt two [$3C8A/15498]"},
      {[&] { n->CheckError(nxeIncompatibleStream); },
       "RevurOV: <unnamed TNode instance>: Incompatible stream [$3C8A/15498]"},
  };
  for (const Case& c : cases) {
    try {
      c.raise();
      ADD_FAILURE() << c.text;
    } catch (const EnxComponentException& e) {
      EXPECT_EQ(e.what(), c.text);
    }
  }
  EXPECT_NO_THROW(n->CheckError(0));
  // The code-only form takes the text of this thread's last conversion.
  EnxBaseException::SetLastConvertedException(nxeIncompatibleStream, u"from the server");
  n->SetName(u"named");
  try {
    n->RaiseError(nxeIncompatibleStream);
  } catch (const EnxComponentException& e) {
    EXPECT_STREQ(e.what(), "RevurOV: named: from the server [$3C8A/15498]");
  }
  EXPECT_EQ(EnxComponentException::ComponentName(nullptr), u"<nil pointer>");
  TnxComponent::Free(n);
}

TEST_F(ComponentBaseTest, RegisterableClassesAreFoundByNameAndByBase) {
  TnxRegisterableComponent::Register(TRegNode::ClassInfo());
  TnxRegisterableComponent::Register(TRegNodeSub::ClassInfo());
  try {
    TnxRegisterableComponent::Register(TRegNode::ClassInfo());
    ADD_FAILURE();
  } catch (const EnxRegisterableComponentException& e) {
    EXPECT_STREQ(e.what(), "RevurOV: The class \"TRegNode\" is already registered [no error code]");
  }
  EXPECT_EQ(TnxRegisterableComponent::FindRegisteredClass(u"tregnodesub"), &TRegNodeSub::ClassInfo());
  EXPECT_EQ(TnxRegisterableComponent::FindRegisteredClass(u"TNode"), nullptr);
  platform::TStringList list;
  TnxRegisterableComponent::GetRegisteredClasses(TRegNodeSub::ClassInfo(), list);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list[0], u"TRegNodeSub");
  EXPECT_EQ(list.Objects(0), &TRegNodeSub::ClassInfo());
  TnxRegisterableComponent::GetRegisteredClasses(TnxComponent::ClassInfo(), list);
  EXPECT_EQ(list.Count(), 2);

  // A registered component's errors are of its own family.
  platform::TComponent* made = TRegNodeSub::ClassInfo().Create(nullptr);
  auto* reg = static_cast<TnxRegisterableComponent*>(made);
  EXPECT_THROW(reg->RaiseError(u"x"), EnxRegisterableComponentException);
  TnxComponent::Free(made);

  TnxRegisterableComponent::Unregister(TRegNode::ClassInfo());
  TnxRegisterableComponent::Unregister(TRegNodeSub::ClassInfo());
  EXPECT_EQ(TnxRegisterableComponent::FindRegisteredClass(u"TRegNode"), nullptr);
}

TEST_F(ComponentBaseTest, FindClassRecursiveWalksAncestors) {
  const platform::TComponentClass helper{u"TNodeHelper", nullptr, nullptr};
  ASSERT_TRUE(platform::RegisterClass(helper));
  TOtherNode* n = Node<TOtherNode>(u"n");
  EXPECT_EQ(n->FindClassRecursive(u"Helper"), &helper);
  EXPECT_EQ(n->FindClassRecursive(u"Missing"), nullptr);
  platform::UnRegisterClass(helper);
  TnxComponent::Free(n);
}

// Two linked components notifying each other from two threads: each callee
// takes its own list lock while the other's walk runs. With the sender's lock
// held over the calls this is an A->B / B->A lock order, a deadlock waiting
// to happen.
class TCrossNode : public TnxComponent {
  REVUROV_COMPONENT_CLASS(TCrossNode, TnxComponent)
  using TnxComponent::TnxComponent;
  std::atomic<int> heard{0};
  int touched = 0;  // written only by calls into this node

  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override {
    if (aOp == 20) {
      heard.fetch_add(1);
      ++touched;
      (void)DependentCount();       // our own lock, inside the sender's walk
      (void)aSender->HasDependent(this);  // and the sender's
    }
    TnxComponent::DependentNotify(aSender, aOp, aData);
  }
};

TEST(ComponentConcurrency, LinkedComponentsNotifyEachOtherFromTwoThreads) {
  auto* a = new TCrossNode(nullptr);
  auto* b = new TCrossNode(nullptr);
  TnxComponent::LinkDependent(a, b);
  constexpr int kRounds = 2000;
  std::thread t1([&] {
    for (int i = 0; i < kRounds; ++i) a->NotifyDependents(20, nullptr);
  });
  std::thread t2([&] {
    for (int i = 0; i < kRounds; ++i) b->NotifyDependents(20, nullptr);
  });
  t1.join();
  t2.join();
  EXPECT_EQ(a->heard.load(), kRounds);
  EXPECT_EQ(b->heard.load(), kRounds);
  TnxComponent::Free(a);
  TnxComponent::Free(b);
}

TEST(ComponentConcurrency, ComponentsComeAndGoWhileAnotherThreadWalks) {
  auto* hub = new TCrossNode(nullptr);
  std::atomic<bool> stop{false};
  std::thread walker([&] {
    while (!stop.load()) hub->NotifyDependents(20, nullptr);
  });
  // Each one is linked, heard (or not) and freed; freeing waits for a call
  // into it that the walker has begun, so nothing runs on freed memory.
  for (int i = 0; i < 3000; ++i) {
    auto* c = new TCrossNode(nullptr);
    TnxComponent::LinkDependent(hub, c);
    if (i % 2) std::this_thread::yield();
    TnxComponent::Free(c);
  }
  stop.store(true);
  walker.join();
  EXPECT_EQ(hub->DependentCount(), 0);
  TnxComponent::Free(hub);
}

// A callee freed from inside its own notification (its owner reacting to
// it) neither waits for itself nor is touched by the walk afterwards.
class TSelfFreeing : public TnxComponent {
  REVUROV_COMPONENT_CLASS(TSelfFreeing, TnxComponent)
  using TnxComponent::TnxComponent;
  void DependentNotify(TnxComponent* aSender, TnxNotifyOp aOp, void* aData) override {
    if (aOp == 21) {
      TnxComponent::Free(this);
      return;
    }
    TnxComponent::DependentNotify(aSender, aOp, aData);
  }
};

TEST_F(ComponentBaseTest, CalleeFreedInsideItsNotificationEndsCleanly) {
  TNode* s = Node(u"s");
  TNode* keep = Node(u"keep");
  TnxComponent::LinkDependent(s, new TSelfFreeing(nullptr));
  TnxComponent::LinkDependent(s, keep);
  TnxComponent::LinkDependent(s, new TSelfFreeing(nullptr));
  s->NotifyDependents(21, nullptr);
  EXPECT_EQ(s->DependentCount(), 1);
  EXPECT_TRUE(s->HasDependent(keep));
  TnxComponent::Free(keep);
  TnxComponent::Free(s);
}

// Notifies from a thread's last destructors, after whatever the thread
// itself kept for its calls in flight would have been destroyed.
struct TNotifyAtThreadEnd {
  TNode* Sender = nullptr;
  ~TNotifyAtThreadEnd() {
    if (Sender) Sender->NotifyDependents(7, nullptr);
  }
};

TEST_F(ComponentBaseTest, NotificationFromAThreadsLastDestructorsReachesDependents) {
  TNode* s = Node(u"s");
  TNode* d = Node(u"d");
  TnxComponent::LinkDependent(s, d);
  std::thread([s] {
    static thread_local TNotifyAtThreadEnd atEnd;
    atEnd.Sender = s;
    s->NotifyDependents(7, nullptr);
  }).join();
  EXPECT_EQ(gHeard, (std::vector<std::string>{"d 7 from s", "d 7 from s"}));
  TnxComponent::Free(d);
  TnxComponent::Free(s);
}

}  // namespace
}  // namespace revurov
