#include "platform/file_io.h"

#include <gtest/gtest.h>

#include "platform/os_error.h"
#include "platform/rtl_exception.h"
#include "support/fault_file_ops.h"
#include "support/temp_dir.h"

namespace revurov::platform {
namespace {

using revurov::testing::TempDir;
using revurov::testing::TFaultFileOps;
using revurov::testing::TFileOp;

TEST(FileIo, ReplaceCreatesAndReplacesWholeFile) {
  TempDir dir;
  ReplaceFileAtomically(dir.Path("a.txt"), "first version, long");
  EXPECT_EQ(dir.Read("a.txt"), "first version, long");
  ReplaceFileAtomically(dir.Path("a.txt"), "second");
  EXPECT_EQ(dir.Read("a.txt"), "second");
  EXPECT_EQ(dir.Count(), 1u);  // no temporary file left behind
}

TEST(FileIo, FailedStepLeavesOldContentAndNoTemporaryFile) {
  const struct {
    TFileOp op;
    int error;
  } cases[] = {{TFileOp::Open, EIO},     {TFileOp::Write, EIO}, {TFileOp::Write, ENOSPC},
               {TFileOp::DataSync, EIO}, {TFileOp::Close, EIO}, {TFileOp::Rename, EIO}};
  for (const auto& c : cases) {
    TempDir dir;
    dir.Write("a.txt", "old content");
    TFaultFileOps ops;
    ops.FailCall(c.op, 1, c.error);
    {
      ScopedFileOps guard(ops);
      EXPECT_THROW(ReplaceFileAtomically(dir.Path("a.txt"), "new content that is longer"), EFCreateError)
          << static_cast<int>(c.op) << "/" << c.error;
    }
    EXPECT_EQ(dir.Read("a.txt"), "old content");
    EXPECT_EQ(dir.Count(), 1u);
  }
}

TEST(FileIo, FailedFolderSyncIsReported) {
  TempDir dir;
  TFaultFileOps ops;
  ops.FailCall(TFileOp::SyncDirectory, 1);
  ScopedFileOps guard(ops);
  EXPECT_THROW(ReplaceFileAtomically(dir.Path("a.txt"), "x"), EFCreateError);
}

TEST(FileIo, ErrorNamesTheFile) {
  try {
    ReplaceFileAtomically("/nonexistent-folder-xyz/a.txt", "x");
    FAIL();
  } catch (const EFCreateError& e) {
    EXPECT_NE(e.Message().find(u"Datei \"/nonexistent-folder-xyz/a.txt\" kann nicht erstellt werden."),
              std::u16string::npos);
  }
}

TEST(FileIo, ReadReportsMissingFileAsNullopt) {
  TempDir dir;
  EXPECT_FALSE(ReadFileBytes(dir.Path("none")).has_value());
  dir.Write("b", std::string("a\0b", 3));
  EXPECT_EQ(*ReadFileBytes(dir.Path("b")), std::string("a\0b", 3));
  EXPECT_THROW(ReadFileBytes(dir.Path("")), EFOpenError);  // a folder
}

TEST(FileIo, ReadGivesEveryByteAcrossItsChunks) {
  for (size_t size : {size_t(1), size_t(65535), size_t(65536), size_t(65537), size_t(200000)}) {
    TempDir dir;
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + i / 251);
    dir.Write("f", bytes);
    EXPECT_EQ(*ReadFileBytes(dir.Path("f")), bytes) << size;
  }
}

TEST(FileIo, ReadFailureRaisesOpenErrorWithTheReason) {
  TempDir dir;
  dir.Write("f", "abc");
  TFaultFileOps ops;
  ops.FailCall(TFileOp::Read, 1, EIO);
  try {
    ReadFileBytes(dir.Path("f"), ops);
    FAIL();
  } catch (const EFOpenError& e) {
    EXPECT_NE(e.Message().find(SysErrorMessage(EIO)), std::u16string::npos);
  }
  EXPECT_EQ(ops.Calls(TFileOp::Close), 1);
}

TEST(FileIo, ReplaceKeepsThePermissionsOfTheReplacedFile) {
  TempDir dir;
  dir.Write("a.txt", "old");
  // Group-writable: wider than the usual umask lets a new file be.
  std::filesystem::permissions(dir.Path("a.txt"), std::filesystem::perms(0664));
  ReplaceFileAtomically(dir.Path("a.txt"), "new");
  EXPECT_EQ(std::filesystem::status(dir.Path("a.txt")).permissions(), std::filesystem::perms(0664));

  // A failure to widen them again only leaves them narrower.
  TFaultFileOps ops;
  ops.FailCall(TFileOp::SetPermissions, 1, EPERM);
  ReplaceFileAtomically(dir.Path("a.txt"), "newer", ops);
  EXPECT_EQ(dir.Read("a.txt"), "newer");
  EXPECT_EQ(dir.Count(), 1u);
}

TEST(FileIo, MoveNeverReplacesAnExistingTarget) {
  TempDir dir;
  dir.Write("from", "1");
  dir.Write("to", "2");
  EXPECT_FALSE(MoveFileNoReplace(dir.Path("from"), dir.Path("to")));
  EXPECT_EQ(dir.Read("to"), "2");
  EXPECT_EQ(dir.Read("from"), "1");
  std::filesystem::remove(dir.Path("to"));
  EXPECT_TRUE(MoveFileNoReplace(dir.Path("from"), dir.Path("to")));
  EXPECT_EQ(dir.Read("to"), "1");
  EXPECT_FALSE(dir.Exists("from"));
  EXPECT_FALSE(MoveFileNoReplace(dir.Path("from"), dir.Path("x")));
}

TEST(FileIo, ExistenceChecksTellFilesFromFolders) {
  TempDir dir;
  dir.Write("f", "");
  EXPECT_TRUE(FileExists(dir.Path("f")));
  EXPECT_FALSE(FileExists(dir.Dir()));
  EXPECT_TRUE(DirectoryExists(dir.Dir()));
  EXPECT_FALSE(DirectoryExists(dir.Path("f")));
}

}  // namespace
}  // namespace revurov::platform
