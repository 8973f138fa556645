// A SQLite table t(k BLOB, data BLOB) with a unique index on k, filled in
// one transaction, for benchmarks whose peer is an indexed SQLite lookup.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// aCount rows, row i keyed by the aKeyBytes bytes at aKeyOf(i), with
// aDataBytes bytes of data; synchronous writes and the journal off.
inline sqlite3* OpenKeyedSqliteTable(const std::string& aFile, int aCacheMB, int aCount, int aKeyBytes,
                                     int aDataBytes, const std::function<const uint8_t*(int)>& aKeyOf) {
  sqlite3* db = nullptr;
  sqlite3_open(aFile.c_str(), &db);
  const std::string setup = "PRAGMA page_size=4096; PRAGMA cache_size=-" + std::to_string(aCacheMB * 1024) +
                            "; PRAGMA synchronous=OFF; PRAGMA journal_mode=OFF;"
                            "CREATE TABLE t(k BLOB, data BLOB); CREATE UNIQUE INDEX tk ON t(k)";
  sqlite3_exec(db, setup.c_str(), nullptr, nullptr, nullptr);
  std::vector<uint8_t> data(static_cast<size_t>(aDataBytes), 7);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO t(k, data) VALUES(?, ?)", -1, &insert, nullptr);
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  for (int i = 0; i < aCount; ++i) {
    sqlite3_bind_blob(insert, 1, aKeyOf(i), aKeyBytes, SQLITE_STATIC);
    sqlite3_bind_blob(insert, 2, data.data(), aDataBytes, SQLITE_STATIC);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(insert);
  return db;
}
