#include "lowlevel/objects/interfaced_object.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/rtl_exception.h"

namespace revurov {

using platform::IInterface;
using platform::TGUID;
using platform::TInterfacePtr;
namespace {

using platform::E_NOINTERFACE;
using platform::EInvalidPointer;
using platform::S_OK;
using platform::Supports;

int destroyed = 0;
int doFreeCalls = 0;

class TProbe : public TnxInterfacedObject {
public:
  explicit TProbe(bool aKeepAlive) : TnxInterfacedObject(aKeepAlive) {}

protected:
  ~TProbe() override { ++destroyed; }
  void DoFree() override { ++doFreeCalls; }
};

class RefCounts : public ::testing::Test {
protected:
  void SetUp() override { destroyed = doFreeCalls = 0; }
};

// One step per character: A AddRef, R Release, F Free. After each step the
// count (or 'x' once destroyed) is checked.
TEST_F(RefCounts, ReferenceCountTable) {
  const struct {
    bool keepAlive;
    const char* steps;
    const char* counts;  // count after each step, x: destroyed
    int doFree;
  } rows[] = {
      {false, "AR", "1x", 0},         // the last Release destroys
      {true, "ARF", "10x", 1},        // keep-alive survives 0, Free ends it
      {false, "AAFRR", "1221x", 0},   // Free leaves it to the last reference
      {true, "AAFRR", "1221x", 1},    // keep-alive cleared by Free
      {false, "F", "x", 0},           // nobody holds it: Free destroys
      {true, "F", "x", 1},
      {true, "AARRAR", "121010", 0},  // keep-alive passes 0 again and again
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.steps);
    SetUp();
    TProbe* p = nxCreate<TProbe>(row.keepAlive);
    EXPECT_EQ(p->RefCount(), 0);
    for (size_t i = 0; row.steps[i]; ++i) {
      switch (row.steps[i]) {
        case 'A': p->AddRef(); break;
        case 'R': p->Release(); break;
        case 'F': p->Free(); break;
      }
      if (row.counts[i] == 'x') {
        EXPECT_EQ(destroyed, 1) << "step " << i;
      } else {
        ASSERT_EQ(destroyed, 0) << "step " << i;
        EXPECT_EQ(p->RefCount(), row.counts[i] - '0') << "step " << i;
      }
    }
    EXPECT_EQ(doFreeCalls, row.doFree);
    if (!destroyed) p->Free();
    EXPECT_EQ(destroyed, 1);
  }
}

class TSelfReferencing : public TnxInterfacedObject {
public:
  TSelfReferencing() {
    TInterfacePtr<IInterface> self(static_cast<IInterface*>(this));
    countInside = RefCount();
  }
  int32_t countInside = 0;

protected:
  ~TSelfReferencing() override { ++destroyed; }
};

TEST_F(RefCounts, ReferenceTakenInTheConstructorDoesNotDestroy) {
  auto* p = nxCreate<TSelfReferencing>();
  EXPECT_EQ(p->countInside, 2);
  EXPECT_EQ(destroyed, 0);
  EXPECT_EQ(p->RefCount(), 0);
  IInterface& entry = *p;
  TInterfacePtr<IInterface> hold(&entry);
  EXPECT_EQ(p->RefCount(), 1);
  hold.Reset();
  EXPECT_EQ(destroyed, 1);
}

// Its destructor takes and drops a reference: the count passes 0 again.
class TResurrecting : public TnxInterfacedObject {
protected:
  ~TResurrecting() override {
    AddRef();
    Release();
    ++destroyed;
  }
};

TEST_F(RefCounts, DestructionHappensOnceWhenTheCountPassesZeroAgain) {
  auto* p = nxCreate<TResurrecting>();
  p->AddRef();
  p->Release();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(RefCounts, FreeAndNilRefusesAnObjectWithReferences) {
  TProbe* p = nxCreate<TProbe>(true);
  IInterface& entry = *p;
  TInterfacePtr<IInterface> hold(&entry);
  TProbe* var = p;
  EXPECT_THROW(nxFreeAndNil(var), EInvalidPointer);
  EXPECT_EQ(var, nullptr);
  EXPECT_EQ(destroyed, 0);
  hold.Reset();  // keep-alive: still there
  EXPECT_EQ(destroyed, 0);
  var = p;
  nxFreeAndNil(var);
  EXPECT_EQ(destroyed, 1);
  nxFreeAndNil(var);  // nil: nothing
}

TEST_F(RefCounts, ConcurrentReleasesDestroyOnce) {
  for (int round = 0; round < 50; ++round) {
    TProbe* p = nxCreate<TProbe>(false);
    for (int i = 0; i < 4; ++i) p->AddRef();
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) threads.emplace_back([p] { p->Release(); });
    for (auto& t : threads) t.join();
  }
  EXPECT_EQ(destroyed, 50);
}

class InxFoo : public virtual IInterface {
public:
  static constexpr TGUID IID = platform::nxGuid("{0E1D2C3B-4A59-4687-A5B4-C3D2E1F00112}");
  virtual int Foo() noexcept = 0;
};
class InxHostOnly : public virtual IInterface {
public:
  static constexpr TGUID IID = platform::nxGuid("{0E1D2C3B-4A59-4687-A5B4-C3D2E1F00113}");
};

class TAggregated : public TnxAggregatableObject, public InxFoo {
public:
  using TnxAggregatableObject::TnxAggregatableObject;
  int Foo() noexcept override { return 42; }
  using TnxAggregatableObject::QueryInterface;
  using TnxAggregatableObject::AddRef;
  using TnxAggregatableObject::Release;

protected:
  ~TAggregated() override { ++destroyed; }
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxFoo>(this, iid, obj) || TnxAggregatableObject::GetInterface(iid, obj);
  }
};

// Owns the aggregated object through its inner entry and answers for its
// interface.
class THost : public TnxInterfacedObject, public InxHostOnly {
public:
  THost() { inner = nxCreate<TAggregated>(static_cast<IInterface*>(this))->InnerInterface(); }
  ~THost() override { inner.Reset(); }
  TInterfacePtr<IInterface> inner;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    if (iid == InxFoo::IID) return inner->QueryInterface(iid, obj) == S_OK;
    return nxOfferInterface<InxHostOnly>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

TEST_F(RefCounts, AggregatedInterfacesCountTheHost) {
  THost* host = nxCreate<THost>();
  IInterface& hostEntry = *host;  // a reference: no null test in the conversion
  TInterfacePtr<IInterface> holdHost(&hostEntry);
  ASSERT_EQ(host->RefCount(), 1);
  TInterfacePtr<InxFoo> foo = Supports<InxFoo>(holdHost);
  ASSERT_TRUE(foo);
  EXPECT_EQ(foo->Foo(), 42);
  EXPECT_EQ(host->RefCount(), 2);  // the reference went to the host
  // Through the aggregated interface the host's other interfaces are found.
  EXPECT_TRUE(Supports<InxHostOnly>(foo));
  EXPECT_EQ(host->RefCount(), 2);
  auto* aggregated = static_cast<TAggregated*>(foo.Get());
  EXPECT_EQ(aggregated->RefCount(), 1);  // only the host's inner reference
  EXPECT_EQ(aggregated->Host().Get(), &hostEntry);
  // The inner entry answers IInterface with itself and counts the object.
  void* p = nullptr;
  ASSERT_EQ(host->inner->QueryInterface(IInterface::IID, &p), S_OK);
  EXPECT_EQ(p, host->inner.Get());
  EXPECT_EQ(aggregated->RefCount(), 2);
  host->inner->Release();
  foo.Reset();
  holdHost.Reset();
  EXPECT_EQ(destroyed, 1);  // the aggregated object, with its host
}

TEST_F(RefCounts, AggregatableWithoutHostCountsItself) {
  auto* a = nxCreate<TAggregated>(nullptr);
  TInterfacePtr<InxFoo> foo(a);
  EXPECT_EQ(a->RefCount(), 1);
  EXPECT_FALSE(a->Host());
  void* p = reinterpret_cast<void*>(1);
  EXPECT_EQ(foo->QueryInterface(InxHostOnly::IID, &p), E_NOINTERFACE);
  EXPECT_EQ(p, nullptr);
  foo.Reset();
  EXPECT_EQ(destroyed, 1);
}

TEST_F(RefCounts, LifetimeMonitorTellsWhetherTheObjectLives) {
  TInterfacePtr<InxLifetimeMonitorObject> object = nxCreateLifetimeMonitor();
  TInterfacePtr<InxLifetimeMonitorRef> weak = Supports<InxLifetimeMonitorRef>(object);
  ASSERT_TRUE(weak);
  EXPECT_TRUE(weak->IsAlive());
  {
    TInterfacePtr<InxLifetimeMonitorObject> second = Supports<InxLifetimeMonitorObject>(weak);
    EXPECT_TRUE(weak->IsAlive());
  }
  EXPECT_TRUE(weak->IsAlive());
  object.Reset();  // the last reference of the object's side
  EXPECT_FALSE(weak->IsAlive());

  object = nxCreateLifetimeMonitor();
  weak = Supports<InxLifetimeMonitorRef>(object);
  object->Dead();
  EXPECT_FALSE(weak->IsAlive());
}

class TCounted : public TnxObject {
public:
  ~TCounted() override { ++destroyed; }
};

TEST_F(RefCounts, FreeAndNilFromTwoThreadsDestroysOnce) {
  for (int round = 0; round < 100; ++round) {
    TCounted* var = new TCounted;
    std::atomic<bool> go{false};
    std::thread a([&] {
      while (!go) {
      }
      nxFreeAndNil(var);
    });
    std::thread b([&] {
      while (!go) {
      }
      nxFreeAndNil(var);
    });
    go = true;
    a.join();
    b.join();
    EXPECT_EQ(var, nullptr);
  }
  EXPECT_EQ(destroyed, 100);
}

}  // namespace
}  // namespace revurov
