// Requests through the TCP transport (our pooled client against our
// listener, whose handler echoes the request) against plain sockets on
// loopback: a blocking ping-pong of the same frames, and for many clients
// an echo server on one readiness queue. The handler replies with the
// request's data as it is, as the peers do: the test handler would add
// its own bookkeeping (every request kept, a reply stream per request).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "bench/echo_handler.h"
#include "lowlevel/startup.h"
#include "platform/completion_queue.h"
#include "platform/endian.h"
#include "platform/os_event.h"
#include "platform/socket.h"
#include "transport/command_handler.h"
#include "transport/tcp_transport.h"
#include "transport/wire_header.h"

namespace {

using namespace revurov;

constexpr TnxMsgID kEcho = 0x10;
constexpr int kClients = 8;
constexpr int kTripsPerClient = 200;

bool ReadExactly(int aFd, void* aBuffer, size_t aCount) {
  auto* bytes = static_cast<uint8_t*>(aBuffer);
  while (aCount > 0) {
    const int64_t n = platform::SocketRead(aFd, bytes, aCount);
    if (n <= 0) return false;
    bytes += n;
    aCount -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int aFd, const void* aBuffer, size_t aCount) {
  const platform::TSocketBuffer buffer{aBuffer, aCount};
  return platform::SocketWriteAll(aFd, &buffer, 1);
}

// Answers one whole message with a reply of its body; false at the end.
bool EchoOne(int aFd, std::vector<uint8_t>& aFrame) {
  uint8_t header[nxHeaderSize];
  if (!ReadExactly(aFd, header, sizeof header)) return false;
  TnxBaseHeader h = nxLoadHeader(header);
  if (nxCheckHeader(h) != 0) return false;
  aFrame.resize(h.bhLength);
  if (!ReadExactly(aFd, aFrame.data() + nxHeaderSize, h.bhLength - nxHeaderSize)) return false;
  h.bhMsgType = nxmtReply;
  nxStoreHeader(h, aFrame.data());
  return WriteAll(aFd, aFrame.data(), aFrame.size());
}

std::vector<uint8_t> RequestFrame(uint32_t aBody) {
  std::vector<uint8_t> frame(nxHeaderSize + aBody, 0x5A);
  TnxBaseHeader h;
  h.bhSessionID = 7;
  h.bhVersion = nxClientMessageVersion;
  h.bhMsgID = kEcho;
  h.bhLength = static_cast<uint32_t>(frame.size());
  h.bhMsgType = nxmtRequest;
  nxStoreHeader(h, frame.data());
  return frame;
}

void RoundTrip(int aFd, const std::vector<uint8_t>& aFrame, std::vector<uint8_t>& aReply) {
  uint8_t header[nxHeaderSize];
  if (!WriteAll(aFd, aFrame.data(), aFrame.size())) std::abort();
  if (!ReadExactly(aFd, header, sizeof header)) std::abort();
  aReply.resize(platform::LoadU32(header + 16) - nxHeaderSize);
  if (!ReadExactly(aFd, aReply.data(), aReply.size())) std::abort();
  benchmark::DoNotOptimize(aReply.data());
}

using bench::TEchoHandler;

// Our listener with an echoing handler and our pooled client, logged in.
class OurPair {
public:
  OurPair() {
    nxLowLevelStartup();
    handler_ = new TEchoHandler(nullptr);
    server_ = new TnxIPv4Transport(nullptr);
    server_->SetName(u"BenchServer");
    server_->SetServerName(u"BenchServer");
    server_->SetMode(nxtmListen);
    server_->SetPort(0);
    platform::TStringList addresses;
    addresses.Add(u"127.0.0.1");
    server_->SetListenAddresses(addresses);
    server_->SetHeartbeatInterval(0);
    server_->SetCommandHandler(handler_);
    server_->SetActive(true);
    client_ = new TnxIPv4Transport(nullptr);
    client_->SetName(u"BenchClient");
    client_->SetServerName(u"BenchServer@127.0.0.1");
    client_->SetPort(server_->ListeningPort());
    client_->SetHeartbeatInterval(0);
    client_->SetActive(true);
    int32_t version = 0;
    if (client_->EstablishConnection(0, u"admin", u"secret", 5000, 47501, version, session_) != 0) std::abort();
  }
  ~OurPair() {
    platform::TComponent::Free(client_);
    platform::TComponent::Free(server_);
    platform::TComponent::Free(handler_);
    nxLowLevelShutdown();
  }
  void Request(const std::vector<uint8_t>& aData) {
    int64_t size = -1;
    client_->Request(0, session_, 0, kEcho, 0, aData.data(), static_cast<int32_t>(aData.size()), &Received, &size);
    if (size != static_cast<int64_t>(aData.size())) std::abort();
  }

private:
  static void Received(TnxMsgID, uint32_t aCode, const void*, int32_t aLen, void* aCookie) {
    if (aCode != 0) std::abort();
    *static_cast<int64_t*>(aCookie) = aLen;
  }

  TEchoHandler* handler_;
  TnxIPv4Transport* server_;
  TnxIPv4Transport* client_;
  TnxSessionID session_ = 0;
};

// A blocking echo thread per connection.
class PlainEcho {
public:
  PlainEcho() {
    listener_ = platform::TcpListen({platform::kInet4Loopback, 0}, 64);
    platform::TInet4Address local;
    platform::SocketLocalAddress(listener_, local);
    port_ = local.port;
    acceptor_ = std::thread([this] {
      for (;;) {
        platform::TInet4Address remote;
        const int fd = platform::TcpAccept(listener_, remote);
        if (fd < 0) return;
        fds_.push_back(fd);
        threads_.emplace_back([fd] {
          std::vector<uint8_t> frame;
          while (EchoOne(fd, frame)) {
          }
        });
      }
    });
  }
  ~PlainEcho() {
    platform::ShutdownSocket(listener_);
    acceptor_.join();
    for (int fd : fds_) platform::ShutdownSocket(fd);
    for (auto& t : threads_) t.join();
    for (int fd : fds_) platform::CloseSocket(fd);
    platform::CloseSocket(listener_);
  }
  int Dial() const { return platform::TcpConnect({platform::kInet4Loopback, port_}, 3000); }

private:
  int listener_;
  uint16_t port_ = 0;
  std::thread acceptor_;
  std::vector<int> fds_;
  std::vector<std::thread> threads_;
};

// Every connection on one readiness queue, served by one thread.
class QueueEcho {
public:
  QueueEcho() : queue_(platform::CompletionQueue::Create()) {
    listener_ = platform::TcpListen({platform::kInet4Loopback, 0}, 64);
    platform::TInet4Address local;
    platform::SocketLocalAddress(listener_, local);
    port_ = local.port;
    queue_->Arm(listener_, 0);
    server_ = std::thread([this] {
      std::vector<uint8_t> frame;
      for (;;) {
        platform::Completion c;
        if (queue_->Wait(c, platform::kInfinite) != platform::kWaitObject0) continue;
        if (c.key == kStop) return;
        if (c.key == 0) {
          platform::TInet4Address remote;
          const int fd = platform::TcpAccept(listener_, remote);
          if (fd >= 0) {
            fds_.push_back(fd);
            queue_->Arm(fd, fd + 1);
          }
          queue_->Arm(listener_, 0);
          continue;
        }
        const int fd = static_cast<int>(c.key - 1);
        if (EchoOne(fd, frame)) queue_->Arm(fd, c.key);
      }
    });
  }
  ~QueueEcho() {
    queue_->Post(kStop, 0, 0);
    server_.join();
    for (int fd : fds_) platform::CloseSocket(fd);
    platform::CloseSocket(listener_);
  }
  int Dial() const { return platform::TcpConnect({platform::kInet4Loopback, port_}, 3000); }

private:
  static constexpr uintptr_t kStop = ~uintptr_t{0} - 1;
  std::unique_ptr<platform::CompletionQueue> queue_;
  int listener_;
  uint16_t port_ = 0;
  std::thread server_;
  std::vector<int> fds_;
};

void Ours(benchmark::State& state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  OurPair pair;
  const std::vector<uint8_t> data(size, 0x5A);
  for (auto _ : state) pair.Request(data);
  state.SetBytesProcessed(state.iterations() * int64_t{size} * 2);
}

void Plain(benchmark::State& state) {
  const auto size = static_cast<uint32_t>(state.range(0));
  PlainEcho server;
  const int fd = server.Dial();
  if (fd < 0) std::abort();
  const auto frame = RequestFrame(size);
  std::vector<uint8_t> reply;
  for (auto _ : state) RoundTrip(fd, frame, reply);
  state.SetBytesProcessed(state.iterations() * int64_t{size} * 2);
  platform::ShutdownSocket(fd);
  platform::CloseSocket(fd);
}

template <class Trip>
void ManyClients(benchmark::State& state, Trip aTrip) {
  for (auto _ : state) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
      threads.emplace_back([&aTrip, i] {
        for (int n = 0; n < kTripsPerClient; ++n) aTrip(i);
      });
    for (auto& t : threads) t.join();
  }
  state.SetItemsProcessed(state.iterations() * kClients * kTripsPerClient);
}

void ManyOurs(benchmark::State& state) {
  OurPair pair;
  const std::vector<uint8_t> data(64, 0x5A);
  ManyClients(state, [&](int) { pair.Request(data); });
}

void ManyQueue(benchmark::State& state) {
  QueueEcho server;
  std::vector<int> fds;
  for (int i = 0; i < kClients; ++i) fds.push_back(server.Dial());
  const auto frame = RequestFrame(64);
  ManyClients(state, [&](int i) {
    thread_local std::vector<uint8_t> reply;
    RoundTrip(fds[i], frame, reply);
  });
  for (int fd : fds) platform::CloseSocket(fd);
}

}  // namespace

BENCHMARK(Ours)->Name("round_trip_64/ours")->Arg(64)->UseRealTime();
BENCHMARK(Plain)->Name("round_trip_64/peer:plain_socket")->Arg(64)->UseRealTime();
BENCHMARK(Ours)->Name("echo_1MiB/ours")->Arg(1 << 20)->UseRealTime();
BENCHMARK(Plain)->Name("echo_1MiB/peer:plain_socket")->Arg(1 << 20)->UseRealTime();
BENCHMARK(ManyOurs)->Name("clients_8/ours")->UseRealTime();
BENCHMARK(ManyQueue)->Name("clients_8/peer:epoll_echo")->UseRealTime();

BENCHMARK_MAIN();
