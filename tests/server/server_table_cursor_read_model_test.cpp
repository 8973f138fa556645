// The table cursor's reads against a reference: sorted vectors of the
// indices' keys, the same range and the same filter predicates. Random
// steps read current, next and prior (with and without record locks), look
// keys up one by one and in batches, and read batches both ways through the
// cursor's own walk and through the base cursor's record-by-record read;
// every batch stream is compared byte for byte with one built by hand and
// walked by the batch stream access.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "dictionary/filter_engines.h"
#include "engine/batch_stream.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "support/position_table.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

using ReadCursor = LockCountingCursor;

struct Side {
  bool Valid = false;
  std::vector<uint8_t> Key;
  int32_t FieldCount = 0;
  bool Exclusive = false;
};

class ReadModelTest : public PositionTableFixture {
protected:
  void SetUp() override {
    BuildTable();
    std::mt19937 random(9413);
    Load(RandomRows(TestSize(800, 5000), random));
    indexes_ = {IndexNo(u"ByID"), IndexNo(u"ByName"), IndexNo(u"ByGrpStamp"), -1};
    for (size_t i = 0; i < rows_.size(); ++i) {
      byRef_.push_back(rows_[i].second);
      rowOfRef_[rows_[i].second] = i;
      rowOfId_[rows_[i].first.ID] = i;
    }
    std::sort(byRef_.begin(), byRef_.end());
    recordLength_ = size_t(Fields().RecordLength());
  }

  ReadCursor* NewReadCursor(int32_t aIndex) {
    // No deadline and no filter limit: the run's length is not the point.
    auto cursor = nxCreateServerObject<ReadCursor>(db, table_, 0u, omReadWrite, smShared, std::u16string_view(),
                                                   aIndex, false, false);
    cursor->SetFilterTimeout(0);
    cursors_.push_back(cursor.get());
    return cursor.release();
  }

  // ---- predicates ----
  static bool RecordPredicate(void* aCookie, const uint8_t* aRecord) {
    auto* self = static_cast<ReadModelTest*>(aCookie);
    int32_t id = 0;
    std::memcpy(&id, aRecord + self->Fields().FieldDescriptor(0)->Offset(), 4);
    return self->RowPasses(self->rows_[self->rowOfId_.at(id)].first);
  }
  bool RowPasses(const PositionRow& aRow) const { return (aRow.Grp + aRow.ID) % filterMod_ != 0; }
  static bool KeyPredicate(void* aCookie, const uint8_t* aKey) {
    auto* self = static_cast<ReadModelTest*>(aCookie);
    return self->KeyPasses(aKey);
  }
  bool KeyPasses(const uint8_t* aKey) const {
    uint32_t sum = 0;
    for (size_t i = 0; i < keyLength_; ++i) sum = sum * 31 + aKey[i];
    return sum % keyMod_ != 0;
  }

  // The records the cursor sees, in its order.
  std::vector<TnxRefNr> Visible() {
    std::vector<TnxRefNr> refs;
    if (index_ < 0) {
      for (TnxRefNr r : byRef_)
        if (!recordFilter_ || RowPasses(rows_[rowOfRef_[r]].first)) refs.push_back(r);
      return refs;
    }
    const TnxBaseKeyEngine& keys = Index(index_).KeyEngine();
    for (const Entry& e : Model(index_)) {
      if (start_.Valid) {
        const int c = keys.CompareKey(start_.Key.data(), e.Key.data(), start_.FieldCount, 0);
        if (c > 0 || (c == 0 && start_.Exclusive)) continue;
      }
      if (end_.Valid) {
        const int c = keys.CompareKey(end_.Key.data(), e.Key.data(), end_.FieldCount, 0);
        if (c < 0 || (c == 0 && end_.Exclusive)) continue;
      }
      if (keyFilter_ && !KeyPasses(e.Key.data())) continue;
      if (recordFilter_ && !RowPasses(rows_[rowOfRef_[e.RefNr]].first)) continue;
      refs.push_back(e.RefNr);
    }
    return refs;
  }
  const Entry& EntryOf(TnxRefNr aRefNr) {
    std::map<TnxRefNr, size_t>& places = entryAt_[index_];
    const std::vector<Entry>& entries = Model(index_);
    if (places.empty())
      for (size_t i = 0; i < entries.size(); ++i) places[entries[i].RefNr] = i;
    return entries[places.at(aRefNr)];
  }
  // Where aRefNr stands among the visible records.
  size_t VisibleAt(TnxRefNr aRefNr) {
    if (visibleAt_.empty())
      for (size_t i = 0; i < visible_.size(); ++i) visibleAt_[visible_[i]] = i;
    return visibleAt_.at(aRefNr);
  }
  void Refresh() {
    visible_ = Visible();
    visibleAt_.clear();
  }
  std::vector<uint8_t> RecordOf(TnxRefNr aRefNr) {
    std::vector<uint8_t> record = Record(rows_[rowOfRef_[aRefNr]].first);
    record.resize(recordLength_);
    return record;
  }

  // ---- the reference's position: BOF, EOF or on visible[pos_] ----
  enum Where { kBof, kEof, kOn };
  void ExpectRecord(const uint8_t* aData, TnxRefNr aRefNr, const char* aWhat) {
    ASSERT_EQ(std::vector<uint8_t>(aData, aData + recordLength_), RecordOf(aRefNr)) << aWhat;
  }

  void StepCurrent(std::mt19937& aRandom) {
    const auto lock = TnxLockType(aRandom() % 3);
    std::vector<uint8_t> data(recordLength_ + 8);
    const uint32_t result = cursor_->sbcRecordGet(lock, data.data());
    if (where_ == kOn) {
      ASSERT_EQ(result, 0u) << LastMessage();
      ExpectRecord(data.data(), visible_[pos_], "current");
    } else {
      ASSERT_EQ(result, where_ == kBof ? nxeAtBeginningOfTable : nxeAtEndOfTable);
    }
  }

  void StepMove(std::mt19937& aRandom, bool aBack) {
    const auto lock = TnxLockType(aRandom() % 3);
    std::vector<uint8_t> data(recordLength_ + 8);
    const bool withData = aRandom() % 5 != 0;
    const uint32_t result = aBack ? cursor_->sbcRecordGetPrior(lock, withData ? data.data() : nullptr)
                                  : cursor_->sbcRecordGetNext(lock, withData ? data.data() : nullptr);
    int next;
    if (where_ == kOn)
      next = int(pos_) + (aBack ? -1 : 1);
    else if (where_ == kBof)
      next = aBack ? -1 : 0;
    else
      next = aBack ? int(visible_.size()) - 1 : int(visible_.size());
    if (next < 0 || next >= int(visible_.size())) {
      ASSERT_EQ(result, aBack ? nxeAtBeginningOfTable : nxeAtEndOfTable) << LastMessage();
      where_ = aBack ? kBof : kEof;
      return;
    }
    ASSERT_EQ(result, 0u) << LastMessage();
    where_ = kOn;
    pos_ = size_t(next);
    if (withData) ExpectRecord(data.data(), visible_[pos_], aBack ? "prior" : "next");
  }

  void StepKey(std::mt19937& aRandom) {
    const PositionRow row = aRandom() % 4 ? rows_[aRandom() % rows_.size()].first : PositionRow{-7, "zz", 77, 7};
    std::vector<uint8_t> data(recordLength_ + 8);
    const bool matchFirst = aRandom() % 2 == 0;
    const bool direct = aRandom() % 2 == 0;
    if (index_ < 0) {
      std::vector<uint8_t> record = Record(row);
      ASSERT_EQ(cursor_->sbcRecordGetForKey(0, 0, false, record.data(), data.data(), matchFirst, true),
                nxeNoAssociatedIndex);
      return;
    }
    const std::vector<uint8_t> key = KeyOf(index_, row);
    std::vector<uint8_t> record = Record(row);
    const TnxBaseKeyEngine& keys = Index(index_).KeyEngine();
    // The visible records of the key: a run in index order.
    const auto first = std::partition_point(visible_.begin(), visible_.end(), [&](TnxRefNr r) {
      return keys.CompareKey(EntryOf(r).Key.data(), key.data(), 0, 0) < 0;
    });
    std::vector<size_t> same;
    for (auto it = first; it != visible_.end() && keys.CompareKey(key.data(), EntryOf(*it).Key.data(), 0, 0) == 0; ++it)
      same.push_back(size_t(it - visible_.begin()));
    if (!matchFirst) std::reverse(same.begin(), same.end());
    // First call, then later calls walk the records of the key.
    for (size_t call = 0; call <= same.size(); ++call) {
      const uint32_t result = cursor_->sbcRecordGetForKey(0, 0, direct, direct ? (void*)key.data() : record.data(),
                                                          data.data(), matchFirst, call == 0);
      if (call == same.size()) {
        ASSERT_EQ(result, nxeRecordNotFound);
        where_ = matchFirst ? kEof : kBof;
        return;
      }
      ASSERT_EQ(result, 0u) << LastMessage();
      ExpectRecord(data.data(), visible_[same[call]], "for key");
      where_ = kOn;
      pos_ = same[call];
      if (aRandom() % 3 == 0) return;
    }
  }

  // Keys present, filtered away and missing, in one batch.
  void StepKeyBatch(std::mt19937& aRandom) {
    const size_t count = 1 + aRandom() % 12;
    std::vector<std::vector<uint8_t>> buffers;
    TnxDataSetKeyBufferArray keys;
    std::vector<PositionRow> wanted;
    for (size_t i = 0; i < count; ++i) {
      PositionRow row = aRandom() % 3 ? rows_[aRandom() % rows_.size()].first : PositionRow{-3 - int(i), "zz", 99, 1};
      wanted.push_back(row);
      std::vector<uint8_t> buffer(nxDataSetKeyBufferHeader);
      TnxDataSetKeyBuffer header;
      header.kbDirectKey = aRandom() % 2 == 0;
      std::memcpy(buffer.data(), &header, sizeof header);
      std::vector<uint8_t> data = header.kbDirectKey && index_ >= 0 ? KeyOf(index_, row) : Record(row);
      buffer.insert(buffer.end(), data.begin(), data.end());
      buffers.push_back(std::move(buffer));
    }
    for (auto& b : buffers) keys.push_back(reinterpret_cast<PnxKeyBuffer>(b.data()));
    TnxBatchStreamAccess* access = nullptr;
    const uint32_t result = cursor_->sbcRecordGetForKeyBatch(-1, 0, access, keys, true, true);
    std::unique_ptr<TnxBatchStreamAccess> owned(access);
    if (index_ < 0) {
      ASSERT_EQ(result, nxeNoAssociatedIndex);
      return;
    }
    ASSERT_EQ(result, 0u) << LastMessage();
    std::vector<uint8_t> expected(8);
    platform::StoreU32(expected.data(), nxeAtEndOfTable);
    platform::StoreU32(expected.data() + 4, uint32_t(count));
    const TnxBaseKeyEngine& keyEngine = Index(index_).KeyEngine();
    for (const PositionRow& row : wanted) {
      const std::vector<uint8_t> key = KeyOf(index_, row);
      const auto first = std::partition_point(visible_.begin(), visible_.end(), [&](TnxRefNr r) {
        return keyEngine.CompareKey(EntryOf(r).Key.data(), key.data(), 0, 0) < 0;
      });
      const TnxRefNr* hit = first != visible_.end() && keyEngine.CompareKey(key.data(), EntryOf(*first).Key.data(), 0, 0) == 0
                                ? &*first
                                : nullptr;
      const size_t at = expected.size();
      if (hit) {
        expected.resize(at + 4);
        platform::StoreU32(expected.data() + at, uint32_t(recordLength_));
        const std::vector<uint8_t> record = RecordOf(*hit);
        expected.insert(expected.end(), record.begin(), record.end());
      } else {
        expected.resize(at + 8);
        platform::StoreU32(expected.data() + at, 0x80000004u);
        platform::StoreU32(expected.data() + at + 4, nxeRecordNotFound);
      }
    }
    const uint8_t* memory = access->Memory();
    ASSERT_EQ(std::vector<uint8_t>(memory, memory + access->Size()), expected);
    WalkAndCount(*access, int32_t(count));
    cursor_->sbcSetToBegin();
    where_ = kBof;
  }

  void WalkAndCount(TnxBatchStreamAccess& aAccess, int32_t aCount) {
    aAccess.Reset(false);
    TnxBatchStreamEntry entry;
    int32_t seen = 0;
    while (aAccess.Next(entry)) ++seen;
    EXPECT_EQ(aAccess.Error(), 0u);
    EXPECT_EQ(seen, aCount);
  }

  void StepBatch(std::mt19937& aRandom, bool aBase) {
    const bool forward = aRandom() % 2 == 0;
    const bool bookmarks = aRandom() % 3 == 0;
    const bool fromEdge = aRandom() % 4 == 0;
    TnxRecordGetBatchExOptions options = 0;
    if (bookmarks) options |= 1u << gboBookmarks;
    if (fromEdge) options |= 1u << gboSetToBeginOrEnd;
    uint32_t bookmarkSize = 0;
    cursor_->sbcGetBookmarkSize(bookmarkSize);
    const size_t entry = 4 + recordLength_ + (bookmarks ? bookmarkSize : 0);
    int32_t maxRecords = 0;
    switch (aRandom() % 4) {
      case 0: maxRecords = int32_t(aRandom() % 3) - 1; break;
      case 1: maxRecords = 1 + int32_t(aRandom() % 60); break;
      default: break;
    }
    int32_t cutoff = -1;
    switch (aRandom() % 5) {
      case 0: cutoff = int32_t(aRandom() % 20); break;
      case 1: cutoff = int32_t(8 + entry * (aRandom() % 40) + aRandom() % 3); break;
      case 2: cutoff = std::numeric_limits<int32_t>::max(); break;
      default: break;
    }
    // Which records follow, in the batch's direction.
    std::vector<TnxRefNr> ahead;
    Where from = where_;
    if (fromEdge) from = forward ? kBof : kEof;
    if (forward) {
      const size_t first = from == kBof ? 0 : from == kEof ? visible_.size() : pos_ + 1;
      for (size_t i = first; i < visible_.size(); ++i) ahead.push_back(visible_[i]);
    } else {
      const int first = from == kEof ? int(visible_.size()) - 1 : from == kBof ? -1 : int(pos_) - 1;
      for (int i = first; i >= 0; --i) ahead.push_back(visible_[size_t(i)]);
    }
    // How many records the limits allow: the cursor's walk always tries a
    // first record, the base read tests the limit before each.
    size_t limit = maxRecords < 1 ? SIZE_MAX : size_t(maxRecords);
    if (cutoff >= 0) {
      size_t n = aBase ? 0 : 1;
      while (8 + n * entry < size_t(cutoff)) ++n;
      limit = std::min(limit, n);
    }
    const size_t count = std::min(limit, ahead.size());
    const uint32_t status = ahead.size() < limit ? (forward ? nxeAtEndOfTable : nxeAtBeginningOfTable) : 0;

    TnxBatchStreamAccess* access = nullptr;
    if (aRandom() % 2) access = cursor_->CreateBatchStreamAccess(nullptr, options).release();
    const uint32_t result =
        aBase ? cursor_->TnxServerBaseCursor::sbcRecordGetBatch(cutoff, options, access, maxRecords, forward)
              : cursor_->sbcRecordGetBatch(cutoff, options, access, maxRecords, forward);
    std::unique_ptr<TnxBatchStreamAccess> owned(access);
    ASSERT_EQ(result, 0u) << LastMessage();
    ASSERT_TRUE(access);
    std::vector<uint8_t> expected(8);
    platform::StoreU32(expected.data(), status);
    platform::StoreU32(expected.data() + 4, uint32_t(count));
    const uint8_t* memory = access->Memory();
    // The base read leaves the size word of its failed attempt behind the
    // entries; readers go by the count.
    const bool trailer = aBase && status != 0;
    for (size_t i = 0; i < count; ++i) {
      const size_t at = expected.size();
      expected.resize(at + 4);
      platform::StoreU32(expected.data() + at, uint32_t(entry - 4));
      const std::vector<uint8_t> record = RecordOf(ahead[i]);
      expected.insert(expected.end(), record.begin(), record.end());
      // The bookmark is the cursor's; it is checked by going to it.
      if (bookmarks && at + entry <= access->Size())
        expected.insert(expected.end(), memory + at + 4 + recordLength_, memory + at + entry);
    }
    if (trailer) {
      expected.resize(expected.size() + 4);
      platform::StoreU32(expected.data() + expected.size() - 4, uint32_t(entry - 4));
    }
    ASSERT_EQ(std::vector<uint8_t>(memory, memory + access->Size()), expected)
        << (aBase ? "base" : "walk") << " forward " << forward << " cutoff " << cutoff << " max " << maxRecords;
    WalkAndCount(*access, int32_t(count));
    if (bookmarks && count > 0) {
      const size_t i = aRandom() % count;
      ReadCursor* other = Other();
      ASSERT_EQ(other->sbcSetToBookmark(const_cast<uint8_t*>(memory) + 8 + i * entry + 4 + recordLength_,
                                        bookmarkSize, false),
                0u)
          << LastMessage() << (aBase ? " base" : " walk") << " index " << index_ << " forward " << forward;
      std::vector<uint8_t> data(recordLength_ + 8);
      ASSERT_EQ(other->sbcRecordGet(nxltNoLock, data.data()), 0u) << LastMessage();
      ExpectRecord(data.data(), ahead[i], "bookmark");
    }
    if (status != 0) {
      where_ = forward ? kEof : kBof;
    } else if (count > 0) {
      where_ = kOn;
      pos_ = VisibleAt(ahead[count - 1]);
    } else {
      where_ = from;
    }
  }

  ReadCursor* Other() {
    if (!other_ || otherIndex_ != index_) {
      other_ = NewReadCursor(index_);
      otherIndex_ = index_;
      // -1 at creation means the default index.
      EXPECT_EQ(other_->sbcSwitchToIndex(u"", index_, porFalse), 0u);
    }
    // No range and no filters: the bookmark's record is read as it is.
    other_->FilterRemove(0);
    other_->KeyFilterRemove(0);
    return other_;
  }

  void StepCounts(std::mt19937& aRandom) {
    uint32_t count = 0;
    const bool estimate = aRandom() % 3 == 0;
    const size_t total = rows_.size();
    const bool filtered = keyFilter_ || recordFilter_;
    for (int option = rcoTotalRecordCount; option <= rcoClientFilteredKeyCount; ++option) {
      ASSERT_EQ(cursor_->sbcGetRecordCount(TnxRecordCountOption(option), count, estimate), 0u) << LastMessage();
      size_t want;
      if (option == rcoTotalRecordCount || index_ < 0)
        want = (option >= rcoServerFilteredKeyCount && filtered) ? visible_.size() : total;
      else if (option == rcoTotalKeyCount || (!start_.Valid && !end_.Valid && !filtered))
        want = total;
      else if (estimate) {
        EXPECT_LE(count, total);
        continue;
      } else if (option == rcoRangedKeyCount) {
        const bool k = keyFilter_, r = recordFilter_;
        keyFilter_ = recordFilter_ = false;
        want = Visible().size();
        keyFilter_ = k;
        recordFilter_ = r;
      } else {
        want = visible_.size();
      }
      ASSERT_EQ(count, want) << "option " << option << " estimate " << estimate;
    }
  }

  void StepSwitch(std::mt19937& aRandom) {
    index_ = indexes_[aRandom() % indexes_.size()];
    ASSERT_EQ(cursor_->sbcSwitchToIndex(u"", index_, porFalse), 0u) << LastMessage();
    keyLength_ = index_ >= 0 ? size_t(Index(index_).KeyEngine().KeyLength()) : 0;
    start_ = end_ = Side{};
    keyFilter_ = false;
    where_ = kBof;
  }

  void StepRange(std::mt19937& aRandom) {
    if (index_ < 0) return;
    auto side = [&](Side& aSide) {
      aSide = Side{};
      if (aRandom() % 3 == 0) return;
      aSide.Valid = true;
      aSide.Key = KeyOf(index_, rows_[aRandom() % rows_.size()].first);
      aSide.Exclusive = aRandom() % 2 == 0;
    };
    side(start_);
    side(end_);
    ASSERT_EQ(cursor_->sbcRangeSet(0, 0, true, start_.Valid ? start_.Key.data() : nullptr, !start_.Exclusive, 0, 0,
                                   true, end_.Valid ? end_.Key.data() : nullptr, !end_.Exclusive),
              0u)
        << LastMessage();
    where_ = kBof;
  }

  void StepFilters(std::mt19937& aRandom) {
    recordFilter_ = aRandom() % 2 == 0;
    keyFilter_ = index_ >= 0 && aRandom() % 2 == 0;
    filterMod_ = 2 + int32_t(aRandom() % 3);
    keyMod_ = 2 + uint32_t(aRandom() % 3);
    for (ReadCursor* c : {cursor_}) {
      c->FilterRemove(0);
      c->KeyFilterRemove(0);
      if (recordFilter_) {
        TnxCallbackFilterDescriptor descriptor(this, &RecordPredicate);
        TnxFilterID id = 0;
        ASSERT_EQ(c->FilterAddCustom(&descriptor, id, true), 0u) << LastMessage();
      }
      if (keyFilter_ && c->IndexEngine() == (index_ >= 0 ? &Index(index_) : nullptr)) {
        TnxCallbackFilterDescriptor descriptor(this, &KeyPredicate);
        TnxKeyFilterID id = 0;
        ASSERT_EQ(c->KeyFilterAddCustom(&descriptor, id), 0u) << LastMessage();
        ASSERT_EQ(c->KeyFilterActivate(id), 0u) << LastMessage();
      }
    }
    cursor_->sbcSetToBegin();
    where_ = kBof;
  }

  std::vector<int32_t> indexes_;
  std::vector<TnxRefNr> byRef_;
  std::map<TnxRefNr, size_t> rowOfRef_;
  std::map<int32_t, size_t> rowOfId_;
  size_t recordLength_ = 0;
  ReadCursor* cursor_ = nullptr;
  ReadCursor* other_ = nullptr;
  int32_t otherIndex_ = -2;
  int32_t index_ = -1;
  size_t keyLength_ = 0;
  Side start_, end_;
  bool recordFilter_ = false;
  bool keyFilter_ = false;
  int32_t filterMod_ = 2;
  uint32_t keyMod_ = 2;
  std::vector<TnxRefNr> visible_;
  std::map<TnxRefNr, size_t> visibleAt_;
  std::map<int32_t, std::map<TnxRefNr, size_t>> entryAt_;
  Where where_ = kBof;
  size_t pos_ = 0;
};

TEST_F(ReadModelTest, ReadsFollowTheReference) {
  cursor_ = NewReadCursor(-1);
  std::mt19937 random(52);
  const int steps = TestSize(3000, 100000);
  StepSwitch(random);
  Refresh();
  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE(step);
    const unsigned kind = random() % 100;
    if (kind < 11) {
      if (kind < 3)
        StepSwitch(random);
      else if (kind < 7)
        StepRange(random);
      else
        StepFilters(random);
      Refresh();
    } else if (kind < 13) {
      cursor_->sbcSetToBegin();
      where_ = kBof;
    } else if (kind < 15) {
      cursor_->sbcSetToEnd();
      where_ = kEof;
    } else if (kind < 22)
      StepCurrent(random);
    else if (kind < 45)
      StepMove(random, false);
    else if (kind < 58)
      StepMove(random, true);
    else if (kind < 68)
      StepKey(random);
    else if (kind < 74)
      StepKeyBatch(random);
    else if (kind < 86)
      StepBatch(random, false);
    else if (kind < 96)
      StepBatch(random, true);
    else
      StepCounts(random);
    if (HasFatalFailure()) return;
    ASSERT_EQ(cursor_->lockDepth, 0) << "a content lock outlived its read";
  }
}

}  // namespace
}  // namespace revurov::testing
