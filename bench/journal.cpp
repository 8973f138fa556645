// Fail-safe commits of one changed block against SQLite committing one row
// update with journal_mode=DELETE and synchronous=FULL (page size 4 KB and
// the cache matched), both in a folder on disk. The counter "syncs" is the
// file and folder syncs per commit: ours counted at the file seam, SQLite's
// by a VFS shim around its default VFS (each xSync, plus the folder sync its
// Unix VFS makes on the first sync of a new journal). Our journals come
// from the folder's supply, as a server folder's do.
//
// Recovery after kill -9: a child commits 1000 changed blocks and is killed
// halfway through writing the data file; the folder it leaves is restored
// before each run, then Check rolls the journal back. The peer: a child
// updating 1000 pages of SQLite killed the same way, then opening the
// database and reading it, which rolls the hot journal back.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "platform/process.h"
#include "platform/text.h"
#include "storage/buffer_manager.h"
#include "storage/files.h"
#include "storage/journal_classes.h"
#include "storage/journal_engine.h"
#include "storage/journal_supply.h"
#include "storage/transactions.h"
#include "support/fault_file_ops.h"
#include "support/recording_file_ops.h"
#include "support/storage_fixture.h"

namespace {

using namespace revurov;

constexpr uint32_t kBlocks = 1024;
constexpr int32_t kCacheMB = 16;
constexpr uint32_t kRecoverBlocks = 1000;
// The killed committer has written this many blocks of its data.
constexpr int kWrittenBeforeKill = kRecoverBlocks / 2;

// ---- a VFS that counts SQLite's syncs ----

std::atomic<int64_t> gSqliteSyncs{0};
sqlite3_vfs* gRealVfs = nullptr;
sqlite3_vfs gCountingVfs;
sqlite3_io_methods gCountingMethods;

struct TShimFile {
  sqlite3_file Base;
  sqlite3_file* Real;
  bool NewJournal;
  bool MainDb;
};
sqlite3_file* RealOf(sqlite3_file* aFile) { return reinterpret_cast<TShimFile*>(aFile)->Real; }

int ShimClose(sqlite3_file* f) { return RealOf(f)->pMethods->xClose(RealOf(f)); }
int ShimRead(sqlite3_file* f, void* b, int n, sqlite3_int64 o) { return RealOf(f)->pMethods->xRead(RealOf(f), b, n, o); }
// Main database writes to let through before the process kills itself;
// negative: never.
std::atomic<int> gKillAfterDbWrites{-1};

int ShimWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 o) {
  if (reinterpret_cast<TShimFile*>(f)->MainDb && gKillAfterDbWrites.load() >= 0 && gKillAfterDbWrites-- == 0)
    ::kill(::getpid(), SIGKILL);
  return RealOf(f)->pMethods->xWrite(RealOf(f), b, n, o);
}
int ShimTruncate(sqlite3_file* f, sqlite3_int64 s) { return RealOf(f)->pMethods->xTruncate(RealOf(f), s); }
int ShimSync(sqlite3_file* f, int flags) {
  auto* shim = reinterpret_cast<TShimFile*>(f);
  gSqliteSyncs += shim->NewJournal ? 2 : 1;
  shim->NewJournal = false;
  return RealOf(f)->pMethods->xSync(RealOf(f), flags);
}
int ShimFileSize(sqlite3_file* f, sqlite3_int64* s) { return RealOf(f)->pMethods->xFileSize(RealOf(f), s); }
int ShimLock(sqlite3_file* f, int l) { return RealOf(f)->pMethods->xLock(RealOf(f), l); }
int ShimUnlock(sqlite3_file* f, int l) { return RealOf(f)->pMethods->xUnlock(RealOf(f), l); }
int ShimCheckReserved(sqlite3_file* f, int* r) { return RealOf(f)->pMethods->xCheckReservedLock(RealOf(f), r); }
int ShimFileControl(sqlite3_file* f, int op, void* a) { return RealOf(f)->pMethods->xFileControl(RealOf(f), op, a); }
int ShimSectorSize(sqlite3_file* f) { return RealOf(f)->pMethods->xSectorSize(RealOf(f)); }
int ShimDevice(sqlite3_file* f) { return RealOf(f)->pMethods->xDeviceCharacteristics(RealOf(f)); }

int ShimOpen(sqlite3_vfs*, sqlite3_filename aName, sqlite3_file* aFile, int aFlags, int* aOutFlags) {
  auto* shim = reinterpret_cast<TShimFile*>(aFile);
  shim->Real = reinterpret_cast<sqlite3_file*>(shim + 1);
  shim->NewJournal = (aFlags & SQLITE_OPEN_MAIN_JOURNAL) != 0 && (aFlags & SQLITE_OPEN_CREATE) != 0;
  shim->MainDb = (aFlags & SQLITE_OPEN_MAIN_DB) != 0;
  const int rc = gRealVfs->xOpen(gRealVfs, aName, shim->Real, aFlags, aOutFlags);
  shim->Base.pMethods = shim->Real->pMethods ? &gCountingMethods : nullptr;
  return rc;
}
int ShimDelete(sqlite3_vfs*, const char* aName, int aSyncDir) {
  if (aSyncDir) ++gSqliteSyncs;
  return gRealVfs->xDelete(gRealVfs, aName, aSyncDir);
}

void InstallCountingVfs() {
  if (gRealVfs) return;
  gRealVfs = sqlite3_vfs_find(nullptr);
  gCountingVfs = *gRealVfs;
  gCountingVfs.iVersion = 1;
  gCountingVfs.zName = "counting";
  gCountingVfs.szOsFile = static_cast<int>(sizeof(TShimFile)) + gRealVfs->szOsFile;
  gCountingVfs.xOpen = ShimOpen;
  gCountingVfs.xDelete = ShimDelete;
  gCountingMethods = sqlite3_io_methods{1,           ShimClose,         ShimRead,       ShimWrite,
                                        ShimTruncate, ShimSync,          ShimFileSize,   ShimLock,
                                        ShimUnlock,   ShimCheckReserved, ShimFileControl, ShimSectorSize,
                                        ShimDevice,   nullptr,           nullptr,        nullptr,
                                        nullptr,      nullptr,           nullptr};
  sqlite3_vfs_register(&gCountingVfs, 0);
}

// ---- the runs ----

void OneRecordOurs(benchmark::State& state) {
  testing::TStorageFixture fx{kCacheMB};
  const std::u16string path = fx.MakeTable("bench.nx1", nxbs4k, kBlocks);
  // A thin counting seam: the fixture's fault seam reads whole files to
  // remember their durable state, which would dwarf the commit.
  testing::TRecordingFileOps ops(platform::PosixFileOps());
  auto file = std::make_unique<TnxBaseFile>(path, ops);
  file->OpenFile(omReadWrite, smExclusive, false, false);
  TnxBufferManager& bm = fx.BufMgr();
  fx.AddFile(*file);
  TnxJournalSupply supply(platform::Utf8ToUtf16(fx.Dir().Dir()), ops);
  std::mt19937 random(42);
  int64_t syncs = 0;
  uint8_t value = 0;
  for (auto _ : state) {
    TnxBaseTransaction trans(bm, nullptr, false, true);
    {
      TnxBlockGuard guard;
      guard.Hold(bm.GetBlock(*file, &trans, 1 + random() % (kBlocks - 1), true, guard.ReleaseMethod()));
      guard.Block()[100] = ++value;
    }
    trans.SetJournal(supply.NextJournal(&nxRollbackJournalEngineClass()));
    bm.CommitTransaction(&trans, nullptr, false);
    for (const std::string& step : ops.Trace) syncs += step.starts_with("sync");
    ops.Trace.clear();
    ops.Events.clear();
  }
  state.counters["syncs"] = static_cast<double>(syncs) / static_cast<double>(state.iterations());
  bm.RemoveFile(*file);
}

void OneRecordSqlite(benchmark::State& state) {
  InstallCountingVfs();
  testing::TempDir dir;
  sqlite3* db = nullptr;
  sqlite3_open_v2(dir.Path("bench.db").c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "counting");
  const std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
                            "; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
                            "CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, pad BLOB); BEGIN";
  sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?, 0, zeroblob(3000))", -1, &stmt, nullptr);
  for (uint32_t id = 1; id < kBlocks; ++id) {
    sqlite3_bind_int(stmt, 1, static_cast<int>(id));
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  sqlite3_exec(db, "COMMIT; SELECT sum(n) FROM t", nullptr, nullptr, nullptr);
  sqlite3_prepare_v2(db, "UPDATE t SET n = n + 1 WHERE id = ?", -1, &stmt, nullptr);
  std::mt19937 random(42);
  const int64_t before = gSqliteSyncs.load();
  for (auto _ : state) {
    sqlite3_bind_int(stmt, 1, static_cast<int>(1 + random() % (kBlocks - 1)));
    sqlite3_step(stmt);
    sqlite3_reset(stmt);
  }
  state.counters["syncs"] =
      static_cast<double>(gSqliteSyncs.load() - before) / static_cast<double>(state.iterations());
  sqlite3_finalize(stmt);
  sqlite3_close(db);
}

// ---- recovery after kill -9 ----

using TFolder = std::map<std::string, std::string>;

TFolder Snapshot(const testing::TempDir& aDir) {
  TFolder files;
  for (const auto& item : std::filesystem::directory_iterator(aDir.Dir()))
    files[item.path().filename().string()] = aDir.Read(item.path().filename().string());
  return files;
}

void Restore(const testing::TempDir& aDir, const TFolder& aFiles) {
  for (const auto& item : std::filesystem::directory_iterator(aDir.Dir())) std::filesystem::remove(item.path());
  for (const auto& [name, bytes] : aFiles) aDir.Write(name, bytes);
}

bool RunKilled(void (*aChild)(void*), void* aArg) {
  const int32_t pid = platform::ForkProcess();
  if (pid == 0) {
    aChild(aArg);
    platform::ExitProcessNow(0);  // not killed: the run is of no use
  }
  return pid > 0 && platform::WaitProcess(static_cast<uint32_t>(pid));
}

void RecoverOurs(benchmark::State& state) {
  testing::TStorageFixture fx{kCacheMB};
  const std::u16string path = fx.MakeTable("bench.nx1", nxbs4k, kRecoverBlocks + 24);
  struct TRun {
    testing::TStorageFixture* Fx;
    std::u16string Path;
  } run{&fx, path};
  RunKilled(
      [](void* aArg) {
        auto& r = *static_cast<TRun*>(aArg);
        testing::TFaultFileOps& ops = r.Fx->Ops();
        bool journalDone = false;
        int dataWrites = 0;
        ops.OnChange([&](testing::TFileOp aOp) {
          if (aOp == testing::TFileOp::SyncDirectory) journalDone = true;
          if (journalDone && aOp == testing::TFileOp::WriteAt && dataWrites++ == kWrittenBeforeKill)
            ::kill(::getpid(), SIGKILL);
          return 0;
        });
        TnxBaseFile file(r.Path, ops);
        file.OpenFile(omReadWrite, smExclusive, false, false);
        TnxBufferManager& bm = r.Fx->BufMgr();
        r.Fx->AddFile(file);
        TnxBaseTransaction trans(bm, nullptr, false, true);
        for (TnxBlockNumber n = 1; n <= kRecoverBlocks; ++n) {
          TnxBlockGuard guard;
          guard.Hold(bm.GetBlock(file, &trans, n, true, guard.ReleaseMethod()));
          guard.Block()[100] ^= 0x5A;
        }
        TnxJournalSupply supply(platform::Utf8ToUtf16(r.Fx->Dir().Dir()), ops);
        trans.SetJournal(supply.NextJournal(&nxRollbackJournalEngineClass()));
        bm.CommitTransaction(&trans, nullptr, false);
      },
      &run);
  const TFolder left = Snapshot(fx.Dir());
  if (!left.contains("1.n$2")) {
    state.SkipWithError("the killed committer left no journal");
    return;
  }
  const std::u16string folder = platform::Utf8ToUtf16(fx.Dir().Dir());
  for (auto _ : state) {
    state.PauseTiming();
    Restore(fx.Dir(), left);
    state.ResumeTiming();
    Tnx1xRollbackJournalEngine::Check(u"", folder);
  }
  state.counters["journal_kb"] = static_cast<double>(left.at("1.n$2").size()) / 1024.0;
}

void RecoverSqlite(benchmark::State& state) {
  InstallCountingVfs();
  testing::TempDir dir;
  const std::string db = dir.Path("bench.db");
  {
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, "counting");
    const std::string setup = "PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL;"
                              "CREATE TABLE t(id INTEGER PRIMARY KEY, n INTEGER, pad BLOB); BEGIN";
    sqlite3_exec(handle, setup.c_str(), nullptr, nullptr, nullptr);
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(handle, "INSERT INTO t VALUES(?, 0, zeroblob(3000))", -1, &stmt, nullptr);
    for (uint32_t id = 1; id <= kRecoverBlocks + 24; ++id) {
      sqlite3_bind_int(stmt, 1, static_cast<int>(id));
      sqlite3_step(stmt);
      sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(handle);
  }
  std::string path = db;
  RunKilled(
      [](void* aArg) {
        sqlite3* handle = nullptr;
        sqlite3_open_v2(static_cast<std::string*>(aArg)->c_str(), &handle, SQLITE_OPEN_READWRITE, "counting");
        const std::string work = "PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
                                 "; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL; BEGIN;"
                                 "UPDATE t SET n = n + 1 WHERE id <= " + std::to_string(kRecoverBlocks);
        sqlite3_exec(handle, work.c_str(), nullptr, nullptr, nullptr);
        gKillAfterDbWrites = kWrittenBeforeKill;
        sqlite3_exec(handle, "COMMIT", nullptr, nullptr, nullptr);
      },
      &path);
  const TFolder left = Snapshot(dir);
  if (!left.contains("bench.db-journal")) {
    state.SkipWithError("the killed committer left no hot journal");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    Restore(dir, left);
    state.ResumeTiming();
    sqlite3* handle = nullptr;
    sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READWRITE, "counting");
    sqlite3_exec(handle, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    sqlite3_close(handle);
  }
  state.counters["journal_kb"] = static_cast<double>(left.at("bench.db-journal").size()) / 1024.0;
}

BENCHMARK(OneRecordOurs)->Name("failsafe_commit1/ours")->MinTime(2.0);
BENCHMARK(OneRecordSqlite)->Name("failsafe_commit1/peer:sqlite")->MinTime(2.0);
BENCHMARK(RecoverOurs)->Name("recover_1000_blocks/ours")->MinTime(2.0)->Unit(benchmark::kMillisecond);
BENCHMARK(RecoverSqlite)->Name("recover_1000_blocks/peer:sqlite")->MinTime(2.0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
