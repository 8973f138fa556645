#include "server/engines/sort_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dictionary/comp_key_engines.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/text.h"
#include "server/engines/startup.h"
#include "storage/deadline.h"
#include "support/fake_deadline_clock.h"
#include "support/sort_records.h"
#include "support/storage_fixture.h"

namespace revurov {
namespace {

using testing::AddSortIndex;
using testing::ErrorCodeOf;
using testing::ExpectSorted;
using testing::GetSortRecords;
using testing::PutSortRecords;
using testing::SortBytes;
using testing::SortDictionary;
using testing::SortKeyTypes;
using testing::SortRecords;
using testing::TSortKeyField;

// Without the server no run table can be made: a sort that needs one fails
// with 12289, which tells the sorts from memory apart.
class SortEngineTest : public ::testing::Test {
protected:
  SortEngineTest() : dict(SortDictionary()) {}
  ~SortEngineTest() override { nxSetTimeout(0, true); }

  TnxIndexDescriptor* Index(const std::vector<TSortKeyField>& aFields) {
    return AddSortIndex(*dict, u"Sort" + platform::Utf8ToUtf16(std::to_string(++indexCount)), aFields);
  }
  std::unique_ptr<TnxMergeSortEngine> Engine(TnxIndexDescriptor* aIndex, uint32_t aBufferSize = nxSortBufferSize) {
    return std::make_unique<TnxMergeSortEngine>(nullptr, *dict, *aIndex, aBufferSize);
  }
  std::unique_ptr<TnxBaseKeyEngine> KeyEngine(TnxIndexDescriptor* aIndex) {
    return TnxBaseKeyEngine::CreateFor(*aIndex->KeyDescriptor());
  }

  TnxServerEnginesStartupGuard startup;
  std::unique_ptr<TnxDataDictionary> dict;
  int indexCount = 0;
};

TEST_F(SortEngineTest, SortsByEveryKeyFieldTypeBothWaysFromMemory) {
  for (TnxFieldType type : SortKeyTypes())
    for (bool descending : {false, true}) {
      SCOPED_TRACE(std::to_string(type) + (descending ? " descending" : ""));
      TnxIndexDescriptor* index = Index({{type, descending}});
      const auto input = SortRecords(*dict, 700, 12, 100 + type);
      auto engine = Engine(index);
      PutSortRecords(*engine, input);
      ExpectSorted(*KeyEngine(index), input, GetSortRecords(*engine));
      EXPECT_EQ(engine->RunsWritten(), 0u);
    }
}

TEST_F(SortEngineTest, SortsByCompositeKeysWithMixedDirections) {
  const std::vector<std::vector<TSortKeyField>> keys = {
      {{nxtInt32, false}, {nxtShortString, false}},
      {{nxtBoolean, true}, {nxtDouble, false}, {nxtWideString, true}},
      {{nxtGuid, false}, {nxtDate, true}},
  };
  for (const auto& key : keys) {
    TnxIndexDescriptor* index = Index(key);
    const auto input = SortRecords(*dict, 2000, 5, 7);
    auto engine = Engine(index);
    PutSortRecords(*engine, input);
    ExpectSorted(*KeyEngine(index), input, GetSortRecords(*engine));
  }
}

TEST_F(SortEngineTest, EqualKeysComeOutInTheSameOrderWhateverTheEntriesHold) {
  // Keys of Int32 and ShortString sort by their byte-order form; adding a
  // Double that never differs keeps the order but makes the entries hold
  // the keys themselves. Both sorts must hand out the same sequence, ties
  // included, ascending and descending, with nulls.
  TnxDataDictionary layout;
  TnxFieldsDescriptor& fields = layout.FieldsDescriptor();
  fields.AddField(u"Seq", u"", nxtInt32, 0, 0, false);
  fields.AddField(u"Number", u"", nxtInt32, 0, 0, false);
  fields.AddField(u"Text", u"", nxtShortString, 6, 0, false);
  fields.AddField(u"Same", u"", nxtDouble, 0, 0, false);
  auto index = [&](std::u16string_view aName, bool aDescending, bool aWithDouble) {
    TnxIndexDescriptor* i =
        layout.EnsureIndicesDescriptor()->AddIndex(aName, 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
    auto* key = static_cast<TnxCompKeyDescriptor*>(i->KeyDescriptor());
    key->Add(1)->SetAscend(!aDescending);
    key->Add(2)->SetAscend(aDescending);
    if (aWithDouble) key->Add(3);
    return i;
  };
  std::mt19937 rng(98);
  std::vector<std::string> input;
  const auto length = static_cast<size_t>(fields.RecordLength());
  for (int32_t n = 0; n < 3000; ++n) {
    std::string record(length, '\0');
    uint8_t* bytes = reinterpret_cast<uint8_t*>(record.data());
    fields.InitRecord(bytes);
    fields.SetRecordField(0, bytes, &n);
    const int32_t number = static_cast<int32_t>(rng() % 7) - 3;
    fields.SetRecordField(1, bytes, &number);
    if (rng() % 8 == 0) fields.SetRecordFieldNull(1, bytes, true);
    uint8_t text[7] = {};
    text[0] = static_cast<uint8_t>(rng() % 3);
    for (int c = 1; c <= text[0]; ++c) text[c] = static_cast<uint8_t>('a' + rng() % 2);
    fields.SetRecordField(2, bytes, text);
    if (rng() % 8 == 0) fields.SetRecordFieldNull(2, bytes, true);
    const double same = 1.5;
    fields.SetRecordField(3, bytes, &same);
    input.push_back(std::move(record));
  }
  for (bool descending : {false, true}) {
    SCOPED_TRACE(descending ? "descending" : "ascending");
    const std::u16string suffix = descending ? u"Down" : u"Up";
    TnxIndexDescriptor* byForm = index(u"Form" + suffix, descending, false);
    TnxIndexDescriptor* byKey = index(u"Key" + suffix, descending, true);
    ASSERT_GT(dynamic_cast<TnxCompKeyEngine&>(*KeyEngine(byForm)).ByteOrderKeyLength(), 0);
    ASSERT_EQ(dynamic_cast<TnxCompKeyEngine&>(*KeyEngine(byKey)).ByteOrderKeyLength(), 0);
    std::vector<std::string> outputs[2];
    for (int pass = 0; pass < 2; ++pass) {
      TnxMergeSortEngine engine(nullptr, layout, pass == 0 ? *byForm : *byKey);
      PutSortRecords(engine, input);
      outputs[pass] = GetSortRecords(engine);
    }
    ExpectSorted(*KeyEngine(byForm), input, outputs[0]);
    ASSERT_EQ(outputs[0].size(), outputs[1].size());
    for (size_t i = 0; i < outputs[0].size(); ++i) ASSERT_TRUE(outputs[0][i] == outputs[1][i]) << "at " << i;
  }
}

TEST_F(SortEngineTest, ZeroOneAndCapacityRecordsNeedNoRun) {
  TnxIndexDescriptor* index = Index({{nxtInt16, false}});
  const uint32_t capacity = Engine(index)->MaxRecCount();
  ASSERT_EQ(capacity, nxSortBufferSize / Engine(index)->RecLenBuf());
  for (uint32_t count : {0u, 1u, 2u, capacity - 1, capacity}) {
    SCOPED_TRACE(count);
    const auto input = SortRecords(*dict, count, 40, count);
    auto engine = Engine(index);
    PutSortRecords(*engine, input);
    ExpectSorted(*KeyEngine(index), input, GetSortRecords(*engine));
    EXPECT_EQ(engine->Get(nullptr), nxeAtEndOfTable);
    EXPECT_EQ(engine->RunsWritten(), 0u);
  }
}

TEST_F(SortEngineTest, OneRecordMoreThanTheBufferAsksForARun) {
  TnxIndexDescriptor* index = Index({{nxtInt16, false}});
  auto engine = Engine(index, 4096);
  const auto input = SortRecords(*dict, engine->MaxRecCount() + 1, 40, 3);
  for (uint32_t i = 0; i < engine->MaxRecCount(); ++i) ASSERT_EQ(engine->Put(SortBytes(input[i])), 0u);
  EXPECT_EQ(engine->Put(SortBytes(input.back())), nxeCapabilityNotSupported);
  // The failure sticks: nothing half sorted comes out.
  EXPECT_EQ(engine->Put(SortBytes(input.back())), nxeCapabilityNotSupported);
  EXPECT_EQ(engine->Get(nullptr), nxeCapabilityNotSupported);
  EXPECT_EQ(engine->RunCount(), 0);
}

TEST_F(SortEngineTest, GetOnAnEmptySortAnswersAtEnd) {
  auto engine = Engine(Index({{nxtInt32, false}}));
  EXPECT_EQ(engine->Get(nullptr), nxeAtEndOfTable);
  EXPECT_EQ(engine->Get(nullptr), nxeAtEndOfTable);
  EXPECT_FALSE(engine->Iterate(nullptr, nullptr, [](PnxRecordBuffer, void*) { return rirContinue; }, nullptr));
  // Reading has begun: more records are refused.
  const auto input = SortRecords(*dict, 1, 4, 1);
  EXPECT_EQ(engine->Put(SortBytes(input[0])), nxeInvalidHandle);
}

TEST_F(SortEngineTest, ALayoutLongerThanTheBufferStillHoldsTwoRecords) {
  TnxDataDictionary big;
  big.FieldsDescriptor().AddField(u"Key", u"", nxtInt32, 0, 0, false);
  big.FieldsDescriptor().AddField(u"Payload", u"", nxtByteArray, 60000, 0, false);
  TnxIndexDescriptor* index = big.EnsureIndicesDescriptor()->AddIndex(u"ByKey", 0, idAll, u"",
                                                                       &TnxCompKeyDescriptor::ClassInfo());
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(0);
  // A buffer smaller than one record: the shape of a layout over 1 MiB,
  // which the dictionary itself does not allow.
  TnxMergeSortEngine engine(nullptr, big, *index, 32768);
  ASSERT_EQ(engine.MaxRecCount(), 2u);
  const auto length = static_cast<size_t>(big.FieldsDescriptor().RecordLength());
  std::string first(length, '\x11'), second(length, '\x22');
  big.FieldsDescriptor().InitRecord(first.data());
  big.FieldsDescriptor().InitRecord(second.data());
  const int32_t key1 = 9, key2 = -4;
  big.FieldsDescriptor().SetRecordField(0, first.data(), &key1);
  big.FieldsDescriptor().SetRecordField(0, second.data(), &key2);
  ASSERT_EQ(engine.Put(SortBytes(first)), 0u);
  ASSERT_EQ(engine.Put(SortBytes(second)), 0u);
  std::string out(length, '\0');
  ASSERT_EQ(engine.Get(reinterpret_cast<uint8_t*>(out.data())), 0u);
  EXPECT_TRUE(out == second);
  ASSERT_EQ(engine.Get(reinterpret_cast<uint8_t*>(out.data())), 0u);
  EXPECT_TRUE(out == first);
  EXPECT_EQ(engine.Get(nullptr), nxeAtEndOfTable);
  // A third record needs a run.
  TnxMergeSortEngine three(nullptr, big, *index, 32768);
  ASSERT_EQ(three.Put(SortBytes(first)), 0u);
  ASSERT_EQ(three.Put(SortBytes(second)), 0u);
  EXPECT_EQ(three.Put(SortBytes(first)), nxeCapabilityNotSupported);
}

TEST_F(SortEngineTest, IterateFlagsKeyChangesAndKeepsThePreviousRecord) {
  TnxIndexDescriptor* index = Index({{nxtByte, false}});
  auto keys = KeyEngine(index);
  const auto input = SortRecords(*dict, 500, 6, 11);
  for (bool copy : {false, true}) {
    SCOPED_TRACE(copy ? "copied" : "in place");
    auto engine = Engine(index);
    PutSortRecords(*engine, input);
    std::string buffer(engine->RecLen(), '\0');
    PnxRecordBuffer data = copy ? reinterpret_cast<uint8_t*>(buffer.data()) : nullptr;
    bool changed = false;
    std::vector<std::string> out;
    const uint8_t* previous = nullptr;
    size_t changes = 0;
    const bool result = engine->Iterate(
        &data, &changed,
        [&](PnxRecordBuffer aData, void*) {
          if (copy) {
            EXPECT_EQ(aData, reinterpret_cast<uint8_t*>(buffer.data()));
          }
          if (!out.empty()) {
            if (!copy) {
              EXPECT_EQ(std::memcmp(previous, out.back().data(), out.back().size()), 0);
            }
            EXPECT_EQ(changed, keys->CompareRecord(SortBytes(out.back()), aData) != 0);
          } else {
            EXPECT_TRUE(changed);
          }
          changes += changed;
          previous = aData;
          out.emplace_back(reinterpret_cast<const char*>(aData), engine->RecLen());
          return rirContinue;
        },
        nullptr);
    EXPECT_TRUE(result);
    EXPECT_GT(changes, 1u);
    EXPECT_LT(changes, out.size());
    ExpectSorted(*keys, input, out);
  }
}

TEST_F(SortEngineTest, IterateStoppedByTheIteratorAnswersFalseAndKeepsTheRest) {
  TnxIndexDescriptor* index = Index({{nxtInt32, false}});
  const auto input = SortRecords(*dict, 50, 1000, 5);
  auto engine = Engine(index);
  PutSortRecords(*engine, input);
  std::vector<std::string> out;
  auto collect = [&](PnxRecordBuffer aData, void*) {
    out.emplace_back(reinterpret_cast<const char*>(aData), engine->RecLen());
    return out.size() == 10 ? rirStop : rirContinue;
  };
  EXPECT_FALSE(engine->Iterate(nullptr, nullptr, collect, nullptr));
  EXPECT_EQ(out.size(), 10u);
  for (const std::string& record : GetSortRecords(*engine)) out.push_back(record);
  ExpectSorted(*KeyEngine(index), input, out);
  EXPECT_FALSE(engine->Iterate(nullptr, nullptr, collect, nullptr));
}

TEST_F(SortEngineTest, IterateSameKeyHandsOutOneGroupPerCall) {
  TnxIndexDescriptor* index = Index({{nxtChar, true}});
  auto keys = KeyEngine(index);
  const auto input = SortRecords(*dict, 900, 7, 13);
  auto engine = Engine(index);
  PutSortRecords(*engine, input);
  std::vector<std::string> out;
  std::vector<std::vector<std::string>> groups;
  for (int call = 0; call < 100; ++call) {
    std::vector<std::string> group;
    const bool any = engine->IterateSameKey(
        nullptr,
        [&](PnxRecordBuffer aData, void*) {
          group.emplace_back(reinterpret_cast<const char*>(aData), engine->RecLen());
          return rirContinue;
        },
        nullptr);
    if (!any) {
      EXPECT_TRUE(group.empty());
      break;
    }
    for (const std::string& record : group)
      EXPECT_EQ(keys->CompareRecord(SortBytes(group.front()), SortBytes(record)), 0);
    // After a Get the walk goes on with the rest of that record's key.
    if (!groups.empty()) {
      EXPECT_LT(keys->CompareRecord(SortBytes(groups.back().front()), SortBytes(group.front())),
                groups.back().size() == 1 && call % 2 == 0 ? 1 : 0);
    }
    out.insert(out.end(), group.begin(), group.end());
    groups.push_back(std::move(group));
    // Every other call, Get takes the next group's first record: it was not
    // consumed by the walk before.
    if (call % 2 == 1) {
      std::string record(engine->RecLen(), '\0');
      const uint32_t result = engine->Get(reinterpret_cast<uint8_t*>(record.data()));
      if (result == nxeAtEndOfTable) break;
      ASSERT_EQ(result, 0u);
      EXPECT_NE(keys->CompareRecord(SortBytes(groups.back().front()), SortBytes(record)), 0);
      out.push_back(record);
      groups.push_back({record});
    }
  }
  EXPECT_GE(groups.size(), 7u);
  ExpectSorted(*keys, input, out);
}

TEST_F(SortEngineTest, ALongPartitionEndsAtTheDeadline) {
  testing::TFakeDeadlineClock clock;
  TnxIndexDescriptor* index = Index({{nxtInt32, false}});
  const auto input = SortRecords(*dict, 5000, 100000, 21);
  nxSetTimeout(1000, true);
  auto engine = Engine(index);
  PutSortRecords(*engine, input);
  clock.Advance(2000);
  EXPECT_EQ(engine->Get(nullptr), nxeTimeout);
  EXPECT_EQ(engine->Get(nullptr), nxeTimeout);
  EXPECT_EQ(engine->Put(SortBytes(input[0])), nxeTimeout);

  // A sort of a few records takes fewer steps than the test's period.
  auto small = Engine(index);
  PutSortRecords(*small, std::vector<std::string>(input.begin(), input.begin() + 5));
  EXPECT_EQ(small->Get(nullptr), 0u);
}

TEST_F(SortEngineTest, TheRunLayoutKeepsEveryFieldsPlaceWithoutSpecialFields) {
  TnxDataDictionary special;
  TnxFieldsDescriptor& fields = special.FieldsDescriptor();
  fields.AddField(u"ID", u"", nxtAutoInc, 0, 0, false);
  fields.AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
  fields.AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
  fields.AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
  fields.AddField(u"Name", u"", nxtShortString, 10, 0, true);
  fields.FieldDescriptor(4)->AddDefaultValue();
  TnxIndexDescriptor* index = special.EnsureIndicesDescriptor()->AddIndex(u"ByName", 0, idAll, u"",
                                                                           &TnxCompKeyDescriptor::ClassInfo());
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(4);
  const int32_t id = index->ID();
  TnxMergeSortEngine engine(nullptr, special, *index);
  EXPECT_EQ(index->ID(), id);
  const TnxFieldsDescriptor& run = engine.DictNoIdx().FieldsDescriptor();
  ASSERT_EQ(run.FieldCount(), fields.FieldCount());
  EXPECT_EQ(run.RecordLength(), fields.RecordLength());
  const TnxFieldType expected[] = {nxtWord32, nxtWord32, nxtInt64, nxtInt64, nxtShortString};
  for (int32_t i = 0; i < run.FieldCount(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(run.FieldDescriptor(i)->FieldType(), expected[i]);
    EXPECT_EQ(run.FieldDescriptor(i)->Offset(), fields.FieldDescriptor(i)->Offset());
    EXPECT_FALSE(run.FieldDescriptor(i)->Required());
    EXPECT_EQ(run.FieldDescriptor(i)->DefaultValue(), nullptr);
  }
  EXPECT_EQ(engine.DictNoIdx().IndicesDescriptor() == nullptr ||
                engine.DictNoIdx().IndicesDescriptor()->IndexCount() == 0,
            true);
  ASSERT_NE(engine.Dict().IndicesDescriptor(), nullptr);
  EXPECT_EQ(engine.Dict().IndicesDescriptor()->IndexCount(), 1);
}

TEST_F(SortEngineTest, EnginesAliveTogetherAndOneAfterAnotherKeepTheirOwnBuffers) {
  // The buffer of a finished sort goes to the next one: two sorts at once
  // must still get two, and a later sort of another layout must not see
  // the keys of the one before.
  TnxIndexDescriptor* byInt = Index({{nxtInt32, false}});
  TnxIndexDescriptor* byText = Index({{nxtWideString, true}, {nxtInt16, false}});
  const auto first = SortRecords(*dict, 3000, 50, 11);
  const auto second = SortRecords(*dict, 2500, 9, 12);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    auto one = Engine(byInt);
    auto two = Engine(byText);
    for (size_t i = 0; i < first.size(); ++i) {
      ASSERT_EQ(one->Put(SortBytes(first[i])), 0u);
      if (i < second.size()) {
        ASSERT_EQ(two->Put(SortBytes(second[i])), 0u);
      }
    }
    ExpectSorted(*KeyEngine(byText), second, GetSortRecords(*two));
    two.reset();
    ExpectSorted(*KeyEngine(byInt), first, GetSortRecords(*one));
  }
  TnxDataDictionary narrow;
  narrow.FieldsDescriptor().AddField(u"Seq", u"", nxtInt32, 0, 0, false);
  narrow.FieldsDescriptor().AddField(testing::SortFieldName(nxtInt8), u"", nxtInt8, 0, 0, false);
  TnxIndexDescriptor* index = AddSortIndex(narrow, u"ByInt8", {{nxtInt8, true}});
  TnxMergeSortEngine engine(nullptr, narrow, *index);
  const auto input = SortRecords(narrow, 5000, 16, 13);
  PutSortRecords(engine, input);
  ExpectSorted(*TnxBaseKeyEngine::CreateFor(*index->KeyDescriptor()), input, GetSortRecords(engine));
}

TEST(SortEngineStartupTest, TheMergeEngineIsTheDefaultWhileStartedUnlessAnotherIs) {
  if (nxServerEnginesStartupCount() != 0) GTEST_SKIP() << "started elsewhere";
  EXPECT_EQ(nxDefaultSortEngineClass(), nullptr);
  {
    TnxServerEnginesStartupGuard startup;
    EXPECT_EQ(nxDefaultSortEngineClass(), &nxMergeSortEngineClass());
    {
      TnxServerEnginesStartupGuard again;
      EXPECT_EQ(nxDefaultSortEngineClass(), &nxMergeSortEngineClass());
    }
    EXPECT_EQ(nxDefaultSortEngineClass(), &nxMergeSortEngineClass());
    auto dict = SortDictionary();
    TnxIndexDescriptor* index = AddSortIndex(*dict, u"ByInt", {{nxtInt32, false}});
    std::unique_ptr<TnxBaseSortEngine> engine = nxDefaultSortEngineClass()->Create(nullptr, *dict, *index);
    ASSERT_NE(dynamic_cast<TnxMergeSortEngine*>(engine.get()), nullptr);
  }
  EXPECT_EQ(nxDefaultSortEngineClass(), nullptr);
  const TnxSortEngineClass other{u"Other", nullptr};
  nxSetDefaultSortEngineClass(&other);
  {
    TnxServerEnginesStartupGuard startup;
    EXPECT_EQ(nxDefaultSortEngineClass(), &other);
  }
  EXPECT_EQ(nxDefaultSortEngineClass(), &other);
  nxSetDefaultSortEngineClass(nullptr);
}

}  // namespace
}  // namespace revurov
