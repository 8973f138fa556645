# Opening and closing a table of 20 fields, 5 indices and a BLOB file
# against sqlite3_open_v2, preparing a SELECT on a schema of the same shape
# and closing (libsqlite3-dev; bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(server_table_open revurov_server SQLite::SQLite3)
endif()
