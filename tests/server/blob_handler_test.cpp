// The blob handlers of table cursors: the numbers GetBlobs reports, the
// null handler of tables without blobs, and the passthrough handler over a
// real blob engine, with linked blobs read through the link handler.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "blob_link_source.h"
#include "dictionary/field_descriptor.h"
#include "dictionary/field_types.h"
#include "dictionary/fields_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "server/blob_link_handler.h"
#include "server/null_blob_handler.h"
#include "server/passthrough_blob_handler.h"
#include "storage/transactions.h"
#include "support/blob_table.h"
#include "support/scripted_worker_cursor.h"
#include "support/server_fixture.h"

namespace revurov::testing {
namespace {

constexpr std::u16string_view kSegmented = u"nx1xDefault";

// A cursor over a layout of three blob fields around an integer: A (0),
// N (1), B (2), C (3).
class BlobHandlerTest : public ServerFixture {
protected:
  BlobHandlerTest() {
    Start();
    session = Open();
    TnxAbstractDatabase* opened = nullptr;
    EXPECT_EQ(session->DatabaseOpen(opened, u"Path", u"#blobs", nullptr, omReadWrite, smShared, 1000), 0u);
    database = static_cast<TnxServerDatabase*>(opened);
    fields().AddField(u"A", u"", nxtBlob, 0, 0, false);
    fields().AddField(u"N", u"", nxtInt32, 0, 0, false);
    fields().AddField(u"B", u"", nxtBlobMemo, 0, 0, false);
    fields().AddField(u"C", u"", nxtBlobGraphic, 0, 0, false);
    cursor.reset(nxCreateServerObject<ScriptedWorkerCursor>(database, 1000, omReadWrite, &dict).release());
    record.assign(size_t(fields().RecordLength()), 0);
    fields().InitRecord(record.data());
  }
  ~BlobHandlerTest() override {
    cursor.reset();
    if (database) database->Free();
  }

  TnxFieldsDescriptor& fields() { return dict.FieldsDescriptor(); }
  // nullopt: the field is null; a number otherwise (0 included).
  void SetBlob(int32_t aField, std::optional<TnxBlobNr> aBlobNr) {
    if (aBlobNr) {
      fields().SetRecordField(aField, record.data(), &*aBlobNr);
    } else {
      fields().SetRecordField(aField, record.data(), nullptr);
    }
  }
  // A null field whose bytes still hold aBlobNr.
  void SetNullHolding(int32_t aField, TnxBlobNr aBlobNr) {
    fields().SetRecordField(aField, record.data(), nullptr);
    std::memcpy(record.data() + fields().FieldDescriptor(aField)->Offset(), &aBlobNr, sizeof aBlobNr);
    ASSERT_TRUE(fields().IsRecordFieldNull(aField, record.data()));
  }
  TnxServerObjectPtr<TnxPassthroughBlobHandler> Passthrough(TnxBaseBlobEngine* aEngine,
                                                            TnxBaseBlobLinkHandler* aLink = nullptr) {
    return nxCreateServerObject<TnxPassthroughBlobHandler>(cursor.get(), aEngine, aLink, &fields());
  }

  TnxServerSession* session = nullptr;
  TnxServerDatabase* database = nullptr;
  TnxDataDictionary dict;
  TnxServerObjectPtr<ScriptedWorkerCursor> cursor;
  std::vector<uint8_t> record;
};

// ---- GetBlobs ----

struct GetBlobsRow {
  const char* Name;
  std::optional<TnxBlobNr> A, B, C;
  std::optional<std::vector<int32_t>> Marked;
  uint16_t Capacity;
  bool WithRoom;
  uint32_t Result;
  std::vector<TnxBlobNr> Numbers;
};

TEST_F(BlobHandlerTest, GetBlobsReportsNonEmptyBlobsWithinTheRoomGiven) {
  const std::vector<GetBlobsRow> rows = {
      {"all three fit", 11, 12, 13, std::nullopt, 3, true, 0, {11, 12, 13}},
      {"more room than blobs", 11, 12, 13, std::nullopt, 9, true, 0, {11, 12, 13}},
      {"room for two fills two, then 9985", 11, 12, 13, std::nullopt, 2, true, nxeOutOfRange, {11, 12}},
      {"no room at all", 11, 12, 13, std::nullopt, 0, true, nxeOutOfRange, {}},
      {"null and zero are skipped", std::nullopt, 0, 13, std::nullopt, 1, true, 0, {13}},
      {"nothing to report needs no room", std::nullopt, 0, std::nullopt, std::nullopt, 0, false, 0, {}},
      {"a blob but no array", 11, std::nullopt, std::nullopt, std::nullopt, 5, false, nxeOutOfRange, {}},
      {"marked first and third", 11, 12, 13, std::vector<int32_t>{0b101}, 3, true, 0, {11, 13}},
      {"marked second only, room for one", 11, 12, 13, std::vector<int32_t>{0b010}, 1, true, 0, {12}},
      {"marked nothing", 11, 12, 13, std::vector<int32_t>{}, 3, true, 0, {}},
      {"a marked null is still skipped", std::nullopt, 12, 0, std::vector<int32_t>{0b111}, 1, true, 0, {12}},
  };
  auto handler = Passthrough(nullptr);
  for (const GetBlobsRow& row : rows) {
    SCOPED_TRACE(row.Name);
    fields().InitRecord(record.data());
    SetBlob(0, row.A);
    SetBlob(2, row.B);
    SetBlob(3, row.C);
    const int32_t n = 77;
    fields().SetRecordField(1, record.data(), &n);
    std::vector<TnxBlobNr> numbers(row.Capacity + 1, -1);
    uint16_t count = row.Capacity;
    const uint32_t result = handler->GetBlobs(nullptr, record.data(), row.Marked ? &*row.Marked : nullptr, count,
                                              row.WithRoom ? numbers.data() : nullptr);
    EXPECT_EQ(result, row.Result);
    ASSERT_EQ(count, row.Numbers.size());
    for (size_t i = 0; i < row.Numbers.size(); ++i) EXPECT_EQ(numbers[i], row.Numbers[i]);
    if (row.WithRoom) {
      EXPECT_EQ(numbers[row.Capacity], -1) << "wrote beyond the room";
    }
  }
}

TEST_F(BlobHandlerTest, GetBlobsWithoutARecordIsAnInvalidParameter) {
  auto handler = Passthrough(nullptr);
  TnxBlobNr numbers[3] = {};
  uint16_t count = 3;
  EXPECT_EQ(handler->GetBlobs(nullptr, nullptr, nullptr, count, numbers), nxeInvalidParameter);
  EXPECT_EQ(count, 0);
}

// ---- the null handler ----

TEST_F(BlobHandlerTest, NullHandlerReportsNoBlobsAndRefusesEveryBlobOperationByName) {
  auto handler = nxCreateServerObject<TnxNullBlobHandler>(cursor.get());
  TnxBaseBlobHandler& h = *handler;
  const TnxRecID rec{1, 1};
  TnxBlobNr nr = 5;
  bool flag = true;
  uint32_t length = 0;
  TStringStream stream;
  struct Row {
    const char* Operation;
    std::function<uint32_t()> Call;
  };
  const std::vector<Row> rows = {
      {"BlobCreate", [&] { return h.BlobCreate(nullptr, rec, 0, nr); }},
      {"BlobCreateFile", [&] { return h.BlobCreateFile(nullptr, rec, 0, u"f.bin", nr); }},
      {"BlobCreateLink", [&] { return h.BlobCreateLink(nullptr, rec, 0, u"Src", 3, nr); }},
      {"BlobDelete", [&] { return h.BlobDelete(nullptr, rec, 0, nr); }},
      {"BlobFree", [&] { return h.BlobFree(nullptr, rec, 0, nr, flag); }},
      {"BlobGetLength", [&] { return h.BlobGetLength(nullptr, rec, 0, false, nr, length); }},
      {"BlobModified", [&] { return h.BlobModified(nullptr, rec, 0, nr, flag); }},
      {"BlobRead", [&] { return h.BlobRead(nullptr, rec, 0, false, nr, 0, 4, stream, nullptr); }},
      {"BlobReplace", [&] { return h.BlobReplace(nullptr, rec, 0, nr, 0, nullptr); }},
      {"BlobTruncate", [&] { return h.BlobTruncate(nullptr, rec, 0, nr, 0); }},
      {"BlobWrite", [&] { return h.BlobWrite(nullptr, rec, 0, nr, 0, 1, "x"); }},
      {"GetBlobCacheInfos",
       [&] {
         TnxBlobCacheInfos infos(2);
         const uint32_t result = h.GetBlobCacheInfos(nullptr, rec, infos);
         EXPECT_TRUE(infos.empty());
         return result;
       }},
      {"BlobCacheFlushed", [&] { return h.BlobCacheFlushed(nullptr, rec, 0, nr, 6); }},
      {"BlobAddToCache", [&] { return h.BlobAddToCache(nullptr, rec, 0, nr, 1, "x"); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Operation);
    EXPECT_EQ(row.Call(), nxeCapabilityNotSupported);
    EXPECT_EQ(LastMessage(), std::string(row.Operation) + " not supported by TnxNullBlobHandler");
  }
  EXPECT_EQ(stream.Bytes, "");

  SetBlob(0, 11);
  TnxBlobNr numbers[2] = {};
  uint16_t count = 2;
  EXPECT_EQ(h.GetBlobs(nullptr, record.data(), nullptr, count, numbers), 0u);
  EXPECT_EQ(count, 0);
  std::u16string source = u"stale";
  TnxBlobNr sourceNr = 0;
  EXPECT_FALSE(h.BlobIsLink(nullptr, rec, 0, 11, source, sourceNr));
  EXPECT_EQ(source, u"");
  EXPECT_FALSE(h.BlobVerifyNr(nullptr, rec, 0, 11));
  EXPECT_FALSE(h.NeedNested());
  EXPECT_EQ(h.BeforeInsert(nullptr, record.data()), 0u);
  EXPECT_EQ(h.BeforeModify(nullptr, rec, record.data(), record.data()), 0u);
  EXPECT_EQ(h.AfterModify(nullptr, rec, record.data(), record.data()), 0u);
  EXPECT_EQ(h.AfterDelete(nullptr, rec, record.data()), 0u);
  EXPECT_EQ(h.BlobsCancel(nullptr, 1), 0u);
}

// ---- the passthrough handler ----

class PassthroughTest : public BlobHandlerTest {
protected:
  std::string Read(TnxBaseBlobHandler& aHandler, TnxBlobNr aBlobNr, uint32_t* aResult = nullptr) {
    uint32_t length = 0;
    if (const uint32_t failed = aHandler.BlobGetLength(&blobs.Trans(), {}, 0, false, aBlobNr, length)) {
      EXPECT_NE(aResult, nullptr) << "length failed with " << failed;
      if (aResult) *aResult = failed;
      return {};
    }
    TStringStream stream;
    const uint32_t result = aHandler.BlobRead(&blobs.Trans(), {}, 0, false, aBlobNr, 0, length, stream, nullptr);
    if (aResult) *aResult = result;
    return stream.Bytes;
  }
  TnxBlobNr Make(const std::string& aBytes) {
    TnxBlobNr nr = blobs.Add();
    if (!aBytes.empty()) blobs.Write(nr, 0, aBytes);
    return nr;
  }

  TBlobTable blobs{kSegmented};
};

TEST_F(PassthroughTest, CreatesWritesReadsTruncatesAndDeletesThroughTheEngine) {
  auto handler = Passthrough(&blobs.Engine());
  TnxBaseTransaction* trans = &blobs.Trans();
  TnxBlobNr nr = 0;
  ASSERT_EQ(handler->BlobCreate(trans, {1, 1}, 0, nr), 0u);
  EXPECT_NE(nr, 0);
  ASSERT_EQ(handler->BlobWrite(trans, {1, 1}, 0, nr, 0, 11, "hello world"), 0u);
  EXPECT_EQ(Read(*handler, nr), "hello world");

  uint32_t length = 0;
  TStringStream part;
  EXPECT_EQ(handler->BlobRead(trans, {1, 1}, 0, false, nr, 6, 3, part, &length), 0u);
  EXPECT_EQ(part.Bytes, "wor");
  EXPECT_EQ(length, 11u);

  ASSERT_EQ(handler->BlobTruncate(trans, {1, 1}, 0, nr, 5), 0u);
  EXPECT_EQ(Read(*handler, nr), "hello");
  EXPECT_TRUE(handler->BlobVerifyNr(trans, {1, 1}, 0, nr + 1));
  std::u16string source = u"stale";
  TnxBlobNr sourceNr = 0;
  EXPECT_FALSE(handler->BlobIsLink(trans, {1, 1}, 0, nr, source, sourceNr));
  EXPECT_EQ(source, u"");

  bool deleted = true;
  EXPECT_EQ(handler->BlobFree(trans, {1, 1}, 0, nr, deleted), 0u);
  EXPECT_FALSE(deleted) << "a blob holding bytes is not free";
  ASSERT_EQ(handler->BlobDelete(trans, {1, 1}, 0, nr), 0u);
  uint32_t result = 0;
  Read(*handler, nr, &result);
  EXPECT_NE(result, 0u) << "a deleted blob reads";

  TnxBlobNr empty = 0;
  ASSERT_EQ(handler->BlobCreate(trans, {1, 1}, 0, empty), 0u);
  EXPECT_EQ(handler->BlobFree(trans, {1, 1}, 0, empty, deleted), 0u);
  EXPECT_TRUE(deleted);
}

TEST_F(PassthroughTest, OriginalReadsModifiedAndChangesWithoutATransactionAreRefused) {
  auto handler = Passthrough(&blobs.Engine());
  const TnxBlobNr nr = Make("abc");
  uint32_t length = 0;
  TStringStream stream;
  EXPECT_EQ(handler->BlobRead(&blobs.Trans(), {}, 0, true, nr, 0, 3, stream, nullptr), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "BlobRead with aReadOld = True is not supported by TnxPassthroughBlobHandler");
  EXPECT_EQ(handler->BlobGetLength(&blobs.Trans(), {}, 0, true, nr, length), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "BlobGetLength with aReadOld = True is not supported by TnxPassthroughBlobHandler");
  EXPECT_EQ(stream.Bytes, "");
  bool changed = false;
  EXPECT_EQ(handler->BlobModified(&blobs.Trans(), {}, 0, nr, changed), nxeCapabilityNotSupported);
  EXPECT_EQ(LastMessage(), "BlobModified not supported by TnxPassthroughBlobHandler");

  TnxBlobNr fresh = 0;
  bool deleted = false;
  EXPECT_EQ(handler->BlobCreate(nullptr, {}, 0, fresh), nxeNoTransaction);
  EXPECT_EQ(handler->BlobWrite(nullptr, {}, 0, nr, 0, 1, "x"), nxeNoTransaction);
  EXPECT_EQ(handler->BlobTruncate(nullptr, {}, 0, nr, 0), nxeNoTransaction);
  EXPECT_EQ(handler->BlobDelete(nullptr, {}, 0, nr), nxeNoTransaction);
  EXPECT_EQ(handler->BlobFree(nullptr, {}, 0, nr, deleted), nxeNoTransaction);
  EXPECT_EQ(handler->BlobCreateLink(nullptr, {}, 0, u"Src", 1, fresh), nxeNoTransaction);
  EXPECT_EQ(Read(*handler, nr), "abc");
  EXPECT_EQ(handler->BlobWrite(&blobs.Trans(), {}, 0, nr, 0, 3, nullptr), nxeInvalidParameter);
  EXPECT_EQ(Read(*handler, nr), "abc");
}

TEST_F(PassthroughTest, AnEngineFailureIsTheOperationsCode) {
  auto handler = Passthrough(&blobs.Engine());
  const TnxBlobNr missing = 0x7FFF0;
  uint32_t length = 0;
  const uint32_t result = handler->BlobGetLength(&blobs.Trans(), {}, 0, false, missing, length);
  EXPECT_NE(result, 0u);
  EXPECT_NE(LastMessage(), "");
  EXPECT_NE(handler->BlobWrite(&blobs.Trans(), {}, 0, missing, 0, 1, "x"), 0u);
}

struct ReplaceRow {
  const char* Name;
  std::optional<std::string> Before;  // nullopt: blob number 0
  std::string With;
  bool MakesABlob;
};

TEST_F(PassthroughTest, BlobReplaceLeavesExactlyTheNewBytes) {
  const std::vector<ReplaceRow> rows = {
      {"new blob for number 0", std::nullopt, "abc", true},
      {"shorter replaces longer", std::string("hello world"), "abc", false},
      {"longer replaces shorter", std::string("hi"), "longer text", false},
      {"empty empties an existing blob", std::string("hello"), "", false},
      {"empty on number 0 does nothing", std::nullopt, "", false},
  };
  auto handler = Passthrough(&blobs.Engine());
  for (const ReplaceRow& row : rows) {
    SCOPED_TRACE(row.Name);
    const TnxBlobNr before = row.Before ? Make(*row.Before) : 0;
    TnxBlobNr nr = before;
    ASSERT_EQ(handler->BlobReplace(&blobs.Trans(), {}, 0, nr, uint32_t(row.With.size()), row.With.data()), 0u);
    if (row.MakesABlob) {
      EXPECT_NE(nr, 0);
    } else {
      EXPECT_EQ(nr, before);
    }
    if (nr != 0) {
      EXPECT_EQ(Read(*handler, nr), row.With);
    }
  }
}

TEST_F(PassthroughTest, AfterDeleteDeletesOnlyTheRecordsNonEmptyBlobs) {
  auto handler = Passthrough(&blobs.Engine());
  const TnxBlobNr owned = Make("owned");
  const TnxBlobNr heldByNull = Make("kept");
  SetBlob(0, owned);
  SetNullHolding(2, heldByNull);
  SetBlob(3, 0);
  ASSERT_EQ(handler->BlobFields(), (TnxBlobFields{0, 2, 3}));
  EXPECT_EQ(handler->AfterDelete(&blobs.Trans(), {1, 1}, record.data()), 0u);
  uint32_t result = 0;
  Read(*handler, owned, &result);
  EXPECT_NE(result, 0u) << "the record's blob survived";
  EXPECT_EQ(Read(*handler, heldByNull), "kept");
  EXPECT_EQ(blobs.Trans().CheckState(), 0u);
  EXPECT_EQ(handler->AfterDelete(&blobs.Trans(), {1, 1}, nullptr), nxeInvalidParameter);
}

TEST_F(PassthroughTest, AfterDeleteStopsAtTheFirstFailureAndMarksTheTransactionCorrupted) {
  auto handler = Passthrough(&blobs.Engine());
  const TnxBlobNr later = Make("later");
  SetBlob(0, 0x7FFF0);  // no such blob
  SetBlob(2, later);
  const uint32_t result = handler->AfterDelete(&blobs.Trans(), {1, 1}, record.data());
  EXPECT_NE(result, 0u);
  EXPECT_EQ(blobs.Trans().CheckState(), nxeTransactionCorrupt);
  EXPECT_EQ(Read(*handler, later), "later") << "the walk went on after the failure";
}

TEST_F(PassthroughTest, LinkedBlobsAreReadThroughTheLinkHandler) {
  SourceTables sources(database);
  sources.Add(u"Src", {{5, "linked bytes"}});
  auto link = nxCreateServerObject<TnxBlobLinkHandler>(database, sources.Opener());
  auto handler = Passthrough(&blobs.Engine(), link.get());
  TnxBlobNr nr = 0;
  ASSERT_EQ(handler->BlobCreateLink(&blobs.Trans(), {}, 0, u"Src", 5, nr), 0u);
  std::u16string source;
  TnxBlobNr sourceNr = 0;
  EXPECT_TRUE(handler->BlobIsLink(&blobs.Trans(), {}, 0, nr, source, sourceNr));
  EXPECT_EQ(source, u"Src");
  EXPECT_EQ(sourceNr, 5);
  EXPECT_EQ(Read(*handler, nr), "linked bytes");
  uint32_t length = 0;
  TStringStream part;
  EXPECT_EQ(handler->BlobRead(&blobs.Trans(), {}, 0, false, nr, 7, 5, part, &length), 0u);
  EXPECT_EQ(part.Bytes, "bytes");
  EXPECT_EQ(length, 12u);

  auto unlinked = Passthrough(&blobs.Engine());
  EXPECT_EQ(unlinked->BlobGetLength(&blobs.Trans(), {}, 0, false, nr, length), nxeCapabilityNotSupported);
  link.reset();
}

}  // namespace
}  // namespace revurov::testing
