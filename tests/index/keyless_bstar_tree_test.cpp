#include "index/keyless_bstar_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/bulk_build.h"
#include "index/bulk_build_keyless.h"
#include "index/index_path.h"
#include "index/keyless_bstar_tree_path.h"
#include "index/keyless_key_cache.h"
#include "index/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/block_access.h"
#include "storage/header_access.h"
#include "storage/release_method.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/bstar_tree_checker.h"
#include "support/bstar_tree_model.h"
#include "support/exception_message.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::TTableFixture;
using testing::TTableShape;
using testing::TTreeChecker;
using testing::TTreeEntry;
using testing::TTreeModel;
using testing::TTreeReport;

struct TTreeShape {
  int32_t DataBytes;  // the key is a null-flag byte and these bytes
  TnxIndexDups Dups;
  int32_t Indices = 1;
};

int64_t CountNodes(const TnxCacheNode* aNode) {
  return aNode ? 1 + CountNodes(aNode->cnLeft) + CountNodes(aNode->cnRight) : 0;
}

// A table whose indices run on the keyless engine; every entry names a
// record that holds its key. A key of value v holds v big-endian in its
// first 8 bytes and a pattern of v after them, so keys order as values.
class KeylessWorld {
public:
  explicit KeylessWorld(const TTreeShape& aShape)
      : fx_(TTableShape{.DataBytes = aShape.DataBytes}) {
    auto* indices = fx_.Dict().EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    for (int32_t i = 0; i < aShape.Indices; ++i) {
      TnxIndexDescriptor* d = indices->AddIndex(i == 0 ? u"Tree" : u"Tree" + std::u16string(1, u'0' + i), 0,
                                                aShape.Dups, u"", &TnxCompKeyDescriptor::ClassInfo());
      static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
      d->SetIndexEngine(u"KeylessBStarTree");
      TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*d);
    }
    engine_ = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), &fx_.Records(), &fx_.Trans(), false);
    fx_.Commit();
  }

  TnxKeylessBstarTreeIndexEngine& Tree(int32_t aIndex = 0) {
    return dynamic_cast<TnxKeylessBstarTreeIndexEngine&>(engine_->Indices(aIndex));
  }
  TTableFixture& Fx() { return fx_; }
  TnxBaseTransaction& Trans() { return fx_.Trans(); }
  TnxBaseIndicesEngine& Engine() { return *engine_; }

  std::vector<uint8_t> Record(int64_t aValue, bool aNull = false) {
    std::vector<uint8_t> record(fx_.RecordLength(), 0);
    const auto& fields = fx_.Dict().FieldsDescriptor();
    uint8_t* data = record.data() + fields.FieldDescriptor(0)->Offset();
    const int32_t bytes = fields.FieldDescriptor(0)->Length();
    const int32_t high = std::min(bytes, 8);
    for (int32_t i = 0; i < bytes; ++i)
      data[i] = i < high ? static_cast<uint8_t>(static_cast<uint64_t>(aValue) >> (8 * (high - 1 - i)))
                         : static_cast<uint8_t>(aValue * 31 + i);
    fields.SetRecordFieldNull(0, record.data(), aNull);
    return record;
  }
  std::vector<uint8_t> KeyOfRecord(const std::vector<uint8_t>& aRecord) {
    std::vector<uint8_t> key(Tree().KeyEngine().KeyLength(), 0);
    EXPECT_EQ(Tree().KeyEngine().BuildKey(aRecord.data(), key.data(), 1, true), 0u);
    return key;
  }
  std::vector<uint8_t> Key(int64_t aValue, bool aNull = false) { return KeyOfRecord(Record(aValue, aNull)); }
  // A new record of the value; the entry it gives.
  TTreeEntry Add(int64_t aValue, bool aNull = false) {
    std::vector<uint8_t> record = Record(aValue, aNull);
    TnxRefNr ref = 0;
    fx_.Records().AddRecord(Trans(), ref, record.data());
    return {KeyOfRecord(record), ref};
  }
  // The key of a record as the transaction sees it.
  std::vector<uint8_t> KeyOf(TnxRefNr aRefNr) {
    std::vector<uint8_t> record(fx_.RecordLength(), 0);
    fx_.Records().ReadRecord(&Trans(), aRefNr, record.data());
    return KeyOfRecord(record);
  }
  bool Insert(const TTreeEntry& e, TnxBaseIndexPath* aPath = nullptr, int32_t aIndex = 0) {
    return Tree(aIndex).InsertKey(Trans(), e.first.data(), e.second, 0, aPath);
  }
  bool Delete(const TTreeEntry& e, TnxBaseIndexPath* aPath = nullptr, int32_t aIndex = 0) {
    return Tree(aIndex).DeleteKey(Trans(), e.first.data(), e.second, 0, aPath);
  }
  TTreeReport Check(int32_t aIndex = 0) {
    return TTreeChecker(Tree(aIndex), &Trans(), [this](TnxRefNr r) { return KeyOf(r); }).Check();
  }
  // Every entry by a forward walk, and the largest number of cache nodes
  // the walking path held at any entry.
  std::vector<TTreeEntry> Walk(int64_t& aPeakNodes, bool aBack = false, int32_t aIndex = 0) {
    std::vector<TTreeEntry> out;
    auto path = Tree(aIndex).CreateIndexPath();
    auto* keyless = dynamic_cast<TnxKeylessBstarTreeIndexPath*>(path.get());
    const uint32_t length = Tree(aIndex).KeyEngine().KeyLength();
    aPeakNodes = 0;
    const TnxIndexKeyIterator keys = [&](void*, TnxRefNr aRefNr, const uint8_t* aKey) {
      out.push_back({std::vector<uint8_t>(aKey, aKey + length), aRefNr});
      aPeakNodes = std::max(aPeakNodes, CountNodes(keyless->KeyCache()->Root()));
      return kirContinue;
    };
    const TnxRangeInfo open;
    if (aBack) {
      Tree(aIndex).IterateBackward(&Trans(), path.get(), nullptr, keys, nullptr, nullptr, open, open, nullptr, nullptr,
                                   false);
      std::reverse(out.begin(), out.end());
    } else {
      Tree(aIndex).Iterate(&Trans(), path.get(), nullptr, keys, nullptr, nullptr, open, open, nullptr, nullptr, false);
    }
    EXPECT_TRUE(keyless->KeyCache()->Empty());
    return out;
  }

private:
  TnxStorageStartupGuard storage_;
  TnxIndexStartupGuard startup_;
  TTableFixture fx_;
  std::unique_ptr<TnxBaseIndicesEngine> engine_;
};

// ---- geometry and shape ----

TEST(KeylessBstarTreeTest, SlotsHoldOnlyReferencesWhateverTheKeyLength) {
  for (int32_t bytes : {7, 400, 5000}) {
    SCOPED_TRACE(bytes);
    KeylessWorld w({bytes, idAll});
    EXPECT_TRUE(w.Tree().IsKeyless());
    const uint32_t usable = w.Tree().IndexFile().fiBlockSizeBytes();
    if (bytes < 1000) {
      EXPECT_EQ(usable, 4092u);
    }
    EXPECT_EQ(w.Tree().MaxLeaf(), (usable - 40) / 8);  // 506 of 4092 bytes
    EXPECT_EQ(w.Tree().MaxInternal(), (usable - 44) / 12);  // 337
    EXPECT_EQ(w.Tree().LeafKeyOffset(2), 40u + 16u);
    EXPECT_EQ(w.Tree().TreePointerOffset(1), 52u);
    EXPECT_EQ(w.Tree().InternalKeyOffset(1), 56u);
    EXPECT_EQ(w.Tree().ClassName(), u"TnxKeylessBstarTreeIndexEngine");
  }
}

TEST(KeylessBstarTreeTest, WithoutARecordEngineTheEngineIsRefused) {
  TnxStorageStartupGuard storage;
  TnxIndexStartupGuard startup;
  TTableFixture fx;
  auto* indices = fx.Dict().EnsureIndicesDescriptor();
  while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
  TnxIndexDescriptor* d = indices->AddIndex(u"Tree", 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
  static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
  d->SetIndexEngine(u"KeylessBStarTree");
  try {
    TnxBaseIndicesEngine::CreateEngine(fx.Dict(), fx.Files(), nullptr, &fx.Trans(), false);
    ADD_FAILURE() << "created";
  } catch (const EnxKeylessBstarTreeIndexEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeCapabilityNotSupported);
    EXPECT_HAS_TEXT(std::u16string(e.Message()), u"TnxKeylessBstarTreeIndexEngine requires a RecordEngine");
  }
}

// 506 entries fill the root leaf; the 507th splits it into 253 and 254,
// the right half from slot 126, under a root holding the left's last RefNr.
TEST(KeylessBstarTreeTest, TheFirstEntryIsCentredAndThe507thSplitsTheRootLeaf) {
  KeylessWorld w({7, idAll});
  std::vector<TTreeEntry> entries;
  for (int64_t v = 0; v < 507; ++v) entries.push_back(w.Add(v * 3));
  auto path = w.Tree().CreateIndexPath();
  ASSERT_TRUE(w.Insert(entries[0], path.get()));
  auto& own = dynamic_cast<TnxKeylessBstarTreeIndexPath&>(*path);
  EXPECT_EQ(own.bpipItem, 253);
  EXPECT_EQ(own.RefNr, entries[0].second);
  EXPECT_EQ(own.CacheRefNr, 0);
  EXPECT_TRUE(own.KeyCache()->Empty());
  EXPECT_EQ(own.KeyCacheTrans(), nullptr);
  for (size_t i = 1; i < 506; ++i) ASSERT_TRUE(w.Insert(entries[i]));
  TTreeReport r = w.Check();
  ASSERT_EQ(r.Error, "");
  ASSERT_EQ(r.Leaves.size(), 1u);
  EXPECT_EQ(r.LeafFirsts[0], 0u);
  ASSERT_TRUE(w.Insert(entries[506]));
  r = w.Check();
  ASSERT_EQ(r.Error, "");
  ASSERT_EQ(r.Leaves.size(), 2u);
  EXPECT_EQ(r.Leaves[0].size(), 253u);
  EXPECT_EQ(r.Leaves[1].size(), 254u);
  EXPECT_EQ(r.LeafFirsts[1], 126u);
  EXPECT_EQ(r.Depth, 1);
  EXPECT_EQ(r.Entries, entries);
  auto header = w.Tree().CreateHeaderAccess(&w.Trans(), false, false, 0, 0);
  TnxBlockGuard guard;
  guard.Hold(w.Tree().IndexFile().GetBlock(&w.Trans(), header->GetIndexRoot(), w.Tree().IndicesEngine().bseID, false,
                                           guard.ReleaseMethod()));
  EXPECT_EQ(platform::LoadU16(guard.Block() + nxihKeyCount), 1);
  EXPECT_EQ(static_cast<TnxRefNr>(platform::LoadU64(guard.Block() + 44)), entries[252].second);
}

TEST(KeylessBstarTreeTest, DuplicateRulesFollowTheIndex) {
  struct TCase {
    const char* Name;
    TnxIndexDups Dups;
    bool Null;
    bool SecondGoesIn;
  } cases[] = {
      {"all duplicates", idAll, false, true},
      {"unique", idNone, false, false},
      {"NULL-only, key with a NULL", idNull, true, true},
      {"NULL-only, key without", idNull, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    KeylessWorld w({7, c.Dups});
    // Enough entries that the equal key may sit at a leaf's edge.
    std::vector<TTreeEntry> entries;
    for (int64_t v = 0; v < 1200; ++v) entries.push_back(w.Add(v * 2));
    for (const TTreeEntry& e : entries) ASSERT_TRUE(w.Insert(e));
    for (int64_t v : {0, 506, 507, 1012, 2398}) {
      const TTreeEntry first = w.Add(v * 2 + 1, c.Null);
      const TTreeEntry second = w.Add(v * 2 + 1, c.Null);
      ASSERT_TRUE(w.Insert(first));
      EXPECT_FALSE(w.Insert(first));
      EXPECT_EQ(w.Insert(second), c.SecondGoesIn);
    }
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Entries.size(), 1200u + (c.SecondGoesIn ? 10u : 5u));
  }
}

// ---- the model ----

struct TModelCase {
  const char* Name;
  TTreeShape Shape;
};

class KeylessBstarTreeModelTest : public ::testing::TestWithParam<TModelCase> {};

// Random bursts of ordered and scattered inserts and deletes of records'
// keys, in batches of which some roll back: every answer equals the
// model's; the checker finds a sound tree of exactly the model's entries;
// walks both ways, exact searches and record numbers agree with it.
TEST_P(KeylessBstarTreeModelTest, EveryAnswerAndTheWholeTreeEqualTheModel) {
  const TModelCase& c = GetParam();
  KeylessWorld w(c.Shape);
  TTreeModel model(w.Tree().KeyEngine(), c.Shape.Dups);
  const int64_t steps = testing::TestSize(30000, 300000);
  const int64_t domain = steps / 4 + 10;
  std::mt19937_64 rnd(0x77 + static_cast<uint64_t>(c.Shape.Dups));
  const auto pick = [&](int64_t aBound) { return static_cast<int64_t>(rnd() % static_cast<uint64_t>(aBound)); };
  auto path = w.Tree().CreateIndexPath();
  auto& keyless = dynamic_cast<TnxKeylessBstarTreeIndexPath&>(*path);
  const auto add = [&](int64_t aValue) { return w.Add(aValue, aValue % 11 == 0 && c.Shape.Dups != idNone); };
  int64_t step = 0, batch = 0;
  int32_t deepest = 0;
  const auto check = [&](const char* aWhen) {
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "") << aWhen << " at step " << step;
    deepest = std::max(deepest, r.Depth);
    const std::vector<TTreeEntry> expected = model.Contents();
    ASSERT_EQ(r.Entries, expected) << aWhen << " at step " << step;
    int64_t peak = 0;
    ASSERT_EQ(w.Walk(peak), expected) << aWhen;
    EXPECT_LE(peak, 1);
    ASSERT_EQ(w.Walk(peak, true), expected) << aWhen;
    const TnxRangeInfo open;
    for (int probe = 0; probe < 20 && !expected.empty(); ++probe) {
      const size_t i = static_cast<size_t>(pick(static_cast<int64_t>(expected.size())));
      const TTreeEntry& e = expected[i];
      ASSERT_TRUE(w.Tree().FindKey(&w.Trans(), e.first.data(), 0, 0, e.second, *path, skaEqualFirst, nullptr));
      if (c.Shape.Dups != idNone) {
        ASSERT_EQ(path->RefNr, e.second);
        uint32_t recNo = 0;
        ASSERT_EQ(w.Tree().RecNoGet(&w.Trans(), *path, open, open, nullptr, nullptr, recNo, false), 0u);
        EXPECT_EQ(recNo, i + 1);
        ASSERT_EQ(w.Tree().RecNoSet(&w.Trans(), static_cast<uint32_t>(i + 1), *path, open, open, nullptr, nullptr,
                                    false),
                  0u);
        EXPECT_EQ(path->RefNr, e.second);
      }
      ASSERT_TRUE(keyless.KeyCache()->Empty());
      ASSERT_EQ(keyless.KeyCacheTrans(), nullptr);
    }
  };
  while (step < steps) {
    const int64_t kind = pick(7);
    const int64_t length = 1 + pick(kind < 2 ? 200 : 40);
    const int64_t start = pick(domain);
    for (int64_t i = 0; i < length && step < steps; ++i, ++step) {
      TnxBaseIndexPath* p = step % 3 == 0 ? path.get() : nullptr;
      bool expected, answer;
      TTreeEntry e;
      switch (kind) {
        case 0:  // ascending run
        case 1:  // descending run
        {
          const int64_t base = (step * 7919) % domain;
          e = add(kind == 0 ? base + i : domain - base - i);
          expected = model.Insert(e);
          answer = w.Insert(e, p);
          break;
        }
        case 2:
        case 3:
          e = add(pick(domain));
          expected = model.Insert(e);
          answer = w.Insert(e, p);
          break;
        case 4:
        case 5: {  // existing entries from a point on
          const TTreeEntry* near = model.Near({w.Key(start + i), 0});
          if (!near) continue;
          e = *near;
          expected = model.Delete(e);
          answer = w.Delete(e, p);
          break;
        }
        default:  // the same entry again, or a new record of an existing key
        {
          const TTreeEntry* near = model.Near({w.Key(pick(domain)), 0});
          if (!near) continue;
          e = pick(2) == 0 ? *near : TTreeEntry{};
          if (e.second == 0) {
            std::vector<uint8_t> record(w.Fx().RecordLength(), 0);
            w.Fx().Records().ReadRecord(&w.Trans(), near->second, record.data());
            w.Fx().Records().AddRecord(w.Trans(), e.second, record.data());
            e.first = near->first;
          }
          expected = model.Insert(e);
          answer = w.Insert(e, p);
          break;
        }
      }
      ASSERT_EQ(answer, expected) << "step " << step << " kind " << kind;
      if (answer && kind != 4 && kind != 5) {
        ASSERT_TRUE(p == nullptr || (p->IsOnKey() && p->RefNr == e.second));
      }
      ASSERT_TRUE(keyless.KeyCache() == nullptr || keyless.KeyCache()->Empty());
      if ((step + 1) % 1000 == 0) {
        if (++batch % 7 == 0) {
          w.Fx().Rollback();
          model.Rollback();
          check("after a rollback");
        } else {
          w.Fx().Commit();
          model.Commit();
        }
      }
      if ((step + 1) % testing::TestSize(4000, 50000) == 0) check("during the run");
    }
  }
  check("at the end");
  EXPECT_GE(deepest, testing::LongTests() ? 2 : 1);
  w.Fx().Commit();
  for (const TTreeEntry& e : model.Contents()) ASSERT_TRUE(w.Delete(e));
  const TTreeReport r = w.Check();
  EXPECT_EQ(r.Error, "");
  EXPECT_EQ(r.Pages, 0u);
}

INSTANTIATE_TEST_SUITE_P(Shapes, KeylessBstarTreeModelTest,
                         ::testing::Values(TModelCase{"Unique", {7, idNone}}, TModelCase{"Duplicates", {7, idAll}},
                                           TModelCase{"NullOnly", {40, idNull}},
                                           TModelCase{"LongDuplicates", {600, idAll}}),
                         [](const ::testing::TestParamInfo<TModelCase>& aInfo) { return std::string(aInfo.param.Name); });

// ---- the entry-key rule ----

// A record whose stored key is changed inside the transaction is still
// found under the key it was filed with: the indices engine's key in
// flight stands for it, not the record.
TEST(KeylessBstarTreeTest, TheKeyInFlightStandsForTheRecordBeingChanged) {
  for (TnxIndexDups dups : {idAll, idNone}) {
    SCOPED_TRACE(dups);
    KeylessWorld w({7, dups});
    std::vector<std::pair<TnxRefNr, std::vector<uint8_t>>> records;
    for (int64_t v = 0; v < 3000; ++v) {
      std::vector<uint8_t> record = w.Record(v * 2);
      TnxRefNr ref = 0;
      w.Fx().Records().AddRecord(w.Trans(), ref, record.data());
      ASSERT_EQ(w.Engine().InsertKeys(w.Trans(), ref, record.data(), nullptr), 0u);
      records.push_back({ref, record});
    }
    w.Fx().Commit();
    // Far enough that the old and the new key lie in other leaves.
    for (size_t i : {size_t{0}, size_t{253}, size_t{1500}, size_t{2999}}) {
      auto& [ref, old] = records[i];
      std::vector<uint8_t> changed = w.Record(static_cast<int64_t>((2999 - i) * 2 + 1));
      std::vector<uint8_t> before = old;
      w.Fx().Records().UpdateRecord(w.Trans(), ref, changed.data(), before.data());
      ASSERT_EQ(w.Engine().UpdateKeys(w.Trans(), ref, old.data(), ref, changed.data(), nullptr), 0u);
      old = changed;
    }
    TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "");
    ASSERT_EQ(r.Entries.size(), 3000u);
    // Deleting under the stored key of a record changed once more.
    auto& [ref, old] = records[1000];
    std::vector<uint8_t> changed = w.Record(-5);
    std::vector<uint8_t> before = old;
    w.Fx().Records().UpdateRecord(w.Trans(), ref, changed.data(), before.data());
    ASSERT_EQ(w.Engine().DeleteKeys(w.Trans(), ref, old.data(), nullptr), 0u);
    w.Fx().Records().DeleteRecord(w.Trans(), ref);
    r = w.Check();
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Entries.size(), 2999u);
    EXPECT_EQ(w.Trans().CheckState(), 0u);
  }
}

// A key is read afresh in each operation: a record changed after one
// search is seen changed by the next, and a failing read leaves no key
// cached behind.
TEST(KeylessBstarTreeTest, NoKeyOutlivesItsOperation) {
  KeylessWorld w({7, idAll});
  std::vector<TTreeEntry> entries;
  for (int64_t v = 0; v < 600; ++v) entries.push_back(w.Add(v * 2));
  for (const TTreeEntry& e : entries) ASSERT_TRUE(w.Insert(e));
  w.Fx().Commit();
  auto path = w.Tree().CreateIndexPath();
  auto& keyless = dynamic_cast<TnxKeylessBstarTreeIndexPath&>(*path);
  ASSERT_TRUE(w.Tree().FindKey(&w.Trans(), entries[10].first.data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
  EXPECT_EQ(path->RefNr, entries[10].second);
  EXPECT_TRUE(keyless.KeyCache()->Empty());
  EXPECT_EQ(keyless.KeyCacheTrans(), nullptr);
  // The record of an entry goes away: searching through it fails, and the
  // cache is empty afterwards.
  w.Fx().Records().DeleteRecord(w.Trans(), entries[300].second);
  EXPECT_ANY_THROW(w.Tree().FindKey(&w.Trans(), entries[300].first.data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
  EXPECT_TRUE(keyless.KeyCache()->Empty());
  EXPECT_EQ(keyless.KeyCacheTrans(), nullptr);
  EXPECT_EQ(keyless.KeyCacheDepth(), 0);
  w.Fx().Rollback();
  ASSERT_TRUE(w.Tree().FindKey(&w.Trans(), entries[300].first.data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
  EXPECT_EQ(path->RefNr, entries[300].second);
  EXPECT_EQ(w.Tree().SeqAccessLookup(&w.Trans(), 5, path.get()), 0);
}

// ---- walks ----

// A walk over every entry holds one cached key at a time.
TEST(KeylessBstarTreeTest, AFullScanKeepsItsMemoryFlat) {
  KeylessWorld w({7, idAll});
  const int64_t n = testing::TestSize(int64_t{30000}, int64_t{1000000});
  std::unique_ptr<TnxBaseBulkBuilder> builder = w.Tree().CreateBulkBuilder(w.Trans());
  std::mt19937_64 rnd(7);
  for (int64_t i = 0; i < n; ++i) {
    std::vector<uint8_t> record = w.Record(static_cast<int64_t>(rnd() % static_cast<uint64_t>(n)));
    TnxRefNr ref = 0;
    w.Fx().Records().AddRecord(w.Trans(), ref, record.data());
    ASSERT_EQ(builder->InsertKey(ref, record.data(), w.Trans()), 0u);
  }
  ASSERT_EQ(builder->Finalize(w.Trans()), 0u);
  builder.reset();
  w.Fx().Commit();
  int64_t peak = 0;
  const std::vector<TTreeEntry> forward = w.Walk(peak);
  EXPECT_EQ(static_cast<int64_t>(forward.size()), n);
  EXPECT_LE(peak, 1);
  const std::vector<TTreeEntry> back = w.Walk(peak, true);
  EXPECT_EQ(back, forward);
  EXPECT_LE(peak, 1);
  // Stepping a cursor through the index: the cache is empty between steps.
  auto path = w.Tree().CreateIndexPath();
  auto& keyless = dynamic_cast<TnxKeylessBstarTreeIndexPath&>(*path);
  int64_t steps = 0;
  while (steps < 2000 && w.Tree().NextKey(&w.Trans(), *path, nullptr)) {
    ASSERT_EQ(path->RefNr, forward[static_cast<size_t>(steps)].second);
    ASSERT_TRUE(keyless.KeyCache()->Empty());
    ++steps;
  }
  EXPECT_EQ(steps, 2000);
}

// ---- bulk building ----

TEST(KeylessBstarTreeTest, ABulkBuiltIndexEqualsOneBuiltByInserts) {
  for (TnxIndexDups dups : {idAll, idNone}) {
    SCOPED_TRACE(dups);
    KeylessWorld w({12, dups, 2});
    std::unique_ptr<TnxBaseBulkBuilder> builder = w.Tree(1).CreateBulkBuilder(w.Trans());
    ASSERT_NE(dynamic_cast<TnxKeylessBstarTreeIndexBulkBuilder*>(builder.get()), nullptr);
    std::mt19937_64 rnd(dups);
    const int64_t n = 5000;
    std::set<int64_t> used;
    for (int64_t i = 0; i < n; ++i) {
      int64_t v = static_cast<int64_t>(rnd() % 20000);
      if (dups == idNone && !used.insert(v).second) continue;
      std::vector<uint8_t> record = w.Record(v);
      TnxRefNr ref = 0;
      w.Fx().Records().AddRecord(w.Trans(), ref, record.data());
      ASSERT_TRUE(w.Insert({w.KeyOfRecord(record), ref}, nullptr, 0));
      ASSERT_EQ(builder->InsertKey(ref, record.data(), w.Trans()), 0u);
    }
    ASSERT_EQ(builder->Finalize(w.Trans()), 0u);
    builder.reset();
    const TTreeReport single = w.Check(0);
    const TTreeReport bulk = w.Check(1);
    ASSERT_EQ(single.Error, "");
    ASSERT_EQ(bulk.Error, "");
    EXPECT_EQ(bulk.Entries, single.Entries);
    // The same answers to searches, and later changes work on it.
    auto a = w.Tree(0).CreateIndexPath();
    auto b = w.Tree(1).CreateIndexPath();
    for (size_t i = 0; i < single.Entries.size(); i += 97) {
      const TTreeEntry& e = single.Entries[i];
      for (TnxSearchKeyAction action : {skaEqualFirst, skaEqualLast, skaGreater, skaSmaller}) {
        const bool fa = w.Tree(0).FindKey(&w.Trans(), e.first.data(), 0, 0, 0, *a, action, nullptr);
        const bool fb = w.Tree(1).FindKey(&w.Trans(), e.first.data(), 0, 0, 0, *b, action, nullptr);
        ASSERT_EQ(fa, fb);
        ASSERT_EQ(a->Position, b->Position);
        if (a->IsOnKey()) {
          ASSERT_EQ(a->RefNr, b->RefNr);
        }
      }
    }
    for (size_t i = 0; i < single.Entries.size(); i += 3) ASSERT_TRUE(w.Delete(single.Entries[i], nullptr, 1));
    const TTreeReport after = w.Check(1);
    ASSERT_EQ(after.Error, "");
    EXPECT_EQ(after.Entries.size(), single.Entries.size() - (single.Entries.size() + 2) / 3);
  }
}

}  // namespace
}  // namespace revurov
