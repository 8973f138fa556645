// Server folders on real directories: the next LSN their transaction
// manager finds and keeps in "nxTrans.cfg", folders that become read-only,
// the journal check of the first database, and the table names a folder
// lists and finds.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/file_ops.h"
#include "platform/string_list.h"
#include "platform/system_info.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_transaction_mgr.h"
#include "storage/buffer_manager.h"
#include "storage/journal_engine.h"
#include "support/server_fixture.h"
#include "support/temp_dir.h"

namespace revurov::testing {
namespace {

std::string LE64(uint64_t aValue) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>(aValue >> (8 * i));
  return bytes;
}

uint64_t ReadLE64(const std::string& aBytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(aBytes[i]);
  return value;
}

// The start of a table file: signature, block number, the last LSN.
std::string TableHeader(uint64_t aLSN) { return std::string("NX!2") + std::string(4, '\0') + LE64(aLSN); }

// A medium that refuses every write: opens for writing answer EROFS.
class TReadOnlyMedium final : public platform::TFileOps {
public:
  using TFileHandle = platform::TFileHandle;
  int Open(const std::string& path, platform::TOpenFlags flags, uint32_t permissions, TFileHandle& file) override {
    using platform::TOpenFlags;
    if (platform::HasFlag(flags, TOpenFlags::ofWrite) || platform::HasFlag(flags, TOpenFlags::ofReadWrite) ||
        platform::HasFlag(flags, TOpenFlags::ofCreate)) {
      file = platform::InvalidFileHandle;
      ++Refused;
      return EROFS;
    }
    return real.Open(path, flags, permissions, file);
  }
  int Close(TFileHandle f) override { return real.Close(f); }
  int Read(TFileHandle f, void* b, int64_t c, int64_t& d) override { return real.Read(f, b, c, d); }
  int Write(TFileHandle, const void*, int64_t, int64_t& d) override { return d = 0, EROFS; }
  int ReadAt(TFileHandle f, int64_t o, void* b, int64_t c, int64_t& d) override { return real.ReadAt(f, o, b, c, d); }
  int WriteAt(TFileHandle, int64_t, const void*, int64_t, int64_t& d) override { return d = 0, EROFS; }
  int Seek(TFileHandle f, int64_t o, platform::TSeekOrigin w, int64_t& p) override { return real.Seek(f, o, w, p); }
  int GetSize(TFileHandle f, int64_t& s) override { return real.GetSize(f, s); }
  int SetSize(TFileHandle, int64_t) override { return EROFS; }
  int SetPermissions(TFileHandle, uint32_t) override { return EROFS; }
  int GetHandleInfo(TFileHandle f, platform::TFileInfo& i) override { return real.GetHandleInfo(f, i); }
  int DataSync(TFileHandle f) override { return real.DataSync(f); }
  int Sync(TFileHandle f) override { return real.Sync(f); }
  int SyncDirectory(const std::string& p) override { return real.SyncDirectory(p); }
  int Lock(TFileHandle f, platform::TFileLockKind k, platform::TFileLockWait w, int64_t o, int64_t l) override {
    return real.Lock(f, k, w, o, l);
  }
  int Unlock(TFileHandle f, int64_t o, int64_t l) override { return real.Unlock(f, o, l); }
  int LockConflicts(TFileHandle f, platform::TFileLockKind k, int64_t o, int64_t l, bool& c) override {
    return real.LockConflicts(f, k, o, l, c);
  }
  int Rename(const std::string&, const std::string&, platform::TRenameMode) override { return EROFS; }
  int Unlink(const std::string&) override { return EROFS; }
  int GetInfo(const std::string& p, platform::TFileInfo& i) override { return real.GetInfo(p, i); }
  int MakeDirectory(const std::string&, uint32_t) override { return EROFS; }
  int OpenTemporary(const std::string&, uint32_t, TFileHandle& f) override {
    f = platform::InvalidFileHandle;
    return EROFS;
  }
  int LinkTemporary(TFileHandle, const std::string&) override { return EROFS; }
  int ReadLink(const std::string& p, std::string& t) override { return real.ReadLink(p, t); }
  int PunchHole(TFileHandle, int64_t, int64_t) override { return EROFS; }

  int Refused = 0;
  platform::TFileOps& real = platform::PosixFileOps();
};

class FolderTest : public ServerFixture {
protected:
  FolderTest() {
    Start();
    session = Open();
  }
  std::u16string Path() const { return platform::Utf8ToUtf16(dir.Dir()); }
  TnxServerDatabase* OpenDir(TnxServerSession* aSession = nullptr, uint32_t* aResult = nullptr) {
    TnxAbstractDatabase* database = nullptr;
    const uint32_t result = (aSession ? aSession : session)
                                ->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 1000);
    if (aResult)
      *aResult = result;
    else
      EXPECT_EQ(result, 0u) << LastMessage();
    return static_cast<TnxServerDatabase*>(database);
  }
  // Frees the database and its folder, which writes "nxTrans.cfg".
  void CloseAll(TnxAbstractDatabase* aDatabase) {
    aDatabase->Free();
    EXPECT_EQ(session->CloseInactiveFolders(), 0u);
    EXPECT_EQ(engine->FolderCount(), 0);
  }
  std::vector<std::string> List(TnxServerDatabase* aDatabase) {
    platform::TStringList list;
    list.Add(u"left over");
    EXPECT_EQ(aDatabase->TableGetList(list), 0u) << LastMessage();
    std::vector<std::string> names;
    for (int i = 0; i < list.Count(); ++i) names.push_back(platform::Utf16ToUtf8(list[i]));
    return names;
  }

  TempDir dir;
  TnxServerSession* session = nullptr;
};

// ---- the next LSN ----

TEST_F(FolderTest, ANewFolderWritesItsNextLSNWhenFreed) {
  TnxServerDatabase* database = OpenDir();
  ASSERT_NE(database, nullptr);
  EXPECT_EQ(database->Folder()->TransManager().LoadedNextLSN(), 1u);
  EXPECT_FALSE(database->Folder()->ReadOnly());
  CloseAll(database);
  const std::string stored = dir.Read("nxTrans.cfg");
  ASSERT_EQ(stored.size(), 8u);
  EXPECT_GE(ReadLE64(stored), 2u);
  EXPECT_GT(ReadLE64(stored), engine->BufferManager()->CurrentLSN() - 1);
}

TEST_F(FolderTest, TheNextLSNIsTheLargerOfTheFileAndTheTableHeaders) {
  struct Case {
    const char* name;
    const char* config;  // nil: no file
    uint64_t value;
    uint64_t next;
  } cases[] = {
      {"no file: the scan", nullptr, 0, 301},
      {"a stale file (after a crash): the scan", "8", 5, 301},
      {"a file ahead of the tables", "8", 1000, 1000},
      {"a file of 9 bytes is not trusted", "9", 1000, 301},
      {"a file of 7 bytes is not trusted", "7", 1000, 301},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(dir.Path("nxTrans.cfg"));
    dir.Write("Orders.nx1", TableHeader(100));
    dir.Write("Lines.NX1", TableHeader(300));
    dir.Write("short.nx1", "NX!2");
    dir.Write("Other.txt", TableHeader(999));
    std::filesystem::create_directories(dir.Path("folder.nx1"));
    if (c.config) {
      std::string bytes = LE64(c.value);
      bytes.resize(static_cast<size_t>(c.config[0] - '0'), '\0');
      dir.Write("nxTrans.cfg", bytes);
    }
    TnxServerDatabase* database = OpenDir();
    ASSERT_NE(database, nullptr) << c.name;
    EXPECT_EQ(database->Folder()->TransManager().LoadedNextLSN(), c.next) << c.name;
    // Every LSN handed out from now on is above the tables' own.
    EXPECT_GE(engine->BufferManager()->CurrentLSN(), c.next) << c.name;
    EXPECT_GT(engine->BufferManager()->NextLSN(), 300u) << c.name;
    CloseAll(database);
    ASSERT_EQ(dir.Read("nxTrans.cfg").size(), 8u) << c.name;
    EXPECT_GT(ReadLE64(dir.Read("nxTrans.cfg")), c.next) << c.name;
  }
}

TEST_F(FolderTest, AnInMemoryFolderStartsAtOne) {
  TnxAbstractDatabase* database = nullptr;
  ASSERT_EQ(session->DatabaseOpen(database, u"Path", u"#x", nullptr, omReadWrite, smShared, 1000), 0u);
  auto* server = static_cast<TnxServerDatabase*>(database);
  EXPECT_EQ(server->Folder()->TransManager().LoadedNextLSN(), 1u);
  EXPECT_EQ(server->Folder()->TransManager().CreateJournal(), nullptr);
  database->Free();
}

TEST_F(FolderTest, AReadOnlyMediumGivesAReadOnlyFolderThatStillScans) {
  dir.Write("Orders.nx1", TableHeader(70));
  for (bool withFile : {false, true}) {
    if (withFile) dir.Write("nxTrans.cfg", LE64(40));
    TReadOnlyMedium medium;
    TnxServerDatabase* database = nullptr;
    {
      platform::ScopedFileOps scoped(medium);
      database = OpenDir();
      ASSERT_NE(database, nullptr);
      EXPECT_GT(medium.Refused, 0);
      EXPECT_TRUE(database->Folder()->ReadOnly());
      EXPECT_EQ(database->OpenMode(), omReadOnly);
      EXPECT_EQ(database->Folder()->TransManager().LoadedNextLSN(), 71u);
      EXPECT_EQ(database->Folder()->TransManager().CreateJournal(), nullptr);
      bool exists = false;
      EXPECT_EQ(database->TableExists(u"orders", u"", exists, false), 0u);
      EXPECT_TRUE(exists);
      CloseAll(database);
    }
    EXPECT_EQ(dir.Exists("nxTrans.cfg"), withFile);
    if (withFile) {
      EXPECT_EQ(ReadLE64(dir.Read("nxTrans.cfg")), 40u);
    }
  }
}

TEST_F(FolderTest, AFolderHeldByAnotherEngineIsReadOnlyAndItsFileKept) {
  TnxServerDatabase* first = OpenDir();
  ASSERT_NE(first, nullptr);
  const uint64_t written = ReadLE64(dir.Read("nxTrans.cfg"));
  ComponentPtr<TnxServerEngine> other{new TnxServerEngine(nullptr)};
  other->SetReadings(FixedReadings());
  other->SetMaxRAM(16);
  other->SetActive(true);
  TnxAbstractServerObject* otherSession = nullptr;
  ASSERT_EQ(other->SessionOpen(otherSession, u"user", u"", u"test", 10000), 0u);
  uint32_t result = 0;
  TnxServerDatabase* second = OpenDir(static_cast<TnxServerSession*>(otherSession), &result);
  // Its own file is held exclusively: the second engine may not even read it.
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(result, 0u);
  // Nothing of the first engine's file was cut.
  EXPECT_EQ(ReadLE64(dir.Read("nxTrans.cfg")), written);
  other->SetActive(false);
  CloseAll(first);
}

TEST_F(FolderTest, TheFirstDatabaseRunsTheJournalCheckOnce) {
  // An incomplete journal left by a crash is thrown away by the check.
  dir.Write("7.n$2", "");
  nxSetDefaultJournalEngineClass(nullptr);
  TnxServerDatabase* database = OpenDir();
  ASSERT_NE(database, nullptr);
  EXPECT_EQ(database->Folder()->TransManager().CreateJournal(), nullptr);
  CloseAll(database);
  EXPECT_TRUE(dir.Exists("7.n$2"));
  nxSetDefaultJournalEngineClass(nxFindJournalEngineClass(u"Tnx1xRollbackJournalEngine"));
  database = OpenDir();
  ASSERT_NE(database, nullptr);
  EXPECT_FALSE(dir.Exists("7.n$2"));
  const auto journal = database->Folder()->TransManager().CreateJournal();
  ASSERT_NE(journal, nullptr);
  // Numbered above every journal the folder held when it was opened.
  EXPECT_EQ(platform::Utf16ToUtf8(journal->FileName()), dir.Dir() + "8.n$2");
  // Not again for the next database of the folder.
  dir.Write("20.n$2", "");
  TnxServerDatabase* next = OpenDir();
  ASSERT_NE(next, nullptr);
  EXPECT_TRUE(dir.Exists("20.n$2"));
  next->Free();
  CloseAll(database);
}

// ---- table names ----

TEST_F(FolderTest, TableListOfAnEmptyFolder) {
  TnxServerDatabase* database = OpenDir();
  ASSERT_NE(database, nullptr);
  EXPECT_EQ(List(database), std::vector<std::string>{});
  database->Free();
}

TEST_F(FolderTest, TableListKeepsValidNamesOnceSortedWithoutCase) {
  for (const char* name : {"beta.nx1", "Alpha.NX1", "DUP.nx1", "dup.nx1", "$System.nx1", " lead.nx1", "a:b.nx1",
                           "notes.txt", "nx1", ".nx1", "gamma.nx1.bak"})
    dir.Write(name, "");
  std::filesystem::create_directories(dir.Path("Folder.nx1"));
  TnxServerDatabase* database = OpenDir();
  ASSERT_NE(database, nullptr);
  const std::vector<std::string> plain = List(database);
  ASSERT_EQ(plain.size(), 3u);
  EXPECT_EQ(plain[0], "Alpha");
  EXPECT_EQ(plain[1], "beta");
  EXPECT_TRUE(plain[2] == "DUP" || plain[2] == "dup") << plain[2];
  ASSERT_EQ(database->OptionSet(nxAllowSystemTableAccessOption, u"1"), 0u);
  const std::vector<std::string> system = List(database);
  ASSERT_EQ(system.size(), 4u);
  EXPECT_EQ(system[0], "$System");
  // Only the exact text "1" allows them.
  ASSERT_EQ(database->OptionSet(nxAllowSystemTableAccessOption, u"true"), 0u);
  EXPECT_EQ(List(database).size(), 3u);
  database->Free();
}

TEST_F(FolderTest, TableListOfTenThousandFiles) {
  constexpr int kTables = 10000;
  for (int i = 0; i < kTables; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "T%05d.nx1", i);
    dir.Write(name, "");
  }
  TnxServerDatabase* database = OpenDir();
  ASSERT_NE(database, nullptr);
  const std::vector<std::string> names = List(database);
  ASSERT_EQ(names.size(), size_t{kTables});
  EXPECT_EQ(names.front(), "T00000");
  EXPECT_EQ(names.back(), "T09999");
  EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
  database->Free();
}

TEST_F(FolderTest, TableExistsOfRootTables) {
  dir.Write("Customers.nx1", "");
  dir.Write("Twin.nx1", "");
  dir.Write("TWIN.nx1", "");
  dir.Write("$Sys.nx1", "");
  TnxServerDatabase* database = OpenDir();
  ASSERT_NE(database, nullptr);
  struct Case {
    const char* name;
    std::u16string table;
    bool allowSystem;
    uint32_t result;
    bool exists;
  } cases[] = {
      {"exact name", u"Customers", false, 0, true},
      {"other case", u"CUSTOMERS", false, 0, true},
      {"with the extension", u"customers.NX1", false, 0, true},
      {"missing", u"Orders", false, 0, false},
      {"empty name", u"", false, 0, false},
      {"temporary global", u"<Customers>", false, 0, false},
      {"database scope", u"##Customers", false, 0, false},
      {"exact one of two", u"TWIN", false, 0, true},
      {"system name refused", u"$Sys", false, 10039, false},
      {"system name allowed", u"$Sys", true, 0, true},
      {"bad name", u" lead", false, 10039, false},
      {"child of a missing root", u"Orders:Lines", false, 0, false},
      {"child of a root that does not open", u"Customers:Lines", false, 9217, false},
  };
  for (const Case& c : cases) {
    bool exists = !c.exists;
    EXPECT_EQ(database->TableExists(c.table, u"", exists, c.allowSystem), c.result) << c.name;
    EXPECT_EQ(exists, c.exists) << c.name;
  }
  bool exists = true;
  EXPECT_EQ(database->TableExists(u"twin", u"", exists, false), 10024u);
  EXPECT_FALSE(exists);
  EXPECT_NE(LastMessage().find("\"TWIN.nx1\" and \"Twin.nx1\""), std::string::npos) << LastMessage();
  database->Free();
}

TEST_F(FolderTest, UniqueNamesSkipWhatExists) {
  dir.Write("T.nx1", "");
  dir.Write("t1.nx1", "");
  TnxServerDatabase* database = OpenDir();
  ASSERT_NE(database, nullptr);
  std::u16string name;
  EXPECT_EQ(database->Folder()->sfTableMakeUniqueName(u"T", name), 0u);
  EXPECT_EQ(name, u"T2");
  EXPECT_EQ(database->Folder()->sfTableMakeUniqueName(u"Fresh", name), 0u);
  EXPECT_EQ(name, u"Fresh");
  database->Free();
}

// ---- path, free space, options ----

TEST_F(FolderTest, FreeSpaceIsInKilobytes) {
  TnxServerDatabase* database = OpenDir();
  ASSERT_NE(database, nullptr);
  uint64_t before = 0;
  ASSERT_TRUE(platform::GetDiskFreeSpace(dir.Dir(), before));
  int64_t free = 0;
  ASSERT_EQ(database->GetFreespace(free), 0u);
  uint64_t after = 0;
  ASSERT_TRUE(platform::GetDiskFreeSpace(dir.Dir(), after));
  EXPECT_LE(uint64_t(free), std::max(before, after) / 1024 + 1);
  EXPECT_GE(uint64_t(free) + 1024 * 1024, std::min(before, after) / 1024);
  database->Free();
}

TEST_F(FolderTest, DatabaseOptionsFallBackToTheFolder) {
  TnxServerDatabase* database = OpenDir();
  ASSERT_NE(database, nullptr);
  ASSERT_EQ(database->Folder()->OptionSet(u"Shared", u"folder"), 0u);
  ASSERT_EQ(session->OptionSet(u"Session", u"session"), 0u);
  std::u16string value;
  EXPECT_EQ(database->OptionGetEffective(u"Shared", value), 0u);
  EXPECT_EQ(value, u"folder");
  EXPECT_EQ(database->OptionGetEffective(u"Session", value), 0u);
  EXPECT_EQ(value, u"session");
  ASSERT_EQ(database->OptionSet(u"Shared", u"own"), 0u);
  EXPECT_EQ(database->OptionGetEffective(u"Shared", value), 0u);
  EXPECT_EQ(value, u"own");
  EXPECT_EQ(database->OptionGetEffective(u"Nobody", value), 8712u);
  database->Free();
}

}  // namespace
}  // namespace revurov::testing
