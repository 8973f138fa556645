// The remote database and transaction context end to end over loopback
// TCP: how they come and go, their timeouts, and the table lists with every
// fault a server's reply can bring.
#include "engine/remote_database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dictionary/comp_key_engines.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/mapper_descriptors.h"
#include "engine/engine_extender.h"
#include "engine/remote_task_info.h"
#include "engine/remote_trans_context.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "platform/text.h"
#include "support/exception_message.h"
#include "support/remote_engine_fixture.h"
#include "support/tagged_bytes.h"
#include "support/test_engine.h"
#include "support/within.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

std::vector<std::u16string> Lines(const platform::TStringList& aList) {
  std::vector<std::u16string> lines;
  for (int i = 0; i < aList.Count(); ++i) lines.push_back(aList[i]);
  return lines;
}

std::vector<uint8_t> U32s(std::initializer_list<uint32_t> aValues) {
  std::vector<uint8_t> out;
  for (uint32_t v : aValues) {
    uint8_t b[4];
    platform::StoreU32(b, v);
    out.insert(out.end(), b, b + 4);
  }
  return out;
}

class RemoteDatabaseTest : public RemoteEngineFixture {
protected:
  RemoteDatabaseTest() {
    handler->Configure([&](TTestCommandHandler& h) { h.Aliases = {{u"Alpha", u"/data/a"}}; });
    session = Open();
  }
  TnxRemoteDatabase* OpenDatabase() {
    TnxAbstractDatabase* database = nullptr;
    EXPECT_EQ(session->DatabaseOpen(database, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 5000), 0u);
    return static_cast<TnxRemoteDatabase*>(database);
  }

  TnxRemoteSession* session = nullptr;
};

TEST_F(RemoteDatabaseTest, TheDatabaseOwnsTheContextTheServerMadeForIt) {
  const struct {
    const char* name;
    bool serverMadeContext;
    Ids openSent;
    bool contextOwnsID;
    Ids freeSent;
  } rows[] = {
      {"the server made a context: nothing closes it", true, {nxnmSessionDatabaseOpen}, false, {nxnmDatabaseClose}},
      {"no context: the database asks for one and closes it after itself", false,
       {nxnmSessionDatabaseOpen, nxnmSessionTransContextCreate}, true, {nxnmDatabaseClose, nxnmTransContextClose}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Configure([&](TTestCommandHandler& h) { h.OpenWithContext = row.serverMadeContext; });
    size_t before = SentCount(session);
    TnxRemoteDatabase* database = OpenDatabase();
    ASSERT_NE(database, nullptr);
    EXPECT_EQ(SentBy(session, before), row.openSent);
    EXPECT_TRUE(database->OwnsTransContext());
    auto* context = static_cast<TnxRemoteTransContext*>(database->TransContext());
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->OwnsID(), row.contextOwnsID);
    EXPECT_EQ(context->Timeout(), 5000u);
    EXPECT_EQ(session->TransContexts().size(), 1u);
    before = SentCount(session);
    database->Free();
    EXPECT_EQ(SentBy(session, before), row.freeSent);
    EXPECT_TRUE(session->TransContexts().empty()) << "the context went with its database";
  }
}

TEST_F(RemoteDatabaseTest, TheDatabaseIdentifiesItselfWithTheServersID) {
  handler->Configure([&](TTestCommandHandler& h) { h.OpenWithContext = true; });
  TnxRemoteDatabase* database = OpenDatabase();
  ASSERT_NE(database, nullptr);
  const uint32_t id = database->RemoteID();
  const uint32_t contextID = database->TransContext()->RemoteID();
  EXPECT_NE(id, contextID);
  EXPECT_TRUE(database->IsRemote());
  EXPECT_EQ(database->ServerVersion(), 47501);
  platform::TStringList tables;
  ASSERT_EQ(database->TableGetList(tables), 0u);
  EXPECT_EQ(handler->Received().back().data, U32s({id})) << "the raw database ID";
  database->Free();
  EXPECT_EQ(handler->Received().back().data, U32s({id}));
}

TEST_F(RemoteDatabaseTest, TimeoutChangesGoOutOneByOneOrInTheOpenBatch) {
  TnxRemoteDatabase* database = OpenDatabase();
  ASSERT_NE(database, nullptr);
  const uint32_t id = database->RemoteID();
  const uint32_t contextID = database->TransContext()->RemoteID();
  size_t before = SentCount(session);
  database->SetTimeout(250);
  database->SetTimeout(250);
  ASSERT_EQ(SentBy(session, before), (Ids{nxnmTransContextSetTimeout, nxnmDatabaseSetTimeout}))
      << "the database hands its timeout to the context it owns; an unchanged value sends nothing";
  const auto received = handler->Received();
  EXPECT_EQ(received[received.size() - 2].data, U32s({contextID, 250}));
  EXPECT_EQ(received.back().data, U32s({id, 250}));

  before = SentCount(session);
  ASSERT_EQ(session->BeginTimeoutBatch(), 1);
  database->SetTimeout(300);
  EXPECT_EQ(SentCount(session), before) << "held in the batch";
  EXPECT_EQ(session->EndTimeoutBatch(), 0);
  EXPECT_EQ(SentBy(session, before), Ids{nxnmTimeoutBatch});
}

TEST_F(RemoteDatabaseTest, TableListsComeInTheServersOrder) {
  std::vector<std::u16string> fifty;
  for (int i = 50; i > 0; --i) fifty.push_back(u"Table" + platform::Utf8ToUtf16(std::to_string(i * 37 % 101)));
  const std::vector<std::u16string> three = {u"a table name longer than the others", u"b", u"Table_0001"};
  // One list read again and again: each reading holds the server's names
  // alone, none of the lines or objects before it.
  const struct {
    const char* name;
    std::vector<std::u16string> names;
  } rows[] = {{"none", {}}, {"fifty, unsorted", fifty}, {"three after fifty", three}, {"none after three", {}},
              {"fifty again", fifty}};
  platform::TStringList list;
  list.Add(u"stale");
  int tag = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Configure([&](TTestCommandHandler& h) { h.Tables[u"Alpha"] = row.names; });
    TnxRemoteDatabase* database = OpenDatabase();
    int changes = 0;
    list.OnChange = [&changes](platform::TStringList&) { ++changes; };
    for (int i = 0; i < list.Count(); ++i) list.SetObjects(i, &tag);
    ASSERT_EQ(database->TableGetList(list), 0u);
    EXPECT_EQ(Lines(list), row.names);
    for (int i = 0; i < list.Count(); ++i) EXPECT_EQ(list.Objects(i), nullptr) << i;
    EXPECT_EQ(changes, 1) << "one change for the whole list";
    database->Free();
  }
}

TEST_F(RemoteDatabaseTest, ChangedTablesAreAppended) {
  TnxRemoteDatabase* database = OpenDatabase();
  platform::TStringList list;
  list.Add(u"kept");
  ASSERT_EQ(database->GetChangedTables(list), 0u);
  EXPECT_EQ(Lines(list), std::vector<std::u16string>{u"kept"});
  handler->Configure([&](TTestCommandHandler& h) { h.ChangedTables = {u"b", u"a"}; });
  ASSERT_EQ(database->GetChangedTables(list), 0u);
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"kept", u"b", u"a"}));
  handler->Script(nxnmDatabaseGetChangedTables, Injected(TReplyKind::rkNoListEnd));
  EXPECT_NE(database->GetChangedTables(list), 0u);
  EXPECT_EQ(Lines(list), (std::vector<std::u16string>{u"kept", u"b", u"a"})) << "a broken reply adds nothing";
}

TEST_F(RemoteDatabaseTest, EveryFaultOfTheTableListsReplyEndsInACodeAndAnEmptyList) {
  handler->Configure([&](TTestCommandHandler& h) { h.Tables[u"Alpha"] = {u"one", u"two"}; });
  const struct {
    const char* name;
    TScriptedReply reply;
    uint32_t result;  // 1: any reader error
    bool listed;
    const char16_t* text;  // in the thread's message
  } rows[] = {
      {"an error with the server's text", Fixed(nxeInvalidHandle, {}, u"no such database here"), nxeInvalidHandle,
       false, u"no such database here"},
      {"a list without its end", Injected(TReplyKind::rkNoListEnd), 1, false, nullptr},
      {"a reply under another ID", Injected(TReplyKind::rkOtherID, 0x224), nxeMessageUnrecognized, false, nullptr},
      {"a multi-reply", Injected(TReplyKind::rkMultiReply), 0, true, nullptr},
      {"a closed connection", Injected(TReplyKind::rkClose), nxeLostConnection, false, nullptr},
  };
  TnxRemoteDatabase* database = OpenDatabase();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    handler->Script(nxnmDatabaseTableGetList, row.reply);
    platform::TStringList list;
    list.Add(u"stale");
    const uint32_t result = database->TableGetList(list);
    if (row.result == 1) {
      EXPECT_NE(result, 0u);
    } else {
      EXPECT_EQ(result, row.result);
    }
    EXPECT_EQ(Lines(list), row.listed ? (std::vector<std::u16string>{u"one", u"two"}) : std::vector<std::u16string>{});
    if (row.text) {
      uint32_t code = 0;
      std::u16string message;
      EnxBaseException::GetLastConvertedException(code, message);
      EXPECT_NE(message.find(row.text), std::u16string::npos) << platform::Utf16ToUtf8(message);
    }
    handler->Script(nxnmDatabaseTableGetList, {});
    EXPECT_EQ(database->TableGetList(list), 0u) << "the next request goes through";
  }
}

TEST_F(RemoteDatabaseTest, AReplyHeldPastTheTimeoutDropsTheConnection) {
  TnxRemoteDatabase* database = OpenDatabase();
  database->SetTimeout(1);
  handler->Script(nxnmDatabaseTableGetList, Injected(TReplyKind::rkLate));
  platform::TStringList list;
  EXPECT_EQ(database->TableGetList(list), nxeLostConnection);
  EXPECT_TRUE(list.Count() == 0);
  EXPECT_EQ(client->ClientConnectionCount(), 0) << "the connection was dropped";
  handler->ReleaseLate();
  handler->Script(nxnmDatabaseTableGetList, {});
  EXPECT_EQ(database->TableGetList(list), 0u) << "a new connection serves the next request";
}

TEST_F(RemoteDatabaseTest, AReplyFiftyMillisecondsLateIsTakenWithinTheGraceOrWithoutLimit) {
  handler->Configure([](TTestCommandHandler& h) { h.Tables[u"Alpha"] = {u"one"}; });
  const struct {
    const char* name;
    uint32_t timeout;
  } rows[] = {
      {"1 ms and the grace", 1},
      {"a timeout whose grace passes 32 bits", 0xFFFFFC19u},
      {"0: no limit", 0},
      {"$FFFFFFFF: no limit", 0xFFFFFFFFu},
  };
  TnxRemoteDatabase* database = OpenDatabase();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    database->SetTimeout(row.timeout);
    handler->Script(nxnmDatabaseTableGetList, Injected(TReplyKind::rkLate));
    handler->Configure([](TTestCommandHandler& h) { h.ResetLate(); });
    std::thread releaser([this] {
      Within(std::chrono::seconds(10), [this] { return handler->LateHeld() > 0; });
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      handler->ReleaseLate();
    });
    platform::TStringList list;
    EXPECT_EQ(database->TableGetList(list), 0u);
    releaser.join();
    EXPECT_EQ(Lines(list), std::vector<std::u16string>{u"one"});
  }
}

TEST_F(RemoteDatabaseTest, TheOperationsOfLaterWorkAnswerNotSupportedUnsent) {
  TnxRemoteDatabase* database = OpenDatabase();
  const size_t before = SentCount(session);
  std::u16string alias = u"stale";
  EXPECT_EQ(database->GetAlias(alias), nxeCapabilityNotSupported);
  EXPECT_EQ(alias, u"");
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteDatabaseTest, AVetoOfTheTableListsIsTheResultAndNothingIsSent) {
  TnxRemoteDatabase* database = OpenDatabase();
  std::vector<std::u16string> log;
  nxCreateEngineExtender<TestExtender>(nullptr, database, TnxEngineActions{eaTableGetList, eaGetChangedTables},
                                       std::map<TnxEngineAction, uint32_t>{{eaTableGetList, 77},
                                                                           {eaGetChangedTables, 78}},
                                       &log);
  const size_t before = SentCount(session);
  platform::TStringList list;
  list.Add(u"stale");
  EXPECT_EQ(database->TableGetList(list), 77u);
  EXPECT_EQ(list.Count(), 0) << "cleared before the veto";
  list.Add(u"kept");
  EXPECT_EQ(database->GetChangedTables(list), 78u);
  EXPECT_EQ(Lines(list), std::vector<std::u16string>{u"kept"});
  EXPECT_EQ(SentCount(session), before);
  EXPECT_EQ(log.size(), 2u);
}

// ---- table maintenance, existence, streams, options, path, free space ----

// A table with an integer key, an index on it and a stream descriptor: what
// a build needs.
std::unique_ptr<TnxDataDictionary> BuildableDictionary() {
  auto dictionary = std::make_unique<TnxDataDictionary>();
  dictionary->FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, false);
  auto* index = dictionary->IndicesDescriptor()->AddIndex(u"ByID", 0, idNone);
  static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(u"ID");
  dictionary->AddStreamDescriptor();
  return dictionary;
}

class RemoteDatabaseTablesTest : public RemoteDatabaseTest {
protected:
  RemoteDatabaseTablesTest() {
    handler->Configure([&](TTestCommandHandler& h) { h.Tables[u"Alpha"] = {u"Orders", u"Old", u"Gone", u"Empty"}; });
    database = OpenDatabase();
  }
  TaggedBytes LastPayload(TnxMsgID aMsgID) const {
    TaggedBytes payload;
    for (const auto& r : handler->Received())
      if (r.msgID == aMsgID) payload = r.data;
    return payload;
  }
  int32_t DbID() const { return static_cast<int32_t>(database->RemoteID()); }
  TaggedBytes RawDbID() const { return U32s({database->RemoteID()}); }

  TnxRemoteDatabase* database = nullptr;
};

TEST_F(RemoteDatabaseTablesTest, EveryRequestCarriesItsPayloadAsLaidOut) {
  auto dictionary = BuildableDictionary();
  auto source = BuildableDictionary();
  TnxFieldDescriptor* field = source->FieldsDescriptor().AddField(u"Name", u"", nxtInt32, 0, 0, false);
  TnxIndexDescriptor* index = source->IndicesDescriptor()->IndexDescriptor(0);
  TnxBaseTableMapperDescriptor mapper;
  mapper.SetMapTo(u"Orders");
  TnxAbstractDatabase* target = OpenDatabase();
  ASSERT_NE(target, nullptr);
  const int32_t targetID = static_cast<int32_t>(target->RemoteID());
  const uint32_t v = static_cast<uint32_t>(session->ServerVersion());
  TnxMemoryStream payload;
  payload.WriteBuffer("xyz", 3);
  TnxAbstractTaskInfo* task = nullptr;
  auto freeTask = [&] {
    if (task) task->Free();
    task = nullptr;
  };

  const struct {
    const char* name;
    TnxMsgID msgID;
    std::function<uint32_t()> call;
    std::function<void(TnxWriter&)> expected;  // nil: raw database ID
  } rows[] = {
      {"TableBuild", 0x211, [&] { return database->TableBuild(true, u"NewT", u"pw", dictionary.get(), tsTempDatabase, false); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteBoolean(true);
         w.WriteInteger(int32_t{tsTempDatabase});
         w.WriteString(u"pw");
         w.WriteString(u"NewT");
         dictionary->WriteToWriter(w, v);
       }},
      {"TableAddIndex: the password first", 0x215, [&] { return database->TableAddIndex(u"Orders", u"pw", index, true); },
       [&](TnxWriter& w) {
         w.WriteString(u"pw");
         w.WriteBoolean(true);
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         index->SaveStandalone(w, v);
       }},
      {"TableChangePassword", 0x21B, [&] { return database->TableChangePassword(u"Orders", u"old", u"new"); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"old");
         w.WriteString(u"new");
       }},
      {"TableBackup", 0x21C, [&] { return database->TableBackup(u"Orders", u"pw", target, task); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
         w.WriteInteger(targetID);
       }},
      {"TableVerifyChecksum", 0x21D,
       [&] { return database->TableVerifyChecksum(u"Orders", u"pw", true, false, task); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
         w.WriteBoolean(true);
         w.WriteBoolean(false);
       }},
      {"TableAddField: the password first", 0x21E, [&] { return database->TableAddField(u"Orders", u"pw", field); },
       [&](TnxWriter& w) {
         w.WriteString(u"pw");
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         field->SaveStandalone(w, v);
       }},
      {"TableAutoIncGet: the password first", 0x224,
       [&] {
         uint32_t value = 0;
         const uint32_t result = database->TableAutoIncGet(u"Orders", u"pw", value);
         EXPECT_EQ(value, 41u);
         return result;
       },
       [&](TnxWriter& w) {
         w.WriteString(u"pw");
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
       }},
      {"GetFreespace", 0x251,
       [&] {
         int64_t space = 0;
         const uint32_t result = database->GetFreespace(space);
         EXPECT_EQ(space, 0x123456789A);
         return result;
       },
       nullptr},
      {"GetPath", 0x253,
       [&] {
         std::u16string path;
         const uint32_t result = database->GetPath(path);
         EXPECT_EQ(path, u"/data/a");
         return result;
       },
       nullptr},
      {"TableStreamWrite", 0x272, [&] { return database->TableStreamWrite(u"Orders", u"pw", u"s", payload); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
         w.WriteString(u"s");
         w.WriteInteger(int64_t{3});
         w.Write("xyz", 3);
       }},
      {"TableStreamRead", 0x271,
       [&] {
         TnxMemoryStream read;
         read.WriteBuffer("old content", 11);
         const uint32_t result = database->TableStreamRead(u"Orders", u"pw", u"s", read);
         EXPECT_EQ(read.GetSize(), 3);
         EXPECT_EQ(read.Position(), 0);
         return result;
       },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
         w.WriteString(u"s");
       }},
      {"OptionClear", 0x2F3, [&] { return database->OptionClear(u"K"); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"K");
       }},
      {"OptionSet", 0x2F4, [&] { return database->OptionSet(u"K", u"V"); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"K");
         w.WriteString(u"V");
       }},
      {"OptionGet", 0x2F5,
       [&] {
         std::u16string value;
         const uint32_t result = database->OptionGet(u"K", value);
         EXPECT_EQ(value, u"V");
         return result;
       },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"K");
       }},
      {"OptionGetEffective", 0x2F6,
       [&] {
         std::u16string value;
         return database->OptionGetEffective(u"K", value);
       },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"K");
       }},
      {"OptionList", 0x2F7,
       [&] {
         platform::TStringList list;
         const uint32_t result = database->OptionList(list);
         EXPECT_EQ(Lines(list), std::vector<std::u16string>{u"K=V"});
         return result;
       },
       [&](TnxWriter& w) { w.WriteInteger(DbID()); }},
      {"OptionListEffective", 0x2F8,
       [&] {
         platform::TStringList list;
         return database->OptionListEffective(list);
       },
       [&](TnxWriter& w) { w.WriteInteger(DbID()); }},
      {"TablePack", 0x712, [&] { return database->TablePack(u"Orders", u"pw", task); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
       }},
      {"TableRebuildIndex", 0x713,
       [&] { return database->TableRebuildIndex(u"Orders", u"pw", u"ByID", 0, task); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
         w.WriteString(u"ByID");
         w.WriteInteger(0);
       }},
      {"TableRestructure", 0x714,
       [&] { return database->TableRestructure(u"Orders", u"pw", dictionary.get(), &mapper, false, task); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
         dictionary->WriteToWriter(w, v);
         mapper.WriteToWriter(w, v);
       }},
      {"TableDropIndex", 0x716, [&] { return database->TableDropIndex(u"Orders", u"pw", u"ByID", 1); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
         w.WriteString(u"ByID");
         w.WriteInteger(1);
       }},
      {"TableRename", 0x717, [&] { return database->TableRename(u"Old", u"Sales", u"pw"); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Old");
         w.WriteString(u"Sales");
         w.WriteString(u"pw");
       }},
      {"TableDelete", 0x718, [&] { return database->TableDelete(u"Gone", u"pw"); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Gone");
         w.WriteString(u"pw");
       }},
      {"TableEmpty", 0x719, [&] { return database->TableEmpty(u"Empty", u"pw"); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Empty");
         w.WriteString(u"pw");
       }},
      {"TableRecover", 0x71A, [&] { return database->TableRecover(u"Orders", u"pw", task); },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
       }},
      {"TableExists", 0x721,
       [&] {
         bool exists = false;
         const uint32_t result = database->TableExists(u"Orders", u"pw", exists, false);
         EXPECT_TRUE(exists);
         return result;
       },
       [&](TnxWriter& w) {
         w.WriteInteger(DbID());
         w.WriteString(u"Orders");
         w.WriteString(u"pw");
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const size_t before = SentCount(session);
    EXPECT_EQ(row.call(), 0u);
    EXPECT_EQ(SentBy(session, before), Ids{row.msgID});
    EXPECT_EQ(LastPayload(row.msgID), row.expected ? Written(row.expected) : RawDbID());
    freeTask();
  }
  freeTask();
  EXPECT_EQ(handler->TableStream(u"Orders", u"s"), (TaggedBytes{'x', 'y', 'z'}));
  EXPECT_EQ(handler->ObjectOption(nxnmDatabaseOptionBase, database->RemoteID(), u"K"), u"V");
  platform::TStringList tables;
  ASSERT_EQ(database->TableGetList(tables), 0u);
  EXPECT_EQ(Lines(tables), (std::vector<std::u16string>{u"Orders", u"Sales", u"Empty", u"NewT"}));
  target->Free();
}

TEST_F(RemoteDatabaseTablesTest, RefusedNamesAndArgumentsSendNothing) {
  auto dictionary = BuildableDictionary();
  TnxBaseTableMapperDescriptor mapper;
  TnxAbstractTaskInfo* task = nullptr;
  bool exists = true;
  uint32_t value = 1;
  TnxRemoteSession* other = Open();
  TnxAbstractDatabase* foreign = nullptr;
  ASSERT_EQ(other->DatabaseOpen(foreign, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 5000), 0u);
  const struct {
    const char* name;
    std::function<uint32_t()> call;
    uint32_t code;
  } rows[] = {
      {"build: an empty name is invalid", [&] { return database->TableBuild(false, u"", u"", dictionary.get(), tsPersistent, false); }, nxeInvalidTableName},
      {"build: a system table needs the permission", [&] { return database->TableBuild(false, u"$Sys", u"", dictionary.get(), tsPersistent, false); }, nxeInvalidTableName},
      {"build: no dictionary", [&] { return database->TableBuild(false, u"T", u"", nullptr, tsPersistent, false); }, nxeInvalidParameter},
      {"add index: empty", [&] { return database->TableAddIndex(u"", u"", nullptr, false); }, nxeTableDoesNotExist},
      {"add field: a bad path part", [&] { return database->TableAddField(u"T:a*b", u"", nullptr); }, nxeInvalidTableName},
      {"add field: no field", [&] { return database->TableAddField(u"T", u"", nullptr); }, nxeInvalidParameter},
      {"change password: a path is no table name", [&] { return database->TableChangePassword(u"T:x", u"", u""); }, nxeInvalidTableName},
      {"change password: empty", [&] { return database->TableChangePassword(u"", u"", u""); }, nxeTableDoesNotExist},
      {"backup: empty", [&] { return database->TableBackup(u"", u"", database, task); }, nxeTableDoesNotExist},
      {"backup: no target", [&] { return database->TableBackup(u"T", u"", nullptr, task); }, nxeInvalidParameter},
      {"backup: a target of another session", [&] { return database->TableBackup(u"T", u"", foreign, task); }, nxeDifferentSessions},
      {"verify: empty", [&] { return database->TableVerifyChecksum(u"", u"", false, false, task); }, nxeTableDoesNotExist},
      {"auto-inc: empty", [&] { return database->TableAutoIncGet(u"", u"", value); }, nxeTableDoesNotExist},
      {"pack: a bad name", [&] { return database->TablePack(u"a*b", u"", task); }, nxeInvalidTableName},
      {"rebuild: a bad index name", [&] { return database->TableRebuildIndex(u"T", u"", u"a*b", 0, task); }, nxeInvalidIndexName},
      {"restructure: no dictionary", [&] { return database->TableRestructure(u"T", u"", nullptr, &mapper, false, task); }, nxeInvalidParameter},
      {"restructure: no mapper", [&] { return database->TableRestructure(u"T", u"", dictionary.get(), nullptr, false, task); }, nxeInvalidParameter},
      {"restructure: a system table", [&] { return database->TableRestructure(u"$Sys", u"", dictionary.get(), &mapper, false, task); }, nxeInvalidTableName},
      {"drop index: a bad index name", [&] { return database->TableDropIndex(u"T", u"", u"a*b", 0); }, nxeInvalidIndexName},
      {"rename: from empty", [&] { return database->TableRename(u"", u"New", u""); }, nxeTableDoesNotExist},
      {"rename: to empty", [&] { return database->TableRename(u"Orders", u"", u""); }, nxeInvalidTableName},
      {"delete: empty", [&] { return database->TableDelete(u"", u""); }, nxeTableDoesNotExist},
      {"empty: empty", [&] { return database->TableEmpty(u"", u""); }, nxeTableDoesNotExist},
      {"recover: empty", [&] { return database->TableRecover(u"", u"", task); }, nxeTableDoesNotExist},
      {"exists: empty answers False and 0", [&] { return database->TableExists(u"", u"", exists, false); }, 0},
      {"exists: a system table needs the permission", [&] { return database->TableExists(u"$Sys", u"", exists, false); }, nxeInvalidTableName},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const size_t before = SentCount(session);
    task = reinterpret_cast<TnxAbstractTaskInfo*>(&exists);
    exists = true;
    value = 1;
    EXPECT_EQ(row.call(), row.code);
    EXPECT_EQ(SentCount(session), before);
    EXPECT_EQ(task == nullptr || task == reinterpret_cast<TnxAbstractTaskInfo*>(&exists), true);
    if (std::string(row.name).rfind("exists", 0) == 0) {
      EXPECT_FALSE(exists);
    }
    if (std::string(row.name).rfind("auto-inc", 0) == 0) {
      EXPECT_EQ(value, 0u);
    }
  }
  // The reason travels with the code.
  uint32_t code = 0;
  std::u16string message;
  EXPECT_EQ(database->TableRestructure(u"T", u"", dictionary.get(), nullptr, false, task), nxeInvalidParameter);
  EXPECT_EQ(task, nullptr);
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_HAS_TEXT(message, u"aMapperDesc must be assigned for TableRestructure");
  other->Free();
}

TEST_F(RemoteDatabaseTablesTest, AnInvalidDictionaryFailsTheBuildBeforeTheName) {
  TnxDataDictionary noFields;
  const size_t before = SentCount(session);
  const uint32_t result = database->TableBuild(false, u"", u"", &noFields, tsPersistent, false);
  EXPECT_NE(result, 0u);
  EXPECT_NE(result, nxeInvalidTableName);
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteDatabaseTablesTest, ARelativeNameWithDotDotPassesThePathCheck) {
  bool exists = true;
  EXPECT_EQ(database->TableExists(u"Orders:..:Orders", u"", exists, false), 0u);
  EXPECT_FALSE(exists) << "the model knows no such table";
  EXPECT_EQ(SentBy(session).back(), nxnmDatabaseTableExists);
}

TEST_F(RemoteDatabaseTablesTest, ChecksumsNeedAServerAbove30899) {
  const struct {
    int32_t version;
    uint32_t result;
  } rows[] = {{30899, nxeIncompatibleVersion}, {30900, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.version);
    handler->Configure([&](TTestCommandHandler& h) { h.ServerVersion = row.version; });
    TnxRemoteSession* old = Open();
    TnxAbstractDatabase* opened = nullptr;
    ASSERT_EQ(old->DatabaseOpen(opened, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 5000), 0u);
    const size_t before = SentCount(old);
    TnxAbstractTaskInfo* task = nullptr;
    EXPECT_EQ(opened->TableVerifyChecksum(u"Orders", u"", false, false, task), row.result);
    if (row.result == 0) {
      EXPECT_EQ(SentBy(old, before), Ids{nxnmDatabaseTableVerifyChecksum});
      ASSERT_NE(task, nullptr);
      task->Free();
    } else {
      EXPECT_EQ(SentCount(old), before);
      EXPECT_EQ(task, nullptr);
      uint32_t code = 0;
      std::u16string message;
      EnxBaseException::GetLastConvertedException(code, message);
      EXPECT_EQ(code, nxeIncompatibleVersion);
      const std::u16string shown = EnxBaseException(nxeIncompatibleVersion).Message();
      EXPECT_HAS_TEXT(shown, u"Server is incompatible version.");
      EXPECT_HAS_TEXT(shown, u"\nMinimum required Version: 3.09.00");
    }
    old->Free();
  }
}

TEST_F(RemoteDatabaseTablesTest, TaskRepliesMakeTaskInfosWithTheRightPriority) {
  database->SetRemoteThreadPriority(3);
  const struct {
    const char* name;
    std::function<uint32_t(TnxAbstractTaskInfo*&)> call;
    int32_t priority;
  } rows[] = {
      {"pack: the session's", [&](TnxAbstractTaskInfo*& t) { return database->TablePack(u"Orders", u"", t); }, 0},
      {"rebuild: the session's", [&](TnxAbstractTaskInfo*& t) { return database->TableRebuildIndex(u"Orders", u"", u"", 0, t); }, 0},
      {"backup: the session's", [&](TnxAbstractTaskInfo*& t) { return database->TableBackup(u"Orders", u"", database, t); }, 0},
      {"verify: the database's", [&](TnxAbstractTaskInfo*& t) { return database->TableVerifyChecksum(u"Orders", u"", false, true, t); }, 3},
      {"recover: the database's", [&](TnxAbstractTaskInfo*& t) { return database->TableRecover(u"Orders", u"", t); }, 3},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TnxAbstractTaskInfo* task = nullptr;
    ASSERT_EQ(row.call(task), 0u);
    auto* remote = dynamic_cast<TnxRemoteTaskInfo*>(task);
    ASSERT_NE(remote, nullptr);
    EXPECT_EQ(remote->RemoteThreadPriority(), row.priority);
    EXPECT_EQ(remote->Session(), session);
    EXPECT_EQ(handler->OpenTasks().count(remote->TaskID()), 1u);
    task->Free();
  }
}

TEST_F(RemoteDatabaseTablesTest, RawRepliesShorterThanTheirLayoutAreRefused) {
  TnxAbstractTaskInfo* task = reinterpret_cast<TnxAbstractTaskInfo*>(this);
  handler->Script(nxnmDatabaseTablePack, Fixed(0, {1, 2, 3}));
  EXPECT_EQ(database->TablePack(u"Orders", u"", task), nxeMessageUnrecognized);
  EXPECT_EQ(task, nullptr);
  handler->Script(nxnmDatabaseTablePack, Fixed(nxeTableDoesNotExist, {1, 2, 3, 4}));
  EXPECT_EQ(database->TablePack(u"Orders", u"", task), nxeTableDoesNotExist);
  EXPECT_EQ(task, nullptr);

  uint32_t value = 9;
  handler->Script(nxnmDatabaseTableAutoIncGet, Fixed(0, {1, 2, 3}));
  EXPECT_EQ(database->TableAutoIncGet(u"Orders", u"", value), nxeMessageUnrecognized);
  EXPECT_EQ(value, 0u);

  int64_t space = 9;
  handler->Script(nxnmDatabaseGetFreespace, Fixed(0, {1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(database->GetFreespace(space), nxeMessageUnrecognized);
  EXPECT_EQ(space, 0);

  bool exists = true;
  handler->Script(nxnmDatabaseTableExists, Fixed(0));
  EXPECT_EQ(database->TableExists(u"Orders", u"", exists, false), nxeMessageUnrecognized);
  EXPECT_FALSE(exists);

  const struct {
    TaggedBytes reply;
    std::u16string path;
  } paths[] = {{{'/', 0, 'd', 0, 'a', 0, 't', 0, 'a', 0}, u"/data"}, {{'/', 0, 'x', 0, 'y'}, u"/x"}, {{}, u""}};
  for (const auto& row : paths) {
    handler->Script(nxnmDatabaseGetPath, Fixed(0, row.reply));
    std::u16string path = u"stale";
    EXPECT_EQ(database->GetPath(path), 0u);
    EXPECT_EQ(path, row.path);
  }
}

TEST_F(RemoteDatabaseTablesTest, TheSessionAsksTheDatabaseOnOlderServersAndItselfOnNewer) {
  const struct {
    int32_t version;
    Ids sent;
  } rows[] = {
      {47001, {nxnmSessionDatabaseOpen, nxnmSessionTransContextCreate, nxnmDatabaseTableExists, nxnmDatabaseClose,
               nxnmTransContextClose}},
      {47002, {nxnmSessionTableExists}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.version);
    handler->Configure([&](TTestCommandHandler& h) { h.ServerVersion = row.version; });
    TnxRemoteSession* other = Open();
    const size_t before = SentCount(other);
    bool exists = false;
    EXPECT_EQ(other->TableExists(u"Alpha", u"Orders", u"", exists, false), 0u);
    EXPECT_EQ(SentBy(other, before), row.sent);
    // The handler's session request answers False; the database's knows the table.
    EXPECT_EQ(exists, row.version == 47001);
    other->Free();
  }
}

TEST_F(RemoteDatabaseTablesTest, TableStreamsHaveRequestsOfTheirOwnOnlyAbove47001) {
  handler->Configure([&](TTestCommandHandler& h) { h.ServerVersion = 47001; });
  TnxRemoteSession* old = Open();
  TnxAbstractDatabase* opened = nullptr;
  ASSERT_EQ(old->DatabaseOpen(opened, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 5000), 0u);
  const size_t before = SentCount(old);
  TnxMemoryStream stream;
  opened->TableStreamRead(u"Orders", u"", u"s", stream);
  const Ids sent = SentBy(old, before);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent[0], nxnmDatabaseCursorOpen) << "through a cursor";
  EXPECT_EQ(std::count(sent.begin(), sent.end(), nxnmDatabaseTableStreamRead), 0);
  old->Free();

  // The feature switched off keeps a newer server on the cursor road too.
  nxSetClientFeatures(nxAllClientFeatures & ~(1u << cfMessageReduction));
  const size_t now = SentCount(session);
  database->TableStreamRead(u"Orders", u"", u"s", stream);
  const Ids road = SentBy(session, now);
  EXPECT_EQ(std::count(road.begin(), road.end(), nxnmDatabaseCursorOpen), 1);
  EXPECT_EQ(std::count(road.begin(), road.end(), nxnmDatabaseTableStreamRead), 0);
}

TEST_F(RemoteDatabaseTablesTest, TheExplicitSystemPermissionFollowsTheOption) {
  const size_t before = SentCount(session);
  EXPECT_FALSE(database->ExplicitAllowSystem());
  EXPECT_EQ(SentCount(session), before) << "not set here: no request";
  ASSERT_EQ(database->OptionSet(u"allowSystemTableAccess", u"1"), 0u);
  EXPECT_TRUE(database->ExplicitAllowSystem());
  EXPECT_EQ(SentBy(session, before), (Ids{0x2F4, 0x2F5}));
  ASSERT_EQ(database->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"0"), 0u);
  const size_t cleared = SentCount(session);
  EXPECT_FALSE(database->ExplicitAllowSystem());
  EXPECT_EQ(SentCount(session), cleared);

  // A failed set changes nothing.
  handler->Script(0x2F4, Fixed(nxeInvalidHandle));
  EXPECT_EQ(database->OptionSet(u"ALLOWSYSTEMTABLEACCESS", u"1"), nxeInvalidHandle);
  EXPECT_FALSE(database->ExplicitAllowSystem());

  // Without message reduction the server is always asked.
  nxSetClientFeatures(nxAllClientFeatures & ~(1u << cfMessageReduction));
  const size_t asked = SentCount(session);
  EXPECT_FALSE(database->ExplicitAllowSystem());
  EXPECT_EQ(SentBy(session, asked), Ids{0x2F5});
}

TEST_F(RemoteDatabaseTablesTest, OnlyACacheDatabaseIsTakenAsOne) {
  TnxAbstractDatabase* candidates[] = {nullptr, database};
  for (TnxAbstractDatabase* candidate : candidates) {
    EXPECT_EQ(database->SetCacheDatabase(candidate), nxeInvalidHandle);
    uint32_t code = 0;
    std::u16string message;
    EnxBaseException::GetLastConvertedException(code, message);
    EXPECT_HAS_TEXT(message, u"Database is not a CacheDatabase");
    EXPECT_EQ(database->CacheDatabase(), nullptr);
  }
}

TEST_F(RemoteDatabaseTablesTest, ExtendersHearTheTableOperationsAndMayVetoThem) {
  std::vector<std::u16string> log;
  auto* extender = nxCreateEngineExtender<TestExtender>(
      nullptr, database, TnxEngineActions{eaTableDelete, eaTableExists, eaTablePack},
      std::map<TnxEngineAction, uint32_t>{{eaTablePack, 55}}, &log);
  bool exists = false;
  ASSERT_EQ(database->TableExists(u"Orders", u"", exists, false), 0u);
  EXPECT_EQ(extender->lastArgs, 2) << "name and the answer";
  ASSERT_EQ(database->TableDelete(u"Gone", u""), 0u);
  EXPECT_EQ(log.size(), 4u) << "before and after each";
  const size_t before = SentCount(session);
  TnxAbstractTaskInfo* task = nullptr;
  EXPECT_EQ(database->TablePack(u"Orders", u"", task), 55u);
  EXPECT_EQ(task, nullptr);
  EXPECT_EQ(SentCount(session), before);
  handler->Script(nxnmDatabaseTableDelete, Fixed(nxeTableDoesNotExist));
  EXPECT_EQ(database->TableDelete(u"Gone", u""), nxeTableDoesNotExist);
  EXPECT_EQ(log.size(), 6u) << "a failed request has no after";
}

}  // namespace
}  // namespace revurov::testing
