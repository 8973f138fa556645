#include "lowlevel/objects/lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "platform/rtl_exception.h"

namespace revurov {
namespace {

void* P(uintptr_t v) { return reinterpret_cast<void*>(v); }
uintptr_t V(void* p) { return reinterpret_cast<uintptr_t>(p); }

std::vector<uintptr_t> Items(const TnxBaseList& l) {
  std::vector<uintptr_t> r;
  for (int32_t i = 0; i < l.Count(); ++i) r.push_back(V(l.blGet(i)));
  return r;
}

// A data object that records its destruction.
struct Tracked : TnxObject {
  explicit Tracked(std::vector<int>* log, int id) : log(log), id(id) {}
  ~Tracked() override { log->push_back(id); }
  std::vector<int>* log;
  int id;
};

TEST(List, CapacityGrowsByTheSpecifiedSteps) {
  TnxList l;
  std::vector<int32_t> seen;
  for (int i = 0; i < 95; ++i) {
    l.Add(P(i + 1));
    if (seen.empty() || seen.back() != l.Capacity()) seen.push_back(l.Capacity());
  }
  EXPECT_EQ(seen, (std::vector<int32_t>{4, 8, 12, 28, 44, 60, 76, 95}));
  l.Add(P(1));
  EXPECT_EQ(l.Capacity(), 95 + 23);
}

TEST(List, CapacityAndCountLimits) {
  TnxList l(10);
  EXPECT_EQ(l.Capacity(), 10);
  l.Add(P(1));
  l.Add(P(2));
  try {
    l.wlSetCapacity(1);
    FAIL();
  } catch (const platform::EListError& e) {
    EXPECT_EQ(e.Message(), u"Kapazität der Liste ist erschöpft (1)");
  }
  EXPECT_THROW(l.wlSetCapacity(nxMaxListSize + 1), platform::EListError);
  try {
    l.liSetCount(-1);
    FAIL();
  } catch (const platform::EListError& e) {
    EXPECT_EQ(e.Message(), u"Zu viele Einträge in der Liste (-1)");
  }
  try {
    l.blGet(2);
    FAIL();
  } catch (const platform::EListError& e) {
    EXPECT_EQ(e.Message(), u"Listenindex außerhalb des gültigen Bereichs (2)");
  }
  EXPECT_EQ(Items(l), (std::vector<uintptr_t>{1, 2}));
  l.Clear();
  EXPECT_EQ(l.Capacity(), 10);  // back to the initial capacity
  TnxList negative(-5);
  EXPECT_EQ(negative.Capacity(), 0);
}

TEST(List, GenerationCountsChanges) {
  TnxList l(0, true);
  uint32_t g = l.Generation();
  auto step = [&](auto op, uint32_t expected) {
    op();
    EXPECT_EQ(l.Generation() - g, expected);
    g = l.Generation();
  };
  step([&] { l.Add(P(1)); }, 1);
  step([&] { l.Sort([](void*, void*) { return 0; }); }, 1);  // one-item sort counts
  step([&] { l.AddData(P(2), P(20)); }, 1);
  step([&] { l.Insert(0, P(3)); }, 1);
  step([&] { l.liPut(0, P(3)); }, 0);
  step([&] { l.liPut(0, P(4)); }, 1);
  step([&] { EXPECT_FALSE(l.Exchange(2, 2)); }, 0);
  step([&] { EXPECT_TRUE(l.Exchange(0, 1)); }, 1);
  step([&] { l.Move(0, 2); }, 2);
  step([&] { l.Pack(); }, 0);
  step([&] { l.Delete(0); }, 1);
  step([&] { l.Release(0); }, 1);
  step([&] { l.Clear(); }, 1);
  step([&] { l.Clear(); }, 0);
}

TEST(List, ReleaseAndMoveKeepDataPointers) {
  TnxList l(0, true);
  l.AddData(P(1), P(10));
  l.AddData(P(2), P(20));
  l.AddData(P(3), P(30));
  l.Move(2, 0);
  EXPECT_EQ(Items(l), (std::vector<uintptr_t>{3, 1, 2}));
  EXPECT_EQ(l.DataOf(0), P(30));
  EXPECT_EQ(l.Release(2), P(20));  // the last entry
  EXPECT_EQ(l.Release(P(3)), P(30));
  EXPECT_EQ(l.Release(P(99)), nullptr);
  EXPECT_EQ(Items(l), (std::vector<uintptr_t>{1}));
  EXPECT_EQ(l.IndexOfData(P(10)), 0);
  TnxList noData;
  noData.Add(P(1));
  EXPECT_EQ(noData.IndexOfData(nullptr), -1);
  EXPECT_EQ(noData.Release(0), nullptr);
}

TEST(List, OwnedDataObjectsAreFreedOnDeleteClearPackAndShrink) {
  std::vector<int> freed;
  {
    TnxList l(0, true, true);
    l.AddData(nullptr, new Tracked(&freed, 1));
    l.AddData(P(5), new Tracked(&freed, 2));
    l.Pack();  // [nil/X, A] keeps [A], frees X
    EXPECT_EQ(freed, (std::vector<int>{1}));
    EXPECT_EQ(Items(l), (std::vector<uintptr_t>{5}));
    l.AddData(nullptr, new Tracked(&freed, 3));
    l.Pack();  // [A, nil/X] keeps [A], frees X
    EXPECT_EQ(freed, (std::vector<int>{1, 3}));
    EXPECT_EQ(static_cast<Tracked*>(l.DataOf(0))->id, 2);

    l.AddData(P(6), new Tracked(&freed, 4));
    l.Delete(1);
    EXPECT_EQ(freed.back(), 4);
    auto* kept = new Tracked(&freed, 5);
    l.AddData(P(7), kept);
    EXPECT_EQ(l.Release(1), kept);  // released, not freed
    delete kept;
    l.AddData(P(8), new Tracked(&freed, 6));
    l.liSetCount(1);
    EXPECT_EQ(freed.back(), 6);
    l.liSetCount(3);
    EXPECT_EQ(Items(l), (std::vector<uintptr_t>{5, 0, 0}));
    EXPECT_EQ(l.DataOf(2), nullptr);
  }
  EXPECT_EQ(freed, (std::vector<int>{1, 3, 4, 5, 6, 2}));
}

TEST(List, AddListTakesDataOnlyFromListsThatDoNotOwnIt) {
  std::vector<int> freed;
  TnxList plain(0, true);
  plain.AddData(P(1), P(10));
  TnxList owning(0, true, true);
  owning.AddData(P(2), new Tracked(&freed, 1));
  TnxList target(0, true);
  target.AddList(plain);
  target.AddList(owning);
  EXPECT_EQ(Items(target), (std::vector<uintptr_t>{1, 2}));
  EXPECT_EQ(target.DataOf(0), P(10));
  EXPECT_EQ(target.DataOf(1), nullptr);
}

TEST(List, InsertExchangeAndIndexErrors) {
  TnxList l;
  EXPECT_THROW(l.Insert(1, P(1)), platform::EListError);
  l.Insert(0, P(2));
  l.Insert(0, P(1));
  l.Insert(2, P(3));
  EXPECT_EQ(Items(l), (std::vector<uintptr_t>{1, 2, 3}));
  try {
    l.Exchange(5, 7);
    FAIL();
  } catch (const platform::EListError& e) {
    EXPECT_EQ(e.Message(), u"Listenindex außerhalb des gültigen Bereichs (5)");
  }
  EXPECT_THROW(l.Move(0, 3), platform::EListError);
  EXPECT_EQ(Items(l), (std::vector<uintptr_t>{1, 2, 3}));
  EXPECT_EQ(l.Remove(P(2)), 1);
  EXPECT_EQ(l.Remove(P(2)), -1);
  EXPECT_EQ(l.First(), P(1));
  EXPECT_EQ(l.Last(), P(3));
  TnxList empty;
  EXPECT_EQ(empty.First(), nullptr);
  EXPECT_EQ(empty.Last(), nullptr);
}

int32_t CompareValues(void* a, void* b) { return V(a) < V(b) ? -1 : V(a) > V(b) ? 1 : 0; }

TEST(Quicksort, SortsWithDataInParallelOnRandomAndAdversarialInput) {
  std::mt19937 rng(7);
  for (int n : {1, 2, 3, 10, 100, 5000}) {
    for (int pattern = 0; pattern < 4; ++pattern) {
      std::vector<void*> items(n), data(n);
      for (int i = 0; i < n; ++i) {
        uintptr_t v = pattern == 0 ? rng() % 50 + 1 : pattern == 1 ? i + 1 : pattern == 2 ? n - i : 7;
        items[i] = P(v);
        data[i] = P(v * 1000);
      }
      EXPECT_TRUE(nxQuickSortListProc(items.data(), data.data(), 0, CompareValues, n - 1));
      for (int i = 0; i < n; ++i) {
        ASSERT_EQ(V(data[i]), V(items[i]) * 1000);
        if (i) {
          ASSERT_LE(V(items[i - 1]), V(items[i]));
        }
      }
    }
  }
  std::vector<void*> none;
  EXPECT_FALSE(nxQuickSortList(none.data(), nullptr, 0, [](void*, void*) -> int8_t { return 0; }, -1));
}

TEST(SortedList, RefusesEqualItemsUnlessSuspended) {
  TnxSortedList l;
  EXPECT_EQ(l.Add(P(30)), 0);
  EXPECT_EQ(l.Add(P(10)), 0);
  EXPECT_EQ(l.Add(P(20)), 1);
  uint32_t g = l.Generation();
  EXPECT_EQ(l.Add(P(20)), 1);  // the index of the first
  EXPECT_EQ(l.Generation(), g);
  EXPECT_EQ(Items(l), (std::vector<uintptr_t>{10, 20, 30}));

  l.SuspendSorting();
  l.SuspendSorting();
  EXPECT_EQ(l.Add(P(20)), 3);
  EXPECT_EQ(l.Add(P(5)), 4);
  int32_t i;
  EXPECT_THROW(l.Find(P(5), i), EnxSortedListException);
  EXPECT_THROW(l.IndexOf(P(5)), EnxSortedListException);
  l.ResumeSorting();
  EXPECT_EQ(Items(l), (std::vector<uintptr_t>{10, 20, 30, 20, 5}));
  l.ResumeSorting();
  EXPECT_EQ(Items(l), (std::vector<uintptr_t>{5, 10, 20, 20, 30}));
  EXPECT_EQ(l.IndexOf(P(30)), 4);
  EXPECT_EQ(l.IndexOf(P(31)), -1);
  EXPECT_FALSE(l.Find(P(25), i));
  EXPECT_EQ(i, 4);
}

// Orders by content: the items point at ints.
struct IntSortedList : TnxSortedList {
  int8_t Compare(void* a, void* b) override {
    int x = *static_cast<int*>(a), y = *static_cast<int*>(b);
    return x < y ? -1 : x > y ? 1 : 0;
  }
};

TEST(SortedList, DescendantsOrderByContent) {
  int values[] = {5, 1, 3};
  IntSortedList l;
  for (int& v : values) l.Add(&v);
  EXPECT_EQ(*static_cast<int*>(l.First()), 1);
  EXPECT_EQ(*static_cast<int*>(l.Last()), 5);
  int probe = 3;
  EXPECT_EQ(l.IndexOf(&probe), 1);
}

template <typename Guard>
void HammerGuard() {
  Guard g(std::make_unique<TnxList>(0, true));
  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        g.AddData(P(t * 10000 + i + 1), P(1));
        if (i % 3 == 0) g.Remove(P(t * 10000 + i + 1));
      }
    });
  }
  threads.emplace_back([&] {
    while (!stop.load()) {
      TnxBaseList& l = g.BeginRead();
      int32_t n = l.Count();
      for (int32_t i = 0; i < n; ++i) ASSERT_NE(l.blGet(i), nullptr);
      g.EndRead();
    }
  });
  for (int t = 0; t < 4; ++t) threads[t].join();
  stop = true;
  threads.back().join();
  EXPECT_EQ(g.GetCount(), 4 * (2000 - 667));
  Guard other(std::make_unique<TnxList>());
  other.AddList(g);
  EXPECT_EQ(other.GetCount(), g.GetCount());
  EXPECT_EQ(g.Release(P(2)), P(1));
  g.Clear();
  EXPECT_EQ(g.GetCount(), 0);
}

TEST(ListGuards, PortalGuardedListUnderConcurrentWriters) { HammerGuard<TnxListPortal>(); }
TEST(ListGuards, PadlockGuardedListUnderConcurrentWriters) { HammerGuard<TnxListPadlock>(); }

}  // namespace
}  // namespace revurov
