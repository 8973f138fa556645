// W11: deleting 1,000 masters with 100 details each in one transaction,
// the details following through the masters' cascade. Ours: table M (ID,
// unique index) whose reference deletes the records of D (ID, MID; index
// on MID) with the master's ID, all masters deleted through one
// DeleteRecords. SQLite: DELETE FROM m with PRAGMA foreign_keys=ON and
// d.mid REFERENCES m(id) ON DELETE CASCADE, an index on d(mid)
// (journal_mode=DELETE, synchronous=FULL, as W1). Each run loads the rows
// afresh, untimed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "bench/server_bench_engine.h"
#include "bench/temp_folder.h"
#include "bench/workload_peers.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "dictionary/referential_integrity.h"
#include "server/server_database.h"
#include "server/server_table_cursor.h"

namespace {

using namespace revurov;

constexpr int32_t kW11Masters = 1000;
constexpr int32_t kW11Details = 100;

[[noreturn]] void Fail(const char* aStep, uint32_t aCode) {
  std::fprintf(stderr, "W11/ours: %s answered %u\n", aStep, unsigned(aCode));
  std::abort();
}

void Check(const char* aStep, uint32_t aCode) {
  if (aCode != 0) Fail(aStep, aCode);
}

std::unique_ptr<TnxDataDictionary> W11Dictionary(bool aDetail) {
  auto dict = std::make_unique<TnxDataDictionary>();
  dict->FieldsDescriptor().AddField(u"ID", u"", nxtInt32, 0, 0, true);
  if (aDetail) dict->FieldsDescriptor().AddField(u"MID", u"", nxtInt32, 0, 0, false);
  auto* indices = dict->EnsureIndicesDescriptor();
  static_cast<TnxCompKeyDescriptor*>(
      indices->AddIndex(u"ByID", 0, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
      ->Add(0);
  if (aDetail)
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(u"ByMID", 0, idAll, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(1);
  indices->SetDefaultIndex(0);
  if (!aDetail) {
    auto* ri = static_cast<TnxRefIntegrityDescriptor*>(
        dict->CustomDescsDescriptor().AddCustom(nxRefIntegrityName, &TnxRefIntegrityDescriptor::ClassInfo()));
    TnxReferenceDescriptor* ref = ri->AddReference();
    static_cast<TnxTableTargetCursorDescriptor&>(ref->TargetCursor()).SetTableName(u"D");
    ref->SetTargetIndex(u"ByMID");
    static_cast<TnxFieldSourceDescriptor*>(ref->AddSource())->SetFieldNumber(0);
    ref->AddAction(&TnxCascadeDeleteActionDescriptor::ClassInfo());
  }
  return dict;
}

struct TW11Ours {
  TW11Ours() {
    database = server.OpenFolder(folder.path);
    if (!database) std::abort();
    Check("TableBuild M", database->TableBuild(false, u"M", u"", W11Dictionary(false).get(), tsPersistent, false));
    Check("TableBuild D", database->TableBuild(false, u"D", u"", W11Dictionary(true).get(), tsPersistent, false));
    TnxAbstractCursor* opened = nullptr;
    Check("CursorOpen M",
          database->CursorOpen(opened, u"M", u"", omReadWrite, smShared, 600000, u"", -1, false, 0, 500, nullptr));
    masters = static_cast<TnxServerTableCursor*>(opened);
    Check("CursorOpen D",
          database->CursorOpen(opened, u"D", u"", omReadWrite, smShared, 600000, u"", -1, false, 0, 500, nullptr));
    details = static_cast<TnxServerTableCursor*>(opened);
  }
  ~TW11Ours() {
    details->Free();
    masters->Free();
    database->Free();
  }
  void Load() {
    Check("TransactionStart", database->TransactionStart(false, false));
    TnxFieldsDescriptor& mf = masters->TableDescriptor()->FieldsDescriptor();
    TnxFieldsDescriptor& df = details->TableDescriptor()->FieldsDescriptor();
    std::vector<uint8_t> m(size_t(mf.RecordLength()) + 16), d(size_t(df.RecordLength()) + 16);
    int32_t detail = 0;
    for (int32_t id = 0; id < kW11Masters; ++id) {
      mf.InitRecord(m.data());
      mf.SetRecordField(0, m.data(), &id);
      Check("insert M", masters->RecordInsert(nxltNoLock, m.data(), nullptr));
      for (int32_t i = 0; i < kW11Details; ++i, ++detail) {
        df.InitRecord(d.data());
        df.SetRecordField(0, d.data(), &detail);
        df.SetRecordField(1, d.data(), &id);
        Check("insert D", details->RecordInsert(nxltNoLock, d.data(), nullptr));
      }
    }
    Check("TransactionCommit", database->TransactionCommit());
  }
  void Delete() {
    Check("TransactionStart", database->TransactionStart(false, false));
    Check("SetToBegin", masters->SetToBegin());
    Check("DeleteRecords", masters->DeleteRecords());
    Check("TransactionCommit", database->TransactionCommit());
    uint32_t left = 0;
    Check("GetRecordCount", details->GetRecordCount(left, false));
    if (left != 0) Fail("cascade left details", left);
  }

  bench::TempFolder folder;
  bench::TServerBenchEngine server;
  TnxAbstractDatabase* database = nullptr;
  TnxServerTableCursor* masters = nullptr;
  TnxServerTableCursor* details = nullptr;
};

struct TW11Sqlite {
  TW11Sqlite() {
    peer.Exec(
        "PRAGMA foreign_keys=ON; CREATE TABLE m(id INTEGER PRIMARY KEY); "
        "CREATE TABLE d(id INTEGER PRIMARY KEY, mid INTEGER REFERENCES m(id) ON DELETE CASCADE); "
        "CREATE INDEX dm ON d(mid)");
    insertMaster = peer.Prepare("INSERT INTO m(id) VALUES(?)");
    insertDetail = peer.Prepare("INSERT INTO d(id, mid) VALUES(?, ?)");
  }
  void Load() {
    peer.Exec("BEGIN");
    int32_t detail = 0;
    for (int32_t id = 0; id < kW11Masters; ++id) {
      sqlite3_bind_int(insertMaster, 1, id);
      if (sqlite3_step(insertMaster) != SQLITE_DONE) std::abort();
      sqlite3_reset(insertMaster);
      for (int32_t i = 0; i < kW11Details; ++i, ++detail) {
        sqlite3_bind_int(insertDetail, 1, detail);
        sqlite3_bind_int(insertDetail, 2, id);
        if (sqlite3_step(insertDetail) != SQLITE_DONE) std::abort();
        sqlite3_reset(insertDetail);
      }
    }
    peer.Exec("COMMIT");
  }
  void Delete() { peer.Exec("BEGIN; DELETE FROM m; COMMIT"); }

  bench::TSqlitePeer peer{"PRAGMA page_size=4096; PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL"};
  sqlite3_stmt* insertMaster = nullptr;
  sqlite3_stmt* insertDetail = nullptr;
};

template <class T>
void RunW11(benchmark::State& state) {
  T peer;
  for (auto _ : state) {
    state.PauseTiming();
    peer.Load();
    state.ResumeTiming();
    peer.Delete();
  }
  state.SetItemsProcessed(int64_t(kW11Masters) * (kW11Details + 1) * state.iterations());
}

void W11Ours(benchmark::State& s) { RunW11<TW11Ours>(s); }
void W11Sqlite(benchmark::State& s) { RunW11<TW11Sqlite>(s); }

}  // namespace

BENCHMARK(W11Ours)->Name("W11/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(W11Sqlite)->Name("W11/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
