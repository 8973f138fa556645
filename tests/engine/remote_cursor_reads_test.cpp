// The remote cursor's record reads and positioning over loopback TCP: the
// chained forms and the replies they have the server send ahead, the
// held-back SetToBookmark, and record replies checked against their code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "engine/remote_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "support/remote_cursor_fixture.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

constexpr TnxClientFeatures kNoReduction = nxAllClientFeatures & ~(1u << cfMessageReduction);

class RemoteCursorReadsTest : public RemoteCursorFixture {
protected:
  explicit RemoteCursorReadsTest(TServing aServing = TServing::Scripted) : RemoteCursorFixture(aServing) {}
  void SetUp() override { Rows(3); }
  // A record buffer of the cursor's length.
  std::vector<uint8_t> Buffer() const { return std::vector<uint8_t>(static_cast<size_t>(RecordLength()) + 4, 0xEE); }
};

// Also against a real server engine.
class RemoteCursorReadsModes : public RemoteCursorReadsTest, public ::testing::WithParamInterface<TServing> {
protected:
  RemoteCursorReadsModes() : RemoteCursorReadsTest(GetParam()) {}
};
INSTANTIATE_TEST_SUITE_P(Serving, RemoteCursorReadsModes, ::testing::Values(TServing::Scripted, TServing::InProcess),
                         ServingName);

TEST_P(RemoteCursorReadsModes, ReadsWalkTheTableOneRequestEachAndStopAtItsEnds) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_NE(cursor, nullptr);
  std::vector<uint8_t> record = Buffer();
  const size_t before = SentCount(session);
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  for (int32_t id : {10, 20, 30}) {
    ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0u);
    EXPECT_EQ(IDOf(record.data()), id);
  }
  EXPECT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), nxeAtEndOfTable);
  ASSERT_EQ(cursor->RecordGetPrior(nxltReadLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 30);
  ASSERT_EQ(cursor->RecordGet(nxltWriteLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 30);
  ASSERT_EQ(cursor->SetToEnd(), 0u);
  ASSERT_EQ(cursor->RecordGetPrior(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 30);
  EXPECT_EQ(SentBy(session, before), (Ids{0x301, 0x322, 0x322, 0x322, 0x322, 0x323, 0x321, 0x303, 0x323}));
  // Cursor ID, lock type, record length, bookmark size.
  TaggedBytes expected(9, 0);
  platform::StoreU32(expected.data(), cursor->CursorID());
  expected[4] = nxltWriteLock;
  platform::StoreU16(expected.data() + 5, static_cast<uint16_t>(RecordLength()));
  EXPECT_EQ(LastPayload(0x321), expected);
  cursor->AddCursorOption(acoRecordGetFollowedByGetBookmark);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  uint32_t size = 0;
  cursor->sbcGetBookmarkSize(size);
  expected[4] = nxltNoLock;
  platform::StoreU16(expected.data() + 7, static_cast<uint16_t>(size));
  EXPECT_EQ(LastPayload(0x321), expected);
}

TEST_F(RemoteCursorReadsTest, AReadWithANilBufferAsksRecordLengthZero) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), 0u);
  const TaggedBytes payload = LastPayload(0x322);
  ASSERT_EQ(payload.size(), 9u);
  EXPECT_EQ(platform::LoadU16(payload.data() + 5), 0u);
  std::vector<uint8_t> record = Buffer();
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 10);
}

TEST_F(RemoteCursorReadsTest, ChainedSetToBeginAndSetToEndFollowTheServerAndTheFeatures) {
  const struct {
    const char* name;
    int32_t version;
    TnxClientFeatures features;
    bool end;
    Ids sent;  // the positioning and the read after it
  } rows[] = {
      {"begin on 47002", 47002, nxAllClientFeatures, false, {0x305}},
      {"begin on 47001", 47001, nxAllClientFeatures, false, {0x301, 0x322}},
      {"begin without message reduction", 47501, kNoReduction, false, {0x301, 0x322}},
      {"end on 47002", 47002, nxAllClientFeatures, true, {0x306}},
      {"end on 47001", 47001, nxAllClientFeatures, true, {0x303, 0x323}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nxSetClientFeatures(row.features);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    const TnxAbstractCursorOption option =
        row.end ? acoSetToEndFollowedByRecordGetPrior : acoSetToBeginFollowedByRecordGetNext;
    cursor->AddCursorOption(option);
    cursor->AddCursorOption(acoRecordGetFollowedByGetBookmark);
    std::vector<uint8_t> record = Buffer();
    const size_t before = SentCount(session);
    ASSERT_EQ(row.end ? cursor->SetToEnd() : cursor->SetToBegin(), 0u);
    EXPECT_FALSE(cursor->HasAnyCursorOptions(nxCursorOption(option)));
    ASSERT_EQ(row.end ? cursor->RecordGetPrior(nxltNoLock, record.data())
                      : cursor->RecordGetNext(nxltNoLock, record.data()),
              0u);
    EXPECT_EQ(IDOf(record.data()), row.end ? 30 : 10);
    EXPECT_EQ(SentBy(session, before), row.sent);
    EXPECT_EQ(cursor->ExpectedMultiPartReplies(), 0u);
    if (row.sent.size() == 1) {
      uint32_t size = 0;
      cursor->sbcGetBookmarkSize(size);
      TaggedBytes expected(8, 0);
      platform::StoreU32(expected.data(), cursor->CursorID());
      platform::StoreU16(expected.data() + 4, static_cast<uint16_t>(RecordLength()));
      platform::StoreU16(expected.data() + 6, static_cast<uint16_t>(size));
      EXPECT_EQ(LastPayload(row.sent[0]), expected);
    }
    cursor->Free();
    nxSetClientFeatures(nxAllClientFeatures);
  }
}

TEST_F(RemoteCursorReadsTest, AQueuedReplyClearsItsKindAndAnExpectedReadFindingNothingClearsAll) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  std::vector<uint8_t> record = Buffer();
  // SetToKey with sync expects all three kinds; the server sent a RecordGet.
  cursor->AddCursorOption(acoSetToKeyFollowedBySync);
  const std::vector<uint8_t> key = Key(20);
  ASSERT_EQ(cursor->SetToKey(skaEqualFirst, 0, 0, true, const_cast<uint8_t*>(key.data())), 0u);
  EXPECT_EQ(cursor->ExpectedMultiPartReplies(), 0x7u);
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 20);
  EXPECT_EQ(SentCount(session), before);
  EXPECT_EQ(cursor->ExpectedMultiPartReplies(), 0x6u);
  // Next is expected, but nothing waits: all three go, the read is sent.
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 30);
  EXPECT_EQ(SentBy(session, before), Ids{0x322});
  EXPECT_EQ(cursor->ExpectedMultiPartReplies(), 0u);
}

TEST_F(RemoteCursorReadsTest, AHeldBackSetToBookmarkIsDroppedOrSentByWhatFollows) {
  const struct {
    const char* name;
    int what;  // 0 SetToBegin, 1 RecordGetNext, 2 SetToEnd
    Ids sent;
    int32_t id;  // read after it
  } rows[] = {
      {"SetToBegin drops it", 0, {0x301, 0x322}, 10},
      {"RecordGetNext sends it first", 1, {0x313, 0x322}, 30},
      {"SetToEnd drops it", 2, {0x303, 0x323}, 30},
  };
  TnxRemoteCursor* cursor = ConnectAndOpen();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<uint8_t> bookmark = Bookmark(20);
    std::vector<uint8_t> record = Buffer();
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->SetToBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size())), 0u);
    EXPECT_TRUE(cursor->DelayedSetToBookmarkPending());
    EXPECT_EQ(SentCount(session), before);
    if (row.what == 0) {
      ASSERT_EQ(cursor->SetToBegin(), 0u);
    }
    if (row.what == 2) {
      ASSERT_EQ(cursor->SetToEnd(), 0u);
    }
    ASSERT_EQ(row.what == 2 ? cursor->RecordGetPrior(nxltNoLock, record.data())
                            : cursor->RecordGetNext(nxltNoLock, record.data()),
              0u);
    EXPECT_EQ(IDOf(record.data()), row.id);
    EXPECT_EQ(SentBy(session, before), row.sent);
    EXPECT_FALSE(cursor->DelayedSetToBookmarkPending());
  }
}

TEST_F(RemoteCursorReadsTest, AChainedSetToBookmarkHasItsReadSentAhead) {
  const struct {
    const char* name;
    TnxAbstractCursorOption option;
    bool flip;
    TnxMsgID chainedID;
    uint8_t expected;
    int kind;  // the read that takes it
    int32_t id;
  } rows[] = {
      {"record get", acoSetToBookmarkFollowedByRecordGet, false, 0x321, 0x1, 0, 20},
      {"next", acoSetToBookmarkFollowedByRecordGetNext, false, 0x322, 0x2, 1, 30},
      {"prior", acoSetToBookmarkFollowedByRecordGetPrior, false, 0x323, 0x4, 2, 10},
      {"next under flip order", acoSetToBookmarkFollowedByRecordGetNext, true, 0x322, 0x4, 2, 30},
      {"sync", acoSetToBookmarkFollowedBySync, false, 0x324, 0x7, 0, 20},
  };
  TnxRemoteCursor* cursor = ConnectAndOpen();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<uint8_t> bookmark = Bookmark(20);
    std::vector<uint8_t> record = Buffer();
    cursor->AddCursorOption(row.option);
    cursor->AddCursorOption(acoChainedRecordGetUsesWriteLock);
    if (row.flip) cursor->AddCursorOption(acoFlipOrder);
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->SetToBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size())), 0u);
    EXPECT_EQ(cursor->ExpectedMultiPartReplies(), row.expected);
    EXPECT_FALSE(cursor->HasAnyCursorOptions(nxCursorOption(row.option) |
                                             nxCursorOption(acoChainedRecordGetUsesWriteLock)));
    const TaggedBytes expected = Written([&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
      w.WriteInteger(static_cast<int32_t>(bookmark.size()));
      w.WriteListBegin();
      w.Write(bookmark.data(), static_cast<int64_t>(bookmark.size()));
      w.WriteListEnd();
      w.WriteInteger(static_cast<int32_t>(row.chainedID));
      w.WriteInteger(RecordLength());
      w.WriteInteger(int32_t(nxltWriteLock));
      w.WriteInteger(int32_t(0));
      w.WriteBoolean(row.flip);
    });
    EXPECT_EQ(LastPayload(0x314), expected);
    // The chained read is the server's move; the model reads in its own order.
    const uint32_t read = row.kind == 0   ? cursor->RecordGet(nxltNoLock, record.data())
                          : row.kind == 1 ? cursor->RecordGetNext(nxltNoLock, record.data())
                                          : cursor->RecordGetPrior(nxltNoLock, record.data());
    ASSERT_EQ(read, 0u);
    if (!row.flip) {
      EXPECT_EQ(IDOf(record.data()), row.id);
    }
    EXPECT_EQ(SentBy(session, before), Ids{0x314});
    cursor->RemoveCursorOption(acoFlipOrder);
  }
}

TEST_F(RemoteCursorReadsTest, SetToCursorChecksTheOtherCursorAndPicksItsForm) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47005);
  TnxAbstractCursor* copy = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadWrite, copy), 0u);
  auto* other = static_cast<TnxRemoteCursor*>(copy);
  std::vector<uint8_t> record = Buffer();
  size_t before = SentCount(session);
  EXPECT_EQ(cursor->SetToCursor(cursor), 0u);
  EXPECT_EQ(cursor->SetToCursor(nullptr), nxeDifferentTable);
  EXPECT_EQ(SentCount(session), before);

  // Plain: the other cursor's held-back bookmark goes first... on 47005 it
  // travels inside the cached form instead.
  std::vector<uint8_t> bookmark = Bookmark(30);
  ASSERT_EQ(other->SetToBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size())), 0u);
  ASSERT_EQ(cursor->SetToCursor(other), 0u);
  EXPECT_FALSE(other->DelayedSetToBookmarkPending());
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 30);
  EXPECT_EQ(SentBy(session, before), (Ids{0x807, 0x321}));
  const TaggedBytes cached = Written([&](TnxWriter& w) {
    w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
    w.WriteInteger(static_cast<int32_t>(other->CursorID()));
    w.WriteBoolean(false);
    w.WriteInteger(int32_t(0));
    w.WriteInteger(int32_t(0));
    nxWriteRecordCacheInfo(nxNullRecordCacheInfo, w);
    w.WriteInteger(static_cast<int32_t>(bookmark.size()));
    w.WriteBinary(bookmark.data(), static_cast<int32_t>(bookmark.size()));
    nxWriteMarkedBlobs(TnxMarkedBlobsByBlobIdx(), w);
    nxWriteBlobNrs(TnxBlobNrs(), w);
  });
  EXPECT_EQ(LastPayload(0x807), cached);

  // Plain 0x302 with the two IDs.
  before = SentCount(session);
  ASSERT_EQ(other->SetToBegin(), 0u);
  ASSERT_EQ(cursor->SetToCursor(other), 0u);
  TaggedBytes plain(8);
  platform::StoreU32(plain.data(), cursor->CursorID());
  platform::StoreU32(plain.data() + 4, other->CursorID());
  EXPECT_EQ(LastPayload(0x302), plain);

  // Synced: the record comes ahead and the read sends nothing.
  ASSERT_EQ(other->RecordGetNext(nxltNoLock, nullptr), 0u);
  cursor->AddCursorOption(acoSetToCursorFollowedBySyncExact);
  ASSERT_EQ(cursor->SetToCursor(other), 0u);
  EXPECT_TRUE(cursor->HasAnyCursorOptions(nxCursorOption(acoSetToCursorFollowedBySyncExact)));
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
  EXPECT_EQ(IDOf(record.data()), 10);
  EXPECT_EQ(SentBy(session, before), (Ids{0x301, 0x302, 0x322, 0x307}));
  other->Free();
}

TEST_F(RemoteCursorReadsTest, SetToCursorRefusesACursorOfAnotherTable) {
  TTestCommandHandler::TCursorTable second;
  handler->Configure([&](TTestCommandHandler& h) {
    second = h.CursorTables[u"Orders"];
    auto other = std::make_shared<TnxDataDictionary>();
    other->FieldsDescriptor().AddField(u"X", u"", nxtInt32, 0, 0, false);
    TnxMemoryStream stream(-1);
    other->WriteToStream(stream, nxRemoteClientVersion);
    const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
    h.CursorTables[u"Other"] = {TaggedBytes(bytes, bytes + stream.GetSize()), other->Guid(), other->CurrentID(), -1, -1};
  });
  TnxRemoteCursor* cursor = ConnectAndOpen();
  TnxAbstractCursor* foreign = nullptr;
  ASSERT_EQ(database->CursorOpen(foreign, u"Other", u"pw", omReadWrite, smShared, 3000, u"", -1, false, 0, 500, nullptr),
            0u);
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->SetToCursor(foreign), nxeDifferentTable);
  EXPECT_EQ(SentCount(session), before);
  foreign->Free();
}

// Two blob fields' worth of trailer for the record of ID 10.
std::vector<uint8_t> Trailer(int32_t aField, std::vector<uint8_t> aBlob) {
  std::vector<uint8_t> out(24 + 20 + aBlob.size(), 0);
  std::memcpy(out.data(), "BLBS", 4);
  platform::StoreU32(out.data() + 4, 1);
  platform::StoreU64(out.data() + 8, 10);
  platform::StoreU64(out.data() + 16, 7);
  std::memcpy(out.data() + 24, "BLOB", 4);
  platform::StoreU32(out.data() + 28, static_cast<uint32_t>(aField));
  platform::StoreU64(out.data() + 32, 99);
  platform::StoreU32(out.data() + 40, static_cast<uint32_t>(aBlob.size()));
  std::copy(aBlob.begin(), aBlob.end(), out.begin() + 44);
  return out;
}

TEST_F(RemoteCursorReadsTest, RecordRepliesAreCheckedAgainstTheirCode) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  const std::vector<uint8_t> record = Record(10, 5);
  auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<uint8_t> info(16, 3);
  const struct {
    const char* name;
    uint32_t code;
    std::vector<uint8_t> reply;
    uint32_t result;
    bool copied;
  } rows[] = {
      {"the record", 0, record, 0, true},
      {"the record and a blob trailer", 0, join(record, Trailer(2, {1, 2, 3})), 0, true},
      {"a trailer naming a field that holds no blob", 0, join(record, Trailer(1, {1, 2, 3})), nxeMessageUnrecognized, false},
      {"a byte short", 0, std::vector<uint8_t>(record.begin(), record.end() - 1), nxeMessageUnrecognized, false},
      {"a byte more", 0, join(record, {0}), nxeMessageUnrecognized, false},
      {"nothing", 0, {}, nxeMessageUnrecognized, false},
      {"cache invalid: the record and an outdated version", 3, join(record, info), 0, true},
      {"cache invalid without the version", 3, record, nxeMessageUnrecognized, false},
      {"a stale cached record", 0x22F5, info, nxeNoCurrentRecord, false},
      {"a stale cached record, short", 0x22F5, std::vector<uint8_t>(15, 3), nxeMessageUnrecognized, false},
      {"cache valid to a request that named none", 2, info, nxeMessageUnrecognized, false},
      {"a server error with bytes", nxeAtEndOfTable, {1, 2, 3}, nxeAtEndOfTable, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Script(0x321, Fixed(row.code, row.reply));
    std::vector<uint8_t> buffer = Buffer();
    EXPECT_EQ(cursor->RecordGet(nxltNoLock, buffer.data()), row.result);
    EXPECT_EQ(std::memcmp(buffer.data(), record.data(), record.size()) == 0, row.copied);
    EXPECT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(record.size()), buffer.end(),
                            [](uint8_t aByte) { return aByte == 0xEE; }))
        << "nothing past the record";
  }
}

TEST_F(RemoteCursorReadsTest, AQueuedCacheValidReplyIsFollowedByAPlainRead) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  // The server's chained reply says "cache is valid": we hold no cache.
  std::vector<uint8_t> multi = TTestCommandHandler::MultiReplyOf(0x305, 0, {});
  const std::vector<uint8_t> part = TTestCommandHandler::MultiReplyOf(0x322, 2, std::vector<uint8_t>(16, 1));
  multi.insert(multi.end(), part.begin(), part.end());
  TScriptedReply script = Fixed(0, multi);
  script.replyID = nxMultiReplyMsgID;
  handler->Script(0x305, script);
  cursor->AddCursorOption(acoSetToBeginFollowedByRecordGetNext);
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  handler->Script(0x321, Fixed(0, Record(10)));
  std::vector<uint8_t> buffer = Buffer();
  const size_t before = SentCount(session);
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, buffer.data()), 0u);
  EXPECT_EQ(IDOf(buffer.data()), 10);
  EXPECT_EQ(SentBy(session, before), Ids{0x321});
}

TEST_F(RemoteCursorReadsTest, MutatedRecordRepliesGiveOnlyResultCodes) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  std::vector<uint8_t> valid = Record(10);
  const std::vector<uint8_t> trailer = Trailer(2, {9, 8, 7, 6});
  valid.insert(valid.end(), trailer.begin(), trailer.end());
  std::mt19937 random(54);
  for (int i = 0; i < 200; ++i) {
    std::vector<uint8_t> reply = valid;
    const size_t at = random() % reply.size();
    switch (random() % 3) {
      case 0: reply[at] = static_cast<uint8_t>(random()); break;
      case 1: reply.resize(at); break;
      default: reply.insert(reply.begin() + static_cast<std::ptrdiff_t>(at), static_cast<uint8_t>(random())); break;
    }
    handler->Script(0x321, Fixed(random() % 4 == 0 ? 3 : 0, reply));
    std::vector<uint8_t> buffer = Buffer();
    const uint32_t result = cursor->RecordGet(nxltNoLock, buffer.data());
    EXPECT_TRUE(result == 0 || result == nxeMessageUnrecognized) << result;
  }
}

}  // namespace
}  // namespace revurov::testing
