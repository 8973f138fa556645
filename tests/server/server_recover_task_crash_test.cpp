// A process recovers a table and is cut at every change it makes to the
// disk in turn (each write, size change, sync, folder sync, create, rename
// and unlink of the file seam), by exiting or by a power loss that drops
// what was not made durable. Once the folder opens again the source is as
// it was, and the two new tables are either both gone or both there with
// every record.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "dictionary/data_dictionary.h"
#include "engine/abstract_task_info.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"
#include "support/forked_child.h"
#include "support/power_cut.h"
#include "support/table_ops_fixture.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

constexpr int kDone = 3;
constexpr int kFailed = 7;

class RecoverCrashTest : public TableOpsFixture {
protected:
  RecoverCrashTest() { CloseAll(); }

  TnxServerTableCursor* Cursor(std::u16string_view aName, TnxOpenMode aMode = omReadOnly) {
    TnxAbstractCursor* cursor = nullptr;
    if (db->CursorOpen(cursor, aName, u"", aMode, smShared, 10000, u"", -1, false, 0, 500, nullptr) != 0)
      return nullptr;
    return static_cast<TnxServerTableCursor*>(cursor);
  }

  void Prepare(int aRows) {
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
    OpenAll();
    auto dict = TwoIndexDictionary();
    ASSERT_EQ(db->TableBuild(false, u"T", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(u"T", omReadWrite));
    ASSERT_NE(cursor, nullptr);
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 16);
    for (int32_t id = 1; id <= aRows; ++id) {
      fields.InitRecord(record.data());
      fields.SetRecordField(0, record.data(), &id);
      // The field's whole width is copied: the rest is zeros.
      std::u16string name = u"n" + platform::Utf8ToUtf16(std::to_string(id % 17));
      name.resize(128, u'\0');
      fields.SetRecordField(1, record.data(), name.c_str());
      ASSERT_EQ(cursor->RecordInsert(nxltNoLock, record.data(), nullptr), 0u) << LastMessage();
    }
    cursor.reset();
    source_ = Records(u"T");
    ASSERT_EQ(source_.size(), size_t(aRows));
    CloseAll();
  }

  // ID -> Name; {-1: ""} when the table does not open.
  std::map<int32_t, std::u16string> Records(std::u16string_view aName) {
    std::map<int32_t, std::u16string> records;
    TnxServerObjectPtr<TnxServerTableCursor> cursor(Cursor(aName));
    if (!cursor) {
      records[-1] = u"";
      return records;
    }
    TnxServerBaseTable& table = *cursor->Table();
    TnxFieldsDescriptor& fields = *table.FieldsDescriptor();
    std::vector<uint8_t> buffer(size_t(fields.RecordLength()) + 16);
    TnxRefNr refNr = 0;
    for (;;) {
      TnxRefNr next = 0;
      table.RecordEngine()->ReadNextRecord(nullptr, refNr, next, buffer.data());
      if (next == 0) return records;
      refNr = next;
      bool isNull = true;
      int32_t id = 0;
      fields.GetRecordField(0, buffer.data(), isNull, &id);
      char16_t name[21] = {};
      fields.GetRecordField(1, buffer.data(), isNull, name);
      records[id] = name;
    }
  }

  [[noreturn]] void Child(int aCut, TCut aKind) {
    TFaultFileOps seam;
    if (aKind != cExit) seam.TrackFolders();
    int changes = 0;
    CutAtChange(seam, aCut, aKind, changes);
    platform::ScopedFileOps scoped(seam);
    int code = kFailed;
    try {
      OpenAll();
      TnxAbstractTaskInfo* task = nullptr;
      if (db->TableRecover(u"T", u"", task) == 0) {
        TnxTaskStatus status;
        bool completed = false;
        while (!completed) task->GetStatus(completed, status);
        task->Free();
        if (status.tsErrorCode == 0) code = kDone;
      }
      CloseAll();
    } catch (...) {
      code = kFailed;
    }
    _exit(code);
  }

  bool Exists(std::u16string_view aName) {
    bool exists = false;
    EXPECT_EQ(db->TableExists(aName, u"", exists, false), 0u);
    return exists;
  }

  // After the folder opened again.
  void Check(int aCode) {
    EXPECT_EQ(Records(u"T"), source_);
    const bool recovered = Exists(u"T_Recovered"), failed = Exists(u"T_Failed");
    if (aCode == kDone || recovered || failed) {
      ASSERT_TRUE(recovered && failed) << recovered << failed;
      EXPECT_EQ(Records(u"T_Recovered"), source_);
      EXPECT_TRUE(Records(u"T_Failed").empty());
    } else {
      for (const std::string& file : Files()) EXPECT_NE(file.rfind("T_", 0), 0u) << file;
    }
  }

  std::map<int32_t, std::u16string> source_;
};

TEST_F(RecoverCrashTest, NoNewTableOrBothWholeAfterACutAnywhere) {
  const int rows = TestSize(40, 400);
  const int stride = TestSize(2, 1);
  std::vector<TCut> kinds{cExit, cPowerLoss};
  if (LongTests()) kinds.push_back(cSectors);
  for (TCut kind : kinds) {
    int cut = 1;
    for (; cut <= 20000; cut += stride) {
      SCOPED_TRACE(std::to_string(kind) + "/" + std::to_string(cut));
      Prepare(rows);
      const int code = RunForkedChild([&] { Child(cut, kind); });
      ASSERT_TRUE(code == kDone || code == 0) << code;
      OpenAll();
      Check(code);
      CloseAll();
      if (::testing::Test::HasFailure()) return;
      if (code == kDone) break;
    }
    EXPECT_GT(cut, 4);
    EXPECT_LE(cut, 20000);
  }
}

}  // namespace
}  // namespace revurov::testing
