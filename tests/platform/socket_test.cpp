#include "platform/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/private_network.h"

namespace revurov::platform {
namespace {

struct Pair {
  int fd[2] = {-1, -1};
  Pair() { EXPECT_TRUE(CreateSocketPair(fd)); }
  ~Pair() {
    CloseSocket(fd[0]);
    CloseSocket(fd[1]);
  }
};

TEST(Socket, BytesCrossThePairBothWays) {
  Pair p;
  char buf[8] = {};
  ASSERT_EQ(SocketWrite(p.fd[0], "ping", 4), 4);
  ASSERT_EQ(SocketRead(p.fd[1], buf, sizeof buf), 4);
  EXPECT_EQ(std::string(buf, 4), "ping");
  ASSERT_EQ(SocketWrite(p.fd[1], "ok", 2), 2);
  ASSERT_EQ(SocketRead(p.fd[0], buf, sizeof buf), 2);
}

// The stop of a transport relies on this: a close from another thread
// would leave the reader blocked.
TEST(Socket, ShutdownWakesAReaderBlockedInAnotherThread) {
  Pair p;
  std::atomic<int64_t> result{-2};
  std::thread reader([&] {
    char buf[4];
    result = SocketRead(p.fd[0], buf, sizeof buf);
  });
  ASSERT_TRUE(ShutdownSocket(p.fd[0]));
  reader.join();
  EXPECT_EQ(result.load(), 0);
}

TEST(Socket, WritingToAClosedPeerFailsWithoutASignal) {
  Pair p;
  CloseSocket(p.fd[1]);
  p.fd[1] = -1;
  errno = 0;
  EXPECT_EQ(SocketWrite(p.fd[0], "x", 1), -1);
  EXPECT_EQ(errno, EPIPE);
  CloseSocket(-1);  // ignored
}

TEST(Inet4, DottedAddressesParseAndPrint) {
  const struct {
    const char* text;
    bool valid;
    uint32_t address;
  } rows[] = {
      {"127.0.0.1", true, kInet4Loopback}, {"0.0.0.0", true, 0},          {"255.255.255.255", true, 0xFFFFFFFF},
      {"10.1.2.3", true, 0x0A010203},      {"256.0.0.1", false, 0},       {"1.2.3", false, 0},
      {"", false, 0},                      {"localhost", false, 0},       {" 127.0.0.1", false, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    uint32_t address = 0;
    ASSERT_EQ(ParseInet4(row.text, address), row.valid);
    if (!row.valid) continue;
    EXPECT_EQ(address, row.address);
    EXPECT_EQ(Inet4Text(address), row.text);
  }
  EXPECT_EQ(Inet4Text(TInet4Address{kInet4Loopback, 16000}), "127.0.0.1:16000");
}

TEST(Inet4, NamesResolveAndUnknownOnesDoNot) {
  uint32_t address = 0;
  ASSERT_TRUE(ResolveInet4("localhost", address));
  EXPECT_EQ(address >> 24, 127u);
  EXPECT_FALSE(ResolveInet4("", address));
  EXPECT_FALSE(ResolveInet4("no-such-host.invalid", address));
}

TEST(Inet4, LoopbackIsAnUpInterface) {
  const auto loopback = UpInet4Addresses(true);
  ASSERT_FALSE(loopback.empty());
  for (const auto& a : loopback) EXPECT_EQ(a.rfind("127.", 0), 0u) << a;
  const auto all = UpInet4Addresses(false);
  EXPECT_GE(all.size(), loopback.size());
}

struct Listener {
  int fd;
  uint16_t port = 0;
  explicit Listener(int aBacklog = 16) : fd(TcpListen({kInet4Loopback, 0}, aBacklog)) {
    TInet4Address local;
    EXPECT_TRUE(SocketLocalAddress(fd, local));
    port = local.port;
  }
  ~Listener() { CloseSocket(fd); }
};

TEST(Tcp, ConnectAcceptAndAddresses) {
  Listener listener;
  ASSERT_GE(listener.fd, 0);
  ASSERT_NE(listener.port, 0);
  const int client = TcpConnect({kInet4Loopback, listener.port}, 3000);
  ASSERT_GE(client, 0);
  TInet4Address remote;
  const int server = TcpAccept(listener.fd, remote);
  ASSERT_GE(server, 0);
  TInet4Address clientLocal;
  ASSERT_TRUE(SocketLocalAddress(client, clientLocal));
  EXPECT_EQ(remote.address, kInet4Loopback);
  EXPECT_EQ(remote.port, clientLocal.port);
  // The connected socket blocks again: a read waits for the bytes.
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SocketWrite(server, "x", 1);
  });
  char c = 0;
  EXPECT_EQ(SocketRead(client, &c, 1), 1);
  writer.join();
  CloseSocket(server);
  CloseSocket(client);
}

TEST(Tcp, ConnectFailures) {
  uint16_t closedPort;
  {
    Listener gone;
    closedPort = gone.port;
  }
  errno = 0;
  EXPECT_LT(TcpConnect({kInet4Loopback, closedPort}, 3000), 0);
  EXPECT_EQ(errno, ECONNREFUSED);

  // A full backlog drops the handshake: the connect runs out of time.
  Listener full(0);
  std::vector<int> queued;
  int fd = -1;
  for (int i = 0; i < 8; ++i) {
    errno = 0;
    fd = TcpConnect({kInet4Loopback, full.port}, 100);
    if (fd < 0) break;
    queued.push_back(fd);
  }
  EXPECT_LT(fd, 0);
  EXPECT_EQ(errno, ETIMEDOUT);
  for (int q : queued) CloseSocket(q);
}

TEST(Tcp, ListenFailsOnAnAddressInUse) {
  Listener first;
  errno = 0;
  EXPECT_LT(TcpListen({kInet4Loopback, first.port}, 1), 0);
  EXPECT_EQ(errno, EADDRINUSE);
}

TEST(Tcp, ShutdownWakesABlockedAccept) {
  Listener listener;
  std::atomic<int> result{-2};
  std::thread acceptor([&] {
    TInet4Address remote;
    result = TcpAccept(listener.fd, remote);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ShutdownSocket(listener.fd);
  acceptor.join();
  EXPECT_EQ(result.load(), -1);
}

TEST(Tcp, GatherWritesArriveWholeAndInOrder) {
  Listener listener;
  const int client = TcpConnect({kInet4Loopback, listener.port}, 3000);
  TInet4Address remote;
  const int server = TcpAccept(listener.fd, remote);
  // Larger than the socket buffers: sendmsg writes short and goes on.
  std::vector<uint8_t> a(7), b(0), c(8 << 20);
  for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i);
  for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<uint8_t>(i * 31 + 7);
  std::vector<uint8_t> received(a.size() + c.size());
  std::thread reader([&] {
    size_t have = 0;
    while (have < received.size()) {
      const int64_t n = SocketRead(server, received.data() + have, received.size() - have);
      if (n <= 0) break;
      have += static_cast<size_t>(n);
    }
  });
  const TSocketBuffer buffers[] = {{a.data(), a.size()}, {b.data(), b.size()}, {c.data(), c.size()}};
  EXPECT_TRUE(SocketWriteAll(client, buffers, 3));
  reader.join();
  std::vector<uint8_t> expected(a);
  expected.insert(expected.end(), c.begin(), c.end());
  EXPECT_TRUE(received == expected);

  // Nothing there: a read that does not wait says so, a wait runs out.
  char byte;
  EXPECT_FALSE(WaitReadable(server, 5));
  errno = 0;
  EXPECT_EQ(SocketReadNow(server, &byte, 1), -1);
  EXPECT_EQ(errno, EAGAIN);
  CloseSocket(client);
  EXPECT_TRUE(WaitReadable(server, 3000)) << "the end is readable";
  EXPECT_EQ(SocketReadNow(server, &byte, 1), 0);
  CloseSocket(server);
}

TEST(Tcp, ASendTimeoutEndsAWriteToAPeerThatDoesNotRead) {
  Listener listener;
  const int client = TcpConnect({kInet4Loopback, listener.port}, 3000);
  TInet4Address remote;
  const int server = TcpAccept(listener.fd, remote);
  ASSERT_TRUE(SetSocketSendTimeout(server, 100));
  const std::vector<uint8_t> big(64 << 20);
  const TSocketBuffer buffer{big.data(), big.size()};
  errno = 0;
  EXPECT_FALSE(SocketWriteAll(server, &buffer, 1));
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
  CloseSocket(server);
  CloseSocket(client);
}

// ---- UDP ----

struct Udp {
  int fd;
  TInet4Address address;
  explicit Udp(uint32_t aAddress, uint16_t aPort = 0, bool aBroadcast = false)
      : fd(UdpOpen({aAddress, aPort}, aBroadcast)) {
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(SocketLocalAddress(fd, address));
  }
  ~Udp() { CloseSocket(fd); }
};

TEST(Udp, ADatagramArrivesWholeOrCutWithItsSenderAndArrivalAddress) {
  Udp receiver(kInet4Loopback), sender(kInet4Loopback);
  const struct {
    size_t sent;
    size_t buffer;
    int64_t taken;
  } rows[] = {{10, 64, 10}, {10, 4, 4}, {0, 64, 0}, {64, 64, 64}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.sent);
    const std::string data(row.sent, 'd');
    ASSERT_TRUE(UdpSend(sender.fd, data.data(), data.size(), receiver.address));
    std::vector<char> buffer(row.buffer + 1, 'z');
    TInet4Address from;
    uint32_t arrival = 0;
    ASSERT_EQ(UdpReceive(receiver.fd, buffer.data(), row.buffer, from, arrival), row.taken);
    EXPECT_EQ(buffer[row.buffer], 'z') << "nothing written past the count";
    EXPECT_EQ(from.address, kInet4Loopback);
    EXPECT_EQ(from.port, sender.address.port);
    EXPECT_EQ(arrival, kInet4Loopback);
  }
}

TEST(Udp, AWildcardSocketSendsFromTheChosenLocalAddress) {
  Udp wildcard(kInet4Any), peer(kInet4Loopback);
  uint32_t other = 0;
  ASSERT_TRUE(ParseInet4("127.0.0.2", other));
  for (uint32_t chosen : {kInet4Loopback, other}) {
    SCOPED_TRACE(Inet4Text(chosen));
    ASSERT_TRUE(UdpSend(wildcard.fd, "x", 1, peer.address, chosen));
    char buffer[4];
    TInet4Address from;
    uint32_t arrival = 0;
    ASSERT_EQ(UdpReceive(peer.fd, buffer, sizeof buffer, from, arrival), 1);
    EXPECT_EQ(from.address, chosen);
    EXPECT_EQ(from.port, wildcard.address.port);
  }
}

TEST(Udp, ShutdownWakesAReceiveBlockedInAnotherThread) {
  Udp socket(kInet4Loopback);
  std::atomic<int64_t> result{-2};
  std::thread receiver([&] {
    char buffer[8];
    TInet4Address from;
    uint32_t arrival = 0;
    result = UdpReceive(socket.fd, buffer, sizeof buffer, from, arrival);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ShutdownSocket(socket.fd);
  receiver.join();
  EXPECT_EQ(result.load(), 0);
}

TEST(Udp, EverySocketOnAWildcardPortGetsABroadcastAndOneOnAnAddressNone) {
  testing::TPrivateNetwork network;
  if (!network.Entered()) GTEST_SKIP() << "no private network here";
  Udp first(kInet4Any);
  Udp second(kInet4Any, first.address.port);
  Udp bound(kInet4Loopback, first.address.port);
  Udp unboundSender(kInet4Any, 0, true);
  EXPECT_FALSE(UdpSend(unboundSender.fd, "b", 1, {0xFFFFFFFF, first.address.port}))
      << "no route for a broadcast without a local address";
  EXPECT_EQ(errno, ENETUNREACH);
  Udp sender(kInet4Loopback, 0, true);
  ASSERT_TRUE(UdpSend(sender.fd, "b", 1, {0xFFFFFFFF, first.address.port}));
  for (const Udp* receiver : {&first, &second}) {
    ASSERT_TRUE(WaitReadable(receiver->fd, 10000));
    char buffer[4];
    TInet4Address from;
    uint32_t arrival = 0;
    EXPECT_EQ(UdpReceive(receiver->fd, buffer, sizeof buffer, from, arrival), 1);
    EXPECT_EQ(arrival, kInet4Loopback) << "the receiving interface's address";
  }
  EXPECT_FALSE(WaitReadable(bound.fd, 0));
}

TEST(Udp, SocketsShareAPortButNoForeignAddressCanBeBound) {
  Udp first(kInet4Loopback);
  Udp second(kInet4Loopback, first.address.port);
  EXPECT_GE(second.fd, 0);
  uint32_t foreign = 0;
  ASSERT_TRUE(ParseInet4("192.0.2.1", foreign));
  EXPECT_EQ(UdpOpen({foreign, 0}, false), -1) << "not an address of this machine";
  EXPECT_EQ(errno, EADDRNOTAVAIL);
}

}  // namespace
}  // namespace revurov::platform
