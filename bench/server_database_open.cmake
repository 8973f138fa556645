# DatabaseOpen by path plus TableGetList on a folder of 1,000 tables and
# freeing the database, against sqlite3_open_v2 plus SELECT name FROM
# sqlite_master on a database of 1,000 tables and sqlite3_close
# (libsqlite3-dev; bench.sh installs it).
find_package(SQLite3)
if(SQLite3_FOUND)
  revurov_bench(server_database_open revurov_server SQLite::SQLite3)
endif()
