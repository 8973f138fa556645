#include "index/bulk_build_static_key.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_path.h"
#include "index/startup.h"
#include "index/static_key_bstar_tree.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "storage/buffer_manager.h"
#include "storage/header_access.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/bstar_tree_checker.h"
#include "support/exception_message.h"
#include "support/table_fixture.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::Contains;
using testing::ErrorCodeOf;
using testing::MessageOf;
using testing::TestSize;
using testing::TTableFixture;
using testing::TTableShape;
using testing::TTreeChecker;
using testing::TTreeEntry;
using testing::TTreeReport;

// ---- the sort ----

// Entries of 8 bytes: a 32-bit value, then the entry's original position.
struct TSortRun {
  std::vector<uint8_t> Entries;
  int32_t Peak = 0;
  uint64_t Compares = 0;
  bool SelfCompared = false;
};

TSortRun SortValues(const std::vector<uint32_t>& aValues) {
  TSortRun run;
  run.Entries.resize(aValues.size() * 8);
  for (size_t i = 0; i < aValues.size(); ++i) {
    platform::StoreU32(&run.Entries[i * 8], aValues[i]);
    platform::StoreU32(&run.Entries[i * 8 + 4], static_cast<uint32_t>(i));
  }
  uint8_t swap[8];
  run.Peak = nxSortEntries(run.Entries.data(), static_cast<uint32_t>(aValues.size()), 8, swap,
                           [&](const uint8_t* a, const uint8_t* b) {
                             ++run.Compares;
                             if (a == b) run.SelfCompared = true;
                             const uint64_t x = platform::LoadU64(a), y = platform::LoadU64(b);
                             const uint64_t kx = (x << 32) | (x >> 32), ky = (y << 32) | (y >> 32);
                             return kx < ky ? -1 : (kx > ky ? 1 : 0);
                           });
  return run;
}

// An input that drives this quicksort to its worst case: the adversary
// of "A killer adversary for quicksort" decides each value only when the
// sort first compares it, always making the pivot candidate small.
std::vector<uint32_t> KillerInput(uint32_t aCount) {
  const uint32_t gas = aCount;
  std::vector<uint32_t> value(aCount, gas);
  uint32_t solid = 0;
  int64_t candidate = -1;
  std::vector<uint8_t> entries(size_t{aCount} * 4);
  for (uint32_t i = 0; i < aCount; ++i) platform::StoreU32(&entries[i * 4], i);
  uint8_t swap[4];
  nxSortEntries(entries.data(), aCount, 4, swap, [&](const uint8_t* a, const uint8_t* b) {
    const uint32_t x = platform::LoadU32(a), y = platform::LoadU32(b);
    if (value[x] == gas && value[y] == gas) value[x == candidate ? x : y] = solid++;
    if (value[x] == gas)
      candidate = x;
    else if (value[y] == gas)
      candidate = y;
    return value[x] < value[y] ? -1 : (value[x] > value[y] ? 1 : 0);
  });
  for (uint32_t& v : value)
    if (v == gas) v = solid++;
  return value;
}

TEST(BulkBuildSortTest, SortsEveryOrderWithinItsStack) {
  struct TCase {
    const char* Name;
    std::vector<uint32_t> (*Make)(uint32_t);
  } orders[] = {
      {"ascending", [](uint32_t n) {
         std::vector<uint32_t> v(n);
         std::iota(v.begin(), v.end(), 0u);
         return v;
       }},
      {"descending", [](uint32_t n) {
         std::vector<uint32_t> v(n);
         for (uint32_t i = 0; i < n; ++i) v[i] = n - i;
         return v;
       }},
      {"organ pipe", [](uint32_t n) {
         std::vector<uint32_t> v(n);
         for (uint32_t i = 0; i < n; ++i) v[i] = i < n / 2 ? i : n - i;
         return v;
       }},
      {"all equal", [](uint32_t n) { return std::vector<uint32_t>(n, 7); }},
      {"random", [](uint32_t n) {
         std::mt19937 random(n);
         std::vector<uint32_t> v(n);
         for (uint32_t& x : v) x = random() % (n / 2 + 1);
         return v;
       }},
      {"sawtooth", [](uint32_t n) {
         std::vector<uint32_t> v(n);
         for (uint32_t i = 0; i < n; ++i) v[i] = i % 17;
         return v;
       }},
      {"median-of-three killer", KillerInput},
  };
  for (const TCase& c : orders) {
    for (uint32_t n : {0u, 1u, 2u, 15u, 16u, 17u, 1000u, TestSize(20000u, 200000u)}) {
      // The adversary's input is quadratic by design: kept to a size that sorts in seconds.
      if (c.Make == KillerInput && n > 20000) continue;
      SCOPED_TRACE(std::string(c.Name) + " of " + std::to_string(n));
      const std::vector<uint32_t> values = c.Make(n);
      const TSortRun run = SortValues(values);
      EXPECT_FALSE(run.SelfCompared);
      std::vector<uint32_t> sorted = values, got;
      std::sort(sorted.begin(), sorted.end());
      std::vector<bool> seen(n, false);
      for (uint32_t i = 0; i < n; ++i) {
        got.push_back(platform::LoadU32(&run.Entries[i * 8]));
        const uint32_t from = platform::LoadU32(&run.Entries[i * 8 + 4]);
        ASSERT_LT(from, n);
        ASSERT_FALSE(seen[from]) << "entry " << from << " twice";
        seen[from] = true;
        ASSERT_EQ(got.back(), values[from]) << "entry torn apart";
      }
      ASSERT_EQ(got, sorted);
      // The smaller part first: never more ranges waiting than halvings.
      EXPECT_LE(run.Peak, n > 1 ? static_cast<int32_t>(std::log2(n)) : 0);
    }
  }
}

TEST(BulkBuildSortTest, TheKillerInputIsQuadraticButTheStackStaysShallow) {
  // The adversary finds an order that defeats the median of three; the
  // stack of 32 ranges still suffices because the larger part waits.
  const uint32_t n = 4000;
  const TSortRun killer = SortValues(KillerInput(n));
  std::vector<uint32_t> shuffled(n);
  std::iota(shuffled.begin(), shuffled.end(), 0u);
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(1));
  const TSortRun random = SortValues(shuffled);
  EXPECT_GT(killer.Compares, 10 * random.Compares) << "the input is adversarial";
  EXPECT_LE(killer.Peak, 11);
}

// ---- building trees ----

enum class TOrder { Random, Sorted, Reversed, OrganPipe, AllEqual };
const char* OrderName(TOrder aOrder) {
  static const char* const names[] = {"random", "sorted", "reversed", "organ pipe", "all equal"};
  return names[static_cast<int>(aOrder)];
}

// The values of aCount records in an order; all distinct but for AllEqual.
std::vector<int64_t> Values(TOrder aOrder, uint32_t aCount) {
  std::vector<int64_t> v(aCount);
  for (uint32_t i = 0; i < aCount; ++i) v[i] = int64_t{i} * 3;
  switch (aOrder) {
    case TOrder::Random:
      std::shuffle(v.begin(), v.end(), std::mt19937(aCount));
      break;
    case TOrder::Sorted:
      break;
    case TOrder::Reversed:
      std::reverse(v.begin(), v.end());
      break;
    case TOrder::OrganPipe:
      for (uint32_t i = 0; i < aCount; ++i) v[i] = i < (aCount + 1) / 2 ? int64_t{i} * 6 : int64_t{aCount - i} * 6 - 3;
      break;
    case TOrder::AllEqual:
      std::fill(v.begin(), v.end(), 42);
      break;
  }
  return v;
}

struct TBulkShape {
  int32_t DataBytes;  // the key is a null-flag byte and these bytes
  TnxIndexDups Dups = idNone;
  int32_t MaxRAM = 64;
  bool FilterNull = false;  // records with a NULL key have no key
  bool RefKey = false;      // the key is the RefNr
  bool Int32Key = false;    // the key is an Int32 field "N" behind the data
};

// A table with one tree index over its byte-array field. A key of value v
// holds v big-endian in its first bytes, so keys order as their values.
class BulkWorld {
public:
  explicit BulkWorld(const TBulkShape& aShape)
      : fx_(TTableShape{.DataBytes = aShape.DataBytes,
                        .Configure =
                            [&](testing::TTestDataDictionary& aDict) {
                              if (aShape.Int32Key) aDict.FieldsDescriptor().AddField(u"N", u"", nxtInt32, 0, 0, false);
                            }},
            aShape.MaxRAM),
        keyField_(aShape.Int32Key ? fx_.Dict().FieldsDescriptor().FieldCount() - 1 : 0) {
    auto* indices = fx_.Dict().EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    TnxIndexDescriptor* d =
        indices->AddIndex(u"Tree", 0, aShape.Dups, u"",
                          aShape.RefKey ? &TnxRefKeyDescriptor::ClassInfo() : &TnxCompKeyDescriptor::ClassInfo());
    if (!aShape.RefKey) {
      TnxKeyFieldDescriptor* field = static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(keyField_);
      if (aShape.FilterNull) field->SetNullBehaviour(nbFilterNull);
    }
    TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*d);
    engine_ = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), &fx_.Records(), &fx_.Trans(), false);
    fx_.Commit();
  }

  TnxStaticKeyBstarTreeIndexEngine& Tree() {
    return static_cast<TnxStaticKeyBstarTreeIndexEngine&>(engine_->Indices(0));
  }
  TTableFixture& Fx() { return fx_; }
  TnxBufferManager& Bm() { return fx_.Storage().BufMgr(); }
  TnxBaseIndicesEngine& Engine() { return *engine_; }

  const std::vector<uint8_t>& Record(int64_t aValue, bool aNull = false) {
    record_.assign(fx_.RecordLength(), 0);
    const auto& fields = fx_.Dict().FieldsDescriptor();
    uint8_t* data = record_.data() + fields.FieldDescriptor(0)->Offset();
    const int32_t bytes = fields.FieldDescriptor(0)->Length();
    const int32_t high = std::min(bytes, 8);
    for (int32_t i = 0; i < bytes; ++i)
      data[i] = i < high ? static_cast<uint8_t>(static_cast<uint64_t>(aValue) >> (8 * (high - 1 - i)))
                         : static_cast<uint8_t>(aValue * 31 + i);
    if (keyField_ != 0) {
      const auto n = static_cast<int32_t>(aValue);
      fields.SetRecordField(keyField_, record_.data(), &n);
    }
    fields.SetRecordFieldNull(keyField_, record_.data(), aNull);
    return record_;
  }
  std::vector<uint8_t> Key(int64_t aValue, bool aNull = false) {
    std::vector<uint8_t> key(Tree().KeyEngine().KeyLength(), 0);
    EXPECT_EQ(Tree().KeyEngine().BuildKey(Record(aValue, aNull).data(), key.data(), 1, true), 0u);
    return key;
  }
  // The static-key builder of the index.
  std::unique_ptr<TnxStaticKeyBstarTreeIndexBulkBuilder> Builder() {
    std::unique_ptr<TnxBaseBulkBuilder> b = engine_->CreateBulkBuilder(fx_.Trans());
    auto* own = dynamic_cast<TnxStaticKeyBstarTreeIndexBulkBuilder*>(b.get());
    EXPECT_NE(own, nullptr);
    b.release();
    return std::unique_ptr<TnxStaticKeyBstarTreeIndexBulkBuilder>(own);
  }
  // Feeds the values with RefNrs 1, 2, ... and finalizes.
  void Build(TnxStaticKeyBstarTreeIndexBulkBuilder& aBuilder, const std::vector<int64_t>& aValues) {
    TnxRefNr ref = 0;
    for (int64_t v : aValues) ASSERT_EQ(aBuilder.InsertKey(++ref, Record(v).data(), fx_.Trans()), 0u);
    ASSERT_EQ(aBuilder.Finalize(fx_.Trans()), 0u);
  }
  bool Insert(int64_t aValue, TnxRefNr aRefNr) {
    return Tree().InsertKey(fx_.Trans(), Key(aValue).data(), aRefNr, 0, nullptr);
  }
  bool Delete(int64_t aValue, TnxRefNr aRefNr) {
    return Tree().DeleteKey(fx_.Trans(), Key(aValue).data(), aRefNr, 0, nullptr);
  }
  TTreeReport Check() { return TTreeChecker(Tree(), &fx_.Trans()).Check(); }
  uint32_t Root() { return Tree().CreateHeaderAccess(&fx_.Trans(), false, false, 0, 0)->GetIndexRoot(); }

private:
  TnxStorageStartupGuard storage_;
  TnxIndexStartupGuard startup_;
  TTableFixture fx_;
  int32_t keyField_;
  std::unique_ptr<TnxBaseIndicesEngine> engine_;
  std::vector<uint8_t> record_;
};

uint32_t LeafTarget(uint32_t aMaxLeaf) { return aMaxLeaf * 4 / 5; }

// Bulk-built and single-insert trees hold the same keys; the bulk-built
// one passes the checker and keeps working under later inserts and deletes.
struct TBuildCase {
  TOrder Order;
  TnxIndexDups Dups;
};

void PrintTo(const TBuildCase& aCase, std::ostream* aOut) {
  *aOut << OrderName(aCase.Order) << (aCase.Dups == idNone ? ", unique" : ", duplicates");
}

// Where a search or a step left a path, to hold two trees' answers side by side.
struct TStop {
  bool Answer = false;
  TnxIndexPathPosition Position = ippUnknown;
  TnxRefNr RefNr = 0;
  std::vector<uint8_t> Key;  // only on a key
  bool operator==(const TStop&) const = default;
};

void PrintTo(const TStop& aStop, std::ostream* aOut) {
  *aOut << (aStop.Answer ? "found" : "not found") << ", position " << static_cast<int>(aStop.Position) << ", RefNr "
        << aStop.RefNr << ", key";
  for (size_t i = 0; i < std::min<size_t>(aStop.Key.size(), 9); ++i) *aOut << ' ' << static_cast<int>(aStop.Key[i]);
}

// A crack is named by the key after it: where one tree puts the path after
// a leaf's last key, another may put it before the next leaf's first.
TStop StopOf(BulkWorld& aWorld, bool aAnswer, TnxBaseIndexPath& aPath) {
  TStop stop{aAnswer, aPath.Position, 0, {}};
  if (aPath.IsOnCrack()) {
    stop.Position = ippOnCrackBefore;
    if (!aWorld.Tree().NextKey(&aWorld.Fx().Trans(), aPath, nullptr)) return stop;
  }
  if (aPath.IsOnKey()) {
    stop.RefNr = aPath.RefNr;
    stop.Key.assign(aPath.KeyBuffer(), aPath.KeyBuffer() + aWorld.Tree().KeyEngine().KeyLength());
  }
  return stop;
}

TStop Find(BulkWorld& aWorld, const std::vector<uint8_t>& aKey, int32_t aPartialLen, TnxSearchKeyAction aAction) {
  auto path = aWorld.Tree().CreateIndexPath();
  const bool answer =
      aWorld.Tree().FindKey(&aWorld.Fx().Trans(), aKey.data(), 0, aPartialLen, 0, *path, aAction, nullptr);
  TStop stop = StopOf(aWorld, answer, *path);
  // Any key of an equal run will do.
  if (aAction == skaAnyEqual && answer) {
    stop.RefNr = 0;
    if (aPartialLen != 0) stop.Key.clear();
  }
  return stop;
}

// Every key from one end to the other, by single steps.
std::vector<TTreeEntry> Walk(BulkWorld& aWorld, bool aForward, size_t aExpected) {
  auto path = aWorld.Tree().CreateIndexPath();
  aForward ? path->SetToBof() : path->SetToEof();
  std::vector<TTreeEntry> seen;
  const uint32_t length = aWorld.Tree().KeyEngine().KeyLength();
  while (seen.size() <= aExpected && (aForward ? aWorld.Tree().NextKey(&aWorld.Fx().Trans(), *path, nullptr)
                                               : aWorld.Tree().PrevKey(&aWorld.Fx().Trans(), *path, nullptr))) {
    EXPECT_TRUE(path->IsOnKey());
    seen.emplace_back(std::vector<uint8_t>(path->KeyBuffer(), path->KeyBuffer() + length), path->RefNr);
  }
  EXPECT_TRUE(aForward ? path->IsEof() : path->IsBof());
  return seen;
}

// The record number of an entry, and the code RecNoGet gave.
std::pair<uint32_t, uint32_t> RecNoOf(BulkWorld& aWorld, const TTreeEntry& aEntry, const TnxRangeInfo& aStart,
                                      const TnxRangeInfo& aEnd, bool aFlip) {
  auto path = aWorld.Tree().CreateIndexPath();
  EXPECT_TRUE(aWorld.Tree().FindKey(&aWorld.Fx().Trans(), aEntry.first.data(), 0, 0, aEntry.second, *path,
                                    skaEqualFirst, nullptr));
  uint32_t recNo = 0;
  const uint32_t code = aWorld.Tree().RecNoGet(&aWorld.Fx().Trans(), *path, aStart, aEnd, nullptr, nullptr, recNo, aFlip);
  return {code, recNo};
}

// A bulk-built tree answers every search, step and record number as the
// tree of the same keys built by single inserts.
void ExpectSameNavigation(BulkWorld& aBulk, BulkWorld& aSingle, const std::vector<int64_t>& aValues,
                          const std::vector<TTreeEntry>& aEntries) {
  std::vector<int64_t> distinct = aValues;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  // Every key, and the absent keys beside it (values go in steps of 3); the
  // NULL key sorts before every key, -1 after. A partial length of 7 bytes
  // groups about 85 values, so a group often spans leaves.
  const std::vector<uint8_t> before = aBulk.Key(0, true), after = aBulk.Key(-1);
  ASSERT_LT(aBulk.Tree().KeyEngine().CompareKey(before.data(), aBulk.Key(0).data()), 0);
  ASSERT_GT(aBulk.Tree().KeyEngine().CompareKey(after.data(), aBulk.Key(INT64_MAX).data()), 0);
  std::vector<std::pair<std::vector<uint8_t>, bool>> probes;  // key, present
  const size_t stride = std::max<size_t>(1, distinct.size() / 1000);
  for (size_t i = 0; i < distinct.size(); i += stride) {
    probes.emplace_back(aBulk.Key(distinct[i]), true);
    probes.emplace_back(aBulk.Key(distinct[i] + 1), false);
    probes.emplace_back(aBulk.Key(distinct[i] - 1), false);
  }
  probes.emplace_back(before, false);
  probes.emplace_back(after, false);
  for (const auto& [key, present] : probes) {
    for (const int32_t partial : {0, 7}) {
      for (const TnxSearchKeyAction action :
           {skaEqualFirst, skaEqualLast, skaGreaterEqual, skaGreater, skaSmallerEqual, skaSmaller, skaAnyEqual}) {
        SCOPED_TRACE("action " + std::to_string(action) + ", partial length " + std::to_string(partial));
        const TStop built = Find(aBulk, key, partial, action);
        ASSERT_EQ(built, Find(aSingle, key, partial, action));
        if (present && partial == 0 && (action == skaEqualFirst || action == skaEqualLast)) {
          ASSERT_TRUE(built.Answer);
          ASSERT_TRUE(built.Key == key);
        }
      }
    }
  }

  const std::vector<TTreeEntry> forward = Walk(aBulk, true, aEntries.size());
  ASSERT_TRUE(forward == aEntries);
  ASSERT_TRUE(forward == Walk(aSingle, true, aEntries.size()));
  std::vector<TTreeEntry> backward = Walk(aBulk, false, aEntries.size());
  ASSERT_TRUE(backward == Walk(aSingle, false, aEntries.size()));
  std::reverse(backward.begin(), backward.end());
  ASSERT_TRUE(backward == aEntries);

  // Record numbers over the whole index and over its middle half; entries
  // outside the range are refused alike.
  const size_t n = aEntries.size();
  if (n == 0) return;
  const TnxRangeInfo open{};
  const TnxRangeInfo from{aEntries[n / 4].first.data(), 0, 0, false, true};
  const TnxRangeInfo to{aEntries[n * 3 / 4].first.data(), 0, 0, true, true};
  std::set<size_t> sample{0, 1, n / 4, n / 2, n * 3 / 4, n - 1};
  for (size_t i = 0; i < n; i += std::max<size_t>(1, n / 40)) sample.insert(i);
  for (const size_t i : sample) {
    if (i >= n) continue;
    SCOPED_TRACE("entry " + std::to_string(i));
    for (const bool flip : {false, true}) {
      const auto whole = RecNoOf(aBulk, aEntries[i], open, open, flip);
      ASSERT_EQ(whole, RecNoOf(aSingle, aEntries[i], open, open, flip));
      ASSERT_EQ(whole.first, 0u);
      ASSERT_EQ(whole.second, flip ? n - i : i + 1);
      ASSERT_EQ(RecNoOf(aBulk, aEntries[i], from, to, flip), RecNoOf(aSingle, aEntries[i], from, to, flip));
    }
  }
}

class BulkBuildOrderTest : public ::testing::TestWithParam<TBuildCase> {};

TEST_P(BulkBuildOrderTest, BuildsWhatSingleInsertsBuild) {
  const TnxIndexDups dups = GetParam().Dups;
  const TOrder order = GetParam().Order;
  // 16-byte keys: 168 keys per 4 KB leaf, a target of 134.
  const uint32_t big = TestSize(3000u, 1000000u);
  for (const uint32_t n : {0u, 1u, 134u, 135u, big}) {
    SCOPED_TRACE(std::string(OrderName(order)) + ", " + std::to_string(n) + " keys" +
                 (dups == idNone ? ", unique" : ", duplicates"));
    BulkWorld bulk({15, dups});
    ASSERT_EQ(LeafTarget(bulk.Tree().MaxLeaf()), 134u);
    const std::vector<int64_t> values = Values(order, n);
    auto builder = bulk.Builder();
    // Small batches at quick size, so runs and merges happen.
    if (n == big && n < 100000) builder->SetKeysPerContainer(500);
    if (order == TOrder::AllEqual && dups == idNone && n > 1) {
      const uint32_t code = ErrorCodeOf([&] {
        TnxRefNr ref = 0;
        for (int64_t v : values) builder->InsertKey(++ref, bulk.Record(v).data(), bulk.Fx().Trans());
        builder->Finalize(bulk.Fx().Trans());
      });
      EXPECT_EQ(code, nxeKeyViolation);
      continue;
    }
    bulk.Build(*builder, values);
    const TTreeReport built = bulk.Check();
    ASSERT_EQ(built.Error, "");
    if (order == TOrder::Sorted) {
      EXPECT_EQ(builder->RunCount(), n > 0 ? 1u : 0u);
      EXPECT_EQ(builder->MergePasses(), 0u);
    }
    EXPECT_LE(builder->PeakLockedContainers(), 3);

    BulkWorld single({15, dups});
    TnxRefNr ref = 0;
    for (int64_t v : values) ASSERT_TRUE(single.Insert(v, ++ref));
    const TTreeReport inserted = single.Check();
    ASSERT_EQ(inserted.Error, "");
    ASSERT_EQ(built.Entries.size(), inserted.Entries.size());
    ASSERT_TRUE(built.Entries == inserted.Entries);
    // The leaves are spread evenly: none holds more than the target.
    for (const auto& leaf : built.Leaves) ASSERT_LE(leaf.size(), 134u);
    ExpectSameNavigation(bulk, single, values, built.Entries);
    if (HasFatalFailure()) return;

    // Every key is found again: a unique index refuses it once more, a
    // delete finds it; then new keys go in among the old.
    std::multiset<std::pair<int64_t, TnxRefNr>> model;
    ref = 0;
    for (int64_t v : values) model.insert({v, ++ref});
    ref = 0;
    for (int64_t v : values) {
      ++ref;
      if (dups == idNone && ref % 5 == 0) {
        ASSERT_FALSE(bulk.Insert(v, ref + 1000000000));
      }
      if (ref % 3 == 0) {
        ASSERT_TRUE(bulk.Delete(v, ref)) << v;
        model.erase(model.find({v, ref}));
      }
    }
    for (uint32_t i = 0; i < std::min(n, 2000u); ++i) {
      const int64_t v = int64_t{i} * 3 + 1;
      ASSERT_TRUE(bulk.Insert(v, 2000000000 + i));
      model.insert({v, 2000000000 + i});
    }
    const TTreeReport after = bulk.Check();
    ASSERT_EQ(after.Error, "");
    std::vector<TTreeEntry> expected;
    for (const auto& [v, r] : model) expected.emplace_back(bulk.Key(v), r);
    ASSERT_TRUE(after.Entries == expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Orders, BulkBuildOrderTest,
    ::testing::Values(TBuildCase{TOrder::Random, idNone}, TBuildCase{TOrder::Sorted, idNone},
                      TBuildCase{TOrder::Reversed, idNone}, TBuildCase{TOrder::OrganPipe, idNone},
                      TBuildCase{TOrder::AllEqual, idNone}, TBuildCase{TOrder::Random, idAll},
                      TBuildCase{TOrder::Sorted, idAll}, TBuildCase{TOrder::Reversed, idAll},
                      TBuildCase{TOrder::OrganPipe, idAll}, TBuildCase{TOrder::AllEqual, idAll}),
    [](const ::testing::TestParamInfo<TBuildCase>& aInfo) {
      std::string name = OrderName(aInfo.param.Order);
      std::erase(name, ' ');
      return name + (aInfo.param.Dups == idNone ? "Unique" : "Duplicates");
    });

// 700-byte keys: 5 keys per leaf and per internal node, targets of 4.
TEST(BulkBuildStaticKeyTest, LeavesAndLevelsFollowThePlan) {
  struct TCase {
    uint32_t Keys;
    std::vector<size_t> Leaves;  // keys per leaf; empty: only count them
    uint32_t LeafCount;
    int32_t Depth;
    uint32_t Pages;
  } cases[] = {
      {1, {1}, 1, 0, 1},
      {4, {4}, 1, 0, 1},
      {5, {3, 2}, 2, 1, 3},
      {10, {4, 3, 3}, 3, 1, 4},
      // 50 leaves under 10, 2 and 1 internal nodes.
      {200, {}, 50, 3, 63},
      // 125 leaves: 25 under 5 under 1... each level at its planned count.
      {500, {}, 125, 3, 125 + 25 + 5 + 1},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Keys) + " keys");
    BulkWorld w({699});
    ASSERT_EQ(w.Tree().MaxLeaf(), 5);
    ASSERT_EQ(w.Tree().MaxInternal(), 5);
    std::vector<int64_t> values = Values(TOrder::Random, c.Keys);
    auto builder = w.Builder();
    w.Build(*builder, values);
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Leaves.size(), c.LeafCount);
    if (!c.Leaves.empty()) {
      std::vector<size_t> sizes;
      for (const auto& leaf : r.Leaves) sizes.push_back(leaf.size());
      EXPECT_EQ(sizes, c.Leaves);
    }
    size_t least = SIZE_MAX, most = 0;
    for (const auto& leaf : r.Leaves) least = std::min(least, leaf.size()), most = std::max(most, leaf.size());
    EXPECT_LE(most - least, 1u) << "the fill is spread evenly";
    EXPECT_EQ(r.Depth, c.Depth);
    EXPECT_EQ(r.Pages, c.Pages) << "no node beyond the plan";
  }
}

// Entries as the tree builder takes them: key, RefNr in the last 8 bytes.
std::vector<uint8_t> Entry(BulkWorld& aWorld, int64_t aValue, TnxRefNr aRefNr, uint32_t aEntryLength) {
  std::vector<uint8_t> e(aEntryLength, 0);
  const std::vector<uint8_t> key = aWorld.Key(aValue);
  std::memcpy(e.data(), key.data(), key.size());
  platform::StoreU64(e.data() + aEntryLength - 8, static_cast<uint64_t>(aRefNr));
  return e;
}

// However far the keys fed are from the plan, one root and a sound tree.
TEST(BulkBuildStaticKeyTest, TheTreeBuilderAddsLevelsBeyondItsPlan) {
  struct TCase {
    uint32_t Planned, Fed;
  } cases[] = {{0, 1}, {1, 7}, {4, 5}, {10, 500}, {500, 3}, {500, 30}, {3, 3000}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.Planned) + " planned, " + std::to_string(c.Fed) + " fed");
    BulkWorld w({699});
    const uint32_t entry = (w.Tree().KeyEngine().KeyLength() + 23) & ~15u;
    {
      TnxTreeBuilder tree(w.Tree(), w.Fx().Trans(), c.Planned, entry - 8);
      for (uint32_t i = 0; i < c.Fed; ++i) tree.InsertKey(Entry(w, i, i + 1, entry).data());
      tree.Finalize();
      if (c.Fed > std::max(c.Planned, 1u) * 4) {
        EXPECT_GT(tree.Levels(), tree.PlannedLevels());
      }
    }
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "");
    ASSERT_EQ(r.Entries.size(), c.Fed);
    // Later changes work on it.
    for (uint32_t i = 0; i < c.Fed; i += 2) ASSERT_TRUE(w.Delete(i, i + 1));
    ASSERT_TRUE(w.Insert(c.Fed + 5, 1));
    ASSERT_EQ(w.Check().Error, "");
  }
}

TEST(BulkBuildStaticKeyTest, AnIndexThatIsNotEmptyIsRefusedAtOnce) {
  BulkWorld w({15});
  ASSERT_TRUE(w.Insert(5, 1));
  w.Fx().Commit();
  EXPECT_EQ(ErrorCodeOf([&] { w.Engine().CreateBulkBuilder(w.Fx().Trans()); }), nxeIndexIsNotEmpty);
  EXPECT_HAS_TEXT(MessageOf<EnxBaseException>([&] { w.Engine().CreateBulkBuilder(w.Fx().Trans()); }),
                  u"Index is not empty.");
  // Emptied again, it can be built.
  w.Tree().DeleteAllKeys(w.Fx().Trans());
  auto builder = w.Builder();
  w.Build(*builder, {1, 2, 3});
  EXPECT_EQ(w.Check().Entries.size(), 3u);
}

// Forbidden duplicates wherever the build meets them: in one batch, at the
// seam of two ordered batches, between runs of the merge.
TEST(BulkBuildStaticKeyTest, ForbiddenDuplicatesRaiseBulkCreateKeyViolations) {
  struct TCase {
    const char* Name;
    TnxIndexDups Dups;
    std::vector<std::pair<int64_t, bool>> Values;  // value, NULL
    uint32_t PerContainer;
    bool Refused;
  } cases[] = {
      {"in one batch", idNone, {{1, false}, {3, false}, {2, false}, {3, false}}, 100, true},
      {"across ordered batches", idNone, {{1, false}, {2, false}, {2, false}, {3, false}}, 2, true},
      {"in the merge into the tree", idNone, {{0, false}, {5, false}, {1, false}, {5, false}}, 2, true},
      {"in an earlier merge", idNone,
       {{0, false}, {8, false}, {1, false}, {7, false}, {2, false}, {7, false}, {10, false}, {11, false},
        {12, false}, {13, false}},
       2, true},
      {"duplicates allowed", idAll, {{1, false}, {3, false}, {3, false}, {1, false}}, 2, false},
      {"NULL-only: NULL keys repeat", idNull, {{1, true}, {1, true}, {1, true}, {2, false}}, 2, false},
      {"NULL-only: others do not", idNull, {{1, true}, {2, false}, {1, true}, {2, false}}, 2, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    BulkWorld w({15, c.Dups});
    auto builder = w.Builder();
    builder->SetKeysPerContainer(c.PerContainer);
    std::u16string message;
    uint32_t code = 0;
    try {
      TnxRefNr ref = 0;
      for (const auto& [v, null] : c.Values) {
        const uint32_t r = builder->InsertKey(++ref, w.Record(v, null).data(), w.Fx().Trans());
        ASSERT_EQ(r, 0u);
      }
      code = builder->Finalize(w.Fx().Trans());
    } catch (const EnxBaseException& e) {
      code = e.ErrorCode();
      message = e.Message();
    }
    if (!c.Refused) {
      EXPECT_EQ(code, 0u);
      EXPECT_EQ(w.Check().Entries.size(), c.Values.size());
      continue;
    }
    EXPECT_EQ(code, nxeKeyViolation);
    EXPECT_TRUE(Contains(message, u"Operation: BulkCreate")) << platform::Utf16ToUtf8(message);
    EXPECT_TRUE(Contains(message, u"Index: \"Tree\""));
    // Every container went with the exception: no scratch pages are left.
    EXPECT_LT(w.Bm().ResidentPages(), 1024);
    w.Fx().Rollback();
    EXPECT_EQ(w.Root(), nxNoNode);
  }
}

// Keys with a byte-order form (an Int32 here) are sorted through stand-ins
// of that form; ties, NULLs and negative values come out as the key engine
// orders them, and a forbidden duplicate is still found in a batch.
TEST(BulkBuildStaticKeyTest, IntegerKeysBuildTheTreeInKeyThenRefNrOrder) {
  for (const TnxIndexDups dups : {idAll, idNone}) {
    SCOPED_TRACE(dups == idAll ? "duplicates" : "unique");
    BulkWorld w({15, dups, 64, false, false, true});
    auto builder = w.Builder();
    builder->SetKeysPerContainer(700);
    constexpr int64_t kCount = 5000;
    TnxRefNr ref = 0;
    for (int64_t i = 0; i < kCount; ++i) {
      const int64_t v = dups == idAll ? (i * 7919) % 37 - 18 : (i * 7919) % kCount - kCount / 2;
      ASSERT_EQ(builder->InsertKey(++ref, w.Record(v, dups == idAll && i % 11 == 0).data(), w.Fx().Trans()), 0u);
    }
    ASSERT_EQ(builder->Finalize(w.Fx().Trans()), 0u);
    const TTreeReport built = w.Check();
    ASSERT_EQ(built.Error, "");
    ASSERT_EQ(built.Entries.size(), size_t{kCount});
    std::set<TnxRefNr> refs;
    for (size_t i = 0; i < built.Entries.size(); ++i) {
      refs.insert(built.Entries[i].second);
      if (i == 0) continue;
      const int c = w.Tree().KeyEngine().CompareKey(built.Entries[i - 1].first.data(), built.Entries[i].first.data());
      ASSERT_TRUE(c < 0 || (c == 0 && built.Entries[i - 1].second < built.Entries[i].second)) << i;
    }
    EXPECT_EQ(refs.size(), size_t{kCount});
  }
  BulkWorld w({15, idNone, 64, false, false, true});
  auto builder = w.Builder();
  const uint32_t code = ErrorCodeOf([&] {
    TnxRefNr ref = 0;
    for (const int64_t v : {5, -3, 7, 5, 0})
      builder->InsertKey(++ref, w.Record(v).data(), w.Fx().Trans());
    builder->Finalize(w.Fx().Trans());
  });
  EXPECT_EQ(code, nxeKeyViolation);
}

// A failure in the last merge leaves written nodes to the rollback.
TEST(BulkBuildStaticKeyTest, AFailureWhileWritingTheTreeIsRolledBack) {
  BulkWorld w({15});
  auto builder = w.Builder();
  builder->SetKeysPerContainer(100);
  // Two runs of many keys each; their last keys collide.
  TnxRefNr ref = 0;
  for (int64_t v = 0; v < 300; v += 2) ASSERT_EQ(builder->InsertKey(++ref, w.Record(v).data(), w.Fx().Trans()), 0u);
  for (int64_t v = 1; v < 299; v += 2) ASSERT_EQ(builder->InsertKey(++ref, w.Record(v).data(), w.Fx().Trans()), 0u);
  ASSERT_EQ(builder->InsertKey(++ref, w.Record(298).data(), w.Fx().Trans()), 0u);
  EXPECT_EQ(ErrorCodeOf([&] { builder->Finalize(w.Fx().Trans()); }), nxeKeyViolation);
  EXPECT_LT(w.Bm().ResidentPages(), 1024);
  w.Fx().Rollback();
  EXPECT_EQ(w.Root(), nxNoNode);
  EXPECT_EQ(w.Check().Error, "");
  // The same transaction's world builds again from scratch.
  auto again = w.Builder();
  w.Build(*again, Values(TOrder::Random, 400));
  EXPECT_EQ(w.Check().Entries.size(), 400u);
}

// Leaves of an index whose key is the RefNr hold the key alone.
TEST(BulkBuildStaticKeyTest, BuildsAnIndexOfRefNrs) {
  BulkWorld w({15, idNone, 64, false, true});
  ASSERT_TRUE(w.Tree().KeysAreRefs());
  std::vector<TnxRefNr> refs(2000);
  std::iota(refs.begin(), refs.end(), 1);
  std::shuffle(refs.begin(), refs.end(), std::mt19937(3));
  auto builder = w.Builder();
  builder->SetKeysPerContainer(300);
  for (TnxRefNr ref : refs) ASSERT_EQ(builder->InsertKey(ref, w.Record(ref).data(), w.Fx().Trans()), 0u);
  ASSERT_EQ(builder->Finalize(w.Fx().Trans()), 0u);
  const TTreeReport r = w.Check();
  ASSERT_EQ(r.Error, "");
  ASSERT_EQ(r.Entries.size(), refs.size());
  for (size_t i = 0; i < r.Entries.size(); ++i) {
    ASSERT_EQ(r.Entries[i].second, static_cast<TnxRefNr>(i + 1));
    ASSERT_EQ(platform::LoadU64(r.Entries[i].first.data()), i + 1);
  }
}

// A builder that has finished, or given up, refuses to go on; giving up
// frees its containers at once.
TEST(BulkBuildStaticKeyTest, AFinishedBuilderRefusesFurtherWork) {
  BulkWorld w({15});
  auto builder = w.Builder();
  w.Build(*builder, {1, 2});
  EXPECT_EQ(ErrorCodeOf([&] { builder->Finalize(w.Fx().Trans()); }), nxeInvalidParameter);
  EXPECT_EQ(ErrorCodeOf([&] { builder->InsertKey(9, w.Record(9).data(), w.Fx().Trans()); }), nxeInvalidParameter);
  EXPECT_EQ(w.Check().Entries.size(), 2u);

  BulkWorld failed({15});
  auto refused = failed.Builder();
  refused->SetKeysPerContainer(2);
  ASSERT_EQ(refused->InsertKey(1, failed.Record(4).data(), failed.Fx().Trans()), 0u);
  ASSERT_EQ(refused->InsertKey(2, failed.Record(4).data(), failed.Fx().Trans()), 0u);
  // The full batch is sorted before the third key goes in.
  EXPECT_EQ(ErrorCodeOf([&] { refused->InsertKey(3, failed.Record(5).data(), failed.Fx().Trans()); }),
            nxeKeyViolation);
  EXPECT_LT(failed.Bm().ResidentPages(), 1024);
  EXPECT_EQ(ErrorCodeOf([&] { refused->Finalize(failed.Fx().Trans()); }), nxeInvalidParameter);
}

TEST(BulkBuildStaticKeyTest, RecordsWithoutKeyAddNothing) {
  BulkWorld w({15, idNone, 64, true});
  auto builder = w.Builder();
  TnxRefNr ref = 0;
  for (int64_t v = 0; v < 100; ++v)
    ASSERT_EQ(builder->InsertKey(++ref, w.Record(v, v % 4 == 0).data(), w.Fx().Trans()), 0u);
  ASSERT_EQ(builder->Finalize(w.Fx().Trans()), 0u);
  EXPECT_EQ(builder->TotalKeyCount(), 75u);
  const TTreeReport r = w.Check();
  ASSERT_EQ(r.Error, "");
  EXPECT_EQ(r.Entries.size(), 75u);

  // Nothing at all: the index stays empty.
  BulkWorld none({15, idNone, 64, true});
  auto empty = none.Builder();
  for (int64_t v = 0; v < 10; ++v) ASSERT_EQ(empty->InsertKey(v + 1, none.Record(v, true).data(), none.Fx().Trans()), 0u);
  ASSERT_EQ(empty->Finalize(none.Fx().Trans()), 0u);
  EXPECT_EQ(none.Root(), nxNoNode);
  EXPECT_EQ(none.Check().Pages, 0u);
}

// Runs: ordered batches are chained and need no merge; the others are
// merged two at a time, shortest first.
TEST(BulkBuildStaticKeyTest, RunsAreFormedBeforeMerging) {
  struct TCase {
    const char* Name;
    std::vector<int64_t> Values;
    uint32_t Runs, Merges;
  } cases[] = {
      // Batches of 10.
      {"in key order", Values(TOrder::Sorted, 60), 1, 0},
      {"each batch reversed", [] {
         std::vector<int64_t> v;
         for (int64_t b = 0; b < 6; ++b)
           for (int64_t i = 9; i >= 0; --i) v.push_back(b * 10 + i);
         return v;
       }(), 1, 0},
      // Sorted batches in descending order still chain once ordered.
      {"batches in reverse order", Values(TOrder::Reversed, 60), 1, 0},
      {"two interleaved halves", [] {
         std::vector<int64_t> v;
         for (int64_t i = 0; i < 60; ++i) v.push_back(i < 30 ? 2 * i : 2 * (i - 30) + 1);
         return v;
       }(), 2, 0},
      // Every batch spans the whole range: six runs, four merges to two.
      {"overlapping batches", [] {
         std::vector<int64_t> v;
         for (int64_t i = 0; i < 6; ++i)
           for (int64_t j = 0; j < 10; ++j) v.push_back(i + 6 * j);
         return v;
       }(), 6, 4},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    BulkWorld w({15});
    auto builder = w.Builder();
    builder->SetKeysPerContainer(10);
    w.Build(*builder, c.Values);
    EXPECT_EQ(builder->RunCount(), c.Runs);
    EXPECT_EQ(builder->MergePasses(), c.Merges);
    EXPECT_LE(builder->PeakLockedContainers(), 3);
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "");
    ASSERT_EQ(r.Entries.size(), c.Values.size());
  }
}

// The containers count in the cache budget: with a temporary store they are
// parked beyond it, so the cache stays within the budget and the three
// containers a merge locks; without one they stay and show.
TEST(BulkBuildStaticKeyTest, ContainersStayWithinTheCacheBudget) {
  const uint32_t keys = TestSize(1000000u, 10000000u);
  const int32_t budgetMB = TestSize(8, 64);
  BulkWorld w({15, idNone, budgetMB});
  w.Bm().SetTempStoreSize(1);
  auto builder = w.Builder();
  TnxRefNr ref = 0;
  for (uint32_t i = 0; i < keys; ++i) {
    // Distinct values in a scattered order.
    const int64_t v = static_cast<int64_t>((uint64_t{i} * 2654435761u) % 4294967311u);
    ASSERT_EQ(builder->InsertKey(++ref, w.Record(v).data(), w.Fx().Trans()), 0u);
  }
  ASSERT_EQ(builder->Finalize(w.Fx().Trans()), 0u);
  EXPECT_GT(builder->ContainersMade(), 3u);
  EXPECT_GT(builder->RunCount(), 2u);
  EXPECT_LE(builder->PeakLockedContainers(), 3);
  const int32_t budget = budgetMB * 256;
  const int32_t slack = 64;  // the header, the nodes being filled
  EXPECT_LE(builder->PeakResidentPages(), budget + 3 * 1024 + slack)
      << "peak " << builder->PeakResidentPages() << " pages, budget " << budget;
  auto header = w.Tree().CreateHeaderAccess(&w.Fx().Trans(), false, false, 0, 0);
  EXPECT_EQ(header->GetIndexKeyCount(), keys);
  header.reset();
  if (!testing::LongTests()) {
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Entries.size(), keys);
  }
  std::printf("[ peak ] %u keys, %d MB budget: %d pages mapped at most (%d budget + %d locked containers)\n", keys,
              budgetMB, builder->PeakResidentPages(), budget, builder->PeakLockedContainers() * 1024);
}

TEST(BulkBuildStaticKeyTest, WithoutATemporaryStoreContainersStayInMemory) {
  BulkWorld w({15, idNone, 4});
  auto builder = w.Builder();
  builder->SetKeysPerContainer(100);
  TnxRefNr ref = 0;
  for (int64_t v = 600; v > 0; --v) ASSERT_EQ(builder->InsertKey(++ref, w.Record(v).data(), w.Fx().Trans()), 0u);
  // Six batches of 4 MB each over a 4 MB budget: nowhere to park them.
  EXPECT_GE(w.Bm().ResidentPages(), 6 * 1024);
  ASSERT_EQ(builder->Finalize(w.Fx().Trans()), 0u);
  EXPECT_GE(builder->PeakResidentPages(), 6 * 1024);
  EXPECT_LT(w.Bm().ResidentPages(), 1024) << "all given back";
  EXPECT_EQ(w.Check().Entries.size(), 600u);
}

TEST(BulkBuildStaticKeyTest, BatchSizesAreCheckedAndEntriesAre16ByteAligned) {
  struct TCase {
    int32_t DataBytes;
    uint32_t Entry;
  } cases[] = {{7, 16}, {15, 32}, {23, 32}, {24, 48}, {699, 720}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.DataBytes);
    BulkWorld w({c.DataBytes});
    auto builder = w.Builder();
    EXPECT_EQ(builder->EntryLength(), c.Entry);
    EXPECT_EQ(builder->KeysPerContainer(), 4194304u / c.Entry);
    EXPECT_EQ(ErrorCodeOf([&] { builder->SetKeysPerContainer(0); }), nxeInvalidParameter);
    EXPECT_EQ(ErrorCodeOf([&] { builder->SetKeysPerContainer(4194304u / c.Entry + 1); }), nxeInvalidParameter);
  }
}

}  // namespace
}  // namespace revurov
