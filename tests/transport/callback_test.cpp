// Requests from a server to its clients: callback connections, session
// callbacks on both sides, broadcasts, and the watchdog that drops silent
// clients, over the socket-pair medium.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/streams/memory_stream.h"
#include "platform/endian.h"
#include "support/fake_transport_clock.h"
#include "support/named_component.h"
#include "support/test_command_handler.h"
#include "support/within.h"
#include "transport/pooled_transport.h"
#include "transport/remote_objects.h"
#include "transport/session_callbacks.h"
#include "transport/support/raw_client.h"
#include "transport/support/socket_pair_transport.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using namespace std::chrono_literals;
using testing::EncipheredLogin;
using testing::Make;
using testing::TPeerFrame;
using Frame = std::vector<uint8_t>;

constexpr char16_t kServerName[] = u"CallbackServer";
// Server requests: ask the client back (Request, ProcessRequest into a
// stream, Post) and keep the session callback for later.
constexpr TnxMsgID kAskBack = 0x40;
constexpr TnxMsgID kAskBackStream = 0x41;
constexpr TnxMsgID kPostBack = 0x42;
constexpr TnxMsgID kKeepCallback = 0x43;
// Client request: asks the server on its own session.
constexpr TnxMsgID kAskServer = 0x50;
constexpr TnxMsgID kEcho = 0x10;

using testing::Within;

struct TReply {
  uint32_t code = 0xFFFFFFFF;
  Frame data;
  int calls = 0;
  static void Callback(TnxMsgID, uint32_t aCode, const void* aData, int32_t aLen, void* aCookie) {
    auto* self = static_cast<TReply*>(aCookie);
    const auto* bytes = static_cast<const uint8_t*>(aData);
    self->code = aCode;
    self->data = bytes ? Frame(bytes, bytes + aLen) : Frame{};
    ++self->calls;
  }
};

Frame DataOf(const TnxDataMessage& aMessage) {
  const uint8_t* data = aMessage.dmData.get();
  return data ? Frame(data, data + aMessage.dmDataLen) : Frame{};
}

// The reply carries the code of the call back as u32, then its data.
void ReplyWith(TnxMsgID aMsgID, uint32_t aCode, const Frame& aData) {
  Frame reply(4);
  platform::StoreU32(reply.data(), aCode);
  reply.insert(reply.end(), aData.begin(), aData.end());
  TnxBaseTransport::Reply(aMsgID, 0, reply.data(), static_cast<int32_t>(reply.size()));
}

// Both sides' handler: the server's calls back into the requesting
// session, the client's calls its server on the session of the server's
// request; everything else is the test handler's.
class TCallingHandler : public testing::TTestCommandHandler {
  REVUROV_COMPONENT_CLASS(TCallingHandler, testing::TTestCommandHandler)
  using TTestCommandHandler::TTestCommandHandler;

  void bchHandleMessage(const TnxDataMessage& aMessage) override {
    const Frame data = DataOf(aMessage);
    switch (aMessage.dmMsg) {
      case kAskBack:
      case kAskServer: {
        TReply reply;
        auto callback = TnxBaseTransport::GetSessionCallback();
        if (!callback) return ReplyWith(aMessage.dmMsg, 0xDEAD, {});
        callback->Request(0, kEcho, 1000, data.data(), static_cast<int32_t>(data.size()), &TReply::Callback, &reply);
        return ReplyWith(aMessage.dmMsg, reply.code, reply.data);
      }
      case kAskBackStream: {
        auto callback = TnxBaseTransport::GetSessionCallback();
        auto* requests = dynamic_cast<TnxSessionRequestsBase*>(callback.Get());
        if (!requests || !platform::Supports<InxSessionRequests>(callback.Get()))
          return ReplyWith(aMessage.dmMsg, 0xDEAD, {});
        TnxMemoryStream stream;
        platform::TStream* target = &stream;
        const uint32_t code = requests->ProcessRequest(nullptr, 0, kEcho, 1000, data.data(),
                                                       static_cast<int32_t>(data.size()), &target, nullptr, nmdStream,
                                                       false, nullptr);
        const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
        return ReplyWith(aMessage.dmMsg, code, bytes ? Frame(bytes, bytes + stream.GetSize()) : Frame{});
      }
      case kPostBack: {
        if (auto callback = TnxBaseTransport::GetSessionCallback())
          callback->Post(0, kEcho, data.data(), static_cast<int32_t>(data.size()), 1000);
        return ReplyWith(aMessage.dmMsg, 0, {});
      }
      case kKeepCallback: {
        std::lock_guard guard(chLock);
        Kept = TnxBaseTransport::GetSessionCallback();
        return ReplyWith(aMessage.dmMsg, Kept ? 0 : 0xDEAD, {});
      }
      default:
        TTestCommandHandler::bchHandleMessage(aMessage);
    }
  }

  platform::TInterfacePtr<InxSessionCallback> TakeKept() {
    std::lock_guard guard(chLock);
    return std::move(Kept);
  }
  // Requests of aMsgID the handler received.
  int Count(TnxMsgID aMsgID) const {
    int count = 0;
    for (const auto& r : Received()) count += r.msgID == aMsgID;
    return count;
  }

private:
  std::mutex chLock;
  platform::TInterfacePtr<InxSessionCallback> Kept;  // under chLock
};

struct Freed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
template <class T>
using Owned = std::unique_ptr<T, Freed>;

class Callbacks : public testing::LibraryStarted {
protected:
  struct TClient {
    Owned<TCallingHandler> handler;
    Owned<testing::TSocketPairTransport> transport;
    TnxSessionID session = 0;
    // The server's answer to aMsgID: code of the call back and its data.
    std::pair<uint32_t, Frame> Ask(TnxMsgID aMsgID, const Frame& aData) {
      TReply reply;
      transport->Request(0, session, 0, aMsgID, 1000, aData.data(), static_cast<int32_t>(aData.size()),
                         &TReply::Callback, &reply);
      EXPECT_EQ(reply.calls, 1);
      EXPECT_EQ(reply.code, 0u);
      if (reply.data.size() < 4) return {0xFFFFFFFF, {}};
      return {platform::LoadU32(reply.data.data()), Frame(reply.data.begin() + 4, reply.data.end())};
    }
  };

  void StartServer(uint32_t aWatchdogInterval = 0) {
    serverHandler.reset(Make<TCallingHandler>(u"SH"));
    server.reset(Make<testing::TSocketPairTransport>(u"S"));
    server->SetServerName(kServerName);
    server->SetMode(nxtmListen);
    server->SetWatchdogInterval(aWatchdogInterval);
    server->SetCommandHandler(serverHandler.get());
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
  }
  TClient StartClient(uint8_t aCallbackThreads, bool aLogIn = true) {
    TClient client;
    client.handler.reset(Make<TCallingHandler>(u"CH"));
    client.transport.reset(Make<testing::TSocketPairTransport>(u"C"));
    client.transport->SetServerName(kServerName);
    client.transport->SetHeartbeatInterval(0);
    client.transport->SetCallbackThreadCount(aCallbackThreads);
    client.transport->SetCommandHandler(client.handler.get());
    client.transport->SetActive(true);
    EXPECT_EQ(client.transport->State(), nxsStarted);
    int32_t version = 0;
    if (aLogIn) {
      EXPECT_EQ(client.transport->EstablishConnection(0, u"admin", u"secret", 1000, 47501, version, client.session), 0u);
    }
    return client;
  }
  void TearDown() override {
    if (server) server->SetActive(false);
    server.reset();
    serverHandler.reset();
    EXPECT_EQ(nxLiveRemoteObjectCount(), 0);
    LibraryStarted::TearDown();
  }

  Owned<TCallingHandler> serverHandler;
  Owned<testing::TSocketPairTransport> server;
};

TEST_F(Callbacks, AServerHandlerCallsBackIntoItsClientSessionAndGetsTheClientsAnswer) {
  StartServer();
  TClient client = StartClient(2);
  EXPECT_EQ(client.transport->CallbackThreadsRunning(), 2);
  const Frame hello{'h', 'e', 'l', 'l', 'o'};

  auto [code, data] = client.Ask(kAskBack, hello);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(data, hello) << "the client handler's echo";
  // The client's handler saw the server's request on the client's session.
  ASSERT_EQ(client.handler->Count(kEcho), 1);
  EXPECT_EQ(client.handler->Received().back().sessionID, client.session);

  std::tie(code, data) = client.Ask(kAskBackStream, hello);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(data, hello) << "ProcessRequest wrote the reply into the stream";

  std::tie(code, data) = client.Ask(kPostBack, hello);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(Within(20s, [&] { return client.handler->Count(kEcho) == 3; })) << "the post arrived";
  client.transport->SetActive(false);
}

// The callback thread gives a large receive buffer back after its message:
// the next one, of any size, must still arrive whole.
TEST_F(Callbacks, CallbackRequestsOfEverySizeArriveWholeInAnyOrder) {
  StartServer();
  TClient client = StartClient(1);
  for (size_t size : {size_t{5}, size_t{200000}, size_t{10}, size_t{1} << 20, size_t{70000}, size_t{65536}}) {
    SCOPED_TRACE(size);
    Frame data(size);
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 13 + i / 509);
    auto [code, echoed] = client.Ask(kAskBack, data);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(echoed == data) << echoed.size();
  }
  client.transport->SetActive(false);
}

TEST_F(Callbacks, AClientServingItsServersRequestCallsTheServerOnTheSameSession) {
  StartServer();
  TClient client = StartClient(1);
  // Server asks the client back (kAskBack on the client's session), the
  // client's handler asks the server (kAskServer handled client-side calls
  // the server's echo through a local session callback).
  TReply reply;
  const Frame nested{'n'};
  auto callbackOfServer = [&] {
    // Sent by the server on the client's session: the client handler's
    // kAskServer goes back to the server's echo.
    TReply inner;
    server->Request(0, *serverHandler->Sessions().begin(), 0, kAskServer, 1000, nested.data(), 1, &TReply::Callback,
                    &inner);
    return inner;
  };
  const TReply inner = callbackOfServer();
  ASSERT_EQ(inner.calls, 1);
  EXPECT_EQ(inner.code, 0u);
  ASSERT_EQ(inner.data.size(), 5u);
  EXPECT_EQ(platform::LoadU32(inner.data.data()), 0u);
  EXPECT_EQ(inner.data.back(), 'n');
  EXPECT_EQ(serverHandler->Count(kEcho), 1) << "the client's local callback reached the server";
  EXPECT_EQ(serverHandler->Received().back().sessionID, *serverHandler->Sessions().begin());
  client.transport->SetActive(false);
}

TEST_F(Callbacks, ABroadcastReachesEverySession) {
  StartServer();
  TClient a = StartClient(1);
  TClient b = StartClient(1);
  TnxSessionID second = 0;
  int32_t version = 0;
  ASSERT_EQ(b.transport->EstablishConnection(0, u"admin", u"secret", 1000, 47501, version, second), 0u);
  ASSERT_EQ(serverHandler->Sessions().size(), 3u);
  const Frame news{'n', 'e', 'w', 's'};
  server->Broadcast(kEcho, 0, news.data(), 4, 1000);
  EXPECT_TRUE(Within(20s, [&] { return a.handler->Count(kEcho) == 1 && b.handler->Count(kEcho) == 2; }));
  for (const auto& r : b.handler->Received()) EXPECT_EQ(r.data, news);
  a.transport->SetActive(false);
  b.transport->SetActive(false);
}

TEST_F(Callbacks, WithoutCallbackConnectionsOrAfterTheSessionEndedACallbackAnswers11276WithoutAFrame) {
  StartServer();
  TClient none = StartClient(0);
  auto [code, data] = none.Ask(kAskBack, {'x'});
  EXPECT_EQ(code, nxeLostConnection) << "no callback connection was ever offered";
  std::tie(code, data) = none.Ask(kAskBackStream, {'x'});
  EXPECT_EQ(code, nxeLostConnection);

  TClient client = StartClient(1);
  std::tie(code, data) = client.Ask(kKeepCallback, {});
  ASSERT_EQ(code, 0u);
  auto kept = serverHandler->TakeKept();
  auto info = platform::Supports<InxSessionInfo>(kept.Get());
  ASSERT_TRUE(info);
  EXPECT_EQ(info->SessionID(), *serverHandler->Sessions().rbegin());

  // Type 22 ends the session: its callback is cut off.
  client.transport->TerminateConnection(0, client.session, 1000);
  ASSERT_TRUE(Within(20s, [&] { return serverHandler->Sessions().size() == 1; }));
  const int64_t sent = server->MessagesSent();
  TReply reply;
  kept->Request(0, kEcho, 1000, "y", 1, &TReply::Callback, &reply);
  EXPECT_EQ(reply.calls, 1);
  EXPECT_EQ(reply.code, nxeLostConnection);
  kept->Post(0, kEcho, "y", 1, 1000);
  EXPECT_EQ(server->MessagesSent(), sent) << "nothing went out";
  EXPECT_EQ(client.handler->Count(kEcho), 0);
  EXPECT_EQ(info->SessionID(), 0u);
  info.Reset();
  kept.Reset();
  none.transport->SetActive(false);
  client.transport->SetActive(false);
}

TEST_F(Callbacks, RegistrationOfACallbackConnectionNeedsAConnectionOfThatClient) {
  StartServer();
  testing::TRawClient owner(kServerName);
  owner.Open();
  testing::TRawClient stranger(kServerName);
  struct Row {
    const char* name;
    testing::TRawClient* client;
    TnxTransportID transport;
    uint16_t code;
  };
  testing::TRawClient other(kServerName);
  other.Open();
  const Row rows[] = {
      {"a connection of no client", &stranger, owner.Transport, nxeInvalidParameter},
      {"a connection of another client", &other, owner.Transport, nxeInvalidParameter},
      {"an unknown transport", &stranger, 0x12345678, nxeInvalidHandle},
      {"its own client", &owner, owner.Transport, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Frame answer = row.client->Exchange({.Type = nxmtRegisterCallback, .TransportID = row.transport,
                                               .MsgID = 0, .Payload = {}});
    ASSERT_GE(answer.size(), nxHeaderSize);
    EXPECT_EQ(nxLoadHeader(answer.data()).bhMsgType, nxmtCallbackRegistered);
    EXPECT_EQ(nxLoadHeader(answer.data()).bhErrorCode, row.code);
  }
  TnxBaseRemoteTransport* remote = nullptr;
  ASSERT_EQ(TnxBaseRemoteTransport::LookupByID(owner.Transport, remote), 0u);
  // Offered right after its acknowledgement went out.
  EXPECT_TRUE(Within(20s, [&] { return remote->IdleCallbackCount() == 1; }));
  remote->Unlock();
  ASSERT_EQ(TnxBaseRemoteTransport::LookupByID(other.Transport, remote), 0u);
  EXPECT_EQ(remote->IdleCallbackCount(), 0) << "the refused connection was not lent to the owner";
  EXPECT_FALSE(remote->SupportsCallbacks());
  remote->Unlock();
}

TEST_F(Callbacks, StopsReturnWithCallbackThreadsBlockedInTheirReads) {
  StartServer();
  TClient first = StartClient(3);
  TClient second = StartClient(2);
  // The client's stop ends its blocked reads.
  first.transport->SetActive(false);
  EXPECT_EQ(first.transport->CallbackThreadsRunning(), 0);
  EXPECT_EQ(first.transport->ClientConnectionCount(), 0);
  // The server's stop closes the other's callback connections: its threads
  // end by themselves.
  server->SetActive(false);
  EXPECT_TRUE(Within(20s, [&] { return second.transport->CallbackThreadsRunning() == 0; }));
  second.transport->SetActive(false);
}

TEST_F(Callbacks, ARefusedRegistrationFailsTheClientsStart) {
  // A server that answers type 30 with another type: the start fails with
  // 11276 and leaves no thread behind.
  testing::TScriptedPeer peer([](testing::TScriptedPeer::TEnd& aEnd) {
    Frame frame;
    while (aEnd.Receive(frame)) {
      const TnxBaseHeader h = nxLoadHeader(frame.data());
      if (h.bhMsgType == nxmtOpenTransport)
        aEnd.Send(TPeerFrame{.Type = nxmtTransportReply, .TransportID = 7, .Payload = testing::U32Bytes(1)}.Bytes());
      else if (h.bhMsgType == nxmtRegisterCallback)
        aEnd.Send(TPeerFrame{.Type = nxmtReply, .Payload = {}}.Bytes());
    }
  });
  testing::TSocketPairDirectory::Enter(u"Refusing", &peer, [&peer](int aFd) { return peer.Accept(aFd); });
  Owned<testing::TSocketPairTransport> client(Make<testing::TSocketPairTransport>(u"C"));
  client->SetServerName(u"Refusing");
  client->SetHeartbeatInterval(0);
  client->SetCallbackThreadCount(1);
  EXPECT_ANY_THROW(client->SetActive(true));
  EXPECT_NE(client->State(), nxsStarted);
  EXPECT_EQ(client->CallbackThreadsRunning(), 0);
  EXPECT_EQ(client->ClientConnectionCount(), 0);
  client.reset();
  testing::TSocketPairDirectory::Leave(u"Refusing", &peer);
}

TEST_F(Callbacks, AReverseLogInOpensASessionOfTheServerOnTheClient) {
  StartServer();
  TClient client = StartClient(1, false);
  const TnxTransportID remote = client.transport->TransportID();
  int32_t version = 0;
  TnxSessionID session = 0;
  struct Row {
    const char* name;
    TnxTransportID transport;
    const char16_t* password;
    uint32_t code;
  };
  TClient without = StartClient(0);
  const Row rows[] = {
      {"wrong password", remote, u"wrong", nxeUnknownUserOrPassword},
      {"unknown client", 0x12345678, u"secret", nxeInvalidHandle},
      {"a client without callback connections", without.transport->TransportID(), u"secret",
       nxeCapabilityNotSupported},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(server->EstablishConnection(row.transport, u"admin", row.password, 1000, 47501, version, session),
              row.code);
  }
  ASSERT_EQ(server->EstablishConnection(remote, u"admin", u"secret", 1000, 47501, version, session), 0u);
  EXPECT_EQ(version, client.handler->ServerVersion);
  ASSERT_EQ(client.handler->Sessions().size(), 1u);

  // The server's requests on that session reach the client's handler with
  // the client's engine session ID.
  TReply reply;
  server->Request(remote, session, 0, kEcho, 1000, "r", 1, &TReply::Callback, &reply);
  EXPECT_EQ(reply.code, 0u);
  EXPECT_EQ(reply.data, Frame{'r'});
  ASSERT_EQ(client.handler->Count(kEcho), 1);
  EXPECT_EQ(client.handler->Received().back().sessionID, *client.handler->Sessions().begin());

  server->TerminateConnection(remote, session, 1000);
  EXPECT_TRUE(Within(20s, [&] { return client.handler->Sessions().empty(); }));
  client.transport->SetActive(false);
  without.transport->SetActive(false);
}

// ---- the watchdog ----

TEST_F(Callbacks, TheWatchdogDropsSilentAndLostClientsOnTheTransportClock) {
  struct Row {
    const char* name;
    uint64_t start;          // the clock at registration
    int64_t interval;        // the client's heartbeat interval; -1: none sent
    bool lost;               // the client's only connection closes
    uint64_t keptAfter;      // still there this long after its last message
    uint64_t droppedAfter;   // failed this long after
  };
  constexpr uint64_t kNever = 0;
  const Row rows[] = {
      {"heartbeat 10 s: dropped between 20 and 30 s", 1'000'000, 10000, false, 20000, 20001},
      {"no heartbeat: never dropped for silence", 1'000'000, 0, false, 100'000'000, kNever},
      {"no interval sent: never dropped for silence", 1'000'000, -1, false, 100'000'000, kNever},
      {"no heartbeat, lost: dropped after LostConnectionTimeout", 1'000'000, 0, true, 10000, 10001},
      {"stamped just before 2^32 ms: still dropped", (uint64_t{1} << 32) - 5000, 10000, false, 20000, 20001},
  };
  testing::TFakeTransportClock clock;
  StartServer();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    clock.Set(row.start);
    auto raw = std::make_unique<testing::TRawClient>(kServerName);
    raw->Open(row.interval < 0 ? Frame{} : testing::U32Bytes(static_cast<uint32_t>(row.interval)));
    const TnxTransportID handle = raw->Transport;
    // A session keeps a lost client from being freed with its connection.
    ASSERT_EQ(nxLoadHeader(raw->Login(EncipheredLogin(u"admin", u"secret"), handle).data()).bhErrorCode, 0);
    if (row.lost) {
      raw->Close();
      TnxBaseRemoteTransport* remote = nullptr;
      ASSERT_TRUE(Within(20s, [&] {
        const bool lost = TnxBaseRemoteTransport::LookupByID(handle, remote) == 0 && remote->IsLost();
        if (remote) remote->Unlock();
        return lost;
      }));
    }
    auto alive = [&] {
      TnxBaseRemoteTransport* remote = nullptr;
      if (TnxBaseRemoteTransport::LookupByID(handle, remote) != 0) return false;
      remote->Unlock();
      return true;
    };
    clock.Set(row.start + row.keptAfter);
    server->btCheckLostConnections();
    EXPECT_TRUE(alive());
    if (row.droppedAfter != kNever) {
      clock.Set(row.start + row.droppedAfter);
      server->btCheckLostConnections();
      EXPECT_FALSE(alive());
      EXPECT_TRUE(Within(20s, [&] { return serverHandler->Sessions().empty(); })) << "its session failed with it";
    } else {
      raw->Close();
      // Ended by the test: the connection's end frees it once the session goes.
      TnxBaseRemoteTransport* remote = nullptr;
      if (TnxBaseRemoteTransport::LookupByID(handle, remote) == 0) {
        remote->Fail();
        remote->Unlock();
      }
    }
  }
}

TEST_F(Callbacks, TheWatchdogThreadRunsItsPassesOnlyWithAnInterval) {
  testing::TFakeTransportClock clock;
  for (uint32_t watchdog : {0u, 5u}) {
    SCOPED_TRACE(watchdog);
    StartServer(watchdog);
    testing::TRawClient raw(kServerName);
    raw.Open(testing::U32Bytes(10));
    const TnxTransportID handle = raw.Transport;
    clock.Advance(1'000'000);
    auto alive = [&] {
      TnxBaseRemoteTransport* remote = nullptr;
      if (TnxBaseRemoteTransport::LookupByID(handle, remote) != 0) return false;
      remote->Unlock();
      return true;
    };
    if (watchdog == 0) {
      std::this_thread::sleep_for(50ms);
      EXPECT_TRUE(alive()) << "no watchdog, no drop";
    } else {
      // The server may stamp the client's last message after the advance
      // above; moving the clock on while waiting makes the drop independent
      // of that order.
      EXPECT_TRUE(Within(20s, [&] {
        clock.Advance(1'000'000);
        return !alive();
      }));
    }
    server->SetActive(false);
  }
}

// ---- the heartbeat ----

TEST_F(Callbacks, TheHeartbeatSendsAKeepAliveAtOnceAndGivesUpAfterItsEleventhFailure) {
  // A long interval: the keep-alive at the start is the only one.
  testing::TScriptedPeer peer([](testing::TScriptedPeer::TEnd& aEnd) {
    Frame frame;
    while (aEnd.Receive(frame))
      if (nxLoadHeader(frame.data()).bhMsgType == nxmtOpenTransport)
        aEnd.Send(TPeerFrame{.Type = nxmtTransportReply, .TransportID = 7, .Payload = testing::U32Bytes(1)}.Bytes());
  });
  testing::TSocketPairDirectory::Enter(u"Beating", &peer, [&peer](int aFd) { return peer.Accept(aFd); });
  Owned<testing::TSocketPairTransport> client(Make<testing::TSocketPairTransport>(u"C"));
  client->SetServerName(u"Beating");
  client->SetHeartbeatInterval(600'000);
  client->SetActive(true);
  EXPECT_TRUE(Within(20s, [&] { return peer.FramesOfType(nxmtKeepAlive).size() == 1; }));
  const auto open = peer.FramesOfType(nxmtOpenTransport);
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(Frame(open[0].bytes.begin() + nxHeaderSize, open[0].bytes.end()), testing::U32Bytes(600'000))
      << "the interval is announced";
  const auto keepAlive = peer.FramesOfType(nxmtKeepAlive)[0].bytes;
  EXPECT_EQ(nxLoadHeader(keepAlive.data()).bhTransportID, 7u);
  EXPECT_EQ(keepAlive.size(), nxHeaderSize);
  EXPECT_TRUE(client->HeartbeatRunning());
  client->SetActive(false);
  EXPECT_FALSE(client->HeartbeatRunning());
  testing::TSocketPairDirectory::Leave(u"Beating", &peer);

  // No server: every keep-alive fails; the thread ends by itself.
  Owned<testing::TSocketPairTransport> lonely(Make<testing::TSocketPairTransport>(u"L"));
  lonely->SetServerName(u"Nobody");
  lonely->SetHeartbeatInterval(1);
  lonely->SetActive(true);
  EXPECT_TRUE(Within(20s, [&] { return !lonely->HeartbeatRunning(); }));
  lonely->SetActive(false);
}

TEST_F(Callbacks, AStopRightAfterTheStartWaitsForTheHeartbeatEvenBeforeItHasRun) {
  // The start no longer waits for the heartbeat thread to be scheduled, so a
  // stop may find it not yet running, or inside its first keep-alive.
  testing::TScriptedPeer peer([](testing::TScriptedPeer::TEnd& aEnd) {
    Frame frame;
    while (aEnd.Receive(frame))
      if (nxLoadHeader(frame.data()).bhMsgType == nxmtOpenTransport)
        aEnd.Send(TPeerFrame{.Type = nxmtTransportReply, .TransportID = 7, .Payload = testing::U32Bytes(1)}.Bytes());
  });
  testing::TSocketPairDirectory::Enter(u"Brief", &peer, [&peer](int aFd) { return peer.Accept(aFd); });
  Owned<testing::TSocketPairTransport> client(Make<testing::TSocketPairTransport>(u"C"));
  client->SetServerName(u"Brief");
  client->SetHeartbeatInterval(600'000);
  constexpr int kCycles = 50;
  for (int i = 0; i < kCycles; ++i) {
    client->SetActive(true);
    client->SetActive(false);
    ASSERT_FALSE(client->HeartbeatRunning()) << "cycle " << i;
  }
  EXPECT_LE(peer.FramesOfType(nxmtKeepAlive).size(), size_t{kCycles}) << "at most the one at each start";
  testing::TSocketPairDirectory::Leave(u"Brief", &peer);
}

TEST_F(Callbacks, AStoppedHeartbeatSendsNothingMoreThoughTheStopDoesNotWaitForItsEnd) {
  // A keep-alive every millisecond: a step after the stop would take a new
  // connection, which registers the transport again.
  testing::TScriptedPeer peer([](testing::TScriptedPeer::TEnd& aEnd) {
    Frame frame;
    while (aEnd.Receive(frame))
      if (nxLoadHeader(frame.data()).bhMsgType == nxmtOpenTransport)
        aEnd.Send(TPeerFrame{.Type = nxmtTransportReply, .TransportID = 7, .Payload = testing::U32Bytes(1)}.Bytes());
  });
  testing::TSocketPairDirectory::Enter(u"Busy", &peer, [&peer](int aFd) { return peer.Accept(aFd); });
  Owned<testing::TSocketPairTransport> client(Make<testing::TSocketPairTransport>(u"C"));
  client->SetServerName(u"Busy");
  client->SetHeartbeatInterval(1);
  constexpr int kCycles = 5;
  for (int i = 0; i < kCycles; ++i) {
    const size_t before = peer.FramesOfType(nxmtKeepAlive).size();
    client->SetActive(true);
    EXPECT_TRUE(Within(20s, [&] { return peer.FramesOfType(nxmtKeepAlive).size() >= before + 3; })) << "cycle " << i;
    client->SetActive(false);
    ASSERT_FALSE(client->HeartbeatRunning()) << "cycle " << i;
    // What was written before the stop arrives; then nothing more.
    size_t settled = 0;
    EXPECT_TRUE(Within(20s, [&] {
      const size_t now = peer.FramesOfType(nxmtKeepAlive).size();
      std::this_thread::sleep_for(20ms);
      settled = peer.FramesOfType(nxmtKeepAlive).size();
      return settled == now;
    }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(peer.FramesOfType(nxmtKeepAlive).size(), settled) << "cycle " << i;
    EXPECT_EQ(peer.FramesOfType(nxmtOpenTransport).size(), size_t(i + 1)) << "cycle " << i;
  }
  testing::TSocketPairDirectory::Leave(u"Busy", &peer);
}

// ---- the remote session callback on its own ----

class TCounted : public TnxInterfacedObject {
public:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return TnxInterfacedObject::GetInterface(iid, obj);
  }
};

TEST(RemoteSessionCallback, TheDataStoreKeepsTheFirstInterfaceOfAKeyAndOneReference) {
  auto callback = platform::TInterfacePtr<InxInternalSessionCallback>(
      nxCreate<TnxRemoteSessionCallback>(TnxTransportID{0}, TnxSessionID{0}));
  auto store = platform::Supports<InxSessionDataStore>(callback.Get());
  ASSERT_TRUE(store);
  auto* firstObject = nxCreate<TCounted>();
  auto first = platform::TInterfacePtr<platform::IInterface>(firstObject);
  auto second = platform::TInterfacePtr<platform::IInterface>(nxCreate<TCounted>());

  platform::TInterfacePtr<platform::IInterface> result;
  store->DataAdd(u"k", first.Get(), result);
  EXPECT_FALSE(result) << "a new key answers nothing";
  EXPECT_EQ(firstObject->RefCount(), 2) << "the test's and the store's";
  store->DataAdd(u"k", second.Get(), result);
  EXPECT_EQ(result, first) << "the existing one stays";
  result.Reset();
  store->DataGet(u"k", result);
  EXPECT_EQ(result, first);
  store->DataGet(u"missing", result);
  EXPECT_FALSE(result);
  store->DataRemove(u"k", result);
  EXPECT_EQ(result, first);
  result.Reset();
  EXPECT_EQ(firstObject->RefCount(), 1) << "the store's reference is gone";
  store->DataRemove(u"k", result);
  EXPECT_FALSE(result);

  // What the store holds goes with the callback.
  store->DataAdd(u"again", first.Get(), result);
  EXPECT_EQ(firstObject->RefCount(), 2) << "the test's and the store's";
  store.Reset();
  callback.Reset();
  EXPECT_EQ(firstObject->RefCount(), 1);
}

TEST(RemoteSessionCallback, OffersItsInterfacesAndItsNotifiersLearnOfTheDisconnect) {
  auto callback = platform::TInterfacePtr<InxInternalSessionCallback>(
      nxCreate<TnxRemoteSessionCallback>(TnxTransportID{0}, TnxSessionID{0}));
  EXPECT_TRUE(platform::Supports<InxSessionInfo>(callback.Get()));
  EXPECT_TRUE(platform::Supports<InxSessionRequests>(callback.Get()));
  EXPECT_TRUE(platform::Supports<InxSessionCallback>(callback.Get()));
  auto notifications = platform::Supports<InxSessionNotifications>(callback.Get());
  ASSERT_TRUE(notifications);
  struct TNotifier : TnxInterfacedObject, InxSessionNotifier {
    int told = 0;
    platform::HRESULT QueryInterface(const platform::TGUID& iid, void** obj) noexcept override {
      return TnxInterfacedObject::QueryInterface(iid, obj);
    }
    int32_t AddRef() noexcept override { return TnxInterfacedObject::AddRef(); }
    int32_t Release() noexcept override { return TnxInterfacedObject::Release(); }
    void SessionDisconnected() override { ++told; }
  };
  auto* notifierObject = nxCreate<TNotifier>();
  auto notifier = platform::TInterfacePtr<InxSessionNotifier>(notifierObject);
  notifications->RegisterNotifier(notifier.Get());
  callback->Disconnect();
  EXPECT_EQ(notifierObject->told, 1);
  TReply reply;
  callback->Request(0, 1, 0, nullptr, 0, &TReply::Callback, &reply);
  EXPECT_EQ(reply.code, nxeLostConnection);
  notifications.Reset();
}

}  // namespace
}  // namespace revurov
