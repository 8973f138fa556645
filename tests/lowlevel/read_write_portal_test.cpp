#include "lowlevel/sync/read_write_portal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "lowlevel/actor.h"

namespace revurov {
namespace {

using test::Actor;
using test::Eventually;
using test::IsDone;
using Portal = TnxInternalReadWritePortal;

constexpr int32_t kIdle = Portal::kIdle;

TEST(ThreadStates, BucketFoldsAllFourBytes) {
  EXPECT_EQ(TnxThreadStates::BucketOf(0x00010203), 0u);
  EXPECT_EQ(TnxThreadStates::BucketOf(0x03020100), 0u);
  EXPECT_EQ(TnxThreadStates::BucketOf(0x00000001), 1u);
  EXPECT_EQ(TnxThreadStates::BucketOf(0x0000000F), 15u);
  EXPECT_EQ(TnxThreadStates::BucketOf(0x10000000), 0u);  // 0x10 & 15
  EXPECT_EQ(TnxThreadStates::BucketOf(0x01000000), 1u);
}

TEST(ThreadStates, ReleasedRecordsAreReused) {
  TnxThreadStates states;
  TnxThreadState* a = states.Acquire(7);
  EXPECT_EQ(states.Acquire(7), a);  // found again by id
  TnxThreadState* b = states.Acquire(7 + 0x10);  // same bucket, other thread
  EXPECT_NE(b, a);
  TnxThreadStates::Release(a);
  EXPECT_EQ(states.Acquire(7 + 0x20), a);  // the free record is claimed
  EXPECT_EQ(states.RecordCount(), 2);
}

TEST(Portal, ReadersCountDownFromIdle) {
  Portal portal;
  EXPECT_EQ(portal.PortalCount(), kIdle);
  Actor r[3];
  for (auto& a : r) a.Do([&] { portal.BeginRead(); });
  EXPECT_EQ(portal.PortalCount(), kIdle - 3);
  for (auto& a : r) a.Do([&] { portal.EndRead(); });
  EXPECT_EQ(portal.PortalCount(), kIdle);
}

TEST(Portal, NestedReadTouchesTheCounterOnce) {
  Portal portal;
  portal.BeginRead();
  portal.BeginRead();
  EXPECT_EQ(portal.PortalCount(), kIdle - 1);
  portal.EndRead();
  EXPECT_EQ(portal.PortalCount(), kIdle - 1);
  portal.EndRead();
  EXPECT_EQ(portal.PortalCount(), kIdle);
}

TEST(Portal, UpgradeInsideOwnRead) {
  Portal portal;
  portal.BeginRead();
  EXPECT_TRUE(portal.BeginWrite());
  EXPECT_EQ(portal.PortalCount(), -1);
  portal.EndWrite();
  EXPECT_EQ(portal.PortalCount(), kIdle - 1);
  portal.EndRead();
  EXPECT_EQ(portal.PortalCount(), kIdle);
}

TEST(Portal, ReadInsideOwnWriteLeavesTheCounter) {
  Portal portal;
  EXPECT_TRUE(portal.BeginWrite());
  EXPECT_EQ(portal.PortalCount(), 0);
  portal.BeginRead();
  portal.BeginRead();
  EXPECT_EQ(portal.PortalCount(), 0);
  portal.EndRead();
  portal.EndRead();
  portal.EndWrite();
  EXPECT_EQ(portal.PortalCount(), kIdle);
  EXPECT_EQ(portal.WriterID(), 0u);
}

TEST(Portal, NestedWriteKeepsGenerationAndOnlyOutermostOpens) {
  Portal portal;
  Actor reader;
  EXPECT_TRUE(portal.BeginWrite());
  const uint32_t generation = portal.Generation();
  EXPECT_TRUE(portal.BeginWrite());
  EXPECT_TRUE(portal.BeginWrite());
  EXPECT_EQ(portal.Generation(), generation);
  auto read = reader.Start([&] { portal.BeginRead(); });
  ASSERT_TRUE(Eventually([&] { return portal.Waiters() == 1; }));
  portal.EndWrite();
  portal.EndWrite();
  EXPECT_EQ(portal.PortalCount(), 0);
  EXPECT_FALSE(IsDone(read));
  portal.EndWrite();
  read.get();
  EXPECT_EQ(portal.PortalCount(), kIdle - 1);
  reader.Do([&] { portal.EndRead(); });
  EXPECT_EQ(portal.PortalCount(), kIdle);
}

TEST(Portal, ReaderArrivingDuringWriteWaitsForEndWrite) {
  Portal portal;
  Actor writer, reader;
  EXPECT_TRUE(writer.Do([&] { return portal.BeginWrite(); }));
  auto read = reader.Start([&] { portal.BeginRead(); });
  ASSERT_TRUE(Eventually([&] { return portal.Waiters() == 1; }));
  EXPECT_FALSE(IsDone(read));
  writer.Do([&] { portal.EndWrite(); });
  read.get();
  EXPECT_EQ(portal.PortalCount(), kIdle - 1);
  reader.Do([&] { portal.EndRead(); });
  EXPECT_EQ(portal.PortalCount(), kIdle);
}

TEST(Portal, WriterWaitsForReadersToLeave) {
  Portal portal;
  Actor r1, r2, writer;
  r1.Do([&] { portal.BeginRead(); });
  r2.Do([&] { portal.BeginRead(); });
  auto write = writer.Start([&] { return portal.BeginWrite(); });
  ASSERT_TRUE(Eventually([&] { return portal.Waiters() == 1; }));
  r1.Do([&] { portal.EndRead(); });
  // A reader that was inside may still nest: it does not wait for the writer.
  r2.Do([&] {
    portal.BeginRead();
    portal.EndRead();
  });
  EXPECT_FALSE(IsDone(write));
  r2.Do([&] { portal.EndRead(); });
  EXPECT_TRUE(write.get());
  EXPECT_EQ(portal.PortalCount(), 0);
  writer.Do([&] { portal.EndWrite(); });
  EXPECT_EQ(portal.PortalCount(), kIdle);
}

TEST(Portal, WaitingWriterGoesBeforeLaterReaders) {
  Portal portal;
  Actor r1, writer, r2;
  r1.Do([&] { portal.BeginRead(); });
  auto write = writer.Start([&] { return portal.BeginWrite(); });
  ASSERT_TRUE(Eventually([&] { return portal.Waiters() == 1; }));
  auto late = r2.Start([&] { portal.BeginRead(); });
  ASSERT_TRUE(Eventually([&] { return portal.Waiters() == 2; }));
  r1.Do([&] { portal.EndRead(); });
  EXPECT_TRUE(write.get());
  EXPECT_FALSE(IsDone(late));
  writer.Do([&] { portal.EndWrite(); });
  late.get();
  r2.Do([&] { portal.EndRead(); });
  EXPECT_EQ(portal.PortalCount(), kIdle);
}

TEST(Portal, TwoUpgradingReadersSecondLearnsOfTheFirst) {
  Portal portal;
  Actor a, b;
  a.Do([&] { portal.BeginRead(); });
  b.Do([&] { portal.BeginRead(); });
  auto aWrite = a.Start([&] { return portal.BeginWrite(); });
  ASSERT_TRUE(Eventually([&] { return portal.Waiters() == 1; }));  // waits for b's read
  auto bWrite = b.Start([&] { return portal.BeginWrite(); });
  // b gave its read slot back, so one of them now holds the portal.
  ASSERT_TRUE(Eventually([&] { return IsDone(aWrite) || IsDone(bWrite); }));
  const bool aFirst = IsDone(aWrite);
  Actor& first = aFirst ? a : b;
  Actor& second = aFirst ? b : a;
  auto& firstWrite = aFirst ? aWrite : bWrite;
  auto& secondWrite = aFirst ? bWrite : aWrite;
  EXPECT_TRUE(firstWrite.get());
  EXPECT_EQ(portal.PortalCount(), -1);  // the writer's own read is still counted
  EXPECT_FALSE(IsDone(secondWrite));
  first.Do([&] { portal.EndWrite(); });
  // The second still waits for the first's read.
  ASSERT_TRUE(Eventually([&] { return portal.Waiters() == 1; }));
  EXPECT_FALSE(IsDone(secondWrite));
  first.Do([&] { portal.EndRead(); });
  EXPECT_FALSE(secondWrite.get());  // another writer came first
  second.Do([&] {
    portal.EndWrite();
    portal.EndRead();
  });
  EXPECT_EQ(portal.PortalCount(), kIdle);
}

// Reads that cross the end of a write in either direction keep the counter
// balanced.
TEST(Portal, ReadsCrossingTheWriteBoundaryStayBalanced) {
  {
    Portal portal;  // read before the write, ended inside it
    portal.BeginRead();
    portal.BeginWrite();
    portal.EndRead();
    EXPECT_EQ(portal.PortalCount(), 0);
    portal.EndWrite();
    EXPECT_EQ(portal.PortalCount(), kIdle);
  }
  {
    Portal portal;  // read inside the write, ended after it: a downgrade
    Actor writer;
    portal.BeginWrite();
    portal.BeginRead();
    portal.EndWrite();
    EXPECT_EQ(portal.PortalCount(), kIdle - 1);
    auto write = writer.Start([&] { return portal.BeginWrite(); });
    ASSERT_TRUE(Eventually([&] { return portal.Waiters() == 1; }));
    EXPECT_FALSE(IsDone(write));  // the downgraded read still excludes writers
    portal.EndRead();
    EXPECT_TRUE(write.get());  // it began after the write
    writer.Do([&] { portal.EndWrite(); });
    EXPECT_EQ(portal.PortalCount(), kIdle);
  }
  {
    Portal portal;  // a second write while a downgraded read is open
    portal.BeginWrite();
    portal.BeginRead();
    portal.EndWrite();
    EXPECT_TRUE(portal.BeginWrite());
    EXPECT_EQ(portal.PortalCount(), -1);
    portal.EndWrite();
    portal.EndRead();
    EXPECT_EQ(portal.PortalCount(), kIdle);
  }
}

TEST(Portal, DestroyWaitsForHolders) {
  auto* portal = new Portal;
  Actor reader, destroyer;
  reader.Do([&] { portal->BeginRead(); });
  auto gone = destroyer.Start([&] { delete portal; });
  ASSERT_TRUE(Eventually([&] { return portal->Waiters() == 1; }));
  EXPECT_FALSE(IsDone(gone));
  reader.Do([&] { portal->EndRead(); });
  gone.get();
}

TEST(Portal, CreateAndEnterPublishesOnePortal) {
  constexpr int kThreads = 8;
  for (bool write : {false, true}) {
    for (int round = 0; round < 10; ++round) {
      Portal* shared = nullptr;
      std::barrier start(kThreads);
      std::barrier entered(kThreads);
      std::vector<Portal*> seen(kThreads);
      int writes = 0;
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
          start.arrive_and_wait();
          if (write) {
            Portal::CreateAndWrite(shared);
            Portal* mine = std::atomic_ref(shared).load();
            ++writes;  // guarded by the write
            seen[t] = mine;
            mine->EndWrite();
          } else {
            Portal::CreateAndRead(shared);
            Portal* mine = std::atomic_ref(shared).load();
            seen[t] = mine;
            entered.arrive_and_wait();  // all read at once
            if (t == 0) {
              EXPECT_EQ(mine->PortalCount(), kIdle - kThreads);
            }
            entered.arrive_and_wait();
            mine->EndRead();
          }
        });
      for (auto& t : threads) t.join();
      ASSERT_NE(shared, nullptr);
      for (Portal* p : seen) EXPECT_EQ(p, shared);
      if (write) {
        EXPECT_EQ(writes, kThreads);
      }
      EXPECT_EQ(shared->PortalCount(), kIdle);
      nxFreeAndNil(shared);
    }
  }
}

TEST(Portal, ThreadRecordsAreReusedAcrossThreads) {
  Portal portal;
  for (int i = 0; i < 64; ++i)
    std::thread([&] {
      portal.BeginRead();
      portal.EndRead();
      portal.BeginWrite();
      portal.EndWrite();
    }).join();
  // At most one record per bucket: every thread left its record free.
  EXPECT_LE(portal.ThreadStates().RecordCount(), TnxThreadStates::kBuckets);
}

// Eight threads read, write, nest and upgrade at random; a checker asserts
// that a writer is alone and that guarded data is never seen half-written.
TEST(Portal, RandomReadersAndWritersKeepTheInvariant) {
  constexpr int kThreads = 8;
  Portal portal;
  std::atomic<int> writer{-1};  // index of the thread holding write access
  std::atomic<int> readers{0};  // threads holding a read outside a write
  long guardedA = 0, guardedB = 0;  // always equal outside a write
  std::atomic<bool> failed{false};
  std::atomic<long> writes{0}, upgrades{0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);

  auto check = [&](bool ok) {
    if (!ok) failed = true;
  };
  auto work = [&](int me) {
    std::mt19937 rng(1234 + me);
    for (int i = 0; i < 20000 && !failed; ++i) {
      if ((i & 63) == 0 && std::chrono::steady_clock::now() > deadline) break;
      const int op = rng() % 10;
      if (op < 6) {  // read, maybe nested
        portal.BeginRead();
        readers.fetch_add(1);
        check(writer.load() == -1);
        check(guardedA == guardedB);
        if (op == 0) {
          portal.BeginRead();
          check(guardedA == guardedB);
          portal.EndRead();
        }
        readers.fetch_sub(1);
        portal.EndRead();
      } else if (op < 9) {  // write, maybe nested, maybe with reads inside
        portal.BeginWrite();
        check(writer.exchange(me) == -1);
        check(readers.load() == 0);
        ++guardedA;
        if (op == 7) {
          portal.BeginWrite();
          portal.BeginRead();
          check(writer.load() == me);
          portal.EndRead();
          portal.EndWrite();
        }
        ++guardedB;
        check(writer.exchange(-1) == me);
        portal.EndWrite();
        writes.fetch_add(1);
      } else {  // upgrade
        portal.BeginRead();
        readers.fetch_add(1);
        check(guardedA == guardedB);
        readers.fetch_sub(1);  // from here on this thread's read is its own business
        portal.BeginWrite();
        check(writer.exchange(me) == -1);
        check(readers.load() == 0);
        ++guardedA;
        ++guardedB;
        check(writer.exchange(-1) == me);
        portal.EndWrite();
        portal.EndRead();
        upgrades.fetch_add(1);
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (auto& t : threads) t.join();
  EXPECT_FALSE(failed.load());
  EXPECT_GT(writes.load(), 0);
  EXPECT_GT(upgrades.load(), 0);
  EXPECT_EQ(guardedA, writes.load() + upgrades.load());
  EXPECT_EQ(portal.PortalCount(), kIdle);
}

}  // namespace
}  // namespace revurov
