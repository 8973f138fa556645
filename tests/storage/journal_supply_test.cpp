#include "storage/journal_supply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "storage/files.h"
#include "storage/journal_classes.h"
#include "storage/journal_engine.h"
#include "support/recording_file_ops.h"
#include "support/temp_dir.h"

namespace revurov {
namespace {

using testing::TempDir;
using testing::TRecordingFileOps;

constexpr uint32_t kBlock = 4096;

class JournalSupplyTest : public ::testing::Test {
protected:
  void SetUp() override { dir.Write("t.nx1", std::string(2 * kBlock, 'A')); }
  std::u16string Folder() const { return platform::Utf8ToUtf16(dir.Dir()); }
  // Writes and removes one journal of the supply, as a commit does.
  void Commit(TnxJournalSupply& aSupply) {
    std::unique_ptr<TnxBaseJournalEngine> journal = aSupply.NextJournal(&nxRollbackJournalEngineClass());
    TnxBaseFile file(platform::Utf8ToUtf16(dir.Path("t.nx1")));
    const std::string image(kBlock, 'x');
    journal->PrepareJournal();
    journal->AddBlock(file, 1, reinterpret_cast<const uint8_t*>(image.data()),
                      reinterpret_cast<const uint8_t*>(image.data()));
    journal->FinalizeJournal();
    journal->Invalidate();
  }

  TempDir dir;
  TRecordingFileOps rec{platform::PosixFileOps()};
};

TEST_F(JournalSupplyTest, NumbersStartAboveEveryNumberedJournalOfTheFolder) {
  struct TCase {
    const char* Name;
    std::vector<std::string> Files;
    uint64_t Next;
  } cases[] = {
      {"none", {}, 1},
      {"numbered ones", {"7.n$2", "12.n$2", "3.n$2"}, 13},
      {"other names and one past 32 bits", {"x.n$2", "12a.n$2", "99999999999.n$2", "5.nx1", "4.n$2"}, 5},
      {"the largest 32-bit number is the last", {"4294967294.n$2"}, 4294967295u},
      {"no number left", {"4294967295.n$2"}, 4294967296u},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir folder;
    for (const std::string& name : c.Files) folder.Write(name, "");
    TnxJournalSupply supply(platform::Utf8ToUtf16(folder.Dir()));
    EXPECT_EQ(supply.NextNumber(), c.Next);
    if (c.Next > UINT32_MAX) {
      try {
        supply.NextJournal(&nxRollbackJournalEngineClass());
        ADD_FAILURE() << "a number was handed out";
      } catch (const EnxBaseJournalEngineException& e) {
        EXPECT_EQ(e.ErrorCode(), 9985u);
      }
    }
  }
}

TEST_F(JournalSupplyTest, JournalsAreNamedByNumberInTheFolderAndNilWithoutAClass) {
  TnxJournalSupply supply(Folder(), rec);
  EXPECT_EQ(supply.NextJournal(nullptr), nullptr);
  EXPECT_EQ(supply.NextNumber(), 1u);
  std::unique_ptr<TnxBaseJournalEngine> first = supply.NextJournal(&nxCommitJournalEngineClass());
  std::unique_ptr<TnxBaseJournalEngine> second = supply.NextJournal(&nxRollbackJournalEngineClass());
  EXPECT_EQ(first->FileName(), Folder() + u"1.n$2");
  EXPECT_EQ(second->FileName(), Folder() + u"2.n$2");
  EXPECT_EQ(dynamic_cast<Tnx1xJournalEngine&>(*first).jeJournalKind(), 1);
  EXPECT_EQ(dynamic_cast<Tnx1xJournalEngine&>(*second).jeJournalKind(), 2);
  EXPECT_TRUE(rec.Trace.empty()) << "journals not written touch no file";
}

TEST_F(JournalSupplyTest, ARemovedJournalLeavesTheNextOneMadeAndTheSupplyTakesItAlong) {
  {
    TnxJournalSupply supply(Folder(), rec);
    Commit(supply);
    EXPECT_FALSE(dir.Exists("1.n$2"));
    EXPECT_EQ(dir.Read("2.n$2"), "");
    rec.Trace.clear();
    Commit(supply);
    EXPECT_EQ(rec.Trace.front(), "write 2.n$2") << "made ahead, so not made again";
    EXPECT_EQ(dir.Read("3.n$2"), "");
  }
  EXPECT_FALSE(dir.Exists("3.n$2"));
}

// A rolled-back transaction drops its journal unwritten.
TEST_F(JournalSupplyTest, AnUnwrittenJournalGivesItsMadeFileBackOrRemovesIt) {
  TnxJournalSupply supply(Folder(), rec);
  Commit(supply);
  supply.NextJournal(&nxRollbackJournalEngineClass()).reset();
  EXPECT_EQ(supply.NextNumber(), 2u);
  EXPECT_TRUE(dir.Exists("2.n$2"));
  rec.Trace.clear();
  Commit(supply);
  EXPECT_EQ(rec.Trace.front(), "write 2.n$2");

  // A later number already handed out: the made file cannot serve again.
  std::unique_ptr<TnxBaseJournalEngine> made = supply.NextJournal(&nxRollbackJournalEngineClass());
  std::unique_ptr<TnxBaseJournalEngine> later = supply.NextJournal(&nxRollbackJournalEngineClass());
  made.reset();
  EXPECT_FALSE(dir.Exists("3.n$2"));
  EXPECT_EQ(later->FileName(), Folder() + u"4.n$2");
  EXPECT_EQ(supply.NextNumber(), 5u);
}

}  // namespace
}  // namespace revurov
