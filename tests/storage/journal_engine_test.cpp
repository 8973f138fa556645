#include "storage/journal_engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "lowlevel/errors/error_codes.h"
#include "lowlevel/sync/platform_interface.h"
#include "platform/text.h"
#include "storage/files.h"
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

constexpr uint32_t kBlock = 4096;

struct THookCall {
  TnxJournalState State;
  std::u16string FileName;
  std::u16string Text;
};
std::vector<THookCall> gHookCalls;
bool gHookAnswer = true;
int gTerminates = 0;

bool RecordingHook(TnxJournalState aState, const std::u16string&, const std::u16string&,
                   const std::u16string& aFileName, const std::u16string& aText) {
  gHookCalls.push_back({aState, aFileName, aText});
  return gHookAnswer;
}

std::string Fill(char aByte, uint32_t aBytes = kBlock) { return std::string(aBytes, aByte); }
const uint8_t* Bytes(const std::string& aText) { return reinterpret_cast<const uint8_t*>(aText.data()); }

class JournalTest : public ::testing::Test {
protected:
  void SetUp() override {
    gHookCalls.clear();
    gHookAnswer = true;
    gTerminates = 0;
    nxPlatformJournalRecoveryDialog = RecordingHook;
    nxPlatformTerminate = [] { ++gTerminates; };
    // A data file of blocks "A", "B", "C".
    dir.Write("t.nx1", Fill('A') + Fill('B') + Fill('C'));
  }
  void TearDown() override { nxResetPlatformHooks(); }

  std::u16string U16(const std::string& aText) const { return platform::Utf8ToUtf16(aText); }
  std::u16string Folder() const { return U16(dir.Dir()); }
  std::u16string JournalName(int aNumber) const { return U16(dir.Path(std::to_string(aNumber) + ".n$2")); }
  // Read at its offset: the data file may be sparse and gigabytes long.
  std::string Block(int64_t aNumber) const {
    platform::TFile file(platform::PosixFileOps());
    std::string got(kBlock, '\0');
    int64_t done = 0;
    if (file.Open(dir.Path("t.nx1"), platform::TOpenFlags::ofRead) != 0 ||
        platform::PosixFileOps().ReadAt(file.Handle(), aNumber * kBlock, got.data(), kBlock, done) != 0)
      return "(unreadable)";
    got.resize(static_cast<size_t>(done));
    return got;
  }

  // A complete journal of class E changing block aNumber from aBefore to aAfter.
  template <class E = Tnx1xJournalEngine>
  void WriteJournal(int aJournal, TnxBlockNumber aNumber, char aBefore, char aAfter, bool aComplete = true) {
    TnxBaseFile file(U16(dir.Path("t.nx1")));
    E journal(JournalName(aJournal));
    journal.PrepareJournal();
    const std::string before = Fill(aBefore), after = Fill(aAfter);
    journal.AddBlock(file, aNumber, Bytes(before), Bytes(after));
    journal.FinalizeJournal();
    if (!aComplete) {
      // As a crash before the complete flag leaves it.
      const std::string name = std::to_string(aJournal) + ".n$2";
      std::string bytes = dir.Read(name);
      bytes.replace(4, 4, std::string(4, '\0'));
      dir.Write(name, bytes);
    }
  }

  TempDir dir;
};

TEST_F(JournalTest, EachClassWritesItsImagesAndMarksTheJournalComplete) {
  struct TCase {
    int32_t Kind;
    std::vector<uint8_t> ImageKinds;  // for one existing and one new block
  } cases[] = {{0, {0xFF, 0, 0}}, {1, {0, 0}}, {2, {0xFF}}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Kind);
    TnxBaseFile file(U16(dir.Path("t.nx1")));
    std::unique_ptr<Tnx1xJournalEngine> journal;
    if (c.Kind == 0) journal = std::make_unique<Tnx1xJournalEngine>(JournalName(1));
    if (c.Kind == 1) journal = std::make_unique<Tnx1xCommitJournalEngine>(JournalName(1));
    if (c.Kind == 2) journal = std::make_unique<Tnx1xRollbackJournalEngine>(JournalName(1));
    journal->PrepareJournal();
    const std::string before = Fill('b'), after = Fill('a');
    journal->AddBlock(file, 1, Bytes(before), Bytes(after));
    journal->AddBlock(file, 7, nullptr, Bytes(after));  // beyond the committed blocks
    std::string bytes = dir.Read("1.n$2");
    ASSERT_GE(bytes.size(), 12u);
    EXPECT_EQ(bytes.substr(0, 4), "NXJH");
    EXPECT_EQ(bytes.substr(4, 4), std::string(4, '\0')) << "complete before FinalizeJournal";
    journal->FinalizeJournal();
    bytes = dir.Read("1.n$2");
    EXPECT_EQ(bytes.substr(4, 4), std::string(4, '\xFF'));
    EXPECT_EQ(static_cast<uint8_t>(bytes[8]), c.Kind);
    ASSERT_EQ(bytes.size(), 12 + c.ImageKinds.size() * (268 + kBlock));
    for (size_t i = 0; i < c.ImageKinds.size(); ++i) {
      const std::string entry = bytes.substr(12 + i * (268 + kBlock), 268 + kBlock);
      EXPECT_EQ(entry.substr(0, 4), "NXJR");
      EXPECT_EQ(static_cast<uint8_t>(entry[9]), c.ImageKinds[i]);
      EXPECT_EQ(entry.substr(12, 6), std::string("\x05t.nx1"));
      EXPECT_EQ(entry.substr(268), Fill(c.ImageKinds[i] == 0xFF ? 'b' : 'a'));
    }
    journal->Invalidate();
    EXPECT_FALSE(dir.Exists("1.n$2"));
  }
}

TEST_F(JournalTest, WritingSyncsEntriesThenFlagThenFolderAndInvalidationRemovesTheJournalDurably) {
  TFaultFileOps ops;
  TnxBaseFile file(U16(dir.Path("t.nx1")));
  Tnx1xJournalEngine journal(JournalName(1), ops);
  journal.PrepareJournal();
  const std::string image = Fill('x');
  journal.AddBlock(file, 0, Bytes(image), Bytes(image));
  EXPECT_EQ(ops.Calls(TFileOp::DataSync), 0);
  journal.FinalizeJournal();
  EXPECT_EQ(ops.Calls(TFileOp::DataSync), 2);
  EXPECT_EQ(ops.Calls(TFileOp::SyncDirectory), 1);
  journal.Invalidate();
  EXPECT_EQ(ops.Calls(TFileOp::DataSync), 2);
  EXPECT_EQ(ops.Calls(TFileOp::Unlink), 1);
  EXPECT_EQ(ops.Calls(TFileOp::SyncDirectory), 2);
}

TEST_F(JournalTest, AFailedSyncFailsTheWriteAndAnIncompleteJournalIsDropped) {
  TFaultFileOps ops;
  ops.FailCall(TFileOp::DataSync, 1);
  {
    TnxBaseFile file(U16(dir.Path("t.nx1")));
    Tnx1xJournalEngine journal(JournalName(1), ops);
    journal.PrepareJournal();
    const std::string image = Fill('x');
    journal.AddBlock(file, 0, Bytes(image), Bytes(image));
    EXPECT_HAS_TEXT(testing::MessageOf<Enx1xJournalEngineException>([&] { journal.FinalizeJournal(); }),
                    u"Journal flush failed");
  }
  EXPECT_FALSE(dir.Exists("1.n$2"));
}

TEST_F(JournalTest, AnExistingJournalIsNeverOverwritten) {
  dir.Write("1.n$2", "keep");
  Tnx1xJournalEngine journal(JournalName(1));
  EXPECT_THROW(journal.PrepareJournal(), Enx1xJournalEngineException);
  EXPECT_EQ(dir.Read("1.n$2"), "keep");
}

TEST_F(JournalTest, FilesTheJournalCannotNameFailBeforeAnythingIsWritten) {
  TempDir other;
  other.Write("t.nx1", Fill('A'));
  const std::string longName = std::string(250, 'n') + "\xC3\xA4\xC3\xA4\xC3\xA4.nx1";  // 260 bytes
  dir.Write(longName, Fill('A'));
  for (const std::u16string& name : {U16(other.Path("t.nx1")), U16(dir.Path(longName))}) {
    TnxBaseFile file(name);
    Tnx1xJournalEngine journal(JournalName(1));
    journal.PrepareJournal();
    const std::string image = Fill('x');
    try {
      journal.AddBlock(file, 0, Bytes(image), Bytes(image));
      ADD_FAILURE() << "accepted";
    } catch (const Enx1xJournalEngineException& e) {
      EXPECT_EQ(e.ErrorCode(), nxeInvalidParameter);
    }
    EXPECT_EQ(dir.Read("1.n$2").size(), 12u);
  }
}

TEST_F(JournalTest, CheckOfAMissingFolderRaises10018) {
  try {
    Tnx1xJournalEngine::Check(u"alias", U16(dir.Path("missing")));
    ADD_FAILURE() << "no error";
  } catch (const Enx1xJournalEngineException& e) {
    EXPECT_EQ(e.ErrorCode(), nxeAliasDirectoryMissing);
  }
}

TEST_F(JournalTest, CheckLeavesAFolderWithoutJournalsAlone) {
  Tnx1xJournalEngine::Check(u"alias", Folder());
  EXPECT_TRUE(gHookCalls.empty());
  EXPECT_EQ(dir.Count(), 1u);
}

TEST_F(JournalTest, AnIncompleteOrEmptyJournalIsDroppedWithoutTouchingData) {
  WriteJournal(1, 1, 'B', 'z', false);
  dir.Write("2.n$2", "");     // made ahead for a commit that never came
  dir.Write("3.n$2", "NXJ");  // a header cut short
  // Made ahead, written, and cut by a power loss that kept the size and
  // some sectors but not the header's.
  dir.Write("4.n$2", std::string(600, '\0') + Fill('z', 3000));
  Tnx1xJournalEngine::Check(u"alias", Folder());
  EXPECT_EQ(Block(1), Fill('B'));
  EXPECT_EQ(dir.Count(), 1u);
  // The empty one is no interrupted commit: the hook hears of the others.
  ASSERT_EQ(gHookCalls.size(), 3u);
  for (const THookCall& call : gHookCalls) EXPECT_EQ(call.State, jsIncomplete);
  EXPECT_EQ(gHookCalls[0].FileName, u"1.n$2");
  EXPECT_EQ(gHookCalls[1].FileName, u"3.n$2");
  EXPECT_EQ(gHookCalls[2].FileName, u"4.n$2");
}

TEST_F(JournalTest, ACompleteJournalIsUndoneOrRedoneByKindAndClass) {
  struct TCase {
    const char* Name;
    int32_t WriterKind;
    int32_t CheckKind;
    bool HookAnswer;
    char Expected;
  } cases[] = {
      {"rollback journal undone", 2, 0, true, 'b'},
      {"commit journal redone", 1, 2, true, 'a'},
      {"kind 0, kind-0 check, hook says undo", 0, 0, false, 'b'},
      {"kind 0, kind-0 check, hook says redo", 0, 0, true, 'a'},
      {"kind 0 under a commit class", 0, 1, false, 'a'},
      {"kind 0 under a rollback class", 0, 2, true, 'b'},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    dir.Write("t.nx1", Fill('A') + Fill('B') + Fill('C'));
    if (c.WriterKind == 0) WriteJournal<Tnx1xJournalEngine>(4, 1, 'b', 'a');
    if (c.WriterKind == 1) WriteJournal<Tnx1xCommitJournalEngine>(4, 1, 'b', 'a');
    if (c.WriterKind == 2) WriteJournal<Tnx1xRollbackJournalEngine>(4, 1, 'b', 'a');
    gHookAnswer = c.HookAnswer;
    Tnx1xJournalEngine::Check(u"alias", Folder(), c.CheckKind);
    EXPECT_EQ(Block(1), Fill(c.Expected));
    EXPECT_EQ(Block(0), Fill('A'));
    EXPECT_EQ(Block(2), Fill('C'));
    EXPECT_FALSE(dir.Exists("4.n$2"));
  }
}

TEST_F(JournalTest, JournalsAreUndoneNewestFirstAndRedoneOldestFirstByNumber) {
  // 9 and 10 sort the other way round as text.
  WriteJournal<Tnx1xRollbackJournalEngine>(9, 1, '1', 'x');
  WriteJournal<Tnx1xRollbackJournalEngine>(10, 1, '2', 'y');
  Tnx1xJournalEngine::Check(u"alias", Folder());
  EXPECT_EQ(Block(1), Fill('1'));
  WriteJournal<Tnx1xCommitJournalEngine>(9, 1, 'x', '1');
  WriteJournal<Tnx1xCommitJournalEngine>(10, 1, 'y', '2');
  Tnx1xJournalEngine::Check(u"alias", Folder());
  EXPECT_EQ(Block(1), Fill('2'));
  EXPECT_EQ(dir.Count(), 1u);
}

TEST_F(JournalTest, AFileWithoutTheMagicIsSkippedAndKeptAndTheNextStillRuns) {
  dir.Write("1.n$2", "NOPE and more bytes");
  WriteJournal<Tnx1xRollbackJournalEngine>(2, 1, 'b', 'a');
  Tnx1xJournalEngine::Check(u"alias", Folder());
  EXPECT_EQ(Block(1), Fill('b'));
  EXPECT_TRUE(dir.Exists("1.n$2"));
  EXPECT_FALSE(dir.Exists("2.n$2"));
  ASSERT_EQ(gHookCalls.size(), 1u);
  EXPECT_EQ(gHookCalls[0].State, jsSkipping);
  EXPECT_EQ(gHookCalls[0].FileName, u"1.n$2");
  EXPECT_HAS_TEXT(gHookCalls[0].Text, u"is not a RevurOV formatted file");
}

TEST_F(JournalTest, ABlockBeyondFourGigabytesGoesBackAtItsFullOffset) {
  constexpr TnxBlockNumber kFar = (TnxBlockNumber{1} << 20) + 3;  // 4 GB + 12 KB
  WriteJournal<Tnx1xCommitJournalEngine>(1, kFar, 'b', 'q');
  Tnx1xJournalEngine::Check(u"alias", Folder());
  EXPECT_EQ(Block(kFar), Fill('q'));
  EXPECT_EQ(Block(1), Fill('B'));
}

// A damaged complete journal: nothing is written anywhere, the journal
// stays, the hook hears jsTrash, the application is asked to end, and
// Check raises.
TEST_F(JournalTest, ADamagedCompleteJournalWritesNothingAndRaises) {
  TempDir outside;
  outside.Write("victim", Fill('V'));
  std::filesystem::create_symlink(outside.Path("victim"), dir.Path("link.nx1"));
  const std::string escape = "../" + std::filesystem::path(outside.Dir()).parent_path().filename().string() + "/victim";
  struct TCase {
    const char* Name;
    size_t At;  // offset in the journal
    std::string Bytes;
    bool Truncate;
  } cases[] = {
      {"entry magic", 12, "NXJX", false},
      {"block size ordinal 5", 12 + 8, "\x05", false},
      {"image kind 7", 12 + 9, "\x07", false},
      {"dirty reserved bytes", 12 + 10, "\x01", false},
      {"name with a slash", 12 + 12, std::string(1, char(escape.size())) + escape, false},
      {"name \"..\"", 12 + 12, "\x02..", false},
      {"empty name", 12 + 12, std::string(1, '\0'), false},
      {"name is a link out of the folder", 12 + 12, "\x08link.nx1", false},
      {"image cut short", 12 + 268 + 100, "", true},
      {"entry header cut short", 12 + 100, "", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    gHookCalls.clear();
    gTerminates = 0;
    WriteJournal<Tnx1xRollbackJournalEngine>(1, 1, 'b', 'a');
    std::string bytes = dir.Read("1.n$2");
    if (c.Truncate)
      bytes.resize(c.At);
    else
      bytes.replace(c.At, c.Bytes.size(), c.Bytes);
    dir.Write("1.n$2", bytes);
    EXPECT_THROW(Tnx1xJournalEngine::Check(u"alias", Folder()), Enx1xJournalEngineException);
    EXPECT_EQ(dir.Read("t.nx1"), Fill('A') + Fill('B') + Fill('C'));
    EXPECT_EQ(outside.Read("victim"), Fill('V'));
    EXPECT_EQ(dir.Read("1.n$2"), bytes);
    ASSERT_EQ(gHookCalls.size(), 1u);
    EXPECT_EQ(gHookCalls[0].State, jsTrash);
    EXPECT_EQ(gTerminates, 1);
    std::filesystem::remove(dir.Path("1.n$2"));
  }
}

// The data file is swapped for a link out of the folder at the moment the
// replay opens it: the link is refused, nothing outside is written.
TEST_F(JournalTest, ADataFileSwappedForALinkAtTheOpenIsNotFollowed) {
  TempDir outside;
  outside.Write("victim", Fill('V', 3 * kBlock));
  WriteJournal<Tnx1xRollbackJournalEngine>(1, 1, 'b', 'a');
  TFaultFileOps ops;
  ops.OnOpen([&](const std::string& aName) {
    if (!aName.ends_with("t.nx1") || std::filesystem::is_symlink(dir.Path("t.nx1"))) return;
    std::filesystem::rename(dir.Path("t.nx1"), dir.Path("t.old"));
    std::filesystem::create_symlink(outside.Path("victim"), dir.Path("t.nx1"));
  });
  {
    platform::ScopedFileOps scoped(ops);
    EXPECT_THROW(Tnx1xJournalEngine::Check(u"alias", Folder()), Enx1xJournalEngineException);
  }
  EXPECT_EQ(outside.Read("victim"), Fill('V', 3 * kBlock));
  EXPECT_TRUE(dir.Exists("1.n$2"));
  ASSERT_EQ(gHookCalls.size(), 1u);
  EXPECT_EQ(gHookCalls[0].State, jsTrash);
  EXPECT_HAS_TEXT(gHookCalls[0].Text, u"link");
}

TEST_F(JournalTest, ADamagedHeaderIsSkipped) {
  struct TCase {
    const char* Name;
    size_t At;
    std::string Bytes;
  } cases[] = {{"flag neither 0 nor complete", 4, "\x01"}, {"kind 3", 8, "\x03"}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    gHookCalls.clear();
    WriteJournal<Tnx1xRollbackJournalEngine>(1, 1, 'b', 'a');
    std::string bytes = dir.Read("1.n$2");
    bytes.replace(c.At, c.Bytes.size(), c.Bytes);
    dir.Write("1.n$2", bytes);
    Tnx1xJournalEngine::Check(u"alias", Folder());
    EXPECT_EQ(Block(1), Fill('B'));
    EXPECT_TRUE(dir.Exists("1.n$2"));
    ASSERT_EQ(gHookCalls.size(), 1u);
    EXPECT_EQ(gHookCalls[0].State, jsSkipping);
    std::filesystem::remove(dir.Path("1.n$2"));
  }
}

TEST_F(JournalTest, ReplayedDataIsSyncedBeforeTheJournalGoes) {
  WriteJournal<Tnx1xRollbackJournalEngine>(1, 1, 'b', 'a');
  TFaultFileOps ops;
  ops.FailCall(TFileOp::DataSync, 1);
  {
    platform::ScopedFileOps scoped(ops);
    EXPECT_THROW(Tnx1xJournalEngine::Check(u"alias", Folder()), Enx1xJournalEngineException);
  }
  EXPECT_TRUE(dir.Exists("1.n$2"));
  Tnx1xJournalEngine::Check(u"alias", Folder());
  EXPECT_EQ(Block(1), Fill('b'));
  EXPECT_FALSE(dir.Exists("1.n$2"));
}

}  // namespace
}  // namespace revurov
