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
  // The folder's files but the intent file, sorted.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
      if (entry.path().filename() != "nxTableMoves.cfg") names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  void Clear() {
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
  }
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
    Clear();
    for (const std::string& f : row.before) dir.Write(f, f);
    TnxFileMoves plan(Folder(), {{u"A.nx1", u"B.nx1"}, {u"A.ix", u"B.ix"}}, {}, {{u"B.nx1", true}});
    plan.Announce();
    EXPECT_TRUE(nxFinishFileMoves(Folder()));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
      if (entry.path().filename() != "nxTableMoves.cfg") names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, row.after);
    EXPECT_FALSE(nxFinishFileMoves(Folder()));
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
      Clear();
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
      EXPECT_FALSE(nxFinishFileMoves(Folder()));
      EXPECT_EQ(Names(), std::vector<std::string>{"A.nx1"});
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
  EXPECT_EQ(Names(), std::vector<std::string>{"A.nx1"});
  EXPECT_FALSE(intent.empty());
}

// A new record goes into the slot that does not hold the newest one. Torn
// anywhere, that slot must read as no record: never as a mix of its old
// and new bytes, and never hiding the record before it.
TEST_F(FileMovesTest, ATornSlotLeavesTheRecordBeforeIt) {
  struct Row {
    const char* name;
    bool clears;  // the new record says nothing is pending
  } rows[] = {{"a new intent", false}, {"a clear", true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Clear();
    // The slot written last held an older, longer intent before.
    TnxFileMoves(Folder(), {}, {u"Older-and-with-a-longer-name.tmp"}).AnnounceDiscards();
    TnxFileMoves live(Folder(), {}, {u"L.tmp"});
    live.AnnounceDiscards();
    const std::string before = dir.Read("nxTableMoves.cfg");
    if (row.clears)
      live.Abandon();
    else
      TnxFileMoves(Folder(), {}, {u"W.tmp"}).AnnounceDiscards();
    const std::string after = dir.Read("nxTableMoves.cfg");
    ASSERT_EQ(before.size(), after.size());
    size_t first = 0;
    while (first < before.size() && before[first] == after[first]) ++first;
    size_t last = before.size();
    while (last > first && before[last - 1] == after[last - 1]) --last;
    ASSERT_LT(first, last);
    const size_t step = TestSize(std::max<size_t>(1, (last - first) / 12), size_t{1});
    int cases = 0;
    for (size_t from = first; from < last; from += step) {
      for (size_t to = from + 1; to <= last; to = to == last ? last + 1 : std::min(last, to + step)) {
        for (bool keepsNew : {true, false}) {
          std::string torn = keepsNew ? before : after;
          torn.replace(from, to - from, (keepsNew ? after : before).substr(from, to - from));
          SCOPED_TRACE(std::to_string(from) + ".." + std::to_string(to) + (keepsNew ? " new" : " old"));
          Clear();
          dir.Write("nxTableMoves.cfg", torn);
          for (const char* f : {"Older-and-with-a-longer-name.tmp", "L.tmp", "W.tmp"}) dir.Write(f, f);
          const bool whole = torn == after;
          EXPECT_EQ(nxFinishFileMoves(Folder()), !(whole && row.clears));
          std::vector<std::string> expected{"L.tmp", "Older-and-with-a-longer-name.tmp", "W.tmp"};
          if (!whole) expected = Without(expected, "L.tmp");
          if (whole && !row.clears) expected = Without(expected, "W.tmp");
          ASSERT_EQ(Names(), expected);
          EXPECT_FALSE(nxFinishFileMoves(Folder()));
          ++cases;
        }
      }
    }
    EXPECT_GT(cases, 20);
  }
}

// An intent as an earlier release wrote it: the file holds that one record.
std::string EarlierIntent(const std::vector<TnxFileMove>& aMoves, const std::vector<TnxFileCheck>& aChecks) {
  std::string out = "RVTM1";
  auto put = [&out](const std::string& aText) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((aText.size() >> (8 * i)) & 0xFF));
    out += aText;
  };
  put(std::to_string(aMoves.size()));
  for (const TnxFileMove& move : aMoves) {
    put(platform::Utf16ToUtf8(move.From));
    put(platform::Utf16ToUtf8(move.To));
  }
  put("0");
  put(std::to_string(aChecks.size()));
  for (const TnxFileCheck& check : aChecks) {
    put(platform::Utf16ToUtf8(check.Name));
    put(check.Exists ? "1" : "0");
  }
  out += "END";
  uint64_t hash = 14695981039346656037ull;
  for (char c : out) hash = (hash ^ static_cast<uint8_t>(c)) * 1099511628211ull;
  put(std::to_string(hash));
  return out;
}

TEST_F(FileMovesTest, AnEarlierReleasesIntentIsFinishedAtOpening) {
  struct Row {
    const char* name;
    std::vector<TnxFileMove> moves;
    std::vector<TnxFileCheck> checks;
    std::vector<std::string> before;
    std::vector<std::string> after;
  } rows[] = {
      {"rename, main moved: forward", {{u"A.nx1", u"B.nx1"}, {u"A.ix", u"B.ix"}}, {{u"B.nx1", true}},
       {"A.ix", "B.nx1"}, {"B.ix", "B.nx1"}},
      {"rename, nothing moved: back", {{u"A.nx1", u"B.nx1"}, {u"A.ix", u"B.ix"}}, {{u"B.nx1", true}},
       {"A.ix", "A.nx1"}, {"A.ix", "A.nx1"}},
      {"delete, main gone: forward", {{u"A.nx1", u""}, {u"A.ix", u""}}, {}, {"A.ix"}, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Clear();
    for (const std::string& f : row.before) dir.Write(f, f);
    dir.Write("nxTableMoves.cfg", EarlierIntent(row.moves, row.checks));
    EXPECT_TRUE(nxFinishFileMoves(Folder()));
    EXPECT_EQ(Names(), row.after);
    EXPECT_FALSE(nxFinishFileMoves(Folder()));
    // The file made over takes the next intent.
    dir.Write("C.nx1", "c");
    TnxFileMoves(Folder(), {{u"C.nx1", u"D.nx1"}}, {}, {{u"D.nx1", true}}).Announce();
    EXPECT_TRUE(nxFinishFileMoves(Folder()));
    EXPECT_TRUE(dir.Exists("C.nx1"));
  }
  // An emptied file meant nothing pending.
  Clear();
  dir.Write("nxTableMoves.cfg", "");
  EXPECT_FALSE(nxFinishFileMoves(Folder()));
}

// Run records "nothing pending" without a sync. A power loss that drops
// that record brings the finished plan back, also after the folder gained
// new files under the names it freed: finishing it again must keep them.
TEST_F(FileMovesTest, APlanBroughtBackByALostClearChangesNothing) {
  struct Row {
    const char* name;
    std::vector<std::string> before;
    std::vector<TnxFileMove> moves;
    std::vector<std::u16string> discards;
    std::vector<TnxFileCheck> checks;
    std::vector<std::string> madeAfter;
    std::vector<std::string> after;
  } rows[] = {
      {"delete, then a new table of that name", {"A.ix", "A.nx1"}, {{u"A.nx1", u""}, {u"A.ix", u""}}, {}, {},
       {"A.ix", "A.nx1"}, {"A.ix", "A.nx1"}},
      {"rename, then a new table under the old name", {"A.ix", "A.nx1"},
       {{u"A.nx1", u"B.nx1"}, {u"A.ix", u"B.ix"}}, {}, {{u"B.nx1", true}}, {"A.ix", "A.nx1"},
       {"A.ix", "A.nx1", "B.ix", "B.nx1"}},
      {"rename, nothing after", {"A.nx1"}, {{u"A.nx1", u"B.nx1"}}, {}, {{u"B.nx1", true}}, {}, {"B.nx1"}},
      {"replace", {"A.nx1", "N.nx1"}, {{u"A.nx1", u"$OLD_A.nx1"}, {u"N.nx1", u"A.nx1"}, {u"$OLD_A.nx1", u""}},
       {u"N.nx1"}, {{u"$OLD_A.nx1", true}, {u"N.nx1", false}}, {}, {"A.nx1"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Clear();
    for (const std::string& f : row.before) dir.Write(f, "old " + f);
    // The file already exists, as in a folder that had table operations.
    TnxFileMoves(Folder(), {}, {u"X.tmp"}).AnnounceDiscards();
    nxFinishFileMoves(Folder());
    {
      TFaultFileOps seam;
      seam.TrackFolders();
      platform::ScopedFileOps scoped(seam);
      TnxFileMoves(Folder(), row.moves, row.discards, row.checks).Run();
      for (const std::string& f : row.madeAfter) {
        platform::TFile file;
        int64_t done = 0;
        const std::string text = "new " + f;
        ASSERT_EQ(file.Open(dir.Path(f), platform::TOpenFlags::ofWrite | platform::TOpenFlags::ofCreate), 0);
        ASSERT_EQ(seam.WriteAt(file.Handle(), 0, text.data(), static_cast<int64_t>(text.size()), done), 0);
        ASSERT_EQ(seam.DataSync(file.Handle()), 0);
      }
      ASSERT_EQ(seam.SyncDirectory(dir.Dir()), 0);
      seam.PowerLoss();
    }
    EXPECT_TRUE(nxFinishFileMoves(Folder())) << "the clear was not lost";
    EXPECT_EQ(Names(), row.after);
    for (const std::string& f : row.madeAfter) EXPECT_EQ(dir.Read(f), "new " + f);
    if (row.madeAfter.empty() && !row.discards.empty()) {
      EXPECT_EQ(dir.Read("A.nx1"), "old N.nx1");
    }
  }
}

// The intent file is made once per folder, and anew only for a plan too
// large for its slots; otherwise an intent costs one data sync, and the
// steps one folder sync.
TEST_F(FileMovesTest, OnlyTheFirstPlanOfAFolderMakesTheFile) {
  TFaultFileOps seam;
  platform::ScopedFileOps scoped(seam);
  struct Row {
    const char* name;
    size_t files;
    size_t nameLength;
    int fileSyncs, folderSyncs;
  } rows[] = {
      {"the first plan", 1, 8, 1, 2},
      {"a later one", 1, 8, 1, 1},
      {"one larger than a slot", 30, 200, 1, 2},
      {"a large one again", 30, 200, 1, 1},
      {"a small one again", 1, 8, 1, 1},
  };
  std::vector<std::u16string> names;
  for (size_t i = 0; i < 30; ++i) {
    names.push_back(platform::Utf8ToUtf16("S" + std::to_string(i)));
    dir.Write("S" + std::to_string(i), "s");
  }
  int round = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<TnxFileMove> moves;
    for (size_t i = 0; i < row.files; ++i) {
      std::string to = std::to_string(round) + "_" + std::to_string(i) + "_";
      to.resize(row.nameLength, 'x');
      moves.push_back({names[i], platform::Utf8ToUtf16(to)});
      names[i] = moves.back().To;
    }
    ++round;
    const int files = seam.Calls(TFileOp::DataSync) + seam.Calls(TFileOp::Sync);
    const int folders = seam.Calls(TFileOp::SyncDirectory);
    nxRunFileMoves(Folder(), moves);
    EXPECT_EQ(seam.Calls(TFileOp::DataSync) + seam.Calls(TFileOp::Sync) - files, row.fileSyncs);
    EXPECT_EQ(seam.Calls(TFileOp::SyncDirectory) - folders, row.folderSyncs);
    EXPECT_TRUE(dir.Exists(platform::Utf16ToUtf8(moves.back().To)));
    EXPECT_FALSE(nxFinishFileMoves(Folder()));
  }
}

}  // namespace
}  // namespace revurov::testing
