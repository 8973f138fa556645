// The remote cursor's record changes over loopback TCP: which request form
// each server version and feature set gets, their payloads byte for byte,
// the cached auto-inc value, and replies checked before they are used.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/remote_cursor.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/remote_cursor_fixture.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

constexpr TnxClientFeatures kNoReduction = nxAllClientFeatures & ~(1u << cfMessageReduction);
constexpr TnxClientFeatures kNoAutoIncCache = nxAllClientFeatures & ~(1u << cfAutoIncCache);
constexpr TnxClientFeatures kNeither = kNoReduction & kNoAutoIncCache;

TaggedBytes Int64Bytes(int64_t aValue) {
  TaggedBytes out(8);
  platform::StoreU64(out.data(), static_cast<uint64_t>(aValue));
  return out;
}

// The text an operation left for its code on this thread.
std::u16string LastMessage() {
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  return message;
}

class RemoteCursorChangesTest : public RemoteCursorFixture {
protected:
  void SetUp() override { Rows(3); }
  void TearDown() override { nxSetClientFeatures(nxAllClientFeatures); }
  std::vector<uint8_t> Buffer() const { return std::vector<uint8_t>(static_cast<size_t>(RecordLength()), 0xEE); }
  uint32_t BookmarkSize(TnxRemoteCursor* aCursor) const {
    uint32_t size = 0;
    aCursor->sbcGetBookmarkSize(size);
    return size;
  }
  std::vector<std::vector<uint8_t>> ServerRecords() {
    std::vector<std::vector<uint8_t>> records;
    handler->Configure([&](TTestCommandHandler& h) { records = h.CursorRows[u"Orders"].records; });
    return records;
  }
  // Positions on the record with aID through a held-back SetToBookmark.
  void HoldBookmark(TnxRemoteCursor* aCursor, int32_t aID) {
    std::vector<uint8_t> bookmark = Bookmark(aID);
    ASSERT_EQ(aCursor->SetToBookmark(bookmark.data(), static_cast<uint32_t>(bookmark.size())), 0u);
    ASSERT_TRUE(aCursor->DelayedSetToBookmarkPending());
  }
};

TEST_F(RemoteCursorChangesTest, InsertPicksItsFormByServerAndFeaturesAndWritesItsPayload) {
  const struct {
    const char* name;
    int32_t version;
    TnxClientFeatures features;
    bool autoIncGiven;
    bool followedByGet;
    TnxMsgID sent;
    bool wanted;           // the auto-inc value is asked for
    int64_t cachedAfter;   // the handler counts 0 -> 1
  } rows[] = {
      {"47001 with a pointer", 47001, nxAllClientFeatures, true, false, 0x331, false, -1},
      {"47002 without a pointer still asks", 47002, nxAllClientFeatures, false, false, 0x336, true, 1},
      {"47002 without the auto-inc cache", 47002, kNoAutoIncCache, false, false, 0x331, false, -1},
      {"47002 with a pointer, cache off", 47002, kNoAutoIncCache, true, false, 0x336, true, -1},
      {"47005 reduced", 47005, nxAllClientFeatures, false, false, 0x337, true, 1},
      {"47005 reduced, cache off", 47005, kNoAutoIncCache, false, false, 0x337, false, -1},
      {"47005 followed by a read", 47005, nxAllClientFeatures, true, true, 0x336, true, 1},
      {"47005 unreduced, cache off", 47005, kNeither, false, false, 0x331, false, -1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nxSetClientFeatures(row.features);
    Rows(0);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    if (row.followedByGet) cursor->AddCursorOption(acoRecordInsertFollowedByRecordGet);
    std::vector<uint8_t> record = Record(77, 5);
    int64_t autoInc = 1234;
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->RecordInsert(nxltWriteLock, record.data(), row.autoIncGiven ? &autoInc : nullptr), 0u);
    EXPECT_EQ(SentBy(session, before), Ids{row.sent});
    EXPECT_FALSE(cursor->HasAnyCursorOptions(nxCursorOption(acoRecordInsertFollowedByRecordGet)));
    if (row.autoIncGiven) {
      EXPECT_EQ(autoInc, row.wanted ? 1 : -1);
    }
    EXPECT_EQ(cursor->CachedAutoInc(), row.cachedAfter);
    const TaggedBytes expected = Written([&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
      w.WriteInteger(int32_t(nxltWriteLock));
      w.WriteInteger(RecordLength());
      w.WriteListBegin();
      w.Write(record.data(), RecordLength());
      w.WriteListEnd();
      w.WriteInteger(static_cast<int32_t>(BookmarkSize(cursor)));
      if (row.sent == 0x331) return;
      w.WriteBoolean(row.wanted);
      if (row.sent == 0x336) return;
      w.WriteInteger(int32_t(0));  // record length to send back
      w.WriteBoolean(false);       // flip order
      w.WriteBoolean(false);       // to the cache
      w.WriteInteger(int32_t(0));  // no blob batch
    });
    EXPECT_EQ(LastPayload(row.sent), expected);
    ASSERT_EQ(ServerRecords().size(), 1u);
    EXPECT_EQ(ServerRecords()[0], record);
    cursor->Free();
  }
}

TEST_F(RemoteCursorChangesTest, TheAutoIncReplyIsCheckedAndANegativeValueLeavesTheCache) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47002);
  std::vector<uint8_t> record = Record(77);
  ASSERT_EQ(cursor->AutoIncSet(40), 0u);
  EXPECT_EQ(cursor->CachedAutoInc(), 40);
  int64_t autoInc = 0;
  handler->Script(0x336, Fixed(0, Int64Bytes(-5)));
  ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), &autoInc), 0u);
  EXPECT_EQ(autoInc, -5);
  EXPECT_EQ(cursor->CachedAutoInc(), 40);
  for (size_t size : {0u, 4u, 7u}) {
    SCOPED_TRACE(size);
    handler->Script(0x336, Fixed(0, TaggedBytes(size, 1)));
    EXPECT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), &autoInc), nxeMessageUnrecognized);
    EXPECT_EQ(autoInc, -1);
  }
  // A refused insert answers the server's code and leaves the cache.
  handler->Script(0x336, Fixed(nxeKeyViolation));
  EXPECT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), nxeKeyViolation);
  EXPECT_EQ(cursor->CachedAutoInc(), 40);
  EXPECT_EQ(cursor->RecordInsert(nxltNoLock, nullptr, nullptr), nxeInvalidParameter);
}

TEST_F(RemoteCursorChangesTest, AutoIncGetAnswersFromTheCacheOnlyWhenAllowedAndKnown) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47002);
  std::vector<uint8_t> record = Record(77);
  ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0u);
  size_t before = SentCount(session);
  uint32_t value = 0;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(cursor->AutoIncGet(value, true), 0u);
    EXPECT_EQ(value, 1u);
  }
  EXPECT_EQ(SentCount(session), before);
  // Not allowed: the server is asked, and its answer is cached.
  handler->Configure([](TTestCommandHandler& h) { h.CursorRows[u"Orders"].autoInc = 9; });
  ASSERT_EQ(cursor->AutoIncGet(value, false), 0u);
  EXPECT_EQ(value, 9u);
  EXPECT_EQ(cursor->CachedAutoInc(), 9);
  EXPECT_EQ(SentBy(session, before), Ids{0x351});
  for (size_t size : {0u, 3u}) {
    handler->Script(0x351, Fixed(0, TaggedBytes(size, 1)));
    EXPECT_EQ(cursor->AutoIncGet(value, false), nxeMessageUnrecognized);
    EXPECT_EQ(value, 0u);
  }
  // A batch insert makes the value unknown: the next get asks.
  handler->Script(0x351, Fixed(0, {7, 0, 0, 0}));
  TnxMemoryStream batch(-1);
  batch.SetSize(12);
  ASSERT_EQ(cursor->RecordInsertBatch(batch), 0u);
  EXPECT_EQ(cursor->CachedAutoInc(), -1);
  before = SentCount(session);
  ASSERT_EQ(cursor->AutoIncGet(value, true), 0u);
  EXPECT_EQ(value, 7u);
  EXPECT_EQ(SentBy(session, before), Ids{0x351});
  // Without the feature nothing is cached.
  nxSetClientFeatures(kNoAutoIncCache);
  ASSERT_EQ(cursor->AutoIncSet(3), 0u);
  EXPECT_EQ(cursor->CachedAutoInc(), -1);
  TaggedBytes expected(8);
  platform::StoreU32(expected.data(), cursor->CursorID());
  platform::StoreU32(expected.data() + 4, 3);
  EXPECT_EQ(LastPayload(0x352), expected);
}

TEST_F(RemoteCursorChangesTest, RecordInsertBatchWritesTheCursorIDAndDropsAHeldBookmark) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  TnxMemoryStream tooShort(-1);
  tooShort.SetSize(3);
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->RecordInsertBatch(tooShort), nxeInvalidParameter);
  EXPECT_EQ(SentCount(session), before);
  HoldBookmark(cursor, 20);
  TnxMemoryStream batch(-1);
  const uint8_t body[] = {0xAA, 0xBB, 0xCC, 0xDD, 1, 2, 3};
  batch.Write(body, sizeof body);
  ASSERT_EQ(cursor->RecordInsertBatch(batch), 0u);
  EXPECT_FALSE(cursor->DelayedSetToBookmarkPending());
  EXPECT_EQ(SentBy(session, before), Ids{0x382});
  TaggedBytes expected(body, body + sizeof body);
  platform::StoreU32(expected.data(), cursor->CursorID());
  EXPECT_EQ(LastPayload(0x382), expected);
}

TEST_F(RemoteCursorChangesTest, ModifyCarriesAHeldBookmarkOnNewServersAndSendsItFirstOnOlder) {
  const struct {
    const char* name;
    int32_t version;
    TnxClientFeatures features;
    bool held;
    bool sync;
    Ids sent;
  } rows[] = {
      {"47001", 47001, nxAllClientFeatures, false, false, {0x332}},
      {"47002 reduced", 47002, nxAllClientFeatures, false, false, {0x335}},
      {"47002 unreduced", 47002, kNoReduction, false, false, {0x332}},
      {"47004 with a held bookmark", 47004, nxAllClientFeatures, true, false, {0x313, 0x335}},
      {"47005 with a held bookmark", 47005, nxAllClientFeatures, true, false, {0x338}},
      {"47005 with a held bookmark and sync", 47005, nxAllClientFeatures, true, true, {0x338}},
      {"47005 unreduced with a held bookmark", 47005, kNoReduction, true, false, {0x338}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nxSetClientFeatures(row.features);
    Rows(3);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    if (row.held) {
      HoldBookmark(cursor, 20);
    } else {
      ASSERT_EQ(cursor->SetToBegin(), 0u);
      ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, Buffer().data()), 0u);
      ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, Buffer().data()), 0u);
    }
    if (row.sync) cursor->AddCursorOption(acoRecordModifyFollowedBySync);
    std::vector<uint8_t> changed = Record(20, 999);
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->RecordModify(changed.data(), true, nullptr), 0u);
    EXPECT_EQ(SentBy(session, before), row.sent);
    EXPECT_FALSE(cursor->DelayedSetToBookmarkPending());
    EXPECT_EQ(ServerRecords()[1], changed);
    const TnxMsgID id = row.sent.back();
    const std::vector<uint8_t> bookmark = Bookmark(20);
    const TaggedBytes expected = Written([&](TnxWriter& w) {
      w.WriteInteger(static_cast<int32_t>(cursor->CursorID()));
      w.WriteBoolean(true);
      w.WriteInteger(RecordLength());
      w.WriteListBegin();
      w.Write(changed.data(), RecordLength());
      w.WriteListEnd();
      if (id == 0x338) w.WriteBoolean(false);
      if (id == 0x332) {
        w.WriteInteger(static_cast<int32_t>(BookmarkSize(cursor)));
        return;
      }
      w.WriteInteger(row.sync ? RecordLength() : 0);
      w.WriteInteger(int32_t(0));
      w.WriteBoolean(false);
      if (id != 0x338) return;
      w.WriteBoolean(false);
      w.WriteInteger(int32_t(0));
      w.WriteInteger(static_cast<int32_t>(bookmark.size()));
      w.Write(bookmark.data(), static_cast<int64_t>(bookmark.size()));
    });
    EXPECT_EQ(LastPayload(id), expected);
    if (row.sync) {
      // The read after it was sent ahead.
      EXPECT_EQ(cursor->ExpectedMultiPartReplies(), 0x7u);
      std::vector<uint8_t> record = Buffer();
      const size_t afterModify = SentCount(session);
      ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
      EXPECT_EQ(record, changed);
      EXPECT_EQ(SentCount(session), afterModify);
    }
    cursor->Free();
  }
}

TEST_F(RemoteCursorChangesTest, ModifyRefusesADiffAndARecordItsFilterWouldNotLock) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  std::vector<uint8_t> record = Record(10);
  TnxRecordDiff diff;
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->RecordModify(record.data(), false, &diff), nxeInvalidParameter);
  EXPECT_EQ(cursor->RecordModify(nullptr, false, nullptr), nxeInvalidParameter);
  EXPECT_EQ(SentCount(session), before);
  // No current record on the server: its code comes back.
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  EXPECT_EQ(cursor->RecordModify(record.data(), false, nullptr), nxeNoCurrentRecord);
}

TEST_F(RemoteCursorChangesTest, DeletePayloadsGrowWithTheFormAndTheRecordComesBack) {
  const struct {
    const char* name;
    int32_t version;
    bool held;
    bool sync;
    bool buffer;
    Ids sent;
    size_t size;
  } rows[] = {
      {"plain", 47001, false, false, true, {0x333}, 6},
      {"plain without a buffer", 47005, false, false, false, {0x333}, 6},
      {"sync on 47001 stays plain", 47001, false, true, true, {0x333}, 6},
      {"sync on 47002", 47002, false, true, true, {0x334}, 11},
      {"held bookmark on 47004", 47004, true, false, true, {0x313, 0x333}, 6},
      {"held bookmark on 47005", 47005, true, false, true, {0x339}, 13},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rows(3);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    if (row.held) {
      HoldBookmark(cursor, 20);
    } else {
      ASSERT_EQ(cursor->SetToBegin(), 0u);
      ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), 0u);
      ASSERT_EQ(cursor->RecordGetNext(nxltNoLock, nullptr), 0u);
    }
    if (row.sync) cursor->AddCursorOption(acoRecordDeleteFollowedBySync);
    std::vector<uint8_t> deleted = Buffer();
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->RecordDelete(row.buffer ? deleted.data() : nullptr, 0), 0u);
    EXPECT_EQ(SentBy(session, before), row.sent);
    EXPECT_FALSE(cursor->HasAnyCursorOptions(nxCursorOption(acoRecordDeleteFollowedBySync)));
    if (row.buffer) {
      EXPECT_EQ(IDOf(deleted.data()), 20);
    }
    ASSERT_EQ(ServerRecords().size(), 2u);
    TaggedBytes expected(row.size, 0);
    platform::StoreU32(expected.data(), cursor->CursorID());
    platform::StoreU16(expected.data() + 4, static_cast<uint16_t>(row.buffer ? RecordLength() : 0));
    if (row.sent.back() == 0x334) platform::StoreU16(expected.data() + 6, static_cast<uint16_t>(RecordLength()));
    if (row.sent.back() == 0x339) {
      const std::vector<uint8_t> bookmark = Bookmark(20);
      platform::StoreU16(expected.data() + 11, static_cast<uint16_t>(bookmark.size()));
      expected.insert(expected.end(), bookmark.begin(), bookmark.end());
    }
    EXPECT_EQ(LastPayload(row.sent.back()), expected);
    cursor->Free();
  }
}

TEST_F(RemoteCursorChangesTest, DeleteRepliesAreCheckedAgainstTheirCode) {
  const struct {
    const char* name;
    uint32_t code;
    int extra;  // reply bytes beyond the record length (-1: one short)
    bool record;
    uint32_t result;
    bool copied;
  } rows[] = {
      {"the record", 0, 0, true, 0, true},
      {"an empty reply returns none", 0, 0, false, 0, false},
      {"one byte short", 0, -1, true, nxeMessageUnrecognized, false},
      {"one byte long", 0, 1, true, nxeMessageUnrecognized, false},
      {"code 3 with a stale identity", 3, 16, true, 0, true},
      {"code 4 with a stale identity", 4, 16, true, 0, true},
      {"code 3 without the identity", 3, 0, true, nxeMessageUnrecognized, false},
      {"code 4 one byte short", 4, 15, true, nxeMessageUnrecognized, false},
      {"a stale cached record", 0x22F3, 16, false, 0x2203, false},
      {"a stale cached record cut short", 0x22F3, 15, false, nxeMessageUnrecognized, false},
      {"cache is valid for a cache never named", 2, 0, true, nxeMessageUnrecognized, false},
      {"the server's own error", nxeRecordLocked, 0, false, nxeRecordLocked, false},
  };
  TnxRemoteCursor* cursor = ConnectAndOpen();
  ASSERT_EQ(cursor->SetToBegin(), 0u);
  const std::vector<uint8_t> sent = Record(55, 66);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TaggedBytes reply;
    if (row.record) reply = sent;
    if (row.extra < 0) reply.pop_back();
    if (row.extra > 0) reply.resize(reply.size() + static_cast<size_t>(row.extra), 0x11);
    handler->Script(0x333, Fixed(row.code, reply));
    std::vector<uint8_t> deleted = Buffer();
    EXPECT_EQ(cursor->RecordDelete(deleted.data(), 0), row.result);
    EXPECT_EQ(deleted == sent, row.copied);
    if (!row.copied) {
      EXPECT_EQ(deleted, Buffer());
    }
  }
  // An LSN is not for this cursor: nothing is sent.
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->RecordDelete(nullptr, 5), nxeCapabilityNotSupported);
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteCursorChangesTest, LockReleasePayloadsGrowWithTheForm) {
  const struct {
    const char* name;
    int32_t version;
    bool held;
    bool followedByGet;
    bool cancelBlobs;
    Ids sent;
    size_t size;
    uint8_t expected;  // the kinds of read expected ahead
  } rows[] = {
      {"plain", 47005, false, false, false, {0x342}, 5, 0},
      {"followed by a read on 47001", 47001, false, true, false, {0x342}, 5, 0},
      {"followed by a read on 47002", 47002, false, true, false, {0x343}, 9, 1},
      {"followed by a read on 47005", 47005, false, true, false, {0x344}, 13, 7},
      {"held bookmark on 47004", 47004, true, false, false, {0x313, 0x342}, 5, 0},
      {"held bookmark on 47005", 47005, true, false, false, {0x344}, 13, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rows(3);
    TnxRemoteCursor* cursor = ConnectAndOpen(row.version);
    ASSERT_NE(cursor, nullptr);
    if (row.held) {
      HoldBookmark(cursor, 20);
    } else {
      ASSERT_EQ(cursor->SetToBegin(), 0u);
      ASSERT_EQ(cursor->RecordGetNext(nxltWriteLock, nullptr), 0u);
      ASSERT_EQ(cursor->RecordGetNext(nxltWriteLock, nullptr), 0u);
    }
    if (row.followedByGet) cursor->AddCursorOption(acoLockReleaseFollowedByRecordGet);
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->RecordLockRelease(true, row.cancelBlobs), 0u);
    EXPECT_EQ(SentBy(session, before), row.sent);
    EXPECT_FALSE(cursor->HasAnyCursorOptions(nxCursorOption(acoLockReleaseFollowedByRecordGet)));
    EXPECT_EQ(cursor->ExpectedMultiPartReplies(), row.expected);
    const TnxMsgID id = row.sent.back();
    TaggedBytes expected(row.size, 0);
    platform::StoreU32(expected.data(), cursor->CursorID());
    expected[4] = 0xFF;
    if (row.followedByGet && id != 0x342) platform::StoreU16(expected.data() + 5, static_cast<uint16_t>(RecordLength()));
    if (id == 0x344) {
      expected[10] = row.cancelBlobs ? 0xFF : 0;
      if (row.held) {
        const std::vector<uint8_t> bookmark = Bookmark(20);
        platform::StoreU16(expected.data() + 11, static_cast<uint16_t>(bookmark.size()));
        expected.insert(expected.end(), bookmark.begin(), bookmark.end());
      }
    }
    EXPECT_EQ(LastPayload(id), expected);
    if (row.expected) {
      // The record read after the release came ahead.
      std::vector<uint8_t> record = Buffer();
      const size_t afterRelease = SentCount(session);
      ASSERT_EQ(cursor->RecordGet(nxltNoLock, record.data()), 0u);
      EXPECT_EQ(IDOf(record.data()), 20);
      EXPECT_EQ(SentCount(session), afterRelease);
    }
    cursor->Free();
  }
}

// Servers from 47005 give a cursor of a table with blob fields the
// capability; below, a request to cancel blobs is refused unsent.
TEST_F(RemoteCursorChangesTest, CancellingBlobsNeedsTheCapability) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47004);
  cursor->AddCursorOption(acoLockReleaseFollowedByRecordGet);
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->RecordLockRelease(false, true), nxeCapabilityNotSupported);
  EXPECT_EQ(SentCount(session), before);
  // Nothing went out, so no read is expected ahead.
  EXPECT_EQ(cursor->ExpectedMultiPartReplies(), 0u);
}

TEST_F(RemoteCursorChangesTest, CancellingBlobsGoesOutAsTheSyncedRelease) {
  TnxRemoteCursor* cursor = ConnectAndOpen(47005);
  ASSERT_EQ(cursor->RecordLockRelease(false, true), 0u);
  const TaggedBytes payload = LastPayload(0x344);
  ASSERT_EQ(payload.size(), 13u);
  EXPECT_EQ(platform::LoadU32(payload.data()), cursor->CursorID());
  EXPECT_NE(payload[10], 0) << "cancel blobs";
  EXPECT_EQ(platform::LoadU16(payload.data() + 11), 0) << "no bookmark held back";
}

TEST_F(RemoteCursorChangesTest, RecordIsLockedChecksItsReply) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  TnxLockPresent present = lpYesByUs;
  handler->Configure([](TTestCommandHandler& h) { h.CursorRows[u"Orders"].lockPresent = lpYesByAnother; });
  ASSERT_EQ(cursor->RecordIsLocked(nxltWriteLock, present), 0u);
  EXPECT_EQ(present, lpYesByAnother);
  TaggedBytes expected(5);
  platform::StoreU32(expected.data(), cursor->CursorID());
  expected[4] = nxltWriteLock;
  EXPECT_EQ(LastPayload(0x341), expected);
  for (const TaggedBytes& reply : {TaggedBytes{}, TaggedBytes{3}, TaggedBytes{0xFF}}) {
    handler->Script(0x341, Fixed(0, reply));
    present = lpYesByUs;
    EXPECT_EQ(cursor->RecordIsLocked(nxltWriteLock, present), nxeMessageUnrecognized);
    EXPECT_EQ(present, lpNotAtAll);
  }
}

TEST_F(RemoteCursorChangesTest, CopyRecordsGoesToACursorOfTheSameSessionOnly) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  TnxAbstractCursor* opened = nullptr;
  ASSERT_EQ(database->CursorOpen(opened, u"Orders", u"pw", omReadWrite, smShared, 3000, u"", kByID, false, 0, 500,
                                 nullptr),
            0u);
  auto* dest = static_cast<TnxRemoteCursor*>(opened);
  const size_t before = SentCount(session);
  EXPECT_EQ(cursor->CopyRecords(dest, nxbcmCreateLink, 0), nxeInvalidParameter);
  EXPECT_EQ(LastMessage(), u"nxbcmCreateLink is not a valid BlobCopyMode for TnxRemoteCursor");
  EXPECT_EQ(cursor->CopyRecords(nullptr, nxbcmNoCopy, 0), nxeDifferentSessions);
  // A cursor of another session.
  TnxRemoteSession* first = session;
  TnxRemoteDatabase* firstDatabase = database;
  database = nullptr;
  Connect();
  TnxAbstractCursor* foreign = nullptr;
  ASSERT_EQ(database->CursorOpen(foreign, u"Orders", u"pw", omReadWrite, smShared, 3000, u"", kByID, false, 0, 500,
                                 nullptr),
            0u);
  EXPECT_EQ(cursor->CopyRecordsEx(foreign, nxbcmCopyFull, 0, true), nxeDifferentSessions);
  EXPECT_EQ(SentCount(first), before);
  ASSERT_EQ(cursor->CopyRecords(dest, nxbcmCopyFull, 100), 0u);
  ASSERT_EQ(cursor->CopyRecordsEx(dest, nxbcmNoCopy, 7, true), 0u);
  EXPECT_EQ(SentBy(first, before), (Ids{0x383, 0x386}));
  TaggedBytes expected(14, 0);
  platform::StoreU32(expected.data(), cursor->CursorID());
  platform::StoreU32(expected.data() + 4, dest->CursorID());
  expected[8] = nxbcmCopyFull;
  platform::StoreU32(expected.data() + 9, 100);
  EXPECT_EQ(LastPayload(0x383), TaggedBytes(expected.begin(), expected.begin() + 13));
  expected[8] = nxbcmNoCopy;
  platform::StoreU32(expected.data() + 9, 7);
  expected[13] = 0xFF;
  EXPECT_EQ(LastPayload(0x386), expected);
  // Both cursors are on the handler's one table: it doubled, then again.
  EXPECT_EQ(ServerRecords().size(), 12u);
  foreign->Free();
  firstDatabase->Free();
}

TEST_F(RemoteCursorChangesTest, DeleteRecordsIsOneCanSkipRequest) {
  TnxRemoteCursor* cursor = ConnectAndOpen();
  HoldBookmark(cursor, 20);
  const size_t before = SentCount(session);
  ASSERT_EQ(cursor->DeleteRecords(), 0u);
  EXPECT_EQ(SentBy(session, before), Ids{0x384});
  EXPECT_FALSE(cursor->DelayedSetToBookmarkPending());
  EXPECT_TRUE(ServerRecords().empty());
}

}  // namespace
}  // namespace revurov::testing
