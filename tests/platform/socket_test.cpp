#include "platform/socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>

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

}  // namespace
}  // namespace revurov::platform
