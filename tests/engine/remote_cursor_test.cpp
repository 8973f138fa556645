// The remote cursor's open, duplicate and close, its shared dictionaries and
// the held-back SetToBookmark, end to end over loopback TCP against the
// test command handler.
#include "engine/remote_cursor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/comp_key_engines.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/key_engine.h"
#include "engine/remote_database.h"
#include "engine/remote_dictionary.h"
#include "engine/remote_trans_context.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/fake_engine_clock.h"
#include "support/remote_engine_fixture.h"
#include "support/tagged_bytes.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

constexpr TnxCursorOpenOptions kMultipart = 1u << cooRequestMultipartRecordGet;

// A table with an integer key, an index on it and aFieldCount fields.
std::shared_ptr<TnxDataDictionary> TableDictionary(int aFieldCount = 2) {
  auto dictionary = std::make_shared<TnxDataDictionary>();
  for (int i = 0; i < aFieldCount; ++i)
    dictionary->FieldsDescriptor().AddField(i == 0 ? std::u16string(u"ID") : u"F" + std::u16string(1, char16_t(u'A' + i % 26)) + std::u16string(1, char16_t(u'a' + i / 26)), u"", nxtInt32, 0, 0, false);
  auto* index = dictionary->IndicesDescriptor()->AddIndex(u"ByID", 0, idNone);
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(u"ID");
  return dictionary;
}

// A bookmark of aIndexID that its bookmark handler accepts, aSize bytes.
std::vector<uint8_t> ValidBookmark(const TnxDataDictionary& aDictionary, int32_t aIndexID, uint32_t aSize) {
  std::unique_ptr<TnxBaseKeyEngine> engine;
  if (aIndexID >= 0)
    engine = TnxBaseKeyEngine::CreateFor(*aDictionary.IndicesDescriptor()->IndexDescriptor(aIndexID)->KeyDescriptor());
  TnxBookmarkHandler handler(aIndexID, engine.get());
  std::vector<uint8_t> bookmark(std::max(aSize, handler.GetBookmarkSize()), 0);
  std::vector<uint8_t> key(engine ? engine->KeyLength() : 0, 0x11);
  handler.WriteBookmark(bookmark.data(), ippOnKey, 7, engine ? key.data() : nullptr);
  return bookmark;
}

TaggedBytes DictionaryBytes(const TnxDataDictionary& aDictionary) {
  TnxMemoryStream stream(-1);
  aDictionary.WriteToStream(stream, nxRemoteClientVersion);
  const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
  return TaggedBytes(bytes, bytes + stream.GetSize());
}

// What the handler serves for aDictionary.
TTestCommandHandler::TCursorTable Served(const TnxDataDictionary& aDictionary, int32_t aIndexID, int64_t aAutoInc) {
  return {DictionaryBytes(aDictionary), aDictionary.Guid(), aDictionary.CurrentID(), aIndexID, aAutoInc};
}

class RemoteCursorTest : public RemoteEngineFixture {
protected:
  RemoteCursorTest() {
    orders = TableDictionary();
    handler->Configure([&](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      h.CursorTables[u"Orders"] = Served(*orders, 0, 41);
    });
  }
  ~RemoteCursorTest() override {
    if (database) database->Free();
  }
  // A session of a server of aVersion with a database on "Alpha".
  void Connect(int32_t aVersion = 47501) {
    if (database) database->Free();
    database = nullptr;
    handler->Configure([&](TTestCommandHandler& h) { h.ServerVersion = aVersion; });
    session = Open();
    ASSERT_NE(session, nullptr);
    TnxAbstractDatabase* opened = nullptr;
    ASSERT_EQ(session->DatabaseOpen(opened, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 5000), 0u);
    database = static_cast<TnxRemoteDatabase*>(opened);
  }
  uint32_t OpenCursor(TnxRemoteCursor*& aCursor, std::u16string_view aTable = u"Orders", int32_t aIndexID = -1,
                      uint32_t aFilterTimeout = 500, TnxCursorOpenOptions aOptions = 0,
                      std::u16string_view aIndexName = {}) {
    TnxAbstractCursor* cursor = nullptr;
    const uint32_t result = database->CursorOpen(cursor, aTable, u"pw", omReadWrite, smShared, 3000, aIndexName,
                                                 aIndexID, false, aOptions, aFilterTimeout, nullptr);
    aCursor = static_cast<TnxRemoteCursor*>(cursor);
    return result;
  }
  // The last request the server saw with aMsgID.
  TaggedBytes LastPayload(TnxMsgID aMsgID) const {
    TaggedBytes payload;
    for (const auto& r : handler->Received())
      if (r.msgID == aMsgID) payload = r.data;
    return payload;
  }

  std::shared_ptr<TnxDataDictionary> orders;
  TnxRemoteSession* session = nullptr;
  TnxRemoteDatabase* database = nullptr;
};

TEST_F(RemoteCursorTest, TheOpenRequestFollowsTheServerVersionAndTheFeatures) {
  const TnxClientFeatures all = nxAllClientFeatures;
  const TnxClientFeatures noReduction = all & ~(1u << cfMessageReduction);
  const TnxClientFeatures noAutoInc = all & ~(1u << cfAutoIncCache);
  const struct {
    const char* name;
    int32_t version;
    TnxClientFeatures features;
    int32_t indexID;
    uint32_t filterTimeout;
    TnxMsgID first;   // no dictionary cached
    TnxMsgID second;  // the first one's cached
    int64_t cachedAutoInc;
  } rows[] = {
      {"newest server, every feature", 47501, all, -1, 500, 0x234, 0x234, 41},
      {"without message reduction", 47501, noReduction, -1, 500, 0x232, 0x233, 41},
      {"without auto-inc cache and nothing else to send", 47501, noAutoInc, -1, 500, 0x232, 0x233, -1},
      {"without auto-inc cache, an index ID to send", 47501, noAutoInc, 0, 500, 0x234, 0x234, -1},
      {"without auto-inc cache, a filter timeout to send", 47501, noAutoInc, -1, 250, 0x234, 0x234, -1},
      {"47001 knows no reduced open", 47001, all, -1, 250, 0x232, 0x233, 41},
      {"44999 knows no dictionary identity", 44999, all, 0, 250, 0x232, 0x232, 41},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nxSetClientFeatures(row.features);
    Connect(row.version);
    const size_t before = SentCount(session);
    TnxRemoteCursor* cursor = nullptr;
    TnxRemoteCursor* again = nullptr;
    ASSERT_EQ(OpenCursor(cursor, u"Orders", row.indexID, row.filterTimeout), 0u);
    const TaggedBytes firstPayload = LastPayload(row.first);
    ASSERT_EQ(OpenCursor(again, u"Orders", row.indexID, row.filterTimeout), 0u);
    // An older open leaves the filter timeout to a request of its own.
    if (row.first < 0x234 && row.filterTimeout != nxDefaultFilterTimeout)
      EXPECT_EQ(SentBy(session, before), (Ids{row.first, 0x362, row.second, 0x362}));
    else
      EXPECT_EQ(SentBy(session, before), (Ids{row.first, row.second}));
    auto expected = [&](TnxMsgID aMsgID, const platform::TGUID& aGuid, int32_t aCurrentID) {
      return Written([&](TnxWriter& w) {
        w.WriteInteger(static_cast<int32_t>(database->RemoteID()));
        w.WriteString(u"Orders");
        w.WriteString(u"pw");
        w.WriteInteger(int32_t(omReadWrite));
        w.WriteInteger(int32_t(smShared));
        w.WriteInteger(int32_t(3000));
        if (aMsgID >= 0x233) {
          w.WriteGuid(aGuid);
          w.WriteInteger(aCurrentID);
        }
        if (aMsgID >= 0x234) {
          w.WriteString(u"");
          w.WriteInteger(row.indexID);
          w.WriteInteger(int32_t(0));
          w.WriteInteger(int64_t(row.filterTimeout));
        }
      });
    };
    EXPECT_EQ(firstPayload, expected(row.first, platform::TGUID{}, 0));
    EXPECT_EQ(LastPayload(row.second), expected(row.second, orders->Guid(), orders->CurrentID()));
    EXPECT_EQ(cursor->CachedAutoInc(), row.first >= 0x234 ? row.cachedAutoInc : -1);
    // Sent with the open or set on the cursor after it.
    EXPECT_EQ(again->FilterTimeout(), row.filterTimeout);
    int32_t index = -2;
    EXPECT_EQ(again->GetIndexID(index), 0u);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(cursor->_Dictionary()->Guid(), orders->Guid());
    EXPECT_EQ(again->_Dictionary()->FieldsDescriptor().FieldCount(), 2);
    EXPECT_EQ(cursor->FullName(), u"Orders");
    again->Free();
    cursor->Free();
    nxSetClientFeatures(nxAllClientFeatures);
  }
}

TEST_F(RemoteCursorTest, AReplyWithoutDictionaryReusesTheCachedOneLetterCaseIgnored) {
  Connect();
  TnxRemoteCursor* first = nullptr;
  TnxRemoteCursor* second = nullptr;
  ASSERT_EQ(OpenCursor(first, u"Orders"), 0u);
  ASSERT_EQ(OpenCursor(second, u"ORDERS"), 0u);
  // The second open named the cached identity, so no dictionary came.
  const TaggedBytes payload = LastPayload(0x234);
  const auto guid = ReadAll(payload, [](TnxReader& r) {
    r.ReadInteger();
    r.ReadString();
    r.ReadString();
    for (int i = 0; i < 3; ++i) r.ReadInteger();
    platform::TGUID g = r.ReadGuid();
    r.ReadInteger();
    r.ReadString();
    r.ReadInteger();
    r.ReadInteger();
    r.ReadInt64();
    return g;
  });
  EXPECT_EQ(guid, orders->Guid());
  ASSERT_NE(first->SharedDictionary(), nullptr);
  EXPECT_EQ(second->SharedDictionary(), first->SharedDictionary());
  // The cache's reference and one per cursor.
  EXPECT_EQ(first->SharedDictionary()->RefCount(), 3);
  EXPECT_EQ(database->DictionaryCache().ChainCount(), 1);
  second->Free();
  EXPECT_EQ(first->SharedDictionary()->RefCount(), 2);
  first->Free();
}

TEST_F(RemoteCursorTest, ANewDictionaryOfOneBaseNameTakesTheCachePlace) {
  Connect();
  TnxRemoteCursor* old = nullptr;
  ASSERT_EQ(OpenCursor(old), 0u);
  // The table changed at the server: its identity no longer matches.
  handler->Configure([&](TTestCommandHandler& h) { h.CursorTables[u"Orders"] = Served(*TableDictionary(3), 0, 41); });
  TnxRemoteCursor* fresh = nullptr;
  ASSERT_EQ(OpenCursor(fresh), 0u);
  ASSERT_NE(fresh->SharedDictionary(), old->SharedDictionary());
  EXPECT_EQ(fresh->_Dictionary()->FieldsDescriptor().FieldCount(), 3);
  // The first lives only through the cursor that holds it.
  EXPECT_EQ(old->SharedDictionary()->RefCount(), 1);
  EXPECT_EQ(database->DictionaryCache().ChainCount(), 2);
  old->Free();
  EXPECT_EQ(database->DictionaryCache().ChainCount(), 1);
  TnxRemoteCursor* third = nullptr;
  ASSERT_EQ(OpenCursor(third), 0u);
  EXPECT_EQ(third->SharedDictionary(), fresh->SharedDictionary());
  third->Free();
  fresh->Free();
}

TEST_F(RemoteCursorTest, WithoutTheDictionaryCacheEachCursorOwnsItsDictionary) {
  nxSetClientFeatures(nxAllClientFeatures & ~(1u << cfDictionaryCache));
  Connect();
  TnxRemoteCursor* cursor = nullptr;
  const size_t before = SentCount(session);
  ASSERT_EQ(OpenCursor(cursor), 0u);
  EXPECT_EQ(SentBy(session, before), Ids{0x234});
  EXPECT_EQ(cursor->SharedDictionary(), nullptr);
  EXPECT_EQ(cursor->_Dictionary()->Guid(), orders->Guid());
  EXPECT_EQ(database->DictionaryCache().ChainCount(), 0);
  TnxAbstractCursor* copy = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadOnly, copy), 0u);
  EXPECT_NE(copy->_Dictionary(), cursor->_Dictionary());
  EXPECT_EQ(copy->_Dictionary()->Guid(), orders->Guid());
  copy->Free();
  cursor->Free();
}

TEST_F(RemoteCursorTest, FreeingACursorClosesItsServerCursor) {
  Connect();
  TnxRemoteCursor* cursor = nullptr;
  ASSERT_EQ(OpenCursor(cursor), 0u);
  const TnxCursorID id = cursor->CursorID();
  EXPECT_EQ(handler->OpenCursors(), std::set<uint32_t>{id});
  const size_t before = SentCount(session);
  cursor->Free();
  EXPECT_EQ(SentBy(session, before), Ids{nxnmCursorClose});
  TaggedBytes raw(4);
  platform::StoreU32(raw.data(), id);
  EXPECT_EQ(LastPayload(nxnmCursorClose), raw);
  EXPECT_TRUE(handler->OpenCursors().empty());
}

TEST_F(RemoteCursorTest, DuplicateSharesTheDictionaryAndTakesTheServersIndex) {
  Connect();
  TnxRemoteCursor* cursor = nullptr;
  ASSERT_EQ(OpenCursor(cursor, u"Orders", 0), 0u);
  TnxAbstractCursor* copy = nullptr;
  const size_t before = SentCount(session);
  ASSERT_EQ(cursor->Duplicate(omReadOnly, copy), 0u);
  EXPECT_EQ(SentBy(session, before), Ids{nxnmCursorDuplicate});
  TaggedBytes raw(5);
  platform::StoreU32(raw.data(), cursor->CursorID());
  raw[4] = omReadOnly;
  EXPECT_EQ(LastPayload(nxnmCursorDuplicate), raw);
  auto* duplicate = static_cast<TnxRemoteCursor*>(copy);
  EXPECT_EQ(duplicate->SharedDictionary(), cursor->SharedDictionary());
  EXPECT_EQ(duplicate->CachedAutoInc(), 41);
  int32_t index = -2;
  EXPECT_EQ(duplicate->GetIndexID(index), 0u);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(handler->OpenCursors().size(), 2u);
  copy->Free();
  cursor->Free();
  EXPECT_TRUE(handler->OpenCursors().empty());
}

TEST_F(RemoteCursorTest, ABadIndexIDFromTheServerFailsAndClosesTheServerCursor) {
  Connect();
  const struct {
    const char* name;
    int32_t served;
  } rows[] = {{"one past the last index", 2}, {"below sequential access", -2}, {"far out", 0x7FFFFFFF}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Configure([&](TTestCommandHandler& h) { h.CursorTables[u"Orders"].indexID = row.served; });
    TnxRemoteCursor* cursor = nullptr;
    const size_t before = SentCount(session);
    EXPECT_EQ(OpenCursor(cursor), nxeMessageUnrecognized);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(SentBy(session, before), (Ids{0x234, nxnmCursorClose}));
    EXPECT_TRUE(handler->OpenCursors().empty());
  }
  // The last valid ones pass: the default index and ours.
  for (int32_t served : {-1, 0, 1}) {
    handler->Configure([&](TTestCommandHandler& h) { h.CursorTables[u"Orders"].indexID = served; });
    TnxRemoteCursor* cursor = nullptr;
    ASSERT_EQ(OpenCursor(cursor), 0u) << served;
    cursor->Free();
  }
}

TEST_F(RemoteCursorTest, ADuplicateReplyThatIsShortOrNamesABadIndexFails) {
  Connect();
  TnxRemoteCursor* cursor = nullptr;
  ASSERT_EQ(OpenCursor(cursor), 0u);
  const struct {
    const char* name;
    TaggedBytes reply;
    Ids sent;
  } rows[] = {
      {"seven bytes", TaggedBytes{9, 0, 0, 0, 0, 0, 0}, {nxnmCursorDuplicate}},
      {"index 5 of a table with 2", TaggedBytes{9, 0, 0, 0, 5, 0, 0, 0}, {nxnmCursorDuplicate, nxnmCursorClose}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Script(nxnmCursorDuplicate, Fixed(0, row.reply));
    TnxAbstractCursor* copy = nullptr;
    const size_t before = SentCount(session);
    EXPECT_EQ(cursor->Duplicate(omReadWrite, copy), nxeMessageUnrecognized);
    EXPECT_EQ(copy, nullptr);
    EXPECT_EQ(SentBy(session, before), row.sent);
  }
  cursor->Free();
}

TEST_F(RemoteCursorTest, ADelayedSetToBookmarkIsDroppedBySkippableRequestsAndSentBeforeOthers) {
  Connect();
  const struct {
    const char* name;
    TnxClientFeatures features;
    bool duplicate;  // else the cursor is freed
    Ids sentAfterSetToBookmark;
  } rows[] = {
      {"a close drops it", nxAllClientFeatures, false, {nxnmCursorClose}},
      {"a duplicate sends it first", nxAllClientFeatures, true,
       {nxnmCursorSetToBookmark, nxnmCursorDuplicate, nxnmCursorClose, nxnmCursorClose}},
      {"not delayed without the feature", nxAllClientFeatures & ~(1u << cfDelayedSetToBookmark), false,
       {nxnmCursorSetToBookmark, nxnmCursorClose}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nxSetClientFeatures(row.features);
    TnxRemoteCursor* cursor = nullptr;
    ASSERT_EQ(OpenCursor(cursor, u"Orders", 0), 0u);
    uint32_t size = 0;
    ASSERT_EQ(cursor->sbcGetBookmarkSize(size), 0u);
    std::vector<uint8_t> bookmark = ValidBookmark(*orders, 0, size);
    const size_t before = SentCount(session);
    ASSERT_EQ(cursor->SetToBookmark(bookmark.data(), size), 0u);
    if (row.duplicate) {
      TnxAbstractCursor* copy = nullptr;
      ASSERT_EQ(cursor->Duplicate(omReadWrite, copy), 0u);
      copy->Free();
    }
    cursor->Free();
    EXPECT_EQ(SentBy(session, before), row.sentAfterSetToBookmark);
    if (row.sentAfterSetToBookmark.front() == nxnmCursorSetToBookmark) {
      const TaggedBytes expected = Written([&](TnxWriter& w) {
        w.WriteInteger(static_cast<int32_t>(platform::LoadU32(LastPayload(nxnmCursorClose).data())));
        w.WriteInteger(static_cast<int32_t>(size));
        w.WriteListBegin();
        w.Write(bookmark.data(), size);
        w.WriteListEnd();
      });
      EXPECT_EQ(LastPayload(nxnmCursorSetToBookmark), expected);
    }
    nxSetClientFeatures(nxAllClientFeatures);
  }
}

TEST_F(RemoteCursorTest, ABookmarkLargerThanTheTablesLargestIsRefused) {
  Connect();
  TnxRemoteCursor* cursor = nullptr;
  ASSERT_EQ(OpenCursor(cursor), 0u);
  const uint32_t largest = orders->GetMaxBookmarkSize();
  std::vector<uint8_t> bookmark = ValidBookmark(*orders, 0, largest + 64);
  for (TnxClientFeatures features : {nxAllClientFeatures, TnxClientFeatures(nxAllClientFeatures & ~(1u << cfDelayedSetToBookmark))}) {
    nxSetClientFeatures(features);
    const size_t before = SentCount(session);
    EXPECT_EQ(cursor->SetToBookmark(bookmark.data(), largest + 1), nxeInvalidParameter);
    EXPECT_FALSE(cursor->DelayedSetToBookmarkPending());
    EXPECT_EQ(SentCount(session), before);
  }
  nxSetClientFeatures(nxAllClientFeatures);
  EXPECT_EQ(cursor->SetToBookmark(bookmark.data(), largest), 0u);
  EXPECT_TRUE(cursor->DelayedSetToBookmarkPending());
  cursor->Free();
}

TEST_F(RemoteCursorTest, RepliesSentWithTheOpenReplyReachTheNewCursor) {
  Connect();
  const TaggedBytes ahead{1, 2, 3};
  handler->Configure([&](TTestCommandHandler& h) { h.OpenExtraParts = {{0x322, ahead}}; });
  for (bool multipart : {true, false}) {
    SCOPED_TRACE(multipart ? "multi-part read asked" : "not asked");
    TnxRemoteCursor* cursor = nullptr;
    ASSERT_EQ(OpenCursor(cursor, u"Orders", -1, 500, multipart ? kMultipart : 0), 0u);
    void* block = nullptr;
    int32_t length = 0;
    const uint32_t found =
        session->CheckQueuedReply(cursor->Source(), 0x322, &block, &length, nmdByteArray, false, nullptr);
    if (multipart) {
      ASSERT_EQ(found, 0u);
      EXPECT_EQ(TaggedBytes(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + length), ahead);
      nxFreeMem(block);
    } else {
      EXPECT_NE(found, 0u);
    }
    cursor->Free();
  }
}

TEST_F(RemoteCursorTest, AFailedOpenLeavesNoCursor) {
  Connect();
  const struct {
    const char* name;
    std::u16string table;
    uint32_t code;
    size_t sent;
  } rows[] = {
      {"empty name: not sent", u"", nxeTableDoesNotExist, 0},
      {"unknown table: the server's code", u"Nothing", nxeTableDoesNotExist, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TnxRemoteCursor* cursor = nullptr;
    const size_t before = SentCount(session);
    EXPECT_EQ(OpenCursor(cursor, row.table), row.code);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(SentCount(session) - before, row.sent);
  }
  // A reply that breaks off inside the dictionary.
  handler->Script(0x234, Injected(TReplyKind::rkNoListEnd));
  TnxRemoteCursor* cursor = nullptr;
  EXPECT_NE(OpenCursor(cursor), 0u);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(database->DictionaryCache().ChainCount(), 0);
  EXPECT_TRUE(handler->OpenCursors().empty());
  // A reply that takes us for holding a dictionary we never had.
  handler->Script(0x234, Fixed(0, Written([](TnxWriter& w) {
                    w.WriteInteger(int32_t(77));
                    w.WriteInteger(int32_t(0));
                    w.WriteBoolean(false);
                    w.WriteInteger(int64_t(-1));
                  })));
  const size_t before = SentCount(session);
  EXPECT_EQ(OpenCursor(cursor), nxeMessageUnrecognized);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(SentBy(session, before), (Ids{0x234, nxnmCursorClose}));
  EXPECT_EQ(LastPayload(nxnmCursorClose), (TaggedBytes{77, 0, 0, 0}));
}

TEST_F(RemoteCursorTest, ACursorMayOutliveItsDatabasesDictionaryCache) {
  Connect();
  TnxRemoteCursor* cursor = nullptr;
  ASSERT_EQ(OpenCursor(cursor), 0u);
  const size_t before = SentCount(session);
  // The database frees the cursor after its own fields are gone.
  database->Free();
  database = nullptr;
  EXPECT_EQ(SentBy(session, before), (Ids{nxnmDatabaseClose, nxnmCursorClose, nxnmTransContextClose}));
}

TEST_F(RemoteCursorTest, TheFilterDeadlineCrossesAThirtyTwoBitTickCount) {
  Connect();
  TnxRemoteCursor* cursor = nullptr;
  ASSERT_EQ(OpenCursor(cursor), 0u);
  {
    TFakeEngineClock clock((uint64_t(1) << 32) - 100);
    uint32_t result = 0;
    cursor->rcFilterTimeoutStart();
    clock.Advance(500);  // past 2^32, at the deadline
    EXPECT_FALSE(cursor->rcFilterTimedOut(result));
    clock.Advance(1);
    EXPECT_TRUE(cursor->rcFilterTimedOut(result));
    EXPECT_EQ(result, nxeFilterTimeout);
    // Suspended scans have no deadline; a resumed one starts anew.
    cursor->rcFilterTimeoutSuspend();
    cursor->rcFilterTimeoutStart();
    EXPECT_FALSE(cursor->rcFilterTimedOut(result));
    cursor->rcFilterTimeoutResume();
    cursor->rcFilterTimeoutStart();
    clock.Advance(501);
    EXPECT_TRUE(cursor->rcFilterTimedOut(result));
    // Timeout 0: no limit.
    ASSERT_EQ(cursor->FilterSetTimeout(0), 0u);
    cursor->rcFilterTimeoutStart();
    clock.Advance(uint64_t(1) << 33);
    EXPECT_FALSE(cursor->rcFilterTimedOut(result));
  }
  cursor->Free();
}

// A remote dictionary in a cache, read from a server's bytes.
TnxRemoteDataDictionary* NewRemote(TnxRemoteDictionaryCache* aCache, const TnxDataDictionary& aSource,
                                   std::u16string_view aName) {
  const TaggedBytes bytes = DictionaryBytes(aSource);
  TnxStaticMemoryStream stream(const_cast<uint8_t*>(bytes.data()), static_cast<int64_t>(bytes.size()));
  return new TnxRemoteDataDictionary(aCache, stream, aName);
}

TEST(RemoteDataDictionary, TheListHoldsOneReferenceAndTheSecondOfANameReplacesTheFirst) {
  TnxEngineStartupGuard library;
  auto source = TableDictionary();
  TnxRemoteDictionaryCache cache;
  TnxRemoteDataDictionary* first = NewRemote(&cache, *source, u"Orders");
  EXPECT_EQ(first->RefCount(), 1);
  EXPECT_TRUE(first->ReadOnly());
  EXPECT_EQ(first->Guid(), source->Guid());
  EXPECT_TRUE(first->IsCompatibleWith(source.get()));
  first->_AddRef();  // a holder
  TnxRemoteDataDictionary* second = NewRemote(&cache, *source, u"orders");
  EXPECT_EQ(first->RefCount(), 1);
  EXPECT_EQ(cache.ChainCount(), 2);
  TnxRemoteDataDictionary* got = cache.Get(u"ORDERS");
  EXPECT_EQ(got, second);
  EXPECT_EQ(second->RefCount(), 2);
  got->_Release();
  EXPECT_EQ(first->_Release(), 0);
  EXPECT_EQ(cache.ChainCount(), 1);
  EXPECT_EQ(cache.Get(u"Customers"), nullptr);
}

TEST(RemoteDataDictionary, ADictionaryWithoutCacheCountsOnItsOwn) {
  TnxEngineStartupGuard library;
  auto source = TableDictionary();
  TnxRemoteDataDictionary* alone = NewRemote(nullptr, *source, u"Orders");
  EXPECT_EQ(alone->_AddRef(), 1);
  EXPECT_EQ(alone->_AddRef(), 2);
  EXPECT_EQ(alone->_Release(), 1);
  EXPECT_EQ(alone->_Release(), 0);
}

TEST(RemoteDataDictionary, ABrokenStreamCreatesNothing) {
  TnxEngineStartupGuard library;
  TnxRemoteDictionaryCache cache;
  TaggedBytes bytes = DictionaryBytes(*TableDictionary());
  bytes.resize(bytes.size() / 2);
  TnxStaticMemoryStream stream(bytes.data(), static_cast<int64_t>(bytes.size()));
  EXPECT_ANY_THROW(new TnxRemoteDataDictionary(&cache, stream, u"Orders"));
  EXPECT_EQ(cache.ChainCount(), 0);
}

TEST(RemoteDataDictionary, HoldersOnSeveralThreadsReleaseOneDictionary) {
  TnxEngineStartupGuard library;
  auto source = TableDictionary();
  auto cache = std::make_unique<TnxRemoteDictionaryCache>();
  TnxRemoteDataDictionary* shared = NewRemote(cache.get(), *source, u"Orders");
  constexpr int kThreads = 4;
  constexpr int kRounds = 2000;
  std::vector<TnxRemoteDataDictionary*> held(kThreads);
  for (auto& h : held) h = cache->Get(u"orders");
  std::latch loopsDone(kThreads);
  std::latch cacheGone(1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        if (TnxRemoteDataDictionary* again = cache->Get(u"Orders")) again->_Release();
        held[t]->_AddRef();
        held[t]->_Release();
      }
      loopsDone.count_down();
      cacheGone.wait();
      held[t]->_Release();
    });
  loopsDone.wait();
  EXPECT_EQ(shared->RefCount(), 1 + kThreads);
  // The database goes while cursors still hold the dictionary: they go on
  // counting on their own, and the last of them frees it.
  cache.reset();
  EXPECT_EQ(shared->RefCount(), kThreads);
  cacheGone.count_down();
  for (auto& thread : threads) thread.join();
}

}  // namespace
}  // namespace revurov::testing
