// The table cursor's positioning: index switch, key search, ranges,
// bookmarks, record numbers, another cursor's position, filter
// positioning, saved positions and keys.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <vector>

#include "dictionary/filter_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/variant.h"
#include "server/server_table_cursor.h"
#include "support/position_table.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

class TablePositionTest : public PositionTableFixture {
public:
  using PositionTableFixture::cursors_;
  using TableOpsFixture::Build;
  using TableOpsFixture::db;
  using TableOpsFixture::Path;
  using ServerFixture::Open;
  using PositionTableFixture::Index;
  using PositionTableFixture::NewCursor;

  void SetUp() override {
    BuildTable();
    std::mt19937 random(92);
    Load(RandomRows(300, random));
    byID = IndexNo(u"ByID");
    byName = IndexNo(u"ByName");
    byGrp = IndexNo(u"ByGrpStamp");
  }

  std::vector<uint8_t> IDKey(int32_t aID) { return KeyOf(byID, PositionRow{aID, {}, 0, 0}); }
  // Rows by ID order: the i-th smallest ID.
  TnxRefNr RefOfID(int32_t aID) {
    for (const auto& [row, refNr] : rows_)
      if (row.ID == aID) return refNr;
    return 0;
  }
  // The path on the crack before the row with aID, its key valid.
  void FindRow(PositionCursor* aCursor, int32_t aID) {
    for (const auto& [row, refNr] : rows_) {
      if (row.ID != aID) continue;
      int32_t id = -1;
      aCursor->sbcGetIndexID(id);
      auto key = KeyOf(id, row);
      // Duplicates: the row's own RefNr decides among equal keys.
      ASSERT_EQ(aCursor->sbcSetToKey(skaEqualFirst, 0, 0, true, key.data()), 0u);
      ASSERT_TRUE(aCursor->IndexPath()->KeyValid);
      return;
    }
    FAIL() << "no row " << aID;
  }
  // The path on the key of the row with aID.
  void StandOn(PositionCursor* aCursor, int32_t aID) {
    aCursor->sacSetRefNr(RefOfID(aID));
    ASSERT_TRUE(aCursor->IndexPath()->IsOnKey());
  }

  int32_t byID = -1, byName = -1, byGrp = -1;
};

// ---- edge cases ----

TEST_F(TablePositionTest, EdgeCases) {
  struct Row {
    const char* Name;
    std::function<uint32_t(TablePositionTest&, PositionCursor*)> Act;
    uint32_t Expected;
    std::function<void(TablePositionTest&, PositionCursor*)> Check;
  };
  const Row rows[] = {
      {"porTry at BOF switches and stays at BOF",
       [](TablePositionTest& t, PositionCursor* c) { return c->sbcSwitchToIndex(u"", t.byName, porTry); }, 0,
       [](TablePositionTest& t, PositionCursor* c) {
         EXPECT_EQ(c->IndexEngine(), &t.Index(t.byName));
         EXPECT_EQ(c->sbcGetPosition(), ippBof);
       }},
      {"porTrue without a record keeps the old index and range",
       [](TablePositionTest& t, PositionCursor* c) {
         auto low = t.IDKey(10);
         EXPECT_EQ(c->sbcRangeSet(0, 0, true, low.data(), true, 0, 0, false, nullptr, true), 0u);
         return c->sbcSwitchToIndex(u"", t.byName, porTrue);
       },
       nxeNoCurrentRecord,
       [](TablePositionTest& t, PositionCursor* c) {
         EXPECT_EQ(c->IndexEngine(), &t.Index(t.byID));
         EXPECT_TRUE(c->RangeStart().riValid);
       }},
      {"a key beyond the range end goes to EOF and is not found",
       [](TablePositionTest& t, PositionCursor* c) {
         auto high = t.IDKey(100);
         EXPECT_EQ(c->sbcRangeSet(0, 0, false, nullptr, true, 0, 0, true, high.data(), true), 0u);
         auto key = t.IDKey(103);
         return c->sbcSetToKey(skaEqualFirst, 0, 0, true, key.data());
       },
       nxeRecordNotFound, [](TablePositionTest&, PositionCursor* c) { EXPECT_EQ(c->sbcGetPosition(), ippEof); }},
      {"a range with only an end key leaves the start open",
       [](TablePositionTest& t, PositionCursor* c) {
         auto high = t.IDKey(100);
         return c->sbcRangeSet(0, 0, false, nullptr, true, 0, 0, true, high.data(), false);
       },
       0,
       [](TablePositionTest&, PositionCursor* c) {
         EXPECT_FALSE(c->RangeStart().riValid);
         EXPECT_TRUE(c->RangeEnd().riValid);
         EXPECT_TRUE(c->RangeEnd().riExclusive);
       }},
      {"a failing end side invalidates both sides",
       [](TablePositionTest& t, PositionCursor* c) {
         auto key = t.IDKey(10);
         return c->sbcRangeSet(0, 0, true, key.data(), true, 5, 0, true, key.data(), true);
       },
       nxeInvalidParameter,
       [](TablePositionTest&, PositionCursor* c) {
         EXPECT_FALSE(c->RangeStart().riValid);
         EXPECT_FALSE(c->RangeEnd().riValid);
       }},
      {"RestorePath without a saved path", [](TablePositionTest&, PositionCursor* c) { return c->RestorePath(); },
       nxeNoCurrentRecord, nullptr},
      {"another session's cursor",
       [](TablePositionTest& t, PositionCursor* c) {
         TnxServerSession* other = t.Open();
         TnxAbstractDatabase* database = nullptr;
         EXPECT_EQ(other->DatabaseOpen(database, u"Path", t.Path(), nullptr, omReadWrite, smShared, 10000), 0u);
         PositionCursor* foreign = t.NewCursor(-1, static_cast<TnxServerDatabase*>(database));
         return c->sbcSetToCursor(foreign);
       },
       nxeDifferentSessions, nullptr},
      {"a cursor of another table",
       [](TablePositionTest& t, PositionCursor* c) {
         EXPECT_EQ(t.Build(u"Other", u"A", 2), 0u);
         TnxAbstractCursor* other = nullptr;
         EXPECT_EQ(t.db->CursorOpen(other, u"Other", u"", omReadOnly, smShared, 10000, u"", -1, false, 0, 500,
                                    nullptr),
                   0u);
         t.cursors_.push_back(static_cast<TnxServerTableCursor*>(other));
         return c->sbcSetToCursor(other);
       },
       nxeDifferentTable, nullptr},
      {"no cursor", [](TablePositionTest&, PositionCursor* c) { return c->sbcSetToCursor(nullptr); },
       nxeInvalidHandle, nullptr},
      {"a cursor on another index stands on the same record",
       [](TablePositionTest& t, PositionCursor* c) {
         PositionCursor* other = t.NewCursor(t.byName);
         t.StandOn(other, 301);
         return c->sbcSetToCursor(other);
       },
       0,
       [](TablePositionTest& t, PositionCursor* c) {
         EXPECT_EQ(c->IndexPath()->RefNr, t.RefOfID(301));
         EXPECT_TRUE(c->IndexPath()->IsOnKey());
       }},
      {"index id without index",
       [](TablePositionTest&, PositionCursor* c) {
         EXPECT_EQ(c->sbcSwitchToIndex(u"", -1, porFalse), 0u);
         int32_t id = 7;
         EXPECT_EQ(c->sbcGetIndexID(id), 0u);
         EXPECT_EQ(id, -1);
         uint32_t size = 0;
         EXPECT_EQ(c->sbcGetBookmarkSize(size), 0u);
         EXPECT_EQ(size, 24u);
         return 0u;
       },
       0, nullptr},
      {"a name that is no index",
       [](TablePositionTest&, PositionCursor* c) { return c->sbcSwitchToIndex(u"Nope", 0, porFalse); },
       nxeIndexDoesNotExist, nullptr},
      {"a number beyond the indices",
       [](TablePositionTest&, PositionCursor* c) { return c->sbcSwitchToIndex(u"", 99, porFalse); },
       nxeIndexDoesNotExist, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    PositionCursor* cursor = NewCursor(byID);
    EXPECT_EQ(row.Act(*this, cursor), row.Expected) << LastMessage();
    if (row.Check) row.Check(*this, cursor);
    EXPECT_EQ(cursor->lockDepth, 0);
  }
}

TEST_F(TablePositionTest, OperationsThatNeedAnIndexAnswer10764WithoutOne) {
  PositionCursor* cursor = NewCursor(byID);
  ASSERT_EQ(cursor->sbcSwitchToIndex(u"", -1, porFalse), 0u);
  std::vector<uint8_t> buffer(256);
  auto* key = reinterpret_cast<PnxKeyBuffer>(buffer.data());
  TValueRelationship relation = 5;
  EXPECT_EQ(cursor->sbcSetToKey(skaEqualFirst, 0, 0, true, buffer.data()), nxeNoAssociatedIndex);
  EXPECT_EQ(cursor->sbcRangeSet(0, 0, true, buffer.data(), true, 0, 0, true, buffer.data(), true),
            nxeNoAssociatedIndex);
  EXPECT_EQ(cursor->sbcCompareKeys(0, 0, true, buffer.data(), true, buffer.data(), relation), nxeNoAssociatedIndex);
  EXPECT_EQ(relation, 0);
  EXPECT_EQ(cursor->BuildKey(buffer.data(), key, true), nxeNoAssociatedIndex);
  EXPECT_EQ(cursor->KeyToRecord(key, buffer.data()), nxeNoAssociatedIndex);
  EXPECT_EQ(cursor->lockDepth, 0);
}

TEST_F(TablePositionTest, FieldCountsAndPartialLengthsFromClientsAreChecked) {
  struct Row {
    int32_t FieldCount;
    int32_t PartialLen;
    uint32_t Expected;
  };
  // The composite key has two fields.
  const Row rows[] = {{0, 0, 0},  {1, 0, 0},  {2, 0, 0},  {3, 0, nxeInvalidParameter}, {-1, 0, nxeInvalidParameter},
                      {0, 2, 0},  {1, 3, 0},  {0, -1, nxeInvalidParameter}, {INT32_MAX, 0, nxeInvalidParameter},
                      {0, INT32_MIN, nxeInvalidParameter}};
  PositionCursor* cursor = NewCursor(byGrp);
  auto key = KeyOf(byGrp, PositionRow{0, {}, 4, 0});
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.FieldCount << "/" << row.PartialLen);
    const uint32_t search = cursor->sbcSetToKey(skaGreaterEqual, row.FieldCount, row.PartialLen, true, key.data());
    EXPECT_EQ(search, row.Expected);
    EXPECT_EQ(cursor->sbcRangeSet(row.FieldCount, row.PartialLen, true, key.data(), true, 0, 0, false, nullptr,
                                  true),
              row.Expected);
    TValueRelationship relation = 7;
    EXPECT_EQ(cursor->sbcCompareKeys(row.FieldCount, row.PartialLen, true, key.data(), true, key.data(), relation),
              row.Expected);
    EXPECT_EQ(relation, 0);
  }
  EXPECT_EQ(cursor->lockDepth, 0);
}

// ---- content locks and failures ----

bool gRaiseInFilter = false;
bool RaisingKeyFilter(void*, const uint8_t*) {
  if (gRaiseInFilter) throw std::runtime_error("key filter failed");
  return true;
}

TEST_F(TablePositionTest, ContentLocksEndOnEveryPath) {
  PositionCursor* cursor = NewCursor(byID);
  auto key = IDKey(31);
  // Refused: the refusal is the answer and the path stays.
  cursor->lockRefusal = nxeRecordLocked;
  EXPECT_EQ(cursor->sbcSetToKey(skaEqualFirst, 0, 0, true, key.data()), nxeRecordLocked);
  EXPECT_EQ(cursor->sbcGetPosition(), ippBof);
  EXPECT_EQ(cursor->sbcSetToFilter(nullptr, nullptr, true), nxeRecordLocked);
  cursor->lockRefusal = 0;

  // The key engine's walk raising through the key filter.
  TnxKeyFilterID id = 0;
  ASSERT_EQ(cursor->KeyFilterAddCallback(nullptr, &RaisingKeyFilter, id), 0u);
  ASSERT_EQ(cursor->KeyFilterActivate(id), 0u);
  gRaiseInFilter = true;
  EXPECT_THROW(cursor->sbcSetToKey(skaGreaterEqual, 0, 0, true, key.data()), std::runtime_error);
  EXPECT_EQ(cursor->lockDepth, 0);
  EXPECT_NE(cursor->sbcSetToFilter(nullptr, nullptr, true), 0u);
  EXPECT_EQ(cursor->lockDepth, 0);
  gRaiseInFilter = false;

  // Found, not found, each action: every lock taken was ended.
  for (int action = skaEqualFirst; action <= skaAnySmaller; ++action) {
    for (int32_t id2 : {31, 32, 0, 10000}) {
      auto probe = IDKey(id2);
      cursor->sbcSetToKey(TnxSearchKeyAction(action), 0, 0, true, probe.data());
      EXPECT_EQ(cursor->lockDepth, 0);
    }
  }
  EXPECT_GT(cursor->locksTaken, 40);
}

TEST_F(TablePositionTest, AFailedSwitchKeepsIndexPathAndRange) {
  PositionCursor* cursor = NewCursor(byID);
  auto low = IDKey(100);
  ASSERT_EQ(cursor->sbcRangeSet(0, 0, true, low.data(), false, 0, 0, false, nullptr, true), 0u);
  StandOn(cursor, 301);
  TnxBaseIndexPath* path = cursor->IndexPath();
  ASSERT_EQ(cursor->SavePath(), 0u);
  cursor->lockRefusal = nxeRecordLocked;
  EXPECT_EQ(cursor->sbcSwitchToIndex(u"ByName", 0, porTrue), nxeRecordLocked);
  EXPECT_EQ(cursor->IndexEngine(), &Index(byID));
  EXPECT_EQ(cursor->IndexPath(), path);
  EXPECT_EQ(path->RefNr, RefOfID(301));
  EXPECT_TRUE(cursor->RangeStart().riValid);
  EXPECT_TRUE(cursor->RangeStart().riExclusive);
  EXPECT_NE(cursor->SavedPath(), nullptr);

  // Succeeding: the new index, the same record, both sides open.
  cursor->lockRefusal = 0;
  EXPECT_EQ(cursor->sbcSwitchToIndex(u"ByName", 0, porTrue), 0u) << LastMessage();
  EXPECT_EQ(cursor->IndexEngine(), &Index(byName));
  EXPECT_EQ(cursor->IndexPath()->RefNr, RefOfID(301));
  EXPECT_TRUE(cursor->IndexPath()->IsOnKey());
  EXPECT_FALSE(cursor->RangeStart().riValid);
  EXPECT_FALSE(cursor->RangeEnd().riValid);
  EXPECT_EQ(cursor->SavedPath(), nullptr);
  EXPECT_EQ(cursor->lockDepth, 0);
  // The range keys are the new key engine's: a name range works.
  auto name = KeyOf(byName, PositionRow{0, std::string("c"), 0, 0});
  EXPECT_EQ(cursor->sbcRangeSet(0, 0, true, name.data(), true, 0, 0, true, name.data(), true), 0u);
  EXPECT_EQ(cursor->stcCheckRange(name.data()), 0);
}

TEST_F(TablePositionTest, SavePathReusesThePathRestorePathSetAside) {
  PositionCursor* cursor = NewCursor(byID);
  StandOn(cursor, 31);
  ASSERT_EQ(cursor->SavePath(), 0u);
  TnxBaseIndexPath* saved = cursor->SavedPath();
  TnxBaseIndexPath* first = cursor->IndexPath();
  cursor->sbcSetToEnd();
  ASSERT_EQ(cursor->RestorePath(), 0u);
  EXPECT_EQ(cursor->IndexPath(), saved);
  EXPECT_EQ(cursor->IndexPath()->RefNr, RefOfID(31));
  EXPECT_EQ(cursor->TempPath(), first);
  EXPECT_EQ(cursor->SavedPath(), nullptr);
  StandOn(cursor, 64);
  ASSERT_EQ(cursor->SavePath(), 0u);
  EXPECT_EQ(cursor->SavedPath(), first);
  EXPECT_EQ(cursor->TempPath(), nullptr);
  EXPECT_EQ(cursor->SavedPath()->RefNr, RefOfID(64));
}

// ---- bookmarks and keys from clients ----

TEST_F(TablePositionTest, BookmarksAreCheckedByTheCallersSize) {
  PositionCursor* cursor = NewCursor(byID);
  FindRow(cursor, 31);
  uint32_t size = 0;
  ASSERT_EQ(cursor->sbcGetBookmarkSize(size), 0u);
  std::vector<uint8_t> good(size);
  ASSERT_EQ(cursor->sbcGetBookmark(good.data(), size), 0u);
  std::vector<uint8_t> small(size - 1);
  EXPECT_EQ(cursor->sbcGetBookmark(small.data(), size - 1), nxeInvalidParameter);

  struct Row {
    const char* Name;
    uint32_t Size;
    int Byte;  // -1: none changed
    uint32_t Expected;
  };
  const Row rows[] = {
      {"as made", size, -1, 0},
      {"one byte short", size - 1, -1, nxeBookmarkMismatch},
      {"header only", 24, -1, nxeBookmarkMismatch},
      {"shorter than the header", 10, -1, nxeBookmarkMismatch},
      {"empty", 0, -1, nxeBookmarkMismatch},
      {"longer buffer", size + 8, -1, 0},
      {"another index", size, 4, nxeBookmarkMismatch},
      {"a key byte changed", size, 25, nxeBookmarkMismatch},
      {"the hash changed", size, 0, nxeBookmarkMismatch},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    // Exactly the bytes the caller hands in: a read beyond is caught.
    std::vector<uint8_t> bookmark(row.Size);
    std::copy_n(good.begin(), std::min<size_t>(row.Size, good.size()), bookmark.begin());
    if (row.Byte >= 0) bookmark[size_t(row.Byte)] ^= 0x5A;
    cursor->sbcSetToBegin();
    EXPECT_EQ(cursor->sbcSetToBookmark(row.Size ? bookmark.data() : nullptr, row.Size, false), row.Expected);
    EXPECT_EQ(cursor->sbcGetPosition(), row.Expected == 0 ? ippOnCrackBefore : ippBof);
    TValueRelationship relation = 9;
    EXPECT_EQ(cursor->sbcCompareBookmarks(row.Size ? bookmark.data() : nullptr, row.Size ? bookmark.data() : nullptr,
                                          row.Size, relation),
              row.Expected);
    EXPECT_EQ(relation, 0);
    platform::TnxVariant variant = platform::TnxVariant::FromInt64(5);
    EXPECT_EQ(cursor->sbcBookmarkAsVariant(row.Size ? bookmark.data() : nullptr, row.Size, variant), row.Expected);
  }
}

TEST_F(TablePositionTest, ABookmarkOutsideTheRangeLandsAtTheRangeEdge) {
  PositionCursor* cursor = NewCursor(byID);
  FindRow(cursor, 301);
  uint32_t size = 0;
  cursor->sbcGetBookmarkSize(size);
  std::vector<uint8_t> bookmark(size);
  ASSERT_EQ(cursor->sbcGetBookmark(bookmark.data(), size), 0u);
  auto high = IDKey(100);
  ASSERT_EQ(cursor->sbcRangeSet(0, 0, false, nullptr, true, 0, 0, true, high.data(), true), 0u);
  EXPECT_EQ(cursor->sbcSetToBookmark(bookmark.data(), size, false), 0u);
  EXPECT_EQ(cursor->sbcGetPosition(), ippEof);
}

TEST_F(TablePositionTest, MutatedBookmarksAndKeysGiveOnlyResultCodes) {
  const int rounds = LongTests() ? 100000 : 4000;
  std::mt19937 random(1092);
  PositionCursor* cursors[] = {NewCursor(byID), NewCursor(byName), NewCursor(byGrp)};
  std::vector<std::vector<uint8_t>> bookmarks;
  for (PositionCursor* cursor : cursors) {
    FindRow(cursor, 31);
    uint32_t size = 0;
    cursor->sbcGetBookmarkSize(size);
    std::vector<uint8_t> bookmark(size);
    ASSERT_EQ(cursor->sbcGetBookmark(bookmark.data(), size), 0u);
    bookmarks.push_back(bookmark);
  }
  auto mutate = [&](std::vector<uint8_t>& aBytes) {
    const int changes = 1 + int(random() % 4);
    for (int i = 0; i < changes && !aBytes.empty(); ++i) aBytes[random() % aBytes.size()] = uint8_t(random());
  };
  for (int round = 0; round < rounds; ++round) {
    const size_t which = random() % 3;
    PositionCursor* cursor = cursors[which];
    const TnxBaseKeyEngine& keys = cursor->IndexEngine()->KeyEngine();
    // A bookmark: mutated bytes, any size up to a little more.
    std::vector<uint8_t> bookmark = bookmarks[which];
    mutate(bookmark);
    bookmark.resize(random() % (bookmark.size() + 9));
    void* data = bookmark.empty() ? nullptr : bookmark.data();
    const auto size = uint32_t(bookmark.size());
    const uint32_t set = cursor->sbcSetToBookmark(data, size, random() % 2 == 0);
    EXPECT_TRUE(set == 0 || set == nxeBookmarkMismatch) << set;
    TValueRelationship relation = 0;
    const uint32_t compared = cursor->sbcCompareBookmarks(data, bookmarks[which].data(), size, relation);
    EXPECT_TRUE(compared == 0 || compared == nxeBookmarkMismatch || compared == nxeCapabilityNotSupported)
        << compared;
    platform::TnxVariant variant;
    const uint32_t asVariant = cursor->sbcBookmarkAsVariant(data, size, variant);
    EXPECT_TRUE(asVariant == 0 || asVariant == nxeBookmarkMismatch) << asVariant;

    // A key of random bytes with random counts.
    std::vector<uint8_t> key(keys.KeyLength());
    for (uint8_t& b : key) b = uint8_t(random());
    const auto fieldCount = int32_t(random() % 6) - 2;
    const auto partialLen = int32_t(random() % 20) - 3;
    const auto action = TnxSearchKeyAction(random() % 12);
    const uint32_t search = cursor->sbcSetToKey(action, fieldCount, partialLen, true, key.data());
    EXPECT_TRUE(search == 0 || search == nxeRecordNotFound || search == nxeInvalidParameter) << search;
    const uint32_t range = cursor->sbcRangeSet(fieldCount, partialLen, true, key.data(), random() % 2 == 0,
                                               fieldCount, partialLen, true, key.data(), random() % 2 == 0);
    EXPECT_TRUE(range == 0 || range == nxeInvalidParameter) << range;
    const uint32_t compare =
        cursor->sbcCompareKeys(fieldCount, partialLen, true, key.data(), true, bookmarks[which].data() + 24, relation);
    EXPECT_TRUE(compare == 0 || compare == nxeInvalidParameter) << compare;
    cursor->sbcRangeReset();
    ASSERT_EQ(cursor->lockDepth, 0);
  }
}

// ---- record numbers, filters and keys ----

TEST_F(TablePositionTest, RecordNumbersWithoutIndexFollowTheRecordOrder) {
  PositionCursor* cursor = NewCursor(byID);
  ASSERT_EQ(cursor->sbcSwitchToIndex(u"", -1, porFalse), 0u);
  EXPECT_EQ(cursor->sbcRecNoSet(1, false), 0u) << LastMessage();
  EXPECT_EQ(cursor->IndexPath()->RefNr, rows_.front().second);
  EXPECT_EQ(cursor->sbcRecNoSet(1, true), 0u);
  EXPECT_EQ(cursor->IndexPath()->RefNr, rows_.back().second);
  uint32_t recNo = 0;
  EXPECT_EQ(cursor->sbcRecNoGet(recNo, false), 0u);
  EXPECT_EQ(recNo, uint32_t(rows_.size()));
  EXPECT_EQ(cursor->sbcRecNoSet(uint32_t(rows_.size()) + 1, false), nxeAtEndOfTable);
  EXPECT_EQ(cursor->sbcGetPosition(), ippEof);
}

bool gGrpIsThree(void*, const uint8_t* aRecord) {
  int32_t grp = 0;
  std::memcpy(&grp, aRecord + 17, 4);  // after ID (4) and Name (13)
  return grp == 3;
}

TEST_F(TablePositionTest, SetToFilterStopsOnTheFirstRecordThatPasses) {
  ASSERT_EQ(Fields().FieldDescriptor(2)->Offset(), 17);
  TnxCallbackFilterDescriptor descriptor(nullptr, &gGrpIsThree);
  for (int32_t index : {byID, int32_t(-1)}) {
    SCOPED_TRACE(index);
    PositionCursor* cursor = NewCursor(byID);
    ASSERT_EQ(cursor->sbcSwitchToIndex(u"", index, porFalse), 0u);
    auto filter = TnxBaseFilterEngine::CreateFor(descriptor, cursor);
    filter->ActivateFilter(0);
    // The expected record: the first with Grp 3 in the cursor's order.
    TnxRefNr expected = 0;
    if (index >= 0) {
      for (const auto& entry : Model(index))
        for (const auto& [row, refNr] : rows_)
          if (refNr == entry.RefNr && row.Grp == 3 && expected == 0) expected = refNr;
    } else {
      for (const auto& [row, refNr] : rows_)
        if (row.Grp == 3 && expected == 0) expected = refNr;
    }
    EXPECT_EQ(cursor->sbcSetToFilter(filter.get(), nullptr, true), 0u) << LastMessage();
    EXPECT_EQ(cursor->IndexPath()->RefNr, expected);
    EXPECT_EQ(cursor->lockDepth, 0);
  }
}

TEST_F(TablePositionTest, PublicOperationsRunUnderTheRealContentLock) {
  TnxServerTableCursor* cursor = holder_;
  auto key = IDKey(31);
  auto missing = IDKey(32);
  EXPECT_EQ(cursor->SetToKey(skaEqualFirst, 0, 0, true, key.data()), 0u) << LastMessage();
  EXPECT_EQ(cursor->IndexPath()->RefNr, RefOfID(31));
  EXPECT_EQ(cursor->SetToKey(skaEqualFirst, 0, 0, true, missing.data()), nxeRecordNotFound);
  EXPECT_EQ(cursor->sbcGetPosition(), ippEof);
  // A failed RangeSet leaves no range at all.
  EXPECT_EQ(cursor->RangeSet(0, 0, true, key.data(), true, 9, 0, true, key.data(), true), nxeInvalidParameter);
  EXPECT_FALSE(cursor->RangeStart().riValid);
  EXPECT_FALSE(cursor->RangeEnd().riValid);
  ASSERT_EQ(cursor->RangeSet(0, 0, true, key.data(), true, 0, 0, false, nullptr, true), 0u);
  EXPECT_EQ(cursor->RecNoSet(1, false), 0u) << LastMessage();
  EXPECT_EQ(cursor->IndexPath()->RefNr, RefOfID(31));
  uint32_t recNo = 0;
  EXPECT_EQ(cursor->RecNoGet(recNo, true), 0u);
  EXPECT_EQ(recNo, 290u);  // IDs 31 to 898
  uint32_t size = 0;
  ASSERT_EQ(cursor->sbcGetBookmarkSize(size), 0u);
  std::vector<uint8_t> bookmark(size);
  ASSERT_EQ(cursor->GetBookmark(bookmark.data(), size), 0u);
  EXPECT_EQ(cursor->SetToEnd(), 0u);
  EXPECT_EQ(cursor->SetToBookmark(bookmark.data(), size), 0u);
  EXPECT_EQ(cursor->IndexPath()->RefNr, RefOfID(31));
  EXPECT_EQ(cursor->SetToBookmark(bookmark.data(), size - 1), nxeBookmarkMismatch);
  EXPECT_EQ(cursor->SetToCursor(cursor), 0u);

  TnxCallbackFilterDescriptor grpThree(nullptr, &gGrpIsThree);
  int32_t expectedID = INT32_MAX;
  for (const auto& [row, refNr] : rows_)
    if (row.Grp == 3 && row.ID >= 31) expectedID = std::min(expectedID, row.ID);
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  EXPECT_EQ(cursor->SetToFilter(&grpThree, nullptr, true), 0u) << LastMessage();
  EXPECT_EQ(cursor->IndexPath()->RefNr, RefOfID(expectedID));
}

TEST_F(TablePositionTest, KeysBuildCompareAndGoBackToRecords) {
  PositionCursor* cursor = NewCursor(byGrp);
  std::vector<uint8_t> a = Record(PositionRow{1, std::string("ab"), 4, 10});
  std::vector<uint8_t> b = Record(PositionRow{2, std::string("ab"), 4, 20});
  TValueRelationship relation = 0;
  // Stamp descends: 10 comes after 20.
  EXPECT_EQ(cursor->sbcCompareKeys(0, 0, false, a.data(), false, b.data(), relation), 0u);
  EXPECT_EQ(relation, 1);
  EXPECT_EQ(cursor->sbcCompareKeys(1, 0, false, a.data(), false, b.data(), relation), 0u);
  EXPECT_EQ(relation, 0);
  std::vector<uint8_t> key(Index(byGrp).KeyEngine().KeyLength());
  EXPECT_EQ(cursor->BuildKey(a.data(), reinterpret_cast<PnxKeyBuffer>(key.data()), true), 0u);
  EXPECT_EQ(cursor->sbcCompareKeys(0, 0, true, key.data(), false, a.data(), relation), 0u);
  EXPECT_EQ(relation, 0);
  std::vector<uint8_t> back(a.size());
  Fields().InitRecord(back.data());
  EXPECT_EQ(cursor->KeyToRecord(reinterpret_cast<PnxKeyBuffer>(key.data()), back.data()), 0u);
  int32_t grp = 0, stamp = 0;
  bool isNull = true;
  Fields().GetRecordField(2, back.data(), isNull, &grp);
  Fields().GetRecordField(3, back.data(), isNull, &stamp);
  EXPECT_EQ(grp, 4);
  EXPECT_EQ(stamp, 10);
}

TEST_F(TablePositionTest, HasKeyFindsTheFirstField) {
  PositionCursor* cursor = NewCursor(byID);
  EXPECT_TRUE(cursor->sacHasKey(0, platform::TnxVariant::FromInteger(31)));
  EXPECT_EQ(cursor->IndexPath()->RefNr, RefOfID(31));
  EXPECT_FALSE(cursor->sacHasKey(0, platform::TnxVariant::FromInteger(32)));
  EXPECT_EQ(cursor->lockDepth, 0);
}

}  // namespace
}  // namespace revurov::testing
