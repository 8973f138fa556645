# A filtered scan of a million in-memory records against SQLite in memory
# with the same predicate (libsqlite3-dev; bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(filters revurov_dictionary SQLite::SQLite3)
  target_include_directories(bench_filters PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
