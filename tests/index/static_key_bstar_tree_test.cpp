#include "index/static_key_bstar_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "storage/buffer_manager.h"
#include "storage/header_access.h"
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
  TnxBlockSize MinBlockSize = nxbs4k;
};

// A table with one index over its byte-array field, on the tree engine.
// A key of value v holds v big-endian in its first 8 bytes (fewer: the low ones) and a pattern
// of v after them, so keys order as their values.
class TreeWorld {
public:
  explicit TreeWorld(const TTreeShape& aShape)
      : fx_(TTableShape{.DataBytes = aShape.DataBytes, .MinBlockSize = aShape.MinBlockSize}) {
    auto* indices = fx_.Dict().EnsureIndicesDescriptor();
    while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
    TnxIndexDescriptor* d = indices->AddIndex(u"Tree", 0, aShape.Dups, u"", &TnxCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
    TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*d);
    engine_ = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), &fx_.Records(), &fx_.Trans(), false);
    fx_.Commit();
  }

  TnxStaticKeyBstarTreeIndexEngine& Tree() {
    return static_cast<TnxStaticKeyBstarTreeIndexEngine&>(engine_->Indices(0));
  }
  TTableFixture& Fx() { return fx_; }
  TnxBaseIndicesEngine& Engine() { return *engine_; }

  std::vector<uint8_t> Key(int64_t aValue, bool aNull = false) {
    std::vector<uint8_t> record(fx_.RecordLength(), 0);
    const auto& fields = fx_.Dict().FieldsDescriptor();
    uint8_t* data = record.data() + fields.FieldDescriptor(0)->Offset();
    const int32_t bytes = fields.FieldDescriptor(0)->Length();
    const int32_t high = std::min(bytes, 8);
    for (int32_t i = 0; i < bytes; ++i)
      data[i] = i < high ? static_cast<uint8_t>(static_cast<uint64_t>(aValue) >> (8 * (high - 1 - i)))
                         : static_cast<uint8_t>(aValue * 31 + i);
    fields.SetRecordFieldNull(0, record.data(), aNull);
    std::vector<uint8_t> key(Tree().KeyEngine().KeyLength(), 0);
    EXPECT_EQ(Tree().KeyEngine().BuildKey(record.data(), key.data(), 1, false), 0u);
    return key;
  }
  bool Insert(const std::vector<uint8_t>& aKey, TnxRefNr aRefNr, TnxBaseIndexPath* aPath = nullptr) {
    return Tree().InsertKey(fx_.Trans(), aKey.data(), aRefNr, 0, aPath);
  }
  bool Delete(const std::vector<uint8_t>& aKey, TnxRefNr aRefNr, TnxBaseIndexPath* aPath = nullptr) {
    return Tree().DeleteKey(fx_.Trans(), aKey.data(), aRefNr, 0, aPath);
  }
  TTreeReport Check() { return TTreeChecker(Tree(), &fx_.Trans()).Check(); }

private:
  TnxStorageStartupGuard storage_;
  TnxIndexStartupGuard startup_;
  TTableFixture fx_;
  std::unique_ptr<TnxBaseIndicesEngine> engine_;
};

// ---- geometry and checks ----

TEST(StaticKeyBstarTreeTest, GeometryFollowsKeyLengthAndDuplicates) {
  struct TCase {
    const char* Name;
    TTreeShape Shape;
    uint16_t DescKey, NodeKey, MaxLeaf, MaxInternal;
  } cases[] = {
      // 4 KB "NX!2" blocks hold 4092 usable bytes.
      {"short unique key", {7, idNone}, 8, 8, (4092 - 40) / 16, (4092 - 44) / 12},
      {"33 bytes round up to 36", {32, idNone}, 36, 36, (4092 - 40) / 44, (4092 - 44) / 40},
      {"duplicates carry the RefNr", {32, idAll}, 36, 44, (4092 - 40) / 44, (4092 - 44) / 48},
      {"NULL-only duplicates too", {32, idNull}, 36, 44, (4092 - 40) / 44, (4092 - 44) / 48},
      {"32 bytes stay", {31, idNone}, 32, 32, (4092 - 40) / 40, (4092 - 44) / 36},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TreeWorld w(c.Shape);
    EXPECT_EQ(w.Tree().DescKeyLength(), c.DescKey);
    EXPECT_EQ(w.Tree().NodeKeyLength(), c.NodeKey);
    EXPECT_EQ(w.Tree().MaxLeaf(), c.MaxLeaf);
    EXPECT_EQ(w.Tree().MaxInternal(), c.MaxInternal);
    EXPECT_EQ(w.Tree().LeafKeyOffset(2), 40u + 2u * (c.DescKey + 8u));
    EXPECT_EQ(w.Tree().TreePointerOffset(1), 40u + c.NodeKey + 4u);
    EXPECT_EQ(w.Tree().InternalKeyOffset(1), 44u + c.NodeKey + 4u);
  }
}

// ---- splits and merges ----

// MaxLeaf 7 (500-byte keys in 4 KB blocks), so every case fits a leaf or two.
TEST(StaticKeyBstarTreeTest, LeavesSplitBorrowAndMergeAsLaidDown) {
  struct TCase {
    const char* Name;
    std::vector<int64_t> Inserts;
    std::vector<int64_t> Deletes;
    std::vector<std::vector<int64_t>> Leaves;
  } cases[] = {
      {"first key", {10}, {}, {{10}}},
      {"split at 4 for slot 5", {10, 20, 30, 40, 50, 60, 70, 55}, {}, {{10, 20, 30, 40}, {50, 55, 60, 70}}},
      {"split at 3 for slot 2", {10, 20, 30, 40, 50, 60, 70, 25}, {}, {{10, 20, 25, 30}, {40, 50, 60, 70}}},
      {"slot 3 = split: the shorter left", {10, 20, 30, 40, 50, 60, 70, 35}, {}, {{10, 20, 30, 35}, {40, 50, 60, 70}}},
      {"slot 4 = split: the right", {10, 20, 30, 40, 50, 60, 70, 45}, {}, {{10, 20, 30, 40}, {45, 50, 60, 70}}},
      {"slot 0", {10, 20, 30, 40, 50, 60, 70, 5}, {}, {{5, 10, 20, 30}, {40, 50, 60, 70}}},
      {"past the end", {10, 20, 30, 40, 50, 60, 70, 75}, {}, {{10, 20, 30, 40}, {50, 60, 70, 75}}},
      {"descending fill", {70, 60, 50, 40, 30, 20, 10, 5}, {}, {{5, 10, 20, 30}, {40, 50, 60, 70}}},
      {"borrow from the left",
       {10, 20, 30, 40, 50, 60, 70, 55, 15, 25},
       {60},
       {{10, 15, 20, 25, 30}, {40, 50, 55, 70}}},
      {"borrow from the right", {10, 20, 30, 40, 50, 60, 70, 55, 65}, {20}, {{10, 30, 40, 50}, {55, 60, 65, 70}}},
      {"merge into the left", {10, 20, 30, 40, 50, 60, 70, 55}, {60}, {{10, 20, 30, 40, 50, 55, 70}}},
      {"merge the right into the first", {10, 20, 30, 40, 50, 60, 70, 55}, {20}, {{10, 30, 40, 50, 55, 60, 70}}},
      {"last key of a leaf: separator follows", {10, 20, 30, 40, 50, 60, 70, 55, 35}, {40},
       {{10, 20, 30, 35}, {50, 55, 60, 70}}},
      {"last key of the index", {10}, {10}, {}},
      {"all keys, ascending", {10, 20, 30, 40, 50, 60, 70, 55}, {10, 20, 30, 40, 50, 55, 60, 70}, {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TreeWorld w({499, idNone});
    ASSERT_EQ(w.Tree().MaxLeaf(), 7);
    for (int64_t v : c.Inserts) ASSERT_TRUE(w.Insert(w.Key(v), v));
    for (int64_t v : c.Deletes) ASSERT_TRUE(w.Delete(w.Key(v), v));
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "");
    std::vector<std::vector<TTreeEntry>> expected;
    for (const auto& leaf : c.Leaves) {
      expected.emplace_back();
      for (int64_t v : leaf) expected.back().emplace_back(w.Key(v), v);
    }
    EXPECT_EQ(r.Leaves, expected);
    // One leaf is the root; two hang under a root of their own.
    EXPECT_EQ(r.Pages, c.Leaves.size() > 1 ? c.Leaves.size() + 1 : c.Leaves.size());
  }
}

TEST(StaticKeyBstarTreeTest, TheFirstKeyLandsInTheMiddleOfTheRootLeaf) {
  TreeWorld w({7, idNone});
  ASSERT_TRUE(w.Insert(w.Key(1), 9));
  auto header = w.Tree().CreateHeaderAccess(&w.Fx().Trans(), false, false, 0, 0);
  EXPECT_EQ(header->GetIndexKeyCount(), 1u);
  EXPECT_EQ(header->GetIndexPageCount(), 1u);
  TnxBlockGuard root;
  root.Hold(w.Fx().Access().GetBlock(&w.Fx().Trans(), header->GetIndexRoot(), 0, false, root.ReleaseMethod()));
  EXPECT_EQ(platform::LoadU16(root.Block() + nxihFirstSlot), w.Tree().MaxLeaf() / 2);
  EXPECT_EQ(root.Block()[nxihNodeKind], nxnkLeaf);
  EXPECT_EQ(platform::LoadU64(root.Block() + w.Tree().LeafKeyOffset(w.Tree().MaxLeaf() / 2) + 8), 9u);
}

// Refused changes answer false and leave counters and nodes alone.
TEST(StaticKeyBstarTreeTest, DuplicatesAndMissingKeysChangeNothing) {
  struct TCase {
    const char* Name;
    TnxIndexDups Dups;
    bool Null;            // the keys hold a NULL
    TnxRefNr SecondRef;   // RefNr of the second insert of the same key
    bool SecondAccepted;
  } cases[] = {
      {"unique, other RefNr", idNone, false, 2, false},
      {"unique NULL key twice", idNone, true, 2, false},
      {"duplicates, other RefNr", idAll, false, 2, true},
      {"duplicates, same RefNr", idAll, false, 1, false},
      {"NULL-only, without NULL", idNull, false, 2, false},
      {"NULL-only, with NULL", idNull, true, 2, true},
      {"NULL-only, with NULL, same RefNr", idNull, true, 1, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TreeWorld w({7, c.Dups});
    ASSERT_TRUE(w.Insert(w.Key(5, c.Null), 1));
    auto header = w.Tree().CreateHeaderAccess(&w.Fx().Trans(), false, false, 0, 0);
    const uint32_t root = header->GetIndexRoot();
    header.reset();
    TnxBlockGuard before;
    before.Hold(w.Fx().Access().GetBlock(&w.Fx().Trans(), root, 0, false, before.ReleaseMethod()));
    const uint64_t counter = platform::LoadU64(before.Block() + nxihChangeCounter);
    before.Release();
    EXPECT_EQ(w.Insert(w.Key(5, c.Null), c.SecondRef), c.SecondAccepted);
    EXPECT_FALSE(w.Delete(w.Key(6), 1));
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Entries.size(), c.SecondAccepted ? 2u : 1u);
    if (!c.SecondAccepted) {
      TnxBlockGuard after;
      after.Hold(w.Fx().Access().GetBlock(&w.Fx().Trans(), root, 0, false, after.ReleaseMethod()));
      EXPECT_EQ(platform::LoadU64(after.Block() + nxihChangeCounter), counter);
    }
  }
}

// With NULL-only duplicates the one equal key may sit at the end of the
// previous leaf or the start of the next one.
TEST(StaticKeyBstarTreeTest, NullOnlyDuplicatesAreFoundInTheNeighbouringLeaf) {
  TreeWorld w({499, idNull});  // MaxLeaf 7
  const int64_t n = w.Tree().MaxLeaf() * 3;
  for (int64_t v = 0; v < n; ++v) ASSERT_TRUE(w.Insert(w.Key(v * 10), 1000));
  TTreeReport r = w.Check();
  ASSERT_EQ(r.Error, "");
  ASSERT_GE(r.Leaves.size(), 3u);
  for (size_t leaf = 0; leaf < r.Leaves.size(); ++leaf) {
    SCOPED_TRACE(leaf);
    const TTreeEntry& last = r.Leaves[leaf].back();
    const TTreeEntry& first = r.Leaves[leaf].front();
    // A larger RefNr descends right of the last key; a smaller one left of the first.
    EXPECT_FALSE(w.Tree().InsertKey(w.Fx().Trans(), last.first.data(), last.second + 1, 0, nullptr));
    EXPECT_FALSE(w.Tree().InsertKey(w.Fx().Trans(), first.first.data(), first.second - 1, 0, nullptr));
  }
  EXPECT_EQ(w.Check().Entries, r.Entries);
}

TEST(StaticKeyBstarTreeTest, AnOwnPathIsSetOnInsertAndDeleteAndOthersAreLeftAlone) {
  TreeWorld w({7, idAll});
  auto path = w.Tree().CreateIndexPath();
  auto foreign = TnxBaseIndexPath::CreateStandalone();
  ASSERT_TRUE(w.Insert(w.Key(3), 77, path.get()));
  EXPECT_TRUE(path->IsOnKey());
  EXPECT_EQ(path->RefNr, 77);
  EXPECT_EQ(std::memcmp(path->KeyBuffer(), w.Key(3).data(), w.Key(3).size()), 0);
  ASSERT_TRUE(w.Insert(w.Key(4), 78, foreign.get()));
  EXPECT_EQ(foreign->Position, ippUnknown);
  ASSERT_TRUE(w.Delete(w.Key(4), 78, path.get()));
  EXPECT_EQ(path->Position, ippOnCrackAfter);
  EXPECT_TRUE(path->IsDeleted());
  ASSERT_TRUE(w.Delete(w.Key(3), 77, path.get()));
  EXPECT_TRUE(path->IsBof());
}

TEST(StaticKeyBstarTreeTest, DeleteAllKeysFreesEveryNode) {
  TreeWorld w({400, idAll});
  for (int64_t v = 0; v < 300; ++v) ASSERT_TRUE(w.Insert(w.Key(v % 50), v));
  const uint32_t pages = w.Check().Pages;
  ASSERT_GT(pages, 30u);
  auto header = w.Fx().Access().HeaderAccess(&w.Fx().Trans(), false);
  const uint32_t used = header->UsedBlocks();
  header.reset();
  w.Tree().DeleteAllKeys(w.Fx().Trans());
  EXPECT_EQ(w.Check().Error, "");
  EXPECT_EQ(w.Tree().bieGetKeyCount(&w.Fx().Trans()), 0u);
  // The freed nodes come back before the file grows.
  for (int64_t v = 0; v < 300; ++v) ASSERT_TRUE(w.Insert(w.Key(v % 50), v));
  header = w.Fx().Access().HeaderAccess(&w.Fx().Trans(), false);
  EXPECT_LE(header->UsedBlocks(), used);
  EXPECT_EQ(w.Check().Error, "");
}

// A split that cannot get its second node raises half-way: the
// transaction's copies are all it changed, and the rollback restores the
// tree of the last commit.
TEST(StaticKeyBstarTreeTest, ASplitFailingHalfWayRollsBackToTheCommittedTree) {
  TreeWorld w({400, idAll});  // 9 keys a node
  std::vector<TTreeEntry> committed;
  int failed = 0;
  for (int64_t v = 0; v < 400; ++v) {
    SCOPED_TRACE(v);
    const uint32_t used = w.Fx().Access().HeaderAccess(&w.Fx().Trans(), false)->UsedBlocks();
    w.Fx().File().fiMaxBlocks = used + 1;
    const uint32_t code = ErrorCodeOf([&] { ASSERT_TRUE(w.Insert(w.Key(v), v)); });
    w.Fx().File().fiMaxBlocks = 0;
    if (code != 0) {
      ASSERT_EQ(code, nxeTableIsFull);
      ++failed;
      w.Fx().Rollback();
      const TTreeReport r = w.Check();
      ASSERT_EQ(r.Error, "");
      ASSERT_EQ(r.Entries, committed);
      ASSERT_TRUE(w.Insert(w.Key(v), v));
    }
    w.Fx().Commit();
    committed.emplace_back(w.Key(v), v);
  }
  EXPECT_GT(failed, 3);
  const TTreeReport r = w.Check();
  EXPECT_EQ(r.Error, "");
  EXPECT_EQ(r.Entries, committed);
}

// Nodes come from disk: a damaged one is refused with the block error
// before anything outside it is read, by every operation that meets it.
TEST(StaticKeyBstarTreeTest, DamagedNodesAreRefusedByEveryOperation) {
  enum class TNode { Root, FirstLeaf };
  struct TCase {
    const char* Name;
    TNode Node;
    uint32_t Offset;
    uint32_t Width;  // 1, 2 or 4 bytes
    uint32_t Value;
    uint32_t Code;
  } cases[] = {
      {"root points at itself", TNode::Root, 40, 4, 0xFFFFFFFE, nxeNotAnIndexBlock},
      {"child beyond the file", TNode::Root, 40, 4, 0x00FFFFFF, nxeInvalidBlockNumber},
      {"internal count above the maximum", TNode::Root, nxihKeyCount, 2, 9, nxeNotAnIndexBlock},
      {"unknown node kind", TNode::FirstLeaf, nxihNodeKind, 1, 7, nxeNotAnIndexBlock},
      {"window past the node", TNode::FirstLeaf, nxihFirstSlot, 2, 5, nxeNotAnIndexBlock},
      {"not signed", TNode::FirstLeaf, 0, 4, 0, nxeNotAnIndexBlock},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TreeWorld w({499, idNone});  // MaxLeaf 7, MaxInternal 8
    for (int64_t v = 1; v <= 12; ++v) ASSERT_TRUE(w.Insert(w.Key(v * 10), v));
    w.Fx().Commit();
    uint32_t root;
    {
      auto header = w.Tree().CreateHeaderAccess(&w.Fx().Trans(), false, false, 0, 0);
      root = header->GetIndexRoot();
    }
    TnxBufferManager& bm = w.Fx().Storage().BufMgr();
    uint32_t block = root;
    if (c.Node == TNode::FirstLeaf) {
      TnxBlockGuard r;
      r.Hold(bm.GetBlock(w.Fx().File(), &w.Fx().Trans(), root, false, r.ReleaseMethod()));
      block = platform::LoadU32(r.Block() + w.Tree().TreePointerOffset(0));
    }
    {
      TnxBlockGuard b;
      b.Hold(bm.GetBlock(w.Fx().File(), &w.Fx().Trans(), block, true, b.ReleaseMethod()));
      const uint32_t value = c.Value == 0xFFFFFFFE ? block : c.Value;
      if (c.Width == 1) b.Block()[c.Offset] = static_cast<uint8_t>(value);
      if (c.Width == 2) platform::StoreU16(b.Block() + c.Offset, static_cast<uint16_t>(value));
      if (c.Width == 4) platform::StoreU32(b.Block() + c.Offset, value);
    }
    w.Fx().Commit();
    EXPECT_EQ(ErrorCodeOf([&] { w.Insert(w.Key(5), 99); }), c.Code);
    EXPECT_EQ(ErrorCodeOf([&] { w.Delete(w.Key(10), 1); }), c.Code);
    EXPECT_EQ(ErrorCodeOf([&] {
                platform::TStringList lines;
                w.Tree().SaveAll(&w.Fx().Trans(), lines);
              }),
              c.Code);
    EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseIndexEngineException>([&] { w.Insert(w.Key(5), 99); }),
                    w.Fx().File().fiName);
    w.Fx().Rollback();
  }
}

TEST(StaticKeyBstarTreeTest, TheKeyWalkGivesEveryKeyInOrderAndRefusesWhatItCannotNarrow) {
  TreeWorld w({400, idAll});
  for (int64_t v = 60; v > 0; --v) ASSERT_TRUE(w.Insert(w.Key(v % 7), v));
  std::vector<TTreeEntry> walked;
  const TnxIndexKeyIterator collect = [&](void*, TnxRefNr aRefNr, const uint8_t* aKey) {
    walked.emplace_back(std::vector<uint8_t>(aKey, aKey + w.Tree().KeyEngine().KeyLength()), aRefNr);
    return walked.size() == 50 ? kirStop : kirContinue;
  };
  w.Tree().Iterate(&w.Fx().Trans(), nullptr, nullptr, collect, nullptr, nullptr, {}, {}, nullptr, nullptr, false);
  const TTreeReport r = w.Check();
  ASSERT_EQ(r.Error, "");
  EXPECT_EQ(walked, std::vector<TTreeEntry>(r.Entries.begin(), r.Entries.begin() + 50));
  // A bound that claims a key but carries none is refused.
  TnxRangeInfo bound;
  bound.riValid = true;
  EXPECT_EQ(ErrorCodeOf([&] {
              w.Tree().Iterate(&w.Fx().Trans(), nullptr, nullptr, collect, nullptr, nullptr, bound, {}, nullptr,
                               nullptr, false);
            }),
            nxeInvalidParameter);
}

// Nodes keep the index number they were made under; removing an earlier
// index lowers the number, and the tree must still be taken as its own.
TEST(StaticKeyBstarTreeTest, ATreeStaysUsableAfterAnEarlierIndexIsRemoved) {
  TnxStorageStartupGuard storage;
  TnxIndexStartupGuard startup;
  TTableFixture fx(TTableShape{.DataBytes = 400});
  auto* indices = fx.Dict().EnsureIndicesDescriptor();
  while (indices->IndexCount() > 0) indices->RemoveIndex(indices->IndexCount() - 1);
  for (const char16_t* name : {u"First", u"Second"})
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(name, 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(0);
  auto engine = TnxBaseIndicesEngine::CreateEngine(fx.Dict(), fx.Files(), &fx.Records(), &fx.Trans(), false);
  std::vector<uint8_t> record(fx.RecordLength(), 0);
  const auto set = [&](int64_t v) { platform::StoreU64(record.data(), static_cast<uint64_t>(v)); };
  for (int64_t v = 0; v < 100; ++v) {
    set(v);
    ASSERT_EQ(engine->InsertKeys(fx.Trans(), v + 1, record.data(), nullptr), 0u);
  }
  indices->RemoveIndex(0);
  engine->RemoveIndex(fx.Trans(), 0);
  auto& tree = static_cast<TnxStaticKeyBstarTreeIndexEngine&>(engine->Indices(0));
  ASSERT_EQ(tree.IndexNumber(), 0);
  for (int64_t v = 0; v < 100; v += 2) {
    set(v);
    ASSERT_EQ(engine->DeleteKeys(fx.Trans(), v + 1, record.data(), nullptr), 0u);
    set(v + 1000);
    ASSERT_EQ(engine->InsertKeys(fx.Trans(), v + 1001, record.data(), nullptr), 0u);
  }
  const TTreeReport r = TTreeChecker(tree, &fx.Trans()).Check();
  EXPECT_EQ(r.Error, "");
  EXPECT_EQ(r.Entries.size(), 100u);
}

// A freed and reused node starts with another random high half.
TEST(StaticKeyBstarTreeTest, NewNodesDrawTheirChangeCountersHighHalfAtRandom) {
  TreeWorld w({7, idNone});
  std::set<uint64_t> highs;
  auto header = w.Tree().CreateHeaderAccess(&w.Fx().Trans(), false, false, 0, 0);
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(w.Insert(w.Key(1), 1));
    auto h = w.Tree().CreateHeaderAccess(&w.Fx().Trans(), false, false, 0, 0);
    TnxBlockGuard root;
    root.Hold(w.Fx().Access().GetBlock(&w.Fx().Trans(), h->GetIndexRoot(), 0, false, root.ReleaseMethod()));
    const uint64_t counter = platform::LoadU64(root.Block() + nxihChangeCounter);
    EXPECT_EQ(counter & 0xFFFFFFFF, 0u);
    EXPECT_NE(counter >> 48, 0xFFFFu);
    highs.insert(counter >> 48);
    root.Release();
    h.reset();
    ASSERT_TRUE(w.Delete(w.Key(1), 1));
  }
  EXPECT_GT(highs.size(), 4u);
}

// ---- the model ----

struct TModelCase {
  const char* Name;
  TTreeShape Shape;
  int32_t MinDepth;  // internal levels the tree must reach at full size
};

class StaticKeyBstarTreeModelTest : public ::testing::TestWithParam<TModelCase> {};

// Random bursts of ascending, descending and scattered inserts and deletes,
// in batches of which some roll back: every answer equals the model's, and
// the checker finds a sound tree holding exactly the model's entries.
TEST_P(StaticKeyBstarTreeModelTest, EveryAnswerAndTheWholeTreeEqualTheModel) {
  const TModelCase& c = GetParam();
  TreeWorld w(c.Shape);
  TTreeModel model(w.Tree().KeyEngine(), c.Shape.Dups);
  // Six shapes: about 10^6 steps in all at full size.
  const int64_t steps = testing::TestSize(30000, 170000);
  const int64_t domain = steps / 4 + 10;
  std::mt19937_64 rnd(0x5eed + static_cast<uint64_t>(c.Shape.DataBytes) * 3 + c.Shape.Dups);
  const auto pick = [&](int64_t aBound) { return static_cast<int64_t>(rnd() % static_cast<uint64_t>(aBound)); };
  auto path = w.Tree().CreateIndexPath();
  const auto entry = [&](int64_t aValue, TnxRefNr aRefNr) {
    const bool null = aValue % 11 == 0 && c.Shape.Dups != idNone;
    return TTreeEntry{w.Key(aValue, null), aRefNr};
  };
  const auto refNr = [&]() -> TnxRefNr { return pick(4) == 0 ? 1 + pick(20) : 1 + pick(int64_t{1} << 40); };
  int32_t deepest = 0;
  int64_t step = 0, batch = 0;
  const auto check = [&](const char* aWhen) {
    const TTreeReport r = w.Check();
    ASSERT_EQ(r.Error, "") << aWhen << " at step " << step;
    ASSERT_EQ(r.Entries, model.Contents()) << aWhen << " at step " << step;
    deepest = std::max(deepest, r.Depth);
  };
  while (step < steps) {
    const int64_t kind = pick(8);
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
          e = entry(kind == 0 ? base + i : domain - base - i, refNr());
          expected = model.Insert(e);
          answer = w.Insert(e.first, e.second, p);
          break;
        }
        case 2:
        case 3:
          e = entry(pick(domain), refNr());
          expected = model.Insert(e);
          answer = w.Insert(e.first, e.second, p);
          break;
        case 4:  // existing entries from a point on, ascending
        case 5: {  // or below a point, descending
          const TTreeEntry* near = kind == 4 ? model.Near(entry(start, 0)) : model.Below(entry(start, 0));
          if (!near) continue;
          e = *near;
          expected = model.Delete(e);
          answer = w.Delete(e.first, e.second, p);
          break;
        }
        case 6:  // mostly absent
          e = entry(pick(domain), refNr());
          expected = model.Delete(e);
          answer = w.Delete(e.first, e.second, p);
          break;
        default:  // a duplicate of an existing key
        {
          const TTreeEntry* near = model.Near(entry(pick(domain), 0));
          if (!near) continue;
          e = {near->first, pick(2) == 0 ? near->second : refNr()};
          expected = model.Insert(e);
          answer = w.Insert(e.first, e.second, p);
          break;
        }
      }
      ASSERT_EQ(answer, expected) << "step " << step << " kind " << kind;
      if (answer && kind != 4 && kind != 5 && kind != 6) {
        ASSERT_TRUE(p == nullptr || (p->IsOnKey() && p->RefNr == e.second));
      }
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
      if ((step + 1) % testing::TestSize(5000, 25000) == 0) check("during the run");
    }
  }
  check("at the end");
  w.Fx().Commit();
  if (testing::LongTests()) {
    EXPECT_GE(deepest, c.MinDepth);
  }
  // Emptying the tree frees every node.
  for (const TTreeEntry& e : model.Contents()) ASSERT_TRUE(w.Delete(e.first, e.second));
  const TTreeReport r = w.Check();
  EXPECT_EQ(r.Error, "");
  EXPECT_EQ(r.Pages, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, StaticKeyBstarTreeModelTest,
    ::testing::Values(TModelCase{"ShortUnique", {7, idNone}, 1}, TModelCase{"ShortDuplicates", {7, idAll}, 1},
                      TModelCase{"RoundedNullOnly", {40, idNull}, 2}, TModelCase{"LongDuplicates", {400, idAll}, 4},
                      TModelCase{"LongNullOnly", {300, idNull}, 4},
                      TModelCase{"LongUnique8K", {700, idNone, nxbs8k}, 4}),
    [](const ::testing::TestParamInfo<TModelCase>& aInfo) { return std::string(aInfo.param.Name); });

}  // namespace
}  // namespace revurov
