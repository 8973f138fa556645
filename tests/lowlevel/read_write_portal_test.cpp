#include "lowlevel/sync/read_write_portal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdlib>
#include <new>
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

// One thread's reads of two portals at once, begun and ended in every
// order: each portal's counter is taken once per outermost read, whichever
// portal the thread reads first.
TEST(Portal, ReadsOfTwoPortalsOnOneThreadCountApart) {
  struct Step {
    int portal;  // 0 or 1
    bool begin;
    int32_t held0, held1;  // reader slots taken afterwards
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"nested in order", {{0, true, 1, 0}, {1, true, 1, 1}, {1, false, 1, 0}, {0, false, 0, 0}}},
      {"crossed ends", {{0, true, 1, 0}, {1, true, 1, 1}, {0, false, 0, 1}, {1, false, 0, 0}}},
      {"second nests after the first ended",
       {{0, true, 1, 0}, {1, true, 1, 1}, {0, false, 0, 1}, {1, true, 0, 1}, {0, true, 1, 1}, {1, false, 1, 1},
        {1, false, 1, 0}, {0, false, 0, 0}}},
      {"first read again while the second is open",
       {{1, true, 0, 1}, {0, true, 1, 1}, {1, false, 1, 0}, {1, true, 1, 1}, {0, false, 0, 1}, {0, true, 1, 1},
        {0, false, 0, 1}, {1, false, 0, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Portal portals[2];
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      SCOPED_TRACE(i);
      if (s.begin)
        portals[s.portal].BeginRead();
      else
        portals[s.portal].EndRead();
      EXPECT_EQ(portals[0].PortalCount(), kIdle - s.held0);
      EXPECT_EQ(portals[1].PortalCount(), kIdle - s.held1);
    }
    // Balanced: a fresh read of either takes its counter again.
    for (Portal& p : portals) {
      p.BeginRead();
      EXPECT_EQ(p.PortalCount(), kIdle - 1);
      p.EndRead();
    }
  }
}

// A nested read never waits for a waiting writer, also when the thread's
// state in that portal outlived its read of another portal.
TEST(Portal, NestedReadOfTheSecondPortalPassesAWaitingWriter) {
  Portal first, second;
  Actor reader, writer;
  reader.Do([&] {
    first.BeginRead();
    second.BeginRead();
    first.EndRead();
  });
  auto write = writer.Start([&] { return second.BeginWrite(); });
  ASSERT_TRUE(Eventually([&] { return second.Waiters() == 1; }));
  auto nested = reader.Start([&] {
    second.BeginRead();
    second.EndRead();
  });
  ASSERT_TRUE(Eventually([&] { return IsDone(nested); }, std::chrono::seconds(5)));
  EXPECT_FALSE(IsDone(write));
  // And the read inside the own write of the other portal, ended after it,
  // still holds a slot there.
  reader.Do([&] {
    first.BeginWrite();
    first.BeginRead();
    first.EndWrite();
  });
  EXPECT_EQ(first.PortalCount(), kIdle - 1);
  reader.Do([&] {
    first.EndRead();
    second.EndRead();
  });
  EXPECT_TRUE(write.get());
  writer.Do([&] { second.EndWrite(); });
  EXPECT_EQ(first.PortalCount(), kIdle);
  EXPECT_EQ(second.PortalCount(), kIdle);
}

// A thread that destroys a portal it still reads, then reads a new portal
// made at the same address, must not take the old read for its own: the new
// read is outermost, takes the counter and waits for a writer.
TEST(Portal, NewPortalAtAFreedOnesAddressStartsFresh) {
  alignas(Portal) unsigned char storage[sizeof(Portal)];
  for (bool viaRecord : {false, true}) {
    SCOPED_TRACE(viaRecord ? "state in a record" : "state in the slot");
    Portal other;
    Actor reader, writer;
    reader.Do([&] {
      if (viaRecord) other.BeginRead();  // the freed portal's state goes elsewhere
      auto* old = ::new (static_cast<void*>(storage)) Portal;
      old->BeginRead();
      old->BeginRead();
      old->~Portal();
    });
    auto* fresh = ::new (static_cast<void*>(storage)) Portal;
    reader.Do([&] { fresh->BeginRead(); });
    EXPECT_EQ(fresh->PortalCount(), kIdle - 1);
    reader.Do([&] { fresh->EndRead(); });
    EXPECT_EQ(fresh->PortalCount(), kIdle);
    EXPECT_TRUE(writer.Do([&] { return fresh->BeginWrite(); }));
    auto read = reader.Start([&] { fresh->BeginRead(); });
    ASSERT_TRUE(Eventually([&] { return fresh->Waiters() == 1; }));
    EXPECT_FALSE(IsDone(read));
    writer.Do([&] { fresh->EndWrite(); });
    read.get();
    reader.Do([&] {
      fresh->EndRead();
      if (viaRecord) other.EndRead();
    });
    EXPECT_EQ(fresh->PortalCount(), kIdle);
    // The thread's first read of a portal needs no record again.
    Portal probe;
    reader.Do([&] {
      probe.BeginRead();
      EXPECT_EQ(probe.ThreadStates().RecordCount(), 0);
      probe.EndRead();
    });
    fresh->~Portal();
  }
}

// Threads that live across rounds read two portals nested in both orders,
// write one while reading the other and upgrade; between rounds both portals
// are destroyed and made anew at the same addresses.
TEST(Portal, TwoPortalsRemadeInPlaceKeepTheirInvariants) {
  constexpr int kThreads = 6;
  const int rounds = std::getenv("REVUROV_LONG_TESTS") ? 200 : 20;
  constexpr int kOps = 400;
  alignas(Portal) unsigned char storage[2][sizeof(Portal)];
  Portal* portals[2] = {::new (static_cast<void*>(storage[0])) Portal, ::new (static_cast<void*>(storage[1])) Portal};
  struct Guarded {
    std::atomic<int> writer{-1};
    long a = 0, b = 0;  // equal outside a write
  } guarded[2];
  std::atomic<bool> failed{false};
  std::atomic<long> writes{0};
  std::barrier sync(kThreads, [&]() noexcept {
    for (int i = 0; i < 2; ++i) {
      if (portals[i]->PortalCount() != kIdle) failed = true;
      portals[i]->~Portal();
      portals[i] = ::new (static_cast<void*>(storage[i])) Portal;
    }
  });
  auto check = [&](bool ok) {
    if (!ok) failed = true;
  };
  auto read = [&](int i) {
    check(guarded[i].writer.load() == -1);
    check(guarded[i].a == guarded[i].b);
  };
  auto write = [&](int me, int i) {
    check(guarded[i].writer.exchange(me) == -1);
    ++guarded[i].a;
    ++guarded[i].b;
    check(guarded[i].writer.exchange(-1) == me);
    writes.fetch_add(1);
  };
  // Portal 0 is always taken before portal 1, or waiting writers would make
  // cycles of nested readers.
  auto work = [&](int me) {
    std::mt19937 rng(99 + me);
    for (int round = 0; round < rounds; ++round) {
      for (int n = 0; n < kOps && !failed; ++n) {
        Portal& p0 = *portals[0];
        Portal& p1 = *portals[1];
        switch (rng() % 5) {
          case 0:  // nested across portals, crossed ends
            p0.BeginRead();
            p1.BeginRead();
            read(0);
            read(1);
            p0.EndRead();
            p1.BeginRead();
            read(1);
            p1.EndRead();
            p1.EndRead();
            break;
          case 1:  // write one while reading the other
            p0.BeginRead();
            p1.BeginWrite();
            write(me, 1);
            p1.BeginRead();
            p1.EndRead();
            p1.EndWrite();
            read(0);
            p0.EndRead();
            break;
          case 2:  // upgrade inside a read of the other
            p0.BeginRead();
            p1.BeginRead();
            read(1);
            p1.BeginWrite();
            write(me, 1);
            p1.EndWrite();
            p1.EndRead();
            p0.EndRead();
            break;
          case 3: {  // downgrade
            const int i = rng() % 2;
            portals[i]->BeginWrite();
            write(me, i);
            portals[i]->BeginRead();
            portals[i]->EndWrite();
            read(i);
            portals[i]->EndRead();
            break;
          }
          default: {
            const int i = rng() % 2;
            portals[i]->BeginRead();
            read(i);
            portals[i]->EndRead();
          }
        }
      }
      sync.arrive_and_wait();
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
  for (auto& t : threads) t.join();
  EXPECT_FALSE(failed.load());
  EXPECT_GT(writes.load(), 0);
  for (Portal* p : portals) {
    EXPECT_EQ(p->PortalCount(), kIdle);
    p->~Portal();
  }
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
