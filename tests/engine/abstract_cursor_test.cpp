#include "engine/abstract_cursor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "dictionary/default_values.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/native_variant_converter.h"
#include "dictionary/startup.h"
#include "engine/abstract_statement.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/exception_data.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/engine_fixture.h"
#include "support/exception_message.h"
#include "support/memory_engine.h"
#include "support/u8_text.h"

namespace revurov::testing {
namespace {

// Field numbers of the "Customers" layout.
enum : int32_t { fRefNr, fInsertLSN, fModifyLSN, fCount, fBin, fMemo, fGraphic, fWideMemo };

void AddLSN(TnxFieldsDescriptor& aFields, std::u16string_view aName, bool aOnModify) {
  aFields.AddField(aName, u"", nxtInt64, 0, 0, false)
      ->AddDefaultValue(&TnxNextLSNDefaultValueDescriptor::ClassInfo())
      ->SetApplyOnModify(aOnModify);
}

std::string LastMessage() {
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  return U8(message);
}

class AbstractCursorTest : public ::testing::Test {
protected:
  AbstractCursorTest() {
    TnxFieldsDescriptor& fields = customers.FieldsDescriptor();
    fields.AddField(u"RefNr", u"", nxtRefNr, 0, 0, false);
    AddLSN(fields, u"InsertLSN", false);
    AddLSN(fields, u"ModifyLSN", true);
    fields.AddField(u"Count", u"", nxtInt32, 0, 0, false);
    fields.AddField(u"Bin", u"", nxtBlob, 0, 0, false);
    fields.AddField(u"Memo", u"", nxtBlobMemo, 0, 0, false);
    fields.AddField(u"Graphic", u"", nxtBlobGraphic, 0, 0, false);
    fields.AddField(u"WideMemo", u"", nxtBlobWideMemo, 0, 0, false);
    plain.FieldsDescriptor().AddField(u"Count", u"", nxtInt32, 0, 0, false);
    for (int i = 0; i < 33; ++i)
      manyBlobs.FieldsDescriptor().AddField(u"B" + std::u16string(1, char16_t(u'A' + i / 10)) +
                                                std::u16string(1, char16_t(u'0' + i % 10)),
                                            u"", nxtBlob, 0, 0, false);
    engine->Tables.insert({u"Plain", u"ManyBlobs"});
    engine->Layouts = {{u"Customers", &customers}, {u"Plain", &plain}, {u"ManyBlobs", &manyBlobs}};
    session = engine->OpenMemory();
  }

  MemoryDatabase* Open(uint32_t aTimeout = 0) {
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Name", u"Data", nullptr, omReadWrite, smShared, aTimeout), 0u);
    return static_cast<MemoryDatabase*>(database);
  }
  MemoryCursor* Cursor(std::u16string_view aTable = u"Customers") {
    if (!database) database = Open();
    MemoryCursor* cursor = database->OpenCursor(aTable);
    EXPECT_NE(cursor, nullptr);
    return cursor;
  }
  // A record buffer of the cursor, freed with the test.
  uint8_t* Record(MemoryCursor* aCursor) {
    buffers.emplace_back(aCursor->RecordBufferAlloc());
    return buffers.back().get();
  }
  void SetInt64(MemoryCursor* aCursor, uint8_t* aRecord, int32_t aField, int64_t aValue) {
    aCursor->FieldsDescriptor()->SetRecordField(aField, aRecord, &aValue);
  }

  TnxDictionaryStartupGuard library;
  TnxDataDictionary customers, plain, manyBlobs;
  std::vector<TnxRecordBufferPtr> buffers;
  ComponentPtr<MemoryEngine> engine{new MemoryEngine(nullptr)};
  MemorySession* session = nullptr;
  MemoryDatabase* database = nullptr;
};

// ---- creation, lists and counts ----

TEST_F(AbstractCursorTest, CursorsAndStatementsJoinTheirDatabaseAndTheEngineCounts) {
  MemoryCursor* first = Cursor();
  MemoryCursor* second = Cursor(u"Plain");
  TnxAbstractStatement* statement = nullptr;
  ASSERT_EQ(database->StatementAlloc(statement, 0), 0u);
  EXPECT_EQ(database->Cursors(), (std::vector<TnxAbstractCursor*>{first, second}));
  EXPECT_EQ(database->Statements(), (std::vector<TnxAbstractStatement*>{statement}));
  EXPECT_EQ(engine->CursorCount(), 2);
  EXPECT_EQ(engine->StatementCount(), 1);
  EXPECT_EQ(first->Database(), database);
  EXPECT_EQ(statement->Database(), database);

  first->Free();
  EXPECT_EQ(database->Cursors(), (std::vector<TnxAbstractCursor*>{second}));
  EXPECT_EQ(second->DatabasePrev(), nullptr);
  statement->Free();
  EXPECT_TRUE(database->Statements().empty());
  EXPECT_EQ(engine->CursorCount(), 1);
  EXPECT_EQ(engine->StatementCount(), 0);

  // What is left goes with the database.
  TnxAbstractStatement* left = nullptr;
  ASSERT_EQ(database->StatementAlloc(left, 0), 0u);
  database->Free();
  EXPECT_EQ(engine->CursorCount(), 0);
  EXPECT_EQ(engine->StatementCount(), 0);
  EXPECT_EQ(engine->CursorsFreed, 2);
}

TEST_F(AbstractCursorTest, TheLastCursorOfAnAutoFreeDatabaseFreesIt) {
  struct Case {
    const char* name;
    bool autoFree;
    int cursors;
    bool freeDatabase;  // free the database itself instead of its cursors
    int databasesFreed;
  };
  const Case cases[] = {
      {"without auto-free the database stays", false, 1, false, 0},
      {"the last cursor frees the database", true, 1, false, 1},
      {"the last of two cursors frees it", true, 2, false, 1},
      {"a dying database is not freed again by its cursors", true, 2, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    database = Open();
    database->SetCursorAutoFree(c.autoFree);
    std::vector<MemoryCursor*> cursors;
    for (int i = 0; i < c.cursors; ++i) cursors.push_back(Cursor());
    const int freedBefore = engine->DatabasesFreed;
    if (c.freeDatabase) {
      database->Free();
    } else {
      for (size_t i = 0; i + 1 < cursors.size(); ++i) {
        cursors[i]->Free();
        EXPECT_EQ(engine->DatabasesFreed, freedBefore);  // not while a cursor is left
      }
      cursors.back()->Free();
    }
    EXPECT_EQ(engine->DatabasesFreed - freedBefore, c.databasesFreed);
    EXPECT_EQ(session->Databases().size(), c.databasesFreed ? 0u : 1u);
    EXPECT_EQ(engine->CursorCount(), 0);
    if (!c.databasesFreed) database->Free();
    database = nullptr;
  }
}

TEST_F(AbstractCursorTest, PathStepsReachTheCursorAndItsDatabaseInAnyCase) {
  MemoryCursor* cursor = Cursor();
  struct Case {
    const char16_t* path;
    TnxAbstractServerObject* expected;
  };
  const Case cases[] = {
      {u"<Cursor>", cursor},
      {u"<cursor>.<Self>", cursor},
      {u"<Database>", database},
      {u"<dAtAbAsE>", database},
      {u"<Database>.<TransContext>", database->TransContext()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(U8(c.path));
    void* got = nullptr;
    EXPECT_EQ(cursor->CreateInstanceFor(c.path, nxServerObjectClassID, nullptr, InxAbstractServerObject41100::IID, &got),
              0);
    EXPECT_EQ(got, static_cast<InxAbstractServerObject41100*>(c.expected));
  }
  TnxAbstractStatement* statement = nullptr;
  ASSERT_EQ(database->StatementAlloc(statement, 0), 0u);
  for (const Case& c : {Case{u"<STATEMENT>", statement}, Case{u"<database>", database}}) {
    void* got = nullptr;
    EXPECT_EQ(statement->CreateInstanceFor(c.path, nxServerObjectClassID, nullptr, InxAbstractServerObject41100::IID,
                                           &got),
              0);
    EXPECT_EQ(got, static_cast<InxAbstractServerObject41100*>(c.expected));
  }
}

TEST_F(AbstractCursorTest, ExceptionDataNamesTheDatabaseAndItsChildren) {
  MemoryCursor* cursor = Cursor();
  MemoryCursor* second = Cursor(u"Plain");
  TnxAbstractStatement* statement = nullptr;
  ASSERT_EQ(database->StatementAlloc(statement, 0), 0u);
  auto find = [](TnxExceptionDataRef aData, std::u16string_view aName) -> TnxExceptionDataValueRef {
    for (int32_t i = 0; i < aData->Count(); ++i)
      if (aData->Values(i)->Name() == aName) return aData->Values(i);
    return nullptr;
  };
  TnxExceptionDataRef data = nxCreateExceptionDataContainer(u"x", static_cast<TnxObject*>(database));
  database->GetExceptionData(*data, true);
  struct Case {
    const char16_t* list;
    std::vector<TnxObject*> children;
  };
  for (const Case& c : {Case{u"Cursors", {cursor, second}}, Case{u"Statements", {statement}}}) {
    SCOPED_TRACE(U8(c.list));
    TnxExceptionDataValueRef list = find(data, c.list);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->AsContainer()->Count(), int32_t(c.children.size()));
    for (size_t i = 0; i < c.children.size(); ++i)
      EXPECT_EQ(list->AsContainer()->Values(int32_t(i))->AsContainer()->ForObject(),
                static_cast<const void*>(c.children[i]));
  }
  TnxExceptionDataRef without = nxCreateExceptionDataContainer(u"x", static_cast<TnxObject*>(database));
  database->GetExceptionData(*without, false);
  EXPECT_FALSE(find(without, u"Cursors"));

  for (TnxAbstractServerObject* child : {static_cast<TnxAbstractServerObject*>(cursor),
                                         static_cast<TnxAbstractServerObject*>(statement)}) {
    TnxExceptionDataRef own = nxCreateExceptionDataContainer(u"x", static_cast<TnxObject*>(child));
    child->GetExceptionData(*own, false);
    EXPECT_TRUE(find(own, u"Database"));
  }
}

// ---- options ----

TEST_F(AbstractCursorTest, CursorOptionOperations) {
  const TnxAbstractCursorOptions flip = nxCursorOption(acoFlipOrder);
  const TnxAbstractCursorOptions skip = nxCursorOption(acoSkipReadingBlobDataForBatch);
  const TnxAbstractCursorOptions first = nxCursorOption(acoChainedRecordGetUsesWriteLock);
  enum Op { Add, Remove, AddSet, RemoveSet, HasAny, HasAll };
  struct Case {
    const char* name;
    TnxAbstractCursorOptions before;
    Op op;
    TnxAbstractCursorOptions argument;
    bool answer;
    TnxAbstractCursorOptions after;
  };
  const Case cases[] = {
      {"add a new option", 0, Add, flip, true, flip},
      {"add a present option changes nothing", flip | first, Add, flip, false, flip | first},
      {"add the last option (bit 25)", 0, Add, skip, true, skip},
      {"remove a present option", flip | skip, Remove, flip, true, skip},
      {"remove an absent option", skip, Remove, flip, false, skip},
      {"add a set with one new member", flip, AddSet, flip | skip, true, flip | skip},
      {"add a set already present", flip | skip, AddSet, flip | skip, false, flip | skip},
      {"remove a set with one present member", flip | first, RemoveSet, flip | skip, true, first},
      {"remove a set with no present member", first, RemoveSet, flip | skip, false, first},
      {"any of a set", flip, HasAny, flip | skip, true, flip},
      {"any of a set, none present", first, HasAny, flip | skip, false, first},
      {"all of a set", flip | skip | first, HasAll, flip | skip, true, flip | skip | first},
      {"all of a set, one missing", flip, HasAll, flip | skip, false, flip},
  };
  MemoryCursor* cursor = Cursor();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cursor->CursorOptions() = c.before;
    bool answer = false;
    switch (c.op) {
      case Add: answer = cursor->AddCursorOption(TnxAbstractCursorOption(std::countr_zero(c.argument))); break;
      case Remove: answer = cursor->RemoveCursorOption(TnxAbstractCursorOption(std::countr_zero(c.argument))); break;
      case AddSet: answer = cursor->AddCursorOptions(c.argument); break;
      case RemoveSet: answer = cursor->RemoveCursorOptions(c.argument); break;
      case HasAny: answer = cursor->HasAnyCursorOptions(c.argument); break;
      case HasAll: answer = cursor->HasAllCursorOptions(c.argument); break;
    }
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(cursor->CursorOptions(), c.after);
  }
}

// ---- record buffers, identity and version ----

TEST_F(AbstractCursorTest, RecordBuffersStartAllNull) {
  MemoryCursor* cursor = Cursor();
  TnxFieldsDescriptor& fields = *cursor->FieldsDescriptor();
  EXPECT_EQ(cursor->RecordLength(), uint32_t(fields.RecordLength()));
  uint8_t* record = Record(cursor);
  for (int32_t i = 0; i < fields.FieldCount(); ++i) EXPECT_TRUE(fields.IsRecordFieldNull(i, record)) << i;
  const uint8_t tail[4] = {};
  EXPECT_EQ(std::memcmp(record + cursor->RecordLength(), tail, 4), 0);

  SetInt64(cursor, record, fRefNr, 7);
  cursor->RecordBufferClear(record);
  EXPECT_TRUE(fields.IsRecordFieldNull(fRefNr, record));
  cursor->RecordBufferClear(nullptr);  // nothing to clear
}

TEST_F(AbstractCursorTest, RecordIDReadsTheSpecialFieldsAndZeroForMissingOnes) {
  MemoryCursor* cursor = Cursor();
  uint8_t* record = Record(cursor);
  SetInt64(cursor, record, fRefNr, 42);
  SetInt64(cursor, record, fInsertLSN, 1001);
  SetInt64(cursor, record, fModifyLSN, 2002);
  TnxRecID id = cursor->acGetRecID(record);
  EXPECT_EQ(id.ridRefNr, 42);
  EXPECT_EQ(id.ridInsertLSN, 1001);
  id = cursor->acGetRecID(nullptr);
  EXPECT_FALSE(nxRecIDIsAssigned(id));

  // A table without the special fields reads 0 for both.
  MemoryCursor* other = Cursor(u"Plain");
  uint8_t* bare = Record(other);
  int32_t count = -1;
  other->FieldsDescriptor()->SetRecordField(0, bare, &count);
  id = other->acGetRecID(bare);
  EXPECT_EQ(id.ridRefNr, 0);
  EXPECT_EQ(id.ridInsertLSN, 0);
}

TEST_F(AbstractCursorTest, ExtractCacheInfo) {
  struct Case {
    const char* name;
    bool cacheable;
    bool record;
    int64_t refNr, modifyLSN;
    uint32_t result;
  };
  const Case cases[] = {
      {"a table that is not cacheable", false, true, 1, 2, 12289},
      {"no record", true, false, 0, 0, 8709},
      {"RefNr set, ModifyLSN 0", true, true, 5, 0, 8709},
      {"ModifyLSN set, RefNr 0", true, true, 0, 9, 8709},
      {"both set", true, true, 5, 9, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryCursor* cursor = Cursor();
    if (c.cacheable) cursor->MakeCacheable();
    EXPECT_EQ((cursor->States() >> acsIsCacheable) & 1, c.cacheable ? 1 : 0);
    uint8_t* record = Record(cursor);
    SetInt64(cursor, record, fRefNr, c.refNr);
    SetInt64(cursor, record, fModifyLSN, c.modifyLSN);
    TnxRecordCacheInfo info{77, 77};
    EXPECT_EQ(cursor->ExtractCacheInfo(c.record ? record : nullptr, info), c.result);
    if (c.result == 0) {
      EXPECT_EQ(info.rciRefNr, 5);
      EXPECT_EQ(info.rciModifyLSN, 9);
    }
    if (!c.cacheable) {
      EXPECT_TRUE(nxRecordCacheInfoIsEmpty(info));
    }
  }
}

TEST_F(AbstractCursorTest, ContainsAsksTheEngineOnlyForARecordWithIdentity) {
  MemoryCursor* cursor = Cursor();
  TnxLSN lsn = 0;
  TnxRefNr refNr = 0;
  EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), 8709u);
  lsn = 3;
  EXPECT_EQ(cursor->ContainsLSNRefNr(lsn, refNr), 12289u);
  EXPECT_EQ(LastMessage(), "ContainsLSNRefNr not supported by MemoryCursor");
  EXPECT_EQ(cursor->ContainsCacheInfo(nxNullRecordCacheInfo), 8709u);
  EXPECT_EQ(cursor->ContainsCacheInfo({4, 5}), 12289u);

  TnxRecordCacheInfos infos{{1, 2}};
  TnxLSN current = 99;
  EXPECT_EQ(cursor->GetDeletedRecords(0, infos, 10, &current), 12289u);
  EXPECT_TRUE(infos.empty());
  EXPECT_EQ(current, 0);
}

TEST_F(AbstractCursorTest, OperationsTheBaseDoesNotOffer) {
  MemoryCursor* cursor = Cursor();
  uint8_t bookmark[8] = {};
  struct Case {
    const char* name;
    std::function<uint32_t()> call;
  };
  const Case cases[] = {
      {"SavePath", [&] { return cursor->SavePath(); }},
      {"RestorePath", [&] { return cursor->RestorePath(); }},
      {"GetBookmarkCache", [&] { return cursor->GetBookmarkCache(bookmark, 8); }},
      {"SetToCacheBookmark", [&] { return cursor->SetToCacheBookmark(bookmark, 8); }},
      {"BookmarkCheckLocal", [&] { return cursor->BookmarkCheckLocal(bookmark, 8); }},
      {"BuildKey", [&] { return cursor->BuildKey(nullptr, nullptr, false); }},
      {"KeyToRecord", [&] { return cursor->KeyToRecord(nullptr, nullptr); }},
      {"BlobAddToCache", [&] { return cursor->BlobAddToCache({}, 0, 1, 0, nullptr); }},
      {"BlobBatchProcess", [&] {
         std::vector<uint8_t> reply;
         return cursor->BlobBatchProcess({}, reply);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.call(), 12289u);
    EXPECT_EQ(LastMessage(), std::string(c.name) + " not supported by MemoryCursor");
  }
  EXPECT_TRUE(Contains(MessageOf<EnxBaseException>([&] { cursor->RequestNestedTransactions(); }),
                       u"RequestNestedTransactions is not supported by MemoryCursor [$3001/12289]"));
  EXPECT_EQ(cursor->ascBlobRequestCache({}, fBin, 1), 12289u);
}

// ---- fields source and filters ----

TEST_F(AbstractCursorTest, FieldAccessGoesToTheFieldsDescriptor) {
  MemoryCursor* cursor = Cursor();
  uint8_t* record = Record(cursor);
  int32_t count = 12;
  cursor->FieldsDescriptor()->SetRecordField(fCount, record, &count);
  const InxFieldsSource& source = *cursor;
  EXPECT_EQ(source.GetFieldCount(), 8);
  uint16_t type = 0, size = 0, codePage = 0;
  bool isNull = true;
  const void* value = nullptr;
  ASSERT_TRUE(source.GetFieldForFilter(fCount, nullptr, record, type, size, isNull, value, codePage));
  EXPECT_EQ(type, nxtInt32);
  EXPECT_FALSE(isNull);
  EXPECT_EQ(platform::LoadLE<int32_t>(value), 12);
  EXPECT_FALSE(source.GetFieldForFilter(8, nullptr, record, type, size, isNull, value, codePage));
  EXPECT_EQ(cursor->GetFieldFromNameRedirect(u"memo"), fMemo);
  EXPECT_EQ(cursor->GetFieldFromNameRedirect(u"Missing"), -1);
  ASSERT_NE(cursor->GetFieldDescriptorRedirect(fWideMemo), nullptr);
  EXPECT_EQ(cursor->GetFieldDescriptorRedirect(fWideMemo)->GetFieldType(), nxtBlobWideMemo);
  EXPECT_EQ(cursor->GetFieldDescriptorRedirect(8), nullptr);
  EXPECT_EQ(cursor->GetFieldDescriptorRedirect(-1), nullptr);
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(record, fCount).AsInt64(), 12);
  EXPECT_TRUE(cursor->GetFieldAsVariantSelf(record, fRefNr).IsNull());
  cursor->SetFieldAsVariantSelf(record, fCount, platform::TnxVariant::FromInteger(34));
  EXPECT_EQ(cursor->GetFieldAsVariantSelf(record, fCount).AsInt64(), 34);
}

TEST_F(AbstractCursorTest, FiltersFromExpressionsAndCallbacksGoThroughTheCustomOperation) {
  MemoryCursor* cursor = Cursor();
  TnxFilterID id = 0;
  EXPECT_EQ(cursor->FilterAddExpression(std::make_shared<std::vector<uint8_t>>(), id, true), 0u);
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(cursor->FilterAddCallback(nullptr, [](void*, const uint8_t*) { return true; }, id, false), 0u);
  EXPECT_EQ(id, 2u);
  TnxKeyFilterID keyID = 0;
  EXPECT_EQ(cursor->KeyFilterAddExpression(nullptr, keyID), 0u);
  EXPECT_EQ(cursor->KeyFilterAddCallback(nullptr, [](void*, const uint8_t*) { return false; }, keyID), 0u);
  EXPECT_EQ(keyID, 4u);
  EXPECT_EQ(cursor->Calls, (std::vector<std::string>{"FilterAddCustom TnxSimpleExpressionFilterDescriptor active",
                                                      "FilterAddCustom TnxCallbackFilterDescriptor",
                                                      "KeyFilterAddCustom TnxSimpleExpressionFilterDescriptor",
                                                      "KeyFilterAddCustom TnxCallbackFilterDescriptor"}));
}

TEST_F(AbstractCursorTest, KeyOverloadsTellKeysFromRecords) {
  MemoryCursor* cursor = Cursor();
  TnxKeyByte key[8] = {};
  uint8_t* record = Record(cursor);
  cursor->SetToKey(skaEqualFirst, 1, 0, key);
  cursor->SetToKey(skaEqualFirst, 1, 0, record);
  cursor->RecordGetForKey(1, 0, key, record, true, true);
  cursor->RecordGetForKey(1, 0, record, record, true, true);
  cursor->RangeSet(1, 0, key, true, 1, 0, record, true);
  cursor->RangeSet(1, 0, record, true, 1, 0, key, true);
  cursor->RangeSet(1, 0, key, true, 1, 0, key, true);
  EXPECT_EQ(cursor->Calls,
            (std::vector<std::string>{"SetToKey key", "SetToKey record", "RecordGetForKey key",
                                      "RecordGetForKey record", "RangeSet key record", "RangeSet record key",
                                      "RangeSet key key"}));
}

// ---- blobs ----

TEST_F(AbstractCursorTest, BlobReplace) {
  struct Case {
    const char* name;
    uint32_t length;
    TnxBlobNr blobNr;
    uint32_t failCreate;
    uint32_t result;
    TnxBlobNr blobNrAfter;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"length 0 without a blob calls nothing", 0, 0, 0, 0, 0, {}},
      {"length 0 truncates an existing blob", 0, 5, 0, 0, 5, {"Truncate 5 0"}},
      {"new data without a blob creates one", 3, 0, 0, 0, 1, {"Create 4", "Write 1 0 3"}},
      {"new data over a blob truncates, then writes", 3, 5, 0, 0, 5, {"Truncate 5 0", "Write 5 0 3"}},
      {"a refused create writes nothing", 3, 0, 10254, 10254, 0, {"Create 4"}},
      {"a failed truncate writes nothing", 3, 6, 0, 11896, 6, {"Truncate 6 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryCursor* cursor = Cursor();
    cursor->Blobs[5] = "old data";
    cursor->FailCreate = c.failCreate;
    TnxBlobNr blobNr = c.blobNr;
    EXPECT_EQ(cursor->BlobReplace({}, fBin, blobNr, c.length, "abc"), c.result);
    EXPECT_EQ(blobNr, c.blobNrAfter);
    EXPECT_EQ(cursor->Calls, c.calls);
    if (c.result == 0 && c.length) {
      EXPECT_EQ(cursor->Blobs[blobNr], "abc");
    }
  }
}

TEST_F(AbstractCursorTest, BlobReadSnapshotStateMachine) {
  // The blob holds 10 bytes; reading 4 from offset 0 stops short of its
  // end, 10 from 0 or 4 from 6 reach it.
  struct Case {
    const char* name;
    TnxBlobReadSnapshotState state;
    bool needed;
    uint32_t offset, length;
    uint32_t startResult, endResult, readResult;
    TnxBlobReadSnapshotState stateAfter;
    uint32_t result;
    int starts, ends;
  };
  const Case cases[] = {
      {"one call that reads it all", brssRequestStart, true, 0, 10, 0, 0, 0, brssUnneccesary, 0, 1, 1},
      {"a first chunk keeps the snapshot", brssRequestStart, true, 0, 4, 0, 0, 0, brssStarted, 0, 1, 0},
      {"no snapshot needed", brssRequestStart, false, 0, 4, 0, 0, 0, brssUnneccesary, 0, 0, 0},
      {"no snapshot needed, read to the end", brssRequestStart, false, 0, 10, 0, 0, 0, brssUnneccesary, 0, 0, 0},
      {"the start fails", brssRequestStart, true, 0, 10, 10240, 0, 0, brssFailedToStart, 10240, 1, 0},
      {"the end fails", brssRequestStart, true, 0, 10, 0, 10241, 0, brssFailedToClose, 10241, 1, 1},
      {"a middle chunk", brssStarted, true, 0, 4, 0, 0, 0, brssStarted, 0, 0, 0},
      {"the last chunk", brssStarted, true, 6, 4, 0, 0, 0, brssClosed, 0, 0, 1},
      {"a chunk past the end", brssStarted, true, 8, 4, 0, 0, 0, brssClosed, 0, 0, 1},
      {"the last chunk, end fails", brssStarted, true, 6, 4, 0, 10241, 0, brssFailedToClose, 10241, 0, 1},
      {"a failed read ends the snapshot", brssStarted, true, 0, 4, 0, 0, 11896, brssClosed, 11896, 0, 1},
      {"close requested before the end", brssRequestClose, true, 0, 4, 0, 0, 0, brssClosed, 0, 0, 1},
      {"no snapshot, read to the end", brssUnneccesary, true, 0, 10, 0, 0, 0, brssUnneccesary, 0, 0, 0},
      {"no state, read to the end", brssNone, true, 0, 10, 0, 0, 0, brssNone, 0, 0, 0},
      {"a closed snapshot", brssClosed, true, 0, 4, 0, 0, 0, brssClosed, 9986, 0, 0},
      {"a snapshot that failed to start", brssFailedToStart, true, 0, 4, 0, 0, 0, brssFailedToStart, 9986, 0, 0},
      {"a snapshot that failed to close", brssFailedToClose, true, 0, 4, 0, 0, 0, brssFailedToClose, 9986, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryCursor* cursor = Cursor();
    cursor->Blobs[1] = "0123456789";
    cursor->Snapshot.Needed = c.needed;
    cursor->Snapshot.StartResult = c.startResult;
    cursor->Snapshot.EndResult = c.endResult;
    cursor->FailRead = c.readResult;
    TnxBlobReadSnapshotState state = c.state;
    TnxMemoryStream stream;
    uint32_t length = 0;
    EXPECT_EQ(cursor->BlobReadSnapshoted({}, fBin, 1, c.offset, c.length, stream, false, state, &length, nullptr),
              c.result);
    EXPECT_EQ(state, c.stateAfter);
    EXPECT_EQ(cursor->Snapshot.Starts, c.starts);
    EXPECT_EQ(cursor->Snapshot.Ends, c.ends);
    const bool read = c.result != 9986 && c.stateAfter != brssFailedToStart;
    EXPECT_EQ(cursor->Calls.size(), read ? 2u : 0u);  // the length, then the read
    if (read && c.readResult == 0) {
      EXPECT_EQ(length, 10u);
    }
  }
}

TEST_F(AbstractCursorTest, BlobReadSnapshotUsesTheDatabaseTransactionByDefault) {
  // The base's snapshot is a transaction of the database: started for the
  // first chunk, rolled back after the last.
  class BaseSnapshotCursor : public MemoryCursor {
  public:
    using MemoryCursor::MemoryCursor;
    bool BlobReadNeedsSnapshot(const TnxRecID& a, int32_t b, TnxBlobNr c, bool d) override {
      return TnxAbstractCursor::BlobReadNeedsSnapshot(a, b, c, d);
    }
    uint32_t BlobReadSnapshotStart() override { return TnxAbstractCursor::BlobReadSnapshotStart(); }
    uint32_t BlobReadSnapshotEnd() override { return TnxAbstractCursor::BlobReadSnapshotEnd(); }
  };
  database = Open();
  auto cursor = nxCreateServerObject<BaseSnapshotCursor>(database, 0, *engine, u"Customers", &customers);
  cursor->Blobs[1] = "0123456789";
  auto* context = static_cast<MemoryTransContext*>(database->TransContext());
  TnxBlobReadSnapshotState state = brssRequestStart;
  TnxMemoryStream stream;
  ASSERT_EQ(cursor->BlobReadSnapshoted({}, fBin, 1, 0, 4, stream, false, state, nullptr, nullptr), 0u);
  EXPECT_EQ(state, brssStarted);
  EXPECT_EQ(context->Level, 1);
  ASSERT_EQ(cursor->BlobReadSnapshoted({}, fBin, 1, 4, 6, stream, false, state, nullptr, nullptr), 0u);
  EXPECT_EQ(state, brssClosed);
  EXPECT_EQ(context->Level, 0);
  EXPECT_EQ(std::string(static_cast<const char*>(stream.Memory()), size_t(stream.GetSize())), "0123456789");
}

TEST_F(AbstractCursorTest, ExceptionsOfTheBlobEntryPoints) {
  MemoryCursor* cursor = Cursor();
  cursor->Blobs[1] = "data";
  cursor->RaiseRead = 11896;
  TnxMemoryStream stream;
  // BlobRead lets it pass and releases the lock; BlobReadSnapshoted answers
  // it as a code.
  EXPECT_THROW(cursor->BlobRead({}, fBin, 1, 0, 4, stream, false, nullptr), EnxBaseException);
  TnxBlobReadSnapshotState state = brssNone;
  EXPECT_EQ(cursor->BlobReadSnapshoted({}, fBin, 1, 0, 4, stream, false, state, nullptr, nullptr), 11896u);
  cursor->RaiseRead = 0;
  EXPECT_EQ(cursor->BlobRead({}, fBin, 1, 0, 4, stream, false, nullptr), 0u);
  uint32_t length = 0;
  EXPECT_EQ(cursor->BlobGetLength({}, fBin, 1, length, false, nullptr), 0u);
  EXPECT_EQ(length, 4u);
}

TEST_F(AbstractCursorTest, ReadFollowsNewBlobNumbers) {
  struct Case {
    const char* name;
    std::map<TnxBlobNr, TnxBlobNr> renumbered;
    std::map<TnxBlobNr, TnxBlobNr> onRead;  // named by the read alone
    bool newBlobNrRecord;
    uint32_t result;
    TnxNewBlobNr after;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"a blob that kept its number", {}, {}, true, 0, {1, false}, {"Length 1", "Read 1 0 10"}},
      {"a chain of new numbers", {{1, 2}, {2, 3}}, {}, true, 0, {3, true},
       {"Length 1", "Length 2", "Length 3", "Read 3 0 10"}},
      {"the read names a new number", {}, {{1, 3}}, true, 0, {3, true}, {"Length 1", "Read 1 0 10", "Read 3 0 10"}},
      // A, B, A: the engine goes round in a circle.
      {"numbers in a circle end", {{1, 2}, {2, 1}}, {}, true, 13058, {2, true}, {"Length 1", "Length 2"}},
      {"a circle closed by the read ends", {{1, 2}}, {{2, 1}}, true, 13058, {2, true},
       {"Length 1", "Length 2", "Read 2 0 10"}},
      {"a number naming itself ends", {{1, 1}}, {}, true, 13058, {1, false}, {"Length 1"}},
      {"no record to learn the number from", {{1, 3}}, {}, false, 13058, {}, {"Length 1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryCursor* cursor = Cursor();
    cursor->Blobs[1] = "0123456789";
    cursor->Blobs[2] = "2222222222";
    cursor->Blobs[3] = "3333333333";
    cursor->Renumbered = c.renumbered;
    cursor->RenumberedOnRead = c.onRead;
    TnxNewBlobNr newBlobNr{77, true};
    TnxBlobReadSnapshotState state = brssNone;
    TnxMemoryStream stream;
    EXPECT_EQ(cursor->BlobReadSnapshoted({}, fBin, 1, 0, 10, stream, false, state, nullptr,
                                         c.newBlobNrRecord ? &newBlobNr : nullptr),
              c.result);
    EXPECT_EQ(cursor->Calls, c.calls);
    if (c.newBlobNrRecord) {
      EXPECT_EQ(newBlobNr.nbnBlobNr, c.after.nbnBlobNr);
      EXPECT_EQ(newBlobNr.nbnSet, c.after.nbnSet);
    }
  }

}

TEST_F(AbstractCursorTest, BlobBatchApply) {
  auto reply = [](uint16_t aCount, std::vector<int64_t> aBlobNrs) {
    std::vector<uint8_t> bytes(2 + 8 * aBlobNrs.size());
    platform::StoreU16(bytes.data(), aCount);
    for (size_t i = 0; i < aBlobNrs.size(); ++i) platform::StoreLE<int64_t>(bytes.data() + 2 + 8 * i, aBlobNrs[i]);
    return bytes;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> reply;
    std::vector<uint32_t> entryResults;
    uint32_t result;
    size_t applied;
    bool memoNull;  // set null by the second entry's zero blob number
  };
  const Case cases[] = {
      {"both entries", reply(2, {11, 0}), {}, 0, 2, true},
      {"a failing first entry still applies the second", reply(2, {11, 0}), {10253, 0}, 10253, 2, true},
      {"the last failure wins", reply(2, {11, 0}), {10253, 10254}, 10254, 2, false},
      {"a reply counting fewer entries", reply(1, {11}), {}, 0, 1, false},
      {"a reply counting more than the request holds", reply(3, {11, 0, 12}), {}, 15522, 2, true},
      {"a reply counting more than it carries", reply(2, {11}), {}, 15522, 1, false},
      {"an empty reply", {}, {}, 0, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryCursor* cursor = Cursor();
    uint8_t* record = Record(cursor);
    SetInt64(cursor, record, fMemo, 5);
    TnxBlobBatchRequest request;
    request.bbrqEntries.resize(2);
    request.bbrqEntries[0].bbrqeFieldNo = fBin;
    request.bbrqEntries[1].bbrqeFieldNo = fMemo;
    cursor->EntryResults = c.entryResults;
    EXPECT_EQ(cursor->BlobBatchApply(record, request, c.reply), c.result);
    EXPECT_EQ(cursor->Calls.size(), c.applied);
    if (c.entryResults.empty() && c.applied >= 1) {
      TnxBlobNr blobNr = 0;
      bool isNull = true;
      cursor->FieldsDescriptor()->GetRecordField(fBin, record, isNull, &blobNr);
      EXPECT_FALSE(isNull);
      EXPECT_EQ(blobNr, 11);
    }
    // A zero blob number makes the field null.
    EXPECT_EQ(cursor->FieldsDescriptor()->IsRecordFieldNull(fMemo, record), c.memoNull);
  }
  MemoryCursor* cursor = Cursor();
  TnxBlobBatchRequest request;
  request.bbrqEntries.resize(1);
  EXPECT_EQ(cursor->BlobBatchApply(nullptr, request, reply(1, {3})), 0u);  // no record: nothing to set
}

TEST_F(AbstractCursorTest, MarkedBlobs) {
  MemoryCursor* many = Cursor(u"ManyBlobs");
  auto words = [](std::vector<int32_t> aWords) { return std::make_shared<const TnxMarkedBlobsByBlobIdx>(aWords); };
  TnxMarkedBlobsRef marked = words({1, 1});
  ASSERT_EQ(many->BlobsSetMarked(marked), 0u);
  EXPECT_EQ(many->MarkedBlobs(), marked);  // shared, not copied
  // 33 blob fields need two words: one is refused and changes nothing.
  EXPECT_EQ(many->BlobsSetMarked(words({-1})), 9986u);
  EXPECT_EQ(many->BlobsSetMarked(nullptr), 9986u);
  EXPECT_EQ(many->MarkedBlobs(), marked);
  EXPECT_EQ(many->BlobsSetMarked(words({0, 0, 0})), 0u);
  EXPECT_EQ(many->MarkedBlobs(), nullptr);

  MemoryCursor* plainCursor = Cursor(u"Plain");  // no blob fields: no words needed
  EXPECT_EQ(plainCursor->BlobsSetMarked(nullptr), 0u);
  marked = words({1});
  EXPECT_EQ(plainCursor->BlobsSetMarked(marked), 0u);
  EXPECT_EQ(plainCursor->MarkedBlobs(), marked);
}

TEST_F(AbstractCursorTest, GetBlobs) {
  MemoryCursor* cursor = Cursor();
  uint8_t* record = Record(cursor);
  TnxBlobNr blobNrs[4] = {};
  uint16_t count = 4;
  EXPECT_EQ(cursor->GetBlobs(record, false, count, blobNrs), 0u);
  EXPECT_EQ(count, 0);  // all null

  SetInt64(cursor, record, fBin, 21);
  SetInt64(cursor, record, fMemo, 0);  // not null, but no blob
  SetInt64(cursor, record, fWideMemo, 24);
  count = 1;
  EXPECT_EQ(cursor->GetBlobs(record, false, count, blobNrs), 9985u);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(blobNrs[0], 21);
  count = 4;
  EXPECT_EQ(cursor->GetBlobs(record, false, count, nullptr), 9985u);
  count = 4;
  EXPECT_EQ(cursor->GetBlobs(nullptr, false, count, blobNrs), 9986u);

  TnxBlobNrs all{99};
  EXPECT_EQ(cursor->GetBlobs(record, false, all), 0u);
  EXPECT_EQ(all, (TnxBlobNrs{21, 24}));
  // Marked only: nothing marked answers nothing, even without a record.
  EXPECT_EQ(cursor->GetBlobs(nullptr, true, all), 0u);
  EXPECT_TRUE(all.empty());
  ASSERT_EQ(cursor->BlobsSetMarked(std::make_shared<const TnxMarkedBlobsByBlobIdx>(TnxMarkedBlobsByBlobIdx{0b1010})),
            0u);  // blob indexes 1 (Memo) and 3 (WideMemo)
  EXPECT_EQ(cursor->GetBlobs(record, true, all), 0u);
  EXPECT_EQ(all, (TnxBlobNrs{24}));
  all = {1, 2};
  EXPECT_EQ(cursor->GetBlobs(nullptr, true, all), 9986u);
  EXPECT_TRUE(all.empty());
}

TEST_F(AbstractCursorTest, BlobFieldsByVariantRoundTrip) {
  struct Case {
    const char* name;
    int32_t field;
    platform::TnxVariant value;
    std::string stored;  // the blob's bytes
    platform::TnxVariant readBack;
  };
  const uint8_t bytes[] = {0, 1, 0xFF};
  const Case cases[] = {
      {"binary", fBin, nxBytesToVariant(bytes, 3), std::string("\0\1\xFF", 3), nxBytesToVariant(bytes, 3)},
      {"graphic", fGraphic, nxBytesToVariant(bytes, 3), std::string("\0\1\xFF", 3), nxBytesToVariant(bytes, 3)},
      {"memo in code page 1252", fMemo, platform::TnxVariant::FromString(u"Grüße €"), "Gr\xFC\xDF" "e \x80",
       platform::TnxVariant::FromOleStr(u"Grüße €")},
      // Characters the code page lacks do not survive a memo.
      {"memo outside the code page", fMemo, platform::TnxVariant::FromString(u"Ωx"), "?x",
       platform::TnxVariant::FromOleStr(u"?x")},
      {"wide memo keeps every character", fWideMemo, platform::TnxVariant::FromString(u"Ωx"),
       std::string("\xA9\x03x\0", 4), platform::TnxVariant::FromOleStr(u"Ωx")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryCursor* cursor = Cursor();
    uint8_t* record = Record(cursor);
    cursor->SetFieldAsVariantSelf(record, c.field, c.value);
    EXPECT_EQ(cursor->Calls,
              (std::vector<std::string>{"Create " + std::to_string(c.field), "Write 1 0 " + std::to_string(c.stored.size()),
                                        "Truncate 1 " + std::to_string(c.stored.size())}));
    EXPECT_EQ(cursor->Blobs[1], c.stored);
    EXPECT_FALSE(cursor->FieldsDescriptor()->IsRecordFieldNull(c.field, record));
    EXPECT_TRUE(cursor->GetFieldAsVariantSelf(record, c.field) == c.readBack);

    // Written again: the same blob, shorter data.
    cursor->Calls.clear();
    cursor->SetFieldAsVariantSelf(record, c.field, c.field == fWideMemo || c.field == fMemo
                                                       ? platform::TnxVariant::FromString(u"z")
                                                       : nxBytesToVariant(bytes, 1));
    EXPECT_EQ(cursor->Calls.size(), 2u);  // write, truncate
    EXPECT_EQ(cursor->Blobs[1].size(), c.field == fWideMemo ? 2u : 1u);

    // Null deletes the blob and nulls the field.
    cursor->Calls.clear();
    cursor->SetFieldAsVariantSelf(record, c.field, platform::TnxVariant::Null());
    EXPECT_EQ(cursor->Calls, (std::vector<std::string>{"Delete 1"}));
    EXPECT_TRUE(cursor->FieldsDescriptor()->IsRecordFieldNull(c.field, record));
    EXPECT_TRUE(cursor->GetFieldAsVariantSelf(record, c.field).IsNull());
  }
}

TEST_F(AbstractCursorTest, BlobFieldsByVariantEdges) {
  MemoryCursor* cursor = Cursor();
  uint8_t* record = Record(cursor);
  // Empty values on a null field call nothing.
  for (const platform::TnxVariant& empty :
       {platform::TnxVariant(), platform::TnxVariant::Null(), platform::TnxVariant::FromString(u"")}) {
    cursor->SetFieldAsVariantSelf(record, fMemo, empty);
    cursor->SetFieldAsVariantSelf(record, fWideMemo, empty);
  }
  EXPECT_TRUE(cursor->Calls.empty());
  EXPECT_EQ(MessageOf<EnxBaseException>([&] {
              cursor->SetFieldAsVariantSelf(record, fBin, platform::TnxVariant::FromInteger(3));
            }).empty(),
            false);

  // A blob of length 0 reads as Null, not as an empty text.
  cursor->Blobs[7] = "";
  SetInt64(cursor, record, fMemo, 7);
  EXPECT_TRUE(cursor->GetFieldAsVariantSelf(record, fMemo).IsNull());
  // Blob errors raise.
  SetInt64(cursor, record, fBin, 99);
  try {
    cursor->GetFieldAsVariantSelf(record, fBin);
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 11896);
  }
  cursor->FailCreate = 10254;
  try {
    cursor->SetFieldAsVariantSelf(record, fGraphic, nxBytesToVariant(reinterpret_cast<const uint8_t*>("ab"), 2));
    ADD_FAILURE() << "no exception";
  } catch (const EnxBaseException& e) {
    EXPECT_EQ(e.ErrorCode(), 10254);
  }
  EXPECT_TRUE(cursor->FieldsDescriptor()->IsRecordFieldNull(fGraphic, record));
}

// ---- the database's table streams ----

TEST_F(AbstractCursorTest, TableStreamsOpenTheirCursorAndFreeItOnEveryPath) {
  enum class Op { Read, Write };
  struct Case {
    const char* name;
    Op op;
    const char16_t* table;
    InnerOutcome inner;
    uint32_t refuse;
    std::u16string allowSystem;
    uint32_t result;
    bool opened;
  };
  const Case cases[] = {
      {"read", Op::Read, u"Customers", InnerOutcome::Succeed, 0, u"", 0, true},
      {"write", Op::Write, u"Customers", InnerOutcome::Succeed, 0, u"1", 0, true},
      {"read fails", Op::Read, u"Customers", InnerOutcome::Fail, 0, u"", kInnerFailure, true},
      {"write raises", Op::Write, u"Customers", InnerOutcome::Raise, 0, u"", nxeTableDoesNotExist, true},
      {"the cursor does not open", Op::Read, u"Customers", InnerOutcome::Succeed, 10021, u"", 10021, false},
      {"no such table", Op::Write, u"Missing", InnerOutcome::Succeed, 0, u"", nxeTableDoesNotExist, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryDatabase* db = Open(700);
    if (!c.allowSystem.empty()) db->OptionSet(nxAllowSystemTableAccessOption, c.allowSystem);
    engine->Inner = c.inner;
    engine->RefuseCursors = c.refuse;
    engine->CursorOpens.clear();
    engine->StoredBytes = "stored";
    const int freedBefore = engine->CursorsFreed;
    TnxMemoryStream stream;
    uint32_t result = 0;
    if (c.op == Op::Read) {
      result = db->TableStreamRead(c.table, u"pw", u"Notes", stream);
      if (c.result == 0) {
        EXPECT_EQ(std::string(static_cast<const char*>(stream.Memory()), 6), "stored");
      }
    } else {
      stream.Write("new", 3);
      result = db->TableStreamWrite(c.table, u"pw", u"Notes", stream);
      EXPECT_EQ(engine->StoredBytes, c.result == 0 ? "new" : "stored");
    }
    EXPECT_EQ(result, c.result);
    ASSERT_EQ(engine->CursorOpens.size(), 1u);
    const CursorOpenCall& open = engine->CursorOpens[0];
    EXPECT_EQ(open.Table, c.table);
    EXPECT_EQ(open.OpenMode, c.op == Op::Read ? omReadOnly : omReadWrite);
    EXPECT_EQ(open.ShareMode, smShared);
    EXPECT_EQ(open.Timeout, 700u);
    EXPECT_EQ(open.IndexName, u"");
    EXPECT_EQ(open.IndexID, -1);
    EXPECT_EQ(open.AllowSystem, c.allowSystem == u"1");
    EXPECT_EQ(open.FilterTimeout, 500u);
    EXPECT_EQ(engine->CursorsFreed - freedBefore, c.opened ? 1 : 0);
    EXPECT_TRUE(db->Cursors().empty());
    EXPECT_EQ(engine->CursorCount(), 0);
    db->Free();
  }
  engine->RefuseCursors = 0;
  engine->Inner = InnerOutcome::Succeed;
}

TEST_F(AbstractCursorTest, CacheOpenAndCursorSourcesAreNotSupported) {
  database = Open();
  TnxAbstractCursor* cursor = reinterpret_cast<TnxAbstractCursor*>(1);
  EXPECT_EQ(database->CursorCacheOpen(cursor, u"Customers", u"", omReadOnly, smShared, 0, u"", 0, false, 0, 0),
            12289u);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(LastMessage(), "CursorCacheOpen not supported by MemoryDatabase");
  InxDatabaseCursorSourceControl* control = reinterpret_cast<InxDatabaseCursorSourceControl*>(1);
  EXPECT_EQ(database->RegisterCursorSource(nullptr, control), 12289u);
  EXPECT_EQ(control, nullptr);
  EXPECT_EQ(LastMessage(), "RegisterCursorSource not supported by MemoryDatabase");
}

}  // namespace
}  // namespace revurov::testing
