// The table cursor's positioning against a reference of sorted vectors:
// random key searches with every action, ranges, index switches, bookmarks,
// another cursor's position, record numbers, saved paths and filter
// positioning, each compared with the reference under the same range rules.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dictionary/filter_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_table_cursor.h"
#include "support/position_table.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

struct Side {
  bool Valid = false;
  std::vector<uint8_t> Key;
  int32_t FieldCount = 0;
  int32_t PartialLen = 0;
  bool Exclusive = false;
};

struct Place {
  TnxIndexPathPosition Position;
  TnxRefNr RefNr;
};

int32_t gFilterGrp = 0;
bool GrpMatches(void*, const uint8_t* aRecord) {
  int32_t grp = 0;
  std::memcpy(&grp, aRecord + 17, 4);
  return grp == gFilterGrp;
}

class PositionModelTest : public PositionTableFixture {
protected:
  void SetUp() override {
    BuildTable();
    const int records = LongTests() ? 10000 : 1000;
    std::mt19937 random(4138);
    Load(RandomRows(records, random));
    ASSERT_EQ(Fields().FieldDescriptor(2)->Offset(), 17);
    indexes_ = {IndexNo(u"ByID"), IndexNo(u"ByName"), IndexNo(u"ByGrpStamp"), -1};
    for (const auto& [row, refNr] : rows_) {
      byRef_.push_back(refNr);
      grpOf_[refNr] = row.Grp;
    }
    std::sort(byRef_.begin(), byRef_.end());
  }

  // The cursor's range answer for aKey, by the reference's own reading.
  int RangeOf(const TnxBaseKeyEngine& aKeys, const uint8_t* aKey) const {
    if (start_.Valid) {
      const int c = aKeys.CompareKey(start_.Key.data(), aKey, start_.FieldCount, start_.PartialLen);
      if (c > 0 || (c == 0 && start_.Exclusive)) return -1;
    }
    if (end_.Valid) {
      const int c = aKeys.CompareKey(end_.Key.data(), aKey, end_.FieldCount, end_.PartialLen);
      if (c < 0 || (c == 0 && end_.Exclusive)) return 1;
    }
    return 0;
  }
  // The index's entries inside the range, in order.
  std::vector<TnxRefNr> InRange(int32_t aIndex) {
    std::vector<TnxRefNr> refs;
    if (aIndex < 0) return byRef_;
    const TnxBaseKeyEngine& keys = Index(aIndex).KeyEngine();
    for (const Entry& e : Model(aIndex))
      if (RangeOf(keys, e.Key.data()) == 0) refs.push_back(e.RefNr);
    return refs;
  }
  const Entry* EntryOf(int32_t aIndex, TnxRefNr aRefNr) {
    for (const Entry& e : Model(aIndex))
      if (e.RefNr == aRefNr) return &e;
    return nullptr;
  }
  // Where a path standing on aRefNr's key ends after the range check.
  Place Corrected(int32_t aIndex, TnxRefNr aRefNr, TnxIndexPathPosition aPosition) {
    if (aIndex < 0) return {aPosition, aRefNr};
    const int range = RangeOf(Index(aIndex).KeyEngine(), EntryOf(aIndex, aRefNr)->Key.data());
    if (range < 0) return {ippBof, 0};
    if (range > 0) return {ippEof, 0};
    return {aPosition, aRefNr};
  }

  void ExpectAt(PositionCursor* aCursor, const Place& aPlace, const char* aWhat) {
    TnxBaseIndexPath* path = aCursor->IndexPath();
    ASSERT_EQ(int(path->Position), int(aPlace.Position)) << aWhat;
    if (aPlace.Position != ippBof && aPlace.Position != ippEof) {
      ASSERT_EQ(path->RefNr, aPlace.RefNr) << aWhat;
    }
  }

  PositionRow SearchRow(std::mt19937& aRandom) {
    if (aRandom() % 10 < 7) return rows_[aRandom() % rows_.size()].first;
    PositionRow row;
    row.ID = int32_t(aRandom() % 40000) - 5;
    if (aRandom() % 8) row.Name = RandomName(aRandom);
    row.Grp = int32_t(aRandom() % 12) - 1;
    row.Stamp = int32_t(aRandom() % 1100) - 550;
    return row;
  }
  // Field count and partial length that make sense for the index.
  void Span(int32_t aIndex, std::mt19937& aRandom, int32_t& aFieldCount, int32_t& aPartialLen) {
    aFieldCount = 0;
    aPartialLen = 0;
    if (aRandom() % 3 != 0) return;
    if (aIndex == indexes_[1]) aPartialLen = 1 + int32_t(aRandom() % 3);
    if (aIndex == indexes_[2]) aFieldCount = 1;
  }

  void StepSetToKey(PositionCursor* aCursor, int32_t aIndex, std::mt19937& aRandom) {
    const auto action = TnxSearchKeyAction(aRandom() % 11);
    PositionRow row = SearchRow(aRandom);
    int32_t fieldCount = 0, partialLen = 0;
    Span(aIndex, aRandom, fieldCount, partialLen);
    const bool direct = aRandom() % 2 == 0;
    std::vector<uint8_t> data = direct && aIndex >= 0 ? KeyOf(aIndex, row) : Record(row);
    const uint32_t result = aCursor->sbcSetToKey(action, fieldCount, partialLen, direct, data.data());
    if (aIndex < 0) {
      ASSERT_EQ(result, nxeNoAssociatedIndex);
      return;
    }
    const TnxBaseKeyEngine& keys = Index(aIndex).KeyEngine();
    const std::vector<uint8_t> search = KeyOf(aIndex, row);
    const std::vector<Entry>& entries = Model(aIndex);
    auto cmp = [&](const Entry& e) { return keys.CompareKey(search.data(), e.Key.data(), fieldCount, partialLen); };
    const bool backward = action == skaEqualLast || action == skaSmallerEqual || action == skaSmaller;
    const bool exact = action == skaEqualFirst || action == skaEqualLast;
    // Which entries the action may land on: relation, and first or last.
    auto fits = [&](const Entry& e) {
      const int c = cmp(e);
      switch (action) {
        case skaEqualFirst:
        case skaEqualLast:
        case skaAnyEqual: return c == 0;
        case skaGreaterEqual:
        case skaAnyGreaterEqual: return c <= 0;
        case skaGreater:
        case skaAnyGreater: return c < 0;
        case skaSmallerEqual:
        case skaAnySmallerEqual: return c >= 0;
        case skaSmaller:
        case skaAnySmaller: return c > 0;
      }
      return false;
    };
    const bool any = action >= skaAnyEqual;
    const Entry* target = nullptr;
    if (!any) {
      // EqualFirst and GreaterEqual: the first at or above; EqualLast: the
      // last at or below, found only when equal.
      if (action == skaEqualFirst) {
        for (const Entry& e : entries)
          if (cmp(e) <= 0) {
            target = cmp(e) == 0 ? &e : nullptr;
            break;
          }
      } else if (action == skaEqualLast) {
        for (auto it = entries.rbegin(); it != entries.rend(); ++it)
          if (cmp(*it) >= 0) {
            target = cmp(*it) == 0 ? &*it : nullptr;
            break;
          }
      } else if (!backward) {
        for (const Entry& e : entries)
          if (fits(e)) {
            target = &e;
            break;
          }
      } else {
        for (auto it = entries.rbegin(); it != entries.rend(); ++it)
          if (fits(*it)) {
            target = &*it;
            break;
          }
      }
      Place expected{backward ? ippBof : ippEof, 0};
      bool moved = target == nullptr;
      if (target) {
        expected = Corrected(aIndex, target->RefNr, backward ? ippOnCrackAfter : ippOnCrackBefore);
        moved = expected.Position == ippBof || expected.Position == ippEof;
      }
      ASSERT_EQ(result, exact && moved ? nxeRecordNotFound : 0u) << "action " << int(action);
      ExpectAt(aCursor, expected, "SetToKey");
      return;
    }
    ASSERT_EQ(result, 0u);
    const bool some = std::any_of(entries.begin(), entries.end(), fits);
    TnxBaseIndexPath* path = aCursor->IndexPath();
    if (path->Position == ippBof || path->Position == ippEof) {
      // Nothing fits, or what was found lies outside the range.
      bool outside = false;
      for (const Entry& e : entries)
        if (fits(e) && RangeOf(keys, e.Key.data()) != 0) outside = true;
      ASSERT_TRUE(!some || outside) << "action " << int(action);
      return;
    }
    const Entry* landed = EntryOf(aIndex, path->RefNr);
    ASSERT_NE(landed, nullptr);
    ASSERT_TRUE(fits(*landed)) << "action " << int(action);
    ASSERT_EQ(RangeOf(keys, landed->Key.data()), 0);
    ASSERT_EQ(int(path->Position), int(ippOnCrackBefore));
  }

  void StepRangeSet(PositionCursor* aCursor, int32_t aIndex, std::mt19937& aRandom) {
    auto make = [&](Side& aSide, bool aGiven) -> std::vector<uint8_t> {
      aSide = Side{};
      if (!aGiven) return {};
      PositionRow row = SearchRow(aRandom);
      Span(aIndex, aRandom, aSide.FieldCount, aSide.PartialLen);
      aSide.Exclusive = aRandom() % 2 == 0;
      aSide.Valid = true;
      if (aIndex >= 0) aSide.Key = KeyOf(aIndex, row);
      return Record(row);
    };
    const int shape = int(aRandom() % 4);  // both, start only, end only, none
    Side start, end;
    std::vector<uint8_t> a = make(start, shape == 0 || shape == 1);
    std::vector<uint8_t> b = make(end, shape == 0 || shape == 2);
    const uint32_t result =
        aCursor->sbcRangeSet(start.FieldCount, start.PartialLen, false, a.empty() ? nullptr : a.data(),
                             !start.Exclusive, end.FieldCount, end.PartialLen, false, b.empty() ? nullptr : b.data(),
                             !end.Exclusive);
    if (aIndex < 0) {
      ASSERT_EQ(result, nxeNoAssociatedIndex);
      return;
    }
    ASSERT_EQ(result, 0u);
    start_ = start;
    end_ = end;
    ExpectAt(aCursor, {ippBof, 0}, "RangeSet");
  }

  void StepSwitch(PositionCursor* aCursor, int32_t& aIndex, std::mt19937& aRandom) {
    const int32_t next = indexes_[aRandom() % indexes_.size()];
    const auto mode = TnxPosnOnRec(aRandom() % 3);
    TnxBaseIndexPath* path = aCursor->IndexPath();
    const bool onRecord = path->IsOnKey();
    const TnxRefNr refNr = path->RefNr;
    const uint32_t result = aCursor->sbcSwitchToIndex(u"", next, mode);
    if (mode == porTrue && !onRecord) {
      ASSERT_EQ(result, nxeNoCurrentRecord);
      ASSERT_EQ(aCursor->IndexPath(), path);
      return;
    }
    ASSERT_EQ(result, 0u) << LastMessage();
    aIndex = next;
    start_ = Side{};
    end_ = Side{};
    ASSERT_FALSE(aCursor->RangeStart().riValid);
    ASSERT_FALSE(aCursor->RangeEnd().riValid);
    if (mode == porFalse || !onRecord)
      ExpectAt(aCursor, {ippBof, 0}, "switch");
    else
      ExpectAt(aCursor, {ippOnKey, refNr}, "switch on record");
  }

  void StepRecNo(PositionCursor* aCursor, int32_t aIndex, std::mt19937& aRandom) {
    const std::vector<TnxRefNr> refs = InRange(aIndex);
    const auto count = uint32_t(refs.size());
    const uint32_t recNo = 1 + uint32_t(aRandom() % (count + 2));
    const bool flip = aRandom() % 2 == 0;
    const uint32_t result = aCursor->sbcRecNoSet(recNo, flip);
    if (recNo > count) {
      ASSERT_NE(result, 0u);
      return;
    }
    ASSERT_EQ(result, 0u) << LastMessage();
    const TnxRefNr expected = flip ? refs[count - recNo] : refs[recNo - 1];
    ASSERT_EQ(aCursor->IndexPath()->RefNr, expected);
    uint32_t back = 0;
    ASSERT_EQ(aCursor->sbcRecNoGet(back, flip), 0u);
    ASSERT_EQ(back, recNo);
    ASSERT_EQ(aCursor->sbcRecNoGet(back, !flip), 0u);
    ASSERT_EQ(back, count + 1 - recNo);
  }

  void StepBookmark(PositionCursor* aCursor, std::mt19937& aRandom) {
    uint32_t size = 0;
    ASSERT_EQ(aCursor->sbcGetBookmarkSize(size), 0u);
    std::vector<uint8_t> bookmark(size);
    ASSERT_EQ(aCursor->sbcGetBookmark(bookmark.data(), size), 0u);
    const Place before{aCursor->IndexPath()->Position, aCursor->IndexPath()->RefNr};
    if (aRandom() % 2)
      aCursor->sbcSetToEnd();
    else
      aCursor->sbcSetToBegin();
    ASSERT_EQ(aCursor->sbcSetToBookmark(bookmark.data(), size, false), 0u);
    ExpectAt(aCursor, before, "bookmark");
  }

  void StepSaveRestore(PositionCursor* aCursor) {
    const Place before{aCursor->IndexPath()->Position, aCursor->IndexPath()->RefNr};
    ASSERT_EQ(aCursor->SavePath(), 0u);
    aCursor->sbcSetToEnd();
    ASSERT_EQ(aCursor->RestorePath(), 0u);
    ExpectAt(aCursor, before, "restore");
  }

  void StepSetToCursor(PositionCursor* aCursor, int32_t aIndex, PositionCursor* aOther, std::mt19937& aRandom) {
    const int32_t otherIndex = indexes_[aRandom() % indexes_.size()];
    ASSERT_EQ(aOther->sbcSwitchToIndex(u"", otherIndex, porFalse), 0u);
    const TnxRefNr refNr = rows_[aRandom() % rows_.size()].second;
    aOther->sacSetRefNr(refNr);
    ASSERT_EQ(aCursor->sbcSetToCursor(aOther), 0u) << LastMessage();
    // The same index takes the other path as it is, and that path, set on
    // a RefNr alone, has no key for a range check; another index builds
    // the key from the record.
    if (otherIndex == aIndex)
      ExpectAt(aCursor, {ippOnKey, refNr}, "SetToCursor");
    else
      ExpectAt(aCursor, Corrected(aIndex, refNr, ippOnKey), "SetToCursor");
  }

  void StepSetToFilter(PositionCursor* aCursor, int32_t aIndex, std::mt19937& aRandom) {
    gFilterGrp = int32_t(aRandom() % 11);
    const bool forward = aRandom() % 2 == 0;
    TnxCallbackFilterDescriptor descriptor(nullptr, &GrpMatches);
    auto filter = TnxBaseFilterEngine::CreateFor(descriptor, aCursor);
    filter->ActivateFilter(0);
    if (forward)
      aCursor->sbcSetToBegin();
    else
      aCursor->sbcSetToEnd();
    const uint32_t result = aCursor->sbcSetToFilter(filter.get(), nullptr, forward);
    std::vector<TnxRefNr> refs = InRange(aIndex);
    if (!forward) std::reverse(refs.begin(), refs.end());
    TnxRefNr expected = 0;
    for (TnxRefNr r : refs)
      if (grpOf_[r] == gFilterGrp) {
        expected = r;
        break;
      }
    if (expected == 0) {
      ASSERT_EQ(result, nxeNoCurrentRecord);
      return;
    }
    ASSERT_EQ(result, 0u) << LastMessage();
    ASSERT_EQ(aCursor->IndexPath()->RefNr, expected);
  }

  std::vector<int32_t> indexes_;
  std::vector<TnxRefNr> byRef_;
  std::map<TnxRefNr, int32_t> grpOf_;
  Side start_, end_;
};

TEST_F(PositionModelTest, RandomStepsMatchTheSortedReference) {
  const int steps = LongTests() ? 100000 : 3000;
  std::mt19937 random(10138);
  int32_t index = indexes_[0];
  PositionCursor* cursor = NewCursor(index);
  PositionCursor* other = NewCursor(index);
  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE(::testing::Message() << "step " << step << " index " << index);
    // The workers run without a frame: a framed call renews the thread's
    // deadline, which walks check.
    int32_t current = 0;
    ASSERT_EQ(cursor->GetIndexID(current), 0u);
    switch (random() % 16) {
      case 0:
      case 1:
      case 2:
      case 3:
      case 4: StepSetToKey(cursor, index, random); break;
      case 5:
      case 6: StepRangeSet(cursor, index, random); break;
      case 7:
        cursor->sbcRangeReset();
        start_ = Side{};
        end_ = Side{};
        break;
      case 8: StepSwitch(cursor, index, random); break;
      case 9:
      case 10: StepRecNo(cursor, index, random); break;
      case 11: StepBookmark(cursor, random); break;
      case 12: StepSaveRestore(cursor); break;
      case 13: StepSetToCursor(cursor, index, other, random); break;
      case 14: StepSetToFilter(cursor, index, random); break;
      case 15: cursor->sacSetRefNr(rows_[random() % rows_.size()].second); break;
    }
    if (HasFatalFailure()) return;
    ASSERT_EQ(cursor->lockDepth, 0);
  }
}

}  // namespace
}  // namespace revurov::testing
