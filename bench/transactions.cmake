# A commit of 16 changed blocks (not fail-safe) and a nested level with one
# changed block, against SQLite updating 16 rows on 16 pages and a
# SAVEPOINT/RELEASE around one update (libsqlite3-dev; bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(transactions revurov_storage SQLite::SQLite3)
  target_include_directories(bench_transactions PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
