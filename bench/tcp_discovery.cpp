// Answers per second of one server broadcast thread of the TCP transport
// against a plain recvfrom/sendto loop that answers the same requests with
// the same datagram. Each iteration broadcasts a batch of requests over
// loopback and takes both answers to each.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "bench/echo_handler.h"
#include "lowlevel/startup.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/string_list.h"
#include "transport/tcp_discovery.h"
#include "transport/tcp_transport.h"

namespace {

using namespace revurov;

constexpr int kBatch = 8;

uint16_t BenchPort() { return static_cast<uint16_t>(2048 + platform::CurrentProcessId() % 30000 * 2); }

// The requesting side: broadcasts from 127.0.0.1 and takes the answers.
class Requester {
public:
  explicit Requester(uint16_t aPort)
      : port_(aPort),
        requests_(platform::UdpOpen({platform::kInet4Loopback, aPort}, true)),
        answers_(platform::UdpOpen({platform::kInet4Loopback, static_cast<uint16_t>(aPort + 1)}, false)) {
    if (requests_ < 0 || answers_ < 0) std::abort();
  }
  ~Requester() {
    platform::CloseSocket(requests_);
    platform::CloseSocket(answers_);
  }
  void Batch() {
    const std::string_view request = nxWinsockRequest();
    for (int i = 0; i < kBatch; ++i)
      if (!platform::UdpSend(requests_, request.data(), request.size(), {0xFFFFFFFF, port_})) std::abort();
    char buffer[512];
    for (int i = 0; i < 2 * kBatch; ++i) {
      // A lost datagram would hang the run: give up loudly instead.
      if (!platform::WaitReadable(answers_, 5000)) std::abort();
      if (recv(answers_, buffer, sizeof buffer, 0) <= 0) std::abort();
    }
  }

private:
  uint16_t port_;
  int requests_;
  int answers_;
};

void Ours(benchmark::State& state) {
  nxLowLevelStartup();
  const uint16_t port = BenchPort();
  auto* handler = new bench::TEchoHandler(nullptr);
  auto* server = new TnxIPv4Transport(nullptr);
  server->SetName(u"BenchServer");
  server->SetServerName(u"BenchServer");
  server->SetMode(nxtmListen);
  server->SetPort(port);
  server->SetHeartbeatInterval(0);
  platform::TStringList listen;
  listen.Add(u"127.0.0.1");
  server->SetListenAddresses(listen);
  server->SetCommandHandler(handler);
  server->SetRespondToBroadcasts(true);
  server->SetActive(true);
  {
    Requester requester(port);
    for (auto _ : state) requester.Batch();
  }
  state.SetItemsProcessed(state.iterations() * 2 * kBatch);
  platform::TComponent::Free(server);
  platform::TComponent::Free(handler);
  nxLowLevelShutdown();
}

void RawLoop(benchmark::State& state) {
  const uint16_t port = BenchPort();
  const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in bound{};
  bound.sin_family = AF_INET;
  bound.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0) std::abort();
  const std::string answer = nxWinsockAnswer(u"BenchServer", platform::TGUID{});
  std::atomic<bool> stop{false};
  std::thread loop([&] {
    char buffer[422];
    while (!stop.load(std::memory_order_relaxed)) {
      std::memset(buffer, 0, sizeof buffer);
      sockaddr_in from{};
      socklen_t length = sizeof from;
      const ssize_t n = recvfrom(fd, buffer, 420, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n <= 0) continue;
      if (strcasecmp(buffer, "Zirez/nxWinsock/Client") != 0) continue;
      from.sin_port = htons(static_cast<uint16_t>(port + 1));
      for (int i = 0; i < 2; ++i)
        sendto(fd, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
  });
  {
    Requester requester(port);
    for (auto _ : state) requester.Batch();
  }
  state.SetItemsProcessed(state.iterations() * 2 * kBatch);
  stop = true;
  shutdown(fd, SHUT_RDWR);
  loop.join();
  close(fd);
}

}  // namespace

BENCHMARK(Ours)->Name("answers_8x2/ours")->UseRealTime();
BENCHMARK(RawLoop)->Name("answers_8x2/peer:recvfrom_sendto")->UseRealTime();

BENCHMARK_MAIN();
