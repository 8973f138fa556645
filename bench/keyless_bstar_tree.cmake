# The keyless B*-tree against the static-key tree on the same table (point
# lookups, full iteration, index sizes) and against SQLite indexed lookups
# (libsqlite3-dev; bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(keyless_bstar_tree revurov_index SQLite::SQLite3)
  target_include_directories(bench_keyless_bstar_tree PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
