// The table cursor's creation, duplication and destruction, and the
// database's cursor open with its share rules.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "dictionary/filter_engines.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/storage_descriptors.h"
#include "index/index_path.h"
#include "lowlevel/errors/error_codes.h"
#include "server/blob_link_handler.h"
#include "server/caching_blob_handler.h"
#include "server/null_blob_handler.h"
#include "server/passthrough_blob_handler.h"
#include "server/server_session.h"
#include "server/server_table_cursor.h"
#include "server/table_cursor_blob_handler.h"
#include "storage/encryption_engine.h"
#include "support/table_ops_fixture.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

// ID and Name, indices ByID and ByName in the file "ix"; ByName is the
// default.
std::unique_ptr<TnxDataDictionary> IndexedDictionary() {
  auto dict = TwoIndexDictionary();
  auto* indices = dict->IndicesDescriptor();
  indices->SetDefaultIndex(indices->GetIndexFromName(u"ByName"));
  return dict;
}

class ServerTableCursorTest : public TableOpsFixture {
protected:
  ~ServerTableCursorTest() override {
    for (TnxAbstractCursor* cursor : opened) cursor->Free();
  }

  uint32_t BuildIndexed(std::u16string_view aName) {
    auto dict = IndexedDictionary();
    return db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false);
  }

  // The cursor (kept until the test ends) or nil with the code in aResult.
  TnxServerTableCursor* OpenCursor(std::u16string_view aName, TnxOpenMode aOpenMode, TnxShareMode aShareMode,
                                   uint32_t& aResult, std::u16string_view aIndexName = u"", int32_t aIndexID = -1,
                                   TnxServerDatabase* aDatabase = nullptr) {
    TnxAbstractCursor* cursor = nullptr;
    aResult = (aDatabase ? aDatabase : db)
                  ->CursorOpen(cursor, aName, u"", aOpenMode, aShareMode, 10000, aIndexName, aIndexID, false, 0,
                               500, nullptr);
    if (cursor) opened.push_back(cursor);
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  TnxServerTableCursor* MustOpen(std::u16string_view aName, TnxOpenMode aOpenMode = omReadWrite,
                                 TnxShareMode aShareMode = smShared) {
    uint32_t result = 0;
    TnxServerTableCursor* cursor = OpenCursor(aName, aOpenMode, aShareMode, result);
    EXPECT_EQ(result, 0u) << LastMessage();
    return cursor;
  }
  void Close(TnxAbstractCursor* aCursor) {
    std::erase(opened, aCursor);
    aCursor->Free();
  }
  static int32_t IndexID(TnxServerTableCursor* aCursor) {
    int32_t id = -2;
    EXPECT_EQ(aCursor->sbcGetIndexID(id), 0u);
    return id;
  }
  int32_t IndexNamed(TnxServerTableCursor* aCursor, std::u16string_view aName) {
    return aCursor->TableDescriptor()->IndicesDescriptor()->GetIndexFromName(aName);
  }

  // The indexed layout with a blob field.
  uint32_t BuildWithBlob(std::u16string_view aName) {
    auto dict = IndexedDictionary();
    dict->FieldsDescriptor().AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    dict->FilesDescriptor().AddFile(u"bl", nxbs4k, u"Blobs");
    dict->AddBlobDescriptor()->SetFileNumber(2);
    return db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false);
  }

  std::vector<TnxAbstractCursor*> opened;
};

struct ModeRow {
  TnxOpenMode Open;
  TnxShareMode Share;
};

TEST_F(ServerTableCursorTest, ShareRulesDecideEveryOpen) {
  struct Row {
    const char* Name;
    std::vector<ModeRow> Existing;
    ModeRow Request;
    uint32_t Expected;
  };
  const Row rows[] = {
      {"alone, exclusive", {}, {omReadWrite, smExclusive}, 0},
      {"exclusive beside a reader", {{omReadOnly, smShared}}, {omReadOnly, smExclusive}, nxeNoExclusiveAccess},
      {"shared beside an exclusive one", {{omReadOnly, smExclusive}}, {omReadOnly, smShared}, nxeNoExclusiveAccess},
      {"share-read beside an exclusive one", {{omReadOnly, smExclusive}}, {omReadOnly, smShareRead},
       nxeNoExclusiveAccess},
      {"two shared writers", {{omReadWrite, smShared}, {omReadWrite, smShared}}, {omReadWrite, smShared}, 0},
      {"share-read reader beside shared writers", {{omReadWrite, smShared}}, {omReadOnly, smShareRead},
       nxeNoExclusiveAccess},
      {"share-read reader beside readers", {{omReadOnly, smShared}, {omReadOnly, smShared}},
       {omReadOnly, smShareRead}, 0},
      {"share-read writer beside readers", {{omReadOnly, smShared}}, {omReadWrite, smShareRead}, 0},
      {"share-read writer beside share-read", {{omReadOnly, smShareRead}}, {omReadWrite, smShareRead},
       nxeNoExclusiveAccess},
      {"share-read reader beside share-read", {{omReadOnly, smShareRead}}, {omReadOnly, smShareRead}, 0},
      {"shared writer after share-read", {{omReadOnly, smShareRead}}, {omReadWrite, smShared},
       nxeNoExclusiveAccess},
      {"write-only counts as writing", {{omReadOnly, smShareRead}}, {omWriteOnly, smShared}, nxeNoExclusiveAccess},
      {"shared reader after share-read", {{omReadOnly, smShareRead}}, {omReadOnly, smShared}, 0},
      {"shared writer after a shared writer and share-read",
       {{omReadWrite, smShared}, {omReadOnly, smShared}},
       {omReadWrite, smShared},
       0},
  };
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    std::vector<TnxServerTableCursor*> existing;
    for (const ModeRow& mode : row.Existing) {
      uint32_t result = 0;
      existing.push_back(OpenCursor(u"Orders", mode.Open, mode.Share, result));
      ASSERT_EQ(result, 0u) << LastMessage();
    }
    uint32_t result = 0;
    TnxServerTableCursor* cursor = OpenCursor(u"Orders", row.Request.Open, row.Request.Share, result);
    EXPECT_EQ(result, row.Expected) << LastMessage();
    EXPECT_EQ(cursor != nullptr, row.Expected == 0);
    if (cursor) {
      EXPECT_EQ(cursor->ShareMode(), row.Request.Share);
      Close(cursor);
    }
    for (TnxServerTableCursor* c : existing) Close(c);
    EXPECT_EQ(Folder().FindTable(u"Orders") ? Folder().FindTable(u"Orders")->CursorCount() : 0, 0);
  }
}

TEST_F(ServerTableCursorTest, AConflictIsCheckedAgainAfterIdleCursorsWereAskedToClose) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  TnxServerTableCursor* idle = MustOpen(u"Orders", omReadOnly, smShared);
  TnxServerTableCursor* busy = MustOpen(u"Orders", omReadOnly, smShared);
  int asked = 0;
  auto closeIdle = nxCreateRequestCloseHandler([&](TnxAbstractCursor* aCursor) {
    ++asked;
    if (aCursor == idle) Close(aCursor);
  });
  idle->sbcSetOnRequestClose(closeIdle);
  busy->sbcSetOnRequestClose(closeIdle);

  uint32_t result = 0;
  EXPECT_EQ(OpenCursor(u"Orders", omReadWrite, smExclusive, result), nullptr);
  EXPECT_EQ(result, nxeNoExclusiveAccess);
  EXPECT_EQ(asked, 2);
  // The idle one went; the busy one still keeps the exclusive open out.
  EXPECT_EQ(Folder().FindTable(u"Orders")->TableCursorCount(), 1);

  Close(busy);
  TnxServerTableCursor* sole = MustOpen(u"Orders", omReadOnly, smShared);
  sole->sbcSetOnRequestClose(nxCreateRequestCloseHandler([&](TnxAbstractCursor* aCursor) { Close(aCursor); }));
  TnxServerTableCursor* exclusive = OpenCursor(u"Orders", omReadWrite, smExclusive, result);
  EXPECT_EQ(result, 0u) << LastMessage();
  ASSERT_NE(exclusive, nullptr);
  EXPECT_EQ(Folder().FindTable(u"Orders")->TableCursorCount(), 1);
}

TEST_F(ServerTableCursorTest, ModesOfTheOpen) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  TnxServerTableCursor* writeOnly = MustOpen(u"Orders", omWriteOnly, smShared);
  ASSERT_NE(writeOnly, nullptr);
  EXPECT_EQ(writeOnly->OpenMode(), omReadWrite);
  EXPECT_FALSE(writeOnly->IsReadOnly());
  TnxServerTableCursor* reader = MustOpen(u"Orders", omReadOnly, smShared);
  ASSERT_NE(reader, nullptr);
  EXPECT_TRUE(reader->IsReadOnly());

  // A read-only database refuses a writer and admits a reader.
  TnxAbstractDatabase* readOnlyDb = nullptr;
  ASSERT_EQ(session->DatabaseOpen(readOnlyDb, u"Path", Path(), nullptr, omReadOnly, smShared, 10000), 0u);
  auto* rodb = static_cast<TnxServerDatabase*>(readOnlyDb);
  uint32_t result = 0;
  EXPECT_EQ(OpenCursor(u"Orders", omReadWrite, smShared, result, u"", -1, rodb), nullptr);
  EXPECT_EQ(result, nxeDatabaseReadOnly);
  EXPECT_EQ(LastMessage(), "Database is read only.");
  EXPECT_NE(OpenCursor(u"Orders", omReadOnly, smShared, result, u"", -1, rodb), nullptr);
  EXPECT_EQ(result, 0u);

  // Unknown table: 10024 naming the root.
  EXPECT_EQ(OpenCursor(u"Nowhere", omReadOnly, smShared, result), nullptr);
  EXPECT_EQ(result, nxeTableDoesNotExist);
  EXPECT_NE(LastMessage().find("Root table \"Nowhere\" not found"), std::string::npos) << LastMessage();

  // A filter limit other than 500 is the cursor's.
  TnxAbstractCursor* timed = nullptr;
  ASSERT_EQ(db->CursorOpen(timed, u"Orders", u"", omReadOnly, smShared, 10000, u"", -1, false, 0, 1000, nullptr), 0u);
  opened.push_back(timed);
  EXPECT_EQ(static_cast<TnxServerTableCursor*>(timed)->FilterTimeout(), 1000u);
  EXPECT_EQ(reader->FilterTimeout(), 500u);
  for (TnxAbstractCursor* c : std::vector<TnxAbstractCursor*>(opened))
    if (c->Database() == rodb) Close(c);
  rodb->Free();
}

// Leaves blocks as they are; the password "reader" grants only reading.
class ReaderOnlyEngine final : public TnxBaseEncryptionEngine {
public:
  explicit ReaderOnlyEngine(const TnxBaseEncryptionEngineClass& aClass) : roClass(aClass) {}
  const TnxBaseEncryptionEngineClass& ClassType() const noexcept override { return roClass; }
  void CodeBlock(const void* aBlockIn, void* aBlockOut, uint32_t aBlockLen, uint32_t) override {
    if (aBlockIn != aBlockOut) std::memcpy(aBlockOut, aBlockIn, aBlockLen);
  }
  void DecodeBlock(void*, uint32_t, uint32_t) override {}
  uint32_t AuthenticatePassword(const TnxUnicodeStrings& aPasswords) override {
    for (const auto& password : aPasswords)
      if (password == u"reader") return nxeTableReadOnly;
    return 0;
  }

private:
  const TnxBaseEncryptionEngineClass& roClass;
};

class ReaderOnlyEngineClass : public TnxBaseEncryptionEngineClass {
public:
  ReaderOnlyEngineClass() : TnxBaseEncryptionEngineClass(u"ReaderOnly", &TnxBaseEncryptionEngine::ClassInfo()) {}
  TnxEncryptionEnginePtr Create(std::u16string_view, bool, bool, uint8_t*, const TnxUnicodeStrings&) const override {
    return TnxEncryptionEnginePtr(new ReaderOnlyEngine(*this));
  }
};

TEST_F(ServerTableCursorTest, APasswordThatGrantsOnlyReadingGivesAReadOnlyCursor) {
  // Outlives the test: the table's files keep engines of the class.
  static const ReaderOnlyEngineClass engineClass;
  engineClass.Register(u"ReaderOnly", false, 0);
  struct Unregister {
    const ReaderOnlyEngineClass& Class;
    ~Unregister() { Class.Unregister(); }
  } unregister{engineClass};
  auto dict = IndexedDictionary();
  dict->SetEncryptionEngine(u"ReaderOnly");
  ASSERT_EQ(db->TableBuild(false, u"Secret", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
  TnxServerTableCursor* writer = MustOpen(u"Secret", omReadWrite, smShared);
  ASSERT_NE(writer, nullptr);
  EXPECT_FALSE(writer->IsReadOnly());
  TnxAbstractCursor* cursor = nullptr;
  ASSERT_EQ(db->CursorOpen(cursor, u"Secret", u"reader", omReadWrite, smShared, 10000, u"", -1, false, 0, 500,
                           nullptr),
            0u)
      << LastMessage();
  opened.push_back(cursor);
  EXPECT_EQ(static_cast<TnxServerTableCursor*>(cursor)->OpenMode(), omReadOnly);
  EXPECT_TRUE(static_cast<TnxServerTableCursor*>(cursor)->IsReadOnly());
  for (TnxAbstractCursor* c : std::vector<TnxAbstractCursor*>(opened)) Close(c);
  TnxPadlockGuard tables(Folder().TablesPadlock());
  EXPECT_TRUE(Folder().sfCloseIfClosable(Folder().FindTable(u"Secret"), false, false, 1));
}

TEST_F(ServerTableCursorTest, ATableOnlyReadableGivesAReadOnlyCursorWithoutError) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  ASSERT_EQ(Folder().FindTable(u"Orders"), nullptr);
  Folder().SetReadOnly();
  uint32_t result = 0;
  TnxServerTableCursor* cursor = OpenCursor(u"Orders", omReadWrite, smShared, result);
  ASSERT_EQ(result, 0u) << LastMessage();
  EXPECT_EQ(cursor->OpenMode(), omReadOnly);
  EXPECT_TRUE(cursor->IsReadOnly());
}

TEST_F(ServerTableCursorTest, CreationNeverFailsOnAnIndex) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  ASSERT_EQ(Build(u"Plain", u"A", 1), 0u) << LastMessage();
  struct Row {
    const char* Name;
    const char16_t* Table;
    const char16_t* IndexName;
    int32_t IndexID;
    const char16_t* Expected;  // index name; nullptr: the table's default
  };
  const Row rows[] = {
      {"by name", u"Orders", u"ByID", -1, u"ByID"},
      {"by number", u"Orders", u"", 1, u"ByID"},
      {"default for -1", u"Orders", u"", -1, u"ByName"},
      {"unknown name falls back to the default", u"Orders", u"Nope", -1, u"ByName"},
      {"number out of range falls back to the default", u"Orders", u"", 7, u"ByName"},
      {"no index of that name: the default", u"Plain", u"ByID", 3, nullptr},
      {"no index of that number: the default", u"Plain", u"", 9, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.Name);
    uint32_t result = 0;
    TnxServerTableCursor* cursor = OpenCursor(row.Table, omReadOnly, smShared, result, row.IndexName, row.IndexID);
    ASSERT_EQ(result, 0u) << LastMessage();
    const int32_t expected = row.Expected ? IndexNamed(cursor, row.Expected)
                                          : cursor->TableDescriptor()->IndicesDescriptor()->DefaultIndex();
    EXPECT_EQ(IndexID(cursor), expected);
    if (expected >= 0) {
      ASSERT_NE(cursor->IndexEngine(), nullptr);
      EXPECT_NE(cursor->RangeStart().riKey, nullptr);
      EXPECT_NE(cursor->RangeEnd().riKey, nullptr);
    } else {
      EXPECT_EQ(cursor->IndexEngine(), nullptr);
    }
    EXPECT_FALSE(cursor->RangeStart().riValid);
    EXPECT_FALSE(cursor->RangeEnd().riValid);
    ASSERT_NE(cursor->IndexPath(), nullptr);
    EXPECT_EQ(cursor->sbcGetPosition(), ippBof);
    Close(cursor);
  }
}

TEST_F(ServerTableCursorTest, SwitchingIndexChecksItsArguments) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  TnxServerTableCursor* cursor = MustOpen(u"Orders");
  const int32_t byName = IndexID(cursor);
  EXPECT_EQ(cursor->SwitchToIndex(u"Nope", -1, porFalse), nxeIndexDoesNotExist);
  EXPECT_EQ(cursor->SwitchToIndex(u"", 9, porFalse), nxeIndexDoesNotExist);
  EXPECT_EQ(cursor->SwitchToIndex(u"", -2, porFalse), nxeIndexDoesNotExist);
  EXPECT_EQ(IndexID(cursor), byName);
  EXPECT_EQ(cursor->SwitchToIndex(u"", -1, porFalse), 0u);
  EXPECT_EQ(cursor->IndexEngine(), nullptr);
  EXPECT_EQ(cursor->RangeStart().riKey, nullptr);
  EXPECT_EQ(cursor->SwitchToIndex(u"ByID", -1, porFalse), 0u);
  EXPECT_EQ(IndexID(cursor), IndexNamed(cursor, u"ByID"));
  // Without a current record, positioning on it is refused and porTry
  // switches anyway.
  EXPECT_EQ(cursor->SwitchToIndex(u"ByName", -1, porTrue), nxeNoCurrentRecord);
  EXPECT_EQ(IndexID(cursor), IndexNamed(cursor, u"ByID"));
  EXPECT_EQ(cursor->SwitchToIndex(u"ByName", -1, porTry), 0u);
  EXPECT_EQ(IndexID(cursor), byName);
  EXPECT_EQ(cursor->sbcGetPosition(), ippBof);
}

TEST_F(ServerTableCursorTest, DuplicateTakesIndexPositionAndModes) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  TnxServerTableCursor* reader = MustOpen(u"Orders", omReadOnly, smShareRead);
  ASSERT_EQ(reader->SwitchToIndex(u"ByID", -1, porFalse), 0u);
  ASSERT_EQ(reader->SetToEnd(), 0u);
  // A duplicate ignores the share modes: a share-read table takes it.
  TnxAbstractCursor* copy = nullptr;
  ASSERT_EQ(reader->Duplicate(omReadWrite, copy), 0u) << LastMessage();
  opened.push_back(copy);
  auto* dup = static_cast<TnxServerTableCursor*>(copy);
  EXPECT_EQ(dup->OpenMode(), omReadOnly);
  EXPECT_TRUE(dup->IsReadOnly());
  EXPECT_EQ(dup->ShareMode(), smShared);
  EXPECT_EQ(IndexID(dup), IndexID(reader));
  EXPECT_EQ(dup->sbcGetPosition(), ippEof);
  EXPECT_EQ(dup->Table(), reader->Table());
  EXPECT_NE(dup->SelfRefNr(), reader->SelfRefNr());

  TnxAbstractCursor* forced = nullptr;
  ASSERT_EQ(reader->sbcDuplicate(omReadWrite, forced, true), 0u) << LastMessage();
  opened.push_back(forced);
  EXPECT_EQ(static_cast<TnxServerTableCursor*>(forced)->OpenMode(), omReadWrite);
  EXPECT_FALSE(static_cast<TnxServerTableCursor*>(forced)->IsReadOnly());
  EXPECT_EQ(reader->Table()->TableCursorCount(), 3);
}

TEST_F(ServerTableCursorTest, DuplicateHoldsAnInactiveCopyOfTheFilter) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  TnxServerTableCursor* cursor = MustOpen(u"Orders", omReadOnly, smShared);
  TnxCallbackFilterDescriptor none{nullptr, [](void*, const uint8_t*) { return false; }};
  TnxFilterID id = 0;
  ASSERT_EQ(cursor->FilterAddCustom(&none, id, true), 0u) << LastMessage();
  ASSERT_NE(cursor->Filter(), nullptr);
  TnxAbstractCursor* copy = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadOnly, copy), 0u) << LastMessage();
  opened.push_back(copy);
  auto* dup = static_cast<TnxServerTableCursor*>(copy);
  ASSERT_NE(dup->Filter(), nullptr);
  EXPECT_NE(dup->Filter(), cursor->Filter());
  EXPECT_FALSE(dup->Filter()->GetActive());
  EXPECT_TRUE(cursor->Filter()->GetActive());
}

TEST_F(ServerTableCursorTest, TheLastCursorOfAResultSetFreesItsTable) {
  auto dict = TaggedDictionary(u"R", 1);
  TnxSqlAbstractCursor* first = db->sadCreateResultSet(dict.get(), 10000);
  ASSERT_NE(first, nullptr);
  auto* cursor = static_cast<TnxServerTableCursor*>(first);
  EXPECT_TRUE(cursor->IsUnnamed);
  EXPECT_EQ(cursor->ShareMode(), smExclusive);
  EXPECT_EQ(cursor->OpenMode(), omReadWrite);
  const std::u16string name = cursor->FullName();
  ASSERT_EQ(name.rfind(u" UnnamedTable_", 0), 0u);
  ASSERT_NE(Folder().FindTable(name), nullptr);
  TnxAbstractCursor* second = nullptr;
  ASSERT_EQ(cursor->Duplicate(omReadWrite, second), 0u) << LastMessage();
  cursor->Free();
  EXPECT_NE(Folder().FindTable(name), nullptr);
  second->Free();
  EXPECT_EQ(Folder().FindTable(name), nullptr);
}

TEST_F(ServerTableCursorTest, AClosedTableFreesTheCursorsLeftOnIt) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  TnxServerTableCursor* cursor = MustOpen(u"Orders");
  std::erase(opened, cursor);
  bool destroyed = false;
  cursor->SetDestroyFlag(&destroyed);
  Folder().FindTable(u"Orders")->Free();
  EXPECT_TRUE(destroyed);
  EXPECT_TRUE(db->Cursors().empty());
}

TEST_F(ServerTableCursorTest, TheBlobHandlerKindFollowsTheTable) {
  EXPECT_EQ(nxChooseBlobHandlerKind(false, true, false, false), bhkNull);
  EXPECT_EQ(nxChooseBlobHandlerKind(true, false, true, true), bhkNull);
  EXPECT_EQ(nxChooseBlobHandlerKind(true, true, true, true), bhkCached);
  EXPECT_EQ(nxChooseBlobHandlerKind(true, true, false, true), bhkCaching);
  EXPECT_EQ(nxChooseBlobHandlerKind(true, true, false, false), bhkPassthrough);

  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  ASSERT_EQ(BuildWithBlob(u"Notes"), 0u) << LastMessage();
  TnxServerTableCursor* plain = MustOpen(u"Orders");
  TnxServerTableCursor* cachingClient = MustOpen(u"Notes");
  ASSERT_TRUE(plain && cachingClient);
  EXPECT_NE(dynamic_cast<TnxNullBlobHandler*>(plain->BlobHandler()), nullptr);
  // A client that caches blobs gets the caching handler.
  EXPECT_NE(dynamic_cast<TnxCachingBlobHandler*>(cachingClient->BlobHandler()), nullptr);

  // A client too old to cache blobs gets the passthrough handler.
  TnxAbstractServerObject* oldSession = nullptr;
  ASSERT_EQ(engine->SessionOpenEx(oldSession, u"user", u"", u"old", 10000, 19000), 0u) << LastMessage();
  TnxAbstractDatabase* oldDatabase = nullptr;
  ASSERT_EQ(static_cast<TnxServerSession*>(oldSession)
                ->DatabaseOpen(oldDatabase, u"Path", Path(), nullptr, omReadWrite, smShared, 10000),
            0u)
      << LastMessage();
  uint32_t result = 0;
  auto* withBlob = OpenCursor(u"Notes", omReadWrite, smShared, result, u"", -1,
                              static_cast<TnxServerDatabase*>(oldDatabase));
  ASSERT_EQ(result, 0u) << LastMessage();
  auto* passthrough = dynamic_cast<TnxPassthroughBlobHandler*>(withBlob->BlobHandler());
  ASSERT_NE(passthrough, nullptr);
  EXPECT_EQ(passthrough->Owner(), withBlob);
  EXPECT_EQ(passthrough->BlobFields().size(), 1u);
  auto* oldPlain = OpenCursor(u"Orders", omReadOnly, smShared, result, u"", -1,
                              static_cast<TnxServerDatabase*>(oldDatabase));
  ASSERT_EQ(result, 0u) << LastMessage();
  EXPECT_NE(dynamic_cast<TnxNullBlobHandler*>(oldPlain->BlobHandler()), nullptr);
  // A duplicate gets a handler of its own.
  TnxAbstractCursor* copy = nullptr;
  ASSERT_EQ(withBlob->Duplicate(omReadOnly, copy), 0u) << LastMessage();
  auto* copied = dynamic_cast<TnxPassthroughBlobHandler*>(static_cast<TnxServerTableCursor*>(copy)->BlobHandler());
  EXPECT_NE(copied, nullptr);
  EXPECT_NE(copied, passthrough);
  copy->Free();
  std::erase(opened, withBlob);
  std::erase(opened, oldPlain);
  oldDatabase->Free();
}

TEST_F(ServerTableCursorTest, TheDatabaseLinkHandlerOpensRealSourceCursors) {
  ASSERT_EQ(BuildWithBlob(u"Source"), 0u) << LastMessage();
  TnxBlobLinkHandler* links = db->BlobLinkHandler();
  ASSERT_NE(links, nullptr);
  uint32_t length = 0;
  // The empty table has no blob 1 (the blob file has no such block); the
  // source cursor is opened all the same, read-only and shared.
  constexpr uint32_t kNoSuchBlock = 15409;
  EXPECT_EQ(links->BlobLinkGetLength(u"source", 1, length), kNoSuchBlock);
  EXPECT_EQ(links->CachedCursorCount(), 1);
  ASSERT_EQ(db->Cursors().size(), 1u);
  auto* source = static_cast<TnxServerTableCursor*>(db->Cursors()[0]);
  EXPECT_EQ(source->Table(), Folder().FindTable(u"Source"));
  EXPECT_EQ(source->ShareMode(), smShared);
  // Shared: a writer opens beside it.
  TnxServerTableCursor* writer = MustOpen(u"Source");
  ASSERT_NE(writer, nullptr);
  Close(writer);

  // Closing inactive tables asks the idle source cursor to close.
  bool destroyed = false;
  source->SetDestroyFlag(&destroyed);
  ASSERT_EQ(Folder().sfCloseInactiveTables(), 0u);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(links->CachedCursorCount(), 0);
  EXPECT_TRUE(db->Cursors().empty());

  // The next read opens a new one.
  EXPECT_EQ(links->BlobLinkGetLength(u"Source", 1, length), kNoSuchBlock);
  EXPECT_EQ(links->CachedCursorCount(), 1);
  // An unknown table is the open's code.
  EXPECT_EQ(links->BlobLinkGetLength(u"Nowhere", 1, length), nxeTableDoesNotExist);
}

TEST_F(ServerTableCursorTest, TheDatabaseFreesWithALinkCursorOpen) {
  ASSERT_EQ(BuildWithBlob(u"Source"), 0u) << LastMessage();
  uint32_t length = 0;
  EXPECT_NE(db->BlobLinkHandler()->BlobLinkGetLength(u"Source", 1, length), 0u);
  ASSERT_EQ(db->Cursors().size(), 1u);
  bool destroyed = false;
  db->Cursors()[0]->SetDestroyFlag(&destroyed);
  db->Free();
  db = nullptr;
  EXPECT_TRUE(destroyed);
}

// A cursor freed on one thread while another asks its table's cursors to
// close: the request points the cursor's destroy flag at its own while the
// free marks the cursor.
TEST_F(ServerTableCursorTest, FreeingACursorRacesACloseRequestSafely) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  TnxServerTableCursor* keeper = MustOpen(u"Orders");  // keeps the table open
  ASSERT_NE(keeper, nullptr);
  TnxServerBaseTable* table = keeper->Table();
  const int rounds = LongTests() ? 20000 : 2000;
  std::atomic<bool> done{false};
  std::atomic<int> requests{0};
  std::thread asker([&] {
    for (int i = 0; i < rounds * 4 && !done.load(); ++i) {
      table->sbtCursorsCanClose(true);
      ++requests;
    }
  });
  auto keep = nxCreateRequestCloseHandler([](TnxAbstractCursor*) {});
  int freed = 0;
  for (int i = 0; i < rounds; ++i) {
    TnxAbstractCursor* cursor = nullptr;
    ASSERT_EQ(db->CursorOpen(cursor, u"Orders", u"", omReadOnly, smShared, 10000, u"", -1, false, 0, 0, nullptr),
              0u)
        << LastMessage();
    static_cast<TnxServerTableCursor*>(cursor)->sbcSetOnRequestClose(keep);
    cursor->Free();
    ++freed;
  }
  done = true;
  asker.join();
  EXPECT_EQ(freed, rounds);
  EXPECT_GT(requests.load(), 0);
  EXPECT_EQ(table->TableCursorCount(), 1);
}

TEST_F(ServerTableCursorTest, SelfRefNrsStayUniqueWhileAddressesAreReused) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  const int total = LongTests() ? 1000000 : 20000;
  std::mt19937 random(7);
  std::vector<TnxServerTableCursor*> live;
  std::map<TnxServerTableCursor*, TnxRefNr> freedAt;  // address -> RefNr it had
  int reused = 0;
  for (int i = 0; i < total; ++i) {
    if (live.size() >= 8 || (!live.empty() && random() % 2)) {
      const size_t at = random() % live.size();
      freedAt[live[at]] = live[at]->SelfRefNr();
      Close(live[at]);
      live.erase(live.begin() + static_cast<ptrdiff_t>(at));
    }
    TnxServerTableCursor* cursor = MustOpen(u"Orders", omReadOnly, smShared);
    ASSERT_NE(cursor, nullptr);
    const TnxRefNr self = cursor->SelfRefNr();
    ASSERT_EQ(self >> 32, 0x7FFFFFFFu);
    for (TnxServerTableCursor* other : live) ASSERT_NE(other->SelfRefNr(), self);
    if (auto it = freedAt.find(cursor); it != freedAt.end()) {
      ++reused;
      ASSERT_NE(it->second, self);
    }
    live.push_back(cursor);
  }
  // The point of the test: memory was handed out again (AddressSanitizer
  // holds freed memory back, so there it is not).
#if !defined(__SANITIZE_ADDRESS__)
  EXPECT_GT(reused, 0);
#endif
}

// Threads with sessions of their own open, duplicate and close cursors on
// three tables; the tables' counts follow the threads' own books.
TEST_F(ServerTableCursorTest, RandomOpensDuplicatesAndClosesOnEightThreads) {
  const char16_t* names[] = {u"T0", u"T1", u"T2"};
  for (const char16_t* name : names) ASSERT_EQ(BuildIndexed(name), 0u) << LastMessage();
  const int threads = 8;
  const int perThread = (LongTests() ? 100000 : 4000) / threads;
  std::atomic<int> failures{0};
  std::atomic<int> opens{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      TnxServerSession* own = Open();
      TnxAbstractDatabase* database = nullptr;
      if (own->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 10000) != 0) {
        ++failures;
        return;
      }
      std::mt19937 random(static_cast<uint32_t>(t) + 1);
      std::vector<TnxAbstractCursor*> live;
      for (int i = 0; i < perThread; ++i) {
        const uint32_t action = random() % 10;
        if (action < 4 && live.size() < 6) {
          TnxAbstractCursor* cursor = nullptr;
          // Mostly shared; now and then a share-read or exclusive open
          // that may be refused.
          const uint32_t kind = random() % 10;
          const TnxShareMode share = kind == 0 ? smExclusive : kind == 1 ? smShareRead : smShared;
          const TnxOpenMode mode = kind == 1 || random() % 2 ? omReadOnly : omReadWrite;
          const uint32_t result = database->CursorOpen(cursor, names[random() % 3], u"", mode, share, 10000, u"",
                                                       -1, false, 0, 500, nullptr);
          if (result == 0) {
            live.push_back(cursor);
            ++opens;
          } else if (result != nxeNoExclusiveAccess) {
            ++failures;
          }
        } else if (action < 6 && !live.empty() && live.size() < 6) {
          TnxAbstractCursor* copy = nullptr;
          if (live[random() % live.size()]->Duplicate(omReadOnly, copy) == 0)
            live.push_back(copy);
          else
            ++failures;
        } else if (!live.empty()) {
          const size_t at = random() % live.size();
          live[at]->Free();
          live.erase(live.begin() + static_cast<ptrdiff_t>(at));
        }
      }
      for (TnxAbstractCursor* cursor : live) cursor->Free();
      database->Free();
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GT(opens.load(), threads);
  for (const char16_t* name : names) {
    TnxServerRootTable* table = Folder().FindTable(name);
    if (!table) continue;
    EXPECT_EQ(table->TableCursorCount(), 0);
    EXPECT_EQ(table->CursorCount(), 0);
    EXPECT_EQ(table->CursorsHead(), nullptr);
    // With no cursor left a persistent table waits in the inactive list.
    EXPECT_TRUE(table->InInactiveTables());
  }
}

// Exclusive opens racing from several sessions: never two at once.
TEST_F(ServerTableCursorTest, RacingExclusiveOpensAdmitOneAtATime) {
  ASSERT_EQ(BuildIndexed(u"Orders"), 0u) << LastMessage();
  const int rounds = LongTests() ? 2000 : 200;
  std::atomic<int> holders{0};
  std::atomic<int> overlaps{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t) {
    workers.emplace_back([&] {
      TnxServerSession* own = Open();
      TnxAbstractDatabase* database = nullptr;
      if (own->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 10000) != 0) return;
      for (int i = 0; i < rounds; ++i) {
        TnxAbstractCursor* cursor = nullptr;
        if (database->CursorOpen(cursor, u"Orders", u"", omReadWrite, smExclusive, 10000, u"", -1, false, 0, 500,
                                 nullptr) != 0)
          continue;
        if (holders.fetch_add(1) != 0) ++overlaps;
        holders.fetch_sub(1);
        cursor->Free();
      }
      database->Free();
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_EQ(overlaps.load(), 0);
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

// A cache database on a folder of its own.
class ServerTableCursorCacheTest : public ServerTableCursorTest {
protected:
  ServerTableCursorCacheTest() {
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseCacheOpen(database, u"Path", platform::Utf8ToUtf16(cacheDir.Dir()), nullptr,
                                         omReadWrite, smShared, 10000),
              0u)
        << LastMessage();
    cacheDb = static_cast<TnxServerDatabase*>(database);
  }
  ~ServerTableCursorCacheTest() override {
    for (TnxAbstractCursor* cursor : opened) cursor->Free();
    opened.clear();
    if (cacheDb) cacheDb->Free();
  }

  // A cache table; aBroken takes its ModifyLSN index away afterwards, so
  // that it is a cache but not cacheable.
  uint32_t BuildCache(std::u16string_view aName, bool aBroken) {
    auto dict = TaggedDictionary(u"C", 2);
    dict->MakeCacheable(true);
    dict->MarkInCache(false);
    if (aBroken) dict->IndicesDescriptor()->RemoveIndex(u"$ModifyLSN");
    return cacheDb->TableBuild(false, aName, u"", dict.get(), tsPersistent, true);
  }

  TempDir cacheDir;
  TnxServerDatabase* cacheDb = nullptr;
};

TEST_F(ServerTableCursorCacheTest, CacheCursorsOpenOnlyOnCacheableCacheTables) {
  ASSERT_EQ(BuildCache(u"Good", false), 0u) << LastMessage();
  TnxAbstractCursor* cursor = nullptr;
  ASSERT_EQ(cacheDb->CursorCacheOpen(cursor, u"Good", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500), 0u)
      << LastMessage();
  opened.push_back(cursor);
  auto* cache = static_cast<TnxServerTableCursor*>(cursor);
  EXPECT_TRUE(cache->IsCache());
  EXPECT_EQ(cache->FulltextEngine(), nullptr);
  EXPECT_EQ(cache->GraveyardLSNIndexEngine(), nullptr);
  EXPECT_NE(cache->LSNIndexEngine(), nullptr);

  // Cache and plain opens each keep to their kind of database.
  TnxAbstractCursor* wrong = nullptr;
  EXPECT_EQ(db->CursorCacheOpen(wrong, u"Good", u"", omReadOnly, smShared, 10000, u"", -1, false, 0, 500),
            nxeCannotAccessFile);
  EXPECT_EQ(LastMessage(), "Database does not support opening of cache cursors");
  EXPECT_EQ(cacheDb->CursorOpen(wrong, u"Good", u"", omReadOnly, smShared, 10000, u"", -1, false, 0, 500, nullptr),
            nxeCannotAccessFile);
  EXPECT_EQ(wrong, nullptr);

  const uint32_t built = BuildCache(u"Broken", true);
  if (built != 0) GTEST_SKIP() << "a cache table that is not cacheable cannot be built: " << LastMessage();
  EXPECT_EQ(cacheDb->CursorCacheOpen(wrong, u"Broken", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500),
            nxeOperationNotApplicable);
  EXPECT_EQ(LastMessage().rfind("Cache Table is not Cacheable", 0), 0u) << LastMessage();
  EXPECT_EQ(wrong, nullptr);
  // The refused cursor left nothing on the table.
  if (TnxServerRootTable* table = cacheDb->Folder()->FindTable(u"Broken")) {
    EXPECT_EQ(table->CursorCount(), 0);
  }
}

}  // namespace
}  // namespace revurov::testing
