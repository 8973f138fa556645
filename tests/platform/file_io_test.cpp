#include "platform/file_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "platform/os_error.h"
#include "platform/rtl_exception.h"
#include "platform/text.h"
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
  struct Fault {
    TFileOp op;
    int error;
  };
  const std::vector<Fault> cases[] = {
      {{TFileOp::OpenTemporary, EIO}},
      {{TFileOp::Write, EIO}},
      {{TFileOp::Write, ENOSPC}},
      {{TFileOp::DataSync, EIO}},
      {{TFileOp::LinkTemporary, EIO}},
      {{TFileOp::Close, EIO}},
      {{TFileOp::Rename, EIO}},
      // A file system without unnamed files: the named temporary is used.
      {{TFileOp::OpenTemporary, EOPNOTSUPP}, {TFileOp::Open, EIO}},
      {{TFileOp::OpenTemporary, EOPNOTSUPP}, {TFileOp::Write, ENOSPC}},
      {{TFileOp::OpenTemporary, EOPNOTSUPP}, {TFileOp::Rename, EIO}},
  };
  for (const auto& faults : cases) {
    TempDir dir;
    dir.Write("a.txt", "old content");
    TFaultFileOps ops;
    for (const Fault& f : faults) ops.FailCall(f.op, 1, f.error);
    {
      ScopedFileOps guard(ops);
      EXPECT_THROW(ReplaceFileAtomically(dir.Path("a.txt"), "new content that is longer"), EFCreateError)
          << static_cast<int>(faults.back().op) << "/" << faults.back().error;
    }
    EXPECT_EQ(dir.Read("a.txt"), "old content");
    EXPECT_EQ(dir.Count(), 1u);
  }
}

// Seam calls as a kill -9 could interrupt them: at each one, the folder
// holds nothing but the target, except between naming the finished
// temporary and renaming it over the target.
class TFolderWatchingOps final : public TFileOps {
public:
  TFolderWatchingOps(TFileOps& real, std::string folder) : real_(real), folder_(std::move(folder)) {}
  std::vector<std::vector<std::string>> seen;  // the folder's names at each call

  int Open(const std::string& p, TOpenFlags f, uint32_t m, TFileHandle& h) override { Look(); return real_.Open(p, f, m, h); }
  int Close(TFileHandle h) override { Look(); return real_.Close(h); }
  int Read(TFileHandle h, void* b, int64_t c, int64_t& d) override { return real_.Read(h, b, c, d); }
  int Write(TFileHandle h, const void* b, int64_t c, int64_t& d) override { Look(); return real_.Write(h, b, c, d); }
  int ReadAt(TFileHandle h, int64_t o, void* b, int64_t c, int64_t& d) override { return real_.ReadAt(h, o, b, c, d); }
  int WriteAt(TFileHandle h, int64_t o, const void* b, int64_t c, int64_t& d) override { Look(); return real_.WriteAt(h, o, b, c, d); }
  int Seek(TFileHandle h, int64_t o, TSeekOrigin w, int64_t& p) override { return real_.Seek(h, o, w, p); }
  int GetSize(TFileHandle h, int64_t& s) override { return real_.GetSize(h, s); }
  int SetSize(TFileHandle h, int64_t s) override { Look(); return real_.SetSize(h, s); }
  int SetPermissions(TFileHandle h, uint32_t m) override { Look(); return real_.SetPermissions(h, m); }
  int GetHandleInfo(TFileHandle h, TFileInfo& i) override { return real_.GetHandleInfo(h, i); }
  int DataSync(TFileHandle h) override { Look(); return real_.DataSync(h); }
  int Sync(TFileHandle h) override { Look(); return real_.Sync(h); }
  int SyncDirectory(const std::string& p) override { Look(); return real_.SyncDirectory(p); }
  int Lock(TFileHandle h, TFileLockKind k, TFileLockWait w, int64_t o, int64_t l) override { return real_.Lock(h, k, w, o, l); }
  int Unlock(TFileHandle h, int64_t o, int64_t l) override { return real_.Unlock(h, o, l); }
  int Rename(const std::string& a, const std::string& b, TRenameMode m) override { Look(); return real_.Rename(a, b, m); }
  int Unlink(const std::string& p) override { Look(); return real_.Unlink(p); }
  int GetInfo(const std::string& p, TFileInfo& i) override { return real_.GetInfo(p, i); }
  int MakeDirectory(const std::string& p, uint32_t m) override { return real_.MakeDirectory(p, m); }
  int OpenTemporary(const std::string& d, uint32_t m, TFileHandle& h) override { Look(); return real_.OpenTemporary(d, m, h); }
  int LinkTemporary(TFileHandle h, const std::string& p) override { Look(); return real_.LinkTemporary(h, p); }
  int ReadLink(const std::string& p, std::string& t) override { return real_.ReadLink(p, t); }
  int PunchHole(TFileHandle h, int64_t o, int64_t l) override { return real_.PunchHole(h, o, l); }

private:
  void Look() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    seen.push_back(std::move(names));
  }
  TFileOps& real_;
  std::string folder_;
};

TEST(FileIo, ReplacementLeavesNoCopyBehindAtAnyStep) {
  TempDir dir;
  TFolderWatchingOps ops(PosixFileOps(), dir.Dir());
  ReplaceFileAtomically(dir.Path("new.dat"), "secret", ops);  // created with its name at once
  for (const auto& names : ops.seen) {
    EXPECT_TRUE(names.empty() || names == std::vector<std::string>{"new.dat"});
  }
  ops.seen.clear();
  ReplaceFileAtomically(dir.Path("new.dat"), "secret 2", ops);
  size_t with_temporary = 0;
  for (const auto& names : ops.seen) {
    if (names.size() == 2) {
      ++with_temporary;
    } else {
      EXPECT_EQ(names, std::vector<std::string>{"new.dat"});
    }
  }
  EXPECT_EQ(with_temporary, 2u);  // at the Close and the Rename that follow the naming
  EXPECT_EQ(dir.Read("new.dat"), "secret 2");
}

TEST(FileIo, NewFilesGetTheAskedPermissionsAndTemporariesNeverMore) {
  TempDir dir;
  ReplaceFileAtomically(dir.Path("pw.dat"), "x", FileOps(), 0600);
  EXPECT_EQ(std::filesystem::status(dir.Path("pw.dat")).permissions(), std::filesystem::perms(0600));
  // An existing file keeps its mode.
  std::filesystem::permissions(dir.Path("pw.dat"), std::filesystem::perms(0640));
  ReplaceFileAtomically(dir.Path("pw.dat"), "z", FileOps(), 0600);
  EXPECT_EQ(std::filesystem::status(dir.Path("pw.dat")).permissions(), std::filesystem::perms(0640));
  EXPECT_EQ(dir.Read("pw.dat"), "z");
}

TEST(FileIo, ReplacingThroughALinkReplacesItsTargetAndKeepsTheLink) {
  TempDir dir;
  std::filesystem::create_directories(dir.Path("real"));
  dir.Write("real/data.dat", "old");
  std::filesystem::create_symlink("real/data.dat", dir.Path("link1"));
  std::filesystem::create_symlink(dir.Path("link1"), dir.Path("link2"));
  ReplaceFileAtomically(dir.Path("link2"), "new");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link1")));
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link2")));
  EXPECT_EQ(dir.Read("real/data.dat"), "new");
  // A dangling link gets its target created.
  std::filesystem::create_symlink("real/made.dat", dir.Path("dangling"));
  ReplaceFileAtomically(dir.Path("dangling"), "made");
  EXPECT_EQ(dir.Read("real/made.dat"), "made");
  EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("dangling")));
}

TEST(FileIo, ReadRefusesWhatIsNoRegularFileWithoutWaiting) {
  TempDir dir;
  ASSERT_EQ(::mkfifo(dir.Path("fifo").c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", dir.Path("device"));
  for (const char* name : {"fifo", "device"}) {
    try {
      ReadFileBytes(dir.Path(name));
      ADD_FAILURE() << name;
    } catch (const EFOpenError& e) {
      EXPECT_EQ(e.Message(), u"Datei \"" + Utf8ToUtf16(dir.Path(name)) +
                                 u"\" kann nicht ge\u00F6ffnet werden. Die Datei ist keine regul\u00E4re Datei.")
          << name;
    }
  }
}

TEST(FileIo, CommonSystemErrorsReadAsOnAGermanSystem) {
  EXPECT_EQ(SysErrorMessage(ENOSPC), u"Auf dem Datentr\u00E4ger ist nicht gen\u00FCgend Speicherplatz vorhanden.");
  EXPECT_EQ(SysErrorMessage(EACCES), u"Zugriff verweigert");
  EXPECT_EQ(SysErrorMessage(ENOENT), u"Das System kann die angegebene Datei nicht finden.");
  EXPECT_EQ(SysErrorMessage(EROFS), u"Das Medium ist schreibgesch\u00FCtzt.");
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
