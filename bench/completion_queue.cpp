// A post/wait round trip between two threads through the completion queue,
// against the same ping-pong written on raw eventfds and epoll_wait: what
// the queue's lock and packet list cost over the bare wake-up.
#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <thread>

#include "platform/completion_queue.h"
#include "platform/os_event.h"

namespace {

using revurov::platform::Completion;
using revurov::platform::CompletionQueue;
using revurov::platform::kInfinite;

constexpr uintptr_t kStop = 1, kPing = 2;

void RoundTripOurs(benchmark::State& state) {
  auto there = CompletionQueue::Create();
  auto back = CompletionQueue::Create();
  if (!there || !back) std::abort();
  std::thread echo([&] {
    Completion c;
    while (there->Wait(c, kInfinite) == 0 && c.key != kStop) back->Post(c.key, c.bytes, 0);
  });
  Completion c;
  for (auto _ : state) {
    there->Post(kPing, 64, 0);
    back->Wait(c, kInfinite);
    benchmark::DoNotOptimize(c);
  }
  there->Post(kStop, 0, 0);
  echo.join();
}

// One direction of the bare ping-pong: an eventfd watched by its own epoll.
struct RawChannel {
  int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  int ep = epoll_create1(EPOLL_CLOEXEC);
  RawChannel() {
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (efd < 0 || ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, efd, &ev) != 0) std::abort();
  }
  ~RawChannel() {
    close(efd);
    close(ep);
  }
  void Post(uint64_t value) {
    if (write(efd, &value, sizeof value) != sizeof value) std::abort();
  }
  uint64_t Wait() {
    for (;;) {
      epoll_event ev;
      if (epoll_wait(ep, &ev, 1, -1) != 1) continue;
      uint64_t value;
      if (read(efd, &value, sizeof value) == sizeof value) return value;
    }
  }
};

void RoundTripPeer(benchmark::State& state) {
  RawChannel there, back;
  std::thread echo([&] {
    uint64_t v;
    while ((v = there.Wait()) != kStop) back.Post(v);
  });
  for (auto _ : state) {
    there.Post(kPing);
    benchmark::DoNotOptimize(back.Wait());
  }
  there.Post(kStop);
  echo.join();
}

}  // namespace

BENCHMARK(RoundTripOurs)->Name("round_trip/ours")->UseRealTime();
BENCHMARK(RoundTripPeer)->Name("round_trip/peer:eventfd_epoll")->UseRealTime();

BENCHMARK_MAIN();
