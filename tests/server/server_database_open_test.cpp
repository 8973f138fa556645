// Opening databases on server folders: the road from an alias or path to a
// folder, the folders' cache mode, the share rules between the databases
// of one folder, and the modes a folder forces.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_trans_context.h"
#include "support/fault_file_ops.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"

namespace revurov::testing {
namespace {

class DatabaseOpenTest : public ServerFixture {
protected:
  DatabaseOpenTest() {
    Start();
    session = Open();
  }
  std::u16string Dir(const std::string& aSub = "") const {
    if (!aSub.empty()) std::filesystem::create_directories(dir.Path(aSub));
    return platform::Utf8ToUtf16(aSub.empty() ? dir.Dir() : dir.Path(aSub) + "/");
  }
  TnxServerDatabase* OpenPath(std::u16string_view aPath, TnxOpenMode aOpenMode = omReadWrite,
                              TnxShareMode aShareMode = smShared, uint32_t* aResult = nullptr) {
    TnxAbstractDatabase* database = nullptr;
    const uint32_t result = session->DatabaseOpen(database, u"Path", aPath, nullptr, aOpenMode, aShareMode, 1000);
    if (aResult) *aResult = result;
    EXPECT_EQ(result == 0, database != nullptr);
    return static_cast<TnxServerDatabase*>(database);
  }

  TempDir dir;
  TnxServerSession* session = nullptr;
};

TEST_F(DatabaseOpenTest, SpellingsOfOneDirectoryFindOneFolder) {
  const std::u16string base = Dir("data");
  const std::u16string plain = base.substr(0, base.size() - 1);
  std::filesystem::create_directories(dir.Path("data/sub"));
  TnxServerDatabase* first = OpenPath(plain);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Folder()->Path(), base);
  struct Case {
    const char* name;
    std::u16string type, path;
  } cases[] = {
      {"type in lower case, trailing slash", u"path", base},
      {"type in capitals", u"PATH", plain},
      {"blanks around", u"Path", u"  " + plain + u"  "},
      {"dot and doubled slashes", u"Path", plain + u"/.//"},
      {"through a subfolder and back", u"Path", plain + u"/sub/.."},
  };
  for (const Case& c : cases) {
    TnxAbstractDatabase* database = nullptr;
    ASSERT_EQ(session->DatabaseOpen(database, c.type, c.path, nullptr, omReadWrite, smShared, 1000), 0u) << c.name;
    auto* server = static_cast<TnxServerDatabase*>(database);
    EXPECT_EQ(server->Folder(), first->Folder()) << c.name;
    std::u16string path;
    EXPECT_EQ(server->GetPath(path), 0u);
    EXPECT_EQ(path, base) << c.name;
    EXPECT_EQ(server->Alias(), u"") << c.name;
    database->Free();
  }
  EXPECT_EQ(engine->FolderCount(), 1);
  first->Free();
}

TEST_F(DatabaseOpenTest, FolderNamesDifferingInCaseAreTwoFolders) {
  TnxServerDatabase* lower = OpenPath(Dir("data"));
  TnxServerDatabase* upper = OpenPath(Dir("DATA"));
  ASSERT_NE(lower, nullptr);
  ASSERT_NE(upper, nullptr);
  EXPECT_NE(lower->Folder(), upper->Folder());
  EXPECT_EQ(engine->FolderCount(), 2);
  lower->Free();
  upper->Free();
}

TEST_F(DatabaseOpenTest, InMemoryPathsNeverTouchTheDisk) {
  TFaultFileOps seam;
  struct Case {
    const char* name;
    std::u16string path, folder;
  } cases[] = {
      {"hash path", u"#mem", u"#mem"},
      {"hash path with blanks", u"  #other ", u"#other"},
      {"empty path", u"", u""},
      {"blanks only", u"   ", u""},
  };
  {
    platform::ScopedFileOps scoped(seam);
    for (const Case& c : cases) {
      TnxServerDatabase* database = OpenPath(c.path);
      ASSERT_NE(database, nullptr) << c.name;
      EXPECT_TRUE(database->Folder()->InMemOnly()) << c.name;
      EXPECT_EQ(database->Folder()->Path(), c.folder) << c.name;
      platform::TStringList list;
      EXPECT_EQ(database->TableGetList(list), 0u);
      EXPECT_EQ(list.Count(), 0);
      int64_t free = -1;
      EXPECT_EQ(database->GetFreespace(free), 11047u) << c.name;
      EXPECT_EQ(free, 0);
      database->Free();
    }
    EXPECT_EQ(session->CloseInactiveFolders(), 0u);
  }
  EXPECT_EQ(engine->FolderCount(), 0);
  for (size_t op = 0; op < kFileOpCount; ++op) EXPECT_EQ(seam.Calls(static_cast<TFileOp>(op)), 0) << op;
}

TEST_F(DatabaseOpenTest, TheOtherCacheModeOfAnOpenFolderIsRefused) {
  const std::u16string path = Dir();
  for (bool cacheFirst : {false, true}) {
    TnxAbstractDatabase* first = nullptr;
    TnxAbstractDatabase* second = nullptr;
    auto open = [&](bool aCache, TnxAbstractDatabase*& aDatabase) {
      return aCache ? session->DatabaseCacheOpen(aDatabase, u"Path", path, nullptr, omReadWrite, smShared, 1000)
                    : session->DatabaseOpen(aDatabase, u"Path", path, nullptr, omReadWrite, smShared, 1000);
    };
    ASSERT_EQ(open(cacheFirst, first), 0u);
    EXPECT_EQ(first->IsCache(), cacheFirst);
    EXPECT_EQ(open(!cacheFirst, second), 9219u);
    EXPECT_EQ(LastMessage(), "Folder already open with conflicting cache mode");
    EXPECT_EQ(second, nullptr);
    first->Free();
    // Until the folder is gone.
    EXPECT_EQ(open(!cacheFirst, second), 9219u);
    EXPECT_EQ(session->CloseInactiveFolders(), 0u);
    ASSERT_EQ(open(!cacheFirst, second), 0u);
    second->Free();
    EXPECT_EQ(session->CloseInactiveFolders(), 0u);
  }
}

TEST_F(DatabaseOpenTest, ShareRulesBetweenTheDatabasesOfAFolder) {
  struct Mode {
    TnxOpenMode open;
    TnxShareMode share;
  };
  constexpr Mode RwShared{omReadWrite, smShared}, RoShared{omReadOnly, smShared};
  constexpr Mode RwShareRead{omReadWrite, smShareRead}, RoShareRead{omReadOnly, smShareRead};
  constexpr Mode RwExclusive{omReadWrite, smExclusive}, RoExclusive{omReadOnly, smExclusive};
  struct Case {
    const char* name;
    std::vector<Mode> existing;
    Mode request;
    uint32_t result;
  } cases[] = {
      {"alone, exclusive", {}, RwExclusive, 0},
      {"two shared writers", {RwShared}, RwShared, 0},
      {"share-read reader beside two writers", {RwShared, RwShared}, RoShareRead, 10253},
      {"share-read reader beside readers", {RoShared, RoShareRead}, RoShareRead, 0},
      {"share-read writer beside a share-read reader", {RoShareRead}, RwShareRead, 10253},
      // The reader let others write when it opened.
      {"share-read writer beside a shared reader", {RoShared}, RwShareRead, 0},
      {"shared writer beside a share-read reader", {RoShareRead}, RwShared, 10253},
      {"shared reader beside a share-read reader", {RoShareRead}, RoShared, 0},
      {"shared reader beside a share-read writer", {RwShareRead}, RoShared, 0},
      {"shared writer, share-read later in the list", {RoShared, RoShareRead}, RwShared, 10253},
      {"anything beside an exclusive reader", {RoExclusive}, RoShared, 10253},
      {"anything beside an exclusive writer", {RwExclusive}, RoShareRead, 10253},
      {"exclusive beside a reader", {RoShared}, RoExclusive, 10253},
      {"exclusive beside a writer", {RwShared}, RwExclusive, 10253},
  };
  for (const Case& c : cases) {
    std::vector<TnxServerDatabase*> open;
    for (const Mode& m : c.existing) {
      open.push_back(OpenPath(Dir(), m.open, m.share));
      ASSERT_NE(open.back(), nullptr) << c.name;
    }
    uint32_t result = 1;
    TnxServerDatabase* database = OpenPath(Dir(), c.request.open, c.request.share, &result);
    EXPECT_EQ(result, c.result) << c.name;
    if (database) {
      EXPECT_EQ(database->OpenMode(), c.request.open) << c.name;
      EXPECT_EQ(database->ShareMode(), c.request.share) << c.name;
      database->Free();
    }
    for (TnxServerDatabase* d : open) d->Free();
  }
}

TEST_F(DatabaseOpenTest, WriteOnlyOpensReadWrite) {
  TnxServerDatabase* database = OpenPath(Dir(), omWriteOnly);
  ASSERT_NE(database, nullptr);
  EXPECT_EQ(database->OpenMode(), omReadWrite);
  database->Free();
}

TEST_F(DatabaseOpenTest, AReadOnlyEngineOpensEveryDiskDatabaseReadOnly) {
  engine->SetActive(false);
  engine->SetOptions(nxServerEngineOption(seoReadOnly));
  Start();
  session = Open();
  // A shared writer and a share-read reader meet as two readers.
  TnxServerDatabase* writer = OpenPath(Dir(), omReadWrite, smShared);
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(writer->OpenMode(), omReadOnly);
  EXPECT_TRUE(writer->Folder()->ReadOnly());
  TnxServerDatabase* reader = OpenPath(Dir(), omReadOnly, smShareRead);
  ASSERT_NE(reader, nullptr);
  // No "nxTrans.cfg" is made in a read-only folder.
  EXPECT_FALSE(dir.Exists("nxTrans.cfg"));
  TnxServerDatabase* memory = OpenPath(u"#mem", omReadWrite);
  ASSERT_NE(memory, nullptr);
  EXPECT_EQ(memory->OpenMode(), omReadWrite);
  writer->Free();
  reader->Free();
  memory->Free();
}

TEST_F(DatabaseOpenTest, ATransactionContextOfAnotherKindIsRefused) {
  TnxAbstractTransContext* context = nullptr;
  ASSERT_EQ(session->TransContextCreate(context, 1000), 0u);
  ASSERT_NE(dynamic_cast<TnxServerTransContext*>(context), nullptr);
  TnxAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", Dir(), context, omReadWrite, smShared, 1000), 0u);
  EXPECT_EQ(database->TransContext(), context);
  database->Free();
  context->Free();
}

TEST_F(DatabaseOpenTest, FoldersWithoutDatabasesWaitOnTheInactiveList) {
  TnxServerDatabase* a = OpenPath(Dir("a"));
  TnxServerDatabase* b = OpenPath(Dir("a"));
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  TnxServerFolder* folder = a->Folder();
  EXPECT_EQ(engine->InactiveFolderCount(), 0);
  a->Free();
  EXPECT_FALSE(folder->InInactiveList());
  b->Free();
  EXPECT_TRUE(folder->InInactiveList());
  EXPECT_EQ(engine->InactiveFolderCount(), 1);
  // A new database takes it off again.
  TnxServerDatabase* c = OpenPath(Dir("a"));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Folder(), folder);
  EXPECT_EQ(engine->InactiveFolderCount(), 0);
  EXPECT_EQ(session->CloseInactiveFolders(), 0u);
  EXPECT_EQ(engine->FolderCount(), 1);
  c->Free();
  EXPECT_EQ(session->CloseInactiveFolders(), 0u);
  EXPECT_EQ(engine->FolderCount(), 0);
  EXPECT_EQ(engine->InactiveFolderCount(), 0);
}

TEST_F(DatabaseOpenTest, AFailedOpenLeavesTheNewFolderInactive) {
  TnxServerDatabase* exclusive = OpenPath(Dir(), omReadWrite, smExclusive);
  ASSERT_NE(exclusive, nullptr);
  uint32_t result = 0;
  EXPECT_EQ(OpenPath(Dir(), omReadOnly, smShared, &result), nullptr);
  EXPECT_EQ(result, 10253u);
  EXPECT_EQ(engine->InactiveFolderCount(), 0);
  exclusive->Free();
  EXPECT_EQ(engine->InactiveFolderCount(), 1);
}

TEST_F(DatabaseOpenTest, TheStopFreesFoldersAndTheirDatabases) {
  ASSERT_NE(OpenPath(Dir("x")), nullptr);
  ASSERT_NE(OpenPath(u"#m"), nullptr);
  EXPECT_EQ(engine->FolderCount(), 2);
  engine->SetActive(false);
  EXPECT_EQ(engine->FolderCount(), 0);
  EXPECT_TRUE(dir.Exists("x/nxTrans.cfg"));
}

}  // namespace
}  // namespace revurov::testing
