// The merge sort engine with its runs in the server's result-set tables.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dictionary/default_values.h"
#include "lowlevel/errors/error_codes.h"
#include "server/engines/sort_engine.h"
#include "storage/deadline.h"
#include "support/fake_deadline_clock.h"
#include "support/sort_records.h"
#include "support/table_ops_fixture.h"

namespace revurov {
namespace {

using testing::AddSortIndex;
using testing::ExpectSorted;
using testing::GetSortRecords;
using testing::PutSortRecords;
using testing::SortBytes;
using testing::SortDictionary;
using testing::SortRecords;
using testing::TSortKeyField;

uint32_t ErrorCodeOf(const std::function<void()>& aCall) {
  try {
    aCall();
  } catch (const EnxBaseException& e) {
    return e.ErrorCode();
  }
  return 0;
}

// Run creation seen from the test: counts the runs and may play a part in
// one of them.
struct TRunHook {
  static inline TnxSortRunCreator Real = nullptr;
  static inline int Made = 0;
  // The run whose creation moves the fake clock past the deadline (0: none).
  static inline int TimeOutAt = 0;
  // The run that gets a unique index on "FInt16", so that its second
  // insert of a repeated value fails (0: none).
  static inline int RefuseAt = 0;

  static TnxServerObjectPtr<TnxAbstractCursor> Create(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                                      uint32_t aTimeout) {
    ++Made;
    if (Made == TimeOutAt) testing::TFakeDeadlineClock::Advance(1'000'000);
    if (Made != RefuseAt) return Real(aDB, aDict, aTimeout);
    auto unique = aDict.Duplicate();
    auto* index = unique->EnsureIndicesDescriptor()->AddIndex(u"Unique", 0, idNone, u"",
                                                              &TnxCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(u"FInt16");
    return Real(aDB, *unique, aTimeout);
  }
};

class ServerSortRunsTest : public testing::TableOpsFixture {
protected:
  ServerSortRunsTest() : dict(SortDictionary()) {
    TRunHook::Real = nxSortRunCreator();
    TRunHook::Made = 0;
    TRunHook::TimeOutAt = 0;
    TRunHook::RefuseAt = 0;
    nxSetSortRunCreator(&TRunHook::Create);
    baseline = Folder().TableCount();
  }
  ~ServerSortRunsTest() override {
    nxSetSortRunCreator(TRunHook::Real);
    nxSetTimeout(0, true);
  }

  std::unique_ptr<TnxMergeSortEngine> Engine(TnxDataDictionary& aDict, TnxIndexDescriptor& aIndex,
                                             uint32_t aBufferSize) {
    return std::make_unique<TnxMergeSortEngine>(db, aDict, aIndex, aBufferSize);
  }
  int32_t RunTables() { return Folder().TableCount() - baseline; }

  std::unique_ptr<TnxDataDictionary> dict;
  int32_t baseline = 0;
};

TEST_F(ServerSortRunsTest, OneRecordOverTheBufferWritesOneRun) {
  TnxIndexDescriptor* index = AddSortIndex(*dict, u"ByInt16", {{nxtInt16, false}, {nxtShortString, true}});
  auto engine = Engine(*dict, *index, nxSortBufferSize);
  const uint32_t capacity = engine->MaxRecCount();
  const auto input = SortRecords(*dict, capacity + 1, 50, 17);
  for (uint32_t i = 0; i < capacity; ++i) ASSERT_EQ(engine->Put(SortBytes(input[i])), 0u);
  EXPECT_EQ(engine->RunsWritten(), 0u);
  ASSERT_EQ(engine->Put(SortBytes(input.back())), 0u);
  EXPECT_EQ(engine->RunsWritten(), 1u);
  EXPECT_EQ(RunTables(), 1);
  ExpectSorted(*TnxBaseKeyEngine::CreateFor(*index->KeyDescriptor()), input, GetSortRecords(*engine));
  // The last buffer became the second run; both ran dry and are gone.
  EXPECT_EQ(engine->RunsWritten(), 2u);
  EXPECT_EQ(RunTables(), 0);
}

TEST_F(ServerSortRunsTest, ElevenRunsMergeTwiceAndLeaveThree) {
  struct Case {
    std::vector<TSortKeyField> Key;
    int Range;
  };
  const Case cases[] = {
      {{{nxtInt32, false}}, 6},
      {{{nxtWideString, true}, {nxtDouble, false}}, 9},
      {{{nxtDate, true}, {nxtGuid, true}}, 4},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    TnxIndexDescriptor* index = AddSortIndex(*dict, u"Key" + platform::Utf8ToUtf16(std::to_string(n++)), c.Key);
    auto keys = TnxBaseKeyEngine::CreateFor(*index->KeyDescriptor());
    auto engine = Engine(*dict, *index, 4096);
    const uint32_t capacity = engine->MaxRecCount();
    const auto input = SortRecords(*dict, 10 * capacity + capacity / 2, c.Range, 40 + n);
    PutSortRecords(*engine, input);
    EXPECT_EQ(engine->RunsWritten(), 10u);
    std::string first(engine->RecLen(), '\0');
    ASSERT_EQ(engine->Get(reinterpret_cast<uint8_t*>(first.data())), 0u) << testing::LastMessage();
    // Eleven runs, two merges of five: the eleventh and the two outputs.
    EXPECT_EQ(engine->RunsWritten(), 13u);
    EXPECT_EQ(engine->RunCount(), 3);
    EXPECT_EQ(engine->MergeCursorCount(), 3u);
    EXPECT_EQ(RunTables(), 3);
    std::vector<std::string> out{first};
    for (const std::string& record : GetSortRecords(*engine)) out.push_back(record);
    ExpectSorted(*keys, input, out);
    EXPECT_EQ(RunTables(), 0);
  }
}

TEST_F(ServerSortRunsTest, WalksOverMergedRunsKeepThePreviousRecordAndStopAtKeys) {
  TnxIndexDescriptor* index = AddSortIndex(*dict, u"ByChar", {{nxtChar, false}});
  auto keys = TnxBaseKeyEngine::CreateFor(*index->KeyDescriptor());
  const auto input = SortRecords(*dict, 400, 8, 77);

  auto walked = Engine(*dict, *index, 4096);
  PutSortRecords(*walked, input);
  std::vector<std::string> out;
  const uint8_t* previous = nullptr;
  bool changed = false;
  size_t changes = 0;
  PnxRecordBuffer data = nullptr;
  EXPECT_TRUE(walked->Iterate(
      &data, &changed,
      [&](PnxRecordBuffer aData, void*) {
        if (previous) {
          EXPECT_EQ(std::memcmp(previous, out.back().data(), out.back().size()), 0);
          EXPECT_EQ(changed, keys->CompareRecord(previous, aData) != 0);
        } else {
          EXPECT_TRUE(changed);
        }
        changes += changed;
        previous = aData;
        out.emplace_back(reinterpret_cast<const char*>(aData), walked->RecLen());
        return rirContinue;
      },
      nullptr));
  EXPECT_GT(walked->RunsWritten(), 5u);
  EXPECT_EQ(changes, 9u);  // eight values and null
  ExpectSorted(*keys, input, out);

  auto grouped = Engine(*dict, *index, 4096);
  PutSortRecords(*grouped, input);
  out.clear();
  int groups = 0;
  for (;; ++groups) {
    ASSERT_LT(groups, 20);
    std::vector<std::string> group;
    const uint8_t* last = nullptr;
    if (!grouped->IterateSameKey(
            nullptr,
            [&](PnxRecordBuffer aData, void*) {
              if (last) {
                EXPECT_EQ(std::memcmp(last, group.back().data(), group.back().size()), 0);
              }
              last = aData;
              group.emplace_back(reinterpret_cast<const char*>(aData), grouped->RecLen());
              return rirContinue;
            },
            nullptr))
      break;
    for (const std::string& record : group)
      EXPECT_EQ(keys->CompareRecord(SortBytes(group.front()), SortBytes(record)), 0);
    if (!out.empty()) {
      EXPECT_LT(keys->CompareRecord(SortBytes(out.back()), SortBytes(group.front())), 0);
    }
    out.insert(out.end(), group.begin(), group.end());
  }
  EXPECT_EQ(groups, 9);
  ExpectSorted(*keys, input, out);
  EXPECT_EQ(RunTables(), 0);
}

TEST_F(ServerSortRunsTest, RunsKeepSpecialFieldsDefaultsAndNullsByteForByte) {
  TnxDataDictionary special;
  TnxFieldsDescriptor& fields = special.FieldsDescriptor();
  fields.AddField(u"ID", u"", nxtAutoInc, 0, 0, false);
  fields.AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
  fields.AddField(u"Ref", u"", nxtRefNr, 0, 0, false);
  fields.AddField(u"InsertLSN", u"", nxtInt64, 0, 0, false)
      ->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo());
  fields.AddField(u"Stamp", u"", nxtGuid, 0, 0, false)->AddDefaultValue(&TnxAutoGuidDefaultValueDescriptor::ClassInfo());
  static_cast<TnxConstDefaultValueDescriptor*>(
      fields.AddField(u"Const", u"", nxtInt32, 0, 0, false)->AddDefaultValue())
      ->SetAsVariant(platform::TnxVariant::FromInteger(4711));
  fields.AddField(u"Must", u"", nxtInt32, 0, 0, true);
  fields.AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
  fields.AddField(u"Key", u"", nxtInt16, 0, 0, false);
  TnxIndexDescriptor* index = special.EnsureIndicesDescriptor()->AddIndex(u"ByKey", 0, idAll, u"",
                                                                           &TnxCompKeyDescriptor::ClassInfo());
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(u"Key");

  const auto length = static_cast<size_t>(fields.RecordLength());
  std::vector<std::string> input;
  for (int i = 0; i < 300; ++i) {
    std::string record(length, '\0');
    uint8_t* data = reinterpret_cast<uint8_t*>(record.data());
    fields.InitRecord(data);
    const uint32_t id = i % 3 == 0 ? 0 : 1000u + static_cast<uint32_t>(i);
    const uint32_t rev = static_cast<uint32_t>(i) * 7;
    const int64_t ref = int64_t{i} << 33;
    const int64_t lsn = i % 2 ? 0 : 99 + i;
    std::array<uint8_t, 16> guid{};
    guid[3] = static_cast<uint8_t>(i);
    const int16_t key = static_cast<int16_t>((i * 37) % 11);
    const int64_t blob = i % 5 ? 0 : 123456 + i;
    fields.SetRecordField(0, data, &id);
    fields.SetRecordField(1, data, &rev);
    fields.SetRecordField(2, data, &ref);
    fields.SetRecordField(3, data, &lsn);
    if (i % 4) fields.SetRecordField(4, data, guid.data());
    if (i % 2) fields.SetRecordField(5, data, &id);  // else null, where a default would go
    if (i % 3) fields.SetRecordField(6, data, &id);  // else null in a required field
    if (blob) fields.SetRecordField(7, data, &blob);
    fields.SetRecordField(8, data, &key);
    input.push_back(record);
  }
  auto engine = Engine(special, *index, 2048);
  PutSortRecords(*engine, input);
  const auto out = GetSortRecords(*engine);
  EXPECT_GT(engine->RunsWritten(), 5u);
  ExpectSorted(*TnxBaseKeyEngine::CreateFor(*index->KeyDescriptor()), input, out);
}

TEST_F(ServerSortRunsTest, TheDeadlineInAMergeFreesEveryRun) {
  testing::TFakeDeadlineClock clock;
  TnxIndexDescriptor* index = AddSortIndex(*dict, u"ByInt32", {{nxtInt32, false}});
  const auto input = SortRecords(*dict, 5000, 100000, 5);
  auto engine = Engine(*dict, *index, 65536);
  const uint32_t capacity = engine->MaxRecCount();
  ASSERT_LT(10 * capacity, input.size());
  nxSetTimeout(600000, true);
  PutSortRecords(*engine, input);
  ASSERT_GT(RunTables(), 5);
  // The clock passes the deadline when the first merge's output is made.
  TRunHook::TimeOutAt = TRunHook::Made + 2;
  EXPECT_EQ(ErrorCodeOf([&] { engine->Get(nullptr); }), nxeTimeout);
  EXPECT_EQ(TRunHook::Made, TRunHook::TimeOutAt);
  EXPECT_EQ(RunTables(), 0);
  EXPECT_EQ(engine->Get(nullptr), nxeTimeout);
  EXPECT_EQ(RunTables(), 0);
}

TEST_F(ServerSortRunsTest, AFailedRunInsertFreesEveryRun) {
  TnxIndexDescriptor* index = AddSortIndex(*dict, u"ByInt32", {{nxtInt32, false}});
  const auto input = SortRecords(*dict, 400, 10, 5);
  {
    // While putting: the third run refuses, the two before it go too.
    TRunHook::RefuseAt = 3;
    auto engine = Engine(*dict, *index, 4096);
    uint32_t result = 0;
    size_t put = 0;
    for (; put < input.size() && result == 0; ++put) result = engine->Put(SortBytes(input[put]));
    EXPECT_EQ(result, nxeKeyViolation) << testing::LastMessage();
    EXPECT_EQ(TRunHook::Made, 3);
    EXPECT_EQ(RunTables(), 0);
    EXPECT_EQ(engine->Get(nullptr), nxeKeyViolation);
  }
  {
    // The first merge's output refuses: raised, and nothing stays behind.
    TRunHook::Made = 0;
    TRunHook::RefuseAt = 0;
    auto engine = Engine(*dict, *index, 4096);
    PutSortRecords(*engine, input);
    ASSERT_GT(TRunHook::Made, 5);
    TRunHook::RefuseAt = TRunHook::Made + 2;
    EXPECT_EQ(ErrorCodeOf([&] { engine->Get(nullptr); }), nxeKeyViolation);
    EXPECT_EQ(RunTables(), 0);
  }
}

TEST_F(ServerSortRunsTest, RunsInsideTheCallersTransactionLeaveItUsable) {
  // Run writes inside the caller's transaction go in levels of their own:
  // a run that fails is undone alone and the caller's transaction still
  // commits; a sort that succeeds leaves the caller's level as it was.
  TnxIndexDescriptor* index = AddSortIndex(*dict, u"ByInt32", {{nxtInt32, false}});
  auto keys = TnxBaseKeyEngine::CreateFor(*index->KeyDescriptor());
  const auto input = SortRecords(*dict, 400, 10, 5);
  for (const int refuseAt : {0, 3}) {
    SCOPED_TRACE(refuseAt);
    TRunHook::Made = 0;
    TRunHook::RefuseAt = refuseAt;
    ASSERT_EQ(db->TransactionStart(false, false), 0u);
    int32_t before = -1;
    ASSERT_EQ(db->TransactionGetLevel(before), 0u);
    {
      auto engine = Engine(*dict, *index, 4096);
      uint32_t result = 0;
      for (size_t put = 0; put < input.size() && result == 0; ++put) result = engine->Put(SortBytes(input[put]));
      if (refuseAt != 0) {
        EXPECT_EQ(result, nxeKeyViolation);
      } else {
        ASSERT_EQ(result, 0u);
        ExpectSorted(*keys, input, GetSortRecords(*engine));
      }
    }
    int32_t after = -1;
    ASSERT_EQ(db->TransactionGetLevel(after), 0u);
    EXPECT_EQ(after, before);
    EXPECT_EQ(db->TransactionCommit(), 0u) << testing::LastMessage();
    // The transaction held the freed run tables to its end.
    EXPECT_EQ(RunTables(), 0);
  }
}

TEST_F(ServerSortRunsTest, KeysLongerThanASlotMergeByTheRecords) {
  // A key that does not fit beside its slot is not built ahead: the buffer
  // and the merges compare the records themselves.
  TnxDataDictionary small;
  small.FieldsDescriptor().AddField(u"Seq", u"", nxtInt32, 0, 0, false);
  small.FieldsDescriptor().AddField(testing::SortFieldName(nxtShortString), u"", nxtShortString, 8, 0, false);
  small.FieldsDescriptor().AddField(testing::SortFieldName(nxtWideString), u"", nxtWideString, 8, 0, false);
  TnxIndexDescriptor* index = AddSortIndex(small, u"Long", {{nxtWideString, true}, {nxtShortString, false}});
  auto* key = static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor());
  key->Add(u"Seq");
  key->Add(testing::SortFieldName(nxtWideString));
  auto keys = TnxBaseKeyEngine::CreateFor(*index->KeyDescriptor());
  auto engine = Engine(small, *index, 2048);
  ASSERT_GT(keys->KeyLength() + 4u, engine->RecLenBuf());
  const auto input = SortRecords(small, 1000, 9, 3);
  PutSortRecords(*engine, input);
  EXPECT_GT(engine->RunsWritten(), 5u);
  ExpectSorted(*keys, input, GetSortRecords(*engine));
  EXPECT_EQ(RunTables(), 0);
}

}  // namespace
}  // namespace revurov
