// Remoting channels: the bytes of a call, a close and a reply; channel IDs
// and the search for an exit; malformed requests from a peer over TCP; the
// lives of exits and entrances; concurrent calls and their contexts.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/objects/handle_table.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "remoting_test_support.h"
#include "support/channel_fixture.h"
#include "support/child_process.h"
#include "support/test_transport.h"
#include "support/within.h"
#include "transport/remoting/call_context.h"
#include "transport/remoting/channels.h"

namespace revurov {
namespace {

using namespace std::chrono_literals;
using platform::HRESULT;
using platform::S_OK;
using platform::TGUID;
using platform::TInterfacePtr;
using testing::AppendGuid;
using testing::AppendInt32;
using testing::AppendInt8;
using testing::AppendPath;
using testing::ContextBlock;
using testing::operator+;
using testing::ChannelsOverTcp;
using testing::TaggedBytes;
using testing::TEchoSink;
using testing::Within;

constexpr TGUID kServer = platform::nxGuid("{5C0E7D21-6B3A-4F19-8E2D-1A9B0C3D4E51}");
constexpr TGUID kChannel = platform::nxGuid("{7A1B2C3D-4E5F-4061-8728-394A5B6C7D81}");

// Records each request and answers with the scripted reply (or code).
class TRecordingSession final : public TnxInterfacedObject, public InxSessionRequests {
public:
  uint32_t ProcessRequest(TnxMessageSource, TnxThreadPriority aPriority, TnxMsgID aMsgID, uint32_t aTimeout,
                          const void* aData, int32_t aLen, void* aReply, int32_t* aReplyLen,
                          TnxNetMsgDataType aReplyType, bool, uint32_t*) noexcept override {
    return ProcessRequestDirect(aPriority, aMsgID, aTimeout, aData, aLen, aReply, aReplyLen, aReplyType);
  }
  uint32_t ProcessRequestDirect(TnxThreadPriority, TnxMsgID aMsgID, uint32_t, const void* aData, int32_t aLen,
                                void* aReply, int32_t* aReplyLen, TnxNetMsgDataType aReplyType) noexcept override {
    const auto* bytes = static_cast<const uint8_t*>(aData);
    sent.push_back({aMsgID, TaggedBytes(bytes, bytes + aLen)});
    TnxStreamReplyCookie cookie{aMsgID, 0, aReply, aReplyLen, aReplyType};
    nxStreamReplyCallback(aMsgID, code, code ? nullptr : reply.data(), code ? 0 : static_cast<int32_t>(reply.size()),
                          &cookie);
    return cookie.srcResult;
  }
  void ProcessPost(TnxMessageSource, TnxThreadPriority, TnxMsgID, uint32_t, const void*, int32_t) noexcept override {}

  struct TSent {
    TnxMsgID msgID;
    TaggedBytes bytes;
  };
  std::vector<TSent> sent;
  TaggedBytes reply;
  uint32_t code = 0;

protected:
  bool GetInterface(const TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxSessionRequests>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }
};

class ChannelBytes : public testing::RemotingStarted {
protected:
  void SetUp() override {
    RemotingStarted::SetUp();
    session = TInterfacePtr<TRecordingSession>(nxCreate<TRecordingSession>());
    context = TInterfacePtr<InxCallContext>(nxCreate<TnxCallContext>());
  }
  void TearDown() override {
    context = nullptr;
    session = nullptr;
    RemotingStarted::TearDown();
  }
  TInterfacePtr<InxChannelEntrance> Entrance() {
    TInterfacePtr<InxChannelEntrance> entrance;
    EXPECT_EQ(nxCreateChannelEntrance(session.Get(), kServer, kChannel, entrance), S_OK);
    return entrance;
  }

  TInterfacePtr<TRecordingSession> session;
  TInterfacePtr<InxCallContext> context;
};

TEST_F(ChannelBytes, ACallIsTheContextBlockServerChannelKindOneAndTheCall) {
  TnxCallContextScope scope(context);
  auto entrance = Entrance();
  TInterfacePtr<InxWriter> writer;
  ASSERT_EQ(entrance->CreateRequest(writer), S_OK);
  writer->WriteInteger(int32_t{5});
  session->reply = {vaInt32, 0, 0, 0, 0, vaInt8, 9};
  TInterfacePtr<InxReader> reader;
  ASSERT_EQ(entrance->SendRequest(writer.Get(), reader), S_OK);
  EXPECT_EQ(reader->ReadInteger(), 9);

  TaggedBytes expected = ContextBlock(*context);
  AppendGuid(expected, kServer);
  AppendGuid(expected, kChannel);
  AppendInt8(expected, 1);
  AppendInt8(expected, 5);
  ASSERT_EQ(session->sent.size(), 1u);
  EXPECT_EQ(session->sent[0].msgID, 0x1201);
  EXPECT_EQ(session->sent[0].bytes, expected);
  EXPECT_FALSE(context->IsInCall());
}

TEST_F(ChannelBytes, DestroyingAConnectedEntranceSendsACloseAndIgnoresItsAnswer) {
  TnxCallContextScope scope(context);
  session->code = nxeLostConnection;  // the close fails: nothing escapes
  Entrance() = nullptr;
  TaggedBytes expected = ContextBlock(*context);
  AppendGuid(expected, kServer);
  AppendGuid(expected, kChannel);
  AppendInt8(expected, 0);
  ASSERT_EQ(session->sent.size(), 1u);
  EXPECT_EQ(session->sent[0].msgID, 0x1201);
  EXPECT_EQ(session->sent[0].bytes, expected);
}

TEST_F(ChannelBytes, SendAnswersTheRepliesFirstIntegerAndRaisesATransportFailure) {
  auto entrance = Entrance();
  const struct {
    const char* name;
    TaggedBytes reply;
    uint32_t code;
    HRESULT result;
  } rows[] = {
      {"failure result", {vaInt32, 0x05, 0x40, 0x00, 0x80}, 0, HRESULT(0x80004005u)},
      {"short form read as well", {vaInt8, 3}, 0, 3},
      {"transport failure", {}, nxeLostConnection, S_OK},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    session->reply = row.reply;
    session->code = row.code;
    TInterfacePtr<InxWriter> writer;
    ASSERT_EQ(entrance->CreateRequest(writer), S_OK);
    TInterfacePtr<InxReader> reader;
    if (row.code) {
      try {
        entrance->SendRequest(writer.Get(), reader);
        ADD_FAILURE() << "no exception";
      } catch (const EnxBaseException& e) {
        EXPECT_EQ(e.ErrorCode(), row.code);
      }
      EXPECT_EQ(reader.Get(), nullptr);
    } else {
      EXPECT_EQ(entrance->SendRequest(writer.Get(), reader), row.result);
      EXPECT_NE(reader.Get(), nullptr);
    }
  }
}

TEST_F(ChannelBytes, EntranceArgumentsAndAnEndedSession) {
  TInterfacePtr<InxChannelEntrance> none;
  EXPECT_EQ(nxCreateChannelEntrance(nullptr, kServer, kChannel, none), platform::E_INVALIDARG);
  TInterfacePtr<InxRequestWriter> noWriter;
  EXPECT_EQ(nxCreateRequestWriter(nullptr, noWriter), platform::E_INVALIDARG);

  auto entrance = Entrance();
  TGUID id;
  EXPECT_EQ(entrance->GetServerID(id), S_OK);
  EXPECT_EQ(id, kServer);
  EXPECT_EQ(entrance->GetChannelID(id), S_OK);
  EXPECT_EQ(id, kChannel);
  TInterfacePtr<InxReader> reader;
  // Not a request writer.
  EXPECT_EQ(entrance->SendRequest(session.Get(), reader), platform::E_INVALIDARG);
  EXPECT_TRUE(session->sent.empty());
}

// --- channel IDs and the search ----------------------------------------------

class ChannelIDs : public testing::RemotingStarted {};

TEST_F(ChannelIDs, TheSearchFindsOnlyTheExitAllFourWordsName) {
  TInterfacePtr<InxChannelSink> sink(nxCreate<TEchoSink>());
  TInterfacePtr<InxChannelExit> exit;
  ASSERT_EQ(nxCreateChannelExit(kServer, nullptr, sink.Get(), exit), S_OK);
  TGUID id;
  exit->GetChannelID(id);
  const std::array<uint32_t, 4> words = nxGuidWords(id);
  EXPECT_EQ(words[3], words[0] ^ words[1] ^ words[2]);
  EXPECT_EQ(words[2], TnxHandleTable::GenerationOf(words[0]));

  TInterfacePtr<InxTransportChannelExit> found;
  ASSERT_EQ(nxFindChannelExit(id, found), S_OK);
  EXPECT_EQ(static_cast<InxChannelExit*>(found.Get()), exit.Get());

  const struct {
    const char* name;
    int word;
    uint32_t flip;
    bool fixCheck;
    HRESULT result;
  } rows[] = {
      {"check word", 3, 1, false, platform::RPC_E_INVALID_HEADER},
      {"slot, check kept", 0, 1, false, platform::RPC_E_INVALID_HEADER},
      {"slot", 0, 1, true, platform::RPC_E_DISCONNECTED},
      {"type tag", 0, 0x10000000, true, platform::RPC_E_DISCONNECTED},
      {"secret", 1, 0x80, true, platform::RPC_E_DISCONNECTED},
      {"generation", 2, 1, true, platform::RPC_E_DISCONNECTED},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::array<uint32_t, 4> changed = words;
    changed[row.word] ^= row.flip;
    if (row.fixCheck) changed[3] = changed[0] ^ changed[1] ^ changed[2];
    TInterfacePtr<InxTransportChannelExit> other;
    EXPECT_EQ(nxFindChannelExit(nxGuidOfWords(changed), other), row.result);
    EXPECT_EQ(other.Get(), nullptr);
  }
  TInterfacePtr<InxTransportChannelExit> none;
  EXPECT_EQ(nxFindChannelExit(TGUID{}, none), platform::RPC_E_DISCONNECTED);
}

TEST_F(ChannelIDs, AReleasedExitIsNeverFoundAgainEvenWhileSearchesRace) {
  // Released at once by the keep-alive thread: searches race its last release.
  const uint32_t keepTime = nxKeepAliveTime();
  nxSetKeepAliveTime(0);
  const int32_t startExits = nxLiveChannelExitCount();
  for (int round = 0; round < 200; ++round) {
    TGUID id;
    {
      TInterfacePtr<InxChannelSink> sink(nxCreate<TEchoSink>());
      TInterfacePtr<InxChannelExit> exit;
      nxCreateChannelExit(kServer, nullptr, sink.Get(), exit);
      exit->GetChannelID(id);
    }
    // Bounded: the keep-alive thread lets go within its slack.
    bool gone = false;
    for (int i = 0; i < 200000 && !gone; ++i) {
      TInterfacePtr<InxTransportChannelExit> found;
      gone = nxFindChannelExit(id, found) == platform::RPC_E_DISCONNECTED;
    }
    ASSERT_TRUE(gone);
    TInterfacePtr<InxTransportChannelExit> again;
    EXPECT_EQ(nxFindChannelExit(id, again), platform::RPC_E_DISCONNECTED);
  }
  EXPECT_TRUE(Within(5s, [&] { return nxLiveChannelExitCount() == startExits; }));
  nxSetKeepAliveTime(keepTime);
}

TEST_F(ChannelIDs, DisconnectTellsTheSinkOnceAndACallThenAnswersDisconnected) {
  TInterfacePtr<TEchoSink> sink(nxCreate<TEchoSink>());
  TInterfacePtr<InxChannelExit> exit;
  nxCreateChannelExit(kServer, nullptr, sink.Get(), exit);
  EXPECT_FALSE(exit->IsConnected());  // no session notifications
  EXPECT_EQ(exit->Disconnect(), S_OK);
  EXPECT_EQ(exit->Disconnect(), S_OK);
  EXPECT_EQ(sink->removed.load(), 1);
}

TEST_F(ChannelIDs, TheEndOfTheExitsSessionDisconnectsItAndLetsTheSinkGo) {
  TInterfacePtr<TRecordingSession> host(nxCreate<TRecordingSession>());
  auto* notifications = nxCreate<TnxSessionNotifications>(static_cast<InxSessionRequests*>(host.Get()));
  const int32_t sinks = TEchoSink::Live().load();
  TInterfacePtr<InxChannelExit> exit;
  {
    TInterfacePtr<TEchoSink> sink(nxCreate<TEchoSink>());
    nxCreateChannelExit(kServer, notifications, sink.Get(), exit);
    EXPECT_TRUE(exit->IsConnected());
    // The session is reached through the exit while it is connected.
    EXPECT_TRUE(platform::Supports<InxSessionRequests>(static_cast<platform::IInterface*>(exit.Get())));
  }
  notifications->Disconnected();
  EXPECT_FALSE(exit->IsConnected());
  EXPECT_FALSE(platform::Supports<InxSessionRequests>(static_cast<platform::IInterface*>(exit.Get())));
  EXPECT_EQ(TEchoSink::Live().load(), sinks);
  notifications->Free();
}

// --- over TCP ----------------------------------------------------------------

struct TRawReply {
  uint32_t code = 0xFFFFFFFF;
  TaggedBytes data;
  int calls = 0;
  static void Callback(TnxMsgID, uint32_t aCode, const void* aData, int32_t aLen, void* aCookie) {
    auto* self = static_cast<TRawReply*>(aCookie);
    const auto* bytes = static_cast<const uint8_t*>(aData);
    self->code = aCode;
    self->data = bytes ? TaggedBytes(bytes, bytes + aLen) : TaggedBytes{};
    ++self->calls;
  }
};

class RemotingOverTcp : public ChannelsOverTcp {
protected:
  // aBytes as a 0x1201 request of the client, straight through the transport.
  TRawReply Raw(const TaggedBytes& aBytes, TnxMsgID aMsgID = 0x1201) {
    TRawReply reply;
    client->Request(0, sessionID, 0, aMsgID, 0, aBytes.data(), static_cast<int32_t>(aBytes.size()),
                    &TRawReply::Callback, &reply);
    EXPECT_EQ(reply.calls, 1);
    return reply;
  }
  static TaggedBytes Block(uint32_t aVersion = 1, const TGUID& aID = InxCallContext::IID) {
    TaggedBytes bytes;
    AppendGuid(bytes, aID);
    AppendInt8(bytes, static_cast<int8_t>(aVersion));
    bytes.push_back(vaNil);
    return bytes;
  }
  static TaggedBytes Request(const TGUID& aServer, const TGUID& aChannel, int32_t aKind, const TaggedBytes& aCall = {},
                             const TaggedBytes& aBlock = Block()) {
    TaggedBytes bytes = aBlock;
    AppendGuid(bytes, aServer);
    AppendGuid(bytes, aChannel);
    AppendInt8(bytes, static_cast<int8_t>(aKind));
    return bytes + aCall;
  }
  static TaggedBytes Result(HRESULT aResult) {
    TaggedBytes bytes;
    AppendInt32(bytes, static_cast<uint32_t>(aResult));
    return bytes;
  }
  TInterfacePtr<InxChannelEntrance> EntranceTo(const testing::TMadeExit& aExit) {
    TInterfacePtr<InxChannelEntrance> entrance;
    EXPECT_EQ(nxCreateChannelEntrance(Requests(), aExit.serverID, aExit.channelID, entrance), S_OK);
    return entrance;
  }
  // An echo call through aEntrance.
  static HRESULT Echo(InxChannelEntrance& aEntrance, const TaggedBytes& aData, TaggedBytes& aBack) {
    TInterfacePtr<InxWriter> writer;
    if (HRESULT result = aEntrance.CreateRequest(writer); result != S_OK) return result;
    writer->WriteInteger(int32_t{testing::soEcho});
    writer->WriteInteger(static_cast<int32_t>(aData.size()));
    writer->WriteBinary(aData.data(), static_cast<int32_t>(aData.size()));
    TInterfacePtr<InxReader> reader;
    const HRESULT result = aEntrance.SendRequest(writer.Get(), reader);
    if (result == S_OK) {
      aBack.resize(aData.size());
      reader->ReadBinary(aBack.data(), static_cast<int32_t>(aBack.size()));
    }
    return result;
  }
};

TEST_F(RemotingOverTcp, TheCreateInstanceReplyInItsBytes) {
  const TGUID proxyA = platform::nxGuid("{11111111-2222-4333-8444-555555555501}");
  const TGUID proxyB = platform::nxGuid("{11111111-2222-4333-8444-555555555502}");
  const TGUID classID = platform::nxGuid("{11111111-2222-4333-8444-5555555555C1}");
  TaggedBytes request = Block();
  AppendInt8(request, 2);
  request.insert(request.end(), {vaBinary, 32, 0, 0, 0});
  for (const TGUID& id : {proxyA, proxyB}) {
    uint8_t raw[16];
    platform::GUIDToBytes(id, raw);
    request.insert(request.end(), raw, raw + 16);
  }
  AppendGuid(request, classID);
  AppendGuid(request, platform::IInterface::IID);
  AppendGuid(request, nxProcessID());
  const TRawReply reply = Raw(request, 0x1200);
  ASSERT_EQ(reply.code, 0u);
  EXPECT_EQ(handler->Offered(), (std::vector<TGUID>{proxyA, proxyB}));

  // The channel ID is the server's to choose; the rest is fixed.
  ASSERT_GT(reply.data.size(), 5u + 21 + 21);
  const TGUID channel = platform::GUIDFromBytes(reply.data.data() + 5 + 21 + 5);
  TaggedBytes expected = Result(S_OK);
  AppendGuid(expected, nxProcessID());
  AppendGuid(expected, channel);
  AppendGuid(expected, proxyA);
  AppendPath(expected, {{nxProcessID(), channel}});
  AppendInt8(expected, testing::kStubVersion);
  EXPECT_EQ(reply.data, expected);
  ExpectStartCounts();
}

TEST_F(RemotingOverTcp, ACallReachesTheSinkAndItsResultsComeBack) {
  testing::TMadeExit made = MakeExit();
  ASSERT_EQ(made.result, S_OK);
  EXPECT_EQ(made.serverID, nxProcessID());
  EXPECT_EQ(made.version, testing::kStubVersion);
  {
    auto entrance = EntranceTo(made);
    EXPECT_TRUE(entrance->IsConnected());
    const TaggedBytes data{1, 2, 3, 250, 0, 7};
    TaggedBytes back;
    ASSERT_EQ(Echo(*entrance, data, back), S_OK);
    EXPECT_EQ(back, data);

    // The sink's own answers and exceptions.
    const struct {
      const char* name;
      testing::TSinkOp op;
      uint32_t value;
      HRESULT result;
      uint32_t raised;
    } rows[] = {
        {"failure result", testing::soFail, 0x80004005u, HRESULT(0x80004005u), 0},
        {"exception", testing::soRaise, 10252, S_OK, 10252},
    };
    for (const auto& row : rows) {
      SCOPED_TRACE(row.name);
      TInterfacePtr<InxWriter> writer;
      ASSERT_EQ(entrance->CreateRequest(writer), S_OK);
      writer->WriteInteger(int32_t{row.op});
      writer->WriteInteger(static_cast<int32_t>(row.value));
      TInterfacePtr<InxReader> reader;
      if (row.raised) {
        try {
          entrance->SendRequest(writer.Get(), reader);
          ADD_FAILURE() << "no exception";
        } catch (const EnxBaseException& e) {
          EXPECT_EQ(e.ErrorCode(), row.raised);
        }
      } else {
        EXPECT_EQ(entrance->SendRequest(writer.Get(), reader), row.result);
      }
    }
  }
  // The entrance's close disconnected the exit, which was held by its calls.
  made.pin = nullptr;
  ExpectStartCounts();
  TInterfacePtr<InxTransportChannelExit> gone;
  EXPECT_EQ(nxFindChannelExit(made.channelID, gone), platform::RPC_E_DISCONNECTED);
}

TEST_F(RemotingOverTcp, AnExitNeverCalledGoesWhenItsKeepTimeEnds) {
  testing::TMadeExit made = MakeExit();
  ASSERT_EQ(made.result, S_OK);
  ASSERT_NE(made.pin.Get(), nullptr);
  made.pin = nullptr;
  ExpectStartCounts();
  TInterfacePtr<InxTransportChannelExit> found;
  EXPECT_EQ(nxFindChannelExit(made.channelID, found), platform::RPC_E_DISCONNECTED);
}

TEST_F(RemotingOverTcp, ACloseForADisconnectedExitStillAnswersOk) {
  testing::TMadeExit made = MakeExit();
  ASSERT_EQ(made.result, S_OK);
  for (int i = 0; i < 2; ++i) {
    const TRawReply reply = Raw(Request(nxProcessID(), made.channelID, 0));
    EXPECT_EQ(reply.code, 0u);
    EXPECT_EQ(reply.data, Result(S_OK));
  }
  // A call after the close: the exit lives on for its keep time, unconnected.
  const TRawReply reply = Raw(Request(nxProcessID(), made.channelID, 1, {vaInt8, testing::soContext}));
  EXPECT_EQ(reply.data, Result(platform::RPC_E_DISCONNECTED));
  made.pin = nullptr;
  ExpectStartCounts();
}

TEST_F(RemotingOverTcp, MalformedRequestsGetTheirCodesAndRouteNothing) {
  testing::TMadeExit stale = MakeExit();
  ASSERT_EQ(stale.result, S_OK);
  stale.pin = nullptr;
  // Released when its keep time ends; the next exit takes its slot.
  ASSERT_TRUE(Within(5s, [&] {
    TInterfacePtr<InxTransportChannelExit> found;
    return nxFindChannelExit(stale.channelID, found) == platform::RPC_E_DISCONNECTED;
  }));
  testing::TMadeExit live = MakeExit();
  ASSERT_EQ(live.result, S_OK);
  ASSERT_EQ(TnxHandleTable::SlotOf(nxGuidWords(stale.channelID)[0]),
            TnxHandleTable::SlotOf(nxGuidWords(live.channelID)[0]));

  std::array<uint32_t, 4> badCheck = nxGuidWords(live.channelID);
  badCheck[3] ^= 1;
  std::array<uint32_t, 4> badSecret = nxGuidWords(live.channelID);
  badSecret[1] ^= 1;
  badSecret[3] ^= 1;
  const TaggedBytes call{vaInt8, testing::soContext};
  const struct {
    const char* name;
    TaggedBytes request;
    HRESULT result;
  } rows[] = {
      {"bad check word", Request(nxProcessID(), nxGuidOfWords(badCheck), 1, call), platform::RPC_E_INVALID_HEADER},
      {"another secret", Request(nxProcessID(), nxGuidOfWords(badSecret), 1, call), platform::RPC_E_DISCONNECTED},
      {"stale channel ID, slot reused", Request(nxProcessID(), stale.channelID, 1, call),
       platform::RPC_E_DISCONNECTED},
      {"foreign server ID", Request(kServer, live.channelID, 1, call), RPC_E_INVALID_DATAPACKET},
      {"kind 7", Request(nxProcessID(), live.channelID, 7, call), RPC_E_INVALID_DATAPACKET},
      {"kind -1", Request(nxProcessID(), live.channelID, -1, call), RPC_E_INVALID_DATAPACKET},
      {"context block of another ID", Request(nxProcessID(), live.channelID, 1, call, Block(1, kServer)),
       platform::RPC_E_INVALID_HEADER},
      {"context block version 2", Request(nxProcessID(), live.channelID, 1, call, Block(2)),
       platform::RPC_E_VERSION_MISMATCH},
      {"context block version 0", Request(nxProcessID(), live.channelID, 1, call, Block(0)),
       platform::RPC_E_VERSION_MISMATCH},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const TRawReply reply = Raw(row.request);
    EXPECT_EQ(reply.code, 0u);
    EXPECT_EQ(reply.data, Result(row.result));
  }

  // Cut at every byte: each answer is a failure, in a normal or a
  // transport error reply, never a call.
  const TaggedBytes whole = Request(nxProcessID(), live.channelID, 1, {vaInt8, testing::soFail, vaInt8, 0});
  for (size_t size = 0; size < whole.size(); ++size) {
    SCOPED_TRACE(size);
    const TRawReply reply = Raw(TaggedBytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(size)));
    if (reply.code == 0) {
      ASSERT_EQ(reply.data.size(), 5u);
      EXPECT_EQ(reply.data[0], vaInt32);
      EXPECT_NE(platform::LoadU32(reply.data.data() + 1), 0u);
    } else {
      EXPECT_TRUE(reply.data.empty());
    }
  }
  EXPECT_EQ(Raw(whole).data, Result(S_OK));
  EXPECT_EQ(Raw(Request(nxProcessID(), live.channelID, 0)).data, Result(S_OK));
  live.pin = nullptr;
  ExpectStartCounts();
}

TEST_F(RemotingOverTcp, AfterItsSessionEndsAnEntranceIsDisconnectedAndItsDestructionSendsNothing) {
  testing::TMadeExit made = MakeExit();
  ASSERT_EQ(made.result, S_OK);
  auto entrance = EntranceTo(made);
  session->End();
  EXPECT_FALSE(entrance->IsConnected());
  TInterfacePtr<InxWriter> writer;
  EXPECT_EQ(entrance->CreateRequest(writer), platform::RPC_E_DISCONNECTED);
  EXPECT_EQ(writer.Get(), nullptr);
  TInterfacePtr<InxReader> reader;
  EXPECT_EQ(entrance->SendRequest(nullptr, reader), platform::RPC_E_DISCONNECTED);
  const int32_t sent = session->requests.load();
  entrance = nullptr;
  EXPECT_EQ(session->requests.load(), sent);
  made.pin = nullptr;
  ExpectStartCounts();
}

TEST_F(RemotingOverTcp, ConcurrentCallsOnOneExitEachSeeOnlyTheirOwnContext) {
  testing::TMadeExit made = MakeExit();
  ASSERT_EQ(made.result, S_OK);
  auto entrance = EntranceTo(made);
  constexpr int kThreads = 8;
  constexpr int kCalls = 25;
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      TInterfacePtr<InxCallContext> own(nxCreate<TnxCallContext>());
      TnxRoutingPath ownPath;
      own->GetRoutingPath(ownPath);
      TnxCallContextScope scope(own);
      for (int i = 0; i < kCalls; ++i) {
        TInterfacePtr<InxWriter> writer;
        if (entrance->CreateRequest(writer) != S_OK) return;
        writer->WriteInteger(int32_t{testing::soContext});
        TInterfacePtr<InxReader> reader;
        if (entrance->SendRequest(writer.Get(), reader) != S_OK) return;
        TnxRoutingPath seen;
        nxReadRoutingPath(*reader, seen);
        // The serving thread's context: the caller's path and one entry of its own.
        if (seen.size() == 2 && seen[0] == ownPath[0] && seen[1].oiServerID == nxProcessID()) good.fetch_add(1);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), kThreads * kCalls);
  entrance = nullptr;
  made.pin = nullptr;
  ExpectStartCounts();
}

// --- exceptions while a request is served ---------------------------------------

// Over the in-process test transport, which answers 15522 for a request
// that got no reply at all.
class ChannelExceptions : public testing::RemotingStarted {
protected:
  void SetUp() override {
    RemotingStarted::SetUp();
    handler.reset(testing::NewComponent<testing::TRemotingHandler>(u"EH"));
    server.reset(testing::NewComponent<testing::TTestTransport>(u"ES"));
    server->SetMode(nxtmListen);
    server->SetServerName(u"S");
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    client.reset(testing::NewComponent<testing::TTestTransport>(u"EC"));
    client->SetServerName(u"S");
    client->Server = server.get();
    client->SetActive(true);
    session.reset(testing::NewComponent<testing::TTransportSession>(u"ESession"));
    int32_t version = 0;
    TnxSessionID id = 0;
    ASSERT_EQ(client->EstablishConnection(0, u"admin", u"secret", 1000, 47501, version, id), 0u);
    session->Attach(client.get(), id);
  }
  void TearDown() override {
    session.reset();
    client.reset();
    server.reset();
    handler.reset();
    RemotingStarted::TearDown();
  }

  testing::TOwned<testing::TRemotingHandler> handler;
  testing::TOwned<testing::TTestTransport> server;
  testing::TOwned<testing::TTestTransport> client;
  testing::TOwned<testing::TTransportSession> session;
};

TEST_F(ChannelExceptions, AnExceptionIsAnsweredWithItsCodeExceptALostConnectionWhichSendsNothing) {
  TInterfacePtr<InxRequestWriter> create;
  ASSERT_EQ(nxCreateRequestWriter(session.get(), create), S_OK);
  create->WriteInteger(int32_t{1});
  const uint8_t proxy[16] = {};
  create->WriteBinary(proxy, 16);
  create->WriteGuid(kChannel);
  create->WriteGuid(platform::IInterface::IID);
  create->WriteGuid(nxProcessID());
  TInterfacePtr<InxReader> made;
  ASSERT_EQ(create->Send(nxCreateInstanceMsgID, made), S_OK);
  const TGUID server = made->ReadGuid();
  const TGUID channel = made->ReadGuid();
  TInterfacePtr<InxTransportChannelExit> pin;
  ASSERT_EQ(nxFindChannelExit(channel, pin), S_OK);
  TInterfacePtr<InxChannelEntrance> entrance;
  ASSERT_EQ(nxCreateChannelEntrance(session.get(), server, channel, entrance), S_OK);

  const struct {
    const char* name;
    uint32_t raised;
    uint32_t received;
  } rows[] = {
      {"a library error", 10252, 10252},
      {"lost connection: no reply at all", nxeLostConnection, nxeMessageUnrecognized},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TInterfacePtr<InxWriter> writer;
    ASSERT_EQ(entrance->CreateRequest(writer), S_OK);
    writer->WriteInteger(int32_t{testing::soRaise});
    writer->WriteInteger(static_cast<int32_t>(row.raised));
    TInterfacePtr<InxReader> reader;
    try {
      entrance->SendRequest(writer.Get(), reader);
      ADD_FAILURE() << "no exception";
    } catch (const EnxBaseException& e) {
      EXPECT_EQ(e.ErrorCode(), row.received);
    }
  }
}

// --- a client process killed --------------------------------------------------

using testing::TChildProcess;

// The child: a client that makes an exit in its server, calls it once (so
// that the exit holds itself) and waits to be killed, 60 s at most.
[[noreturn]] void RunCallingClient(uint16_t aPort) {
  using testing::NewComponent;
  nxRemotingStartup();
  testing::TOwned<TnxIPv4Transport> client(NewComponent<TnxIPv4Transport>(u"KC"));
  testing::TOwned<testing::TTransportSession> session(NewComponent<testing::TTransportSession>(u"KS"));
  try {
    // The parent may still be starting to listen.
    if (!testing::ChildLogIn(aPort, *client, *session)) platform::ExitProcessNow(1);
    const InxSessionRequests* requests = session.get();
    TInterfacePtr<InxRequestWriter> writer;
    nxCreateRequestWriter(const_cast<InxSessionRequests*>(requests), writer);
    writer->WriteInteger(int32_t{1});
    uint8_t raw[16] = {};
    writer->WriteBinary(raw, 16);
    writer->WriteGuid(kChannel);
    writer->WriteGuid(platform::IInterface::IID);
    writer->WriteGuid(nxProcessID());
    TInterfacePtr<InxReader> reader;
    const HRESULT made = writer->Send(nxCreateInstanceMsgID, reader);
    if (made != S_OK) platform::ExitProcessNow(2);
    const TGUID server = reader->ReadGuid();
    const TGUID channel = reader->ReadGuid();
    TInterfacePtr<InxChannelEntrance> entrance;
    nxCreateChannelEntrance(session.get(), server, channel, entrance);
    TInterfacePtr<InxWriter> call;
    entrance->CreateRequest(call);
    call->WriteInteger(int32_t{testing::soContext});
    TInterfacePtr<InxReader> answer;
    const HRESULT called = entrance->SendRequest(call.Get(), answer);
    if (called != S_OK) platform::ExitProcessNow(3);
    std::this_thread::sleep_for(60s);
  } catch (...) {
    platform::ExitProcessNow(4);
  }
  platform::ExitProcessNow(0);
}

int RunCallingClientEntry(const std::vector<std::string>& aArgs) { RunCallingClient(static_cast<uint16_t>(std::stoi(aArgs.at(0)))); }
REVUROV_CHILD_ENTRY("calling-client", RunCallingClientEntry);

class RemotingKilledClient : public testing::RemotingStarted {};

TEST_F(RemotingKilledClient, TheServersExitDisconnectsAndItsSinkGoesWhenTheClientProcessIsKilled) {
  const uint32_t keepTime = nxKeepAliveTime();
  // Long enough for the child's first call to come in time on a loaded machine.
  nxSetKeepAliveTime(500);
  const int32_t exits = nxLiveChannelExitCount();
  const int32_t sinks = TEchoSink::Live().load();
  // A port that is free now; the child dials it until the server listens.
  const int fd = platform::TcpListen({platform::kInet4Loopback, 0}, 1);
  platform::TInet4Address address;
  platform::SocketLocalAddress(fd, address);
  platform::CloseSocket(fd);
  const int32_t pid = testing::SpawnChild("calling-client", {std::to_string(address.port)});
  ASSERT_GT(pid, 0);
  TChildProcess child(pid);

  testing::TOwned<testing::TRemotingHandler> handler(testing::NewComponent<testing::TRemotingHandler>(u"KH"));
  testing::TOwned<TnxIPv4Transport> server(testing::NewComponent<TnxIPv4Transport>(u"KSrv"));
  server->SetServerName(u"KilledClientServer");
  server->SetMode(nxtmListen);
  server->SetPort(address.port);
  platform::TStringList addresses;
  addresses.Add(u"127.0.0.1");
  server->SetListenAddresses(addresses);
  server->SetHeartbeatInterval(0);
  server->SetWatchdogInterval(50);
  server->SetLostConnectionTimeout(300);
  server->SetCommandHandler(handler.get());
  server->SetActive(true);
  ASSERT_EQ(server->State(), nxsStarted);

  // Made and called; past its keep time only the exit's own reference holds it.
  ASSERT_TRUE(Within(20s, [&] { return TEchoSink::Live().load() == sinks + 1 && handler->Offered().size() == 1; }));
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(nxLiveChannelExitCount(), exits + 1);
  child.Kill();
  EXPECT_TRUE(Within(20s, [&] { return nxLiveChannelExitCount() == exits && TEchoSink::Live().load() == sinks; }))
      << "exits " << nxLiveChannelExitCount() - exits << ", sinks " << TEchoSink::Live().load() - sinks;
  server->SetActive(false);
  nxSetKeepAliveTime(keepTime);
}

}  // namespace
}  // namespace revurov
