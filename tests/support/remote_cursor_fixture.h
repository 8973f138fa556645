// A remote cursor over loopback TCP on a table the test command handler
// holds rows of: an integer key "ID" with an index "ByID" (index 1, after
// the table's sequential access index), an integer and a blob field. Rows are built as the client builds them (records, keys of
// the index's key engine, bookmarks of its bookmark handler).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "dictionary/comp_key_engines.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/key_engine.h"
#include "engine/remote_cursor.h"
#include "engine/remote_database.h"
#include "lowlevel/streams/memory_stream.h"
#include "support/remote_engine_fixture.h"
#include "support/tagged_bytes.h"

namespace revurov::testing {

class RemoteCursorFixture : public RemoteEngineFixture {
protected:
  explicit RemoteCursorFixture(TServing aServing = TServing::Scripted) : RemoteEngineFixture(aServing) {
    table = std::make_shared<TnxDataDictionary>();
    table->FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
    table->FieldsDescriptor().AddField(u"Amount", u"", nxtInt32, 0, 0, false);
    table->FieldsDescriptor().AddField(u"Memo", u"", nxtBlob, 0, 0, false);
    auto* index = table->IndicesDescriptor()->AddIndex(u"ByID", 0, idNone);
    static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(u"ID");
    keyEngine = TnxBaseKeyEngine::CreateFor(*index->KeyDescriptor());
    bookmarks = std::make_unique<TnxBookmarkHandler>(kByID, keyEngine.get());
    TnxMemoryStream stream(-1);
    table->WriteToStream(stream, nxRemoteClientVersion);
    const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
    handler->Configure([&](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}};
      h.CursorTables[u"Orders"] = {TaggedBytes(bytes, bytes + stream.GetSize()), table->Guid(), table->CurrentID(),
                                   kByID, -1};
    });
  }
  ~RemoteCursorFixture() override {
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
  static constexpr int32_t kByID = 1;

  // Connects to a server of aVersion and opens a cursor on "ByID".
  TnxRemoteCursor* ConnectAndOpen(int32_t aVersion = 47501) {
    Connect(aVersion);
    TnxAbstractCursor* cursor = nullptr;
    EXPECT_EQ(database->CursorOpen(cursor, u"Orders", u"pw", omReadWrite, smShared, 3000, u"", kByID, false, 0, 500,
                                   nullptr),
              0u);
    return static_cast<TnxRemoteCursor*>(cursor);
  }

  int32_t RecordLength() const { return table->FieldsDescriptor().RecordLength(); }
  // A record whose ID is aID and Amount aAmount.
  std::vector<uint8_t> Record(int32_t aID, int32_t aAmount = 0) const {
    std::vector<uint8_t> record(static_cast<size_t>(RecordLength()), 0);
    table->FieldsDescriptor().SetRecordField(0, record.data(), &aID);
    table->FieldsDescriptor().SetRecordField(1, record.data(), &aAmount);
    return record;
  }
  std::vector<uint8_t> Key(int32_t aID) const {
    const std::vector<uint8_t> record = Record(aID);
    TnxScratchKey key(*keyEngine);
    EXPECT_EQ(keyEngine->BuildKey(record.data(), key.Get(), 0, true), 0u);
    return std::vector<uint8_t>(key.Get(), key.Get() + keyEngine->KeyLength());
  }
  std::vector<uint8_t> Bookmark(int32_t aID) const {
    std::vector<uint8_t> bookmark(bookmarks->GetBookmarkSize());
    const std::vector<uint8_t> key = Key(aID);
    bookmarks->WriteBookmark(bookmark.data(), ippOnKey, aID, key.data());
    return bookmark;
  }
  // The handler's table: records with IDs aFirst, aFirst + 10, ... (aCount).
  void Rows(int aCount, int32_t aFirst = 10) {
    TTestCommandHandler::TCursorRows rows;
    for (int i = 0; i < aCount; ++i) {
      const int32_t id = aFirst + 10 * i;
      rows.records.push_back(Record(id, id * 2));
      rows.keys.push_back(Key(id));
      rows.bookmarks.push_back(Bookmark(id));
    }
    rows.indexNames = {std::u16string(nxSequentialAccessIndexName), u"ByID"};
    handler->Configure([&](TTestCommandHandler& h) { h.CursorRows[u"Orders"] = std::move(rows); });
  }
  // The ID in a record buffer.
  int32_t IDOf(const uint8_t* aRecord) const {
    int32_t id = 0;
    bool isNull = false;
    table->FieldsDescriptor().GetRecordField(0, aRecord, isNull, &id);
    return id;
  }
  // The last request the server saw with aMsgID.
  TaggedBytes LastPayload(TnxMsgID aMsgID) const {
    TaggedBytes payload;
    for (const auto& r : handler->Received())
      if (r.msgID == aMsgID) payload = r.data;
    return payload;
  }

  std::shared_ptr<TnxDataDictionary> table;
  std::unique_ptr<TnxBaseKeyEngine> keyEngine;
  std::unique_ptr<TnxBookmarkHandler> bookmarks;
  TnxRemoteSession* session = nullptr;
  TnxRemoteDatabase* database = nullptr;
};

class RemoteCursorModes : public RemoteCursorFixture, public ::testing::WithParamInterface<TServing> {
protected:
  RemoteCursorModes() : RemoteCursorFixture(GetParam()) {}
};

}  // namespace revurov::testing
