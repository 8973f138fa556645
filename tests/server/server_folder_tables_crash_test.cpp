// A process that renames, deletes or overwrites a three-file table is cut
// at every change it makes to the disk in turn (each write, size change,
// sync, create, rename and unlink of the file seam), by exiting or by a
// power loss that drops what was not made durable: once the folder opens
// again, the table is whole under exactly one name, with its record.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "platform/file_ops.h"
#include "support/forked_child.h"
#include "support/power_cut.h"
#include "support/table_ops_fixture.h"
#include "support/test_size.h"

namespace revurov::testing {
namespace {

enum TOperation { oRename, oDelete, oOverwrite };

// A cut exits with 0.
constexpr int kDone = 3;
constexpr int kFailed = 7;

class TableCrashTest : public TableOpsFixture {
protected:
  std::vector<std::string> Three(const std::string& aName) const {
    return {aName + ".bl", aName + ".ix", aName + ".nx1"};
  }

  void Prepare() {
    for (const auto& entry : std::filesystem::directory_iterator(dir.Dir())) std::filesystem::remove(entry.path());
    OpenAll();
    ASSERT_EQ(Build(u"T"), 0u) << LastMessage();
    ASSERT_EQ(WriteRecord(u"T", u"r1"), 0u);
    CloseAll();
  }

  [[noreturn]] void Child(TOperation aOperation, int aCut, TCut aKind) {
    TFaultFileOps seam;
    if (aKind != cExit) seam.TrackFolders();
    int changes = 0;
    CutAtChange(seam, aCut, aKind, changes);
    platform::ScopedFileOps scoped(seam);
    int code = kFailed;
    try {
      OpenAll();
      uint32_t result = 0;
      switch (aOperation) {
        case oRename:
          result = db->TableRename(u"T", u"U", u"");
          break;
        case oDelete:
          result = db->TableDelete(u"T", u"");
          break;
        case oOverwrite:
          result = Build(u"T", u"B", 3, u"", true);
          break;
      }
      CloseAll();
      code = result == 0 ? kDone : kFailed;
    } catch (...) {
      code = kFailed;
    }
    _exit(code);
  }

  int RunChild(TOperation aOperation, int aCut, TCut aKind) {
    return RunForkedChild([&] { Child(aOperation, aCut, aKind); });
  }

  // After the folder opened again: the table whole under one name.
  void Check(TOperation aOperation) {
    const std::vector<std::string> files = Files();
    EXPECT_FALSE(IntentPending());
    switch (aOperation) {
      case oRename:
        if (files == Three("U")) {
          EXPECT_EQ(ReadRecord(u"U"), "r1");
        } else {
          EXPECT_EQ(files, Three("T"));
          EXPECT_EQ(ReadRecord(u"T"), "r1");
        }
        break;
      case oDelete:
        if (!files.empty()) {
          EXPECT_EQ(files, Three("T"));
          EXPECT_EQ(ReadRecord(u"T"), "r1");
        }
        break;
      case oOverwrite: {
        EXPECT_EQ(files, Three("T"));
        TnxDataDictionary dict;
        ASSERT_EQ(db->TableGetDictionary(u"T", u"", &dict), 0u) << LastMessage();
        const std::string tag = platform::Utf16ToUtf8(dict.FieldsDescriptor().FieldDescriptor(0)->Name());
        EXPECT_EQ(ReadRecord(u"T"), tag == "A" ? "r1" : "-") << tag;
        break;
      }
    }
  }
};

TEST_F(TableCrashTest, EveryTableIsWholeUnderOneNameAfterACutAnywhere) {
  CloseAll();
  const int stride = TestSize(2, 1);
  std::vector<TCut> kinds{cExit, cPowerLoss};
  if (LongTests()) kinds.push_back(cSectors);
  for (TOperation operation : {oRename, oDelete, oOverwrite}) {
    for (TCut kind : kinds) {
      int cut = 1;
      for (; cut <= 2000; cut += stride) {
        SCOPED_TRACE(std::to_string(operation) + "/" + std::to_string(kind) + "/" + std::to_string(cut));
        Prepare();
        const int code = RunChild(operation, cut, kind);
        ASSERT_TRUE(code == kDone || code == 0) << code;
        OpenAll();
        Check(operation);
        CloseAll();
        if (::testing::Test::HasFailure()) return;
        // The run ended before the cut: every change was cut once.
        if (code == kDone) break;
      }
      EXPECT_GT(cut, 4);
      EXPECT_LE(cut, 2000);
    }
  }
}

}  // namespace
}  // namespace revurov::testing
