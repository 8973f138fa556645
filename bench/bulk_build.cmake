# Building a 16-byte index over existing records with the bulk builder,
# against SQLite's CREATE INDEX on the same rows (libsqlite3-dev).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(bulk_build revurov_index SQLite::SQLite3)
  target_include_directories(bench_bulk_build PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
