# Recovering an undamaged table of a million 100-byte records block by
# block, against SQLite copying the same rows into a new table in one
# transaction (libsqlite3-dev; bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(recover revurov_server SQLite::SQLite3)
  target_include_directories(bench_recover PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
