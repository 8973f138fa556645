#include "engine/remote_session.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "engine/abstract_task_info.h"
#include "engine/abstract_trans_context.h"
#include "engine/startup.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/heap/memory_manager.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "platform/host_info.h"
#include "platform/module.h"
#include "platform/text.h"
#include "support/engine_fixture.h"
#include "support/exception_message.h"
#include "support/fake_engine_clock.h"
#include "support/memory_engine.h"
#include "support/scripted_transport.h"

namespace revurov::testing {
namespace {

// A context whose timeout changes go into an open batch, as every remote
// object's do.
class BatchedContext : public TnxAbstractTransContext {
  REVUROV_SERVER_OBJECT_CLASS(BatchedContext, TnxAbstractTransContext)
  BatchedContext(TnxAbstractSession* aSession, uint32_t aTimeout) : TnxAbstractTransContext(aSession, aTimeout) {}
  void SetTimeout(uint32_t aValue) override {
    if (aValue == Timeout()) return;
    TnxAbstractTransContext::SetTimeout(aValue);
    Batched = AddToTimeoutBatch(this);
  }
  uint32_t TransactionStart(bool, bool) override { return 0; }
  uint32_t TransactionStartWith(bool, bool, std::span<TnxAbstractCursor* const>) override { return 0; }
  uint32_t TransactionCommit() override { return 0; }
  uint32_t TransactionRollback() override { return 0; }
  uint32_t TransactionCorrupted() override { return 0; }
  uint32_t TransactionGetLevel(int32_t& aTransLevel) override { aTransLevel = 0; return 0; }
  uint32_t TransactionGetInfo(TnxTransactionInfo& aTransInfo, bool) override { aTransInfo = {}; return 0; }
  void atcForceRollback() override {}
  bool Batched = false;
};

std::string Bytes(std::initializer_list<int> aBytes) {
  std::string s;
  for (int b : aBytes) s.push_back(static_cast<char>(b));
  return s;
}

// A multi-reply holding aParts as {ID, error, data}.
std::string MultiReply(const std::vector<ScriptedCall>& aParts) {
  std::string out;
  for (const ScriptedCall& part : aParts) {
    uint8_t header[12];
    platform::StoreU32(header, part.MsgID);
    platform::StoreU32(header + 4, static_cast<uint32_t>(12 + part.Data.size()));
    platform::StoreU32(header + 8, part.ErrorCode);
    out.append(reinterpret_cast<const char*>(header), 12);
    out += part.Data;
  }
  return out;
}

std::string StreamText(TnxMemoryStream& aStream) {
  return std::string(static_cast<const char*>(aStream.Memory()), static_cast<size_t>(aStream.GetSize()));
}

class RemoteSessionTest : public ::testing::Test {
protected:
  RemoteSessionTest() {
    engine->SetTransport(transport.get());
    transport->SetActive(true);
    engine->SetActive(true);
    session = Open();
    source = session->NewSource();
    opening = transport->Requests;
    transport->Requests.clear();
  }
  ~RemoteSessionTest() override { nxSetClientFeatures(nxAllClientFeatures); }

  TnxRemoteSession* Open(int32_t aServerVersion = 47501, uint32_t aTimeout = 1000) {
    transport->ServerVersion = aServerVersion;
    TnxAbstractServerObject* session = nullptr;
    EXPECT_EQ(engine->SessionOpenEx(session, u"user", u"secret", u"here", aTimeout, nxRemoteClientVersion), 0u);
    return static_cast<TnxRemoteSession*>(session);
  }

  // A byte-array request for aSource; the reply's text in aReply.
  uint32_t Request(TnxMessageSource aSource, TnxMsgID aMsgID, std::string& aReply, int32_t* aLen = nullptr) {
    void* block = nullptr;
    int32_t len = -1;
    const uint32_t result = session->ProcessRequest(aSource, 0, aMsgID, 1000, "req", 3, &block, &len, nmdByteArray,
                                                    false, nullptr);
    aReply.assign(block ? static_cast<const char*>(block) : "", block ? static_cast<size_t>(len) : 0);
    if (block) nxFreeMem(block);
    if (aLen) *aLen = len;
    return result;
  }
  size_t Sent() const { return transport->Requests.size(); }

  TFakeEngineClock clock;
  TnxEngineStartupGuard library;
  ComponentPtr<ScriptedTransport> transport{new ScriptedTransport(nullptr)};
  ComponentPtr<TnxRemoteServerEngine> engine{new TnxRemoteServerEngine(nullptr)};
  TnxRemoteSession* session = nullptr;
  TnxMessageSource source = nullptr;
  // What opening the session sent.
  std::vector<ScriptedRequest> opening;
};

std::vector<std::u16string> ReadStrings(std::string aPayload) {
  TnxStaticMemoryStream stream(aPayload.data(), static_cast<int64_t>(aPayload.size()));
  TnxReader reader(stream);
  std::vector<std::u16string> out;
  while (reader.BytesLeft() > 0) out.push_back(reader.ReadString());
  return out;
}

TEST(EquivalentRepliesTest, EveryPairCountsBothWaysAndNothingElse) {
  TnxEngineStartupGuard library;
  const TnxMsgID pairs[][2] = {{0x301, 0x305}, {0x342, 0x343}, {0x302, 0x307}, {0x303, 0x306}, {0x378, 0x379},
                               {0x317, 0x318}, {0x313, 0x314}, {0x373, 0x37A}, {0x321, 0x821}, {0x332, 0x335},
                               {0x376, 0x37B}, {0x322, 0x822}, {0x333, 0x334}, {0x375, 0x37C}, {0x323, 0x823}};
  for (const auto& pair : pairs) {
    EXPECT_TRUE(nxIsEquivalentReply(pair[0], pair[1])) << std::hex << pair[0];
    EXPECT_TRUE(nxIsEquivalentReply(pair[1], pair[0])) << std::hex << pair[1];
  }
  EXPECT_FALSE(nxIsEquivalentReply(0x301, 0x306));
  EXPECT_FALSE(nxIsEquivalentReply(0x330, 0x322));
  EXPECT_FALSE(nxIsEquivalentReply(0xFFFFFFFFu, 0x301));
}

TEST(EquivalentRepliesTest, AddingGrowsTheTableAndKeepsEachIdOnce) {
  TnxEngineStartupGuard library;
  nxAddEquivalentReply(0x2000, 0x2001);
  nxAddEquivalentReply(0x2000, 0x2001);
  EXPECT_TRUE(nxIsEquivalentReply(0x2000, 0x2001));
  EXPECT_FALSE(nxIsEquivalentReply(0x2001, 0x2000));
}

TEST(ClientFeaturesTest, AllOnUntilSwitched) {
  EXPECT_EQ(nxClientFeatures(), nxAllClientFeatures);
  nxSetClientFeatures(nxAllClientFeatures & ~(1u << cfMessageReduction));
  EXPECT_FALSE(nxClientFeatureOn(cfMessageReduction));
  EXPECT_TRUE(nxClientFeatureOn(cfRecordCache));
  nxSetClientFeatures(nxAllClientFeatures);
  EXPECT_TRUE(nxClientFeatureOn(cfMessageReduction));
}

TEST_F(RemoteSessionTest, ARequestSendsItsPayloadAndTakesTheReply) {
  transport->Reply("answer", 0);
  std::string reply;
  int32_t len = 0;
  EXPECT_EQ(Request(source, 0x210, reply, &len), 0u);
  EXPECT_EQ(reply, "answer");
  EXPECT_EQ(len, 6);
  ASSERT_EQ(Sent(), 1u);
  EXPECT_EQ(transport->Requests[0].MsgID, 0x210u);
  EXPECT_EQ(transport->Requests[0].SessionID, session->RemoteID());
  EXPECT_EQ(transport->Requests[0].Data, "req");
  EXPECT_EQ(transport->Requests[0].Timeout, 1000u);
}

TEST_F(RemoteSessionTest, ReplyOutcomesBecomeTheResult) {
  struct Case {
    const char* name;
    ScriptedAnswer answer;
    uint32_t result;
    std::string reply;
  };
  const Case cases[] = {
      {"error code without data", {{0, nxeLostConnection, ""}}, nxeLostConnection, ""},
      {"error code with data", {{0, 10025, "why"}}, 10025, "why"},
      {"equivalent ID", {{0x305, 0, "ahead"}}, 0, "ahead"},
      {"unrelated ID", {{0x330, 0, "other"}}, nxeMessageUnrecognized, ""},
      {"no callback", {}, nxeOperationNotApplicable, ""},
      {"multi-reply, first part", {{nxMultiReplyMsgID, 0, MultiReply({{0x301, 5, "one"}, {0x302, 0, "two"}})}}, 5, "one"},
  };
  for (const Case& c : cases) {
    transport->Answer(c.answer);
    std::string reply;
    EXPECT_EQ(Request(source, 0x301, reply), c.result) << c.name;
    EXPECT_EQ(reply, c.reply) << c.name;
  }
  // Only the multi-reply's second part is still queued.
  std::string reply;
  void* block = nullptr;
  EXPECT_EQ(session->CheckQueuedReply(source, 0x302, &block, nullptr, nmdByteArray, false, nullptr), 0u);
  ASSERT_NE(block, nullptr);
  nxFreeMem(block);
  EXPECT_EQ(session->CheckQueuedReply(source, 0x301, nullptr, nullptr, nmdByteArray, false, nullptr),
            nxeNoMessageQueued);
}

// Read in place, a reply gives what the copying request gives, also when
// it came through the queue.
TEST_F(RemoteSessionTest, AReplyReadInPlaceAnswersAsItsCopyWould) {
  struct Seen {
    int calls = 0;
    uint32_t code = 0;
    std::string bytes;
  };
  auto inPlace = [&](TnxMsgID aMsgID, Seen& aSeen) {
    auto view = [](void* aContext, uint32_t aCode, std::span<const uint8_t> aReply) -> uint32_t {
      auto& seen = *static_cast<Seen*>(aContext);
      ++seen.calls;
      seen.code = aCode;
      seen.bytes.assign(reinterpret_cast<const char*>(aReply.data()), aReply.size());
      return aCode == 0 ? 0 : aCode + 1;
    };
    return session->ProcessRequestInPlace(source, 0, aMsgID, 1000, "req", 3, view, &aSeen);
  };
  struct Case {
    const char* name;
    ScriptedAnswer answer;
    uint32_t result;  // what the view answers: the code, plus 1 when not 0
    int calls;
    std::string reply;
  };
  const Case cases[] = {
      {"reply", {{0, 0, "answer"}}, 0, 1, "answer"},
      {"error code without data", {{0, nxeLostConnection, ""}}, nxeLostConnection + 1, 1, ""},
      {"error code with data", {{0, 10025, "why"}}, 10026, 1, "why"},
      {"a late second callback", {{0, 0, "first"}, {0, nxeLostConnection, ""}}, 0, 1, "first"},
      {"equivalent ID, through the queue", {{0x305, 0, "ahead"}}, 0, 1, "ahead"},
      {"unrelated ID", {{0x330, 0, "other"}}, nxeMessageUnrecognized, 0, ""},
      {"no callback", {}, nxeOperationNotApplicable, 0, ""},
      {"multi-reply, first part", {{nxMultiReplyMsgID, 0, MultiReply({{0x301, 5, "one"}, {0x302, 0, "two"}})}}, 6, 1,
       "one"},
  };
  for (const Case& c : cases) {
    transport->Answer(c.answer);
    Seen seen;
    EXPECT_EQ(inPlace(0x301, seen), c.result) << c.name;
    EXPECT_EQ(seen.calls, c.calls) << c.name;
    EXPECT_EQ(seen.bytes, c.reply) << c.name;
  }
  EXPECT_EQ(Sent(), std::size(cases));
  // The multi-reply's second part waits in the queue and answers without a send.
  Seen seen;
  EXPECT_EQ(inPlace(0x302, seen), 0u);
  EXPECT_EQ(seen.bytes, "two");
  EXPECT_EQ(Sent(), std::size(cases));
  EXPECT_EQ(session->CheckQueuedReply(source, 0x301, nullptr, nullptr, nmdByteArray, false, nullptr),
            nxeNoMessageQueued);
}

TEST_F(RemoteSessionTest, WhatAReaderInPlaceRaisesReachesTheCallerAndTheNextRequestIsServed) {
  auto raising = [](void*, uint32_t, std::span<const uint8_t>) -> uint32_t {
    throw EnxBaseException(nxeTableDoesNotExist);
  };
  for (const char* how : {"direct", "queued"}) {
    if (std::string(how) == "direct")
      transport->Reply("refused");
    else
      session->rsQueueMessage(source, 0x301, 0, "refused", 7, false);
    try {
      session->ProcessRequestInPlace(source, 0, 0x301, 1000, "req", 3, raising, nullptr);
      ADD_FAILURE() << how << ": nothing raised";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeTableDoesNotExist) << how;
    }
    transport->Reply("next");
    std::string reply;
    EXPECT_EQ(Request(source, 0x301, reply), 0u) << how;
    EXPECT_EQ(reply, "next") << how;
  }
  EXPECT_EQ(Sent(), 3u);
}

TEST_F(RemoteSessionTest, AReplySentAheadUnderAnEquivalentIdAnswersWithoutSending) {
  session->rsQueueMessage(source, 0x305, 0, "ahead", 5, false);
  std::string reply;
  EXPECT_EQ(Request(source, 0x301, reply), 0u);
  EXPECT_EQ(reply, "ahead");
  EXPECT_EQ(Sent(), 0u);
}

TEST_F(RemoteSessionTest, QueuedRepliesInFrontOfTheAskedOneAreDiscarded) {
  session->rsQueueMessage(source, 0x330, 0, "stale", 5, false);
  session->rsQueueMessage(source, 0x322, 0, "fresh", 5, false);
  std::string reply;
  EXPECT_EQ(Request(source, 0x322, reply), 0u);
  EXPECT_EQ(reply, "fresh");
  EXPECT_EQ(Sent(), 0u);
  EXPECT_EQ(session->CheckQueuedReply(source, 0x330, nullptr, nullptr, nmdByteArray, false, nullptr),
            nxeNoMessageQueued);
}

TEST_F(RemoteSessionTest, RepliesOfOtherSourcesStayQueued) {
  const TnxMessageSource other = session->NewSource();
  session->rsQueueMessage(other, 0x301, 0, "theirs", 6, false);
  transport->Reply("mine");
  std::string reply;
  EXPECT_EQ(Request(source, 0x301, reply), 0u);
  EXPECT_EQ(reply, "mine");
  EXPECT_EQ(Request(other, 0x301, reply), 0u);
  EXPECT_EQ(reply, "theirs");
  EXPECT_EQ(Sent(), 1u);
}

TEST_F(RemoteSessionTest, CheckQueuedReplySendsNothing) {
  EXPECT_EQ(session->CheckQueuedReply(source, 0x301, nullptr, nullptr, nmdByteArray, false, nullptr),
            nxeNoMessageQueued);
  session->rsQueueMessage(source, 0x821, 12, "x", 1, false);
  uint32_t sequence = 0;
  int32_t len = 0;
  EXPECT_EQ(session->CheckQueuedReply(source, 0x321, nullptr, &len, nmdByteArray, false, &sequence), 12u);
  EXPECT_EQ(len, 1);
  EXPECT_NE(sequence, 0u);
  EXPECT_EQ(Sent(), 0u);
}

TEST_F(RemoteSessionTest, StreamRepliesEmptyOrAppend) {
  TnxMemoryStream stream;
  platform::TStream* variable = &stream;
  stream.Write("old", 3);

  transport->Reply("new");
  EXPECT_EQ(session->ProcessRequest(source, 0, 0x210, 0, nullptr, 0, &variable, nullptr, nmdStream, false, nullptr),
            0u);
  EXPECT_EQ(StreamText(stream), "new");
  EXPECT_EQ(stream.Position(), 0);

  stream.SetPosition(stream.GetSize());
  transport->Reply("+more");
  EXPECT_EQ(session->ProcessRequest(source, 0, 0x210, 0, nullptr, 0, &variable, nullptr, nmdStreamLeavePosition,
                                    false, nullptr),
            0u);
  EXPECT_EQ(StreamText(stream), "new+more");
  EXPECT_EQ(stream.Position(), 8);

  // Under an equivalent ID the data travels through the queue.
  transport->Answer({{0x821, 0, "via queue"}});
  EXPECT_EQ(session->ProcessRequest(source, 0, 0x321, 0, nullptr, 0, &variable, nullptr, nmdStream, false, nullptr),
            0u);
  EXPECT_EQ(StreamText(stream), "via queue");
  EXPECT_EQ(stream.Position(), 0);
}

TEST_F(RemoteSessionTest, ANilStreamVariableSendsAndAnswersOnlyTheCode) {
  platform::TStream* variable = nullptr;
  transport->Reply("dropped", 10025);
  int32_t len = -1;
  EXPECT_EQ(session->ProcessRequest(source, 0, 0x210, 0, nullptr, 0, &variable, &len, nmdStream, false, nullptr),
            10025u);
  EXPECT_EQ(variable, nullptr);
  EXPECT_EQ(len, 7);
  EXPECT_EQ(Sent(), 1u);
}

TEST_F(RemoteSessionTest, ALateSecondCallbackIsNotSeenByTheNextRequest) {
  transport->Answer({{0, 0, "first"}, {0, nxeLostConnection, ""}});
  transport->Reply("second");
  std::string reply;
  EXPECT_EQ(Request(source, 0x301, reply), 0u);
  EXPECT_EQ(reply, "first");
  EXPECT_EQ(Request(source, 0x301, reply), 0u);
  EXPECT_EQ(reply, "second");
  EXPECT_EQ(Sent(), 2u);
}

TEST_F(RemoteSessionTest, AFreedObjectsQueuedReplyNeverReachesTheNextObject) {
  TnxMessageSource freed = nullptr;
  {
    TnxRemoteSource object(*session);
    freed = object.Token();
    session->rsQueueMessage(object.Token(), 0x301, 0, "stale", 5, false);
  }
  TnxRemoteSource next(*session);
  EXPECT_NE(next.Token(), freed);
  EXPECT_NE(next.Token(), session->Source());
  transport->Reply("own");
  std::string reply;
  EXPECT_EQ(Request(next.Token(), 0x301, reply), 0u);
  EXPECT_EQ(reply, "own");
  EXPECT_EQ(session->CheckQueuedReply(freed, 0x301, nullptr, nullptr, nmdByteArray, false, nullptr),
            nxeNoMessageQueued);
}

TEST_F(RemoteSessionTest, ExceptionsInsideARequestBecomeCodes) {
  transport->OnRequest = [] { throw std::bad_alloc(); };
  std::string reply;
  EXPECT_EQ(Request(source, 0x301, reply), nxeOutOfMemory);
  EXPECT_EQ(session->ProcessRequestDirect(0, 0x301, 0, nullptr, 0, nullptr, nullptr, nmdByteArray), nxeOutOfMemory);
  transport->OnRequest = [] { throw EnxBaseException(nxeTableDoesNotExist); };
  EXPECT_EQ(Request(source, 0x301, reply), nxeTableDoesNotExist);
}

TEST_F(RemoteSessionTest, TheDirectPathLeavesTheQueueAlone) {
  session->rsQueueMessage(source, 0x301, 0, "ahead", 5, false);
  transport->Reply("direct");
  void* block = nullptr;
  int32_t len = 0;
  EXPECT_EQ(session->ProcessRequestDirect(0, 0x301, 0, nullptr, 0, &block, &len, nmdByteArray), 0u);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(static_cast<const char*>(block), static_cast<size_t>(len)), "direct");
  nxFreeMem(block);

  transport->Answer({{0x305, 0, "equivalent"}});
  EXPECT_EQ(session->ProcessRequestDirect(0, 0x301, 0, nullptr, 0, nullptr, nullptr, nmdByteArray),
            nxeMessageUnrecognized);
  EXPECT_EQ(session->ProcessRequestDirect(0, 0x301, 0, nullptr, 0, nullptr, nullptr, nmdByteArray),
            nxeOperationNotApplicable);

  std::string reply;
  EXPECT_EQ(Request(source, 0x301, reply), 0u);
  EXPECT_EQ(reply, "ahead");
}

TEST_F(RemoteSessionTest, APostGoesToTheTransportWithoutAnAnswer) {
  session->ProcessPost(source, 3, 0x1201, 50, "p", 1);
  ASSERT_EQ(transport->Posts.size(), 1u);
  EXPECT_EQ(transport->Posts[0].MsgID, 0x1201u);
  EXPECT_EQ(transport->Posts[0].Priority, 3);
  EXPECT_EQ(transport->Posts[0].Data, "p");
  EXPECT_EQ(Sent(), 0u);
}

TEST_F(RemoteSessionTest, TimeoutsGoOneByOneWithoutBatching) {
  struct Case {
    const char* name;
    int32_t server;
    TnxClientFeatures features;
  };
  const Case cases[] = {{"server 47004", 47004, nxAllClientFeatures},
                        {"no message reduction", 47501, nxAllClientFeatures & ~(1u << cfMessageReduction)}};
  for (const Case& c : cases) {
    nxSetClientFeatures(c.features);
    TnxRemoteSession* old = Open(c.server);
    nxSetClientFeatures(nxAllClientFeatures);
    const size_t before = Sent();
    EXPECT_EQ(old->BeginTimeoutBatch(), -1) << c.name;
    old->SetTimeout(2500);
    old->SetTimeout(2500);
    EXPECT_EQ(old->EndTimeoutBatch(), -1) << c.name;
    ASSERT_EQ(Sent(), before + 1) << c.name;
    EXPECT_EQ(transport->Requests.back().MsgID, nxnmSessionSetTimeout);
    EXPECT_EQ(transport->Requests.back().Data, Bytes({0xC4, 0x09, 0, 0}));
  }
}

TEST_F(RemoteSessionTest, NestedBatchesSendOneMessageWithEachObjectsLastTimeout) {
  auto context = nxCreateServerObject<BatchedContext>(session, 0u);
  EXPECT_EQ(session->BeginTimeoutBatch(), 1);
  EXPECT_EQ(session->BeginTimeoutBatch(), 2);
  context->SetTimeout(100);
  session->SetTimeout(300);
  context->SetTimeout(70000);
  EXPECT_TRUE(context->Batched);
  EXPECT_EQ(session->EndTimeoutBatch(), 1);
  EXPECT_EQ(Sent(), 0u);
  EXPECT_EQ(session->EndTimeoutBatch(), 0);
  ASSERT_EQ(Sent(), 1u);
  EXPECT_EQ(transport->Requests[0].MsgID, nxnmTimeoutBatch);

  const uint32_t id = context->RemoteID();
  std::string expected = Bytes({2, 2, 1});
  uint8_t idBytes[5] = {4};
  platform::StoreU32(idBytes + 1, id);
  expected += id <= 127 ? Bytes({2, static_cast<int>(id)})
                        : std::string(reinterpret_cast<const char*>(idBytes), 5);
  expected += Bytes({4, 0x70, 0x11, 0x01, 0x00});  // 70000
  expected += Bytes({2, 0});                       // the session
  expected += Bytes({3, 0x2C, 0x01});              // 300
  expected += Bytes({0});
  EXPECT_EQ(transport->Requests[0].Data, expected);

  // An empty batch sends nothing.
  EXPECT_EQ(session->BeginTimeoutBatch(), 1);
  EXPECT_EQ(session->EndTimeoutBatch(), 0);
  EXPECT_EQ(Sent(), 1u);
}

TEST_F(RemoteSessionTest, ReportingAFailureTellsTheServerAndFailsTheLock) {
  session->ReportFailure(false, false);
  ASSERT_EQ(Sent(), 1u);
  EXPECT_EQ(transport->Requests[0].MsgID, nxnmSessionFailed);
  EXPECT_TRUE(transport->Requests[0].Data.empty());
  EXPECT_FALSE(session->CleanedUp());

  int cancels = 0;
  nxCreateServerObject<MemoryTaskInfo>(session, &cancels).release();
  session->Failed(true);
  EXPECT_EQ(transport->Requests.back().MsgID, nxnmSessionFailedPermanent);
  EXPECT_TRUE(session->CleanedUp());
  EXPECT_TRUE(session->TaskInfos().empty());
}

TEST_F(RemoteSessionTest, FreeingTheSessionEndsTheServerSession) {
  const TnxSessionID id = session->RemoteID();
  auto context = nxCreateServerObject<BatchedContext>(session, 0u).release();
  EXPECT_EQ(session->TransContexts(), std::vector<TnxAbstractTransContext*>{context});
  EXPECT_EQ(session->Close(), 0u);
  EXPECT_EQ(transport->Terminated, std::vector<TnxSessionID>{id});
  EXPECT_EQ(transport->Requests.back().MsgID, nxnmSessionFailedPermanent);
  EXPECT_EQ(engine->SessionCount(), 0);
  EXPECT_EQ(engine->TransContextCount(), 0);
}

TEST_F(RemoteSessionTest, OpeningSendsTheClientInfoOption) {
  ASSERT_EQ(opening.size(), 1u);
  EXPECT_EQ(opening[0].MsgID, nxnmSessionOptionSet);
  EXPECT_EQ(opening[0].SessionID, session->RemoteID());
  const std::vector<std::u16string> values = ReadStrings(opening[0].Data);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0], u"_CurrentClientInfo");
  EXPECT_EQ(values[1], nxClientInfoText(platform::ProgramPath()));
}

TEST(ClientInfoTextTest, NamesTheProgramItsSizeDateComputerAndUser) {
  const std::string path = platform::ProgramPath();
  int64_t size = 0;
  platform::TDateTime modified = 0;
  ASSERT_TRUE(platform::GetFileSizeAndTime(path, size, modified));
  const std::string text = platform::Utf16ToUtf8(nxClientInfoText(path));
  const std::string head = path + ";Size:" + std::to_string(size) + ";Date:";
  ASSERT_EQ(text.substr(0, head.size()), head);
  const std::string date = text.substr(head.size(), 19);
  for (size_t i = 0; i < date.size(); ++i) {
    const char want = "dddd-dd-dd dd:dd:dd"[i];
    if (want == 'd')
      EXPECT_TRUE(date[i] >= '0' && date[i] <= '9') << date;
    else
      EXPECT_EQ(date[i], want) << date;
  }
  int year = 0, month = 0, day = 0;
  platform::DecodeDate(modified, year, month, day);
  EXPECT_EQ(std::stoi(date.substr(0, 4)), year);
  EXPECT_NE(text.find(";Computer:", head.size()), std::string::npos);
  EXPECT_NE(text.find(";User:", head.size()), std::string::npos);
}

TEST(ClientInfoTextTest, AnUnreadableProgramLeavesThePathAlone) {
  EXPECT_EQ(nxClientInfoText("/nonexistent/program"), u"/nonexistent/program");
  EXPECT_EQ(nxClientInfoText(""), u"");
}

TEST_F(RemoteSessionTest, TheEngineNeedsATransportAndPassesLogInFailuresOn) {
  ComponentPtr<TnxRemoteServerEngine> bare{new TnxRemoteServerEngine(nullptr)};
  EXPECT_TRUE(Contains(MessageOf<platform::Exception>([&] { bare->SetActive(true); }), u"Transport required"));
  EXPECT_EQ(bare->ServerName(), u"");

  transport->LoginResult = 10036;
  TnxAbstractServerObject* refused = reinterpret_cast<TnxAbstractServerObject*>(1);
  EXPECT_EQ(engine->SessionOpenEx(refused, u"u", u"p", u"", 0, nxRemoteClientVersion), 10036u);
  EXPECT_EQ(refused, nullptr);
  EXPECT_EQ(engine->SessionCount(), 1);
}

TEST_F(RemoteSessionTest, ALostConnectionMarksItsSessionOrAll) {
  TnxRemoteSession* other = Open();
  TnxSessionID id = other->RemoteID();
  engine->DependentNotify(transport.get(), nxn_ConnectionLost, &id);
  EXPECT_TRUE(other->ConnectionLost());
  EXPECT_FALSE(session->ConnectionLost());
  engine->DependentNotify(nullptr, nxn_ConnectionLost, nullptr);
  EXPECT_FALSE(session->ConnectionLost());
  engine->DependentNotify(transport.get(), nxn_ConnectionLost, nullptr);
  EXPECT_TRUE(session->ConnectionLost());
}

TEST_F(RemoteSessionTest, RemoteObjectsReachTheSessionThroughItsRequestInterface) {
  EXPECT_TRUE(session->IsRemote());
  void* found = nullptr;
  ASSERT_EQ(session->QueryInterface(InxSessionRequests::IID, &found), platform::S_OK);
  const auto requests = platform::TInterfacePtr<InxSessionRequests>::Attach(static_cast<InxSessionRequests*>(found));
  ASSERT_EQ(requests.Get(), static_cast<InxSessionRequests*>(session));
  transport->Reply("", 10025);
  EXPECT_EQ(requests->ProcessRequest(source, 0, 0x210, 0, nullptr, 0, nullptr, nullptr, nmdByteArray, false, nullptr),
            10025u);
  EXPECT_EQ(Sent(), 1u);
}

TEST_F(RemoteSessionTest, EmptyRequestsCarryTheSessionsPriorityAndAnswerAReader) {
  engine->SetRemoteThreadPriority(5);
  TnxRemoteSession* urgent = Open();
  transport->Requests.clear();

  transport->Answer({{0, 0, Bytes({2, 42})}});
  uint32_t result = 1;
  const std::unique_ptr<TnxReplyReader> reader = urgent->RequestNoData(0x1A0, result);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(reader->ReadInteger(), 42);

  transport->Reply("", 10025);
  EXPECT_EQ(urgent->RequestNoDataNoReply(0x1A1), 10025u);
  ASSERT_EQ(Sent(), 2u);
  for (const ScriptedRequest& request : transport->Requests) {
    EXPECT_EQ(request.Priority, 5);
    EXPECT_TRUE(request.Data.empty());
  }
  EXPECT_EQ(urgent->RemoteThreadPriority(), 5);
  EXPECT_EQ(session->RemoteThreadPriority(), 0);
}

TEST_F(RemoteSessionTest, AQueuedBlockChangesHands) {
  void* block = nxGetMem(4);
  std::memcpy(block, "mine", 4);
  session->rsQueueMessageTakeOwnership(source, 0x321, 0, block, 4, false);
  EXPECT_EQ(block, nullptr);
  std::string reply;
  EXPECT_EQ(Request(source, 0x821, reply), 0u);
  EXPECT_EQ(reply, "mine");
  EXPECT_EQ(Sent(), 0u);
}

TEST_F(RemoteSessionTest, SwitchingAliasCachingOffMakesEveryListStale) {
  engine->SetCacheAliases(true);
  TnxRemoteSession* other = Open();
  session->SetAliasCacheValid(true);
  other->SetAliasCacheValid(true);
  engine->SetCacheAliases(true);
  EXPECT_TRUE(session->AliasCacheValid());
  engine->SetCacheAliases(false);
  EXPECT_FALSE(session->AliasCacheValid());
  EXPECT_FALSE(other->AliasCacheValid());
}

TEST_F(RemoteSessionTest, AFreedTransportStopsTheEngine) {
  engine->SetActive(false);
  transport.reset();
  EXPECT_EQ(engine->Transport(), nullptr);
  EXPECT_EQ(engine->ServerName(), u"");
}

}  // namespace
}  // namespace revurov::testing
