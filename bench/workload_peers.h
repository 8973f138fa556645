// The peers of the server workloads, each in a folder of its own: a SQLite
// database with a table t(k INTEGER NOT NULL, data BLOB) and a unique index
// on k, and an LMDB environment with its main database. Keys of LMDB are
// big-endian with the sign bit flipped, so that byte order is number order.
#pragma once

#include <lmdb.h>
#include <sqlite3.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/temp_folder.h"

namespace revurov::bench {

class TSqlitePeer {
public:
  // aPragmas run before the table is made, e.g. "PRAGMA synchronous=FULL".
  explicit TSqlitePeer(const std::string& aPragmas) {
    if (sqlite3_open((folder_.path / "peer.db").string().c_str(), &db_) != SQLITE_OK) std::abort();
    Exec(aPragmas + "; CREATE TABLE t(k INTEGER NOT NULL, data BLOB); CREATE UNIQUE INDEX tk ON t(k)");
  }
  ~TSqlitePeer() {
    for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
    sqlite3_close(db_);
  }
  TSqlitePeer(const TSqlitePeer&) = delete;
  TSqlitePeer& operator=(const TSqlitePeer&) = delete;

  void Exec(const std::string& aSql) {
    if (sqlite3_exec(db_, aSql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  }
  // Finalized with the peer.
  sqlite3_stmt* Prepare(const char* aSql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, aSql, -1, &statement, nullptr) != SQLITE_OK) std::abort();
    statements_.push_back(statement);
    return statement;
  }
  sqlite3* Db() const noexcept { return db_; }

private:
  TempFolder folder_;
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
};

class TLmdbPeer {
public:
  // aFlags for mdb_env_open: 0 syncs every commit.
  explicit TLmdbPeer(unsigned aFlags, size_t aMapBytes = size_t{1} << 30) {
    // Room for a few named databases beside the main one.
    if (mdb_env_create(&env_) != 0 || mdb_env_set_mapsize(env_, aMapBytes) != 0 || mdb_env_set_maxdbs(env_, 4) != 0 ||
        mdb_env_open(env_, folder_.path.string().c_str(), aFlags, 0644) != 0)
      std::abort();
    MDB_txn* txn = nullptr;
    if (mdb_txn_begin(env_, nullptr, 0, &txn) != 0 || mdb_dbi_open(txn, nullptr, 0, &dbi_) != 0 ||
        mdb_txn_commit(txn) != 0)
      std::abort();
  }
  ~TLmdbPeer() { mdb_env_close(env_); }
  TLmdbPeer(const TLmdbPeer&) = delete;
  TLmdbPeer& operator=(const TLmdbPeer&) = delete;

  static void Key(int32_t aValue, uint8_t aTo[4]) {
    const auto v = uint32_t(aValue) ^ 0x80000000u;
    aTo[0] = uint8_t(v >> 24);
    aTo[1] = uint8_t(v >> 16);
    aTo[2] = uint8_t(v >> 8);
    aTo[3] = uint8_t(v);
  }
  MDB_env* Env() const noexcept { return env_; }
  MDB_dbi Dbi() const noexcept { return dbi_; }

private:
  TempFolder folder_;
  MDB_env* env_ = nullptr;
  MDB_dbi dbi_ = 0;
};

}  // namespace revurov::bench
