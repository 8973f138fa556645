// Random key searches on a unique Int32 index: ours SetToKey with
// skaEqualFirst through a table cursor's public operation (deadline,
// session lock, shared content lock, FindKey, range check), given the key
// as a direct key; SQLite a prepared "SELECT rowid FROM t WHERE k = ?"
// stepped once on an indexed column; LMDB mdb_cursor_get with
// MDB_SET_RANGE in one read transaction. Each side is built once (not
// timed) and warmed by one untimed pass; every run searches the same keys.
// Quick size 2 x 10^5 records and searches; REVUROV_LONG_TESTS=1 takes
// 10^6 of each.
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/temp_folder.h"
#include "dictionary/data_dictionary.h"
#include "dictionary/fields_descriptor.h"
#include "dictionary/file_descriptors.h"
#include "dictionary/index_descriptor.h"
#include "dictionary/indices_descriptors.h"
#include "dictionary/key_descriptors.h"
#include "index/index_engines.h"
#include "index/index_path.h"
#include "platform/rtl_component.h"
#include "platform/text.h"
#include "server/buffer_calls.h"
#include "server/server_database.h"
#include "server/server_engine.h"
#include "server/server_session.h"
#include "server/server_table.h"
#include "server/server_table_cursor.h"
#include "server/startup.h"
#include "storage/transactions.h"
#include "support/test_size.h"

namespace {

using namespace revurov;

constexpr int32_t kCacheMB = 256;
constexpr int kData = 16;

int Records() { return revurov::testing::TestSize(200'000, 1'000'000); }

// Record i has key 2i + 1 (so the table is not simply 1..n); the searches
// hit present keys in a random order, the same for every peer.
int32_t KeyOf(int aIndex) { return 2 * aIndex + 1; }
const std::vector<int32_t>& Searches() {
  static const std::vector<int32_t> keys = [] {
    std::mt19937 random(92);
    std::vector<int32_t> k(static_cast<size_t>(Records()));
    for (int32_t& key : k) key = KeyOf(int(random() % uint32_t(Records())));
    return k;
  }();
  return keys;
}

struct TOurs {
  TOurs() {
    nxServerStartup();
    engine = new TnxServerEngine(nullptr);
    engine->SetMaxRAM(kCacheMB);
    engine->SetTempStoreSize(0);
    engine->SetActive(true);
    TnxAbstractServerObject* session = nullptr;
    engine->SessionOpen(session, u"bench", u"", u"", 10000);
    static_cast<TnxServerSession*>(session)->DatabaseOpen(
        database, u"Path", revurov::platform::Utf8ToUtf16(folder.path.string()), nullptr, omReadWrite, smShared, 10000);
    TnxDataDictionary dict;
    dict.FieldsDescriptor().AddField(u"K", u"", nxtInt32, 0, 0, false);
    dict.FieldsDescriptor().AddField(u"Data", u"", nxtByteArray, kData, 0, false);
    dict.FilesDescriptor().AddFile(u"ix", nxbs4k, u"Index");
    auto* indices = dict.EnsureIndicesDescriptor();
    static_cast<TnxCompKeyDescriptor*>(
        indices->AddIndex(u"ByK", 1, idNone, u"", &TnxCompKeyDescriptor::ClassInfo())->KeyDescriptor())
        ->Add(0);
    indices->SetDefaultIndex(indices->GetIndexFromName(u"ByK"));
    if (database->TableBuild(false, u"T", u"", &dict, tsPersistent, false) != 0) std::abort();
    TnxAbstractCursor* opened = nullptr;
    if (database->CursorOpen(opened, u"T", u"", omReadWrite, smShared, 100000, u"ByK", -1, false, 0, 500, nullptr) !=
        0)
      std::abort();
    cursor = static_cast<TnxServerTableCursor*>(opened);
    Load();
    const TnxBaseKeyEngine& keys = cursor->IndexEngine()->KeyEngine();
    keyLength = keys.KeyLength();
    std::vector<uint8_t> record(size_t(cursor->TableDescriptor()->FieldsDescriptor().RecordLength()) + 8, 0);
    directKeys.resize(Searches().size() * keyLength);
    for (size_t i = 0; i < Searches().size(); ++i) {
      cursor->TableDescriptor()->FieldsDescriptor().SetRecordField(0, record.data(), &Searches()[i]);
      if (keys.BuildKey(record.data(), &directKeys[i * keyLength], 0, true) != 0) std::abort();
    }
  }
  ~TOurs() {
    cursor->Free();
    database->Free();
    revurov::platform::TComponent::Free(engine);
    nxServerShutdown();
  }
  void Load() {
    TnxServerBaseTable* table = cursor->Table();
    TnxFieldsDescriptor& fields = cursor->TableDescriptor()->FieldsDescriptor();
    std::vector<uint8_t> record(size_t(fields.RecordLength()) + 8, 0);
    fields.InitRecord(record.data());
    uint8_t data[kData] = {7};
    fields.SetRecordField(1, record.data(), data);
    TnxBufferManager& bm = *engine->BufferManager();
    for (int i = 0; i < Records(); i += 10000) {
      TnxBaseTransaction trans(bm, nullptr, false, false);
      for (int j = i; j < std::min(Records(), i + 10000); ++j) {
        const int32_t key = KeyOf(j);
        fields.SetRecordField(0, record.data(), &key);
        TnxRefNr refNr = 0;
        table->RecordEngine()->AddRecord(trans, refNr, record.data());
        if (table->IndicesEngine()->InsertKeys(trans, refNr, record.data(), nullptr) != 0) std::abort();
      }
      nxsrCommit(bm, trans);
    }
  }
  int64_t Search(size_t aIndex) {
    if (cursor->SetToKey(skaEqualFirst, 0, 0, true, &directKeys[aIndex * keyLength]) != 0) std::abort();
    return int64_t(cursor->IndexPath()->RefNr);
  }

  bench::TempFolder folder;
  TnxServerEngine* engine = nullptr;
  TnxAbstractDatabase* database = nullptr;
  TnxServerTableCursor* cursor = nullptr;
  std::vector<uint8_t> directKeys;
  size_t keyLength = 0;
};

struct TSqlite {
  TSqlite() {
    sqlite3_open((folder.path / "bench.db").string().c_str(), &db);
    const std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=-" + std::to_string(kCacheMB * 1024) +
                              "; PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF;"
                              "CREATE TABLE t(k INTEGER, data BLOB); CREATE UNIQUE INDEX tk ON t(k)";
    sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
    sqlite3_stmt* insert = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO t(k, data) VALUES(?, ?)", -1, &insert, nullptr);
    std::vector<uint8_t> data(kData, 7);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    for (int i = 0; i < Records(); ++i) {
      sqlite3_bind_int(insert, 1, KeyOf(i));
      sqlite3_bind_blob(insert, 2, data.data(), kData, SQLITE_STATIC);
      sqlite3_step(insert);
      sqlite3_reset(insert);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_finalize(insert);
    sqlite3_prepare_v2(db, "SELECT rowid FROM t WHERE k = ?", -1, &select, nullptr);
  }
  ~TSqlite() {
    sqlite3_finalize(select);
    sqlite3_close(db);
  }
  int64_t Search(size_t aIndex) {
    sqlite3_bind_int(select, 1, Searches()[aIndex]);
    if (sqlite3_step(select) != SQLITE_ROW) std::abort();
    const int64_t rowid = sqlite3_column_int64(select, 0);
    sqlite3_reset(select);
    return rowid;
  }
  bench::TempFolder folder;
  sqlite3* db = nullptr;
  sqlite3_stmt* select = nullptr;
};

// Keys big-endian, so that LMDB's byte order is the numbers' order.
void StoreBigEndian(int32_t aValue, uint8_t* aTo) {
  const auto v = uint32_t(aValue) ^ 0x80000000u;
  aTo[0] = uint8_t(v >> 24);
  aTo[1] = uint8_t(v >> 16);
  aTo[2] = uint8_t(v >> 8);
  aTo[3] = uint8_t(v);
}

struct TLmdb {
  TLmdb() {
    mdb_env_create(&env);
    mdb_env_set_mapsize(env, size_t{1} << 30);
    mdb_env_open(env, folder.path.string().c_str(), MDB_NOSYNC, 0644);
    MDB_txn* txn = nullptr;
    mdb_txn_begin(env, nullptr, 0, &txn);
    mdb_dbi_open(txn, nullptr, 0, &dbi);
    for (int i = 0; i < Records(); ++i) {
      uint8_t key[4];
      StoreBigEndian(KeyOf(i), key);
      int64_t ref = i + 1;
      MDB_val k{sizeof key, key};
      MDB_val v{sizeof ref, &ref};
      mdb_put(txn, dbi, &k, &v, MDB_APPEND);
    }
    mdb_txn_commit(txn);
    mdb_txn_begin(env, nullptr, MDB_RDONLY, &read);
    mdb_cursor_open(read, dbi, &cursor);
    keys.resize(Searches().size() * 4);
    for (size_t i = 0; i < Searches().size(); ++i) StoreBigEndian(Searches()[i], &keys[i * 4]);
  }
  ~TLmdb() {
    mdb_cursor_close(cursor);
    mdb_txn_abort(read);
    mdb_env_close(env);
  }
  int64_t Search(size_t aIndex) {
    MDB_val k{4, &keys[aIndex * 4]};
    MDB_val v;
    if (mdb_cursor_get(cursor, &k, &v, MDB_SET_RANGE) != 0) std::abort();
    int64_t ref = 0;
    std::memcpy(&ref, v.mv_data, sizeof ref);
    return ref;
  }
  bench::TempFolder folder;
  MDB_env* env = nullptr;
  MDB_dbi dbi = 0;
  MDB_txn* read = nullptr;
  MDB_cursor* cursor = nullptr;
  std::vector<uint8_t> keys;
};

std::unique_ptr<TOurs> gOurs;
std::unique_ptr<TSqlite> gSqlite;
std::unique_ptr<TLmdb> gLmdb;

template <class T>
T& Peer(std::unique_ptr<T>& aPeer) {
  if (!aPeer) {
    aPeer = std::make_unique<T>();
    int64_t sink = 0;
    for (size_t i = 0; i < Searches().size(); ++i) sink += aPeer->Search(i);
    benchmark::DoNotOptimize(sink);
  }
  return *aPeer;
}

template <class T>
void RunSearches(benchmark::State& state, std::unique_ptr<T>& aPeer) {
  for (auto _ : state) {
    state.PauseTiming();
    T& peer = Peer(aPeer);
    state.ResumeTiming();
    int64_t sink = 0;
    for (size_t i = 0; i < Searches().size(); ++i) sink += peer.Search(i);
    benchmark::DoNotOptimize(sink);
  }
  state.SetItemsProcessed(int64_t(Searches().size()));
}

void SearchOurs(benchmark::State& s) { RunSearches(s, gOurs); }
void SearchSqlite(benchmark::State& s) { RunSearches(s, gSqlite); }
void SearchLmdb(benchmark::State& s) { RunSearches(s, gLmdb); }

}  // namespace

BENCHMARK(SearchOurs)->Name("set_to_key/ours")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SearchSqlite)->Name("set_to_key/peer:sqlite")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(SearchLmdb)->Name("set_to_key/peer:lmdb")->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  gOurs.reset();
  gSqlite.reset();
  gLmdb.reset();
  return 0;
}
