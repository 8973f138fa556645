#include "index/cache_keyless_bstar_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "index/cache_keyless_bstar_tree_path.h"
#include "index/index_path.h"
#include "index/keyless_key_cache.h"
#include "index/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/bstar_tree_checker.h"
#include "support/exception_message.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::TTableFixture;
using testing::TTableShape;
using testing::TTestDataDictionary;
using testing::TTreeChecker;
using testing::TTreeEntry;
using testing::TTreeReport;

// How a cache table's dictionary is spoilt for a construction check.
enum class TSpoil { None, NotACache, NoRefNrField, NoSeqIndex, KeylessEngine };

void MakeCacheTable(TTestDataDictionary& aDict, TSpoil aSpoil) {
  if (aSpoil != TSpoil::NotACache) aDict.MakeCacheable(true);
  auto* indices = aDict.EnsureIndicesDescriptor();
  TnxIndexDescriptor* d = indices->AddIndex(u"Tree", 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
  static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(aDict.FieldsDescriptor().GetFieldFromName(u"Data"));
  if (aSpoil == TSpoil::NotACache) {
    d->SetIndexEngine(u"CacheKeylessBStarTree");
    return;
  }
  aDict.MakeCache(true);
  // The heap a cache table's records live in, as a reader's check adds it.
  if (auto* record = dynamic_cast<TnxHeapRecordDescriptor*>(aDict.RecordDescriptor()); record && !record->HeapDescriptor())
    record->AddHeapDescriptor()->AddBlockHeapDescriptor();
  if (aSpoil == TSpoil::NoSeqIndex || aSpoil == TSpoil::NoRefNrField)
    indices->RemoveIndex(nxSequentialAccessIndexName);
  if (aSpoil == TSpoil::NoRefNrField) {
    int32_t field = -1;
    aDict.FieldsDescriptor().HasRefNrField(field);
    aDict.FieldsDescriptor().RemoveField(field);
  }
  if (aSpoil == TSpoil::KeylessEngine) {
    for (int32_t i = 0; i < indices->IndexCount(); ++i)
      if (indices->IndexDescriptor(i)->IndexEngine() == u"CacheKeylessBStarTree")
        indices->IndexDescriptor(i)->SetIndexEngine(u"KeylessBStarTree");
  }
}

struct TEntry {
  std::vector<uint8_t> Key;
  TnxRefNr RefNr;
  TnxRefNr Cache;
};

// A cache table with a "Data" key index on the cache-keyless engine. A key
// of value v holds v big-endian; each record's RefNr field holds the cache
// RefNr it was given, whatever its own RefNr.
class CacheWorld {
public:
  CacheWorld()
      : fx_(TTableShape{.DataBytes = 7, .Configure = [](TTestDataDictionary& d) { MakeCacheTable(d, TSpoil::None); }}) {
    engine_ = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), &fx_.Records(), &fx_.Trans(), false);
    for (int32_t i = 0; i < engine_->IndexCount(); ++i)
      if (engine_->Indices(i).IndexName() == u"Tree") tree_ = i;
    int32_t field = -1;
    fx_.Dict().FieldsDescriptor().HasRefNrField(field);
    cacheOffset_ = fx_.Dict().FieldsDescriptor().FieldDescriptor(field)->Offset();
    dataOffset_ = fx_.Dict().FieldsDescriptor().FieldDescriptor(fx_.Dict().FieldsDescriptor().GetFieldFromName(u"Data"))
                      ->Offset();
    fx_.Commit();
  }

  TnxCacheKeylessBstarTreeIndexEngine& Tree() {
    return dynamic_cast<TnxCacheKeylessBstarTreeIndexEngine&>(engine_->Indices(tree_));
  }
  TTableFixture& Fx() { return fx_; }
  TnxBaseTransaction& Trans() { return fx_.Trans(); }
  TnxBaseIndicesEngine& Engine() { return *engine_; }

  std::vector<uint8_t> Record(int64_t aValue, TnxRefNr aCache) {
    std::vector<uint8_t> record(fx_.RecordLength(), 0);
    for (int32_t i = 0; i < 7; ++i) record[dataOffset_ + i] = static_cast<uint8_t>(static_cast<uint64_t>(aValue) >> (8 * (6 - i)));
    platform::StoreU64(record.data() + cacheOffset_, static_cast<uint64_t>(aCache));
    return record;
  }
  std::vector<uint8_t> KeyOfRecord(const std::vector<uint8_t>& aRecord) {
    std::vector<uint8_t> key(Tree().KeyEngine().KeyLength(), 0);
    EXPECT_EQ(Tree().KeyEngine().BuildKey(aRecord.data(), key.data(), 1, true), 0u);
    return key;
  }
  std::vector<uint8_t> Key(int64_t aValue) { return KeyOfRecord(Record(aValue, 0)); }
  // A new record; aAllIndices files it in every index as a table would.
  TEntry Add(int64_t aValue, TnxRefNr aCache, bool aAllIndices = false) {
    std::vector<uint8_t> record = Record(aValue, aCache);
    TnxRefNr ref = 0;
    fx_.Records().AddRecord(Trans(), ref, record.data());
    if (aAllIndices) {
      EXPECT_EQ(engine_->InsertKeys(Trans(), ref, record.data(), nullptr), 0u);
    }
    return {KeyOfRecord(record), ref, aCache};
  }
  std::vector<uint8_t> ReadRecord(TnxRefNr aRefNr) {
    std::vector<uint8_t> record(fx_.RecordLength(), 0);
    fx_.Records().ReadRecord(&Trans(), aRefNr, record.data());
    return record;
  }
  TnxRefNr CacheOf(TnxRefNr aRefNr) {
    return static_cast<TnxRefNr>(platform::LoadU64(ReadRecord(aRefNr).data() + cacheOffset_));
  }
  bool Insert(const TEntry& e, TnxBaseIndexPath* aPath = nullptr) {
    return Tree().InsertKey(Trans(), e.Key.data(), e.RefNr, e.Cache, aPath);
  }
  bool Delete(const TEntry& e, TnxBaseIndexPath* aPath = nullptr) {
    return Tree().DeleteKey(Trans(), e.Key.data(), e.RefNr, e.Cache, aPath);
  }
  TTreeReport Check() {
    return TTreeChecker(
               Tree(), &Trans(), [this](TnxRefNr r) { return KeyOfRecord(ReadRecord(r)); },
               [this](TnxRefNr r) { return CacheOf(r); })
        .Check();
  }
  // (RefNr, CacheRefNr) of every entry by NextKey.
  std::vector<std::pair<TnxRefNr, TnxRefNr>> Steps() {
    std::vector<std::pair<TnxRefNr, TnxRefNr>> out;
    auto path = Tree().CreateIndexPath();
    uint32_t count = 0;
    Tree().GetKeyCount(&Trans(), count);
    for (uint32_t i = 0; i <= count && Tree().NextKey(&Trans(), *path, nullptr); ++i)
      out.push_back({path->RefNr, path->CacheRefNr});
    return out;
  }

private:
  TnxStorageStartupGuard storage_;
  TnxIndexStartupGuard startup_;
  TTableFixture fx_;
  std::unique_ptr<TnxBaseIndicesEngine> engine_;
  int32_t tree_ = -1;
  int32_t cacheOffset_ = 0;
  int32_t dataOffset_ = 0;
};

// ---- construction ----

TEST(CacheKeylessBstarTreeTest, ConstructionRefusesWhatTheEngineNeedsInOrder) {
  struct TCase {
    const char* Name;
    TSpoil Spoil;
    bool RecordEngine;
    std::u16string Text;  // %s: the table descriptor's class, %e: the engine's
  };
  const TCase cases[] = {
      {"not a cache table", TSpoil::NotACache, true, u"%s is only supported for cache tables"},
      {"not a cache table, no record engine either", TSpoil::NotACache, false, u"%s is only supported for cache tables"},
      {"no RefNr field", TSpoil::NoRefNrField, false, u"%s requires a RefNr field"},
      {"no sequential access index", TSpoil::NoSeqIndex, false, u"%e requires a Sequential Access Index Engine"},
      {"no record engine", TSpoil::None, false, u"%e requires a RecordEngine"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TnxStorageStartupGuard storage;
    TnxIndexStartupGuard startup;
    const TSpoil spoil = c.Spoil;
    TTableFixture fx(TTableShape{.DataBytes = 7, .Configure = [spoil](TTestDataDictionary& d) { MakeCacheTable(d, spoil); }});
    std::u16string expected = c.Text;
    if (const size_t at = expected.find(u"%s"); at != std::u16string::npos)
      expected.replace(at, 2, fx.Dict().ClassName());
    if (const size_t at = expected.find(u"%e"); at != std::u16string::npos)
      expected.replace(at, 2, u"TnxCacheKeylessBstarTreeIndexEngine");
    try {
      TnxBaseIndicesEngine::CreateEngine(fx.Dict(), fx.Files(), c.RecordEngine ? &fx.Records() : nullptr, &fx.Trans(),
                                         false);
      ADD_FAILURE() << "created";
    } catch (const EnxCacheKeylessBstarTreeIndexEngineException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeCapabilityNotSupported);
      EXPECT_HAS_TEXT(std::u16string(e.Message()), expected);
    }
  }
}

TEST(CacheKeylessBstarTreeTest, TheKeylessEngineRefusesACacheTable) {
  TnxStorageStartupGuard storage;
  TnxIndexStartupGuard startup;
  TTableFixture fx(TTableShape{.DataBytes = 7, .Configure = [](TTestDataDictionary& d) {
                                 MakeCacheTable(d, TSpoil::KeylessEngine);
                               }});
  try {
    TnxBaseIndicesEngine::CreateEngine(fx.Dict(), fx.Files(), &fx.Records(), &fx.Trans(), false);
    ADD_FAILURE() << "created";
  } catch (const EnxKeylessBstarTreeIndexEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeCapabilityNotSupported);
    EXPECT_HAS_TEXT(std::u16string(e.Message()), std::u16string(fx.Dict().ClassName()) + u" is not supported for cache tables");
  }
}

TEST(CacheKeylessBstarTreeTest, TheDictionaryNameFindsTheEngine) {
  CacheWorld w;
  EXPECT_EQ(w.Tree().ClassName(), u"TnxCacheKeylessBstarTreeIndexEngine");
  EXPECT_TRUE(w.Tree().IsKeyless());
  EXPECT_EQ(w.Tree().CreateIndexPath()->ClassName(), u"TnxCacheKeylessBstarTreeIndexPath");
}

// ---- order ----

TEST(CacheKeylessBstarTreeTest, EqualKeysGoByCacheRefNrWhateverTheOwnRefNrs) {
  CacheWorld w;
  const TEntry twenty = w.Add(5, 20);
  const TEntry ten = w.Add(5, 10);
  ASSERT_LT(twenty.RefNr, ten.RefNr);
  ASSERT_TRUE(w.Insert(twenty));
  ASSERT_TRUE(w.Insert(ten));
  using TSteps = std::vector<std::pair<TnxRefNr, TnxRefNr>>;
  EXPECT_EQ(w.Steps(), (TSteps{{ten.RefNr, 10}, {twenty.RefNr, 20}}));
  // Another own RefNr under an equal key and cache RefNr is a duplicate;
  // another cache RefNr is not.
  const TEntry again = w.Add(5, 10);
  EXPECT_FALSE(w.Insert(again));
  const TEntry fifteen = w.Add(5, 15);
  EXPECT_TRUE(w.Insert(fifteen));
  EXPECT_EQ(w.Steps(), (TSteps{{ten.RefNr, 10}, {fifteen.RefNr, 15}, {twenty.RefNr, 20}}));
  const TTreeReport r = w.Check();
  EXPECT_EQ(r.Error, "");
}

TEST(CacheKeylessBstarTreeTest, APathLearnsItsCacheRefNrWhenPlacedByASearchOrAStep) {
  CacheWorld w;
  const TEntry a = w.Add(3, 30), b = w.Add(4, 40);
  auto path = w.Tree().CreateIndexPath();
  ASSERT_TRUE(w.Insert(a, path.get()));
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_EQ(path->RefNr, a.RefNr);
  EXPECT_EQ(path->CacheRefNr, 0);
  ASSERT_TRUE(w.Insert(b));
  ASSERT_TRUE(w.Tree().NextKey(&w.Trans(), *path, nullptr));
  EXPECT_EQ(path->RefNr, b.RefNr);
  EXPECT_EQ(path->CacheRefNr, 40);
  ASSERT_TRUE(w.Tree().FindKey(&w.Trans(), a.Key.data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
  EXPECT_EQ(path->RefNr, a.RefNr);
  EXPECT_EQ(path->CacheRefNr, 30);
}

TEST(CacheKeylessBstarTreeTest, DeleteWithAPathOnAnotherCacheRefNrDeletesTheEntryAsked) {
  CacheWorld w;
  const TEntry low = w.Add(7, 10), high = w.Add(7, 20);
  ASSERT_TRUE(w.Insert(low));
  ASSERT_TRUE(w.Insert(high));
  auto path = w.Tree().CreateIndexPath();
  ASSERT_TRUE(w.Tree().FindKey(&w.Trans(), low.Key.data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
  ASSERT_EQ(path->CacheRefNr, 10);
  ASSERT_TRUE(w.Delete(high, path.get()));
  using TSteps = std::vector<std::pair<TnxRefNr, TnxRefNr>>;
  EXPECT_EQ(w.Steps(), (TSteps{{low.RefNr, 10}}));
  // The deleted entry's crack: after the one that stays.
  EXPECT_FALSE(w.Tree().NextKey(&w.Trans(), *path, nullptr));
  EXPECT_TRUE(path->IsEof());
  EXPECT_FALSE(w.Delete(high));
  EXPECT_EQ(w.Check().Error, "");
}

// ---- paths by cache RefNr ----

TEST(CacheKeylessBstarTreeTest, APathHoldingOnlyACacheRefNrFindsItsEntry) {
  CacheWorld w;
  std::vector<TEntry> entries;
  for (int64_t v = 0; v < 50; ++v) entries.push_back(w.Add(v % 5, 1000 - v, true));
  const TEntry& e = entries[17];
  auto at = w.Tree().CreateIndexPath();
  ASSERT_TRUE(w.Tree().FindKey(&w.Trans(), e.Key.data(), 0, 0, 0, *at, skaEqualFirst, nullptr));
  // Walk to the entry, then keep its bookmark by cache RefNr.
  for (int i = 0; i < 50 && at->RefNr != e.RefNr; ++i) ASSERT_TRUE(w.Tree().NextKey(&w.Trans(), *at, nullptr));
  ASSERT_EQ(at->CacheRefNr, e.Cache);
  std::vector<uint8_t> bookmark(at->BookmarkSize());
  ASSERT_EQ(at->GetBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size()), true), 0u);
  auto path = w.Tree().CreateIndexPath();
  ASSERT_EQ(path->SetToBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size()), true), 0u);
  path->RefNr = 0;
  path->KeyValid = false;
  ASSERT_EQ(path->CacheRefNr, e.Cache);
  w.Tree().ValidateIndexPath(&w.Trans(), *path);
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_EQ(path->RefNr, e.RefNr);
  EXPECT_EQ(path->CacheRefNr, e.Cache);
  ASSERT_TRUE(path->KeyValid);
  EXPECT_EQ(std::vector<uint8_t>(path->KeyBuffer(), path->KeyBuffer() + e.Key.size()), e.Key);
  // It stays on its entry: the next step goes to the one after it.
  ASSERT_TRUE(w.Tree().NextKey(&w.Trans(), *at, nullptr));
  ASSERT_TRUE(w.Tree().NextKey(&w.Trans(), *path, nullptr));
  EXPECT_EQ(path->RefNr, at->RefNr);

  // A cache RefNr no record holds: the path is cleared, not left on RefNr 0.
  auto lost = w.Tree().CreateIndexPath();
  lost->Assign(path.get());
  lost->RefNr = 0;
  lost->CacheRefNr = 424242;
  lost->KeyValid = false;
  lost->Position = ippOnKey;
  w.Tree().ValidateIndexPath(&w.Trans(), *lost);
  EXPECT_EQ(lost->Position, ippUnknown);
  EXPECT_EQ(lost->RefNr, 0);
  EXPECT_EQ(lost->CacheRefNr, 0);
}

// A run of equal keys over several leaves, own RefNrs falling while cache
// RefNrs rise: the estimate compares the bounds as the tree orders them.
TEST(CacheKeylessBstarTreeTest, TheEstimateOfAnEqualRunAcrossLeavesGoesByCacheRefNr) {
  CacheWorld w;
  const int n = 1200;
  for (int i = 0; i < n; ++i) ASSERT_TRUE(w.Insert(w.Add(9, 5000 - i)));
  const TTreeReport r = w.Check();
  ASSERT_EQ(r.Error, "");
  ASSERT_GE(r.Leaves.size(), 2u);
  const std::vector<uint8_t> key = w.Key(9);
  TnxRangeInfo bound;
  bound.riValid = true;
  bound.riKey = key.data();
  uint32_t count = 0;
  ASSERT_EQ(w.Tree().EstimateRecordCount(&w.Trans(), bound, bound, count, false), 0u);
  EXPECT_GT(count, uint32_t{n / 2});
  EXPECT_LE(count, uint32_t{n});
}

// ---- the model ----

// Random inserts and deletes with cache RefNrs drawn apart from the own
// RefNrs, over few keys so ties are common: every answer equals the
// model's, the checked tree holds exactly its entries in (key, cache RefNr)
// order, and steps deliver each entry's cache RefNr.
TEST(CacheKeylessBstarTreeTest, EveryAnswerAndTheWholeTreeEqualTheModel) {
  CacheWorld w;
  const auto& keys = w.Tree().KeyEngine();
  struct Less {
    const TnxBaseKeyEngine* Keys;
    bool operator()(const TEntry& a, const TEntry& b) const {
      const int c = Keys->CompareKey(a.Key.data(), b.Key.data(), 0, 0);
      return c != 0 ? c < 0 : a.Cache < b.Cache;
    }
  };
  std::set<TEntry, Less> model(Less{&keys});
  const int64_t steps = testing::TestSize(6000, 60000);
  const int64_t keyDomain = 40, cacheDomain = steps / 2;
  std::mt19937_64 rnd(0x78);
  const auto pick = [&](int64_t aBound) { return static_cast<int64_t>(rnd() % static_cast<uint64_t>(aBound)); };
  const auto check = [&](int64_t aStep) {
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "") << "at step " << aStep;
    std::vector<TTreeEntry> expected;
    std::vector<std::pair<TnxRefNr, TnxRefNr>> steps;
    for (const TEntry& e : model) {
      expected.push_back({e.Key, e.RefNr});
      steps.push_back({e.RefNr, e.Cache});
    }
    ASSERT_EQ(r.Entries, expected) << "at step " << aStep;
    ASSERT_EQ(w.Steps(), steps) << "at step " << aStep;
  };
  auto path = w.Tree().CreateIndexPath();
  for (int64_t step = 0; step < steps; ++step) {
    TnxBaseIndexPath* p = step % 3 == 0 ? path.get() : nullptr;
    if (pick(3) != 0 || model.empty()) {
      // Negative cache RefNrs too: the order is signed.
      const TEntry e = w.Add(pick(keyDomain), pick(cacheDomain) - cacheDomain / 4);
      const bool expected = model.insert(e).second;
      ASSERT_EQ(w.Insert(e, p), expected) << "insert at step " << step;
      if (expected && p) {
        ASSERT_EQ(p->RefNr, e.RefNr);
        ASSERT_EQ(p->CacheRefNr, 0);
      }
    } else {
      auto it = model.lower_bound(TEntry{w.Key(pick(keyDomain)), 0, INT64_MIN});
      if (it == model.end()) it = model.begin();
      const TEntry e = *it;
      if (pick(4) == 0) {
        // Another cache RefNr under the same key: nothing to delete unless
        // the model holds it.
        const TEntry other{e.Key, e.RefNr, e.Cache + 1};
        ASSERT_EQ(w.Delete(other, p), model.count(other) == 1) << "delete at step " << step;
        if (model.count(other) == 1) model.erase(other);
        continue;
      }
      model.erase(it);
      ASSERT_TRUE(w.Delete(e, p)) << "delete at step " << step;
    }
    if ((step + 1) % 500 == 0) w.Fx().Commit();
    if ((step + 1) % testing::TestSize(2000, 20000) == 0) check(step);
  }
  check(steps);
}

}  // namespace
}  // namespace revurov
