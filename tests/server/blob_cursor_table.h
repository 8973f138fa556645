// A table for the table cursor's blob workers: ID (Int32), InsertLSN
// (Int64, the insert-LSN field) and three blob fields A, B and C, with the
// segmented blob engine in a file of its own. Records are written straight
// through the record engine; their InsertLSN is a counter of the fixture.
//
// StrictCursor gets a blob handler that, like a caching one, accepts only
// numbers the record holds or that it made and were not stored yet, so
// that numbers a record no longer holds answer 13058.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "dictionary/default_values.h"
#include "dictionary/storage_descriptors.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/stream.h"
#include "server/blob_link_handler.h"
#include "server/passthrough_blob_handler.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "storage/sub_engines.h"
#include "support/string_stream.h"
#include "support/table_ops_fixture.h"

namespace revurov::testing {

class StrictBlobHandler : public TnxPassthroughBlobHandler {
  REVUROV_SERVER_OBJECT_CLASS(StrictBlobHandler, TnxPassthroughBlobHandler)
  using TnxPassthroughBlobHandler::TnxPassthroughBlobHandler;

  bool BlobVerifyNr(TnxBaseTransaction*, const TnxRecID&, int32_t, TnxBlobNr aBlobNr) override {
    return pending.count(aBlobNr) != 0;
  }
  uint32_t BlobCreate(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo,
                      TnxBlobNr& aBlobNr) override {
    const uint32_t result = TnxPassthroughBlobHandler::BlobCreate(aTrans, aRecID, aFieldNo, aBlobNr);
    if (result == 0) pending.insert(aBlobNr);
    return result;
  }
  uint32_t BlobReplace(TnxBaseTransaction* aTrans, const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr& aBlobNr,
                       uint32_t aLen, const void* aBlob) override {
    const bool creates = aBlobNr == 0;
    const uint32_t result = TnxPassthroughBlobHandler::BlobReplace(aTrans, aRecID, aFieldNo, aBlobNr, aLen, aBlob);
    if (result == 0 && creates && aBlobNr != 0) pending.insert(aBlobNr);
    return result;
  }

  std::set<TnxBlobNr> pending;

protected:
  ~StrictBlobHandler() override = default;
};

class StrictCursor : public TnxServerTableCursor {
  REVUROV_SERVER_OBJECT_CLASS(StrictCursor, TnxServerTableCursor)
  StrictCursor(TnxServerDatabase* aDatabase, TnxServerBaseTable* aTable)
      : TnxServerTableCursor(aDatabase, aTable, 10000u, omReadWrite, smShared, u"", -1, false, false) {
    auto handler = nxCreateServerObject<StrictBlobHandler>(this, aTable->BlobEngine(), aDatabase->BlobLinkHandler(),
                                                           &aTable->TableDescriptor()->FieldsDescriptor());
    strict = handler.get();
    stcSetBlobHandler(std::move(handler));
  }
  StrictBlobHandler* strict = nullptr;

protected:
  ~StrictCursor() override = default;
};

// Field numbers.
inline constexpr int32_t kFieldID = 0, kFieldLSN = 1, kFieldA = 2, kFieldB = 3, kFieldC = 4;
inline constexpr int kBlobFields = 3;

class BlobCursorFixture : public TableOpsFixture {
protected:
  ~BlobCursorFixture() override {
    while (db && InTransaction()) db->TransactionRollback();
    for (TnxAbstractCursor* cursor : cursors_) cursor->Free();
  }

  bool InTransaction() {
    auto* context = static_cast<TnxServerTransContext*>(db->TransContext());
    return context && context->stcTransaction() != nullptr;
  }

  static std::unique_ptr<TnxDataDictionary> Dictionary() {
    auto dict = std::make_unique<TnxDataDictionary>();
    auto& fields = dict->FieldsDescriptor();
    fields.AddField(u"ID", u"", nxtInt32, 0, 0, false);
    fields.AddField(u"InsertLSN", u"", nxtInt64, 0, 0, false)
        ->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo())
        ->SetApplyOnModify(false);
    fields.AddField(u"A", u"", nxtBlob, 0, 0, false);
    fields.AddField(u"B", u"", nxtBlobMemo, 0, 0, false);
    fields.AddField(u"C", u"", nxtBlobGraphic, 0, 0, false);
    dict->FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
    dict->AddBlobDescriptor()->SetFileNumber(1);
    return dict;
  }

  // Builds aName and answers a cursor on it with the passthrough handler
  // (an open by a session of this version would choose the caching kind).
  TnxServerTableCursor* BuildTable(std::u16string_view aName = u"Blobs") {
    auto dict = Dictionary();
    EXPECT_EQ(db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxServerTableCursor* opened = OpenCursor(aName);
    return opened ? NewPlain(opened->Table()) : nullptr;
  }
  TnxServerTableCursor* NewPlain(TnxServerBaseTable* aTable, TnxShareMode aShare = smShared,
                                 TnxOpenMode aMode = omReadWrite, TnxServerDatabase* aDatabase = nullptr) {
    auto cursor = nxCreateServerObject<TnxServerTableCursor>(aDatabase ? aDatabase : db, aTable, 10000u, aMode,
                                                             aShare, u"", -1, false, false);
    cursors_.push_back(cursor.get());
    return cursor.release();
  }
  TnxServerTableCursor* OpenCursor(std::u16string_view aName = u"Blobs", TnxShareMode aShare = smShared,
                                   TnxOpenMode aMode = omReadWrite) {
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(db->CursorOpen(cursor, aName, u"", aMode, aShare, 10000, u"", -1, false, 0, 500, nullptr), 0u)
        << LastMessage();
    if (!cursor) return nullptr;
    cursors_.push_back(cursor);
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  StrictCursor* NewStrict(TnxServerTableCursor* aOn) {
    auto cursor = nxCreateServerObject<StrictCursor>(db, aOn->Table());
    cursors_.push_back(cursor.get());
    return cursor.release();
  }

  TnxFieldsDescriptor& Fields(TnxServerTableCursor* aCursor) {
    return aCursor->TableDescriptor()->FieldsDescriptor();
  }

  // A record of ID aID with aLSN and the blob fields null (or the numbers
  // given, 0 for null).
  std::vector<uint8_t> Record(TnxServerTableCursor* aCursor, int32_t aID, int64_t aLSN,
                              const std::vector<TnxBlobNr>& aBlobs = {}) {
    TnxFieldsDescriptor& fields = Fields(aCursor);
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 16, 0);
    fields.InitRecord(record.data());
    fields.SetRecordField(kFieldID, record.data(), &aID);
    fields.SetRecordField(kFieldLSN, record.data(), &aLSN);
    for (int i = 0; i < kBlobFields; ++i) {
      const TnxBlobNr nr = size_t(i) < aBlobs.size() ? aBlobs[size_t(i)] : 0;
      if (nr != 0)
        fields.SetRecordField(kFieldA + i, record.data(), &nr);
      else
        fields.SetRecordFieldNull(kFieldA + i, record.data(), true);
    }
    return record;
  }

  // Inserts a record and answers its record ID.
  TnxRecID Insert(TnxServerTableCursor* aCursor, int32_t aID, const std::vector<TnxBlobNr>& aBlobs = {}) {
    const int64_t lsn = ++lsn_;
    std::vector<uint8_t> record = Record(aCursor, aID, lsn, aBlobs);
    TnxRefNr refNr = 0;
    Direct([&](TnxBaseTransaction& aTrans) { aCursor->Table()->RecordEngine()->AddRecord(aTrans, refNr, record.data()); });
    return {refNr, lsn};
  }
  // Rewrites the record with the blob numbers given (ID 1); aNewLSN stands
  // for a delete and reinsert under the same RefNr.
  void Store(TnxServerTableCursor* aCursor, TnxRecID& aRecID, const std::vector<TnxBlobNr>& aBlobs,
             bool aNewLSN = false) {
    if (aNewLSN) aRecID.ridInsertLSN = ++lsn_;
    std::vector<uint8_t> record = Record(aCursor, 1, aRecID.ridInsertLSN, aBlobs);
    std::vector<uint8_t> old(record.size(), 0);
    Direct([&](TnxBaseTransaction& aTrans) {
      aCursor->Table()->RecordEngine()->UpdateRecord(aTrans, aRecID.ridRefNr, record.data(), old.data());
    });
  }
  template <class F>
  void Direct(F&& aWork) {
    TnxBufferManager& bm = *engine->BufferManager();
    TnxBaseTransaction trans(bm, nullptr, false, false);
    aWork(trans);
    nxsrCommit(bm, trans);
  }

  // What the cursor's read delivers, "!code" on failure.
  static std::string Read(TnxServerTableCursor* aCursor, const TnxRecID& aRecID, int32_t aField, TnxBlobNr aNr,
                          uint32_t aOffset, uint32_t aLen, TnxNewBlobNr* aNewNr = nullptr) {
    TStringStream stream;
    const uint32_t result = aCursor->BlobRead(aRecID, aField, aNr, aOffset, aLen, stream, false, aNewNr);
    if (result != 0) return "!" + std::to_string(result);
    return stream.Bytes;
  }
  static std::string ReadAll(TnxServerTableCursor* aCursor, const TnxRecID& aRecID, int32_t aField, TnxBlobNr aNr) {
    return Read(aCursor, aRecID, aField, aNr, 0, 0x7FFFFFFF);
  }

  // Compares without printing megabytes.
  static ::testing::AssertionResult SameBytes(const std::string& aGot, const std::string& aWant) {
    if (aGot == aWant) return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < aGot.size() && at < aWant.size() && aGot[at] == aWant[at]) ++at;
    return ::testing::AssertionFailure() << "got " << aGot.size() << " bytes (" << aGot.substr(0, 12)
                                         << "...), want " << aWant.size() << ", first difference at " << at;
  }

  // aCount bytes of a pattern of aSeed.
  static std::string Bytes(size_t aCount, uint32_t aSeed) {
    std::string bytes(aCount, '\0');
    uint32_t x = aSeed * 2654435761u + 1;
    for (char& c : bytes) {
      x = x * 1103515245u + 12345u;
      c = char(x >> 24);
    }
    return bytes;
  }

  int64_t lsn_ = 1000;
  std::vector<TnxAbstractCursor*> cursors_;
};

}  // namespace revurov::testing
