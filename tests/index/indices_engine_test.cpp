#include "index/index_engines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dictionary/engine_records.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_path.h"
#include "index/simple_indices_engine.h"
#include "index/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_data.h"
#include "platform/endian.h"
#include "platform/string_list.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/exception_message.h"
#include "support/multiset_index_engine.h"
#include "support/string_list_lines.h"
#include "support/table_fixture.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::kMultisetIndexEngine;
using testing::TMultisetIndexEngine;
using testing::TMultisetIndexRegistration;
using testing::TTableFixture;
using testing::TTableShape;

// Int64: the key is the record's first 8 bytes; Ref: the key is the RefNr.
enum class TKey { Int64, Ref };
struct TIndexSpec {
  TKey Key;
  bool Dups;
};

using TContents = std::vector<std::vector<std::pair<std::vector<uint8_t>, TnxRefNr>>>;

class IndicesEngineTest : public ::testing::Test {
protected:
  // The dictionary's own indices name the tree engine, which is not here:
  // the tests build their indices over the test engine alone.
  IndicesEngineTest() : fx_(TTableShape{8}) { TearDownEngine(); }

  TnxIndexDescriptor* AddIndex(const TIndexSpec& aSpec, std::u16string_view aName = {}) {
    auto* indices = fx_.Dict().EnsureIndicesDescriptor();
    std::u16string name(aName);
    if (name.empty()) name = u"I" + std::u16string(1, static_cast<char16_t>(u'0' + indices->IndexCount()));
    const TnxKeyDescriptorClass* key = aSpec.Key == TKey::Int64 ? &TnxInt64KeyDescriptor::ClassInfo()
                                                                 : &TnxRefKeyDescriptor::ClassInfo();
    TnxIndexDescriptor* d = indices->AddIndex(name, 0, aSpec.Dups ? idAll : idNone, u"", key);
    d->SetIndexEngine(kMultisetIndexEngine);
    return d;
  }
  void Build(const std::vector<TIndexSpec>& aSpecs) {
    for (const TIndexSpec& s : aSpecs) AddIndex(s);
    engine_ = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), &fx_.Records(), &fx_.Trans(), false);
  }
  TMultisetIndexEngine& Index(int32_t i) { return static_cast<TMultisetIndexEngine&>(engine_->Indices(i)); }
  std::vector<uint8_t> Rec(int64_t aValue) {
    std::vector<uint8_t> r(fx_.RecordLength(), 0);
    platform::StoreU64(r.data(), static_cast<uint64_t>(aValue));
    return r;
  }
  uint32_t Insert(int64_t aValue, TnxRefNr aRefNr) {
    return engine_->InsertKeys(fx_.Trans(), aRefNr, Rec(aValue).data(), nullptr);
  }
  TContents Contents() {
    TContents out;
    for (int32_t i = 0; i < engine_->IndexCount(); ++i) out.push_back(Index(i).Contents());
    return out;
  }
  // A fresh start for the next case of a table.
  void TearDownEngine() {
    engine_.reset();
    if (auto* d = fx_.Dict().IndicesDescriptor())
      while (d->IndexCount() > 0) d->RemoveIndex(d->IndexCount() - 1);
    if (fx_.InTransaction()) fx_.Rollback();
  }
  bool Corrupted() { return fx_.Trans().CheckState() == nxeTransactionCorrupt; }

  TnxStorageStartupGuard storage_;
  TTableFixture fx_;
  TnxIndexStartupGuard startup_;
  TMultisetIndexRegistration registration_;
  std::unique_ptr<TnxBaseIndicesEngine> engine_;
};

// A failed change leaves every index as it was (or marks the transaction
// corrupted where it cannot).
TEST_F(IndicesEngineTest, FailedChangesUndoOrMarkTheTransaction) {
  enum class TOp { Insert, InsertNoRecord, Update, UpdateToNoRecord, Delete };
  struct TCase {
    const char* Name;
    std::vector<TIndexSpec> Layout;
    TOp Op;
    int64_t Value;  // new value (insert, update) or the deleted record's
    TnxRefNr RefNr;
    int32_t RefuseUndoDeleteAt;  // -1: none
    uint32_t Code;
    bool Corrupt;
  };
  const TIndexSpec u64{TKey::Int64, false}, d64{TKey::Int64, true}, uRef{TKey::Ref, false};
  // Preloaded: value 1 as RefNr 100, value 2 as RefNr 200. Updates start
  // from (1, 100).
  const TCase cases[] = {
      {"insert refused at index 0 of 3", {u64, uRef, u64}, TOp::Insert, 1, 300, -1, nxeKeyViolation, false},
      {"insert refused at index 1 of 3", {d64, uRef, u64}, TOp::Insert, 1, 100, -1, nxeKeyViolation, false},
      {"insert refused at index 2 of 3", {d64, uRef, u64}, TOp::Insert, 1, 300, -1, nxeKeyViolation, false},
      {"undo of an insert refused", {d64, uRef, u64}, TOp::Insert, 1, 300, 0, nxeKeyViolation, true},
      {"insert key not built at index 2", {uRef, uRef, u64}, TOp::InsertNoRecord, 0, 300, -1, nxeInvalidParameter,
       false},
      {"update refused at index 0", {u64, uRef}, TOp::Update, 2, 100, -1, nxeKeyViolation, false},
      {"update refused at index 1", {uRef, u64}, TOp::Update, 2, 101, -1, nxeKeyViolation, false},
      {"undo of an update refused", {uRef, u64}, TOp::Update, 2, 101, 0, nxeKeyViolation, true},
      {"update key not built at index 1", {uRef, u64}, TOp::UpdateToNoRecord, 0, 101, -1, nxeInvalidParameter,
       false},
      {"delete refused at index 1", {uRef, u64, u64}, TOp::Delete, 5, 100, -1, nxeKeyViolation, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TearDownEngine();
    Build(c.Layout);
    ASSERT_EQ(Insert(1, 100), 0u);
    ASSERT_EQ(Insert(2, 200), 0u);
    const TContents before = Contents();
    if (c.RefuseUndoDeleteAt >= 0) Index(c.RefuseUndoDeleteAt).RefuseDeletes = 1;
    uint32_t r = 0;
    switch (c.Op) {
      case TOp::Insert: r = Insert(c.Value, c.RefNr); break;
      case TOp::InsertNoRecord: r = engine_->InsertKeys(fx_.Trans(), c.RefNr, nullptr, nullptr); break;
      case TOp::Update:
        r = engine_->UpdateKeys(fx_.Trans(), 100, Rec(1).data(), c.RefNr, Rec(c.Value).data(), nullptr);
        break;
      case TOp::UpdateToNoRecord:
        r = engine_->UpdateKeys(fx_.Trans(), 100, Rec(1).data(), c.RefNr, nullptr, nullptr);
        break;
      case TOp::Delete: r = engine_->DeleteKeys(fx_.Trans(), c.RefNr, Rec(c.Value).data(), nullptr); break;
    }
    EXPECT_EQ(r, c.Code);
    EXPECT_EQ(Corrupted(), c.Corrupt);
    if (!c.Corrupt) {
      EXPECT_EQ(Contents(), before);
    }
  }
}

TEST_F(IndicesEngineTest, ChangesReachEveryIndexThatTheyConcern) {
  Build({{TKey::Int64, false}, {TKey::Ref, false}});
  ASSERT_EQ(Insert(1, 100), 0u);
  ASSERT_EQ(Insert(2, 200), 0u);
  Index(0).SeenCurrent.clear();
  Index(1).SeenCurrent.clear();
  // Same keys and RefNr: no index is touched.
  EXPECT_EQ(engine_->UpdateKeys(fx_.Trans(), 100, Rec(1).data(), 100, Rec(1).data(), nullptr), 0u);
  EXPECT_TRUE(Index(0).SeenCurrent.empty());
  EXPECT_TRUE(Index(1).SeenCurrent.empty());
  // Same key, new RefNr: the entry moves in every index.
  EXPECT_EQ(engine_->UpdateKeys(fx_.Trans(), 100, Rec(1).data(), 150, Rec(1).data(), nullptr), 0u);
  EXPECT_EQ(Index(0).Contents()[0].second, 150);
  EXPECT_EQ(Index(1).Contents()[0].second, 150);
  // Only the Int64 index changes with the value.
  Index(1).SeenCurrent.clear();
  EXPECT_EQ(engine_->UpdateKeys(fx_.Trans(), 150, Rec(1).data(), 150, Rec(3).data(), nullptr), 0u);
  EXPECT_TRUE(Index(1).SeenCurrent.empty());
  EXPECT_EQ(Index(0).Contents().back().second, 150);
  EXPECT_EQ(engine_->DeleteKeys(fx_.Trans(), 150, Rec(3).data(), nullptr), 0u);
  EXPECT_EQ(engine_->DeleteKeys(fx_.Trans(), 200, Rec(2).data(), nullptr), 0u);
  EXPECT_TRUE(Index(0).Entries.empty());
  EXPECT_TRUE(Index(1).Entries.empty());
  EXPECT_FALSE(Corrupted());
}

TEST_F(IndicesEngineTest, TheKeyInFlightIsNamedOnlyDuringItsCall) {
  Build({{TKey::Int64, false}});
  ASSERT_EQ(Insert(7, 100), 0u);
  ASSERT_EQ(Index(0).SeenCurrent.size(), 1u);
  EXPECT_EQ(Index(0).SeenCurrent[0].RefNr, 100);
  EXPECT_EQ(Index(0).SeenCurrent[0].Trans, &fx_.Trans());
  ASSERT_NE(Index(0).SeenCurrent[0].Key, nullptr);
  const auto resetNow = [&] {
    EXPECT_EQ(engine_->CurrentRefNr(), nxNoCurrentRefNr);
    EXPECT_EQ(engine_->CurrentCacheRefNr(), nxNoCurrentRefNr);
    EXPECT_EQ(engine_->CurrentKey(), nullptr);
    EXPECT_EQ(engine_->CurrentTrans(), nullptr);
  };
  resetNow();
  Index(0).ThrowOnInsert = true;
  EXPECT_EQ(ErrorCodeOf([&] { Insert(8, 200); }), nxeTimeout);
  resetNow();
}

TEST_F(IndicesEngineTest, AKeyViolationCarriesItsFiveTaggedLines) {
  Build({{TKey::Ref, false}});
  ASSERT_EQ(Insert(1, 100), 0u);
  ASSERT_EQ(Insert(1, 100), nxeKeyViolation);
  uint32_t code = 0;
  std::u16string msg;
  EnxBaseException::GetLastConvertedException(code, msg);
  EXPECT_EQ(code, nxeKeyViolation);
  const std::u16string file = fx_.Access().fiName();
  const std::u16string key = Index(0).KeyEngine().KeyAsString(Index(0).Entries.begin()->Key.data());
  const std::u16string expected = nxOriginalMessageTag() + u"\r\nOperation: Insert" +
                                  nxMessageTag(u"Operation", u"Insert") + u"\r\nFile: \"" + file + u"\"" +
                                  nxMessageTag(u"File", file) + u"\r\nIndex: \"I0\"" + nxMessageTag(u"Index", u"I0") +
                                  u"\r\nKey: " + key + nxMessageTag(u"Key", key) + u"\r\nRefNr: 100" +
                                  nxMessageTag(u"RefNr", u"100");
  EXPECT_EQ(msg, expected);
  EXPECT_FALSE(key.empty());
}

TEST_F(IndicesEngineTest, RemovingAnIndexRenumbersTheLaterOnes) {
  Build({{TKey::Int64, true}, {TKey::Ref, false}, {TKey::Int64, false}});
  for (int32_t i = 0; i < 3; ++i) {
    auto header = Index(i).CreateHeaderAccess(&fx_.Trans(), true, true, 0, 0);
    header->SetIndexKeyCount(10 + i);
    header->SetIndexRoot(20 + i);
    header->SetIndexPageCount(30 + i);
  }
  TMultisetIndexEngine* former2 = &Index(2);
  // The engine follows the descriptor; out of step it refuses.
  EXPECT_EQ(ErrorCodeOf([&] { engine_->RemoveIndex(fx_.Trans(), 1); }), nxeIndexNumberOutOfRange);
  fx_.Dict().IndicesDescriptor()->RemoveIndex(1);
  engine_->RemoveIndex(fx_.Trans(), 1);
  ASSERT_EQ(engine_->IndexCount(), 2);
  EXPECT_EQ(&Index(1), former2);
  EXPECT_EQ(Index(1).IndexNumber(), 1);
  std::vector<uint8_t> bookmark(Index(1).BookmarkHandler().GetBookmarkSize());
  Index(1).BookmarkHandler().WriteBookmark(bookmark.data(), ippOnKey, 5, nullptr);
  EXPECT_EQ(platform::LoadU32(bookmark.data() + TnxBookmarkLayout::bmIndexID), 1u);
  const struct {
    int32_t Index;
    uint32_t KeyCount, Root, Pages;
  } entries[] = {{0, 10, 20, 30}, {1, 12, 22, 32}};
  for (const auto& e : entries) {
    auto header = Index(e.Index).CreateHeaderAccess(&fx_.Trans(), false, false, 0, 0);
    EXPECT_EQ(header->GetIndexKeyCount(), e.KeyCount);
    EXPECT_EQ(header->GetIndexRoot(), e.Root);
    EXPECT_EQ(header->GetIndexPageCount(), e.Pages);
  }
  // The freed entry 2 reads as empty.
  AddIndex({TKey::Ref, false}, u"Again");
  engine_->AddIndex(fx_.Trans(), 2);
  auto header = Index(2).CreateHeaderAccess(&fx_.Trans(), false, false, 0, 0);
  EXPECT_EQ(header->GetIndexKeyCount(), 0u);
  EXPECT_EQ(header->GetIndexRoot(), nxNoNode);
  EXPECT_EQ(header->GetIndexPageCount(), 0u);
  EXPECT_EQ(Insert(4, 400), 0u);
  EXPECT_EQ(Index(2).Entries.size(), 1u);
}

TEST_F(IndicesEngineTest, AddingAnIndexOutOfStepChangesNothing) {
  Build({{TKey::Int64, true}});
  const struct {
    const char* Name;
    int32_t Index;
  } cases[] = {{"not the last", 0}, {"past the last", 2}, {"negative", -1}};
  AddIndex({TKey::Ref, false});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::u16string msg = testing::MessageOf<EnxBaseIndicesEngineException>(
        [&] { engine_->AddIndex(fx_.Trans(), c.Index); });
    const std::string tail = "Index number passed to routine is out of range [" + std::to_string(c.Index) + "]";
    EXPECT_HAS_TEXT(msg, std::u16string(tail.begin(), tail.end()));
    EXPECT_EQ(engine_->IndexCount(), 1);
  }
  engine_->AddIndex(fx_.Trans(), 1);
  EXPECT_EQ(engine_->IndexCount(), 2);
}

TEST_F(IndicesEngineTest, TheSequentialAccessIndexIsFoundInAnyCase) {
  AddIndex({TKey::Int64, false});
  AddIndex({TKey::Ref, false}, u"sequential ACCESS index");
  Build({});
  EXPECT_EQ(engine_->SeqIndexEngine(), &engine_->Indices(1));
  fx_.Dict().IndicesDescriptor()->RemoveIndex(1);
  engine_->RemoveIndex(fx_.Trans(), 1);
  EXPECT_EQ(engine_->SeqIndexEngine(), nullptr);
}

TEST_F(IndicesEngineTest, UnknownEngineNamesAreRefusedByName) {
  AddIndex({TKey::Int64, false})->SetIndexEngine(u"NoSuchIndex");
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseIndexEngineException>([&] { TnxBaseSubEngine::CheckValidAll(fx_.Dict()); }),
                  u"Unknown index engine: \"NoSuchIndex\"");
  fx_.Dict().IndicesDescriptor()->SetIndicesEngine(u"NoSuchIndices");
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseIndicesEngineException>([&] {
                    TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), nullptr, &fx_.Trans(), false);
                  }),
                  u"Unknown indices engine: \"NoSuchIndices\"");
}

// The dump goes to the caller's list: per index a heading, then one line
// per key in key order with the RefNr in 16 hex digits.
TEST_F(IndicesEngineTest, SaveAllDumpsEveryIndexInKeyOrder) {
  Build({{TKey::Int64, true}, {TKey::Ref, false}});
  ASSERT_EQ(Insert(5, 0x1A), 0u);
  ASSERT_EQ(Insert(-3, 2), 0u);
  ASSERT_EQ(Insert(5, 0x7FFFFFFFFFFFFFF0), 0u);
  platform::TStringList lines;
  engine_->SaveAll(&fx_.Trans(), lines);
  EXPECT_EQ(testing::LinesOf(lines),
            (std::vector<std::u16string>{u"Index: I0", u"0000000000000002: -3", u"000000000000001A: 5",
                                         u"7FFFFFFFFFFFFFF0: 5", u"Index: I1", u"0000000000000002: 2",
                                         u"000000000000001A: 26", u"7FFFFFFFFFFFFFF0: 9223372036854775792"}));
}

TEST_F(IndicesEngineTest, ReadingOperationsAnEngineLacksAreRefusedByName) {
  Build({{TKey::Int64, false}});
  auto path = engine_->Indices(0).CreateIndexPath();
  EXPECT_HAS_TEXT(testing::MessageOf<EnxBaseIndexEngineException>([&] {
                    engine_->Indices(0).ValidateIndexPath(&fx_.Trans(), *path);
                  }),
                  u"ValidateIndexPath is not supported by TMultisetIndexEngine");
  uint32_t n = 0;
  EXPECT_EQ(ErrorCodeOf([&] { engine_->Indices(0).EstimateRecordCount(nullptr, {}, {}, n, false); }),
            nxeCapabilityNotSupported);
}

TnxExceptionDataValueRef ValueNamed(const InxExceptionDataContainer& aContainer, std::u16string_view aName) {
  for (int32_t i = 0; i < aContainer.Count(); ++i)
    if (aContainer.Values(i)->Name() == aName) return aContainer.Values(i);
  return nullptr;
}

TEST_F(IndicesEngineTest, EnginesAndPathsDescribeThemselvesForExceptions) {
  Build({{TKey::Int64, true}, {TKey::Ref, false}});
  ASSERT_EQ(Insert(7, 3), 0u);
  TnxBaseIndexEngine& index = engine_->Indices(1);
  TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"ExceptionData");
  index.GetExceptionData(*data, false);
  ASSERT_NE(ValueNamed(*data, u"IndexNumber"), nullptr);
  EXPECT_EQ(ValueNamed(*data, u"IndexNumber")->AsInteger(), 1);
  EXPECT_EQ(ValueNamed(*data, u"IndexName")->AsString(), u"I1");
  EXPECT_FALSE(ValueNamed(*data, u"Dups")->AsBoolean());
  EXPECT_FALSE(ValueNamed(*data, u"DupsNullOnly")->AsBoolean());
  EXPECT_TRUE(ValueNamed(*data, u"KeysAreRefs")->AsBoolean());
  EXPECT_NE(ValueNamed(*data, u"KeyEngine"), nullptr);

  auto path = engine_->Indices(0).CreateIndexPath();
  struct TCase {
    const char* Name;
    bool OnKey;
    const char16_t* Position;
  } cases[] = {{"on a key", true, u"ippOnKey"}, {"at the end", false, u"ippEof"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    if (c.OnKey) {
      ASSERT_TRUE(engine_->Indices(0).FindKey(nullptr, Rec(7).data(), 0, 0, 0, *path, skaEqualFirst, nullptr));
    } else {
      path->SetToEof();
    }
    TnxExceptionDataRef p = nxCreateExceptionDataContainer(u"ExceptionData");
    path->GetExceptionData(*p, false);
    EXPECT_EQ(ValueNamed(*p, u"Position")->AsString(), c.Position);
    EXPECT_EQ(ValueNamed(*p, u"RefNr")->AsInteger(), c.OnKey ? 3 : 0);
    EXPECT_EQ(ValueNamed(*p, u"KeyValid")->AsBoolean(), c.OnKey);
    EXPECT_FALSE(ValueNamed(*p, u"Deleted")->AsBoolean());
    EXPECT_NE(ValueNamed(*p, u"IndexEngine"), nullptr);
    EXPECT_EQ(ValueNamed(*p, u"Key") != nullptr, c.OnKey);
  }
}

}  // namespace
}  // namespace revurov
