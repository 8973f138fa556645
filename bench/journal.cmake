# One-record fail-safe commits against SQLite with journal_mode=DELETE and
# synchronous=FULL, same page size and cache, on a disk folder; the syncs
# per commit of both are reported as counters. Recovery after kill -9 in a
# 1000-block commit against SQLite rolling back its hot journal
# (libsqlite3-dev).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(journal revurov_storage SQLite::SQLite3)
  target_include_directories(bench_journal PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
