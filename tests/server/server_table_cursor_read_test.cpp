// The table cursor's reads case by case: edge cases, the faults mended
// (client counts and cut-offs, locks and limits ended on every path), the
// filter time limit on the fake clock, a record locked by another session,
// blob entries of batches, the graveyard and record versions, and the
// positioning that reads the current record.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "dictionary/filter_engines.h"
#include "engine/batch_stream.h"
#include "engine/engine_extender.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "server/table_lock_container.h"
#include "storage/transactions.h"
#include "support/fake_deadline_clock.h"
#include "support/position_table.h"

namespace revurov::testing {
namespace {

class ReadCursor : public LockCountingCursor {
  REVUROV_SERVER_OBJECT_CLASS(ReadCursor, LockCountingCursor)
  using LockCountingCursor::LockCountingCursor;
  // Blobs by number: absent numbers fail their length query with 9473,
  // kShort reads one byte less than its length.
  uint32_t sbcBlobGetLength(const TnxRecID&, int32_t, TnxBlobNr aBlobNr, uint32_t& aLength, bool,
                            TnxNewBlobNr*) override {
    auto found = blobs.find(aBlobNr);
    if (found == blobs.end()) return nxeOutOfMemory;
    aLength = uint32_t(found->second.size());
    return 0;
  }
  uint32_t sbcBlobRead(const TnxRecID&, int32_t, TnxBlobNr aBlobNr, uint32_t aOffset, uint32_t aLen,
                       platform::TStream& aStream, bool, TnxNewBlobNr*) override {
    const std::vector<uint8_t>& bytes = blobs.at(aBlobNr);
    if (aBlobNr == kShort) --aLen;
    aStream.Write(bytes.data() + aOffset, aLen);
    return 0;
  }
  static constexpr TnxBlobNr kShort = 77;
  std::map<TnxBlobNr, std::vector<uint8_t>> blobs;

protected:
  ~ReadCursor() override = default;
};

class TableReadTest : public PositionTableFixture {
protected:
  void SetUp() override {
    BuildTable();
    std::vector<PositionRow> rows;
    for (int i = 0; i < 30; ++i) rows.push_back({10 * (i + 1), "n" + std::to_string(i % 7), i % 3, i});
    Load(rows);
  }

  ReadCursor* NewReadCursor(int32_t aIndex, uint32_t aTimeout = 0, TnxServerDatabase* aDatabase = nullptr,
                            TnxServerBaseTable* aTable = nullptr) {
    auto cursor = nxCreateServerObject<ReadCursor>(aDatabase ? aDatabase : db, aTable ? aTable : table_, aTimeout,
                                                   omReadWrite, smShared, std::u16string_view(), aIndex, false,
                                                   false);
    cursors_.push_back(cursor.get());
    if (aIndex < 0) {
      EXPECT_EQ(cursor->sbcSwitchToIndex(u"", -1, porFalse), 0u);
    }
    return cursor.release();
  }
  int32_t IdOf(const uint8_t* aRecord) {
    int32_t id = 0;
    std::memcpy(&id, aRecord + Fields().FieldDescriptor(0)->Offset(), 4);
    return id;
  }
  std::vector<uint8_t> Buffer() { return std::vector<uint8_t>(size_t(Fields().RecordLength()) + 8); }
  TnxRefNr RefOf(int32_t aId) {
    for (const auto& [row, refNr] : rows_)
      if (row.ID == aId) return refNr;
    return 0;
  }
};

TEST_F(TableReadTest, EdgeCases) {
  const int32_t byId = IndexNo(u"ByID");
  std::vector<uint8_t> data = Buffer();
  {
    SCOPED_TRACE("an exclusive range start: the first key after it");
    ReadCursor* cursor = NewReadCursor(byId);
    const std::vector<uint8_t> key = KeyOf(byId, {50, "x", 0, 0});
    ASSERT_EQ(cursor->sbcRangeSet(0, 0, true, (void*)key.data(), false, 0, 0, true, nullptr, true), 0u);
    ASSERT_EQ(cursor->sbcRecordGetNext(nxltNoLock, data.data()), 0u) << LastMessage();
    EXPECT_EQ(IdOf(data.data()), 60);
    ASSERT_EQ(cursor->sbcRecordGetPrior(nxltNoLock, data.data()), nxeAtBeginningOfTable);
    EXPECT_EQ(cursor->IndexPath()->Position, ippBof);
  }
  {
    SCOPED_TRACE("no buffer and no filter: the call positions and locks only");
    ReadCursor* cursor = NewReadCursor(byId);
    EXPECT_EQ(cursor->sbcRecordGet(nxltWriteLock, nullptr), nxeAtBeginningOfTable);
    ASSERT_EQ(cursor->sbcRecordGetNext(nxltNoLock, nullptr), 0u);
    const TnxRefNr refNr = cursor->IndexPath()->RefNr;
    EXPECT_EQ(table_->Locks().IsRecordLocked(cursor, refNr), lpNotAtAll);
    ASSERT_EQ(cursor->sbcRecordGet(nxltWriteLock, nullptr), 0u) << LastMessage();
    EXPECT_EQ(table_->Locks().IsRecordLocked(cursor, refNr), lpYesByUs);
    EXPECT_EQ(refNr, RefOf(10));
  }
  for (bool base : {false, true}) {
    SCOPED_TRACE(base ? "base batch" : "walk batch");
    ReadCursor* cursor = NewReadCursor(byId);
    TnxBatchStreamAccess* access = nullptr;
    auto batch = [&](int32_t aMax) {
      return base ? cursor->TnxServerBaseCursor::sbcRecordGetBatch(-1, 0, access, aMax, true)
                  : cursor->sbcRecordGetBatch(-1, 0, access, aMax, true);
    };
    ASSERT_EQ(batch(1), 0u);
    std::unique_ptr<TnxBatchStreamAccess> owned(access);
    EXPECT_EQ(access->InnerError(), 0u);
    EXPECT_EQ(access->Count(), 1);
    ASSERT_EQ(batch(0), 0u);
    EXPECT_EQ(access->Count(), 29);
    EXPECT_EQ(access->InnerError(), nxeAtEndOfTable);
    ASSERT_EQ(batch(5), 0u);
    EXPECT_EQ(access->Count(), 0);
    EXPECT_EQ(access->InnerError(), nxeAtEndOfTable);
  }
}

TEST_F(TableReadTest, ClientCountsAndCutoffs) {
  ReadCursor* cursor = NewReadCursor(IndexNo(u"ByID"));
  for (int32_t max : {0, -1, std::numeric_limits<int32_t>::min()}) {
    TnxRecordCacheInfos infos{{1, 2}};
    TnxLSN current = 5;
    EXPECT_EQ(cursor->GetDeletedRecords(0, infos, max, &current), nxeInvalidParameter) << max;
    EXPECT_TRUE(infos.empty());
    EXPECT_EQ(current, 0);
  }
  // A negative cut-off is no cut-off, in both batch reads.
  for (int32_t cutoff : {-1, -1000, std::numeric_limits<int32_t>::min()})
    for (bool base : {false, true}) {
      cursor->sbcSetToBegin();
      TnxBatchStreamAccess* access = nullptr;
      const uint32_t result = base ? cursor->TnxServerBaseCursor::sbcRecordGetBatch(cutoff, 0, access, 0, true)
                                   : cursor->sbcRecordGetBatch(cutoff, 0, access, 0, true);
      std::unique_ptr<TnxBatchStreamAccess> owned(access);
      ASSERT_EQ(result, 0u) << cutoff << base;
      EXPECT_EQ(access->Count(), 30);
      EXPECT_EQ(access->InnerError(), nxeAtEndOfTable);
      EXPECT_LE(access->Stream().Capacity(), int64_t(0x80000) + 0x10000);
    }
  // A large cut-off takes no more room up front than none.
  TnxBatchStreamAccess* access = nullptr;
  ASSERT_EQ(cursor->TnxServerBaseCursor::sbcRecordGetBatch(0x7FFFFFF0, 0, access, 1, true), 0u);
  std::unique_ptr<TnxBatchStreamAccess> owned(access);
  EXPECT_LE(access->Stream().Capacity(), int64_t(0x80000) + 0x10000);
}

bool gRaise = false;
bool RaisingFilter(void*, const uint8_t*) {
  if (gRaise) throw std::runtime_error("filter broke");
  return true;
}

// Every read ends its content lock and filter limit when a filter raises.
TEST_F(TableReadTest, LocksAndLimitsEndOnEveryPath) {
  for (int32_t index : {IndexNo(u"ByID"), -1}) {
    ReadCursor* cursor = NewReadCursor(index);
    TnxCallbackFilterDescriptor descriptor(nullptr, &RaisingFilter);
    TnxFilterID id = 0;
    ASSERT_EQ(cursor->FilterAddCustom(&descriptor, id, true), 0u);
    ASSERT_EQ(cursor->sbcRecordGetNext(nxltNoLock, nullptr), 0u);
    gRaise = true;
    std::vector<uint8_t> data = Buffer();
    const std::vector<uint8_t> record = Record({20, "n1", 1, 1});
    std::vector<uint8_t> keyBuffer(nxDataSetKeyBufferHeader);
    keyBuffer.insert(keyBuffer.end(), record.begin(), record.end());
    TnxDataSetKeyBufferArray keys{reinterpret_cast<PnxKeyBuffer>(keyBuffer.data())};
    uint32_t count = 0;
    const std::vector<std::pair<const char*, std::function<uint32_t()>>> reads = {
        {"current", [&] { return cursor->sbcRecordGet(nxltWriteLock, data.data()); }},
        {"next", [&] { return cursor->sbcRecordGetNext(nxltNoLock, data.data()); }},
        {"prior", [&] { return cursor->sbcRecordGetPrior(nxltNoLock, data.data()); }},
        {"key", [&] { return cursor->sbcRecordGetForKey(0, 0, false, (void*)record.data(), data.data(), true, true); }},
        {"key batch",
         [&] {
           TnxBatchStreamAccess* access = nullptr;
           const uint32_t r = cursor->sbcRecordGetForKeyBatch(-1, 0, access, keys, true, true);
           delete access;
           return r;
         }},
        {"batch",
         [&] {
           cursor->sbcSetToBegin();
           TnxBatchStreamAccess* access = nullptr;
           const uint32_t r = cursor->sbcRecordGetBatch(-1, 0, access, 0, true);
           delete access;
           return r;
         }},
        {"base batch",
         [&] {
           cursor->sbcSetToBegin();
           TnxBatchStreamAccess* access = nullptr;
           const uint32_t r = cursor->TnxServerBaseCursor::sbcRecordGetBatch(-1, 0, access, 0, true);
           std::unique_ptr<TnxBatchStreamAccess> owned(access);
           return r != 0 ? r : access->InnerError();
         }},
        {"count", [&] { return cursor->sbcGetRecordCount(rcoServerFilteredKeyCount, count, false); }},
    };
    for (const auto& [name, read] : reads) {
      if (index < 0 && (std::string(name) == "key" || std::string(name) == "key batch")) continue;
      SCOPED_TRACE(name);
      EXPECT_EQ(read(), nxeUnknownException) << LastMessage();
      EXPECT_EQ(cursor->lockDepth, 0);
      EXPECT_EQ(cursor->FilterUntil(), 0);
    }
    gRaise = false;
    // The record lock a failed current read took is given back.
    EXPECT_EQ(table_->Locks().IsRecordLocked(cursor, cursor->IndexPath()->RefNr), lpNotAtAll);
  }
}

// ---- the filter time limit ----

std::set<int32_t> gAccepted;
size_t gIdOffset = 0;
bool SlowFilter(void*, const uint8_t* aRecord) {
  int32_t id = 0;
  std::memcpy(&id, aRecord + gIdOffset, 4);
  if (gAccepted.count(id)) return true;
  TFakeDeadlineClock::Advance(100);
  return false;
}

TEST_F(TableReadTest, FilterTimeLimitOnTheFakeClock) {
  TFakeDeadlineClock clock;
  gIdOffset = size_t(Fields().FieldDescriptor(0)->Offset());
  for (int32_t index : {IndexNo(u"ByID"), -1}) {
    SCOPED_TRACE(index);
    ReadCursor* cursor = NewReadCursor(index);
    cursor->SetFilterTimeout(500);
    TnxCallbackFilterDescriptor descriptor(nullptr, &SlowFilter);
    TnxFilterID id = 0;
    ASSERT_EQ(cursor->FilterAddCustom(&descriptor, id, true), 0u);
    std::vector<uint8_t> data = Buffer();
    gAccepted = {10, 20, 30};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(cursor->sbcRecordGetNext(nxltNoLock, data.data()), 0u) << LastMessage();
    EXPECT_EQ(cursor->sbcRecordGetNext(nxltNoLock, data.data()), nxeFilterTimeout);
    EXPECT_EQ(cursor->FilterUntil(), 0);
    struct Row {
      const char* Name;
      std::set<int32_t> Accepted;
      uint32_t Result;
      int32_t Count;
    };
    for (bool base : {false, true})
      for (const Row& row : {Row{"before the first record", {}, nxeFilterTimeout, 0},
                             Row{"after some", {10, 20, 30}, 0, 3}}) {
        SCOPED_TRACE(std::string(row.Name) + (base ? " base" : " walk"));
        gAccepted = row.Accepted;
        cursor->sbcSetToBegin();
        TnxBatchStreamAccess* access = nullptr;
        const uint32_t result = base ? cursor->TnxServerBaseCursor::sbcRecordGetBatch(-1, 0, access, 0, true)
                                     : cursor->sbcRecordGetBatch(-1, 0, access, 0, true);
        std::unique_ptr<TnxBatchStreamAccess> owned(access);
        EXPECT_EQ(result, row.Result);
        EXPECT_EQ(access->InnerError(), nxeFilterTimeout);
        EXPECT_EQ(access->Count(), row.Count);
        EXPECT_EQ(cursor->FilterUntil(), 0);
        EXPECT_EQ(cursor->lockDepth, 0);
      }
  }
}

// ---- another session's lock ----

TEST_F(TableReadTest, RecordLockedByAnotherSession) {
  TnxServerSession* other = Open();
  TnxAbstractDatabase* database = nullptr;
  ASSERT_EQ(other->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
  auto* db2 = static_cast<TnxServerDatabase*>(database);
  for (int32_t index : {IndexNo(u"ByID"), -1})
    for (bool back : {false, true}) {
      SCOPED_TRACE(std::to_string(index) + (back ? " prior" : " next"));
      ReadCursor* holder = NewReadCursor(index, 0, db2);
      ReadCursor* reader = NewReadCursor(index, 100);
      std::vector<uint8_t> data = Buffer();
      // The holder locks the first record the reader will meet.
      if (back) holder->sbcSetToEnd();
      ASSERT_EQ(back ? holder->sbcRecordGetPrior(nxltNoLock, nullptr) : holder->sbcRecordGetNext(nxltNoLock, nullptr),
                0u);
      ASSERT_EQ(holder->sbcRecordGet(nxltWriteLock, data.data()), 0u) << LastMessage();
      const TnxRefNr locked = holder->IndexPath()->RefNr;
      const int32_t lockedId = IdOf(data.data());
      if (back) reader->sbcSetToEnd();
      auto step = [&] {
        return back ? reader->RecordGetPrior(nxltWriteLock, data.data())
                    : reader->RecordGetNext(nxltWriteLock, data.data());
      };
      EXPECT_EQ(step(), nxeRecordLocked) << LastMessage();
      EXPECT_EQ(reader->IndexPath()->RefNr, locked);
      EXPECT_EQ(reader->IndexPath()->Position, back ? ippOnCrackAfter : ippOnCrackBefore);
      EXPECT_EQ(step(), nxeRecordLocked);
      ASSERT_TRUE(table_->Locks().ReleaseRecordLock(holder, locked, nullptr));
      ASSERT_EQ(step(), 0u) << LastMessage();
      EXPECT_EQ(IdOf(data.data()), lockedId);
      EXPECT_EQ(table_->Locks().IsRecordLocked(reader, locked), lpYesByUs);
      table_->Locks().ClearRecordLocks(reader);
      EXPECT_EQ(reader->lockDepth, 0);
    }
  // The other database frees its cursors with it.
  std::erase_if(cursors_, [&](TnxServerTableCursor* c) { return c->Database() == db2; });
  db2->Free();
}

// ---- positioning that reads the current record ----

TEST_F(TableReadTest, SwitchAndSetToCursorReadTheCurrentRecord) {
  const int32_t byId = IndexNo(u"ByID"), byName = IndexNo(u"ByName");
  ReadCursor* cursor = NewReadCursor(byId);
  std::vector<uint8_t> data = Buffer();
  for (int i = 0; i < 4; ++i) ASSERT_EQ(cursor->sbcRecordGetNext(nxltNoLock, nullptr), 0u);
  const TnxRefNr refNr = cursor->IndexPath()->RefNr;
  ASSERT_EQ(cursor->sbcSwitchToIndex(u"", byName, porTrue), 0u) << LastMessage();
  EXPECT_EQ(cursor->IndexPath()->RefNr, refNr);
  ASSERT_EQ(cursor->sbcRecordGet(nxltNoLock, data.data()), 0u);
  EXPECT_EQ(IdOf(data.data()), 40);
  ReadCursor* follower = NewReadCursor(byId);
  ASSERT_EQ(follower->sbcSetToCursor(cursor), 0u) << LastMessage();
  ASSERT_EQ(follower->sbcRecordGet(nxltNoLock, data.data()), 0u);
  EXPECT_EQ(IdOf(data.data()), 40);
  ASSERT_EQ(follower->sbcRecordGetNext(nxltNoLock, data.data()), 0u);
  EXPECT_EQ(IdOf(data.data()), 50);
  // porTry on a cursor without a record switches and starts at the top.
  cursor->sbcSetToEnd();
  EXPECT_EQ(cursor->sbcSwitchToIndex(u"", byId, porTrue), nxeNoCurrentRecord);
  ASSERT_EQ(cursor->sbcSwitchToIndex(u"", byId, porTry), 0u);
  ASSERT_EQ(cursor->sbcRecordGetNext(nxltNoLock, data.data()), 0u);
  EXPECT_EQ(IdOf(data.data()), 10);
}

// ---- blob entries ----

class BlobBatchTest : public TableReadTest {
protected:
  void SetUp() override {
    TableReadTest::SetUp();
    auto dict = std::make_unique<TnxDataDictionary>();
    auto& fields = dict->FieldsDescriptor();
    fields.AddField(u"ID", u"", nxtInt32, 0, 0, false);
    fields.AddField(u"Data", u"", nxtBlob, 0, 0, false);
    fields.AddField(u"More", u"", nxtBlob, 0, 0, false);
    dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
    dict->FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
    static_cast<TnxCompKeyDescriptor*>(dict->EnsureIndicesDescriptor()
                                           ->AddIndex(u"ByID", 1, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())
                                           ->KeyDescriptor())
        ->Add(0);
    ASSERT_EQ(db->TableBuild(false, u"Blobs", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxAbstractCursor* opened = nullptr;
    ASSERT_EQ(db->CursorOpen(opened, u"Blobs", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u);
    blobHolder_ = static_cast<TnxServerTableCursor*>(opened);
    cursors_.push_back(blobHolder_);
    blobTable_ = blobHolder_->Table();
    blobFields_ = &blobHolder_->TableDescriptor()->FieldsDescriptor();
    // Data, More: 0 stands for a null field.
    const std::vector<std::pair<TnxBlobNr, TnxBlobNr>> rows = {
        {5, 0}, {kZero, 6}, {15, 999}, {ReadCursor::kShort, 5}};
    TnxBufferManager& bm = *engine->BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    for (size_t i = 0; i < rows.size(); ++i) {
      std::vector<uint8_t> record(size_t(blobFields_->RecordLength()), 0);
      blobFields_->InitRecord(record.data());
      const int32_t id = int32_t(i + 1);
      blobFields_->SetRecordField(0, record.data(), &id);
      for (int f = 1; f <= 2; ++f) {
        TnxBlobNr nr = f == 1 ? rows[i].first : rows[i].second;
        if (nr == 0) {
          blobFields_->SetRecordFieldNull(f, record.data(), true);
        } else {
          if (nr == kZero) nr = 0;
          blobFields_->SetRecordField(f, record.data(), &nr);
        }
      }
      TnxRefNr refNr = 0;
      blobTable_->RecordEngine()->AddRecord(trans, refNr, record.data());
      ASSERT_EQ(blobTable_->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0u);
      records_.push_back(record);
    }
    nxsrCommit(bm, trans);
  }

  ReadCursor* BlobCursor() {
    ReadCursor* cursor = NewReadCursor(0, 0, db, blobTable_);
    cursor->blobs = {{5, {'h', 'e', 'l', 'l', 'o'}}, {6, std::vector<uint8_t>(300, 0x5A)}, {15, {}},
                     {ReadCursor::kShort, {'x', 'y', 'z'}}};
    return cursor;
  }

  // The stream as the layout has it, built from the stored records.
  std::vector<uint8_t> Expected(ReadCursor& aCursor, bool aBlobNrs, bool aBlobs) {
    std::vector<uint8_t> out(8);
    platform::StoreU32(out.data(), nxeAtEndOfTable);
    platform::StoreU32(out.data() + 4, uint32_t(records_.size()));
    auto put32 = [&](uint32_t aValue) {
      out.resize(out.size() + 4);
      platform::StoreU32(out.data() + out.size() - 4, aValue);
    };
    for (std::vector<uint8_t> record : records_) {
      const size_t sizeAt = out.size();
      put32(0);
      const size_t recordAt = out.size();
      out.insert(out.end(), record.begin(), record.end());
      for (int f = 1; aBlobs && f <= 2; ++f) {
        const uint32_t place = blobFields_->FieldDescriptor(f)->Offset();
        if (blobFields_->IsRecordFieldNull(f, out.data() + recordAt)) continue;
        const TnxBlobNr nr = platform::LoadLE<int64_t>(out.data() + recordAt + place);
        auto found = aCursor.blobs.find(nr);
        const bool fails = found == aCursor.blobs.end();
        if (nr == 0 || nr == ReadCursor::kShort || (!fails && found->second.empty())) {
          blobFields_->SetRecordFieldNull(f, out.data() + recordAt, true);
          continue;
        }
        const size_t entry = out.size();
        if (fails) {
          put32(0x80000004u);
          put32(nxeOutOfMemory);
        } else {
          put32(uint32_t(found->second.size()));
          out.insert(out.end(), found->second.begin(), found->second.end());
        }
        if (aBlobNrs) {
          out.resize(out.size() + 8);
          platform::StoreLE<int64_t>(out.data() + out.size() - 8, nr);
        }
        platform::StoreLE<int64_t>(out.data() + recordAt + place, int64_t(entry));
      }
      platform::StoreU32(out.data() + sizeAt, uint32_t(out.size() - sizeAt - 4));
    }
    return out;
  }

  static constexpr TnxBlobNr kZero = -1;
  TnxServerTableCursor* blobHolder_ = nullptr;
  TnxServerBaseTable* blobTable_ = nullptr;
  TnxFieldsDescriptor* blobFields_ = nullptr;
  std::vector<std::vector<uint8_t>> records_;
};

TEST_F(BlobBatchTest, BlobEntriesFollowTheLayout) {
  struct Row {
    const char* Name;
    TnxRecordGetBatchExOptions Options;
    bool BlobNrs;
    bool Blobs;
  };
  const auto bit = [](TnxRecordGetBatchExOption aOption) { return TnxRecordGetBatchExOptions(1u << aOption); };
  for (bool base : {false, true})
    for (const Row& row : {Row{"no blobs", 0, false, false}, Row{"blobs", bit(gboBlobs), false, true},
                           Row{"blobs and numbers", TnxRecordGetBatchExOptions(bit(gboBlobs) | bit(gboBlobNrs)), true, true},
                           Row{"only marked, none marked",
                               TnxRecordGetBatchExOptions(bit(gboBlobs) | bit(gboBlobsOnlyMarked)), false, false}}) {
      SCOPED_TRACE(std::string(row.Name) + (base ? " base" : " walk"));
      ReadCursor* cursor = BlobCursor();
      TnxBatchStreamAccess* access = nullptr;
      const uint32_t result = base ? cursor->TnxServerBaseCursor::sbcRecordGetBatch(-1, row.Options, access, 0, true)
                                   : cursor->sbcRecordGetBatch(-1, row.Options, access, 0, true);
      std::unique_ptr<TnxBatchStreamAccess> owned(access);
      ASSERT_EQ(result, 0u) << LastMessage();
      std::vector<uint8_t> expected = Expected(*cursor, row.BlobNrs, row.Blobs);
      if (base) expected.resize(expected.size() + 4, 0), platform::StoreU32(expected.data() + expected.size() - 4,
                                                                            uint32_t(records_[0].size()));
      ASSERT_EQ(std::vector<uint8_t>(access->Memory(), access->Memory() + access->Size()), expected);
      // The access finds the blob of the first record where its field points.
      access->Reset(false);
      TnxBatchStreamEntry entry;
      ASSERT_TRUE(access->Next(entry));
      TnxBatchBlobAccess blob;
      const bool found = access->GetBlobAccess(entry, 1, blob);
      if (row.Blobs) {
        ASSERT_TRUE(found);
        EXPECT_EQ(blob.bbaSize, 5u);
        EXPECT_EQ(std::memcmp(access->Memory() + blob.bbaBlobData, "hello", 5), 0);
      }
      int32_t seen = 1;
      while (access->Next(entry)) ++seen;
      EXPECT_EQ(seen, 4);
      EXPECT_EQ(access->Error(), 0u);
    }
}

TEST_F(BlobBatchTest, SkippingBlobDataReservesItsRoom) {
  ReadCursor* cursor = BlobCursor();
  cursor->CursorOptions() |= TnxAbstractCursorOptions(1) << acoSkipReadingBlobDataForBatch;
  TnxBatchStreamAccess* access = nullptr;
  ASSERT_EQ(cursor->sbcRecordGetBatch(-1, 1u << gboBlobs, access, 0, true), 0u);
  std::unique_ptr<TnxBatchStreamAccess> owned(access);
  // The short blob keeps its entry: its data is never read.
  const std::vector<uint8_t> expected = Expected(*cursor, false, true);
  EXPECT_EQ(access->Size(), expected.size() + 4 + 3);
}

// ---- the graveyard and record versions ----

class CacheQueryTest : public TableReadTest {
protected:
  void SetUp() override {
    TableReadTest::SetUp();
    auto dict = PositionDictionary();
    dict->MakeCacheable(true);
    ASSERT_EQ(db->TableBuild(false, u"Cached", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxAbstractCursor* opened = nullptr;
    ASSERT_EQ(db->CursorOpen(opened, u"Cached", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr),
              0u);
    cached_ = static_cast<TnxServerTableCursor*>(opened);
    cursors_.push_back(cached_);
  }
  TnxServerTableCursor* cached_ = nullptr;
};

TEST_F(CacheQueryTest, DeletedRecordsAgainstAModel) {
  TnxBaseIndexEngine* graveyard = cached_->GraveyardLSNIndexEngine();
  ASSERT_NE(graveyard, nullptr);
  std::vector<TnxRecordCacheInfo> model;
  {
    TnxBufferManager& bm = *engine->BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    std::mt19937 random(7);
    TnxLSN lsn = 100;
    for (int i = 0; i < 300; ++i) {
      lsn += 1 + random() % 5;
      const TnxRefNr refNr = 1000 + random() % 100000;
      uint8_t key[8];
      platform::StoreLE<int64_t>(key, lsn);
      ASSERT_TRUE(graveyard->InsertKey(trans, key, refNr, 0, nullptr));
      model.push_back({refNr, lsn});
    }
    nxsrCommit(bm, trans);
  }
  ReadCursor* cursor = NewReadCursor(-1, 0, db, cached_->Table());
  const TnxLSN current = cursor->stcGetCurrentLSN();
  std::mt19937 random(11);
  for (int round = 0; round < 200; ++round) {
    const TnxLSN from = round == 0 ? 0 : TnxLSN(random() % 1400);
    const int32_t max = round == 1 ? 300 : 1 + int32_t(random() % 400);
    TnxRecordCacheInfos infos;
    TnxLSN currentLSN = -1;
    const uint32_t result = cursor->GetDeletedRecords(from, infos, max, &currentLSN);
    std::vector<TnxRecordCacheInfo> want;
    for (const TnxRecordCacheInfo& info : model)
      if (info.rciModifyLSN > from) want.push_back(info);
    const bool more = want.size() > size_t(max);
    if (more) want.resize(size_t(max));
    SCOPED_TRACE(std::to_string(from) + " " + std::to_string(max));
    ASSERT_EQ(result, want.empty() ? nxeAtEndOfTable : 0u);
    ASSERT_EQ(infos.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
      ASSERT_EQ(infos[i].rciRefNr, want[i].rciRefNr);
      ASSERT_EQ(infos[i].rciModifyLSN, want[i].rciModifyLSN);
    }
    EXPECT_EQ(currentLSN, more ? want.back().rciModifyLSN : current);
    EXPECT_EQ(cursor->lockDepth, 0);
  }
  // A table without a graveyard.
  ReadCursor* plain = NewReadCursor(-1);
  TnxRecordCacheInfos infos;
  EXPECT_EQ(plain->GetDeletedRecords(0, infos, 10, nullptr), nxeNoAssociatedIndex);
}

TEST_F(CacheQueryTest, RecordVersionsAgainstAModel) {
  TnxFieldsDescriptor& fields = cached_->TableDescriptor()->FieldsDescriptor();
  int32_t lsnField = -1;
  ASSERT_TRUE(fields.HasModifyLSNField(lsnField));
  std::vector<std::pair<TnxRefNr, TnxLSN>> model;
  {
    TnxBufferManager& bm = *engine->BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    TnxServerBaseTable* table = cached_->Table();
    for (int i = 0; i < 50; ++i) {
      std::vector<uint8_t> record(size_t(fields.RecordLength()), 0);
      fields.InitRecord(record.data());
      const int32_t id = i;
      const int32_t grp = 0;
      fields.SetRecordField(0, record.data(), &id);
      fields.SetRecordField(2, record.data(), &grp);
      fields.SetRecordField(3, record.data(), &grp);
      const TnxLSN lsn = 5000 + 7 * i;
      fields.SetRecordField(lsnField, record.data(), &lsn);
      TnxRefNr refNr = 0;
      table->RecordEngine()->AddRecord(trans, refNr, record.data());
      ASSERT_EQ(table->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0u) << LastMessage();
      model.push_back({refNr, lsn});
    }
    nxsrCommit(bm, trans);
  }
  ReadCursor* cursor = NewReadCursor(-1, 0, db, cached_->Table());
  TnxLSN lsn = 0;
  TnxRefNr refNr = 0;
  EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), nxeNoCurrentRecord);
  for (size_t i = 0; i < model.size(); i += 7) {
    lsn = model[i].second;
    refNr = 0;
    ASSERT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), 0u) << LastMessage();
    EXPECT_EQ(refNr, model[i].first);
    refNr = model[i].first;
    EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), 0u);
    refNr = model[(i + 1) % model.size()].first;
    EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), nxeRecordDeleted);
    lsn = model[i].second + 1;
    EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), nxeRecordNotFound);
    // By RefNr alone, through the sequential access index.
    lsn = 0;
    refNr = model[i].first;
    ASSERT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), 0u) << LastMessage();
    EXPECT_EQ(lsn, model[i].second);
    // With an LSN the LSN index decides: a stale one is not found.
    lsn = model[i].second + 1;
    EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), nxeRecordNotFound);
    lsn = 0;
    refNr = model.back().first + 999;
    EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), nxeRecordNotFound);
    EXPECT_EQ(cursor->lockDepth, 0);
  }
  // A table without the ModifyLSN index.
  ReadCursor* plain = NewReadCursor(-1);
  lsn = 5;
  refNr = 0;
  EXPECT_EQ(plain->ContainsLSNRefNr(lsn, refNr), nxeNoAssociatedIndex);
}

// ---- extenders ----

struct Notified {
  bool Before;
  int64_t LockType;
  void* Record;
  int64_t RefNr;
};

class RecordingExtender : public TnxBaseEngineExtender {
public:
  RecordingExtender(TnxBaseEngineMonitor* aMonitor, TnxExtendableServerObject* aObject, std::vector<Notified>* aLog)
      : TnxBaseEngineExtender(aMonitor, aObject, TnxEngineActions{eaRecordGet}), reLog(aLog) {}
  uint32_t Notify(TnxEngineAction, bool aBefore, TnxEngineArgs aArgs) override {
    reLog->push_back({aBefore, aArgs[0].eaInteger, aArgs[1].eaPointer, aArgs[2].eaInteger});
    return 77;
  }
  std::vector<Notified>* reLog;
};

TEST_F(TableReadTest, ReadsThatReturnARecordNotifyExtenders) {
  const int32_t byId = IndexNo(u"ByID");
  ReadCursor* cursor = NewReadCursor(byId);
  std::vector<Notified> log;
  nxCreateEngineExtender<RecordingExtender>(nullptr, cursor, &log);
  std::vector<uint8_t> data = Buffer();
  ASSERT_EQ(cursor->sbcRecordGetNext(nxltWriteLock, data.data()), 0u);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_FALSE(log[0].Before);
  EXPECT_EQ(log[0].LockType, nxltWriteLock);
  EXPECT_EQ(log[0].Record, data.data());
  EXPECT_EQ(log[0].RefNr, RefOf(10));
  ASSERT_EQ(cursor->sbcRecordGet(nxltNoLock, data.data()), 0u);
  const std::vector<uint8_t> record = Record({30, "n2", 2, 2});
  ASSERT_EQ(cursor->sbcRecordGetForKey(0, 0, false, (void*)record.data(), data.data(), true, true), 0u);
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[2].LockType, nxltNoLock);
  EXPECT_EQ(log[2].RefNr, RefOf(30));
  // Positioning only, and failures, notify nothing.
  cursor->sbcSetToEnd();
  EXPECT_EQ(cursor->sbcRecordGetNext(nxltNoLock, data.data()), nxeAtEndOfTable);
  EXPECT_EQ(cursor->sbcRecordGet(nxltNoLock, nullptr), nxeAtEndOfTable);
  EXPECT_EQ(log.size(), 3u);
  // A batch notifies once per record it carries.
  cursor->sbcSetToBegin();
  TnxBatchStreamAccess* access = nullptr;
  ASSERT_EQ(cursor->sbcRecordGetBatch(-1, 0, access, 4, true), 0u);
  delete access;
  EXPECT_EQ(log.size(), 7u);
}

}  // namespace
}  // namespace revurov::testing
