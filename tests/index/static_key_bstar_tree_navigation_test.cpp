#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dictionary/fields_descriptor.h"
#include "dictionary/filter_engines.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_path.h"
#include "index/startup.h"
#include "index/static_key_bstar_tree.h"
#include "index/static_key_bstar_tree_path.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/deadline.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/bstar_tree_checker.h"
#include "support/exception_message.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::TTableFixture;
using testing::TTableShape;

// A key filter or record filter answering a test's predicate.
class TPredicateFilter : public TnxBaseFilterEngine {
public:
  explicit TPredicateFilter(std::function<bool(const uint8_t*)> aMatches)
      : TnxBaseFilterEngine(nullptr, nullptr), pfMatches(std::move(aMatches)) {
    SetActive(true);
  }
  std::unique_ptr<TnxBaseFilterDescriptor> CreateDescriptor() const override { return nullptr; }
  bool MatchesBuffer(const uint8_t* aBuffer) override { return pfMatches(aBuffer); }

private:
  std::function<bool(const uint8_t*)> pfMatches;
};

// What a test knows of an entry: its two key values and RefNr.
struct TEntry {
  uint32_t A = 0;
  uint64_t B = 0;
  TnxRefNr RefNr = 0;
};

// A table whose records carry a 4-byte field A and a field B of aBBytes
// (its first 8 bytes big-endian B), indexed on (A, B). Records go in
// through the record engine and the indices engine, so walks can read them.
class NavWorld {
public:
  NavWorld(TnxIndexDups aDups, int32_t aBBytes = 400)
      : fx_(TTableShape{.DataBytes = aBBytes, .KeyBytes = 4}) {
    auto* indices = fx_.Dict().EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    TnxIndexDescriptor* d = indices->AddIndex(u"Nav", 0, aDups, u"", &TnxCompKeyDescriptor::ClassInfo());
    auto* key = static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor());
    key->Add(0);
    key->Add(1);
    TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*d);
    engine_ = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), &fx_.Records(), &fx_.Trans(), false);
    fx_.Commit();
  }

  TnxStaticKeyBstarTreeIndexEngine& Tree() {
    return static_cast<TnxStaticKeyBstarTreeIndexEngine&>(engine_->Indices(0));
  }
  TTableFixture& Fx() { return fx_; }
  TnxBaseTransaction* T() { return &fx_.Trans(); }
  std::unique_ptr<TnxStaticKeyBstarTreeIndexPath> Path() {
    return std::unique_ptr<TnxStaticKeyBstarTreeIndexPath>(
        static_cast<TnxStaticKeyBstarTreeIndexPath*>(Tree().CreateIndexPath().release()));
  }

  std::vector<uint8_t> Record(uint32_t aA, uint64_t aB) {
    std::vector<uint8_t> record(fx_.RecordLength(), 0);
    const auto& fields = fx_.Dict().FieldsDescriptor();
    uint8_t* a = record.data() + fields.FieldDescriptor(0)->Offset();
    uint8_t* b = record.data() + fields.FieldDescriptor(1)->Offset();
    for (int i = 0; i < 4; ++i) a[i] = static_cast<uint8_t>(aA >> (8 * (3 - i)));
    for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(aB >> (8 * (7 - i)));
    fields.SetRecordFieldNull(0, record.data(), false);
    fields.SetRecordFieldNull(1, record.data(), false);
    return record;
  }
  std::vector<uint8_t> Key(uint32_t aA, uint64_t aB) {
    std::vector<uint8_t> key(Tree().KeyEngine().KeyLength(), 0);
    EXPECT_EQ(Tree().KeyEngine().BuildKey(Record(aA, aB).data(), key.data(), 1, false), 0u);
    return key;
  }
  // B of a record buffer.
  uint64_t BOf(const uint8_t* aRecord) {
    const auto& fields = fx_.Dict().FieldsDescriptor();
    const uint8_t* b = aRecord + fields.FieldDescriptor(1)->Offset();
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | b[i];
    return v;
  }
  // Adds the record and its key; its RefNr.
  TnxRefNr Add(uint32_t aA, uint64_t aB) {
    std::vector<uint8_t> record = Record(aA, aB);
    TnxRefNr refNr = 0;
    fx_.Records().AddRecord(fx_.Trans(), refNr, record.data());
    EXPECT_EQ(engine_->InsertKeys(fx_.Trans(), refNr, record.data(), nullptr), 0u);
    entries_.push_back({aA, aB, refNr});
    return refNr;
  }
  void Remove(const TEntry& aEntry) {
    std::vector<uint8_t> record = Record(aEntry.A, aEntry.B);
    EXPECT_EQ(engine_->DeleteKeys(fx_.Trans(), aEntry.RefNr, record.data(), nullptr), 0u);
    fx_.Records().DeleteRecord(fx_.Trans(), aEntry.RefNr);
    std::erase_if(entries_, [&](const TEntry& e) { return e.RefNr == aEntry.RefNr; });
  }
  // Every entry in index order.
  std::vector<TEntry> Sorted() const {
    std::vector<TEntry> out = entries_;
    std::sort(out.begin(), out.end(),
              [](const TEntry& x, const TEntry& y) { return std::tie(x.A, x.B, x.RefNr) < std::tie(y.A, y.B, y.RefNr); });
    return out;
  }

private:
  TnxStorageStartupGuard storage_;
  TnxIndexStartupGuard startup_;
  TTableFixture fx_;
  std::unique_ptr<TnxBaseIndicesEngine> engine_;
  std::vector<TEntry> entries_;
};

// The first 2 bytes of B: a partial length of 2 after the field A.
uint64_t Hi(uint64_t aB) { return aB >> 48; }
uint64_t B(uint64_t aHi, uint64_t aLo) { return (aHi << 48) | aLo; }

// How an entry compares with a search key over a depth.
struct TDepth {
  const char* Name;
  int32_t FieldCount;
  int32_t PartialLen;
};
int Compare(const TEntry& aEntry, uint32_t aA, uint64_t aB, const TDepth& aDepth) {
  if (aEntry.A != aA) return aEntry.A < aA ? -1 : 1;
  if (aDepth.FieldCount == 1 && aDepth.PartialLen == 0) return 0;
  const uint64_t x = aDepth.PartialLen == 2 ? Hi(aEntry.B) : aEntry.B;
  const uint64_t y = aDepth.PartialLen == 2 ? Hi(aB) : aB;
  return x == y ? 0 : (x < y ? -1 : 1);
}

// What FindKey is to give: the answer, and the entry (index into the
// sorted entries), -1 for Bof, -2 for Eof, -3 for a crack; Any: any
// equal entry will do.
struct TExpect {
  bool Answer;
  int Index;
  bool Any = false;
};

TExpect Expected(const std::vector<TEntry>& aSorted, uint32_t aA, uint64_t aB, const TDepth& aDepth,
                 TnxSearchKeyAction aAction) {
  const int n = static_cast<int>(aSorted.size());
  int firstEq = -1, lastEq = -1, firstG = -2, lastL = -1;
  for (int i = 0; i < n; ++i) {
    const int c = Compare(aSorted[static_cast<size_t>(i)], aA, aB, aDepth);
    if (c == 0 && firstEq < 0) firstEq = i;
    if (c == 0) lastEq = i;
    if (c > 0 && firstG == -2) firstG = i;
    if (c < 0) lastL = i;
  }
  const bool eq = firstEq >= 0;
  switch (aAction) {
    case skaEqualFirst:
      return eq ? TExpect{true, firstEq} : TExpect{false, -3};
    case skaEqualLast:
      return eq ? TExpect{true, lastEq} : TExpect{false, -3};
    case skaAnyEqual:
      return eq ? TExpect{true, firstEq, true} : TExpect{false, -3};
    case skaGreaterEqual:
      return {true, eq ? firstEq : firstG};
    case skaAnyGreaterEqual:
      return eq ? TExpect{true, firstEq, true} : TExpect{true, firstG};
    case skaGreater:
    case skaAnyGreater:  // never the equal key
      return {true, firstG};
    case skaSmallerEqual:
      return {true, eq ? lastEq : lastL};
    case skaAnySmallerEqual:
      return eq ? TExpect{true, lastEq, true} : TExpect{true, lastL};
    case skaSmaller:
    case skaAnySmaller:
      return {true, lastL};
  }
  return {false, -3};
}

constexpr TnxSearchKeyAction kActions[] = {skaEqualFirst, skaGreaterEqual,    skaGreater,    skaEqualLast,
                                           skaSmallerEqual, skaSmaller,       skaAnyEqual,   skaAnyGreaterEqual,
                                           skaAnyGreater, skaAnySmallerEqual, skaAnySmaller};

// Runs of equal keys span several leaves (MaxLeaf 9): a with 12 and with
// 15 equal keys, 20 equal in A and the first 2 bytes of B, keys alone.
void FillSearchTable(NavWorld& aWorld, bool aUnique) {
  aWorld.Add(10, B(1, 1));
  for (uint64_t lo = 1; lo <= 20; ++lo) aWorld.Add(20, B(1, lo));
  for (int i = 0; i < (aUnique ? 1 : 12); ++i) aWorld.Add(20, B(2, 5));
  for (uint64_t lo = 1; lo <= 20; ++lo) aWorld.Add(20, B(3, lo));
  for (int i = 0; i < (aUnique ? 1 : 15); ++i) aWorld.Add(40, B(1, 1));
  for (uint64_t lo = 1; lo <= 10; ++lo) aWorld.Add(60, B(5, lo));
}

TEST(StaticKeyBstarTreeNavigationTest, FindKeyAnswersEveryActionAsTheModel) {
  struct TProbe {
    const char* Name;
    uint32_t A;
    uint64_t B;
  };
  struct TDepthCase {
    TDepth Depth;
    std::vector<TProbe> Probes;
  } depths[] = {
      {{"whole key", 0, 0},
       {{"present once", 20, B(1, 3)},
        {"duplicates", 20, B(2, 5)},
        {"absent between", 20, B(2, 6)},
        {"before all", 5, 0},
        {"after all", 99, 0}}},
      {{"field count 1", 1, 0},
       {{"present once", 10, 0},
        {"duplicates", 40, 0},
        {"absent between", 30, 0},
        {"before all", 5, 0},
        {"after all", 99, 0}}},
      {{"partial length 2", 1, 2},
       {{"present once", 10, B(1, 0)},
        {"duplicates", 20, B(2, 0)},
        {"absent between", 20, B(4, 0)},
        {"before all", 5, 0},
        {"after all", 99, 0}}},
  };
  for (const bool unique : {false, true}) {
    for (const bool empty : {false, true}) {
      NavWorld w(unique ? idNone : idAll);
      if (!empty) FillSearchTable(w, unique);
      const std::vector<TEntry> sorted = w.Sorted();
      for (const TDepthCase& d : depths) {
        for (const TProbe& probe : d.Probes) {
          for (const TnxSearchKeyAction action : kActions) {
            SCOPED_TRACE(std::string(unique ? "unique, " : "duplicates, ") + (empty ? "empty, " : "") + d.Depth.Name +
                         ", " + probe.Name + ", action " + std::to_string(action));
            auto path = w.Path();
            const std::vector<uint8_t> key = w.Key(probe.A, probe.B);
            const bool answer = w.Tree().FindKey(w.T(), key.data(), d.Depth.FieldCount, d.Depth.PartialLen, 0, *path,
                                                 action, nullptr);
            const TExpect e = Expected(sorted, probe.A, probe.B, d.Depth, action);
            ASSERT_EQ(answer, e.Answer);
            if (e.Index == -1) {
              EXPECT_TRUE(path->IsBof());
            } else if (e.Index == -2) {
              EXPECT_TRUE(path->IsEof());
            } else if (e.Index == -3) {
              EXPECT_TRUE(empty || path->IsOnCrack());
            } else {
              ASSERT_TRUE(path->IsOnKey());
              const TEntry* found = nullptr;
              for (const TEntry& x : sorted)
                if (x.RefNr == path->RefNr) found = &x;
              ASSERT_NE(found, nullptr);
              if (e.Any)
                EXPECT_EQ(Compare(*found, probe.A, probe.B, d.Depth), 0);
              else
                EXPECT_EQ(path->RefNr, sorted[static_cast<size_t>(e.Index)].RefNr);
            }
          }
        }
      }
    }
  }
}

// With duplicates a RefNr names the very entry; the one after it with
// skaGreaterEqual when it is not there.
TEST(StaticKeyBstarTreeNavigationTest, FindKeyWithARefNrLandsOnTheEntry) {
  NavWorld w(idAll);
  FillSearchTable(w, false);
  const std::vector<TEntry> sorted = w.Sorted();
  auto path = w.Path();
  const std::vector<uint8_t> key = w.Key(20, B(2, 5));
  std::vector<TnxRefNr> run;
  for (const TEntry& e : sorted)
    if (e.A == 20 && e.B == B(2, 5)) run.push_back(e.RefNr);
  ASSERT_EQ(run.size(), 12u);
  for (size_t i = 0; i < run.size(); ++i) {
    EXPECT_TRUE(w.Tree().FindKey(w.T(), key.data(), 0, 0, run[i], *path, skaEqualFirst, nullptr));
    EXPECT_EQ(path->RefNr, run[i]);
  }
  // Between two RefNrs of the run (they are not consecutive numbers in the
  // table when others were added between; here they are, so ask past the last).
  EXPECT_FALSE(w.Tree().FindKey(w.T(), key.data(), 0, 0, run.back() + 1000, *path, skaEqualFirst, nullptr));
  EXPECT_TRUE(w.Tree().FindKey(w.T(), key.data(), 0, 0, run.back() + 1000, *path, skaGreaterEqual, nullptr));
  EXPECT_EQ(w.Key(20, B(3, 1)), std::vector<uint8_t>(path->KeyBuffer(), path->KeyBuffer() + key.size()));
}

// A key filter is applied to the key FindKey settles on: the next key in
// the action's direction that passes.
TEST(StaticKeyBstarTreeNavigationTest, FindKeySkipsKeysTheKeyFilterRefuses) {
  NavWorld w(idNone, 16);
  for (uint64_t v = 1; v <= 200; ++v) w.Add(1, v);
  const std::vector<uint8_t> probe = w.Key(1, 0);
  const size_t bAt = probe.size() - 16;  // B is the key's last field
  TPredicateFilter odd([&](const uint8_t* aKey) { return (aKey[bAt + 7] & 1) != 0; });
  auto path = w.Path();
  const auto bOf = [&] {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | path->KeyBuffer()[bAt + static_cast<size_t>(i)];
    return v;
  };
  struct TCase {
    TnxSearchKeyAction Action;
    uint64_t Search;
    bool Answer;
    uint64_t On;  // 0: not on a key
  } cases[] = {
      {skaGreaterEqual, 50, true, 51}, {skaGreater, 51, true, 53},    {skaSmallerEqual, 50, true, 49},
      {skaSmaller, 49, true, 47},      {skaEqualFirst, 50, false, 0}, {skaEqualFirst, 51, true, 51},
      {skaGreaterEqual, 200, true, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Action) + " " + std::to_string(c.Search));
    const std::vector<uint8_t> key = w.Key(1, c.Search);
    EXPECT_EQ(w.Tree().FindKey(w.T(), key.data(), 0, 0, 0, *path, c.Action, &odd), c.Answer);
    if (c.On != 0) {
      ASSERT_TRUE(path->IsOnKey());
      EXPECT_EQ(bOf(), c.On);
    } else {
      EXPECT_FALSE(path->IsOnKey());
    }
  }
  // NextKey and PrevKey with the filter.
  const std::vector<uint8_t> key = w.Key(1, 51);
  ASSERT_TRUE(w.Tree().FindKey(w.T(), key.data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
  ASSERT_TRUE(w.Tree().NextKey(w.T(), *path, &odd));
  EXPECT_EQ(bOf(), 53u);
  ASSERT_TRUE(w.Tree().PrevKey(w.T(), *path, &odd));
  ASSERT_TRUE(w.Tree().PrevKey(w.T(), *path, &odd));
  EXPECT_EQ(bOf(), 49u);
}

// The path remembers its key; between its steps other paths insert and
// delete, its own key among them. Each step answers the model's neighbour
// of the remembered key, in (key, RefNr) order.
TEST(StaticKeyBstarTreeNavigationTest, StepsFollowTheModelWhileOthersChangeTheTree) {
  for (const TnxIndexDups dups : {idAll, idNone}) {
    SCOPED_TRACE(dups == idAll ? "duplicates" : "unique");
    NavWorld w(dups, 120);
    std::mt19937_64 rnd(dups == idAll ? 11 : 12);
    const auto pick = [&](uint64_t aBound) { return rnd() % aBound; };
    for (int i = 0; i < 300; ++i) w.Add(static_cast<uint32_t>(pick(40)), dups == idAll ? pick(5) : pick(1u << 30));
    auto path = w.Path();
    auto other = w.Path();
    enum { kBof, kEof, kOn } state = kBof;
    TEntry remembered;
    const auto less = [](const TEntry& x, const TEntry& y) {
      return std::tie(x.A, x.B, x.RefNr) < std::tie(y.A, y.B, y.RefNr);
    };
    path->SetToBof();
    const int64_t steps = testing::TestSize(3000, 10000);
    for (int64_t step = 0; step < steps; ++step) {
      SCOPED_TRACE(step);
      const uint64_t what = pick(10);
      if (what < 3) {
        w.Add(static_cast<uint32_t>(pick(40)), dups == idAll ? pick(5) : pick(1u << 30));
        // Another cursor moves about meanwhile.
        if (what == 0) w.Tree().FindKey(w.T(), w.Key(static_cast<uint32_t>(pick(40)), 0).data(), 1, 0, 0, *other,
                                        skaGreaterEqual, nullptr);
      } else if (what < 5) {
        const std::vector<TEntry> sorted = w.Sorted();
        if (sorted.size() > 5) {
          // Often the path's own key.
          TEntry victim = sorted[pick(sorted.size())];
          if (state == kOn && pick(3) == 0) victim = remembered;
          // The record engine hands freed RefNrs out again: the entry must be the same.
          if (std::any_of(sorted.begin(), sorted.end(), [&](const TEntry& e) {
                return e.RefNr == victim.RefNr && e.A == victim.A && e.B == victim.B;
              }))
            w.Remove(victim);
        }
      } else if (what == 5 && pick(4) == 0) {
        w.Fx().Commit();
      } else {
        const bool forward = what % 2 == 0;
        const std::vector<TEntry> sorted = w.Sorted();
        const TEntry* expected = nullptr;
        if (forward && state != kEof) {
          auto it = state == kBof ? sorted.begin() : std::upper_bound(sorted.begin(), sorted.end(), remembered, less);
          if (it != sorted.end()) expected = &*it;
        }
        if (!forward && state != kBof) {
          auto it = state == kEof ? sorted.end() : std::lower_bound(sorted.begin(), sorted.end(), remembered, less);
          if (it != sorted.begin()) expected = &*std::prev(it);
        }
        const bool answer = forward ? w.Tree().NextKey(w.T(), *path, nullptr) : w.Tree().PrevKey(w.T(), *path, nullptr);
        ASSERT_EQ(answer, expected != nullptr);
        if (expected) {
          ASSERT_TRUE(path->IsOnKey());
          ASSERT_EQ(path->RefNr, expected->RefNr);
          remembered = *expected;
          state = kOn;
        } else {
          ASSERT_TRUE(forward ? path->IsEof() : path->IsBof());
          state = forward ? kEof : kBof;
        }
      }
    }
    EXPECT_EQ(testing::TTreeChecker(w.Tree(), w.T()).Check().Error, "");
  }
}

// A path whose key another path deleted sits on its crack: CheckCurrentState
// says deleted, NextKey gives the key after it and PrevKey the one before.
TEST(StaticKeyBstarTreeNavigationTest, APathOnADeletedKeyStaysOnItsCrack) {
  for (const bool commitBetween : {false, true}) {
    SCOPED_TRACE(commitBetween);
    NavWorld w(idNone, 400);
    for (uint64_t v = 1; v <= 40; ++v) w.Add(1, v * 10);
    const std::vector<TEntry> sorted = w.Sorted();
    for (const bool next : {true, false}) {
      auto path = w.Path();
      const std::vector<uint8_t> key = w.Key(1, 200);
      ASSERT_TRUE(w.Tree().FindKey(w.T(), key.data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
      const TEntry victim = *std::find_if(sorted.begin(), sorted.end(), [](const TEntry& e) { return e.B == 200; });
      w.Remove(victim);
      if (commitBetween) w.Fx().Commit();
      w.Tree().ValidateIndexPath(w.T(), *path);
      EXPECT_EQ(path->CheckCurrentState(), nxeRecordDeleted);
      ASSERT_EQ(next ? w.Tree().NextKey(w.T(), *path, nullptr) : w.Tree().PrevKey(w.T(), *path, nullptr), true);
      EXPECT_EQ(w.Key(1, next ? 210 : 190), std::vector<uint8_t>(path->KeyBuffer(), path->KeyBuffer() + key.size()));
      w.Add(1, 200);
    }
  }
}

// Paths are validated before use: the leaf may have split, merged, been
// freed and reused by another index's node, or hold garbage; the path
// finds its key again and keeps its crack or on-key position.
TEST(StaticKeyBstarTreeNavigationTest, APathFindsItsKeyAfterItsLeafChanged) {
  struct TCase {
    const char* Name;
    TnxIndexPathPosition Position;
    std::function<void(NavWorld&)> Change;
  } cases[] = {
      {"leaf split by inserts", ippOnKey,
       [](NavWorld& w) {
         for (uint64_t v = 1; v < 30; ++v) w.Add(1, 501 + v * 10);
       }},
      {"crack before after inserts", ippOnCrackBefore,
       [](NavWorld& w) {
         for (uint64_t v = 1; v < 30; ++v) w.Add(1, 501 + v * 10);
       }},
      {"crack after after deletes", ippOnCrackAfter,
       [](NavWorld& w) {
         for (const TEntry& e : w.Sorted())
           if (e.B != 500 && e.B < 700) w.Remove(e);
       }},
      {"everything else deleted and added again", ippOnKey,
       [](NavWorld& w) {
         for (const TEntry& e : w.Sorted())
           if (e.B != 500) w.Remove(e);
         for (uint64_t v = 1; v < 80; ++v) w.Add(1, 1000 + v);
       }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    NavWorld w(idNone, 400);
    for (uint64_t v = 0; v < 60; ++v) w.Add(1, 200 + v * 10);
    w.Fx().Commit();
    auto path = w.Path();
    const std::vector<uint8_t> key = w.Key(1, 500);
    ASSERT_TRUE(w.Tree().FindKey(w.T(), key.data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
    const TnxRefNr refNr = path->RefNr;
    path->Position = c.Position;
    c.Change(w);
    w.Tree().ValidateIndexPath(w.T(), *path);
    EXPECT_EQ(path->Position, c.Position);
    EXPECT_EQ(path->RefNr, refNr);
    EXPECT_FALSE(path->IsDeleted());
    // The path's leaf and slot hold its key again.
    path->Position = ippOnKey;
    const std::vector<uint8_t> before(path->KeyBuffer(), path->KeyBuffer() + key.size());
    ASSERT_TRUE(w.Tree().NextKey(w.T(), *path, nullptr));
    ASSERT_TRUE(w.Tree().PrevKey(w.T(), *path, nullptr));
    EXPECT_EQ(path->RefNr, refNr);
    EXPECT_EQ(before, key);
  }
}

TEST(StaticKeyBstarTreeNavigationTest, AStalePathsLeafReusedOrDamagedIsNotTrusted) {
  NavWorld w(idNone, 400);
  for (uint64_t v = 0; v < 60; ++v) w.Add(1, v);
  w.Fx().Commit();
  auto path = w.Path();
  const std::vector<uint8_t> key = w.Key(1, 30);
  ASSERT_TRUE(w.Tree().FindKey(w.T(), key.data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
  const TnxRefNr refNr = path->RefNr;
  struct TCase {
    const char* Name;
    std::function<void(uint8_t*)> Bend;
  } cases[] = {
      {"window past the node", [](uint8_t* b) { platform::StoreU16(b + nxihFirstSlot, 0xFFF0); }},
      {"counter bumped, count zero",
       [](uint8_t* b) {
         platform::StoreU64(b + nxihChangeCounter, platform::LoadU64(b + nxihChangeCounter) + 1);
         platform::StoreU16(b + nxihKeyCount, 0);
       }},
      {"not a leaf", [](uint8_t* b) { b[nxihNodeKind] = nxnkInternal; }},
      {"freed", [](uint8_t* b) { std::memcpy(b, "DEAD", 4); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    // A copy of the leaf as it is, bent, put at the path's page of a
    // second path that believes it is exact.
    auto stale = w.Path();
    stale->Assign(path.get());
    {
      TnxBlockGuard g;
      g.Hold(w.Fx().Access().GetBlock(w.T(), stale->bpipPage, 0, true, g.ReleaseMethod()));
      c.Bend(g.Block());
      stale->bpipIdentCounter = platform::LoadU64(g.Block() + nxihChangeCounter);
      stale->bpipLSN = static_cast<TnxLSN>(platform::LoadU64(g.Block() + 8));
      stale->bpipItem = 5000;
    }
    // Only the stale path's check runs; the tree itself may refuse the
    // bent node with its damage error, never read outside it.
    const uint32_t code = ErrorCodeOf([&] { w.Tree().ValidateIndexPath(w.T(), *stale); });
    EXPECT_TRUE(code == 0 || code == nxeNotAnIndexBlock || code == nxeInvalidBlockNumber) << code;
    if (code == 0) {
      EXPECT_EQ(stale->RefNr, refNr);
    }
    w.Fx().Rollback();
  }
}

// A path that has only its record's RefNr gets its key from the record.
TEST(StaticKeyBstarTreeNavigationTest, APathWithoutAKeyTakesItFromItsRecord) {
  NavWorld w(idAll, 120);
  for (uint64_t v = 0; v < 60; ++v) w.Add(1, v % 20);
  const TEntry target = w.Sorted()[33];
  auto path = w.Path();
  path->RefNr = target.RefNr;
  path->Position = ippOnKey;
  path->bpipPage = nxNoNode;
  w.Tree().ValidateIndexPath(w.T(), *path);
  ASSERT_TRUE(path->KeyValid);
  EXPECT_EQ(path->RefNr, target.RefNr);
  const std::vector<uint8_t> key = w.Key(target.A, target.B);
  EXPECT_EQ(key, std::vector<uint8_t>(path->KeyBuffer(), path->KeyBuffer() + key.size()));
  ASSERT_TRUE(w.Tree().NextKey(w.T(), *path, nullptr));
  EXPECT_EQ(path->RefNr, w.Sorted()[34].RefNr);
}

// A key filter's time-out check ends a step on the key it was asked at and
// leaves its code; walks run without it and give it back.
TEST(StaticKeyBstarTreeNavigationTest, TheKeyFiltersTimeOutCheckEndsStepsButNotWalks) {
  NavWorld w(idNone, 120);
  for (uint64_t v = 0; v < 100; ++v) w.Add(1, v);
  TPredicateFilter none([](const uint8_t*) { return false; });
  uint32_t result = 0;
  int asked = 0;
  none.kfResult = &result;
  none.kfCheckTimeOut = [&](uint32_t& aResult) {
    if (++asked < 5) return false;
    aResult = nxeTimeout;
    return true;
  };
  auto path = w.Path();
  path->SetToBof();
  ASSERT_TRUE(w.Tree().NextKey(w.T(), *path, &none));
  EXPECT_EQ(path->RefNr, w.Sorted()[4].RefNr);
  EXPECT_EQ(result, nxeTimeout);
  asked = 0;
  int visited = 0;
  const TnxIndexKeyIterator count = [&](void*, TnxRefNr, const uint8_t*) { return ++visited, kirContinue; };
  w.Tree().Iterate(w.T(), path.get(), nullptr, count, nullptr, nullptr, {}, {}, nullptr, &none, false);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(visited, 0);
  EXPECT_TRUE(static_cast<bool>(none.kfCheckTimeOut));
}

// ---- iteration ----

struct TBound {
  bool Valid = false;
  uint64_t B = 0;
  bool Exclusive = false;
};

// The ranges, filters and positions of walks, against the sorted entries.
TEST(StaticKeyBstarTreeNavigationTest, IterateVisitsTheRangeThroughFiltersBothWays) {
  NavWorld w(idAll, 120);
  for (uint64_t v = 0; v < 150; ++v) {
    w.Add(1, v / 2);  // two of each B
  }
  const std::vector<TEntry> sorted = w.Sorted();
  const std::vector<uint8_t> probe = w.Key(1, 0);
  const size_t bAt = probe.size() - 120;
  TPredicateFilter keyFilter([&](const uint8_t* aKey) { return aKey[bAt + 7] % 3 != 0; });
  TPredicateFilter recordFilter([&](const uint8_t* aRecord) { return w.BOf(aRecord) % 2 == 0; });
  struct TCase {
    const char* Name;
    TBound Start, End;
    bool KeyFilter, RecordFilter, Buffer;
  } cases[] = {
      {"everything", {}, {}, false, false, false},
      {"closed range", {true, 10}, {true, 40}, false, false, false},
      {"exclusive bounds", {true, 10, true}, {true, 40, true}, false, false, false},
      {"open end", {true, 60}, {}, false, false, false},
      {"open start", {}, {true, 5}, false, false, false},
      {"start beyond end", {true, 40}, {true, 10}, false, false, false},
      {"bounds between keys", {true, 200}, {true, 300}, false, false, false},
      {"key filter", {true, 10}, {true, 40}, true, false, false},
      {"record filter", {true, 10}, {true, 40}, false, true, false},
      {"record filter into a buffer", {}, {}, true, true, true},
  };
  for (const TCase& c : cases) {
    for (const bool back : {false, true}) {
      SCOPED_TRACE(std::string(c.Name) + (back ? ", backward" : ""));
      std::vector<uint8_t> startKey = w.Key(1, c.Start.B), endKey = w.Key(1, c.End.B);
      const TnxRangeInfo start{startKey.data(), 0, 0, c.Start.Exclusive, c.Start.Valid};
      const TnxRangeInfo end{endKey.data(), 0, 0, c.End.Exclusive, c.End.Valid};
      std::vector<TnxRefNr> expected;
      for (const TEntry& e : sorted) {
        if (c.Start.Valid && (e.B < c.Start.B || (c.Start.Exclusive && e.B == c.Start.B))) continue;
        if (c.End.Valid && (e.B > c.End.B || (c.End.Exclusive && e.B == c.End.B))) continue;
        if (c.KeyFilter && e.B % 3 == 0) continue;
        if (c.RecordFilter && e.B % 2 != 0) continue;
        expected.push_back(e.RefNr);
      }
      if (back) std::reverse(expected.begin(), expected.end());
      std::vector<TnxRefNr> seen;
      std::vector<uint8_t> buffer(w.Fx().RecordLength(), 0);
      PnxRecordBuffer data = c.Buffer ? buffer.data() : nullptr;
      const TnxStorageRecordIterator collect = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
        EXPECT_NE(aRecord, nullptr);
        seen.push_back(aRefNr);
        return rirContinue;
      };
      auto path = w.Path();
      TnxBaseIndexEngine& tree = w.Tree();
      (tree.*(back ? &TnxBaseIndexEngine::IterateBackward : &TnxBaseIndexEngine::Iterate))(
          w.T(), path.get(), c.Buffer ? &data : nullptr, nullptr, collect, nullptr, start, end,
          c.RecordFilter ? &recordFilter : nullptr, c.KeyFilter ? &keyFilter : nullptr, false);
      EXPECT_EQ(seen, expected);
      EXPECT_TRUE(back ? path->IsBof() : path->IsEof());
    }
  }
}

TEST(StaticKeyBstarTreeNavigationTest, IteratorsStopAndSkipAndKeptPositionsGoOn) {
  NavWorld w(idNone, 120);
  for (uint64_t v = 0; v < 100; ++v) w.Add(1, v);
  const std::vector<TEntry> sorted = w.Sorted();
  auto path = w.Path();
  // kirStop leaves the path on that key; kirSkipKey keeps the record away.
  std::vector<TnxRefNr> records;
  const TnxIndexKeyIterator keys = [&](void*, TnxRefNr aRefNr, const uint8_t*) {
    if (aRefNr == sorted[30].RefNr) return kirStop;
    return aRefNr == sorted[10].RefNr ? kirSkipKey : kirContinue;
  };
  const TnxStorageRecordIterator recs = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer) {
    records.push_back(aRefNr);
    return rirContinue;
  };
  w.Tree().Iterate(w.T(), path.get(), nullptr, keys, recs, nullptr, {}, {}, nullptr, nullptr, false);
  ASSERT_TRUE(path->IsOnKey());
  EXPECT_EQ(path->RefNr, sorted[30].RefNr);
  EXPECT_EQ(records.size(), 29u);
  EXPECT_EQ(std::count(records.begin(), records.end(), sorted[10].RefNr), 0);
  // Kept, the walk goes on after the key; rirStop leaves the path there.
  records.clear();
  const TnxStorageRecordIterator stopAt40 = [&](void*, TnxRefNr aRefNr, PnxRecordBuffer) {
    records.push_back(aRefNr);
    return aRefNr == sorted[40].RefNr ? rirStop : rirContinue;
  };
  w.Tree().Iterate(w.T(), path.get(), nullptr, nullptr, stopAt40, nullptr, {}, {}, nullptr, nullptr, true);
  ASSERT_EQ(records.size(), 10u);
  EXPECT_EQ(records.front(), sorted[31].RefNr);
  EXPECT_EQ(path->RefNr, sorted[40].RefNr);
  // A kept position past the range end visits nothing.
  records.clear();
  std::vector<uint8_t> endKey = w.Key(1, 20);
  w.Tree().Iterate(w.T(), path.get(), nullptr, nullptr, recs, nullptr, {}, {endKey.data(), 0, 0, false, true},
                   nullptr, nullptr, true);
  EXPECT_TRUE(records.empty());
  EXPECT_TRUE(path->IsEof());
  // Backward, kept, from the key before a crack.
  ASSERT_TRUE(w.Tree().FindKey(w.T(), w.Key(1, 50).data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
  path->SetToCrackAfter();
  records.clear();
  w.Tree().IterateBackward(w.T(), path.get(), nullptr, nullptr, recs, nullptr, {}, {}, nullptr, nullptr, true);
  // The crack after 50 is left to 50 itself first.
  ASSERT_EQ(records.size(), 51u);
  EXPECT_EQ(records.front(), sorted[50].RefNr);
  // Records need the record engine; keys alone do not.
  EXPECT_EQ(ErrorCodeOf([&] {
              auto p = w.Path();
              w.Tree().Iterate(w.T(), p.get(), nullptr, nullptr, recs, nullptr, {}, {}, nullptr, nullptr, false);
            }),
            0u);
}

// The walk holds the transaction's lock while it runs and gives it back on
// every way out; a cancelled walk stops at the next leaf with 15461.
TEST(StaticKeyBstarTreeNavigationTest, ALongIterationHoldsTheLockAndStopsWhenCancelled) {
  NavWorld w(idNone, 120);  // MaxLeaf 31
  for (uint64_t v = 0; v < 1000; ++v) w.Add(1, v);
  TnxBaseTransaction& trans = *w.T();
  ASSERT_FALSE(trans.IsLocked());
  int64_t seen = 0;
  bool lockedAll = true;
  const TnxIndexKeyIterator count = [&](void*, TnxRefNr, const uint8_t*) {
    lockedAll = lockedAll && trans.IsLocked();
    if (++seen == 100) nxThreadCancelFlag()->store(true);
    return kirContinue;
  };
  auto path = w.Path();
  EXPECT_EQ(ErrorCodeOf([&] {
              w.Tree().Iterate(&trans, path.get(), nullptr, count, nullptr, nullptr, {}, {}, nullptr, nullptr, false);
            }),
            nxeTimeout);
  nxThreadCancelFlag()->store(false);
  EXPECT_TRUE(lockedAll);
  EXPECT_FALSE(trans.IsLocked());
  // It stopped at the next leaf, not at the end.
  EXPECT_GE(seen, 100);
  EXPECT_LT(seen, 100 + w.Tree().MaxLeaf() + 1);
  // An iterator that raises also gives the lock back.
  const TnxIndexKeyIterator raise = [&](void*, TnxRefNr, const uint8_t*) -> TnxKeyIteratorResult {
    throw EnxBaseIndexEngineException(nxeInvalidParameter, u"test");
  };
  EXPECT_EQ(ErrorCodeOf([&] {
              w.Tree().IterateBackward(&trans, path.get(), nullptr, raise, nullptr, nullptr, {}, {}, nullptr, nullptr,
                                       false);
            }),
            nxeInvalidParameter);
  EXPECT_FALSE(trans.IsLocked());
}

// ---- record numbers ----

// RecNoSet(RecNoGet(p)) is p, both ways, with and without filters and
// ranges; each number is the model's count.
TEST(StaticKeyBstarTreeNavigationTest, RecordNumbersRoundTripBothWays) {
  NavWorld w(idAll, 120);
  std::mt19937_64 rnd(7);
  for (int i = 0; i < 400; ++i) w.Add(1, rnd() % 150);
  const std::vector<TEntry> sorted = w.Sorted();
  const size_t bAt = w.Key(1, 0).size() - 120;
  TPredicateFilter keyFilter([&](const uint8_t* aKey) { return aKey[bAt + 7] % 3 != 0; });
  TPredicateFilter recordFilter([&](const uint8_t* aRecord) { return w.BOf(aRecord) % 2 == 0; });
  struct TCase {
    const char* Name;
    TBound Start, End;
    bool KeyFilter, RecordFilter;
  } cases[] = {
      {"whole index", {}, {}, false, false},
      {"range", {true, 20}, {true, 90}, false, false},
      {"exclusive range", {true, 20, true}, {true, 90, true}, false, false},
      {"key filter", {}, {true, 100}, true, false},
      {"record filter", {true, 30}, {}, false, true},
      {"both filters and a range", {true, 10}, {true, 120}, true, true},
  };
  for (const TCase& c : cases) {
    std::vector<uint8_t> startKey = w.Key(1, c.Start.B), endKey = w.Key(1, c.End.B);
    const TnxRangeInfo start{startKey.data(), 0, 0, c.Start.Exclusive, c.Start.Valid};
    const TnxRangeInfo end{endKey.data(), 0, 0, c.End.Exclusive, c.End.Valid};
    std::vector<TEntry> counted;
    for (const TEntry& e : sorted) {
      if (c.Start.Valid && (e.B < c.Start.B || (c.Start.Exclusive && e.B == c.Start.B))) continue;
      if (c.End.Valid && (e.B > c.End.B || (c.End.Exclusive && e.B == c.End.B))) continue;
      if ((c.KeyFilter && e.B % 3 == 0) || (c.RecordFilter && e.B % 2 != 0)) continue;
      counted.push_back(e);
    }
    TnxBaseFilterEngine* kf = c.KeyFilter ? &keyFilter : nullptr;
    TnxBaseFilterEngine* rf = c.RecordFilter ? &recordFilter : nullptr;
    for (const bool flip : {false, true}) {
      SCOPED_TRACE(std::string(c.Name) + (flip ? ", flipped" : ""));
      for (size_t i = 0; i < counted.size(); ++i) {
        auto path = w.Path();
        ASSERT_TRUE(w.Tree().FindKey(w.T(), w.Key(1, counted[i].B).data(), 0, 0, counted[i].RefNr, *path,
                                     skaEqualFirst, nullptr));
        uint32_t recNo = 0;
        ASSERT_EQ(w.Tree().RecNoGet(w.T(), *path, start, end, rf, kf, recNo, flip), 0u);
        ASSERT_EQ(recNo, flip ? counted.size() - i : i + 1);
        auto back = w.Path();
        ASSERT_EQ(w.Tree().RecNoSet(w.T(), recNo, *back, start, end, rf, kf, flip), 0u);
        ASSERT_EQ(back->RefNr, counted[i].RefNr);
      }
      auto path = w.Path();
      EXPECT_EQ(w.Tree().RecNoSet(w.T(), static_cast<uint32_t>(counted.size() + 1), *path, start, end, rf, kf, flip),
                flip ? nxeAtBeginningOfTable : nxeAtEndOfTable);
      EXPECT_EQ(w.Tree().RecNoSet(w.T(), 0, *path, start, end, rf, kf, flip), nxeAtBeginningOfTable);
      EXPECT_TRUE(path->IsBof());
    }
  }
}

TEST(StaticKeyBstarTreeNavigationTest, RecordNumbersRefuseWhatTheyCannotCount) {
  NavWorld w(idNone, 120);
  for (uint64_t v = 0; v < 50; ++v) w.Add(1, v);
  std::vector<uint8_t> startKey = w.Key(1, 20), endKey = w.Key(1, 30);
  const TnxRangeInfo start{startKey.data(), 0, 0, false, true};
  const TnxRangeInfo end{endKey.data(), 0, 0, false, true};
  auto path = w.Path();
  uint32_t recNo = 99;
  struct TCase {
    const char* Name;
    std::function<void()> Place;
    uint32_t Code;
  } cases[] = {
      {"at Bof", [&] { path->SetToBof(); }, nxeAtBeginningOfTable},
      {"unknown", [&] { path->Clear(); }, nxeNoCurrentRecord},
      {"before the range",
       [&] { w.Tree().FindKey(w.T(), w.Key(1, 5).data(), 0, 0, 0, *path, skaEqualFirst, nullptr); },
       nxeAtBeginningOfTable},
      {"after the range",
       [&] { w.Tree().FindKey(w.T(), w.Key(1, 35).data(), 0, 0, 0, *path, skaEqualFirst, nullptr); },
       nxeAtEndOfTable},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    c.Place();
    EXPECT_EQ(w.Tree().RecNoGet(w.T(), *path, start, end, nullptr, nullptr, recNo, false), c.Code);
    EXPECT_EQ(recNo, 0u);
  }
  // An empty index has no numbers.
  NavWorld empty(idNone, 120);
  auto p = empty.Path();
  EXPECT_EQ(empty.Tree().RecNoSet(empty.T(), 1, *p, {}, {}, nullptr, nullptr, false), nxeAtEndOfTable);
  EXPECT_TRUE(p->IsEof());
}

// ---- estimates ----

TEST(StaticKeyBstarTreeNavigationTest, EstimatesAreExactInOneLeafAndSafeOnOddCounts) {
  NavWorld w(idNone, 120);  // MaxLeaf 31
  for (uint64_t v = 0; v < 20; ++v) w.Add(1, v * 2);
  struct TCase {
    TBound Start, End;
    uint32_t Count;
  } cases[] = {
      {{}, {}, 20},
      {{true, 10}, {true, 20}, 6},
      {{true, 10, true}, {true, 20, true}, 4},
      {{true, 11}, {true, 11}, 0},
      {{true, 12}, {true, 12}, 1},
      {{true, 30}, {true, 10}, 0},
      {{true, 100}, {}, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Start.B) + ".." + std::to_string(c.End.B));
    std::vector<uint8_t> startKey = w.Key(1, c.Start.B), endKey = w.Key(1, c.End.B);
    const TnxRangeInfo start{startKey.data(), 0, 0, c.Start.Exclusive, c.Start.Valid};
    const TnxRangeInfo end{endKey.data(), 0, 0, c.End.Exclusive, c.End.Valid};
    uint32_t count = 99;
    EXPECT_EQ(w.Tree().EstimateRecordCount(w.T(), start, end, count, false), 0u);
    EXPECT_EQ(count, c.Count);
    EXPECT_EQ(w.Tree().EstimateRecordCount(w.T(), end, start, count, true), 0u);
    EXPECT_EQ(count, c.Count);
  }
  // Deep trees with page counts that give no usable leaf fill: no division
  // by zero, no endless iteration, never more than the key count.
  for (const uint32_t pages : {0u, 1u, 2u, 3u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(pages);
    NavWorld deep(idNone, 400);  // MaxLeaf 9, MaxInternal 9
    for (uint64_t v = 0; v < 2000; ++v) deep.Tree().InsertKey(*deep.T(), deep.Key(1, v).data(), v + 1, 0, nullptr);
    ASSERT_GE(testing::TTreeChecker(deep.Tree(), deep.T()).Check().Depth, 3);
    deep.Tree().CreateHeaderAccess(deep.T(), true, true, 0, 0)->SetIndexPageCount(pages);
    std::vector<uint8_t> startKey = deep.Key(1, 100), endKey = deep.Key(1, 1900);
    uint32_t count = 0;
    EXPECT_EQ(deep.Tree().EstimateRecordCount(deep.T(), {startKey.data(), 0, 0, false, true},
                                              {endKey.data(), 0, 0, false, true}, count, false),
              0u);
    EXPECT_LE(count, 2000u);
  }
}

// Random ranges of at least 1000 keys in a large tree: within a factor of 2.
TEST(StaticKeyBstarTreeNavigationTest, EstimatesOfLargeRangesAreWithinAFactorOfTwo) {
  NavWorld w(idNone, 8);
  const uint64_t keys = testing::TestSize<uint64_t>(200000, 1000000);
  std::vector<uint64_t> values(keys);
  for (uint64_t i = 0; i < keys; ++i) values[i] = i;
  std::mt19937_64 rnd(3);
  std::shuffle(values.begin(), values.end(), rnd);
  for (uint64_t i = 0; i < keys; ++i) {
    ASSERT_TRUE(w.Tree().InsertKey(*w.T(), w.Key(1, values[i]).data(), static_cast<TnxRefNr>(values[i] + 1), 0,
                                   nullptr));
    if (i % 50000 == 49999) w.Fx().Commit();
  }
  w.Fx().Commit();
  for (int i = 0; i < 200; ++i) {
    const uint64_t length = 1000 + rnd() % (keys / 4);
    const uint64_t from = rnd() % (keys - length);
    std::vector<uint8_t> startKey = w.Key(1, from), endKey = w.Key(1, from + length - 1);
    uint32_t count = 0;
    w.Tree().EstimateRecordCount(w.T(), {startKey.data(), 0, 0, false, true}, {endKey.data(), 0, 0, false, true},
                                 count, false);
    EXPECT_GE(count * 2.0, static_cast<double>(length)) << from << " +" << length;
    EXPECT_LE(count, length * 2.0) << from << " +" << length;
  }
}

}  // namespace
}  // namespace revurov
