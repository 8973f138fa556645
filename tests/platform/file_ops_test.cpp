#include "platform/file_ops.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>
#include <vector>

#include "support/fault_file_ops.h"
#include "support/temp_dir.h"

namespace revurov::platform {
namespace {

using revurov::testing::TempDir;
using revurov::testing::TFaultFileOps;
using revurov::testing::TFileOp;

constexpr TOpenFlags kCreateRw = TOpenFlags::ofReadWrite | TOpenFlags::ofCreate;

// One open file on the POSIX seam, with the few calls the tests repeat.
class OpenFile {
public:
  OpenFile(const std::string& path, TOpenFlags flags) : file_(PosixFileOps()) {
    EXPECT_EQ(file_.Open(path, flags), 0) << path;
  }
  TFileHandle H() const { return file_.Handle(); }
  TFile& File() { return file_; }
  int WriteAt(int64_t offset, const std::string& bytes) {
    int64_t done = 0;
    const int err = PosixFileOps().WriteAt(H(), offset, bytes.data(), static_cast<int64_t>(bytes.size()), done);
    if (err == 0) {
      EXPECT_EQ(done, static_cast<int64_t>(bytes.size()));
    }
    return err;
  }
  std::string ReadAt(int64_t offset, int64_t count) {
    std::string out(static_cast<size_t>(count), '\0');
    int64_t done = -1;
    EXPECT_EQ(PosixFileOps().ReadAt(H(), offset, out.data(), count, done), 0);
    out.resize(static_cast<size_t>(done));
    return out;
  }
  int Lock(TFileLockKind kind, int64_t offset = 0, int64_t length = 0) {
    return PosixFileOps().Lock(H(), kind, TFileLockWait::lwTry, offset, length);
  }

private:
  TFile file_;
};

TEST(FileOps, PositionedWritesLandWhereAskedAndGrowTheFile) {
  const struct {
    std::string before;
    int64_t offset;
    std::string bytes;
    std::string after;
  } cases[] = {
      {"", 0, "abc", "abc"},
      {"abcdef", 2, "XY", "abXYef"},
      {"abc", 3, "de", "abcde"},
      {"ab", 5, "z", std::string("ab\0\0\0z", 6)},  // the gap reads as zeros
      {"abc", 1, "", "abc"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    dir.Write("f", c.before);
    OpenFile f(dir.Path("f"), TOpenFlags::ofReadWrite);
    EXPECT_EQ(f.WriteAt(c.offset, c.bytes), 0);
    EXPECT_EQ(dir.Read("f"), c.after) << c.before << "@" << c.offset;
    EXPECT_EQ(f.ReadAt(0, 100), c.after);
    int64_t position = -1;
    EXPECT_EQ(PosixFileOps().Seek(f.H(), 0, TSeekOrigin::soCurrent, position), 0);
    EXPECT_EQ(position, 0);  // positioned calls leave the position alone
  }
}

TEST(FileOps, ReadWriteAndSeekShareThePosition) {
  TempDir dir;
  TFileOps& ops = PosixFileOps();
  OpenFile f(dir.Path("f"), kCreateRw);
  int64_t done = 0, position = 0;
  ASSERT_EQ(ops.Write(f.H(), "hello world", 11, done), 0);
  EXPECT_EQ(done, 11);

  const struct {
    int64_t offset;
    TSeekOrigin origin;
    int64_t position;
    std::string next4;
  } seeks[] = {
      {0, TSeekOrigin::soBeginning, 0, "hell"},
      {2, TSeekOrigin::soCurrent, 6, "worl"},  // after the 4 read before
      {-3, TSeekOrigin::soEnd, 8, "rld"},      // short only at the end
      {20, TSeekOrigin::soBeginning, 20, ""},  // beyond the end is allowed
  };
  for (const auto& s : seeks) {
    ASSERT_EQ(ops.Seek(f.H(), s.offset, s.origin, position), 0);
    EXPECT_EQ(position, s.position);
    char buf[4];
    ASSERT_EQ(ops.Read(f.H(), buf, 4, done), 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(done)), s.next4) << s.position;
  }
  EXPECT_EQ(ops.Seek(f.H(), -1, TSeekOrigin::soBeginning, position), EINVAL);
}

TEST(FileOps, SetSizeCutsOrGrowsWithZerosAndKeepsThePosition) {
  TempDir dir;
  TFileOps& ops = PosixFileOps();
  OpenFile f(dir.Path("f"), kCreateRw);
  ASSERT_EQ(f.WriteAt(0, "abcdef"), 0);
  int64_t size = 0, position = 0;
  ASSERT_EQ(ops.Seek(f.H(), 4, TSeekOrigin::soBeginning, position), 0);
  ASSERT_EQ(ops.SetSize(f.H(), 2), 0);
  EXPECT_EQ(ops.GetSize(f.H(), size), 0);
  EXPECT_EQ(size, 2);
  ASSERT_EQ(ops.SetSize(f.H(), 5), 0);
  EXPECT_EQ(dir.Read("f"), std::string("ab\0\0\0", 5));
  EXPECT_EQ(ops.Seek(f.H(), 0, TSeekOrigin::soCurrent, position), 0);
  EXPECT_EQ(position, 4);
}

TEST(FileOps, OffsetsBeyondFourGigabytesAreNotCut) {
  TempDir dir;
  OpenFile f(dir.Path("sparse"), kCreateRw);
  const int64_t far = (int64_t(5) << 30) + 3;
  ASSERT_EQ(f.WriteAt(far, "x"), 0);
  int64_t size = 0;
  EXPECT_EQ(PosixFileOps().GetSize(f.H(), size), 0);
  EXPECT_EQ(size, far + 1);
  EXPECT_EQ(f.ReadAt(far, 10), "x");
  EXPECT_EQ(f.ReadAt(3, 1), std::string(1, '\0'));
}

TEST(FileOps, CreateTruncateAndExclusiveCreate) {
  TempDir dir;
  dir.Write("f", "old");
  TFile file(PosixFileOps());
  EXPECT_EQ(file.Open(dir.Path("f"), TOpenFlags::ofWrite | TOpenFlags::ofCreate), 0);
  EXPECT_EQ(dir.Read("f"), "old");  // create alone keeps an existing file
  EXPECT_EQ(file.Open(dir.Path("f"), TOpenFlags::ofWrite | TOpenFlags::ofTruncate), 0);
  EXPECT_EQ(dir.Read("f"), "");
  EXPECT_EQ(file.Open(dir.Path("new"), TOpenFlags::ofWrite | TOpenFlags::ofCreate | TOpenFlags::ofExclusive), 0);
  EXPECT_TRUE(dir.Exists("new"));
  EXPECT_EQ(file.Close(), 0);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Close(), 0);  // closing twice is harmless
}

TEST(FileOps, OpenBeneathReachesOnlyFilesOfTheFolder) {
  TempDir dir;
  TempDir outside;
  outside.Write("victim", "V");
  dir.Write("f", "inside");
  std::filesystem::create_directory(dir.Path("sub"));
  dir.Write("sub/g", "deeper");
  std::filesystem::create_symlink(outside.Path("victim"), dir.Path("out"));
  std::filesystem::create_symlink("f", dir.Path("near"));
  std::filesystem::create_symlink(outside.Dir(), dir.Path("away"));
  struct TCase {
    const char* Name;
    TOpenFlags Flags;
    int Error;  // 0: opens
  } cases[] = {
      {"f", TOpenFlags::ofReadWrite, 0},
      {"sub/g", TOpenFlags::ofRead, 0},
      {"out", TOpenFlags::ofReadWrite, ELOOP},
      {"near", TOpenFlags::ofRead, ELOOP},  // a link is refused even when it stays inside
      {"away/victim", TOpenFlags::ofReadWrite, ELOOP},
      {"../x", TOpenFlags::ofRead, EXDEV},
      {"sub/../../x", TOpenFlags::ofRead, EXDEV},
      {"/etc/hostname", TOpenFlags::ofRead, EXDEV},
      {"missing", TOpenFlags::ofRead, ENOENT},
      {"sub", TOpenFlags::ofRead, EISDIR},
      {"new", TOpenFlags::ofReadWrite | TOpenFlags::ofCreate, EINVAL},
      // Asked to, links are followed while they stay inside.
      {"near", TOpenFlags::ofRead | TOpenFlags::ofLinksInside, 0},
      {"sub/../f", TOpenFlags::ofRead | TOpenFlags::ofLinksInside, 0},
      {"out", TOpenFlags::ofRead | TOpenFlags::ofLinksInside, EXDEV},
      {"away/victim", TOpenFlags::ofReadWrite | TOpenFlags::ofLinksInside, EXDEV},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFile file(PosixFileOps());
    EXPECT_EQ(file.OpenBeneath(dir.Dir(), c.Name, c.Flags), c.Error);
    EXPECT_EQ(file.IsOpen(), c.Error == 0);
  }
  TFile file(PosixFileOps());
  ASSERT_EQ(file.OpenBeneath(dir.Path("sub"), "g", TOpenFlags::ofRead), 0);  // folder without its "/"
  char byte = 0;
  int64_t done = 0;
  EXPECT_EQ(PosixFileOps().ReadAt(file.Handle(), 0, &byte, 1, done), 0);
  EXPECT_EQ(byte, 'd');
  EXPECT_EQ(outside.Read("victim"), "V");
  EXPECT_FALSE(dir.Exists("new"));
}

TEST(FileOps, FailuresReportTheOsError) {
  TempDir dir;
  dir.Write("f", "abc");
  ASSERT_EQ(PosixFileOps().MakeDirectory(dir.Path("sub"), DefaultDirectoryPermissions), 0);
  TFileOps& ops = PosixFileOps();
  OpenFile read_only(dir.Path("f"), TOpenFlags::ofRead);
  auto open = [&](const std::string& name, TOpenFlags flags) {
    TFileHandle h = 0;
    const int err = ops.Open(dir.Path(name), flags, DefaultFilePermissions, h);
    if (err == 0) {
      ops.Close(h);
    } else {
      EXPECT_EQ(h, InvalidFileHandle);
    }
    return err;
  };
  const struct {
    const char* what;
    std::function<int()> call;
    int error;
  } cases[] = {
      {"open a missing file", [&] { return open("missing", TOpenFlags::ofRead); }, ENOENT},
      {"exclusive create of an existing file",
       [&] { return open("f", TOpenFlags::ofWrite | TOpenFlags::ofCreate | TOpenFlags::ofExclusive); }, EEXIST},
      {"open a folder as a file", [&] { return open("sub", TOpenFlags::ofRead); }, EISDIR},
      {"open a folder for writing", [&] { return open("sub", TOpenFlags::ofWrite); }, EISDIR},
      {"create in a missing folder", [&] { return open("none/f", TOpenFlags::ofWrite | TOpenFlags::ofCreate); },
       ENOENT},
      {"truncate without write access", [&] { return open("f", TOpenFlags::ofTruncate); }, EINVAL},
      {"exclusive without create", [&] { return open("f", TOpenFlags::ofWrite | TOpenFlags::ofExclusive); }, EINVAL},
      {"two access flags", [&] { return open("f", TOpenFlags::ofWrite | TOpenFlags::ofReadWrite); }, EINVAL},
      {"write through a read-only handle",
       [&] {
         int64_t done = 0;
         return ops.Write(read_only.H(), "x", 1, done);
       },
       EBADF},
      {"write at a negative offset",
       [&] {
         int64_t done = 0;
         return ops.WriteAt(read_only.H(), -1, "x", 1, done);
       },
       EINVAL},
      {"negative size", [&] { return ops.SetSize(read_only.H(), -1); }, EINVAL},
      {"exclusive lock without write access",
       [&] { return ops.Lock(read_only.H(), TFileLockKind::lkExclusive, TFileLockWait::lwTry, 0, 0); }, EBADF},
      {"rename a missing file", [&] { return ops.Rename(dir.Path("missing"), dir.Path("g"), TRenameMode::rmReplace); },
       ENOENT},
      {"no-replace rename onto an existing file",
       [&] { return ops.Rename(dir.Path("sub"), dir.Path("f"), TRenameMode::rmNoReplace); }, EEXIST},
      {"unlink a missing file", [&] { return ops.Unlink(dir.Path("missing")); }, ENOENT},
      {"unlink a folder", [&] { return ops.Unlink(dir.Path("sub")); }, EISDIR},
      {"make an existing folder", [&] { return ops.MakeDirectory(dir.Path("sub"), 0777); }, EEXIST},
      {"make a folder in a missing one", [&] { return ops.MakeDirectory(dir.Path("none/sub"), 0777); }, ENOENT},
      {"sync a missing folder", [&] { return ops.SyncDirectory(dir.Path("none")); }, ENOENT},
      {"info of a missing file",
       [&] {
         TFileInfo info;
         return ops.GetInfo(dir.Path("missing"), info);
       },
       ENOENT},
  };
  for (const auto& c : cases) EXPECT_EQ(c.call(), c.error) << c.what;
  EXPECT_EQ(dir.Read("f"), "abc");
}

TEST(FileOps, InfoTellsKindSizeAndPermissions) {
  TempDir dir;
  dir.Write("f", "12345");
  TFileOps& ops = PosixFileOps();
  {
    OpenFile f(dir.Path("f"), TOpenFlags::ofWrite);
    ASSERT_EQ(ops.SetPermissions(f.H(), 0640), 0);
  }
  TFileInfo info;
  ASSERT_EQ(ops.GetInfo(dir.Path("f"), info), 0);
  EXPECT_EQ(info.Kind, TFileKind::fkFile);
  EXPECT_EQ(info.Size, 5);
  EXPECT_EQ(info.Permissions, 0640u);
  ASSERT_EQ(ops.GetInfo(dir.Dir(), info), 0);
  EXPECT_EQ(info.Kind, TFileKind::fkDirectory);
  ASSERT_EQ(ops.GetInfo("/dev/null", info), 0);
  EXPECT_EQ(info.Kind, TFileKind::fkOther);
}

TEST(FileOps, RenameUnlinkAndMakeDirectory) {
  TempDir dir;
  TFileOps& ops = PosixFileOps();
  dir.Write("a", "1");
  dir.Write("b", "2");
  EXPECT_EQ(ops.Rename(dir.Path("a"), dir.Path("b"), TRenameMode::rmNoReplace), EEXIST);
  EXPECT_EQ(dir.Read("a"), "1");
  EXPECT_EQ(dir.Read("b"), "2");
  EXPECT_EQ(ops.Rename(dir.Path("a"), dir.Path("b"), TRenameMode::rmReplace), 0);
  EXPECT_EQ(dir.Read("b"), "1");
  EXPECT_FALSE(dir.Exists("a"));
  EXPECT_EQ(ops.Rename(dir.Path("b"), dir.Path("c"), TRenameMode::rmNoReplace), 0);
  EXPECT_EQ(dir.Read("c"), "1");
  EXPECT_EQ(ops.Unlink(dir.Path("c")), 0);
  EXPECT_FALSE(dir.Exists("c"));
  EXPECT_EQ(ops.MakeDirectory(dir.Path("sub"), DefaultDirectoryPermissions), 0);
  EXPECT_EQ(ops.SyncDirectory(dir.Path("sub")), 0);
  OpenFile f(dir.Path("sub/f"), kCreateRw);
  EXPECT_EQ(f.WriteAt(0, "x"), 0);
  EXPECT_EQ(ops.DataSync(f.H()), 0);
  EXPECT_EQ(ops.Sync(f.H()), 0);
}

TEST(FileOps, TemporaryFileHasNoNameAndPunchedRangesReadAsZeros) {
  TempDir dir;
  dir.Write("keep", "k");
  TFileOps& ops = PosixFileOps();
  TFileHandle h = InvalidFileHandle;
  ASSERT_EQ(ops.OpenTemporary(dir.Dir(), 0600, h), 0);
  EXPECT_EQ(dir.Count(), 1u);  // only "keep"
  const std::string bytes(3 * 4096, 'x');
  int64_t done = 0;
  ASSERT_EQ(ops.WriteAt(h, 0, bytes.data(), static_cast<int64_t>(bytes.size()), done), 0);
  EXPECT_EQ(ops.PunchHole(h, 4096, 4096), 0);
  std::string back(bytes.size(), '?');
  ASSERT_EQ(ops.ReadAt(h, 0, back.data(), static_cast<int64_t>(back.size()), done), 0);
  EXPECT_EQ(back, std::string(4096, 'x') + std::string(4096, '\0') + std::string(4096, 'x'));
  int64_t size = 0;
  EXPECT_EQ(ops.GetSize(h, size), 0);
  EXPECT_EQ(size, static_cast<int64_t>(bytes.size()));
  EXPECT_EQ(ops.PunchHole(h, -1, 4096), EINVAL);
  EXPECT_EQ(ops.Close(h), 0);
  EXPECT_EQ(dir.Count(), 1u);

  EXPECT_EQ(ops.OpenTemporary(dir.Path("missing"), 0600, h), ENOENT);
  EXPECT_EQ(h, InvalidFileHandle);
}

// Locks belong to the open, so two opens of one file in one process stand
// for two processes.
struct TwoOpens {
  TempDir dir;
  OpenFile a{dir.Path("f"), kCreateRw};
  OpenFile b{dir.Path("f"), kCreateRw};
};

TEST(FileOps, LocksOfTwoOpensConflict) {
  using K = TFileLockKind;
  const struct {
    K first_kind;
    int64_t first_offset, first_length;
    K second_kind;
    int64_t second_offset, second_length;
    int error;
  } cases[] = {
      {K::lkExclusive, 0, 0, K::lkExclusive, 0, 0, EAGAIN},
      {K::lkExclusive, 0, 0, K::lkShared, 0, 0, EAGAIN},
      {K::lkShared, 0, 0, K::lkExclusive, 0, 0, EAGAIN},
      {K::lkShared, 0, 0, K::lkShared, 0, 0, 0},
      {K::lkExclusive, 0, 10, K::lkExclusive, 10, 10, 0},      // adjacent ranges
      {K::lkExclusive, 0, 10, K::lkExclusive, 9, 10, EAGAIN},  // one byte shared
      {K::lkExclusive, 100, 1, K::lkExclusive, 0, 0, EAGAIN},  // whole file covers it
      {K::lkExclusive, 0, 0, K::lkExclusive, 1 << 20, 1, EAGAIN},  // and what lies beyond the end
  };
  for (const auto& c : cases) {
    TwoOpens t;
    ASSERT_EQ(t.a.Lock(c.first_kind, c.first_offset, c.first_length), 0);
    EXPECT_EQ(t.b.Lock(c.second_kind, c.second_offset, c.second_length), c.error)
        << c.first_offset << "+" << c.first_length << " / " << c.second_offset << "+" << c.second_length;
  }
}

TEST(FileOps, LocksGoWithUnlockAndClose) {
  TwoOpens t;
  OpenFile& a = t.a;
  OpenFile& b = t.b;
  ASSERT_EQ(a.Lock(TFileLockKind::lkShared), 0);
  EXPECT_EQ(a.Lock(TFileLockKind::lkExclusive), 0);  // its own lock never blocks it
  EXPECT_EQ(b.Lock(TFileLockKind::lkShared), EAGAIN);
  ASSERT_EQ(PosixFileOps().Unlock(a.H(), 0, 0), 0);
  EXPECT_EQ(b.Lock(TFileLockKind::lkExclusive), 0);
  EXPECT_EQ(a.Lock(TFileLockKind::lkShared), EAGAIN);
  ASSERT_EQ(b.File().Close(), 0);
  EXPECT_EQ(a.Lock(TFileLockKind::lkExclusive), 0);
}

TEST(FileOps, WaitingLockIsGrantedWhenTheHolderLetsGo) {
  TwoOpens t;
  OpenFile& a = t.a;
  OpenFile& b = t.b;
  ASSERT_EQ(a.Lock(TFileLockKind::lkExclusive), 0);
  std::atomic<int> result{-1};
  std::thread waiter([&] {
    result = PosixFileOps().Lock(b.H(), TFileLockKind::lkExclusive, TFileLockWait::lwWait, 0, 0);
  });
  // Give the waiter time to block; it must not come back while a holds on.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result.load(), -1);
  ASSERT_EQ(PosixFileOps().Unlock(a.H(), 0, 0), 0);
  waiter.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(a.Lock(TFileLockKind::lkShared), EAGAIN);
}

TEST(FileOps, FileClosesItsHandleOnItsSeam) {
  TempDir dir;
  TFaultFileOps ops;
  {
    TFile file(ops);
    ASSERT_EQ(file.Open(dir.Path("f"), kCreateRw), 0);
    ASSERT_EQ(file.Open(dir.Path("g"), kCreateRw), 0);  // closes f first
    EXPECT_EQ(ops.Calls(TFileOp::Close), 1);
  }
  EXPECT_EQ(ops.Calls(TFileOp::Close), 2);
  TFile failing(ops);
  ops.FailCall(TFileOp::Close, 3, EIO);
  ASSERT_EQ(failing.Open(dir.Path("f"), TOpenFlags::ofRead), 0);
  EXPECT_EQ(failing.Close(), EIO);
  EXPECT_FALSE(failing.IsOpen());
}

TEST(FileOps, ScopedSeamReplacesTheProcessWideOneForItsLife) {
  TFaultFileOps ops;
  EXPECT_EQ(&FileOps(), &PosixFileOps());
  {
    ScopedFileOps guard(ops);
    EXPECT_EQ(&FileOps(), &ops);
  }
  EXPECT_EQ(&FileOps(), &PosixFileOps());
}

// A gathered write lands as the concatenation of its parts, also when the
// parts outnumber what one OS call takes and some are empty; the default of
// the seam (per part through WriteAt) agrees and stops at a failing part.
TEST(FileOps, GatheredWritesLandAsTheConcatenationOfTheirParts) {
  TempDir dir;
  std::vector<std::string> pieces;
  for (int i = 0; i < 2500; ++i)
    pieces.push_back(i % 7 == 0 ? std::string() : std::string(3, static_cast<char>('a' + i % 26)));
  std::vector<TIoPart> parts;
  std::string expected;
  for (const std::string& p : pieces) {
    parts.push_back({p.data(), static_cast<int64_t>(p.size())});
    expected += p;
  }
  TFaultFileOps fault;
  for (TFileOps* ops : {&PosixFileOps(), static_cast<TFileOps*>(&fault)}) {
    OpenFile f(dir.Path(ops == &fault ? "by-part" : "gathered"), kCreateRw);
    int64_t done = -1;
    ASSERT_EQ(ops->WriteVectorAt(f.H(), 5, parts.data(), static_cast<int32_t>(parts.size()), done), 0);
    EXPECT_EQ(done, static_cast<int64_t>(expected.size()));
    EXPECT_EQ(f.ReadAt(0, 1 << 20), std::string(5, '\0') + expected);
    EXPECT_EQ(ops->WriteVectorAt(f.H(), -1, parts.data(), 1, done), EINVAL);
    EXPECT_EQ(done, 0);
    ASSERT_EQ(ops->WriteVectorAt(f.H(), 0, parts.data(), 0, done), 0);
    EXPECT_EQ(done, 0);
  }
  OpenFile f(dir.Path("failing"), kCreateRw);
  fault.FailCall(TFileOp::WriteAt, fault.Calls(TFileOp::WriteAt) + 3, ENOSPC);
  int64_t done = -1;
  EXPECT_EQ(fault.WriteVectorAt(f.H(), 0, parts.data() + 1, 4, done), ENOSPC);
  EXPECT_EQ(done, 6);
}

TEST(FileOps, AllocateGrowsWithZerosAndKeepsWhatIsThere) {
  TempDir dir;
  OpenFile f(dir.Path("f"), kCreateRw);
  TFileOps& ops = PosixFileOps();
  ASSERT_EQ(f.WriteAt(0, "abc"), 0);
  const int err = ops.Allocate(f.H(), 3, 8192);
  if (err == EOPNOTSUPP) GTEST_SKIP() << "the file system cannot allocate";
  ASSERT_EQ(err, 0);
  int64_t size = 0;
  ASSERT_EQ(ops.GetSize(f.H(), size), 0);
  EXPECT_EQ(size, 8195);
  EXPECT_EQ(f.ReadAt(0, 8195), "abc" + std::string(8192, '\0'));
  EXPECT_EQ(ops.Allocate(f.H(), 0, 10), 0);  // inside: the size stays
  ASSERT_EQ(ops.GetSize(f.H(), size), 0);
  EXPECT_EQ(size, 8195);
  EXPECT_EQ(ops.Allocate(f.H(), -1, 10), EINVAL);
}

TEST(FileOps, DataSyncOpensNeedWriteAccess) {
  TempDir dir;
  TFile file(PosixFileOps());
  EXPECT_EQ(file.Open(dir.Path("f"), TOpenFlags::ofRead | TOpenFlags::ofCreate | TOpenFlags::ofDataSync), EINVAL);
  ASSERT_EQ(file.Open(dir.Path("f"), kCreateRw | TOpenFlags::ofDataSync), 0);
  int64_t done = 0;
  EXPECT_EQ(PosixFileOps().WriteAt(file.Handle(), 0, "x", 1, done), 0);
  EXPECT_EQ(done, 1);
}

}  // namespace
}  // namespace revurov::platform
