# File bytes per record of the variable engine ("Smart") and the static
# engine against SQLite's file after VACUUM, and updates that grow records
# by a fifth against SQLite UPDATE (libsqlite3-dev; bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(variable_record_engine revurov_storage SQLite::SQLite3)
  target_include_directories(bench_variable_record_engine PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
