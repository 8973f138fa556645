// The folder's table operations through a database: build, delete, empty,
// rename and the dictionary, their refusals, and the file moves a rename
// or delete makes (undone when a move fails, finished when the folder
// opens after a crash).
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/name_rules.h"
#include "lowlevel/errors/error_codes.h"
#include "platform/file_ops.h"
#include "platform/string_list.h"
#include "server/server_engine.h"
#include "server/table_file_moves.h"
#include "support/fault_file_ops.h"
#include "support/table_ops_fixture.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

using FolderTablesTest = TableOpsFixture;

const std::vector<std::string> kThreeFiles(const std::string& aName) {
  return {aName + ".bl", aName + ".ix", aName + ".nx1"};
}

std::vector<std::string> Without(std::vector<std::string> aFiles, const std::string& aName) {
  std::erase(aFiles, aName);
  return aFiles;
}

TEST_F(FolderTablesTest, BuildRefusalsAsRows) {
  ASSERT_EQ(Build(u"T"), 0u) << LastMessage();
  struct Row {
    const char* name;
    std::u16string table;
    bool overWrite;
    uint32_t result;
  } rows[] = {
      {"existing without overwrite", u"T", false, nxeTableAlreadyExists},
      {"existing with the extension", u"t.NX1", false, nxeTableAlreadyExists},
      {"invalid name", u" T", false, nxeInvalidTableName},
      {"child separator", u"T:C", false, nxeInvalidTableName},
      {"new", u"U", false, 0},
      {"existing with overwrite", u"T", true, 0},
  };
  for (const Row& row : rows) EXPECT_EQ(Build(row.table, u"B", 3, u"", row.overWrite), row.result) << row.name;
  TnxDataDictionary dict;
  ASSERT_EQ(db->TableGetDictionary(u"T", u"", &dict), 0u) << LastMessage();
  EXPECT_EQ(platform::Utf16ToUtf8(dict.FieldsDescriptor().FieldDescriptor(0)->Name()), "B");
  EXPECT_FALSE(IntentPending());
}

TEST_F(FolderTablesTest, AnOverwriteOfATableInUseIsRefused) {
  ASSERT_EQ(Build(u"T"), 0u);
  ASSERT_EQ(WriteRecord(u"T", u"kept"), 0u);
  TnxServerRootTable* table = nullptr;
  bool readOnly = false;
  ASSERT_EQ(Folder().sfTableOpen(u"T", {}, omReadWrite, smShared, false, table, readOnly), 0u);
  {
    TnxPadlockGuard guard(table->CursorsPadlock());
    table->srtCursorAdded();
  }
  EXPECT_EQ(Build(u"T", u"B", 3, u"", true), nxeTableIsOpen);
  EXPECT_EQ(db->TableDelete(u"T", u""), nxeTableIsOpen);
  EXPECT_EQ(db->TableRename(u"T", u"U", u""), nxeTableIsOpen);
  {
    TnxPadlockGuard guard(table->CursorsPadlock());
    table->srtCursorRemoved();
  }
  EXPECT_EQ(ReadRecord(u"T"), "kept");
}

TEST_F(FolderTablesTest, UniqueNamesCountOnFromTheBase) {
  ASSERT_EQ(Build(u"T", u"A", 1), 0u);
  ASSERT_EQ(Build(u"T1", u"A", 1), 0u);
  std::u16string name;
  ASSERT_EQ(Folder().sfTableMakeUniqueName(u"T", name), 0u);
  EXPECT_EQ(platform::Utf16ToUtf8(name), "T2");
  ASSERT_EQ(Folder().sfTableMakeUniqueName(u"V", name), 0u);
  EXPECT_EQ(platform::Utf16ToUtf8(name), "V");
}

TEST_F(FolderTablesTest, ARenameMovesEveryFileAndTheNameInside) {
  ASSERT_EQ(Build(u"Old"), 0u);
  ASSERT_EQ(WriteRecord(u"Old", u"r1"), 0u);
  const int32_t generation = db->StructureGeneration();
  ASSERT_EQ(db->TableRename(u"Old", u"New", u""), 0u) << LastMessage();
  EXPECT_EQ(Files(), kThreeFiles("New"));
  EXPECT_EQ(ReadRecord(u"New"), "r1");
  EXPECT_GT(db->StructureGeneration(), generation);
  // The renamed table passes the file-name check.
  CloseAll();
  engine->SetOptions(engine->Options() | nxServerEngineOption(seoVerifyTableNames));
  OpenAll();
  bool exists = false;
  EXPECT_EQ(db->TableExists(u"New:x", u"", exists, false), 0u);
  EXPECT_FALSE(exists);
  EXPECT_NE(LastMessage().find("Child table"), std::string::npos) << LastMessage();
}

TEST_F(FolderTablesTest, RenameRefusalsAsRows) {
  ASSERT_EQ(Build(u"A"), 0u);
  ASSERT_EQ(Build(u"B"), 0u);
  struct Row {
    const char* name;
    std::u16string from, to;
    uint32_t result;
  } rows[] = {
      {"onto an existing table", u"A", u"B", nxeTableAlreadyExists},
      {"onto an existing table in other case", u"A", u"b", nxeTableAlreadyExists},
      {"a missing table", u"C", u"D", nxeTableDoesNotExist},
      {"to an invalid name", u"A", u" D", nxeInvalidTableName},
      {"from an empty name", u"", u"D", nxeTableDoesNotExist},
  };
  for (const Row& row : rows) EXPECT_EQ(db->TableRename(row.from, row.to, u""), row.result) << row.name;
  std::vector<std::string> expected = kThreeFiles("A");
  for (const std::string& f : kThreeFiles("B")) expected.push_back(f);
  EXPECT_EQ(Files(), expected);
}

TEST_F(FolderTablesTest, ARenameFailingAtAnyMoveOrSyncLeavesTheTableWholeUnderOneName) {
  ASSERT_EQ(Build(u"Old"), 0u);
  ASSERT_EQ(WriteRecord(u"Old", u"r1"), 0u);
  for (TFileOp op : {TFileOp::Rename, TFileOp::SyncDirectory, TFileOp::Unlink, TFileOp::DataSync,
                     TFileOp::LinkTemporary}) {
    for (int k = 1; k <= 12; ++k) {
      SCOPED_TRACE(static_cast<int>(op) * 100 + k);
      uint32_t result = 0;
      {
        TFaultFileOps faults;
        faults.FailCall(op, k, EIO);
        platform::ScopedFileOps scoped(faults);
        result = db->TableRename(u"Old", u"New", u"");
      }
      if (result == 0) {
        EXPECT_EQ(Files(), kThreeFiles("New"));
        EXPECT_EQ(ReadRecord(u"New"), "r1");
        ASSERT_EQ(db->TableRename(u"New", u"Old", u""), 0u) << LastMessage();
        break;
      }
      // A failure after the last move leaves only the intent behind.
      const bool moved = Has("New.nx1");
      EXPECT_EQ(Files(), kThreeFiles(moved ? "New" : "Old")) << result;
      EXPECT_EQ(ReadRecord(moved ? u"New" : u"Old"), "r1");
      if (moved) {
        std::filesystem::remove(dir.Path("nxTableMoves.cfg"));
        ASSERT_EQ(db->TableRename(u"New", u"Old", u""), 0u) << LastMessage();
      }
      std::filesystem::remove(dir.Path("nxTableMoves.cfg"));
    }
  }
}

TEST_F(FolderTablesTest, ADeleteRefusedForThePasswordDeletesNothing) {
  ASSERT_EQ(Build(u"Secret", u"A", 3, u"right"), 0u) << LastMessage();
  ASSERT_EQ(WriteRecord(u"Secret", u"r1", u"right"), 0u);
  EXPECT_EQ(db->TableDelete(u"Secret", u"wrong"), nxeInvalidPassword);
  EXPECT_EQ(Files(), kThreeFiles("Secret"));
  EXPECT_EQ(db->TableRename(u"Secret", u"Other", u"wrong"), nxeInvalidPassword);
  EXPECT_EQ(db->TableEmpty(u"Secret", u"wrong"), nxeInvalidPassword);
  EXPECT_EQ(Build(u"Secret", u"B", 3, u"wrong", true), nxeTableReadOnly);
  EXPECT_EQ(ReadRecord(u"Secret", u"right"), "r1");
  EXPECT_EQ(db->TableDelete(u"Secret", u"right"), 0u) << LastMessage();
  EXPECT_TRUE(Files().empty());
}

TEST_F(FolderTablesTest, ADamagedTableLosesItsMainFile) {
  ASSERT_EQ(Build(u"Broken"), 0u);
  dir.Write("Broken.nx1", std::string(8192, 'x'));
  EXPECT_EQ(db->TableDelete(u"Broken", u""), 0u) << LastMessage();
  EXPECT_EQ(Files(), Without(kThreeFiles("Broken"), "Broken.nx1"));
}

TEST_F(FolderTablesTest, DeleteAndEmptyAsRows) {
  ASSERT_EQ(Build(u"D"), 0u);
  ASSERT_EQ(Build(u"E"), 0u);
  ASSERT_EQ(WriteRecord(u"E", u"r1"), 0u);
  EXPECT_EQ(db->TableDelete(u"D", u""), 0u);
  EXPECT_EQ(db->TableDelete(u"D", u""), nxeTableDoesNotExist);
  EXPECT_EQ(db->TableDelete(u"", u""), nxeTableDoesNotExist);
  EXPECT_EQ(db->TableEmpty(u"E", u""), 0u) << LastMessage();
  EXPECT_EQ(Files(), kThreeFiles("E"));
  EXPECT_EQ(ReadRecord(u"E"), "-");
  TnxDataDictionary dict;
  ASSERT_EQ(db->TableGetDictionary(u"E", u"", &dict), 0u);
  EXPECT_EQ(dict.FilesDescriptor().FileCount(), 3);
}

TEST_F(FolderTablesTest, TheDictionaryAndItsRefusals) {
  ASSERT_EQ(Build(u"T"), 0u);
  TnxDataDictionary dict;
  EXPECT_EQ(db->TableGetDictionary(u"T", u"", &dict), 0u);
  EXPECT_EQ(dict.FieldsDescriptor().FieldCount(), 2);
  EXPECT_EQ(db->TableGetDictionary(u"Missing", u"", &dict), nxeTableDoesNotExist);
  EXPECT_NE(LastMessage().find(" Root table \"Missing\" not found"), std::string::npos) << LastMessage();
  EXPECT_EQ(dict.FieldsDescriptor().FieldCount(), 0);
  EXPECT_EQ(db->TableGetDictionary(u"", u"", &dict), nxeTableDoesNotExist);
  EXPECT_EQ(db->TableGetDictionary(u"T", u"", nullptr), nxeInvalidParameter);
}

TEST_F(FolderTablesTest, AFileRenamedOutsideFailsTheNameCheck) {
  ASSERT_EQ(Build(u"Orders", u"A", 1), 0u);
  std::filesystem::rename(dir.Path("Orders.nx1"), dir.Path("Sales.nx1"));
  bool exists = false;
  EXPECT_EQ(db->TableExists(u"Sales:x", u"", exists, false), 0u);
  CloseAll();
  engine->SetOptions(engine->Options() | nxServerEngineOption(seoVerifyTableNames));
  OpenAll();
  EXPECT_EQ(db->TableExists(u"Sales:x", u"", exists, false), nxeInvalidTableName);
  EXPECT_NE(LastMessage().find("Table file name (\"Sales\") does not match actual table name (\"Orders\")"),
            std::string::npos)
      << LastMessage();
}

// ---- the intent file alone ----

class FileMovesTest : public ::testing::Test {
protected:
  std::u16string Folder() const { return platform::Utf8ToUtf16(dir.Dir()); }
  TempDir dir;
};

TEST_F(FileMovesTest, ALeftoverIntentGoesForwardOrBackAsItsChecksSay) {
  struct Row {
    const char* name;
    std::vector<std::string> before;
    std::vector<std::string> after;
  } rows[] = {
      {"nothing moved yet: back", {"A.nx1", "A.ix"}, {"A.ix", "A.nx1"}},
      {"main moved: forward", {"B.nx1", "A.ix"}, {"B.ix", "B.nx1"}},
      {"all moved: forward", {"B.nx1", "B.ix"}, {"B.ix", "B.nx1"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
    for (const std::string& f : row.before) dir.Write(f, f);
    TnxFileMoves plan(Folder(), {{u"A.nx1", u"B.nx1"}, {u"A.ix", u"B.ix"}}, {}, {{u"B.nx1", true}});
    plan.Announce();
    EXPECT_TRUE(nxFinishFileMoves(Folder()));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
      if (entry.path().filename() != "nxTableMoves.cfg") names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, row.after);
    EXPECT_FALSE(dir.Exists("nxTableMoves.cfg"));
  }
  EXPECT_FALSE(nxFinishFileMoves(Folder()));
}

// A replacing plan first announces its discards, then rewrites that intent
// with its steps. A power loss anywhere, keeping any of the unsynced
// sectors, must leave one whole intent: a torn one would keep the new file
// and its intent for ever.
TEST_F(FileMovesTest, APowerLossAnywhereInAReplacingPlanLeavesTheOldOrTheNewFile) {
  int cuts = 0;
  const uint32_t seeds = TestSize(3u, 16u);
  for (uint32_t seed = 0; seed <= seeds; ++seed) {
    for (int cut = 1; cut <= 200; ++cut) {
      SCOPED_TRACE(std::to_string(seed) + "/" + std::to_string(cut));
      for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
      dir.Write("A.nx1", "old");
      int changes = 0;
      bool finished = false;
      {
        TFaultFileOps seam;
        seam.TrackFolders();
        seam.OnChange([&](TFileOp) {
          if (++changes < cut) return 0;
          if (changes == cut) seed == 0 ? seam.PowerLoss() : seam.PowerLoss(seed * 1000 + static_cast<uint32_t>(cut));
          return EIO;
        });
        platform::ScopedFileOps scoped(seam);
        try {
          TnxFileMoves plan(Folder(), {{u"A.nx1", u"$OLD_A.nx1"}, {u"N.nx1", u"A.nx1"}, {u"$OLD_A.nx1", u""}},
                            {u"N.nx1"}, {{u"$OLD_A.nx1", true}, {u"N.nx1", false}});
          plan.AnnounceDiscards();
          {
            platform::TFile file;
            int64_t done = 0;
            if (file.Open(dir.Path("N.nx1"), platform::TOpenFlags::ofWrite | platform::TOpenFlags::ofCreate) != 0 ||
                seam.WriteAt(file.Handle(), 0, "new", 3, done) != 0)
              throw std::runtime_error("cut");
          }
          plan.Announce();
          plan.Run();
          finished = changes < cut;
        } catch (const std::exception&) {
        }
      }
      nxFinishFileMoves(Folder());
      std::vector<std::string> names;
      for (const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
        if (entry.path().filename() != "nxTableMoves.cfg" || entry.file_size() > 0)
          names.push_back(entry.path().filename().string());
      EXPECT_EQ(names, std::vector<std::string>{"A.nx1"});
      const std::string content = dir.Exists("A.nx1") ? dir.Read("A.nx1") : "";
      EXPECT_TRUE(content == "old" || content == "new") << content;
      if (finished) {
        EXPECT_EQ(content, "new");
      }
      if (::testing::Test::HasFailure()) return;
      if (finished) break;
      ++cuts;
    }
  }
  EXPECT_GT(cuts, static_cast<int>(seeds) * 8);
}

TEST_F(FileMovesTest, AForeignIntentFileIsLeftAlone) {
  dir.Write("nxTableMoves.cfg", "not ours");
  EXPECT_FALSE(nxFinishFileMoves(Folder()));
  EXPECT_TRUE(std::filesystem::exists(dir.Path("nxTableMoves.cfg")));
}

// A copy a crash left before it was renamed over the intent never was one.
TEST_F(FileMovesTest, ALeftoverCopyGoesAndTheIntentStays) {
  dir.Write("A.nx1", "a");
  TnxFileMoves(Folder(), {{u"A.nx1", u"B.nx1"}}, {}, {{u"B.nx1", true}}).Announce();
  const std::string intent = dir.Read("nxTableMoves.cfg");
  dir.Write("nxTableMoves.cfg.tmp0badc0de", "half");
  EXPECT_TRUE(nxFinishFileMoves(Folder()));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
    names.push_back(entry.path().filename().string());
  EXPECT_EQ(names, std::vector<std::string>{"A.nx1"});
  EXPECT_FALSE(intent.empty());
}

}  // namespace
}  // namespace revurov::testing
