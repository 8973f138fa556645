# A transaction that takes one shared and one exclusive table lock and
# commits nothing, through a transaction context of the in-process engine,
# against SQLite's BEGIN, a one-row SELECT, an UPDATE of no row and COMMIT
# (libsqlite3-dev).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(server_transactions revurov_server SQLite::SQLite3)
  target_include_directories(bench_server_transactions PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
