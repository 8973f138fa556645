# Opening an in-process session on a started server engine and freeing it,
# against sqlite3_open_v2 and sqlite3_close of ":memory:" (libsqlite3-dev;
# bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(server_session_open revurov_server SQLite::SQLite3)
endif()
