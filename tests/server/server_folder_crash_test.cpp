// A process that commits into two tables of a folder is cut at every
// change it makes to the disk in turn (each write, size change, sync,
// create, rename and unlink of the file seam): whatever "nxTrans.cfg" it
// left, the folder opened afterwards hands out LSNs above every table's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "platform/file_ops.h"
#include "platform/text.h"
#include "server/server_database.h"
#include "server/server_folder.h"
#include "server/server_transaction_mgr.h"
#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "storage/transactions.h"
#include "support/fault_file_ops.h"
#include "support/forked_child.h"
#include "support/server_fixture.h"
#include "support/storage_fixture.h"

namespace revurov::testing {
namespace {

constexpr int kCutExit = 9;
constexpr int kCommits = 3;

uint64_t HeaderLSN(const std::string& aBytes) {
  uint64_t value = 0;
  for (int i = 15; i >= 8; --i) value = (value << 8) | static_cast<uint8_t>(aBytes[i]);
  return value;
}

class FolderCrashTest : public ServerFixture {
protected:
  FolderCrashTest() {
    engine->SetMaxRAM(16);
    tables.MakeTable("A.nx1", nxbs4k, 3);
    tables.MakeTable("B.nx1", nxbs4k, 3);
  }
  std::u16string Path() const { return platform::Utf8ToUtf16(tables.Dir().Dir()); }

  // The child: opens the folder and commits kCommits transactions into both
  // tables through the engine's buffer manager, each stamping its LSN into
  // the tables' headers; the seam ends the process before change aCut.
  [[noreturn]] void Child(int aCut) {
    int changes = 0;
    TFaultFileOps seam;
    seam.OnChange([&](TFileOp) {
      if (++changes == aCut) _exit(kCutExit);
      return 0;
    });
    platform::ScopedFileOps scoped(seam);
    int code = 3;
    try {
      engine->SetActive(true);
      TnxAbstractServerObject* session = nullptr;
      if (engine->SessionOpen(session, u"child", u"", u"", 10000) != 0) _exit(4);
      TnxAbstractDatabase* database = nullptr;
      if (static_cast<TnxServerSession*>(session)->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite,
                                                                 smShared, 10000) != 0)
        _exit(5);
      TnxBufferManager& bm = *engine->BufferManager();
      std::unique_ptr<TnxBaseFile> files[2];
      int i = 0;
      for (const char* name : {"A.nx1", "B.nx1"}) {
        files[i] = std::make_unique<TnxBaseFile>(platform::Utf8ToUtf16(tables.Dir().Path(name)), seam);
        files[i]->OpenFile(omReadWrite, smExclusive, false, false);
        TnxBlockGuard header;
        PnxBlock block = nullptr;
        bool readOnly = false;
        if (bm.AddFile(*files[i], {}, header.ReleaseMethod(), block, readOnly) != 0) _exit(6);
        header.Hold(block);
        ++i;
      }
      for (int commit = 0; commit < kCommits; ++commit) {
        TnxBaseTransaction trans(bm, nullptr, false, false);
        for (auto& file : files) {
          for (TnxBlockNumber n : {TnxBlockNumber{0}, TnxBlockNumber{1}}) {
            TnxBlockGuard guard;
            guard.Hold(bm.GetBlock(*file, &trans, n, true, guard.ReleaseMethod()));
            TnxBlockCommonHeader common = nxLoadBlockCommonHeader(guard.Block());
            common.bchLSN = trans.LSN();
            nxStoreBlockCommonHeader(guard.Block(), common);
            if (n == 1) guard.Block()[nxBlockCommonHeaderSize] = static_cast<uint8_t>(commit);
          }
        }
        bm.CommitTransaction(&trans, nullptr, false);
      }
      for (auto& file : files) {
        bm.RemoveFile(*file);
        file->CloseFile();
      }
      database->Free();
      engine->SetActive(false);
      code = 0;
    } catch (...) {
      code = 7;
    }
    _exit(code);
  }

  // Runs the child cut at aCut; its exit code, or -1 when it had to be
  // killed after 30 s.
  int RunChild(int aCut) {
    return RunForkedChild([&] { Child(aCut); });
  }

  TStorageFixture tables;
};

TEST_F(FolderCrashTest, TheNextLSNExceedsEveryHeaderAfterACutAnywhere) {
  int cut = 1;
  for (; cut <= 400; ++cut) {
    SCOPED_TRACE(cut);
    const int code = RunChild(cut);
    ASSERT_TRUE(code == 0 || code == kCutExit) << code;
    const uint64_t a = HeaderLSN(tables.Dir().Read("A.nx1"));
    const uint64_t b = HeaderLSN(tables.Dir().Read("B.nx1"));
    Start();
    TnxServerSession* session = Open();
    TnxAbstractDatabase* database = nullptr;
    ASSERT_EQ(session->DatabaseOpen(database, u"Path", Path(), nullptr, omReadWrite, smShared, 1000), 0u);
    const TnxLSN next = static_cast<TnxServerDatabase*>(database)->Folder()->TransManager().LoadedNextLSN();
    EXPECT_GT(next, a);
    EXPECT_GT(next, b);
    EXPECT_GT(engine->BufferManager()->NextLSN(), std::max(a, b));
    database->Free();
    // A fresh buffer manager for the next round.
    engine->SetActive(false);
    if (code == 0) break;
  }
  // Every change was cut once, and the uncut run committed.
  EXPECT_GT(cut, 2 * kCommits);
  EXPECT_LE(cut, 400);
  EXPECT_GE(HeaderLSN(tables.Dir().Read("A.nx1")), 1u + kCommits - 1);
}

}  // namespace
}  // namespace revurov::testing
