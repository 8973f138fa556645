// Scenarios every medium of the pooled transports runs: each real transport
// adds its row to kMedia.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/cipher/blowfish_rc4.h"
#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "platform/endian.h"
#include "support/exception_message.h"
#include "support/fake_transport_clock.h"
#include "support/named_component.h"
#include "support/within.h"
#include "transport/connection.h"
#include "transport/payload_compression.h"
#include "transport/pooled_transport.h"
#include "transport/support/pipe_medium.h"
#include "transport/support/scripted_peer.h"
#include "transport/support/socket_pair_transport.h"
#include "transport/support/tcp_medium.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using testing::Make;

struct TMedium {
  const char* name;
  // What clients dial.
  std::u16string serverName;
  std::function<TnxBasePooledTransport*(std::u16string aName)> make;
  // A client connection of a started sending transport; null when none.
  std::function<TnxBaseConnection*(TnxBasePooledTransport&)> connect;
  // Bytes the listener has read so far.
  std::function<int64_t(TnxBasePooledTransport&)> received;
  // Reads on the client end without a time limit: >0 bytes, 0 at the end.
  std::function<int64_t(TnxBaseConnection&)> blockingRead;
  // Makes a scripted peer answer connections to a server name until the
  // token goes.
  std::function<std::shared_ptr<void>(testing::TScriptedPeer&, const std::u16string&)> serve;
  // A scripted peer's refusal fails the connect itself; over TCP the
  // kernel has accepted by then (a port nobody listens on is TCP's case).
  bool refusesConnects = true;
};

void PrintTo(const TMedium& aMedium, std::ostream* aOut) { *aOut << aMedium.name; }

const TMedium kMedia[] = {
    {"socket_pair", u"MediumServer",
     [](std::u16string aName) -> TnxBasePooledTransport* { return Make<testing::TSocketPairTransport>(aName); },
     [](TnxBasePooledTransport& t) -> TnxBaseConnection* {
       return static_cast<testing::TSocketPairTransport&>(t).Connect();
     },
     [](TnxBasePooledTransport& t) { return static_cast<testing::TSocketPairTransport&>(t).BytesReceived.load(); },
     [](TnxBaseConnection& c) {
       char buffer[16];
       return platform::SocketRead(static_cast<testing::TSocketPairConnection&>(c).Fd(), buffer, sizeof buffer);
     },
     [](testing::TScriptedPeer& aPeer, const std::u16string& aName) -> std::shared_ptr<void> {
       testing::TSocketPairDirectory::Enter(aName, &aPeer, [&aPeer](int aFd) { return aPeer.Accept(aFd); });
       return std::shared_ptr<void>(&aPeer, [aName](void* aOwner) { testing::TSocketPairDirectory::Leave(aName, aOwner); });
     }},
    {"tcp", u"MediumServer@127.0.0.1",
     [](std::u16string aName) -> TnxBasePooledTransport* { return Make<testing::TTcpMediumTransport>(aName); },
     [](TnxBasePooledTransport& t) -> TnxBaseConnection* {
       const int fd = platform::TcpConnect({platform::kInet4Loopback, testing::TcpMediumPort().load()}, 3000);
       return fd < 0 ? nullptr : new testing::TSocketPairConnection(&t, fd);
     },
     [](TnxBasePooledTransport& t) { return static_cast<TnxWinsockTransport&>(t).BytesRead(); },
     [](TnxBaseConnection& c) {
       char buffer[16];
       return platform::SocketRead(static_cast<testing::TSocketPairConnection&>(c).Fd(), buffer, sizeof buffer);
     },
     [](testing::TScriptedPeer& aPeer, const std::u16string&) -> std::shared_ptr<void> {
       auto listener = std::make_shared<testing::TTcpTestListener>([&aPeer](int aFd) { aPeer.Accept(aFd); });
       testing::TcpMediumPort() = listener->port;
       return listener;
     },
     false},
    {"named_pipe", u"MediumServer",
     [](std::u16string aName) -> TnxBasePooledTransport* { return Make<testing::TPipeMediumTransport>(aName); },
     [](TnxBasePooledTransport& t) -> TnxBaseConnection* {
       const int fd = testing::DialPipe(u"MediumServer");
       return fd < 0 ? nullptr : new testing::TSocketPairConnection(&t, fd);
     },
     [](TnxBasePooledTransport& t) { return static_cast<TnxNamedPipeTransport&>(t).BytesRead(); },
     [](TnxBaseConnection& c) {
       char buffer[16];
       return platform::SocketRead(static_cast<testing::TSocketPairConnection&>(c).Fd(), buffer, sizeof buffer);
     },
     [](testing::TScriptedPeer& aPeer, const std::u16string& aName) -> std::shared_ptr<void> {
       aPeer.CountsParts = true;
       return std::make_shared<testing::TPipeTestListener>(aName, [&aPeer](int aFd) {
         // A turned-down client hears no greeting, as with a server out of
         // instances.
         if (!aPeer.Refuse.load()) platform::SocketWrite(aFd, "\1", 1);
         aPeer.Accept(aFd);
       });
     }},
};

struct Freed {
  void operator()(TnxBasePooledTransport* aTransport) const { platform::TComponent::Free(aTransport); }
};
using Transport = std::unique_ptr<TnxBasePooledTransport, Freed>;

class Medium : public testing::LibraryStarted, public ::testing::WithParamInterface<TMedium> {
protected:
  Transport MakeTransport(TnxTransportMode aMode, std::u16string aName) {
    Transport t(GetParam().make(aName));
    t->SetServerName(GetParam().serverName);
    t->SetMode(aMode);
    // A heartbeat would connect at the start and add frames of its own.
    t->SetHeartbeatInterval(0);
    return t;
  }
};

using testing::Within;

TEST_P(Medium, StopOfAClientThatNeverConnectedReturnsAtOnce) {
  testing::TFakeTransportClock clock;
  auto client = MakeTransport(nxtmSend, u"C");
  client->SetActive(true);
  ASSERT_EQ(client->State(), nxsStarted);
  client->SetActive(false);
  EXPECT_TRUE(clock.Sleeps().empty());
  EXPECT_FALSE(client->IsConnected());
}

TEST_P(Medium, BytesOfAClientReachTheListener) {
  auto server = MakeTransport(nxtmListen, u"S");
  server->SetActive(true);
  ASSERT_EQ(server->State(), nxsStarted);
  auto client = MakeTransport(nxtmSend, u"C");
  client->SetActive(true);
  TnxBaseConnection* connection = GetParam().connect(*client);
  ASSERT_NE(connection, nullptr);
  EXPECT_TRUE(client->IsConnected());
  EXPECT_TRUE(Within(std::chrono::seconds(20), [&] { return server->ServerConnectionCount() == 1; }));
  // Keep-alives of 3000 bytes each: the listener reads whole messages.
  TnxMessageFields fields;
  fields.mfMsgType = nxmtKeepAlive;
  fields.mfParts = 1;  // the pipe medium checks it
  const std::vector<uint8_t> payload(3000 - nxHeaderSize, 0x5A);
  TnxHeapBuffer frame;
  nxBuildFrame(fields, 0, payload, frame);
  for (int i = 0; i < 4; ++i) connection->DoWrite(0, 0, 0, 0, 0, 0, 0, 0, frame.Data(), 3000);
  EXPECT_TRUE(Within(std::chrono::seconds(20), [&] { return GetParam().received(*server) == 12000; }))
      << GetParam().received(*server);
  client->SetActive(false);
  // The client's end closed: the listener frees its end.
  EXPECT_TRUE(Within(std::chrono::seconds(20), [&] { return server->ServerConnectionCount() == 0; }));
  server->SetActive(false);
}

TEST_P(Medium, StopWithConnectionsServerThreadsAndABlockedReaderReturns) {
  auto server = MakeTransport(nxtmListen, u"S");
  server->SetActive(true);
  auto client = MakeTransport(nxtmSend, u"C");
  client->SetActive(true);
  std::vector<TnxBaseConnection*> connections;
  for (int i = 0; i < 3; ++i) {
    connections.push_back(GetParam().connect(*client));
    ASSERT_NE(connections.back(), nullptr);
  }
  ASSERT_TRUE(Within(std::chrono::seconds(20), [&] { return server->ServerConnectionCount() == 3; }));
  // Waits for a reply that never comes.
  std::atomic<int64_t> readResult{-2};
  std::thread reader([&] { readResult = GetParam().blockingRead(*connections[0]); });

  server->SetActive(false);
  EXPECT_EQ(server->ServerConnectionCount(), 0);
  reader.join();
  EXPECT_EQ(readResult.load(), 0) << "the reader saw the end of the stream";
  // A listener that stopped takes no new connections.
  EXPECT_EQ(GetParam().connect(*client), nullptr);
  client->SetActive(false);
  EXPECT_EQ(client->ClientConnectionCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Media, Medium, ::testing::ValuesIn(kMedia),
                         [](const ::testing::TestParamInfo<TMedium>& aInfo) { return std::string(aInfo.param.name); });

// ---- the client side: pool, request path and log-in against a scripted server ----

using testing::Hex;
using testing::TPeerFrame;
using testing::TScriptedPeer;
using Frame = std::vector<uint8_t>;

constexpr TnxTransportID kServerTransportID = 0x11223344;
constexpr uint32_t kMarker = 0xCAFEBABE;
constexpr TnxSessionID kServerSession = 0x0A0B0C0D;
constexpr int32_t kServerVersion = 47600;
constexpr uint8_t kLz4 = 11;

TnxBaseHeader HeaderOf(const Frame& aFrame) { return nxLoadHeader(aFrame.data()); }
Frame PayloadOf(const Frame& aFrame) { return Frame(aFrame.begin() + nxHeaderSize, aFrame.end()); }

// What the scripted server answers to each message type; an empty answer
// sends nothing. Handshake and log-in answer as a server would by default,
// a request gets its payload back.
struct TServerAnswers {
  using TAnswer = std::function<Frame(TScriptedPeer::TEnd&, const Frame&)>;
  TAnswer open = [](TScriptedPeer::TEnd&, const Frame&) {
    return TPeerFrame{.Type = nxmtTransportReply, .TransportID = kServerTransportID,
                      .Payload = testing::U32Bytes(kMarker)}.Bytes();
  };
  TAnswer attach = [](TScriptedPeer::TEnd&, const Frame& aFrame) {
    const bool known = PayloadOf(aFrame) == testing::U32Bytes(kMarker);
    return TPeerFrame{.Type = nxmtTransportReply, .TransportID = kServerTransportID,
                      .ErrorCode = uint16_t(known ? 0 : nxeInvalidHandle), .Payload = {}}.Bytes();
  };
  TAnswer request = [](TScriptedPeer::TEnd&, const Frame& aFrame) {
    const TnxBaseHeader h = HeaderOf(aFrame);
    return TPeerFrame{.Type = nxmtReply, .TransportID = h.bhTransportID, .SessionID = h.bhSessionID,
                      .MsgID = h.bhMsgID, .Payload = PayloadOf(aFrame)}.Bytes();
  };
  TAnswer login = [](TScriptedPeer::TEnd&, const Frame&) {
    Frame payload = testing::U32Bytes(kServerSession);
    const Frame version = testing::U32Bytes(kServerVersion);
    payload.insert(payload.end(), version.begin(), version.end());
    return TPeerFrame{.Type = nxmtLoginReply, .SessionID = kServerSession, .MsgID = 1, .Payload = payload}.Bytes();
  };
  // The peer ends the connection after its answer to a request or log-in.
  bool endAfterAnswer = false;
};

TScriptedPeer::TScript ServerScript(TServerAnswers aAnswers) {
  return [aAnswers](TScriptedPeer::TEnd& aEnd) {
    Frame frame;
    while (aEnd.Receive(frame)) {
      Frame answer;
      switch (HeaderOf(frame).bhMsgType) {
        case nxmtOpenTransport: answer = aAnswers.open(aEnd, frame); break;
        case nxmtAttachTransport: answer = aAnswers.attach(aEnd, frame); break;
        case nxmtRequest: answer = aAnswers.request(aEnd, frame); break;
        case nxmtLogin: answer = aAnswers.login(aEnd, frame); break;
        default: continue;  // posts and terminations are never answered
      }
      if (!answer.empty()) aEnd.Send(answer);
      if (aAnswers.endAfterAnswer && (HeaderOf(frame).bhMsgType == nxmtRequest || HeaderOf(frame).bhMsgType == nxmtLogin))
        return;
    }
  };
}

struct TReplies {
  struct TReply {
    TnxMsgID msgID;
    uint32_t code;
    Frame data;
  };
  std::vector<TReply> list;
  bool raise = false;

  static void Callback(TnxMsgID aMsgID, uint32_t aCode, const void* aData, int32_t aLen, void* aCookie) {
    auto* self = static_cast<TReplies*>(aCookie);
    const auto* bytes = static_cast<const uint8_t*>(aData);
    self->list.push_back({aMsgID, aCode, bytes ? Frame(bytes, bytes + aLen) : Frame{}});
    if (self->raise) throw std::runtime_error("the requester fails on its reply");
  }
};

class ClientMedium : public Medium {
protected:
  void Serve(TServerAnswers aAnswers = {}) {
    peer = std::make_unique<TScriptedPeer>(ServerScript(std::move(aAnswers)));
    served = GetParam().serve(*peer, u"MediumServer");
    client = MakeTransport(nxtmSend, u"C");
    client->SetActive(true);
    ASSERT_EQ(client->State(), nxsStarted);
  }
  // Ends the client, then the peer, as a test does between rows.
  void Close() {
    client.reset();
    served.reset();
    peer.reset();
  }
  void TearDown() override {
    Close();
    Medium::TearDown();
  }
  TReplies Ask(TnxMsgID aMsgID, const Frame& aData, TnxSessionID aSession = 0x55, TnxThreadPriority aPriority = 0,
               bool aRaise = false) {
    TReplies replies;
    replies.raise = aRaise;
    client->Request(0, aSession, aPriority, aMsgID, 0, aData.empty() ? nullptr : aData.data(),
                    static_cast<int32_t>(aData.size()), &TReplies::Callback, &replies);
    return replies;
  }
  uint32_t LogIn(const std::u16string& aUser, const std::u16string& aPassword, TnxSessionID& aSession,
                 int32_t& aServerVersion) {
    return client->EstablishConnection(0, aUser, aPassword, 5000, 47501, aServerVersion, aSession);
  }

  std::unique_ptr<TScriptedPeer> peer;
  std::shared_ptr<void> served;
  Transport client;
};

TEST_P(ClientMedium, TheFirstConnectionRegistersTheTransportAndCarriesTheRequests) {
  Serve();
  client->SetThreadPriorityMin(-2);
  client->SetThreadPriorityMax(2);
  TReplies replies = Ask(0x1234, {'A', 'B', 'C', 'D'}, 0x55, 9);
  ASSERT_EQ(replies.list.size(), 1u);
  EXPECT_EQ(replies.list[0].msgID, 0x1234u);
  EXPECT_EQ(replies.list[0].code, 0u);
  EXPECT_EQ(replies.list[0].data, (Frame{'A', 'B', 'C', 'D'}));
  EXPECT_EQ(client->TransportID(), kServerTransportID);

  replies = Ask(7, {});
  ASSERT_EQ(replies.list.size(), 1u);
  EXPECT_EQ(replies.list[0].code, 0u);
  EXPECT_TRUE(replies.list[0].data.empty());

  const auto frames = peer->Frames();
  ASSERT_EQ(frames.size(), 3u);
  // Type 10 with the heartbeat interval (none).
  EXPECT_EQ(frames[0].bytes, Hex("00000000 00000000 02000000 00000000 24000000 00000000 0000 0A 00 00000000 00000000"));
  // The priority is clamped to 2.
  EXPECT_EQ(frames[1].bytes, Hex("44332211 55000000 02020000 34120000 24000000 00000000 0000 01 00 00000000 41424344"));
  // No data: the header alone.
  EXPECT_EQ(frames[2].bytes, Hex("44332211 55000000 02000000 07000000 20000000 00000000 0000 01 00 00000000"));
  EXPECT_EQ(peer->Connections(), 1) << "the idle connection is reused";
}

TEST_P(ClientMedium, LargeRequestsAndRepliesTravelCompressed) {
  Frame data(600);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t("xyz"[i % 3]);
  TServerAnswers answers;
  answers.request = [](TScriptedPeer::TEnd&, const Frame& aFrame) {
    Frame reply(600, 'q');
    std::vector<uint8_t> packed(nxCompressScratchSize(reply.size()));
    uint32_t uncompressed = 0;
    packed.resize(nxCompressPayload(kLz4, 0, reply, packed.data(), uncompressed));
    return TPeerFrame{.Type = nxmtReply, .MsgID = HeaderOf(aFrame).bhMsgID, .CompressType = kLz4,
                      .UncompressedSize = uncompressed, .Payload = packed}.Bytes();
  };
  Serve(answers);
  client->SetCompressType(kLz4);
  TReplies replies = Ask(0x300, data, 0x55, 1);
  ASSERT_EQ(replies.list.size(), 1u);
  EXPECT_EQ(replies.list[0].code, 0u);
  EXPECT_EQ(replies.list[0].data, Frame(600, 'q'));

  const auto requests = peer->FramesOfType(nxmtRequest);
  ASSERT_EQ(requests.size(), 1u);
  const Frame& sent = requests[0].bytes;
  ASSERT_LT(sent.size(), nxHeaderSize + 600) << "sent compressed";
  Frame expected = Hex("44332211 55000000 02010000 00030000 00000000 00000000 0000 01 0B 58020000");
  platform::StoreU32(expected.data() + 16, static_cast<uint32_t>(sent.size()));
  EXPECT_EQ(Frame(sent.begin(), sent.begin() + nxHeaderSize), expected);
  TnxHeapBuffer unpacked;
  ASSERT_TRUE(nxDecompressPayload(kLz4, PayloadOf(sent), 600, unpacked));
  EXPECT_EQ(Frame(unpacked.Data(), unpacked.Data() + unpacked.Size()), data);
}

TEST_P(ClientMedium, PostsAndTerminationsAreWrittenAndNeverAnswered) {
  Serve();
  client->TerminateConnection(0, 0x77, 0);
  EXPECT_EQ(peer->Attempts.load(), 0) << "a transport without a connection sends nothing";

  const Frame wxyz{'W', 'X', 'Y', 'Z'};
  client->Post(0, 0x66, 1, 0x4321, wxyz.data(), 4, 0);
  client->TerminateConnection(0, 0x77, 0);
  ASSERT_EQ(Ask(1, {}).list.at(0).code, 0u) << "the connection is still in step";
  const auto frames = peer->Frames();
  ASSERT_EQ(frames.size(), 4u);
  EXPECT_EQ(frames[0].Type(), nxmtOpenTransport);
  EXPECT_EQ(frames[1].bytes, Hex("44332211 66000000 02010000 21430000 24000000 00000000 0000 03 00 00000000 5758595A"));
  EXPECT_EQ(frames[2].bytes, Hex("44332211 77000000 02000000 00000000 20000000 00000000 0000 16 00 00000000"));
  EXPECT_EQ(peer->Connections(), 1);

  client->SetActive(false);
  EXPECT_NE(testing::MessageOf<EnxBaseException>([&] { client->Post(0, 1, 0, 1, wxyz.data(), 4, 0); }),
            u"(no exception)");
}

TEST_P(ClientMedium, TwoThreadsOnAFreshTransportRegisterOnceAndAttachWithTheMarker) {
  TServerAnswers answers;
  const TServerAnswers defaults;
  // No reply before both connections exist, so neither thread can reuse
  // the other's connection.
  answers.request = [defaults](TScriptedPeer::TEnd& aEnd, const Frame& aFrame) {
    aEnd.Peer().WaitFor([](const std::vector<TScriptedPeer::TReceived>& aFrames) {
      int requests = 0;
      for (auto& f : aFrames) requests += f.Type() == nxmtRequest;
      return requests == 2;
    });
    return defaults.request(aEnd, aFrame);
  };
  Serve(answers);
  TReplies first, second;
  std::thread a([&] { first = Ask(1, {'a'}); });
  std::thread b([&] { second = Ask(2, {'b'}); });
  a.join();
  b.join();
  ASSERT_EQ(first.list.size(), 1u);
  ASSERT_EQ(second.list.size(), 1u);
  EXPECT_EQ(first.list[0].code, 0u);
  EXPECT_EQ(second.list[0].code, 0u);
  EXPECT_EQ(peer->FramesOfType(nxmtOpenTransport).size(), 1u);
  const auto attaches = peer->FramesOfType(nxmtAttachTransport);
  ASSERT_EQ(attaches.size(), 1u);
  EXPECT_EQ(attaches[0].bytes, Hex("44332211 00000000 02000000 00000000 24000000 00000000 0000 0C 00 00000000 BEBAFECA"));
  EXPECT_EQ(peer->Connections(), 2);
}

TEST_P(ClientMedium, ARefusedMarkerFailsTheTransportUntilItIsStartedAgain) {
  TServerAnswers answers;
  answers.attach = [](TScriptedPeer::TEnd&, const Frame&) {
    return TPeerFrame{.Type = nxmtTransportReply, .TransportID = kServerTransportID, .ErrorCode = nxeInvalidHandle,
                      .Payload = {}}
        .Bytes();
  };
  Serve(answers);
  ASSERT_EQ(Ask(1, {'a'}).list.at(0).code, 0u);
  // Kept busy, so the next request needs a connection of its own.
  ASSERT_NE(client->PopAvailableConnection(), nullptr);
  TReplies refused = Ask(2, {'b'});
  ASSERT_EQ(refused.list.size(), 1u);
  EXPECT_EQ(refused.list[0].msgID, 2u);
  EXPECT_EQ(refused.list[0].code, nxeLostConnection);
  EXPECT_TRUE(refused.list[0].data.empty());
  EXPECT_TRUE(client->Failed());
  EXPECT_EQ(client->ClientConnectionCount(), 1) << "the refused connection is freed";

  const size_t frames = peer->Frames().size();
  const int attempts = peer->Attempts.load();
  EXPECT_EQ(Ask(3, {'c'}).list.at(0).code, nxeLostConnection);
  TnxSessionID session = 9;
  int32_t version = 0;
  EXPECT_EQ(LogIn(u"u", u"p", session, version), nxeLostConnection);
  client->Post(0, 1, 0, 4, "d", 1, 0);
  client->TerminateConnection(0, 1, 0);
  EXPECT_EQ(peer->Frames().size(), frames) << "a failed transport sends nothing";
  EXPECT_EQ(peer->Attempts.load(), attempts);

  client->SetActive(false);
  client->SetActive(true);
  EXPECT_FALSE(client->Failed());
  EXPECT_EQ(Ask(5, {'e'}).list.at(0).code, 0u);
  EXPECT_EQ(peer->FramesOfType(nxmtOpenTransport).size(), 2u) << "registered anew after the restart";
}

TEST_P(ClientMedium, ACallbackThatRaisesAfterDeliveryIsCalledOnce) {
  Serve();
  TReplies replies;
  EXPECT_NO_THROW(replies = Ask(1, {'a'}, 0x55, 0, true));
  ASSERT_EQ(replies.list.size(), 1u);
  EXPECT_EQ(replies.list[0].code, 0u);
  EXPECT_EQ(replies.list[0].data, Frame{'a'});
  EXPECT_EQ(client->ClientConnectionCount(), 0) << "the connection of the failed exchange is freed";
  EXPECT_FALSE(client->Failed());
  EXPECT_EQ(Ask(2, {'b'}).list.at(0).code, 0u);
  EXPECT_EQ(peer->FramesOfType(nxmtAttachTransport).size(), 1u) << "a new connection proves membership";
}

TEST_P(ClientMedium, ARequestNamingATransportAnswers9990WithoutConnecting) {
  Serve();
  TReplies replies;
  client->Request(5, 0x55, 0, 3, 0, "x", 1, &TReplies::Callback, &replies);
  ASSERT_EQ(replies.list.size(), 1u);
  EXPECT_EQ(replies.list[0].code, nxeInvalidHandle);
  EXPECT_EQ(peer->Attempts.load(), 0);
}

// Every reply the client cannot take reaches the requester once, as 11276
// without data.
// However its bytes arrive, a reply is read whole; bytes that come past it
// are the next reply's.
TEST_P(ClientMedium, RepliesAreTakenWholeHoweverTheirBytesArrive) {
  struct Row {
    const char* name;
    size_t payload;
    size_t split;     // the bytes sent before a pause (0: none)
    bool twoAtOnce;   // the first answer carries the second request's reply too
  };
  const Row rows[] = {
      {"header and body at once", 200, 0, false},
      {"the header alone, the body later", 200, nxHeaderSize, false},
      {"a pause inside the header", 200, 10, false},
      {"larger than a read-ahead, a pause inside the body", 100000, 5000, false},
      {"a pause right after a read-ahead's worth", 10000, 4096, false},
      {"two replies in one send", 200, 0, true},
      {"two large replies in one send", 30000, 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    auto replyTo = [&row](const TnxBaseHeader& h, uint8_t aSeed) {
      Frame payload(row.payload);
      for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(aSeed + i * 13 + (i >> 8));
      return TPeerFrame{.Type = nxmtReply, .TransportID = h.bhTransportID, .SessionID = h.bhSessionID,
                        .MsgID = h.bhMsgID, .Payload = payload}
          .Bytes();
    };
    int answered = 0;
    TServerAnswers answers;
    answers.request = [&](TScriptedPeer::TEnd& aEnd, const Frame& aFrame) -> Frame {
      const TnxBaseHeader h = HeaderOf(aFrame);
      if (row.twoAtOnce) {
        if (answered++ > 0) return {};  // sent already
        Frame both = replyTo(h, 1);
        const Frame second = replyTo(h, 2);
        both.insert(both.end(), second.begin(), second.end());
        return both;
      }
      Frame reply = replyTo(h, static_cast<uint8_t>(1 + answered++));
      if (row.split == 0) return reply;
      aEnd.Send(Frame(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(row.split)));
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      return Frame(reply.begin() + static_cast<std::ptrdiff_t>(row.split), reply.end());
    };
    Serve(answers);
    for (uint8_t seed : {1, 2}) {
      TReplies replies = Ask(0x42, {'r'});
      ASSERT_EQ(replies.list.size(), 1u);
      EXPECT_EQ(replies.list[0].code, 0u);
      EXPECT_TRUE(replies.list[0].data == PayloadOf(replyTo({}, seed))) << "reply " << int(seed);
    }
    Close();
  }
}

// The wait for a reply is bounded by the request's timeout plus a grace of
// a second, each request by its own, whatever the requests before it on
// the same connection waited.
TEST_P(ClientMedium, AReplyIsAwaitedForItsRequestsTimeoutAndAGraceAndNoLonger) {
  if (std::string(GetParam().name) == "socket_pair") GTEST_SKIP() << "the test double's reads wait without limit";
  constexpr TnxMsgID kPrompt = 0x41, kNever = 0x42, kLate = 0x43, kHeaderOnly = 0x44;
  static constexpr int kLateMs = 1500;
  using Clock = std::chrono::steady_clock;
  struct Step {
    TnxMsgID msgID;
    uint32_t timeout;  // ms, 0: none
    uint32_t code;
  };
  struct Row {
    const char* name;
    std::vector<Step> steps;
  };
  const Row rows[] = {
      {"never answered", {{kNever, 200, nxeLostConnection}}},
      {"the header, then nothing", {{kHeaderOnly, 200, nxeLostConnection}}},
      {"a shorter timeout after a longer one", {{kPrompt, 3000, 0}, {kNever, 200, nxeLostConnection}}},
      {"no limit after a limit", {{kPrompt, 200, 0}, {kLate, 0, 0}}},
      {"a longer timeout after a shorter one", {{kPrompt, 200, 0}, {kLate, 3000, 0}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TServerAnswers answers;
    answers.request = [](TScriptedPeer::TEnd& aEnd, const Frame& aFrame) -> Frame {
      const TnxBaseHeader h = HeaderOf(aFrame);
      const Frame reply = TPeerFrame{.Type = nxmtReply, .TransportID = h.bhTransportID, .SessionID = h.bhSessionID,
                                     .MsgID = h.bhMsgID, .Payload = {1, 2, 3}}
                              .Bytes();
      switch (h.bhMsgID) {
        case kNever: return {};
        case kHeaderOnly: aEnd.Send(Frame(reply.begin(), reply.begin() + nxHeaderSize)); return {};
        case kLate: std::this_thread::sleep_for(std::chrono::milliseconds(kLateMs)); return reply;
        default: return reply;
      }
    };
    Serve(answers);
    for (const Step& step : row.steps) {
      TReplies replies;
      const auto start = Clock::now();
      client->Request(0, 0x55, 0, step.msgID, step.timeout, "r", 1, &TReplies::Callback, &replies);
      const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      ASSERT_EQ(replies.list.size(), 1u);
      EXPECT_EQ(replies.list[0].code, step.code) << "request " << std::hex << step.msgID;
      if (step.code != 0) {
        EXPECT_GE(took, step.timeout + 1000 - 20);
        EXPECT_LT(took, step.timeout + 1000 + 2500);
      }
    }
    Close();
  }
}

TEST_P(ClientMedium, RepliesThatCannotBeTakenAnswer11276Once) {
  struct Row {
    const char* name;
    std::function<Frame(const TnxBaseHeader& aRequest)> reply;
    bool endAfter;
  };
  auto reply = [](const TnxBaseHeader& h) { return TPeerFrame{.Type = nxmtReply, .MsgID = h.bhMsgID, .Payload = {}}; };
  const Row rows[] = {
      {"another type than a reply",
       [&](const TnxBaseHeader& h) {
         auto f = reply(h);
         f.Type = nxmtPost;
         return f.Bytes();
       },
       false},
      {"a length below the header",
       [&](const TnxBaseHeader& h) {
         auto f = reply(h);
         f.Length = 20;
         return f.Bytes();
       },
       false},
      {"a length above the limit",
       [&](const TnxBaseHeader& h) {
         auto f = reply(h);
         f.Length = nxMaxMessageSize + 1;
         return f.Bytes();
       },
       false},
      {"a length beyond what comes before the end",
       [&](const TnxBaseHeader& h) {
         auto f = reply(h);
         f.Payload = {1, 2, 3, 4};
         f.Length = 100;
         return f.Bytes();
       },
       true},
      {"a payload that does not decompress",
       [&](const TnxBaseHeader& h) {
         auto f = reply(h);
         f.CompressType = kLz4;
         f.UncompressedSize = 100;
         f.Payload = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
         return f.Bytes();
       },
       false},
      {"an unregistered compressor",
       [&](const TnxBaseHeader& h) {
         auto f = reply(h);
         f.CompressType = 200;
         f.UncompressedSize = 10;
         f.Payload = {1, 2, 3, 4};
         return f.Bytes();
       },
       false},
      {"an error text longer than the message",
       [&](const TnxBaseHeader& h) {
         auto f = reply(h);
         f.ErrorCode = 10036;
         f.Flags = mhfErrorMessage | mhfErrorMessageIsUnicode;
         f.Payload = testing::U32Bytes(50);
         return f.Bytes();
       },
       false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TServerAnswers answers;
    answers.request = [&row](TScriptedPeer::TEnd&, const Frame& aFrame) { return row.reply(HeaderOf(aFrame)); };
    answers.endAfterAnswer = row.endAfter;
    Serve(answers);
    TReplies replies = Ask(0x42, {'r'});
    ASSERT_EQ(replies.list.size(), 1u);
    EXPECT_EQ(replies.list[0].code, nxeLostConnection);
    EXPECT_TRUE(replies.list[0].data.empty());
    EXPECT_FALSE(client->Failed()) << "a bad reply fails the request, not the transport";
    Close();
  }
}

TEST_P(ClientMedium, AnErrorTextOfTheServerBecomesTheThreadsLastConvertedException) {
  TServerAnswers answers;
  answers.request = [](TScriptedPeer::TEnd&, const Frame& aFrame) {
    Frame text = testing::U32Bytes(3);
    for (char16_t c : std::u16string(u"abc")) text.insert(text.end(), {uint8_t(c), uint8_t(c >> 8)});
    text.push_back('z');  // the payload behind the text
    return TPeerFrame{.Type = nxmtReply, .MsgID = HeaderOf(aFrame).bhMsgID, .ErrorCode = 10036,
                      .Flags = mhfErrorMessage | mhfErrorMessageIsUnicode, .Payload = text}
        .Bytes();
  };
  Serve(answers);
  TReplies replies = Ask(9, {'q'});
  ASSERT_EQ(replies.list.size(), 1u);
  EXPECT_EQ(replies.list[0].code, 10036u);
  EXPECT_EQ(replies.list[0].data, Frame{'z'});
  uint32_t code = 0;
  std::u16string text;
  EnxBaseException::GetLastConvertedException(code, text);
  EXPECT_EQ(code, 10036u);
  EXPECT_EQ(text, u"abc");
}

TEST_P(ClientMedium, RefusedConnectsAreTriedTwiceWithinTheTimeout) {
  if (!GetParam().refusesConnects) GTEST_SKIP() << "the medium accepts before the peer can refuse";
  struct Row {
    const char* name;
    uint64_t clockStepPerAttempt;
    int attempts;
  };
  const Row rows[] = {{"within the timeout", 0, 2}, {"past the timeout", 3001, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testing::TFakeTransportClock clock;
    Serve();
    peer->Refuse = true;
    peer->OnAttempt = [&] { clock.Advance(row.clockStepPerAttempt); };
    TnxSessionID session = 0;
    int32_t version = 0;
    EXPECT_EQ(LogIn(u"u", u"p", session, version), nxeServerNotFound) << "never registered";
    EXPECT_EQ(peer->Attempts.load(), row.attempts);
    EXPECT_TRUE(client->Failed());
    EXPECT_EQ(LogIn(u"u", u"p", session, version), nxeLostConnection);
    EXPECT_EQ(peer->Attempts.load(), row.attempts);
    Close();
  }
}

TEST_P(ClientMedium, ARefusedRegistrationFailsWith11278) {
  const std::pair<const char*, Frame> rows[] = {
      {"another type", TPeerFrame{.Type = nxmtReply, .TransportID = kServerTransportID, .Payload = {}}.Bytes()},
      {"an error code", TPeerFrame{.Type = nxmtTransportReply, .ErrorCode = nxeCapabilityNotSupported, .Payload = {}}.Bytes()},
  };
  for (const auto& [name, answer] : rows) {
    SCOPED_TRACE(name);
    TServerAnswers answers;
    answers.open = [answer](TScriptedPeer::TEnd&, const Frame&) { return answer; };
    Serve(answers);
    TnxSessionID session = 0;
    int32_t version = 0;
    EXPECT_EQ(LogIn(u"u", u"p", session, version), nxeServerNotFound);
    EXPECT_TRUE(client->Failed());
    EXPECT_EQ(client->ClientConnectionCount(), 0);
    EXPECT_EQ(client->TransportID(), 0u);
    Close();
  }
}

// The message key as the servers of the system hold it.
const char kMessageKeyHex[] =
    "5a1c9e07b3d84f26e0a7c35b91d46f08a2e57c1930bd64f8e29a0c7d51b3f46e"
    "8c02d9a7e4b1365f07ac92d8e31b46f5a09c7e2d84b1f3605e9a27c4d8b01f63";

TEST_P(ClientMedium, TheLoginBlockTravelsEncipheredWithZeroFillAndCutTexts) {
  Serve();
  std::u16string password;
  for (int i = 0; i < 150; ++i) password += u"\u00e9";  // 300 bytes of UTF-8
  TnxSessionID session = 0;
  int32_t version = 0;
  ASSERT_EQ(LogIn(u"M\u00fcller", password, session, version), 0u);
  EXPECT_EQ(session, kServerSession);
  EXPECT_EQ(version, kServerVersion);

  const auto logins = peer->FramesOfType(nxmtLogin);
  ASSERT_EQ(logins.size(), 1u);
  const Frame& sent = logins[0].bytes;
  ASSERT_EQ(sent.size(), nxHeaderSize + 536);
  EXPECT_EQ(Frame(sent.begin(), sent.begin() + nxHeaderSize),
            Hex("44332211 00000000 02000000 01000000 38020000 00000000 0000 14 00 00000000"));
  Frame block = PayloadOf(sent);

  const Frame key = Hex(kMessageKeyHex);
  TnxBlowFishRC4 cipher(std::string(key.begin(), key.end()));
  cipher.ResetIVBlock(block.data() + 520);
  cipher.Decode(block.data(), 520);
  uint8_t mac[8];
  cipher.Final(mac);
  EXPECT_EQ(Frame(mac, mac + 8), Frame(block.begin() + 528, block.end())) << "the authentication block";

  EXPECT_EQ(Frame(block.begin(), block.begin() + 8), Hex("07 4D C3BC 6C 6C 65 72"));
  EXPECT_EQ(Frame(block.begin() + 8, block.begin() + 256), Frame(248, 0));
  // 255 bytes would end inside the 128th character: 127 go.
  EXPECT_EQ(block[256], 254);
  Frame expected;
  for (int i = 0; i < 127; ++i) expected.insert(expected.end(), {0xC3, 0xA9});
  EXPECT_EQ(Frame(block.begin() + 257, block.begin() + 511), expected);
  EXPECT_EQ(block[511], 0);
  EXPECT_EQ(platform::LoadU32(block.data() + 512), 5000u);
  EXPECT_EQ(platform::LoadU32(block.data() + 516), 47501u);
  EXPECT_EQ(peer->Connections(), 1);
  EXPECT_EQ(client->AvailableConnectionCount(), 1) << "back in the pool";
}

TEST_P(ClientMedium, LoginAnswersThatAreNotASessionGiveTheirCode) {
  auto login = [](TnxMsgID aMsgID, uint8_t aType, uint16_t aError, size_t aPayload) {
    Frame payload = testing::U32Bytes(kServerSession);
    const Frame version = testing::U32Bytes(kServerVersion);
    payload.insert(payload.end(), version.begin(), version.end());
    payload.resize(aPayload);
    return TPeerFrame{.Type = aType, .MsgID = aMsgID, .ErrorCode = aError, .Payload = payload}.Bytes();
  };
  struct Row {
    const char* name;
    Frame answer;
    bool endAfter;
    uint32_t result;
  };
  const Row rows[] = {
      {"a session", login(1, nxmtLoginReply, 0, 8), false, 0},
      {"another type", login(1, nxmtReply, 0, 8), false, nxeLostConnection},
      {"another request number", login(2, nxmtLoginReply, 0, 8), false, nxeLostConnection},
      {"a refusal", login(1, nxmtLoginReply, 10036, 0), false, 10036},
      {"a success without the session", login(1, nxmtLoginReply, 0, 4), false, nxeLostConnection},
      {"the end of the stream", {}, true, nxeLostConnection},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    TServerAnswers answers;
    answers.login = [&row](TScriptedPeer::TEnd&, const Frame&) { return row.answer; };
    answers.endAfterAnswer = row.endAfter;
    Serve(answers);
    TnxSessionID session = 99;
    int32_t version = 0;
    EXPECT_EQ(LogIn(u"u", u"p", session, version), row.result);
    EXPECT_EQ(session, row.result == 0 ? kServerSession : 0u);
    EXPECT_EQ(version, row.result == 0 ? kServerVersion : 47501);
    EXPECT_FALSE(client->Failed());
    Close();
  }
}

TEST_P(ClientMedium, ALoginNeedsAStartedTransport) {
  Serve();
  client->SetActive(false);
  TnxSessionID session = 0;
  int32_t version = 0;
  EXPECT_TRUE(testing::Contains(testing::MessageOf<EnxBaseException>([&] { LogIn(u"u", u"p", session, version); }),
                                u"must be started"));
}

TEST_P(ClientMedium, ManyThreadsShareThePooledConnections) {
  Serve();
  constexpr int kThreads = 64;
  constexpr int kRequests = 20;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRequests; ++i) {
        const Frame data{uint8_t(t), uint8_t(i)};
        const TReplies replies = Ask(static_cast<TnxMsgID>(t * 100 + i), data);
        if (replies.list.size() != 1 || replies.list[0].code != 0 || replies.list[0].data != data ||
            replies.list[0].msgID != static_cast<TnxMsgID>(t * 100 + i))
          wrong.fetch_add(1);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(peer->FramesOfType(nxmtRequest).size(), size_t{kThreads * kRequests});
  EXPECT_EQ(peer->FramesOfType(nxmtOpenTransport).size(), 1u);
  EXPECT_LE(peer->Connections(), kThreads);
  EXPECT_EQ(client->AvailableConnectionCount(), peer->Connections()) << "every connection back in the pool";
}

INSTANTIATE_TEST_SUITE_P(Media, ClientMedium, ::testing::ValuesIn(kMedia),
                         [](const ::testing::TestParamInfo<TMedium>& aInfo) { return std::string(aInfo.param.name); });

}  // namespace
}  // namespace revurov
