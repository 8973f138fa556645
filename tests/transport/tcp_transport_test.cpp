#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "platform/socket.h"
#include "support/named_component.h"
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

template <class Pred>
bool Within(std::chrono::seconds aLimit, Pred aPred) {
  const auto deadline = std::chrono::steady_clock::now() + aLimit;
  while (!aPred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

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

}  // namespace
}  // namespace revurov
