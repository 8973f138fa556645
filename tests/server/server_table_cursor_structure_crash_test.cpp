// A process adds an index and then a field to a table holding records, and
// is cut at every change it makes to the disk in turn (each write, size
// change, sync, folder sync, create, rename and unlink of the file seam),
// by exiting or by a power loss that drops what was not made durable. Once
// the folder opens again the table has each structure change whole or not
// at all: every index its dictionary names holds exactly the records, an
// acknowledged change is there, and the records are as they were.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "dictionary/storage_descriptors.h"
#include "platform/file_ops.h"
#include "server/server_data_dict.h"
#include "server/server_table_cursor.h"
#include "support/forked_child.h"
#include "support/position_table.h"
#include "support/power_cut.h"
#include "support/table_check.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

constexpr int kDone = 3;
constexpr int kFailed = 7;
constexpr int kNoStart = 11;

class StructureCrashTest : public PositionTableFixture {
protected:
  std::string AckPath() const { return dir.Dir() + ".acks"; }

  void Prepare(const std::vector<PositionRow>& aRows) {
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
    std::filesystem::remove(AckPath());
    OpenAll();
    auto dict = GrowableDictionary();
    ASSERT_EQ(db->TableBuild(false, u"S", u"", dict.get(), tsPersistent, false), 0u) << LastMessage();
    holder_ = OpenCursor();
    ASSERT_NE(holder_, nullptr) << LastMessage();
    table_ = holder_->Table();
    rows_.clear();
    Load(aRows);
    holder_->Free();
    holder_ = nullptr;
    CloseAll();
  }

  TnxServerTableCursor* OpenCursor() {
    TnxAbstractCursor* cursor = nullptr;
    if (db->CursorOpen(cursor, u"S", u"", omReadWrite, smExclusive, 10000, u"", -1, false, 0, 500, nullptr) != 0)
      return nullptr;
    return static_cast<TnxServerTableCursor*>(cursor);
  }

  [[noreturn]] void Child(int aCut, TCut aKind) {
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
        auto items = PositionDictionary();
        items->RemoveIndicesDescriptor();
        TnxIndexDescriptor* index = items->EnsureIndicesDescriptor()->AddIndex(
            u"ByStamp", 1, idAll, u"", &TnxCompKeyDescriptor::ClassInfo());
        static_cast<TnxCompKeyDescriptor*>(index->KeyDescriptor())->Add(3);
        TnxDataDictionary fields;
        TnxFieldDescriptor* field = fields.FieldsDescriptor().AddField(u"Extra", u"", nxtInt32, 0, 0, false);
        code = kDone;
        if (cursor->stcAddIndex(index, false) == 0) acks.Ack(1);
        if (cursor->stcAddField(field) == 0) acks.Ack(2);
        if (cursor->stcDropIndex(u"ByName", -1) == 0) acks.Ack(3);
        cursor->Free();
      } else {
        code = kNoStart;
      }
      try {
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

  // After the folder opened again.
  void Check(const std::vector<PositionRow>& aRows) {
    const std::vector<int32_t> acks = Acks();
    const auto acked = [&](int32_t aChange) { return std::find(acks.begin(), acks.end(), aChange) != acks.end(); };
    TnxServerTableCursor* cursor = OpenCursor();
    ASSERT_NE(cursor, nullptr) << LastMessage();
    holder_ = cursor;
    table_ = cursor->Table();
    TnxServerDataDict& dict = table_->Root()->Dictionary();
    const bool hasIndex = dict.GetIndexFromName(u"ByStamp") >= 0;
    const bool hasField = Fields().GetFieldFromName(u"Extra") >= 0;
    const bool hasByName = dict.GetIndexFromName(u"ByName") >= 0;
    if (acked(1)) {
      EXPECT_TRUE(hasIndex);
    }
    if (acked(2)) {
      EXPECT_TRUE(hasField);
    }
    if (acked(3)) {
      EXPECT_FALSE(hasByName);
    }
    EXPECT_EQ(dict.IndicesDescriptor()->IndexCount(), 3 + int(hasIndex) + int(hasByName));
    EXPECT_EQ(Fields().FieldCount(), hasField ? 5 : 4);
    const TRecords records = ReadRecords(*table_, nullptr, size_t(Fields().RecordLength()));
    ASSERT_EQ(records.size(), aRows.size());
    std::vector<bool> seen(aRows.size() + 1);
    for (const auto& [refNr, record] : records) {
      int32_t id = 0;
      bool isNull = false;
      Fields().GetRecordField(0, record.data(), isNull, &id);
      ASSERT_TRUE(id >= 1 && id <= int32_t(aRows.size())) << id;
      EXPECT_FALSE(seen[size_t(id)]);
      seen[size_t(id)] = true;
      int32_t stamp = 0;
      Fields().GetRecordField(3, record.data(), isNull, &stamp);
      EXPECT_EQ(stamp, aRows[size_t(id - 1)].Stamp);
      if (hasField) {
        EXPECT_TRUE(Fields().IsRecordFieldNull(4, record.data()));
      }
    }
    ASSERT_EQ(table_->IndicesEngine()->IndexCount(), dict.IndicesDescriptor()->IndexCount());
    for (int32_t i = 0; i < table_->IndicesEngine()->IndexCount(); ++i) {
      const std::string name = platform::Utf16ToUtf8(Index(i).IndexName());
      ExpectIndexComplete(Index(i), nullptr, records, name);
      EXPECT_EQ(Index(i).bieGetKeyCount(nullptr), records.size()) << name;
    }
    cursor->Free();
    holder_ = nullptr;
  }
};

TEST_F(StructureCrashTest, AStructureChangeIsWholeOrAbsentAfterACutAnywhere) {
  CloseAll();
  std::vector<PositionRow> rows;
  std::mt19937 random(5);
  for (int32_t id = 1; id <= TestSize(150, 600); ++id)
    rows.push_back({id, "n" + std::to_string(id % 11), id % 3, int32_t(random() % 1000)});
  const int stride = TestSize(3, 1);
  // An I/O error lets the child go on: the change that met it fails and
  // the next ones run on what it left.
  std::vector<TCut> kinds{cExit, cPowerLoss, cEIO};
  if (LongTests()) kinds.push_back(cSectors);
  // The first sweep ends after the last change; an I/O error may be met
  // and passed over, so that sweep runs up to there.
  int changes = 5000;
  for (TCut kind : kinds) {
    int cut = 1;
    for (; cut <= changes; cut += stride) {
      SCOPED_TRACE(std::to_string(kind) + "/" + std::to_string(cut));
      Prepare(rows);
      if (::testing::Test::HasFailure()) return;
      const int code = RunForkedChild([&] { Child(cut, kind); });
      ASSERT_TRUE(code == kDone || (code == 0 && kind != cEIO) || (code == kNoStart && kind == cEIO)) << code;
      OpenAll();
      Check(rows);
      CloseAll();
      if (::testing::Test::HasFailure()) return;
      if (kind != cEIO && code == kDone) {
        EXPECT_EQ(Acks().size(), 3u);
        break;
      }
    }
    EXPECT_GT(cut, 4);
    if (kind == cExit) changes = cut;
  }
}

}  // namespace
}  // namespace revurov::testing
