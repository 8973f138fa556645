// The table cursor's batch insert (streams built by hand, good and bad,
// and randomly mutated ones), its auto-increment workers and the record
// lock query and release.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dictionary/storage_descriptors.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "platform/stream.h"
#include "server/server_table_cursor.h"
#include "server/server_trans_context.h"
#include "server/server_transaction.h"
#include "server/table_lock_container.h"
#include "storage/blob_engines.h"
#include "storage/sub_engines.h"
#include "support/string_stream.h"
#include "support/table_check.h"
#include "support/table_ops_fixture.h"
#include "support/test_size.h"

// Rows name only the fields they set.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace revurov::testing {
namespace {

constexpr int32_t kID = 0, kName = 1, kSeq = 2, kBlobA = 3, kBlobB = 4;

// A cursor that notes the blob cancels asked of it.
class CancelNotingCursor : public TnxServerTableCursor {
  REVUROV_SERVER_OBJECT_CLASS(CancelNotingCursor, TnxServerTableCursor)
  using TnxServerTableCursor::TnxServerTableCursor;
  uint32_t sbcBlobsCancel(TnxRefNr aRefNr) override {
    cancelled.push_back(aRefNr);
    return 0;
  }
  std::vector<TnxRefNr> cancelled;

protected:
  ~CancelNotingCursor() override = default;
};

// One record of a batch: a blob value per blob field, nullopt for a null
// field (an empty string is a block of length 0).
struct BatchRow {
  int32_t ID = 0;
  std::optional<std::string> Name = "n";
  std::optional<uint32_t> Seq;
  std::optional<std::string> A, B;
  int32_t Pad = 0;  // bytes of the entry beyond the record
};

struct TableShape {
  bool AutoInc = true;
  bool NameRequired = false;
  bool Blobs = true;
};

class BatchFixture : public TableOpsFixture {
protected:
  ~BatchFixture() override {
    while (db && Trans()) db->TransactionRollback();
    for (TnxAbstractCursor* cursor : cursors_) cursor->Free();
  }

  static std::unique_ptr<TnxDataDictionary> Dictionary(const TableShape& aShape) {
    auto dict = std::make_unique<TnxDataDictionary>();
    auto& fields = dict->FieldsDescriptor();
    fields.AddField(u"ID", u"", nxtInt32, 0, 0, false);
    fields.AddField(u"Name", u"", nxtShortString, 12, 0, aShape.NameRequired);
    // An AutoInc field brings the table an auto-increment engine.
    if (aShape.AutoInc) fields.AddField(u"Seq", u"", nxtAutoInc, 0, 0, false);
    if (aShape.Blobs) {
      fields.AddField(u"A", u"", nxtBlob, 0, 0, false);
      fields.AddField(u"B", u"", nxtBlobMemo, 0, 0, false);
    }
    dict->FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
    if (aShape.Blobs) {
      dict->FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
      dict->AddBlobDescriptor()->SetFileNumber(2);
    }
    static_cast<TnxCompKeyDescriptor*>(dict->EnsureIndicesDescriptor()
                                           ->AddIndex(u"ByID", 1, idAll, u"", &TnxCompKeyDescriptor::ClassInfo())
                                           ->KeyDescriptor())
        ->Add(0);
    return dict;
  }

  TnxServerTableCursor* BuildTable(const TableShape& aShape = {}, std::u16string_view aName = u"Batch") {
    auto dict = Dictionary(aShape);
    EXPECT_EQ(db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    return OpenCursor(aName);
  }
  TnxServerTableCursor* OpenCursor(std::u16string_view aName = u"Batch", TnxOpenMode aMode = omReadWrite,
                                   TnxServerDatabase* aDatabase = nullptr, uint32_t aTimeout = 10000) {
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ((aDatabase ? aDatabase : db)
                  ->CursorOpen(cursor, aName, u"", aMode, smShared, aTimeout, u"", -1, false, 0, 500, nullptr),
              0u)
        << LastMessage();
    if (cursor) cursors_.push_back(cursor);
    return static_cast<TnxServerTableCursor*>(cursor);
  }

  TnxServerTransaction* Trans() {
    auto* context = static_cast<TnxServerTransContext*>(db->TransContext());
    return context ? context->stcTransaction() : nullptr;
  }

  static TnxFieldsDescriptor& Fields(TnxServerTableCursor* aCursor) {
    return aCursor->TableDescriptor()->FieldsDescriptor();
  }

  // The stream: 4 unread bytes, the count, the entries, then the blob
  // blocks, each record's blob fields holding their block's offset.
  static std::vector<uint8_t> Stream(TnxServerTableCursor* aCursor, const std::vector<BatchRow>& aRows,
                                     int32_t aCount = -1) {
    TnxFieldsDescriptor& fields = Fields(aCursor);
    const int32_t recordLength = fields.RecordLength();
    const bool blobs = fields.FieldCount() > kBlobA;
    std::vector<uint8_t> out(8, 0xEE);
    platform::StoreLE<int32_t>(out.data() + 4, aCount < 0 ? int32_t(aRows.size()) : aCount);
    std::vector<size_t> recordAt;
    for (const BatchRow& row : aRows) {
      const size_t at = out.size();
      out.resize(at + 4 + size_t(recordLength + row.Pad), 0xCD);
      platform::StoreLE<int32_t>(out.data() + at, recordLength + row.Pad);
      recordAt.push_back(at + 4);
      uint8_t* record = out.data() + at + 4;
      fields.InitRecord(record);
      fields.SetRecordField(kID, record, &row.ID);
      if (row.Name) {
        uint8_t text[16] = {uint8_t(row.Name->size())};
        std::memcpy(text + 1, row.Name->data(), row.Name->size());
        fields.SetRecordField(kName, record, text);
      } else {
        fields.SetRecordFieldNull(kName, record, true);
      }
      if (fields.FieldCount() <= kSeq) continue;
      if (row.Seq)
        fields.SetRecordField(kSeq, record, &*row.Seq);
      else
        fields.SetRecordFieldNull(kSeq, record, true);
    }
    for (size_t i = 0; i < aRows.size() && blobs; ++i) {
      const std::optional<std::string>* values[] = {&aRows[i].A, &aRows[i].B};
      for (int f = 0; f < 2; ++f) {
        uint8_t* record = out.data() + recordAt[i];
        if (!*values[f]) {
          fields.SetRecordFieldNull(kBlobA + f, record, true);
          continue;
        }
        const uint64_t offset = out.size();
        fields.SetRecordField(kBlobA + f, record, &offset);
        const std::string& bytes = **values[f];
        out.resize(out.size() + 4 + bytes.size());
        platform::StoreLE<int32_t>(out.data() + offset, int32_t(bytes.size()));
        std::memcpy(out.data() + offset + 4, bytes.data(), bytes.size());
      }
    }
    return out;
  }

  static uint32_t Insert(TnxServerTableCursor* aCursor, std::vector<uint8_t>& aStream) {
    // Exactly the bytes given: a read past them is one the sanitizer sees.
    TnxStaticMemoryStream stream(aStream.data(), int64_t(aStream.size()));
    return aCursor->RecordInsertBatch(stream);
  }

  TRecords Records(TnxServerTableCursor* aCursor, TnxBaseTransaction* aTrans = nullptr) {
    return ReadRecords(*aCursor->Table(), aTrans, size_t(Fields(aCursor).RecordLength()));
  }

  static int32_t IntOf(TnxServerTableCursor* aCursor, const std::vector<uint8_t>& aRecord, int32_t aField,
                       bool* aNull = nullptr) {
    bool isNull = true;
    uint8_t value[8] = {};
    Fields(aCursor).GetRecordField(aField, aRecord.data(), isNull, value);
    if (aNull) *aNull = isNull;
    return isNull ? 0 : platform::LoadLE<int32_t>(value);
  }
  // The blob's bytes read through the engine, nullopt for a null field.
  static std::optional<std::string> BlobOf(TnxServerTableCursor* aCursor, const std::vector<uint8_t>& aRecord,
                                           int32_t aField, TnxBaseTransaction* aTrans = nullptr) {
    TnxFieldsDescriptor& fields = Fields(aCursor);
    if (fields.IsRecordFieldNull(aField, aRecord.data())) return std::nullopt;
    const TnxBlobNr nr = platform::LoadLE<int64_t>(aRecord.data() + fields.FieldDescriptor(aField)->Offset());
    TnxBaseBlobEngine& blobs = *aCursor->Table()->BlobEngine();
    uint32_t length = 0;
    blobs.GetBlobLength(aTrans, nr, {}, length);
    TStringStream stream;
    EXPECT_EQ(blobs.Read(aTrans, nr, 0, length, {}, stream), 0u);
    return stream.Bytes;
  }

  bool WriterLockHeld(TnxServerTableCursor* aCursor) {
    return aCursor->Table()->Locks().IsRecordLocked(aCursor, aCursor->SelfRefNr()) != lpNotAtAll;
  }

  static std::string Pattern(size_t aCount, uint32_t aSeed) {
    std::string bytes(aCount, '\0');
    uint32_t x = aSeed * 2654435761u + 7;
    for (char& c : bytes) {
      x = x * 1103515245u + 12345u;
      c = char(x >> 24);
    }
    return bytes;
  }

  std::vector<TnxAbstractCursor*> cursors_;
};

// ---- good batches ----

TEST_F(BatchFixture, AGoodBatchStoresRecordsBlobsAndAutoIncValues) {
  TnxServerTableCursor* cursor = BuildTable();
  ASSERT_NE(cursor, nullptr);
  const std::string big = Pattern(70000, 3);
  std::vector<BatchRow> rows = {
      {.ID = 1, .A = "hello", .B = Pattern(1000, 1)},
      {.ID = 2, .Name = std::nullopt, .Seq = 50u, .A = std::nullopt, .B = "", .Pad = 3},
      {.ID = 3, .Seq = 0u, .A = big, .B = std::nullopt},
  };
  std::vector<uint8_t> stream = Stream(cursor, rows);
  ASSERT_EQ(Insert(cursor, stream), 0u) << LastMessage();
  EXPECT_EQ(Trans(), nullptr);
  EXPECT_FALSE(WriterLockHeld(cursor));

  const TRecords records = Records(cursor);
  ASSERT_EQ(records.size(), 3u);
  std::map<int32_t, std::vector<uint8_t>> byID;
  for (const auto& [refNr, record] : records) byID[IntOf(cursor, record, kID)] = record;
  // Null and 0 take the next values; a given value stays.
  EXPECT_EQ(IntOf(cursor, byID[1], kSeq), 1);
  EXPECT_EQ(IntOf(cursor, byID[2], kSeq), 50);
  EXPECT_EQ(IntOf(cursor, byID[3], kSeq), 2);
  EXPECT_EQ(BlobOf(cursor, byID[1], kBlobA), "hello");
  EXPECT_EQ(BlobOf(cursor, byID[1], kBlobB), Pattern(1000, 1));
  EXPECT_EQ(BlobOf(cursor, byID[2], kBlobA), std::nullopt);
  EXPECT_EQ(BlobOf(cursor, byID[2], kBlobB), std::nullopt) << "a block of length 0 stores null";
  EXPECT_TRUE(BlobOf(cursor, byID[3], kBlobA) == big);
  EXPECT_EQ(BlobOf(cursor, byID[3], kBlobB), std::nullopt);
  ExpectIndexComplete(cursor->Table()->IndicesEngine()->Indices(0), nullptr, records, "ByID");

  uint32_t value = 0;
  EXPECT_EQ(cursor->AutoIncGet(value, false), 0u);
  EXPECT_EQ(value, 2u);
  EXPECT_EQ(db->TableAutoIncGet(u"Batch", u"", value), 0u) << LastMessage();
  EXPECT_EQ(value, 2u);
}

TEST_F(BatchFixture, ACountOfZeroAddsNothingAndCommits) {
  TnxServerTableCursor* cursor = BuildTable();
  std::vector<uint8_t> stream = Stream(cursor, {{.ID = 1}}, 0);
  EXPECT_EQ(Insert(cursor, stream), 0u) << LastMessage();
  EXPECT_EQ(Trans(), nullptr);
  EXPECT_TRUE(Records(cursor).empty());
}

TEST_F(BatchFixture, InsertOptionsSwitchDefaultsAutoIncAndValidation) {
  TnxServerTableCursor* cursor = BuildTable({.NameRequired = true});
  cursor->OptionSet(u"INSERT_OPTIONS_SETAUTOINC", u"false");
  cursor->OptionSet(u"INSERT_OPTIONS_VALIDATE", u"false");
  std::vector<uint8_t> stream = Stream(cursor, {{.ID = 1, .Name = std::nullopt}});
  ASSERT_EQ(Insert(cursor, stream), 0u) << LastMessage();
  const TRecords records = Records(cursor);
  ASSERT_EQ(records.size(), 1u);
  bool isNull = false;
  IntOf(cursor, records.begin()->second, kSeq, &isNull);
  EXPECT_TRUE(isNull) << "no value without ioSetAutoInc";
}

// ---- failures ----

TEST_F(BatchFixture, ABadStreamAnswers15522AndLeavesTheTableAsItWas) {
  TnxServerTableCursor* cursor = BuildTable();
  const int32_t recordLength = Fields(cursor).RecordLength();
  const std::vector<BatchRow> rows = {{.ID = 1, .A = "one"}, {.ID = 2, .B = "two"}, {.ID = 3, .A = "x", .B = "y"}};
  const std::vector<uint8_t> good = Stream(cursor, rows);
  // Where the third record's fields and the entries lie.
  const size_t entry1 = 8, entry2 = entry1 + 4 + size_t(recordLength), entry3 = entry2 + 4 + size_t(recordLength);
  const size_t blobA3 = entry3 + 4 + size_t(Fields(cursor).FieldDescriptor(kBlobA)->Offset());
  const uint32_t blockA3 = platform::LoadLE<uint32_t>(good.data() + blobA3);
  using Mutate = void (*)(std::vector<uint8_t>&, size_t, size_t, uint32_t, int32_t);
  const struct {
    const char* Name;
    Mutate Change;
  } cases[] = {
      {"no count", [](auto& s, size_t, size_t, uint32_t, int32_t) { s.resize(6); }},
      {"negative count", [](auto& s, size_t, size_t, uint32_t, int32_t) { platform::StoreLE<int32_t>(&s[4], -1); }},
      {"count beyond the entries",
       [](auto& s, size_t, size_t, uint32_t, int32_t) { platform::StoreLE<int32_t>(&s[4], 4); }},
      {"entry shorter than the record",
       [](auto& s, size_t e3, size_t, uint32_t, int32_t n) { platform::StoreLE<int32_t>(&s[e3], n - 1); }},
      {"negative entry size", [](auto& s, size_t e3, size_t, uint32_t, int32_t) {
         platform::StoreLE<int32_t>(&s[e3], -8);
       }},
      {"entry past the end",
       [](auto& s, size_t e3, size_t, uint32_t, int32_t) { platform::StoreLE<int32_t>(&s[e3], 0x7FFFFFF0); }},
      {"stream cut inside the third record", [](auto& s, size_t e3, size_t, uint32_t, int32_t) { s.resize(e3 + 9); }},
      {"stream cut inside the third entry size", [](auto& s, size_t e3, size_t, uint32_t, int32_t) { s.resize(e3 + 2); }},
      {"blob offset past the end",
       [](auto& s, size_t, size_t b, uint32_t, int32_t) { platform::StoreLE<uint32_t>(&s[b], uint32_t(s.size())); }},
      {"blob header straddles the end",
       [](auto& s, size_t, size_t b, uint32_t, int32_t) { platform::StoreLE<uint32_t>(&s[b], uint32_t(s.size() - 2)); }},
      {"blob offset with high bits",
       [](auto& s, size_t, size_t b, uint32_t k, int32_t) { platform::StoreLE<uint32_t>(&s[b + 4], 1u); (void)k; }},
      {"blob length past the end",
       [](auto& s, size_t, size_t, uint32_t k, int32_t) { platform::StoreLE<int32_t>(&s[k], 1000); }},
      {"negative blob length",
       [](auto& s, size_t, size_t, uint32_t k, int32_t) { platform::StoreLE<int32_t>(&s[k], -2); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<uint8_t> stream = good;
    c.Change(stream, entry3, blobA3, blockA3, recordLength);
    EXPECT_EQ(Insert(cursor, stream), nxeMessageUnrecognized);
    EXPECT_EQ(Trans(), nullptr);
    EXPECT_FALSE(WriterLockHeld(cursor));
    EXPECT_TRUE(Records(cursor).empty());
    uint32_t value = 99;
    EXPECT_EQ(cursor->AutoIncGet(value, false), 0u);
    EXPECT_EQ(value, 0u) << "the own transaction's counter steps are rolled back";
  }
  std::vector<uint8_t> stream = good;
  EXPECT_EQ(Insert(cursor, stream), 0u) << LastMessage() << " the untouched stream is good";
  EXPECT_EQ(Records(cursor).size(), 3u);
}

TEST_F(BatchFixture, AFailingThirdRecordInTheCallersTransactionLeavesTwoAndMarksItCorrupted) {
  TnxServerTableCursor* cursor = BuildTable({.NameRequired = true});
  const struct {
    const char* Name;
    std::vector<BatchRow> Rows;
    uint32_t Code;
  } cases[] = {
      {"validation", {{.ID = 1}, {.ID = 2}, {.ID = 3, .Name = std::nullopt}}, nxeFieldValueRequired},
      {"bad blob offset", {{.ID = 1}, {.ID = 2}, {.ID = 3, .A = "zz"}}, nxeMessageUnrecognized},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::vector<uint8_t> stream = Stream(cursor, c.Rows);
    if (c.Code == nxeMessageUnrecognized) stream.resize(stream.size() - 1);
    ASSERT_EQ(db->TransactionStart(false, false), 0u);
    EXPECT_EQ(Insert(cursor, stream), c.Code);
    ASSERT_NE(Trans(), nullptr);
    EXPECT_EQ(Records(cursor, Trans()).size(), 2u) << "records before the failing one stay in the transaction";
    EXPECT_NE(Trans()->CheckState(), 0u) << "the transaction is marked corrupted";
    EXPECT_FALSE(WriterLockHeld(cursor));
    EXPECT_EQ(db->TransactionRollback(), 0u);
    EXPECT_TRUE(Records(cursor).empty());
  }
  // Without the caller's transaction the batch's own goes back whole.
  std::vector<uint8_t> stream = Stream(cursor, {{.ID = 1}, {.ID = 2}, {.ID = 3, .Name = std::nullopt}});
  EXPECT_EQ(Insert(cursor, stream), nxeFieldValueRequired);
  EXPECT_EQ(Trans(), nullptr);
  EXPECT_TRUE(Records(cursor).empty());
}

TEST_F(BatchFixture, ANestedBatchRollsBackOnlyItsOwnLevel) {
  TnxServerTableCursor* cursor = BuildTable();
  cursor->RequestNestedTransactions();
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  std::vector<uint8_t> good = Stream(cursor, {{.ID = 1}});
  ASSERT_EQ(Insert(cursor, good), 0u) << LastMessage();
  std::vector<uint8_t> bad = Stream(cursor, {{.ID = 2}, {.ID = 3}}, 3);
  EXPECT_EQ(Insert(cursor, bad), nxeMessageUnrecognized);
  ASSERT_NE(Trans(), nullptr);
  EXPECT_EQ(Trans()->CheckState(), 0u) << "the caller's level is not marked";
  EXPECT_EQ(Records(cursor, Trans()).size(), 1u);
  EXPECT_EQ(db->TransactionCommit(), 0u) << LastMessage();
  EXPECT_EQ(Records(cursor).size(), 1u);
}

TEST_F(BatchFixture, RefusalsBeforeAnyWrite) {
  BuildTable();
  // The writer lock waits for the cursor's timeout before it gives up.
  TnxServerTableCursor* cursor = OpenCursor(u"Batch", omReadWrite, nullptr, 300);
  std::vector<uint8_t> stream = Stream(cursor, {{.ID = 1}});
  TnxServerTableCursor* reader = OpenCursor(u"Batch", omReadOnly);
  EXPECT_EQ(Insert(reader, stream), nxeTableReadOnly);
  EXPECT_EQ(reader->AutoIncSet(5), nxeTableReadOnly);

  ASSERT_EQ(db->TransactionStart(false, true), 0u);
  EXPECT_EQ(Insert(cursor, stream), nxeTableReadOnly) << "snapshot transaction on a table kept on disk";
  EXPECT_EQ(cursor->AutoIncSet(5), nxeTableReadOnly);
  EXPECT_EQ(db->TransactionRollback(), 0u);

  // Another session's table write lock refuses the writer lock.
  TnxServerSession* other = Open();
  TnxAbstractDatabase* otherDb = nullptr;
  ASSERT_EQ(other->DatabaseOpen(otherDb, u"Path", Path(), nullptr, omReadWrite, smShared, 10000), 0u);
  TnxServerTableCursor* holder = OpenCursor(u"Batch", omReadWrite, static_cast<TnxServerDatabase*>(otherDb));
  ASSERT_EQ(holder->TableLockAcquire(nxltWriteLock), 0u) << LastMessage();
  EXPECT_EQ(Insert(cursor, stream), nxeFileIsLocked);
  EXPECT_EQ(cursor->AutoIncSet(5), nxeFileIsLocked);
  EXPECT_EQ(Trans(), nullptr);
  EXPECT_EQ(holder->TableLockRelease(nxltWriteLock, true), 0u);
  EXPECT_EQ(Insert(cursor, stream), 0u) << LastMessage();
  EXPECT_EQ(Records(cursor).size(), 1u);
  for (auto it = cursors_.begin(); it != cursors_.end();)
    if (*it == holder) {
      holder->Free();
      it = cursors_.erase(it);
    } else {
      ++it;
    }
  otherDb->Free();
}

// Random changes of a good stream: each answer is 0 or 15522, a refused
// stream changes nothing, an accepted one adds exactly its records.
TEST_F(BatchFixture, MutatedStreamsGiveOnlyResultCodes) {
  TnxServerTableCursor* cursor = BuildTable({.AutoInc = true});
  const int32_t recordLength = Fields(cursor).RecordLength();
  const int32_t offsetA = Fields(cursor).FieldDescriptor(kBlobA)->Offset();
  const int32_t offsetB = Fields(cursor).FieldDescriptor(kBlobB)->Offset();
  std::mt19937 random(20261211);
  const int rounds = TestSize(1500, 100000);
  size_t committed = 0;
  for (int round = 0; round < rounds; ++round) {
    std::vector<BatchRow> rows;
    const int count = int(random() % 4);
    for (int i = 0; i < count; ++i) {
      BatchRow row{.ID = int32_t(random() % 50), .Pad = int32_t(random() % 3)};
      if (random() % 2) row.A = Pattern(random() % 40, uint32_t(round));
      if (random() % 2) row.B = Pattern(random() % 300, uint32_t(round + 1));
      rows.push_back(row);
    }
    std::vector<uint8_t> stream = Stream(cursor, rows);
    // Where the records and their blob fields lie in the untouched stream.
    std::vector<size_t> entries;
    for (size_t at = 8; entries.size() < rows.size();) {
      entries.push_back(at);
      at += 4 + size_t(platform::LoadLE<int32_t>(&stream[at]));
    }
    const int changes = 1 + int(random() % 3);
    for (int k = 0; k < changes; ++k) {
      const size_t e = entries.empty() ? 0 : entries[random() % entries.size()];
      switch (random() % 9) {
        case 0: platform::StoreLE<int32_t>(&stream[4], int32_t(random() % 7) - 2); break;
        case 1:
          if (!entries.empty()) platform::StoreLE<int32_t>(&stream[e], recordLength + int32_t(random() % 9) - 4);
          break;
        case 2:
          if (!entries.empty()) platform::StoreLE<int32_t>(&stream[e], int32_t(random()));
          break;
        case 3:
          if (!entries.empty())
            platform::StoreLE<uint32_t>(&stream[e + 4 + size_t(random() % 2 ? offsetA : offsetB)],
                                        uint32_t(stream.size()) - uint32_t(random() % 8));
          break;
        case 4:
          if (!entries.empty())
            platform::StoreLE<uint32_t>(&stream[e + 4 + size_t(random() % 2 ? offsetA : offsetB) + 4],
                                        uint32_t(random() % 3));
          break;
        case 5: {
          // A blob length: the block's first bytes wherever the field points.
          if (entries.empty()) break;
          const uint32_t at =
              platform::LoadLE<uint32_t>(&stream[e + 4 + size_t(random() % 2 ? offsetA : offsetB)]);
          if (at + 4 <= stream.size())
            platform::StoreLE<int32_t>(&stream[at], int32_t(random() % 600) - 100);
          break;
        }
        case 6: stream.resize(stream.size() - std::min(stream.size(), size_t(1 + random() % 40))); break;
        case 7: stream[random() % stream.size()] ^= uint8_t(1u << (random() % 8)); break;
        default: stream.resize(random() % (stream.size() + 1)); break;
      }
      if (stream.empty()) stream.resize(1);
    }
    const bool inCaller = random() % 4 == 0;
    if (inCaller) {
      ASSERT_EQ(db->TransactionStart(false, false), 0u);
    }
    const uint32_t result = Insert(cursor, stream);
    ASSERT_TRUE(result == 0 || result == nxeMessageUnrecognized) << "round " << round << ": " << result << " "
                                                                 << LastMessage();
    ASSERT_FALSE(WriterLockHeld(cursor)) << "round " << round;
    if (inCaller) {
      ASSERT_NE(Trans(), nullptr);
      ASSERT_EQ(Trans()->CheckState() != 0, result != 0) << "round " << round;
      ASSERT_EQ(db->TransactionRollback(), 0u);
    } else {
      ASSERT_EQ(Trans(), nullptr) << "round " << round;
      if (result == 0) committed += size_t(platform::LoadLE<int32_t>(&stream[4]));
    }
    if (round % 50 == 0 || round == rounds - 1) {
      ASSERT_EQ(Records(cursor).size(), committed) << "round " << round;
    }
  }
  const TRecords records = Records(cursor);
  ExpectIndexComplete(cursor->Table()->IndicesEngine()->Indices(0), nullptr, records, "ByID");
}

// ---- auto-increment ----

TEST_F(BatchFixture, AutoIncSetAndGet) {
  const struct {
    const char* Name;
    TableShape Shape;
    uint32_t SetResult;
    uint32_t ValueAfter;
  } cases[] = {
      {"with an auto-increment engine", {.AutoInc = true, .Blobs = false}, 0, 41},
      {"without one", {.AutoInc = false, .Blobs = false}, nxeCapabilityNotSupported, 0},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::u16string name = u"Auto" + std::u16string(1, char16_t(u'0' + n++));
    TnxServerTableCursor* cursor = BuildTable(c.Shape, name);
    ASSERT_NE(cursor, nullptr);
    EXPECT_EQ(cursor->AutoIncSet(41), c.SetResult);
    if (c.SetResult != 0) {
      EXPECT_EQ(LastMessage(), "AutoIncSet is only supported for tables with autoinc engines");
    }
    EXPECT_EQ(Trans(), nullptr);
    EXPECT_FALSE(WriterLockHeld(cursor));
    uint32_t value = 99;
    EXPECT_EQ(cursor->AutoIncGet(value, false), 0u);
    EXPECT_EQ(value, c.ValueAfter);
    value = 99;
    EXPECT_EQ(db->TableAutoIncGet(name, u"", value), 0u) << LastMessage();
    EXPECT_EQ(value, c.ValueAfter);
  }
  uint32_t value = 7;
  EXPECT_EQ(db->TableAutoIncGet(u"Missing", u"", value), nxeTableDoesNotExist);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(db->TableAutoIncGet(u"", u"", value), nxeTableDoesNotExist);
}

TEST_F(BatchFixture, AutoIncSetInsideTheCallersTransactionGoesWithIt) {
  TnxServerTableCursor* cursor = BuildTable({.Blobs = false});
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  EXPECT_EQ(cursor->AutoIncSet(12), 0u) << LastMessage();
  uint32_t value = 0;
  EXPECT_EQ(cursor->AutoIncGet(value, false), 0u);
  EXPECT_EQ(value, 12u);
  EXPECT_EQ(db->TransactionRollback(), 0u);
  EXPECT_EQ(cursor->AutoIncGet(value, false), 0u);
  EXPECT_EQ(value, 0u);
}

// ---- record locks ----

class RecordLockTest : public BatchFixture {
protected:
  // A cursor standing on a new record that it holds locked.
  CancelNotingCursor* OnNewRecord(int32_t aID, TnxRefNr& aRefNr) {
    auto cursor = nxCreateServerObject<CancelNotingCursor>(db, holder_->Table(), 10000u, omReadWrite, smShared,
                                                           std::u16string_view(), -1, false, false);
    cursors_.push_back(cursor.get());
    std::vector<uint8_t> record(size_t(Fields(holder_).RecordLength()) + 16, 0);
    Fields(holder_).InitRecord(record.data());
    Fields(holder_).SetRecordField(kID, record.data(), &aID);
    EXPECT_EQ(cursor->RecordInsert(nxltWriteLock, record.data(), nullptr), 0u) << LastMessage();
    aRefNr = cursor->IndexPath()->RefNr;
    return cursor.release();
  }
  TnxTableLockContainer& Locks() { return holder_->Table()->Locks(); }

  void SetUp() override { holder_ = BuildTable(); }
  TnxServerTableCursor* holder_ = nullptr;
};

TEST_F(RecordLockTest, IsLockedReportsWhoHoldsTheCurrentRecord) {
  TnxRefNr refNr = 0;
  CancelNotingCursor* cursor = OnNewRecord(1, refNr);
  TnxLockPresent present = lpNotAtAll;
  EXPECT_EQ(cursor->RecordIsLocked(nxltWriteLock, present), 0u);
  EXPECT_EQ(present, lpYesByUs);
  EXPECT_EQ(holder_->Table()->Locks().ReleaseRecordLock(cursor, refNr, nullptr), true);
  EXPECT_EQ(cursor->RecordIsLocked(nxltNoLock, present), 0u);
  EXPECT_EQ(present, lpNotAtAll);
  ASSERT_EQ(Locks().GetRecordLock(nullptr, holder_, refNr, false, nullptr), lrGrantedNew);
  EXPECT_EQ(cursor->RecordIsLocked(nxltReadLock, present), 0u);
  EXPECT_EQ(present, lpYesByAnother);

  cursor->SetToBegin();
  present = lpYesByUs;
  const uint32_t state = cursor->IndexPath()->CheckCurrentState();
  ASSERT_NE(state, 0u);
  EXPECT_EQ(cursor->RecordIsLocked(nxltWriteLock, present), state);
  EXPECT_EQ(present, lpNotAtAll) << "no current record";
}

TEST_F(RecordLockTest, ReleaseRows) {
  const struct {
    const char* Name;
    bool OnRecord, AllLocks, CancelBlobs;
    bool OwnLockStays, OtherLockStays;
    std::vector<int> Cancelled;  // 0: all records, 1: the current one
    bool StateError;
  } cases[] = {
      {"the current record's lock", true, false, false, false, true, {}, false},
      {"the current record's lock and its blobs", true, false, true, false, true, {1}, false},
      {"all locks", true, true, false, false, false, {}, false},
      {"all locks and all blobs", false, true, true, false, false, {0}, false},
      {"no current record", false, false, true, true, true, {}, true},
  };
  int32_t id = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TnxRefNr own = 0, other = 0;
    CancelNotingCursor* cursor = OnNewRecord(++id, own);
    TnxServerTableCursor* keeper = OnNewRecord(++id, other);
    // The cursor also holds the second record.
    ASSERT_EQ(Locks().ReleaseRecordLock(keeper, other, nullptr), true);
    ASSERT_EQ(Locks().GetRecordLock(nullptr, cursor, other, false, nullptr), lrGrantedNew);
    if (!c.OnRecord) cursor->SetToEnd();
    const uint32_t expected = c.StateError ? cursor->IndexPath()->CheckCurrentState() : 0u;
    EXPECT_EQ(cursor->RecordLockRelease(c.AllLocks, c.CancelBlobs), expected);
    if (c.StateError) {
      EXPECT_NE(expected, 0u);
    }
    EXPECT_EQ(Locks().IsRecordLocked(cursor, own) == lpYesByUs, c.OwnLockStays);
    EXPECT_EQ(Locks().IsRecordLocked(cursor, other) == lpYesByUs, c.OtherLockStays);
    std::vector<TnxRefNr> want;
    for (int which : c.Cancelled) want.push_back(which == 0 ? 0 : own);
    EXPECT_EQ(cursor->cancelled, want);
  }
}

TEST_F(RecordLockTest, NoBlobCancelWithoutBlobFields) {
  TnxServerTableCursor* plain = BuildTable({.Blobs = false}, u"Plain");
  auto cursor = nxCreateServerObject<CancelNotingCursor>(db, plain->Table(), 10000u, omReadWrite, smShared,
                                                         std::u16string_view(), -1, false, false);
  cursors_.push_back(cursor.get());
  EXPECT_EQ(cursor->RecordLockRelease(true, true), 0u);
  EXPECT_TRUE(cursor->cancelled.empty());
  cursor.release();
}

}  // namespace
}  // namespace revurov::testing
