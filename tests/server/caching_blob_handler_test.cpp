#include "server/caching_blob_handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "blob_cursor_table.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "server/server_table.h"
#include "storage/blob_engines.h"
#include "storage/files.h"
#include "support/test_size.h"

namespace revurov {
namespace {

using testing::kFieldA;
using testing::kFieldB;
using testing::LastMessage;

class CachingBlobHandlerTest : public testing::BlobCursorFixture {
protected:
  CachingBlobHandlerTest() {
    plain = BuildTable();
    caching = OpenCursor();
    EXPECT_EQ(plain->BlobReplace(nxNullRecID, kFieldA, keeper, 1, "k"), 0u) << LastMessage();
  }

  TnxCachingBlobHandler* Handler(TnxServerTableCursor* aCursor) {
    return dynamic_cast<TnxCachingBlobHandler*>(aCursor->BlobHandler());
  }

  // A blob made and committed through the passthrough cursor.
  TnxBlobNr StoredBlob(const std::string& aContent) {
    TnxBlobNr nr = 0;
    EXPECT_EQ(plain->BlobReplace(nxNullRecID, kFieldA, nr, uint32_t(aContent.size()), aContent.data()), 0u)
        << LastMessage();
    made_.insert(nr);
    return nr;
  }

  // The record as stored: blob numbers of A and B (0 for null).
  std::vector<TnxBlobNr> Numbers(const TnxRecID& aRecID) {
    std::vector<uint8_t> record(size_t(Fields(plain).RecordLength()) + 16, 0);
    Direct([&](TnxBaseTransaction& aTrans) { plain->Table()->RecordEngine()->ReadRecord(&aTrans, aRecID.ridRefNr, record.data()); });
    std::vector<TnxBlobNr> numbers;
    for (int32_t field : {kFieldA, kFieldB}) {
      TnxBlobNr nr = 0;
      if (!Fields(plain).IsRecordFieldNull(field, record.data()))
        nr = platform::LoadLE<int64_t>(record.data() + Fields(plain).FieldDescriptor(field)->Offset());
      numbers.push_back(nr);
    }
    return numbers;
  }

  // Posts the record of ID 1 through aCursor with blob numbers A and B (0:
  // null).
  uint32_t Post(TnxServerTableCursor* aCursor, const TnxRecID& aRecID, const std::vector<TnxBlobNr>& aBlobs) {
    std::vector<uint8_t> read(size_t(Fields(aCursor).RecordLength()) + 16, 0);
    if (uint32_t r = aCursor->SetToBegin()) return r;
    do {
      if (uint32_t r = aCursor->RecordGetNext(nxltNoLock, read.data())) return r;
    } while (aCursor->sacGetRefNr() != aRecID.ridRefNr);
    int32_t id = 0;
    std::memcpy(&id, read.data() + Fields(aCursor).FieldDescriptor(testing::kFieldID)->Offset(), 4);
    std::vector<uint8_t> record = Record(aCursor, id, aRecID.ridInsertLSN, aBlobs);
    return aCursor->RecordModify(record.data(), true, nullptr);
  }

  // Inserts a record of ID aID through the passthrough cursor.
  TnxRecID Add(int32_t aID, const std::vector<TnxBlobNr>& aBlobs = {}) {
    const int64_t lsn = ++lsn_;
    std::vector<uint8_t> record = Record(plain, aID, lsn, aBlobs);
    EXPECT_EQ(plain->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
    TnxRecID rec{plain->sacGetRefNr(), lsn};
    // The table gives the insert LSN.
    std::vector<uint8_t> stored(record.size(), 0);
    Direct([&](TnxBaseTransaction& aTrans) { plain->Table()->RecordEngine()->ReadRecord(&aTrans, rec.ridRefNr, stored.data()); });
    rec.ridInsertLSN =
        platform::LoadLE<int64_t>(stored.data() + Fields(plain).FieldDescriptor(testing::kFieldLSN)->Offset());
    return rec;
  }

  // Whether the table's blob engine still holds the blob. A freed blob
  // reads as it was only when its whole block went with it; the keeper
  // blob holds that block.
  bool Live(TnxBlobNr aBlobNr) {
    bool live = false;
    Direct([&](TnxBaseTransaction& aTrans) {
      uint32_t length = 0;
      try {
        live = plain->Table()->BlobEngine()->GetBlobLength(&aTrans, aBlobNr, {}, length) == 0;
      } catch (...) {
        live = false;
      }
    });
    return live;
  }

  // Deletes every record through the passthrough cursor (which deletes the
  // blobs they name) and answers whether any blob made in the test is
  // still in the table: none may be, or it was left unnamed.
  bool NothingOrphaned() {
    std::vector<uint8_t> read(size_t(Fields(plain).RecordLength()) + 16, 0);
    plain->SetToBegin();
    while (plain->RecordGetNext(nxltNoLock, read.data()) == 0)
      EXPECT_EQ(plain->RecordDelete(nullptr, 0), 0u) << LastMessage();
    for (TnxBlobNr nr : made_) {
      if (Live(nr)) return false;
    }
    return true;
  }

  TnxServerTableCursor* plain = nullptr;
  TnxServerTableCursor* caching = nullptr;
  TnxBlobNr keeper = 0;
  // Every blob number the test saw made.
  std::set<TnxBlobNr> made_;
};

TEST_F(CachingBlobHandlerTest, InProcessCursorsOfThisVersionGetTheCachingHandler) {
  ASSERT_NE(Handler(caching), nullptr);
  EXPECT_EQ(Handler(plain), nullptr);
  EXPECT_EQ(Handler(caching)->Cache(), nullptr);
}

TEST_F(CachingBlobHandlerTest, AWriteStaysPrivateUntilTheRecordIsModified) {
  const TnxBlobNr old = StoredBlob("old content");
  const TnxRecID rec = Add(1, {old});
  ASSERT_EQ(caching->BlobWrite(rec, kFieldA, old, 0, 3, "NEW"), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(plain, rec, kFieldA, old), "old content");
  EXPECT_EQ(ReadAll(caching, rec, kFieldA, old), "NEW content");
  bool changed = false;
  EXPECT_EQ(caching->BlobModified(rec, kFieldA, old, changed), 0u);
  EXPECT_TRUE(changed);
  ASSERT_TRUE(Handler(caching)->NeedNested());

  ASSERT_EQ(Post(caching, rec, {old}), 0u) << LastMessage();
  const TnxBlobNr now = Numbers(rec)[0];
  EXPECT_EQ(now & plain->Table()->BlobEngine()->bbeBlobNrMask, old & plain->Table()->BlobEngine()->bbeBlobNrMask);
  // Where the engine counts incarnations, the changed blob has a new full
  // number.
  if (plain->Table()->BlobEngine()->bbeBlobNrMask != -1) {
    EXPECT_NE(now, old);
  }
  EXPECT_EQ(ReadAll(plain, rec, kFieldA, now), "NEW content");
  EXPECT_TRUE(Handler(caching)->PendingStates().empty());
  EXPECT_FALSE(Handler(caching)->NeedNested());
}

TEST_F(CachingBlobHandlerTest, ABlobCreatedAndDeletedInOneEditLeavesNothing) {
  const TnxRecID rec = Add(1);
  TnxBlobNr made = 0;
  ASSERT_EQ(caching->BlobCreate(rec, kFieldA, made), 0u) << LastMessage();
  made_.insert(made);
  ASSERT_EQ(caching->BlobWrite(rec, kFieldA, made, 0, 5, "hello"), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(caching, rec, kFieldA, made), "hello");
  ASSERT_EQ(Handler(caching)->PendingStates().size(), 1u);
  EXPECT_EQ(Handler(caching)->PendingStates()[0].second, TnxCachingBlobHandler::bsiCreated);
  ASSERT_EQ(caching->BlobDelete(rec, kFieldA, made), 0u) << LastMessage();
  EXPECT_TRUE(Handler(caching)->PendingStates().empty());
  EXPECT_TRUE(NothingOrphaned());
}

TEST_F(CachingBlobHandlerTest, ReplacingWithLengthZeroNullsTheFieldAndDeletesTheOldBlob) {
  const TnxBlobNr old = StoredBlob("abc");
  const TnxRecID rec = Add(1, {old});
  TnxBlobNr nr = old;
  ASSERT_EQ(caching->BlobReplace(rec, kFieldA, nr, 0, nullptr), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(plain, rec, kFieldA, old), "abc");
  ASSERT_EQ(Post(caching, rec, {old}), 0u) << LastMessage();
  EXPECT_EQ(Numbers(rec)[0], 0);
  EXPECT_TRUE(Handler(caching)->PendingStates().empty());
  EXPECT_TRUE(NothingOrphaned());
}

TEST_F(CachingBlobHandlerTest, ANewBlobPostedBelongsToTheRecord) {
  const TnxRecID rec = Add(1);
  TnxBlobNr made = 0;
  ASSERT_EQ(caching->BlobReplace(rec, kFieldB, made, 4, "four"), 0u) << LastMessage();
  made_.insert(made);
  ASSERT_EQ(Post(caching, rec, {0, made}), 0u) << LastMessage();
  EXPECT_EQ(Numbers(rec)[1], made);
  EXPECT_EQ(ReadAll(plain, rec, kFieldB, made), "four");
  EXPECT_TRUE(Handler(caching)->PendingStates().empty());
}

TEST_F(CachingBlobHandlerTest, CancellingAnEditDeletesItsBlobsAndForgetsItsCopies) {
  const TnxBlobNr old = StoredBlob("kept");
  const TnxRecID rec = Add(1, {old});
  TnxBlobNr made = 0;
  ASSERT_EQ(caching->BlobReplace(rec, kFieldB, made, 3, "new"), 0u) << LastMessage();
  made_.insert(made);
  ASSERT_EQ(caching->BlobWrite(rec, kFieldA, old, 0, 4, "lost"), 0u) << LastMessage();
  ASSERT_EQ(Handler(caching)->PendingStates().size(), 2u);
  ASSERT_EQ(caching->BlobsCancel(rec.ridRefNr), 0u) << LastMessage();
  EXPECT_TRUE(Handler(caching)->PendingStates().empty());
  EXPECT_EQ(ReadAll(caching, rec, kFieldA, old), "kept");
  EXPECT_TRUE(NothingOrphaned());
}

TEST_F(CachingBlobHandlerTest, CancelForOneRecordKeepsTheOthersEdits) {
  const TnxRecID first = Add(1);
  const TnxRecID second = Add(2);
  TnxBlobNr a = 0, b = 0;
  ASSERT_EQ(caching->BlobReplace(first, kFieldA, a, 1, "a"), 0u) << LastMessage();
  made_.insert(a);
  ASSERT_EQ(caching->BlobReplace(second, kFieldA, b, 1, "b"), 0u) << LastMessage();
  made_.insert(b);
  ASSERT_EQ(caching->BlobsCancel(first.ridRefNr), 0u) << LastMessage();
  ASSERT_EQ(Handler(caching)->PendingStates().size(), 1u);
  EXPECT_EQ(ReadAll(caching, second, kFieldA, b), "b");
  ASSERT_EQ(Post(caching, second, {b}), 0u) << LastMessage();
  EXPECT_TRUE(NothingOrphaned());
}

TEST_F(CachingBlobHandlerTest, ANumberTheHandlerNeverSawGives11896AtModify) {
  const TnxBlobNr foreign = StoredBlob("foreign");
  const TnxRecID rec = Add(1);
  TnxBlobNr pending = 0;
  // A pending blob makes the handler reconcile at all.
  ASSERT_EQ(caching->BlobReplace(rec, kFieldB, pending, 1, "p"), 0u) << LastMessage();
  made_.insert(pending);
  EXPECT_EQ(Post(caching, rec, {foreign, pending}), nxeBlobError);
  // Nothing was deleted on a guess, and the record is as it was.
  EXPECT_EQ(Numbers(rec), (std::vector<TnxBlobNr>{0, 0}));
  EXPECT_EQ(ReadAll(plain, rec, kFieldA, foreign), "foreign");
  EXPECT_EQ(ReadAll(caching, rec, kFieldB, pending), "p");
}

TEST_F(CachingBlobHandlerTest, StatesThatDoNotFitAnswer11896) {
  const TnxBlobNr old = StoredBlob("xyz");
  const TnxRecID rec = Add(1, {old});
  ASSERT_EQ(caching->BlobDelete(rec, kFieldA, old), 0u) << LastMessage();
  EXPECT_EQ(caching->BlobDelete(rec, kFieldA, old), nxeBlobError);
  EXPECT_EQ(caching->BlobWrite(rec, kFieldA, old, 0, 1, "x"), nxeBlobError);
  EXPECT_EQ(caching->BlobTruncate(rec, kFieldA, old, 0), nxeBlobError);
  uint32_t length = 0;
  EXPECT_EQ(caching->BlobGetLength(rec, kFieldA, old, length, false, nullptr), nxeBlobError);
  // Others still read it; the deletion is only noted.
  EXPECT_EQ(ReadAll(plain, rec, kFieldA, old), "xyz");
  ASSERT_EQ(Post(caching, rec, {0}), 0u) << LastMessage();
  EXPECT_TRUE(NothingOrphaned());
}

TEST_F(CachingBlobHandlerTest, TruncateAndReplaceWorkOnThePrivateCopy) {
  const TnxBlobNr old = StoredBlob("0123456789");
  const TnxRecID rec = Add(1, {old});
  ASSERT_EQ(caching->BlobTruncate(rec, kFieldA, old, 4), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(caching, rec, kFieldA, old), "0123");
  TnxBlobNr nr = old;
  ASSERT_EQ(caching->BlobReplace(rec, kFieldA, nr, 2, "ab"), 0u) << LastMessage();
  EXPECT_EQ(nr, old);
  EXPECT_EQ(ReadAll(caching, rec, kFieldA, old), "ab");
  EXPECT_EQ(ReadAll(plain, rec, kFieldA, old), "0123456789");
  ASSERT_EQ(Post(caching, rec, {old}), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(plain, rec, kFieldA, Numbers(rec)[0]), "ab");
}

TEST_F(CachingBlobHandlerTest, AReplaceOfAnUnseenBlobCopiesNothingOfTheOld) {
  const TnxBlobNr old = StoredBlob("a long old content");
  const TnxRecID rec = Add(1, {old});
  TnxBlobNr nr = old;
  ASSERT_EQ(caching->BlobReplace(rec, kFieldA, nr, 3, "new"), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(caching, rec, kFieldA, old), "new");
  uint32_t length = 0;
  ASSERT_EQ(caching->BlobGetLength(rec, kFieldA, old, length, false, nullptr), 0u);
  EXPECT_EQ(length, 3u);
}

TEST_F(CachingBlobHandlerTest, ClosingACursorMidEditCancelsItsBlobsAndFreesItsPrivateTable) {
  const size_t before = db->Cursors().size();
  TnxServerTableCursor* second = OpenCursor();
  const TnxRecID rec = Add(1);
  TnxBlobNr made = 0;
  ASSERT_EQ(second->BlobReplace(rec, kFieldA, made, 5, "lost?"), 0u) << LastMessage();
  made_.insert(made);
  ASSERT_NE(Handler(second)->Cache(), nullptr);
  const std::u16string privateName = Handler(second)->Cache()->FullName();
  ASSERT_NE(Folder().FindTable(privateName), nullptr);
  std::erase(cursors_, second);
  second->Free();
  EXPECT_TRUE(NothingOrphaned());
  EXPECT_EQ(db->Cursors().size(), before);
  EXPECT_EQ(Folder().FindTable(privateName), nullptr);
}

TEST_F(CachingBlobHandlerTest, DeletingARecordDeletesItsBlobsAndPendingState) {
  const TnxBlobNr old = StoredBlob("gone");
  const TnxRecID rec = Add(1, {old});
  ASSERT_EQ(caching->BlobWrite(rec, kFieldA, old, 0, 1, "G"), 0u) << LastMessage();
  std::vector<uint8_t> read(size_t(Fields(caching).RecordLength()) + 16, 0);
  ASSERT_EQ(caching->SetToBegin(), 0u);
  ASSERT_EQ(caching->RecordGetNext(nxltNoLock, read.data()), 0u) << LastMessage();
  ASSERT_EQ(caching->RecordDelete(nullptr, 0), 0u) << LastMessage();
  EXPECT_TRUE(NothingOrphaned());
  EXPECT_TRUE(Handler(caching)->PendingStates().empty());
}

// Random edits, posts and cancels through two caching cursors, each editing
// its own records; after every step the other cursor must see only what
// was posted, and the editing cursor its edit.
TEST_F(CachingBlobHandlerTest, RandomEditsMatchAModelOfWhatTheOtherCursorSees) {
  constexpr int kRecords = 6;
  const int32_t kFields[] = {kFieldA, kFieldB};
  using TContent = std::optional<std::string>;
  struct Field {
    TnxBlobNr Nr = 0;
    TContent Content;
  };
  struct Rec {
    TnxRecID ID;
    Field Posted[2];
    Field Edit[2];
  };
  TnxServerTableCursor* cursors[2] = {caching, OpenCursor()};
  std::vector<Rec> recs(kRecords);
  for (int r = 0; r < kRecords; ++r) recs[size_t(r)].ID = Add(r + 1);
  std::mt19937 random(108);
  auto bytes = [&](size_t aCount) {
    std::string b(aCount, '\0');
    for (char& c : b) c = char('a' + random() % 26);
    return b;
  };
  auto check = [&](int aStep, Rec& aRec, int aEditor) -> ::testing::AssertionResult {
    for (int f = 0; f < 2; ++f) {
      const Field& posted = aRec.Posted[f];
      if (posted.Content) {
        const std::string got = ReadAll(cursors[1 - aEditor], aRec.ID, kFields[f], posted.Nr);
        if (got != *posted.Content)
          return ::testing::AssertionFailure() << "step " << aStep << " field " << f << ": other sees " << got;
      }
      const Field& edit = aRec.Edit[f];
      if (edit.Content) {
        const std::string got = ReadAll(cursors[aEditor], aRec.ID, kFields[f], edit.Nr);
        if (got != *edit.Content)
          return ::testing::AssertionFailure() << "step " << aStep << " field " << f << ": editor sees " << got
                                               << " want " << *edit.Content;
      }
    }
    return ::testing::AssertionSuccess();
  };
  const int steps = testing::TestSize(1500, 10000);
  for (int step = 0; step < steps; ++step) {
    const int r = int(random() % kRecords);
    const int k = r % 2;
    Rec& rec = recs[size_t(r)];
    TnxServerTableCursor* c = cursors[k];
    const int f = int(random() % 2);
    Field& edit = rec.Edit[f];
    const int32_t field = kFields[f];
    switch (random() % 8) {
      case 0:
      case 1: {  // write
        if (edit.Nr == 0) {
          ASSERT_EQ(c->BlobCreate(rec.ID, field, edit.Nr), 0u) << step << " " << LastMessage();
          made_.insert(edit.Nr);
          edit.Content = std::string();
        }
        // Small blobs keep their roots in the keeper's block.
        const uint32_t offset = uint32_t(random() % (std::min<size_t>(edit.Content->size(), 120) + 1));
        const std::string data = bytes(1 + random() % 40);
        ASSERT_EQ(c->BlobWrite(rec.ID, field, edit.Nr, offset, uint32_t(data.size()), data.data()), 0u)
            << step << " " << LastMessage();
        if (edit.Content->size() < offset + data.size()) edit.Content->resize(offset + data.size());
        edit.Content->replace(offset, data.size(), data);
        break;
      }
      case 2: {  // replace
        const std::string data = bytes(random() % 4 == 0 ? 0 : 1 + random() % 60);
        TnxBlobNr nr = edit.Nr;
        ASSERT_EQ(c->BlobReplace(rec.ID, field, nr, uint32_t(data.size()), data.data()), 0u)
            << step << " " << LastMessage();
        if (edit.Nr != 0 || !data.empty()) {
          made_.insert(nr);
          edit.Nr = nr;
          edit.Content = data;
        }
        break;
      }
      case 3:  // truncate
        if (edit.Nr != 0) {
          const uint32_t length = uint32_t(random() % (edit.Content->size() + 1));
          ASSERT_EQ(c->BlobTruncate(rec.ID, field, edit.Nr, length), 0u) << step << " " << LastMessage();
          edit.Content->resize(length);
        }
        break;
      case 4:  // delete
        if (edit.Nr != 0) {
          ASSERT_EQ(c->BlobDelete(rec.ID, field, edit.Nr), 0u) << step << " " << LastMessage();
          edit = Field{};
        }
        break;
      case 5:
      case 6: {  // post
        ASSERT_EQ(Post(c, rec.ID, {rec.Edit[0].Nr, rec.Edit[1].Nr}), 0u) << step << " " << LastMessage();
        const std::vector<TnxBlobNr> stored = Numbers(rec.ID);
        for (int i = 0; i < 2; ++i) {
          Field& e = rec.Edit[i];
          // An empty blob does not outlive the post.
          if (e.Content && e.Content->empty()) e = Field{};
          ASSERT_EQ(stored[size_t(i)] == 0, !e.Content) << "step " << step << " field " << i;
          e.Nr = stored[size_t(i)];
          rec.Posted[i] = e;
        }
        break;
      }
      default:  // cancel
        ASSERT_EQ(c->BlobsCancel(rec.ID.ridRefNr), 0u) << step << " " << LastMessage();
        rec.Edit[0] = rec.Posted[0];
        rec.Edit[1] = rec.Posted[1];
        break;
    }
    ASSERT_TRUE(check(step, rec, k));
  }
  // Both cursors go in the middle of their edits.
  for (TnxServerTableCursor* c : cursors) {
    std::erase(cursors_, c);
    c->Free();
  }
  caching = nullptr;
  for (Rec& rec : recs) {
    for (int f = 0; f < 2; ++f) {
      if (!rec.Posted[f].Content) continue;
      EXPECT_EQ(ReadAll(plain, rec.ID, kFields[f], rec.Posted[f].Nr), *rec.Posted[f].Content);
    }
  }
  EXPECT_TRUE(NothingOrphaned());
}

}  // namespace
}  // namespace revurov
