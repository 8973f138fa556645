// The table cursor's bulk work: copying the view into another table (its
// refusals, blob modes, commits in steps, auto-increment), deleting the
// view (range, graveyard, deadline, locks, failures) and sorting the
// table's records in place through the sort engine, with runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/engines/sort_engine.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "server/table_lock_container.h"
#include "storage/blob_engines.h"
#include "storage/deadline.h"
#include "storage/sub_engines.h"
#include "support/fake_deadline_clock.h"
#include "support/string_stream.h"
#include "support/table_ops_fixture.h"

namespace revurov::testing {
namespace {

constexpr int32_t kID = 0, kGrp = 1, kSeq = 2, kData = 3;
constexpr uint32_t kVetoForStop = 15001;

// Logs record notifications ("insert before 5" with the ID, "delete after
// 7"), runs onNote on each and vetoes the one numbered vetoAt (1-based).
class BulkCursor : public TnxServerTableCursor {
  REVUROV_SERVER_OBJECT_CLASS(BulkCursor, TnxServerTableCursor)
  using TnxServerTableCursor::TnxServerTableCursor;

  uint32_t NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override {
    if (aAction != eaRecordInsert && aAction != eaRecordDelete)
      return TnxServerTableCursor::NotifyExtenders(aAction, aBefore, aArgs);
    const void* record = nullptr;
    int64_t refNr = -1;
    for (const TnxEngineArg& arg : aArgs) {
      if (arg.eaKind == TnxEngineArg::Pointer) record = arg.eaPointer;
      if (arg.eaKind == TnxEngineArg::Integer) refNr = arg.eaInteger;
    }
    int32_t id = 0;
    bool isNull = true;
    if (record) TableDescriptor()->FieldsDescriptor().GetRecordField(kID, record, isNull, &id);
    std::string line = aAction == eaRecordInsert ? "insert" : "delete";
    line += aBefore ? " before " : " after ";
    line += std::to_string(id);
    if (aAction == eaRecordInsert) line += refNr == 0 ? " new" : " stored";
    notes.push_back(line);
    if (onNote) onNote(line);
    if (++calls == vetoAt) return EnxBaseException::nxSetMessage(15001, u"Vetoed by the test");
    return TnxServerTableCursor::NotifyExtenders(aAction, aBefore, aArgs);
  }
  // The sort inside the frame a public operation has.
  uint32_t Sort(TnxIndexDescriptor* aIndex) {
    return sbcOwnFrame([&] { return stcSortRecords(aIndex); });
  }
  TnxRecordIteratorResult Recover(TnxRecoverContext& aContext, TnxRefNr aRefNr, PnxRecordBuffer aRecord) {
    TnxRecordIteratorResult answer = rirStop;
    sbcOwnFrame([&] {
      answer = stcRecoverRecord(aContext, aRefNr, aRecord);
      return 0u;
    });
    return answer;
  }
  // Stands for a cursor of a cache table.
  BulkCursor* AsCache() {
    SetIsCache(true);
    return this;
  }
  int Count(const std::string& aPrefix) const {
    return int(std::count_if(notes.begin(), notes.end(), [&](const std::string& n) { return n.rfind(aPrefix, 0) == 0; }));
  }

  std::vector<std::string> notes;
  std::function<void(const std::string&)> onNote;
  int calls = 0;
  int vetoAt = 0;

protected:
  ~BulkCursor() override = default;
};

struct Row {
  int32_t ID = 0;
  int32_t Grp = 0;
  uint32_t Seq = 0;  // 0: null
  std::string Data;  // empty: null
};

// ID, Grp, Seq (AutoInc), Data (Blob) and the cacheable layout's special
// fields and graveyard; ByID unique, ByGrp duplicates. aTag renames Grp,
// aWide makes it Int64 (another layout).
std::unique_ptr<TnxDataDictionary> BulkDictionary(bool aWide = false) {
  auto dict = std::make_unique<TnxDataDictionary>();
  auto& fields = dict->FieldsDescriptor();
  fields.AddField(u"ID", u"", nxtInt32, 0, 0, false);
  fields.AddField(u"Grp", u"", aWide ? nxtInt64 : nxtInt32, 0, 0, false);
  fields.AddField(u"Seq", u"", nxtAutoInc, 0, 0, false);
  fields.AddField(u"Data", u"", nxtBlob, 0, 0, false);
  dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
  dict->FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
  dict->AddBlobDescriptor()->SetFileNumber(2);
  if (!dict->AutoIncDescriptor()) dict->AddAutoIncDescriptor();
  auto* indices = dict->EnsureIndicesDescriptor();
  auto key = [&](std::u16string_view aName, TnxIndexDups aDups, int32_t aField) {
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(aName, 1, aDups, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(aField);
  };
  key(u"ByID", idNone, kID);
  key(u"ByGrp", idAll, kGrp);
  indices->SetDefaultIndex(indices->GetIndexFromName(u"ByID"));
  dict->MakeCacheable(true);
  return dict;
}

class BulkTest : public TableOpsFixture {
protected:
  ~BulkTest() override {
    for (TnxAbstractCursor* cursor : cursors_) cursor->Free();
    if (db2_) db2_->Free();
  }

  TnxServerBaseTable* Build(std::u16string_view aName, bool aWide = false) {
    auto dict = BulkDictionary(aWide);
    EXPECT_EQ(db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(db->CursorOpen(cursor, aName, u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u)
        << LastMessage();
    cursors_.push_back(cursor);
    return static_cast<TnxServerTableCursor*>(cursor)->Table();
  }
  BulkCursor* NewCursor(TnxServerBaseTable* aTable, std::u16string_view aIndex = u"ByID",
                        TnxServerDatabase* aDatabase = nullptr) {
    auto cursor = nxCreateServerObject<BulkCursor>(aDatabase ? aDatabase : db, aTable, 10000u, omReadWrite, smShared,
                                                   aIndex, -1, false, false);
    cursors_.push_back(cursor.get());
    return cursor.release();
  }
  // A database of a second session on the same folder.
  TnxServerDatabase* SecondDatabase() {
    if (!db2_) {
      TnxServerSession* other = Open();
      TnxAbstractDatabase* database = nullptr;
      EXPECT_EQ(other->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
      db2_ = static_cast<TnxServerDatabase*>(database);
    }
    return db2_;
  }

  static TnxFieldsDescriptor& Fields(TnxServerBaseTable* aTable) { return *aTable->FieldsDescriptor(); }

  std::vector<uint8_t> Record(TnxServerBaseTable* aTable, const Row& aRow, TnxBlobNr aBlob) {
    TnxFieldsDescriptor& fields = Fields(aTable);
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 16, 0);
    fields.InitRecord(record.data());
    fields.SetRecordField(kID, record.data(), &aRow.ID);
    fields.SetRecordField(kGrp, record.data(), &aRow.Grp);
    if (aRow.Seq != 0) fields.SetRecordField(kSeq, record.data(), &aRow.Seq);
    else fields.SetRecordFieldNull(kSeq, record.data(), true);
    if (aBlob != 0) fields.SetRecordField(kData, record.data(), &aBlob);
    else fields.SetRecordFieldNull(kData, record.data(), true);
    return record;
  }

  // The rows added with their keys and blobs in one committed transaction.
  std::vector<TnxRefNr> Load(TnxServerBaseTable* aTable, const std::vector<Row>& aRows) {
    TnxBufferManager& bm = *engine->BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    std::vector<TnxRefNr> refNrs;
    for (const Row& row : aRows) {
      TnxBlobNr blob = 0;
      if (!row.Data.empty()) {
        aTable->BlobEngine()->AddBlob(trans, blob);
        aTable->BlobEngine()->Write(trans, blob, 0, uint32_t(row.Data.size()), row.Data.data());
      }
      std::vector<uint8_t> record = Record(aTable, row, blob);
      aTable->sbtInitRecRev(record.data());
      aTable->sbtInitLSNFields(++lsn_, record.data());
      TnxRefNr refNr = 0;
      aTable->RecordEngine()->AddRecord(trans, refNr, record.data());
      EXPECT_EQ(aTable->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr), 0u) << LastMessage();
      refNrs.push_back(refNr);
    }
    nxsrCommit(bm, trans);
    return refNrs;
  }

  static std::vector<Row> Rows(int aCount, int aGroups = 7) {
    std::vector<Row> rows;
    for (int i = 0; i < aCount; ++i) rows.push_back({i + 1, (i * 5) % aGroups, 0, ""});
    return rows;
  }

  // The stored records in record order: RefNr and record.
  std::vector<std::pair<TnxRefNr, std::vector<uint8_t>>> Stored(TnxServerBaseTable* aTable,
                                                                TnxBaseTransaction* aTrans = nullptr) {
    std::vector<std::pair<TnxRefNr, std::vector<uint8_t>>> result;
    std::vector<uint8_t> buffer(size_t(Fields(aTable).RecordLength()) + 16);
    TnxRefNr refNr = 0;
    for (;;) {
      TnxRefNr next = 0;
      aTable->RecordEngine()->ReadNextRecord(aTrans, refNr, next, buffer.data());
      if (next == 0) return result;
      refNr = next;
      result.emplace_back(refNr, buffer);
    }
  }
  int32_t Int32Of(TnxServerBaseTable* aTable, const std::vector<uint8_t>& aRecord, int32_t aField) {
    bool isNull = true;
    int32_t value = 0;
    Fields(aTable).GetRecordField(aField, aRecord.data(), isNull, &value);
    return isNull ? -1 : value;
  }
  TnxBlobNr BlobOf(TnxServerBaseTable* aTable, const std::vector<uint8_t>& aRecord) {
    bool isNull = true;
    TnxBlobNr value = 0;
    Fields(aTable).GetRecordField(kData, aRecord.data(), isNull, &value);
    return isNull ? 0 : value;
  }
  std::vector<int32_t> IDs(TnxServerBaseTable* aTable, TnxBaseTransaction* aTrans = nullptr) {
    std::vector<int32_t> ids;
    for (const auto& [refNr, record] : Stored(aTable, aTrans)) ids.push_back(Int32Of(aTable, record, kID));
    std::sort(ids.begin(), ids.end());
    return ids;
  }
  std::string BlobText(TnxServerBaseTable* aTable, TnxBlobNr aBlob) {
    TStringStream stream;
    uint32_t length = 0;
    EXPECT_EQ(aTable->BlobEngine()->GetBlobLength(nullptr, aBlob, {}, length), 0u);
    EXPECT_EQ(aTable->BlobEngine()->Read(nullptr, aBlob, 0, length, {}, stream), 0u);
    return stream.Bytes;
  }

  static std::multiset<TnxRefNr> IndexRefNrs(TnxBaseIndexEngine& aIndex, TnxBaseTransaction* aTrans = nullptr) {
    platform::TStringList lines;
    aIndex.SaveAll(aTrans, lines);
    std::multiset<TnxRefNr> refNrs;
    for (int i = 0; i < lines.Count(); ++i)
      refNrs.insert(TnxRefNr(std::stoull(platform::Utf16ToUtf8(lines[i]).substr(0, 16), nullptr, 16)));
    return refNrs;
  }
  // Every index of the table lists exactly its records, and each record's
  // ID key finds it.
  void ExpectIndicesWhole(TnxServerBaseTable* aTable) {
    const auto records = Stored(aTable);
    std::multiset<TnxRefNr> refNrs;
    for (const auto& entry : records) refNrs.insert(entry.first);
    TnxBaseIndicesEngine& indices = *aTable->IndicesEngine();
    for (int32_t i = 0; i < indices.IndexCount(); ++i) EXPECT_EQ(IndexRefNrs(indices.Indices(i)), refNrs) << i;
    TnxBaseIndexEngine& byID = indices.Indices(0);
    auto path = byID.CreateIndexPath();
    std::vector<uint8_t> key(byID.KeyEngine().KeyLength());
    for (const auto& [refNr, record] : records) {
      ASSERT_EQ(byID.KeyEngine().BuildKey(record.data(), key.data(), refNr, true), 0u);
      ASSERT_TRUE(byID.FindKey(nullptr, key.data(), 0, 0, 0, *path, skaAnyEqual, nullptr));
      EXPECT_EQ(path->RefNr, refNr);
    }
  }
  // The cursor's range on ByID from aLow to aHigh (included as aInclHigh).
  uint32_t RangeOnID(TnxAbstractCursor* aCursor, TnxServerBaseTable* aTable, int32_t aLow, int32_t aHigh,
                     bool aInclHigh = true) {
    std::vector<uint8_t> low = Record(aTable, {aLow, 0, 0, ""}, 0), high = Record(aTable, {aHigh, 0, 0, ""}, 0);
    return aCursor->RangeSet(1, 0, false, low.data(), true, 1, 0, false, high.data(), aInclHigh);
  }

  TnxServerTransContext& Context() { return *static_cast<TnxServerTransContext*>(db->TransContext()); }

  std::vector<TnxAbstractCursor*> cursors_;
  TnxServerDatabase* db2_ = nullptr;
  TnxLSN lsn_ = 0;
};

// ---- copy ----

TEST_F(BulkTest, CopyRefusalsComeBeforeAnyLock) {
  TnxServerBaseTable* source = Build(u"Src");
  TnxServerBaseTable* dest = Build(u"Dst");
  TnxServerBaseTable* wide = Build(u"Wide", true);
  Load(source, Rows(3));
  BulkCursor* from = NewCursor(source);
  struct Case {
    const char* Name;
    std::function<TnxAbstractCursor*()> Dest;
    uint32_t Code;
  };
  const Case cases[] = {
      {"no cursor", [] { return nullptr; }, nxeInvalidHandle},
      {"another session", [&] { return NewCursor(dest, u"ByID", SecondDatabase()); }, nxeDifferentSessions},
      {"same table", [&] { return NewCursor(source); }, nxeSameTable},
      {"cache destination", [&] { return NewCursor(dest)->AsCache(); }, nxeCapabilityNotSupported},
      {"other layout", [&] { return NewCursor(wide); }, nxeIncompatibleDictionaries},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TnxAbstractCursor* to = c.Dest();
    // The destination's writer lock held by another cursor of this session
    // refuses the copy's request at once: a refusal must come first.
    TnxServerTableCursor* holder = nullptr;
    if (auto* table = dynamic_cast<TnxServerTableCursor*>(to)) {
      holder = NewCursor(table->Table());
      ASSERT_EQ(table->Table()->Locks().GetRecordLock(nullptr, holder, table->SelfRefNr(), true, nullptr),
                lrGrantedNew);
    }
    EXPECT_EQ(from->CopyRecordsEx(to, nxbcmCopyFull, 0, true), c.Code) << LastMessage();
    EXPECT_EQ(Context().stcTransaction(), nullptr);
    if (holder) holder->Table()->Locks().ClearAllLocks(holder);
  }
  EXPECT_TRUE(Stored(dest).empty());
  EXPECT_TRUE(Stored(wide).empty());
  EXPECT_EQ(IDs(source), (std::vector<int32_t>{1, 2, 3}));
}

TEST_F(BulkTest, CopiesInEachBlobMode) {
  TnxServerBaseTable* source = Build(u"Src");
  const std::vector<Row> rows = {{1, 0, 0, "first"}, {2, 1, 0, ""}, {3, 1, 0, std::string(9000, 'x')}};
  const std::vector<TnxRefNr> loaded = Load(source, rows);
  std::map<int32_t, TnxBlobNr> sourceBlobs;
  for (const auto& [refNr, record] : Stored(source)) sourceBlobs[Int32Of(source, record, kID)] = BlobOf(source, record);

  struct Case {
    const char* Name;
    TnxBlobCopyMode Mode;
  };
  const Case cases[] = {{"null", nxbcmNoCopy}, {"full", nxbcmCopyFull}, {"link", nxbcmCreateLink}};
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TnxServerBaseTable* dest = Build(u"Dst" + platform::Utf8ToUtf16(std::to_string(n++)));
    BulkCursor* from = NewCursor(source);
    BulkCursor* to = NewCursor(dest);
    ASSERT_EQ(from->CopyRecordsEx(to, c.Mode, 0, true), 0u) << LastMessage();
    const auto copied = Stored(dest);
    ASSERT_EQ(copied.size(), rows.size());
    for (const auto& [refNr, record] : copied) {
      const int32_t id = Int32Of(dest, record, kID);
      const Row& row = rows[size_t(id - 1)];
      EXPECT_EQ(Int32Of(dest, record, kGrp), row.Grp);
      const TnxBlobNr blob = BlobOf(dest, record);
      if (c.Mode == nxbcmNoCopy || row.Data.empty()) {
        EXPECT_EQ(blob, 0u) << id;
        continue;
      }
      ASSERT_NE(blob, 0u) << id;
      std::u16string linkedTable;
      TnxBlobNr linkedNr = 0;
      const bool isLink = dest->BlobEngine()->IsBlobLink(nullptr, blob, linkedTable, linkedNr);
      if (c.Mode == nxbcmCreateLink) {
        EXPECT_TRUE(isLink) << id;
        EXPECT_EQ(linkedTable, source->FullName());
        EXPECT_EQ(linkedNr, sourceBlobs[id]);
      } else {
        EXPECT_FALSE(isLink) << id;
        EXPECT_TRUE(BlobText(dest, blob) == row.Data) << id;
      }
    }
    ExpectIndicesWhole(dest);
    // Inserts are announced like single ones: before without, after with
    // the new RefNr.
    EXPECT_EQ(to->notes, (std::vector<std::string>{"insert before 1 new", "insert after 1 stored",
                                                   "insert before 2 new", "insert after 2 stored",
                                                   "insert before 3 new", "insert after 3 stored"}));
  }
  EXPECT_EQ(Stored(source).size(), loaded.size());
}

TEST_F(BulkTest, CopyCopiesOnlyTheViewAndPutsBothPathsBack) {
  TnxServerBaseTable* source = Build(u"Src");
  TnxServerBaseTable* dest = Build(u"Dst");
  Load(source, Rows(20));
  BulkCursor* from = NewCursor(source);
  ASSERT_EQ(RangeOnID(from, source, 5, 9, false), 0u) << LastMessage();
  std::vector<uint8_t> buffer(size_t(Fields(source).RecordLength()) + 16);
  ASSERT_EQ(from->RecordGetNext(nxltNoLock, buffer.data()), 0u);
  ASSERT_EQ(from->RecordGetNext(nxltNoLock, buffer.data()), 0u);
  const TnxRefNr before = from->IndexPath()->RefNr;
  ASSERT_EQ(from->CopyRecordsEx(NewCursor(dest), nxbcmCopyFull, 0, true), 0u) << LastMessage();
  EXPECT_EQ(IDs(dest), (std::vector<int32_t>{5, 6, 7, 8}));
  EXPECT_EQ(from->IndexPath()->RefNr, before);
  ASSERT_EQ(from->RecordGetNext(nxltNoLock, buffer.data()), 0u);
  EXPECT_EQ(Int32Of(source, buffer, kID), 7);
}

// A veto at the fourth insert: with one transaction nothing is kept, with
// aMaxTransSize 1 every record before it was committed on its own, with
// the auto-increment value at the largest copied so far.
TEST_F(BulkTest, CopyCommitsInSteps) {
  struct Case {
    int32_t MaxTransSize;
    uint32_t DestAutoInc;
    std::vector<int32_t> Kept;
    uint32_t AutoIncAfter;
  };
  const Case cases[] = {
      {0, 20, {}, 20},
      {1, 20, {1, 2, 3}, 70},
      {1, 100, {1, 2, 3}, 100},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(n);
    const std::u16string tag = platform::Utf8ToUtf16(std::to_string(n++));
    TnxServerBaseTable* source = Build(u"Src" + tag);
    TnxServerBaseTable* dest = Build(u"Dst" + tag);
    Load(source, {{1, 0, 30, ""}, {2, 0, 70, ""}, {3, 0, 50, ""}, {4, 0, 90, ""}, {5, 0, 10, ""}});
    BulkCursor* to = NewCursor(dest);
    ASSERT_EQ(to->AutoIncSet(c.DestAutoInc), 0u) << LastMessage();
    std::vector<int32_t> levelBlocks;
    to->onNote = [&](const std::string& aNote) {
      if (aNote.rfind("insert before", 0) == 0) levelBlocks.push_back(to->ActiveTrans()->TransLevel()->BlockCount());
    };
    to->vetoAt = 7;  // the fourth record's "before"
    EXPECT_EQ(NewCursor(source)->CopyRecordsEx(to, nxbcmCopyFull, c.MaxTransSize, true), 15001u);
    EXPECT_EQ(Context().stcTransaction(), nullptr);
    EXPECT_EQ(IDs(dest), c.Kept);
    ExpectIndicesWhole(dest);
    uint32_t autoInc = 0;
    ASSERT_EQ(to->AutoIncGet(autoInc, false), 0u);
    EXPECT_EQ(autoInc, c.AutoIncAfter);
    // Each step starts on an empty level when the copy commits per record.
    if (c.MaxTransSize == 1) {
      EXPECT_EQ(levelBlocks, (std::vector<int32_t>{0, 0, 0, 0}));
    }
  }
}

TEST_F(BulkTest, CopyLeavesTheLargestAutoIncCopied) {
  TnxServerBaseTable* source = Build(u"Src");
  TnxServerBaseTable* dest = Build(u"Dst");
  Load(source, {{1, 0, 30, ""}, {2, 0, 70, ""}, {3, 0, 0, ""}});
  BulkCursor* to = NewCursor(dest);
  ASSERT_EQ(to->AutoIncSet(40), 0u);
  ASSERT_EQ(NewCursor(source)->CopyRecordsEx(to, nxbcmCopyFull, 1, true), 0u) << LastMessage();
  uint32_t autoInc = 0;
  ASSERT_EQ(to->AutoIncGet(autoInc, false), 0u);
  EXPECT_EQ(autoInc, 70u);
  // The next insert of the destination continues above it.
  std::vector<uint8_t> record = Record(dest, {4, 0, 0, ""}, 0);
  int64_t assigned = 0;
  ASSERT_EQ(to->RecordInsert(nxltNoLock, record.data(), &assigned), 0u) << LastMessage();
  EXPECT_EQ(assigned, 71);
}

TEST_F(BulkTest, CopyInsideTheCallersTransactionGoesWithItsRollback) {
  TnxServerBaseTable* source = Build(u"Src");
  TnxServerBaseTable* dest = Build(u"Dst");
  Load(source, Rows(4));
  ASSERT_EQ(db->TransactionStart(false, false), 0u) << LastMessage();
  ASSERT_EQ(NewCursor(source)->CopyRecordsEx(NewCursor(dest), nxbcmCopyFull, 0, true), 0u) << LastMessage();
  EXPECT_EQ(IDs(dest, Context().stcTransaction()).size(), 4u);
  ASSERT_EQ(db->TransactionRollback(), 0u);
  EXPECT_TRUE(Stored(dest).empty());
}

TEST_F(BulkTest, CopyStopsAtADuplicateKeyAndKeepsNothing) {
  TnxServerBaseTable* source = Build(u"Src");
  TnxServerBaseTable* dest = Build(u"Dst");
  Load(source, Rows(5));
  Load(dest, {{3, 0, 0, ""}});
  EXPECT_EQ(NewCursor(source)->CopyRecordsEx(NewCursor(dest), nxbcmCopyFull, 0, true), 9729u);
  EXPECT_EQ(IDs(dest), (std::vector<int32_t>{3}));
  ExpectIndicesWhole(dest);
}

// ---- bulk delete ----

TEST_F(BulkTest, DeleteInsideARangeBuriesExactlyThoseRecords) {
  for (const bool onIndex : {true, false}) {
    SCOPED_TRACE(onIndex ? "by ID" : "record order");
    const std::u16string name = onIndex ? u"Range" : u"Plain";
    TnxServerBaseTable* table = Build(name);
    const std::vector<TnxRefNr> refNrs = Load(table, Rows(40));
    BulkCursor* cursor = NewCursor(table, onIndex ? u"ByID" : u"");
    std::multiset<TnxRefNr> expected;
    std::vector<int32_t> kept;
    if (onIndex) {
      ASSERT_EQ(RangeOnID(cursor, table, 11, 30, true), 0u) << LastMessage();
      for (int32_t id = 1; id <= 40; ++id)
        if (id >= 11 && id <= 30) expected.insert(refNrs[size_t(id - 1)]);
        else kept.push_back(id);
    } else {
      expected.insert(refNrs.begin(), refNrs.end());
    }
    ASSERT_EQ(cursor->DeleteRecords(), 0u) << LastMessage();
    EXPECT_EQ(IDs(table), kept);
    ExpectIndicesWhole(table);
    EXPECT_EQ(IndexRefNrs(*cursor->GraveyardLSNIndexEngine()), expected);
    EXPECT_EQ(cursor->Count("delete after"), int(expected.size()));
    EXPECT_EQ(Context().stcTransaction(), nullptr);
  }
}

// The deadline is tested after records 1, 501, 1001, ...: a deadline that
// passes in between stops the run at the next of them, and nothing is
// deleted.
TEST_F(BulkTest, DeleteTestsTheDeadlineEvery500Records) {
  TFakeDeadlineClock clock;
  nxSetTimeout(0, true);
  TnxServerBaseTable* table = Build(u"Many");
  Load(table, Rows(1100));
  struct Case {
    int PassAt;
    int Deleted;
  };
  for (const Case c : {Case{2, 501}, Case{600, 1001}}) {
    SCOPED_TRACE(c.PassAt);
    BulkCursor* cursor = NewCursor(table);
    cursor->onNote = [&, seen = 0](const std::string& aNote) mutable {
      if (aNote.rfind("delete before", 0) == 0 && ++seen == c.PassAt) TFakeDeadlineClock::Advance(60'000);
    };
    EXPECT_EQ(cursor->DeleteRecords(), nxeTimeout) << LastMessage();
    // The frame leaves its passed deadline on the thread.
    nxSetTimeout(0, true);
    EXPECT_EQ(cursor->Count("delete after"), c.Deleted);
    EXPECT_EQ(IDs(table).size(), 1100u);
    EXPECT_TRUE(IndexRefNrs(*cursor->GraveyardLSNIndexEngine()).empty());
  }
  ExpectIndicesWhole(table);
}

TEST_F(BulkTest, DeleteFailuresUndoTheRun) {
  struct Case {
    const char* Name;
    bool CallersTransaction;
    int VetoAt;         // a notification vetoed (0: none)
    bool LockedRecord;  // record 4 locked by another cursor of the session
    uint32_t Code;
  };
  const Case cases[] = {
      {"veto before, own", false, 5, false, 15001},
      {"veto after, own", false, 6, false, 15001},
      {"locked record, own", false, 0, true, 10254},
      {"veto before, caller's", true, 5, false, 15001},
      {"locked record, caller's", true, 0, true, 10254},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    TnxServerBaseTable* table = Build(u"Fail" + platform::Utf8ToUtf16(std::to_string(n++)));
    const std::vector<TnxRefNr> refNrs = Load(table, Rows(6));
    BulkCursor* cursor = NewCursor(table);
    BulkCursor* other = NewCursor(table);
    if (c.LockedRecord) {
      ASSERT_EQ(table->Locks().GetRecordLock(nullptr, other, refNrs[3], true, nullptr), lrGrantedNew);
    }
    cursor->vetoAt = c.VetoAt;
    if (c.CallersTransaction) {
      ASSERT_EQ(db->TransactionStart(false, false), 0u);
    }
    EXPECT_EQ(cursor->DeleteRecords(), c.Code) << LastMessage();
    if (c.CallersTransaction) {
      EXPECT_EQ(db->TransactionCommit(), nxeTransactionCorrupt);
      if (Context().stcTransaction()) db->TransactionRollback();
    }
    EXPECT_EQ(Context().stcTransaction(), nullptr);
    EXPECT_EQ(IDs(table).size(), 6u);
    ExpectIndicesWhole(table);
    EXPECT_TRUE(IndexRefNrs(*cursor->GraveyardLSNIndexEngine()).empty());
    // No record lock of the run is left behind.
    for (TnxRefNr refNr : refNrs) {
      const TnxLockResult granted = table->Locks().GetRecordLock(nullptr, other, refNr, true, nullptr);
      EXPECT_TRUE(granted == lrGrantedNew || granted == lrGrantedExisting) << refNr;
    }
  }
}

// Inside the caller's transaction each record lock goes back with that
// transaction: the lock container keeps the table for it, so another
// session gets no record lock until it ends.
TEST_F(BulkTest, DeleteHandsTheRecordLocksBackWithTheTransaction) {
  TnxServerBaseTable* table = Build(u"Locks");
  const std::vector<TnxRefNr> refNrs = Load(table, Rows(6));
  BulkCursor* cursor = NewCursor(table);
  ASSERT_EQ(RangeOnID(cursor, table, 1, 3, true), 0u);
  BulkCursor* foreign = NewCursor(table, u"ByID", SecondDatabase());
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  ASSERT_EQ(cursor->DeleteRecords(), 0u) << LastMessage();
  EXPECT_EQ(table->Locks().GetRecordLock(foreign->ActiveTrans(), foreign, refNrs[4], true, nullptr),
            lrConflictTransaction);
  ASSERT_EQ(db->TransactionCommit(), 0u) << LastMessage();
  EXPECT_EQ(table->Locks().GetRecordLock(foreign->ActiveTrans(), foreign, refNrs[4], true, nullptr), lrGrantedNew);
  EXPECT_EQ(IDs(table), (std::vector<int32_t>{4, 5, 6}));
}

TEST_F(BulkTest, DeleteOnAReadOnlyCursorIsRefused) {
  TnxServerBaseTable* table = Build(u"RO");
  Load(table, Rows(3));
  auto cursor = nxCreateServerObject<TnxServerTableCursor>(db, table, 10000u, omReadOnly, smShared, u"ByID", -1, false,
                                                           false);
  cursors_.push_back(cursor.get());
  EXPECT_NE(cursor.release()->DeleteRecords(), 0u);
  EXPECT_EQ(IDs(table).size(), 3u);
}

// ---- sort ----

// A sort engine class whose buffer holds a few records, so that sorts of
// hundreds write runs.
struct SmallSort {
  static std::unique_ptr<TnxBaseSortEngine> Create(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                                   TnxIndexDescriptor& aIndexDesc) {
    return std::make_unique<TnxMergeSortEngine>(aDB, aDict, aIndexDesc, 4096);
  }
  static inline const TnxSortEngineClass Class{u"SmallSort", &Create};

  // Counts the runs made through the real creator.
  static inline TnxSortRunCreator Real = nullptr;
  static inline int Runs = 0;
  static TnxServerObjectPtr<TnxAbstractCursor> CountRun(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                                        uint32_t aTimeout) {
    ++Runs;
    return Real(aDB, aDict, aTimeout);
  }
};

// A merge engine whose Get fails at call FailAt with 15001.
class FailingSort : public TnxMergeSortEngine {
public:
  using TnxMergeSortEngine::TnxMergeSortEngine;
  uint32_t Get(PnxRecordBuffer aRecord) override {
    if (++gets == FailAt) return 15001;
    return TnxMergeSortEngine::Get(aRecord);
  }
  static std::unique_ptr<TnxBaseSortEngine> Create(TnxAbstractDatabase* aDB, TnxDataDictionary& aDict,
                                                   TnxIndexDescriptor& aIndexDesc) {
    return std::make_unique<FailingSort>(aDB, aDict, aIndexDesc);
  }
  static inline const TnxSortEngineClass Class{u"FailingSort", &Create};
  static inline int FailAt = 0;
  int gets = 0;
};

class SortTest : public BulkTest {
protected:
  SortTest() : previous_(nxDefaultSortEngineClass()) {}
  ~SortTest() override { nxSetDefaultSortEngineClass(previous_); }

  TnxIndexDescriptor* ByGrp(TnxServerBaseTable* aTable) {
    TnxBaseIndicesDescriptor* indices = aTable->TableDescriptor()->IndicesDescriptor();
    return indices->IndexDescriptor(indices->GetIndexFromName(u"ByGrp"));
  }
  // Record order follows Grp; the IDs are all there.
  void ExpectSortedByGrp(TnxServerBaseTable* aTable, size_t aCount) {
    std::vector<int32_t> groups;
    for (const auto& [refNr, record] : Stored(aTable)) groups.push_back(Int32Of(aTable, record, kGrp));
    EXPECT_EQ(groups.size(), aCount);
    EXPECT_TRUE(std::is_sorted(groups.begin(), groups.end()));
    std::vector<int32_t> want(aCount);
    for (size_t i = 0; i < aCount; ++i) want[i] = int32_t(i + 1);
    EXPECT_EQ(IDs(aTable), want);
    ExpectIndicesWhole(aTable);
  }

  const TnxSortEngineClass* previous_;
};

// The cursor's range does not narrow the sort: every record stays, in
// Grp order.
TEST_F(SortTest, ASortUnderARangeKeepsTheRecordsOutsideIt) {
  TnxServerBaseTable* table = Build(u"Sort");
  Load(table, Rows(60, 9));
  BulkCursor* cursor = NewCursor(table);
  ASSERT_EQ(RangeOnID(cursor, table, 10, 20, true), 0u);
  ASSERT_EQ(cursor->Sort(ByGrp(table)), 0u) << LastMessage();
  ExpectSortedByGrp(table, 60);
  EXPECT_EQ(Context().stcTransaction(), nullptr);
  // The range still holds and reads the records through the rebuilt keys.
  std::vector<uint8_t> buffer(size_t(Fields(table).RecordLength()) + 16);
  int inRange = 0;
  while (cursor->RecordGetNext(nxltNoLock, buffer.data()) == 0) ++inRange;
  EXPECT_EQ(inRange, 11);
}

// Runs are result-set tables written from inside the sort's own frame and
// transaction; their cursors' frames take the session lock again.
TEST_F(SortTest, ASortThatNeedsRunsWorksFromInsideTheCursorFrame) {
  nxSetDefaultSortEngineClass(&SmallSort::Class);
  SmallSort::Real = nxSortRunCreator();
  SmallSort::Runs = 0;
  nxSetSortRunCreator(&SmallSort::CountRun);
  TnxServerBaseTable* table = Build(u"Runs");
  std::vector<Row> rows = Rows(800, 37);
  std::mt19937 random(99);
  std::shuffle(rows.begin(), rows.end(), random);
  Load(table, rows);
  const int32_t tables = Folder().TableCount();
  BulkCursor* cursor = NewCursor(table);
  const uint32_t sorted = cursor->Sort(ByGrp(table));
  nxSetSortRunCreator(SmallSort::Real);
  ASSERT_EQ(sorted, 0u) << LastMessage();
  // More than five runs: an intermediate merge writes one more.
  EXPECT_GT(SmallSort::Runs, 6);
  ExpectSortedByGrp(table, 800);
  EXPECT_EQ(Folder().TableCount(), tables);
  EXPECT_EQ(cursor->IndexPath()->Position, ippBof);
}

TEST_F(SortTest, WithoutASortEngineNothingChanges) {
  nxSetDefaultSortEngineClass(nullptr);
  TnxServerBaseTable* table = Build(u"None");
  Load(table, Rows(5));
  const auto before = Stored(table);
  EXPECT_EQ(NewCursor(table)->Sort(ByGrp(table)), nxeCapabilityNotSupported);
  EXPECT_EQ(Stored(table), before);
}

// A failure while the records are replaced takes the whole sort back:
// records, keys and their order as before.
TEST_F(SortTest, AFailedReplaceLeavesTheTableAsItWas) {
  nxSetDefaultSortEngineClass(&FailingSort::Class);
  FailingSort::FailAt = 10;
  TnxServerBaseTable* table = Build(u"Fails");
  Load(table, Rows(30, 4));
  const auto before = Stored(table);
  BulkCursor* cursor = NewCursor(table);
  EXPECT_EQ(cursor->Sort(ByGrp(table)), 15001u);
  EXPECT_EQ(Stored(table), before);
  ExpectIndicesWhole(table);
  EXPECT_EQ(Context().stcTransaction(), nullptr);
}

// ---- recovering one record ----

// The recover task's callback on records of a damaged table: each goes to
// the target, or with its failure to the failed-records table; one that
// fails on both is rolled back alone and counted, and the walk goes on.
TEST_F(BulkTest, RecoveredRecordsGoToTheTargetOrTheFailedTable) {
  TnxServerBaseTable* source = Build(u"Dmg");
  TnxServerBaseTable* target = Build(u"Dmg_Recovered");
  TnxServerBaseTable* failed = Build(u"Dmg_Failed");
  Load(source, {{1, 0, 0, "one"}, {2, 0, 0, "two"}, {3, 0, 0, "three"}, {4, 0, 0, "four"}});
  Load(target, {{2, 9, 0, ""}, {4, 9, 0, ""}});
  Load(failed, {{4, 9, 0, ""}});
  BulkCursor* from = NewCursor(source);
  const std::vector<int32_t> blobFields = {kData};
  TnxRecoverContext context;
  context.rcTarget = NewCursor(target);
  context.rcFailed = NewCursor(failed);
  context.rcBlobFields = &blobFields;
  ASSERT_EQ(Context().stcTransactionStart(false, false, false, false, false, false), 0u);
  context.rcTransLevels = 1;

  std::map<int32_t, std::pair<TnxRefNr, std::vector<uint8_t>>> records;
  for (const auto& [refNr, record] : Stored(source)) records[Int32Of(source, record, kID)] = {refNr, record};
  // Record 3's blob cannot be read.
  const TnxBlobNr unreadable = 0x7FFF0000;
  Fields(source).SetRecordField(kData, records[3].second.data(), &unreadable);

  struct Case {
    int32_t ID;
    TnxRecordIteratorResult Answer;
    uint32_t Result;
    int32_t Levels;
  };
  for (const Case& c : {Case{1, rirContinue, 0, 1}, Case{2, rirContinue, 0, 1}, Case{3, rirContinue, 0, 1},
                        Case{4, rirContinue, 0, 1}}) {
    SCOPED_TRACE(c.ID);
    auto& [refNr, record] = records[c.ID];
    EXPECT_EQ(from->Recover(context, refNr, record.data()), c.Answer);
    EXPECT_EQ(context.rcResult, c.Result);
    EXPECT_EQ(context.rcTransLevels, c.Levels);
  }
  EXPECT_EQ(context.rcLostRecords, 1u);
  EXPECT_EQ(context.rcFirstLoss, 9729u);
  // A set result stops every later call at once.
  context.rcResult = kVetoForStop;
  EXPECT_EQ(from->Recover(context, records[1].first, records[1].second.data()), rirStop);
  EXPECT_EQ(context.rcTransLevels, 1);
  // Only the outer transaction is left; the task commits it.
  ASSERT_EQ(Context().stcTransactionCommit(), 0u) << LastMessage();
  EXPECT_EQ(Context().stcTransaction(), nullptr);

  const auto blobsByID = [&](TnxServerBaseTable* aTable) {
    std::map<int32_t, std::string> byID;
    for (const auto& [refNr, record] : Stored(aTable)) {
      const TnxBlobNr blob = BlobOf(aTable, record);
      byID[Int32Of(aTable, record, kID)] = Int32Of(aTable, record, kGrp) == 9 ? "loaded"
                                           : blob == 0                        ? "null"
                                                                              : BlobText(aTable, blob);
    }
    return byID;
  };
  EXPECT_EQ(blobsByID(target), (std::map<int32_t, std::string>{{1, "one"}, {2, "loaded"}, {4, "loaded"}}));
  EXPECT_EQ(blobsByID(failed), (std::map<int32_t, std::string>{{2, "two"}, {3, "null"}, {4, "loaded"}}));
  ExpectIndicesWhole(target);
  ExpectIndicesWhole(failed);
}

}  // namespace
}  // namespace revurov::testing
