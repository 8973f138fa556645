#include "platform/local_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "platform/process.h"
#include "platform/socket.h"

namespace revurov::platform {
namespace {

// Unique per test process: tests run side by side in one namespace.
std::string Name(const std::string& aTail) { return "local-socket-test-" + std::to_string(CurrentProcessId()) + aTail; }

TEST(LocalSocket, NamesAreCheckedBeforeAnythingIsMade) {
  const struct {
    const char* name;
    std::string address;
    int error;  // 0: fits
  } rows[] = {
      {"empty", "", EINVAL},
      {"107 bytes", std::string(107 - Name("").size(), 'x'), 0},
      {"108 bytes", std::string(108 - Name("").size(), 'x'), ENAMETOOLONG},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string name = row.address.empty() ? std::string() : Name(row.address);
    errno = 0;
    const int listener = LocalListen(name, 1);
    const int slot = LocalDatagramBind(name);
    if (row.error == 0) {
      EXPECT_GE(listener, 0);
      // Stream and datagram names are apart.
      EXPECT_GE(slot, 0);
    } else {
      EXPECT_EQ(listener, -1);
      EXPECT_EQ(errno, row.error);
      EXPECT_EQ(LocalConnect(name), -1);
      EXPECT_EQ(errno, row.error);
      EXPECT_FALSE(LocalDatagramSend(name, "x", 1));
      EXPECT_EQ(errno, row.error);
    }
    CloseSocket(listener);
    CloseSocket(slot);
  }
}

TEST(LocalSocket, ANameIsTakenOnceAndConnectsReachItsListener) {
  const std::string name = Name("stream");
  EXPECT_EQ(LocalConnect(name), -1);
  EXPECT_EQ(errno, ECONNREFUSED);
  const int listener = LocalListen(name, 4);
  ASSERT_GE(listener, 0);
  EXPECT_EQ(LocalListen(name, 4), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  const int client = LocalConnect(name);
  ASSERT_GE(client, 0);
  const int server = LocalAccept(listener);
  ASSERT_GE(server, 0);
  EXPECT_EQ(SocketWrite(client, "ab", 2), 2);
  char buffer[4] = {};
  EXPECT_EQ(SocketRead(server, buffer, sizeof buffer), 2);
  EXPECT_EQ(std::string(buffer), "ab");
  CloseSocket(client);
  CloseSocket(server);
  CloseSocket(listener);
  // Gone with its socket.
  EXPECT_EQ(LocalConnect(name), -1);
}

TEST(LocalSocket, ShutdownWakesABlockedAcceptAndABlockedReceive) {
  const int listener = LocalListen(Name("accept"), 1);
  const int slot = LocalDatagramBind(Name("slot"));
  ASSERT_GE(listener, 0);
  ASSERT_GE(slot, 0);
  std::atomic<int> accepted{-2};
  std::atomic<int64_t> received{-2};
  std::thread acceptor([&] { accepted = LocalAccept(listener); });
  std::thread receiver([&] {
    char buffer[8];
    received = LocalDatagramReceive(slot, buffer, sizeof buffer, kLocalWaitForever);
  });
  ShutdownSocket(listener);
  ShutdownSocket(slot);
  acceptor.join();
  receiver.join();
  EXPECT_EQ(accepted.load(), -1);
  EXPECT_EQ(received.load(), 0);
  CloseSocket(listener);
  CloseSocket(slot);
}

TEST(LocalSocket, DatagramsArriveWholeCutOrNotAtAll) {
  const std::string name = Name("datagram");
  EXPECT_FALSE(LocalDatagramSend(name, "x", 1));
  EXPECT_EQ(errno, ECONNREFUSED);
  const int slot = LocalDatagramBind(name);
  ASSERT_GE(slot, 0);
  EXPECT_EQ(LocalDatagramBind(name), -1);
  char buffer[8] = {};
  EXPECT_EQ(LocalDatagramReceive(slot, buffer, sizeof buffer, 0), -1);
  EXPECT_EQ(errno, EAGAIN);
  ASSERT_TRUE(LocalDatagramSend(name, "hello", 5));
  ASSERT_TRUE(LocalDatagramSend(name, "0123456789", 10));
  EXPECT_EQ(LocalDatagramReceive(slot, buffer, sizeof buffer, 1000), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");
  EXPECT_EQ(LocalDatagramReceive(slot, buffer, sizeof buffer, 1000), 8) << "cut to the buffer";
  EXPECT_EQ(std::string(buffer, 8), "01234567");
  EXPECT_EQ(LocalDatagramReceive(slot, buffer, sizeof buffer, 0), -1) << "the rest is dropped";
  CloseSocket(slot);
}

}  // namespace
}  // namespace revurov::platform
