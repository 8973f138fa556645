// The listening side over the socket-pair medium: a real server with the
// test command handler, reached by the pooled client or by raw frames.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/events.h"
#include "platform/endian.h"
#include "platform/os_thread.h"
#include "platform/socket.h"
#include "support/named_component.h"
#include "support/recording_log.h"
#include "support/test_command_handler.h"
#include "support/within.h"
#include "transport/login_block.h"
#include "transport/pooled_transport.h"
#include "transport/remote_objects.h"
#include "transport/support/raw_client.h"
#include "transport/support/scripted_peer.h"
#include "transport/support/socket_pair_transport.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using namespace std::chrono_literals;
using testing::Make;
using testing::EncipheredLogin;
using testing::TPeerFrame;
using Frame = std::vector<uint8_t>;

constexpr char16_t kServerName[] = u"DispatchServer";

struct TRawClient : testing::TRawClient {
  TRawClient() : testing::TRawClient(kServerName) {}
};
constexpr TnxMsgID kBlockMsg = 0x77;
constexpr TnxMsgID kEchoMsg = 0x10;
constexpr TnxMsgID kNiceMsg = 0x55;

using testing::Within;

// Requests kBlockMsg wait until released (at most 30 s), after asking the
// pool for breath; every other request is the test handler's.
class TBlockingHandler : public testing::TTestCommandHandler {
  REVUROV_COMPONENT_CLASS(TBlockingHandler, testing::TTestCommandHandler)
  using TTestCommandHandler::TTestCommandHandler;

  void bchHandleMessage(const TnxDataMessage& aMessage) override {
    if (aMessage.dmMsg == kNiceMsg) {
      int nice = 0;
      uint8_t reply[4];
      platform::StoreU32(reply, platform::GetThreadNice(platform::CurrentThreadId(), nice) ? uint32_t(nice) : 99);
      TnxBaseTransport::Reply(aMessage.dmMsg, 0, reply, sizeof reply);
      return;
    }
    if (aMessage.dmMsg != kBlockMsg) return TTestCommandHandler::bchHandleMessage(aMessage);
    nxThreadBreath();
    {
      std::unique_lock lock(bhLock);
      ++bhBlocked;
      bhSignal.notify_all();
      bhSignal.wait_for(lock, 30s, [&] { return bhReleased; });
      --bhBlocked;
    }
    TnxBaseTransport::Reply(aMessage.dmMsg, 0, nullptr, 0);
  }
  bool WaitBlocked(int aCount) {
    std::unique_lock lock(bhLock);
    return bhSignal.wait_for(lock, 20s, [&] { return bhBlocked >= aCount; });
  }
  int Blocked() {
    std::lock_guard lock(bhLock);
    return bhBlocked;
  }
  void Release() {
    std::lock_guard lock(bhLock);
    bhReleased = true;
    bhSignal.notify_all();
  }

private:
  std::mutex bhLock;
  std::condition_variable bhSignal;
  int bhBlocked = 0;
  bool bhReleased = false;
};

struct Freed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
template <class T>
using Owned = std::unique_ptr<T, Freed>;

TnxBaseHeader HeaderOf(const Frame& aFrame) { return nxLoadHeader(aFrame.data()); }
Frame PayloadOf(const Frame& aFrame) { return Frame(aFrame.begin() + nxHeaderSize, aFrame.end()); }

struct TReplies {
  struct TReply {
    TnxMsgID msgID;
    uint32_t code;
    Frame data;
  };
  std::vector<TReply> list;
  static void Callback(TnxMsgID aMsgID, uint32_t aCode, const void* aData, int32_t aLen, void* aCookie) {
    const auto* bytes = static_cast<const uint8_t*>(aData);
    static_cast<TReplies*>(aCookie)->list.push_back({aMsgID, aCode, bytes ? Frame(bytes, bytes + aLen) : Frame{}});
  }
};

class ServerDispatch : public testing::LibraryStarted {
protected:
  void StartServer(int32_t aThreads = 2, int32_t aCap = nxDefaultMaxServerThreads, bool aWithHandler = true) {
    handler.reset(Make<TBlockingHandler>(u"H"));
    server.reset(Make<testing::TSocketPairTransport>(u"S"));
    server->SetServerName(kServerName);
    server->SetMode(nxtmListen);
    server->ServerThreads = aThreads;
    server->SetMaxServerThreads(aCap);
    if (aWithHandler) server->SetCommandHandler(handler.get());
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
  }
  Owned<testing::TSocketPairTransport> StartClient() {
    Owned<testing::TSocketPairTransport> client(Make<testing::TSocketPairTransport>(u"C"));
    client->SetServerName(kServerName);
    client->SetHeartbeatInterval(0);
    client->SetActive(true);
    return client;
  }
  // A raw client registered and logged in: its session handle.
  TnxSessionID LoggedIn(TRawClient& aClient) {
    aClient.Open();
    const Frame answer = aClient.Login(EncipheredLogin(u"admin", u"secret"), aClient.Transport);
    EXPECT_EQ(HeaderOf(answer).bhErrorCode, 0);
    return HeaderOf(answer).bhSessionID;
  }
  void TearDown() override {
    if (handler) handler->Release();
    if (server) server->SetActive(false);
    server.reset();
    handler.reset();
    EXPECT_EQ(nxLiveRemoteObjectCount(), 0);
    LibraryStarted::TearDown();
  }

  Owned<TBlockingHandler> handler;
  Owned<testing::TSocketPairTransport> server;
};

TEST_F(ServerDispatch, APooledClientLogsInAndItsRequestsComeBackThroughTheHandler) {
  StartServer();
  auto client = StartClient();
  int32_t serverVersion = 0;
  TnxSessionID session = 0;
  ASSERT_EQ(client->EstablishConnection(0, u"admin", u"secret", 1000, 47501, serverVersion, session), 0u);
  EXPECT_EQ(serverVersion, handler->ServerVersion);
  EXPECT_NE(session, 0u);
  EXPECT_NE(session, 0xFFFFFFFFu);

  // Small, and large enough to travel compressed both ways.
  client->SetCompressType(11);
  for (size_t size : {size_t{5}, size_t{20000}}) {
    const Frame data(size, 0x42);
    TReplies replies;
    client->Request(0, session, 0, kEchoMsg, 1000, data.data(), static_cast<int32_t>(size), &TReplies::Callback,
                    &replies);
    ASSERT_EQ(replies.list.size(), 1u);
    EXPECT_EQ(replies.list[0].code, 0u);
    EXPECT_EQ(replies.list[0].data, data);
  }
  // The handler saw the engine's session ID, not the wire handle.
  ASSERT_FALSE(handler->Received().empty());
  EXPECT_EQ(handler->Received().back().sessionID, *handler->Sessions().begin());

  // Type 22 ends the session: the engine hears of it.
  client->TerminateConnection(0, session, 1000);
  EXPECT_TRUE(Within(20s, [&] { return handler->Sessions().empty(); }));
  client->SetActive(false);
}

TEST_F(ServerDispatch, EveryFailureOfAMessageHasItsAnswer) {
  StartServer();
  TRawClient raw;
  const TnxSessionID session = LoggedIn(raw);
  auto script = [&](TnxMsgID aMsgID, testing::TReplyKind aKind, uint32_t aCode) {
    testing::TScriptedReply reply;
    reply.kind = aKind;
    reply.code = aCode;
    reply.data = {1, 2, 3};
    handler->Script(aMsgID, reply);
  };
  script(0x21, testing::TReplyKind::rkRaise, nxeInvalidParameter);
  script(0x22, testing::TReplyKind::rkNoReply, 0);
  script(0x23, testing::TReplyKind::rkReplyTwice, 7);

  const TPeerFrame request{.Type = nxmtRequest, .TransportID = raw.Transport, .SessionID = session, .MsgID = kEchoMsg, .Payload = {}};
  Frame version3 = request.Bytes();
  version3[8] = 3;
  TPeerFrame brokenText = request;
  brokenText.Flags = mhfErrorMessage;
  brokenText.Payload = {0xFF};

  struct Row {
    const char* name;
    Frame sent;
    uint8_t type;
    uint16_t code;
  };
  auto with = [&](auto aChange) {
    TPeerFrame f = request;
    aChange(f);
    return f.Bytes();
  };
  const Row rows[] = {
      {"header version above 2", version3, nxmtError, nxeIncompatibleVersion},
      {"broken error text", brokenText.Bytes(), nxmtError, nxeLostConnection},
      {"unknown message type", with([](TPeerFrame& f) { f.Type = 99; }), nxmtError, nxeCapabilityNotSupported},
      {"unknown session", with([](TPeerFrame& f) { f.SessionID = 0x12345; }), nxmtReply, nxeInvalidHandle},
      {"session handle 0", with([](TPeerFrame& f) { f.SessionID = 0; }), nxmtReply, nxeInvalidHandle},
      {"session handle FFFFFFFF", with([](TPeerFrame& f) { f.SessionID = 0xFFFFFFFF; }), nxmtReply,
       nxeInvalidHandle},
      {"transport handle as session", with([&](TPeerFrame& f) { f.SessionID = raw.Transport; }), nxmtReply,
       nxeInvalidHandle},
      {"unknown transport", with([](TPeerFrame& f) { f.TransportID = 0x7; }), nxmtReply, nxeInvalidHandle},
      {"handler raises", with([](TPeerFrame& f) { f.MsgID = 0x21; }), nxmtReply, nxeInvalidParameter},
      {"handler does not reply", with([](TPeerFrame& f) { f.MsgID = 0x22; }), nxmtReply, nxeMessageUnrecognized},
      {"handler replies twice", with([](TPeerFrame& f) { f.MsgID = 0x23; }), nxmtReply, 7},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    raw.Send(row.sent);
    const Frame answer = raw.Receive();
    ASSERT_GE(answer.size(), nxHeaderSize);
    const TnxBaseHeader h = HeaderOf(answer);
    EXPECT_EQ(h.bhMsgType, row.type);
    EXPECT_EQ(h.bhErrorCode, row.code);
    EXPECT_EQ(h.bhMsgID, HeaderOf(row.sent).bhMsgID);
  }
  // A raising post and a second reply send nothing more: the next answer
  // is the one to the next request.
  raw.Send(with([](TPeerFrame& f) {
    f.Type = nxmtPost;
    f.MsgID = 0x21;
  }));
  const Frame echo = raw.Exchange({.Type = nxmtRequest, .TransportID = raw.Transport, .SessionID = session,
                                   .MsgID = kEchoMsg, .Payload = {9, 8}});
  EXPECT_EQ(HeaderOf(echo).bhMsgType, nxmtReply);
  EXPECT_EQ(HeaderOf(echo).bhMsgID, kEchoMsg);
  EXPECT_EQ(PayloadOf(echo), (Frame{9, 8}));
}

TEST_F(ServerDispatch, ARequestRunsAtItsPriorityAndTheThreadGetsItsOwnBack) {
  StartServer(1, 1);
  TRawClient raw;
  const TnxSessionID session = LoggedIn(raw);
  auto niceFor = [&](uint8_t aVersion, int8_t aPriority) {
    TPeerFrame request{.Type = nxmtRequest, .TransportID = raw.Transport, .SessionID = session, .MsgID = kNiceMsg,
                       .Payload = {}};
    Frame bytes = request.Bytes();
    bytes[8] = aVersion;
    bytes[9] = static_cast<uint8_t>(aPriority);
    raw.Send(bytes);
    return static_cast<int32_t>(platform::LoadU32(PayloadOf(raw.Receive()).data()));
  };
  const int32_t own = niceFor(2, 0);
  ASSERT_NE(own, 99);
  // Version 0 ignores the priority; a lowering is undone afterwards.
  EXPECT_EQ(niceFor(0, -2), own);
  // Without the right to raise, the thread keeps its own value throughout.
  int mine = 0;
  const uint32_t self = platform::CurrentThreadId();
  ASSERT_TRUE(platform::GetThreadNice(self, mine));
  const bool privileged = platform::SetThreadNice(self, mine - 1) && platform::SetThreadNice(self, mine);
  EXPECT_EQ(niceFor(2, -2), privileged ? std::min(own + 10, 19) : own);
  EXPECT_EQ(niceFor(2, 0), own);
  EXPECT_EQ(niceFor(2, 1), privileged ? std::max(own - 5, -20) : own);
  EXPECT_EQ(niceFor(2, 0), own);
}

TEST_F(ServerDispatch, AListenerNotStartedAnswers11276) {
  Owned<testing::TSocketPairTransport> idle(Make<testing::TSocketPairTransport>(u"Idle"));
  idle->SetMode(nxtmListen);
  int fds[2];
  ASSERT_TRUE(platform::CreateSocketPair(fds));
  std::atomic<int64_t> received{0};
  auto* connection = new testing::TSocketPairServerConnection(idle.get(), fds[1], received);
  TnxBaseHeader header;
  header.bhTransportID = 5;
  header.bhMsgID = 9;
  header.bhVersion = nxClientMessageVersion;
  header.bhLength = nxHeaderSize;
  header.bhMsgType = nxmtRequest;
  idle->btProcessHeader(*connection, header, {});
  Frame answer(nxHeaderSize);
  ASSERT_TRUE(testing::ReadExactly(fds[0], answer.data(), answer.size()));
  EXPECT_EQ(HeaderOf(answer).bhMsgType, nxmtError);
  EXPECT_EQ(HeaderOf(answer).bhErrorCode, nxeLostConnection);
  EXPECT_EQ(HeaderOf(answer).bhTransportID, 5u);
  EXPECT_EQ(HeaderOf(answer).bhMsgID, 9u);
  connection->Free();
  platform::CloseSocket(fds[0]);
}

TEST_F(ServerDispatch, AReceivedRequestIsLoggedWithItsHeader) {
  StartServer();
  Owned<testing::TRecordingTransportLog> log(Make<testing::TRecordingTransportLog>(u"Log"));
  server->SetEventLog(log.get());
  server->SetEventLogEnabled(true);
  server->SetEventLogOptions(nxtpLogRequests);
  TRawClient raw;
  const TnxSessionID session = LoggedIn(raw);
  raw.Exchange({.Type = nxmtRequest, .TransportID = raw.Transport, .SessionID = session, .MsgID = 0x223,
                .Payload = {1, 2, 3}});
  server->SetEventLog(nullptr);
  std::vector<std::string> received;
  for (const auto& block : log->Blocks())
    if (block.lines.front().rfind("RecieveRequest", 0) == 0) received = block.lines;
  ASSERT_EQ(received.size(), 13u);
  EXPECT_EQ(received[0], "RecieveRequest [S: nxtmListen]");
  EXPECT_EQ(received[5], "  bhMsgID:            [547/223]");
  EXPECT_EQ(received[12], "  aBufferSize:        [3]");
}

TEST_F(ServerDispatch, AStoppedListenerRefusesNewConnections) {
  StartServer();
  server->SetActive(false);
  TRawClient raw;
  EXPECT_FALSE(raw.Connected());
}

TEST_F(ServerDispatch, RegistrationAndAttachNeedTheMarker) {
  StartServer();
  TRawClient first;
  first.Open();
  EXPECT_NE(first.Transport, 0u);
  EXPECT_NE(first.Marker, 0u);
  // A second registration on the same connection names the first.
  const Frame again = first.Exchange({.Type = nxmtOpenTransport, .Payload = {}});
  EXPECT_EQ(HeaderOf(again).bhErrorCode, nxeInvalidHandle);
  EXPECT_EQ(HeaderOf(again).bhTransportID, first.Transport);

  struct Row {
    const char* name;
    Frame payload;
    uint16_t code;
  } rows[] = {
      {"wrong marker", testing::U32Bytes(first.Marker ^ 1), nxeInvalidHandle},
      {"no marker", {}, nxeInvalidHandle},
      {"two bytes", {1, 2}, nxeInvalidHandle},
      {"the marker", testing::U32Bytes(first.Marker), 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRawClient other;
    const Frame answer =
        other.Exchange({.Type = nxmtAttachTransport, .TransportID = first.Transport, .Payload = row.payload});
    EXPECT_EQ(HeaderOf(answer).bhMsgType, nxmtTransportReply);
    EXPECT_EQ(HeaderOf(answer).bhErrorCode, row.code);
  }
  // Two registrations never share a marker or a handle.
  TRawClient second;
  second.Open();
  EXPECT_NE(second.Transport, first.Transport);
}

TEST_F(ServerDispatch, LoginFailuresGiveTheirCodes) {
  StartServer();
  Frame flipped = EncipheredLogin(u"admin", u"secret");
  flipped[nxLoginAuthOffset + 3] ^= 0x10;
  Frame wrongPassword = EncipheredLogin(u"admin", u"wrong");
  Frame shortBlock = EncipheredLogin(u"admin", u"secret");
  shortBlock.pop_back();

  struct Row {
    const char* name;
    Frame block;
    TnxMsgID msgID;
    bool ownTransport;
    uint16_t code;
  } rows[] = {
      {"one bit of the authentication", flipped, 1, true, nxeUnknownUserOrPassword},
      {"wrong password", wrongPassword, 1, true, nxeUnknownUserOrPassword},
      {"535 bytes", shortBlock, 1, true, nxeInvalidParameter},
      {"request number 2", EncipheredLogin(u"admin", u"secret"), 2, true, nxeInvalidParameter},
      {"another client's transport", EncipheredLogin(u"admin", u"secret"), 1, false, nxeInvalidParameter},
  };
  TRawClient other;
  other.Open();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TRawClient raw;
    raw.Open();
    const Frame answer = raw.Login(row.block, row.ownTransport ? raw.Transport : other.Transport, row.msgID);
    EXPECT_EQ(HeaderOf(answer).bhMsgType, nxmtLoginReply);
    EXPECT_EQ(HeaderOf(answer).bhErrorCode, row.code);
    EXPECT_EQ(answer.size(), nxHeaderSize);
  }
  EXPECT_TRUE(handler->Sessions().empty());
}

TEST_F(ServerDispatch, ALoginWithoutHandlerIs12289) {
  StartServer(2, nxDefaultMaxServerThreads, false);
  TRawClient raw;
  raw.Open();
  const Frame answer = raw.Login(EncipheredLogin(u"admin", u"secret"), raw.Transport);
  EXPECT_EQ(HeaderOf(answer).bhErrorCode, nxeCapabilityNotSupported);
}

TEST_F(ServerDispatch, AnotherClientsTransportAndSessionAreRefused) {
  StartServer();
  TRawClient a;
  const TnxSessionID sessionA = LoggedIn(a);
  TRawClient b;
  const TnxSessionID sessionB = LoggedIn(b);

  struct Row {
    const char* name;
    TnxTransportID transport;
    TnxSessionID session;
  } rows[] = {
      {"A's transport and session", a.Transport, sessionA},
      {"own transport, A's session", b.Transport, sessionA},
      {"A's transport, own session", a.Transport, sessionB},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Frame answer =
        b.Exchange({.Type = nxmtRequest, .TransportID = row.transport, .SessionID = row.session, .MsgID = kEchoMsg, .Payload = {}});
    EXPECT_EQ(HeaderOf(answer).bhErrorCode, nxeInvalidHandle);
  }
  // B ending A's session is ignored.
  b.Send({.Type = nxmtTerminateSession, .TransportID = a.Transport, .SessionID = sessionA, .Payload = {}});
  b.Send({.Type = nxmtTerminateSession, .TransportID = b.Transport, .SessionID = sessionA, .Payload = {}});
  const Frame answer =
      a.Exchange({.Type = nxmtRequest, .TransportID = a.Transport, .SessionID = sessionA, .MsgID = kEchoMsg, .Payload = {}});
  EXPECT_EQ(HeaderOf(answer).bhErrorCode, 0);
  EXPECT_EQ(handler->Sessions().size(), 2u);
}

TEST_F(ServerDispatch, ASessionEndedWhileItsRequestRunsDiesWhenTheRequestLetsGo) {
  StartServer();
  TRawClient first;
  const TnxSessionID session = LoggedIn(first);
  TRawClient second;
  ASSERT_EQ(HeaderOf(second.Exchange({.Type = nxmtAttachTransport, .TransportID = first.Transport,
                                      .Payload = testing::U32Bytes(first.Marker)}))
                .bhErrorCode,
            0);

  first.Send({.Type = nxmtRequest, .TransportID = first.Transport, .SessionID = session, .MsgID = kBlockMsg, .Payload = {}});
  ASSERT_TRUE(handler->WaitBlocked(1));
  second.Send({.Type = nxmtTerminateSession, .TransportID = first.Transport, .SessionID = session, .Payload = {}});
  // Freed: no request finds it any more, but it lives while its request runs.
  EXPECT_TRUE(Within(20s, [&] {
    const Frame answer = second.Exchange(
        {.Type = nxmtRequest, .TransportID = first.Transport, .SessionID = session, .MsgID = kEchoMsg, .Payload = {}});
    return HeaderOf(answer).bhErrorCode == nxeInvalidHandle;
  }));
  EXPECT_EQ(handler->Sessions().size(), 1u);

  handler->Release();
  const Frame reply = first.Receive();
  EXPECT_EQ(HeaderOf(reply).bhErrorCode, 0);
  EXPECT_TRUE(Within(20s, [&] { return handler->Sessions().empty(); }));
}

TEST_F(ServerDispatch, WithEveryThreadBlockedANewConnectionIsStillServed) {
  StartServer(1, 8);
  constexpr int kBlocked = 3;
  std::vector<std::unique_ptr<TRawClient>> clients;
  for (int i = 0; i < kBlocked; ++i) {
    clients.push_back(std::make_unique<TRawClient>());
    const TnxSessionID session = LoggedIn(*clients.back());
    clients.back()->Send(
        {.Type = nxmtRequest, .TransportID = clients.back()->Transport, .SessionID = session, .MsgID = kBlockMsg, .Payload = {}});
  }
  ASSERT_TRUE(handler->WaitBlocked(kBlocked));
  TRawClient late;
  late.Open();
  EXPECT_NE(late.Transport, 0u);
  EXPECT_LE(server->ServerThreadCount(), 8);
  handler->Release();
  for (auto& client : clients) EXPECT_EQ(HeaderOf(client->Receive()).bhErrorCode, 0);
}

TEST_F(ServerDispatch, AtTheCapCompletionsWaitForAFreeThread) {
  StartServer(1, 2);
  constexpr int kClients = 3;
  std::vector<std::unique_ptr<TRawClient>> clients;
  std::vector<TnxSessionID> sessions;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<TRawClient>());
    sessions.push_back(LoggedIn(*clients.back()));
  }
  for (int i = 0; i < kClients; ++i)
    clients[i]->Send(
        {.Type = nxmtRequest, .TransportID = clients[i]->Transport, .SessionID = sessions[i], .MsgID = kBlockMsg, .Payload = {}});
  ASSERT_TRUE(handler->WaitBlocked(2));
  // The third waits in the queue: the pool stays at its cap.
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(handler->Blocked(), 2);
  EXPECT_EQ(server->ServerThreadCount(), 2);
  handler->Release();
  for (auto& client : clients) EXPECT_EQ(HeaderOf(client->Receive()).bhErrorCode, 0);
  EXPECT_LE(server->ServerThreadCount(), 2);
}

TEST_F(ServerDispatch, TheStopFailsAndFreesEveryRemoteObject) {
  StartServer();
  TRawClient a;
  LoggedIn(a);
  TRawClient b;
  LoggedIn(b);
  EXPECT_EQ(server->ConnectionCount(), 2);
  server->SetActive(false);
  EXPECT_EQ(server->ConnectionCount(), 0);
  EXPECT_TRUE(handler->Sessions().empty());
  EXPECT_EQ(nxLiveRemoteObjectCount(), 0);
  // The clients see their connections end.
  EXPECT_TRUE(a.Receive().empty());
}

TEST_F(ServerDispatch, AClientWhoseConnectionsAllCloseWithoutSessionsIsFreed) {
  StartServer();
  {
    TRawClient once;
    once.Open();
    EXPECT_EQ(server->ConnectionCount(), 1);
  }
  EXPECT_TRUE(Within(20s, [&] { return server->ConnectionCount() == 0; }));
  // With a session it is kept, lost.
  auto raw = std::make_unique<TRawClient>();
  LoggedIn(*raw);
  const TnxTransportID transport = raw->Transport;
  raw.reset();
  EXPECT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 0; }));
  EXPECT_EQ(server->ConnectionCount(), 1);
  TnxBaseRemoteTransport* remote = nullptr;
  ASSERT_EQ(TnxBaseRemoteTransport::LookupByID(transport, remote), 0u);
  EXPECT_TRUE(Within(20s, [&] { return remote->IsLost(); }));
  remote->Unlock();
}

}  // namespace
}  // namespace revurov
