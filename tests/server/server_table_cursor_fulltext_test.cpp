// A table cursor hands its record changes to its fulltext cursor engine:
// BLOB text fields are read through the cursor with the record's ID, the
// old side as the BLOB was before the change.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/fulltext_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/locale_descriptor.h"
#include "dictionary/storage_descriptors.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"
#include "support/fulltext_token_probe.h"
#include "support/table_ops_fixture.h"

namespace revurov::testing {
namespace {

constexpr int32_t kID = 0, kMemo = 1, kWide = 2, kMemoCp = 3;

class CursorFulltextTest : public TableOpsFixture {
protected:
  ~CursorFulltextTest() override {
    if (cursor) cursor->Free();
  }

  static std::unique_ptr<TnxDataDictionary> Dictionary() {
    auto dict = std::make_unique<TnxDataDictionary>();
    auto& fields = dict->FieldsDescriptor();
    fields.AddField(u"ID", u"", nxtWord32, 0, 0, true);
    fields.AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    fields.AddField(u"Wide", u"", nxtBlobWideMemo, 0, 0, false);
    fields.AddField(u"MemoCp", u"", nxtBlobMemo, 0, 0, false)->AddLocaleDescriptor()->SetOverrideStorageCodepage(1251);
    dict->FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
    dict->AddBlobDescriptor()->SetFileNumber(1);
    TnxIndexDescriptor* byId =
        dict->IndicesDescriptor()->AddIndex(u"ByID", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo());
    static_cast<TnxCompKeyDescriptor*>(byId->KeyDescriptor())->Add(kID);
    auto* fulltext = static_cast<TnxFulltextDescriptor*>(
        dict->CustomDescsDescriptor().AddCustom(nxFulltextName, &TnxFulltextDescriptor::ClassInfo()));
    TnxFulltextIndexDescriptor* index = fulltext->AddFulltextIndex(u"");
    index->TokenExtractorHub().AddFieldTokenExtractor(kMemo, u"Memo");
    index->TokenExtractorHub().AddFieldTokenExtractor(kWide, u"Wide");
    index->TokenExtractorHub().AddFieldTokenExtractor(kMemoCp, u"MemoCp");
    index->TokenIndexHub().AddTokenIndex(u"P", &TnxProbeTokenIndexDescriptor::ClassInfo());
    return dict;
  }

  void Open() {
    auto dict = Dictionary();
    ASSERT_EQ(db->TableBuild(false, u"Docs", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxAbstractCursor* opened = nullptr;
    ASSERT_EQ(db->CursorOpen(opened, u"Docs", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr), 0u)
        << LastMessage();
    // A cursor with the passthrough BLOB handler (an open by a session of
    // this version would choose the caching kind, not built yet).
    TnxServerBaseTable* table = static_cast<TnxServerTableCursor*>(opened)->Table();
    cursor = nxCreateServerObject<TnxServerTableCursor>(db, table, 10000u, omReadWrite, smShared, u"", -1, false,
                                                        false)
                 .release();
    opened->Free();
    ASSERT_NE(cursor->FulltextEngine(), nullptr);
  }

  TnxFieldsDescriptor& Fields() { return cursor->TableDescriptor()->FieldsDescriptor(); }

  // Writes aBytes into the field's BLOB (a new one when the record has
  // none), cutting it to their length.
  void SetBlob(std::vector<uint8_t>& aRecord, int32_t aField, const std::string& aBytes) {
    bool isNull = false;
    TnxBlobNr nr = 0;
    Fields().GetRecordField(aField, aRecord.data(), isNull, &nr);
    const TnxRecID recID = cursor->acGetRecID(aRecord.data());
    if (isNull || nr == 0) {
      ASSERT_EQ(cursor->BlobCreate(recID, aField, nr), 0u) << LastMessage();
    }
    ASSERT_EQ(cursor->BlobWrite(recID, aField, nr, 0, uint32_t(aBytes.size()), aBytes.data()), 0u) << LastMessage();
    ASSERT_EQ(cursor->BlobTruncate(recID, aField, nr, uint32_t(aBytes.size())), 0u) << LastMessage();
    Fields().SetRecordField(aField, aRecord.data(), &nr);
  }

  TnxServerTableCursor* cursor = nullptr;
  TFulltextTokenProbe probe;
};

std::string Utf16Bytes(const std::u16string& aText) {
  return std::string(reinterpret_cast<const char*>(aText.data()), aText.size() * 2);
}

// The passthrough handler writes BLOBs in place and refuses to read them
// as they were (12289): the old side reads no BLOB text, as a failing BLOB
// call gives no token.
TEST_F(CursorFulltextTest, BlobTextIsReadThroughTheCursor) {
  ASSERT_NO_FATAL_FAILURE(Open());
  std::vector<uint8_t> record(size_t(Fields().RecordLength()) + 4, 0);
  Fields().InitRecord(record.data());
  const uint32_t id = 1;
  Fields().SetRecordField(kID, record.data(), &id);
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  SetBlob(record, kMemo, "Gr\xFC\xDF" "e");
  SetBlob(record, kWide, Utf16Bytes(u"\u65E5\u672C \U0001F600"));
  SetBlob(record, kMemoCp, "\xCF\xF0\xE8");
  ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
  ASSERT_EQ(db->TransactionCommit(), 0u) << LastMessage();
  EXPECT_EQ(ProbeLog().Old, std::vector<std::string>{});
  // Without a code page the bytes are widened; with one they convert.
  EXPECT_EQ(ProbeLog().New,
            (std::vector<std::string>{"Gr\u00FC\u00DFe|0|0", "\u65E5\u672C \U0001F600|0|1", "\u041F\u0440\u0438|0|2"}));

  ASSERT_EQ(cursor->SetToBegin(), 0u);
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  ASSERT_EQ(cursor->RecordGetNext(nxltWriteLock, record.data()), 0u) << LastMessage();
  SetBlob(record, kMemo, "neu");
  SetBlob(record, kMemoCp, "");
  ASSERT_EQ(cursor->RecordModify(record.data(), true, nullptr), 0u) << LastMessage();
  ASSERT_EQ(db->TransactionCommit(), 0u) << LastMessage();
  EXPECT_EQ(ProbeLog().Old, std::vector<std::string>{});
  // An empty BLOB gives no token.
  EXPECT_EQ(ProbeLog().New, (std::vector<std::string>{"neu|0|0", "\u65E5\u672C \U0001F600|0|1"}));

  ASSERT_EQ(cursor->SetToBegin(), 0u);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0u) << LastMessage();
  ASSERT_EQ(cursor->RecordDelete(record.data(), 0), 0u) << LastMessage();
  EXPECT_EQ(ProbeLog().Updates, 3);
  EXPECT_EQ(ProbeLog().Old, std::vector<std::string>{});
  EXPECT_EQ(ProbeLog().New, std::vector<std::string>{});
}

TEST_F(CursorFulltextTest, ARaisingTokenIndexRollsTheInsertBackAndLeavesNoHelper) {
  ASSERT_NO_FATAL_FAILURE(Open());
  std::vector<uint8_t> record(size_t(Fields().RecordLength()) + 4, 0);
  Fields().InitRecord(record.data());
  const uint32_t id = 7;
  Fields().SetRecordField(kID, record.data(), &id);
  ProbeLog().Fail = true;
  EXPECT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), nxeKeyViolation);
  EXPECT_EQ(TProbeHelper::Live().load(), 0);
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  EXPECT_NE(cursor->RecordGetNext(nxltNoLock, record.data()), 0u) << "the record went back";
}

}  // namespace
}  // namespace revurov::testing
