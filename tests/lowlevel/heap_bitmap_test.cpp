#include "lowlevel/heap/heap_bitmap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace revurov::mm {
namespace {

// Summaries as the bit words say they should be.
void expectSummariesRight(const TnxBitmap1024& b) {
  uint32_t nonEmpty = 0, full = 0;
  for (unsigned w = 0; w < 32; ++w) {
    const uint32_t v = b.words[2 + w].load();
    if (v) nonEmpty |= 1u << w;
    if (v == ~0u) full |= 1u << w;
  }
  EXPECT_EQ(b.words[0].load(), nonEmpty);
  EXPECT_EQ(b.words[1].load(), full);
}

TEST(HeapBitmap, TakesHighestFirstAndKeepsSummaries) {
  TnxBitmap1024 b;
  EXPECT_EQ(nxBitmapFindHighest(b), -1);
  EXPECT_EQ(nxBitmapTakeHighest(b), -1);
  bool wasEmpty = false;
  EXPECT_TRUE(nxBitmapSetEx(b, 5, wasEmpty));
  EXPECT_TRUE(wasEmpty);
  EXPECT_TRUE(nxBitmapSetEx(b, 1000, wasEmpty));
  EXPECT_FALSE(wasEmpty);
  EXPECT_FALSE(nxBitmapSet(b, 1000));  // already set
  EXPECT_TRUE(nxBitmapSet(b, 37));
  expectSummariesRight(b);
  EXPECT_EQ(nxBitmapFindHighest(b), 1000);
  bool becameEmpty = true;
  EXPECT_EQ(nxBitmapTakeHighestEx(b, becameEmpty), 1000);
  EXPECT_FALSE(becameEmpty);
  EXPECT_EQ(nxBitmapTakeHighest(b), 37);
  EXPECT_EQ(nxBitmapTakeHighestEx(b, becameEmpty), 5);
  EXPECT_TRUE(becameEmpty);
  expectSummariesRight(b);
}

TEST(HeapBitmap, FullWordsShowInTheFullSummary) {
  TnxBitmap1024 b;
  for (unsigned i = 64; i < 96; ++i) nxBitmapSet(b, i);
  EXPECT_EQ(b.words[1].load(), 1u << 2);
  nxBitmapToggle(b, 70);
  EXPECT_EQ(b.words[1].load(), 0u);
  EXPECT_FALSE(nxBitmapTakeWord(b, 2, ~0u));  // not whole
  nxBitmapToggle(b, 70);
  EXPECT_TRUE(nxBitmapTakeWord(b, 2, ~0u));
  EXPECT_TRUE(nxBitmapIsEmpty(b));
  expectSummariesRight(b);
  EXPECT_EQ(nxBitmapOrWord(b, 3, 0xF0), 0u);
  EXPECT_TRUE(nxBitmapClear(b, 100));
  EXPECT_FALSE(nxBitmapClear(b, 100));
  EXPECT_TRUE(nxBitmapTest(b, 101));
  expectSummariesRight(b);
}

TEST(HeapBitmap, MergeMovesEveryBit) {
  TnxBitmap1024 src, dst;
  for (unsigned i : {0u, 31u, 32u, 500u, 1023u}) nxBitmapSet(src, i);
  nxBitmapSet(dst, 7);
  nxBitmapMergeInto(src, dst);
  EXPECT_TRUE(nxBitmapIsEmpty(src));
  for (unsigned i : {0u, 7u, 31u, 32u, 500u, 1023u}) EXPECT_TRUE(nxBitmapTest(dst, i)) << i;
  expectSummariesRight(src);
  expectSummariesRight(dst);
}

TEST(HeapBitmap, PlainSetAndBuiltSummaries) {
  TnxBitmap1024 b;
  for (unsigned i = 0; i < 32; ++i) nxBitmapSetPlain(b, i);
  nxBitmapSetPlain(b, 900);
  nxBitmapBuildSummaries(b);
  expectSummariesRight(b);
  EXPECT_EQ(nxBitmapFindHighest(b), 900);
}

// Threads take bits and put them back; none is ever taken by two at once,
// and at the end every bit is back with the summaries right.
TEST(HeapBitmap, ConcurrentTakesNeverShareABit) {
  TnxBitmap1024 b;
  for (unsigned i = 0; i < 1024; i += 3) nxBitmapSet(b, i);
  std::atomic<uint8_t> held[1024] = {};
  std::atomic<bool> clash{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 20000; ++round) {
        const int i = nxBitmapTakeHighest(b);
        if (i < 0) continue;
        if (held[i].exchange(1)) clash = true;
        held[i].store(0);
        if (!nxBitmapSet(b, unsigned(i))) clash = true;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_FALSE(clash.load());
  for (unsigned i = 0; i < 1024; ++i) EXPECT_EQ(nxBitmapTest(b, i), i % 3 == 0) << i;
  expectSummariesRight(b);
}

}  // namespace
}  // namespace revurov::mm
