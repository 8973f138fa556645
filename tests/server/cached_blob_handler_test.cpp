#include "server/cached_blob_handler.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "blob_cursor_table.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/endian.h"
#include "server/server_table.h"
#include "storage/blob_engines.h"
#include "support/engine_fixture.h"
#include "support/memory_engine.h"
#include "support/temp_dir.h"

namespace revurov {
namespace {

using testing::kFieldA;
using testing::kFieldB;
using testing::kFieldC;
using testing::LastMessage;

// The memory cursor serves the server cursor's two cache queries; a remote
// cursor only has to accept them.
class RemoteCursorBase : public TnxAbstractRemoteCursor {
  REVUROV_SERVER_OBJECT_CLASS(RemoteCursorBase, TnxAbstractRemoteCursor)
  virtual uint32_t ascGetBlobCacheInfos(const TnxRecID&, TnxBlobCacheInfos&) = 0;
  virtual uint32_t ascSetBlobCacheFlushed(const TnxRecID&, int32_t, TnxBlobNr, TnxBlobNr*) = 0;

protected:
  using TnxAbstractRemoteCursor::TnxAbstractRemoteCursor;
};

// Stands in for the remote cursor a cache cursor is attached to: asked to
// cache a blob, it hands the content its "server" holds to the cache
// cursor, as the real one does after fetching it.
class StandInRemoteCursor : public testing::MemoryCursorT<RemoteCursorBase> {
  REVUROV_SERVER_OBJECT_CLASS(StandInRemoteCursor, RemoteCursorBase)
  using MemoryCursorT::MemoryCursorT;

  using TKey = std::tuple<TnxRefNr, int64_t, int32_t, TnxBlobNr>;

  uint32_t rcCacheBlob(const TnxRecID& aRecID, int32_t aFieldNo, TnxBlobNr aBlobNr, TnxNewBlobNr*) override {
    ++Requests;
    const auto found = Server.find({aRecID.ridRefNr, aRecID.ridInsertLSN, aFieldNo, aBlobNr});
    if (found == Server.end()) return nxeInvalidBlobHandle;
    return Cache->BlobAddToCache(aRecID, aFieldNo, aBlobNr, uint32_t(found->second.size()), found->second.data());
  }

  TnxServerTableCursor* Cache = nullptr;
  std::map<TKey, std::string> Server;
  int Requests = 0;

protected:
  ~StandInRemoteCursor() override = default;
};

class CachedBlobHandlerTest : public testing::BlobCursorFixture {
protected:
  CachedBlobHandlerTest() {
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseCacheOpen(database, u"Path", platform::Utf8ToUtf16(cacheDir.Dir()), nullptr,
                                         omReadWrite, smShared, 10000),
              0u)
        << LastMessage();
    cacheDb = static_cast<TnxServerDatabase*>(database);
    auto dict = Dictionary();
    dict->MakeCacheable(true);
    dict->MarkInCache(false);
    EXPECT_EQ(cacheDb->TableBuild(false, u"Blobs", u"", dict.get(), tsPersistent, true), 0u) << LastMessage();
    cache = OpenCache();
    memorySession = memoryEngine->OpenMemory();
    EXPECT_EQ(memorySession->DatabaseOpen(database, u"Name", u"Data", nullptr, omReadWrite, smShared, 0), 0u);
    remoteDb = database;
    remote = nxCreateServerObject<StandInRemoteCursor>(remoteDb, 0u, *memoryEngine, u"Remote", nullptr).release();
    remote->Cache = cache;
    cache->ascRemoteCursor = remote;
    // Holds a block of the blob engine, so that a deleted blob reads as
    // gone (see Live).
    const TnxRecID keeperRec = Add(99);
    EXPECT_EQ(cache->BlobAddToCache(keeperRec, kFieldC, 1, 1, "k"), 0u) << LastMessage();
  }
  ~CachedBlobHandlerTest() override {
    for (TnxAbstractCursor* cursor : caches_) {
      static_cast<TnxServerTableCursor*>(cursor)->ascRemoteCursor = nullptr;
      cursor->Free();
    }
    if (remote) remote->Free();
    if (cacheDb) cacheDb->Free();
  }

  TnxServerTableCursor* OpenCache() {
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(cacheDb->CursorCacheOpen(cursor, u"Blobs", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500),
              0u)
        << LastMessage();
    if (cursor) caches_.push_back(cursor);
    return static_cast<TnxServerTableCursor*>(cursor);
  }

  TnxCachedBlobHandler* Handler(TnxServerTableCursor* aCursor = nullptr) {
    return dynamic_cast<TnxCachedBlobHandler*>((aCursor ? aCursor : cache)->BlobHandler());
  }

  // A record as the remote side sends it: its RefNr, versions and the
  // server's blob numbers of A, B and C (0: null).
  std::vector<uint8_t> CacheRecord(int32_t aID, const std::vector<TnxBlobNr>& aBlobs) {
    TnxFieldsDescriptor& fields = Fields(cache);
    std::vector<uint8_t> record = Record(cache, aID, 1000 + aID, aBlobs);
    const int64_t refNr = 10 * aID, modifyLSN = ++modifyLSN_;
    fields.SetRecordField(fields.GetFieldFromName(u"$RefNr"), record.data(), &refNr);
    fields.SetRecordField(fields.GetFieldFromName(u"$ModifyLSN"), record.data(), &modifyLSN);
    return record;
  }
  TnxRecID Add(int32_t aID, const std::vector<TnxBlobNr>& aBlobs = {}) {
    std::vector<uint8_t> record = CacheRecord(aID, aBlobs);
    EXPECT_EQ(cache->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
    return cache->acGetRecID(record.data());
  }
  // Puts the cursor on the record of aID.
  uint32_t Position(int32_t aID) {
    std::vector<uint8_t> read(size_t(Fields(cache).RecordLength()) + 16, 0);
    const TnxRecID want = cache->acGetRecID(CacheRecord(aID, {}).data());
    if (uint32_t r = cache->SetToBegin()) return r;
    do {
      if (uint32_t r = cache->RecordGetNext(nxltNoLock, read.data())) return r;
    } while (cache->acGetRecID(read.data()).ridRefNr != want.ridRefNr);
    return 0;
  }
  // The record of aID modified to hold aBlobs, as the remote side sends
  // it after a post.
  uint32_t Modify(int32_t aID, const std::vector<TnxBlobNr>& aBlobs) {
    if (uint32_t r = Position(aID)) return r;
    std::vector<uint8_t> record = CacheRecord(aID, aBlobs);
    return cache->RecordModify(record.data(), true, nullptr);
  }
  uint32_t Delete(int32_t aID) {
    if (uint32_t r = Position(aID)) return r;
    return cache->RecordDelete(nullptr, 0);
  }

  // Content the remote side holds for a blob of a record.
  void OnServer(const TnxRecID& aRecID, int32_t aField, TnxBlobNr aBlobNr, const std::string& aContent) {
    remote->Server[{aRecID.ridRefNr, aRecID.ridInsertLSN, aField, aBlobNr}] = aContent;
  }

  TnxBlobCacheInfos Infos(const TnxRecID& aRecID) {
    TnxBlobCacheInfos infos;
    EXPECT_EQ(cache->ascGetBlobCacheInfos(aRecID, infos), 0u) << LastMessage();
    return infos;
  }
  // The cache table's copy of the blob (0: none).
  TnxBlobNr CachedCopy(const TnxRecID& aRecID, int32_t aField, TnxBlobNr aBlobNr) {
    TnxBlobNr copy = 0;
    Direct([&](TnxBaseTransaction& aTrans) { copy = Handler()->CachedCopy(&aTrans, aRecID, aField, aBlobNr); });
    return copy;
  }
  // Whether the cache table's blob engine still holds the local blob.
  bool Live(TnxBlobNr aLocal) {
    bool live = false;
    Direct([&](TnxBaseTransaction& aTrans) {
      uint32_t length = 0;
      try {
        live = cache->Table()->BlobEngine()->GetBlobLength(&aTrans, aLocal, {}, length) == 0;
      } catch (...) {
        live = false;
      }
    });
    return live;
  }
  std::string ReadOld(const TnxRecID& aRecID, int32_t aField, TnxBlobNr aNr) {
    testing::TStringStream stream;
    const uint32_t result = cache->BlobRead(aRecID, aField, aNr, 0, 0x7FFFFFFF, stream, true, nullptr);
    return result != 0 ? "!" + std::to_string(result) : stream.Bytes;
  }
  uint32_t Flushed(const TnxRecID& aRecID, int32_t aField, TnxBlobNr aBlobNr, TnxBlobNr aServerNr) {
    return cache->ascSetBlobCacheFlushed(aRecID, aField, aBlobNr, aServerNr ? &aServerNr : nullptr);
  }

  testing::TempDir cacheDir;
  TnxServerDatabase* cacheDb = nullptr;
  TnxServerTableCursor* cache = nullptr;
  testing::ComponentPtr<testing::MemoryEngine> memoryEngine{new testing::MemoryEngine(nullptr)};
  testing::MemorySession* memorySession = nullptr;
  TnxAbstractDatabase* remoteDb = nullptr;
  StandInRemoteCursor* remote = nullptr;
  int64_t modifyLSN_ = 0;
  std::vector<TnxAbstractCursor*> caches_;
};

TEST_F(CachedBlobHandlerTest, CacheCursorsGetTheCachedHandlerWithTheIndexOfCachedBlobs) {
  ASSERT_NE(Handler(), nullptr);
  EXPECT_TRUE(Handler()->HasCachedBlobsIndex());
  EXPECT_EQ(Handler()->Cache(), nullptr);
  EXPECT_FALSE(Handler()->NeedNested());
}

TEST_F(CachedBlobHandlerTest, TheFirstWriteCopiesTheCachedContentIntoALocalBlob) {
  const TnxBlobNr server = 0x5001;
  const TnxRecID rec = Add(1, {server});
  OnServer(rec, kFieldA, server, "server content");
  ASSERT_EQ(cache->BlobWrite(rec, kFieldA, server, 0, 3, "NEW"), 0u) << LastMessage();
  EXPECT_EQ(remote->Requests, 1);
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, server), "NEWver content");
  // The cached copy stays as the server has it.
  EXPECT_EQ(ReadOld(rec, kFieldA, server), "server content");
  const TnxBlobCacheInfos infos = Infos(rec);
  ASSERT_EQ(infos.size(), 1u);
  EXPECT_EQ(infos[0].bciState, cbsiModified);
  EXPECT_EQ(infos[0].bciFieldNo, kFieldA);
  EXPECT_EQ(infos[0].bciBlobNr, server);
  EXPECT_EQ(infos[0].bciLength, 14u);
  EXPECT_FALSE(infos[0].bciBlobNrInternal);
  EXPECT_NE(infos[0].bciCacheBlobNr, CachedCopy(rec, kFieldA, server));
  EXPECT_TRUE(Handler()->NeedNested());
  // Further writes go to the local blob; nothing is fetched again.
  ASSERT_EQ(cache->BlobWrite(rec, kFieldA, server, 14, 1, "!"), 0u) << LastMessage();
  EXPECT_EQ(remote->Requests, 1);
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, server), "NEWver content!");
}

TEST_F(CachedBlobHandlerTest, ABlobAlreadyCachedIsNotFetched) {
  const TnxRecID rec = Add(1, {0x5001});
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldA, 0x5001, 6, "cached"), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, 0x5001), "cached");
  ASSERT_EQ(cache->BlobTruncate(rec, kFieldA, 0x5001, 3), 0u) << LastMessage();
  EXPECT_EQ(remote->Requests, 0);
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, 0x5001), "cac");
  EXPECT_EQ(ReadOld(rec, kFieldA, 0x5001), "cached");
}

TEST_F(CachedBlobHandlerTest, BlobsOfARecordTheCacheDoesNotHoldAnswerRecordDeleted) {
  const TnxRecID rec = Add(1, {0x5001});
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldA, 0x5001, 1, "a"), 0u) << LastMessage();
  const TnxRecID unknown{rec.ridRefNr + 1000, rec.ridInsertLSN};
  const TnxRecID otherVersion{rec.ridRefNr, rec.ridInsertLSN + 1};
  for (const TnxRecID& id : {unknown, otherVersion}) {
    EXPECT_EQ(cache->BlobWrite(id, kFieldA, 0x5001, 0, 1, "x"), nxeRecordDeleted);
    EXPECT_EQ(ReadAll(cache, id, kFieldA, 0x5001), "!" + std::to_string(nxeRecordDeleted));
  }
  EXPECT_TRUE(Infos(rec).empty());
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, 0x5001), "a");
}

TEST_F(CachedBlobHandlerTest, ABlobNeitherChangedNorCachedReadsAsCacheInvalid) {
  const TnxRecID rec = Add(1, {0x5001});
  OnServer(rec, kFieldA, 0x5001, "far away");
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, 0x5001), "!3");
  uint32_t length = 0;
  EXPECT_EQ(cache->BlobGetLength(rec, kFieldA, 0x5001, length, false, nullptr), nxeCacheInvalid);
  // Reads do not fetch.
  EXPECT_EQ(remote->Requests, 0);
}

TEST_F(CachedBlobHandlerTest, AChangeTheRemoteSideCannotServeLeavesNothingBehind) {
  struct Case {
    const char* name;
    bool attached;   // a remote cursor is attached
    uint32_t want;
  };
  const Case cases[] = {
      {"no remote cursor", false, nxeCapabilityNotSupported},
      {"the server lacks the blob", true, nxeInvalidBlobHandle},
  };
  const TnxRecID rec = Add(1, {0x5001});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cache->ascRemoteCursor = c.attached ? remote : nullptr;
    EXPECT_EQ(cache->BlobWrite(rec, kFieldA, 0x5001, 0, 1, "x"), c.want);
    EXPECT_EQ(cache->BlobTruncate(rec, kFieldA, 0x5001, 1), c.want);
    EXPECT_TRUE(Infos(rec).empty());
    EXPECT_EQ(ReadAll(cache, rec, kFieldA, 0x5001), "!3");
  }
  // A replace needs nothing of the old content.
  TnxBlobNr nr = 0x5001;
  ASSERT_EQ(cache->BlobReplace(rec, kFieldA, nr, 3, "all"), 0u) << LastMessage();
  EXPECT_EQ(nr, 0x5001);
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, nr), "all");
  ASSERT_EQ(Infos(rec).size(), 1u);
  EXPECT_EQ(Infos(rec)[0].bciState, cbsiModified);
}

TEST_F(CachedBlobHandlerTest, BlobsCreatedHereGetTemporaryNumbersOneApart) {
  const TnxRecID rec = Add(1);
  TnxBlobNr first = 0, second = 0;
  ASSERT_EQ(cache->BlobCreate(rec, kFieldA, first), 0u) << LastMessage();
  ASSERT_EQ(cache->BlobReplace(rec, kFieldB, second, 2, "hi"), 0u) << LastMessage();
  EXPECT_EQ(uint64_t(first) >> 32, 0xFFFFFFFFu);
  EXPECT_EQ(uint64_t(second) >> 32, 0xFFFFFFFFu);
  EXPECT_EQ(uint32_t(second) - uint32_t(first), 1u);
  ASSERT_EQ(cache->BlobWrite(rec, kFieldA, first, 0, 5, "hello"), 0u) << LastMessage();
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, first), "hello");
  EXPECT_EQ(ReadAll(cache, rec, kFieldB, second), "hi");
  const TnxBlobCacheInfos infos = Infos(rec);
  ASSERT_EQ(infos.size(), 2u);
  for (const TnxBlobCacheInfo& info : infos) {
    EXPECT_EQ(info.bciState, cbsiCreated);
    EXPECT_TRUE(info.bciBlobNrInternal);
    EXPECT_FALSE(info.bciFlushed);
  }
  // Another record's infos are its own.
  EXPECT_TRUE(Infos(Add(2)).empty());
}

TEST_F(CachedBlobHandlerTest, DeletingACreatedBlobKeepsANoteOnlyOnceTheRemoteSideHasIt) {
  struct Case {
    const char* name;
    bool flush;
    bool changeAfterFlush;  // clears the flush mark again
    bool noteKept;
  };
  const Case cases[] = {
      {"never flushed", false, false, false},
      {"flushed", true, false, true},
      {"flushed, then changed", true, true, true},
  };
  int32_t id = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TnxRecID rec = Add(id++);
    TnxBlobNr nr = 0;
    ASSERT_EQ(cache->BlobReplace(rec, kFieldA, nr, 4, "mine"), 0u) << LastMessage();
    const TnxBlobNr local = Infos(rec)[0].bciCacheBlobNr;
    TnxBlobNr now = nr;
    if (c.flush) {
      now = 0x7000 + id;
      ASSERT_EQ(Flushed(rec, kFieldA, nr, now), 0u) << LastMessage();
      ASSERT_EQ(Infos(rec).size(), 1u);
      EXPECT_TRUE(Infos(rec)[0].bciFlushed);
      EXPECT_EQ(Infos(rec)[0].bciBlobNr, now);
    }
    if (c.changeAfterFlush) {
      ASSERT_EQ(cache->BlobWrite(rec, kFieldA, now, 0, 1, "M"), 0u) << LastMessage();
      EXPECT_FALSE(Infos(rec)[0].bciFlushed);
      EXPECT_TRUE(Infos(rec)[0].bciEverFlushed);
    }
    ASSERT_EQ(cache->BlobDelete(rec, kFieldA, now), 0u) << LastMessage();
    EXPECT_FALSE(Live(local));
    const TnxBlobCacheInfos infos = Infos(rec);
    ASSERT_EQ(infos.size(), c.noteKept ? 1u : 0u);
    if (c.noteKept) {
      EXPECT_EQ(infos[0].bciState, cbsiDeleted);
      EXPECT_EQ(infos[0].bciBlobNr, now);
      EXPECT_EQ(infos[0].bciCacheBlobNr, 0);
      EXPECT_FALSE(infos[0].bciFlushed);
    }
  }
}

TEST_F(CachedBlobHandlerTest, StatesThatDoNotFitAnswer11896) {
  const TnxRecID rec = Add(1, {0x5001, 0x5002});
  ASSERT_EQ(cache->BlobDelete(rec, kFieldA, 0x5001), 0u) << LastMessage();
  ASSERT_EQ(Infos(rec).size(), 1u);
  EXPECT_EQ(Infos(rec)[0].bciState, cbsiDeleted);
  EXPECT_EQ(cache->BlobDelete(rec, kFieldA, 0x5001), nxeBlobError);
  EXPECT_EQ(cache->BlobWrite(rec, kFieldA, 0x5001, 0, 1, "x"), nxeBlobError);
  EXPECT_EQ(cache->BlobTruncate(rec, kFieldA, 0x5001, 0), nxeBlobError);
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, 0x5001), "!11896");
  EXPECT_EQ(Flushed(rec, kFieldB, 0x5002, 0), nxeBlobError);  // never changed here
  EXPECT_EQ(remote->Requests, 0);
}

TEST_F(CachedBlobHandlerTest, AModifyMergesFlushedChangesIntoTheCacheAndDropsTheRest) {
  const TnxBlobNr a = 0x5001, c = 0x5003;
  const TnxRecID rec = Add(1, {a, 0, c});
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldA, a, 3, "old"), 0u) << LastMessage();
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldC, c, 5, "old c"), 0u) << LastMessage();
  const TnxBlobNr oldCopyA = CachedCopy(rec, kFieldA, a), copyC = CachedCopy(rec, kFieldC, c);
  // A: changed and taken by the server under a new number.
  ASSERT_EQ(cache->BlobWrite(rec, kFieldA, a, 0, 3, "NEW"), 0u) << LastMessage();
  const TnxBlobNr a2 = 0x6001;
  ASSERT_EQ(Flushed(rec, kFieldA, a, a2), 0u) << LastMessage();
  // B: created here, taken by the server.
  TnxBlobNr temp = 0;
  ASSERT_EQ(cache->BlobReplace(rec, kFieldB, temp, 4, "born"), 0u) << LastMessage();
  const TnxBlobNr b = 0x6002;
  ASSERT_EQ(Flushed(rec, kFieldB, temp, b), 0u) << LastMessage();
  // C: changed, never flushed: the server's record keeps its old blob.
  ASSERT_EQ(cache->BlobWrite(rec, kFieldC, c, 0, 3, "NEW"), 0u) << LastMessage();
  std::vector<TnxBlobNr> locals;
  for (const TnxBlobCacheInfo& info : Infos(rec)) locals.push_back(info.bciCacheBlobNr);
  ASSERT_EQ(locals.size(), 3u);

  ASSERT_EQ(Modify(1, {a2, b, c}), 0u) << LastMessage();
  EXPECT_TRUE(Infos(rec).empty());
  EXPECT_FALSE(Handler()->NeedNested());
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, a2), "NEW");
  EXPECT_EQ(ReadAll(cache, rec, kFieldB, b), "born");
  EXPECT_EQ(ReadAll(cache, rec, kFieldC, c), "old c");
  // The old number's copy went; the unflushed change's local blob too.
  EXPECT_EQ(CachedCopy(rec, kFieldA, a), 0);
  EXPECT_FALSE(Live(oldCopyA));
  EXPECT_EQ(CachedCopy(rec, kFieldC, c), copyC);
  int liveLocals = 0;
  for (TnxBlobNr local : locals) liveLocals += Live(local) ? 1 : 0;
  EXPECT_EQ(liveLocals, 2);
}

// A server table that counts no BLOB incarnations takes a change under the
// same number: the flushed local blob must replace the cached copy, or
// later reads give the old content.
TEST_F(CachedBlobHandlerTest, AFlushedChangeTheServerKeptUnderItsNumberReplacesTheCachedCopy) {
  const TnxBlobNr a = 0x5001;
  const TnxRecID rec = Add(1, {a});
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldA, a, 3, "old"), 0u) << LastMessage();
  const TnxBlobNr oldCopy = CachedCopy(rec, kFieldA, a);
  ASSERT_EQ(cache->BlobWrite(rec, kFieldA, a, 0, 3, "NEW"), 0u) << LastMessage();
  ASSERT_EQ(Flushed(rec, kFieldA, a, a), 0u) << LastMessage();
  const TnxBlobNr local = Infos(rec)[0].bciCacheBlobNr;

  ASSERT_EQ(Modify(1, {a}), 0u) << LastMessage();
  EXPECT_TRUE(Infos(rec).empty());
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, a), "NEW");
  EXPECT_EQ(ReadOld(rec, kFieldA, a), "NEW");
  EXPECT_EQ(CachedCopy(rec, kFieldA, a), local);
  EXPECT_FALSE(Live(oldCopy));
  EXPECT_EQ(remote->Requests, 0);
}

TEST_F(CachedBlobHandlerTest, AMergeThatFindsACopyThereAlreadyAnswers11896AndDeletesNothing) {
  const TnxBlobNr a = 0x5001, a2 = 0x6001;
  const TnxRecID rec = Add(1, {a});
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldA, a, 3, "old"), 0u) << LastMessage();
  ASSERT_EQ(cache->BlobWrite(rec, kFieldA, a, 0, 3, "NEW"), 0u) << LastMessage();
  ASSERT_EQ(Flushed(rec, kFieldA, a, a2), 0u) << LastMessage();
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldA, a2, 5, "stale"), 0u) << LastMessage();
  const TnxBlobNr local = Infos(rec)[0].bciCacheBlobNr;

  EXPECT_EQ(Modify(1, {a2}), nxeBlobError);
  // The record, the change and both copies are as they were.
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, a), "old");
  EXPECT_EQ(ReadOld(rec, kFieldA, a2), "stale");
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, a2), "NEW");
  EXPECT_TRUE(Live(local));
  ASSERT_EQ(Infos(rec).size(), 1u);
  EXPECT_EQ(Infos(rec)[0].bciCacheBlobNr, local);
}

TEST_F(CachedBlobHandlerTest, DeletingARecordDropsItsCopiesAndItsChanges) {
  const TnxRecID rec = Add(1, {0x5001});
  const TnxRecID other = Add(2, {0x5002});
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldA, 0x5001, 3, "one"), 0u) << LastMessage();
  ASSERT_EQ(cache->BlobAddToCache(other, kFieldA, 0x5002, 3, "two"), 0u) << LastMessage();
  const TnxBlobNr copy = CachedCopy(rec, kFieldA, 0x5001);
  TnxBlobNr created = 0;
  ASSERT_EQ(cache->BlobReplace(rec, kFieldB, created, 3, "new"), 0u) << LastMessage();
  ASSERT_EQ(cache->BlobWrite(other, kFieldA, 0x5002, 0, 1, "T"), 0u) << LastMessage();
  const TnxBlobNr local = Infos(rec)[0].bciCacheBlobNr;

  ASSERT_EQ(Delete(1), 0u) << LastMessage();
  EXPECT_EQ(CachedCopy(rec, kFieldA, 0x5001), 0);
  EXPECT_FALSE(Live(copy));
  EXPECT_FALSE(Live(local));
  EXPECT_TRUE(Infos(rec).empty());
  // The other record keeps its copy and its change.
  EXPECT_EQ(ReadOld(other, kFieldA, 0x5002), "two");
  EXPECT_EQ(ReadAll(cache, other, kFieldA, 0x5002), "Two");
}

TEST_F(CachedBlobHandlerTest, CancellingForgetsTheChangesOfOneRecord) {
  const TnxRecID rec = Add(1, {0x5001});
  const TnxRecID other = Add(2);
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldA, 0x5001, 3, "one"), 0u) << LastMessage();
  ASSERT_EQ(cache->BlobWrite(rec, kFieldA, 0x5001, 0, 1, "O"), 0u) << LastMessage();
  TnxBlobNr created = 0;
  ASSERT_EQ(cache->BlobReplace(other, kFieldA, created, 1, "x"), 0u) << LastMessage();
  const TnxBlobNr local = Infos(rec)[0].bciCacheBlobNr;
  ASSERT_EQ(cache->BlobsCancel(rec.ridRefNr), 0u) << LastMessage();
  EXPECT_TRUE(Infos(rec).empty());
  EXPECT_FALSE(Live(local));
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, 0x5001), "one");
  EXPECT_EQ(Infos(other).size(), 1u);
}

TEST_F(CachedBlobHandlerTest, AddingToTheCacheAndReportingCachedBlobs) {
  const TnxRecID rec = Add(1, {0x5001, 0x5002, 0x5003});
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldA, 0x5001, 1, "a"), 0u) << LastMessage();
  ASSERT_EQ(cache->BlobAddToCache(rec, kFieldC, 0x5003, 1, "c"), 0u) << LastMessage();
  EXPECT_EQ(cache->BlobAddToCache(rec, kFieldA, 0x5001, 1, "A"), nxeKeyViolation);
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, 0x5001), "a");

  std::vector<uint8_t> record = CacheRecord(1, {0x5001, 0x5002, 0x5003});
  TnxBlobNr numbers[3] = {};
  uint16_t count = 3;
  ASSERT_EQ(Handler()->GetBlobs(nullptr, record.data(), nullptr, count, numbers), 0u) << LastMessage();
  ASSERT_EQ(count, 2u);  // B is not cached
  EXPECT_EQ(numbers[0], 0x5001);
  EXPECT_EQ(numbers[1], 0x5003);
  count = 1;
  EXPECT_EQ(Handler()->GetBlobs(nullptr, record.data(), nullptr, count, numbers), nxeOutOfRange);
  EXPECT_EQ(count, 1u);
  count = 3;
  EXPECT_EQ(Handler()->GetBlobs(nullptr, nullptr, nullptr, count, numbers), nxeInvalidParameter);
}

TEST_F(CachedBlobHandlerTest, ClosingACursorMidEditFreesItsPrivateTableAndLocalBlobs) {
  const size_t before = cacheDb->Cursors().size();
  TnxServerTableCursor* second = OpenCache();
  second->ascRemoteCursor = remote;
  const TnxRecID rec = Add(1, {0x5001});
  OnServer(rec, kFieldA, 0x5001, "server");
  ASSERT_EQ(second->BlobWrite(rec, kFieldA, 0x5001, 0, 1, "S"), 0u) << LastMessage();
  TnxBlobNr created = 0;
  ASSERT_EQ(second->BlobReplace(rec, kFieldB, created, 3, "new"), 0u) << LastMessage();
  TnxBlobCacheInfos infos;
  ASSERT_EQ(second->ascGetBlobCacheInfos(rec, infos), 0u) << LastMessage();
  ASSERT_EQ(infos.size(), 2u);
  ASSERT_NE(Handler(second)->Cache(), nullptr);
  const std::u16string privateName = Handler(second)->Cache()->FullName();
  ASSERT_NE(cacheDb->Folder()->FindTable(privateName), nullptr);

  std::erase(caches_, second);
  second->Free();
  EXPECT_EQ(cacheDb->Cursors().size(), before);
  EXPECT_EQ(cacheDb->Folder()->FindTable(privateName), nullptr);
  for (const TnxBlobCacheInfo& info : infos) EXPECT_FALSE(Live(info.bciCacheBlobNr));
  // The blob fetched for the change stays cached.
  EXPECT_EQ(ReadAll(cache, rec, kFieldA, 0x5001), "server");
}

}  // namespace
}  // namespace revurov
