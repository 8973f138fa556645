#include "index/bulk_build.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/bulk_build_static_key.h"
#include "index/index_engines.h"
#include "index/startup.h"
#include "index/static_key_bstar_tree.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/bstar_tree_checker.h"
#include "support/exception_message.h"
#include "support/multiset_index_engine.h"
#include "support/table_fixture.h"

namespace revurov {
namespace {

using testing::ErrorCodeOf;
using testing::kMultisetIndexEngine;
using testing::TMultisetIndexEngine;
using testing::TMultisetIndexRegistration;
using testing::TTableFixture;
using testing::TTableShape;
using testing::TTreeChecker;

enum class TKind { Multiset, MultisetDups, Tree };

// A table whose indices are given by kind: the test engine over the
// record's first 8 bytes, or the tree over its byte-array field.
class BulkBuildTest : public ::testing::Test {
protected:
  BulkBuildTest() : fx_(TTableShape{8}) {
    auto* d = fx_.Dict().EnsureIndicesDescriptor();
    while (d->IndexCount() > 0) d->RemoveIndex(d->IndexCount() - 1);
  }

  void Build(const std::vector<TKind>& aKinds) {
    auto* indices = fx_.Dict().EnsureIndicesDescriptor();
    for (const TKind kind : aKinds) {
      const std::u16string name = u"I" + std::u16string(1, static_cast<char16_t>(u'0' + indices->IndexCount()));
      if (kind == TKind::Tree) {
        TnxIndexDescriptor* d = indices->AddIndex(name, 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo());
        static_cast<TnxCompKeyDescriptor*>(d->KeyDescriptor())->Add(0);
        TnxBaseIndexEngine::CheckValidBaseFromDescriptor(*d);
        continue;
      }
      TnxIndexDescriptor* d = indices->AddIndex(name, 0, kind == TKind::MultisetDups ? idAll : idNone, u"",
                                                &TnxInt64KeyDescriptor::ClassInfo());
      d->SetIndexEngine(kMultisetIndexEngine);
    }
    engine_ = TnxBaseIndicesEngine::CreateEngine(fx_.Dict(), fx_.Files(), &fx_.Records(), &fx_.Trans(), false);
  }
  TMultisetIndexEngine& Multiset(int32_t i) { return static_cast<TMultisetIndexEngine&>(engine_->Indices(i)); }
  TnxStaticKeyBstarTreeIndexEngine& Tree(int32_t i) {
    return static_cast<TnxStaticKeyBstarTreeIndexEngine&>(engine_->Indices(i));
  }
  std::vector<uint8_t> Rec(int64_t aValue) {
    std::vector<uint8_t> r(fx_.RecordLength(), 0);
    platform::StoreU64(r.data(), static_cast<uint64_t>(aValue));
    // The byte-array field, big-endian, for the tree's order.
    const uint32_t offset = fx_.Dict().FieldsDescriptor().FieldDescriptor(0)->Offset();
    for (int i = 0; i < 8; ++i) r[offset + i] = static_cast<uint8_t>(static_cast<uint64_t>(aValue) >> (56 - 8 * i));
    return r;
  }
  uint32_t Feed(TnxBaseBulkBuilder& aBuilder, int64_t aValue, TnxRefNr aRefNr) {
    return aBuilder.InsertKey(aRefNr, Rec(aValue).data(), fx_.Trans());
  }

  TnxStorageStartupGuard storage_;
  TTableFixture fx_;
  TnxIndexStartupGuard startup_;
  TMultisetIndexRegistration registration_;
  std::unique_ptr<TnxBaseIndicesEngine> engine_;
};

TEST_F(BulkBuildTest, TheIndicesEngineHandsOutOneBuilderPerIndex) {
  struct TCase {
    const char* Name;
    std::vector<TKind> Kinds;
    const char* Expected;
    size_t Builders;
  } cases[] = {
      {"no index", {}, "none", 0},
      {"one engine without a builder of its own", {TKind::Multiset}, "default", 1},
      {"one tree", {TKind::Tree}, "tree", 1},
      {"several", {TKind::Multiset, TKind::Tree, TKind::MultisetDups}, "hub", 3},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    // Each case prepares the file afresh.
    engine_.reset();
    if (fx_.InTransaction()) fx_.Rollback();
    auto* d = fx_.Dict().EnsureIndicesDescriptor();
    while (d->IndexCount() > 0) d->RemoveIndex(d->IndexCount() - 1);
    Build(c.Kinds);
    ASSERT_NE(engine_, nullptr);
    std::unique_ptr<TnxBaseBulkBuilder> builder = engine_->CreateBulkBuilder(fx_.Trans());
    const std::string expected = c.Expected;
    if (expected == "none") {
      EXPECT_EQ(builder, nullptr);
      continue;
    }
    ASSERT_NE(builder, nullptr);
    if (expected == "default") {
      EXPECT_NE(dynamic_cast<TnxDefaultIndexBulkBuilder*>(builder.get()), nullptr);
    }
    if (expected == "tree") {
      EXPECT_NE(dynamic_cast<TnxStaticKeyBstarTreeIndexBulkBuilder*>(builder.get()), nullptr);
    }
    if (expected == "hub") {
      auto* hub = dynamic_cast<TnxBulkBuilderHub*>(builder.get());
      ASSERT_NE(hub, nullptr);
      EXPECT_EQ(hub->BuilderCount(), c.Builders);
    }
  }
}

// Every index gets every record; the tree is sorted and written at the end.
TEST_F(BulkBuildTest, TheHubFillsEveryIndex) {
  Build({TKind::MultisetDups, TKind::Tree, TKind::Multiset});
  auto builder = engine_->CreateBulkBuilder(fx_.Trans());
  const std::vector<int64_t> values{5, 3, 9, 1, 7};
  TnxRefNr ref = 0;
  for (int64_t v : values) ASSERT_EQ(Feed(*builder, v, ++ref), 0u);
  ASSERT_EQ(builder->Finalize(fx_.Trans()), 0u);
  for (int32_t i : {0, 2}) EXPECT_EQ(Multiset(i).Contents().size(), values.size());
  const auto report = TTreeChecker(Tree(1), &fx_.Trans()).Check();
  ASSERT_EQ(report.Error, "");
  ASSERT_EQ(report.Entries.size(), values.size());
  EXPECT_EQ(report.Entries[0].second, 4) << "value 1 came fourth";
  EXPECT_EQ(report.Entries[4].second, 3) << "value 9 came third";
}

// The default builder turns a refused insert into a key violation of the
// "Insert" operation and marks the transaction; the hub stops there.
TEST_F(BulkBuildTest, ARefusedInsertStopsTheHubAndMarksTheTransaction) {
  Build({TKind::MultisetDups, TKind::Multiset, TKind::MultisetDups});
  auto builder = engine_->CreateBulkBuilder(fx_.Trans());
  ASSERT_EQ(Feed(*builder, 1, 1), 0u);
  ASSERT_EQ(Feed(*builder, 2, 2), 0u);
  EXPECT_EQ(fx_.Trans().CheckState(), 0u);
  const uint32_t code = Feed(*builder, 2, 3);
  EXPECT_EQ(code, nxeKeyViolation);
  EXPECT_EQ(fx_.Trans().CheckState(), nxeTransactionCorrupt);
  const std::u16string message = EnxBaseException(code).Message();
  EXPECT_HAS_TEXT(message, u"Operation: Insert");
  EXPECT_HAS_TEXT(message, u"Index: \"I1\"");
  EXPECT_EQ(Multiset(0).Contents().size(), 3u);
  EXPECT_EQ(Multiset(1).Contents().size(), 2u);
  EXPECT_EQ(Multiset(2).Contents().size(), 2u) << "the later index never saw the record";
}

// A hub is refused as a whole when one of its indices holds keys.
TEST_F(BulkBuildTest, AHubOverAnIndexThatIsNotEmptyIsRefused) {
  Build({TKind::Multiset, TKind::Tree});
  ASSERT_EQ(engine_->InsertKeys(fx_.Trans(), 1, Rec(4).data(), nullptr), 0u);
  EXPECT_EQ(ErrorCodeOf([&] { engine_->CreateBulkBuilder(fx_.Trans()); }), nxeIndexIsNotEmpty);
}

}  // namespace
}  // namespace revurov
