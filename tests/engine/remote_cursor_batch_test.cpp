// The remote cursor's batch reads over loopback TCP: the request forms and
// the options they carry, positioning before a batch, the server's batch
// stream walked in the caller's access, and replies that do not fit.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "engine/batch_stream.h"
#include "engine/remote_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "support/remote_cursor_fixture.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

constexpr TnxClientFeatures kNoReduction = nxAllClientFeatures & ~(1u << cfMessageReduction);

constexpr TnxRecordGetBatchExOptions Opt(std::initializer_list<TnxRecordGetBatchExOption> aOptions) {
  TnxRecordGetBatchExOptions out = 0;
  for (auto o : aOptions) out = TnxRecordGetBatchExOptions(out | (1u << o));
  return out;
}

// Owns what a batch read hands back through its in-out pointer.
struct OwnedAccess {
  TnxBatchStreamAccess* access = nullptr;
  ~OwnedAccess() { delete access; }
};

class RemoteCursorBatchTest : public RemoteCursorFixture {
protected:
  explicit RemoteCursorBatchTest(TServing aServing = TServing::Scripted) : RemoteCursorFixture(aServing) {}
  void SetUp() override { Rows(3); }
  void TearDown() override { nxSetClientFeatures(nxAllClientFeatures); }

  // The IDs of the entries of a batch, walked from its start.
  std::vector<int32_t> IDsOf(TnxBatchStreamAccess& aAccess) {
    std::vector<int32_t> ids;
    aAccess.Reset(false);
    TnxBatchStreamEntry entry;
    while (aAccess.Next(entry))
      if (entry.Record()) ids.push_back(IDOf(entry.Record()));
    EXPECT_EQ(aAccess.Error(), 0u);
    return ids;
  }
  void HoldBookmark(TnxRemoteCursor* aCursor, int32_t aID) {
    std::vector<uint8_t> bookmark = Bookmark(aID);
    ASSERT_EQ(aCursor->SetToBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size())), 0u);
    ASSERT_TRUE(aCursor->DelayedSetToBookmarkPending());
  }
  // Blob values of the handler's records (record i: "blob i").
  void WithBlobs() {
    const size_t offset = static_cast<size_t>(table->FieldsDescriptor().FieldDescriptor(2)->Offset());
    handler->Configure([&](TTestCommandHandler& h) {
      auto& rows = h.CursorRows[u"Orders"];
      rows.blobFieldOffset = offset;
      rows.blobs.clear();
      for (size_t i = 0; i < rows.records.size(); ++i) {
        const std::string text = "blob " + std::to_string(i);
        rows.blobs.emplace_back(text.begin(), text.end());
      }
    });
  }
  static TaggedBytes Fixed9(uint32_t aCursorID, int32_t aCutoff, uint8_t aOptions) {
    TaggedBytes out(9, 0);
    platform::StoreU32(out.data(), aCursorID);
    platform::StoreU32(out.data() + 4, static_cast<uint32_t>(aCutoff));
    out[8] = aOptions;
    return out;
  }
};

TEST_F(RemoteCursorBatchTest, OptionsAreCleanedBeforeTheyAreSent) {
  const struct {
    const char* name;
    int32_t version;
    TnxRecordGetBatchExOptions asked;
    bool forward;
    bool marked;
    TnxMsgID sent;
    TnxRecordGetBatchExOptions options;
  } rows[] = {
      {"the client filter is never sent", 47005, Opt({gboBlobs, gboBlobNrs, gboAllowClientFilter}), true, false, 0x381,
       Opt({gboBlobs, gboBlobNrs})},
      {"blob numbers without blobs", 47005, Opt({gboBlobNrs, gboBookmarks}), true, false, 0x381, Opt({gboBookmarks})},
      {"only marked without marks", 47005, Opt({gboBlobs, gboBlobsOnlyMarked, gboBlobNrs}), true, false, 0x381, 0},
      {"only marked with marks", 47005, Opt({gboBlobs, gboBlobsOnlyMarked}), true, true, 0x885,
       Opt({gboBlobs, gboBlobsOnlyMarked})},
      {"only marked below 47005", 47004, Opt({gboBlobs, gboBlobsOnlyMarked}), true, true, 0x381, Opt({gboBlobs})},
      {"only marked without blobs", 47005, Opt({gboBlobsOnlyMarked}), true, true, 0x381, 0},
      {"backwards is the direction's", 47005, Opt({gboBackwards}), true, false, 0x381, 0},
      {"not forward", 47005, 0, false, false, 0x381, Opt({gboBackwards})},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    if (row.marked) {
      ASSERT_EQ(cursor->BlobsSetMarked(std::make_shared<TnxMarkedBlobsByBlobIdx>(1, 1)), 0u);
    }
    ASSERT_EQ(cursor->SetToBegin(), 0u);
    OwnedAccess owned;
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->RecordGetBatch(5000, row.asked, owned.access, 0, row.forward), 0u);
    EXPECT_EQ(SentBy(session, before), Ids{row.sent});
    TaggedBytes expected = Fixed9(cursor->CursorID(), 5000, row.options);
    if (row.sent == 0x885) {
      // Record limit, then the cache description: no bookmark, one mark
      // word, coverage 0, no cache infos; then the mark word.
      expected = TaggedBytes(25, 0);
      platform::StoreU32(expected.data(), cursor->CursorID());
      platform::StoreU32(expected.data() + 4, 5000);
      expected[12] = row.options;
      expected[15] = 1;
      platform::StoreU32(expected.data() + 21, 1);
    }
    EXPECT_EQ(LastPayload(row.sent), expected);
    EXPECT_EQ(IDsOf(*owned.access), row.forward ? (std::vector<int32_t>{10, 20, 30}) : std::vector<int32_t>{});
    cursor->Free();
  }
}

TEST_F(RemoteCursorBatchTest, WithoutBlobFieldsBlobOptionsGo) {
  // A table of one integer field, keyed by it.
  auto plain = std::make_shared<TnxDataDictionary>();
  plain->FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
  auto* index = plain->IndicesDescriptor()->AddIndex(u"ByID", 0, idNone);
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(u"ID");
  TnxMemoryStream stream(-1);
  plain->WriteToStream(stream, nxRemoteClientVersion);
  const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
  handler->Configure([&](TTestCommandHandler& h) {
    h.CursorTables[u"Plain"] = {TaggedBytes(bytes, bytes + stream.GetSize()), plain->Guid(), plain->CurrentID(),
                                kByID, -1};
    h.CursorRows[u"Plain"].records = {TaggedBytes(static_cast<size_t>(plain->FieldsDescriptor().RecordLength()), 0)};
  });
  Connect(47005);
  TnxAbstractCursor* opened = nullptr;
  ASSERT_EQ(database->CursorOpen(opened, u"Plain", u"pw", omReadWrite, smShared, 3000, u"", kByID, false, 0, 500,
                                 nullptr),
            0u);
  OwnedAccess owned;
  ASSERT_EQ(opened->RecordGetBatch(0, Opt({gboBlobs, gboBlobNrs, gboBookmarks}), owned.access, 0, true), 0u);
  const TnxRemoteCursor* cursor = static_cast<TnxRemoteCursor*>(opened);
  EXPECT_EQ(LastPayload(0x381), Fixed9(cursor->CursorID(), 0, Opt({gboBookmarks})));
  EXPECT_EQ(owned.access->Count(), 1);
}

TEST_F(RemoteCursorBatchTest, PositioningFirstIsTheServersOnlyWhereItCanDoIt) {
  const struct {
    const char* name;
    int32_t version;
    TnxClientFeatures features;
    bool toBeginOrEnd;
    bool forward;
    int32_t maxRecords;
    Ids sent;
    std::vector<int32_t> ids;
  } rows[] = {
      {"47001 forward", 47001, nxAllClientFeatures, true, true, 0, {0x301, 0x381}, {10, 20, 30}},
      {"47001 backward", 47001, nxAllClientFeatures, true, false, 0, {0x303, 0x381}, {30, 20, 10}},
      {"47005 unreduced", 47005, kNoReduction, true, true, 0, {0x301, 0x381}, {10, 20, 30}},
      {"47002 with a limit drops the held bookmark", 47002, nxAllClientFeatures, true, true, 2, {0x385}, {10, 20}},
      {"47005 with a limit drops it too", 47005, nxAllClientFeatures, true, false, 2, {0x385}, {30, 20}},
      {"47005 carries the held bookmark", 47005, nxAllClientFeatures, false, true, 0, {0x885}, {30}},
      {"47004 sends the held bookmark first", 47004, nxAllClientFeatures, false, true, 0, {0x313, 0x381}, {30}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nxSetClientFeatures(row.features);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    HoldBookmark(cursor, 20);
    OwnedAccess owned;
    const size_t before = SentCount(session);
    const TnxRecordGetBatchExOptions asked = row.toBeginOrEnd ? Opt({gboSetToBeginOrEnd}) : 0;
    ASSERT_EQ(cursor->RecordGetBatch(0, asked, owned.access, row.maxRecords, row.forward), 0u);
    EXPECT_EQ(SentBy(session, before), row.sent);
    EXPECT_FALSE(cursor->DelayedSetToBookmarkPending());
    EXPECT_EQ(IDsOf(*owned.access), row.ids);
    const TnxMsgID id = row.sent.back();
    const uint8_t sentOptions = LastPayload(id)[id == 0x381 ? 8 : 12];
    EXPECT_EQ((sentOptions >> gboSetToBeginOrEnd) & 1, id == 0x385 ? 1 : 0);
    if (id == 0x885) {
      const std::vector<uint8_t> bookmark = Bookmark(20);
      const TaggedBytes payload = LastPayload(id);
      ASSERT_EQ(payload.size(), 21 + bookmark.size());
      EXPECT_EQ(platform::LoadU16(payload.data() + 13), bookmark.size());
      EXPECT_EQ(TaggedBytes(payload.begin() + 21, payload.end()), bookmark);
    }
    cursor->Free();
  }
}

TEST_F(RemoteCursorBatchTest, APositioningThatFailsEndsTheBatchRead) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47001);
  handler->Script(0x301, Fixed(nxeInvalidHandle));
  OwnedAccess owned;
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->RecordGetBatch(0, Opt({gboSetToBeginOrEnd}), owned.access, 0, true), nxeInvalidHandle);
  EXPECT_EQ(SentBy(session, before), Ids{0x301});
}

// Also against a real server engine.
class RemoteCursorBatchModes : public RemoteCursorBatchTest, public ::testing::WithParamInterface<TServing> {
protected:
  RemoteCursorBatchModes() : RemoteCursorBatchTest(GetParam()) {}
};
INSTANTIATE_TEST_SUITE_P(Serving, RemoteCursorBatchModes, ::testing::Values(TServing::Scripted, TServing::InProcess),
                         ServingName);

TEST_P(RemoteCursorBatchModes, AHundredThousandRecordsWholeAndByTheRecordLimit) {
  constexpr int kCount = 100000;
  Rows(kCount);
  TnxRemoteCursor* cursor = ConnectAndOpen();
  OwnedAccess owned;
  // A negative cut-off is none (a server stops at 0 after one record).
  ASSERT_EQ(cursor->RecordGetBatch(-1, Opt({gboSetToBeginOrEnd}), owned.access, 0, true), 0u);
  std::vector<int32_t> ids = IDsOf(*owned.access);
  ASSERT_EQ(ids.size(), size_t{kCount});
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(ids[static_cast<size_t>(i)], 10 + 10 * i);
  EXPECT_EQ(owned.access->InnerError(), nxeAtEndOfTable);
  // By the limit: each batch goes on where the last ended; the access is reused.
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  TnxBatchStreamAccess* first = owned.access;
  for (int batch = 0; batch < 3; ++batch) {
    SCOPED_TRACE(batch);
    ASSERT_EQ(cursor->RecordGetBatch(-1, 0, owned.access, 1000, true), 0u);
    EXPECT_EQ(owned.access, first);
    ids = IDsOf(*owned.access);
    ASSERT_EQ(ids.size(), 1000u);
    EXPECT_EQ(ids.front(), 10 + 10 * 1000 * batch);
    EXPECT_EQ(ids.back(), 10 * 1000 * (batch + 1));
  }
  TaggedBytes expected(13, 0);
  platform::StoreU32(expected.data(), cursor->CursorID());
  platform::StoreU32(expected.data() + 4, 0xFFFFFFFFu);
  platform::StoreU32(expected.data() + 8, 1000);
  EXPECT_EQ(LastPayload(0x385), expected);
  // The cut-off ends a batch once the stream reaches it.
  const uint32_t entry = 4 + static_cast<uint32_t>(RecordLength());
  ASSERT_EQ(cursor->RecordGetBatch(static_cast<int32_t>(8 + 10 * entry), 0, owned.access, 0, true), 0u);
  EXPECT_EQ(IDsOf(*owned.access).size(), 10u);
}

TEST_F(RemoteCursorBatchTest, BookmarksAndBlobsTravelWhenAsked) {
  WithBlobs();
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  OwnedAccess owned;
  ASSERT_EQ(cursor->RecordGetBatch(0, Opt({gboBookmarks, gboBlobs, gboBlobNrs}), owned.access, 0, true), 0u);
  TnxBatchStreamAccess& access = *owned.access;
  access.Reset(false);
  TnxBatchStreamEntry entry;
  int n = 0;
  uint32_t size = 0;
  cursor->sbcGetBookmarkSize(size);
  while (access.Next(entry)) {
    SCOPED_TRACE(n);
    ASSERT_NE(entry.Record(), nullptr);
    const int32_t id = IDOf(entry.Record());
    EXPECT_EQ(id, 10 + 10 * n);
    ASSERT_NE(entry.Bookmark(), nullptr);
    EXPECT_EQ(std::vector<uint8_t>(entry.Bookmark(), entry.Bookmark() + size), Bookmark(id));
    TnxBatchBlobAccess blob;
    ASSERT_TRUE(access.GetBlobAccess(entry, 2, blob));
    EXPECT_EQ(blob.bbaBlobNr, n + 1);
    const std::string text = "blob " + std::to_string(n);
    ASSERT_EQ(blob.bbaSize, text.size());
    EXPECT_EQ(std::memcmp(access.Memory() + blob.bbaBlobData, text.data(), text.size()), 0);
    ++n;
  }
  EXPECT_EQ(n, 3);
  EXPECT_EQ(access.Error(), 0u);
  // Without them the entries are the bare records.
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  OwnedAccess bare;
  ASSERT_EQ(cursor->RecordGetBatch(0, 0, bare.access, 0, true), 0u);
  EXPECT_EQ(bare.access->Size(), 8 + 3 * (4 + static_cast<uint64_t>(RecordLength())));
}

TEST_F(RemoteCursorBatchTest, RepliesThatDoNotFitGiveACode) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  const struct {
    const char* name;
    uint32_t code;
    TaggedBytes data;
    uint32_t result;
  } rows[] = {
      {"cache is valid without a cache", 2, TaggedBytes(8, 0), nxeMessageUnrecognized},
      {"shorter than its header", 0, TaggedBytes(7, 0), nxeMessageUnrecognized},
      {"empty", 0, {}, nxeMessageUnrecognized},
      {"the server's error", nxeInvalidHandle, {}, nxeInvalidHandle},
      {"a header without entries", 0, TaggedBytes(8, 0), 0},
  };
  OwnedAccess owned;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Script(0x381, Fixed(row.code, row.data));
    EXPECT_EQ(cursor->RecordGetBatch(0, 0, owned.access, 0, true), row.result);
    ASSERT_NE(owned.access, nullptr);
    EXPECT_EQ(owned.access->Count(), 0);
  }
}

TEST_F(RemoteCursorBatchTest, MutatedBatchRepliesGiveOnlyCodes) {
  Rows(6);
  WithBlobs();
  TnxRemoteCursor* cursor = ConnectAndOpen();
  const TnxRecordGetBatchExOptions options = Opt({gboBookmarks, gboBlobs, gboBlobNrs});
  OwnedAccess owned;
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  ASSERT_EQ(cursor->RecordGetBatch(0, options, owned.access, 0, true), 0u);
  const TaggedBytes valid(owned.access->Memory(), owned.access->Memory() + owned.access->Size());
  std::mt19937 random(55);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    TaggedBytes mutated = valid;
    if (round % 5 == 0) {
      mutated.resize(random() % mutated.size());
    } else {
      for (int flips = 1 + static_cast<int>(random() % 4); flips > 0; --flips)
        mutated[random() % mutated.size()] = static_cast<uint8_t>(random());
    }
    handler->Script(0x381, Fixed(0, mutated));
    const uint32_t result = cursor->RecordGetBatch(0, options, owned.access, 0, true);
    ASSERT_TRUE(result == 0 || result == nxeMessageUnrecognized) << result;
    TnxBatchStreamAccess& access = *owned.access;
    TnxBatchStreamEntry entry;
    int walked = 0;
    // Bounded: a mutated size word may cut the stream into more entries.
    while (access.Next(entry) && walked < 10000) {
      ++walked;
      TnxBatchBlobAccesses blobs;
      access.GetBlobAccesses(entry, blobs, false);
      for (const TnxBatchBlobAccess& blob : blobs)
        if (blob.bbaBlobData) {
          ASSERT_LE(blob.bbaBlobData + blob.bbaSize, access.Size());
        }
    }
    EXPECT_LT(walked, 10000);
  }
}

TEST_F(RemoteCursorBatchTest, KeyBatchesNeedANewServerAndKeys) {
  TnxDataSetKeyBufferArray none;
  OwnedAccess owned;
  TnxRemoteCursor* cursor = ConnectAndOpen(47003);
  size_t before = SentCount(session);
  EXPECT_EQ(cursor->RecordGetForKeyBatch(0, 0, owned.access, none, true, true), nxeIncompatibleVersion);
  EXPECT_EQ(SentCount(session), before);
  cursor->Free();
  cursor = ConnectAndOpen(47004);
  before = SentCount(session);
  EXPECT_EQ(cursor->RecordGetForKeyBatch(0, 0, owned.access, none, true, true), nxeAtEndOfTable);
  EXPECT_EQ(cursor->RecordGetForKeyBatch(0, 0, owned.access, none, false, true), nxeAtBeginningOfTable);
  TnxDataSetKeyBufferArray nil{nullptr};
  EXPECT_EQ(cursor->RecordGetForKeyBatch(0, 0, owned.access, nil, true, true), nxeInvalidParameter);
  EXPECT_EQ(SentCount(session), before);
  EXPECT_EQ(owned.access, nullptr);
}

TEST_F(RemoteCursorBatchTest, KeyBatchesFindEveryKeyAndSendRecordFormKeysReducedWhereTheyCan) {
  for (const TnxClientFeatures features : {nxAllClientFeatures, kNoReduction}) {
    SCOPED_TRACE(features);
    nxSetClientFeatures(features);
    const bool reduced = features == nxAllClientFeatures;
    TnxRemoteCursor* cursor = ConnectAndOpen();
    ASSERT_NE(cursor, nullptr);
    // A direct key for 20, the record of 30 as a key.
    const std::vector<uint8_t> key20 = Key(20);
    const std::vector<uint8_t> record30 = Record(30, 60);
    auto buffer = [](bool aDirect, int32_t aFieldCount, const std::vector<uint8_t>& aBytes) {
      std::vector<uint8_t> out(nxDataSetKeyBufferHeader + aBytes.size(), 0);
      TnxDataSetKeyBuffer header;
      header.kbFieldCount = aFieldCount;
      header.kbDirectKey = aDirect;
      std::memcpy(out.data(), static_cast<const void*>(&header), sizeof header);
      std::copy(aBytes.begin(), aBytes.end(), out.begin() + nxDataSetKeyBufferHeader);
      return out;
    };
    std::vector<uint8_t> first = buffer(true, 1, key20);
    std::vector<uint8_t> second = buffer(false, 1, record30);
    TnxDataSetKeyBufferArray keys{reinterpret_cast<PnxKeyBuffer>(first.data()),
                                  reinterpret_cast<PnxKeyBuffer>(second.data())};
    HoldBookmark(cursor, 10);
    OwnedAccess owned;
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->RecordGetForKeyBatch(0, Opt({gboSetToBeginOrEnd, gboAllowClientFilter}), owned.access, keys,
                                           true, true),
              0u);
    // Can-skip: the held bookmark is dropped.
    EXPECT_EQ(SentBy(session, before), Ids{0x37D});
    EXPECT_EQ(IDsOf(*owned.access), (std::vector<int32_t>{20, 30}));
    const std::vector<uint8_t> key30 = Key(30);
    const TaggedBytes expected = Written([&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
      w.WriteInteger(int32_t(0));
      w.WriteInteger(int32_t(0));  // no positioning, forward, no client filter
      w.WriteInteger(RecordLength());
      w.WriteInteger(static_cast<int32_t>(key20.size()));
      w.WriteInteger(int32_t(2));
      w.WriteListBegin();
      for (int k = 0; k < 2; ++k) {
        const bool direct = k == 0 || reduced;
        const std::vector<uint8_t>& bytes = k == 0 ? key20 : reduced ? key30 : record30;
        w.WriteListBegin();
        w.WriteBoolean(direct);
        w.WriteInteger(int32_t(1));
        w.WriteInteger(int32_t(0));
        w.WriteBoolean(false);
        w.Write(bytes.data(), static_cast<int64_t>(bytes.size()));
        w.WriteListEnd();
      }
      w.WriteListEnd();
      w.WriteBoolean(true);
      w.WriteBoolean(true);
    });
    EXPECT_EQ(LastPayload(0x37D), expected);
    cursor->Free();
  }
}

}  // namespace
}  // namespace revurov::testing
