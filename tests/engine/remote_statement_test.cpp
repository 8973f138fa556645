// The remote statement over loopback TCP: allocation, the tagged payloads
// of its requests, the result set of an execution and the output values
// read back (checked before they are taken).
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/engine_extender.h"
#include "engine/remote_cursor.h"
#include "engine/remote_statement.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/endian.h"
#include "support/remote_cursor_fixture.h"
#include "support/tagged_bytes.h"
#include "support/test_engine.h"

namespace revurov::testing {
namespace {

using Ids = std::vector<TnxMsgID>;

std::vector<uint8_t> U32Bytes(uint32_t aValue) {
  std::vector<uint8_t> bytes(4);
  platform::StoreU32(bytes.data(), aValue);
  return bytes;
}

class RemoteStatementTest : public RemoteCursorFixture {
protected:
  static constexpr TnxStatementID kID = 77;

  TnxRemoteStatement* Alloc(int32_t aVersion = 47501) {
    Connect(aVersion);
    handler->Script(0x241, Fixed(0, U32Bytes(kID)));
    TnxAbstractStatement* statement = nullptr;
    EXPECT_EQ(database->StatementAlloc(statement, 3000), 0u);
    return static_cast<TnxRemoteStatement*>(statement);
  }
  // Integer ID, Integer 1, Integer data type, Integer 2 and two bytes.
  static TnxSqlParamList Params() {
    TnxSqlParamList params(3);
    params[0] = {u"In", nxptInput, nxtInt16, {1, 2}};
    params[1] = {u"Out", nxptOutput, nxtInt32, {}};
    params[2] = {u"Both", nxptInputOutput, nxtInt16, {}};
    return params;
  }
};

TEST_F(RemoteStatementTest, AllocationTakesTheServersIDAndFreeingClosesIt) {
  TnxRemoteStatement* statement = Alloc();
  ASSERT_NE(statement, nullptr);
  EXPECT_EQ(statement->StatementID(), kID);
  EXPECT_EQ(statement->RemoteID(), kID);
  EXPECT_EQ(statement->Timeout(), 3000u);
  TaggedBytes alloc = U32Bytes(database->RemoteID());
  const std::vector<uint8_t> timeout = U32Bytes(3000);
  alloc.insert(alloc.end(), timeout.begin(), timeout.end());
  EXPECT_EQ(LastPayload(0x241), alloc);
  const size_t before = SentCount(session);
  statement->Free();
  EXPECT_EQ(SentBy(session, before), (Ids{0x4FF}));
  EXPECT_EQ(LastPayload(0x4FF), TaggedBytes(U32Bytes(kID)));

  const struct {
    const char* name;
    TScriptedReply reply;
    uint32_t result;
  } failures[] = {{"refused", Fixed(nxeInvalidParameter), nxeInvalidParameter},
                  {"a short reply", Fixed(0, {1, 2}), nxeMessageUnrecognized}};
  for (const auto& f : failures) {
    SCOPED_TRACE(f.name);
    handler->Script(0x241, f.reply);
    TnxAbstractStatement* none = statement;  // freed: only its value is left
    EXPECT_EQ(database->StatementAlloc(none, 100), f.result);
    EXPECT_EQ(none, nullptr);
  }
}

TEST_F(RemoteStatementTest, PrepareAndParametersSendTheirTaggedPayloads) {
  TnxRemoteStatement* statement = Alloc();
  ASSERT_NE(statement, nullptr);
  handler->Script(0x401, Fixed(0, {9, 8, 7}));
  handler->Script(0x403, Fixed(0));
  TnxMemoryStream report(-1);
  ASSERT_EQ(statement->Prepare(stQuery, u"select 1", &report), 0u);
  EXPECT_EQ(LastPayload(0x401), Written([](TnxWriter& w) {
              w.WriteInteger(int32_t(kID));
              w.WriteInteger(int32_t(stQuery));
              w.WriteWideString_(u"select 1");
            }));
  ASSERT_EQ(report.GetSize(), 3);

  TnxSqlParamList params = Params();
  ASSERT_EQ(statement->SetParams(params, nullptr), 0u);
  EXPECT_EQ(LastPayload(0x403), Written([](TnxWriter& w) {
              w.WriteInteger(int32_t(kID));
              w.WriteInteger(3);
              w.WriteInteger(2);
              w.WriteString(u"In");
              w.WriteInteger(int32_t(nxptInput));
              w.WriteInteger(int32_t(nxtInt16));
              w.WriteInteger(2);
              w.WriteListBegin();
              const uint8_t data[] = {1, 2};
              w.Write(data, 2);
              w.WriteListEnd();
              w.WriteString(u"Out");
              w.WriteInteger(int32_t(nxptOutput));
              w.WriteInteger(int32_t(nxtInt32));
              w.WriteInteger(0);
              w.WriteString(u"Both");
              w.WriteInteger(int32_t(nxptInputOutput));
              w.WriteInteger(int32_t(nxtInt16));
              w.WriteInteger(0);
            }));

  handler->Script(0x404, Fixed(0, Written([](TnxWriter& w) {
                    w.WriteInteger(3);
                    w.WriteInteger(int32_t(nxtInt16));
                    w.WriteInteger(0);
                    w.WriteInteger(int32_t(nxtInt32));
                    w.WriteInteger(4);
                    w.WriteListBegin();
                    const uint8_t out[] = {5, 6, 7, 8};
                    w.Write(out, 4);
                    w.WriteListEnd();
                    w.WriteInteger(int32_t(nxtInt16));
                    w.WriteInteger(0);
                  })));
  TnxMemoryStream back(-1);
  ASSERT_EQ(statement->GetParams(params, &back), 0u);
  EXPECT_EQ(LastPayload(0x404), Written([](TnxWriter& w) {
              w.WriteInteger(int32_t(kID));
              w.WriteInteger(3);
              for (const auto& p : Params()) {
                w.WriteString(p.piParamName);
                w.WriteInteger(int32_t(p.piParamType));
                w.WriteInteger(int32_t(p.piDataType));
              }
            }));
  EXPECT_EQ(params[0].piData, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(params[1].piData, (std::vector<uint8_t>{5, 6, 7, 8}));
  EXPECT_TRUE(params[2].piData.empty());

  // Nothing to ask: nothing is sent.
  TnxSqlParamList none;
  const size_t before = SentCount(session);
  EXPECT_EQ(statement->GetParams(none, &back), 0u);
  EXPECT_EQ(SentCount(session), before);
}

TEST_F(RemoteStatementTest, ReadBackParametersThatDoNotFitAreRefusedWhole) {
  TnxRemoteStatement* statement = Alloc();
  ASSERT_NE(statement, nullptr);
  using W = std::function<void(TnxWriter&)>;
  const struct {
    const char* name;
    W reply;
  } cases[] = {
      {"a count mismatch", [](TnxWriter& w) { w.WriteInteger(2); }},
      {"another data type",
       [](TnxWriter& w) {
         w.WriteInteger(3);
         w.WriteInteger(int32_t(nxtInt32));
       }},
      {"a value for an input parameter",
       [](TnxWriter& w) {
         w.WriteInteger(3);
         w.WriteInteger(int32_t(nxtInt16));
         w.WriteInteger(2);
       }},
      {"a length of 2^31",
       [](TnxWriter& w) {
         w.WriteInteger(3);
         w.WriteInteger(int32_t(nxtInt16));
         w.WriteInteger(0);
         w.WriteInteger(int32_t(nxtInt32));
         w.WriteInteger(int64_t{1} << 31);
       }},
      {"a length beyond what came",
       [](TnxWriter& w) {
         w.WriteInteger(3);
         w.WriteInteger(int32_t(nxtInt16));
         w.WriteInteger(0);
         w.WriteInteger(int32_t(nxtInt32));
         w.WriteInteger(100000);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    handler->Script(0x404, Fixed(0, Written(c.reply)));
    TnxSqlParamList params = Params();
    params[1].piData = {42};
    TnxMemoryStream back(-1);
    EXPECT_EQ(statement->GetParams(params, &back), nxeInvalidParameter);
    EXPECT_EQ(back.GetSize(), 0);
    EXPECT_EQ(params[1].piData, (std::vector<uint8_t>{42}));
  }
}

TEST_F(RemoteStatementTest, ExecHandsOutTheResultSetAsACursor) {
  const struct {
    const char* name;
    int32_t version;
    TnxOpenMode mode;
    uint8_t sent;
  } modes[] = {{"omNone on a newer server", 47501, omNone, uint8_t(omNone)},
               {"omNone before 45000", 44999, omNone, uint8_t(omReadOnly)},
               {"read-write", 44999, omReadWrite, uint8_t(omReadWrite)}};
  for (const auto& m : modes) {
    SCOPED_TRACE(m.name);
    TnxRemoteStatement* statement = Alloc(m.version);
    ASSERT_NE(statement, nullptr);
    // No result set: cursor ID 0, and the rest stays for the caller.
    handler->Script(0x402, Fixed(0, {0, 0, 0, 0, 0xAB}));
    TnxMemoryStream stream(-1);
    stream.Write("old", 3);
    TnxAbstractCursor* cursor = reinterpret_cast<TnxAbstractCursor*>(&stream);
    ASSERT_EQ(statement->Exec(cursor, m.mode, &stream), 0u);
    EXPECT_EQ(cursor, nullptr);
    ASSERT_EQ(stream.GetSize(), 5);
    EXPECT_EQ(LastPayload(0x402), (TaggedBytes{kID, 0, 0, 0, m.sent}));
  }

  // A result set: the cursor ID, the dictionary, then the index to peek.
  TnxRemoteStatement* statement = Alloc();
  ASSERT_NE(statement, nullptr);
  TnxMemoryStream dictionary(-1);
  table->WriteToStream(dictionary, nxRemoteClientVersion);
  const auto* bytes = static_cast<const uint8_t*>(dictionary.Memory());
  std::vector<uint8_t> reply = U32Bytes(901);
  reply.insert(reply.end(), bytes, bytes + dictionary.GetSize());
  reply.push_back(0);
  const std::vector<uint8_t> index = U32Bytes(kByID);
  reply.insert(reply.end(), index.begin(), index.end());
  handler->Script(0x402, Fixed(0, reply));
  TnxMemoryStream stream(-1);
  TnxAbstractCursor* cursor = nullptr;
  ASSERT_EQ(statement->Exec(cursor, omReadOnly, &stream), 0u);
  ASSERT_NE(cursor, nullptr);
  auto* remote = static_cast<TnxRemoteCursor*>(cursor);
  EXPECT_EQ(remote->CursorID(), 901u);
  int32_t indexID = -2;
  ASSERT_EQ(remote->GetIndexID(indexID), 0u);
  EXPECT_EQ(indexID, kByID);
  EXPECT_EQ(remote->_Dictionary()->FieldsDescriptor().FieldCount(), 3);
  // The peeked index is still there for the caller.
  EXPECT_EQ(stream.GetSize() - stream.Position(), 5);
  cursor->Free();

  // A failed execution gives no cursor.
  handler->Script(0x402, Fixed(nxeTableDoesNotExist));
  EXPECT_EQ(statement->Exec(cursor, omReadOnly, &stream), nxeTableDoesNotExist);
  EXPECT_EQ(cursor, nullptr);
}

TEST_F(RemoteStatementTest, AnUnchangedTimeoutSendsNothing) {
  TnxRemoteStatement* statement = Alloc();
  ASSERT_NE(statement, nullptr);
  const size_t before = SentCount(session);
  statement->SetTimeout(3000);
  EXPECT_EQ(SentCount(session), before);
  statement->SetTimeout(4500);
  EXPECT_EQ(SentBy(session, before), (Ids{0x4F0}));
  TaggedBytes payload = U32Bytes(kID);
  const std::vector<uint8_t> value = U32Bytes(4500);
  payload.insert(payload.end(), value.begin(), value.end());
  EXPECT_EQ(LastPayload(0x4F0), payload);
}

TEST_F(RemoteStatementTest, ExtendersHearEachOperationBeforeAndAfterAndCanVetoIt) {
  Connect();
  handler->Script(0x241, Fixed(0, U32Bytes(kID)));
  handler->Script(0x401, Fixed(0));
  handler->Script(0x402, Fixed(0, U32Bytes(0)));
  handler->Script(0x403, Fixed(0));
  handler->Script(0x404, Fixed(0, Written([](TnxWriter& w) {
                    w.WriteInteger(1);
                    w.WriteInteger(int32_t(nxtInt16));
                    w.WriteInteger(0);
                  })));
  using Op = std::function<uint32_t(TnxRemoteStatement&)>;
  const struct {
    const char* name;
    TnxEngineAction action;
    TnxMsgID msgID;
    Op operation;
  } rows[] = {
      {"Prepare", eaStatementPrepare, 0x401,
       [](TnxRemoteStatement& s) { return s.Prepare(stQuery, u"select 1", nullptr); }},
      {"Exec", eaStatementExec, 0x402,
       [](TnxRemoteStatement& s) {
         TnxAbstractCursor* cursor = nullptr;
         TnxMemoryStream stream(-1);
         return s.Exec(cursor, omReadOnly, &stream);
       }},
      {"SetParams", eaStatementSetParams, 0x403,
       [](TnxRemoteStatement& s) { return s.SetParams(TnxSqlParamList(1, {u"In", nxptInput, nxtInt16, {1, 2}}), nullptr); }},
      {"GetParams", eaStatementGetParams, 0x404,
       [](TnxRemoteStatement& s) {
         TnxSqlParamList params(1, {u"In", nxptInput, nxtInt16, {1, 2}});
         TnxMemoryStream stream(-1);
         return s.GetParams(params, &stream);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (const bool veto : {true, false}) {
      SCOPED_TRACE(veto ? "vetoed" : "allowed");
      TnxAbstractStatement* allocated = nullptr;
      ASSERT_EQ(database->StatementAlloc(allocated, 3000), 0u);
      auto* statement = static_cast<TnxRemoteStatement*>(allocated);
      std::vector<std::u16string> log;
      std::map<TnxEngineAction, uint32_t> vetoes;
      if (veto) vetoes[row.action] = 77;
      nxCreateEngineExtender<TestExtender>(nullptr, statement, TnxEngineActions{row.action}, vetoes, &log);
      const size_t before = SentCount(session);
      EXPECT_EQ(row.operation(*statement), veto ? 77u : 0u);
      EXPECT_EQ(SentBy(session, before), veto ? Ids{} : Ids{row.msgID});
      EXPECT_EQ(log.size(), veto ? 1u : 2u) << "before, and after a success";
      statement->Free();
    }
  }

  // A failed request, and read-back values that do not fit, have no after.
  TnxAbstractStatement* allocated = nullptr;
  ASSERT_EQ(database->StatementAlloc(allocated, 3000), 0u);
  auto* statement = static_cast<TnxRemoteStatement*>(allocated);
  std::vector<std::u16string> log;
  nxCreateEngineExtender<TestExtender>(nullptr, statement, TnxEngineActions{eaStatementPrepare, eaStatementGetParams},
                                       std::map<TnxEngineAction, uint32_t>{}, &log);
  handler->Script(0x401, Fixed(nxeInvalidParameter));
  EXPECT_EQ(statement->Prepare(stQuery, u"x", nullptr), nxeInvalidParameter);
  EXPECT_EQ(log.size(), 1u);
  handler->Script(0x404, Fixed(0, Written([](TnxWriter& w) { w.WriteInteger(2); })));
  TnxSqlParamList params(1, {u"In", nxptInput, nxtInt16, {}});
  TnxMemoryStream stream(-1);
  EXPECT_EQ(statement->GetParams(params, &stream), nxeInvalidParameter);
  EXPECT_EQ(log.size(), 2u);
  // No parameters: heard before, then nothing is asked.
  TnxSqlParamList none;
  const size_t before = SentCount(session);
  EXPECT_EQ(statement->GetParams(none, &stream), 0u);
  EXPECT_EQ(SentCount(session), before);
  EXPECT_EQ(log.size(), 3u);
  statement->Free();
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

// A $242 reply: the phase reached, then each block as a u32 length and its bytes.
std::vector<uint8_t> ExecDirectReply(uint8_t aPhase, const std::vector<std::vector<uint8_t>>& aBlocks) {
  std::vector<uint8_t> reply{aPhase};
  for (const auto& b : aBlocks) {
    const std::vector<uint8_t> len = U32Bytes(static_cast<uint32_t>(b.size()));
    reply.insert(reply.end(), len.begin(), len.end());
    reply.insert(reply.end(), b.begin(), b.end());
  }
  return reply;
}

TEST_F(RemoteStatementTest, ExecDirectRunsThePhasesInOneRequest) {
  Connect(44999);
  TnxSqlParamList params = Params();
  const std::vector<uint8_t> getParams = Written([](TnxWriter& w) {
    w.WriteInteger(3);
    w.WriteInteger(int32_t(nxtInt16));
    w.WriteInteger(0);
    w.WriteInteger(int32_t(nxtInt32));
    w.WriteInteger(0);
    w.WriteInteger(int32_t(nxtInt16));
    w.WriteInteger(0);
  });
  handler->Script(0x242, Fixed(0, ExecDirectReply(sedGetParams, {{1}, {2, 2}, {0, 0, 0, 0}, getParams})));
  TnxMemoryStream prepare(-1), set(-1), exec(-1), get(-1);
  TnxAbstractCursor* cursor = nullptr;
  TnxStatementExecDirectPhase phase = sedFree;
  ASSERT_EQ(database->StatementExecDirect(900, stQuery, u"select 1", &prepare, params, &set, cursor, omNone, &exec,
                                          &get, phase),
            0u);
  EXPECT_EQ(phase, sedGetParams);
  EXPECT_EQ(cursor, nullptr);
  EXPECT_EQ(prepare.GetSize(), 1);
  EXPECT_EQ(set.GetSize(), 2);
  EXPECT_EQ(exec.GetSize(), 4);
  EXPECT_EQ(get.GetSize(), static_cast<int64_t>(getParams.size()));
  EXPECT_EQ(LastPayload(0x242), Written([&](TnxWriter& w) {
              w.WriteInteger(int32_t(database->RemoteID()));
              w.WriteInteger(900);
              w.WriteInteger(int32_t(stQuery));
              w.WriteString(u"select 1");
              w.WriteInteger(3);
              w.WriteInteger(3);
              nxWriteSqlParams(w, params);
              w.WriteInteger(0);  // omNone is unknown before 45000
            }));

  const struct {
    const char* name;
    TScriptedReply reply;
    uint32_t result;
    TnxStatementExecDirectPhase phase;
  } failures[] = {
      {"an empty reply", Fixed(0), nxeExceptionWithoutCode, sedAlloc},
      {"a block longer than what came", Fixed(0, {sedPrepare, 9, 0, 0, 0, 1}), nxeMessageUnrecognized, sedPrepare},
      {"no cursor ID", Fixed(0, ExecDirectReply(sedExec, {{}, {}, {1, 2}})), nxeMessageUnrecognized, sedExec},
      {"a count mismatch",
       Fixed(0, ExecDirectReply(sedGetParams, {{}, {}, {0, 0, 0, 0}, Written([](TnxWriter& w) { w.WriteInteger(1); })})),
       nxeInvalidParameter, sedGetParams},
      {"the server's error", Fixed(nxeTableDoesNotExist, ExecDirectReply(sedPrepare, {{5}})), nxeTableDoesNotExist,
       sedPrepare},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.name);
    handler->Script(0x242, f.reply);
    TnxMemoryStream p(-1), s(-1), e(-1), g(-1);
    EXPECT_EQ(database->StatementExecDirect(900, stQuery, u"q", &p, params, &s, cursor, omReadOnly, &e, &g, phase),
              f.result);
    EXPECT_EQ(phase, f.phase);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(g.GetSize(), 0);
  }
}

}  // namespace
}  // namespace revurov::testing

namespace revurov::testing {
namespace {

// Statements the handler runs from its script: the requests travel the
// whole road and the answers come from the server's own state.
class ServedStatementTest : public RemoteStatementTest {
protected:
  static constexpr const char16_t* kQuery = u"select * from Orders where ID > :Low";

  ServedStatementTest() {
    Rows(3);
    handler->Configure([](TTestCommandHandler& h) {
      h.Statements[kQuery] = {u"Orders", {{u"Total", {9, 9, 9, 9}}}, 0};
      h.Statements[u"update Orders"] = {u"", {}, 0};
      h.Statements[u"fails"] = {u"", {}, nxeTableDoesNotExist};
    });
    Connect();
  }
  TnxRemoteStatement* Served() {
    TnxAbstractStatement* statement = nullptr;
    EXPECT_EQ(database->StatementAlloc(statement, 3000), 0u);
    return static_cast<TnxRemoteStatement*>(statement);
  }
  // An input, an output and an input-output parameter.
  static TnxSqlParamList Params() {
    TnxSqlParamList params(3);
    params[0] = {u"Low", nxptInput, nxtInt32, {5, 0, 0, 0}};
    params[1] = {u"Total", nxptOutput, nxtInt32, {}};
    params[2] = {u"Echo", nxptInputOutput, nxtInt16, {7, 1}};
    return params;
  }
  std::vector<int32_t> ReadAll(TnxAbstractCursor* aCursor) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> record(static_cast<size_t>(RecordLength()));
    EXPECT_EQ(aCursor->SetToBegin(), 0u);
    for (int i = 0; i < 10 && aCursor->RecordGetNext(nxltNoLock, record.data()) == 0; ++i)
      ids.push_back(IDOf(record.data()));
    return ids;
  }
};

TEST_F(ServedStatementTest, AStatementRunsOnTheServerAndItsResultSetIsACursor) {
  TnxRemoteStatement* statement = Served();
  ASSERT_NE(statement, nullptr);
  EXPECT_EQ(handler->OpenStatements().count(statement->StatementID()), 1u);
  ASSERT_EQ(statement->Prepare(stQuery, kQuery, nullptr), 0u);
  TnxSqlParamList params = Params();
  ASSERT_EQ(statement->SetParams(params, nullptr), 0u);
  TnxAbstractCursor* cursor = nullptr;
  TnxMemoryStream stream(-1);
  ASSERT_EQ(statement->Exec(cursor, omReadOnly, &stream), 0u);
  ASSERT_NE(cursor, nullptr);
  const uint32_t cursorID = static_cast<TnxRemoteCursor*>(cursor)->CursorID();
  EXPECT_EQ(handler->OpenCursors().count(cursorID), 1u);
  EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{10, 20, 30}));

  params[1].piData = {1};
  params[2].piData = {};
  ASSERT_EQ(statement->GetParams(params, &stream), 0u);
  EXPECT_EQ(params[0].piData, (std::vector<uint8_t>{5, 0, 0, 0})) << "an input is not given back";
  EXPECT_EQ(params[1].piData, (std::vector<uint8_t>{9, 9, 9, 9}));
  EXPECT_EQ(params[2].piData, (std::vector<uint8_t>{7, 1})) << "as it went in";

  // The cursor outlives the statement and closes its own server cursor.
  statement->SetTimeout(4500);
  EXPECT_EQ(handler->OpenStatements()[statement->StatementID()], 4500u);
  ASSERT_EQ(statement->OptionSet(u"Mode", u"fast"), 0u);
  std::u16string value;
  ASSERT_EQ(statement->OptionGet(u"Mode", value), 0u);
  EXPECT_EQ(value, u"fast");
  statement->Free();
  EXPECT_TRUE(handler->OpenStatements().empty());
  EXPECT_EQ(ReadAll(cursor).size(), 3u);
  cursor->Free();
  EXPECT_EQ(handler->OpenCursors().count(cursorID), 0u);
}

TEST_F(ServedStatementTest, TheServersRefusalsReachTheCaller) {
  TnxRemoteStatement* statement = Served();
  ASSERT_NE(statement, nullptr);
  TnxAbstractCursor* cursor = nullptr;
  TnxMemoryStream stream(-1);
  const struct {
    const char* name;
    const char16_t* text;
    uint32_t prepared;
    uint32_t executed;
  } cases[] = {{"an unknown text", u"drop everything", nxeInvalidParameter, nxeInvalidParameter},
               {"an execution that fails", u"fails", 0, nxeTableDoesNotExist},
               {"no result set", u"update Orders", 0, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(statement->Prepare(stQuery, c.text, nullptr), c.prepared);
    if (c.prepared != 0) continue;
    EXPECT_EQ(statement->Exec(cursor, omReadOnly, &stream), c.executed);
    EXPECT_EQ(cursor, nullptr);
  }
  statement->Free();
}

TEST_F(ServedStatementTest, ExecDirectRunsEveryPhaseOnTheServer) {
  TnxSqlParamList params = Params();
  TnxMemoryStream prepare(-1), set(-1), exec(-1), get(-1);
  TnxAbstractCursor* cursor = nullptr;
  TnxStatementExecDirectPhase phase = sedFree;
  ASSERT_EQ(database->StatementExecDirect(900, stQuery, kQuery, &prepare, params, &set, cursor, omReadOnly, &exec,
                                          &get, phase),
            0u);
  EXPECT_EQ(phase, sedGetParams);
  ASSERT_NE(cursor, nullptr);
  EXPECT_EQ(ReadAll(cursor), (std::vector<int32_t>{10, 20, 30}));
  cursor->Free();
  // The values given back, as the statement reads them.
  TnxSqlParamList back = Params();
  ASSERT_EQ(nxReadSqlParams(get, back), 0u);
  EXPECT_EQ(back[1].piData, (std::vector<uint8_t>{9, 9, 9, 9}));

  const struct {
    const char* name;
    const char16_t* text;
    bool withParams;
    uint32_t result;
    TnxStatementExecDirectPhase phase;
  } cases[] = {{"an unknown text stops at the prepare", u"drop everything", true, nxeInvalidParameter, sedPrepare},
               {"a failed execution", u"fails", true, nxeTableDoesNotExist, sedExec},
               {"no parameters, no read-back", u"update Orders", false, 0, sedExec}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TnxSqlParamList list = c.withParams ? Params() : TnxSqlParamList{};
    TnxMemoryStream p(-1), s(-1), e(-1), g(-1);
    EXPECT_EQ(database->StatementExecDirect(900, stQuery, c.text, &p, list, &s, cursor, omReadOnly, &e, &g, phase),
              c.result);
    EXPECT_EQ(phase, c.phase);
    EXPECT_EQ(cursor, nullptr);
    EXPECT_EQ(g.GetSize(), 0);
  }
}

}  // namespace
}  // namespace revurov::testing
