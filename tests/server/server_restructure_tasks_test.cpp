// Pack, restructure and backup through the server database: the records
// arrive whole in the new table, the source is left untouched by every
// failure (a cancel, a refused target, a rename that fails at either step
// of the swap), and no temporary table stays behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "fieldmap/table_mapper_descriptor.h"
#include "lowlevel/errors/error_codes.h"
#include "server/server_restructure_tasks.h"
#include "server/server_table_cursor.h"
#include "support/fault_file_ops.h"
#include "support/forked_child.h"
#include "support/position_table.h"
#include "support/power_cut.h"
#include "support/temp_dir.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

class RestructureTest : public TableOpsFixture {
protected:
  RestructureTest() { nxFatalErrorFlag.store(false); }
  ~RestructureTest() override {
    if (other_) other_->Free();
    nxFatalErrorFlag.store(false);
  }

  TnxServerTableCursor* Cursor(std::u16string_view aName, TnxOpenMode aMode = omReadOnly,
                               TnxServerDatabase* aDb = nullptr) {
    TnxAbstractCursor* cursor = nullptr;
    if ((aDb ? aDb : db)->CursorOpen(cursor, aName, u"", aMode, smShared, 10000, u"", -1, true, 0, 500, nullptr) != 0)
      return nullptr;
    return static_cast<TnxServerTableCursor*>(cursor);
  }
  // aRows records, ID 0 .. aRows-1; every second one deleted with aHalf.
  void BuildPos(std::u16string_view aName, int aRows, bool aHalf = false) {
    auto dict = PositionDictionary();
    ASSERT_EQ(db->TableBuild(false, aName, u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(aName, omReadWrite));
    ASSERT_NE(cursor, nullptr) << LastMessage();
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 16, 0);
    for (int i = 0; i < aRows; ++i) {
      fields.InitRecord(record.data());
      const int32_t values[] = {i, i % 5, i * 7};
      fields.SetRecordField(0, record.data(), &values[0]);
      const std::string name = "n" + std::to_string(i % 13);
      fields.SetRecordField(1, record.data(), ShortString(name).data());
      fields.SetRecordField(2, record.data(), &values[1]);
      fields.SetRecordField(3, record.data(), &values[2]);
      ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
    }
    if (!aHalf) return;
    ASSERT_EQ(cursor->SetToBegin(), 0u);
    for (int i = 0; cursor->RecordGetNext(nxltNoLock, record.data()) == 0; ++i)
      if (i % 2 == 0) {
        ASSERT_EQ(cursor->RecordDelete(nullptr, 0), 0u) << LastMessage();
      }
  }
  static std::vector<uint8_t> ShortString(const std::string& aText) {
    // The field's whole width is copied: the rest is zeros.
    std::vector<uint8_t> value(std::max<size_t>(aText.size() + 1, 256));
    value[0] = uint8_t(aText.size());
    std::copy(aText.begin(), aText.end(), value.begin() + 1);
    return value;
  }
  // ID -> stamp of every record, read in each index's order; the index
  // names whose key counts differ from the record count are listed.
  std::map<int32_t, int32_t> Rows(std::u16string_view aName, std::vector<std::string>* aBadIndices = nullptr,
                                  TnxServerDatabase* aDb = nullptr) {
    std::map<int32_t, int32_t> rows;
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(aName, omReadOnly, aDb));
    EXPECT_NE(cursor, nullptr) << LastMessage();
    if (!cursor) return rows;
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 16, 0);
    const int32_t indices = cursor->Table()->IndicesEngine() ? cursor->Table()->IndicesEngine()->IndexCount() : 0;
    for (int32_t index = -1; index < indices; ++index) {
      EXPECT_EQ(cursor->SwitchToIndex(u"", index, porFalse), 0u);
      EXPECT_EQ(cursor->SetToBegin(), 0u);
      std::map<int32_t, int32_t> seen;
      while (cursor->RecordGetNext(nxltNoLock, record.data()) == 0) {
        int32_t id = 0, stamp = 0;
        bool isNull = false;
        fields.GetRecordField(0, record.data(), isNull, &id);
        fields.GetRecordField(3, record.data(), isNull, &stamp);
        seen[id] = stamp;
      }
      if (index < 0)
        rows = seen;
      else if (seen != rows && aBadIndices)
        aBadIndices->push_back(std::to_string(index));
    }
    return rows;
  }
  static std::map<int32_t, int32_t> Expected(int aRows, bool aHalf) {
    std::map<int32_t, int32_t> rows;
    for (int i = 0; i < aRows; ++i)
      if (!aHalf || i % 2 == 1) rows[i] = i * 7;
    return rows;
  }
  static TnxTaskStatus Finish(TnxAbstractTaskInfo* aTask) {
    TnxServerObjectPtr<TnxAbstractTaskInfo> task(aTask);
    TnxTaskStatus status;
    bool completed = false;
    for (int i = 0; i < 60000 && !completed; ++i) {
      task->GetStatus(completed, status);
      if (!completed) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(completed);
    return status;
  }
  uint32_t Pack(std::u16string_view aName) {
    TnxAbstractTaskInfo* task = nullptr;
    if (const uint32_t result = db->TablePack(aName, u"", task)) return result;
    return Finish(task).tsErrorCode;
  }
  // Files of the folder that belong to no table of the user.
  std::vector<std::string> Leftovers(const std::string& aDir) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(aDir)) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("$", 0) == 0 || name.rfind("nxTableMoves-", 0) == 0) found.push_back(name);
    }
    return found;
  }
  uintmax_t MainFileSize(std::u16string_view aName) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir()))
      if (entry.path().stem() == platform::Utf16ToUtf8(aName) && entry.path().extension() != ".ix")
        return std::filesystem::file_size(entry.path(), ec);
    return 0;
  }
  TnxServerDatabase& Other(const std::string& aDir) {
    TnxAbstractDatabase* other = nullptr;
    EXPECT_EQ(session->DatabaseOpen(other, u"Path", platform::Utf8ToUtf16(aDir), nullptr, omReadWrite, smShared,
                                    10000),
              0u)
        << LastMessage();
    other_ = static_cast<TnxServerDatabase*>(other);
    return *other_;
  }

  TnxServerDatabase* other_ = nullptr;
};

TEST_F(RestructureTest, APackKeepsTheLiveRecordsInASmallerFile) {
  BuildPos(u"T", 600, true);
  {
    // A stream of the user's goes along; the name inside stays the table's.
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(u"T", omReadWrite));
    TnxBytesStream notes;
    notes.Write("remember", 8);
    notes.SetPosition(0);
    ASSERT_EQ(cursor->TableStreamWrite(u"Notes", notes), 0u) << LastMessage();
  }
  const uintmax_t before = MainFileSize(u"T");
  ASSERT_EQ(Pack(u"T"), 0u) << LastMessage();
  std::vector<std::string> bad;
  EXPECT_EQ(Rows(u"T", &bad), Expected(600, true));
  EXPECT_TRUE(bad.empty());
  EXPECT_LT(MainFileSize(u"T"), before);
  EXPECT_TRUE(Leftovers(dir.Dir()).empty());
  TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(u"T"));
  TnxBytesStream notes;
  ASSERT_EQ(cursor->TableStreamRead(u"Notes", notes), 0u) << LastMessage();
  EXPECT_EQ(notes.GetSize(), 8);
  cursor.reset();
  // The table still takes records under its keys.
  TnxServerObjectPtr<TnxServerTableCursor> writer(Cursor(u"T", omReadWrite));
  ASSERT_NE(writer, nullptr);
}

TEST_F(RestructureTest, ARestructureAddsAFieldAndKeepsTheRecords) {
  BuildPos(u"T", 300);
  auto dict = PositionDictionary();
  dict->FieldsDescriptor().AddField(u"Extra", u"", nxtInt32, 0, 0, false);
  TnxDataDictionary old;
  ASSERT_EQ(db->TableGetDictionary(u"T", u"", &old), 0u);
  TnxTableMapperDescriptor mapping;
  mapping.MapAllTablesAndFieldsByName(old, *dict, dlaFail);
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db->TableRestructure(u"T", u"", dict.get(), &mapping, false, task), 0u) << LastMessage();
  ASSERT_EQ(Finish(task).tsErrorCode, 0u) << LastMessage();
  TnxDataDictionary now;
  ASSERT_EQ(db->TableGetDictionary(u"T", u"", &now), 0u);
  EXPECT_GE(now.FieldsDescriptor().GetFieldFromName(u"Extra"), 0);
  std::vector<std::string> bad;
  EXPECT_EQ(Rows(u"T", &bad), Expected(300, false));
  EXPECT_TRUE(bad.empty());
  EXPECT_TRUE(Leftovers(dir.Dir()).empty());
}

TEST_F(RestructureTest, TheEntryPointsRefuseBeforeTheyBuildAnything) {
  BuildPos(u"T", 10);
  TempDir otherDir;
  TnxServerDatabase& other = Other(otherDir.Dir());
  TnxAbstractTaskInfo* task = nullptr;
  auto dict = PositionDictionary();
  TnxTableMapperDescriptor mapping;
  struct Case {
    const char* name;
    std::function<uint32_t()> run;
    uint32_t result;
  };
  const Case cases[] = {
      {"pack of no name", [&] { return db->TablePack(u"", u"", task); }, nxeTableDoesNotExist},
      {"pack of a missing table", [&] { return db->TablePack(u"None", u"", task); }, nxeTableDoesNotExist},
      {"restructure of a child", [&] { return db->TableRestructure(u"T:Kid", u"", dict.get(), &mapping, false, task); },
       nxeInvalidParameter},
      {"backup into the same folder", [&] { return db->TableBackup(u"T", u"", db, task); }, nxeSameTable},
      {"backup into nothing", [&] { return db->TableBackup(u"T", u"", nullptr, task); }, nxeInvalidParameter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.run(), c.result);
    EXPECT_EQ(task, nullptr);
    EXPECT_TRUE(Leftovers(dir.Dir()).empty());
  }
  (void)other;
}

TEST_F(RestructureTest, ABackupGoesIntoAnotherFolderAndLeavesTheSource) {
  BuildPos(u"T", 250, true);
  TempDir otherDir;
  TnxServerDatabase& other = Other(otherDir.Dir());
  TnxAbstractTaskInfo* task = nullptr;
  ASSERT_EQ(db->TableBackup(u"T", u"", &other, task), 0u) << LastMessage();
  ASSERT_EQ(Finish(task).tsErrorCode, 0u) << LastMessage();
  EXPECT_EQ(Rows(u"T"), Expected(250, true));
  EXPECT_EQ(Rows(u"T", nullptr, &other), Expected(250, true));
  EXPECT_TRUE(Leftovers(otherDir.Dir()).empty());
  // A second backup finds the table there already, and leaves it.
  ASSERT_EQ(db->TableBackup(u"T", u"", &other, task), nxeTableAlreadyExists);
  EXPECT_EQ(Rows(u"T", nullptr, &other), Expected(250, true));
}

// The backup's half-filled target in the other folder goes as well.
TEST_F(RestructureTest, ACancelLeavesTheSourceAndNoTarget) {
  BuildPos(u"T", 3000);
  TempDir otherDir;
  TnxServerDatabase& other = Other(otherDir.Dir());
  const std::function<uint32_t(TnxAbstractTaskInfo*&)> starts[] = {
      [&](TnxAbstractTaskInfo*& aTask) { return db->TablePack(u"T", u"", aTask); },
      [&](TnxAbstractTaskInfo*& aTask) { return db->TableBackup(u"T", u"", &other, aTask); },
  };
  for (const auto& start : starts) {
    TnxAbstractTaskInfo* task = nullptr;
    ASSERT_EQ(start(task), 0u) << LastMessage();
    EXPECT_EQ(task->Cancel(), 0u);
    EXPECT_EQ(Finish(task).tsErrorCode, nxeUpdateAborted);
    EXPECT_EQ(Rows(u"T"), Expected(3000, false));
    EXPECT_TRUE(Leftovers(dir.Dir()).empty());
    bool exists = true;
    ASSERT_EQ(other.TableExists(u"T", u"", exists, false), 0u);
    EXPECT_FALSE(exists);
    EXPECT_TRUE(Leftovers(otherDir.Dir()).empty());
  }
}

// Each rename of the swap fails in turn: the table stays under its name
// with its records, and neither the target nor a backup is left.
TEST_F(RestructureTest, ARenameFailingAtEitherStepKeepsTheSource) {
  BuildPos(u"T", 200, true);
  for (int k = 1; k <= 8; ++k) {
    SCOPED_TRACE(k);
    uint32_t result = 0;
    int renames = 0;
    {
      TFaultFileOps faults;
      faults.FailCall(TFileOp::Rename, k, EIO);
      platform::ScopedFileOps scoped(faults);
      TnxAbstractTaskInfo* task = nullptr;
      result = db->TablePack(u"T", u"", task);
      if (result == 0) result = Finish(task).tsErrorCode;
      renames = faults.Calls(TFileOp::Rename);
    }
    nxFatalErrorFlag.store(false);
    EXPECT_EQ(Rows(u"T"), Expected(200, true));
    EXPECT_EQ(Leftovers(dir.Dir()), std::vector<std::string>{});
    if (renames < k) {
      EXPECT_EQ(result, 0u) << LastMessage();
      break;
    }
    EXPECT_NE(result, 0u);
  }
}

// A process packs a table with half its records deleted, restructures it
// to take one more field, and backs it up into another folder, and is cut
// at every change it makes to the disk in turn (each write, size change,
// sync, folder sync, create, rename and unlink of the file seam), by
// exiting, by a power loss that drops what was not made durable, or by
// one failing change. Once the folders open again the table under its own
// name holds exactly its records, in the old structure or the new, every
// index complete, and no temporary table or task intent is left; a backup
// found in the other folder is complete.
class RestructureCrashTest : public RestructureTest {
protected:
  static constexpr int kDone = 3;
  static constexpr int kFailed = 7;

  std::string AckPath() const { return dir.Dir() + ".acks"; }

  void Prepare(int aRows, const std::string& aOther) {
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
    for (const auto& entry : std::filesystem::directory_iterator(aOther)) std::filesystem::remove(entry.path());
    std::filesystem::remove(AckPath());
    OpenAll();
    BuildPos(u"T", aRows, true);
    CloseAll();
  }

  // The task is read once the call that made it returned.
  uint32_t Await(const std::function<uint32_t(TnxAbstractTaskInfo*&)>& aStart) {
    TnxAbstractTaskInfo* task = nullptr;
    const uint32_t result = aStart(task);
    return result != 0 ? result : Finish(task).tsErrorCode;
  }

  [[noreturn]] void Child(int aCut, TCut aKind, const std::string& aOther) {
    TFaultFileOps seam;
    if (aKind != cExit) seam.TrackFolders();
    TAckFile acks(AckPath());
    int changes = 0;
    CutAtChange(seam, aCut, aKind, changes);
    platform::ScopedFileOps scoped(seam);
    int code = kFailed;
    try {
      OpenAll();
      if (Await([&](TnxAbstractTaskInfo*& aTask) { return db->TablePack(u"T", u"", aTask); }) == 0) acks.Ack(1);
      auto wide = PositionDictionary();
      wide->FieldsDescriptor().AddField(u"Extra", u"", nxtInt32, 0, 0, false);
      TnxDataDictionary old;
      if (db->TableGetDictionary(u"T", u"", &old) == 0) {
        TnxTableMapperDescriptor mapping;
        mapping.MapAllTablesAndFieldsByName(old, *wide, dlaFail);
        if (Await([&](TnxAbstractTaskInfo*& aTask) {
              return db->TableRestructure(u"T", u"", wide.get(), &mapping, false, aTask);
            }) == 0)
          acks.Ack(2);
      }
      // After an I/O error the engine takes no more changes: no database.
      TnxAbstractDatabase* opened = nullptr;
      if (session->DatabaseOpen(opened, u"Path", platform::Utf8ToUtf16(aOther), nullptr, omReadWrite, smShared,
                                10000) == 0) {
        other_ = static_cast<TnxServerDatabase*>(opened);
        if (Await([&](TnxAbstractTaskInfo*& aTask) { return db->TableBackup(u"T", u"", other_, aTask); }) == 0)
          acks.Ack(3);
      }
      code = kDone;
      try {
        if (other_) other_->Free();
        other_ = nullptr;
        CloseAll();
      } catch (...) {
        // A close that meets the error has nothing left to tell.
      }
    } catch (...) {
      code = kFailed;
    }
    _exit(code);
  }

  std::vector<int32_t> Acks() const {
    std::vector<int32_t> acks;
    std::ifstream in(AckPath(), std::ios::binary);
    int32_t value = 0;
    while (in.read(reinterpret_cast<char*>(&value), 4)) acks.push_back(value);
    return acks;
  }

  void Check(int aRows, const std::string& aOther) {
    const std::vector<int32_t> acks = Acks();
    const auto acked = [&](int32_t aStep) { return std::find(acks.begin(), acks.end(), aStep) != acks.end(); };
    std::vector<std::string> bad;
    EXPECT_EQ(Rows(u"T", &bad), Expected(aRows, true));
    EXPECT_EQ(bad, std::vector<std::string>{});
    TnxDataDictionary now;
    ASSERT_EQ(db->TableGetDictionary(u"T", u"", &now), 0u) << LastMessage();
    if (acked(2)) {
      EXPECT_GE(now.FieldsDescriptor().GetFieldFromName(u"Extra"), 0);
    }
    EXPECT_EQ(Leftovers(dir.Dir()), std::vector<std::string>{});
    TnxServerDatabase& other = Other(aOther);
    EXPECT_EQ(Leftovers(aOther), std::vector<std::string>{});
    bool exists = false;
    ASSERT_EQ(other.TableExists(u"T", u"", exists, false), 0u);
    if (acked(3)) {
      EXPECT_TRUE(exists);
    }
    if (exists) {
      std::vector<std::string> badBackup;
      EXPECT_EQ(Rows(u"T", &badBackup, &other), Expected(aRows, true));
      EXPECT_EQ(badBackup, std::vector<std::string>{});
    }
    other_->Free();
    other_ = nullptr;
  }
};

TEST_F(RestructureCrashTest, TheTableIsOldOrNewAndNothingTemporaryStaysAfterACutAnywhere) {
  CloseAll();
  TempDir otherDir;
  const int rows = TestSize(60, 400);
  const int stride = TestSize(4, 1);
  std::vector<TCut> kinds{cExit, cPowerLoss, cEIO};
  if (LongTests()) kinds.push_back(cSectors);
  int changes = 20000;
  for (TCut kind : kinds) {
    int cut = 1;
    for (; cut <= changes; cut += stride) {
      SCOPED_TRACE(std::to_string(kind) + "/" + std::to_string(cut));
      Prepare(rows, otherDir.Dir());
      if (::testing::Test::HasFailure()) return;
      const int code = RunForkedChild([&] { Child(cut, kind, otherDir.Dir()); }, 120000);
      ASSERT_TRUE(code == kDone || (code == 0 && kind != cEIO)) << code;
      nxFatalErrorFlag.store(false);
      OpenAll();
      Check(rows, otherDir.Dir());
      CloseAll();
      if (::testing::Test::HasFailure()) return;
      if (kind != cEIO && code == kDone) {
        EXPECT_EQ(Acks().size(), 3u);
        break;
      }
    }
    EXPECT_GT(cut, 10);
    if (kind == cExit) changes = cut;
  }
}

}  // namespace
}  // namespace revurov::testing
