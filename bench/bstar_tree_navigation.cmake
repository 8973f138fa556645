# Point lookups and short scans through the B*-tree over a table with a
# 16-byte key, against SQLite with an index on the same column and LMDB
# gets (libsqlite3-dev, liblmdb-dev; bench.sh installs them).
find_package(SQLite3)
find_library(REVUROV_LMDB_LIBRARY lmdb)
find_path(REVUROV_LMDB_INCLUDE lmdb.h)
if(SQLite3_FOUND AND REVUROV_LMDB_LIBRARY AND REVUROV_LMDB_INCLUDE)
  revurov_bench(bstar_tree_navigation revurov_index SQLite::SQLite3 ${REVUROV_LMDB_LIBRARY})
  target_include_directories(bench_bstar_tree_navigation PRIVATE ${PROJECT_SOURCE_DIR}/tests ${REVUROV_LMDB_INCLUDE})
endif()
