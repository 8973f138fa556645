#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/code_page.h"
#include "platform/guid.h"
#include "platform/os_thread.h"
#include "platform/socket.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "support/fake_transport_clock.h"
#include "support/named_component.h"
#include "support/private_network.h"
#include "support/test_command_handler.h"
#include "support/within.h"
#include "transport/tcp_discovery.h"
#include "transport/tcp_transport.h"
#include "transport/transport_exception.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using namespace std::chrono_literals;
using testing::Make;
using testing::Within;

struct Freed {
  void operator()(platform::TComponent* aComponent) const { platform::TComponent::Free(aComponent); }
};
using Transport = std::unique_ptr<TnxWinsockTransport, Freed>;
using Handler = std::unique_ptr<testing::TTestCommandHandler, Freed>;

constexpr uint16_t kPort = 16000;
constexpr uint32_t kLoopback = platform::kInet4Loopback;
const platform::TGUID kGuid = platform::nxGuid("{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");

using namespace std::string_literals;

std::string GuidBytes(const platform::TGUID& aGuid) { return platform::Utf16ToUtf8(platform::GUIDToString(aGuid)); }

std::string AnswerBytes(const std::string& aName, const platform::TGUID& aGuid) {
  return "Zirez/nxWinsock/Server:" + aName + '\0' + GuidBytes(aGuid) + '\0' + "47501" + '\0';
}

// A plain datagram socket of the test.
class TUdp {
public:
  struct TDatagram {
    std::string bytes;
    platform::TInet4Address from;
  };
  TUdp(uint32_t aAddress, uint16_t aPort, bool aBroadcast = false)
      : uFd(platform::UdpOpen({aAddress, aPort}, aBroadcast)) {}
  ~TUdp() { platform::CloseSocket(uFd); }
  TUdp(const TUdp&) = delete;
  TUdp& operator=(const TUdp&) = delete;

  bool Ok() const { return uFd >= 0; }
  bool Send(std::string_view aData, uint32_t aTo, uint16_t aPort) {
    return platform::UdpSend(uFd, aData.data(), aData.size(), {aTo, aPort});
  }
  std::optional<TDatagram> Receive(uint32_t aWaitMs) {
    if (!platform::WaitReadable(uFd, aWaitMs)) return std::nullopt;
    char buffer[2048];
    platform::TInet4Address from;
    uint32_t arrival = 0;
    const int64_t n = platform::UdpReceive(uFd, buffer, sizeof buffer, from, arrival);
    if (n < 0) return std::nullopt;
    return TDatagram{std::string(buffer, static_cast<size_t>(n)), from};
  }

private:
  int uFd;
};

class TRecordingHandler : public TnxInterfacedObject, public InxBroadcastReplyHandler {
public:
  struct TSeen {
    std::u16string name;
    platform::TGUID id;
    int32_t version;
    int32_t port;
  };
  void ReplyReceived(InxBroadcastReply& aReply) override {
    std::lock_guard guard(rhLock);
    rhSeen.push_back({aReply.ServerName(), aReply.ServerID(), aReply.ServerVersion(), aReply.ServerPort()});
  }
  std::vector<TSeen> Seen() {
    std::lock_guard guard(rhLock);
    return rhSeen;
  }
  bool Saw(const std::u16string& aName) {
    for (const auto& seen : Seen())
      if (seen.name == aName) return true;
    return false;
  }

protected:
  bool GetInterface(const platform::TGUID& iid, void** obj) noexcept override {
    return nxOfferInterface<InxBroadcastReplyHandler>(this, iid, obj) || TnxInterfacedObject::GetInterface(iid, obj);
  }

private:
  std::mutex rhLock;
  std::vector<TSeen> rhSeen;
};

// ---- the datagrams ----

TEST(TcpDiscoveryWire, RequestAndAnswerAreByteExact) {
  EXPECT_EQ(nxWinsockRequest(), "Zirez/nxWinsock/Client\0"s);
  EXPECT_EQ(nxWinsockRequest().size(), 23u);
  EXPECT_EQ(GuidBytes(kGuid), "{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}");
  const struct {
    std::u16string name;
    std::string bytes;
  } rows[] = {
      {u"Srv", "Zirez/nxWinsock/Server:Srv\0{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\0" "47501\0"s},
      // The system code page, one byte per character, not UTF-8.
      {u"M\u00fcller", "Zirez/nxWinsock/Server:M\xfcller\0{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\0" "47501\0"s},
      {u"", "Zirez/nxWinsock/Server:\0{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}\0" "47501\0"s},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(platform::Utf16ToUtf8(row.name));
    EXPECT_EQ(nxWinsockAnswer(row.name, kGuid), row.bytes);
  }
}

TEST(TcpDiscoveryWire, OnlyTheClientTextInAnyCaseIsARequest) {
  const struct {
    std::string data;
    bool request;
  } rows[] = {
      {"Zirez/nxWinsock/Client\0"s, true},
      {"zirez/nxwinsock/client\0"s, true},
      {"ZIREZ/NXWINSOCK/CLIENT\0"s, true},
      {"Zirez/nxWinsock/Client", true},  // the text ends with the data
      {"Zirez/nxWinsock/Client\0trailing"s, true},
      {"Zirez/nxWinsock/Clien", false},
      {"Zirez/nxWinsock/ClientX\0"s, false},
      {" Zirez/nxWinsock/Client\0"s, false},
      {"Zirez/nxWinsock/Server:S\0"s, false},
      {"\0Zirez/nxWinsock/Client"s, false},
      {"", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.data);
    EXPECT_EQ(nxIsWinsockRequest(row.data.data(), row.data.size()), row.request);
  }
}

TEST(TcpDiscoveryWire, AnswersAreReadOnlyFromWhatArrived) {
  const std::string guid = GuidBytes(kGuid);
  const struct {
    const char* name;
    std::string data;
    const char16_t* server;  // null: dropped
    std::u16string guid;
    std::u16string version;
  } rows[] = {
      {"whole", AnswerBytes("S", kGuid), u"S", platform::GUIDToString(kGuid), u"47501"},
      {"prefix in lower case", "zirez/nxwinsock/server:S\0"s + guid + '\0' + "7\0"s, u"S",
       platform::GUIDToString(kGuid), u"7"},
      {"no zero bytes at all", "Zirez/nxWinsock/Server:Name", u"Name", u"", u""},
      {"ends after the GUID", "Zirez/nxWinsock/Server:S\0"s + guid, u"S", platform::GUIDToString(kGuid), u""},
      {"version without its zero", "Zirez/nxWinsock/Server:S\0"s + guid + '\0' + "475", u"S",
       platform::GUIDToString(kGuid), u"475"},
      {"empty GUID text", "Zirez/nxWinsock/Server:S\0\0" "1\0"s, u"S", u"", u"1"},
      {"bad GUID text", "Zirez/nxWinsock/Server:S\0{nonsense}\0" "47501\0"s, nullptr, u"", u""},
      {"GUID cut short", "Zirez/nxWinsock/Server:S\0"s + guid.substr(0, 20), nullptr, u"", u""},
      {"empty name", "Zirez/nxWinsock/Server:\0"s + guid + '\0', nullptr, u"", u""},
      {"prefix alone", "Zirez/nxWinsock/Server:", nullptr, u"", u""},
      {"prefix cut short", "Zirez/nxWinsock/Server", nullptr, u"", u""},
      {"another prefix", "Zirez/nxWinsock/Client\0"s, nullptr, u"", u""},
      {"zero inside the prefix", "Zirez/nxWin\0sock/Server:S\0"s, nullptr, u"", u""},
      {"nothing", "", nullptr, u"", u""},
      {"name in the system code page", "Zirez/nxWinsock/Server:M\xfcller\0\0\0"s, u"M\u00fcller", u"", u""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    // Exactly as long as the datagram, so that a read past it is caught.
    const auto data = std::make_unique<char[]>(row.data.size() + 1);
    std::memcpy(data.get(), row.data.data(), row.data.size());
    TnxWinsockAnswer answer;
    ASSERT_EQ(nxParseWinsockAnswer(data.get(), row.data.size(), answer), row.server != nullptr);
    if (!row.server) continue;
    EXPECT_EQ(answer.name, row.server);
    EXPECT_EQ(answer.guid, row.guid);
    EXPECT_EQ(answer.version, row.version);
  }
}

TEST(TcpDiscoveryWire, RandomlyMutatedAnswersAreTakenOrDroppedWithoutAReadPastTheirEnd) {
  std::mt19937 random(30);
  const std::string good = AnswerBytes("Server", kGuid);
  const int rounds = std::getenv("REVUROV_LONG_TESTS") ? 200000 : 20000;
  int taken = 0;
  for (int round = 0; round < rounds; ++round) {
    std::string data = good;
    for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
      const size_t at = data.empty() ? 0 : random() % data.size();
      switch (random() % 4) {
        case 0:
          if (!data.empty()) data[at] = static_cast<char>(random() % 4 == 0 ? 0 : random());
          break;
        case 1:
          data.resize(at);
          break;
        case 2:
          data.append(random() % 480, static_cast<char>('A' + random() % 26));
          break;
        default:
          if (!data.empty()) data.erase(at, 1);
      }
    }
    // Sized by new[] exactly: AddressSanitizer sees the byte behind.
    const auto exact = std::make_unique<char[]>(data.size());
    std::memcpy(exact.get(), data.data(), data.size());
    TnxWinsockAnswer answer;
    if (!nxParseWinsockAnswer(exact.get(), data.size(), answer)) continue;
    ++taken;
    ASSERT_FALSE(answer.name.empty()) << round;
    ASSERT_EQ(answer.name.find(u'\0'), std::u16string::npos) << round;
    platform::TGUID id{};
    ASSERT_TRUE(answer.guid.empty() || platform::TryStringToGUID(answer.guid, id)) << round;
  }
  EXPECT_GT(taken, 0) << "some mutations keep an answer";
}

// ---- over loopback, each test in a network of its own ----

class TcpDiscovery : public testing::LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    network = std::make_unique<testing::TPrivateNetwork>();
    if (!network->Entered())
      GTEST_SKIP() << "no private network: an interface other than loopback is up, or no privilege";
    nxSetWinsockLoopbackOnly(true);
    handler.reset(Make<testing::TTestCommandHandler>(u"H"));
  }
  void TearDown() override {
    servers.clear();
    handler.reset();
    nxSetWinsockLoopbackOnly(false);
    network.reset();
    LibraryStarted::TearDown();
  }

  Transport NewServer(const char16_t* aName, std::initializer_list<const char16_t*> aListen) {
    Transport server(Make<TnxIPv4Transport>(u"S"));
    server->SetServerName(aName);
    server->SetMode(nxtmListen);
    server->SetPort(kPort);
    server->SetHeartbeatInterval(0);
    platform::TStringList listen;
    for (const auto* address : aListen) listen.Add(address);
    server->SetListenAddresses(listen);
    server->SetCommandHandler(handler.get());
    server->SetRespondToBroadcasts(true);
    server->SetActive(true);
    return server;
  }
  TnxWinsockTransport& StartServer(const char16_t* aName, std::initializer_list<const char16_t*> aListen) {
    servers.push_back(NewServer(aName, aListen));
    return *servers.back();
  }
  static Transport NewClient() {
    Transport client(Make<TnxIPv4Transport>(u"C"));
    client->SetPort(kPort);
    client->SetHeartbeatInterval(0);
    return client;
  }
  static std::vector<std::u16string> Scan(TnxWinsockTransport& aClient, uint32_t aTimeOut) {
    platform::TStringList list;
    aClient.GetServerNames(list, aTimeOut);
    std::vector<std::u16string> names;
    for (int i = 0; i < list.Count(); ++i) names.push_back(list[i]);
    return names;
  }
  // Logs in with aServerName and has three bytes echoed.
  static void ExpectServedAs(const std::u16string& aServerName) {
    Transport client = NewClient();
    client->SetServerName(aServerName);
    client->SetActive(true);
    TnxSessionID session = 0;
    int32_t version = 0;
    ASSERT_EQ(client->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, session), 0u);
    struct TReply {
      uint32_t code = 0xFFFFFFFF;
      static void Callback(TnxMsgID, uint32_t aCode, const void*, int32_t, void* aCookie) {
        static_cast<TReply*>(aCookie)->code = aCode;
      }
    } reply;
    const uint8_t data[3] = {1, 2, 3};
    client->Request(0, session, 0, 0x10, 0, data, 3, &TReply::Callback, &reply);
    EXPECT_EQ(reply.code, 0u);
    client->SetActive(false);
  }

  std::unique_ptr<testing::TPrivateNetwork> network;
  Handler handler;
  std::vector<Transport> servers;
};

TEST_F(TcpDiscovery, AScanBroadcastsTheRequestFromPortAndAServerAnswersTwiceToPortPlusOne) {
  // Bound like a server's broadcast thread: it hears every request.
  TUdp requests(platform::kInet4Any, kPort);
  ASSERT_TRUE(requests.Ok());
  Transport client = NewClient();
  const platform::TInterfacePtr<TRecordingHandler> recorder(nxCreate<TRecordingHandler>());
  auto scan = client->BeginBroadcast(recorder.Get(), 60000);
  const auto request = requests.Receive(10000);
  ASSERT_TRUE(request);
  EXPECT_EQ(request->bytes, "Zirez/nxWinsock/Client\0"s);
  EXPECT_EQ(request->from.address, kLoopback);
  EXPECT_EQ(request->from.port, kPort);
  scan->Stop();

  auto& server = StartServer(u"Srv", {u"*"});
  TUdp requester(kLoopback, kPort, true);
  TUdp answers(platform::kInet4Any, kPort + 1);
  ASSERT_TRUE(requester.Ok() && answers.Ok());
  ASSERT_TRUE(requester.Send(nxWinsockRequest(), 0xFFFFFFFF, kPort));
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    const auto answer = answers.Receive(10000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->bytes, AnswerBytes("Srv", server.ServerGUID()));
    EXPECT_EQ(answer->from.address, kLoopback);
    EXPECT_EQ(answer->from.port, kPort);
  }
  EXPECT_FALSE(answers.Receive(0)) << "twice, not more";
}

TEST_F(TcpDiscovery, AServerAnswersTheRequestInAnyCaseAndNoOtherText) {
  StartServer(u"Srv", {u"127.0.0.1"});
  TUdp requester(kLoopback, kPort, true);
  TUdp answers(platform::kInet4Any, kPort + 1);
  ASSERT_TRUE(requester.Ok() && answers.Ok());
  const struct {
    std::string data;
    bool answered;
  } rows[] = {
      {"zirez/nxwinsock/client\0"s, true},
      {"Zirez/nxWinsock/Client", true},
      {"Zirez/nxWinsock/Clients\0"s, false},
      {"Zirez/nxWinsock/Server:Srv\0"s, false},
      {"", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.data);
    ASSERT_TRUE(requester.Send(row.data, 0xFFFFFFFF, kPort));
    // The server takes datagrams in order: once the good request behind
    // this one is answered, an answer to this one would be here before it.
    ASSERT_TRUE(requester.Send(nxWinsockRequest(), 0xFFFFFFFF, kPort));
    int count = 0;
    for (int expected = row.answered ? 4 : 2; count < expected; ++count)
      ASSERT_TRUE(answers.Receive(10000)) << count;
    EXPECT_FALSE(answers.Receive(0));
  }
}

TEST_F(TcpDiscovery, AScanListsNameAtAddressOnceAndThatNameLogsIn) {
  auto& server = StartServer(u"Alpha", {u"*"});
  // A second server of the same name at the same address.
  TUdp twin(kLoopback, kPort);
  TUdp twinRequests(platform::kInet4Any, kPort);
  ASSERT_TRUE(twin.Ok() && twinRequests.Ok());
  std::atomic<bool> done{false};
  std::thread twinAnswers([&] {
    while (!done)
      if (twinRequests.Receive(20)) twin.Send(AnswerBytes("Alpha", kGuid), kLoopback, kPort + 1);
  });
  Transport client = NewClient();
  const auto names = Scan(*client, 400);
  done = true;
  twinAnswers.join();
  EXPECT_EQ(names, std::vector<std::u16string>{u"Alpha@127.0.0.1"});

  const platform::TInterfacePtr<TRecordingHandler> recorder(nxCreate<TRecordingHandler>());
  auto scan = client->BeginBroadcast(recorder.Get(), 60000);
  ASSERT_TRUE(Within(10s, [&] { return !recorder->Seen().empty(); }));
  scan->Stop();
  const auto seen = recorder->Seen().front();
  EXPECT_EQ(seen.name, u"Alpha@127.0.0.1");
  EXPECT_EQ(seen.id, server.ServerGUID());
  EXPECT_EQ(seen.version, 47501);
  EXPECT_EQ(seen.port, kPort) << "the TCP port, not the answer's";

  ExpectServedAs(names.front());
}

TEST_F(TcpDiscovery, MalformedAnswersAreDroppedOrCutAt420Bytes) {
  Transport client = NewClient();
  const platform::TInterfacePtr<TRecordingHandler> recorder(nxCreate<TRecordingHandler>());
  auto scan = client->BeginBroadcast(recorder.Get(), 60000);
  TUdp server(kLoopback, kPort);
  ASSERT_TRUE(server.Ok());
  const std::string guid = GuidBytes(kGuid);
  const struct {
    const char* name;
    std::string data;
    std::u16string listed;  // empty: dropped
  } rows[] = {
      {"empty name", "Zirez/nxWinsock/Server:\0"s + guid + '\0' + "47501\0"s, u""},
      {"bad GUID", "Zirez/nxWinsock/Server:BadGuid\0{0F1E2D3C-XXXX}\0" "47501\0"s, u""},
      {"no zero bytes", "Zirez/nxWinsock/Server:NoZeros", u"NoZeros@127.0.0.1"},
      {"396-character name: its zero is byte 420", AnswerBytes(std::string(396, 'n'), kGuid),
       std::u16string(396, u'n') + u"@127.0.0.1"},
      {"600-character name: cut to 397", AnswerBytes(std::string(600, 'c'), kGuid),
       std::u16string(397, u'c') + u"@127.0.0.1"},
      {"GUID cut by the 420 bytes", AnswerBytes(std::string(380, 'g'), kGuid), u""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(server.Send(row.data, kLoopback, kPort + 1));
    // Answers are taken in order: once this one is listed, the one before
    // would have been too.
    const std::u16string marker = platform::Utf8ToUtf16(std::string("after ") + row.name);
    ASSERT_TRUE(server.Send(AnswerBytes(platform::Utf16ToUtf8(marker), kGuid), kLoopback, kPort + 1));
    ASSERT_TRUE(Within(10s, [&] { return recorder->Saw(marker + u"@127.0.0.1"); }));
  }
  scan->Stop();
  std::vector<std::u16string> listed;
  for (const auto& seen : recorder->Seen())
    if (seen.name.rfind(u"after ", 0) != 0) listed.push_back(seen.name);
  std::vector<std::u16string> expected;
  for (const auto& row : rows)
    if (!row.listed.empty()) expected.push_back(row.listed);
  EXPECT_EQ(listed, expected);
}

TEST_F(TcpDiscovery, RandomlyMutatedAnswersLeaveTheListenThreadServing) {
  Transport client = NewClient();
  const platform::TInterfacePtr<TRecordingHandler> recorder(nxCreate<TRecordingHandler>());
  auto scan = client->BeginBroadcast(recorder.Get(), 60000);
  TUdp server(kLoopback, kPort);
  ASSERT_TRUE(server.Ok());
  std::mt19937 random(3030);
  const std::string good = AnswerBytes("Server", kGuid);
  for (int batch = 0; batch < 20; ++batch) {
    for (int i = 0; i < 16; ++i) {
      std::string data = good;
      data.resize(random() % 520, 'x');
      for (int flips = static_cast<int>(random() % 6); flips > 0 && !data.empty(); --flips)
        data[random() % data.size()] = static_cast<char>(random() % 3 == 0 ? 0 : random());
      server.Send(data, kLoopback, kPort + 1);
    }
    const std::u16string marker = u"Batch" + platform::Utf8ToUtf16(std::to_string(batch));
    ASSERT_TRUE(server.Send(AnswerBytes(platform::Utf16ToUtf8(marker), kGuid), kLoopback, kPort + 1));
    ASSERT_TRUE(Within(10s, [&] { return recorder->Saw(marker + u"@127.0.0.1"); })) << batch;
  }
  scan->Stop();
}

TEST_F(TcpDiscovery, EveryListenAddressHasAThreadAnsweringOnlyWhatArrivedOnIt) {
  // A second address in another subnet, so that a broadcast sent from it
  // arrives on it.
  ASSERT_EQ(std::system("ip addr add 10.66.0.1/24 dev lo"), 0);
  uint32_t second = 0;
  ASSERT_TRUE(platform::ParseInet4("10.66.0.1", second));
  StartServer(u"Two", {u"127.0.0.1", u"10.66.0.1"});

  // Each requester's answers come to its own address; a thread that also
  // answered what arrived on the other address would show up as an answer
  // from the wrong address.
  {
    TUdp requesterA(kLoopback, kPort, true), requesterB(second, kPort, true);
    TUdp answersA(kLoopback, kPort + 1), answersB(second, kPort + 1);
    ASSERT_TRUE(requesterA.Ok() && requesterB.Ok() && answersA.Ok() && answersB.Ok());
    for (int round = 0; round < 2; ++round) {
      ASSERT_TRUE(requesterA.Send(nxWinsockRequest(), 0xFFFFFFFF, kPort));
      ASSERT_TRUE(requesterB.Send(nxWinsockRequest(), 0xFFFFFFFF, kPort));
    }
    // Each thread takes all four requests in order: once it has answered
    // the last one meant for it, any answer to the others is here already.
    for (auto* answers : {&answersA, &answersB}) {
      const uint32_t from = answers == &answersA ? kLoopback : second;
      for (int i = 0; i < 4; ++i) {
        const auto answer = answers->Receive(10000);
        ASSERT_TRUE(answer) << i;
        EXPECT_EQ(platform::Inet4Text(answer->from), platform::Inet4Text({from, kPort})) << i;
      }
      EXPECT_FALSE(answers->Receive(0));
    }
  }

  Transport client = NewClient();
  EXPECT_EQ(Scan(*client, 400), (std::vector<std::u16string>{u"Two@10.66.0.1", u"Two@127.0.0.1"}))
      << "a sender per local address";
}

TEST_F(TcpDiscovery, ServerBroadcastThreadsLiveWhileTheServerIsStartedWithRespondToBroadcasts) {
  const int32_t before = nxWinsockUseCount();
  Transport client = NewClient();
  const struct {
    const char* name;
    bool respond;
    uint16_t port;
    int32_t threads;
  } rows[] = {
      {"answering", true, kPort, 1},
      {"not answering", false, kPort, 0},
      {"port 0: no fixed port to be found at", true, 0, 0},
      {"port 65535: no answer port", true, 0xFFFF, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Transport server(Make<TnxIPv4Transport>(u"S"));
    server->SetServerName(u"Srv");
    server->SetMode(nxtmListen);
    server->SetPort(row.port);
    server->SetHeartbeatInterval(0);
    server->SetCommandHandler(handler.get());
    server->SetRespondToBroadcasts(row.respond);
    platform::TStringList listen;
    listen.Add(u"127.0.0.1");
    server->SetListenAddresses(listen);
    server->SetActive(true);
    EXPECT_EQ(nxWinsockUseCount(), before + 1 + row.threads) << "the transport and its broadcast threads";
    if (row.port == kPort) {
      // A loaded machine can answer after a scan's end: a few scans, bounded.
      size_t found = Scan(*client, 200).size();
      for (int attempt = 1; attempt < 10 && found < static_cast<size_t>(row.threads); ++attempt)
        found = Scan(*client, 200).size();
      EXPECT_EQ(found, static_cast<size_t>(row.threads));
    }
    server->SetActive(false);
    EXPECT_EQ(nxWinsockUseCount(), before);
    if (row.port == kPort) {
      EXPECT_TRUE(Scan(*client, 200).empty()) << "stopped";
    }
  }
}

TEST_F(TcpDiscovery, AScanWithoutAnAnswerPortRaises9986) {
  for (uint16_t port : {uint16_t{0}, uint16_t{0xFFFF}}) {
    SCOPED_TRACE(port);
    Transport client = NewClient();
    client->SetPort(port);
    const platform::TInterfacePtr<TRecordingHandler> recorder(nxCreate<TRecordingHandler>());
    try {
      client->BeginBroadcast(recorder.Get(), 100);
      ADD_FAILURE() << "no exception";
    } catch (const EnxTransportException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeInvalidParameter);
    }
  }
}

// Drives a scan's wait on the fake clock in quarter seconds, taking the
// requests that leave at each step.
struct TScanSteps {
  TUdp* requests = nullptr;
  uint64_t start = 0;
  std::vector<uint64_t> sent;
};
TScanSteps* gSteps = nullptr;

void TakeRequests(uint32_t aFirstWaitMs) {
  for (uint32_t wait = aFirstWaitMs; gSteps->requests->Receive(wait); wait = 0)
    gSteps->sent.push_back(testing::TFakeTransportClock::Now() - gSteps->start);
}

void StepThroughScan(uint32_t aMs) {
  TakeRequests(10000);  // the first leaves at once
  for (uint32_t t = 250; t <= aMs; t += 250) {
    testing::TFakeTransportClock::Advance(250);
    // Where one is due, wait for it, though for less real time than the
    // interval: a sender on the wall clock would miss it. Elsewhere take
    // only what is there.
    TakeRequests(t % 2500 == 0 && t < aMs ? 2000 : 0);
  }
}

TEST_F(TcpDiscovery, ATenSecondScanSendsEvery2500MsOfTheTransportClock) {
  TUdp requests(platform::kInet4Any, kPort);
  ASSERT_TRUE(requests.Ok());
  testing::TFakeTransportClock clock;
  TScanSteps steps{&requests, testing::TFakeTransportClock::Now(), {}};
  gSteps = &steps;
  nxSetTransportSleep(&StepThroughScan);
  Transport client = NewClient();
  Scan(*client, 10000);
  TakeRequests(0);
  gSteps = nullptr;
  const std::vector<uint64_t> expected{0, 2500, 5000, 7500};
  std::vector<uint64_t> sent = steps.sent;
  // One more may leave at 10 s before the scan ends.
  if (sent.size() == 5 && sent.back() == 10000) sent.pop_back();
  EXPECT_EQ(sent, expected);
}

TEST_F(TcpDiscovery, SuspendedSendingSendsNothingUntilResumedAndAWholeIntervalAfter) {
  TUdp requests(platform::kInet4Any, kPort);
  ASSERT_TRUE(requests.Ok());
  testing::TFakeTransportClock clock;
  Transport client = NewClient();
  const platform::TInterfacePtr<TRecordingHandler> recorder(nxCreate<TRecordingHandler>());
  auto scan = client->BeginBroadcast(recorder.Get(), 1000);
  ASSERT_TRUE(requests.Receive(10000)) << "the first at once";
  auto count = [&](uint32_t aWaitMs) {
    int n = 0;
    for (uint32_t wait = aWaitMs; requests.Receive(wait); wait = aWaitMs) ++n;
    return n;
  };
  scan->SuspendSending();
  scan->SuspendSending();
  // A sender already waiting for its interval sends once more when it is
  // due, then holds; one that saw the suspension first holds at once.
  testing::TFakeTransportClock::Advance(1000);
  int sent = count(500);
  testing::TFakeTransportClock::Advance(10000);
  scan->ResumeSending();
  sent += count(300);
  scan->ResumeSending();
  sent += count(300);
  EXPECT_LE(sent, 1) << "held while suspended, however overdue, and a whole interval after resuming";
  testing::TFakeTransportClock::Advance(1000);
  EXPECT_TRUE(requests.Receive(10000)) << "resumed";
  scan->Stop();
}

// ---- end to end between two networks ----

TEST_F(TcpDiscovery, AScanOverAVethPairListsTheServerOfTheOtherNetworkAndThatNameLogsIn) {
  // The scan may leave this network now: the only way out is the pair.
  nxSetWinsockLoopbackOnly(false);
  std::atomic<uint32_t> serverThread{0};
  std::atomic<int> stage{0};  // 1 pair made, 2 server started, 3 done, -1 failed
  std::thread other([&] {
    testing::TPrivateNetwork network;
    if (!network.Entered()) {
      stage = -1;
      return;
    }
    serverThread = platform::CurrentThreadId();
    if (!Within(20s, [&] { return stage.load() != 0; }) || stage != 1) return;
    if (std::system("ip addr add 10.77.30.2/24 dev rvB && ip link set rvB up") != 0) {
      stage = -1;
      return;
    }
    Transport server;
    try {
      server = NewServer(u"VethServer", {u"*"});
    } catch (...) {
      stage = -1;
      return;
    }
    stage = 2;
    Within(120s, [&] { return stage.load() == 3; });
  });
  struct TJoin {
    std::atomic<int>& stage;
    std::thread& thread;
    ~TJoin() {
      if (stage != -1) stage = 3;
      thread.join();
    }
  } join{stage, other};

  ASSERT_TRUE(Within(20s, [&] { return serverThread.load() != 0 || stage.load() == -1; }));
  ASSERT_NE(stage.load(), -1) << "no second network";
  const std::string make = "ip link add rvA type veth peer name rvB netns " + std::to_string(serverThread.load()) +
                           " && ip addr add 10.77.30.1/24 dev rvA && ip link set rvA up";
  ASSERT_EQ(std::system(make.c_str()), 0) << make;
  stage = 1;
  ASSERT_TRUE(Within(20s, [&] { return stage.load() == 2 || stage.load() == -1; }));
  ASSERT_EQ(stage.load(), 2) << "the server did not start in its network";

  Transport client = NewClient();
  std::vector<std::u16string> names;
  // The pair may take a moment to carry anything.
  for (int attempt = 0; attempt < 20 && names.empty(); ++attempt) names = Scan(*client, 500);
  EXPECT_EQ(names, std::vector<std::u16string>{u"VethServer@10.77.30.2"});
  if (!names.empty()) ExpectServedAs(names.front());
}

}  // namespace
}  // namespace revurov
