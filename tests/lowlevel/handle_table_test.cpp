#include "lowlevel/objects/handle_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "lowlevel/errors/exceptions.h"

namespace revurov {
namespace {

const TnxRegisterableClass kRoot{u"Root", nullptr, nullptr};
const TnxRegisterableClass kDatabase{u"Database", &kRoot, nullptr};
const TnxRegisterableClass kCursor{u"Cursor", &kRoot, nullptr};
const TnxRegisterableClass kSqlDatabase{u"SqlDatabase", &kDatabase, nullptr};

TEST(HandleTable, AddedObjectIsFoundByHandleClassAndOwner) {
  TnxHandleTable table;
  int object = 0;
  uint32_t handle = table.Add(&object, &kSqlDatabase, 7, 3);
  EXPECT_NE(handle, 0u);
  EXPECT_EQ(TnxHandleTable::TagOf(handle), 3);
  EXPECT_EQ(table.Lookup(handle, &kSqlDatabase, 7), &object);
  EXPECT_EQ(table.Lookup(handle, &kDatabase, 7), &object) << "a derived class passes for its base";
  EXPECT_EQ(table.Lookup(handle, nullptr, 7), &object);
  EXPECT_EQ(table.LookupAny(handle), &object);
  EXPECT_EQ(table.Count(), 1);
}

TEST(HandleTable, LookupMissesForWrongIdentities) {
  TnxHandleTable table;
  int object = 0;
  uint32_t handle = table.Add(&object, &kCursor, 7, 1);
  struct Case {
    const char* what;
    uint32_t handle;
    const TnxRegisterableClass* expected;
    uint32_t owner;
  } cases[] = {
      {"zero", 0, nullptr, 7},
      {"sibling class", handle, &kDatabase, 7},
      {"other owner", handle, &kCursor, 8},
      {"other tag", handle ^ (1u << 28), &kCursor, 7},
      {"other generation", handle + (1u << TnxHandleTable::kSlotBits), &kCursor, 7},
      {"slot never used", handle + 5, &kCursor, 7},
      {"slot beyond every chunk", (TnxHandleTable::kMaxSlots - 1) | (1u << TnxHandleTable::kSlotBits), nullptr, 7},
      {"all bits set", 0xFFFFFFFF, nullptr, 7},
  };
  for (const Case& c : cases) EXPECT_EQ(table.Lookup(c.handle, c.expected, c.owner), nullptr) << c.what;
}

TEST(HandleTable, RemovedHandleStaysStaleWhenItsSlotIsReused) {
  TnxHandleTable table;
  int first = 0, second = 0;
  uint32_t old = table.Add(&first, &kCursor, 1);
  EXPECT_TRUE(table.Remove(old));
  EXPECT_FALSE(table.Remove(old)) << "a handle ends once";
  uint32_t reused = table.Add(&second, &kCursor, 1);
  EXPECT_EQ(TnxHandleTable::SlotOf(reused), TnxHandleTable::SlotOf(old));
  EXPECT_NE(reused, old);
  EXPECT_EQ(table.Lookup(old, &kCursor, 1), nullptr);
  EXPECT_EQ(table.Lookup(reused, &kCursor, 1), &second);
}

TEST(HandleTable, SlotRetiresInsteadOfWrappingItsGeneration) {
  TnxHandleTable table;
  int object = 0;
  uint32_t first = table.Add(&object, &kCursor, 1);
  uint32_t handle = first;
  uint32_t rounds = 0;
  while (TnxHandleTable::SlotOf(handle) == TnxHandleTable::SlotOf(first) && rounds < 2000) {
    ASSERT_TRUE(table.Remove(handle));
    handle = table.Add(&object, &kCursor, 1);
    ++rounds;
  }
  EXPECT_EQ(rounds, (1u << TnxHandleTable::kGenerationBits) - 1);
  EXPECT_NE(TnxHandleTable::SlotOf(handle), TnxHandleTable::SlotOf(first));
  EXPECT_EQ(table.Lookup(first, &kCursor, 1), nullptr);
}

TEST(HandleTable, SetOwnerMovesTheObjectToAnotherOwner) {
  TnxHandleTable table;
  int object = 0;
  uint32_t handle = table.Add(&object, &kCursor, 1);
  EXPECT_TRUE(table.SetOwner(handle, 2));
  EXPECT_EQ(table.Lookup(handle, &kCursor, 1), nullptr);
  EXPECT_EQ(table.Lookup(handle, &kCursor, 2), &object);
  table.Remove(handle);
  EXPECT_FALSE(table.SetOwner(handle, 3));
}

TEST(HandleTable, FullTableRefusesWith9473) {
  TnxHandleTable table;
  int object = 0;
  for (uint32_t i = 0; i < TnxHandleTable::kMaxSlots; ++i) table.Add(&object, nullptr, 0);
  try {
    table.Add(&object, nullptr, 0);
    FAIL() << "no error";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 9473u);
  }
  EXPECT_EQ(table.Count(), int32_t(TnxHandleTable::kMaxSlots));
}

// 10^5 random creates, frees and lookups of four classes in two owners,
// checked against a map of what is live and a list of what was freed.
TEST(HandleTable, RandomOperationsAgreeWithAReferenceMap) {
  const TnxRegisterableClass* classes[] = {&kRoot, &kDatabase, &kCursor, &kSqlDatabase};
  struct Live {
    std::unique_ptr<int> object;
    const TnxRegisterableClass* cls;
    uint32_t owner;
  };
  TnxHandleTable table;
  std::map<uint32_t, Live> live;
  std::vector<uint32_t> liveHandles, freed;
  std::mt19937 rng(20261209);
  std::set<uint32_t> slotsSeen;
  int reused = 0;
  for (int step = 0; step < 100000; ++step) {
    int op = int(rng() % 10);
    if (op < 4 || liveHandles.empty()) {
      auto object = std::make_unique<int>(step);
      const TnxRegisterableClass* cls = classes[rng() % 4];
      uint32_t owner = 1 + rng() % 2;
      uint32_t h = table.Add(object.get(), cls, owner, uint8_t(rng() % 16));
      ASSERT_EQ(live.count(h), 0u);
      if (!slotsSeen.insert(TnxHandleTable::SlotOf(h)).second) ++reused;
      live[h] = Live{std::move(object), cls, owner};
      liveHandles.push_back(h);
    } else if (op < 7) {
      size_t i = rng() % liveHandles.size();
      uint32_t h = liveHandles[i];
      liveHandles[i] = liveHandles.back();
      liveHandles.pop_back();
      ASSERT_TRUE(table.Remove(h));
      freed.push_back(h);
      live.erase(h);
    } else if (op < 9) {
      uint32_t h = liveHandles[rng() % liveHandles.size()];
      const Live& entry = live.at(h);
      const TnxRegisterableClass* asked = classes[rng() % 4];
      uint32_t owner = 1 + rng() % 2;
      void* expect = (owner == entry.owner && entry.cls->InheritsFrom(*asked)) ? entry.object.get() : nullptr;
      ASSERT_EQ(table.Lookup(h, asked, owner), expect) << "step " << step;
    } else if (!freed.empty()) {
      // A freed handle never comes back, whatever reused its slot.
      uint32_t h = freed[rng() % freed.size()];
      ASSERT_EQ(live.count(h), 0u);
      ASSERT_EQ(table.Lookup(h, nullptr, 1), nullptr);
      ASSERT_EQ(table.Lookup(h, nullptr, 2), nullptr);
    }
    ASSERT_EQ(table.Count(), int32_t(live.size()));
  }
  EXPECT_GT(reused, 1000) << "the run must reuse slots to mean anything";
}

// Lookups on other threads while the owner frees and re-adds: a lookup
// answers either nothing or the object that was filed under that handle.
TEST(HandleTable, LookupsRacingFreesNeverAnswerAnotherObject) {
  constexpr int kObjects = 64;
  constexpr int kRounds = 3000;
  TnxHandleTable table;
  int objects[kObjects] = {};
  std::atomic<uint32_t> handles[kObjects];
  for (int i = 0; i < kObjects; ++i) {
    handles[i].store(table.Add(&objects[i], &kCursor, 1));
  }
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&, t] {
      for (int n = 0; n < 200000 && !stop.load(); ++n) {
        int i = (n * 7 + t) % kObjects;
        uint32_t h = handles[i].load();
        void* got = table.Lookup(h, &kCursor, 1);
        if (got && got != &objects[i]) wrong.fetch_add(1);
      }
    });
  }
  std::mt19937 rng(5);
  for (int r = 0; r < kRounds; ++r) {
    // Freed slots are reused last-in first-out, so i and j swap slots.
    int i = int(rng() % kObjects);
    int j = (i + 1 + int(rng() % (kObjects - 1))) % kObjects;
    table.Remove(handles[i].load());
    table.Remove(handles[j].load());
    handles[i].store(table.Add(&objects[i], &kCursor, 1));
    handles[j].store(table.Add(&objects[j], &kCursor, 1));
  }
  stop.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace revurov
