// A process inserts records through a table cursor, one per fail-safe
// transaction, and is cut at every change it makes to the disk in turn
// (each write, size change, sync, folder sync, create, rename and unlink
// of the file seam), by exiting or by a power loss that drops what was not
// made durable. Once the folder opens again, every insert whose commit
// answered 0 is there, beyond them at most the one in flight, each record
// whole, and every index holds exactly the records.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lowlevel/streams/memory_stream.h"
#include "platform/file_ops.h"
#include "server/server_table_cursor.h"
#include "support/forked_child.h"
#include "support/position_table.h"
#include "support/power_cut.h"
#include "support/recording_file_ops.h"
#include "support/table_check.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

constexpr int kDone = 3;
constexpr int kFailed = 7;

PositionRow RowOf(int32_t aID) {
  PositionRow row;
  row.ID = aID;
  row.Name = "n" + std::to_string(aID % 7);
  row.Grp = aID % 3;
  row.Stamp = 1000 - aID;
  return row;
}

class WriteCrashTest : public PositionTableFixture {
protected:
  std::string AckPath() const { return dir.Dir() + ".acks"; }

  void Prepare() {
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
    std::filesystem::remove(AckPath());
    OpenAll();
    auto dict = PositionDictionary();
    ASSERT_EQ(db->TableBuild(false, u"W", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    CloseAll();
  }

  TnxServerTableCursor* OpenCursor() {
    TnxAbstractCursor* cursor = nullptr;
    if (db->CursorOpen(cursor, u"W", u"", omReadWrite, smShared, 10000, u"ByID", -1, false, 0, 500, nullptr) != 0)
      return nullptr;
    return static_cast<TnxServerTableCursor*>(cursor);
  }

  [[noreturn]] void Child(int aInserts, int aCut, TCut aKind) {
    TFaultFileOps seam;
    if (aKind != cExit) seam.TrackFolders();
    TAckFile acks(AckPath());
    int changes = 0;
    CutAtChange(seam, aCut, aKind, changes);
    platform::ScopedFileOps scoped(seam);
    int code = kFailed;
    try {
      OpenAll();
      TnxServerTableCursor* cursor = OpenCursor();
      if (cursor) {
        holder_ = cursor;
        code = kDone;
        for (int32_t id = 1; id <= aInserts && code == kDone; ++id) {
          std::vector<uint8_t> record = Record(RowOf(id));
          if (db->TransactionStart(true, false) != 0) {
            code = kFailed;
          } else if (cursor->RecordInsert(nxltNoLock, record.data(), nullptr) != 0) {
            db->TransactionRollback();
            code = kFailed;
          } else if (db->TransactionCommit() == 0) {
            acks.Ack(id);
          } else {
            code = kFailed;
          }
        }
        cursor->Free();
      }
      CloseAll();
    } catch (...) {
      code = kFailed;
    }
    _exit(code);
  }

  int RunChild(int aInserts, int aCut, TCut aKind) {
    return RunForkedChild([&] { Child(aInserts, aCut, aKind); });
  }

  std::vector<int32_t> Acks() const {
    std::vector<int32_t> acks;
    std::ifstream in(AckPath(), std::ios::binary);
    int32_t value = 0;
    while (in.read(reinterpret_cast<char*>(&value), 4)) acks.push_back(value);
    return acks;
  }

  // After the folder opened again.
  void Check(int aInserts) {
    const std::vector<int32_t> acks = Acks();
    for (size_t i = 0; i < acks.size(); ++i) ASSERT_EQ(acks[i], int32_t(i) + 1);
    TnxServerTableCursor* cursor = OpenCursor();
    ASSERT_NE(cursor, nullptr) << LastMessage();
    holder_ = cursor;
    table_ = cursor->Table();
    const TRecords records = ReadRecords(*table_, nullptr, size_t(Fields().RecordLength()));
    std::vector<int32_t> ids;
    for (const auto& [refNr, record] : records) {
      int32_t id = 0;
      bool isNull = false;
      Fields().GetRecordField(0, record.data(), isNull, &id);
      ids.push_back(id);
      std::vector<uint8_t> expected = Record(RowOf(id));
      EXPECT_EQ(std::vector<uint8_t>(record.begin(), record.begin() + Fields().RecordLength()),
                std::vector<uint8_t>(expected.begin(), expected.begin() + Fields().RecordLength()))
          << "record " << id;
    }
    std::sort(ids.begin(), ids.end());
    const size_t acked = acks.size();
    ASSERT_GE(ids.size(), acked);
    ASSERT_LE(ids.size(), std::min<size_t>(acked + 1, size_t(aInserts)));
    for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], int32_t(i) + 1);
    for (const char16_t* name : {u"ByID", u"ByName", u"ByGrpStamp"})
      ExpectIndexComplete(Index(IndexNo(name)), nullptr, records, platform::Utf16ToUtf8(name));
    cursor->Free();
    holder_ = nullptr;
  }
};

TEST_F(WriteCrashTest, EveryCommittedInsertSurvivesACutAnywhere) {
  CloseAll();
  const int inserts = TestSize(2, 8);
  const int stride = TestSize(3, 1);
  std::vector<TCut> kinds{cExit, cPowerLoss};
  if (LongTests()) kinds.push_back(cSectors);
  for (TCut kind : kinds) {
    int cut = 1;
    for (; cut <= 5000; cut += stride) {
      SCOPED_TRACE(std::to_string(kind) + "/" + std::to_string(cut));
      Prepare();
      const int code = RunChild(inserts, cut, kind);
      ASSERT_TRUE(code == kDone || code == 0) << code;
      OpenAll();
      Check(inserts);
      CloseAll();
      if (::testing::Test::HasFailure()) return;
      if (code == kDone) {
        EXPECT_EQ(Acks().size(), size_t(inserts));
        break;
      }
    }
    EXPECT_GT(cut, 4);
    EXPECT_LE(cut, 5000);
  }
}

// A fail-safe transaction's commit is journalled and synced before it
// answers; a plain one leaves the writes to the system.
TEST_F(WriteCrashTest, AFailSafeCommitIsJournalledAndSynced) {
  CloseAll();
  Prepare();
  for (const bool failSafe : {false, true}) {
    SCOPED_TRACE(failSafe);
    TRecordingFileOps seam(platform::PosixFileOps());
    platform::ScopedFileOps scoped(seam);
    OpenAll();
    TnxServerTableCursor* cursor = OpenCursor();
    ASSERT_NE(cursor, nullptr) << LastMessage();
    ASSERT_EQ(db->TransactionStart(failSafe, false), 0u);
    TnxBytesStream stream;
    stream.Write("record", 6);
    stream.SetPosition(0);
    ASSERT_EQ(cursor->TableStreamWrite(u"S", stream), 0u) << LastMessage();
    const size_t before = seam.Trace.size();
    ASSERT_EQ(db->TransactionCommit(), 0u) << LastMessage();
    bool tableSynced = false, journalSynced = false;
    for (size_t i = before; i < seam.Trace.size(); ++i) {
      tableSynced |= seam.Trace[i] == "sync W.nx1";
      journalSynced |= seam.Trace[i].starts_with("sync ") && seam.Trace[i].ends_with(".n$2");
    }
    EXPECT_EQ(tableSynced, failSafe);
    EXPECT_EQ(journalSynced, failSafe);
    cursor->Free();
    CloseAll();
  }
}

}  // namespace
}  // namespace revurov::testing
