// The token indices that store tokens: what a record change leaves in the
// bit arrays and keys, read back through the key layouts (support/
// token_index_reader.h), and what it must not write.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "dictionary/fields_descriptor.h"
#include "dictionary/fulltext_descriptors.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/token_index_descriptors.h"
#include "dictionary/token_key_descriptors.h"
#include "dictionary/token_key_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "server/engines/fulltext_cursor_engine.h"
#include "server/engines/fulltext_token_indices.h"
#include "support/fulltext_table.h"
#include "support/token_index_reader.h"

namespace revurov::testing {
namespace {

constexpr int32_t kText2 = 2;

struct TShape {
  bool PerField = false;
  bool PerLocation = true;
  bool Segment = false;
  bool Reverse = false;
  int32_t MaxTokenSize = 20;
  bool MainIndex = false;
  bool MainWithLocation = true;
};

// Counts the writes the token indices make; refuses the FailAt-th key
// insert (1-based) when FailAt is above 0.
struct TWrites {
  static TWrites& Get() {
    static TWrites w;
    return w;
  }
  std::atomic<int> Total{0};
  std::atomic<int> KeyInserts{0};
  std::atomic<int> FailAt{0};
  static bool Hook(TnxTokenIndexWrite aWrite) {
    TWrites& w = Get();
    ++w.Total;
    if (aWrite == TnxTokenIndexWrite::KeyInsert && ++w.KeyInserts == w.FailAt) return false;
    return true;
  }
};

class TokenIndexTest : public ::testing::Test {
protected:
  ~TokenIndexTest() override {
    nxSetTokenIndexWriteHook(nullptr);
    engine.reset();
    table.reset();
  }

  void Build(const TShape& aShape) {
    // The cursor half points into the table half.
    engine.reset();
    table.reset();
    shape = aShape;
    TFulltextShape s;
    s.Fields = [](TnxFieldsDescriptor& aFields) { aFields.AddField(u"Text2", u"", nxtWideString, 40, 0, false); };
    s.Configure = [aShape](TnxFulltextDescriptor& aFulltext) {
      TnxFulltextIndexDescriptor* index = aFulltext.AddFulltextIndex(u"");
      index->TokenExtractorHub().AddFieldTokenExtractor(TFulltextTable::kTextField, u"Text");
      index->TokenExtractorHub().AddFieldTokenExtractor(kText2, u"Text2");
      index->TokenFilterHub().AddTokenFilter(u"Split");
      index->TokenFilterHub().AddTokenFilter(u"Lower", &TnxLowercaseLocaleMappingTokenFilterDescriptor::ClassInfo());
      auto* bits = static_cast<TnxBitArrayTokenIndexDescriptor*>(index->TokenIndexHub().AddTokenIndex(u"B"));
      bits->SetMaxTokenSize(aShape.MaxTokenSize);
      bits->SetPerFieldIndex(aShape.PerField);
      bits->SetPerLocationIndex(aShape.PerLocation);
      bits->SetSegmentIndex(aShape.Segment);
      bits->AddIndex(0);
      if (aShape.Reverse) bits->AddReverseIndex(0);
      if (aShape.MainIndex) {
        auto* indices = aFulltext.FindRelated<TnxMainIndicesDescriptor>();
        const int32_t tokens = indices->GetIndexFromName(u"Tokens");
        static_cast<TnxMainIndexTokenKeyDescriptor*>(indices->IndexDescriptor(tokens)->KeyDescriptor())
            ->SetIncludeLocation(aShape.MainWithLocation);
        auto* main = static_cast<TnxMainIndexTokenIndexDescriptor*>(
            index->TokenIndexHub().AddTokenIndex(u"M", &TnxMainIndexTokenIndexDescriptor::ClassInfo()));
        main->SetMainIndexNumber(tokens);
      }
    };
    table = std::make_unique<TFulltextTable>(s);
    engine = TnxBaseFulltextCursorEngine::CreateFor(table->Engine(), nullptr);
    TWrites::Get().Total = 0;
    TWrites::Get().KeyInserts = 0;
    TWrites::Get().FailAt = 0;
    nxSetTokenIndexWriteHook(&TWrites::Hook);
  }

  TnxFieldsDescriptor& Fields() { return table->Table().Dict().FieldsDescriptor(); }
  TnxBitArrayTokenIndexTableEngine& Bits() {
    return dynamic_cast<TnxBitArrayTokenIndexTableEngine&>(*table->Fulltext().FulltextIndex(0).fiteGetTokenIndex(0));
  }

  std::vector<uint8_t> Record(std::optional<uint32_t> aLocation, const std::u16string& aText,
                              const std::u16string& aText2 = {}) {
    std::vector<uint8_t> record(size_t(Fields().RecordLength()) + 4, 0);
    Fields().InitRecord(record.data());
    if (aLocation) Fields().SetRecordField(TFulltextTable::kIdField, record.data(), &*aLocation);
    SetWide(record, TFulltextTable::kTextField, aText);
    SetWide(record, kText2, aText2);
    return record;
  }
  void SetWide(std::vector<uint8_t>& aRecord, int32_t aField, const std::u16string& aText) {
    if (aText.empty()) return;
    std::vector<uint8_t> bytes(size_t(Fields().FieldDescriptor(aField)->Length()), 0);
    std::memcpy(bytes.data(), aText.data(), std::min(bytes.size() - 2, aText.size() * 2));
    Fields().SetRecordField(aField, aRecord.data(), bytes.data());
  }

  uint32_t Update(const std::vector<uint8_t>* aOld, const std::vector<uint8_t>* aNew, TnxRefNr aRefNr) {
    return engine->UpdateIndex(table->Trans(), aOld ? aOld->data() : nullptr, aOld ? aRefNr : 0,
                               aNew ? aNew->data() : nullptr, aNew ? aRefNr : 0);
  }
  void Insert(const std::vector<uint8_t>& aRecord, TnxRefNr aRefNr) {
    ASSERT_EQ(Update(nullptr, &aRecord, aRefNr), 0u);
  }
  void Modify(const std::vector<uint8_t>& aOld, const std::vector<uint8_t>& aNew, TnxRefNr aRefNr) {
    ASSERT_EQ(Update(&aOld, &aNew, aRefNr), 0u);
  }
  void Delete(const std::vector<uint8_t>& aRecord, TnxRefNr aRefNr) {
    ASSERT_EQ(Update(&aRecord, nullptr, aRefNr), 0u);
  }

  std::vector<TBitArrayEntry> Entries() {
    return ReadBitArrays(*Bits().IndexEngine(), table->Blobs(), &table->Trans(), shape.MaxTokenSize);
  }
  // "token/field" -> locations.
  std::map<std::string, std::set<uint32_t>> Locations() {
    std::map<std::string, std::set<uint32_t>> out;
    for (const auto& [key, set] : LocationsOf(Entries()))
      out[platform::Utf16ToUtf8(key.first) + "/" + std::to_string(key.second)] = set;
    return out;
  }
  // Every array's stored count matches its bits, and no array is empty.
  void ExpectSoundArrays() {
    for (const TBitArrayEntry& e : Entries()) {
      EXPECT_TRUE(e.Readable) << platform::Utf16ToUtf8(e.Token);
      EXPECT_EQ(e.StoredCount, e.Bits.size()) << platform::Utf16ToUtf8(e.Token);
      EXPECT_FALSE(e.Bits.empty()) << platform::Utf16ToUtf8(e.Token);
    }
  }

  TShape shape;
  std::unique_ptr<TFulltextTable> table;
  std::unique_ptr<TnxBaseFulltextCursorEngine> engine;
};

using Locs = std::map<std::string, std::set<uint32_t>>;

// ---- what an insert stores ----

TEST_F(TokenIndexTest, InsertStoresEachDistinctTokenOncePerFieldAndCombined) {
  struct Case {
    const char* name;
    bool perField, perLocation;
    Locs expected;
  };
  const Case cases[] = {
      {"combined", false, true, {{"a/-1", {7}}, {"b/-1", {7}}}},
      {"per field", true, false, {{"a/0", {7}}, {"a/1", {7}}, {"b/0", {7}}}},
      {"both", true, true, {{"a/-1", {7}}, {"b/-1", {7}}, {"a/0", {7}}, {"a/1", {7}}, {"b/0", {7}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TShape s;
    s.PerField = c.perField;
    s.PerLocation = c.perLocation;
    Build(s);
    Insert(Record(7, u"a B a A", u"a"), 1);
    EXPECT_EQ(Locations(), c.expected);
    ExpectSoundArrays();
  }
}

TEST_F(TokenIndexTest, WithoutPerFieldOrPerLocationNothingIsStored) {
  TShape s;
  s.PerLocation = false;
  Build(s);
  Insert(Record(7, u"a b"), 1);
  EXPECT_EQ(TWrites::Get().Total.load(), 0);
  EXPECT_TRUE(Entries().empty());
}

// ---- changes ----

TEST_F(TokenIndexTest, ModifyWritesOnlyTheDifference) {
  Build({});
  const auto one = Record(3, u"alpha beta gamma");
  const auto two = Record(4, u"alpha gamma");
  Insert(one, 1);
  Insert(two, 2);
  const auto changed = Record(3, u"gamma delta alpha");
  TWrites::Get().Total = 0;
  Modify(one, changed, 1);
  // beta goes (its last bit: the array and its key), delta comes (a new
  // array and its key).
  EXPECT_EQ(TWrites::Get().Total.load(), 4);
  EXPECT_EQ(Locations(), (Locs{{"alpha/-1", {3, 4}}, {"delta/-1", {3}}, {"gamma/-1", {3, 4}}}));
  ExpectSoundArrays();
}

TEST_F(TokenIndexTest, ModifyThatLeavesTheTokensAloneWritesNothing) {
  TShape s;
  s.PerField = true;
  s.Segment = true;
  s.Reverse = true;
  s.MainIndex = true;
  Build(s);
  const auto before = Record(3, u"Alpha beta beta", u"x");
  Insert(before, 1);
  const auto entries = Locations();
  TWrites::Get().Total = 0;
  // Case, order and repetition differ; the token sets do not.
  Modify(before, Record(3, u"beta ALPHA", u"X x"), 1);
  Modify(before, before, 1);
  EXPECT_EQ(TWrites::Get().Total.load(), 0);
  EXPECT_EQ(Locations(), entries);
}

TEST_F(TokenIndexTest, ALocationChangeMovesEveryToken) {
  TShape s;
  s.PerField = true;
  Build(s);
  const auto before = Record(3, u"a b", u"c");
  Insert(before, 1);
  Modify(before, Record(9, u"a b", u"c"), 1);
  EXPECT_EQ(Locations(), (Locs{{"a/-1", {9}}, {"b/-1", {9}}, {"c/-1", {9}}, {"a/0", {9}}, {"b/0", {9}}, {"c/1", {9}}}));
  ExpectSoundArrays();
}

TEST_F(TokenIndexTest, DeletingTheLastHolderTakesArraysAndKeys) {
  TShape s;
  s.Reverse = true;
  Build(s);
  const auto one = Record(1, u"shared one");
  const auto two = Record(2, u"shared");
  Insert(one, 1);
  Insert(two, 2);
  Delete(one, 1);
  EXPECT_EQ(Locations(), (Locs{{"shared/-1", {2}}}));
  Delete(two, 2);
  EXPECT_TRUE(Entries().empty());
  EXPECT_TRUE(ReadBitArrays(*Bits().ReverseIndexEngine(), table->Blobs(), &table->Trans(), 20, true).empty());
}

TEST_F(TokenIndexTest, ReverseKeysMirrorTheForwardKeys) {
  TShape s;
  s.Reverse = true;
  s.PerField = true;
  Build(s);
  Insert(Record(1, u"abc \U0001F600x"), 1);
  Insert(Record(600000, u"abc"), 2);
  auto forward = Entries();
  auto reverse = ReadBitArrays(*Bits().ReverseIndexEngine(), table->Blobs(), &table->Trans(), 20, true);
  const auto summary = [](const std::vector<TBitArrayEntry>& aEntries) {
    std::set<std::tuple<uint16_t, std::u16string, int16_t, int64_t>> out;
    for (const auto& e : aEntries) out.insert({e.Segment, e.Token, e.Field, e.Ref});
    return out;
  };
  EXPECT_EQ(summary(forward), summary(reverse));
  EXPECT_EQ(forward.size(), 6u);
}

// ---- segments ----

TEST_F(TokenIndexTest, SegmentArraysComeAndGoWithTheirSegments) {
  TShape s;
  s.Segment = true;
  Build(s);
  const uint32_t inSeg0 = 5, inSeg2 = 2 * 524288 + 3, alsoSeg2 = 2 * 524288 + 524287;
  const auto a = Record(inSeg0, u"t");
  const auto b = Record(inSeg2, u"t");
  const auto c = Record(alsoSeg2, u"t");
  Insert(a, 1);
  Insert(b, 2);
  Insert(c, 3);
  const auto segments = [&] { return SegmentsOf(Entries())[{u"t", -1}]; };
  EXPECT_EQ(Locations(), (Locs{{"t/-1", {inSeg0, inSeg2, alsoSeg2}}}));
  EXPECT_EQ(segments(), (std::set<uint32_t>{0, 2}));
  Delete(b, 2);
  EXPECT_EQ(segments(), (std::set<uint32_t>{0, 2})) << "segment 2 still holds c";
  Delete(c, 3);
  EXPECT_EQ(segments(), (std::set<uint32_t>{0}));
  Delete(a, 1);
  EXPECT_TRUE(Entries().empty()) << "the segment-level array and its key went with the last segment";
}

// ---- locations ----

TEST_F(TokenIndexTest, ANullLocationIsNeitherAddedNorRemoved) {
  Build({});
  const auto none = Record(std::nullopt, u"ghost");
  Insert(none, 1);
  EXPECT_TRUE(Entries().empty());
  const auto placed = Record(4, u"ghost");
  Modify(none, placed, 1);
  EXPECT_EQ(Locations(), (Locs{{"ghost/-1", {4}}}));
  Modify(placed, none, 1);
  EXPECT_TRUE(Entries().empty());
  TWrites::Get().Total = 0;
  Delete(none, 1);
  EXPECT_EQ(TWrites::Get().Total.load(), 0);
}

TEST_F(TokenIndexTest, TwoRecordsAtOneLocationSharingATokenFailNamingTheLocation) {
  Build({});
  Insert(Record(12345, u"same other"), 1);
  const auto second = Record(12345, u"same");
  try {
    Update(nullptr, &second, 2);
    FAIL() << "no violation";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeKeyViolation);
    EXPECT_NE(platform::Utf16ToUtf8(std::u16string(e.Message())).find("12345"), std::string::npos)
        << platform::Utf16ToUtf8(std::u16string(e.Message()));
  }
}

TEST_F(TokenIndexTest, RemovingATokenThatIsNotStoredIsAViolation) {
  Build({});
  Insert(Record(1, u"kept"), 1);
  const auto never = Record(2, u"never");
  try {
    Update(&never, nullptr, 2);
    FAIL() << "no violation";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeKeyViolation);
  }
}

// ---- token text ----

TEST_F(TokenIndexTest, TokensAreCutAtWholeCodePointsAndPrecomposed) {
  TShape s;
  s.MaxTokenSize = 5;
  Build(s);
  // "abcd" then a pair: five units would split the pair, so four stay.
  // Two tokens equal in their first five units are one token. e + U+0301
  // is é precomposed.
  const auto before = Record(1, u"abcd\U0001F600 abcdefX abcdefY e\u0301t\u00E9");
  Insert(before, 1);
  EXPECT_EQ(Locations(), (Locs{{"abcd/-1", {1}}, {"abcde/-1", {1}}, {"\u00E9t\u00E9/-1", {1}}}));
  TWrites::Get().Total = 0;
  Modify(before, Record(1, u"abcd\U0001F601 abcdefZ \u00E9te\u0301"), 1);
  EXPECT_EQ(TWrites::Get().Total.load(), 0) << "the cut and precomposed tokens did not change";
}

// ---- main index ----

TEST_F(TokenIndexTest, MainIndexHoldsOneKeyPerTokenAndRecord) {
  struct Case {
    const char* name;
    bool withLocation;
  };
  for (const Case& c : {Case{"with location", true}, Case{"without location", false}}) {
    SCOPED_TRACE(c.name);
    TShape s;
    s.MainIndex = true;
    s.MainWithLocation = c.withLocation;
    Build(s);
    TnxBaseIndexEngine& index =
        table->MainIndices()->Indices(table->Table().Dict().IndicesDescriptor()->GetIndexFromName(u"Tokens"));
    const int32_t max = dynamic_cast<TnxMainIndexTokenKeyEngine&>(index.KeyEngine()).MaxTokenSize();
    const auto keys = [&] {
      auto entries = ReadMainIndexKeys(index, &table->Trans(), max, c.withLocation);
      return std::multiset<TMainIndexEntry>(entries.begin(), entries.end());
    };
    const uint32_t at = c.withLocation ? 70 : 0;
    const uint32_t at2 = c.withLocation ? 71 : 0;
    const auto one = Record(70, u"red green red", u"blue");
    const auto two = Record(71, u"green");
    Insert(one, 11);
    Insert(two, 12);
    EXPECT_EQ(keys(), (std::multiset<TMainIndexEntry>{
                          {u"blue", at, 11}, {u"green", at, 11}, {u"green", at2, 12}, {u"red", at, 11}}));
    Modify(one, Record(70, u"red"), 11);
    EXPECT_EQ(keys(), (std::multiset<TMainIndexEntry>{{u"green", at2, 12}, {u"red", at, 11}}));
    Delete(two, 12);
    EXPECT_EQ(keys(), (std::multiset<TMainIndexEntry>{{u"red", at, 11}}));
  }
}

// ---- failures ----

TEST_F(TokenIndexTest, ARefusedKeyInsertRaisesAndTheRollbackLeavesNothing) {
  TShape s;
  s.Reverse = true;
  s.Segment = true;
  Build(s);
  Insert(Record(1, u"old"), 1);
  table->Commit();
  const auto before = Locations();
  const auto added = Record(2, u"new old");
  // "new" takes four keys: forward and reverse, for its segment and for
  // the segment level.
  for (int failAt = 1; failAt <= 4; ++failAt) {
    SCOPED_TRACE(failAt);
    TWrites::Get().KeyInserts = 0;
    TWrites::Get().FailAt = failAt;
    try {
      Update(nullptr, &added, 2);
      ADD_FAILURE() << "no failure";
    } catch (const EnxBitArrayTokenIndexCursorEngineException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeKeyViolation);
    }
    table->Rollback();
    TWrites::Get().FailAt = 0;
    EXPECT_EQ(Locations(), before);
    ExpectSoundArrays();
  }
  // And the index still works after the rollbacks.
  Insert(Record(2, u"new old"), 2);
  EXPECT_EQ(Locations(), (Locs{{"new/-1", {2}}, {"old/-1", {1, 2}}}));
}

// ---- changes gathered over many records ----

// (segment, token, field) -> the array's stored bytes, read through one
// index; the reverse index must name the same arrays.
using TStored = std::map<std::tuple<uint16_t, std::u16string, int16_t>, std::string>;

class TokenIndexBatchTest : public TokenIndexTest {
protected:
  TStored Stored(bool aReverse = false) {
    TnxBaseIndexEngine* index = aReverse ? Bits().ReverseIndexEngine() : Bits().IndexEngine();
    TStored out;
    for (const TBitArrayEntry& e :
         ReadBitArrays(*index, table->Blobs(), &table->Trans(), shape.MaxTokenSize, aReverse))
      out[{e.Segment, e.Token, e.Field}] = table->RawBytes(e.Ref);
    return out;
  }
  // The same records changes, applied one by one or inside a write batch,
  // give the same stored bytes.
  struct TStep {
    std::optional<uint32_t> OldLocation, NewLocation;
    std::u16string OldText, NewText;
  };
  void Apply(const std::vector<TStep>& aSteps) {
    for (const TStep& step : aSteps) {
      const auto oldRecord = Record(step.OldLocation, step.OldText);
      const auto newRecord = Record(step.NewLocation, step.NewText);
      ASSERT_EQ(Update(step.OldText.empty() && !step.OldLocation ? nullptr : &oldRecord,
                       step.NewText.empty() && !step.NewLocation ? nullptr : &newRecord, 1),
                0u);
    }
  }
  static TShape FullShape() {
    TShape s;
    s.PerField = true;
    s.Segment = true;
    s.Reverse = true;
    return s;
  }
};

TEST_F(TokenIndexBatchTest, ABatchStoresTheSameBytesAsWritesOneByOne) {
  constexpr uint32_t kSeg = 524288;
  // Arrays that grow past their end, lose bits below it, go and come back
  // within the batch, move between segments, and a token that comes and
  // goes again before the flush.
  std::vector<TStep> before, steps;
  for (uint32_t i = 0; i < 40; ++i)
    before.push_back({{}, i * 3, u"", i % 2 ? u"odd common" : u"even common gone"});
  steps.push_back({uint32_t{0}, uint32_t{0}, u"even common gone", u"even common"});  // a stored bit goes
  steps.push_back({uint32_t{6}, uint32_t{6}, u"even common gone", u"even common"});
  for (uint32_t i = 40; i < 80; ++i) steps.push_back({{}, i * 3, u"", u"common later"});  // growth
  steps.push_back({{}, uint32_t{kSeg + 5}, u"", u"common fresh"});  // a new segment
  steps.push_back({uint32_t{kSeg + 5}, {}, u"common fresh", u""});  // made and gone
  steps.push_back({{}, uint32_t{2 * kSeg + 1}, u"", u"fresh"});
  // Every "gone" goes (its stored array is deleted), then comes back.
  for (uint32_t i = 4; i < 40; i += 2) steps.push_back({i * 3, i * 3, u"even common gone", u"even common"});
  steps.push_back({{}, uint32_t{1000}, u"", u"gone again"});
  steps.push_back({uint32_t{3}, uint32_t{kSeg + 3}, u"odd common", u"odd common"});  // location moves
  steps.push_back({{}, uint32_t{4000}, u"", u"later"});                                // a zero gap

  const auto run = [&](bool aBatch) {
    Build(FullShape());
    Apply(before);
    table->Commit();
    if (aBatch) table->Engine()->BeginWriteBatch(table->Trans());
    Apply(steps);
    if (aBatch) {
      table->Engine()->FlushWriteBatch(table->Trans());
      table->Engine()->EndWriteBatch();
    }
    table->Commit();
    ExpectSoundArrays();
    EXPECT_EQ(Stored(true), Stored());
    return std::make_pair(Stored(), Locations());
  };
  const auto direct = run(false);
  const auto batched = run(true);
  EXPECT_EQ(batched.first, direct.first);
  EXPECT_EQ(batched.second, direct.second);
  EXPECT_EQ(direct.second.at("gone/-1"), (std::set<uint32_t>{1000}));
}

TEST_F(TokenIndexBatchTest, InconsistenciesRaiseWhenTheRecordIsProcessed) {
  struct Case {
    const char* name;
    std::vector<TStep> steps;
    const char* message;
  };
  const Case cases[] = {
      {"two records at one location", {{{}, uint32_t{7}, u"", u"a"}, {{}, uint32_t{7}, u"", u"a b"}}, "location 7"},
      {"a stored token that is not there", {{uint32_t{9}, {}, u"x", u""}}, "not stored"},
      {"a bit cleared twice", {{uint32_t{1}, {}, u"a", u""}, {uint32_t{1}, {}, u"a", u""}}, ""},
      {"a bit not set", {{uint32_t{2}, {}, u"a", u""}}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Build(FullShape());
    Apply({{{}, uint32_t{1}, u"", u"a"}, {{}, uint32_t{3}, u"", u"a"}});
    table->Commit();
    const TStored stored = Stored();
    table->Engine()->BeginWriteBatch(table->Trans());
    try {
      for (const TStep& step : c.steps) {
        const auto oldRecord = Record(step.OldLocation, step.OldText);
        const auto newRecord = Record(step.NewLocation, step.NewText);
        Update(step.OldLocation ? &oldRecord : nullptr, step.NewLocation ? &newRecord : nullptr, 1);
      }
      ADD_FAILURE() << "no failure";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeKeyViolation);
      EXPECT_NE(platform::Utf16ToUtf8(e.Message()).find(c.message), std::string::npos)
          << platform::Utf16ToUtf8(e.Message());
    }
    table->Engine()->EndWriteBatch();
    table->Rollback();
    EXPECT_EQ(Stored(), stored);
  }
}

TEST_F(TokenIndexBatchTest, AFailedFlushRollsBackToTheStateBefore) {
  // Key inserts at the flush: "new" and "newer" at their segment and at
  // the segment level, forward and reverse.
  for (int failAt = 1; failAt <= 8; ++failAt) {
    SCOPED_TRACE(failAt);
    Build(FullShape());
    Apply({{{}, uint32_t{1}, u"", u"old"}});
    table->Commit();
    const TStored stored = Stored();
    table->Engine()->BeginWriteBatch(table->Trans());
    Apply({{{}, uint32_t{2}, u"", u"new old"}, {{}, uint32_t{3}, u"", u"newer"}});
    TWrites::Get().KeyInserts = 0;
    TWrites::Get().FailAt = failAt;
    EXPECT_THROW(table->Engine()->FlushWriteBatch(table->Trans()), EnxBitArrayTokenIndexCursorEngineException);
    table->Engine()->EndWriteBatch();
    table->Rollback();
    TWrites::Get().FailAt = 0;
    EXPECT_EQ(Stored(), stored);
    // Nothing of the failed batch lingers in the buffer.
    Insert(Record(4, u"old"), 4);
    EXPECT_EQ(Locations(), (Locs{{"old/-1", {1, 4}}, {"old/0", {1, 4}}}));
  }
}

TEST_F(TokenIndexBatchTest, OnlyTheOutermostLevelEndsTheBatch) {
  struct Case {
    const char* name;
    bool innerFlush;  // an inner flush writes what is gathered so far
  };
  for (const Case& c : {Case{"inner end only", false}, Case{"inner flush", true}}) {
    SCOPED_TRACE(c.name);
    Build(FullShape());
    TnxBaseFulltextTableEngine& engine = *table->Engine();
    engine.BeginWriteBatch(table->Trans());
    Insert(Record(1, u"a"), 1);
    engine.BeginWriteBatch(table->Trans());
    Insert(Record(2, u"a b"), 2);
    if (c.innerFlush) engine.FlushWriteBatch(table->Trans());
    engine.EndWriteBatch();
    EXPECT_EQ(Locations().count("b/-1"), c.innerFlush ? 1u : 0u);
    Insert(Record(3, u"b"), 3);
    engine.FlushWriteBatch(table->Trans());
    engine.EndWriteBatch();
    EXPECT_EQ(Locations(), (Locs{{"a/-1", {1, 2}}, {"a/0", {1, 2}}, {"b/-1", {2, 3}}, {"b/0", {2, 3}}}));
    ExpectSoundArrays();
  }
}

TEST_F(TokenIndexBatchTest, ARollbackUnderGatheredChangesFailsTheFlush) {
  Build(FullShape());
  TnxBaseFulltextTableEngine& engine = *table->Engine();
  Insert(Record(1, u"a"), 1);
  table->Commit();
  const TStored stored = Stored();
  engine.BeginWriteBatch(table->Trans());
  Insert(Record(2, u"a b"), 2);
  // A level that wrote to the table was rolled back while the batch held
  // changes read from it.
  engine.Rollback(table->Trans());
  try {
    engine.FlushWriteBatch(table->Trans());
    ADD_FAILURE() << "no failure";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeTransactionCorrupt);
  }
  engine.EndWriteBatch();
  table->Rollback();
  EXPECT_EQ(Stored(), stored);
}

}  // namespace
}  // namespace revurov::testing
