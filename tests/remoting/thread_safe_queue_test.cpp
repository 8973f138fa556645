// The thread-safe queue: order, waits, termination, what it frees, and many
// producers and consumers at once (run under ThreadSanitizer and
// AddressSanitizer: a consumer reading a link of an item another one has
// freed shows there).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/thread_clock.h"
#include "transport/remoting/thread_safe_queue.h"

namespace revurov {
namespace {

std::atomic<int> gItemsFreed{0};

struct TaggedItem final : TnxThreadSafeQueueItem {
  TaggedItem(int aProducer, int aSequence) : producer(aProducer), sequence(aSequence) {}
  ~TaggedItem() override { ++gItemsFreed; }
  int producer;
  int sequence;
};

std::unique_ptr<TnxThreadSafeQueueItem> Item(int aSequence, int aProducer = 0) {
  return std::make_unique<TaggedItem>(aProducer, aSequence);
}

int SequenceOf(const std::unique_ptr<TnxThreadSafeQueueItem>& aItem) {
  return aItem ? static_cast<TaggedItem*>(aItem.get())->sequence : -1;
}

TEST(ThreadSafeQueue, SingleConsumerTakesItemsInTheOrderEnqueued) {
  TnxThreadSafeQueue queue;
  queue.Enqueue(Item('A'));
  queue.Enqueue(Item('B'));
  auto list = std::make_unique<TnxQueueItemList>();
  list->Add(Item('C'));
  list->Add(Item('D'));
  queue.Enqueue(std::move(list));
  queue.Enqueue(Item('E'));
  EXPECT_EQ(SequenceOf(queue.Dequeue(0)), 'A');
  // B, C, D and E now wait in the lock-free list; F joins the locked one.
  queue.Enqueue(Item('F'));
  for (int expected : {'B', 'C', 'D', 'E', 'F'}) EXPECT_EQ(SequenceOf(queue.Dequeue(0)), expected);
  EXPECT_EQ(queue.Dequeue(0), nullptr);
}

TEST(ThreadSafeQueue, ListAddKeepsOrderAndEmptiesTheOther) {
  TnxQueueItemList first;
  TnxQueueItemList second;
  first.Add(Item(1));
  second.Add(Item(2));
  second.Add(Item(3));
  first.Add(second);
  EXPECT_TRUE(second.Empty());
  EXPECT_EQ(first.Count(), 3);
  for (int expected : {1, 2, 3}) EXPECT_EQ(SequenceOf(first.TakeFirst()), expected);
  EXPECT_TRUE(first.Empty());
}

TEST(ThreadSafeQueue, EmptyQueueWaitsForTheTimeout) {
  TnxThreadSafeQueue queue;
  const uint64_t start = platform::MonotonicMilliseconds();
  EXPECT_EQ(queue.Dequeue(50), nullptr);
  EXPECT_GE(platform::MonotonicMilliseconds() - start, 50u);
}

TEST(ThreadSafeQueue, WaitingConsumerWakesForAnItem) {
  TnxThreadSafeQueue queue;
  std::thread producer([&] { queue.Enqueue(Item(7)); });
  EXPECT_EQ(SequenceOf(queue.Dequeue(10000)), 7);
  producer.join();
}

TEST(ThreadSafeQueue, TerminatedQueueAnswersNothingAtOnceAndWakesWaiters) {
  TnxThreadSafeQueue queue;
  std::thread waiter([&] { EXPECT_EQ(queue.Dequeue(platform::kInfinite), nullptr); });
  queue.Terminate();
  waiter.join();
  queue.Enqueue(Item(1));
  EXPECT_EQ(queue.Dequeue(platform::kInfinite), nullptr);
  queue.Terminate();
  EXPECT_TRUE(queue.Terminated());
}

TEST(ThreadSafeQueue, DestructionFreesItemsOfBothLists) {
  gItemsFreed = 0;
  {
    TnxThreadSafeQueue queue;
    for (int i = 0; i < 3; ++i) queue.Enqueue(Item(i));
    EXPECT_EQ(SequenceOf(queue.Dequeue(0)), 0);  // moves 1 and 2 to the lock-free list
    EXPECT_EQ(gItemsFreed, 1);
    queue.Enqueue(Item(3));
    queue.Enqueue(Item(4));
  }
  EXPECT_EQ(gItemsFreed, 5);
}

// Every item reaches exactly one consumer, and each consumer sees each
// producer's items in the order they were made.
TEST(ThreadSafeQueue, FourProducersTwoConsumersTakeEveryItemOnceInOrder) {
  constexpr int kProducers = 4;
  constexpr int kConsumers = 2;
  constexpr int kPerProducer = 20000;
  gItemsFreed = 0;
  TnxThreadSafeQueue queue;
  std::atomic<int> taken{0};
  std::vector<std::vector<uint8_t>> seen(kProducers, std::vector<uint8_t>(kPerProducer, 0));
  std::array<int, kConsumers> outOfOrder{};
  std::vector<std::thread> threads;
  for (int c = 0; c < kConsumers; ++c)
    threads.emplace_back([&, c] {
      std::array<int, kProducers> last;
      last.fill(-1);
      std::vector<std::pair<int, int>> mine;
      while (taken.load() < kProducers * kPerProducer) {
        auto item = queue.Dequeue(5000);
        if (!item) break;  // nothing for five seconds: the count check below fails
        ++taken;
        const auto& tagged = static_cast<const TaggedItem&>(*item);
        if (tagged.sequence <= last[tagged.producer]) ++outOfOrder[c];
        last[tagged.producer] = tagged.sequence;
        mine.emplace_back(tagged.producer, tagged.sequence);
      }
      // Wake the other consumer when the last item was ours.
      queue.Terminate();
      for (const auto& [p, s] : mine) ++seen[p][s];
    });
  for (int p = 0; p < kProducers; ++p)
    threads.emplace_back([&, p] {
      for (int s = 0; s < kPerProducer; ++s) {
        if (s % 100 == 50) {
          auto list = std::make_unique<TnxQueueItemList>();
          list->Add(Item(s, p));
          list->Add(Item(s + 1, p));
          queue.Enqueue(std::move(list));
          ++s;
        } else {
          queue.Enqueue(Item(s, p));
        }
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(taken.load(), kProducers * kPerProducer);
  EXPECT_EQ(gItemsFreed.load(), kProducers * kPerProducer);
  for (int c = 0; c < kConsumers; ++c) EXPECT_EQ(outOfOrder[c], 0) << "consumer " << c;
  int missing = 0;
  for (const auto& producer : seen)
    for (uint8_t count : producer) missing += count != 1;
  EXPECT_EQ(missing, 0);
}

}  // namespace
}  // namespace revurov
