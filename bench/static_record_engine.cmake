# Inserts and random reads of 100-byte records through the static record
# engine against SQLite's rowid table and LMDB with integer keys
# (libsqlite3-dev, liblmdb-dev; bench.sh installs them).
find_package(SQLite3)
find_library(REVUROV_LMDB_LIBRARY lmdb)
find_path(REVUROV_LMDB_INCLUDE lmdb.h)
if(SQLite3_FOUND AND REVUROV_LMDB_LIBRARY AND REVUROV_LMDB_INCLUDE)
  revurov_bench(static_record_engine revurov_storage SQLite::SQLite3 ${REVUROV_LMDB_LIBRARY})
  target_include_directories(bench_static_record_engine PRIVATE ${PROJECT_SOURCE_DIR}/tests ${REVUROV_LMDB_INCLUDE})
endif()
