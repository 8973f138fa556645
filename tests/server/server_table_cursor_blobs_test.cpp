// The table cursor's blob workers: their checks, frames (own transaction,
// writer lock, content locks), blob batches and copies from another
// cursor in pieces of 1 MiB.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "server/blob_chunk_copy.h"
#include "server/table_lock_container.h"
#include "storage/deadline.h"
#include "storage/files.h"

#include "blob_cursor_table.h"

namespace revurov::testing {
namespace {

class TableCursorBlobsTest : public BlobCursorFixture {
protected:
  TableCursorBlobsTest() {
    cursor = BuildTable();
    recID = Insert(cursor, 1);
  }

  // A blob made through the cursor and stored in field A of recID.
  TnxBlobNr Filled(const std::string& aBytes, int32_t aField = kFieldA) {
    TnxBlobNr nr = 0;
    EXPECT_EQ(cursor->BlobReplace(recID, aField, nr, uint32_t(aBytes.size()), aBytes.data()), 0u) << LastMessage();
    std::vector<TnxBlobNr> nrs(kBlobFields, 0);
    nrs[size_t(aField - kFieldA)] = nr;
    Store(cursor, recID, nrs);
    return nr;
  }
  bool WriterLockHeld(TnxServerTableCursor* aCursor) {
    return aCursor->Table()->Locks().IsRecordLocked(aCursor, aCursor->SelfRefNr()) != lpNotAtAll;
  }
  uint32_t BlobFileUsedBlocks() {
    TnxServerRootTable* root = cursor->Table()->Root();
    return root->File(1)->fiUsedBlocks;
  }

  TnxServerTableCursor* cursor = nullptr;
  TnxRecID recID;
};

TEST_F(TableCursorBlobsTest, ChecksOfRecordAndNumber) {
  const TnxBlobNr nr = Filled("hello");
  struct Row {
    const char* Name;
    TnxRecID RecID;
    int32_t Field;
    TnxBlobNr Nr;
    uint32_t Expected;
  };
  const TnxRecID allOnes{-1, -1};
  const Row rows[] = {
      {"the record holds the number", recID, kFieldA, nr, 0},
      {"number 0 of a stored record", recID, kFieldA, 0, nxeInvalidBlobHandle},
      {"another insert of the RefNr", {recID.ridRefNr, recID.ridInsertLSN + 1}, kFieldA, nr, nxeRecordDeleted},
      {"a field that is no blob", recID, kFieldID, nr, nxeInvalidParameter},
      {"a field past the record", recID, 99, nr, nxeInvalidParameter},
      {"a record not yet inserted", nxNullRecID, kFieldA, nr, 0},
      {"the all-ones record ID", allOnes, kFieldA, nr, 0},
      {"a negative field", recID, -1, nr, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    uint32_t length = 0;
    EXPECT_EQ(cursor->BlobGetLength(row.RecID, row.Field, row.Nr, length, false, nullptr), row.Expected)
        << LastMessage();
    EXPECT_EQ(cursor->BlobWrite(row.RecID, row.Field, row.Nr, 5, 1, "!"), row.Expected) << LastMessage();
    if (row.Expected == 0) {
      EXPECT_GE(length, 5u);
    }
  }
  EXPECT_EQ(ReadAll(cursor, recID, kFieldA, nr), "hello!");
  EXPECT_EQ(cursor->BlobWrite(recID, kFieldA, 0, 0, 1, "x"), nxeInvalidBlobHandle);
  EXPECT_EQ(LastMessage().find("Invalid BLOB handle in record buffer."), 0u) << LastMessage();
}

TEST_F(TableCursorBlobsTest, DeletedAndInsertedAgainUnderTheSameRefNr) {
  const TnxBlobNr nr = Filled("abc");
  const TnxRecID old = recID;
  Direct([&](TnxBaseTransaction& aTrans) { cursor->Table()->RecordEngine()->DeleteRecord(aTrans, old.ridRefNr); });
  EXPECT_EQ(cursor->BlobWrite(old, kFieldA, nr, 0, 1, "x"), nxeRecordDeleted);
  const TnxRecID again = Insert(cursor, 2, {nr});
  ASSERT_EQ(again.ridRefNr, old.ridRefNr) << "the record engine took another slot";
  EXPECT_EQ(cursor->BlobWrite(old, kFieldA, nr, 0, 1, "x"), nxeRecordDeleted);
  EXPECT_EQ(LastMessage().find("Record/Key deleted."), 0u) << LastMessage();
  EXPECT_EQ(cursor->BlobWrite(again, kFieldA, nr, 0, 1, "x"), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(cursor, again, kFieldA, nr), "xbc");
}

TEST_F(TableCursorBlobsTest, NumbersTheRecordNoLongerHolds) {
  StrictCursor* strict = NewStrict(cursor);
  const TnxBlobNr old = Filled("old bytes");
  TnxBlobNr now = 0;
  ASSERT_EQ(strict->BlobReplace(recID, kFieldA, now, 9, "new bytes"), 0u) << LastMessage();
  Store(cursor, recID, {now});
  strict->strict->pending.clear();

  TnxNewBlobNr newNr;
  EXPECT_EQ(Read(strict, recID, kFieldA, old, 0, 100, &newNr), "new bytes");
  EXPECT_TRUE(newNr.nbnSet);
  EXPECT_EQ(newNr.nbnBlobNr, now);
  uint32_t length = 0;
  newNr = {};
  EXPECT_EQ(strict->BlobGetLength(recID, kFieldA, old, length, false, &newNr), 0u);
  EXPECT_EQ(length, 9u);
  EXPECT_TRUE(newNr.nbnSet);
  TStringStream snapshot;
  uint32_t before = 0;
  newNr = {};
  EXPECT_EQ(strict->sbcBlobReadSnapshoted(recID, kFieldA, old, 4, 100, snapshot, false, &before, &newNr), 0u);
  EXPECT_EQ(snapshot.Bytes, "bytes");
  EXPECT_EQ(before, 9u);
  EXPECT_EQ(newNr.nbnBlobNr, now);
  // The number the record holds is no news.
  newNr = {};
  EXPECT_EQ(Read(strict, recID, kFieldA, now, 0, 3, &newNr), "new");
  EXPECT_FALSE(newNr.nbnSet);
  EXPECT_EQ(newNr.nbnBlobNr, now);

  EXPECT_EQ(Read(strict, recID, kFieldA, old, 0, 100), "!" + std::to_string(nxeBlobModified));
  EXPECT_EQ(LastMessage().find("BLOB has been modified."), 0u) << LastMessage();
  EXPECT_EQ(strict->BlobWrite(recID, kFieldA, old, 0, 1, "x"), nxeBlobModified);
  EXPECT_EQ(strict->BlobFree(recID, kFieldA, old), nxeSegmentHasBeenDeleted);
  EXPECT_EQ(LastMessage().find("Segment has been deleted"), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(cursor, recID, kFieldA, old), "old bytes");
}

TEST_F(TableCursorBlobsTest, FreeDeletesOnlyAnEmptyBlob) {
  const TnxBlobNr full = Filled("x");
  EXPECT_EQ(cursor->BlobFree(recID, kFieldA, full), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(cursor, recID, kFieldA, full), "x");
  ASSERT_EQ(cursor->BlobTruncate(recID, kFieldA, full, 0), 0u);
  // Told after the free committed: the blob is gone for good.
  EXPECT_EQ(cursor->BlobFree(recID, kFieldA, full), nxeBlobModified);
  EXPECT_FALSE(InTransaction());
}

TEST_F(TableCursorBlobsTest, WritesRunInTheirOwnTransactionAndLeaveNoLock) {
  const TnxBlobNr nr = Filled("0123456789");
  struct Row {
    const char* Name;
    bool CallerTransaction;
    TnxRecID RecID;
    TnxBlobNr Nr;
    uint32_t Len;
    const void* Data;
    uint32_t Expected;
  };
  const TnxRecID gone{recID.ridRefNr, recID.ridInsertLSN + 7};
  const Row rows[] = {
      {"written", false, recID, nr, 2, "ab", 0},
      {"refused by the check", false, gone, nr, 2, "ab", nxeRecordDeleted},
      {"refused by the handler", false, recID, nr, 2, nullptr, nxeInvalidParameter},
      {"written in the caller's transaction", true, recID, nr, 2, "cd", 0},
      {"refused in the caller's transaction", true, gone, nr, 2, "cd", nxeRecordDeleted},
      {"handler refusal in the caller's transaction", true, recID, nr, 2, nullptr, nxeInvalidParameter},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    if (row.CallerTransaction) {
      ASSERT_EQ(db->TransactionStart(false, false), 0u);
    }
    EXPECT_EQ(cursor->BlobWrite(row.RecID, kFieldA, row.Nr, 0, row.Len, row.Data), row.Expected) << LastMessage();
    EXPECT_FALSE(WriterLockHeld(cursor));
    // The caller's transaction is still the one that runs.
    EXPECT_EQ(InTransaction(), row.CallerTransaction);
    if (row.CallerTransaction) {
      ASSERT_EQ(db->TransactionRollback(), 0u);
    }
  }
  // The caller's rollback took its write along; the own one stands.
  EXPECT_EQ(ReadAll(cursor, recID, kFieldA, nr), "ab23456789");
}

TEST_F(TableCursorBlobsTest, OutNumbersOnlyForCommittedWrites) {
  TnxBlobNr nr = 0;
  // Made, then the write fails: the blob was rolled back with the write.
  EXPECT_EQ(cursor->BlobReplace(recID, kFieldB, nr, 4, nullptr), nxeInvalidParameter);
  EXPECT_EQ(nr, 0);
  ASSERT_EQ(cursor->BlobReplace(recID, kFieldB, nr, 4, "data"), 0u) << LastMessage();
  EXPECT_NE(nr, 0);
  EXPECT_EQ(ReadAll(cursor, nxNullRecID, kFieldB, nr), "data");
  TnxBlobNr created = 99;
  EXPECT_EQ(cursor->BlobCreate(TnxRecID{recID.ridRefNr, 1}, kFieldA, created), 0u);
  EXPECT_NE(created, 99);
}

TEST_F(TableCursorBlobsTest, ReadOnlyCursorsAndLinks) {
  const TnxBlobNr nr = Filled("linked bytes");
  TnxServerTableCursor* reader = NewPlain(cursor->Table(), smShared, omReadOnly);
  TnxBlobNr made = 0;
  EXPECT_EQ(reader->BlobCreate(recID, kFieldA, made), nxeTableReadOnly);
  EXPECT_EQ(reader->BlobWrite(recID, kFieldA, nr, 0, 1, "x"), nxeTableReadOnly);
  EXPECT_EQ(reader->sbcBlobCreateLink(recID, kFieldB, u"Blobs", nr, made), nxeTableReadOnly);
  EXPECT_EQ(Read(reader, recID, kFieldA, nr, 0, 6), "linked");

  // A link is written in the caller's transaction, which must exist.
  EXPECT_EQ(cursor->sbcBlobCreateLink(nxNullRecID, kFieldB, u"Blobs", nr, made), nxeNoTransaction);
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  ASSERT_EQ(cursor->sbcBlobCreateLink(nxNullRecID, kFieldB, u"Blobs", nr, made), 0u) << LastMessage();
  ASSERT_EQ(db->TransactionCommit(), 0u);
  std::u16string source;
  TnxBlobNr sourceNr = 0;
  EXPECT_TRUE(cursor->sbcBlobIsLink(nxNullRecID, kFieldB, made, source, sourceNr));
  EXPECT_EQ(sourceNr, nr);
  EXPECT_FALSE(cursor->sbcBlobIsLink(nxNullRecID, kFieldA, nr, source, sourceNr));
}

TEST_F(TableCursorBlobsTest, BatchStopsAtTheFirstFailureAndRollsBack) {
  const TnxBlobNr nr = Filled("kept");
  auto entry = [](TnxCachedBlobStateInfo aState, TnxBlobNr aNr, int32_t aField, std::string aData) {
    TnxBlobBatchRequestEntry e;
    e.bbrqeStateInfo = aState;
    e.bbrqeBlobNr = aNr;
    e.bbrqeFieldNo = uint16_t(aField);
    e.bbrqeData.assign(aData.begin(), aData.end());
    return e;
  };
  auto count = [](const std::vector<uint8_t>& aReply) { return platform::LoadLE<uint16_t>(aReply.data()); };
  auto number = [](const std::vector<uint8_t>& aReply, size_t aIndex) {
    return platform::LoadLE<int64_t>(aReply.data() + 2 + 8 * aIndex);
  };

  TnxBlobBatchRequest failing{recID,
                              {entry(cbsiModified, nr, kFieldA, "changed"), entry(cbsiModified, 0, kFieldB, "x")}};
  std::vector<uint8_t> reply;
  EXPECT_EQ(cursor->BlobBatchProcess(failing, reply), nxeInvalidBlobHandle);
  EXPECT_EQ(count(reply), 1);
  EXPECT_EQ(ReadAll(cursor, recID, kFieldA, nr), "kept");
  EXPECT_FALSE(WriterLockHeld(cursor));
  EXPECT_FALSE(InTransaction());

  TnxBlobBatchRequest good{recID,
                           {entry(cbsiModified, nr, kFieldA, "changed"), entry(cbsiCreated, 0, kFieldB, "new"),
                            entry(cbsiCreated, 0, kFieldC, "")}};
  ASSERT_EQ(cursor->BlobBatchProcess(good, reply), 0u) << LastMessage();
  ASSERT_EQ(count(reply), 3);
  EXPECT_EQ(number(reply, 0), nr);
  EXPECT_EQ(ReadAll(cursor, recID, kFieldA, nr), "changed");
  EXPECT_EQ(ReadAll(cursor, nxNullRecID, kFieldB, number(reply, 1)), "new");
  EXPECT_EQ(number(reply, 2), 0);  // nothing to hold

  TnxBlobBatchRequest deleting{recID, {entry(cbsiDeleted, nr, kFieldA, "")}};
  ASSERT_EQ(cursor->BlobBatchProcess(deleting, reply), 0u) << LastMessage();
  EXPECT_EQ(count(reply), 1);

  // Without a record or entries nothing happens; on a record version that
  // is gone, nothing either.
  EXPECT_EQ(cursor->BlobBatchProcess(TnxBlobBatchRequest{recID, {}}, reply), 0u);
  EXPECT_EQ(count(reply), 0);
  TnxBlobBatchRequest gone{{recID.ridRefNr, recID.ridInsertLSN + 1}, {entry(cbsiCreated, 0, kFieldB, "y")}};
  EXPECT_EQ(cursor->BlobBatchProcess(gone, reply), nxeRecordDeleted);
  EXPECT_EQ(count(reply), 0);
  TnxServerTableCursor* reader = NewPlain(cursor->Table(), smShared, omReadOnly);
  EXPECT_EQ(reader->BlobBatchProcess(good, reply), nxeTableReadOnly);
  // The reply counts in 16 bits: a longer batch is refused whole.
  TnxBlobBatchRequest huge{recID, std::vector<TnxBlobBatchRequestEntry>(65536, entry(cbsiCreated, 0, kFieldB, ""))};
  EXPECT_EQ(cursor->BlobBatchProcess(huge, reply), nxeInvalidParameter);
  EXPECT_EQ(count(reply), 0);
}

TEST(BlobChunkCopyTest, PiecesOfOneMiBAtMost) {
  struct Row {
    const char* Name;
    uint32_t Length;
    uint32_t MaxLength;
    std::vector<uint32_t> Writes;
  };
  const uint32_t mib = nxBlobCopyChunk;
  const Row rows[] = {
      {"3 MiB, all", 3 * mib, 0xFFFFFFFFu, {mib, mib, mib}},
      {"3 MiB, 100 bytes", 3 * mib, 100, {100}},
      {"a little over 2 MiB", 2 * mib + 5, 0xFFFFFFFFu, {mib, mib, 5}},
      {"2.5 MiB of 3", 3 * mib, 2 * mib + mib / 2, {mib, mib, mib / 2}},
      {"5000 bytes, all", 5000, 0xFFFFFFFFu, {5000}},
      {"empty", 0, 0xFFFFFFFFu, {}},
      {"nothing asked for", 10, 0, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    std::vector<uint32_t> reads, writes;
    uint32_t at = 0;
    uint32_t copied = 0;
    const uint32_t result = nxBlobCopyChunks(
        [&](uint32_t aOffset, uint32_t aLen, platform::TStream& aStream) -> uint32_t {
          EXPECT_EQ(aOffset, at);
          EXPECT_LE(aLen, mib);
          reads.push_back(aLen);
          const uint32_t n = aOffset >= row.Length ? 0 : std::min(aLen, row.Length - aOffset);
          std::vector<uint8_t> bytes(n, uint8_t(aOffset / mib));
          if (n) aStream.Write(bytes.data(), n);
          return 0;
        },
        [&](uint32_t aOffset, uint32_t aLen, const void*) {
          EXPECT_EQ(aOffset, at);
          writes.push_back(aLen);
          at += aLen;
        },
        row.Length, row.MaxLength, copied);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(writes, row.Writes);
    EXPECT_EQ(copied, at);
  }
  // A read's failure ends the copy with its code.
  int calls = 0;
  uint32_t copied = 0;
  EXPECT_EQ(nxBlobCopyChunks(
                [&](uint32_t, uint32_t aLen, platform::TStream& aStream) -> uint32_t {
                  if (++calls == 2) return nxeBlobError;
                  std::vector<uint8_t> bytes(aLen);
                  aStream.Write(bytes.data(), aLen);
                  return 0;
                },
                [](uint32_t, uint32_t, const void*) {}, 3 * mib, 0xFFFFFFFFu, copied),
            nxeBlobError);
  EXPECT_EQ(copied, mib);
}

TEST_F(TableCursorBlobsTest, CopiesFromAnotherCursor) {
  TnxServerTableCursor* other = BuildTable(u"Other");
  const TnxRecID otherRec = Insert(other, 1);
  const std::string big = Bytes(3 * nxBlobCopyChunk, 3);
  TnxBlobNr source = 0;
  ASSERT_EQ(other->BlobReplace(otherRec, kFieldA, source, uint32_t(big.size()), big.data()), 0u) << LastMessage();

  struct Row {
    const char* Name;
    uint32_t MaxLength;
    size_t Expected;
  };
  const Row rows[] = {{"all of 3 MiB", 0xFFFFFFFFu, big.size()}, {"100 bytes", 100, 100}, {"nothing", 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    ASSERT_EQ(db->TransactionStart(false, false), 0u);
    TnxBlobNr copy = 0;
    ASSERT_EQ(cursor->sbcBlobCopyPrim(other, kFieldA, source, kFieldB, copy, row.MaxLength), 0u) << LastMessage();
    ASSERT_EQ(db->TransactionCommit(), 0u);
    EXPECT_TRUE(SameBytes(ReadAll(cursor, nxNullRecID, kFieldB, copy), big.substr(0, row.Expected)));
  }

  // Into an existing blob: what is copied, then cut to that length.
  const TnxBlobNr dest = Filled(std::string(5000, 'z'), kFieldC);
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  ASSERT_EQ(cursor->sbcBlobCopyContentPrim(other, kFieldA, source, kFieldC, dest, 1000), 0u) << LastMessage();
  ASSERT_EQ(db->TransactionCommit(), 0u);
  EXPECT_TRUE(SameBytes(ReadAll(cursor, recID, kFieldC, dest), big.substr(0, 1000)));

  // No transaction, or a source that is no table cursor.
  TnxBlobNr copy = 5;
  EXPECT_EQ(cursor->sbcBlobCopyPrim(other, kFieldA, source, kFieldB, copy, 100), nxeNoTransaction);
  EXPECT_EQ(copy, 0);
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  EXPECT_EQ(cursor->sbcBlobCopyPrim(nullptr, kFieldA, source, kFieldB, copy, 100), nxeInvalidParameter);
  ASSERT_EQ(db->TransactionRollback(), 0u);
}

// The deadline clock stands still until a set number of checks passed,
// then jumps far ahead: the operation running then times out.
std::atomic<int64_t> gChecksLeft{0};
std::atomic<int64_t> gChecks{0};
uint64_t CountingClock() {
  ++gChecks;
  return --gChecksLeft < 0 ? uint64_t(1) << 40 : 1000;
}

TEST_F(TableCursorBlobsTest, AFailedCopyIntoANewBlobLeavesNoBlob) {
  TnxServerTableCursor* other = BuildTable(u"Other");
  const TnxRecID otherRec = Insert(other, 1);
  const std::string big = Bytes(3 * nxBlobCopyChunk, 5);
  TnxBlobNr source = 0;
  ASSERT_EQ(other->BlobReplace(otherRec, kFieldA, source, uint32_t(big.size()), big.data()), 0u) << LastMessage();

  // How many clock readings a whole copy takes.
  gChecksLeft = int64_t(1) << 40;
  nxSetDeadlineClock(&CountingClock);
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  nxSetTimeout(60000, true);
  gChecks = 0;
  TnxBlobNr copy = 0;
  ASSERT_EQ(cursor->sbcBlobCopyPrim(other, kFieldA, source, kFieldB, copy, 0xFFFFFFFFu), 0u) << LastMessage();
  const int64_t whole = gChecks.load();
  ASSERT_EQ(db->TransactionRollback(), 0u);
  ASSERT_GE(whole, 2) << "the copy never looks at the clock";

  const uint32_t before = BlobFileUsedBlocks();
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  nxSetTimeout(60000, true);
  gChecksLeft = whole / 2;
  copy = 0;
  const uint32_t result = cursor->sbcBlobCopyPrim(other, kFieldA, source, kFieldB, copy, 0xFFFFFFFFu);
  gChecksLeft = int64_t(1) << 40;
  nxSetTimeout(0, true);
  EXPECT_EQ(result, nxeTimeout) << LastMessage();
  EXPECT_EQ(copy, 0);
  ASSERT_EQ(db->TransactionRollback(), 0u);
  nxSetDeadlineClock(nullptr);
  EXPECT_EQ(BlobFileUsedBlocks(), before);

  // The table's blob file took no harm: the next copy works.
  ASSERT_EQ(db->TransactionStart(false, false), 0u);
  ASSERT_EQ(cursor->sbcBlobCopyPrim(other, kFieldA, source, kFieldB, copy, 0xFFFFFFFFu), 0u) << LastMessage();
  ASSERT_EQ(db->TransactionCommit(), 0u);
  EXPECT_TRUE(SameBytes(ReadAll(cursor, nxNullRecID, kFieldB, copy), big));
}

}  // namespace
}  // namespace revurov::testing
