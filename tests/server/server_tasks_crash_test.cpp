// A process rebuilds an index and is cut at every change it makes to the
// disk in turn (each write, size change, sync, folder sync, create, rename
// and unlink of the file seam), by exiting or by a power loss that drops
// what was not made durable. The table holds one record the old index
// misses: once the folder opens again, the index holds either exactly the
// other records (the old one) or all of them (the new one), and the other
// indices are untouched.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "server/server_database.h"
#include "server/server_tasks.h"
#include "support/forked_child.h"
#include "support/position_table.h"
#include "support/power_cut.h"
#include "support/table_check.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

constexpr int kDone = 3;
constexpr int kFailed = 7;

class RebuildCrashTest : public PositionTableFixture {
protected:
  TnxServerTableCursor* OpenCursor(TnxServerDatabase* aDatabase) {
    TnxAbstractCursor* cursor = nullptr;
    if (aDatabase->CursorOpen(cursor, u"W", u"", omReadWrite, smShared, 10000, u"", -1, false, 0, 500, nullptr) != 0)
      return nullptr;
    return static_cast<TnxServerTableCursor*>(cursor);
  }

  void Prepare(int aRows) {
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
    OpenAll();
    auto dict = PositionDictionary();
    ASSERT_EQ(db->TableBuild(false, u"W", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    holder_ = OpenCursor(db);
    ASSERT_NE(holder_, nullptr);
    table_ = holder_->Table();
    std::mt19937 random(5);
    rows_.clear();
    Load(RandomRows(aRows, random));
    {
      // One record no index has.
      TnxBufferManager& bm = *engine->BufferManager();
      TnxBaseTransaction trans(bm, nullptr, false, false);
      std::vector<uint8_t> record = Record({-1, "extra", 4, 4});
      table_->RecordEngine()->AddRecord(trans, extra_, record.data());
      nxsrCommit(bm, trans);
    }
    holder_->Free();
    holder_ = nullptr;
    CloseAll();
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
      TnxAbstractDatabase* database = nullptr;
      if (session->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 10000) == 0) {
        TnxServerObjectPtr<TnxServerDatabase> owned(static_cast<TnxServerDatabase*>(database));
        TnxServerTableCursor* cursor = OpenCursor(owned.get());
        if (cursor) {
          const int32_t index = cursor->TableDescriptor()->IndicesDescriptor()->GetIndexFromName(u"ByGrpStamp");
          auto task = nxCreateServerObject<TnxServerRebuildIndexTaskInfo>(
              TnxServerObjectPtr<TnxServerTableCursor>(cursor), std::move(owned), index);
          task->StartThread();
          TnxTaskStatus status;
          bool completed = false;
          while (!completed) task->GetStatus(completed, status);
          if (status.tsErrorCode == 0) code = kDone;
        }
      }
      CloseAll();
    } catch (...) {
      code = kFailed;
    }
    _exit(code);
  }

  // After the folder opened again.
  void Check() {
    holder_ = OpenCursor(db);
    ASSERT_NE(holder_, nullptr) << LastMessage();
    table_ = holder_->Table();
    TRecords records = ReadRecords(*table_, nullptr, size_t(Fields().RecordLength()));
    ASSERT_EQ(records.count(extra_), 1u);
    TRecords others = records;
    others.erase(extra_);
    uint32_t keys = 0;
    Index(IndexNo(u"ByGrpStamp")).GetKeyCount(nullptr, keys);
    ASSERT_TRUE(keys == others.size() || keys == records.size()) << keys;
    ExpectIndexComplete(Index(IndexNo(u"ByGrpStamp")), nullptr, keys == records.size() ? records : others,
                        "ByGrpStamp");
    for (const char16_t* name : {u"ByID", u"ByName"})
      ExpectIndexComplete(Index(IndexNo(name)), nullptr, others, platform::Utf16ToUtf8(name));
    holder_->Free();
    holder_ = nullptr;
  }

  TnxRefNr extra_ = 0;
};

TEST_F(RebuildCrashTest, TheIndexIsOldOrNewAfterACutAnywhere) {
  CloseAll();
  const int rows = TestSize(300, 3000);
  const int stride = TestSize(3, 1);
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
      Check();
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
