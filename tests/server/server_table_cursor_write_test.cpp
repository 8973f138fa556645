// The table cursor's record insert, modify and delete: the order of each
// write, what a failure at each step leaves (in an own and in the caller's
// transaction), the special fields, the graveyard and the changed tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/diff_compressor.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/filter_engines.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "engine/deadline_hooks.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "server/table_lock_container.h"
#include "storage/deadline.h"
#include "storage/sub_engines.h"
#include "support/fault_file_ops.h"
#include "support/table_ops_fixture.h"

namespace revurov::testing {
namespace {

// Logs every notification of a write and vetoes the one numbered vetoAt
// (1-based) with vetoCode.
class WriteCursor : public TnxServerTableCursor {
  REVUROV_SERVER_OBJECT_CLASS(WriteCursor, TnxServerTableCursor)
  using TnxServerTableCursor::TnxServerTableCursor;

  uint32_t NotifyExtenders(TnxEngineAction aAction, bool aBefore, TnxEngineArgs aArgs) override {
    if (aAction != eaRecordInsert && aAction != eaRecordModify && aAction != eaRecordDelete)
      return TnxServerTableCursor::NotifyExtenders(aAction, aBefore, aArgs);
    std::string line = aAction == eaRecordInsert ? "insert" : aAction == eaRecordModify ? "modify" : "delete";
    line += aBefore ? " before" : " after";
    for (const TnxEngineArg& arg : aArgs) {
      switch (arg.eaKind) {
        case TnxEngineArg::Integer:
          line += " " + std::to_string(arg.eaInteger);
          break;
        case TnxEngineArg::Boolean:
          line += arg.eaBoolean ? " true" : " false";
          break;
        case TnxEngineArg::Pointer:
          line += arg.eaPointer == watched ? " rec" : arg.eaPointer == Stored() ? " stored" : " ptr";
          break;
        default:
          line += " ?";
      }
    }
    notes.push_back(line);
    if (++calls == vetoAt) return EnxBaseException::nxSetMessage(vetoCode, u"Vetoed by the test");
    return TnxServerTableCursor::NotifyExtenders(aAction, aBefore, aArgs);
  }
  const void* Stored() const { return sbcRecordBuffer; }

  std::vector<std::string> notes;
  const void* watched = nullptr;
  int calls = 0;
  int vetoAt = 0;
  uint32_t vetoCode = 15001;

protected:
  ~WriteCursor() override = default;
};

struct Row {
  Row() = default;
  Row(int32_t aID, std::optional<std::string> aName = {}, std::optional<int32_t> aCode = {},
      std::optional<int32_t> aReq = 1)
      : ID(aID), Name(std::move(aName)), Code(aCode), Req(aReq) {}
  int32_t ID = 0;
  std::optional<std::string> Name;
  std::optional<int32_t> Code;
  std::optional<int32_t> Req = 1;
};

bool operator==(const Row& a, const Row& b) {
  return a.ID == b.ID && a.Name == b.Name && a.Code == b.Code && a.Req == b.Req;
}

constexpr TnxInsertOptions kDefaultOptions = (1u << ioSetDefault) | (1u << ioSetAutoInc) | (1u << ioValidate);
constexpr TnxInsertOptions kModifyIfFound = kDefaultOptions | (1u << ioModifyIfFound);

// Fields ID, Name (ShortString), Code, Req (required), Seq (AutoInc), Rev
// (RecRev) and the cacheable layout's $ModifyLSN, $InsertLSN and $RefNr;
// indices ByID (unique), ByName (duplicates), ByCode (duplicates of null
// only); the graveyard.
std::unique_ptr<TnxDataDictionary> WriteDictionary() {
  auto dict = std::make_unique<TnxDataDictionary>();
  auto& fields = dict->FieldsDescriptor();
  fields.AddField(u"ID", u"", nxtInt32, 0, 0, false);
  fields.AddField(u"Name", u"", nxtShortString, 12, 0, false);
  fields.AddField(u"Code", u"", nxtInt32, 0, 0, false);
  fields.AddField(u"Req", u"", nxtInt32, 0, 0, true);
  fields.AddField(u"Seq", u"", nxtAutoInc, 0, 0, false);
  fields.AddField(u"Rev", u"", nxtRecRev, 0, 0, false);
  dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
  if (!dict->AutoIncDescriptor()) dict->AddAutoIncDescriptor();
  auto* indices = dict->EnsureIndicesDescriptor();
  auto key = [&](std::u16string_view aName, TnxIndexDups aDups, int32_t aField) {
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(aName, 1, aDups, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(aField);
  };
  key(u"ByID", idNone, 0);
  key(u"ByName", idAll, 1);
  key(u"ByCode", idNull, 2);
  indices->SetDefaultIndex(indices->GetIndexFromName(u"ByID"));
  dict->MakeCacheable(true);
  return dict;
}

class WriteTest : public TableOpsFixture {
public:
  WriteTest() { BuildTable(); }
  ~WriteTest() override { FreeCursors(); }

  void FreeCursors() {
    for (TnxServerTableCursor* cursor : cursors_) cursor->Free();
    cursors_.clear();
  }

  // A new table of the layout, "W" first, then "W2", "W3" ...
  void BuildTable() {
    auto dict = WriteDictionary();
    name_ = u"W";
    if (++tables_ > 1) name_ += platform::Utf8ToUtf16(std::to_string(tables_));
    ASSERT_EQ(db->TableBuild(false, name_, u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    OpenTable();
  }
  void OpenTable() {
    TnxAbstractCursor* cursor = nullptr;
    ASSERT_EQ(db->CursorOpen(cursor, name_, u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u)
        << LastMessage();
    cursors_.push_back(static_cast<TnxServerTableCursor*>(cursor));
    table_ = cursors_.back()->Table();
  }

  WriteCursor* NewCursor(std::u16string_view aIndex = u"ByID", TnxServerDatabase* aDatabase = nullptr) {
    auto cursor = nxCreateServerObject<WriteCursor>(aDatabase ? aDatabase : db, table_, 10000u, omReadWrite,
                                                    smShared, aIndex, -1, false, false);
    cursors_.push_back(cursor.get());
    return cursor.release();
  }

  TnxFieldsDescriptor& Fields() { return *table_->FieldsDescriptor(); }
  int32_t Field(std::u16string_view aName) { return Fields().GetFieldFromName(aName); }

  std::vector<uint8_t> Record(const Row& aRow) {
    std::vector<uint8_t> record(size_t(Fields().RecordLength()), 0);
    Fields().InitRecord(record.data());
    Fields().SetRecordField(0, record.data(), &aRow.ID);
    if (aRow.Name) {
      uint8_t text[16] = {};
      text[0] = uint8_t(aRow.Name->size());
      std::memcpy(text + 1, aRow.Name->data(), aRow.Name->size());
      Fields().SetRecordField(1, record.data(), text);
    }
    if (aRow.Code) Fields().SetRecordField(2, record.data(), &*aRow.Code);
    if (aRow.Req) Fields().SetRecordField(3, record.data(), &*aRow.Req);
    return record;
  }
  Row RowOf(const uint8_t* aRecord) {
    Row row;
    bool isNull = true;
    int32_t value = 0;
    Fields().GetRecordField(0, aRecord, isNull, &value);
    row.ID = value;
    uint8_t text[16] = {};
    Fields().GetRecordField(1, aRecord, isNull, text);
    if (!isNull) row.Name = std::string(reinterpret_cast<char*>(text + 1), text[0]);
    Fields().GetRecordField(2, aRecord, isNull, &value);
    if (!isNull) row.Code = value;
    Fields().GetRecordField(3, aRecord, isNull, &value);
    row.Req = isNull ? std::nullopt : std::optional<int32_t>(value);
    return row;
  }
  int64_t Int64Of(const uint8_t* aRecord, std::u16string_view aField) {
    bool isNull = true;
    int64_t value = 0;
    Fields().GetRecordField(Field(aField), aRecord, isNull, &value);
    return isNull ? -1 : value;
  }
  int64_t Word32Of(const uint8_t* aRecord, std::u16string_view aField) {
    bool isNull = true;
    uint32_t value = 0;
    Fields().GetRecordField(Field(aField), aRecord, isNull, &value);
    return isNull ? -1 : int64_t(value);
  }

  // The stored records by RefNr, read through the record engine.
  std::map<TnxRefNr, std::vector<uint8_t>> Stored(TnxBaseTransaction* aTrans = nullptr) {
    std::map<TnxRefNr, std::vector<uint8_t>> records;
    const size_t length = size_t(Fields().RecordLength());
    TnxRefNr from = 0;
    PnxRecordBuffer data = nullptr;
    table_->RecordEngine()->Iterate(
        aTrans, from, &data,
        [&](void*, TnxRefNr aRefNr, PnxRecordBuffer aData) {
          const auto* bytes = static_cast<const uint8_t*>(aData);
          records[aRefNr] = std::vector<uint8_t>(bytes, bytes + length);
          return rirContinue;
        },
        nullptr, nullptr, false, false);
    return records;
  }
  std::map<TnxRefNr, std::vector<uint8_t>> StoredIn(TnxServerTableCursor& aCursor) {
    return Stored(aCursor.ActiveTrans());
  }

  // The RefNrs an index lists, from its dump.
  std::multiset<TnxRefNr> IndexRefNrs(TnxBaseIndexEngine& aIndex, TnxBaseTransaction* aTrans) {
    platform::TStringList lines;
    aIndex.SaveAll(aTrans, lines);
    std::multiset<TnxRefNr> refNrs;
    for (int i = 0; i < lines.Count(); ++i)
      refNrs.insert(TnxRefNr(std::stoull(platform::Utf16ToUtf8(lines[i]).substr(0, 16), nullptr, 16)));
    return refNrs;
  }

  // The records are aModel, and every index lists every record once; each
  // record's key finds it in the unique index.
  void ExpectTable(const std::vector<Row>& aModel, TnxBaseTransaction* aTrans = nullptr) {
    auto records = Stored(aTrans);
    std::vector<Row> rows;
    std::multiset<TnxRefNr> refNrs;
    for (const auto& [refNr, record] : records) {
      rows.push_back(RowOf(record.data()));
      refNrs.insert(refNr);
    }
    std::vector<Row> model = aModel;
    auto byID = [](const Row& a, const Row& b) { return a.ID < b.ID; };
    std::sort(rows.begin(), rows.end(), byID);
    std::sort(model.begin(), model.end(), byID);
    EXPECT_TRUE(rows == model) << "records " << rows.size() << ", model " << model.size();
    TnxBaseIndicesEngine& indices = *table_->IndicesEngine();
    for (int32_t i = 0; i < indices.IndexCount(); ++i)
      EXPECT_EQ(IndexRefNrs(indices.Indices(i), aTrans), refNrs) << "index " << i;
    TnxBaseIndexEngine& unique = indices.Indices(0);
    auto path = unique.CreateIndexPath();
    std::vector<uint8_t> key(unique.KeyEngine().KeyLength());
    for (const auto& [refNr, record] : records) {
      ASSERT_EQ(unique.KeyEngine().BuildKey(record.data(), key.data(), refNr, true), 0u);
      EXPECT_TRUE(unique.FindKey(aTrans, key.data(), 0, 0, 0, *path, skaAnyEqual, nullptr));
      EXPECT_EQ(path->RefNr, refNr);
    }
  }

  uint32_t Insert(TnxServerTableCursor& aCursor, const Row& aRow, TnxInsertOptions aOptions = kDefaultOptions,
                  TnxLockType aLock = nxltNoLock, int64_t* aAutoInc = nullptr) {
    std::vector<uint8_t> record = Record(aRow);
    return aCursor.sbcRecordInsert(aLock, aOptions, record.data(), aAutoInc);
  }
  // The cursor onto the record of aID (its index must be ByID), as a
  // read would leave it.
  void SetTo(TnxServerTableCursor& aCursor, int32_t aID) {
    std::vector<uint8_t> record = Record(Row{aID});
    TnxBaseIndexEngine& index = *aCursor.IndexEngine();
    std::vector<uint8_t> key(index.KeyEngine().KeyLength());
    ASSERT_EQ(index.KeyEngine().BuildKey(record.data(), key.data(), 0, true), 0u);
    ASSERT_TRUE(index.FindKey(aCursor.ActiveTrans(), key.data(), 0, 0, 0, *aCursor.IndexPath(), skaAnyEqual,
                              nullptr));
    ASSERT_TRUE(aCursor.IndexPath()->IsOnKey());
  }
  std::vector<uint8_t> StoredOf(int32_t aID, TnxRefNr* aRefNr = nullptr) {
    for (auto& [refNr, record] : Stored())
      if (RowOf(record.data()).ID == aID) {
        if (aRefNr) *aRefNr = refNr;
        return record;
      }
    ADD_FAILURE() << "no record " << aID;
    return {};
  }

  std::vector<TnxServerTableCursor*> cursors_;
  TnxServerBaseTable* table_ = nullptr;
  std::u16string name_;
  int tables_ = 0;
};

// ---- insert ----

TEST_F(WriteTest, InsertSetsTheSpecialFieldsAndNotifiesBeforeAndAfter) {
  WriteCursor* cursor = NewCursor();
  std::vector<uint8_t> record = Record(Row{7, "seven", 70});
  cursor->watched = record.data();
  int64_t autoInc = 0;
  ASSERT_EQ(cursor->sbcRecordInsert(nxltWriteLock, kDefaultOptions, record.data(), &autoInc), 0u) << LastMessage();
  EXPECT_EQ(autoInc, 1);
  TnxRefNr refNr = 0;
  std::vector<uint8_t> stored = StoredOf(7, &refNr);
  EXPECT_EQ(Word32Of(stored.data(), u"Seq"), 1);
  EXPECT_EQ(Word32Of(stored.data(), u"Rev"), 0);
  EXPECT_EQ(Int64Of(stored.data(), u"$RefNr"), int64_t(refNr));
  const int64_t lsn = Int64Of(stored.data(), u"$ModifyLSN");
  EXPECT_GT(lsn, 0);
  EXPECT_EQ(Int64Of(stored.data(), u"$InsertLSN"), lsn);
  EXPECT_EQ(cursor->notes, (std::vector<std::string>{"insert before 2 rec 0",
                                                      "insert after 2 rec " + std::to_string(refNr)}));
  // Positioned on the new record and holding its lock; no own transaction left.
  EXPECT_TRUE(cursor->IndexPath()->IsOnKey());
  EXPECT_EQ(cursor->IndexPath()->RefNr, refNr);
  EXPECT_EQ(table_->Locks().IsRecordLocked(cursor, refNr), lpYesByUs);
  EXPECT_EQ(cursor->ActiveTrans(), nullptr);
  EXPECT_EQ(table_->Locks().State().RecordLocks.size(), 1u) << "the writer lock went";

  // A given auto-increment value stays and counts as not assigned.
  std::vector<uint8_t> given = Record(Row{8});
  const uint32_t fifty = 50;
  Fields().SetRecordField(Field(u"Seq"), given.data(), &fifty);
  ASSERT_EQ(cursor->sbcRecordInsert(nxltNoLock, kDefaultOptions, given.data(), &autoInc), 0u);
  EXPECT_EQ(autoInc, -1);
  EXPECT_EQ(Word32Of(StoredOf(8).data(), u"Seq"), 50);
  // The public operation goes the same way.
  std::vector<uint8_t> third = Record(Row{9});
  ASSERT_EQ(cursor->RecordInsert(nxltNoLock, third.data(), &autoInc), 0u) << LastMessage();
  EXPECT_EQ(autoInc, 2);
  ExpectTable({Row{7, "seven", 70}, Row{8}, Row{9}});
}

TEST_F(WriteTest, ModifyIfFoundCases) {
  struct Case {
    const char* name;
    std::u16string_view index;
    Row existing;
    Row inserted;
    bool modifies;
  };
  const Case cases[] = {
      {"unique key found", u"ByID", Row{1, "a", 10}, Row{1, "b", 11}, true},
      {"unique key not found", u"ByID", Row{1, "a", 10}, Row{2, "b", 11}, false},
      {"null-only duplicates, null key", u"ByCode", Row{1, "a", std::nullopt}, Row{2, "b", std::nullopt}, false},
      {"null-only duplicates, key found", u"ByCode", Row{1, "a", 10}, Row{2, "b", 10}, true},
      {"duplicates allowed", u"ByName", Row{1, "a", 10}, Row{2, "a", 11}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FreeCursors();
    BuildTable();
    WriteCursor* cursor = NewCursor(c.index);
    ASSERT_EQ(Insert(*cursor, c.existing), 0u) << LastMessage();
    cursor->notes.clear();
    std::vector<uint8_t> record = Record(c.inserted);
    cursor->watched = record.data();
    int64_t autoInc = 0;
    ASSERT_EQ(cursor->sbcRecordInsert(nxltNoLock, kModifyIfFound, record.data(), &autoInc), 0u) << LastMessage();
    auto stored = Stored();
    if (c.modifies) {
      ASSERT_EQ(stored.size(), 1u);
      const std::vector<uint8_t>& now = stored.begin()->second;
      EXPECT_TRUE(RowOf(now.data()) == c.inserted);
      EXPECT_EQ(autoInc, -1) << "no new auto-increment value";
      EXPECT_EQ(Word32Of(now.data(), u"Seq"), -1) << "the given record as it came";
      EXPECT_EQ(Word32Of(now.data(), u"Rev"), 1);
      EXPECT_EQ(Int64Of(now.data(), u"$RefNr"), int64_t(stored.begin()->first));
      EXPECT_GT(Int64Of(now.data(), u"$ModifyLSN"), Int64Of(now.data(), u"$InsertLSN"));
      const std::string refNr = std::to_string(stored.begin()->first);
      EXPECT_EQ(cursor->notes, (std::vector<std::string>{"modify before rec stored true " + refNr,
                                                          "modify after rec stored true " + refNr}));
      ExpectTable({c.inserted});
    } else {
      EXPECT_EQ(stored.size(), 2u);
      EXPECT_EQ(autoInc, 2);
      ASSERT_EQ(cursor->notes.size(), 2u);
      EXPECT_EQ(cursor->notes[0], "insert before 0 rec 0");
      ExpectTable({c.existing, c.inserted});
    }
  }
}

TEST_F(WriteTest, AModifyIfFoundWithALockKeepsTheFoundRecordLocked) {
  WriteCursor* cursor = NewCursor();
  ASSERT_EQ(Insert(*cursor, Row{1, "a"}), 0u);
  TnxRefNr refNr = 0;
  StoredOf(1, &refNr);
  ASSERT_EQ(Insert(*cursor, Row{1, "b"}, kModifyIfFound, nxltWriteLock), 0u) << LastMessage();
  EXPECT_EQ(table_->Locks().IsRecordLocked(cursor, refNr), lpYesByUs);
  EXPECT_EQ(cursor->IndexPath()->RefNr, refNr);
  table_->Locks().ReleaseRecordLock(cursor, refNr, nullptr);
  ASSERT_EQ(Insert(*cursor, Row{1, "c"}, kModifyIfFound, nxltNoLock), 0u);
  EXPECT_EQ(table_->Locks().IsRecordLocked(cursor, refNr), lpNotAtAll);
  ExpectTable({Row{1, "c"}});
}

TEST_F(WriteTest, NoRecordGivenIsRefused) {
  WriteCursor* cursor = NewCursor();
  int64_t autoInc = 0;
  EXPECT_EQ(cursor->sbcRecordInsert(nxltNoLock, kDefaultOptions, nullptr, &autoInc), nxeInvalidParameter);
  EXPECT_EQ(autoInc, -1);
  EXPECT_EQ(cursor->sbcRecordModify(nullptr, true, nullptr), nxeInvalidParameter);
  ExpectTable({});
}

TEST_F(WriteTest, TheNextLSNRaisesTheTransactionsLSN) {
  WriteCursor* cursor = NewCursor();
  int64_t lsn = 0;
  EXPECT_FALSE(cursor->GetNextLSN(lsn));
  TnxServerTransContext& context = *cursor->TransContext();
  ASSERT_EQ(context.stcTransactionStart(false, false, false, false, false, false), 0u);
  TnxServerTransaction& trans = *cursor->ActiveTrans();
  const TnxLSN before = trans.LSN();
  ASSERT_TRUE(cursor->GetNextLSN(lsn));
  EXPECT_GT(lsn, before);
  EXPECT_EQ(trans.LSN(), lsn);
  EXPECT_EQ(trans.TransLevel()->LSN(), lsn);
  // The auto-increment counter is set directly in the transaction.
  cursor->sbcAutoIncSetDirect(40);
  EXPECT_EQ(table_->AutoIncEngine()->ReadAutoIncValue(&trans), 40u);
  ASSERT_EQ(context.stcTransactionRollback(), 0u);
  EXPECT_EQ(table_->AutoIncEngine()->ReadAutoIncValue(nullptr), 0u);
}

TEST_F(WriteTest, ANewRecordOutsideTheRangeOrFilterFailsOnlyWhenALockIsAsked) {
  WriteCursor* cursor = NewCursor();
  ASSERT_EQ(Insert(*cursor, Row{15}), 0u);
  std::vector<uint8_t> low = Record(Row{10}), high = Record(Row{20});
  ASSERT_EQ(cursor->sbcRangeSet(1, 0, false, low.data(), true, 1, 0, false, high.data(), true), 0u) << LastMessage();
  int64_t autoInc = 0;
  EXPECT_EQ(Insert(*cursor, Row{30}, kDefaultOptions, nxltWriteLock, &autoInc), nxeRecordLockFailed);
  EXPECT_EQ(LastMessage(), platform::Utf16ToUtf8(nxOriginalMessageTag() +
                                                 u" Record outside current range. Record not inserted"));
  EXPECT_EQ(autoInc, -1);
  ExpectTable({Row{15}});
  // The counter went back with the own transaction.
  ASSERT_EQ(Insert(*cursor, Row{30}, kDefaultOptions, nxltNoLock, &autoInc), 0u) << LastMessage();
  EXPECT_EQ(autoInc, 2);
  EXPECT_TRUE(cursor->IndexPath()->IsEof());
  ASSERT_EQ(Insert(*cursor, Row{5}), 0u);
  EXPECT_TRUE(cursor->IndexPath()->IsBof());
  ASSERT_EQ(Insert(*cursor, Row{12}, kDefaultOptions, nxltWriteLock), 0u);
  EXPECT_TRUE(cursor->IndexPath()->IsOnKey());
  ExpectTable({Row{15}, Row{30}, Row{5}, Row{12}});
}

bool Accepting(void* aCookie, const uint8_t*) { return *static_cast<bool*>(aCookie); }

TEST_F(WriteTest, ANewRecordRefusedByAFilterGives10258WithItsText) {
  struct Case {
    const char* name;
    bool keyFilter;
    std::u16string_view text;
  };
  for (const Case& c : {Case{"record filter", false, u" Record does not match active filter. Record not inserted"},
                        Case{"key filter", true, u" Record does not match active key filter. Record not inserted"}}) {
    SCOPED_TRACE(c.name);
    FreeCursors();
    BuildTable();
    WriteCursor* cursor = NewCursor();
    bool accept = false;
    TnxCallbackFilterDescriptor filter{&accept, &Accepting};
    if (c.keyFilter) {
      TnxKeyFilterID id = 0;
      ASSERT_EQ(cursor->KeyFilterAddCustom(&filter, id), 0u) << LastMessage();
      ASSERT_EQ(cursor->KeyFilterActivate(id), 0u);
    } else {
      TnxFilterID id = 0;
      ASSERT_EQ(cursor->FilterAddCustom(&filter, id, true), 0u) << LastMessage();
    }
    EXPECT_EQ(Insert(*cursor, Row{1}, kDefaultOptions, nxltWriteLock), nxeRecordLockFailed);
    EXPECT_EQ(LastMessage(), platform::Utf16ToUtf8(nxOriginalMessageTag() + std::u16string(c.text)));
    ExpectTable({});
    EXPECT_EQ(Insert(*cursor, Row{1}, kDefaultOptions, nxltNoLock), 0u) << LastMessage();
    // A modify that would leave the filter refuses too unless the lock goes.
    accept = true;
    SetTo(*cursor, 1);
    accept = false;
    std::vector<uint8_t> edit = StoredOf(1);
    EXPECT_EQ(cursor->sbcRecordModify(edit.data(), false, nullptr), nxeRecordLockFailed);
    EXPECT_EQ(LastMessage(), "Record lock failed.");
    ExpectTable({Row{1}});
  }
}

TEST_F(WriteTest, AModifySentAsADifferenceIsRebuiltFromTheStoredRecord) {
  WriteCursor* cursor = NewCursor();
  ASSERT_EQ(Insert(*cursor, Row{1, "a", 10}), 0u);
  SetTo(*cursor, 1);
  std::vector<uint8_t> stored = StoredOf(1), changed = stored;
  const int32_t code = 11;
  Fields().SetRecordField(2, changed.data(), &code);
  TnxDiffCompressorInfo* info = nullptr;
  Fields().GetDiffCompressionInfo(info);
  const TnxDiffCompressorInfoRef hold = TnxDiffCompressorInfoRef::Adopt(info);
  std::vector<uint8_t> diff(stored.size() + 64), full(stored.size()), scratch(stored.size());
  ASSERT_GT(nxDiffCompress(*info, stored.data(), changed.data(), diff.data()), 0u);
  TnxRecordDiff request;
  request.rdDiff = diff.data();
  request.rdFull = full.data();
  ASSERT_EQ(cursor->sbcRecordModify(scratch.data(), true, &request), 0u) << LastMessage();
  EXPECT_TRUE(RowOf(full.data()) == (Row{1, "a", 11}));
  EXPECT_EQ(Word32Of(full.data(), u"Rev"), 0) << "the copy is taken before the special fields";
  ExpectTable({Row{1, "a", 11}});
  EXPECT_EQ(Word32Of(StoredOf(1).data(), u"Rev"), 1);
}

TEST_F(WriteTest, ADifferenceOnACursorThatIsNotCacheableIsRefused) {
  auto dict = TwoIndexDictionary();
  ASSERT_EQ(db->TableBuild(false, u"Plain", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
  TnxAbstractCursor* opened = nullptr;
  ASSERT_EQ(db->CursorOpen(opened, u"Plain", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u);
  auto* cursor = static_cast<TnxServerTableCursor*>(opened);
  cursors_.push_back(cursor);
  std::vector<uint8_t> record(size_t(cursor->Table()->FieldsDescriptor()->RecordLength()));
  uint8_t diff[64] = {};
  TnxRecordDiff request;
  request.rdDiff = diff;
  EXPECT_EQ(cursor->sbcRecordModify(record.data(), true, &request), nxeInvalidParameter);
  EXPECT_EQ(LastMessage(), "Invalid parameter.");
}

TEST_F(WriteTest, ACacheCursorsUnchangedRecordIsNotWritten) {
  TempDir cacheDir;
  TnxAbstractDatabase* opened = nullptr;
  ASSERT_EQ(session->DatabaseCacheOpen(opened, u"Path", platform::Utf8ToUtf16(cacheDir.Dir()), nullptr, omReadWrite,
                                       smShared, 10000),
            0u)
      << LastMessage();
  auto* cacheDb = static_cast<TnxServerDatabase*>(opened);
  auto dict = WriteDictionary();
  dict->MarkInCache(false);
  ASSERT_EQ(cacheDb->TableBuild(false, u"C", u"", dict.get(), tsPersistent, true), 0u) << LastMessage();
  TnxAbstractCursor* cursorOpened = nullptr;
  // In a cache only the RefNr index is unique.
  ASSERT_EQ(cacheDb->CursorCacheOpen(cursorOpened, u"C", u"", omReadWrite, smShared, 10000,
                                     u"Sequential Access Index", -1, false, 0, 500),
            0u)
      << LastMessage();
  auto* cursor = static_cast<TnxServerTableCursor*>(cursorOpened);
  ASSERT_TRUE(cursor->IsCache());
  TnxFieldsDescriptor& fields = *cursor->Table()->FieldsDescriptor();
  auto record = [&](const char* aName, int64_t aModifyLSN) {
    std::vector<uint8_t> r(size_t(fields.RecordLength()));
    fields.InitRecord(r.data());
    const int32_t id = 1, req = 1;
    fields.SetRecordField(0, r.data(), &id);
    uint8_t text[16] = {uint8_t(std::strlen(aName))};
    std::memcpy(text + 1, aName, std::strlen(aName));
    fields.SetRecordField(1, r.data(), text);
    fields.SetRecordField(3, r.data(), &req);
    const int64_t refNr = 5;
    fields.SetRecordField(fields.GetFieldFromName(u"$RefNr"), r.data(), &refNr);
    fields.SetRecordField(fields.GetFieldFromName(u"$ModifyLSN"), r.data(), &aModifyLSN);
    return r;
  };
  auto storedName = [&] {
    std::vector<uint8_t> r(size_t(fields.RecordLength()));
    TnxRefNr from = 0;
    std::string name = "-";
    PnxRecordBuffer data = nullptr;
    cursor->Table()->RecordEngine()->Iterate(
        nullptr, from, &data,
        [&](void*, TnxRefNr, PnxRecordBuffer aData) {
          bool isNull = true;
          uint8_t text[16] = {};
          fields.GetRecordField(1, aData, isNull, text);
          name = std::string(reinterpret_cast<char*>(text + 1), text[0]);
          return rirContinue;
        },
        nullptr, nullptr, false, false);
    return name;
  };
  std::vector<uint8_t> first = record("old", 7);
  ASSERT_EQ(cursor->sbcRecordInsert(nxltNoLock, kModifyIfFound, first.data(), nullptr), 0u) << LastMessage();
  std::vector<uint8_t> same = record("same", 7);
  EXPECT_EQ(cursor->sbcRecordInsert(nxltNoLock, kModifyIfFound, same.data(), nullptr), 0u) << LastMessage();
  EXPECT_EQ(storedName(), "old");
  EXPECT_EQ(cursor->ActiveTrans(), nullptr);
  std::vector<uint8_t> newer = record("newer", 8);
  EXPECT_EQ(cursor->sbcRecordInsert(nxltNoLock, kModifyIfFound, newer.data(), nullptr), 0u) << LastMessage();
  EXPECT_EQ(storedName(), "newer");
  EXPECT_TRUE(cursor->Table()->Locks().State().RecordLocks.empty());
  cursor->Free();
  cacheDb->Free();
}

// ---- failures and what they leave ----

struct FailureCase {
  const char* name;
  int32_t at;  // the record the cursor stands on first, 0 none
  // Sets the failure up and runs the write; answers the write's result.
  std::function<uint32_t(WriteTest&, WriteCursor&)> run;
  uint32_t expected;
  // The transaction is corrupted afterwards (inside the caller's).
  bool corrupts;
};

TEST_F(WriteTest, EachStepFailsCleanInOwnAndCallersTransaction) {
  // Base: IDs 1 and 2 with codes 10 and 20.
  const std::vector<Row> base = {Row{1, "a", 10}, Row{2, "b", 20}};
  auto modify = [](WriteTest& t, WriteCursor& c, Row aRow, int32_t aAt) {
    std::vector<uint8_t> record = t.StoredOf(aAt);
    std::vector<uint8_t> fresh = t.Record(aRow);
    // Keep the stored special fields, change the user fields.
    for (int32_t f = 0; f < 4; ++f) {
      bool isNull = true;
      uint8_t value[16] = {};
      t.Fields().GetRecordField(f, fresh.data(), isNull, value);
      if (isNull)
        t.Fields().SetRecordFieldNull(f, record.data(), true);
      else
        t.Fields().SetRecordField(f, record.data(), value);
    }
    return c.sbcRecordModify(record.data(), true, nullptr);
  };
  const FailureCase cases[] = {
      {"insert: validation", 0, [](WriteTest& t, WriteCursor& c) { return t.Insert(c, Row{3, "c", 30, std::nullopt}); },
       nxeFieldValueRequired, false},
      {"insert: first key", 0, [](WriteTest& t, WriteCursor& c) { return t.Insert(c, Row{1, "c", 30}); },
       nxeKeyViolation, false},
      {"insert: a later key", 0, [](WriteTest& t, WriteCursor& c) { return t.Insert(c, Row{3, "c", 20}); },
       nxeKeyViolation, false},
      {"insert: veto before", 0,
       [](WriteTest& t, WriteCursor& c) {
         c.vetoAt = 1;
         return t.Insert(c, Row{3});
       },
       15001, false},
      {"insert: veto after", 0,
       [](WriteTest& t, WriteCursor& c) {
         c.vetoAt = 2;
         return t.Insert(c, Row{3});
       },
       15001, true},
      {"modify: validation", 1, [&](WriteTest& t, WriteCursor& c) { return modify(t, c, Row{1, "z", 10, std::nullopt}, 1); },
       nxeFieldValueRequired, false},
      {"modify: key update", 1, [&](WriteTest& t, WriteCursor& c) { return modify(t, c, Row{1, "z", 20}, 1); },
       nxeKeyViolation, false},
      {"modify: unique key update", 1, [&](WriteTest& t, WriteCursor& c) { return modify(t, c, Row{2, "z", 10}, 1); },
       nxeKeyViolation, false},
      {"modify: veto before", 1,
       [&](WriteTest& t, WriteCursor& c) {
         c.vetoAt = 1;
         return modify(t, c, Row{1, "z", 11}, 1);
       },
       15001, false},
      {"modify: veto after", 1,
       [&](WriteTest& t, WriteCursor& c) {
         c.vetoAt = 2;
         return modify(t, c, Row{1, "z", 11}, 1);
       },
       15001, true},
      {"delete: veto before", 2,
       [](WriteTest&, WriteCursor& c) {
         c.vetoAt = 1;
         return c.sbcRecordDelete(nullptr, 0);
       },
       15001, false},
      {"delete: veto after", 2,
       [](WriteTest&, WriteCursor& c) {
         c.vetoAt = 2;
         return c.sbcRecordDelete(nullptr, 0);
       },
       15001, true},
  };
  for (bool callers : {false, true}) {
    for (const FailureCase& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (callers ? " in the caller's transaction" : " on its own"));
      FreeCursors();
      BuildTable();
      WriteCursor* cursor = NewCursor();
      for (const Row& row : base) {
        ASSERT_EQ(Insert(*cursor, row), 0u) << LastMessage();
      }
      const auto before = Stored();
      const uint32_t seqBefore = table_->AutoIncEngine()->ReadAutoIncValue(nullptr);
      TnxServerTransContext& context = *cursor->TransContext();
      if (callers) {
        ASSERT_EQ(context.stcTransactionStart(false, false, false, false, false, false), 0u);
      }
      if (c.at != 0) SetTo(*cursor, c.at);
      std::unique_ptr<TnxBaseIndexPath> path = cursor->IndexPath()->Duplicate();
      cursor->calls = 0;
      EXPECT_EQ(c.run(*this, *cursor), c.expected) << LastMessage();
      if (!callers) {
        EXPECT_EQ(cursor->ActiveTrans(), nullptr);
        EXPECT_TRUE(Stored() == before);
        ExpectTable(base);
      } else {
        ASSERT_NE(cursor->ActiveTrans(), nullptr);
        const uint32_t state = cursor->ActiveTrans()->CheckState();
        EXPECT_EQ(state, c.corrupts ? nxeTransactionCorrupt : 0u);
        if (!c.corrupts) {
          EXPECT_TRUE(StoredIn(*cursor) == before);
          ExpectTable(base, cursor->ActiveTrans());
          EXPECT_EQ(table_->AutoIncEngine()->ReadAutoIncValue(cursor->ActiveTrans()), seqBefore);
        }
        ASSERT_EQ(context.stcTransactionRollback(), 0u);
        EXPECT_TRUE(Stored() == before);
        ExpectTable(base);
      }
      EXPECT_EQ(table_->AutoIncEngine()->ReadAutoIncValue(nullptr), seqBefore);
      // The path is where it was, and no lock stays behind.
      EXPECT_EQ(cursor->IndexPath()->RefNr, path->RefNr);
      EXPECT_EQ(cursor->IndexPath()->Position, path->Position);
      EXPECT_TRUE(table_->Locks().State().RecordLocks.empty());
    }
  }
}

// A failure after the keys were written inside the caller's transaction:
// the record and its keys go.
TEST_F(WriteTest, AFailedInsertInTheCallersTransactionLeavesNoRecordAndPutsTheCounterBack) {
  WriteCursor* cursor = NewCursor();
  ASSERT_EQ(Insert(*cursor, Row{1, "a", 10}), 0u);
  TnxServerTransContext& context = *cursor->TransContext();
  ASSERT_EQ(context.stcTransactionStart(false, false, false, false, false, false), 0u);
  ASSERT_EQ(Insert(*cursor, Row{2, "b", 20}), 0u);
  std::vector<uint8_t> record = Record(Row{3, "c", 20});
  int64_t autoInc = 0;
  EXPECT_EQ(cursor->sbcRecordInsert(nxltNoLock, kDefaultOptions, record.data(), &autoInc), nxeKeyViolation);
  EXPECT_EQ(autoInc, -1);
  EXPECT_TRUE(Fields().IsRecordFieldNull(Field(u"Seq"), record.data()));
  EXPECT_EQ(cursor->ActiveTrans()->CheckState(), 0u);
  ExpectTable({Row{1, "a", 10}, Row{2, "b", 20}}, cursor->ActiveTrans());
  ASSERT_EQ(Insert(*cursor, Row{3, "c", 30}, kDefaultOptions, nxltNoLock, &autoInc), 0u);
  EXPECT_EQ(autoInc, 3);
  ASSERT_EQ(context.stcTransactionCommit(), 0u);
  ExpectTable({Row{1, "a", 10}, Row{2, "b", 20}, Row{3, "c", 30}});
}

// Inserts, one by one on their own or in the caller's transaction, while
// the file seam fails a call; each answer 0 joins the model.
class WriteFaultTest : public WriteTest {
protected:
  uint32_t WriteOne(WriteCursor& aCursor, bool aCallers, const Row& aRow) {
    TnxServerTransContext& context = *aCursor.TransContext();
    uint32_t result = 0;
    if (aCallers) result = context.stcTransactionStart(false, false, false, false, false, false);
    if (result == 0) result = Insert(aCursor, aRow);
    if (aCallers && context.stcTransaction()) {
      if (result == 0) {
        try {
          result = context.stcTransactionCommit();
        } catch (const std::exception& e) {
          result = aCursor.asoConvertException(e);
        }
      } else {
        // Undone by hand unless the transaction is marked corrupted.
        if (context.stcTransaction()->CheckState() == 0) ExpectTable(model_, context.stcTransaction());
        EXPECT_EQ(context.stcTransactionRollback(), 0u);
      }
    }
    EXPECT_EQ(context.stcTransaction(), nullptr);
    if (result == 0) model_.push_back(aRow);
    return result;
  }

  // Each round opens the table afresh and fails its k-th read.
  void SweepReadFaults() {
    FreeCursors();
    Folder().sfCloseInactiveTables();
    bool reachedEnd = false;
    for (int k = 1; k <= 200 && !reachedEnd; ++k) {
      for (bool callers : {false, true}) {
        SCOPED_TRACE("read " + std::to_string(k) + (callers ? " in the caller's transaction" : ""));
        TFaultFileOps faults;
        WriteCursor* cursor = nullptr;
        {
          platform::ScopedFileOps scoped(faults);
          OpenTable();
          cursor = NewCursor();
        }
        const int target = faults.Calls(TFileOp::ReadAt) + k;
        faults.FailCall(TFileOp::ReadAt, target, EIO);
        ++id_;
        const uint32_t result = WriteOne(*cursor, callers, Row{id_, "n", id_});
        if (faults.Calls(TFileOp::ReadAt) < target) {
          EXPECT_EQ(result, 0u) << LastMessage();
          if (!callers) reachedEnd = true;
        } else if (result != 0) {
          ++failures_;
        }
        ExpectTable(model_);
        // The files go before the seam they were opened through.
        FreeCursors();
        Folder().sfCloseInactiveTables();
      }
    }
    EXPECT_TRUE(reachedEnd);
  }

  // A commit whose k-th file write fails, k = 1, 2, ... until one gets
  // through, each on a table of its own: the failure stops the server
  // (15443 for every later call until a restart), which recovers the files
  // from the journal; the crash sweep checks what a restart finds.
  void SweepCommitFaults() {
    bool reachedEnd = false;
    for (int k = 1; k <= 40 && !reachedEnd; ++k) {
      for (bool callers : {false, true}) {
        SCOPED_TRACE("write " + std::to_string(k) + (callers ? " in the caller's transaction" : ""));
        FreeCursors();
        Folder().sfCloseInactiveTables();
        TFaultFileOps faults;
        WriteCursor* cursor = nullptr;
        {
          platform::ScopedFileOps scoped(faults);
          BuildTable();
          cursor = NewCursor();
        }
        model_.clear();
        const int target = faults.Calls(TFileOp::WriteAt) + k;
        faults.FailCall(TFileOp::WriteAt, target, EIO);
        ++id_;
        const uint32_t result = WriteOne(*cursor, callers, Row{id_, "n", id_});
        if (faults.Calls(TFileOp::WriteAt) < target) {
          EXPECT_EQ(result, 0u) << LastMessage();
          if (!callers) reachedEnd = true;
        } else {
          EXPECT_NE(result, 0u);
          ++failures_;
          EXPECT_TRUE(nxFatalErrorFlag.load());
          ++id_;
          std::vector<uint8_t> next = Record(Row{id_, "m", id_});
          EXPECT_EQ(cursor->RecordInsert(nxltNoLock, next.data(), nullptr), nxeTransactionCorrupt);
          nxFatalErrorFlag.store(false);
        }
        // The files go before the seam they were opened through.
        FreeCursors();
        Folder().sfCloseInactiveTables();
      }
    }
    EXPECT_TRUE(reachedEnd);
  }

  std::vector<Row> model_;
  int32_t id_ = 0;
  int failures_ = 0;  // writes the fault failed
};

// Reads of a table just opened (each round opens it afresh).
TEST_F(WriteFaultTest, AFailedReadLeavesTheRecordsAndIndicesWhole) {
  SweepReadFaults();
  EXPECT_GT(failures_, 0);
}

TEST_F(WriteFaultTest, AFailedCommitWriteStopsTheServer) {
  SweepCommitFaults();
  EXPECT_GT(failures_, 0);
}

// ---- modify: special fields ----

TEST_F(WriteTest, TheSecondOfTwoEditorsGets10259AndAChangedRefNr9996) {
  WriteCursor* first = NewCursor();
  // The second editor works in a session of its own.
  TnxServerSession* session2 = Open();
  TnxAbstractDatabase* database2 = nullptr;
  ASSERT_EQ(session2->DatabaseOpen(database2, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
  WriteCursor* second = NewCursor(u"ByID", static_cast<TnxServerDatabase*>(database2));
  ASSERT_EQ(Insert(*first, Row{1, "a", 10}), 0u);
  TnxRefNr refNr = 0;
  std::vector<uint8_t> copyA = StoredOf(1, &refNr), copyB = copyA;
  SetTo(*first, 1);
  SetTo(*second, 1);
  Fields().SetRecordField(2, copyA.data(), &refNr);  // any change
  ASSERT_EQ(first->sbcRecordModify(copyA.data(), true, nullptr), 0u) << LastMessage();
  std::vector<uint8_t> now = StoredOf(1);
  EXPECT_EQ(Word32Of(now.data(), u"Rev"), 1);
  EXPECT_EQ(Int64Of(now.data(), u"$RefNr"), int64_t(refNr));
  EXPECT_GT(Int64Of(now.data(), u"$ModifyLSN"), Int64Of(copyB.data(), u"$ModifyLSN"));
  EXPECT_EQ(second->sbcRecordModify(copyB.data(), true, nullptr), nxeRecordChanged);
  EXPECT_EQ(LastMessage(), "Couldn't perform the edit because another user changed the record.");
  EXPECT_TRUE(StoredOf(1) == now);

  // Each of the checked fields alone.
  struct Case {
    const char* name;
    std::u16string_view field;
    bool wide;
    uint32_t expected;
  };
  for (const Case& c : {Case{"RecRev", u"Rev", false, nxeRecordChanged},
                        Case{"ModifyLSN", u"$ModifyLSN", true, nxeRecordChanged},
                        Case{"InsertLSN", u"$InsertLSN", true, nxeRecordChanged}}) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> edit = StoredOf(1);
    if (c.wide) {
      const int64_t other = Int64Of(edit.data(), c.field) + 100;
      Fields().SetRecordField(Field(c.field), edit.data(), &other);
    } else {
      const uint32_t other = uint32_t(Word32Of(edit.data(), c.field)) + 100;
      Fields().SetRecordField(Field(c.field), edit.data(), &other);
    }
    EXPECT_EQ(first->sbcRecordModify(edit.data(), true, nullptr), c.expected);
  }
  std::vector<uint8_t> moved = StoredOf(1);
  const int64_t otherRefNr = int64_t(refNr) + 5;
  Fields().SetRecordField(Field(u"$RefNr"), moved.data(), &otherRefNr);
  EXPECT_EQ(first->sbcRecordModify(moved.data(), true, nullptr), nxeInvalidModifyRequest);
  EXPECT_EQ(LastMessage(), "Invalid modify request. RefNr has changed.\r\nExpected: [" + std::to_string(refNr) +
                               "]\r\nFound: [" + std::to_string(otherRefNr) + "]");
  // A null RefNr field takes the record's.
  std::vector<uint8_t> cleared = StoredOf(1);
  Fields().SetRecordFieldNull(Field(u"$RefNr"), cleared.data(), true);
  EXPECT_EQ(first->sbcRecordModify(cleared.data(), true, nullptr), 0u) << LastMessage();
  EXPECT_EQ(Int64Of(StoredOf(1).data(), u"$RefNr"), int64_t(refNr));
  EXPECT_TRUE(table_->Locks().State().RecordLocks.empty());
  FreeCursors();
  database2->Free();
}

TEST_F(WriteTest, ModifyKeepsALockHeldBeforeUnlessAskedToRelease) {
  WriteCursor* cursor = NewCursor();
  ASSERT_EQ(Insert(*cursor, Row{1}, kDefaultOptions, nxltWriteLock), 0u);
  TnxRefNr refNr = cursor->IndexPath()->RefNr;
  std::vector<uint8_t> edit = StoredOf(1);
  ASSERT_EQ(cursor->sbcRecordModify(edit.data(), false, nullptr), 0u) << LastMessage();
  EXPECT_EQ(table_->Locks().IsRecordLocked(cursor, refNr), lpYesByUs);
  edit = StoredOf(1);
  ASSERT_EQ(cursor->sbcRecordModify(edit.data(), true, nullptr), 0u) << LastMessage();
  EXPECT_EQ(table_->Locks().IsRecordLocked(cursor, refNr), lpNotAtAll);
  // Not held before: taken and given back.
  edit = StoredOf(1);
  ASSERT_EQ(cursor->sbcRecordModify(edit.data(), false, nullptr), 0u) << LastMessage();
  EXPECT_EQ(table_->Locks().IsRecordLocked(cursor, refNr), lpNotAtAll);
  // Another cursor's lock refuses the modify with 10258, the delete with 10241.
  WriteCursor* other = NewCursor();
  SetTo(*other, 1);
  TnxServerSession* session2 = Open();
  TnxAbstractDatabase* database2 = nullptr;
  ASSERT_EQ(session2->DatabaseOpen(database2, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
  WriteCursor* foreign = NewCursor(u"ByID", static_cast<TnxServerDatabase*>(database2));
  SetTo(*foreign, 1);
  ASSERT_EQ(table_->Locks().GetRecordLock(nullptr, foreign, refNr, true, nullptr), lrGrantedNew);
  edit = StoredOf(1);
  nxSetTimeout(1, false);  // a conflict answers at once
  EXPECT_EQ(other->sbcRecordModify(edit.data(), true, nullptr), nxeRecordLockFailed);
  EXPECT_EQ(other->sbcRecordDelete(nullptr, 0), nxeRecordLocked);
  table_->Locks().ReleaseRecordLock(foreign, refNr, nullptr);
  nxSetTimeout(10000, true);
  FreeCursors();
  database2->Free();
}

TEST_F(WriteTest, SnapshotTransactionsCannotWrite) {
  WriteCursor* cursor = NewCursor();
  ASSERT_EQ(Insert(*cursor, Row{1}), 0u);
  TnxServerTransContext& context = *cursor->TransContext();
  ASSERT_EQ(context.stcTransactionStart(false, true, false, false, false, false), 0u);
  EXPECT_EQ(Insert(*cursor, Row{2}), nxeTableReadOnly);
  SetTo(*cursor, 1);
  std::vector<uint8_t> edit = StoredOf(1);
  EXPECT_EQ(cursor->sbcRecordModify(edit.data(), true, nullptr), nxeTableReadOnly);
  EXPECT_EQ(cursor->sbcRecordDelete(nullptr, 0), nxeTableReadOnly);
  ASSERT_EQ(context.stcTransactionRollback(), 0u);
  ExpectTable({Row{1}});
}

// ---- delete ----

TEST_F(WriteTest, DeleteChecksTheGivenLSN) {
  WriteCursor* cursor = NewCursor();
  ASSERT_EQ(Insert(*cursor, Row{1}), 0u);
  ASSERT_EQ(Insert(*cursor, Row{2}), 0u);
  TnxRefNr refNr = 0;
  const int64_t lsn = Int64Of(StoredOf(1, &refNr).data(), u"$ModifyLSN");
  SetTo(*cursor, 1);
  cursor->notes.clear();
  EXPECT_EQ(cursor->sbcRecordDelete(nullptr, lsn + 1), nxeNoCurrentRecord);
  ExpectTable({Row{1}, Row{2}});
  std::vector<uint8_t> deleted(size_t(Fields().RecordLength()));
  cursor->watched = deleted.data();
  cursor->notes.clear();
  ASSERT_EQ(cursor->sbcRecordDelete(deleted.data(), lsn), 0u) << LastMessage();
  EXPECT_EQ(RowOf(deleted.data()).ID, 1);
  EXPECT_EQ(cursor->notes, (std::vector<std::string>{"delete before rec " + std::to_string(refNr),
                                                      "delete after rec " + std::to_string(refNr)}));
  ExpectTable({Row{2}});
  EXPECT_TRUE(table_->Locks().State().RecordLocks.empty());

  // A stored ModifyLSN of 0 lets any LSN pass.
  TnxRefNr second = 0;
  std::vector<uint8_t> zeroed = StoredOf(2, &second);
  const int64_t zero = 0;
  Fields().SetRecordField(Field(u"$ModifyLSN"), zeroed.data(), &zero);
  {
    TnxBaseTransaction trans(*engine->BufferManager(), nullptr, false, false);
    table_->RecordEngine()->UpdateRecord(trans, second, zeroed.data(), nullptr);
    ASSERT_EQ(table_->IndicesEngine()->UpdateKeys(trans, second, StoredOf(2).data(), second, zeroed.data(), nullptr),
              0u);
    nxsrCommit(*engine->BufferManager(), trans);
  }
  SetTo(*cursor, 2);
  EXPECT_EQ(cursor->sbcRecordDelete(nullptr, 12345), 0u) << LastMessage();
  ExpectTable({});
}

TEST_F(WriteTest, DeleteWithAnLSNOnATableWithoutModifyLSNIsNotSupported) {
  auto dict = TwoIndexDictionary();
  ASSERT_EQ(db->TableBuild(false, u"Plain", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
  TnxAbstractCursor* opened = nullptr;
  ASSERT_EQ(db->CursorOpen(opened, u"Plain", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u);
  auto* cursor = static_cast<TnxServerTableCursor*>(opened);
  cursors_.push_back(cursor);
  EXPECT_EQ(cursor->sbcRecordDelete(nullptr, 5), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "Capability not supported.");
  // Inserts on a table without special fields or graveyard.
  std::vector<uint8_t> record(size_t(cursor->Table()->FieldsDescriptor()->RecordLength()));
  cursor->Table()->FieldsDescriptor()->InitRecord(record.data());
  const int32_t one = 1;
  cursor->Table()->FieldsDescriptor()->SetRecordField(0, record.data(), &one);
  EXPECT_EQ(cursor->sbcRecordInsert(nxltNoLock, kDefaultOptions, record.data(), nullptr), 0u) << LastMessage();
  EXPECT_EQ(cursor->sbcRecordInsert(nxltNoLock, kDefaultOptions, record.data(), nullptr), nxeKeyViolation);
}

// ---- graveyard ----

TEST_F(WriteTest, TheGraveyardFollowsDeletesAndReinserts) {
  WriteCursor* cursor = NewCursor();
  TnxBaseIndexEngine& byLSN = *cursor->GraveyardLSNIndexEngine();
  TnxBaseIndexEngine& byRefNr = *cursor->GraveyardRefNrIndexEngine();
  std::mt19937 random(93);
  std::map<int32_t, TnxRefNr> live;       // ID -> RefNr
  std::vector<TnxRefNr> buried;           // in deletion order
  std::vector<Row> model;
  int32_t next = 1;
  for (int step = 0; step < 300; ++step) {
    if (live.empty() || random() % 3 != 0) {
      const Row row{next++};
      ASSERT_EQ(Insert(*cursor, row), 0u) << LastMessage();
      TnxRefNr refNr = 0;
      StoredOf(row.ID, &refNr);
      live[row.ID] = refNr;
      std::erase(buried, refNr);
      model.push_back(row);
    } else {
      auto at = std::next(live.begin(), long(random() % live.size()));
      SetTo(*cursor, at->first);
      ASSERT_EQ(cursor->sbcRecordDelete(nullptr, 0), 0u) << LastMessage();
      buried.push_back(at->second);
      std::erase_if(model, [&](const Row& r) { return r.ID == at->first; });
      live.erase(at);
    }
  }
  // Some deletes without reinserts.
  for (int i = 0; i < 15 && !live.empty(); ++i) {
    auto at = std::next(live.begin(), long(random() % live.size()));
    SetTo(*cursor, at->first);
    ASSERT_EQ(cursor->sbcRecordDelete(nullptr, 0), 0u) << LastMessage();
    buried.push_back(at->second);
    std::erase_if(model, [&](const Row& r) { return r.ID == at->first; });
    live.erase(at);
  }
  ExpectTable(model);
  // The LSN index lists the buried RefNrs in deletion order; each one's
  // RefNr entry names its LSN.
  platform::TStringList lines;
  byLSN.SaveAll(nullptr, lines);
  std::vector<TnxRefNr> inOrder;
  for (int i = 0; i < lines.Count(); ++i)
    inOrder.push_back(TnxRefNr(std::stoull(platform::Utf16ToUtf8(lines[i]).substr(0, 16), nullptr, 16)));
  EXPECT_EQ(inOrder, buried);
  EXPECT_GT(buried.size(), 10u);
  auto path = byRefNr.CreateIndexPath();
  auto lsnPath = byLSN.CreateIndexPath();
  for (TnxRefNr refNr : buried) {
    const int64_t key = int64_t(refNr);
    ASSERT_TRUE(byRefNr.FindKey(nullptr, reinterpret_cast<const uint8_t*>(&key), 0, 0, 0, *path, skaAnyEqual,
                                nullptr));
    const int64_t lsn = path->RefNr;
    ASSERT_TRUE(byLSN.FindKey(nullptr, reinterpret_cast<const uint8_t*>(&lsn), 0, 0, 0, *lsnPath, skaAnyEqual,
                              nullptr));
    EXPECT_EQ(lsnPath->RefNr, refNr);
  }
  EXPECT_EQ(IndexRefNrs(byRefNr, nullptr).size(), buried.size());
}

TEST_F(WriteTest, ADeleteUndoneLeavesNoGrave) {
  WriteCursor* cursor = NewCursor();
  ASSERT_EQ(Insert(*cursor, Row{1}), 0u);
  TnxServerTransContext& context = *cursor->TransContext();
  ASSERT_EQ(context.stcTransactionStart(false, false, false, false, false, false), 0u);
  SetTo(*cursor, 1);
  ASSERT_EQ(cursor->sbcRecordDelete(nullptr, 0), 0u);
  EXPECT_EQ(IndexRefNrs(*cursor->GraveyardLSNIndexEngine(), cursor->ActiveTrans()).size(), 1u);
  ASSERT_EQ(context.stcTransactionRollback(), 0u);
  EXPECT_TRUE(IndexRefNrs(*cursor->GraveyardLSNIndexEngine(), nullptr).empty());
  ExpectTable({Row{1}});
}

// ---- changed tables ----

TEST_F(WriteTest, ChangedTablesAreReportedOnceEach) {
  ASSERT_EQ(db->TableBuild(false, u"Other", u"", WriteDictionary().get(), tsPersistent, false), 0u);
  TnxAbstractCursor* otherCursor = nullptr;
  ASSERT_EQ(db->CursorOpen(otherCursor, u"Other", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500,
                           nullptr),
            0u);
  cursors_.push_back(static_cast<TnxServerTableCursor*>(otherCursor));
  NewCursor();  // a second cursor on W
  // Both were built since the database opened.
  platform::TStringList changed;
  ASSERT_EQ(db->GetChangedTables(changed), 0u) << LastMessage();
  EXPECT_EQ(changed.Count(), 2);
  changed.Clear();
  ASSERT_EQ(db->GetChangedTables(changed), 0u);
  EXPECT_EQ(changed.Count(), 0);

  // Another session writes W.
  TnxServerSession* session2 = Open();
  TnxAbstractDatabase* opened = nullptr;
  ASSERT_EQ(session2->DatabaseOpen(opened, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
  auto* db2 = static_cast<TnxServerDatabase*>(opened);
  WriteCursor* writer = NewCursor(u"ByID", db2);
  ASSERT_EQ(Insert(*writer, Row{1}), 0u);
  ASSERT_EQ(db->GetChangedTables(changed), 0u);
  ASSERT_EQ(changed.Count(), 1);
  EXPECT_EQ(changed[0], name_);
  changed.Clear();
  ASSERT_EQ(db->GetChangedTables(changed), 0u);
  EXPECT_EQ(changed.Count(), 0);
  ASSERT_EQ(Insert(*writer, Row{2}), 0u);
  ASSERT_EQ(Insert(*writer, Row{3}), 0u);
  changed.Clear();
  ASSERT_EQ(db->GetChangedTables(changed), 0u);
  EXPECT_EQ(changed.Count(), 1);
  FreeCursors();
  db2->Free();
}

// A transaction of another session that began before a call stamps the
// table with its own, older LSN when it commits after it; the next call
// must still report the table, and once it is reported, the one after not.
TEST_F(WriteTest, AChangeByATransactionThatSpansACallIsReportedAtTheNext) {
  platform::TStringList changed;
  ASSERT_EQ(db->GetChangedTables(changed), 0u) << LastMessage();
  TnxServerSession* session2 = Open();
  TnxAbstractDatabase* opened = nullptr;
  ASSERT_EQ(session2->DatabaseOpen(opened, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
  auto* db2 = static_cast<TnxServerDatabase*>(opened);
  WriteCursor* writer = NewCursor(u"ByID", db2);
  TnxServerTransContext& context = *writer->TransContext();
  ASSERT_EQ(context.stcTransactionStart(false, false, false, false, false, false), 0u);
  ASSERT_EQ(Insert(*writer, Row{1}), 0u);
  changed.Clear();
  ASSERT_EQ(db->GetChangedTables(changed), 0u);
  EXPECT_EQ(changed.Count(), 0) << "not committed yet";
  ASSERT_EQ(context.stcTransactionCommit(), 0u);
  changed.Clear();
  ASSERT_EQ(db->GetChangedTables(changed), 0u);
  ASSERT_EQ(changed.Count(), 1);
  EXPECT_EQ(changed[0], name_);
  changed.Clear();
  ASSERT_EQ(db->GetChangedTables(changed), 0u);
  EXPECT_EQ(changed.Count(), 0);
  FreeCursors();
  db2->Free();
}

}  // namespace
}  // namespace revurov::testing
