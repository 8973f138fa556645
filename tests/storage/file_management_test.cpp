#include "storage/file_management.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "lowlevel/errors/error_codes.h"
#include "platform/file_ops.h"
#include "platform/text.h"
#include "storage/startup.h"
#include "support/exception_message.h"
#include "support/fault_file_ops.h"
#include "support/temp_dir.h"

namespace revurov {
namespace {

using testing::Contains;
using testing::TempDir;
using testing::TFaultFileOps;
using testing::TFileOp;

std::u16string U16(const std::string& aText) { return std::u16string(aText.begin(), aText.end()); }

TEST(CombinePathTest, JoinsWithOneSeparator) {
  const struct {
    std::u16string_view path, name, result;
  } cases[] = {
      {u"", u"a.nx1", u"a.nx1"},
      {u"/db", u"a.nx1", u"/db/a.nx1"},
      {u"/db/", u"a.nx1", u"/db/a.nx1"},
      {u"db", u"", u"db/"},
  };
  for (const auto& c : cases) EXPECT_EQ(nxCombinePath(c.path, c.name), c.result) << platform::Utf16ToUtf8(c.path);
}

TEST(AddExtensionTest, JoinsWithOneDot) {
  EXPECT_EQ(nxAddExtension(u"table", u"nx1"), u"table.nx1");
  EXPECT_EQ(nxAddExtension(u"table", u""), u"table.");
  EXPECT_EQ(nxAddExtension(u"table.x", u"n$2"), u"table.x.n$2");
}

class FileManagementTest : public ::testing::Test {
protected:
  TnxStorageStartupGuard storage_;
  TempDir dir_;
  TFaultFileOps ops_;
};

TEST_F(FileManagementTest, DeletesAFileAndSyncsItsFolder) {
  dir_.Write("a", "1");
  platform::ScopedFileOps seam(ops_);
  DeleteFileChecked(U16(dir_.Path("a")));
  EXPECT_FALSE(dir_.Exists("a"));
  EXPECT_EQ(ops_.Calls(TFileOp::SyncDirectory), 1);
}

TEST_F(FileManagementTest, DeletingAMissingFileRaisesWithItsName) {
  const std::u16string name = U16(dir_.Path("missing"));
  uint32_t code = 0;
  std::u16string message;
  try {
    DeleteFileChecked(name);
  } catch (const EnxFileManagementException& e) {
    code = e.ErrorCode();
    message = e.Message();
    EXPECT_EQ(e.OSError(), static_cast<uint32_t>(ENOENT));
  }
  EXPECT_EQ(code, nxeFileDeleteFailed);
  EXPECT_TRUE(Contains(message, u"DeleteFile (\"" + name + u"\")")) << platform::Utf16ToUtf8(message);
}

TEST_F(FileManagementTest, RenamesAFileAndSyncsBothFolders) {
  dir_.Write("a", "1");
  std::filesystem::create_directory(dir_.Path("sub"));
  platform::ScopedFileOps seam(ops_);
  RenameFileChecked(U16(dir_.Path("a")), U16(dir_.Path("b")));
  EXPECT_EQ(dir_.Read("b"), "1");
  EXPECT_EQ(ops_.Calls(TFileOp::SyncDirectory), 1);
  RenameFileChecked(U16(dir_.Path("b")), U16(dir_.Path("sub/c")));
  EXPECT_EQ(dir_.Read("sub/c"), "1");
  EXPECT_FALSE(dir_.Exists("a") || dir_.Exists("b"));
  EXPECT_EQ(ops_.Calls(TFileOp::SyncDirectory), 3);
}

TEST_F(FileManagementTest, RenameOntoAnExistingFileRaisesAndKeepsBoth) {
  dir_.Write("a", "1");
  dir_.Write("b", "2");
  const std::u16string from = U16(dir_.Path("a"));
  const std::u16string to = U16(dir_.Path("b"));
  uint32_t code = 0;
  std::u16string message;
  try {
    RenameFileChecked(from, to);
  } catch (const EnxFileManagementException& e) {
    code = e.ErrorCode();
    message = e.Message();
    EXPECT_EQ(e.OSError(), static_cast<uint32_t>(EEXIST));
  }
  EXPECT_EQ(code, nxeFileRenameFailed);
  EXPECT_TRUE(Contains(message, u"RenameFile (from \"" + from + u"\" to \"" + to + u"\")"))
      << platform::Utf16ToUtf8(message);
  EXPECT_EQ(dir_.Read("a"), "1");
  EXPECT_EQ(dir_.Read("b"), "2");
}

// A change that could not be made durable is reported, not taken as done.
TEST_F(FileManagementTest, AFailedFolderSyncIsReported) {
  const struct {
    const char* what;
    TFileOp op;
    uint32_t code;
  } cases[] = {
      {"unlink", TFileOp::Unlink, nxeFileDeleteFailed},
      {"delete sync", TFileOp::SyncDirectory, nxeFileDeleteFailed},
      {"rename", TFileOp::Rename, nxeFileRenameFailed},
      {"rename sync", TFileOp::SyncDirectory, nxeFileRenameFailed},
  };
  for (const auto& c : cases) {
    TFaultFileOps ops;
    ops.FailCall(c.op, 1, EIO);
    dir_.Write("x", "1");
    platform::ScopedFileOps seam(ops);
    uint32_t code = 0;
    try {
      if (c.code == nxeFileDeleteFailed)
        DeleteFileChecked(U16(dir_.Path("x")));
      else
        RenameFileChecked(U16(dir_.Path("x")), U16(dir_.Path("y")));
    } catch (const EnxFileManagementException& e) {
      code = e.ErrorCode();
      EXPECT_EQ(e.OSError(), static_cast<uint32_t>(EIO)) << c.what;
    }
    EXPECT_EQ(code, c.code) << c.what;
    std::filesystem::remove(dir_.Path("x"));
    std::filesystem::remove(dir_.Path("y"));
  }
}

}  // namespace
}  // namespace revurov
