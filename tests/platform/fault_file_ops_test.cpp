// The test seam itself: storage tests of several folders rely on it to fail
// exactly the planned call and to drop exactly the unsynced writes.
#include "support/fault_file_ops.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "platform/file_io.h"
#include "support/temp_dir.h"

namespace revurov::testing {
namespace {

using platform::TFile;
using platform::TOpenFlags;

constexpr TOpenFlags kCreateRw = TOpenFlags::ofReadWrite | TOpenFlags::ofCreate;

int WriteAt(TFile& file, int64_t offset, const std::string& bytes) {
  int64_t done = 0;
  return file.Ops().WriteAt(file.Handle(), offset, bytes.data(), static_cast<int64_t>(bytes.size()), done);
}

TEST(FaultFileOps, PowerLossDropsExactlyTheUnsyncedWrites) {
  enum Kind { Write, WriteAt_, SetSize, DataSync, Sync, Reopen };
  struct Step {
    Step(Kind k, int64_t o = 0, std::string b = {}) : kind(k), offset(o), bytes(std::move(b)) {}
    Kind kind;
    int64_t offset;  // or the new size
    std::string bytes;
  };
  const struct {
    const char* what;
    std::optional<std::string> before;  // nullopt: the file does not exist yet
    std::vector<Step> steps;
    std::string after;
  } cases[] = {
      {"appended after a sync", "", {{Write, 0, "abc"}, {DataSync}, {Write, 0, "def"}}, "abc"},
      {"overwritten after a sync", "", {{Write, 0, "abcdef"}, {Sync}, {WriteAt_, 1, "XY"}}, "abcdef"},
      {"cut after a sync", "", {{Write, 0, "abcdef"}, {DataSync}, {SetSize, 2}}, "abcdef"},
      {"grown after a sync", "", {{Write, 0, "ab"}, {DataSync}, {SetSize, 9}}, "ab"},
      {"new and never synced", std::nullopt, {{Write, 0, "abc"}}, ""},
      {"old content, never touched", "old", {}, "old"},
      {"old content overwritten", "old", {{WriteAt_, 0, "NEW!"}}, "old"},
      {"truncated by open", "old", {{Reopen}, {Write, 0, "n"}}, "old"},
      {"everything synced", "", {{Write, 0, "ab"}, {DataSync}, {Write, 0, "cd"}, {Sync}}, "abcd"},
      {"synced twice, lost once", "", {{Write, 0, "a"}, {DataSync}, {Write, 0, "b"}, {DataSync}, {Write, 0, "c"}},
       "ab"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (c.before) dir.Write("f", *c.before);
    TFaultFileOps ops;
    {
      TFile file(ops);
      ASSERT_EQ(file.Open(dir.Path("f"), kCreateRw), 0);
      for (const Step& s : c.steps) {
        int64_t done = 0;
        switch (s.kind) {
          case Write:
            ASSERT_EQ(ops.Write(file.Handle(), s.bytes.data(), static_cast<int64_t>(s.bytes.size()), done), 0);
            break;
          case WriteAt_: ASSERT_EQ(WriteAt(file, s.offset, s.bytes), 0); break;
          case SetSize: ASSERT_EQ(ops.SetSize(file.Handle(), s.offset), 0); break;
          case DataSync: ASSERT_EQ(ops.DataSync(file.Handle()), 0); break;
          case Sync: ASSERT_EQ(ops.Sync(file.Handle()), 0); break;
          case Reopen: ASSERT_EQ(file.Open(dir.Path("f"), kCreateRw | TOpenFlags::ofTruncate), 0); break;
        }
      }
    }
    ops.PowerLoss();
    EXPECT_EQ(dir.Read("f"), c.after) << c.what;
  }
}

TEST(FaultFileOps, FailedSyncKeepsTheWritesUnsynced) {
  TempDir dir;
  dir.Write("f", "old");
  TFaultFileOps ops;
  ops.FailCall(TFileOp::DataSync, 1, EIO);
  TFile file(ops);
  ASSERT_EQ(file.Open(dir.Path("f"), TOpenFlags::ofReadWrite), 0);
  ASSERT_EQ(WriteAt(file, 0, "new"), 0);
  EXPECT_EQ(ops.DataSync(file.Handle()), EIO);
  file.Close();
  ops.PowerLoss();
  EXPECT_EQ(dir.Read("f"), "old");
}

// Why a replacement syncs its data before the rename: the unsynced state
// follows the file to its new name.
TEST(FaultFileOps, RenameCarriesTheUnsyncedStateToTheNewName) {
  TempDir dir;
  dir.Write("target", "old");
  TFaultFileOps ops;
  {
    TFile file(ops);
    ASSERT_EQ(file.Open(dir.Path("temp"), kCreateRw), 0);
    ASSERT_EQ(WriteAt(file, 0, "new"), 0);
  }
  ASSERT_EQ(ops.Rename(dir.Path("temp"), dir.Path("target"), platform::TRenameMode::rmReplace), 0);
  ops.PowerLoss();
  EXPECT_EQ(dir.Read("target"), "");
  EXPECT_FALSE(dir.Exists("temp"));

  platform::ReplaceFileAtomically(dir.Path("target"), "replaced", ops);
  ops.PowerLoss();
  EXPECT_EQ(dir.Read("target"), "replaced");
}

TEST(FaultFileOps, UnnamedFileLinkedBeforeItsSyncComesBackEmpty) {
  for (const bool synced : {false, true}) {
    TempDir dir;
    TFaultFileOps ops;
    platform::TFileHandle h = platform::InvalidFileHandle;
    ASSERT_EQ(ops.OpenTemporary(dir.Dir(), 0600, h), 0);
    int64_t done = 0;
    ASSERT_EQ(ops.Write(h, "data", 4, done), 0);
    if (synced) {
      ASSERT_EQ(ops.DataSync(h), 0);
    }
    ASSERT_EQ(ops.LinkTemporary(h, dir.Path("named")), 0);
    EXPECT_EQ(ops.LinkTemporary(h, dir.Path("named")), EEXIST);
    ops.Close(h);
    ops.PowerLoss();
    EXPECT_EQ(dir.Read("named"), synced ? "data" : "") << synced;
  }
}

TEST(FaultFileOps, FailsOnlyThePlannedCallAndNeverReachesTheRealSeam) {
  TempDir dir;
  TFaultFileOps ops;
  ops.FailCall(TFileOp::WriteAt, 2, ENOSPC);
  ops.FailCall(TFileOp::Unlink, 1, EACCES);
  TFile file(ops);
  ASSERT_EQ(file.Open(dir.Path("f"), kCreateRw), 0);
  EXPECT_EQ(WriteAt(file, 0, "a"), 0);
  EXPECT_EQ(WriteAt(file, 1, "b"), ENOSPC);
  EXPECT_EQ(WriteAt(file, 2, "c"), 0);
  EXPECT_EQ(ops.Calls(TFileOp::WriteAt), 3);
  EXPECT_EQ(dir.Read("f"), std::string("a\0c", 3));
  EXPECT_EQ(ops.Unlink(dir.Path("f")), EACCES);
  EXPECT_TRUE(dir.Exists("f"));
  EXPECT_EQ(ops.Unlink(dir.Path("f")), 0);
  EXPECT_FALSE(dir.Exists("f"));
}

TEST(FaultFileOps, FailedCloseStillClosesTheHandle) {
  TempDir dir;
  dir.Write("f", "");
  TFaultFileOps ops;
  ops.FailCall(TFileOp::Close, 1, EIO);
  TFile first(ops);
  ASSERT_EQ(first.Open(dir.Path("f"), TOpenFlags::ofReadWrite), 0);
  const platform::TFileHandle handle = first.Handle();
  ASSERT_EQ(ops.Lock(handle, platform::TFileLockKind::lkExclusive, platform::TFileLockWait::lwTry, 0, 0), 0);
  EXPECT_EQ(first.Close(), EIO);
  TFile second(ops);
  ASSERT_EQ(second.Open(dir.Path("f"), TOpenFlags::ofReadWrite), 0);
  EXPECT_EQ(ops.Lock(second.Handle(), platform::TFileLockKind::lkExclusive, platform::TFileLockWait::lwTry, 0, 0), 0);
}

}  // namespace
}  // namespace revurov::testing
