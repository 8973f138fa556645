#include "storage/files.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/session_stats.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/format.h"
#include "platform/os_error.h"
#include "platform/string_list.h"
#include "platform/text.h"
#include "storage/block_access.h"
#include "storage/buffer_manager.h"
#include "storage/encryption_engine.h"
#include "storage/file_header.h"
#include "storage/header_access.h"
#include "storage/replication_log.h"
#include "storage/startup.h"
#include "storage/transactions.h"
#include "support/exception_message.h"
#include "support/fault_file_ops.h"
#include "support/recording_file_ops.h"
#include "support/storage_fixture.h"
#include "support/temp_dir.h"

namespace revurov {
namespace {

using testing::Contains;
using testing::ErrorCodeOf;
using testing::TempDir;
using testing::TFaultFileOps;
using testing::TFileOp;
using testing::TRecordingFileOps;
using TEvent = TRecordingFileOps::TEvent;
using TKind = TRecordingFileOps::TKind;

constexpr uint32_t kBlock = 4096;

std::u16string U16(const std::string& s) { return platform::Utf8ToUtf16(s); }

// The file's own text of what a call raises, without the code suffix.
template <class F>
std::u16string TextOf(F&& f) {
  try {
    f();
  } catch (const EnxBaseFileException& e) {
    return e.ErrorString();
  }
  return u"(no exception)";
}

// A committed block as the buffer manager would queue it: its image and
// what the file did to it.
class TTestBlock final : public TnxQueuedBlock {
public:
  explicit TTestBlock(TnxBlockNumber aNumber, uint8_t aFill = 0) : number_(aNumber), image_(kBlock, aFill) {
    if (aFill == 0) image_[0] = static_cast<uint8_t>(aNumber + 1);
  }
  TnxBlockNumber BlockNumber() const noexcept override { return number_; }
  TnxLSN LastLSN() const noexcept override { return 1000 + number_; }
  uint8_t* PinImage() override {
    ++pins;
    return image_.data();
  }
  void Unpin() noexcept override { --pins; }
  std::vector<uint8_t>& EncryptionCookie() noexcept override { return cookie_; }
  void SetUnwritten(bool aUnwritten) noexcept override { unwritten = aUnwritten; }
  void RollbackUnwritten() override { ++rolledBack; }

  const std::vector<uint8_t>& Image() const { return image_; }
  bool unwritten = false;
  int pins = 0;
  int rolledBack = 0;

private:
  TnxBlockNumber number_;
  std::vector<uint8_t> image_;
  std::vector<uint8_t> cookie_;
};

class FilesTest : public ::testing::Test {
protected:
  // A file of aBlocks blocks, each filled with its number + 1.
  std::u16string MakeFile(const std::string& aName, uint32_t aBlocks) {
    std::string bytes;
    for (uint32_t n = 0; n < aBlocks; ++n) bytes.append(kBlock, static_cast<char>(n + 1));
    dir_.Write(aName, bytes);
    return U16(dir_.Path(aName));
  }

  std::vector<int64_t> WrittenBlocks(const TRecordingFileOps& aOps) {
    std::vector<int64_t> blocks;
    for (const TEvent& e : aOps.Events)
      if (e.Kind == TKind::WriteAt) blocks.push_back(e.Value / kBlock);
    return blocks;
  }

  // The sizes in blocks the file was grown to, by reserving space or, where
  // the file system cannot, by setting its size.
  std::vector<int64_t> GrownTo(const TRecordingFileOps& aOps) {
    std::vector<int64_t> sizes;
    for (const TEvent& e : aOps.Events)
      if (e.Kind == TKind::SetSize || e.Kind == TKind::Allocate) sizes.push_back(e.Value / kBlock);
    return sizes;
  }

  TnxStorageStartupGuard storage_;
  TempDir dir_;
};

TEST_F(FilesTest, FlushWritesExtensionFirstHeaderLastAndEachBlockOnce) {
  TRecordingFileOps ops(platform::PosixFileOps());
  TnxBaseFile file(MakeFile("t.nx1", 10), ops);
  file.OpenFile(omReadWrite, smExclusive, false, false);
  TTestBlock b0(0), b7(7), b2(2), b12(12), b7again(7);
  for (TTestBlock* b : {&b0, &b7, &b2, &b12, &b7again}) file.WriteBlock(*b);
  EXPECT_TRUE(b7.unwritten);
  file.PrepareFlushFile();
  file.FlushFile(false);

  ASSERT_FALSE(ops.Events.empty());
  EXPECT_NE(ops.Events.front().Kind, TKind::WriteAt);  // grown before the first write
  EXPECT_EQ(GrownTo(ops), (std::vector<int64_t>{13}));
  EXPECT_EQ(WrittenBlocks(ops), (std::vector<int64_t>{12, 7, 2, 0}));
  EXPECT_EQ(file.QueuedBlocks(), 0u);
  EXPECT_FALSE(b12.unwritten);
  EXPECT_EQ(b7.pins + b12.pins, 0);
  const std::string disk = dir_.Read("t.nx1");
  ASSERT_EQ(disk.size(), 13 * kBlock);
  EXPECT_EQ(static_cast<uint8_t>(disk[12 * kBlock]), 13);
  EXPECT_EQ(static_cast<uint8_t>(disk[11 * kBlock]), 0);  // the grown gap reads as zeros
}

struct TGrowthCase {
  const char* name;
  uint32_t blocks;
  int32_t initialSize;
  int32_t growSize;
  std::vector<TnxBlockNumber> queue;
  int64_t grownTo;  // in blocks; -1: not grown
};

TEST_F(FilesTest, FlushGrowsOnceByTheGrowRules) {
  const TGrowthCase cases[] = {
      {"grow step of 16", 90, 1, 16, {100}, 112},
      {"existing blocks of a 4-block file", 4, 1, 1, {3, 1}, -1},
      {"a 3-block file grows to at least 4", 3, 1, 1, {1}, 4},
      {"initial size pre-grows", 2, 20, 1, {1}, 21},
      {"a tenth of the size beats step 1", 200, 1, 1, {250}, 275},
      {"block above the initial size", 0, 50, 16, {60}, 64},
  };
  for (const TGrowthCase& c : cases) {
    SCOPED_TRACE(c.name);
    TRecordingFileOps ops(platform::PosixFileOps());
    TnxBaseFile file(MakeFile("g.nx1", c.blocks), ops);
    file.fiInitialSize = c.initialSize;
    file.fiGrowSize = c.growSize;
    file.OpenFile(omReadWrite, smExclusive, false, false);
    std::vector<TTestBlock> blocks(c.queue.begin(), c.queue.end());
    for (TTestBlock& b : blocks) file.WriteBlock(b);
    file.PrepareFlushFile();
    file.FlushFile(false);
    if (c.grownTo < 0) {
      EXPECT_TRUE(GrownTo(ops).empty());
    } else {
      EXPECT_EQ(GrownTo(ops), (std::vector<int64_t>{c.grownTo}));
      EXPECT_EQ(file.FileSize(), std::max<int64_t>(c.grownTo * kBlock, (c.queue.back() + 1) * int64_t{kBlock}));
    }
  }
}

TEST_F(FilesTest, FailSafeFlushSyncsAfterTheLastWriteAndKeepsTheDescriptor) {
  TRecordingFileOps ops(platform::PosixFileOps());
  TnxBaseFile file(MakeFile("s.nx1", 4), ops);
  file.OpenFile(omReadWrite, smExclusive, false, false);
  TTestBlock b(9), h(0);
  file.WriteBlock(h);
  file.WriteBlock(b);
  file.PrepareFlushFile();
  file.FlushFile(true);
  ASSERT_FALSE(ops.Events.empty());
  EXPECT_EQ(ops.Events.back(), (TEvent{TKind::DataSync, 0}));
  EXPECT_EQ(WrittenBlocks(ops), (std::vector<int64_t>{9, 0}));
  // Still exclusively ours: growth and the sync did not reopen the file.
  TnxBaseFile other(file.fiName);
  EXPECT_EQ(TextOf([&] { other.OpenFile(omReadOnly, smShared, false, false); }).substr(0, 36),
            u"INTERNAL: File could not be opened [");
}

// Write-through is the descriptor's (O_DSYNC), so a flush that is not
// fail-safe needs no sync of its own; a read-only open asks for none.
TEST_F(FilesTest, WriteThroughOpensForSynchronousWrites) {
  const struct {
    const char* name;
    TnxOpenMode mode;
    bool writeThru;
    bool dataSync;
  } cases[] = {
      {"read-write, write-through", omReadWrite, true, true},
      {"write-only, write-through", omWriteOnly, true, true},
      {"read-only, write-through", omReadOnly, true, false},
      {"read-write", omReadWrite, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TRecordingFileOps ops(platform::PosixFileOps());
    TnxBaseFile file(MakeFile("w.nx1", 4), ops);
    file.OpenFile(c.mode, smExclusive, c.writeThru, false);
    EXPECT_EQ(platform::HasFlag(ops.LastOpenFlags, platform::TOpenFlags::ofDataSync), c.dataSync);
    EXPECT_EQ(file.fiWriteThru, c.writeThru);
    if (c.mode == omReadOnly) continue;
    TTestBlock b(3);
    file.WriteBlock(b);
    file.PrepareFlushFile();
    file.FlushFile(false);
    EXPECT_EQ(WrittenBlocks(ops), (std::vector<int64_t>{3}));
    for (const TEvent& e : ops.Events) EXPECT_NE(e.Kind, TKind::DataSync);
  }
}

// Consecutive numbers go out in one gathered write, at most 64 blocks to
// one; gaps and the class order split runs, and every block lands at its
// own offset.
TEST_F(FilesTest, FlushWritesRunsOfConsecutiveBlocksTogether) {
  TRecordingFileOps ops(platform::PosixFileOps());
  TnxBaseFile file(MakeFile("r.nx1", 100), ops);
  file.OpenFile(omReadWrite, smExclusive, false, false);
  std::vector<TnxBlockNumber> numbers = {0, 1, 2, 90, 92};
  for (TnxBlockNumber n = 3; n < 73; ++n) numbers.push_back(n);
  std::vector<TTestBlock> blocks;
  blocks.reserve(numbers.size());
  for (TnxBlockNumber n : numbers) blocks.emplace_back(n, static_cast<uint8_t>(n + 1));
  for (TTestBlock& b : blocks) file.WriteBlock(b);
  file.PrepareFlushFile();
  file.FlushFile(false);
  // 3..66, 67..72, 90, 92, then 1..2 and the header.
  EXPECT_EQ(ops.GatheredWrites, 6);
  EXPECT_EQ(WrittenBlocks(ops).size(), numbers.size());
  const std::string disk = dir_.Read("r.nx1");
  ASSERT_EQ(disk.size(), 100 * kBlock);
  for (TnxBlockNumber n : numbers) {
    EXPECT_EQ(disk.substr(size_t{n} * kBlock, kBlock), std::string(kBlock, static_cast<char>(n + 1))) << n;
  }
  for (const TTestBlock& b : blocks) {
    EXPECT_FALSE(b.unwritten);
    EXPECT_EQ(b.pins, 0);
  }
}

TEST_F(FilesTest, FailedFlushLeavesTheQueueForRollback) {
  struct TCase {
    const char* name;
    TFileOp op;
    int k;
    bool failSafe;
  };
  const TCase cases[] = {
      {"first write", TFileOp::WriteAt, 1, false},
      {"third write", TFileOp::WriteAt, 3, false},
      {"the sync", TFileOp::DataSync, 1, true},
      {"reserving space", TFileOp::Allocate, 1, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TFaultFileOps ops;
    ops.FailCall(c.op, c.k, ENOSPC);
    TnxBaseFile file(MakeFile("f.nx1", 8), ops);
    file.OpenFile(omReadWrite, smExclusive, false, false);
    TTestBlock b3(3), b4(4), b5(5), b0(0), b9(9);
    for (TTestBlock* b : {&b3, &b4, &b5, &b0, &b9}) file.WriteBlock(*b);
    try {
      file.PrepareFlushFile();
      file.FlushFile(c.failSafe);
      ADD_FAILURE() << "flush succeeded";
    } catch (const EnxBaseFileException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeWriteFailure);
      EXPECT_TRUE(Contains(e.Message(), u", error 28, " + platform::SysErrorMessage(ENOSPC) + u"]"))
          << platform::Utf16ToUtf8(e.Message());
    }
    EXPECT_EQ(file.QueuedBlocks(), 5u);
    EXPECT_EQ(b3.pins + b4.pins + b5.pins + b0.pins + b9.pins, 0);
    file.RollbackUnwritten();
    EXPECT_EQ(file.QueuedBlocks(), 0u);
    for (TTestBlock* b : {&b3, &b4, &b5, &b0, &b9}) EXPECT_EQ(b->rolledBack, 1);
  }
}

// Whether two opens may coexist, by the Windows rule: each side's share
// mode must allow every access of the other.
bool Compatible(TnxOpenMode aMode1, TnxShareMode aShare1, TnxOpenMode aMode2, TnxShareMode aShare2) {
  auto allows = [](TnxShareMode share, TnxOpenMode mode) {
    const bool read = mode != omWriteOnly;
    const bool write = mode != omReadOnly;
    const bool shareRead = share != smExclusive;
    const bool shareWrite = share == smShared;
    return (!read || shareRead) && (!write || shareWrite);
  };
  return allows(aShare1, aMode2) && allows(aShare2, aMode1);
}

constexpr TnxOpenMode kModes[] = {omReadOnly, omWriteOnly, omReadWrite};
constexpr TnxShareMode kShares[] = {smExclusive, smShared, smShareRead};

TEST_F(FilesTest, ShareModesComposeWithinOneProcess) {
  const std::u16string name = MakeFile("share.nx1", 1);
  for (TnxOpenMode m1 : kModes)
    for (TnxShareMode s1 : kShares)
      for (TnxOpenMode m2 : kModes)
        for (TnxShareMode s2 : kShares) {
          SCOPED_TRACE(::testing::Message() << "first " << int(m1) << "/" << int(s1) << " second " << int(m2) << "/"
                                            << int(s2));
          TnxBaseFile first(name), second(name);
          first.OpenFile(m1, s1, false, false);
          bool opened = true;
          try {
            second.OpenFile(m2, s2, false, false);
          } catch (const EnxBaseFileException& e) {
            opened = false;
            EXPECT_EQ(e.ErrorCode(), nxeCannotAccessFile);
            EXPECT_FALSE(second.FileIsOpen());
          }
          EXPECT_EQ(opened, Compatible(m1, s1, m2, s2));
          // A refused open leaves the first one's locks in force.
          if (!opened) {
            first.CloseFile();
            TnxBaseFile third(name);
            EXPECT_NO_THROW(third.OpenFile(m2, s2, false, false));
          }
        }
}

TEST_F(FilesTest, ShareModesComposeAcrossProcesses) {
  const std::u16string name = MakeFile("share2.nx1", 1);
  for (TnxOpenMode m1 : kModes)
    for (TnxShareMode s1 : kShares) {
      TnxBaseFile first(name);
      first.OpenFile(m1, s1, false, false);
      for (TnxOpenMode m2 : kModes)
        for (TnxShareMode s2 : kShares) {
          SCOPED_TRACE(::testing::Message() << "first " << int(m1) << "/" << int(s1) << " second " << int(m2) << "/"
                                            << int(s2));
          const pid_t child = fork();
          ASSERT_GE(child, 0);
          if (child == 0) {
            int code = 2;
            try {
              TnxBaseFile second(name);
              second.OpenFile(m2, s2, false, false);
              code = 0;
            } catch (const EnxBaseFileException& e) {
              code = e.ErrorCode() == nxeCannotAccessFile ? 1 : 3;
            } catch (...) {
            }
            _exit(code);
          }
          int status = 0;
          ASSERT_EQ(waitpid(child, &status, 0), child);
          ASSERT_TRUE(WIFEXITED(status));
          EXPECT_EQ(WEXITSTATUS(status), Compatible(m1, s1, m2, s2) ? 0 : 1);
        }
    }
}

TEST_F(FilesTest, ClosingAnotherDescriptorOfTheFileKeepsTheShareLocks) {
  const std::u16string name = MakeFile("keep.nx1", 1);
  TnxBaseFile first(name);
  first.OpenFile(omReadWrite, smExclusive, false, false);
  {
    TnxBaseFile refused(name);
    EXPECT_THROW(refused.OpenFile(omReadOnly, smShared, false, false), EnxBaseFileException);
    platform::TFile raw;
    ASSERT_EQ(raw.Open(platform::Utf16ToUtf8(name), platform::TOpenFlags::ofRead), 0);
  }  // both descriptors closed here
  TnxBaseFile again(name);
  EXPECT_THROW(again.OpenFile(omReadOnly, smShared, false, false), EnxBaseFileException);
}

TEST_F(FilesTest, OpenAndIoErrors) {
  const std::u16string name = MakeFile("e.nx1", 2);
  TnxBaseFile file(name);
  file.OpenFile(omReadWrite, smShared, false, false);
  try {
    file.OpenFile(omReadWrite, smShared, false, false);
    ADD_FAILURE();
  } catch (const EnxBaseFileException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeInvalidFileData);
  }
  uint8_t buffer[kBlock];
  try {
    file.ReadFileExactAt(kBlock + 100, kBlock, buffer);
    ADD_FAILURE();
  } catch (const EnxBaseFileException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeReadFailure);
    EXPECT_EQ(e.ErrorString(),
              u"INTERNAL: Could not read exact number of bytes from file [" + name + u", 4096 bytes]");
  }
  file.CloseFile();

  TnxBaseFile missing(U16(dir_.Path("nope.nx1")));
  const std::u16string expected = u"INTERNAL: File could not be opened [" + missing.fiName + u", error 2, " +
                                  platform::SysErrorMessage(ENOENT) + u"]";
  EXPECT_EQ(TextOf([&] { missing.OpenFile(omReadOnly, smShared, false, false); }),
            expected);
  // I/O after the failed open names the recorded error; closing forgets it.
  EXPECT_EQ(TextOf([&] { missing.ReadFileAt(0, kBlock, buffer); }), expected);
  missing.CloseFile();
  try {
    missing.FileSize();
    ADD_FAILURE();
  } catch (const EnxBaseFileException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeInvalidFileData);
  }
}

TEST_F(FilesTest, AFileWeMayNotWriteOpensReadOnly) {
  for (const int refusal : {EACCES, EROFS}) {
    SCOPED_TRACE(refusal);
    TFaultFileOps ops;
    ops.FailCall(TFileOp::Open, 1, refusal);  // as for a read-only file or volume
    TnxBaseFile file(MakeFile("ro.nx1", 1), ops);
    file.OpenFile(omReadWrite, smShared, false, false);
    EXPECT_EQ(file.fiOpenMode, omReadOnly);
    uint8_t buffer[kBlock] = {};
    EXPECT_THROW(file.WriteFileExactAt(0, kBlock, buffer), EnxBaseFileException);
  }
  // Creating is not quietly turned into reading.
  TFaultFileOps ops;
  ops.FailCall(TFileOp::Open, 1, EACCES);
  TnxBaseFile created(U16(dir_.Path("new.nx1")), ops);
  EXPECT_THROW(created.OpenFile(omReadWrite, smShared, false, true), EnxBaseFileException);
}

TEST_F(FilesTest, NamesAndIdentity) {
  const std::u16string name = MakeFile("n.nx1", 1);
  TnxBaseFile file(name);
  const std::u16string folder = U16(dir_.Dir());
  EXPECT_EQ(file.fiPath, folder);
  EXPECT_EQ(file.FileName(), name);
  EXPECT_EQ(file.ExpandRelativeFileName(u"  other.nx1 "), folder + u"other.nx1");
  EXPECT_EQ(file.ExpandRelativeFileName(u" /abs/x.nx1"), u"/abs/x.nx1");
  EXPECT_EQ(file.ExpandRelativeFileName(u"sub/x.nx1"), folder + u"sub/x.nx1");

  ASSERT_EQ(link(dir_.Path("n.nx1").c_str(), dir_.Path("hard.nx1").c_str()), 0);
  MakeFile("other.nx1", 1);
  TnxBaseFile same(U16(dir_.Path("hard.nx1"))), other(U16(dir_.Path("other.nx1")));
  for (TnxBaseFile* f : {&file, &same, &other}) f->OpenFile(omReadOnly, smShared, false, false);
  auto tail = [](const std::u16string& id) { return id.substr(id.find(u';')); };
  EXPECT_EQ(tail(file.GetFileID()), tail(same.GetFileID()));
  EXPECT_NE(tail(file.GetFileID()), tail(other.GetFileID()));
  EXPECT_GT(file.CalcMaxFileSize(), int64_t{1} << 32);
  // Dictionaries keep this spelling: device and inode as Format's "%.16x"
  // writes them, then the birth time in 16 and 8 digits.
  struct stat st {};
  ASSERT_EQ(stat(dir_.Path("n.nx1").c_str(), &st), 0);
  const std::u16string id = file.GetFileID();
  const std::u16string head =
      name + platform::Format(u";%.16x;%.16x;", {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
  EXPECT_EQ(id.substr(0, head.size()), head);
  ASSERT_EQ(id.size(), head.size() + 16 + 1 + 8);
  EXPECT_EQ(id[head.size() + 16], u';');
  EXPECT_EQ(id.find_first_not_of(u"0123456789ABCDEF;", head.size()), std::u16string::npos);
}

// XOR with the block number (the engine sees the offset); block 0 gets a marker byte as its "checksum";
// a block whose first byte is 0xEE cannot be deciphered.
class TXorEngine final : public TnxBaseEncryptionEngine {
public:
  void CodeBlock(const void* aIn, void* aOut, uint32_t aLen, uint32_t aRandomizer) override {
    for (uint32_t i = 0; i < aLen; ++i)
      static_cast<uint8_t*>(aOut)[i] = static_cast<const uint8_t*>(aIn)[i] ^ static_cast<uint8_t>(aRandomizer / kBlock);
  }
  void DecodeBlock(void* aBlock, uint32_t aLen, uint32_t aRandomizer) override {
    if (static_cast<uint8_t*>(aBlock)[0] == 0xEE) throw EnxBaseEncryptionEngineException(nxeCorruptFile);
    CodeBlock(aBlock, aBlock, aLen, aRandomizer);
  }
  void UpdateHeaderChecksum(void* aHeader, uint32_t aLen) override { static_cast<uint8_t*>(aHeader)[aLen - 1] = 0x5A; }
  void VerifyHeaderChecksum(void* aHeader, uint32_t aLen) override {
    if (static_cast<uint8_t*>(aHeader)[aLen - 1] != 0x5A) throw EnxBaseEncryptionEngineException(nxeCorruptFile);
  }
};

TEST_F(FilesTest, EncryptedFlushCodesBlocksAndIterationDecodesThem) {
  const std::u16string name = MakeFile("c.nx1", 0);
  TnxBaseFile file(name);
  file.fiEncryptionEngine = std::make_unique<TXorEngine>();
  file.OpenFile(omReadWrite, smExclusive, false, true);
  TTestBlock h(0, 0x11), b1(1, 0x22), b2(2, 0x33), b3(3, 0x44);
  for (TTestBlock* b : {&h, &b1, &b2, &b3}) file.WriteBlock(*b);
  file.PrepareFlushFile();
  file.FlushFile(true);

  const std::string disk = dir_.Read("c.nx1");
  ASSERT_EQ(disk.size(), 4 * kBlock);
  EXPECT_EQ(static_cast<uint8_t>(disk[0]), 0x11);  // the header stays plain
  EXPECT_EQ(static_cast<uint8_t>(disk[kBlock - 1]), 0x5A);
  EXPECT_EQ(static_cast<uint8_t>(disk[2 * kBlock]), 0x33 ^ 2);

  std::vector<int> firstBytes;
  const auto result = file.IterateBlocks(nullptr, [&](void*, TnxBlockNumber, PnxBlock block) {
    firstBytes.push_back(block ? block[1] : -1);
    return birContinue;
  });
  EXPECT_EQ(result, birContinue);
  EXPECT_EQ(firstBytes, (std::vector<int>{0x11, 0x22, 0x33, 0x44}));
  firstBytes.clear();
  file.IterateBlocksRaw(nullptr, [&](void*, TnxBlockNumber, PnxBlock block) {
    firstBytes.push_back(block[1]);
    return birContinue;
  });
  EXPECT_EQ(firstBytes, (std::vector<int>{0x11, 0x22 ^ 1, 0x33 ^ 2, 0x44 ^ 3}));

  // An undecipherable block and a broken header become nil; the rest go on.
  const uint8_t bad = 0xEE;
  file.WriteFileExactAt(2 * kBlock, 1, &bad);
  const uint8_t zero = 0;
  file.WriteFileExactAt(kBlock - 1, 1, &zero);
  std::vector<bool> present;
  file.IterateBlockCookies(nullptr, [&](void*, TnxBlockNumber, PnxBlock block, const std::vector<uint8_t>&) {
    present.push_back(block != nullptr);
    return birContinue;
  });
  EXPECT_EQ(present, (std::vector<bool>{false, true, false, true}));
}

TEST_F(FilesTest, IterationStopsAndPropagatesWhatIsNotABadBlock) {
  TnxBaseFile empty(MakeFile("empty.nx1", 0));
  empty.OpenFile(omReadOnly, smShared, false, false);
  int calls = 0;
  auto count = [&](void*, TnxBlockNumber, PnxBlock) {
    ++calls;
    return birContinue;
  };
  EXPECT_EQ(empty.IterateBlocks(nullptr, count), birContinue);
  EXPECT_EQ(calls, 0);

  // Ten blocks and a torn tail that is no block.
  std::u16string name = MakeFile("ten.nx1", 10);
  {
    std::string bytes = dir_.Read("ten.nx1");
    bytes.append(100, 'x');
    dir_.Write("ten.nx1", bytes);
  }
  TnxBaseFile ten(name);
  ten.OpenFile(omReadOnly, smShared, false, false);
  std::vector<TnxBlockNumber> seen;
  EXPECT_EQ(ten.IterateBlocks(nullptr,
                              [&](void*, TnxBlockNumber n, PnxBlock block) {
                                EXPECT_EQ(block[0], n + 1);
                                seen.push_back(n);
                                return n == 3 ? birStop : birContinue;
                              }),
            birStop);
  EXPECT_EQ(seen, (std::vector<TnxBlockNumber>{0, 1, 2, 3}));

  // A failing disk and a cancelled operation end the run.
  TFaultFileOps ops;
  ops.FailCall(TFileOp::ReadAt, 5, EIO);
  TnxBaseFile failing(name, ops);
  failing.OpenFile(omReadOnly, smShared, false, false);
  calls = 0;
  try {
    failing.IterateBlocks(nullptr, count);
    ADD_FAILURE();
  } catch (const EnxBaseFileException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeReadFailure);
  }
  EXPECT_EQ(calls, 4);
  try {
    ten.IterateBlocksRaw(nullptr, [](void*, TnxBlockNumber, PnxBlock) -> TnxBlockIteratorResult {
      throw EnxServerException(nxeTimeout);
    });
    ADD_FAILURE();
  } catch (const EnxServerException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeTimeout);
  }
}

// A file kept only in the cache: no disk is touched by opening, flushing or
// closing, and I/O that would need the disk raises instead of using a
// descriptor it does not have.
TEST_F(FilesTest, TemporaryFileTouchesNoDisk) {
  TFaultFileOps ops;
  TnxBaseFile file(U16(dir_.Path("never-created.nx1")), ops);
  file.fiAttributes = nxfaTemporary;
  file.OpenFile(omReadWrite, smExclusive, true, true);
  EXPECT_TRUE(file.FileIsOpen());
  EXPECT_EQ(file.FileName(), u"(memory)");
  const std::u16string id = file.GetFileID();
  EXPECT_EQ(id.size(), 8u);
  EXPECT_EQ(id.find_first_not_of(u"0123456789abcdefABCDEF"), std::u16string::npos);
  TnxBaseFile second(u"other");
  second.fiAttributes = nxfaTemporary;
  EXPECT_NE(second.GetFileID(), id);
  EXPECT_EQ(file.FileSize(), 0);

  TTestBlock b0(0), b5(5);
  file.WriteBlock(b0);
  file.WriteBlock(b5);
  file.PrepareFlushFile();
  file.FlushFile(true);
  EXPECT_EQ(file.QueuedBlocks(), 0u);
  EXPECT_FALSE(b0.unwritten);
  EXPECT_FALSE(b5.unwritten);
  EXPECT_EQ(b0.pins + b5.pins, 0);

  uint8_t buffer[kBlock] = {};
  const std::u16string noDisk = u", error 9, " + platform::SysErrorMessage(EBADF) + u"]";
  const struct {
    const char* name;
    uint32_t code;
    std::function<void()> call;
  } refused[] = {
      {"read at", nxeReadFailure, [&] { file.ReadFileAt(0, kBlock, buffer); }},
      {"write at", nxeWriteFailure, [&] { file.WriteFileExactAt(0, kBlock, buffer); }},
      {"read", nxeReadFailure, [&] { file.ReadFile(kBlock, buffer); }},
      {"write", nxeWriteFailure, [&] { file.WriteFileExact(kBlock, buffer); }},
      {"end", nxeReadFailure, [&] { file.PositionFileEOF(); }},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    try {
      c.call();
      ADD_FAILURE();
    } catch (const EnxBaseFileException& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_TRUE(Contains(e.ErrorString(), noDisk)) << platform::Utf16ToUtf8(e.ErrorString());
    }
  }
  file.CloseFile();
  EXPECT_FALSE(file.FileIsOpen());
  file.OpenFile(omReadOnly, smShared, false, false);
  file.CloseFile();
  for (int op = 0; op < static_cast<int>(testing::kFileOpCount); ++op)
    EXPECT_EQ(ops.Calls(static_cast<TFileOp>(op)), 0) << op;
  EXPECT_EQ(dir_.Count(), 0u);
}

// The other files read and write at one shared position; the "At" calls
// leave it alone.
TEST_F(FilesTest, PositionBasedCallsShareOnePosition) {
  const std::u16string name = MakeFile("p.dat", 2);
  TnxBaseFile file(name);
  file.OpenFile(omReadWrite, smExclusive, false, false);
  uint8_t buffer[kBlock];
  file.ReadFileExact(kBlock, buffer);
  EXPECT_EQ(buffer[0], 1);
  file.ReadFileAt(0, kBlock, buffer);
  EXPECT_EQ(file.ReadFile(kBlock, buffer), kBlock);
  EXPECT_EQ(buffer[0], 2);
  EXPECT_EQ(file.ReadFile(kBlock, buffer), 0u);
  EXPECT_EQ(TextOf([&] { file.ReadFileExact(10, buffer); }),
            u"INTERNAL: Could not read exact number of bytes from file [" + name + u", 10 bytes]");
  const uint8_t tail[3] = {7, 8, 9};
  file.WriteFileExact(3, tail);
  EXPECT_EQ(file.PositionFileEOF(), 2 * kBlock + 3);
  file.WriteFileExact(3, tail);
  EXPECT_EQ(file.FileSize(), 2 * kBlock + 6);
  EXPECT_EQ(dir_.Read("p.dat").substr(2 * kBlock), std::string("\x07\x08\x09\x07\x08\x09"));
  file.CloseFile();

  const struct {
    const char* name;
    TFileOp op;
    uint32_t code;
    std::u16string text;
    std::function<void(TnxBaseFile&)> call;
  } failures[] = {
      {"read", TFileOp::Read, nxeReadFailure, u"INTERNAL: Error when reading from file [",
       [&](TnxBaseFile& f) { f.ReadFile(kBlock, buffer); }},
      {"write", TFileOp::Write, nxeWriteFailure, u"INTERNAL: Error when writing to file [",
       [&](TnxBaseFile& f) { f.WriteFileExact(3, tail); }},
      {"seek", TFileOp::Seek, nxeReadFailure, u"INTERNAL: Error when seeking to position in file [",
       [&](TnxBaseFile& f) { f.PositionFileEOF(); }},
  };
  for (const auto& c : failures) {
    SCOPED_TRACE(c.name);
    TFaultFileOps ops;
    ops.FailCall(c.op, 1, EIO);
    TnxBaseFile failing(name, ops);
    failing.OpenFile(omReadWrite, smExclusive, false, false);
    try {
      c.call(failing);
      ADD_FAILURE();
    } catch (const EnxBaseFileException& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      const std::u16string offset = c.op == TFileOp::Seek ? u", offset 0" : u"";
      EXPECT_EQ(e.ErrorString(),
                c.text + name + offset + u", error 5, " + platform::SysErrorMessage(EIO) + u"]");
    }
  }
}

// Table files have no position: those calls raise with "not supported",
// while the positioned ones work.
TEST_F(FilesTest, TableFilesRefusePositionBasedCalls) {
  const std::u16string name = MakeFile("t.nx1", 1);
  TnxOverlappedLinuxFile file(name);
  file.OpenFile(omReadWrite, smExclusive, false, false);
  uint8_t buffer[kBlock] = {};
  const std::u16string suffix = u", error 95, " + platform::SysErrorMessage(EOPNOTSUPP) + u"]";
  const struct {
    const char* name;
    uint32_t code;
    std::u16string text;
    std::function<void()> call;
  } cases[] = {
      {"ReadFile", nxeReadFailure, u"INTERNAL: Error when reading from file [" + name + suffix,
       [&] { file.ReadFile(kBlock, buffer); }},
      {"ReadFileExact", nxeReadFailure, u"INTERNAL: Error when reading from file [" + name + suffix,
       [&] { file.ReadFileExact(kBlock, buffer); }},
      {"WriteFileExact", nxeWriteFailure, u"INTERNAL: Error when writing to file [" + name + suffix,
       [&] { file.WriteFileExact(kBlock, buffer); }},
      {"PositionFileEOF", nxeWriteFailure,
       u"INTERNAL: Error when seeking to position in file [" + name + u", offset 0" + suffix,
       [&] { file.PositionFileEOF(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.call();
      ADD_FAILURE();
    } catch (const EnxOverlappedLinuxFileException& e) {
      EXPECT_EQ(e.ErrorCode(), c.code);
      EXPECT_EQ(e.ErrorString(), c.text);
    }
  }
  file.ReadFileExactAt(0, kBlock, buffer);
  EXPECT_EQ(buffer[0], 1);
}

std::unique_ptr<TnxBaseFile> MakeMarkedFile(std::u16string_view aName, const std::u16string* aRealFolder) {
  auto file = std::make_unique<TnxBaseFile>(aName, platform::FileOps(), aRealFolder);
  file->fiGrowSize = 77;
  return file;
}

// Alloc makes the table-file class for tables and the other class for the
// rest, and names the file with its folder's real path.
TEST_F(FilesTest, AllocChoosesTheClassAndResolvesTheFolder) {
  ASSERT_EQ(nxTableFileClass(), &TnxOverlappedLinuxFile::ClassInfo());
  ASSERT_EQ(nxOtherFileClass(), &TnxBaseFile::ClassInfo());
  const std::string real = dir_.Path("real");
  ASSERT_EQ(mkdir(real.c_str(), 0700), 0);
  ASSERT_EQ(symlink(real.c_str(), dir_.Path("alias").c_str()), 0);
  const std::u16string viaLink = U16(dir_.Path("alias")) + u"/../alias/./t.nx1";

  auto table = TnxBaseFile::Alloc(true, viaLink, nullptr);
  EXPECT_NE(dynamic_cast<TnxOverlappedLinuxFile*>(table.get()), nullptr);
  EXPECT_EQ(table->fiName, viaLink);
  EXPECT_EQ(table->fiPath, U16(real) + u"/");
  EXPECT_EQ(table->FileName(), U16(real) + u"/t.nx1");
  EXPECT_EQ(table->fiMaxID, INT32_MAX);
  EXPECT_EQ(table->fiInitialSize, 1);
  EXPECT_EQ(table->fiGrowSize, 1);
  auto other = TnxBaseFile::Alloc(false, viaLink, nullptr);
  EXPECT_EQ(dynamic_cast<TnxOverlappedLinuxFile*>(other.get()), nullptr);

  // A folder that does not exist yet is made absolute, "." and ".." taken out.
  auto missing = TnxBaseFile::Alloc(false, U16(dir_.Dir()) + u"gone/./x/../y.nx1", nullptr);
  EXPECT_EQ(missing->fiPath, U16(dir_.Dir()) + u"gone/");
  EXPECT_EQ(missing->ExpandRelativeFileName(u"z"), U16(dir_.Dir()) + u"gone/z");

  // A file of the same folder spelling takes over the sibling's resolution
  // (here a forged one shows it was not asked again); another spelling is
  // resolved on its own.
  table->fiPath = u"/taken/over/";
  const std::u16string sibling = U16(dir_.Path("alias")) + u"/../alias/./t.nxb";
  EXPECT_EQ(TnxBaseFile::Alloc(true, sibling, nullptr, table.get())->fiPath, u"/taken/over/");
  EXPECT_EQ(TnxBaseFile::Alloc(true, U16(real) + u"/t.nxb", nullptr, table.get())->fiPath, U16(real) + u"/");
  EXPECT_EQ(TnxBaseFile::Alloc(true, sibling, nullptr)->fiPath, U16(real) + u"/");

  const TnxFileClass marked{u"marked", &MakeMarkedFile};
  nxSetTableFileClass(&marked);
  EXPECT_EQ(TnxBaseFile::Alloc(true, viaLink, nullptr)->fiGrowSize, 77);
  EXPECT_EQ(TnxBaseFile::Alloc(false, viaLink, nullptr)->fiGrowSize, 1);
  nxSetTableFileClass(nullptr);
  EXPECT_EQ(dynamic_cast<TnxOverlappedLinuxFile*>(TnxBaseFile::Alloc(true, viaLink, nullptr).get()), nullptr);
  nxSetOtherFileClass(nullptr);
  try {
    TnxBaseFile::Alloc(false, viaLink, nullptr);
    ADD_FAILURE();
  } catch (const EnxBaseFileException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeInvalidFileData);
  }
  nxSetTableFileClass(&TnxOverlappedLinuxFile::ClassInfo());
  nxSetOtherFileClass(&TnxBaseFile::ClassInfo());
}

TEST_F(FilesTest, OpeningThroughASymbolicLinkMarksTheFile) {
  MakeFile("target.nx1", 1);
  ASSERT_EQ(symlink(dir_.Path("target.nx1").c_str(), dir_.Path("link.nx1").c_str()), 0);
  TnxBaseFile link(U16(dir_.Path("link.nx1"))), plain(U16(dir_.Path("target.nx1")));
  link.OpenFile(omReadOnly, smShared, false, false);
  plain.OpenFile(omReadOnly, smShared, false, false);
  EXPECT_TRUE(link.fiIsLink);
  EXPECT_FALSE(plain.fiIsLink);
}

// The running table checksum goes into block 0 whenever the header is
// written through the encryption engine, in a flush or directly.
TEST_F(FilesTest, HeaderWritesCarryTheTableChecksum) {
  constexpr TnxBlockSignature kNX2{'N', 'X', '!', '2'};
  for (const bool direct : {false, true}) {
    SCOPED_TRACE(direct ? "direct" : "flush");
    TnxBaseFile file(MakeFile("k.nx1", 0));
    file.OpenFile(omReadWrite, smExclusive, false, true);
    TTestBlock header(0, 0);
    uint8_t* image = header.PinImage();
    header.Unpin();
    file.fiHeaderAccessFactory = TnxBaseFileHeaderAccessFactory::CreateFactory(kNX2, image, file);
    file.fiEncryptionEngine = std::make_unique<TXorEngine>();
    file.fiCheckSumSize = 8;
    file.fiChecksum = {1, 2, 3, 4, 5, 6, 7, 8};
    const size_t area = file.fiBlockSizeBytes - 8 - 1;
    if (direct) {
      std::vector<uint8_t> bytes = header.Image();
      std::vector<uint8_t> cookie;
      file.WriteEncryptFileExactAt(0, kBlock, bytes.data(), cookie);
    } else {
      file.WriteBlock(header);
      file.PrepareFlushFile();
      file.FlushFile(false);
    }
    const std::string disk = dir_.Read("k.nx1");
    ASSERT_GE(disk.size(), kBlock);
    EXPECT_EQ(disk.substr(area, 8), std::string("\x01\x02\x03\x04\x05\x06\x07\x08"));
    EXPECT_EQ(static_cast<uint8_t>(disk[kBlock - 1]), 0x5A);  // the header checksum after it
  }
  // Without a table checksum the area is left as it is.
  TnxBaseFile file(MakeFile("n.nx1", 0));
  TTestBlock header(0, 0);
  uint8_t* image = header.PinImage();
  header.Unpin();
  file.fiHeaderAccessFactory = TnxBaseFileHeaderAccessFactory::CreateFactory(kNX2, image, file);
  const std::vector<uint8_t> before = header.Image();
  file.fiUpdateTableChecksum(image);
  EXPECT_EQ(header.Image(), before);
}

// Records what a flush tells the log, as text.
class TRecordingLog final : public TnxBaseReplicationLog {
public:
  void BeginTrans(TnxLSN) override { lines.push_back("trans"); }
  void EndTrans() override { lines.push_back("end trans"); }
  void BeginFile(std::u16string_view aAlias, std::u16string_view aTable, std::u16string_view aFile,
                 TnxBlockSize aBlockSize) override {
    lines.push_back("file " + platform::Utf16ToUtf8(aAlias) + " " + platform::Utf16ToUtf8(aTable) + " " +
                    platform::Utf16ToUtf8(aFile) + " " + std::to_string(aBlockSize));
  }
  void EndFile() override { lines.push_back("end file"); }
  void WriteBlock(TnxBlockNumber aBlockNumber, TnxLSN aOldLSN, PnxBlock aBlock) override {
    lines.push_back("block " + std::to_string(aBlockNumber) + " " + std::to_string(aOldLSN) + " " +
                    std::to_string(aBlock[1]));
  }
  std::vector<std::string> lines;
};

// Only a file marked for the log reports to it: every block in the order
// written, with its old LSN and the image as it goes to disk; a failed
// write ends the report without EndFile.
TEST_F(FilesTest, FlushReportsMarkedFilesToTheReplicationLog) {
  for (const bool marked : {false, true}) {
    SCOPED_TRACE(marked);
    TnxBaseFile file(MakeFile("l.nx1", 4));
    file.fiEncryptionEngine = std::make_unique<TXorEngine>();
    if (marked) file.fiAttributes = nxfaReplicationLog;
    file.fiLogAlias = u"alias";
    file.fiLogTable = u"table";
    file.fiLogFile = u"l.nx1";
    file.OpenFile(omReadWrite, smExclusive, false, false);
    TTestBlock b0(0, 0x10), b3(3, 0x40), b2(2, 0x30);
    for (TTestBlock* b : {&b0, &b3, &b2}) file.WriteBlock(*b);
    TRecordingLog log;
    file.PrepareFlushFile();
    file.FlushFile(false, &log);
    if (!marked) {
      EXPECT_TRUE(log.lines.empty());
      continue;
    }
    EXPECT_EQ(log.lines, (std::vector<std::string>{"file alias table l.nx1 0",
                                                   "block 3 1003 " + std::to_string(0x40 ^ 3),
                                                   "block 2 1002 " + std::to_string(0x30 ^ 2), "block 0 1000 16",
                                                   "end file"}));
    // Nothing queued: nothing to tell.
    log.lines.clear();
    file.FlushFile(false, &log);
    EXPECT_TRUE(log.lines.empty());
  }
  TFaultFileOps ops;
  ops.FailCall(TFileOp::WriteAt, 2, EIO);
  TnxBaseFile file(MakeFile("f.nx1", 8), ops);
  file.fiAttributes = nxfaReplicationLog;
  file.OpenFile(omReadWrite, smExclusive, false, false);
  TTestBlock b3(3), b5(5);
  file.WriteBlock(b3);
  file.WriteBlock(b5);
  TRecordingLog log;
  file.PrepareFlushFile();
  EXPECT_THROW(file.FlushFile(false, &log), EnxBaseFileException);
  EXPECT_EQ(log.lines, (std::vector<std::string>{"file    0", "block 3 1003 0", "block 5 1005 0"}));
}

TEST_F(FilesTest, FlushCountsBlocksWrittenForTheSession) {
  auto stats = TnxSessionStats::Create(u"u", u"c");
  stats->Enter();
  TnxBaseFile file(MakeFile("s.nx1", 10));
  file.OpenFile(omReadWrite, smExclusive, false, false);
  TTestBlock b0(0), b4(4), b5(5), b5again(5), b12(12);
  for (TTestBlock* b : {&b0, &b4, &b5, &b5again, &b12}) file.WriteBlock(*b);
  file.PrepareFlushFile();
  file.FlushFile(false);
  TnxSessionStatsCounters counters{};
  stats->Update(counters);
  stats->Leave();
  stats->Close();
  EXPECT_EQ(counters[sscBlocksWritten], 4);
  EXPECT_EQ(counters[sscBlocksRead], 0);
}

// The buffer manager's blocks-read statistic.
int64_t BlocksReadOf(TnxBufferManager& aBm) {
  platform::TStringList captions, values;
  TnxBufferManager::GetStatsCaptions(captions);
  aBm.GetStatsValues(values);
  for (int32_t i = 0; i < captions.Count(); ++i) {
    if (captions[i] != u"Blocks Read") continue;
    std::string text = platform::Utf16ToUtf8(values[i]);
    std::erase_if(text, [](char c) { return c < '0' || c > '9'; });
    return std::stoll(text);
  }
  return -1;
}

// A block read decodes the block at its offset, hands out its cookie and
// counts once for the buffer manager and the session; a read that fails,
// short or undecipherable, counts nothing.
TEST_F(FilesTest, ReadBlockDecodesAndCountsOnlyWholeReads) {
  TnxBufferManager bm(u"");
  TnxBaseFile file(MakeFile("r.nx1", 4));
  file.fiBufMgr = &bm;
  file.fiEncryptionEngine = std::make_unique<TXorEngine>();
  file.OpenFile(omReadWrite, smExclusive, false, false);
  const uint8_t bad = 0xEE;
  file.WriteFileExactAt(3 * kBlock, 1, &bad);
  auto stats = TnxSessionStats::Create(u"u", u"c");
  stats->Enter();
  std::vector<uint8_t> image(kBlock), cookie{9, 9};
  file.ReadBlock(2, image.data(), cookie);
  EXPECT_EQ(image[1], 3 ^ 2);
  EXPECT_TRUE(cookie.empty()) << "the engine's cookie of this read, not the one before";
  EXPECT_EQ(BlocksReadOf(bm), 1);

  EXPECT_EQ(ErrorCodeOf([&] { file.ReadBlock(4, image.data(), cookie); }), nxeReadFailure);
  EXPECT_EQ(ErrorCodeOf([&] { file.ReadBlock(3, image.data(), cookie); }), nxeCorruptFile);
  EXPECT_EQ(BlocksReadOf(bm), 1);
  TnxSessionStatsCounters counters{};
  stats->Update(counters);
  stats->Leave();
  stats->Close();
  EXPECT_EQ(counters[sscBlocksRead], 1);
}

// Creating a file's header inside a transaction: block 0 exists only in
// the transaction until its commit writes it.
class AddHeaderTest : public ::testing::Test {
protected:
  static constexpr TnxBlockSignature kNX2{'N', 'X', '!', '2'};

  // A new, empty file on disk, opened and not attached.
  TnxBaseFile& NewFile(const std::string& aName, TnxBlockSize aSize = nxbs8k) {
    const std::u16string path = U16(fx_.Dir().Path(aName));
    files_.push_back(std::make_unique<TnxBaseFile>(path));
    TnxBaseFile& file = *files_.back();
    file.fiBufMgr = &fx_.BufMgr();
    file.fiBlockSize = aSize;
    file.fiZirezVersion = 47005;
    file.fiStreamEngineName = u"nx1xDefault";
    file.OpenFile(omReadWrite, smExclusive, false, true);
    return file;
  }
  // Detached and closed, so that another object may open it.
  void Close(TnxBaseFile& aFile) {
    fx_.BufMgr().RemoveFile(aFile);
    aFile.CloseFile();
  }
  TnxBaseFile& Reopen(const std::string& aName) {
    return fx_.OpenOnly(U16(fx_.Dir().Path(aName)));
  }

  testing::TStorageFixture fx_;
  std::vector<std::unique_ptr<TnxBaseFile>> files_;
};

TEST_F(AddHeaderTest, CommittedHeaderIsWrittenAndOpensAgain) {
  TnxBaseFile& file = NewFile("new.nx2");
  TnxBaseTransaction trans(fx_.BufMgr(), nullptr, false, false);
  ASSERT_EQ(file.AddHeader(trans, {}, kNX2), 0u);
  EXPECT_EQ(TnxBufferManager::OwnerOf(file), &fx_.BufMgr());
  EXPECT_EQ(file.fiBlockSizeBytes, 8192u - 4);
  EXPECT_EQ(file.fiTransUsedBlocks, 1u);
  // The new header allocates at once: its first block is block 1.
  TnxBlockAccess access(file, nullptr, u"new", 0);
  {
    auto header = access.HeaderAccess(&trans, true);
    TnxBlockGuard block;
    block.Hold(header->GetNewBlock(trans, 0, block.ReleaseMethod()));
    EXPECT_EQ(nxLoadBlockCommonHeader(block.Block()).bchThisBlock, 1u);
    EXPECT_EQ(header->RegisterHeaderSection("Record", 16, true, false), file.fiBlockSizeBytes - 1 - 16);
  }
  EXPECT_EQ(fx_.Dir().Read("new.nx2").size(), 0u) << "nothing on disk before the commit";
  const TnxLSN lsn = trans.LSN();
  fx_.BufMgr().CommitTransaction(&trans, nullptr, false);
  Close(file);

  const std::string disk = fx_.Dir().Read("new.nx2");
  ASSERT_GE(disk.size(), 2 * 8192u);
  EXPECT_EQ(disk.substr(0, 4), "NX!2");
  TnxBaseFile& again = Reopen("new.nx2");
  ASSERT_EQ(fx_.AddFile(again).Result, 0u);
  EXPECT_EQ(again.fiBlockSize, nxbs8k);
  EXPECT_EQ(again.fiUsedBlocks, 2u);
  EXPECT_EQ(again.fiZirezVersion, 47005);
  EXPECT_EQ(again.fiStreamEngineName, u"nx1xDefault");
  EXPECT_EQ(fx_.BufMgr().FileLSN(again), lsn);
  TnxBlockAccess reopened(again, nullptr, u"new", 0);
  EXPECT_EQ(reopened.HeaderAccess(nullptr, false)->RegisterHeaderSection("RECORD", 16, false, false),
            again.fiBlockSizeBytes - 1 - 16);
}

TEST_F(AddHeaderTest, RolledBackHeaderLeavesNothing) {
  TnxBaseFile& file = NewFile("gone.nx2");
  TnxBaseTransaction trans(fx_.BufMgr(), nullptr, false, false);
  ASSERT_EQ(file.AddHeader(trans, {}, kNX2), 0u);
  fx_.BufMgr().RollbackTransaction(&trans);
  EXPECT_EQ(fx_.BufMgr().CachedBlocks(file), 0);
  EXPECT_TRUE(trans.BoundFiles().empty());
  Close(file);
  EXPECT_EQ(fx_.Dir().Read("gone.nx2").size(), 0u);
}

TEST_F(AddHeaderTest, EncryptedHeaderOpensWithItsPasswordOnly) {
  TnxBaseFile& file = NewFile("enc.nx2", nxbs4k);
  file.fiEncryptionEngineName = u"nx1xDefault";
  TnxBaseTransaction trans(fx_.BufMgr(), nullptr, false, false);
  ASSERT_EQ(file.AddHeader(trans, {u"geheim"}, kNX2), 0u);
  ASSERT_TRUE(file.fiEncryptionEngine);
  const uint32_t reserve = TnxBaseEncryptionEngine::ReservedSpacePerBlock(u"nx1xDefault", false, nxbs4k);
  EXPECT_EQ(file.fiBlockSizeBytes, 4096u - reserve - 4);
  TnxBlockAccess access(file, nullptr, u"enc", 0);
  {
    auto header = access.HeaderAccess(&trans, true);
    TnxBlockGuard block;
    block.Hold(header->GetNewBlock(trans, 0, block.ReleaseMethod()));
    std::memset(block.Block() + nxBlockCommonHeaderSize, 0x6B, 64);
  }
  fx_.BufMgr().CommitTransaction(&trans, nullptr, false);
  Close(file);
  // Block 1 is enciphered on disk.
  const std::string disk = fx_.Dir().Read("enc.nx2");
  ASSERT_GE(disk.size(), 2 * 4096u);
  EXPECT_NE(disk.substr(4096 + nxBlockCommonHeaderSize, 64), std::string(64, '\x6B'));

  TnxBaseFile& wrong = Reopen("enc.nx2");
  EXPECT_EQ(fx_.AddFile(wrong, {u"falsch"}).Result, nxeInvalidPassword);
  wrong.CloseFile();
  TnxBaseFile& right = Reopen("enc.nx2");
  ASSERT_EQ(fx_.AddFile(right, {u"geheim"}).Result, 0u);
  TnxBlockGuard block;
  block.Hold(fx_.BufMgr().GetBlock(right, nullptr, 1, block.ReleaseMethod()));
  EXPECT_EQ(block.Block()[nxBlockCommonHeaderSize], 0x6B);
}

// What the format or the engine refuses: a code from the engine, an
// exception from the format; block 0 goes with the rollback either way.
TEST_F(AddHeaderTest, RefusedHeaders) {
  struct TCase {
    const char* what;
    TnxBlockSignature signature;
    std::u16string engine;
    std::vector<std::u16string> passwords;
    uint32_t result;  // the answer
    uint32_t raised;  // or the code raised
  };
  const TCase cases[] = {
      {"old format", {'N', 'X', '!', '1'}, u"", {}, 0, nxeCapabilityNotSupported},
      {"unknown format", {'A', 'B', 'C', 'D'}, u"", {}, 0, nxeCannotOpenFile},
      {"two keys", kNX2, u"nx1xDefault", {u"a", u"b"}, nxeInvalidParameter, 0},
  };
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.what);
    TnxBaseFile& file = NewFile("refused" + std::to_string(n++) + ".nx2");
    file.fiEncryptionEngineName = c.engine;
    TnxBaseTransaction trans(fx_.BufMgr(), nullptr, false, false);
    uint32_t result = 0;
    EXPECT_EQ(ErrorCodeOf([&] { result = file.AddHeader(trans, c.passwords, c.signature); }), c.raised);
    EXPECT_EQ(result, c.result);
    EXPECT_FALSE(file.fiEncryptionEngine);
    fx_.BufMgr().RollbackTransaction(&trans);
    EXPECT_EQ(fx_.BufMgr().CachedBlocks(file), 0);
    Close(file);
  }
  // No buffer manager to keep the header in.
  TnxBaseFile& loose = NewFile("loose.nx2");
  loose.fiBufMgr = nullptr;
  TnxBaseTransaction trans(fx_.BufMgr(), nullptr, false, false);
  EXPECT_EQ(ErrorCodeOf([&] { loose.AddHeader(trans, {}, kNX2); }), nxeInvalidFileData);
}

}  // namespace
}  // namespace revurov
