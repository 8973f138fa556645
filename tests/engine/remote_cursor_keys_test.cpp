// The remote cursor's keys, ranges, index switches, bookmarks and record
// numbers over loopback TCP: the binary layouts byte by byte, the work
// done locally without a request, and the server's answers checked.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/remote_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "support/remote_cursor_fixture.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;
using Bytes = std::vector<uint8_t>;

constexpr TnxClientFeatures kNoReduction = nxAllClientFeatures & ~(1u << cfMessageReduction);

void Put32(Bytes& aBytes, size_t aAt, uint32_t aValue) { platform::StoreU32(aBytes.data() + aAt, aValue); }
void Put16(Bytes& aBytes, size_t aAt, uint16_t aValue) { platform::StoreU16(aBytes.data() + aAt, aValue); }
Bytes Join(Bytes aHead, const Bytes& aTail) {
  aHead.insert(aHead.end(), aTail.begin(), aTail.end());
  return aHead;
}

class RemoteCursorKeysTest : public RemoteCursorFixture {
protected:
  explicit RemoteCursorKeysTest(TServing aServing = TServing::Scripted) : RemoteCursorFixture(aServing) {}
  void SetUp() override { Rows(3); }
  Bytes Buffer() const { return Bytes(static_cast<size_t>(RecordLength()) + 4, 0xEE); }
  uint32_t BookmarkSize(TnxRemoteCursor* aCursor) const {
    uint32_t size = 0;
    aCursor->sbcGetBookmarkSize(size);
    return size;
  }
};

// Also against a real server engine.
class RemoteCursorKeysModes : public RemoteCursorKeysTest, public ::testing::WithParamInterface<TServing> {
protected:
  RemoteCursorKeysModes() : RemoteCursorKeysTest(GetParam()) {}
};
INSTANTIATE_TEST_SUITE_P(Serving, RemoteCursorKeysModes, ::testing::Values(TServing::Scripted, TServing::InProcess),
                         ServingName);

TEST_F(RemoteCursorKeysTest, SetToKeyLaysOutItsPayloadAndPositions) {
  const struct {
    const char* name;
    int32_t version;
    TnxClientFeatures features;
    bool sync;
    bool recordForm;
    TnxMsgID msgID;
  } rows[] = {
      {"a key", 47501, nxAllClientFeatures, false, false, 0x373},
      {"a key, then sync", 47501, nxAllClientFeatures, true, false, 0x37A},
      {"47001 knows no sync", 47001, nxAllClientFeatures, true, false, 0x373},
      {"a record, built into a key here", 47501, nxAllClientFeatures, false, true, 0x373},
      {"a record sent as it is without message reduction", 47501, kNoReduction, false, true, 0x373},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nxSetClientFeatures(row.features);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    if (row.sync) {
      cursor->AddCursorOption(acoSetToKeyFollowedBySync);
      cursor->AddCursorOption(acoFlipOrder);
    }
    Bytes key = Key(20);
    Bytes record = Record(20);
    const size_t before = SentCount(session);
    ASSERT_EQ(row.recordForm ? cursor->SetToKey(skaGreaterEqual, 1, 0, false, record.data())
                             : cursor->SetToKey(skaGreaterEqual, 1, 0, true, key.data()),
              0u);
    const bool sentAsKey = !row.recordForm || row.features == nxAllClientFeatures;
    const Bytes& sent = sentAsKey ? key : record;
    Bytes expected(row.msgID == 0x37A ? 19 : 14, 0);
    Put32(expected, 0, cursor->CursorID());
    Put32(expected, 4, 1);
    expected[12] = skaGreaterEqual;
    expected[13] = sentAsKey ? 0xFF : 0;
    if (row.msgID == 0x37A) {
      Put16(expected, 14, static_cast<uint16_t>(RecordLength()));
      expected[18] = 0xFF;
    }
    EXPECT_EQ(LastPayload(row.msgID), Join(expected, sent));
    cursor->RemoveCursorOption(acoFlipOrder);
    Bytes buffer = Buffer();
    ASSERT_EQ(cursor->RecordGet(nxltNoLock, buffer.data()), 0u);
    EXPECT_EQ(IDOf(buffer.data()), 20);
    // The synced form brought the record ahead.
    EXPECT_EQ(SentBy(session, before), row.msgID == 0x37A ? Ids{0x37A} : (Ids{0x373, 0x321}));
    EXPECT_TRUE(cursor->HasAnyCursorOptions(nxCursorOption(acoSetToKeyFollowedBySync)) == row.sync);
    cursor->Free();
    nxSetClientFeatures(nxAllClientFeatures);
  }
}

TEST_P(RemoteCursorKeysModes, RecordGetForKeyLaysOutItsPayloadAndReadsTheRecord) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  Bytes key = Key(30);
  Bytes buffer = Buffer();
  ASSERT_EQ(cursor->RecordGetForKey(1, 0, true, key.data(), buffer.data(), true, true), 0u);
  EXPECT_EQ(IDOf(buffer.data()), 30);
  Bytes expected(19, 0);
  Put32(expected, 0, cursor->CursorID());
  Put32(expected, 4, 1);
  expected[12] = 1;
  expected[13] = 1;
  Put16(expected, 14, static_cast<uint16_t>(RecordLength()));
  expected[18] = 0xFF;
  EXPECT_EQ(LastPayload(0x374), Join(expected, key));
  // Position only: no record is asked.
  ASSERT_EQ(cursor->RecordGetForKey(1, 0, true, key.data(), nullptr, false, true), 0u);
  EXPECT_EQ(platform::LoadU16(LastPayload(0x374).data() + 14), 0u);
  Bytes missing = Key(25);
  EXPECT_EQ(cursor->RecordGetForKey(1, 0, true, missing.data(), buffer.data(), true, true), nxeRecordNotFound);
  EXPECT_FALSE(cursor->BookmarkCacheValid());
}

TEST_P(RemoteCursorKeysModes, AChainedRecordGetForKeyLeavesTheRecordForTheNextRead) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  cursor->AddCursorOption(acoRecordGetForKeyFollowedByRecordGet);
  Bytes record = Record(20);
  // A record-form key under message reduction: built here, freed after.
  ASSERT_EQ(cursor->RecordGetForKey(1, 0, false, record.data(), nullptr, true, true), 0u);
  const Bytes payload = LastPayload(0x374);
  EXPECT_EQ(platform::LoadU16(payload.data() + 14), static_cast<uint16_t>(RecordLength()));
  EXPECT_EQ(payload[18], 0xFF);
  EXPECT_EQ(cursor->ExpectedMultiPartReplies(), 1u << emprRecordGet);
  const size_t before = SentCount(session);
  Bytes buffer = Buffer();
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, buffer.data()), 0u);
  EXPECT_EQ(IDOf(buffer.data()), 20);
  EXPECT_EQ(SentCount(session), before);
}

TEST_P(RemoteCursorKeysModes, RangeSetLaysOutItsPayloadAndLimitsTheReads) {
  const struct {
    const char* name;
    int32_t version;
    TnxAbstractCursorOptions options;
    bool endKey;
    bool startIncluded;
    TnxMsgID msgID;
    Ids sent;  // RangeSet, SetToBegin and reads to the range's end
    std::vector<int32_t> ids;
  } rows[] = {
      {"47001: the short form", 47001, 0, true, true, 0x376, {0x376, 0x301, 0x322, 0x322, 0x322}, {20, 30}},
      {"the long form", 47501, 0, true, true, 0x37B, {0x37B, 0x301, 0x322, 0x322, 0x322}, {20, 30}},
      {"to begin alone keeps the short form", 47501, nxCursorOption(acoRangeSetFollowedBySetToBegin), true, true,
       0x376, {0x376, 0x301, 0x322, 0x322, 0x322}, {20, 30}},
      {"start excluded, no end key", 47501, 0, false, false, 0x37B, {0x37B, 0x301, 0x322, 0x322}, {30}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    cursor->AddCursorOptions(row.options);
    Bytes low = Key(20);
    Bytes high = Key(30);
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->RangeSet(1, 0, true, low.data(), row.startIncluded, 1, 0, true,
                               row.endKey ? high.data() : nullptr, true),
              0u);
    Bytes expected(row.msgID == 0x376 ? 32 : 42, 0);
    Put32(expected, 0, cursor->CursorID());
    Put32(expected, 4, 1);
    Put32(expected, 12, static_cast<uint32_t>(low.size()));
    expected[16] = row.startIncluded ? 1 : 0;
    expected[17] = 0xFF;
    Put32(expected, 18, 1);
    Put32(expected, 26, row.endKey ? static_cast<uint32_t>(high.size()) : 0);
    expected[30] = 1;
    expected[31] = 0xFF;
    if (row.msgID == 0x37B) expected[33] = (row.options & nxCursorOption(acoRangeSetFollowedBySetToBegin)) ? 1 : 0;
    EXPECT_EQ(LastPayload(row.msgID), Join(Join(expected, low), row.endKey ? high : Bytes()));
    ASSERT_EQ(cursor->SetToBegin(), 0u);
    std::vector<int32_t> ids;
    Bytes buffer = Buffer();
    for (int i = 0; i < 4 && cursor->RecordGetNext(nxltNoLock, buffer.data()) == 0; ++i) ids.push_back(IDOf(buffer.data()));
    EXPECT_EQ(ids, row.ids);
    EXPECT_EQ(SentBy(session, before), row.sent);
    cursor->Free();
  }
}

TEST_P(RemoteCursorKeysModes, AChainedRangeSetHasTheFirstReadSentAhead) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  cursor->AddCursorOption(acoRangeSetFollowedByRecordGetNext);
  cursor->AddCursorOption(acoRecordGetFollowedByGetBookmark);
  Bytes low = Key(20);
  const size_t before = SentCount(session);
  ASSERT_EQ(cursor->RangeSet(1, 0, true, low.data(), true, 0, 0, true, nullptr, true), 0u);
  const Bytes payload = LastPayload(0x37B);
  ASSERT_EQ(payload.size(), 42u + low.size());
  EXPECT_EQ(platform::LoadU32(payload.data() + 34), static_cast<uint32_t>(RecordLength()));
  EXPECT_EQ(platform::LoadU32(payload.data() + 38), BookmarkSize(cursor));
  Bytes buffer = Buffer();
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, buffer.data()), 0u);
  EXPECT_EQ(IDOf(buffer.data()), 20);
  EXPECT_EQ(SentBy(session, before), Ids{0x37B});
}

TEST_F(RemoteCursorKeysTest, RangeResetPicksItsFormAndCarriesAHeldBackBookmark) {
  const struct {
    const char* name;
    int32_t version;
    bool sync;
    bool heldBookmark;
    Ids sent;
  } rows[] = {
      {"plain", 47501, false, false, {0x375}},
      {"plain sends a held bookmark first", 47501, false, true, {0x313, 0x375}},
      {"synced", 47501, true, false, {0x37C}},
      {"synced carries a held bookmark", 47005, true, true, {0x87C}},
      {"47004 sends it first", 47004, true, true, {0x313, 0x37C}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    if (row.sync) cursor->AddCursorOption(acoRangeResetFollowedBySync);
    Bytes bookmark = Bookmark(30);
    if (row.heldBookmark) {
      ASSERT_EQ(cursor->SetToBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size())), 0u);
    }
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->RangeReset(), 0u);
    EXPECT_EQ(SentBy(session, before), row.sent);
    EXPECT_FALSE(cursor->DelayedSetToBookmarkPending());
    if (row.sent.back() == 0x87C) {
      const Bytes expected = Written([&](TnxWriter& w) {
        w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
        w.WriteBoolean(false);
        w.WriteInteger(RecordLength());
        w.WriteInteger(int32_t(0));
        w.WriteInteger(static_cast<int32_t>(bookmark.size()));
        w.WriteBinary(bookmark.data(), static_cast<int32_t>(bookmark.size()));
        nxWriteRecordCacheInfo(nxNullRecordCacheInfo, w);
        nxWriteMarkedBlobs(TnxMarkedBlobsByBlobIdx(), w);
        nxWriteBlobNrs(TnxBlobNrs(), w);
      });
      EXPECT_EQ(LastPayload(0x87C), expected);
    }
    if (row.sync) {
      // The synced record waits: on the bookmark's record where one went along.
      Bytes buffer = Buffer();
      const size_t afterReset = SentCount(session);
      EXPECT_EQ(cursor->RecordGet(nxltNoLock, buffer.data()), row.heldBookmark ? 0u : nxeNoCurrentRecord);
      if (row.heldBookmark) {
        EXPECT_EQ(IDOf(buffer.data()), 30);
      }
      EXPECT_EQ(SentCount(session), afterReset);
    }
    cursor->Free();
  }
}

TEST_F(RemoteCursorKeysTest, CompareKeysAnswersLocallyWhereTheKeyEngineCan) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  const struct {
    int32_t first;
    int32_t second;
    TValueRelationship relation;
  } rows[] = {{10, 20, -1}, {20, 20, 0}, {30, 20, 1}};
  const size_t before = SentCount(session);
  for (const auto& row : rows) {
    Bytes key1 = Key(row.first);
    Bytes key2 = Key(row.second);
    Bytes record2 = Record(row.second);
    TValueRelationship relation = 9;
    ASSERT_EQ(cursor->CompareKeys(0, 0, true, key1.data(), true, key2.data(), relation), 0u);
    EXPECT_EQ(relation, row.relation);
    // A record built into a key under message reduction.
    relation = 9;
    ASSERT_EQ(cursor->CompareKeys(0, 0, true, key1.data(), false, record2.data(), relation), 0u);
    EXPECT_EQ(relation, row.relation);
  }
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteCursorKeysTest, CompareKeysAsksTheServerForWhatItCannotCompare) {
  nxSetClientFeatures(kNoReduction);
  TnxRemoteCursor* cursor = ConnectAndOpen();
  Bytes key1 = Key(20);
  Bytes record2 = Record(10);
  TValueRelationship relation = 9;
  ASSERT_EQ(cursor->CompareKeys(1, 2, true, key1.data(), false, record2.data(), relation), 0u);
  Bytes expected(22, 0);
  Put32(expected, 0, cursor->CursorID());
  Put32(expected, 4, 1);
  Put32(expected, 8, 2);
  Put32(expected, 12, static_cast<uint32_t>(key1.size()));
  expected[16] = 0xFF;
  Put32(expected, 17, static_cast<uint32_t>(RecordLength()));
  EXPECT_EQ(LastPayload(0x377), Join(Join(expected, key1), record2));
  EXPECT_NE(relation, 9);
  // The relation is one byte, nothing else.
  for (const Bytes& reply : {Bytes{}, Bytes{1, 0}}) {
    handler->Script(0x377, Fixed(0, reply));
    EXPECT_EQ(cursor->CompareKeys(1, 2, true, key1.data(), false, record2.data(), relation), nxeMessageUnrecognized);
  }
  handler->Script(0x377, Fixed(0, {0xFF}));
  ASSERT_EQ(cursor->CompareKeys(1, 2, true, key1.data(), false, record2.data(), relation), 0u);
  EXPECT_EQ(relation, -1);
}

TEST_F(RemoteCursorKeysTest, AMissingKeyIsTheServersToCompare) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  Bytes key1 = Key(20);
  const size_t before = SentCount(session);
  TValueRelationship relation = 9;
  ASSERT_EQ(cursor->CompareKeys(0, 0, true, key1.data(), false, nullptr, relation), 0u);
  EXPECT_EQ(SentBy(session, before), Ids{0x377});
  Bytes expected(22, 0);
  Put32(expected, 0, cursor->CursorID());
  Put32(expected, 12, static_cast<uint32_t>(key1.size()));
  expected[16] = 0xFF;
  expected[21] = 0xFF;  // a missing key counts as direct, of length 0
  EXPECT_EQ(LastPayload(0x377), Join(expected, key1));
  EXPECT_EQ(relation, 1);
}

TEST_F(RemoteCursorKeysTest, BuildKeyNeedsAnIndex) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  Bytes record = Record(20);
  Bytes key(Key(20).size(), 0);
  ASSERT_EQ(cursor->BuildKey(record.data(), reinterpret_cast<PnxKeyBuffer>(key.data()), true), 0u);
  EXPECT_EQ(key, Key(20));
  ASSERT_EQ(cursor->SwitchToIndex(u"", -1, porFalse), 0u);
  EXPECT_EQ(cursor->BuildKey(record.data(), reinterpret_cast<PnxKeyBuffer>(key.data()), true), nxeNoAssociatedIndex);
  EXPECT_EQ(cursor->KeyToRecord(reinterpret_cast<PnxKeyBuffer>(key.data()), record.data()), nxeNoAssociatedIndex);
}

TEST_F(RemoteCursorKeysTest, SwitchToIndexTakesTheServersIndexAndItsBookmarks) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  size_t before = SentCount(session);
  EXPECT_EQ(cursor->SwitchToIndex(u"By*ID", -1, porTrue), nxeInvalidIndexName);
  // Already there.
  EXPECT_EQ(cursor->SwitchToIndex(u"ByID", -1, porTry), 0u);
  EXPECT_EQ(SentCount(session), before);
  ASSERT_EQ(cursor->SwitchToIndex(nxSequentialAccessIndexName, -1, porTry), 0u);
  EXPECT_EQ(SentBy(session, before), Ids{0x379});
  EXPECT_EQ(LastPayload(0x379), Written([&](TnxWriter& w) {
              w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
              w.WriteString(nxSequentialAccessIndexName);
              w.WriteInteger(int32_t(-1));
              w.WriteInteger(int32_t(porTry));
            }));
  int32_t index = -5;
  cursor->GetIndexID(index);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(BookmarkSize(cursor), table->tdGetBookmarkSize(0));
  ASSERT_EQ(cursor->SwitchToIndex(u"", kByID, porTrue), 0u);
  EXPECT_EQ(LastPayload(0x378), Written([&](TnxWriter& w) {
              w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
              w.WriteString(u"");
              w.WriteInteger(kByID);
              w.WriteBoolean(true);
            }));
  EXPECT_EQ(BookmarkSize(cursor), bookmarks->GetBookmarkSize());
}

TEST_F(RemoteCursorKeysTest, AnIndexOutsideTheTableFromTheServerKeepsTheOldIndex) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  for (int32_t answered : {2, -2, 0x7FFFFFFF}) {
    SCOPED_TRACE(answered);
    handler->Script(0x378, Fixed(0, Written([&](TnxWriter& w) { w.WriteInteger(answered); })));
    EXPECT_EQ(cursor->SwitchToIndex(u"", answered, porFalse), nxeMessageUnrecognized);
    int32_t index = -5;
    cursor->GetIndexID(index);
    EXPECT_EQ(index, kByID);
  }
  handler->Script(0x378, Fixed(0, {}));
  EXPECT_EQ(cursor->SwitchToIndex(u"", 0, porFalse), nxeMessageUnrecognized);
}

TEST_F(RemoteCursorKeysTest, TryOnAnOldServerFallsBackToNotKeepingTheRecord) {
  const struct {
    uint32_t keepFails;
    Ids sent;
    uint32_t result;
  } rows[] = {
      {nxeAtBeginningOfTable, {0x378, 0x378}, 0},
      {nxeAtEndOfTable, {0x378, 0x378}, 0},
      {nxeRecordDeleted, {0x378, 0x378}, 0},
      {nxeNoCurrentRecord, {0x378, 0x378}, 0},
      {nxeRecordNotFound, {0x378}, nxeRecordNotFound},
  };
  TnxRemoteCursor* cursor = ConnectAndOpen(47001);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.keepFails);
    handler->Configure([&](TTestCommandHandler& h) { h.CursorRows[u"Orders"].keepRecordFails = row.keepFails; });
    const size_t before = SentCount(session);
    EXPECT_EQ(cursor->SwitchToIndex(nxSequentialAccessIndexName, 0, porTry), row.result);
    EXPECT_EQ(SentBy(session, before), row.sent);
    const bool kept = row.sent.size() == 1;
    EXPECT_EQ(LastPayload(0x378), Written([&](TnxWriter& w) {
                w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
                w.WriteString(nxSequentialAccessIndexName);
                w.WriteInteger(int32_t(-1));
                w.WriteBoolean(kept);
              }));
  }
}

TEST_F(RemoteCursorKeysTest, SwitchToIndexCarriesOrDropsAHeldBackBookmark) {
  const struct {
    const char* name;
    int32_t version;
    TnxPosnOnRec position;
    Ids sent;
  } rows[] = {
      {"kept: carried along", 47005, porTrue, {0x37E}},
      {"kept on 47004: sent first", 47004, porTrue, {0x313, 0x378}},
      {"not kept: dropped", 47005, porFalse, {0x378}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    Bytes bookmark = Bookmark(30);
    ASSERT_EQ(cursor->SetToBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size())), 0u);
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->SwitchToIndex(u"ByID", -1, row.position), 0u);
    EXPECT_EQ(SentBy(session, before), row.sent);
    EXPECT_FALSE(cursor->DelayedSetToBookmarkPending());
    if (row.sent[0] == 0x37E) {
      EXPECT_EQ(LastPayload(0x37E), Written([&](TnxWriter& w) {
                  w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
                  w.WriteString(u"ByID");
                  w.WriteInteger(int32_t(-1));
                  w.WriteInteger(int32_t(porTrue));
                  w.WriteInteger(static_cast<int32_t>(bookmark.size()));
                  w.WriteBinary(bookmark.data(), static_cast<int32_t>(bookmark.size()));
                }));
    }
    cursor->Free();
  }
}

TEST_F(RemoteCursorKeysTest, GetBookmarkChecksItsSizeAndTheReply) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  Bytes key = Key(20);
  ASSERT_EQ(cursor->SetToKey(skaEqualFirst, 0, 0, true, key.data()), 0u);
  const uint32_t size = BookmarkSize(cursor);
  Bytes bookmark(size + 1, 0);
  EXPECT_EQ(cursor->GetBookmark(bookmark.data(), size + 1), nxeInvalidParameter);
  EXPECT_FALSE(cursor->BookmarkCacheValid());
  ASSERT_EQ(cursor->GetBookmark(bookmark.data(), size), 0u);
  bookmark.resize(size);
  EXPECT_EQ(bookmark, Bookmark(20));
  EXPECT_TRUE(cursor->BookmarkCacheValid());
  Bytes expected(8);
  Put32(expected, 0, cursor->CursorID());
  Put32(expected, 4, size);
  EXPECT_EQ(LastPayload(0x311), expected);
  // Nil: only the cursor's own copy is refreshed.
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  EXPECT_FALSE(cursor->BookmarkCacheValid());
  ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), 0u);
  ASSERT_EQ(cursor->GetBookmark(nullptr, 0), 0u);
  EXPECT_TRUE(cursor->BookmarkCacheValid());
  EXPECT_EQ(LastPayload(0x311), expected);
  for (const Bytes& reply : {Bytes(size - 1, 0), Bytes(size + 1, 0)}) {
    handler->Script(0x311, Fixed(0, reply));
    EXPECT_EQ(cursor->GetBookmark(bookmark.data(), size), nxeInvalidParameter);
  }
}

TEST_F(RemoteCursorKeysTest, BookmarksAreCheckedAndComparedLocally) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  Bytes b10 = Bookmark(10);
  Bytes b20 = Bookmark(20);
  Bytes broken = b20;
  broken.back() ^= 0x40;
  const uint32_t size = static_cast<uint32_t>(b10.size());
  const size_t before = SentCount(session);
  TValueRelationship relation = 9;
  ASSERT_EQ(cursor->CompareBookmarks(b10.data(), b20.data(), size, relation), 0u);
  EXPECT_EQ(relation, -1);
  ASSERT_EQ(cursor->CompareBookmarks(b20.data(), b10.data(), size, relation), 0u);
  EXPECT_EQ(relation, 1);
  EXPECT_EQ(cursor->CompareBookmarks(b10.data(), broken.data(), size, relation), nxeBookmarkMismatch);
  EXPECT_EQ(cursor->BookmarkCheckLocal(broken.data(), size), nxeBookmarkMismatch);
  EXPECT_EQ(cursor->SetToBookmark(broken.data(), size), nxeBookmarkMismatch);
  EXPECT_FALSE(cursor->DelayedSetToBookmarkPending());
  platform::TnxVariant variant;
  EXPECT_EQ(cursor->BookmarkAsVariant(b10.data(), size, variant), 0u);
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteCursorKeysTest, RecNoGetCarriesAHeldBackBookmarkOnNewServers) {
  const struct {
    int32_t version;
    Ids sent;
  } rows[] = {{47005, {0x319}}, {47004, {0x313, 0x316}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.version);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    Bytes bookmark = Bookmark(20);
    ASSERT_EQ(cursor->SetToBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size())), 0u);
    const size_t before = SentCount(session);
    uint32_t recNo = 0;
    ASSERT_EQ(cursor->RecNoGet(recNo, true), 0u);
    EXPECT_EQ(recNo, 2u);
    EXPECT_EQ(SentBy(session, before), row.sent);
    Bytes expected(5, 0);
    Put32(expected, 0, cursor->CursorID());
    expected[4] = 0xFF;
    if (row.sent[0] == 0x319) {
      expected.resize(7);
      Put16(expected, 5, static_cast<uint16_t>(bookmark.size()));
      expected = Join(expected, bookmark);
    }
    EXPECT_EQ(LastPayload(row.sent.back()), expected);
    cursor->Free();
  }
}

TEST_F(RemoteCursorKeysTest, RecordNumbersAreSetPlainOrSynced) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  EXPECT_EQ(cursor->RecNoSupported(), 0u);
  Bytes buffer = Buffer();
  size_t before = SentCount(session);
  ASSERT_EQ(cursor->RecNoSet(3, false), 0u);
  Bytes expected(9, 0);
  Put32(expected, 0, cursor->CursorID());
  Put32(expected, 4, 3);
  EXPECT_EQ(LastPayload(0x317), expected);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, buffer.data()), 0u);
  EXPECT_EQ(IDOf(buffer.data()), 30);
  EXPECT_EQ(SentBy(session, before), (Ids{0x317, 0x321}));
  cursor->AddCursorOption(acoRecNoSetFollowedBySync);
  before = SentCount(session);
  ASSERT_EQ(cursor->RecNoSet(1, false), 0u);
  EXPECT_EQ(cursor->ExpectedMultiPartReplies(), 0x7u);
  ASSERT_EQ(cursor->RecordGet(nxltNoLock, buffer.data()), 0u);
  EXPECT_EQ(IDOf(buffer.data()), 10);
  EXPECT_EQ(SentBy(session, before), Ids{0x318});
  uint32_t recNo = 0;
  handler->Script(0x316, Fixed(0, {1, 0, 0}));
  EXPECT_EQ(cursor->RecNoGet(recNo, false), nxeMessageUnrecognized);
}

}  // namespace
}  // namespace revurov::testing
