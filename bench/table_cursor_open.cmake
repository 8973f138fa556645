# Opening a table cursor on an open indexed table through the database and
# freeing it, against SQLite's sqlite3_prepare_v2 plus sqlite3_finalize of
# a one-table SELECT (libsqlite3-dev; bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(table_cursor_open revurov_server SQLite::SQLite3)
endif()
