// Four producer threads hand items to one consumer: the thread-safe queue
// against a std::mutex + std::condition_variable + std::deque queue. Both
// move the same heap items; items per second.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/remoting/thread_safe_queue.h"

namespace {

using revurov::TnxThreadSafeQueue;
using revurov::TnxThreadSafeQueueItem;

constexpr int kProducers = 4;
constexpr int kPerProducer = 20000;

class PeerQueue {
public:
  void Enqueue(std::unique_ptr<TnxThreadSafeQueueItem> aItem) {
    {
      std::lock_guard<std::mutex> guard(lock_);
      items_.push_back(std::move(aItem));
    }
    ready_.notify_one();
  }
  std::unique_ptr<TnxThreadSafeQueueItem> Dequeue() {
    std::unique_lock<std::mutex> guard(lock_);
    ready_.wait(guard, [this] { return !items_.empty(); });
    auto item = std::move(items_.front());
    items_.pop_front();
    return item;
  }

private:
  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<std::unique_ptr<TnxThreadSafeQueueItem>> items_;
};

template <class Queue, class Take>
void Run(benchmark::State& state, Take aTake) {
  for (auto _ : state) {
    Queue queue;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p)
      producers.emplace_back([&] {
        for (int i = 0; i < kPerProducer; ++i) queue.Enqueue(std::make_unique<TnxThreadSafeQueueItem>());
      });
    for (int i = 0; i < kProducers * kPerProducer; ++i) benchmark::DoNotOptimize(aTake(queue));
    for (auto& producer : producers) producer.join();
  }
  state.SetItemsProcessed(state.iterations() * kProducers * kPerProducer);
}

void FourToOneOurs(benchmark::State& state) {
  Run<TnxThreadSafeQueue>(state, [](TnxThreadSafeQueue& q) { return q.Dequeue(revurov::platform::kInfinite); });
}

void FourToOnePeer(benchmark::State& state) {
  Run<PeerQueue>(state, [](PeerQueue& q) { return q.Dequeue(); });
}

}  // namespace

BENCHMARK(FourToOneOurs)->Name("four_producers_one_consumer/ours")->UseRealTime();
BENCHMARK(FourToOnePeer)->Name("four_producers_one_consumer/peer:mutex_condvar_deque")->UseRealTime();

BENCHMARK_MAIN();
