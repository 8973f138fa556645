// Connections: numbering, Free once, users, and completions that name a
// connection by its handle.
#include "transport/connection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/completion_queue.h"
#include "platform/os_event.h"
#include "transport/freed_connections.h"
#include "transport/transport_test_support.h"

namespace revurov {
namespace {

class TCountedConnection : public TnxBaseConnection {
public:
  explicit TCountedConnection(std::atomic<int>& aDestroyed) : TnxBaseConnection(nullptr), ccDestroyed(aDestroyed) {}
  ~TCountedConnection() override { ccDestroyed.fetch_add(1); }
  void Deactivate() override {}
  void DoWrite(TnxTransportID, TnxSessionID, TnxThreadPriority, TnxMsgID, uint8_t, uint32_t, uint8_t, uint32_t,
               const void*, uint32_t) override {}
  void Read(TnxReplyCallback, void*) override {}
  void ForceDisconnect() override { bcForcedDisconnect.store(true); }

private:
  std::atomic<int>& ccDestroyed;
};

// A registered pooled transport keeps freed connection memory deferred,
// as it is while connections live.
class Connections : public testing::LibraryStarted {
protected:
  void SetUp() override {
    LibraryStarted::SetUp();
    nxRegisterPooledTransport();
  }
  void TearDown() override {
    nxUnregisterPooledTransport();
    LibraryStarted::TearDown();
  }
  std::atomic<int> destroyed{0};
};

TEST_F(Connections, NumbersAndLogNamesFollowCreation) {
  auto* a = new TCountedConnection(destroyed);
  auto* b = new TCountedConnection(destroyed);
  EXPECT_EQ(b->ConnectionID(), a->ConnectionID() + 1);
  const std::string number = std::to_string(b->ConnectionID());
  EXPECT_EQ(b->LogPrefix(), u"{" + std::u16string(number.begin(), number.end()) + u"}");
  EXPECT_EQ(a->LogCategory(), u"transport_connection");
  EXPECT_NE(a->Handle(), 0u);
  EXPECT_NE(a->Handle(), b->Handle());
  a->Free();
  b->Free();
}

// Two users that both free the connection, as the stop and a server thread
// may: it is destroyed once, when the last of them has left it.
TEST_F(Connections, FreeTwiceFreesOnce) {
  auto* c = new TCountedConnection(destroyed);
  const uint32_t handle = c->Handle();
  const size_t held = nxFreedConnectionCounts().Held[0];
  EXPECT_TRUE(TnxBaseConnection::Deliver(handle, [&](TnxBaseConnection& aFirst) {
    EXPECT_TRUE(TnxBaseConnection::Deliver(handle, [&](TnxBaseConnection& aSecond) { aSecond.Free(); }));
    aFirst.Free();
    EXPECT_EQ(destroyed.load(), 0);
  }));
  EXPECT_EQ(destroyed.load(), 1);
  EXPECT_EQ(nxFreedConnectionCounts().Held[0], held + 1) << "the memory went to the deferred release";
}

TEST_F(Connections, ACompletionForAReleasedConnectionIsDropped) {
  auto queue = platform::CompletionQueue::Create();
  ASSERT_NE(queue, nullptr);
  auto* live = new TCountedConnection(destroyed);
  auto* gone = new TCountedConnection(destroyed);
  ASSERT_TRUE(queue->Post(gone->Handle(), 10, 0));
  ASSERT_TRUE(queue->Post(live->Handle(), 20, 0));
  gone->Free();
  // A new connection may take the freed slot; the old handle still misses.
  auto* successor = new TCountedConnection(destroyed);

  int delivered = 0;
  for (int i = 0; i < 2; ++i) {
    platform::Completion c;
    ASSERT_EQ(queue->Wait(c, 0), platform::kWaitObject0);
    const bool found = TnxBaseConnection::Deliver(static_cast<uint32_t>(c.key), [&](TnxBaseConnection& aConn) {
      EXPECT_EQ(&aConn, live);
      EXPECT_EQ(c.bytes, 20u);
      EXPECT_EQ(aConn.ActiveUsers(), 1) << "held during the delivery";
      ++delivered;
    });
    EXPECT_EQ(found, c.key == live->Handle());
  }
  EXPECT_EQ(delivered, 1);
  EXPECT_EQ(live->ActiveUsers(), 0);
  EXPECT_FALSE(TnxBaseConnection::Deliver(0, [](TnxBaseConnection&) { FAIL(); }));
  live->Free();
  successor->Free();
}

TEST_F(Connections, TheUserThatBringsTheCountToMinusOneFreesIt) {
  auto* c = new TCountedConnection(destroyed);
  c->AddUser();
  c->DropUser();
  EXPECT_EQ(destroyed.load(), 0);
  c->DropUser();
  EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(Connections, AnExceptionOfTheUseStillReleasesTheHold) {
  auto* c = new TCountedConnection(destroyed);
  EXPECT_THROW(TnxBaseConnection::Deliver(c->Handle(), [](TnxBaseConnection&) { throw std::runtime_error("x"); }),
               std::runtime_error);
  EXPECT_EQ(c->ActiveUsers(), 0);
  c->Free();
}

TEST_F(Connections, AFreeDuringADeliveryDestroysWhenTheDeliveryReturns) {
  auto* c = new TCountedConnection(destroyed);
  const uint32_t handle = c->Handle();
  EXPECT_TRUE(TnxBaseConnection::Deliver(handle, [&](TnxBaseConnection& aConn) {
    aConn.Free();
    EXPECT_EQ(destroyed.load(), 0) << "still in use";
    EXPECT_FALSE(TnxBaseConnection::Deliver(handle, [](TnxBaseConnection&) { FAIL(); }));
  }));
  EXPECT_EQ(destroyed.load(), 1);
}

// Server threads deliver completions while the stop frees the connections:
// each is destroyed once and no delivery reaches a destroyed one.
TEST_F(Connections, DeliveriesRacingWithFreeReachOnlyLiveConnections) {
  constexpr int kConnections = 200;
  std::vector<TCountedConnection*> connections;
  std::vector<uint32_t> handles;
  for (int i = 0; i < kConnections; ++i) {
    connections.push_back(new TCountedConnection(destroyed));
    handles.push_back(connections.back()->Handle());
  }
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      for (int round = 0; round < 20; ++round)
        for (uint32_t h : handles)
          TnxBaseConnection::Deliver(h, [&](TnxBaseConnection& aConn) { EXPECT_EQ(aConn.Handle(), h); });
    });
  go.store(true);
  for (auto* c : connections) c->Free();
  for (auto& t : threads) t.join();
  EXPECT_EQ(destroyed.load(), kConnections);
}

}  // namespace
}  // namespace revurov
