// Scenarios every medium of the pooled transports runs: each real transport
// adds its row to kMedia.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <thread>
#include <vector>

#include "support/fake_transport_clock.h"
#include "support/named_component.h"
#include "transport/connection.h"
#include "transport/pooled_transport.h"
#include "transport/support/socket_pair_transport.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

using testing::Make;

struct TMedium {
  const char* name;
  std::function<TnxBasePooledTransport*(std::u16string aName)> make;
  // A client connection of a started sending transport; null when none.
  std::function<TnxBaseConnection*(TnxBasePooledTransport&)> connect;
  // Bytes the listener has read so far.
  std::function<int64_t(TnxBasePooledTransport&)> received;
  // Reads on the client end without a time limit: >0 bytes, 0 at the end.
  std::function<int64_t(TnxBaseConnection&)> blockingRead;
};

void PrintTo(const TMedium& aMedium, std::ostream* aOut) { *aOut << aMedium.name; }

const TMedium kMedia[] = {
    {"socket_pair",
     [](std::u16string aName) -> TnxBasePooledTransport* { return Make<testing::TSocketPairTransport>(aName); },
     [](TnxBasePooledTransport& t) -> TnxBaseConnection* {
       return static_cast<testing::TSocketPairTransport&>(t).Connect();
     },
     [](TnxBasePooledTransport& t) { return static_cast<testing::TSocketPairTransport&>(t).BytesReceived.load(); },
     [](TnxBaseConnection& c) {
       char buffer[16];
       return platform::SocketRead(static_cast<testing::TSocketPairConnection&>(c).Fd(), buffer, sizeof buffer);
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
    t->SetServerName(u"MediumServer");
    t->SetMode(aMode);
    return t;
  }
};

template <class Pred>
bool Within(std::chrono::seconds aLimit, Pred aPred) {
  const auto deadline = std::chrono::steady_clock::now() + aLimit;
  while (!aPred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

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
  const std::vector<uint8_t> bytes(3000, 0x5A);
  for (int i = 0; i < 4; ++i) connection->DoWrite(0, 0, 0, 0, 0, 0, 0, 0, bytes.data(), 3000);
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

}  // namespace
}  // namespace revurov
