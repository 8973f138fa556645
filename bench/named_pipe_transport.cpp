// A 64-byte request through the named-pipe transport (our pooled client
// against our listener, whose handler echoes it as it is) against a blocking
// ping-pong of the same frames over a plain local stream socket.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/echo_handler.h"
#include "lowlevel/startup.h"
#include "platform/endian.h"
#include "platform/local_socket.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "transport/named_pipe_transport.h"
#include "transport/wire_header.h"

namespace {

using namespace revurov;

constexpr TnxMsgID kEcho = 0x10;

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

std::vector<uint8_t> RequestFrame(uint32_t aBody) {
  std::vector<uint8_t> frame(nxHeaderSize + aBody, 0x5A);
  TnxBaseHeader h;
  h.bhSessionID = 7;
  h.bhVersion = nxClientMessageVersion;
  h.bhMsgID = kEcho;
  h.bhLength = static_cast<uint32_t>(frame.size());
  h.bhParts = nxPipeParts(h.bhLength);
  h.bhMsgType = nxmtRequest;
  nxStoreHeader(h, frame.data());
  return frame;
}

uint16_t BenchPort() { return static_cast<uint16_t>(1024 + platform::CurrentProcessId() % 60000); }

class OurPair {
public:
  OurPair() {
    nxLowLevelStartup();
    handler_ = new bench::TEchoHandler(nullptr);
    server_ = new TnxNamedPipeTransport(nullptr);
    server_->SetName(u"BenchServer");
    server_->SetServerName(u"BenchServer");
    server_->SetMode(nxtmListen);
    server_->SetPort(BenchPort());
    server_->SetHeartbeatInterval(0);
    server_->SetCommandHandler(handler_);
    server_->SetActive(true);
    client_ = new TnxNamedPipeTransport(nullptr);
    client_->SetName(u"BenchClient");
    client_->SetServerName(u"BenchServer");
    client_->SetPort(BenchPort());
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

  bench::TEchoHandler* handler_;
  TnxNamedPipeTransport* server_;
  TnxNamedPipeTransport* client_;
  TnxSessionID session_ = 0;
};

void Ours(benchmark::State& state) {
  OurPair pair;
  const std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x5A);
  for (auto _ : state) pair.Request(data);
}

// One echo thread on one accepted local stream socket.
void RawUnix(benchmark::State& state) {
  const std::string name = "bench-raw-unix-" + std::to_string(platform::CurrentProcessId());
  const int listener = platform::LocalListen(name, 1);
  if (listener < 0) std::abort();
  std::thread echo([listener] {
    const int fd = platform::LocalAccept(listener);
    std::vector<uint8_t> frame;
    for (;;) {
      uint8_t header[nxHeaderSize];
      if (!ReadExactly(fd, header, sizeof header)) break;
      TnxBaseHeader h = nxLoadHeader(header);
      frame.resize(h.bhLength);
      if (!ReadExactly(fd, frame.data() + nxHeaderSize, h.bhLength - nxHeaderSize)) break;
      h.bhMsgType = nxmtReply;
      nxStoreHeader(h, frame.data());
      if (!WriteAll(fd, frame.data(), frame.size())) break;
    }
    platform::CloseSocket(fd);
  });
  const int fd = platform::LocalConnect(name);
  if (fd < 0) std::abort();
  const auto request = RequestFrame(static_cast<uint32_t>(state.range(0)));
  std::vector<uint8_t> reply;
  for (auto _ : state) {
    uint8_t header[nxHeaderSize];
    if (!WriteAll(fd, request.data(), request.size())) std::abort();
    if (!ReadExactly(fd, header, sizeof header)) std::abort();
    reply.resize(platform::LoadU32(header + 16) - nxHeaderSize);
    if (!ReadExactly(fd, reply.data(), reply.size())) std::abort();
    benchmark::DoNotOptimize(reply.data());
  }
  platform::ShutdownSocket(fd);
  echo.join();
  platform::CloseSocket(fd);
  platform::CloseSocket(listener);
}

}  // namespace

BENCHMARK(Ours)->Name("round_trip_64/ours")->Arg(64)->UseRealTime();
BENCHMARK(RawUnix)->Name("round_trip_64/peer:raw_unix")->Arg(64)->UseRealTime();

BENCHMARK_MAIN();
