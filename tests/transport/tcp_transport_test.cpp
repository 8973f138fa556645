#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/errors/exceptions.h"
#include "lowlevel/streams/memory_stream.h"
#include "lowlevel/streams/tagged_stream.h"
#include "platform/os_thread.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "support/named_component.h"
#include "support/spawned_child.h"
#include "support/test_command_handler.h"
#include "support/within.h"
#include "transport/support/map_configuration.h"
#include "transport/support/raw_client.h"
#include "transport/tcp_transport.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using namespace std::chrono_literals;
using testing::Frame;
using testing::Make;
using testing::TPeerFrame;
using testing::TRawClient;

using testing::Within;

struct Freed {
  void operator()(TnxWinsockTransport* aTransport) const { platform::TComponent::Free(aTransport); }
};
using Transport = std::unique_ptr<TnxWinsockTransport, Freed>;

platform::TStringList Lines(std::initializer_list<const char16_t*> aLines) {
  platform::TStringList list;
  for (const auto* line : aLines) list.Add(line);
  return list;
}

class TcpListener : public testing::LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    server.reset(Make<TnxIPv4Transport>(u"S"));
    server->SetServerName(u"TcpServer");
    server->SetMode(nxtmListen);
    server->SetPort(0);
    server->SetHeartbeatInterval(0);
    server->SetListenAddresses(Lines({u"127.0.0.1"}));
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
    ASSERT_NE(server->ListeningPort(), 0);
  }
  void TearDown() override {
    server.reset();
    LibraryStarted::TearDown();
  }
  std::unique_ptr<TRawClient> Dial() {
    const int fd = platform::TcpConnect({platform::kInet4Loopback, server->ListeningPort()}, 3000);
    EXPECT_GE(fd, 0);
    return std::make_unique<TRawClient>(fd);
  }
  // A connection made before the hostile ones still registers afterwards.
  void ExpectServed(TRawClient& aBystander) {
    aBystander.Open();
    EXPECT_NE(aBystander.Transport, 0u);
  }

  Transport server;
};

uint16_t AClosedPortForTests() {
  const int fd = platform::TcpListen({platform::kInet4Loopback, 0}, 1);
  platform::TInet4Address address;
  platform::SocketLocalAddress(fd, address);
  platform::CloseSocket(fd);
  return address.port;
}

Frame HeaderWith(uint32_t aLength, uint32_t aUncompressedSize) {
  return TPeerFrame{.Type = nxmtOpenTransport, .UncompressedSize = aUncompressedSize, .Length = aLength, .Payload = {}}.Bytes();
}

TEST_F(TcpListener, ABrokenHeaderDropsOnlyItsConnection) {
  const struct {
    const char* name;
    Frame bytes;
  } rows[] = {
      {"length 2^32 - 1", HeaderWith(0xFFFFFFFF, 0)},
      {"length below the header", HeaderWith(31, 0)},
      {"length above the limit", HeaderWith(nxMaxMessageSize + 1, 0)},
      {"uncompressed size above the limit", HeaderWith(0, nxMaxMessageSize + 1)},
  };
  auto bystander = Dial();
  ASSERT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 1; }));
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto hostile = Dial();
    hostile->Send(row.bytes);
    EXPECT_TRUE(hostile->Receive().empty()) << "dropped without an answer";
    EXPECT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 1; }));
  }
  ExpectServed(*bystander);
}

TEST_F(TcpListener, AMessageInPiecesIsCollected) {
  const Frame open = TPeerFrame{.Type = nxmtOpenTransport, .Payload = {}}.Bytes();
  const struct {
    const char* name;
    std::vector<size_t> cuts;  // where the pieces end
  } rows[] = {
      {"the header in two", {20}},
      {"a byte at a time", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25,
                            26, 27, 28, 29, 30, 31}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto client = Dial();
    size_t from = 0;
    for (size_t cut : row.cuts) {
      client->Send(Frame(open.begin() + from, open.begin() + cut));
      from = cut;
      std::this_thread::sleep_for(2ms);  // each piece its own readiness
    }
    client->Send(Frame(open.begin() + from, open.end()));
    const Frame answer = client->Receive();
    ASSERT_GE(answer.size(), nxHeaderSize + 4);
    EXPECT_EQ(nxLoadHeader(answer.data()).bhMsgType, nxmtTransportReply);
  }
}

TEST_F(TcpListener, LargeMessagesNeedARegisteredTransport) {
  auto bystander = Dial();
  TPeerFrame large{.Type = nxmtKeepAlive, .Payload = Frame(100000 - nxHeaderSize, 0x42)};
  {
    auto stranger = Dial();
    stranger->Send(large);
    EXPECT_TRUE(stranger->Receive().empty()) << "dropped before type 10";
  }
  auto registered = Dial();
  registered->Open();
  const int64_t before = server->BytesRead();
  large.TransportID = registered->Transport;
  registered->Send(large);
  EXPECT_TRUE(Within(20s, [&] { return server->BytesRead() == before + 100000; }));
  // The same connection is still served.
  registered->Send(TPeerFrame{.Type = nxmtKeepAlive, .TransportID = registered->Transport, .Payload = {}});
  EXPECT_TRUE(Within(20s, [&] { return server->BytesRead() == before + 100000 + nxHeaderSize; }));
  EXPECT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 2; }));
  ExpectServed(*bystander);
}

TEST_F(TcpListener, APeerThatLiesAboutItsSizeLosesOnlyItsConnection) {
  auto bystander = Dial();
  ASSERT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 1; }));
  {
    SCOPED_TRACE("announces more than it sends, then closes");
    auto liar = Dial();
    liar->Send(TPeerFrame{.Type = nxmtKeepAlive, .Length = 1000, .Payload = Frame(100, 1)});
    liar->Close();
    EXPECT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 1; }));
  }
  {
    SCOPED_TRACE("sends more than it announces: the rest is a broken header");
    auto liar = Dial();
    Frame bytes = TPeerFrame{.Type = nxmtKeepAlive, .Payload = Frame(68, 0xFF)}.Bytes();
    nxStoreHeader(TnxBaseHeader{.bhLength = nxHeaderSize + 4, .bhMsgType = nxmtKeepAlive}, bytes.data());
    liar->Send(bytes);
    EXPECT_TRUE(liar->Receive().empty());
    EXPECT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 1; }));
  }
  ExpectServed(*bystander);
}

TEST_F(TcpListener, AThousandConnectionsAreServedByBoundedThreads) {
  constexpr int kConnections = 1000;
  constexpr int32_t kThreads = 8;
  ASSERT_TRUE(platform::RaiseDescriptorLimit(2 * kConnections + 256));
  server->SetActive(false);
  server->SetMaxServerThreads(kThreads);
  server->SetActive(true);
  std::vector<std::unique_ptr<TRawClient>> clients;
  for (int i = 0; i < kConnections; ++i) clients.push_back(Dial());
  ASSERT_TRUE(Within(60s, [&] { return server->ServerConnectionCount() == kConnections; }))
      << server->ServerConnectionCount();
  // Every one is served, in turn and then all at once.
  for (auto& client : clients) client->Send(TPeerFrame{.Type = nxmtOpenTransport, .Payload = {}});
  for (auto& client : clients) {
    const Frame answer = client->Receive();
    ASSERT_GE(answer.size(), nxHeaderSize + 4);
    EXPECT_EQ(nxLoadHeader(answer.data()).bhMsgType, nxmtTransportReply);
  }
  EXPECT_LE(server->ServerThreadCount(), kThreads);
  clients.clear();
  EXPECT_TRUE(Within(60s, [&] { return server->ServerConnectionCount() == 0; }));
}

class TRecordingFilter : public TnxBaseConnectionFilter {
  REVUROV_COMPONENT_CLASS(TRecordingFilter, TnxBaseConnectionFilter)
  using TnxBaseConnectionFilter::TnxBaseConnectionFilter;

  bool Allow = true;
  std::atomic<int> Asked{0};
  platform::TInet4Address Local;
  platform::TInet4Address Remote;
  int AskerNice = 0;  // the nice value of the thread that asked

  bool AllowConnection(TnxWinsockTransport&, const platform::TInet4Address& aLocal,
                       const platform::TInet4Address& aRemote) override {
    Local = aLocal;
    Remote = aRemote;
    if (!platform::GetThreadNice(platform::CurrentThreadId(), AskerNice)) AskerNice = 99;
    Asked.fetch_add(1);
    return Allow;
  }
};

TEST_F(TcpListener, TheConnectionFilterDecidesOnlyWhileActive) {
  const struct {
    const char* name;
    bool active;
    bool allow;
    int asked;
    bool served;
  } rows[] = {
      {"inactive: not asked", false, false, 0, true},
      {"active and allowing", true, true, 1, true},
      {"active and refusing", true, false, 1, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<TRecordingFilter, void (*)(TRecordingFilter*)> filter(
        Make<TRecordingFilter>(u"F"), [](TRecordingFilter* f) { platform::TComponent::Free(f); });
    filter->Allow = row.allow;
    if (row.active) filter->SetActive(true);
    server->SetActive(false);
    server->SetConnectionFilter(filter.get());
    server->SetActive(true);
    auto client = Dial();
    if (row.served) {
      ExpectServed(*client);
    } else {
      EXPECT_TRUE(client->Receive().empty()) << "closed at once";
    }
    EXPECT_EQ(filter->Asked.load(), row.asked);
    if (row.asked) {
      EXPECT_EQ(filter->Local.address, platform::kInet4Loopback);
      EXPECT_EQ(filter->Local.port, server->ListeningPort());
      EXPECT_EQ(filter->Remote.address, platform::kInet4Loopback);
    }
    client.reset();
    server->SetActive(false);
    server->SetConnectionFilter(nullptr);
    server->SetActive(true);
  }
}

TEST_F(TcpListener, TheListenThreadRunsAtTheListenThreadPriority) {
  // The filter is asked on the listen thread.
  std::unique_ptr<TRecordingFilter, void (*)(TRecordingFilter*)> filter(
      Make<TRecordingFilter>(u"F"), [](TRecordingFilter* f) { platform::TComponent::Free(f); });
  filter->SetActive(true);
  server->SetActive(false);
  server->SetConnectionFilter(filter.get());
  server->SetListenThreadPriority(platform::TThreadPriority::tpLowest);
  server->SetActive(true);
  auto client = Dial();
  ExpectServed(*client);
  ASSERT_EQ(filter->Asked.load(), 1);
  EXPECT_EQ(filter->AskerNice, 10);
  client.reset();
  server->SetActive(false);
  server->SetConnectionFilter(nullptr);
}

TEST_F(TcpListener, DestroyingTheConnectionFilterDeactivatesTheTransport) {
  auto* filter = Make<TRecordingFilter>(u"F");
  filter->SetActive(true);
  server->SetActive(false);
  server->SetConnectionFilter(filter);
  server->SetActive(true);
  ASSERT_EQ(server->State(), nxsStarted);
  platform::TComponent::Free(filter);
  EXPECT_FALSE(server->GetActive());
  EXPECT_EQ(server->ConnectionFilter(), nullptr);
  EXPECT_EQ(server->ListeningPort(), 0) << "nothing listens any more";

  // A filter replaced before it goes away is no longer linked.
  auto* first = Make<TRecordingFilter>(u"F1");
  auto* second = Make<TRecordingFilter>(u"F2");
  server->SetConnectionFilter(first);
  server->SetConnectionFilter(second);
  server->SetActive(true);
  platform::TComponent::Free(first);
  EXPECT_TRUE(server->GetActive());
  EXPECT_EQ(server->ConnectionFilter(), second);
  server->SetActive(false);
  platform::TComponent::Free(second);
  EXPECT_EQ(server->ConnectionFilter(), nullptr);
}

TEST_F(TcpListener, EveryListenAddressGetsItsListenerAndABadOneUndoesTheStart) {
  server->SetActive(false);
  server->SetListenAddresses(Lines({u"127.0.0.1", u"", u"127.0.0.2"}));
  server->SetActive(true);
  ASSERT_EQ(server->State(), nxsStarted);
  platform::TStringList bound;
  server->GetBoundAddresses(bound);
  ASSERT_EQ(bound.Count(), 2);
  EXPECT_EQ(bound[0], u"127.0.0.1");
  EXPECT_EQ(bound[1], u"127.0.0.2");
  for (size_t i = 0; i < 2; ++i) {
    const int fd = platform::TcpConnect({platform::kInet4Loopback + static_cast<uint32_t>(i), server->ListeningPort(i)},
                                        3000);
    ASSERT_GE(fd, 0) << i;
    TRawClient client(fd);
    ExpectServed(client);
  }
  server->SetActive(false);

  const struct {
    const char* name;
    platform::TStringList addresses;
  } rows[] = {
      {"not an address", Lines({u"127.0.0.1", u"not-an-address"})},
      {"an address in use", Lines({u"127.0.0.1", u"127.0.0.1"})},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    server->SetListenAddresses(row.addresses);
    server->SetPort(AClosedPortForTests());
    EXPECT_ANY_THROW(server->SetActive(true));
    EXPECT_EQ(server->ListeningPort(), 0);
    EXPECT_LT(platform::TcpConnect({platform::kInet4Loopback, server->Port()}, 3000), 0) << "nothing listens";
    server->SetActive(false);
  }
}

class TcpSender : public testing::LibraryStarted {};

TEST_F(TcpSender, BoundAddressesAreTheUpInterfaces) {
  Transport sender(Make<TnxIPv4Transport>(u"C"));
  platform::TStringList all;
  sender->GetBoundAddresses(all);
  EXPECT_GE(all.IndexOf(u"127.0.0.1"), 0) << "loopback is up";
  sender->SetLoopbackOnly(true);
  platform::TStringList loopback;
  sender->GetBoundAddresses(loopback);
  ASSERT_GE(loopback.Count(), 1);
  for (int i = 0; i < loopback.Count(); ++i) EXPECT_EQ(loopback[i].rfind(u"127.", 0), 0u) << i;
}

// ---- a pooled client against a listener over TCP ----

constexpr TnxMsgID kEcho = 0x10;

struct TReply {
  uint32_t code = 0xFFFFFFFF;
  Frame data;
  static void Callback(TnxMsgID, uint32_t aCode, const void* aData, int32_t aLen, void* aCookie) {
    auto* self = static_cast<TReply*>(aCookie);
    const auto* bytes = static_cast<const uint8_t*>(aData);
    self->code = aCode;
    self->data = bytes ? Frame(bytes, bytes + aLen) : Frame{};
  }
};

class TcpEndToEnd : public TcpListener {
protected:
  void SetUp() override {
    handler.reset(Make<testing::TTestCommandHandler>(u"H"));
    TcpListener::SetUp();
    server->SetActive(false);
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
  }
  void TearDown() override {
    client.reset();
    server.reset();
    handler.reset();
    TcpListener::TearDown();
  }
  void StartClient(const std::u16string& aServerName, uint16_t aPort) {
    client.reset(Make<TnxIPv4Transport>(u"C"));
    client->SetServerName(aServerName);
    client->SetPort(aPort);
    client->SetHeartbeatInterval(0);
    client->SetActive(true);
  }
  uint32_t LogIn(TnxSessionID& aSession) {
    int32_t version = 0;
    return client->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, aSession);
  }
  TReply Echo(TnxSessionID aSession, const Frame& aData) {
    TReply reply;
    client->Request(0, aSession, 0, kEcho, 0, aData.data(), static_cast<int32_t>(aData.size()), &TReply::Callback,
                    &reply);
    return reply;
  }

  // Registers aClient and logs it in: its session.
  TnxSessionID LogInRaw(TRawClient& aClient) {
    aClient.Open();
    const Frame answer = aClient.Login(testing::EncipheredLogin(u"admin", u"secret"), aClient.Transport);
    EXPECT_GE(answer.size(), nxHeaderSize);
    return answer.size() >= nxHeaderSize ? nxLoadHeader(answer.data()).bhSessionID : 0;
  }

  struct FreedHandler {
    void operator()(testing::TTestCommandHandler* aHandler) const { platform::TComponent::Free(aHandler); }
  };
  std::unique_ptr<testing::TTestCommandHandler, FreedHandler> handler;
  Transport client;
};

Frame Pattern(size_t aSize) {
  Frame data(aSize);
  for (size_t i = 0; i < aSize; ++i) data[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return data;
}

TEST_F(TcpEndToEnd, ALoggedInClientGetsEverySizeEchoed) {
  StartClient(u"TcpServer@127.0.0.1", server->ListeningPort());
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(session), 0u);
  for (uint8_t compress : {uint8_t{0}, uint8_t{11}}) {
    client->SetCompressType(compress);
    for (size_t size : {size_t{0}, size_t{1}, size_t{65536 - 32}, size_t{65537}, size_t{1} << 20, size_t{16} << 20}) {
      SCOPED_TRACE(::testing::Message() << "compression " << int(compress) << ", " << size << " bytes");
      const Frame data = Pattern(size);
      const TReply reply = Echo(session, data);
      EXPECT_EQ(reply.code, 0u);
      EXPECT_TRUE(reply.data == data) << reply.data.size();
    }
  }
  EXPECT_EQ(client->ClientConnectionCount(), 1) << "one pooled connection carried them all";
}

// A pooled client connection does not keep a buffer grown for one large
// reply: it goes back to the transport, where the next large reply of any
// connection finds it.
TEST_F(TcpEndToEnd, AClientGivesALargeReplyBufferBackToItsTransport) {
  StartClient(u"TcpServer@127.0.0.1", server->ListeningPort());
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(session), 0u);
  const struct {
    size_t size;
    bool kept;  // a spare of at least that size afterwards
  } rows[] = {{100, false}, {size_t{1} << 20, true}, {size_t{1} << 20, true}, {200000, true}, {100, true}};
  size_t first = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.size);
    const Frame data = Pattern(row.size);
    const TReply reply = Echo(session, data);
    EXPECT_EQ(reply.code, 0u);
    EXPECT_TRUE(reply.data == data);
    const size_t spare = client->SpareBodyBytes();
    if (!row.kept) {
      EXPECT_EQ(spare, 0u);
      continue;
    }
    EXPECT_GE(spare, size_t{1} << 20);
    if (first == 0) first = spare;
    EXPECT_EQ(spare, first) << "the spare is taken again, not joined by a second one";
  }
}

// The server hands a request's body to the handler in the connection's own
// buffer, and large bodies move between connections through spare buffers:
// each request must still reach the handler as exactly its payload.
TEST_F(TcpEndToEnd, EveryRequestReachesTheHandlerAsExactlyItsPayload) {
  std::unique_ptr<TRawClient> clients[] = {Dial(), Dial()};
  TnxSessionID sessions[2] = {};
  for (int i = 0; i < 2; ++i) ASSERT_NO_FATAL_FAILURE(sessions[i] = LogInRaw(*clients[i]));
  Frame text = {3, 0, 0, 0, 'a', 'b', 'c'};
  const struct {
    const char* name;
    int client;
    size_t size;
    bool errorText;  // the payload follows an error text
  } rows[] = {
      {"small", 0, 100, false},
      {"small after an error text", 0, 100, true},
      {"large", 0, 1 << 20, false},
      {"smaller large one on the other connection", 1, 200000, false},
      {"larger than every spare", 0, 3 << 20, false},
      {"large after an error text", 1, 300000, true},
      {"small again", 1, 10, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TRawClient& client = *clients[row.client];
    const Frame payload = Pattern(row.size);
    TPeerFrame request{.Type = nxmtRequest, .TransportID = client.Transport, .SessionID = sessions[row.client],
                       .MsgID = kEcho, .Payload = payload};
    if (row.errorText) {
      request.Flags = mhfErrorMessage;
      request.Payload.insert(request.Payload.begin(), text.begin(), text.end());
    }
    const Frame answer = client.Exchange(request);
    ASSERT_GE(answer.size(), nxHeaderSize);
    EXPECT_EQ(nxLoadHeader(answer.data()).bhErrorCode, 0u);
    EXPECT_TRUE(Frame(answer.begin() + nxHeaderSize, answer.end()) == payload) << "echo of " << answer.size();
    EXPECT_TRUE(handler->Received().back().data == payload);
  }
}

// Messages already there are served without waiting for the queue, a
// limited number per turn, and one read may take several of them and part
// of the next: back-to-back requests in one write, more than one turn takes
// and more than one read holds, must each be answered once, in order.
TEST_F(TcpEndToEnd, RequestsWrittenBackToBackAreAnsweredInOrder) {
  for (TnxMsgID count : {1u, 3u, 40u, 300u}) {
    SCOPED_TRACE(count);
    auto client = Dial();
    const TnxSessionID session = LogInRaw(*client);
    Frame burst;
    for (TnxMsgID i = 0; i < count; ++i) {
      const Frame one = TPeerFrame{.Type = nxmtRequest, .TransportID = client->Transport, .SessionID = session,
                                   .MsgID = kEcho, .Payload = Pattern(1 + i)}
                            .Bytes();
      burst.insert(burst.end(), one.begin(), one.end());
    }
    client->Send(burst);
    for (TnxMsgID i = 0; i < count; ++i) {
      ASSERT_TRUE(platform::WaitReadable(client->Fd(), 20000)) << "stalled before reply " << i;
      const Frame answer = client->Receive();
      ASSERT_EQ(answer.size(), nxHeaderSize + 1 + i) << "reply " << i;
      EXPECT_EQ(nxLoadHeader(answer.data()).bhMsgType, nxmtReply);
      EXPECT_TRUE(Frame(answer.begin() + nxHeaderSize, answer.end()) == Pattern(1 + i));
    }
  }
}

// The thread that answered a request waits a moment on its connection for
// the next one before it hands the socket back to the queue: whatever the
// peer does after a reply (asks at once, later, in pieces, or goes away)
// must be served or end the connection as it would without that wait.
TEST_F(TcpEndToEnd, AnAnsweredConnectionIsServedWhateverItsPeerDoesNext) {
  enum class Then { Ask, AskLater, AskInPieces, Close, CloseInHeader, Stop };
  const struct {
    const char* name;
    Then then;
  } rows[] = {
      {"asks again at once", Then::Ask},
      {"asks again after the wait is over", Then::AskLater},
      {"asks again in pieces with a pause", Then::AskInPieces},
      {"closes", Then::Close},
      {"sends part of a header and closes", Then::CloseInHeader},
      {"the server stops", Then::Stop},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    auto client = Dial();
    const TnxSessionID session = LogInRaw(*client);
    const auto request = [&](uint8_t aSize) {
      return TPeerFrame{.Type = nxmtRequest, .TransportID = client->Transport, .SessionID = session,
                        .MsgID = kEcho, .Payload = Pattern(aSize)}
          .Bytes();
    };
    const auto expectEcho = [&](uint8_t aSize) {
      ASSERT_TRUE(platform::WaitReadable(client->Fd(), 20000)) << "no reply";
      const Frame answer = client->Receive();
      ASSERT_EQ(answer.size(), nxHeaderSize + aSize);
      EXPECT_TRUE(Frame(answer.begin() + nxHeaderSize, answer.end()) == Pattern(aSize));
    };
    for (uint8_t round = 1; round <= 5; ++round) {
      client->Send(request(round));
      ASSERT_NO_FATAL_FAILURE(expectEcho(round));
      const Frame next = request(100 + round);
      switch (row.then) {
        case Then::Ask:
          client->Send(next);
          break;
        case Then::AskLater:
          std::this_thread::sleep_for(20ms);
          client->Send(next);
          break;
        case Then::AskInPieces:
          client->Send(Frame(next.begin(), next.begin() + 7));
          std::this_thread::sleep_for(5ms);
          client->Send(Frame(next.begin() + 7, next.end()));
          break;
        case Then::Close:
          client->Close();
          break;
        case Then::CloseInHeader:
          client->Send(Frame(next.begin(), next.begin() + 7));
          client->Close();
          break;
        case Then::Stop:
          server->SetActive(false);
          EXPECT_EQ(server->ServerConnectionCount(), 0);
          EXPECT_TRUE(client->Receive().empty()) << "the end of the stream";
          server->SetActive(true);
          ASSERT_EQ(server->State(), nxsStarted);
          break;
      }
      if (row.then == Then::Ask || row.then == Then::AskLater || row.then == Then::AskInPieces) {
        ASSERT_NO_FATAL_FAILURE(expectEcho(100 + round));
        continue;
      }
      EXPECT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 0; }));
      break;
    }
  }
}

// Clients asking at the same time, more of them than server threads: a
// thread waiting on the connection it just answered must never keep the
// others waiting, also with a single thread.
TEST_F(TcpEndToEnd, ConnectionsAskingAtOnceAreAllServed) {
  constexpr int kClients = 6;
  constexpr int kRounds = 200;
  for (int32_t threads : {1, 2, 8}) {
    SCOPED_TRACE(::testing::Message() << threads << " server threads");
    server->SetActive(false);
    server->SetMaxServerThreads(threads);
    server->SetActive(true);
    ASSERT_EQ(server->State(), nxsStarted);
    std::vector<std::unique_ptr<TRawClient>> clients;
    std::vector<TnxSessionID> sessions;
    for (int i = 0; i < kClients; ++i) {
      clients.push_back(Dial());
      ASSERT_NO_FATAL_FAILURE(sessions.push_back(LogInRaw(*clients.back())));
    }
    std::atomic<int> answered{0};
    std::atomic<int> wrong{0};
    std::vector<std::thread> askers;
    for (int i = 0; i < kClients; ++i) {
      askers.emplace_back([&, i] {
        TRawClient& client = *clients[i];
        for (int round = 0; round < kRounds; ++round) {
          const Frame payload = Pattern(1 + (i * 31 + round) % 200);
          client.Send(TPeerFrame{.Type = nxmtRequest, .TransportID = client.Transport, .SessionID = sessions[i],
                                 .MsgID = kEcho, .Payload = payload});
          if (!platform::WaitReadable(client.Fd(), 20000)) {
            wrong.fetch_add(1);
            return;
          }
          const Frame answer = client.Receive();
          if (answer.size() < nxHeaderSize || Frame(answer.begin() + nxHeaderSize, answer.end()) != payload) {
            wrong.fetch_add(1);
            return;
          }
          answered.fetch_add(1);
        }
      });
    }
    for (auto& asker : askers) asker.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(answered.load(), kClients * kRounds);
    EXPECT_LE(server->ServerThreadCount(), threads);
  }
}

// The server's handler asks the requesting client back on its callback
// connection and answers with what the client answered.
class TAskingBackHandler : public testing::TTestCommandHandler {
  REVUROV_COMPONENT_CLASS(TAskingBackHandler, testing::TTestCommandHandler)
  using TTestCommandHandler::TTestCommandHandler;

  static constexpr TnxMsgID kAskBack = 0x40;

  void bchHandleMessage(const TnxDataMessage& aMessage) override {
    if (aMessage.dmMsg != kAskBack) return TTestCommandHandler::bchHandleMessage(aMessage);
    TReply reply;
    auto callback = TnxBaseTransport::GetSessionCallback();
    if (!callback) return TnxBaseTransport::Reply(aMessage.dmMsg, 0xDEAD, nullptr, 0);
    callback->Request(0, kEcho, 5000, aMessage.dmData.get(), static_cast<int32_t>(aMessage.dmDataLen),
                      &TReply::Callback, &reply);
    TnxBaseTransport::Reply(aMessage.dmMsg, reply.code, reply.data.data(), static_cast<int32_t>(reply.data.size()));
  }
};

// A server connection waits only briefly for a client's next request after
// a reply; the answer to a request of the server on a callback connection
// is awaited as long as the request allows.
TEST_F(TcpEndToEnd, AClientsLateAnswerOnItsCallbackConnectionReachesTheServer) {
  struct FreedAsking {
    void operator()(TAskingBackHandler* aHandler) const { platform::TComponent::Free(aHandler); }
  };
  std::unique_ptr<TAskingBackHandler, FreedAsking> asking(Make<TAskingBackHandler>(u"A"));
  server->SetActive(false);
  server->SetCommandHandler(asking.get());
  server->SetActive(true);
  ASSERT_EQ(server->State(), nxsStarted);
  client.reset(Make<TnxIPv4Transport>(u"C"));
  client->SetServerName(u"127.0.0.1");
  client->SetPort(server->ListeningPort());
  client->SetHeartbeatInterval(0);
  client->SetCallbackThreadCount(1);
  client->SetCommandHandler(handler.get());
  client->SetActive(true);
  ASSERT_EQ(client->State(), nxsStarted);
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(session), 0u);
  const Frame data = Pattern(300);
  for (bool late : {false, true}) {
    SCOPED_TRACE(late ? "answered late" : "answered at once");
    handler->Script(kEcho, testing::Injected(late ? testing::TReplyKind::rkLate : testing::TReplyKind::rkEcho));
    TReply reply;
    std::thread asker([&] {
      client->Request(0, session, 0, TAskingBackHandler::kAskBack, 10000, data.data(),
                      static_cast<int32_t>(data.size()), &TReply::Callback, &reply);
    });
    if (late) {
      EXPECT_TRUE(Within(20s, [&] { return handler->LateHeld() == 1; }));
      std::this_thread::sleep_for(50ms);  // far beyond the server's wait after a reply
      handler->ReleaseLate();
    }
    asker.join();
    EXPECT_EQ(reply.code, 0u);
    EXPECT_TRUE(reply.data == data) << reply.data.size();
  }
  client.reset();
  server->SetActive(false);
  server->SetCommandHandler(handler.get());
}

TEST_F(TcpEndToEnd, TheHostIsWhatFollowsTheLastAt) {
  const struct {
    const char16_t* name;
    bool toTheServer;  // else to a port nobody listens on
    uint32_t result;
  } rows[] = {
      {u"TcpServer@127.0.0.1", true, 0},
      {u"127.0.0.1", true, 0},
      {u"Tcp@Server@127.0.0.1", true, 0},
      {u"localhost", true, 0},
      {u"127.0.0.1@no-such-host.invalid", true, nxeServerNotFound},
      {u"TcpServer@", true, nxeServerNotFound},
      {u"TcpServer@127.0.0.1", false, nxeServerNotFound},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.name, row.name + std::char_traits<char16_t>::length(row.name)));
    StartClient(row.name, row.toTheServer ? server->ListeningPort() : AClosedPortForTests());
    TnxSessionID session = 0;
    EXPECT_EQ(LogIn(session), row.result);
    client.reset();
  }
}

TEST_F(TcpEndToEnd, AStoppedServerFailsTheNextRequestWith11276) {
  StartClient(u"127.0.0.1", server->ListeningPort());
  TnxSessionID session = 0;
  ASSERT_EQ(LogIn(session), 0u);
  ASSERT_EQ(Echo(session, Pattern(10)).code, 0u);
  server->SetActive(false);
  EXPECT_EQ(Echo(session, Pattern(10)).code, nxeLostConnection);
}

TEST_F(TcpEndToEnd, APeerThatStopsReadingIsDroppedAfterTheLostConnectionTimeout) {
  server->SetActive(false);
  server->SetLostConnectionTimeout(200);
  server->SetMaxServerThreads(2);
  server->SetActive(true);
  auto reader = Dial();
  reader->Open();
  const Frame login = reader->Login(testing::EncipheredLogin(u"admin", u"secret"), reader->Transport);
  const TnxSessionID session = nxLoadHeader(login.data()).bhSessionID;
  // 16 MiB to echo, and the answer is never read.
  reader->Send(TPeerFrame{.Type = nxmtRequest, .TransportID = reader->Transport, .SessionID = session, .MsgID = kEcho,
                          .Payload = Pattern(16 << 20)});
  EXPECT_TRUE(Within(20s, [&] { return server->ServerConnectionCount() == 0; }));
  // The thread that was sending serves others again.
  StartClient(u"127.0.0.1", server->ListeningPort());
  TnxSessionID other = 0;
  ASSERT_EQ(LogIn(other), 0u);
  EXPECT_EQ(Echo(other, Pattern(1000)).code, 0u);
}

// ---- processes that are killed ----

// The child lives until it is killed, but never longer than this.
[[noreturn]] void LingerThenExit() {
  std::this_thread::sleep_for(60s);
  platform::ExitProcessNow(0);
}

TEST_F(TcpListener, AKilledClientProcessIsDroppedWithinTheLostConnectionTimeout) {
  server->SetActive(false);
  server->SetLostConnectionTimeout(2000);
  server->SetActive(true);
  const uint16_t port = server->ListeningPort();
  const int32_t pid = platform::ForkProcess();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Only the raw peer here: the child has none of the server's threads.
    const int fd = platform::TcpConnect({platform::kInet4Loopback, port}, 3000);
    TRawClient peer(fd);
    try {
      if (fd >= 0) peer.Open();
    } catch (...) {
    }
    LingerThenExit();  // inside the peer's scope: the kill closes its socket
  }
  testing::TChildProcess child(pid);
  ASSERT_TRUE(Within(10s, [&] { return server->ServerConnectionCount() == 1; }));
  child.Kill();
  EXPECT_TRUE(Within(3s, [&] { return server->ServerConnectionCount() == 0; }));
  // The listener goes on serving others.
  auto bystander = Dial();
  ExpectServed(*bystander);
}

// The child's server, on the port its one argument names.
int TcpServerChildEntry(const std::vector<std::string>& aArgs) {
  if (aArgs.size() != 1) return 2;
  nxLowLevelStartup();
  std::unique_ptr<testing::TTestCommandHandler, void (*)(testing::TTestCommandHandler*)> handler(
      nullptr, [](testing::TTestCommandHandler* h) { platform::TComponent::Free(h); });
  Transport server;
  try {
    handler.reset(Make<testing::TTestCommandHandler>(u"H"));
    server.reset(Make<TnxIPv4Transport>(u"S"));
    server->SetServerName(u"TcpServer");
    server->SetMode(nxtmListen);
    server->SetPort(static_cast<uint16_t>(std::stoi(aArgs[0])));
    server->SetHeartbeatInterval(0);
    server->SetListenAddresses(Lines({u"127.0.0.1"}));
    server->SetCommandHandler(handler.get());
    server->SetActive(true);
  } catch (...) {
    return 1;
  }
  LingerThenExit();  // inside the server's scope: it runs until the kill
}
REVUROV_CHILD_ENTRY("tcp-server", TcpServerChildEntry);

class TcpKilledServer : public testing::LibraryStarted {};

TEST_F(TcpKilledServer, AKilledServerProcessFailsTheNextRequestWith11276) {
  const uint16_t port = AClosedPortForTests();
  const int32_t pid = testing::SpawnChild("tcp-server", {std::to_string(port)});
  ASSERT_GT(pid, 0);
  testing::TChildProcess child(pid);
  Transport client(Make<TnxIPv4Transport>(u"C"));
  client->SetServerName(u"127.0.0.1");
  client->SetPort(port);
  client->SetHeartbeatInterval(0);
  client->SetActive(true);
  TnxSessionID session = 0;
  int32_t version = 0;
  // The child may still be starting to listen.
  ASSERT_TRUE(Within(10s, [&] {
    const int fd = platform::TcpConnect({platform::kInet4Loopback, port}, 1000);
    platform::CloseSocket(fd);
    return fd >= 0;
  }));
  ASSERT_EQ(client->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, session), 0u);
  const Frame data{1, 2, 3};
  TReply reply;
  client->Request(0, session, 0, kEcho, 0, data.data(), 3, &TReply::Callback, &reply);
  ASSERT_EQ(reply.code, 0u);
  child.Kill();
  reply = TReply{};
  client->Request(0, session, 0, kEcho, 0, data.data(), 3, &TReply::Callback, &reply);
  EXPECT_EQ(reply.code, nxeLostConnection);
}

class TcpSocketUse : public testing::LibraryStarted {};

TEST_F(TcpSocketUse, EveryTransportHoldsOneCountFromInitialisationToDeactivation) {
  const int32_t before = nxWinsockUseCount();
  ASSERT_EQ(before, 0) << "no transport of another test is alive";
  Transport first(Make<TnxIPv4Transport>(u"A"));
  Transport second(Make<TnxIPv4Transport>(u"B"));
  for (auto* transport : {first.get(), second.get()}) {
    transport->SetServerName(u"TcpServer");
    transport->SetMode(nxtmListen);
    transport->SetPort(0);
    transport->SetListenAddresses(Lines({u"127.0.0.1"}));
  }
  EXPECT_EQ(nxWinsockUseCount(), before) << "created, not initialised";
  first->SetActive(true);
  EXPECT_EQ(nxWinsockUseCount(), before + 1);
  second->SetActive(true);
  EXPECT_EQ(nxWinsockUseCount(), before + 2);
  first->SetActive(false);
  EXPECT_EQ(nxWinsockUseCount(), before + 1);
  first->SetActive(false);
  EXPECT_EQ(nxWinsockUseCount(), before + 1) << "a second deactivation gives nothing back";
  second.reset();
  EXPECT_EQ(nxWinsockUseCount(), before) << "destroyed while started";

  // A listener without a server name fails its initialisation and keeps
  // no count.
  first->SetServerName(u"");
  EXPECT_THROW(first->SetActive(true), EnxBaseException);
  EXPECT_EQ(nxWinsockUseCount(), before);

  nxWinsockCleanup();
  nxWinsockStartup();
  nxWinsockCleanup();
  EXPECT_EQ(nxWinsockUseCount(), before) << "a give without a take changes nothing";
}

class TcpSettings : public testing::LibraryStarted {
 protected:
  Transport transport{Make<TnxIPv4Transport>(u"T")};
};

TEST_F(TcpSettings, CreatedWithNormalPrioritiesAndNoListenAddresses) {
  EXPECT_EQ(transport->ListenThreadPriority(), platform::TThreadPriority::tpNormal);
  EXPECT_EQ(transport->BroadcastThreadPriority(), platform::TThreadPriority::tpNormal);
  EXPECT_EQ(transport->ListenAddresses().Count(), 0);
  EXPECT_EQ(transport->ConnectionFilter(), nullptr);
}

TEST_F(TcpSettings, ConfigurationKeys) {
  const struct {
    const char* name;
    std::vector<std::pair<const char16_t* , platform::TnxVariant>> values;
    platform::TThreadPriority listen, broadcast;
    std::vector<std::u16string> addresses;
  } rows[] = {
      {"missing keys keep the priorities; addresses become *",
       {},
       platform::TThreadPriority::tpLower,
       platform::TThreadPriority::tpHigher,
       {u"*"}},
      {"ordinals and comma text",
       {{u"ListenThreadPriority", platform::TnxVariant::FromInteger(0)},
        {u"BroadcastThreadPriority", platform::TnxVariant::FromInteger(6)},
        {u"ListenAddresses", platform::TnxVariant::FromString(u"127.0.0.1,10.1.2.3")}},
       platform::TThreadPriority::tpIdle,
       platform::TThreadPriority::tpTimeCritical,
       {u"127.0.0.1", u"10.1.2.3"}},
      {"an ordinal out of range keeps the value",
       {{u"ListenThreadPriority", platform::TnxVariant::FromInteger(7)},
        {u"BroadcastThreadPriority", platform::TnxVariant::FromInteger(-1)},
        {u"ListenAddresses", platform::TnxVariant::FromString(u"*")}},
       platform::TThreadPriority::tpLower,
       platform::TThreadPriority::tpHigher,
       {u"*"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    transport->SetListenThreadPriority(platform::TThreadPriority::tpLower);
    transport->SetBroadcastThreadPriority(platform::TThreadPriority::tpHigher);
    transport->SetListenAddresses(Lines({u"1.2.3.4"}));
    testing::TMapConfiguration config;
    for (const auto& [key, value] : row.values) config.values[key] = value;
    transport->LoadConfig(config);
    EXPECT_EQ(transport->ListenThreadPriority(), row.listen);
    EXPECT_EQ(transport->BroadcastThreadPriority(), row.broadcast);
    std::vector<std::u16string> addresses;
    for (int i = 0; i < transport->ListenAddresses().Count(); ++i) addresses.push_back(transport->ListenAddresses()[i]);
    EXPECT_EQ(addresses, row.addresses);
  }

  const struct {
    const char* name;
    std::initializer_list<const char16_t* > addresses;
    const char16_t* saved;
  } saves[] = {{"an empty list saves *", {}, u"*"},
               {"one address", {u"127.0.0.1"}, u"127.0.0.1"},
               {"comma text", {u"127.0.0.1", u"127.0.0.2"}, u"127.0.0.1,127.0.0.2"}};
  for (const auto& row : saves) {
    SCOPED_TRACE(row.name);
    transport->SetListenThreadPriority(platform::TThreadPriority::tpLowest);
    transport->SetBroadcastThreadPriority(platform::TThreadPriority::tpHighest);
    transport->SetListenAddresses(Lines(row.addresses));
    testing::TMapConfiguration saved;
    transport->SaveConfig(saved);
    EXPECT_EQ(saved.values.at(u"ListenThreadPriority").AsInt64(), 1);
    EXPECT_EQ(saved.values.at(u"BroadcastThreadPriority").AsInt64(), 5);
    EXPECT_EQ(saved.values.at(u"ListenAddresses").AsString(), row.saved);
    EXPECT_EQ(saved.values.count(u"Port"), 1u) << "the pooled keys come first";
  }
}

TEST_F(TcpSettings, SettingsListEndsWithTheTransportsOwn) {
  testing::TListedSettings list;
  transport->GetConfigSettings(list);
  ASSERT_GE(list.items.size(), 3u);
  const struct {
    const char16_t* name;
    TnxSettingType type;
    const char16_t* def;
  } rows[] = {{u"ListenThreadPriority", nxstThreadPriority, u"tpNormal"},
              {u"BroadCastThreadPriority", nxstThreadPriority, u"tpNormal"},
              {u"ListenAddresses", nxstString, u"*"}};
  const size_t first = list.items.size() - 3;
  for (size_t i = 0; i < 3; ++i) {
    const TnxBaseSetting& setting = *list.items[first + i];
    EXPECT_EQ(setting.fName, rows[i].name);
    EXPECT_EQ(setting.fPropertyName, rows[i].name);
    EXPECT_EQ(setting.fSettingType, rows[i].type);
    EXPECT_EQ(setting.fDefaultValue.AsString(), rows[i].def);
  }
}

TEST_F(TcpSettings, SettingsStreamRoundTrip) {
  TnxMemoryStream stream;
  {
    Transport source{Make<TnxIPv4Transport>(u"S")};
    source->SetPort(18001);
    source->SetListenThreadPriority(platform::TThreadPriority::tpHighest);
    source->SetBroadcastThreadPriority(platform::TThreadPriority::tpIdle);
    TnxWriter writer(stream);
    source->SaveSettingsToStream(writer);
  }
  stream.SetPosition(0);
  TnxReader reader(stream);
  transport->LoadSettingsFromStream(reader);
  EXPECT_EQ(transport->Port(), 18001);
  EXPECT_EQ(transport->ListenThreadPriority(), platform::TThreadPriority::tpHighest);
  EXPECT_EQ(transport->BroadcastThreadPriority(), platform::TThreadPriority::tpIdle);
}

TEST_F(TcpSettings, SettingsStreamVersions) {
  const struct {
    const char* name;
    int32_t version;
    std::vector<std::u16string> strings;
    uint32_t error;  // 0: taken
    uint16_t port;
    platform::TThreadPriority listen, broadcast;
  } rows[] = {
      {"1: the port follows", 1, {}, 0, 17002, platform::TThreadPriority::tpLower, platform::TThreadPriority::tpHigher},
      {"2: both priorities by name",
       2,
       {u"tpLowest", u"tpTimeCritical"},
       0,
       16000,
       platform::TThreadPriority::tpLowest,
       platform::TThreadPriority::tpTimeCritical},
      {"2: names match without regard to case",
       2,
       {u"TPIDLE", u"tphighest"},
       0,
       16000,
       platform::TThreadPriority::tpIdle,
       platform::TThreadPriority::tpHighest},
      {"2: an unknown name", 2, {u"tpNormal", u"tpFastest"}, nxeIncompatibleStream, 0, {}, {}},
      {"3 is unknown", 3, {}, nxeIncompatibleStream, 0, {}, {}},
      {"0 is unknown", 0, {}, nxeIncompatibleStream, 0, {}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TnxMemoryStream stream;
    {
      Transport source{Make<TnxIPv4Transport>(u"S")};
      TnxWriter writer(stream);
      source->TnxBasePooledTransport::SaveSettingsToStream(writer);
      writer.WriteInteger(row.version);
      if (row.version == 1) writer.WriteInteger(int32_t{17002});
      for (const auto& text : row.strings) writer.WriteString(text);
    }
    stream.SetPosition(0);
    Transport target{Make<TnxIPv4Transport>(u"T")};
    target->SetListenThreadPriority(platform::TThreadPriority::tpLower);
    target->SetBroadcastThreadPriority(platform::TThreadPriority::tpHigher);
    TnxReader reader(stream);
    if (row.error) {
      try {
        target->LoadSettingsFromStream(reader);
        ADD_FAILURE() << "taken";
      } catch (const EnxBaseException& e) {
        EXPECT_EQ(e.ErrorCode(), row.error);
      }
      continue;
    }
    target->LoadSettingsFromStream(reader);
    EXPECT_EQ(target->Port(), row.port);
    EXPECT_EQ(target->ListenThreadPriority(), row.listen);
    EXPECT_EQ(target->BroadcastThreadPriority(), row.broadcast);
  }
}

TEST_F(TcpSettings, PrioritiesChangeOnlyWhileInactive) {
  transport->SetServerName(u"TcpServer");
  transport->SetMode(nxtmListen);
  transport->SetPort(0);
  transport->SetHeartbeatInterval(0);
  transport->SetListenAddresses(Lines({u"127.0.0.1"}));
  transport->SetActive(true);
  EXPECT_ANY_THROW(transport->SetListenThreadPriority(platform::TThreadPriority::tpHighest));
  EXPECT_ANY_THROW(transport->SetBroadcastThreadPriority(platform::TThreadPriority::tpHighest));
  transport->SetActive(false);
  transport->SetListenThreadPriority(platform::TThreadPriority::tpHighest);
  EXPECT_EQ(transport->ListenThreadPriority(), platform::TThreadPriority::tpHighest);
}

TEST(TcpNames, EffectiveListenAddresses) {
  const struct {
    const char* name;
    std::vector<const char16_t*> list;
    std::vector<std::u16string> effective;
  } rows[] = {
      {"none", {}, {u"*"}},
      {"an address, a blank entry and a star", {u"127.0.0.1", u"  ", u"*"}, {u"*"}},
      {"blank entries only", {u"", u" "}, {u"*"}},
      {"two addresses, trimmed", {u" 127.0.0.1", u"127.0.0.2 "}, {u"127.0.0.1", u"127.0.0.2"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    platform::TStringList list;
    for (const auto* entry : row.list) list.Add(entry);
    EXPECT_EQ(nxEffectiveListenAddresses(list), row.effective);
  }
}

}  // namespace
}  // namespace revurov
