// Key filters: carried and streamed by key descriptors, built and asked by
// the key engines when they build keys.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "dictionary/filter_engines.h"
#include "dictionary/int64_key_engines.h"
#include "dictionary/key_engine_fixture.h"
#include "dictionary/simple_expression_filter.h"
#include "dictionary/sql_filter.h"
#include "lowlevel/streams/exception_data.h"
#include "lowlevel/streams/memory_stream.h"
#include "support/can_expression_builder.h"
#include "support/exception_message.h"
#include "support/tagged_bytes.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::CanExpressionBuilder;
using testing::CodeOf;
using testing::KeyEngineTest;
using testing::LoadBytes;
using testing::SavedBytes;
using testing::V;
using testing::Written;
using testing::WriteItemHeader;
using Bytes = std::vector<uint8_t>;

// "Qty > aLimit" over field 2 (1-based 3 in the tree).
std::unique_ptr<TnxBaseFilterDescriptor> QtyAbove(int32_t aLimit) {
  CanExpressionBuilder b;
  const Bytes tree = b.Build(b.Compare(coGT, b.Field(3, "Qty"), b.Int32(aLimit)));
  return std::make_unique<TnxSimpleExpressionFilterDescriptor>(tree, u"Qty > limit", -1);
}

Bytes FilterStream(const TnxBaseFilterDescriptor& aFilter, int32_t aVersion) {
  TnxMemoryStream s;
  EXPECT_EQ(aFilter.WriteToStream(s, aVersion), 0u);
  return Bytes(s.ByteArray(), s.ByteArray() + s.GetSize());
}

class KeyFilterTest : public KeyEngineTest {
protected:
  KeyFilterTest() {
    AddField(u"Id", nxtInt64);              // 0
    AddField(u"Name", nxtShortString, 20);  // 1
    AddField(u"Qty", nxtInt32);             // 2
  }
  std::vector<uint8_t> Row(int64_t aId, int32_t aQty) {
    std::vector<uint8_t> r = NewRecord();
    Set(r, 0, platform::TnxVariant::FromInt64(aId));
    Set(r, 1, V(u"x"));
    Set(r, 2, V(aQty));
    return r;
  }
};

TEST_F(KeyFilterTest, AKeyDescriptorStreamsItsFilterBehindItsSize) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  const Bytes without = SavedBytes(key, 47501);
  key.SetFilter(QtyAbove(5));
  const Bytes filter = FilterStream(*key.Filter(), 47501);
  // The "no filter" Boolean becomes: true, the size, the filter's bytes.
  const Bytes noFilter = Written([](TnxWriter& w) { w.WriteBoolean(false); });
  const Bytes withFilter = Written([&](TnxWriter& w) {
    w.WriteBoolean(true);
    w.WriteInteger(static_cast<int32_t>(filter.size()));
    w.Write(filter.data(), static_cast<int64_t>(filter.size()));
  });
  const auto at = std::search(without.begin(), without.end(), noFilter.begin(), noFilter.end());
  ASSERT_NE(at, without.end());
  Bytes expected(without.begin(), at);
  expected.insert(expected.end(), withFilter.begin(), withFilter.end());
  expected.insert(expected.end(), at + static_cast<std::ptrdiff_t>(noFilter.size()), without.end());
  const Bytes bytes = SavedBytes(key, 47501);
  EXPECT_EQ(bytes, expected);

  TnxCompKeyDescriptor& back = NewCompKey();
  LoadBytes(back, bytes);
  ASSERT_NE(back.Filter(), nullptr);
  EXPECT_EQ(back.Filter()->ClassName(), u"TnxSimpleExpressionFilterDescriptor");
  EXPECT_TRUE(back.IsEqual(&key));
  back.SetFilter(QtyAbove(6));
  EXPECT_FALSE(back.IsEqual(&key));
  back.SetFilter(nullptr);
  EXPECT_FALSE(back.IsEqual(&key));
  // Reading drops a filter the stream does not hold.
  TnxCompKeyDescriptor& plain = NewCompKey();
  plain.Add(0);
  TnxCompKeyDescriptor& reread = NewCompKey();
  reread.SetFilter(QtyAbove(1));
  LoadBytes(reread, SavedBytes(plain, 47501));
  EXPECT_EQ(reread.Filter(), nullptr);
}

TEST_F(KeyFilterTest, FiltersThatCannotTravelAreRefusedBeforeAnythingIsWritten) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(0);
  key.SetFilter(QtyAbove(5));
  TnxMemoryStream s;
  {
    TnxWriter w(s);
    EXPECT_EQ(CodeOf<EnxBaseKeyDescriptorException>([&] { key.SaveToWriter(w, 19999); }), nxeIncompatibleVersion);
    // A callback lives in this process only.
    key.SetFilter(std::make_unique<TnxCallbackFilterDescriptor>(nullptr, nullptr));
    EXPECT_EQ(CodeOf<EnxBaseKeyDescriptorException>([&] { key.SaveToWriter(w, 47501); }), nxeCapabilityNotSupported);
  }
  EXPECT_EQ(s.GetSize(), 0);
  TnxCompKeyDescriptor& other = NewCompKey();
  other.Add(0);
  other.SetFilter(std::make_unique<TnxCallbackFilterDescriptor>(nullptr, nullptr));
  EXPECT_FALSE(other.IsEqual(&key));
}

TEST_F(KeyFilterTest, BadFilterStreamsAreRefused) {
  const Bytes good = FilterStream(*QtyAbove(5), 47501);
  // A reference-number key: the base part, then its one Integer.
  const auto stream = [](int32_t aSize, const Bytes& aBytes) {
    return Written([&](TnxWriter& w) {
      WriteItemHeader(w);
      w.WriteIdent(u"BKD");
      w.WriteInteger(int32_t{1});
      w.WriteBoolean(true);
      w.WriteInteger(aSize);
      w.Write(aBytes.data(), static_cast<int64_t>(aBytes.size()));
      w.WriteInteger(int32_t{1});
    });
  };
  Bytes unknown = good;
  unknown[1] = 'X';  // the class name's first letter
  const struct {
    const char* What;
    Bytes Stream;
    uint32_t Code;
  } cases[] = {
      {"negative size", stream(-1, good), nxeIncompatibleStream},
      {"size beyond the stream", stream(0x7FFFFFF0, good), nxeIncompatibleStream},
      {"empty filter", stream(0, {}), nxeInvalidParameter},
      {"unknown filter class", stream(static_cast<int32_t>(unknown.size()), unknown), nxeCapabilityNotSupported},
  };
  for (const auto& c : cases) {
    TnxBaseKeyDescriptor& key = NewKey(&TnxRefKeyDescriptor::ClassInfo());
    EXPECT_EQ(CodeOf<EnxBaseKeyDescriptorException>([&] { LoadBytes(key, c.Stream); }), c.Code) << c.What;
    EXPECT_EQ(key.Filter(), nullptr) << c.What;
  }
  TnxBaseKeyDescriptor& key = NewKey(&TnxRefKeyDescriptor::ClassInfo());
  LoadBytes(key, stream(static_cast<int32_t>(good.size()), good));
  EXPECT_NE(key.Filter(), nullptr);
}

TEST_F(KeyFilterTest, DamagedKeyStreamsWithFiltersAreRefusedOrReadWhole) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(1);
  CanExpressionBuilder b;
  const Bytes tree = b.Build(b.Binary(coAND, b.Compare(coGT, b.Field(3, "Qty"), b.Int32(5)),
                                      b.Compare(coLIKE, b.Field(2, "Name"), b.Text("son"))));
  key.SetFilter(std::make_unique<TnxSimpleExpressionFilterDescriptor>(tree, u"Qty > 5 AND Name LIKE '%son%'", -1));
  const Bytes good = SavedBytes(key, 47501);
  std::mt19937 random(20);
  const int rounds = testing::TestSize(1000, 50000);
  for (int round = 0; round < rounds; ++round) {
    Bytes bytes = good;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int i = 0; i < flips; ++i) bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
    TnxCompKeyDescriptor& target = NewCompKey();
    TnxStaticMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
    TnxReader r(s);
    try {
      target.LoadFromReader(r);
      // A filter read whole also builds into an engine or is refused.
      if (target.Filter()) TnxBaseKeyEngine::CreateFor(target);
    } catch (const platform::Exception&) {
    }
    indices->RemoveIndex(indices->IndexCount() - 1);
  }
}

TEST_F(KeyFilterTest, EveryKeyEngineLeavesFilteredRecordsOutUnlessIgnored) {
  const TnxKeyDescriptorClass* classes[] = {&TnxCompKeyDescriptor::ClassInfo(), &TnxInt64KeyDescriptor::ClassInfo(),
                                            &TnxRefKeyDescriptor::ClassInfo()};
  const auto in = Row(1, 7), out = Row(2, 3);
  for (const TnxKeyDescriptorClass* cls : classes) {
    TnxBaseKeyDescriptor& key = NewKey(cls);
    if (auto* comp = dynamic_cast<TnxCompKeyDescriptor*>(&key)) comp->Add(0);
    key.SetFilter(QtyAbove(5));
    auto engine = TnxBaseKeyEngine::CreateFor(key);
    ASSERT_NE(engine->Filter(), nullptr) << platform::Utf16ToUtf8(cls->Name);
    EXPECT_TRUE(engine->Filter()->GetActive());
    std::vector<uint8_t> k(engine->KeyLength(), 0xAA);
    EXPECT_EQ(engine->BuildKey(in.data(), k.data(), 11, false), 0u) << platform::Utf16ToUtf8(cls->Name);
    const std::vector<uint8_t> kept(engine->KeyLength(), 0xAA);
    k = kept;
    EXPECT_EQ(engine->BuildKey(out.data(), k.data(), 12, false), 1u) << platform::Utf16ToUtf8(cls->Name);
    EXPECT_EQ(k, kept) << "a rejected record leaves the key alone";
    EXPECT_EQ(engine->BuildKey(out.data(), k.data(), 12, true), 0u) << platform::Utf16ToUtf8(cls->Name);
    // Comparisons build their keys ignoring the filter.
    EXPECT_EQ(engine->CompareRecord(out.data(), 12, out.data(), 12), 0);
    EXPECT_EQ(engine->CompareKeyToRecord(k.data(), out.data(), 12), 0);
    // Error reports show the filter.
    TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"ExceptionData");
    engine->GetExceptionData(*data, false);
    int filters = 0;
    for (int32_t i = 0; i < data->Count(); ++i) filters += data->Values(i)->Name() == u"Filter";
    EXPECT_EQ(filters, 1) << platform::Utf16ToUtf8(cls->Name);
  }
  // Without a record a reference key has nothing to filter.
  TnxBaseKeyDescriptor& ref = NewKey(&TnxRefKeyDescriptor::ClassInfo());
  ref.SetFilter(QtyAbove(5));
  auto engine = TnxBaseKeyEngine::CreateFor(ref);
  uint8_t k[8];
  EXPECT_EQ(engine->BuildKey(nullptr, k, 1, false), nxeInvalidParameter);
  EXPECT_EQ(engine->BuildKey(nullptr, k, 1, true), 0u);
}

TEST_F(KeyFilterTest, AKeyFilterAndANullFilterBothApply) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(1)->SetNullBehaviour(nbFilterNull);
  key.SetFilter(QtyAbove(5));
  auto engine = CompEngine(key);
  auto nullName = Row(1, 7);
  fields().SetRecordFieldNull(1, nullName.data(), true);
  std::vector<uint8_t> k(engine->KeyLength());
  const struct {
    const char* What;
    std::vector<uint8_t> Record;
    uint32_t Result;
  } cases[] = {{"both pass", Row(1, 7), 0}, {"key filter", Row(1, 3), 1}, {"null filter", nullName, 1}};
  for (const auto& c : cases) EXPECT_EQ(engine->BuildKey(c.Record.data(), k.data(), 0, false), c.Result) << c.What;
}

TEST_F(KeyFilterTest, AFilterReadsKeysThroughItsKeyEngine) {
  TnxCompKeyDescriptor& key = NewCompKey();
  key.Add(2);
  key.Add(1);
  auto engine = CompEngine(key);
  // Trees name key fields by position or by name (any case); a name wins.
  CanExpressionBuilder b;
  const struct {
    const char* What;
    Bytes Tree;
  } trees[] = {
      {"by position", b.Build(b.Binary(coAND, b.Compare(coGT, b.Field(1, ""), b.Int32(5)),
                                       b.Compare(coLIKE, b.Field(2, ""), b.Text("son"))))},
      {"by name", b.Build(b.Binary(coAND, b.Compare(coGT, b.Field(9, "qTY"), b.Int32(5)),
                                   b.Compare(coLIKE, b.Field(9, "NAME"), b.Text("son"))))},
  };
  const auto keyOf = [&](int32_t aQty, const char16_t* aName) {
    auto r = Row(1, aQty);
    Set(r, 1, V(aName));
    return KeyOf(*engine, r);
  };
  const auto in = keyOf(7, u"Johnson"), lowQty = keyOf(3, u"Johnson"), otherName = keyOf(7, u"Smith");
  for (const auto& t : trees) {
    TnxSimpleExpressionFilterDescriptor descriptor(t.Tree, u"", -1);
    auto filter = TnxBaseFilterEngine::CreateFor(descriptor, engine.get());
    filter->ActivateFilter(0);
    EXPECT_TRUE(filter->MatchesKey(in.data())) << t.What;
    EXPECT_FALSE(filter->MatchesKey(lowQty.data())) << t.What;
    EXPECT_FALSE(filter->MatchesKey(otherName.data())) << t.What;
  }
  EXPECT_EQ(engine->GetFieldCount(), 2);
}

// An SQL engine's statement: "Qty > 50" read through the buffer it is
// handed for the call, which is state of the filter between calls.
class QtyAbove50 : public TnxBaseSqlFilterStatement {
public:
  using TnxBaseSqlFilterStatement::TnxBaseSqlFilterStatement;
  static std::unique_ptr<TnxBaseSqlFilterStatement> Create(const InxFieldsSource* aSource, const std::u16string& aText) {
    return std::make_unique<QtyAbove50>(aSource, aText);
  }

protected:
  bool Evaluate() override {
    uint16_t type = 0, size = 0, codePage = 0;
    bool isNull = true;
    const void* value = nullptr;
    if (!bsfsFieldsSource->GetFieldForFilter(2, "", Buffer(), type, size, isNull, value, codePage) || isNull)
      return false;
    int32_t qty = 0;
    std::memcpy(&qty, value, 4);
    return qty > 50;
  }
};

TEST_F(KeyFilterTest, OneFilteredEngineBuildsKeysFromManyThreads) {
  nxSetSqlFilterStatementClass(&QtyAbove50::Create);
  const struct {
    const char* What;
    std::function<std::unique_ptr<TnxBaseFilterDescriptor>()> Filter;
  } filters[] = {{"expression", [] { return QtyAbove(50); }},
                 {"sql", [] { return std::make_unique<TnxSqlFilterDescriptor>(u"Qty > 50"); }}};
  std::vector<std::vector<uint8_t>> rows;
  for (int i = 0; i < 100; ++i) rows.push_back(Row(i, i));
  for (const auto& f : filters) {
    TnxCompKeyDescriptor& key = NewCompKey();
    key.Add(0);
    key.SetFilter(f.Filter());
    auto engine = CompEngine(key);
    std::vector<int> accepted(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        std::vector<uint8_t> k(engine->KeyLength());
        for (int round = 0; round < 20; ++round)
          for (const auto& r : rows)
            if (engine->BuildKey(r.data(), k.data(), 0, false) == 0) ++accepted[static_cast<size_t>(t)];
      });
    for (auto& t : threads) t.join();
    for (int n : accepted) EXPECT_EQ(n, 20 * 49) << f.What;
  }
  nxSetSqlFilterStatementClass(nullptr);
}

}  // namespace
}  // namespace revurov
