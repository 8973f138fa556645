// Random blob steps through the table cursor on records with three blob
// fields, against a map of what each field should hold: create, write,
// truncate, replace, delete, free, read, length, copy from another cursor,
// steps rolled back by the caller, and the checks' answers for numbers and
// record versions that no longer hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "support/test_size.h"
#include "blob_cursor_table.h"

namespace revurov::testing {
namespace {

struct FieldModel {
  TnxBlobNr Nr = 0;  // 0: the field is null
  std::string Bytes;
};

struct RecordModel {
  TnxRecID RecID;
  FieldModel Fields[kBlobFields];
  std::vector<TnxBlobNr> Stale;  // numbers this record held once
};

class BlobCursorModelTest : public BlobCursorFixture {
protected:
  void StoreAll(RecordModel& aRecord, bool aNewLSN = false) {
    std::vector<TnxBlobNr> nrs;
    for (const FieldModel& field : aRecord.Fields) nrs.push_back(field.Nr);
    Store(cursor, aRecord.RecID, nrs, aNewLSN);
    for (const FieldModel& field : aRecord.Fields) cursor->strict->pending.erase(field.Nr);
  }
  void Forget(RecordModel& aRecord, int aField) {
    FieldModel& field = aRecord.Fields[aField];
    aRecord.Stale.push_back(field.Nr);
    field = FieldModel{};
    StoreAll(aRecord);
  }
  std::string Data(std::mt19937& aRandom, uint32_t aMax) {
    const uint32_t length = aRandom() % 4 == 0 ? aRandom() % (aMax + 1) : aRandom() % 600;
    return Bytes(length, aRandom());
  }

  StrictCursor* cursor = nullptr;
  StrictCursor* source = nullptr;
};

TEST_F(BlobCursorModelTest, RandomStepsMatchTheModel) {
  TnxServerTableCursor* plain = BuildTable();
  ASSERT_NE(plain, nullptr);
  cursor = NewStrict(plain);
  source = NewStrict(plain);
  const int steps = TestSize(5000, 100000);
  const uint32_t maxBlob = TestSize(20000u, 70000u);
  std::mt19937 random(4711);
  std::vector<RecordModel> records(5);
  for (size_t i = 0; i < records.size(); ++i) records[i].RecID = Insert(cursor, int32_t(i + 1));
  std::map<uint32_t, int> seen;

  for (int step = 0; step < steps; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    RecordModel& record = records[random() % records.size()];
    const int f = int(random() % kBlobFields);
    const int32_t fieldNo = kFieldA + f;
    FieldModel& field = record.Fields[f];
    const TnxRecID& recID = record.RecID;
    const int kind = int(random() % 14);
    ++seen[uint32_t(kind)];
    switch (kind) {
      case 0: {  // create, or replace from number 0, on an empty field
        if (field.Nr != 0) break;
        TnxBlobNr nr = 0;
        if (random() % 2) {
          ASSERT_EQ(cursor->BlobCreate(recID, fieldNo, nr), 0u) << LastMessage();
        } else {
          const std::string data = Data(random, maxBlob);
          ASSERT_EQ(cursor->BlobReplace(recID, fieldNo, nr, uint32_t(data.size()), data.data()), 0u)
              << LastMessage();
          field.Bytes = data;
          if (data.empty()) {
            EXPECT_EQ(nr, 0);  // nothing to hold
            break;
          }
        }
        ASSERT_NE(nr, 0);
        field.Nr = nr;
        StoreAll(record);
        break;
      }
      case 1:
      case 2: {  // write inside or at the end
        if (field.Nr == 0) break;
        const uint32_t offset = uint32_t(random() % (field.Bytes.size() + 1));
        const std::string data = Data(random, maxBlob / 2);
        ASSERT_EQ(cursor->BlobWrite(recID, fieldNo, field.Nr, offset, uint32_t(data.size()), data.data()), 0u)
            << LastMessage();
        if (field.Bytes.size() < offset + data.size()) field.Bytes.resize(offset + data.size());
        field.Bytes.replace(offset, data.size(), data);
        break;
      }
      case 3: {  // truncate
        if (field.Nr == 0) break;
        const uint32_t length = uint32_t(random() % (field.Bytes.size() + 1));
        ASSERT_EQ(cursor->BlobTruncate(recID, fieldNo, field.Nr, length), 0u) << LastMessage();
        field.Bytes.resize(length);
        break;
      }
      case 4: {  // replace the contents
        if (field.Nr == 0) break;
        const std::string data = Data(random, maxBlob);
        TnxBlobNr nr = field.Nr;
        ASSERT_EQ(cursor->BlobReplace(recID, fieldNo, nr, uint32_t(data.size()), data.data()), 0u)
            << LastMessage();
        EXPECT_EQ(nr, field.Nr);
        field.Bytes = data;
        break;
      }
      case 5: {  // delete
        if (field.Nr == 0) break;
        ASSERT_EQ(cursor->BlobDelete(recID, fieldNo, field.Nr), 0u) << LastMessage();
        Forget(record, f);
        break;
      }
      case 6: {  // free: only an empty blob goes, and the caller hears so
        if (field.Nr == 0) break;
        const uint32_t result = cursor->BlobFree(recID, fieldNo, field.Nr);
        if (field.Bytes.empty()) {
          ASSERT_EQ(result, nxeBlobModified) << LastMessage();
          Forget(record, f);
        } else {
          ASSERT_EQ(result, 0u) << LastMessage();
        }
        break;
      }
      case 7: {  // read a range
        if (field.Nr == 0) break;
        const uint32_t offset = uint32_t(random() % (field.Bytes.size() + 2));
        const uint32_t length = uint32_t(random() % (field.Bytes.size() + 2));
        const std::string expected = offset < field.Bytes.size() ? field.Bytes.substr(offset, length) : "";
        ASSERT_TRUE(SameBytes(Read(cursor, recID, fieldNo, field.Nr, offset, length), expected));
        break;
      }
      case 8: {  // length
        if (field.Nr == 0) break;
        uint32_t length = 0;
        ASSERT_EQ(cursor->BlobGetLength(recID, fieldNo, field.Nr, length, false, nullptr), 0u) << LastMessage();
        ASSERT_EQ(length, field.Bytes.size());
        break;
      }
      case 9: {  // copy another record's blob through another cursor
        RecordModel& from = records[random() % records.size()];
        const int fromField = int(random() % kBlobFields);
        const FieldModel& src = from.Fields[fromField];
        if (field.Nr != 0 || src.Nr == 0 || &from == &record) break;
        const uint32_t max = random() % 3 == 0 ? uint32_t(random() % (src.Bytes.size() + 1)) : 0xFFFFFFFFu;
        ASSERT_EQ(db->TransactionStart(false, false), 0u);
        TnxBlobNr nr = 0;
        ASSERT_EQ(cursor->sbcBlobCopyPrim(source, kFieldA + fromField, src.Nr, fieldNo, nr, max), 0u)
            << LastMessage();
        ASSERT_EQ(db->TransactionCommit(), 0u);
        ASSERT_NE(nr, 0);
        field.Nr = nr;
        field.Bytes = src.Bytes.substr(0, max);
        StoreAll(record);
        break;
      }
      case 10: {  // a write the caller rolls back
        if (field.Nr == 0) break;
        ASSERT_EQ(db->TransactionStart(false, false), 0u);
        const std::string data = Data(random, 3000);
        ASSERT_EQ(cursor->BlobReplace(recID, fieldNo, field.Nr, uint32_t(data.size()), data.data()), 0u)
            << LastMessage();
        ASSERT_TRUE(SameBytes(ReadAll(cursor, recID, fieldNo, field.Nr), data));
        ASSERT_EQ(db->TransactionRollback(), 0u);
        ASSERT_TRUE(SameBytes(ReadAll(cursor, recID, fieldNo, field.Nr), field.Bytes));
        break;
      }
      case 11: {  // a number the record no longer holds
        if (record.Stale.empty()) break;
        const TnxBlobNr stale = record.Stale[random() % record.Stale.size()];
        if (stale == field.Nr) break;
        TnxNewBlobNr newNr;
        switch (random() % 4) {
          case 0:
            ASSERT_EQ(Read(cursor, recID, fieldNo, stale, 0, 100), "!" + std::to_string(nxeBlobModified));
            break;
          case 1:
            if (field.Nr == 0) break;
            // The read serves the blob the record holds now.
            ASSERT_TRUE(SameBytes(Read(cursor, recID, fieldNo, stale, 0, 0x7FFFFFFF, &newNr), field.Bytes));
            EXPECT_TRUE(newNr.nbnSet);
            EXPECT_EQ(newNr.nbnBlobNr, field.Nr);
            break;
          case 2:
            ASSERT_EQ(cursor->BlobWrite(recID, fieldNo, stale, 0, 1, "x"), nxeBlobModified);
            break;
          case 3:
            ASSERT_EQ(cursor->BlobFree(recID, fieldNo, stale), nxeSegmentHasBeenDeleted);
            break;
        }
        break;
      }
      case 12: {  // blob number 0 of a stored record
        ASSERT_EQ(Read(cursor, recID, fieldNo, 0, 0, 10), "!" + std::to_string(nxeInvalidBlobHandle));
        ASSERT_EQ(cursor->BlobTruncate(recID, fieldNo, 0, 0), nxeInvalidBlobHandle);
        break;
      }
      case 13: {  // the record deleted and inserted again under its RefNr
        if (random() % 4 != 0) break;
        const TnxRecID old = record.RecID;
        StoreAll(record, true);
        for (int i = 0; i < kBlobFields; ++i) {
          const TnxBlobNr nr = record.Fields[i].Nr;
          if (nr == 0) continue;
          uint32_t length = 0;
          ASSERT_EQ(cursor->BlobGetLength(old, kFieldA + i, nr, length, false, nullptr), nxeRecordDeleted);
          ASSERT_EQ(cursor->BlobWrite(old, kFieldA + i, nr, 0, 1, "x"), nxeRecordDeleted);
        }
        break;
      }
    }
  }
  // Every field ends as the model says.
  for (const RecordModel& record : records) {
    for (int i = 0; i < kBlobFields; ++i) {
      if (record.Fields[i].Nr == 0) continue;
      EXPECT_TRUE(SameBytes(ReadAll(plain, record.RecID, kFieldA + i, record.Fields[i].Nr), record.Fields[i].Bytes));
    }
  }
  EXPECT_FALSE(InTransaction());
  for (int kind = 0; kind < 14; ++kind) EXPECT_GT(seen[uint32_t(kind)], 0) << kind;
}

}  // namespace
}  // namespace revurov::testing
