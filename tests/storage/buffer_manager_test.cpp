#include "storage/buffer_manager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "engine/session_stats.h"
#include "lowlevel/components/component_settings.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "storage/temp_storage.h"
#include "storage/transactions.h"
#include "support/exception_message.h"
#include "support/recording_file_ops.h"
#include "support/storage_fixture.h"

namespace revurov {
namespace {

using testing::TFileOp;
using testing::TStorageFixture;

// Checks a data block of the fixture's table: its own number and pattern.
::testing::AssertionResult IsTableBlock(const TnxBaseFile& aFile, TnxBlockNumber aNumber, const uint8_t* aBlock) {
  if (!aBlock) return ::testing::AssertionFailure() << "no block";
  const TnxBlockCommonHeader header = nxLoadBlockCommonHeader(aBlock);
  if (header.bchThisBlock != aNumber)
    return ::testing::AssertionFailure() << "block " << aNumber << " says " << header.bchThisBlock;
  for (uint32_t i = nxBlockCommonHeaderSize; i < aFile.fiBlockSizeBytes; ++i)
    if (aBlock[i] != TStorageFixture::Pattern(aNumber, i))
      return ::testing::AssertionFailure() << "block " << aNumber << " differs at " << i;
  return ::testing::AssertionSuccess();
}

using testing::ErrorCodeOf;

class BufferManagerTest : public ::testing::Test {
protected:
  // Reads block n through a guard and checks it.
  void ReadAndCheck(TnxBaseFile& aFile, TnxBlockNumber aNumber) {
    TnxBlockGuard guard;
    guard.Hold(fx_.BufMgr().GetBlock(aFile, nullptr, aNumber, guard.ReleaseMethod()));
    EXPECT_TRUE(IsTableBlock(aFile, aNumber, guard.Block()));
  }

  TStorageFixture fx_;
};

// ---- reading ----

TEST_F(BufferManagerTest, ReadsEachBlockFromDiskOnceWhileCached) {
  const struct {
    TnxBlockSize size;
    uint32_t blocks;
  } cases[] = {{nxbs4k, 6}, {nxbs16k, 4}, {nxbs64k, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.size));
    TnxBaseFile& file = fx_.Open(fx_.MakeTable("t" + std::to_string(c.size) + ".nx1", c.size, c.blocks));
    const int before = fx_.Ops().Calls(TFileOp::ReadAt);
    for (int round = 0; round < 3; ++round)
      for (TnxBlockNumber n = 1; n < c.blocks; ++n) ReadAndCheck(file, n);
    EXPECT_EQ(fx_.Ops().Calls(TFileOp::ReadAt) - before, static_cast<int>(c.blocks - 1));
    EXPECT_EQ(fx_.BufMgr().CachedBlocks(file), static_cast<int32_t>(c.blocks));
    EXPECT_EQ(fx_.BufMgr().HandedOut(file), 0);
  }
}

TEST_F(BufferManagerTest, PointerStaysValidUntilReleasedAndCountsEachHandOut) {
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs4k, 4));
  TnxReleaseMethod first, second;
  PnxBlock a = fx_.BufMgr().GetBlock(file, nullptr, 2, first);
  PnxBlock b = fx_.BufMgr().GetBlock(file, nullptr, 2, second);
  EXPECT_EQ(a, b);
  EXPECT_EQ(fx_.BufMgr().HandedOut(file), 2);
  first(a);
  EXPECT_EQ(a, nullptr);
  EXPECT_TRUE(IsTableBlock(file, 2, b));
  EXPECT_EQ(fx_.BufMgr().HandedOut(file), 1);
  second(b);
  EXPECT_EQ(fx_.BufMgr().HandedOut(file), 0);
}

// Asking ahead for blocks reads, takes and changes nothing, whatever the
// numbers: cached or not, block 0, past the file, more than it looks at, or
// of a file that is not attached.
TEST_F(BufferManagerTest, PrefetchReadsTakesAndChangesNothing) {
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs4k, 6));
  TnxBaseFile& detached = fx_.OpenOnly(fx_.MakeTable("u.nx1", nxbs4k, 3));
  for (TnxBlockNumber n = 1; n <= 3; ++n) ReadAndCheck(file, n);
  const int reads = fx_.Ops().Calls(TFileOp::ReadAt);
  const int32_t cached = fx_.BufMgr().CachedBlocks(file);
  std::vector<TnxBlockNumber> numbers{0, 1, 2, 3, 4, 5, 6, 999, 0xFFFFFFFF};
  for (int i = 0; i < 40; ++i) numbers.push_back(1 + i % 3);
  fx_.BufMgr().PrefetchBlocks(file, numbers);
  fx_.BufMgr().PrefetchBlocks(file, {});
  fx_.BufMgr().PrefetchBlocks(detached, numbers);
  TnxBufferManager other(u"");
  other.PrefetchBlocks(file, numbers);
  EXPECT_EQ(fx_.Ops().Calls(TFileOp::ReadAt), reads);
  EXPECT_EQ(fx_.BufMgr().CachedBlocks(file), cached);
  EXPECT_EQ(fx_.BufMgr().HandedOut(file), 0);
  for (TnxBlockNumber n = 1; n <= 5; ++n) ReadAndCheck(file, n);
  EXPECT_EQ(fx_.Ops().Calls(TFileOp::ReadAt), reads + 2);
}

TEST_F(BufferManagerTest, RefusesAFileThatIsNotAttached) {
  TnxBaseFile& file = fx_.OpenOnly(fx_.MakeTable("t.nx1", nxbs4k, 3));
  TnxReleaseMethod release;
  EXPECT_EQ(ErrorCodeOf([&] { fx_.BufMgr().GetBlock(file, nullptr, 1, release); }), nxeInvalidParameter);
  EXPECT_FALSE(release);
  TnxBufferManager other(u"");
  TnxBaseFile& attached = fx_.Open(fx_.MakeTable("u.nx1", nxbs4k, 3));
  EXPECT_EQ(ErrorCodeOf([&] { other.GetBlock(attached, nullptr, 1, release); }), nxeInvalidParameter);
}

// A block past the end of the file fails like any other read and is read
// again next time.
TEST_F(BufferManagerTest, FailedReadLeavesNothingBehindAndIsReadAgain) {
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs4k, 5));
  const int before = fx_.Ops().Calls(TFileOp::ReadAt);
  fx_.Ops().FailCall(TFileOp::ReadAt, before + 1, EIO);
  TnxReleaseMethod release;
  EXPECT_EQ(ErrorCodeOf([&] { fx_.BufMgr().GetBlock(file, nullptr, 3, release); }), nxeReadFailure);
  EXPECT_FALSE(release);
  EXPECT_EQ(fx_.BufMgr().HandedOut(file), 0);
  EXPECT_EQ(fx_.BufMgr().CachedBlocks(file), 1) << "only the header";
  ReadAndCheck(file, 3);
  EXPECT_EQ(fx_.Ops().Calls(TFileOp::ReadAt) - before, 2);
  // Past the end: a short read, which leaves no block object behind.
  for (TnxBlockNumber n = 5; n < 50; ++n)
    EXPECT_EQ(ErrorCodeOf([&] { fx_.BufMgr().GetBlock(file, nullptr, n, release); }), nxeReadFailure) << n;
  EXPECT_EQ(fx_.BufMgr().HandedOut(file), 0);
  EXPECT_EQ(fx_.BufMgr().CachedBlocks(file), 2);
}

TEST_F(BufferManagerTest, DamagedImageIsNeverCachedAsGood) {
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs8k, 5, {.Misnumbered = 3}));
  const int before = fx_.Ops().Calls(TFileOp::ReadAt);
  TnxReleaseMethod release;
  for (int attempt = 1; attempt <= 2; ++attempt) {
    EXPECT_EQ(ErrorCodeOf([&] { fx_.BufMgr().GetBlock(file, nullptr, 3, release); }), nxeCorruptFile);
    EXPECT_FALSE(release);
    EXPECT_EQ(fx_.Ops().Calls(TFileOp::ReadAt) - before, attempt) << "read again, not served from the cache";
  }
  ReadAndCheck(file, 4);
  EXPECT_EQ(fx_.BufMgr().HandedOut(file), 0);
}

// Holds the reads of one offset until opened (bounded: a stuck test fails
// instead of hanging).
class TReadGate {
public:
  TReadGate(testing::TFaultFileOps& aOps, int64_t aOffset) : ops_(aOps) {
    aOps.OnReadAt([this, aOffset](int64_t aAt) {
      if (aAt != aOffset) return;
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait_for(lock, std::chrono::seconds(30), [&] { return open_; });
    });
  }
  ~TReadGate() { ops_.OnReadAt(nullptr); }
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      open_ = true;
    }
    cv_.notify_all();
  }

private:
  testing::TFaultFileOps& ops_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Polls a condition a bounded number of times.
template <class F>
bool Eventually(F&& aCondition) {
  for (int i = 0; i < 10000; ++i) {
    if (aCondition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return aCondition();
}

TEST_F(BufferManagerTest, FailedReadWakesEveryWaiterWithTheErrorAndALaterReadSucceeds) {
  constexpr int kWaiters = 4;
  constexpr TnxBlockNumber kBlock = 3;
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs4k, 5));
  TnxBufferManager& bm = fx_.BufMgr();
  TReadGate gate(fx_.Ops(), int64_t{kBlock} * 4096);
  fx_.Ops().FailCall(TFileOp::ReadAt, fx_.Ops().Calls(TFileOp::ReadAt) + 1, EIO);

  // What each thread caught: the file's own exception class and text.
  std::vector<std::u16string> caught(kWaiters + 1);
  std::vector<std::thread> threads;
  auto reader = [&](int aIndex) {
    caught[aIndex] = testing::MessageOf<EnxBaseFileException>([&] {
      TnxBlockGuard guard;
      guard.Hold(bm.GetBlock(file, nullptr, kBlock, guard.ReleaseMethod()));
    });
  };
  threads.emplace_back(reader, 0);
  const bool loading = Eventually([&] { return bm.CachedBlocks(file) == 2; });
  if (loading)
    for (int i = 1; i <= kWaiters; ++i) threads.emplace_back(reader, i);
  const bool allWaiting = loading && Eventually([&] { return bm.LoadWaiters(file, kBlock) == kWaiters; });
  gate.Open();
  for (std::thread& t : threads) t.join();
  ASSERT_TRUE(allWaiting);
  EXPECT_TRUE(testing::Contains(caught[0], u"Error when reading from file")) << platform::Utf16ToUtf8(caught[0]);
  for (int i = 1; i <= kWaiters; ++i) EXPECT_EQ(caught[i], caught[0]) << "thread " << i;

  EXPECT_EQ(bm.HandedOut(file), 0);
  const int before = fx_.Ops().Calls(TFileOp::ReadAt);
  ReadAndCheck(file, kBlock);
  EXPECT_EQ(fx_.Ops().Calls(TFileOp::ReadAt) - before, 1);
}

TEST_F(BufferManagerTest, SixteenReadersRacingTheirLoadsReadEachBlockOnce) {
  constexpr uint32_t kBlocks = 64;
  constexpr int kThreads = 16;
  constexpr int kReadsPerThread = 300;
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs4k, kBlocks));
  const int before = fx_.Ops().Calls(TFileOp::ReadAt);
  std::vector<std::set<TnxBlockNumber>> touched(kThreads);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<uint32_t>(t) + 1);
      for (int i = 0; i < kReadsPerThread; ++i) {
        const TnxBlockNumber n = 1 + random() % (kBlocks - 1);
        touched[t].insert(n);
        TnxBlockGuard guard;
        guard.Hold(fx_.BufMgr().GetBlock(file, nullptr, n, guard.ReleaseMethod()));
        if (!IsTableBlock(file, n, guard.Block())) ++bad;
      }
    });
  for (std::thread& t : threads) t.join();
  std::set<TnxBlockNumber> all;
  for (const auto& s : touched) all.insert(s.begin(), s.end());
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(fx_.Ops().Calls(TFileOp::ReadAt) - before, static_cast<int>(all.size()));
  EXPECT_EQ(fx_.BufMgr().HandedOut(file), 0);
}

// ---- attaching files ----

TEST_F(BufferManagerTest, AddFileHandsOutTheHeaderAndRaisesTheCurrentLSN) {
  TnxBufferManager& bm = fx_.BufMgr();
  EXPECT_EQ(bm.NextLSN(), 1);
  TnxBaseFile& file = fx_.OpenOnly(fx_.MakeTable("t.nx1", nxbs4k, 3, {.HeaderLSN = 1000}));
  const auto attached = fx_.AddFile(file);
  ASSERT_EQ(attached.Result, 0u);
  EXPECT_FALSE(attached.ReadOnly);
  EXPECT_EQ(nxLoadBlockCommonHeader(attached.Header.Block()).bchLSN, 1000);
  EXPECT_EQ(TnxBufferManager::OwnerOf(file), &bm);
  EXPECT_EQ(bm.FileLSN(file), 1000);
  EXPECT_EQ(bm.NextLSN(), 1001);
  bm.SetNextLSN(5);
  EXPECT_EQ(bm.CurrentLSN(), 1001);
  bm.SetNextLSN(2000);
  EXPECT_EQ(bm.NextLSN(), 2001);

  // A file with an older header lowers nothing.
  TnxBaseFile& older = fx_.OpenOnly(fx_.MakeTable("u.nx1", nxbs4k, 3, {.HeaderLSN = 7}));
  ASSERT_EQ(fx_.AddFile(older).Result, 0u);
  EXPECT_EQ(bm.CurrentLSN(), 2001);
}

TEST_F(BufferManagerTest, SecondAddFileUsesTheCachedHeader) {
  TnxBufferManager& bm = fx_.BufMgr();
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs4k, 3));
  const int before = fx_.Ops().Calls(TFileOp::ReadAt);
  const auto attached = fx_.AddFile(file);
  ASSERT_EQ(attached.Result, 0u);
  EXPECT_FALSE(attached.ReadOnly);
  EXPECT_EQ(fx_.Ops().Calls(TFileOp::ReadAt), before);
  EXPECT_EQ(bm.CachedBlocks(file), 1);
}

TEST_F(BufferManagerTest, AddFileOfAReadOnlyOpenSaysSo) {
  const std::u16string path = fx_.MakeTable("t.nx1", nxbs4k, 3);
  TnxBaseFile file(path, fx_.Ops());
  file.OpenFile(omReadOnly, smShared, false, false);
  auto attached = fx_.AddFile(file);
  ASSERT_EQ(attached.Result, 0u);
  EXPECT_TRUE(attached.ReadOnly);
  attached.Header.Release();
  fx_.BufMgr().RemoveFile(file);
}

TEST_F(BufferManagerTest, AddFileWhoseHeaderLoadFailsLeavesTheFileDetached) {
  TnxBufferManager& bm = fx_.BufMgr();
  const std::u16string path = fx_.MakeTable("t.nx1", nxbs4k, 3);
  // A header the header check takes but whose block number is wrong: the
  // cached image's own check refuses it once the file is attached.
  const auto setOwnNumber = [&](uint32_t aNumber) {
    std::fstream raw(platform::Utf16ToUtf8(path), std::ios::in | std::ios::out | std::ios::binary);
    raw.seekp(4);
    raw.write(reinterpret_cast<const char*>(&aNumber), sizeof aNumber);
  };
  setOwnNumber(1);
  TnxBaseFile& file = fx_.OpenOnly(path);
  TnxReleaseMethod release;
  PnxBlock block = nullptr;
  bool readOnly = false;
  EXPECT_EQ(ErrorCodeOf([&] { bm.AddFile(file, {}, release, block, readOnly); }), nxeCorruptFile);
  EXPECT_FALSE(release);
  EXPECT_EQ(TnxBufferManager::OwnerOf(file), nullptr);
  // The refused image is not kept: mended on disk, the header is read anew.
  setOwnNumber(0);
  const auto attached = fx_.AddFile(file);
  ASSERT_EQ(attached.Result, 0u);
  EXPECT_EQ(nxLoadBlockCommonHeader(attached.Header.Block()).bchThisBlock, 0u);
}

TEST_F(BufferManagerTest, AttachedFilesAreReadWithoutReadAheadExceptDuringAScan) {
  using enum platform::TAccessHint;
  using THints = std::vector<platform::TAccessHint>;
  testing::TRecordingFileOps ops(fx_.Ops());
  TnxBaseFile file(fx_.MakeTable("t.nx1", nxbs4k, 3), ops);
  file.OpenFile(omReadWrite, smShared, false, false);
  TnxBufferManager& bm = fx_.BufMgr();
  // Hinted before the header is read; a failed attach takes it back.
  fx_.Ops().FailCall(TFileOp::ReadAt, fx_.Ops().Calls(TFileOp::ReadAt) + 1, EIO);
  TnxReleaseMethod release;
  PnxBlock block = nullptr;
  bool readOnly = false;
  EXPECT_EQ(ErrorCodeOf([&] { bm.AddFile(file, {}, release, block, readOnly); }), nxeReadFailure);
  EXPECT_EQ(ops.Hints, (THints{ahRandom, ahNormal}));
  ops.Hints.clear();
  {
    const auto attached = fx_.AddFile(file);
    ASSERT_EQ(attached.Result, 0u);
  }
  EXPECT_EQ(ops.Hints, THints{ahRandom});
  int scanned = 0;
  file.IterateBlocksRaw(nullptr, [&](void*, TnxBlockNumber, PnxBlock) {
    ++scanned;
    return birContinue;
  });
  EXPECT_EQ(scanned, 3);
  EXPECT_EQ(ops.Hints, (THints{ahRandom, ahSequential, ahRandom}));
  // A new descriptor gets the hint again.
  ops.Hints.clear();
  file.CloseFile();
  file.OpenFile(omReadWrite, smShared, false, false);
  EXPECT_EQ(ops.Hints, THints{ahRandom});
  bm.RemoveFile(file);
  EXPECT_EQ(ops.Hints, (THints{ahRandom, ahNormal}));
  ops.Hints.clear();
  file.IterateBlocksRaw(nullptr, [](void*, TnxBlockNumber, PnxBlock) { return birContinue; });
  EXPECT_EQ(ops.Hints, (THints{ahSequential, ahNormal}));
  file.CloseFile();
}

// Attaching reads the header for its checks and caches that very image;
// a file removed and attached again reads it from the disk once more.
TEST_F(BufferManagerTest, AttachingReadsTheHeaderFromTheDiskOnce) {
  for (const TnxBlockSize size : {nxbs4k, nxbs16k}) {
    TnxBaseFile file(fx_.MakeTable(size == nxbs4k ? "h4.nx1" : "h16.nx1", size, 3), fx_.Ops());
    file.OpenFile(omReadWrite, smShared, false, false);
    // A block size above 4 KB needs a second read for the whole header.
    const int expected = size == nxbs4k ? 1 : 2;
    for (int round = 0; round < 2; ++round) {
      const int before = fx_.Ops().Calls(TFileOp::ReadAt);
      {
        const auto attached = fx_.AddFile(file);
        ASSERT_EQ(attached.Result, 0u);
        EXPECT_EQ(nxLoadBlockCommonHeader(attached.Header.Block()).bchThisBlock, 0u);
      }
      EXPECT_EQ(fx_.Ops().Calls(TFileOp::ReadAt) - before, expected) << size << " round " << round;
      fx_.BufMgr().RemoveFile(file);
    }
    file.CloseFile();
  }
}

// A file removed just before it is closed keeps the kernel's hint: the
// advice ends with the descriptor anyway.
TEST_F(BufferManagerTest, RemovingAFileAboutToCloseGivesNoHint) {
  using enum platform::TAccessHint;
  using THints = std::vector<platform::TAccessHint>;
  testing::TRecordingFileOps ops(fx_.Ops());
  TnxBaseFile file(fx_.MakeTable("c.nx1", nxbs4k, 3), ops);
  file.OpenFile(omReadWrite, smShared, false, false);
  ASSERT_EQ(fx_.AddFile(file).Result, 0u);
  EXPECT_EQ(ops.Hints, THints{ahRandom});
  fx_.BufMgr().RemoveFile(file, true);
  EXPECT_EQ(ops.Hints, THints{ahRandom});
  file.CloseFile();
  // Opened again, the file starts from the normal hint.
  file.OpenFile(omReadWrite, smShared, false, false);
  EXPECT_EQ(ops.Hints, THints{ahRandom});
  file.CloseFile();
}

TEST_F(BufferManagerTest, RemoveFileDropsEveryBlockAndAllowsAttachingAgain) {
  TnxBufferManager& bm = fx_.BufMgr();
  TnxBaseFile& file = fx_.Open(fx_.MakeTable("t.nx1", nxbs4k, 300));
  // Numbers far apart fill several containers of the index.
  for (TnxBlockNumber n : {1u, 2u, 255u, 256u, 257u, 299u}) ReadAndCheck(file, n);
  EXPECT_EQ(bm.CachedBlocks(file), 7);
  bm.RemoveFile(file);
  EXPECT_EQ(TnxBufferManager::OwnerOf(file), nullptr);
  bm.RemoveFile(file);  // a second time does nothing
  const auto attached = fx_.AddFile(file);
  ASSERT_EQ(attached.Result, 0u);
  EXPECT_EQ(bm.CachedBlocks(file), 1);
  ReadAndCheck(file, 256);
}

// Memory freed by the cache is used again for later images; each shows
// only its own block: read from the file, or zeros for a block new to it.
TEST_F(BufferManagerTest, ReusedBlockMemoryNeverShowsAnEarlierImage) {
  TnxBufferManager& bm = fx_.BufMgr();
  TnxBaseFile& first = fx_.Open(fx_.MakeTable("a.nx1", nxbs4k, 9));
  std::set<const uint8_t*> freed;
  for (TnxBlockNumber n = 1; n < 9; ++n) {
    TnxBlockGuard guard;
    guard.Hold(bm.GetBlock(first, nullptr, n, guard.ReleaseMethod()));
    freed.insert(guard.Block());
  }
  bm.RemoveFile(first);
  TnxBaseFile& second = fx_.Open(fx_.MakeTable("b.nx1", nxbs4k, 20));
  int reused = 0;
  for (TnxBlockNumber n = 12; n < 20; ++n) {
    TnxBlockGuard guard;
    guard.Hold(bm.GetBlock(second, nullptr, n, guard.ReleaseMethod()));
    reused += freed.count(guard.Block()) ? 1 : 0;
    EXPECT_TRUE(IsTableBlock(second, n, guard.Block()));
  }
  EXPECT_GT(reused, 0) << "freed memory was not used again";
  // A failed read into such memory leaves no image behind.
  bm.RemoveFile(second);
  TnxBaseFile& third = fx_.Open(fx_.MakeTable("c.nx1", nxbs4k, 4));
  fx_.Ops().FailCall(TFileOp::ReadAt, fx_.Ops().Calls(TFileOp::ReadAt) + 1, EIO);
  TnxReleaseMethod release;
  EXPECT_EQ(ErrorCodeOf([&] { bm.GetBlock(third, nullptr, 2, release); }), nxeReadFailure);
  ReadAndCheck(third, 2);
  // A block new to the file starts from zeros in a transaction's copy.
  TnxBaseTransaction trans(bm, nullptr, false, false);
  TnxBlockGuard added;
  added.Hold(bm.AddBlock(third, &trans, 4, added.ReleaseMethod()));
  for (uint32_t i = nxBlockCommonHeaderSize; i < third.BlockBytes(); ++i)
    ASSERT_EQ(added.Block()[i], 0) << "at " << i;
  added.Release();
  bm.RollbackTransaction(&trans);
}

#ifndef NDEBUG
TEST_F(BufferManagerTest, RemoveFileWithABlockStillHandedOutIsCaughtInDebugBuilds) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        TStorageFixture fx;
        TnxBaseFile& file = fx.Open(fx.MakeTable("t.nx1", nxbs4k, 3));
        TnxReleaseMethod release;
        fx.BufMgr().GetBlock(file, nullptr, 1, release);
        fx.BufMgr().RemoveFile(file);
      },
      "still in use");
}
#endif

// ---- snapshot IDs ----

TEST_F(BufferManagerTest, SnapShotIDsAreReusedLowestFirst) {
  TnxBufferManager& bm = fx_.BufMgr();
  // Stand-ins: the IDs only remember the transaction's address.
  auto& trans = *reinterpret_cast<TnxBaseTransaction*>(&bm);
  EXPECT_EQ(bm.RegisterSnapShot(trans), 0u);
  EXPECT_EQ(bm.RegisterSnapShot(trans), 1u);
  EXPECT_EQ(bm.RegisterSnapShot(trans), 2u);
  bm.UnregisterSnapShot(1);
  EXPECT_EQ(bm.RegisterSnapShot(trans), 1u);
  for (uint32_t id = 3; id < 10; ++id) EXPECT_EQ(bm.RegisterSnapShot(trans), id);
  EXPECT_EQ(bm.SnapShotFlagBytes(), 2u);
  bm.UnregisterSnapShot(9);
  bm.UnregisterSnapShot(8);
  EXPECT_EQ(bm.SnapShotFlagBytes(), 1u) << "trailing empty bytes are dropped";
  bm.UnregisterSnapShot(4);
  EXPECT_EQ(bm.RegisterSnapShot(trans), 4u);
  for (uint32_t id = 0; id < 8; ++id) bm.UnregisterSnapShot(id);
  EXPECT_EQ(bm.SnapShotFlagBytes(), 0u);
  EXPECT_EQ(bm.ActiveSnapShotCount(), 0);
  EXPECT_EQ(bm.RegisterSnapShot(trans), 0u);
}

TEST_F(BufferManagerTest, UnregisteringAnIDNotInUseIsRefused) {
  TnxBufferManager& bm = fx_.BufMgr();
  auto& trans = *reinterpret_cast<TnxBaseTransaction*>(&bm);
  EXPECT_EQ(ErrorCodeOf([&] { bm.UnregisterSnapShot(0); }), nxeInvalidParameter);
  bm.RegisterSnapShot(trans);
  bm.RegisterSnapShot(trans);
  bm.UnregisterSnapShot(0);
  for (uint32_t id : {0u, 5u, 100u}) EXPECT_EQ(ErrorCodeOf([&] { bm.UnregisterSnapShot(id); }), nxeInvalidParameter) << id;
  EXPECT_EQ(bm.ActiveSnapShotCount(), 1);
}

// ---- scratch blocks ----

TEST_F(BufferManagerTest, ScratchBlockKeepsItsContentBetweenLocks) {
  TnxBufferManager& bm = fx_.BufMgr();
  const TnxScratchBlockHandle handle = bm.CreateScratchBlock(mm::nxbs16k);
  auto* p = static_cast<uint8_t*>(bm.LockScratchBlock(handle));
  p[0] = 0x5A;
  p[16383] = 0xA5;
  bm.UnlockScratchBlock(handle, p);
  p = static_cast<uint8_t*>(bm.LockScratchBlock(handle));
  EXPECT_EQ(p[0], 0x5A);
  EXPECT_EQ(p[16383], 0xA5);
  bm.UnlockScratchBlock(handle, p);
  bm.FreeScratchBlock(handle);
}

TEST_F(BufferManagerTest, ScratchBlockMisuseIsRefused) {
  TnxBufferManager& bm = fx_.BufMgr();
  const TnxScratchBlockHandle handle = bm.CreateScratchBlock(mm::nxbs4k);
  void* p = bm.LockScratchBlock(handle);
  EXPECT_EQ(ErrorCodeOf([&] { bm.FreeScratchBlock(handle); }), nxeInvalidParameter) << "still locked";
  EXPECT_EQ(ErrorCodeOf([&] { bm.UnlockScratchBlock(handle, static_cast<uint8_t*>(p) + 1); }), nxeInvalidParameter);
  bm.UnlockScratchBlock(handle, p);
  EXPECT_EQ(ErrorCodeOf([&] { bm.UnlockScratchBlock(handle, p); }), nxeInvalidParameter) << "not locked";
  bm.FreeScratchBlock(handle);
  EXPECT_EQ(ErrorCodeOf([&] { bm.LockScratchBlock(handle); }), nxeInvalidParameter) << "freed";
  EXPECT_EQ(ErrorCodeOf([&] { bm.FreeScratchBlock(handle); }), nxeInvalidParameter);
  EXPECT_EQ(ErrorCodeOf([&] { bm.CreateScratchBlock(static_cast<TnxBlockSizeAll>(6)); }), nxeInvalidParameter);
}

// ---- statistics ----

std::vector<std::u16string> Rows(const platform::TStringList& aList) {
  std::vector<std::u16string> rows;
  for (int i = 0; i < aList.Count(); ++i) rows.push_back(aList[i]);
  return rows;
}

TEST_F(BufferManagerTest, StatisticsCaptionsAndValuesMatchRowForRow) {
  platform::TStringList captions, values, placeholders;
  TnxBufferManager::GetStatsCaptions(captions);
  fx_.BufMgr().GetStatsValues(values);
  TnxBufferManager::GetStatsValuesStatic(placeholders);
  const std::vector<std::u16string> expected = {
      u"AWE Edition", u"Block Cache Available", u"Block Cache Used", u"Block Cache Miss", u"Block Cache Hit ",
      u"Block Cache Eviction ", u"Transactions Commited", u"Transactions Commited Nested",
      u"Transactions Rolledback", u"Transactions Rolledback Nested", u"Transactions Deadlocked",
      u"Transactions Corrupted", u"Blocks Read", u"Blocks Written",
      // The installed class is the chunked store.
      u"Temporary Storage Total Size", u"Temporary Storage Used Size", u"Temporary Storage Total Written",
      u"Temporary Storage Total Read"};
  EXPECT_EQ(Rows(captions), expected);
  EXPECT_EQ(values.Count(), captions.Count());
  EXPECT_EQ(placeholders.Count(), captions.Count());
  EXPECT_EQ(values[0], u"No");
  EXPECT_EQ(Rows(placeholders)[1], u"0 kbyte");
  EXPECT_EQ(Rows(placeholders)[6], u"0");

  // With a store of the installed class the store's own values follow.
  fx_.BufMgr().SetTempStoreSize(1);
  platform::TStringList withStore;
  fx_.BufMgr().GetStatsValues(withStore);
  EXPECT_EQ(withStore.Count(), captions.Count());
}

TEST_F(BufferManagerTest, StatisticsValuesCountReadsHitsAndMemoryWithSeparators) {
  TStorageFixture fx(12);
  TnxBaseFile& file = fx.Open(fx.MakeTable("t.nx1", nxbs8k, 1005));
  TnxBufferManager& bm = fx.BufMgr();
  for (TnxBlockNumber n = 1; n < 1005; ++n) {
    TnxReleaseMethod release;
    PnxBlock block = bm.GetBlock(file, nullptr, n, release);
    release(block);
  }
  for (int i = 0; i < 3; ++i) {
    TnxReleaseMethod release;
    PnxBlock block = bm.GetBlock(file, nullptr, 1, release);
    release(block);
  }
  platform::TStringList values;
  bm.GetStatsValues(values);
  const std::u16string sep = nxFormatGrouped(1000).substr(1, 1);
  EXPECT_EQ(values[1], u"12" + sep + u"288 kbyte");  // 12 MB of 4 KB pages
  EXPECT_EQ(values[2], u"8" + sep + u"040 kbyte");   // 1005 blocks of 8 KB
  EXPECT_EQ(values[3], u"1" + sep + u"005");         // every block came from disk once
  EXPECT_EQ(values[4], u"4");  // the header handed out by AddFile, then block 1 three times
  EXPECT_EQ(values[12], u"1" + sep + u"005");
  EXPECT_EQ(values[13], u"0");
}

TEST_F(BufferManagerTest, TransactionCountersGoToTheirRowsAndToTheSession) {
  TnxBufferManager& bm = fx_.BufMgr();
  auto session = TnxSessionStats::Create(u"u", u"c");
  session->Enter();
  const struct {
    TnxTransCounter counter;
    int row;
    TnxSessionStatsCounter session;
  } cases[] = {{tcCommit, 6, sscTransCommit},           {tcNestedCommit, 7, sscTransNestedCommit},
               {tcRollback, 8, sscTransRollback},       {tcNestedRollback, 9, sscTransNestedRollback},
               {tcDeadlock, 10, sscTransDeadlock},      {tcCorrupted, 11, sscTransCorrupted}};
  int times = 1;
  for (const auto& c : cases) {
    for (int i = 0; i < times; ++i) bm.CountTrans(c.counter);
    ++times;
  }
  session->Leave();
  platform::TStringList values;
  bm.GetStatsValues(values);
  TnxSessionStatsCounters counters{};
  session->Update(counters);
  times = 1;
  for (const auto& c : cases) {
    EXPECT_EQ(values[c.row], nxFormatGrouped(times)) << c.row;
    EXPECT_EQ(counters[c.session], times) << c.row;
    ++times;
  }
  session->Close();
}

// ---- temporary store ----

TEST_F(BufferManagerTest, TempStoreSizeSwitchesTheStoreOnAndOff) {
  TnxBufferManager& bm = fx_.BufMgr();
  EXPECT_EQ(bm.TempStoreSize(), 0);
  bm.SetTempStoreSize(64);
  EXPECT_EQ(bm.TempStoreSize(), 0) << "the store decides its own size";
  bm.SetTempStoreSize(0);
  EXPECT_EQ(bm.TempStoreSize(), 0);
}

TEST_F(BufferManagerTest, FailingTempStoreLeavesNoneAndRaises) {
  static const TnxTempStorageClass failing{
      u"TFailingStore",
      [](std::u16string_view) -> std::unique_ptr<TnxBaseTempStorage> {
        throw EnxBaseTempStorageException(nxeInvalidParameter, u"no store");
      },
      &TnxBaseTempStorage::GetStatsValuesStatic, &TnxBaseTempStorage::GetStatsCaptionsStatic};
  const TnxTempStorageClass* saved = nxDefaultTempStorageClass();
  nxSetDefaultTempStorageClass(&failing);
  TnxBufferManager& bm = fx_.BufMgr();
  EXPECT_EQ(ErrorCodeOf([&] { bm.SetTempStoreSize(10); }), nxeInvalidParameter);
  EXPECT_EQ(bm.TempStoreSize(), 0);
  platform::TStringList captions, values;
  TnxBufferManager::GetStatsCaptions(captions);
  bm.GetStatsValues(values);
  EXPECT_EQ(values.Count(), captions.Count());
  nxSetDefaultTempStorageClass(saved);
}

TEST_F(BufferManagerTest, MaxRAMRefusesABudgetBelowOneMB) {
  TnxBufferManager& bm = fx_.BufMgr();
  EXPECT_EQ(bm.MaxRAM(), 10);
  bm.SetMaxRAM(64);
  EXPECT_EQ(bm.MaxRAM(), 64);
  for (int32_t bad : {0, -1}) EXPECT_EQ(ErrorCodeOf([&] { bm.SetMaxRAM(bad); }), nxeInvalidParameter) << bad;
  EXPECT_EQ(bm.MaxRAM(), 64);
}

}  // namespace
}  // namespace revurov
