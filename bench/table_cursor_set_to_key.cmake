# Random key searches (skaEqualFirst) through a table cursor's SetToKey on a
# unique Int32 index, against SQLite's prepared "SELECT rowid FROM t WHERE
# k = ?" stepped once and LMDB's mdb_cursor_get with MDB_SET_RANGE
# (libsqlite3-dev, liblmdb-dev; bench.sh installs them).
find_package(SQLite3)
find_library(REVUROV_LMDB_LIBRARY lmdb)
find_path(REVUROV_LMDB_INCLUDE lmdb.h)
if(SQLite3_FOUND AND REVUROV_LMDB_LIBRARY AND REVUROV_LMDB_INCLUDE)
  revurov_bench(table_cursor_set_to_key revurov_server SQLite::SQLite3 ${REVUROV_LMDB_LIBRARY})
  target_include_directories(bench_table_cursor_set_to_key PRIVATE ${PROJECT_SOURCE_DIR}/tests
                             ${REVUROV_LMDB_INCLUDE})
endif()
