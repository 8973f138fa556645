// The remote session's operations end to end over loopback TCP.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_extender.h"
#include "engine/remote_database.h"
#include "engine/remote_session.h"
#include "engine/remote_trans_context.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/module.h"
#include "platform/text.h"
#include "support/remote_engine_fixture.h"
#include "support/test_engine.h"
#include "support/within.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

std::vector<std::u16string> AliasNames(const TnxAliasDescriptors& aList) {
  std::vector<std::u16string> names;
  for (const auto& entry : aList) names.push_back(entry->adAlias + u"=" + entry->adPath);
  return names;
}

class RemoteSessionOperations : public RemoteEngineFixture {
protected:
  RemoteSessionOperations() {
    handler->Configure([](TTestCommandHandler& h) {
      h.Aliases = {{u"Alpha", u"/data/a"}, {u"Bad ", u"/data/b"}, {u"$Sys", u"/data/s"}};
    });
  }
};

TEST_F(RemoteSessionOperations, LogInAsksTheUserAndTellsTheServerOfTheClient) {
  const struct {
    const char16_t* user;
    const char16_t* password;
    uint32_t result;
  } rows[] = {{u"admin", u"secret", 0}, {u"admin", u"wrong", nxeUnknownUserOrPassword},
              {u"nobody", u"secret", nxeUnknownUserOrPassword}};
  for (const auto& row : rows) {
    SCOPED_TRACE(platform::Utf16ToUtf8(std::u16string(row.user) + u"/" + row.password));
    TnxAbstractServerObject* opened = nullptr;
    EXPECT_EQ(engine->SessionOpenEx(opened, row.user, row.password, u"here", 5000, nxRemoteClientVersion), row.result);
    EXPECT_EQ(opened != nullptr, row.result == 0);
    if (!opened) continue;
    auto* session = static_cast<TnxRemoteSession*>(opened);
    serverSessions[session] = handler->LastSession();
    EXPECT_EQ(session->ServerVersion(), 47501);
    EXPECT_EQ(SentBy(session), Ids{nxnmSessionOptionSet});
    const std::u16string info = handler->SessionOption(ServerSession(session), u"_CurrentClientInfo");
    EXPECT_EQ(info.rfind(platform::Utf8ToUtf16(platform::ProgramPath()), 0), 0u) << platform::Utf16ToUtf8(info);
    session->Free();
  }
}

TEST_F(RemoteSessionOperations, AliasListsLeaveOutBadNamesAndComeFromTheCacheOnlyWhileItHolds) {
  const struct {
    const char* name;
    bool cache;
    bool failedAddBetween;
    size_t listings;  // $104 requests for the two listings
  } rows[] = {
      {"no cache: each listing asks", false, false, 2},
      {"cache: the second listing is served locally", true, false, 1},
      {"cache: a failed AliasAdd makes it stale", true, true, 2},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    engine->SetCacheAliases(row.cache);
    TnxRemoteSession* session = Open();
    TnxAliasDescriptors list;
    list.push_back(std::make_unique<TnxAliasDescriptor>(u"Kept", u"/k"));
    ASSERT_EQ(session->AliasGetList(list), 0u);
    EXPECT_EQ(AliasNames(list), (std::vector<std::u16string>{u"Kept=/k", u"Alpha=/data/a", u"$Sys=/data/s"}));
    if (row.failedAddBetween) {
      EXPECT_EQ(session->AliasAdd(u"Alpha", u"/again", false), nxeInvalidAliasName);
    }
    TnxAliasDescriptors again;
    ASSERT_EQ(session->AliasGetList(again), 0u);
    EXPECT_EQ(AliasNames(again), (std::vector<std::u16string>{u"Alpha=/data/a", u"$Sys=/data/s"}));
    size_t listings = 0;
    for (TnxMsgID id : SentBy(session)) listings += id == nxnmSessionAliasGetList;
    EXPECT_EQ(listings, row.listings);
    session->Free();
  }
}

// Names through a sink, as the session component takes them.
struct NameLog : TnxAliasNameSink {
  void AliasName(std::u16string_view aName) override { names.emplace_back(aName); }
  std::vector<std::u16string> names;
};

TEST_F(RemoteSessionOperations, AliasNamesAloneAreTheListsNames) {
  const struct {
    const char* name;
    bool cache;
    size_t listings;  // $104 requests for two name listings
  } rows[] = {
      {"no cache: read from the reply", false, 2},
      {"cache: filled once, then served locally", true, 1},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    engine->SetCacheAliases(row.cache);
    TnxRemoteSession* session = Open();
    for (int round = 0; round < 2; ++round) {
      NameLog log;
      ASSERT_EQ(session->AliasGetNames(log), 0u);
      EXPECT_EQ(log.names, (std::vector<std::u16string>{u"Alpha", u"$Sys"})) << "the bad name left out";
    }
    size_t listings = 0;
    for (TnxMsgID id : SentBy(session)) listings += id == nxnmSessionAliasGetList;
    EXPECT_EQ(listings, row.listings);
    EXPECT_EQ(session->AliasCacheValid(), row.cache);
    session->Free();
  }
}

TEST_F(RemoteSessionOperations, AliasNamesOfAReplyThatBreaksOffFail) {
  for (const bool cache : {false, true}) {
    SCOPED_TRACE(cache ? "cache" : "no cache");
    engine->SetCacheAliases(cache);
    handler->Script(nxnmSessionAliasGetList, Injected(TReplyKind::rkNoListEnd));
    TnxRemoteSession* session = Open();
    NameLog log;
    EXPECT_NE(session->AliasGetNames(log), 0u);
    EXPECT_FALSE(session->AliasCacheValid());
    handler->Script(nxnmSessionAliasGetList, {});
    NameLog again;
    EXPECT_EQ(session->AliasGetNames(again), 0u) << "the next listing goes through";
    EXPECT_EQ(again.names, (std::vector<std::u16string>{u"Alpha", u"$Sys"}));
    session->Free();
  }
}

TEST_F(RemoteSessionOperations, AnAliasChangeOnOneSessionMakesEverySessionsCacheStale) {
  engine->SetCacheAliases(true);
  TnxRemoteSession* first = Open();
  TnxRemoteSession* second = Open();
  TnxAliasDescriptors list;
  ASSERT_EQ(first->AliasGetList(list), 0u);
  ASSERT_EQ(second->AliasGetList(list), 0u);
  ASSERT_TRUE(second->AliasCacheValid());
  EXPECT_EQ(first->AliasAdd(u"Delta", u"/data/d", true), 0u);
  EXPECT_FALSE(second->AliasCacheValid());
  std::u16string path;
  EXPECT_EQ(second->AliasGetPath(u"delta", path), 0u) << "asked the server, letter case ignored";
  EXPECT_EQ(path, u"/data/d");
}

TEST_F(RemoteSessionOperations, AliasPathsFromTheCacheOrTheServer) {
  const struct {
    const char* name;
    bool cache;
    const char16_t* alias;
    uint32_t result;
    const char16_t* path;
    bool asks;
  } rows[] = {
      {"server: known", false, u"alpha", 0, u"/data/a", true},
      {"server: unknown", false, u"Omega", nxeUnknownDatabase, u"", true},
      {"cache: known, letter case ignored", true, u"ALPHA", 0, u"/data/a", false},
      {"cache: not cached is unknown without asking", true, u"Omega", nxeUnknownDatabase, u"", false},
      {"empty name", false, u"", nxeUnknownDatabase, u"", false},
      {"trailing space", false, u"Alpha ", nxeInvalidAliasName, u"", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    engine->SetCacheAliases(row.cache);
    TnxRemoteSession* session = Open();
    TnxAliasDescriptors list;
    if (row.cache) {
      ASSERT_EQ(session->AliasGetList(list), 0u);
    }
    const size_t before = SentCount(session);
    std::u16string path = u"stale";
    EXPECT_EQ(session->AliasGetPath(row.alias, path), row.result);
    EXPECT_EQ(path, row.path);
    EXPECT_EQ(SentCount(session) - before, row.asks ? 1u : 0u);
    session->Free();
  }
}

TEST_F(RemoteSessionOperations, AliasChangesAreCheckedThenSent) {
  TnxRemoteSession* session = Open();
  EXPECT_EQ(session->AliasAdd(u"", u"/x", false), nxeInvalidAliasName) << "empty is no name to add";
  EXPECT_EQ(session->AliasDelete(u""), nxeUnknownDatabase);
  EXPECT_EQ(session->AliasModify(u"", u"New", u"/n", false), nxeUnknownDatabase);
  EXPECT_EQ(session->AliasAdd(u"Bad ", u"/x", false), nxeInvalidAliasName);
  EXPECT_EQ(SentBy(session, 1), Ids{}) << "nothing sent for refused names";

  // Each listing after a change shows it (the server keeps no stale list).
  const auto listed = [&] {
    TnxAliasDescriptors list;
    EXPECT_EQ(session->AliasGetList(list), 0u);
    return AliasNames(list);
  };
  using Names = std::vector<std::u16string>;
  EXPECT_EQ(listed(), (Names{u"Alpha=/data/a", u"$Sys=/data/s"}));
  EXPECT_EQ(session->AliasAdd(u"Delta", u"/data/d", true), 0u);
  EXPECT_EQ(listed(), (Names{u"Alpha=/data/a", u"$Sys=/data/s", u"Delta=/data/d"}));
  EXPECT_EQ(session->AliasModify(u"Delta", u"Epsilon", u"/data/e", false), 0u);
  EXPECT_EQ(listed(), (Names{u"Alpha=/data/a", u"$Sys=/data/s", u"Epsilon=/data/e"}));
  EXPECT_EQ(session->AliasDelete(u"Alpha"), 0u);
  EXPECT_EQ(session->AliasDelete(u"Alpha"), nxeUnknownDatabase) << "the server's answer";
  EXPECT_EQ(listed(), (Names{u"$Sys=/data/s", u"Epsilon=/data/e"}));
  handler->Configure([](TTestCommandHandler& h) { h.Aliases.emplace_back(u"Zeta", u"/data/z"); });
  EXPECT_EQ(listed(), (Names{u"$Sys=/data/s", u"Epsilon=/data/e", u"Zeta=/data/z"}));
}

TEST_F(RemoteSessionOperations, AnAliasListThatBreaksOffAddsNothing) {
  engine->SetCacheAliases(true);
  handler->Script(nxnmSessionAliasGetList, Injected(TReplyKind::rkNoListEnd));
  TnxRemoteSession* session = Open();
  TnxAliasDescriptors list;
  EXPECT_NE(session->AliasGetList(list), 0u);
  EXPECT_TRUE(list.empty());
  EXPECT_FALSE(session->AliasCacheValid());
  // What the caller's list held before stays, and only that.
  list.push_back(std::make_unique<TnxAliasDescriptor>(u"Kept", u"/k"));
  EXPECT_NE(session->AliasGetList(list), 0u);
  EXPECT_EQ(AliasNames(list), (std::vector<std::u16string>{u"Kept=/k"}));
}

TEST_F(RemoteSessionOperations, TheSessionsOptionsLiveAtTheServer) {
  TnxRemoteSession* session = Open();
  EXPECT_EQ(session->OptionSet(u"Colour", u"blue"), 0u);
  std::u16string value;
  EXPECT_EQ(session->OptionGet(u"Colour", value), 0u);
  EXPECT_EQ(value, u"blue");
  EXPECT_EQ(session->OptionGetEffective(u"colour", value), 0u);
  EXPECT_EQ(value, u"blue");
  platform::TStringList options;
  EXPECT_EQ(session->OptionList(options), 0u);
  EXPECT_GE(options.IndexOf(u"Colour=blue"), 0);
  EXPECT_EQ(session->OptionClear(u"Colour"), 0u);
  EXPECT_EQ(session->OptionGet(u"Colour", value), 0u);
  EXPECT_EQ(value, u"");

  handler->Script(nxnmSessionOptionGet, Fixed(8712));
  value = u"stale";
  EXPECT_EQ(session->OptionGet(u"Colour", value), 8712u);
  EXPECT_EQ(value, u"") << "a failed request leaves the value empty";
}

TEST_F(RemoteSessionOperations, DatabaseOpenChecksOnlyNamedAliases) {
  handler->Configure([&](TTestCommandHandler& h) { h.Tables[u"/somewhere"] = {u"t"}; });
  const struct {
    const char* name;
    const char16_t* type;
    const char16_t* alias;
    uint32_t result;
    bool sent;
  } rows[] = {
      {"Name, empty", u"Name", u"", nxeUnknownDatabase, false},
      {"Name, bad", u"Name", u"Bad ", nxeInvalidAliasName, false},
      {"Name, unknown to the server", u"Name", u"Omega", nxeUnknownDatabase, true},
      {"Name, known", u"Name", u"alpha", 0, true},
      {"Path, empty", u"Path", u"", 0, true},
      {"Path", u"Path", u"/somewhere", 0, true},
      {"name is case-sensitive: unchecked", u"name", u"", 0, true},
  };
  TnxRemoteSession* session = Open();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const size_t before = SentCount(session);
    TnxAbstractDatabase* database = reinterpret_cast<TnxAbstractDatabase*>(1);
    EXPECT_EQ(session->DatabaseOpen(database, row.type, row.alias, nullptr, omReadWrite, smShared, 3000), row.result);
    EXPECT_EQ(database != nullptr, row.result == 0);
    const Ids sent = SentBy(session, before);
    EXPECT_EQ(!sent.empty() && sent[0] == nxnmSessionDatabaseOpen, row.sent);
    if (database) database->Free();
  }
}

TEST_F(RemoteSessionOperations, DatabaseOpenSendsItsArgumentsTagged) {
  TnxRemoteSession* session = Open();
  TnxAbstractTransContext* context = nullptr;
  ASSERT_EQ(session->TransContextCreate(context, 4000), 0u);
  TnxAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Name", u"Alpha", context, omReadOnly, smExclusive, 3000), 0u);
  const std::vector<TReceivedRequest> received = handler->Received();
  const TReceivedRequest& open = received.back();
  ASSERT_EQ(open.msgID, nxnmSessionDatabaseOpen);
  std::vector<uint8_t> payload = open.data;
  TnxStaticMemoryStream stream(payload.data(), static_cast<int64_t>(payload.size()));
  TnxReader reader(stream);
  EXPECT_EQ(reader.ReadString(), u"Name");
  EXPECT_EQ(reader.ReadString(), u"Alpha");
  EXPECT_EQ(static_cast<uint32_t>(reader.ReadInteger()), context->RemoteID());
  EXPECT_EQ(reader.ReadInteger(), static_cast<int32_t>(omReadOnly));
  EXPECT_EQ(reader.ReadInteger(), static_cast<int32_t>(smExclusive));
  EXPECT_EQ(reader.ReadInteger(), 3000);
  EXPECT_EQ(database->TransContext(), context);
  EXPECT_FALSE(database->OwnsTransContext());
}

TEST_F(RemoteSessionOperations, AContextOfAnotherSessionIsRefusedUnsent) {
  TnxRemoteSession* session = Open();
  TnxRemoteSession* other = Open();
  TnxAbstractTransContext* foreign = nullptr;
  ASSERT_EQ(other->TransContextCreate(foreign, 1000), 0u);
  const size_t before = SentCount(session);
  TnxAbstractDatabase* database = nullptr;
  EXPECT_EQ(session->DatabaseOpen(database, u"Name", u"Alpha", foreign, omReadWrite, smShared, 1000),
            nxeDifferentSessions);
  EXPECT_EQ(database, nullptr);
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteSessionOperations, TransContextCreateSendsTheTimeoutAndOwnsTheServersID) {
  TnxRemoteSession* session = Open();
  TnxAbstractTransContext* context = nullptr;
  ASSERT_EQ(session->TransContextCreate(context, 0x01020304), 0u);
  ASSERT_NE(context, nullptr);
  const TReceivedRequest create = handler->Received().back();
  EXPECT_EQ(create.msgID, nxnmSessionTransContextCreate);
  EXPECT_EQ(create.data, (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_TRUE(static_cast<TnxRemoteTransContext*>(context)->OwnsID());
  EXPECT_EQ(context->Timeout(), 0x01020304u);
  const uint32_t id = context->RemoteID();
  context->Free();
  const TReceivedRequest close = handler->Received().back();
  EXPECT_EQ(close.msgID, nxnmTransContextClose);
  EXPECT_EQ(close.data, (std::vector<uint8_t>{uint8_t(id), uint8_t(id >> 8), uint8_t(id >> 16), uint8_t(id >> 24)}));
}

TEST_F(RemoteSessionOperations, RawRepliesShorterThanTheirLayoutAreRefused) {
  TnxRemoteSession* session = Open();
  handler->Script(nxnmSessionTransContextCreate, Fixed(0, {1, 2, 3}));
  TnxAbstractTransContext* context = nullptr;
  EXPECT_EQ(session->TransContextCreate(context, 1000), nxeMessageUnrecognized);
  EXPECT_EQ(context, nullptr);
  EXPECT_TRUE(session->TransContexts().empty());

  handler->Script(nxnmSessionTableExists, Fixed(0));
  bool exists = true;
  EXPECT_EQ(session->TableExists(u"Alpha", u"t", u"", exists, false), nxeMessageUnrecognized);
  EXPECT_FALSE(exists);
}

TEST_F(RemoteSessionOperations, TableRequestsOfTheirOwnOnlyOnServersAbove47001) {
  const struct {
    int32_t version;
    bool ownRequests;
  } rows[] = {{47501, true}, {47004, true}, {47002, true}, {47001, false}, {44999, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.version);
    handler->Configure([&](TTestCommandHandler& h) { h.ServerVersion = row.version; });
    TnxRemoteSession* session = Open();
    EXPECT_EQ(session->ServerVersion(), row.version);
    EXPECT_EQ(session->TimeoutBatchSupported(), row.version > 47004);
    const size_t before = SentCount(session);
    bool exists = true;
    const uint32_t result = session->TableExists(u"Alpha", u"t", u"", exists, false);
    const Ids sent = SentBy(session, before);
    if (row.ownRequests) {
      EXPECT_EQ(result, 0u);
      EXPECT_EQ(sent, Ids{nxnmSessionTableExists});
    } else {
      // Through a temporary database and its own request.
      EXPECT_EQ(result, 0u);
      ASSERT_FALSE(sent.empty());
      EXPECT_EQ(sent[0], nxnmSessionDatabaseOpen);
      EXPECT_NE(std::find(sent.begin(), sent.end(), TnxMsgID{0x721}), sent.end());
    }
    EXPECT_FALSE(exists);
    session->Free();
  }
}

TEST_F(RemoteSessionOperations, TableStreamsTravelWhole) {
  TnxRemoteSession* session = Open();
  handler->Script(nxnmSessionTableStreamRead, Fixed(0, {'a', 'b', 'c'}));
  TnxMemoryStream stream;
  stream.WriteBuffer("old content", 11);
  ASSERT_EQ(session->TableStreamRead(u"Alpha", u"t", u"", u"s", stream), 0u);
  EXPECT_EQ(stream.GetSize(), 3);
  EXPECT_EQ(stream.Position(), 0);

  TnxMemoryStream out;
  out.WriteBuffer("xyz", 3);
  ASSERT_EQ(session->TableStreamWrite(u"Alpha", u"t", u"pw", u"s", out), 0u);
  const std::vector<uint8_t> payload = handler->Received().back().data;
  ASSERT_GE(payload.size(), 3u);
  EXPECT_EQ(std::string(payload.end() - 3, payload.end()), "xyz") << "the raw content follows the tagged values";
}

TEST_F(RemoteSessionOperations, AServersTextTravelsWithItsCode) {
  TnxRemoteSession* session = Open();
  handler->Script(nxnmSessionPasswordAdd, Fixed(nxeInvalidParameter, {}, u"no such password"));
  EXPECT_EQ(session->PasswordAdd(u"pw"), nxeInvalidParameter);
  uint32_t code = 0;
  std::u16string message;
  EnxBaseException::GetLastConvertedException(code, message);
  EXPECT_EQ(code, nxeInvalidParameter);
  EXPECT_NE(message.find(u"no such password"), std::u16string::npos) << platform::Utf16ToUtf8(message);
  EXPECT_EQ(session->PasswordRemove(u"pw"), 0u);
  EXPECT_EQ(session->PasswordRemoveAll(), 0u);
  EXPECT_EQ(session->CloseInactiveFolders(), 0u);
  EXPECT_EQ(session->CloseInactiveTables(), 0u);
  EXPECT_EQ(SentBy(session, 1), (Ids{nxnmSessionPasswordAdd, nxnmSessionPasswordRemove,
                                                nxnmSessionPasswordRemoveAll, nxnmSessionCloseInactiveFolders,
                                                nxnmSessionCloseInactiveTables}));
}

TEST_F(RemoteSessionOperations, FreeingTheSessionReportsThenClosesItsObjectsThenEndsTheSession) {
  TnxRemoteSession* session = Open();
  const TnxSessionID id = ServerSession(session);
  TnxAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Name", u"Alpha", nullptr, omReadWrite, smShared, 1000), 0u);
  const size_t before = SentCount(session);
  session->Free();
  // The end of the session is not answered: it arrives when it arrives.
  auto ended = [&] {
    for (const auto& event : handler->Events())
      if (event.sessionID == id && event.msgID == kSessionEndEvent) return true;
    return false;
  };
  ASSERT_TRUE(Within(std::chrono::seconds(10), ended));
  Ids events;
  for (const auto& event : handler->Events())
    if (event.sessionID == id) events.push_back(event.msgID);
  events.erase(events.begin(), events.begin() + static_cast<std::ptrdiff_t>(before));
  EXPECT_EQ(events, (Ids{nxnmSessionFailedPermanent, nxnmDatabaseClose, nxnmTransContextClose, kSessionEndEvent}));
}


TEST_F(RemoteSessionOperations, ExtendersHearEachOperationBeforeAndAfterAndCanVetoIt) {
  const struct {
    const char* name;
    TnxEngineAction action;
    std::function<uint32_t(TnxRemoteSession&)> operation;
  } rows[] = {
      {"AliasGetList", eaAliasGetList,
       [](TnxRemoteSession& s) {
         TnxAliasDescriptors list;
         return s.AliasGetList(list);
       }},
      {"AliasGetNames", eaAliasGetList,
       [](TnxRemoteSession& s) {
         NameLog log;
         return s.AliasGetNames(log);
       }},
      {"AliasAdd", eaAliasAdd, [](TnxRemoteSession& s) { return s.AliasAdd(u"Delta", u"/d", false); }},
      {"AliasDelete", eaAliasDelete, [](TnxRemoteSession& s) { return s.AliasDelete(u"Alpha"); }},
      {"AliasModify", eaAliasModify, [](TnxRemoteSession& s) { return s.AliasModify(u"Alpha", u"A", u"/a", false); }},
      {"AliasGetPath", eaAliasGetPath,
       [](TnxRemoteSession& s) {
         std::u16string path;
         return s.AliasGetPath(u"Alpha", path);
       }},
      {"CloseInactiveTables", eaCloseInactiveTables, [](TnxRemoteSession& s) { return s.CloseInactiveTables(); }},
      {"CloseInactiveFolders", eaCloseInactiveFolders, [](TnxRemoteSession& s) { return s.CloseInactiveFolders(); }},
      {"GetRegisteredClassList", eaGetRegisteredClassList,
       [](TnxRemoteSession& s) {
         platform::TStringList list;
         return s.GetRegisteredClassList(TnxClassListType(0), list);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (const bool veto : {true, false}) {
      SCOPED_TRACE(veto ? "vetoed" : "allowed");
      handler->Configure([](TTestCommandHandler& h) {
        h.Aliases = {{u"Alpha", u"/data/a"}};
      });
      TnxRemoteSession* session = Open();
      std::vector<std::u16string> log;
      std::map<TnxEngineAction, uint32_t> vetoes;
      if (veto) vetoes[row.action] = 77;
      nxCreateEngineExtender<TestExtender>(nullptr, session, TnxEngineActions{row.action}, vetoes, &log);
      const size_t before = SentCount(session);
      EXPECT_EQ(row.operation(*session), veto ? 77u : 0u);
      EXPECT_EQ(SentCount(session) - before, veto ? 0u : 1u);
      EXPECT_EQ(log.size(), veto ? 1u : 2u) << "before, and after a success";
      session->Free();
    }
  }
}

}  // namespace
}  // namespace revurov::testing
